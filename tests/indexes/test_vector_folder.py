"""The vector index folder: save, load, corrupt folders, interrupted saves."""

import json
import os
import re
import stat
from pathlib import Path

import numpy as np
import pytest

from tarnix_engine import _persistence
from tarnix_engine._registry import load_engine_from_directory
from tarnix_engine.indexes import _tarnix_impl
from tarnix_engine.indexes._tarnix_impl import _TarnixCore

UNFITTED = "Cannot save an unfitted TarnixEngine \u2014 call fit() first."


@pytest.fixture
def saved(fitted, tmp_path):
    """The fitted index saved to tmp_path/"idx"."""
    folder = tmp_path / "idx"
    fitted.index.save(str(folder))
    return folder


def meta_of(folder):
    return json.loads((Path(folder) / "index_meta.json").read_text())


def write_meta(folder, meta):
    (Path(folder) / "index_meta.json").write_text(json.dumps(meta))


def assert_same_index(a, b, queries):
    assert a.ids == b.ids
    assert a.size == b.size == b.coreindex.matrix.rows
    np.testing.assert_array_equal(a._matrix, b._matrix)
    np.testing.assert_array_equal(a._params.boundaries, b._params.boundaries)
    np.testing.assert_array_equal(a._params.fit_values, b._params.fit_values)
    assert a.search(queries, 5) == b.search(queries, 5)
    for x, y in zip(a.search_raw(queries, 5), b.search_raw(queries, 5)):
        np.testing.assert_array_equal(x, y)


# ---------------------------------------------------------------------------
# round trip and layout


@pytest.mark.parametrize("n_candidates", [None, 50])
def test_round_trip_keeps_everything(vectors, tmp_path, n_candidates):
    index = _TarnixCore(n_candidates=n_candidates)
    data = vectors(60, 6, seed=3)
    index.add([f"doc-{i}" for i in range(60)], data)
    index.delete(["doc-7"])
    index.save(str(tmp_path / "a"))

    loaded = _TarnixCore.load(str(tmp_path / "a"))
    assert type(loaded) is _TarnixCore
    assert_same_index(index, loaded, data[:6] + 0.01)
    loaded.save(str(tmp_path / "b"))
    assert meta_of(tmp_path / "b") == meta_of(tmp_path / "a")
    assert meta_of(tmp_path / "a")["n_candidates"] == (27 if n_candidates is None else 50)


def test_folder_layout(fitted, saved, folder_listing):
    assert folder_listing(saved) == ["bytes", "config.json", "coreindex", "ids.json", "index_meta.json"]
    assert folder_listing(saved / "bytes") == ["boundaries.npy", "config.json", "matrix.npy"]
    assert json.loads((saved / "config.json").read_text()) == {"index_type": "tarnix"}
    assert json.loads((saved / "bytes" / "config.json").read_text()) == {"index_type": "vectorstore"}
    assert list(meta_of(saved)) == ["n_candidates", "d_scale"]
    assert meta_of(saved)["n_candidates"] == 18
    assert (saved / "ids.json").read_text() == json.dumps(fitted.ids)
    matrix = np.load(saved / "bytes" / "matrix.npy")
    np.testing.assert_array_equal(matrix, fitted.index._matrix)
    assert matrix.dtype == np.uint8
    edges = np.load(saved / "bytes" / "boundaries.npy")
    assert edges.dtype == np.float64 and edges.shape == (8, 256)


def test_ids_file_is_plain_ascii_json(vectors, tmp_path):
    ids = ["caf\u00e9", "\u6587\u66f8", 'quote"d', "back\\slash"]
    index = _TarnixCore()
    index.add(list(ids), vectors(4, 3))
    index.save(str(tmp_path))
    raw = (tmp_path / "ids.json").read_bytes()
    assert raw == json.dumps(ids).encode("ascii")
    assert _TarnixCore.load(str(tmp_path)).ids == ids


def test_save_and_load_resolve_against_base_dir(fitted, tmp_path):
    fitted.index.save("nested/idx", base_dir=tmp_path)
    assert (tmp_path / "nested" / "idx" / "index_meta.json").is_file()
    loaded = _TarnixCore.load("nested/idx", base_dir=str(tmp_path))
    assert loaded.ids == fitted.ids


def test_registry_loads_the_folder_as_a_vector_index(fitted, saved):
    loaded = load_engine_from_directory(saved)
    assert type(loaded) is _TarnixCore and loaded.ids == fitted.ids


