// The filter dict grammar: a dict of fields and `$` operators rewritten into
// the very sqlglot nodes the SQL text parser yields for the same condition.

#include "filters/clause_builder_glue.hpp"

namespace tx::clause {
namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

tx::Ref exp_attr(PyObject* attribute) { return tx::attr(ns.get<"exp">().get(), attribute); }

// exp.<Class>(this=operand)
tx::Ref node1(PyObject* cls_name, PyObject* operand) {
  return tx::call(exp_attr(cls_name).get(), {operand}, tx::kwnames<"this">());
}

// cls(this=left, <Kw>=right)
template <tx::Literal Kw = "expression">
tx::Ref node2(PyObject* cls, PyObject* left, PyObject* right) {
  return tx::call(cls, {left, right}, tx::kwnames<"this", Kw>());
}

tx::Ref column(PyObject* field) { return tx::call(exp_attr(tx::name<"column">()).get(), {field}); }

// exp.and_(*parts, copy=False) / exp.or_: the parts are fresh trees of our
// own, so sqlglot need not copy them.
tx::Ref combine(PyObject* builder_name, const tx::Ref& parts) {
  tx::Ref builder = exp_attr(builder_name);
  tx::Ref kwargs = tx::Ref::steal(PyDict_New());
  if (PyDict_SetItem(kwargs.get(), tx::name<"copy">(), Py_False) < 0) tx::rethrow_python();
  tx::Ref args = tx::Ref::steal(PySequence_Tuple(parts.get()));
  return tx::Ref::steal(PyObject_Call(builder.get(), args.get(), kwargs.get()));
}

bool equals(PyObject* key, PyObject* text) { return tx::compare(key, text, Py_EQ); }

void append(const tx::Ref& list, const tx::Ref& item) {
  if (PyList_Append(list.get(), item.get()) < 0) tx::rethrow_python();
}

// How a message names an int: its digits quoted, or its size when the
// interpreter refuses to write that many digits.
std::string int_label(PyObject* value) {
  PyObject* digits = PyLong_Type.tp_repr(value);  // int's own form, whatever a subclass prints
  if (digits != nullptr) return repr_of(tx::Ref::steal(digits).get());
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) tx::rethrow_python();
  PyErr_Clear();
  tx::Ref bits = tx::call_method(value, tx::name<"bit_length">(), {});
  return "of " + tx::utf8(tx::str(bits.get()).get()) + " bits";
}

tx::Ref literal_impl(PyObject* value) {
  const bool scalar = value == Py_None || PyLong_Check(value) || PyFloat_Check(value) || PyUnicode_Check(value);
  if (!scalar) refuse("Unsupported filter value " + repr_of(value) + " (" + bare_type_name(value) + ").");
  if (PyLong_Check(value) && !PyBool_Check(value)) {
    // SQLite stores 64-bit integers; a larger one would only fail when bound.
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(value, &overflow);
    if (PyErr_Occurred()) tx::rethrow_python();
    if (overflow != 0) refuse("Integer literal " + int_label(value) + " is outside the 64-bit range.");
  }
  return tx::call(exp_attr(tx::name<"convert">()).get(), {value});
}

tx::Ref literal_of(PyObject* value) {
  return tx::call_global(ns, tx::name<"_literal">(), own.literal, [&] { return literal_impl(value); }, {value});
}

