"""The vector store: bin edges plus the uint8 code matrix behind the rerank."""

import json

import numpy as np
import pytest

from tarnix_engine.indexes import _tarnix_impl
from tarnix_engine.indexes._tarnix_impl import _VectorStore
from tarnix_engine.kernels.packing import encode_dataset, generate_numba


@pytest.fixture
def store(vectors):
    s = _VectorStore()
    s.fit(vectors(5, 4, seed=3))
    return s


# ---------------------------------------------------------------------------
# construction and training


def test_new_store_is_untrained():
    s = _VectorStore()
    assert s.is_trained is False
    assert s.boundaries is None
    assert s.matrix is None


@pytest.mark.parametrize(
    "args, kwargs, levels",
    [((), {}, 256), ((16,), {}, 16), ((), {"bytes_": 32}, 32)],
)
def test_level_count_sets_the_edge_grid_width(vectors, args, kwargs, levels):
    s = _VectorStore(*args, **kwargs)
    s.fit(vectors(6, 3))
    assert s.boundaries.shape == (3, levels)


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((256, 1), {}, TypeError),
        ((), {"levels": 8}, TypeError),
        ((256,), {"bytes_": 8}, TypeError),
        ((2**31,), {}, OverflowError),
        ((257,), {}, ValueError),  # more levels than an 8-bit code holds
        ((1,), {}, ValueError),
        ((0,), {}, ValueError),
        ((), {"bytes_": -5}, ValueError),
    ],
)
def test_constructor_refuses_bad_arguments(args, kwargs, error):
    with pytest.raises(error):
        _VectorStore(*args, **kwargs)


def test_fit_builds_edges_and_encodes_every_row(vectors):
    data = vectors(7, 4, seed=5)
    s = _VectorStore()
    s.fit(data, parallel=True)
    edges = generate_numba(data, 256)
    np.testing.assert_array_equal(s.boundaries, edges)
    assert s.boundaries.dtype == np.float64
    assert s.matrix.dtype == np.uint8
    np.testing.assert_array_equal(s.matrix, encode_dataset(data, edges, False))
    assert s.is_trained is True


def test_fit_maps_each_column_range_onto_all_codes():
    data = np.array([[0.0, 3.0], [0.5, 3.0], [1.0, 3.0]], dtype=np.float32)
    s = _VectorStore()
    s.fit(data)
    # The first column spans 0..1; the second is constant, so every code is 0.
    np.testing.assert_array_equal(s.matrix, [[0, 0], [127, 0], [255, 0]])


def test_train_mapped_keeps_the_given_edges_object(vectors):
    data = vectors(6, 4, seed=2)
    edges = generate_numba(vectors(50, 4, seed=9), 256)
    s = _VectorStore(8)  # the level count plays no part with given edges
    s._train_mapped(data, edges)
    assert s.boundaries is edges
    np.testing.assert_array_equal(s.matrix, encode_dataset(data, edges, False))


def test_retraining_replaces_both_arrays(store, vectors):
    old_matrix, old_edges = store.matrix, store.boundaries
    store.fit(vectors(9, 4, seed=11))
    assert store.matrix is not old_matrix and store.boundaries is not old_edges
    assert store.matrix.shape == (9, 4)


def test_failed_encoding_keeps_the_new_edges_and_the_old_matrix(store, vectors):
    old_matrix = store.matrix
    bad = vectors(3, 4).copy()
    bad[1, 2] = np.nan
    edges = generate_numba(vectors(20, 4, seed=4), 256)
    with pytest.raises(Exception):
        store._train_mapped(bad, edges)
    assert store.boundaries is edges
    assert store.matrix is old_matrix


def test_failed_first_training_leaves_the_store_untrained():
    s = _VectorStore()
    with pytest.raises(Exception):
        s.fit(np.array([[1.0, np.inf]], dtype=np.float32))
    assert s.is_trained is False
    assert s.matrix is None


# ---------------------------------------------------------------------------
# row maintenance


def test_update_row_rewrites_one_row_in_place(store, codes_of):
    matrix = store.matrix
    before = matrix.copy()
    vector = np.array([9.0, -9.0, 0.0, 0.0], dtype=np.float32)
    store._update_row(2, vector)
    assert store.matrix is matrix
    expected = before.copy()
    expected[2] = codes_of(vector, store.boundaries)[0]
    np.testing.assert_array_equal(matrix, expected)


