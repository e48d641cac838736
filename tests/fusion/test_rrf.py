"""ReciprocalRankFusion: the three fusion paths, its settings and its refusals."""

import copy
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import fusion_reference as ref
from tarnix_engine.fusion import rrf
from tarnix_engine.fusion.rrf import ReciprocalRankFusion
from tarnix_engine.kernels import fusion as kernels


def assert_same(got, expected):
    ids, scores = got
    assert ids.dtype == np.int64 and scores.dtype == np.float64
    np.testing.assert_array_equal(ids, expected[0])
    assert scores.tobytes() == np.asarray(expected[1], dtype=np.float64).tobytes()


def results(*id_lists):
    return [(np.array(ids), None) for ids in id_lists]


EXAMPLE = results([7, 3, -1], [3, 9], [9, 7, 3])


class Recorder:
    """Stands in for a kernel: records its arguments and answers `answer`."""

    def __init__(self, answer):
        self.answer = answer
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer


# ---- the in-process path ---------------------------------------------------------


@pytest.mark.parametrize(
    "weights, expected_ids, expected_scores",
    [
        # Additions in list order, so the totals are these exact floats.
        (None, [3, 7, 9, -1], [0.0 + 1 / 4 + 1 / 3 + 1 / 5, 0.0 + 1 / 3 + 1 / 4, 0.0 + 1 / 4 + 1 / 3, 0.0]),
        ([2.0, 1.0, 0.5], [3, 7, 9, -1],
         [0.0 + 2.0 / 4 + 1.0 / 3 + 0.5 / 5, 0.0 + 2.0 / 3 + 0.5 / 4, 0.0 + 1.0 / 4 + 0.5 / 3, 0.0]),
    ],
)
def test_worked_example(weights, expected_ids, expected_scores):
    assert_same(ReciprocalRankFusion(weights=weights)(EXAMPLE, 4), (expected_ids, expected_scores))


def test_worked_example_tie_goes_to_the_id_met_first():
    ids, scores = ReciprocalRankFusion()(EXAMPLE, 4)
    assert scores[1] == scores[2] and list(ids[1:3]) == [7, 9]


@pytest.mark.parametrize(
    "fusion, given_results, k, expected",
    [
        # One result fuses unweighted whatever the weights.
        (ReciprocalRankFusion(), results([4, -1, 8]), 3, ([4, 8, -1], [1 / 3, 1 / 4, 0.0])),
        (ReciprocalRankFusion(weights=[5.0, 1.0, 1.0]), results([4, -1, 8]), 3, ([4, 8, -1], [1 / 3, 1 / 4, 0.0])),
        # Repeats within a list add up.
        (ReciprocalRankFusion(), results([5, 6, 5]), 3, ([5, 6, -1], [1 / 3 + 1 / 5, 1 / 4, 0.0])),
        # No surviving id anywhere: k empty slots.
        (ReciprocalRankFusion(), results([-1, -5], [-2], [-1]), 2, ([-1, -1], [0.0, 0.0])),
        (ReciprocalRankFusion(), results([1, 2], [2], [3]), 0, ([], [])),
        # Ids as a (1, n) block, a flat array or a plain list fuse alike.
        (ReciprocalRankFusion(), [(np.array([[4, -1, 8]]), 0)], 3, ([4, 8, -1], [1 / 3, 1 / 4, 0.0])),
        (ReciprocalRankFusion(), [([4, -1, 8], 0)], 3, ([4, 8, -1], [1 / 3, 1 / 4, 0.0])),
        # Any result that unpacks into two values, float ids truncated.
        (ReciprocalRankFusion(k=0), [[np.array([2.7, -0.5]), 0]], 2, ([2, -1], [1.0, 0.0])),
    ],
)
def test_in_process_cases(fusion, given_results, k, expected):
    assert_same(fusion(given_results, k), expected)


def test_empty_results_give_two_empty_arrays_without_consulting_the_weights():
    ids, scores = ReciprocalRankFusion(weights=[1.0, 2.0, 3.0])([], 5)
    assert ids.shape == scores.shape == (0,) and ids.dtype == np.int64 and scores.dtype == np.float64


