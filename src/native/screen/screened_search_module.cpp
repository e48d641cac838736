// tarnix_engine._screened_search: ScreenedSearch, a pre-filter store in front
// of any index. This file holds the class, its searches, properties and
// forwarding; the writes and the folder format live beside it.
#define TX_NUMPY_MAIN
#include "screen/screened_glue.hpp"

#include <unordered_map>

namespace tx::screened {

tx::Namespace ns;
tx::PlainClass screened_class;

namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// ---- the side table of Sync records ----------------------------------------

// Store (or wrapper) -> (its Sync, the weak reference whose callback drops the entry).
// Never destroyed: its references must not be released after the
// interpreter has finalised.
auto& syncs = *new std::unordered_map<PyObject*, std::pair<std::shared_ptr<Sync>, tx::Ref>>();
PyObject* module_object = nullptr;

// Weak-reference callback; its `self` is the key's address as an int.
PyObject* forget_instance(PyObject* address, PyObject*) {
  auto* key = static_cast<PyObject*>(PyLong_AsVoidPtr(address));
  if (key == nullptr && PyErr_Occurred()) return nullptr;
  auto it = syncs.find(key);
  if (it != syncs.end()) {
    // The weak reference being called must outlive this call: move it out first.
    tx::Ref ref = std::move(it->second.second);
    syncs.erase(it);
  }
  Py_RETURN_NONE;
}

PyMethodDef forget_def = {"_forget_instance", forget_instance, METH_O, nullptr};

}  // namespace

// Kept per store rather than per wrapper: a copy of a wrapper, or a second
// wrapper made over the same two halves, numbers the same documents, so it
// must wait for the same writes and see the same misalignment mark. A store
// that cannot be weakly referenced keys by the wrapper itself.
PyObject* sync_key(PyObject* self) {
  PyObject* store = nullptr;
  if (PyObject_GetOptionalAttr(self, tx::name<"_filter">(), &store) < 0) tx::rethrow_python();
  if (store == nullptr) return self;
  const bool weak = PyType_SUPPORTS_WEAKREFS(Py_TYPE(store));
  Py_DECREF(store);  // still held by the wrapper; only its identity is kept
  return weak ? store : self;
}

std::shared_ptr<Sync> sync_of(PyObject* self) {
  PyObject* key = sync_key(self);
  auto it = syncs.find(key);
  if (it != syncs.end()) return it->second.first;
  tx::Ref address = tx::Ref::steal(PyLong_FromVoidPtr(key));
  tx::Ref callback = tx::Ref::steal(PyCFunction_NewEx(&forget_def, address.get(), module_object));
  tx::Ref ref = tx::Ref::steal(PyWeakref_NewRef(key, callback.get()));
  auto sync = std::make_shared<Sync>();
  syncs.emplace(key, std::make_pair(sync, std::move(ref)));
  return sync;
}

void mark_misaligned(Sync& sync, const std::string& why) noexcept {
  if (!sync.misaligned) {
    sync.misaligned = true;
    try {
      sync.why = why;
    } catch (...) {  // the mark itself stands without its reason
    }
  }
}

void refuse_if_misaligned(PyObject* self, const char* what) {
  std::shared_ptr<Sync> sync = sync_of(self);
  if (!sync->misaligned) return;
  tx::raise(PyExc_RuntimeError, std::string("ScreenedSearch cannot ") + what + ": its inner index and its filter " +
                                    "may no longer hold the same documents at the same positions (" + sync->why +
                                    "); rebuild it from the source documents");
}

tx::Ref optional_attr(PyObject* o, PyObject* attribute) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(o, attribute, &value) < 0) tx::rethrow_python();
  return value == nullptr ? tx::Ref() : tx::Ref::steal(value);
}

Py_ssize_t inner_size(PyObject* inner) {
  tx::Ref size = optional_attr(inner, tx::name<"size">());
  if (!size) return -1;
  const Py_ssize_t n = PyNumber_AsSsize_t(size.get(), PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) tx::rethrow_python();
  return n;
}

