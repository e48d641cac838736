// Condition nodes: the immutable tree behind every filter, its builders and
// its rendering into a parenthesised SQLite condition with bound values.
#include "filters/attr_sieve_glue.hpp"

namespace tx::attr_sieve {

Classes classes;
Namespace ns;
Builtins builtins;

namespace {

void append(PyObject* list, PyObject* item) {
  if (PyList_Append(list, item) < 0) rethrow_python();
}

void require_str(PyObject* o, const char* param) { require_exact(o, &PyUnicode_Type, param, false); }
void require_list(PyObject* o, const char* param) { require_exact(o, &PyList_Type, param, false); }


// An operator is spliced into the SQL text, so only the known forms pass.
void check_operator(PyObject* op) {
  if (!sieve::allowed_operator(utf8_view(op))) {
    raise_format(PyExc_ValueError, "Unsupported operator %R. Use one of %s.", op, sieve::kOperatorList);
  }
}

// Text a Python override returned, appended as is.
void append_text(std::string& out, PyObject* text) {
  if (!PyUnicode_Check(text)) {
    raise_format(PyExc_TypeError, "expected str instance, %s found", type_name(text));
  }
  out.append(utf8_view(text));
}

// ---------------------------------------------------------------------------
// Rendering, one function per kind. `self` may be an instance of a subclass
// that inherits the kind's render; the parts it delegates to (_predicate,
// _KEYWORD, the children's render) are looked up as Python would.

PyObject* condition_predicate(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Adds a condition's values to `params`; returns how many there are.
Py_ssize_t add_values(PyObject* values, ParamSink& params) {
  if (!PyTuple_Check(values)) raise(PyExc_TypeError, "condition values must be a tuple");
  const Py_ssize_t n = PyTuple_GET_SIZE(values);
  for (Py_ssize_t i = 0; i < n; ++i) params.add(PyTuple_GET_ITEM(values, i));
  return n;
}

// The predicate after its left-hand side, which is already in `out`.
void predicate_rest(PyObject* self, ParamSink& params, std::string& out) {
  PyObject* values = classes.condition.field(self, kValues);
  PyObject* op = classes.condition.field(self, kOp);
  const Py_ssize_t n = add_values(values, params);
  sieve::append_predicate_rest(out, utf8_view(op), static_cast<std::size_t>(n));
}

void predicate_native(PyObject* self, std::string_view lhs, ParamSink& params, std::string& out) {
  out.append(lhs);
  predicate_rest(self, params, out);
}

// The Python override of _predicate a subclass may have; nullptr when the
// condition's own one applies.
Ref predicate_override(PyObject* self) {
  if (Py_IS_TYPE(self, classes.condition.type())) return Ref();
  MethodLookup m = lookup_method(self, name<"_predicate">());
  if (m.is(reinterpret_cast<void*>(condition_predicate), self)) return Ref();
  return std::move(m.bound);
}

void predicate(PyObject* self, const Ref& override, std::string_view lhs, ParamSink& params, std::string& out) {
  if (override) {
    Ref lhs_str = Ref::steal(PyUnicode_FromStringAndSize(lhs.data(), static_cast<Py_ssize_t>(lhs.size())));
    Ref text = call(override.get(), {lhs_str.get(), params.list()});
    append_text(out, text.get());
    return;
  }
  predicate_native(self, lhs, params, out);
}

void render_condition(PyObject* self, ParamSink& params, std::string& out) {
  // Held, not borrowed: the Python code run below (a subclass's lookup of
  // _predicate, lower() of a str subclass) can give the node a twin class
  // with writable slots and replace a field, freeing the one read here.
  const Ref held_column = Ref::borrow(classes.condition.field(self, kColumn));
  const Ref held_multi = Ref::borrow(classes.condition.field(self, kMulti));
  PyObject* column = held_column.get();
  PyObject* multi = held_multi.get();
  const Ref override = predicate_override(self);
  if (multi == Py_True || (multi != Py_False && truth(multi))) {
    params.add(column);  // the key is the first value
    if (override) {
      out.append(sieve::kMultiOpen);
      predicate(self, override, sieve::kMultiLhs, params, out);
      out.append(sieve::kMultiClose);
    } else {
      PyObject* values = classes.condition.field(self, kValues);
      PyObject* op = classes.condition.field(self, kOp);
      const Py_ssize_t n = add_values(values, params);
      sieve::append_multi_condition(out, utf8_view(op), static_cast<std::size_t>(n));
    }
    return;
  }
  if (override) {
    std::string lhs;
    append_column(lhs, column);
    out.push_back('(');
    predicate(self, override, lhs, params, out);
    out.push_back(')');
    return;
  }
  // The usual case, written in one piece. The column is read whole before
  // any value is bound, so its errors come first and leave `params` as it was.
  const char* builtin = builtin_of(column);
  const std::string_view name = builtin != nullptr ? std::string_view() : utf8_view(column);
  // Borrowed: no Python code runs from here on.
  PyObject* values = classes.condition.field(self, kValues);
  PyObject* op = classes.condition.field(self, kOp);
  const Py_ssize_t n = add_values(values, params);
  const std::string_view op_text = utf8_view(op);
  sieve::append_scalar_condition(out, builtin != nullptr ? std::string_view(builtin) : std::string_view(), name,
                                 op_text, static_cast<std::size_t>(n));
}

void render_constant(PyObject* self, ParamSink& params, std::string& out) {
  Ref op = Ref::borrow(classes.constant.field(self, kConstOp));
  Ref left = Ref::borrow(classes.constant.field(self, kLeft));
  Ref right = Ref::borrow(classes.constant.field(self, kRight));
  params.add(left.get());
  params.add(right.get());
  out.append("(? ");
  out.append(utf8_view(op.get()));
  out.append(" ?)");
}

void render_junction(PyObject* self, ParamSink& params, std::string& out) {
  std::string separator;  // the keyword with a space either side
  if (Py_IS_TYPE(self, classes.and_.type())) {
    separator = " AND ";
  } else if (Py_IS_TYPE(self, classes.or_.type())) {
    separator = " OR ";
  } else {
    Ref k = attr<"_KEYWORD">(self);
    separator.push_back(' ');
    append_text(separator, k.get());
    separator.push_back(' ');
  }
  // Held: a part's render may run Python code that replaces the parts, as a
  // condition's column.
  const Ref parts = Ref::borrow(classes.junction.field(self, kParts));
  if (!PyTuple_Check(parts.get())) raise(PyExc_TypeError, "junction parts must be a tuple");
  const Py_ssize_t n = PyTuple_GET_SIZE(parts.get());
  // The walk nests only through junctions and NOT, so they alone are guarded.
  RecursionGuard depth(" while rendering a filter");
  out.reserve(out.size() + 40 * static_cast<std::size_t>(n));  // a condition's usual size
  out.push_back('(');
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (i != 0) out.append(separator);
    PyObject* part = PyTuple_GET_ITEM(parts.get(), i);
    if (Py_IS_TYPE(part, classes.condition.type())) {  // most parts: no dispatch needed
      render_condition(part, params, out);
    } else {
      render_into(part, params, out);
    }
  }
  out.push_back(')');
}

void render_not(PyObject* self, ParamSink& params, std::string& out) {
  Ref part = Ref::borrow(classes.not_.field(self, kPart));
  RecursionGuard depth(" while rendering a filter");
  out.append("(NOT ");
  render_into(part.get(), params, out);
  out.push_back(')');
}

enum class Kind { Node, Condition, Constant, Junction, Not };

void render_kind(Kind kind, PyObject* self, ParamSink& params, std::string& out) {
  switch (kind) {
    case Kind::Condition: return render_condition(self, params, out);
    case Kind::Constant: return render_constant(self, params, out);
    case Kind::Junction: return render_junction(self, params, out);
    case Kind::Not: return render_not(self, params, out);
    case Kind::Node: PyErr_SetNone(PyExc_NotImplementedError); rethrow_python();
  }
}

template <Kind K>
PyObject* render_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("render", {"params"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_list(a[0], "params");
    std::string out;
    ParamSink params(a[0]);
    {
      RecursionGuard depth(" while rendering a filter");
      render_kind(K, self, params, out);
    }
    return text_of(out);
  });
}

Kind exact_kind(PyTypeObject* type, bool& known) {
  known = true;
  if (type == classes.condition.type()) return Kind::Condition;
  if (type == classes.and_.type() || type == classes.or_.type()) return Kind::Junction;
  if (type == classes.not_.type()) return Kind::Not;
  if (type == classes.constant.type()) return Kind::Constant;
  known = false;
  return Kind::Node;
}

PyObject* condition_predicate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<2>("_predicate", {"lhs", "params"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "lhs");
    require_list(a[1], "params");
    std::string out;
    ParamSink params(a[1]);
    predicate_native(self, utf8_view(a[0]), params, out);
    return text_of(out);
  });
}

