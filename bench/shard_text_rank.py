"""Which text order across shards brings a sharded hybrid search closest to
one index over the whole corpus.

BM25 scores of different shards are not strictly comparable: each shard has
its own document frequencies and average length. `_process_batch` can rank
the text hits of all shards by score ("score") or interleave the shards' own
text ranks ("interleave"). This measures both against the exact single-index
hybrid: one BM25 index and one exact vector search over the whole corpus,
fused by the same kernel with one shard.

Corpus: passages of this machine's man pages (the first pages, rendered as
bench/text_search.py does and cached with it) plus the installed packages'
descriptions. Queries: the packages' one-line summaries and the man pages'
NAME descriptions. Vectors: a fixed random projection of each text's TF-IDF
word weights (64 dimensions), a stand-in for an embedding that agrees with the
words only in part. The corpus is cut into S shards in append order, each
with its own BM25 index; both sides take the 100 best hits per shard.

For each S it prints the mean overlap of the top 10 with the reference top 10
for the hybrid fusion and for the text side alone.

    .venv/bin/python bench/shard_text_rank.py           # 1,500 man pages
    .venv/bin/python bench/shard_text_rank.py --quick   # 400 man pages
"""

import argparse
import re
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "bench"))
from tools.dpkg_corpus import read_packages  # noqa: E402
from text_search import man_corpus  # noqa: E402

from tarnix_engine.indexes._term_scoring import _RelevanceCore  # noqa: E402
from tarnix_engine.kernels import fusion  # noqa: E402
from timing import print_machine  # noqa: E402

DEPTH, TOP_K, RRF_K, DIM = 100, 10, 60, 64
WORD = re.compile(r"[a-z0-9]+")


def embed(texts, vocabulary, idf, projection):
    out = np.zeros((len(texts), DIM), dtype=np.float32)
    for i, text in enumerate(texts):
        words = [vocabulary[w] for w in WORD.findall(text.lower()) if w in vocabulary]
        if not words:
            continue
        ids, counts = np.unique(words, return_counts=True)
        v = (counts * idf[ids]) @ projection[ids]
        out[i] = v / (np.linalg.norm(v) or 1.0)
    return out


def vector_hits(docs, queries, depth):
    """Exact (positions, squared L2) of each query's `depth` nearest rows, ties by position."""
    d = (queries**2).sum(1)[:, None] - 2 * queries @ docs.T + (docs**2).sum(1)[None, :]
    d = d.astype(np.float32)
    depth = min(depth, docs.shape[0])
    near = np.argpartition(d, depth - 1, axis=1)[:, :depth]
    dist = np.take_along_axis(d, near, axis=1)
    order = np.lexsort((near, dist), axis=1)
    return np.take_along_axis(near, order, axis=1).astype(np.int64), np.take_along_axis(dist, order, axis=1)


def stack(rows, width, fill, dtype):
    out = np.full((len(rows), rows[0].shape[0], width), fill, dtype=dtype)
    for s, r in enumerate(rows):
        out[s, :, : r.shape[1]] = r
    return out


def overlap(a, b):
    return float(np.mean([len(set(x[x >= 0]) & set(y[y >= 0])) / TOP_K for x, y in zip(a, b)]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--queries", type=int, default=500)
    args = parser.parse_args()

    print_machine()
    packages = read_packages()
    passages, names = man_corpus(limit_pages=400 if args.quick else 1500)
    corpus = passages + [f"{p.summary}. {p.description}" for p in packages]
    queries = list(dict.fromkeys(q for q in [p.summary for p in packages] + names if q))[: args.queries]
    print(f"passages: {len(corpus):,}   queries: {len(queries):,}   depth per side and shard: {DEPTH}")

    vocabulary = {}
    df = []
    for text in corpus:
        for w in set(WORD.findall(text.lower())):
            if w not in vocabulary:
                vocabulary[w] = len(vocabulary)
                df.append(0)
            df[vocabulary[w]] += 1
    idf = np.log(len(corpus) / np.array(df, dtype=np.float64))
    projection = np.random.default_rng(0).standard_normal((len(vocabulary), DIM))
    doc_vecs = embed(corpus, vocabulary, idf, projection)
    query_vecs = embed(queries, vocabulary, idf, projection)

    def raw_hits(shard_texts, shard_vecs):
        """The four stacked hit arrays of one partition of the corpus."""
        t_pos, t_score, v_pos, v_dist = [], [], [], []
        for texts, vecs in zip(shard_texts, shard_vecs):
            index = _RelevanceCore()
            index.fit(texts)
            p, s = index.search_raw(queries, min(DEPTH, len(texts)), parallel=True)
            t_pos.append(p)
            t_score.append(s)
            p, d = vector_hits(vecs, query_vecs, DEPTH)
            v_pos.append(p)
            v_dist.append(d)
        width_t = max(p.shape[1] for p in t_pos)
        width_v = max(p.shape[1] for p in v_pos)
        return (stack(v_pos, width_v, -1, np.int64), stack(v_dist, width_v, 0, np.float32),
                stack(t_pos, width_t, -1, np.int64), stack(t_score, width_t, 0, np.float64))

    def fuse(hits, offsets, rule, text_only=False):
        v_pos, v_dist, t_pos, t_score = hits
        if text_only:
            v_pos = np.full_like(v_pos, -1)
        return fusion._process_batch(v_pos, v_dist, t_pos, t_score, np.asarray(offsets, dtype=np.int64),
                                     top_k=TOP_K, rrf_k=RRF_K, alpha_distance=1.0, alpha_bm25=1.0,
                                     text_rank=rule)[0]

    t0 = time.perf_counter()
    whole = raw_hits([corpus], [doc_vecs])
    reference = {mode: fuse(whole, [0], "score", mode == "text") for mode in ("hybrid", "text")}
    print(f"reference built in {time.perf_counter() - t0:.1f} s\n")
    header = f"{'shards':>6} {'rule':>11} {'hybrid overlap@10':>18} {'text-only overlap@10':>21}"
    print(header + "\n" + "-" * len(header))
    for shards in (2, 8, 32):
        bounds = np.linspace(0, len(corpus), shards + 1).astype(int)
        hits = raw_hits([corpus[lo:hi] for lo, hi in zip(bounds[:-1], bounds[1:])],
                        [doc_vecs[lo:hi] for lo, hi in zip(bounds[:-1], bounds[1:])])
        for rule in ("score", "interleave"):
            hybrid = overlap(fuse(hits, bounds[:-1], rule), reference["hybrid"])
            text = overlap(fuse(hits, bounds[:-1], rule, text_only=True), reference["text"])
            print(f"{shards:>6} {rule:>11} {hybrid:>18.3f} {text:>21.3f}", flush=True)


if __name__ == "__main__":
    main()
