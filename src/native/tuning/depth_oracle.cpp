// DepthOracle: a TunedModel that remembers its answers.
#include "tuning/depth_oracle_glue.hpp"

namespace tx::tuning {

// ---- DepthOracle ----------------------------------------------------------------


tx::Ref model_of(const OracleState& st) {
  if (st.model.is_none()) tx::raise(PyExc_RuntimeError, "this DepthOracle has no model: build it from a model file");
  return st.model.ref();
}

int oracle_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<2>("DepthOracle", {"model_file", "use_cache=True"}, 1);
    const auto a = sig.bind_call(args, kwargs);
    const bool use_cache = tx::truth(a[1]);
    tx::Ref model = load_model(reinterpret_cast<PyObject*>(model_type), a[0]);
    OracleState& st = oracle_state(self);
    st.model.set(model);
    st.use_cache = use_cache;
    st.answered.set(tx::Ref::steal(PyDict_New()));
  });
}

tx::Ref ask_model(const tx::Ref& model, PyObject* corpus_size, PyObject* cutoff, PyObject* preference) {
  return tx::call_virtual(
      model.get(), model_type, tx::name<"predict_one">(), reinterpret_cast<void*>(model_predict_one),
      [&] { return predict_one_impl(model.get(), corpus_size, cutoff, preference); },
      {corpus_size, cutoff, preference});
}

tx::Ref host_int_of(PyObject* o) { return PyLong_CheckExact(o) ? tx::Ref::borrow(o) : tx::Ref::steal(PyNumber_Long(o)); }

tx::Ref predict_impl(PyObject* self, PyObject* corpus_size, PyObject* cutoff, PyObject* preference) {
  const OracleState& st = oracle_state(self);
  if (!st.use_cache) return ask_model(model_of(st), corpus_size, cutoff, preference);
  tx::Ref n = host_int_of(corpus_size);
  tx::Ref c = host_int_of(cutoff);
  if (tx::compare(n.get(), c.get(), Py_LT)) c = n;
  tx::Ref key = tx::Ref::steal(PyTuple_Pack(3, n.get(), c.get(), preference));
  tx::Ref answered = st.answered.ref();
  if (!PyDict_Check(answered.get())) tx::raise(PyExc_AttributeError, "'NoneType' object has no attribute 'get'");
  PyObject* hit = nullptr;
  if (PyDict_GetItemRef(answered.get(), key.get(), &hit) < 0) tx::rethrow_python();
  if (hit != nullptr && hit != Py_None) return tx::Ref::steal(hit);
  Py_XDECREF(hit);
  tx::Ref result = ask_model(model_of(st), n.get(), cutoff, preference);
  if (PyDict_SetItem(answered.get(), key.get(), result.get()) < 0) tx::rethrow_python();
  return result;
}

PyObject* oracle_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("predict", {"corpus_size", "cutoff", "speed_preference"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    PyObject* preference = a[2] ? a[2] : tx::name<"balanced">();
    tx::require_exact(preference, &PyUnicode_Type, "speed_preference", true);
    return predict_impl(self, a[0], a[1], preference);
  });
}

PyObject* oracle_predict_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("predict_all", {"corpus_size", "cutoff"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref model = model_of(oracle_state(self));
    tx::Ref names = model_state(model.get()).speed_preferences.ref();
    if (!PyList_Check(names.get())) tx::raise(PyExc_TypeError, "'NoneType' object is not iterable");
    tx::Ref out = tx::Ref::steal(PyDict_New());
    // The live list: its length is read again before each step.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
      tx::Ref name = tx::Ref::borrow(PyList_GET_ITEM(names.get(), i));
      tx::expect_type(name.get(), &PyUnicode_Type);
      tx::Ref answer = tx::call_virtual(
          self, oracle_type, tx::name<"predict">(), reinterpret_cast<void*>(oracle_predict),
          [&] { return predict_impl(self, a[0], a[1], name.get()); }, {a[0], a[1], name.get()});
      if (PyDict_SetItem(out.get(), name.get(), answer.get()) < 0) tx::rethrow_python();
    }
    return out;
  });
}

PyObject* oracle_speed_preferences(PyObject* self, void*) {
  return tx::guard([&] {
    tx::Ref model = model_of(oracle_state(self));
    return tx::Ref::steal(PySequence_List(model_state(model.get()).speed_preferences.get()));
  });
}

PyObject* oracle_use_cache(PyObject* self, void*) { return Py_NewRef(oracle_state(self).use_cache ? Py_True : Py_False); }

constexpr Py_ssize_t kOracleFields = 3;

PyObject* oracle_reduce(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("__reduce__", nargs, kwnames);
    const OracleState& st = oracle_state(self);
    std::vector<tx::Ref> f;
    f.push_back(st.answered.ref());
    f.push_back(st.model.ref());
    f.push_back(tx::py_bool(st.use_cache));
    return reduce_to(self, ns.get<"_restore_depth_oracle">(), with_instance_dict(self, std::move(f)));
  });
}

void set_oracle_state(PyObject* self, PyObject* state) {
  tx::expect_type(state, &PyTuple_Type);
  if (state == Py_None || PyTuple_GET_SIZE(state) < kOracleFields) {
    tx::raise(PyExc_ValueError, "a DepthOracle state holds 3 fields");
  }
  PyObject* answered = PyTuple_GET_ITEM(state, 0);
  PyObject* model = PyTuple_GET_ITEM(state, 1);
  tx::expect_type(answered, &PyDict_Type);
  if (model != Py_None && !PyObject_TypeCheck(model, model_type)) {
    tx::raise_format(PyExc_TypeError, "Cannot convert %s to %s", tx::type_name(model), model_type->tp_name);
  }
  const bool use_cache = tx::truth(PyTuple_GET_ITEM(state, 2));
  OracleState& st = oracle_state(self);
  st.answered.set(tx::Ref::borrow(answered));
  st.model.set(tx::Ref::borrow(model));
  st.use_cache = use_cache;
  restore_instance_dict(self, state, kOracleFields);
}

PyObject* oracle_setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("__setstate__", {"state"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    set_oracle_state(self, a[0]);
    return tx::Ref::none();
  });
}

}  // namespace tx::tuning
