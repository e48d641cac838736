// The streaming index folder: config.json with the settings and the shard
// lists, one sub-folder per shard written by the shard itself, and the frozen
// quantisation and stacked code matrix as .npy files. A save is written whole
// into a staging folder that then replaces the old one, so a failed save
// leaves the old folder loadable and no array file of an earlier save is
// ever read back with this save's shards.
#include "support/numpy.hpp"
#include "support/folder.hpp"

#include <cstdio>
#include <string>

#include "indexes/shard_flow.hpp"
#include "kernels/finite.hpp"
#include "indexes/shard_flow_glue.hpp"

namespace tx::shard_flow {
namespace {

constexpr tx::FolderKind kFolder{"streaming index"};

std::string shard_folder_name(Py_ssize_t i) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "shard_%04zd", i);
  return buffer;
}

bool exists(PyObject* path) { return tx::truth(tx::call_method(path, tx::name<"exists">(), {}).get()); }

void np_save(PyObject* folder, const char* file, PyObject* array) {
  tx::Ref target = tx::str(tx::join_path(folder, file).get());
  tx::call_method(ns.get<"np">().get(), tx::name<"save">(), {target.get(), array});
}

tx::Ref np_load(PyObject* folder, const char* file) {
  tx::Ref source = tx::str(tx::join_path(folder, file).get());
  return tx::call_method(ns.get<"np">().get(), tx::name<"load">(), {source.get()});
}

// The registry name of `cls`, the last one when several names map to it.
// The registry fills in lazily, so the classes of modules already imported
// are registered first: a class in memory is then always found.
tx::Ref registry_name(PyObject* cls, const char* fallback) {
  tx::call(ns.get<"_populate_imported">().get(), {});
  tx::Ref items = tx::call_method(ns.get<"_ENGINE_REGISTRY">().get(), tx::name<"items">(), {});
  tx::Ref iterator = tx::Ref::steal(PyObject_GetIter(items.get()));
  tx::Ref found = tx::py_str(fallback);
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    tx::Ref item = tx::Ref::steal(raw);
    auto [name, registered] = tx::unpack_pair(item.get());
    if (tx::compare(registered.get(), cls, Py_EQ)) found = name;
  }
  if (PyErr_Occurred()) tx::rethrow_python();
  return found;
}

void set_item(PyObject* dict, const char* key, const tx::Ref& value) {
  if (PyDict_SetItemString(dict, key, value.get()) < 0) tx::rethrow_python();
}

tx::Ref config_of(PyObject* self, const Snapshot& snap) {
  const StreamingState& s = state(self);
  tx::Ref config = tx::Ref::steal(PyDict_New());
  set_item(config.get(), "index_type", tx::py_str("streaming_hybrid"));
  set_item(config.get(), "text_index_type", registry_name(s.text_cls.get(), "relevance"));
  set_item(config.get(), "vector_index_type", registry_name(s.vector_cls.get(), "tarnix"));
  set_item(config.get(), "n_shards", tx::py_long(PyList_GET_SIZE(snap.shards.get())));
  set_item(config.get(), "shard_sizes", snap.shard_sizes);
  set_item(config.get(), "cumulative_offsets", snap.cumulative_offsets);
  set_item(config.get(), "speed_preference", s.speed_preference.ref());
  set_item(config.get(), "top_k", tx::py_long(s.top_k));
  set_item(config.get(), "rrf_k", tx::py_long(s.rrf_k));
  set_item(config.get(), "alpha_text", tx::Ref::steal(PyFloat_FromDouble(s.alpha_text)));
  set_item(config.get(), "alpha_vector", tx::Ref::steal(PyFloat_FromDouble(s.alpha_vector)));
  set_item(config.get(), "n_candidates", tx::py_long(s.n_candidates));
  return config;
}

