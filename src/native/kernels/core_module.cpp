// tarnix_engine.kernels.core: the binary-code index that gives the vector
// index its Hamming shortlist, and the finiteness guard every writer uses.
//
// Concurrency model: every method runs with the GIL held except the scans and
// the training arithmetic. A search copies (under the GIL) the shared pointers
// of the model and the code store plus the row count it may see, then works on
// that snapshot without the GIL. Writers never change a row a snapshot can
// see: append writes past every snapshot's row count (into spare capacity or
// a new store), update writes in place only when no snapshot shares the store
// and copies it otherwise, delete and fit build new stores.
#define TX_NUMPY_MAIN
#include "support/numpy.hpp"
#include "support/simd_py.hpp"
#include "support/support.hpp"

#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "kernels/hamming.hpp"
#include "support/folder.hpp"
#include "support/positions.hpp"

namespace {

namespace hm = tx::hamming;
namespace fs = std::filesystem;

tx::Namespace ns;
tx::simd::Dispatch dispatch;
PyTypeObject* index_type = nullptr;
PyTypeObject* matrix_type = nullptr;

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;
constexpr const char* kFormat = "tarnix_engine.coreindex";
constexpr int kVersion = 1;
// Above this many values the finiteness scan runs on the OpenMP team.
constexpr std::int64_t kParallelScan = std::int64_t{1} << 20;

int team(bool parallel) { return parallel ? tx::omp_max_threads() : 1; }

// ---- finiteness --------------------------------------------------------------

template <class T>
bool all_finite(const T* v, std::int64_t n) {
  const int threads = n >= kParallelScan ? tx::omp_max_threads() : 1;
  const std::int64_t chunk = std::int64_t{1} << 16;
  const std::int64_t chunks = (n + chunk - 1) / chunk;
  std::atomic<bool> bad{false};
  auto body = [&](std::int64_t c) {
    if (bad.load(std::memory_order_relaxed)) return;
    const std::int64_t end = std::min(n, (c + 1) * chunk);
    bool ok = true;
    for (std::int64_t i = c * chunk; i < end; ++i) ok &= std::isfinite(v[i]);
    if (!ok) bad.store(true, std::memory_order_relaxed);
  };
  if (threads > 1) {
    tx::ReleaseGil nogil;
    tx::parallel_for(chunks, threads, body);
  } else {
    for (std::int64_t c = 0; c < chunks; ++c) body(c);
  }
  return !bad.load();
}

[[noreturn]] void raise_not_finite(PyObject* name) {
  tx::raise_format(PyExc_ValueError, "%S contains NaN or infinite values", name);
}

void require_finite_floats(PyObject* array, const char* name) {
  if (!all_finite(tx::array_data<float>(array), PyArray_SIZE(tx::as_array_object(array)))) {
    raise_not_finite(tx::py_str(name).get());
  }
}

// _require_finite(array, name="array"): the array itself when every value is
// finite. Aligned C-contiguous float arrays are scanned here; anything else
// goes through numpy's isfinite.
PyObject* require_finite(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("_require_finite", {"array", "name"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    PyObject* array = a[0];
    tx::Ref name = a[1] ? tx::Ref::borrow(a[1]) : tx::py_str("array");
    bool finite;
    // The raw scan reads native floats: a byte-swapped array goes to numpy.
    const bool native = PyArray_Check(array) && PyArray_ISNOTSWAPPED(tx::as_array_object(array));
    if (native && tx::is_c_contiguous_of(array, NPY_FLOAT32)) {
      finite = all_finite(tx::array_data<float>(array), PyArray_SIZE(tx::as_array_object(array)));
    } else if (native && tx::is_c_contiguous_of(array, NPY_FLOAT64)) {
      finite = all_finite(tx::array_data<double>(array), PyArray_SIZE(tx::as_array_object(array)));
    } else {
      tx::Ref np = ns.get<"np">();
      tx::Ref mask = tx::call(tx::attr<"isfinite">(np.get()).get(), {array});
      finite = tx::truth(tx::call_method(mask.get(), tx::name<"all">(), {}).get());
    }
    if (!finite) raise_not_finite(name.get());
    return tx::Ref::borrow(array);
  });
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

IndexState& state(PyObject* self) { return tx::state_of<IndexState>(self); }

// What a search works on after it lets the GIL go.
struct Snapshot {
  std::shared_ptr<const Model> model;
  std::shared_ptr<const hm::Codes> codes;
  std::int64_t rows;
};

const IndexState& trained(PyObject* self, const char* message) {
  const IndexState& s = state(self);
  if (!s.model) tx::raise(PyExc_RuntimeError, message);
  return s;
}

// ---- argument conversion -------------------------------------------------------

void require_dim(PyObject* matrix, const char* name, std::int64_t dim) {
  if (PyArray_DIM(tx::as_array_object(matrix), 1) != dim) {
    tx::raise(PyExc_ValueError, std::string(name) + " must have dimension " + std::to_string(dim) +
                                    ", got shape " + tx::shape_text(matrix));
  }
}

// A C-contiguous float32 matrix (converted like astype) whose values are finite.
tx::Ref float_matrix(PyObject* o, const char* name, std::int64_t dim, bool check_finite) {
  tx::Ref a = tx::cast_contiguous_array(o, NPY_FLOAT32);
  PyArrayObject* arr = tx::as_array_object(a.get());
  if (PyArray_NDIM(arr) != 2) {
    tx::raise(PyExc_ValueError, std::string(name) + " must be a 2-D array, got shape " + tx::shape_text(a.get()));
  }
  if (dim >= 0) require_dim(a.get(), name, dim);
  if (check_finite) require_finite_floats(a.get(), name);
  return a;
}

std::vector<std::uint64_t> binarize_all(const float* x, std::int64_t n, const Model& m) {
  std::vector<std::uint64_t> out(static_cast<std::size_t>(n * m.words));
  for (std::int64_t i = 0; i < n; ++i) hm::binarize(x + i * m.dim, m.dim, m.thresholds.data(), out.data() + i * m.words);
  return out;
}

// Writes the codes of rows x[0..n) at positions start.. of `codes`.
void write_rows(hm::Codes& codes, std::int64_t start, const float* x, std::int64_t n, const Model& m, int threads) {
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

tx::Ref medians_array(const float* values, std::int64_t dim) {
  tx::Ref a = tx::empty_array({static_cast<npy_intp>(dim)}, NPY_FLOAT32);
  std::copy_n(values, dim, tx::array_data<float>(a.get()));
  PyArray_CLEARFLAGS(tx::as_array_object(a.get()), NPY_ARRAY_WRITEABLE);
  return a;
}

void check_row_count(std::int64_t rows) {
  if (rows >= hm::kMaxRows) {
    tx::raise_format(PyExc_OverflowError, "the binary-code index holds fewer than %lld rows",
                     static_cast<long long>(hm::kMaxRows));
  }
}

// Trains from `x` with the given thresholds: new model, new store, new medians.
void train(PyObject* self, tx::Ref x, std::shared_ptr<Model> model, tx::Ref medians, bool parallel) {
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

// ---- training ------------------------------------------------------------------

PyObject* index_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("fit", {"embeddings", "parallel"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    const bool parallel = a[1] != nullptr && tx::truth(a[1]);
    tx::Ref x = float_matrix(a[0], "embeddings", -1, true);
    const std::int64_t n = PyArray_DIM(tx::as_array_object(x.get()), 0);
    const std::int64_t dim = PyArray_DIM(tx::as_array_object(x.get()), 1);
    if (n == 0) tx::raise(PyExc_ValueError, "cannot fit the binary-code index on zero rows");
    check_row_count(n);

    std::vector<float> med(static_cast<std::size_t>(dim));
    {
      tx::ReleaseGil nogil;
      const float* data = tx::array_data<float>(x.get());
      constexpr std::int64_t kCols = 16;  // one cache line of a row per gather
      const std::int64_t chunks = (dim + kCols - 1) / kCols;
      tx::parallel_for(chunks, team(parallel), [&](std::int64_t c) {
        const std::int64_t c0 = c * kCols, width = std::min(kCols, dim - c0);
        std::vector<float> cols(static_cast<std::size_t>(width * n));
        for (std::int64_t r = 0; r < n; ++r) {
          for (std::int64_t j = 0; j < width; ++j) cols[j * n + r] = data[r * dim + c0 + j];
        }
        for (std::int64_t j = 0; j < width; ++j) med[c0 + j] = hm::median(cols.data() + j * n, n);
      });
    }
    auto model = std::make_shared<Model>();
    model->dim = dim;
    model->words = hm::words_for(dim);
    model->thresholds.assign(med.begin(), med.end());
    train(self, x, std::move(model), medians_array(med.data(), dim), parallel);
    return tx::Ref::none();
  });
}

PyObject* index_train_from_params(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("_train_from_params", {"embeddings", "fit_values", "parallel"}, 2);
    std::array<PyObject*, 3> a;
    sig.bind(args, nargs, kwnames, a);
    const bool parallel = a[2] != nullptr && tx::truth(a[2]);
    tx::Ref x = float_matrix(a[0], "embeddings", -1, true);
    const std::int64_t dim = PyArray_DIM(tx::as_array_object(x.get()), 1);

    // Kept in their own float type (float32 from a fitted index); a private,
    // read-only copy, so the thresholds and `medians` cannot drift apart.
    tx::Ref given = tx::Ref::steal(PyArray_FROMANY(a[1], NPY_NOTYPE, 0, 0, 0));
    const int type = PyArray_TYPE(tx::as_array_object(given.get())) == NPY_FLOAT32 ? NPY_FLOAT32 : NPY_FLOAT64;
    tx::Ref cast = tx::cast_contiguous_array(given.get(), type);
    if (PyArray_NDIM(tx::as_array_object(cast.get())) != 1 || PyArray_DIM(tx::as_array_object(cast.get()), 0) != dim) {
      tx::raise(PyExc_ValueError, "fit_values must be a 1-D array of " + std::to_string(dim) +
                                      " values, got shape " + tx::shape_text(cast.get()));
    }
    tx::Ref fit_values = tx::Ref::steal(PyArray_NewCopy(tx::as_array_object(cast.get()), NPY_CORDER));
    auto model = std::make_shared<Model>();
    model->dim = dim;
    model->words = hm::words_for(dim);
    model->thresholds.resize(static_cast<std::size_t>(dim));
    for (std::int64_t j = 0; j < dim; ++j) {
      model->thresholds[j] = type == NPY_FLOAT32 ? tx::array_data<float>(fit_values.get())[j]
                                                 : tx::array_data<double>(fit_values.get())[j];
      if (!std::isfinite(model->thresholds[j])) raise_not_finite(tx::py_str("fit_values").get());
    }
    PyArray_CLEARFLAGS(tx::as_array_object(fit_values.get()), NPY_ARRAY_WRITEABLE);
    train(self, x, std::move(model), fit_values, parallel);
    return tx::Ref::none();
  });
}

// ---- writes --------------------------------------------------------------------

// Sees whether anyone but the index holds the store. Snapshots are only taken
// under the GIL, which the caller holds, so the count cannot grow meanwhile;
// the fence orders our writes after the release of the last reader's copy.
bool exclusively_owned(const std::shared_ptr<hm::Codes>& codes) {
  const bool alone = codes.use_count() == 1;
  std::atomic_thread_fence(std::memory_order_acquire);
  return alone;
}

PyObject* index_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("append", {"vectors", "parallel"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    const bool parallel = a[1] != nullptr && tx::truth(a[1]);
    IndexState& s = state(self);
    if (!s.model) tx::raise(PyExc_RuntimeError, "Cannot append to an unfitted index.");
    tx::Ref x = float_matrix(a[0], "vectors", s.model->dim, true);
    // The conversion may run Python code (and the finiteness scan lets the
    // GIL go), so another writer may have refitted the index meanwhile.
    require_dim(x.get(), "vectors", s.model->dim);
    const std::int64_t m = PyArray_DIM(tx::as_array_object(x.get()), 0);
    if (m == 0) return tx::Ref::none();
    const std::int64_t total = s.rows + m;
    check_row_count(total);
    // The GIL stays held: writers are serialised by it. Rows past s.rows are
    // invisible to every snapshot, so spare capacity is written in place.
    if (s.codes->capacity_rows() < total) {
      auto grown = std::make_shared<hm::Codes>(s.model->words, std::max(total, 2 * s.rows));
      grown->copy_rows_from(*s.codes, s.rows);
      write_rows(*grown, s.rows, tx::array_data<float>(x.get()), m, *s.model, team(parallel));
      s.codes = std::move(grown);
    } else {
      write_rows(*s.codes, s.rows, tx::array_data<float>(x.get()), m, *s.model, team(parallel));
    }
    s.rows = total;
    return tx::Ref::none();
  });
}

