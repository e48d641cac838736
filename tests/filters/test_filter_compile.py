"""compile_filter and filter_cache_key, and filters run the way the store
runs them: schema read from the database, compiled, placed in the position
query and executed under the store's authorizer."""

import json
import sqlite3
import threading

import pytest
import sqlglot
from sqlglot import exp

from sqlite_model import Store
from tarnix_engine import _clause_builder as cb
from tarnix_engine._attr_sieve import AttrSieve
from tarnix_engine._clause_builder import FilterError, compile_filter, filter_cache_key

SCALAR = {"color", "price"}
MULTI = {"tags"}

ROWS = [
    {"id": "a", "scalars": {"color": "red", "price": 5}, "multi": {"tags": ["ml", "db"]}, "roles": ["staff"]},
    {"id": "b", "scalars": {"color": "blue", "price": 12}, "multi": {"tags": ["ml"]}, "roles": ["staff", "admin"]},
    {"id": "c", "scalars": {"color": "red", "price": None}, "multi": {"Tags": ["ml"]}, "roles": ["admin"]},
    {"id": "d", "scalars": {"color": None, "price": 30}, "roles": []},
]

_TABLES = {"docs", "metadata", "metadata_multi", "doc_access"}


def _authorizer(action, arg1, arg2, db_name, trigger):
    if action == sqlite3.SQLITE_SELECT:
        return sqlite3.SQLITE_OK
    if action == sqlite3.SQLITE_READ:
        return sqlite3.SQLITE_OK if arg1 in _TABLES else sqlite3.SQLITE_DENY
    if action == sqlite3.SQLITE_FUNCTION:
        return sqlite3.SQLITE_OK if (arg2 or "").lower() == "like" else sqlite3.SQLITE_DENY
    return sqlite3.SQLITE_DENY


def position_queries(statements):
    return [s for s in statements if "FROM metadata m" in s]


class Screen(Store):
    """The store's read path over the test database."""

    def __init__(self, rows=ROWS, columns=("color", "price")):
        super().__init__(rows, list(columns))
        self.statements = []
        self.conn.set_trace_callback(self.statements.append)

    def schema(self):
        scalar = {row[1] for row in self.conn.execute("PRAGMA table_info(metadata)")} - {"position"}
        multi = {row[0] for row in self.conn.execute("SELECT DISTINCT key FROM metadata_multi")}
        return scalar, multi

    def positions(self, filter, roles=None):
        self.statements.clear()
        sieve = compile_filter(filter, *self.schema(), owner=self)
        self.conn.set_authorizer(_authorizer)
        try:
            return self.run(*sieve.to_sql(), roles=roles)
        finally:
            self.conn.set_authorizer(None)


@pytest.fixture
def screen():
    return Screen()


# --- compile_filter -------------------------------------------------------


def test_compiles_to_a_bound_chain(screen):
    sieve = compile_filter("color = 'red' AND price > 1", SCALAR, MULTI, owner=screen)
    assert type(sieve) is AttrSieve and sieve._owner is screen
    assert sieve.to_sql() == ('((m."color" = ?) AND (m."price" > ?))', ["red", 1])
    assert compile_filter({"color": "red"}, SCALAR, MULTI)._owner is None
    assert compile_filter(filter="1 = 1", scalar_columns=set(), multi_keys=set(), owner=5)._owner == 5


def test_a_parsed_expression_gives_what_its_text_gives():
    text = "tags IN ('ml') OR price BETWEEN 1 AND 9"
    tree = sqlglot.parse_one(text, read="sqlite", into=exp.Condition)
    assert compile_filter(tree, SCALAR, MULTI).to_sql() == compile_filter(text, SCALAR, MULTI).to_sql()


@pytest.mark.parametrize("bad", [frozenset(), None, type("S", (set,), {})(), ["color"]])
def test_schema_arguments_are_exactly_sets_and_checked_first(bad):
    with pytest.raises(TypeError, match="scalar_columns"):
        compile_filter("", bad, set())
    with pytest.raises(TypeError, match="multi_keys"):
        compile_filter(None, set(), bad)