tx::Ref field_condition_impl(PyObject* field, PyObject* op, PyObject* operand) {
  tx::require_exact(field, &PyUnicode_Type, "field", false);
  tx::require_exact(op, &PyUnicode_Type, "op", false);
  tx::Ref col = column(field);
  tx::Ref comparisons = ns.get<"_DICT_COMPARISONS">();
  PyObject* cls = nullptr;
  if (PyDict_GetItemRef(comparisons.get(), op, &cls) < 0) tx::rethrow_python();
  if (cls != nullptr) {
    tx::Ref hold = tx::Ref::steal(cls);
    tx::Ref value = literal_of(operand);
    return node2(cls, col.get(), value.get());
  }
  // Compared as text: an operator holding a lone surrogate has no UTF-8 form.
  const bool in = PyUnicode_CompareWithASCIIString(op, "$in") == 0;
  if (in || PyUnicode_CompareWithASCIIString(op, "$nin") == 0) {
    const std::string name = in ? "$in" : "$nin";
    const bool listlike = PyList_Check(operand) || PyTuple_Check(operand) || PySet_Check(operand);
    if (!listlike || tx::length(operand) == 0) {
      refuse(name + " on " + repr_of(field) + " expects a non-empty list.");
    }
    tx::Ref items = tx::Ref::steal(PySequence_List(operand));
    tx::Ref values = tx::Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      tx::Ref item = tx::Ref::borrow(PyList_GET_ITEM(items.get(), i));
      append(values, literal_of(item.get()));
    }
    tx::Ref in_node = node2<"expressions">(exp_attr(tx::name<"In">()).get(), col.get(), values.get());
    if (in) return in_node;
    return node1(tx::name<"Not">(), in_node.get());
  }
  if (PyUnicode_CompareWithASCIIString(op, "$like") == 0) {
    tx::Ref pattern = literal_of(operand);
    return node2(exp_attr(tx::name<"Like">()).get(), col.get(), pattern.get());
  }
  if (PyUnicode_CompareWithASCIIString(op, "$contains") == 0) {
    tx::Ref value = literal_of(operand);
    return node2(exp_attr(tx::name<"EQ">()).get(), col.get(), value.get());
  }
  if (PyUnicode_CompareWithASCIIString(op, "$exists") == 0) {
    tx::Ref null = tx::call(exp_attr(tx::name<"Null">()).get(), {});
    tx::Ref is = node2(exp_attr(tx::name<"Is">()).get(), col.get(), null.get());
    if (!tx::truth(operand)) return is;
    return node1(tx::name<"Not">(), is.get());
  }
  refuse("Unknown operator " + repr_of(op) + " on field " + repr_of(field) + ".");
}

tx::Ref field_condition_of(PyObject* field, PyObject* op, PyObject* operand) {
  return tx::call_global(
      ns, tx::name<"_field_condition">(), own.field_condition,
      [&] { return field_condition_impl(field, op, operand); }, {field, op, operand});
}

tx::Ref sub_condition(PyObject* filter) {
  return tx::call_global(ns, tx::name<"dict_to_condition">(), own.dict_to_condition,
                         [&] { return dict_to_condition(filter); }, {filter});
}

// One entry of a filter dict, appended to `parts` as one or more trees.
void add_entry(PyObject* key, PyObject* value, const tx::Ref& parts) {
  const bool is_and = equals(key, tx::name<"$and">());
  if (is_and || equals(key, tx::name<"$or">())) {
    if (!(PyList_Check(value) || PyTuple_Check(value)) || tx::length(value) == 0) {
      refuse(std::string(is_and ? "$and" : "$or") + " expects a non-empty list of filter dicts.");
    }
    tx::Ref items = tx::Ref::steal(PySequence_List(value));
    tx::Ref trees = tx::Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      tx::Ref item = tx::Ref::borrow(PyList_GET_ITEM(items.get(), i));
      append(trees, sub_condition(item.get()));
    }
    append(parts, combine(is_and ? tx::name<"and_">() : tx::name<"or_">(), trees));
    return;
  }
  if (equals(key, tx::name<"$not">())) {
    tx::Ref tree = sub_condition(value);
    tx::Ref paren = node1(tx::name<"Paren">(), tree.get());
    append(parts, node1(tx::name<"Not">(), paren.get()));
    return;
  }
  // A key without startswith (a number) fails here as it would in Python,
  // with the message saying what a key must be.
  tx::Ref startswith = tx::optional_attr(key, tx::name<"startswith">());
  if (!startswith) {
    tx::raise_format(PyExc_AttributeError,
                     "'%s' object has no attribute 'startswith': the keys of a filter dict must be strings "
                     "(a field name, '$and', '$or' or '$not'), got %R",
                     Py_TYPE(key)->tp_name, key);
  }
  tx::Ref dollar = tx::Ref::steal(PyUnicode_FromString("$"));
  if (tx::truth(tx::call(startswith.get(), {dollar.get()}).get())) {
    refuse("Unknown top-level operator " + repr_of(key) + ".");
  }
  if (PyDict_Check(value)) {
    if (PyDict_GET_SIZE(value) == 0) refuse("Empty operator dict for field " + repr_of(key) + ".");
    tx::Ref items = tx::Ref::steal(PyDict_Items(value));  // a snapshot: operands may run Python code
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      tx::Ref hold = tx::Ref::borrow(pair);
      append(parts, field_condition_of(key, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)));
    }
    return;
  }
  tx::Ref col = column(key);
  tx::Ref lit = literal_of(value);
  append(parts, node2(exp_attr(tx::name<"EQ">()).get(), col.get(), lit.get()));
}