def test_update_row_writes_only_the_first_row_of_a_matrix(store, codes_of):
    before = store.matrix.copy()
    two = np.array([[9.0, 9.0, 9.0, 9.0], [-9.0, -9.0, -9.0, -9.0]])
    store._update_row(0, two)
    np.testing.assert_array_equal(store.matrix[0], codes_of(two[0], store.boundaries)[0])
    np.testing.assert_array_equal(store.matrix[1:], before[1:])


@pytest.mark.parametrize("position, error", [(5, IndexError), (2**31, OverflowError)])
def test_update_row_out_of_range_changes_nothing(store, position, error):
    before = store.matrix.copy()
    with pytest.raises(error):
        store._update_row(position, np.zeros(4, dtype=np.float32))
    np.testing.assert_array_equal(store.matrix, before)


def test_append_rows_stacks_new_codes_into_a_new_array(store, vectors, codes_of):
    old = store.matrix
    old_copy = old.copy()
    extra = vectors(3, 4, seed=8)
    store._append_rows(extra, False)
    assert store.matrix is not old
    np.testing.assert_array_equal(old, old_copy)
    np.testing.assert_array_equal(store.matrix[:5], old_copy)
    np.testing.assert_array_equal(store.matrix[5:], codes_of(extra, store.boundaries))


def test_append_rows_requires_its_parallel_argument(store, vectors):
    with pytest.raises(TypeError, match="_append_rows"):
        store._append_rows(vectors(1, 4))


@pytest.mark.parametrize(
    "positions, kept",
    [
        ([], [0, 1, 2, 3, 4]),
        ([0, 2], [1, 3, 4]),
        ([2, 0, 2], [1, 3, 4]),
        ((p for p in (4, 1)), [0, 2, 3]),
        (np.array([3], dtype=np.int64), [0, 1, 2, 4]),
        ([-1], [0, 1, 2, 3]),
    ],
    ids=["empty", "two", "repeated", "generator", "array", "from-end"],
)
def test_delete_rows_keeps_survivors_in_order(store, positions, kept):
    old = store.matrix
    old_copy = old.copy()
    store._delete_rows(positions)
    assert store.matrix is not old
    np.testing.assert_array_equal(store.matrix, old_copy[kept])
    np.testing.assert_array_equal(old, old_copy)


@pytest.mark.parametrize("positions, error", [([1, 5], IndexError), ([2**31], OverflowError)])
def test_delete_rows_out_of_range_changes_nothing(store, positions, error):
    old = store.matrix
    with pytest.raises(error):
        store._delete_rows(positions)
    assert store.matrix is old
    assert old.shape == (5, 4)


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.search(np.zeros((1, 4), np.float32), 1, candidates=np.array([[0]])),
        lambda s: s._update_row(0, np.zeros(4, np.float32)),
        lambda s: s._append_rows(np.zeros((1, 4), np.float32), False),
        lambda s: s._delete_rows([0]),
    ],
    ids=["search", "_update_row", "_append_rows", "_delete_rows"],
)
def test_untrained_store_refuses_row_operations(call):
    s = _VectorStore()
    with pytest.raises(RuntimeError, match=r"^The vector store is not fitted\.$"):
        call(s)
    assert s.matrix is None


# ---------------------------------------------------------------------------
# rerank


def test_search_hands_the_rerank_kernel_its_inputs_and_widens_the_result(store, monkeypatch, codes_of):
    seen = {}

    def fake_search(*args, **kwargs):
        seen["args"], seen["kwargs"] = args, kwargs
        return np.array([[1, -1]], dtype=np.int32), np.array([[4, 2147483647]], dtype=np.int32)

    monkeypatch.setattr(_tarnix_impl, "_search", fake_search)
    query = np.array([[0.1, 0.2, 0.3, 0.4]], dtype=np.float32)
    shortlist = [[3, 1]]
    ids, distances = store.search(query, np.int64(2), candidates=shortlist, parallel=1)

    assert seen["args"] == ()
    kw = seen["kwargs"]
    assert set(kw) == {"vectors", "queries", "k", "bm25", "parallel"}
    assert kw["vectors"] is store.matrix
    np.testing.assert_array_equal(kw["queries"], codes_of(query, store.boundaries))
    assert kw["queries"].dtype == np.uint8
    assert kw["k"] == 2 and type(kw["k"]) is int
    assert kw["bm25"] is shortlist
    assert kw["parallel"] is True
    assert ids.dtype == np.int64 and distances.dtype == np.float64
    np.testing.assert_array_equal(ids, [[1, -1]])
    np.testing.assert_array_equal(distances, [[4.0, 2147483647.0]])