def test_loaded_index_keeps_working(fitted, saved, vectors):
    loaded = _TarnixCore.load(str(saved))
    extra = vectors(3, 8, seed=70)
    loaded.add(["x0", "x1", "x2"], extra)
    loaded.delete(["d0"])
    loaded.update(["d1"], extra[0] * 2)
    assert loaded.ids == fitted.ids[1:] + ["x0", "x1", "x2"]
    assert loaded.size == loaded.coreindex.matrix.rows == 42
    assert [row[0].id for row in loaded.search(extra[1:], 1)] == ["x1", "x2"]


# ---------------------------------------------------------------------------
# argument rules


def test_unfitted_index_refuses_to_save(tmp_path):
    folder = tmp_path / "never"
    with pytest.raises(RuntimeError) as raised:
        _TarnixCore().save(str(folder))
    assert str(raised.value) == UNFITTED
    assert list(tmp_path.iterdir()) == []


def test_save_asks_an_overridden_is_trained(fitted, tmp_path):
    class NeverTrained(_TarnixCore):
        @property
        def is_trained(self):
            return False

    index = NeverTrained()
    index.add(list(fitted.ids), fitted.vectors)
    with pytest.raises(RuntimeError, match="Cannot save an unfitted"):
        index.save(str(tmp_path / "x"))
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------------------
# index_meta.json variants


@pytest.mark.parametrize(
    "meta, n_candidates",
    [
        ({"k_hamming": 64}, 64),
        ({"n_candidates": None, "k_hamming": 64}, 18),  # null wins, then the automatic rule
        ({"n_candidates": 12, "k_hamming": 64}, 12),
        ({}, 18),
    ],
)
def test_shortlist_size_from_the_folder(saved, meta, n_candidates):
    scale = meta_of(saved)["d_scale"]
    write_meta(saved, {**meta, "d_scale": scale})
    loaded = _TarnixCore.load(str(saved))
    loaded.save(str(saved))
    assert meta_of(saved) == {"n_candidates": n_candidates, "d_scale": scale}


@pytest.mark.parametrize("meta", [{"n_candidates": 18, "d_scale": None}, {"n_candidates": 18}])
def test_missing_score_scale_is_recomputed(saved, meta, expected_d_scale):
    write_meta(saved, meta)
    loaded = _TarnixCore.load(str(saved))
    loaded.save(str(saved))
    assert meta_of(saved)["d_scale"] == expected_d_scale(loaded._matrix)


def test_saved_score_scale_is_taken_as_stored(fitted, saved):
    write_meta(saved, {"n_candidates": 18, "d_scale": 123.5})
    loaded = _TarnixCore.load(str(saved))
    query = fitted.vectors[3] + 0.2
    _, distances = loaded.search_raw(query, 4)
    hits = loaded.search(query, 4)
    np.testing.assert_allclose([hit.score for hit in hits], np.exp(-distances[0] / 123.5), rtol=1e-12)


# ---------------------------------------------------------------------------
# ids.json and ids.pkl


def test_folder_without_ids_loads_with_positions_as_names(saved):
    (saved / "ids.json").unlink()
    loaded = _TarnixCore.load(str(saved))
    assert loaded.ids == [] and loaded.size == 40


def test_empty_ids_file_is_not_counted(saved):
    (saved / "ids.json").write_text("[]")
    loaded = _TarnixCore.load(str(saved))
    assert loaded.ids == [] and loaded.size == 40


def test_ids_file_wins_over_a_legacy_pickle(fitted, saved, monkeypatch):
    (saved / "ids.pkl").write_bytes(b"not read")
    asked = []
    monkeypatch.setattr(_tarnix_impl, "reject_legacy_pickle", lambda *a: asked.append(a))
    assert _TarnixCore.load(str(saved)).ids == fitted.ids
    assert asked == []


def test_a_lone_legacy_pickle_is_handed_to_the_guard(saved, monkeypatch):
    (saved / "ids.json").unlink()
    (saved / "ids.pkl").write_bytes(b"\x80\x04 never unpickled")
    with pytest.raises(ValueError, match="legacy pickle"):
        _TarnixCore.load(str(saved))

    asked = []
    monkeypatch.setattr(_tarnix_impl, "reject_legacy_pickle", lambda *a: asked.append(a))
    loaded = _TarnixCore.load(str(saved))
    assert asked == [(str(saved), "ids.pkl")]
    assert loaded.ids == [] and loaded.size == 40


