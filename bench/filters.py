"""Per-call cost of a filter chain's to_sql() and cache_key().

The store renders a chain once per positions() call, and forms its cache key
on every call, hit or miss, so both sit on the path of every restricted
search. The baseline is the same tree rendered by plain Python classes (the
obvious pure-Python way to write these nodes), timed in the same run.
Prints the median over rounds of the ns per call and of the ratio to the
baseline (below 1 is faster).

    python bench/filters.py
"""

import statistics
import timeit

from tarnix_engine._attr_sieve import AttrSieve
from timing import print_machine

ROUNDS = 15
BUILTIN = {"id": "d.id", "position": "m.position"}


class PyCondition:
    __slots__ = ("column", "multi", "op", "values")

    def __init__(self, column, op, values, multi):
        self.column, self.op, self.values, self.multi = column, op, values, multi

    def _predicate(self, lhs, params):
        params.extend(self.values)
        if self.op == "IN":
            return f"{lhs} IN ({','.join('?' * len(self.values))})"
        if self.op == "BETWEEN":
            return f"{lhs} BETWEEN ? AND ?"
        if self.op == "IS NULL":
            return f"{lhs} IS NULL"
        return f"{lhs} {self.op} ?"

    def render(self, params):
        if self.multi:
            params.append(self.column)
            return ("(m.position IN (SELECT position FROM metadata_multi WHERE key = ? AND "
                    + self._predicate("value", params) + "))")
        lhs = BUILTIN.get(self.column.lower()) or 'm."' + self.column.replace('"', '""') + '"'
        return "(" + self._predicate(lhs, params) + ")"


class PyJunction:
    __slots__ = ("parts",)
    _KEYWORD = ""

    def __init__(self, parts):
        flat = []
        for p in parts:
            flat.extend(p.parts if type(p) is type(self) else (p,))
        self.parts = tuple(flat)

    def render(self, params):
        texts = [p.render(params) for p in self.parts]
        return "(" + f" {self._KEYWORD} ".join(texts) + ")"


class PyAnd(PyJunction):
    __slots__ = ()
    _KEYWORD = "AND"


class PyOr(PyJunction):
    __slots__ = ()
    _KEYWORD = "OR"


class PyNot:
    __slots__ = ("part",)

    def __init__(self, part):
        self.part = part

    def render(self, params):
        return "(NOT " + self.part.render(params) + ")"


class PySieve:
    __slots__ = ("_node",)

    def __init__(self, node):
        self._node = node

    def to_sql(self):
        params = []
        return ("1", params) if self._node is None else (self._node.render(params), params)

    def cache_key(self):
        sql, params = self.to_sql()
        key = ("chain", sql, tuple(params))
        try:
            hash(key)
        except TypeError:
            return None
        return key


def _native_chains():
    small = AttrSieve().where("category", "=", "eng").where("year", ">=", 2020)
    large = (
        AttrSieve().where("lang", "IN", ["en", "de", "fr"]).where_between("year", 2000, 2024)
        | AttrSieve().where_any("tags", "=", "ml").where_like("title", "%search%")
    ) & ~AttrSieve().where_null("score")
    return {"2 conditions": small, "6 conditions, nested": large}


def _python_chains():
    small = PySieve(PyAnd([PyCondition("category", "=", ("eng",), False), PyCondition("year", ">=", (2020,), False)]))
    left = PyAnd([PyCondition("lang", "IN", ("en", "de", "fr"), False),
                  PyCondition("year", "BETWEEN", (2000, 2024), False)])
    right = PyAnd([PyCondition("tags", "=", ("ml",), True), PyCondition("title", "LIKE", ("%search%",), False)])
    large = PySieve(PyAnd([PyOr([left, right]), PyNot(PyCondition("score", "IS NULL", (), False))]))
    return {"2 conditions": small, "6 conditions, nested": large}


def _compare(ours, base, number=5_000, rounds=ROUNDS):
    """Median ns per call of each, and the median of the per-round ratios;
    the two run alternately so both see the same load on a shared machine."""
    ns_ours, ns_base, ratios = [], [], []
    for _ in range(rounds):
        a = timeit.timeit(ours, number=number) / number * 1e9
        b = timeit.timeit(base, number=number) / number * 1e9
        ns_ours.append(a)
        ns_base.append(b)
        ratios.append(a / b)
    return statistics.median(ns_ours), statistics.median(ns_base), statistics.median(ratios)


def main():
    print_machine()
    native, python = _native_chains(), _python_chains()
    for name in native:
        assert native[name].to_sql() == python[name].to_sql(), name
        for method in ("to_sql", "cache_key"):
            ours, base, ratio = _compare(getattr(native[name], method), getattr(python[name], method))
            print(f"{name:22s} {method:10s} {ours:8.0f} ns  python {base:8.0f} ns  ratio {ratio:.2f}")


if __name__ == "__main__":
    main()
