"""Tunes the "relevance" depth-advisor model on real passages and writes it.

What is measured is the hybrid query of the streaming index's shard
(`indexes._vortel_impl._VortelCore` over a `_RelevanceCore` text index and a
`_TarnixCore` vector index, fused by `kernels.fusion._process_batch` with the
streaming index's defaults: rrf_k 2, weights 1.0 for the vectors and 0.1 for
the text), against its exact reference: every text hit, the exact cosine
ranking of every passage, the same fusion.  For corpora of increasing size
(prefixes of one seeded shuffle of the passages), every cutoff and every text
depth of the grid, the mean recall of the tuning queries gives:

* "recall": the mean recall less 1.5 standard errors, made non-decreasing in
  the depth, so that what a prediction promises is what held-out queries get;
* "log_value_per_candidate": the log of the slope of the least concave
  majorant of the mean recall over the depth (the recall one more text
  candidate buys), taken at each node as the geometric mean of the slopes on
  either side;
* "deepest_depth": the least depth at which the majorant is within 0.001 of
  its full-depth value at every cutoff, but never shallower than the deepest
  cutoff node (a search never goes shallower than its cutoff), never deeper
  than the corpus, the whole corpus for the two smallest corpora and never
  growing faster than the corpus, so that the deep end extrapolates sanely;
* "vector_k": at the largest corpus, the least vector depth within 0.005 of
  the best recall that 10x the cutoff reaches, never above the shard's own
  cap and never falling with the cutoff;
* "recall_needs_corpus": the least corpus node at or above the cutoff, where
  the cutoff was measured as asked rather than clipped to the corpus;
* "price": for each speed preference, the slope of the majorant where it has
  closed a set share of the gap between depth = cutoff and full depth (50 %
  fastest ... 99.5 % exhaustive), the geometric mean over the cutoffs 10 to
  100 at the largest corpus.

Queries are the summaries of held-out manual pages (whose passages are not in
the corpus), with their all-MiniLM-L6-v2 vectors from tools/embedding; half of
them tune, the other half only calibrate (--calibrate prints the table).
`--smoke` runs the same pipeline on a small synthetic corpus with hashed
bag-of-words vectors: no embedding dependency, a few seconds.

The result depends only on the passages, the queries and the options: the
same inputs give the same bytes.  Run time on 2 shared cores: the first run
embeds the passages (about 8 minutes for 15,744; cached afterwards), then the
grid takes about 5 minutes at 15,000 passages and 500 tuning queries, and
--calibrate about 4 more; the tool prints its own times.

    python tools/tuning/relevance_model.py [--out PATH] [--max-corpus N] [--calibrate]
    python tools/tuning/relevance_model.py --smoke --out /tmp/relevance.npz
"""

import argparse
import math
import sys
import time
import zipfile
import zlib
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[2]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

DEFAULT_OUT = ROOT / "src/tarnix_engine/tuning/models/relevance.npz"

# The streaming index's defaults, which its shards' queries are fused with.
RRF_K = 2
ALPHA_VECTOR = 1.0
ALPHA_TEXT = 0.1
N_CANDIDATES = 5000

CORPUS_SIZES = [30, 100, 300, 1_000, 3_000, 10_000, 30_000]
CUTOFFS = [1, 3, 10, 30, 100, 300]
DEPTHS = [1, 2, 3, 5, 7, 10, 15, 20, 30, 50, 70, 100, 150, 200, 300, 500, 700, 1_000,
          1_500, 2_000, 3_000, 5_000, 7_000, 10_000, 15_000, 20_000, 30_000]

# Share of the gap between the recall at depth = cutoff and at full depth that
# each speed preference pays to close, fastest first.
SPEED_PREFERENCES = {
    "fastest": 0.5,
    "fast": 0.75,
    "balanced": 0.9,
    "accurate": 0.97,
    "exhaustive": 0.995,
}
PRICE_CUTOFFS = (10, 100)

