"""Time of the first text search in a fresh process, with and without the
on-disk cache of what numba compiles for bm25s's kernels.

Each run starts a new Python process that imports the text index, adds 2,000
short documents and times its first search and then a second one. With an
empty cache folder the first process compiles and fills the cache; the
processes after it find the kernels there (goal: first search under 0.5 s from
the second process on). For comparison the same is timed with caching
impossible (the cache folder is a regular file), which is every process's cost
without the cache.

    .venv/bin/python bench/first_search.py             # 5 warm processes
    .venv/bin/python bench/first_search.py --quick     # 2 warm processes

The cache folders are temporary; the user's own cache is not touched.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

from timing import machine_line

SCRIPT = textwrap.dedent(
    """
    import json, time
    t0 = time.perf_counter()
    from tarnix_engine.indexes._term_scoring import _RelevanceCore
    t1 = time.perf_counter()
    words = "compress files archive stream folder index search table page text".split()
    ix = _RelevanceCore()
    ix.add([str(i) for i in range(2000)],
           [" ".join(words[(i * k) % len(words)] for k in range(1, 8)) for i in range(2000)])
    t2 = time.perf_counter()
    ix.search("compress files", 10)
    t3 = time.perf_counter()
    ix.search("folder index", 10)
    t4 = time.perf_counter()
    print(json.dumps({"import": t1 - t0, "first": t3 - t2, "second": t4 - t3}))
    """
)


def fresh_process(cache_home):
    env = {k: v for k, v in os.environ.items() if not k.startswith("NUMBA_CACHE")}
    env["XDG_CACHE_HOME"] = str(cache_home)
    out = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def line(label, runs):
    first = statistics.median(r["first"] for r in runs)
    second = statistics.median(r["second"] for r in runs)
    imp = statistics.median(r["import"] for r in runs)
    print(f"  {label:34s} first {first:7.3f} s   second {second * 1e3:7.2f} ms   import {imp:5.2f} s")
    return first


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    warm = 2 if args.quick else 5
    print(machine_line())
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    with tempfile.TemporaryDirectory() as tmp:
        blocked = Path(tmp) / "blocked"
        blocked.write_text("a file, so no cache folder can be made here")
        print("first text search of a fresh process (medians):")
        uncached = line("no cache possible (every process)", [fresh_process(blocked) for _ in range(1 if args.quick else 2)])
        home = Path(tmp) / "home"
        cold = line("empty cache (first process)", [fresh_process(home)])
        hot = line(f"warm cache (next {warm} processes)", [fresh_process(home) for _ in range(warm)])
    print(f"first search, warm cache / no cache: {hot / uncached:.3f}x ({uncached / hot:.1f}x faster)")
    print(f"first search, empty cache / no cache: {cold / uncached:.2f}x (compiling plus writing the cache)")
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
