"""Filter texts and dicts brought to one shape: a sqlglot condition tree."""

import pytest
import sqlglot
from sqlglot import exp

from tarnix_engine._clause_builder import FilterError, _field_condition, _literal, dict_to_condition, parse_filter


def sql(tree):
    return tree.sql()


def test_filter_error_is_a_value_error_with_its_message():
    assert FilterError.__bases__ == (ValueError,)
    assert FilterError.__module__ == "tarnix_engine._clause_builder"
    assert FilterError.__doc__ == "A metadata filter is malformed, unsafe, or names an unknown column."
    assert str(FilterError("x")) == "x"


def test_parsed_expression_returned_as_is():
    tree = sqlglot.parse_one("a = 1", read="sqlite", into=exp.Condition)
    assert parse_filter(tree) is tree
    assert parse_filter(filter=tree.this) is tree.this


def test_text_is_parsed_with_its_blanks_in_the_sqlite_dialect():
    tree = parse_filter("  a = 1 AND b IS NULL\n")
    assert isinstance(tree, exp.And) and sql(tree) == "a = 1 AND b IS NULL"


@pytest.mark.parametrize(
    "filter, message",
    [
        ("", "Filter string is empty."),
        (" \t\n", "Filter string is empty."),
        ([1], "Unsupported filter type list; pass a SQL string, a dict or a AttrSieve."),
        (5, "Unsupported filter type int; pass a SQL string, a dict or a AttrSieve."),
        (None, "Unsupported filter type NoneType; pass a SQL string, a dict or a AttrSieve."),
    ],
)
def test_parse_refusals(filter, message):
    with pytest.raises(FilterError) as info:
        parse_filter(filter)
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_sqlglot_errors_become_filter_errors_with_their_text():
    with pytest.raises(FilterError) as info:
        parse_filter("a = = 1")
    error = info.value
    assert str(error).startswith("Could not parse filter 'a = = 1': ")
    assert isinstance(error.__context__, sqlglot.errors.SqlglotError)
    assert str(error) == ("Could not parse filter 'a = = 1': the condition goes wrong at '=' (column 5). " + HOW)
    assert error.__cause__ is None and error.__suppress_context__


HOW = ("Write each condition as a column, an operator and a value, as in \"price > 10\" or \"color = 'red'\", and "
       "join conditions with AND, OR and NOT.")


# sqlglot's own words for a condition cut short or run on name its classes;
# the message says where the text goes wrong instead.
@pytest.mark.parametrize(
    "text, where",
    [("colr = ", "'=' (column 6)"), ("color IN (1", "'1' (column 11)"), ("a = 1 AN b = 2", "'AN' (column 8)"),
     ("a LIKE", "'LIKE' (column 6)"), ("a BETWEEN 1", "'1' (column 11)")],
)
def test_a_typo_is_refused_without_the_parser_s_class_names(text, where):
    with pytest.raises(FilterError) as info:
        parse_filter(text)
    assert str(info.value) == f"Could not parse filter {text!r}: the condition goes wrong at {where}. {HOW}"


def test_other_parser_errors_keep_their_own_words():
    with pytest.raises(FilterError) as info:
        parse_filter('color = "red')
    assert str(info.value) == f"Could not parse filter 'color = \"red': {info.value.__context__}"


@pytest.mark.parametrize(
    "text",
    [
        "(1=1) --) AND color = 'red'",
        "a = 1 --",
        "a = 1 /* */ AND b = 2",
        "/* lead */ a = 1",
        "a = 1 -- x\nAND b = 2",
        "a = 'x\\' -- '",  # no backslash escapes in SQLite: the quote ends at the backslash
        "a = 1 {# x #} AND b = 2",  # the tokenizer's template comment, in every dialect
        "{##} a = 1",
    ],
)
def test_comments_are_refused(text):
    with pytest.raises(FilterError, match=r"^Could not parse filter .*: comments are not allowed in a filter\.$"):
        parse_filter(text)


