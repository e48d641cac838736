"""Search of the streaming index over stand-in shards: what each shard is
asked, how their raw hits are stacked for the fusion kernel, chunking, and
the snapshot a search works from."""

import numpy as np
import pytest

from streaming_helpers import Log, fuse_shards, stand_in_classes, stand_in_shard


class Kernel:
    """Records what the streaming index hands the fusion kernel."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.result is not None:
            return self.result
        return fuse_shards(*args, **kwargs)


@pytest.fixture
def log():
    return Log()


@pytest.fixture
def build(shard_flow, monkeypatch, log):
    """build(sizes, hits=None, **settings): an index of stand-in shards of
    the given sizes, and the recording kernel patched in."""
    kernel = Kernel()
    monkeypatch.setattr(shard_flow, "_process_batch", kernel)

    def make(sizes, hits=None, **settings):
        text_cls, vector_cls = stand_in_classes(log)
        monkeypatch.setattr(shard_flow, "_VortelCore", stand_in_shard(log, hits))
        index = shard_flow._StreamingCore(text_cls, vector_cls, **settings)
        for size in sizes:
            index.add_batch([f"t{i}" for i in range(size)], np.ones((size, 2), dtype=np.float32))
        log.clear()
        return index, kernel

    return make


def retrieves(log):
    return [event for event in log if event[0] == "retrieve"]


@pytest.mark.parametrize("query", ["one", ["one", "two"]])
def test_empty_index_answers_empty_without_looking_at_arguments(shard_flow, query):
    index = shard_flow._StreamingCore()
    positions, scores = index.search(query, None, k="bad", candidates=object(), batch_size=-5)
    assert positions.dtype == np.int64 and scores.dtype == np.float64
    assert positions.shape == scores.shape == (0,)


@pytest.mark.parametrize(
    "query, vector, shape",
    [
        ("q", np.ones(2, dtype=np.float32), (3,)),
        ("q", np.ones((1, 2), dtype=np.float32), (3,)),
        (["q"], np.ones((1, 2), dtype=np.float32), (1, 3)),
        (("q", "r"), np.ones((2, 2), dtype=np.float32), (2, 3)),
    ],
)
def test_result_shapes(build, log, query, vector, shape):
    index, _ = build([4])
    positions, scores = index.search(query, vector, k=3)
    assert positions.shape == scores.shape == shape
    texts, vectors = retrieves(log)[0][2][:2]
    assert isinstance(texts, list) and np.shape(vectors)[0] == len(texts)


def test_each_shard_is_asked_by_position_with_its_local_candidates(build, log):
    index, kernel = build([5, 10])
    index.search(["q"], np.ones((1, 2)), k=4, parallel=1, candidates=[7, 3, 3, 12, -1, 40])
    calls = retrieves(log)
    assert len(calls) == 2
    for call in calls:
        texts, vectors, k, parallel, local = call[2]
        assert call[3] == {} and (k, parallel) == (4, True) and type(k) is int
        assert local.dtype == np.int64
    assert [call[2][4].tolist() for call in calls] == [[3], [2, 7]]
    args, kwargs = kernel.calls[0]
    assert args[4].dtype == np.int64 and args[4].tolist() == [0, 5]
    assert kwargs == {"top_k": 4, "rrf_k": 2, "alpha_distance": 1.0, "alpha_bm25": 0.1}


def test_two_dimensional_candidates_act_as_their_union(build, log):
    index, _ = build([5, 10])
    index.search(["q"], np.ones((1, 2)), k=2, candidates=np.array([[1, 6], [6, 2]]))
    assert [call[2][4].tolist() for call in retrieves(log)] == [[1, 2], [1]]


def test_a_shard_without_allowed_documents_is_not_asked(build, log):
    index, kernel = build([3, 3])
    positions, _ = index.search(["q", "r"], np.ones((2, 2)), k=2, candidates=[4])
    asked = retrieves(log)
    assert len(asked) == 1 and asked[0][2][4].tolist() == [1]
    vpos = kernel.calls[0][0][0]
    assert vpos.shape == (2, 2, 1) and (vpos[0] == -1).all()
    # The stand-in's hit is local position 0 of the second shard: global 3.
    assert positions[:, 0].tolist() == [3, 3]


def test_empty_candidates_ask_no_shard_and_still_fuse(build, log):
    index, kernel = build([3, 3])
    positions, scores = index.search(["q"], np.ones((1, 2)), k=2, candidates=np.array([], dtype=np.int64))
    assert retrieves(log) == []
    vpos, vdist, tpos, tscore, offsets = kernel.calls[0][0]
    assert vpos.shape == tpos.shape == (2, 1, 1) and (vpos == -1).all() and (tpos == -1).all()
    assert positions.tolist() == [[-1, -1]] and scores.tolist() == [[0.0, 0.0]]


def test_narrower_shards_are_padded_to_the_widest(build):
    widths = {0: (7, 3), 1: (4, 9)}
    made = []

    def hits(shard, texts, vectors, k, local):
        if shard not in made:
            made.append(shard)
        text_width, vector_width = widths[made.index(shard)]
        rows = len(texts)
        return (
            np.arange(text_width, dtype=np.int64)[None].repeat(rows, 0),
            np.linspace(2, 1, text_width)[None].repeat(rows, 0),
            np.arange(vector_width, dtype=np.int64)[None].repeat(rows, 0),
            np.linspace(0, 1, vector_width)[None].repeat(rows, 0),
        )

    index, kernel = build([10, 10], hits)
    index.search(["q", "r"], np.ones((2, 2)), k=3)
    vpos, vdist, tpos, tscore, _ = kernel.calls[0][0]
    assert tpos.shape == tscore.shape == (2, 2, 7) and vpos.shape == vdist.shape == (2, 2, 9)
    assert (vpos.dtype, vdist.dtype, tpos.dtype, tscore.dtype) == (np.int64, np.float32, np.int64, np.float64)
    assert (tpos[1, :, 4:] == -1).all() and (tscore[1, :, 4:] == 0).all()
    assert (vpos[0, :, 3:] == -1).all() and (vdist[0, :, 3:] == 0).all()
    assert tpos[1, 0, :4].tolist() == [0, 1, 2, 3] and vdist[1, 1, 8] == np.float32(1.0)


@pytest.mark.parametrize("grown", [0, 2], ids=["text positions", "vector positions"])
def test_hits_reshaped_after_the_stack_is_sized_are_refused_not_overrun(build, grown):
    # The second shard's search grows the first shard's answer in place: the
    # stacked arrays were already sized by the width it had when returned.
    first = []

    def hits(shard, texts, vectors, k, local):
        rows = len(texts)
        answer = [np.zeros((rows, 1), dtype=np.int64), np.ones((rows, 1)),
                  np.zeros((rows, 1), dtype=np.int64), np.zeros((rows, 1))]
        if not first:
            first.append(answer)
        else:
            first[0][grown].resize((rows, 4096), refcheck=False)
            first[0][grown][...] = 0
            first.clear()
        return tuple(answer)

    index, kernel = build([4, 4], hits)
    with pytest.raises(ValueError):
        index.search(["q", "r"], np.ones((2, 2)), k=3)
    assert kernel.calls == []


def test_hits_that_are_not_plain_arrays_are_stacked_the_same(build):
    def hits(shard, texts, vectors, k, local):
        rows = len(texts)
        # a Fortran-ordered array, a one-row array broadcast to every row, a
        # narrower integer type and float32 distances
        return (
            np.asfortranarray(np.array([[1, 0]] * rows, dtype=np.int64)),
            np.array([[3.0, 2.0]]),
            np.zeros((rows, 1), dtype=np.int32),
            np.full((rows, 1), 0.5, dtype=np.float32),
        )

    index, kernel = build([4], hits)
    index.search(["q", "r"], np.ones((2, 2)), k=2)
    vpos, vdist, tpos, tscore, _ = kernel.calls[0][0]
    assert tpos.tolist() == [[[1, 0], [1, 0]]] and tscore.tolist() == [[[3.0, 2.0], [3.0, 2.0]]]
    assert vpos.tolist() == [[[0], [0]]] and vdist.tolist() == [[[0.5], [0.5]]]


def test_chunked_search_equals_one_chunk(build, log):
    def hits(shard, texts, vectors, k, local):
        rows = np.asarray([int(t[1:]) for t in texts])
        text = np.stack([rows % 4, (rows + 1) % 4], axis=1).astype(np.int64)
        vector = np.stack([(rows + 2) % 4, rows % 4], axis=1).astype(np.int64)
        return text, np.ones(text.shape), vector, np.ones(vector.shape)

    index, _ = build([4, 4], hits)
    texts = [f"q{i}" for i in range(5)]
    vectors = np.arange(10, dtype=np.float32).reshape(5, 2)
    whole = index.search(texts, vectors, k=3, batch_size=5)
    log.clear()
    chunked = index.search(texts, vectors, k=3, batch_size=2)
    bounds = [(call[2][0][0], len(call[2][0])) for call in retrieves(log)[::2]]
    assert bounds == [("q0", 2), ("q2", 2), ("q4", 1)]
    assert np.array_equal(whole[0], chunked[0]) and np.array_equal(whole[1], chunked[1])
    assert chunked[0].dtype == np.int64 and chunked[1].dtype == np.float64


@pytest.mark.parametrize("k, used", [(None, 6), (2.9, 2), (np.int16(1), 1)])
def test_k_defaults_to_top_k_and_truncates(build, log, k, used):
    index, _ = build([8], top_k=6)
    positions, _ = index.search("q", np.ones(2), k=k)
    assert positions.shape == (used,) and retrieves(log)[0][2][2] == used


@pytest.mark.parametrize("k, error", [("3", TypeError), (2**31, OverflowError)])
def test_bad_k_is_refused(build, k, error):
    index, _ = build([2])
    with pytest.raises(error):
        index.search("q", np.ones(2), k=k)


def test_batch_estimate_reads_the_module_depth_each_search(shard_flow, build, monkeypatch):
    index, _ = build([2, 2, 2])
    seen = []

    def sizer(n_queries, bytes_per_query, *, batch_size, num_threads):
        seen.append((n_queries, bytes_per_query, batch_size, num_threads))
        return max(n_queries, 1)

    monkeypatch.setattr(shard_flow, "resolve_batch_size", sizer)
    monkeypatch.setattr(shard_flow, "resolve_num_threads", lambda parallel, n: 3 if parallel else 1)
    monkeypatch.setattr(shard_flow, "MAX_DEFAULT_SUB_K", 10)
    index.search(["q", "r"], np.ones((2, 2)), k=4, parallel=True, batch_size=7)
    monkeypatch.setattr(shard_flow, "MAX_DEFAULT_SUB_K", 2**62)
    index.search(["q"], np.ones((1, 2)), k=4)
    assert seen == [(2, 32 * (2 * 10 * 3 + 4), 7, 3), (1, 2**63 - 1, None, 1)]


def test_an_unusable_chunk_width_is_refused(shard_flow, build, monkeypatch):
    index, _ = build([2])
    monkeypatch.setattr(shard_flow, "resolve_batch_size", lambda *args, **kwargs: 0)
    with pytest.raises(ValueError, match="at least one query"):
        index.search(["q", "r"], np.ones((2, 2)), k=1)


@pytest.mark.parametrize(
    "result, error, message",
    [
        ([np.zeros((1, 1)), np.zeros((1, 1))], TypeError, "Expected tuple, got list"),
        ((np.zeros((1, 1)),), ValueError, "not enough values"),
    ],
)
def test_kernel_result_must_be_a_pair(build, result, error, message):
    index, kernel = build([2])
    kernel.result = result
    with pytest.raises(error, match=message):
        index.search(["q"], np.ones((1, 2)), k=1)


def test_a_shard_must_answer_four_arrays(build):
    index, _ = build([2], lambda shard, texts, vectors, k, local: (np.zeros((1, 1)),) * 3)
    with pytest.raises(ValueError, match="expected 4"):
        index.search(["q"], np.ones((1, 2)), k=1)


def test_candidates_numpy_cannot_convert_fail_before_any_shard(build, log):
    index, _ = build([2])
    with pytest.raises(TypeError, match="candidates must be integer positions"):
        index.search(["q"], np.ones((1, 2)), k=1, candidates=["x"])
    assert retrieves(log) == []


@pytest.mark.parametrize(
    "candidates, shown",
    [
        ([1.5], "float64"),
        (np.array([0.0, 1.0]), "float64"),
        ([True, False], "bool"),
        (np.array([1, 2.5], dtype=object), "an object array holding float"),
    ],
    ids=["fraction", "whole floats", "mask", "object float"],
)
def test_candidates_that_are_not_integer_positions_are_refused_not_truncated(build, log, candidates, shown):
    # 1.5 used to search position 1 and a mask positions 0 and 1.
    index, _ = build([3])
    with pytest.raises(TypeError) as caught:
        index.search(["q"], np.ones((1, 2)), k=1, candidates=candidates)
    assert str(caught.value) == f"candidates must be integer positions, got {shown}"
    assert retrieves(log) == []


def test_a_search_keeps_its_snapshot_while_a_batch_commits(build, log):
    state = {}

    def hits(shard, texts, vectors, k, local):
        if "index" in state:  # the first search adds a batch mid-way, on this thread
            index = state.pop("index")
            index.add_batch(["x", "y"], np.ones((2, 2), dtype=np.float32))
        rows = len(texts)
        zero = np.zeros((rows, 1), dtype=np.int64)
        return zero, np.ones((rows, 1)), zero.copy(), np.zeros((rows, 1))

    index, kernel = build([3], hits)
    state["index"] = index
    index.search(["q"], np.ones((1, 2)), k=2)
    assert kernel.calls[0][0][4].tolist() == [0] and index.n_shards == 2
    index.search(["q"], np.ones((1, 2)), k=2)
    assert kernel.calls[1][0][4].tolist() == [0, 3]



@pytest.mark.parametrize("n_offsets", [1, 3])
def test_the_kernel_refuses_offsets_that_are_not_one_per_shard(n_offsets):
    from tarnix_engine.kernels.fusion import _process_batch

    empty = np.full((2, 1, 1), -1, dtype=np.int64)
    blocks = (empty, np.zeros((2, 1, 1), dtype=np.float32), empty.copy(), np.zeros((2, 1, 1)))
    with pytest.raises(ValueError, match="one entry per shard"):
        _process_batch(*blocks, np.zeros(n_offsets, dtype=np.int64), top_k=1, rrf_k=2, alpha_distance=1.0, alpha_bm25=0.1)
