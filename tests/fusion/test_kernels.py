"""The fusion kernels against plain-Python models of the same fusion."""

import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import fusion_reference as ref
from tarnix_engine.kernels import fusion


def merge(a, b, rank_k=2, top_k=5, wa=1.0, wb=1.0):
    return fusion.merge(np.asarray(a, dtype=np.int64).reshape(1, -1), np.asarray(b, dtype=np.int64).reshape(1, -1),
                        k=rank_k, top_k=top_k, alpha_distance=wb, alpha_bm25=wa)


def assert_same(got, expected):
    """Equal ids and bit-identical scores, as an exact tuple of int64 / float64 arrays."""
    assert type(got) is tuple and len(got) == 2
    ids, scores = got
    assert ids.dtype == np.int64 and scores.dtype == np.float64
    np.testing.assert_array_equal(ids, expected[0])
    assert scores.tobytes() == np.asarray(expected[1], dtype=np.float64).tobytes()


# Small id ranges make repeats and shared ids likely; -1 and -3 are empty slots
# anywhere in a row. A few simple weights make equal totals likely.
ids_lists = st.lists(st.integers(-3, 9).map(lambda i: -1 if i == -2 else i), max_size=12)
weights = st.one_of(st.sampled_from([1.0, 0.5, 2.0, 0.0, -1.0]), st.floats(-1e3, 1e3))


# ---- merge ---------------------------------------------------------------


@settings(max_examples=400, deadline=None)
@given(a=ids_lists, b=ids_lists, wa=weights, wb=weights, rank_k=st.integers(0, 6), top_k=st.integers(0, 30))
def test_merge_equals_the_reference_accumulation(a, b, wa, wb, rank_k, top_k):
    got = merge(a, b, rank_k, top_k, wa, wb)
    expected = ref.fuse_lists([a, b], [wa, wb], rank_k, top_k)
    assert_same(got, (expected[0][None], expected[1][None]))


@pytest.mark.parametrize(
    "a, b, rank_k, top_k, expected_ids, expected_scores",
    [
        # Equal totals: first appearance decides, a before b.
        ([1, 2], [2, 1], 0, 3, [1, 2, -1], [1 / 1 + 1 / 2, 1 / 2 + 1 / 1, 0.0]),
        # A repeat counts at each of its ranks; -1 mid-row takes no rank.
        ([5, -1, 6, 5], [], 2, 2, [5, 6], [1 / 3 + 1 / 5, 1 / 4]),
        ([], [], 2, 2, [-1, -1], [0.0, 0.0]),
        ([3, 4], [4], 2, 0, [], []),
    ],
)
def test_merge_cases(a, b, rank_k, top_k, expected_ids, expected_scores):
    assert_same(merge(a, b, rank_k, top_k), ([expected_ids], [expected_scores]))


def test_merge_reads_each_list_flattened_and_converts_integer_types():
    a = np.array([[7], [3]], dtype=np.int32)
    assert_same(fusion.merge(a, [9, 7], k=2, top_k=3, alpha_distance=1.0, alpha_bm25=1.0),
                merge([7, 3], [9, 7], 2, 3))


def test_merge_of_long_lists_releases_the_lock_and_agrees():
    rng = np.random.default_rng(1)
    a, b = rng.integers(-1, 3000, 5000), rng.integers(-1, 3000, 5000)
    expected = ref.fuse_lists([a, b], [0.7, 1.3], 60, 50)
    assert_same(merge(a, b, 60, 50, 0.7, 1.3), (expected[0][None], expected[1][None]))


# ---- merge_batch ------------------------------------------------------------


@settings(max_examples=150, deadline=None)
@given(
    data=st.data(),
    nq=st.integers(0, 5),
    wa=weights,
    wb=weights,
    rank_k=st.integers(0, 4),
    top_k=st.integers(0, 12),
    parallel=st.booleans(),
)
def test_merge_batch_row_equals_merge_on_the_row(data, nq, wa, wb, rank_k, top_k, parallel):
    width = st.integers(0, 8)
    ka, kb = data.draw(width), data.draw(width)
    cell = st.integers(-2, 6)
    a = np.array(data.draw(st.lists(st.lists(cell, min_size=ka, max_size=ka), min_size=nq, max_size=nq)),
                 dtype=np.int64).reshape(nq, ka)
    b = np.array(data.draw(st.lists(st.lists(cell, min_size=kb, max_size=kb), min_size=nq, max_size=nq)),
                 dtype=np.int64).reshape(nq, kb)
    got = fusion.merge_batch(a, b, k=rank_k, top_k=top_k, alpha_distance=wb, alpha_bm25=wa, parallel=parallel)
    assert type(got) is tuple and got[0].shape == got[1].shape == (nq, top_k)
    for i in range(nq):
        row = merge(a[i], b[i], rank_k, top_k, wa, wb)
        assert_same((got[0][i : i + 1], got[1][i : i + 1]), row)


