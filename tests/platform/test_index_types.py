"""What every saved index type does alike: it refuses to be pickled or copied,
trained or not, `load` on a subclass builds that subclass, the folder is
named by a str, and a folder a save left mid-swap is named for restoring."""

import copy
import pickle

import numpy as np
import pytest

from tarnix_engine.indexes._shard_flow import _StreamingCore
from tarnix_engine.indexes._tarnix_impl import _TarnixCore, _VectorStore
from tarnix_engine.indexes._term_scoring import _RelevanceCore
from tarnix_engine.kernels.core import _CoreIndex
from tarnix_engine.tuning._depth_oracle import TunedModel

from model_helpers import save_npz, toy_arrays

PICKLE_REFUSED = "no default __reduce__ due to non-trivial __cinit__"


def _rows(n, dim=4):
    return np.random.default_rng(5).standard_normal((n, dim)).astype(np.float32)


def _text():
    ix = _RelevanceCore()
    ix.add(["a", "b", "c"], ["river stone", "stone wall", "harbor lights"])
    return ix


def _vector():
    ix = _TarnixCore()
    ix.add(["a", "b", "c", "d"], _rows(4, 8))
    return ix


def _store():
    s = _VectorStore()
    s.fit(_rows(5))
    return s


def _core():
    ix = _CoreIndex()
    ix.fit(_rows(6, 16), False)
    return ix


# Each type: its class, a factory of a trained instance, and how many rows it holds.
TYPES = {
    "text index": (_RelevanceCore, _text, lambda o: o.size),
    "vector index": (_TarnixCore, _vector, lambda o: o.size),
    "vector store": (_VectorStore, _store, lambda o: o.matrix.shape[0]),
    "binary-code index": (_CoreIndex, _core, lambda o: o.matrix.rows),
    "tuned model": (TunedModel, lambda: TunedModel(toy_arrays()), lambda o: o.speed_preferences),
}
SAVED_TYPES = [kind for kind in TYPES if kind != "tuned model"]  # a model is an archive it never writes


def _streaming():
    ix = _StreamingCore()
    rows = _rows(4, 8)
    ix.add_batch(["river stone", "stone wall"], rows[:2])
    ix.add_batch(["harbor lights", "quiet harbor"], rows[2:])
    return ix


# The types saved as a folder, with the streaming index, which holds one
# index of each kind per shard.
FOLDER_TYPES = {**{kind: TYPES[kind] for kind in SAVED_TYPES},
                "streaming index": (_StreamingCore, _streaming, lambda o: o.size)}


@pytest.mark.parametrize(
    "copier",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__({})],
    ids=["pickle", "copy", "deepcopy", "setstate"],
)
@pytest.mark.parametrize("trained", [False, True], ids=["new", "trained"])
@pytest.mark.parametrize("kind", SAVED_TYPES)
def test_pickling_and_copying_are_refused(kind, trained, copier):
    cls, make, _ = TYPES[kind]
    obj = make() if trained else cls()
    with pytest.raises(TypeError, match=f"^{PICKLE_REFUSED}$"):
        copier(obj)


@pytest.mark.parametrize("kind", TYPES)
def test_load_on_a_subclass_builds_that_subclass(kind, tmp_path):
    cls, make, held = TYPES[kind]
    original = make()
    if kind == "tuned model":
        path = save_npz(tmp_path / "model.npz", toy_arrays())
    else:
        path = tmp_path / "saved"
        original.save(str(path))
    Mine = type("Mine", (cls,), {})
    loaded = Mine.load(str(path))
    assert type(loaded) is Mine
    assert held(loaded) == held(original)


@pytest.mark.parametrize("target", [".", "..", "sub/..", "{cwd}"], ids=["dot", "dotdot", "ends-in-dotdot", "cwd"])
@pytest.mark.parametrize("kind", SAVED_TYPES)
def test_save_refuses_a_folder_without_a_name_of_its_own(kind, target, tmp_path, monkeypatch):
    # Saving stages a folder beside the target and swaps it in: "." or the
    # folder the process works in has no name to stage beside.
    work = tmp_path / "work"
    (work / "sub").mkdir(parents=True)
    monkeypatch.chdir(work)
    obj = TYPES[kind][1]()
    with pytest.raises(ValueError, match="name the folder to save into"):
        obj.save(target.format(cwd=work))
    assert sorted(p.name for p in tmp_path.rglob("*")) == ["sub", "work"]  # nothing written anywhere


def _break_npy_header(path):
    # An unclosed brace: numpy's header tokeniser stops with tokenize.TokenError.
    raw = bytearray(path.read_bytes())
    end = 10 + int.from_bytes(raw[8:10], "little")
    raw[10:end] = bytes(raw[10:end]).replace(b"}", b" ")
    path.write_bytes(bytes(raw))


@pytest.mark.parametrize("kind", SAVED_TYPES)
def test_a_damaged_npy_header_is_a_corrupted_folder(kind, tmp_path):
    cls, make, _ = TYPES[kind]
    make().save(str(tmp_path / "saved"))
    for npy in sorted((tmp_path / "saved").rglob("*.npy")):
        _break_npy_header(npy)
    with pytest.raises(ValueError, match=r"^Corrupted .* has a damaged header") as caught:
        cls.load(str(tmp_path / "saved"))
    assert ".npy" in str(caught.value) or "relevance_model" in str(caught.value)


@pytest.mark.parametrize("operation", ["save", "load"])
@pytest.mark.parametrize("kind", ["text index", "vector index", "vector store", "streaming index"])
def test_directory_must_be_a_string(kind, operation, tmp_path):
    cls, make, _ = FOLDER_TYPES[kind]
    target = make().save if operation == "save" else cls.load
    with pytest.raises(TypeError, match=r"^Argument 'directory' has incorrect type \(expected str, got PosixPath\)$"):
        target(tmp_path)
    with pytest.raises(TypeError):
        target(None)


@pytest.mark.parametrize("kind", FOLDER_TYPES)
def test_load_of_a_folder_left_mid_swap_names_the_folder_to_restore(kind, tmp_path):
    # A save killed between the two renames of the fallback swap leaves the
    # new folder at its staging name and the old one beside it.
    cls, make, held = FOLDER_TYPES[kind]
    original = make()
    staged, final = tmp_path / ".idx.saving-0a1b2c", tmp_path / "idx"
    original.save(str(staged))
    original.save(str(tmp_path / ".idx.saving-0a1b2c.old"))
    with pytest.raises(FileNotFoundError, match="a save was interrupted") as err:
        cls.load(str(final))
    assert f"the complete folder {str(staged)!r} can be renamed to {str(final)!r}" in str(err.value)
    staged.rename(final)
    assert held(cls.load(str(final))) == held(original)
