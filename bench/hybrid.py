"""Streaming hybrid search against what a user would run instead.

Corpus: passages of the first 1,500 of this machine's man pages (rendered by
bench/text_search.py, cached in build/bench-cache/) and the installed
packages' descriptions. Queries: 1,000 held-out passages (not in the index),
each cut to its first 12 words, with the vector of that text. Vectors: the
sentence embeddings of tools/embedding when that tool is installed, else the
hashed word features of examples/vector_search.py (printed at the start).

In one run it measures:
  recall      recall@10 and @100 against an exact hybrid reference (bm25s over
              the whole corpus to full depth with the index's tokenisation,
              exact float32 L2, RRF with the same rrf_k and weights, text hits
              with score 0 dropped) and against a sharded-exact reference (the
              same shards at full depth, fused by the same rule), for S = 1, 4,
              16 shards and every speed preference; with candidates 10% / 1%
              at "balanced"; exp.r is the index's expected_recall, a
              prediction for searches at its top_k (100), so it compares
              with r@100
  speed       queries per second of the 1,000-query batch (all cores), p50 / p99
              of single queries, peak RSS
  user        bm25s retrieve + a faiss index (8-bit flat, IndexFlatL2, HNSW32
              at efSearch 16 to 256) + numpy RRF at the same depths, on the
              same queries (S = 1), each with recall@10 against the exact
              hybrid, against ours at the default n_candidates and at 256
  text rule   the kernel's two ways of ranking text hits across shards
  sub-k       MAX_DEFAULT_SUB_K 256 / 1,000 / 4,000
  ingest      documents per second over 20 batches; single-query latency while
              a batch is being added
Timings are medians of rounds run back to back; ratios are never pass/fail.

    .venv/bin/python bench/hybrid.py           # full sizes
    .venv/bin/python bench/hybrid.py --quick   # small sizes, for a smoke run
"""

import argparse
import functools
import os
import resource
import sys
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "bench"), str(ROOT / "examples")]
from text_search import build_corpus  # noqa: E402

from tarnix_engine.indexes import _shard_flow, _term_scoring, _vortel_impl  # noqa: E402
from tarnix_engine.kernels import fusion  # noqa: E402
from tarnix_engine.tuning._depth_oracle import default_tuner  # noqa: E402
from timing import ROUNDS, measure, measure_interleaved, print_machine  # noqa: E402

QUERY_WORDS = 12
RRF_K, ALPHA_TEXT, ALPHA_VECTOR = 2, 0.1, 1.0


# ---- data ------------------------------------------------------------------------


def embedder(corpus):
    """(name, function texts -> float32 unit rows)."""
    try:
        from tools.embedding import embed_texts

        embed_texts(["probe"])
        return "all-MiniLM-L6-v2 (tools/embedding)", embed_texts
    except Exception:
        from vector_search import embed, inverse_document_frequency

        idf = inverse_document_frequency(corpus)
        return "hashed word features (examples/vector_search.py)", lambda texts: embed(texts, idf)


def data(n_docs, n_queries):
    # The first 1,500 man pages (the text benchmark's quick corpus) give
    # about 21,000 passages, enough for 20,000 documents and 1,000 queries.
    passages, _ = build_corpus(10**9, 0, True)
    order = np.random.default_rng(0).permutation(len(passages))
    held = [passages[i] for i in order[:n_queries]]
    docs = [passages[i] for i in order[n_queries : n_queries + n_docs]]
    queries = [" ".join(p.split()[:QUERY_WORDS]) for p in held]
    name, embed = embedder(docs)
    return docs, embed(docs), queries, embed(queries), name


# ---- references ------------------------------------------------------------------


def bm25_model(texts):
    """A bm25s model built as the text index builds its own."""
    bm25s = _term_scoring.bm25s
    model = bm25s.BM25(method="lucene", k1=1.5, b=0.75, backend="numba")
    model.index(bm25s.tokenize(texts, stopwords=STOP, stemmer=STEM, show_progress=False), show_progress=False)
    return model


def query_tokens(queries):
    return _term_scoring.bm25s.tokenize(queries, stopwords=STOP, stemmer=STEM, show_progress=False, return_ids=False)


def full_scores(model, tokens):
    return np.stack([model.get_scores(t) if t else np.zeros(model.scores["num_docs"]) for t in tokens])


