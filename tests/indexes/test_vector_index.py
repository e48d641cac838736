"""The vector index: construction, fit, add, update, delete and alignment.

The index keeps every row in two components (binary codes for the shortlist,
8-bit codes for the rerank) beside the ids list; most tests here check that
the three stay the same length and in the same order, also when an operation
fails half-way.
"""

import json
import shutil
import tempfile
import types
from pathlib import Path

import numpy as np
import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from tarnix_engine._types import _Parameters
from tarnix_engine.indexes import _tarnix_impl
from tarnix_engine.indexes._tarnix_impl import _TarnixCore, _VectorStore
from tarnix_engine.kernels.packing import encode_dataset


def core_order(index, queries):
    """The binary index's full Hamming ranking of every stored row per query.

    Two indexes whose binary codes agree row for row rank identically, so this
    is how a test sees the component that has no public row accessor.
    """
    q = np.ascontiguousarray(np.atleast_2d(queries), dtype=np.float32)
    return np.asarray(index.coreindex.search_full(q, index.size, False)[0])


def assert_aligned(index, ids):
    assert index.ids == ids
    assert index.size == len(ids) == index._matrix.shape[0] == index.coreindex.matrix.rows


def twin(index, rows):
    """A fresh index holding ``rows`` under the same frozen quantisation."""
    other = _TarnixCore()
    other.fit(np.ascontiguousarray(rows, dtype=np.float32), params=index._params)
    return other


def snapshot(index, read_meta, queries):
    return {
        "ids": list(index.ids),
        "matrix": index._matrix.copy(),
        "core": core_order(index, queries),
        "meta": read_meta(index),
    }


def assert_unchanged(index, before, read_meta, queries):
    assert index.ids == before["ids"]
    np.testing.assert_array_equal(index._matrix, before["matrix"])
    np.testing.assert_array_equal(core_order(index, queries), before["core"])
    assert read_meta(index) == before["meta"]
    assert index.coreindex.matrix.rows == len(before["ids"])


# ---------------------------------------------------------------------------
# construction and properties


def test_new_index_is_empty_and_untrained():
    index = _TarnixCore()
    assert index.size == 0
    assert index.is_trained is False
    assert index._params is None
    assert index._matrix is None
    assert index.ids == []
    assert index.index_type == "tarnix"
    assert index.ids is index.ids


@pytest.mark.parametrize(
    "args, kwargs",
    [((1, 2), {}), ((), {"k": 3}), ((5,), {"n_candidates": 5})],
)
def test_constructor_refuses_bad_arguments(args, kwargs):
    with pytest.raises(TypeError, match="_TarnixCore"):
        _TarnixCore(*args, **kwargs)


@pytest.mark.parametrize("name", ["coreindex", "ids", "size", "is_trained", "index_type", "_params", "_matrix"])
def test_properties_are_read_only(fitted, name):
    with pytest.raises(AttributeError):
        setattr(fitted.index, name, None)


@pytest.mark.parametrize("name", ["vectorstore", "n_candidates", "d_scale"])
def test_internal_fields_are_not_exposed(fitted, name):
    assert not hasattr(fitted.index, name)


def test_trained_properties_hand_out_the_held_objects(fitted):
    index = fitted.index
    assert index.is_trained is True
    assert index.size == 40
    assert index._matrix is index._matrix
    assert index._matrix.dtype == np.uint8 and index._matrix.shape == (40, 8)
    params = index._params
    assert isinstance(params, _Parameters)
    assert params.boundaries is index._params.boundaries
    assert params.boundaries.shape == (8, 256)
    np.testing.assert_array_equal(params.fit_values, index.coreindex.medians)


# ---------------------------------------------------------------------------
# automatic shortlist size and score scale


@pytest.mark.parametrize(
    "rows, cap, expected",
    [
        (1, None, 1),
        (3, None, 2),
        (100, None, 44),
        (1000, None, 437),
        (9390, None, 4096),
        (9391, None, 4096),
        (9391, 10**9, 4097),
        (10000, 10**9, 4362),
        (18923, 10**9, 8254),
        (10**6, 10**9, 60000),
        (100, 7, 7),
    ],
)
def test_automatic_shortlist_size(monkeypatch, read_meta, rows, cap, expected):
    if cap is not None:
        monkeypatch.setattr(_tarnix_impl, "MAX_DEFAULT_N_CANDIDATES", cap)
    data = np.random.default_rng(rows).standard_normal((rows, 4), dtype=np.float32)
    index = _TarnixCore()
    index.fit(data)
    assert read_meta(index)["n_candidates"] == expected


