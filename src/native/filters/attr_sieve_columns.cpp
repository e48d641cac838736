// Column helpers: how a condition names its column in SQL, and the walk
// that lists the scalar metadata columns a tree reads.
#include "filters/attr_sieve_glue.hpp"

namespace tx::attr_sieve {

namespace {

enum class Kind { Node, Condition, Junction, Not };


void add(PyObject* sink, PyObject* item) {
  if (PySet_Check(sink) ? PySet_Add(sink, item) : PyList_Append(sink, item)) rethrow_python();
}

// The lazy result of scalar_columns(): the walk runs when the iterator is
// first advanced, then the names it found are handed out in order.
struct WalkState {
  Field node;
  Field items;
  Kind kind = Kind::Node;
  bool started = false;
  Py_ssize_t index = 0;
  int traverse(visitproc v, void* a) const { return visit_fields(v, a, node, items); }
  void clear() {
    node.clear();
    items.clear();
  }
};

PyTypeObject* walk_type = nullptr;

void collect_kind(Kind kind, PyObject* node, PyObject* sink);

Ref new_walk(Kind kind, PyObject* node) {
  Ref it = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(walk_type)));
  WalkState& st = state_of<WalkState>(it.get());
  st.node.set(Ref::borrow(node));
  st.kind = kind;
  return it;
}

PyObject* walk_next(PyObject* self) {
  return guard([&]() -> Ref {
    WalkState& st = state_of<WalkState>(self);
    if (!st.started) {
      st.started = true;
      if (st.node.is_none()) return Ref();
      Ref items = Ref::steal(PyList_New(0));
      Ref node = st.node.ref();
      {
        RecursionGuard depth(" while listing a filter's columns");
        collect_kind(st.kind, node.get(), items.get());
      }
      st.items.set(items);
      st.node.clear();
    }
    PyObject* items = st.items.get();
    if (!PyList_Check(items) || st.index >= PyList_GET_SIZE(items)) {
      st.items.clear();
      return Ref();
    }
    return Ref::borrow(PyList_GET_ITEM(items, st.index++));
  });
}

PyType_Slot walk_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(walk_next)},
    {0, nullptr},
};

// Which of our scalar_columns() a call on `node` would run, if any.
bool own_kind(PyObject* node, const MethodLookup& m, Kind& kind) {
  if (m.is(reinterpret_cast<void*>(condition_scalar_columns), node)) {
    kind = Kind::Condition;
  } else if (m.is(reinterpret_cast<void*>(junction_scalar_columns), node)) {
    kind = Kind::Junction;
  } else if (m.is(reinterpret_cast<void*>(not_scalar_columns), node)) {
    kind = Kind::Not;
  } else if (m.is(reinterpret_cast<void*>(node_scalar_columns), node)) {
    kind = Kind::Node;
  } else {
    return false;
  }
  return true;
}

bool exact_kind(PyObject* node, Kind& kind) {
  PyTypeObject* t = Py_TYPE(node);
  if (t == classes.condition.type()) {
    kind = Kind::Condition;
  } else if (t == classes.and_.type() || t == classes.or_.type()) {
    kind = Kind::Junction;
  } else if (t == classes.not_.type()) {
    kind = Kind::Not;
  } else if (t == classes.constant.type()) {
    kind = Kind::Node;
  } else {
    return false;
  }
  return true;
}

void collect_kind(Kind kind, PyObject* node, PyObject* sink) {
  switch (kind) {
    case Kind::Node:
      return;
    case Kind::Condition: {
      Ref column = Ref::borrow(classes.condition.field(node, kColumn));
      if (!truth(classes.condition.field(node, kMulti)) && !is_builtin(column.get())) add(sink, column.get());
      return;
    }
    case Kind::Junction: {
      Ref parts = Ref::borrow(classes.junction.field(node, kParts));
      Ref items = Ref::steal(PySequence_Fast(parts.get(), "junction parts must be a tuple"));
      for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        collect_columns(PySequence_Fast_GET_ITEM(items.get(), i), sink);
      }
      return;
    }
    case Kind::Not:
      return collect_columns(classes.not_.field(node, kPart), sink);
  }
}

// What node.scalar_columns() returns.
Ref columns_of(PyObject* node) {
  RecursionGuard depth(" while listing a filter's columns");
  Kind kind;
  MethodLookup m;
  if (!exact_kind(node, kind)) {
    m = lookup_method(node, name<"scalar_columns">());
    if (!own_kind(node, m, kind)) return call(m.bound.get(), {});
  }
  switch (kind) {
    case Kind::Not:
      return columns_of(classes.not_.field(node, kPart));
    case Kind::Node:
      return Ref::steal(PyObject_GetIter(Ref::steal(PyTuple_New(0)).get()));
    default:
      return new_walk(kind, node);
  }
}

template <Kind K>
PyObject* columns_method(PyObject* self, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("scalar_columns", nargs, kwnames);
    if constexpr (K == Kind::Node) return Ref::steal(PyObject_GetIter(Ref::steal(PyTuple_New(0)).get()));
    if constexpr (K == Kind::Not) return columns_of(classes.not_.field(self, kPart));
    return new_walk(K, self);
  });
}

}  // namespace

PyObject* node_scalar_columns(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return columns_method<Kind::Node>(self, nargs, kwnames);
}
PyObject* condition_scalar_columns(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return columns_method<Kind::Condition>(self, nargs, kwnames);
}
PyObject* junction_scalar_columns(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return columns_method<Kind::Junction>(self, nargs, kwnames);
}
PyObject* not_scalar_columns(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return columns_method<Kind::Not>(self, nargs, kwnames);
}

const char* builtin_of(PyObject* column) {
  if (!PyUnicode_Check(column)) raise_format(PyExc_TypeError, "column must be a str, not %s", type_name(column));
  if (PyUnicode_IS_ASCII(column)) return sieve::builtin_column(utf8_view(column));
  // Python's own lower(), since a few non-ASCII letters lower to ASCII ones.
  Ref lowered = call_method(column, name<"lower">(), {});
  return sieve::builtin_column(utf8_view(lowered.get()));
}

bool is_builtin(PyObject* column) { return builtin_of(column) != nullptr; }

void append_column(std::string& out, PyObject* column) {
  if (const char* builtin = builtin_of(column)) {
    out.append(builtin);
  } else {
    sieve::append_scalar_column(out, utf8_view(column));
  }
}

void collect_columns(PyObject* node, PyObject* sink) {
  RecursionGuard depth(" while listing a filter's columns");
  Kind kind;
  if (!exact_kind(node, kind)) {
    MethodLookup m = lookup_method(node, name<"scalar_columns">());
    if (!own_kind(node, m, kind)) {
      Ref it = Ref::steal(PyObject_GetIter(call(m.bound.get(), {}).get()));
      while (PyObject* item = PyIter_Next(it.get())) {
        Ref held = Ref::steal(item);
        add(sink, held.get());
      }
      if (PyErr_Occurred()) rethrow_python();
      return;
    }
  }
  collect_kind(kind, node, sink);
}

void init_columns(PyObject* module) {
  walk_type = add_type<WalkState>(module, "tarnix_engine._attr_sieve._ColumnWalk", walk_slots);
}

}  // namespace tx::attr_sieve
