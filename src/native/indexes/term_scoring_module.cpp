// tarnix_engine.indexes._term_scoring: the BM25 text index. Tokenising,
// indexing and scoring are bm25s's (numba backend); this module keeps the ids
// and texts in position order, turns candidate positions into bm25s's weight
// mask, moves the hits that the mask excluded to the end of their rows, cuts
// large batches into chunks with the shared batching policy, and saves and
// loads the index folder. Every imported name is a module attribute looked up
// at each use, so tests and callers may rebind any of them.
#define TX_NUMPY_MAIN
#include "support/numpy.hpp"
#include "support/folder.hpp"
#include "support/records.hpp"
#include "support/candidates.hpp"
#include "support/support.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <tuple>
#include <vector>

#include "indexes/term_scoring.hpp"

namespace {

namespace ts = tx::term_scoring;

tx::Namespace ns;
PyTypeObject* relevance_type = nullptr;

constexpr const char* kModuleName = "tarnix_engine.indexes._term_scoring";
// NUL + "__tarnix_empty_query__" + NUL: no tokeniser yields it, so it matches
// no document and a query that tokenises to nothing scores every document 0.
constexpr char kEmptyQueryToken[] = "\0__tarnix_empty_query__\0";
constexpr Py_ssize_t kEmptyQueryTokenLength = sizeof(kEmptyQueryToken) - 1;
// Native loops shorter than this are not worth releasing the GIL for.
constexpr std::int64_t kReleaseGilFrom = 1 << 15;

struct RelevanceState {
  tx::Field model, stemmer, stop_words, ids, corpus, meta, logger;
  double k1 = 1.5, b = 0.75;
  tx::Field method;

  int traverse(visitproc v, void* arg) const {
    return tx::visit_fields(v, arg, model, stemmer, stop_words, ids, corpus, meta, logger, method);
  }
  void clear() {
    model.clear();
    stemmer.clear();
    stop_words.clear();
    ids.clear();
    corpus.clear();
    meta.clear();
    logger.clear();
    method.clear();
  }
};

RelevanceState& state(PyObject* self) { return tx::state_of<RelevanceState>(self); }

// bm25s.tokenize(texts, stopwords=..., stemmer=..., show_progress=False[, return_ids=False])
tx::Ref tokenize(const RelevanceState& s, PyObject* texts, bool as_strings) {
  tx::Ref fn = tx::attr<"tokenize">(ns.get<"bm25s">().get());
  if (as_strings) {
    return tx::call(fn.get(), {texts, s.stop_words.get(), s.stemmer.get(), Py_False, Py_False},
                    tx::kwnames<"stopwords", "stemmer", "show_progress", "return_ids">());
  }
  return tx::call(fn.get(), {texts, s.stop_words.get(), s.stemmer.get(), Py_False},
                  tx::kwnames<"stopwords", "stemmer", "show_progress">());
}

// ---- numba's threading layer under concurrent searches ---------------------
//
// A parallel retrieval runs bm25s's numba kernel on numba's threading layer.
// The TBB and OpenMP layers take parallel launches from several threads at
// once; the "workqueue" layer aborts the process when that happens. numba
// prefers TBB, then OpenMP, and falls back to workqueue when neither loads
// (or when the caller's NUMBA_THREADING_LAYER or priority list says so). So
// before the first parallel retrieval the layer is launched, whichever numba
// picks, and when it is workqueue parallel retrievals take turns on one
// process-wide lock. Serial retrievals (n_threads = 0) run numba's serial
// kernel, which uses no layer, and never wait.
//
// bm25s turns n_threads = -1 into os.cpu_count(), but numba's pool has one
// thread per CPU the process may run on (its affinity mask), and bm25s's
// request for more than the pool raises ValueError. Where the two differ (a
// process pinned to some CPUs, as containers often are) the pool size is
// asked for instead of -1: all the processors the process has.

PyMutex layer_setup_lock{};
PyMutex workqueue_lock{};

struct ParallelPlan {
  bool take_turns;
  int n_threads;
};
std::atomic<bool> plan_ready{false};
ParallelPlan plan{};  // written once under layer_setup_lock, before plan_ready

struct MutexHold {
  explicit MutexHold(PyMutex& m) : m_(m) { PyMutex_Lock(&m_); }  // waits with the GIL released
  ~MutexHold() { PyMutex_Unlock(&m_); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  PyMutex& m_;
};

ParallelPlan parallel_plan() {
  if (plan_ready.load(std::memory_order_acquire)) return plan;
  MutexHold hold(layer_setup_lock);
  if (plan_ready.load(std::memory_order_acquire)) return plan;
  tx::Ref numba = tx::Ref::steal(PyImport_ImportModule("numba"));
  tx::call(tx::attr<"get_num_threads">(numba.get()).get(), {});  // launches the layer if none runs yet
  tx::Ref layer = tx::call(tx::attr<"threading_layer">(numba.get()).get(), {});
  const bool turns = PyUnicode_Check(layer.get()) && PyUnicode_CompareWithASCIIString(layer.get(), "workqueue") == 0;
  const std::int64_t pool = tx::to_int64(tx::attr<"NUMBA_NUM_THREADS">(tx::attr<"config">(numba.get()).get()).get());
  tx::Ref cpus = tx::call(tx::attr<"cpu_count">(ns.get<"os">().get()).get(), {});
  const bool pool_is_smaller = !cpus.is_none() && tx::compare(tx::py_long(pool).get(), cpus.get(), Py_LT);
  plan = ParallelPlan{turns, pool_is_smaller ? static_cast<int>(pool) : -1};
  plan_ready.store(true, std::memory_order_release);
  return plan;
}

// ---- list snapshots: a change that fails leaves the lists as they were -----

struct ListsSnapshot {
  tx::Ref ids_object, ids_items, corpus_object, corpus_items;

  static tx::Ref items(const tx::Ref& list) {
    if (!PyList_Check(list.get())) return tx::Ref();
    return tx::Ref::steal(PyList_GetSlice(list.get(), 0, PY_SSIZE_T_MAX));
  }