@settings(max_examples=200, deadline=None)
@given(
    lists=st.lists(st.lists(st.integers(-2, 8), max_size=10), min_size=1, max_size=5).filter(lambda x: len(x) != 2),
    rank_k=st.integers(0, 5),
    top_k=st.integers(0, 20),
    data=st.data(),
)
def test_in_process_path_equals_the_reference(lists, rank_k, top_k, data):
    w = data.draw(st.lists(st.sampled_from([1.0, 0.5, 2.0, -1.0, 0.0]), min_size=len(lists), max_size=len(lists)))
    fusion = ReciprocalRankFusion(k=rank_k, weights=w)
    used = [1.0] if len(lists) == 1 else w
    assert_same(fusion(results(*lists), top_k), ref.fuse_lists(lists, used, rank_k, top_k))


@settings(max_examples=300, deadline=None)
@given(
    a=st.lists(st.integers(-2, 8), max_size=12),
    b=st.lists(st.integers(-2, 8), max_size=12),
    w=st.lists(st.one_of(st.sampled_from([1.0, 0.5, -2.0, 0.0]), st.floats(-50, 50)), min_size=2, max_size=2),
    rank_k=st.integers(0, 5),
    top_k=st.integers(0, 25),
)
def test_two_list_kernel_equals_the_in_process_path(a, b, w, rank_k, top_k):
    fusion = ReciprocalRankFusion(k=rank_k, weights=w)
    two = results(a, b)
    assert_same(fusion(two, top_k), fusion._fuse_n_python(two, w, top_k))


def test_in_process_path_with_other_number_types_follows_the_interpreter():
    from fractions import Fraction

    fusion = ReciprocalRankFusion()
    ids, scores = fusion._fuse_n_python(results([1, 2]), [Fraction(1, 2)], 3)
    assert list(ids) == [1, 2, -1] and list(scores) == [1 / 6, 1 / 8, 0.0]
    # A NaN weight passed directly: the interpreter's sort decides the order.
    ids, _ = fusion._fuse_n_python(results([1, 2], [3]), [float("nan"), 1.0], 3)
    assert sorted(ids) == [1, 2, 3]


def test_a_weight_whose_division_shrinks_the_ranked_ids_is_read_as_they_now_are():
    # A replaced _compact hands out an array that the weight's own division
    # shrinks in place: what is left of it is read, never the freed memory.
    survivors = np.arange(1 << 16, dtype=np.int64)

    class Shrinking:
        def __truediv__(self, divisor):
            if survivors.size > 2:
                survivors.resize(2, refcheck=False)
                np.ones(1 << 20)  # takes the memory the array gave up
            return 0.5

    class Mine(ReciprocalRankFusion):
        def _compact(self, ids):
            return survivors

    ids, scores = Mine()._fuse_n_python(results([9]), [Shrinking()], 3)
    assert list(ids) == [0, 1, -1] and list(scores) == [0.5, 0.5, 0.0]


def test_ids_beyond_int64_reach_numpy_only_when_written():
    huge = np.array([2**70, 5], dtype=object)
    fusion = ReciprocalRankFusion()
    assert list(fusion([(huge, 0)], 0)[0]) == []
    with pytest.raises(OverflowError):
        fusion([(huge, 0)], 1)


# ---- the two-list path ------------------------------------------------------------


def test_two_list_path_hands_the_kernel_fresh_compacted_rows(monkeypatch):
    answer = (np.array([[1, 2]]), np.array([[0.5, 0.25]]))
    kernel = Recorder(answer)
    monkeypatch.setattr(rrf, "_rrf_kernel", kernel)
    a = np.array([[4, -1, 6]], dtype=np.int32)
    ids, scores = ReciprocalRankFusion(k=7, weights=[2, 3])([(a, None), (np.array([-1, 9]), None)], 5)
    assert ids is not answer[0] and list(ids) == [1, 2] and list(scores) == [0.5, 0.25]
    (arr_a, arr_b), kw = kernel.calls[0]
    assert kw == {"k": 7, "top_k": 5, "alpha_distance": 3.0, "alpha_bm25": 2.0}
    assert all(type(v) is float for v in (kw["alpha_distance"], kw["alpha_bm25"]))
    for arr, expected in ((arr_a, [[4, 6]]), (arr_b, [[9]])):
        assert arr.dtype == np.int64 and arr.flags.c_contiguous
        np.testing.assert_array_equal(arr, expected)
    assert not np.shares_memory(arr_a, a)