// ---------------------------------------------------------------------------
// Constructors

PyObject* condition_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<4>("_Condition", {"column", "op", "values", "multi"}, 4);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[0], "column");
    require_str(a[1], "op");
    require_exact(a[2], &PyTuple_Type, "values", false);
    const bool multi = truth(a[3]);
    check_operator(a[1]);
    classes.condition.require_unset(self);
    classes.condition.set(self, kColumn, Ref::borrow(a[0]));
    classes.condition.set(self, kMulti, py_bool(multi));
    classes.condition.set(self, kOp, Ref::borrow(a[1]));
    classes.condition.set(self, kValues, Ref::borrow(a[2]));
    return Ref::none();
  });
}

PyObject* constant_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<3>("_Constant", {"left", "op", "right"}, 3);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[1], "op");
    check_operator(a[1]);
    classes.constant.require_unset(self);
    classes.constant.set(self, kLeft, Ref::borrow(a[0]));
    classes.constant.set(self, kConstOp, Ref::borrow(a[1]));
    classes.constant.set(self, kRight, Ref::borrow(a[2]));
    return Ref::none();
  });
}

// Splices in the parts of any child of exactly the junction's own class, so
// an AND never holds an AND and an OR never holds an OR.
void fill_junction(PyObject* self, PyObject* parts) {
  Ref items = Ref::steal(PySequence_List(parts));
  Ref flat = Ref::steal(PyList_New(0));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* p = PyList_GET_ITEM(items.get(), i);
    if (classes.junction.is_instance(p) && Py_IS_TYPE(p, Py_TYPE(self))) {
      Ref inner = Ref::borrow(classes.junction.field(p, kParts));
      if (PyList_Extend(flat.get(), inner.get()) < 0) rethrow_python();
    } else {
      append(flat.get(), p);
    }
  }
  classes.junction.require_unset(self);
  classes.junction.set(self, kParts, Ref::steal(PyList_AsTuple(flat.get())));
}

