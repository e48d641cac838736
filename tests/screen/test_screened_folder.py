"""ScreenedSearch folders: layout, alignment checks at load, staged saves."""

import json
import os

import numpy as np
import pytest

from tarnix_engine import _screened_search
from tarnix_engine._screened_search import ScreenedSearch

from screened_fakes import Failing, FakeStore, FakeStreamingIndex, FakeVectorIndex


def load_fake_inner(path):
    if os.path.exists(os.path.join(path, "count.json")):
        inner = FakeStreamingIndex()
        with open(os.path.join(path, "count.json")) as f:
            inner.count = json.load(f)
        return inner
    inner = FakeVectorIndex()
    with open(os.path.join(path, "ids.json")) as f:
        inner.ids = json.load(f)
    return inner


class Faked(ScreenedSearch):
    _load_inner = staticmethod(load_fake_inner)


@pytest.fixture(autouse=True)
def fake_store_class(monkeypatch):
    monkeypatch.setattr(_screened_search, "RowScreen", FakeStore)


def filled(inner=None, ids=("a", "b", "c")):
    w = Faked(inner or FakeVectorIndex(), FakeStore())
    w.add(list(ids), np.zeros((len(ids), 2)), roles=[["r"]] * len(ids))
    return w


def test_a_round_trip_keeps_ids_and_writes_the_config(tmp_path):
    w = filled()
    w.save(str(tmp_path / "f"))
    assert sorted(os.listdir(tmp_path / "f")) == ["config.json", "filter", "inner"]
    config = json.loads((tmp_path / "f" / "config.json").read_text())
    assert list(config.items()) == [("index_type", "filtered"), ("inner_index_type", "fake_vector")]
    back = Faked.load(str(tmp_path / "f"))
    assert type(back) is Faked
    assert (back.ids, back.size, back.inner.ids) == (["a", "b", "c"], 3, ["a", "b", "c"])
    assert back.candidates(roles=["r"]).tolist() == [0, 1, 2]


def test_an_inner_index_without_index_type_writes_null(tmp_path):
    class Untyped(FakeVectorIndex):
        index_type = property(lambda self: (_ for _ in ()).throw(AttributeError("index_type")))

    filled(Untyped()).save(str(tmp_path / "f"))
    assert json.loads((tmp_path / "f" / "config.json").read_text())["inner_index_type"] is None


def rewrite(folder, part, fn):
    path = folder / part
    path.write_text(json.dumps(fn(json.loads(path.read_text()))))


@pytest.mark.parametrize(
    "part, change, counts",
    [
        ("inner/ids.json", lambda ids: ids[::-1], "(3 vs 3)"),  # same ids, other order
        ("inner/ids.json", lambda ids: ["0", "1", "2"], "(3 vs 3)"),  # fitted without ids
        ("inner/ids.json", lambda ids: ids[:2], "(2 vs 3)"),
        ("inner/ids.json", lambda ids: [], "(0 vs 3)"),  # empty ids, yet a different size
    ],
)
def test_halves_that_hold_different_documents_are_refused(tmp_path, part, change, counts):
    filled().save(str(tmp_path / "f"))
    rewrite(tmp_path / "f", part, change)
    message = (
        "Corrupted index at 'f': the inner index and the filter hold different ids "
        f"{counts}. Refusing to load a misaligned index."
    )
    with pytest.raises(ValueError, match=f"^{message.replace('(', r'[(]').replace(')', r'[)]')}$"):
        Faked.load("f", base_dir=str(tmp_path))


def test_a_streaming_inner_index_is_checked_by_its_size(tmp_path):
    w = Faked(FakeStreamingIndex(), FakeStore())
    w.add(["a", "b"], ["t1", "t2"])
    w.save(str(tmp_path / "f"))
    assert Faked.load(str(tmp_path / "f")).ids == ["a", "b"]
    (tmp_path / "f" / "inner" / "count.json").write_text("3")
    with pytest.raises(ValueError, match=r"different ids \(3 vs 2\)"):
        Faked.load(str(tmp_path / "f"))


