"""Tests for the 8-bit quantisation kernels: edge grids and encoding."""

import contextlib
import ctypes
import os
import platform
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from tarnix_engine.kernels import packing

SIMD_MODULE = packing  # the `level` fixture (tests/conftest.py) runs tests at each of its levels
SIMD_LEVELS = ("portable", "avx2", "avx512")


def numpy_encode(data, bins):
    """The encoding written in numpy: (x - lo) / step, truncated, held in 0..255."""
    lo = bins[:, 0]
    step = bins[:, 1] - bins[:, 0]
    with np.errstate(divide="ignore", invalid="ignore"):
        q = (data.astype(np.float64) - lo) / step
    q = np.where(np.isnan(q), 0.0, q)
    return np.clip(np.trunc(q), 0, 255).astype(np.uint8)


def unit_column_table():
    return packing.generate_numba(np.array([[0.0], [1.0]], dtype=np.float32), 256)


# ---------------------------------------------------------------------------
# edge grids


def test_edges_multiply_then_add_from_min_to_max():
    data = np.array([[0.0, 3.0, -2.0], [1.0, 3.0, 5.0], [0.25, 3.0, 1.0]], dtype=np.float32)
    edges = packing.generate_numba(data, 256)
    assert edges.dtype == np.float64 and edges.shape == (3, 256) and edges.flags.c_contiguous
    for i in range(3):
        lo, hi = float(data[:, i].min()), float(data[:, i].max())
        if lo == hi:
            expected = np.full(256, lo)
        else:
            step = (hi - lo) / (256 - 1.0)
            expected = np.array([j * step + lo for j in range(256)])
        assert np.array_equal(edges[i], expected)
    assert np.all(edges[1] == 3.0)  # a constant column


@pytest.mark.parametrize(
    "bins, row",
    [
        (2, [0.0, 1.0]),
        (3, [0.0, 0.5, 1.0]),
    ],
)
def test_edges_for_few_bins(bins, row):
    data = np.array([[0.0, 3.0], [1.0, 3.0]], dtype=np.float32)
    edges = packing.generate_numba(data, bins)
    assert edges.shape == (2, bins)
    np.testing.assert_array_equal(edges[0], row)
    assert np.all(edges[1] == 3.0)


@pytest.mark.parametrize(
    "arr, bins, error",
    [
        (np.zeros(4, dtype=np.float32), 256, ValueError),  # one-dimensional
        (np.zeros((2, 3, 1), dtype=np.float32), 256, ValueError),
        (np.zeros((2, 3), dtype=np.float32), 1, ValueError),  # one edge has no step
        (np.zeros((2, 3), dtype=np.float32), 0, ValueError),
        (np.zeros((0, 3), dtype=np.float32), 256, ValueError),  # no rows: numpy's minimum
        (np.zeros((2, 3), dtype=np.float32), -1, ValueError),  # numpy's allocation
        (np.zeros((2, 3), dtype=np.float32), 2**31, OverflowError),
        (np.zeros((2, 3), dtype=np.float32), 2.0, TypeError),
        (np.array([[0.0, np.inf]], dtype=np.float32), 256, ValueError),  # _require_finite
    ],
)
def test_edges_refusals(arr, bins, error):
    with pytest.raises(error):
        packing.generate_numba(arr, bins)


def test_edges_go_through_the_module_finiteness_guard(monkeypatch):
    seen = []

    def guard(array, *rest):
        seen.append(rest)
        return array * 2  # the returned object is what the grid is built on

    monkeypatch.setattr(packing, "_require_finite", guard)
    edges = packing.generate_numba(np.array([[0.0], [1.0]], dtype=np.float32), 3)
    assert seen == [()]
    assert np.array_equal(edges, [[0.0, 1.0, 2.0]])


def test_generate_numpy_is_numpys_histogram_edges():
    rng = np.random.default_rng(3)
    data = rng.standard_normal((50, 3)).astype(np.float32)
    data[:, 2] = 7.0  # constant: numpy's own rule for the range
    edges = packing.generate_numpy(data, 256)
    assert edges.shape == (3, 255) and edges.dtype == np.float64
    for i in range(3):
        assert np.array_equal(edges[i], np.histogram_bin_edges(data[:, i], 254))
    with pytest.raises(ValueError):
        packing.generate_numpy(data, 2)  # fewer than one interval