  explicit ListsSnapshot(const RelevanceState& s)
      : ids_object(s.ids.ref()), ids_items(items(ids_object)), corpus_object(s.corpus.ref()),
        corpus_items(items(corpus_object)) {}

  // Puts the original list objects back with their original items (a caller
  // holding the list from `ids` keeps seeing the index's list).
  void restore(RelevanceState& s) const {
    if (ids_items && PyList_SetSlice(ids_object.get(), 0, PY_SSIZE_T_MAX, ids_items.get()) < 0) {
      tx::rethrow_python();
    }
    if (corpus_items && PyList_SetSlice(corpus_object.get(), 0, PY_SSIZE_T_MAX, corpus_items.get()) < 0) {
      tx::rethrow_python();
    }
    s.ids.set(ids_object);
    s.corpus.set(corpus_object);
  }
};

// Tokenises `texts` and has `model` index them in place.
void index_texts(const RelevanceState& s, PyObject* model, PyObject* texts) {
  tx::Ref tokens = tokenize(s, texts, false);
  tx::call_method(model, tx::name<"index">(), {tokens.get(), Py_False}, tx::kwnames<"show_progress">());
}

// The model's `scores` (null when it has none). bm25s indexing installs a new
// dict, so a different object after a failed change means the change got
// past indexing and the model no longer matches the restored lists.
tx::Ref scores_of(PyObject* model) {
  PyObject* scores = nullptr;
  if (PyObject_GetOptionalAttr(model, tx::name<"scores">(), &scores) < 0) tx::rethrow_python();
  return scores != nullptr ? tx::Ref::steal(scores) : tx::Ref();
}

// Runs `change`; if it fails, restores both lists and re-raises its error.
// When the failure came after bm25s had indexed the new texts (an overriding
// fit that raises after its base call, a logging handler that raises), the
// restored texts are indexed again so that searches match the lists (there
// is nothing to index when they are empty). That is best effort: if it fails
// too, the change's own error is still the one raised.
template <class F>
void with_rollback(RelevanceState& s, F&& change) {
  ListsSnapshot snapshot(s);
  const tx::Ref model = s.model.ref();
  const tx::Ref scores = scores_of(model.get());
  try {
    change();
  } catch (...) {
    PyObject* error = PyErr_GetRaisedException();  // NULL for a C++ error
    try {
      snapshot.restore(s);
      if (scores_of(model.get()).get() != scores.get() && tx::truth(s.corpus.get())) {
        index_texts(s, model.get(), s.corpus.get());
      }
    } catch (...) {
      PyErr_Clear();  // the change's own error is the one to report
    }
    if (error != nullptr) PyErr_SetRaisedException(error);
    throw;
  }
}

// ---- fit and the changes that re-fit --------------------------------------

tx::Ref fit_impl(PyObject* self, PyObject* corpus) {
  RelevanceState& s = state(self);
  if (corpus == Py_None || PyList_GET_SIZE(corpus) == 0) tx::raise(PyExc_ValueError, "corpus cannot be empty");
  index_texts(s, s.model.ref().get(), corpus);
  // Indexed first: a failure inside bm25s leaves the lists untouched.
  tx::Ref texts = tx::Ref::steal(PyList_GetSlice(corpus, 0, PY_SSIZE_T_MAX));
  const Py_ssize_t n = PyList_GET_SIZE(texts.get());
  s.corpus.set(texts);
  if (tx::length(s.ids.get()) != n) {
    tx::Ref ids = tx::Ref::steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyList_SET_ITEM(ids.get(), i, tx::str(tx::py_long(i).get()).release());
    }
    s.ids.set(ids);
  }
  tx::Ref logger = s.logger.ref();
  tx::call_method(logger.get(), tx::name<"info">(),
                  {tx::py_str("_RelevanceCore.fit \xe2\x80\x94 %d documents").get(), tx::py_long(n).get()});
  return tx::Ref::none();
}

PyObject* fit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("fit", {"corpus", "parallel"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    tx::require_exact(a[0], &PyList_Type, "corpus", true);
    if (a[1] != nullptr) tx::truth(a[1]);  // taken by truth value; fit itself does not use it
    return fit_impl(self, a[0]);
  });
}

// fit(corpus, parallel) through the object, so a subclass's fit runs.
void refit(PyObject* self, const tx::Ref& corpus, bool parallel) {
  tx::call_virtual(
      self, relevance_type, tx::name<"fit">(), reinterpret_cast<void*>(fit_method),
      [&] { return fit_impl(self, corpus.get()); }, {corpus.get(), parallel ? Py_True : Py_False});
}

PyObject* add_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("add", {"ids", "texts", "parallel"}, 2);
    std::array<PyObject*, 3> a;
    sig.bind(args, nargs, kwnames, a);
    tx::require_exact(a[0], &PyList_Type, "ids", true);
    tx::require_exact(a[1], &PyList_Type, "texts", true);
    const bool parallel = a[2] != nullptr && tx::truth(a[2]);
    // Unequal lists would make the re-fit rename every document by position.
    const Py_ssize_t n_ids = tx::length(a[0]), n_texts = tx::length(a[1]);
    if (n_ids != n_texts) {
      tx::raise_format(PyExc_ValueError, "ids and texts must be the same length: got %zd ids and %zd texts", n_ids,
                       n_texts);
    }
    RelevanceState& s = state(self);
    with_rollback(s, [&] {
      tx::call_method(s.ids.get(), tx::name<"extend">(), {a[0]});
      tx::call_method(s.corpus.get(), tx::name<"extend">(), {a[1]});
      refit(self, s.corpus.ref(), parallel);
    });
    return tx::Ref::none();
  });
}

PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("update", {"ids", "texts"}, 2);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    tx::require_exact(a[0], &PyList_Type, "ids", true);
    tx::require_exact(a[1], &PyList_Type, "texts", true);
    RelevanceState& s = state(self);

    // id -> its last position.
    tx::Ref where = tx::Ref::steal(PyDict_New());
    {
      tx::Ref iter = tx::Ref::steal(PyObject_GetIter(s.ids.get()));
      Py_ssize_t p = 0;
      while (PyObject* raw = PyIter_Next(iter.get())) {
        tx::Ref id = tx::Ref::steal(raw);
        if (PyDict_SetItem(where.get(), id.get(), tx::py_long(p++).get()) < 0) tx::rethrow_python();
      }
      if (PyErr_Occurred()) tx::rethrow_python();
    }
    // Pairs up to the shorter list. Every id is checked before any text is
    // replaced, so an unknown id changes nothing.
    const Py_ssize_t pairs = std::min(tx::length(a[0]), tx::length(a[1]));
    std::vector<tx::Ref> positions;
    positions.reserve(static_cast<std::size_t>(pairs));
    for (Py_ssize_t i = 0; i < pairs; ++i) {
      tx::Ref id = tx::Ref::steal(PyList_GetItemRef(a[0], i));
      PyObject* pos = nullptr;
      const int found = PyDict_GetItemRef(where.get(), id.get(), &pos);
      if (found < 0) tx::rethrow_python();
      if (found == 0) {
        tx::raise(PyExc_ValueError,
                  "ID " + tx::repr(id.get()) + " not found in index; use add() to insert new documents.");
      }
      positions.push_back(tx::Ref::steal(pos));
    }
    with_rollback(s, [&] {
      for (Py_ssize_t i = 0; i < pairs; ++i) {
        tx::Ref text = tx::Ref::steal(PyList_GetItemRef(a[1], i));
        if (PyObject_SetItem(s.corpus.get(), positions[static_cast<std::size_t>(i)].get(), text.get()) < 0) {
          tx::rethrow_python();
        }
      }
      refit(self, s.corpus.ref(), false);
    });
    return tx::Ref::none();
  });
}

PyObject* delete_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("delete", {"ids"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    tx::require_exact(a[0], &PyList_Type, "ids", true);
    RelevanceState& s = state(self);

    tx::Ref given = tx::Ref::steal(PySet_New(a[0]));
    tx::Ref held = tx::Ref::steal(PySet_New(s.ids.get()));
    tx::Ref missing = tx::Ref::steal(PyNumber_Subtract(given.get(), held.get()));
    if (PySet_GET_SIZE(missing.get()) > 0) {
      tx::raise(PyExc_ValueError, "IDs not found in index: " + tx::repr(missing.get()));
    }
    tx::Ref kept_ids = tx::Ref::steal(PyList_New(0));
    tx::Ref kept_texts = tx::Ref::steal(PyList_New(0));
    {
      tx::Ref ids_iter = tx::Ref::steal(PyObject_GetIter(s.ids.get()));
      tx::Ref texts_iter = tx::Ref::steal(PyObject_GetIter(s.corpus.get()));
      for (;;) {
        PyObject* raw_id = PyIter_Next(ids_iter.get());
        if (raw_id == nullptr) break;
        tx::Ref id = tx::Ref::steal(raw_id);
        PyObject* raw_text = PyIter_Next(texts_iter.get());
        if (raw_text == nullptr) break;
        tx::Ref text = tx::Ref::steal(raw_text);
        const int gone = PySet_Contains(given.get(), id.get());
        if (gone < 0) tx::rethrow_python();
        if (gone) continue;
        if (PyList_Append(kept_ids.get(), id.get()) < 0 || PyList_Append(kept_texts.get(), text.get()) < 0) {
          tx::rethrow_python();
        }
      }
      if (PyErr_Occurred()) tx::rethrow_python();
    }
    if (PyList_GET_SIZE(kept_ids.get()) == 0) {
      tx::raise(PyExc_ValueError, "Cannot delete all documents from the index.");
    }
    with_rollback(s, [&] {
      s.ids.set(kept_ids);
      s.corpus.set(kept_texts);
      refit(self, s.corpus.ref(), false);
    });
    return tx::Ref::none();
  });
}

// ---- search ----------------------------------------------------------------

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

PyObject* search_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<5>("search", {"query", "k", "parallel", "batch_size", "candidates"}, 2);
    std::array<PyObject*, 5> a;
    sig.bind(args, nargs, kwnames, a);
    const std::int32_t k = tx::to_int32(a[1]);
    const bool parallel = a[2] != nullptr && tx::truth(a[2]);
    PyObject* batch_size = a[3] ? a[3] : Py_None;
    PyObject* candidates = a[4] ? a[4] : Py_None;
    const RelevanceState& s = state(self);
    tx::Ref mask = candidates == Py_None ? tx::Ref() : build_weight_mask(s, candidates);
    return search_impl(s, a[0], k, parallel, batch_size, mask);
  });
}

PyObject* search_raw_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<4>("search_raw", {"queries", "k", "parallel", "candidates"}, 2);
    std::array<PyObject*, 4> a;
    sig.bind(args, nargs, kwnames, a);
    const std::int32_t k = tx::to_int32(a[1]);
    const bool parallel = a[2] != nullptr && tx::truth(a[2]);
    PyObject* candidates = a[3] ? a[3] : Py_None;
    const RelevanceState& s = state(self);
    tx::Ref mask = candidates == Py_None ? tx::Ref() : build_weight_mask(s, candidates);
    auto [positions, scores] = search_raw_impl(s, a[0], k, parallel, mask);
    return tx::Ref::steal(PyTuple_Pack(2, positions.get(), scores.get()));
  });
}

// ---- the index folder --------------------------------------------------------

// Entries of a text index folder that belong to the saved index; the legacy
// pickles go too, so that no later load pairs them with this model.
constexpr std::initializer_list<const char*> kOwnedEntries = {
    "relevance_model", "relevance_meta.json", "config.json", "corpus.json", "corpus.pkl", "ids.pkl"};

PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("save", {"directory", "base_dir"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    tx::require_exact(a[0], &PyUnicode_Type, "directory", true);
    const RelevanceState& s = state(self);
    tx::Ref path = tx::call(ns.get<"resolve_directory">().get(), {a[0], a[1] ? a[1] : Py_None});
    // One state is written: writing files lets other threads run, and one may change the index.
    const tx::Ref model = s.model.ref(), meta = s.meta.ref(), ids = s.ids.ref(), corpus = s.corpus.ref();
    // Written whole into a staging folder that replaces the old one only once
    // complete, so a failed save leaves the old folder loadable.
    tx::staged_save(ns, path.get(), kOwnedEntries, [&](PyObject* staged) {
      tx::call_method(model.get(), tx::name<"save">(), {tx::str(tx::join_path(staged, "relevance_model").get()).get()});
      tx::Ref write_config = ns.get<"write_config">();
      tx::call(write_config.get(), {tx::join_path(staged, "relevance_meta.json").get(), meta.get()});
      tx::Ref config = tx::Ref::steal(PyDict_New());
      if (PyDict_SetItemString(config.get(), "index_type", tx::py_str("relevance").get()) < 0) tx::rethrow_python();
      tx::call(write_config.get(), {tx::join_path(staged, "config.json").get(), config.get()});
      // Without ids there is no corpus.json, and the old folder's is dropped.
      if (tx::truth(ids.get())) {
        tx::Ref content = tx::Ref::steal(PyDict_New());
        if (PyDict_SetItemString(content.get(), "ids", ids.get()) < 0 ||
            PyDict_SetItemString(content.get(), "texts", corpus.get()) < 0) {
          tx::rethrow_python();
        }
        tx::Ref text = tx::call(tx::attr<"dumps">(ns.get<"json">().get()).get(), {content.get()});
        tx::call_method(tx::join_path(staged, "corpus.json").get(), tx::name<"write_text">(), {text.get()});
      }
    });
    return tx::Ref::none();
  });
}

tx::Ref meta_get(PyObject* meta, const char* key, PyObject* fallback) {
  return tx::call_method(meta, tx::name<"get">(), {tx::py_str(key).get(), fallback});
}

tx::Ref float_of(const tx::Ref& o) { return tx::Ref::steal(PyNumber_Float(o.get())); }

// "a" or "an" before a type name.
std::string with_article(const char* type) {
  const bool vowel = type[0] != '\0' && std::strchr("aeiouAEIOU", type[0]) != nullptr;
  return (vowel ? "an " : "a ") + std::string(type);
}

// ---- the loaded model --------------------------------------------------------

tx::Ref optional_attr(PyObject* o, PyObject* name) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(o, name, &value) < 0) tx::rethrow_python();
  return value != nullptr ? tx::Ref::steal(value) : tx::Ref();
}

// Runs `scan` without the GIL when it covers enough entries to be worth it.
template <class F>
auto scan_entries(std::int64_t entries, F&& scan) {
  if (entries >= kReleaseGilFrom) {
    tx::ReleaseGil nogil;
    return scan();
  }
  return scan();
}

// body(data, n) over a one-dimensional integer array: its own memory when it
// holds native int32 or int64, else an int64 copy (unsigned values beyond the
// int64 range wrap to negative ones, which every check refuses).
template <class Body>
auto with_integer_view(PyObject* array, Body&& body) {
  const std::int64_t n = PyArray_SIZE(tx::as_array_object(array));
  if (PyArray_ISNOTSWAPPED(tx::as_array_object(array))) {
    if (tx::is_c_contiguous_of(array, NPY_INT32)) return body(tx::array_data<std::int32_t>(array), n);
    if (tx::is_c_contiguous_of(array, NPY_INT64)) return body(tx::array_data<std::int64_t>(array), n);
  }
  tx::Ref copy = tx::cast_contiguous_array(array, NPY_INT64);
  return body(tx::array_data<std::int64_t>(copy.get()), n);
}

// The numpy dtype that `spec` names (a dtype, a type or a name such as
// "int32"), or null when it names none.
tx::Ref dtype_named(PyObject* spec) {
  PyArray_Descr* descr = nullptr;
  if (PyArray_DescrConverter2(spec, &descr) == NPY_FAIL) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError)) tx::rethrow_python();
    PyErr_Clear();
    return tx::Ref();
  }
  return descr != nullptr ? tx::Ref::steal(reinterpret_cast<PyObject*>(descr)) : tx::Ref();
}

PyArray_Descr* as_descr(const tx::Ref& dtype) { return reinterpret_cast<PyArray_Descr*>(dtype.get()); }

// Scores are kept as float32 or float64: an integer or narrower dtype
// truncates every score.
bool is_score_dtype(PyArray_Descr* d) { return d->type_num == NPY_FLOAT32 || d->type_num == NPY_FLOAT64; }

// The largest value of an integer dtype.
std::uint64_t integer_max(PyArray_Descr* d) {
  const auto bits = static_cast<unsigned>(8 * PyDataType_ELSIZE(d));
  if (PyDataType_ISUNSIGNED(d)) return bits >= 64 ? UINT64_MAX : (std::uint64_t{1} << bits) - 1;
  return (std::uint64_t{1} << (bits - 1)) - 1;
}

std::string dtype_text(PyObject* array) {
  return tx::utf8(tx::str(reinterpret_cast<PyObject*>(PyArray_DESCR(tx::as_array_object(array)))).get());
}

