"""What the filter translator relies on of the installed sqlglot (pinned in
requirements/constraints.txt): the node kinds and arguments its texts parse
into, and the tokenizer's comments. A sqlglot that changes any of it fails
here first, rather than by silently accepting or refusing other filters."""

from pathlib import Path

import pytest
import sqlglot
from sqlglot import exp
from sqlglot.dialects.dialect import Dialect

CONSTRAINTS = Path(__file__).resolve().parents[2] / "requirements" / "constraints.txt"


def test_installed_sqlglot_is_the_pinned_one():
    pins = dict(line.split("==") for line in CONSTRAINTS.read_text().split() if "==" in line)
    assert sqlglot.__version__ == pins["sqlglot"]


def shape(node):
    """Class names and the arguments the translator reads, nested."""
    if isinstance(node, list):
        return [shape(n) for n in node]
    if not isinstance(node, exp.Expression):
        return node
    keep = {"this", "expression", "expressions", "query", "unnest", "field", "low", "high", "negate", "escape",
            "table", "db", "catalog", "is_string", "symmetric", "is_global", "join_mark"}
    args = {k: shape(v) for k, v in node.args.items() if k in keep and v not in (None, [], False)}
    if isinstance(node, exp.Identifier):
        return node.this
    return (type(node).__name__, args) if args else type(node).__name__


def parse(text):
    return sqlglot.parse_one(text, read="sqlite", into=exp.Condition)


COL = ("Column", {"this": "a"})
ONE = ("Literal", {"this": "1"})
X = ("Literal", {"this": "x", "is_string": True})


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a = 1 AND b = 1 OR c = 1", ("Or", {"this": ("And", {"this": ("EQ", {"this": COL, "expression": ONE}),
                                                             "expression": ("EQ", {"this": ("Column", {"this": "b"}),
                                                                                   "expression": ONE})}),
                                            "expression": ("EQ", {"this": ("Column", {"this": "c"}),
                                                                  "expression": ONE})})),
        ("NOT (a = 1)", ("Not", {"this": ("Paren", {"this": ("EQ", {"this": COL, "expression": ONE})})})),
        ("a <> 1", ("NEQ", {"this": COL, "expression": ONE})),
        ("a == 1", ("EQ", {"this": COL, "expression": ONE})),
        ("1 <= a", ("LTE", {"this": ONE, "expression": COL})),
        ("a = -1", ("EQ", {"this": COL, "expression": ("Neg", {"this": ONE})})),
        ("a = TRUE", ("EQ", {"this": COL, "expression": ("Boolean", {"this": True})})),
        ("a = NULL", ("EQ", {"this": COL, "expression": "Null"})),
        ("a IN (1, 'x')", ("In", {"this": COL, "expressions": [ONE, X]})),
        ("a IN ()", ("In", {"this": COL})),
        ("'x' IN a", ("In", {"this": X, "field": COL})),
        ("a NOT IN (1)", ("Not", {"this": ("In", {"this": COL, "expressions": [ONE]})})),
        ("a IN (SELECT 1)", ("In", {"this": COL, "query": ("Subquery", {"this": ("Select", {"expressions": [ONE]})})})),
        ("a IN UNNEST(b)", ("In", {"this": COL, "unnest": ("Unnest", {"expressions": [("Column", {"this": "b"})]})})),
        ("a NOT BETWEEN 1 AND 1", ("Not", {"this": ("Between", {"this": COL, "low": ONE, "high": ONE})})),
        ("a BETWEEN SYMMETRIC 1 AND 1", ("Between", {"this": COL, "low": ONE, "high": ONE, "symmetric": True})),
        # ASYMMETRIC is the plain form, its flag left False.
        ("a BETWEEN ASYMMETRIC 1 AND 1", ("Between", {"this": COL, "low": ONE, "high": ONE})),
        ("a NOT LIKE 'x'", ("Like", {"this": COL, "expression": X, "negate": True})),
        # ESCAPE wraps the LIKE instead of arguing it.
        ("a LIKE 'x' ESCAPE 'x'", ("Escape", {"this": ("Like", {"this": COL, "expression": X}), "expression": X})),
        ("a IS NOT NULL", ("Not", {"this": ("Is", {"this": COL, "expression": "Null"})})),
        ("a ISNULL", ("Is", {"this": COL, "expression": "Null"})),
        ("m.a = 1", ("EQ", {"this": ("Column", {"this": "a", "table": "m"}), "expression": ONE})),
        ("d.m.a = 1", ("EQ", {"this": ("Column", {"this": "a", "table": "m", "db": "d"}), "expression": ONE})),
        ("c.d.m.a = 1", ("EQ", {"this": ("Column", {"this": "a", "table": "m", "db": "d", "catalog": "c"}),
                                "expression": ONE})),
        # The outer-join mark of other dialects is a function call here.
        ("a (+) = 1", ("EQ", {"this": ("Anonymous", {"this": "a"}), "expression": ONE})),
        ("a = ?", ("EQ", {"this": COL, "expression": "Placeholder"})),
        ("a = :p", ("EQ", {"this": COL, "expression": ("Placeholder", {"this": "p"})})),
        ("EXISTS (SELECT 1)", ("Exists", {"this": ("Select", {"expressions": [ONE]})})),
        ("f(a) = 1", ("EQ", {"this": ("Anonymous", {"this": "f", "expressions": [COL]}), "expression": ONE})),
        ("a -> 'x' = 1", ("EQ", {"this": ("JSONExtract", {"this": COL, "expression": ("JSONPath", {"expressions": [
            "JSONPathRoot", ("JSONPathKey", {"this": "x"})]})}), "expression": ONE})),
        ("a % 1 = 1", ("EQ", {"this": ("Mod", {"this": COL, "expression": ONE}), "expression": ONE})),
    ],
)
def test_node_shapes(text, expected):
    assert shape(parse(text)) == expected


