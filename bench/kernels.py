"""Speed of the vector kernels against baselines measured in the same run.

    .venv/bin/pip install -r requirements/bench.txt   # faiss-cpu, benchmark only
    .venv/bin/python bench/kernels.py                # n = 1e5 and 1e6, d = 384 and 768
    .venv/bin/python bench/kernels.py --quick        # n = 1e5 only, fewer queries

For every size it prints:
- encode: values per second of `packing.encode_dataset` against the same
  encoding written in numpy (the codes are checked identical);
- hamming k=100 / k=4096: rows x queries per second of the binary-code index's
  full shortlist against faiss's exhaustive binary index (`IndexBinaryFlat`)
  on the same packed codes and thread count (distances checked equal), and
  against the memory-bandwidth bound of one pass over the codes per query;
- rerank: candidates per second of `distance._search` against numpy over the
  same shortlist (results checked identical).
Figures are best-of-`--repeat` wall times; ratios > 1 mean we are faster.
"""

import argparse
import os
import threading
import time

import numpy as np

from tarnix_engine.kernels import core, distance, packing

try:
    import faiss
except ImportError:  # the Hamming figures then have no faiss column
    faiss = None


def best_time(fn, repeat):
    best, result = float("inf"), None
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def numpy_encode(data, edges, chunk=65536):
    lo = edges[:, 0]
    step = edges[:, 1] - edges[:, 0]
    out = np.empty(data.shape, dtype=np.uint8)
    with np.errstate(divide="ignore", invalid="ignore"):
        for s in range(0, len(data), chunk):
            q = (data[s : s + chunk].astype(np.float64) - lo) / step
            q[np.isnan(q)] = 0.0
            np.clip(np.trunc(q, out=q), 0, 255, out=q)
            out[s : s + chunk] = q
    return out


def numpy_rerank(vectors, queries, shortlist, k):
    ids = np.empty((len(queries), k), dtype=np.int64)
    for i, row in enumerate(shortlist):
        d = ((vectors[row].astype(np.int32) - queries[i].astype(np.int32)) ** 2).sum(1)
        order = np.lexsort((row, d))[:k]
        ids[i] = row[order]
    return ids


def read_bandwidth(nbytes=1 << 30, threads=None):
    """Bytes per second that all cores read, numpy's reductions releasing the GIL."""
    threads = threads or os.cpu_count()
    buf = np.ones(nbytes // 8, dtype=np.uint64)
    parts = np.array_split(buf, threads)

    def run():
        ts = [threading.Thread(target=np.bitwise_or.reduce, args=(p,)) for p in parts]
        for t in ts:
            t.start()
        for t in ts:
            t.join()

    seconds, _ = best_time(run, 3)
    return buf.nbytes / seconds


def packed_queries(queries, medians, words):
    bits = np.packbits(queries > medians, axis=1, bitorder="little")
    out = np.zeros((len(queries), words * 8), dtype=np.uint8)
    out[:, : bits.shape[1]] = bits
    return out


def bench_size(n, dim, nq, repeat, bandwidth, rng):
    cores = os.cpu_count()
    print(f"\n== n = {n:,} rows, d = {dim}, {nq:,} queries, {cores} cores ==")
    data = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((nq, dim), dtype=np.float32)

    # -- encode
    edges = packing.generate_numba(data, 256)
    t_ours, codes = best_time(lambda: packing.encode_dataset(data, edges, True), repeat)
    sample = data[: min(n, 200_000)]
    t_np, ref = best_time(lambda: numpy_encode(sample, edges), 1 if n > 200_000 else repeat)
    assert np.array_equal(ref, codes[: len(sample)]), "encode: codes differ from numpy"
    ours_rate, np_rate = data.size / t_ours, sample.size / t_np
    print(f"encode          {ours_rate / 1e6:9.1f} M values/s   numpy {np_rate / 1e6:8.1f} M/s"
          f"   ratio {ours_rate / np_rate:6.2f}x")

    # -- Hamming shortlist
    t0 = time.perf_counter()
    ix = core._CoreIndex()
    ix.fit(data, True)
    fit_s = time.perf_counter() - t0
    words = (dim + 63) // 64
    packed = ix.matrix.packed().view(np.uint8)
    qbits = packed_queries(queries, ix.medians, words)
    index = None
    if faiss is not None:
        faiss.omp_set_num_threads(cores)
        index = faiss.IndexBinaryFlat(words * 64)
        index.add(packed)
    bound_rate = bandwidth / (words * 8)  # rows x queries per second at one pass per query
    print(f"(fit of the binary-code index: {fit_s:.2f} s; read bandwidth {bandwidth / 1e9:.1f} GB/s)")
    shortlists = {}
    for k in (100, 4096):
        t_ours, (ids, dist) = best_time(lambda: ix.search_full(queries, k, True, want_distances=True), repeat)
        shortlists[k] = ids
        ours_rate = n * nq / t_ours
        line = f"hamming k={k:<5} {ours_rate / 1e9:8.2f} G rows*q/s"
        if index is not None:
            t_f, (fd, fi) = best_time(lambda: index.search(qbits, k), repeat)
            assert np.array_equal(fd, dist), "hamming: distances differ from faiss"
            line += f"   faiss {n * nq / t_f / 1e9:6.2f} G/s   ratio {ours_rate / (n * nq / t_f):6.2f}x"
        line += f"   vs bandwidth bound {ours_rate / bound_rate:5.2f}x"
        print(line)

    # -- rerank over the shortlists
    qcodes = packing.encode_dataset(queries, edges, True)
    for k_h in (100, 4096):
        sl = shortlists[k_h]
        t_ours, (rid, _) = best_time(
            lambda: distance._search(vectors=codes, queries=qcodes, k=10, bm25=sl, parallel=True), repeat
        )
        m = min(nq, 100 if k_h > 1000 else nq)
        t_np, ref = best_time(lambda: numpy_rerank(codes, qcodes[:m], sl[:m], 10), 1)
        assert np.array_equal(ref, rid[:m]), "rerank: results differ from numpy"
        ours_rate, np_rate = nq * k_h / t_ours, m * k_h / t_np
        print(f"rerank k_h={k_h:<5} {ours_rate / 1e6:8.1f} M cand/s   numpy {np_rate / 1e6:8.2f} M/s"
              f"   ratio {ours_rate / np_rate:7.1f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="n = 100,000 only and 200 queries")
    parser.add_argument("--queries", type=int, default=None, help="queries per search (default 1000)")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    nq = args.queries or (200 if args.quick else 1000)
    sizes = [100_000] if args.quick else [100_000, 1_000_000]
    print(f"cores: {os.cpu_count()}   OpenMP-free numpy baseline; kernel level: {core._simd_level()}"
          f"   faiss: {faiss.__version__ if faiss else 'not installed'}")
    bandwidth = read_bandwidth()
    rng = np.random.default_rng(0)
    for n in sizes:
        for dim in (384, 768):
            bench_size(n, dim, nq, args.repeat, bandwidth, rng)


if __name__ == "__main__":
    main()
