// Argument conversions and type checks shared by every module.
#pragma once

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <string_view>

#include "support/core.hpp"
#include "support/no_python/text.hpp"

namespace tx {

// Signed 64-bit integer from an int or any object with __index__; the
// interpreter's TypeError for other objects, OverflowError beyond the range.
inline std::int64_t to_int64(PyObject* o) {
  Ref index = Ref::steal(PyNumber_Index(o));
  const long long v = PyLong_AsLongLong(index.get());
  if (v == -1 && PyErr_Occurred()) rethrow_python();
  return static_cast<std::int64_t>(v);
}

// Signed 32-bit integer, as to_int64 but with the narrower range.
inline std::int32_t to_int32(PyObject* o) {
  Ref index = Ref::steal(PyNumber_Index(o));
  const int v = PyLong_AsInt(index.get());
  if (v == -1 && PyErr_Occurred()) rethrow_python();
  return static_cast<std::int32_t>(v);
}

// A real number as a double, the interpreter's float(): floats, ints and
// objects with __float__ or __index__; its TypeError for anything else.
inline double to_double(PyObject* o) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) rethrow_python();
  return v;
}

// A setting that must be a finite real number: NaN or an infinity would
// only surface as meaningless scores later, so it is refused by name.
inline double to_finite_double(PyObject* o, const char* param) {
  const double v = to_double(o);
  if (!std::isfinite(v)) raise(PyExc_ValueError, std::string(param) + " must be finite, got " + repr(o));
  return v;
}

// An integer setting with a lowest meaningful value, refused by name below it.
inline void require_at_least(std::int64_t v, std::int64_t low, const char* param) {
  if (v < low) {
    raise(PyExc_ValueError, std::string(param) + " must be >= " + std::to_string(low) + ", got " + std::to_string(v));
  }
}

inline bool truth(PyObject* o) {
  const int t = PyObject_IsTrue(o);
  if (t < 0) rethrow_python();
  return t == 1;
}

// A parameter declared int: an int passes unchanged, any other number goes
// through int() (floats truncate), anything else is refused by name.
inline Ref to_py_int(PyObject* o, const char* param) {
  if (PyLong_CheckExact(o)) return Ref::borrow(o);
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  const bool is_number = PyLong_Check(o) || PyFloat_Check(o) ||
                         (nb != nullptr && (nb->nb_index != nullptr || nb->nb_int != nullptr));
  if (!is_number) {
    raise_format(PyExc_TypeError, "Argument '%s' has incorrect type (expected int, got %s)", param,
                 type_name(o));
  }
  return Ref::steal(PyNumber_Long(o));
}

// A parameter declared as exactly one builtin type (subclasses refused).
inline void require_exact(PyObject* o, PyTypeObject* type, const char* param, bool none_ok) {
  if (Py_IS_TYPE(o, type) || (none_ok && o == Py_None)) return;
  raise_format(PyExc_TypeError, "Argument '%s' has incorrect type (expected %s, got %s)", param,
               type->tp_name, type_name(o));
}

// A list of names that must each be a str, as a new list of plain str: a
// subclass is read as its text, so no __eq__, __hash__ or sqlite3 adapter of
// its own reaches a key or a statement. Any other item is refused by index.
inline Ref plain_str_items(PyObject* list, const char* param) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  Ref out = Ref::steal(PyList_New(n));
  if (!out) rethrow_python();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    if (!PyUnicode_Check(item)) {
      raise_format(PyExc_TypeError, "%s[%zd] must be a str, not %s", param, i, type_name(item));
    }
    PyObject* plain = PyUnicode_CheckExact(item) ? Py_NewRef(item) : PyUnicode_FromObject(item);
    if (plain == nullptr) rethrow_python();
    PyList_SET_ITEM(out.get(), i, plain);
  }
  return out;
}

