"""Costs of the pre-filter store (RowScreen) against plain sqlite3.

Store: N documents with 5 scalar metadata keys, 5 tags each and 1 to 3 roles
out of 100. For each N it prints, as medians over rounds:

  hit     positions() answered from the cache, for a text, a dict and a
          chain filter with two roles (goal: at most 5 us for the text one)
  miss    positions() with the cache emptied first, against what a user
          would write with sqlite3 alone: the store's own SELECT, and the
          shorter ones a user would write instead (no join with docs, the
          grants joined rather than sub-selected, doc_access alone for a
          question by roles), each run on the same connection and turned
          into a numpy array by the obvious code (np.array of the first
          column of fetchall). They run back to back in each round; the
          ratio is the median of the per-round ratios against the fastest
          of them (goal: at most 1 where the filter is not parsed). The
          roles-only and the chain questions are also timed as the first
          miss after a write, when the store has dropped what it kept of
          the roles' grants; "copy" is the cost of copying the roles-only
          answer, against which its miss is set
  schema  schema()
  writes  documents per second of add + grant for batches of 1, 100 and
          10,000 documents with metadata
  compact after deleting the first document (every row moves), CPU time
          against a plain copy of the database (sqlite3 backup)
  save / load of the whole store

    .venv/bin/python bench/row_screen.py            # 10,000 / 100,000 / 1,000,000
    .venv/bin/python bench/row_screen.py --quick    # 10,000 / 20,000
    .venv/bin/python bench/row_screen.py --compact  # builds the stores, times compact() only
"""

import argparse
import random
import sqlite3
import statistics
import tempfile
import time

import numpy as np

from tarnix_engine._row_screen import RowScreen
from timing import print_machine

TAGS = [f"t{i}" for i in range(50)]
ROLES = [f"r{i}" for i in range(100)]
LANGS = ["en", "de", "fr", "es", "it"]


def documents(start, n, rng):
    ids = [f"doc{i}" for i in range(start, start + n)]
    metas = [
        {
            "year": 1990 + rng.randrange(35),
            "lang": rng.choice(LANGS),
            "score": rng.random(),
            "pages": rng.randrange(1, 900),
            "status": rng.choice(["draft", "final", "old"]),
            "tags": rng.sample(TAGS, 5),
        }
        for _ in range(n)
    ]
    roles = [rng.sample(ROLES, rng.randint(1, 3)) for _ in range(n)]
    return ids, metas, roles


def fill(store, n, rng, batch=10_000):
    for start in range(0, n, batch):
        ids, metas, roles = documents(start, min(batch, n - start), rng)
        store.add(ids, metas)
        by_role = {}
        for doc, rs in zip(ids, roles):
            for r in rs:
                by_role.setdefault(r, []).append(doc)
        for r, docs in by_role.items():
            store.grant(docs, [r])


def median_us(fn, rounds):
    times = []
    for _ in range(rounds):
        t = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t)
    return statistics.median(times) * 1e6


def direct_sql(store, filter, roles):
    """The store's position query as a user would write it for sqlite3."""
    sql = "SELECT m.position FROM metadata m JOIN docs d ON d.position = m.position"
    conditions, params = [], []
    sieve = store._as_attr_sieve(filter)
    if sieve is not None:
        text, values = sieve.to_sql()
        conditions.append(text)
        params.extend(values)
    if roles is not None:
        marks = ",".join("?" * len(roles))
        conditions.append(f"m.position IN (SELECT position FROM doc_access WHERE role IN ({marks}))")
        params.extend(roles)
    if conditions:
        sql += " WHERE " + " AND ".join(conditions)
    return sql + " ORDER BY m.position", params


def user_sql(store, filter, roles):
    """{name: (sql, params)}: the store's statement and the shorter codings of
    the same question a user would write (every document of these stores has
    its docs row, so the join is not needed for the answer)."""
    out = {"statement": direct_sql(store, filter, roles)}
    sieve = store._as_attr_sieve(filter)
    text, values = sieve.to_sql() if sieve is not None else (None, [])
    marks = ",".join("?" * len(roles or []))
    if text is None and roles is not None:
        out["doc_access"] = (f"SELECT DISTINCT position FROM doc_access WHERE role IN ({marks}) ORDER BY position",
                             list(roles))
    elif text is not None and roles is None:
        out["no join"] = (f"SELECT m.position FROM metadata m WHERE {text}", list(values))
    elif text is not None:
        out["no join"] = (
            f"SELECT m.position FROM metadata m WHERE {text} AND m.position IN "
            f"(SELECT position FROM doc_access WHERE role IN ({marks}))",
            list(values) + list(roles),
        )
        out["grants joined"] = (
            f"SELECT DISTINCT m.position FROM metadata m JOIN doc_access a ON a.position = m.position "
            f"WHERE {text} AND a.role IN ({marks}) ORDER BY m.position",
            list(values) + list(roles),
        )
    return out


