// tarnix_engine.kernels._batching: the one batching policy of every search
// core. The tunables, `Path` and the three private steps are module globals
// looked up at each use, so callers and tests may rebind any of them.
#include "kernels/batching.hpp"
#include "support/support.hpp"

namespace {

tx::Namespace ns;

constexpr const char* kCgroupV2Max = "/sys/fs/cgroup/memory.max";
constexpr const char* kCgroupV2Current = "/sys/fs/cgroup/memory.current";
constexpr const char* kCgroupV1Limit = "/sys/fs/cgroup/memory/memory.limit_in_bytes";
constexpr const char* kCgroupV1Usage = "/sys/fs/cgroup/memory/memory.usage_in_bytes";
constexpr const char* kMeminfo = "/proc/meminfo";

tx::Ref path(const char* file) { return tx::call(ns.get<"Path">().get(), {tx::py_str(file).get()}); }

bool path_exists(const char* file) {
  return tx::truth(tx::call_method(path(file).get(), tx::name<"exists">(), {}).get());
}

tx::Ref read_text(const char* file) { return tx::call_method(path(file).get(), tx::name<"read_text">(), {}); }

tx::Ref stripped_text(const char* file) {
  return tx::call_method(read_text(file).get(), tx::name<"strip">(), {});
}

tx::Ref int_of(PyObject* text) { return tx::Ref::steal(PyNumber_Long(text)); }

tx::Ref headroom(const tx::Ref& limit, const tx::Ref& used) {
  tx::Ref left = tx::Ref::steal(PyNumber_Subtract(limit.get(), used.get()));
  return tx::py_max(left, tx::py_long(0));
}

// Clears the pending exception when it is one of `kinds`; rethrows otherwise.
template <class... E>
void swallow(E... kinds) {
  if (!(PyErr_ExceptionMatches(kinds) || ...)) tx::rethrow_python();
  PyErr_Clear();
}

tx::Ref cgroup_v2() {
  try {
    tx::Ref limit_text = stripped_text(kCgroupV2Max);
    if (PyUnicode_Check(limit_text.get()) && PyUnicode_CompareWithASCIIString(limit_text.get(), "max") == 0) {
      return tx::Ref();
    }
    tx::Ref limit = int_of(limit_text.get());
    tx::Ref current = int_of(stripped_text(kCgroupV2Current).get());
    return headroom(limit, current);
  } catch (const tx::PyErrorSet&) {
    swallow(PyExc_OSError, PyExc_ValueError);
    return tx::Ref();
  }
}

tx::Ref cgroup_v1() {
  try {
    tx::Ref limit = int_of(stripped_text(kCgroupV1Limit).get());
    tx::Ref no_limit = tx::py_long(std::int64_t{1} << 62);
    if (tx::compare(limit.get(), no_limit.get(), Py_GE)) return tx::Ref::none();
    tx::Ref usage = int_of(stripped_text(kCgroupV1Usage).get());
    return headroom(limit, usage);
  } catch (const tx::PyErrorSet&) {
    swallow(PyExc_OSError, PyExc_ValueError);
    return tx::Ref::none();
  }
}

// Memory left under a cgroup limit (v2, then v1), or None.
tx::Ref cgroup_memory_available() {
  // The existence tests stay outside the error handling: their failures propagate.
  if (path_exists(kCgroupV2Max) && path_exists(kCgroupV2Current)) {
    if (tx::Ref left = cgroup_v2()) return left;
  }
  if (path_exists(kCgroupV1Limit) && path_exists(kCgroupV1Usage)) return cgroup_v1();
  return tx::Ref::none();
}

tx::Ref meminfo_available() {
  try {
    tx::Ref text = read_text(kMeminfo);
    tx::Ref lines = tx::call_method(text.get(), tx::name<"splitlines">(), {});
    tx::Ref iter = tx::Ref::steal(PyObject_GetIter(lines.get()));
    tx::Ref prefix = tx::py_str("MemAvailable:");
    while (PyObject* raw = PyIter_Next(iter.get())) {
      tx::Ref line = tx::Ref::steal(raw);
      if (!tx::truth(tx::call_method(line.get(), tx::name<"startswith">(), {prefix.get()}).get())) continue;
      tx::Ref fields = tx::call_method(line.get(), tx::name<"split">(), {});
      tx::Ref kb = int_of(tx::Ref::steal(PySequence_GetItem(fields.get(), 1)).get());
      return tx::Ref::steal(PyNumber_Multiply(kb.get(), tx::py_long(1024).get()));
    }
    if (PyErr_Occurred()) tx::rethrow_python();
    return tx::Ref::none();
  } catch (const tx::PyErrorSet&) {
    swallow(PyExc_OSError, PyExc_ValueError, PyExc_IndexError);
    return tx::Ref::none();
  }
}

tx::Ref available_memory_bytes() {
  tx::Ref cgroup = tx::call(ns.get<"_cgroup_memory_available">().get(), {});
  if (!cgroup.is_none()) return cgroup;
  return meminfo_available();
}

tx::Ref batch_byte_budget() {
  tx::Ref available = tx::call(ns.get<"_resolve_available_memory_bytes">().get(), {});
  if (available.is_none()) return ns.get<"FALLBACK_SEARCH_BATCH_BYTES">();
  tx::Ref product = tx::Ref::steal(PyNumber_Multiply(available.get(), ns.get<"MEMORY_BUDGET_FRACTION">().get()));
  tx::Ref budget = tx::Ref::steal(PyNumber_Long(product.get()));
  budget = tx::py_max(budget, ns.get<"MIN_DYNAMIC_BATCH_BYTES">());
  return tx::py_min(budget, ns.get<"MAX_DYNAMIC_BATCH_BYTES">());
}

tx::Ref explicit_width(PyObject* batch_size, std::int64_t n_queries) {
  if (PyBool_Check(batch_size) || !PyLong_Check(batch_size)) {
    tx::raise(PyExc_TypeError, "batch_size must be an int or None, got " + tx::repr(batch_size));
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(batch_size, &overflow);
  if (value == -1 && PyErr_Occurred()) tx::rethrow_python();
  if (overflow < 0 || (overflow == 0 && value <= 0)) {
    tx::raise(PyExc_ValueError, "batch_size must be positive, got " + tx::repr(batch_size));
  }
  if (overflow > 0 || value >= n_queries) return tx::py_long(n_queries);
  return tx::py_long(value);
}

// ---- Python entry points --------------------------------------------------

PyObject* resolve_num_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<2>("resolve_num_threads", {"parallel", "n_queries"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const bool parallel = tx::truth(a[0]);
    const std::int64_t n_queries = tx::to_int64(a[1]);
    const bool needs_team = parallel && n_queries > 1;
    return tx::py_long(tx::batching::thread_count(parallel, n_queries, needs_team ? tx::omp_max_threads() : 1));
  });
}

PyObject* resolve_batch_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    static const auto sig = tx::signature<5>(
        "resolve_batch_size", {"n_queries", "bytes_per_query", "batch_size=None", "num_threads", "max_bytes=None"}, 2);
    const auto a = sig.bind(args, nargs, kwnames);
    const std::int64_t n_queries = tx::to_int64(a[0]);
    const std::int64_t bytes_per_query = tx::to_int64(a[1]);
    PyObject* batch_size = a[2];
    const std::int32_t num_threads = a[3] ? tx::to_int32(a[3]) : 1;
    PyObject* max_bytes = a[4];

