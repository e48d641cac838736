// tarnix_engine.indexes._tarnix_impl: the quantised vector index.
//
// `_TarnixCore` keeps every document twice: as a binary code in a
// `_CoreIndex` (the Hamming shortlist) and as a row of 8-bit codes in a
// `_VectorStore` (the exact rerank), beside the ids by position. Its parts
// are called by attribute name, so overrides written in Python are honoured;
// every imported name is looked up in this module's namespace at each use.
#define TX_NUMPY_MAIN
#include "support/numpy.hpp"
#include "support/support.hpp"
#include "support/candidates.hpp"
#include "support/folder.hpp"
#include "support/positions.hpp"
#include "support/records.hpp"

#include <cmath>

#include "indexes/vector_stats.hpp"

namespace {

tx::Namespace ns;
PyTypeObject* store_type = nullptr;
PyTypeObject* index_type = nullptr;

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;
constexpr std::int64_t kVarianceSample = 100000;

// ---- small Python helpers ---------------------------------------------------

tx::Ref np_call(PyObject* function, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  return tx::call_method(ns.get<"np">().get(), function, args, kwnames);
}

template <tx::Literal L>
tx::Ref np_attr() {
  return tx::attr<L>(ns.get<"np">().get());
}

// numpy.ascontiguousarray(numpy.atleast_2d(x), dtype=float32)
tx::Ref float32_rows(PyObject* x) {
  tx::Ref rows = np_call(tx::name<"atleast_2d">(), {x});
  return np_call(tx::name<"ascontiguousarray">(), {rows.get(), np_attr<"float32">().get()}, tx::kwnames<"dtype">());
}

// A new C-ordered float32 copy of the queries, at least two-dimensional.
tx::Ref query_matrix(PyObject* query) {
  tx::Ref rows = np_call(tx::name<"atleast_2d">(), {query});
  return np_call(tx::name<"array">(), {rows.get(), np_attr<"float32">().get(), tx::py_str("C").get()},
                 tx::kwnames<"dtype", "order">());
}

tx::Ref shape_of(PyObject* array) { return tx::attr<"shape">(array); }

std::int64_t dim_size(PyObject* array, Py_ssize_t axis) {
  tx::Ref shape = shape_of(array);
  tx::Ref item = tx::Ref::steal(PySequence_GetItem(shape.get(), axis));
  return tx::to_int64(item.get());
}

std::int64_t ndim_of(PyObject* array) { return tx::to_int64(tx::attr<"ndim">(array).get()); }

std::string str_of(PyObject* o) { return tx::utf8(tx::Ref::steal(PyObject_Str(o)).get()); }

[[noreturn]] void length_mismatch(std::int64_t n_ids, std::int64_t n_vectors) {
  tx::raise(PyExc_ValueError, "ids and vectors must be the same length: got " + std::to_string(n_ids) +
                                  " ids and " + std::to_string(n_vectors) + " vectors");
}

void check_k(std::int32_t k) {
  if (k < 0) tx::raise(PyExc_ValueError, "k must be non-negative, got " + std::to_string(k));
}


// config.json of a folder: {"index_type": type}.
void write_type_config(PyObject* folder, const char* type) {
  tx::Ref config = tx::Ref::steal(PyDict_New());
  if (PyDict_SetItemString(config.get(), "index_type", tx::py_str(type).get()) < 0) tx::rethrow_python();
  tx::call(ns.get<"write_config">().get(), {tx::join_path(folder, "config.json").get(), config.get()});
}

constexpr tx::FolderKind kIndexFolder{"index", ". Refusing to load a mismatched index."};
constexpr tx::FolderKind kStoreFolder{"vector store"};

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

StoreState& store(PyObject* self) { return tx::state_of<StoreState>(self); }

void require_trained_store(PyObject* self) {
  if (store(self).matrix.is_none() || store(self).boundaries.is_none()) {
    tx::raise(PyExc_RuntimeError, "The vector store is not fitted.");
  }
}

// encode_dataset(data, edges, parallel) as a uint8 code matrix.
tx::Ref encode(PyObject* data, PyObject* edges, bool parallel) {
  tx::Ref codes = tx::call(ns.get<"encode_dataset">().get(), {data, edges, tx::py_bool(parallel).get()});
  return np_call(tx::name<"asarray">(), {codes.get(), np_attr<"uint8">().get()}, tx::kwnames<"dtype">());
}

void store_train(PyObject* self, PyObject* embeddings, PyObject* edges, bool parallel) {
  store(self).boundaries.set(tx::Ref::borrow(edges));
  store(self).matrix.set(encode(embeddings, edges, parallel));
}

int store_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<1>("_VectorStore", {"bytes_"}, 0);
    std::array<PyObject*, 1> a;
    sig.bind_call(args, kwargs, a);
    store(self).levels = a[0] ? tx::to_int32(a[0]) : 256;
    store(self).boundaries.clear();
    store(self).matrix.clear();
  });
}

PyObject* store_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("fit", {"embeddings", "parallel"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    const bool parallel = a[1] && tx::truth(a[1]);
    tx::Ref edges = tx::call(ns.get<"generate_numba">().get(), {a[0], tx::py_long(store(self).levels).get()});
    store_train(self, a[0], edges.get(), parallel);
    return tx::Ref::none();
  });
}

PyObject* store_train_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("_train_mapped", {"embeddings", "boundaries", "parallel"}, 2);
    std::array<PyObject*, 3> a;
    sig.bind(args, nargs, kwnames, a);
    const bool parallel = a[2] && tx::truth(a[2]);
    store_train(self, a[0], a[1], parallel);
    return tx::Ref::none();
  });
}

PyObject* store_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<4>("search", {"vectors", "k", "candidates", "parallel"}, 2);
    std::array<PyObject*, 4> a;
    sig.bind(args, nargs, kwnames, a);
    const std::int32_t k = tx::to_int32(a[1]);
    PyObject* candidates = a[2] ? a[2] : Py_None;
    const bool parallel = a[3] && tx::truth(a[3]);
    require_trained_store(self);
    // Converting the queries or the candidates may run Python code that
    // retrains this store: the arrays in use are held until the call ends.
    const tx::Ref edges = store(self).boundaries.ref();
    const tx::Ref matrix = store(self).matrix.ref();
    tx::Ref codes = encode(a[0], edges.get(), parallel);
    tx::Ref found = tx::call(ns.get<"_search">().get(),
                             {matrix.get(), codes.get(), tx::py_long(k).get(), candidates,
                              tx::py_bool(parallel).get()},
                             tx::kwnames<"vectors", "queries", "k", "bm25", "parallel">());
    auto [ids, distances] = tx::unpack_pair(found.get());
    tx::Ref ids64 = tx::call_method(ids.get(), tx::name<"astype">(), {np_attr<"int64">().get()});
    tx::Ref dist64 = tx::call_method(distances.get(), tx::name<"astype">(), {np_attr<"float64">().get()});
    return tx::Ref::steal(PyTuple_Pack(2, ids64.get(), dist64.get()));
  });
}

