// The binary-code index: Hamming top-k over all rows, over a shared subset
// and over one candidate row per query.
#include "kernels/core_glue.hpp"

#include "support/candidates.hpp"
#include "support/no_python/positions.hpp"

namespace tx::core {

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
  // A NaN or infinite value has no side of its median: refused like any write.
  tx::Ref q = float_matrix(queries, "queries", p.snap.model->dim, true);
  p.width = tx::to_int64(k_h);
  if (p.width < 0) tx::raise_format(PyExc_ValueError, "k_h must be non-negative, got %lld", static_cast<long long>(p.width));
  // No search finds more rows than the index holds: a wider k_h would only
  // allocate padding.
  p.width = std::min(p.width, p.snap.rows);
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
    const auto a = sig.bind(args, nargs, kwnames);
    Prepared p = prepare(self, a[0], a[1], a[3]);
    const bool parallel = tx::truth(a[2]);
    const hm::Kernels kern = hm::kernels_for(static_cast<int>(dispatch.active()));
    const hm::View v = view_of(p.snap);
    const std::int64_t k = p.width;
    run_groups(p, k, parallel, [&](std::int64_t q0, std::int64_t q1, tx::topk::AscendingSelector* sel) {
      kern.all(v, p.queries.data(), q0, q1, sel);
    });
    return result_pair(p);
  });
}

// An owned int64 copy of an integer array of `ndim` dimensions (booleans and
// floats are refused), so no other thread can change it mid-scan.
std::vector<std::int64_t> positions_copy(PyObject* o, int ndim, const char* name, tx::Ref& array) {
  array = tx::contiguous_array(tx::require_integer_positions(o, name).get(), NPY_INT64);
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
    const auto a = sig.bind(args, nargs, kwnames);
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
    const auto a = sig.bind(args, nargs, kwnames);
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

}  // namespace tx::core
