// Shared declarations of the _attr_sieve module's glue files: the node
// classes, the chain class and the walks over a tree.
#pragma once

#include <string>

#include "filters/sieve_text.hpp"
#include "support/plain_class.hpp"
#include "support/support.hpp"

namespace tx::attr_sieve {

inline constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;
inline constexpr const char* kModule = "tarnix_engine._attr_sieve";

// Field indices, in the declared order of each class's __slots__.
enum ConditionField : std::size_t { kColumn = 0, kMulti = 1, kOp = 2, kValues = 3 };
enum ConstantField : std::size_t { kLeft = 0, kConstOp = 1, kRight = 2 };
enum JunctionField : std::size_t { kParts = 0 };
enum NotField : std::size_t { kPart = 0 };
enum SieveField : std::size_t { kNode = 0, kOwner = 1 };

struct Classes {
  PlainClass node, condition, constant, junction, and_, or_, not_, sieve;
};
extern Classes classes;
extern Namespace ns;

// The builtin functions as the module defines them, to tell whether a
// module global still holds them (then they run natively) or was replaced.
struct Builtins {
  PyObject* condition = nullptr;
  PyObject* and_ = nullptr;
  PyObject* or_ = nullptr;
  PyObject* not_ = nullptr;
};
extern Builtins builtins;

// --- nodes (attr_sieve_nodes.cpp)
void init_nodes(PyObject* module);
Ref build_condition(PyObject* column, PyObject* op, PyObject* values, bool multi);
Ref build_junction(const PlainClass& kind, PyObject* parts);  // and_/or_ of an iterable
Ref build_not(PyObject* part);
// node.render(params) as a call would run it, the text appended to `out`.
void render_into(PyObject* node, PyObject* params, std::string& out);
Ref text_of(const std::string& s);

// --- columns (attr_sieve_columns.cpp)
void init_columns(PyObject* module);
// The left-hand side of a scalar condition on `column`.
void append_column(std::string& out, PyObject* column);
bool is_builtin(PyObject* column);
// Adds what node.scalar_columns() yields to `sink` (a list or a set).
void collect_columns(PyObject* node, PyObject* sink);
// The scalar_columns() methods of the node kinds.
PyObject* node_scalar_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* condition_scalar_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* junction_scalar_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* not_scalar_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// --- chain (attr_sieve_chain.cpp)
void init_chain(PyObject* module);

}  // namespace tx::attr_sieve
