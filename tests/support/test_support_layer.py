"""The shared C++ layer, through the test-only module that uses each piece."""

import copy
import gc
import pickle
import subprocess
import sys
import weakref

import numpy as np
import pytest

from tarnix_engine import _support_probe as probe


class TestBinding:
    def test_positional_keyword_and_defaults(self):
        assert probe.bind(1, 2) == (1, 2, None, 1, None)
        assert probe.bind(1, b=2, d=4) == (1, 2, None, 4, None)
        assert probe.bind(b=2, a=1, c=3, e=5) == (1, 2, 3, 1, 5)

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1,), {}, "bind() missing required argument 'b' (pos 2)"),
            ((), {"b": 1}, "bind() missing required argument 'a' (pos 1)"),
            ((1, 2, 3, 4, 5), {}, "bind() takes from 2 to 4 positional arguments but 5 were given"),
            ((1, 2), {"z": 0}, "bind() got an unexpected keyword argument 'z'"),
            ((1, 2), {"a": 0}, "argument for bind() given by name ('a') and position (1)"),
            ((1, 2, 3), {"c": 0}, "argument for bind() given by name ('c') and position (3)"),
        ],
    )
    def test_refusals_name_the_function(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            probe.bind(*args, **kwargs)
        assert str(info.value) == message

    def test_keyword_names_compared_by_value(self):
        # A keyword built at run time is not interned; it must still bind.
        key = "".join(["c", ""])
        assert probe.bind(1, 2, **{key: 9})[2] == 9


class TestExactTypes:
    class MyList(list):
        pass

    @pytest.mark.parametrize(
        "value, message",
        [
            ((1,), "Argument 'ids' has incorrect type (expected list, got tuple)"),
            (MyList(), "Argument 'ids' has incorrect type (expected list, got MyList)"),
            ("ab", "Argument 'ids' has incorrect type (expected list, got str)"),
        ],
    )
    def test_declared_list_refuses_other_types_and_subclasses(self, value, message):
        with pytest.raises(TypeError) as info:
            probe.take_list(value)
        assert str(info.value) == message

    def test_declared_list_admits_none(self):
        ids = ["a"]
        assert probe.take_list(ids) is ids
        assert probe.take_list(None) is None

    def test_declared_str_without_none(self):
        assert probe.take_str("x") == "x"
        with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got NoneType\)$"):
            probe.take_str(None)

    @pytest.mark.parametrize("value", [(1, 2), None])
    def test_value_check_passes_exact_type_and_none(self, value):
        assert probe.expect_tuple(value) is value

    @pytest.mark.parametrize("value, got", [([1], "list"), (type("T", (tuple,), {})(), "T")])
    def test_value_check_message(self, value, got):
        with pytest.raises(TypeError) as info:
            probe.expect_tuple(value)
        assert str(info.value) == f"Expected tuple, got {got}"


class TestIntegers:
    @pytest.mark.parametrize(
        "convert, low, high",
        [(probe.as_int32, -(2**31), 2**31 - 1), (probe.as_int64, -(2**63), 2**63 - 1)],
    )
    def test_bounds(self, convert, low, high):
        assert convert(low) == low and convert(high) == high
        for outside in (low - 1, high + 1):
            with pytest.raises(OverflowError):
                convert(outside)

    @pytest.mark.parametrize("convert", [probe.as_int32, probe.as_int64])
    def test_index_protocol(self, convert):
        assert convert(np.int16(-7)) == -7
        assert convert(True) == 1
        for bad in (2.0, "3", None):
            with pytest.raises(TypeError):
                convert(bad)

    @pytest.mark.parametrize(
        "value, expected",
        [(5, 5), (2.9, 2), (-2.9, -2), (True, 1), (np.int64(4), 4), (np.float32(3.5), 3)],
    )
    def test_declared_int_converts_numbers(self, value, expected):
        result = probe.as_int(value)
        assert result == expected and type(result) is int

    def test_declared_int_passes_int_unchanged(self):
        big = 10**40
        assert probe.as_int(big) is big

    @pytest.mark.parametrize("value, got", [(None, "NoneType"), ("7", "str"), ([1], "list")])
    def test_declared_int_refuses_non_numbers(self, value, got):
        with pytest.raises(TypeError) as info:
            probe.as_int(value)
        assert str(info.value) == f"Argument 'top_k' has incorrect type (expected int, got {got})"

    @pytest.mark.parametrize("value", [float("nan"), float("inf")])
    def test_declared_int_conversion_errors_pass_through(self, value):
        with pytest.raises((ValueError, OverflowError)):
            probe.as_int(value)

    def test_bool_by_truth_value(self):
        assert probe.as_bool([0]) is True and probe.as_bool("") is False
        with pytest.raises(ValueError):
            probe.as_bool(np.array([1, 2]))


