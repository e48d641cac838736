import gc
import sqlite3
import sys

import numpy as np
import pytest
import sqlglot
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarnix_engine import _row_screen
from tarnix_engine._attr_sieve import AttrSieve
from tarnix_engine._clause_builder import FilterError
from tarnix_engine._row_screen import RowScreen

from screened_fakes import run_isolated

OK, DENY = sqlite3.SQLITE_OK, sqlite3.SQLITE_DENY


def assert_answer(array, expected):
    assert isinstance(array, np.ndarray) and array.dtype == np.int64 and array.ndim == 1
    assert not array.flags.writeable
    assert array.tolist() == expected


@pytest.mark.parametrize(
    "filter, roles, expected",
    [
        (None, None, [0, 1, 2, 3, 4]),
        (None, ["staff"], [0, 1, 2]),
        (None, ["admin", "staff"], [0, 1, 2, 3]),
        (None, ["nobody"], []),
        (None, [], []),
        ("year >= 2020", None, [1, 2]),
        ("year >= 2020 AND 'ml' IN tags", ["staff"], [1]),
        ({"lang": "en"}, ["admin"], [0]),
        ({"tags": {"$in": ["db"]}}, None, [0, 3]),
        ("id = 'c' OR position = 4", None, [2, 4]),
    ],
)
def test_positions_of_filter_and_roles(filled, filter, roles, expected):
    assert_answer(filled.positions(filter, roles), expected)
    assert_answer(filled.positions(filter=filter, roles=roles), expected)


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda s: s.where("year", ">=", 2020), [1, 2]),
        (lambda s: s.where("Year", "IN", [2019, 2021]), [0, 2]),
        (lambda s: s.where_any("tags", "=", "ml") | s.where("lang", "=", "fr"), [0, 1, 3]),
        (lambda s: ~s.where_null("year"), [0, 1, 2]),
        (lambda s: s.where_like("lang", "E%"), [0, 2]),
        (lambda s: s.where_any_like("tags", "d%"), [0, 3]),
        (lambda s: s.where_between("year", 2020, 2021), [1, 2]),
        (lambda s: s.where_between("year", 2021, 2020), []),
        (lambda s: AttrSieve(), [0, 1, 2, 3, 4]),
        (lambda s: RowScreen().where("year", "=", 2019), [0]),
        (lambda s: AttrSieve().where("id", "=", "e"), [4]),
    ],
)
def test_chains_run_against_the_store_asked(filled, make, expected):
    assert_answer(filled.positions(make(filled)), expected)


def test_chain_positions_is_the_store_answer(filled):
    chain = filled.where("lang", "=", "en")
    assert chain.positions() is filled.positions(chain)


@pytest.mark.parametrize(
    "columns, message",
    [
        (["x"], "Unknown column(s) ['x'] in filter."),
        (["year", "year2", "Colour"], "Unknown column(s) ['Colour', 'year2'] in filter."),
    ],
)
def test_chain_naming_unknown_columns_is_refused(filled, columns, message):
    chain = AttrSieve()
    for column in columns:
        chain = chain.where(column, "=", 1)
    with pytest.raises(FilterError) as info:
        filled.positions(chain, ["staff"])
    assert str(info.value) == message and info.value.__cause__ is None
    assert len(filled._cache) == 0


def test_multi_valued_keys_of_a_chain_are_not_checked(filled):
    assert_answer(filled.positions(filled.where_any("colours", "=", "red")), [])


def test_empty_roles_still_translate_the_filter(filled):
    assert_answer(filled.positions("year >= 2020", []), [])
    with pytest.raises(FilterError):
        filled.positions("year >=", [])
    with pytest.raises(FilterError):
        filled.positions("nosuch = 1", [])


# SQLite refuses an expression nested past 1000 levels, and each condition
# of a long junction nests one level deeper: such a filter is refused in
# words before it reaches the database.
@pytest.mark.parametrize(
    "filter",
    [
        " AND ".join(["year > 1"] * 1000),
        {"$or": [{"tags": "ml"}] * 1000},
    ],
    ids=["text-and", "dict-or"],
)
def test_a_filter_too_large_for_sqlite_is_refused_in_words(filled, filter):
    with pytest.raises(FilterError, match=r"^A filter can hold at most 900 conditions and negations, as SQLite "
                                          r"refuses deeper expressions; split it into several filters"):
        filled.positions(filter, roles=["staff"])


