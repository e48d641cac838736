// Attachment to numpy's C API and the array helpers every module shares.
// Exactly one translation unit per module (its glue file) defines
// TX_NUMPY_MAIN before including this header.
#pragma once

#include <initializer_list>

#include "support/core.hpp"

#ifndef TX_NUMPY_MAIN
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace tx {

#ifdef TX_NUMPY_MAIN
// Called from PyInit; a failure leaves the module unimportable.
inline void attach_numpy() {
  if (_import_array() < 0) {
    PyErr_Clear();
    raise(PyExc_ImportError, "numpy._core.multiarray failed to import");
  }
}
#endif

inline PyArrayObject* as_array_object(PyObject* o) noexcept { return reinterpret_cast<PyArrayObject*>(o); }

template <class T>
T* array_data(PyObject* array) noexcept {
  return static_cast<T*>(PyArray_DATA(as_array_object(array)));
}

// A new uninitialised C-ordered array.
inline Ref empty_array(std::initializer_list<npy_intp> shape, int typenum) {
  return Ref::steal(PyArray_EMPTY(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.begin()), typenum, 0));
}

// A new zero-filled C-ordered array.
inline Ref zeros_array(std::initializer_list<npy_intp> shape, int typenum) {
  return Ref::steal(PyArray_ZEROS(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.begin()), typenum, 0));
}

// `o` as an aligned, C-contiguous array of `typenum` (the same object when it
// already is one, else a converted copy); numpy's errors pass through.
inline Ref contiguous_array(PyObject* o, int typenum) {
  return Ref::steal(PyArray_FROMANY(o, typenum, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED));
}

// The same, converting any numeric dtype the way ndarray.astype does
// (float64 to float32, integers to floats); for inputs callers hand on unconverted.
inline Ref cast_contiguous_array(PyObject* o, int typenum) {
  return Ref::steal(
      PyArray_FROMANY(o, typenum, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
}

// str(array.shape): "(2, 3)", "(5,)", "()".
inline std::string shape_text(PyObject* array) {
  PyArrayObject* a = as_array_object(array);
  const int nd = PyArray_NDIM(a);
  std::string text = "(";
  for (int i = 0; i < nd; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(static_cast<long long>(PyArray_DIM(a, i)));
  }
  if (nd == 1) text += ",";
  return text + ")";
}

// A new C-ordered array holding `o` converted to `typenum` the way
// ndarray.astype converts (unsafe casting), never sharing `o`'s memory.
inline Ref copy_array(PyObject* o, int typenum) {
  return Ref::steal(PyArray_FROMANY(o, typenum, 0, 0,
                                    NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY |
                                        NPY_ARRAY_FORCECAST));
}

// A new zero-filled C-ordered array whose dtype is given by any object numpy
// accepts as one (a dtype, a type or a name such as "float32").
inline Ref zeros_array(std::initializer_list<npy_intp> shape, PyObject* dtype) {
  PyArray_Descr* descr = nullptr;
  if (PyArray_DescrConverter(dtype, &descr) == NPY_FAIL) rethrow_python();
  // PyArray_Zeros steals the reference to descr, also when it fails.
  return Ref::steal(PyArray_Zeros(static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.begin()), descr, 0));
}

inline bool is_c_contiguous_of(PyObject* o, int typenum) {
  return PyArray_Check(o) && PyArray_TYPE(as_array_object(o)) == typenum &&
         PyArray_IS_C_CONTIGUOUS(as_array_object(o)) && PyArray_ISALIGNED(as_array_object(o));
}

}  // namespace tx