PyObject* store_update_row(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("_update_row", {"doc_id", "vector"}, 2);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    const std::int32_t row = tx::to_int32(a[0]);
    // Converted first: the conversion may run Python code that retrains the store.
    tx::Ref v = float32_rows(a[1]);
    require_trained_store(self);
    const tx::Ref edges = store(self).boundaries.ref();
    tx::Ref codes = encode(v.get(), edges.get(), false);
    tx::Ref first = tx::Ref::steal(PySequence_GetItem(codes.get(), 0));
    if (PyObject_SetItem(store(self).matrix.get(), tx::py_long(row).get(), first.get()) < 0) tx::rethrow_python();
    return tx::Ref::none();
  });
}

PyObject* store_append_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("_append_rows", {"embeddings", "parallel"}, 2);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    const bool parallel = tx::truth(a[1]);
    require_trained_store(self);
    // Held: converting the rows may run Python code that retrains the store,
    // and the new codes belong with the matrix of the edges they were made with.
    const tx::Ref edges = store(self).boundaries.ref();
    const tx::Ref matrix = store(self).matrix.ref();
    tx::Ref fresh = encode(a[0], edges.get(), parallel);
    tx::Ref both = tx::Ref::steal(PyTuple_Pack(2, matrix.get(), fresh.get()));
    store(self).matrix.set(np_call(tx::name<"vstack">(), {both.get()}));
    return tx::Ref::none();
  });
}

PyObject* store_delete_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("_delete_rows", {"positions"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    require_trained_store(self);
    // Held: iterating the positions may run Python code that replaces it.
    const tx::Ref matrix_ref = store(self).matrix.ref();
    PyObject* matrix = matrix_ref.get();
    const std::int64_t rows = dim_size(matrix, 0);
    tx::Ref keep = np_call(tx::name<"ones">(), {tx::py_long(rows).get(), np_attr<"bool_">().get()},
                           tx::kwnames<"dtype">());
    npy_bool* flags = tx::array_data<npy_bool>(keep.get());
    tx::Ref it = tx::Ref::steal(PyObject_GetIter(a[0]));
    while (PyObject* raw = PyIter_Next(it.get())) {
      tx::Ref item = tx::Ref::steal(raw);
      std::int64_t p = tx::to_int32(item.get());
      if (p < -rows || p >= rows) {
        tx::raise_format(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %lld",
                         static_cast<long long>(p), static_cast<long long>(rows));
      }
      flags[p < 0 ? p + rows : p] = 0;  // negative positions count from the end, as in numpy
    }
    if (PyErr_Occurred()) tx::rethrow_python();
    store(self).matrix.set(tx::Ref::steal(PyObject_GetItem(matrix, keep.get())));
    return tx::Ref::none();
  });
}

PyObject* store_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("save", {"directory"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    tx::require_exact(a[0], &PyUnicode_Type, "directory", true);
    if (store(self).matrix.is_none() || store(self).boundaries.is_none()) {
      tx::raise(PyExc_RuntimeError, "Cannot save an unfitted index.");
    }
    // One state is written: writing a file lets other threads run, and one may retrain the store.
    const tx::Ref matrix = store(self).matrix.ref();
    const tx::Ref edges = store(self).boundaries.ref();
    tx::Ref folder = tx::call(ns.get<"Path">().get(), {a[0]});
    tx::staged_save(ns, folder.get(), {"matrix.npy", "boundaries.npy", "config.json"}, [&](PyObject* staged) {
      np_call(tx::name<"save">(), {tx::str(tx::join_path(staged, "matrix.npy").get()).get(), matrix.get()});
      np_call(tx::name<"save">(), {tx::str(tx::join_path(staged, "boundaries.npy").get()).get(), edges.get()});
      write_type_config(staged, "vectorstore");
    });
    return tx::Ref::none();
  });
}

PyObject* store_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("load", {"directory"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    tx::require_exact(a[0], &PyUnicode_Type, "directory", true);
    tx::call(ns.get<"refuse_interrupted_swap">().get(), {a[0]});
    const tx::SavedFolder folder(kStoreFolder, tx::fs_path(a[0]), tx::utf8(a[0]));
    tx::Ref obj = tx::call(cls, {});
    if (!PyObject_TypeCheck(obj.get(), store_type)) {
      tx::raise_format(PyExc_TypeError, "%s() did not return a _VectorStore", reinterpret_cast<PyTypeObject*>(cls)->tp_name);
    }
    store(obj.get()).levels = 256;
    store(obj.get()).matrix.set(np_call(tx::name<"load">(), {folder.member("matrix.npy").get()}));
    store(obj.get()).boundaries.set(np_call(tx::name<"load">(), {folder.member("boundaries.npy").get()}));
    return obj;
  });
}

PyObject* store_is_trained(PyObject* self, void*) {
  return tx::guard([&] { return tx::py_bool(!store(self).matrix.is_none()); });
}

