// ScreenedSearch writes: the store is written first and undone when the inner
// index fails; deletes go to the inner index first, then the store compacts.
#include <optional>

#include "screen/screened_glue.hpp"

namespace tx::screened {
namespace {

void require_list(PyObject* o, const char* param, bool none_ok) { tx::require_exact(o, &PyList_Type, param, none_ok); }

tx::Ref copy_list(PyObject* list) { return tx::Ref::steal(PyList_GetSlice(list, 0, PyList_GET_SIZE(list))); }

// (ids, *args): the arguments of the inner index's add or update.
tx::Ref ids_then(PyObject* ids, PyObject* args) {
  const Py_ssize_t extra = PyTuple_GET_SIZE(args);
  tx::Ref out = tx::Ref::steal(PyTuple_New(extra + 1));
  PyTuple_SET_ITEM(out.get(), 0, Py_NewRef(ids));
  for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(out.get(), i + 1, Py_NewRef(PyTuple_GET_ITEM(args, i)));
  return out;
}

void check_length(PyObject* list, const char* what, Py_ssize_t n_ids) {
  if (list == nullptr || list == Py_None) return;
  const Py_ssize_t n = PyList_GET_SIZE(list);
  if (n != n_ids) tx::raise_format(PyExc_ValueError, "%s length %zd != ids length %zd", what, n, n_ids);
}

// How many documents an argument of the inner add holds, when that can be
// told without converting it: a list of texts or of rows, a 2-D array, or a
// 1-D numeric array (one vector).
std::optional<Py_ssize_t> batch_count(PyObject* value) {
  if (PyList_Check(value)) {
    const Py_ssize_t n = PyList_GET_SIZE(value);
    if (n == 0) return 0;
    PyObject* first = PyList_GET_ITEM(value, 0);
    if (PyUnicode_Check(first) || PyList_Check(first) || PyTuple_Check(first) || PyArray_Check(first)) return n;
    return std::nullopt;
  }
  if (PyArray_Check(value)) {
    PyArrayObject* a = tx::as_array_object(value);
    if (PyArray_NDIM(a) == 2) return PyArray_DIM(a, 0);
    if (PyArray_NDIM(a) == 1) {
      if (PyArray_ISNUMBER(a)) return 1;
      return PyArray_DIM(a, 0);
    }
  }
  return std::nullopt;
}

void check_batch(PyObject* args, PyObject* kwargs, Py_ssize_t n_ids) {
  auto check = [&](PyObject* value) {
    if (auto n = batch_count(value); n && *n != n_ids) {
      tx::raise_format(PyExc_ValueError, "batch length %zd != ids length %zd", *n, n_ids);
    }
  };
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) check(PyTuple_GET_ITEM(args, i));
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) check(value);
}

