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


class Log(list):
    """Events recorded by the stand-in classes, in call order."""

    def names(self):
        return [event[0] for event in self]


def placeholder_hits(rows):
    return (
        np.full((rows, 1), -1, dtype=np.int64),
        np.zeros((rows, 1)),
        np.full((rows, 1), -1, dtype=np.int64),
        np.zeros((rows, 1)),
    )


def stand_in_classes(log):
    """Text and vector index classes that record their calls and fit nothing.

    The vector index reports fresh parameters when fitted from scratch and
    an 8-bit code matrix whose every byte is the batch's first vector value,
    so a test can tell the rows of each batch apart.
    """

    class TextIndex:
        def __init__(self):
            log.append(("text()",))
            self.size = 0

        def fit(self, corpus, parallel=False):
            log.append(("text.fit", corpus, parallel))
            if not corpus:
                raise ValueError("corpus cannot be empty")
            self.size = len(corpus)

    class VectorIndex:
        def __init__(self, **kwargs):
            log.append(("vector()", kwargs))
            self._params = None
            self._matrix = None

        def fit(self, vectors, parallel=False, **kwargs):
            log.append(("vector.fit", parallel, kwargs))
            vectors = np.asarray(vectors)
            params = kwargs.get("params")
            if params is None:
                from tarnix_engine._types import _Parameters

                params = _Parameters(boundaries=np.zeros((vectors.shape[1], 3)), fit_values=np.zeros(vectors.shape[1]))
            self._params = params
            self._matrix = np.full(vectors.shape, vectors.flat[0], dtype=np.uint8)

    return TextIndex, VectorIndex


def stand_in_shard(log, hits=None, recall=None):
    """A shard class recording its construction and searches.

    ``hits(shard, texts, vectors, k, local)`` gives the raw hits; by default
    every query gets the shard's first document on both sides.
    """

    class Shard:
        def __init__(self, **kwargs):
            log.append(("shard()", kwargs))
            self.kwargs = kwargs
            self.text_index = kwargs["text_index"]
            self.vector_index = kwargs["vector_index"]
            self.expected_recall = recall

        def _retrieve_raw(self, *args, **kwargs):
            log.append(("retrieve", self, args, kwargs))
            texts, vectors, k, parallel, local = args
            if hits is not None:
                return hits(self, texts, vectors, k, local)
            rows = len(texts)
            zero = np.zeros((rows, 1), dtype=np.int64)
            return zero, np.ones((rows, 1)), zero.copy(), np.zeros((rows, 1))

        def save(self, *args, **kwargs):
            log.append(("shard.save", args, kwargs))

    return Shard


_WORDS = (
    "apple banana cherry damson elder fig grape hazel iris juniper kale lemon mango nectar olive pepper "
    "quince radish sorrel thyme umber violet walnut yarrow zucchini basil cedar dill fennel ginger"
).split()


def documents(n, dim=16, seed=0):
    """n short texts of three distinct words each and n float32 vectors."""
    rng = np.random.default_rng(seed)
    texts = [" ".join(rng.choice(_WORDS, size=3, replace=False)) for _ in range(n)]
    return texts, rng.standard_normal((n, dim)).astype(np.float32)