def test_module_global_read_at_each_call(monkeypatch):
    assert probe.read_knob() == 1
    monkeypatch.setattr(probe, "KNOB", "changed")
    assert probe.read_knob() == "changed"
    monkeypatch.delattr(probe, "KNOB")
    with pytest.raises(NameError, match="KNOB"):
        probe.read_knob()


class TestParallel:
    @pytest.mark.parametrize("threads", [1, 2, 4])
    def test_sum(self, threads):
        assert probe.parallel_sum(10_000, threads) == sum(range(10_000))

    @pytest.mark.parametrize("threads", [1, 2])
    def test_failure_inside_region_reraised_after_it(self, threads):
        with pytest.raises(ValueError, match="^iteration 777 failed$"):
            probe.parallel_sum(10_000, threads, 777)
        # the team is still usable afterwards
        assert probe.parallel_sum(10, threads) == 45


class TestProbeType:
    @pytest.mark.parametrize("args, kwargs", [(([1],), {}), ((), {"items": [1]})])
    def test_constructor_binds_positional_or_keyword(self, args, kwargs):
        assert probe.Probe(*args, **kwargs).items == [1]

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1, 2), {}, "Probe() takes from 0 to 1 positional arguments but 2 were given"),
            ((), {"item": 1}, "Probe() got an unexpected keyword argument 'item'"),
            ((1,), {"items": 1}, "argument for Probe() given by name ('items') and position (1)"),
        ],
    )
    def test_constructor_refusals(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            probe.Probe(*args, **kwargs)
        assert str(info.value) == message

    def test_new_without_init_is_safe(self):
        p = probe.Probe.__new__(probe.Probe)
        assert p.items is None
        with pytest.raises(RuntimeError, match=r"^Probe is not fitted\.$"):
            p.size
        p.fit([1, 2])
        assert p.size == 2

    def test_read_only_attributes_and_no_dict(self):
        p = probe.Probe()
        with pytest.raises(AttributeError):
            p.items = [1]
        with pytest.raises(AttributeError):
            p.anything = 1
        assert not hasattr(p, "__dict__")

    def test_type_is_immutable_but_subclassable(self):
        with pytest.raises(TypeError):
            probe.Probe.fit = None

        class Sub(probe.Probe):
            pass

        s = Sub()
        s.extra = 1  # Python subclasses get a __dict__
        s.add([1])
        assert s.items == [1]

    def test_add_reaches_python_override_of_fit(self):
        calls = []

        class Recording(probe.Probe):
            def fit(self, items):
                calls.append(items)
                return super().fit(list(items) * 2)

        r = Recording()
        r.add((3,))
        assert calls == [(3,)] and r.items == [3, 3]

    def test_add_on_subclass_without_override_takes_fast_path(self):
        class Plain(probe.Probe):
            pass

        p = Plain()
        p.add("ab")
        assert p.items == "ab" and p.fits == 1

    def test_instance_attribute_override_honoured(self):
        class Sub(probe.Probe):
            pass

        s = Sub()
        seen = []
        s.fit = seen.append
        s.add("x")
        assert seen == ["x"] and s.items is None

    @pytest.mark.parametrize(
        "operation",
        [
            pickle.dumps,
            copy.copy,
            copy.deepcopy,
            lambda p: p.__reduce__(),
            lambda p: p.__reduce_ex__(2),
            lambda p: p.__setstate__({}),
        ],
    )
    def test_pickling_refused(self, operation):
        with pytest.raises(TypeError, match=r"^no default __reduce__ due to non-trivial __cinit__$"):
            operation(probe.Probe())

    def test_cycles_through_fields_are_collected(self):
        class Sub(probe.Probe):
            pass

        s = Sub()
        s.fit([s])  # s -> items list -> s
        alive = weakref.ref(s)
        del s
        gc.collect()
        assert alive() is None


def test_failed_numpy_attachment_is_an_import_error():
    code = (
        "import sys; sys.modules['numpy._core.multiarray'] = None\n"
        "try:\n"
        "    import tarnix_engine._support_probe\n"
        "except ImportError as e:\n"
        "    print(repr(str(e)))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == repr("numpy._core.multiarray failed to import")


class _Slotted(tuple):
    __slots__ = ()


class _WithDict(tuple):
    pass


@pytest.mark.parametrize(
    "make, tracked_after",
    [
        (lambda: _Slotted((1, "id", 0.5)), False),
        (lambda: tuple([1, "id", 0.5]), False),
        (lambda: _Slotted((1, ["a container"], 0.5)), True),
        # An empty dict is untracked until it gets a container, which may
        # then be the record: the record must stay where the GC can see it.
        (lambda: _Slotted((1, {}, 0.5)), True),
        (lambda: tuple([1, {}, 0.5]), True),
        (lambda: _WithDict((1, "id", 0.5)), True),
        (lambda: [1, "id", 0.5], True),
    ],
    ids=["slotted-subclass", "tuple", "holds-a-list", "holds-an-empty-dict", "tuple-holds-an-empty-dict",
         "has-dict", "not-a-tuple"],
)
def test_only_records_of_atoms_leave_the_cyclic_gc(make, tracked_after):
    record = make()
    assert gc.is_tracked(record)
    assert probe.untrack_record(record) is tracked_after
    assert gc.is_tracked(record) is tracked_after


def test_record_holding_an_empty_dict_can_still_be_collected():
    class Witness:
        pass

    def build():
        box = {}
        record = _Slotted((1, box))
        probe.untrack_record(record)
        box["record"] = record  # record -> box -> record
        box["witness"] = Witness()
        return weakref.ref(box["witness"])

    alive = build()
    gc.collect()
    assert alive() is None


# Context managers for the `with` that the C++ layer runs; each outcome is
# compared with the same `with` statement run by the interpreter.
class _Plain:
    def __enter__(self):
        return "entered"

    def __exit__(self, *exc_info):
        return None


class _Suppressing(_Plain):
    def __exit__(self, *exc_info):
        return True


class _RaisingOther(_Plain):
    def __exit__(self, *exc_info):
        raise KeyError("from exit")


class _Reraising(_Plain):
    def __exit__(self, exc_type, exc, tb):
        if exc is not None:
            raise exc


def _python_enter(manager, fail):
    with manager as value:
        if fail:
            raise ValueError("failed in the block")
        return value


def _outcome(function, manager_type, fail):
    try:
        return ("returned", function(manager_type(), fail))
    except Exception as exc:
        context = exc.__context__
        return (
            "raised",
            type(exc),
            exc.args,
            None if context is None else (type(context), context.args),
            context is exc,
        )


@pytest.mark.parametrize("manager_type", [_Plain, _Suppressing, _RaisingOther, _Reraising])
@pytest.mark.parametrize("fail", [False, True])
def test_with_context_runs_as_the_with_statement(manager_type, fail):
    assert _outcome(probe.enter, manager_type, fail) == _outcome(_python_enter, manager_type, fail)


class _IterRaisesTypeError:
    def __iter__(self):
        raise TypeError("no iterator today")


def _python_unpack(o):
    first, second = o
    return (first, second)


@pytest.mark.parametrize(
    "make",
    [
        lambda: (1, 2),
        lambda: "ab",
        lambda: iter([3, 4]),
        lambda: (1,),
        lambda: [],
        lambda: (1, 2, 3),
        lambda: 5,
        lambda: None,
        _IterRaisesTypeError,
    ],
    ids=["pair", "str", "iterator", "one", "none", "three", "int", "None", "iter-raises"],
)
def test_unpack_pair_as_the_interpreter(make):
    def outcome(unpack):
        try:
            return unpack(make())
        except (TypeError, ValueError) as exc:
            return (type(exc), str(exc))

    assert outcome(probe.unpack) == outcome(_python_unpack)


# Plain classes with C++ methods behave as classes written in Python.


def test_plain_class_behaves_as_a_python_class():
    pair = probe.Pair(1, 2)
    assert vars(pair) == {"a": 1, "b": 2}
    assert pair.total() == 3 and pair.first == 1
    assert probe.Pair.__doc__ == "Two values." and probe.Pair.__module__ == "tarnix_engine._support_probe"
    assert probe.Pair.double(4) == 8 and pair.double("x") == "xx"
    weakref.ref(pair)
    restored = pickle.loads(pickle.dumps(pair))
    assert type(restored) is probe.Pair and vars(restored) == {"a": 1, "b": 2}
    assert vars(copy.copy(pair)) == vars(pair)
    with pytest.raises(AttributeError):
        pair.first = 5
    with pytest.raises(TypeError, match="Pair"):
        probe.Pair(1)
    with pytest.raises(TypeError):
        probe.Pair.total(object())


def test_plain_class_subclass_and_class_method():
    class Sub(probe.Pair):
        def total(self):
            return "overridden"

    made = Sub.swapped(1, 2)
    assert type(made) is Sub and (made.a, made.b) == (2, 1)
    assert made.total() == "overridden"


def test_slots_class_fields_are_read_only():
    tail = probe.make_chain(2, None)
    head = probe.make_chain(1, tail)
    assert head.value == 1 and head.next is tail and head.depth() == 2
    assert not hasattr(head, "__dict__")
    for field in ("value", "next"):
        with pytest.raises(AttributeError):
            setattr(head, field, 0)
        with pytest.raises(AttributeError):
            object.__setattr__(head, field, 0)
        with pytest.raises(AttributeError):
            delattr(head, field)
    with pytest.raises(AttributeError):
        head.other = 1
    with pytest.raises(TypeError):
        weakref.ref(head)


def test_recursion_guard_raises_instead_of_overflowing():
    node = None
    for i in range(200_000):
        node = probe.make_chain(i, node)
    with pytest.raises(RecursionError):
        node.depth()
