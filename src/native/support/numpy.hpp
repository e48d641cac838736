// Attachment to numpy's C API. Exactly one translation unit per module (its
// glue file) defines TX_NUMPY_MAIN before including this header.
#pragma once

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

}  // namespace tx