PyMethodDef store_methods[] = {
    {"fit", tx::as_cfunction(store_fit), kFastcall, "fit(embeddings, parallel=False)\n--\n\nBuild the bin edges and encode."},
    {"_train_mapped", tx::as_cfunction(store_train_mapped), kFastcall, "Encode with given bin edges."},
    {"search", tx::as_cfunction(store_search), kFastcall, "Exact rerank of each query's candidate row."},
    {"_update_row", tx::as_cfunction(store_update_row), kFastcall, "Re-encode one row in place."},
    {"_append_rows", tx::as_cfunction(store_append_rows), kFastcall, "Encode and append rows."},
    {"_delete_rows", tx::as_cfunction(store_delete_rows), kFastcall, "Remove rows, closing the gaps."},
    {"save", tx::as_cfunction(store_save), kFastcall, "Write the store's folder."},
    {"load", tx::as_cfunction(store_load), kFastcall | METH_CLASS, "Read a store's folder."},
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef store_getset[] = {
    {"boundaries", tx::field_getter<StoreState, &StoreState::boundaries>, nullptr, "Bin edges per dimension.", nullptr},
    {"matrix", tx::field_getter<StoreState, &StoreState::matrix>, nullptr, "The uint8 code matrix.", nullptr},
    {"is_trained", store_is_trained, nullptr, "True once a code matrix exists.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(store_init)},
    {Py_tp_methods, store_methods},
    {Py_tp_getset, store_getset},
    {Py_tp_doc, const_cast<char*>("8-bit per-dimension codes of a vector set: the exact-rerank half of the index.")},
    {0, nullptr},
};

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

IndexState& index(PyObject* self) { return tx::state_of<IndexState>(self); }

tx::Ref store_matrix(PyObject* store_obj) { return tx::attr<"matrix">(store_obj); }

bool is_trained(PyObject* self) { return tx::truth(tx::attr<"is_trained">(self).get()); }

tx::Ref default_n_candidates(std::int64_t rows) {
  tx::Ref terms = tx::Ref::steal(PyFloat_FromDouble(tx::vector_index::shortlist_terms(rows)));
  tx::Ref smallest = tx::py_min(terms, ns.get<"MAX_DEFAULT_N_CANDIDATES">());
  return tx::Ref::steal(PyNumber_Long(smallest.get()));
}

// The shortlist size to keep: the current one, or the automatic one for the
// rows of `store_obj` when there is none yet.
tx::Ref auto_k(PyObject* current, PyObject* store_obj) {
  if (current != Py_None) return tx::Ref::borrow(current);
  return default_n_candidates(tx::length(store_matrix(store_obj).get()));
}

// Score scale of a store: twice the total code variance over (a seeded
// sample of) its rows, 1.0 when that is not positive, None without rows.
tx::Ref d_scale_of(PyObject* store_obj) {
  tx::Ref matrix = store_matrix(store_obj);
  if (matrix.is_none()) return tx::Ref::none();
  const std::int64_t rows = tx::length(matrix.get());
  if (rows == 0) return tx::Ref::none();
  tx::Ref sample;
  if (rows > kVarianceSample) {
    tx::Ref rng = tx::call_method(np_attr<"random">().get(), tx::name<"default_rng">(), {tx::py_long(42).get()});
    sample = tx::call_method(rng.get(), tx::name<"choice">(),
                             {tx::py_long(rows).get(), tx::py_long(kVarianceSample).get(), Py_False},
                             tx::kwnames<"size", "replace">());
    sample = tx::contiguous_array(sample.get(), NPY_INT64);
  }
  double total;
  if (tx::is_c_contiguous_of(matrix.get(), NPY_UINT8) && ndim_of(matrix.get()) == 2) {
    const std::uint8_t* codes = tx::array_data<std::uint8_t>(matrix.get());
    const std::int64_t dim = dim_size(matrix.get(), 1);
    const std::int64_t* picked = sample ? tx::array_data<std::int64_t>(sample.get()) : nullptr;
    const std::int64_t n = sample ? kVarianceSample : rows;
    tx::ReleaseGil nogil;
    total = tx::vector_index::total_code_variance(codes, dim, picked, n);
  } else {
    // A matrix of another layout (loaded as stored): let numpy do it.
    tx::Ref rows_used = sample ? tx::Ref::steal(PyObject_GetItem(matrix.get(), sample.get())) : matrix;
    tx::Ref var = tx::call_method(rows_used.get(), tx::name<"var">(), {tx::py_long(0).get(), np_attr<"float64">().get()},
                                  tx::kwnames<"axis", "dtype">());
    total = PyFloat_AsDouble(tx::call_method(var.get(), tx::name<"sum">(), {}).get());
    if (total == -1.0 && PyErr_Occurred()) tx::rethrow_python();
  }
  const double scale = 2.0 * total;
  return tx::Ref::steal(PyFloat_FromDouble(scale > 0.0 ? scale : 1.0));
}

void resolve_auto_k(PyObject* self) {
  index(self).n_candidates.set(auto_k(index(self).n_candidates.get(), index(self).vectorstore.get()));
}

void resolve_d_scale(PyObject* self) { index(self).d_scale.set(d_scale_of(index(self).vectorstore.get())); }

void check_dim(PyObject* self, PyObject* array, const char* name) {
  const std::int64_t d = tx::length(tx::attr<"medians">(index(self).coreindex.get()).get());
  tx::Ref shape = shape_of(array);
  const bool ok = tx::length(shape.get()) == 2 && dim_size(array, 1) == d;
  if (!ok) {
    tx::raise(PyExc_ValueError, std::string(name ? name : "None") + " must have dimension " + std::to_string(d) +
                                    " to match the index, got shape " + str_of(shape.get()));
  }
}

tx::Ref numbered_ids(std::int64_t n) {
  tx::Ref ids = tx::Ref::steal(PyList_New(n));
  for (std::int64_t i = 0; i < n; ++i) {
    PyObject* id = PyUnicode_FromFormat("%lld", static_cast<long long>(i));
    if (id == nullptr) tx::rethrow_python();
    PyList_SET_ITEM(ids.get(), i, id);
  }
  return ids;
}

int index_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<1>("_TarnixCore", {"n_candidates"}, 0);
    std::array<PyObject*, 1> a;
    sig.bind_call(args, kwargs, a);
    IndexState& s = index(self);
    s.coreindex.set(tx::call(ns.get<"_CoreIndex">().get(), {}));
    s.vectorstore.set(tx::call(reinterpret_cast<PyObject*>(store_type), {tx::py_long(256).get()}));
    s.n_candidates.set(tx::Ref::borrow(a[0] ? a[0] : Py_None));
    s.ids.set(tx::Ref::steal(PyList_New(0)));
    s.d_scale.clear();
  });
}

// fit: both parts are trained from scratch. They are built fresh and swapped
// in only when everything succeeded, so a failure leaves the index as it was.
tx::Ref fit_impl(PyObject* self, PyObject* embeddings, bool parallel, PyObject* params) {
  tx::Ref core = tx::call(ns.get<"_CoreIndex">().get(), {});
  tx::Ref vstore = tx::call(reinterpret_cast<PyObject*>(store_type), {tx::py_long(256).get()});
  PyObject* flag = parallel ? Py_True : Py_False;
  if (params == Py_None) {
    tx::call_method(core.get(), tx::name<"fit">(), {embeddings, flag});
    tx::call_method(vstore.get(), tx::name<"fit">(), {embeddings, flag});
  } else {
    tx::call_method(core.get(), tx::name<"_train_from_params">(),
                    {embeddings, tx::attr<"fit_values">(params).get(), flag});
    tx::call_method(vstore.get(), tx::name<"_train_mapped">(), {embeddings, tx::attr<"boundaries">(params).get(), flag});
  }
  IndexState& s = index(self);
  tx::Ref n_candidates = auto_k(s.n_candidates.get(), vstore.get());
  tx::Ref scale = d_scale_of(vstore.get());
  const std::int64_t rows = tx::length(store_matrix(vstore.get()).get());
  // Ids always match the rows: kept when the count agrees, renumbered otherwise.
  tx::Ref ids = s.ids.ref();
  if (!PyList_Check(ids.get()) || PyList_GET_SIZE(ids.get()) == 0 || PyList_GET_SIZE(ids.get()) != rows) {
    ids = numbered_ids(rows);
  }
  s.coreindex.set(core);
  s.vectorstore.set(vstore);
  s.n_candidates.set(n_candidates);
  s.d_scale.set(scale);
  s.ids.set(ids);
  return tx::Ref::none();
}

PyObject* index_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("fit", {"embeddings", "parallel", "params"}, 1);
    std::array<PyObject*, 3> a;
    sig.bind(args, nargs, kwnames, a);
    const bool parallel = a[1] && tx::truth(a[1]);
    return fit_impl(self, a[0], parallel, a[2] ? a[2] : Py_None);
  });
}