def test_shortlist_size_is_kept_once_set(monkeypatch, read_meta, vectors):
    monkeypatch.setattr(_tarnix_impl, "MAX_DEFAULT_N_CANDIDATES", 7)
    index = _TarnixCore()
    index.add([str(i) for i in range(100)], vectors(100, 4))
    monkeypatch.setattr(_tarnix_impl, "MAX_DEFAULT_N_CANDIDATES", 4096)
    index.add([f"x{i}" for i in range(900)], vectors(900, 4, seed=1))
    assert read_meta(index)["n_candidates"] == 7
    index.fit(vectors(1000, 4, seed=2))
    assert read_meta(index)["n_candidates"] == 7


def test_automatic_size_from_the_first_fit_survives_growth(read_meta, vectors):
    index = _TarnixCore()
    index.fit(vectors(100, 4))
    index.add([f"x{i}" for i in range(900)], vectors(900, 4, seed=1))
    assert read_meta(index)["n_candidates"] == 44


def test_explicit_shortlist_size_survives_fit_and_add(read_meta, vectors):
    index = _TarnixCore(n_candidates=50)
    index.fit(vectors(10, 4))
    index.add([f"x{i}" for i in range(500)], vectors(500, 4, seed=1))
    index.fit(vectors(3, 4, seed=2))
    assert read_meta(index)["n_candidates"] == 50


def test_score_scale_follows_fit_and_add_only(read_meta, vectors, expected_d_scale):
    index = _TarnixCore()
    index.fit(vectors(30, 5))
    assert read_meta(index)["d_scale"] == expected_d_scale(index._matrix)

    # Rows far outside the fitted range clip to the end codes and raise the variance.
    index.add(["far0", "far1"], np.full((2, 5), 50.0, dtype=np.float32))
    after_add = read_meta(index)["d_scale"]
    assert after_add == expected_d_scale(index._matrix)

    index.update(["0", "1", "2"], np.full((3, 5), -50.0, dtype=np.float32))
    index.delete(["3", "4", "far0"])
    assert expected_d_scale(index._matrix) != pytest.approx(after_add, rel=1e-9)
    assert read_meta(index)["d_scale"] == after_add


@pytest.mark.parametrize("rows", [1, 7, 1000])
@pytest.mark.parametrize("dim", [1, 7, 8, 130, 384])
def test_score_scale_equals_numpy_to_the_bit(read_meta, expected_d_scale, rows, dim):
    # Column counts past 8 and 128 take numpy's blocked and recursive sums.
    data = np.random.default_rng(rows * 1000 + dim).standard_normal((rows, dim), dtype=np.float32)
    data *= np.random.default_rng(dim).uniform(0.1, 50.0, dim).astype(np.float32)
    index = _TarnixCore()
    index.fit(data)
    assert read_meta(index)["d_scale"] == expected_d_scale(index._matrix)


def test_constant_codes_give_unit_scale(read_meta):
    index = _TarnixCore()
    index.fit(np.ones((6, 3), dtype=np.float32))
    assert read_meta(index)["d_scale"] == 1.0


@pytest.mark.parametrize("dim", [1, 8])
def test_score_scale_of_a_large_index_uses_the_seeded_sample(read_meta, expected_d_scale, dim):
    n = 100_500
    data = np.random.default_rng(7).standard_normal((n, dim), dtype=np.float32)
    # The rows the sample leaves out are made extreme, so the variance of the
    # whole matrix is clearly not what the index must report.
    sample = np.random.default_rng(42).choice(n, size=100_000, replace=False)
    data[np.setdiff1d(np.arange(n), sample)] *= 20
    index = _TarnixCore()
    index.fit(data)
    full = 2.0 * float(index._matrix.var(axis=0, dtype=np.float64).sum())
    want = expected_d_scale(index._matrix[sample])
    assert want != pytest.approx(full, rel=1e-6)
    assert read_meta(index)["d_scale"] == want


# ---------------------------------------------------------------------------
# fit


def test_fit_numbers_rows_of_a_new_index(vectors):
    index = _TarnixCore()
    assert index.fit(vectors(5, 4)) is None
    assert_aligned(index, ["0", "1", "2", "3", "4"])


