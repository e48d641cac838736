// Changes to the text index: fit, and add, update and delete, which re-fit
// every text and leave the index as it was when they fail.
#include "indexes/term_scoring_glue.hpp"

#include <algorithm>
#include <vector>

namespace tx::term_scoring {
namespace {

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

// bm25s reads each text with str methods and cannot index texts without a
// single word; both are refused here, saying what to pass, before the model
// changes.
void require_plain_texts(PyObject* texts) {
  if (!PyList_Check(texts)) return;
  const Py_ssize_t n = PyList_GET_SIZE(texts);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* text = PyList_GET_ITEM(texts, i);
    if (!PyUnicode_Check(text)) {
      tx::raise_format(PyExc_TypeError,
                       "every text must be a str, got %s at position %zd; pass \"\" for a document without text",
                       text == Py_None ? "None" : with_article(tx::type_name(text)).c_str(), i);
    }
  }
}

void require_some_word(PyObject* tokens) {
  tx::Ref vocab = optional_attr(tokens, tx::name<"vocab">());
  if (vocab && PyDict_Check(vocab.get()) && PyDict_GET_SIZE(vocab.get()) == 0) {
    tx::raise(PyExc_ValueError,
              "the texts hold no word to index: each is empty, only stop words or one-letter words; "
              "give at least one text with a word of two or more letters that is not a stop word");
  }
}

// Tokenises `texts` and has `model` index them in place.
void index_texts(const RelevanceState& s, PyObject* model, PyObject* texts) {
  require_plain_texts(texts);
  tx::Ref tokens = tokenize(s, texts, false);
  require_some_word(tokens.get());
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

}  // namespace

PyObject* fit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("fit", {"corpus", "parallel"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::require_exact(a[0], &PyList_Type, "corpus", true);
    if (a[1] != nullptr) tx::truth(a[1]);  // taken by truth value; fit itself does not use it
    return fit_impl(self, a[0]);
  });
}

namespace {

// fit(corpus, parallel) through the object, so a subclass's fit runs.
void refit(PyObject* self, const tx::Ref& corpus, bool parallel) {
  tx::call_virtual(
      self, relevance_type, tx::name<"fit">(), reinterpret_cast<void*>(fit_method),
      [&] { return fit_impl(self, corpus.get()); }, {corpus.get(), parallel ? Py_True : Py_False});
}

}  // namespace

PyObject* add_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("add", {"ids", "texts", "parallel=False"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::require_exact(a[0], &PyList_Type, "ids", true);
    tx::require_exact(a[1], &PyList_Type, "texts", true);
    const bool parallel = tx::truth(a[2]);
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
    const auto a = sig.bind(args, nargs, kwnames);
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
    const auto a = sig.bind(args, nargs, kwnames);
    tx::require_exact(a[0], &PyList_Type, "ids", true);
    RelevanceState& s = state(self);

    tx::Ref given = tx::Ref::steal(PySet_New(a[0]));
    tx::Ref missing = tx::ids_not_held(given.get(), s.ids.get());
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

}  // namespace tx::term_scoring
