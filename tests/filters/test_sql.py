import pytest

from tarnix_engine import _sql
from tarnix_engine._sql import AddColumn, Query, Update, chunks, validate_identifier


def test_query_assembles_clauses_in_fixed_order_with_values_in_mark_order():
    q = Query("metadata", "m").select("m.position").where_in("m.position", [3, 5])
    q.where("m.year >= ?", 2020).order_by("m.position").limit(10)
    q.join("docs d", "d.position = m.position")  # after the conditions, still before WHERE
    assert q.build() == (
        "SELECT m.position FROM metadata m JOIN docs d ON d.position = m.position "
        "WHERE m.position IN (?,?) AND m.year >= ? ORDER BY m.position LIMIT ?",
        [3, 5, 2020, 10],
    )


@pytest.mark.parametrize(
    "make, text, params",
    [
        (lambda: Query("docs"), "SELECT * FROM docs", []),
        (lambda: Query("docs", ""), "SELECT * FROM docs", []),
        (lambda: Query("docs", alias=None).select(), "SELECT  FROM docs", []),
        (lambda: Query("t").where_in("c", []), "SELECT * FROM t WHERE c IN ()", []),
        (lambda: Query("t").where("a OR b").where("c"), "SELECT * FROM t WHERE a OR b AND c", []),
        (lambda: Query("t").group_by("a", "b").order_by("a").order_by(), "SELECT * FROM t GROUP BY a, b", []),
        (lambda: Query("t").limit(0), "SELECT * FROM t LIMIT ?", [0]),
        (lambda: Query("t").limit(2.9), "SELECT * FROM t LIMIT ?", [2]),
        (lambda: Query("t").limit(True), "SELECT * FROM t LIMIT ?", [1]),
        (lambda: Query("t").where(condition="x = ? AND y = ?", ), "SELECT * FROM t WHERE x = ? AND y = ?", []),
        (lambda: Query(table="t").where("x = ? AND y = ?", 1, None), "SELECT * FROM t WHERE x = ? AND y = ?", [1, None]),
        (lambda: Update("metadata").set(a=1, b=2).where("position = ?", 7),
         "UPDATE metadata SET a = ?, b = ? WHERE position = ?", [1, 2, 7]),
        (lambda: Update("t").set(b=1).set(a=2), "UPDATE t SET b = ?, a = ?", [1, 2]),
    ],
)
def test_built_statements(make, text, params):
    assert make().build() == (text, params)


def test_add_column_is_bare():
    assert AddColumn("metadata", "category").build() == "ALTER TABLE metadata ADD COLUMN category"


def test_builders_own_their_lists():
    values = [3, 5]
    q = Query("t").where_in("c", values)
    values.append(7)
    first, second = q.build()[1], q.build()[1]
    assert first == second == [3, 5] and first is not second
    first.append(9)
    assert q.build() == ("SELECT * FROM t WHERE c IN (?,?)", [3, 5])
    u = Update("t").set(a=1)
    assert u.build()[1] is u._params


def test_builders_are_plain_classes_holding_their_state():
    q = Query("metadata", "m")
    assert vars(q) == {
        "_from": "metadata m", "_select": ["*"], "_joins": [], "_wheres": [], "_params": [],
        "_group_by": [], "_order_by": [], "_limit": None,
    }
    assert type(q).__mro__ == (Query, object)
    assert vars(Update("t")) == {"_table": "t", "_set": [], "_wheres": [], "_params": []}
    assert vars(AddColumn("t", "c")) == {"_table": "t", "_column": "c"}


def test_non_text_select_expression_fails_at_build_and_leaves_the_builder():
    q = Query("t").select("a", 1)
    with pytest.raises(TypeError):
        q.build()
    assert q._select == ["a", 1]


