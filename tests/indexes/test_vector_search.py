"""Vector search: Hamming shortlist, exact rerank, candidates and chunking."""

import gc
import re

import numpy as np
import pytest

from tarnix_engine._types import SearchResult
from tarnix_engine.indexes import _tarnix_impl
from tarnix_engine.indexes._tarnix_impl import _TarnixCore
from tarnix_engine.kernels import _batching

EMPTY_DISTANCE = 2147483647.0


@pytest.fixture
def small(vectors):
    """Ten rows x 4 dims with the ids "r0" ... "r9"."""
    data = vectors(10, 4, seed=2)
    index = _TarnixCore()
    index.add([f"r{i}" for i in range(10)], data)
    return index, data


@pytest.fixture
def kernel_calls(monkeypatch):
    """Record what the rerank kernel is asked: shortlist width and k per call."""
    real = _tarnix_impl._search
    calls = []

    def spy(**kwargs):
        calls.append((np.asarray(kwargs["bm25"]).shape, kwargs["k"]))
        return real(**kwargs)

    monkeypatch.setattr(_tarnix_impl, "_search", spy)
    return calls


def hits_as_pairs(rows):
    return [[(hit.rank, hit.id, hit.score) for hit in row] for row in rows]


# ---------------------------------------------------------------------------
# result form


@pytest.mark.parametrize("shape", [(8,), (1, 8)])
def test_a_single_query_gives_one_list_of_hits(fitted, shape):
    query = fitted.vectors[6].reshape(shape)
    hits = fitted.index.search(query, 4)
    assert isinstance(hits, list) and len(hits) == 4
    assert all(type(hit) is SearchResult for hit in hits)
    assert [hit.rank for hit in hits] == [0, 1, 2, 3]
    assert hits[0].id == "d6" and hits[0].score == 1.0
    scores = [hit.score for hit in hits]
    assert scores == sorted(scores, reverse=True)
    assert all(type(hit.id) is str and type(hit.score) is float for hit in hits)


def test_a_batch_gives_one_list_per_query(fitted):
    found = fitted.index.search(fitted.vectors[[3, 30]], 2)
    assert len(found) == 2 and all(len(row) == 2 for row in found)
    assert [row[0].id for row in found] == ["d3", "d30"]


def test_every_stored_vector_is_found_first(fitted):
    found = fitted.index.search(fitted.vectors, 3)
    assert [row[0].id for row in found] == fitted.ids
    assert all(row[0].score == 1.0 for row in found)


def test_raw_result_is_nearest_first_and_typed(fitted):
    positions, distances = fitted.index.search_raw(fitted.vectors[[5, 9, 11]], 6)
    assert positions.dtype == np.int64 and distances.dtype == np.float64
    assert positions.shape == distances.shape == (3, 6)
    np.testing.assert_array_equal(positions[:, 0], [5, 9, 11])
    np.testing.assert_array_equal(distances[:, 0], 0.0)
    assert np.all(np.diff(distances, axis=1) >= 0)


def test_scores_are_scaled_rerank_distances(fitted, read_meta):
    queries = fitted.vectors[:4] + 0.3
    positions, distances = fitted.index.search_raw(queries, 5)
    found = fitted.index.search(queries, 5)
    scale = read_meta(fitted.index)["d_scale"]
    for row, pos, dist in zip(found, positions, distances):
        assert [hit.id for hit in row] == [fitted.ids[p] for p in pos]
        np.testing.assert_allclose([hit.score for hit in row], np.exp(-dist / scale), rtol=1e-12)


def test_fewer_rows_than_k(vectors):
    data = vectors(3, 4)
    index = _TarnixCore()
    index.add(["a", "b", "c"], data)
    assert len(index.search(data[0], 10)) == 3
    positions, distances = index.search_raw(data[:2], 10)
    assert positions.shape == distances.shape == (2, 3)


def test_search_clips_k_to_the_row_count(fitted):
    assert len(fitted.index.search(fitted.vectors[0], 1000)) == 40


