// tarnix_engine.indexes._shard_flow: the streaming hybrid index. Each
// add_batch builds one shard (a text index and a vector index fitted on that
// batch alone) under the index's lock; the first batch freezes the vector
// quantisation that every later shard is fitted with, so all shards' 8-bit
// codes stack into one matrix. Readers take a snapshot of the shard lists
// under the lock and work without it. This file holds construction, writes,
// properties and the module; search and the folder have files of their own.
#define TX_NUMPY_MAIN
#include "support/numpy.hpp"

#include "indexes/shard_flow.hpp"
#include "indexes/shard_flow_glue.hpp"

namespace tx::shard_flow {

tx::Namespace ns;
PyTypeObject* streaming_type = nullptr;

namespace {

// The lock is the host's re-entrant lock, not a C++ mutex: a fit run under
// it calls back into Python, and a native mutex held there would deadlock
// against a thread that holds the interpreter lock and waits for ours.
template <class Body>
void holding_lock(PyObject* self, Body&& body) {
  tx::Ref lock = state(self).lock.ref();
  if (lock.is_none()) tx::raise(PyExc_RuntimeError, "the streaming index was not initialised");
  tx::with_context(lock.get(), [&](PyObject*) {
    body();
    return tx::Ref::none();
  });
}

}  // namespace

Snapshot take_snapshot(PyObject* self) {
  Snapshot snap;
  holding_lock(self, [&] {
    const StreamingState& s = state(self);
    snap = {s.shards.ref(), s.shard_sizes.ref(), s.cumulative_offsets.ref(),
            s.boundaries.ref(), s.fit_values.ref(), s.all_bytes.ref()};
  });
  if (!PyList_Check(snap.shards.get()) || !PyList_Check(snap.shard_sizes.get()) ||
      !PyList_Check(snap.cumulative_offsets.get())) {
    tx::raise(PyExc_RuntimeError, "the streaming index was not initialised");
  }
  return snap;
}

tx::Ref make_shard(PyObject* self, PyObject* text_index, PyObject* vector_index) {
  const StreamingState& s = state(self);
  tx::Ref top_k = tx::py_long(s.top_k);
  tx::Ref alpha_text = tx::Ref::steal(PyFloat_FromDouble(s.alpha_text));
  tx::Ref alpha_vector = tx::Ref::steal(PyFloat_FromDouble(s.alpha_vector));
  tx::Ref speed = s.speed_preference.ref();
  return tx::call(ns.get<"_VortelCore">().get(),
                  {text_index, vector_index, top_k.get(), alpha_text.get(), alpha_vector.get(), speed.get()},
                  tx::kwnames<"text_index", "vector_index", "top_k", "alpha_text", "alpha_vector",
                              "speed_preference">());
}

namespace {

// ---- writes --------------------------------------------------------------------

tx::Ref make_vector_index(PyObject* self) {
  const StreamingState& s = state(self);
  tx::Ref cls = s.vector_cls.ref();
  if (!s.pass_n_candidates) return tx::call(cls.get(), {});
  tx::Ref n = tx::py_long(s.n_candidates);
  return tx::call(cls.get(), {n.get()}, tx::kwnames<"n_candidates">());
}

void capture_quantization_params(PyObject* self, PyObject* vector_index) {
  tx::Ref params = tx::attr<"_params">(vector_index);
  if (params.is_none()) return;
  // Both read before either is set, so a failing read leaves neither half set.
  tx::Ref edges = tx::attr<"boundaries">(params.get());
  tx::Ref values = tx::attr<"fit_values">(params.get());
  StreamingState& s = state(self);
  s.boundaries.set(edges);
  s.fit_values.set(values);
}

tx::Ref frozen_params(PyObject* self) {
  const StreamingState& s = state(self);
  if (s.boundaries.is_none() || s.fit_values.is_none()) return tx::Ref::none();
  tx::Ref edges = s.boundaries.ref();
  tx::Ref values = s.fit_values.ref();
  return tx::call(ns.get<"_Parameters">().get(), {edges.get(), values.get()}, tx::kwnames<"boundaries", "fit_values">());
}

// The next value of all_bytes: a new array, never sharing a shard's memory.
tx::Ref concat_bytes_matrix(PyObject* self, PyObject* vector_index) {
  tx::Ref matrix = tx::attr<"_matrix">(vector_index);
  tx::Ref current = state(self).all_bytes.ref();
  if (matrix.is_none()) return current;
  if (current.is_none()) return tx::call_method(matrix.get(), tx::name<"copy">(), {});
  tx::Ref parts = tx::Ref::steal(PyList_New(2));
  PyList_SET_ITEM(parts.get(), 0, current.release());
  PyList_SET_ITEM(parts.get(), 1, matrix.release());
  tx::Ref axis = tx::py_long(0);
  return tx::call(tx::attr<"concatenate">(ns.get<"np">().get()).get(), {parts.get(), axis.get()}, tx::kwnames<"axis">());
}

// Rows of a vectors argument when they can be told without converting it:
// a 1-D array is one vector; -1 when unknown (the vector index's fit decides).
std::int64_t vector_rows(PyObject* vectors) {
  PyObject* shape = nullptr;
  if (PyObject_GetOptionalAttr(vectors, tx::name<"shape">(), &shape) < 0) tx::rethrow_python();
  if (shape != nullptr) {
    tx::Ref held = tx::Ref::steal(shape);
    if (!PyTuple_Check(shape) || PyTuple_GET_SIZE(shape) == 0) return -1;
    if (PyTuple_GET_SIZE(shape) == 1) return 1;
    return tx::to_int64(PyTuple_GET_ITEM(shape, 0));
  }
  if (!PyList_Check(vectors) && !PyTuple_Check(vectors)) return -1;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(vectors);
  if (n == 0) return 0;
  PyObject* first = PySequence_Fast_GET_ITEM(vectors, 0);
  return PyNumber_Check(first) && !PySequence_Check(first) ? 1 : n;
}

// Values per vector row when they can be told without converting the
// argument (the second extent of a 2-D shape); -1 when unknown.
std::int64_t vector_columns(PyObject* vectors) {
  PyObject* shape = nullptr;
  if (PyObject_GetOptionalAttr(vectors, tx::name<"shape">(), &shape) < 0) tx::rethrow_python();
  if (shape == nullptr) return -1;
  tx::Ref held = tx::Ref::steal(shape);
  if (!PyTuple_Check(shape) || PyTuple_GET_SIZE(shape) != 2) return -1;
  return tx::to_int64(PyTuple_GET_ITEM(shape, 1));
}

// Every shard is fitted with the first batch's per-dimension values, so a
// later batch must have as many values per vector; the fit would refuse it
// in terms of those internals.
void require_frozen_dimension(const StreamingState& s, PyObject* vectors) {
  if (s.fit_values.is_none()) return;
  const std::int64_t columns = vector_columns(vectors);
  if (columns < 0) return;
  const std::int64_t dim = tx::length(s.fit_values.get());
  if (columns != dim) {
    tx::raise_format(PyExc_ValueError,
                     "vectors must have %lld values per row, as the first batch of this index had, got %lld; "
                     "embed every batch with the same model",
                     static_cast<long long>(dim), static_cast<long long>(columns));
  }
}

tx::Ref list_with(PyObject* list, PyObject* item) {
  tx::Ref grown = tx::Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list)));
  if (PyList_Append(grown.get(), item) < 0) tx::rethrow_python();
  return grown;
}

