"""Whatever a filter object renders, the store answers only with documents
granted to the caller's roles."""

import sqlite3

import pytest

from tarnix_engine._attr_sieve import AttrSieve, _Condition, _Junction, _Node, condition, constant, not_, or_
from tarnix_engine._clause_builder import FilterError
from tarnix_engine._row_screen import RowScreen

from store_oracle import statement_answer

GRANTED = {"user": {0}, "admin": {1}, "nobody": set()}


@pytest.fixture
def guarded():
    """pub is granted to user, secret to admin, open to no role at all."""
    s = RowScreen()
    s.add(["pub", "secret", "open"], [{"n": 1}, {"n": 2}, {"n": 3}])
    s.grant(["pub"], ["user"])
    s.grant(["secret"], ["admin"])
    return s


# The three ways a filtered question by roles is run: by the statement's
# role restriction when the roles see few of the documents; filter first,
# then cut down to the grants the store keeps, when they see many; and by
# the restriction inside a transaction, where nothing kept is used.
PATHS = ["few grants", "many grants", "in a transaction"]


@pytest.fixture(params=PATHS)
def guarded_path(request, guarded):
    """(guarded, the path): `guarded` arranged for that path."""
    if request.param == "few grants":
        guarded.add([f"x{i}" for i in range(9)], [{"n": 9}] * 9)
    if request.param == "in a transaction":
        guarded._conn.execute("BEGIN")
    else:
        guarded.positions(None, list(GRANTED))  # the grants are kept from now on
    yield guarded, request.param
    if request.param == "in a transaction":
        guarded._conn.rollback()


def rendering_node(text):
    class Rendered(_Node):
        __slots__ = ()

        def render(self, params):
            return text

    return Rendered()


def own_to_sql(text):
    class OwnSql(AttrSieve):
        def to_sql(self):
            return text, []

    return OwnSql(None)


def own_predicate(text):
    class OwnPredicate(_Condition):
        __slots__ = ()

        def _predicate(self, lhs, params):
            return text

    return AttrSieve(None, OwnPredicate("n", "=", (1,), False))


def own_keyword(text):
    class OwnKeyword(_Junction):
        __slots__ = ()
        _KEYWORD = text

    return AttrSieve(None, OwnKeyword([condition("n", "=", [1]), condition("n", "=", [2])]))


# Each way a filter object can put text of its own into the statement.
MAKERS = {
    "node render": lambda text: AttrSieve(None, rendering_node(text)),
    "node render inside AND": lambda text: AttrSieve(None, condition("n", ">=", [1])) & AttrSieve(None, rendering_node(text)),
    "node render inside OR": lambda text: AttrSieve(None, or_([condition("n", "=", [9]), rendering_node(text)])),
    "node render under NOT": lambda text: AttrSieve(None, not_(rendering_node(text))),
    "chain to_sql": own_to_sql,
    "condition _predicate": own_predicate,
    "junction keyword": own_keyword,
}

HOSTILE = [
    "1 OR 1",
    "1) OR (1",
    "(1) OR (1)",
    "1 OR 1 --",
    "1 OR 1 /* the rest */",
    "1; DELETE FROM doc_access",
    "1 OR 1)",
    "(1 OR 1",
    "1) OR 1 OR (1",
    "'x' = 'x' OR 1",
    "')' OR 1 OR '('",
    '")" OR 1',
    "[)] OR 1",
    "$v(() ) OR (1",
    ":v OR 1",
    "1 OR 1 ORDER BY 1",
    "NOT 0 OR position IN (SELECT position FROM doc_access)",
    '"grant rows"."granted role" = \'admin\' OR 1',
    "",
]


@pytest.mark.parametrize("text", HOSTILE)
@pytest.mark.parametrize("maker", MAKERS)
@pytest.mark.parametrize("roles", [["nobody"], ["user"], ["admin", "nobody"]])
def test_no_rendering_reaches_past_the_callers_roles(guarded_path, maker, text, roles):
    guarded, _ = guarded_path
    allowed = set().union(*(GRANTED[r] for r in roles))
    try:
        answer = guarded.positions(MAKERS[maker](text), roles)
    except (FilterError, sqlite3.Error):
        return
    assert set(answer.tolist()) <= allowed


