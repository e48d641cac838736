// tarnix_engine._sql: the statement builders the store writes its SQL with.
// They only assemble text and value lists; every value travels bound behind
// a "?" mark, and only identifiers and trusted condition texts are spliced.
#include "filters/sql_text.hpp"
#include "support/plain_class.hpp"
#include "support/support.hpp"

namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

tx::Namespace ns;

// ---------------------------------------------------------------------------
// Shared pieces

void append(PyObject* list, PyObject* item) {
  if (PyList_Append(list, item) < 0) tx::rethrow_python();
}

void extend(PyObject* list, PyObject* items) {
  if (PyList_Extend(list, items) < 0) tx::rethrow_python();
}

tx::Ref concat(std::initializer_list<PyObject*> parts) {
  tx::Ref out = tx::Ref::steal(PyUnicode_FromStringAndSize("", 0));
  for (PyObject* p : parts) out = tx::Ref::steal(PyUnicode_Concat(out.get(), p));
  return out;
}

tx::Ref join(const char* sep, PyObject* items) {
  tx::Ref s = tx::py_str(sep);
  return tx::Ref::steal(PyUnicode_Join(s.get(), items));
}

tx::Ref prefixed(const char* prefix, PyObject* text) {
  tx::Ref p = tx::py_str(prefix);
  return tx::Ref::steal(PyUnicode_Concat(p.get(), text));
}

void set_attr(PyObject* self, PyObject* name, PyObject* value) {
  if (PyObject_SetAttr(self, name, value) < 0) tx::rethrow_python();
}

tx::Ref new_list() { return tx::Ref::steal(PyList_New(0)); }

tx::Ref list_of(PyObject* items) { return tx::Ref::steal(PySequence_List(items)); }

void require_str(PyObject* o, const char* param, bool none_ok = false) {
  tx::require_exact(o, &PyUnicode_Type, param, none_ok);
}

// `where(condition, *params)`, shared by both builders: the text as given,
// its values after the values of earlier calls.
tx::Ref add_condition(const tx::VarSignature<1, 0>& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  auto b = sig.bind(args, nargs, kwnames);
  require_str(b.positional[0], "condition");
  tx::Ref wheres = tx::attr<"_wheres">(self);
  tx::Ref values = tx::attr<"_params">(self);
  append(wheres.get(), b.positional[0]);
  extend(values.get(), b.args.get());
  return tx::Ref::borrow(self);
}

// ---------------------------------------------------------------------------
// Module functions

bool identifier_ok(PyObject* name) {
  if (!PyUnicode_IS_ASCII(name)) return false;
  const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(name));
  return tx::sql::is_identifier(std::string_view(data, static_cast<std::size_t>(PyUnicode_GET_LENGTH(name))));
}

PyObject* validate_identifier(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("validate_identifier", {"name"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "name");
    if (!identifier_ok(a[0])) {
      tx::raise_format(PyExc_ValueError, "Invalid identifier %R: must match %s.", a[0], tx::sql::kIdentifierPattern);
    }
    return tx::Ref::none();
  });
}

// The lazy slicer behind chunks(): its range of offsets is fixed at the
// first step from the list's length then, as a generator would.
struct ChunkState {
  tx::Field seq;
  long long size = 0;
  bool started = false;
  bool done = false;
  Py_ssize_t offset = 0;
  Py_ssize_t end = 0;
  int traverse(visitproc v, void* a) const { return seq.visit(v, a); }
  void clear() { seq.clear(); }
};

PyTypeObject* chunk_type = nullptr;

PyObject* chunk_next(PyObject* self) {
  ChunkState& st = tx::state_of<ChunkState>(self);
  if (st.done || !PyList_CheckExact(st.seq.get())) return nullptr;  // also one made by calling the type
  if (!st.started) {
    st.started = true;
    if (st.size == 0) {
      st.done = true;
      st.seq.clear();
      PyErr_SetString(PyExc_ValueError, "range() arg 3 must not be zero");
      return nullptr;
    }
    st.end = PyList_GET_SIZE(st.seq.get());
  }
  if (st.size < 0 || st.offset >= st.end) {
    st.done = true;
    st.seq.clear();
    return nullptr;
  }
  const Py_ssize_t from = st.offset;
  const long long stop = static_cast<long long>(from) + st.size;
  const Py_ssize_t to = stop > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(stop);
  st.offset = to;
  return PyList_GetSlice(st.seq.get(), from, to);
}