def test_hits_are_named_by_position_without_ids(fitted, tmp_path):
    fitted.index.save(str(tmp_path))
    (tmp_path / "ids.json").unlink()
    index = _TarnixCore.load(str(tmp_path))
    assert index.ids == []
    hits = index.search(fitted.vectors[12], 3)
    assert hits[0].id == "12"
    assert all(hit.id == str(int(hit.id)) for hit in hits)


# ---------------------------------------------------------------------------
# k and the shortlist


@pytest.mark.parametrize("method", ["search", "search_raw"])
@pytest.mark.parametrize("k", [-1, -(2**31)])
def test_negative_k_is_refused_before_any_work(fitted, method, k):
    message = f"^k must be non-negative, got {k}$"
    with pytest.raises(ValueError, match=message):
        getattr(fitted.index, method)(fitted.vectors[0], k)
    # Before the query, the fitted state and the candidates are looked at.
    with pytest.raises(ValueError, match=message):
        getattr(_TarnixCore(), method)("not a vector", k)
    with pytest.raises(ValueError, match=message):
        getattr(fitted.index, method)(fitted.vectors[0], k, candidates=np.zeros((1, 1, 1)))


@pytest.mark.parametrize("method", ["search", "search_raw"])
def test_k_beyond_32_bits_overflows(fitted, method):
    with pytest.raises(OverflowError):
        getattr(fitted.index, method)(fitted.vectors[0], 2**31)


def test_k_zero_gives_empty_results(fitted):
    assert fitted.index.search(fitted.vectors[0], 0) == []
    assert fitted.index.search(fitted.vectors[:2], 0) == [[], []]
    positions, distances = fitted.index.search_raw(fitted.vectors[:2], 0)
    assert positions.shape == distances.shape == (2, 0)


@pytest.mark.parametrize(
    "n_candidates, k, extra, shortlist, reranked",
    [
        (50, 3, {}, 40, 3),  # never wider than the index
        (8, 3, {}, 8, 3),
        (8, 12, {}, 12, 12),  # at least k
        (8, 60, {}, 40, 40),  # search_raw does not clip k, the index size does
        (8, 3, {"n_candidates": 20}, 20, 3),  # a per-call size wins
        (8, 5, {"n_candidates": 2}, 5, 5),  # ... but k still decides when larger
        (8, 3, {"candidates": [0, 4, 9, 13, 21]}, 5, 3),
        (8, 3, {"candidates": list(range(20))}, 8, 3),
        (50, 3, {"candidates": np.arange(6).reshape(1, 6)}, 6, 3),
    ],
)
def test_shortlist_depth(vectors, kernel_calls, n_candidates, k, extra, shortlist, reranked):
    index = _TarnixCore(n_candidates=n_candidates)
    data = vectors(40, 4, seed=8)
    index.add([str(i) for i in range(40)], data)
    positions, distances = index.search_raw(data[:1], k, **extra)
    assert kernel_calls == [((1, shortlist), reranked)]
    assert positions.shape == distances.shape == (1, reranked)


# ---------------------------------------------------------------------------
# recall against exact search


def _clustered(n, dim, clusters, rng):
    centres = rng.standard_normal((clusters, dim)) * 1.5
    return (centres[rng.integers(clusters, size=n)] + rng.standard_normal((n, dim))).astype(np.float32), centres


@pytest.mark.parametrize("n_candidates", [None, 256], ids=["default shortlist", "shortlist of 256"])
def test_recall_at_10_against_exact_search_on_clustered_data(n_candidates):
    # Clustered rows, like embeddings, put many near neighbours at similar
    # distances, where 8-bit codes and a Hamming shortlist lose the most.
    # This data reaches about 0.9; the floor leaves room for rounding only.
    rng = np.random.default_rng(0)
    data, centres = _clustered(2000, 32, 50, rng)
    queries = (centres[rng.integers(len(centres), size=100)] + rng.standard_normal((100, 32))).astype(np.float32)
    index = _TarnixCore(n_candidates=n_candidates)
    index.add([str(i) for i in range(len(data))], data)
    positions, _ = index.search_raw(queries, 10)
    exact = np.argsort(((queries[:, None, :].astype(np.float64) - data[None, :, :]) ** 2).sum(axis=2), axis=1)[:, :10]
    recall = np.mean([len(set(found) & set(want)) / 10 for found, want in zip(positions.tolist(), exact.tolist())])
    assert recall >= 0.75