@pytest.mark.parametrize("rows, expected", [(3, ["a", "b", "c"]), (5, ["0", "1", "2", "3", "4"]), (2, ["0", "1"])])
def test_refit_keeps_ids_only_when_the_count_matches(vectors, rows, expected):
    index = _TarnixCore()
    index.add(["a", "b", "c"], vectors(3, 4))
    index.fit(vectors(rows, 4, seed=9))
    assert_aligned(index, expected)


def test_refit_retrains_both_components(fitted, vectors, codes_of):
    index = fitted.index
    old_core, old_edges = index.coreindex, index._params.boundaries
    data = vectors(40, 8, seed=99) * 3
    index.fit(data)
    assert index._params.boundaries is not old_edges
    np.testing.assert_array_equal(index._matrix, codes_of(data, index._params.boundaries))
    assert index.coreindex is not old_core
    np.testing.assert_array_equal(core_order(index, data), core_order(twin(index, data), data))


@pytest.mark.parametrize("as_record", [True, False])
def test_fit_with_params_reuses_the_given_quantisation(fitted, vectors, codes_of, as_record):
    params = fitted.index._params
    if not as_record:
        params = types.SimpleNamespace(boundaries=params.boundaries, fit_values=params.fit_values)
    data = vectors(6, 8, seed=4) * 5
    index = _TarnixCore()
    index.fit(data, params=params)
    assert index._params.boundaries is params.boundaries
    np.testing.assert_array_equal(index._params.fit_values, params.fit_values)
    np.testing.assert_array_equal(index._matrix, codes_of(data, params.boundaries))
    assert_aligned(index, [str(i) for i in range(6)])


class _Explodes:
    """Parameters whose edges cannot be read: fails after the binary half trained."""

    def __init__(self, params):
        self.fit_values = params.fit_values

    @property
    def boundaries(self):
        raise RuntimeError("injected")


@pytest.mark.parametrize("failure", ["non-finite", "edges", "store-encoding", "core-fit"])
def test_failed_fit_leaves_the_index_as_it_was(flaky_core, monkeypatch, read_meta, vectors, failure):
    index = _TarnixCore()
    index.add([f"d{i}" for i in range(30)], vectors(30, 6))
    probe = vectors(4, 6, seed=5)
    before = snapshot(index, read_meta, probe)
    core, matrix, edges = index.coreindex, index._matrix, index._params.boundaries
    hits = index.search(probe, 5)

    data, kwargs = vectors(12, 6, seed=6), {}
    if failure == "non-finite":
        data[3, 1] = np.nan
    elif failure == "edges":
        kwargs["params"] = _Explodes(index._params)
    elif failure == "store-encoding":
        monkeypatch.setattr(_tarnix_impl, "encode_dataset", _raise_injected)
    else:
        flaky_core.fail = {"fit"}
    with pytest.raises(Exception):
        index.fit(data, **kwargs)
    monkeypatch.setattr(_tarnix_impl, "encode_dataset", encode_dataset)
    flaky_core.fail = set()

    assert index.coreindex is core
    assert index._matrix is matrix
    assert index._params.boundaries is edges
    assert_unchanged(index, before, read_meta, probe)
    assert index.search(probe, 5) == hits


def _raise_injected(*args, **kwargs):
    raise RuntimeError("injected")


def test_failed_fit_of_a_new_index_leaves_it_untrained(monkeypatch, vectors):
    monkeypatch.setattr(_tarnix_impl, "encode_dataset", _raise_injected)
    index = _TarnixCore()
    with pytest.raises(RuntimeError, match="injected"):
        index.fit(vectors(5, 4))
    assert index.is_trained is False and index.size == 0 and index.ids == []


# ---------------------------------------------------------------------------
# add


def test_add_of_one_vector(fitted, codes_of):
    index = fitted.index
    held = index.ids
    vector = np.linspace(-1, 1, 8, dtype=np.float32)
    assert index.add(["a"], vector) is None
    assert_aligned(index, fitted.ids + ["a"])
    assert index.ids is held  # the held list grows in place
    np.testing.assert_array_equal(index._matrix[-1], codes_of(vector, index._params.boundaries)[0])
    assert index.search(vector, 1)[0].id == "a"


