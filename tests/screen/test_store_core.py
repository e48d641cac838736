import sqlite3
import subprocess
import sys
import threading

import numpy as np
import pytest
from screen_faults import FailingConnection, InjectedFault, dump

from tarnix_engine import _row_screen
from tarnix_engine._row_screen import RowScreen

TABLES = {"docs", "metadata", "metadata_multi", "doc_access"}
INDEXES = {
    "idx_metadata_multi_key_value",
    "idx_metadata_multi_pos_key_value",
    "idx_doc_access_role",
    "idx_doc_access_pos_role",
}


def test_new_store_has_the_empty_schema(store):
    conn = store._conn
    objects = dict(conn.execute("SELECT name, type FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'"))
    assert objects == {**{t: "table" for t in TABLES}, **{i: "index" for i in INDEXES}}
    for table in TABLES:
        assert conn.execute(f"SELECT COUNT(*) FROM {table}").fetchone() == (0,)
    assert conn.execute("PRAGMA foreign_keys").fetchone() == (0,)
    before = dump(store)
    conn.executescript(_row_screen._SCHEMA)
    assert dump(store) == before
    assert _row_screen._SCHEMA.startswith("\nCREATE TABLE IF NOT EXISTS docs") and _row_screen._SCHEMA.endswith(";\n")


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1})])
def test_constructor_takes_no_arguments(args, kwargs):
    with pytest.raises(TypeError, match="__init__"):
        RowScreen(*args, **kwargs)


def test_stores_share_nothing():
    one, two = RowScreen(), RowScreen()
    one.add(["a"])
    assert two.size == 0 and one._lock is not two._lock and one._cache is not two._cache


def test_wrappers_keep_the_method_identity():
    for name in ("add", "update", "delete", "compact", "grant", "revoke", "positions", "schema", "save"):
        member = getattr(RowScreen, name)
        assert member.__name__ == name
        assert member.__qualname__ == f"RowScreen.{name}"
        assert member.__module__ == "tarnix_engine._row_screen"
    assert RowScreen.positions.__doc__ == RowScreen.positions.__wrapped__.__doc__


def test_module_wrappers_decorate_python_methods():
    class Probe:
        def __init__(self):
            self._lock = threading.RLock()
            self._conn = sqlite3.connect(":memory:")
            self._conn.execute("CREATE TABLE t (x)")
            self._cache = {"stale": 1}

        @_row_screen._locked
        def holds(self):
            """Doc."""
            return self._lock._is_owned()

        @_row_screen._writes
        def insert(self, value, fail=False):
            self._conn.execute("INSERT INTO t VALUES (?)", (value,))
            if fail:
                raise KeyboardInterrupt

    p = Probe()
    assert p.holds() is True and not p._lock._is_owned()
    assert Probe.holds.__doc__ == "Doc." and Probe.holds.__name__ == "holds"
    p.insert(1)
    assert p._cache == {}
    p._cache["stale"] = 1
    with pytest.raises(KeyboardInterrupt):
        p.insert(2, fail=True)
    assert p._conn.execute("SELECT x FROM t").fetchall() == [(1,)]
    assert p._cache == {} and not p._lock._is_owned() and not p._conn.in_transaction


def test_locked_operations_reenter_on_one_thread(filled):
    # positions calls schema under the lock it already holds; a chain's
    # positions() calls back into the store's.
    with filled._lock:
        assert filled.where("year", ">=", 2020).positions().tolist() == [1, 2]
        filled.add(["f"])
    assert filled.size == 6


# Every public write, run on a store with a gap (b deleted) so that
# compact has rows to move.
WRITES = {
    "add": lambda s: s.add(["x", "y"], [{"year": 1, "new": "v", "tags": ["p", "q"]}, {"tags": ("r",)}]),
    "update": lambda s: s.update(["a", "d"], [{"year": 5, "fresh": 1, "tags": ["z"]}, {"tags": []}]),
    "delete": lambda s: s.delete(["c", "d"]),
    "compact": lambda s: s.compact(),
    "grant": lambda s: s.grant(["a", "e"], ["staff", "new"]),
    "revoke": lambda s: s.revoke(["a", "c"], ["staff", "admin"]),
}


@pytest.fixture
def gapped(filled):
    filled.delete(["b"])
    return filled