# Renderings that are not one expression; the store refuses them whatever
# the roles, naming what it found.
NOT_ONE_EXPRESSION = [
    ("1) OR (1", "a ')' that closes more than it opened"),
    ("1 OR 1)", "a ')' that closes more than it opened"),
    ("(1 OR 1", "a '(' that is never closed"),
    ("1 --", "a comment"),
    ("/* */ 1", "a comment"),
    ("1; DROP TABLE docs", "a ';'"),
    ("'1 OR 1", "a quote that is never closed"),
    ('"n OR 1', "a quote that is never closed"),
    ("[n OR 1", "a quote that is never closed"),
    ("1 OR :v", "a named parameter"),
    ("1 OR @v", "a named parameter"),
    ("1 OR $v", "a named parameter"),
    ("", "no condition"),
    ("  \n", "no condition"),
]


@pytest.mark.parametrize("text, problem", NOT_ONE_EXPRESSION)
@pytest.mark.parametrize("maker", ["node render", "chain to_sql"])
@pytest.mark.parametrize("roles", [None, ["user"]])
def test_a_rendering_that_is_not_one_expression_is_refused(guarded, maker, text, problem, roles):
    with pytest.raises(FilterError, match="not one SQL condition") as raised:
        guarded.positions(MAKERS[maker](text), roles)
    assert problem in str(raised.value)
    assert len(guarded._cache) == 0


@pytest.mark.parametrize(
    "text, expected",
    [
        ("'a;b' = 'a;b'", [0, 1, 2]),  # a ';' inside a literal is part of it
        ("'(' <> ')'", [0, 1, 2]),
        ('"n" - 1 = 1', [1]),
        ("[n] >= 2 OR 0", [1, 2]),
        ("(n = 1) OR (n = 3)", [0, 2]),
    ],
)
def test_one_expression_of_a_node_of_its_own_runs_as_written(guarded, text, expected):
    assert guarded.positions(AttrSieve(None, rendering_node(text))).tolist() == expected


def traced_where(store, filter, roles):
    seen = []
    store._conn.set_trace_callback(seen.append)
    try:
        store.positions(filter, roles)
    finally:
        store._conn.set_trace_callback(None)
    # The position query, not the read of the roles' grants.
    (statement,) = [s for s in seen if "group_concat" in s and "a.role" not in s]
    where = statement[statement.index(" WHERE ") + len(" WHERE ") :].removesuffix(")")
    return where.removesuffix(" LIMIT -1").removesuffix(" ORDER BY m.position")


ROLE_SUB_SELECT = " AND m.position IN (SELECT position FROM doc_access WHERE role IN ('user'))"
ROLE_JOINED = ' AND "grant rows"."granted role" IN (\'user\')'


