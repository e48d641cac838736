// TunedModel: construction from the model arrays, prediction, and the
// pickled form (the fields of the table in depth_oracle_glue.hpp).
#include "tuning/depth_oracle_glue.hpp"

namespace tx::tuning {

// numpy.ascontiguousarray(value, dtype=numpy.<dtype>)
tx::Ref as_contiguous(PyObject* np, PyObject* value, PyObject* dtype_name) {
  tx::Ref dtype = tx::attr(np, dtype_name);
  return tx::call(tx::attr<"ascontiguousarray">(np).get(), {value, dtype.get()}, tx::kwnames<"dtype">());
}

tx::Ref item(PyObject* arrays, const char* key) {
  return tx::Ref::steal(PyObject_GetItem(arrays, tx::py_str(key).get()));
}

// The natural logarithm of every element, as float64 of the same shape, with
// the one logarithm the prediction also applies to its queries.
tx::Ref log_of(PyObject* converted, int typenum) {
  tx::Ref src = tx::contiguous_array(converted, typenum);
  PyArrayObject* a = tx::as_array_object(src.get());
  tx::Ref out = tx::Ref::steal(PyArray_EMPTY(PyArray_NDIM(a), PyArray_DIMS(a), NPY_FLOAT64, 0));
  const npy_intp n = PyArray_SIZE(a);
  double* dst = tx::array_data<double>(out.get());
  if (typenum == NPY_INT64) {
    const std::int64_t* x = tx::array_data<std::int64_t>(src.get());
    for (npy_intp i = 0; i < n; ++i) dst[i] = tx::depth::ln(static_cast<double>(x[i]));
  } else {
    const double* x = tx::array_data<double>(src.get());
    for (npy_intp i = 0; i < n; ++i) dst[i] = tx::depth::ln(x[i]);
  }
  return out;
}

// (low, high): every element through float(), then unpacked into exactly two.
std::pair<double, double> range_pair(PyObject* value) {
  tx::Ref it = tx::Ref::steal(PyObject_GetIter(value));
  std::vector<double> values;
  while (PyObject* raw = PyIter_Next(it.get())) {
    tx::Ref element = tx::Ref::steal(raw);
    tx::Ref f = tx::Ref::steal(PyNumber_Float(element.get()));
    values.push_back(PyFloat_AS_DOUBLE(f.get()));
  }
  if (PyErr_Occurred()) tx::rethrow_python();
  if (values.size() > 2) tx::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  if (values.size() < 2) {
    tx::raise_format(PyExc_ValueError, "need more than %zu value%s to unpack", values.size(),
                     values.size() == 1 ? "" : "s");
  }
  return {values[0], values[1]};
}

tx::Ref names_list(PyObject* value) {
  tx::Ref it = tx::Ref::steal(PyObject_GetIter(value));
  tx::Ref list = tx::Ref::steal(PyList_New(0));
  while (PyObject* raw = PyIter_Next(it.get())) {
    tx::Ref element = tx::Ref::steal(raw);
    tx::Ref name = PyUnicode_CheckExact(element.get()) ? element : tx::Ref::steal(PyObject_Str(element.get()));
    if (PyList_Append(list.get(), name.get()) < 0) tx::rethrow_python();
  }
  if (PyErr_Occurred()) tx::rethrow_python();
  return list;
}

void construct_model(PyObject* self, PyObject* arrays) {
  ModelState& st = model_state(self);
  tx::Ref np = ns.get<"np">();
  PyObject* int64 = tx::name<"int64">();
  // The node axes are sized before any field changes.
  tx::Ref corpus = as_contiguous(np.get(), item(arrays, "corpus_size").get(), int64);
  tx::Ref cutoff = as_contiguous(np.get(), item(arrays, "cutoff").get(), int64);
  tx::Ref depth = as_contiguous(np.get(), item(arrays, "depth").get(), int64);
  Py_ssize_t shortest = PY_SSIZE_T_MAX;
  for (PyObject* axis : {corpus.get(), cutoff.get(), depth.get()}) {
    const Py_ssize_t n = PyObject_Length(axis);
    if (n < 0) tx::rethrow_python();
    shortest = std::min(shortest, n);
  }
  if (shortest < 2) tx::raise(PyExc_ValueError, "a tuned model needs at least two nodes on every axis");

  st.complete = false;
  each_slot(st, [&](const auto& field, auto& slot) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
      tx::Ref value = as_contiguous(np.get(), item(arrays, field.key).get(), tx::py_str(field.dtype).get());
      if (field.from == From::kArray) {
        slot.assign(value.get());
      } else {
        slot.assign(log_of(value.get(), field.from == From::kLogOfInt64 ? NPY_INT64 : NPY_FLOAT64).get());
      }
    } else {
      std::tie(slot[0], slot[1]) = range_pair(item(arrays, field.key).get());
    }
  });
  st.speed_preferences.set(names_list(item(arrays, "speed_preference").get()));

  // The integer corpus nodes are checked too: their logarithms alone cannot
  // show two nodes that round to one value.
  tx::Ref corpus_nodes = tx::contiguous_array(corpus.get(), NPY_INT64);
  st.check(tx::array_data<std::int64_t>(corpus_nodes.get()), PyList_GET_SIZE(st.speed_preferences.get()));
  st.complete = true;
}