RECALL_MARGIN_SE = 1.5    # standard errors taken off the tuning mean
DEEP_END_SLACK = 1e-3     # majorant within this of full depth counts as full
VECTOR_K_SLACK = 5e-3
FAR_CORPUS = (10**9, 10**12)  # unmeasured corpus nodes past the largest corpus
FAR_CUTOFF = 10**4            # an unmeasured cutoff node past the last one
FAR_MISS = 0.999
VALUE_FLOOR = 1e-12       # marginal values below this are worth nothing
U16 = 65535.0


def log(message):
    print(message, file=sys.stderr, flush=True)


# ---- data ------------------------------------------------------------------------

def real_data(n_queries, limit):
    """Man-page passages and held-out page summaries, with sentence vectors."""
    from tools.embedding import embed_texts
    from tools.embedding.corpus import real_corpus

    passages, queries, source = real_corpus(n_queries=n_queries)
    order = np.random.default_rng(11).permutation(len(passages))
    passages = [passages[i] for i in order[:limit]]
    t0 = time.perf_counter()
    vectors = embed_texts(passages)
    query_vectors = embed_texts(queries)
    log(f"{source}: {len(passages):,} passages, {len(queries):,} queries, vectors in {time.perf_counter() - t0:.0f} s")
    return passages, vectors, queries, query_vectors


_TOPICS = [
    "compress archive file tar gzip extract",
    "network socket connect address port host",
    "print format text column width line",
    "user group permission owner mode access",
    "process signal kill terminate job wait",
    "disk partition mount filesystem block device",
    "search pattern match regular expression grep",
    "image picture convert colour pixel scale",
    "mail message send receive header folder",
    "package install remove upgrade version depend",
    "time date clock zone calendar schedule",
    "sound audio play record volume channel",
]
_FILLER = "the a of to and is in for with by on this that it be are or an as can from which".split()


def synthetic_data(n_passages, n_queries, seed=5):
    """A corpus of topic-mixture passages and short topical queries, with
    hashed bag-of-words vectors: cheap, and enough structure for the grid."""
    rng = np.random.default_rng(seed)
    topics = [t.split() for t in _TOPICS]

    def text(length, topic):
        words = []
        for _ in range(length):
            r = rng.random()
            if r < 0.45:
                words.append(topics[topic][rng.integers(len(topics[topic]))])
            elif r < 0.6:
                other = topics[rng.integers(len(topics))]
                words.append(other[rng.integers(len(other))])
            else:
                words.append(_FILLER[rng.integers(len(_FILLER))])
        return " ".join(words)

    passages = [text(int(rng.integers(8, 30)), int(rng.integers(len(topics)))) for _ in range(n_passages)]
    queries = [text(int(rng.integers(2, 6)), int(rng.integers(len(topics)))) for _ in range(n_queries)]
    return passages, hashed_vectors(passages), queries, hashed_vectors(queries)


def hashed_vectors(texts, dim=64):
    """Unit rows: the sum of one fixed pseudo-random vector per word."""
    cache = {}
    out = np.zeros((len(texts), dim), dtype=np.float32)
    for i, t in enumerate(texts):
        for word in t.lower().split():
            v = cache.get(word)
            if v is None:
                v = cache[word] = np.random.default_rng(zlib.crc32(word.encode())).standard_normal(dim)
            out[i] += v
    norms = np.linalg.norm(out, axis=1, keepdims=True)
    return out / np.where(norms > 0, norms, 1)


# ---- measuring one corpus ------------------------------------------------------------

def _pav(values):
    """Least-squares non-decreasing fit (pool adjacent violators)."""
    blocks = []  # [mean, weight]
    for v in values:
        blocks.append([float(v), 1])
        while len(blocks) > 1 and blocks[-2][0] > blocks[-1][0]:
            m2, w2 = blocks.pop()
            m1, w1 = blocks.pop()
            blocks.append([(m1 * w1 + m2 * w2) / (w1 + w2), w1 + w2])
    return np.concatenate([np.full(w, m) for m, w in blocks])


def _concave_majorant(x, y):
    """Values at x of the least concave majorant of the points (x, y)."""
    hull = []
    for i in range(len(x)):
        while len(hull) >= 2:
            a, b = hull[-2], hull[-1]
            # b lies on or under the chord from a to i: drop it.
            if (y[b] - y[a]) * (x[i] - x[a]) <= (y[i] - y[a]) * (x[b] - x[a]):
                hull.pop()
            else:
                break
        hull.append(i)
    return np.interp(x, x[hull], y[hull])


