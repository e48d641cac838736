"""Tests for the query-batching policy shared by every search core.

The memory files are faked by replacing the module's ``Path`` with a small
in-memory file system, so the tests never depend on the host's cgroup setup.
"""

import json
import os
import subprocess
import sys
import textwrap
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tarnix_engine.kernels import _batching

V2_LIMIT = "/sys/fs/cgroup/memory.max"
V2_USAGE = "/sys/fs/cgroup/memory.current"
V1_LIMIT = "/sys/fs/cgroup/memory/memory.limit_in_bytes"
V1_USAGE = "/sys/fs/cgroup/memory/memory.usage_in_bytes"
MEMINFO = "/proc/meminfo"

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)
GIB = 2**30


# ---------------------------------------------------------------------------
# helpers


class ExistsFails:
    """File entry whose existence test itself raises ``exc``."""

    def __init__(self, exc):
        self.exc = exc


class FakeFiles:
    """In-memory stand-in for the handful of files the sizer looks at.

    ``files`` maps an absolute name to its text, to an exception instance
    raised when the file is read, or to ``ExistsFails``.  Every call is logged
    as ``(operation, name)`` so tests can prove which files were touched.
    """

    def __init__(self):
        self.files = {}
        self.log = []
        fs = self

        class FakePath:
            def __init__(self, name):
                self._name = os.fspath(name)

            def exists(self):
                fs.log.append(("exists", self._name))
                entry = fs.files.get(self._name)
                if isinstance(entry, ExistsFails):
                    raise entry.exc
                return self._name in fs.files

            def read_text(self, *args, **kwargs):
                fs.log.append(("read", self._name))
                if self._name not in fs.files:
                    raise FileNotFoundError(2, "No such file or directory", self._name)
                entry = fs.files[self._name]
                if isinstance(entry, BaseException):
                    raise entry
                return entry

        self.path_type = FakePath

    def set(self, files):
        self.files = dict(files)
        self.log.clear()

    def touched(self):
        return {name for _, name in self.log}

    def reads(self):
        return [name for op, name in self.log if op == "read"]


@pytest.fixture
def memory_files(monkeypatch):
    fs = FakeFiles()
    monkeypatch.setattr(_batching, "Path", fs.path_type)
    return fs


def _forbidden(what):
    def step(*args, **kwargs):
        raise AssertionError(f"{what} must not be consulted")

    return step


@pytest.fixture
def no_budget(monkeypatch):
    """Fail loudly if the memory-derived budget is asked for."""
    monkeypatch.setattr(
        _batching, "_resolve_batch_byte_budget", _forbidden("the byte budget")
    )