@pytest.mark.parametrize("condition, expected", [("tags = 'ml'", [0, 1]), ("NOT NOT year > 2019", [1, 2])])
def test_a_filter_at_the_size_limit_runs(filled, condition, expected):
    count = 900 // (condition.count("NOT") + 1)
    assert_answer(filled.positions(" AND ".join([condition] * count), roles=["staff"]), expected)


@pytest.mark.parametrize(
    "roles, error",
    [(("staff",), TypeError), (type("L", (list,), {})(["staff"]), TypeError), (["a", 1], TypeError), ([["a"]], TypeError)],
)
def test_roles_that_cannot_be_used_are_refused(filled, roles, error):
    with pytest.raises(error):
        filled.positions(None, roles)
    assert len(filled._cache) == 0


def test_cache_shares_one_entry_per_question(filled):
    first = filled.positions("lang = 'en'", ["staff", "admin", "staff"])
    assert filled.positions("  lang = 'en' ", ["admin", "staff"]) is first
    assert filled.positions({"lang": "en"}, ["admin", "staff"]) is not first
    assert filled.positions("lang = 'en'", None) is not first
    assert filled.positions("lang = 'en'", []) is not filled.positions("lang = 'en'", None)


def test_filter_without_key_is_run_every_time(filled):
    parsed = sqlglot.parse_one("year >= 2020", dialect="sqlite")
    one, two = filled.positions(parsed), filled.positions(parsed)
    assert one is not two and len(filled._cache) == 0
    assert_answer(one, [1, 2])
    unhashable = filled.where("year", "=", [2019])
    with pytest.raises(sqlite3.ProgrammingError):
        filled.positions(unhashable)
    assert len(filled._cache) == 0


def test_cache_evicts_the_least_recently_used(filled, monkeypatch):
    assert _row_screen._CACHE_SIZE == 256
    monkeypatch.setattr(_row_screen, "_CACHE_SIZE", 3)
    answers = {year: filled.positions(f"year = {year}") for year in (2019, 2020, 2021)}
    assert filled.positions("year = 2019") is answers[2019]  # now the most recent
    filled.positions("year = 1999")  # evicts 2020
    assert len(filled._cache) == 3
    assert filled.positions("year = 2019") is answers[2019]
    assert filled.positions("year = 2021") is answers[2021]
    assert filled.positions("year = 2020") is not answers[2020]


def test_a_write_replaces_every_answer(filled):
    before = filled.positions(None, ["staff"])
    filled.grant(["e"], ["staff"])
    after = filled.positions(None, ["staff"])
    assert after is not before
    assert before.tolist() == [0, 1, 2] and after.tolist() == [0, 1, 2, 4]


def test_answers_can_never_be_made_writable(filled):
    for answer in (filled.positions(), filled.positions(None, [])):
        with pytest.raises(ValueError):
            answer[:1] = 7
        with pytest.raises(ValueError):
            answer.setflags(write=True)
        view = answer.view()
        with pytest.raises(ValueError):
            view.setflags(write=True)
    assert filled.positions().tolist() == [0, 1, 2, 3, 4]


def test_an_overridden_query_still_gives_a_frozen_array(filled, monkeypatch):
    monkeypatch.setattr(RowScreen, "_query_positions", lambda self, f, r: np.array([3, 1], dtype=np.int64))
    answer = filled.positions("year = 1")
    with pytest.raises(ValueError):
        answer.setflags(write=True)
    assert filled.positions("year = 1") is answer


def test_query_positions_builds_a_new_writable_array(filled):
    one = filled._query_positions(None, ["staff"])
    two = filled._query_positions(None, ["staff"])
    assert one is not two and one.flags.writeable and one.tolist() == [0, 1, 2]
    assert filled._as_attr_sieve(None) is None


# Filters whose subclasses show the grammar another filter than the one
# their stored values spell: each pair must never share a cache entry.
class _StripsToAnother(str):
    def strip(self, *chars):
        return "year = 2020"


class _IndexesAsAnother(str):
    def __getitem__(self, index):
        return "year = 2020"[index]


class _WritesAsAnother(int):
    def __str__(self):
        return "2020"

    __repr__ = __str__


class _ItemsOfAnother(dict):
    def items(self):
        return [("$eq", 2020)]


class _IteratesAsAnother(list):
    def __iter__(self):
        return iter([2020])


