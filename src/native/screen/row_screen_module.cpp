// tarnix_engine._row_screen: the pre-filter store. Document ids, their
// append-order positions, scalar and multi-valued metadata and role grants
// live in a private in-memory SQLite database reached through the
// interpreter's sqlite3 module (so its errors, binding rules and authorizer
// are the binding's own). This file holds the module itself: its constants,
// the wrappers that serialise every member on the store's lock and run every
// write as one transaction, the authorizer of filter queries and the class.
// The reads, the writes and the saved folder have files of their own.
#define TX_NUMPY_MAIN
#include "screen/row_screen_glue.hpp"

namespace tx::row_screen {

Namespace ns;
PlainClass screen_class;

namespace {

// ---- _locked and _writes ----------------------------------------------------
//
// A wrapped member is an object of its own type that binds to an instance as
// a function does and, when called, holds the store's lock around the call of
// the method it wraps (and, for a write, runs it as one transaction). Its
// instance dictionary receives what functools.update_wrapper copies from the
// wrapped method: name, qualified name, module, documentation and __wrapped__.

struct StoreMethod {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* wrapped;
  bool writes;
};

PyTypeObject* store_method_type = nullptr;

StoreMethod* as_store_method(PyObject* o) { return reinterpret_cast<StoreMethod*>(o); }

void acquire(PyObject* lock) { call_method(lock, name<"acquire">(), {}); }

// Releases the lock after a failure without losing the failure.
void release_keeping_error(PyObject* lock) noexcept {
  cleanup_keeping_error([&] { call_method(lock, name<"release">(), {}); });
}

void clear_cache(PyObject* self) {
  forget_reads(self);
  Ref cache = attr<"_cache">(self);
  call_method(cache.get(), name<"clear">(), {});
}

Ref call_wrapped(PyObject* wrapped, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return Ref::steal(PyObject_Vectorcall(wrapped, args, nargsf, kwnames));
}

// The body of a write: a transaction that a failure of any kind rolls back,
// and a cache clear in every case. A transaction some earlier failure left
// open (a rollback that failed) is rolled back first: adopting it would
// commit its half-applied changes with this write.
Ref run_write(PyObject* self, PyObject* wrapped, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Ref result;
  try {
    Ref conn = connection(self);
    try {
      if (truth(attr<"in_transaction">(conn.get()).get())) call_method(conn.get(), name<"rollback">(), {});
      if (!truth(attr<"in_transaction">(conn.get()).get())) execute(conn.get(), "BEGIN");
      result = call_wrapped(wrapped, args, nargsf, kwnames);
      if (truth(attr<"in_transaction">(conn.get()).get())) call_method(conn.get(), name<"commit">(), {});
    } catch (...) {
      translate_current_exception();
      PyObject* failure = PyErr_GetRaisedException();
      PyObject* rollback = PyObject_CallMethodNoArgs(conn.get(), name<"rollback">());
      if (rollback == nullptr) {
        // The rollback's own error is the one that propagates, raised while
        // the first was being handled.
        PyObject* second = PyErr_GetRaisedException();
        PyException_SetContext(second, failure);  // steals failure
        failure = second;
      } else {
        Py_DECREF(rollback);
      }
      PyErr_SetRaisedException(failure);
      throw PyErrorSet{};
    }
  } catch (...) {
    translate_current_exception();
    cleanup_keeping_error([&] { clear_cache(self); });
    throw PyErrorSet{};
  }
  clear_cache(self);
  return result;
}

PyObject* store_method_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return guard([&] {
    StoreMethod* m = as_store_method(callable);
    if (PyVectorcall_NARGS(nargsf) < 1) {
      // Called unbound without an instance: let the wrapped method word it.
      return call_wrapped(m->wrapped, args, nargsf, kwnames);
    }
    PyObject* self = args[0];
    Ref lock = attr<"_lock">(self);
    acquire(lock.get());
    Ref result;
    try {
      result = m->writes ? run_write(self, m->wrapped, args, nargsf, kwnames)
                         : call_wrapped(m->wrapped, args, nargsf, kwnames);
    } catch (...) {
      translate_current_exception();
      release_keeping_error(lock.get());
      throw PyErrorSet{};
    }
    call_method(lock.get(), name<"release">(), {});
    return result;
  });
}

PyObject* store_method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

int store_method_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_store_method(self)->wrapped);
  return PyObject_VisitManagedDict(self, visit, arg);
}

int store_method_clear(PyObject* self) {
  Py_CLEAR(as_store_method(self)->wrapped);
  PyObject_ClearManagedDict(self);
  return 0;
}