// bm25s's numba kernel trusts the score matrix of its model: a document index
// at or above the document count makes a search write outside its score
// array, and a column pointer or token id out of place makes it read outside
// the matrix. A model read from a folder is checked once, here, so that no
// search of a loaded index can do either. The layout is bm25s's: a CSC matrix
// with one column per vocabulary id (scores["data"], ["indices"], ["indptr"],
// ["num_docs"]), the token -> id map vocab_dict, and for BM25L and BM25+ one
// non-occurrence score per column.
void check_loaded_model(PyObject* model, PyObject* path) {
  const std::string where = "relevance_model in " + tx::repr(tx::str(path).get());
  tx::Ref scores = optional_attr(model, tx::name<"scores">());
  if (!scores || !PyDict_Check(scores.get())) tx::raise(PyExc_ValueError, where + " holds no score matrix");
  auto entry = [&](const char* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(scores.get(), key, &value) < 0) tx::rethrow_python();
    if (value == nullptr) tx::raise(PyExc_ValueError, where + " holds a score matrix without \"" + key + "\"");
    return tx::Ref::steal(value);
  };

  tx::Ref num_docs_object = entry("num_docs");
  long long num_docs = -1;
  if (PyLong_Check(num_docs_object.get())) {
    int overflow = 0;
    num_docs = PyLong_AsLongLongAndOverflow(num_docs_object.get(), &overflow);
    if (num_docs == -1 && PyErr_Occurred()) tx::rethrow_python();
    if (overflow != 0) num_docs = -1;
  }
  if (num_docs < 0) {
    tx::raise(PyExc_ValueError, where + " gives the document count " + tx::repr(num_docs_object.get()) +
                                    "; it must be an int of 0 or more");
  }

  // The dtypes searches compute in: the score dtype of the weights and
  // results, and the index dtype that holds token ids and document indices.
  tx::Ref score_dtype_spec = optional_attr(model, tx::name<"dtype">());
  tx::Ref score_dtype = score_dtype_spec ? dtype_named(score_dtype_spec.get()) : tx::Ref();
  if (!score_dtype || !is_score_dtype(as_descr(score_dtype))) {
    tx::raise(PyExc_ValueError, where + " gives the score dtype " +
                                    (score_dtype_spec ? tx::repr(score_dtype_spec.get()) : std::string("of nothing")) +
                                    "; it must be float32 or float64");
  }
  tx::Ref index_dtype_spec = optional_attr(model, tx::name<"int_dtype">());
  tx::Ref index_dtype = index_dtype_spec ? dtype_named(index_dtype_spec.get()) : tx::Ref();
  if (!index_dtype || !PyDataType_ISINTEGER(as_descr(index_dtype))) {
    tx::raise(PyExc_ValueError, where + " gives the index dtype " +
                                    (index_dtype_spec ? tx::repr(index_dtype_spec.get()) : std::string("of nothing")) +
                                    "; it must be an integer dtype");
  }

  // The parameters a later change re-indexes with.
  for (const auto& [attribute, key] : {std::pair{tx::name<"k1">(), "k1"}, std::pair{tx::name<"b">(), "b"},
                                       std::pair{tx::name<"delta">(), "delta"}}) {
    tx::Ref value = optional_attr(model, attribute);
    if (!value) continue;
    double v = PyNumber_Check(value.get()) ? PyFloat_AsDouble(value.get()) : NAN;
    if (v == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      v = NAN;
    }
    if (!std::isfinite(v)) {
      tx::raise(PyExc_ValueError,
                where + " gives " + key + " " + tx::repr(value.get()) + "; it must be a finite number");
    }
  }

  auto vector = [&](const char* key, bool integer) {
    tx::Ref array = entry(key);
    auto* arr = tx::as_array_object(array.get());
    if (!PyArray_Check(array.get()) || PyArray_NDIM(arr) != 1 || (integer && !PyArray_ISINTEGER(arr))) {
      std::string held = with_article(tx::type_name(array.get()));
      if (PyArray_Check(array.get())) {
        held = with_article(dtype_text(array.get()).c_str()) + " array of shape " + tx::shape_text(array.get());
      }
      tx::raise(PyExc_ValueError, where + " holds " + held + " as \"" + key + "\"; it must be a one-dimensional " +
                                      (integer ? "integer " : "") + "array");
    }
    return array;
  };
  tx::Ref data = vector("data", false), indices = vector("indices", true), indptr = vector("indptr", true);
  if (!is_score_dtype(PyArray_DESCR(tx::as_array_object(data.get())))) {
    tx::raise(PyExc_ValueError, where + " holds scores of dtype " + dtype_text(data.get()) +
                                    " as \"data\"; they must be float32 or float64");
  }
  const std::int64_t n_scores = PyArray_SIZE(tx::as_array_object(data.get()));
  const std::int64_t n_indices = PyArray_SIZE(tx::as_array_object(indices.get()));
  const std::int64_t n_pointers = PyArray_SIZE(tx::as_array_object(indptr.get()));
  if (n_indices != n_scores) {
    tx::raise(PyExc_ValueError, where + " holds " + std::to_string(n_indices) + " document indices but " +
                                    std::to_string(n_scores) + " scores");
  }
  if (n_pointers == 0) tx::raise(PyExc_ValueError, where + " holds no column pointers");

  // Pointers run from 0 to the score count without decreasing, so every
  // column's range lies within the scores.
  struct PointerScan {
    std::int64_t first, last, decrease, value;
  };
  const PointerScan pointers = with_integer_view(indptr.get(), [&](const auto* p, std::int64_t n) {
    const std::int64_t at = scan_entries(n, [&] { return ts::first_decrease(p, n); });
    return PointerScan{static_cast<std::int64_t>(p[0]), static_cast<std::int64_t>(p[n - 1]), at,
                       at < 0 ? 0 : static_cast<std::int64_t>(p[at])};
  });
  if (pointers.first != 0) {
    tx::raise(PyExc_ValueError,
              where + " holds column pointers that start at " + std::to_string(pointers.first) + ", not 0");
  }
  if (pointers.decrease >= 0) {
    tx::raise(PyExc_ValueError, where + " holds the column pointer " + std::to_string(pointers.value) +
                                    " at position " + std::to_string(pointers.decrease) +
                                    ", below the one before it");
  }
  if (pointers.last != n_scores) {
    tx::raise(PyExc_ValueError, where + " holds column pointers that end at " + std::to_string(pointers.last) +
                                    ", not at its " + std::to_string(n_scores) + " scores");
  }

  const auto [outside, value] = with_integer_view(indices.get(), [&](const auto* d, std::int64_t n) {
    const std::int64_t at = scan_entries(n, [&] { return ts::first_outside(d, n, num_docs); });
    return std::pair<std::int64_t, std::int64_t>{at, at < 0 ? 0 : static_cast<std::int64_t>(d[at])};
  });
  if (outside >= 0) {
    tx::raise(PyExc_ValueError, where + " holds the document index " + std::to_string(value) + " at position " +
                                    std::to_string(outside) + ", outside its " + std::to_string(num_docs) +
                                    " documents");
  }

  // Every token id names a column. bm25s gives the empty token "" the id
  // after the last column, without a column of its own; no tokenised query
  // holds "", so that id is never looked up.
  const std::int64_t columns = n_pointers - 1;
  // Token ids run up to `columns` and document indices up to num_docs - 1;
  // a narrower index dtype would wrap them.
  const auto needed = static_cast<std::uint64_t>(std::max<std::int64_t>(columns, num_docs - 1));
  if (needed > integer_max(as_descr(index_dtype))) {
    tx::raise(PyExc_ValueError, where + " gives the index dtype " + tx::repr(index_dtype_spec.get()) +
                                    ", too narrow for its " + std::to_string(num_docs) + " documents and " +
                                    std::to_string(columns + 1) + " token ids");
  }
  tx::Ref vocab = optional_attr(model, tx::name<"vocab_dict">());
  if (!vocab || !PyDict_Check(vocab.get())) tx::raise(PyExc_ValueError, where + " holds no vocabulary");
  Py_ssize_t pos = 0;
  PyObject *token, *id;
  while (PyDict_Next(vocab.get(), &pos, &token, &id)) {
    if (!PyLong_Check(id)) {
      tx::raise(PyExc_ValueError, where + " maps the token " + tx::repr(token) + " to " + tx::repr(id) +
                                      ", which is not an int");
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(id, &overflow);
    if (v == -1 && PyErr_Occurred()) tx::rethrow_python();
    const bool empty_token = PyUnicode_Check(token) && PyUnicode_GET_LENGTH(token) == 0;
    if (overflow != 0 || v < 0 || v > columns || (v == columns && !empty_token)) {
      tx::raise(PyExc_ValueError, where + " maps the token " + tx::repr(token) + " to " + tx::repr(id) +
                                      ", outside the " + std::to_string(columns) + " columns of its score matrix");
    }
  }

  tx::Ref nonoccurrence = optional_attr(model, tx::name<"nonoccurrence_array">());
  if (nonoccurrence && !nonoccurrence.is_none()) {
    const bool vector_like =
        PyArray_Check(nonoccurrence.get()) && PyArray_NDIM(tx::as_array_object(nonoccurrence.get())) == 1;
    const std::int64_t held = vector_like ? PyArray_SIZE(tx::as_array_object(nonoccurrence.get())) : -1;
    if (vector_like && !is_score_dtype(PyArray_DESCR(tx::as_array_object(nonoccurrence.get())))) {
      tx::raise(PyExc_ValueError, where + " holds non-occurrence scores of dtype " + dtype_text(nonoccurrence.get()) +
                                      "; they must be float32 or float64");
    }
    if (held < columns) {
      tx::raise(PyExc_ValueError,
                where + " holds " + (vector_like ? std::to_string(held) : std::string("no")) +
                    " non-occurrence scores for the " + std::to_string(columns) + " columns of its score matrix");
    }
  }
}

