"""A small store database and a plain-Python evaluation of condition trees.

The database has the store's tables; `run` frames a filter's SQL exactly as
the store's position query does. `evaluate` computes what a tree means over
one row with SQL's three-valued logic (None is unknown), so a test can check
that the rendered SQL selects the same documents.
"""

import re
import sqlite3

from tarnix_engine import _attr_sieve as sieve

SCHEMA = """
CREATE TABLE IF NOT EXISTS docs (position INTEGER PRIMARY KEY, id TEXT UNIQUE NOT NULL);
CREATE TABLE IF NOT EXISTS metadata (position INTEGER PRIMARY KEY REFERENCES docs(position));
CREATE TABLE IF NOT EXISTS metadata_multi (
    position INTEGER NOT NULL REFERENCES docs(position),
    key TEXT NOT NULL,
    value TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS idx_metadata_multi_key_value ON metadata_multi(key, value);
CREATE UNIQUE INDEX IF NOT EXISTS idx_metadata_multi_pos_key_value ON metadata_multi(position, key, value);
CREATE TABLE IF NOT EXISTS doc_access (position INTEGER NOT NULL REFERENCES docs(position), role TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS idx_doc_access_role ON doc_access(role);
CREATE UNIQUE INDEX IF NOT EXISTS idx_doc_access_pos_role ON doc_access(position, role);
"""

FRAME = "SELECT m.position FROM metadata m JOIN docs d ON d.position = m.position"


class Store:
    """rows: dicts with "id", "scalars" ({column: value}), "multi" ({key: [texts]}), "roles"."""

    def __init__(self, rows, columns):
        self.rows = rows
        self.conn = sqlite3.connect(":memory:")
        self.conn.executescript(SCHEMA)
        for column in columns:
            self.conn.execute(f"ALTER TABLE metadata ADD COLUMN {column}")
        for position, row in enumerate(rows):
            self.conn.execute("INSERT INTO docs VALUES (?, ?)", (position, row["id"]))
            names = ["position", *row["scalars"]]
            marks = ",".join("?" * len(names))
            self.conn.execute(
                f"INSERT INTO metadata ({','.join(names)}) VALUES ({marks})", [position, *row["scalars"].values()]
            )
            for key, values in row.get("multi", {}).items():
                for value in values:
                    self.conn.execute("INSERT OR IGNORE INTO metadata_multi VALUES (?, ?, ?)", (position, key, value))
            for role in row.get("roles", ()):
                self.conn.execute("INSERT INTO doc_access VALUES (?, ?)", (position, role))

    def run(self, sql, params, roles=None):
        """Positions the store's query selects for a filter's (sql, params)."""
        text = f"{FRAME} WHERE {sql}"
        params = list(params)
        if roles is not None:
            text += f" AND m.position IN (SELECT position FROM doc_access WHERE role IN ({','.join('?' * len(roles))}))"
            params += roles
        return [p for (p,) in self.conn.execute(text + " ORDER BY m.position", params)]

    def expected(self, node):
        return [p for p, row in enumerate(self.rows) if evaluate(node, p, row) is True]


# --- SQLite's comparison of values with no column affinity ------------------


def _rank(v):
    return 1 if isinstance(v, (int, float)) else 2  # numbers sort before text


def _compare(a, b, op):
    if a is None or b is None:
        return None
    c = (_rank(a) > _rank(b)) - (_rank(a) < _rank(b)) or (a > b) - (a < b)
    return {"=": c == 0, "!=": c != 0, "<": c < 0, "<=": c <= 0, ">": c > 0, ">=": c >= 0}[op]


def _and(*xs):
    if any(x is False for x in xs):
        return False
    return None if any(x is None for x in xs) else True


def _or(*xs):
    if any(x is True for x in xs):
        return True
    return None if any(x is None for x in xs) else False


def _not(x):
    return None if x is None else not x


def _like(value, pattern):
    if value is None or pattern is None:
        return None
    regex = "".join(".*" if ch == "%" else "." if ch == "_" else re.escape(ch) for ch in pattern)
    return re.fullmatch(regex, str(value), re.IGNORECASE | re.ASCII | re.DOTALL) is not None


def _predicate(value, op, values):
    if op == "IN":
        hits = [_compare(value, v, "=") for v in values]
        return _or(*hits)
    if op == "BETWEEN":
        low, high = values
        return _and(_compare(value, low, ">="), _compare(value, high, "<="))
    if op == "IS NULL":
        return value is None
    if op == "LIKE":
        return _like(value, values[0])
    return _compare(value, values[0], op)


def evaluate(node, position, row):
    """What `node` means for the document at `position`: True, False or None."""
    if isinstance(node, sieve._Condition):
        if node.multi:
            found = row.get("multi", {}).get(node.column, [])
            return any(_predicate(v, node.op, node.values) is True for v in found)
        name = node.column.lower()
        if name == "id":
            value = row["id"]
        elif name == "position":
            value = position
        else:
            value = {k.lower(): v for k, v in row["scalars"].items()}.get(name)
        return _predicate(value, node.op, node.values)
    if isinstance(node, sieve._Constant):
        return _compare(node.left, node.right, node.op)
    if isinstance(node, sieve._And):
        return _and(*(evaluate(p, position, row) for p in node.parts))
    if isinstance(node, sieve._Or):
        return _or(*(evaluate(p, position, row) for p in node.parts))
    if isinstance(node, sieve._Not):
        return _not(evaluate(node.part, position, row))
    raise TypeError(f"unknown node {node!r}")