PyObject* index_update_vector(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("update_vector", {"position", "vector"}, 2);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    IndexState& s = state(self);
    if (!s.model) tx::raise(PyExc_RuntimeError, "Cannot update an unfitted index.");
    const std::int64_t position = tx::to_int64(a[0]);
    auto check_position = [&] {
      if (position < 0 || position >= s.rows) {
        tx::raise_format(PyExc_IndexError, "position %lld is out of range for %lld rows",
                         static_cast<long long>(position), static_cast<long long>(s.rows));
      }
    };
    check_position();
    tx::Ref v = tx::cast_contiguous_array(a[1], NPY_FLOAT32);
    PyArrayObject* arr = tx::as_array_object(v.get());
    auto check_shape = [&] {
      const bool one_row = (PyArray_NDIM(arr) == 1 && PyArray_DIM(arr, 0) == s.model->dim) ||
                           (PyArray_NDIM(arr) == 2 && PyArray_DIM(arr, 0) == 1 && PyArray_DIM(arr, 1) == s.model->dim);
      if (!one_row) {
        tx::raise(PyExc_ValueError, "vector must be one row of dimension " + std::to_string(s.model->dim) +
                                        ", got shape " + tx::shape_text(v.get()));
      }
    };
    check_shape();
    require_finite_floats(v.get(), "vector");
    // The conversion may run Python code (and a wide row's finiteness scan
    // lets the GIL go): the index may have shrunk or been refitted since.
    check_position();
    check_shape();
    std::vector<std::uint64_t> code = binarize_all(tx::array_data<float>(v.get()), 1, *s.model);
    if (!exclusively_owned(s.codes)) {
      auto copy = std::make_shared<hm::Codes>(s.model->words, s.codes->capacity_rows());
      copy->copy_rows_from(*s.codes, s.rows);
      s.codes = std::move(copy);
    }
    s.codes->set_row(position, code.data());
    return tx::Ref::none();
  });
}

