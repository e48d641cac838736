import builtins
import json
import os
import pickle
import stat
from pathlib import Path

import pytest

from tarnix_engine import _persistence
from tarnix_engine._persistence import (
    read_config,
    reject_legacy_pickle,
    resolve_directory,
    write_config,
)

CONFIG = {
    "index_type": "streaming_hybrid",
    "text_index_type": "relevance",
    "n_shards": 2,
    "shard_sizes": [3, 4],
    "alpha_text": 0.5,
    "d_scale": None,
    "label": "caf\u00e9 \u2603",
}


@pytest.mark.parametrize(
    ("directory", "base_dir", "expected"),
    [
        ("idx", None, Path("idx")),
        ("idx", "/data", Path("/data/idx")),
        ("a/b", Path("/data"), Path("/data/a/b")),
        ("/abs/idx", "/data", Path("/abs/idx")),
    ],
)
def test_resolve_directory(directory, base_dir, expected):
    assert resolve_directory(directory, base_dir) == expected


def test_resolve_directory_does_not_create_the_folder(tmp_path):
    assert not resolve_directory("idx", tmp_path).exists()


def test_resolve_directory_refuses_none():
    with pytest.raises(TypeError, match="directory"):
        resolve_directory(None, "/data")


def test_write_config_is_plain_json_in_key_order(tmp_path):
    path = tmp_path / "config.json"
    path.write_text('{"stale": true, "longer": "than the new file will be"}')
    write_config(path, CONFIG)
    with open(path, encoding="utf-8") as src:
        loaded = json.load(src)
    assert loaded == CONFIG and list(loaded) == list(CONFIG)
    assert read_config(path) == CONFIG
    assert os.listdir(tmp_path) == ["config.json"]


def _fail(*args, **kwargs):
    raise OSError("disk went away")


@pytest.mark.parametrize(
    ("target", "mapping", "error"),
    [
        (None, {"value": object()}, TypeError),  # not JSON: fails before any write
        ("fsync", CONFIG, OSError),
        ("replace", CONFIG, OSError),
    ],
    ids=["unserialisable", "fsync-fails", "replace-fails"],
)
def test_failed_write_keeps_the_old_file_and_leaves_no_temporary(
    tmp_path, monkeypatch, target, mapping, error
):
    path = tmp_path / "config.json"
    write_config(path, {"index_type": "tarnix"})
    before = path.read_bytes()
    if target:
        monkeypatch.setattr(_persistence.os, target, _fail)
    with pytest.raises(error):
        write_config(path, mapping)
    monkeypatch.undo()
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["config.json"]


def test_write_config_refuses_a_non_mapping(tmp_path):
    with pytest.raises(TypeError, match="list"):
        write_config(tmp_path / "config.json", [1, 2])
    assert os.listdir(tmp_path) == []


def test_written_file_gets_ordinary_permissions(tmp_path):
    # a saved index must stay readable by whoever could read the folder
    old_umask = os.umask(0o022)
    try:
        write_config(tmp_path / "new.json", {})
    finally:
        os.umask(old_umask)
    assert stat.S_IMODE((tmp_path / "new.json").stat().st_mode) == 0o644


@pytest.mark.parametrize(
    ("text", "kind"),
    [("[1, 2]", "an array"), ('"tarnix"', "a string"), ("3", "a number"), ("null", "null")],
)
def test_read_config_refuses_a_top_level_that_is_not_an_object(tmp_path, text, kind):
    path = tmp_path / "config.json"
    path.write_text(text)
    with pytest.raises(ValueError, match=f"config.json.*JSON object, not {kind}"):
        read_config(path)


@pytest.mark.parametrize("data", [b'{"index_type": ', b"\xff\xfe{}"])
def test_read_config_names_a_file_that_is_not_json(tmp_path, data):
    path = tmp_path / "config.json"
    path.write_bytes(data)
    with pytest.raises(ValueError, match="config.json.*not valid JSON"):
        read_config(path)


@pytest.mark.parametrize(
    "make",
    [os.mkfifo, os.mkdir, lambda p: os.symlink("/dev/zero", p)],
    ids=["fifo", "directory", "device"],
)
def test_read_config_refuses_what_is_no_regular_file_without_opening_it(tmp_path, make):
    path = tmp_path / "config.json"
    make(path)
    with pytest.raises(ValueError, match="is not a regular file"):
        read_config(path)


def test_read_config_of_a_missing_file(tmp_path):
    with pytest.raises(FileNotFoundError):
        read_config(tmp_path / "config.json")


class _Detonator:
    # unpickling this creates the marker file, proving the pickle was loaded
    def __init__(self, marker):
        self.marker = str(marker)

    def __reduce__(self):
        return (open, (self.marker, "w"))


@pytest.mark.parametrize("filename", ["ids.pkl", "corpus.pkl"])
def test_reject_legacy_pickle_refuses_without_opening(tmp_path, monkeypatch, filename):
    marker = tmp_path / "unpickled"
    (tmp_path / filename).write_bytes(pickle.dumps(_Detonator(marker)))
    real_open, real_os_open = builtins.open, os.open

    def guarded(opener):
        def open_(file, *args, **kwargs):
            assert not str(file).endswith(".pkl"), "the pickle was opened"
            return opener(file, *args, **kwargs)
        return open_

    monkeypatch.setattr(builtins, "open", guarded(real_open))
    monkeypatch.setattr(os, "open", guarded(real_os_open))
    directory = str(tmp_path)
    with pytest.raises(ValueError) as caught:
        reject_legacy_pickle(directory, filename)
    message = str(caught.value)
    assert repr(filename) in message and repr(directory) in message
    assert "legacy pickle" in message and "save it again with this version" in message
    assert not marker.exists()


def test_reject_legacy_pickle_names_the_directory_as_given():
    # loaders pass their own argument, not the resolved folder
    with pytest.raises(ValueError, match="'ids.pkl' in 'rel/idx'"):
        reject_legacy_pickle("rel/idx", "ids.pkl")
