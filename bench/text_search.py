"""Text search speed of the BM25 index against calling bm25s directly.

Corpus: passages of this machine's man pages rendered to text with groff
(at least 100,000 passages in the full run; the installed packages'
descriptions from /var/lib/dpkg/status are added, and stand alone when there
are no man pages). Queries: one-line descriptions of the installed packages,
topped up with the one-line NAME descriptions of the man pages, 1,000 in the
full run.

For k = 10 and 100, with parallel retrieval off and on, it times in the same
run and on the same corpus:
  direct      bm25s.tokenize + BM25.retrieve with the index's own arguments
  search_raw  the index's raw search (positions, scores)
  search      the index's ranked SearchResult rows
and prints search_raw / direct (goal: at most 1.05) and what search adds per
returned hit over search_raw (goal: at most 1 microsecond), both as medians
over rounds in which the three run back to back. It also prints the
cost of a candidates mask over 1,000,000 candidate positions against the same
mask built with numpy.

    .venv/bin/python bench/text_search.py           # full sizes, a few minutes
    .venv/bin/python bench/text_search.py --quick   # small sizes, for a smoke run

Rendered man pages are cached in build/bench-cache/ (rendering all of them
takes a few minutes the first time).
"""

import argparse
import gzip
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from tools.dpkg_corpus import read_packages  # noqa: E402

from tarnix_engine.indexes import _term_scoring  # noqa: E402
from tarnix_engine.indexes._term_scoring import _RelevanceCore  # noqa: E402
from timing import print_machine  # noqa: E402

CACHE = ROOT / "build" / "bench-cache"
MAN_ROOT = Path("/usr/share/man")
GROFF = ["groff", "-t", "-man", "-Tutf8", "-P-cbou", "-rLL=2000n", "-rHY=0"]
WORDS_MIN, WORDS_MAX = 6, 120


def man_pages():
    # English pages only (the section folders directly under /usr/share/man).
    return sorted(str(p) for p in MAN_ROOT.glob("man[1-9]*/*") if p.is_file())


def render(path):
    """(rendered text, NAME line) of one man page; empty for a .so stub."""
    opener = gzip.open if path.endswith(".gz") else open
    try:
        with opener(path, "rb") as f:
            source = f.read()
    except OSError:
        return "", ""
    if source.lstrip().startswith(b".so "):
        return "", ""
    done = subprocess.run(GROFF, input=source, capture_output=True, timeout=60)
    text = done.stdout.decode("utf-8", "replace")
    name = ""
    lines = text.splitlines()
    for i, line in enumerate(lines):
        if line.strip() == "NAME" and i + 1 < len(lines):
            name = lines[i + 1].strip()
            break
    return text, name


def passages_of(text):
    out = []
    paragraph = []
    for line in text.splitlines()[1:-1]:  # drop the running header and footer
        if line.strip():
            paragraph.append(line.strip())
            continue
        if paragraph:
            out.extend(split_words(" ".join(paragraph)))
            paragraph = []
    if paragraph:
        out.extend(split_words(" ".join(paragraph)))
    return out


def split_words(paragraph):
    words = paragraph.split()
    if len(words) < WORDS_MIN:
        return []
    return [" ".join(words[i : i + WORDS_MAX]) for i in range(0, len(words), WORDS_MAX)]


def man_corpus(limit_pages=None):
    """(passages, NAME descriptions) of the man pages, cached between runs."""
    pages = man_pages()
    if limit_pages is not None:
        pages = pages[:limit_pages]
    if not pages or shutil.which("groff") is None:
        return [], []
    key = hashlib.sha256("\n".join(pages).encode()).hexdigest()[:16]
    cached = CACHE / f"man-{key}.json"
    if cached.exists():
        data = json.loads(cached.read_text(encoding="utf-8"))
        return data["passages"], data["names"]
    print(f"rendering {len(pages)} man pages with groff (cached afterwards) ...", flush=True)
    start = time.perf_counter()
    passages, names = {}, []
    with ProcessPoolExecutor(max_workers=os.cpu_count()) as pool:
        for text, name in pool.map(render, pages, chunksize=64):
            for p in passages_of(text):
                passages.setdefault(p, None)
            if " - " in name:
                names.append(name.split(" - ", 1)[1].strip())
    print(f"  done in {time.perf_counter() - start:.0f} s", flush=True)
    CACHE.mkdir(parents=True, exist_ok=True)
    data = {"passages": list(passages), "names": names}
    cached.write_text(json.dumps(data), encoding="utf-8")
    return data["passages"], data["names"]


def build_corpus(n_passages, n_queries, quick):
    packages = read_packages()
    passages, names = man_corpus(limit_pages=1500 if quick else None)
    passages = passages + [f"{p.summary}. {p.description}" for p in packages]
    seen, queries = set(), []
    for q in [p.summary for p in packages] + names:
        if q and q not in seen:
            seen.add(q)
            queries.append(q)
    return passages[:n_passages], queries[:n_queries]


