// tarnix_engine.kernels.packing: 8-bit quantisation of float32 vector sets,
// one byte per value. `np` and `_require_finite` are module globals looked up
// at each call, so a test may rebind either.
#define TX_NUMPY_MAIN
#include "support/numpy.hpp"
#include "support/support.hpp"

#include "kernels/quantize.hpp"
#include "support/simd_py.hpp"

#include <atomic>
#include <vector>

namespace {

tx::Namespace ns;
tx::simd::Dispatch dispatch;
// kernels.core's check as imported here; while the global is still it, the
// encoder checks finiteness itself in its one pass over the data.
PyObject* own_require_finite = nullptr;

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// A C-contiguous float64 copy (or the array itself) with at least `n` items.
tx::Ref doubles_of(PyObject* o, std::int64_t n, const char* what) {
  tx::Ref a = tx::contiguous_array(o, NPY_FLOAT64);
  if (PyArray_SIZE(tx::as_array_object(a.get())) < n) {
    tx::raise_format(PyExc_ValueError, "column %s has %zd values for %lld columns", what,
                     static_cast<Py_ssize_t>(PyArray_SIZE(tx::as_array_object(a.get()))),
                     static_cast<long long>(n));
  }
  return a;
}

// arr.<method>(axis=0).astype(np.float64, copy=False)
tx::Ref column_stat(PyObject* arr, PyObject* method) {
  tx::Ref zero = tx::py_long(0);
  tx::Ref stat = tx::call_method(arr, method, {zero.get()}, tx::kwnames<"axis">());
  tx::Ref float64 = tx::attr<"float64">(ns.get<"np">().get());
  return tx::call_method(stat.get(), tx::name<"astype">(), {float64.get(), Py_False}, tx::kwnames<"copy">());
}

PyObject* generate_numba(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("generate_numba", {"arr_in", "bins"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int32_t bins = tx::to_int32(a[1]);
    // One edge has no step between edges (it came out as NaN); none, no grid.
    if (bins < 2) tx::raise_format(PyExc_ValueError, "bins must be at least 2, got %d", bins);

    tx::Ref arr = tx::call(ns.get<"_require_finite">().get(), {a[0]});
    tx::Ref shape = tx::attr<"shape">(arr.get());
    if (tx::length(shape.get()) != 2) {
      tx::raise(PyExc_ValueError, "arr_in must be a 2-D array, got shape " + tx::repr(shape.get()));
    }
    const std::int32_t n_cols = tx::to_int32(tx::Ref::steal(PySequence_GetItem(shape.get(), 1)).get());
    tx::Ref lo_obj = column_stat(arr.get(), tx::name<"min">());
    tx::Ref hi_obj = column_stat(arr.get(), tx::name<"max">());
    tx::Ref res = tx::zeros_array({n_cols, bins}, NPY_FLOAT64);
    tx::Ref lo = doubles_of(lo_obj.get(), n_cols, "minimum");
    tx::Ref hi = doubles_of(hi_obj.get(), n_cols, "maximum");

    const double* lo_p = tx::array_data<double>(lo.get());
    const double* hi_p = tx::array_data<double>(hi.get());
    double* out = tx::array_data<double>(res.get());
    {
      tx::ReleaseGil nogil;
      tx::parallel_for(n_cols, tx::omp_max_threads(), [&](std::int64_t i) {
        tx::quantize::edge_row(lo_p[i], hi_p[i], bins, out + i * static_cast<std::int64_t>(bins));
      });
    }
    return res;
  });
}

// A 2-D C-contiguous buffer of one element type, or the matching refusal.
void require_matrix(const tx::BufferView& v, char code, const char* param, const char* type) {
  if (!v.has_format(code, code == 'f' ? 4 : 8)) {
    const char* got = v.get().format == nullptr ? "B" : v.get().format;
    tx::raise_format(PyExc_ValueError, "%s must be a %s buffer, got format '%s'", param, type, got);
  }
  if (v.ndim() != 2) {
    tx::raise_format(PyExc_ValueError, "%s must be two-dimensional, got %d dimensions", param, v.ndim());
  }
  if (!v.c_contiguous()) tx::raise_format(PyExc_ValueError, "%s must be C-contiguous", param);
}

// A buffer export; None is refused like any object without a buffer.
tx::Ref memoryview_of(PyObject* o, const char* param) {
  if (o == Py_None || !PyObject_CheckBuffer(o)) {
    tx::raise_format(PyExc_TypeError, "%s must support the buffer protocol, got %s", param, tx::type_name(o));
  }
  return tx::Ref::steal(PyMemoryView_FromObject(o));
}

PyObject* encode_dataset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("encode_dataset", {"data", "bins", "parallel=False"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);

    tx::Ref data_mv = memoryview_of(a[0], "data");
    const tx::BufferView data(data_mv.get());
    require_matrix(data, 'f', "data", "float32");
    tx::Ref bins_mv = memoryview_of(a[1], "bins");
    const tx::BufferView bins(bins_mv.get());
    require_matrix(bins, 'd', "bins", "float64");
    // The codes do not depend on it; parallel=False keeps the work on this thread.
    const bool parallel = tx::truth(a[2]);
    const std::int64_t n_rows = data.shape(0);
    const std::int64_t n_cols = data.shape(1);
    // The encoder reads edges 0 and 1 of one table row per data column; this
    // refusal comes once all three arguments are converted, before any work.
    if (bins.shape(0) < n_cols || (n_cols > 0 && bins.shape(1) < 2)) {
      tx::raise_format(PyExc_ValueError,
                       "bins must have one row of at least 2 edges per data column: got shape (%zd, %zd) "
                       "for %lld columns",
                       bins.shape(0), bins.shape(1), static_cast<long long>(n_cols));
    }

    tx::Ref view = tx::Ref::steal(PyArray_FromAny(data_mv.get(), nullptr, 0, 0, 0, nullptr));
    const tx::Ref require_finite = ns.get<"_require_finite">();
    // Our own check is folded into the encoding pass below: a second read of
    // the whole matrix cost as much as the encoding. A replacement runs here.
    const bool fused_check = require_finite.get() == own_require_finite;
    if (!fused_check) (void)tx::call(require_finite.get(), {view.get(), tx::name<"vectors">()});

    tx::Ref out = tx::zeros_array({static_cast<npy_intp>(n_rows), static_cast<npy_intp>(n_cols)}, NPY_UINT8);
    const tx::quantize::Grid grid(static_cast<const unsigned char*>(bins.data()), n_cols, bins.shape(1));
    const tx::quantize::Columns columns = grid.columns();

    const auto* src = static_cast<const unsigned char*>(data.data());
    auto* dst = tx::array_data<std::uint8_t>(out.get());
    const auto encode_row = tx::quantize::encode_row_for(static_cast<int>(dispatch.active()));
    std::atomic<bool> finite{true};
    {
      tx::ReleaseGil nogil;
      // Blocks of rows: one prefetching walk each, and no per-row loop overhead.
      constexpr std::int64_t kBlock = 64;
      tx::parallel_for((n_rows + kBlock - 1) / kBlock, parallel ? tx::omp_max_threads() : 1, [&](std::int64_t b) {
        const std::int64_t first = b * kBlock, last = std::min(n_rows, first + kBlock);
        if (!tx::quantize::encode_rows(encode_row, src, n_rows, n_cols, first, last, columns, dst)) {
          finite.store(false, std::memory_order_relaxed);
        }
      });
    }
    // The check itself raises its own error for the value found.
    if (fused_check && !finite.load()) (void)tx::call(require_finite.get(), {view.get(), tx::name<"vectors">()});
    return out;
  });
}