def test_merge_batch_in_parallel_equals_one_thread():
    rng = np.random.default_rng(2)
    a, b = rng.integers(-1, 40, (7000, 20)), rng.integers(-1, 40, (7000, 20))  # long enough for threads
    kw = dict(k=2, top_k=10, alpha_distance=0.5, alpha_bm25=1.0)
    assert_same(fusion.merge_batch(a, b, parallel=True, **kw), fusion.merge_batch(a, b, parallel=False, **kw))


def test_merge_batch_without_skipping_ranks_negative_ids():
    got = fusion.merge_batch(np.array([[-1, 4]]), np.array([[4]]), k=0, top_k=3, alpha_distance=1.0,
                             alpha_bm25=1.0, parallel=False, skip_negative=False)
    assert_same(got, ([[4, -1, -1]], [[1 / 2 + 1.0, 1.0, 0.0]]))


# ---- _process_batch ---------------------------------------------------------


def shards_strategy(max_shards=6, max_queries=3, max_width=6):
    """Stacked per-shard hits: local positions -1..5, a few distinct distances
    and scores (so ties are common), offsets that may overlap across shards,
    rows in any order or best first."""

    @st.composite
    def build(draw):
        S = draw(st.integers(1, max_shards))
        nq = draw(st.integers(0, max_queries))
        V, T = draw(st.integers(1, max_width)), draw(st.integers(1, max_width))
        pos = st.integers(-1, 5)
        vpos = np.array(draw(st.lists(pos, min_size=S * nq * V, max_size=S * nq * V)), dtype=np.int64)
        tpos = np.array(draw(st.lists(pos, min_size=S * nq * T, max_size=S * nq * T)), dtype=np.int64)
        value = st.sampled_from([0.0, -0.0, 0.5, 1.0, 2.5, 7.0])
        vdist = np.array(draw(st.lists(value, min_size=S * nq * V, max_size=S * nq * V)), dtype=np.float32)
        tscore = np.array(draw(st.lists(value, min_size=S * nq * T, max_size=S * nq * T)), dtype=np.float64)
        offsets = np.array(draw(st.lists(st.integers(0, 12), min_size=S, max_size=S)), dtype=np.int64)
        vdist, tscore = vdist.reshape(S, nq, V), tscore.reshape(S, nq, T)
        if draw(st.booleans()):
            # Best first within each shard's row, as shards return their hits.
            vdist, tscore = np.sort(vdist, axis=2), -np.sort(-tscore, axis=2)
        return vpos.reshape(S, nq, V), vdist, tpos.reshape(S, nq, T), tscore, offsets

    return build()


@settings(max_examples=300, deadline=None)
@given(
    hits=shards_strategy(),
    top_k=st.integers(0, 15),
    rrf_k=st.integers(0, 5),
    wd=weights,
    wt=weights,
    text_rank=st.sampled_from(["score", "interleave"]),
)
def test_process_batch_equals_the_model(hits, top_k, rrf_k, wd, wt, text_rank):
    got = fusion._process_batch(*hits, top_k=top_k, rrf_k=rrf_k, alpha_distance=wd, alpha_bm25=wt,
                                text_rank=text_rank)
    assert_same(got, ref.fuse_shards(*hits, top_k, rrf_k, wd, wt, text_rank))


