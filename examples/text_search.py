"""BM25 text search over this machine's installed packages.

Indexes the package descriptions of the dpkg status file (ids are package
names), runs a few queries, restricts one to candidate positions, and saves
and reloads the index folder.
"""

import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))  # the checkout, for tools/
from tools.dpkg_corpus import documents  # noqa: E402

from tarnix_engine._registry import load_engine_from_directory  # noqa: E402
from tarnix_engine.indexes._term_scoring import _RelevanceCore  # noqa: E402

QUERIES = [
    "compress files with gzip",
    "python interpreter",
    "ssl certificate authority",
    "c++ compiler",
]


def show(query, hits):
    print(f"  {query!r}")
    for hit in hits:
        print(f"    {hit.rank + 1}. {hit.id:<28} {hit.score:6.2f}")


def main() -> None:
    ids, texts = documents()
    if not ids:
        print("no /var/lib/dpkg/status on this machine: nothing to index")
        return
    index = _RelevanceCore()
    start = time.perf_counter()
    index.add(ids, texts)
    print(f"indexed {index.size} package descriptions in {time.perf_counter() - start:.2f} s")

    print("\ntop 3 packages per query:")
    for query, hits in zip(QUERIES, index.search(QUERIES, 3)):
        show(query, hits)

    # Only packages whose name starts with "lib" may be hits.
    allowed = np.array([p for p, name in enumerate(index.ids) if name.startswith("lib")])
    print(f"\nthe same first query restricted to the {len(allowed)} lib* packages:")
    show(QUERIES[0], index.search(QUERIES[0], 3, candidates=allowed))

    with tempfile.TemporaryDirectory() as folder:
        index.save(folder)
        loaded = load_engine_from_directory(folder)
        same = loaded.search(QUERIES, 3) == index.search(QUERIES, 3)
        print(f"\nsaved, reloaded as {type(loaded).__name__} with {loaded.size} ids: same hits: {same}")


if __name__ == "__main__":
    main()
