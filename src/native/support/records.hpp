// The hit records a search hands back, built the same way by every index.
#pragma once

#include <cstdint>
#include <string>

#include "support/core.hpp"
#include "support/object.hpp"

namespace tx {

// rows x width hits as one list of `record(rank=, id=, score=)` per row, a
// row ending at its first negative position. The id of position p is ids[p];
// with `numbered` (an index without ids) it is str(p). The list is read again
// at every hit, since building a record runs Python code that may change it.
// Records whose fields are all atoms leave the cyclic GC's reach.
inline Ref hit_rows(PyObject* record, PyObject* fields, const std::int64_t* positions, const double* scores,
                    Py_ssize_t rows, Py_ssize_t width, PyObject* ids, bool numbered) {
  Ref out = Ref::steal(PyList_New(rows));
  for (Py_ssize_t i = 0; i < rows; ++i) {
    const std::int64_t* row_pos = positions + i * width;
    const double* row_score = scores + i * width;
    Py_ssize_t hits = 0;
    while (hits < width && row_pos[hits] >= 0) ++hits;
    Ref row = Ref::steal(PyList_New(hits));
    for (Py_ssize_t j = 0; j < hits; ++j) {
      const std::int64_t p = row_pos[j];
      Ref id;
      if (numbered) {
        id = Ref::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(p)));
      } else {
        if (p >= PyList_GET_SIZE(ids)) {
          raise(PyExc_IndexError, "hit at position " + std::to_string(p) + " but the index holds " +
                                      std::to_string(PyList_GET_SIZE(ids)) + " ids");
        }
        id = Ref::borrow(PyList_GET_ITEM(ids, p));
      }
      Ref rank = Ref::steal(PyLong_FromSsize_t(j));
      Ref score = Ref::steal(PyFloat_FromDouble(row_score[j]));
      PyObject* argv[3] = {rank.get(), id.get(), score.get()};
      Ref hit = Ref::steal(PyObject_Vectorcall(record, argv, 0, fields));
      untrack_atomic_record(hit.get());
      PyList_SET_ITEM(row.get(), j, hit.release());
    }
    PyList_SET_ITEM(out.get(), i, row.release());
  }
  return out;
}

}  // namespace tx
