// tarnix_engine.tuning._depth_oracle: the tuned grid model that predicts how
// deep a hybrid query's text side must search (TunedModel), the advisor that
// remembers its answers (DepthOracle), and one shared advisor per text index
// type built from the model files shipped in the package (default_tuner).
//
// `resources`, `Path`, `np` and `PredictionResult` are module globals looked up
// at each use. The types and the split of the glue files are described in
// depth_oracle_glue.hpp.
#define TX_NUMPY_MAIN
#include "tuning/depth_oracle_glue.hpp"

namespace tx::tuning {
namespace {

int view_getbuffer(PyObject* self, Py_buffer* out, int flags) {
  ViewState& s = tx::state_of<ViewState>(self);
  out->obj = nullptr;
  if (!s.set) {
    PyErr_SetString(PyExc_BufferError, "the array view is empty");
    return -1;
  }
  if (flags & PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "a tuned model's arrays are read-only");
    return -1;
  }
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !PyBuffer_IsContiguous(&s.buf, 'F')) {
    PyErr_SetString(PyExc_BufferError, "the array view is not Fortran contiguous");
    return -1;
  }
  const bool nd = (flags & PyBUF_ND) == PyBUF_ND;
  out->buf = s.buf.buf;
  out->obj = Py_NewRef(self);
  out->len = s.buf.len;
  out->itemsize = s.buf.itemsize;
  out->readonly = 1;
  out->ndim = nd ? s.buf.ndim : 1;
  out->format = (flags & PyBUF_FORMAT) ? s.buf.format : nullptr;
  out->shape = nd ? s.buf.shape : nullptr;
  out->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? s.buf.strides : nullptr;
  out->suboffsets = nullptr;
  out->internal = nullptr;
  return 0;
}

PyObject* view_repr(PyObject* self) {
  return tx::guard([&] {
    ViewState& s = tx::state_of<ViewState>(self);
    if (!s.set) return tx::py_str("<empty array view>");
    std::string shape = "(";
    for (int i = 0; i < s.buf.ndim; ++i) shape += (i ? ", " : "") + std::to_string(s.buf.shape[i]);
    shape += s.buf.ndim == 1 ? ",)" : ")";
    return tx::Ref::steal(PyUnicode_FromFormat("<read-only array view of format '%s' and shape %s>",
                                               s.buf.format ? s.buf.format : "B", shape.c_str()));
  });
}

PyMethodDef view_methods[] = {
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot view_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(view_getbuffer)},
    {Py_tp_repr, reinterpret_cast<void*>(view_repr)},
    {Py_tp_methods, view_methods},
    {0, nullptr},
};

