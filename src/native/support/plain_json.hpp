// Values made only of what JSON writes, each of its exact builtin type: dict
// (with str keys), list, tuple, str, int, float, bool and None. Such a value
// is read without running its own code, so a cache key made of its JSON text
// says what every later reading of it sees; a subclass is written from its
// stored value but read elsewhere through its own methods.
#pragma once

#include <unordered_set>

#include "support/core.hpp"
#include "support/plain_class.hpp"
#include "support/recursion.hpp"

namespace tx::plain_json {

// Deeper than any filter SQLite could run (its parser gives up at about a
// hundred levels of parentheses), and far within any thread's stack.
inline constexpr int kMaxDepth = 250;
struct Walk {};

inline bool is_scalar(PyObject* o) noexcept {
  PyTypeObject* t = Py_TYPE(o);
  return o == Py_None || t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type;
}

// Whether `o` is plain, under the recursion guard. A container met again on
// its own path (a cycle) counts as plain: the JSON encoder reports it.
inline bool check(PyObject* o, std::unordered_set<PyObject*>& path, const char* where) {
  PyTypeObject* type = Py_TYPE(o);
  const bool dict = type == &PyDict_Type;
  if (!dict && type != &PyList_Type && type != &PyTuple_Type) return is_scalar(o);
  if (!path.insert(o).second) return true;
  BoundedRecursionGuard<Walk> guard(where, kMaxDepth);
  bool plain = true;
  if (dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (plain && PyDict_Next(o, &pos, &key, &value)) {
      plain = PyUnicode_CheckExact(key) && check(value, path, where);
    }
  } else {
    PyObject** items = PySequence_Fast_ITEMS(o);  // a list or a tuple
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    for (Py_ssize_t i = 0; plain && i < n; ++i) plain = check(items[i], path, where);
  }
  path.erase(o);
  return plain;
}

// A copy of a plain value with containers of its own (scalars are shared:
// they cannot change), or an empty Ref when `o` is not plain or holds a
// cycle. Every item is held while it is copied, so code that the allocator
// may run (a collection) cannot free it meanwhile.
inline Ref copy(PyObject* o, std::unordered_set<PyObject*>& path, const char* where) {
  PyTypeObject* type = Py_TYPE(o);
  if (type != &PyDict_Type && type != &PyList_Type && type != &PyTuple_Type) {
    return is_scalar(o) ? Ref::borrow(o) : Ref();
  }
  if (!path.insert(o).second) return Ref();
  BoundedRecursionGuard<Walk> guard(where, kMaxDepth);
  const Ref hold = Ref::borrow(o);
  Ref out;
  if (type == &PyDict_Type) {
    const Ref items = Ref::steal(PyDict_Items(o));
    out = Ref::steal(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      PyObject* key = PyTuple_GET_ITEM(pair, 0);
      if (!PyUnicode_CheckExact(key)) return Ref();
      const Ref value = copy(PyTuple_GET_ITEM(pair, 1), path, where);
      if (!value) return Ref();
      if (PyDict_SetItem(out.get(), key, value.get()) < 0) rethrow_python();
    }
  } else {
    const Ref items = Ref::steal(PySequence_List(o));  // a list or a tuple: no code of its own runs
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    out = Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Ref item = copy(PyList_GET_ITEM(items.get(), i), path, where);
      if (!item) return Ref();
      PyList_SET_ITEM(out.get(), i, item.release());
    }
    if (type == &PyTuple_Type) out = Ref::steal(PyList_AsTuple(out.get()));
  }
  path.erase(o);
  return out;
}

}  // namespace tx::plain_json