def test_two_results_must_be_tuples_one_or_three_may_be_lists():
    fusion = ReciprocalRankFusion()
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        fusion([[np.array([1]), 0], (np.array([2]), 0)], 3)
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        fusion([(np.array([1]), 0), [np.array([2]), 0]], 3)
    # None passes the tuple test and meets the exact-type test of result_a.
    with pytest.raises(TypeError, match="result_a"):
        fusion([None, (np.array([2]), 0)], 3)
    assert list(fusion([[np.array([1]), 0]], 2)[0]) == [1, -1]
    assert list(fusion([[np.array([1]), 0]] * 3, 2)[0]) == [1, -1]


@pytest.mark.parametrize(
    "result_a, result_b, weights, message",
    [
        ((), (np.array([1]), 0), [1.0, 1.0], "result_a must be a pair (ids, scores), got a tuple of length 0"),
        ((np.array([1]), 0), (np.array([1]),), [1.0, 1.0], "result_b must be a pair (ids, scores), got a tuple of length 1"),
        ((np.array([1]), 0), (np.array([1]), 0), [1.0], "two weights are needed to fuse two result lists, got 1"),
        ((np.array([1]), 0), (np.array([1]), 0), [], "two weights are needed to fuse two result lists, got 0"),
    ],
)
def test_two_list_path_refuses_short_inputs(result_a, result_b, weights, message):
    with pytest.raises(ValueError) as info:
        ReciprocalRankFusion()._fuse_two_numba(result_a, result_b, weights, 3)
    assert str(info.value) == message


def test_fuse_batch_refuses_a_replaced_weights_for_that_returns_one_weight():
    class OneWeight(ReciprocalRankFusion):
        def _weights_for(self, n_results):
            return [1.0]

    with pytest.raises(ValueError, match="^two weights are needed to fuse two result lists, got 1$"):
        OneWeight().fuse_batch(np.zeros((1, 1)), np.zeros((1, 1)), 1)
    with pytest.raises(ValueError, match="^two weights are needed to fuse two result lists, got 1$"):
        OneWeight()(results([1], [2]), 1)


def test_kernel_result_must_unpack_into_two(monkeypatch):
    monkeypatch.setattr(rrf, "_rrf_kernel", Recorder((np.zeros((1, 1)),)))
    with pytest.raises(ValueError, match="not enough values to unpack"):
        ReciprocalRankFusion()(results([1], [2]), 1)


# ---- batches --------------------------------------------------------------------------


def test_fuse_batch_row_equals_a_call_on_the_row():
    rng = np.random.default_rng(5)
    a, b = rng.integers(-1, 12, (50, 7)), rng.integers(-1, 12, (50, 4))
    fusion = ReciprocalRankFusion(k=1, weights=[1.5, 0.5])
    ids, scores = fusion.fuse_batch(a, b, 6, parallel=True)
    for i in range(len(a)):
        assert_same((ids[i], scores[i]), fusion([(a[i], 0), (b[i], 0)], 6))


@pytest.mark.parametrize("parallel, passed", [(None, False), (1, True), (0, False), ("yes", True)])
def test_fuse_batch_passes_its_arguments_to_the_kernel(monkeypatch, parallel, passed):
    answer = (np.zeros((1, 2), dtype=np.int64), np.zeros((1, 2)))
    kernel = Recorder(answer)
    monkeypatch.setattr(rrf, "_rrf_batch_kernel", kernel)
    ready = np.array([[1, 2]], dtype=np.int64)
    extra = {} if parallel is None else {"parallel": parallel}
    got = ReciprocalRankFusion(k=3, weights=[1, 4]).fuse_batch(ready, [[5.9, -1.0]], 2.5, **extra)
    assert got is answer
    (a, b), kw = kernel.calls[0]
    assert kw == {"k": 3, "top_k": 2, "alpha_distance": 4.0, "alpha_bm25": 1.0, "parallel": passed,
                  "skip_negative": True}
    assert type(kw["parallel"]) is bool
    assert a is ready  # already a C-contiguous int64 array: not copied
    assert b.dtype == np.int64 and b.flags.c_contiguous and b.tolist() == [[5, -1]]


