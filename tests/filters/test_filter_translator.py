"""The allowlist translator: sqlglot trees rebuilt as condition nodes, each
column resolved against the schema, everything else refused."""

import itertools

import pytest
import sqlglot
from sqlglot import exp

from tarnix_engine import _clause_builder as cb
from tarnix_engine._attr_sieve import _And, _Condition, _Constant, _Not
from tarnix_engine._clause_builder import FilterError, _literal_value, _Translator, parse_filter

SCALAR = {"color", "price"}
MULTI = {"tags"}
TAGS = "(m.position IN (SELECT position FROM metadata_multi WHERE key = ? AND value {}))"


def translate(filter, scalar=SCALAR, multi=MULTI):
    return _Translator(set(scalar), set(multi)).build(parse_filter(filter))


def rendered(filter, **schema):
    params = []
    return translate(filter, **schema).render(params), params


@pytest.mark.parametrize(
    "text, sql, params",
    [
        ("price > 10", '(m."price" > ?)', [10]),
        ("10 < price", '(m."price" > ?)', [10]),
        ("10 >= price", '(m."price" <= ?)', [10]),
        ("PRICE = 1", '(m."price" = ?)', [1]),
        ("ID = 'x'", "(d.id = ?)", ["x"]),
        ("position != 3", "(m.position != ?)", [3]),
        ("'x' = tags", TAGS.format("= ?"), ["tags", "x"]),
        ("tags != 'x'", TAGS.format("!= ?"), ["tags", "x"]),
        ("1 = 1", "(? = ?)", [1, 1]),
        ("NULL = NULL", "(? = ?)", [None, None]),
        ("'a' < 'b'", "(? < ?)", ["a", "b"]),
        ("price = TRUE", '(m."price" = ?)', [1]),
        ("price = FALSE", '(m."price" = ?)', [0]),
        ("price = NULL", '(m."price" = ?)', [None]),
        ("price = -5", '(m."price" = ?)', [-5]),
        ("price > -2.5", '(m."price" > ?)', [-2.5]),
        ("price = 1.0", '(m."price" = ?)', [1.0]),
        ("price = -9223372036854775808", '(m."price" = ?)', [-(2**63)]),
        ("price = 9223372036854775807", '(m."price" = ?)', [2**63 - 1]),
        ("tags IN ('a', 'b')", TAGS.format("IN (?,?)"), ["tags", "a", "b"]),
        ("price NOT IN (1, 2)", '(NOT (m."price" IN (?,?)))', [1, 2]),
        ("'x' IN tags", TAGS.format("= ?"), ["tags", "x"]),
        ("'x' NOT IN tags", "(NOT " + TAGS.format("= ?") + ")", ["tags", "x"]),
        ("price BETWEEN 1 AND 5", '(m."price" BETWEEN ? AND ?)', [1, 5]),
        ("price NOT BETWEEN 1 AND 5", '(NOT (m."price" BETWEEN ? AND ?))', [1, 5]),
        ("price BETWEEN ASYMMETRIC 1 AND 5", '(m."price" BETWEEN ? AND ?)', [1, 5]),
        ("tags LIKE 'r%'", TAGS.format("LIKE ?"), ["tags", "r%"]),
        ("color NOT LIKE 'r%'", '(NOT (m."color" LIKE ?))', ["r%"]),
        ("color IS NULL", '(m."color" IS NULL)', []),
        ("color IS NOT NULL", '(NOT (m."color" IS NULL))', []),
        ("(color = 'red')", '(m."color" = ?)', ["red"]),
        ("NOT NOT color = 'red'", '(NOT (NOT (m."color" = ?)))', ["red"]),
        ("\"Color\" = 'red'", '(m."color" = ?)', ["red"]),
        ("color = 'a' OR (price = 1 AND price = 2)", '((m."color" = ?) OR ((m."price" = ?) AND (m."price" = ?)))',
         ["a", 1, 2]),
        ("color = 'a' AND (price = 1 AND tags = 'x')",
         '((m."color" = ?) AND (m."price" = ?) AND ' + TAGS.format("= ?") + ")", ["a", 1, "tags", "x"]),
    ],
)
def test_accepted_forms(text, sql, params):
    assert rendered(text) == (sql, params)


def test_node_kinds():
    assert isinstance(translate("1 = 1"), _Constant)
    three = translate("color = 'a' AND price = 1 AND tags = 'x'")
    assert type(three) is _And and [type(p) for p in three.parts] == [_Condition] * 3
    cond = translate("'x' IN tags")
    assert (cond.column, cond.op, cond.values, cond.multi) == ("tags", "=", ("x",), True)
    cond = translate("tags IN ('b', 'a')")
    assert (cond.op, cond.values, cond.multi) == ("IN", ("b", "a"), True)
    assert translate("color BETWEEN 1 AND 2").multi is False
    assert type(translate("price NOT IN (1)")) is _Not