void add_batch_locked(PyObject* self, PyObject* corpus, PyObject* vectors, bool parallel) {
  StreamingState& s = state(self);
  tx::Ref flag = tx::py_bool(parallel);
  tx::Ref text_cls = s.text_cls.ref();  // held: the calls below run Python code
  tx::Ref text_index = tx::call(text_cls.get(), {});
  tx::Ref vector_index = make_vector_index(self);
  tx::Ref shard = make_shard(self, text_index.get(), vector_index.get());
  tx::Ref shards = s.shards.ref();
  if (!PyList_Check(shards.get())) tx::raise(PyExc_RuntimeError, "the streaming index was not initialised");
  const Py_ssize_t n = PyList_GET_SIZE(shards.get());
  if (n > 0) require_frozen_dimension(s, vectors);

  tx::call_method(text_index.get(), tx::name<"fit">(), {corpus, flag.get()}, tx::kwnames<"parallel">());
  if (n == 0) {
    tx::call_method(vector_index.get(), tx::name<"fit">(), {vectors, flag.get()}, tx::kwnames<"parallel">());
    capture_quantization_params(self, vector_index.get());
  } else {
    tx::Ref params = frozen_params(self);
    tx::call_method(vector_index.get(), tx::name<"fit">(), {vectors, flag.get(), params.get()},
                    tx::kwnames<"parallel", "params">());
  }
  tx::Ref new_bytes = concat_bytes_matrix(self, vector_index.get());

  // Read again: the fits ran Python code, and a subclass's hook on this
  // thread may have committed a batch meanwhile (the lock is re-entrant).
  shards = s.shards.ref();
  tx::Ref sizes = s.shard_sizes.ref();
  tx::Ref offsets = s.cumulative_offsets.ref();
  if (!PyList_Check(shards.get()) || !PyList_Check(sizes.get()) || !PyList_Check(offsets.get())) {
    tx::raise(PyExc_RuntimeError, "the streaming index was not initialised");
  }
  const Py_ssize_t committed = PyList_GET_SIZE(sizes.get());
  if (PyList_GET_SIZE(offsets.get()) != committed || PyList_GET_SIZE(shards.get()) != committed) {
    tx::raise(PyExc_RuntimeError, "the streaming index's shard lists disagree in length");
  }
  std::int64_t offset = 0;
  if (committed > 0) {
    tx::Ref last_offset_obj = tx::Ref::borrow(PyList_GET_ITEM(offsets.get(), committed - 1));
    tx::Ref last_size_obj = tx::Ref::borrow(PyList_GET_ITEM(sizes.get(), committed - 1));
    const std::int64_t last_offset = tx::to_int64(last_offset_obj.get());
    const std::int64_t last_size = tx::to_int64(last_size_obj.get());
    if (!tx::shard_flow::next_offset(last_offset, last_size, offset)) {
      tx::raise(PyExc_OverflowError, "a streaming index holds at most 2147483647 documents before its last shard");
    }
  }
  tx::Ref size = tx::py_long(tx::length(corpus));
  tx::Ref offset_obj = tx::py_long(offset);

  // Every new value is built before any field changes, so a failure above
  // leaves the index as it was and the three lists always agree.
  tx::Ref new_shards = list_with(shards.get(), shard.get());
  tx::Ref new_sizes = list_with(sizes.get(), size.get());
  tx::Ref new_offsets = list_with(offsets.get(), offset_obj.get());
  s.all_bytes.set(new_bytes);
  s.shards.set(new_shards);
  s.shard_sizes.set(new_sizes);
  s.cumulative_offsets.set(new_offsets);
}