class Index:
    """A non-int integer-like object, as the int64 parameters accept."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


class MyInt(int):
    pass


def undecodable():
    return UnicodeDecodeError("utf-8", b"\xff", 0, 1, "invalid start byte")


# ---------------------------------------------------------------------------
# module surface


def _subprocess_env(**extra):
    env = dict(os.environ)
    # Make the child resolve the package exactly as this process did.
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    for var in ("OMP_NUM_THREADS", "OMP_THREAD_LIMIT", "OMP_DYNAMIC"):
        env.pop(var, None)
    env.update(extra)
    return env


def _run_child(code, **extra_env):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=_subprocess_env(**extra_env),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def test_import_pulls_in_no_other_package_module():
    # The parent packages are replaced by empty stand-ins so that whatever
    # their own __init__ files load is not blamed on the extension module;
    # any other package module it imported would show up in sys.modules.
    loaded = _run_child(
        """
        import importlib.util, json, os, sys, types
        top = importlib.util.find_spec("tarnix_engine")
        pkg = types.ModuleType("tarnix_engine")
        pkg.__path__ = list(top.submodule_search_locations)
        sys.modules["tarnix_engine"] = pkg
        kernels = types.ModuleType("tarnix_engine.kernels")
        kernels.__path__ = [os.path.join(p, "kernels") for p in pkg.__path__]
        sys.modules["tarnix_engine.kernels"] = kernels
        pkg.kernels = kernels
        import tarnix_engine.kernels._batching
        print(json.dumps({
            "package": sorted(m for m in sys.modules
                              if m.split(".")[0] == "tarnix_engine"),
            "numpy": "numpy" in sys.modules,
        }))
        """
    )
    assert loaded == {
        "package": ["tarnix_engine", "tarnix_engine.kernels",
                    "tarnix_engine.kernels._batching"],
        "numpy": False,
    }


# ---------------------------------------------------------------------------
# argument handling


@pytest.mark.parametrize(
    "func, args, kwargs",
    [
        ("resolve_num_threads", (), {}),
        ("resolve_num_threads", (True,), {}),
        ("resolve_num_threads", (True, 4, 1), {}),
        ("resolve_num_threads", (True, 4), {"threads": 2}),
        ("resolve_num_threads", (True, 4), {"parallel": True}),
        ("resolve_batch_size", (), {}),
        ("resolve_batch_size", (10,), {}),
        ("resolve_batch_size", (10, 1, None, 1, None, 0), {}),
        ("resolve_batch_size", (10, 1), {"bytes": 1}),
        ("resolve_batch_size", (10, 1), {"n_queries": 10}),
        ("resolve_batch_size", (10, 1, 5), {"batch_size": 5}),
        ("_resolve_batch_byte_budget", (1,), {}),
        ("_resolve_available_memory_bytes", (1,), {}),
        ("_cgroup_memory_available", (), {"x": 1}),
    ],
)
def test_bad_call_shapes_name_the_function(func, args, kwargs):
    with pytest.raises(TypeError, match=func):
        getattr(_batching, func)(*args, **kwargs)


def test_all_parameters_by_position_or_keyword():
    assert _batching.resolve_batch_size(10000, 1, None, 1, 3000) == 2500
    assert (
        _batching.resolve_batch_size(
            max_bytes=3000, num_threads=1, batch_size=None,
            bytes_per_query=1, n_queries=10000,
        )
        == 2500
    )
    assert _batching.resolve_num_threads(n_queries=1, parallel=True) == 1


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"n_queries": 10000.0}, TypeError),
        ({"n_queries": "10000"}, TypeError),
        ({"n_queries": 2**63}, OverflowError),
        ({"n_queries": INT64_MIN - 1}, OverflowError),
        ({"bytes_per_query": 1.0}, TypeError),
        ({"bytes_per_query": 2**63}, OverflowError),
        ({"bytes_per_query": INT64_MIN - 1}, OverflowError),
        ({"num_threads": 2**31}, OverflowError),
        ({"num_threads": -(2**31) - 1}, OverflowError),
        ({"num_threads": 1.0}, TypeError),
    ],
)
def test_integer_parameter_conversion_errors(kwargs, error):
    # An automatic sizing past the threshold uses every integer argument.
    call = {"n_queries": 10000, "bytes_per_query": 1, "num_threads": 1,
            "max_bytes": 3000}
    call.update(kwargs)
    with pytest.raises(error):
        _batching.resolve_batch_size(**call)


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"n_queries": Index(10000)}, 2500),
        ({"n_queries": np.int64(10000)}, 2500),
        ({"bytes_per_query": Index(1)}, 2500),
        ({"bytes_per_query": np.int32(1)}, 2500),
        ({"num_threads": np.int64(1)}, 2500),
        ({"num_threads": 2**31 - 1}, 10000),
        ({"num_threads": -(2**31)}, 2500),
        ({"bytes_per_query": INT64_MAX}, 32),
        ({"bytes_per_query": INT64_MIN}, 2500),
    ],
)
def test_integer_parameters_accept_their_full_range(kwargs, expected):
    call = {"n_queries": 10000, "bytes_per_query": 1, "num_threads": 1,
            "max_bytes": 3000}
    call.update(kwargs)
    assert _batching.resolve_batch_size(**call) == expected


def test_extreme_query_counts_with_explicit_width():
    assert _batching.resolve_batch_size(INT64_MAX, 1, batch_size=5) == 5
    assert _batching.resolve_batch_size(INT64_MIN, 1) == 1


# ---------------------------------------------------------------------------
# thread count


@pytest.mark.parametrize(
    "parallel, n_queries",
    [
        (False, 100),
        (0, 100),
        ("", 100),
        ([], 100),
        (True, 1),
        (True, 0),
        (True, -5),
        (True, INT64_MIN),
    ],
)
def test_serial_cases_use_one_thread(parallel, n_queries):
    result = _batching.resolve_num_threads(parallel, n_queries)
    assert type(result) is int
    assert result == 1


def test_thread_count_bounded_by_queries():
    assert _batching.resolve_num_threads(True, 2) in (1, 2)
    assert _batching.resolve_num_threads(True, np.int64(10**6)) >= 1


@pytest.mark.parametrize(
    "n_queries, error",
    [(2.0, TypeError), (2**63, OverflowError), (INT64_MIN - 1, OverflowError)],
)
def test_thread_count_query_conversion_errors(n_queries, error):
    with pytest.raises(error):
        _batching.resolve_num_threads(True, n_queries)


@pytest.mark.parametrize(
    "omp_threads, calls, expected",
    [
        (
            "8",
            [[True, 3], [True, 100], [True, 8], [True, 9], ["yes", 100],
             [1, 2**40], [False, 100], [True, 1]],
            [3, 8, 8, 8, 8, 8, 1, 1],
        ),
        ("1", [[True, 100], [True, 2]], [1, 1]),
        ("3", [[True, 2], [True, 100]], [2, 3]),
    ],
)
def test_thread_count_follows_openmp_maximum(omp_threads, calls, expected):
    results = _run_child(
        f"""
        import json
        from tarnix_engine.kernels import _batching
        calls = {calls!r}
        print(json.dumps([_batching.resolve_num_threads(p, n) for p, n in calls]))
        """,
        OMP_NUM_THREADS=omp_threads,
    )
    assert results == expected


# ---------------------------------------------------------------------------
# chunk width: worked examples


@pytest.mark.parametrize(
    "n_queries, bytes_per_query, num_threads, max_bytes, expected",
    [
        # width 4096 after clamping: 3 chunks spread as 3334/3334/3333
        (10001, 1, 1, 4096, 3334),
        (10000, 1, 1, 3000, 2500),
        (10000, 1, 1, 6000, 5000),
        # a zero budget is floored to one query, then to MIN_SEARCH_BATCH
        (6000, 1, 1, 0, 32),
        (6000, 10**9, 1, 0, 32),
        (6000, 1, 1, -(10**6), 32),
        # non-positive per-query estimates count as one byte
        (10000, 0, 1, 6000, 5000),
        (10000, -7, 1, 6000, 5000),
        # at least one query per thread
        (6000, 10, 200, 1000, 200),
        (6000, 10, 10000, 1000, 6000),
        # budget wide enough for everything: one chunk
        (20000, 1000, 1, 1 << 62, 20000),
        (10000, 1, 1, INT64_MAX, 10000),
        (10**12, 1, 1, 4 * 10**11, 333333333334),
    ],
)
def test_automatic_width(n_queries, bytes_per_query, num_threads, max_bytes,
                         expected, no_budget):
    result = _batching.resolve_batch_size(
        n_queries, bytes_per_query, num_threads=num_threads, max_bytes=max_bytes
    )
    assert type(result) is int
    assert result == expected


def test_fallback_budget_with_many_threads(memory_files):
    # No memory file at all: the fallback budget of 256 MiB gives width 0 at
    # 1 GB per query, raised to 8 by the threads and to 32 by the floor.
    assert _batching.resolve_batch_size(6000, 1000000000, num_threads=8) == 32


@pytest.mark.parametrize(
    "min_batch, expected",
    [(1, 1), (0, 1), (-5, 1), (3000, 3000), (np.int64(3000), 3000),
     (Index(2000), 2000), (5000, 3000), (6001, 6000)],
)
def test_min_search_batch_floor(monkeypatch, min_batch, expected):
    monkeypatch.setattr(_batching, "MIN_SEARCH_BATCH", min_batch)
    assert _batching.resolve_batch_size(6000, 1, num_threads=0, max_bytes=0) == expected


@pytest.mark.parametrize(
    "min_batch, error",
    [(32.0, TypeError), ("32", TypeError), (2**63, OverflowError)],
)
def test_min_search_batch_must_be_int64(monkeypatch, min_batch, error):
    monkeypatch.setattr(_batching, "MIN_SEARCH_BATCH", min_batch)
    with pytest.raises(error):
        _batching.resolve_batch_size(6000, 1, max_bytes=0)


# ---------------------------------------------------------------------------
# chunk width: property


@settings(max_examples=400, deadline=None)
@given(
    n_queries=st.integers(1, 2**62),
    budget=st.integers(INT64_MIN, INT64_MAX),
    bytes_per_query=st.one_of(st.integers(-10, 10**6), st.integers(INT64_MIN, INT64_MAX)),
    num_threads=st.one_of(st.integers(-4, 64), st.integers(-(2**31), 2**31 - 1)),
    min_batch=st.integers(-4, 10**5),
)
def test_result_keeps_the_chunk_count_of_the_clamped_width(
    n_queries, budget, bytes_per_query, num_threads, min_batch
):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(_batching, "AUTO_CHUNK_MIN_QUERIES", 0)
        mp.setattr(_batching, "MIN_SEARCH_BATCH", min_batch)
        result = _batching.resolve_batch_size(
            n_queries, bytes_per_query, num_threads=num_threads, max_bytes=budget
        )

    per_query = max(bytes_per_query, 1)
    by_budget = abs(budget) // per_query * (1 if budget >= 0 else -1)
    width = max(min(max(by_budget, num_threads, min_batch), n_queries), 1)
    chunks = -(-n_queries // width)

    assert 1 <= result <= width
    assert -(-n_queries // result) == chunks
    # As even as whole widths allow: one query narrower needs another chunk.
    assert result == 1 or -(-n_queries // (result - 1)) > chunks
    # The budget holds unless a floor forced the width up.
    if result > max(num_threads, min_batch, 1):
        assert result * per_query <= budget


# ---------------------------------------------------------------------------
# chunk width: threshold and trivial cases


@pytest.mark.parametrize(
    "n_queries, kwargs",
    [
        (0, {}),
        (-3, {"batch_size": "8"}),
        (0, {"batch_size": 0}),
        (-1, {"batch_size": 2.0}),
        (0, {"max_bytes": 1.5}),
    ],
)
def test_no_queries_gives_width_one(n_queries, kwargs, memory_files, no_budget,
                                    monkeypatch):
    monkeypatch.setattr(_batching, "MAX_SEARCH_BATCH_BYTES", 1.5)
    assert _batching.resolve_batch_size(n_queries, 100, **kwargs) == 1
    assert memory_files.log == []


@pytest.mark.parametrize("n_queries", [1, 2, 4999, 5000])
def test_small_automatic_requests_are_one_chunk(n_queries, memory_files,
                                                no_budget, monkeypatch):
    # Neither override nor the memory files are looked at below the threshold.
    monkeypatch.setattr(_batching, "MAX_SEARCH_BATCH_BYTES", 1.5)
    result = _batching.resolve_batch_size(n_queries, 10**12, max_bytes="junk")
    assert result == n_queries
    assert memory_files.log == []


def test_threshold_is_exclusive(monkeypatch):
    calls = []

    def budget():
        calls.append(1)
        return 1000

    monkeypatch.setattr(_batching, "_resolve_batch_byte_budget", budget)
    assert _batching.resolve_batch_size(5000, 1) == 5000
    assert calls == []
    assert _batching.resolve_batch_size(5001, 1) == 834
    assert calls == [1]


@pytest.mark.parametrize(
    "threshold, n_queries, expected",
    [(10000, 10000, 10000), (10000, 10001, 2501), (0, 2, 2), (0, 1, 1),
     (np.int64(6000), 6000, 6000)],
)
def test_threshold_is_read_at_every_call(monkeypatch, threshold, n_queries, expected):
    monkeypatch.setattr(_batching, "AUTO_CHUNK_MIN_QUERIES", threshold)
    monkeypatch.setattr(_batching, "_resolve_batch_byte_budget", lambda: 2501)
    assert _batching.resolve_batch_size(n_queries, 1) == expected


def test_explicit_width_ignores_threshold_and_budget(monkeypatch, memory_files, no_budget):
    monkeypatch.setattr(_batching, "AUTO_CHUNK_MIN_QUERIES", "not read")
    monkeypatch.setattr(_batching, "MAX_SEARCH_BATCH_BYTES", "not read")
    monkeypatch.setattr(_batching, "MIN_SEARCH_BATCH", "not read")
    assert _batching.resolve_batch_size(100, 1, batch_size=7) == 7
    assert _batching.resolve_batch_size(10**6, 1, batch_size=7, max_bytes="junk") == 7
    assert memory_files.log == []


# ---------------------------------------------------------------------------
# explicit batch_size


@pytest.mark.parametrize(
    "n_queries, batch_size, expected",
    [
        (100, 7, 7),
        (100, 1, 1),
        (100, 99, 99),
        (100, 100, 100),
        (100, 101, 100),
        (100, 10**30, 100),
        (10**6, 7, 7),
        (100, MyInt(7), 7),
        (100, MyInt(1000), 100),
    ],
)
def test_explicit_width(n_queries, batch_size, expected):
    result = _batching.resolve_batch_size(n_queries, 10**9, batch_size=batch_size,
                                          num_threads=64)
    assert type(result) is int
    assert result == expected


@pytest.mark.parametrize(
    "batch_size",
    [True, False, 2.0, "8", [8], Index(8), np.int64(8),
     np.int32(8), np.uint8(8), Fraction(8)],
)
@pytest.mark.parametrize("n_queries", [10, 10**6])
def test_explicit_width_must_be_int(batch_size, n_queries):
    with pytest.raises(TypeError) as info:
        _batching.resolve_batch_size(n_queries, 1, batch_size=batch_size)
    assert str(info.value) == "batch_size must be an int or None, got " + repr(batch_size)


@pytest.mark.parametrize(
    "batch_size, text",
    [(0, "0"), (-3, "-3"), (-(10**30), "-" + "1" + "0" * 30), (MyInt(-2), "-2")],
)
@pytest.mark.parametrize("n_queries", [10, 10**6])
def test_explicit_width_must_be_positive(batch_size, text, n_queries):
    with pytest.raises(ValueError) as info:
        _batching.resolve_batch_size(n_queries, 1, batch_size=batch_size)
    assert str(info.value) == "batch_size must be positive, got " + text


# ---------------------------------------------------------------------------
# budget precedence


@pytest.mark.parametrize(
    "max_bytes, global_bytes, expected, budget_asked",
    [
        (2000, 2500, 2000, False),
        (0, 2500, 32, False),
        (None, 2500, 2500, False),
        (None, 0, 32, False),
        (None, None, 5000, True),
        (np.int64(2000), None, 2000, False),
        (None, Index(2500), 2500, False),
    ],
)
def test_budget_precedence(monkeypatch, memory_files, max_bytes, global_bytes,
                           expected, budget_asked):
    calls = []

    def budget():
        calls.append(1)
        return 5000

    monkeypatch.setattr(_batching, "_resolve_batch_byte_budget", budget)
    monkeypatch.setattr(_batching, "MAX_SEARCH_BATCH_BYTES", global_bytes)
    assert _batching.resolve_batch_size(10000, 1, max_bytes=max_bytes) == expected
    assert bool(calls) is budget_asked
    assert memory_files.log == []


@pytest.mark.parametrize(
    "source, value, error",
    [
        ("max_bytes", 1e6, TypeError),
        ("max_bytes", "1000000", TypeError),
        ("max_bytes", 2**63, OverflowError),
        ("global", 1e6, TypeError),
        ("global", INT64_MIN - 1, OverflowError),
        ("step", 1e6, TypeError),
        ("step", None, TypeError),
        ("fallback", 2.5e8, TypeError),
        ("fallback", 2**64, OverflowError),
    ],
)
def test_budget_must_be_int64(monkeypatch, memory_files, source, value, error):
    kwargs = {}
    if source == "max_bytes":
        kwargs["max_bytes"] = value
    elif source == "global":
        monkeypatch.setattr(_batching, "MAX_SEARCH_BATCH_BYTES", value)
    elif source == "step":
        monkeypatch.setattr(_batching, "_resolve_batch_byte_budget", lambda: value)
    else:
        # No memory file: the rebound fallback becomes the budget unchanged.
        monkeypatch.setattr(_batching, "FALLBACK_SEARCH_BATCH_BYTES", value)
    with pytest.raises(error):
        _batching.resolve_batch_size(10000, 1, **kwargs)


# ---------------------------------------------------------------------------
# byte budget from available memory


@pytest.mark.parametrize(
    "available, overrides, expected",
    [
        (None, {}, 268435456),
        # the fallback is returned as it stands, without clamping
        (None, {"FALLBACK_SEARCH_BATCH_BYTES": 12345}, 12345),
        (0, {}, 67108864),
        (16777216, {}, 67108864),
        (GIB, {}, 268435456),
        (10**9 + 3, {}, 250000000),
        (64 * GIB, {}, 8589934592),
        (10**30, {}, 8589934592),
        (GIB, {"MEMORY_BUDGET_FRACTION": 0.5}, 536870912),
        (100, {"MIN_DYNAMIC_BATCH_BYTES": 10}, 25),
        # an int fraction keeps the product exact
        (2**62 + 1, {"MEMORY_BUDGET_FRACTION": 1,
                     "MAX_DYNAMIC_BATCH_BYTES": 2**63}, 2**62 + 1),
        # crossed clamps: the upper one wins
        (10**9, {"MIN_DYNAMIC_BATCH_BYTES": 1000, "MAX_DYNAMIC_BATCH_BYTES": 500}, 500),
        (0, {"MIN_DYNAMIC_BATCH_BYTES": 1000, "MAX_DYNAMIC_BATCH_BYTES": 500}, 500),
    ],
)
def test_byte_budget(monkeypatch, available, overrides, expected):
    monkeypatch.setattr(_batching, "_resolve_available_memory_bytes", lambda: available)
    for name, value in overrides.items():
        monkeypatch.setattr(_batching, name, value)
    result = _batching._resolve_batch_byte_budget()
    assert type(result) is int
    assert result == expected


def test_byte_budget_on_this_host():
    budget = _batching._resolve_batch_byte_budget()
    assert type(budget) is int
    assert budget == 268435456 or 67108864 <= budget <= 8589934592


# ---------------------------------------------------------------------------
# available memory


@pytest.mark.parametrize(
    "meminfo, expected",
    [
        ("MemTotal:       32768000 kB\nMemFree:          1000 kB\n"
         "MemAvailable:      16384 kB\nBuffers:            5 kB\n", 16777216),
        ("MemAvailable: 1 kB", 1024),
        ("MemAvailable: 0 kB\n", 0),
        ("MemAvailable: 67108864 kB\n", 64 * GIB),
        ("MemAvailable: 2 kB\nMemAvailable: 3 kB\n", 2048),
        ("MemTotal: 100 kB\nMemFree: 50 kB\n", None),
        ("", None),
        ("MemAvailable:\n", None),
        ("MemAvailable: lots kB\n", None),
        ("MemAvailable:16384 kB\n", None),
        # only the first matching line counts, even when it is malformed
        ("MemAvailable: x kB\nMemAvailable: 5 kB\n", None),
        (PermissionError(13, "Permission denied"), None),
        (OSError(5, "Input/output error"), None),
        (undecodable(), None),
    ],
)
def test_meminfo(monkeypatch, memory_files, meminfo, expected):
    monkeypatch.setattr(_batching, "_cgroup_memory_available", lambda: None)
    memory_files.set({MEMINFO: meminfo})
    assert _batching._resolve_available_memory_bytes() == expected


def test_meminfo_missing(monkeypatch, memory_files):
    monkeypatch.setattr(_batching, "_cgroup_memory_available", lambda: None)
    assert _batching._resolve_available_memory_bytes() is None


@pytest.mark.parametrize("figure", [123, 0])
def test_cgroup_figure_wins_over_meminfo(monkeypatch, memory_files, figure):
    monkeypatch.setattr(_batching, "_cgroup_memory_available", lambda: figure)
    memory_files.set({MEMINFO: "MemAvailable: 16384 kB\n"})
    assert _batching._resolve_available_memory_bytes() == figure
    assert MEMINFO not in memory_files.touched()


@pytest.mark.parametrize(
    "exc", [OSError(5, "cgroup read"), ValueError("bad cgroup"), RuntimeError("boom")]
)
def test_cgroup_errors_pass_through(monkeypatch, memory_files, exc):
    def failing():
        raise exc

    monkeypatch.setattr(_batching, "_cgroup_memory_available", failing)
    memory_files.set({MEMINFO: "MemAvailable: 16384 kB\n"})
    with pytest.raises(type(exc)) as info:
        _batching._resolve_available_memory_bytes()
    assert info.value is exc


# ---------------------------------------------------------------------------
# memory left under a cgroup limit

V1_OK = {V1_LIMIT: "2000\n", V1_USAGE: "500\n"}


@pytest.mark.parametrize(
    "files, expected",
    [
        pytest.param({V2_LIMIT: "1073741824\n", V2_USAGE: "73741824\n"}, 10**9,
                     id="v2"),
        pytest.param({V2_LIMIT: "1073741824\n", V2_USAGE: "1200000000\n"}, 0,
                     id="v2-over-limit"),
        pytest.param({V2_LIMIT: "5000", V2_USAGE: "5000"}, 0, id="v2-at-limit"),
        pytest.param({V2_LIMIT: "100000000000000000000000\n", V2_USAGE: "1\n"},
                     99999999999999999999999, id="v2-beyond-int64"),
        pytest.param({V2_LIMIT: "max\n", V2_USAGE: "123\n"}, None, id="v2-max"),
        pytest.param({V2_LIMIT: "  max \n", V2_USAGE: "123\n"}, None,
                     id="v2-max-padded"),
        pytest.param({V2_LIMIT: "max\n", V2_USAGE: "123\n", **V1_OK}, 1500,
                     id="v2-max-then-v1"),
        pytest.param({V2_LIMIT: "3000\n", V2_USAGE: "1000\n", **V1_OK}, 2000,
                     id="v2-before-v1"),
        pytest.param({V2_LIMIT: "MAX\n", V2_USAGE: "1\n", **V1_OK}, 1500,
                     id="v2-limit-malformed"),
        pytest.param({V2_LIMIT: "3000\n", V2_USAGE: "?\n", **V1_OK}, 1500,
                     id="v2-usage-malformed"),
        pytest.param({V2_LIMIT: PermissionError(13, "denied"), V2_USAGE: "1",
                      **V1_OK}, 1500, id="v2-limit-unreadable"),
        pytest.param({V2_LIMIT: "3000", V2_USAGE: OSError(5, "io"), **V1_OK}, 1500,
                     id="v2-usage-unreadable"),
        pytest.param({V2_LIMIT: undecodable(), V2_USAGE: "1", **V1_OK}, 1500,
                     id="v2-limit-undecodable"),
        pytest.param({V2_LIMIT: "3000\n", **V1_OK}, 1500, id="v2-usage-missing"),
        pytest.param({V2_USAGE: "1\n", **V1_OK}, 1500, id="v2-limit-missing"),
        pytest.param(V1_OK, 1500, id="v1"),
        pytest.param({V1_LIMIT: " 2000 \n", V1_USAGE: "2500\n"}, 0,
                     id="v1-over-limit"),
        pytest.param({V1_LIMIT: str(2**62 - 1), V1_USAGE: "0"}, 2**62 - 1,
                     id="v1-just-under-no-limit"),
        pytest.param({V1_LIMIT: str(2**62), V1_USAGE: "0"}, None,
                     id="v1-no-limit-threshold"),
        pytest.param({V1_LIMIT: "9223372036854771712\n", V1_USAGE: "4096\n"}, None,
                     id="v1-no-limit"),
        pytest.param({V1_LIMIT: "abc\n", V1_USAGE: "1\n"}, None,
                     id="v1-limit-malformed"),
        pytest.param({V1_LIMIT: "2000\n", V1_USAGE: "\n"}, None,
                     id="v1-usage-malformed"),
        pytest.param({V1_LIMIT: "2000\n", V1_USAGE: PermissionError(13, "denied")},
                     None, id="v1-usage-unreadable"),
        pytest.param({V1_LIMIT: "2000\n"}, None, id="v1-usage-missing"),
        pytest.param({MEMINFO: "MemAvailable: 16384 kB\n"}, None, id="no-cgroup"),
        pytest.param({}, None, id="no-files"),
    ],
)
def test_cgroup_memory(memory_files, files, expected):
    memory_files.set(files)
    assert _batching._cgroup_memory_available() == expected


@pytest.mark.parametrize(
    "files, not_read",
    [
        ({V2_LIMIT: "max\n", V2_USAGE: "1\n"}, V2_USAGE),
        ({V2_LIMIT: "3000\n", **V1_OK}, V2_LIMIT),
        ({V1_LIMIT: str(2**62), V1_USAGE: "1\n"}, V1_USAGE),
        ({V1_LIMIT: "2000\n"}, V1_LIMIT),
    ],
)
def test_files_left_unread(memory_files, files, not_read):
    memory_files.set(files)
    _batching._cgroup_memory_available()
    assert not_read not in memory_files.reads()


@pytest.mark.parametrize("name", [V2_LIMIT, V2_USAGE, V1_LIMIT])
def test_existence_test_errors_are_not_swallowed(memory_files, name):
    files = {V2_LIMIT: "max\n", V2_USAGE: "1\n", **V1_OK}
    files[name] = ExistsFails(PermissionError(13, "denied"))
    memory_files.set(files)
    with pytest.raises(PermissionError):
        _batching._cgroup_memory_available()


# ---------------------------------------------------------------------------
# the whole automatic path over faked files

MEMINFO_4G = {MEMINFO: "MemTotal: 8388608 kB\nMemAvailable: 4194304 kB\n"}


@pytest.mark.parametrize(
    "files, bytes_per_query",
    [
        # each per-query estimate turns only its own budget into width 4096
        pytest.param({}, 65536, id="fallback"),
        pytest.param({V2_LIMIT: "1073741824\n", V2_USAGE: "1200000000\n",
                      **MEMINFO_4G}, 16384, id="v2-over-limit"),
        pytest.param({V2_LIMIT: str(4 * GIB), V2_USAGE: "0"}, 262144, id="v2"),
        pytest.param({V2_LIMIT: "max\n", V2_USAGE: "0\n", **MEMINFO_4G}, 262144,
                     id="v2-max-meminfo"),
        pytest.param({V1_LIMIT: "9223372036854771712\n", V1_USAGE: "0\n",
                      **MEMINFO_4G}, 262144, id="v1-no-limit-meminfo"),
        pytest.param({V2_LIMIT: "junk", V2_USAGE: "0", V1_LIMIT: str(2 * GIB),
                      V1_USAGE: "0", **MEMINFO_4G}, 131072, id="v2-junk-v1"),
        pytest.param({V1_LIMIT: "junk", V1_USAGE: "0", **MEMINFO_4G}, 262144,
                     id="v1-junk-meminfo"),
        pytest.param({MEMINFO: "MemFree: 4194304 kB\n"}, 65536,
                     id="meminfo-without-available"),
    ],
)
def test_automatic_width_from_memory_files(memory_files, files, bytes_per_query):
    memory_files.set(files)
    assert _batching.resolve_batch_size(10000, bytes_per_query) == 3334


def test_memory_files_read_afresh_at_every_sizing(memory_files):
    memory_files.set({MEMINFO: "MemAvailable: 4194304 kB\n"})
    assert _batching.resolve_batch_size(100000, 2**20) == 1021
    memory_files.files[MEMINFO] = "MemAvailable: 8388608 kB\n"
    assert _batching.resolve_batch_size(100000, 2**20) == 2041
    memory_files.files[MEMINFO] = "MemAvailable: 8388608 kB\n"
    assert _batching.resolve_batch_size(100000, 2**20) == 2041
    assert memory_files.reads().count(MEMINFO) == 3

    memory_files.set({V2_LIMIT: str(8 * GIB), V2_USAGE: str(4 * GIB)})
    assert _batching.resolve_batch_size(100000, 2**20) == 1021
    memory_files.files[V2_USAGE] = "0"
    assert _batching.resolve_batch_size(100000, 2**20) == 2041