PyObject* index_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("add", {"ids", "vectors", "parallel"}, 2);
    std::array<PyObject*, 3> a;
    sig.bind(args, nargs, kwnames, a);
    PyObject* new_ids = a[0];
    tx::require_exact(new_ids, &PyList_Type, "ids", true);
    const bool parallel = a[2] && tx::truth(a[2]);
    PyObject* flag = parallel ? Py_True : Py_False;

    tx::Ref v = float32_rows(a[1]);
    if (ndim_of(v.get()) > 2) {
      tx::Ref shape = np_call(tx::name<"shape">(), {a[1]});
      tx::raise(PyExc_ValueError, "vectors must be 1D or 2D, got shape " + str_of(shape.get()));
    }
    const std::int64_t n_vectors = dim_size(v.get(), 0);
    const std::int64_t n_ids = tx::length(new_ids);
    if (n_ids != n_vectors) length_mismatch(n_ids, n_vectors);
    tx::call(ns.get<"_require_finite">().get(), {v.get(), tx::py_str("vectors").get()});

    IndexState& s = index(self);
    if (is_trained(self)) {
      check_dim(self, v.get(), "vectors");
      tx::Ref core = s.coreindex.ref();
      const std::int64_t before = tx::to_int64(tx::attr<"rows">(tx::attr<"matrix">(core.get()).get()).get());
      tx::call_method(core.get(), tx::name<"append">(), {v.get(), flag});
      const tx::Ref vstore = s.vectorstore.ref();  // held: the call may run Python code that refits us
      try {
        tx::call_method(vstore.get(), tx::name<"_append_rows">(), {v.get(), flag});
      } catch (const tx::PyErrorSet&) {
        // Take the rows back out of the binary half so both halves agree again.
        tx::cleanup_keeping_error([&] {
          tx::Ref appended = tx::Ref::steal(PyList_New(n_vectors));
          for (std::int64_t i = 0; i < n_vectors; ++i) PyList_SET_ITEM(appended.get(), i, PyLong_FromLongLong(before + i));
          tx::call_method(core.get(), tx::name<"delete_rows">(), {appended.get()});
        });
        throw;
      }
      tx::call_method(s.ids.get(), tx::name<"extend">(), {new_ids});
      resolve_auto_k(self);
      resolve_d_scale(self);
      return tx::Ref::none();
    }
    tx::Ref previous_ids = s.ids.ref();
    s.ids.set(tx::Ref::steal(PyList_New(0)));
    try {
      tx::call_virtual(
          self, index_type, tx::name<"fit">(), reinterpret_cast<void*>(index_fit),
          [&] { return fit_impl(self, v.get(), parallel, Py_None); }, {v.get(), flag}, tx::kwnames<"parallel">());
    } catch (const tx::PyErrorSet&) {
      s.ids.set(previous_ids);
      throw;
    }
    s.ids.set(tx::Ref::steal(PySequence_List(new_ids)));
    return tx::Ref::none();
  });
}

PyObject* index_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("update", {"ids", "vectors"}, 2);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    PyObject* ids = a[0];
    tx::require_exact(ids, &PyList_Type, "ids", true);
    tx::Ref rows = np_call(tx::name<"atleast_2d">(), {a[1]});
    if (is_trained(self)) check_dim(self, rows.get(), "vectors");

    IndexState& s = index(self);
    tx::Ref where = tx::Ref::steal(PyDict_New());
    tx::Ref held = s.ids.ref();
    const Py_ssize_t n_held = tx::length(held.get());
    for (Py_ssize_t p = 0; p < n_held; ++p) {
      tx::Ref id = tx::Ref::steal(PySequence_GetItem(held.get(), p));
      if (PyDict_SetItem(where.get(), id.get(), tx::py_long(p).get()) < 0) tx::rethrow_python();
    }
    // Everything is checked before the first row changes.
    tx::Ref targets = tx::Ref::steal(PySequence_List(ids));  // None: "'NoneType' object is not iterable"
    const std::int64_t n_vectors = dim_size(rows.get(), 0);
    if (PyList_GET_SIZE(targets.get()) != n_vectors) length_mismatch(PyList_GET_SIZE(targets.get()), n_vectors);
    std::vector<std::int32_t> positions;
    positions.reserve(static_cast<std::size_t>(n_vectors));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(targets.get()); ++i) {
      PyObject* id = PyList_GET_ITEM(targets.get(), i);
      PyObject* found = nullptr;
      const int hit = PyDict_GetItemRef(where.get(), id, &found);
      if (hit < 0) tx::rethrow_python();
      if (hit == 0) {
        PyErr_SetObject(PyExc_KeyError, id);
        tx::rethrow_python();
      }
      tx::Ref position = tx::Ref::steal(found);
      positions.push_back(tx::to_int32(position.get()));
    }
    tx::Ref v = float32_rows(rows.get());
    tx::call(ns.get<"_require_finite">().get(), {v.get(), tx::py_str("vectors").get()});
    if (positions.empty()) return tx::Ref::none();
    // The 8-bit half is written first, its old code rows kept, so that a
    // failure there is undone before the binary half is touched.
    tx::Ref where_rows = tx::Ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    for (std::size_t i = 0; i < positions.size(); ++i) {
      PyList_SET_ITEM(where_rows.get(), static_cast<Py_ssize_t>(i), PyLong_FromLong(positions[i]));
    }
    if (PyErr_Occurred()) tx::rethrow_python();
    // Both parts are held: their calls may run Python code that refits us.
    const tx::Ref vstore = s.vectorstore.ref();
    const tx::Ref core = s.coreindex.ref();
    tx::Ref matrix = store_matrix(vstore.get());
    tx::Ref saved = tx::Ref::steal(PyObject_GetItem(matrix.get(), where_rows.get()));
    auto row_at = [&](std::size_t i) { return tx::Ref::steal(PySequence_GetItem(v.get(), static_cast<Py_ssize_t>(i))); };
    try {
      for (std::size_t i = 0; i < positions.size(); ++i) {
        tx::call_method(vstore.get(), tx::name<"_update_row">(),
                        {PyList_GET_ITEM(where_rows.get(), i), row_at(i).get()});
      }
    } catch (const tx::PyErrorSet&) {
      tx::cleanup_keeping_error([&] {
        if (PyObject_SetItem(matrix.get(), where_rows.get(), saved.get()) < 0) tx::rethrow_python();
      });
      throw;
    }
    std::size_t done = 0;
    try {
      for (; done < positions.size(); ++done) {
        tx::call_method(core.get(), tx::name<"update_vector">(),
                        {PyList_GET_ITEM(where_rows.get(), done), row_at(done).get()});
      }
    } catch (const tx::PyErrorSet&) {
      // The binary half took the first `done` pairs: bring the store to the
      // same point (old rows back, then those pairs again, in order).
      tx::cleanup_keeping_error([&] {
        if (PyObject_SetItem(matrix.get(), where_rows.get(), saved.get()) < 0) tx::rethrow_python();
        for (std::size_t i = 0; i < done; ++i) {
          tx::call_method(vstore.get(), tx::name<"_update_row">(),
                          {PyList_GET_ITEM(where_rows.get(), i), row_at(i).get()});
        }
      });
      throw;
    }
    return tx::Ref::none();
  });
}