class _Str(str):
    pass


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Query(None), "Argument 'table' has incorrect type (expected str, got NoneType)"),
        (lambda: Query("t", 5), "Argument 'alias' has incorrect type (expected str, got int)"),
        (lambda: Query(_Str("t")), "Argument 'table' has incorrect type (expected str, got _Str)"),
        (lambda: Query("t").join("d", None), "Argument 'on' has incorrect type (expected str, got NoneType)"),
        (lambda: Query("t").where(None), "Argument 'condition' has incorrect type (expected str, got NoneType)"),
        (lambda: Query("t").where_in("c", (1,)), "Argument 'values' has incorrect type (expected list, got tuple)"),
        (lambda: Query("t").limit(None), "Argument 'n' has incorrect type (expected int, got NoneType)"),
        (lambda: Query("t").limit("3"), "Argument 'n' has incorrect type (expected int, got str)"),
        (lambda: Update("t").where(1), "Argument 'condition' has incorrect type (expected str, got int)"),
        (lambda: AddColumn("t", None), "Argument 'column' has incorrect type (expected str, got NoneType)"),
        (lambda: chunks((1, 2), 1), "Argument 'seq' has incorrect type (expected list, got tuple)"),
        (lambda: chunks([1], None), "Argument 'size' has incorrect type (expected int, got NoneType)"),
        (lambda: validate_identifier(None), "Argument 'name' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_argument_types_are_refused_by_name(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: Query(),
        lambda: Query("t", "m", "x"),
        lambda: Query("t", table="u"),
        lambda: Query("t").where(),
        lambda: Query("t").where("c", condition="d"),
        lambda: Query("t").limit(n=1, m=2),
        lambda: Query("t").build(1),
        lambda: Update("t").set(1),
        lambda: chunks([1]),
        lambda: validate_identifier("a", name="b"),
    ],
)
def test_argument_counts_and_keywords(call):
    with pytest.raises(TypeError):
        call()


def test_limit_conversion_errors_pass_through():
    with pytest.raises(ValueError):
        Query("t").limit(float("nan"))
    with pytest.raises(OverflowError):
        Query("t").limit(float("inf"))


@pytest.mark.parametrize(
    "seq, size, expected",
    [
        (list(range(7)), 3, [[0, 1, 2], [3, 4, 5], [6]]),
        ([], 3, []),
        ([1, 2], -1, []),
        ([1, 2, 3], 2.9, [[1, 2], [3]]),
        ([1, 2], 10**30, [[1, 2]]),
        ([1, 2], -(10**30), []),
    ],
)
def test_chunks(seq, size, expected):
    assert list(chunks(seq, size)) == expected


def test_chunks_is_lazy():
    seq = [1, 2, 3]
    steps = chunks(seq, 0)  # a zero step fails only when iteration starts
    with pytest.raises(ValueError):
        next(steps)
    assert list(steps) == []
    seq = [1, 2, 3, 4]
    steps = chunks(seq, 2)
    seq.append(5)  # the offsets are fixed at the first step: 0, 2, 4
    assert next(steps) == [1, 2]
    seq[2] = "x"
    del seq[4]  # each slice reads the list as it is at that step
    assert list(steps) == [["x", 4], []]


@pytest.mark.parametrize("name", ["_", "a1", "Year_2", "select", "A" * 300])
def test_identifier_accepted(name):
    assert validate_identifier(name) is None


@pytest.mark.parametrize("name", ["", "1a", "a-b", "a b", "é", "año", "a\n", "\na", "a;", 'a"', "a\x00"])
def test_identifier_refused(name):
    with pytest.raises(ValueError) as info:
        validate_identifier(name)
    assert str(info.value) == f"Invalid identifier {name!r}: must match ^[A-Za-z_][A-Za-z0-9_]*$."


def test_module_constants():
    assert _sql.SQL_CHUNK == 500 and type(_sql.SQL_CHUNK) is int
    assert _sql._IDENTIFIER_RE.pattern == "^[A-Za-z_][A-Za-z0-9_]*$" and _sql._IDENTIFIER_RE.flags == 32  # re.UNICODE