PyObject* junction_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("_Junction", {"parts"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    fill_junction(self, a[0]);
    return Ref::none();
  });
}

PyObject* not_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("_Not", {"part"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    classes.not_.require_unset(self);
    classes.not_.set(self, kPart, Ref::borrow(a[0]));
    return Ref::none();
  });
}

// Copies and pickles rebuild a node through its constructor, which checks
// the fields again; a state restored field by field would bypass that.
template <PlainClass Classes::*Cls, std::size_t... Fields>
PyObject* reduce_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("__reduce__", nargs, kwnames);
    Ref args = Ref::steal(PyTuple_Pack(sizeof...(Fields), (classes.*Cls).field(self, Fields)...));
    return PlainClass::reduce_through_constructor(self, args);
  });
}

// ---------------------------------------------------------------------------
// Builders

PyObject* condition_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<4>("condition", {"column", "op", "values", "multi=False"}, 3);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool multi = truth(a[3]);
    require_str(a[0], "column");
    require_str(a[1], "op");
    call(ns.get<"validate_identifier">().get(), {a[0]});
    check_operator(a[1]);
    Ref values = PyTuple_CheckExact(a[2]) ? Ref::borrow(a[2]) : Ref::steal(PySequence_Tuple(a[2]));
    if (PyTuple_GET_SIZE(values.get()) == 0 && utf8_view(a[1]) == "IN") {
      raise_format(PyExc_ValueError, "IN on %R needs a non-empty list of values.", a[0]);
    }
    return build_condition(a[0], a[1], values.get(), multi);
  });
}

