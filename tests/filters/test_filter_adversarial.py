"""Random filters, bent the ways a hostile user would bend them, run through a
real store under its authorizer and its cache: each is either refused with
FilterError or selects exactly the documents a plain-Python reading of the
filter picks among those granted to the roles."""

import math
import re

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from test_filter_forms_agree import ROWS, as_dict, as_text, filters, meaning
from tarnix_engine._clause_builder import FilterError
from tarnix_engine._row_screen import RowScreen

GRANTS = {"a": ["staff"], "b": ["staff", "admin"], "c": ["admin"], "e": ["staff"], "f": ["guest"], "it's": ["admin"]}
ROLES = st.one_of(st.none(), st.lists(st.sampled_from(["staff", "admin", "guest", "nobody", "STAFF", ""]), max_size=3))


@pytest.fixture(scope="module")
def store():
    # One store for every example, so an answer cached for one filter is
    # there to be wrongly handed to another.
    s = RowScreen()
    s.add([r["id"] for r in ROWS], [{**r["scalars"], **r.get("multi", {})} for r in ROWS])
    for doc, roles in GRANTS.items():
        s.grant([doc], roles)
    return s


def expected(f, roles):
    granted = {p for p, r in enumerate(ROWS) if roles is None or set(GRANTS.get(r["id"], ())) & set(roles)}
    return [p for p, row in enumerate(ROWS) if p in granted and meaning(f, p, row) is True]


COLUMN = re.compile(r"\b(color|price|PRICE|id|position|tags)\b")
NUMBER = re.compile(r"(?<=[\s(,])-?\d+\b")

# Rewritings that keep the meaning: letter case of keywords and columns,
# quoted identifiers, any whitespace the parser skips, one closing ";".
SAME = {
    "keywords lower": lambda t: re.sub(r"\b(AND|OR|NOT|IN|LIKE|BETWEEN|IS|NULL)\b", lambda m: m[0].lower(), t),
    "columns upper": lambda t: COLUMN.sub(lambda m: m[0].upper(), t),
    "double quoted": lambda t: COLUMN.sub(lambda m: f'"{m[0]}"', t),
    "backquoted": lambda t: COLUMN.sub(lambda m: f"`{m[0]}`", t),
    "bracketed": lambda t: COLUMN.sub(lambda m: f"[{m[0]}]", t),
    "odd whitespace": lambda t: "\u3000\n" + t.replace(" ", "\t\u2028 ") + "\r\n",
    "closing semicolon": lambda t: t + " ;",
    "parenthesised": lambda t: f"(({t}))",
}

# Rewritings that must be refused, whatever the filter was.
REFUSED = {
    "line comment": lambda t: t + " -- AND 1 = 0",
    "block comment": lambda t: "/* x */ " + t,
    "second statement": lambda t: t + "; SELECT position FROM doc_access",
    "or exists": lambda t: f"({t}) OR EXISTS (SELECT 1 FROM doc_access)",
    "union": lambda t: t + " UNION SELECT position FROM docs",
    "qualified column": lambda t: COLUMN.sub(lambda m: "m." + m[0], t, count=1),
    "schema column": lambda t: COLUMN.sub(lambda m: "main.metadata." + m[0], t, count=1),
    "look-alike column": lambda t: COLUMN.sub(lambda m: m[0].translate({ord("o"): "о", ord("i"): "і", ord("a"): "а"}), t, count=1),
    "column with NUL": lambda t: COLUMN.sub(lambda m: m[0] + "\x00", t, count=1),
    "internal table": lambda t: COLUMN.sub("doc_access", t, count=1),
    "master table": lambda t: COLUMN.sub("sqlite_master", t, count=1),
    "function on column": lambda t: COLUMN.sub(lambda m: f"lower({m[0]})", t, count=1),
    "json operator": lambda t: COLUMN.sub(lambda m: f"{m[0]} -> '$'", t, count=1),
    "placeholder": lambda t: NUMBER.sub("?", t, count=1),
    "named placeholder": lambda t: NUMBER.sub(":p", t, count=1),
    "subquery value": lambda t: NUMBER.sub("(SELECT position FROM doc_access)", t, count=1),
    "past 64 bits": lambda t: NUMBER.sub("9223372036854775808", t, count=1),
}


def answer(store, f, roles):
    got = store.positions(f, None if roles is None else list(roles))
    again = store.positions(f, None if roles is None else list(roles))
    assert again.tolist() == got.tolist()
    return got.tolist()


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(filters, st.sampled_from(sorted(SAME)), st.sampled_from(sorted(REFUSED)), ROLES)
def test_bent_texts_select_what_they_mean_or_are_refused(store, f, same, refused, roles):
    text = as_text(f)
    assert answer(store, SAME[same](text), roles) == expected(f, roles), SAME[same](text)
    bent = REFUSED[refused](text)
    if bent != text:
        with pytest.raises(FilterError):
            store.positions(bent, None if roles is None else list(roles))


# Values a dict may carry: each is bound as what it reads as, or refused.
EDGE_VALUES = [2**63 - 1, -(2**63), 2**63, -(2**63) - 1, math.inf, -math.inf, math.nan, True, False, None, 1.5,
               "", "\x00", "a\x00b", "x" * 5000, [1], {"$eq": 1}, (2,), {"x": 1}, b"x"]


def bound(v):
    """What a dict value binds as, or None when it must be refused."""
    if isinstance(v, bool):
        return ("ok", int(v))
    if isinstance(v, float) and math.isnan(v):
        return ("ok", None)  # SQLite binds NaN as NULL
    if isinstance(v, int):
        return ("ok", v) if -(2**63) <= v < 2**63 else None
    if v is None or isinstance(v, (float, str)):
        return ("ok", v)
    return None


def swap_values(f, value):
    """The filter with every comparison value replaced by `value`."""
    kind = f[0]
    if kind == "cmp":
        return (*f[:3], value, f[4])
    if kind == "in":
        return (f[0], f[1], [value, *f[2][1:]])
    if kind == "not":
        return (kind, swap_values(f[1], value))
    if kind in ("and", "or"):
        return (kind, swap_values(f[1], value), swap_values(f[2], value))
    return f


def has_value(f):
    return f[0] in ("cmp", "in") or (f[0] in ("and", "or", "not") and any(has_value(p) for p in f[1:]))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
@given(filters, st.sampled_from(range(len(EDGE_VALUES))), ROLES)
def test_dicts_with_edge_values_select_what_they_bind_or_are_refused(store, f, which, roles):
    value = EDGE_VALUES[which]
    swapped = swap_values(f, value)
    reading = bound(value)
    if reading is None and has_value(f):
        with pytest.raises((FilterError, TypeError)):
            store.positions(as_dict(swapped), None if roles is None else list(roles))
        return
    meant = swap_values(f, reading[1]) if reading else f
    assert answer(store, as_dict(swapped), roles) == expected(meant, roles), as_dict(swapped)
