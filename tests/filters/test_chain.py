import copy
import pickle

import pytest

from tarnix_engine import _attr_sieve as sv
from tarnix_engine._attr_sieve import AttrSieve, _And, _Not, _Or, condition

F = AttrSieve().where("year", ">=", 2020)
G = AttrSieve().where("lang", "=", "en")
H = AttrSieve().where_any("tags", "=", "ml")
MULTI = "(m.position IN (SELECT position FROM metadata_multi WHERE key = ? AND value = ?))"


class Owner:
    def __init__(self):
        self.calls = []

    def positions(self, *args):
        self.calls.append(args)
        return "positions array"


def test_empty_filter():
    empty = AttrSieve()
    assert empty.to_sql() == ("1", [])
    assert empty.scalar_columns() == set()
    assert empty.cache_key() == ("chain", "1", ())
    assert repr(empty) == "AttrSieve('1', params=[])"
    assert bool(empty) and empty._node is None and empty._owner is None


def test_one_condition():
    assert F.to_sql() == ('(m."year" >= ?)', [2020])
    assert F.scalar_columns() == {"year"}
    assert F.cache_key() == ("chain", '(m."year" >= ?)', (2020,))
    assert repr(F) == "AttrSieve('(m.\"year\" >= ?)', params=[2020])"


@pytest.mark.parametrize(
    "chain, text, params",
    [
        (AttrSieve().where("a", "=", 1).where("b", "<", 2).where("c", "!=", 3),
         '((m."a" = ?) AND (m."b" < ?) AND (m."c" != ?))', [1, 2, 3]),
        (AttrSieve().where("x", "IN", ["p", "q"]), '(m."x" IN (?,?))', ["p", "q"]),
        (AttrSieve().where("x", "IN", "ab"), '(m."x" IN (?,?))', ["a", "b"]),
        (AttrSieve().where("x", "IN", {7}), '(m."x" IN (?))', [7]),
        (AttrSieve().where("x", "=", [1, 2]), '(m."x" = ?)', [[1, 2]]),
        (AttrSieve().where("x", "=", None), '(m."x" = ?)', [None]),
        (AttrSieve().where_any("tags", ">", "m"),
         "(m.position IN (SELECT position FROM metadata_multi WHERE key = ? AND value > ?))", ["tags", "m"]),
        (AttrSieve().where_like("t", "a%"), '(m."t" LIKE ?)', ["a%"]),
        (AttrSieve().where_any_like("tags", "m%"),
         "(m.position IN (SELECT position FROM metadata_multi WHERE key = ? AND value LIKE ?))", ["tags", "m%"]),
        (AttrSieve().where_between("n", 5, 1), '(m."n" BETWEEN ? AND ?)', [5, 1]),
        (AttrSieve().where_null("z"), '(m."z" IS NULL)', []),
        (~AttrSieve().where_null("z"), '(NOT (m."z" IS NULL))', []),
        (F | G, '((m."year" >= ?) OR (m."lang" = ?))', [2020, "en"]),
        ((F | G) | H, '((m."year" >= ?) OR (m."lang" = ?) OR ' + MULTI + ")", [2020, "en", "tags", "ml"]),
        ((F & G) | H, '(((m."year" >= ?) AND (m."lang" = ?)) OR ' + MULTI + ")", [2020, "en", "tags", "ml"]),
        ((F | G).where("x", "=", 1), '(((m."year" >= ?) OR (m."lang" = ?)) AND (m."x" = ?))', [2020, "en", 1]),
        (F.and_(G, H, F), '((m."year" >= ?) AND (m."lang" = ?) AND ' + MULTI + ' AND (m."year" >= ?))',
         [2020, "en", "tags", "ml", 2020]),
        (~~F, '(NOT (NOT (m."year" >= ?)))', [2020]),
    ],
)
def test_chains_render(chain, text, params):
    assert chain.to_sql() == (text, params)


