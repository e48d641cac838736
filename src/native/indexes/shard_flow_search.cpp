// Search of the streaming index: one snapshot, the global candidates cut
// into each shard's local positions, every shard asked for its raw text and
// vector hits, and all shards fused in one kernel call per query chunk.
#include "support/numpy.hpp"
#include "support/candidates.hpp"

#include <array>
#include <vector>

#include "indexes/shard_flow.hpp"
#include "indexes/shard_flow_glue.hpp"

namespace tx::shard_flow {
namespace {

namespace sf = tx::shard_flow;

// Sorting this many candidates is worth releasing the interpreter lock for.
constexpr std::size_t kReleaseGilFrom = 1 << 15;

// Each shard's allowed positions, local to the shard, or None. Positions
// outside every shard are dropped; duplicates count once.
tx::Ref split_candidates(PyObject* candidates, PyObject* offsets, PyObject* sizes) {
  if (candidates == Py_None) return tx::Ref::none();
  // Refused as every index refuses them: a cast would truncate 1.5 to 1.
  tx::Ref positions = tx::require_integer_positions(candidates);
  tx::Ref converted = tx::cast_contiguous_array(positions.get(), NPY_INT64);
  const npy_intp count = PyArray_SIZE(tx::as_array_object(converted.get()));
  const auto* raw = tx::array_data<std::int64_t>(converted.get());
  std::vector<std::int64_t> sorted(raw, raw + count);
  if (sorted.size() >= kReleaseGilFrom) {
    tx::ReleaseGil nogil;
    sf::sort_unique(sorted);
  } else {
    sf::sort_unique(sorted);
  }
  const Py_ssize_t n_shards = PyList_GET_SIZE(sizes);
  const auto* offset_of = tx::array_data<std::int64_t>(offsets);
  tx::Ref local = tx::Ref::steal(PyList_New(n_shards));
  for (Py_ssize_t j = 0; j < n_shards; ++j) {
    tx::Ref size_obj = tx::Ref::borrow(PyList_GET_ITEM(sizes, j));
    const std::int64_t size = tx::to_int64(size_obj.get());
    const std::int64_t offset = offset_of[j];
    const auto [lo, hi] = sf::shard_range(sorted.data(), sorted.size(), offset, size);
    tx::Ref part = tx::empty_array({static_cast<npy_intp>(hi - lo)}, NPY_INT64);
    auto* out = tx::array_data<std::int64_t>(part.get());
    for (std::size_t i = lo; i < hi; ++i) out[i - lo] = sorted[i] - offset;
    PyList_SET_ITEM(local.get(), j, part.release());
  }
  return local;
}

// shape[axis] of any array-like result.
std::int64_t extent(PyObject* array, int axis) {
  if (PyArray_Check(array) && PyArray_NDIM(tx::as_array_object(array)) > axis) {
    return PyArray_DIM(tx::as_array_object(array), axis);
  }
  tx::Ref shape = tx::attr<"shape">(array);
  tx::Ref item = tx::Ref::steal(PySequence_GetItem(shape.get(), axis));
  return tx::to_int32(item.get());
}

bool is_rows(PyObject* array, int typenum, std::int64_t rows, std::int64_t width) {
  if (!tx::is_c_contiguous_of(array, typenum)) return false;
  PyArrayObject* a = tx::as_array_object(array);
  return PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == rows && PyArray_DIM(a, 1) == width;
}

// stacked[shard, :, :width] = block, by numpy's own assignment (broadcasting,
// conversion and its errors) when the block is not plain rows of the dtype.
void assign_block(PyObject* stacked, Py_ssize_t shard, std::int64_t width, PyObject* block) {
  tx::Ref first = tx::py_long(shard);
  tx::Ref all = tx::Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
  tx::Ref stop = tx::py_long(width);
  tx::Ref head = tx::Ref::steal(PySlice_New(nullptr, stop.get(), nullptr));
  tx::Ref key = tx::Ref::steal(PyTuple_Pack(3, first.get(), all.get(), head.get()));
  if (PyObject_SetItem(stacked, key.get(), block) < 0) tx::rethrow_python();
}

template <class T>
void stack_block(PyObject* stacked, int typenum, Py_ssize_t shard, std::int64_t rows, std::int64_t stacked_width,
                 PyObject* block, std::int64_t width) {
  if (is_rows(block, typenum, rows, width)) {
    T* dst = tx::array_data<T>(stacked) + shard * rows * stacked_width;
    sf::copy_block(dst, stacked_width, tx::array_data<T>(block), width, rows);
    return;
  }
  assign_block(stacked, shard, width, block);
}

struct ShardHits {
  bool asked = false;
  std::array<tx::Ref, 4> arrays;  // text positions, text scores, vector positions, vector distances
  // Widths as the stacked arrays were sized: read once, since the Python code
  // that runs before the copy (other shards, astype) may reshape an array.
  std::int64_t text_width = 0, vector_width = 0;
};

tx::Ref search_chunk(PyObject* self, PyObject* shards, PyObject* offsets, PyObject* texts, PyObject* vectors,
                     std::int32_t k, bool parallel, PyObject* local) {
  const StreamingState& s = state(self);
  const std::int64_t nq = tx::length(texts);
  const Py_ssize_t n_shards = PyList_GET_SIZE(shards);
  std::int64_t text_width = 1, vector_width = 1;
  std::vector<ShardHits> hits(static_cast<std::size_t>(n_shards));
  tx::Ref k_obj = tx::py_long(k);
  tx::Ref parallel_obj = tx::py_bool(parallel);
  for (Py_ssize_t j = 0; j < n_shards; ++j) {
    tx::Ref shard = tx::Ref::borrow(PyList_GET_ITEM(shards, j));
    tx::Ref allowed = local == Py_None ? tx::Ref::none() : tx::Ref::borrow(PyList_GET_ITEM(local, j));
    // A shard with no allowed document is not asked; its block keeps the fill.
    if (!allowed.is_none() && extent(allowed.get(), 0) == 0) continue;
    tx::Ref raw = tx::call_method(shard.get(), tx::name<"_retrieve_raw">(),
                                  {texts, vectors, k_obj.get(), parallel_obj.get(), allowed.get()});
    ShardHits& h = hits[static_cast<std::size_t>(j)];
    h.arrays = tx::unpack_values<4>(raw.get());
    h.asked = true;
    h.text_width = extent(h.arrays[0].get(), 1);
    h.vector_width = extent(h.arrays[2].get(), 1);
    text_width = std::max(text_width, h.text_width);
    vector_width = std::max(vector_width, h.vector_width);
  }

  const npy_intp S = n_shards, Q = nq, T = text_width, V = vector_width;
  tx::Ref text_positions = tx::empty_array({S, Q, T}, NPY_INT64);
  std::fill_n(tx::array_data<std::int64_t>(text_positions.get()), S * Q * T, std::int64_t{-1});
  tx::Ref text_scores = tx::zeros_array({S, Q, T}, NPY_FLOAT64);
  tx::Ref vector_positions = tx::empty_array({S, Q, V}, NPY_INT64);
  std::fill_n(tx::array_data<std::int64_t>(vector_positions.get()), S * Q * V, std::int64_t{-1});
  tx::Ref vector_distances = tx::zeros_array({S, Q, V}, NPY_FLOAT32);

  tx::Ref float32 = tx::attr<"float32">(ns.get<"np">().get());
  for (Py_ssize_t j = 0; j < n_shards; ++j) {
    const ShardHits& h = hits[static_cast<std::size_t>(j)];
    if (!h.asked) continue;
    const std::int64_t a = h.text_width;
    stack_block<std::int64_t>(text_positions.get(), NPY_INT64, j, nq, T, h.arrays[0].get(), a);
    stack_block<double>(text_scores.get(), NPY_FLOAT64, j, nq, T, h.arrays[1].get(), a);
    const std::int64_t c = h.vector_width;
    stack_block<std::int64_t>(vector_positions.get(), NPY_INT64, j, nq, V, h.arrays[2].get(), c);
    PyObject* distances = h.arrays[3].get();
    if (is_rows(distances, NPY_FLOAT64, nq, c)) {
      sf::copy_block_narrowing(tx::array_data<float>(vector_distances.get()) + j * nq * V, V,
                               tx::array_data<double>(distances), c, nq);
    } else {
      tx::Ref narrowed = tx::call_method(distances, tx::name<"astype">(), {float32.get()});
      stack_block<float>(vector_distances.get(), NPY_FLOAT32, j, nq, V, narrowed.get(), c);
    }
  }

  tx::Ref top_k = tx::py_long(k);
  tx::Ref rrf_k = tx::py_long(s.rrf_k);
  tx::Ref alpha_distance = tx::Ref::steal(PyFloat_FromDouble(s.alpha_vector));
  tx::Ref alpha_bm25 = tx::Ref::steal(PyFloat_FromDouble(s.alpha_text));
  tx::Ref fused = tx::call(ns.get<"_process_batch">().get(),
                           {vector_positions.get(), vector_distances.get(), text_positions.get(), text_scores.get(),
                            offsets, top_k.get(), rrf_k.get(), alpha_distance.get(), alpha_bm25.get()},
                           tx::kwnames<"top_k", "rrf_k", "alpha_distance", "alpha_bm25">());
  tx::expect_type(fused.get(), &PyTuple_Type);
  auto [positions, scores] = tx::unpack_pair(fused.get());
  return tx::Ref::steal(PyTuple_Pack(2, positions.get(), scores.get()));
}

tx::Ref slice_of(std::int64_t start, std::int64_t stop) {
  tx::Ref a = tx::py_long(start), b = tx::py_long(stop);
  return tx::Ref::steal(PySlice_New(a.get(), b.get(), nullptr));
}

tx::Ref search_impl(PyObject* self, PyObject* query_text, PyObject* query_vector, PyObject* k_arg, bool parallel,
                    PyObject* batch_size, PyObject* candidates) {
  const Snapshot snap = take_snapshot(self);
  PyObject* shards = snap.shards.get();
  const Py_ssize_t n_shards = PyList_GET_SIZE(shards);
  if (n_shards == 0) {
    tx::Ref positions = tx::empty_array({0}, NPY_INT64);
    tx::Ref scores = tx::empty_array({0}, NPY_FLOAT64);
    return tx::Ref::steal(PyTuple_Pack(2, positions.get(), scores.get()));
  }
  const StreamingState& s = state(self);
  const std::int32_t k = k_arg == Py_None ? s.top_k : tx::to_int32(tx::to_py_int(k_arg, "k").get());

  const bool single = PyUnicode_Check(query_text);
  tx::Ref texts;
  if (single) {
    texts = tx::Ref::steal(PyList_New(1));
    PyList_SET_ITEM(texts.get(), 0, Py_NewRef(query_text));
  } else {
    texts = tx::Ref::steal(PySequence_List(query_text));
  }
  tx::Ref vectors = tx::Ref::borrow(query_vector);
  if (single && tx::to_int64(tx::attr<"ndim">(query_vector).get()) == 1) {
    vectors = tx::Ref::steal(PyObject_GetItem(query_vector, Py_None));  // one-row view
  }
  const std::int64_t nq = PyList_GET_SIZE(texts.get());

  // Lists read back from a folder are not trusted to agree with the shards.
  const Py_ssize_t n_offsets = PyList_GET_SIZE(snap.cumulative_offsets.get());
  const Py_ssize_t n_sizes = PyList_GET_SIZE(snap.shard_sizes.get());
  if (n_offsets != n_shards || n_sizes != n_shards) {
    tx::raise_format(PyExc_ValueError, "the index holds %zd shards but %zd offsets and %zd sizes", n_shards,
                     n_offsets, n_sizes);
  }
  tx::Ref offsets = tx::contiguous_array(snap.cumulative_offsets.get(), NPY_INT64);
  tx::Ref local = split_candidates(candidates, offsets.get(), snap.shard_sizes.get());

  const std::int64_t sub_k1 = tx::to_int64(ns.get<"MAX_DEFAULT_SUB_K">().get());
  const std::int64_t sub_k2 = tx::to_int64(ns.get<"MAX_DEFAULT_SUB_K">().get());
  tx::Ref nq_obj = tx::py_long(nq);
  tx::Ref threads_obj = tx::call(ns.get<"resolve_num_threads">().get(), {tx::py_bool(parallel).get(), nq_obj.get()});
  tx::Ref threads = tx::py_long(tx::to_int32(threads_obj.get()));
  tx::Ref estimate = tx::py_long(tx::shard_flow::query_bytes(sub_k1, sub_k2, n_shards, k));
  tx::Ref width_obj = tx::call(ns.get<"resolve_batch_size">().get(),
                               {nq_obj.get(), estimate.get(), batch_size, threads.get()},
                               tx::kwnames<"batch_size", "num_threads">());
  const std::int64_t width = tx::to_int64(width_obj.get());

  if (nq <= width) {
    tx::Ref fused = search_chunk(self, shards, offsets.get(), texts.get(), vectors.get(), k, parallel, local.get());
    if (!single) return fused;
    tx::Ref first_positions = tx::Ref::steal(PySequence_GetItem(PyTuple_GET_ITEM(fused.get(), 0), 0));
    tx::Ref first_scores = tx::Ref::steal(PySequence_GetItem(PyTuple_GET_ITEM(fused.get(), 1), 0));
    return tx::Ref::steal(PyTuple_Pack(2, first_positions.get(), first_scores.get()));
  }
  if (width < 1) {
    tx::raise(PyExc_ValueError, "resolve_batch_size returned " + tx::repr(width_obj.get()) + " for " +
                                    std::to_string(nq) + " queries; a chunk must hold at least one query");
  }
  tx::Ref positions = tx::empty_array({static_cast<npy_intp>(nq), k}, NPY_INT64);
  std::fill_n(tx::array_data<std::int64_t>(positions.get()), PyArray_SIZE(tx::as_array_object(positions.get())),
              std::int64_t{-1});
  tx::Ref scores = tx::zeros_array({static_cast<npy_intp>(nq), k}, NPY_FLOAT64);
  for (std::int64_t start = 0; start < nq; start += width) {
    const std::int64_t stop = std::min(start + width, nq);
    tx::Ref rows = slice_of(start, stop);
    tx::Ref part_texts = tx::Ref::steal(PyList_GetSlice(texts.get(), start, stop));
    tx::Ref part_vectors = tx::Ref::steal(PyObject_GetItem(vectors.get(), rows.get()));
    tx::Ref fused = search_chunk(self, shards, offsets.get(), part_texts.get(), part_vectors.get(), k, parallel,
                                 local.get());
    if (PyObject_SetItem(positions.get(), rows.get(), PyTuple_GET_ITEM(fused.get(), 0)) < 0 ||
        PyObject_SetItem(scores.get(), rows.get(), PyTuple_GET_ITEM(fused.get(), 1)) < 0) {
      tx::rethrow_python();
    }
  }
  return tx::Ref::steal(PyTuple_Pack(2, positions.get(), scores.get()));
}

}  // namespace

PyObject* search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<6>(
        "search", {"query_text", "query_vector", "k=None", "parallel=False", "batch_size=None", "candidates=None"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool parallel = tx::truth(a[3]);
    return search_impl(self, a[0], a[1], a[2], parallel, a[4], a[5]);
  });
}

}  // namespace tx::shard_flow
