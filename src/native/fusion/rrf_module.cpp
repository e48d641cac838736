// tarnix_engine.fusion.rrf: ReciprocalRankFusion, a plain class that fuses
// ranked id lists by weighted reciprocal rank. Two lists go to the compiled
// kernel `_rrf_kernel`, a batch of list pairs to `_rrf_batch_kernel` (both
// looked up in this module at every call); one list or three and more are
// accumulated here, in the interpreter's arithmetic and order.
#define TX_NUMPY_MAIN
#include "support/numpy.hpp"
#include "support/plain_class.hpp"
#include "support/support.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <string>
#include <vector>

#include "kernels/fusion.hpp"

namespace {

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

tx::Namespace ns;
tx::PlainClass rrf_class;

tx::Ref empty_pair() {
  tx::Ref ids = tx::empty_array({0}, NPY_INT64);
  tx::Ref scores = tx::empty_array({0}, NPY_FLOAT64);
  return tx::Ref::steal(PyTuple_Pack(2, ids.get(), scores.get()));
}

// A weight as construction converts it: a float is kept, any other real
// number becomes a new float; anything else gets float conversion's TypeError.
tx::Ref as_float(PyObject* item) {
  if (PyFloat_CheckExact(item)) return tx::Ref::borrow(item);
  return tx::Ref::steal(PyFloat_FromDouble(tx::to_double(item)));
}

tx::Ref list_item(PyObject* list, Py_ssize_t i) { return tx::Ref::steal(PyList_GetItemRef(list, i)); }

// ---- construction and settings ------------------------------------------

// ReciprocalRankFusion(k=2, weights=None)
PyObject* rrf_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("ReciprocalRankFusion.__init__", {"k", "weights=None"}, 0);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref k = a[0] ? tx::to_py_int(a[0], "k") : tx::py_long(2);
    PyObject* weights = a[1];
    tx::require_exact(weights, &PyList_Type, "weights", true);
    tx::Ref zero = tx::py_long(0);
    if (tx::compare(k.get(), zero.get(), Py_LT)) tx::raise_format(PyExc_ValueError, "k must be >= 0, got %S", k.get());
    tx::Ref stored = tx::Ref::none();
    if (weights != Py_None) {
      stored = tx::Ref::steal(PyList_New(0));
      // The list is re-read at every step: a conversion may run Python code.
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(weights); ++i) {
        tx::Ref w = as_float(list_item(weights, i).get());
        if (PyList_Append(stored.get(), w.get()) < 0) tx::rethrow_python();
      }
      if (PyList_GET_SIZE(stored.get()) == 0) tx::raise(PyExc_ValueError, "weights must be None or a non-empty list");
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stored.get()); ++i) {
        if (!std::isfinite(PyFloat_AS_DOUBLE(PyList_GET_ITEM(stored.get(), i)))) {
          tx::raise(PyExc_ValueError, "weights must be finite, got " + tx::repr(stored.get()));
        }
      }
    }
    if (PyObject_SetAttr(self, tx::name<"_k">(), k.get()) < 0) tx::rethrow_python();
    if (PyObject_SetAttr(self, tx::name<"_weights">(), stored.get()) < 0) tx::rethrow_python();
    return tx::Ref::none();
  });
}

// config() -> {"type": "rrf", "k": _k, "weights": _weights}
PyObject* rrf_config(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("ReciprocalRankFusion.config", nargs, kwnames);
    tx::Ref k = tx::attr<"_k">(self);
    tx::Ref weights = tx::attr<"_weights">(self);
    tx::Ref config = tx::Ref::steal(PyDict_New());
    tx::Ref type = tx::py_str("rrf");
    if (PyDict_SetItem(config.get(), tx::name<"type">(), type.get()) < 0 ||
        PyDict_SetItem(config.get(), tx::name<"k">(), k.get()) < 0 ||
        PyDict_SetItem(config.get(), tx::name<"weights">(), weights.get()) < 0) {
      tx::rethrow_python();
    }
    return config;
  });
}

