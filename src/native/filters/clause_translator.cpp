// _Translator: the allowlist of the filter language. It walks a sqlglot
// condition tree and rebuilds it from the condition builders of _attr_sieve,
// resolving every column against the store's schema; anything it does not
// name is refused with FilterError.
#include <tuple>
#include <utility>
#include <vector>

#include "filters/clause_builder_glue.hpp"
#include "filters/clause_text.hpp"

namespace tx::clause {
namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

tx::PlainClass translator;
enum Slot : std::size_t { kScalar = 0, kMulti = 1, kCased = 2 };

// ---- reading sqlglot nodes ---------------------------------------------

tx::Ref this_of(PyObject* node) { return tx::attr<"this">(node); }
tx::Ref expression_of(PyObject* node) { return tx::attr<"expression">(node); }

// node.args.get(key): an absent argument counts as None.
tx::Ref arg(PyObject* node, PyObject* key) {
  tx::Ref args = tx::attr<"args">(node);
  if (PyDict_Check(args.get())) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(args.get(), key, &value) < 0) tx::rethrow_python();
    return value ? tx::Ref::steal(value) : tx::Ref::none();
  }
  return tx::call_method(args.get(), tx::name<"get">(), {key});
}

// repr(node.sql()), the offending node as the messages quote it.
std::string sql_repr(PyObject* node) { return repr_of(tx::call_method(node, tx::name<"sql">(), {}).get()); }
std::string sql_text(PyObject* node) { return tx::utf8(tx::str(tx::call_method(node, tx::name<"sql">(), {}).get()).get()); }

bool is_number_literal(PyObject* node) {
  return is(node, k.Literal) && !tx::truth(tx::attr<"is_string">(node).get());
}

// ---- dispatch: the C++ body while the method is still ours ------------

