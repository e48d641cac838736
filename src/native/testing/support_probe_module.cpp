// tarnix_engine._support_probe: a test-only module that exercises every piece
// of the shared support layer the way the real modules use it.
#define TX_NUMPY_MAIN
#include "screen/shared_exclusive.hpp"
#include "support/numpy.hpp"
#include "support/plain_class.hpp"
#include "support/recursion.hpp"
#include "support/support.hpp"

#include <stdexcept>

namespace {

tx::Namespace ns;
PyTypeObject* probe_type = nullptr;

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// bind(a, b, c=None, d=1, *, e=None) -> (a, b, c, d, e)
PyObject* bind(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<5>("bind", {"a", "b", "c=None", "d", "e=None"}, 2, 4);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref d = a[3] ? tx::Ref::borrow(a[3]) : tx::py_long(1);
    return tx::Ref::steal(PyTuple_Pack(5, a[0], a[1], a[2], d.get(), a[4]));
  });
}

// One-argument function named `function` whose parameter is `param`.
template <tx::Literal Function, tx::Literal Param, class Body>
PyObject* unary(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return tx::guard([&] {
    static const tx::Signature<1> sig(Function.text, {Param.text}, 1);
    const auto a = sig.bind(args, nargs, kwnames);
    return body(a[0]);
  });
}

PyObject* take_list(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"take_list", "ids">(args, nargs, kwnames, [](PyObject* ids) {
    tx::require_exact(ids, &PyList_Type, "ids", true);
    return tx::Ref::borrow(ids);
  });
}

PyObject* take_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"take_str", "name">(args, nargs, kwnames, [](PyObject* s) {
    tx::require_exact(s, &PyUnicode_Type, "name", false);
    return tx::Ref::borrow(s);
  });
}

PyObject* expect_tuple(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"expect_tuple", "value">(args, nargs, kwnames, [](PyObject* v) {
    tx::expect_type(v, &PyTuple_Type);
    return tx::Ref::borrow(v);
  });
}

PyObject* as_int32(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"as_int32", "x">(args, nargs, kwnames, [](PyObject* x) { return tx::py_long(tx::to_int32(x)); });
}

PyObject* as_int64(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"as_int64", "x">(args, nargs, kwnames, [](PyObject* x) { return tx::py_long(tx::to_int64(x)); });
}

PyObject* as_int(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"as_int", "top_k">(args, nargs, kwnames, [](PyObject* x) { return tx::to_py_int(x, "top_k"); });
}

PyObject* as_bool(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"as_bool", "flag">(args, nargs, kwnames, [](PyObject* x) { return tx::py_bool(tx::truth(x)); });
}

// untrack_record(o) -> whether o is still tracked by the cyclic GC afterwards.
PyObject* untrack_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"untrack_record", "o">(args, nargs, kwnames, [](PyObject* o) {
    tx::untrack_atomic_record(o);
    return tx::py_bool(PyObject_GC_IsTracked(o));
  });
}

// The current value of the module global KNOB, read at each call.
PyObject* read_knob(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("read_knob", nargs, kwnames);
    return ns.get<"KNOB">();
  });
}

// parallel_sum(n, threads, fail_at=-1): sum of 0..n-1 on the OpenMP team with
// the GIL released; iteration fail_at throws inside the parallel region.
PyObject* parallel_sum(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<3>("parallel_sum", {"n", "threads", "fail_at"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int64_t n = tx::to_int64(a[0]);
    const std::int32_t threads = tx::to_int32(a[1]);
    const std::int64_t fail_at = a[2] ? tx::to_int64(a[2]) : -1;
    std::vector<std::int64_t> parts(static_cast<std::size_t>(std::max<std::int64_t>(n, 0)));
    {
      tx::ReleaseGil nogil;
      tx::parallel_for(n, threads, [&](std::int64_t i) {
        if (i == fail_at) throw std::invalid_argument("iteration " + std::to_string(i) + " failed");
        parts[static_cast<std::size_t>(i)] = i;
      });
    }
    std::int64_t total = 0;
    for (std::int64_t v : parts) total += v;
    return tx::py_long(total);
  });
}

// enter(manager, fail): `with manager as v: return v`, raising ValueError
// inside the block when `fail` is true.
PyObject* enter(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("enter", {"manager", "fail"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool fail = tx::truth(a[1]);
    return tx::with_context(a[0], [&](PyObject* value) {
      if (fail) tx::raise(PyExc_ValueError, "failed in the block");
      return tx::Ref::borrow(value);
    });
  });
}

// unpack(o): `a, b = o; return (a, b)`.
PyObject* unpack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"unpack", "o">(args, nargs, kwnames, [](PyObject* o) {
    auto [first, second] = tx::unpack_pair(o);
    return tx::Ref::steal(PyTuple_Pack(2, first.get(), second.get()));
  });
}