def exact_distances(doc_vectors, query_vectors):
    d = (query_vectors**2).sum(1)[:, None] - 2 * query_vectors @ doc_vectors.T + (doc_vectors**2).sum(1)[None]
    return d.astype(np.float32)


def rrf_top(text_order, vector_order, n_docs, k, allowed=None, alpha_text=ALPHA_TEXT):
    """Top-k positions of weighted RRF over two full orders of positions."""
    score = np.zeros(n_docs)
    score[text_order] += alpha_text / (RRF_K + np.arange(len(text_order)) + 1)
    score[vector_order] += ALPHA_VECTOR / (RRF_K + np.arange(len(vector_order)) + 1)
    pool = np.arange(n_docs) if allowed is None else allowed
    return pool[np.lexsort((pool, -score[pool]))][:k]


def reference(text_scores, distances, k, allowed=None, shard_starts=None, rule="score", alpha_text=ALPHA_TEXT):
    """Exact hybrid top-k per query. With shard_starts and rule "interleave",
    text hits are ordered by their shard-local rank, as the kernel can do."""
    n_docs = text_scores.shape[1]
    pool = np.arange(n_docs) if allowed is None else allowed
    out = []
    for ts, d in zip(text_scores, distances):
        hit = pool[ts[pool] > 0]
        if rule == "interleave":
            local_rank = np.empty(n_docs, dtype=np.int64)
            for lo, hi in zip(shard_starts[:-1], shard_starts[1:]):
                inside = hit[(hit >= lo) & (hit < hi)]
                local_rank[inside[np.lexsort((inside, -ts[inside]))]] = np.arange(len(inside))
            text_order = hit[np.lexsort((hit, local_rank[hit]))]
        else:
            text_order = hit[np.lexsort((hit, -ts[hit]))]
        vector_order = pool[np.lexsort((pool, d[pool]))]
        out.append(rrf_top(text_order, vector_order, n_docs, k, allowed, alpha_text))
    return out


def recall(found, expected, k):
    return float(np.mean([len(set(f[:k][f[:k] >= 0].tolist()) & set(e[:k].tolist())) / max(len(e[:k]), 1)
                          for f, e in zip(found, expected)]))


# ---- timing ------------------------------------------------------------------------


def latencies(fn, n):
    times = []
    for i in range(n):
        t0 = time.perf_counter()
        fn(i)
        times.append(time.perf_counter() - t0)
    return np.percentile(times, 50) * 1e3, np.percentile(times, 99) * 1e3


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


# ---- the pipelines -----------------------------------------------------------------

# The shortlist our vector side reranks: the default, and the small one that
# buys speed at the recall the user pipelines reach.
DEFAULT_CANDIDATES = 5000
SMALL_CANDIDATES = 256
EF_SEARCH = (16, 32, 64, 128, 256)


def streaming(docs, vectors, n_shards, preference, **settings):
    index = _shard_flow._StreamingCore(speed_preference=preference, **settings)
    bounds = np.linspace(0, len(docs), n_shards + 1).astype(int)
    for lo, hi in zip(bounds[:-1], bounds[1:]):
        index.add_batch(docs[lo:hi], vectors[lo:hi], parallel=True)
    return index, bounds


def depths(n_docs, k, preference):
    """The depths a one-shard index asks its two indexes for."""
    advice = default_tuner("relevance").predict(n_docs, k, preference)
    cap = _vortel_impl.MAX_DEFAULT_SUB_K
    text_k = max(1, min(min(max(advice.text_k, k), cap), n_docs))
    return text_k, max(k, min(advice.vector_k, cap))


def user_vector_sides(vectors):
    """{name: (faiss index, efSearch or None)}: the vector indexes a user
    could pick at this size, from the cheapest exact one to the usual graph."""
    import faiss

    dim = vectors.shape[1]
    sq8 = faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_L2)
    sq8.train(vectors)
    flat = faiss.IndexFlatL2(dim)
    hnsw = faiss.IndexHNSWFlat(dim, 32)
    for index in (sq8, flat, hnsw):
        index.add(vectors)
    sides = {"faiss SQ8 flat": (sq8, None), "faiss IndexFlatL2": (flat, None)}
    sides.update({f"faiss HNSW32 ef={ef}": (hnsw, ef) for ef in EF_SEARCH})
    return sides


