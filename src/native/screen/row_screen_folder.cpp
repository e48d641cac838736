// The saved folder of a RowScreen: config.json and filter.db, a page copy of
// the store's database made with SQLite's online backup in both directions.
#include "screen/row_screen_glue.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace tx::row_screen {
namespace {

Ref os_module() {
  static PyObject* os = nullptr;
  if (os == nullptr) {
    os = PyImport_ImportModule("os");
    if (os == nullptr) rethrow_python();
  }
  return Ref::borrow(os);
}

Ref os_call(PyObject* function, std::initializer_list<PyObject*> args) {
  return call(attr(os_module().get(), function).get(), args);
}

// Best effort: makes a rename durable where the file system allows it.
void sync_folder(PyObject* folder) {
  Ref encoded;
  PyObject* raw = nullptr;
  if (!PyUnicode_FSConverter(str(folder).get(), &raw)) rethrow_python();
  encoded = Ref::steal(raw);
  const int fd = ::open(PyBytes_AS_STRING(encoded.get()), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Runs body(connection) on a new connection made by `connect_args`, which is
// closed afterwards whatever happens.
template <class Body>
void with_file_connection(PyObject* path_text, PyObject* kw, Body&& body) {
  Ref connect = attr<"connect">(ns.get<"sqlite3">().get());
  Ref args = new_tuple({path_text});
  Ref conn = Ref::steal(PyObject_Call(connect.get(), args.get(), kw));
  try {
    body(conn.get());
  } catch (...) {
    translate_current_exception();
    cleanup_keeping_error([&] { call_method(conn.get(), name<"close">(), {}); });
    throw PyErrorSet{};
  }
  call_method(conn.get(), name<"close">(), {});
}

void remove_if_present(PyObject* path) {
  try {
    os_call(name<"unlink">(), {path});
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_FileNotFoundError)) throw;
    PyErr_Clear();
  }
}

// Saves into one folder hold an exclusive lock on the folder itself while
// they write filter.db, so that they can share one temporary name: a killed
// save leaves at most that one file (and its journal), which the next save
// removes before it starts. Where the file system has no such locks, each
// save takes a name of its own instead, which a killed save leaves behind.
class FolderLock {
 public:
  explicit FolderLock(PyObject* folder) {
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(str(folder).get(), &raw)) rethrow_python();
    Ref encoded = Ref::steal(raw);
    fd_ = ::open(PyBytes_AS_STRING(encoded.get()), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    for (;;) {
      int rc;
      // Another thread of this process may hold the lock and need the
      // interpreter to finish its save.
      Py_BEGIN_ALLOW_THREADS
      rc = ::flock(fd_, LOCK_EX);
      Py_END_ALLOW_THREADS
      if (rc == 0) return;
      if (errno == EINTR) {
        if (PyErr_CheckSignals() < 0) {
          release();
          rethrow_python();
        }
        continue;
      }
      release();
      return;
    }
  }
  ~FolderLock() { release(); }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  bool held() const noexcept { return fd_ >= 0; }

 private:
  void release() noexcept {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock
    fd_ = -1;
  }
  int fd_ = -1;
};

// Whether `name` is ".filter.db.<pid>.<thread>.tmp" (or its journal), the
// name a save takes where it cannot lock the folder, as every save once did;
// the pid is set when it is.
bool own_name_of_a_save(std::string_view name, long& pid) {
  constexpr std::string_view prefix = ".filter.db.";
  if (!name.starts_with(prefix)) return false;
  name.remove_prefix(prefix.size());
  if (name.ends_with("-journal")) name.remove_suffix(std::string_view("-journal").size());
  if (!name.ends_with(".tmp")) return false;
  name.remove_suffix(4);
  const std::size_t dot = name.find('.');
  if (dot == std::string_view::npos || dot == 0 || dot + 1 == name.size()) return false;
  const std::string_view digits = name.substr(0, dot);
  const std::string_view thread = name.substr(dot + 1);
  auto all_digits = [](std::string_view d) { return d.find_first_not_of("0123456789") == std::string_view::npos; };
  if (!all_digits(digits) || !all_digits(thread) || digits.size() > 9) return false;
  pid = std::stol(std::string(digits));
  return true;
}

// Under the folder's lock, the files of saves that took a name of their own
// and whose process has ended are what killed saves left: they go.
void remove_files_of_ended_saves(PyObject* folder) {
  Ref names = os_call(name<"listdir">(), {folder});
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* entry = PyList_GET_ITEM(names.get(), i);
    long pid = 0;
    if (!PyUnicode_Check(entry) || !own_name_of_a_save(utf8_view(entry), pid)) continue;
    if (pid <= 0 || pid == static_cast<long>(::getpid())) continue;
    if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    try {
      remove_if_present(Ref::steal(PyNumber_TrueDivide(folder, entry)).get());
    } catch (const PyErrorSet&) {
      // Clutter someone else may own: left for them.
      if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
      PyErr_Clear();
    }
  }
}

