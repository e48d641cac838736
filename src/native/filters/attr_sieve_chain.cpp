// AttrSieve: the filter chain. Each call returns a new filter whose root
// shares the nodes of the one it grew from; neither field ever changes.
#include "filters/attr_sieve_glue.hpp"

namespace tx::attr_sieve {

namespace {

PlainClass& sieve() { return classes.sieve; }

void require_str(PyObject* o, const char* param) { require_exact(o, &PyUnicode_Type, param, false); }

Ref make_sieve(PyObject* owner, PyObject* node) {
  Ref made = sieve().allocate();
  sieve().set(made.get(), kOwner, Ref::borrow(owner));
  sieve().set(made.get(), kNode, Ref::borrow(node));
  return made;
}

PyObject* node_of(PyObject* self) { return sieve().field(self, kNode); }
PyObject* owner_of(PyObject* self) { return sieve().field(self, kOwner); }

Ref pair_list(PyObject* a, PyObject* b) {
  Ref list = Ref::steal(PyList_New(2));
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(a));
  PyList_SET_ITEM(list.get(), 1, Py_NewRef(b));
  return list;
}

// The module's and_/or_/not_ as they stand now: a replacement assigned to
// the module is honoured, the original runs natively.
Ref join_roots(PyObject* junction, PyObject* roots) {
  if (junction == builtins.and_) return build_junction(classes.and_, roots);
  if (junction == builtins.or_) return build_junction(classes.or_, roots);
  return call(junction, {roots});
}

// ---------------------------------------------------------------------------

PyObject* sieve_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<2>("AttrSieve", {"owner=None", "node=None"}, 0);
    const auto a = sig.bind(args, nargs, kwnames);
    sieve().require_unset(self);
    sieve().set(self, kOwner, Ref::borrow(a[0]));
    sieve().set(self, kNode, Ref::borrow(a[1]));
    return Ref::none();
  });
}

Ref with_node(PyObject* self, PyObject* node) {
  PyObject* root = node_of(self);
  Ref new_root = root == Py_None ? Ref::borrow(node) : join_roots(ns.get<"and_">().get(), pair_list(root, node).get());
  return make_sieve(owner_of(self), new_root.get());
}

PyObject* sieve_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("_with", {"node"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    return with_node(self, a[0]);
  });
}

// condition(column, op, values, multi=multi) through the module global.
Ref make_condition(PyObject* column, PyObject* op, PyObject* values, PyObject* multi) {
  return call(ns.get<"condition">().get(), {column, op, values, multi}, kwnames<"multi">());
}

Ref chain_condition(PyObject* column, PyObject* op, PyObject* value, PyObject* multi) {
  require_str(column, "column");
  require_str(op, "op");
  const std::string_view op_text = utf8_view(op);
  if (!sieve::chain_operator(op_text)) {
    raise_format(PyExc_ValueError, "Unsupported operator %R. Use one of %s.", op, sieve::kChainOperatorList);
  }
  Ref values;
  if (op_text == "IN") {
    values = PyTuple_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PySequence_Tuple(value));
  } else {
    values = Ref::steal(PyTuple_Pack(1, value));
  }
  return make_condition(column, op, values.get(), multi);
}

PyObject* sieve_chain_condition(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<4>("_chain_condition", {"column", "op", "value", "multi"}, 4);
    const auto a = sig.bind(args, nargs, kwnames);
    return chain_condition(a[0], a[1], a[2], py_bool(truth(a[3])).get());
  });
}

// self._with(node), honouring an override of _with in a subclass.
Ref add_condition(PyObject* self, PyObject* node) {
  return call_virtual(
      self, sieve().type(), name<"_with">(), reinterpret_cast<void*>(sieve_with), [&] { return with_node(self, node); },
      {node});
}

template <tx::Literal Function, bool Multi>
PyObject* sieve_where(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<3>(Function.text, {"column", "op", "value"}, 3);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "column");
    require_str(a[1], "op");
    PyObject* multi = Multi ? Py_True : Py_False;
    Ref node;
    if (Py_IS_TYPE(self, sieve().type())) {
      node = chain_condition(a[0], a[1], a[2], multi);
    } else {
      Ref method = attr<"_chain_condition">(self);
      node = call(method.get(), {a[0], a[1], a[2], multi});
    }
    return add_condition(self, node.get());
  });
}

template <tx::Literal Function, bool Multi>
PyObject* sieve_where_like(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<2>(Function.text, {"column", "pattern"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "column");
    require_str(a[1], "pattern");
    Ref values = Ref::steal(PyTuple_Pack(1, a[1]));
    Ref node = make_condition(a[0], py_str("LIKE").get(), values.get(), Multi ? Py_True : Py_False);
    return add_condition(self, node.get());
  });
}

PyObject* sieve_where_between(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<3>("where_between", {"column", "low", "high"}, 3);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "column");
    Ref values = Ref::steal(PyTuple_Pack(2, a[1], a[2]));
    Ref node = make_condition(a[0], py_str("BETWEEN").get(), values.get(), Py_False);
    return add_condition(self, node.get());
  });
}

