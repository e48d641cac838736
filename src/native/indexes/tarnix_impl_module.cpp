// tarnix_engine.indexes._tarnix_impl: the quantised vector index. Its types
// and the split of its glue files are described in vector_glue.hpp.
#define TX_NUMPY_MAIN
#include "indexes/vector_glue.hpp"

namespace tx::vector_index {
namespace {

PyMethodDef store_methods[] = {
    {"fit", tx::as_cfunction(store_fit), kFastcall,
     "fit($self, embeddings, parallel=False)\n--\n\nBuild the bin edges and encode."},
    {"_train_mapped", tx::as_cfunction(store_train_mapped), kFastcall,
     "_train_mapped($self, embeddings, boundaries, parallel=False)\n--\n\nEncode with given bin edges."},
    {"search", tx::as_cfunction(store_search), kFastcall,
     "search($self, vectors, k, candidates=None, parallel=False)\n--\n\nExact rerank of each query's candidate row."},
    {"_update_row", tx::as_cfunction(store_update_row), kFastcall,
     "_update_row($self, doc_id, vector)\n--\n\nRe-encode one row in place."},
    {"_append_rows", tx::as_cfunction(store_append_rows), kFastcall,
     "_append_rows($self, embeddings, parallel)\n--\n\nEncode and append rows."},
    {"_delete_rows", tx::as_cfunction(store_delete_rows), kFastcall,
     "_delete_rows($self, positions)\n--\n\nRemove rows, closing the gaps."},
    {"save", tx::as_cfunction(store_save), kFastcall, "save($self, directory)\n--\n\nWrite the store's folder."},
    {"load", tx::as_cfunction(store_load), kFastcall | METH_CLASS,
     "load($type, directory)\n--\n\nRead a store's folder."},
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef store_getset[] = {
    {"boundaries", tx::field_getter<StoreState, &StoreState::boundaries>, nullptr, "Bin edges per dimension.", nullptr},
    {"matrix", tx::field_getter<StoreState, &StoreState::matrix>, nullptr, "The uint8 code matrix.", nullptr},
    {"is_trained", store_is_trained, nullptr, "True once a code matrix exists.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(store_init)},
    {Py_tp_methods, store_methods},
    {Py_tp_getset, store_getset},
    {Py_tp_doc, const_cast<char*>("_VectorStore(bytes_=256)\n--\n\n"
                                  "8-bit per-dimension codes of a vector set: the exact-rerank half of the index.\n"
                                  "bytes_ is the number of code levels per dimension, from 2 to 256.")},
    {0, nullptr},
};

// ---- properties ----------------------------------------------------------------

PyObject* index_size(PyObject* self, void*) {
  return tx::guard([&] {
    tx::Ref matrix = store_matrix(index(self).vectorstore.get());
    return matrix.is_none() ? tx::py_long(0) : tx::py_long(tx::length(matrix.get()));
  });
}

PyObject* index_is_trained(PyObject* self, void*) {
  return tx::guard([&] { return tx::attr<"is_trained">(index(self).vectorstore.get()); });
}

PyObject* index_index_type(PyObject*, void*) {
  return tx::guard([] { return tx::py_str("tarnix"); });
}

PyObject* index_params(PyObject* self, void*) {
  return tx::guard([&] {
    tx::Ref boundaries = tx::attr<"boundaries">(index(self).vectorstore.get());
    tx::Ref medians = tx::attr<"medians">(index(self).coreindex.get());
    if (boundaries.is_none() || medians.is_none()) return tx::Ref::none();
    return tx::call(ns.get<"_Parameters">().get(), {boundaries.get(), medians.get()},
                    tx::kwnames<"boundaries", "fit_values">());
  });
}

PyObject* index_matrix(PyObject* self, void*) {
  return tx::guard([&] { return store_matrix(index(self).vectorstore.get()); });
}

PyMethodDef index_methods[] = {
    {"fit", tx::as_cfunction(index_fit), kFastcall,
     "fit($self, embeddings, parallel=False, params=None)\n--\n\nTrain both halves from scratch."},
    {"add", tx::as_cfunction(index_add), kFastcall,
     "add($self, ids, vectors, parallel=False)\n--\n\nAppend documents."},
    {"search", tx::as_cfunction(index_search), kFastcall,
     "search($self, query, k, parallel=False, batch_size=None, candidates=None)\n--\n\nRanked hits per query."},
    {"search_raw", tx::as_cfunction(index_search_raw), kFastcall,
     "search_raw($self, vectors, k, candidates=None, parallel=False, n_candidates=None)\n--\n\n"
     "Positions and distances."},
    {"update", tx::as_cfunction(index_update), kFastcall,
     "update($self, ids, vectors)\n--\n\nReplace the vectors of ids."},
    {"delete", tx::as_cfunction(index_delete), kFastcall,
     "delete($self, ids)\n--\n\nRemove documents, closing the gaps."},
    {"save", tx::as_cfunction(index_save), kFastcall,
     "save($self, directory, base_dir=None)\n--\n\nWrite the index folder."},
    {"load", tx::as_cfunction(index_load), kFastcall | METH_CLASS,
     "load($type, directory, base_dir=None)\n--\n\nRead an index folder."},
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"coreindex", tx::field_getter<IndexState, &IndexState::coreindex>, nullptr, "The binary-code index.", nullptr},
    {"ids", tx::field_getter<IndexState, &IndexState::ids>, nullptr, "Document ids by position.", nullptr},
    {"size", index_size, nullptr, "Number of stored rows.", nullptr},
    {"is_trained", index_is_trained, nullptr, "True once fitted.", nullptr},
    {"index_type", index_index_type, nullptr, "\"tarnix\"", nullptr},
    {"_params", index_params, nullptr, "The frozen quantisation, or None.", nullptr},
    {"_matrix", index_matrix, nullptr, "The uint8 code matrix, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(index_init)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_tp_doc, const_cast<char*>("_TarnixCore(n_candidates=None)\n--\n\n"
                                  "Quantised vector index: Hamming shortlist over binary codes, exact rerank "
                                  "over 8-bit codes.\nn_candidates is the shortlist size; None sizes it from "
                                  "the rows at fit (at most 4096).")},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tarnix_impl", "The quantised vector index.", -1, nullptr};

}  // namespace
}  // namespace tx::vector_index


PyMODINIT_FUNC PyInit__tarnix_impl() {
  using namespace tx::vector_index;
  return tx::init_module(&module_def, [](PyObject* module) {
    tx::attach_numpy();
    ns.bind(module);
    ns.import_module("json", "json");
    ns.import_from("pathlib", {"Path"});
    ns.import_module("np", "numpy");
    ns.import_from("tarnix_engine._types", {"SearchResult", "_Parameters"});
    ns.import_from("tarnix_engine.kernels.core", {"_CoreIndex", "_require_finite"});
    ns.import_from("tarnix_engine.kernels.packing", {"encode_dataset", "generate_numba"});
    ns.import_from("tarnix_engine.kernels.distance", {"_search"});
    ns.import_from("tarnix_engine.kernels._batching", {"resolve_batch_size", "resolve_num_threads"});
    ns.import_from("tarnix_engine._persistence", {"resolve_directory", "write_config", "reject_legacy_pickle",
                                                "stage_folder", "commit_folder", "discard_folder",
                                                "refuse_interrupted_swap"});
    ns.set("MAX_DEFAULT_N_CANDIDATES", tx::py_long(4096));
    store_type = tx::add_type<StoreState>(module, "tarnix_engine.indexes._tarnix_impl._VectorStore", store_slots);
    index_type = tx::add_type<IndexState>(module, "tarnix_engine.indexes._tarnix_impl._TarnixCore", index_slots);
  });
}
