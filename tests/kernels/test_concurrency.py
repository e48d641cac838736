"""Searches on several threads while another thread writes to the same
binary-code index: no crash, no freed memory read, and every answer made
of valid positions of some state the index went through."""

import threading

import numpy as np

from tarnix_engine.kernels import core


def test_searches_survive_concurrent_writes():
    rng = np.random.default_rng(0)
    dim = 96
    base = rng.standard_normal((3000, dim)).astype(np.float32)
    ix = core._CoreIndex()
    ix.fit(base, True)
    queries = rng.standard_normal((24, dim)).astype(np.float32)
    steps = 120
    max_rows = 3000 + steps * 64  # more than the index ever holds
    stop = threading.Event()
    failures = []
    searches = [0]

    def check(ids, k):
        assert ids.shape[1] == k
        assert ids.min() >= -1 and ids.max() < max_rows
        for row in ids:  # -1 only as trailing padding, no repeats
            valid = row[row >= 0]
            assert np.all(row[: len(valid)] == valid)
            assert len(np.unique(valid)) == len(valid)

    def searcher(seed):
        local = np.random.default_rng(seed)
        try:
            while not stop.is_set():
                k = int(local.integers(1, 300))
                check(ix.search_full(queries, k, True)[0], k)
                rows = ix.matrix.rows
                positions = np.unique(local.integers(0, max(rows, 1), size=200))
                positions = positions[positions < rows]
                try:
                    check(ix.search_subset(queries, k, positions, False)[0], k)
                except ValueError:  # a delete shrank the index after `rows` was read
                    pass
                cand = local.integers(-1, max_rows, size=(len(queries), 50))
                check(ix.search(queries, 20, cand, True)[0], 20)
                searches[0] += 1
        except Exception as exc:  # reported by the main thread
            failures.append(exc)

    threads = [threading.Thread(target=searcher, args=(s,)) for s in range(3)]
    for t in threads:
        t.start()
    try:
        for step in range(steps):
            ix.append(rng.standard_normal((64, dim)).astype(np.float32), step % 2 == 0)
            ix.update_vector(int(rng.integers(ix.matrix.rows)), rng.standard_normal(dim).astype(np.float32))
            if step % 3 == 0:
                rows = ix.matrix.rows
                ix.delete_rows(sorted(set(rng.integers(0, rows, size=50).tolist())))
            if step % 40 == 39:
                ix.fit(rng.standard_normal((3000, dim)).astype(np.float32), True)
            if step % 10 == 0:
                threading.Event().wait(0.01)  # let the searchers in
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert failures == []
    assert searches[0] > 0