PyObject* index_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("delete", {"ids"}, 1);
    std::array<PyObject*, 1> a;
    sig.bind(args, nargs, kwnames, a);
    tx::require_exact(a[0], &PyList_Type, "ids", true);
    IndexState& s = index(self);
    tx::Ref drop = tx::Ref::steal(PySet_New(a[0]));
    tx::Ref held = s.ids.ref();
    tx::Ref held_set = tx::Ref::steal(PySet_New(held.get()));
    tx::Ref missing = tx::Ref::steal(PyNumber_Subtract(drop.get(), held_set.get()));
    if (PySet_GET_SIZE(missing.get()) > 0) {
      tx::Ref text = tx::Ref::steal(PyUnicode_FromFormat("IDs not in index: %S", missing.get()));
      PyErr_SetObject(PyExc_KeyError, text.get());
      tx::rethrow_python();
    }
    tx::Ref positions = tx::Ref::steal(PyList_New(0));
    tx::Ref kept = tx::Ref::steal(PyList_New(0));
    const Py_ssize_t n = tx::length(held.get());
    for (Py_ssize_t p = 0; p < n; ++p) {
      tx::Ref id = tx::Ref::steal(PySequence_GetItem(held.get(), p));
      const int dropped = PySet_Contains(drop.get(), id.get());
      if (dropped < 0) tx::rethrow_python();
      if (PyList_Append(dropped ? positions.get() : kept.get(), dropped ? tx::py_long(p).get() : id.get()) < 0) {
        tx::rethrow_python();
      }
    }
    // The store goes first: its old matrix can be put back if the binary half fails.
    // Both parts are held: their calls may run Python code that refits us.
    const tx::Ref vstore = s.vectorstore.ref();
    const tx::Ref core = s.coreindex.ref();
    tx::Ref old_matrix = store_matrix(vstore.get());
    tx::call_method(vstore.get(), tx::name<"_delete_rows">(), {positions.get()});
    try {
      tx::call_method(core.get(), tx::name<"delete_rows">(), {positions.get()});
    } catch (const tx::PyErrorSet&) {
      if (PyObject_TypeCheck(vstore.get(), store_type)) store(vstore.get()).matrix.set(old_matrix);
      throw;
    }
    s.ids.set(kept);
    return tx::Ref::none();
  });
}

// ---- searching -----------------------------------------------------------------

tx::Ref normalize_candidates(PyObject* candidates, std::int64_t n_rows) {
  tx::Ref c = tx::require_integer_positions(candidates);
  const std::int64_t nd = ndim_of(c.get());
  if (nd == 1) {
    c = tx::call_method(c.get(), tx::name<"astype">(), {np_attr<"int64">().get(), Py_False}, tx::kwnames<"copy">());
    // Positions from the pre-filter store are already sorted, distinct and in
    // range: hand them on as they are instead of sorting them again.
    if (tx::is_c_contiguous_of(c.get(), NPY_INT64)) {
      const std::int64_t n = dim_size(c.get(), 0);
      const std::int64_t* p = tx::array_data<std::int64_t>(c.get());
      bool ready;
      {
        tx::ReleaseGil nogil;
        ready = tx::is_sorted_distinct_in_range(p, n, n_rows);
      }
      if (ready) return c;
    }
    tx::Ref low = tx::Ref::steal(PyObject_RichCompare(c.get(), tx::py_long(0).get(), Py_GE));
    tx::Ref high = tx::Ref::steal(PyObject_RichCompare(c.get(), tx::py_long(n_rows).get(), Py_LT));
    tx::Ref inside = tx::Ref::steal(PyNumber_And(low.get(), high.get()));
    tx::Ref kept = tx::Ref::steal(PyObject_GetItem(c.get(), inside.get()));
    return np_call(tx::name<"unique">(), {kept.get()});
  }
  if (nd == 2) {
    // Object arrays hold checked integers; numpy converts them only when asked to.
    if (PyArray_TYPE(tx::as_array_object(c.get())) == NPY_OBJECT) return tx::cast_contiguous_array(c.get(), NPY_INT64);
    return c;
  }
  tx::raise(PyExc_ValueError, "candidates must be 1D or 2D, got shape " + str_of(shape_of(c.get()).get()));
}

// Per-query candidate rows must pair one to one with the queries.
void check_candidate_rows(PyObject* c, std::int64_t n_queries) {
  if (c == Py_None || ndim_of(c) != 2) return;
  const std::int64_t rows = dim_size(c, 0);
  if (rows != n_queries) {
    tx::raise(PyExc_ValueError, "candidates must have one row per query: got " + std::to_string(rows) +
                                    " rows for " + std::to_string(n_queries) + " queries");
  }
}

std::pair<std::int32_t, std::int32_t> resolve_k_h(PyObject* self, std::int32_t k, PyObject* c, PyObject* n_candidates,
                                                  std::int64_t n_rows) {
  PyObject* base_obj = n_candidates != Py_None ? n_candidates : index(self).n_candidates.get();
  std::int64_t k_h = std::max<std::int64_t>(tx::to_int32(base_obj), k);
  if (c != Py_None) {
    k_h = std::min<std::int64_t>(k_h, dim_size(c, ndim_of(c) - 1));
  } else {
    k_h = std::min<std::int64_t>(k_h, n_rows);
  }
  const std::int64_t k_eff = std::min<std::int64_t>(k_h, k);
  return {static_cast<std::int32_t>(k_h), static_cast<std::int32_t>(k_eff)};
}

tx::Ref search_raw_chunk(PyObject* self, PyObject* queries, std::int32_t k, std::int32_t k_h, PyObject* c,
                         bool parallel) {
  // Both parts are held: a search lets other threads run, and one may refit us.
  const tx::Ref core_ref = index(self).coreindex.ref();
  const tx::Ref vstore = index(self).vectorstore.ref();
  PyObject* core = core_ref.get();
  PyObject* flag = parallel ? Py_True : Py_False;
  tx::Ref width = tx::py_long(k_h);
  tx::Ref found;
  if (c == Py_None) {
    found = tx::call_method(core, tx::name<"search_full">(), {queries, width.get(), flag});
  } else if (ndim_of(c) == 1) {
    found = tx::call_method(core, tx::name<"search_subset">(), {queries, width.get(), c, flag});
  } else {
    found = tx::call_method(core, tx::name<"search">(), {queries, width.get(), c, flag});
  }
  auto [shortlist, unused] = tx::unpack_pair(found.get());
  return tx::call_method(vstore.get(), tx::name<"search">(),
                         {queries, tx::py_long(std::min(k_h, k)).get(), shortlist.get(), flag},
                         tx::kwnames<"candidates", "parallel">());
}

void require_fitted_store(PyObject* self) {
  if (store_matrix(index(self).vectorstore.get()).is_none()) {
    tx::raise(PyExc_RuntimeError, "Cannot search an unfitted index.");
  }
}