def test_first_add_trains_on_any_array_like_and_copies_the_ids():
    rows = [[0.0, 1.0, 2.0], [1.0, 0.5, 0.0], [2.0, 0.0, 1.0]]
    ids = ["x", "y", "z"]
    index = _TarnixCore()
    index.add(ids, rows)
    ids.append("w")
    assert_aligned(index, ["x", "y", "z"])
    assert index._params.boundaries.shape == (3, 256)


def test_repeated_ids_take_several_positions(fitted, vectors):
    index = fitted.index
    index.add(["dup", "dup"], vectors(2, 8, seed=77))
    assert index.ids[-2:] == ["dup", "dup"]
    index.delete(["dup"])
    assert_aligned(index, fitted.ids)


NAN_ROW = [[np.nan] * 8]


@pytest.mark.parametrize(
    "ids, rows, error, message",
    [
        (["a", "b"], np.zeros((2, 3, 4)), ValueError, "vectors must be 1D or 2D, got shape (2, 3, 4)"),
        (["a"], [[[1.0, 2.0]]], ValueError, "vectors must be 1D or 2D, got shape (1, 1, 2)"),
        (["a"] * 5, np.zeros((2, 3, 4)), ValueError, "vectors must be 1D or 2D, got shape (2, 3, 4)"),
        (["a", "b"], np.zeros((3, 8)), ValueError, "ids and vectors must be the same length: got 2 ids and 3 vectors"),
        (["a", "b"], NAN_ROW, ValueError, "ids and vectors must be the same length: got 2 ids and 1 vectors"),
        (["a", "b"], np.zeros((2, 3)), ValueError, "vectors must have dimension 8 to match the index, got shape (2, 3)"),
        (None, np.zeros((2, 8)), TypeError, "object of type 'NoneType' has no len()"),
    ],
    ids=["3-D", "3-D list", "shape before length", "length", "length before finiteness", "dimension", "ids None"],
)
def test_add_refusals_change_nothing(fitted, read_meta, ids, rows, error, message):
    index = fitted.index
    before = snapshot(index, read_meta, fitted.vectors[:3])
    with pytest.raises(error) as raised:
        index.add(ids, rows)
    assert str(raised.value) == message
    assert_unchanged(index, before, read_meta, fitted.vectors[:3])


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_add_refuses_non_finite_vectors_before_the_dimension_check(fitted, read_meta, bad):
    index = fitted.index
    before = snapshot(index, read_meta, fitted.vectors[:3])
    wrong_width = np.zeros((1, 3), dtype=np.float32)
    wrong_width[0, 1] = bad
    with pytest.raises(Exception) as raised:
        index.add(["a"], wrong_width)
    assert "must have dimension" not in str(raised.value)
    right_width = np.zeros((1, 8), dtype=np.float32)
    right_width[0, 7] = bad
    with pytest.raises(Exception):
        index.add(["a"], right_width)
    assert_unchanged(index, before, read_meta, fitted.vectors[:3])


@pytest.mark.parametrize("ids", [("a",), type("IdList", (list,), {})(["a"])], ids=["tuple", "list subclass"])
def test_add_takes_exactly_a_list_of_ids(fitted, ids):
    with pytest.raises(TypeError, match="ids"):
        fitted.index.add(ids, np.zeros((1, 8), dtype=np.float32))
    assert_aligned(fitted.index, fitted.ids)


def test_add_rolls_back_the_binary_half_when_the_store_fails(fitted, monkeypatch, read_meta, vectors):
    index = fitted.index
    before = snapshot(index, read_meta, fitted.vectors[:3])
    monkeypatch.setattr(_tarnix_impl, "encode_dataset", _raise_injected)
    with pytest.raises(RuntimeError, match="injected"):
        index.add(["n0", "n1", "n2"], vectors(3, 8, seed=50))
    monkeypatch.undo()
    assert_unchanged(index, before, read_meta, fitted.vectors[:3])

    # The halves still agree: later rows land at the same positions in both.
    fresh = vectors(2, 8, seed=51)
    index.add(["n3", "n4"], fresh)
    assert_aligned(index, fitted.ids + ["n3", "n4"])
    assert [hit[0].id for hit in index.search(fresh, 1)] == ["n3", "n4"]
    np.testing.assert_array_equal(
        core_order(index, fresh), core_order(twin(index, np.vstack([fitted.vectors, fresh])), fresh)
    )