def test_dict_and_text_translate_alike():
    pairs = [
        ({"price": {"$gte": 1, "$lt": 5}}, "price >= 1 AND price < 5"),
        ({"$or": [{"color": "a"}, {"tags": {"$contains": "x"}}]}, "color = 'a' OR tags = 'x'"),
        ({"color": {"$exists": False}}, "color IS NULL"),
        ({"$not": {"tags": {"$nin": ["a"]}}}, "NOT (NOT tags IN ('a'))"),
    ]
    for d, text in pairs:
        assert rendered(d) == rendered(text)


@pytest.mark.parametrize(
    "text, message",
    [
        ("tags > 'a'", "Range comparison '>' is not supported on multi-valued column 'tags': its values are stored as "
                       "text, so the result would compare strings, not numbers. Use =, !=, IN or LIKE."),
        ("'a' < tags", "Range comparison '>' is not supported on multi-valued column 'tags': its values are stored as "
                       "text, so the result would compare strings, not numbers. Use =, !=, IN or LIKE."),
        ("color = price", "Expected a literal value, got 'price'."),
        ("size = price", "Unknown column 'size' in filter."),
        ("Size = 1", "Unknown column 'Size' in filter."),
        ("size = 1 AND weight = 2", "Unknown column 'size' in filter."),
        ("price = -'x'", "Expected a literal value, got \"-'x'\"."),
        ("price = -price", "Expected a literal value, got '-price'."),
        ("'x' IN color", "'<value> IN color' only works on a multi-valued column; use 'color = <value>' for a scalar one."),
        ("'x' IN id", "'<value> IN id' only works on a multi-valued column; use 'id = <value>' for a scalar one."),
        ("price IN ()", "IN needs a non-empty list of values."),
        ("price IN (SELECT 1)", "Subqueries are not allowed in a filter."),
        ("price IN UNNEST(tags)", "Subqueries are not allowed in a filter."),
        ("price IN (1, price)", "Expected a literal value, got 'price'."),
        ("tags BETWEEN 'a' AND 'b'", "BETWEEN is not supported on multi-valued column 'tags': its values are stored as "
                                     "text. Use =, !=, IN or LIKE."),
        ("tags IS NULL", "Multi-valued column 'tags' can only be compared with =, !=, IN or LIKE against a literal "
                         "(e.g. \"tags = 'x'\" or \"'x' IN tags\")."),
        ("color IS TRUE", "IS is only supported as IS NULL / IS NOT NULL."),
        ("(color) = 'red'", "Expected a column, got '(color)'. A condition compares one column with literal values."),
        ("color", "Unsupported filter syntax: COLUMN ('color')."),
        ("TRUE", "Unsupported filter syntax: BOOLEAN ('TRUE')."),
        ("-price", "Unsupported filter syntax: NEG ('-price')."),
        ("color GLOB 'a*'", "Unsupported filter syntax: GLOB (\"color GLOB 'a*'\")."),
        ("color LIKE 'a!%' ESCAPE '!'", "LIKE ... ESCAPE is not supported."),
        ("color NOT LIKE 'a!%' ESCAPE '!'", "LIKE ... ESCAPE is not supported."),
        ("m.color = 'red'", "Table-qualified columns are not allowed: 'm.color'."),
        ("price + 1 = 2", "Arithmetic is not supported in a filter ('price + 1'); compare a column with a literal."),
        ("price = 2 * 3", "Arithmetic is not supported in a filter ('2 * 3'); compare a column with a literal."),
        ("myfunc(color) = 1", "Function 'myfunc' is not allowed in a filter."),
        ("lower(color) = 'x'", "Function 'LOWER' is not allowed in a filter."),
        ("abs(price)", "Function 'ABS' is not allowed in a filter."),
        ("color = ?", "Placeholders are not supported; write the value inline."),
        ("EXISTS (SELECT 1)", "Subqueries are not allowed in a filter."),
        ("price = 9223372036854775808", "Integer literal '9223372036854775808' is outside the 64-bit range."),
        ("price > -9223372036854775809", "Integer literal '-9223372036854775809' is outside the 64-bit range."),
        ("1 = 99999999999999999999", "Integer literal '99999999999999999999' is outside the 64-bit range."),
    ],
)
def test_refusals(text, message):
    with pytest.raises(FilterError) as info:
        translate(text)
    assert str(info.value) == message
    assert info.value.__cause__ is None


