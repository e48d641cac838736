"""Timing and machine facts shared by the benchmarks.

Every figure a benchmark prints comes from `measure`: one untimed warm-up run,
then the median wall time of `rounds` runs, the same for our side and for the
baseline, so neither is flattered by a cold first run or a lucky best one.
Medians of ROUNDS rounds are what two runs on a quiet machine agree on
within 10%; three rounds were not (a quick run differed from its own full
run). Every benchmark starts with `print_machine()`, so each printout says
how busy the machine was while it ran.
"""

import atexit
import os
import platform
import statistics
import time


ROUNDS = 7


def measure(fn, rounds=ROUNDS, warmup=1):
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


def measure_interleaved(fns, rounds=ROUNDS, warmup=1):
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


def load_line():
    """The load average against the core count, with a warning when other
    work shares the cores (the figures are then noisy)."""
    cores = os.cpu_count() or 1
    try:
        one, five, fifteen = os.getloadavg()
    except OSError:
        return f"load average: unknown; {cores} cores"
    busy = "  (busy machine: figures are noisy)" if one > 0.5 * cores else ""
    return f"load average: {one:.2f} {five:.2f} {fifteen:.2f} (1/5/15 min) on {cores} cores{busy}"


def print_machine(simd_level=None):
    """Print the machine and its load now, and the load again at exit."""
    print(machine_line(simd_level))
    print(load_line(), flush=True)
    atexit.register(lambda: print(f"at the end, {load_line()}", flush=True))