def test_add_failing_in_the_binary_half_changes_nothing(flaky_core, read_meta, vectors):
    index = _TarnixCore()
    index.add([f"d{i}" for i in range(20)], vectors(20, 4))
    before = snapshot(index, read_meta, vectors(3, 4, seed=1))
    flaky_core.fail = {"append"}
    with pytest.raises(RuntimeError, match="injected"):
        index.add(["n0"], vectors(1, 4, seed=2))
    flaky_core.fail = set()
    assert_unchanged(index, before, read_meta, vectors(3, 4, seed=1))


def test_first_add_whose_training_fails_leaves_the_index_untrained(monkeypatch, vectors):
    monkeypatch.setattr(_tarnix_impl, "encode_dataset", _raise_injected)
    index = _TarnixCore()
    with pytest.raises(RuntimeError, match="injected"):
        index.add(["a", "b"], vectors(2, 4))
    assert index.is_trained is False and index.ids == [] and index.size == 0


def test_first_add_goes_through_an_overridden_fit(vectors):
    calls = []

    class Recording(_TarnixCore):
        def fit(self, embeddings, parallel=False, params=None):
            calls.append((embeddings, parallel, params))
            super().fit(embeddings, parallel=parallel, params=params)

    index = Recording()
    index.add(["a", "b", "c"], vectors(3, 4).astype(np.float64), parallel=1)
    [(embeddings, parallel, params)] = calls
    assert embeddings.dtype == np.float32 and embeddings.flags.c_contiguous
    assert embeddings.shape == (3, 4)
    assert parallel is True and params is None
    assert_aligned(index, ["a", "b", "c"])

    index.add(["d"], vectors(1, 4, seed=3))
    assert len(calls) == 1  # a trained index appends instead of refitting


def test_operations_reach_overridden_store_methods_by_name(fitted, with_store, vectors):
    calls = []

    class Recording(_VectorStore):
        def _append_rows(self, embeddings, parallel):
            calls.append(("append", embeddings.shape, parallel))
            super()._append_rows(embeddings, parallel)

        def _update_row(self, doc_id, vector):
            calls.append(("update", doc_id, np.asarray(vector).shape))
            super()._update_row(doc_id, vector)

        def _delete_rows(self, positions):
            calls.append(("delete", list(positions)))
            super()._delete_rows(positions)

    index = with_store(fitted.index, Recording)
    index.add(["n0", "n1"], vectors(2, 8, seed=5), parallel=True)
    index.update(["d3"], vectors(1, 8, seed=6)[0])
    index.delete(["d5", "d1"])
    assert calls == [("append", (2, 8), True), ("update", 3, (8,)), ("delete", [1, 5])]
    assert_aligned(index, [i for i in fitted.ids + ["n0", "n1"] if i not in ("d1", "d5")])


# ---------------------------------------------------------------------------
# update


def test_update_replaces_the_row_in_both_components(fitted, codes_of):
    index = fitted.index
    vector = np.full(8, 0.25, dtype=np.float32)
    assert index.update(["d7"], vector) is None
    rows = fitted.vectors.copy()
    rows[7] = vector
    assert_aligned(index, fitted.ids)
    np.testing.assert_array_equal(index._matrix, codes_of(rows, index._params.boundaries))
    np.testing.assert_array_equal(core_order(index, rows), core_order(twin(index, rows), rows))


def test_update_of_several_ids_pairs_them_in_order(fitted, codes_of, vectors):
    index = fitted.index
    new = vectors(3, 8, seed=31)
    index.update(["d9", "d0", "d20"], new.tolist())
    rows = fitted.vectors.copy()
    rows[[9, 0, 20]] = new
    np.testing.assert_array_equal(index._matrix, codes_of(rows, index._params.boundaries))
    np.testing.assert_array_equal(core_order(index, rows), core_order(twin(index, rows), rows))


def test_update_of_an_id_held_twice_rewrites_the_later_row(fitted, vectors, codes_of):
    index = fitted.index
    pair = vectors(2, 8, seed=40)
    index.add(["twice", "twice"], pair)
    before = index._matrix.copy()
    vector = np.full(8, -0.5, dtype=np.float32)
    index.update(["twice"], vector)
    np.testing.assert_array_equal(index._matrix[:-1], before[:-1])
    np.testing.assert_array_equal(index._matrix[-1], codes_of(vector, index._params.boundaries)[0])