// save: the database goes to a temporary file beside filter.db and is then
// renamed over it, so that a failure at any point leaves the old file whole.
PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("save", {"directory"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyUnicode_Type, "directory", false);
    Ref folder = call(ns.get<"Path">().get(), {a[0]});
    call_method(folder.get(), name<"mkdir">(), {Py_True, Py_True}, tx::kwnames<"parents", "exist_ok">());
    Ref config = Ref::steal(PyDict_New());
    if (PyDict_SetItemString(config.get(), "index_type", py_str("row_screen").get()) < 0) rethrow_python();
    call(ns.get<"write_config">().get(), {join_path(folder.get(), "config.json").get(), config.get()});

    Ref target = join_path(folder.get(), "filter.db");
    FolderLock lock(folder.get());
    Ref staged_name = lock.held() ? py_str(".filter.db.tmp")
                                  : Ref::steal(PyUnicode_FromFormat(".filter.db.%ld.%lu.tmp",
                                                                    static_cast<long>(::getpid()),
                                                                    PyThread_get_thread_ident()));
    Ref staged = Ref::steal(PyNumber_TrueDivide(folder.get(), staged_name.get()));
    Ref journal = Ref::steal(PyNumber_TrueDivide(
        folder.get(), Ref::steal(PyUnicode_FromFormat("%U-journal", staged_name.get())).get()));
    Ref staged_text = str(staged.get());
    try {
      // A journal left by a killed save would be rolled back into the new
      // file when it is opened: it goes before the file does.
      remove_if_present(journal.get());
      remove_if_present(staged.get());
      if (lock.held()) remove_files_of_ended_saves(folder.get());
      with_file_connection(staged_text.get(), nullptr, [&](PyObject* file) {
        Ref conn = connection(self);
        call_method(conn.get(), name<"backup">(), {file});
      });
      os_call(name<"replace">(), {staged.get(), target.get()});
    } catch (...) {
      translate_current_exception();
      cleanup_keeping_error([&] {
        remove_if_present(staged.get());
        remove_if_present(journal.get());
      });
      throw PyErrorSet{};
    }
    sync_folder(folder.get());
    return Ref::none();
  });
}

// ---- checking a loaded database -----------------------------------------------

// The schema objects a fresh store holds, by name: (type, table, sql).
Ref reference_objects() {
  static PyObject* objects = nullptr;
  if (objects == nullptr) {
    Ref conn = new_memory_connection();
    call_method(conn.get(), name<"executescript">(), {py_str(kSchema).get()});
    Ref rows = query_rows(conn.get(), "SELECT name, type, tbl_name, sql FROM sqlite_master");
    call_method(conn.get(), name<"close">(), {});
    Ref made = Ref::steal(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
      PyObject* row = PyList_GET_ITEM(rows.get(), i);
      Ref rest = Ref::steal(PySequence_GetSlice(row, 1, 4));
      if (PyObject_SetItem(made.get(), row_item(row, 0).get(), Ref::steal(PySequence_Tuple(rest.get())).get()) < 0) {
        rethrow_python();
      }
    }
    objects = made.release();
  }
  return Ref::borrow(objects);
}