tx::Ref required_key(PyObject* config, PyObject* key) {
  PyObject* value = nullptr;
  const int found = PyDict_GetItemRef(config, key, &value);
  if (found < 0) tx::rethrow_python();
  if (found == 0) {
    PyErr_SetObject(PyExc_KeyError, key);
    tx::rethrow_python();
  }
  return tx::Ref::steal(value);
}

// from_config(config), a class method: cls(k=config["k"], weights=config["weights"])
PyObject* rrf_from_config(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("ReciprocalRankFusion.from_config", {"config"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    PyObject* config = a[0];
    tx::require_exact(config, &PyDict_Type, "config", false);
    PyObject* type = nullptr;
    if (PyDict_GetItemRef(config, tx::name<"type">(), &type) < 0) tx::rethrow_python();
    tx::Ref type_ref = type ? tx::Ref::steal(type) : tx::Ref::none();
    tx::Ref rrf = tx::py_str("rrf");
    if (tx::compare(type_ref.get(), rrf.get(), Py_NE)) {
      tx::raise(PyExc_ValueError, "not a ReciprocalRankFusion config: " + tx::repr(config));
    }
    tx::Ref k = required_key(config, tx::name<"k">());
    tx::Ref weights = required_key(config, tx::name<"weights">());
    return tx::call(cls, {k.get(), weights.get()}, tx::kwnames<"k", "weights">());
  });
}

// _weights_for(n_results) -> one weight per list
PyObject* rrf_weights_for(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("ReciprocalRankFusion._weights_for", {"n_results"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref n = tx::to_py_int(a[0], "n_results");
    tx::Ref one_weight = tx::Ref::steal(PyList_New(1));
    PyList_SET_ITEM(one_weight.get(), 0, PyFloat_FromDouble(1.0));
    if (PyList_GET_ITEM(one_weight.get(), 0) == nullptr) tx::rethrow_python();
    tx::Ref one = tx::py_long(1);
    // A lone list keeps its own order whatever the weights say.
    if (tx::compare(n.get(), one.get(), Py_EQ)) return one_weight;
    tx::Ref weights = tx::attr<"_weights">(self);
    if (weights.is_none()) return tx::Ref::steal(PyNumber_Multiply(one_weight.get(), n.get()));
    tx::Ref m = tx::py_long(tx::length(weights.get()));
    if (tx::compare(m.get(), n.get(), Py_NE)) {
      tx::raise_format(PyExc_ValueError,
                       "ReciprocalRankFusion has %S weight(s) but is fusing %S result list(s); pass one weight per list",
                       m.get(), n.get());
    }
    return weights;
  });
}

// ---- dropping empty slots -------------------------------------------------

// The non-negative entries of a 1-D array of native signed integers, in order.
template <class T>
tx::Ref compact_integers(PyObject* flat) {
  PyArrayObject* arr = tx::as_array_object(flat);
  const npy_intp n = PyArray_DIM(arr, 0);
  const npy_intp stride = PyArray_STRIDE(arr, 0);
  const char* data = static_cast<const char*>(PyArray_DATA(arr));
  npy_intp kept = 0;
  for (npy_intp i = 0; i < n; ++i) kept += *reinterpret_cast<const T*>(data + i * stride) >= 0;
  PyArray_Descr* descr = PyArray_DESCR(arr);
  Py_INCREF(descr);
  tx::Ref out = tx::Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, 1, &kept, nullptr, nullptr, 0, nullptr));
  T* dst = tx::array_data<T>(out.get());
  for (npy_intp i = 0; i < n; ++i) {
    const T v = *reinterpret_cast<const T*>(data + i * stride);
    if (v >= 0) *dst++ = v;
  }
  return out;
}