def _recall_rows(found, reference, k):
    """Per-query share of the reference's top k that the found rows hold."""
    hits = np.zeros(len(found))
    for start in range(0, len(found), 64):
        f = found[start:start + 64, :k]
        r = reference[start:start + 64, :k]
        same = (f[:, :, None] == r[:, None, :]) & (r[:, None, :] >= 0)
        hits[start:start + 64] = same.any(axis=1).sum(axis=1)
    valid = np.maximum((reference[:, :k] >= 0).sum(axis=1), 1)
    return hits / valid


class Corpus:
    """The shipped shard over one corpus, and its exact reference.  The
    searches are kept by depth, so one Corpus serves one set of queries."""

    def __init__(self, passages, vectors):
        from tarnix_engine.indexes._tarnix_impl import _TarnixCore
        from tarnix_engine.indexes._term_scoring import _RelevanceCore
        from tarnix_engine.indexes._vortel_impl import MAX_DEFAULT_SUB_K, _VortelCore

        text_index = _RelevanceCore()
        vector_index = _TarnixCore(n_candidates=N_CANDIDATES)
        # The streaming index builds its shards this way round.
        self.shard = _VortelCore(text_index=text_index, vector_index=vector_index, top_k=CUTOFFS[-1],
                                 alpha_text=ALPHA_TEXT, alpha_vector=ALPHA_VECTOR, speed_preference="balanced")
        text_index.fit(passages, parallel=True)
        vector_index.fit(vectors, parallel=True)
        self.cap = int(MAX_DEFAULT_SUB_K)
        self.n = len(passages)
        self.vectors = np.ascontiguousarray(vectors, dtype=np.float32)
        self._text_runs = {}
        self._vector_runs = {}
        self._references = {}

    def text_run(self, texts, depth):
        # What the shard's _retrieve_raw asks of its text index at that depth.
        depth = max(1, min(depth, self.n))
        if depth not in self._text_runs:
            positions, scores = self.shard.text_index.search_raw(texts, k=depth, parallel=True, candidates=None)
            self._text_runs[depth] = (np.where(scores > 0, positions, -1), scores)
        return self._text_runs[depth]

    def vector_run(self, query_vectors, depth):
        depth = max(1, min(depth, self.n))
        if depth not in self._vector_runs:
            self._vector_runs[depth] = self.shard.vector_index.search_raw(
                query_vectors, k=depth, candidates=None, parallel=True)
        return self._vector_runs[depth]

    def exact_vector_run(self, query_vectors):
        similarity = query_vectors @ self.vectors.T
        order = np.argsort(-similarity, axis=1, kind="stable")
        distances = 1.0 - np.take_along_axis(similarity, order, axis=1)
        return order.astype(np.int64), distances

    def fused(self, text, vector, k):
        from tarnix_engine.kernels.fusion import _process_batch

        tp, ts = text
        vp, vd = vector
        positions, _ = _process_batch(
            np.ascontiguousarray(vp[None], dtype=np.int64), np.ascontiguousarray(vd[None], dtype=np.float32),
            np.ascontiguousarray(tp[None], dtype=np.int64), np.ascontiguousarray(ts[None], dtype=np.float64),
            np.zeros(1, dtype=np.int64), top_k=int(k), rrf_k=RRF_K, alpha_distance=ALPHA_VECTOR,
            alpha_bm25=ALPHA_TEXT)
        return positions

    def reference(self, texts, query_vectors, k):
        if k not in self._references:
            self._references[k] = self.fused(self.text_run(texts, self.n), self.exact_vector_run(query_vectors), k)
        return self._references[k]

    def recalls(self, texts, query_vectors, k, text_depth, vector_depth):
        """Per-query recall of the hybrid query at these depths."""
        k = min(k, self.n)
        found = self.fused(self.text_run(texts, text_depth), self.vector_run(query_vectors, vector_depth), k)
        return _recall_rows(found, self.reference(texts, query_vectors, k), k)


