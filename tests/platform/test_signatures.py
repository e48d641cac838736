"""What `help()` and `inspect.signature` show for the public classes, their
methods and the filter functions: a signature exists, and it is the call's
own: every parameter it names is taken by keyword, the ones it gives no
default can be all that is passed, and a name it does not list is refused."""

import inspect
import pydoc
import re
import types

import pytest

from tarnix_engine import _attr_sieve, _clause_builder, _sql
from tarnix_engine._attr_sieve import AttrSieve
from tarnix_engine._row_screen import RowScreen
from tarnix_engine._screened_search import ScreenedSearch
from tarnix_engine._sql import AddColumn, Query, Update
from tarnix_engine.fusion.rrf import ReciprocalRankFusion
from tarnix_engine.indexes._shard_flow import _StreamingCore
from tarnix_engine.indexes._tarnix_impl import _TarnixCore, _VectorStore
from tarnix_engine.indexes._term_scoring import _RelevanceCore
from tarnix_engine.tuning._depth_oracle import DepthOracle, TunedModel

from model_helpers import save_npz, toy_arrays

# Each public class and how to make an instance whose methods can be probed.
CLASSES = {
    "_TarnixCore": (_TarnixCore, lambda tmp: _TarnixCore()),
    "_VectorStore": (_VectorStore, lambda tmp: _VectorStore()),
    "_RelevanceCore": (_RelevanceCore, lambda tmp: _RelevanceCore()),
    "_StreamingCore": (_StreamingCore, lambda tmp: _StreamingCore()),
    "RowScreen": (RowScreen, lambda tmp: RowScreen()),
    "ScreenedSearch": (ScreenedSearch, lambda tmp: ScreenedSearch(_TarnixCore())),
    "AttrSieve": (AttrSieve, lambda tmp: AttrSieve()),
    "ReciprocalRankFusion": (ReciprocalRankFusion, lambda tmp: ReciprocalRankFusion()),
    "Query": (Query, lambda tmp: Query("docs")),
    "Update": (Update, lambda tmp: Update("docs")),
    "AddColumn": (AddColumn, lambda tmp: AddColumn("docs", "colour")),
    "TunedModel": (TunedModel, lambda tmp: TunedModel(toy_arrays())),
    "DepthOracle": (DepthOracle, lambda tmp: DepthOracle(save_npz(tmp / "toy.npz", toy_arrays()))),
}

FUNCTIONS = {
    name: getattr(module, name)
    for module, names in [
        (_attr_sieve, ["condition", "constant", "and_", "or_", "not_"]),
        (_clause_builder, ["parse_filter", "compile_filter", "filter_cache_key"]),
        (_sql, ["validate_identifier", "chunks"]),
    ]
    for name in names
}


def _public_methods(cls):
    names = [n for n, v in vars(cls).items() if not n.startswith("_") and not isinstance(v, property)]
    names = [n for n in names if callable(getattr(cls, n))]
    return names + (["__call__"] if "__call__" in vars(cls) else [])


CALLABLES = (
    [pytest.param(kind, None, id=kind) for kind in CLASSES]
    + [
        pytest.param(kind, method, id=f"{kind}.{method}")
        for kind, (cls, _) in CLASSES.items()
        for method in _public_methods(cls)
    ]
    + [pytest.param(None, name, id=name) for name in FUNCTIONS]
)

# What the argument binding says when the call's parameters are not the
# signature's; any other failure comes later, from the probe values.
BINDING_ERROR = re.compile(
    r"unexpected keyword argument|missing required|multiple values|positional argument|by name .* and position"
)


class Probe:
    """A value no parameter takes, so a call fails right after binding."""


def _target(kind, method, tmp_path):
    if kind is None:
        return FUNCTIONS[method]
    cls, make = CLASSES[kind]
    return cls if method is None else getattr(make(tmp_path), method)


def _is_instance_method(cls, method):
    return not isinstance(inspect.getattr_static(cls, method), (classmethod, types.ClassMethodDescriptorType))