tx::Ref compact(PyObject* ids) {
  tx::Ref array = tx::Ref::steal(PyArray_FromAny(ids, nullptr, 0, 0, 0, nullptr));
  tx::Ref flat = tx::Ref::steal(PyArray_Ravel(tx::as_array_object(array.get()), NPY_CORDER));
  PyArrayObject* f = tx::as_array_object(flat.get());
  if (PyArray_ISNOTSWAPPED(f) && PyArray_ISALIGNED(f)) {
    switch (PyArray_TYPE(f)) {
      case NPY_INT64: return compact_integers<std::int64_t>(flat.get());
      case NPY_INT32: return compact_integers<std::int32_t>(flat.get());
      default: break;
    }
  }
  // Any other element type: numpy's own comparison and boolean indexing.
  tx::Ref zero = tx::py_long(0);
  tx::Ref mask = tx::Ref::steal(PyObject_RichCompare(flat.get(), zero.get(), Py_GE));
  return tx::Ref::steal(PyObject_GetItem(flat.get(), mask.get()));
}

// _compact(ids), a static method
PyObject* rrf_compact(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("ReciprocalRankFusion._compact", {"ids"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    return compact(a[0]);
  });
}

// self._compact(ids), in C++ unless a subclass or the instance replaced it.
tx::Ref compact_via(PyObject* self, PyObject* ids) {
  tx::Ref bound = tx::attr<"_compact">(self);
  if (PyCFunction_Check(bound.get()) &&
      reinterpret_cast<void*>(PyCFunction_GET_FUNCTION(bound.get())) == reinterpret_cast<void*>(rrf_compact)) {
    return compact(ids);
  }
  return tx::call(bound.get(), {ids});
}

// ---- the two-list path ----------------------------------------------------

// float(weights[0]), float(weights[1]) for the two kernels, refusing a
// weights sequence too short to read them from.
std::pair<tx::Ref, tx::Ref> two_weights(PyObject* weights) {
  const Py_ssize_t n = tx::length(weights);
  if (n < 2) {
    tx::raise_format(PyExc_ValueError, "two weights are needed to fuse two result lists, got %zd", n);
  }
  tx::Ref second = as_float(tx::Ref::steal(PySequence_GetItem(weights, 1)).get());
  tx::Ref first = as_float(tx::Ref::steal(PySequence_GetItem(weights, 0)).get());
  return {std::move(first), std::move(second)};
}

// The surviving ids of a result (an exact tuple of two or more items) as a
// new C-contiguous int64 row of shape (1, n).
tx::Ref kernel_row(PyObject* self, PyObject* result) {
  tx::Ref ids = tx::Ref::borrow(PyTuple_GET_ITEM(result, 0));
  tx::Ref survivors = compact_via(self, ids.get());
  if (!PyArray_Check(survivors.get())) {
    // Whatever a replaced _compact returned: its own astype and reshape.
    tx::Ref int64 = tx::attr<"int64">(ns.get<"np">().get());
    tx::Ref cast = tx::call_method(survivors.get(), tx::name<"astype">(), {int64.get()});
    tx::Ref one = tx::py_long(1), minus_one = tx::py_long(-1);
    return tx::call_method(cast.get(), tx::name<"reshape">(), {one.get(), minus_one.get()});
  }
  tx::Ref fresh = tx::copy_array(survivors.get(), NPY_INT64);
  npy_intp shape[2] = {1, PyArray_SIZE(tx::as_array_object(fresh.get()))};
  PyArray_Dims dims{shape, 2};
  return tx::Ref::steal(PyArray_Newshape(tx::as_array_object(fresh.get()), &dims, NPY_CORDER));
}

void require_pair(PyObject* result, const char* name) {
  const Py_ssize_t n = PyTuple_GET_SIZE(result);
  if (n < 2) {
    tx::raise_format(PyExc_ValueError, "%s must be a pair (ids, scores), got a tuple of length %zd", name, n);
  }
}