class UserPipeline:
    """bm25s retrieve + a faiss index + numpy RRF."""

    def __init__(self, model, vector_index, ef_search=None):
        self.model, self.vector_index, self.ef_search = model, vector_index, ef_search

    def vector_search(self, query_vectors, vector_k):
        if self.ef_search is not None:
            # faiss searches HNSW with max(efSearch, k) candidates.
            self.vector_index.hnsw.efSearch = self.ef_search
        return self.vector_index.search(query_vectors, vector_k)[1]

    def search(self, queries, query_vectors, k, text_k, vector_k):
        tokens = _term_scoring.bm25s.tokenize(queries, stopwords=STOP, stemmer=STEM, show_progress=False)
        text_ids, text_scores = self.model.retrieve(tokens, k=text_k, show_progress=False, n_threads=-1)
        vector_ids = self.vector_search(query_vectors, vector_k)
        text_ids = np.where(text_scores > 0, text_ids, -1)
        return numpy_rrf(text_ids, vector_ids, k)


def numpy_rrf(text_ids, vector_ids, k):
    """Weighted RRF of two (queries, width) id arrays, vectorised; -1 is no hit."""
    nq = text_ids.shape[0]
    ids = np.concatenate([text_ids, vector_ids], axis=1)
    weight = np.concatenate([
        np.broadcast_to(ALPHA_TEXT / (RRF_K + np.arange(text_ids.shape[1]) + 1), text_ids.shape),
        np.broadcast_to(ALPHA_VECTOR / (RRF_K + np.arange(vector_ids.shape[1]) + 1), vector_ids.shape),
    ], axis=1)
    rows = np.repeat(np.arange(nq), ids.shape[1])
    keep = ids.ravel() >= 0
    key = rows[keep] * (ids.max() + 1) + ids.ravel()[keep]
    unique, inverse = np.unique(key, return_inverse=True)
    total = np.bincount(inverse, weights=weight.ravel()[keep])
    row, doc = unique // (ids.max() + 1), unique % (ids.max() + 1)
    order = np.lexsort((doc, -total, row))
    row, doc = row[order], doc[order]
    first = np.searchsorted(row, np.arange(nq))
    place = np.arange(len(row)) - first[row]
    out = np.full((nq, k), -1, dtype=np.int64)
    take = place < k
    out[row[take], place[take]] = doc[take]
    return out


# ---- the run -------------------------------------------------------------------------


def print_columns(line):
    print(line)
    print("-" * len(line))


def prepare(n_docs, n_queries):
    """The corpus, queries and exact references every section compares with."""
    docs, doc_vectors, queries, query_vectors, embedding = data(n_docs, n_queries)
    n_docs = len(docs)
    print(f"documents: {n_docs:,}   queries: {len(queries):,}   dim: {doc_vectors.shape[1]}")
    print(f"vectors: {embedding}")
    tokens = query_tokens(queries)
    whole = bm25_model(docs)
    exact_text = full_scores(whole, tokens)
    distances = exact_distances(doc_vectors, query_vectors)
    rng = np.random.default_rng(1)
    subsets = {share: np.sort(rng.choice(n_docs, int(n_docs * share), replace=False)) for share in (0.1, 0.01)}
    return SimpleNamespace(
        docs=docs, doc_vectors=doc_vectors, queries=queries, query_vectors=query_vectors, n_docs=n_docs,
        tokens=tokens, whole=whole, exact_text=exact_text, distances=distances,
        exact=reference(exact_text, distances, 100), subsets=subsets,
        exact_restricted={share: reference(exact_text, distances, 100, allowed=c) for share, c in subsets.items()})


def warm_up(run):
    # numba compiles bm25s's kernels on first use.
    warm, _ = streaming(run.docs[:500], run.doc_vectors[:500], 1, "balanced")
    warm.search(run.queries[:4], run.query_vectors[:4], k=10, parallel=True)
    warm.search(run.queries[0], run.query_vectors[0], k=10)


def batch_qps(run, fn):
    return len(run.queries) / measure(fn, run.rounds)[0]


