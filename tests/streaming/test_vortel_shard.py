"""The hybrid shard: the depths it asks its two indexes for, how it calls
them, and the raw hits it hands back."""

import numpy as np
import pytest

from tarnix_engine._registry import load_engine_from_directory
from tarnix_engine._types import PredictionResult
from tarnix_engine.indexes import _vortel_impl
from tarnix_engine.indexes._tarnix_impl import _TarnixCore
from tarnix_engine.indexes._term_scoring import _RelevanceCore


class TextIndex:
    """Keyword-only search_raw, so a positional call fails."""

    def __init__(self, size, scores=None):
        self.size = size
        self.scores = scores
        self.calls = []

    def search_raw(self, queries, *, k, parallel, candidates):
        self.calls.append({"queries": queries, "k": k, "parallel": parallel, "candidates": candidates})
        rows = len(queries)
        scores = np.tile(np.linspace(k, 1, k), (rows, 1)) if self.scores is None else np.array(self.scores, float)
        return np.tile(np.arange(k, dtype=np.int64), (rows, 1)), scores


class VectorIndex:
    def __init__(self):
        self.calls = []

    def search_raw(self, vectors, *, k, candidates, parallel):
        self.calls.append({"k": k, "candidates": candidates, "parallel": parallel})
        rows = np.shape(vectors)[0]
        return np.tile(np.arange(k, dtype=np.int64), (rows, 1)), np.zeros((rows, k))


class Advisor:
    def __init__(self, text_k, vector_k, recall=0.5):
        self.answer = (text_k, vector_k, recall)
        self.asked = []

    def predict(self, corpus_size, cutoff, speed_preference="balanced"):
        self.asked.append((corpus_size, cutoff, speed_preference))
        text_k, vector_k, recall = self.answer
        return PredictionResult(text_k=text_k, vector_k=vector_k, top_k=cutoff, expected_recall=recall)


def shard(text, vector=None, top_k=10, speed="balanced"):
    return _vortel_impl._VortelCore(
        text_index=text, vector_index=vector or VectorIndex(), top_k=top_k, alpha_text=0.1, alpha_vector=1.0,
        speed_preference=speed,
    )


@pytest.fixture
def advisor(monkeypatch):
    def install(text_k, vector_k, recall=0.5):
        made = Advisor(text_k, vector_k, recall)
        monkeypatch.setattr(_vortel_impl, "default_tuner", lambda index_type: made)
        return made

    return install


def test_keeps_the_very_indexes_and_asks_them_nothing():
    text, vector = TextIndex(0), VectorIndex()
    made = shard(text, vector)
    assert made.text_index is text and made.vector_index is vector
    assert text.calls == [] and vector.calls == []


@pytest.mark.parametrize(
    "advice, k, size, local, cap, text_depth, vector_depth",
    [
        ((120, 30), 10, 5000, None, 1000, 120, 30),
        ((5, 3), 10, 5000, None, 1000, 10, 10),  # never below k
        ((4000, 4000), 10, 5000, None, 1000, 1000, 1000),  # never above the cap
        ((120, 30), 10, 50, None, 1000, 50, 30),  # text depth within the shard
        ((120, 30), 10, 5000, [1, 4, 9], 1000, 3, 30),  # ... and within its candidates
        ((120, 30), 300, 5000, None, 256, 256, 300),  # the cap wins on the text side, k on the vector side
    ],
)
def test_depths(advisor, monkeypatch, advice, k, size, local, cap, text_depth, vector_depth):
    advisor(*advice)
    monkeypatch.setattr(_vortel_impl, "MAX_DEFAULT_SUB_K", cap)
    text, vector = TextIndex(size), VectorIndex()
    local = None if local is None else np.array(local, dtype=np.int64)
    shard(text, vector)._retrieve_raw(["q"], np.zeros((1, 2)), k, True, local)
    assert (text.calls[0]["k"], vector.calls[0]["k"]) == (text_depth, vector_depth)
    assert text.calls[0]["parallel"] is True and vector.calls[0]["candidates"] is local


def test_advisor_is_asked_for_the_shard_size_and_search_k(advisor):
    made = advisor(50, 50)
    shard(TextIndex(700), speed="fast")._retrieve_raw(["q", "r"], np.zeros((2, 2)), 7, False, np.arange(3))
    assert made.asked == [(700, 7, "fast")]


def test_text_hits_without_any_query_term_are_no_hits(advisor):
    advisor(4, 4)
    text = TextIndex(10, scores=[[2.5, 1.0, 0.0, 0.0]])
    positions, scores, _, _ = shard(text)._retrieve_raw(["q"], np.zeros((1, 2)), 4, False, None)
    assert positions.tolist() == [[0, 1, -1, -1]] and scores.tolist() == [[2.5, 1.0, 0.0, 0.0]]


@pytest.mark.parametrize("texts, vectors, k, rows", [([], np.zeros((0, 2)), 5, 0), (["q", "r"], np.zeros((2, 2)), 0, 2)])
def test_no_queries_or_no_depth_give_placeholders_and_ask_nobody(monkeypatch, texts, vectors, k, rows):
    monkeypatch.setattr(_vortel_impl, "default_tuner", lambda index_type: pytest.fail("advisor asked"))
    text, vector = TextIndex(10), VectorIndex()
    hits = shard(text, vector)._retrieve_raw(texts, vectors, k, False, None)
    assert [h.shape for h in hits] == [(rows, 1)] * 4
    assert (hits[0] == -1).all() and (hits[2] == -1).all() and text.calls == vector.calls == []


@pytest.mark.parametrize("vectors", [np.zeros((3, 2)), np.zeros(2)])
def test_one_vector_per_text(vectors):
    with pytest.raises(ValueError, match="one vector per text"):
        shard(TextIndex(10))._retrieve_raw(["q", "r"], vectors, 5, False, None)


@pytest.mark.parametrize(
    "tuner, size, expected",
    [("advisor", 100, 0.75), (None, 100, None), ("advisor", 0, None)],
)
def test_expected_recall(monkeypatch, tuner, size, expected):
    made = Advisor(1, 1, recall=0.75)
    monkeypatch.setattr(_vortel_impl, "default_tuner", lambda index_type: made if tuner else None)
    assert shard(TextIndex(size), top_k=20, speed="accurate").expected_recall == expected
    assert made.asked == ([(size, 20, "accurate")] if expected is not None else [])


def test_real_shard_saves_folders_the_registry_loads(tmp_path):
    text, vector = _RelevanceCore(), _TarnixCore()
    made = shard(text, vector)
    text.fit(["red apples", "green pears", "yellow bananas"])
    data = np.random.default_rng(0).standard_normal((3, 8)).astype(np.float32)
    vector.fit(data)
    made.save(str(tmp_path / "shard"))
    assert isinstance(load_engine_from_directory(str(tmp_path / "shard" / "text")), _RelevanceCore)
    assert isinstance(load_engine_from_directory(str(tmp_path / "shard" / "vector")), _TarnixCore)
    assert (tmp_path / "shard" / "config.json").is_file()
    positions, scores, vpos, vdist = made._retrieve_raw(["green"], data[2:], 2, False, None)
    # one text hit (the others share no term); every vector row, nearest first
    assert positions.tolist() == [[1, -1, -1]] and vpos.shape == (1, 3) and vpos[0, 0] == 2