namespace {

Py_ssize_t as_count(PyObject* value) {
  const Py_ssize_t n = PyNumber_AsSsize_t(value, PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) tx::rethrow_python();
  return n;
}

// The store's size and the id at its last position. A RowScreen keeps both
// between writes (`_tally`); any other store tells its size alone.
struct StoreTally {
  Py_ssize_t count;
  tx::Ref last;  // null when the store does not tell it
};

StoreTally store_tally(PyObject* store) {
  tx::Ref tally = optional_attr(store, tx::name<"_tally">());
  if (!tally) return {as_count(tx::attr<"size">(store).get()), tx::Ref()};
  tx::Ref pair = tx::call(tally.get(), {});
  if (!PyTuple_CheckExact(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
    tx::raise(PyExc_TypeError, "a filter's _tally() must return a (size, last id) tuple");
  }
  return {as_count(PyTuple_GET_ITEM(pair.get(), 0)), tx::Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1))};
}

// Why the two halves no longer number the same documents, or empty while
// they may still. Two size reads and, where the inner index hands out its
// own list of ids, a look at its last one: a fit of as many documents as
// the store holds keeps the counts equal but renames the documents. Costs
// no scan of either side.
std::string drift(PyObject* inner, PyObject* store) {
  const Py_ssize_t held = inner_size(inner);
  if (held < 0) return {};  // an inner index without a size cannot be compared
  StoreTally tally = store_tally(store);
  if (held != tally.count) {
    return "the inner index holds " + std::to_string(held) + " documents and the filter " +
           std::to_string(tally.count);
  }
  if (held == 0 || !tally.last) return {};
  tx::Ref ids = optional_attr(inner, tx::name<"ids">());
  if (!ids || !PyList_CheckExact(ids.get()) || PyList_GET_SIZE(ids.get()) != held) return {};
  tx::Ref last = tx::Ref::borrow(PyList_GET_ITEM(ids.get(), held - 1));
  if (tx::compare(last.get(), tally.last.get(), Py_EQ)) return {};
  return "the inner index's last document is " + tx::repr(last.get()) + " but the filter's " +
         tx::repr(tally.last.get());
}

}  // namespace

Py_ssize_t store_count(PyObject* store) { return store_tally(store).count; }

void check_aligned(PyObject* self, const char* what) {
  std::shared_ptr<Sync> sync = sync_of(self);
  if (!sync->misaligned) {
    tx::Ref inner = inner_of(self);
    tx::Ref store = store_of(self);
    const std::string why = drift(inner.get(), store.get());
    if (!why.empty()) mark_misaligned(*sync, why + ", after a write that bypassed the ScreenedSearch");
  }
  refuse_if_misaligned(self, what);
}

[[noreturn]] void raise_type_lacks(PyObject* inner, const char* what) {
  tx::Ref type_name = tx::attr<"__name__">(reinterpret_cast<PyObject*>(Py_TYPE(inner)));
  tx::raise_format(PyExc_NotImplementedError, "%U does not support %s().", type_name.get(), what);
}

namespace {

// ---- construction ----------------------------------------------------------

PyObject* init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("__init__", {"inner", "row_screen"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref store = (a[1] == nullptr || a[1] == Py_None) ? tx::call(ns.get<"RowScreen">().get(), {})
                                                         : tx::Ref::borrow(a[1]);
    if (PyObject_SetAttr(self, tx::name<"_inner">(), a[0]) < 0) tx::rethrow_python();
    if (PyObject_SetAttr(self, tx::name<"_filter">(), store.get()) < 0) tx::rethrow_python();
    // Halves that already differ are marked now; only restricted calls refuse.
    std::shared_ptr<Sync> sync = sync_of(self);
    if (!sync->misaligned) {
      const std::string why = drift(a[0], store.get());
      if (!why.empty()) mark_misaligned(*sync, why + " when the ScreenedSearch was made");
    }
    return tx::Ref::none();
  });
}

// ---- restriction -----------------------------------------------------------

void check_roles(PyObject* roles) {
  if (roles != nullptr) tx::require_exact(roles, &PyList_Type, "roles", true);
}

bool restricted(PyObject* filter, PyObject* roles) {
  return (filter != nullptr && filter != Py_None) || (roles != nullptr && roles != Py_None);
}

// The wrapper whose restricted search, on this thread, has checked its
// halves and holds its read lock: the candidates it asks for (through the
// overridable names) need no second check, since no write through the
// wrapper can come between.
thread_local PyObject* checked_search = nullptr;

