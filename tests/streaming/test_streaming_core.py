"""Construction, batches, frozen quantisation and properties of the streaming
index, with recording stand-ins for its text index, vector index and shards."""

import copy
import gc
import pickle

import numpy as np
import pytest

from streaming_helpers import Log, stand_in_classes, stand_in_shard

from tarnix_engine.indexes._tarnix_impl import _TarnixCore


@pytest.fixture
def log():
    return Log()


@pytest.fixture
def stand_ins(shard_flow, monkeypatch, log):
    """The stand-in classes, with the stand-in shard patched in as the
    module's shard type."""
    text_cls, vector_cls = stand_in_classes(log)
    shard_cls = stand_in_shard(log)
    monkeypatch.setattr(shard_flow, "_VortelCore", shard_cls)
    return text_cls, vector_cls


def batch(n, first=1.0, dim=2):
    return [f"text {i}" for i in range(n)], np.full((n, dim), first, dtype=np.float32)


def test_defaults(shard_flow):
    index = shard_flow._StreamingCore()
    assert (index.n_shards, index.size, index.is_trained) == (0, 0, False)
    assert index.expected_recall is None
    assert index.boundaries is None and index.fit_values is None
    assert index.index_type == "streaming_hybrid"
    assert index.speed_preference == "balanced"