void write_folder(PyObject* self, PyObject* folder, const Snapshot& snap) {
  const Py_ssize_t n = PyList_GET_SIZE(snap.shards.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    tx::Ref shard = tx::Ref::borrow(PyList_GET_ITEM(snap.shards.get(), i));
    tx::Ref target = tx::str(tx::join_path(folder, shard_folder_name(i).c_str()).get());
    tx::call_method(shard.get(), tx::name<"save">(), {target.get()});
  }
  tx::call(ns.get<"write_config">().get(), {tx::join_path(folder, "config.json").get(), config_of(self, snap).get()});
  if (!snap.boundaries.is_none()) {
    np_save(folder, "bin_edges.npy", snap.boundaries.get());
    np_save(folder, "medians.npy", snap.fit_values.get());
  }
  if (!snap.all_bytes.is_none()) np_save(folder, "all_bytes.npy", snap.all_bytes.get());
}

tx::Ref meta_get(PyObject* meta, const char* key, PyObject* fallback) {
  tx::Ref name = tx::py_str(key);
  return tx::call_method(meta, tx::name<"get">(), {name.get(), fallback});
}

tx::Ref meta_item(PyObject* meta, const char* key) {
  tx::Ref name = tx::py_str(key);
  return tx::Ref::steal(PyObject_GetItem(meta, name.get()));
}

[[noreturn]] void mismatched(PyObject* folder, const std::string& what) {
  tx::raise(PyExc_ValueError, "streaming index folder " + tx::repr(tx::str(folder).get()) + ": " + what);
}

// The saved lists must describe the shards that are read: n_shards sizes and
// offsets, each offset the sum of the sizes before it, all within 32 bits.
void check_shard_lists(PyObject* folder, PyObject* n_shards_obj, PyObject* sizes, PyObject* offsets) {
  if (!PyList_Check(sizes) || !PyList_Check(offsets)) {
    mismatched(folder, "\"shard_sizes\" and \"cumulative_offsets\" must be lists");
  }
  const std::int64_t n_shards = tx::to_int64(n_shards_obj);
  if (PyList_GET_SIZE(sizes) != n_shards || PyList_GET_SIZE(offsets) != n_shards) {
    mismatched(folder, "\"n_shards\" is " + std::to_string(n_shards) + " but there are " +
                           std::to_string(PyList_GET_SIZE(sizes)) + " shard sizes and " +
                           std::to_string(PyList_GET_SIZE(offsets)) + " offsets");
  }
  std::int64_t expected = 0;
  for (Py_ssize_t i = 0; i < n_shards; ++i) {
    PyObject* size = PyList_GET_ITEM(sizes, i);
    PyObject* offset = PyList_GET_ITEM(offsets, i);
    if (!PyLong_CheckExact(size) || !PyLong_CheckExact(offset)) {
      mismatched(folder, "shard sizes and offsets must be integers");
    }
    const std::int64_t sz = tx::to_int64(size);
    if (tx::to_int64(offset) != expected || sz < 0 || expected > tx::shard_flow::kMaxOffset) {
      mismatched(folder, "the offset of shard " + std::to_string(i) + " does not follow from the sizes before it");
    }
    expected = tx::shard_flow::saturating_add(expected, sz);
  }
}

// `o.<name>`, or an empty Ref when `o` has no such attribute.
tx::Ref optional_attr(PyObject* o, PyObject* name) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(o, name, &value) < 0) tx::rethrow_python();
  return value == nullptr ? tx::Ref() : tx::Ref::steal(value);
}

// A loaded shard's text and vector indexes must hold the documents its saved
// size promises: positions past it would be returned as hits of the index.
void check_shard_size(PyObject* folder, Py_ssize_t i, PyObject* part, const char* side, std::int64_t expected) {
  tx::Ref size = optional_attr(part, tx::name<"size">());
  if (!size || size.is_none()) return;  // a class of its own that does not tell
  const std::int64_t held = tx::to_int64(size.get());
  if (held != expected) {
    mismatched(folder, shard_folder_name(i) + " holds " + std::to_string(held) + " documents in its " + side +
                           " index but its saved size is " + std::to_string(expected));
  }
}

// The code matrices of the loaded vector indexes, whose stack all_bytes must
// be: rows and columns so far, or `known` false once some index's matrix is
// not an array they can be told from.
struct CodeShape {
  bool known = true;
  std::int64_t rows = 0, columns = -1;

