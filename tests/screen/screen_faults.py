"""Helpers of the store tests: a dump of the database and a connection that
fails on demand."""

import sqlite3


def dump(store):
    """Everything the store's main database holds: schema and every row."""
    conn = store._conn
    if isinstance(conn, FailingConnection):
        conn = conn._real
    schema = conn.execute("SELECT type, name, sql FROM sqlite_master ORDER BY name").fetchall()
    rows = {}
    for (table,) in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"):
        rows[table] = sorted(conn.execute(f"SELECT * FROM {table}").fetchall(), key=repr)
    temp = conn.execute("SELECT name FROM sqlite_temp_master WHERE type = 'table'").fetchall()
    remap = conn.execute("SELECT * FROM _remap").fetchall() if temp else []
    return schema, rows, remap


class InjectedFault(sqlite3.OperationalError):
    pass


class FailingConnection:
    """Stands in for a store's connection and fails its Nth statement.

    Every execute and executemany, on the connection or on a cursor it made,
    and every commit counts as one statement; `fail_at=None` only counts.
    """

    def __init__(self, real, fail_at=None, error=InjectedFault):
        self._real = real
        self.fail_at = fail_at
        self.error = error
        self.count = 0

    def _tick(self):
        self.count += 1
        if self.fail_at is not None and self.count == self.fail_at:
            raise self.error(f"injected failure at statement {self.count}")

    def execute(self, *args):
        self._tick()
        return self._real.execute(*args)

    def executemany(self, *args):
        self._tick()
        return self._real.executemany(*args)

    def executescript(self, *args):
        self._tick()
        return self._real.executescript(*args)

    def cursor(self):
        return _FailingCursor(self, self._real.cursor())

    def commit(self):
        self._tick()
        return self._real.commit()

    def rollback(self):
        return self._real.rollback()

    def __getattr__(self, name):
        return getattr(self._real, name)


class _FailingCursor:
    def __init__(self, owner, real):
        self._owner = owner
        self._real = real

    def execute(self, *args):
        self._owner._tick()
        self._real.execute(*args)
        return self

    def executemany(self, *args):
        self._owner._tick()
        self._real.executemany(*args)
        return self

    def __getattr__(self, name):
        return getattr(self._real, name)
