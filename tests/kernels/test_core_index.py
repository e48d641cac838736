"""Tests for the binary-code index: fit values, codes, Hamming shortlists
against a brute-force numpy oracle, writes, and the saved folder."""

import copy
import os
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnix_engine.kernels import core

LEVELS = []
for _level in ["portable", "popcnt", "avx2", "avx512"]:
    _best = core._simd_level()
    try:
        core._simd_level(_level)
        LEVELS.append(_level)
    except ValueError:
        pass
    core._simd_level(_best)
BEST = core._simd_level()


@pytest.fixture(params=LEVELS)
def level(request):
    core._simd_level(request.param)
    yield request.param
    core._simd_level(BEST)


def make_data(rows, dim, seed=0, repeats=0):
    """Gaussian rows, with some rows repeated so that Hamming ties abound."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, dim)).astype(np.float32)
    for i in range(repeats):
        x[rng.integers(rows)] = x[rng.integers(rows)]
    return x


def bits_of(x, medians):
    return x.astype(np.float64) > medians.astype(np.float64)


def oracle(qbits, dbits, k, allowed=None):
    """Top-k by (Hamming distance, position), -1 padded to width k (at most the rows)."""
    k = min(k, len(dbits))
    dist = (qbits[:, None, :] != dbits[None, :, :]).sum(-1)
    ids = np.full((len(qbits), k), -1, dtype=np.int64)
    dists = np.full((len(qbits), k), 2147483647, dtype=np.int32)
    for i in range(len(qbits)):
        pos = np.arange(len(dbits)) if allowed is None else np.asarray(allowed[i])
        order = np.lexsort((pos, dist[i, pos]))[:k]
        ids[i, : len(order)] = pos[order]
        dists[i, : len(order)] = dist[i, pos[order]]
    return ids, dists


def fitted(x, parallel=False):
    ix = core._CoreIndex()
    ix.fit(x, parallel)
    return ix


# ---------------------------------------------------------------------------
# fit values and codes


@pytest.mark.parametrize("rows", [1, 2, 7, 64, 301])
def test_fit_values_are_numpys_medians(rows):
    x = make_data(rows, 37, seed=rows, repeats=rows // 3)
    ix = fitted(x)
    assert ix.medians.dtype == np.float32 and ix.medians.shape == (37,)
    assert np.array_equal(ix.medians, np.median(x, axis=0))
    assert not ix.medians.flags.writeable
    assert ix.matrix.rows == rows and ix.matrix.dim == 37


@pytest.mark.parametrize("dim", [1, 63, 64, 65, 130, 384])
def test_codes_are_one_bit_per_dimension(dim):
    x = make_data(50, dim, seed=dim)
    ix = fitted(x)
    words = (dim + 63) // 64
    expected = np.zeros((50, words * 8), dtype=np.uint8)
    packed = np.packbits(bits_of(x, ix.medians), axis=1, bitorder="little")
    expected[:, : packed.shape[1]] = packed
    got = ix.matrix.packed()
    assert got.dtype == np.uint64 and got.shape == (50, words)
    assert np.array_equal(got.view(np.uint8), expected)


def test_train_from_params_uses_the_given_values():
    x = make_data(40, 10)
    fit_values = np.linspace(-1, 1, 10)  # float64 stays float64, compared exactly
    ix = core._CoreIndex()
    ix._train_from_params(x, fit_values, False)
    assert ix.medians.dtype == np.float64 and np.array_equal(ix.medians, fit_values)
    assert ix.medians is not fit_values
    ids, d = ix.search_full(x[:3], 5, False, want_distances=True)
    assert np.array_equal(ids, oracle(bits_of(x[:3], fit_values), bits_of(x, fit_values), 5)[0])
    # zero rows are fine when the fit values are given
    ix._train_from_params(np.zeros((0, 10), dtype=np.float32), fit_values, True)
    assert ix.matrix.rows == 0
    assert ix.search_full(x[:2], 3, False)[0].tolist() == [[], []]


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda ix: ix.fit(np.zeros((0, 4), dtype=np.float32), False), ValueError),
        (lambda ix: ix.fit(np.zeros(4, dtype=np.float32), False), ValueError),
        (lambda ix: ix.fit(np.array([[0.0, np.nan]], dtype=np.float32), False), ValueError),
        (lambda ix: ix._train_from_params(np.zeros((2, 4), np.float32), np.zeros(3), False), ValueError),
        (lambda ix: ix._train_from_params(np.zeros((2, 4), np.float32), np.full(4, np.inf), False), ValueError),
        (lambda ix: ix.search_full(np.zeros((1, 4), np.float32), 1, False), RuntimeError),
        (lambda ix: ix.append(np.zeros((1, 4), np.float32), False), RuntimeError),
        (lambda ix: ix.update_vector(0, np.zeros(4, np.float32)), RuntimeError),
        (lambda ix: ix.delete_rows([0]), RuntimeError),
        (lambda ix: ix.save("/nonexistent/never-written"), RuntimeError),
    ],
)
def test_training_and_unfitted_refusals(call, error):
    ix = core._CoreIndex()
    with pytest.raises(error):
        call(ix)
    assert ix.medians is None and ix.matrix.rows == 0


# ---------------------------------------------------------------------------
# shortlists against the oracle


@pytest.mark.parametrize("k", [0, 1, 9, 100, 700])
@pytest.mark.parametrize("rows, dim", [(203, 70), (640, 128), (517, 384)])
def test_search_full_matches_oracle(level, rows, dim, k):
    x = make_data(rows, dim, seed=rows, repeats=rows // 4)
    ix = fitted(x, True)
    q = np.concatenate([x[:5], make_data(20, dim, seed=99)])  # exact matches and ties
    exp_ids, exp_d = oracle(bits_of(q, ix.medians), bits_of(x, ix.medians), k)
    for parallel in (False, True):
        ids, d = ix.search_full(q, k, parallel, want_distances=True)
        assert ids.dtype == np.int64 and d.dtype == np.int32 and ids.shape == (25, min(k, rows))
        assert np.array_equal(ids, exp_ids) and np.array_equal(d, exp_d)
    ids, none = ix.search_full(q, k, True)
    assert none is None and np.array_equal(ids, exp_ids)


@pytest.mark.parametrize("k", [600, 2000])
def test_wide_shortlists_match_oracle(level, k):
    # Wide enough (k a sizeable share of the rows) for the scan to start from
    # a limit guessed from a sample of blocks.
    x = make_data(20000, 64, seed=k, repeats=3000)
    ix = fitted(x)
    q = make_data(6, 64, seed=1)
    exp_ids, exp_d = oracle(bits_of(q, ix.medians), bits_of(x, ix.medians), k)
    ids, d = ix.search_full(q, k, True, want_distances=True)
    assert np.array_equal(ids, exp_ids) and np.array_equal(d, exp_d)


def test_wide_shortlist_whose_sample_misleads():
    # The sampled blocks (every 8th of 625) hold the only near rows: half of
    # them at distance 0, half at 1, everything else far. A limit guessed from
    # the sample keeps distance 0 only, too few for k = 620, so the scan must
    # notice and start again without it.
    dim, rows, k = 64, 5000, 620
    query = np.ones((1, dim), np.float32)
    x = -np.ones((rows, dim), np.float32)
    x[:, :30] = 1.0  # distance 34 from the query
    for b in range(0, 625, 8):
        x[b * 8 : b * 8 + 4] = 1.0  # distance 0
        x[b * 8 + 4 : b * 8 + 8] = 1.0
        x[b * 8 + 4 : b * 8 + 8, 0] = -1.0  # distance 1
    ix = core._CoreIndex()
    ix._train_from_params(x, np.zeros(dim, np.float32), False)
    exp_ids, exp_d = oracle(query > 0, x > 0, k)
    ids, d = ix.search_full(query, k, False, want_distances=True)
    assert np.array_equal(ids, exp_ids) and np.array_equal(d, exp_d)


@settings(max_examples=80, deadline=None)
@given(
    rows=st.integers(1, 40),
    dim=st.integers(1, 140),
    k=st.integers(0, 50),
    seed=st.integers(0, 2**32 - 1),
)
def test_small_shapes_and_heavy_ties(rows, dim, k, seed):
    # Values from {-1, 0, 1}: many equal rows and equal distances, row counts
    # that leave partial blocks, dimensions that leave partial words.
    rng = np.random.default_rng(seed)
    x = rng.integers(-1, 2, size=(rows, dim)).astype(np.float32)
    q = rng.integers(-1, 2, size=(3, dim)).astype(np.float32)
    ix = fitted(x)
    qb, db = bits_of(q, ix.medians), bits_of(x, ix.medians)
    positions = np.flatnonzero(rng.random(rows) < 0.6)
    cand = rng.integers(-2, rows + 2, size=(3, 12))
    allowed = [np.unique(r[(r >= 0) & (r < rows)]) for r in cand]
    assert np.array_equal(ix.search_full(q, k, True)[0], oracle(qb, db, k)[0])
    assert np.array_equal(ix.search_subset(q, k, positions, True)[0], oracle(qb, db, k, [positions] * 3)[0])
    assert np.array_equal(ix.search(q, k, cand, True)[0], oracle(qb, db, k, allowed)[0])


@pytest.mark.parametrize("k", [40, 300])
@pytest.mark.parametrize("fraction", [0.0, 0.02, 0.3, 1.0])
def test_search_subset_matches_oracle(level, fraction, k):
    x = make_data(999, 96, seed=4, repeats=200)
    ix = fitted(x)
    rng = np.random.default_rng(8)
    positions = np.flatnonzero(rng.random(999) < fraction)
    q = make_data(19, 96, seed=5)
    exp_ids, exp_d = oracle(bits_of(q, ix.medians), bits_of(x, ix.medians), k, [positions] * 19)
    for parallel in (False, True):
        ids, d = ix.search_subset(q, k, positions, parallel, want_distances=True)
        assert np.array_equal(ids, exp_ids) and np.array_equal(d, exp_d)


def test_search_rows_skip_invalid_and_repeated_entries(level):
    x = make_data(300, 80, seed=6, repeats=100)
    ix = fitted(x)
    rng = np.random.default_rng(1)
    q = make_data(12, 80, seed=7)
    cand = rng.integers(-5, 320, size=(12, 60))  # -1 and other negatives, beyond the rows
    cand[:, :10] = cand[:, 10:20]  # repeats
    cand[3] = -1  # a row without any valid candidate
    allowed = [np.unique(r[(r >= 0) & (r < 300)]) for r in cand]
    for k in (0, 5, 60):
        exp_ids, exp_d = oracle(bits_of(q, ix.medians), bits_of(x, ix.medians), k, allowed)
        for parallel in (False, True):
            ids, d = ix.search(q, k, cand.astype(np.int32), parallel, want_distances=True)
            assert np.array_equal(ids, exp_ids) and np.array_equal(d, exp_d)
    assert ix.search(q, 4, cand, False)[0][3].tolist() == [-1] * 4


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda ix, q: ix.search_full(q, -1, False), "k_h must be non-negative"),
        (lambda ix, q: ix.search_full(q[:, :5], 3, False), "dimension 8"),
        (lambda ix, q: ix.search_subset(q, 3, np.array([3, 1]), False), "sorted"),
        (lambda ix, q: ix.search_subset(q, 3, np.array([1, 1]), False), "sorted"),
        (lambda ix, q: ix.search_subset(q, 3, np.array([0, 10]), False), "in range"),
        (lambda ix, q: ix.search_subset(q, 3, np.array([-1, 2]), False), "in range"),
        (lambda ix, q: ix.search_subset(q, 3, np.zeros((1, 2), np.int64), False), "1-D"),
        (lambda ix, q: ix.search(q, 3, np.zeros((3, 4), np.int64), False), "one row per query"),
        (lambda ix, q: ix.search(q, 3, np.zeros(4, np.int64), False), "2-D"),
        (lambda ix, q: ix.search_full(np.where(q > 0, q, np.nan), 3, False), "queries contains NaN"),
        (lambda ix, q: ix.search_subset(q * np.inf, 3, np.array([1, 2]), False), "queries contains NaN"),
        (lambda ix, q: ix.search(np.full_like(q, np.nan), 3, np.zeros((2, 4), np.int64), False), "queries contains NaN"),
    ],
)
def test_search_refusals(call, message):
    ix = fitted(make_data(10, 8))
    with pytest.raises(ValueError, match=message):
        call(ix, make_data(2, 8, seed=1))


@pytest.mark.parametrize(
    "search",
    [
        lambda ix, q, k: ix.search_full(q, k, False),
        lambda ix, q, k: ix.search_subset(q, k, np.arange(0, 200, 2), True),
        lambda ix, q, k: ix.search(q, k, np.tile(np.arange(300), (3, 1)), True),
    ],
    ids=["full", "subset", "rows"],
)
def test_a_shortlist_never_outgrows_the_rows(search):
    # A k_h far past the rows must not allocate its padding.
    ix = fitted(make_data(200, 16))
    q = make_data(3, 16, seed=2)
    ids, _ = search(ix, q, 2**22)
    assert ids.shape == (3, 200)
    np.testing.assert_array_equal(ids, search(ix, q, 200)[0])


@pytest.mark.parametrize(
    "call",
    [
        lambda ix, q: ix.search(q, 2, np.array([[0.5, 1.0]]), False),
        lambda ix, q: ix.search(q, 2, np.array([[True, False, True]]), False),  # not the rows 1, 0, 1
        lambda ix, q: ix.search_subset(q, 2, np.array([False, True]), False),
        lambda ix, q: ix.search_subset(q, 2, np.array([1.0, 3.0]), False),
    ],
)
def test_search_refuses_positions_that_are_not_integers(call):
    ix = fitted(make_data(10, 8))
    with pytest.raises(TypeError, match="must be integer positions"):
        call(ix, make_data(1, 8))


# ---------------------------------------------------------------------------
# writes


def test_writes_keep_the_fit_values_and_renumber(level):
    x = make_data(120, 70, seed=2)
    extra = make_data(45, 70, seed=3)
    ix = fitted(x)
    medians = ix.medians.copy()
    ix.append(extra[:5], False)
    ix.append(extra[5:], True)  # grows past the first capacity
    ix.update_vector(7, extra[0])
    ix.update_vector(8, extra[1][None, :])
    ix.delete_rows([0, 3, 150, 164])
    rows = np.concatenate([x, extra])
    rows[7], rows[8] = extra[0], extra[1]
    rows = np.delete(rows, [0, 3, 150, 164], axis=0)
    assert np.array_equal(ix.medians, medians) and ix.matrix.rows == len(rows)
    q = make_data(9, 70, seed=4)
    exp = oracle(bits_of(q, medians), bits_of(rows, medians), 30)
    assert np.array_equal(ix.search_full(q, 30, True, want_distances=True)[0], exp[0])
    ix.delete_rows([])
    assert ix.matrix.rows == len(rows)
    ix.delete_rows(range(len(rows)))
    assert ix.matrix.rows == 0
    assert ix.search_full(q, 2, False)[0].tolist() == [[]] * 9


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda ix: ix.update_vector(0, np.array([np.nan] * 6, np.float32)), ValueError),
        (lambda ix: ix.update_vector(0, np.array([1e300] * 6)), ValueError),  # inf once float32
        (lambda ix: ix.update_vector(4, np.zeros(6, np.float32)), IndexError),
        (lambda ix: ix.update_vector(-1, np.zeros(6, np.float32)), IndexError),
        (lambda ix: ix.update_vector(0, np.zeros((2, 6), np.float32)), ValueError),
        (lambda ix: ix.update_vector(0, np.zeros(5, np.float32)), ValueError),
        (lambda ix: ix.append(np.array([[np.inf] * 6], np.float32), False), ValueError),
        (lambda ix: ix.append(np.zeros((1, 5), np.float32), False), ValueError),
        (lambda ix: ix.delete_rows([1, 4]), IndexError),
        (lambda ix: ix.delete_rows([-1]), IndexError),
    ],
)
@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
def test_write_refusals_change_nothing(call, error):
    ix = fitted(make_data(4, 6))
    before = ix.matrix.packed()
    with pytest.raises(error):
        call(ix)
    assert np.array_equal(ix.matrix.packed(), before)


def test_matrix_is_a_snapshot():
    ix = fitted(make_data(20, 16))
    snap = ix.matrix
    before = snap.packed()
    ix.update_vector(0, -make_data(1, 16)[0])
    ix.append(make_data(3, 16), False)
    assert snap.rows == 20 and np.array_equal(snap.packed(), before)
    assert ix.matrix.rows == 23 and not np.array_equal(ix.matrix.packed()[0], before[0])


class Sneaky:
    """An argument whose conversion first runs `change` (Python code that
    alters the index), then yields `value`."""

    def __init__(self, change, value):
        self.change, self.value = change, value

    def __array__(self, dtype=None, copy=None):
        self.change()
        return self.value


def refit_wider(ix):
    return lambda: ix.fit(np.full((10, 64), 5.0, np.float32), False)


@pytest.mark.parametrize(
    "call, error, message, rows_after",
    [
        # checked against the index as the conversion left it, not as it was
        (lambda ix: ix.append(Sneaky(refit_wider(ix), np.zeros((2, 4), np.float32)), False),
         ValueError, "dimension 64", 10),
        (lambda ix: ix.update_vector(7, Sneaky(lambda: ix.delete_rows(range(1, 8)), np.zeros(4, np.float32))),
         IndexError, "out of range", 1),
    ],
)
def test_writes_check_the_index_the_conversion_left(call, error, message, rows_after):
    ix = fitted(make_data(8, 4))
    with pytest.raises(error, match=message):
        call(ix)
    assert ix.matrix.rows == rows_after


def test_search_codes_queries_with_the_model_it_searches():
    x = np.array([[1.0] * 4, [-1.0] * 4], np.float32)  # medians 0: codes 1111 and 0000
    ix = fitted(x)
    query = Sneaky(refit_wider(ix), np.ones((1, 4), np.float32))
    ids, d = ix.search_full(query, 2, False, want_distances=True)
    assert ids.tolist() == [[0, 1]] and d.tolist() == [[0, 4]]


def test_delete_sizes_its_mask_after_the_iteration():
    medians = np.zeros(4, np.float32)
    ix = core._CoreIndex()
    ix._train_from_params(np.zeros((0, 4), np.float32), medians, False)
    x = make_data(5, 4)

    def positions():
        ix.append(x, False)  # the index grows from no rows while its positions are read
        yield 2

    ix.delete_rows(positions())
    expected = core._CoreIndex()
    expected._train_from_params(np.delete(x, 2, axis=0), medians, False)
    assert np.array_equal(ix.matrix.packed(), expected.matrix.packed())


def test_save_writes_one_state_while_another_thread_writes(tmp_path, monkeypatch):
    # Writing a file lets other threads run; one that refits the index with
    # another dimension then must not change what is being saved.
    ix = fitted(make_data(40, 8))
    before = ix.matrix.packed()
    real_np = np

    class SavingNumpy:
        def __getattr__(self, name):
            return getattr(real_np, name)

        def save(self, path, array):
            if path.endswith("medians.npy"):
                ix.fit(make_data(40, 640, seed=1), False)
            return real_np.save(path, array)

    monkeypatch.setattr(core, "np", SavingNumpy())
    ix.save(str(tmp_path / "ci"))
    monkeypatch.undo()
    loaded = core._CoreIndex.load(str(tmp_path / "ci"))
    assert loaded.matrix.dim == 8 and np.array_equal(loaded.matrix.packed(), before)


def test_built_without_arguments():
    with pytest.raises(TypeError, match="takes no arguments"):
        core._CoreIndex(1)
    ix = core._CoreIndex()
    assert ix.medians is None and ix.matrix.rows == 0 and ix.matrix.packed().shape == (0, 0)


def test_pickling_is_refused():
    ix = fitted(make_data(3, 4))
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            attempt(ix)


# ---------------------------------------------------------------------------
# folder


def test_save_and_load_round_trip(tmp_path):
    x = make_data(77, 100, seed=11)
    ix = fitted(x)
    ix.append(make_data(3, 100), False)
    target = tmp_path / "deep" / "coreindex"
    ix.save(str(target))
    loaded = core._CoreIndex.load(str(target))
    assert type(loaded) is core._CoreIndex
    assert np.array_equal(loaded.medians, ix.medians) and loaded.medians.dtype == ix.medians.dtype
    assert np.array_equal(loaded.matrix.packed(), ix.matrix.packed())
    q = make_data(4, 100, seed=12)
    assert np.array_equal(loaded.search_full(q, 10, False)[0], ix.search_full(q, 10, False)[0])
    # a second save replaces the first in one step and leaves nothing beside it
    ix.delete_rows([0])
    ix.save(str(target))
    assert core._CoreIndex.load(str(target)).matrix.rows == 79
    assert sorted(os.listdir(target.parent)) == ["coreindex"]

    class Sub(core._CoreIndex):
        pass

    assert type(Sub.load(str(target))) is Sub


def test_save_refuses_to_replace_a_foreign_folder(tmp_path):
    (tmp_path / "mine.txt").write_text("keep me")
    with pytest.raises(FileExistsError):
        fitted(make_data(3, 4)).save(str(tmp_path))
    assert (tmp_path / "mine.txt").read_text() == "keep me"


def corrupt_meta(folder, **changes):
    import json

    meta = json.loads((folder / "coreindex.json").read_text())
    meta.update(changes)
    (folder / "coreindex.json").write_text(json.dumps(meta))


@pytest.mark.parametrize(
    "damage, message",
    [
        (lambda f: corrupt_meta(f, version=2), "unknown format version 2"),
        (lambda f: corrupt_meta(f, rows=6), "codes.npy"),
        (lambda f: corrupt_meta(f, dim=65), "word count"),
        (lambda f: corrupt_meta(f, dim=9), "medians.npy"),
        (lambda f: corrupt_meta(f, format="other"), "not a binary-code index"),
        # the word count is never worked out from a dimension no index can have
        (lambda f: corrupt_meta(f, dim=2**63 - 1, words=2**57), "dimension 9223372036854775807"),
        (lambda f: corrupt_meta(f, dim=2**64), "out-of-range 'dim'"),
        (lambda f: corrupt_meta(f, rows=-1), "out-of-range 'rows'"),
        (lambda f: (f / "coreindex.json").write_text("[1, 2"), "not JSON"),
        (lambda f: np.save(f / "medians.npy", np.zeros(10, np.int64)), "medians.npy"),
        (lambda f: np.save(f / "medians.npy", np.full(10, np.nan, np.float32)), "NaN"),
        (lambda f: np.save(f / "codes.npy", np.zeros((5, 2), np.uint64)), "codes.npy"),
        (lambda f: np.save(f / "codes.npy", np.full((5, 1), 2**63, np.uint64)), "past the dimension"),
    ],
)
def test_load_validates_the_folder(tmp_path, damage, message):
    folder = tmp_path / "ci"
    fitted(make_data(5, 10)).save(str(folder))
    damage(folder)
    with pytest.raises(ValueError, match=message) as info:
        core._CoreIndex.load(str(folder))
    assert str(folder) in str(info.value)


def test_load_of_arrays_in_foreign_byte_order(tmp_path):
    x = make_data(30, 70, seed=13)
    ix = fitted(x)
    folder = tmp_path / "ci"
    ix.save(str(folder))
    np.save(folder / "medians.npy", ix.medians.astype(">f4"))
    np.save(folder / "codes.npy", ix.matrix.packed().astype(">u8"))
    loaded = core._CoreIndex.load(str(folder))
    assert np.array_equal(loaded.matrix.packed(), ix.matrix.packed())
    loaded.append(x, False)  # new rows are coded with the stored fit values
    assert np.array_equal(loaded.matrix.packed()[30:], ix.matrix.packed())


def test_load_of_a_missing_folder(tmp_path):
    with pytest.raises(FileNotFoundError):
        core._CoreIndex.load(str(tmp_path / "absent"))


# ---------------------------------------------------------------------------
# finiteness guard


@pytest.mark.parametrize(
    "array, finite",
    [
        (np.zeros((3, 2), np.float32), True),
        (np.array([[0.0, np.nan]], np.float32), False),
        (np.array([1.0, -np.inf]), False),
        (np.zeros((4, 4), np.float32)[:, ::2], True),  # strided: numpy's isfinite
        (np.array([[1, 2]], np.int64), True),
        ([[0.0, float("inf")]], False),
        # big-endian: read as stored, not as native bytes (those of 1.0039 read as a NaN)
        (np.array([[1.0, np.nan]], ">f4"), False),
        (np.frombuffer(bytes([0x3F, 0x80, 0x80, 0x7F]), ">f4").reshape(1, 1), True),
    ],
)
def test_require_finite(array, finite):
    if finite:
        assert core._require_finite(array) is array
    else:
        with pytest.raises(ValueError, match="vectors contains NaN or infinite values"):
            core._require_finite(array, "vectors")
