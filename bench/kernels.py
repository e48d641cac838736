"""Speed of the vector kernels against baselines measured in the same run.

    .venv/bin/pip install -r requirements/bench.txt   # faiss-cpu, benchmark only
    .venv/bin/python bench/kernels.py                # n = 1e5 and 1e6, d = 384 and 768
    .venv/bin/python bench/kernels.py --quick        # n = 1e5, d = 384, fewer queries
    .venv/bin/python bench/kernels.py --sweep        # Hamming shortlist widths 100 .. 8,192

Every figure is the median of `--rounds` runs after one warm-up run, the
same rows and the same rounds on both sides (our Hamming widths in
interleaved rounds, so that no width alone meets a drift of the machine). Thread counts of both sides are
printed on every line; ratios > 1 mean we are faster.

- encode: values per second of `packing.encode_dataset` against the fastest
  plain numpy for the same codes (double-precision quotient, small chunks so
  the temporaries stay in cache): numpy on one thread and split over a
  thread pool (its ufuncs release the GIL), ours on one thread and on all.
  The codes are checked identical.
- hamming: rows x queries per second of the binary-code index's full
  shortlist against faiss's exhaustive binary index (`IndexBinaryFlat`, the
  faster of its heap and its counting selection) on the same packed codes
  and thread count (distances checked equal), and as a multiple of the
  one-pass read rate: the rate at which one full read of the codes per query
  would go at this machine's read bandwidth. It is no bound: a scan that tiles
  the queries reads each code once for many queries and goes above 1.
- rerank: candidates per second of `distance._search` against numpy over the
  same shortlists (argpartition, then the exact order of the few left;
  results checked identical).
"""

import argparse
import os
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from timing import ROUNDS, measure, measure_interleaved, print_machine
from tarnix_engine.kernels import core, distance, packing

try:
    import faiss
except ImportError:  # the Hamming figures then have no faiss column
    faiss = None

CORES = os.cpu_count()


# ---- numpy baselines ---------------------------------------------------------

def numpy_encode_rows(data, lo, step, out, chunk=1024):
    """Codes of `data` into `out`: the quotient in float64 like ours, through
    one reused cache-sized buffer (no per-chunk allocation, no page faults)."""
    buf = np.empty((min(chunk, len(data)), data.shape[1]), dtype=np.float64)
    for s in range(0, len(data), chunk):
        x = data[s : s + chunk]
        q = buf[: len(x)]
        np.subtract(x, lo, out=q)
        np.divide(q, step, out=q)
        np.fmax(q, 0.0, out=q)  # NaN (a zero step) and negatives -> 0
        np.fmin(q, 255.0, out=q)
        out[s : s + len(x)] = q  # the cast truncates toward zero


def numpy_encode(data, lo, step, threads=1, chunk=1024):
    out = np.empty(data.shape, dtype=np.uint8)
    if threads == 1:
        numpy_encode_rows(data, lo, step, out, chunk)
        return out
    bounds = np.linspace(0, len(data), threads + 1).astype(int)
    with ThreadPoolExecutor(threads) as pool:
        list(pool.map(lambda i: numpy_encode_rows(data[bounds[i] : bounds[i + 1]], lo, step,
                                                  out[bounds[i] : bounds[i + 1]], chunk), range(threads)))
    return out


def numpy_rerank(vectors, queries, shortlist, k):
    """Top-k by (squared L2 over the codes, row): argpartition narrows each
    shortlist to the rows at or below the k-th distance, then an exact sort."""
    ids = np.empty((len(queries), k), dtype=np.int64)
    for i, row in enumerate(shortlist):
        diff = vectors[row].astype(np.int32)
        diff -= queries[i].astype(np.int32)
        d = np.einsum("ij,ij->i", diff, diff)
        if len(d) > k:
            kth = d[np.argpartition(d, k - 1)[k - 1]]
            keep = np.flatnonzero(d <= kth)
            row, d = row[keep], d[keep]
        ids[i] = row[np.lexsort((row, d))[:k]]
    return ids