# ---------------------------------------------------------------------------
# encoding


@pytest.mark.parametrize(
    "value, code",
    [(0.0, 0), (0.5, 127), (1.0, 255), (0.1, 25), (-0.5, 0), (2.0, 255)],
)
def test_unit_column_codes(value, code):
    out = packing.encode_dataset(np.array([[value]], dtype=np.float32), unit_column_table())
    assert out.dtype == np.uint8 and out.shape == (1, 1) and out.flags.c_contiguous
    assert out[0, 0] == code


def test_constant_column_and_huge_quotients():
    table = packing.generate_numba(np.array([[3.0, 0.0], [3.0, 1e-9]], dtype=np.float32), 256)
    assert np.all(table[0] == 3.0)
    data = np.array([[3.0, 10.0], [4.0, -1.0], [2.0, 1e-9]], dtype=np.float32)
    out = packing.encode_dataset(data, table)
    # step 0: the fitted value gives 0 (0/0 is NaN), larger 255, smaller 0;
    # a 1e-9 wide range: 10 above the minimum is a quotient in the trillions.
    assert out.tolist() == [[0, 255], [255, 0], [0, 255]]


@settings(max_examples=60, deadline=None)
@given(
    # past 32 columns the vector levels take their single-precision pass
    hnp.arrays(np.float32, hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=70),
               elements=st.floats(-1e6, 1e6, width=32)),
    st.integers(0, 2),
)
def test_encoding_matches_numpy(data, shift):
    edges = packing.generate_numba(data, 256)
    queries = data + np.float32(shift)  # values beyond the fitted range too
    expected = numpy_encode(queries, edges)
    assert np.array_equal(packing.encode_dataset(queries, edges), expected)
    assert np.array_equal(packing.encode_dataset(queries, edges, True), expected)


def test_zero_rows_and_read_only_inputs():
    edges = unit_column_table()
    out = packing.encode_dataset(np.zeros((0, 1), dtype=np.float32), edges)
    assert out.shape == (0, 1) and out.dtype == np.uint8
    data = np.array([[0.5]], dtype=np.float32)
    data.flags.writeable = False
    edges.flags.writeable = False
    assert packing.encode_dataset(data, edges, parallel=False)[0, 0] == 127
    # any exporter of the buffer protocol, not just ndarray
    assert packing.encode_dataset(memoryview(np.array([[1.0]], dtype=np.float32)), memoryview(edges))[0, 0] == 255


def test_encoding_reads_only_edges_zero_and_one():
    table = np.array([[0.0, 2.0, 999.0, -5.0], [10.0, 11.0, 0.0, 0.0], [7.0, 7.0, 7.0, 7.0]])
    out = packing.encode_dataset(np.array([[5.0, 12.5]], dtype=np.float32), table)
    assert out.tolist() == [[2, 2]]  # the extra row and edges are not read


WIDE = np.zeros((3, 4), dtype=np.float32)


@pytest.mark.parametrize(
    "data, bins, error",
    [
        (WIDE.astype(np.float64), np.zeros((4, 256)), ValueError),  # float64 data
        (WIDE.T, np.zeros((4, 256)), ValueError),  # transposed: not C-contiguous
        (np.zeros((3, 8), dtype=np.float32)[:, ::2], np.zeros((4, 256)), ValueError),  # column slice
        (np.zeros(4, dtype=np.float32), np.zeros((4, 256)), ValueError),  # one-dimensional
        (WIDE, np.zeros((4, 256), dtype=np.float32), ValueError),  # float32 table
        (WIDE, np.zeros((4, 256)).T.copy().T, ValueError),  # Fortran-ordered table
        ([[0.0] * 4], np.zeros((4, 256)), TypeError),  # a list exports no buffer
        (None, np.zeros((4, 256)), TypeError),
        # The table must serve every data column with two edges.
        (WIDE, np.zeros((3, 256)), ValueError),
        (WIDE, np.zeros((4, 1)), ValueError),
        (WIDE, None, TypeError),
    ],
)
def test_encoding_refusals(data, bins, error):
    with pytest.raises(error):
        packing.encode_dataset(data, bins)


