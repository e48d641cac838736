"""Saving the BM25 text index to a folder and loading it back."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from tarnix_engine import _registry
from tarnix_engine._registry import load_engine_from_directory
from tarnix_engine.indexes import _term_scoring
from tarnix_engine.indexes._term_scoring import _RelevanceCore

TEXTS = [
    "Grüße aus München: Brezeln und Weißwurst",
    "naïve café owners serve crème brûlée",
    "plain ascii text about rivers and stones",
    "rivers carve canyons through stone over ages",
]
IDS = ["müller", "café", "plain", "river"]
QUERIES = ["rivers stone", "café crème", "München", ""]
FOLDER_FILES = ["config.json", "corpus.json", "relevance_meta.json", "relevance_model"]


@pytest.fixture
def index():
    ix = _RelevanceCore("robertson", 1.2, 0.6)
    ix.add(list(IDS), list(TEXTS))
    return ix


def rows(ix, **kw):
    return [[(h.rank, h.id, h.score) for h in row] for row in ix.search(QUERIES, 4, **kw)]


def test_save_and_load_give_identical_hits(index, tmp_path):
    folder = tmp_path / "deep" / "er" / "text"
    index.save(str(folder))
    assert sorted(p.name for p in folder.iterdir()) == FOLDER_FILES
    loaded = _RelevanceCore.load(str(folder))
    assert (loaded.ids, loaded.size, loaded.is_trained) == (IDS, 4, True)
    assert rows(loaded) == rows(index)
    assert rows(loaded, candidates=[1, 3]) == rows(index, candidates=[1, 3])
    raw, ref = loaded.search_raw(QUERIES, 4), index.search_raw(QUERIES, 4)
    np.testing.assert_array_equal(raw[0], ref[0])
    np.testing.assert_array_equal(raw[1], ref[1])
    # The loaded lists serve later changes as the originals would.
    loaded.add(["new"], ["fresh text about canyons"])
    assert loaded.search("fresh canyons", 1)[0].id == "new"


def test_folder_files(index, tmp_path):
    index.save(str(tmp_path))
    assert json.loads((tmp_path / "config.json").read_text()) == {"index_type": "relevance"}
    meta = json.loads((tmp_path / "relevance_meta.json").read_text())
    assert list(meta.items()) == [
        ("index_type", "relevance"),
        ("method", "robertson"),
        ("k1", 1.2),
        ("b", 0.6),
        ("stopwords", "english"),
        ("stemmer", "english"),
    ]
    raw = (tmp_path / "corpus.json").read_bytes()
    assert raw == json.dumps({"ids": IDS, "texts": TEXTS}).encode("ascii")
    assert raw.isascii() and not raw.endswith(b"\n")


def test_non_ascii_texts_come_back_unchanged(index, tmp_path):
    index.save(str(tmp_path))
    loaded = _RelevanceCore.load(str(tmp_path))
    assert loaded.ids == IDS
    assert loaded.search("Brezeln", 1)[0].id == "müller"


def test_base_dir_is_joined(index, tmp_path):
    index.save("sub", base_dir=tmp_path)
    assert _RelevanceCore.load("sub", base_dir=str(tmp_path)).ids == IDS


def test_saving_an_index_without_ids(index, tmp_path):
    index.save(str(tmp_path / "first"))
    (tmp_path / "first" / "corpus.json").unlink()
    ix = _RelevanceCore.load(str(tmp_path / "first"))
    ix.save(str(tmp_path / "second"))
    assert sorted(p.name for p in (tmp_path / "second").iterdir()) == ["config.json", "relevance_meta.json", "relevance_model"]


def test_saving_without_ids_removes_an_older_corpus(index, tmp_path):
    index.save(str(tmp_path))
    fresh = _RelevanceCore()
    fresh.fit(["one", "two"])
    fresh.ids.clear()
    fresh.save(str(tmp_path))
    assert not (tmp_path / "corpus.json").exists()
    loaded = _RelevanceCore.load(str(tmp_path))
    assert loaded.ids == [] and loaded.size == 0


def test_folder_without_corpus_loads_with_no_documents(index, tmp_path):
    index.save(str(tmp_path))
    (tmp_path / "corpus.json").unlink()
    loaded = _RelevanceCore.load(str(tmp_path))
    assert (loaded.size, loaded.is_trained) == (0, True)
    with pytest.raises(ValueError, match=r"^k \(1\) exceeds the number of indexed documents \(0\)$"):
        loaded.search("rivers", 1)
    with pytest.raises(ValueError, match="Cannot delete all documents"):
        loaded.delete([])
    # Nothing may hand bm25s a mask of the wrong length, even at k = 0.
    with pytest.raises(ValueError, match="holds 0 ids but its model indexes 4"):
        loaded.search_raw(["rivers"], 0, candidates=[0])


@pytest.mark.parametrize(
    "meta, expected",
    [
        ({}, ("robertson", 1.5, 0.75, "english", "english")),
        ({"method": "atire", "k1": "2", "b": 1}, ("atire", 2.0, 1.0, "english", "english")),
    ],
)
def test_missing_parameters_take_the_load_fallbacks(index, tmp_path, meta, expected):
    index.save(str(tmp_path))
    (tmp_path / "relevance_meta.json").write_text(json.dumps(meta))
    loaded = _RelevanceCore.load(str(tmp_path))
    loaded.save(str(tmp_path / "again"))
    saved = json.loads((tmp_path / "again" / "relevance_meta.json").read_text())
    assert (saved["method"], saved["k1"], saved["b"], saved["stopwords"], saved["stemmer"]) == expected


def test_load_refuses_a_class_that_builds_something_else(index, tmp_path):
    class Odd(_RelevanceCore):
        def __new__(cls, **kwargs):
            return object()

    index.save(str(tmp_path))
    with pytest.raises(TypeError, match="Cannot convert object to"):
        Odd.load(str(tmp_path))


def test_registry_loads_the_folder(index, tmp_path):
    index.save(str(tmp_path))
    loaded = load_engine_from_directory(str(tmp_path))
    assert type(loaded) is _RelevanceCore and loaded.ids == IDS
    assert _registry._ENGINE_REGISTRY["relevance"] is _RelevanceCore


def test_failed_save_over_an_older_folder_leaves_it_loadable(index, tmp_path, monkeypatch):
    # The older index holds as many documents, in another order, so a model
    # of one save beside the corpus of the other would load and misname hits.
    folder = tmp_path / "text"
    older = _RelevanceCore()
    older.add([f"old-{i}" for i in range(4)], TEXTS[::-1])
    older.save(str(folder))
    real = _term_scoring.write_config

    def failing(path, mapping):
        if Path(path).name == "config.json":
            raise OSError("disk full")
        return real(path, mapping)

    monkeypatch.setattr(_term_scoring, "write_config", failing)
    with pytest.raises(OSError, match="disk full"):
        index.save(str(folder))
    monkeypatch.undo()
    assert [p.name for p in tmp_path.iterdir()] == ["text"]
    loaded = _RelevanceCore.load(str(folder))
    assert loaded.ids == [f"old-{i}" for i in range(4)]
    assert [h.id for h in loaded.search("Brezeln", 1)] == ["old-3"]
    assert rows(loaded) == rows(older)


def test_saving_over_a_folder_keeps_other_entries(index, tmp_path):
    older = _RelevanceCore()
    older.fit(["one", "two"])
    older.save(str(tmp_path))
    (tmp_path / "notes.txt").write_text("kept")
    (tmp_path / "corpus.pkl").write_bytes(b"an old version's pickle")
    index.save(str(tmp_path))
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([*FOLDER_FILES, "notes.txt"])
    assert _RelevanceCore.load(str(tmp_path)).ids == IDS


@pytest.mark.parametrize(
    "member",
    ["relevance_meta.json", "corpus.json", "relevance_model/data.csc.index.npy", "relevance_model/vocab.index.json"],
)
@pytest.mark.parametrize("kind", ["fifo", "device", "folder"])
def test_members_that_are_not_regular_files_are_refused_unopened(index, tmp_path, member, kind):
    folder = tmp_path / "text"
    index.save(str(folder))
    path = folder / member
    path.unlink()
    if kind == "fifo":
        os.mkfifo(path)  # opening it would block the load for ever
    elif kind == "device":
        path.symlink_to("/dev/zero")  # reading it would never end
    else:
        path.mkdir()
    with pytest.raises(ValueError) as err:
        _RelevanceCore.load(str(folder))
    assert str(err.value) == f"Corrupted text index at '{folder}': {member} is not a regular file"


def test_missing_meta_file_passes_through(tmp_path):
    with pytest.raises(FileNotFoundError):
        _RelevanceCore.load(str(tmp_path))


@pytest.fixture
def legacy_calls(monkeypatch):
    calls = []
    monkeypatch.setattr(_term_scoring, "reject_legacy_pickle", lambda d, name: calls.append((d, name)))
    return calls


@pytest.mark.parametrize(
    "present, expected_call",
    [
        (["corpus.json", "corpus.pkl"], None),
        (["corpus.pkl", "ids.pkl"], "corpus.pkl"),
        (["ids.pkl"], "ids.pkl"),
    ],
)
def test_legacy_pickles_are_handed_to_the_refusal(index, tmp_path, legacy_calls, present, expected_call):
    index.save(str(tmp_path))
    corpus = tmp_path / "corpus.json"
    if "corpus.json" not in present:
        corpus.unlink()
    for name in present:
        if name.endswith(".pkl"):
            (tmp_path / name).write_bytes(b"\x80\x04 not to be opened")
    loaded = _RelevanceCore.load(str(tmp_path))
    assert legacy_calls == ([] if expected_call is None else [(str(tmp_path), expected_call)])
    assert loaded.ids == (IDS if expected_call is None else [])


def test_real_refusal_of_a_legacy_pickle(index, tmp_path):
    index.save(str(tmp_path))
    (tmp_path / "corpus.json").unlink()
    (tmp_path / "corpus.pkl").write_bytes(b"never read")
    with pytest.raises(ValueError, match="legacy pickle"):
        _RelevanceCore.load(str(tmp_path))


@pytest.mark.parametrize(
    "content, message",
    [
        ({"ids": ["a", "b"], "texts": ["x"]}, "holds 2 ids but 1 texts"),
        ({"ids": ["a", "b", "c"], "texts": ["x", "y", "z"]}, "holds 3 documents but the saved model indexes 4"),
        ({"ids": "abcd", "texts": ["w", "x", "y", "z"]}, "must hold a list under \"ids\", not str"),
        ({"ids": ["a", "b", "c", "d"]}, "holds 4 ids but 0 texts"),
        ({"ids": ["a", "b", "c", "d"], "texts": ["w", 3, "y", "z"]}, "holds an int at position 1 of \"texts\""),
        ({"ids": ["a", "b", "c", "d"], "texts": ["w", "x", None, "z"]}, "holds a NoneType at position 2 of \"texts\""),
        (["a", "b"], "must hold a JSON object"),
    ],
)
def test_inconsistent_corpus_is_refused_naming_the_folder(index, tmp_path, content, message):
    index.save(str(tmp_path))
    (tmp_path / "corpus.json").write_text(json.dumps(content))
    with pytest.raises(ValueError) as err:
        _RelevanceCore.load(str(tmp_path))
    assert str(err.value).startswith(f"corpus.json in {str(tmp_path)!r} ")
    assert message in str(err.value)


@pytest.mark.parametrize("ids", [[7, 3, 11, 0], [1, "b", None, 2.5]])
def test_ids_of_other_types_round_trip(tmp_path, ids):
    ix = _RelevanceCore()
    ix.add(list(ids), list(TEXTS))
    ix.save(str(tmp_path))
    loaded = _RelevanceCore.load(str(tmp_path))
    assert loaded.ids == ids
    assert [h.id for h in loaded.search("rivers canyons", 2)] == [h.id for h in ix.search("rivers canyons", 2)]


def test_empty_corpus_lists_load_beside_any_model(index, tmp_path):
    index.save(str(tmp_path))
    (tmp_path / "corpus.json").write_text(json.dumps({"ids": [], "texts": []}))
    assert _RelevanceCore.load(str(tmp_path)).size == 0


def test_loaded_model_is_never_unpickled(index, tmp_path, monkeypatch):
    index.save(str(tmp_path))
    seen = []
    real_load = np.load

    def spy(*args, **kwargs):
        seen.append(kwargs.get("allow_pickle"))
        return real_load(*args, **kwargs)

    monkeypatch.setattr(np, "load", spy)
    _RelevanceCore.load(str(tmp_path))
    assert seen and all(flag is False for flag in seen)
    assert all(p.suffix in {".npy", ".json"} for p in Path(tmp_path / "relevance_model").iterdir())


# ---- the saved model ------------------------------------------------------------
# bm25s's numba kernel indexes the score matrix without bounds checks, so a
# tampered model must be refused by load, before any search can reach it.


def _array(name, change):
    def tamper(model):
        path = model / f"{name}.npy"
        np.save(path, change(np.load(path)))

    return tamper


def _entry(name, key, value):
    def tamper(model):
        path = model / name
        content = json.loads(path.read_text())
        content[key(model) if callable(key) else key] = value(model) if callable(value) else value
        path.write_text(json.dumps(content))

    return tamper


def _columns(model):
    return len(np.load(model / "indptr.csc.index.npy")) - 1


def _some_token(model):
    return next(t for t in json.loads((model / "vocab.index.json").read_text()) if t)


def _with(a, position, value):
    a = a.copy()
    a[position] = value
    return a


def _case(tamper, message, method="robertson", id=None):
    return pytest.param(method, tamper, message, id=id)


@pytest.mark.parametrize(
    "method, tamper, message",
    [
        _case(
            _array("indices.csc.index", lambda a: _with(a, 0, 4)),
            "holds the document index 4 at position 0, outside its 4 documents",
            id="document index at the count",
        ),
        _case(_array("indices.csc.index", lambda a: _with(a, -1, -1)), "holds the document index -1 ", id="negative"),
        _case(_array("indices.csc.index", lambda a: a.astype(np.float64)), "holds a float64 array", id="float indices"),
        _case(_array("indptr.csc.index", lambda a: a + 1), "column pointers that start at 1, not 0", id="start"),
        _case(
            _array("indptr.csc.index", lambda a: _with(a, 1, a[2] + 1)),
            "at position 2, below the one before it",
            id="pointers decrease",
        ),
        _case(_array("indptr.csc.index", lambda a: _with(a, -1, a[-1] - 1)), "column pointers that end at", id="end"),
        _case(_array("data.csc.index", lambda a: a[:-1]), "document indices but", id="fewer scores"),
        _case(_entry("vocab.index.json", _some_token, _columns), "columns of its score matrix", id="token id"),
        _case(_entry("vocab.index.json", _some_token, "0"), "to '0', which is not an int", id="token id type"),
        _case(_entry("params.index.json", "num_docs", 3), "outside its 3 documents", id="lower count"),
        _case(_entry("params.index.json", "num_docs", None), "gives the document count None", id="no count"),
        _case(
            _array("nonoccurrence_array.index", lambda a: a[:-1]),
            "non-occurrence scores for the",
            method="bm25l",
            id="non-occurrence",
        ),
        # Dtypes that would truncate scores or wrap ids.
        _case(_entry("params.index.json", "dtype", "int32"), "gives the score dtype 'int32'; it must be float32 or",
              id="integer score dtype"),
        _case(_entry("params.index.json", "dtype", "float16"), "gives the score dtype 'float16'", id="narrow scores"),
        _case(_entry("params.index.json", "dtype", "bogus"), "gives the score dtype 'bogus'", id="no dtype"),
        _case(_entry("params.index.json", "int_dtype", "float32"), "gives the index dtype 'float32'; it must be an "
              "integer dtype", id="float index dtype"),
        _case(_array("data.csc.index", lambda a: (a * 100).astype(np.int32)), "holds scores of dtype int32 as "
              "\"data\"", id="integer scores"),
        _case(_array("data.csc.index", lambda a: a.astype(np.float16)), "holds scores of dtype float16", id="float16"),
        _case(
            _array("nonoccurrence_array.index", lambda a: a.astype(np.int64)),
            "holds non-occurrence scores of dtype int64",
            method="bm25l",
            id="integer non-occurrence",
        ),
        # Parameters a later add would re-index with.
        _case(_entry("params.index.json", "k1", float("nan")), "gives k1 nan; it must be a finite number", id="k1"),
        _case(_entry("params.index.json", "b", float("inf")), "gives b inf;", id="b"),
        _case(_entry("params.index.json", "delta", "0.5"), "gives delta '0.5';", method="bm25l", id="delta"),
    ],
)
def test_tampered_model_is_refused_naming_the_folder(tmp_path, method, tamper, message):
    ix = _RelevanceCore(method)
    ix.add(list(IDS), list(TEXTS))
    ix.save(str(tmp_path))
    tamper(tmp_path / "relevance_model")
    with pytest.raises(ValueError) as err:
        _RelevanceCore.load(str(tmp_path))
    assert str(err.value).startswith(f"relevance_model in {str(tmp_path)!r} ")
    assert message in str(err.value)


def test_index_dtype_too_narrow_for_the_model_is_refused(tmp_path):
    # 300 documents of one distinct word each: uint8 ids and indices wrap.
    ix = _RelevanceCore()
    ix.fit([f"doc w{i}" for i in range(300)])
    ix.save(str(tmp_path))
    assert _RelevanceCore.load(str(tmp_path)).search("w260", 1)[0].id == "260"
    _entry("params.index.json", "int_dtype", "uint8")(tmp_path / "relevance_model")
    with pytest.raises(ValueError) as err:
        _RelevanceCore.load(str(tmp_path))
    assert str(err.value) == (
        f"relevance_model in {str(tmp_path)!r} gives the index dtype 'uint8', too narrow for its 300 documents "
        "and 302 token ids"
    )


@pytest.mark.parametrize("key, value", [("k1", float("nan")), ("b", float("inf")), ("k1", float("-inf"))])
def test_non_finite_parameters_in_the_meta_file_are_refused(index, tmp_path, key, value):
    index.save(str(tmp_path))
    meta = json.loads((tmp_path / "relevance_meta.json").read_text())
    (tmp_path / "relevance_meta.json").write_text(json.dumps({**meta, key: value}))
    with pytest.raises(ValueError) as err:
        _RelevanceCore.load(str(tmp_path))
    assert str(err.value) == (
        f"relevance_meta.json in {str(tmp_path)!r} gives {key} {value!r}; it must be a finite number"
    )


TAMPERED_SEARCH = textwrap.dedent(
    """
    import sys
    from tarnix_engine.indexes._term_scoring import _RelevanceCore

    try:
        index = _RelevanceCore.load(sys.argv[1])
    except ValueError as err:
        print(err)
    else:
        print(index.search("rivers stone", 1))
    """
)


def test_search_of_a_tampered_folder_cannot_crash(index, tmp_path):
    index.save(str(tmp_path))
    _array("indices.csc.index", lambda a: np.full_like(a, 10**8))(tmp_path / "relevance_model")
    # In a child process: loading this once made the search segfault.
    run = subprocess.run([sys.executable, "-c", TAMPERED_SEARCH, str(tmp_path)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith(f"relevance_model in {str(tmp_path)!r} holds the document index 100000000 ")