PyObject* add_batch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("add_batch", {"corpus", "vectors", "parallel=False"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::require_exact(a[0], &PyList_Type, "corpus", true);
    const bool parallel = tx::truth(a[2]);
    // One vector row per text: the shard's size is its number of texts, so
    // a mismatch would put later shards' hits at the wrong global positions.
    // The batch is the texts as they are now: the caller's list may change
    // while this call waits for the lock or fits, and the shard's size must
    // be the number of texts its indexes were fitted on.
    tx::Ref corpus = a[0] == Py_None ? tx::Ref::none() : tx::Ref::steal(PyList_GetSlice(a[0], 0, PY_SSIZE_T_MAX));
    if (!corpus.is_none()) {
      const std::int64_t rows = vector_rows(a[1]);
      const Py_ssize_t texts = PyList_GET_SIZE(corpus.get());
      if (rows >= 0 && rows != texts) {
        tx::raise_format(PyExc_ValueError, "corpus and vectors must be the same length: got %zd texts and %lld vectors",
                         texts, static_cast<long long>(rows));
      }
    }
    holding_lock(self, [&] { add_batch_locked(self, corpus.get(), a[1], parallel); });
    return tx::Ref::none();
  });
}

// ---- construction and properties -----------------------------------------------

int streaming_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<8>(
        "_StreamingCore",
        {"text_index_cls", "vector_index_cls", "top_k", "alpha_text", "alpha_vector", "rrf_k", "n_candidates",
         "speed_preference"},
        0);
    const auto a = sig.bind_call(args, kwargs);
    // Settings that every search would refuse (or silently turn into NaN
    // scores) are refused here, where the caller gave them; load builds
    // through this constructor, so a saved folder gets the same checks.
    const std::int32_t top_k = a[2] ? tx::to_int32(a[2]) : 100;
    tx::require_at_least(top_k, 0, "top_k");
    const double alpha_text = a[3] ? tx::to_finite_double(a[3], "alpha_text") : 0.1;
    const double alpha_vector = a[4] ? tx::to_finite_double(a[4], "alpha_vector") : 1.0;
    const std::int32_t rrf_k = a[5] ? tx::to_int32(a[5]) : 2;
    tx::require_at_least(rrf_k, 0, "rrf_k");
    tx::Ref speed = a[7] ? tx::Ref::borrow(a[7]) : tx::py_str("balanced");
    tx::require_exact(speed.get(), &PyUnicode_Type, "speed_preference", true);

    tx::Ref text_cls = a[0] && a[0] != Py_None ? tx::Ref::borrow(a[0]) : ns.get<"_RelevanceCore">();
    if (!PyCallable_Check(text_cls.get())) {
      tx::raise_format(PyExc_TypeError, "text_index_cls must be a text index class (a callable), got %s",
                       tx::type_name(text_cls.get()));
    }
    tx::Ref vector_cls = a[1] && a[1] != Py_None ? tx::Ref::borrow(a[1]) : ns.get<"_TarnixCore">();

    tx::Ref relevance = tx::py_str("relevance");
    tx::Ref tuner = tx::call(ns.get<"default_tuner">().get(), {relevance.get()});
    tx::Ref preferences = tx::attr<"speed_preferences">(tuner.get());
    const int known = PySequence_Contains(preferences.get(), speed.get());
    if (known < 0) tx::rethrow_python();
    if (known == 0) {
      tx::raise(PyExc_ValueError, "unknown speed preference " + tx::repr(speed.get()) + "; pick one of " +
                                      tx::utf8(tx::str(preferences.get()).get()));
    }
    const std::int32_t n_candidates = a[6] && a[6] != Py_None ? tx::to_int32(a[6]) : 5000;
    tx::require_at_least(n_candidates, 1, "n_candidates");
    tx::Ref tarnix = ns.get<"_TarnixCore">();
    const int derived = PyObject_IsSubclass(vector_cls.get(), tarnix.get());
    if (derived < 0) tx::rethrow_python();

    tx::Ref shards = tx::Ref::steal(PyList_New(0));
    tx::Ref sizes = tx::Ref::steal(PyList_New(0));
    tx::Ref offsets = tx::Ref::steal(PyList_New(0));
    tx::Ref lock = tx::call(tx::attr<"RLock">(ns.get<"threading">().get()).get(), {});

    StreamingState& s = state(self);
    s.text_cls.set(text_cls);
    s.vector_cls.set(vector_cls);
    s.speed_preference.set(speed);
    s.top_k = top_k;
    s.alpha_text = alpha_text;
    s.alpha_vector = alpha_vector;
    s.rrf_k = rrf_k;
    s.n_candidates = n_candidates;
    s.pass_n_candidates = derived == 1;
    s.shards.set(shards);
    s.shard_sizes.set(sizes);
    s.cumulative_offsets.set(offsets);
    s.boundaries.clear();
    s.fit_values.clear();
    s.all_bytes.clear();
    s.lock.set(lock);
  });
}