# ---- the grid -----------------------------------------------------------------------

def choose_vector_k(corpus, texts, query_vectors, cutoffs):
    chosen = []
    for k in cutoffs:
        k_eff = min(k, corpus.n)
        options = sorted({min(max(v, k_eff), corpus.cap, corpus.n)
                          for v in (k_eff, k_eff + 10, 2 * k_eff + 10, 3 * k_eff + 10, 5 * k_eff + 10, 10 * k_eff)})
        deep = min(corpus.cap, corpus.n)
        means = [corpus.recalls(texts, query_vectors, k, deep, v).mean() for v in options]
        best = max(means)
        pick = next(v for v, m in zip(options, means) if m >= best - VECTOR_K_SLACK)
        chosen.append(max(pick, chosen[-1] if chosen else 1))
        log(f"  vector_k at cutoff {k}: {pick} of " + ", ".join(f"{v}: {m:.4f}" for v, m in zip(options, means)))
    return chosen


def measure_grid(passages, vectors, queries, query_vectors, sizes, cutoffs, depths, vector_k=None):
    """(mean, standard error) cubes over sizes x cutoffs x depths, and the vector depths."""
    C, K, D = len(sizes), len(cutoffs), len(depths)
    mean, se = np.zeros((C, K, D)), np.zeros((C, K, D))
    if vector_k is None:
        t0 = time.perf_counter()
        corpus = Corpus(passages[:sizes[-1]], vectors[:sizes[-1]])
        vector_k = choose_vector_k(corpus, queries, query_vectors, cutoffs)
        log(f"vector depths chosen in {time.perf_counter() - t0:.0f} s")
    for c, n in enumerate(sizes):
        t0 = time.perf_counter()
        corpus = Corpus(passages[:n], vectors[:n])
        for q, k in enumerate(cutoffs):
            for l, d in enumerate(depths):
                r = corpus.recalls(queries, query_vectors, k, d, vector_k[q])
                mean[c, q, l] = r.mean()
                se[c, q, l] = r.std(ddof=1) / math.sqrt(len(r)) if len(r) > 1 else 0.0
        log(f"corpus {n:,}: measured in {time.perf_counter() - t0:.1f} s")
    return mean, se, vector_k


def value_curve(depths, recall, n):
    """Marginal recall per extra text candidate at each depth node."""
    x = np.minimum(np.asarray(depths, dtype=np.float64), n)
    # Nodes past the corpus repeat its last point; keep one of them.
    keep = np.concatenate([[True], x[1:] > x[:-1]])
    xs, ys = x[keep], _concave_majorant(x[keep], recall[keep])
    slopes = np.diff(ys) / np.diff(xs)
    slopes = np.maximum(slopes, 0.0)
    left = np.concatenate([[slopes[0] if len(slopes) else 0.0], slopes])
    right = np.concatenate([slopes, [0.0]])
    at_nodes = np.sqrt(left * right)
    at_nodes[0] = right[0]
    values = np.full(len(depths), 0.0)
    values[np.flatnonzero(keep)] = at_nodes
    return values, np.interp(x, xs, ys)


def depth_reaching(depths, curve, target):
    """Least depth, linear between nodes, at which the curve reaches target."""
    x = np.asarray(depths, dtype=np.float64)
    above = np.flatnonzero(curve >= target - 1e-12)
    if not len(above):
        return math.inf
    i = above[0]
    if i == 0:
        return x[0]
    t = (target - curve[i - 1]) / (curve[i] - curve[i - 1])
    return x[i - 1] + t * (x[i] - x[i - 1])


def price_at(depths, majorant, n, k, share):
    """Slope of the majorant where it closes `share` of its gap above depth k."""
    x = np.minimum(np.asarray(depths, dtype=np.float64), n)
    base = np.interp(min(k, n), x, majorant)
    top = majorant[-1]
    if top - base <= 1e-9:
        return None
    d = depth_reaching(depths, majorant, base + share * (top - base))
    i = min(max(int(np.searchsorted(x, d, side="left")), 1), len(x) - 1)
    while i < len(x) - 1 and x[i] <= x[i - 1]:
        i += 1
    slope = (majorant[i] - majorant[i - 1]) / max(x[i] - x[i - 1], 1.0)
    return slope if slope > 0 else None


