"""Cost of searching through a ScreenedSearch against searching its inner index.

For the vector index (1,000,000 rows of 384 dimensions in the full run) and
the text index (the man-page passages of bench/text_search.py), with one role
granted to 0.1%, 10% and 100% of the documents, it times per query, as medians
of paired rounds in one run:
  direct      the inner index searched with the allowed positions as candidates
  hit         the wrapper's restricted search, positions from the store's cache
  miss        the same with the cache emptied before every call
  open        the wrapper's unrestricted search against the inner index's own
  filtered    a miss with a metadata filter too (half the documents match),
              against the direct search over what it allows: SQLite then
              evaluates the filter once per document the role may see
and prints hit - direct per query (goal: at most 5% or 20 us, whichever is
larger). Then 8 threads search with the role while a writer adds and deletes
other documents, and it prints searches per second against the same 8 threads
with no writer.

    .venv/bin/python bench/screened_search.py           # full sizes, several minutes
    .venv/bin/python bench/screened_search.py --quick   # small sizes
    .venv/bin/python bench/screened_search.py --index vector   # one inner index only
"""

import argparse
import statistics
import sys
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from text_search import build_corpus  # noqa: E402

from tarnix_engine._row_screen import RowScreen  # noqa: E402
from tarnix_engine._screened_search import ScreenedSearch  # noqa: E402
from tarnix_engine.indexes._tarnix_impl import _TarnixCore  # noqa: E402
from tarnix_engine.indexes._term_scoring import _RelevanceCore  # noqa: E402
from timing import ROUNDS, print_machine  # noqa: E402

FRACTIONS = (0.001, 0.1, 1.0)


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def build(inner, ids, batch, fraction, seed=0):
    rng = np.random.default_rng(seed)
    granted = rng.random(len(ids)) < fraction
    granted[0] = True  # at least one allowed document
    roles = [["reader"] if g else None for g in granted]
    wrapper = ScreenedSearch(inner, RowScreen())
    wrapper.add(ids, batch, metadata=[{"grp": int(i % 10)} for i in range(len(ids))], roles=roles)
    return wrapper


def compare(label, wrapper, queries, args, rounds):
    store = wrapper.row_screen
    allowed = wrapper.candidates(roles=["reader"])
    inner = wrapper.inner
    half = {"grp": {"$lt": 5}}
    allowed_half = wrapper.candidates(filter=half, roles=["reader"])
    per = {k: [] for k in ("direct", "hit", "miss", "open", "inner", "filtered", "fdirect")}
    n = len(queries)

    def miss(filter=None):
        for q in queries:
            store._cache.clear()
            wrapper.search(q, *args, filter=filter, roles=["reader"])

    for _ in range(rounds):
        per["direct"].append(timed(lambda: [inner.search(q, *args, candidates=allowed) for q in queries]) / n)
        per["hit"].append(timed(lambda: [wrapper.search(q, *args, roles=["reader"]) for q in queries]) / n)
        per["miss"].append(timed(miss) / n)
        per["inner"].append(timed(lambda: [inner.search(q, *args) for q in queries]) / n)
        per["open"].append(timed(lambda: [wrapper.search(q, *args) for q in queries]) / n)
        per["filtered"].append(timed(lambda: miss(half)) / n)
        per["fdirect"].append(timed(lambda: [inner.search(q, *args, candidates=allowed_half) for q in queries]) / n)
    med = {k: statistics.median(v) * 1e6 for k, v in per.items()}
    extra = med["hit"] - med["direct"]
    goal = max(0.05 * med["direct"], 20.0)
    print(
        f"{label:<26} {len(allowed):>9,} {med['direct']:>10.1f} {med['hit']:>10.1f} {extra:>+9.1f} "
        f"{'met' if extra <= goal else 'NOT met':>8} {med['miss']:>10.1f} {med['inner']:>10.1f} {med['open']:>10.1f} "
        f"{med['filtered']:>11.1f} {med['filtered'] / med['fdirect']:>8.1f}x"
    )


def header():
    print(
        f"{'index, allowed fraction':<26} {'allowed':>9} {'direct us':>10} {'hit us':>10} {'hit-dir':>9} "
        f"{'goal':>8} {'miss us':>10} {'inner us':>10} {'open us':>10} {'filtered us':>11} {'/direct':>9}"
    )


def threads_with_writer(wrapper, queries, args, make_batch, seconds):
    def run(with_writer):
        stop = threading.Event()
        counts = [0] * 8

        def reader(slot):
            i = slot
            while not stop.is_set():
                wrapper.search(queries[i % len(queries)], *args, roles=["reader"])
                counts[slot] += 1
                i += 8

        def writer():
            round_ = 0
            while not stop.is_set():
                ids = [f"w{round_}_{j}" for j in range(16)]
                wrapper.add(ids, make_batch(ids), roles=[["writer"]] * len(ids))
                wrapper.delete(ids)
                round_ += 1

        threads = [threading.Thread(target=reader, args=(s,)) for s in range(8)]
        if with_writer:
            threads.append(threading.Thread(target=writer))
        for t in threads:
            t.start()
        time.sleep(seconds)
        stop.set()
        for t in threads:
            t.join()
        return sum(counts) / seconds

    alone, busy = run(False), run(True)
    print(f"  8 threads: {alone:,.0f} searches/s alone, {busy:,.0f} with a writer adding and deleting")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--index", choices=("vector", "text", "both"), default="both", help="which inner index to run")
    args = parser.parse_args()
    n_vec, dim, n_q, rounds = (50_000, 64, 50, ROUNDS) if args.quick else (1_000_000, 384, 100, ROUNDS)
    print_machine()
    print(f"rounds: {rounds} (medians, per query)")
    header()

    rng = np.random.default_rng(0)
    if args.index != "text":
        data = rng.standard_normal((n_vec, dim), dtype=np.float32)
        ids = [f"v{i}" for i in range(n_vec)]
        queries = [rng.standard_normal(dim, dtype=np.float32) for _ in range(n_q)]
        last = None
        for fraction in FRACTIONS:
            inner = _TarnixCore()
            w = build(inner, ids, data, fraction)
            compare(f"vector {n_vec:,}, {fraction:g}", w, queries, (10,), rounds)
            last = w
        threads_with_writer(last, queries, (10,), lambda ids: rng.standard_normal((len(ids), dim), dtype=np.float32),
                            2 if args.quick else 10)
        del last, w, inner, data
    if args.index == "vector":
        return

    passages, text_queries = build_corpus(20_000 if args.quick else 10**9, n_q, args.quick)
    text_ids = [f"t{i}" for i in range(len(passages))]
    text_queries = [[q] for q in text_queries]
    for fraction in FRACTIONS:
        w = build(_RelevanceCore(), text_ids, passages, fraction)
        compare(f"text {len(passages):,}, {fraction:g}", w, text_queries, (10,), rounds)
    threads_with_writer(w, text_queries, (10,), lambda ids: [f"writer passage {i}" for i in ids],
                        2 if args.quick else 10)


if __name__ == "__main__":
    main()
