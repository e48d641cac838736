"""Vector search over this machine's installed packages.

No embedding model is downloaded: each description becomes a deterministic
vector by feature hashing (tf-idf weights of hashed words, projected to 256
dimensions by a seeded random matrix), which is enough to show the index at
work on real text. The demo
fits the index, runs a few queries, restricts one to candidate positions, and
saves and reloads the index folder.
"""

import re
import sys
import tempfile
import time
import zlib
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from dpkg_corpus import documents  # noqa: E402

from tarnix_engine._registry import load_engine_from_directory  # noqa: E402
from tarnix_engine.indexes._tarnix_impl import _TarnixCore  # noqa: E402

DIM = 256
BUCKETS = 4096
PROJECTION = np.random.default_rng(0).normal(size=(BUCKETS, DIM)).astype(np.float32)
WORD = re.compile(r"[a-z0-9+]{2,}")
QUERIES = [
    "compress files with gzip",
    "python interpreter",
    "ssl certificate authority",
    "c++ compiler",
]


def embed(texts, idf):
    """Hashed tf-idf word features projected to DIM dimensions, L2-normalised."""
    sparse = np.zeros((len(texts), BUCKETS), dtype=np.float32)
    for row, text in enumerate(texts):
        for word in WORD.findall(text.lower()):
            sparse[row, zlib.crc32(word.encode()) % BUCKETS] += 1.0
    dense = (np.log1p(sparse) * idf) @ PROJECTION
    norms = np.linalg.norm(dense, axis=1, keepdims=True)
    return (dense / np.maximum(norms, 1e-12)).astype(np.float32)


def inverse_document_frequency(texts):
    seen = np.zeros(BUCKETS, dtype=np.float32)
    for text in texts:
        for bucket in {zlib.crc32(w.encode()) % BUCKETS for w in WORD.findall(text.lower())}:
            seen[bucket] += 1.0
    return np.log((1.0 + len(texts)) / (1.0 + seen)).astype(np.float32)


def show(query, hits):
    print(f"  {query!r}")
    for hit in hits:
        print(f"    {hit.rank + 1}. {hit.id:<28} {hit.score:6.3f}")


def main() -> None:
    ids, texts = documents()
    if not ids:
        print("no /var/lib/dpkg/status on this machine: nothing to index")
        return
    idf = inverse_document_frequency(texts)
    vectors = embed(texts, idf)
    index = _TarnixCore()
    start = time.perf_counter()
    index.add(ids, vectors, parallel=True)
    print(f"indexed {index.size} package descriptions as {DIM}-dimensional vectors "
          f"in {time.perf_counter() - start:.2f} s")

    queries = embed(QUERIES, idf)
    print("\nnearest 3 packages per query:")
    for query, hits in zip(QUERIES, index.search(queries, 3, parallel=True)):
        show(query, hits)

    allowed = np.array([p for p, name in enumerate(index.ids) if name.startswith("lib")])
    print(f"\nthe same first query restricted to the {len(allowed)} lib* packages:")
    show(QUERIES[0], index.search(queries[0], 3, candidates=allowed))

    with tempfile.TemporaryDirectory() as folder:
        index.save(folder)
        loaded = load_engine_from_directory(folder)
        same = loaded.search(queries, 3) == index.search(queries, 3)
        print(f"\nsaved, reloaded as {type(loaded).__name__} with {loaded.size} ids: same hits: {same}")


if __name__ == "__main__":
    main()
