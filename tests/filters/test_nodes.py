import copy
import pickle
import weakref

import pytest

from sqlite_model import Store
from tarnix_engine import _attr_sieve as sv
from tarnix_engine._attr_sieve import (
    AttrSieve, _And, _Condition, _Constant, _Junction, _Node, _Not, _Or, and_, condition, constant, not_, or_,
)

A = condition("a", "=", [1])
B = condition("b", "=", [2])
C = condition("c", "=", [3])


def render(node):
    params = []
    return node.render(params), params


@pytest.mark.parametrize(
    "node, text, params",
    [
        (condition("ID", "=", ("a",)), "(d.id = ?)", ["a"]),
        (condition("Position", "IN", [3]), "(m.position IN (?))", [3]),
        (condition("Year", ">=", [2020]), '(m."Year" >= ?)', [2020]),
        (condition("x", "IN", "ab"), '(m."x" IN (?,?))', ["a", "b"]),
        (condition("x", "=", []), '(m."x" = ?)', []),
        (condition("x", "in", []), '(m."x" in ?)', []),  # lower case: the generic form
        (condition("x", "LIKE", ["%a"]), '(m."x" LIKE ?)', ["%a"]),
        (condition("x", "BETWEEN", (1, 2)), '(m."x" BETWEEN ? AND ?)', [1, 2]),
        (condition("x", "IS NULL", ()), '(m."x" IS NULL)', []),
        (condition("tags", "=", ["ml"], multi=True),
         "(m.position IN (SELECT position FROM metadata_multi WHERE key = ? AND value = ?))", ["tags", "ml"]),
        (condition("id", "IN", ("a", "b"), multi=1),
         "(m.position IN (SELECT position FROM metadata_multi WHERE key = ? AND value IN (?,?)))", ["id", "a", "b"]),
        (constant("a", "!=", "b"), "(? != ?)", ["a", "b"]),
        (constant(1, "=", 1), "(? = ?)", [1, 1]),
        (and_([A, or_([B, C])]), '((m."a" = ?) AND ((m."b" = ?) OR (m."c" = ?)))', [1, 2, 3]),
        (not_(not_(A)), '(NOT (NOT (m."a" = ?)))', [1]),
        (and_([]), "()", []),
        (_And([A]), '((m."a" = ?))', [1]),
    ],
)
def test_render(node, text, params):
    assert render(node) == (text, params)


@pytest.mark.parametrize(
    "node, columns",
    [
        (condition("Year", "=", [1]), ["Year"]),
        (condition("ID", "=", [1]), []),
        (condition("POSITION", "=", [1]), []),
        (condition("tags", "=", [1], multi=True), []),
        (constant(1, "=", 1), []),
        (and_([condition("year", "=", [1]), condition("year", "<", [2])]), ["year", "year"]),
        (not_(or_([A, not_(B), constant(1, "=", 2)])), ["a", "b"]),
        (_Node(), []),
    ],
)
def test_scalar_columns(node, columns):
    assert list(node.scalar_columns()) == columns


def test_flattening_splices_only_the_same_kind():
    assert and_([A]) is A and or_(iter([B])) is B
    assert and_([A, and_([B, C])]).parts == (A, B, C)
    inner = or_([B, C])
    assert and_([A, inner]).parts == (A, inner)
    assert _Or([inner, A, inner]).parts == (B, C, A, B, C)  # nothing is removed


def test_values_tuple_kept_and_iterables_read_once():
    values = (1, 2)
    assert condition("x", "IN", values).values is values
    assert condition("x", "IN", (v for v in [1, 2])).values == (1, 2)
    assert condition("x", "IN", "ab").values == ("a", "b")
    assert condition("x", "=", [1], multi=[]).multi is False


def test_render_appends_each_time_and_needs_a_list():
    params = []
    A.render(params)
    A.render(params)
    assert params == [1, 1]
    for bad in (None, (), [].__class__.__mro__):
        with pytest.raises(TypeError):
            A.render(bad)
    with pytest.raises(TypeError):
        _Node().render(None)  # the list is checked before the base refuses
    with pytest.raises(NotImplementedError):
        _Node().render([])
    with pytest.raises(TypeError):
        A._predicate(None, [])