PyObject* sieve_where_null(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("where_null", {"column"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "column");
    Ref values = Ref::steal(PyTuple_New(0));
    Ref node = make_condition(a[0], py_str("IS NULL").get(), values.get(), Py_False);
    return add_condition(self, node.get());
  });
}

Ref combine(PyObject* self, PyObject* others, PyObject* junction) {
  const Py_ssize_t n = PyTuple_GET_SIZE(others);
  Ref roots = Ref::steal(PyList_New(0));
  PyObject* owner = Py_None;
  for (Py_ssize_t i = -1; i < n; ++i) {
    PyObject* operand = i < 0 ? self : PyTuple_GET_ITEM(others, i);
    if (!sieve().is_instance(operand)) {
      Ref type_name_obj = Ref::steal(PyType_GetName(Py_TYPE(operand)));
      raise_format(PyExc_TypeError, "Can only combine AttrSieves, got %U.", type_name_obj.get());
    }
    PyObject* root = node_of(operand);
    if (root == Py_None) raise(PyExc_ValueError, "Cannot combine an empty AttrSieve.");
    if (owner == Py_None) owner = owner_of(operand);
    if (PyList_Append(roots.get(), root) < 0) rethrow_python();
  }
  Ref held_owner = Ref::borrow(owner);
  Ref root = join_roots(junction, roots.get());
  return make_sieve(held_owner.get(), root.get());
}

PyObject* sieve_combine(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<2>("_combine", {"others", "junction"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyTuple_Type, "others", false);
    return combine(self, a[0], a[1]);
  });
}

template <tx::Literal Function, tx::Literal Junction>
PyObject* sieve_join(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
      raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", Function.text,
                   PyTuple_GET_ITEM(kwnames, 0));
    }
    const Py_ssize_t n = PyVectorcall_NARGS(nargs);
    Ref others = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(others.get(), i, Py_NewRef(args[i]));
    Ref junction = ns.get<Junction>();
    return call_virtual(
        self, sieve().type(), name<"_combine">(), reinterpret_cast<void*>(sieve_combine),
        [&] { return combine(self, others.get(), junction.get()); }, {others.get(), junction.get()});
  });
}

PyObject* sieve_not(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("not_", nargs, kwnames);
    PyObject* root = node_of(self);
    if (root == Py_None) raise(PyExc_ValueError, "Cannot negate an empty AttrSieve.");
    Ref held = Ref::borrow(root);
    Ref negation = ns.get<"not_">();
    Ref new_root = negation.get() == builtins.not_ ? build_not(held.get()) : call(negation.get(), {held.get()});
    return make_sieve(owner_of(self), new_root.get());
  });
}

// The chain's text, its bound values gathered in `params`.
Ref render_sieve(PyObject* self, ParamSink& params) {
  Ref root = Ref::borrow(node_of(self));
  if (root.is_none()) return py_str("1");
  std::string out;
  render_into(root.get(), params, out);
  return text_of(out);
}

PyObject* sieve_to_sql(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("to_sql", nargs, kwnames);
    ParamSink params;
    Ref text = render_sieve(self, params);
    return Ref::steal(PyTuple_Pack(2, text.get(), params.take_list().get()));
  });
}

// The to_sql() a subclass put in place of the chain's own, or nullptr.
Ref to_sql_override(PyObject* self) {
  if (Py_IS_TYPE(self, sieve().type())) return Ref();
  MethodLookup m = lookup_method(self, name<"to_sql">());
  if (m.is(reinterpret_cast<void*>(sieve_to_sql), self)) return Ref();
  return std::move(m.bound);
}

// (sql, params) from self.to_sql(), honouring an override in a subclass.
std::pair<Ref, Ref> sql_of(PyObject* self) {
  if (Ref override = to_sql_override(self)) return unpack_pair(call(override.get(), {}).get());
  ParamSink params;
  Ref text = render_sieve(self, params);
  return {std::move(text), params.take_list()};
}

PyObject* sieve_scalar_columns(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("scalar_columns", nargs, kwnames);
    Ref columns = Ref::steal(PySet_New(nullptr));
    Ref root = Ref::borrow(node_of(self));
    if (!root.is_none()) collect_columns(root.get(), columns.get());
    return columns;
  });
}

PyObject* sieve_cache_key(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("cache_key", nargs, kwnames);
    Ref text, values;
    if (Ref override = to_sql_override(self)) {
      auto [sql, params] = unpack_pair(call(override.get(), {}).get());
      text = std::move(sql);
      values = Ref::steal(PySequence_Tuple(params.get()));
    } else {  // the values go straight into the key's tuple, with no list between
      ParamSink params;
      text = render_sieve(self, params);
      values = params.take_tuple();
    }
    Ref key = Ref::steal(PyTuple_Pack(3, name<"chain">(), text.get(), values.get()));
    try {
      guarded_hash(key.get());
    } catch (const PyErrorSet&) {
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
      PyErr_Clear();  // a bound value that cannot be hashed: no key
      return Ref::none();
    }
    return key;
  });
}