// _fuse_two_numba(result_a, result_b, weights, k) -> (ids, scores)
PyObject* rrf_fuse_two(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<4>("ReciprocalRankFusion._fuse_two_numba", {"result_a", "result_b", "weights", "k"}, 4);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref k = tx::to_py_int(a[3], "k");
    tx::require_exact(a[0], &PyTuple_Type, "result_a", false);
    tx::require_exact(a[1], &PyTuple_Type, "result_b", false);
    tx::require_exact(a[2], &PyList_Type, "weights", false);
    require_pair(a[0], "result_a");
    require_pair(a[1], "result_b");
    if (PyList_GET_SIZE(a[2]) < 2) {
      tx::raise_format(PyExc_ValueError, "two weights are needed to fuse two result lists, got %zd",
                       PyList_GET_SIZE(a[2]));
    }
    tx::Ref row_a = kernel_row(self, a[0]);
    tx::Ref row_b = kernel_row(self, a[1]);
    tx::Ref kernel = ns.get<"_rrf_kernel">();
    tx::Ref rank_k = tx::attr<"_k">(self);
    auto [first, second] = two_weights(a[2]);
    tx::Ref fused = tx::call(kernel.get(), {row_a.get(), row_b.get(), rank_k.get(), k.get(), second.get(), first.get()},
                             tx::kwnames<"k", "top_k", "alpha_distance", "alpha_bm25">());
    auto [ids, scores] = tx::unpack_pair(fused.get());
    tx::Ref zero = tx::py_long(0);
    tx::Ref ids0 = tx::Ref::steal(PyObject_GetItem(ids.get(), zero.get()));
    tx::Ref scores0 = tx::Ref::steal(PyObject_GetItem(scores.get(), zero.get()));
    return tx::Ref::steal(PyTuple_Pack(2, ids0.get(), scores0.get()));
  });
}

// ---- the in-process path --------------------------------------------------

// key= of the final sort when the totals are not all plain floats: item[1].
PyObject* total_of(PyObject*, PyObject* item) { return PySequence_GetItem(item, 1); }
PyMethodDef total_of_def = {"total_of", total_of, METH_O, nullptr};

// Appends the contributions of one ranked list to `totals` (a dict, so that
// ids keep the order in which they were first met), in the interpreter's
// arithmetic: total = total + w / (_k + rank + 1).
void accumulate(PyObject* totals, PyObject* weight, PyObject* rank_k, PyObject* survivors) {
  tx::Ref zero_total = tx::Ref::steal(PyFloat_FromDouble(0.0));
  tx::Ref one = tx::py_long(1);
  int overflow = 0;
  const long long kk = PyLong_CheckExact(rank_k) ? PyLong_AsLongLongAndOverflow(rank_k, &overflow) : -1;
  if (kk == -1 && PyErr_Occurred()) tx::rethrow_python();
  // Plain float weight over a plain int constant: the division is the
  // interpreter's float division, done here without boxing the divisor.
  const bool plain = PyFloat_CheckExact(weight) && PyLong_CheckExact(rank_k) && overflow == 0 && kk >= 0;
  const double w = plain ? PyFloat_AS_DOUBLE(weight) : 0.0;

  auto add = [&](PyObject* id, std::int64_t rank) {
    tx::Ref part;
    if (plain) {
      part = tx::Ref::steal(PyFloat_FromDouble(w / tx::fusion::rank_divisor(kk, rank)));
    } else {
      tx::Ref r = tx::py_long(rank);
      tx::Ref partial = tx::Ref::steal(PyNumber_Add(rank_k, r.get()));
      tx::Ref divisor = tx::Ref::steal(PyNumber_Add(partial.get(), one.get()));
      part = tx::Ref::steal(PyNumber_TrueDivide(weight, divisor.get()));
    }
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(totals, id, &found) < 0) tx::rethrow_python();
    tx::Ref current = found ? tx::Ref::steal(found) : zero_total;
    tx::Ref updated;
    if (PyFloat_CheckExact(current.get()) && PyFloat_CheckExact(part.get())) {
      updated = tx::Ref::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(current.get()) + PyFloat_AS_DOUBLE(part.get())));
    } else {
      updated = tx::Ref::steal(PyNumber_Add(current.get(), part.get()));
    }
    if (PyDict_SetItem(totals, id, updated.get()) < 0) tx::rethrow_python();
  };

  // Read in place only with plain arithmetic: any other weight runs Python
  // code at every step, which may resize the array under the pointer.
  if (plain && PyArray_Check(survivors)) {
    PyArrayObject* arr = tx::as_array_object(survivors);
    if (PyArray_NDIM(arr) == 1 && PyArray_TYPE(arr) == NPY_INT64 && PyArray_ISNOTSWAPPED(arr) &&
        PyArray_ISALIGNED(arr)) {
      // `survivors` is held by the caller and no Python code runs below.
      const npy_intp n = PyArray_DIM(arr, 0), stride = PyArray_STRIDE(arr, 0);
      const char* data = static_cast<const char*>(PyArray_DATA(arr));
      for (npy_intp i = 0; i < n; ++i) {
        tx::Ref id = tx::py_long(*reinterpret_cast<const std::int64_t*>(data + i * stride));
        add(id.get(), i);
      }
      return;
    }
  }
  tx::Ref it = tx::Ref::steal(PyObject_GetIter(survivors));
  std::int64_t rank = 0;
  while (PyObject* entry = PyIter_Next(it.get())) {
    tx::Ref held = tx::Ref::steal(entry);
    tx::Ref id = tx::Ref::steal(PyNumber_Long(held.get()));
    add(id.get(), rank++);
  }
  if (PyErr_Occurred()) tx::rethrow_python();
}

