"""Saving and loading the BM25 text index folder against writing and reading
the same files directly.

The index saves through a staging folder that is synced and swapped in whole
(and loads with its checks of every member and of the model's arrays); the
baseline writes the same four members straight into the live folder with the
same helpers and reads them back with bm25s and json alone, as a save in
place would. Both run over the same corpus, back to back in each round, and
the ratios printed are medians over the rounds:

  save   index.save(folder) over an existing folder / direct writes over it
  load   index.load(folder) / bm25s BM25.load + json of corpus.json

Corpus: the package descriptions of /var/lib/dpkg/status, repeated up to the
asked size (generated word lists where there is no dpkg).

    .venv/bin/python bench/text_folder.py            # 50,000 documents, 7 rounds
    .venv/bin/python bench/text_folder.py --quick    # 2,000 documents, 3 rounds
"""

import argparse
import json
import os
import platform
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from tools.dpkg_corpus import documents  # noqa: E402

from tarnix_engine._persistence import write_config  # noqa: E402
from tarnix_engine.indexes import _term_scoring  # noqa: E402
from tarnix_engine.indexes._term_scoring import _RelevanceCore  # noqa: E402
from timing import print_machine  # noqa: E402


def corpus(n):
    ids, texts = documents()
    if not texts:
        words = [f"w{i}" for i in range(5000)]
        texts = [" ".join(words[(i * 7 + j * 13) % len(words)] for j in range(30)) for i in range(1000)]
    out_ids, out_texts = [], []
    while len(out_texts) < n:
        take = min(n - len(out_texts), len(texts))
        out_ids += [f"{len(out_ids) + i}" for i in range(take)]
        out_texts += texts[:take]
    return out_ids, out_texts


def direct_model(texts):
    # The model the index holds, built the same way.
    model = _term_scoring.BM25(method="lucene", k1=1.5, b=0.75, backend="numba")
    tokens = _term_scoring.bm25s.tokenize(
        texts,
        stopwords=_term_scoring.load_stopwords("english"),
        stemmer=_term_scoring.Stemmer.Stemmer("english"),
        show_progress=False,
    )
    model.index(tokens, show_progress=False)
    return model


def direct_save(model, meta, ids, texts, folder):
    folder.mkdir(parents=True, exist_ok=True)
    model.save(str(folder / "relevance_model"))
    write_config(folder / "relevance_meta.json", meta)
    write_config(folder / "config.json", {"index_type": "relevance"})
    (folder / "corpus.json").write_text(json.dumps({"ids": ids, "texts": texts}))


def direct_load(folder):
    model = _term_scoring.BM25.load(str(folder / "relevance_model"), load_corpus=False)
    content = json.loads((folder / "corpus.json").read_text())
    return model, content["ids"], content["texts"]


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small corpus, the same rounds")
    args = parser.parse_args()
    n, rounds = (2_000, 7) if args.quick else (50_000, 7)
    print_machine()

    ids, texts = corpus(n)
    index = _RelevanceCore()
    index.add(ids, texts)
    model = direct_model(texts)
    meta = {"index_type": "relevance", "method": "lucene", "k1": 1.5, "b": 0.75, "stopwords": "english",
            "stemmer": "english"}
    print(f"{n:,} documents, {rounds} rounds, {os.cpu_count()} cores, {platform.processor() or platform.machine()}")

    with tempfile.TemporaryDirectory(dir=ROOT / "build" if (ROOT / "build").is_dir() else None) as scratch:
        staged_folder, direct_folder = Path(scratch) / "staged", Path(scratch) / "direct"
        index.save(str(staged_folder))  # both save over an existing folder
        direct_save(model, meta, ids, texts, direct_folder)
        save_ratios, load_ratios, seconds = [], [], []
        for _ in range(rounds):
            t_staged = timed(lambda: index.save(str(staged_folder)))
            t_direct = timed(lambda: direct_save(model, meta, ids, texts, direct_folder))
            l_checked = timed(lambda: _RelevanceCore.load(str(staged_folder)))
            l_direct = timed(lambda: direct_load(direct_folder))
            save_ratios.append(t_staged / t_direct)
            load_ratios.append(l_checked / l_direct)
            seconds.append((t_staged, t_direct, l_checked, l_direct))

    med = [statistics.median(column) for column in zip(*seconds)]
    print(f"save: staged {med[0] * 1e3:8.1f} ms, direct {med[1] * 1e3:8.1f} ms, "
          f"ratio {statistics.median(save_ratios):.2f}")
    print(f"load: checked {med[2] * 1e3:7.1f} ms, direct {med[3] * 1e3:8.1f} ms, "
          f"ratio {statistics.median(load_ratios):.2f}")


if __name__ == "__main__":
    main()