tx::Ref search_raw_impl(PyObject* self, PyObject* vectors, std::int32_t k, PyObject* candidates, bool parallel,
                        PyObject* n_candidates) {
  check_k(k);
  tx::Ref q = query_matrix(vectors);
  require_fitted_store(self);
  check_dim(self, q.get(), "query vectors");
  const std::int64_t n_rows = tx::length(store_matrix(index(self).vectorstore.get()).get());
  const std::int64_t n_queries = dim_size(q.get(), 0);
  tx::Ref c = tx::Ref::none();
  if (candidates != Py_None) {
    c = normalize_candidates(candidates, n_rows);
    if (ndim_of(c.get()) == 1 && dim_size(c.get(), 0) == 0) {
      const std::int64_t w = std::max<std::int64_t>(1, std::min<std::int64_t>(n_rows, k));
      tx::Ref shape = tx::Ref::steal(Py_BuildValue("(LL)", static_cast<long long>(n_queries), static_cast<long long>(w)));
      tx::Ref ids = np_call(tx::name<"full">(), {shape.get(), tx::py_long(-1).get(), np_attr<"int64">().get()},
                            tx::kwnames<"dtype">());
      tx::Ref dist = np_call(tx::name<"full">(),
                             {shape.get(), tx::Ref::steal(PyFloat_FromDouble(2147483647.0)).get(), np_attr<"float64">().get()},
                             tx::kwnames<"dtype">());
      return tx::Ref::steal(PyTuple_Pack(2, ids.get(), dist.get()));
    }
    check_candidate_rows(c.get(), n_queries);
  }
  auto [k_h, k_eff] = resolve_k_h(self, k, c.get(), n_candidates, n_rows);
  (void)k_eff;
  return search_raw_chunk(self, q.get(), k, k_h, c.get(), parallel);
}

PyObject* index_search_raw(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<5>("search_raw", {"vectors", "k", "candidates", "parallel", "n_candidates"}, 2);
    std::array<PyObject*, 5> a;
    sig.bind(args, nargs, kwnames, a);
    const std::int32_t k = tx::to_int32(a[1]);
    const bool parallel = a[3] && tx::truth(a[3]);
    return search_raw_impl(self, a[0], k, a[2] ? a[2] : Py_None, parallel, a[4] ? a[4] : Py_None);
  });
}

// search_raw through its slot, so that an override in Python is reached.
tx::Ref dispatch_search_raw(PyObject* self, PyObject* queries, std::int32_t k, PyObject* c, bool parallel) {
  tx::Ref k_obj = tx::py_long(k);
  PyObject* flag = parallel ? Py_True : Py_False;
  return tx::call_virtual(
      self, index_type, tx::name<"search_raw">(), reinterpret_cast<void*>(index_search_raw),
      [&] { return search_raw_impl(self, queries, k, c, parallel, Py_None); }, {queries, k_obj.get(), c, flag},
      tx::kwnames<"candidates", "parallel">());
}

tx::Ref slice_rows(PyObject* array, std::int64_t start, std::int64_t end) {
  tx::Ref s = tx::Ref::steal(PySlice_New(tx::py_long(start).get(), tx::py_long(end).get(), nullptr));
  return tx::Ref::steal(PyObject_GetItem(array, s.get()));
}

tx::Ref search_impl(PyObject* self, PyObject* query, std::int32_t k, bool parallel, PyObject* batch_size,
                    PyObject* candidates) {
  check_k(k);
  tx::Ref q = query_matrix(query);
  const std::int64_t nq = dim_size(q.get(), 0);
  const bool single = nq == 1;
  require_fitted_store(self);
  const std::int64_t n_rows = tx::length(store_matrix(index(self).vectorstore.get()).get());
  k = static_cast<std::int32_t>(std::min<std::int64_t>(k, n_rows));
  tx::Ref c = tx::Ref::none();
  if (candidates != Py_None) {
    c = normalize_candidates(candidates, n_rows);
    if (dim_size(c.get(), ndim_of(c.get()) - 1) == 0) {
      if (single) return tx::Ref::steal(PyList_New(0));
      tx::Ref rows = tx::Ref::steal(PyList_New(nq));
      for (std::int64_t i = 0; i < nq; ++i) PyList_SET_ITEM(rows.get(), i, PyList_New(0));
      if (PyErr_Occurred()) tx::rethrow_python();
      return rows;
    }
    check_candidate_rows(c.get(), nq);
  }
  const std::int64_t dim = dim_size(q.get(), 1);
  auto [k_h, k_eff] = resolve_k_h(self, k, c.get(), Py_None, n_rows);

  tx::Ref threads = tx::call(ns.get<"resolve_num_threads">().get(), {tx::py_bool(parallel).get(), tx::py_long(nq).get()});
  const std::int64_t bytes_per_query = 8 * (6 * static_cast<std::int64_t>(k_eff) + k_h + 2 * dim);
  tx::Ref batch_obj = tx::call(ns.get<"resolve_batch_size">().get(),
                               {tx::py_long(nq).get(), tx::py_long(bytes_per_query).get(), batch_size, threads.get()},
                               tx::kwnames<"batch_size", "num_threads">());
  const std::int64_t batch = tx::to_int64(batch_obj.get());
  if (batch < 1) {
    tx::raise(PyExc_ValueError, "resolve_batch_size returned " + std::to_string(batch) + "; a chunk needs at least one query");
  }

  tx::Ref positions, distances;
  if (batch < nq) {
    tx::Ref shape = tx::Ref::steal(Py_BuildValue("(LL)", static_cast<long long>(nq), static_cast<long long>(k_eff)));
    positions = np_call(tx::name<"empty">(), {shape.get(), np_attr<"int64">().get()}, tx::kwnames<"dtype">());
    distances = np_call(tx::name<"empty">(), {shape.get(), np_attr<"float64">().get()}, tx::kwnames<"dtype">());
    const bool per_query_rows = !c.is_none() && ndim_of(c.get()) == 2;
    for (std::int64_t start = 0; start < nq; start += batch) {
      const std::int64_t end = std::min(nq, start + batch);
      tx::Ref chunk = slice_rows(q.get(), start, end);
      // Per-query candidate rows travel with their queries.
      tx::Ref chunk_c = per_query_rows ? slice_rows(c.get(), start, end) : c;
      tx::Ref found = dispatch_search_raw(self, chunk.get(), k, chunk_c.get(), parallel);
      auto [p, d] = tx::unpack_pair(found.get());
      tx::Ref rows = tx::Ref::steal(PySlice_New(tx::py_long(start).get(), tx::py_long(end).get(), nullptr));
      if (PyObject_SetItem(positions.get(), rows.get(), p.get()) < 0) tx::rethrow_python();
      if (PyObject_SetItem(distances.get(), rows.get(), d.get()) < 0) tx::rethrow_python();
    }
  } else {
    tx::Ref found = dispatch_search_raw(self, q.get(), k, c.get(), parallel);
    auto [p, d] = tx::unpack_pair(found.get());
    positions = p;
    distances = d;
  }

  PyObject* scale_obj = index(self).d_scale.get();
  tx::Ref scale = scale_obj == Py_None ? tx::Ref::steal(PyFloat_FromDouble(1.0)) : tx::Ref::borrow(scale_obj);
  tx::Ref d64 = tx::call_method(distances.get(), tx::name<"astype">(), {np_attr<"float64">().get()});
  tx::Ref negated = tx::Ref::steal(PyNumber_Negative(d64.get()));
  tx::Ref scaled = tx::Ref::steal(PyNumber_TrueDivide(negated.get(), scale.get()));
  tx::Ref scores = tx::contiguous_array(np_call(tx::name<"exp">(), {scaled.get()}).get(), NPY_FLOAT64);
  tx::Ref pos64 = tx::contiguous_array(positions.get(), NPY_INT64);
  if (PyArray_NDIM(tx::as_array_object(pos64.get())) != 2 || PyArray_NDIM(tx::as_array_object(scores.get())) != 2 ||
      !PyArray_SAMESHAPE(tx::as_array_object(pos64.get()), tx::as_array_object(scores.get()))) {
    tx::raise(PyExc_ValueError, "search_raw returned positions and distances of different shapes");
  }
  const npy_intp rows = PyArray_DIM(tx::as_array_object(pos64.get()), 0);
  const npy_intp width = PyArray_DIM(tx::as_array_object(pos64.get()), 1);
  const std::int64_t* pos = tx::array_data<std::int64_t>(pos64.get());
  const double* score = tx::array_data<double>(scores.get());

  // Held: building the records runs Python code, which may replace the list.
  tx::Ref ids = index(self).ids.ref();
  const bool numbered = !PyList_Check(ids.get()) || PyList_GET_SIZE(ids.get()) == 0;
  tx::Ref out = tx::hit_rows(ns.get<"SearchResult">().get(), tx::kwnames<"rank", "id", "score">(), pos, score, rows,
                             width, ids.get(), numbered);
  if (single) {
    // An overridden search_raw may hand back no row at all.
    if (rows < 1) tx::raise(PyExc_IndexError, "list index out of range");
    return tx::Ref::borrow(PyList_GET_ITEM(out.get(), 0));
  }
  return out;
}