int model_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<1>("TunedModel", {"arrays"}, 1);
    const auto a = sig.bind_call(args, kwargs);
    tx::require_exact(a[0], &PyDict_Type, "arrays", true);
    construct_model(self, a[0]);
  });
}

// TunedModel.load(path): every array of the archive read, then cls(arrays),
// inside the archive's context so it is closed on return and on error.
tx::Ref load_model(PyObject* cls, PyObject* path) {
  tx::Ref file = tx::call(ns.get<"Path">().get(), {path});
  tx::Ref np = ns.get<"np">();
  tx::Ref archive =
      tx::call(tx::attr<"load">(np.get()).get(), {file.get(), Py_False}, tx::kwnames<"allow_pickle">());
  return tx::with_context(archive.get(), [&](PyObject* opened) {
    tx::Ref files = tx::attr<"files">(opened);
    tx::Ref arrays = tx::Ref::steal(PyDict_New());
    tx::Ref it = tx::Ref::steal(PyObject_GetIter(files.get()));
    while (PyObject* raw = PyIter_Next(it.get())) {
      tx::Ref key = tx::Ref::steal(raw);
      tx::Ref value = tx::Ref::steal(PyObject_GetItem(opened, key.get()));
      if (PyDict_SetItem(arrays.get(), key.get(), value.get()) < 0) tx::rethrow_python();
    }
    if (PyErr_Occurred()) tx::rethrow_python();
    return tx::call(cls, {arrays.get()});
  });
}

PyObject* model_load(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("load", {"path"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    return load_model(cls, a[0]);
  });
}

// The price of a speed preference, looked up before anything else of a prediction.
double price_for(const ModelState& st, PyObject* preference) {
  tx::Ref names = st.speed_preferences.ref();
  if (!PyList_Check(names.get())) tx::raise(PyExc_TypeError, "argument of type 'NoneType' is not iterable");
  Py_ssize_t found = -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    tx::Ref name = tx::Ref::borrow(PyList_GET_ITEM(names.get(), i));
    if (tx::compare(name.get(), preference, Py_EQ)) {
      found = i;
      break;
    }
  }
  if (found < 0) {
    tx::raise_format(PyExc_ValueError, "unknown speed preference %R; pick one of %S", preference, names.get());
  }
  if (!st.prices().is_set()) tx::raise(PyExc_AttributeError, kUnset);
  const auto prices = st.prices().span();
  // The list can be replaced by any list at any time; a name past the end of
  // the prices has none.
  if (found >= prices.shape[0]) {
    tx::raise_format(PyExc_ValueError, "speed preference %R has no price: the model prices only its first %zd",
                     preference, static_cast<Py_ssize_t>(prices.shape[0]));
  }
  return prices.data[found];
}

// A host integer with its int64 value when it has one (overflow -1 or +1 else).
struct HostInt {
  tx::Ref obj;
  long long value = 0;
  int overflow = 0;
};

HostInt host_int(PyObject* o) {
  HostInt h{PyLong_CheckExact(o) ? tx::Ref::borrow(o) : tx::Ref::steal(PyNumber_Long(o))};
  h.value = PyLong_AsLongLongAndOverflow(h.obj.get(), &h.overflow);
  if (h.value == -1 && PyErr_Occurred()) tx::rethrow_python();
  return h;
}

bool less(const HostInt& a, const HostInt& b) {
  if (a.overflow != b.overflow) return a.overflow < b.overflow;
  if (a.overflow == 0) return a.value < b.value;
  return tx::compare(a.obj.get(), b.obj.get(), Py_LT);
}

bool below_one(const HostInt& a) { return a.overflow < 0 || (a.overflow == 0 && a.value < 1); }

tx::Ref grouped(PyObject* number) {
  return tx::Ref::steal(PyObject_Format(number, tx::name<",">()));
}

tx::Ref make_result(std::int64_t text_k, std::int64_t vector_k, std::int64_t top_k, const tx::Ref& recall) {
  tx::Ref cls = ns.get<"PredictionResult">();
  return tx::call(cls.get(), {tx::py_long(text_k).get(), tx::py_long(vector_k).get(), tx::py_long(top_k).get(), recall.get()},
                  tx::kwnames<"text_k", "vector_k", "top_k", "expected_recall">());
}