// A value that must be of one builtin type where it is used; None passes.
inline void expect_type(PyObject* o, PyTypeObject* type) {
  if (o == Py_None || Py_IS_TYPE(o, type)) return;
  raise_format(PyExc_TypeError, "Expected %s, got %s", type->tp_name, type_name(o));
}

// name.lower(), as filters and SQLite compare names: an ASCII str is
// lowered here (the same result), anything else by the interpreter's
// Unicode rules.
inline Ref lowered(PyObject* name) {
  if (PyUnicode_CheckExact(name) && PyUnicode_IS_ASCII(name)) {
    const std::string_view view = utf8_view(name);
    if (view.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string_view::npos) return Ref::borrow(name);
    const std::string lower = text::ascii_lower(view);
    return Ref::steal(PyUnicode_FromStringAndSize(lower.data(), static_cast<Py_ssize_t>(lower.size())));
  }
  return Ref::steal(PyObject_CallMethod(name, "lower", nullptr));
}

// len(o)
inline Py_ssize_t length(PyObject* o) {
  const Py_ssize_t n = PyObject_Length(o);
  if (n < 0) rethrow_python();
  return n;
}

inline Ref py_long(std::int64_t v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref py_str(const char* s) { return Ref::steal(PyUnicode_FromString(s)); }

// A str of UTF-8 text (strict). ASCII text, the usual SQL, is copied in
// without the decoder: a branch-free scan finds it is ASCII.
inline Ref py_str(std::string_view s) {
  unsigned char high = 0;
  for (const char c : s) high |= static_cast<unsigned char>(c);
  if (high < 0x80) {
    Ref str = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127));
    std::memcpy(PyUnicode_DATA(str.get()), s.data(), s.size());
    return str;
  }
  return Ref::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}
inline Ref py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

// [make(0), ..., make(n - 1)], where make returns a Ref: an allocation that
// fails raises before the list holds a NULL item.
template <class Make>
Ref list_of(Py_ssize_t n, Make&& make) {
  Ref list = Ref::steal(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, make(i).release());
  return list;
}

// a, b, ... = o for exactly N values, with the interpreter's messages.
template <std::size_t N>
std::array<Ref, N> unpack_values(PyObject* o) {
  PyObject* raw = PyObject_GetIter(o);
  if (raw == nullptr) {
    // Only an object that is not iterable at all gets the unpacking message;
    // a TypeError raised by its own __iter__ passes through, as in Python.
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(o)->tp_iter == nullptr && !PySequence_Check(o)) {
      PyErr_Clear();
      raise_format(PyExc_TypeError, "cannot unpack non-iterable %s object", type_name(o));
    }
    rethrow_python();
  }
  Ref it = Ref::steal(raw);
  std::array<Ref, N> items;
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* item = PyIter_Next(it.get());
    if (item == nullptr) {
      if (PyErr_Occurred()) rethrow_python();
      raise_format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", N, i);
    }
    items[i] = Ref::steal(item);
  }
  if (PyObject* extra = PyIter_Next(it.get())) {
    Py_DECREF(extra);
    raise_format(PyExc_ValueError, "too many values to unpack (expected %zu)", N);
  }
  if (PyErr_Occurred()) rethrow_python();
  return items;
}

// a, b = o, with the interpreter's messages when o does not hold exactly two.
inline std::pair<Ref, Ref> unpack_pair(PyObject* o) {
  std::array<Ref, 2> items = unpack_values<2>(o);
  return {std::move(items[0]), std::move(items[1])};
}

// Python's comparison operators on arbitrary objects.
inline bool compare(PyObject* a, PyObject* b, int op) {
  const int r = PyObject_RichCompareBool(a, b, op);
  if (r < 0) rethrow_python();
  return r == 1;
}

// The builtins max(a, b) and min(a, b): the first argument wins ties.
inline Ref py_max(const Ref& a, const Ref& b) { return compare(b.get(), a.get(), Py_GT) ? b : a; }
inline Ref py_min(const Ref& a, const Ref& b) { return compare(b.get(), a.get(), Py_LT) ? b : a; }

}  // namespace tx