def test_encoding_checks_order(monkeypatch):
    calls = []
    monkeypatch.setattr(packing, "_require_finite", lambda a, name: calls.append((a.shape, name)))

    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError

    # parallel's truth test comes after both arrays, before the finiteness guard
    with pytest.raises(ZeroDivisionError):
        packing.encode_dataset(WIDE, np.zeros((4, 256)), BadTruth())
    with pytest.raises(ValueError):
        packing.encode_dataset(WIDE.T, np.zeros((4, 256)), BadTruth())
    # a table too small for the data is refused once all three are converted
    with pytest.raises(ZeroDivisionError):
        packing.encode_dataset(WIDE, np.zeros((3, 256)), BadTruth())
    assert calls == []
    packing.encode_dataset(WIDE, np.zeros((4, 2)))
    assert calls == [((3, 4), "vectors")]


def test_encoding_refuses_non_finite_values_by_name():
    with pytest.raises(ValueError, match="vectors"):
        packing.encode_dataset(np.array([[np.nan]], dtype=np.float32), unit_column_table())


def test_every_kernel_level_gives_the_same_codes(level):
    rng = np.random.default_rng(5)
    data = (rng.standard_normal((300, 77)) * 10).astype(np.float32)
    edges = packing.generate_numba(data[:100], 256)
    expected = numpy_encode(data, edges)
    assert np.array_equal(packing.encode_dataset(data, edges, True), expected)
    assert np.array_equal(packing.encode_dataset(data, edges, False), expected)


ULPS = (1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144)


def off_float(value, fraction):
    """The double `fraction` of a float32 ulp away from the float nearest `value`."""
    f = np.float32(value)
    return float(f) + fraction * float(np.spacing(f))


# Grids (lo, step) for values next to integer quotients: steps whose
# reciprocal is inexact; lo and 1/step as far from a float as can be, so the
# single-precision pass errs by nearly all it may (lo 1e6 and 2e6 steps from
# 0, then quotients up to 256 with no offset); a negative step; subnormal
# values around quotient 33. The single-precision pass serves all of these.
SINGLE_GRIDS = [
    (0.0, 0.1), (-1.0, 1 / 3), (2.5, 0.7), (-3.0, 1e-3), (0.0, 3.0), (1e30, 7e27), (-0.17, 0.35 / 255),
    (off_float(1000.0, 0.45), 1e-3), (off_float(-2000.0, -0.47), 1e-3), (off_float(-0.2, 0.49), 0.4 / 255),
    (0.0, 1 / off_float(255 / 1.7, 0.49)), (0.0, 1 / off_float(255 / 3.1, -0.49)),
    (1.0, -0.25), (-1e-37, 3e-39),
]
# Grids it cannot serve: too far from 0 for its precision, lo beyond
# float's range (the quotients 66..134 ordinary), a reciprocal beyond it, a
# lo below its normal range.
DOUBLE_GRIDS = [(5000.0, 1e-3), (-1e39, 1e37), (1e-40, 1e-41), (1e-40, 1e-38)]
# Tables without a usable reciprocal, for random values.
DIVIDE_TABLES = [[0.0, 0.0], [0.0, 5e-324], [-1e308, 0.0], [0.0, np.inf]]


def near_integer_values(lo, step):
    """x on, or within 1 to 144 float32 ulps of, lo + n * step for n = 0..256."""
    n = np.arange(0, 257, dtype=np.float64)
    with np.errstate(over="ignore"):
        x = (n * step + lo).astype(np.float32)
    x = x[np.isfinite(x)]
    gap = np.spacing(x)
    return np.concatenate([x] + [x + np.float32(k) * gap for k in ULPS] + [x - np.float32(k) * gap for k in ULPS])


def near_integer_cases():
    """Every grid's near-integer values in columns repeated, each copy with
    its rows shuffled, so that every case meets both the 32-value vector
    steps and the tail after them; and random values for the tables whose
    reciprocal no fast path can use."""
    rng = np.random.default_rng(2)
    grids = SINGLE_GRIDS + DOUBLE_GRIDS
    columns = [near_integer_values(lo, step) for lo, step in grids]
    tables = [[lo, lo + step] for lo, step in grids] + DIVIDE_TABLES
    columns += [rng.normal(size=1).astype(np.float32) * 4 for _ in DIVIDE_TABLES]
    height = max(len(c) for c in columns)
    columns = [np.resize(rng.permutation(c), height) for c in columns]
    copies = 4  # 88 columns: two vector steps of 32 and a tail of 24
    data = np.stack([rng.permutation(c) for _ in range(copies) for c in columns], axis=1)
    edges = np.array(tables * copies, dtype=np.float64)
    return np.ascontiguousarray(data.astype(np.float32)), edges