// The (id, total) items of `totals` by falling total, equal totals in the
// order of the dict (a stable sort, as sorted(..., reverse=True) keeps it).
tx::Ref ranked_items(PyObject* totals) {
  tx::Ref items = tx::Ref::steal(PyDict_Items(totals));
  const Py_ssize_t m = PyList_GET_SIZE(items.get());
  std::vector<double> values(static_cast<std::size_t>(m));
  bool plain = true;
  for (Py_ssize_t i = 0; i < m && plain; ++i) {
    PyObject* total = PyTuple_GET_ITEM(PyList_GET_ITEM(items.get(), i), 1);
    plain = PyFloat_CheckExact(total) && !std::isnan(PyFloat_AS_DOUBLE(total));
    if (plain) values[static_cast<std::size_t>(i)] = PyFloat_AS_DOUBLE(total);
  }
  if (!plain) {
    // Totals of other types (or NaN): the interpreter's own sort decides.
    tx::Ref key = tx::Ref::steal(PyCFunction_NewEx(&total_of_def, nullptr, nullptr));
    tx::Ref sort = tx::attr<"sort">(items.get());
    tx::call(sort.get(), {key.get(), Py_True}, tx::kwnames<"key", "reverse">());
    return items;
  }
  std::vector<Py_ssize_t> order(static_cast<std::size_t>(m));
  for (Py_ssize_t i = 0; i < m; ++i) order[static_cast<std::size_t>(i)] = i;
  std::stable_sort(order.begin(), order.end(), [&](Py_ssize_t x, Py_ssize_t y) {
    return values[static_cast<std::size_t>(x)] > values[static_cast<std::size_t>(y)];
  });
  tx::Ref sorted = tx::Ref::steal(PyList_New(m));
  for (Py_ssize_t i = 0; i < m; ++i) {
    PyList_SET_ITEM(sorted.get(), i, Py_NewRef(PyList_GET_ITEM(items.get(), order[static_cast<std::size_t>(i)])));
  }
  return sorted;
}

// out[i] = value, as numpy assigns a Python object to one element.
void set_element(PyObject* out, Py_ssize_t i, PyObject* value) {
  tx::Ref index = tx::py_long(i);
  if (PyObject_SetItem(out, index.get(), value) < 0) tx::rethrow_python();
}