tx::Ref total_size(const Snapshot& snap) {
  tx::Ref total = tx::py_long(0);
  const Py_ssize_t n = PyList_GET_SIZE(snap.shard_sizes.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    total = tx::Ref::steal(PyNumber_Add(total.get(), PyList_GET_ITEM(snap.shard_sizes.get(), i)));
  }
  return total;
}

PyObject* size_getter(PyObject* self, void*) {
  return tx::guard([&] { return total_size(take_snapshot(self)); });
}

PyObject* n_shards_getter(PyObject* self, void*) {
  return tx::guard([&] { return tx::py_long(PyList_GET_SIZE(take_snapshot(self).shards.get())); });
}

PyObject* is_trained_getter(PyObject* self, void*) {
  return tx::guard([&] { return tx::py_bool(PyList_GET_SIZE(take_snapshot(self).shards.get()) > 0); });
}

PyObject* index_type_getter(PyObject*, void*) {
  return tx::guard([] { return tx::Ref::borrow(tx::name<"streaming_hybrid">()); });
}

// The lowest recall any shard expects: a conservative bound for the index.
PyObject* expected_recall_getter(PyObject* self, void*) {
  return tx::guard([&] {
    const Snapshot snap = take_snapshot(self);
    const Py_ssize_t n = PyList_GET_SIZE(snap.shards.get());
    if (n == 0) return tx::Ref::none();
    tx::Ref lowest;
    for (Py_ssize_t i = 0; i < n; ++i) {
      tx::Ref recall = tx::attr<"expected_recall">(PyList_GET_ITEM(snap.shards.get(), i));
      if (recall.is_none()) return tx::Ref::none();
      lowest = lowest ? tx::py_min(lowest, recall) : recall;
    }
    return lowest;
  });
}

PyObject* top_level_field(PyObject* self, tx::Field StreamingState::*member) {
  return Py_NewRef((state(self).*member).get());
}

