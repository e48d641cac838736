"""Inputs the text and streaming indexes cannot use are refused before
anything changes, in words that say what to pass instead of in terms of the
libraries underneath."""

import numpy as np
import pytest

from tarnix_engine.indexes._shard_flow import _StreamingCore
from tarnix_engine.indexes._term_scoring import _RelevanceCore

NO_WORD = "the texts hold no word to index"


def vectors(rows, dim=16):
    return np.random.default_rng(rows).standard_normal((rows, dim)).astype(np.float32)


def fitted_text():
    index = _RelevanceCore()
    index.fit(["quick brown fox", "lazy dog"])
    return index


def grown():
    index = _StreamingCore()
    index.add_batch(["quick brown fox", "lazy dog"], vectors(2))
    return index


# (build the index, the call that must fail, error, message start, what must be unchanged)
CASES = {
    "empty text fit": (_RelevanceCore, lambda i, d: i.fit(["", ""]), ValueError, NO_WORD, lambda i: i.is_trained),
    "stop words fit": (fitted_text, lambda i, d: i.fit(["the", "a of"]), ValueError, NO_WORD, lambda i: i.size),
    "one letters add": (
        _RelevanceCore, lambda i, d: i.add(["1", "2"], ["a b", "x"]), ValueError, NO_WORD, lambda i: i.size,
    ),
    "stop words batch": (
        grown, lambda i, d: i.add_batch(["the", ""], vectors(2)), ValueError, NO_WORD, lambda i: i.n_shards,
    ),
    "None in batch": (
        grown, lambda i, d: i.add_batch(["fine words", None], vectors(2)), TypeError,
        'every text must be a str, got None at position 1; pass ""', lambda i: i.n_shards,
    ),
    "number in fit": (
        fitted_text, lambda i, d: i.fit(["fine words", 7]), TypeError,
        "every text must be a str, got an int at position 1", lambda i: i.size,
    ),
    "other dimension": (
        grown, lambda i, d: i.add_batch(["more words", "other words"], vectors(2, dim=32)), ValueError,
        "vectors must have 16 values per row, as the first batch of this index had, got 32", lambda i: i.n_shards,
    ),
    "search unfitted": (
        _RelevanceCore, lambda i, d: i.search(["fox"], k=2), ValueError,
        "k (2) exceeds the number of indexed documents (0)", lambda i: i.size,
    ),
    "save unfitted": (
        _RelevanceCore, lambda i, d: i.save(str(d / "saved")), RuntimeError,
        "the text index was never fitted; fit it", lambda i: i.is_trained,
    ),
}


@pytest.mark.parametrize("build, call, error, message, unchanged", CASES.values(), ids=CASES.keys())
def test_unusable_input_is_refused_first_saying_what_to_do(tmp_path, build, call, error, message, unchanged):
    index = build()
    before = unchanged(index)
    with pytest.raises(error) as caught:
        call(index, tmp_path)
    assert str(caught.value).startswith(message)
    assert unchanged(index) == before
    assert not (tmp_path / "saved").exists()