PyObject* py_build(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_comparison(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_in(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_between(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_like(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_is(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_column(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_resolve(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_scalar_only(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_value(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* py_reject(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <tx::Literal Name, class Fast>
tx::Ref virtual_call(PyObject* self, PyObject* (*impl)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*),
                     Fast&& fast, std::initializer_list<PyObject*> args) {
  return tx::call_virtual(self, translator.type(), tx::name<Name>(), reinterpret_cast<void*>(impl),
                          std::forward<Fast>(fast), args);
}

tx::Ref build(PyObject* self, PyObject* node);
tx::Ref comparison(PyObject* self, PyObject* node, PyObject* op);
tx::Ref in(PyObject* self, PyObject* node);
tx::Ref between(PyObject* self, PyObject* node);
tx::Ref like(PyObject* self, PyObject* node);
tx::Ref is_null(PyObject* self, PyObject* node);
tx::Ref column(PyObject* self, PyObject* node);
std::pair<tx::Ref, bool> resolve(PyObject* self, PyObject* node);
tx::Ref scalar_only(PyObject* self, PyObject* node, PyObject* what);
tx::Ref value(PyObject* self, PyObject* node);
bool is_literal(PyObject* node);
void reject(PyObject* self, PyObject* node);

tx::Ref call_build(PyObject* self, PyObject* node) {
  return virtual_call<"build">(self, py_build, [&] { return build(self, node); }, {node});
}
tx::Ref call_column(PyObject* self, PyObject* node) {
  return virtual_call<"_column">(self, py_column, [&] { return column(self, node); }, {node});
}
std::pair<tx::Ref, bool> call_resolve(PyObject* self, PyObject* node) {
  if (Py_IS_TYPE(self, translator.type())) return resolve(self, node);
  bool ran_fast = false;
  std::pair<tx::Ref, bool> fast_result;
  tx::Ref out = virtual_call<"_resolve">(
      self, py_resolve,
      [&] {
        fast_result = resolve(self, node);
        ran_fast = true;
        return tx::Ref::none();
      },
      {node});
  if (ran_fast) return fast_result;
  auto [name, multi] = tx::unpack_pair(out.get());
  return {std::move(name), tx::truth(multi.get())};
}
tx::Ref call_value(PyObject* self, PyObject* node) {
  return virtual_call<"_value">(self, py_value, [&] { return value(self, node); }, {node});
}
bool call_is_literal(PyObject* self, PyObject* node) {
  if (Py_IS_TYPE(self, translator.type())) return is_literal(node);
  return tx::truth(tx::call_method(self, tx::name<"_is_literal">(), {node}).get());
}
void call_reject(PyObject* self, PyObject* node) {
  virtual_call<"_reject">(
      self, py_reject,
      [&] {
        reject(self, node);
        return tx::Ref::none();
      },
      {node});
}
tx::Ref call_scalar_only(PyObject* self, PyObject* node, PyObject* what) {
  return virtual_call<"_scalar_only">(self, py_scalar_only, [&] { return scalar_only(self, node, what); },
                                      {node, what});
}

// ---- the condition builders of _attr_sieve, read at each use ------------

tx::Ref make_condition(PyObject* name, const char* op, PyObject* values, bool multi) {
  tx::Ref fn = ns.get<"condition">();
  tx::Ref op_text = tx::py_str(op);
  if (!multi) return tx::call(fn.get(), {name, op_text.get(), values});
  return tx::call(fn.get(), {name, op_text.get(), values, Py_True}, tx::kwnames<"multi">());
}

tx::Ref one(PyObject* v) { return tx::Ref::steal(PyTuple_Pack(1, v)); }

tx::Ref negate(const tx::Ref& part) { return tx::call(ns.get<"not_">().get(), {part.get()}); }

// ---- the rules ----------------------------------------------------------

// The operands of a run of one junction kind (A AND B AND C parses as
// ((A AND B) AND C)), left to right, collected without recursing down the
// run, so a long flat filter does not use up the recursion limit.
tx::Ref junction(PyObject* self, PyObject* node, PyTypeObject* kind, PyObject* builder_name) {
  tx::Ref parts = tx::Ref::steal(PyList_New(0));
  std::vector<tx::Ref> pending{tx::Ref::borrow(node)};
  while (!pending.empty()) {
    tx::Ref current = std::move(pending.back());
    pending.pop_back();
    if (Py_IS_TYPE(current.get(), kind)) {
      check_args(current.get());
      pending.push_back(expression_of(current.get()));
      pending.push_back(this_of(current.get()));
      continue;
    }
    tx::Ref part = call_build(self, current.get());
    if (PyList_Append(parts.get(), part.get()) < 0) tx::rethrow_python();
  }
  return tx::call(ns.get(builder_name).get(), {parts.get()});
}

tx::Ref build(PyObject* self, PyObject* node) {
  tx::BoundedRecursionGuard<TreeWalk> guard(" while translating a filter", kMaxNesting);
  if (Py_IS_TYPE(node, k.And)) return junction(self, node, k.And, tx::name<"and_">());
  if (Py_IS_TYPE(node, k.Or)) return junction(self, node, k.Or, tx::name<"or_">());
  if (Py_IS_TYPE(node, k.Not)) {
    check_args(node);
    return negate(call_build(self, this_of(node).get()));
  }
  if (Py_IS_TYPE(node, k.Paren)) {
    check_args(node);
    return call_build(self, this_of(node).get());
  }
  tx::Ref comparisons = ns.get<"_COMPARISONS">();
  PyObject* op = nullptr;
  if (PyDict_GetItemRef(comparisons.get(), reinterpret_cast<PyObject*>(Py_TYPE(node)), &op) < 0) {
    tx::rethrow_python();
  }
  if (op != nullptr) {
    tx::Ref hold = tx::Ref::steal(op);
    return virtual_call<"_comparison">(self, py_comparison, [&] { return comparison(self, node, op); }, {node, op});
  }
  if (is(node, k.In)) return virtual_call<"_in">(self, py_in, [&] { return in(self, node); }, {node});
  if (is(node, k.Between)) return virtual_call<"_between">(self, py_between, [&] { return between(self, node); }, {node});
  if (is(node, k.Like)) return virtual_call<"_like">(self, py_like, [&] { return like(self, node); }, {node});
  if (is(node, k.Is)) return virtual_call<"_is">(self, py_is, [&] { return is_null(self, node); }, {node});
  // sqlglot wraps LIKE ... ESCAPE in a node of its own rather than arguing the LIKE.
  if (k.Escape != nullptr && is(node, k.Escape) && is(this_of(node).get(), k.Like)) {
    refuse("LIKE ... ESCAPE is not supported.");
  }
  call_reject(self, node);
  tx::Ref key = tx::call_method(tx::attr<"key">(node).get(), tx::name<"upper">(), {});
  refuse("Unsupported filter syntax: " + tx::utf8(tx::str(key.get()).get()) + " (" + sql_repr(node) + ").");
}

tx::Ref comparison(PyObject* self, PyObject* node, PyObject* op) {
  tx::require_exact(op, &PyUnicode_Type, "op", false);
  check_args(node);
  tx::Ref left = this_of(node);
  tx::Ref right = expression_of(node);
  tx::Ref op_text = tx::Ref::borrow(op);
  if (call_is_literal(self, left.get()) && call_is_literal(self, right.get())) {
    tx::Ref l = call_value(self, left.get());
    tx::Ref r = call_value(self, right.get());
    return tx::call(ns.get<"constant">().get(), {l.get(), op_text.get(), r.get()});
  }
  if (!is(left.get(), k.Column) && is(right.get(), k.Column)) {
    std::swap(left, right);
    op_text = tx::Ref::steal(PyObject_GetItem(ns.get<"_FLIPPED">().get(), op_text.get()));
  }
  tx::Ref col = call_column(self, left.get());
  auto [name, multi] = call_resolve(self, col.get());
  tx::Ref v = call_value(self, right.get());
  if (multi) {
    const int range = PySequence_Contains(ns.get<"_RANGE_OPS">().get(), op_text.get());
    if (range < 0) tx::rethrow_python();
    if (range == 1) {
      refuse("Range comparison " + repr_of(op_text.get()) + " is not supported on multi-valued column " +
             repr_of(name.get()) +
             ": its values are stored as text, so the result would compare strings, not numbers. "
             "Use =, !=, IN or LIKE.");
    }
  }
  const std::string op_str = tx::utf8(op_text.get());
  return make_condition(name.get(), op_str.c_str(), one(v.get()).get(), multi);
}

tx::Ref in(PyObject* self, PyObject* node) {
  check_args(node);
  if (!arg(node, tx::name<"query">()).is_none() || !arg(node, tx::name<"unnest">()).is_none()) {
    refuse("Subqueries are not allowed in a filter.");
  }
  tx::Ref field = arg(node, tx::name<"field">());
  if (!field.is_none()) {
    tx::Ref col = call_column(self, field.get());
    auto [name, multi] = call_resolve(self, col.get());
    if (!multi) {
      const std::string f = sql_text(field.get());
      refuse("'<value> IN " + f + "' only works on a multi-valued column; use '" + f +
             " = <value>' for a scalar one.");
    }
    tx::Ref v = call_value(self, this_of(node).get());
    return make_condition(name.get(), "=", one(v.get()).get(), true);
  }
  tx::Ref expressions = tx::Ref::steal(PySequence_List(tx::attr<"expressions">(node).get()));
  if (PyList_GET_SIZE(expressions.get()) == 0) refuse("IN needs a non-empty list of values.");
  tx::Ref col = call_column(self, this_of(node).get());
  auto [name, multi] = call_resolve(self, col.get());
  tx::Ref values = tx::Ref::steal(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(expressions.get()); ++i) {
    tx::Ref item = tx::Ref::borrow(PyList_GET_ITEM(expressions.get(), i));
    tx::Ref v = call_value(self, item.get());
    if (PyList_Append(values.get(), v.get()) < 0) tx::rethrow_python();
  }
  return make_condition(name.get(), "IN", values.get(), multi);
}

tx::Ref between(PyObject* self, PyObject* node) {
  check_args(node);
  tx::Ref col = call_column(self, this_of(node).get());
  tx::Ref what = tx::py_str("BETWEEN");
  tx::Ref name = call_scalar_only(self, col.get(), what.get());
  tx::Ref args = tx::attr<"args">(node);
  tx::Ref low = call_value(self, tx::Ref::steal(PyObject_GetItem(args.get(), tx::name<"low">())).get());
  tx::Ref high = call_value(self, tx::Ref::steal(PyObject_GetItem(args.get(), tx::name<"high">())).get());
  tx::Ref bounds = tx::Ref::steal(PyTuple_Pack(2, low.get(), high.get()));
  tx::Ref cond = make_condition(name.get(), "BETWEEN", bounds.get(), false);
  return tx::truth(arg(node, tx::name<"negate">()).get()) ? negate(cond) : cond;
}

tx::Ref like(PyObject* self, PyObject* node) {
  check_args(node);
  if (!arg(node, tx::name<"escape">()).is_none()) refuse("LIKE ... ESCAPE is not supported.");
  tx::Ref col = call_column(self, this_of(node).get());
  auto [name, multi] = call_resolve(self, col.get());
  tx::Ref pattern = call_value(self, expression_of(node).get());
  tx::Ref cond = make_condition(name.get(), "LIKE", one(pattern.get()).get(), multi);
  return tx::truth(arg(node, tx::name<"negate">()).get()) ? negate(cond) : cond;
}

tx::Ref is_null(PyObject* self, PyObject* node) {
  check_args(node);
  if (!is(expression_of(node).get(), k.Null)) refuse("IS is only supported as IS NULL / IS NOT NULL.");
  tx::Ref col = call_column(self, this_of(node).get());
  auto [name, multi] = call_resolve(self, col.get());
  if (multi) {
    const std::string plain = tx::utf8(tx::str(name.get()).get());
    refuse("Multi-valued column " + repr_of(name.get()) +
           " can only be compared with =, !=, IN or LIKE against a literal (e.g. \"" + plain + " = 'x'\" or \"'x' IN " +
           plain + "\").");
  }
  tx::Ref empty = tx::Ref::steal(PyTuple_New(0));
  return make_condition(name.get(), "IS NULL", empty.get(), false);
}

tx::Ref column(PyObject* self, PyObject* node) {
  if (is(node, k.Column)) return tx::Ref::borrow(node);
  call_reject(self, node);
  refuse("Expected a column, got " + sql_repr(node) + ". A condition compares one column with literal values.");
}

// The stored name for `key` in one schema map: the exact spelling when the
// schema holds it, otherwise the map's choice (the first in sorted order).
tx::Ref pick(PyObject* self, PyObject* map, PyObject* key, PyObject* name) {
  PyObject* names = nullptr;
  if (PyDict_GetItemRef(translator.field(self, kCased), key, &names) < 0) tx::rethrow_python();
  if (names != nullptr) {
    tx::Ref hold = tx::Ref::steal(names);
    const int found = PySequence_Contains(names, name);
    if (found < 0) tx::rethrow_python();
    if (found == 1) return tx::Ref::borrow(name);
  }
  return tx::Ref::steal(PyObject_GetItem(map, key));
}

bool contains(PyObject* map, PyObject* key) {
  const int r = PySequence_Contains(map, key);
  if (r < 0) tx::rethrow_python();
  return r == 1;
}

std::pair<tx::Ref, bool> resolve(PyObject* self, PyObject* node) {
  if (!arg(node, tx::name<"table">()).is_none() || !arg(node, tx::name<"db">()).is_none() ||
      !arg(node, tx::name<"catalog">()).is_none()) {
    refuse("Table-qualified columns are not allowed: " + sql_repr(node) + ".");
  }
  check_args(node);
  tx::Ref ident = this_of(node);
  if (is(ident.get(), k.Identifier)) check_args(ident.get());
  tx::Ref name = tx::attr<"name">(node);
  tx::Ref key = tx::lowered(name.get());
  if (contains(ns.get<"BUILTIN_COLUMNS">().get(), key.get())) return {key, false};
  PyObject* scalar = translator.field(self, kScalar);
  PyObject* multi = translator.field(self, kMulti);
  if (contains(multi, key.get())) {
    if (contains(scalar, key.get())) {
      refuse("Column " + repr_of(name.get()) +
             " holds scalar values for some documents and lists for others, so a filter on it is ambiguous.");
    }
    return {pick(self, multi, key.get(), name.get()), true};
  }
  if (contains(scalar, key.get())) return {pick(self, scalar, key.get(), name.get()), false};
  refuse("Unknown column " + repr_of(name.get()) + " in filter.");
}

tx::Ref scalar_only(PyObject* self, PyObject* node, PyObject* what) {
  tx::require_exact(what, &PyUnicode_Type, "what", false);
  auto [name, multi] = call_resolve(self, node);
  if (multi) {
    refuse(tx::utf8(what) + " is not supported on multi-valued column " + repr_of(name.get()) +
           ": its values are stored as text. Use =, !=, IN or LIKE.");
  }
  return name;
}

bool is_literal(PyObject* node) {
  if (is(node, k.Literal) || is(node, k.Boolean) || is(node, k.Null)) return true;
  if (!is(node, k.Neg)) return false;
  return is_number_literal(this_of(node).get());
}

// SQLite stores 64-bit integers; a larger one would fail only when bound,
// with an error that says nothing of the filter.
void check_int_range(PyObject* v, const std::string& text) {
  if (!PyLong_CheckExact(v)) return;
  int overflow = 0;
  PyLong_AsLongLongAndOverflow(v, &overflow);
  if (PyErr_Occurred()) tx::rethrow_python();
  if (overflow != 0) {
    refuse("Integer literal " + repr_of(tx::Ref::steal(PyUnicode_FromString(text.c_str())).get()) +
           " is outside the 64-bit range.");
  }
}

tx::Ref call_literal_value(PyObject* node) {
  return tx::call_global(ns, tx::name<"_literal_value">(), own.literal_value, [&] { return literal_value(node); },
                         {node});
}

tx::Ref value(PyObject* self, PyObject* node) {
  if (is(node, k.Literal) || is(node, k.Boolean) || is(node, k.Null) || is(node, k.Neg)) check_args(node);
  if (is(node, k.Literal)) {
    tx::Ref v = call_literal_value(node);
    if (PyLong_CheckExact(v.get())) check_int_range(v.get(), tx::utf8(tx::str(this_of(node).get()).get()));
    return v;
  }
  if (is(node, k.Boolean)) return tx::py_long(tx::truth(this_of(node).get()) ? 1 : 0);
  if (is(node, k.Null)) return tx::Ref::none();
  if (is(node, k.Neg)) {
    tx::Ref inner = this_of(node);
    if (is_number_literal(inner.get())) {
      check_args(inner.get());
      tx::Ref v = tx::Ref::steal(PyNumber_Negative(call_literal_value(inner.get()).get()));
      if (PyLong_CheckExact(v.get())) check_int_range(v.get(), "-" + tx::utf8(tx::str(this_of(inner.get()).get()).get()));
      return v;
    }
  }
  call_reject(self, node);
  refuse("Expected a literal value, got " + sql_repr(node) + ".");
}

void reject(PyObject*, PyObject* node) {
  if (is(node, k.Subquery) || is(node, k.Select) || is(node, k.Query) || is(node, k.Exists)) {
    refuse("Subqueries are not allowed in a filter.");
  }
  if (is(node, k.Placeholder)) refuse("Placeholders are not supported; write the value inline.");
  const int arithmetic = PyObject_IsInstance(node, ns.get<"_ARITHMETIC">().get());
  if (arithmetic < 0) tx::rethrow_python();
  if (arithmetic == 1) {
    refuse("Arithmetic is not supported in a filter (" + sql_repr(node) + "); compare a column with a literal.");
  }
  if (is(node, k.Func)) {
    tx::Ref name = is(node, k.Anonymous) ? tx::attr<"name">(node) : tx::call_method(node, tx::name<"sql_name">(), {});
    refuse("Function " + repr_of(name.get()) + " is not allowed in a filter.");
  }
}

// ---- construction -------------------------------------------------------

// lower-cased name -> stored name, the first in sorted order when several
// differ only in letter case (a set's order changes from run to run); those
// groups also go to `cased`, lower-cased name -> sorted tuple of them.
tx::Ref name_map(PyObject* names, PyObject* cased) {
  tx::Ref map = tx::Ref::steal(PyDict_New());
  tx::Ref groups = tx::Ref::steal(PyDict_New());  // only the names that collide
  tx::Ref iter = tx::Ref::steal(PyObject_GetIter(names));
  while (PyObject* raw = PyIter_Next(iter.get())) {
    tx::Ref name = tx::Ref::steal(raw);
    if (!PyUnicode_CheckExact(name.get())) {
      tx::raise_format(PyExc_TypeError, "Expected str, got %s", tx::type_name(name.get()));
    }
    tx::Ref key = tx::lowered(name.get());
    PyObject* held = PyDict_SetDefault(map.get(), key.get(), name.get());  // borrowed
    if (held == nullptr) tx::rethrow_python();
    if (held == name.get()) continue;
    PyObject* group = PyDict_GetItemWithError(groups.get(), key.get());
    if (group == nullptr) {
      if (PyErr_Occurred()) tx::rethrow_python();
      tx::Ref fresh = tx::Ref::steal(PyList_New(0));
      if (PyList_Append(fresh.get(), held) < 0 || PyDict_SetItem(groups.get(), key.get(), fresh.get()) < 0) {
        tx::rethrow_python();
      }
      group = fresh.get();
    }
    if (PyList_Append(group, name.get()) < 0) tx::rethrow_python();
  }
  if (PyErr_Occurred()) tx::rethrow_python();
  Py_ssize_t pos = 0;
  PyObject *key, *group;
  while (PyDict_Next(groups.get(), &pos, &key, &group)) {
    if (PyList_Sort(group) < 0) tx::rethrow_python();
    tx::Ref all = tx::Ref::steal(PyList_AsTuple(group));
    if (PyDict_SetItem(map.get(), key, PyList_GET_ITEM(group, 0)) < 0 || PyDict_SetItem(cased, key, all.get()) < 0) {
      tx::rethrow_python();
    }
  }
  return map;
}

// ---- Python entry points ------------------------------------------------

tx::Ref init(PyObject* self, PyObject* scalar_columns, PyObject* multi_keys) {
  tx::require_exact(scalar_columns, &PySet_Type, "scalar_columns", false);
  tx::require_exact(multi_keys, &PySet_Type, "multi_keys", false);
  translator.require_unset(self);  // the schema is fixed once made
  tx::Ref cased = tx::Ref::steal(PyDict_New());
  tx::Ref scalar = name_map(scalar_columns, cased.get());
  tx::Ref multi = name_map(multi_keys, cased.get());
  translator.set(self, kScalar, scalar);
  translator.set(self, kMulti, multi);
  translator.set(self, kCased, cased);
  return tx::Ref::none();
}

PyObject* py_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_Translator", "scalar_columns", "multi_keys">(
      args, nargs, kwnames, [&](PyObject* s, PyObject* m) { return init(self, s, m); });
}

PyObject* py_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"build", "node">(args, nargs, kwnames, [&](PyObject* n) { return build(self, n); });
}
PyObject* py_comparison(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_comparison", "node", "op">(args, nargs, kwnames,
                                              [&](PyObject* n, PyObject* op) { return comparison(self, n, op); });
}
PyObject* py_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_in", "node">(args, nargs, kwnames, [&](PyObject* n) { return in(self, n); });
}
PyObject* py_between(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_between", "node">(args, nargs, kwnames, [&](PyObject* n) { return between(self, n); });
}
PyObject* py_like(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_like", "node">(args, nargs, kwnames, [&](PyObject* n) { return like(self, n); });
}
PyObject* py_is(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_is", "node">(args, nargs, kwnames, [&](PyObject* n) { return is_null(self, n); });
}
PyObject* py_column(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_column", "node">(args, nargs, kwnames, [&](PyObject* n) { return column(self, n); });
}
PyObject* py_resolve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_resolve", "node">(args, nargs, kwnames, [&](PyObject* n) {
    auto [name, multi] = resolve(self, n);
    return tx::Ref::steal(PyTuple_Pack(2, name.get(), multi ? Py_True : Py_False));
  });
}
PyObject* py_scalar_only(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_scalar_only", "node", "what">(args, nargs, kwnames,
                                                [&](PyObject* n, PyObject* w) { return scalar_only(self, n, w); });
}
PyObject* py_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_value", "node">(args, nargs, kwnames, [&](PyObject* n) { return value(self, n); });
}
PyObject* py_is_literal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_is_literal", "node">(args, nargs, kwnames, [](PyObject* n) { return tx::py_bool(is_literal(n)); });
}
PyObject* py_reject(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_reject", "node">(args, nargs, kwnames, [&](PyObject* n) {
    reject(self, n);
    return tx::Ref::none();
  });
}
PyObject* py_literal_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_with_required<"_literal_value", "node">(args, nargs, kwnames, [](PyObject* n) { return literal_value(n); });
}