@pytest.mark.parametrize(
    "text",
    ['{"a": 1}', "[1, 2]", '"d0"', "null", '["d0", null]', '[["d0"]]'],
)
def test_ids_file_must_hold_a_list_of_strings(saved, text):
    (saved / "ids.json").write_text(text)
    with pytest.raises(ValueError, match=f"^Corrupted index at '{re.escape(str(saved))}'"):
        _TarnixCore.load(str(saved))


def test_ids_file_that_is_not_json(saved):
    (saved / "ids.json").write_text("[d0, d1")
    with pytest.raises(json.JSONDecodeError):
        _TarnixCore.load(str(saved))


def test_ids_count_must_match_the_rows(saved):
    (saved / "ids.json").write_text(json.dumps(["a", "b"]))
    with pytest.raises(ValueError) as raised:
        _TarnixCore.load(str(saved))
    assert str(raised.value) == (
        f"Corrupted index at '{saved}': ids.json has 2 ids but bytes/matrix.npy has 40 rows. "
        "Refusing to load a mismatched index."
    )


def _truncate_store(folder, rows):
    matrix = np.load(folder / "bytes" / "matrix.npy")
    np.save(folder / "bytes" / "matrix.npy", matrix[:rows])


def test_binary_rows_must_match_the_store_rows(saved):
    (saved / "ids.json").unlink()
    _truncate_store(saved, 30)
    with pytest.raises(ValueError) as raised:
        _TarnixCore.load(str(saved))
    assert str(raised.value) == (
        f"Corrupted index at '{saved}': coreindex has 40 rows but bytes/matrix.npy has 30 rows. "
        "Refusing to load a mismatched index."
    )


def test_ids_are_checked_before_the_binary_rows(saved):
    _truncate_store(saved, 30)
    with pytest.raises(ValueError, match="ids.json has 40 ids but bytes/matrix.npy has 30 rows"):
        _TarnixCore.load(str(saved))


def test_mismatch_message_names_the_directory_argument(saved, monkeypatch):
    (saved / "ids.json").unlink()
    _truncate_store(saved, 30)
    monkeypatch.setattr(_tarnix_impl, "resolve_directory", lambda directory, base_dir: Path(base_dir))
    with pytest.raises(ValueError, match="^Corrupted index at 'None': coreindex has 40 rows"):
        _TarnixCore.load(None, base_dir=str(saved))


@pytest.mark.parametrize(
    "damage, error",
    [
        (lambda d: (d / "index_meta.json").unlink(), FileNotFoundError),
        (lambda d: (d / "index_meta.json").write_text("{oops"), json.JSONDecodeError),
        (lambda d: (d / "index_meta.json").write_text("[18, 1.0]"), AttributeError),
        (lambda d: (d / "bytes" / "matrix.npy").unlink(), FileNotFoundError),
        (lambda d: (d / "bytes" / "boundaries.npy").unlink(), FileNotFoundError),
    ],
    ids=["no meta", "meta not json", "meta not an object", "no matrix", "no edges"],
)
def test_damaged_folders_are_refused(saved, damage, error):
    damage(saved)
    with pytest.raises(error):
        _TarnixCore.load(str(saved))


def test_config_files_are_not_read_back(fitted, saved):
    (saved / "config.json").unlink()
    (saved / "bytes" / "config.json").write_text('{"index_type": "something else"}')
    assert _TarnixCore.load(str(saved)).ids == fitted.ids


# ---------------------------------------------------------------------------
# saving over an existing folder


def _index_without_ids(saved):
    (saved / "ids.json").unlink()
    return _TarnixCore.load(str(saved))


def test_saving_without_ids_drops_stale_id_files(fitted, saved, tmp_path):
    index = _index_without_ids(saved)
    target = tmp_path / "old"
    fitted.index.save(str(target))
    (target / "ids.pkl").write_bytes(b"legacy")
    index.save(str(target))
    assert not (target / "ids.json").exists()
    assert not (target / "ids.pkl").exists()
    loaded = _TarnixCore.load(str(target))
    assert loaded.ids == [] and loaded.size == 40