  void add(PyObject* vector_index) {
    if (!known) return;
    tx::Ref matrix = optional_attr(vector_index, tx::name<"_matrix">());
    if (!matrix || matrix.is_none()) return;
    if (!PyArray_Check(matrix.get()) || PyArray_NDIM(tx::as_array_object(matrix.get())) != 2) {
      known = false;
      return;
    }
    rows += PyArray_DIM(tx::as_array_object(matrix.get()), 0);
    columns = PyArray_DIM(tx::as_array_object(matrix.get()), 1);
  }
};

// all_bytes must be the loaded shards' code matrices stacked: a matrix of
// another shape or type would put later batches' rows at wrong positions.
void check_all_bytes(PyObject* folder, const CodeShape& codes, PyObject* all_bytes) {
  if (!codes.known) return;
  if (all_bytes == nullptr) {
    if (codes.rows > 0) mismatched(folder, "all_bytes.npy is missing beside shards that hold code matrices");
    return;
  }
  if (!PyArray_Check(all_bytes) || PyArray_NDIM(tx::as_array_object(all_bytes)) != 2 ||
      PyArray_TYPE(tx::as_array_object(all_bytes)) != NPY_UINT8) {
    mismatched(folder, "all_bytes.npy must hold a 2-D uint8 matrix");
  }
  PyArrayObject* a = tx::as_array_object(all_bytes);
  if (PyArray_DIM(a, 0) != codes.rows || (codes.columns >= 0 && PyArray_DIM(a, 1) != codes.columns)) {
    mismatched(folder, "all_bytes.npy has the shape " + tx::shape_text(all_bytes) +
                           " but the shards' code matrices stack to " + std::to_string(codes.rows) + " rows of " +
                           std::to_string(std::max<std::int64_t>(codes.columns, 0)));
  }
}

// The frozen quantisation must be what a fitted vector index reports: a 2-D
// float64 table of finite edges, one row per dimension, and one finite fit
// value per row. Anything else would be handed to every later batch's fit
// and fail there, or quietly encode every later vector against NaN.
void check_frozen_arrays(const tx::SavedFolder& members, PyObject* edges, PyObject* values) {
  const auto shown = [](PyObject* o) {
    if (!PyArray_Check(o)) return std::string("a ") + tx::type_name(o);
    return tx::utf8(tx::str(reinterpret_cast<PyObject*>(PyArray_DESCR(tx::as_array_object(o)))).get()) +
           " of shape " + tx::shape_text(o);
  };
  if (!PyArray_Check(edges) || PyArray_TYPE(tx::as_array_object(edges)) != NPY_FLOAT64 ||
      PyArray_NDIM(tx::as_array_object(edges)) != 2) {
    members.corrupted("bin_edges.npy", "must hold a 2-D float64 table of edges, one row per vector dimension, got " +
                                           shown(edges) + "; save the index again");
  }
  const tx::Ref native_edges = tx::cast_contiguous_array(edges, NPY_FLOAT64);
  if (!tx::finite::all_finite(tx::array_data<double>(native_edges.get()),
                              PyArray_SIZE(tx::as_array_object(native_edges.get())), 1)) {
    members.corrupted("bin_edges.npy", "holds NaN or infinite edges; save the index again");
  }
  const npy_intp dim = PyArray_DIM(tx::as_array_object(edges), 0);
  const int type = PyArray_Check(values) ? PyArray_TYPE(tx::as_array_object(values)) : NPY_NOTYPE;
  if ((type != NPY_FLOAT32 && type != NPY_FLOAT64) || PyArray_NDIM(tx::as_array_object(values)) != 1 ||
      PyArray_DIM(tx::as_array_object(values), 0) != dim) {
    members.corrupted("medians.npy", "must hold " + std::to_string(dim) +
                                         " float values, one per row of bin_edges.npy, got " + shown(values) +
                                         "; save the index again");
  }
  const tx::Ref native_values = tx::cast_contiguous_array(values, type);
  const bool finite = type == NPY_FLOAT32
                          ? tx::finite::all_finite(tx::array_data<float>(native_values.get()), dim, 1)
                          : tx::finite::all_finite(tx::array_data<double>(native_values.get()), dim, 1);
  if (!finite) members.corrupted("medians.npy", "holds NaN or infinite values; save the index again");
}

}  // namespace

PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    const tx::Ref folder = tx::save_call(ns, args, nargs, kwnames).folder;
    tx::call_method(folder.get(), tx::name<"mkdir">(), {Py_True, Py_True}, tx::kwnames<"parents", "exist_ok">());
    const Snapshot snap = take_snapshot(self);
    // The array files are owned: an earlier save's copies go with the old
    // folder when this save writes none. Shard folders beyond this save's
    // count are carried over untouched; they are never read back.
    tx::staged_save(ns, folder.get(), {"config.json", "bin_edges.npy", "medians.npy", "all_bytes.npy"},
                    [&](PyObject* staged) { write_folder(self, staged, snap); });
    return tx::Ref::none();
  });
}

namespace {

// config.json, or meta.json in folders written before it.
tx::Ref read_meta(const tx::SavedFolder& members, PyObject* folder) {
  tx::Ref config_path = tx::join_path(folder, "config.json");
  if (exists(config_path.get())) return tx::call(ns.get<"read_config">().get(), {config_path.get()});
  members.member("meta.json");
  tx::Ref text = tx::call_method(tx::join_path(folder, "meta.json").get(), tx::name<"read_text">(), {});
  return tx::call_method(ns.get<"json">().get(), tx::name<"loads">(), {text.get()});
}

// A new, empty index built through `cls` with the saved settings and
// index classes.
tx::Ref index_from_meta(PyObject* cls, PyObject* meta, PyObject* folder) {
  tx::Ref registry = ns.get<"_ENGINE_REGISTRY">();
  tx::Ref text_name = meta_get(meta, "text_index_type", tx::py_str("relevance").get());
  tx::Ref vector_name = meta_get(meta, "vector_index_type", tx::py_str("tarnix").get());
  // Registered on first use: a saved name of a class not imported yet
  // must not fall back to the default class.
  tx::Ref names = tx::Ref::steal(PyTuple_Pack(2, text_name.get(), vector_name.get()));
  tx::call(ns.get<"_populate">().get(), {names.get()});
  tx::Ref text_cls = tx::call_method(registry.get(), tx::name<"get">(), {text_name.get(), ns.get<"_RelevanceCore">().get()});
  tx::Ref vector_cls =
      tx::call_method(registry.get(), tx::name<"get">(), {vector_name.get(), ns.get<"_TarnixCore">().get()});
  tx::Ref text_k = meta_get(meta, "text_k", Py_None);
  tx::Ref vector_k = meta_get(meta, "vector_k", Py_None);
  if (!text_k.is_none() || !vector_k.is_none()) {
    tx::Ref format = tx::py_str(
        "Index at '%s' was saved with text_k=%s, vector_k=%s. Streaming indexes now take their search depths "
        "from the tuner only; the saved values are ignored.");
    tx::call_method(ns.get<"logger">().get(), tx::name<"warning">(),
                    {format.get(), folder, text_k.get(), vector_k.get()});
  }

  tx::Ref top_k = meta_item(meta, "top_k");
  tx::Ref rrf_k = meta_item(meta, "rrf_k");
  tx::Ref alpha_text = meta_item(meta, "alpha_text");
  tx::Ref alpha_vector = meta_item(meta, "alpha_vector");
  tx::Ref n_candidates = meta_get(meta, "n_candidates", meta_get(meta, "k_hamming", tx::py_long(5000).get()).get());
  tx::Ref speed = meta_get(meta, "speed_preference", tx::py_str("balanced").get());
  tx::Ref index = tx::call(cls, {text_cls.get(), vector_cls.get(), top_k.get(), rrf_k.get(), alpha_text.get(),
                                 alpha_vector.get(), n_candidates.get(), speed.get()},
                           tx::kwnames<"text_index_cls", "vector_index_cls", "top_k", "rrf_k", "alpha_text",
                                       "alpha_vector", "n_candidates", "speed_preference">());
  if (!PyObject_TypeCheck(index.get(), streaming_type)) {
    tx::raise_format(PyExc_TypeError, "load built a %s, not a _StreamingCore", tx::type_name(index.get()));
  }
  return index;
}

// Loads the shard folders into the new index's list, each checked against
// its saved size; returns the shape their code matrices stack to.
CodeShape load_shards(PyObject* index, PyObject* folder, PyObject* sizes, std::int64_t n_shards) {
  tx::Ref registry_module = tx::Ref::steal(PyImport_ImportModule("tarnix_engine._registry"));
  tx::Ref load_engine = tx::attr<"load_engine_from_directory">(registry_module.get());
  tx::Ref shards = state(index).shards.ref();
  CodeShape codes;
  for (std::int64_t i = 0; i < n_shards; ++i) {
    tx::Ref shard_folder = tx::join_path(folder, shard_folder_name(static_cast<Py_ssize_t>(i)).c_str());
    tx::Ref text_index = tx::call(load_engine.get(), {tx::str(tx::join_path(shard_folder.get(), "text").get()).get()});
    tx::Ref vector_index =
        tx::call(load_engine.get(), {tx::str(tx::join_path(shard_folder.get(), "vector").get()).get()});
    tx::Ref saved_size = tx::Ref::steal(PyList_GetItemRef(sizes, static_cast<Py_ssize_t>(i)));
    const std::int64_t expected = tx::to_int64(saved_size.get());
    check_shard_size(folder, static_cast<Py_ssize_t>(i), text_index.get(), "text", expected);
    check_shard_size(folder, static_cast<Py_ssize_t>(i), vector_index.get(), "vector", expected);
    codes.add(vector_index.get());
    tx::Ref shard = make_shard(index, text_index.get(), vector_index.get());
    // In place: nobody else can hold the new index's list yet.
    if (PyList_Append(shards.get(), shard.get()) < 0) tx::rethrow_python();
  }
  return codes;
}

// The frozen quantisation and the stacked code matrix, each checked.
void load_arrays(StreamingState& s, const tx::SavedFolder& members, PyObject* folder, const CodeShape& codes) {
  if (members.has("bin_edges.npy")) {
    tx::Ref edges = members.read_npy("bin_edges.npy", [&] { return np_load(folder, "bin_edges.npy"); });
    members.member("medians.npy");
    tx::Ref values = members.read_npy("medians.npy", [&] { return np_load(folder, "medians.npy"); });
    check_frozen_arrays(members, edges.get(), values.get());
    s.boundaries.set(edges);
    s.fit_values.set(values);
  }
  tx::Ref all_bytes;
  if (members.has("all_bytes.npy")) {
    all_bytes = members.read_npy("all_bytes.npy", [&] { return np_load(folder, "all_bytes.npy"); });
  }
  check_all_bytes(folder, codes, all_bytes.get());
  if (all_bytes) s.all_bytes.set(all_bytes);
}

}  // namespace

PyObject* load_method(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    const tx::Ref folder = tx::load_call(ns, args, nargs, kwnames).folder;

    // Members are checked before they are opened: a FIFO would block the
    // reader for ever, a directory is no file.
    const tx::SavedFolder members(kFolder, tx::fs_path(folder.get()), tx::utf8(tx::str(folder.get()).get()));
    tx::Ref meta = read_meta(members, folder.get());
    tx::Ref index = index_from_meta(cls, meta.get(), folder.get());
    StreamingState& s = state(index.get());
    tx::Ref sizes = meta_item(meta.get(), "shard_sizes");
    tx::Ref offsets = meta_item(meta.get(), "cumulative_offsets");
    tx::Ref n_shards = meta_item(meta.get(), "n_shards");
    check_shard_lists(folder.get(), n_shards.get(), sizes.get(), offsets.get());
    s.shard_sizes.set(sizes);
    s.cumulative_offsets.set(offsets);
    const CodeShape codes = load_shards(index.get(), folder.get(), sizes.get(), tx::to_int64(n_shards.get()));
    load_arrays(s, members, folder.get(), codes);
    return index;
  });
}

}  // namespace tx::shard_flow