// _fuse_n_python(results, weights, k) -> (ids int64, scores float64), each of length k
PyObject* rrf_fuse_n(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<3>("ReciprocalRankFusion._fuse_n_python", {"results", "weights", "k"}, 3);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref k = tx::to_py_int(a[2], "k");
    PyObject* results = a[0];
    PyObject* weights = a[1];
    tx::require_exact(results, &PyList_Type, "results", false);
    tx::require_exact(weights, &PyList_Type, "weights", false);
    tx::Ref rank_k = tx::attr<"_k">(self);
    tx::Ref totals = tx::Ref::steal(PyDict_New());
    // zip(weights, results): both lists re-read at every step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(weights) && i < PyList_GET_SIZE(results); ++i) {
      tx::Ref w = list_item(weights, i);
      tx::Ref result = list_item(results, i);
      auto [ids, scores] = tx::unpack_pair(result.get());
      tx::Ref survivors = compact_via(self, ids.get());
      accumulate(totals.get(), w.get(), rank_k.get(), survivors.get());
    }
    tx::Ref top = ranked_items(totals.get());

    const Py_ssize_t slots = PyLong_AsSsize_t(k.get());
    if (slots == -1 && PyErr_Occurred()) tx::rethrow_python();
    tx::Ref out_ids = tx::empty_array({slots}, NPY_INT64);
    tx::Ref out_scores = tx::zeros_array({slots}, NPY_FLOAT64);
    std::int64_t* id_data = tx::array_data<std::int64_t>(out_ids.get());
    double* score_data = tx::array_data<double>(out_scores.get());
    std::fill(id_data, id_data + slots, std::int64_t{-1});
    const Py_ssize_t n = std::min(slots, PyList_GET_SIZE(top.get()));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(top.get(), i);
      PyObject* id = PyTuple_GET_ITEM(item, 0);
      PyObject* total = PyTuple_GET_ITEM(item, 1);
      int overflow = 0;
      const long long v = PyLong_CheckExact(id) ? PyLong_AsLongLongAndOverflow(id, &overflow) : 0;
      if (PyLong_CheckExact(id) && overflow == 0) {
        id_data[i] = v;
      } else {
        set_element(out_ids.get(), i, id);
      }
      if (PyFloat_CheckExact(total)) {
        score_data[i] = PyFloat_AS_DOUBLE(total);
      } else {
        set_element(out_scores.get(), i, total);
      }
    }
    return tx::Ref::steal(PyTuple_Pack(2, out_ids.get(), out_scores.get()));
  });
}

// ---- calling the fusion -----------------------------------------------------

// fusion(results, k) -> (ids, scores) of one query
PyObject* rrf_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("ReciprocalRankFusion.__call__", {"results", "k"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref k = tx::to_py_int(a[1], "k");
    PyObject* results = a[0];
    tx::require_exact(results, &PyList_Type, "results", false);
    if (PyList_GET_SIZE(results) == 0) return empty_pair();
    tx::Ref n = tx::py_long(PyList_GET_SIZE(results));
    tx::Ref weights = tx::call_method(self, tx::name<"_weights_for">(), {n.get()});
    if (PyList_GET_SIZE(results) == 2) {
      tx::Ref first = list_item(results, 0);
      tx::expect_type(first.get(), &PyTuple_Type);
      tx::Ref second = list_item(results, 1);
      tx::expect_type(second.get(), &PyTuple_Type);
      return tx::call_method(self, tx::name<"_fuse_two_numba">(), {first.get(), second.get(), weights.get(), k.get()});
    }
    return tx::call_method(self, tx::name<"_fuse_n_python">(), {results, weights.get(), k.get()});
  });
}