def test_update_keeps_shortlist_size_and_score_scale(fitted, read_meta):
    index = fitted.index
    meta = read_meta(index)
    index.update(fitted.ids[:10], np.full((10, 8), 40.0, dtype=np.float32))
    assert read_meta(index) == meta


@pytest.mark.parametrize(
    "ids, new, error, message",
    [
        (["d1", "d2", "zz"], 3, KeyError, "'zz'"),
        (["zz", "d1"], 2, KeyError, "'zz'"),
        (["d1", "d2"], 3, ValueError, "ids and vectors must be the same length: got 2 ids and 3 vectors"),
        (["d1", "d2", "d3"], 2, ValueError, "ids and vectors must be the same length: got 3 ids and 2 vectors"),
        (["d1"], "narrow", ValueError, "vectors must have dimension 8 to match the index, got shape (1, 3)"),
        (["d1", "d2"], "non-finite", None, None),
        (("d1",), 1, TypeError, None),
        (None, 1, TypeError, None),
    ],
    ids=["unknown last", "unknown first", "more vectors", "more ids", "dimension", "non-finite last", "tuple", "None"],
)
def test_update_checks_everything_before_the_first_write(fitted, read_meta, vectors, ids, new, error, message):
    index = fitted.index
    if new == "narrow":
        new = np.zeros((1, 3), dtype=np.float32)
    elif new == "non-finite":
        new = vectors(2, 8, seed=3)
        new[1, 4] = np.inf
    else:
        new = vectors(new, 8, seed=3)
    before = snapshot(index, read_meta, fitted.vectors[:3])
    with pytest.raises(Exception) as raised:
        index.update(ids, new)
    if error is not None:
        assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert_unchanged(index, before, read_meta, fitted.vectors[:3])


def test_update_failing_in_the_store_keeps_the_halves_aligned(fitted, monkeypatch, read_meta):
    index = fitted.index
    queries = fitted.vectors[:5]
    before = snapshot(index, read_meta, queries)
    monkeypatch.setattr(_tarnix_impl, "encode_dataset", _raise_injected)
    with pytest.raises(RuntimeError, match="injected"):
        index.update(["d1", "d2"], np.full((2, 8), 3.0, dtype=np.float32))
    monkeypatch.undo()
    # Neither half may keep a row the other one does not have.
    assert_unchanged(index, before, read_meta, queries)


def test_update_failing_in_the_binary_half_part_way_keeps_the_halves_aligned(vectors, codes_of, monkeypatch):
    # The binary half takes the first pair and refuses the second: the store
    # must end at the same point, holding the first pair only.
    calls = []
    real = _tarnix_impl._CoreIndex

    class SecondUpdateFails:
        def __init__(self):
            self._inner = real()

        def update_vector(self, position, vector):
            calls.append(position)
            if len(calls) == 2:
                raise RuntimeError("injected")
            return self._inner.update_vector(position, vector)

        def __getattr__(self, name):
            return getattr(self._inner, name)

    monkeypatch.setattr(_tarnix_impl, "_CoreIndex", SecondUpdateFails)
    data = vectors(12, 8, seed=3)
    index = _TarnixCore()
    index.add([f"d{i}" for i in range(12)], data)
    new = vectors(3, 8, seed=4)
    with pytest.raises(RuntimeError, match="injected"):
        index.update(["d1", "d5", "d1"], new)
    expected = data.copy()
    expected[1] = new[0]
    np.testing.assert_array_equal(index._matrix, codes_of(expected, index._params.boundaries))
    monkeypatch.undo()
    queries = vectors(4, 8, seed=5)
    np.testing.assert_array_equal(core_order(index, queries), core_order(twin(index, expected), queries))


def test_save_refuses_ids_that_would_not_load_back(tmp_path, vectors):
    index = _TarnixCore()
    index.add([1, 2], vectors(2, 4))
    with pytest.raises(TypeError, match=r"^Expected str, got int$"):
        index.save(str(tmp_path / "index"))
    assert list(tmp_path.iterdir()) == []


def test_update_on_an_untrained_index_knows_no_id():
    with pytest.raises(KeyError, match="'a'"):
        _TarnixCore().update(["a"], np.zeros(4, dtype=np.float32))


# ---------------------------------------------------------------------------
# delete