PyObject* py_dict_to_condition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::call_with_required<"dict_to_condition", "filter">(args, nargs, kwnames,
                                                               [](PyObject* f) { return dict_to_condition(f); });
}

PyObject* py_field_condition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::call_with_required<"_field_condition", "field", "op", "operand">(
      args, nargs, kwnames, [](PyObject* f, PyObject* o, PyObject* v) { return field_condition_impl(f, o, v); });
}

PyObject* py_literal(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::call_with_required<"_literal", "value">(args, nargs, kwnames, [](PyObject* v) { return literal_impl(v); });
}

PyMethodDef functions[] = {
    {"dict_to_condition", tx::as_cfunction(py_dict_to_condition), kFastcall, nullptr},
    {"_field_condition", tx::as_cfunction(py_field_condition), kFastcall, nullptr},
    {"_literal", tx::as_cfunction(py_literal), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

tx::Ref dict_to_condition(PyObject* filter) {
  tx::require_exact(filter, &PyDict_Type, "filter", false);
  tx::BoundedRecursionGuard<DictWalk> guard(" while reading a filter dict", kMaxNesting);
  if (PyDict_GET_SIZE(filter) == 0) refuse("A filter dict must be a non-empty dict.");
  tx::Ref items = tx::Ref::steal(PyDict_Items(filter));  // a snapshot: keys and values may run Python code
  tx::Ref parts = tx::Ref::steal(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    add_entry(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), parts);
  }
  if (PyList_GET_SIZE(parts.get()) == 1) return tx::Ref::borrow(PyList_GET_ITEM(parts.get(), 0));
  return combine(tx::name<"and_">(), parts);
}

void init_dict_grammar(PyObject* module) {
  if (PyModule_AddFunctions(module, functions) < 0) tx::rethrow_python();
  // Strong references: a replaced global must never be mistaken for ours.
  own.dict_to_condition = ns.get<"dict_to_condition">().release();
  own.field_condition = ns.get<"_field_condition">().release();
  own.literal = ns.get<"_literal">().release();
  tx::Ref table = tx::Ref::steal(PyDict_New());
  static constexpr std::pair<const char*, const char*> kOps[] = {
      {"$eq", "EQ"}, {"$ne", "NEQ"}, {"$gt", "GT"}, {"$gte", "GTE"}, {"$lt", "LT"}, {"$lte", "LTE"},
  };
  for (auto [op, cls] : kOps) {
    tx::Ref c = tx::Ref::steal(PyObject_GetAttrString(ns.get<"exp">().get(), cls));
    if (PyDict_SetItemString(table.get(), op, c.get()) < 0) tx::rethrow_python();
  }
  ns.set("_DICT_COMPARISONS", table);
}

}  // namespace tx::clause