def _quantise(values, low, high):
    codes = np.rint((values - low) / (high - low) * U16)
    return np.clip(codes, 0, U16).astype(np.uint16)


def _trend(values, sizes):
    """Log-log slope over the last three corpus nodes (or all, when fewer)."""
    first = max(0, len(sizes) - 3)
    return np.log(values[-1] / values[first]) / math.log(sizes[-1] / sizes[first])


def _with_far_nodes(sizes, cutoffs, recall, log_values, deepest, vector_k):
    """The grid with nodes past what was measured, so that no prediction
    extrapolates a measured trend without limit (a miss rate past 1, a deep
    end past the corpus).  Past the last cutoff the curves stay those of the
    last cutoff.  Past the largest corpus the miss rate of every grid point
    follows the trend of the last measured corpora (never falling, never past
    FAR_MISS) up to the first far node and stays there; the value curves stay
    those of the largest corpus, and so does the deep end (the value curves
    decide the depth there; the deep end only caps it)."""
    recall = np.concatenate([recall, recall[:, -1:]], axis=1)
    log_values = np.concatenate([log_values, log_values[:, -1:]], axis=1)
    step = (vector_k[-1] - vector_k[-2]) / (cutoffs[-1] - cutoffs[-2])
    vector_k = list(vector_k) + [int(round(vector_k[-1] + step * (FAR_CUTOFF - cutoffs[-1])))]
    cutoffs = list(cutoffs) + [FAR_CUTOFF]

    miss = np.maximum(1.0 - recall, 1e-9)
    slope = np.maximum(_trend(miss, sizes), 0.0)
    far_miss = np.minimum(miss[-1] * (FAR_CORPUS[0] / sizes[-1]) ** slope, FAR_MISS)
    far_miss = np.maximum(far_miss, miss[-1])
    far_recall = np.clip(1.0 - far_miss, 0.0, 1.0)
    recall = np.concatenate([recall, far_recall[None], far_recall[None]], axis=0)
    log_values = np.concatenate([log_values, log_values[-1:], log_values[-1:]], axis=0)
    deepest = np.concatenate([deepest, [deepest[-1]] * len(FAR_CORPUS)])
    return list(sizes) + list(FAR_CORPUS), cutoffs, recall, log_values, deepest, vector_k