def test_fuse_batch_refuses_a_kernel_result_that_is_not_a_tuple(monkeypatch):
    monkeypatch.setattr(rrf, "_rrf_batch_kernel", Recorder([np.zeros((1, 1)), np.zeros((1, 1))]))
    with pytest.raises(TypeError, match="^Expected tuple, got list$"):
        ReciprocalRankFusion().fuse_batch(np.zeros((1, 1)), np.zeros((1, 1)), 1)


def test_kernels_are_the_module_globals_looked_up_at_every_call(monkeypatch):
    assert rrf._rrf_kernel is kernels.merge and rrf._rrf_batch_kernel is kernels.merge_batch
    fusion = ReciprocalRankFusion()
    monkeypatch.delattr(rrf, "_rrf_kernel")
    with pytest.raises(NameError, match="_rrf_kernel"):
        fusion(results([1], [2]), 1)


# ---- the weight count -----------------------------------------------------------------


def test_weight_count_must_match_the_number_of_lists():
    fusion = ReciprocalRankFusion(weights=[1.0, 2.0, 3.0])
    message = r"^ReciprocalRankFusion has 3 weight\(s\) but is fusing 2 result list\(s\); pass one weight per list$"
    with pytest.raises(ValueError, match=message):
        fusion(results([1], [2]), 3)
    with pytest.raises(ValueError, match=message):
        fusion.fuse_batch(np.zeros((1, 1)), np.zeros((1, 1)), 3)
    assert fusion._weights_for(3) is fusion._weights
    assert fusion._weights_for(1) == [1.0] and fusion._weights_for(1) is not fusion._weights_for(1)
    assert ReciprocalRankFusion()._weights_for(3) == [1.0, 1.0, 1.0]
    assert ReciprocalRankFusion()._weights_for(-2) == []
    assert ReciprocalRankFusion()._weights_for(2.9) == [1.0, 1.0]


# ---- construction and settings ----------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, k, weights",
    [
        ({}, 2, None),
        ({"k": 2.9}, 2, None),
        ({"k": -0.5}, 0, None),
        ({"k": True}, 1, None),
        ({"k": np.int16(7)}, 7, None),
        ({"weights": [1, 2]}, 2, [1.0, 2.0]),
        ({"weights": [0.0, -1.0, True]}, 2, [0.0, -1.0, 1.0]),
    ],
)
def test_construction_stores(kwargs, k, weights):
    fusion = ReciprocalRankFusion(**kwargs)
    assert vars(fusion) == {"_k": k, "_weights": weights}
    assert type(fusion._k) is int
    assert weights is None or all(type(w) is float for w in fusion._weights)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"k": -1}, ValueError, "k must be >= 0, got -1"),
        ({"k": "2"}, TypeError, "Argument 'k' has incorrect type (expected int, got str)"),
        ({"k": None}, TypeError, "Argument 'k' has incorrect type (expected int, got NoneType)"),
        ({"weights": []}, ValueError, "weights must be None or a non-empty list"),
        ({"weights": [1.0, float("nan")]}, ValueError, "weights must be finite, got [1.0, nan]"),
        ({"weights": [2, float("-inf")]}, ValueError, "weights must be finite, got [2.0, -inf]"),
        ({"weights": (1.0, 2.0)}, TypeError, "Argument 'weights' has incorrect type (expected list, got tuple)"),
        ({"weights": ["1.0"]}, TypeError, "must be real number, not str"),
        # k is converted first, then the weights' type, then k's range.
        ({"k": -1, "weights": (1.0,)}, TypeError, "expected list, got tuple"),
        ({"k": "x", "weights": (1.0,)}, TypeError, "Argument 'k'"),
    ],
)
def test_construction_refuses(kwargs, error, message):
    with pytest.raises(error) as info:
        ReciprocalRankFusion(**kwargs)
    assert message in str(info.value)


def test_int_conversion_errors_pass_through():
    with pytest.raises(ValueError, match="NaN"):
        ReciprocalRankFusion(k=float("nan"))
    with pytest.raises(OverflowError):
        ReciprocalRankFusion(k=float("inf"))