PyObject* index_delete_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("delete_rows", {"positions"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    IndexState& s = state(self);
    if (!s.model) tx::raise(PyExc_RuntimeError, "Cannot delete from an unfitted index.");
    auto check = [&](std::int64_t p) {
      if (p < 0 || p >= s.rows) {
        tx::raise_format(PyExc_IndexError, "position %lld is out of range for %lld rows", static_cast<long long>(p),
                         static_cast<long long>(s.rows));
      }
    };
    std::vector<std::int64_t> positions;
    tx::Ref iter = tx::Ref::steal(PyObject_GetIter(a[0]));
    while (PyObject* raw = PyIter_Next(iter.get())) {
      tx::Ref item = tx::Ref::steal(raw);
      const std::int64_t p = tx::to_int64(item.get());
      check(p);
      positions.push_back(p);
    }
    if (PyErr_Occurred()) tx::rethrow_python();
    // The iteration ran Python code, which may have changed the index: the
    // mask is sized, and every position checked again, by what it holds now.
    std::vector<bool> drop(static_cast<std::size_t>(s.rows), false);
    std::int64_t dropped = 0;
    for (const std::int64_t p : positions) {
      check(p);
      if (!drop[p]) ++dropped;
      drop[p] = true;
    }
    if (dropped == 0) return tx::Ref::none();
    const std::int64_t kept = s.rows - dropped;
    auto survivors = std::make_shared<hm::Codes>(s.model->words, kept);
    std::vector<std::uint64_t> code(static_cast<std::size_t>(std::max<std::int64_t>(1, s.model->words)));
    std::int64_t out = 0;
    for (std::int64_t r = 0; r < s.rows; ++r) {
      if (drop[r]) continue;
      s.codes->get_row(r, code.data());
      survivors->set_row(out++, code.data());
    }
    s.codes = std::move(survivors);
    s.rows = kept;
    return tx::Ref::none();
  });
}