// ---- Probe: an extension type in the model every index type follows -------

struct ProbeState {
  tx::Field items;     // read-only attribute, None until fitted
  std::int64_t fits = 0;

  int traverse(visitproc v, void* a) const { return tx::visit_fields(v, a, items); }
  void clear() { items.clear(); }
};

ProbeState& state(PyObject* self) { return tx::state_of<ProbeState>(self); }

int probe_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tx::guard_status([&] {
    static const auto sig = tx::signature<1>("Probe", {"items=None"}, 0);
    const auto a = sig.bind_call(args, kwargs);
    state(self).items.set(tx::Ref::borrow(a[0]));
    state(self).fits = 0;
  });
}

tx::Ref fit_impl(PyObject* self, PyObject* items) {
  state(self).items.set(tx::Ref::borrow(items));
  state(self).fits += 1;
  return tx::Ref::none();
}

PyObject* probe_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"fit", "items">(args, nargs, kwnames, [&](PyObject* items) { return fit_impl(self, items); });
}

// add(items) re-fits through the overridable `fit`.
PyObject* probe_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"add", "items">(args, nargs, kwnames, [&](PyObject* items) {
    return tx::call_virtual(
        self, probe_type, tx::name<"fit">(), reinterpret_cast<void*>(probe_fit),
        [&] { return fit_impl(self, items); }, {items});
  });
}

PyObject* probe_size(PyObject* self, void*) {
  return tx::guard([&] {
    PyObject* items = state(self).items.get();
    if (items == Py_None) tx::raise(PyExc_RuntimeError, "Probe is not fitted.");
    const Py_ssize_t n = PyObject_Length(items);
    if (n < 0) tx::rethrow_python();
    return tx::py_long(n);
  });
}

PyObject* probe_fits(PyObject* self, void*) { return tx::guard([&] { return tx::py_long(state(self).fits); }); }

PyMethodDef probe_methods[] = {
    {"fit", tx::as_cfunction(probe_fit), kFastcall, nullptr},
    {"add", tx::as_cfunction(probe_add), kFastcall, nullptr},
    TX_REFUSE_PICKLING_METHODS,
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef probe_getset[] = {
    {"items", tx::field_getter<ProbeState, &ProbeState::items>, nullptr, nullptr, nullptr},
    {"size", probe_size, nullptr, nullptr, nullptr},
    {"fits", probe_fits, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot probe_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(probe_init)},
    {Py_tp_methods, probe_methods},
    {Py_tp_getset, probe_getset},
    {0, nullptr},
};

// Plain classes. `Pair(a, b)`: instance __dict__ holding `a` and `b`;
// `total()` reads them back by attribute, `swapped()` is a class method
// building the class it is called on, `double(x)` a static method, `first`
// a property. `Chain(value, next)`: __slots__ fields written only here;
// `depth()` walks the chain recursively under the recursion guard.
tx::PlainClass pair_class;
tx::PlainClass chain_class;

PyObject* pair_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("Pair", {"a", "b"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    if (PyObject_SetAttr(self, tx::name<"a">(), a[0]) < 0 || PyObject_SetAttr(self, tx::name<"b">(), a[1]) < 0) {
      tx::rethrow_python();
    }
    return tx::Ref::none();
  });
}

PyObject* pair_total(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
  return tx::guard([&] {
    tx::Ref a = tx::Ref::steal(PyObject_GetAttr(self, tx::name<"a">()));
    tx::Ref b = tx::Ref::steal(PyObject_GetAttr(self, tx::name<"b">()));
    return tx::Ref::steal(PyNumber_Add(a.get(), b.get()));
  });
}

PyObject* pair_swapped(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("swapped", {"a", "b"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    return tx::Ref::steal(PyObject_CallFunctionObjArgs(cls, a[1], a[0], nullptr));
  });
}

PyObject* pair_double(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return unary<"double", "x">(args, nargs, kwnames,
                              [](PyObject* x) { return tx::Ref::steal(PyNumber_Add(x, x)); });
}

PyObject* pair_first(PyObject* self) { return PyObject_GetAttr(self, tx::name<"a">()); }

