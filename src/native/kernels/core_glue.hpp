// The binary-code index's state and the helpers its glue files share
// (core_module.cpp: the module and its types; core_writes.cpp: training and
// writes; core_search.cpp: the searches; core_folder.cpp: its saved folder).
//
// Concurrency model: every method runs with the GIL held except the scans and
// the training arithmetic. A search copies (under the GIL) the shared pointers
// of the model and the code store plus the row count it may see, then works on
// that snapshot without the GIL. Writers never change a row a snapshot can
// see: append writes past every snapshot's row count (into spare capacity or
// a new store), update writes in place only when no snapshot shares the store
// and copies it otherwise, delete and fit build new stores.
#pragma once

#include "support/numpy.hpp"
#include "support/simd_py.hpp"
#include "support/support.hpp"

#include <cmath>
#include <memory>
#include <vector>

#include "kernels/finite.hpp"
#include "kernels/hamming.hpp"

namespace tx::core {

namespace hm = tx::hamming;

inline tx::Namespace ns;
inline tx::simd::Dispatch dispatch;
inline PyTypeObject* index_type = nullptr;
inline PyTypeObject* matrix_type = nullptr;

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;
// Above this many values the finiteness scan runs on the OpenMP team.
constexpr std::int64_t kParallelScan = std::int64_t{1} << 20;

inline int team(bool parallel) { return parallel ? tx::omp_max_threads() : 1; }

// ---- finiteness --------------------------------------------------------------

// The scan of n values, on the team (without the GIL) once it is long.
template <class T>
bool all_finite(const T* v, std::int64_t n) {
  if (n >= kParallelScan) {
    tx::ReleaseGil nogil;
    return tx::finite::all_finite(v, n, tx::omp_max_threads());
  }
  return tx::finite::all_finite(v, n, 1);
}

[[noreturn]] inline void raise_not_finite(PyObject* name) {
  tx::raise_format(PyExc_ValueError, "%S contains NaN or infinite values", name);
}

inline void require_finite_floats(PyObject* array, const char* name) {
  if (!all_finite(tx::array_data<float>(array), PyArray_SIZE(tx::as_array_object(array)))) {
    raise_not_finite(tx::py_str(name).get());
  }
}

// ---- state -------------------------------------------------------------------

struct Model {
  std::int64_t dim = 0;
  std::int64_t words = 0;
  std::vector<double> thresholds;
};

struct IndexState {
  tx::Field medians;  // read-only float array, or None before training
  std::shared_ptr<const Model> model;
  std::shared_ptr<hm::Codes> codes;
  std::int64_t rows = 0;

  int traverse(visitproc v, void* arg) const { return tx::visit_fields(v, arg, medians); }
  void clear() { medians.clear(); }
};

struct MatrixState {
  std::shared_ptr<const hm::Codes> codes;
  std::int64_t rows = 0;
  std::int64_t dim = 0;
};

inline IndexState& state(PyObject* self) { return tx::state_of<IndexState>(self); }

// What a search works on after it lets the GIL go.
struct Snapshot {
  std::shared_ptr<const Model> model;
  std::shared_ptr<const hm::Codes> codes;
  std::int64_t rows;
};

inline const IndexState& trained(PyObject* self, const char* message) {
  const IndexState& s = state(self);
  if (!s.model) tx::raise(PyExc_RuntimeError, message);
  return s;
}

// ---- argument conversion -------------------------------------------------------

inline void require_dim(PyObject* matrix, const char* name, std::int64_t dim) {
  if (PyArray_DIM(tx::as_array_object(matrix), 1) != dim) {
    tx::raise(PyExc_ValueError, std::string(name) + " must have dimension " + std::to_string(dim) +
                                    ", got shape " + tx::shape_text(matrix));
  }
}

// A C-contiguous float32 matrix (converted like astype) whose values are finite.
inline tx::Ref float_matrix(PyObject* o, const char* name, std::int64_t dim, bool check_finite) {
  tx::Ref a = tx::cast_contiguous_array(o, NPY_FLOAT32);
  PyArrayObject* arr = tx::as_array_object(a.get());
  if (PyArray_NDIM(arr) != 2) {
    tx::raise(PyExc_ValueError, std::string(name) + " must be a 2-D array, got shape " + tx::shape_text(a.get()));
  }
  if (dim >= 0) require_dim(a.get(), name, dim);
  if (check_finite) require_finite_floats(a.get(), name);
  return a;
}

inline std::vector<std::uint64_t> binarize_all(const float* x, std::int64_t n, const Model& m) {
  std::vector<std::uint64_t> out(static_cast<std::size_t>(n * m.words));
  for (std::int64_t i = 0; i < n; ++i) hm::binarize(x + i * m.dim, m.dim, m.thresholds.data(), out.data() + i * m.words);
  return out;
}

// Writes the codes of rows x[0..n) at positions start.. of `codes`.
inline void write_rows(hm::Codes& codes, std::int64_t start, const float* x, std::int64_t n, const Model& m, int threads) {
  tx::parallel_for(n, threads, [&](std::int64_t i) {
    std::uint64_t code[512];
    std::vector<std::uint64_t> big;
    std::uint64_t* c = code;
    if (m.words > 512) {
      big.resize(static_cast<std::size_t>(m.words));
      c = big.data();
    }
    hm::binarize(x + i * m.dim, m.dim, m.thresholds.data(), c);
    codes.set_row(start + i, c);
  });
}

inline tx::Ref medians_array(const float* values, std::int64_t dim) {
  tx::Ref a = tx::empty_array({static_cast<npy_intp>(dim)}, NPY_FLOAT32);
  std::copy_n(values, dim, tx::array_data<float>(a.get()));
  PyArray_CLEARFLAGS(tx::as_array_object(a.get()), NPY_ARRAY_WRITEABLE);
  return a;
}

inline void check_row_count(std::int64_t rows) {
  if (rows >= hm::kMaxRows) {
    tx::raise_format(PyExc_OverflowError, "the binary-code index holds fewer than %lld rows",
                     static_cast<long long>(hm::kMaxRows));
  }
}

// Trains from `x` with the given thresholds: new model, new store, new medians.
inline void train(PyObject* self, tx::Ref x, std::shared_ptr<Model> model, tx::Ref medians, bool parallel) {
  const std::int64_t n = PyArray_DIM(tx::as_array_object(x.get()), 0);
  check_row_count(n);
  auto codes = std::make_shared<hm::Codes>(model->words, n);
  {
    tx::ReleaseGil nogil;
    write_rows(*codes, 0, tx::array_data<float>(x.get()), n, *model, team(parallel));
  }
  IndexState& s = state(self);
  s.model = std::move(model);
  s.codes = std::move(codes);
  s.rows = n;
  s.medians.set(std::move(medians));
}

// ---- methods, by file ---------------------------------------------------------

// The methods defined in the other glue files, for the method table.
using tx::Method;
Method index_fit, index_train_from_params, index_append, index_update_vector, index_delete_rows;  // core_writes.cpp
Method index_search_full, index_search_subset, index_search;                                     // core_search.cpp
Method index_save, index_load;                                                                    // core_folder.cpp

}  // namespace tx::core
