// The binary-code index: training from scratch and the writes that keep
// every search snapshot intact.
#include "kernels/core_glue.hpp"

#include <atomic>

#include "kernels/medians.hpp"

namespace tx::core {

// ---- training ------------------------------------------------------------------

PyObject* index_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("fit", {"embeddings", "parallel=False"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool parallel = tx::truth(a[1]);
    tx::Ref x = float_matrix(a[0], "embeddings", -1, true);
    const std::int64_t n = PyArray_DIM(tx::as_array_object(x.get()), 0);
    const std::int64_t dim = PyArray_DIM(tx::as_array_object(x.get()), 1);
    if (n == 0) tx::raise(PyExc_ValueError, "cannot fit the binary-code index on zero rows");
    check_row_count(n);

    std::vector<float> med(static_cast<std::size_t>(dim));
    {
      tx::ReleaseGil nogil;
      hm::column_medians(tx::array_data<float>(x.get()), n, dim, med.data(), team(parallel));
    }
    auto model = std::make_shared<Model>();
    model->dim = dim;
    model->words = hm::words_for(dim);
    model->thresholds.assign(med.begin(), med.end());
    train(self, x, std::move(model), medians_array(med.data(), dim), parallel);
    return tx::Ref::none();
  });
}

PyObject* index_train_from_params(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("_train_from_params", {"embeddings", "fit_values", "parallel=False"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool parallel = tx::truth(a[2]);
    tx::Ref x = float_matrix(a[0], "embeddings", -1, true);
    const std::int64_t dim = PyArray_DIM(tx::as_array_object(x.get()), 1);

    // Kept in their own float type (float32 from a fitted index); a private,
    // read-only copy, so the thresholds and `medians` cannot drift apart.
    tx::Ref given = tx::Ref::steal(PyArray_FROMANY(a[1], NPY_NOTYPE, 0, 0, 0));
    const int type = PyArray_TYPE(tx::as_array_object(given.get())) == NPY_FLOAT32 ? NPY_FLOAT32 : NPY_FLOAT64;
    tx::Ref cast = tx::cast_contiguous_array(given.get(), type);
    if (PyArray_NDIM(tx::as_array_object(cast.get())) != 1 || PyArray_DIM(tx::as_array_object(cast.get()), 0) != dim) {
      tx::raise(PyExc_ValueError, "fit_values must be a 1-D array of " + std::to_string(dim) +
                                      " values, got shape " + tx::shape_text(cast.get()));
    }
    tx::Ref fit_values = tx::Ref::steal(PyArray_NewCopy(tx::as_array_object(cast.get()), NPY_CORDER));
    auto model = std::make_shared<Model>();
    model->dim = dim;
    model->words = hm::words_for(dim);
    model->thresholds.resize(static_cast<std::size_t>(dim));
    for (std::int64_t j = 0; j < dim; ++j) {
      model->thresholds[j] = type == NPY_FLOAT32 ? tx::array_data<float>(fit_values.get())[j]
                                                 : tx::array_data<double>(fit_values.get())[j];
      if (!std::isfinite(model->thresholds[j])) raise_not_finite(tx::py_str("fit_values").get());
    }
    PyArray_CLEARFLAGS(tx::as_array_object(fit_values.get()), NPY_ARRAY_WRITEABLE);
    train(self, x, std::move(model), fit_values, parallel);
    return tx::Ref::none();
  });
}

// ---- writes --------------------------------------------------------------------

// Sees whether anyone but the index holds the store. Snapshots are only taken
// under the GIL, which the caller holds, so the count cannot grow meanwhile;
// the fence orders our writes after the release of the last reader's copy.
bool exclusively_owned(const std::shared_ptr<hm::Codes>& codes) {
  const bool alone = codes.use_count() == 1;
  std::atomic_thread_fence(std::memory_order_acquire);
  return alone;
}

PyObject* index_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("append", {"vectors", "parallel=False"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool parallel = tx::truth(a[1]);
    IndexState& s = state(self);
    if (!s.model) tx::raise(PyExc_RuntimeError, "Cannot append to an unfitted index.");
    tx::Ref x = float_matrix(a[0], "vectors", s.model->dim, true);
    // The conversion may run Python code (and the finiteness scan lets the
    // GIL go), so another writer may have refitted the index meanwhile.
    require_dim(x.get(), "vectors", s.model->dim);
    const std::int64_t m = PyArray_DIM(tx::as_array_object(x.get()), 0);
    if (m == 0) return tx::Ref::none();
    const std::int64_t total = s.rows + m;
    check_row_count(total);
    // The GIL stays held: writers are serialised by it. Rows past s.rows are
    // invisible to every snapshot, so spare capacity is written in place.
    if (s.codes->capacity_rows() < total) {
      auto grown = std::make_shared<hm::Codes>(s.model->words, std::max(total, 2 * s.rows));
      grown->copy_rows_from(*s.codes, s.rows);
      write_rows(*grown, s.rows, tx::array_data<float>(x.get()), m, *s.model, team(parallel));
      s.codes = std::move(grown);
    } else {
      write_rows(*s.codes, s.rows, tx::array_data<float>(x.get()), m, *s.model, team(parallel));
    }
    s.rows = total;
    return tx::Ref::none();
  });
}