def build_model(sizes, cutoffs, depths, mean, se, vector_k):
    C, K, D = mean.shape
    recall = np.empty_like(mean)
    values = np.empty_like(mean)
    majorants = np.empty_like(mean)
    for c, n in enumerate(sizes):
        for q in range(K):
            recall[c, q] = np.clip(_pav(mean[c, q] - RECALL_MARGIN_SE * se[c, q]), 0.0, 1.0)
            values[c, q], majorants[c, q] = value_curve(depths, mean[c, q], n)

    # Deep end: where the majorant stops gaining at every cutoff, and never
    # shallower than a cutoff the model answers for (a search never goes
    # shallower than its cutoff, so a deep end below it would be no cap).
    deepest = np.empty(C)
    for c, n in enumerate(sizes):
        ends = [depth_reaching(depths, majorants[c, q], majorants[c, q, -1] - DEEP_END_SLACK) for q in range(K)]
        deepest[c] = min(max(max(ends), FAR_CUTOFF, 1.0), n)
    deepest[:2] = sizes[:2]
    for c in range(1, C):
        deepest[c] = min(max(deepest[c], deepest[c - 1]), deepest[c - 1] * sizes[c] / sizes[c - 1], sizes[c])

    # Prices from the largest corpus, at the cutoffs a search usually asks.
    prices = []
    for share in SPEED_PREFERENCES.values():
        found = [price_at(depths, majorants[-1, q], sizes[-1], k, share)
                 for q, k in enumerate(cutoffs) if PRICE_CUTOFFS[0] <= k <= PRICE_CUTOFFS[1]]
        found = [p for p in found if p is not None]
        price = math.exp(np.mean(np.log(found))) if found else 1e-3
        if prices:
            price = min(price, prices[-1] / 1.5)
        prices.append(max(price, VALUE_FLOOR * 10))

    log_values = np.log(np.maximum(values, VALUE_FLOOR))
    sizes, cutoffs, recall, log_values, deepest, vector_k = _with_far_nodes(
        sizes, cutoffs, recall, log_values, deepest, vector_k)
    C, K = len(sizes), len(cutoffs)
    recall_range = np.array([0.0, 1.0])
    log_value_range = np.array([math.log(VALUE_FLOOR), max(float(log_values.max()), math.log(VALUE_FLOOR) + 1.0)])
    recall_codes = _quantise(recall, *recall_range)
    value_codes = _quantise(log_values, *log_value_range)

    # The corner tables read the quantised cube the way a prediction does, so
    # a clamped and an unclamped prediction agree where they meet.
    log_depth = np.log(np.asarray(depths, dtype=np.float64))
    scale = (recall_range[1] - recall_range[0]) / U16
    at_deep_end = np.empty((C, K), dtype=np.float32)
    at_cutoff = np.empty((C, K), dtype=np.float32)
    for c in range(C):
        for q, k in enumerate(cutoffs):
            row = recall_codes[c, q].astype(np.float64) * scale + recall_range[0]
            at_deep_end[c, q] = np.interp(math.log(round(deepest[c])), log_depth, row)
            at_cutoff[c, q] = np.interp(math.log(k), log_depth, row)

    # A recall is vouched where the cutoff was measured as asked, not clipped
    # to a smaller corpus.
    needs = [next(n for n in sizes if n >= k) for k in cutoffs]
    return {
        "corpus_size": np.array(sizes, dtype=np.int64),
        "cutoff": np.array(cutoffs, dtype=np.int64),
        "depth": np.array(depths, dtype=np.int64),
        "recall": recall_codes,
        "recall_range": recall_range,
        "recall_at_deep_end": at_deep_end,
        "recall_at_cutoff": at_cutoff,
        "recall_needs_corpus": np.array(needs, dtype=np.int64),
        "log_value_per_candidate": value_codes,
        "log_value_range": log_value_range,
        "deepest_depth": deepest,
        "vector_k": np.array(vector_k, dtype=np.int64),
        "price": np.array(prices, dtype=np.float64),
        "speed_preference": np.array(list(SPEED_PREFERENCES)),
    }