// ---- searches ------------------------------------------------------------------

struct Prepared {
  Snapshot snap;
  std::int64_t nq = 0;
  std::int64_t width = 0;  // k_h: the result width
  std::vector<std::uint64_t> queries;
  tx::Ref ids, distances;  // distances None unless asked for
};

Prepared prepare(PyObject* self, PyObject* queries, PyObject* k_h, PyObject* want_distances) {
  const IndexState& s = trained(self, "Cannot search an unfitted index.");
  Prepared p;
  p.snap = Snapshot{s.model, s.codes, s.rows};
  tx::Ref q = float_matrix(queries, "queries", p.snap.model->dim, false);
  p.width = tx::to_int64(k_h);
  if (p.width < 0) tx::raise_format(PyExc_ValueError, "k_h must be non-negative, got %lld", static_cast<long long>(p.width));
  p.nq = PyArray_DIM(tx::as_array_object(q.get()), 0);
  // The snapshot's model: converting the arguments may run Python code that refits the index.
  p.queries = binarize_all(tx::array_data<float>(q.get()), p.nq, *p.snap.model);
  p.ids = tx::empty_array({static_cast<npy_intp>(p.nq), static_cast<npy_intp>(p.width)}, NPY_INT64);
  const bool distances = want_distances != nullptr && tx::truth(want_distances);
  p.distances = distances ? tx::empty_array({static_cast<npy_intp>(p.nq), static_cast<npy_intp>(p.width)}, NPY_INT32)
                          : tx::Ref::none();
  return p;
}

void write_result(const Prepared& p, std::int64_t qi, const std::vector<std::uint64_t>& keys) {
  std::int64_t* ids = tx::array_data<std::int64_t>(p.ids.get()) + qi * p.width;
  std::int32_t* dist = p.distances.is_none() ? nullptr : tx::array_data<std::int32_t>(p.distances.get()) + qi * p.width;
  const std::int64_t n = static_cast<std::int64_t>(keys.size());
  for (std::int64_t i = 0; i < n; ++i) ids[i] = tx::topk::position_of(keys[i]);
  std::fill(ids + n, ids + p.width, -1);
  if (dist != nullptr) {
    for (std::int64_t i = 0; i < n; ++i) dist[i] = tx::topk::distance_of(keys[i]);
    std::fill(dist + n, dist + p.width, 2147483647);
  }
}

tx::Ref result_pair(const Prepared& p) { return tx::Ref::steal(PyTuple_Pack(2, p.ids.get(), p.distances.get())); }

// Runs `scan(q0, q1, selectors)` over query groups on the team.
template <class Scan>
void run_groups(const Prepared& p, std::int64_t k, bool parallel, Scan&& scan) {
  const int threads = team(parallel);
  const std::int64_t group =
      std::clamp<std::int64_t>((p.nq + threads - 1) / std::max(threads, 1), 1, hm::kQueryGroup);
  const std::int64_t groups = (p.nq + group - 1) / group;
  tx::ReleaseGil nogil;
  tx::parallel_for(groups, threads, [&](std::int64_t g) {
    const std::int64_t q0 = g * group, q1 = std::min(p.nq, q0 + group);
    std::vector<tx::topk::AscendingSelector> sel(static_cast<std::size_t>(q1 - q0));
    for (auto& s : sel) s.reset(k, static_cast<std::uint32_t>(p.snap.model->words * 64));
    if (k > 0) scan(q0, q1, sel.data());
    for (std::int64_t qi = q0; qi < q1; ++qi) write_result(p, qi, sel[qi - q0].finish());
  });
}