PyMethodDef pair_methods[] = {
    {"__init__", tx::as_cfunction(pair_init), kFastcall, nullptr},
    {"total", tx::as_cfunction(pair_total), kFastcall, "a + b"},
    {"swapped", tx::as_cfunction(pair_swapped), kFastcall | METH_CLASS, nullptr},
    {"double", tx::as_cfunction(pair_double), kFastcall | METH_STATIC, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
const tx::PlainClassSpec::Property pair_properties[] = {
    {"first", pair_first, nullptr, "The first item."},
    {nullptr, nullptr},
};

PyObject* make_chain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("make_chain", {"value", "next"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    tx::Ref node = tx::Ref::steal(PyType_GenericNew(chain_class.type(), nullptr, nullptr));
    chain_class.set(node.get(), 0, tx::Ref::borrow(a[0]));
    chain_class.set(node.get(), 1, tx::Ref::borrow(a[1]));
    return node;
  });
}

std::int64_t chain_depth(PyObject* node) {
  tx::RecursionGuard guard(" while measuring a chain");
  PyObject* next = chain_class.get(node, 1);
  if (next == nullptr || !chain_class.is_instance(next)) return 1;
  return 1 + chain_depth(next);
}

PyObject* chain_depth_method(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
  return tx::guard([&] { return tx::py_long(chain_depth(self)); });
}

PyMethodDef chain_methods[] = {
    {"depth", tx::as_cfunction(chain_depth_method), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---- the screened index's lock, driven from test threads -------------------

tx::SharedExclusive probe_lock;

// Runs a wait on the probe lock without the interpreter lock, so other
// test threads go on meanwhile.
template <class F>
PyObject* lock_call(const char* function, Py_ssize_t nargs, PyObject* kwnames, F&& f) {
  return tx::guard([&] {
    tx::no_arguments(function, nargs, kwnames);
    {
      tx::ReleaseGil nogil;
      f();
    }
    return tx::Ref::none();
  });
}

PyObject* lock_shared(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return lock_call("lock_shared", nargs, kwnames, [] { probe_lock.lock_shared(); });
}
PyObject* unlock_shared(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return lock_call("unlock_shared", nargs, kwnames, [] { probe_lock.unlock_shared(); });
}
PyObject* lock_exclusive(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return lock_call("lock_exclusive", nargs, kwnames, [] { probe_lock.lock(); });
}
PyObject* unlock_exclusive(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return lock_call("unlock_exclusive", nargs, kwnames, [] { probe_lock.unlock(); });
}
PyObject* lock_waiting(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("lock_waiting", nargs, kwnames);
    const auto [readers, writers] = probe_lock.waiting();
    return tx::Ref::steal(Py_BuildValue("(ii)", readers, writers));
  });
}

PyMethodDef methods[] = {
    {"bind", tx::as_cfunction(bind), kFastcall, nullptr},
    {"take_list", tx::as_cfunction(take_list), kFastcall, nullptr},
    {"take_str", tx::as_cfunction(take_str), kFastcall, nullptr},
    {"expect_tuple", tx::as_cfunction(expect_tuple), kFastcall, nullptr},
    {"as_int32", tx::as_cfunction(as_int32), kFastcall, nullptr},
    {"as_int64", tx::as_cfunction(as_int64), kFastcall, nullptr},
    {"as_int", tx::as_cfunction(as_int), kFastcall, nullptr},
    {"as_bool", tx::as_cfunction(as_bool), kFastcall, nullptr},
    {"untrack_record", tx::as_cfunction(untrack_record), kFastcall, nullptr},
    {"read_knob", tx::as_cfunction(read_knob), kFastcall, nullptr},
    {"parallel_sum", tx::as_cfunction(parallel_sum), kFastcall, nullptr},
    {"enter", tx::as_cfunction(enter), kFastcall, nullptr},
    {"unpack", tx::as_cfunction(unpack), kFastcall, nullptr},
    {"make_chain", tx::as_cfunction(make_chain), kFastcall, nullptr},
    {"lock_shared", tx::as_cfunction(lock_shared), kFastcall, nullptr},
    {"unlock_shared", tx::as_cfunction(unlock_shared), kFastcall, nullptr},
    {"lock_exclusive", tx::as_cfunction(lock_exclusive), kFastcall, nullptr},
    {"unlock_exclusive", tx::as_cfunction(unlock_exclusive), kFastcall, nullptr},
    {"lock_waiting", tx::as_cfunction(lock_waiting), kFastcall, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_support_probe", "Test-only probe of the support layer.", -1,
                          methods};

}  // namespace

PyMODINIT_FUNC PyInit__support_probe() {
  return tx::init_module(&module_def, [](PyObject* module) {
    tx::attach_numpy();
    ns.bind(module);
    ns.set("KNOB", tx::py_long(1));
    probe_type = tx::add_type<ProbeState>(module, "tarnix_engine._support_probe.Probe", probe_slots);
    tx::PlainClassSpec pair;
    pair.module = "tarnix_engine._support_probe";
    pair.qualname = "Pair";
    pair.doc = "Two values.";
    pair.methods = pair_methods;
    pair.properties = pair_properties;
    pair_class = tx::PlainClass::create(module, pair);
    tx::PlainClassSpec chain;
    chain.module = "tarnix_engine._support_probe";
    chain.qualname = "Chain";
    chain.has_slots = true;
    chain.slots = {"value", "next"};
    chain.methods = chain_methods;
    chain_class = tx::PlainClass::create(module, chain);
  });
}
