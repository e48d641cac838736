"""Hybrid document retrieval: quantised vector search, BM25 text search,
reciprocal-rank fusion and SQLite metadata pre-filtering.

The index classes live in their own modules (``tarnix_engine.indexes``,
``tarnix_engine.tuning``, ``tarnix_engine.fusion`` and the filter stack at the
package root); importing the package itself loads none of them.
"""

__version__ = "0.1.0"