// Each roles entry is None or an iterable of role names. Materialised here,
// before the store is written, so that a bad entry cannot leave documents
// added without their grants (and a one-shot iterator is read only once).
tx::Ref checked_roles(PyObject* roles) {
  const Py_ssize_t n = PyList_GET_SIZE(roles);
  tx::Ref entries = tx::Ref::steal(PyList_New(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    tx::Ref entry = tx::Ref::borrow(PyList_GET_ITEM(roles, i));
    if (PyUnicode_Check(entry.get()) || PyBytes_Check(entry.get()) || PyByteArray_Check(entry.get())) {
      tx::raise_format(PyExc_TypeError,
                       "roles[%zd] must be None or a list of role names, not a single %s; "
                       "write [name] to grant one role",
                       i, tx::type_name(entry.get()));
    }
    tx::Ref names;
    if (tx::truth(entry.get())) {
      names = tx::Ref::steal(PySequence_List(entry.get()));
      for (Py_ssize_t j = 0; j < PyList_GET_SIZE(names.get()); ++j) {
        PyObject* role = PyList_GET_ITEM(names.get(), j);
        if (!PyUnicode_Check(role)) {
          tx::raise_format(PyExc_TypeError, "roles[%zd] holds a role name that is not a str: %s", i,
                           tx::type_name(role));
        }
      }
    } else {
      names = tx::Ref::none();
    }
    PyList_SET_ITEM(entries.get(), i, names.release());
  }
  return entries;
}

// Takes the new ids out of the store again after the inner add failed; the
// pending exception is raised again unchanged, or, if the undo fails too,
// the undo's error with the first as its context. `ids` is the batch as it
// was before the inner index saw the list it was given (and may have changed).
[[noreturn]] void undo_add(Sync& sync, PyObject* store, PyObject* ids, Py_ssize_t size_before, PyObject* inner) {
  PyObject* first = PyErr_GetRaisedException();
  try {
    tx::Ref again = tx::Ref::steal(PySequence_List(ids));
    tx::call_method(store, tx::name<"delete">(), {again.get()});
    tx::call_method(store, tx::name<"compact">(), {});
  } catch (...) {
    tx::translate_current_exception();
    mark_misaligned(sync, "an add failed and its ids could not be taken out of the filter again");
    PyObject* second = PyErr_GetRaisedException();
    PyException_SetContext(second, first);  // steals first
    PyErr_SetRaisedException(second);
    throw tx::PyErrorSet{};
  }
  // An inner index that kept part of the failed batch no longer lines up.
  try {
    if (size_before >= 0 && inner_size(inner) != size_before) {
      mark_misaligned(sync, "the inner index kept part of a failed add");
    }
  } catch (...) {
    PyErr_Clear();
    mark_misaligned(sync, "the inner index's size could not be read after a failed add");
  }
  PyErr_SetRaisedException(first);
  tx::rethrow_python();
}

// New documents take the positions after the ones both sides hold; if the
// two counts differ already (a write that reached the inner index alone,
// such as a forwarded fit), the store's positions would name other
// documents of the inner index. Returns the inner index's size, or -1 when
// it has none to read.
Py_ssize_t require_same_size(Sync& sync, PyObject* inner, PyObject* store) {
  const Py_ssize_t before = inner_size(inner);
  if (before < 0) return before;
  const Py_ssize_t held = store_count(store);
  if (held != before) {
    mark_misaligned(sync, "the inner index and the filter held different numbers of documents");
    tx::raise_format(PyExc_RuntimeError,
                     "the inner index holds %zd documents but the filter %zd, so new documents would not "
                     "take the same positions on both sides; the ScreenedSearch is misaligned and must be "
                     "rebuilt from the source documents",
                     before, held);
  }
  return before;
}

// inner.add(ids, *args, **kwargs), or inner.add_batch(*args, **kwargs) for
// the streaming index, which numbers the batch itself and takes no ids.
void forward_add(PyObject* inner, PyObject* ids, PyObject* args, PyObject* kwargs) {
  tx::Ref method = optional_attr(inner, tx::name<"add">());
  tx::Ref call_args;
  if (method) {
    call_args = ids_then(ids, args);
  } else if ((method = optional_attr(inner, tx::name<"add_batch">()))) {
    call_args = tx::Ref::borrow(args);
  } else {
    tx::Ref type_name = tx::attr<"__name__">(reinterpret_cast<PyObject*>(Py_TYPE(inner)));
    tx::raise_format(PyExc_TypeError, "%U has no add() or add_batch().", type_name.get());
  }
  tx::Ref done = tx::Ref::steal(PyObject_Call(method.get(), call_args.get(), kwargs));
}

void require_grown(Sync& sync, PyObject* inner, Py_ssize_t before, Py_ssize_t n) {
  if (before < 0) return;
  const Py_ssize_t after = inner_size(inner);
  if (after != before + n) {
    mark_misaligned(sync, "the inner index did not grow by the number of ids added");
    tx::raise_format(PyExc_RuntimeError,
                     "the inner index grew by %zd documents for %zd ids; the ScreenedSearch is now misaligned "
                     "and must be rebuilt from the source documents",
                     after - before, n);
  }
}

// One grant per distinct role, in the order roles first appear, with its ids
// in document order. `entries` holds each document's role list or None.
void grant_by_role(PyObject* store, PyObject* batch, PyObject* entries) {
  tx::Ref by_role = tx::Ref::steal(PyDict_New());
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(batch); ++i) {
    PyObject* names = PyList_GET_ITEM(entries, i);
    if (names == Py_None) continue;
    PyObject* id = PyTuple_GET_ITEM(batch, i);
    for (Py_ssize_t j = 0; j < PyList_GET_SIZE(names); ++j) {
      PyObject* role = PyList_GET_ITEM(names, j);
      PyObject* role_ids = nullptr;
      if (PyDict_GetItemRef(by_role.get(), role, &role_ids) < 0) tx::rethrow_python();
      tx::Ref held = role_ids ? tx::Ref::steal(role_ids) : tx::Ref::steal(PyList_New(0));
      if (role_ids == nullptr && PyDict_SetItem(by_role.get(), role, held.get()) < 0) tx::rethrow_python();
      if (PyList_Append(held.get(), id) < 0) tx::rethrow_python();
    }
  }
  tx::Ref items = tx::Ref::steal(PyDict_Items(by_role.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(items.get(), i);
    tx::Ref one = tx::Ref::steal(PyList_New(1));
    PyList_SET_ITEM(one.get(), 0, Py_NewRef(PyTuple_GET_ITEM(item, 0)));
    tx::call_method(store, tx::name<"grant">(), {PyTuple_GET_ITEM(item, 1), one.get()});
  }
}

}  // namespace

PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const tx::VarSignature<1, 2> sig("add", {"ids"}, {"metadata", "roles"}, 1);
    auto b = sig.bind(args, nargs, kwnames);
    PyObject* ids_given = b.positional[0];
    PyObject* metadata = b.keyword[0] ? b.keyword[0] : Py_None;
    PyObject* roles = b.keyword[1] ? b.keyword[1] : Py_None;
    require_list(ids_given, "ids", false);
    require_list(metadata, "metadata", true);
    require_list(roles, "roles", true);
    WriteHold hold(sync_of(self));
    tx::Ref ids = copy_list(ids_given);
    // The batch as given: the list handed to the inner index may be changed
    // by it, and the undo and the grants must still name these ids.
    tx::Ref batch = tx::Ref::steal(PyList_AsTuple(ids.get()));
    const Py_ssize_t n = PyTuple_GET_SIZE(batch.get());
    // Copies, so that code run while the role entries are read (their
    // iterators) cannot shrink or grow the lists already checked.
    tx::Ref metadata_held = metadata == Py_None ? tx::Ref::none() : copy_list(metadata);
    tx::Ref roles_held = roles == Py_None ? tx::Ref::none() : copy_list(roles);
    check_length(metadata_held.get(), "metadata", n);
    check_length(roles_held.get(), "roles", n);
    tx::Ref entries = roles_held.is_none() ? tx::Ref::none() : checked_roles(roles_held.get());
    check_batch(b.args.get(), b.kwargs.get(), n);

    tx::Ref store = store_of(self);
    tx::Ref inner = inner_of(self);
    const Py_ssize_t before = require_same_size(hold.sync(), inner.get(), store.get());
    tx::call_method(store.get(), tx::name<"add">(), {ids.get(), metadata_held.get()});
    try {
      forward_add(inner.get(), ids.get(), b.args.get(), b.kwargs.get());
    } catch (...) {
      tx::translate_current_exception();
      undo_add(hold.sync(), store.get(), batch.get(), before, inner.get());
    }
    require_grown(hold.sync(), inner.get(), before, n);
    if (!entries.is_none()) grant_by_role(store.get(), batch.get(), entries.get());
    return tx::Ref::none();
  });
}

PyObject* update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const tx::VarSignature<1, 1> sig("update", {"ids"}, {"metadata"}, 1);
    auto b = sig.bind(args, nargs, kwnames);
    PyObject* metadata = b.keyword[0] ? b.keyword[0] : Py_None;
    require_list(b.positional[0], "ids", false);
    require_list(metadata, "metadata", true);
    WriteHold hold(sync_of(self));
    tx::Ref ids = copy_list(b.positional[0]);
    check_length(metadata, "metadata", PyList_GET_SIZE(ids.get()));
    tx::Ref inner = inner_of(self);
    tx::Ref method = optional_attr(inner.get(), tx::name<"update">());
    if (!method) raise_type_lacks(inner.get(), "update");
    if (PyTuple_GET_SIZE(b.args.get()) > 0 || PyDict_GET_SIZE(b.kwargs.get()) > 0) {
      tx::Ref call_args = ids_then(ids.get(), b.args.get());
      tx::Ref done = tx::Ref::steal(PyObject_Call(method.get(), call_args.get(), b.kwargs.get()));
    }
    if (metadata != Py_None) {
      tx::Ref store = store_of(self);
      tx::call_method(store.get(), tx::name<"update">(), {ids.get(), metadata});
    }
    return tx::Ref::none();
  });
}

namespace {

// update_metadata, grant and revoke: one store call with both lists.
template <tx::Literal Function, tx::Literal Second, tx::Literal StoreMethod>
PyObject* store_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>(Function.text, {"ids", Second.text}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    require_list(a[0], "ids", false);
    require_list(a[1], Second.text, false);
    WriteHold hold(sync_of(self));
    tx::Ref store = store_of(self);
    tx::call_method(store.get(), tx::name<StoreMethod>(), {a[0], a[1]});
    return tx::Ref::none();
  });
}

}  // namespace

PyObject* update_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return store_write<"update_metadata", "metadata", "update">(self, args, nargs, kwnames);
}

PyObject* grant(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return store_write<"grant", "roles", "grant">(self, args, nargs, kwnames);
}

PyObject* revoke(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return store_write<"revoke", "roles", "revoke">(self, args, nargs, kwnames);
}

PyObject* delete_(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("delete", {"ids"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    require_list(a[0], "ids", false);
    WriteHold hold(sync_of(self));
    tx::Ref inner = inner_of(self);
    tx::Ref method = optional_attr(inner.get(), tx::name<"delete">());
    if (!method) raise_type_lacks(inner.get(), "delete");
    tx::Ref ids = copy_list(a[0]);
    // The store deletes the ids asked for, whatever the inner index does to
    // the list it is given.
    tx::Ref store_ids = copy_list(ids.get());
    tx::Ref store = store_of(self);
    const Py_ssize_t before = inner_size(inner.get());
    try {
      tx::call(method.get(), {ids.get()});
    } catch (const tx::PyErrorSet&) {
      // The inner index refuses before changing anything; one that changed
      // anyway no longer lines up with the untouched store.
      tx::cleanup_keeping_error([&] {
        if (before >= 0 && inner_size(inner.get()) != before) {
          mark_misaligned(hold.sync(), "the inner index changed during a failed delete");
        }
      });
      throw;
    }
    try {
      tx::call_method(store.get(), tx::name<"delete">(), {store_ids.get()});
      tx::call_method(store.get(), tx::name<"compact">(), {});
    } catch (...) {
      tx::translate_current_exception();
      mark_misaligned(hold.sync(), "the inner index deleted documents that the filter could not delete");
      throw tx::PyErrorSet{};
    }
    return tx::Ref::none();
  });
}

}  // namespace tx::screened