@pytest.mark.parametrize("text_rank", ["score", "interleave"])
def test_process_batch_of_a_long_batch_uses_threads_and_agrees(text_rank):
    rng = np.random.default_rng(3)
    S, nq, V, T = 5, 3300, 8, 8  # long enough for threads
    vpos, tpos = rng.integers(-1, 30, (S, nq, V)), rng.integers(-1, 30, (S, nq, T))
    vdist = rng.integers(0, 5, (S, nq, V)).astype(np.float32)
    tscore = rng.integers(0, 5, (S, nq, T)).astype(np.float64)
    vdist[:, ::2] = np.sort(vdist[:, ::2], axis=2)  # every other query best first
    offsets = np.array([0, 30, 60, 90, 120])
    got = fusion._process_batch(vpos, vdist, tpos, tscore, offsets, top_k=10, rrf_k=60, alpha_distance=1.0,
                                alpha_bm25=1.0, text_rank=text_rank)
    assert_same(got, ref.fuse_shards(vpos, vdist, tpos, tscore, offsets, 10, 60, 1.0, 1.0, text_rank))


def test_process_batch_text_rules_differ_as_described():
    # Shard 0 scores high on its own scale, shard 1 low; the vector side is empty.
    tpos = np.array([[[0, 1]], [[0, 1]]])
    tscore = np.array([[[9.0, 8.0]], [[2.0, 1.0]]])
    vpos = np.full((2, 1, 1), -1)
    vdist = np.zeros((2, 1, 1), dtype=np.float32)
    kw = dict(top_k=4, rrf_k=0, alpha_distance=1.0, alpha_bm25=1.0)
    by_score = fusion._process_batch(vpos, vdist, tpos, tscore, np.array([0, 10]), **kw)
    interleaved = fusion._process_batch(vpos, vdist, tpos, tscore, np.array([0, 10]), text_rank="interleave", **kw)
    np.testing.assert_array_equal(by_score[0], [[0, 1, 10, 11]])
    np.testing.assert_array_equal(interleaved[0], [[0, 10, 1, 11]])


def test_process_batch_orders_nan_last_and_a_side_counts_a_position_once():
    # Position 0 is the best vector hit in shard 0 and again (farther) in
    # shard 1 at offset 0: it counts once, at rank 0. NaN ranks after 3.0.
    vpos = np.array([[[0, 1]], [[0, 2]]])
    vdist = np.array([[[1.0, np.nan]], [[5.0, 3.0]]], dtype=np.float32)
    tpos = np.full((2, 1, 1), -1)
    tscore = np.zeros((2, 1, 1))
    ids, scores = fusion._process_batch(vpos, vdist, tpos, tscore, np.array([0, 0]), top_k=4, rrf_k=0,
                                        alpha_distance=1.0, alpha_bm25=1.0)
    np.testing.assert_array_equal(ids, [[0, 2, 1, -1]])
    np.testing.assert_array_equal(scores, [[1.0, 1 / 2, 1 / 3, 0.0]])


def test_process_batch_converts_inputs_as_the_stacking_gives_them():
    # float64 distances and int32 positions are converted, not refused.
    vpos = np.array([[[1, 0]]], dtype=np.int32)
    vdist = np.array([[[0.25, 0.5]]])
    tpos = np.array([[[0]]], dtype=np.int32)
    tscore = np.array([[[1.0]]], dtype=np.float32)
    got = fusion._process_batch(vpos, vdist, tpos, tscore, [3], top_k=2, rrf_k=0, alpha_distance=1.0, alpha_bm25=1.0)
    assert_same(got, ([[3, 4]], [[1.0 + 1 / 2, 1.0]]))


def test_process_batch_from_several_threads_at_once():
    rng = np.random.default_rng(4)
    S, nq, V, T = 3, 400, 10, 10
    hits = (rng.integers(-1, 50, (S, nq, V)), rng.random((S, nq, V), dtype=np.float32),
            rng.integers(-1, 50, (S, nq, T)), rng.random((S, nq, T)), np.array([0, 50, 100]))
    kw = dict(top_k=8, rrf_k=60, alpha_distance=1.0, alpha_bm25=0.5)
    expected = fusion._process_batch(*hits, **kw)
    results = [None] * 4

    def run(i):
        results[i] = fusion._process_batch(*hits, **kw)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        assert_same(r, expected)


# ---- refusals -----------------------------------------------------------------