def test_saving_an_emptied_index_over_its_old_folder(fitted, saved):
    fitted.index.delete(list(fitted.ids))
    fitted.index.save(str(saved))
    loaded = _TarnixCore.load(str(saved))
    assert loaded.ids == [] and loaded.size == 0 and loaded.is_trained


def test_foreign_entries_of_the_folder_survive_a_save(fitted, saved, vectors, folder_listing):
    (saved / "notes.txt").write_text("mine")
    (saved / "extra").mkdir()
    (saved / "extra" / "data.bin").write_bytes(b"\x00\x01")
    other = _TarnixCore()
    other.add(["only"], vectors(1, 8, seed=3))
    other.save(str(saved))
    assert (saved / "notes.txt").read_text() == "mine"
    assert (saved / "extra" / "data.bin").read_bytes() == b"\x00\x01"
    assert _TarnixCore.load(str(saved)).ids == ["only"]
    assert folder_listing(saved.parent) == ["idx"]


@pytest.mark.parametrize("failure", ["carrying an entry over", "retiring the old folder", "placing the new folder"])
def test_a_failed_swap_keeps_the_old_folder_whole(fitted, saved, vectors, monkeypatch, failure):
    for name in ("a.txt", "b.txt", "c.txt"):
        (saved / name).write_text(name)
    before = {p.relative_to(saved): p.read_bytes() for p in saved.rglob("*") if p.is_file()}
    replacement = _TarnixCore()
    replacement.add(["new0", "new1"], vectors(2, 8, seed=5))

    real_rename = os.rename
    carried = []

    def rename(src, dst):
        src, dst = Path(src), Path(dst)
        staging = src.name.startswith(".idx.saving-") and not src.name.endswith(".old")
        if src.parent == saved and dst.parent.name.startswith(".idx.saving-"):
            carried.append(src.name)
            fails = failure == "carrying an entry over" and len(carried) == 3  # after two were moved
        else:
            fails = {
                "carrying an entry over": False,
                "retiring the old folder": src == saved,
                "placing the new folder": staging and dst == saved,
            }[failure]
        if fails:
            raise OSError("injected")
        return real_rename(src, dst)

    monkeypatch.setattr(os, "rename", rename)
    if failure != "carrying an entry over":
        monkeypatch.setattr(_persistence, "_exchange", lambda a, b: False)  # the two-rename fallback
    with pytest.raises(OSError, match="injected"):
        replacement.save(str(saved))
    monkeypatch.undo()

    assert {p.relative_to(saved): p.read_bytes() for p in saved.rglob("*") if p.is_file()} == before
    assert sorted(p.name for p in saved.parent.iterdir()) == ["idx"]
    assert _TarnixCore.load(str(saved)).ids == fitted.ids


def test_saved_folders_have_the_permissions_of_new_folders(fitted, tmp_path):
    umask = os.umask(0)
    os.umask(umask)
    fitted.index.save(str(tmp_path / "new"))
    for folder in ("new", "new/coreindex", "new/bytes"):
        assert stat.S_IMODE((tmp_path / folder).stat().st_mode) == 0o777 & ~umask, folder

    (tmp_path / "kept").mkdir()
    os.chmod(tmp_path / "kept", 0o750)
    fitted.index.save(str(tmp_path / "kept"))
    fitted.index.save(str(tmp_path / "kept"))
    assert stat.S_IMODE((tmp_path / "kept").stat().st_mode) == 0o750


