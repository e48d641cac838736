// `_TarnixCore`: building, training and changing both halves of the index
// so that they always agree.
#include "indexes/vector_glue.hpp"

#include "indexes/vector_stats.hpp"

namespace tx::vector_index {

constexpr std::int64_t kVarianceSample = 100000;


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
  return tx::list_of(n, [](Py_ssize_t i) {
    return tx::Ref::steal(PyUnicode_FromFormat("%lld", static_cast<long long>(i)));
  });
}

int index_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<1>("_TarnixCore", {"n_candidates=None"}, 0);
    const auto a = sig.bind_call(args, kwargs);
    IndexState& s = index(self);
    s.coreindex.set(tx::call(ns.get<"_CoreIndex">().get(), {}));
    s.vectorstore.set(tx::call(reinterpret_cast<PyObject*>(store_type), {tx::py_long(256).get()}));
    s.n_candidates.set(tx::Ref::borrow(a[0]));
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
    static const auto sig = tx::signature<3>("fit", {"embeddings", "parallel=False", "params=None"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool parallel = tx::truth(a[1]);
    return fit_impl(self, a[0], parallel, a[2]);
  });
}

PyObject* index_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("add", {"ids", "vectors", "parallel=False"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    PyObject* new_ids = a[0];
    tx::require_exact(new_ids, &PyList_Type, "ids", true);
    const bool parallel = tx::truth(a[2]);
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
          tx::Ref appended = tx::list_of(n_vectors, [&](Py_ssize_t i) { return tx::py_long(before + i); });
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
    const auto a = sig.bind(args, nargs, kwnames);
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
    tx::Ref where_rows = tx::list_of(static_cast<Py_ssize_t>(positions.size()),
                                     [&](Py_ssize_t i) { return tx::py_long(positions[static_cast<std::size_t>(i)]); });
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
    const auto a = sig.bind(args, nargs, kwnames);
    tx::require_exact(a[0], &PyList_Type, "ids", true);
    IndexState& s = index(self);
    tx::Ref drop = tx::Ref::steal(PySet_New(a[0]));
    tx::Ref held = s.ids.ref();
    tx::Ref missing = tx::ids_not_held(drop.get(), held.get());
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

}  // namespace tx::vector_index