# Flags that sqlglot keeps as one more argument of a node kind the translator
# takes. Read as the plain form, each would select other documents: BETWEEN
# SYMMETRIC 5 AND 1 would select none, a negated IS the NULLs.
FLAGGED = [
    ("price BETWEEN SYMMETRIC 5 AND 1", "sqlite",
     "BETWEEN SYMMETRIC is not supported; write the smaller bound first: '<column> BETWEEN <low> AND <high>'."),
    ("color IS NOT NULL", "postgres", "A negated IS node is not supported; write 'NOT (<column> IS NULL)'."),
    ("color GLOBAL IN ('a')", "clickhouse", "GLOBAL IN is not supported; write IN."),
    ("color (+) = 'a'", "oracle", "Outer-join marks (+) are not allowed in a filter; compare the column itself."),
    ("#color = 'a'", "tsql", "Names marked with '#' are not allowed in a filter; write the column name alone."),
    ("##color = 'a'", "tsql", "Names marked with '#' are not allowed in a filter; write the column name alone."),
]


@pytest.mark.parametrize("negated", [False, True], ids=["plain", "not"])
@pytest.mark.parametrize("text, read, message", FLAGGED, ids=[row[0] for row in FLAGGED])
def test_flags_the_translator_does_not_read_are_refused(text, read, message, negated):
    tree = sqlglot.parse_one(f"NOT ({text})" if negated else text, read=read, into=exp.Condition)
    with pytest.raises(FilterError) as info:
        _Translator(SCALAR, MULTI).build(tree)
    assert str(info.value) == message


def _col(**args):
    return exp.Column(this=exp.to_identifier("color"), **args)


class _Between(exp.Between):
    pass


# Trees built by hand may set any argument; one that no step reads is refused
# wherever the node stands, and an argument left None, False or [] is not set.
@pytest.mark.parametrize(
    "tree, message",
    [
        (exp.EQ(this=_col(catalog=exp.to_identifier("c")), expression=exp.convert("a")),
         "Table-qualified columns are not allowed: 'c.color'."),
        (exp.EQ(this=_col(shadow=True), expression=exp.convert("a")),
         "Unsupported filter syntax: COLUMN with SHADOW; write the condition without it."),
        (exp.EQ(this=exp.column("color"), expression=exp.convert("a"), extra_=exp.convert(1)),
         "Unsupported filter syntax: EQ with EXTRA; write the condition without it."),
        (exp.In(this=exp.column("color"), expressions=[exp.Literal(this="a", is_string=True, extra=True)]),
         "Unsupported filter syntax: LITERAL with EXTRA; write the condition without it."),
        (exp.EQ(this=exp.convert(1), expression=exp.Neg(this=exp.convert(1), extra=[1])),
         "Unsupported filter syntax: NEG with EXTRA; write the condition without it."),
        (exp.Not(this=exp.Paren(this=exp.convert(True), extra=True)),
         "Unsupported filter syntax: PAREN with EXTRA; write the condition without it."),
        (exp.And(this=exp.column("color").eq("a"), expression=exp.column("price").eq(1), extra=True),
         "Unsupported filter syntax: AND with EXTRA; write the condition without it."),
        (_Between(this=exp.column("price"), low=exp.convert(5), high=exp.convert(1), symmetric=True),
         "BETWEEN SYMMETRIC is not supported; write the smaller bound first: '<column> BETWEEN <low> AND <high>'."),
    ],
)
def test_arguments_no_step_reads_are_refused_in_hand_made_trees(tree, message):
    with pytest.raises(FilterError) as info:
        _Translator(SCALAR, MULTI).build(tree)
    assert str(info.value) == message


def test_arguments_left_unset_are_no_flags():
    tree = exp.EQ(this=_col(join_mark=False, shadow=None), expression=exp.convert("a"), extra=[])
    assert _Translator(SCALAR, MULTI).build(tree).render([]) == '(m."color" = ?)'


def test_an_integer_literal_too_long_to_convert_is_refused():
    digits = "9" * 5000
    with pytest.raises(FilterError) as info:
        translate(f"price = {digits}")
    assert str(info.value) == f"Integer literal '{digits}' is outside the 64-bit range."
    assert info.value.__suppress_context__ and isinstance(info.value.__context__, ValueError)


