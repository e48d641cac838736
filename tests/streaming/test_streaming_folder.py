"""The streaming index folder: what save writes, what load reads back, the
legacy forms, and folders left by earlier saves."""

import contextlib
import json
import logging
import os
import pathlib
import re

import numpy as np
import pytest

from streaming_helpers import Log, documents, stand_in_classes, stand_in_shard

from tarnix_engine.indexes._term_scoring import _RelevanceCore

KEYS = [
    "index_type", "text_index_type", "vector_index_type", "n_shards", "shard_sizes", "cumulative_offsets",
    "speed_preference", "top_k", "rrf_k", "alpha_text", "alpha_vector", "n_candidates",
]
ARRAYS = {"bin_edges.npy", "medians.npy", "all_bytes.npy"}


@pytest.fixture(scope="module")
def texts_vectors():
    return documents(12, seed=3)


def trained(shard_flow, texts_vectors, sizes=(3, 2), **settings):
    texts, vectors = texts_vectors
    index = shard_flow._StreamingCore(**settings)
    start = 0
    for size in sizes:
        index.add_batch(texts[start : start + size], vectors[start : start + size])
        start += size
    return index


def entries(folder):
    return {p.name for p in pathlib.Path(folder).iterdir()}


def write_config(folder, **values):
    config = {"top_k": 9, "rrf_k": 3, "alpha_text": 0.2, "alpha_vector": 0.8,
              "n_shards": 0, "shard_sizes": [], "cumulative_offsets": []}
    config.update(values)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "config.json").write_text(json.dumps({k: v for k, v in config.items() if v is not ...}))


def saved_config(index, folder):
    index.save(str(folder))
    return json.loads((folder / "config.json").read_text())


def test_an_index_without_shards_saves_only_its_config(shard_flow, tmp_path):
    index = shard_flow._StreamingCore(top_k=12, rrf_k=4, alpha_text=0.3, alpha_vector=0.7, n_candidates=80,
                                      speed_preference="fast")
    config = saved_config(index, tmp_path / "empty")
    assert entries(tmp_path / "empty") == {"config.json"}
    assert list(config) == KEYS
    assert config == {
        "index_type": "streaming_hybrid", "text_index_type": "relevance", "vector_index_type": "tarnix",
        "n_shards": 0, "shard_sizes": [], "cumulative_offsets": [], "speed_preference": "fast",
        "top_k": 12, "rrf_k": 4, "alpha_text": 0.3, "alpha_vector": 0.7, "n_candidates": 80,
    }
    loaded = shard_flow._StreamingCore.load(str(tmp_path / "empty"))
    assert (loaded.n_shards, loaded.boundaries, loaded.fit_values) == (0, None, None)
    assert saved_config(loaded, tmp_path / "again") == config


def test_two_shards_save_their_folders_and_arrays(shard_flow, texts_vectors, tmp_path):
    index = trained(shard_flow, texts_vectors)
    config = saved_config(index, tmp_path)
    assert entries(tmp_path) == {"config.json", "shard_0000", "shard_0001"} | ARRAYS
    assert {"text", "vector"} <= entries(tmp_path / "shard_0000")
    assert (config["n_shards"], config["shard_sizes"], config["cumulative_offsets"]) == (2, [3, 2], [0, 3])
    loaded = shard_flow._StreamingCore.load(str(tmp_path))
    assert (loaded.size, loaded.n_shards, loaded.speed_preference) == (5, 2, "balanced")
    assert np.array_equal(loaded.boundaries, index.boundaries)
    assert np.array_equal(loaded.fit_values, index.fit_values)
    texts, vectors = texts_vectors
    assert np.array_equal(loaded.search(texts[:5], vectors[:5], k=3)[0], index.search(texts[:5], vectors[:5], k=3)[0])