    if (n_queries <= 0) return tx::py_long(1);
    if (batch_size != Py_None) return explicit_width(batch_size, n_queries);

    tx::Ref n = tx::py_long(n_queries);
    if (tx::compare(n.get(), ns.get<"AUTO_CHUNK_MIN_QUERIES">().get(), Py_LE)) return n;

    tx::Ref budget = Py_IsNone(max_bytes) ? ns.get<"MAX_SEARCH_BATCH_BYTES">() : tx::Ref::borrow(max_bytes);
    if (budget.is_none()) budget = tx::call(ns.get<"_resolve_batch_byte_budget">().get(), {});
    const std::int64_t budget_bytes = tx::to_int64(budget.get());
    const std::int64_t min_batch = tx::to_int64(ns.get<"MIN_SEARCH_BATCH">().get());
    return tx::py_long(tx::batching::auto_width(n_queries, budget_bytes, bytes_per_query, num_threads, min_batch));
  });
}

PyObject* resolve_batch_byte_budget(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("_resolve_batch_byte_budget", nargs, kwnames);
    return batch_byte_budget();
  });
}

PyObject* resolve_available_memory_bytes(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("_resolve_available_memory_bytes", nargs, kwnames);
    return available_memory_bytes();
  });
}

PyObject* cgroup_memory_available_entry(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  return tx::guard([&] {
    tx::no_arguments("_cgroup_memory_available", nargs, kwnames);
    return cgroup_memory_available();
  });
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"resolve_num_threads", tx::as_cfunction(resolve_num_threads), kFastcall,
     "resolve_num_threads(parallel, n_queries)\n--\n\nThreads for one search call over n_queries queries."},
    {"resolve_batch_size", tx::as_cfunction(resolve_batch_size), kFastcall,
     "resolve_batch_size(n_queries, bytes_per_query, batch_size=None, num_threads=1, max_bytes=None)\n--\n\n"
     "Queries per chunk of one search call."},
    {"_resolve_batch_byte_budget", tx::as_cfunction(resolve_batch_byte_budget), kFastcall,
     "Byte budget of one automatic chunk when no override is set."},
    {"_resolve_available_memory_bytes", tx::as_cfunction(resolve_available_memory_bytes), kFastcall,
     "Bytes available to this process, or None."},
    {"_cgroup_memory_available", tx::as_cfunction(cgroup_memory_available_entry), kFastcall,
     "Bytes left under the cgroup memory limit, or None."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_batching",
                          "Query batch width and thread count shared by every search core.", -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__batching() {
  return tx::init_module(&module_def, [](PyObject* module) {
    ns.bind(module);
    ns.import_from("pathlib", {"Path"});
    ns.set("MAX_SEARCH_BATCH_BYTES", tx::Ref::none());
    ns.set("MEMORY_BUDGET_FRACTION", tx::Ref::steal(PyFloat_FromDouble(0.25)));
    ns.set("MAX_DYNAMIC_BATCH_BYTES", tx::py_long(8589934592LL));
    ns.set("MIN_DYNAMIC_BATCH_BYTES", tx::py_long(67108864LL));
    ns.set("FALLBACK_SEARCH_BATCH_BYTES", tx::py_long(268435456LL));
    ns.set("MIN_SEARCH_BATCH", tx::py_long(32));
    ns.set("AUTO_CHUNK_MIN_QUERIES", tx::py_long(5000));
  });
}
