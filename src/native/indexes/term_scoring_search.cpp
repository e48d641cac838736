// Searching the text index: candidate positions as bm25s's weight mask,
// hits that the mask excluded moved to the end of their rows, and large
// batches cut into chunks with the shared batching policy.
#include "indexes/term_scoring_glue.hpp"
#include "support/candidates.hpp"
#include "support/records.hpp"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "indexes/term_scoring.hpp"

namespace tx::term_scoring {
namespace {

namespace ts = tx::term_scoring;

// Reads a weight mask as "entry is not zero" from native memory.
template <class Body>
void with_mask_view(PyObject* mask, Body&& body) {
  auto* arr = tx::as_array_object(mask);
  const std::int64_t n = PyArray_SIZE(arr);
  if (PyArray_NDIM(arr) == 1 && PyArray_ISNOTSWAPPED(arr)) {
    if (tx::is_c_contiguous_of(mask, NPY_FLOAT32)) return body(tx::array_data<float>(mask), n);
    if (tx::is_c_contiguous_of(mask, NPY_FLOAT64)) return body(tx::array_data<double>(mask), n);
  }
  tx::Ref flags = tx::Ref::steal(
      PyArray_FROMANY(mask, NPY_BOOL, 1, 1, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
  return body(tx::array_data<npy_bool>(flags.get()), n);
}

// 1.0 at every candidate position in 0 .. size-1, 0.0 elsewhere, of the
// model's score dtype; built once per call and shared by all chunks.
tx::Ref build_weight_mask(const RelevanceState& s, PyObject* candidates) {
  const std::int64_t n = tx::length(s.ids.get());
  tx::Ref dtype = tx::attr<"dtype">(s.model.get());
  tx::Ref mask = tx::zeros_array({static_cast<npy_intp>(n)}, dtype.get());
  tx::Ref c = tx::require_integer_positions(candidates);
  auto* carr = tx::as_array_object(c.get());
  if (PyArray_NDIM(carr) == 0) {
    tx::raise(PyExc_ValueError, "candidates must be a one-dimensional array of positions, got a single value");
  }
  if (PyArray_NDIM(carr) != 1) {
    tx::raise(PyExc_TypeError,
              "candidates must be a one-dimensional array of positions, got shape " + tx::shape_text(c.get()));
  }
  const npy_intp count = PyArray_DIM(carr, 0);

  tx::Ref positions;  // int64, one-dimensional
  if (PyArray_ISINTEGER(carr)) {
    // Integer entries convert exactly; unsigned ones beyond the int64 range
    // wrap to negative values, which are skipped like any other non-position.
    positions = tx::Ref::steal(PyArray_FROMANY(c.get(), NPY_INT64, 1, 1,
                                               NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST));
  } else {
    // Integers held by an object array (an empty array of any dtype has no
    // entries): each through the index protocol.
    positions = tx::empty_array({count}, NPY_INT64);
    std::int64_t* out = tx::array_data<std::int64_t>(positions.get());
    for (npy_intp i = 0; i < count; ++i) {
      tx::Ref item = tx::Ref::steal(PySequence_GetItem(c.get(), i));
      tx::Ref index = tx::Ref::steal(PyNumber_Index(item.get()));
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (v == -1 && PyErr_Occurred()) tx::rethrow_python();
      out[i] = overflow != 0 ? -1 : static_cast<std::int64_t>(v);
    }
  }
  const std::int64_t* cand = tx::array_data<std::int64_t>(positions.get());
  std::vector<std::uint8_t> marks(static_cast<std::size_t>(n) + 1, 0);
  auto* marr = tx::as_array_object(mask.get());
  const bool native = PyArray_ISNOTSWAPPED(marr);
  auto fill = [&](auto* data) {
    ts::mark_candidates(marks.data(), n, cand, count);
    ts::weights_from_marks(data, marks.data(), n);
  };
  auto run = [&](auto* data) {
    if (count + n >= kReleaseGilFrom) {
      tx::ReleaseGil nogil;
      fill(data);
    } else {
      fill(data);
    }
  };
  if (native && tx::is_c_contiguous_of(mask.get(), NPY_FLOAT32)) {
    run(tx::array_data<float>(mask.get()));
  } else if (native && tx::is_c_contiguous_of(mask.get(), NPY_FLOAT64)) {
    run(tx::array_data<double>(mask.get()));
  } else {
    // Another score dtype: mark natively, then let numpy assign the 1s.
    tx::Ref flags = tx::zeros_array({static_cast<npy_intp>(n)}, tx::py_str("bool").get());
    run(tx::array_data<npy_bool>(flags.get()));
    if (PyObject_SetItem(mask.get(), flags.get(), tx::Ref::steal(PyFloat_FromDouble(1.0)).get()) < 0) {
      tx::rethrow_python();
    }
  }
  return mask;
}

bool has_shape(PyObject* array, npy_intp rows, npy_intp cols) {
  auto* arr = tx::as_array_object(array);
  return PyArray_NDIM(arr) == 2 && PyArray_DIM(arr, 0) == rows && PyArray_DIM(arr, 1) == cols;
}

// One raw search over one batch: (positions int64, scores float64), (n, k).
// `expected_rows`, when not negative, is the number of queries the caller
// counted in `queries`: it fills that many rows, so the tokeniser must give
// one token list per query.
std::pair<tx::Ref, tx::Ref> search_raw_impl(const RelevanceState& s, PyObject* queries, std::int32_t k, bool parallel,
                                            const tx::Ref& mask, Py_ssize_t expected_rows = -1) {
  const Py_ssize_t size = tx::length(s.ids.get());
  if (size < k) {
    tx::raise(PyExc_ValueError, "k (" + std::to_string(k) + ") exceeds the number of indexed documents (" +
                                    std::to_string(size) + ")");
  }
  const ParallelPlan threads_plan = parallel ? parallel_plan() : ParallelPlan{false, 0};
  tx::Ref given = tokenize(s, queries, true);
  if (!PyList_Check(given.get())) {
    tx::raise_format(PyExc_TypeError, "bm25s.tokenize returned %s, expected a list of token lists",
                     tx::type_name(given.get()));
  }
  // A list of our own: the length of a token list may run Python code (a
  // patched tokeniser's __len__), which could otherwise change the list
  // this loop indexes.
  tx::Ref tokens = tx::Ref::steal(PyList_GetSlice(given.get(), 0, PY_SSIZE_T_MAX));
  const Py_ssize_t n = PyList_GET_SIZE(tokens.get());
  if (expected_rows >= 0 && n != expected_rows) {
    tx::raise_format(PyExc_RuntimeError, "bm25s.tokenize returned %zd token lists for %zd queries", n, expected_rows);
  }
  if (n == 0) {
    // bm25s refuses an empty batch; an empty batch has no hits.
    return {tx::empty_array({0, k}, NPY_INT64), tx::empty_array({0, k}, NPY_FLOAT64)};
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    const tx::Ref query_tokens = tx::Ref::borrow(PyList_GET_ITEM(tokens.get(), i));
    if (tx::length(query_tokens.get()) == 0) {
      tx::Ref only = tx::Ref::steal(PyList_New(1));
      PyList_SET_ITEM(only.get(), 0, ns.get<"_EMPTY_QUERY_TOKEN">().release());
      PyList_SetItem(tokens.get(), i, only.release());  // steals; cannot fail for i < n
    }
  }
  tx::Ref model = s.model.ref();
  if (mask) {
    // bm25s multiplies the mask into the scores of every document it holds.
    tx::Ref scores_map = tx::attr<"scores">(model.get());
    tx::Ref num_docs = tx::Ref::steal(PyObject_GetItem(scores_map.get(), tx::name<"num_docs">()));
    const std::int64_t mask_length = PyArray_SIZE(tx::as_array_object(mask.get()));
    if (!tx::compare(tx::py_long(mask_length).get(), num_docs.get(), Py_EQ)) {
      tx::raise(PyExc_ValueError, "the index holds " + std::to_string(mask_length) +
                                      " ids but its model indexes " + tx::repr(num_docs.get()) +
                                      " documents, so candidates cannot be applied");
    }
  }
  tx::Ref k_obj = tx::py_long(k);
  tx::Ref threads_obj = tx::py_long(threads_plan.n_threads);
  auto retrieve = [&] {
    return tx::call_method(model.get(), tx::name<"retrieve">(),
                           {tokens.get(), k_obj.get(), Py_False, threads_obj.get(), mask ? mask.get() : Py_None},
                           tx::kwnames<"k", "show_progress", "n_threads", "weight_mask">());
  };
  tx::Ref result;
  if (threads_plan.take_turns) {
    MutexHold turn(workqueue_lock);
    result = retrieve();
  } else {
    result = retrieve();
  }
  tx::Ref pair = tx::Ref::steal(PySequence_Tuple(result.get()));
  if (PyTuple_GET_SIZE(pair.get()) != 2) {
    tx::raise_format(PyExc_RuntimeError, "bm25s retrieve returned %zd values, expected documents and scores",
                     PyTuple_GET_SIZE(pair.get()));
  }
  tx::Ref positions = tx::copy_array(PyTuple_GET_ITEM(pair.get(), 0), NPY_INT64);
  tx::Ref scores = tx::copy_array(PyTuple_GET_ITEM(pair.get(), 1), NPY_FLOAT64);
  if (!has_shape(positions.get(), n, k) || !has_shape(scores.get(), n, k)) {
    tx::raise(PyExc_RuntimeError, "bm25s retrieve returned documents of shape " + tx::shape_text(positions.get()) +
                                      " and scores of shape " + tx::shape_text(scores.get()) + " for " +
                                      std::to_string(n) + " queries at k=" + std::to_string(k));
  }
  if (mask) {
    std::int64_t* pos = tx::array_data<std::int64_t>(positions.get());
    double* sc = tx::array_data<double>(scores.get());
    with_mask_view(mask.get(), [&](const auto* keep, std::int64_t mask_length) {
      if (static_cast<std::int64_t>(n) * k >= kReleaseGilFrom) {
        tx::ReleaseGil nogil;
        ts::move_masked_to_row_end(pos, sc, n, k, keep, mask_length);
      } else {
        ts::move_masked_to_row_end(pos, sc, n, k, keep, mask_length);
      }
    });
  }
  return {positions, scores};
}

tx::Ref search_impl(const RelevanceState& s, PyObject* query, std::int32_t k, bool parallel, PyObject* batch_size,
                    const tx::Ref& mask) {
  const bool single = PyUnicode_Check(query);
  tx::Ref queries = single ? tx::Ref::steal(PyList_New(1)) : tx::Ref::borrow(query);
  if (single) PyList_SET_ITEM(queries.get(), 0, Py_NewRef(query));
  const Py_ssize_t n = tx::length(queries.get());

  tx::Ref threads =
      tx::call(ns.get<"resolve_num_threads">().get(), {tx::py_bool(parallel).get(), tx::py_long(n).get()});
  tx::Ref width = tx::call(ns.get<"resolve_batch_size">().get(),
                           {tx::py_long(n).get(), tx::py_long(std::int64_t{32} * k).get(), batch_size, threads.get()},
                           tx::kwnames<"batch_size", "num_threads">());
  const std::int64_t chunk = tx::to_int64(width.get());
  if (chunk < 1) {
    tx::raise(PyExc_ValueError, "resolve_batch_size returned " + tx::repr(width.get()) + " for " + std::to_string(n) +
                                    " queries; a chunk must hold at least one query");
  }

  tx::Ref positions, scores;
  if (chunk >= n) {
    std::tie(positions, scores) = search_raw_impl(s, queries.get(), k, parallel, mask, n);
  } else {
    positions = tx::empty_array({n, k}, NPY_INT64);
    scores = tx::empty_array({n, k}, NPY_FLOAT64);
    for (Py_ssize_t start = 0; start < n; start += chunk) {
      const Py_ssize_t stop = std::min<Py_ssize_t>(n, start + chunk);
      tx::Ref part = tx::Ref::steal(PySequence_GetSlice(queries.get(), start, stop));
      // The rows below are copied by count: a batch whose slice holds fewer
      // queries would have them read past the end of the chunk's result.
      const Py_ssize_t part_length = tx::length(part.get());
      if (part_length != stop - start) {
        tx::raise_format(PyExc_ValueError, "the batch sliced as [%zd:%zd] holds %zd queries, expected %zd", start,
                         stop, part_length, stop - start);
      }
      auto [part_positions, part_scores] = search_raw_impl(s, part.get(), k, parallel, mask, part_length);
      // search_raw_impl checked the shape: (stop - start, k).
      const std::size_t cells = static_cast<std::size_t>(stop - start) * static_cast<std::size_t>(k);
      std::memcpy(tx::array_data<std::int64_t>(positions.get()) + start * k,
                  tx::array_data<std::int64_t>(part_positions.get()), cells * sizeof(std::int64_t));
      std::memcpy(tx::array_data<double>(scores.get()) + start * k, tx::array_data<double>(part_scores.get()),
                  cells * sizeof(double));
    }
  }

  // Rows of SearchResult, each ending at its first empty slot.
  tx::Ref ids = s.ids.ref();
  if (!PyList_Check(ids.get())) {
    tx::raise_format(PyExc_TypeError, "the index's ids are a %s, not a list", tx::type_name(ids.get()));
  }
  const Py_ssize_t rows_count = PyArray_DIM(tx::as_array_object(positions.get()), 0);
  tx::Ref rows = tx::hit_rows(ns.get<"SearchResult">().get(), tx::kwnames<"rank", "id", "score">(),
                              tx::array_data<std::int64_t>(positions.get()), tx::array_data<double>(scores.get()),
                              rows_count, k, ids.get(), false);
  if (single) return tx::Ref::borrow(PyList_GET_ITEM(rows.get(), 0));
  return rows;
}

}  // namespace

PyObject* search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<5>("search", {"query", "k", "parallel=False", "batch_size=None", "candidates=None"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int32_t k = tx::to_int32(a[1]);
    const bool parallel = tx::truth(a[2]);
    PyObject* batch_size = a[3];
    PyObject* candidates = a[4];
    const RelevanceState& s = state(self);
    tx::Ref mask = candidates == Py_None ? tx::Ref() : build_weight_mask(s, candidates);
    return search_impl(s, a[0], k, parallel, batch_size, mask);
  });
}

PyObject* search_raw_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<4>("search_raw", {"queries", "k", "parallel=False", "candidates=None"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int32_t k = tx::to_int32(a[1]);
    const bool parallel = tx::truth(a[2]);
    PyObject* candidates = a[3];
    const RelevanceState& s = state(self);
    tx::Ref mask = candidates == Py_None ? tx::Ref() : build_weight_mask(s, candidates);
    auto [positions, scores] = search_raw_impl(s, a[0], k, parallel, mask);
    return tx::Ref::steal(PyTuple_Pack(2, positions.get(), scores.get()));
  });
}

}  // namespace tx::term_scoring
