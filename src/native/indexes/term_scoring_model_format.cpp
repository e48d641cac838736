// The checks of a model read from a text index folder. bm25s's numba kernel
// indexes the score matrix without bounds checks, so a tampered or foreign
// model is refused at load, before any search can reach it.
#include "indexes/term_scoring_glue.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "indexes/term_scoring.hpp"

namespace tx::term_scoring {

tx::Ref optional_attr(PyObject* o, PyObject* name) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(o, name, &value) < 0) tx::rethrow_python();
  return value != nullptr ? tx::Ref::steal(value) : tx::Ref();
}

std::string with_article(const char* type) {
  const bool vowel = type[0] != '\0' && std::strchr("aeiouAEIOU", type[0]) != nullptr;
  return (vowel ? "an " : "a ") + std::string(type);
}

namespace {

namespace ts = tx::term_scoring;

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

// One check per part of the model; `where` names the file in every refusal.
struct ModelChecks {
  PyObject* model;
  std::string where;

  tx::Ref score_entry(PyObject* scores, const char* key) const {
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(scores, key, &value) < 0) tx::rethrow_python();
    if (value == nullptr) tx::raise(PyExc_ValueError, where + " holds a score matrix without \"" + key + "\"");
    return tx::Ref::steal(value);
  }

  long long document_count(PyObject* scores) const {
    tx::Ref num_docs_object = score_entry(scores, "num_docs");
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
    return num_docs;
  }

  // A dtype searches compute in (the score dtype of the weights and results,
  // or the index dtype that holds token ids and document indices): the
  // attribute as given and the dtype it names.
  std::pair<tx::Ref, tx::Ref> dtype(PyObject* attribute, const char* role, bool (*fits)(PyArray_Descr*),
                                    const char* rule) const {
    tx::Ref spec = optional_attr(model, attribute);
    tx::Ref dtype = spec ? dtype_named(spec.get()) : tx::Ref();
    if (!dtype || !fits(as_descr(dtype))) {
      tx::raise(PyExc_ValueError, where + " gives the " + role + " dtype " +
                                      (spec ? tx::repr(spec.get()) : std::string("of nothing")) + "; it must be " + rule);
    }
    return {spec, dtype};
  }

  // The parameters a later change re-indexes with.
  void parameters() const {
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
  }

  tx::Ref vector(PyObject* scores, const char* key, bool integer) const {
    tx::Ref array = score_entry(scores, key);
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
  }

  // Pointers run from 0 to the score count without decreasing, so every
  // column's range lies within the scores.
  void pointers(PyObject* indptr, std::int64_t n_scores) const {
    struct PointerScan {
      std::int64_t first, last, decrease, value;
    };
    const PointerScan scan = with_integer_view(indptr, [&](const auto* p, std::int64_t n) {
      const std::int64_t at = scan_entries(n, [&] { return ts::first_decrease(p, n); });
      return PointerScan{static_cast<std::int64_t>(p[0]), static_cast<std::int64_t>(p[n - 1]), at,
                         at < 0 ? 0 : static_cast<std::int64_t>(p[at])};
    });
    if (scan.first != 0) {
      tx::raise(PyExc_ValueError,
                where + " holds column pointers that start at " + std::to_string(scan.first) + ", not 0");
    }
    if (scan.decrease >= 0) {
      tx::raise(PyExc_ValueError, where + " holds the column pointer " + std::to_string(scan.value) +
                                      " at position " + std::to_string(scan.decrease) + ", below the one before it");
    }
    if (scan.last != n_scores) {
      tx::raise(PyExc_ValueError, where + " holds column pointers that end at " + std::to_string(scan.last) +
                                      ", not at its " + std::to_string(n_scores) + " scores");
    }
  }

  void document_indices(PyObject* indices, long long num_docs) const {
    const auto [outside, value] = with_integer_view(indices, [&](const auto* d, std::int64_t n) {
      const std::int64_t at = scan_entries(n, [&] { return ts::first_outside(d, n, num_docs); });
      return std::pair<std::int64_t, std::int64_t>{at, at < 0 ? 0 : static_cast<std::int64_t>(d[at])};
    });
    if (outside >= 0) {
      tx::raise(PyExc_ValueError, where + " holds the document index " + std::to_string(value) + " at position " +
                                      std::to_string(outside) + ", outside its " + std::to_string(num_docs) +
                                      " documents");
    }
  }