@pytest.mark.parametrize("name", WRITES)
def test_every_write_is_all_or_nothing(gapped, name):
    write = WRITES[name]
    real = gapped._conn
    # Count the statements of a successful run on a copy of the store.
    twin = RowScreen()
    real.backup(twin._conn)
    twin._conn = FailingConnection(twin._conn)
    write(twin)
    total = twin._conn.count
    assert total >= 3
    before = dump(gapped)
    for fail_at in range(1, total + 1):
        gapped.positions()
        gapped._conn = FailingConnection(real, fail_at)
        with pytest.raises(InjectedFault):
            write(gapped)
        gapped._conn = real
        assert dump(gapped) == before, f"statement {fail_at} of {total}"
        assert len(gapped._cache) == 0 and not real.in_transaction
    write(gapped)
    assert dump(gapped) != before


def test_interrupt_inside_a_write_rolls_back(filled, monkeypatch):
    before = dump(filled)

    def interrupted(self, positions, metas):
        raise KeyboardInterrupt

    monkeypatch.setattr(RowScreen, "_set_metadata", interrupted)
    with pytest.raises(KeyboardInterrupt):
        filled.add(["z"], [{"year": 1}])
    assert dump(filled) == before and not filled._lock._is_owned()


def test_failed_rollback_propagates_and_the_next_write_starts_clean(filled):
    real = filled._conn

    class BrokenRollback(FailingConnection):
        def rollback(self):
            raise sqlite3.OperationalError("rollback failed")

    # The statement after the insert into docs: the add is half-applied.
    broken = BrokenRollback(real, fail_at=7)
    filled._conn = broken
    filled.positions()
    with pytest.raises(sqlite3.OperationalError, match="rollback failed") as info:
        filled.add(["x", "y"], [{"year": 7}, {}])
    assert isinstance(info.value.__context__, InjectedFault)
    assert len(filled._cache) == 0
    # The half-applied add is still open on the connection; the next write
    # must not commit it.
    assert real.in_transaction
    filled._conn = real
    filled.grant(["a"], ["new"])
    assert "x" not in filled.ids and filled.size == 5
    assert filled.filter_by_roles(["new"]).tolist() == [0]


def test_successful_write_empties_the_cache(filled):
    first = filled.positions()
    filled.revoke([], [])
    assert len(filled._cache) == 0
    assert filled.positions() is not first
    assert np.array_equal(first, filled.positions())


def test_a_write_and_positions_from_two_threads_never_interleave(store):
    # add writes each document's metadata in a statement of its own, so a
    # reader that slipped in between would count part of a batch.
    store.add(["seed"], [{"k": 0}])
    ids = [f"n{i}" for i in range(400)]
    seen = []
    errors = []

    def writer():
        try:
            for i in range(0, 400, 40):
                store.add(ids[i : i + 40], [{"k": 1}] * 40)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    def reader():
        try:
            for _ in range(200):
                seen.append(len(store.positions("k = 1")))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=writer), threading.Thread(target=reader)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert all(n % 40 == 0 for n in seen)
    assert len(store.positions("k = 1")) == 400


# Stores collected in every way a program drops them: by reference count,
# by the cycle collector, after a failed load, and at exit.
_DROPPED_STORES = """
import gc, sys
from tarnix_engine._row_screen import RowScreen

s = RowScreen()
s.add(["a"], [{"k": 1}])
s.positions("k = 1")
s.save(sys.argv[1])
loaded = RowScreen.load(sys.argv[1])
loaded.schema()
del s, loaded
cycle = RowScreen()
cycle.me = cycle
del cycle
gc.collect()
with open(sys.argv[1] + "/filter.db", "wb") as damaged:
    damaged.write(b"x" * 4096)
try:
    RowScreen.load(sys.argv[1])
except Exception:
    pass
gc.collect()
kept = RowScreen()._conn  # a connection its caller kept is left open
kept.execute("SELECT 1")
kept.close()
at_exit = RowScreen()
at_exit.add(["b"])
print("done")
"""


def test_collected_stores_leave_no_unclosed_database(tmp_path):
    done = subprocess.run(
        [sys.executable, "-X", "dev", "-W", "error::ResourceWarning", "-c", _DROPPED_STORES, str(tmp_path)],
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == 0 and done.stdout == "done\n", done.stderr
    assert "ResourceWarning" not in done.stderr and "Exception ignored" not in done.stderr, done.stderr
