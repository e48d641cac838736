// The binary-code index's saved folder: coreindex.json, medians.npy and
// codes.npy, written whole and checked whole.
#include "kernels/core_glue.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/folder.hpp"

namespace tx::core {

namespace fs = std::filesystem;

constexpr const char* kFormat = "tarnix_engine.coreindex";
constexpr int kVersion = 1;

// ---- folder ----------------------------------------------------------------------

constexpr tx::FolderKind kFolder{"coreindex"};
// Beyond this a dimension cannot be a saved index's: its codes alone would
// not fit in memory. Checked before any arithmetic on it.
constexpr std::int64_t kMaxDim = std::int64_t{1} << 40;

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("save", {"path"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    const IndexState& s = trained(self, "Cannot save an unfitted index.");
    // The state saved: writing the files lets other threads run, and a
    // writer among them must not change what is being written.
    const Snapshot snap{s.model, s.codes, s.rows};
    const tx::Ref medians = s.medians.ref();
    std::string target = tx::fs_path(a[0]);
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    const fs::path tp(target);
    tx::Ref target_text = tx::fs_str(target);
    tx::call(ns.get<"refuse_unnamed_target">().get(), {target_text.get()});  // before the folder is looked at
    std::error_code ec;
    struct stat st;
    const bool exists = ::lstat(target.c_str(), &st) == 0;
    if (exists) {
      // Only a folder we wrote (or an empty one) is ever replaced.
      if (!S_ISDIR(st.st_mode) || (!fs::is_empty(tp, ec) && !fs::exists(tp / "coreindex.json", ec))) {
        tx::raise_format(PyExc_FileExistsError, "refusing to replace '%s': it is not a saved binary-code index",
                         target.c_str());
      }
    }
    tx::staged_save(ns, target_text.get(), {"medians.npy", "codes.npy", "coreindex.json"}, [&](PyObject* staged) {
      auto entry = [&](const char* name) { return tx::str(tx::join_path(staged, name).get()); };
      const std::int64_t dim = snap.model->dim, words = snap.model->words, rows = snap.rows;
      tx::Ref np = ns.get<"np">();
      tx::call_method(np.get(), tx::name<"save">(), {entry("medians.npy").get(), medians.get()});
      tx::Ref packed = tx::empty_array({static_cast<npy_intp>(rows), static_cast<npy_intp>(words)}, NPY_UINT64);
      std::uint64_t* out = tx::array_data<std::uint64_t>(packed.get());
      for (std::int64_t r = 0; r < rows; ++r) snap.codes->get_row(r, out + r * words);
      tx::call_method(np.get(), tx::name<"save">(), {entry("codes.npy").get(), packed.get()});
      tx::Ref meta = tx::Ref::steal(Py_BuildValue("{s:s,s:i,s:L,s:L,s:L}", "format", kFormat, "version", kVersion,
                                                  "dim", static_cast<long long>(dim), "rows", static_cast<long long>(rows),
                                                  "words", static_cast<long long>(words)));
      tx::call(ns.get<"write_config">().get(), {tx::join_path(staged, "coreindex.json").get(), meta.get()});
    });
    return tx::Ref::none();
  });
}

std::int64_t meta_int(PyObject* meta, const char* key, const tx::SavedFolder& folder) {
  PyObject* v = PyDict_GetItemString(meta, key);  // borrowed
  if (v == nullptr || !PyLong_CheckExact(v)) folder.corrupted("coreindex.json", std::string("lacks an integer '") + key + "'");
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (x == -1 && PyErr_Occurred()) tx::rethrow_python();
  if (overflow != 0 || x < 0) folder.corrupted("coreindex.json", std::string("holds an out-of-range '") + key + "'");
  return x;
}

tx::Ref load_npy(const tx::SavedFolder& folder, const char* file) {
  tx::Ref path = folder.member(file);
  tx::Ref np = ns.get<"np">();
  return folder.read_npy(file, [&] {
    return tx::call(tx::attr<"load">(np.get()).get(), {path.get(), Py_False}, tx::kwnames<"allow_pickle">());
  });
}

