// Owned references, raising from C++, interned names and the guard that turns
// C++ exceptions into Python ones at every entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace tx {

// Thrown once a Python exception is set; the entry-point guard returns NULL.
struct PyErrorSet {};

[[noreturn]] inline void rethrow_python() { throw PyErrorSet{}; }

[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PyErrorSet{};
}

template <class... A>
[[noreturn]] void raise_format(PyObject* type, const char* format, A... args) {
  PyErr_Format(type, format, args...);
  throw PyErrorSet{};
}

// An owned (strong) reference; never holds a dangling pointer.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes ownership of a new reference; NULL means a Python error is set.
  static Ref steal(PyObject* p) {
    if (p == nullptr) rethrow_python();
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) noexcept {
    Ref r;
    Py_XINCREF(p);
    r.p_ = p;
    return r;
  }
  static Ref none() noexcept { return borrow(Py_None); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool is_none() const noexcept { return p_ == Py_None; }

 private:
  PyObject* p_ = nullptr;
};

// A string literal usable as a template argument.
template <std::size_t N>
struct Literal {
  char text[N];
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// Interned Python string for a literal, made on first use and kept for the
// life of the process (borrowed reference).
template <Literal L>
PyObject* name() {
  static PyObject* interned = nullptr;
  if (interned == nullptr) {
    interned = PyUnicode_InternFromString(L.text);
    if (interned == nullptr) rethrow_python();
  }
  return interned;
}

// The UTF-8 text of a str, valid while the str lives. An ASCII str is its
// own UTF-8: its bytes are read in place, without the call.
inline std::string_view utf8_view(PyObject* str) {
  if (PyUnicode_Check(str) && PyUnicode_IS_COMPACT_ASCII(str)) {
    return {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str))};
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) rethrow_python();
  return {data, static_cast<std::size_t>(size)};
}

inline std::string utf8(PyObject* str) { return std::string(utf8_view(str)); }

inline std::string repr(PyObject* o) { return utf8(Ref::steal(PyObject_Repr(o)).get()); }

inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

// Runs `cleanup` after a failure without losing the pending exception; the
// cleanup's own errors are dropped, since the first failure is the one to report.
template <class F>
void cleanup_keeping_error(F&& cleanup) noexcept {
  PyObject* pending = PyErr_GetRaisedException();
  try {
    cleanup();
  } catch (...) {
  }
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

// Sets the Python exception that matches the C++ exception in flight.
inline void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error signalled without an exception");
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::domain_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::overflow_error& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

// Runs `body` (returning Ref) and hands its new reference to the interpreter;
// no C++ exception crosses into Python.
template <class F>
PyObject* guard(F&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    translate_current_exception();
    return nullptr;
  }
}

// The same for slots that report failure as -1 (tp_init, setters).
template <class F>
int guard_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    translate_current_exception();
    return -1;
  }
}

}  // namespace tx
