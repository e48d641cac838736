// What the glue files of tarnix_engine.indexes._term_scoring share: the
// instance state, the module namespace (every imported name is a module
// attribute looked up at each use, so tests and callers may rebind any of
// them), and the entry points each file defines for the method table.
#pragma once

#include "support/ids.hpp"
#include "support/numpy.hpp"
#include "support/support.hpp"

#include <cstring>
#include <string>

namespace tx::term_scoring {

extern tx::Namespace ns;
extern PyTypeObject* relevance_type;

// Native loops shorter than this are not worth releasing the GIL for.
inline constexpr std::int64_t kReleaseGilFrom = 1 << 15;

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

inline RelevanceState& state(PyObject* self) { return tx::state_of<RelevanceState>(self); }
// bm25s.tokenize(texts, stopwords=..., stemmer=..., show_progress=False[, return_ids=False])
inline tx::Ref tokenize(const RelevanceState& s, PyObject* texts, bool as_strings) {
  tx::Ref fn = tx::attr<"tokenize">(ns.get<"bm25s">().get());
  if (as_strings) {
    return tx::call(fn.get(), {texts, s.stop_words.get(), s.stemmer.get(), Py_False, Py_False},
                    tx::kwnames<"stopwords", "stemmer", "show_progress", "return_ids">());
  }
  return tx::call(fn.get(), {texts, s.stop_words.get(), s.stemmer.get(), Py_False},
                  tx::kwnames<"stopwords", "stemmer", "show_progress">());
}

tx::Ref optional_attr(PyObject* o, PyObject* name);

// "a" or "an" before a type name.
std::string with_article(const char* type);

// ---- the threading plan of parallel retrievals (term_scoring_threads.cpp) ----

struct ParallelPlan {
  bool take_turns;  // parallel retrievals take turns on workqueue_lock
  int n_threads;    // what bm25s is asked for
};

ParallelPlan parallel_plan();
extern PyMutex workqueue_lock;

struct MutexHold {
  explicit MutexHold(PyMutex& m) : m_(m) { PyMutex_Lock(&m_); }  // waits with the GIL released
  ~MutexHold() { PyMutex_Unlock(&m_); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;
  PyMutex& m_;
};

// ---- entry points --------------------------------------------------------------


// term_scoring_changes.cpp
tx::Method fit_method, add_method, update_method, delete_method;
// term_scoring_search.cpp
tx::Method search_method, search_raw_method;
// term_scoring_folder.cpp
tx::Method save_method, load_method;
// term_scoring_model_format.cpp: refuses a model read from `path` that a search could not use safely.
void check_loaded_model(PyObject* model, PyObject* path);

}  // namespace tx::term_scoring