[[noreturn]] void refuse_file(PyObject* source, PyObject* detail) {
  Ref message = Ref::steal(PyUnicode_FromFormat("%R is not a saved filter store: it %U.", str(source).get(), detail));
  PyErr_SetObject(PyExc_ValueError, message.get());
  rethrow_python();
}

template <class... A>
[[noreturn]] void refuse_file(PyObject* source, const char* format, A... args) {
  Ref detail = Ref::steal(PyUnicode_FromFormat(format, args...));
  refuse_file(source, detail.get());
}

bool is_valid_identifier(PyObject* column) {
  try {
    call(ns.get<"validate_identifier">().get(), {column});
    return true;
  } catch (const PyErrorSet&) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError)) throw;
    PyErr_Clear();
    return false;
  }
}

// A loaded database answers filters and takes writes as it is, so it must
// hold exactly our tables and indexes: a view or a trigger under our names
// would answer or act in place of them, and a metadata column name is
// spliced into statements.
void check_schema(PyObject* conn, PyObject* source) {
  Ref reference = reference_objects();
  Ref seen = Ref::steal(PySet_New(nullptr));
  Ref rows = query_rows(conn, "SELECT name, type, tbl_name, sql FROM sqlite_master");
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) {
    PyObject* row = PyList_GET_ITEM(rows.get(), i);
    Ref object_name = row_item(row, 0);
    Ref kind = row_item(row, 1);
    Ref described = Ref::steal(PySequence_Tuple(Ref::steal(PySequence_GetSlice(row, 1, 4)).get()));
    if (PySet_Add(seen.get(), object_name.get()) < 0) rethrow_python();
    PyObject* expected = nullptr;
    if (PyDict_GetItemRef(reference.get(), object_name.get(), &expected) < 0) rethrow_python();
    if (expected == nullptr) refuse_file(source, "holds the %S %R, which a store never makes", kind.get(), object_name.get());
    Ref want = Ref::steal(expected);
    if (PyUnicode_CompareWithASCIIString(object_name.get(), "metadata") == 0) {
      // Its columns grow; they are checked below.
      if (!compare(kind.get(), PyTuple_GET_ITEM(want.get(), 0), Py_EQ)) {
        refuse_file(source, "holds a %S named 'metadata' instead of the table", kind.get());
      }
      continue;
    }
    if (!compare(described.get(), want.get(), Py_EQ)) {
      refuse_file(source, "holds the %S %R, defined otherwise than a store defines it", kind.get(),
                  object_name.get());
    }
  }
  Ref missing = Ref::steal(PyNumber_Subtract(Ref::steal(PySet_New(reference.get())).get(), seen.get()));
  if (length(missing.get()) > 0) {
    Ref names = Ref::steal(PySequence_List(missing.get()));
    if (PyList_Sort(names.get()) < 0) rethrow_python();
    refuse_file(source, "lacks %R", names.get());
  }

  // metadata: the row key first, then untyped, unconstrained columns whose
  // names are plain identifiers, exactly as ADD COLUMN made them.
  Ref columns = query_rows(conn, "PRAGMA table_xinfo(metadata)");
  Ref reference_sql = Ref::borrow(PyTuple_GET_ITEM(PyDict_GetItemString(reference.get(), "metadata"), 2));
  std::string expected_sql = utf8(reference_sql.get());
  expected_sql.pop_back();  // the closing parenthesis
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns.get()); ++i) {
    PyObject* column = PyList_GET_ITEM(columns.get(), i);
    Ref column_name = row_item(column, 1);
    if (i == 0) {
      if (!PyUnicode_Check(column_name.get()) || PyUnicode_CompareWithASCIIString(column_name.get(), "position") != 0) {
        refuse_file(source, "has a metadata table whose first column is not 'position'");
      }
      continue;
    }
    if (!PyUnicode_CheckExact(column_name.get()) || !is_valid_identifier(column_name.get())) {
      refuse_file(source, "has the metadata column %R, which is not a plain identifier", column_name.get());
    }
    Ref declared = row_item(column, 2);
    Ref not_null = row_item(column, 3);
    Ref default_value = row_item(column, 4);
    Ref key = row_item(column, 5);
    Ref hidden = row_item(column, 6);
    const bool plain = PyUnicode_Check(declared.get()) && PyUnicode_GetLength(declared.get()) == 0 &&
                       !truth(not_null.get()) && default_value.is_none() && !truth(key.get()) &&
                       !truth(hidden.get());
    if (!plain) refuse_file(source, "has the metadata column %R with a type or constraint", column_name.get());
    expected_sql += ", " + utf8(column_name.get());
  }
  expected_sql += ")";
  Ref row = call_method(execute(conn, "SELECT sql FROM sqlite_master WHERE name = 'metadata'").get(),
                        name<"fetchone">(), {});
  Ref sql = row_item(row.get(), 0);
  if (!PyUnicode_Check(sql.get()) || utf8(sql.get()) != expected_sql) {
    refuse_file(source, "defines the metadata table otherwise than a store defines it");
  }
}

