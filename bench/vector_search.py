"""Recall and speed of the vector index against exact and 8-bit baselines.

Data: a Gaussian mixture (clustered like real embeddings), float32, with
held-out queries drawn from the same mixture. Baselines, measured in the same
run: exact float32 search with numpy, and faiss's exhaustive 8-bit scalar
quantiser index when faiss-cpu is installed (pip install -r requirements/bench.txt).

    python bench/vector_search.py            # n = 100,000 and 1,000,000
    python bench/vector_search.py --quick    # n = 100,000, fewer queries
"""

import argparse
import os
import time

import numpy as np

from tarnix_engine.indexes._tarnix_impl import _TarnixCore

try:
    import faiss
except ImportError:  # benchmark-only dependency
    faiss = None

K = 10
DIM = 384


def mixture(n, n_queries, dim, seed=0, clusters=256):
    rng = np.random.default_rng(seed)
    centres = rng.normal(size=(clusters, dim)).astype(np.float32) * 3.0
    def draw(count):
        labels = rng.integers(0, clusters, size=count)
        out = centres[labels]
        out += rng.normal(size=(count, dim)).astype(np.float32)
        return out
    return draw(n), draw(n_queries)


def exact_top_k(data, queries, k, allowed=None):
    """Exact squared-L2 top-k in float32, chunked over the queries."""
    norms = np.einsum("ij,ij->i", data, data)
    if allowed is not None:
        mask = np.full(len(data), np.inf, dtype=np.float32)
        mask[allowed] = 0.0
    out = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), 64):
        q = queries[start:start + 64]
        d = norms[None, :] - 2.0 * (q @ data.T)
        if allowed is not None:
            d += mask[None, :]
        part = np.argpartition(d, k, axis=1)[:, :k]
        order = np.take_along_axis(d, part, axis=1).argsort(axis=1, kind="stable")
        out[start:start + 64] = np.take_along_axis(part, order, axis=1)
    return out


def recall(found, truth):
    hits = sum(len(set(f[f >= 0]) & set(t)) for f, t in zip(found, truth))
    return hits / truth.size


def timed(fn, repeat=1):
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t)
    return best, result


def latencies(fn, queries, count=200):
    times = []
    for q in queries[:count]:
        t = time.perf_counter()
        fn(q)
        times.append(time.perf_counter() - t)
    times = np.array(times) * 1e3
    return np.percentile(times, 50), np.percentile(times, 99)


def run(n, n_queries, widths):
    print(f"\n== n = {n:,}, d = {DIM}, {n_queries} queries, k = {K}, {os.cpu_count()} cores ==")
    data, queries = mixture(n, n_queries, DIM)
    t_exact, truth = timed(lambda: exact_top_k(data, queries, K))
    qps_exact = n_queries / t_exact
    print(f"exact float32 (numpy): {qps_exact:,.0f} q/s")

    faiss_qps = faiss_recall = None
    if faiss is not None:
        faiss.omp_set_num_threads(os.cpu_count())
        sq = faiss.IndexScalarQuantizer(DIM, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_L2)
        sq.train(data)
        sq.add(data)
        t_faiss, (_, found) = timed(lambda: sq.search(queries, K))
        faiss_qps, faiss_recall = n_queries / t_faiss, recall(found, truth)
        print(f"faiss 8-bit flat:      {faiss_qps:,.0f} q/s, recall@10 {faiss_recall:.3f}")
    else:
        print("faiss 8-bit flat:      not installed (pip install -r requirements/bench.txt)")

    t = time.perf_counter()
    index = _TarnixCore()
    index.fit(data, parallel=True)
    t_fit = time.perf_counter() - t
    print(f"fit: {t_fit:.1f} s")

    print(f"{'n_candidates':>12} {'q/s':>10} {'recall@10':>10} {'x exact':>8} {'x faiss':>8} {'recall - faiss':>15}")
    for width in widths:
        t_search, (found, _) = timed(
            lambda: index.search_raw(queries, K, parallel=True, n_candidates=width), repeat=2)
        qps = n_queries / t_search
        r = recall(found, truth)
        vs_faiss = f"{qps / faiss_qps:8.2f}" if faiss_qps else f"{'-':>8}"
        dr = f"{r - faiss_recall:+15.3f}" if faiss_recall is not None else f"{'-':>15}"
        print(f"{width:>12,} {qps:>10,.0f} {r:>10.3f} {qps / qps_exact:>8.2f} {vs_faiss} {dr}")

    p50, p99 = latencies(lambda q: index.search_raw(q, K, n_candidates=4096), queries)
    print(f"single query at n_candidates 4,096: p50 {p50:.2f} ms, p99 {p99:.2f} ms")

    rng = np.random.default_rng(7)
    for share in (0.01, 0.10):
        allowed = np.sort(rng.choice(n, size=int(n * share), replace=False)).astype(np.int64)
        allowed.flags.writeable = False
        truth_f = exact_top_k(data, queries, K, allowed)
        t_f, (found_f, _) = timed(
            lambda: index.search_raw(queries, K, candidates=allowed, parallel=True, n_candidates=4096), repeat=2)
        valid = found_f[found_f >= 0]
        all_allowed = bool(np.isin(valid, allowed).all())
        p50f, p99f = latencies(lambda q: index.search_raw(q, K, candidates=allowed, n_candidates=4096), queries)
        print(f"filtered {share:.0%}: {n_queries / t_f:,.0f} q/s, recall@10 {recall(found_f, truth_f):.3f}, "
              f"p50 {p50f:.2f} ms, p99 {p99f:.2f} ms, every hit allowed: {all_allowed}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="n = 100,000 only, 200 queries")
    args = parser.parse_args()
    widths = (256, 1024, 4096, 16384)
    if args.quick:
        run(100_000, 200, widths)
        return
    for n in (100_000, 1_000_000):
        run(n, 1000, widths)


if __name__ == "__main__":
    main()