PyMethodDef translator_methods[] = {
    {"__init__", tx::as_cfunction(py_init), kFastcall, nullptr},
    {"build", tx::as_cfunction(py_build), kFastcall, nullptr},
    {"_comparison", tx::as_cfunction(py_comparison), kFastcall, nullptr},
    {"_in", tx::as_cfunction(py_in), kFastcall, nullptr},
    {"_between", tx::as_cfunction(py_between), kFastcall, nullptr},
    {"_like", tx::as_cfunction(py_like), kFastcall, nullptr},
    {"_is", tx::as_cfunction(py_is), kFastcall, nullptr},
    {"_column", tx::as_cfunction(py_column), kFastcall, nullptr},
    {"_resolve", tx::as_cfunction(py_resolve), kFastcall, nullptr},
    {"_scalar_only", tx::as_cfunction(py_scalar_only), kFastcall, nullptr},
    {"_value", tx::as_cfunction(py_value), kFastcall, nullptr},
    {"_is_literal", tx::as_cfunction(py_is_literal), kFastcall | METH_STATIC, nullptr},
    {"_reject", tx::as_cfunction(py_reject), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef functions[] = {
    {"_literal_value", tx::as_cfunction(py_literal_value), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

tx::Ref literal_value(PyObject* node) {
  tx::Ref text = this_of(node);
  if (tx::truth(tx::attr<"is_string">(node).get())) {
    // A lone surrogate has no UTF-8 form, so the value could never be bound.
    if (PyUnicode_Check(text.get()) && PyUnicode_AsUTF8AndSize(text.get(), nullptr) == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) tx::rethrow_python();
      PyErr_Clear();
      refuse("String literal " + repr_of(text.get()) + " holds a lone surrogate, which no stored text can match.");
    }
    return text;
  }
  PyObject* as_int = PyNumber_Long(text.get());
  if (as_int != nullptr) return tx::Ref::steal(as_int);
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) tx::rethrow_python();
  // Only ASCII text can be digits; any other has no need of a UTF-8 form
  // here (and a lone surrogate has none).
  const bool ascii = PyUnicode_Check(text.get()) && PyUnicode_IS_ASCII(text.get());
  if (ascii && tx::clause::is_decimal_digits(tx::utf8_view(text.get()))) {
    // More digits than the interpreter converts: far outside the 64-bit range.
    refuse_replacing("Integer literal " + repr_of(text.get()) + " is outside the 64-bit range.");
  }
  PyErr_Clear();
  PyObject* as_float = PyNumber_Float(text.get());
  if (as_float != nullptr) return tx::Ref::steal(as_float);
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) tx::rethrow_python();
  refuse_replacing("Invalid numeric literal " + repr_of(text.get()) + ".");
}

void init_translator(PyObject* module) {
  if (PyModule_AddFunctions(module, functions) < 0) tx::rethrow_python();
  own.literal_value = ns.get<"_literal_value">().release();

  tx::PlainClassSpec spec;
  spec.module = "tarnix_engine._clause_builder";
  spec.qualname = "_Translator";
  spec.doc =
      "Walks an allowlisted sqlglot tree and builds AttrSieve nodes,\n"
      "    resolving each column against the current schema.";
  spec.has_slots = true;
  spec.slots = {"_scalar", "_multi", "_cased"};
  spec.methods = translator_methods;
  translator = tx::PlainClass::create(module, spec);
  init_arg_rules();
}

}  // namespace tx::clause