PyObject* index_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<5>("search", {"query", "k", "parallel", "batch_size", "candidates"}, 2);
    std::array<PyObject*, 5> a;
    sig.bind(args, nargs, kwnames, a);
    const std::int32_t k = tx::to_int32(a[1]);
    const bool parallel = a[2] && tx::truth(a[2]);
    return search_impl(self, a[0], k, parallel, a[3] ? a[3] : Py_None, a[4] ? a[4] : Py_None);
  });
}

// ---- folder ------------------------------------------------------------------

void write_meta(PyObject* folder, PyObject* n_candidates, PyObject* d_scale) {
  tx::Ref meta = tx::Ref::steal(PyDict_New());
  if (PyDict_SetItemString(meta.get(), "n_candidates", n_candidates) < 0 ||
      PyDict_SetItemString(meta.get(), "d_scale", d_scale) < 0) {
    tx::rethrow_python();
  }
  tx::call(ns.get<"write_config">().get(), {tx::join_path(folder, "index_meta.json").get(), meta.get()});
  write_type_config(folder, "tarnix");
}

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("save", {"directory", "base_dir"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    tx::require_exact(a[0], &PyUnicode_Type, "directory", true);
    tx::Ref folder = tx::call(ns.get<"resolve_directory">().get(), {a[0], a[1] ? a[1] : Py_None});
    if (!is_trained(self)) {
      tx::raise(PyExc_RuntimeError, "Cannot save an unfitted TarnixEngine \u2014 call fit() first.");
    }
    // The parts are written into a staging folder that replaces the old one
    // only once complete, so an interrupted save never mixes two saves.
    IndexState& s = index(self);
    // ids.json must load back: refuse ids that are not strings before writing anything.
    {
      tx::Ref held = s.ids.ref();
      const Py_ssize_t n = tx::length(held.get());
      for (Py_ssize_t i = 0; i < n; ++i) {
        tx::Ref id = tx::Ref::steal(PySequence_GetItem(held.get(), i));
        if (!PyUnicode_CheckExact(id.get())) {
          tx::raise_format(PyExc_TypeError, "Expected str, got %s", tx::type_name(id.get()));
        }
      }
    }
    // Both parts are held: writing files lets other threads run, and one may refit us.
    const tx::Ref core = s.coreindex.ref();
    const tx::Ref vstore = s.vectorstore.ref();
    tx::staged_save(ns, folder.get(), {"coreindex", "bytes", "index_meta.json", "config.json", "ids.json", "ids.pkl"},
                    [&](PyObject* staged) {
                      tx::call_method(core.get(), tx::name<"save">(), {tx::str(tx::join_path(staged, "coreindex").get()).get()});
                      tx::call_method(vstore.get(), tx::name<"save">(), {tx::str(tx::join_path(staged, "bytes").get()).get()});
                      write_meta(staged, s.n_candidates.get(), s.d_scale.get());
                      tx::Ref ids = s.ids.ref();
                      if (tx::length(ids.get()) > 0) {
                        tx::Ref text = tx::call_method(ns.get<"json">().get(), tx::name<"dumps">(), {ids.get()});
                        tx::call_method(tx::join_path(staged, "ids.json").get(), tx::name<"write_text">(), {text.get()});
                      }
                    });
    return tx::Ref::none();
  });
}

// ids.json must hold a list of strings.
tx::Ref read_ids(const tx::SavedFolder& folder, PyObject* path) {
  tx::Ref file = tx::join_path(path, "ids.json");
  tx::Ref text = tx::call_method(file.get(), tx::name<"read_text">(), {});
  tx::Ref ids = tx::call_method(ns.get<"json">().get(), tx::name<"loads">(), {text.get()});
  if (!PyList_CheckExact(ids.get())) folder.corrupted("ids.json", "does not hold a list of ids");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(ids.get(), i))) folder.corrupted("ids.json", "holds an id that is not a string");
  }
  return ids;
}