// fuse_batch(ids_a, ids_b, k, parallel=False) -> the batch kernel's (ids, scores)
PyObject* rrf_fuse_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig =
        tx::signature<4>("ReciprocalRankFusion.fuse_batch", {"ids_a", "ids_b", "k", "parallel=False"}, 3);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref k = tx::to_py_int(a[2], "k");
    tx::Ref parallel = tx::py_bool(tx::truth(a[3]));
    tx::Ref two = tx::py_long(2);
    tx::Ref weights = tx::call_method(self, tx::name<"_weights_for">(), {two.get()});
    tx::Ref kernel = ns.get<"_rrf_batch_kernel">();
    tx::Ref ids_a = tx::cast_contiguous_array(a[0], NPY_INT64);
    tx::Ref ids_b = tx::cast_contiguous_array(a[1], NPY_INT64);
    tx::Ref rank_k = tx::attr<"_k">(self);
    auto [first, second] = two_weights(weights.get());
    tx::Ref fused = tx::call(kernel.get(),
                             {ids_a.get(), ids_b.get(), rank_k.get(), k.get(), second.get(), first.get(),
                              parallel.get(), Py_True},
                             tx::kwnames<"k", "top_k", "alpha_distance", "alpha_bm25", "parallel", "skip_negative">());
    tx::expect_type(fused.get(), &PyTuple_Type);
    return fused;
  });
}

PyMethodDef rrf_methods[] = {
    {"__init__", tx::as_cfunction(rrf_init), kFastcall,
     "__init__($self, k=2, weights=None)\n--\n\n"
     "k is the rank offset; weights is one weight per fused list, None for 1.0 each."},
    {"config", tx::as_cfunction(rrf_config), kFastcall,
     "config($self)\n--\n\nThe settings mapping {'type': 'rrf', 'k': ..., 'weights': ...}."},
    {"from_config", tx::as_cfunction(rrf_from_config), kFastcall | METH_CLASS,
     "from_config($type, config)\n--\n\nA new fusion of this class from a settings mapping."},
    {"_weights_for", tx::as_cfunction(rrf_weights_for), kFastcall,
     "_weights_for($self, n_results)\n--\n\nOne weight per fused list; a lone list is fused unweighted."},
    {"__call__", tx::as_cfunction(rrf_call), kFastcall,
     "__call__($self, results, k)\n--\n\n"
     "(ids int64, scores float64) of one query from a list of (ids, scores) results."},
    {"fuse_batch", tx::as_cfunction(rrf_fuse_batch), kFastcall,
     "fuse_batch($self, ids_a, ids_b, k, parallel=False)\n--\n\n"
     "(ids, scores) of shape (queries, k): the two id arrays fused row by row in one kernel pass."},
    {"_compact", tx::as_cfunction(rrf_compact), kFastcall | METH_STATIC,
     "_compact(ids)\n--\n\nThe non-negative entries of ids, flattened in row-major order."},
    {"_fuse_two_numba", tx::as_cfunction(rrf_fuse_two), kFastcall,
     "_fuse_two_numba($self, result_a, result_b, weights, k)\n--\n\nTwo results fused by the compiled kernel."},
    {"_fuse_n_python", tx::as_cfunction(rrf_fuse_n), kFastcall,
     "_fuse_n_python($self, results, weights, k)\n--\n\n"
     "Any number of results fused by accumulation and a stable sort."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "rrf", "Reciprocal rank fusion of ranked id lists.", -1, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_rrf() {
  return tx::init_module(&module_def, [](PyObject* module) {
    tx::attach_numpy();
    ns.bind(module);
    ns.import_module("np", "numpy");
    tx::Ref kernels = tx::Ref::steal(PyImport_ImportModule("tarnix_engine.kernels.fusion"));
    ns.set("_rrf_kernel", tx::attr<"merge">(kernels.get()));
    ns.set("_rrf_batch_kernel", tx::attr<"merge_batch">(kernels.get()));
    tx::PlainClassSpec spec;
    spec.module = "tarnix_engine.fusion.rrf";
    spec.qualname = "ReciprocalRankFusion";
    spec.doc =
        "Weighted reciprocal rank fusion: each ranked list adds weight / (k + rank + 1) to every id it holds, "
        "and ids come out by falling total.";
    spec.methods = rrf_methods;
    rrf_class = tx::PlainClass::create(module, spec);
  });
}
