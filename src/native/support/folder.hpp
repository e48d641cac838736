// Saved folders: the staged save every index uses, the checks of a folder's
// members before anything reads them, and the error that names a bad one.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <initializer_list>
#include <string>
#include <string_view>

#include "support/args.hpp"
#include "support/calls.hpp"
#include "support/convert.hpp"
#include "support/core.hpp"

namespace tx {

// A path object (str or os.PathLike of str) in the file system's encoding.
inline std::string fs_path(PyObject* o) {
  Ref p = Ref::steal(PyOS_FSPath(o));
  if (!PyUnicode_Check(p.get())) raise(PyExc_TypeError, "path must be a str");
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(p.get()));
  return std::string(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
}

// The Python str of a file-system path.
inline Ref fs_str(const std::string& path) {
  return Ref::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

[[noreturn]] inline void raise_os_error(const std::string& path) {
  PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
  rethrow_python();
}

// How one kind of saved folder words a refusal:
// "Corrupted <noun> at '<folder>': <file> <detail><tail>".
struct FolderKind {
  const char* noun;
  const char* tail = "";
};

[[noreturn]] inline void corrupted_folder(const FolderKind& kind, std::string_view folder, std::string_view file,
                                          std::string_view detail) {
  std::string text = "Corrupted ";
  text.append(kind.noun).append(" at '").append(folder).append("': ");
  text.append(file).append(" ").append(detail).append(kind.tail);
  raise(PyExc_ValueError, text);
}

// One saved folder being read: where it is, the name its errors show (the
// caller's argument, which may differ from the resolved path), and its kind.
class SavedFolder {
 public:
  SavedFolder(FolderKind kind, std::string path, std::string shown)
      : kind_(kind), path_(std::move(path)), shown_(std::move(shown)) {}

  const std::string& path() const noexcept { return path_; }
  std::string path_of(std::string_view file) const { return path_ + "/" + std::string(file); }

  [[noreturn]] void corrupted(std::string_view file, std::string_view detail) const {
    corrupted_folder(kind_, shown_, file, detail);
  }

  // Whether `file` is present. A member that is there but is not a regular
  // file (a FIFO would block the reader, a device never ends, a directory is
  // no file) is refused before anything opens it.
  bool has(std::string_view file) const {
    const std::string full = path_of(file);
    struct stat st;
    if (::stat(full.c_str(), &st) != 0) {
      if (errno == ENOENT) return false;
      raise_os_error(full);
    }
    if (!S_ISREG(st.st_mode)) corrupted(file, "is not a regular file");
    return true;
  }

  // The path (a str) of a member that must be present, checked as `has` does;
  // FileNotFoundError naming it when it is absent.
  Ref member(std::string_view file) const {
    if (!has(file)) {
      errno = ENOENT;
      raise_os_error(path_of(file));
    }
    return fs_str(path_of(file));
  }

  // Runs `read` (numpy's load of `file`, returning Ref). numpy reports most
  // damaged headers as ValueError but lets tokenize.TokenError escape from
  // one its tokeniser cannot finish (an unclosed bracket or string); that
  // one becomes this folder's ValueError naming the file, like any damage.
  template <class Read>
  Ref read_npy(std::string_view file, Read&& read) const {
    try {
      return read();
    } catch (const PyErrorSet&) {
      PyObject* pending = PyErr_GetRaisedException();
      PyObject* tokenize = PyImport_ImportModule("tokenize");
      PyObject* token_error = tokenize ? PyObject_GetAttrString(tokenize, "TokenError") : nullptr;
      const bool damaged_header = token_error && PyErr_GivenExceptionMatches(pending, token_error);
      Py_XDECREF(token_error);
      Py_XDECREF(tokenize);
      if (!damaged_header) {
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
        throw;
      }
      Ref detail = Ref::steal(pending);
      corrupted(file, "has a damaged header: " + repr(detail.get()));
    }
  }

 private:
  FolderKind kind_;
  std::string path_;
  std::string shown_;
};

// The folder of an index's save(directory, base_dir=None): `directory` must
// be a str (None is left to resolve_directory, which refuses it), resolved
// against `base_dir` by the module's `resolve_directory`.
inline Ref folder_to_save(const Namespace& ns, PyObject* directory, PyObject* base_dir) {
  require_exact(directory, &PyUnicode_Type, "directory", true);
  return call(ns.get<"resolve_directory">().get(), {directory, base_dir ? base_dir : Py_None});
}

// The same for load(directory, base_dir=None); a folder that is missing
// because a save died mid-swap is refused naming the complete folder to put
// back (the module's `refuse_interrupted_swap`).
inline Ref folder_to_load(const Namespace& ns, PyObject* directory, PyObject* base_dir) {
  Ref folder = folder_to_save(ns, directory, base_dir);
  call(ns.get<"refuse_interrupted_swap">().get(), {folder.get()});
  return folder;
}

// The arguments of save(directory, base_dir=None) and load(directory,
// base_dir=None), bound and resolved as above: `directory` as given, for
// messages, and the folder it names. `none_allowed` false refuses a None
// directory here, for a type whose Python form never took one.
struct FolderCall {
  PyObject* directory;  // borrowed from the call
  Ref folder;
};

inline FolderCall bind_folder_call(bool load, const Namespace& ns, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames, bool none_allowed) {
  static const auto save_sig = signature<2>("save", {"directory", "base_dir=None"}, 1);
  static const auto load_sig = signature<2>("load", {"directory", "base_dir=None"}, 1);
  const auto a = (load ? load_sig : save_sig).bind(args, nargs, kwnames);
  if (!none_allowed) require_exact(a[0], &PyUnicode_Type, "directory", false);
  return {a[0], load ? folder_to_load(ns, a[0], a[1]) : folder_to_save(ns, a[0], a[1])};
}

inline FolderCall save_call(const Namespace& ns, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            bool none_allowed = true) {
  return bind_folder_call(false, ns, args, nargs, kwnames, none_allowed);
}

inline FolderCall load_call(const Namespace& ns, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            bool none_allowed = true) {
  return bind_folder_call(true, ns, args, nargs, kwnames, none_allowed);
}

// The entry names of a folder that belong to the saved index, as the tuple
// commit_folder takes.
inline Ref owned_names(std::initializer_list<const char*> names) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, Ref::steal(PyUnicode_FromString(n)).release());
  return t;
}

// Saves a folder whole: `write(staged)` fills a fresh staging folder (a
// pathlib path) beside `final`, which then takes the old folder's place with
// the entries named in `owned` replaced and any other entry carried over. A
// failure at any step removes the staging folder and leaves the old folder as
// it was. The helpers are the module's own names (`stage_folder`,
// `commit_folder`, `discard_folder`), looked up at the call.
template <class Write>
void staged_save(const Namespace& ns, PyObject* final, std::initializer_list<const char*> owned, Write&& write) {
  Ref names = owned_names(owned);
  Ref staged = call(ns.get<"stage_folder">().get(), {final});
  try {
    write(staged.get());
    call(ns.get<"commit_folder">().get(), {staged.get(), final, names.get()});
  } catch (...) {
    translate_current_exception();
    cleanup_keeping_error([&] { call(ns.get<"discard_folder">().get(), {staged.get()}); });
    throw PyErrorSet{};
  }
}

}  // namespace tx