PyObject* speed_preference_getter(PyObject* self, void*) {
  return top_level_field(self, &StreamingState::speed_preference);
}
PyObject* boundaries_getter(PyObject* self, void*) { return top_level_field(self, &StreamingState::boundaries); }
PyObject* fit_values_getter(PyObject* self, void*) { return top_level_field(self, &StreamingState::fit_values); }

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef streaming_methods[] = {
    {"add_batch", tx::as_cfunction(add_batch_method), kFastcall,
     "add_batch($self, corpus, vectors, parallel=False)\n--\n\n"
     "Build one shard from a list of texts and one vector row per text."},
    {"search", tx::as_cfunction(search_method), kFastcall,
     "search($self, query_text, query_vector, k=None, parallel=False, batch_size=None, candidates=None)\n--\n\n"
     "(global positions int64, scores float64) of the fused hits over every shard; k=None takes top_k."},
    {"save", tx::as_cfunction(save_method), kFastcall,
     "save($self, directory, base_dir=None)\n--\n\nWrite the index folder with one sub-folder per shard."},
    {"load", tx::as_cfunction(load_method), kFastcall | METH_CLASS,
     "load($type, directory, base_dir=None)\n--\n\nA new index of this class read from a saved folder."},
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef streaming_getset[] = {
    {"size", size_getter, nullptr, "Number of documents over all shards.", nullptr},
    {"n_shards", n_shards_getter, nullptr, "Number of shards.", nullptr},
    {"is_trained", is_trained_getter, nullptr, "Whether at least one batch was added.", nullptr},
    {"index_type", index_type_getter, nullptr, "The constant \"streaming_hybrid\".", nullptr},
    {"speed_preference", speed_preference_getter, nullptr, "Speed preference handed to every shard.", nullptr},
    {"expected_recall", expected_recall_getter, nullptr,
     "The lowest recall any shard's depths are expected to give, or None.", nullptr},
    {"boundaries", boundaries_getter, nullptr, "Frozen bin edges, or None before the first batch.", nullptr},
    {"fit_values", fit_values_getter, nullptr, "Frozen per-dimension fit values, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot streaming_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(streaming_init)},
    {Py_tp_methods, streaming_methods},
    {Py_tp_getset, streaming_getset},
    {Py_tp_doc, const_cast<char*>("_StreamingCore(text_index_cls=None, vector_index_cls=None, top_k=100, "
                                  "alpha_text=0.1, alpha_vector=1.0, rrf_k=2, n_candidates=None, "
                                  "speed_preference='balanced')\n--\n\n"
                                  "Hybrid text-plus-vector index grown one shard per batch, with quantisation "
                                  "frozen by the first batch and one fusion over all shards.\n"
                                  "text_index_cls=None means _RelevanceCore, vector_index_cls=None _TarnixCore, "
                                  "n_candidates=None 5000.")},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_shard_flow", "Streaming hybrid index.", -1, nullptr};

}  // namespace
}  // namespace tx::shard_flow

PyMODINIT_FUNC PyInit__shard_flow() {
  namespace g = tx::shard_flow;
  return tx::init_module(&g::module_def, [](PyObject* module) {
    g::ns.bind(module);
    g::streaming_type = tx::add_type<g::StreamingState>(module, "tarnix_engine.indexes._shard_flow._StreamingCore",
                                                         g::streaming_slots);
    g::ns.import_module("json", "json");
    g::ns.import_module("logging", "logging");
    g::ns.import_module("threading", "threading");
    g::ns.import_from("pathlib", {"Path"});
    g::ns.import_module("np", "numpy");
    tx::attach_numpy();
    g::ns.import_from("tarnix_engine._types", {"_Parameters"});
    g::ns.import_from("tarnix_engine._registry", {"_ENGINE_REGISTRY", "_populate", "_populate_imported"});
    g::ns.import_from("tarnix_engine._persistence", {"read_config", "resolve_directory", "write_config",
                                                     "stage_folder", "commit_folder", "discard_folder",
                                                     "refuse_interrupted_swap"});
    g::ns.import_from("tarnix_engine.indexes._vortel_impl", {"_VortelCore", "MAX_DEFAULT_SUB_K"});
    g::ns.import_from("tarnix_engine.indexes._term_scoring", {"_RelevanceCore"});
    g::ns.import_from("tarnix_engine.indexes._tarnix_impl", {"_TarnixCore"});
    g::ns.import_from("tarnix_engine.kernels.fusion", {"_process_batch"});
    g::ns.import_from("tarnix_engine.kernels._batching", {"resolve_batch_size", "resolve_num_threads"});
    g::ns.import_from("tarnix_engine.tuning._depth_oracle", {"default_tuner"});
    tx::Ref logger = tx::call(tx::attr<"getLogger">(g::ns.get<"logging">().get()).get(),
                              {tx::py_str("tarnix_engine.indexes._shard_flow").get()});
    g::ns.set("logger", logger);
  });
}
