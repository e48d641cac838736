"""Searches from many threads while batches are added."""

import threading

import numpy as np

from streaming_helpers import documents

BATCH = 12
N_BATCHES = 6


def test_searches_during_batches_each_see_one_committed_state(shard_flow):
    texts, vectors = documents(BATCH * N_BATCHES, seed=11)
    queries, query_vectors = texts[::7], vectors[::7]

    # A shard is fitted on its batch alone with the first batch's
    # quantisation, so the index after b batches answers the same whichever
    # index object grew it: the answers of every state are known up front.
    reference = shard_flow._StreamingCore()
    expected = [None]
    for b in range(N_BATCHES):
        reference.add_batch(texts[b * BATCH : (b + 1) * BATCH], vectors[b * BATCH : (b + 1) * BATCH])
        expected.append(reference.search(queries, query_vectors, k=5))

    index = shard_flow._StreamingCore()
    index.add_batch(texts[:BATCH], vectors[:BATCH])
    done = threading.Event()
    seen, errors = [], []

    def search():
        try:
            while not done.is_set():
                positions, scores = index.search(queries, query_vectors, k=5, parallel=True)
                seen.append((positions, scores))
        except BaseException as exc:  # reported below, on the test's thread
            errors.append(exc)

    threads = [threading.Thread(target=search) for _ in range(8)]
    for t in threads:
        t.start()
    for b in range(1, N_BATCHES):
        index.add_batch(texts[b * BATCH : (b + 1) * BATCH], vectors[b * BATCH : (b + 1) * BATCH], parallel=True)
    done.set()
    for t in threads:
        t.join()

    assert errors == []
    assert index.n_shards == N_BATCHES and seen
    for positions, scores in seen:
        matches = [
            state for state in range(1, N_BATCHES + 1)
            if np.array_equal(positions, expected[state][0]) and np.array_equal(scores, expected[state][1])
        ]
        assert matches, "a search answered from no committed state"
