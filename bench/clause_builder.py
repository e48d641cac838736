"""Filter compilation: the cost of compile_filter for text and dict filters
against sqlglot's own parse of the same text (the floor for text, which
compile_filter must parse anyway), the cost of building the same filter as a
chain, and filter_cache_key per form, all measured in the same run.

Figures are medians of rounds; ratios are against the sqlglot parse of the
same condition count. The goals: translating and rendering add at most 20%
to the parse; a cache key of a text or a chain under 2 us.

    python bench/clause_builder.py [--quick]
"""

import argparse
import statistics
import time

import sqlglot
from sqlglot import exp

from tarnix_engine._attr_sieve import AttrSieve
from tarnix_engine._clause_builder import compile_filter, filter_cache_key
from timing import print_machine

SCALAR = {f"c{i}" for i in range(50)} | {"price", "color"}
MULTI = {"tags"}


def text_filter(n):
    parts = []
    for i in range(n):
        parts.append([f"c{i} = 'v{i}'", f"price > {i}", f"'t{i}' IN tags", f"c{i} BETWEEN {i} AND {i + 9}",
                      f"color LIKE 'r{i}%'"][i % 5])
    return " AND ".join(parts)


def dict_filter(n):
    parts = []
    for i in range(n):
        parts.append([{f"c{i}": f"v{i}"}, {"price": {"$gt": i}}, {"tags": {"$contains": f"t{i}"}},
                      {f"c{i}": {"$gte": i, "$lte": i + 9}}, {"color": {"$like": f"r{i}%"}}][i % 5])
    return parts[0] if n == 1 else {"$and": parts}


def chain_filter(n):
    s = AttrSieve()
    for i in range(n):
        k = i % 5
        if k == 0:
            s = s.where(f"c{i}", "=", f"v{i}")
        elif k == 1:
            s = s.where("price", ">", i)
        elif k == 2:
            s = s.where_any("tags", "=", f"t{i}")
        elif k == 3:
            s = s.where_between(f"c{i}", i, i + 9)
        else:
            s = s.where_like("color", f"r{i}%")
    return s


def timed(fn, calls):
    t0 = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - t0) / calls


def per_call(fn, calls, rounds):
    return statistics.median(timed(fn, calls) for _ in range(rounds))


def against(base, fns, calls, rounds):
    """Median time of `base` and, for each of `fns`, the median of its
    per-round ratio to `base`: each round times them back to back, so a
    busy machine slows both sides of a ratio alike."""
    bases, ratios = [], [[] for _ in fns]
    for _ in range(rounds):
        b = timed(base, calls)
        bases.append(b)
        for r, fn in zip(ratios, fns):
            r.append(timed(fn, calls) / b)
    b = statistics.median(bases)
    return b, [(b * statistics.median(r), statistics.median(r)) for r in ratios]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    rounds = 11
    scale = 1 if args.quick else 4

    print_machine()
    print(f"sqlglot {sqlglot.__version__}; medians of {rounds} rounds")
    print(f"{'conditions':>10} {'sqlglot parse':>14} {'compile text':>13} {'ratio':>6} "
          f"{'compile dict':>13} {'ratio':>6} {'build chain':>12} {'ratio':>6}")
    for n in (1, 10, 50):
        text, d = text_filter(n), dict_filter(n)
        calls = max(2, 400 // n) * scale
        parse, [(ctext, rt), (cdict, rd), (chain, rc)] = against(
            lambda: sqlglot.parse_one(text, read="sqlite", into=exp.Condition),
            [lambda: compile_filter(text, SCALAR, MULTI).to_sql(), lambda: compile_filter(d, SCALAR, MULTI).to_sql(),
             lambda: chain_filter(n).to_sql()],
            calls, rounds)
        print(f"{n:>10} {parse * 1e6:>11.1f} us {ctext * 1e6:>10.1f} us {rt:>6.2f} "
              f"{cdict * 1e6:>10.1f} us {rd:>6.2f} {chain * 1e6:>9.1f} us {rc:>6.2f}")

    # A text holding ';' or '--' inside a literal takes the token check as well.
    quoted = text_filter(10) + " AND color != 'a;b -- c'"
    calls = 40 * scale
    parse, [(ctext, ratio)] = against(lambda: sqlglot.parse_one(quoted, read="sqlite", into=exp.Condition),
                                      [lambda: compile_filter(quoted, SCALAR, MULTI).to_sql()], calls, rounds)
    print(f"11 conditions, ';' and '--' in a literal: parse {parse * 1e6:.1f} us, compile {ctext * 1e6:.1f} us, "
          f"ratio {ratio:.2f}")

    print(f"\n{'filter_cache_key':>16} {'1':>9} {'10':>9} {'50':>9}   (us per call)")
    for form, make in (("text", text_filter), ("dict", dict_filter), ("chain", chain_filter)):
        row = []
        for n in (1, 10, 50):
            f = make(n)
            row.append(per_call(lambda: filter_cache_key(f), 2000 * scale // n + 10, rounds) * 1e6)
        print(f"{form:>16} " + " ".join(f"{t:>9.2f}" for t in row))


if __name__ == "__main__":
    main()