def test_chains_grow_flat_and_share_nodes():
    three = AttrSieve().where("a", "=", 1).where("b", "=", 2).where("c", "=", 3)
    assert type(three._node) is _And and len(three._node.parts) == 3
    assert type((F | G | H)._node) is _Or and len((F | G | H)._node.parts) == 3
    assert type((~F)._node) is _Not and (~F)._node.part is F._node
    base = AttrSieve().where("a", "=", 1)
    left, right = base.where("b", "=", 2), base.where("c", "=", 3)
    assert base.to_sql() == ('(m."a" = ?)', [1])
    assert left._node.parts[0] is right._node.parts[0] is base._node
    assert F.or_()._node is F._node and F.or_() is not F


def test_scalar_columns_leave_out_builtins_and_multi_keys():
    chain = AttrSieve().where("Year", "=", 1).where("ID", "=", "a").where("position", "<", 3)
    chain = chain.where_any("tags", "=", "x") | AttrSieve().where_null("score")
    assert chain.scalar_columns() == {"Year", "score"}


def test_cache_keys():
    assert AttrSieve().where("x", "=", 1).cache_key() == AttrSieve().where("x", "=", 1.0).cache_key()
    assert AttrSieve().where("x", "=", True).cache_key() == AttrSieve().where("x", "=", 1).cache_key()
    assert AttrSieve().where("x", "=", [1, 2]).cache_key() is None
    assert AttrSieve().where("x", "=", {"a": 1}).cache_key() is None
    assert AttrSieve().where("x", "=", 1).cache_key() != AttrSieve().where("y", "=", 1).cache_key()

    class Unhashable:
        def __hash__(self):
            raise ValueError("not this way")

    with pytest.raises(ValueError, match="not this way"):
        AttrSieve().where("x", "=", Unhashable()).cache_key()


def test_cache_key_of_a_deeply_nested_value_raises_instead_of_crashing():
    value = ()
    for _ in range(1_000_000):
        value = (value,)
    with pytest.raises(RecursionError):
        AttrSieve().where("x", "=", value).cache_key()
    assert AttrSieve().where("x", "=", ((((1,),),),)).cache_key()[2] == (((((1,),),),),)


def test_owners():
    one, two = Owner(), Owner()
    bound, other = AttrSieve(one).where("a", "=", 1), AttrSieve(two).where("b", "=", 2)
    assert bound.where("c", "=", 3)._owner is one and (~bound)._owner is one
    assert (F & bound)._owner is one and (bound | F)._owner is one
    assert (other | bound)._owner is two and (F | G)._owner is None
    assert bound.or_()._owner is one
    assert bound.positions() == "positions array" and one.calls == [(bound,)]
    with pytest.raises(ValueError) as info:
        F.positions()
    assert str(info.value) == (
        "This AttrSieve isn't bound to a RowScreen; pass it to RowScreen.positions(filter) instead."
    )


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: AttrSieve().where("x", "in", [1]), ValueError,
         "Unsupported operator 'in'. Use one of ['!=', '<', '<=', '=', '>', '>=', 'IN']."),
        (lambda: AttrSieve().where("a b", "~", 1), ValueError,  # the operator is checked first
         "Unsupported operator '~'. Use one of ['!=', '<', '<=', '=', '>', '>=', 'IN']."),
        (lambda: AttrSieve().where_any("t", "LIKE", "x"), ValueError,
         "Unsupported operator 'LIKE'. Use one of ['!=', '<', '<=', '=', '>', '>=', 'IN']."),
        (lambda: AttrSieve().where("a b", "=", 1), ValueError,
         "Invalid identifier 'a b': must match ^[A-Za-z_][A-Za-z0-9_]*$."),
        (lambda: AttrSieve().where_like('a"', "x"), ValueError,
         "Invalid identifier 'a\"': must match ^[A-Za-z_][A-Za-z0-9_]*$."),
        (lambda: AttrSieve().where("x", "IN", []), ValueError, "IN on 'x' needs a non-empty list of values."),
        (lambda: AttrSieve().where("x", "IN", 5), TypeError, "'int' object is not iterable"),
        (lambda: F & 5, TypeError, "Can only combine AttrSieves, got int."),
        (lambda: F.or_(G, "x"), TypeError, "Can only combine AttrSieves, got str."),
        (lambda: AttrSieve() & F, ValueError, "Cannot combine an empty AttrSieve."),
        (lambda: AttrSieve() & 5, ValueError, "Cannot combine an empty AttrSieve."),
        (lambda: F | AttrSieve(), ValueError, "Cannot combine an empty AttrSieve."),
        (lambda: ~AttrSieve(), ValueError, "Cannot negate an empty AttrSieve."),
        (lambda: F._combine([G], sv.and_), TypeError, "Argument 'others' has incorrect type (expected tuple, got list)"),
        (lambda: AttrSieve().where(None, "=", 1), TypeError,
         "Argument 'column' has incorrect type (expected str, got NoneType)"),
        (lambda: AttrSieve().where_any("x", None, 1), TypeError,
         "Argument 'op' has incorrect type (expected str, got NoneType)"),
        (lambda: AttrSieve().where_like("x", 5), TypeError,
         "Argument 'pattern' has incorrect type (expected str, got int)"),
        (lambda: AttrSieve().where_null(b"x"), TypeError,
         "Argument 'column' has incorrect type (expected str, got bytes)"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: AttrSieve(1, 2, 3),
        lambda: AttrSieve(owner=1, other=2),
        lambda: F.where("x", "="),
        lambda: F.where_between("x", 1),
        lambda: F.where_null(column="x", extra=1),
        lambda: F.and_(other=G),
        lambda: F.not_(G),
        lambda: F.to_sql(1),
        lambda: 5 & F,
    ],
)
def test_argument_counts(call):
    with pytest.raises(TypeError):
        call()


