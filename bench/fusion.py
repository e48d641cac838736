"""Speed of the fusion kernels against the fusion a user would write.

In the same run and on the same data it times:
  merge         one call on two 10-entry lists, including the Python call
                (goal: at most 2 microseconds), beside a plain-Python dict
                fusion of the same two lists;
  merge_batch   the batch kernel on all cores, against a vectorised numpy
                fusion and a plain-Python dict fusion computing the same
                result, for 1 / 1,000 / 10,000 queries and lists of
                10 / 100 / 1,000 entries (goal: at least 10x numpy from
                1,000 queries);
  _process_batch the per-shard hybrid fusion for 1 / 8 / 64 shards, against
                numpy and dict versions of the same fusion;
  scaling       merge_batch and _process_batch on 1 core and on all cores
                (child processes with OMP_NUM_THREADS set).
Figures are medians over rounds (each call repeated to last about 20 ms) in
which the contenders run back to back in a rotating order; "same" says the baselines returned exactly the kernel's
arrays. Cases whose inputs would pass the entry cap (--max-entries) are
skipped, and the dict baseline runs only up to --max-dict-entries.

    .venv/bin/python bench/fusion.py            # full table, a few minutes
    .venv/bin/python bench/fusion.py --quick    # smaller cap, the same rounds
"""

import argparse
import json
import os
import subprocess
import sys
import time

import numpy as np

from tarnix_engine.kernels import fusion
from timing import ROUNDS, print_machine

RANK_K = 60


# ---- data ---------------------------------------------------------------------


def distinct_rows(rng, rows, width, universe):
    """(rows, width) ids, distinct within each row, drawn from [0, universe):
    a random start and a stride coprime with the (prime) universe."""
    start = rng.integers(0, universe, (rows, 1))
    stride = rng.integers(1, universe, (rows, 1))
    return (start + np.arange(width) * stride) % universe


def next_prime(n):
    def is_prime(m):
        return m > 1 and all(m % d for d in range(2, int(m**0.5) + 1))

    while not is_prime(n):
        n += 1
    return n


def pad_rows(rng, ids, fill=-1):
    """Empties the tail of about a quarter of the rows, as raw results do."""
    ids = ids.copy()
    short = rng.random(len(ids)) < 0.25
    cut = rng.integers(0, ids.shape[1] + 1, len(ids))
    cols = np.arange(ids.shape[1])
    ids[short[:, None] & (cols >= cut[:, None])] = fill
    return ids


def list_pairs(rng, nq, length):
    universe = next_prime(3 * length)
    return (pad_rows(rng, distinct_rows(rng, nq, length, universe)),
            pad_rows(rng, distinct_rows(rng, nq, length, universe)))


def shard_hits(rng, shards, nq, length):
    """Stacked hits of `shards` shards of 4 x length documents each: rows of
    distinct local positions, distances rising and scores falling along a row."""
    size = next_prime(4 * length)
    vpos = pad_rows(rng, distinct_rows(rng, shards * nq, length, size)).reshape(shards, nq, length)
    tpos = pad_rows(rng, distinct_rows(rng, shards * nq, length, size)).reshape(shards, nq, length)
    vdist = np.sort(rng.random((shards, nq, length), dtype=np.float32) * 100, axis=2).astype(np.float32)
    tscore = -np.sort(-rng.random((shards, nq, length)) * 20, axis=2)
    offsets = np.arange(shards, dtype=np.int64) * size
    return vpos, vdist, tpos, tscore, offsets


# ---- the baselines ------------------------------------------------------------


