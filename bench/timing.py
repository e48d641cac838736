"""Timing and machine facts shared by the benchmarks.

Every figure a benchmark prints comes from `measure`: one untimed warm-up run,
then the median wall time of `rounds` runs, the same for our side and for the
baseline, so neither is flattered by a cold first run or a lucky best one.
"""

import os
import platform
import statistics
import time


def measure(fn, rounds=3, warmup=1):
    """(median seconds of `rounds` timed calls after `warmup` untimed ones, last result)."""
    result = None
    for _ in range(warmup):
        result = fn()
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def measure_interleaved(fns, rounds=3, warmup=1):
    """measure() for several named calls at once, each round running every
    call once in turn, forwards and backwards in alternate rounds so that no
    call always follows the same one: ({name: median seconds}, {name: last
    result})."""
    results = {}
    for _ in range(warmup):
        for name, fn in fns.items():
            results[name] = fn()
    times = {name: [] for name in fns}
    order = list(fns.items())
    for r in range(rounds):
        for name, fn in (order if r % 2 == 0 else order[::-1]):
            t0 = time.perf_counter()
            results[name] = fn()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(t) for name, t in times.items()}, results


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def blas_threads():
    """Threads numpy's BLAS uses (threadpoolctl when installed, else the env)."""
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return os.environ.get("OPENBLAS_NUM_THREADS") or os.environ.get("OMP_NUM_THREADS") or "default"
    info = [p for p in threadpool_info() if p.get("user_api") == "blas"]
    return ", ".join(f"{p['internal_api']} {p['num_threads']}" for p in info) or "none"


def machine_line(simd_level=None):
    cores = os.cpu_count()
    simd = f", kernel level {simd_level}" if simd_level is not None else ""
    return f"CPU: {cpu_model()} ({cores} cores{simd}); OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}"