def test_delete_closes_the_gap_keeping_order(vectors, codes_of):
    data = vectors(3, 4)
    index = _TarnixCore()
    index.add(["a", "b", "c"], data)
    assert index.delete(["b"]) is None
    assert_aligned(index, ["a", "c"])
    np.testing.assert_array_equal(index._matrix, codes_of(data[[0, 2]], index._params.boundaries))
    assert [hit[0].id for hit in index.search(data[[2, 0]], 1)] == ["c", "a"]


def test_delete_of_several_ids_in_any_order(fitted, codes_of):
    index = fitted.index
    index.delete(["d30", "d2", "d2", "d17"])
    keep = [i for i in range(40) if i not in (2, 17, 30)]
    assert_aligned(index, [fitted.ids[i] for i in keep])
    rows = fitted.vectors[keep]
    np.testing.assert_array_equal(index._matrix, codes_of(rows, index._params.boundaries))
    np.testing.assert_array_equal(core_order(index, rows), core_order(twin(index, rows), rows))


@pytest.mark.parametrize(
    "ids, message",
    [(["x"], "IDs not in index: {'x'}"), (["d1", "x"], "IDs not in index: {'x'}")],
)
def test_delete_of_unknown_ids_removes_nothing(fitted, read_meta, ids, message):
    before = snapshot(fitted.index, read_meta, fitted.vectors[:3])
    with pytest.raises(KeyError) as raised:
        fitted.index.delete(ids)
    assert raised.value.args == (message,)
    assert_unchanged(fitted.index, before, read_meta, fitted.vectors[:3])


@pytest.mark.parametrize("ids", [("d1",), None])
def test_delete_takes_a_list(fitted, ids):
    with pytest.raises(TypeError):
        fitted.index.delete(ids)
    assert_aligned(fitted.index, fitted.ids)


def test_delete_of_nothing_changes_nothing(fitted, read_meta):
    before = snapshot(fitted.index, read_meta, fitted.vectors[:3])
    fitted.index.delete([])
    assert_unchanged(fitted.index, before, read_meta, fitted.vectors[:3])


def test_delete_keeps_shortlist_size_and_score_scale(fitted, read_meta):
    meta = read_meta(fitted.index)
    fitted.index.delete(fitted.ids[:25])
    assert read_meta(fitted.index) == meta


def test_deleting_every_row_leaves_a_trained_empty_index(fitted, vectors):
    index = fitted.index
    index.delete(list(fitted.ids))
    assert index.is_trained is True
    assert_aligned(index, [])
    fresh = vectors(2, 8, seed=12)
    index.add(["p", "q"], fresh)
    assert_aligned(index, ["p", "q"])
    assert [hit[0].id for hit in index.search(fresh, 1)] == ["p", "q"]


def test_delete_failing_in_the_binary_half_changes_nothing(flaky_core, read_meta, vectors):
    index = _TarnixCore()
    index.add([f"d{i}" for i in range(20)], vectors(20, 4))
    before = snapshot(index, read_meta, vectors(3, 4, seed=1))
    flaky_core.fail = {"delete_rows"}
    with pytest.raises(RuntimeError, match="injected"):
        index.delete(["d3", "d4"])
    flaky_core.fail = set()
    assert_unchanged(index, before, read_meta, vectors(3, 4, seed=1))


def test_delete_failing_in_the_store_keeps_the_halves_aligned(fitted, with_store):
    class Failing(_VectorStore):
        def _delete_rows(self, positions):
            raise RuntimeError("injected")

    index = with_store(fitted.index, Failing)
    with pytest.raises(RuntimeError, match="injected"):
        index.delete(["d3", "d4"])
    assert_aligned(index, fitted.ids)


# ---------------------------------------------------------------------------
# alignment under any sequence of operations

DIM = 6
SEEDS = st.integers(0, 2**32 - 1)