hm::View view_of(const Snapshot& s) { return hm::View{s.codes.get(), s.rows}; }

PyObject* index_search_full(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<4>("search_full", {"queries", "k_h", "parallel", "want_distances"}, 3, 3);
    std::array<PyObject*, 4> a;
    sig.bind(args, nargs, kwnames, a);
    Prepared p = prepare(self, a[0], a[1], a[3]);
    const bool parallel = tx::truth(a[2]);
    const hm::Kernels kern = hm::kernels_for(static_cast<int>(dispatch.active()));
    const hm::View v = view_of(p.snap);
    const std::int64_t k = std::min(p.width, p.snap.rows);
    run_groups(p, k, parallel, [&](std::int64_t q0, std::int64_t q1, tx::topk::AscendingSelector* sel) {
      kern.all(v, p.queries.data(), q0, q1, sel);
    });
    return result_pair(p);
  });
}

// An owned int64 copy of an integer array of `ndim` dimensions (numpy's safe
// casting: floats are refused), so no other thread can change it mid-scan.
std::vector<std::int64_t> positions_copy(PyObject* o, int ndim, const char* name, tx::Ref& array) {
  array = tx::contiguous_array(o, NPY_INT64);
  if (PyArray_NDIM(tx::as_array_object(array.get())) != ndim) {
    tx::raise_format(PyExc_ValueError, "%s must be a %d-D array of positions, got shape %s", name, ndim,
                     tx::shape_text(array.get()).c_str());
  }
  const std::int64_t* d = tx::array_data<std::int64_t>(array.get());
  return std::vector<std::int64_t>(d, d + PyArray_SIZE(tx::as_array_object(array.get())));
}

PyObject* index_search_subset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<5>(
        "search_subset", {"queries", "k_h", "positions", "parallel", "want_distances"}, 4, 4);
    std::array<PyObject*, 5> a;
    sig.bind(args, nargs, kwnames, a);
    Prepared p = prepare(self, a[0], a[1], a[4]);
    tx::Ref array;
    const std::vector<std::int64_t> pos = positions_copy(a[2], 1, "positions", array);
    if (!tx::is_sorted_distinct_in_range(pos.data(), static_cast<std::int64_t>(pos.size()), p.snap.rows)) {
      tx::raise_format(PyExc_ValueError, "positions must be sorted, distinct and in range 0..%lld",
                       static_cast<long long>(p.snap.rows - 1));
    }
    const bool parallel = tx::truth(a[3]);
    const hm::Kernels kern = hm::kernels_for(static_cast<int>(dispatch.active()));
    const hm::View v = view_of(p.snap);
    const std::int64_t k = std::min<std::int64_t>(p.width, static_cast<std::int64_t>(pos.size()));
    run_groups(p, k, parallel, [&](std::int64_t q0, std::int64_t q1, tx::topk::AscendingSelector* sel) {
      kern.subset(v, pos.data(), pos.data() + pos.size(), p.queries.data(), q0, q1, sel);
    });
    return result_pair(p);
  });
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<5>("search", {"queries", "k_h", "candidates", "parallel", "want_distances"}, 4, 4);
    std::array<PyObject*, 5> a;
    sig.bind(args, nargs, kwnames, a);
    Prepared p = prepare(self, a[0], a[1], a[4]);
    tx::Ref array;
    const std::vector<std::int64_t> cand = positions_copy(a[2], 2, "candidates", array);
    const std::int64_t rows_given = PyArray_DIM(tx::as_array_object(array.get()), 0);
    const std::int64_t per_row = PyArray_DIM(tx::as_array_object(array.get()), 1);
    if (rows_given != p.nq) {
      tx::raise_format(PyExc_ValueError, "candidates must have one row per query: got %lld rows for %lld queries",
                       static_cast<long long>(rows_given), static_cast<long long>(p.nq));
    }
    const bool parallel = tx::truth(a[3]);
    const int threads = team(parallel);
    const hm::Kernels kern = hm::kernels_for(static_cast<int>(dispatch.active()));
    const hm::View v = view_of(p.snap);
    const std::int64_t k = std::min(p.width, per_row);
    const std::int64_t words = p.snap.model->words;
    {
      tx::ReleaseGil nogil;
      tx::SeenPerThread seen(threads, p.snap.rows);
      tx::parallel_for(p.nq, threads, [&](std::int64_t qi) {
        std::vector<std::int64_t> valid;
        tx::distinct_in_range(cand.data() + qi * per_row, per_row, p.snap.rows, seen.mine(), valid);
        tx::topk::Selector sel;
        sel.reset(k);
        if (k > 0) kern.rows(v, valid.data(), static_cast<std::int64_t>(valid.size()), p.queries.data() + qi * words, sel);
        write_result(p, qi, sel.finish());
      });
    }
    return result_pair(p);
  });
}