def test_unknown_speed_preference_lists_the_advisors_names(shard_flow):
    names = shard_flow.default_tuner("relevance").speed_preferences
    expected = f"unknown speed preference 'quick'; pick one of {names}"
    with pytest.raises(ValueError) as caught:
        # the preference is checked before n_candidates is converted
        shard_flow._StreamingCore(speed_preference="quick", n_candidates="many")
    assert str(caught.value) == expected


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"speed_preference": 3}, TypeError),
        ({"speed_preference": None}, ValueError),
        ({"top_k": 2**31}, OverflowError),
        ({"rrf_k": 1.5}, TypeError),
        ({"alpha_text": "x"}, TypeError),
        ({"n_candidates": 2**31}, OverflowError),
        ({"vector_index_cls": object()}, TypeError),
        ({"speeds": "balanced"}, TypeError),
    ],
)
def test_construction_refuses(shard_flow, kwargs, error):
    with pytest.raises(error):
        shard_flow._StreamingCore(**kwargs)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"alpha_text": float("nan")}, ValueError, "alpha_text must be finite, got nan"),
        ({"alpha_vector": float("inf")}, ValueError, "alpha_vector must be finite, got inf"),
        ({"alpha_text": -float("inf")}, ValueError, "alpha_text must be finite, got -inf"),
        ({"top_k": -1}, ValueError, "top_k must be >= 0, got -1"),
        ({"rrf_k": -3}, ValueError, "rrf_k must be >= 0, got -3"),
        ({"n_candidates": 0}, ValueError, "n_candidates must be >= 1, got 0"),
        ({"text_index_cls": "relevance"}, TypeError, "text_index_cls must be a text index class (a callable), got str"),
    ],
)
def test_settings_no_search_could_use_are_refused_where_given(shard_flow, kwargs, error, message):
    # Each used to be stored and fail only at the first batch or search, or never.
    with pytest.raises(error) as caught:
        shard_flow._StreamingCore(**kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("kwargs", [{"top_k": 0}, {"rrf_k": 0}, {"n_candidates": 1}, {"alpha_text": -2.5}])
def test_the_lowest_usable_settings_are_kept(shard_flow, kwargs):
    index = shard_flow._StreamingCore(**kwargs)
    assert index.n_shards == 0


def test_no_relevance_advisor_means_no_index(shard_flow, monkeypatch):
    monkeypatch.setattr(shard_flow, "default_tuner", lambda index_type: None)
    with pytest.raises(AttributeError):
        shard_flow._StreamingCore()


class _DerivedVector(_TarnixCore):
    pass


@pytest.mark.parametrize(
    "vector_cls, n_candidates, expected",
    [
        (_TarnixCore, None, {"n_candidates": 5000}),
        (_TarnixCore, 64, {"n_candidates": 64}),
        (_DerivedVector, 64, {"n_candidates": 64}),
        ("stand-in", 64, {}),
    ],
)
def test_vector_index_gets_n_candidates_only_when_derived_from_tarnix(
    shard_flow, stand_ins, log, vector_cls, n_candidates, expected
):
    text_cls, stand_in_vector = stand_ins
    if vector_cls == "stand-in":
        vector_cls = stand_in_vector
    made = []

    # Construct through a wrapper that records the keywords, then stop the
    # batch right after the vector index is made.
    class Probe(vector_cls):
        def __new__(cls, *args, **kwargs):
            made.append(kwargs)
            raise RuntimeError("stop")

    index = shard_flow._StreamingCore(text_cls, Probe, n_candidates=n_candidates)
    with pytest.raises(RuntimeError, match="stop"):
        index.add_batch(*batch(2))
    assert made == [expected]


def test_batches_build_shards_in_order_and_freeze_the_first_quantisation(shard_flow, stand_ins, log):
    text_cls, vector_cls = stand_ins
    index = shard_flow._StreamingCore(text_cls, vector_cls, top_k=7, alpha_text=0.5, alpha_vector=2, speed_preference="fast")
    index.add_batch(*batch(3, first=1), parallel=1)
    assert log.names() == ["text()", "vector()", "shard()", "text.fit", "vector.fit"]
    shard_kwargs = log[2][1]
    assert list(shard_kwargs) == ["text_index", "vector_index", "top_k", "alpha_text", "alpha_vector", "speed_preference"]
    assert (shard_kwargs["top_k"], shard_kwargs["alpha_text"], shard_kwargs["alpha_vector"]) == (7, 0.5, 2.0)
    assert type(shard_kwargs["alpha_vector"]) is float and shard_kwargs["speed_preference"] == "fast"
    assert log[3][2] is True and log[4] == ("vector.fit", True, {})
    first_vector = shard_kwargs["vector_index"]
    assert index.boundaries is first_vector._params.boundaries
    assert index.fit_values is first_vector._params.fit_values

    log.clear()
    index.add_batch(*batch(2, first=9))
    assert log.names() == ["text()", "vector()", "shard()", "text.fit", "vector.fit"]
    params = log[4][2]["params"]
    assert params.boundaries is index.boundaries and params.fit_values is index.fit_values
    assert (index.size, index.n_shards, index.is_trained) == (5, 2, True)


def test_committed_lists_and_code_matrix(shard_flow, tmp_path):
    # Saved config.json and all_bytes.npy show the committed state.
    import json

    index = shard_flow._StreamingCore()
    rng = np.random.default_rng(3)
    first = rng.standard_normal((3, 8)).astype(np.float32)
    index.add_batch(["apple banana", "banana cherry", "cherry damson"], first)
    index.save(str(tmp_path / "one"))
    one = np.load(tmp_path / "one" / "all_bytes.npy")
    index.add_batch(["damson elder", "elder fig"], rng.standard_normal((2, 8)).astype(np.float32))
    index.save(str(tmp_path / "two"))
    config = json.loads((tmp_path / "two" / "config.json").read_text())
    assert (config["shard_sizes"], config["cumulative_offsets"]) == ([3, 2], [0, 3])
    two = np.load(tmp_path / "two" / "all_bytes.npy")
    assert two.shape[0] == 5 and np.array_equal(two[:3], one)


def test_code_matrix_is_a_copy_grown_batch_by_batch(shard_flow, monkeypatch, log, tmp_path):
    text_cls, vector_cls = stand_in_classes(log)
    shards = []

    class Keep(stand_in_shard(log)):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            shards.append(self)

    monkeypatch.setattr(shard_flow, "_VortelCore", Keep)
    index = shard_flow._StreamingCore(text_cls, vector_cls)
    index.add_batch(*batch(3, first=4))
    shards[0].vector_index._matrix[:] = 0  # a shard's own matrix must not reach the index
    index.add_batch(*batch(1, first=5))
    index.save(str(tmp_path))
    assert np.load(tmp_path / "all_bytes.npy").tolist() == [[4, 4]] * 3 + [[5, 5]]


@pytest.mark.parametrize("corpus", [("a", "b"), type("Texts", (list,), {})(["a", "b"]), "ab"])
def test_corpus_must_be_a_list(shard_flow, stand_ins, log, corpus):
    index = shard_flow._StreamingCore(*stand_ins)
    with pytest.raises(TypeError, match="corpus"):
        index.add_batch(corpus, np.zeros((2, 2), dtype=np.float32))
    assert log == []


def test_empty_corpus_is_refused_by_the_text_index_and_changes_nothing(shard_flow):
    index = shard_flow._StreamingCore()
    with pytest.raises(ValueError, match="corpus cannot be empty"):
        index.add_batch([], np.zeros((0, 4), dtype=np.float32))
    assert (index.n_shards, index.size, index.boundaries) == (0, 0, None)


@pytest.mark.parametrize(
    "vectors",
    [np.zeros((3, 2), dtype=np.float32), np.zeros(2, dtype=np.float32), [[0.0, 1.0]] * 3, [0.0, 1.0]],
    ids=["3 rows", "1-D is one row", "3 listed rows", "flat list is one row"],
)
def test_texts_and_vector_rows_must_agree_before_anything_is_built(shard_flow, stand_ins, log, vectors):
    index = shard_flow._StreamingCore(*stand_ins)
    with pytest.raises(ValueError, match="same length: got 2 texts"):
        index.add_batch(["a", "b"], vectors)
    assert log == [] and index.n_shards == 0


@pytest.mark.parametrize(
    "change",
    [lambda texts: texts.pop(), lambda texts: texts.append("late"), lambda texts: texts.clear()],
    ids=["shrinks", "grows", "empties"],
)
def test_a_corpus_changed_during_the_batch_is_fitted_and_sized_as_given(shard_flow, stand_ins, log, change):
    # The caller's list changes while the batch runs, as another thread may
    # change it while add_batch waits for the lock or fits.
    text_cls, vector_cls = stand_ins
    texts, vectors = batch(3)

    class ChangingText(text_cls):
        def __init__(self):
            change(texts)
            super().__init__()

    index = shard_flow._StreamingCore(ChangingText, vector_cls)
    index.add_batch(texts, vectors)
    fitted = [event[1] for event in log if event[0] == "text.fit"]
    assert fitted == [["text 0", "text 1", "text 2"]]
    assert index.size == 3


def test_failure_after_the_first_capture_leaves_the_frozen_arrays_set(shard_flow, stand_ins, log):
    text_cls, vector_cls = stand_ins

    class FailingMatrix(vector_cls):
        fail = True

        @property
        def _matrix(self):
            if FailingMatrix.fail:
                raise MemoryError("no room")
            return self._codes

        @_matrix.setter
        def _matrix(self, value):
            self._codes = value

    index = shard_flow._StreamingCore(text_cls, FailingMatrix)
    with pytest.raises(MemoryError):
        index.add_batch(*batch(2))
    first = index.boundaries
    assert first is not None and not index.is_trained and index.size == 0
    # The next batch again finds no shard: fitted from scratch, captured afresh.
    FailingMatrix.fail = False
    log.clear()
    index.add_batch(*batch(2))
    assert log[4] == ("vector.fit", False, {})
    assert index.boundaries is not first and index.n_shards == 1


def test_each_failed_step_changes_nothing(shard_flow, stand_ins, log):
    text_cls, vector_cls = stand_ins
    index = shard_flow._StreamingCore(text_cls, vector_cls)
    index.add_batch(*batch(2))
    frozen = index.boundaries

    class FailingFit(text_cls):
        def fit(self, corpus, parallel=False):
            raise RuntimeError("fit failed")

    failing = shard_flow._StreamingCore(FailingFit, vector_cls)
    with pytest.raises(RuntimeError):
        failing.add_batch(*batch(2))
    assert failing.n_shards == 0 and failing.boundaries is None
    with pytest.raises(ValueError):
        index.add_batch(["a"], np.zeros((2, 2), dtype=np.float32))
    assert (index.n_shards, index.size) == (1, 2) and index.boundaries is frozen


def test_first_vector_index_without_parameters_freezes_nothing(shard_flow, stand_ins, log):
    text_cls, vector_cls = stand_ins

    class Unquantised(vector_cls):
        def fit(self, vectors, parallel=False, **kwargs):
            super().fit(vectors, parallel, **kwargs)
            self._params = None

    index = shard_flow._StreamingCore(text_cls, Unquantised)
    index.add_batch(*batch(2))
    index.add_batch(*batch(2))
    assert index.boundaries is None
    assert log[-1] == ("vector.fit", False, {"params": None})


@pytest.mark.parametrize("recalls, expected", [((0.9, 0.8), 0.8), ((0.9, None), None), ((0.7,), 0.7)])
def test_expected_recall_is_the_lowest_shards(shard_flow, monkeypatch, log, recalls, expected):
    text_cls, vector_cls = stand_in_classes(log)
    index = shard_flow._StreamingCore(text_cls, vector_cls)
    for recall in recalls:
        monkeypatch.setattr(shard_flow, "_VortelCore", stand_in_shard(log, recall=recall))
        index.add_batch(*batch(1))
    assert index.expected_recall == expected


@pytest.mark.parametrize(
    "attempt",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda index: index.__reduce_ex__(2), lambda index: index.__setstate__({})],
)
def test_pickling_is_refused(shard_flow, attempt):
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        attempt(shard_flow._StreamingCore())