# ---------------------------------------------------------------------------
# candidates


def test_flat_candidates_are_cleaned_up(small):
    index, data = small
    hits = index.search(data[[5, 2]], 5, candidates=[5, 1, 1, -3, 99])
    for row in hits:
        assert 1 <= len(row) <= 2
        assert {hit.id for hit in row} <= {"r1", "r5"}
        assert [hit.score for hit in row] == sorted((hit.score for hit in row), reverse=True)
    assert hits[0][0].id == "r5"
    positions, _ = index.search_raw(data[[1]], 5, candidates=np.array([5, 1, 1, -3, 99]))
    assert positions.shape == (1, 2)
    assert set(positions[0]) == {1, 5} and positions[0, 0] == 1


@pytest.mark.parametrize("dtype", [np.int64, np.int32])
def test_unsorted_in_range_candidate_arrays_are_normalised(small, dtype):
    # Every entry is a stored position, so only the order and the repeat are wrong.
    index, data = small
    allowed = np.array([5, 1, 1, 3], dtype=dtype)
    positions, _ = index.search_raw(data[[1]], 4, candidates=allowed)
    assert positions.shape == (1, 3)
    assert positions[0, 0] == 1 and set(positions[0]) == {1, 3, 5}
    assert {hit.id for hit in index.search(data[1], 4, candidates=allowed)} == {"r1", "r3", "r5"}
    np.testing.assert_array_equal(allowed, [5, 1, 1, 3])


def test_shared_read_only_candidates_are_left_alone(small):
    index, data = small
    allowed = np.array([0, 3, 7], dtype=np.int64)
    allowed.flags.writeable = False
    positions, _ = index.search_raw(data[[3, 7]], 3, candidates=allowed)
    assert [hit.id for hit in index.search(data[0], 3, candidates=allowed)][0] == "r0"
    np.testing.assert_array_equal(allowed, [0, 3, 7])
    np.testing.assert_array_equal(positions[:, 0], [3, 7])
    assert set(positions.ravel()) == {0, 3, 7}


@pytest.mark.parametrize("candidates", [[-1, 10, 99], [], np.array([], dtype=np.int64)])
def test_no_allowed_position_gives_empty_lists(small, candidates):
    index, data = small
    assert index.search(data[0], 3, candidates=candidates) == []
    assert index.search(data[:2], 3, candidates=candidates) == [[], []]


@pytest.mark.parametrize("k, width", [(0, 1), (3, 3), (50, 10)])
def test_no_allowed_position_gives_rows_of_empty_slots(small, k, width):
    index, data = small
    positions, distances = index.search_raw(data[:2], k, candidates=[10, -1])
    assert positions.dtype == np.int64 and distances.dtype == np.float64
    np.testing.assert_array_equal(positions, np.full((2, width), -1))
    np.testing.assert_array_equal(distances, np.full((2, width), EMPTY_DISTANCE))


@pytest.mark.parametrize("method", ["search", "search_raw"])
def test_candidates_of_three_dimensions_are_refused(small, method):
    index, data = small
    with pytest.raises(ValueError, match=r"^candidates must be 1D or 2D, got shape \(1, 1, 1\)$"):
        getattr(index, method)(data[0], 2, candidates=np.zeros((1, 1, 1), dtype=np.int64))


@pytest.mark.parametrize("method", ["search", "search_raw"])
@pytest.mark.parametrize(
    "candidates, dtype",
    [
        (np.array([True, False, True, False]), "bool"),  # a mask would read as the positions 0 and 1
        ([True, False], "bool"),
        (np.array([1.7, 3.0]), "float64"),  # would be truncated to position 1
        ([1, 2.5], "float64"),
        (np.array([[1.0, 2.0]], np.float32), "float32"),
        (np.array([[True, False]]), "bool"),
        (np.array([1, 2.5], dtype=object), "an object array holding float"),
        (np.array([1, True], dtype=object), "an object array holding bool"),
        (["3", "4"], "<U1"),
    ],
)
def test_candidates_that_are_not_integer_positions_are_refused(small, method, candidates, dtype):
    index, data = small
    query = data[:1] if np.ndim(candidates) == 2 else data[0]
    with pytest.raises(TypeError, match=f"^candidates must be integer positions, got {re.escape(dtype)}$"):
        getattr(index, method)(query, 2, candidates=candidates)