def test_keywords_and_operators():
    assert AttrSieve(owner=None, node=F._node)._node is F._node
    assert F.where(column="x", op="=", value=1).to_sql() == F.where("x", "=", 1).to_sql()
    assert AttrSieve.__and__ is AttrSieve.and_ and AttrSieve.__invert__ is AttrSieve.not_
    assert not hasattr(AttrSieve, "__rand__")
    assert AttrSieve._chain_condition("x", "=", 1, 0).multi is False


def test_copies_rebuild_the_filter():
    owner = Owner()
    bound = AttrSieve(owner).where("a", "=", 1)
    twin = copy.copy(bound)
    assert twin._owner is owner and twin._node is bound._node
    unbound = pickle.loads(pickle.dumps(F | G))
    assert type(unbound) is AttrSieve and unbound.to_sql() == (F | G).to_sql()


class Tracing(AttrSieve):
    __slots__ = ()

    def to_sql(self):
        sql, params = super().to_sql()
        return "traced " + sql, params

    def _with(self, node):
        return super()._with(node)


def test_subclasses():
    traced = Tracing(None, F._node)
    assert traced.cache_key() == ("chain", 'traced (m."year" >= ?)', (2020,))
    assert repr(traced).startswith("AttrSieve('traced ")
    for made in (traced.where("a", "=", 1), traced & G, ~traced, traced.or_()):
        assert type(made) is AttrSieve
    assert isinstance(Tracing().where("a", "=", 1), AttrSieve)
    with pytest.raises(TypeError, match="Can only combine AttrSieves, got Owner."):
        traced & Owner()


def test_module_functions_are_read_when_used(monkeypatch):
    seen = []

    def counting(column, op, values, multi=False):
        seen.append((column, op, values, multi))
        return condition(column, op, values, multi=multi)

    monkeypatch.setattr(sv, "condition", counting)
    AttrSieve().where("a", "IN", [1]).where_any_like("t", "x").where_null("z")
    assert seen == [("a", "IN", (1,), False), ("t", "LIKE", ("x",), True), ("z", "IS NULL", (), False)]


def test_documentation():
    assert AttrSieve.__slots__ == ("_node", "_owner") and AttrSieve.__bases__ == (object,)
    assert AttrSieve.where.__doc__ == (
        "AND ``column <op> value`` on a scalar column. `op` is one of\n"
        "        ``= != > >= < <= IN`` (``IN`` takes a list)."
    )
    assert AttrSieve.where_any_like.__doc__ == 'AND "any value of the multi-valued `column` is LIKE `pattern`".'
    assert AttrSieve.cache_key.__doc__ == "Hashable key for this filter, or None if a bound value isn't hashable."
    assert AttrSieve.and_.__doc__ is None and AttrSieve.__module__ == "tarnix_engine._attr_sieve"