def write_npz(path, arrays):
    """np.savez's layout (one stored .npy member per key), with fixed
    timestamps so that equal arrays give equal bytes."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_STORED) as archive:
        for key, value in arrays.items():
            info = zipfile.ZipInfo(key + ".npy", date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_STORED
            info.external_attr = 0o644 << 16
            with archive.open(info, "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.asanyarray(value), allow_pickle=False)


# ---- calibration on the held-out queries ------------------------------------------------

def calibrate(arrays, passages, vectors, queries, query_vectors, sizes, cutoffs, deepest=2_000):
    """Rows of (preference, n, k, text_k, vector_k, predicted, measured, depth
    at which the held-out curve reaches the prediction).  The curve is read
    on depths 5 % apart up to `deepest`; inf when it never gets there."""
    from tarnix_engine.tuning._depth_oracle import TunedModel

    model = TunedModel(dict(arrays))
    rows = []
    for n in sizes:
        corpus = Corpus(passages[:n], vectors[:n])
        fine = sorted({min(n, max(1, int(round(1.05 ** i)))) for i in range(int(math.log(deepest, 1.05)) + 1)})
        for k in cutoffs:
            answers = {name: model.predict_one(n, k, name) for name in model.speed_preferences}
            curves = {}
            for got in answers.values():
                if got.vector_k not in curves:
                    curves[got.vector_k] = np.array(
                        [corpus.recalls(queries, query_vectors, k, d, got.vector_k).mean() for d in fine])
            for name, got in answers.items():
                measured = corpus.recalls(queries, query_vectors, k, got.text_k, got.vector_k).mean()
                reach = math.nan
                if got.expected_recall is not None:
                    above = np.flatnonzero(curves[got.vector_k] >= got.expected_recall)
                    reach = fine[above[0]] if len(above) else math.inf
                rows.append((name, n, k, got.text_k, got.vector_k, got.expected_recall, measured, reach))
        log(f"  calibrated at {n:,} passages")
    return rows


def print_calibration(rows):
    """A markdown table.  The depth reaching the prediction is also given
    raised to the cutoff, the least text depth a search uses."""
    print("| preference | corpus | cutoff | text_k | vector_k | predicted | measured | measured - predicted "
          "| depth reaching predicted | text_k / max(that, cutoff) |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for name, n, k, text_k, vector_k, predicted, measured, reach in rows:
        floor = max(reach, min(k, n)) if not math.isnan(reach) else math.nan
        ratio = text_k / floor if math.isfinite(floor) else math.nan
        pred = "none" if predicted is None else f"{predicted:.4f}"
        diff = "" if predicted is None else f"{measured - predicted:+.4f}"
        print(f"| {name} | {n:,} | {k} | {text_k} | {vector_k} | {pred} | {measured:.4f} | {diff} | {reach} "
              f"| {ratio:.2f} |")


def corpus_nodes(available):
    """The grid's corpus sizes that fit, and the whole of what is available
    (in thousands) as the last node when it is well past the last of them."""
    sizes = [n for n in CORPUS_SIZES if n <= available]
    top = available // 1000 * 1000 if available >= 1000 else available
    if sizes and top >= 1.4 * sizes[-1]:
        sizes.append(top)
    return sizes


# ---- command line -------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="archive to write (default: %(default)s)")
    parser.add_argument("--max-corpus", type=int, default=CORPUS_SIZES[-1],
                        help="largest corpus node (default: %(default)s)")
    parser.add_argument("--queries", type=int, default=1000, help="held-out pages, half tuning, half calibration")
    parser.add_argument("--smoke", action="store_true", help="small synthetic corpus with hashed vectors")
    parser.add_argument("--calibrate", action="store_true", help="print the held-out calibration table")
    args = parser.parse_args(argv)
    started = time.perf_counter()

    if args.smoke:
        sizes, cutoffs, depths = [30, 100, 300], [1, 10, 100], [1, 3, 10, 30, 100, 300]
        passages, vectors, queries, query_vectors = synthetic_data(sizes[-1], 60)
    else:
        cutoffs = CUTOFFS
        passages, vectors, queries, query_vectors = real_data(args.queries, args.max_corpus)
        sizes = corpus_nodes(min(len(passages), args.max_corpus))
        depths = [d for d in DEPTHS if d < sizes[-1]] + [sizes[-1]]
    if len(sizes) < 2:
        parser.error("fewer than two corpus sizes fit the passages available")

    # A fixed split: even positions of a seeded shuffle tune, odd ones calibrate.
    order = np.random.default_rng(7).permutation(len(queries))
    tune, held = np.sort(order[0::2]), np.sort(order[1::2])
    tune_texts, held_texts = [queries[i] for i in tune], [queries[i] for i in held]

    mean, se, vector_k = measure_grid(passages, vectors, tune_texts, query_vectors[tune], sizes, cutoffs, depths)
    arrays = build_model(sizes, cutoffs, depths, mean, se, vector_k)
    write_npz(args.out, arrays)
    log(f"wrote {args.out} ({len(sizes)} corpus sizes up to {sizes[-1]:,}, {len(tune)} tuning queries) "
        f"in {time.perf_counter() - started:.0f} s")

    if args.calibrate:
        t0 = time.perf_counter()
        check_sizes = sorted({sizes[-3], int(math.sqrt(sizes[-3] * sizes[-2])), sizes[-2],
                              int(math.sqrt(sizes[-2] * sizes[-1])), sizes[-1]})
        check_cutoffs = [k for k in (1, 10, 30, 100) if k <= sizes[0] * 10]
        rows = calibrate(arrays, passages, vectors, held_texts, query_vectors[held], check_sizes, check_cutoffs)
        print_calibration(rows)
        log(f"calibration on {len(held)} held-out queries in {time.perf_counter() - t0:.0f} s")


if __name__ == "__main__":
    main()