def test_object_arrays_of_integers_are_positions(small):
    index, data = small
    given = index.search_raw(data[[3]], 2, candidates=np.array([3, np.int64(5)], dtype=object))
    expected = index.search_raw(data[[3]], 2, candidates=[3, 5])
    for got, want in zip(given, expected):
        np.testing.assert_array_equal(got, want)
    rows = index.search_raw(data[[3]], 2, candidates=np.array([[3, np.int32(5)]], dtype=object))
    np.testing.assert_array_equal(rows[0], expected[0])


@pytest.mark.parametrize("method", ["search", "search_raw"])
def test_queries_with_nan_are_refused(small, method):
    index, data = small
    query = data[0].copy()
    query[2] = np.nan
    with pytest.raises(ValueError, match="NaN or infinite"):
        getattr(index, method)(query, 2)


@pytest.mark.parametrize("ids", [True, False], ids=["named", "numbered"])
def test_hit_records_are_left_out_of_the_cyclic_gc(fitted, tmp_path, ids):
    index = fitted.index
    if not ids:
        index.save(str(tmp_path / "idx"))
        (tmp_path / "idx" / "ids.json").unlink()
        index = _TarnixCore.load(str(tmp_path / "idx"))
    rows = index.search(fitted.vectors[:3], 4)
    assert rows and all(len(row) == 4 for row in rows)
    assert not any(gc.is_tracked(hit) for row in rows for hit in row)
    assert all(gc.is_tracked(row) for row in rows)


def test_per_query_candidate_rows(small):
    index, data = small
    rows = np.array([[0, 3, 6, 9], [1, 2, 3, 4]], dtype=np.int64)
    found = index.search(data[[6, 2]], 3, candidates=rows)
    assert [row[0].id for row in found] == ["r6", "r2"]
    assert {hit.id for hit in found[0]} <= {"r0", "r3", "r6", "r9"}
    assert {hit.id for hit in found[1]} <= {"r1", "r2", "r3", "r4"}
    positions, _ = index.search_raw(data[[6, 2]], 3, candidates=rows.tolist())
    np.testing.assert_array_equal(positions[:, 0], [6, 2])
    assert set(positions[0]) <= {0, 3, 6, 9} and set(positions[1]) <= {1, 2, 3, 4}


@pytest.mark.parametrize("method", ["search", "search_raw"])
@pytest.mark.parametrize("n_rows", [1, 3])
def test_candidate_rows_must_match_the_queries(small, method, n_rows):
    index, data = small
    rows = np.tile(np.arange(4, dtype=np.int64), (n_rows, 1))
    with pytest.raises(ValueError, match="^candidates must have one row per query"):
        getattr(index, method)(data[:2], 2, candidates=rows)


def test_chunked_search_slices_candidate_rows_with_the_queries(small):
    index, data = small
    queries = data[[8, 1, 4, 0, 7]]
    rows = np.array([[8, 2, 5], [1, 9, 3], [0, 4, 6], [0, 1, 2], [7, 3, 5]], dtype=np.int64)
    one_by_one = [index.search(q, 3, candidates=r[None, :]) for q, r in zip(queries, rows)]
    chunked = index.search(queries, 3, candidates=rows, batch_size=2)
    assert hits_as_pairs(chunked) == hits_as_pairs(one_by_one)
    assert [row[0].id for row in chunked] == ["r8", "r1", "r4", "r0", "r7"]


# ---------------------------------------------------------------------------
# chunking