PyObject* constant_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<3>("constant", {"left", "op", "right"}, 3);
    const auto a = sig.bind(args, nargs, kwnames);
    require_str(a[1], "op");
    check_operator(a[1]);
    Ref node = classes.constant.allocate();
    classes.constant.set(node.get(), kLeft, Ref::borrow(a[0]));
    classes.constant.set(node.get(), kConstOp, Ref::borrow(a[1]));
    classes.constant.set(node.get(), kRight, Ref::borrow(a[2]));
    return node;
  });
}

template <tx::Literal Function, PlainClass Classes::*Kind>
PyObject* junction_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>(Function.text, {"parts"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    return build_junction(classes.*Kind, a[0]);
  });
}

PyObject* not_builder(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("not_", {"part"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    return build_not(a[0]);
  });
}

// ---------------------------------------------------------------------------
// Class and function tables

constexpr const char* kNodeDoc =
    "A boolean SQL expression. `render` appends the values bound to its\n"
    "    `?`s to `params`, in the order they appear in the returned text.";
constexpr const char* kConditionDoc =
    "`column <op> values` on a scalar `metadata` column (or a builtin), or\n"
    "    on a multi-valued key -- true if ANY of the doc's values for it matches.";
constexpr const char* kConstantDoc = "`literal <op> literal` -- no column involved (e.g. ``1 = 1``).";
constexpr const char* kColumnsDoc = "The `metadata` columns this condition reads (not builtins).";
constexpr const char* kConditionBuilderDoc =
    "condition(column, op, values, multi=False)\n--\n\n"
    "Build a column condition. `op` is a comparison, ``IN``, ``LIKE``,\n"
    "    ``BETWEEN`` or ``IS NULL``; `values` are the literals it binds.";

