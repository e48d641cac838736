"""Random filters within the accepted grammar, written as text, as a dict and
as a chain, all select the same documents in a real store database, and
those are the documents a plain-Python reading of the filter picks."""

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import sqlite_model as model
from sqlite_model import Store
from tarnix_engine._attr_sieve import AttrSieve
from tarnix_engine._clause_builder import compile_filter

ROWS = [
    {"id": "a", "scalars": {"color": "red", "price": 5}, "multi": {"tags": ["ml", "db"]}},
    {"id": "b", "scalars": {"color": "blue", "price": 12}, "multi": {"tags": ["ml"]}},
    {"id": "c", "scalars": {"color": "Red", "price": None}, "multi": {"tags": ["AI", "db"]}},
    {"id": "d", "scalars": {"color": None, "price": -3}},
    {"id": "e", "scalars": {"color": 7, "price": "12"}, "multi": {"tags": ["r%"]}},
    {"id": "f", "scalars": {"color": "", "price": 0}, "multi": {"tags": [""]}},
    {"id": "it's", "scalars": {"color": "re", "price": 40}, "multi": {"tags": ["db", "ml", "x"]}},
]
STORE = Store(ROWS, ["color", "price"])
SCHEMA = ({"color", "price"}, {"tags"})

texts = st.sampled_from(["red", "Red", "re", "blue", "", "it's", "a", "ml", "db", "AI", "x"])
numbers = st.integers(-5, 45)
values = st.one_of(texts, numbers)
patterns = st.sampled_from(["r%", "%e%", "_ed", "R%", "%", "", "%1%", "it_s", "m_"])
scalar_columns = st.sampled_from(["color", "price", "id", "position", "PRICE"])
comparisons = st.sampled_from(["=", "!=", ">", ">=", "<", "<="])

leaves = st.one_of(
    st.tuples(st.just("cmp"), scalar_columns, comparisons, values, st.booleans()),
    st.tuples(st.just("in"), scalar_columns, st.lists(values, min_size=1, max_size=3)),
    st.tuples(st.just("between"), scalar_columns, values, values),
    st.tuples(st.just("like"), scalar_columns, patterns),
    st.tuples(st.just("null"), scalar_columns),
    st.tuples(st.just("any"), st.sampled_from(["=", "!="]), texts, st.booleans()),
    st.tuples(st.just("any_in"), st.lists(texts, min_size=1, max_size=3)),
    st.tuples(st.just("any_like"), patterns),
)
filters = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.tuples(st.just("and"), inner, inner), st.tuples(st.just("or"), inner, inner), st.tuples(st.just("not"), inner)
    ),
    max_leaves=6,
)

FLIP = {"=": "=", "!=": "!=", ">": "<", ">=": "<=", "<": ">", "<=": ">="}
DICT_OPS = {"=": "$eq", "!=": "$ne", ">": "$gt", ">=": "$gte", "<": "$lt", "<=": "$lte"}


def lit(v):
    return str(v) if isinstance(v, int) else "'" + v.replace("'", "''") + "'"


def as_text(f):
    kind = f[0]
    if kind == "cmp":
        _, col, op, v, flip = f
        return f"{lit(v)} {FLIP[op]} {col}" if flip else f"{col} {op} {lit(v)}"
    if kind == "in":
        return f"{f[1]} IN ({', '.join(map(lit, f[2]))})"
    if kind == "between":
        return f"{f[1]} BETWEEN {lit(f[2])} AND {lit(f[3])}"
    if kind == "like":
        return f"{f[1]} LIKE {lit(f[2])}"
    if kind == "null":
        return f"{f[1]} IS NULL"
    if kind == "any":
        _, op, v, bare = f
        return f"{lit(v)} IN tags" if bare and op == "=" else f"tags {op} {lit(v)}"
    if kind == "any_in":
        return f"tags IN ({', '.join(map(lit, f[1]))})"
    if kind == "any_like":
        return f"tags LIKE {lit(f[1])}"
    if kind == "not":
        return f"NOT ({as_text(f[1])})"
    return f"({as_text(f[1])}) {kind.upper()} ({as_text(f[2])})"


def as_dict(f):
    kind = f[0]
    if kind == "cmp":
        return {f[1]: {DICT_OPS[f[2]]: f[3]}}
    if kind == "in":
        return {f[1]: {"$in": f[2]}}
    if kind == "between":
        return {"$and": [{f[1]: {"$gte": f[2]}}, {f[1]: {"$lte": f[3]}}]}
    if kind == "like":
        return {f[1]: {"$like": f[2]}}
    if kind == "null":
        return {f[1]: {"$exists": False}}
    if kind == "any":
        return {"tags": {"$contains" if f[1] == "=" else "$ne": f[2]}}
    if kind == "any_in":
        return {"tags": {"$in": f[1]}}
    if kind == "any_like":
        return {"tags": {"$like": f[1]}}
    if kind == "not":
        return {"$not": as_dict(f[1])}
    return {"$" + kind: [as_dict(f[1]), as_dict(f[2])]}


def as_chain(f):
    kind, s = f[0], AttrSieve()
    if kind == "cmp":
        return s.where(f[1], f[2], f[3])
    if kind == "in":
        return s.where(f[1], "IN", f[2])
    if kind == "between":
        return s.where_between(f[1], f[2], f[3])
    if kind == "like":
        return s.where_like(f[1], f[2])
    if kind == "null":
        return s.where_null(f[1])
    if kind == "any":
        return s.where_any("tags", f[1], f[2])
    if kind == "any_in":
        return s.where_any("tags", "IN", f[1])
    if kind == "any_like":
        return s.where_any_like("tags", f[1])
    if kind == "not":
        return ~as_chain(f[1])
    return as_chain(f[1]) & as_chain(f[2]) if kind == "and" else as_chain(f[1]) | as_chain(f[2])


def meaning(f, position, row):
    """SQL's three-valued reading of the filter for one document."""
    kind = f[0]
    if kind in ("and", "or"):
        join = model._and if kind == "and" else model._or
        return join(meaning(f[1], position, row), meaning(f[2], position, row))
    if kind == "not":
        return model._not(meaning(f[1], position, row))
    if kind.startswith("any"):  # true when any of the document's values matches
        op, vals = {"any": lambda: (f[1], (f[2],)), "any_in": lambda: ("IN", tuple(f[1])),
                    "any_like": lambda: ("LIKE", (f[1],))}[kind]()
        return any(model._predicate(v, op, vals) is True for v in row.get("multi", {}).get("tags", []))
    col = f[1].lower()
    value = row["id"] if col == "id" else position if col == "position" else row["scalars"].get(col)
    op, vals = {
        "cmp": lambda: (f[2], (f[3],)),
        "in": lambda: ("IN", tuple(f[2])),
        "between": lambda: ("BETWEEN", (f[2], f[3])),
        "like": lambda: ("LIKE", (f[2],)),
        "null": lambda: ("IS NULL", ()),
    }[kind]()
    return model._predicate(value, op, vals)


def run(sieve):
    return STORE.run(*sieve.to_sql())


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(filters)
def test_text_dict_and_chain_select_what_the_filter_means(f):
    expected = [p for p, row in enumerate(ROWS) if meaning(f, p, row) is True]
    assert run(compile_filter(as_text(f), *SCHEMA)) == expected, as_text(f)
    assert run(compile_filter(as_dict(f), *SCHEMA)) == expected, as_dict(f)
    assert run(as_chain(f)) == expected