def best_of(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="small corpus and few queries")
    parser.add_argument("--repeat", type=int, default=None, help="rounds per measurement (default 9, with --quick too)")
    args = parser.parse_args()
    n_passages, n_queries = (20_000, 200) if args.quick else (10**9, 1000)
    repeat = args.repeat or 9
    print_machine()

    passages, queries = build_corpus(n_passages, n_queries, args.quick)
    print(f"cores: {os.cpu_count()}   passages: {len(passages):,}   queries: {len(queries):,}   rounds: {repeat}")
    if not args.quick and len(passages) < 100_000:
        print("note: fewer than 100,000 passages on this machine")

    index = _RelevanceCore()
    t0 = time.perf_counter()
    index.fit(passages)
    print(f"index fit: {time.perf_counter() - t0:.1f} s")

    # The direct baseline: a model built the same way, searched with the same arguments.
    bm25s = _term_scoring.bm25s
    stop_words = _term_scoring.load_stopwords("english")
    stemmer = _term_scoring.Stemmer.Stemmer("english")
    model = bm25s.BM25(method="lucene", k1=1.5, b=0.75, backend="numba")
    model.index(bm25s.tokenize(passages, stopwords=stop_words, stemmer=stemmer, show_progress=False), show_progress=False)

    def direct(k, n_threads):
        tokens = bm25s.tokenize(queries, stopwords=stop_words, stemmer=stemmer, show_progress=False, return_ids=False)
        return model.retrieve(tokens, k=k, show_progress=False, n_threads=n_threads, weight_mask=None)

    # Warm-up: numba compiles each kernel on first use.
    for parallel in (False, True):
        index.search(queries[:4], 10, parallel=parallel)
        direct(10, -1 if parallel else 0)

    print()
    header = f"{'k':>4} {'parallel':>8} {'direct s':>9} {'raw s':>8} {'search s':>9} {'raw/direct':>10} {'search-raw ns/hit':>18}"
    print(header)
    print("-" * len(header))
    ratios = []
    for k in (10, 100):
        for parallel in (False, True):
            n_threads = -1 if parallel else 0
            runs = {
                "direct": lambda: direct(k, n_threads),
                "raw": lambda: index.search_raw(queries, k, parallel=parallel),
                "search": lambda: index.search(queries, k, parallel=parallel),
            }
            times = {name: [] for name in runs}
            order = list(runs)
            for r in range(repeat):
                # The three take turns in a rotating order, so that load from
                # other processes and the state left by the previous call fall
                # on all of them alike; figures are medians of paired rounds.
                for name in order[r % 3 :] + order[: r % 3]:
                    t0 = time.perf_counter()
                    runs[name]()
                    times[name].append(time.perf_counter() - t0)
            hits = sum(len(row) for row in index.search(queries, k, parallel=parallel))
            d, r_, s_ = (float(np.median(times[name])) for name in ("direct", "raw", "search"))
            ratio = float(np.median(np.array(times["raw"]) / np.array(times["direct"])))
            per_hit = float(np.median(np.array(times["search"]) - np.array(times["raw"]))) / hits * 1e9
            ratios.append(ratio)
            print(f"{k:>4} {str(parallel):>8} {d:>9.3f} {r_:>8.3f} {s_:>9.3f} {ratio:>10.3f} {per_hit:>18.0f}")

    # Candidates: 1,000,000 positions, about half of them outside the index.
    rng = np.random.default_rng(0)
    n = index.size
    candidates = rng.integers(-n // 2, n + n // 2, size=1_000_000, dtype=np.int64)
    one = queries[:1]

    def numpy_mask():
        mask = np.zeros(n, dtype=np.float32)
        inside = candidates[(candidates >= 0) & (candidates < n)]
        mask[inside] = 1.0
        return mask

    # An empty batch builds the mask and stops before bm25s: the mask alone.
    t_none = best_of(lambda: index.search_raw([], 10), repeat * 3)
    t_mask = best_of(lambda: index.search_raw([], 10, candidates=candidates), repeat * 3) - t_none
    t_plain = best_of(lambda: index.search_raw(one, 10), repeat * 3)
    t_masked = best_of(lambda: index.search_raw(one, 10, candidates=candidates), repeat * 3)
    t_numpy = best_of(numpy_mask, repeat * 3)
    print(f"\ncandidates: 1,000,000 positions (about half outside) over {n:,} documents")
    print(f"  weight mask built by the index: {t_mask * 1e3:6.2f} ms")
    print(f"  the same mask built with numpy: {t_numpy * 1e3:6.2f} ms   (index/numpy {t_mask / t_numpy:.2f})")
    print(f"  added to a one-query search_raw (mask, bm25s's masked scoring, moving masked hits):"
          f" {(t_masked - t_plain) * 1e3:.2f} ms")
    print(f"worst search_raw/direct: {max(ratios):.3f}")


if __name__ == "__main__":
    main()