def lone_near_integer_cases():
    """The single-precision grids in one 32-value vector step, with one
    near-integer value a row among values halfway between codes: a flagged
    neighbour would send the whole step through the double pass and hide a
    value the single-precision pass got wrong."""
    rng = np.random.default_rng(4)
    lo = np.array([g[0] for g in SINGLE_GRIDS])
    step = np.array([g[1] for g in SINGLE_GRIDS])
    cols = np.resize(np.arange(len(SINGLE_GRIDS)), 32)
    values = [near_integer_values(*SINGLE_GRIDS[c]) for c in cols[: len(SINGLE_GRIDS)]]
    rows = sum(len(v) for v in values)
    halfway = (rng.integers(0, 256, size=(rows, 32)) + 0.5) * step[cols] + lo[cols]
    data = halfway.astype(np.float32)
    r = 0
    for c, v in enumerate(values):
        data[r : r + len(v), c] = v
        r += len(v)
    edges = np.stack([lo[cols], lo[cols] + step[cols]], axis=1)
    return data, edges


@pytest.mark.parametrize("cases", [near_integer_cases, lone_near_integer_cases])
def test_quotients_next_to_integers_truncate_as_the_division_does(level, cases):
    # The encoder may take the quotient as a product by the reciprocal, in
    # single or double precision; where that could truncate differently from
    # the division it must divide.
    data, edges = cases()
    assert np.isfinite(data).all()
    with np.errstate(over="ignore"):
        expected = numpy_encode(data, edges)
    assert np.array_equal(packing.encode_dataset(data, edges, True), expected)


@contextlib.contextmanager
def subnormals_flushed(bits):
    """This thread's SSE control word with `bits` set, as a library built for
    fast math leaves it for the whole process (glibc on x86-64 only)."""
    if platform.machine() != "x86_64" or platform.libc_ver()[0] != "glibc":
        pytest.skip("sets the x86-64 SSE control word through glibc")
    libm = ctypes.CDLL("libm.so.6")
    saved = (ctypes.c_ubyte * 32)()  # fenv_t; the SSE control word is its last 4 bytes
    assert libm.fegetenv(saved) == 0
    flushed = (ctypes.c_ubyte * 32).from_buffer_copy(saved)
    mxcsr = int.from_bytes(bytes(flushed[28:32]), "little") | bits
    flushed[28:32] = list(mxcsr.to_bytes(4, "little"))
    assert libm.fesetenv(flushed) == 0
    try:
        yield
    finally:
        libm.fesetenv(saved)


@pytest.mark.parametrize("bits", [0x8000, 0x0040], ids=["flush-to-zero", "denormals-are-zero"])
def test_a_lo_below_floats_normal_range_survives_flushed_subnormals(level, bits):
    # lo = 1e-39 is a float subnormal but an ordinary double: flushed to 0 in
    # single precision it would move every quotient by lo / step = 0.1.
    lo, step = 1e-39, 1e-38
    edges = np.tile([[lo, lo + step]], (40, 1))  # a vector step of 32 and a tail
    rng = np.random.default_rng(6)
    data = (lo + step * rng.uniform(1.2, 8.0, size=(200, 40))).astype(np.float32)
    with subnormals_flushed(bits):
        got = packing.encode_dataset(data, edges, False)
        expected = numpy_encode(data, edges)
    assert np.array_equal(got, expected)


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("col", [0, 31, 32, 63, 64, 70])  # vector steps, their last lanes, the tail
def test_a_non_finite_value_anywhere_is_refused(level, value, col):
    data = np.random.default_rng(3).standard_normal((40, 71)).astype(np.float32)
    edges = packing.generate_numba(data, 256)
    for parallel in (False, True):
        bad = data.copy()
        bad[17, col] = value
        with pytest.raises(ValueError, match="^vectors contains NaN or infinite values$"):
            packing.encode_dataset(bad, edges, parallel)