@pytest.mark.parametrize("candidates", [None, [0, 2, 4, 6, 8, 10, 12, 30]])
def test_chunked_search_returns_the_rows_of_one_call(fitted, candidates):
    queries = fitted.vectors[[1, 2, 12]] + 0.05
    whole = fitted.index.search(queries, 5, candidates=candidates)
    assert fitted.index.search(queries, 5, candidates=candidates, batch_size=1) == whole
    assert fitted.index.search(queries, 5, candidates=candidates, batch_size=2) == whole


def test_search_chunks_at_the_width_the_policy_returns(fitted, monkeypatch):
    widths = []

    class Recording(_TarnixCore):
        def search_raw(self, vectors, k, candidates=None, parallel=False, n_candidates=None):
            widths.append(len(vectors))
            return super().search_raw(vectors, k, candidates=candidates, parallel=parallel)

    index = Recording()
    index.add(list(fitted.ids), fitted.vectors)
    whole = index.search(fitted.vectors[:5], 3)
    widths.clear()
    monkeypatch.setattr(_tarnix_impl, "resolve_batch_size", lambda *a, **kw: 2)
    assert index.search(fitted.vectors[:5], 3) == whole
    assert widths == [2, 2, 1]


@pytest.mark.parametrize(
    "n_candidates, k, candidates, bytes_per_query",
    [
        (None, 5, None, 8 * (6 * 5 + 18 + 2 * 8)),  # 40 rows: automatic shortlist of 18
        (50, 5, None, 8 * (6 * 5 + 40 + 2 * 8)),
        (None, 1000, None, 8 * (6 * 40 + 40 + 2 * 8)),  # k clipped to the rows first
        (None, 5, [1, 2, 3], 8 * (6 * 3 + 3 + 2 * 8)),
    ],
)
@pytest.mark.parametrize("parallel, batch_size", [(False, None), (1, 7)])
def test_search_asks_the_batching_policy(
    fitted, monkeypatch, n_candidates, k, candidates, bytes_per_query, parallel, batch_size
):
    asked = []

    def threads(*args, **kwargs):
        asked.append(("threads", args, kwargs))
        return 3

    def width(*args, **kwargs):
        asked.append(("width", args, kwargs))
        return _batching.resolve_batch_size(*args, **kwargs)

    monkeypatch.setattr(_tarnix_impl, "resolve_num_threads", threads)
    monkeypatch.setattr(_tarnix_impl, "resolve_batch_size", width)
    index = _TarnixCore(n_candidates=n_candidates)
    index.add(list(fitted.ids), fitted.vectors)
    index.search(fitted.vectors[:4], k, parallel=parallel, batch_size=batch_size, candidates=candidates)
    assert asked == [
        ("threads", (bool(parallel), 4), {}),
        ("width", (4, bytes_per_query), {"batch_size": batch_size, "num_threads": 3}),
    ]


def test_policy_errors_reach_the_caller(fitted):
    with pytest.raises(ValueError, match="^batch_size must be positive, got 0$"):
        fitted.index.search(fitted.vectors[:2], 2, batch_size=0)
    with pytest.raises(TypeError, match=r"^batch_size must be an int or None, got 2\.0$"):
        fitted.index.search(fitted.vectors[:2], 2, batch_size=2.0)


def test_parallel_search_gives_the_same_rows(fitted):
    queries = fitted.vectors[:10] * 0.9
    assert fitted.index.search(queries, 4, parallel=True) == fitted.index.search(queries, 4)
    serial = fitted.index.search_raw(queries, 4)
    threaded = fitted.index.search_raw(queries, 4, parallel=True)
    for a, b in zip(serial, threaded):
        np.testing.assert_array_equal(a, b)


# ---------------------------------------------------------------------------
# queries


@pytest.mark.parametrize(
    "convert",
    [
        lambda q: np.ascontiguousarray(q.T).T,  # Fortran order
        lambda q: np.asfortranarray(q, dtype=np.float64),
        lambda q: q.tolist(),
        lambda q: np.repeat(q, 2, axis=0)[::2],  # strided rows
    ],
    ids=["transposed", "fortran-float64", "list", "strided"],
)
def test_query_layouts_give_the_same_answers(fitted, convert):
    queries = fitted.vectors[[4, 17, 33]] + 0.1
    other = convert(queries)
    assert fitted.index.search(other, 5) == fitted.index.search(queries, 5)
    for a, b in zip(fitted.index.search_raw(other, 5), fitted.index.search_raw(queries, 5)):
        np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("method", ["search", "search_raw"])