tx::Ref predict_one_impl(PyObject* self, PyObject* corpus_size, PyObject* cutoff, PyObject* preference) {
  const ModelState& st = model_state(self);
  const double price = price_for(st, preference);
  const HostInt n = host_int(corpus_size);
  const HostInt c = host_int(cutoff);
  const HostInt& k = less(c, n) ? c : n;
  if (below_one(n) || below_one(k)) {
    tx::raise_format(PyExc_ValueError, "%U passages returning %U results is not a question this can answer",
                     grouped(n.obj.get()).get(), grouped(k.obj.get()).get());
  }
  const std::int64_t nv = n.overflow ? tx::to_int64(n.obj.get()) : n.value;
  const std::int64_t kv = k.overflow ? tx::to_int64(k.obj.get()) : k.value;
  if (!st.complete) tx::raise(PyExc_AttributeError, kUnset);

  Snapshot snap(st);
  const std::int64_t D = snap.m.D();
  std::unique_ptr<double[]> scratch(new (std::nothrow) double[static_cast<std::size_t>(3 * D)]);
  if (!scratch) {
    PyErr_NoMemory();
    tx::rethrow_python();
  }
  tx::depth::Depths depths;
  {
    tx::ReleaseGil nogil;
    depths = tx::depth::predict_depths(snap.m, nv, kv, price, scratch.get());
  }
  scratch.reset();
  const std::int64_t vector_k = tx::depth::vector_k_at(snap.m, kv);
  tx::Ref recall = depths.has_recall ? tx::Ref::steal(PyFloat_FromDouble(depths.recall)) : tx::Ref::none();
  return make_result(depths.text_k, vector_k, kv, recall);
}

PyObject* model_predict_one(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("predict_one", {"corpus_size", "cutoff", "speed_preference"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    PyObject* preference = a[2] ? a[2] : tx::name<"balanced">();
    tx::require_exact(preference, &PyUnicode_Type, "speed_preference", true);
    return predict_one_impl(self, a[0], a[1], preference);
  });
}

PyObject* model_get_preferences(PyObject* self, void*) {
  return Py_NewRef(model_state(self).speed_preferences.get());
}

int model_set_preferences(PyObject* self, PyObject* value, void*) {
  return tx::guard_status([&] {
    if (value == nullptr) {
      model_state(self).speed_preferences.clear();
      return;
    }
    tx::expect_type(value, &PyList_Type);
    model_state(self).speed_preferences.set(tx::Ref::borrow(value));
  });
}


// ---- Pickled form ------------------------------------------------------------

PyObject* model_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("__reduce__", nargs, kwnames);
    const ModelState& st = model_state(self);
    // A model left half-built by a refused construction refuses to predict;
    // its copy must not predict either, so it has no state to give.
    if (!st.complete) tx::raise(PyExc_AttributeError, kUnset);
    std::vector<tx::Ref> f(static_cast<std::size_t>(kModelFields));
    each_pickled(st, [&](Py_ssize_t i, const auto& field, const auto& slot, int end) {
      if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
        f[i] = slot.make_view();
      } else {
        f[i] = py_float(slot[end]);
      }
    });
    f[pickled_position(kPreferencesName)] = st.speed_preferences.ref();
    return reduce_to(self, ns.get<"_restore_tuned_model">(), with_instance_dict(self, std::move(f)));
  });
}

void set_model_state(PyObject* self, PyObject* state) {
  tx::expect_type(state, &PyTuple_Type);
  if (state == Py_None || PyTuple_GET_SIZE(state) < kModelFields) {
    tx::raise_format(PyExc_ValueError, "a TunedModel state holds %zd fields", kModelFields);
  }
  ModelState& st = model_state(self);
  auto at = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(state, i); };
  st.complete = false;
  each_pickled(st, [&](Py_ssize_t i, const auto& field, auto& slot, int end) {
    if constexpr (kIsArray<std::decay_t<decltype(field)>>) {
      slot.assign(at(i));
    } else {
      slot[end] = as_double(at(i));
    }
  });
  PyObject* names = at(pickled_position(kPreferencesName));
  tx::expect_type(names, &PyList_Type);
  st.speed_preferences.set(tx::Ref::borrow(names));
  st.check(nullptr, -1);
  st.complete = true;
  restore_instance_dict(self, state, kModelFields);
}

PyObject* model_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("__setstate__", {"state"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    set_model_state(self, a[0]);
    return tx::Ref::none();
  });
}

}  // namespace tx::tuning
