// tarnix_engine.kernels.fusion: reciprocal-rank fusion of two ranked lists
// (`merge`, `merge_batch`) and of the per-shard hits of a streaming search
// (`_process_batch`).
#define TX_NUMPY_MAIN
#include "support/numpy.hpp"
#include "support/support.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "kernels/fusion.hpp"

namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// Below this many input entries a call is too short to be worth releasing
// the interpreter lock; below the second (a few hundred microseconds of work)
// too short to be worth waking a team of threads, which on busy cores may
// wait a whole time slice for its last member.
constexpr std::int64_t kReleaseGilEntries = 4096;
constexpr std::int64_t kParallelListEntries = 1 << 18;   // merge_batch: a few ns per entry
constexpr std::int64_t kParallelShardEntries = 1 << 16;  // _process_batch: sorted and ranked, ~20 ns
// Rows handed to a thread at a time: a few tens of microseconds of work.
constexpr std::int64_t kRowsPerChunk = 32;

std::int64_t non_negative(PyObject* o, const char* name) {
  const std::int64_t v = tx::to_int64(o);
  tx::require_at_least(v, 0, name);
  return v;
}

// Weights of the two lists; a NaN or infinite weight would leave no order
// among the totals.
double finite_weight(PyObject* o, const char* name) { return tx::to_finite_double(o, name); }

tx::fusion::Weights weights_from(PyObject* k, PyObject* alpha_distance, PyObject* alpha_bm25) {
  tx::fusion::Weights w;
  w.k = non_negative(k, "k");
  w.second = finite_weight(alpha_distance, "alpha_distance");
  w.first = finite_weight(alpha_bm25, "alpha_bm25");
  return w;
}

npy_intp dim(const tx::Ref& array, int axis) { return PyArray_DIM(tx::as_array_object(array.get()), axis); }
int ndim(const tx::Ref& array) { return PyArray_NDIM(tx::as_array_object(array.get())); }

// The slot table numbers ids with 32 bits.
void check_row_length(std::int64_t entries) {
  if (entries > (std::int64_t{1} << 30)) tx::raise(PyExc_ValueError, "too many entries to fuse in one row");
}

tx::Ref pair(const tx::Ref& ids, const tx::Ref& scores) {
  return tx::Ref::steal(PyTuple_Pack(2, ids.get(), scores.get()));
}

// Runs `body` with the lock released when the work is long enough.
template <class Body>
void maybe_without_gil(std::int64_t entries, Body&& body) {
  if (entries < kReleaseGilEntries) {
    body();
    return;
  }
  tx::ReleaseGil nogil;
  body();
}

// merge(a, b, *, k, top_k, alpha_distance, alpha_bm25) -> (ids (1, top_k), scores (1, top_k))
PyObject* merge(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<6>("merge", {"a", "b", "k", "top_k", "alpha_distance", "alpha_bm25"}, 6, 2);
    const auto p = sig.bind(args, nargs, kwnames);
    // Each list is read flattened, as one ranked list.
    tx::Ref a = tx::contiguous_array(p[0], NPY_INT64);
    tx::Ref b = tx::contiguous_array(p[1], NPY_INT64);
    const tx::fusion::Weights w = weights_from(p[2], p[4], p[5]);
    const std::int64_t top_k = non_negative(p[3], "top_k");
    const std::int64_t na = PyArray_SIZE(tx::as_array_object(a.get()));
    const std::int64_t nb = PyArray_SIZE(tx::as_array_object(b.get()));
    check_row_length(na + nb);
    tx::Ref ids = tx::empty_array({1, static_cast<npy_intp>(top_k)}, NPY_INT64);
    tx::Ref scores = tx::empty_array({1, static_cast<npy_intp>(top_k)}, NPY_FLOAT64);
    // Short calls reuse one scratch area per thread; long ones get their own,
    // so that a thread does not keep the memory of its longest call.
    static thread_local tx::fusion::Scratch reused;
    tx::fusion::Scratch own;
    tx::fusion::Scratch& scratch = na + nb < kReleaseGilEntries ? reused : own;
    maybe_without_gil(na + nb, [&] {
      scratch.merge_lists(tx::array_data<std::int64_t>(a.get()), na, tx::array_data<std::int64_t>(b.get()), nb, w,
                          true, top_k, tx::array_data<std::int64_t>(ids.get()),
                          tx::array_data<double>(scores.get()));
    });
    return pair(ids, scores);
  });
}

tx::Ref id_matrix(PyObject* o, const char* name) {
  tx::Ref m = tx::contiguous_array(o, NPY_INT64);
  if (ndim(m) != 2) {
    tx::raise(PyExc_ValueError,
              std::string(name) + " must be a 2-D array (queries, width), got shape " + tx::shape_text(m.get()));
  }
  return m;
}

