"""Streaming hybrid search over this machine's installed packages.

The package descriptions arrive in four batches, as a crawler or a log
shipper would deliver them; each batch becomes one shard of the streaming
index (a BM25 text index and a quantised vector index over that batch), and
every search fuses the text and vector hits of all shards by reciprocal rank.
Vectors are the sentence embeddings of the vector demo (tools/embedding,
computed from the installed weights and cached). The demo searches, restricts a search to candidate positions,
saves the index, loads it back and keeps adding batches to the loaded copy.
"""

import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the checkout, for tools/
from tools.dpkg_corpus import documents  # noqa: E402
from tools.embedding import WeightsNotInstalled, embed_texts  # noqa: E402

from tarnix_engine.indexes._shard_flow import _StreamingCore  # noqa: E402

QUERIES = [
    "compress files with gzip",
    "python interpreter",
    "ssl certificate authority",
]
BATCHES = 4


def show(query, positions, scores, ids):
    print(f"  {query!r}")
    for rank, (p, s) in enumerate(zip(positions, scores)):
        if p < 0:
            break
        print(f"    {rank + 1}. {ids[p]:<28} {s:7.4f}")


def main() -> None:
    ids, texts = documents()
    if len(ids) < 50:
        print("fewer than 50 installed packages with descriptions; nothing to demonstrate")
        return
    try:
        vectors = embed_texts(texts)
    except (WeightsNotInstalled, ImportError) as e:
        print(f"the sentence-embedding tool is not set up ({e}); `make demo` installs it")
        return
    held_back = len(texts) // (BATCHES + 1)  # the last batch arrives after the reload

    index = _StreamingCore(top_k=5)
    start = time.perf_counter()
    bounds = np.linspace(0, len(texts) - held_back, BATCHES + 1).astype(int)
    for lo, hi in zip(bounds[:-1], bounds[1:]):
        index.add_batch(texts[lo:hi], vectors[lo:hi])
    print(f"{index.size} package descriptions in {index.n_shards} shards, "
          f"added in {time.perf_counter() - start:.2f} s; expected recall {index.expected_recall}")

    positions, scores = index.search(QUERIES, embed_texts(QUERIES), k=5, parallel=True)
    print("\nhybrid search (text and vector hits of every shard, fused):")
    for query, p, s in zip(QUERIES, positions, scores):
        show(query, p, s, ids)

    # Only packages whose name starts with "lib": positions are append order.
    allowed = np.array([i for i in range(index.size) if ids[i].startswith("lib")], dtype=np.int64)
    p, s = index.search(QUERIES[2], embed_texts(QUERIES[2:])[0], k=5, candidates=allowed)
    print(f"\nrestricted to the {len(allowed)} lib* packages:")
    show(QUERIES[2], p, s, ids)

    with tempfile.TemporaryDirectory() as tmp:
        folder = str(Path(tmp) / "streaming")
        index.save(folder)
        loaded = _StreamingCore.load(folder)
    lo = bounds[-1]
    loaded.add_batch(texts[lo:], vectors[lo:])
    print(f"\nsaved, loaded and grown by one more batch: {loaded.size} packages in {loaded.n_shards} shards")
    p, s = loaded.search(QUERIES[0], embed_texts(QUERIES[:1])[0], k=5)
    show(QUERIES[0], p, s, ids)


if __name__ == "__main__":
    main()