def paired(store, filter, roles, rounds, after_write=False):
    """(ours ms, fastest peer ms, its name, median ratio ours / fastest)."""
    conn = store._conn

    def ours():
        store._cache.clear()
        return store.positions(filter, roles)

    def peer(sql, params):
        return lambda: np.array([row[0] for row in conn.execute(sql, params).fetchall()], dtype=np.int64)

    peers = {name: peer(sql, params) for name, (sql, params) in user_sql(store, filter, roles).items()}
    for fn in peers.values():
        assert np.array_equal(ours(), np.unique(fn()))
    a, b = [], {name: [] for name in peers}
    for _ in range(rounds):
        if after_write:
            store.grant([], ["r0"])  # a write that changes nothing: every kept read is dropped
        t0 = time.perf_counter()
        ours()
        a.append(time.perf_counter() - t0)
        for name, fn in peers.items():
            t0 = time.perf_counter()
            fn()
            b[name].append(time.perf_counter() - t0)
    fastest = min(b, key=lambda name: statistics.median(b[name]))
    ratios = [x / y for x, y in zip(a, b[fastest])]
    return statistics.median(a) * 1e3, statistics.median(b[fastest]) * 1e3, fastest, statistics.median(ratios)


def compact(store, rounds):
    """compact() after deleting the first document, which moves every row of
    every table, against a plain copy of the whole database (every page read
    and written once) in the same round. CPU times, as the machine is shared."""
    conn = store._conn
    ours, copies, ratios = [], [], []
    for _ in range(rounds):
        store.delete([store.ids[0]])
        t = time.process_time()
        store.compact()
        ours.append(time.process_time() - t)
        t = time.process_time()
        conn.backup(sqlite3.connect(":memory:"))
        copies.append(time.process_time() - t)
        ratios.append(ours[-1] / copies[-1])
    assert store.positions().tolist() == list(range(store.size))
    print(
        f"compact after deleting the first document (CPU ms): {statistics.median(ours) * 1e3:.1f}, "
        f"copy of the database {statistics.median(copies) * 1e3:.1f}, ratio {statistics.median(ratios):.2f}x"
    )


def run(n, rounds, only_compact=False):
    rng = random.Random(7)
    store = RowScreen()
    t = time.perf_counter()
    fill(store, n, rng)
    build = time.perf_counter() - t
    print(f"\n== {n:,} documents (built in {build:.1f} s, {n / build:,.0f} docs/s)")
    if only_compact:
        compact(store, rounds=3 if n <= 100_000 else 1)
        return
    two = ["r3", "r7"]
    text = "year >= 2000 AND lang = 'en'"
    as_dict = {"year": {"$gte": 2000}, "lang": "en"}
    chain = store.where("year", ">=", 2000).where("lang", "=", "en")

    print("cache hit (us):")
    for label, f in (("text", text), ("dict", as_dict), ("chain", chain)):
        store.positions(f, two)
        print(f"  {label:6s} + 2 roles  {median_us(lambda: store.positions(f, two), rounds * 50):8.2f}")

    print("cache miss (ms): store / fastest plain sqlite3 / ratio  (that coding)")
    for label, f, r, after_write in (
        ("everything allowed", None, None, False),
        ("2 roles", None, two, False),
        ("2 roles, after write", None, two, True),
        ("30 roles", None, ROLES[:30], False),
        ("chain", chain, None, False),
        ("chain + 2 roles", chain, two, False),
        ("chain + 2, after write", chain, two, True),
        ("chain + 30 roles", chain, ROLES[:30], False),
        ("text + 2 roles", text, two, False),
        ("dict + 2 roles", as_dict, two, False),
    ):
        ours, theirs, name, ratio = paired(store, f, r, rounds, after_write)
        print(f"  {label:20s} {ours:9.3f} {theirs:9.3f}   {ratio:5.2f}x  ({name})")
    answer = store.positions(None, two)
    print(f"roles-only answer: {len(answer):,} positions; copy {median_us(answer.copy, rounds * 50):.2f} us, "
          f"miss {median_us(lambda: (store._cache.clear(), store.positions(None, two)), rounds * 50):.2f} us, "
          f"hit {median_us(lambda: store.positions(None, two), rounds * 50):.2f} us")

    print(f"schema() (us): {median_us(store.schema, rounds * 5):.1f}")

    print("writes (docs/s, add with metadata + grants):")
    for batch in (1, 100, 10_000):
        reps = max(1, min(20, 20_000 // batch))
        start = n + 10_000_000 * batch
        times = []
        for rep in range(reps):
            ids, metas, roles = documents(start + rep * batch, batch, rng)
            t = time.perf_counter()
            store.add(ids, metas)
            store.grant(ids, roles[0])
            times.append(time.perf_counter() - t)
        print(f"  batch {batch:6d}: {batch / statistics.median(times):12,.0f}")

    compact(store, rounds=3 if n <= 100_000 else 1)

    with tempfile.TemporaryDirectory() as folder:
        t = time.perf_counter()
        store.save(folder)
        saved = time.perf_counter() - t
        t = time.perf_counter()
        RowScreen.load(folder)
        loaded = time.perf_counter() - t
    print(f"save {saved * 1e3:.1f} ms, load {loaded * 1e3:.1f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("--sizes", type=int, nargs="*", help="document counts to run")
    parser.add_argument("--compact", action="store_true", help="build the stores and time compact() only")
    args = parser.parse_args()
    print_machine()
    sizes = args.sizes or ([10_000, 20_000] if args.quick else [10_000, 100_000, 1_000_000])
    for n in sizes:
        run(n, rounds=15 if n <= 100_000 else 5, only_compact=args.compact)


if __name__ == "__main__":
    main()
