import json
import os
import sqlite3
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from tarnix_engine import _row_screen
from tarnix_engine._row_screen import RowScreen

QUESTIONS = [
    (None, None),
    (None, ["staff"]),
    ("year >= 2020", ["staff", "admin"]),
    ({"tags": "db"}, None),
    ("lang = 'en' AND 'ml' IN tags", ["admin"]),
]


def contents(store):
    conn = store._conn
    return {
        "ids": store.ids,
        "columns": [r[1] for r in conn.execute("PRAGMA table_info(metadata)")],
        "metadata": conn.execute("SELECT * FROM metadata ORDER BY position").fetchall(),
        "multi": sorted(conn.execute("SELECT * FROM metadata_multi").fetchall()),
        "grants": sorted(conn.execute("SELECT * FROM doc_access").fetchall()),
        "answers": [store.positions(f, r).tolist() for f, r in QUESTIONS],
    }


def test_save_and_load_round_trip(filled, tmp_path):
    folder = tmp_path / "a" / "b" / "filter"
    assert filled.save(str(folder)) is None
    assert sorted(os.listdir(folder)) == ["config.json", "filter.db"]
    assert json.loads((folder / "config.json").read_text()) == {"index_type": "row_screen"}
    loaded = RowScreen.load(str(folder))
    assert type(loaded) is RowScreen and len(loaded._cache) == 0
    assert contents(loaded) == contents(filled)
    loaded.add(["f"], [{"year": 1}])
    assert filled.size == 5 and RowScreen.load(str(folder)).size == 5


def test_saving_again_keeps_only_the_second_state(filled, tmp_path):
    filled.save(str(tmp_path))
    filled.delete(["a"])
    filled.update(["b"], [{"colour": "red"}])
    filled.save(str(tmp_path))
    assert contents(RowScreen.load(str(tmp_path))) == contents(filled)
    assert sorted(os.listdir(tmp_path)) == ["config.json", "filter.db"]


def test_gaps_are_saved_and_compaction_state_is_not(filled, tmp_path):
    filled.delete(["b"])
    filled.save(str(tmp_path / "gap"))
    filled.compact()
    filled.save(str(tmp_path / "compacted"))
    with sqlite3.connect(tmp_path / "compacted" / "filter.db") as conn:
        assert "_remap" not in {r[0] for r in conn.execute("SELECT name FROM sqlite_master")}
    conn.close()
    gap = RowScreen.load(str(tmp_path / "gap"))
    assert gap.positions().tolist() == [0, 2, 3, 4]
    gap.compact()
    assert gap.positions().tolist() == [0, 1, 2, 3]
    assert contents(gap) == contents(filled)


@pytest.mark.parametrize("config", [None, '{"index_type": "tarnix"}'])
def test_load_does_not_read_the_config(filled, tmp_path, config):
    filled.save(str(tmp_path))
    if config is None:
        (tmp_path / "config.json").unlink()
    else:
        (tmp_path / "config.json").write_text(config)
    assert RowScreen.load(str(tmp_path)).ids == filled.ids


def test_load_on_a_subclass_skips_its_constructor(filled, tmp_path):
    class Sub(RowScreen):
        def __init__(self):
            raise AssertionError("constructor run")

    filled.save(str(tmp_path))
    loaded = Sub.load(str(tmp_path))
    assert type(loaded) is Sub and loaded.ids == filled.ids


@pytest.mark.parametrize("call", [lambda s, p: s.save(p), lambda s, p: RowScreen.load(p)])
@pytest.mark.parametrize("wrap", [Path, lambda p: p.encode(), type("S", (str,), {})])
def test_folder_path_must_be_a_str(filled, tmp_path, call, wrap):
    target = tmp_path / "x"
    with pytest.raises(TypeError, match="directory"):
        call(filled, wrap(str(target)))
    assert not target.exists()


def test_save_into_a_file_path_fails(filled, tmp_path):
    (tmp_path / "f").write_text("")
    with pytest.raises(OSError):
        filled.save(str(tmp_path / "f"))


@pytest.mark.parametrize("make_folder", [True, False])
def test_load_without_filter_db_raises_and_creates_nothing(tmp_path, make_folder):
    folder = tmp_path / "gone"
    if make_folder:
        folder.mkdir()
    with pytest.raises(FileNotFoundError):
        RowScreen.load(str(folder))
    assert not (folder / "filter.db").exists()
    assert not folder.exists() or os.listdir(folder) == []


def test_load_of_a_file_that_is_no_database(tmp_path):
    (tmp_path / "filter.db").write_bytes(b"not a database at all" * 100)
    with pytest.raises(sqlite3.DatabaseError):
        RowScreen.load(str(tmp_path))


def test_load_of_an_empty_file_reports_it(tmp_path):
    # An empty file is an empty database to SQLite: a store without tables
    # whose first operation would fail far from the cause.
    (tmp_path / "filter.db").write_bytes(b"")
    with pytest.raises(ValueError, match="lacks"):
        RowScreen.load(str(tmp_path))