// merge_batch(a, b, *, k, top_k, alpha_distance, alpha_bm25, parallel, skip_negative=True)
PyObject* merge_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<8>(
        "merge_batch", {"a", "b", "k", "top_k", "alpha_distance", "alpha_bm25", "parallel", "skip_negative"}, 7, 2);
    const auto p = sig.bind(args, nargs, kwnames);
    tx::Ref a = id_matrix(p[0], "a");
    tx::Ref b = id_matrix(p[1], "b");
    if (dim(a, 0) != dim(b, 0)) {
      tx::raise(PyExc_ValueError, "a and b must have the same number of rows, got " + std::to_string(dim(a, 0)) +
                                      " and " + std::to_string(dim(b, 0)));
    }
    const tx::fusion::Weights w = weights_from(p[2], p[4], p[5]);
    const std::int64_t top_k = non_negative(p[3], "top_k");
    const bool parallel = tx::truth(p[6]);
    const bool skip_negative = p[7] == nullptr || tx::truth(p[7]);
    const std::int64_t nq = dim(a, 0), na = dim(a, 1), nb = dim(b, 1);
    check_row_length(na + nb);
    tx::Ref ids = tx::empty_array({static_cast<npy_intp>(nq), static_cast<npy_intp>(top_k)}, NPY_INT64);
    tx::Ref scores = tx::empty_array({static_cast<npy_intp>(nq), static_cast<npy_intp>(top_k)}, NPY_FLOAT64);
    const std::int64_t* ad = tx::array_data<std::int64_t>(a.get());
    const std::int64_t* bd = tx::array_data<std::int64_t>(b.get());
    std::int64_t* id_out = tx::array_data<std::int64_t>(ids.get());
    double* score_out = tx::array_data<double>(scores.get());
    const std::int64_t entries = nq * (na + nb);
    const int threads = parallel && entries >= kParallelListEntries ? tx::omp_max_threads() : 1;
    maybe_without_gil(entries, [&] {
      std::vector<tx::fusion::Scratch> scratch(static_cast<std::size_t>(std::max(threads, 1)));
      tx::parallel_for_dynamic(nq, threads, kRowsPerChunk, [&](std::int64_t q) {
        tx::fusion::Scratch& mine = scratch[static_cast<std::size_t>(omp_get_thread_num()) % scratch.size()];
        mine.merge_lists(ad + q * na, na, bd + q * nb, nb, w, skip_negative, top_k, id_out + q * top_k,
                         score_out + q * top_k);
      });
    });
    return pair(ids, scores);
  });
}

tx::Ref hit_block(PyObject* o, const char* name, int typenum) {
  tx::Ref m = typenum == NPY_INT64 ? tx::contiguous_array(o, typenum) : tx::cast_contiguous_array(o, typenum);
  if (ndim(m) != 3) {
    tx::raise(PyExc_ValueError, std::string(name) + " must be a 3-D array (shards, queries, width), got shape " +
                                    tx::shape_text(m.get()));
  }
  return m;
}

void require_shape(const tx::Ref& m, const char* name, npy_intp s, npy_intp nq, npy_intp width, const char* like) {
  if (dim(m, 0) == s && dim(m, 1) == nq && (width < 0 || dim(m, 2) == width)) return;
  std::string expected = "(" + std::to_string(s) + ", " + std::to_string(nq) + (width < 0 ? ", width" : ", " + std::to_string(width)) + ")";
  tx::raise(PyExc_ValueError, std::string(name) + " must have the shape " + expected + " of " + like + ", got " +
                                  tx::shape_text(m.get()));
}

tx::fusion::TextRank text_rank_of(PyObject* o) {
  if (o == nullptr) return tx::fusion::TextRank::score;
  if (PyUnicode_Check(o)) {
    const std::string s = tx::utf8(o);
    if (s == "score") return tx::fusion::TextRank::score;
    if (s == "interleave") return tx::fusion::TextRank::interleave;
  }
  tx::raise(PyExc_ValueError, "text_rank must be 'score' or 'interleave', got " + tx::repr(o));
}