class CheckedSearch {
 public:
  explicit CheckedSearch(PyObject* self) : outer_(checked_search) { checked_search = self; }
  ~CheckedSearch() { checked_search = outer_; }
  CheckedSearch(const CheckedSearch&) = delete;
  CheckedSearch& operator=(const CheckedSearch&) = delete;

 private:
  PyObject* outer_;
};

tx::Ref candidates_impl(PyObject* self, PyObject* filter, PyObject* roles) {
  if (!restricted(filter, roles)) return tx::Ref::none();
  if (checked_search != self) check_aligned(self, "restrict a search");
  tx::Ref store = store_of(self);
  // The store keys its cache by the roles before it queries with them: it
  // gets a list no other code holds, so nothing run meanwhile (a filter's
  // translation, another thread) can change the roles between the two and
  // leave one caller's answer cached under another's roles.
  tx::Ref roles_held = (roles == nullptr || roles == Py_None)
                           ? tx::Ref::none()
                           : tx::Ref::steal(PyList_GetSlice(roles, 0, PyList_GET_SIZE(roles)));
  return tx::call_method(store.get(), tx::name<"positions">(), {filter ? filter : Py_None, roles_held.get()});
}

PyObject* candidates(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("candidates", {"filter", "roles"}, 0);
    const auto a = sig.bind(args, nargs, kwnames);
    check_roles(a[1]);
    ReadHold hold(sync_of(self));
    return candidates_impl(self, a[0], a[1]);
  });
}

tx::Ref resolve_impl(PyObject* self, PyObject* filter, PyObject* roles, PyObject* explicit_candidates) {
  tx::Ref allowed = tx::call_method(self, tx::name<"candidates">(), {filter, roles});
  if (explicit_candidates == Py_None) return allowed;
  // Converted as numpy's asarray(candidates, dtype=int64) converts: an
  // unsigned or float array is cast, not refused.
  tx::Ref given = tx::Ref::steal(PyArray_FROMANY(explicit_candidates, NPY_INT64, 0, 0, NPY_ARRAY_FORCECAST));
  if (PyArray_NDIM(tx::as_array_object(given.get())) != 1) {
    tx::raise(PyExc_ValueError, "candidates passed to ScreenedSearch must be a 1D array of positions.");
  }
  if (allowed.is_none()) return given;
  return tx::call_method(ns.get<"np">().get(), tx::name<"intersect1d">(), {allowed.get(), given.get()});
}

PyObject* resolve_candidates(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("_resolve_candidates", {"filter", "roles", "candidates"}, 3);
    const auto a = sig.bind(args, nargs, kwnames);
    return resolve_impl(self, a[0], a[1], a[2]);
  });
}

// search and search_raw: restrict, then call the inner method of that name.
template <tx::Literal Method>
PyObject* restricted_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const tx::VarSignature<0, 3> sig(Method.text, {}, {"filter", "roles", "candidates"}, 0);
    auto b = sig.bind(args, nargs, kwnames);
    PyObject* filter = b.keyword[0] ? b.keyword[0] : Py_None;
    PyObject* roles = b.keyword[1] ? b.keyword[1] : Py_None;
    PyObject* given = b.keyword[2] ? b.keyword[2] : Py_None;
    check_roles(roles);
    // Held across both steps, so a write cannot renumber the inner index
    // between the store's answer and the search that uses it.
    ReadHold hold(sync_of(self));
    if (restricted(filter, roles)) check_aligned(self, "restrict a search");
    tx::Ref allowed;
    {
      CheckedSearch checked(self);
      allowed = tx::call_method(self, tx::name<"_resolve_candidates">(), {filter, roles, given});
    }
    if (!allowed.is_none() && PyDict_SetItem(b.kwargs.get(), tx::name<"candidates">(), allowed.get()) < 0) {
      tx::rethrow_python();
    }
    tx::Ref inner = inner_of(self);
    tx::Ref method = tx::attr(inner.get(), tx::name<Method>());
    return tx::Ref::steal(PyObject_Call(method.get(), b.args.get(), b.kwargs.get()));
  });
}

// ---- properties, forwarding, repr -----------------------------------------

PyObject* get_inner(PyObject* self) {
  return tx::guard([&] { return inner_of(self); });
}

PyObject* get_row_screen(PyObject* self) {
  return tx::guard([&] { return store_of(self); });
}