PyMethodDef model_methods[] = {
    {"predict_one", tx::as_cfunction(model_predict_one), kFastcall,
     "predict_one($self, corpus_size, cutoff, speed_preference='balanced')\n--\n\n"
     "Text depth, vector depth, result depth and expected recall for one hybrid query."},
    {"load", tx::as_cfunction(model_load), kFastcall | METH_CLASS,
     "load($type, path)\n--\n\nThe model stored in a .npz archive, as an instance of this class."},
    {"__reduce__", tx::as_cfunction(model_reduce), kFastcall, nullptr},
    {"__setstate__", tx::as_cfunction(model_setstate), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef model_getset[] = {
    {"speed_preferences", model_get_preferences, model_set_preferences,
     "Names of the speed preferences the model prices (the model's own list), or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot model_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(model_init)},
    {Py_tp_methods, model_methods},
    {Py_tp_getset, model_getset},
    {Py_tp_doc, const_cast<char*>("TunedModel(arrays)\n--\n\n"
                                  "A text retriever's tuned depth grid, built from a dict of model arrays.")},
    {0, nullptr},
};

PyMethodDef oracle_methods[] = {
    {"predict", tx::as_cfunction(oracle_predict), kFastcall,
     "predict($self, corpus_size, cutoff, speed_preference='balanced')\n--\n\n"
     "The model's prediction, remembered per (corpus size, clipped cutoff, speed preference)."},
    {"predict_all", tx::as_cfunction(oracle_predict_all), kFastcall,
     "predict_all($self, corpus_size, cutoff)\n--\n\nA dict of predict() answers, one per speed preference."},
    {"__reduce__", tx::as_cfunction(oracle_reduce), kFastcall, nullptr},
    {"__setstate__", tx::as_cfunction(oracle_setstate), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef oracle_getset[] = {
    {"speed_preferences", oracle_speed_preferences, nullptr, "A new list of the model's speed preferences.", nullptr},
    {"model", tx::field_getter<OracleState, &OracleState::model>, nullptr, "The TunedModel that answers.", nullptr},
    {"use_cache", oracle_use_cache, nullptr, "Whether answers are remembered.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot oracle_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(oracle_init)},
    {Py_tp_methods, oracle_methods},
    {Py_tp_getset, oracle_getset},
    {Py_tp_doc, const_cast<char*>("DepthOracle(model_file, use_cache=True)\n--\n\n"
                                  "A tuned model loaded from a file, with its answers remembered.")},
    {0, nullptr},
};

// ---- Module functions -------------------------------------------------------------

PyObject* default_tuner(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<1>("default_tuner", {"index_type"}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    PyObject* index_type = a[0];
    if (!PyUnicode_Check(index_type)) return tx::Ref::none();
    const bool identifier = PyUnicode_CheckExact(index_type)
                                ? PyUnicode_IsIdentifier(index_type) == 1
                                : tx::truth(tx::call_method(index_type, tx::name<"isidentifier">(), {}).get());
    if (!identifier) return tx::Ref::none();
    PyObject* known = nullptr;
    if (PyDict_GetItemRef(tuners_by_type, index_type, &known) < 0) tx::rethrow_python();
    if (known != nullptr) return tx::Ref::steal(known);

    tx::Ref resources = ns.get<"resources">();
    tx::Ref package = tx::call_method(resources.get(), tx::name<"files">(), {tx::py_str("tarnix_engine.tuning").get()});
    tx::Ref file_name = tx::Ref::steal(PyUnicode_Concat(index_type, tx::name<".npz">()));
    tx::Ref resource = tx::call_method(package.get(), tx::name<"joinpath">(), {tx::name<"models">(), file_name.get()});
    if (tx::truth(tx::call_method(resource.get(), tx::name<"is_file">(), {}).get())) {
      tx::Ref context = tx::call_method(resources.get(), tx::name<"as_file">(), {resource.get()});
      tx::with_context(context.get(), [&](PyObject* path) {
        tx::Ref oracle = tx::call(reinterpret_cast<PyObject*>(oracle_type), {path});
        if (PyDict_SetItem(tuners_by_type, index_type, oracle.get()) < 0) tx::rethrow_python();
        return tx::Ref::none();
      });
    } else if (PyDict_SetItem(tuners_by_type, index_type, Py_None) < 0) {
      tx::rethrow_python();
    }
    PyObject* stored = nullptr;
    if (PyDict_GetItemRef(tuners_by_type, index_type, &stored) < 0) tx::rethrow_python();
    return stored != nullptr ? tx::Ref::steal(stored) : tx::Ref::none();
  });
}

// _restore_<class>(cls, state): an instance of cls made without running its
// constructor, then given the state.
template <void (*SetState)(PyObject*, PyObject*)>
tx::Ref restore(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const char* function, PyTypeObject* base) {
  const auto sig = tx::signature<2>(function, {"cls", "state"}, 2);
  const auto a = sig.bind(args, nargs, kwnames);
  if (!PyType_Check(a[0]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(a[0]), base)) {
    tx::raise_format(PyExc_TypeError, "%s() needs a subclass of %s, got %R", function, base->tp_name, a[0]);
  }
  tx::Ref empty = tx::Ref::steal(PyTuple_New(0));
  tx::Ref obj = tx::Ref::steal(base->tp_new(reinterpret_cast<PyTypeObject*>(a[0]), empty.get(), nullptr));
  SetState(obj.get(), a[1]);
  return obj;
}

PyObject* restore_tuned_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    return restore<set_model_state>(args, nargs, kwnames, "_restore_tuned_model", model_type);
  });
}

PyObject* restore_depth_oracle(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    return restore<set_oracle_state>(args, nargs, kwnames, "_restore_depth_oracle", oracle_type);
  });
}

PyMethodDef methods[] = {
    {"default_tuner", tx::as_cfunction(default_tuner), kFastcall,
     "default_tuner(index_type)\n--\n\n"
     "The process-wide DepthOracle for a text index type, or None when no model file ships for it."},
    {"_restore_tuned_model", tx::as_cfunction(restore_tuned_model), kFastcall, "Unpickles a TunedModel."},
    {"_restore_depth_oracle", tx::as_cfunction(restore_depth_oracle), kFastcall, "Unpickles a DepthOracle."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_depth_oracle",
                          "Depth advisor: tuned grid models and the advisors that remember their answers.", -1,
                          methods};

}  // namespace
}  // namespace tx::tuning


PyMODINIT_FUNC PyInit__depth_oracle() {
  using namespace tx::tuning;
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    view_type = tx::add_type<ViewState>(module, "tarnix_engine.tuning._depth_oracle._ArrayView", view_slots);
    model_type = tx::add_type<ModelState>(module, "tarnix_engine.tuning._depth_oracle.TunedModel", model_slots);
    oracle_type = tx::add_type<OracleState>(module, "tarnix_engine.tuning._depth_oracle.DepthOracle", oracle_slots);
    ns.import_module("resources", "importlib.resources");
    ns.import_from("pathlib", {"Path"});
    ns.import_module("np", "numpy");
    ns.import_from("tarnix_engine._types", {"PredictionResult"});
    tx::attach_numpy();
    if (tuners_by_type == nullptr) tuners_by_type = tx::Ref::steal(PyDict_New()).release();
  });
}