void store_method_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  store_method_clear(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyObject* store_method_repr(PyObject* self) {
  return guard([&] {
    Ref qualname = Ref::steal(PyObject_GetAttrString(self, "__qualname__"));
    return Ref::steal(PyUnicode_FromFormat("<store method %S>", qualname.get()));
  });
}

PyMemberDef store_method_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(StoreMethod, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef store_method_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot store_method_slots[] = {
    {Py_tp_getset, store_method_getset},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(store_method_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(store_method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(store_method_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(store_method_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(store_method_repr)},
    {Py_tp_members, store_method_members},
    {0, nullptr},
};

PyType_Spec store_method_spec = {
    "tarnix_engine._row_screen.store_method", static_cast<int>(sizeof(StoreMethod)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    store_method_slots};

// _locked(method) / _writes(method): the wrapper, carrying the wrapped
// method's name, qualified name, module and documentation.
Ref wrap(PyObject* method, bool writes) {
  Ref made = Ref::steal(PyType_GenericAlloc(store_method_type, 0));
  StoreMethod* m = as_store_method(made.get());
  m->vectorcall = store_method_call;
  m->wrapped = Py_NewRef(method);
  m->writes = writes;
  Ref functools = ns.get<"functools">();
  call(attr<"update_wrapper">(functools.get()).get(), {made.get(), method});
  return made;
}

PyObject* locked_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("_locked", {"method"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    return wrap(a[0], false);
  });
}

PyObject* writes_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    static const auto sig = signature<1>("_writes", {"method"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    return wrap(a[0], true);
  });
}

// ---- the authorizer of filter queries ---------------------------------------

long sqlite_ok = 0, sqlite_deny = 1, sqlite_select = 21, sqlite_read = 20, sqlite_function = 31;

bool in_module_set(PyObject* set_name, PyObject* value) {
  Ref allowed = ns.get(set_name);
  const int found = PySequence_Contains(allowed.get(), value);
  if (found < 0) {
    // An unhashable argument is simply not in the set.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) rethrow_python();
    PyErr_Clear();
    return false;
  }
  return found == 1;
}

PyObject* filter_authorizer(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&] {
    if (nargs != 5) {
      raise_format(PyExc_TypeError, "_filter_authorizer() takes exactly 5 positional arguments (%zd given)", nargs);
    }
    const long action = PyLong_AsLong(args[0]);
    if (action == -1 && PyErr_Occurred()) rethrow_python();
    bool allowed = false;
    if (action == sqlite_select) {
      allowed = true;
    } else if (action == sqlite_read) {
      allowed = in_module_set(name<"_AUTHORIZED_TABLES">(), args[1]);
    } else if (action == sqlite_function) {
      Ref function = args[2] == Py_None ? text("") : call_method(args[2], name<"lower">(), {});
      allowed = in_module_set(name<"_AUTHORIZED_FUNCTIONS">(), function.get());
    }
    return py_long(allowed ? sqlite_ok : sqlite_deny);
  });
}

}  // namespace

bool roles_query_authorized() {
  Ref current = ns.get<"_filter_authorizer">();
  if (!PyCFunction_Check(current.get()) ||
      PyCFunction_GET_FUNCTION(current.get()) != as_cfunction(filter_authorizer)) {
    return false;
  }
  return in_module_set(name<"_AUTHORIZED_TABLES">(), name<"metadata">()) &&
         in_module_set(name<"_AUTHORIZED_TABLES">(), name<"docs">()) &&
         in_module_set(name<"_AUTHORIZED_TABLES">(), name<"doc_access">());
}

namespace {

// ---- construction -----------------------------------------------------------

// The three fields of a store: its connection, its lock and its cache.
void set_fields(PyObject* self, const Ref& conn) {
  if (PyObject_SetAttr(self, name<"_conn">(), conn.get()) < 0) rethrow_python();
  Ref lock = call(attr<"RLock">(ns.get<"threading">().get()).get(), {});
  if (PyObject_SetAttr(self, name<"_lock">(), lock.get()) < 0) rethrow_python();
  Ref cache = call(ns.get<"OrderedDict">().get(), {});
  if (PyObject_SetAttr(self, name<"_cache">(), cache.get()) < 0) rethrow_python();
}

PyObject* screen_init(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("__init__", nargs, kwnames);
    Ref conn = new_memory_connection();
    call_method(conn.get(), name<"executescript">(), {ns.get<"_SCHEMA">().get()});
    set_fields(self, conn);
    return Ref::none();
  });
}

// The connection type of the interpreter's sqlite3, kept from module load
// so that a store collected while the interpreter shuts down needs no
// module lookup; and the count of references a new connection holds from
// one owner (the binding's statement cache holds one more of its own).
PyObject* connection_type = nullptr;
Py_ssize_t owned_connection_refs = 0;

// A collected store closes its connection, so none is left for the
// interpreter to warn about as unclosed; one that something else still holds
// (a cursor, or a caller that kept store._conn) is left to that holder.
PyObject* screen_del(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    no_arguments("__del__", nargs, kwnames);
    forget_reads(self);  // what the reads keep holds the connection too
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(self, name<"_conn">(), &raw) < 0) rethrow_python();
    if (raw == nullptr) return Ref::none();
    Ref conn = Ref::steal(raw);
    const int is_connection = PyObject_IsInstance(conn.get(), connection_type);
    if (is_connection < 0) rethrow_python();
    // Held here and by the store alone.
    if (is_connection && Py_REFCNT(conn.get()) <= owned_connection_refs + 1) {
      call_method(conn.get(), name<"close">(), {});
    }
    return Ref::none();
  });
}

