"""Recall and speed of the vector index against the indexes a user would pick instead.

Data: a Gaussian mixture (clustered like real embeddings), float32, with
held-out queries drawn from the same mixture; or, with --real, sentence
embeddings of real passages (see `real_data`). Every figure is the median of
`--rounds` runs after one warm-up run. Measured in the same run:

- exact search: numpy (float32 matrix products) and faiss's flat index
  searched with the whole query batch, on its BLAS path as a user gets it
  (faiss scans query by query below `distance_compute_blas_threshold`
  queries, 128,000 in the installed faiss, so the bench lowers it to the
  batch size); the truth for recall@10 is numpy's;
- faiss's exhaustive 8-bit scalar-quantiser index;
- the same algorithm as ours built from faiss parts: binary codes at the
  per-dimension medians (`IndexLSH`), a Hamming shortlist of n_candidates
  rows, then an 8-bit refine (`IndexRefine` over an 8-bit quantiser), at the
  same widths as ours; faiss keeps the query in float32 for the refine;
- an inverted-file index with 8-bit codes (IVF-SQ8) swept over nprobe;
- with --hnsw (always with --real): faiss's HNSW graph, M = 32, swept over efSearch.

Memory is the payload of each index: faiss's serialised size, and for ours
the 8-bit matrix plus the binary codes. The closing table gives, for each of
our widths, the fastest setting of each peer whose recall is at least ours,
and then each peer's best recall, its speed there and our fastest width that
reaches it (peers reach recall that ours may not).

    pip install -r requirements/bench.txt      # faiss-cpu, benchmark only
    python bench/vector_search.py              # n = 100,000 and 1,000,000
    python bench/vector_search.py --quick      # n = 100,000, 200 queries
    python bench/vector_search.py --real       # embedded passages (requirements/embedding.txt)
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

from timing import ROUNDS, measure, print_machine
from tarnix_engine.indexes._tarnix_impl import _TarnixCore
from tarnix_engine.kernels import core

try:
    import faiss
except ImportError:  # benchmark-only dependency
    faiss = None

K = 10
_alive = []  # parts of faiss indexes, kept while the run uses them
CORES = os.cpu_count()


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


def latencies(fn, queries, count=200):
    times = []
    for q in queries[:count]:
        t = time.perf_counter()
        fn(q)
        times.append(time.perf_counter() - t)
    times = np.array(times) * 1e3
    return np.percentile(times, 50), np.percentile(times, 99)


def timed_build(build):
    t = time.perf_counter()
    index = build()
    return index, time.perf_counter() - t


def faiss_bytes(index):
    return len(faiss.serialize_index(index))


# ---- the peers -----------------------------------------------------------------

def faiss_peers(data, widths, hnsw):
    """(name, build(), memory(index), [(setting, search(index, queries))]) for each peer."""
    n, dim = data.shape
    peers = []

    def sq8():
        ix = faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_L2)
        ix.train(data)
        ix.add(data)
        return ix
    peers.append(("faiss SQ8 flat", sq8, [("-", lambda ix, q: ix.search(q, K)[1])]))

    def lsh_refine():
        base = faiss.IndexLSH(dim, dim, False, True)  # one bit per dimension, thresholds at the medians
        refine = faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_L2)
        ix = faiss.IndexRefine(base, refine)
        ix.train(data)
        ix.add(data)
        _alive.append((base, refine))  # the Python wrappers own the parts
        return ix

    def refine_at(width):
        def search(ix, q):
            ix.k_factor = width / K
            return ix.search(q, K)[1]
        return search
    peers.append(("faiss LSH+SQ8 refine", lsh_refine, [(f"cand {w:,}", refine_at(w)) for w in widths]))

    # lists: a power of two near sqrt(n), with the 39 training points a list that k-means asks for
    nlist = 1 << max(4, int(np.log2(max(16.0, min(np.sqrt(n), n / 39)))))

    def ivf():
        quantizer = faiss.IndexFlatL2(dim)
        ix = faiss.IndexIVFScalarQuantizer(quantizer, dim, nlist, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_L2)
        sample = data[np.random.default_rng(1).choice(n, size=min(n, 64 * nlist), replace=False)]
        ix.train(sample)
        ix.add(data)
        _alive.append(quantizer)
        return ix

    def nprobe(p):
        def search(ix, q):
            ix.nprobe = p
            return ix.search(q, K)[1]
        return search
    probes = [p for p in (1, 2, 4, 8, 16, 32, 64, 128) if p <= nlist]
    peers.append((f"faiss IVF{nlist}-SQ8", ivf, [(f"nprobe {p}", nprobe(p)) for p in probes]))

    if hnsw:
        def build_hnsw():
            ix = faiss.IndexHNSWFlat(dim, 32)
            ix.add(data)
            return ix

        def ef(e):
            def search(ix, q):
                ix.hnsw.efSearch = e
                return ix.search(q, K)[1]
            return search
        peers.append(("faiss HNSW32", build_hnsw, [(f"efSearch {e}", ef(e)) for e in (16, 32, 64, 128, 256, 512)]))
    return peers


def exact_faiss(data, queries, truth, rounds):
    """faiss's flat index on its BLAS path: a user searches a batch, and a
    threshold above the batch size would time the per-query scan instead."""
    saved = faiss.cvar.distance_compute_blas_threshold
    faiss.cvar.distance_compute_blas_threshold = min(saved, len(queries))
    try:
        flat, t_b = timed_build(lambda: (lambda ix: (ix.add(data), ix)[1])(faiss.IndexFlatL2(data.shape[1])))
        t_f, (_, found) = measure(lambda: flat.search(queries, K), rounds)
        setting = f"BLAS from {faiss.cvar.distance_compute_blas_threshold}"
        return ("faiss flat (exact)", setting, t_b, faiss_bytes(flat), len(queries) / t_f, recall(found, truth))
    finally:
        faiss.cvar.distance_compute_blas_threshold = saved


def print_best_recall(ours, peer_rows):
    """Each peer at its best recall (its fastest setting there), against our
    fastest width that reaches the same recall, or our best when none does."""
    print("\nat each peer's best recall (its fastest setting there; ratio = our q/s over its):")
    for name, prow in peer_rows.items():
        top = max(p[5] for p in prow)
        best = max((p for p in prow if p[5] == top), key=lambda p: p[4])
        line = f"  {name} [{best[1]}] recall {top:.3f}, {best[4]:,.0f} q/s: "
        reach = [(w, qps) for w, (qps, r) in ours.items() if r >= top]
        if reach:
            width, qps = max(reach, key=lambda wq: wq[1])
            line += f"ours cand {width:,} {qps:,.0f} q/s -> {qps / best[4]:.2f}x"
        else:
            width, (qps, r) = max(ours.items(), key=lambda item: (item[1][1], item[1][0]))
            line += f"ours never reaches it (at most {r:.3f}, cand {width:,}, {qps:,.0f} q/s)"
        print(line)


# ---- one run -------------------------------------------------------------------

def run(data, queries, widths, rounds, hnsw, filtered=True):
    n, dim = data.shape
    nq = len(queries)
    print(f"\n== n = {n:,}, d = {dim}, {nq} queries, k = {K}; ours {CORES} threads,"
          f" faiss {faiss.omp_get_max_threads() if faiss else '-'} threads, numpy BLAS as configured ==")
    t_exact, truth = measure(lambda: exact_top_k(data, queries, K), rounds)
    qps_exact = nq / t_exact
    rows = []  # (index, setting, build s, MiB, q/s, recall)
    rows.append(("exact numpy", "-", 0.0, data.nbytes, qps_exact, 1.0))
    peer_rows = {}
    if faiss is not None:
        faiss.omp_set_num_threads(CORES)
        peer_rows["faiss flat (exact)"] = [exact_faiss(data, queries, truth, rounds)]
        rows.extend(peer_rows["faiss flat (exact)"])

    index, t_fit = timed_build(lambda: (lambda ix: (ix.fit(data, parallel=True), ix)[1])(_TarnixCore()))
    ours_bytes = index._matrix.nbytes + n * ((dim + 63) // 64) * 8
    ours = {}
    for width in widths:
        t_search, (found, _) = measure(
            lambda: index.search_raw(queries, K, parallel=True, n_candidates=width), rounds)
        ours[width] = (nq / t_search, recall(found, truth))
        rows.append(("ours", f"cand {width:,}", t_fit, ours_bytes, *ours[width]))

    if faiss is not None:
        for name, build, settings in faiss_peers(data, widths, hnsw):
            ix, t_b = timed_build(build)
            mem = faiss_bytes(ix)
            peer_rows[name] = []
            for setting, search in settings:
                t_s, found = measure(lambda: search(ix, queries), rounds)
                row = (name, setting, t_b, mem, nq / t_s, recall(found, truth))
                rows.append(row)
                peer_rows[name].append(row)
            del ix
    else:
        print("faiss: not installed (pip install -r requirements/bench.txt)")

    print(f"{'index':<22} {'setting':<14} {'build s':>8} {'MiB':>8} {'q/s':>10} {'recall@10':>10}")
    for name, setting, t_b, mem, qps, r in rows:
        print(f"{name:<22} {setting:<14} {t_b:8.1f} {mem / 2**20:8.1f} {qps:10,.0f} {r:10.3f}")

    if peer_rows:
        print("\nat matched recall (each peer's fastest setting with recall >= ours; ratio = our q/s over its):")
        for width, (qps, r) in ours.items():
            parts = []
            for name, prow in peer_rows.items():
                ok = [p for p in prow if p[5] >= r]
                if ok:
                    best = max(ok, key=lambda p: p[4])
                    parts.append(f"{name} [{best[1]}] {best[4]:,.0f} q/s -> {qps / best[4]:.2f}x")
                else:
                    parts.append(f"{name}: never reaches {r:.3f}")
            print(f"  ours cand {width:,} ({qps:,.0f} q/s, recall {r:.3f}): " + "; ".join(parts))
        print_best_recall(ours, peer_rows)

    p50, p99 = latencies(lambda q: index.search_raw(q, K, n_candidates=4096), queries)
    print(f"single query at n_candidates 4,096: p50 {p50:.2f} ms, p99 {p99:.2f} ms")
    if not filtered:
        return
    rng = np.random.default_rng(7)
    for share in (0.01, 0.10):
        allowed = np.sort(rng.choice(n, size=max(K, int(n * share)), replace=False)).astype(np.int64)
        allowed.flags.writeable = False
        truth_f = exact_top_k(data, queries, K, allowed)
        t_f, (found_f, _) = measure(
            lambda: index.search_raw(queries, K, candidates=allowed, parallel=True, n_candidates=4096), rounds)
        valid = found_f[found_f >= 0]
        all_allowed = bool(np.isin(valid, allowed).all())
        p50f, p99f = latencies(lambda q: index.search_raw(q, K, candidates=allowed, n_candidates=4096), queries)
        print(f"filtered {share:.0%}: {nq / t_f:,.0f} q/s, recall@10 {recall(found_f, truth_f):.3f}, "
              f"p50 {p50f:.2f} ms, p99 {p99f:.2f} ms, every hit allowed: {all_allowed}")


def real_data(n_queries, limit):
    """Passages and held-out queries embedded by tools/embedding (cached)."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
    from tools.embedding import embed_texts
    from tools.embedding.corpus import real_corpus

    passages, queries, source = real_corpus(n_queries, limit)
    print(f"real data: {len(passages):,} {source}, {len(queries)} held-out queries"
          " (the NAME-line summaries of pages or packages left out of the corpus)")
    return embed_texts(passages), embed_texts(queries)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="n = 100,000 only, 200 queries")
    parser.add_argument("--sizes", type=int, nargs="*", help="row counts (default 1e5 and 1e6)")
    parser.add_argument("--queries", type=int, default=None)
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    parser.add_argument("--hnsw", action="store_true", help="also faiss HNSW on the synthetic data")
    parser.add_argument("--real", action="store_true", help="embedded real passages instead of the mixture")
    parser.add_argument("--limit", type=int, default=None, help="at most this many real passages")
    args = parser.parse_args()
    print_machine(core._simd_level())
    if args.real:
        data, queries = real_data(args.queries or 500, args.limit)
        run(data, queries, (256, 1024, 4096), args.rounds, hnsw=True, filtered=False)
        return
    widths = (256, 1024, 4096, 16384)
    nq = args.queries or (200 if args.quick else 1000)
    sizes = args.sizes or ([100_000] if args.quick else [100_000, 1_000_000])
    for n in sizes:
        data, queries = mixture(n, nq, 384)
        run(data, queries, widths, args.rounds, args.hnsw)


if __name__ == "__main__":
    main()