def _bound_failure(call, **kwargs):
    """The binding error of call(**kwargs), or None when binding passed."""
    try:
        call(**kwargs)
    except TypeError as exc:
        if BINDING_ERROR.search(str(exc)):
            return str(exc)
    except Exception:
        pass
    return None


@pytest.mark.parametrize("kind, method", CALLABLES)
def test_signature_is_the_calls_own(kind, method, tmp_path):
    call = _target(kind, method, tmp_path)
    params = inspect.signature(call).parameters.values()
    named = [p for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]
    required = [p.name for p in named if p.default is p.empty]
    if not named:
        return
    if kind is not None and method is not None and _is_instance_method(CLASSES[kind][0], method):
        # Looked up on the class, the method takes the instance first.
        assert next(iter(inspect.signature(getattr(CLASSES[kind][0], method)).parameters)) == "self"
    forwards = any(p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in params)
    # Everything the signature names, by keyword: no name is unknown to the call.
    assert _bound_failure(call, **{p.name: Probe() for p in named}) is None
    # The parameters shown without a default are all the call needs (a
    # forwarder's inner call may need more: its own binding words that).
    if not forwards:
        assert _bound_failure(call, **{name: Probe() for name in required}) is None
    if not any(p.kind is p.VAR_KEYWORD for p in params):
        failure = _bound_failure(call, **{name: Probe() for name in required}, not_a_parameter=Probe())
        assert failure is not None and "not_a_parameter" in failure


# A doc string whose signature line does not parse (or names another
# function) is shown as it is, "--" line and all.
@pytest.mark.parametrize("kind", CLASSES)
def test_help_shows_no_raw_signature_lines(kind):
    text = pydoc.render_doc(CLASSES[kind][0], renderer=pydoc.plaintext)
    raw = [line for line in text.splitlines() if line.strip(" |") == "--"]
    assert not raw, text


class _OwnInit(ReciprocalRankFusion):
    def __init__(self, weights, *, k=3):
        super().__init__(k, weights)


class _Inherited(ScreenedSearch):
    pass


# A plain class's signature is read from the __init__ it resolves to, and an
# instance that is called shows its __call__, not the constructor.
@pytest.mark.parametrize(
    "target, expected",
    [
        pytest.param(lambda: _OwnInit, lambda: "(weights, *, k=3)", id="subclass with its own __init__"),
        pytest.param(
            lambda: _Inherited, lambda: str(inspect.signature(ScreenedSearch)), id="subclass that inherits it"
        ),
        pytest.param(
            lambda: ReciprocalRankFusion(),
            lambda: str(inspect.signature(ReciprocalRankFusion.__call__)).replace("(self, /, ", "("),
            id="called instance",
        ),
    ],
)
def test_signature_follows_the_init_in_use(target, expected):
    assert str(inspect.signature(target())) == expected()


# The wrapper's forwarders take any arguments on to the inner index, so their
# documentation must name what each kind of inner index takes.
INNER_KINDS = {"vector": _TarnixCore, "text": _RelevanceCore, "streaming": _StreamingCore}
FORWARDED = {"search": "search", "search_raw": "search_raw", "add": "add", "update": "update"}


@pytest.mark.parametrize("method", sorted(FORWARDED))
def test_forwarders_name_the_inner_arguments(method):
    doc = inspect.getdoc(getattr(ScreenedSearch, method)) or ""
    for kind, cls in INNER_KINDS.items():
        inner = getattr(cls, FORWARDED[method], None)
        if inner is None and method == "add":
            inner = cls.add_batch
        if inner is None:
            assert re.search(rf"{kind}:.*no {method}", doc), f"{kind} lacks {method}"
            continue
        assert re.search(rf"\b{kind}\b", doc), kind
        names = [p for p in inspect.signature(inner).parameters if p not in ("self", "candidates")]
        missing = [p for p in names if not re.search(rf"\b{p}\b", doc)]
        assert not missing, f"{method} does not name the {kind} index's {missing}"
    if method.startswith("search"):
        for own in ("filter", "roles", "candidates"):
            assert re.search(rf"\b{own}\b", doc), own
