"""Depth advisor: prediction latency on a cache miss and on a cache hit, and
predictions per second from several threads sharing one advisor.

Baselines measured in the same run: the plain-Python reference prediction of
the test suite (for a miss) and a Python dict lookup of the same key (for a
hit); the threaded figures are ratios to one thread.  The numeric core runs
without the interpreter lock, but everything around it (arguments, the
price lookup, the result record, the answer map) holds it, so threads can
overlap only the core.

    python bench/advisor.py [--quick]
"""

import argparse
import os
import sys
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "tuning"))

import depth_reference as ref  # noqa: E402
from tarnix_engine.tuning._depth_oracle import DepthOracle, default_tuner  # noqa: E402


def best_of(repeats, fn):
    """Least wall time of `repeats` runs of fn() (which returns its call count): s per call."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        calls = fn()
        best = min(best, (time.perf_counter() - t0) / calls)
    return best


def misses(oracle, count, start):
    """`count` predictions whose keys are all new to the advisor."""
    predict = oracle.predict
    for n in range(start, start + count):
        predict(n, 10)
    return count


def threaded_rate(threads, work):
    """Predictions per second with `threads` threads each running work(slot),
    from the first thread's start to the last one's end (each thread reads
    the clock itself: the main thread may wait for the interpreter lock)."""
    barrier = threading.Barrier(threads)
    spans = [None] * threads

    def run(slot):
        barrier.wait()
        t0 = time.perf_counter()
        count = work(slot)
        spans[slot] = (t0, time.perf_counter(), count)

    pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    start = min(s[0] for s in spans)
    end = max(s[1] for s in spans)
    return sum(s[2] for s in spans) / (end - start)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls (a smoke run)")
    args = parser.parse_args()
    calls = 2_000 if args.quick else 50_000
    repeats = 3 if args.quick else 5

    shared = default_tuner("relevance")
    model_file = Path(ref.__file__).resolve().parents[2] / "src/tarnix_engine/tuning/models/relevance.npz"
    print(f"cores: {os.cpu_count()}  model: relevance.npz  calls per run: {calls}")

    # ---- one thread --------------------------------------------------------
    oracles = iter([DepthOracle(model_file) for _ in range(repeats)])
    miss = best_of(repeats, lambda: misses(next(oracles), calls, 10**6))
    model = shared.model
    uncached = best_of(repeats, lambda: sum(1 for n in range(10**6, 10**6 + calls) if model.predict_one(n, 10)))
    fields = ref.fields(shared.model)
    reference = best_of(
        repeats, lambda: sum(1 for n in range(5_000, 5_000 + calls // 10) if ref.predict_from_fields(fields, n, 10))
    )
    shared.predict(123_457, 10)
    hit = best_of(repeats, lambda: sum(1 for _ in range(calls) if shared.predict(123_457, 10)))
    table = {(123_457, 10, "balanced"): shared.predict(123_457, 10)}
    dict_hit = best_of(repeats, lambda: sum(1 for _ in range(calls) if table.get((int(123_457), min(int(10), 123_457), "balanced"))))

    print(f"cache miss    {miss * 1e9:9.0f} ns   plain-Python reference {reference * 1e9:9.0f} ns   "
          f"ratio {reference / miss:6.1f}x faster")
    print(f"predict_one   {uncached * 1e9:9.0f} ns   (the model alone, no answer map)")
    print(f"cache hit     {hit * 1e9:9.0f} ns   Python dict lookup     {dict_hit * 1e9:9.0f} ns   "
          f"ratio {hit / dict_hit:6.2f}x its cost;  miss / hit {miss / hit:5.1f}")

    # ---- threads -------------------------------------------------------------
    per_thread = calls // 4
    for label, make_work in [
        ("misses", lambda oracle: lambda slot: misses(oracle, per_thread, 10**7 * (slot + 1))),
        ("hits", lambda oracle: lambda slot: sum(1 for _ in range(per_thread) if oracle.predict(123_457, 10))),
    ]:
        rates = {}
        for threads in (1, 8):
            best = 0.0
            for _ in range(repeats):
                oracle = DepthOracle(model_file)  # a fresh answer map: misses stay misses
                oracle.predict(123_457, 10)
                best = max(best, threaded_rate(threads, make_work(oracle)))
            rates[threads] = best
        print(f"{label:7s} 1 thread {rates[1]:11,.0f}/s   8 threads {rates[8]:11,.0f}/s   "
              f"ratio {rates[8] / rates[1]:5.2f}")


if __name__ == "__main__":
    main()