PyMethodDef module_methods[] = {
    {"_locked", as_cfunction(locked_fn), kFastcall, "Run a store method holding the store's lock."},
    {"_writes", as_cfunction(writes_fn), kFastcall,
     "Run a store method holding the store's lock, as one transaction, then empty the positions cache."},
    {"_filter_authorizer", as_cfunction(filter_authorizer), METH_FASTCALL,
     "SQLite authorizer of filter queries: reads of the store's tables and LIKE only."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef init_def = {"__init__", as_cfunction(screen_init), kFastcall,
                        "__init__($self, /)\n--\n\nAn empty store in a private in-memory SQLite database."};
PyMethodDef del_def = {"__del__", as_cfunction(screen_del), kFastcall,
                       "__del__($self, /)\n--\n\nClose the store's connection unless something else holds it."};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_row_screen",
                          "Pre-filter store: document positions, metadata and role grants in SQLite.", -1,
                          module_methods};

const char* kClassDoc =
    "Pre-filter store driven by SQL: ids at append-order positions, scalar and\n"
    "multi-valued metadata and role grants, answering a filter and a list of\n"
    "roles with the sorted, read-only positions an index search takes as its\n"
    "candidates.";

Ref frozen_set(std::initializer_list<const char*> items) {
  Ref list = new_list();
  for (const char* s : items) list_append(list.get(), py_str(s).get());
  return Ref::steal(PyFrozenSet_New(list.get()));
}

long module_int(PyObject* module, const char* attribute) {
  Ref v = Ref::steal(PyObject_GetAttrString(module, attribute));
  const long n = PyLong_AsLong(v.get());
  if (n == -1 && PyErr_Occurred()) rethrow_python();
  return n;
}

}  // namespace

Ref new_memory_connection() {
  Ref connect = attr<"connect">(ns.get<"sqlite3">().get());
  return call(connect.get(), {py_str(":memory:").get(), Py_False}, kwnames<"check_same_thread">());
}

void set_store_fields(PyObject* self, const Ref& conn) { set_fields(self, conn); }

Ref make_member(const PyMethodDef* def, Wrap how) {
  Ref descr = Ref::steal(PyDescr_NewMethod(screen_class.type(), const_cast<PyMethodDef*>(def)));
  if (how == Wrap::none) return descr;
  return wrap(descr.get(), how == Wrap::writes);
}

void add_to_class(const char* attribute, const Ref& value) {
  if (PyObject_SetAttrString(screen_class.object(), attribute, value.get()) < 0) rethrow_python();
}

}  // namespace tx::row_screen

PyMODINIT_FUNC PyInit__row_screen() {
  using namespace tx::row_screen;
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    tx::attach_numpy();
    ns.import_module("functools", "functools");
    ns.import_module("sqlite3", "sqlite3");
    ns.import_module("threading", "threading");
    ns.import_from("collections", {"OrderedDict"});
    ns.import_from("pathlib", {"Path"});
    ns.import_module("np", "numpy");
    ns.import_from("tarnix_engine._clause_builder", {"FilterError", "compile_filter", "filter_cache_key"});
    ns.import_from("tarnix_engine._attr_sieve", {"AttrSieve"});
    ns.import_from("tarnix_engine._persistence", {"write_config"});
    ns.import_from("tarnix_engine._sql",
                   {"SQL_CHUNK", "AddColumn", "Query", "Update", "chunks", "validate_identifier"});

    tx::Ref sqlite3 = ns.get<"sqlite3">();
    sqlite_ok = module_int(sqlite3.get(), "SQLITE_OK");
    sqlite_deny = module_int(sqlite3.get(), "SQLITE_DENY");
    sqlite_select = module_int(sqlite3.get(), "SQLITE_SELECT");
    sqlite_read = module_int(sqlite3.get(), "SQLITE_READ");
    sqlite_function = module_int(sqlite3.get(), "SQLITE_FUNCTION");
    connection_type = tx::attr<"Connection">(sqlite3.get()).release();
    {
      tx::Ref probe = new_memory_connection();
      owned_connection_refs = Py_REFCNT(probe.get());
      tx::call_method(probe.get(), tx::name<"close">(), {});
    }

    ns.set("_SCHEMA", tx::py_str(kSchema));
    ns.set("_CACHE_SIZE", tx::py_long(static_cast<std::int64_t>(kCacheSize)));
    store_method_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &store_method_spec, nullptr));
    if (store_method_type == nullptr) tx::rethrow_python();

    tx::PlainClassSpec spec;
    spec.module = kModuleName;
    spec.qualname = "RowScreen";
    spec.doc = kClassDoc;
    screen_class = tx::PlainClass::create(module, spec);
    add_to_class("__init__", tx::Ref::steal(PyDescr_NewMethod(screen_class.type(), &init_def)));
    add_to_class("__del__", tx::Ref::steal(PyDescr_NewMethod(screen_class.type(), &del_def)));
    install_reads();
    install_writes();
    install_folder();

    ns.set("_AUTHORIZED_TABLES", frozen_set({"docs", "metadata", "metadata_multi", "doc_access"}));
    ns.set("_AUTHORIZED_FUNCTIONS", frozen_set({"like"}));
  });
}
