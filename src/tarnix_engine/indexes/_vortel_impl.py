"""The hybrid shard of the streaming index: one text index and one vector index
over the same batch of documents, answering a query batch with raw hits.

Written in Python because it only composes calls: each ``_retrieve_raw``
asks the (cached) depth advisor for two depths, then calls the two indexes'
``search_raw``, which do the work in native code, and rewrites the text hits
that match no query term with one vectorised numpy operation. Its own cost
is a few microseconds per shard and chunk, whatever the number of queries or
hits, so nothing here is worth a native loop. Fusion happens once across all
shards, in the streaming index, so a shard never fuses.

A shard holds no lock and changes nothing while searching: any number of
threads may call ``_retrieve_raw`` at once.
"""

import os

import numpy as np

from tarnix_engine._persistence import write_config
from tarnix_engine.tuning._depth_oracle import default_tuner

__all__ = ["_VortelCore", "MAX_DEFAULT_SUB_K"]

# Hits taken from each of a shard's two lists: deeper lists raise recall
# against an exact reference but cost search time and fusion memory
# (bench/hybrid.py measures 256, 1,000 and 4,000).
MAX_DEFAULT_SUB_K = 1000


def _placeholders(rows):
    empty_positions = np.full((rows, 1), -1, dtype=np.int64)
    return (
        empty_positions,
        np.zeros((rows, 1), dtype=np.float64),
        empty_positions.copy(),
        np.zeros((rows, 1), dtype=np.float64),
    )


def _vector_rows(vectors):
    # One row per text: a 1-D vector is one query, as the vector index takes it.
    shape = getattr(vectors, "shape", None)
    if shape is not None:
        return 1 if len(shape) == 1 else shape[0]
    return len(vectors)


class _VortelCore:
    """One shard: a text index and a vector index fitted on the same batch."""

    __slots__ = (
        "text_index",
        "vector_index",
        "top_k",
        "alpha_text",
        "alpha_vector",
        "speed_preference",
        "__weakref__",
    )

    def __init__(self, *, text_index, vector_index, top_k, alpha_text, alpha_vector, speed_preference):
        # The streaming index fits both indexes after building the shard
        # around them, so the shard keeps these very objects and derives
        # nothing from them here.
        self.text_index = text_index
        self.vector_index = vector_index
        self.top_k = top_k
        self.alpha_text = alpha_text
        self.alpha_vector = alpha_vector
        self.speed_preference = speed_preference

    @property
    def size(self):
        """Number of documents of the shard (those of its text index)."""
        return self.text_index.size

    @property
    def expected_recall(self):
        """Recall the depth advisor expects at this shard's size and ``top_k``,
        or None when there is no advisor or no document."""
        tuner = default_tuner("relevance")
        n = self.text_index.size
        if tuner is None or n == 0:
            return None
        return tuner.predict(n, self.top_k, self.speed_preference).expected_recall

    def _depths(self, n, k):
        cap = int(MAX_DEFAULT_SUB_K)
        tuner = default_tuner("relevance")
        if tuner is None:
            text_k = vector_k = cap
        else:
            advice = tuner.predict(n, k, self.speed_preference)
            text_k, vector_k = advice.text_k, advice.vector_k
        return min(max(text_k, k), cap), max(k, min(vector_k, cap))

    def _retrieve_raw(self, texts, vectors, k, parallel, local):
        """Raw hits of a query batch, local to the shard, one row per query:
        (text positions, text scores, vector positions, vector distances),
        -1 in empty slots. ``local`` is None or a sorted array of distinct
        shard positions that hits are restricted to."""
        nq = len(texts)
        rows = _vector_rows(vectors)
        if nq != rows:
            raise ValueError(
                f"a hybrid query needs one vector per text: got {nq} texts and {rows} vector rows"
            )
        if nq == 0:
            return _placeholders(0)
        k = int(k)
        n = self.text_index.size
        if local is not None:
            n = min(n, len(local))
        if k <= 0 or n <= 0:
            return _placeholders(nq)
        text_depth, vector_depth = self._depths(self.text_index.size, k)
        text_depth = max(1, min(text_depth, n))
        # By keyword: the two search_raw take parallel and candidates in
        # different orders.
        text_positions, text_scores = self.text_index.search_raw(
            texts, k=text_depth, parallel=parallel, candidates=local
        )
        vector_positions, vector_distances = self.vector_index.search_raw(
            vectors, k=vector_depth, candidates=local, parallel=parallel
        )
        # BM25 scores a document that shares no term with the query 0: such
        # a hit is no hit, and must not take a rank in the fusion.
        text_positions = np.where(text_scores > 0, text_positions, -1)
        return text_positions, text_scores, vector_positions, vector_distances

    def save(self, path):
        """Write the shard folder: "text" and "vector" index folders and a
        config.json with the shard's settings."""
        os.makedirs(path, exist_ok=True)
        self.text_index.save(os.path.join(path, "text"))
        self.vector_index.save(os.path.join(path, "vector"))
        write_config(
            os.path.join(path, "config.json"),
            {
                "shard_type": "vortel",
                "size": int(self.text_index.size),
                "top_k": int(self.top_k),
                "alpha_text": float(self.alpha_text),
                "alpha_vector": float(self.alpha_vector),
                "speed_preference": self.speed_preference,
            },
        )