def read_bandwidth(nbytes=1 << 30, threads=CORES):
    """Bytes per second that `threads` threads read, numpy's reductions releasing the GIL."""
    buf = np.ones(nbytes // 8, dtype=np.uint64)
    parts = np.array_split(buf, threads)

    def run():
        ts = [threading.Thread(target=np.bitwise_or.reduce, args=(p,)) for p in parts]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    seconds, _ = measure(run, 3)
    return buf.nbytes / seconds


def packed_queries(queries, medians, words):
    bits = np.packbits(queries > medians, axis=1, bitorder="little")
    out = np.zeros((len(queries), words * 8), dtype=np.uint8)
    out[:, : bits.shape[1]] = bits
    return out


# ---- sections ----------------------------------------------------------------

def bench_encode(data, rounds):
    edges = packing.generate_numba(data, 256)
    lo = np.ascontiguousarray(edges[:, 0])
    step = edges[:, 1] - edges[:, 0]
    values = data.size
    t1, codes = measure(lambda: packing.encode_dataset(data, edges, False), rounds)
    tn, codes_n = measure(lambda: packing.encode_dataset(data, edges, True), rounds)
    n1, ref = measure(lambda: numpy_encode(data, lo, step, 1), rounds)
    nn, ref_n = measure(lambda: numpy_encode(data, lo, step, CORES), rounds)
    for c in (codes, codes_n, ref_n):
        assert np.array_equal(ref, c), "encode: codes differ from numpy"
    print(f"encode  ours  1 thread {values / t1 / 1e6:8.1f} M values/s   numpy  1 thread {values / n1 / 1e6:8.1f} M/s"
          f"   ratio {n1 / t1:5.2f}x")
    print(f"encode  ours {CORES:2d} threads{values / tn / 1e6:8.1f} M values/s   numpy {CORES:2d} threads{values / nn / 1e6:8.1f} M/s"
          f"   ratio {nn / tn:5.2f}x   (ours {CORES} vs numpy 1: {n1 / tn:5.2f}x)")
    return edges, codes


def faiss_binary(packed, words):
    if faiss is None:
        return None
    faiss.omp_set_num_threads(CORES)
    index = faiss.IndexBinaryFlat(words * 64)
    index.add(packed)
    return index


def faiss_binary_search(index, qbits, k, rounds):
    """The faster of faiss's two selections (a heap, or counting by distance)."""
    best = None
    for heap in (True, False):
        index.use_heap = heap
        t, res = measure(lambda: index.search(qbits, k), rounds)
        if best is None or t < best[0]:
            best = (t, res, "heap" if heap else "counting")
    return best


def bench_hamming(ix, queries, widths, rounds, bandwidth, index, qbits, threads_ours):
    n = ix.matrix.rows if hasattr(ix.matrix, "rows") else len(ix.matrix.packed())
    nq = len(queries)
    words = (queries.shape[1] + 63) // 64
    one_pass_rate = bandwidth / (words * 8)  # rows x queries per second reading the codes once per query
    parallel = threads_ours > 1
    # Our widths are timed in interleaved rounds, so that a drift of the
    # machine (the kernel still merging the index's fresh pages after fit,
    # say) falls on every width alike instead of on the first one timed.
    times, results = measure_interleaved(
        {k: (lambda k=k: ix.search_full(queries, k, parallel, want_distances=True)) for k in widths}, rounds)
    shortlists = {k: results[k][0] for k in widths}
    for k in widths:
        t_ours, (ids, dist) = times[k], results[k]
        ours_rate = n * nq / t_ours
        line = (f"hamming k={k:<5} ours {threads_ours} thr {ours_rate / 1e9:7.2f} G rows*q/s"
                f" ({t_ours / nq * 1e6:8.1f} us/query)")
        if index is not None:
            t_f, (fd, _), how = faiss_binary_search(index, qbits, k, rounds)
            assert np.array_equal(fd, dist), "hamming: distances differ from faiss"
            line += (f"   faiss {faiss.omp_get_max_threads()} thr {n * nq / t_f / 1e9:6.2f} G/s ({how:8s})"
                     f"   ratio {t_f / t_ours:5.2f}x")
        line += f"   x one-pass read {ours_rate / one_pass_rate:5.2f}"
        print(line)
    return shortlists


def bench_rerank(codes, qcodes, shortlists, rounds):
    for k_h, sl in shortlists.items():
        m = min(len(qcodes), 1000 if k_h <= 1000 else 200)  # the same queries on both sides
        q, s = qcodes[:m], np.ascontiguousarray(sl[:m])
        for parallel in (False, True):
            t_ours, (rid, _) = measure(
                lambda: distance._search(vectors=codes, queries=q, k=10, bm25=s, parallel=parallel), rounds)
            if not parallel:
                t_np, ref = measure(lambda: numpy_rerank(codes, q, s, 10), rounds)
                assert np.array_equal(ref, rid), "rerank: results differ from numpy"
            threads = CORES if parallel else 1
            print(f"rerank k_h={k_h:<5} ours {threads} thr {m * k_h / t_ours / 1e6:8.1f} M cand/s"
                  f"   numpy 1 thr {m * k_h / t_np / 1e6:8.2f} M/s   ratio {t_np / t_ours:7.1f}x   ({m} queries)")


def bench_size(n, dim, nq, rounds, bandwidth, rng, widths):
    print(f"\n== n = {n:,} rows, d = {dim}, {nq:,} queries ==")
    data = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((nq, dim), dtype=np.float32)
    edges, codes = bench_encode(data, rounds)

    ix = core._CoreIndex()
    ix.fit(data, True)
    words = (dim + 63) // 64
    packed = ix.matrix.packed().view(np.uint8)
    index = faiss_binary(packed, words)
    qbits = packed_queries(queries, ix.medians, words)
    shortlists = bench_hamming(ix, queries, widths, rounds, bandwidth, index, qbits, CORES)

    qcodes = packing.encode_dataset(queries, edges, True)
    bench_rerank(codes, qcodes, {k: shortlists[k] for k in (100, 4096) if k in shortlists}, rounds)


def sweep(sizes, dim, nq_for, rounds, bandwidth, rng, widths):
    """Shortlist time per query over widths; no width may be slower than a wider one."""
    for n in sizes:
        nq = nq_for(n)
        print(f"\n== width sweep: n = {n:,} rows, d = {dim}, {nq:,} queries ==")
        data = rng.standard_normal((n, dim), dtype=np.float32)
        queries = rng.standard_normal((nq, dim), dtype=np.float32)
        ix = core._CoreIndex()
        ix.fit(data, True)
        words = (dim + 63) // 64
        index = faiss_binary(ix.matrix.packed().view(np.uint8), words)
        qbits = packed_queries(queries, ix.medians, words)
        del data
        bench_hamming(ix, queries, widths, rounds, bandwidth, index, qbits, CORES)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="n = 100,000 and d = 384 only, 200 queries")
    parser.add_argument("--sweep", action="store_true", help="only the Hamming width sweep at 100k and 1M rows")
    parser.add_argument("--sizes", type=int, nargs="*", help="row counts (default 1e5 and 1e6)")
    parser.add_argument("--queries", type=int, default=None, help="queries per search (default 1000)")
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    parser.add_argument("--no-faiss", action="store_true", help="leave faiss out (a shorter run)")
    args = parser.parse_args()
    global faiss
    if args.no_faiss:
        faiss = None
    print_machine(core._simd_level())
    print(f"ours: OpenMP, {CORES} threads unless marked 1; numpy: 1 thread unless marked;"
          f" faiss: {faiss.__version__ if faiss else ('left out' if args.no_faiss else 'not installed')}")
    bandwidth = read_bandwidth()
    print(f"read bandwidth ({CORES} threads): {bandwidth / 1e9:.1f} GB/s")
    rng = np.random.default_rng(0)
    if args.sweep:
        sizes = args.sizes or [100_000, 1_000_000]
        sweep(sizes, 384, lambda n: args.queries or (1000 if n <= 100_000 else 200), args.rounds, bandwidth, rng,
              (100, 256, 512, 1024, 2048, 4096, 8192))
        return
    nq = args.queries or (200 if args.quick else 1000)
    sizes = args.sizes or ([100_000] if args.quick else [100_000, 1_000_000])
    dims = (384,) if args.quick else (384, 768)
    for n in sizes:
        for dim in dims:
            bench_size(n, dim, nq, args.rounds, bandwidth, rng, (100, 1024, 4096))


if __name__ == "__main__":
    main()
