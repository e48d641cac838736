// `_TarnixCore` searches: the Hamming shortlist, its exact rerank, candidate
// positions and the batching of many queries.
#include "indexes/vector_glue.hpp"

#include "support/candidates.hpp"
#include "support/no_python/positions.hpp"
#include "support/records.hpp"

namespace tx::vector_index {

// ---- searching -----------------------------------------------------------------

tx::Ref normalize_candidates(PyObject* candidates, std::int64_t n_rows) {
  tx::Ref c = tx::require_integer_positions(candidates);
  const std::int64_t nd = ndim_of(c.get());
  if (nd == 1) {
    c = tx::call_method(c.get(), tx::name<"astype">(), {np_attr<"int64">().get(), Py_False}, tx::kwnames<"copy">());
    // Positions from the pre-filter store are already sorted, distinct and in
    // range: hand them on as they are instead of sorting them again.
    if (tx::is_c_contiguous_of(c.get(), NPY_INT64)) {
      const std::int64_t n = dim_size(c.get(), 0);
      const std::int64_t* p = tx::array_data<std::int64_t>(c.get());
      bool ready;
      {
        tx::ReleaseGil nogil;
        ready = tx::is_sorted_distinct_in_range(p, n, n_rows);
      }
      if (ready) return c;
    }
    tx::Ref low = tx::Ref::steal(PyObject_RichCompare(c.get(), tx::py_long(0).get(), Py_GE));
    tx::Ref high = tx::Ref::steal(PyObject_RichCompare(c.get(), tx::py_long(n_rows).get(), Py_LT));
    tx::Ref inside = tx::Ref::steal(PyNumber_And(low.get(), high.get()));
    tx::Ref kept = tx::Ref::steal(PyObject_GetItem(c.get(), inside.get()));
    return np_call(tx::name<"unique">(), {kept.get()});
  }
  if (nd == 2) {
    // Object arrays hold checked integers; numpy converts them only when asked to.
    if (PyArray_TYPE(tx::as_array_object(c.get())) == NPY_OBJECT) return tx::cast_contiguous_array(c.get(), NPY_INT64);
    return c;
  }
  tx::raise(PyExc_ValueError, "candidates must be 1D or 2D, got shape " + str_of(shape_of(c.get()).get()));
}

// Per-query candidate rows must pair one to one with the queries.
void check_candidate_rows(PyObject* c, std::int64_t n_queries) {
  if (c == Py_None || ndim_of(c) != 2) return;
  const std::int64_t rows = dim_size(c, 0);
  if (rows != n_queries) {
    tx::raise(PyExc_ValueError, "candidates must have one row per query: got " + std::to_string(rows) +
                                    " rows for " + std::to_string(n_queries) + " queries");
  }
}

std::pair<std::int32_t, std::int32_t> resolve_k_h(PyObject* self, std::int32_t k, PyObject* c, PyObject* n_candidates,
                                                  std::int64_t n_rows) {
  PyObject* base_obj = n_candidates != Py_None ? n_candidates : index(self).n_candidates.get();
  std::int64_t k_h = std::max<std::int64_t>(tx::to_int32(base_obj), k);
  if (c != Py_None) {
    k_h = std::min<std::int64_t>(k_h, dim_size(c, ndim_of(c) - 1));
  } else {
    k_h = std::min<std::int64_t>(k_h, n_rows);
  }
  const std::int64_t k_eff = std::min<std::int64_t>(k_h, k);
  return {static_cast<std::int32_t>(k_h), static_cast<std::int32_t>(k_eff)};
}

tx::Ref search_raw_chunk(PyObject* self, PyObject* queries, std::int32_t k, std::int32_t k_h, PyObject* c,
                         bool parallel) {
  // Both parts are held: a search lets other threads run, and one may refit us.
  const tx::Ref core_ref = index(self).coreindex.ref();
  const tx::Ref vstore = index(self).vectorstore.ref();
  PyObject* core = core_ref.get();
  PyObject* flag = parallel ? Py_True : Py_False;
  tx::Ref width = tx::py_long(k_h);
  tx::Ref found;
  if (c == Py_None) {
    found = tx::call_method(core, tx::name<"search_full">(), {queries, width.get(), flag});
  } else if (ndim_of(c) == 1) {
    found = tx::call_method(core, tx::name<"search_subset">(), {queries, width.get(), c, flag});
  } else {
    found = tx::call_method(core, tx::name<"search">(), {queries, width.get(), c, flag});
  }
  auto [shortlist, unused] = tx::unpack_pair(found.get());
  return tx::call_method(vstore.get(), tx::name<"search">(),
                         {queries, tx::py_long(std::min(k_h, k)).get(), shortlist.get(), flag},
                         tx::kwnames<"candidates", "parallel">());
}

void require_fitted_store(PyObject* self) {
  if (store_matrix(index(self).vectorstore.get()).is_none()) {
    tx::raise(PyExc_RuntimeError, "Cannot search an unfitted index.");
  }
}

tx::Ref search_raw_impl(PyObject* self, PyObject* vectors, std::int32_t k, PyObject* candidates, bool parallel,
                        PyObject* n_candidates) {
  check_k(k);
  tx::Ref q = query_matrix(vectors);
  require_fitted_store(self);
  check_dim(self, q.get(), "query vectors");
  const std::int64_t n_rows = tx::length(store_matrix(index(self).vectorstore.get()).get());
  const std::int64_t n_queries = dim_size(q.get(), 0);
  tx::Ref c = tx::Ref::none();
  if (candidates != Py_None) {
    c = normalize_candidates(candidates, n_rows);
    if (ndim_of(c.get()) == 1 && dim_size(c.get(), 0) == 0) {
      const std::int64_t w = std::max<std::int64_t>(1, std::min<std::int64_t>(n_rows, k));
      tx::Ref shape = tx::Ref::steal(Py_BuildValue("(LL)", static_cast<long long>(n_queries), static_cast<long long>(w)));
      tx::Ref ids = np_call(tx::name<"full">(), {shape.get(), tx::py_long(-1).get(), np_attr<"int64">().get()},
                            tx::kwnames<"dtype">());
      tx::Ref dist = np_call(tx::name<"full">(),
                             {shape.get(), tx::Ref::steal(PyFloat_FromDouble(2147483647.0)).get(), np_attr<"float64">().get()},
                             tx::kwnames<"dtype">());
      return tx::Ref::steal(PyTuple_Pack(2, ids.get(), dist.get()));
    }
    check_candidate_rows(c.get(), n_queries);
  }
  auto [k_h, k_eff] = resolve_k_h(self, k, c.get(), n_candidates, n_rows);
  (void)k_eff;
  return search_raw_chunk(self, q.get(), k, k_h, c.get(), parallel);
}

PyObject* index_search_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<5>("search_raw", {"vectors", "k", "candidates=None", "parallel=False", "n_candidates=None"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int32_t k = tx::to_int32(a[1]);
    const bool parallel = tx::truth(a[3]);
    return search_raw_impl(self, a[0], k, a[2], parallel, a[4]);
  });
}