PyObject* index_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("load", {"path"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::call(ns.get<"refuse_interrupted_swap">().get(), {a[0]});
    const tx::SavedFolder folder(kFolder, tx::fs_path(a[0]), tx::fs_path(a[0]));
    folder.member("coreindex.json");  // checked before it is opened
    std::ifstream in(folder.path_of("coreindex.json"), std::ios::binary);
    if (!in) {
      errno = ENOENT;
      tx::raise_os_error(folder.path_of("coreindex.json"));
    }
    std::stringstream text;
    text << in.rdbuf();
    tx::Ref json = ns.get<"json">();
    tx::Ref meta;
    try {
      meta = tx::call(tx::attr<"loads">(json.get()).get(), {tx::py_str(text.str().c_str()).get()});
    } catch (const tx::PyErrorSet&) {
      if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw;
      PyErr_Clear();
      folder.corrupted("coreindex.json", "is not JSON");
    }
    if (!PyDict_CheckExact(meta.get())) folder.corrupted("coreindex.json", "is not an object");
    PyObject* format = PyDict_GetItemString(meta.get(), "format");
    if (format == nullptr || !PyUnicode_Check(format) || tx::utf8(format) != kFormat) {
      folder.corrupted("coreindex.json", "says this is not a binary-code index folder");
    }
    const std::int64_t version = meta_int(meta.get(), "version", folder);
    if (version != kVersion) folder.corrupted("coreindex.json", "has an unknown format version " + std::to_string(version));
    const std::int64_t dim = meta_int(meta.get(), "dim", folder);
    const std::int64_t rows = meta_int(meta.get(), "rows", folder);
    const std::int64_t words = meta_int(meta.get(), "words", folder);
    if (dim > kMaxDim) folder.corrupted("coreindex.json", "gives the dimension " + std::to_string(dim) + ", beyond any index");
    if (words != hm::words_for(dim)) folder.corrupted("coreindex.json", "gives a word count that does not match the dimension");
    if (rows >= hm::kMaxRows) folder.corrupted("coreindex.json", "gives too many rows");

    tx::Ref med = load_npy(folder, "medians.npy");
    if (!PyArray_Check(med.get())) folder.corrupted("medians.npy", "holds no array");
    const int med_type = PyArray_TYPE(tx::as_array_object(med.get()));
    if ((med_type != NPY_FLOAT32 && med_type != NPY_FLOAT64) || PyArray_NDIM(tx::as_array_object(med.get())) != 1 ||
        PyArray_DIM(tx::as_array_object(med.get()), 0) != dim) {
      folder.corrupted("medians.npy", "must hold " + std::to_string(dim) + " floats, got shape " + tx::shape_text(med.get()));
    }
    med = tx::copy_array(med.get(), med_type);  // private, and in native byte order for the raw reads below
    auto model = std::make_shared<Model>();
    model->dim = dim;
    model->words = words;
    model->thresholds.resize(static_cast<std::size_t>(dim));
    for (std::int64_t j = 0; j < dim; ++j) {
      model->thresholds[j] = med_type == NPY_FLOAT32 ? tx::array_data<float>(med.get())[j]
                                                     : tx::array_data<double>(med.get())[j];
      if (!std::isfinite(model->thresholds[j])) folder.corrupted("medians.npy", "holds NaN or infinite values");
    }
    PyArray_CLEARFLAGS(tx::as_array_object(med.get()), NPY_ARRAY_WRITEABLE);

    tx::Ref codes_raw = load_npy(folder, "codes.npy");
    if (!PyArray_Check(codes_raw.get()) || PyArray_TYPE(tx::as_array_object(codes_raw.get())) != NPY_UINT64 ||
        PyArray_NDIM(tx::as_array_object(codes_raw.get())) != 2 ||
        PyArray_DIM(tx::as_array_object(codes_raw.get()), 0) != rows ||
        PyArray_DIM(tx::as_array_object(codes_raw.get()), 1) != words) {
      folder.corrupted("codes.npy", "must be uint64 of shape (" + std::to_string(rows) + ", " + std::to_string(words) + ")");
    }
    tx::Ref packed = tx::contiguous_array(codes_raw.get(), NPY_UINT64);
    const std::uint64_t* d = tx::array_data<std::uint64_t>(packed.get());
    const std::uint64_t spare = dim % 64 == 0 ? 0 : ~((std::uint64_t{1} << (dim % 64)) - 1);
    auto codes = std::make_shared<hm::Codes>(words, rows);
    for (std::int64_t r = 0; r < rows; ++r) {
      if (words > 0 && (d[r * words + words - 1] & spare) != 0) folder.corrupted("codes.npy", "sets bits past the dimension");
      codes->set_row(r, d + r * words);
    }

    tx::Ref obj = tx::Ref::steal(PyObject_CallNoArgs(cls));
    if (!PyObject_TypeCheck(obj.get(), index_type)) {
      tx::raise_format(PyExc_TypeError, "%R() did not return a _CoreIndex", cls);
    }
    IndexState& s = state(obj.get());
    s.model = std::move(model);
    s.codes = std::move(codes);
    s.rows = rows;
    s.medians.set(std::move(med));
    return obj;
  });
}

}  // namespace tx::core