def numpy_merge_batch(a, b, rank_k, top_k, wa, wb):
    """Vectorised over the whole batch: ranks by cumulative counts, totals by
    bincount over (row, id) keys, then a lexsort by (row, -total, first seen)."""
    nq = a.shape[0]
    ids = np.concatenate([a, b], axis=1)
    contrib = np.concatenate([wa / (rank_k + np.cumsum(a >= 0, axis=1)),
                              wb / (rank_k + np.cumsum(b >= 0, axis=1))], axis=1)
    valid = ids >= 0
    span = int(ids.max(initial=0)) + 1
    keys = (np.arange(nq)[:, None] * span + ids)[valid]
    uniq, first, inverse = np.unique(keys, return_index=True, return_inverse=True)
    totals = np.bincount(inverse, weights=contrib[valid], minlength=len(uniq))
    return _top_per_row(nq, top_k, uniq // span, uniq % span, totals, first)


def numpy_process_batch(vpos, vdist, tpos, tscore, offsets, top_k, rrf_k, alpha_distance, alpha_bm25):
    """The same vectorised shape: each side's global positions sorted by its
    key over all shards, ranks by column, then totals by bincount."""
    nq = vpos.shape[1]

    def side(pos, key):
        g = np.where(pos >= 0, pos + offsets[:, None, None], -1).transpose(1, 0, 2).reshape(nq, -1)
        key = np.where(g >= 0, key.transpose(1, 0, 2).reshape(nq, -1).astype(np.float64), np.inf)
        order = np.lexsort((g, key), axis=1)
        return np.take_along_axis(g, order, axis=1)

    t, v = side(tpos, -tscore), side(vpos, vdist)
    ids = np.concatenate([t, v], axis=1)
    contrib = np.concatenate([np.broadcast_to(alpha_bm25 / (rrf_k + np.arange(1, t.shape[1] + 1)), t.shape),
                              np.broadcast_to(alpha_distance / (rrf_k + np.arange(1, v.shape[1] + 1)), v.shape)],
                             axis=1)
    valid = ids >= 0
    span = int(ids.max(initial=0)) + 1
    keys = (np.arange(nq)[:, None] * span + ids)[valid]
    uniq, inverse = np.unique(keys, return_inverse=True)
    totals = np.bincount(inverse, weights=contrib[valid], minlength=len(uniq))
    return _top_per_row(nq, top_k, uniq // span, uniq % span, totals, uniq % span)


def _top_per_row(nq, top_k, rows, ids, totals, tie):
    order = np.lexsort((tie, -totals, rows))
    rows, ids, totals = rows[order], ids[order], totals[order]
    starts = np.searchsorted(rows, np.arange(nq))
    place = np.arange(len(rows)) - starts[rows]
    keep = place < top_k
    out_ids = np.full((nq, top_k), -1, dtype=np.int64)
    out_scores = np.zeros((nq, top_k))
    out_ids[rows[keep], place[keep]] = ids[keep]
    out_scores[rows[keep], place[keep]] = totals[keep]
    return out_ids, out_scores


def dict_merge(a, b, rank_k, top_k, wa, wb):
    totals = {}
    for ids, w in ((a, wa), (b, wb)):
        rank = 0
        for i in ids:
            if i >= 0:
                totals[i] = totals.get(i, 0.0) + w / (rank_k + rank + 1)
                rank += 1
    top = sorted(totals.items(), key=lambda kv: kv[1], reverse=True)[:top_k]
    return [i for i, _ in top], [s for _, s in top]


def dict_merge_batch(a, b, rank_k, top_k, wa, wb):
    out_ids = np.full((len(a), top_k), -1, dtype=np.int64)
    out_scores = np.zeros((len(a), top_k))
    for q, (ra, rb) in enumerate(zip(a.tolist(), b.tolist())):
        ids, scores = dict_merge(ra, rb, rank_k, top_k, wa, wb)
        out_ids[q, : len(ids)] = ids
        out_scores[q, : len(ids)] = scores
    return out_ids, out_scores


def dict_process_batch(vpos, vdist, tpos, tscore, offsets, top_k, rrf_k, alpha_distance, alpha_bm25):
    S, nq, _ = vpos.shape
    out_ids = np.full((nq, top_k), -1, dtype=np.int64)
    out_scores = np.zeros((nq, top_k))
    off = offsets.tolist()
    vp, vd, tp, ts = vpos.tolist(), vdist.tolist(), tpos.tolist(), tscore.tolist()
    for q in range(nq):
        text = sorted((-ts[s][q][j], off[s] + p) for s in range(S) for j, p in enumerate(tp[s][q]) if p >= 0)
        vec = sorted((vd[s][q][j], off[s] + p) for s in range(S) for j, p in enumerate(vp[s][q]) if p >= 0)
        totals = {}
        for hits, w in ((text, alpha_bm25), (vec, alpha_distance)):
            seen = set()
            for _, g in hits:
                if g not in seen:
                    totals[g] = totals.get(g, 0.0) + w / (rrf_k + len(seen) + 1)
                    seen.add(g)
        top = sorted(totals.items(), key=lambda kv: (-kv[1], kv[0]))[:top_k]
        out_ids[q, : len(top)] = [g for g, _ in top]
        out_scores[q, : len(top)] = [t for _, t in top]
    return out_ids, out_scores


# ---- timing -------------------------------------------------------------------


def rounds(runs, repeat):
    """{name: median seconds per call}. Each contender is called often enough
    per round to last about 20 ms; the contenders take turns in a rotating
    order, so load from other processes falls on all of them alike."""
    names = list(runs)
    calls = {}
    for n in names:
        number = 1
        while True:
            t0 = time.perf_counter()
            for _ in range(number):
                runs[n]()
            if time.perf_counter() - t0 >= 0.02 or number >= 10**5:
                break
            number *= 10
        calls[n] = number
    times = {n: [] for n in names}
    for r in range(repeat):
        for n in names[r % len(names):] + names[: r % len(names)]:
            fn, number = runs[n], calls[n]
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            times[n].append((time.perf_counter() - t0) / number)
    return {n: float(np.median(t)) for n, t in times.items()}


def same(x, y):
    return np.array_equal(x[0], y[0]) and x[1].tobytes() == np.asarray(y[1]).tobytes()


def per_call_merge(repeat):
    a = np.arange(10, dtype=np.int64).reshape(1, 10)
    b = np.arange(5, 15, dtype=np.int64).reshape(1, 10)
    la, lb = a[0].tolist(), b[0].tolist()
    t = rounds({
        "merge": lambda: fusion.merge(a, b, k=RANK_K, top_k=10, alpha_distance=1.0, alpha_bm25=1.0),
        "dict": lambda: dict_merge(la, lb, RANK_K, 10, 1.0, 1.0),
    }, 3 * repeat)
    print(f"merge, two 10-entry lists: {t['merge'] * 1e6:.2f} us per call (goal <= 2)   "
          f"plain-Python dict: {t['dict'] * 1e6:.2f} us   (dict/merge {t['dict'] / t['merge']:.1f}x)")


def table_merge_batch(rng, repeat, max_entries, max_dict):
    print("\nmerge_batch (parallel=True) against numpy and plain-Python dict fusion")
    header = f"{'nq':>6} {'len':>5} {'kernel ms':>10} {'numpy ms':>10} {'dict ms':>10} {'numpy/kernel':>13} {'dict/kernel':>12} {'same':>5}"
    print(header + "\n" + "-" * len(header))
    for nq in (1, 1000, 10000):
        for length in (10, 100, 1000):
            if nq * 2 * length > max_entries:
                print(f"{nq:>6} {length:>5}   skipped (over the entry cap)")
                continue
            a, b = list_pairs(rng, nq, length)
            args = (RANK_K, 10, 1.0, 0.7)
            runs = {
                "kernel": lambda: fusion.merge_batch(a, b, k=RANK_K, top_k=10, alpha_distance=0.7, alpha_bm25=1.0,
                                                     parallel=True),
                "numpy": lambda: numpy_merge_batch(a, b, *args),
            }
            with_dict = nq * 2 * length <= max_dict
            if with_dict:
                runs["dict"] = lambda: dict_merge_batch(a, b, *args)
            t = rounds(runs, repeat)
            got = runs["kernel"]()
            ok = same(got, numpy_merge_batch(a, b, *args)) and (not with_dict or same(got, dict_merge_batch(a, b, *args)))
            d = f"{t['dict'] * 1e3:>10.2f}" if with_dict else f"{'-':>10}"
            dr = f"{t['dict'] / t['kernel']:>12.1f}" if with_dict else f"{'-':>12}"
            print(f"{nq:>6} {length:>5} {t['kernel'] * 1e3:>10.3f} {t['numpy'] * 1e3:>10.2f} {d} "
                  f"{t['numpy'] / t['kernel']:>13.1f} {dr} {str(ok):>5}")


def table_process_batch(rng, repeat, max_entries, max_dict):
    print("\n_process_batch (all cores) against numpy and plain-Python dict fusion")
    header = f"{'S':>3} {'nq':>6} {'len':>5} {'kernel ms':>10} {'numpy ms':>10} {'dict ms':>10} {'numpy/kernel':>13} {'dict/kernel':>12} {'same':>5}"
    print(header + "\n" + "-" * len(header))
    for shards in (1, 8, 64):
        for nq in (1, 1000, 10000):
            for length in (10, 100, 1000):
                entries = shards * nq * 2 * length
                if entries > max_entries:
                    print(f"{shards:>3} {nq:>6} {length:>5}   skipped (over the entry cap)")
                    continue
                hits = shard_hits(rng, shards, nq, length)
                kw = dict(top_k=10, rrf_k=RANK_K, alpha_distance=1.0, alpha_bm25=0.7)
                args = (10, RANK_K, 1.0, 0.7)
                runs = {"kernel": lambda: fusion._process_batch(*hits, **kw),
                        "numpy": lambda: numpy_process_batch(*hits, *args)}
                with_dict = entries <= max_dict
                if with_dict:
                    runs["dict"] = lambda: dict_process_batch(*hits, *args)
                t = rounds(runs, repeat)
                got = runs["kernel"]()
                ok = same(got, numpy_process_batch(*hits, *args)) and (
                    not with_dict or same(got, dict_process_batch(*hits, *args)))
                d = f"{t['dict'] * 1e3:>10.2f}" if with_dict else f"{'-':>10}"
                dr = f"{t['dict'] / t['kernel']:>12.1f}" if with_dict else f"{'-':>12}"
                print(f"{shards:>3} {nq:>6} {length:>5} {t['kernel'] * 1e3:>10.3f} {t['numpy'] * 1e3:>10.2f} {d} "
                      f"{t['numpy'] / t['kernel']:>13.1f} {dr} {str(ok):>5}")


def scaling_child(repeat):
    """Run in a child process: kernel times at the thread count of its environment."""
    rng = np.random.default_rng(7)
    a, b = list_pairs(rng, 10000, 100)
    hits = shard_hits(rng, 8, 2000, 100)
    t = rounds({
        "merge_batch": lambda: fusion.merge_batch(a, b, k=RANK_K, top_k=10, alpha_distance=1.0, alpha_bm25=1.0,
                                                  parallel=True),
        "_process_batch": lambda: fusion._process_batch(*hits, top_k=10, rrf_k=RANK_K, alpha_distance=1.0,
                                                        alpha_bm25=1.0),
    }, repeat)
    print(json.dumps(t))


def scaling(repeat):
    cores = os.cpu_count() or 1
    print(f"\nscaling from 1 to {cores} cores (merge_batch: 10,000 queries x 100 + 100; "
          f"_process_batch: 8 shards, 2,000 queries, 100 + 100 per shard)")
    found = {}
    for threads in (1, cores):
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        out = subprocess.run([sys.executable, __file__, "--scaling-child", "--repeat", str(repeat)], env=env,
                             capture_output=True, text=True, check=True)
        found[threads] = json.loads(out.stdout.strip().splitlines()[-1])
    for name in ("merge_batch", "_process_batch"):
        one, many = found[1][name], found[cores][name]
        print(f"  {name:>15}: 1 core {one * 1e3:8.2f} ms   {cores} cores {many * 1e3:8.2f} ms   speed-up {one / many:.2f}x")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=None)
    parser.add_argument("--max-entries", type=int, default=None, help="largest input (ids over both sides) timed")
    parser.add_argument("--max-dict-entries", type=int, default=None)
    parser.add_argument("--scaling-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    repeat = args.repeat or ROUNDS
    if args.scaling_child:
        scaling_child(repeat)
        return
    max_entries = args.max_entries or (2_000_000 if args.quick else 20_000_000)
    max_dict = args.max_dict_entries or (200_000 if args.quick else 2_000_000)
    print_machine()
    print(f"cores: {os.cpu_count()}   rounds: {repeat}   entry cap: {max_entries:,}   dict cap: {max_dict:,}")
    rng = np.random.default_rng(0)
    per_call_merge(repeat)
    table_merge_batch(rng, repeat, max_entries, max_dict)
    table_process_batch(rng, repeat, max_entries, max_dict)
    scaling(repeat)


if __name__ == "__main__":
    main()
