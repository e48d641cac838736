"""What the text index relies on of the installed bm25s (pinned in
requirements/constraints.txt); a new bm25s that changes any of it fails here
first, rather than somewhere inside the index."""

import numpy as np
import pytest

from tarnix_engine.indexes import _term_scoring
from tarnix_engine.indexes._term_scoring import _RelevanceCore

bm25s = _term_scoring.bm25s
TEXTS = ["red apples and green pears", "green tea leaves", "apples fall far", "stone walls"]


def tokenize(texts, **kw):
    return bm25s.tokenize(
        texts,
        stopwords=_term_scoring.load_stopwords("english"),
        stemmer=_term_scoring.Stemmer.Stemmer("english"),
        show_progress=False,
        **kw,
    )


@pytest.fixture(scope="module")
def model():
    m = bm25s.BM25(method="lucene", k1=1.5, b=0.75, backend="numba")
    m.index(tokenize(TEXTS), show_progress=False)
    return m


def test_version_is_the_pinned_one():
    assert bm25s.__version__ == "0.3.16"


def test_tokenize_as_strings_gives_one_token_list_per_query():
    tokens = tokenize(["Green apples", "", "the and of", "stones"], return_ids=False)
    assert tokens == [["green", "appl"], [], [], ["stone"]]
    assert all(type(t) is list for t in tokens)


def test_retrieve_refuses_a_batch_whose_first_query_has_no_tokens(model):
    # Why a query that tokenises to nothing is searched as _EMPTY_QUERY_TOKEN.
    with pytest.raises(ValueError):
        model.retrieve([[], ["green"]], k=2, show_progress=False, n_threads=0)
    docs, scores = model.retrieve(
        [[_term_scoring._EMPTY_QUERY_TOKEN], ["green"]], k=2, show_progress=False, n_threads=0
    )
    assert (scores[0] == 0).all()


@pytest.mark.parametrize("n_threads", [0, -1])
def test_retrieve_shapes_and_positions(model, n_threads):
    docs, scores = model.retrieve(tokenize(["green", "apples"], return_ids=False), k=3, show_progress=False,
                                  n_threads=n_threads)
    assert docs.shape == scores.shape == (2, 3)
    assert docs.dtype.kind == "i" and scores.dtype == np.dtype(model.dtype)
    assert set(docs[0][:2]) == {0, 1} and docs[1][0] in (0, 2)


def test_weight_mask_applies_before_the_top_k(model):
    tokens = tokenize(["green"], return_ids=False)
    low = model.retrieve(tokens, k=4, show_progress=False, n_threads=0)[0][0][1]  # second-best match
    mask = np.zeros(4, dtype=model.dtype)
    mask[low] = 1.0
    docs, scores = model.retrieve(tokens, k=1, show_progress=False, n_threads=0, weight_mask=mask)
    assert docs[0, 0] == low and scores[0, 0] > 0


def test_weight_mask_must_have_one_entry_per_document(model):
    with pytest.raises(ValueError, match="length of the weight_mask"):
        model.retrieve([["green"]], k=1, show_progress=False, n_threads=0, weight_mask=np.ones(3, np.float32))


def test_index_search_finds_a_low_ranked_candidate():
    ix = _RelevanceCore()
    ix.fit(TEXTS)
    full = ix.search_raw(["green"], 4)[0][0]
    assert ix.search("green", 1, candidates=[full[1]])[0].id == str(full[1])


def test_load_reads_no_pickles(model, tmp_path, monkeypatch):
    model.save(str(tmp_path))
    flags = []
    real = np.load
    monkeypatch.setattr(np, "load", lambda *a, **kw: flags.append(kw.get("allow_pickle")) or real(*a, **kw))
    loaded = bm25s.BM25.load(str(tmp_path), load_corpus=False)
    assert flags and not any(flags)
    assert loaded.scores["num_docs"] == 4
