"""Plain-Python models of the fusion, written for clarity, not speed."""

import numpy as np


def fuse_lists(lists, weights, rank_k, top_k):
    """Weighted reciprocal rank over ranked id lists.

    Negative entries are empty slots and take no rank; every occurrence of an
    id adds its own contribution; contributions are added in list order; equal
    totals keep the order in which the ids were first met.
    """
    totals = {}
    for w, ids in zip(weights, lists):
        ids = np.asarray(ids).ravel()
        for rank, entry in enumerate(ids[ids >= 0]):
            i = int(entry)
            totals[i] = totals.get(i, 0.0) + w / (rank_k + rank + 1)
    top = sorted(totals.items(), key=lambda kv: kv[1], reverse=True)[:top_k]
    out_ids = np.full(top_k, -1, dtype=np.int64)
    out_scores = np.zeros(top_k, dtype=np.float64)
    for i, (id_, total) in enumerate(top):
        out_ids[i] = id_
        out_scores[i] = total
    return out_ids, out_scores


def _first_places(order):
    """{position: rank} with each position at its first place in `order`."""
    ranks = {}
    for g in order:
        if g not in ranks:
            ranks[g] = len(ranks)
    return ranks


def fuse_shards(vpos, vdist, tpos, tscore, offsets, top_k, rrf_k, alpha_distance, alpha_bm25, text_rank="score"):
    """The hybrid fusion of per-shard hits, query by query.

    Vector hits rank over all shards by (distance, global position). Text hits
    rank by (score high to low, position), or with "interleave" by (the
    shard's own rank, position). Each side counts a position once, at its
    best place; the text contribution is added before the vector one; equal
    totals go to the lower position.
    """
    S, nq, V = vpos.shape
    T = tpos.shape[2]
    out_ids = np.full((nq, top_k), -1, dtype=np.int64)
    out_scores = np.zeros((nq, top_k), dtype=np.float64)
    for q in range(nq):
        vec, text = [], []
        for s in range(S):
            for j in range(V):
                if vpos[s, q, j] >= 0:
                    vec.append((float(vdist[s, q, j]), int(offsets[s]) + int(vpos[s, q, j])))
            local = 0
            for j in range(T):
                if tpos[s, q, j] >= 0:
                    g = int(offsets[s]) + int(tpos[s, q, j])
                    key = -float(tscore[s, q, j]) if text_rank == "score" else local
                    text.append((key, g))
                    local += 1
        totals = {}
        for ranks, w in ((_first_places(g for _, g in sorted(text)), alpha_bm25),
                         (_first_places(g for _, g in sorted(vec)), alpha_distance)):
            for g, r in ranks.items():
                totals[g] = totals.get(g, 0.0) + w / (rrf_k + r + 1)
        top = sorted(totals.items(), key=lambda kv: (-kv[1], kv[0]))[:top_k]
        for i, (g, total) in enumerate(top):
            out_ids[q, i] = g
            out_scores[q, i] = total
    return out_ids, out_scores
