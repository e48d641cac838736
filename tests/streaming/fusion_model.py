"""A plain-Python model of the cross-shard fusion: the vector side ranked over
all shards by (distance, global position), the text side by (score
descending, global position), each id counted once per side, weighted
reciprocal ranks summed, ties to the lower position."""

import numpy as np


def fuse_shards(vpos, vdist, tpos, tscore, offsets, *, top_k, rrf_k, alpha_distance, alpha_bm25):
    n_shards, nq = vpos.shape[0], vpos.shape[1]
    if len(offsets) != n_shards:
        raise ValueError("offsets must have one entry per shard")
    positions = np.full((nq, top_k), -1, dtype=np.int64)
    scores = np.zeros((nq, top_k), dtype=np.float64)
    for q in range(nq):
        total = {}
        sides = (
            (alpha_distance, [(float(vdist[s, q, j]), int(offsets[s] + vpos[s, q, j]))
                              for s in range(n_shards) for j in range(vpos.shape[2]) if vpos[s, q, j] >= 0]),
            (alpha_bm25, [(-float(tscore[s, q, j]), int(offsets[s] + tpos[s, q, j]))
                          for s in range(n_shards) for j in range(tpos.shape[2]) if tpos[s, q, j] >= 0]),
        )
        for weight, hits in sides:
            seen = set()
            rank = 0
            for _, g in sorted(hits):
                if g in seen:
                    continue
                seen.add(g)
                total[g] = total.get(g, 0.0) + weight / (rrf_k + rank + 1)
                rank += 1
        ranked = sorted(total.items(), key=lambda item: (-item[1], item[0]))[:top_k]
        for j, (g, score) in enumerate(ranked):
            positions[q, j] = g
            scores[q, j] = score
    return positions, scores