PyObject* index_update_vector(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("update_vector", {"position", "vector"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    IndexState& s = state(self);
    if (!s.model) tx::raise(PyExc_RuntimeError, "Cannot update an unfitted index.");
    const std::int64_t position = tx::to_int64(a[0]);
    auto check_position = [&] {
      if (position < 0 || position >= s.rows) {
        tx::raise_format(PyExc_IndexError, "position %lld is out of range for %lld rows",
                         static_cast<long long>(position), static_cast<long long>(s.rows));
      }
    };
    check_position();
    tx::Ref v = tx::cast_contiguous_array(a[1], NPY_FLOAT32);
    PyArrayObject* arr = tx::as_array_object(v.get());
    auto check_shape = [&] {
      const bool one_row = (PyArray_NDIM(arr) == 1 && PyArray_DIM(arr, 0) == s.model->dim) ||
                           (PyArray_NDIM(arr) == 2 && PyArray_DIM(arr, 0) == 1 && PyArray_DIM(arr, 1) == s.model->dim);
      if (!one_row) {
        tx::raise(PyExc_ValueError, "vector must be one row of dimension " + std::to_string(s.model->dim) +
                                        ", got shape " + tx::shape_text(v.get()));
      }
    };
    check_shape();
    require_finite_floats(v.get(), "vector");
    // The conversion may run Python code (and a wide row's finiteness scan
    // lets the GIL go): the index may have shrunk or been refitted since.
    check_position();
    check_shape();
    std::vector<std::uint64_t> code = binarize_all(tx::array_data<float>(v.get()), 1, *s.model);
    if (!exclusively_owned(s.codes)) {
      auto copy = std::make_shared<hm::Codes>(s.model->words, s.codes->capacity_rows());
      copy->copy_rows_from(*s.codes, s.rows);
      s.codes = std::move(copy);
    }
    s.codes->set_row(position, code.data());
    return tx::Ref::none();
  });
}

PyObject* index_delete_rows(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("delete_rows", {"positions"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    IndexState& s = state(self);
    if (!s.model) tx::raise(PyExc_RuntimeError, "Cannot delete from an unfitted index.");
    auto check = [&](std::int64_t p) {
      if (p < 0 || p >= s.rows) {
        tx::raise_format(PyExc_IndexError, "position %lld is out of range for %lld rows", static_cast<long long>(p),
                         static_cast<long long>(s.rows));
      }
    };
    std::vector<std::int64_t> positions;
    tx::Ref iter = tx::Ref::steal(PyObject_GetIter(a[0]));
    while (PyObject* raw = PyIter_Next(iter.get())) {
      tx::Ref item = tx::Ref::steal(raw);
      const std::int64_t p = tx::to_int64(item.get());
      check(p);
      positions.push_back(p);
    }
    if (PyErr_Occurred()) tx::rethrow_python();
    // The iteration ran Python code, which may have changed the index: the
    // mask is sized, and every position checked again, by what it holds now.
    std::vector<bool> drop(static_cast<std::size_t>(s.rows), false);
    std::int64_t dropped = 0;
    for (const std::int64_t p : positions) {
      check(p);
      if (!drop[p]) ++dropped;
      drop[p] = true;
    }
    if (dropped == 0) return tx::Ref::none();
    const std::int64_t kept = s.rows - dropped;
    auto survivors = std::make_shared<hm::Codes>(s.model->words, kept);
    std::vector<std::uint64_t> code(static_cast<std::size_t>(std::max<std::int64_t>(1, s.model->words)));
    std::int64_t out = 0;
    for (std::int64_t r = 0; r < s.rows; ++r) {
      if (drop[r]) continue;
      s.codes->get_row(r, code.data());
      survivors->set_row(out++, code.data());
    }
    s.codes = std::move(survivors);
    s.rows = kept;
    return tx::Ref::none();
  });
}

}  // namespace tx::core
