// tarnix_engine.kernels.core: the binary-code index that gives the vector
// index its Hamming shortlist, and the finiteness guard every writer uses.
// The index's state and the concurrency model are in core_glue.hpp.
#define TX_NUMPY_MAIN
#include "kernels/core_glue.hpp"

namespace tx::core {
namespace {

// _require_finite(array, name="array"): the array itself when every value is
// finite. Aligned C-contiguous float arrays are scanned here; anything else
// goes through numpy's isfinite.
PyObject* require_finite(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("_require_finite", {"array", "name"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
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
}  // namespace tx::core


PyMODINIT_FUNC PyInit_core() {
  using namespace tx::core;
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    ns.import_module("json", "json");
    ns.import_module("np", "numpy");
    tx::attach_numpy();
    ns.import_from("tarnix_engine._persistence", {"write_config", "refuse_unnamed_target", "stage_folder",
                                                "commit_folder", "discard_folder", "refuse_interrupted_swap"});
    index_type = tx::add_type<IndexState>(module, "tarnix_engine.kernels.core._CoreIndex", index_slots);
    matrix_type = tx::add_type<MatrixState>(module, "tarnix_engine.kernels.core._CodeMatrix", matrix_slots);
  });
}