def test_shard_folders_are_named_by_four_or_more_digits(shard_flow, monkeypatch, tmp_path):
    log = Log()
    text_cls, vector_cls = stand_in_classes(log)
    monkeypatch.setattr(shard_flow, "_VortelCore", stand_in_shard(log))
    index = shard_flow._StreamingCore(text_cls, vector_cls)
    for _ in range(11):
        index.add_batch(["t"], np.ones((1, 2), dtype=np.float32))
    log.clear()
    index.save(str(tmp_path))
    saved = [pathlib.Path(event[1][0]).name for event in log if event[0] == "shard.save"]
    assert saved == [f"shard_{i:04d}" for i in range(11)] and saved[10] == "shard_0010"
    assert all(type(event[1][0]) is str and event[2] == {} for event in log if event[0] == "shard.save")


def test_classes_are_saved_and_loaded_by_registry_name(shard_flow, monkeypatch, tmp_path):
    class Unregistered(_RelevanceCore):
        pass

    config = saved_config(shard_flow._StreamingCore(Unregistered), tmp_path / "a")
    assert config["text_index_type"] == "relevance"
    write_config(tmp_path / "b", text_index_type="no-such-type", vector_index_type="vectorstore")
    loaded = shard_flow._StreamingCore.load(str(tmp_path / "b"))
    # The classes only show in what later batches build.
    log = Log()
    monkeypatch.setattr(shard_flow, "_VortelCore", stand_in_shard(log))
    with contextlib.suppress(Exception):  # a vector store is no vector index; only its class matters here
        loaded.add_batch(["alpha beta"], np.ones((1, 4), dtype=np.float32))
    shard_kwargs = log[0][1]
    assert type(shard_kwargs["text_index"]) is _RelevanceCore
    assert type(shard_kwargs["vector_index"]).__name__ == "_VectorStore"


@pytest.mark.parametrize(
    "values, n_candidates, speed",
    [
        ({"k_hamming": 64}, 64, "balanced"),
        ({"k_hamming": 64, "n_candidates": 32}, 32, "balanced"),
        ({"speed_preference": "accurate"}, 5000, "accurate"),
    ],
)
def test_optional_keys(shard_flow, tmp_path, values, n_candidates, speed):
    write_config(tmp_path / "in", **values)
    loaded = shard_flow._StreamingCore.load(str(tmp_path / "in"))
    config = saved_config(loaded, tmp_path / "out")
    assert (config["n_candidates"], config["speed_preference"]) == (n_candidates, speed)
    assert (config["top_k"], config["rrf_k"], config["alpha_text"], config["alpha_vector"]) == (9, 3, 0.2, 0.8)


@pytest.mark.parametrize("missing", ["top_k", "alpha_vector", "shard_sizes", "n_shards"])
def test_required_keys(shard_flow, tmp_path, missing):
    write_config(tmp_path, **{missing: ...})
    with pytest.raises(KeyError, match=missing):
        shard_flow._StreamingCore.load(str(tmp_path))


def test_a_saved_speed_preference_the_advisor_no_longer_lists(shard_flow, tmp_path):
    write_config(tmp_path, speed_preference="ludicrous")
    with pytest.raises(ValueError, match="unknown speed preference 'ludicrous'"):
        shard_flow._StreamingCore.load(str(tmp_path))


@pytest.mark.parametrize("depths, warned", [({"text_k": 50}, (50, None)), ({"text_k": None, "vector_k": None}, None), ({}, None)])
def test_legacy_meta_json_and_saved_depths(shard_flow, tmp_path, caplog, depths, warned):
    write_config(tmp_path, **depths)
    (tmp_path / "config.json").rename(tmp_path / "meta.json")
    with caplog.at_level(logging.WARNING, logger="tarnix_engine.indexes._shard_flow"):
        loaded = shard_flow._StreamingCore.load(str(tmp_path))
    assert loaded.n_shards == 0
    records = [r for r in caplog.records if r.name == "tarnix_engine.indexes._shard_flow"]
    if warned is None:
        assert records == []
    else:
        assert len(records) == 1 and records[0].args == (tmp_path, *warned)
        assert "saved with text_k=50, vector_k=None" in records[0].getMessage()


def test_no_config_and_no_meta_is_a_missing_file(shard_flow, tmp_path):
    with pytest.raises(FileNotFoundError):
        shard_flow._StreamingCore.load(str(tmp_path))


