"""Peak memory of growing a vector index, against numpy's float64 variance.

The score scale is the total variance of the 8-bit codes over a 100,000-row
sample. Computing it the plain numpy way copies the sample to float64
(100,000 x dim x 8 bytes); the index sums the codes as integers instead.
Peak traced memory (numpy's and the interpreter's allocations) is printed for
one `add` that doubles the index, next to the numpy baseline's peak.

    python bench/vector_add_memory.py            # 1,000,000 rows x 384
    python bench/vector_add_memory.py --rows 200000
"""

import argparse
import os
import time
import tracemalloc

import numpy as np

from tarnix_engine.indexes._tarnix_impl import _TarnixCore
from timing import print_machine

MIB = 2**20


def peak_of(fn):
    tracemalloc.start()
    tracemalloc.reset_peak()
    t = time.perf_counter()
    fn()
    elapsed = time.perf_counter() - t
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return peak, elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dim", type=int, default=384)
    args = parser.parse_args()
    print_machine()
    half = args.rows // 2
    rng = np.random.default_rng(0)
    first = rng.normal(size=(half, args.dim)).astype(np.float32)
    second = rng.normal(size=(args.rows - half, args.dim)).astype(np.float32)
    index = _TarnixCore()
    index.fit(first, parallel=True)
    ids = [f"d{i}" for i in range(len(second))]

    add_peak, add_time = peak_of(lambda: index.add(ids, second, parallel=True))
    codes = index._matrix
    sample = np.random.default_rng(42).choice(len(codes), size=min(100_000, len(codes)), replace=False)
    base_peak, base_time = peak_of(lambda: codes[sample].astype(np.float64).var(axis=0).sum())

    new_codes = len(second) * args.dim
    print(f"{os.cpu_count()} cores, {args.rows:,} rows x {args.dim} after the add")
    print(f"add of {len(second):,} rows: peak {add_peak / MIB:,.0f} MiB in {add_time:.2f} s "
          f"(the new codes alone are {new_codes / MIB:,.0f} MiB, the grown matrix {codes.nbytes / MIB:,.0f} MiB)")
    print(f"numpy float64 variance of the sample alone: peak {base_peak / MIB:,.0f} MiB in {base_time:.2f} s")
    print(f"float64 sample copy would be {len(sample) * args.dim * 8 / MIB:,.0f} MiB")


if __name__ == "__main__":
    main()