def test_load_of_a_folder_named_filter_db(tmp_path):
    (tmp_path / "filter.db").mkdir()
    with pytest.raises(ValueError, match="filter.db"):
        RowScreen.load(str(tmp_path))


# Each a change a crafted filter.db could carry, all of which a plain copy
# would run or obey: a view or trigger acting for our tables, tables of
# their own, metadata columns whose names reach statement text.
CRAFTED = {
    "view as doc_access": [
        "DROP TABLE doc_access",
        "CREATE VIEW doc_access (position, role) AS SELECT d.position, r.role FROM docs d, "
        "(SELECT 'staff' AS role UNION SELECT 'admin') r",
    ],
    "trigger on docs": [
        "CREATE TRIGGER grant_all AFTER INSERT ON docs BEGIN "
        "INSERT INTO doc_access VALUES (NEW.position, 'staff'); END",
    ],
    "other table": ["CREATE TABLE notes (x)"],
    "view": ["CREATE VIEW everything AS SELECT * FROM docs"],
    "statistics": ["ANALYZE"],
    "column no identifier": ['ALTER TABLE metadata ADD COLUMN "year = 0, lang"'],
    "typed column": ["ALTER TABLE metadata ADD COLUMN rank INTEGER DEFAULT 5"],
    "generated column": ["ALTER TABLE metadata ADD COLUMN twice AS (position * 2)"],
    "grants without unique pairs": ["DROP INDEX idx_doc_access_pos_role"],
    "table defined otherwise": [
        "DROP TABLE doc_access",
        "CREATE TABLE doc_access (position INTEGER, role TEXT, extra)",
        "CREATE INDEX idx_doc_access_role ON doc_access(role)",
        "CREATE UNIQUE INDEX idx_doc_access_pos_role ON doc_access(position, role)",
    ],
    "index over other columns": [
        "DROP INDEX idx_doc_access_role",
        "CREATE INDEX idx_doc_access_role ON doc_access(position)",
    ],
}


@pytest.mark.parametrize("attack", CRAFTED)
def test_load_refuses_a_crafted_database(filled, tmp_path, attack):
    filled.save(str(tmp_path))
    path = tmp_path / "filter.db"
    conn = sqlite3.connect(path)
    for statement in CRAFTED[attack]:
        conn.execute(statement)
    conn.commit()
    conn.close()
    with pytest.raises(ValueError) as info:
        RowScreen.load(str(tmp_path))
    assert repr(str(path)) in str(info.value)


@pytest.mark.parametrize(
    "table, row",
    [
        ("doc_access", "(position, role) VALUES (5, 'staff')"),
        ("doc_access", "(position, role) VALUES ('x', 'staff')"),
        ("metadata", "(position, year) VALUES (5, 2020)"),
        ("metadata_multi", "(position, key, value) VALUES (7, 'tags', 'ml')"),
    ],
)
def test_load_refuses_rows_for_positions_no_document_holds(filled, tmp_path, table, row):
    # Nothing enforces the references to docs: such a row would be inherited
    # by the document a later add puts at that position.
    filled.save(str(tmp_path))
    path = tmp_path / "filter.db"
    conn = sqlite3.connect(path)
    conn.execute(f"INSERT INTO {table} {row}")
    conn.commit()
    conn.close()
    with pytest.raises(ValueError) as info:
        RowScreen.load(str(tmp_path))
    assert str(info.value).startswith(f"{str(path)!r} is not a saved filter store: it holds rows in {table}")


def test_load_accepts_the_gaps_a_delete_leaves(filled, tmp_path):
    filled.delete(["b", "e"])
    filled.save(str(tmp_path))
    loaded = RowScreen.load(str(tmp_path))
    loaded.add(["z"])
    assert loaded.filter_by_roles(["staff", "admin"]).tolist() == [0, 2, 3]


def test_load_accepts_the_columns_a_store_adds(store, tmp_path):
    store.add(["a"], [{"year": 1, "_x2": "v", "Status": None}])
    store.save(str(tmp_path))
    assert RowScreen.load(str(tmp_path)).schema()[0] == {"year", "_x2", "Status"}


class _BackupFailsMidway:
    """A connection whose backup copies one page and then fails."""

    def __init__(self, real):
        self._real = real

    def backup(self, target, **kwargs):
        self._real.backup(target, pages=1)
        raise sqlite3.OperationalError("disk full")

    def __getattr__(self, name):
        return getattr(self._real, name)


def test_a_save_failing_mid_copy_keeps_the_old_file(filled, tmp_path):
    filled.save(str(tmp_path))
    old = contents(RowScreen.load(str(tmp_path)))
    filled.add([f"n{i}" for i in range(2000)], [{"text": "x" * 200}] * 2000)
    real = filled._conn
    filled._conn = _BackupFailsMidway(real)
    with pytest.raises(sqlite3.OperationalError, match="disk full"):
        filled.save(str(tmp_path))
    filled._conn = real
    assert contents(RowScreen.load(str(tmp_path))) == old
    assert sorted(os.listdir(tmp_path)) == ["config.json", "filter.db"]