@pytest.mark.parametrize("text", ["x = 1; y = 2", "(1=1); (1=1)", "x = 1;;", "; x = 1", "x = 1; -- y"])
def test_more_than_one_statement_is_refused(text):
    with pytest.raises(FilterError, match=r"^Could not parse filter .*: "):
        parse_filter(text)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("a = 1;", "a = 1"),
        ("a = 'x -- y; /* z */'", "a = 'x -- y; /* z */'"),
        ('"a--b" = 1', '"a--b" = 1'),
        ("a = 'it''s -- ok'", "a = 'it''s -- ok'"),
        ("a = '{# x #}'", "a = '{# x #}'"),
        ("a = 1 - -1", "a = 1 - -1"),
    ],
)
def test_look_alikes_of_comments_and_breaks_are_accepted(text, expected):
    assert sql(parse_filter(text)) == expected


# --- dicts -------------------------------------------------------------------


@pytest.mark.parametrize(
    "filter, expected",
    [
        ({"category": "eng"}, "category = 'eng'"),
        ({"year": {"$gte": 2020, "$lt": 2024}}, "year >= 2020 AND year < 2024"),
        ({"a": 1, "b": {"$ne": "x"}}, "a = 1 AND b <> 'x'"),
        ({"$not": {"a": 1}}, "NOT (a = 1)"),
        ({"$or": [{"a": 1}, {"b": 2, "c": 3}]}, "a = 1 OR (b = 2 AND c = 3)"),
        ({"$and": ({"a": 1},)}, "a = 1"),
        ({"a": {"$in": (1, 2)}}, "a IN (1, 2)"),
        ({"a": {"$in": [1, 2]}}, "a IN (1, 2)"),
        ({"a": {"$nin": ["x"]}}, "NOT a IN ('x')"),
        ({"a": {"$like": "r%"}}, "a LIKE 'r%'"),
        ({"a": {"$contains": "x"}}, "a = 'x'"),
        ({"a": {"$exists": True}}, "NOT a IS NULL"),
        ({"a": {"$exists": "no"}}, "NOT a IS NULL"),
        ({"a": {"$exists": 0}}, "a IS NULL"),
        ({"a": {"$exists": ""}}, "a IS NULL"),
        ({"a": {"$eq": None}}, "a = NULL"),
        ({"a": True, "b": 1.5, "c": -3}, "a = TRUE AND b = 1.5 AND c = -3"),
        ({"Mixed Case": 1}, '"Mixed Case" = 1'),
    ],
)
def test_dict_trees(filter, expected):
    assert sql(dict_to_condition(filter)) == expected
    assert sql(parse_filter(filter)) == expected


def test_dict_node_kinds():
    assert isinstance(dict_to_condition({"a": "x"}), exp.EQ)  # one part: no AND around it
    tree = dict_to_condition({"$not": {"a": 1}})
    assert isinstance(tree, exp.Not) and isinstance(tree.this, exp.Paren) and isinstance(tree.this.this, exp.EQ)
    tree = dict_to_condition({"a": {"$nin": [1]}})
    assert isinstance(tree, exp.Not) and isinstance(tree.this, exp.In)
    assert isinstance(dict_to_condition({"a": {"$exists": 1}}).this, exp.Is)
    assert sorted(sql(n) for n in dict_to_condition({"a": {"$in": {1, 2}}}).expressions) == ["1", "2"]


def test_dict_is_not_modified():
    f = {"$or": [{"a": {"$in": [1, 2]}}, {"b": 1}]}
    before = repr(f)
    dict_to_condition(f)
    assert repr(f) == before