  // Every token id names a column. bm25s gives the empty token "" the id
  // after the last column, without a column of its own; no tokenised query
  // holds "", so that id is never looked up.
  void vocabulary(std::int64_t columns) const {
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
  }

  // BM25L and BM25+ hold one non-occurrence score per column.
  void nonoccurrence(std::int64_t columns) const {
    tx::Ref scores = optional_attr(model, tx::name<"nonoccurrence_array">());
    if (!scores || scores.is_none()) return;
    const bool vector_like = PyArray_Check(scores.get()) && PyArray_NDIM(tx::as_array_object(scores.get())) == 1;
    const std::int64_t held = vector_like ? PyArray_SIZE(tx::as_array_object(scores.get())) : -1;
    if (vector_like && !is_score_dtype(PyArray_DESCR(tx::as_array_object(scores.get())))) {
      tx::raise(PyExc_ValueError, where + " holds non-occurrence scores of dtype " + dtype_text(scores.get()) +
                                      "; they must be float32 or float64");
    }
    if (held < columns) {
      tx::raise(PyExc_ValueError,
                where + " holds " + (vector_like ? std::to_string(held) : std::string("no")) +
                    " non-occurrence scores for the " + std::to_string(columns) + " columns of its score matrix");
    }
  }
};

}  // namespace

// bm25s's numba kernel trusts the score matrix of its model: a document index
// at or above the document count makes a search write outside its score
// array, and a column pointer or token id out of place makes it read outside
// the matrix. A model read from a folder is checked once, here, so that no
// search of a loaded index can do either. The layout is bm25s's: a CSC matrix
// with one column per vocabulary id (scores["data"], ["indices"], ["indptr"],
// ["num_docs"]), the token -> id map vocab_dict, and for BM25L and BM25+ one
// non-occurrence score per column.
void check_loaded_model(PyObject* model, PyObject* path) {
  const ModelChecks check{model, "relevance_model in " + tx::repr(tx::str(path).get())};
  tx::Ref scores = optional_attr(model, tx::name<"scores">());
  if (!scores || !PyDict_Check(scores.get())) tx::raise(PyExc_ValueError, check.where + " holds no score matrix");

  const long long num_docs = check.document_count(scores.get());
  check.dtype(tx::name<"dtype">(), "score", is_score_dtype, "float32 or float64");
  const auto [index_dtype_spec, index_dtype] = check.dtype(
      tx::name<"int_dtype">(), "index", [](PyArray_Descr* d) -> bool { return PyDataType_ISINTEGER(d); },
      "an integer dtype");
  check.parameters();

  tx::Ref data = check.vector(scores.get(), "data", false);
  tx::Ref indices = check.vector(scores.get(), "indices", true);
  tx::Ref indptr = check.vector(scores.get(), "indptr", true);
  if (!is_score_dtype(PyArray_DESCR(tx::as_array_object(data.get())))) {
    tx::raise(PyExc_ValueError, check.where + " holds scores of dtype " + dtype_text(data.get()) +
                                    " as \"data\"; they must be float32 or float64");
  }
  const std::int64_t n_scores = PyArray_SIZE(tx::as_array_object(data.get()));
  const std::int64_t n_indices = PyArray_SIZE(tx::as_array_object(indices.get()));
  const std::int64_t n_pointers = PyArray_SIZE(tx::as_array_object(indptr.get()));
  if (n_indices != n_scores) {
    tx::raise(PyExc_ValueError, check.where + " holds " + std::to_string(n_indices) + " document indices but " +
                                    std::to_string(n_scores) + " scores");
  }
  if (n_pointers == 0) tx::raise(PyExc_ValueError, check.where + " holds no column pointers");
  check.pointers(indptr.get(), n_scores);
  check.document_indices(indices.get(), num_docs);

  const std::int64_t columns = n_pointers - 1;
  // Token ids run up to `columns` and document indices up to num_docs - 1;
  // a narrower index dtype would wrap them.
  const auto needed = static_cast<std::uint64_t>(std::max<std::int64_t>(columns, num_docs - 1));
  if (needed > integer_max(as_descr(index_dtype))) {
    tx::raise(PyExc_ValueError, check.where + " gives the index dtype " + tx::repr(index_dtype_spec.get()) +
                                    ", too narrow for its " + std::to_string(num_docs) + " documents and " +
                                    std::to_string(columns + 1) + " token ids");
  }
  check.vocabulary(columns);
  check.nonoccurrence(columns);
}

}  // namespace tx::term_scoring