@pytest.mark.parametrize("result", [(np.zeros((1, 1)),), (np.zeros((1, 1)),) * 3])
def test_search_needs_exactly_two_results_from_the_kernel(store, monkeypatch, result):
    monkeypatch.setattr(_tarnix_impl, "_search", lambda **kw: result)
    with pytest.raises(ValueError, match="unpack"):
        store.search(np.zeros((1, 4), np.float32), 1, candidates=[[0]])


def test_search_reranks_each_candidate_row_exactly(vectors):
    data = vectors(6, 4, seed=21)
    s = _VectorStore()
    s.fit(data)
    ids, distances = s.search(data[[4, 1]], 3, candidates=np.array([[0, 4, 2], [1, 3, 5]]))
    assert ids.shape == distances.shape == (2, 3)
    assert ids[0, 0] == 4 and ids[1, 0] == 1
    assert distances[0, 0] == 0.0 and distances[1, 0] == 0.0
    assert set(ids[0]) == {0, 4, 2} and set(ids[1]) == {1, 3, 5}
    assert np.all(np.diff(distances, axis=1) >= 0)


def test_search_pads_short_candidate_rows(vectors):
    data = vectors(6, 4, seed=21)
    s = _VectorStore()
    s.fit(data)
    ids, distances = s.search(data[:1], 3, candidates=np.array([[0, 5]]))
    assert ids[0, 2] == -1
    assert distances[0, 2] == 2147483647.0


# ---------------------------------------------------------------------------
# folder


def test_save_writes_codes_edges_and_config(store, tmp_path, folder_listing):
    folder = tmp_path / "a" / "b"
    store.save(str(folder))
    assert folder_listing(folder) == ["boundaries.npy", "config.json", "matrix.npy"]
    np.testing.assert_array_equal(np.load(folder / "matrix.npy"), store.matrix)
    np.testing.assert_array_equal(np.load(folder / "boundaries.npy"), store.boundaries)
    assert json.loads((folder / "config.json").read_text()) == {"index_type": "vectorstore"}


def test_save_into_an_existing_folder(store, tmp_path):
    store.save(str(tmp_path))
    store.save(str(tmp_path))
    assert (tmp_path / "matrix.npy").is_file()


@pytest.mark.parametrize("failure", ["edges", "config"])
def test_interrupted_save_leaves_the_old_store_folder(store, tmp_path, vectors, monkeypatch, failure):
    folder = tmp_path / "store"
    store.save(str(folder))
    before = {p.name: p.read_bytes() for p in folder.iterdir()}
    other = _VectorStore()
    other.fit(vectors(9, 4, seed=30))
    if failure == "edges":
        real_save = np.save

        def save(path, array):
            if str(path).endswith("boundaries.npy"):
                raise OSError("disk full")
            return real_save(path, array)

        monkeypatch.setattr(np, "save", save)
    else:
        monkeypatch.setattr(_tarnix_impl, "write_config", lambda path, mapping: (_ for _ in ()).throw(OSError("disk full")))
    with pytest.raises(OSError, match="disk full"):
        other.save(str(folder))
    monkeypatch.undo()
    assert {p.name: p.read_bytes() for p in folder.iterdir()} == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["store"]
    np.testing.assert_array_equal(_VectorStore.load(str(folder)).matrix, store.matrix)


def test_unfitted_store_refuses_to_save(tmp_path):
    folder = tmp_path / "never"
    with pytest.raises(RuntimeError, match=r"^Cannot save an unfitted index\.$"):
        _VectorStore().save(str(folder))
    assert not folder.exists()


def test_load_round_trip_resets_the_level_count(tmp_path, vectors):
    s = _VectorStore(16)
    s.fit(vectors(5, 3))
    s.save(str(tmp_path))
    (tmp_path / "config.json").unlink()  # never read back

    loaded = _VectorStore.load(str(tmp_path))
    assert type(loaded) is _VectorStore and loaded.is_trained
    np.testing.assert_array_equal(loaded.matrix, s.matrix)
    np.testing.assert_array_equal(loaded.boundaries, s.boundaries)
    loaded.fit(vectors(5, 3, seed=1))
    assert loaded.boundaries.shape == (3, 256)


def test_load_refuses_pickled_arrays(store, tmp_path):
    store.save(str(tmp_path))
    np.save(tmp_path / "matrix.npy", np.array([{"x": 1}], dtype=object), allow_pickle=True)
    with pytest.raises(ValueError):
        _VectorStore.load(str(tmp_path))


def test_load_of_a_folder_without_arrays_fails(tmp_path):
    with pytest.raises(FileNotFoundError):
        _VectorStore.load(str(tmp_path))