def recall_section(run):
    print("\nrecall against the exact hybrid reference (and the sharded-exact one), speed;")
    print("exp.r predicts the recall of searches at the index's top_k (100): compare it with r@100")
    print_columns(f"{'S':>3} {'preference':>10} {'r@10':>6} {'r@100':>6} {'sh@10':>6} {'sh@100':>6} {'exp.r':>6} "
                  f"{'qps':>7} {'p50 ms':>7} {'p99 ms':>7} {'RSS MB':>7}")
    q, qv = run.queries, run.query_vectors
    for S in run.shard_counts:
        for preference in run.preferences:
            index, bounds = streaming(run.docs, run.doc_vectors, S, preference)
            if preference == run.preferences[0]:
                sharded_text = np.concatenate([full_scores(bm25_model(run.docs[lo:hi]), run.tokens)
                                               for lo, hi in zip(bounds[:-1], bounds[1:])], axis=1)
                sharded = reference(sharded_text, run.distances, 100)
            at10 = index.search(q, qv, k=10, parallel=True)[0]
            at100 = index.search(q, qv, k=100, parallel=True)[0]
            qps = batch_qps(run, lambda: index.search(q, qv, k=10, parallel=True))
            p50, p99 = latencies(lambda i: index.search(q[i], qv[i], k=10), run.single)
            row = (recall(at10, run.exact, 10), recall(at100, run.exact, 100), recall(at10, sharded, 10),
                   recall(at100, sharded, 100))
            expected = index.expected_recall
            print(f"{S:>3} {preference:>10} {row[0]:>6.3f} {row[1]:>6.3f} {row[2]:>6.3f} {row[3]:>6.3f} "
                  f"{'-' if expected is None else f'{expected:.3f}':>6} {qps:>7.0f} {p50:>7.2f} {p99:>7.2f} "
                  f"{peak_rss_mb():>7.0f}")
            if preference == "balanced":
                for share, allowed in run.subsets.items():
                    found = index.search(q, qv, k=10, parallel=True, candidates=allowed)[0]
                    qps_c = batch_qps(run, lambda: index.search(q, qv, k=10, parallel=True, candidates=allowed))
                    print(f"{'':>3} {f'cand {share:.0%}':>10} {recall(found, run.exact_restricted[share], 10):>6.3f} "
                          f"{'':>6} {'':>6} {'':>6} {'':>6} {qps_c:>7.0f}")
            del index


def user_section(run, sides):
    """Every user pipeline and ours at two shortlists, per speed preference, in
    interleaved rounds; speed ratios are ours (default shortlist) and ours
    (small shortlist) against each row, above 1 where ours is faster."""
    print("\nthe pipeline a user would write (S = 1, same depths, same queries), against ours at the "
          f"default n_candidates ({DEFAULT_CANDIDATES}) and at {SMALL_CANDIDATES}; r@10 against the exact hybrid")
    q, qv = run.queries, run.query_vectors
    ours_default, ours_small = f"ours n_candidates={DEFAULT_CANDIDATES}", f"ours n_candidates={SMALL_CANDIDATES}"
    print_columns(f"{'preference':>10} {'depths':>9} {'pipeline':<28} {'r@10':>6} {'qps':>7} "
                  f"{'ours/it':>8} {f'ours{SMALL_CANDIDATES}/it':>10}")
    for preference in run.preferences:
        text_k, vector_k = depths(run.n_docs, 10, preference)
        ours = {ours_default: streaming(run.docs, run.doc_vectors, 1, preference)[0],
                ours_small: streaming(run.docs, run.doc_vectors, 1, preference, n_candidates=SMALL_CANDIDATES)[0]}
        calls = {name: (lambda index=index: index.search(q, qv, k=10, parallel=True)[0])
                 for name, index in ours.items()}
        for name, (vector_index, ef) in sides.items():
            user = UserPipeline(run.whole, vector_index, ef)
            calls[name] = lambda user=user: user.search(q, qv, 10, text_k, vector_k)
        times, found = measure_interleaved(calls, run.rounds)
        for name in calls:
            print(f"{preference:>10} {f'{text_k}/{vector_k}':>9} {name:<28} {recall(found[name], run.exact, 10):>6.3f} "
                  f"{len(q) / times[name]:>7.0f} {times[name] / times[ours_default]:>8.2f} "
                  f"{times[name] / times[ours_small]:>10.2f}")
        del ours, calls, found