def test_saving_through_a_symlinked_folder_keeps_the_link(fitted, saved, vectors, tmp_path):
    (saved / "notes.txt").write_text("mine")
    link = tmp_path / "link"
    link.symlink_to(saved)
    replacement = _TarnixCore()
    replacement.add(["only"], vectors(1, 8, seed=3))
    replacement.save(str(link))
    assert link.is_symlink() and link.resolve() == saved.resolve()
    assert (saved / "notes.txt").read_text() == "mine"
    assert _TarnixCore.load(str(saved)).ids == ["only"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["idx", "link"]


def _fail_on_call(n):
    real = _persistence.write_config
    count = iter(range(1, 100))

    def write(path, mapping):
        if next(count) == n:
            raise OSError("disk full")
        return real(path, mapping)

    return write


@pytest.mark.parametrize("failure", ["core", "store config", "meta", "config"])
@pytest.mark.parametrize("existing", [True, False])
def test_interrupted_save_leaves_the_old_folder(flaky_core, fitted, tmp_path, monkeypatch, vectors, failure, existing):
    folder = tmp_path / "idx"
    if existing:
        fitted.index.save(str(folder))
        before = {p.relative_to(folder): p.read_bytes() for p in folder.rglob("*") if p.is_file()}
    replacement = _TarnixCore()
    replacement.add(["new0", "new1", "new2"], vectors(3, 8, seed=5))

    if failure == "core":
        flaky_core.fail = {"save"}
    else:
        # write_config runs for bytes/config.json, then index_meta.json, then config.json.
        call = {"store config": 1, "meta": 2, "config": 3}[failure]
        monkeypatch.setattr(_tarnix_impl, "write_config", _fail_on_call(call))
    with pytest.raises((OSError, RuntimeError)):
        replacement.save(str(folder))

    flaky_core.fail = set()
    monkeypatch.setattr(_tarnix_impl, "write_config", _persistence.write_config)
    if existing:
        assert sorted(p.name for p in tmp_path.iterdir()) == ["idx"]
        after = {p.relative_to(folder): p.read_bytes() for p in folder.rglob("*") if p.is_file()}
        assert after == before
        loaded = _TarnixCore.load(str(folder))
        assert loaded.ids == fitted.ids
        np.testing.assert_array_equal(loaded._matrix, fitted.index._matrix)
    else:
        assert list(tmp_path.iterdir()) == []


def test_repeated_saves_leave_no_staging_folders(fitted, tmp_path, vectors):
    folder = tmp_path / "idx"
    for i in range(3):
        fitted.index.add([f"more{i}"], vectors(1, 8, seed=i))
        fitted.index.save(str(folder))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["idx"]
    assert _TarnixCore.load(str(folder)).ids == fitted.ids + ["more0", "more1", "more2"]


# ---------------------------------------------------------------------------
# corrupt folders: refused at load, naming the file


def _edit_meta(**changes):
    def damage(folder):
        write_meta(folder, {**meta_of(folder), **changes})

    return damage


def _edit_edges(change):
    def damage(folder):
        path = folder / "bytes" / "boundaries.npy"
        np.save(path, change(np.load(path)))

    return damage


def _edit_matrix(change):
    def damage(folder):
        path = folder / "bytes" / "matrix.npy"
        np.save(path, change(np.load(path)))

    return damage


def _narrow_store(folder):
    # A store of 7 columns beside a binary half of 8: each is whole on its own.
    _edit_matrix(lambda m: m[:, :7])(folder)
    _edit_edges(lambda e: e[:7])(folder)


def _nan_edge(edges):
    edges[3, 10] = np.nan
    return edges


def _fifo(relative):
    def damage(folder):
        (folder / relative).unlink()
        os.mkfifo(folder / relative)

    return damage


def _directory(relative):
    def damage(folder):
        (folder / relative).unlink()
        (folder / relative).mkdir()

    return damage


def _device(relative):
    def damage(folder):
        (folder / relative).unlink()
        (folder / relative).symlink_to("/dev/zero")

    return damage


@pytest.mark.parametrize(
    "damage, where, file",
    [
        (_edit_meta(n_candidates=0), ".", "index_meta.json"),
        (_edit_meta(n_candidates=-3), ".", "index_meta.json"),
        (_edit_meta(n_candidates=2.5), ".", "index_meta.json"),
        (_edit_meta(n_candidates=True), ".", "index_meta.json"),
        (_edit_meta(n_candidates="18"), ".", "index_meta.json"),
        (_edit_meta(n_candidates=2**31), ".", "index_meta.json"),
        (lambda f: write_meta(f, {"k_hamming": -1, "d_scale": meta_of(f)["d_scale"]}), ".", "index_meta.json"),
        (_edit_meta(d_scale=0), ".", "index_meta.json"),
        (_edit_meta(d_scale=-2.0), ".", "index_meta.json"),
        (_edit_meta(d_scale=float("nan")), ".", "index_meta.json"),
        (_edit_meta(d_scale=float("inf")), ".", "index_meta.json"),
        (_edit_meta(d_scale=10**400), ".", "index_meta.json"),
        (_edit_meta(d_scale="1.0"), ".", "index_meta.json"),
        (_edit_edges(lambda e: e.T.copy()), "bytes", "boundaries.npy"),
        (_edit_edges(lambda e: e[:, ::-1].copy()), "bytes", "boundaries.npy"),
        (_edit_edges(_nan_edge), "bytes", "boundaries.npy"),
        (_edit_edges(lambda e: e.astype(np.float32)), "bytes", "boundaries.npy"),
        (_edit_edges(lambda e: e[None]), "bytes", "boundaries.npy"),
        (_edit_edges(lambda e: e[:, :1]), "bytes", "boundaries.npy"),
        (_edit_edges(lambda e: np.repeat(e, 2, axis=1)), "bytes", "boundaries.npy"),  # 512 levels
        (_edit_edges(lambda e: e[:5]), "bytes", "boundaries.npy"),
        (_edit_matrix(lambda m: m.astype(np.float64)), "bytes", "matrix.npy"),
        (_edit_matrix(lambda m: m.ravel()), "bytes", "matrix.npy"),
        (_edit_matrix(lambda m: m[:, :, None]), "bytes", "matrix.npy"),
        (_narrow_store, ".", "bytes/matrix.npy"),
        (_fifo("index_meta.json"), ".", "index_meta.json"),
        (_fifo("ids.json"), ".", "ids.json"),
        (_directory("ids.json"), ".", "ids.json"),
        (_device("ids.json"), ".", "ids.json"),
        (_fifo("bytes/matrix.npy"), "bytes", "matrix.npy"),
        (_device("bytes/boundaries.npy"), "bytes", "boundaries.npy"),
        (_fifo("coreindex/codes.npy"), "coreindex", "codes.npy"),
        (_fifo("coreindex/coreindex.json"), "coreindex", "coreindex.json"),
    ],
)
def test_corrupt_folders_are_refused_naming_the_file(saved, damage, where, file):
    damage(saved)
    folder = saved / where if where != "." else saved
    kind = {".": "index", "bytes": "vector store", "coreindex": "coreindex"}[where]
    with pytest.raises(ValueError) as raised:
        _TarnixCore.load(str(saved))
    assert str(raised.value).startswith(f"Corrupted {kind} at '{folder}': {file} ")


@pytest.mark.parametrize(
    "change",
    [lambda e: np.asfortranarray(e), lambda e: e.astype(">f8")],
    ids=["fortran order", "big-endian"],
)
def test_edges_stored_in_another_layout_load_as_the_same_table(fitted, saved, change):
    _edit_edges(change)(saved)
    loaded = _TarnixCore.load(str(saved))
    assert loaded._params.boundaries.flags.c_contiguous
    assert_same_index(fitted.index, loaded, fitted.vectors[:4] + 0.05)


# ---------------------------------------------------------------------------
# a save interrupted between the two renames of the fallback swap (the
# process killed between them is a case of every folder type's table)


def _old_folder_could_not_be_put_back(saved, replacement_folder, monkeypatch):
    replacement = _TarnixCore.load(str(replacement_folder))
    real_rename = os.rename

    def rename(src, dst):
        if Path(dst) == saved:
            raise OSError("injected")
        return real_rename(src, dst)

    monkeypatch.setattr(_persistence, "_exchange", lambda a, b: False)
    monkeypatch.setattr(os, "rename", rename)
    with pytest.raises(OSError, match="injected"):
        replacement.save(str(saved))
    monkeypatch.undo()
    [old] = saved.parent.glob(".idx.saving-*.old")
    return old


def test_load_of_a_folder_whose_old_copy_could_not_be_put_back_names_it(fitted, saved, vectors, tmp_path, monkeypatch):
    other = _TarnixCore()
    other.add(["new0", "new1"], vectors(2, 8, seed=5))
    other.save(str(tmp_path / "replacement"))
    restore = _old_folder_could_not_be_put_back(saved, tmp_path / "replacement", monkeypatch)
    assert not saved.exists()
    with pytest.raises(FileNotFoundError, match=re.escape(f"the complete folder {str(restore)!r} can be renamed")):
        _TarnixCore.load(str(saved))
    os.rename(restore, saved)
    assert _TarnixCore.load(str(saved)).ids == fitted.ids


def test_load_of_a_missing_folder_without_a_staged_sibling(tmp_path):
    (tmp_path / ".idx.saving-0123456789ab").mkdir()  # a save that died while writing
    with pytest.raises(FileNotFoundError) as raised:
        _TarnixCore.load(str(tmp_path / "idx"))
    assert "interrupted" not in str(raised.value)