PyObject* chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("chunks", {"seq", "size"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::require_exact(a[0], &PyList_Type, "seq", false);
    tx::Ref size = tx::to_py_int(a[1], "size");
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(size.get(), &overflow);
    if (n == -1 && PyErr_Occurred()) tx::rethrow_python();
    if (overflow != 0) n = overflow > 0 ? PY_SSIZE_T_MAX : -1;  // a step past any length, or an empty range
    tx::Ref it = tx::Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(chunk_type)));
    ChunkState& st = tx::state_of<ChunkState>(it.get());
    st.seq.set(tx::Ref::borrow(a[0]));
    st.size = n;
    return it;
  });
}

// ---------------------------------------------------------------------------
// Query

PyObject* query_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("Query", {"table", "alias=None"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    PyObject* alias = a[1];
    require_str(a[0], "table");
    require_str(alias, "alias", true);
    tx::Ref from = tx::Ref::borrow(a[0]);
    if (alias != Py_None && PyUnicode_GET_LENGTH(alias) > 0) {
      tx::Ref blank = tx::py_str(" ");
      from = concat({a[0], blank.get(), alias});
    }
    tx::Ref star = tx::py_str("*");
    set_attr(self, tx::name<"_from">(), from.get());
    tx::Ref select = tx::Ref::steal(PyList_New(1));
    PyList_SET_ITEM(select.get(), 0, star.release());
    set_attr(self, tx::name<"_select">(), select.get());
    set_attr(self, tx::name<"_joins">(), new_list().get());
    set_attr(self, tx::name<"_wheres">(), new_list().get());
    set_attr(self, tx::name<"_params">(), new_list().get());
    set_attr(self, tx::name<"_group_by">(), new_list().get());
    set_attr(self, tx::name<"_order_by">(), new_list().get());
    set_attr(self, tx::name<"_limit">(), Py_None);
    return tx::Ref::none();
  });
}

// select/group_by/order_by replace their list with the arguments, untested.
template <tx::Literal Function, tx::Literal Field>
PyObject* replace_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
      tx::raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", Function.text,
                       PyTuple_GET_ITEM(kwnames, 0));
    }
    const Py_ssize_t n = PyVectorcall_NARGS(nargs);
    tx::Ref items = tx::Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(items.get(), i, Py_NewRef(args[i]));
    set_attr(self, tx::name<Field>(), items.get());
    return tx::Ref::borrow(self);
  });
}

PyObject* query_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("Query.join", {"table", "on"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "table");
    require_str(a[1], "on");
    tx::Ref on = tx::py_str(" ON ");
    tx::Ref clause = concat({prefixed("JOIN ", a[0]).get(), on.get(), a[1]});
    append(tx::attr<"_joins">(self).get(), clause.get());
    return tx::Ref::borrow(self);
  });
}

PyObject* query_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const tx::VarSignature<1, 0> sig("Query.where", {"condition"}, {}, 1, false);
  return tx::guard([&] { return add_condition(sig, self, args, nargs, kwnames); });
}

PyObject* query_where_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("Query.where_in", {"column", "values"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "column");
    tx::require_exact(a[1], &PyList_Type, "values", false);
    tx::Ref values = list_of(a[1]);
    // Built from the column as a str, so any text the caller passes is kept as is.
    const std::string tail = tx::sql::in_list("", static_cast<std::size_t>(PyList_GET_SIZE(values.get())));
    tx::Ref marks = tx::Ref::steal(PyUnicode_FromStringAndSize(tail.data(), static_cast<Py_ssize_t>(tail.size())));
    tx::Ref condition = concat({a[0], marks.get()});
    append(tx::attr<"_wheres">(self).get(), condition.get());
    extend(tx::attr<"_params">(self).get(), values.get());
    return tx::Ref::borrow(self);
  });
}

PyObject* query_limit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("Query.limit", {"n"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref n = tx::to_py_int(a[0], "n");
    set_attr(self, tx::name<"_limit">(), n.get());
    return tx::Ref::borrow(self);
  });
}