// ---- attributes ------------------------------------------------------------------

PyObject* index_matrix(PyObject* self, void*) {
  return tx::guard([&] {
    const IndexState& s = state(self);
    tx::Ref m = tx::Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(matrix_type)));
    MatrixState& ms = tx::state_of<MatrixState>(m.get());
    ms.codes = s.codes;
    ms.rows = s.rows;
    ms.dim = s.model ? s.model->dim : 0;
    return m;
  });
}

PyObject* matrix_rows(PyObject* self, void*) {
  return tx::guard([&] { return tx::py_long(tx::state_of<MatrixState>(self).rows); });
}

PyObject* matrix_dim(PyObject* self, void*) {
  return tx::guard([&] { return tx::py_long(tx::state_of<MatrixState>(self).dim); });
}

// packed(): the codes as a (rows, words) uint64 array, row-major; bit j of a
// row is bit j % 64 of word j // 64 (so its bytes are numpy's little-endian
// packbits of the row's bits).
PyObject* matrix_packed(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("packed", nargs, kwnames);
    const MatrixState& ms = tx::state_of<MatrixState>(self);
    const std::int64_t words = hm::words_for(ms.dim);
    tx::Ref out = tx::empty_array({static_cast<npy_intp>(ms.rows), static_cast<npy_intp>(words)}, NPY_UINT64);
    std::uint64_t* d = tx::array_data<std::uint64_t>(out.get());
    for (std::int64_t r = 0; r < ms.rows; ++r) ms.codes->get_row(r, d + r * words);
    return out;
  });
}

// ---- folder ----------------------------------------------------------------------

constexpr tx::FolderKind kFolder{"coreindex"};
// Beyond this a dimension cannot be a saved index's: its codes alone would
// not fit in memory. Checked before any arithmetic on it.
constexpr std::int64_t kMaxDim = std::int64_t{1} << 40;

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("save", {"path"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    const IndexState& s = trained(self, "Cannot save an unfitted index.");
    // The state saved: writing the files lets other threads run, and a
    // writer among them must not change what is being written.
    const Snapshot snap{s.model, s.codes, s.rows};
    const tx::Ref medians = s.medians.ref();
    std::string target = tx::fs_path(a[0]);
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    const fs::path tp(target);
    std::error_code ec;
    struct stat st;
    const bool exists = ::lstat(target.c_str(), &st) == 0;
    if (exists) {
      // Only a folder we wrote (or an empty one) is ever replaced.
      if (!S_ISDIR(st.st_mode) || (!fs::is_empty(tp, ec) && !fs::exists(tp / "coreindex.json", ec))) {
        tx::raise_format(PyExc_FileExistsError, "refusing to replace '%s': it is not a saved binary-code index",
                         target.c_str());
      }
    }
    tx::Ref target_text = tx::fs_str(target);
    tx::staged_save(ns, target_text.get(), {"medians.npy", "codes.npy", "coreindex.json"}, [&](PyObject* staged) {
      auto entry = [&](const char* name) { return tx::str(tx::join_path(staged, name).get()); };
      const std::int64_t dim = snap.model->dim, words = snap.model->words, rows = snap.rows;
      tx::Ref np = ns.get<"np">();
      tx::call_method(np.get(), tx::name<"save">(), {entry("medians.npy").get(), medians.get()});
      tx::Ref packed = tx::empty_array({static_cast<npy_intp>(rows), static_cast<npy_intp>(words)}, NPY_UINT64);
      std::uint64_t* out = tx::array_data<std::uint64_t>(packed.get());
      for (std::int64_t r = 0; r < rows; ++r) snap.codes->get_row(r, out + r * words);
      tx::call_method(np.get(), tx::name<"save">(), {entry("codes.npy").get(), packed.get()});
      tx::Ref meta = tx::Ref::steal(Py_BuildValue("{s:s,s:i,s:L,s:L,s:L}", "format", kFormat, "version", kVersion,
                                                  "dim", static_cast<long long>(dim), "rows", static_cast<long long>(rows),
                                                  "words", static_cast<long long>(words)));
      tx::call(ns.get<"write_config">().get(), {tx::join_path(staged, "coreindex.json").get(), meta.get()});
    });
    return tx::Ref::none();
  });
}

std::int64_t meta_int(PyObject* meta, const char* key, const tx::SavedFolder& folder) {
  PyObject* v = PyDict_GetItemString(meta, key);  // borrowed
  if (v == nullptr || !PyLong_CheckExact(v)) folder.corrupted("coreindex.json", std::string("lacks an integer '") + key + "'");
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (x == -1 && PyErr_Occurred()) tx::rethrow_python();
  if (overflow != 0 || x < 0) folder.corrupted("coreindex.json", std::string("holds an out-of-range '") + key + "'");
  return x;
}