// _process_batch(vector_positions, vector_distances, text_positions, text_scores, offsets, *,
//                top_k, rrf_k, alpha_distance, alpha_bm25, text_rank="score")
PyObject* process_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<10>(
        "_process_batch",
        {"vector_positions", "vector_distances", "text_positions", "text_scores", "offsets", "top_k", "rrf_k",
         "alpha_distance", "alpha_bm25", "text_rank"},
        9, 5);
    const auto p = sig.bind(args, nargs, kwnames);
    tx::Ref vpos = hit_block(p[0], "vector_positions", NPY_INT64);
    tx::Ref vdist = hit_block(p[1], "vector_distances", NPY_FLOAT32);
    tx::Ref tpos = hit_block(p[2], "text_positions", NPY_INT64);
    tx::Ref tscore = hit_block(p[3], "text_scores", NPY_FLOAT64);
    tx::Ref offsets = tx::contiguous_array(p[4], NPY_INT64);
    const npy_intp S = dim(vpos, 0), nq = dim(vpos, 1), V = dim(vpos, 2), T = dim(tpos, 2);
    require_shape(vdist, "vector_distances", S, nq, V, "vector_positions");
    require_shape(tpos, "text_positions", S, nq, -1, "vector_positions");
    require_shape(tscore, "text_scores", S, nq, T, "text_positions");
    if (ndim(offsets) != 1 || dim(offsets, 0) != S) {
      tx::raise(PyExc_ValueError, "offsets must be a 1-D array with one entry per shard (" + std::to_string(S) +
                                      "), got shape " + tx::shape_text(offsets.get()));
    }
    // Our own copy: offsets are read by every query, with the lock released.
    const std::int64_t* od = tx::array_data<std::int64_t>(offsets.get());
    const std::vector<std::int64_t> off(od, od + S);
    for (std::int64_t o : off) {
      if (o < 0) tx::raise(PyExc_ValueError, "offsets must be >= 0, got " + std::to_string(o));
    }
    const std::int64_t top_k = non_negative(p[5], "top_k");
    const tx::fusion::Weights w = weights_from(p[6], p[7], p[8]);
    const tx::fusion::TextRank rule = text_rank_of(p[9]);
    check_row_length(static_cast<std::int64_t>(S) * (V + T));

    tx::Ref ids = tx::empty_array({nq, static_cast<npy_intp>(top_k)}, NPY_INT64);
    tx::Ref scores = tx::empty_array({nq, static_cast<npy_intp>(top_k)}, NPY_FLOAT64);
    const std::int64_t* vp = tx::array_data<std::int64_t>(vpos.get());
    const float* vd = tx::array_data<float>(vdist.get());
    const std::int64_t* tp = tx::array_data<std::int64_t>(tpos.get());
    const double* ts = tx::array_data<double>(tscore.get());
    std::int64_t* id_out = tx::array_data<std::int64_t>(ids.get());
    double* score_out = tx::array_data<double>(scores.get());
    const std::int64_t entries = static_cast<std::int64_t>(nq) * S * (V + T);
    // The caller does not say whether to run in parallel: long batches do.
    const int threads = entries >= kParallelShardEntries ? tx::omp_max_threads() : 1;
    maybe_without_gil(entries, [&] {
      const std::size_t teams = static_cast<std::size_t>(std::max(threads, 1));
      std::vector<tx::fusion::Scratch> scratch(teams);
      // Row pointers of one query across the shards, per thread.
      std::vector<std::vector<const void*>> rows(teams, std::vector<const void*>(4 * static_cast<std::size_t>(S)));
      tx::parallel_for_dynamic(nq, threads, kRowsPerChunk, [&](std::int64_t q) {
        const std::size_t t = static_cast<std::size_t>(omp_get_thread_num()) % teams;
        auto** r = rows[t].data();
        auto** vpr = reinterpret_cast<const std::int64_t**>(r);
        auto** vdr = reinterpret_cast<const float**>(r + S);
        auto** tpr = reinterpret_cast<const std::int64_t**>(r + 2 * S);
        auto** tsr = reinterpret_cast<const double**>(r + 3 * S);
        for (npy_intp s = 0; s < S; ++s) {
          vpr[s] = vp + (s * nq + q) * V;
          vdr[s] = vd + (s * nq + q) * V;
          tpr[s] = tp + (s * nq + q) * T;
          tsr[s] = ts + (s * nq + q) * T;
        }
        scratch[t].fuse_shards(S, vpr, vdr, V, tpr, tsr, T, off.data(), w, rule, top_k, id_out + q * top_k,
                               score_out + q * top_k);
      });
    });
    return pair(ids, scores);
  });
}

PyMethodDef methods[] = {
    {"merge", tx::as_cfunction(merge), kFastcall,
     "merge(a, b, *, k, top_k, alpha_distance, alpha_bm25)\n--\n\n"
     "(ids, scores), each of shape (1, top_k): the two ranked id lists a (weight alpha_bm25) and b (weight "
     "alpha_distance) fused by weighted reciprocal rank with the rank constant k. Negative entries are empty "
     "slots, every repeat of an id counts at its own rank, equal totals keep the order of first appearance "
     "(a before b); -1 / 0.0 fill the slots beyond the distinct ids."},
    {"merge_batch", tx::as_cfunction(merge_batch), kFastcall,
     "merge_batch(a, b, *, k, top_k, alpha_distance, alpha_bm25, parallel, skip_negative=True)\n--\n\n"
     "merge() of each row pair of the (queries, width) id arrays a and b, as (ids, scores) of shape "
     "(queries, top_k); with parallel, rows are spread over threads. With skip_negative False, negative "
     "entries are ranked as ids."},
    {"_process_batch", tx::as_cfunction(process_batch), kFastcall,
     "_process_batch(vector_positions, vector_distances, text_positions, text_scores, offsets, *, top_k, rrf_k, "
     "alpha_distance, alpha_bm25, text_rank='score')\n--\n\n"
     "(positions, scores) of shape (queries, top_k): per-shard hits, (shards, queries, width) arrays with "
     "shard-local positions and -1 in empty slots, fused by weighted reciprocal rank into global positions "
     "(offsets[s] + local). Vector hits rank over all shards by (distance, position); text hits by (score, "
     "position), or with text_rank='interleave' by (the shard's own rank, position). Each side counts a "
     "position once; equal totals go to the lower position; -1 / 0.0 fill."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "fusion", "Reciprocal-rank fusion kernels.", -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_fusion() {
  return tx::init_module(&module_def, [](PyObject*) { tx::attach_numpy(); });
}
