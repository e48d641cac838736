"""The rendered SQL, run inside the store's query, selects exactly the
documents a plain-Python evaluation of the same tree selects, NULLs included."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from sqlite_model import Store
from tarnix_engine._attr_sieve import AttrSieve, and_, condition, constant, not_, or_

ROWS = [
    {"id": "d0", "scalars": {"a": 3, "b": "x", "Year": 2020}, "multi": {"tags": ["ml", "db"]}, "roles": ["r1"]},
    {"id": "d1", "scalars": {"a": None, "b": "Xy", "Year": 2019}, "multi": {"tags": ["ML"]}, "roles": ["r2"]},
    {"id": "d2", "scalars": {"a": "x", "b": None, "Year": None}, "multi": {}, "roles": ["r1", "r2"]},
    {"id": "d3", "scalars": {"a": -1, "b": "a_b", "Year": 2021}, "multi": {"tags": ["x", "a%"]}, "roles": []},
    {"id": "d4", "scalars": {"a": 0, "b": "", "Year": 2020}, "multi": {"tags": ["db"], "lang": ["en"]}, "roles": ["r3"]},
    {"id": "D5", "scalars": {"a": 5, "b": "xy", "Year": 1999}, "multi": {"lang": ["de", "en"]}, "roles": ["r1"]},
    {"id": "d6", "scalars": {"a": None, "b": None, "Year": None}, "multi": {}, "roles": ["r2"]},
]
STORE = Store(ROWS, ["a", "b", "Year"])

# Columns and the values each may be compared with. Columns without a
# declared type compare values as given; the builtin and multi-valued
# columns have an affinity, so they are compared with values of their type.
mixed = st.one_of(st.integers(-2, 6), st.sampled_from(["x", "Xy", "a_b", "", "db"]), st.none())
texts = st.sampled_from(["x", "xy", "ml", "ML", "db", "en", "de", "a%", "d0", "D5", "d3"])
COLUMNS = {
    "a": mixed, "A": mixed, "b": mixed, "Year": st.one_of(st.integers(1998, 2022), st.none()),
    "id": texts, "ID": texts, "position": st.integers(-1, 7), "Position": st.integers(-1, 7),
}
patterns = st.sampled_from(["x%", "%y", "_", "%", "X_", "a\\_b", "a_b", "%d%", "ML", "%e%", "1", "2%"])
COMPARISONS = ["=", "!=", "<", "<=", ">", ">="]


@st.composite
def scalar_leaf(draw):
    column = draw(st.sampled_from(sorted(COLUMNS)))
    values = COLUMNS[column]
    shape = draw(st.sampled_from(["cmp", "in", "like", "between", "null"]))
    if shape == "cmp":
        return condition(column, draw(st.sampled_from(COMPARISONS)), [draw(values)])
    if shape == "in":
        return condition(column, "IN", draw(st.lists(values, min_size=1, max_size=3)))
    if shape == "like":
        return condition(column, "LIKE", [draw(patterns)])
    if shape == "between":
        return condition(column, "BETWEEN", (draw(values), draw(values)))
    return condition(column, "IS NULL", ())


@st.composite
def multi_leaf(draw):
    key = draw(st.sampled_from(["tags", "lang", "missing", "id"]))
    op = draw(st.sampled_from([*COMPARISONS, "IN", "LIKE"]))
    if op == "IN":
        values = draw(st.lists(texts, min_size=1, max_size=3))
    else:
        values = [draw(patterns if op == "LIKE" else texts)]
    return condition(key, op, values, multi=True)


leaves = st.one_of(
    scalar_leaf(),
    multi_leaf(),
    st.builds(constant, mixed, st.sampled_from(COMPARISONS), mixed),
)
trees = st.recursive(
    leaves,
    lambda kids: st.one_of(
        st.lists(kids, min_size=2, max_size=3).map(and_),
        st.lists(kids, min_size=2, max_size=3).map(or_),
        kids.map(not_),
    ),
    max_leaves=8,
)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(trees)
def test_tree_sql_selects_what_the_tree_means(tree):
    sql, params = AttrSieve(None, tree).to_sql()
    assert sql.count("?") == len(params)
    assert STORE.run(sql, params) == STORE.expected(tree)


# The chain builds the same trees through its own methods and operators.
chain_leaves = st.one_of(
    st.builds(lambda c, op, v: AttrSieve().where(c, op, v), st.sampled_from(["a", "b", "Year"]),
              st.sampled_from(COMPARISONS), mixed),
    st.builds(lambda vs: AttrSieve().where("a", "IN", vs), st.lists(mixed, min_size=1, max_size=3)),
    st.builds(lambda op, v: AttrSieve().where_any("tags", op, v), st.sampled_from(COMPARISONS), texts),
    st.builds(lambda p: AttrSieve().where_like("b", p), patterns),
    st.builds(lambda p: AttrSieve().where_any_like("lang", p), patterns),
    st.builds(lambda lo, hi: AttrSieve().where_between("Year", lo, hi), COLUMNS["Year"], COLUMNS["Year"]),
    st.builds(lambda c: AttrSieve().where_null(c), st.sampled_from(["a", "b", "Year"])),
)
chains = st.recursive(
    chain_leaves,
    lambda kids: st.one_of(
        st.tuples(kids, kids).map(lambda fg: fg[0] & fg[1]),
        st.tuples(kids, kids).map(lambda fg: fg[0] | fg[1]),
        kids.map(lambda f: ~f),
        st.tuples(kids, st.sampled_from(["a", "b"])).map(lambda fc: fc[0].where_null(fc[1])),
    ),
    max_leaves=6,
)


@settings(max_examples=200, deadline=None)
@given(chains)
def test_chain_sql_selects_what_the_chain_means(chain):
    sql, params = chain.to_sql()
    assert STORE.run(sql, params) == STORE.expected(chain._node)


@pytest.mark.parametrize(
    "chain, expected",
    [
        (AttrSieve(), [0, 1, 2, 3, 4, 5, 6]),
        (AttrSieve().where("a", "=", None), []),  # = NULL never matches
        (AttrSieve().where_null("a"), [1, 6]),
        (~AttrSieve().where_null("a"), [0, 2, 3, 4, 5]),
        (~AttrSieve().where("a", ">", 0), [3, 4]),  # unknown stays unknown under NOT
        (AttrSieve().where_any("tags", "!=", "ml"), [0, 1, 3, 4]),  # some value differs
        (~AttrSieve().where_any("tags", "=", "ml"), [1, 2, 3, 4, 5, 6]),  # no value matches
        (AttrSieve().where_any("tags", "=", "ml"), [0]),
        (AttrSieve().where_any_like("tags", "ml"), [0, 1]),  # LIKE folds ASCII case
        (AttrSieve().where_between("Year", 2021, 2019), []),
        (AttrSieve().where("ID", "IN", ["D5", "d2"]), [2, 5]),
        (AttrSieve().where("position", ">=", 5), [5, 6]),
        (AttrSieve().where("year", "=", 2020), [0, 4]),  # column names ignore letter case in SQLite
        (AttrSieve().where_any("id", "=", "d0"), []),  # a multi-valued key named id is a key
    ],
)
def test_documented_meanings(chain, expected):
    assert STORE.run(*chain.to_sql()) == expected
    if chain._node is not None:
        assert STORE.expected(chain._node) == expected
