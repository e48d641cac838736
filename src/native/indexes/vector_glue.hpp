// The vector index's types and the helpers its glue files share
// (tarnix_impl_module.cpp: the module, its types and properties;
// vector_store.cpp: `_VectorStore`; vector_index.cpp: `_TarnixCore`'s
// training and writes; vector_search.cpp: its searches; vector_folder.cpp:
// the saved folders of both).
//
// `_TarnixCore` keeps every document twice: as a binary code in a
// `_CoreIndex` (the Hamming shortlist) and as a row of 8-bit codes in a
// `_VectorStore` (the exact rerank), beside the ids by position. Its parts
// are called by attribute name, so overrides written in Python are honoured;
// every imported name is looked up in this module's namespace at each use.
#pragma once

#include "support/ids.hpp"
#include "support/numpy.hpp"
#include "support/support.hpp"

#include <cmath>
#include <string>

namespace tx::vector_index {

inline tx::Namespace ns;
inline PyTypeObject* store_type = nullptr;
inline PyTypeObject* index_type = nullptr;

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// ---- small Python helpers ---------------------------------------------------

inline tx::Ref np_call(PyObject* function, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  return tx::call_method(ns.get<"np">().get(), function, args, kwnames);
}

template <tx::Literal L>
inline tx::Ref np_attr() {
  return tx::attr<L>(ns.get<"np">().get());
}

// numpy.ascontiguousarray(numpy.atleast_2d(x), dtype=float32)
inline tx::Ref float32_rows(PyObject* x) {
  tx::Ref rows = np_call(tx::name<"atleast_2d">(), {x});
  return np_call(tx::name<"ascontiguousarray">(), {rows.get(), np_attr<"float32">().get()}, tx::kwnames<"dtype">());
}

// A new C-ordered float32 copy of the queries, at least two-dimensional.
inline tx::Ref query_matrix(PyObject* query) {
  tx::Ref rows = np_call(tx::name<"atleast_2d">(), {query});
  return np_call(tx::name<"array">(), {rows.get(), np_attr<"float32">().get(), tx::py_str("C").get()},
                 tx::kwnames<"dtype", "order">());
}

inline tx::Ref shape_of(PyObject* array) { return tx::attr<"shape">(array); }

inline std::int64_t dim_size(PyObject* array, Py_ssize_t axis) {
  tx::Ref shape = shape_of(array);
  tx::Ref item = tx::Ref::steal(PySequence_GetItem(shape.get(), axis));
  return tx::to_int64(item.get());
}

inline std::int64_t ndim_of(PyObject* array) { return tx::to_int64(tx::attr<"ndim">(array).get()); }

inline std::string str_of(PyObject* o) { return tx::utf8(tx::Ref::steal(PyObject_Str(o)).get()); }

[[noreturn]] inline void length_mismatch(std::int64_t n_ids, std::int64_t n_vectors) {
  tx::raise(PyExc_ValueError, "ids and vectors must be the same length: got " + std::to_string(n_ids) +
                                  " ids and " + std::to_string(n_vectors) + " vectors");
}

inline void check_k(std::int32_t k) {
  if (k < 0) tx::raise(PyExc_ValueError, "k must be non-negative, got " + std::to_string(k));
}

// An 8-bit code holds 256 levels; more would saturate most codes at 255.
constexpr std::int64_t kMaxLevels = 256;

// ---- _VectorStore ------------------------------------------------------------

struct StoreState {
  std::int32_t levels = 256;  // bytes_: quantisation levels handed to the edge generator
  tx::Field boundaries;
  tx::Field matrix;

  int traverse(visitproc v, void* a) const { return tx::visit_fields(v, a, boundaries, matrix); }
  void clear() {
    boundaries.clear();
    matrix.clear();
  }
};

inline StoreState& store(PyObject* self) { return tx::state_of<StoreState>(self); }

// ---- _TarnixCore -------------------------------------------------------------

struct IndexState {
  tx::Field coreindex;
  tx::Field vectorstore;
  tx::Field n_candidates;  // None (automatic, filled once) or an integer
  tx::Field ids;
  tx::Field d_scale;  // None or a float

  int traverse(visitproc v, void* a) const {
    return tx::visit_fields(v, a, coreindex, vectorstore, n_candidates, ids, d_scale);
  }
  void clear() {
    coreindex.clear();
    vectorstore.clear();
    n_candidates.clear();
    ids.clear();
    d_scale.clear();
  }
};

inline IndexState& index(PyObject* self) { return tx::state_of<IndexState>(self); }

inline tx::Ref store_matrix(PyObject* store_obj) { return tx::attr<"matrix">(store_obj); }

inline bool is_trained(PyObject* self) { return tx::truth(tx::attr<"is_trained">(self).get()); }

// Defined in vector_index.cpp, used by the searches and the folder.
void resolve_auto_k(PyObject* self);
void resolve_d_scale(PyObject* self);
void check_dim(PyObject* self, PyObject* array, const char* name);

// ---- methods, by file ----------------------------------------------------------

using tx::Method;
using tx::Init;
Init store_init, index_init;
Method store_fit, store_train_mapped, store_search, store_update_row, store_append_rows, store_delete_rows;  // vector_store.cpp
Method index_fit, index_add, index_update, index_delete;  // vector_index.cpp
Method index_search_raw, index_search;                    // vector_search.cpp
Method store_save, store_load, index_save, index_load;    // vector_folder.cpp
PyObject* store_is_trained(PyObject* self, void*);        // vector_store.cpp

}  // namespace tx::vector_index