PyObject* index_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("load", {"directory", "base_dir"}, 1);
    std::array<PyObject*, 2> a;
    sig.bind(args, nargs, kwnames, a);
    PyObject* directory = a[0];
    tx::require_exact(directory, &PyUnicode_Type, "directory", true);
    tx::Ref path = tx::call(ns.get<"resolve_directory">().get(), {directory, a[1] ? a[1] : Py_None});
    tx::call(ns.get<"refuse_interrupted_swap">().get(), {path.get()});
    const tx::SavedFolder folder(kIndexFolder, tx::fs_path(path.get()), str_of(directory));
    folder.member("index_meta.json");  // checked before it is opened
    tx::Ref meta_text = tx::call_method(tx::join_path(path.get(), "index_meta.json").get(), tx::name<"read_text">(), {});
    tx::Ref meta = tx::call_method(ns.get<"json">().get(), tx::name<"loads">(), {meta_text.get()});
    tx::Ref obj = tx::call(cls, {});
    if (!PyObject_TypeCheck(obj.get(), index_type)) {
      tx::raise_format(PyExc_TypeError, "%s() did not return a _TarnixCore", reinterpret_cast<PyTypeObject*>(cls)->tp_name);
    }
    IndexState& s = index(obj.get());
    tx::Ref legacy = tx::call_method(meta.get(), tx::name<"get">(), {tx::py_str("k_hamming").get()});
    s.n_candidates.set(tx::call_method(meta.get(), tx::name<"get">(), {tx::py_str("n_candidates").get(), legacy.get()}));
    s.d_scale.set(tx::call_method(meta.get(), tx::name<"get">(), {tx::py_str("d_scale").get()}));
    s.coreindex.set(tx::call_method(ns.get<"_CoreIndex">().get(), tx::name<"load">(),
                                    {tx::str(tx::join_path(path.get(), "coreindex").get()).get()}));
    s.vectorstore.set(tx::call_method(ns.get<"_VectorStore">().get(), tx::name<"load">(),
                                      {tx::str(tx::join_path(path.get(), "bytes").get()).get()}));
    s.ids.set(tx::Ref::steal(PyList_New(0)));
    if (folder.has("ids.json")) {
      s.ids.set(read_ids(folder, path.get()));
    } else if (folder.has("ids.pkl")) {
      tx::call(ns.get<"reject_legacy_pickle">().get(), {directory, tx::py_str("ids.pkl").get()});
    }
    tx::Ref matrix = store_matrix(s.vectorstore.get());
    const std::int64_t n = dim_size(matrix.get(), 0);
    const std::int64_t n_ids = tx::length(s.ids.get());
    if (n_ids > 0 && n_ids != n) {
      folder.corrupted("ids.json", "has " + std::to_string(n_ids) + " ids but bytes/matrix.npy has " + std::to_string(n) + " rows");
    }
    tx::Ref rows_obj = tx::attr<"rows">(tx::attr<"matrix">(s.coreindex.get()).get());
    if (tx::to_int64(rows_obj.get()) != n) {
      folder.corrupted("coreindex", "has " + str_of(rows_obj.get()) + " rows but bytes/matrix.npy has " + std::to_string(n) + " rows");
    }
    resolve_auto_k(obj.get());
    if (s.d_scale.is_none()) resolve_d_scale(obj.get());
    return obj;
  });
}

// ---- properties ----------------------------------------------------------------

PyObject* index_size(PyObject* self, void*) {
  return tx::guard([&] {
    tx::Ref matrix = store_matrix(index(self).vectorstore.get());
    return matrix.is_none() ? tx::py_long(0) : tx::py_long(tx::length(matrix.get()));
  });
}

PyObject* index_is_trained(PyObject* self, void*) {
  return tx::guard([&] { return tx::attr<"is_trained">(index(self).vectorstore.get()); });
}

PyObject* index_index_type(PyObject*, void*) {
  return tx::guard([] { return tx::py_str("tarnix"); });
}

PyObject* index_params(PyObject* self, void*) {
  return tx::guard([&] {
    tx::Ref boundaries = tx::attr<"boundaries">(index(self).vectorstore.get());
    tx::Ref medians = tx::attr<"medians">(index(self).coreindex.get());
    if (boundaries.is_none() || medians.is_none()) return tx::Ref::none();
    return tx::call(ns.get<"_Parameters">().get(), {boundaries.get(), medians.get()},
                    tx::kwnames<"boundaries", "fit_values">());
  });
}

PyObject* index_matrix(PyObject* self, void*) {
  return tx::guard([&] { return store_matrix(index(self).vectorstore.get()); });
}

PyMethodDef index_methods[] = {
    {"fit", tx::as_cfunction(index_fit), kFastcall,
     "fit(embeddings, parallel=False, params=None)\n--\n\nTrain both halves from scratch."},
    {"add", tx::as_cfunction(index_add), kFastcall, "add(ids, vectors, parallel=False)\n--\n\nAppend documents."},
    {"search", tx::as_cfunction(index_search), kFastcall,
     "search(query, k, parallel=False, batch_size=None, candidates=None)\n--\n\nRanked hits per query."},
    {"search_raw", tx::as_cfunction(index_search_raw), kFastcall,
     "search_raw(vectors, k, candidates=None, parallel=False, n_candidates=None)\n--\n\nPositions and distances."},
    {"update", tx::as_cfunction(index_update), kFastcall, "update(ids, vectors)\n--\n\nReplace the vectors of ids."},
    {"delete", tx::as_cfunction(index_delete), kFastcall, "delete(ids)\n--\n\nRemove documents, closing the gaps."},
    {"save", tx::as_cfunction(index_save), kFastcall, "save(directory, base_dir=None)\n--\n\nWrite the index folder."},
    {"load", tx::as_cfunction(index_load), kFastcall | METH_CLASS,
     "load(directory, base_dir=None)\n--\n\nRead an index folder."},
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef index_getset[] = {
    {"coreindex", tx::field_getter<IndexState, &IndexState::coreindex>, nullptr, "The binary-code index.", nullptr},
    {"ids", tx::field_getter<IndexState, &IndexState::ids>, nullptr, "Document ids by position.", nullptr},
    {"size", index_size, nullptr, "Number of stored rows.", nullptr},
    {"is_trained", index_is_trained, nullptr, "True once fitted.", nullptr},
    {"index_type", index_index_type, nullptr, "\"tarnix\"", nullptr},
    {"_params", index_params, nullptr, "The frozen quantisation, or None.", nullptr},
    {"_matrix", index_matrix, nullptr, "The uint8 code matrix, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(index_init)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {Py_tp_doc, const_cast<char*>("Quantised vector index: Hamming shortlist over binary codes, exact rerank over 8-bit codes.")},
    {0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_tarnix_impl", "The quantised vector index.", -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__tarnix_impl() {
  return tx::init_module(&module_def, [](PyObject* module) {
    tx::attach_numpy();
    ns.bind(module);
    ns.import_module("json", "json");
    ns.import_from("pathlib", {"Path"});
    ns.import_module("np", "numpy");
    ns.import_from("tarnix_engine._types", {"SearchResult", "_Parameters"});
    ns.import_from("tarnix_engine.kernels.core", {"_CoreIndex", "_require_finite"});
    ns.import_from("tarnix_engine.kernels.packing", {"encode_dataset", "generate_numba"});
    ns.import_from("tarnix_engine.kernels.distance", {"_search"});
    ns.import_from("tarnix_engine.kernels._batching", {"resolve_batch_size", "resolve_num_threads"});
    ns.import_from("tarnix_engine._persistence", {"resolve_directory", "write_config", "reject_legacy_pickle",
                                                "stage_folder", "commit_folder", "discard_folder",
                                                "refuse_interrupted_swap"});
    ns.set("MAX_DEFAULT_N_CANDIDATES", tx::py_long(4096));
    store_type = tx::add_type<StoreState>(module, "tarnix_engine.indexes._tarnix_impl._VectorStore", store_slots);
    index_type = tx::add_type<IndexState>(module, "tarnix_engine.indexes._tarnix_impl._TarnixCore", index_slots);
  });
}