# The node kinds' own renderings stand in the statement unchanged; only a
# text that is not one parenthesised expression is put in parentheses. The
# role restriction follows the filter where the statement restricts the
# roles itself (the grants joined when the filter holds no sub-query and
# the store counted their rows, else a sub-select); otherwise the kept
# grants do.
@pytest.mark.parametrize(
    "make, where",
    [
        (lambda s: s.where("n", "=", 1), "(m.\"n\" = 1)"),
        (lambda s: s.where_any("tags", "=", "x"),
         "(m.position IN (SELECT position FROM metadata_multi WHERE key = 'tags' AND value = 'x'))"),
        (lambda s: s.where("n", ">", 1) | s.where("n", "<", 3), "((m.\"n\" > 1) OR (m.\"n\" < 3))"),
        (lambda s: s.where("n", "=", 1).not_(), "(NOT (m.\"n\" = 1))"),
        (lambda s: AttrSieve(s, constant(1, "=", 1)), "(1 = 1)"),
        (lambda s: AttrSieve(s), "1"),
        (lambda s: AttrSieve(s, rendering_node("(n = 1 OR 1)")), "(n = 1 OR 1)"),
        (lambda s: AttrSieve(s, rendering_node("n = 1 OR 1")), "(n = 1 OR 1)"),
        (lambda s: AttrSieve(s, rendering_node("(n) OR (1)")), "((n) OR (1))"),
    ],
)
def test_where_the_filter_stands_in_the_statement(guarded_path, make, where):
    guarded, path = guarded_path
    if path == "many grants":
        role_clause = ""
    elif path == "in a transaction" or "SELECT" in where:
        role_clause = ROLE_SUB_SELECT
    else:
        role_clause = ROLE_JOINED
    assert traced_where(guarded, make(guarded), ["user"]) == where + role_clause
    assert set(guarded.positions(make(guarded), ["user"]).tolist()) <= GRANTED["user"]


# Renderings the statement with its role sub-select runs, which must give the
# same answer however the question is run: numbered ? marks bind by their
# number, and a bare column name must not meet a column of any other table
# the statement reads.
RUN_ANYWHERE = [
    ("a numbered mark", {"n": 1}, "m.n = ?1", [1]),
    ("numbered marks out of order", {"n": 1}, "(m.n = ?2 OR m.n = ?1)", [1, 9]),
    ("a bare column named value", {"value": 1}, "(value = 1)", []),
    ("a bare column named role", {"role": "a"}, "(role = 'a')", []),
    ("a sub-query with a numbered mark", {"n": 1}, "m.position IN (SELECT position FROM metadata WHERE n = ?1)", [1]),
]


@pytest.mark.parametrize("meta, text, values", [c[1:] for c in RUN_ANYWHERE], ids=[c[0] for c in RUN_ANYWHERE])
@pytest.mark.parametrize("granted", [2, 10], ids=["few grants", "many grants"])
def test_a_rendering_the_statement_runs_is_answered_on_every_ask(meta, text, values, granted):
    class Rendered(_Node):
        __slots__ = ()

        def render(self, params):
            params.extend(values)
            return text

    store = RowScreen()
    ids = [f"d{i}" for i in range(20)]
    store.add(ids, [meta] * len(ids))
    store.grant(ids[:granted], ["user"])
    expected = statement_answer(store, AttrSieve(None, Rendered()), ["user"])
    assert expected == list(range(granted))
    store.positions(None, ["user"])  # the grants are kept from now on
    for _ in range(2):
        store._cache.clear()
        assert store.positions(AttrSieve(None, Rendered()), ["user"]).tolist() == expected


# Renderings naming what the statement may join for the roles, in any case
# and quoting: they keep meaning what they meant in the statement with its
# role sub-select (a double-quoted name of no column is a string there).
NAMING_THE_GRANTS = [
    'm."owner" = "granted role"',
    '"GRANTED ROLE" != \'admin\'',
    "[granted role] = m.\"owner\"",
    '"grant rows"."granted role" = \'admin\'',
    "`Granted Position` = m.position",
]


@pytest.mark.parametrize("text", NAMING_THE_GRANTS)
def test_a_rendering_naming_the_joined_grants_means_what_it_did(text):
    store = RowScreen()
    ids = [f"d{i}" for i in range(50)]
    store.add(ids, [{"owner": "user" if i % 2 else "granted role"} for i in range(50)])
    store.grant(ids[:4], ["user"])
    store.grant(["d3", "d5"], ["admin"])
    store.positions(None, ["user", "admin"])  # the grants are kept from now on
    question = AttrSieve(None, rendering_node(text))
    try:
        expected = statement_answer(store, question, ["user", "admin"])
    except sqlite3.Error:
        with pytest.raises(sqlite3.Error):
            store.positions(question, ["user", "admin"])
        return
    assert store.positions(question, ["user", "admin"]).tolist() == expected
