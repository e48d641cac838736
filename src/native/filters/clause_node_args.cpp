// The arguments a sqlglot node carries, checked against what the translator
// reads of each node kind: a node with any other argument set is refused.
#include <algorithm>
#include <string>
#include <vector>

#include "filters/clause_builder_glue.hpp"
#include "support/no_python/text.hpp"

namespace tx::clause {
namespace {

// For each node kind the translator takes (a subclass counts as its nearest
// listed kind), the arguments that some step reads, to translate them or to
// refuse them in words of its own. sqlglot keeps a flag that changes what a
// node means (BETWEEN SYMMETRIC, a negated IS, GLOBAL IN) as one more
// argument of the same kind, so a node with any other argument set is
// refused rather than read as a different condition.
struct ArgRule {
  PyTypeObject* kind;
  std::vector<const char*> read;
};
std::vector<ArgRule> arg_rules;

// What to write instead, for the unread arguments a parser is known to set.
struct UnreadWords {
  PyTypeObject* kind;
  const char* arg;
  const char* message;
};
std::vector<UnreadWords> unread_words;

}  // namespace

void init_arg_rules() {
  const std::vector<const char*> binary{"this", "expression"};
  const std::vector<const char*> unary{"this"};
  arg_rules = {
      {k.And, binary}, {k.Or, binary}, {k.Not, unary}, {k.Paren, unary}, {k.Neg, unary},
      {k.EQ, binary}, {k.NEQ, binary}, {k.GT, binary}, {k.GTE, binary}, {k.LT, binary}, {k.LTE, binary},
      {k.In, {"this", "expressions", "query", "unnest", "field"}},
      {k.Between, {"this", "low", "high", "negate"}},
      {k.Like, {"this", "expression", "escape", "negate"}},
      {k.Is, binary},
      {k.Column, {"this", "table", "db", "catalog"}},
      {k.Identifier, {"this", "quoted"}},
      {k.Literal, {"this", "is_string"}}, {k.Boolean, unary}, {k.Null, {}},
  };
  unread_words = {
      {k.Between, "symmetric",
       "BETWEEN SYMMETRIC is not supported; write the smaller bound first: '<column> BETWEEN <low> AND <high>'."},
      {k.In, "is_global", "GLOBAL IN is not supported; write IN."},
      {k.Is, "negate", "A negated IS node is not supported; write 'NOT (<column> IS NULL)'."},
      {k.Column, "join_mark", "Outer-join marks (+) are not allowed in a filter; compare the column itself."},
      {k.Identifier, "temporary", "Names marked with '#' are not allowed in a filter; write the column name alone."},
      {k.Identifier, "global_", "Names marked with '#' are not allowed in a filter; write the column name alone."},
  };
}

namespace {

const ArgRule* rule_for(PyTypeObject* type) {
  PyObject* mro = type->tp_mro;
  if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    for (const ArgRule& rule : arg_rules) {
      if (reinterpret_cast<PyObject*>(rule.kind) == base) return &rule;
    }
  }
  return nullptr;
}

bool names(PyObject* key, const char* name) {
  return PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0;
}

bool reads(const ArgRule& rule, PyObject* key) {
  for (const char* name : rule.read) {
    if (names(key, name)) return true;
  }
  return false;
}

// sqlglot leaves an argument it did not parse as None, False or [].
bool unset(PyObject* v) {
  return v == Py_None || v == Py_False || (PyList_CheckExact(v) && PyList_GET_SIZE(v) == 0) ||
         (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == 0);
}

// The first argument of the node that is set and that no step reads.
tx::Ref first_unread(const ArgRule& rule, PyObject* node) {
  tx::Ref args = tx::attr<"args">(node);
  if (PyDict_Check(args.get())) {
    Py_ssize_t pos = 0;
    PyObject *key, *v;
    while (PyDict_Next(args.get(), &pos, &key, &v)) {  // nothing here runs Python code
      if (!unset(v) && !reads(rule, key)) return tx::Ref::borrow(key);
    }
    return {};
  }
  tx::Ref items = tx::Ref::steal(PySequence_List(tx::call_method(args.get(), tx::name<"items">(), {}).get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    auto [key, v] = tx::unpack_pair(PyList_GET_ITEM(items.get(), i));
    if (!unset(v.get()) && !reads(rule, key.get())) return key;
  }
  return {};
}

// An argument's name as a message writes it: "is_global" as IS GLOBAL.
std::string arg_words(PyObject* key) {
  if (!PyUnicode_Check(key) || !PyUnicode_IS_ASCII(key)) return repr_of(key);
  std::string words = tx::text::ascii_upper(tx::utf8_view(key));
  std::replace(words.begin(), words.end(), '_', ' ');
  while (!words.empty() && words.back() == ' ') words.pop_back();
  return words.empty() ? repr_of(key) : words;
}

}  // namespace

void check_args(PyObject* node) {
  const ArgRule* rule = rule_for(Py_TYPE(node));
  if (rule == nullptr) return;
  tx::Ref key = first_unread(*rule, node);
  if (!key) return;
  for (const UnreadWords& words : unread_words) {
    if (words.kind == rule->kind && names(key.get(), words.arg)) refuse(words.message);
  }
  tx::Ref kind = tx::call_method(tx::attr<"key">(node).get(), tx::name<"upper">(), {});
  refuse("Unsupported filter syntax: " + tx::utf8(tx::str(kind.get()).get()) + " with " + arg_words(key.get()) +
         "; write the condition without it.");
}

}  // namespace tx::clause