def breakdown_section(run, sides):
    """Where the time of one batch goes, both ways (S = 1, balanced)."""
    q, qv = run.queries, run.query_vectors
    text_k, vector_k = depths(run.n_docs, 10, "balanced")
    text_index, vector_index = _term_scoring._RelevanceCore(), _shard_flow._TarnixCore(n_candidates=DEFAULT_CANDIDATES)
    text_index.fit(run.docs, parallel=True)
    vector_index.fit(run.doc_vectors, parallel=True)
    tpos, tsc = text_index.search_raw(q, text_k, parallel=True)
    vpos, vdist = vector_index.search_raw(qv, vector_k, parallel=True)
    stacked = (vpos[None], vdist[None].astype(np.float32), tpos[None], tsc[None], np.zeros(1, dtype=np.int64))
    user_tokens = _term_scoring.bm25s.tokenize(q, stopwords=STOP, stemmer=STEM, show_progress=False)
    user_text = run.whole.retrieve(user_tokens, k=text_k, show_progress=False, n_threads=-1)
    sq8 = UserPipeline(run.whole, *sides["faiss SQ8 flat"])
    user_vector = sq8.vector_search(qv, vector_k)
    parts = {
        "text   ours (search_raw)": lambda: text_index.search_raw(q, text_k, parallel=True),
        "text   user (tokenize + retrieve)": lambda: run.whole.retrieve(
            _term_scoring.bm25s.tokenize(q, stopwords=STOP, stemmer=STEM, show_progress=False),
            k=text_k, show_progress=False, n_threads=-1),
        "vector ours (search_raw)": lambda: vector_index.search_raw(qv, vector_k, parallel=True),
    }
    for name, side in sides.items():
        # SQ8 is timed last, beside the fusion it feeds; HNSW at efSearch 16 and 128 only.
        if name == "faiss SQ8 flat" or (side[1] is not None and side[1] not in (EF_SEARCH[0], 128)):
            continue
        user = UserPipeline(run.whole, *side)
        parts[f"vector user ({name.removeprefix('faiss ')})"] = lambda user=user: user.vector_search(qv, vector_k)
    parts["vector user (SQ8 flat)"] = lambda: sq8.vector_search(qv, vector_k)
    parts["fusion ours (_process_batch)"] = lambda: fusion._process_batch(
        *stacked, top_k=10, rrf_k=RRF_K, alpha_distance=ALPHA_VECTOR, alpha_bm25=ALPHA_TEXT)
    parts["fusion user (numpy RRF)"] = lambda: numpy_rrf(np.where(user_text[1] > 0, user_text[0], -1), user_vector, 10)
    print(f"\nwhere a batch of {len(q)} queries spends its time (S = 1, balanced, depths {text_k}/{vector_k})")
    for name, fn in parts.items():
        print(f"  {name:<36} {measure(fn, run.rounds)[0] * 1e3:8.1f} ms")


def rule_section(run):
    print("\ntext hits across shards: ranked by score, or interleaved by each shard's own rank (balanced)")
    print_columns(f"{'S':>3} {'rule':>10} {'r@10':>6} {'r@100':>6} {'ref. r@10':>9}")
    q, qv = run.queries, run.query_vectors
    kernel = _shard_flow._process_batch
    for S in run.shard_counts[1:]:
        index, bounds = streaming(run.docs, run.doc_vectors, S, "balanced")
        sharded_text = np.concatenate([full_scores(bm25_model(run.docs[lo:hi]), run.tokens)
                                       for lo, hi in zip(bounds[:-1], bounds[1:])], axis=1)
        for rule in ("score", "interleave"):
            _shard_flow._process_batch = functools.partial(fusion._process_batch, text_rank=rule)
            try:
                at10 = index.search(q, qv, k=10, parallel=True)[0]
                at100 = index.search(q, qv, k=100, parallel=True)[0]
            finally:
                _shard_flow._process_batch = kernel
            # The same rule applied to exact per-shard lists: its own ceiling.
            ceiling = reference(sharded_text, run.distances, 10, shard_starts=bounds, rule=rule)
            print(f"{S:>3} {rule:>10} {recall(at10, run.exact, 10):>6.3f} {recall(at100, run.exact, 100):>6.3f} "
                  f"{recall(ceiling, run.exact, 10):>9.3f}")
        del index


