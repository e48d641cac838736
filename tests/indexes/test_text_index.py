"""The BM25 text index: construction, fit, add, update, delete and dispatch."""

import gc
import logging
import os
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

from tarnix_engine.indexes import _term_scoring
from tarnix_engine.indexes._term_scoring import _RelevanceCore

TEXTS = [
    "the quick brown fox jumps over the lazy dog",
    "a lazy cat sleeps in the sun",
    "foxes and hounds run across the field",
]


def held(index):
    """(ids, texts of the search side) as plain lists, for comparisons."""
    return list(index.ids), [
        hit.id for hit in index.search("fox cat hound", index.size)
    ]


@pytest.fixture
def index():
    ix = _RelevanceCore()
    ix.add(["a", "b", "c"], list(TEXTS))
    return ix


# ---- construction and properties ------------------------------------------


def test_new_index_is_empty_and_untrained():
    ix = _RelevanceCore()
    assert (ix.size, ix.is_trained, ix.index_type, ix.ids) == (0, False, "relevance", [])


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"method": b"lucene"}, "Argument 'method' has incorrect type (expected str, got bytes)"),
        ({"stopwords_lang": 1}, "Argument 'stopwords_lang' has incorrect type (expected str, got int)"),
        ({"stemmer_lang": ["english"]}, "Argument 'stemmer_lang' has incorrect type (expected str, got list)"),
        ({"k1": "1.5"}, "must be real number, not str"),
    ],
)
def test_constructor_refuses_wrong_types(kwargs, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        _RelevanceCore(**kwargs)


@pytest.mark.parametrize("param", ["k1", "b"])
@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf")])
def test_constructor_refuses_non_finite_parameters(param, value):
    # They would make every score NaN or infinite.
    with pytest.raises(ValueError) as err:
        _RelevanceCore(**{param: value})
    assert str(err.value) == f"{param} must be a finite number, not {value!r}"


def test_constructor_argument_count_and_keywords():
    with pytest.raises(TypeError, match="at most|positional"):
        _RelevanceCore("lucene", 1.5, 0.75, "english", "english", "extra")
    with pytest.raises(TypeError, match="unexpected keyword argument 'delta'"):
        _RelevanceCore(delta=0.5)


def test_unknown_stemmer_language_propagates():
    with pytest.raises(KeyError):
        _RelevanceCore(stemmer_lang="klingon")


def test_constructor_hands_its_values_to_bm25s_and_stop_words(monkeypatch):
    calls = []

    class FakeBM25:
        def __init__(self, **kwargs):
            calls.append(("BM25", kwargs))

    monkeypatch.setattr(_term_scoring, "BM25", FakeBM25)
    monkeypatch.setattr(_term_scoring, "load_stopwords", lambda lang: calls.append(("stop", lang)) or ("x",))
    _RelevanceCore("robertson", 2, 0.5, "english", "english")
    assert calls == [
        ("stop", "english"),
        ("BM25", {"method": "robertson", "k1": 2.0, "b": 0.5, "backend": "numba"}),
    ]
    assert [type(v) for v in calls[1][1].values()] == [str, float, float, str]


def test_ids_is_the_index_own_list(index):
    ids = index.ids
    assert index.ids is ids
    ids[0] = "renamed"
    assert index.search("quick brown", 1)[0].id == "renamed"


def test_fields_are_invisible_and_properties_read_only(index):
    for name in ("_model", "_ids", "_corpus", "_meta", "k1", "b", "method"):
        assert not hasattr(index, name)
    with pytest.raises(AttributeError):
        index.size = 3


def test_index_takes_part_in_cyclic_gc():
    ix = _RelevanceCore()
    ix.add(["cycle"], ["a text that refers to its own index"])
    class Marker:
        pass

    marker = Marker()
    ix.ids.append(marker)
    ix.ids.append(ix)  # a cycle through a field; the index itself has no weak references
    ref = weakref.ref(marker)
    del ix, marker
    gc.collect()
    assert ref() is None


def test_uninitialised_instance_is_safe():
    ix = _RelevanceCore.__new__(_RelevanceCore)
    assert ix.index_type == "relevance" and ix.is_trained is False
    with pytest.raises(TypeError):
        ix.size
    with pytest.raises(ValueError, match="corpus cannot be empty"):
        ix.fit([])


# ---- fit -----------------------------------------------------------------


@pytest.mark.parametrize("corpus", [[], None])
def test_fit_refuses_an_empty_corpus_and_changes_nothing(index, corpus):
    before = held(index)
    with pytest.raises(ValueError, match="^corpus cannot be empty$"):
        index.fit(corpus)
    assert held(index) == before


def test_fit_names_documents_by_position_and_logs(caplog):
    ix = _RelevanceCore()
    with caplog.at_level(logging.INFO, logger="tarnix_engine.indexes._term_scoring"):
        ix.fit(list(TEXTS))
    assert (ix.ids, ix.size, ix.is_trained) == (["0", "1", "2"], 3, True)
    (record,) = caplog.records
    assert record.name == "tarnix_engine.indexes._term_scoring"
    assert record.levelno == logging.INFO
    assert (record.msg, record.args) == ("_RelevanceCore.fit \u2014 %d documents", (3,))


def test_fit_keeps_held_ids_only_when_the_count_matches(index):
    index.fit(["one text", "two texts", "three texts"])
    assert index.ids == ["a", "b", "c"]
    index.fit(["only one", "and two"])
    assert index.ids == ["0", "1"]


def test_fit_copies_the_corpus(index):
    corpus = ["alpha beta", "gamma delta", "epsilon"]
    index.fit(corpus)
    corpus[0] = "changed later"
    assert index.search("alpha", 1)[0].id == "a"


def test_fit_refuses_a_list_subclass():
    class Texts(list):
        pass

    with pytest.raises(TypeError, match=r"Argument 'corpus' has incorrect type \(expected list, got Texts\)"):
        _RelevanceCore().fit(Texts(["x"]))


def test_failed_indexing_leaves_lists_as_they_were(index, monkeypatch):
    before = held(index)

    def broken_tokenize(*args, **kwargs):
        raise RuntimeError("tokeniser broke")

    monkeypatch.setattr(_term_scoring.bm25s, "tokenize", broken_tokenize)
    with pytest.raises(RuntimeError, match="tokeniser broke"):
        index.fit(["x y", "y z", "z x"])
    monkeypatch.undo()
    assert held(index) == before


# ---- add, update, delete ---------------------------------------------------


def test_add_appends_in_order_and_keeps_duplicates():
    ix = _RelevanceCore()
    ix.add(["p", "q"], ["first text", "second text"])
    assert ix.ids == ["p", "q"]
    ix.add(["p"], ["third text"])
    assert ix.ids == ["p", "q", "p"] and ix.size == 3


@pytest.mark.parametrize("ids, texts", [(["x"], ["t1", "t2"]), (["x", "y"], ["t1"]), (["x"], [])])
def test_add_refuses_unequal_lists_before_any_change(index, ids, texts):
    before = held(index)
    with pytest.raises(ValueError, match=f"got {len(ids)} ids and {len(texts)} texts"):
        index.add(ids, texts)
    assert held(index) == before


def test_add_with_no_texts_on_an_empty_index_fails_in_the_refit():
    ix = _RelevanceCore()
    with pytest.raises(ValueError, match="corpus cannot be empty"):
        ix.add([], [])
    assert ix.ids == []


def test_update_replaces_text_at_the_last_position_of_an_id(index):
    index.add(["a"], ["completely unrelated words"])
    index.update(["a"], ["zebra stripes"])
    hit = index.search("zebra", 1)[0]
    assert index.search("quick brown fox", 1)[0].id == "a"  # position 0 kept its text
    assert (hit.id, index.search_raw(["zebra"], 1)[0][0, 0]) == ("a", 3)


def test_update_walks_pairs_up_to_the_shorter_list(index):
    index.update(["a", "b"], ["zebra stripes"])
    assert index.search("zebra", 1)[0].id == "a"
    assert index.search("lazy cat sun", 1)[0].id == "b"
    index.update(["c", "c"], ["first giraffe", "second okapi"])
    assert index.search("okapi", 1)[0].id == "c"
    assert index.search_raw(["giraffe"], 3)[1].max() == 0.0


def test_update_of_an_unknown_id_changes_nothing(index):
    before = held(index)
    with pytest.raises(ValueError) as err:
        index.update(["a", "nope"], ["zebra stripes", "other"])
    assert str(err.value) == "ID 'nope' not found in index; use add() to insert new documents."
    assert held(index) == before
    assert index.search_raw(["zebra"], 1)[1][0, 0] == 0.0


def test_delete_renumbers_survivors_in_order(index):
    index.delete(["b"])
    assert index.ids == ["a", "c"]
    assert index.search("foxes hounds", 1)[0].id == "c"
    assert index.search_raw(["hounds"], 1)[0][0, 0] == 1


def test_delete_of_a_duplicated_id_removes_every_position(index):
    index.add(["a"], ["another text about foxes"])
    index.delete(["a"])
    assert index.ids == ["b", "c"]


def test_delete_of_nothing_keeps_everything_and_refits(index):
    refits = []

    class Counting(_RelevanceCore):
        def fit(self, corpus, parallel=False):
            refits.append(list(corpus))
            return super().fit(corpus, parallel)

    ix = Counting()
    ix.add(["a", "b"], TEXTS[:2])
    ix.delete([])
    assert ix.ids == ["a", "b"] and len(refits) == 2


@pytest.mark.parametrize(
    "ids, message",
    [
        (["nope"], "IDs not found in index: {'nope'}"),
        (["a", "nope"], "IDs not found in index: {'nope'}"),
        (["a", "b", "c"], "Cannot delete all documents from the index."),
    ],
)
def test_delete_refusals_change_nothing(index, ids, message):
    before = held(index)
    with pytest.raises(ValueError) as err:
        index.delete(ids)
    assert str(err.value) == message
    assert held(index) == before


def test_delete_on_an_empty_index():
    with pytest.raises(ValueError, match="Cannot delete all documents from the index."):
        _RelevanceCore().delete([])


@pytest.mark.parametrize(
    "call",
    [
        lambda ix: ix.add(("a",), ["t"]),
        lambda ix: ix.add(["a"], ("t",)),
        lambda ix: ix.update(["a"], "t"),
        lambda ix: ix.delete({"a"}),
    ],
)
def test_list_arguments_must_be_exact_lists(index, call):
    with pytest.raises(TypeError, match="has incorrect type"):
        call(index)


@pytest.mark.parametrize(
    "call",
    [
        lambda ix: ix.add(None, ["t"]),
        lambda ix: ix.update(None, ["t"]),
        lambda ix: ix.delete(None),
    ],
)
def test_none_lists_fail_at_first_use(index, call):
    before = held(index)
    with pytest.raises(TypeError):
        call(index)
    assert held(index) == before


# ---- re-fit through the object ------------------------------------------------


class Recording(_RelevanceCore):
    def __init__(self, *args, fail=False, **kwargs):
        super().__init__(*args, **kwargs)
        self.calls = []
        self.fail = fail

    def fit(self, corpus, parallel=False):
        self.calls.append((list(corpus), parallel))
        if self.fail:
            raise RuntimeError("fit refused")
        return super().fit(corpus, parallel)


def test_changes_refit_through_a_subclass_fit():
    ix = Recording()
    ix.add(["a", "b"], ["one text", "two text"], parallel=True)
    ix.update(["a"], ["uno"])
    ix.delete(["b"])
    assert ix.calls == [
        (["one text", "two text"], True),
        (["uno", "two text"], False),
        (["uno"], False),
    ]
    assert ix.ids == ["a"]


@pytest.mark.parametrize(
    "change",
    [
        lambda ix: ix.add(["d"], ["a new text"]),
        lambda ix: ix.update(["a", "b"], ["new a", "new b"]),
        lambda ix: ix.delete(["a"]),
    ],
)
def test_failed_refit_restores_the_lists(change):
    ix = Recording()
    ix.add(["a", "b", "c"], list(TEXTS))
    ids_object = ix.ids
    ix.fail = True
    with pytest.raises(RuntimeError, match="fit refused"):
        change(ix)
    ix.fail = False
    assert ix.ids is ids_object and ix.ids == ["a", "b", "c"]
    # The held texts are the old ones again: a re-fit of them finds the same hits.
    before = held(ix)
    ix.delete([])
    assert held(ix) == before and ix.calls[-1][0] == TEXTS


def test_failed_refit_restores_texts_seen_by_a_later_save(tmp_path):
    ix = Recording()
    ix.add(["a", "b"], ["alpha text", "beta text"])
    ix.fail = True
    with pytest.raises(RuntimeError):
        ix.update(["a"], ["gamma text"])
    ix.save(str(tmp_path))
    assert "gamma" not in (tmp_path / "corpus.json").read_text()


class FailsAfterIndexing(_RelevanceCore):
    """A fit that lets the base class index the texts, then fails when armed."""

    armed = False

    def fit(self, corpus, parallel=False):
        super().fit(corpus, parallel)
        if self.armed:
            raise RuntimeError("failed after indexing")


class RaisingFilter(logging.Filter):
    def filter(self, record):
        raise RuntimeError("failed after indexing")


@pytest.fixture(params=["overriding fit", "logging filter"])
def fails_after_indexing(request, caplog):
    """(index, arm): arm() makes every later re-fit fail once bm25s has indexed."""
    if request.param == "overriding fit":
        ix = FailsAfterIndexing()
        ix.add(["a", "b", "c"], list(TEXTS))
        yield ix, lambda: setattr(ix, "armed", True)
        return
    ix = _RelevanceCore()
    ix.add(["a", "b", "c"], list(TEXTS))
    logger, refuse = logging.getLogger("tarnix_engine.indexes._term_scoring"), RaisingFilter()
    with caplog.at_level(logging.INFO, logger=logger.name):  # a record is made only at INFO
        yield ix, lambda: logger.addFilter(refuse)
    logger.removeFilter(refuse)


@pytest.mark.parametrize(
    "change",
    [
        lambda ix: ix.add(["d"], ["zebra stripes"]),
        lambda ix: ix.update(["a"], ["zebra stripes"]),
        lambda ix: ix.delete(["a"]),
    ],
    ids=["add", "update", "delete"],
)
def test_refit_failing_after_indexing_leaves_the_model_on_the_old_texts(fails_after_indexing, change):
    ix, arm = fails_after_indexing
    queries = ["quick fox", "lazy cat", "hounds field", "zebra"]
    before = ix.size, held(ix), ix.search_raw(queries, 3)
    arm()
    with pytest.raises(RuntimeError, match="failed after indexing"):
        change(ix)
    after = ix.size, held(ix), ix.search_raw(queries, 3)
    assert after[:2] == before[:2]
    for got, expected in zip(after[2], before[2]):
        np.testing.assert_array_equal(got, expected)


def test_refit_failure_is_reported_when_reindexing_the_old_texts_fails_too(monkeypatch):
    def broken_tokenize(*args, **kwargs):
        raise RuntimeError("tokeniser broke")

    class BreaksTokeniser(_RelevanceCore):
        def fit(self, corpus, parallel=False):
            super().fit(corpus, parallel)
            if len(corpus) > 3:
                monkeypatch.setattr(_term_scoring.bm25s, "tokenize", broken_tokenize)
                raise RuntimeError("failed after indexing")

    ix = BreaksTokeniser()
    ix.add(["a", "b", "c"], list(TEXTS))
    with pytest.raises(RuntimeError, match="failed after indexing"):
        ix.add(["d"], ["zebra stripes"])
    assert ix.ids == ["a", "b", "c"]


# ---- module start-up ----------------------------------------------------------

STARTUP_PROBE = textwrap.dedent(
    """
    import os, sys
    seen = {}

    class Watch:
        def find_spec(self, name, path=None, target=None):
            if name in ("bm25s", "Stemmer", "tarnix_engine._types") and name not in seen:
                seen[name] = (os.environ.get("DISABLE_TQDM"), sorted(k for k in seen))
            return None

    sys.meta_path.insert(0, Watch())
    import tarnix_engine.indexes._term_scoring as m
    print(repr((seen, os.environ.get("DISABLE_TQDM"))))
    """
)


@pytest.mark.parametrize("preset, expected", [(None, "1"), ("0", "0"), ("", "")])
def test_start_up_sets_disable_tqdm_before_bm25s(preset, expected):
    env = {k: v for k, v in os.environ.items() if k != "DISABLE_TQDM"}
    if preset is not None:
        env["DISABLE_TQDM"] = preset
    out = subprocess.run(
        [sys.executable, "-c", STARTUP_PROBE], env=env, capture_output=True, text=True, check=True
    ).stdout
    seen, final = eval(out)
    assert final == expected
    # bm25s saw the variable already set, and Stemmer and the package came after it.
    assert seen["bm25s"][0] == expected
    assert "bm25s" in seen["Stemmer"][1] and "Stemmer" in seen["tarnix_engine._types"][1]


def test_module_constant_and_imported_names():
    assert _term_scoring._EMPTY_QUERY_TOKEN == "\x00__tarnix_empty_query__\x00"
    assert len(_term_scoring._EMPTY_QUERY_TOKEN) == 24
    from tarnix_engine import _persistence, _stopwords, _types
    from tarnix_engine.kernels import _batching

    assert _term_scoring.SearchResult is _types.SearchResult
    assert _term_scoring.resolve_directory is _persistence.resolve_directory
    assert _term_scoring.load_stopwords is _stopwords.load_stopwords
    assert _term_scoring.resolve_batch_size is _batching.resolve_batch_size
    assert _term_scoring.BM25 is _term_scoring.bm25s.BM25