PyObject* get_index_type(PyObject*) {
  return tx::guard([] { return tx::py_str("filtered"); });
}

tx::Ref store_size(PyObject* self) {
  tx::Ref store = store_of(self);
  tx::Ref size = tx::attr<"size">(store.get());
  return tx::Ref::steal(PyNumber_Index(size.get()));
}

PyObject* get_size(PyObject* self) {
  return tx::guard([&] { return store_size(self); });
}

PyObject* get_is_trained(PyObject* self) {
  return tx::guard([&] {
    tx::Ref size = store_size(self);
    tx::Ref inner = inner_of(self);
    tx::Ref trained = optional_attr(inner.get(), tx::name<"is_trained">());
    if (trained) return tx::py_bool(tx::truth(trained.get()));
    return tx::py_bool(PyObject_RichCompareBool(size.get(), tx::py_long(0).get(), Py_GT) == 1);
  });
}

PyObject* get_ids(PyObject* self) {
  return tx::guard([&] {
    tx::Ref store = store_of(self);
    return tx::attr<"ids">(store.get());
  });
}

PyObject* getattr_(PyObject* self, PyObject* attribute) {
  return tx::guard([&] {
    if (PyUnicode_Check(attribute) && PyUnicode_GET_LENGTH(attribute) > 0 &&
        PyUnicode_READ_CHAR(attribute, 0) == '_') {
      PyErr_SetObject(PyExc_AttributeError, attribute);
      tx::rethrow_python();
    }
    tx::Ref inner = inner_of(self);
    return tx::attr(inner.get(), attribute);
  });
}

PyObject* repr_(PyObject* self, PyObject*) {
  return tx::guard([&] {
    tx::Ref inner = inner_of(self);
    tx::Ref size = tx::attr<"size">(self);
    return tx::Ref::steal(PyUnicode_FromFormat("ScreenedSearch(%R, size=%S)", inner.get(), size.get()));
  });
}