def subk_section(run):
    # With the default text weight deep text hits barely move the fused
    # top 100; with equal weights they do, so both are measured.
    print("\nMAX_DEFAULT_SUB_K (per-list depth cap), k = 100")
    print_columns(f"{'alpha_t':>7} {'sub-k':>6} {'S':>3} {'preference':>10} {'r@10':>6} {'r@100':>6} {'qps@100':>8}")
    q, qv = run.queries, run.query_vectors
    saved = _vortel_impl.MAX_DEFAULT_SUB_K, _shard_flow.MAX_DEFAULT_SUB_K
    try:
        for alpha_text in (ALPHA_TEXT, 1.0):
            truth = run.exact if alpha_text == ALPHA_TEXT else reference(
                run.exact_text, run.distances, 100, alpha_text=alpha_text)
            for S in (1, 4):
                for preference in ("balanced", "exhaustive"):
                    index, _ = streaming(run.docs, run.doc_vectors, S, preference, alpha_text=alpha_text)
                    for sub_k in (256, 1000, 4000):
                        _vortel_impl.MAX_DEFAULT_SUB_K = _shard_flow.MAX_DEFAULT_SUB_K = sub_k
                        at10 = index.search(q, qv, k=10, parallel=True)[0]
                        at100 = index.search(q, qv, k=100, parallel=True)[0]
                        qps = batch_qps(run, lambda: index.search(q, qv, k=100, parallel=True))
                        print(f"{alpha_text:>7} {sub_k:>6} {S:>3} {preference:>10} {recall(at10, truth, 10):>6.3f} "
                              f"{recall(at100, truth, 100):>6.3f} {qps:>8.0f}")
                    del index
    finally:
        _vortel_impl.MAX_DEFAULT_SUB_K, _shard_flow.MAX_DEFAULT_SUB_K = saved


def ingest_section(run):
    print("\ningest over 20 batches, and single-query latency while a batch is added")
    q, qv, docs, vectors = run.queries, run.query_vectors, run.docs, run.doc_vectors
    index = _shard_flow._StreamingCore()
    # 19 batches of the first three quarters, then the last quarter as one
    # batch while single queries run.
    bounds = np.r_[np.linspace(0, run.n_docs * 3 // 4, 20).astype(int), run.n_docs]
    batch_times = []
    for lo, hi in zip(bounds[:-2], bounds[1:-1]):
        t0 = time.perf_counter()
        index.add_batch(docs[lo:hi], vectors[lo:hi], parallel=True)
        batch_times.append(time.perf_counter() - t0)
    idle = latencies(lambda i: index.search(q[i], qv[i], k=10), run.single)
    during, adding = [], threading.Event()

    def add_last():
        adding.set()
        t0 = time.perf_counter()
        index.add_batch(docs[bounds[-2]:], vectors[bounds[-2]:], parallel=True)
        batch_times.append(time.perf_counter() - t0)
        adding.clear()

    worker = threading.Thread(target=add_last)
    worker.start()
    adding.wait()
    i = 0
    while adding.is_set():
        t0 = time.perf_counter()
        index.search(q[i % len(q)], qv[i % len(q)], k=10)
        during.append(time.perf_counter() - t0)
        i += 1
    worker.join()
    print(f"  {run.n_docs / sum(batch_times):,.0f} documents/s over 20 batches "
          f"(first batch {batch_times[0] * 1e3:.0f} ms, 19th {batch_times[-2] * 1e3:.0f} ms, "
          f"the last quarter {batch_times[-1] * 1e3:.0f} ms)")
    print(f"  single query idle: p50 {idle[0]:.2f} ms, p99 {idle[1]:.2f} ms; while a batch is added: "
          f"{len(during)} searches, p50 {np.percentile(during, 50) * 1e3:.2f} ms, "
          f"max {max(during) * 1e3:.2f} ms (searches wait for the batch's commit)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--docs", type=int, default=None)
    parser.add_argument("--sections", default="recall,user,rule,subk,ingest",
                        help="comma-separated: recall, user, rule, subk, ingest")
    args = parser.parse_args()
    sections = set(args.sections.split(","))
    print_machine()
    run = prepare(args.docs or (4000 if args.quick else 20000), 200 if args.quick else 1000)
    run.rounds, run.single = ROUNDS, 50 if args.quick else 100
    run.shard_counts, run.preferences = (1, 4, 16), default_tuner("relevance").speed_preferences
    warm_up(run)
    if "recall" in sections:
        recall_section(run)
    if "user" in sections:
        sides = user_vector_sides(run.doc_vectors)
        user_section(run, sides)
        breakdown_section(run, sides)
    if "rule" in sections:
        rule_section(run)
    if "subk" in sections:
        subk_section(run)
    if "ingest" in sections:
        ingest_section(run)


STOP = _term_scoring.load_stopwords("english")
STEM = _term_scoring.Stemmer.Stemmer("english")

if __name__ == "__main__":
    main()
