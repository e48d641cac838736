// The threading plan of parallel retrievals of the text index.
//
// A parallel retrieval runs bm25s's numba kernel on numba's threading layer.
// The TBB and OpenMP layers take parallel launches from several threads at
// once; the "workqueue" layer aborts the process when that happens. numba
// prefers TBB, then OpenMP, and falls back to workqueue when neither loads
// (or when the caller's NUMBA_THREADING_LAYER or priority list says so). So
// before the first parallel retrieval the layer is launched, whichever numba
// picks, and when it is workqueue parallel retrievals take turns on one
// process-wide lock. Serial retrievals (n_threads = 0) run numba's serial
// kernel, which uses no layer, and never wait.
//
// bm25s turns n_threads = -1 into os.cpu_count(), but numba's pool has one
// thread per CPU the process may run on (its affinity mask), and bm25s's
// request for more than the pool raises ValueError. Where the two differ (a
// process pinned to some CPUs, as containers often are) the pool size is
// asked for instead of -1: all the processors the process has.

#include "indexes/term_scoring_glue.hpp"

#include <atomic>

namespace tx::term_scoring {

PyMutex workqueue_lock{};

namespace {
PyMutex layer_setup_lock{};

std::atomic<bool> plan_ready{false};
ParallelPlan plan{};  // written once under layer_setup_lock, before plan_ready
}  // namespace

ParallelPlan parallel_plan() {
  if (plan_ready.load(std::memory_order_acquire)) return plan;
  MutexHold hold(layer_setup_lock);
  if (plan_ready.load(std::memory_order_acquire)) return plan;
  tx::Ref numba = tx::Ref::steal(PyImport_ImportModule("numba"));
  tx::call(tx::attr<"get_num_threads">(numba.get()).get(), {});  // launches the layer if none runs yet
  tx::Ref layer = tx::call(tx::attr<"threading_layer">(numba.get()).get(), {});
  const bool turns = PyUnicode_Check(layer.get()) && PyUnicode_CompareWithASCIIString(layer.get(), "workqueue") == 0;
  const std::int64_t pool = tx::to_int64(tx::attr<"NUMBA_NUM_THREADS">(tx::attr<"config">(numba.get()).get()).get());
  tx::Ref cpus = tx::call(tx::attr<"cpu_count">(ns.get<"os">().get()).get(), {});
  const bool pool_is_smaller = !cpus.is_none() && tx::compare(tx::py_long(pool).get(), cpus.get(), Py_LT);
  plan = ParallelPlan{turns, pool_is_smaller ? static_cast<int>(pool) : -1};
  plan_ready.store(true, std::memory_order_release);
  return plan;
}

}  // namespace tx::term_scoring
