"""Document retrieval with a compiled C++ core.

What the package holds: the kernels every index shares (8-bit quantisation,
binary codes with their Hamming shortlist, the exact rerank over 8-bit codes,
query batching) in ``tarnix_engine.kernels``; the quantised vector index and
the BM25 text index in ``tarnix_engine.indexes``; and the search-depth advisor
in ``tarnix_engine.tuning``. Importing the package itself loads none of them.
"""

__version__ = "0.1.0"