LOOK_ALIKES = {
    "text whose strip differs": (_StripsToAnother("year = 2019"), "year = 2020"),
    "text whose characters read differently": (_IndexesAsAnother("year = 2019"), "year = 2019"),
    "value written as another number": ({"year": _WritesAsAnother(2019)}, {"year": 2019}),
    "operator dict whose items differ": ({"year": _ItemsOfAnother({"$eq": 2019})}, {"year": {"$eq": 2020}}),
    "list whose items iterate differently": ({"year": {"$in": _IteratesAsAnother([2019])}}, {"year": {"$in": [2019]}}),
}


@pytest.mark.parametrize("name", LOOK_ALIKES)
@pytest.mark.parametrize("first", ["look-alike", "plain"])
def test_a_filter_is_never_answered_from_the_entry_of_a_look_alike(filled, name, first):
    look_alike, plain = LOOK_ALIKES[name]
    order = [look_alike, plain] if first == "look-alike" else [plain, look_alike]
    for f in order:
        assert filled.positions(f).tolist() == filled._query_positions(f, None).tolist(), f


class _EqualToAll(str):
    """Equal to every text, hashing as "staff": a set keeps only one of them."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash("staff")


# (roles or chain, the plain question asked after it): the first binds a
# value its cache key would have shared with the second.
EQUAL_TO_ALL = {
    "role": (lambda s: s.positions(None, ["staff", _EqualToAll("admin")]), lambda s: s.positions(None, ["staff"])),
    "chain value": (
        lambda s: s.where("lang", "=", _EqualToAll("de")).positions(),
        lambda s: s.where("lang", "=", _EqualToAll("fr")).positions(),
    ),
}


@pytest.mark.parametrize("name", EQUAL_TO_ALL)
def test_values_equal_by_their_own_eq_are_not_one_question(filled, name):
    first, second = EQUAL_TO_ALL[name]
    fresh = RowScreen()
    fresh._conn = filled._conn  # the same rows, an empty cache
    expected = second(fresh).tolist()
    first(filled)
    assert second(filled).tolist() == expected


def test_values_of_different_types_are_different_questions(store):
    # Against text columns the values 1 and 1.0 bind as the texts '1' and
    # '1.0', so one must never be answered from the other's cache entry.
    store.add(["a", "b"], [{"tags": ["1"]}, {"tags": ["1.0"]}])
    store.grant(["a"], ["1"])
    store.grant(["b"], ["1.0"])
    assert store.where_any("tags", "=", 1).positions().tolist() == [0]
    assert store.where_any("tags", "=", 1.0).positions().tolist() == [1]
    assert store.where_any("tags", "=", True).positions().tolist() == [0]
    # Roles are names: grant takes only str, and so does every read.
    for role in (1, 1.0):
        with pytest.raises(TypeError, match="must be a str"):
            store.positions(None, [role])


def test_reads_of_a_new_store(store):
    assert store.schema() == (set(), set())
    assert store.schema() is not store.schema()
    assert store.size == 0 and store.ids == []
    assert_answer(store.positions(), [])
    assert store.filter_by_roles([]).tolist() == []


# Each write changes what a filter may name; a miss right after it must see
# the new schema, even though the miss before it had read the old one.
SCHEMA_CHANGES = {
    "add scalar": (lambda s: s.add(["f"], [{"colour": "red"}]), "colour = 'red'", [5]),
    "add multi": (lambda s: s.add(["f"], [{"cats": ["p"]}]), "cats = 'p'", [5]),
    "update scalar": (lambda s: s.update(["c"], [{"colour": "red"}]), "colour = 'red'", [2]),
    "update multi": (lambda s: s.update(["c"], [{"cats": ["p"]}]), "cats = 'p'", [2]),
    "update clears multi": (lambda s: s.update(["a", "b", "d"], [{"tags": []}] * 3), "tags = 'db'", None),
    "delete last holder": (lambda s: s.delete(["b", "d", "a"]), "tags = 'ml'", None),
    "delete then compact": (lambda s: (s.delete(["a", "b", "d"]), s.compact()), "tags = 'db'", None),
    "failed add": (lambda s: s.add(["f"], [{"colour": "red", "bad": object()}]), "colour = 'red'", None),
    "rows written on the connection": (
        lambda s: s._conn.execute("INSERT INTO metadata_multi VALUES (2, 'cats', 'p')"),
        "cats = 'p'",
        [2],
    ),
    "column added on the connection": (
        lambda s: s._conn.execute("ALTER TABLE metadata ADD COLUMN colour"),
        "colour = 'red'",
        [],
    ),
    "rows written and committed on the connection": (
        lambda s: (s._conn.execute("INSERT INTO metadata_multi VALUES (2, 'cats', 'p')"), s._conn.commit()),
        "cats = 'p'",
        [2],
    ),
}


@pytest.mark.parametrize("name", SCHEMA_CHANGES)
def test_a_miss_after_a_write_sees_the_new_schema(filled, name):
    change, text, expected = SCHEMA_CHANGES[name]
    column, value = text.split()[0], text.split("'")[1]
    # A miss first, so the store has read the schema before the write.
    assert_answer(filled.positions("year > 0", ["staff"]), [0, 1, 2])
    if column in filled.schema()[0] | filled.schema()[1]:
        filled.positions(text)
    else:
        with pytest.raises(FilterError):
            filled.positions(text)
    try:
        change(filled)
    except sqlite3.ProgrammingError:
        assert name == "failed add"
    if expected is None:
        with pytest.raises(FilterError, match="Unknown column"):
            filled.positions(text, ["staff", "admin"])
        with pytest.raises(FilterError):
            filled.positions({column: value})
        assert column not in filled.schema()[0] | filled.schema()[1]
    else:
        granted = {0, 1, 2, 3}
        assert_answer(filled.positions(text, ["staff", "admin"]), [p for p in expected if p in granted])
        assert_answer(filled.positions({column: value}), expected)
        assert column in filled.schema()[0] | filled.schema()[1]


# The (size, last id) pair a ScreenedSearch compares with its inner index is
# kept between writes; after any change it must be what fresh reads say.
TALLY_CHANGES = {
    "add": lambda s: s.add(["f"]),
    "delete the last": lambda s: s.delete(["e"]),
    "delete then compact": lambda s: (s.delete(["a", "b"]), s.compact()),
    "delete every one": lambda s: (s.delete(list("abcde")), s.compact()),
    "failed add": lambda s: s.add(["f"], [{"bad": object()}]),
    "rows deleted on the connection": lambda s: s._conn.execute("DELETE FROM metadata WHERE position = 4"),
    "id renamed and committed on the connection": lambda s: (
        s._conn.execute("UPDATE docs SET id = 'z' WHERE position = 4"),
        s._conn.commit(),
    ),
    # Changes no row count, only the schema version.
    "table recreated on the connection": lambda s: (
        s._conn.execute("DROP TABLE metadata"),
        s._conn.execute("CREATE TABLE metadata (position INTEGER PRIMARY KEY)"),
    ),
}


@pytest.mark.parametrize("name", TALLY_CHANGES)
def test_the_kept_size_and_last_id_follow_every_change(filled, name):
    assert filled._tally() == (5, "e")
    try:
        TALLY_CHANGES[name](filled)
    except sqlite3.ProgrammingError:
        assert name == "failed add"
    ids = filled.ids
    assert filled._tally() == (filled.size, ids[-1] if ids else None)


@pytest.mark.parametrize("name", ["add scalar", "update scalar"])
def test_a_chain_after_a_write_sees_the_new_column(filled, name):
    change, _, expected = SCHEMA_CHANGES[name]
    chain = filled.where("colour", "=", "red")
    with pytest.raises(FilterError, match=r"\['colour'\]"):
        chain.positions()
    change(filled)
    assert_answer(chain.positions(), expected)


def test_the_schema_read_for_one_store_is_not_another_stores(filled):
    twin = RowScreen()
    filled._conn.backup(twin._conn)
    assert filled.schema() == twin.schema()
    twin.add(["f"], [{"colour": "red"}])
    assert "colour" in twin.schema()[0] and "colour" not in filled.schema()[0]
    # A connection swapped in is read afresh.
    filled._conn, twin._conn = twin._conn, filled._conn
    assert "colour" in filled.schema()[0] and "colour" not in twin.schema()[0]


def test_a_dropped_store_lets_go_of_its_connection():
    store = RowScreen()
    store.add(["a"], [{"year": 1, "tags": ["x"]}])
    conn = store._conn
    held = sys.getrefcount(conn)
    store.positions("year > 0")
    del store
    gc.collect()
    assert sys.getrefcount(conn) == held - 1


def test_schema_size_and_ids(filled):
    assert filled.schema() == ({"year", "lang"}, {"tags"})
    assert filled.size == 5 and filled.ids == ["a", "b", "c", "d", "e"]
    filled.delete(["b"])
    assert filled.size == 4 and filled.ids == ["a", "c", "d", "e"]


def test_filter_by_roles(filled):
    got = filled.filter_by_roles(["admin", "staff", "admin"])
    assert got.dtype == np.int64 and got.flags.writeable and got.tolist() == [0, 1, 2, 3]
    assert filled.filter_by_roles([]).tolist() == []
    assert len(filled._cache) == 0
    with pytest.raises(TypeError, match="roles"):
        filled.filter_by_roles(None)


@pytest.mark.parametrize(
    "starter, args",
    [
        ("where", (1, "=", 2)),
        ("where", ("year", None, 2)),
        ("where_any", ("tags", b"=", 2)),
        ("where_like", ("lang", None)),
        ("where_any_like", (None, "x")),
        ("where_between", (None, 1, 2)),
        ("where_null", (type("S", (str,), {})("year"),)),
    ],
)
def test_chain_starters_take_exact_str(store, starter, args):
    with pytest.raises(TypeError):
        getattr(store, starter)(*args)


def test_chain_starters_bind_the_store_without_locking(store):
    with_lock_held_elsewhere = store._lock
    chain = store.where("year", "=", 1)
    assert chain._owner is store and not with_lock_held_elsewhere._is_owned()


@pytest.mark.parametrize(
    "action, arg1, arg2, expected",
    [
        (sqlite3.SQLITE_SELECT, None, None, OK),
        (sqlite3.SQLITE_READ, "docs", "id", OK),
        (sqlite3.SQLITE_READ, "metadata", "year", OK),
        (sqlite3.SQLITE_READ, "metadata_multi", "value", OK),
        (sqlite3.SQLITE_READ, "doc_access", "role", OK),
        (sqlite3.SQLITE_READ, "Docs", "id", DENY),
        (sqlite3.SQLITE_READ, "sqlite_master", "sql", DENY),
        (sqlite3.SQLITE_READ, None, None, DENY),
        (sqlite3.SQLITE_FUNCTION, None, "like", OK),
        (sqlite3.SQLITE_FUNCTION, None, "LIKE", OK),
        (sqlite3.SQLITE_FUNCTION, None, "load_extension", DENY),
        (sqlite3.SQLITE_FUNCTION, None, "group_concat", DENY),
        (sqlite3.SQLITE_FUNCTION, None, None, DENY),
        (sqlite3.SQLITE_INSERT, "docs", None, DENY),
        (sqlite3.SQLITE_PRAGMA, "table_info", None, DENY),
        (sqlite3.SQLITE_ATTACH, "x.db", None, DENY),
    ],
)
def test_filter_authorizer(action, arg1, arg2, expected):
    assert _row_screen._filter_authorizer(action, arg1, arg2, "main", None) == expected


def test_filter_authorizer_takes_five_arguments():
    with pytest.raises(TypeError):
        _row_screen._filter_authorizer(sqlite3.SQLITE_SELECT, None, None, None)


class _RawSieve(AttrSieve):
    """A chain whose SQL text is whatever it was given, as a buggy or hostile
    translator could produce."""

    __slots__ = ("_sql",)

    def __init__(self, sql):
        super().__init__()
        self._sql = sql

    def to_sql(self):
        return self._sql, []

    def cache_key(self):
        return None


@pytest.mark.parametrize(
    "sql",
    [
        "(m.position IN (SELECT rowid FROM sqlite_master))",
        "(abs(m.position) >= 0)",
        "(m.position IN (SELECT position FROM _remap))",
    ],
)
def test_authorizer_refuses_what_a_filter_must_not_do(filled, sql):
    filled.delete(["b"])
    filled.compact()  # creates the temporary _remap table
    with pytest.raises(sqlite3.DatabaseError):
        filled.positions(_RawSieve(sql), None)
    # The authorizer is gone again once positions returns.
    assert filled._conn.execute("SELECT COUNT(*) FROM sqlite_master").fetchone()[0] > 0


def test_a_refused_query_is_not_cached_and_removes_the_authorizer(filled, monkeypatch):
    monkeypatch.setattr(_row_screen, "_filter_authorizer", lambda *args: DENY)
    with pytest.raises(sqlite3.DatabaseError):
        filled.positions(None, ["staff"])
    assert len(filled._cache) == 0
    assert filled._conn.execute("SELECT COUNT(*) FROM docs").fetchone() == (5,)


# ---- against a plain-Python model ---------------------------------------------

LANGS = ["en", "de", "fr"]
TAGS = ["ml", "db", "ir"]
ROLES = ["r1", "r2", "r3"]

documents = st.lists(
    st.fixed_dictionaries(
        {
            "year": st.one_of(st.none(), st.integers(2018, 2022)),
            "lang": st.sampled_from(LANGS),
            "tags": st.lists(st.sampled_from(TAGS), max_size=3),
            "roles": st.lists(st.sampled_from(ROLES), max_size=2),
        }
    ),
    min_size=1,
    max_size=12,
)

# A filter as (chain builder, model predicate). The predicates follow SQL's
# three-valued logic: a comparison with a missing year is unknown (None),
# and so is its negation.
def _cmp(op, v):
    def model(d):
        if d["year"] is None:
            return None
        return {">=": d["year"] >= v, "<": d["year"] < v, "=": d["year"] == v}[op]

    return (lambda s: s.where("year", op, v), model)


def _and(a, b):
    if a is False or b is False:
        return False
    return None if a is None or b is None else True


def _or(a, b):
    if a is True or b is True:
        return True
    return None if a is None or b is None else False


leaf = st.one_of(
    st.builds(_cmp, st.sampled_from([">=", "<", "="]), st.integers(2018, 2022)),
    st.builds(
        lambda vs: (lambda s: s.where("lang", "IN", vs), lambda d: d["lang"] in vs),
        st.lists(st.sampled_from(LANGS), min_size=1, max_size=2),
    ),
    st.builds(lambda t: (lambda s: s.where_any("tags", "=", t), lambda d: t in d["tags"]), st.sampled_from(TAGS)),
    st.just((lambda s: s.where_null("year"), lambda d: d["year"] is None)),
)


def _combine(children):
    return st.one_of(
        st.tuples(children, children).map(
            lambda p: (lambda s: p[0][0](s) & p[1][0](s), lambda d: _and(p[0][1](d), p[1][1](d)))
        ),
        st.tuples(children, children).map(
            lambda p: (lambda s: p[0][0](s) | p[1][0](s), lambda d: _or(p[0][1](d), p[1][1](d)))
        ),
        children.map(lambda c: (lambda s: ~c[0](s), lambda d: None if c[1](d) is None else not c[1](d))),
    )


filters = st.recursive(leaf, _combine, max_leaves=5)
roles_lists = st.one_of(st.none(), st.lists(st.sampled_from(ROLES + ["other"]), max_size=3))


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(docs=documents, flt=st.one_of(st.none(), filters), roles=roles_lists, deleted=st.integers(0, 3))
def test_positions_match_a_python_model(docs, flt, roles, deleted):
    store = RowScreen()
    ids = [f"doc{i}" for i in range(len(docs))]
    store.add(ids, [{"year": d["year"], "lang": d["lang"], "tags": d["tags"]} for d in docs])
    for i, d in enumerate(docs):
        store.grant([ids[i]], d["roles"])
    # A deleted document leaves a gap that no answer may name.
    gone = set(range(0, len(docs), 4)) if deleted else set()
    store.delete([ids[i] for i in sorted(gone)])
    chain = flt[0](store) if flt else None
    for _ in range(2):  # a miss, then the cached answer
        got = store.positions(chain, roles).tolist()
        want = [
            i
            for i, d in enumerate(docs)
            if i not in gone
            and (flt is None or flt[1](d) is True)
            and (roles is None or set(roles) & set(d["roles"]))
        ]
        assert got == want
    if roles is not None:
        allowed = {i for i, d in enumerate(docs) if set(roles) & set(d["roles"])}
        assert set(got) <= allowed


def test_deep_filters_are_refused_within_a_small_thread_stack():
    # The interpreter allows 10000 levels of native recursion, sized for its
    # own frames; the filter walks stop long before a 2 MiB stack runs out.
    out = run_isolated(
        """
        import threading
        from sqlglot import exp
        from tarnix_engine._row_screen import RowScreen

        store = RowScreen()
        store.add(["a"], [{"price": 1}])
        nested, tree = {"price": 1}, exp.column("price").eq(1)
        for _ in range(20_000):
            nested, tree = {"$not": nested}, exp.Not(this=tree)
        seen = []

        def ask():
            for f in (nested, {"$or": [nested]}, tree):
                try:
                    store.positions(f, ["r"])
                except RecursionError:
                    seen.append("refused")

        threading.stack_size(2 << 20)
        worker = threading.Thread(target=ask)
        worker.start()
        worker.join()
        print(" ".join(seen))
        """
    )
    assert out == "refused refused refused"