# A save killed while it copies: the process ends after the first page.
_KILLED_SAVE = """
import os, sys
from tarnix_engine._row_screen import RowScreen

class Killed:
    def __init__(self, real):
        self._real = real
    def backup(self, target, **kwargs):
        self._real.backup(target, pages=1)
        os._exit(9)
    def __getattr__(self, name):
        return getattr(self._real, name)

store = RowScreen()
store.add([f"k{i}" for i in range(2000)], [{"text": "x" * 200}] * 2000)
store._conn = Killed(store._conn)
store.save(sys.argv[1])
"""


def test_killed_saves_leave_one_temporary_file_that_the_next_save_removes(filled, tmp_path):
    filled.save(str(tmp_path))
    old = contents(RowScreen.load(str(tmp_path)))
    for _ in range(3):
        done = subprocess.run([sys.executable, "-c", _KILLED_SAVE, str(tmp_path)], check=False)
        assert done.returncode == 9
    left = sorted(os.listdir(tmp_path))
    assert left in (
        [".filter.db.tmp", "config.json", "filter.db"],
        [".filter.db.tmp", ".filter.db.tmp-journal", "config.json", "filter.db"],
    )
    assert contents(RowScreen.load(str(tmp_path))) == old
    filled.add(["z"])
    filled.save(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == ["config.json", "filter.db"]
    assert contents(RowScreen.load(str(tmp_path))) == contents(filled)


def test_a_save_removes_what_saves_of_ended_processes_left_under_names_of_their_own(filled, tmp_path):
    # Saves once named their file after their process and thread; one whose
    # process has ended was killed. A pid past any pid_max has ended.
    ended = [".filter.db.999999999.7.tmp", ".filter.db.999999999.7.tmp-journal"]
    running = [f".filter.db.{os.getppid()}.7.tmp", ".filter.db.notapid.tmp", "notes.txt"]
    for name in ended + running:
        (tmp_path / name).write_bytes(b"x")
    filled.save(str(tmp_path))
    assert sorted(os.listdir(tmp_path)) == sorted(["config.json", "filter.db", *running])


def test_stores_saving_into_one_folder_at_once_each_save_whole(tmp_path):
    stores = []
    for name in "ab":
        store = RowScreen()
        store.add([f"{name}{i}" for i in range(300)], [{"text": name * 300}] * 300)
        stores.append(store)
    errors = []

    def saver(store):
        try:
            for _ in range(15):
                store.save(str(tmp_path))
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    threads = [threading.Thread(target=saver, args=(s,)) for s in stores]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert sorted(os.listdir(tmp_path)) == ["config.json", "filter.db"]
    assert RowScreen.load(str(tmp_path)).ids in (stores[0].ids, stores[1].ids)


def test_a_failing_config_write_leaves_the_database_alone(filled, tmp_path, monkeypatch):
    filled.save(str(tmp_path))
    before = (tmp_path / "filter.db").read_bytes()
    filled.add(["z"])

    def broken(path, mapping):
        raise OSError("read-only file system")

    monkeypatch.setattr(_row_screen, "write_config", broken)
    with pytest.raises(OSError, match="read-only"):
        filled.save(str(tmp_path))
    assert (tmp_path / "filter.db").read_bytes() == before


class _Tracked(sqlite3.Connection):
    opened = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.closed = False
        _Tracked.opened.append(self)

    def close(self):
        self.closed = True
        super().close()


class _TrackingSqlite:
    """The sqlite3 module, with every connection to a file tracked."""

    def connect(self, database, *args, **kwargs):
        if database == ":memory:":
            return sqlite3.connect(database, *args, **kwargs)
        return sqlite3.connect(database, *args, factory=_Tracked, **kwargs)

    def __getattr__(self, name):
        return getattr(sqlite3, name)


@pytest.mark.parametrize("fails", [False, True])
def test_files_opened_for_save_and_load_are_closed(filled, tmp_path, monkeypatch, fails):
    monkeypatch.setattr(_row_screen, "sqlite3", _TrackingSqlite())
    _Tracked.opened.clear()
    if fails:
        real = filled._conn
        filled._conn = _BackupFailsMidway(real)
        with pytest.raises(sqlite3.OperationalError):
            filled.save(str(tmp_path / "s"))
        filled._conn = real
        (tmp_path / "l").mkdir()
        (tmp_path / "l" / "filter.db").write_bytes(b"x" * 4096)
        with pytest.raises(sqlite3.DatabaseError):
            RowScreen.load(str(tmp_path / "l"))
    else:
        filled.save(str(tmp_path / "s"))
        RowScreen.load(str(tmp_path / "s"))
    assert len(_Tracked.opened) == 2
    assert all(c.closed for c in _Tracked.opened)