// ---- corpus.json ---------------------------------------------------------------

// The ids and texts of corpus.json, refused unless they can stand beside the
// model: two lists of one length, which is the model's document count unless
// both are empty, and texts that are all str. Ids may be anything the JSON
// decoder gives, as `add` takes ids of any type.
std::pair<tx::Ref, tx::Ref> checked_corpus(PyObject* data, PyObject* path, PyObject* model) {
  const std::string where = "corpus.json in " + tx::repr(tx::str(path).get());
  if (!PyDict_Check(data)) {
    tx::raise(PyExc_ValueError, where + " must hold a JSON object with the lists \"ids\" and \"texts\"");
  }
  tx::Ref ids = meta_get(data, "ids", tx::Ref::steal(PyList_New(0)).get());
  tx::Ref texts = meta_get(data, "texts", tx::Ref::steal(PyList_New(0)).get());
  for (auto [value, key] : {std::pair{ids.get(), "ids"}, std::pair{texts.get(), "texts"}}) {
    if (!PyList_CheckExact(value)) {
      tx::raise(PyExc_ValueError, where + " must hold a list under \"" + key + "\", not " + tx::type_name(value));
    }
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(texts.get()); ++i) {
    PyObject* text = PyList_GET_ITEM(texts.get(), i);
    if (!PyUnicode_Check(text)) {
      tx::raise(PyExc_ValueError, where + " holds " + with_article(tx::type_name(text)) + " at position " +
                                      std::to_string(i) + " of \"texts\"; every text must be a string");
    }
  }
  const Py_ssize_t n_ids = PyList_GET_SIZE(ids.get()), n_texts = PyList_GET_SIZE(texts.get());
  if (n_ids != n_texts) {
    tx::raise(PyExc_ValueError,
              where + " holds " + std::to_string(n_ids) + " ids but " + std::to_string(n_texts) + " texts");
  }
  if (n_ids > 0) {
    tx::Ref num_docs = tx::Ref::none();
    PyObject* scores_map = nullptr;
    if (PyObject_GetOptionalAttr(model, tx::name<"scores">(), &scores_map) < 0) tx::rethrow_python();
    if (scores_map != nullptr) {
      tx::Ref held = tx::Ref::steal(scores_map);
      if (PyDict_Check(held.get())) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(held.get(), tx::name<"num_docs">(), &value) < 0) tx::rethrow_python();
        if (value != nullptr) num_docs = tx::Ref::steal(value);
      }
    }
    if (!tx::compare(tx::py_long(n_ids).get(), num_docs.get(), Py_EQ)) {
      tx::raise(PyExc_ValueError, where + " holds " + std::to_string(n_ids) +
                                      " documents but the saved model indexes " + tx::repr(num_docs.get()));
    }
  }
  return {ids, texts};
}

constexpr tx::FolderKind kTextFolder{"text index"};

// The files load reads, each refused unopened when it is there but is not a
// regular file (a FIFO would block the reader, a device never ends); a
// missing one is left for its reader to report.
void check_members(const tx::SavedFolder& folder) {
  for (const char* file : {"relevance_meta.json", "relevance_model/params.index.json",
                           "relevance_model/vocab.index.json", "relevance_model/data.csc.index.npy",
                           "relevance_model/indices.csc.index.npy", "relevance_model/indptr.csc.index.npy",
                           "relevance_model/nonoccurrence_array.index.npy"}) {
    folder.has(file);
  }
}