class _Bad:
    def __bool__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: condition(None, "=", [1]), TypeError, "Argument 'column' has incorrect type (expected str, got NoneType)"),
        (lambda: condition("x", None, [1]), TypeError, "Argument 'op' has incorrect type (expected str, got NoneType)"),
        (lambda: condition("a b", "=", [1]), ValueError, "Invalid identifier 'a b': must match ^[A-Za-z_][A-Za-z0-9_]*$."),
        (lambda: condition("x", "IN", []), ValueError, "IN on 'x' needs a non-empty list of values."),
        (lambda: condition("x", "=", 5), TypeError, "'int' object is not iterable"),
        (lambda: condition(None, "=", [1], multi=_Bad()), ZeroDivisionError, ""),  # multi's truth comes first
        (lambda: constant(1, None, 1), TypeError, "Argument 'op' has incorrect type (expected str, got NoneType)"),
        (lambda: _Condition("x", "=", [1], False), TypeError,
         "Argument 'values' has incorrect type (expected tuple, got list)"),
    ],
)
def test_builder_refusals(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call", [lambda: condition("x", "="), lambda: condition("x", "=", [1], False, 1),
                                  lambda: condition("x", "=", [1], mult=True), lambda: and_(), lambda: not_(A, B)])
def test_builder_argument_counts(call):
    with pytest.raises(TypeError):
        call()


# Operators are spliced into the SQL text: only the known forms, in any ASCII
# letter case, are accepted by every way of building a node.
REFUSED_OPS = [") OR (", "= ? OR 1 = 1 OR ?", "=;", "", " =", "IS NOT NULL", "NOT IN", "GLOB", "ın", "ＩＮ", "||"]
BUILDERS = [
    lambda op: condition("x", op, [1]),
    lambda op: constant(1, op, 1),
    lambda op: _Condition("x", op, (1,), False),
    lambda op: _Constant(1, op, 1),
]


@pytest.mark.parametrize("op", REFUSED_OPS)
@pytest.mark.parametrize("build", BUILDERS)
def test_unknown_operators_refused(build, op):
    with pytest.raises(ValueError) as info:
        build(op)
    assert str(info.value) == (
        f"Unsupported operator {op!r}. Use one of "
        "['!=', '<', '<=', '=', '>', '>=', 'BETWEEN', 'IN', 'IS NULL', 'LIKE']."
    )


@pytest.mark.parametrize("op", ["=", "!=", ">", ">=", "<", "<=", "IN", "in", "Like", "between", "is null", "IS NULL"])
@pytest.mark.parametrize("build", BUILDERS)
def test_known_operators_accepted(build, op):
    assert build(op).op == op


@pytest.fixture
def store():
    rows = [
        {"id": "d0", "scalars": {"a": 1}, "roles": ["mine"]},
        {"id": "d1", "scalars": {"a": 2}, "roles": ["other"]},
    ]
    return Store(rows, ["a"])


def test_a_column_name_cannot_leave_its_quotes(store):
    node = _Condition('a" = 1 OR 1 = 1 OR "a', "=", (1,), False)
    sql, params = AttrSieve(None, node).to_sql()
    assert sql == '(m."a"" = 1 OR 1 = 1 OR ""a" = ?)'
    with pytest.raises(Exception, match="no such column"):
        store.run(sql, params, roles=["mine"])


@pytest.mark.parametrize(
    "build",
    [
        lambda: sv.constant(1, ") OR (", 1),
        lambda: condition("a", "= 1) OR (1 =", [1]),
        lambda: condition('a") OR ("a', "=", [1]),
        lambda: AttrSieve().where('a" OR 1 = 1 --', "=", 1),
        lambda: AttrSieve().where("a", "= 1 OR 1 =", 1),
        lambda: AttrSieve().where_any("a", ") OR (", 1),
    ],
)
def test_adversarial_filters_are_refused_before_any_sql(store, build):
    statements = []
    store.conn.set_trace_callback(statements.append)
    with pytest.raises(ValueError, match="Unsupported operator|Invalid identifier"):
        made = build()
        store.run(*(made if isinstance(made, AttrSieve) else AttrSieve(None, made)).to_sql())
    assert statements == []


def test_a_filter_stays_inside_the_role_restriction(store):
    widening = AttrSieve().where("a", ">", 0) | AttrSieve().where_null("a")
    assert store.run(*widening.to_sql(), roles=["mine"]) == [0]


# --- immutability, copying and pickling ------------------------------------

NODES = [
    condition("x", "IN", [1, 2]),
    condition("tags", "=", ["a"], multi=True),
    constant(1, "<", 2),
    and_([A, B]),
    or_([A, not_(B)]),
    not_(A),
]