PyObject* generate_numpy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("generate_numpy", {"arr", "bins"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int64_t bins = tx::to_int32(a[1]);
    PyObject* arr = a[0];

    tx::Ref shape = tx::attr<"shape">(arr);
    const std::int32_t n_cols = tx::to_int32(tx::Ref::steal(PySequence_GetItem(shape.get(), 1)).get());
    tx::Ref np = ns.get<"np">();
    tx::Ref dims = tx::Ref::steal(Py_BuildValue("(iL)", n_cols, static_cast<long long>(bins - 1)));
    tx::Ref results = tx::call(tx::attr<"zeros">(np.get()).get(), {dims.get(), tx::attr<"float64">(np.get()).get()},
                               tx::kwnames<"dtype">());
    tx::Ref intervals = tx::py_long(bins - 2);
    tx::Ref all = tx::Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
    for (std::int32_t i = 0; i < n_cols; ++i) {
      tx::Ref index = tx::py_long(i);
      tx::Ref key = tx::Ref::steal(PyTuple_Pack(2, all.get(), index.get()));
      tx::Ref column = tx::Ref::steal(PyObject_GetItem(arr, key.get()));
      tx::Ref edges = tx::call(tx::attr<"histogram_bin_edges">(np.get()).get(), {column.get(), intervals.get()});
      if (PyObject_SetItem(results.get(), index.get(), edges.get()) < 0) tx::rethrow_python();
    }
    return results;
  });
}

PyObject* simd_level(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::simd_level_entry(dispatch, args, nargs, kwnames);
}

PyMethodDef methods[] = {
    {"generate_numpy", tx::as_cfunction(generate_numpy), kFastcall,
     "generate_numpy(arr, bins)\n--\n\nnumpy's histogram edges per column: bins - 1 edges over bins - 2 intervals."},
    {"generate_numba", tx::as_cfunction(generate_numba), kFastcall,
     "generate_numba(arr_in, bins)\n--\n\nbins equally spaced edges per column, from its minimum to its maximum."},
    {"encode_dataset", tx::as_cfunction(encode_dataset), kFastcall,
     "encode_dataset(data, bins, parallel=False)\n--\n\n"
     "uint8 code of every value: its cell on its column's grid, 0 to 255."},
    {"_simd_level", tx::as_cfunction(simd_level), kFastcall,
     "_simd_level(level=None)\n--\n\nThe kernel level in use; forces a lower one when given (tests, benchmarks)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "packing", "Per-dimension 8-bit quantisation kernels.", -1,
                          methods};

}  // namespace

PyMODINIT_FUNC PyInit_packing() {
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    ns.import_module("np", "numpy");
    tx::attach_numpy();
    ns.import_from("tarnix_engine.kernels.core", {"_require_finite"});
    own_require_finite = ns.get<"_require_finite">().release();  // held for the process
  });
}