def test_array_files_of_an_earlier_save_are_not_read_back(shard_flow, texts_vectors, tmp_path):
    trained(shard_flow, texts_vectors).save(str(tmp_path))
    assert ARRAYS <= entries(tmp_path)
    shard_flow._StreamingCore().save(str(tmp_path))
    assert not ARRAYS & entries(tmp_path)
    loaded = shard_flow._StreamingCore.load(str(tmp_path))
    assert (loaded.n_shards, loaded.boundaries, loaded.fit_values) == (0, None, None)


def test_fewer_shards_leave_older_shard_folders_unread(shard_flow, texts_vectors, tmp_path):
    trained(shard_flow, texts_vectors, sizes=(2, 2, 2, 2, 2)).save(str(tmp_path))
    trained(shard_flow, texts_vectors, sizes=(3, 2)).save(str(tmp_path))
    assert {f"shard_000{i}" for i in range(5)} <= entries(tmp_path)
    loaded = shard_flow._StreamingCore.load(str(tmp_path))
    assert (loaded.n_shards, loaded.size) == (2, 5)


def test_a_failed_save_leaves_the_old_folder_loadable(shard_flow, texts_vectors, tmp_path, monkeypatch):
    trained(shard_flow, texts_vectors, sizes=(4,)).save(str(tmp_path))
    bigger = trained(shard_flow, texts_vectors, sizes=(3, 3, 3))
    calls = []

    real_save = shard_flow._VortelCore.save

    def failing_save(self, path):
        calls.append(path)
        if len(calls) == 2:
            raise OSError("disk full")
        real_save(self, path)

    monkeypatch.setattr(shard_flow._VortelCore, "save", failing_save)
    with pytest.raises(OSError, match="disk full"):
        bigger.save(str(tmp_path))
    monkeypatch.undo()
    loaded = shard_flow._StreamingCore.load(str(tmp_path))
    assert (loaded.n_shards, loaded.size) == (1, 4)
    assert not [p for p in tmp_path.parent.iterdir() if p.name.startswith(f".{tmp_path.name}.saving-")]


@pytest.mark.parametrize(
    "sizes, offsets, n_shards",
    [
        ([3, 2], [0, 3], 1),
        ([3, 2], [0, 4], 2),
        ([3, "2"], [0, 3], 2),
        ([3], [0, 3], 2),
        # lists that agree with each other but not with the shards they describe
        ([2, 1], [0, 2], 2),
        ([2, 3], [0, 2], 2),
    ],
)
def test_shard_lists_that_disagree_are_refused(shard_flow, texts_vectors, tmp_path, sizes, offsets, n_shards):
    trained(shard_flow, texts_vectors).save(str(tmp_path))
    config = json.loads((tmp_path / "config.json").read_text())
    config.update(shard_sizes=sizes, cumulative_offsets=offsets, n_shards=n_shards)
    (tmp_path / "config.json").write_text(json.dumps(config))
    with pytest.raises(ValueError, match="streaming index folder"):
        shard_flow._StreamingCore.load(str(tmp_path))


@pytest.mark.parametrize(
    "replace",
    [
        None,
        lambda codes: codes.astype(np.float64),
        lambda codes: codes[:4],
        lambda codes: np.concatenate([codes, codes[:1]]),
        lambda codes: codes[:, :-1],
        lambda codes: codes.ravel(),
    ],
    ids=["missing", "float", "fewer rows", "more rows", "fewer columns", "flat"],
)
def test_a_code_matrix_that_is_not_the_shards_stacked_is_refused(
    shard_flow, texts_vectors, tmp_path, replace
):
    trained(shard_flow, texts_vectors).save(str(tmp_path))
    codes = np.load(tmp_path / "all_bytes.npy")
    if replace is None:
        (tmp_path / "all_bytes.npy").unlink()
    else:
        np.save(tmp_path / "all_bytes.npy", replace(codes))
    with pytest.raises(ValueError, match="streaming index folder.*all_bytes"):
        shard_flow._StreamingCore.load(str(tmp_path))