def test_config_round_trip_and_its_refusals():
    fusion = ReciprocalRankFusion(k=5, weights=[1.0, 0.5])
    config = fusion.config()
    assert list(config) == ["type", "k", "weights"] and config["weights"] is fusion._weights
    assert ReciprocalRankFusion().config() == {"type": "rrf", "k": 2, "weights": None}
    back = ReciprocalRankFusion.from_config(config | {"extra": 1})
    assert vars(back) == vars(fusion)
    assert vars(ReciprocalRankFusion.from_config({"type": "rrf", "k": 2.5, "weights": [1, 2]})) == {
        "_k": 2, "_weights": [1.0, 2.0]}
    for bad in ({"k": 2, "weights": None}, {"type": "other", "k": 2}):
        with pytest.raises(ValueError) as info:
            ReciprocalRankFusion.from_config(bad)
        assert str(info.value) == f"not a ReciprocalRankFusion config: {bad!r}"
    with pytest.raises(KeyError, match="'k'"):
        ReciprocalRankFusion.from_config({"type": "rrf"})
    with pytest.raises(KeyError, match="'weights'"):
        ReciprocalRankFusion.from_config({"type": "rrf", "k": 1})
    with pytest.raises(TypeError, match=r"Argument 'config' has incorrect type \(expected dict, got list\)"):
        ReciprocalRankFusion.from_config([])
    with pytest.raises(ValueError, match="k must be >= 0"):
        ReciprocalRankFusion.from_config({"type": "rrf", "k": -3, "weights": None})


# ---- a plain class --------------------------------------------------------------------


class Tracing(ReciprocalRankFusion):
    """Replaces every overridable step and logs that it ran."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.log = []

    def _weights_for(self, n_results):
        self.log.append("weights_for")
        return super()._weights_for(n_results)

    @staticmethod
    def _compact(ids):
        ids = np.asarray(ids).ravel()
        return ids[(ids >= 0) & (ids != 3)]  # also drops id 3

    def _fuse_two_numba(self, result_a, result_b, weights, k):
        self.log.append("two")
        return super()._fuse_two_numba(result_a, result_b, weights, k)

    def _fuse_n_python(self, results, weights, k):
        self.log.append("n")
        return super()._fuse_n_python(results, weights, k)


def test_operations_reach_the_steps_through_the_instance():
    fusion = Tracing()
    assert list(fusion(EXAMPLE, 4)[0]) == [9, 7, -1, -1]
    assert list(fusion(results([3, 1], [1]), 2)[0]) == [1, -1]
    fusion.fuse_batch(np.zeros((1, 1)), np.zeros((1, 1)), 1)
    assert fusion.log == ["weights_for", "n", "weights_for", "two", "weights_for"]


def test_subclass_from_config_and_pickling_as_for_a_python_class():
    fusion = Tracing.from_config({"type": "rrf", "k": 4, "weights": [1.0, 2.0]})
    assert type(fusion) is Tracing
    plain = ReciprocalRankFusion(k=3, weights=[1.0, 2.0])
    for original in (plain, fusion):
        for clone in (pickle.loads(pickle.dumps(original)), copy.deepcopy(original)):
            assert type(clone) is type(original) and vars(clone) == vars(original)
    assert ReciprocalRankFusion.__module__ == "tarnix_engine.fusion.rrf" and ReciprocalRankFusion.__bases__ == (object,)


def test_compact_keeps_the_element_type_and_drops_every_negative():
    for ids, dtype in ((np.array([[3, -2], [-1, 0]], dtype=np.int32), np.int32), (np.array([1.5, -0.5, np.nan]), float),
                       ([4, -1, 2], np.int64), (np.array([2, -7], dtype=np.int8), np.int8)):
        out = ReciprocalRankFusion._compact(ids)
        assert out.dtype == dtype and out.ndim == 1
    np.testing.assert_array_equal(ReciprocalRankFusion._compact(np.array([[3, -2], [-1, 0]])), [3, 0])
    np.testing.assert_array_equal(ReciprocalRankFusion._compact(np.array([1.5, -0.5, np.nan])), [1.5])


def test_three_item_result_in_the_in_process_path_fails_to_unpack():
    with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
        ReciprocalRankFusion()([(np.array([1]), 0, 0)], 3)


def test_negative_k_in_the_in_process_path_is_numpy_s_error():
    with pytest.raises(ValueError, match="negative dimensions are not allowed"):
        ReciprocalRankFusion()(results([1]), -1)
