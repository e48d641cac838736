// The saved folders of the vector index and of its vector store, written
// whole and checked whole before anything is returned.
#include "indexes/vector_glue.hpp"

#include "indexes/vector_stats.hpp"
#include "support/folder.hpp"

namespace tx::vector_index {

// config.json of a folder: {"index_type": type}.
void write_type_config(PyObject* folder, const char* type) {
  tx::Ref config = tx::Ref::steal(PyDict_New());
  if (PyDict_SetItemString(config.get(), "index_type", tx::py_str(type).get()) < 0) tx::rethrow_python();
  tx::call(ns.get<"write_config">().get(), {tx::join_path(folder, "config.json").get(), config.get()});
}

constexpr tx::FolderKind kIndexFolder{"index", ". Refusing to load a mismatched index."};
constexpr tx::FolderKind kStoreFolder{"vector store"};

// ---- _VectorStore ------------------------------------------------------------

PyObject* store_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("save", {"directory"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
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

// The loaded arrays must be what a save writes: a 2-D uint8 code matrix and
// one row of 2 to 256 finite, ascending float64 edges per matrix column. The
// edges are returned in native C order, which the encoder reads.
tx::Ref checked_store_arrays(const tx::SavedFolder& folder, PyObject* matrix, PyObject* edges) {
  if (!PyArray_Check(matrix) || PyArray_TYPE(tx::as_array_object(matrix)) != NPY_UINT8 ||
      PyArray_NDIM(tx::as_array_object(matrix)) != 2) {
    folder.corrupted("matrix.npy", "must hold a 2-D uint8 code matrix");
  }
  const npy_intp width = PyArray_DIM(tx::as_array_object(matrix), 1);
  if (!PyArray_Check(edges) || PyArray_TYPE(tx::as_array_object(edges)) != NPY_FLOAT64 ||
      PyArray_NDIM(tx::as_array_object(edges)) != 2 || PyArray_DIM(tx::as_array_object(edges), 0) != width ||
      PyArray_DIM(tx::as_array_object(edges), 1) < 2 || PyArray_DIM(tx::as_array_object(edges), 1) > kMaxLevels) {
    folder.corrupted("boundaries.npy", "must hold a float64 table of " + std::to_string(width) +
                                           " rows of 2 to 256 edges, one row per column of matrix.npy, got " +
                                           (PyArray_Check(edges) ? "shape " + tx::shape_text(edges) : "no array"));
  }
  tx::Ref native = tx::Ref::borrow(edges);
  if (!tx::is_c_contiguous_of(edges, NPY_FLOAT64) || !PyArray_ISNOTSWAPPED(tx::as_array_object(edges))) {
    native = tx::copy_array(edges, NPY_FLOAT64);
  }
  if (!tx::vector_index::edges_ascending_finite(tx::array_data<double>(native.get()), width,
                                                PyArray_DIM(tx::as_array_object(native.get()), 1))) {
    folder.corrupted("boundaries.npy", "holds a row of edges that is not finite and ascending");
  }
  return native;
}

PyObject* store_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("load", {"directory"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::require_exact(a[0], &PyUnicode_Type, "directory", true);
    tx::call(ns.get<"refuse_interrupted_swap">().get(), {a[0]});
    const tx::SavedFolder folder(kStoreFolder, tx::fs_path(a[0]), tx::utf8(a[0]));
    tx::Ref obj = tx::call(cls, {});
    if (!PyObject_TypeCheck(obj.get(), store_type)) {
      tx::raise_format(PyExc_TypeError, "%s() did not return a _VectorStore", reinterpret_cast<PyTypeObject*>(cls)->tp_name);
    }
    const auto load = [&](const char* file) {
      tx::Ref path = folder.member(file);
      return folder.read_npy(file, [&] { return np_call(tx::name<"load">(), {path.get()}); });
    };
    tx::Ref matrix = load("matrix.npy");
    tx::Ref edges = load("boundaries.npy");
    edges = checked_store_arrays(folder, matrix.get(), edges.get());
    store(obj.get()).levels = 256;
    store(obj.get()).matrix.set(matrix);
    store(obj.get()).boundaries.set(edges);
    return obj;
  });
}

// ---- _TarnixCore -------------------------------------------------------------



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
    const tx::Ref folder = tx::save_call(ns, args, nargs, kwnames).folder;
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

// The shortlist size and the score scale of index_meta.json: null (worked
// out from the rows) or a value a search can use.
void check_meta_values(const tx::SavedFolder& folder, PyObject* n_candidates, PyObject* d_scale) {
  if (n_candidates != Py_None) {
    int overflow = 0;
    const long long n = PyLong_CheckExact(n_candidates) ? PyLong_AsLongLongAndOverflow(n_candidates, &overflow) : 0;
    if (n == -1 && PyErr_Occurred()) tx::rethrow_python();
    if (!PyLong_CheckExact(n_candidates) || overflow != 0 || n < 1 || n > INT32_MAX) {
      folder.corrupted("index_meta.json", "holds the shortlist size " + tx::repr(n_candidates) +
                                              "; it must be null or a whole number from 1 to 2147483647");
    }
  }
  if (d_scale != Py_None) {
    const bool number = PyFloat_CheckExact(d_scale) || PyLong_CheckExact(d_scale);
    const double v = number ? PyFloat_AsDouble(d_scale) : 0.0;
    if (v == -1.0 && PyErr_Occurred()) PyErr_Clear();  // an int beyond the float range: refused below
    if (!number || !std::isfinite(v) || v <= 0.0) {
      folder.corrupted("index_meta.json", "holds the score scale " + tx::repr(d_scale) +
                                              "; it must be null or a finite number above 0");
    }
  }
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
    const auto [directory, path] = tx::load_call(ns, args, nargs, kwnames);
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
    check_meta_values(folder, s.n_candidates.get(), s.d_scale.get());
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
    const std::int64_t width = dim_size(matrix.get(), 1);
    const std::int64_t dim = tx::length(tx::attr<"medians">(s.coreindex.get()).get());
    if (width != dim) {
      folder.corrupted("bytes/matrix.npy", "has " + std::to_string(width) + " columns but coreindex has dimension " +
                                               std::to_string(dim));
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

}  // namespace tx::vector_index
