// `_VectorStore`: the 8-bit codes of a vector set and their bin edges, the
// exact-rerank half of the vector index.
#include "indexes/vector_glue.hpp"

namespace tx::vector_index {

void require_trained_store(PyObject* self) {
  if (store(self).matrix.is_none() || store(self).boundaries.is_none()) {
    tx::raise(PyExc_RuntimeError, "The vector store is not fitted.");
  }
}

// encode_dataset(data, edges, parallel) as a uint8 code matrix.
tx::Ref encode(PyObject* data, PyObject* edges, bool parallel) {
  tx::Ref codes = tx::call(ns.get<"encode_dataset">().get(), {data, edges, tx::py_bool(parallel).get()});
  return np_call(tx::name<"asarray">(), {codes.get(), np_attr<"uint8">().get()}, tx::kwnames<"dtype">());
}

void store_train(PyObject* self, PyObject* embeddings, PyObject* edges, bool parallel) {
  store(self).boundaries.set(tx::Ref::borrow(edges));
  store(self).matrix.set(encode(embeddings, edges, parallel));
}

int store_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<1>("_VectorStore", {"bytes_"}, 0);
    const auto a = sig.bind_call(args, kwargs);
    const std::int32_t levels = a[0] ? tx::to_int32(a[0]) : 256;
    if (levels < 2 || levels > kMaxLevels) {
      tx::raise(PyExc_ValueError, "bytes_ must be from 2 to 256 levels, got " + std::to_string(levels));
    }
    store(self).levels = levels;
    store(self).boundaries.clear();
    store(self).matrix.clear();
  });
}

PyObject* store_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("fit", {"embeddings", "parallel=False"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool parallel = tx::truth(a[1]);
    tx::Ref edges = tx::call(ns.get<"generate_numba">().get(), {a[0], tx::py_long(store(self).levels).get()});
    store_train(self, a[0], edges.get(), parallel);
    return tx::Ref::none();
  });
}

PyObject* store_train_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("_train_mapped", {"embeddings", "boundaries", "parallel=False"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool parallel = tx::truth(a[2]);
    store_train(self, a[0], a[1], parallel);
    return tx::Ref::none();
  });
}

PyObject* store_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<4>("search", {"vectors", "k", "candidates=None", "parallel=False"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int32_t k = tx::to_int32(a[1]);
    PyObject* candidates = a[2];
    const bool parallel = tx::truth(a[3]);
    require_trained_store(self);
    // Converting the queries or the candidates may run Python code that
    // retrains this store: the arrays in use are held until the call ends.
    const tx::Ref edges = store(self).boundaries.ref();
    const tx::Ref matrix = store(self).matrix.ref();
    tx::Ref codes = encode(a[0], edges.get(), parallel);
    tx::Ref found = tx::call(ns.get<"_search">().get(),
                             {matrix.get(), codes.get(), tx::py_long(k).get(), candidates,
                              tx::py_bool(parallel).get()},
                             tx::kwnames<"vectors", "queries", "k", "bm25", "parallel">());
    auto [ids, distances] = tx::unpack_pair(found.get());
    tx::Ref ids64 = tx::call_method(ids.get(), tx::name<"astype">(), {np_attr<"int64">().get()});
    tx::Ref dist64 = tx::call_method(distances.get(), tx::name<"astype">(), {np_attr<"float64">().get()});
    return tx::Ref::steal(PyTuple_Pack(2, ids64.get(), dist64.get()));
  });
}

PyObject* store_update_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("_update_row", {"doc_id", "vector"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int32_t row = tx::to_int32(a[0]);
    // Converted first: the conversion may run Python code that retrains the store.
    tx::Ref v = float32_rows(a[1]);
    require_trained_store(self);
    const tx::Ref edges = store(self).boundaries.ref();
    tx::Ref codes = encode(v.get(), edges.get(), false);
    tx::Ref first = tx::Ref::steal(PySequence_GetItem(codes.get(), 0));
    if (PyObject_SetItem(store(self).matrix.get(), tx::py_long(row).get(), first.get()) < 0) tx::rethrow_python();
    return tx::Ref::none();
  });
}

PyObject* store_append_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("_append_rows", {"embeddings", "parallel"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool parallel = tx::truth(a[1]);
    require_trained_store(self);
    // Held: converting the rows may run Python code that retrains the store,
    // and the new codes belong with the matrix of the edges they were made with.
    const tx::Ref edges = store(self).boundaries.ref();
    const tx::Ref matrix = store(self).matrix.ref();
    tx::Ref fresh = encode(a[0], edges.get(), parallel);
    tx::Ref both = tx::Ref::steal(PyTuple_Pack(2, matrix.get(), fresh.get()));
    store(self).matrix.set(np_call(tx::name<"vstack">(), {both.get()}));
    return tx::Ref::none();
  });
}

PyObject* store_delete_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("_delete_rows", {"positions"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_trained_store(self);
    // Held: iterating the positions may run Python code that replaces it.
    const tx::Ref matrix_ref = store(self).matrix.ref();
    PyObject* matrix = matrix_ref.get();
    const std::int64_t rows = dim_size(matrix, 0);
    tx::Ref keep = np_call(tx::name<"ones">(), {tx::py_long(rows).get(), np_attr<"bool_">().get()},
                           tx::kwnames<"dtype">());
    npy_bool* flags = tx::array_data<npy_bool>(keep.get());
    tx::Ref it = tx::Ref::steal(PyObject_GetIter(a[0]));
    while (PyObject* raw = PyIter_Next(it.get())) {
      tx::Ref item = tx::Ref::steal(raw);
      std::int64_t p = tx::to_int32(item.get());
      if (p < -rows || p >= rows) {
        tx::raise_format(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %lld",
                         static_cast<long long>(p), static_cast<long long>(rows));
      }
      flags[p < 0 ? p + rows : p] = 0;  // negative positions count from the end, as in numpy
    }
    if (PyErr_Occurred()) tx::rethrow_python();
    store(self).matrix.set(tx::Ref::steal(PyObject_GetItem(matrix, keep.get())));
    return tx::Ref::none();
  });
}

PyObject* store_is_trained(PyObject* self, void*) {
  return tx::guard([&] { return tx::py_bool(!store(self).matrix.is_none()); });
}

}  // namespace tx::vector_index