PyMethodDef methods[] = {
    {"__init__", tx::as_cfunction(init), kFastcall,
     "__init__($self, inner, row_screen=None)\n--\n\n"
     "Wrap the index `inner`; row_screen=None starts a new empty RowScreen."},
    {"add", tx::as_cfunction(add), kFastcall,
     "add($self, ids, *args, metadata=None, roles=None, **kwargs)\n--\n\n"
     "Register the documents in the filter, then add them to the inner index; grant the roles.\n"
     "Forwards inner.add(ids, *args, **kwargs), so the other arguments are the inner index's own:\n"
     "  vector:    add(ids, vectors, parallel=False)\n"
     "  text:      add(ids, texts, parallel=False)\n"
     "  streaming: add_batch(corpus, vectors, parallel=False), given *args and **kwargs without the ids\n"
     "metadata (one dict per id, or None) and roles (a list of role names, or None) are taken here."},
    {"update", tx::as_cfunction(update), kFastcall,
     "update($self, ids, *args, metadata=None, **kwargs)\n--\n\n"
     "Update documents in the inner index and their metadata.\n"
     "Forwards inner.update(ids, *args, **kwargs), so the other arguments are the inner index's own:\n"
     "  vector:    update(ids, vectors)\n"
     "  text:      update(ids, texts)\n"
     "  streaming: has no update\n"
     "metadata (one dict per id, or None) is taken here."},
    {"update_metadata", tx::as_cfunction(update_metadata), kFastcall,
     "update_metadata($self, ids, metadata)\n--\n\nReplace the documents' metadata; the inner index is untouched."},
    {"grant", tx::as_cfunction(grant), kFastcall, "grant($self, ids, roles)\n--\n\nGrant every role to every id."},
    {"revoke", tx::as_cfunction(revoke), kFastcall,
     "revoke($self, ids, roles)\n--\n\nRevoke every role from every id."},
    {"delete", tx::as_cfunction(delete_), kFastcall,
     "delete($self, ids)\n--\n\nDelete the documents from the inner index, then from the filter."},
    {"candidates", tx::as_cfunction(candidates), kFastcall,
     "candidates($self, filter=None, roles=None)\n--\n\n"
     "The positions a filter and roles allow, or None for no restriction.\n"
     "Forwards to the row screen's positions(filter, roles); the answer is what the inner\n"
     "index's search and search_raw take as candidates=. roles is a list of role names\n"
     "(None: no access check; []: nothing)."},
    {"_resolve_candidates", tx::as_cfunction(resolve_candidates), kFastcall, nullptr},
    {"search", tx::as_cfunction(restricted_search<"search">), kFastcall,
     "search($self, *args, filter=None, roles=None, candidates=None, **kwargs)\n--\n\n"
     "Search the inner index restricted to what the filter and roles allow.\n\n"
     "Forwards inner.search(*args, candidates=..., **kwargs), so the other arguments are the\n"
     "inner index's own:\n"
     "  vector:    search(query, k, parallel=False, batch_size=None)\n"
     "  text:      search(query, k, parallel=False, batch_size=None)\n"
     "  streaming: search(query_text, query_vector, k=None, parallel=False, batch_size=None)\n"
     "filter (an AttrSieve chain, anything compile_filter takes, or None) and roles (a list\n"
     "of role names, or None) are taken here; candidates (positions, or None) is intersected\n"
     "with what they allow and passed on by keyword, so it must not be given by position."},
    {"search_raw", tx::as_cfunction(restricted_search<"search_raw">), kFastcall,
     "search_raw($self, *args, filter=None, roles=None, candidates=None, **kwargs)\n--\n\n"
     "The inner index's search_raw, restricted as search is.\n\n"
     "Forwards inner.search_raw(*args, candidates=..., **kwargs), so the other arguments are the\n"
     "inner index's own:\n"
     "  vector:    search_raw(vectors, k, *, parallel=False, n_candidates=None)\n"
     "  text:      search_raw(queries, k, parallel=False)\n"
     "  streaming: has no search_raw; use search.\n"
     "(the vector index's own third positional argument is candidates, so pass the rest by keyword)\n"
     "filter, roles and candidates are taken as search takes them."},
    {"save", tx::as_cfunction(save), kFastcall,
     "save($self, directory, base_dir=None)\n--\n\nSave the inner index and the filter as one folder."},
    {"load", tx::as_cfunction(load), kFastcall | METH_CLASS,
     "load($type, directory, base_dir=None)\n--\n\nLoad a saved folder, refusing one whose two halves disagree."},
    {"__getattr__", getattr_, METH_O, nullptr},
    {"__repr__", repr_, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

const tx::PlainClassSpec::Property properties[] = {
    {"inner", get_inner, nullptr, "The wrapped index."},
    {"row_screen", get_row_screen, nullptr, "The pre-filter store."},
    {"index_type", get_index_type, nullptr, "Always \"filtered\"."},
    {"size", get_size, nullptr, "Number of documents registered in the filter."},
    {"is_trained", get_is_trained, nullptr, "Whether the inner index can be searched."},
    {"ids", get_ids, nullptr, "Every registered id in position order, as a new list."},
    {nullptr, nullptr, nullptr, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_screened_search",
                          "An index searched through a pre-filter store of metadata and role grants.", -1};

}  // namespace
}  // namespace tx::screened

PyMODINIT_FUNC PyInit__screened_search() {
  using namespace tx::screened;
  return tx::init_module(&module_def, [](PyObject* module) {
    tx::attach_numpy();
    module_object = module;
    ns.bind(module);
    ns.import_module("np", "numpy");
    ns.import_from("tarnix_engine._persistence", {"read_config", "resolve_directory", "write_config",
                                                     "stage_folder", "commit_folder", "discard_folder",
                                                     "refuse_interrupted_swap"});
    ns.import_from("tarnix_engine._registry", {"load_engine_from_directory"});
    ns.import_from("tarnix_engine._row_screen", {"RowScreen"});
    tx::PlainClassSpec spec;
    spec.module = "tarnix_engine._screened_search";
    spec.qualname = "ScreenedSearch";
    spec.doc =
        "An index whose searches can be restricted by a metadata filter and by role grants.\n\n"
        "Wraps any index (vector, text, streaming) together with a RowScreen that numbers the same\n"
        "documents at the same positions.";
    spec.methods = methods;
    spec.properties = properties;
    screened_class = tx::PlainClass::create(module, spec);
    tx::Ref loader = tx::Ref::steal(PyStaticMethod_New(ns.get<"load_engine_from_directory">().get()));
    if (PyObject_SetAttrString(screened_class.object(), "_load_inner", loader.get()) < 0) tx::rethrow_python();
  });
}
