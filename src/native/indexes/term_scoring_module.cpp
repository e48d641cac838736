// tarnix_engine.indexes._term_scoring: the BM25 text index. Tokenising,
// indexing and scoring are bm25s's (numba backend); this module keeps the ids
// and texts in position order and searches, changes, saves and loads them
// (one glue file per concern, term_scoring_*.cpp). This file holds
// construction, the properties, the method table and the module init.
#define TX_NUMPY_MAIN
#include "indexes/term_scoring_glue.hpp"

#include <cmath>
#include <utility>

namespace tx::term_scoring {

tx::Namespace ns;
PyTypeObject* relevance_type = nullptr;

namespace {

constexpr const char* kModuleName = "tarnix_engine.indexes._term_scoring";
// NUL + "__tarnix_empty_query__" + NUL: no tokeniser yields it, so it matches
// no document and a query that tokenises to nothing scores every document 0.
constexpr char kEmptyQueryToken[] = "\0__tarnix_empty_query__\0";
constexpr Py_ssize_t kEmptyQueryTokenLength = sizeof(kEmptyQueryToken) - 1;

// ---- construction and properties ---------------------------------------------

int relevance_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig =
        tx::signature<5>("_RelevanceCore", {"method", "k1", "b", "stopwords_lang", "stemmer_lang"}, 0);
    const auto a = sig.bind_call(args, kwargs);
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
     "fit($self, corpus, parallel=False)\n--\n\nIndex the texts of `corpus`, replacing every held text."},
    {"add", tx::as_cfunction(add_method), kFastcall,
     "add($self, ids, texts, parallel=False)\n--\n\nAppend documents and re-index all texts."},
    {"update", tx::as_cfunction(update_method), kFastcall,
     "update($self, ids, texts)\n--\n\nReplace the texts of held documents, keeping their positions."},
    {"delete", tx::as_cfunction(delete_method), kFastcall,
     "delete($self, ids)\n--\n\nRemove documents; the survivors keep their order."},
    {"search", tx::as_cfunction(search_method), kFastcall,
     "search($self, query, k, parallel=False, batch_size=None, candidates=None)\n--\n\n"
     "Ranked SearchResult hits of a str query, or one list of them per query of a batch."},
    {"search_raw", tx::as_cfunction(search_raw_method), kFastcall,
     "search_raw($self, queries, k, parallel=False, candidates=None)\n--\n\n"
     "(positions int64, scores float64) of shape (queries, k); empty slots are -1 at row ends."},
    {"save", tx::as_cfunction(save_method), kFastcall,
     "save($self, directory, base_dir=None)\n--\n\nWrite the index folder, creating it with its parents."},
    {"load", tx::as_cfunction(load_method), kFastcall | METH_CLASS,
     "load($type, directory, base_dir=None)\n--\n\nA new index of this class read from a saved folder."},
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
    {Py_tp_doc, const_cast<char*>("_RelevanceCore(method='lucene', k1=1.5, b=0.75, stopwords_lang='english', "
                                  "stemmer_lang='english')\n--\n\n"
                                  "BM25 text index over document ids and texts, searched through bm25s.")},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_term_scoring", "BM25 text relevance index.", -1, nullptr};

}  // namespace
}  // namespace tx::term_scoring

PyMODINIT_FUNC PyInit__term_scoring() {
  using namespace tx::term_scoring;
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
    // What numba compiles for bm25s's kernels is kept on disk, once per machine
    // rather than seconds in every process; this starts no threading layer.
    ns.import_from("tarnix_engine._jit_cache", {"enable"});
    tx::call(ns.get<"enable">().get(), {});
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