@pytest.mark.parametrize("member", ["meta.json", "bin_edges.npy", "medians.npy", "all_bytes.npy"])
@pytest.mark.parametrize(
    "damage",
    [os.mkfifo, os.mkdir, lambda path: os.symlink("/dev/zero", path)],
    ids=["fifo", "directory", "device"],
)
def test_a_member_that_is_not_a_regular_file_is_refused_before_it_is_read(
    shard_flow, texts_vectors, tmp_path, member, damage
):
    trained(shard_flow, texts_vectors).save(str(tmp_path))
    if member == "meta.json":
        (tmp_path / "config.json").unlink()
    else:
        (tmp_path / member).unlink()
    damage(tmp_path / member)
    with pytest.raises(ValueError, match=f"{member} is not a regular file"):
        shard_flow._StreamingCore.load(str(tmp_path))


@pytest.mark.parametrize("member", ["bin_edges.npy", "medians.npy", "all_bytes.npy"])
def test_a_damaged_array_header_is_a_corrupted_folder_naming_the_file(shard_flow, texts_vectors, tmp_path, member):
    trained(shard_flow, texts_vectors).save(str(tmp_path))
    # An unclosed brace, which numpy's header reader lets out as tokenize.TokenError.
    raw = bytearray((tmp_path / member).read_bytes())
    end = 10 + int.from_bytes(raw[8:10], "little")
    raw[10:end] = bytes(raw[10:end]).replace(b"}", b" ")
    (tmp_path / member).write_bytes(bytes(raw))
    with pytest.raises(ValueError, match=f"^Corrupted streaming index at .*{member} has a damaged header"):
        shard_flow._StreamingCore.load(str(tmp_path))


def test_load_through_the_registry_and_a_subclass(shard_flow, texts_vectors, tmp_path):
    from tarnix_engine._registry import load_engine_from_directory

    trained(shard_flow, texts_vectors).save(str(tmp_path))
    assert type(load_engine_from_directory(str(tmp_path))) is shard_flow._StreamingCore

    class Mine(shard_flow._StreamingCore):
        pass

    assert type(Mine.load(str(tmp_path))) is Mine


def _first_nan(array):
    damaged = array.copy()
    damaged.flat[0] = np.nan
    return damaged


@pytest.mark.parametrize(
    "file, replace, named",
    [
        ("bin_edges.npy", _first_nan, "bin_edges.npy holds NaN"),
        ("bin_edges.npy", lambda edges: edges.astype(np.float32), "bin_edges.npy must hold a 2-D float64"),
        ("bin_edges.npy", lambda edges: edges.astype(np.int64), "bin_edges.npy must hold a 2-D float64"),
        ("bin_edges.npy", lambda edges: edges.ravel(), "bin_edges.npy must hold a 2-D float64"),
        ("medians.npy", lambda values: values[:-1], "medians.npy must hold"),
        ("medians.npy", lambda values: values.reshape(1, -1), "medians.npy must hold"),
        ("medians.npy", lambda values: values.astype("U8"), "medians.npy must hold"),
        ("medians.npy", _first_nan, "medians.npy holds NaN"),
        ("config.json", {"alpha_text": float("nan")}, "alpha_text must be finite"),
        ("config.json", {"rrf_k": -1}, "rrf_k must be >= 0"),
        ("config.json", {"top_k": -2}, "top_k must be >= 0"),
        ("config.json", {"n_candidates": 0}, "n_candidates must be >= 1"),
    ],
    ids=[
        "nan edge", "float32 edges", "integer edges", "flat edges", "fewer medians", "2-D medians",
        "text medians", "nan median", "nan weight", "negative rrf_k", "negative top_k", "no candidates",
    ],
)
def test_a_crafted_folder_is_refused_by_load_naming_the_file_or_setting(
    shard_flow, texts_vectors, tmp_path, file, replace, named
):
    # Each used to load and fail only at the next batch or search, or never.
    trained(shard_flow, texts_vectors).save(str(tmp_path))
    path = tmp_path / file
    if file == "config.json":
        config = json.loads(path.read_text())
        config.update(replace)
        path.write_text(json.dumps(config))
    else:
        np.save(path, replace(np.load(path)))
    with pytest.raises(ValueError, match=re.escape(named)):
        shard_flow._StreamingCore.load(str(tmp_path))
