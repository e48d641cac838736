// The object model of our extension types: C++ state behind PyObject_HEAD,
// set to its empty value at allocation (so cls.__new__(cls) is safe to use),
// cyclic-GC support, read-only attributes and the refusal to be pickled.
#pragma once

#include <cstring>
#include <vector>

#include "support/core.hpp"

namespace tx {

// A Python-object field: never NULL, None when empty.
class Field {
 public:
  Field() noexcept : p_(Py_NewRef(Py_None)) {}
  Field(const Field&) = delete;
  Field& operator=(const Field&) = delete;
  ~Field() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  Ref ref() const noexcept { return Ref::borrow(p_); }
  bool is_none() const noexcept { return p_ == Py_None; }

  // Replaces the value; the old one is released last, after the field is
  // consistent, because its destructor may run arbitrary Python code.
  void set(Ref value) noexcept {
    PyObject* old = p_;
    p_ = value ? value.release() : Py_NewRef(Py_None);
    Py_XDECREF(old);
  }
  void clear() noexcept { set(Ref::none()); }
  int visit(visitproc v, void* arg) const { return p_ == nullptr ? 0 : v(p_, arg); }

 private:
  PyObject* p_;
};

// Visits every Field given, stopping at the first non-zero result.
template <class... F>
int visit_fields(visitproc v, void* arg, const F&... fields) {
  int r = 0;
  ((r == 0 ? (r = fields.visit(v, arg)) : 0), ...);
  return r;
}

// Instance layout: the C++ state lives in `state`, constructed in tp_new and
// destroyed in tp_dealloc.
template <class State>
struct Object {
  PyObject_HEAD
  State state;
};

template <class State>
State& state_of(PyObject* self) noexcept {
  return reinterpret_cast<Object<State>*>(self)->state;
}

template <class State>
concept HasTraverse = requires(const State& s, visitproc v, void* a) { s.traverse(v, a); };
template <class State>
concept HasClear = requires(State& s) { s.clear(); };

// Slot implementations for a heap type whose instances are Object<State>.
template <class State>
struct Slots {
  static PyObject* tp_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    try {
      new (&state_of<State>(self)) State();
    } catch (...) {
      // The state was never built: free the raw object without running dealloc.
      PyTypeObject* tp = Py_TYPE(self);
      PyObject_GC_UnTrack(self);
      tp->tp_free(self);
      Py_DECREF(tp);
      translate_current_exception();
      return nullptr;
    }
    return self;
  }

  static void tp_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    state_of<State>(self).~State();
    tp->tp_free(self);
    Py_DECREF(tp);  // instances of heap types own a reference to their type
  }

  static int tp_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if constexpr (HasTraverse<State>) return state_of<State>(self).traverse(visit, arg);
    return 0;
  }

  static int tp_clear(PyObject* self) {
    if constexpr (HasClear<State>) state_of<State>(self).clear();
    return 0;
  }
};

// Getter of a read-only attribute backed by a Field member.
template <class State, Field State::*Member>
PyObject* field_getter(PyObject* self, void*) {
  return Py_NewRef((state_of<State>(self).*Member).get());
}

// Takes a freshly built record out of the cyclic GC's reach when it cannot
// be part of a reference cycle: a tuple, or an instance of a tuple subclass
// with no instance dict, weak references or extra slots, whose items are all
// atoms (ints, strs, floats: no GC support) or untracked exact tuples.
// CPython untracks such exact tuples itself, but never subclass instances;
// searches build one record per hit, and every few thousand tracked
// survivors cost a pass over the whole heap. An item that is merely
// untracked for now is not enough: an empty dict is untracked until it gets
// a container, which may then be the record itself.
inline void untrack_atomic_record(PyObject* o) noexcept {
  PyTypeObject* type = Py_TYPE(o);
  if (!PyTuple_Check(o) || !PyObject_GC_IsTracked(o)) return;
  if (type != &PyTuple_Type &&
      (type->tp_dictoffset != 0 || type->tp_weaklistoffset != 0 || type->tp_basicsize != PyTuple_Type.tp_basicsize)) {
    return;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(o); ++i) {
    PyObject* item = PyTuple_GET_ITEM(o, i);
    if (PyObject_IS_GC(item) && (!PyTuple_CheckExact(item) || PyObject_GC_IsTracked(item))) return;
  }
  PyObject_GC_UnTrack(o);
}

// Instances that must not be pickled, copied through the pickle protocol or
// restored from state share these methods.
inline PyObject* refuse_pickling(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}

#define TX_REFUSE_PICKLING_METHODS                                                          \
  {"__reduce__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx::refuse_pickling)), \
   METH_FASTCALL | METH_KEYWORDS, nullptr},                                                 \
      {"__reduce_ex__",                                                                     \
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx::refuse_pickling)),     \
       METH_FASTCALL | METH_KEYWORDS, nullptr},                                             \
      {"__setstate__",                                                                      \
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tx::refuse_pickling)),     \
       METH_FASTCALL | METH_KEYWORDS, nullptr}

// The shapes of an entry point, for the declarations glue files share: a
// vectorcall method (METH_FASTCALL | METH_KEYWORDS; `self` is the class for
// a class method) and a tp_init slot.
using Method = PyObject*(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
using Init = int(PyObject* self, PyObject* args, PyObject* kwargs);

// Casts a vectorcall-style C++ function to the PyCFunction the method table holds.
template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Creates a GC-tracked, subclassable, immutable heap type and adds it to the
// module under its short name.
template <class State>
PyTypeObject* add_type(PyObject* module, const char* qualified_name, PyType_Slot* extra_slots,
                       PyTypeObject* base = nullptr) {
  std::vector<PyType_Slot> slots;
  slots.push_back({Py_tp_new, reinterpret_cast<void*>(&Slots<State>::tp_new)});
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(&Slots<State>::tp_dealloc)});
  slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(&Slots<State>::tp_traverse)});
  slots.push_back({Py_tp_clear, reinterpret_cast<void*>(&Slots<State>::tp_clear)});
  for (PyType_Slot* s = extra_slots; s != nullptr && s->slot != 0; ++s) slots.push_back(*s);
  slots.push_back({0, nullptr});
  PyType_Spec spec{qualified_name, static_cast<int>(sizeof(Object<State>)), 0,
                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                       Py_TPFLAGS_IMMUTABLETYPE,
                   slots.data()};
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, reinterpret_cast<PyObject*>(base));
  if (type == nullptr) rethrow_python();
  const char* dot = std::strrchr(qualified_name, '.');
  if (PyModule_AddObjectRef(module, dot ? dot + 1 : qualified_name, type) < 0) {
    Py_DECREF(type);
    rethrow_python();
  }
  Py_DECREF(type);  // the module holds it for the life of the process
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tx
