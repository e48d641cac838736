"""Depth advisor: prediction latency on a cache miss and on a cache hit, and
predictions per second from several threads sharing one advisor.

Baselines measured in the same run: the plain-Python reference prediction
(tools/tuning/depth_reference.py, for a miss) and a Python dict lookup of
the same key (for a hit); the threaded figures are ratios to one thread.
The numeric core runs without the interpreter lock, but everything around
it (arguments, the price lookup, the result record, the answer map) holds
it, so threads can overlap only the core.  Per-call figures drive the calls
from C (map) and take off the cost of the same loop without the call, so
they are the call's.

    python bench/advisor.py [--quick]
"""

import argparse
import os
import statistics
import sys
import threading
import time
from collections import deque
from itertools import repeat
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))

from tarnix_engine.tuning._depth_oracle import DepthOracle, default_tuner  # noqa: E402
from timing import print_machine  # noqa: E402
from tools.tuning import depth_reference as ref  # noqa: E402


def per_call(repeats, make_args, fn, make_fn=None, count=None):
    """Median seconds per call of fn (or of a fresh make_fn() each round) over
    the argument columns make_args() returns, driven from C by map, less the
    cost of the same iteration without the call: what is left is the call's own."""
    times = []
    for _ in range(repeats + 1):  # the first round warms up
        if make_fn is not None:
            fn = make_fn()
        cols = make_args()
        calls = count or len(cols[0])
        t0 = time.perf_counter()
        deque(map(fn, *cols), maxlen=0)
        t1 = time.perf_counter()
        cols = make_args()
        t2 = time.perf_counter()
        deque(zip(*cols), maxlen=0)
        t3 = time.perf_counter()
        times.append(((t1 - t0) - (t3 - t2)) / calls)
    return statistics.median(times[1:])


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
    repeats = 5
    print_machine()

    shared = default_tuner("relevance")
    model_file = ROOT / "src/tarnix_engine/tuning/models/relevance.npz"
    print(f"cores: {os.cpu_count()}  model: relevance.npz  calls per run: {calls}")

    # ---- one thread --------------------------------------------------------
    def keys(count, start=10**6):
        return lambda: (range(start, start + count), repeat(10, count))

    # a new advisor each round: every key is a miss
    miss = per_call(repeats, keys(calls), None, make_fn=lambda: DepthOracle(model_file).predict)
    miss_lambda = per_call(repeats, keys(calls), lambda n, k: None)  # what a lambda adds
    model = shared.model
    uncached = per_call(repeats, keys(calls), model.predict_one)
    fields = ref.fields(shared.model)
    reference = per_call(repeats, keys(calls // 10, 5_000), lambda n, k: ref.predict_from_fields(fields, n, k))
    reference -= miss_lambda
    shared.predict(123_457, 10)
    same = lambda: (repeat(123_457, calls), repeat(10, calls))  # noqa: E731
    hit = per_call(repeats, same, shared.predict, count=calls)
    table = {(123_457, 10, "balanced"): shared.predict(123_457, 10)}
    dict_hit = per_call(repeats, same, lambda n, k: table.get((int(n), min(int(k), n), "balanced")), count=calls)
    dict_hit -= miss_lambda

    print("per-call figures: C-driven loops (map) less the same loop without the call;"
          f" a Python-level lambda's own cost ({miss_lambda * 1e9:.0f} ns) taken off where one wraps the call")
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