// Nothing enforces the declared references to docs, so a crafted file can
// hold grants or metadata for a position no document holds: the document
// that add() later puts there would inherit them, visible to those roles.
void check_positions(PyObject* conn, PyObject* source) {
  for (const char* table : {"metadata", "metadata_multi", "doc_access"}) {
    const std::string sql = std::string("SELECT position FROM ") + table +
                            " WHERE position NOT IN (SELECT position FROM docs) LIMIT 1";
    Ref rows = query_rows(conn, sql);
    if (PyList_GET_SIZE(rows.get()) > 0) {
      Ref position = row_item(PyList_GET_ITEM(rows.get(), 0), 0);
      refuse_file(source, "holds rows in %s for the position %R, which no document in docs holds", table,
                  position.get());
    }
  }
}

PyObject* load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("load", {"directory"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_exact(a[0], &PyUnicode_Type, "directory", false);
    Ref folder = call(ns.get<"Path">().get(), {a[0]});
    Ref source = join_path(folder.get(), "filter.db");
    // A missing file is an error, and opening read-only creates nothing.
    Ref mode = attr<"st_mode">(os_call(name<"stat">(), {source.get()}).get());
    Ref stat = Ref::steal(PyImport_ImportModule("stat"));
    if (!truth(call(attr<"S_ISREG">(stat.get()).get(), {mode.get()}).get())) {
      refuse_file(source.get(), "is not a regular file");
    }
    Ref uri = call_method(call_method(source.get(), name<"absolute">(), {}).get(), name<"as_uri">(), {});
    Ref read_only = Ref::steal(PyUnicode_FromFormat("%U?mode=ro", uri.get()));

    Ref store = call_method(cls, name<"__new__">(), {cls});
    Ref conn = new_memory_connection();
    set_store_fields(store.get(), conn);
    try {
      Ref kw = Ref::steal(PyDict_New());
      if (PyDict_SetItemString(kw.get(), "uri", Py_True) < 0) rethrow_python();
      with_file_connection(read_only.get(), kw.get(),
                           [&](PyObject* file) { call_method(file, name<"backup">(), {conn.get()}); });
      check_schema(conn.get(), source.get());
      check_positions(conn.get(), source.get());
    } catch (...) {
      translate_current_exception();
      cleanup_keeping_error([&] { call_method(conn.get(), name<"close">(), {}); });
      throw PyErrorSet{};
    }
    return store;
  });
}

PyMethodDef save_def = {"save", as_cfunction(save), kFastcall,
                        "save($self, /, directory)\n--\n\n"
     "Write the store to `directory` (config.json and filter.db), creating it."};
PyMethodDef load_def = {"load", as_cfunction(load), kFastcall | METH_CLASS,
                        "load($type, /, directory)\n--\n\n"
     "A new store holding what `directory`/filter.db holds."};

}  // namespace

void install_folder() {
  add_to_class("save", make_member(&save_def, Wrap::locked));
  add_to_class("load", Ref::steal(PyDescr_NewClassMethod(screen_class.type(), &load_def)));
}

}  // namespace tx::row_screen