PyObject* load_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("load", {"directory", "base_dir"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    PyObject* directory = a[0];
    tx::require_exact(directory, &PyUnicode_Type, "directory", true);
    tx::Ref path = tx::call(ns.get<"resolve_directory">().get(), {directory, a[1] ? a[1] : Py_None});
    tx::call(ns.get<"refuse_interrupted_swap">().get(), {path.get()});
    const tx::SavedFolder folder(kTextFolder, tx::fs_path(path.get()), tx::utf8(tx::str(path.get()).get()));
    check_members(folder);
    tx::Ref meta = tx::call(ns.get<"read_config">().get(), {tx::join_path(path.get(), "relevance_meta.json").get()});

    tx::Ref method = meta_get(meta.get(), "method", tx::py_str("robertson").get());
    tx::Ref k1 = float_of(meta_get(meta.get(), "k1", tx::Ref::steal(PyFloat_FromDouble(1.5)).get()));
    tx::Ref b = float_of(meta_get(meta.get(), "b", tx::Ref::steal(PyFloat_FromDouble(0.75)).get()));
    for (const auto& [value, key] : {std::pair{k1.get(), "k1"}, std::pair{b.get(), "b"}}) {
      if (!std::isfinite(PyFloat_AsDouble(value))) {
        tx::raise(PyExc_ValueError, "relevance_meta.json in " + tx::repr(tx::str(path.get()).get()) + " gives " + key +
                                        " " + tx::repr(value) + "; it must be a finite number");
      }
    }
    tx::Ref stopwords = meta_get(meta.get(), "stopwords", tx::py_str("english").get());
    tx::Ref stemmer = meta_get(meta.get(), "stemmer", tx::py_str("english").get());
    tx::Ref index = tx::call(cls, {method.get(), k1.get(), b.get(), stopwords.get(), stemmer.get()},
                             tx::kwnames<"method", "k1", "b", "stopwords_lang", "stemmer_lang">());
    if (!PyObject_TypeCheck(index.get(), relevance_type)) {
      tx::raise_format(PyExc_TypeError, "Cannot convert %s to %s", tx::type_name(index.get()), relevance_type->tp_name);
    }
    RelevanceState& s = state(index.get());
    tx::Ref model = tx::call_method(ns.get<"BM25">().get(), tx::name<"load">(),
                                    {tx::str(tx::join_path(path.get(), "relevance_model").get()).get(), Py_False},
                                    tx::kwnames<"load_corpus">());
    check_loaded_model(model.get(), path.get());
    s.model.set(model);
    s.ids.set(tx::Ref::steal(PyList_New(0)));
    s.corpus.set(tx::Ref::steal(PyList_New(0)));

    if (folder.has("corpus.json")) {
      tx::Ref text = tx::call_method(tx::join_path(path.get(), "corpus.json").get(), tx::name<"read_text">(), {});
      tx::Ref data = tx::call(tx::attr<"loads">(ns.get<"json">().get()).get(), {text.get()});
      auto [ids, texts] = checked_corpus(data.get(), path.get(), model.get());
      s.ids.set(ids);
      s.corpus.set(texts);
    } else if (folder.has("corpus.pkl")) {
      tx::call(ns.get<"reject_legacy_pickle">().get(), {directory, tx::py_str("corpus.pkl").get()});
    } else if (folder.has("ids.pkl")) {
      tx::call(ns.get<"reject_legacy_pickle">().get(), {directory, tx::py_str("ids.pkl").get()});
    }
    return index;
  });
}

// ---- construction and properties ---------------------------------------------

int relevance_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig =
        tx::signature<5>("_RelevanceCore", {"method", "k1", "b", "stopwords_lang", "stemmer_lang"}, 0);
    std::array<PyObject*, 5> a;
    sig.bind_call(args, kwargs, a);
    tx::Ref method = a[0] ? tx::Ref::borrow(a[0]) : tx::py_str("lucene");
    tx::require_exact(method.get(), &PyUnicode_Type, "method", true);
    double k1 = 1.5, b = 0.75;
    if (a[1] != nullptr && (k1 = PyFloat_AsDouble(a[1])) == -1.0 && PyErr_Occurred()) tx::rethrow_python();
    if (a[2] != nullptr && (b = PyFloat_AsDouble(a[2])) == -1.0 && PyErr_Occurred()) tx::rethrow_python();
    // NaN or infinite parameters make every score NaN or infinite.
    for (const auto& [value, param] : {std::pair{k1, "k1"}, std::pair{b, "b"}}) {
      if (!std::isfinite(value)) {
        tx::raise(PyExc_ValueError, std::string(param) + " must be a finite number, not " +
                                        tx::repr(tx::Ref::steal(PyFloat_FromDouble(value)).get()));
      }
    }
    tx::Ref stopwords_lang = a[3] ? tx::Ref::borrow(a[3]) : tx::py_str("english");
    tx::require_exact(stopwords_lang.get(), &PyUnicode_Type, "stopwords_lang", true);
    tx::Ref stemmer_lang = a[4] ? tx::Ref::borrow(a[4]) : tx::py_str("english");
    tx::require_exact(stemmer_lang.get(), &PyUnicode_Type, "stemmer_lang", true);

    // Everything is built before the instance changes: a failing step leaves it as it was.
    tx::Ref stop_words = tx::call(ns.get<"load_stopwords">().get(), {stopwords_lang.get()});
    tx::Ref stemmer = tx::call(tx::attr<"Stemmer">(ns.get<"Stemmer">().get()).get(), {stemmer_lang.get()});
    tx::Ref k1_obj = tx::Ref::steal(PyFloat_FromDouble(k1));
    tx::Ref b_obj = tx::Ref::steal(PyFloat_FromDouble(b));
    tx::Ref meta = tx::Ref::steal(PyDict_New());
    tx::Ref index_type = tx::py_str("relevance");
    const std::pair<const char*, PyObject*> entries[] = {
        {"index_type", index_type.get()}, {"method", method.get()},   {"k1", k1_obj.get()},
        {"b", b_obj.get()}, {"stopwords", stopwords_lang.get()}, {"stemmer", stemmer_lang.get()}};
    for (const auto& [key, value] : entries) {
      if (PyDict_SetItemString(meta.get(), key, value) < 0) tx::rethrow_python();
    }
    tx::Ref backend = tx::py_str("numba");
    tx::Ref model = tx::call(ns.get<"BM25">().get(), {method.get(), k1_obj.get(), b_obj.get(), backend.get()},
                             tx::kwnames<"method", "k1", "b", "backend">());
    tx::Ref ids = tx::Ref::steal(PyList_New(0));
    tx::Ref corpus = tx::Ref::steal(PyList_New(0));
    tx::Ref logger = tx::call(tx::attr<"getLogger">(ns.get<"logging">().get()).get(), {tx::py_str(kModuleName).get()});

    RelevanceState& s = state(self);
    s.k1 = k1;
    s.b = b;
    s.method.set(method);
    s.stop_words.set(stop_words);
    s.stemmer.set(stemmer);
    s.meta.set(meta);
    s.model.set(model);
    s.ids.set(ids);
    s.corpus.set(corpus);
    s.logger.set(logger);
  });
}