tx::Ref load_npy(const tx::SavedFolder& folder, const char* file) {
  tx::Ref path = folder.member(file);
  tx::Ref np = ns.get<"np">();
  return tx::call(tx::attr<"load">(np.get()).get(), {path.get(), Py_False}, tx::kwnames<"allow_pickle">());
}

PyObject* index_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("load", {"path"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    tx::call(ns.get<"refuse_interrupted_swap">().get(), {a[0]});
    const tx::SavedFolder folder(kFolder, tx::fs_path(a[0]), tx::fs_path(a[0]));
    folder.member("coreindex.json");  // checked before it is opened
    std::ifstream in(folder.path_of("coreindex.json"), std::ios::binary);
    if (!in) {
      errno = ENOENT;
      tx::raise_os_error(folder.path_of("coreindex.json"));
    }
    std::stringstream text;
    text << in.rdbuf();
    tx::Ref json = ns.get<"json">();
    tx::Ref meta;
    try {
      meta = tx::call(tx::attr<"loads">(json.get()).get(), {tx::py_str(text.str().c_str()).get()});
    } catch (const tx::PyErrorSet&) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
      PyErr_Clear();
      folder.corrupted("coreindex.json", "is not JSON");
    }
    if (!PyDict_CheckExact(meta.get())) folder.corrupted("coreindex.json", "is not an object");
    PyObject* format = PyDict_GetItemString(meta.get(), "format");
    if (format == nullptr || !PyUnicode_Check(format) || tx::utf8(format) != kFormat) {
      folder.corrupted("coreindex.json", "says this is not a binary-code index folder");
    }
    const std::int64_t version = meta_int(meta.get(), "version", folder);
    if (version != kVersion) folder.corrupted("coreindex.json", "has an unknown format version " + std::to_string(version));
    const std::int64_t dim = meta_int(meta.get(), "dim", folder);
    const std::int64_t rows = meta_int(meta.get(), "rows", folder);
    const std::int64_t words = meta_int(meta.get(), "words", folder);
    if (dim > kMaxDim) folder.corrupted("coreindex.json", "gives the dimension " + std::to_string(dim) + ", beyond any index");
    if (words != hm::words_for(dim)) folder.corrupted("coreindex.json", "gives a word count that does not match the dimension");
    if (rows >= hm::kMaxRows) folder.corrupted("coreindex.json", "gives too many rows");

    tx::Ref med = load_npy(folder, "medians.npy");
    if (!PyArray_Check(med.get())) folder.corrupted("medians.npy", "holds no array");
    const int med_type = PyArray_TYPE(tx::as_array_object(med.get()));
    if ((med_type != NPY_FLOAT32 && med_type != NPY_FLOAT64) || PyArray_NDIM(tx::as_array_object(med.get())) != 1 ||
        PyArray_DIM(tx::as_array_object(med.get()), 0) != dim) {
      folder.corrupted("medians.npy", "must hold " + std::to_string(dim) + " floats, got shape " + tx::shape_text(med.get()));
    }
    med = tx::copy_array(med.get(), med_type);  // private, and in native byte order for the raw reads below
    auto model = std::make_shared<Model>();
    model->dim = dim;
    model->words = words;
    model->thresholds.resize(static_cast<std::size_t>(dim));
    for (std::int64_t j = 0; j < dim; ++j) {
      model->thresholds[j] = med_type == NPY_FLOAT32 ? tx::array_data<float>(med.get())[j]
                                                     : tx::array_data<double>(med.get())[j];
      if (!std::isfinite(model->thresholds[j])) folder.corrupted("medians.npy", "holds NaN or infinite values");
    }
    PyArray_CLEARFLAGS(tx::as_array_object(med.get()), NPY_ARRAY_WRITEABLE);

    tx::Ref codes_raw = load_npy(folder, "codes.npy");
    if (!PyArray_Check(codes_raw.get()) || PyArray_TYPE(tx::as_array_object(codes_raw.get())) != NPY_UINT64 ||
        PyArray_NDIM(tx::as_array_object(codes_raw.get())) != 2 ||
        PyArray_DIM(tx::as_array_object(codes_raw.get()), 0) != rows ||
        PyArray_DIM(tx::as_array_object(codes_raw.get()), 1) != words) {
      folder.corrupted("codes.npy", "must be uint64 of shape (" + std::to_string(rows) + ", " + std::to_string(words) + ")");
    }
    tx::Ref packed = tx::contiguous_array(codes_raw.get(), NPY_UINT64);
    const std::uint64_t* d = tx::array_data<std::uint64_t>(packed.get());
    const std::uint64_t spare = dim % 64 == 0 ? 0 : ~((std::uint64_t{1} << (dim % 64)) - 1);
    auto codes = std::make_shared<hm::Codes>(words, rows);
    for (std::int64_t r = 0; r < rows; ++r) {
      if (words > 0 && (d[r * words + words - 1] & spare) != 0) folder.corrupted("codes.npy", "sets bits past the dimension");
      codes->set_row(r, d + r * words);
    }

    tx::Ref obj = tx::Ref::steal(PyObject_CallNoArgs(cls));
    if (!PyObject_TypeCheck(obj.get(), index_type)) {
      tx::raise_format(PyExc_TypeError, "%R() did not return a _CoreIndex", cls);
    }
    IndexState& s = state(obj.get());
    s.model = std::move(model);
    s.codes = std::move(codes);
    s.rows = rows;
    s.medians.set(std::move(med));
    return obj;
  });
}

