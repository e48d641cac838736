"""Index a few documents and search them.

The text index ranks the documents by BM25 over their texts; the vector index
finds the nearest vectors (here word counts, so that the example needs
no embedding model). Both answer with ranked (rank, id, score) hits, and both
save to a folder and load back.
"""

import re
import tempfile

import numpy as np

from tarnix_engine.indexes._tarnix_impl import _TarnixCore
from tarnix_engine.indexes._term_scoring import _RelevanceCore

DOCUMENTS = {
    "gzip": "gzip compresses files with the deflate algorithm",
    "xz": "xz compresses files with the LZMA algorithm, slower but smaller",
    "python3": "python3 is an interactive high-level interpreter",
    "gcc": "gcc is the GNU compiler for C and C++",
    "openssl": "openssl manages certificates and TLS connections",
    "curl": "curl transfers files over HTTP, FTP and TLS connections",
}


def show(query, hits):
    print(f"  {query!r}")
    for hit in hits:
        print(f"    {hit.rank + 1}. {hit.id:<8} {hit.score:.3f}")


def word_counts(texts, vocabulary):
    """One row of word counts per text, scaled to unit length."""
    rows = np.zeros((len(texts), len(vocabulary)), dtype=np.float32)
    for row, text in enumerate(texts):
        for word in re.findall(r"\w+", text.lower()):
            if word in vocabulary:
                rows[row, vocabulary[word]] += 1.0
    return rows / np.maximum(np.linalg.norm(rows, axis=1, keepdims=True), 1e-12)


def main() -> None:
    ids, texts = list(DOCUMENTS), list(DOCUMENTS.values())
    queries = ["compresses files", "tls connections"]

    text_index = _RelevanceCore()
    text_index.add(ids, texts)
    print(f"text index of {text_index.size} documents, top 2 by BM25:")
    for query, hits in zip(queries, text_index.search(queries, 2)):
        show(query, hits)

    words = sorted({w for text in texts for w in re.findall(r"\w+", text.lower())})
    vocabulary = {w: i for i, w in enumerate(words)}
    vector_index = _TarnixCore()
    vector_index.add(ids, word_counts(texts, vocabulary))
    print(f"\nvector index of {vector_index.size} documents, top 2 nearest:")
    for query, hits in zip(queries, vector_index.search(word_counts(queries, vocabulary), 2)):
        show(query, hits)

    with tempfile.TemporaryDirectory() as folder:
        text_index.save(folder)
        loaded = _RelevanceCore.load(folder)
        print(f"\nsaved and loaded: the same hits: {loaded.search(queries, 2) == text_index.search(queries, 2)}")


if __name__ == "__main__":
    main()
