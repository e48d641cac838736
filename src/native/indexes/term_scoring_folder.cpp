// The text index folder: relevance_model (bm25s's own format),
// relevance_meta.json, config.json and corpus.json, saved whole through a
// staging folder and checked at load before any search can use them.
#include "indexes/term_scoring_glue.hpp"
#include "support/folder.hpp"

#include <cmath>
#include <initializer_list>
#include <utility>

namespace tx::term_scoring {
namespace {

// Entries of a text index folder that belong to the saved index; the legacy
// pickles go too, so that no later load pairs them with this model.
constexpr std::initializer_list<const char*> kOwnedEntries = {
    "relevance_model", "relevance_meta.json", "config.json", "corpus.json", "corpus.pkl", "ids.pkl"};

}  // namespace

PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    const tx::Ref path = tx::save_call(ns, args, nargs, kwnames).folder;
    const RelevanceState& s = state(self);
    // One state is written: writing files lets other threads run, and one may change the index.
    const tx::Ref model = s.model.ref(), meta = s.meta.ref(), ids = s.ids.ref(), corpus = s.corpus.ref();
    // A model never fitted has no scores for bm25s to write; refused before
    // anything is staged.
    const tx::Ref scores = optional_attr(model.get(), tx::name<"scores">());
    if (!scores || scores.is_none()) {
      tx::raise(PyExc_RuntimeError, "the text index was never fitted; fit it on a corpus before saving");
    }
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

namespace {

tx::Ref meta_get(PyObject* meta, const char* key, PyObject* fallback) {
  return tx::call_method(meta, tx::name<"get">(), {tx::py_str(key).get(), fallback});
}

tx::Ref float_of(const tx::Ref& o) { return tx::Ref::steal(PyNumber_Float(o.get())); }

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

}  // namespace

PyObject* load_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    const auto [directory, path] = tx::load_call(ns, args, nargs, kwnames);
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
    tx::Ref model = folder.read_npy("relevance_model", [&] {
      return tx::call_method(ns.get<"BM25">().get(), tx::name<"load">(),
                             {tx::str(tx::join_path(path.get(), "relevance_model").get()).get(), Py_False},
                             tx::kwnames<"load_corpus">());
    });
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

}  // namespace tx::term_scoring