PyObject* simd_level(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::simd_level_entry(dispatch, args, nargs, kwnames);
}

// Both types are built without arguments.
int init_no_arguments(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
      tx::raise_format(PyExc_TypeError, "%s() takes no arguments", Py_TYPE(self)->tp_name);
    }
  });
}

// ---- tables ----------------------------------------------------------------------

PyMethodDef index_methods[] = {
    {"fit", tx::as_cfunction(index_fit), kFastcall,
     "fit(embeddings, parallel=False)\n--\n\nTrains from scratch: per-dimension medians, then every row's code."},
    {"_train_from_params", tx::as_cfunction(index_train_from_params), kFastcall,
     "_train_from_params(embeddings, fit_values, parallel=False)\n--\n\nTrains with given per-dimension fit values."},
    {"append", tx::as_cfunction(index_append), kFastcall,
     "append(vectors, parallel=False)\n--\n\nAppends rows at the next positions."},
    {"update_vector", tx::as_cfunction(index_update_vector), kFastcall,
     "update_vector(position, vector)\n--\n\nReplaces the row at `position`."},
    {"delete_rows", tx::as_cfunction(index_delete_rows), kFastcall,
     "delete_rows(positions)\n--\n\nRemoves rows; the survivors keep their order and are renumbered from 0."},
    {"search_full", tx::as_cfunction(index_search_full), kFastcall,
     "search_full(queries, k_h, parallel, *, want_distances=False)\n--\n\n"
     "(positions, distances or None): the k_h nearest rows by Hamming distance, ties by position, -1 padded."},
    {"search_subset", tx::as_cfunction(index_search_subset), kFastcall,
     "search_subset(queries, k_h, positions, parallel, *, want_distances=False)\n--\n\n"
     "As search_full, within sorted, distinct, in-range positions shared by every query."},
    {"search", tx::as_cfunction(index_search), kFastcall,
     "search(queries, k_h, candidates, parallel, *, want_distances=False)\n--\n\n"
     "As search_full, within one row of candidate positions per query; -1, out-of-range and repeated "
     "entries are skipped."},
    {"save", tx::as_cfunction(index_save), kFastcall,
     "save(path)\n--\n\nWrites the index as a folder, replacing an earlier save in one step."},
    {"load", tx::as_cfunction(index_load), kFastcall | METH_CLASS,
     "load(path)\n--\n\nReads a folder written by save, checking it whole."},
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"medians", tx::field_getter<IndexState, &IndexState::medians>, nullptr,
     "Per-dimension fit values (read-only array), None before training.", nullptr},
    {"matrix", index_matrix, nullptr, "The stored codes: `rows`, `dim`, `packed()`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("Binary codes of all rows and their Hamming top-k.")},
    {Py_tp_init, reinterpret_cast<void*>(init_no_arguments)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {0, nullptr},
};

PyMethodDef matrix_methods[] = {
    {"packed", tx::as_cfunction(matrix_packed), kFastcall, "packed()\n--\n\nThe codes as (rows, words) uint64."},
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef matrix_getset[] = {
    {"rows", matrix_rows, nullptr, "Number of stored rows.", nullptr},
    {"dim", matrix_dim, nullptr, "Bits per code.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot matrix_slots[] = {
    {Py_tp_doc, const_cast<char*>("A snapshot of a binary-code index's codes.")},
    {Py_tp_init, reinterpret_cast<void*>(init_no_arguments)},
    {Py_tp_methods, matrix_methods},
    {Py_tp_getset, matrix_getset},
    {0, nullptr},
};

PyMethodDef methods[] = {
    {"_require_finite", tx::as_cfunction(require_finite), kFastcall,
     "_require_finite(array, name='array')\n--\n\nThe array itself when no value is NaN or infinite."},
    {"_simd_level", tx::as_cfunction(simd_level), kFastcall,
     "_simd_level(level=None)\n--\n\nThe kernel level in use; forces a lower one when given (tests, benchmarks)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "core", "Binary-code index with Hamming top-k search.", -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_core() {
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    ns.import_module("json", "json");
    ns.import_module("np", "numpy");
    tx::attach_numpy();
    ns.import_from("tarnix_engine._persistence", {"write_config", "stage_folder", "commit_folder", "discard_folder",
                                                "refuse_interrupted_swap"});
    index_type = tx::add_type<IndexState>(module, "tarnix_engine.kernels.core._CoreIndex", index_slots);
    matrix_type = tx::add_type<MatrixState>(module, "tarnix_engine.kernels.core._CodeMatrix", matrix_slots);
  });
}