@pytest.mark.parametrize(
    "query, shape",
    [(np.zeros(3), "(1, 3)"), (np.zeros((2, 5)), "(2, 5)"), (np.zeros((1, 1, 8)), "(1, 1, 8)")],
)
def test_query_dimension_must_match(fitted, method, query, shape):
    message = f"query vectors must have dimension 8 to match the index, got shape {shape}"
    with pytest.raises(ValueError) as raised:
        getattr(fitted.index, method)(query, 2)
    assert str(raised.value) == message


@pytest.mark.parametrize("method", ["search", "search_raw"])
def test_unfitted_index_refuses_to_search(method):
    with pytest.raises(RuntimeError, match=r"^Cannot search an unfitted index\.$"):
        getattr(_TarnixCore(), method)(np.zeros(4, dtype=np.float32), 2)
    # The queries are converted first, so an unusable query is reported as such.
    with pytest.raises(ValueError):
        getattr(_TarnixCore(), method)("not a vector", 2)


def test_searches_leave_the_index_unchanged(fitted, read_meta):
    index = fitted.index
    meta, matrix = read_meta(index), index._matrix.copy()
    index.search(fitted.vectors, 5, batch_size=3, candidates=[1, 2, 3])
    index.search_raw(fitted.vectors[:2], 7, n_candidates=30)
    assert read_meta(index) == meta
    np.testing.assert_array_equal(index._matrix, matrix)
    assert index.ids == fitted.ids


# ---------------------------------------------------------------------------
# overriding search_raw


def test_search_goes_through_an_overridden_search_raw(fitted, read_meta):
    calls = []

    class Fixed(_TarnixCore):
        def search_raw(self, vectors, k, candidates=None, parallel=False, n_candidates=None):
            calls.append((vectors, k, candidates, parallel, n_candidates))
            n = len(vectors)
            return (
                np.tile(np.array([[2, 0, -1, 7]], dtype=np.int64), (n, 1)),
                np.tile(np.array([[0.0, 10.0, EMPTY_DISTANCE, 3.0]]), (n, 1)),
            )

    index = Fixed()
    index.add(list(fitted.ids), fitted.vectors)
    scale = read_meta(index)["d_scale"]
    found = index.search(fitted.vectors[:2].astype(np.float64), 1000, parallel=True, candidates=[9, 2, 2, 0])

    [(vectors, k, candidates, parallel, n_candidates)] = calls
    assert vectors.dtype == np.float32 and vectors.flags.c_contiguous and vectors.shape == (2, 8)
    assert k == 40
    np.testing.assert_array_equal(candidates, [0, 2, 9])
    assert parallel is True and n_candidates is None
    # A row stops at its first empty slot.
    expected = [(0, "d2", 1.0), (1, "d0", float(np.exp(-10.0 / scale)))]
    assert hits_as_pairs(found) == [expected, expected]


def test_a_position_beyond_the_ids_is_an_index_error(fitted):
    class Wild(_TarnixCore):
        def search_raw(self, vectors, k, candidates=None, parallel=False, n_candidates=None):
            return np.array([[99]], dtype=np.int64), np.array([[0.0]])

    index = Wild()
    index.add(list(fitted.ids), fitted.vectors)
    with pytest.raises(IndexError):
        index.search(fitted.vectors[0], 1)


def test_a_single_query_answered_with_no_row_is_an_index_error(fitted):
    class Empty(_TarnixCore):
        def search_raw(self, vectors, k, candidates=None, parallel=False, n_candidates=None):
            return np.zeros((0, 1), dtype=np.int64), np.zeros((0, 1))

    index = Empty()
    index.add(list(fitted.ids), fitted.vectors)
    with pytest.raises(IndexError):
        index.search(fitted.vectors[0], 1)