def valid_hits():
    return dict(
        vector_positions=np.zeros((2, 3, 4), dtype=np.int64),
        vector_distances=np.zeros((2, 3, 4), dtype=np.float32),
        text_positions=np.zeros((2, 3, 5), dtype=np.int64),
        text_scores=np.zeros((2, 3, 5)),
        offsets=np.array([0, 10]),
        top_k=3,
        rrf_k=60,
        alpha_distance=1.0,
        alpha_bm25=1.0,
    )


@pytest.mark.parametrize(
    "change, message",
    [
        ({"vector_positions": np.zeros((2, 3), dtype=np.int64)}, "vector_positions must be a 3-D array"),
        ({"vector_distances": np.zeros((2, 3, 4, 1), dtype=np.float32)}, "vector_distances must be a 3-D array"),
        ({"text_positions": np.zeros((6,), dtype=np.int64)}, "text_positions must be a 3-D array"),
        ({"text_scores": np.zeros((2, 3))}, "text_scores must be a 3-D array"),
        ({"vector_distances": np.zeros((2, 3, 5), dtype=np.float32)}, "vector_distances must have the shape (2, 3, 4)"),
        ({"text_positions": np.zeros((3, 3, 5), dtype=np.int64)}, "text_positions must have the shape (2, 3, width)"),
        ({"text_positions": np.zeros((2, 2, 5), dtype=np.int64)}, "text_positions must have the shape (2, 3, width)"),
        ({"text_scores": np.zeros((2, 3, 4))}, "text_scores must have the shape (2, 3, 5)"),
        ({"offsets": np.array([0, 10, 20])}, "offsets must be a 1-D array with one entry per shard (2)"),
        ({"offsets": np.array([[0, 10]])}, "offsets must be a 1-D array with one entry per shard (2)"),
        ({"offsets": np.array([0, -10])}, "offsets must be >= 0, got -10"),
        ({"top_k": -1}, "top_k must be >= 0, got -1"),
        ({"rrf_k": -1}, "k must be >= 0, got -1"),
        ({"alpha_distance": float("nan")}, "alpha_distance must be finite, got nan"),
        ({"alpha_bm25": float("inf")}, "alpha_bm25 must be finite, got inf"),
        ({"text_rank": "bm25"}, "text_rank must be 'score' or 'interleave', got 'bm25'"),
    ],
)
def test_process_batch_refusals(change, message):
    kw = valid_hits() | change
    args = [kw.pop(n) for n in ("vector_positions", "vector_distances", "text_positions", "text_scores", "offsets")]
    with pytest.raises(ValueError) as info:
        fusion._process_batch(*args, **kw)
    assert message in str(info.value)


@pytest.mark.parametrize("nq", [3, 15000])  # one thread, and the threaded path
def test_process_batch_refuses_positions_that_overflow(nq):
    hits = valid_hits()
    for name in ("vector_positions", "vector_distances", "text_positions", "text_scores"):
        hits[name] = np.zeros((2, nq) + hits[name].shape[2:], dtype=hits[name].dtype)
    hits["vector_positions"][1, nq - 1, 0] = 2**62
    hits["offsets"] = np.array([0, 2**62])
    args = [hits.pop(n) for n in ("vector_positions", "vector_distances", "text_positions", "text_scores", "offsets")]
    with pytest.raises(OverflowError):
        fusion._process_batch(*args, **hits)


MERGE_KW = dict(k=2, top_k=3, alpha_distance=1.0, alpha_bm25=1.0)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: fusion.merge([[1]], [[2]], **(MERGE_KW | {"top_k": -1})), "top_k must be >= 0, got -1"),
        (lambda: fusion.merge([[1]], [[2]], **(MERGE_KW | {"k": -2})), "k must be >= 0, got -2"),
        (lambda: fusion.merge([[1]], [[2]], **(MERGE_KW | {"alpha_bm25": float("nan")})), "alpha_bm25 must be finite"),
        (lambda: fusion.merge_batch([[1]], [[2], [3]], parallel=False, **MERGE_KW),
         "a and b must have the same number of rows, got 1 and 2"),
        (lambda: fusion.merge_batch([1], [[2]], parallel=False, **MERGE_KW), "a must be a 2-D array"),
        (lambda: fusion.merge_batch([[1]], [[2]], parallel=False, **(MERGE_KW | {"top_k": -1})),
         "top_k must be >= 0"),
    ],
)
def test_merge_refusals(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert message in str(info.value)