PyObject* query_build(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("Query.build", nargs, kwnames);
    tx::Ref pieces = new_list();
    append(pieces.get(), prefixed("SELECT ", join(", ", tx::attr<"_select">(self).get()).get()).get());
    append(pieces.get(), prefixed("FROM ", tx::attr<"_from">(self).get()).get());
    extend(pieces.get(), tx::attr<"_joins">(self).get());
    tx::Ref wheres = tx::attr<"_wheres">(self);
    if (tx::length(wheres.get()) > 0) append(pieces.get(), prefixed("WHERE ", join(" AND ", wheres.get()).get()).get());
    tx::Ref group = tx::attr<"_group_by">(self);
    if (tx::length(group.get()) > 0) append(pieces.get(), prefixed("GROUP BY ", join(", ", group.get()).get()).get());
    tx::Ref order = tx::attr<"_order_by">(self);
    if (tx::length(order.get()) > 0) append(pieces.get(), prefixed("ORDER BY ", join(", ", order.get()).get()).get());
    tx::Ref params = list_of(tx::attr<"_params">(self).get());
    tx::Ref limit = tx::attr<"_limit">(self);
    if (!limit.is_none()) {
      append(pieces.get(), tx::py_str("LIMIT ?").get());
      append(params.get(), limit.get());
    }
    tx::Ref text = join(" ", pieces.get());
    return tx::Ref::steal(PyTuple_Pack(2, text.get(), params.get()));
  });
}

PyMethodDef query_methods[] = {
    {"__init__", tx::as_cfunction(query_init), kFastcall,
     "__init__($self, table, alias=None)\n--\n\nA SELECT from `table`, named `alias` in the statement when given."},
    {"select", tx::as_cfunction(replace_list<"Query.select", "_select">), kFastcall,
     "select($self, /, *columns)\n--\n\nSelect these expressions in place of the earlier ones; returns the query."},
    {"join", tx::as_cfunction(query_join), kFastcall,
     "join($self, table, on)\n--\n\nAdd ``JOIN table ON on``; returns the query."},
    {"where", tx::as_cfunction(query_where), kFastcall,
     "where($self, condition, *params)\n--\n\nAND a condition whose `?`s bind `params` in order; returns the query."},
    {"where_in", tx::as_cfunction(query_where_in), kFastcall,
     "where_in($self, column, values)\n--\n\nAND ``column IN (?, ...)`` binding `values`; returns the query."},
    {"group_by", tx::as_cfunction(replace_list<"Query.group_by", "_group_by">), kFastcall,
     "group_by($self, /, *columns)\n--\n\nGroup by these expressions in place of the earlier ones; returns the query."},
    {"order_by", tx::as_cfunction(replace_list<"Query.order_by", "_order_by">), kFastcall,
     "order_by($self, /, *columns)\n--\n\nOrder by these expressions in place of the earlier ones; returns the query."},
    {"limit", tx::as_cfunction(query_limit), kFastcall,
     "limit($self, n)\n--\n\nAdd ``LIMIT ?`` binding `n`; returns the query."},
    {"build", tx::as_cfunction(query_build), kFastcall,
     "build($self, /)\n--\n\n(SQL text, list of bound values) of the statement."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Update

PyObject* update_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("Update", {"table"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "table");
    set_attr(self, tx::name<"_table">(), a[0]);
    set_attr(self, tx::name<"_set">(), new_list().get());
    set_attr(self, tx::name<"_wheres">(), new_list().get());
    set_attr(self, tx::name<"_params">(), new_list().get());
    return tx::Ref::none();
  });
}

PyObject* update_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::keywords_only("Update.set", nargs);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    tx::Ref assignments = tx::attr<"_set">(self);
    tx::Ref params = tx::attr<"_params">(self);
    tx::Ref mark = tx::py_str(" = ?");
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      tx::Ref text = tx::Ref::steal(PyUnicode_Concat(PyTuple_GET_ITEM(kwnames, i), mark.get()));
      append(assignments.get(), text.get());
      append(params.get(), args[i]);
    }
    return tx::Ref::borrow(self);
  });
}