// search_raw through its slot, so that an override in Python is reached.
tx::Ref dispatch_search_raw(PyObject* self, PyObject* queries, std::int32_t k, PyObject* c, bool parallel) {
  tx::Ref k_obj = tx::py_long(k);
  PyObject* flag = parallel ? Py_True : Py_False;
  return tx::call_virtual(
      self, index_type, tx::name<"search_raw">(), reinterpret_cast<void*>(index_search_raw),
      [&] { return search_raw_impl(self, queries, k, c, parallel, Py_None); }, {queries, k_obj.get(), c, flag},
      tx::kwnames<"candidates", "parallel">());
}

tx::Ref slice_rows(PyObject* array, std::int64_t start, std::int64_t end) {
  tx::Ref s = tx::Ref::steal(PySlice_New(tx::py_long(start).get(), tx::py_long(end).get(), nullptr));
  return tx::Ref::steal(PyObject_GetItem(array, s.get()));
}

tx::Ref search_impl(PyObject* self, PyObject* query, std::int32_t k, bool parallel, PyObject* batch_size,
                    PyObject* candidates) {
  check_k(k);
  tx::Ref q = query_matrix(query);
  const std::int64_t nq = dim_size(q.get(), 0);
  const bool single = nq == 1;
  require_fitted_store(self);
  const std::int64_t n_rows = tx::length(store_matrix(index(self).vectorstore.get()).get());
  k = static_cast<std::int32_t>(std::min<std::int64_t>(k, n_rows));
  tx::Ref c = tx::Ref::none();
  if (candidates != Py_None) {
    c = normalize_candidates(candidates, n_rows);
    if (dim_size(c.get(), ndim_of(c.get()) - 1) == 0) {
      if (single) return tx::Ref::steal(PyList_New(0));
      return tx::list_of(nq, [](Py_ssize_t) { return tx::Ref::steal(PyList_New(0)); });
    }
    check_candidate_rows(c.get(), nq);
  }
  const std::int64_t dim = dim_size(q.get(), 1);
  auto [k_h, k_eff] = resolve_k_h(self, k, c.get(), Py_None, n_rows);

  tx::Ref threads = tx::call(ns.get<"resolve_num_threads">().get(), {tx::py_bool(parallel).get(), tx::py_long(nq).get()});
  const std::int64_t bytes_per_query = 8 * (6 * static_cast<std::int64_t>(k_eff) + k_h + 2 * dim);
  tx::Ref batch_obj = tx::call(ns.get<"resolve_batch_size">().get(),
                               {tx::py_long(nq).get(), tx::py_long(bytes_per_query).get(), batch_size, threads.get()},
                               tx::kwnames<"batch_size", "num_threads">());
  const std::int64_t batch = tx::to_int64(batch_obj.get());
  if (batch < 1) {
    tx::raise(PyExc_ValueError, "resolve_batch_size returned " + std::to_string(batch) + "; a chunk needs at least one query");
  }

  tx::Ref positions, distances;
  if (batch < nq) {
    tx::Ref shape = tx::Ref::steal(Py_BuildValue("(LL)", static_cast<long long>(nq), static_cast<long long>(k_eff)));
    positions = np_call(tx::name<"empty">(), {shape.get(), np_attr<"int64">().get()}, tx::kwnames<"dtype">());
    distances = np_call(tx::name<"empty">(), {shape.get(), np_attr<"float64">().get()}, tx::kwnames<"dtype">());
    const bool per_query_rows = !c.is_none() && ndim_of(c.get()) == 2;
    for (std::int64_t start = 0; start < nq; start += batch) {
      const std::int64_t end = std::min(nq, start + batch);
      tx::Ref chunk = slice_rows(q.get(), start, end);
      // Per-query candidate rows travel with their queries.
      tx::Ref chunk_c = per_query_rows ? slice_rows(c.get(), start, end) : c;
      tx::Ref found = dispatch_search_raw(self, chunk.get(), k, chunk_c.get(), parallel);
      auto [p, d] = tx::unpack_pair(found.get());
      tx::Ref rows = tx::Ref::steal(PySlice_New(tx::py_long(start).get(), tx::py_long(end).get(), nullptr));
      if (PyObject_SetItem(positions.get(), rows.get(), p.get()) < 0) tx::rethrow_python();
      if (PyObject_SetItem(distances.get(), rows.get(), d.get()) < 0) tx::rethrow_python();
    }
  } else {
    tx::Ref found = dispatch_search_raw(self, q.get(), k, c.get(), parallel);
    auto [p, d] = tx::unpack_pair(found.get());
    positions = p;
    distances = d;
  }

  PyObject* scale_obj = index(self).d_scale.get();
  tx::Ref scale = scale_obj == Py_None ? tx::Ref::steal(PyFloat_FromDouble(1.0)) : tx::Ref::borrow(scale_obj);
  tx::Ref d64 = tx::call_method(distances.get(), tx::name<"astype">(), {np_attr<"float64">().get()});
  tx::Ref negated = tx::Ref::steal(PyNumber_Negative(d64.get()));
  tx::Ref scaled = tx::Ref::steal(PyNumber_TrueDivide(negated.get(), scale.get()));
  tx::Ref scores = tx::contiguous_array(np_call(tx::name<"exp">(), {scaled.get()}).get(), NPY_FLOAT64);
  tx::Ref pos64 = tx::contiguous_array(positions.get(), NPY_INT64);
  if (PyArray_NDIM(tx::as_array_object(pos64.get())) != 2 || PyArray_NDIM(tx::as_array_object(scores.get())) != 2 ||
      !PyArray_SAMESHAPE(tx::as_array_object(pos64.get()), tx::as_array_object(scores.get()))) {
    tx::raise(PyExc_ValueError, "search_raw returned positions and distances of different shapes");
  }
  const npy_intp rows = PyArray_DIM(tx::as_array_object(pos64.get()), 0);
  const npy_intp width = PyArray_DIM(tx::as_array_object(pos64.get()), 1);
  const std::int64_t* pos = tx::array_data<std::int64_t>(pos64.get());
  const double* score = tx::array_data<double>(scores.get());

  // Held: building the records runs Python code, which may replace the list.
  tx::Ref ids = index(self).ids.ref();
  const bool numbered = !PyList_Check(ids.get()) || PyList_GET_SIZE(ids.get()) == 0;
  tx::Ref out = tx::hit_rows(ns.get<"SearchResult">().get(), tx::kwnames<"rank", "id", "score">(), pos, score, rows,
                             width, ids.get(), numbered);
  if (single) {
    // An overridden search_raw may hand back no row at all.
    if (rows < 1) tx::raise(PyExc_IndexError, "list index out of range");
    return tx::Ref::borrow(PyList_GET_ITEM(out.get(), 0));
  }
  return out;
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<5>("search", {"query", "k", "parallel=False", "batch_size=None", "candidates=None"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int32_t k = tx::to_int32(a[1]);
    const bool parallel = tx::truth(a[2]);
    return search_impl(self, a[0], k, parallel, a[3], a[4]);
  });
}

}  // namespace tx::vector_index
