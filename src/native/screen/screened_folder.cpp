// ScreenedSearch folders: config.json beside the inner index's folder
// (inner/) and the store's (filter/), staged and swapped in whole.
#include "screen/screened_glue.hpp"
#include "support/folder.hpp"

namespace tx::screened {
namespace {

tx::Ref sub_path(PyObject* folder, const char* entry) { return tx::str(tx::join_path(folder, entry).get()); }

void write_parts(PyObject* self, PyObject* folder) {
  tx::Ref inner = inner_of(self);
  tx::Ref store = store_of(self);
  tx::call_method(inner.get(), tx::name<"save">(), {sub_path(folder, "inner").get()});
  tx::call_method(store.get(), tx::name<"save">(), {sub_path(folder, "filter").get()});
  tx::Ref inner_type = optional_attr(inner.get(), tx::name<"index_type">());
  tx::Ref config = tx::Ref::steal(PyDict_New());
  if (PyDict_SetItemString(config.get(), "index_type", tx::py_str("filtered").get()) < 0 ||
      PyDict_SetItemString(config.get(), "inner_index_type", inner_type ? inner_type.get() : Py_None) < 0) {
    tx::rethrow_python();
  }
  tx::call(ns.get<"write_config">().get(), {tx::join_path(folder, "config.json").get(), config.get()});
}

// The folder is named as the caller gave it, undecodable bytes of its name
// (surrogate escapes) included, so it is formatted as a str, never as UTF-8.
[[noreturn]] void misaligned_folder(PyObject* directory, const std::string& what) {
  tx::Ref message = tx::Ref::steal(PyUnicode_FromFormat(
      "Corrupted index at '%U': %s. Refusing to load a misaligned index.", directory, what.c_str()));
  PyErr_SetObject(PyExc_ValueError, message.get());
  tx::rethrow_python();
}

[[noreturn]] void different_ids(PyObject* directory, Py_ssize_t inner_count, PyObject* store_size) {
  misaligned_folder(directory, "the inner index and the filter hold different ids (" + std::to_string(inner_count) +
                                   " vs " + tx::utf8(tx::str(store_size).get()) + ")");
}

// Both halves must number the same documents alike: the same ids where the
// inner index has them, and whatever its kind the same count, with the
// store's positions running 0 to n-1 without gaps.
void check_alignment(PyObject* directory, PyObject* inner, PyObject* store) {
  tx::Ref store_size = tx::Ref::steal(PyNumber_Index(tx::attr<"size">(store).get()));
  const Py_ssize_t n = PyNumber_AsSsize_t(store_size.get(), PyExc_OverflowError);
  if (n == -1 && PyErr_Occurred()) tx::rethrow_python();
  tx::Ref inner_ids = optional_attr(inner, tx::name<"ids">());
  if (inner_ids && tx::truth(inner_ids.get())) {
    tx::Ref listed = tx::Ref::steal(PySequence_List(inner_ids.get()));
    tx::Ref store_ids = tx::attr<"ids">(store);
    if (!tx::compare(listed.get(), store_ids.get(), Py_EQ)) {
      different_ids(directory, PyList_GET_SIZE(listed.get()), store_size.get());
    }
  }
  const Py_ssize_t held = inner_size(inner);
  if (held >= 0 && held != n) different_ids(directory, held, store_size.get());
  tx::Ref all = tx::call_method(store, tx::name<"positions">(), {Py_None, Py_None});
  tx::Ref positions = tx::contiguous_array(all.get(), NPY_INT64);
  const auto* p = tx::array_data<std::int64_t>(positions.get());
  bool dense = PyArray_NDIM(tx::as_array_object(positions.get())) == 1 &&
               PyArray_DIM(tx::as_array_object(positions.get()), 0) == n;
  for (Py_ssize_t i = 0; dense && i < n; ++i) dense = p[i] == i;
  if (!dense) {
    misaligned_folder(directory, "the filter's positions do not run from 0 to " + std::to_string(n - 1) +
                                     " without gaps, as the inner index numbers its documents");
  }
}

// The inner folder may hold anything the registry loads, a filter store
// among them; only an object that searches and takes documents can be the
// inner index, or the first search would fail on a missing method.
void require_index(PyObject* directory, PyObject* inner) {
  const bool searches = static_cast<bool>(optional_attr(inner, tx::name<"search">()));
  const bool adds = optional_attr(inner, tx::name<"add">()) || optional_attr(inner, tx::name<"add_batch">());
  if (searches && adds) return;
  tx::Ref type_name = tx::attr<"__name__">(reinterpret_cast<PyObject*>(Py_TYPE(inner)));
  tx::Ref message = tx::Ref::steal(PyUnicode_FromFormat(
      "Cannot load '%U' as a ScreenedSearch: its inner folder holds a %U, which is not an index (it lacks %s); "
      "save a vector, text or streaming index there",
      directory, type_name.get(),
      searches ? "add() and add_batch()" : adds ? "search()" : "search(), and add() or add_batch()"));
  PyErr_SetObject(PyExc_ValueError, message.get());
  tx::rethrow_python();
}

}  // namespace

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    const tx::Ref folder = tx::save_call(ns, args, nargs, kwnames, false).folder;
    // Held for the whole save, so no write lands between the two halves.
    ReadHold hold(sync_of(self));
    check_aligned(self, "be saved");
    tx::staged_save(ns, folder.get(), {"config.json", "inner", "filter"},
                    [&](PyObject* staged) { write_parts(self, staged); });
    return tx::Ref::none();
  });
}

PyObject* load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    const auto [directory, folder] = tx::load_call(ns, args, nargs, kwnames, false);
    tx::call(ns.get<"read_config">().get(), {tx::join_path(folder.get(), "config.json").get()});
    tx::Ref loader = tx::attr<"_load_inner">(cls);
    tx::Ref inner = tx::call(loader.get(), {sub_path(folder.get(), "inner").get()});
    require_index(directory, inner.get());
    tx::Ref store = tx::call_method(ns.get<"RowScreen">().get(), tx::name<"load">(), {sub_path(folder.get(), "filter").get()});
    check_alignment(directory, inner.get(), store.get());
    return tx::call(cls, {inner.get(), store.get()});
  });
}

}  // namespace tx::screened