PyObject* size_getter(PyObject* self, void*) {
  return tx::guard([&] { return tx::py_long(tx::length(state(self).ids.get())); });
}

PyObject* is_trained_getter(PyObject* self, void*) {
  return tx::guard([&] {
    PyObject* scores = nullptr;
    if (PyObject_GetOptionalAttr(state(self).model.get(), tx::name<"scores">(), &scores) < 0) tx::rethrow_python();
    const bool trained = scores != nullptr && scores != Py_None;
    Py_XDECREF(scores);
    return tx::py_bool(trained);
  });
}

PyObject* index_type_getter(PyObject*, void*) {
  return tx::guard([] { return tx::Ref::borrow(tx::name<"relevance">()); });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef relevance_methods[] = {
    {"fit", tx::as_cfunction(fit_method), kFastcall,
     "fit(corpus, parallel=False)\n--\n\nIndex the texts of `corpus`, replacing every held text."},
    {"add", tx::as_cfunction(add_method), kFastcall,
     "add(ids, texts, parallel=False)\n--\n\nAppend documents and re-index all texts."},
    {"update", tx::as_cfunction(update_method), kFastcall,
     "update(ids, texts)\n--\n\nReplace the texts of held documents, keeping their positions."},
    {"delete", tx::as_cfunction(delete_method), kFastcall,
     "delete(ids)\n--\n\nRemove documents; the survivors keep their order."},
    {"search", tx::as_cfunction(search_method), kFastcall,
     "search(query, k, parallel=False, batch_size=None, candidates=None)\n--\n\n"
     "Ranked SearchResult hits of a str query, or one list of them per query of a batch."},
    {"search_raw", tx::as_cfunction(search_raw_method), kFastcall,
     "search_raw(queries, k, parallel=False, candidates=None)\n--\n\n"
     "(positions int64, scores float64) of shape (queries, k); empty slots are -1 at row ends."},
    {"save", tx::as_cfunction(save_method), kFastcall,
     "save(directory, base_dir=None)\n--\n\nWrite the index folder, creating it with its parents."},
    {"load", tx::as_cfunction(load_method), kFastcall | METH_CLASS,
     "load(directory, base_dir=None)\n--\n\nA new index of this class read from a saved folder."},
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef relevance_getset[] = {
    {"size", size_getter, nullptr, "Number of held ids.", nullptr},
    {"is_trained", is_trained_getter, nullptr, "Whether the model holds scores.", nullptr},
    {"index_type", index_type_getter, nullptr, "The constant \"relevance\".", nullptr},
    {"ids", tx::field_getter<RelevanceState, &RelevanceState::ids>, nullptr,
     "The index's own list of ids in position order (not a copy).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot relevance_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(relevance_init)},
    {Py_tp_methods, relevance_methods},
    {Py_tp_getset, relevance_getset},
    {Py_tp_doc, const_cast<char*>("BM25 text index over document ids and texts, searched through bm25s.")},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_term_scoring", "BM25 text relevance index.", -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__term_scoring() {
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    relevance_type = tx::add_type<RelevanceState>(module, "tarnix_engine.indexes._term_scoring._RelevanceCore",
                                                  relevance_slots);
    ns.import_module("json", "json");
    ns.import_module("logging", "logging");
    ns.import_from("pathlib", {"Path"});
    ns.import_module("np", "numpy");
    tx::attach_numpy();
    tx::Ref os = tx::Ref::steal(PyImport_ImportModule("os"));
    ns.set("os", os);
    // bm25s reads DISABLE_TQDM when it is imported.
    tx::call_method(tx::attr<"environ">(os.get()).get(), tx::name<"setdefault">(),
                    {tx::py_str("DISABLE_TQDM").get(), tx::py_str("1").get()});
    tx::Ref bm25s = tx::Ref::steal(PyImport_ImportModule("bm25s"));
    ns.set("BM25", tx::attr<"BM25">(bm25s.get()));
    ns.set("bm25s", bm25s);
    ns.import_module("Stemmer", "Stemmer");
    ns.import_from("tarnix_engine._types", {"SearchResult"});
    ns.import_from("tarnix_engine._persistence",
                   {"write_config", "read_config", "resolve_directory", "reject_legacy_pickle", "stage_folder",
                    "commit_folder", "discard_folder", "refuse_interrupted_swap"});
    ns.import_from("tarnix_engine._stopwords", {"load_stopwords"});
    ns.import_from("tarnix_engine.kernels._batching", {"resolve_batch_size", "resolve_num_threads"});
    ns.set("_EMPTY_QUERY_TOKEN", tx::Ref::steal(PyUnicode_FromStringAndSize(kEmptyQueryToken, kEmptyQueryTokenLength)));
  });
}
