"""Tests for the exact rerank: squared L2 over 8-bit codes within each
query's candidate row, against a brute-force numpy oracle."""

import numpy as np
import pytest

from tarnix_engine.kernels import distance

LEVELS = []
for _level in ["portable", "avx2", "avx512"]:
    _best = distance._simd_level()
    try:
        distance._simd_level(_level)
        LEVELS.append(_level)
    except ValueError:
        pass
    distance._simd_level(_best)
BEST = distance._simd_level()


@pytest.fixture(params=LEVELS)
def level(request):
    distance._simd_level(request.param)
    yield request.param
    distance._simd_level(BEST)


def oracle(vectors, queries, k, bm25):
    k = min(k, len(vectors))  # no row has more distinct candidates
    ids = np.full((len(queries), k), -1, dtype=np.int64)
    dists = np.full((len(queries), k), 2147483647, dtype=np.int64)
    for i, row in enumerate(bm25):
        pos = np.unique(row[(row >= 0) & (row < len(vectors))])
        d = ((vectors[pos].astype(np.int64) - queries[i].astype(np.int64)) ** 2).sum(1)
        order = np.lexsort((pos, d))[:k]
        ids[i, : len(order)] = pos[order]
        dists[i, : len(order)] = np.minimum(d[order], 2147483647)
    return ids, dists


def codes(rows, dim, seed, repeats=0):
    rng = np.random.default_rng(seed)
    c = rng.integers(0, 256, size=(rows, dim), dtype=np.uint8)
    for _ in range(repeats):
        c[rng.integers(rows)] = c[rng.integers(rows)]
    return c


@pytest.mark.parametrize("dim", [1, 31, 64, 97, 384, 768])
@pytest.mark.parametrize("k", [0, 1, 10, 80])
def test_rerank_matches_oracle(level, dim, k):
    vectors = codes(400, dim, seed=dim, repeats=120)
    rng = np.random.default_rng(k)
    queries = np.concatenate([vectors[:3], codes(9, dim, seed=1)])
    bm25 = rng.integers(-3, 450, size=(12, 70))  # negatives and positions past the rows
    bm25[:, :20] = bm25[:, 20:40]  # repeated candidates count once
    bm25[5] = -1
    exp_ids, exp_d = oracle(vectors, queries, k, bm25)
    for parallel in (False, True):
        ids, d = distance._search(vectors=vectors, queries=queries, k=k, bm25=bm25, parallel=parallel)
        assert ids.shape == d.shape == (12, k)
        assert np.array_equal(ids, exp_ids) and np.array_equal(d, exp_d)


def test_rerank_saturates_instead_of_overflowing(level):
    dim = 40000  # 40000 * 255**2 is past the int32 range
    vectors = np.zeros((2, dim), np.uint8)
    vectors[1, 100:] = 255
    queries = np.full((1, dim), 255, np.uint8)
    ids, d = distance._search(vectors=vectors, queries=queries, k=2, bm25=np.array([[0, 1]]), parallel=False)
    assert ids.tolist() == [[1, 0]]
    assert d.tolist() == [[100 * 255**2, 2147483647]]  # row 0 saturated


def test_rerank_width_never_outgrows_the_rows():
    # A k far past the rows must not allocate its padding.
    vectors = codes(30, 8, seed=5)
    bm25 = np.tile(np.arange(40), (2, 1))
    ids, d = distance._search(vectors=vectors, queries=vectors[:2], k=2**22, bm25=bm25, parallel=False)
    assert ids.shape == d.shape == (2, 30)
    np.testing.assert_array_equal(ids, oracle(vectors, vectors[:2], 30, bm25)[0])


def test_rerank_accepts_int32_candidates_and_non_contiguous_codes():
    vectors = codes(50, 16, seed=3)
    queries = codes(4, 32, seed=4)[:, ::2]
    bm25 = np.tile(np.arange(50, dtype=np.int32), (4, 1))
    ids, d = distance._search(vectors=vectors, queries=queries, k=5, bm25=bm25, parallel=True)
    assert np.array_equal(ids, oracle(vectors, np.ascontiguousarray(queries), 5, bm25)[0])


V = np.zeros((4, 8), np.uint8)
Q = np.zeros((2, 8), np.uint8)
C = np.zeros((2, 3), np.int64)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(k=-1), ValueError, "k must be non-negative, got -1"),
        (dict(k=2**31), OverflowError, None),
        (dict(vectors=V.astype(np.float32)), ValueError, "vectors must be a 2-D uint8 array"),
        (dict(vectors=V[0]), ValueError, "vectors must be a 2-D uint8 array"),
        (dict(vectors=V.tolist()), TypeError, "vectors"),
        (dict(queries=Q[:, :4]), ValueError, "dimension 8"),
        (dict(bm25=C[:1]), ValueError, "one row of candidate positions per query"),
        (dict(bm25=C[0]), ValueError, "one row of candidate positions per query"),
        (dict(bm25=C.astype(np.float64)), TypeError, "bm25 must be integer positions, got float64"),
        (dict(bm25=C.astype(bool)), TypeError, "bm25 must be integer positions, got bool"),
        (dict(bm25=None), TypeError, "bm25"),
    ],
)
def test_rerank_refusals(kwargs, error, message):
    args = dict(vectors=V, queries=Q, k=2, bm25=C, parallel=False) | kwargs
    with pytest.raises(error, match=message):
        distance._search(**args)