class AlignedIndex(RuleBasedStateMachine):
    """Drives an index and a plain model (ids plus float32 rows) side by side.

    The shortlist is made wider than any index here, so an exact stored
    vector is always reranked and must come back at distance 0.
    """

    def __init__(self):
        super().__init__()
        self.index = _TarnixCore(n_candidates=10**6)
        self.ids = []
        self.rows = np.empty((0, DIM), dtype=np.float32)
        self.scale = None
        self.serial = 0
        self.folder = Path(tempfile.mkdtemp())

    def teardown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def fresh(self, n, seed):
        return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)

    def new_ids(self, n):
        self.serial += n
        return [f"n{self.serial - n + i}" for i in range(n)]

    def rescale(self):
        m = self.index._matrix
        total = 2.0 * float(m.var(axis=0, dtype=np.float64).sum()) if len(m) else 0.0
        self.scale = total if total > 0 else 1.0

    @rule(n=st.integers(1, 5), seed=SEEDS)
    def add(self, n, seed):
        vectors, ids = self.fresh(n, seed), self.new_ids(n)
        self.index.add(list(ids), vectors)
        self.ids += ids
        self.rows = np.vstack([self.rows, vectors])
        self.rescale()

    @rule(n=st.integers(1, 6), seed=SEEDS)
    def fit(self, n, seed):
        vectors = self.fresh(n, seed)
        self.index.fit(vectors)
        if not (self.ids and len(self.ids) == n):
            self.ids = [str(i) for i in range(n)]
        self.rows = vectors.copy()
        self.rescale()

    @precondition(lambda self: self.ids)
    @rule(data=st.data(), seed=SEEDS)
    def update(self, data, seed):
        picks = data.draw(st.lists(st.integers(0, len(self.ids) - 1), min_size=1, max_size=3, unique=True))
        vectors = self.fresh(len(picks), seed)
        self.index.update([self.ids[p] for p in picks], vectors)
        self.rows[picks] = vectors

    @precondition(lambda self: self.ids)
    @rule(data=st.data())
    def delete(self, data):
        picks = data.draw(st.lists(st.integers(0, len(self.ids) - 1), max_size=4, unique=True))
        drop = {self.ids[p] for p in picks}
        self.index.delete([self.ids[p] for p in picks])
        keep = [i for i, x in enumerate(self.ids) if x not in drop]
        self.ids = [self.ids[i] for i in keep]
        self.rows = self.rows[keep]

    @precondition(lambda self: self.index.is_trained)
    @rule()
    def reload(self):
        self.index.save(str(self.folder))
        self.index = _TarnixCore.load(str(self.folder))

    # Refusals: the model does not move.

    @precondition(lambda self: self.index.is_trained)
    @rule(n=st.integers(1, 3), seed=SEEDS)
    def add_mismatched(self, n, seed):
        with pytest.raises(ValueError):
            self.index.add(self.new_ids(n + 1), self.fresh(n, seed))

    @rule(n=st.integers(1, 3), seed=SEEDS, fit=st.booleans())
    def non_finite(self, n, seed, fit):
        vectors = self.fresh(n, seed)
        vectors[-1, 0] = np.nan
        with pytest.raises(Exception):
            if fit:
                self.index.fit(vectors)
            else:
                self.index.add(self.new_ids(n), vectors)

    @precondition(lambda self: self.ids)
    @rule(seed=SEEDS, nan=st.booleans())
    def update_refused(self, seed, nan):
        vectors = self.fresh(2, seed)
        if nan:
            vectors[1, 2] = np.nan
            ids = [self.ids[0], self.ids[-1]]
        else:
            ids = [self.ids[0], "missing"]
        with pytest.raises(KeyError if not nan else Exception):
            self.index.update(ids, vectors)

    @precondition(lambda self: self.index.is_trained)
    @rule()
    def delete_unknown(self):
        with pytest.raises(KeyError):
            self.index.delete(self.ids[:1] + ["missing"])

    @invariant()
    def aligned(self):
        index = self.index
        assert index.ids == self.ids
        if not index.is_trained:
            assert index.size == 0 and self.ids == []
            return
        assert index.size == len(self.ids) == index._matrix.shape[0] == index.coreindex.matrix.rows
        codes = encode_dataset(np.ascontiguousarray(self.rows), index._params.boundaries, False)
        np.testing.assert_array_equal(index._matrix, codes)

        index.save(str(self.folder))
        meta = json.loads((self.folder / "index_meta.json").read_text())
        assert meta["n_candidates"] == 10**6
        assert meta["d_scale"] == self.scale

        if not self.ids:
            return
        np.testing.assert_array_equal(core_order(index, self.rows), core_order(twin(index, self.rows), self.rows))
        found = index.search(self.rows, len(self.ids))
        if len(self.ids) == 1:
            found = [found]
        for want, hits in zip(self.ids, found):
            assert hits[0].score == 1.0
            assert want in [hit.id for hit in hits if hit.score == 1.0]


AlignedIndex.TestCase.settings = settings(max_examples=30, stateful_step_count=12, deadline=None)
TestAlignedIndex = AlignedIndex.TestCase