def test_literal_values():
    assert _literal_value(exp.Literal.string("5")) == "5"
    assert _literal_value(exp.Literal.number("5")) == 5 and type(_literal_value(exp.Literal.number("5"))) is int
    assert _literal_value(node=exp.Literal.number("1e3")) == 1000.0
    with pytest.raises(FilterError) as info:
        _literal_value(exp.Literal(this="12ab", is_string=False))
    assert str(info.value) == "Invalid numeric literal '12ab'."
    assert info.value.__suppress_context__ and isinstance(info.value.__context__, ValueError)


# --- schema names --------------------------------------------------------


def test_builtin_columns_win_over_schema_names():
    assert rendered("ID = 'x'", scalar={"id"}, multi={"Id"}) == ("(d.id = ?)", ["x"])
    assert rendered("Position = 1", scalar={"POSITION"}) == ("(m.position = ?)", [1])


def test_a_name_that_is_both_scalar_and_multi_is_ambiguous():
    with pytest.raises(FilterError, match=r"^Column 'TAGS' holds scalar values for some documents and lists for "
                                          r"others, so a filter on it is ambiguous\.$"):
        translate("TAGS = 'x'", scalar={"Tags"}, multi={"tags"})


def test_names_resolve_to_the_stored_spelling():
    assert rendered("COLOR = 1", scalar={"Color"}) == ('(m."Color" = ?)', [1])
    assert rendered("'x' IN TAGS", multi={"Tags"}) == (TAGS.format("= ?"), ["Tags", "x"])


@pytest.mark.parametrize("order", list(itertools.permutations(["Tags", "tags", "TAGS"])))
def test_keys_differing_in_case_resolve_the_same_way_in_every_run(order):
    # Set order varies with string hashing from run to run; so must not the result.
    keys = set()
    for key in order:
        keys.add(key)
    tr = _Translator(set(), keys)
    chosen = {spelling: tr.build(parse_filter(f"{spelling} = 'x'")).column for spelling in ["tags", "Tags", "TAGS", "tAgS"]}
    # The filter's exact spelling when stored, else the first in sorted order.
    assert chosen == {"tags": "tags", "Tags": "Tags", "TAGS": "TAGS", "tAgS": "TAGS"}


def test_translator_arguments():
    for bad in (frozenset(), None, type("S", (set,), {})()):
        with pytest.raises(TypeError, match="scalar_columns"):
            _Translator(bad, set())
        with pytest.raises(TypeError, match="multi_keys"):
            _Translator(set(), bad)
    for element in (1, None, type("N", (str,), {})("a")):
        with pytest.raises(TypeError):
            _Translator({element}, set())
    assert _Translator(scalar_columns={"A"}, multi_keys=set())._scalar == {"a": "A"}
    with pytest.raises(TypeError):
        _Translator(set())


def test_translation_leaves_the_tree_alone_and_repeats():
    tree = sqlglot.parse_one("color = 'a' OR tags IN ('x')", read="sqlite", into=exp.Condition)
    before = repr(tree)
    tr = _Translator(SCALAR, MULTI)
    first, second = [], []
    assert tr.build(tree).render(first) == tr.build(node=tree).render(second) and first == second
    assert repr(tree) == before


def test_a_long_flat_junction_does_not_recurse_per_operand():
    text = " OR ".join(f"price = {i}" for i in range(5000))
    node = translate(text)
    assert len(node.parts) == 5000 and node.parts[-1].values == (4999,)


def test_deep_nesting_raises_recursion_error():
    tree = exp.EQ(this=exp.column("price"), expression=exp.Literal.number(1))
    for _ in range(100_000):
        tree = exp.Not(this=tree)
    with pytest.raises(RecursionError):
        _Translator(SCALAR, MULTI).build(tree)


class _Renaming(_Translator):
    """Maps every column to price, through the overridable resolver."""

    def _resolve(self, node):
        return "price", False


def test_overrides_of_the_private_steps_are_honoured(monkeypatch):
    params = []
    assert _Renaming(SCALAR, MULTI).build(parse_filter("anything = 1")).render(params) == '(m."price" = ?)'
    monkeypatch.setattr(cb, "_Translator", _Renaming)
    assert cb.compile_filter("whatever IS NULL", set(), set()).to_sql() == ('(m."price" IS NULL)', [])


def test_the_schema_is_fixed_when_the_translator_is_made():
    scalar = {"color"}
    tr = _Translator(scalar, set())
    scalar.add("size")
    with pytest.raises(FilterError, match="Unknown column 'size'"):
        tr.build(parse_filter("size = 1"))
    with pytest.raises(AttributeError):
        tr._scalar = {"size": "size"}
    with pytest.raises(AttributeError):
        tr.__init__({"size"}, set())
    with pytest.raises(AttributeError, match="_scalar"):
        _Translator.__new__(_Translator).build(parse_filter("color = 1"))
