"""Document retrieval with a compiled C++ core.

What the package holds, each in a private module whose name is fixed:

- ``tarnix_engine.kernels``: what every index shares: 8-bit quantisation
  (``packing``), binary codes with their Hamming shortlist (``core``,
  ``_CoreIndex``), the exact rerank over 8-bit codes (``distance``), rank
  fusion kernels (``fusion``) and query batching (``_batching``).
- ``tarnix_engine.indexes``: the quantised vector index
  (``_tarnix_impl._TarnixCore``, over ``_VectorStore``), the BM25 text index
  (``_term_scoring._RelevanceCore``, through bm25s), and the streaming hybrid
  index (``_shard_flow._StreamingCore``), which adds batches as shards of
  one text and one vector index each (``_vortel_impl._VortelCore``) and fuses
  their hits by reciprocal rank.
- ``tarnix_engine.fusion.rrf``: ``ReciprocalRankFusion`` of ranked results.
- ``tarnix_engine.tuning``: the search-depth advisor (``_depth_oracle``:
  ``DepthOracle``, ``TunedModel``) that picks the streaming shards' depths.
- Metadata filters: SQL builders (``_sql``), condition trees and chains
  (``_attr_sieve.AttrSieve``), and text and dict filters translated to SQL
  (``_clause_builder``, ``FilterError``).
- ``_row_screen.RowScreen``: the SQLite pre-filter store of metadata and role
  grants, and ``_screened_search.ScreenedSearch``: any index searched through
  one, restricted to the documents that match a filter and that the caller's
  roles may see.
- Saving and loading: folder staging and configuration files
  (``_persistence``), loading a folder by its saved type (``_registry``),
  result records (``_types``), stop words (``_stopwords``), and the on-disk
  cache of what numba compiles for the text search (``_jit_cache``).

Everything runs inside one process on one machine. Importing the package
itself loads none of the compiled modules.
"""

__version__ = "0.1.0"