def test_shards_and_lock_are_visible_to_the_cycle_collector(shard_flow, stand_ins):
    index = shard_flow._StreamingCore(*stand_ins)
    index.add_batch(*batch(2))
    referents = gc.get_referents(index)
    assert any(isinstance(r, list) and r and hasattr(r[0], "_retrieve_raw") for r in referents)
    assert any(type(r).__name__ == "RLock" for r in referents)


def test_uninitialised_instance_is_refused_not_crashed(shard_flow):
    index = shard_flow._StreamingCore.__new__(shard_flow._StreamingCore)
    for attempt in (lambda: index.size, lambda: index.search("a", np.zeros(2)), lambda: index.add_batch(["a"], [[0.0]])):
        with pytest.raises(RuntimeError, match="not initialised"):
            attempt()


def test_the_lock_is_the_module_threadings_and_guards_batches_and_snapshots(shard_flow, stand_ins, monkeypatch):
    import types

    events = []

    class Lock:
        def __enter__(self):
            events.append("enter")

        def __exit__(self, *exc_info):
            events.append("exit" if exc_info[0] is None else "exit on error")
            return False

    monkeypatch.setattr(shard_flow, "threading", types.SimpleNamespace(RLock=Lock))
    text_cls, vector_cls = stand_ins
    index = shard_flow._StreamingCore(text_cls, vector_cls)
    assert events == []
    index.add_batch(*batch(2))
    assert events == ["enter", "exit"]
    events.clear()
    assert index.size == 2 and events == ["enter", "exit"]
    events.clear()
    with pytest.raises(ValueError, match="corpus cannot be empty"):
        index.add_batch([], np.zeros((0, 2), dtype=np.float32))
    assert events == ["enter", "exit on error"]
