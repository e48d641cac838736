// Shared declarations of the _attr_sieve module's glue files: the node
// classes, the chain class and the walks over a tree.
#pragma once

#include <string>
#include <vector>

#include "filters/sieve_text.hpp"
#include "support/plain_class.hpp"
#include "support/recursion.hpp"
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

// The bound values a rendering gathers. While no Python code has been handed
// the list, values are kept here and the list (or a tuple, for a cache key)
// is made once at the end; from the moment an override is given the list,
// every value goes straight into it, so it always sees them all, in order.
class ParamSink {
 public:
  ParamSink() { pending_.reserve(64); }
  explicit ParamSink(PyObject* list) : list_(list) {}  // the caller's list, filled as it goes
  ParamSink(const ParamSink&) = delete;
  ParamSink& operator=(const ParamSink&) = delete;

  void add(PyObject* value) {
    if (list_ != nullptr) {
      if (PyList_Append(list_, value) < 0) rethrow_python();
    } else {
      pending_.push_back(Ref::borrow(value));
    }
  }
  // The list to hand to Python code, holding every value added so far.
  PyObject* list() {
    if (list_ == nullptr) {
      own_ = take_pending(PyList_New);
      list_ = own_.get();
    }
    return list_;
  }
  // Every value, as a new list (for a sink that made its own) or a tuple.
  Ref take_list() {
    list();
    return own_;
  }
  Ref take_tuple() {
    if (list_ == nullptr) return take_pending(PyTuple_New);
    return Ref::steal(PyList_AsTuple(list_));
  }

 private:
  template <class Make>
  Ref take_pending(Make make) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(pending_.size());
    Ref out = Ref::steal(make(n));
    PyObject** items = PyList_Check(out.get()) ? &PyList_GET_ITEM(out.get(), 0) : &PyTuple_GET_ITEM(out.get(), 0);
    for (Py_ssize_t i = 0; i < n; ++i) items[i] = pending_[static_cast<std::size_t>(i)].release();
    pending_.clear();
    return out;
  }

  PyObject* list_ = nullptr;
  Ref own_;
  std::vector<Ref> pending_;
};

// --- nodes (attr_sieve_nodes.cpp)
void init_nodes(PyObject* module);
Ref build_condition(PyObject* column, PyObject* op, PyObject* values, bool multi);
Ref build_junction(const PlainClass& kind, PyObject* parts);  // and_/or_ of an iterable
Ref build_not(PyObject* part);
// node.render(params) as a call would run it, the text appended to `out`.
void render_into(PyObject* node, ParamSink& params, std::string& out);
Ref text_of(const std::string& s);

// --- columns (attr_sieve_columns.cpp)
void init_columns(PyObject* module);
// The left-hand side of a scalar condition on `column`.
void append_column(std::string& out, PyObject* column);
// The SQL of a builtin column named in any letter case, or nullptr.
const char* builtin_of(PyObject* column);
bool is_builtin(PyObject* column);
// Adds what node.scalar_columns() yields to `sink` (a list or a set).
void collect_columns(PyObject* node, PyObject* sink);
// The scalar_columns() methods of the node kinds.
tx::Method node_scalar_columns, condition_scalar_columns, junction_scalar_columns, not_scalar_columns;

// --- chain (attr_sieve_chain.cpp)
void init_chain(PyObject* module);

}  // namespace tx::attr_sieve