PyObject* update_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const tx::VarSignature<1, 0> sig("Update.where", {"condition"}, {}, 1, false);
  return tx::guard([&] { return add_condition(sig, self, args, nargs, kwnames); });
}

PyObject* update_build(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("Update.build", nargs, kwnames);
    tx::Ref pieces = new_list();
    append(pieces.get(), prefixed("UPDATE ", tx::attr<"_table">(self).get()).get());
    append(pieces.get(), prefixed("SET ", join(", ", tx::attr<"_set">(self).get()).get()).get());
    tx::Ref wheres = tx::attr<"_wheres">(self);
    if (tx::length(wheres.get()) > 0) append(pieces.get(), prefixed("WHERE ", join(" AND ", wheres.get()).get()).get());
    tx::Ref text = join(" ", pieces.get());
    tx::Ref params = tx::attr<"_params">(self);  // the builder's own list, as documented
    return tx::Ref::steal(PyTuple_Pack(2, text.get(), params.get()));
  });
}

PyMethodDef update_methods[] = {
    {"__init__", tx::as_cfunction(update_init), kFastcall,
     "__init__($self, table)\n--\n\nAn UPDATE of `table`."},
    {"set", tx::as_cfunction(update_set), kFastcall,
     "set($self, /, **assignments)\n--\n\nAdd ``column = ?`` binding the value, for each keyword; returns the update."},
    {"where", tx::as_cfunction(update_where), kFastcall,
     "where($self, condition, *params)\n--\n\nAND a condition whose `?`s bind `params` in order; returns the update."},
    {"build", tx::as_cfunction(update_build), kFastcall,
     "build($self, /)\n--\n\n(SQL text, list of bound values) of the statement."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// AddColumn

PyObject* add_column_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("AddColumn", {"table", "column"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "table");
    require_str(a[1], "column");
    set_attr(self, tx::name<"_table">(), a[0]);
    set_attr(self, tx::name<"_column">(), a[1]);
    return tx::Ref::none();
  });
}

PyObject* add_column_build(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("AddColumn.build", nargs, kwnames);
    tx::Ref middle = tx::py_str(" ADD COLUMN ");
    return concat({prefixed("ALTER TABLE ", tx::attr<"_table">(self).get()).get(), middle.get(),
                   tx::attr<"_column">(self).get()});
  });
}

PyMethodDef add_column_methods[] = {
    {"__init__", tx::as_cfunction(add_column_init), kFastcall,
     "__init__($self, table, column)\n--\n\nAn ALTER TABLE that adds `column` to `table`."},
    {"build", tx::as_cfunction(add_column_build), kFastcall,
     "build($self, /)\n--\n\nThe SQL text of the statement."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------

PyMethodDef module_methods[] = {
    {"validate_identifier", tx::as_cfunction(validate_identifier), kFastcall,
     "validate_identifier(name)\n--\n\nRaise ValueError unless `name` is a plain SQL identifier."},
    {"chunks", tx::as_cfunction(chunks), kFastcall,
     "chunks(seq, size)\n--\n\nSuccessive slices of the list `seq`, `size` items each (the last may be shorter)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_sql", "SQLite statement builders with bound values.", -1,
                          module_methods};

PyType_Slot chunk_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(chunk_next)},
    {0, nullptr},
};

void add_plain(PyObject* module, const char* name, PyMethodDef* methods) {
  tx::PlainClassSpec spec;
  spec.module = "tarnix_engine._sql";
  spec.qualname = name;
  spec.methods = methods;
  tx::PlainClass::create(module, spec);
}

}  // namespace

PyMODINIT_FUNC PyInit__sql() {
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    ns.import_module("re", "re");
    ns.set("SQL_CHUNK", tx::py_long(tx::sql::kChunk));
    tx::Ref pattern = tx::py_str(tx::sql::kIdentifierPattern);
    ns.set("_IDENTIFIER_RE", tx::call_method(ns.get<"re">().get(), tx::name<"compile">(), {pattern.get()}));
    add_plain(module, "Query", query_methods);
    add_plain(module, "Update", update_methods);
    add_plain(module, "AddColumn", add_column_methods);
    chunk_type = tx::add_type<ChunkState>(module, "tarnix_engine._sql._Chunks", chunk_slots);
  });
}