PyObject* sieve_positions(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("positions", nargs, kwnames);
    Ref owner = Ref::borrow(owner_of(self));
    if (owner.is_none()) {
      raise(PyExc_ValueError,
            "This AttrSieve isn't bound to a RowScreen; pass it to RowScreen.positions(filter) instead.");
    }
    return call_method(owner.get(), name<"positions">(), {self});
  });
}

PyObject* sieve_repr(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("__repr__", nargs, kwnames);
    auto [text, params] = sql_of(self);
    return Ref::steal(PyUnicode_FromFormat("AttrSieve(%R, params=%R)", text.get(), params.get()));
  });
}

PyObject* sieve_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("__reduce__", nargs, kwnames);
    Ref args = Ref::steal(PyTuple_Pack(2, owner_of(self), node_of(self)));
    return PlainClass::reduce_through_constructor(self, args);
  });
}

PyMethodDef sieve_methods[] = {
    {"__init__", as_cfunction(sieve_init), kFastcall,
     "__init__($self, owner=None, node=None)\n--\n\n"
     "A filter over `node` (None: matches everything), bound to the RowScreen `owner` or to none."},
    {"_with", as_cfunction(sieve_with), kFastcall, nullptr},
    {"_chain_condition", as_cfunction(sieve_chain_condition), kFastcall | METH_STATIC, nullptr},
    {"where", as_cfunction(sieve_where<"where", false>), kFastcall,
     "where($self, column, op, value)\n--\n\n"
     "AND ``column <op> value`` on a scalar column. `op` is one of\n"
     "        ``= != > >= < <= IN`` (``IN`` takes a list)."},
    {"where_any", as_cfunction(sieve_where<"where_any", true>), kFastcall,
     "where_any($self, column, op, value)\n--\n\n"
     "AND a condition on a multi-valued key: true if ANY of the doc's\n"
     "        values for `column` satisfies ``op value``."},
    {"where_like", as_cfunction(sieve_where_like<"where_like", false>), kFastcall,
     "where_like($self, column, pattern)\n--\n\n"
     "AND ``column LIKE pattern`` (SQLite LIKE: ASCII case-insensitive)."},
    {"where_any_like", as_cfunction(sieve_where_like<"where_any_like", true>), kFastcall,
     "where_any_like($self, column, pattern)\n--\n\n"
     "AND \"any value of the multi-valued `column` is LIKE `pattern`\"."},
    {"where_between", as_cfunction(sieve_where_between), kFastcall,
     "where_between($self, column, low, high)\n--\n\n"
     "AND ``column BETWEEN low AND high`` (inclusive)."},
    {"where_null", as_cfunction(sieve_where_null), kFastcall,
     "where_null($self, column)\n--\n\n"
     "AND ``column IS NULL``; negate with ``~`` for IS NOT NULL."},
    {"_combine", as_cfunction(sieve_combine), kFastcall, nullptr},
    {"and_", as_cfunction(sieve_join<"and_", "and_">), kFastcall,
     "and_($self, /, *others)\n--\n\n"},
    {"or_", as_cfunction(sieve_join<"or_", "or_">), kFastcall,
     "or_($self, /, *others)\n--\n\n"},
    {"not_", as_cfunction(sieve_not), kFastcall,
     "not_($self, /)\n--\n\n"},
    {"to_sql", as_cfunction(sieve_to_sql), kFastcall,
     "to_sql($self, /)\n--\n\n"
     "(boolean SQL expression over `metadata m JOIN docs d`, bound\n"
     "        params). An empty filter renders as ``1`` (matches everything)."},
    {"scalar_columns", as_cfunction(sieve_scalar_columns), kFastcall,
     "scalar_columns($self, /)\n--\n\nThe scalar metadata columns this filter reads."},
    {"cache_key", as_cfunction(sieve_cache_key), kFastcall,
     "cache_key($self, /)\n--\n\n"
     "Hashable key for this filter, or None if a bound value isn't hashable."},
    {"positions", as_cfunction(sieve_positions), kFastcall,
     "positions($self, /)\n--\n\n"
     "Sorted positions matching this filter, via the RowScreen it was\n"
     "        started from (same as ``row_screen.positions(this_filter)``)."},
    {"__repr__", as_cfunction(sieve_repr), kFastcall, nullptr},
    {"__reduce__", as_cfunction(sieve_reduce), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_chain(PyObject* module) {
  PlainClassSpec spec;
  spec.module = kModule;
  spec.qualname = "AttrSieve";
  spec.has_slots = true;
  spec.slots = {"_node", "_owner"};
  spec.methods = sieve_methods;
  classes.sieve = PlainClass::create(module, spec);
  classes.sieve.alias("__and__", "and_");
  classes.sieve.alias("__or__", "or_");
  classes.sieve.alias("__invert__", "not_");
}

}  // namespace tx::attr_sieve