def test_a_store_whose_positions_have_gaps_is_refused(tmp_path):
    w = Faked(FakeStreamingIndex(), FakeStore())
    w.add(["a", "b", "c"], ["t1", "t2", "t3"])
    w.save(str(tmp_path / "f"))
    rewrite(tmp_path / "f", "filter/rows.json", lambda rows: {**rows, "c": [5, {}, []]})
    with pytest.raises(ValueError, match="positions do not run from 0 to 2 without gaps"):
        Faked.load(str(tmp_path / "f"))


def test_load_uses_the_class_loader_and_needs_the_config_first(tmp_path):
    seen = []

    class Spy(Faked):
        _load_inner = staticmethod(lambda path: seen.append(path) or load_fake_inner(path))

    with pytest.raises(FileNotFoundError):
        Spy.load(str(tmp_path / "missing"))
    assert seen == []
    filled().save(str(tmp_path / "f"))
    assert type(Spy.load(str(tmp_path / "f"))) is Spy
    assert seen == [str(tmp_path / "f" / "inner")]


@pytest.mark.parametrize("method", ["save", "load"])
def test_the_folder_must_be_a_str(tmp_path, method):
    target = Faked if method == "load" else filled()
    with pytest.raises(TypeError, match="Argument 'directory' has incorrect type"):
        getattr(target, method)(tmp_path / "f")
    assert not (tmp_path / "f").exists()


@pytest.mark.parametrize("failing", ["inner", "store"])
def test_a_failed_save_leaves_the_old_folder_loadable(tmp_path, failing):
    folder = tmp_path / "f"
    filled(ids=("a", "b")).save(str(folder))
    (folder / "notes.txt").write_text("mine")
    w = filled(ids=("x", "y", "z"))
    (w.inner if failing == "inner" else w.row_screen).fail_next["save"] = Failing("disk full")
    with pytest.raises(Failing):
        w.save(str(folder))
    back = Faked.load(str(folder))
    assert back.ids == ["a", "b"] == back.inner.ids
    assert (folder / "notes.txt").read_text() == "mine"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["f"]  # no staging folder left


def test_a_save_over_an_old_folder_replaces_its_parts_and_keeps_other_entries(tmp_path):
    folder = tmp_path / "f"
    filled(ids=("a",)).save(str(folder))
    (folder / "notes.txt").write_text("mine")
    filled(ids=("x", "y")).save(str(folder))
    assert Faked.load(str(folder)).ids == ["x", "y"]
    assert (folder / "notes.txt").read_text() == "mine"


def test_a_folder_left_mid_swap_is_named_at_load(tmp_path):
    filled().save(str(tmp_path / "f"))
    # A save that died between its two renames: the new folder at its staging
    # name, the old one retired beside it, nothing under the folder's name.
    (tmp_path / "f").rename(tmp_path / ".f.saving-abc.old")
    filled(ids=("x",)).save(str(tmp_path / "g"))
    (tmp_path / "g").rename(tmp_path / ".f.saving-abc")
    with pytest.raises(FileNotFoundError, match=r"\.f\.saving-abc"):
        Faked.load(str(tmp_path / "f"))


def test_a_misaligned_folder_whose_name_has_undecodable_bytes_is_named_in_the_refusal(tmp_path):
    name = os.fsdecode(b"f\xff")  # a surrogate escape, as os.listdir gives such a name
    filled().save(str(tmp_path / name))
    rewrite(tmp_path / name, "inner/ids.json", lambda ids: ids[::-1])
    with pytest.raises(ValueError) as raised:
        Faked.load(name, base_dir=str(tmp_path))
    assert str(raised.value).startswith(f"Corrupted index at '{name}': the inner index and the filter hold")