@pytest.mark.parametrize(
    "filter, message",
    [
        ({}, "A filter dict must be a non-empty dict."),
        ({"$and": [{}]}, "A filter dict must be a non-empty dict."),
        ({"$not": {}}, "A filter dict must be a non-empty dict."),
        ({"$and": []}, "$and expects a non-empty list of filter dicts."),
        ({"$and": {}}, "$and expects a non-empty list of filter dicts."),
        ({"$or": "a = 1"}, "$or expects a non-empty list of filter dicts."),
        ({"$AND": [{"a": 1}]}, "Unknown top-level operator '$AND'."),
        ({"$eq": 1}, "Unknown top-level operator '$eq'."),
        ({"a": {}}, "Empty operator dict for field 'a'."),
        ({"a": {"$in": []}}, "$in on 'a' expects a non-empty list."),
        ({"a": {"$in": "xy"}}, "$in on 'a' expects a non-empty list."),
        ({"a": {"$in": {"x": 1}}}, "$in on 'a' expects a non-empty list."),
        ({"a": {"$nin": frozenset({1})}}, "$nin on 'a' expects a non-empty list."),
        ({"a": {"$EQ": 1}}, "Unknown operator '$EQ' on field 'a'."),
        ({"year": {"$regex": "x"}}, "Unknown operator '$regex' on field 'year'."),
        ({"a": [1, 2]}, "Unsupported filter value [1, 2] (list)."),
        ({"a": {"$eq": {"b": 1}}}, "Unsupported filter value {'b': 1} (dict)."),
        ({"a": {"$in": [1, b"x"]}}, "Unsupported filter value b'x' (bytes)."),
        ({"a": 1, "$or": []}, "$or expects a non-empty list of filter dicts."),
        ({"a": 2**63}, "Integer literal '9223372036854775808' is outside the 64-bit range."),
        ({"a": {"$in": [1, -(2**63) - 1]}}, "Integer literal '-9223372036854775809' is outside the 64-bit range."),
    ],
)
def test_dict_refusals(filter, message):
    with pytest.raises(FilterError) as info:
        dict_to_condition(filter)
    assert str(info.value) == message
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_an_integer_too_long_to_write_is_refused_by_size():
    with pytest.raises(FilterError, match=r"^Integer literal of 16610 bits is outside the 64-bit range\.$"):
        dict_to_condition({"a": 10**5000})


class _SubDict(dict):
    pass


@pytest.mark.parametrize(
    "filter, error, text",
    [
        (_SubDict(a=1), TypeError, "Argument 'filter' has incorrect type (expected dict, got _SubDict)"),
        ({"$and": ["a = 1"]}, TypeError, "Argument 'filter' has incorrect type (expected dict, got str)"),
        ({"$not": None}, TypeError, "Argument 'filter' has incorrect type (expected dict, got NoneType)"),
        ({"$or": [_SubDict(a=1)]}, TypeError, "(expected dict, got _SubDict)"),
        ({"a": {1: "x"}}, TypeError, "Argument 'op' has incorrect type (expected str, got int)"),
        ({1: "x"}, AttributeError, "'int' object has no attribute 'startswith'"),
        ({"$or": [{2: 1}]}, AttributeError, "'int' object has no attribute 'startswith'"),
        ({"a": 1, (1, 2): "x"}, AttributeError, "the keys of a filter dict must be strings (a field name, '$and', "
                                                "'$or' or '$not'), got (1, 2)"),
        ({None: 1}, AttributeError, "'NoneType' object has no attribute 'startswith': the keys of a filter dict "
                                    "must be strings"),
    ],
)
def test_interpreter_errors_of_the_dict_path(filter, error, text):
    with pytest.raises(error) as info:
        parse_filter(filter)
    assert not isinstance(info.value, FilterError)
    assert text in str(info.value)


def test_field_subclass_refused_in_an_operator_entry():
    class Name(str):
        pass

    with pytest.raises(TypeError, match="Argument 'field'"):
        dict_to_condition({Name("a"): {"$eq": 1}})
    assert sql(dict_to_condition({Name("a"): 1})) == "a = 1"


def test_private_builders():
    assert sql(_field_condition("a", "$lte", 3)) == "a <= 3"
    assert sql(_field_condition(field="a", op="$exists", operand=[])) == "a IS NULL"
    assert isinstance(_literal(None), exp.Null) and _literal("x").is_string
    with pytest.raises(TypeError):
        _field_condition("a", "$eq")


def test_replaced_module_functions_are_honoured(monkeypatch):
    import tarnix_engine._clause_builder as cb

    seen = []
    literal, walk = cb._literal, cb.dict_to_condition
    monkeypatch.setattr(cb, "_literal", lambda value: seen.append(value) or literal(value))
    # Nested dicts go through the module's dict_to_condition as it is now.
    monkeypatch.setattr(cb, "dict_to_condition", lambda f: exp.column("swapped").eq(1) if "b" in f else walk(f))
    tree = parse_filter({"$or": [{"a": {"$in": [1, 2]}}, {"b": 3}]})
    assert sql(tree) == "a IN (1, 2) OR swapped = 1"
    assert seen == [1, 2]