@pytest.mark.parametrize("node", NODES + [AttrSieve(None, A)], ids=lambda n: type(n).__name__)
def test_fields_are_read_only(node):
    assert not hasattr(node, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(node)
    with pytest.raises(AttributeError):
        node.other = 1
    fields = [f for cls in type(node).__mro__ for f in getattr(cls, "__slots__", ())]
    assert fields
    for field in fields:
        before = getattr(node, field)
        for change in (lambda: setattr(node, field, None), lambda: object.__setattr__(node, field, None),
                       lambda: delattr(node, field)):
            with pytest.raises(AttributeError):
                change()
        assert getattr(node, field) is before
    with pytest.raises(AttributeError):
        type(node).__init__(node, *type(node).__reduce__(node)[1])  # no second construction


@pytest.mark.parametrize("node", NODES, ids=lambda n: type(n).__name__)
def test_copies_and_pickles_rebuild_through_the_constructor(node):
    for twin in (copy.copy(node), copy.deepcopy(node), pickle.loads(pickle.dumps(node))):
        assert type(twin) is type(node) and twin is not node
        assert render(twin) == render(node)


class _Tagged(_Condition):
    pass  # no __slots__: instances have a __dict__


def test_copies_keep_the_attributes_a_subclass_adds():
    tagged = _Tagged("x", "=", (1,), False)
    tagged.note = "kept"
    for twin in (copy.copy(tagged), pickle.loads(pickle.dumps(tagged))):
        assert type(twin) is _Tagged and twin.note == "kept" and twin.column == "x"


class _Tampered:
    def __reduce__(self):
        return (_Condition, ("x", ") OR (1", (), False))


def test_a_tampered_pickle_is_checked_on_load():
    with pytest.raises(ValueError, match="Unsupported operator"):
        pickle.loads(pickle.dumps(_Tampered()))


def test_nodes_compare_and_hash_by_identity():
    twin = condition("x", "IN", [1, 2])
    assert twin != NODES[0] and twin == twin
    assert len({twin, NODES[0], condition("x", "=", [[1]])}) == 3  # hashable whatever the values
    assert repr(A).startswith("<tarnix_engine._attr_sieve._Condition object at ")


# --- deep trees -------------------------------------------------------------


def _deep_not(depth):
    node = A
    for _ in range(depth):
        node = not_(node)
    return node


def _deep_alternating(depth):
    node = A
    for i in range(depth):
        node = (and_ if i % 2 else or_)([node, B])
    return node


@pytest.mark.parametrize("build", [_deep_not, _deep_alternating])
def test_deep_trees_raise_recursion_error(build):
    deep = build(100_000)
    chain = AttrSieve(None, deep)
    for walk in (lambda: deep.render([]), lambda: list(deep.scalar_columns()), chain.to_sql, chain.cache_key,
                 chain.scalar_columns, lambda: repr(chain), lambda: pickle.dumps(deep)):
        with pytest.raises(RecursionError):
            walk()
    assert AttrSieve(None, build(50)).to_sql()[1][:1] == [1]  # the interpreter is still fine
    del deep, chain  # tearing the tree down must not overflow either


def test_a_node_made_to_hold_itself_is_refused_by_the_walks():
    loop = _Not.__new__(_Not)
    loop.__init__(loop)
    with pytest.raises(RecursionError):
        loop.render([])
    with pytest.raises(RecursionError):
        list(loop.scalar_columns())


def test_unbuilt_node_reads_as_missing_attribute():
    with pytest.raises(AttributeError, match="column"):
        _Condition.__new__(_Condition).render([])


# --- fields forced from Python while a render runs --------------------------


def _force(node, **fields):
    # A class with the same base and slots may be assigned to __class__, and
    # its slots are writable: the way Python code can change a built node.
    cls = type(node)
    slots = next(c.__slots__ for c in cls.__mro__ if c.__dict__.get("__slots__"))
    node.__class__ = type("Open", (_Node,), {"__slots__": slots})
    for field, value in fields.items():
        setattr(node, field, value)
    node.__class__ = cls


class _Truthy:
    __slots__ = ()

    def __bool__(self):
        return True


class _Falsy(_Truthy):
    __slots__ = ()

    def __bool__(self):
        return False


def _churn():  # reuses whatever was just freed
    return [("#" * 600,) * 40 for _ in range(200)], [_Falsy() for _ in range(200)]


def _parts_replaced():
    class Replacing(_Node):
        __slots__ = ()

        def render(self, params):
            _force(tree, parts=())
            _churn()
            return "(r)"

    tree = and_([Replacing()] + [condition(f"c{i}", "=", [i]) for i in range(30)])
    return tree, "((r) AND " + " AND ".join(f'(m."c{i}" = ?)' for i in range(30)) + ")", list(range(30))


def _condition_field_replaced(field, multi):
    class Replacing(_Condition):
        __slots__ = ()

        def __getattribute__(self, name):
            if name == "_predicate":
                _force(self, **{field: "other" if field == "column" else False})
                _churn()
            return super().__getattribute__(name)

    node = Replacing("".join(["c"] * 600), "=", (1,), multi)  # made at run time: the node alone holds it
    if field == "multi":
        _force(node, multi=_Truthy())
    if multi or field == "multi":
        return node, render(condition("t", "=", [1], multi=True))[0], ["c" * 600, 1]
    return node, f'(m."{"c" * 600}" = ?)', [1]


@pytest.mark.parametrize(
    "case",
    [_parts_replaced, lambda: _condition_field_replaced("column", False),
     lambda: _condition_field_replaced("column", True), lambda: _condition_field_replaced("multi", False)],
    ids=["parts", "column", "column-of-multi", "multi"],
)
def test_a_field_replaced_mid_render_stays_alive_until_the_render_ends(case):
    node, text, params = case()
    assert render(node) == (text, params)
    node, text, params = case()
    assert AttrSieve(None, node).to_sql() == (text, params)
    node, text, params = case()
    assert AttrSieve(None, node).cache_key() == ("chain", text, tuple(params))


class _Unencodable(str):
    def lower(self):
        return "x"  # not a builtin, so the column fails only when written


@pytest.mark.parametrize("values", [(1,), [1]])
def test_a_column_that_cannot_be_written_fails_before_values_are_bound(values):
    node = _Condition("x", "=", (), False)
    _force(node, column=_Unencodable("a\ud800"), values=values)
    params = []
    with pytest.raises(UnicodeEncodeError):
        node.render(params)
    assert params == []


# --- subclasses are dispatched as Python would ----------------------------


class _Raw(_Node):
    __slots__ = ()

    def render(self, params):
        params.append("raw")
        return "(raw = ?)"

    def scalar_columns(self):
        return iter(["raw"])


class _Loud(_Condition):
    __slots__ = ()

    def _predicate(self, lhs, params):
        return super()._predicate(lhs, params).replace("=", "==")


class _Xor(_Junction):
    __slots__ = ()
    _KEYWORD = "XOR"


def test_scalar_columns_walk_when_first_advanced():
    calls = []

    class Counted(_Raw):
        __slots__ = ()

        def scalar_columns(self):
            calls.append(1)
            return iter(["counted"])

    columns = and_([A, Counted()]).scalar_columns()
    assert calls == []
    assert list(columns) == ["a", "counted"] and calls == [1]


def test_subclass_overrides_are_honoured():
    tree = and_([A, _Raw(), not_(_Raw())])
    assert render(tree) == ('((m."a" = ?) AND (raw = ?) AND (NOT (raw = ?)))', [1, "raw", "raw"])
    assert list(tree.scalar_columns()) == ["a", "raw", "raw"]
    assert AttrSieve(None, tree).scalar_columns() == {"a", "raw"}
    assert render(_Loud("x", "=", (1,), False)) == ('(m."x" == ?)', [1])
    assert render(_Xor([A, B])) == ('((m."a" = ?) XOR (m."b" = ?))', [1, 2])


def test_an_override_sees_every_value_bound_before_it():
    # A chain gathers its values apart from the list until Python code is
    # handed the list: from then on the override must find them all, in order.
    seen = []

    class Numbered(_Node):
        __slots__ = ()

        def render(self, params):
            seen.append(list(params))
            params.append(len(params))
            return "(n = ?)"

    sieve = AttrSieve(None, and_([A, Numbered(), B, not_(Numbered())]))
    text = '((m."a" = ?) AND (n = ?) AND (m."b" = ?) AND (NOT (n = ?)))'
    assert sieve.to_sql() == (text, [1, 1, 2, 3]) and seen == [[1], [1, 1, 2]]
    assert sieve.cache_key() == ("chain", text, (1, 1, 2, 3))
    assert render(Numbered()) == ("(n = ?)", [0])


def test_classes():
    assert _Condition.__mro__ == (_Condition, _Node, object)
    assert _And.__mro__ == (_And, _Junction, _Node, object) and _Or.__bases__ == (_Junction,)
    assert _Not.__bases__ == _Constant.__bases__ == (_Node,) and _Node.__bases__ == (object,)
    assert _Condition.__slots__ == ("column", "multi", "op", "values")
    assert _Constant.__slots__ == ("left", "op", "right") and _Junction.__slots__ == ("parts",)
    assert _Not.__slots__ == ("part",) and _Node.__slots__ == _And.__slots__ == ()
    assert (_Junction._KEYWORD, _And._KEYWORD, _Or._KEYWORD) == ("", "AND", "OR")
    assert _Node.__doc__.startswith("A boolean SQL expression.") and _And.__doc__ is None
    assert condition.__doc__.startswith("Build a column condition.")
    assert _Node.scalar_columns.__doc__ == "The `metadata` columns this condition reads (not builtins)."
    assert sv.BUILTIN_COLUMNS == {"id": "d.id", "position": "m.position"}
    assert sv.COMPARISON_OPS == frozenset({"=", "!=", ">", ">=", "<", "<="})
    assert sv._CHAIN_OPS == sv.COMPARISON_OPS | {"IN"} and type(sv._CHAIN_OPS) is frozenset
