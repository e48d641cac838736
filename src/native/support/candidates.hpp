// Candidate positions handed to a search: one refusal for every index.
#pragma once

#include <string>

#include "support/core.hpp"
#include "support/numpy.hpp"

namespace tx {

[[noreturn]] inline void refuse_positions(const char* name, const std::string& what) {
  raise(PyExc_TypeError, std::string(name) + " must be integer positions, got " + what);
}

// `candidates` as a numpy array (the same object when it already is one)
// whose entries are integer positions. A boolean mask would otherwise be read
// as the positions 0 and 1, and floats would be truncated to positions they
// do not name; both are refused, as is any other non-integral dtype. An
// object array passes when each entry is an integer (not a bool); an empty
// array passes whatever its dtype, since it names no position at all.
// `name` is the parameter the message names.
inline Ref require_integer_positions(PyObject* candidates, const char* name = "candidates") {
  Ref c = Ref::steal(PyArray_FROM_O(candidates));
  PyArrayObject* arr = as_array_object(c.get());
  if (PyArray_SIZE(arr) == 0 || (PyArray_ISINTEGER(arr) && !PyArray_ISBOOL(arr))) return c;
  if (PyArray_TYPE(arr) == NPY_OBJECT) {
    Ref flat = Ref::steal(PyArray_Ravel(arr, NPY_CORDER));
    const npy_intp n = PyArray_SIZE(as_array_object(flat.get()));
    for (npy_intp i = 0; i < n; ++i) {
      Ref item = Ref::steal(PySequence_GetItem(flat.get(), i));
      if (PyBool_Check(item.get()) || PyArray_IsScalar(item.get(), Bool) || !PyIndex_Check(item.get())) {
        refuse_positions(name, std::string("an object array holding ") + type_name(item.get()));
      }
    }
    return c;
  }
  refuse_positions(name, utf8(Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(arr)))).get()));
}

}  // namespace tx