# Every argument each node kind the translator takes can carry, and the kinds
# derived from it (which the translator reads as that kind). One that a newer
# sqlglot adds must be read or refused by the translator before this changes.
@pytest.mark.parametrize(
    "name, args, subclasses",
    [
        ("And", {"this", "expression"}, set()),
        ("Or", {"this", "expression"}, set()),
        ("Not", {"this"}, set()),
        ("Paren", {"this"}, set()),
        ("Neg", {"this"}, set()),
        ("EQ", {"this", "expression"}, set()),
        ("NEQ", {"this", "expression"}, set()),
        ("GT", {"this", "expression"}, set()),
        ("GTE", {"this", "expression"}, set()),
        ("LT", {"this", "expression"}, set()),
        ("LTE", {"this", "expression"}, set()),
        ("In", {"this", "expressions", "query", "unnest", "field", "is_global"}, set()),
        ("Between", {"this", "low", "high", "symmetric"}, set()),
        ("Like", {"this", "expression", "negate"}, set()),
        ("Is", {"this", "expression", "negate"}, set()),
        ("Column", {"this", "table", "db", "catalog", "join_mark", "shadow"}, {"Pseudocolumn"}),
        ("Identifier", {"this", "quoted", "global_", "temporary"}, set()),
        ("Literal", {"this", "is_string"}, set()),
        ("Boolean", {"this"}, set()),
        ("Null", set(), set()),
    ],
)
def test_arguments_and_subclasses_of_the_node_kinds_taken(name, args, subclasses):
    def derived(cls):
        return {d for sub in cls.__subclasses__() for d in {sub} | derived(sub)}

    cls = getattr(exp, name)
    assert set(cls.arg_types) == args
    # Only sqlglot's own: tests derive kinds of their own too.
    assert {sub.__name__ for sub in derived(cls) if sub.__module__.startswith("sqlglot.")} == subclasses


def test_flags_that_other_dialects_set_on_those_kinds():
    def parse_in(text, read):
        return sqlglot.parse_one(text, read=read, into=exp.Condition)

    assert parse_in("a IS NOT NULL", "postgres").args["negate"] is True
    assert parse_in("a GLOBAL IN (1)", "clickhouse").args["is_global"] is True
    assert parse_in("a (+) = 1", "oracle").this.args["join_mark"] is True
    assert parse_in("#a = 1", "tsql").this.this.args["temporary"] is True
    assert parse_in("##a = 1", "tsql").this.this.args["global_"] is True


def test_class_relations_the_refusals_depend_on():
    # EXISTS and JSON arrows are functions; sub-queries are refused before functions.
    assert issubclass(exp.Exists, exp.Func) and issubclass(exp.JSONExtract, exp.Func)
    assert issubclass(exp.Anonymous, exp.Func) and issubclass(exp.Lower, exp.Func)
    assert issubclass(exp.Select, exp.Query) and not issubclass(exp.Subquery, exp.Func)
    for cls in (exp.Literal, exp.Boolean, exp.Null, exp.Column, exp.Not, exp.And, exp.Block):
        assert issubclass(cls, exp.Expression)
    assert exp.Column(this=exp.to_identifier("Ab")).name == "Ab"
    assert parse("lower(a) = 1").this.sql_name() == "LOWER"


def test_comments_and_statement_breaks_as_the_tokenizer_sees_them():
    # The filter parser checks tokens only when one of these can occur.
    tokenizer = Dialect.get_or_raise("sqlite").tokenizer_class
    assert tokenizer.COMMENTS == ["--", ("/*", "*/")]
    assert set(tokenizer._COMMENTS) == {"--", "/*", "{#"}
    tokens = Dialect.get_or_raise("sqlite").tokenize("a = 1 -- x\n; b = 'c -- d;'")
    assert [t.token_type.name for t in tokens] == ["VAR", "EQ", "NUMBER", "SEMICOLON", "VAR", "EQ", "STRING"]
    assert tokens[2].comments == [" x"]
    # Two statements come back as one block in this version: the parser refuses it either way.
    assert type(parse("a = 1; a = 1")).__name__ == "Block"