@pytest.mark.parametrize(
    "call",
    [
        lambda: compile_filter("a = 1", set()),
        lambda: compile_filter("a = 1", set(), set(), None, None),
        lambda: compile_filter("a = 1", set(), set(), owner=None, extra=1),
        lambda: compile_filter("a = 1", set(), set(), filter="a = 1"),
        lambda: filter_cache_key(),
        lambda: filter_cache_key("a", "b"),
    ],
)
def test_argument_counts_and_keywords(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize(
    "filter, message",
    [
        ("  ", "Filter string is empty."),
        (None, "Unsupported filter type NoneType; pass a SQL string, a dict or a AttrSieve."),
        (AttrSieve(), "Unsupported filter type AttrSieve; pass a SQL string, a dict or a AttrSieve."),
        ({"$nope": 1}, "Unknown top-level operator '$nope'."),
        ("size = 1", "Unknown column 'size' in filter."),
    ],
)
def test_refusals_reach_the_caller(filter, message):
    with pytest.raises(FilterError) as info:
        compile_filter(filter, SCALAR, MULTI)
    assert str(info.value) == message


# A lone surrogate has no UTF-8 form: each is refused in the filter's own
# words, never as an encoding error of the message or of the binding.
SURROGATES = [
    ("price = 1\udc80", "Could not parse filter 'price = 1\\udc80': "),
    ({"price": {"$\udc80": 1}}, "Unknown operator '$\\udc80' on field 'price'."),
    ("color = '\udc80'", "String literal '\\udc80' holds a lone surrogate, which no stored text can match."),
    ({"color": {"$in": ["a", "\ud800"]}}, "String literal '\\ud800' holds a lone surrogate"),
    (
        exp.EQ(this=exp.column("price"), expression=exp.Literal(this="\udc80", is_string=False)),
        "Invalid numeric literal '\\udc80'.",
    ),
]


@pytest.mark.parametrize("filter, message", SURROGATES, ids=ascii)
def test_lone_surrogates_are_refused_in_words(screen, filter, message):
    with pytest.raises(FilterError) as info:
        screen.positions(filter, ["staff"])
    assert str(info.value).startswith(message)
    assert position_queries(screen.statements) == []


def test_a_translator_refusal_is_the_very_error_raised(monkeypatch):
    raised = FilterError("no")
    raised.__cause__ = KeyError("why")

    class Refusing(cb._Translator):
        def build(self, node):
            raise raised

    monkeypatch.setattr(cb, "_Translator", Refusing)
    with pytest.raises(FilterError) as info:
        compile_filter("1 = 1", set(), set())
    assert info.value is raised and isinstance(info.value.__cause__, KeyError)


def test_a_value_error_while_translating_becomes_a_filter_error():
    # The schema may hold a name the identifier rule refuses; the builder's ValueError is the filter's fault.
    with pytest.raises(FilterError) as info:
        compile_filter('"bad name" = 1', {"bad name"}, set())
    assert str(info.value) == "Invalid identifier 'bad name': must match ^[A-Za-z_][A-Za-z0-9_]*$."
    assert type(info.value.__context__) is ValueError and info.value.__suppress_context__
    assert info.value.__cause__ is None


class _Unwritable(float):
    def __repr__(self):
        raise ValueError("no text for this number")

    __str__ = __repr__


def test_a_value_error_in_the_dict_walk_becomes_a_filter_error():
    with pytest.raises(ValueError) as plain:
        cb.dict_to_condition({"price": _Unwritable(1.0)})
    assert not isinstance(plain.value, FilterError)
    with pytest.raises(FilterError, match="^no text for this number$") as info:
        compile_filter({"price": _Unwritable(1.0)}, SCALAR, MULTI)
    assert info.value.__suppress_context__


@pytest.mark.parametrize(
    "filter, error",
    [({1: "x"}, AttributeError), ({"$and": ["a = 1"]}, TypeError), (type("D", (dict,), {})(a=1), TypeError)],
)
def test_interpreter_errors_of_the_dict_path_pass_unchanged(filter, error):
    with pytest.raises(error) as info:
        compile_filter(filter, SCALAR, MULTI)
    assert not isinstance(info.value, FilterError)


def test_schema_name_errors_of_the_translator_pass_unchanged():
    with pytest.raises(TypeError):
        compile_filter("a = 1", {1}, set())


# --- cache keys ---------------------------------------------------------


@pytest.mark.parametrize(
    "filter, key",
    [
        ("  a = 1  ", ("sql", "a = 1")),
        ("a=1", ("sql", "a=1")),
        ("", ("sql", "")),
        (type("T", (str,), {})(" x "), ("sql", "x")),
        ({"b": 1, "a": {"$in": (1, 2)}}, ("dict", '{"a": {"$in": [1, 2]}, "b": 1}')),
        ({"a": {"$in": {1}}}, None),
        ({"a": b"x"}, None),
        ({1: 1, "a": 1}, None),
        # JSON would write these keys as "null", "true", "1" and "a": the key of a
        # filter the grammar refuses would be that of one it accepts.
        ({None: "x"}, None),
        ({"$or": [{True: 1}]}, None),
        ({"a": {1: "x"}}, None),
        ({type("K", (str,), {})("a"): {"$eq": 1}}, None),
        # A subclass is written from its stored value but read by the grammar
        # through its own methods, so it has no key at any depth.
        (type("D", (dict,), {})(a=1), None),
        ({"a": type("I", (int,), {})(1)}, None),
        ({"a": {"$in": type("L", (list,), {})([1])}}, None),
        ({"$and": [{"a": {"$eq": type("S", (str,), {})("x")}}]}, None),
        ({"a": None, "b": [True, 1.5, "x", (2,)]}, ("dict", '{"a": null, "b": [true, 1.5, "x", [2]]}')),
        (sqlglot.parse_one("a = 1"), None),
        (None, None),
        (5, None),
        (AttrSieve().where("x", "=", 1), ("chain", '(m."x" = ?)', (1,))),
        (AttrSieve().where("x", "=", [1]), None),
    ],
)
def test_cache_keys(filter, key):
    assert filter_cache_key(filter) == key


def test_cache_keys_ignore_dict_order_at_every_depth_and_forms_never_collide():
    a = {"$or": [{"x": 1, "y": {"$gt": 2, "$lt": 3}}], "z": [1]}
    b = {"z": (1,), "$or": ({"y": {"$lt": 3, "$gt": 2}, "x": 1},)}
    assert filter_cache_key(a) == filter_cache_key(b)
    text = json.dumps({"a": 1}, sort_keys=True)
    assert filter_cache_key(text) != filter_cache_key({"a": 1})


def test_cache_key_of_a_circular_dict_is_none():
    d = {"a": 1}
    d["self"] = [d]
    assert filter_cache_key(d) is None


class _Broken(AttrSieve):
    def cache_key(self):
        raise RuntimeError("broken")


def test_cache_key_of_a_chain_is_its_own():
    with pytest.raises(RuntimeError, match="broken"):
        filter_cache_key(_Broken())


# --- through the store's frame: the mends --------------------------------


def test_a_comment_cannot_cut_off_the_rest_of_a_composed_filter(screen):
    def compose(user):
        return "(" + user + ") AND color = 'red'"

    assert screen.positions(compose("price > 1")) == [0]
    for user in ["1=1) --", "1=1) /*", "1=1) -- x\n"]:
        with pytest.raises(FilterError, match=r"^Could not parse filter "):  # an open /* fails to tokenize
            screen.positions(compose(user))
        assert position_queries(screen.statements) == []


def test_a_second_statement_cannot_widen_a_composed_filter(screen):
    def compose(user):
        return "(" + user + ") AND price < 20"

    assert screen.positions(compose("color = 'blue'")) == [1]
    for user in ["1=1); (1=1", "1=1); SELECT 1; (1=1", "1=1;"]:
        with pytest.raises(FilterError, match=r"^Could not parse filter "):
            screen.positions(compose(user))
    assert screen.positions("price < 20;") == [0, 1]


def test_keys_differing_in_case_match_the_same_documents_every_time(screen):
    assert screen.schema()[1] == {"tags", "Tags"}
    assert screen.positions("'ml' IN tags") == [0, 1]
    assert screen.positions("'ml' IN Tags") == [2]
    for _ in range(5):  # not the set's order: the first in sorted order
        assert screen.positions("'ml' IN TAGS") == [2]


def test_an_out_of_range_integer_is_refused_before_binding(screen):
    for filter in ["price = 9223372036854775808", {"price": {"$in": [1, 2**64]}}, "price < -99999999999999999999"]:
        with pytest.raises(FilterError, match="outside the 64-bit range"):
            screen.positions(filter)
    assert screen.positions("price > -9223372036854775808") == [0, 1, 3]


def test_roles_restrict_a_compiled_filter(screen):
    assert screen.positions("color = 'red' OR 1 = 1", roles=["admin"]) == [1, 2]
    assert screen.positions({"$or": [{"color": "red"}, {"price": {"$gt": 0}}]}, roles=["staff"]) == [0, 1]


ADVERSARIAL = [
    "1=1) OR (1=1",
    "color = 'red') OR (1=1",
    "1=1; DROP TABLE docs",
    "color = 'x' UNION SELECT position FROM docs",
    "price = 1 UNION ALL SELECT 1",
    "price IN (SELECT position FROM doc_access)",
    "'admin' IN (SELECT role FROM doc_access)",
    "price = (SELECT 1)",
    "price IN (1, (SELECT 2))",
    "EXISTS (SELECT 1 FROM sqlite_master)",
    "price = 1 OR EXISTS(SELECT * FROM doc_access)",
    "load_extension('x') = 1",
    "randomblob(8) = 1",
    "sqlite_version() = '3'",
    "CAST(price AS TEXT) = '1'",
    "color = char(39)",
    "likely(price = 1)",
    "color -> '$.a' = 1",
    "color ->> 'a' = 1",
    "m.color = 'x'",
    "d.id = 'x'",
    "[m].[color] = 1",
    "main.metadata.color = 1",
    "doc_access.role = 'admin'",
    "sqlite_master.name = 'x'",
    '"doc_access" = 1',
    "rowid = 1",
    "color = `position`",
    "color = ?",
    "color = :name",
    "color = @x",
    "color = $1",
    "price = 1 -- ",
    "/* */ price = 1",
    "color REGEXP 'x'",
    "color COLLATE NOCASE = 'x'",
    "color = 'x' || 'y'",
    "' OR ''='",
    "price = 0 OR price",
    {"m.color": "x"},
    {"doc_access": {"$exists": True}},
    {"color": {"$eq": ["x') OR (1=1"]}},
    {"$or": [{"color": "x"}, {"sqlite_master": 1}]},
]


@pytest.mark.parametrize("filter", ADVERSARIAL, ids=repr)
def test_adversarial_filters_are_refused_and_run_nothing(screen, filter):
    with pytest.raises(FilterError):
        screen.positions(filter)
    assert position_queries(screen.statements) == []


def test_a_value_is_bound_never_spliced(screen):
    assert screen.positions({"color": "x') OR (1=1"}) == []
    assert screen.positions("color = 'red'' OR ''1''=''1'") == []


# --- deep nesting --------------------------------------------------------


def _deep_dict(depth, leaf=None):
    d = leaf or {"price": 1}
    for _ in range(depth):
        d = {"$not": d}
    return d


DEEP = [
    "NOT " * 100_000 + "price = 1",
    "(" * 100_000 + "price = 1" + ")" * 100_000,
    _deep_dict(100_000),
    {"$or": [_deep_dict(100_000)]},
]


@pytest.mark.parametrize("filter", DEEP, ids=["not", "parens", "dict", "dict-in-or"])
def test_deep_nesting_raises_never_crashes(filter):
    def attempt():
        for step in (lambda: filter_cache_key(filter), lambda: compile_filter(filter, SCALAR, MULTI)):
            try:
                step()
            except (RecursionError, FilterError):
                pass

    attempt()
    # Again on a thread of its own, with a stack other than the main one's;
    # an exception there would only warn, so it is kept and checked here.
    errors = []

    def in_thread():
        try:
            attempt()
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    worker = threading.Thread(target=in_thread)
    worker.start()
    worker.join()
    assert errors == []


def test_nesting_within_reach_compiles(screen):
    # SQLite's own parser stops at about 100 levels; compiling goes deeper.
    assert screen.positions(_deep_dict(40, {"price": 5})) == [0]
    assert screen.positions(_deep_dict(41, {"price": 5})) == [1, 3]
    compile_filter("NOT " * 30 + "(" * 30 + "price = 1" + ")" * 30, SCALAR, MULTI)


def test_compiles_from_many_threads_at_once():
    filters = ["color = 'red' AND price > 1", {"$or": [{"tags": {"$in": ["ml"]}}, {"price": {"$lt": 3}}]},
               "'db' IN tags OR color IS NULL"]
    expected = [compile_filter(f, SCALAR, MULTI).to_sql() for f in filters]
    results, errors = [], []

    def work():
        try:
            for _ in range(30):
                results.append([compile_filter(f, SCALAR, MULTI).to_sql() for f in filters])
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [] and results == [expected] * 120
