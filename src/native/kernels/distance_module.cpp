// tarnix_engine.kernels.distance: the exact rerank of each query's Hamming
// shortlist by squared L2 distance over 8-bit codes.
#define TX_NUMPY_MAIN
#include "support/numpy.hpp"
#include "support/simd_py.hpp"
#include "support/support.hpp"

#include <vector>

#include "kernels/rerank.hpp"
#include "kernels/topk.hpp"
#include "support/candidates.hpp"
#include "support/no_python/positions.hpp"

namespace {

tx::simd::Dispatch dispatch;

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// A 2-D uint8 array (made C-contiguous when it is not), refused otherwise.
tx::Ref code_matrix(PyObject* o, const char* name) {
  if (!PyArray_Check(o)) {
    tx::raise_format(PyExc_TypeError, "%s must be a numpy array of uint8 codes, got %s", name, tx::type_name(o));
  }
  PyArrayObject* a = tx::as_array_object(o);
  if (PyArray_TYPE(a) != NPY_UINT8 || PyArray_NDIM(a) != 2) {
    tx::Ref dtype = tx::attr<"dtype">(o);
    tx::raise(PyExc_ValueError, std::string(name) + " must be a 2-D uint8 array, got " + tx::repr(dtype.get()) +
                                    " of shape " + tx::shape_text(o));
  }
  return tx::contiguous_array(o, NPY_UINT8);
}

// _search(vectors, queries, k, bm25, parallel=False) -> (ids int64, distances int32)
PyObject* search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<5>("_search", {"vectors", "queries", "k", "bm25", "parallel=False"}, 4);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref vectors = code_matrix(a[0], "vectors");
    tx::Ref queries = code_matrix(a[1], "queries");
    const std::int64_t rows = PyArray_DIM(tx::as_array_object(vectors.get()), 0);
    const std::int64_t dim = PyArray_DIM(tx::as_array_object(vectors.get()), 1);
    const std::int64_t nq = PyArray_DIM(tx::as_array_object(queries.get()), 0);
    if (PyArray_DIM(tx::as_array_object(queries.get()), 1) != dim) {
      tx::raise(PyExc_ValueError, "queries must have dimension " + std::to_string(dim) + " to match vectors, got shape " +
                                      tx::shape_text(queries.get()));
    }
    const std::int32_t k_asked = tx::to_int32(a[2]);
    if (k_asked < 0) tx::raise_format(PyExc_ValueError, "k must be non-negative, got %d", k_asked);
    // No row has more distinct candidates than there are rows: a wider k would only allocate padding.
    const std::int64_t k = std::min<std::int64_t>(k_asked, rows);
    if (a[3] == Py_None) tx::raise(PyExc_TypeError, "bm25 must be a 2-D array of candidate positions, got None");
    tx::Ref cand = tx::contiguous_array(tx::require_integer_positions(a[3], "bm25").get(), NPY_INT64);
    PyArrayObject* c = tx::as_array_object(cand.get());
    if (PyArray_NDIM(c) != 2 || PyArray_DIM(c, 0) != nq) {
      tx::raise(PyExc_ValueError, "bm25 must hold one row of candidate positions per query (" + std::to_string(nq) +
                                      " rows), got shape " + tx::shape_text(cand.get()));
    }
    const bool parallel = tx::truth(a[4]);
    const std::int64_t width = PyArray_DIM(c, 1);
    // Our own copy: nobody can change it while the GIL is released.
    const std::int64_t* cd = tx::array_data<std::int64_t>(cand.get());
    const std::vector<std::int64_t> candidates(cd, cd + nq * width);

    tx::Ref ids = tx::empty_array({static_cast<npy_intp>(nq), static_cast<npy_intp>(k)}, NPY_INT64);
    tx::Ref dist = tx::empty_array({static_cast<npy_intp>(nq), static_cast<npy_intp>(k)}, NPY_INT32);
    const std::uint8_t* base = tx::array_data<std::uint8_t>(vectors.get());
    const std::uint8_t* qbase = tx::array_data<std::uint8_t>(queries.get());
    std::int64_t* id_out = tx::array_data<std::int64_t>(ids.get());
    std::int32_t* dist_out = tx::array_data<std::int32_t>(dist.get());
    const tx::rerank::L2 l2 = tx::rerank::l2_for(static_cast<int>(dispatch.active()));
    const int threads = parallel ? tx::omp_max_threads() : 1;
    {
      tx::ReleaseGil nogil;
      tx::SeenPerThread seen(threads, rows);
      tx::parallel_for(nq, threads, [&](std::int64_t qi) {
        const std::uint8_t* q = qbase + qi * dim;
        std::vector<std::int64_t> taken;
        tx::distinct_in_range(candidates.data() + qi * width, width, rows, seen.mine(), taken);
        tx::rerank::nearest(base, dim, q, taken.data(), static_cast<std::int64_t>(taken.size()), l2, k, id_out + qi * k,
                            dist_out + qi * k);
      });
    }
    return tx::Ref::steal(PyTuple_Pack(2, ids.get(), dist.get()));
  });
}

PyObject* simd_level(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::simd_level_entry(dispatch, args, nargs, kwnames);
}

PyMethodDef methods[] = {
    {"_search", tx::as_cfunction(search), kFastcall,
     "_search(vectors, queries, k, bm25, parallel=False)\n--\n\n"
     "(ids, distances): each query's k nearest candidates by squared L2 over uint8 codes, ties by position; "
     "-1 / 2147483647 pad a row. Candidates that are negative, out of range or repeated are skipped."},
    {"_simd_level", tx::as_cfunction(simd_level), kFastcall,
     "_simd_level(level=None)\n--\n\nThe kernel level in use; forces a lower one when given (tests, benchmarks)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "distance", "Exact rerank over 8-bit codes.", -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_distance() {
  return tx::init_module(&module_def, [](PyObject*) { tx::attach_numpy(); });
}
