// What the parts of tarnix_engine._clause_builder share: the module
// namespace, the sqlglot classes the walks test against, and the raising of
// FilterError.
#pragma once

#include <string>

#include "support/plain_class.hpp"
#include "support/plain_json.hpp"
#include "support/recursion.hpp"
#include "support/support.hpp"

namespace tx::clause {

extern tx::Namespace ns;

// sqlglot's expression classes, fetched once at import (borrowed from the
// module tables and the sqlglot module, which live for the process).
struct Classes {
  PyTypeObject *Expression, *Condition, *Block;
  PyTypeObject *And, *Or, *Not, *Paren, *Neg;
  PyTypeObject *EQ, *NEQ, *GT, *GTE, *LT, *LTE;
  PyTypeObject *In, *Between, *Like, *Is, *Escape;
  PyTypeObject *Column, *Identifier, *Literal, *Boolean, *Null;
  PyTypeObject *Subquery, *Select, *Query, *Exists, *Placeholder;
  PyTypeObject *Func, *Anonymous;
};
extern Classes k;

extern PyObject* filter_error;  // the FilterError class

// The module's own builtins, for tx::call_global.
struct Own {
  PyObject *parse_filter, *dict_to_condition, *field_condition, *literal, *literal_value;
};
extern Own own;

inline bool is(PyObject* o, PyTypeObject* type) noexcept { return PyObject_TypeCheck(o, type); }

// How deeply a filter may nest: the same bound as its plain-value walk.
inline constexpr int kMaxNesting = tx::plain_json::kMaxDepth;
struct DictWalk {};
struct TreeWalk {};

// raise FilterError(message)
[[noreturn]] void refuse(const std::string& message);
// The same while an exception is pending: the new error has no cause and
// the pending one becomes its suppressed context (`raise ... from None`).
[[noreturn]] void refuse_replacing(const std::string& message);
// The same with the message as a str, which may hold text (a lone
// surrogate) that has no UTF-8 form.
[[noreturn]] void refuse_replacing(PyObject* message);

std::string repr_of(PyObject* o);
std::string bare_type_name(PyObject* o);

// Entry points shared between the files.
tx::Ref dict_to_condition(PyObject* filter);
tx::Ref literal_value(PyObject* node);
// Refuses a node that carries an argument the translator does not read
// (clause_node_args.cpp); its rules are made at import by init_arg_rules.
void check_args(PyObject* node);
void init_arg_rules();

// Each adds its functions, constants and classes to the module at import.
void init_dict_grammar(PyObject* module);
void init_translator(PyObject* module);

}  // namespace tx::clause