PyMethodDef node_methods[] = {
    {"render", as_cfunction(render_method<Kind::Node>), kFastcall, nullptr},
    {"scalar_columns", as_cfunction(node_scalar_columns), kFastcall, kColumnsDoc},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef condition_methods[] = {
    {"__init__", as_cfunction(condition_init), kFastcall, nullptr},
    {"render", as_cfunction(render_method<Kind::Condition>), kFastcall, nullptr},
    {"_predicate", as_cfunction(condition_predicate), kFastcall, nullptr},
    {"scalar_columns", as_cfunction(condition_scalar_columns), kFastcall, nullptr},
    {"__reduce__", as_cfunction(reduce_method<&Classes::condition, kColumn, kOp, kValues, kMulti>), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef constant_methods[] = {
    {"__init__", as_cfunction(constant_init), kFastcall, nullptr},
    {"render", as_cfunction(render_method<Kind::Constant>), kFastcall, nullptr},
    {"__reduce__", as_cfunction(reduce_method<&Classes::constant, kLeft, kConstOp, kRight>), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef junction_methods[] = {
    {"__init__", as_cfunction(junction_init), kFastcall, nullptr},
    {"render", as_cfunction(render_method<Kind::Junction>), kFastcall, nullptr},
    {"scalar_columns", as_cfunction(junction_scalar_columns), kFastcall, nullptr},
    {"__reduce__", as_cfunction(reduce_method<&Classes::junction, kParts>), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef not_methods[] = {
    {"__init__", as_cfunction(not_init), kFastcall, nullptr},
    {"render", as_cfunction(render_method<Kind::Not>), kFastcall, nullptr},
    {"scalar_columns", as_cfunction(not_scalar_columns), kFastcall, nullptr},
    {"__reduce__", as_cfunction(reduce_method<&Classes::not_, kPart>), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef builder_defs[] = {
    {"condition", as_cfunction(condition_builder), kFastcall, kConditionBuilderDoc},
    {"constant", as_cfunction(constant_builder), kFastcall,
     "constant(left, op, right)\n--\n\n`left <op> right` over two literals, no column involved."},
    {"and_", as_cfunction(junction_builder<"and_", &Classes::and_>), kFastcall,
     "and_(parts)\n--\n\nTrue when every node in `parts` is; a lone part comes back as it is."},
    {"or_", as_cfunction(junction_builder<"or_", &Classes::or_>), kFastcall,
     "or_(parts)\n--\n\nTrue when any node in `parts` is; a lone part comes back as it is."},
    {"not_", as_cfunction(not_builder), kFastcall, "not_(part)\n--\n\nThe negation of the node `part`."},
    {nullptr, nullptr, 0, nullptr},
};

PlainClass make_class(PyObject* module, const char* qualname, const char* doc, PyObject* base,
                      std::vector<const char*> slots, PyMethodDef* methods) {
  PlainClassSpec spec;
  spec.module = kModule;
  spec.qualname = qualname;
  spec.doc = doc;
  Ref bases;
  if (base != nullptr) {
    bases = Ref::steal(PyTuple_Pack(1, base));
    spec.bases = bases.get();
  }
  spec.has_slots = true;
  spec.slots = std::move(slots);
  spec.methods = methods;
  return PlainClass::create(module, spec);
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared with the other glue files

Ref text_of(const std::string& s) { return py_str(std::string_view(s)); }

void render_into(PyObject* node, ParamSink& params, std::string& out) {
  bool known = false;
  Kind kind = exact_kind(Py_TYPE(node), known);
  if (!known) {
    MethodLookup m = lookup_method(node, name<"render">());
    if (m.is(reinterpret_cast<void*>(render_method<Kind::Condition>), node)) {
      kind = Kind::Condition;
    } else if (m.is(reinterpret_cast<void*>(render_method<Kind::Junction>), node)) {
      kind = Kind::Junction;
    } else if (m.is(reinterpret_cast<void*>(render_method<Kind::Not>), node)) {
      kind = Kind::Not;
    } else if (m.is(reinterpret_cast<void*>(render_method<Kind::Constant>), node)) {
      kind = Kind::Constant;
    } else {
      Ref text = call(m.bound.get(), {params.list()});
      append_text(out, text.get());
      return;
    }
  }
  render_kind(kind, node, params, out);
}

Ref build_condition(PyObject* column, PyObject* op, PyObject* values, bool multi) {
  Ref node = classes.condition.allocate();
  classes.condition.set(node.get(), kColumn, Ref::borrow(column));
  classes.condition.set(node.get(), kMulti, py_bool(multi));
  classes.condition.set(node.get(), kOp, Ref::borrow(op));
  classes.condition.set(node.get(), kValues, Ref::borrow(values));
  return node;
}

Ref build_junction(const PlainClass& kind, PyObject* parts) {
  Ref items = Ref::steal(PySequence_List(parts));
  if (PyList_GET_SIZE(items.get()) == 1) return Ref::borrow(PyList_GET_ITEM(items.get(), 0));
  Ref node = kind.allocate();
  fill_junction(node.get(), items.get());
  return node;
}

Ref build_not(PyObject* part) {
  Ref node = classes.not_.allocate();
  classes.not_.set(node.get(), kPart, Ref::borrow(part));
  return node;
}

void init_nodes(PyObject* module) {
  classes.node = make_class(module, "_Node", kNodeDoc, nullptr, {}, node_methods);
  PyObject* node = classes.node.object();
  classes.condition = make_class(module, "_Condition", kConditionDoc, node, {"column", "multi", "op", "values"},
                                 condition_methods);
  classes.constant = make_class(module, "_Constant", kConstantDoc, node, {"left", "op", "right"}, constant_methods);
  classes.junction = make_class(module, "_Junction", nullptr, node, {"parts"}, junction_methods);
  classes.junction.set_class_attr("_KEYWORD", py_str(""));
  PyObject* junction = classes.junction.object();
  classes.and_ = make_class(module, "_And", nullptr, junction, {}, nullptr);
  classes.and_.set_class_attr("_KEYWORD", py_str("AND"));
  classes.or_ = make_class(module, "_Or", nullptr, junction, {}, nullptr);
  classes.or_.set_class_attr("_KEYWORD", py_str("OR"));
  classes.not_ = make_class(module, "_Not", nullptr, node, {"part"}, not_methods);
  // The subclasses without fields of their own reuse the base's slot
  // offsets through `classes.junction`.

  for (PyMethodDef* def = builder_defs; def->ml_name != nullptr; ++def) {
    Ref fn = Ref::steal(PyCFunction_NewEx(def, nullptr, ns.get<"__name__">().get()));
    ns.set(def->ml_name, fn);
  }
  builtins.condition = ns.get<"condition">().release();
  builtins.and_ = ns.get<"and_">().release();
  builtins.or_ = ns.get<"or_">().release();
  builtins.not_ = ns.get<"not_">().release();
}

}  // namespace tx::attr_sieve
