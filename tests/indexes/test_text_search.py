"""Searching the BM25 text index: rows, candidates, chunking and threads."""

import functools
import gc
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from tarnix_engine._types import SearchResult
from tarnix_engine.indexes import _term_scoring
from tarnix_engine.indexes._term_scoring import _RelevanceCore

WORDS = "river stone forest cloud ember frost meadow harbor lantern orchard canyon tundra".split()


def make_texts(n):
    # Deterministic texts with overlapping vocabularies, so scores tie and differ.
    rng = np.random.default_rng(7)
    return [" ".join(rng.choice(WORDS, size=6)) for _ in range(n)]


@pytest.fixture(scope="module")
def index():
    ix = _RelevanceCore()
    ix.add([f"d{i}" for i in range(40)], make_texts(40))
    return ix


QUERIES = ["river stone", "frost ember lantern", "harbor", "", "the and of", "canyon tundra meadow"]


def rows_as_tuples(rows):
    return [[(h.rank, h.id, h.score) for h in row] for row in rows]


# ---- rows and raw arrays ---------------------------------------------------------


def test_raw_result_types_and_shape(index):
    positions, scores = index.search_raw(QUERIES, 5)
    assert positions.dtype == np.int64 and scores.dtype == np.float64
    assert positions.shape == scores.shape == (len(QUERIES), 5)


def test_search_rows_match_raw_rows(index):
    positions, scores = index.search_raw(QUERIES, 7)
    rows = index.search(QUERIES, 7)
    for row, pos, sc in zip(rows, positions, scores):
        assert all(type(hit) is SearchResult for hit in row)
        assert [(h.rank, h.id, h.score) for h in row] == [
            (j, index.ids[p], float(s)) for j, (p, s) in enumerate(zip(pos, sc))
        ]


def test_hits_are_left_out_of_the_cyclic_gc_unless_they_hold_a_container():
    # A hit of atoms can be part of no cycle; one whose id is a container can.
    ix = _RelevanceCore()
    ix.fit(["river stone", "stone wall", "wall river"])
    ix.ids[1] = ["a", "list", "id"]
    row = ix.search("stone", 3)
    assert {h.id if isinstance(h.id, str) else "list": gc.is_tracked(h) for h in row} == {
        "0": False,
        "2": False,
        "list": True,
    }


def test_str_query_gives_one_flat_row(index):
    assert rows_as_tuples([index.search("river stone", 3)]) == rows_as_tuples(index.search(["river stone"], 3))


def test_str_subclass_counts_as_one_query(index):
    class Text(str):
        pass

    row = index.search(Text("harbor"), 2)
    assert isinstance(row[0], SearchResult)


def test_raw_search_matches_bm25s_directly(index):
    tokens = _term_scoring.bm25s.tokenize(
        ["river stone", "harbor"],
        stopwords=_term_scoring.load_stopwords("english"),
        stemmer=_term_scoring.Stemmer.Stemmer("english"),
        show_progress=False,
        return_ids=False,
    )
    ours = _RelevanceCore()
    ours.fit(make_texts(40))
    docs, scores = ours.search_raw(["river stone", "harbor"], 6)
    bm = _term_scoring.BM25(method="lucene", k1=1.5, b=0.75, backend="numba")
    bm.index(
        _term_scoring.bm25s.tokenize(
            make_texts(40),
            stopwords=_term_scoring.load_stopwords("english"),
            stemmer=_term_scoring.Stemmer.Stemmer("english"),
            show_progress=False,
        ),
        show_progress=False,
    )
    ref_docs, ref_scores = bm.retrieve(tokens, k=6, show_progress=False, n_threads=0)
    np.testing.assert_array_equal(docs, ref_docs)
    np.testing.assert_array_equal(scores, ref_scores.astype(np.float64))


@pytest.mark.parametrize("query", ["", "the and of", "   ", "!!"])
def test_query_that_tokenises_to_nothing_scores_zero(index, query):
    positions, scores = index.search_raw([query], 3)
    assert (positions >= 0).all() and (scores == 0.0).all()
    assert len(index.search(query, 3)) == 3


def test_empty_batch_gives_no_rows(index):
    positions, scores = index.search_raw([], 4)
    assert positions.shape == scores.shape == (0, 4)
    assert index.search([], 4) == [] and index.search((), 4, batch_size=1) == []


# ---- k --------------------------------------------------------------------------


def test_k_equal_to_size_fills_every_row(index):
    positions, _ = index.search_raw(QUERIES, index.size)
    assert all(sorted(row) == list(range(index.size)) for row in positions)


@pytest.mark.parametrize("call", ["search", "search_raw"])
@pytest.mark.parametrize("candidates", [None, np.array([0, 1])])
def test_k_above_size_is_refused(index, call, candidates):
    with pytest.raises(ValueError) as err:
        getattr(index, call)(["river"], 41, candidates=candidates)
    assert str(err.value) == "k (41) exceeds the number of indexed documents (40)"


def test_k_is_checked_on_the_first_chunk_before_bm25s(index, monkeypatch):
    monkeypatch.setattr(_term_scoring.bm25s, "tokenize", lambda *a, **kw: pytest.fail("bm25s was asked"))
    with pytest.raises(ValueError, match="exceeds"):
        index.search(["a", "b", "c"], 50, batch_size=1)


@pytest.mark.parametrize("k, error", [(2**31, OverflowError), (2.0, TypeError), ("3", TypeError)])
def test_k_must_be_a_32_bit_integer(index, k, error):
    with pytest.raises(error):
        index.search("river", k)


def test_k_zero_gives_empty_rows(index):
    assert index.search(["river", "stone"], 0) == [[], []]


# ---- candidates -----------------------------------------------------------------


@pytest.mark.parametrize(
    "candidates",
    [
        np.array([3, 5, 7, 11, 13]),
        [13, 11, 7, 5, 3, 3],
        np.array([3, 5, 7, 11, 13], dtype=np.uint8),
        np.array([3, 5, -1, 7, 11, 13, 40, 10**12], dtype=np.int64),
        np.array([3, 5, 7, 11, 13, 2**64 - 1], dtype=np.uint64),
        np.array([3, 5, 7, 11, 13], dtype=object),
        np.array([3, 5, 7, 11, 13], dtype=">i8"),
        np.array([3, 99, 5, 99, 7, 99, 11, 99, 13])[::2],
    ],
    ids=["int64", "list", "uint8", "outside", "uint64", "object", "big-endian", "strided"],
)
def test_only_allowed_positions_are_hits(index, candidates):
    allowed = {3, 5, 7, 11, 13}
    full_pos, full_sc = index.search_raw(QUERIES, index.size)
    positions, scores = index.search_raw(QUERIES, 8, candidates=candidates)
    for pos, sc, fpos, fsc in zip(positions, scores, full_pos, full_sc):
        n_hits = int((pos >= 0).sum())
        assert set(pos[:n_hits]) <= allowed
        # Empty slots only at the end of the row, all with score 0.0.
        assert (pos[n_hits:] == -1).all() and (sc[n_hits:] == 0.0).all()
        # Every allowed document that matches a query term is found.
        matching = {p for p, s in zip(fpos, fsc) if s > 0 and p in allowed}
        assert matching <= set(pos[:n_hits])
    rows = index.search(QUERIES, 8, candidates=candidates)
    assert all({h.id for h in row} <= {f"d{p}" for p in allowed} for row in rows)


def reference_masked(docs, scores, mask):
    """The masking rule written plainly with numpy, for comparison."""
    positions, scores = docs.astype(np.int64), scores.astype(np.float64)
    masked = mask[positions] == 0
    positions[masked], scores[masked] = -1, 0.0
    order = np.argsort(masked, axis=1, kind="stable")
    return np.take_along_axis(positions, order, axis=1), np.take_along_axis(scores, order, axis=1)


@pytest.mark.parametrize("parallel", [False, True])
def test_masked_rows_follow_the_rule_over_bm25s_results(index, monkeypatch, parallel):
    seen = []
    original_retrieve = _term_scoring.BM25.retrieve

    def spy(self, tokens, **kwargs):
        result = original_retrieve(self, tokens, **kwargs)
        seen.append((kwargs["weight_mask"], result))
        return result

    monkeypatch.setattr(_term_scoring.BM25, "retrieve", spy)
    pos, sc = index.search_raw(QUERIES, 12, parallel=parallel, candidates=np.array([1, 4, 9, 16, 25, 36]))
    ((mask, (docs, scores)),) = seen
    ref_pos, ref_sc = reference_masked(docs, scores, mask)
    np.testing.assert_array_equal(pos, ref_pos)
    np.testing.assert_array_equal(sc, ref_sc)


@pytest.mark.parametrize(
    "docs, scores, want_docs, want_scores",
    [
        # A candidate that matches no term (score 0.0) stays; it is not marked -1.
        ([[0, 2, 1]], [[1.5, 0.0, 0.0]], [0, 2, -1], [1.5, 0.0, 0.0]),
        # Masked hits go behind the kept ones, whatever their places were.
        ([[1, 0, 2]], [[3.0, 2.0, 1.0]], [0, 2, -1], [2.0, 1.0, 0.0]),
        ([[1, 1, 0]], [[3.0, 2.0, 1.0]], [0, -1, -1], [1.0, 0.0, 0.0]),
        ([[0, 2, 2]], [[3.0, 2.0, 1.0]], [0, 2, 2], [3.0, 2.0, 1.0]),
    ],
)
def test_masking_rule_on_given_bm25s_rows(monkeypatch, docs, scores, want_docs, want_scores):
    ix = _RelevanceCore()
    ix.fit(["apple pie", "banana bread", "cherry tart"])
    result = (np.array(docs, np.int32), np.array(scores, np.float32))
    monkeypatch.setattr(_term_scoring.BM25, "retrieve", lambda self, tokens, **kw: result)
    positions, got_scores = ix.search_raw(["apple"], 3, candidates=np.array([0, 2]))
    assert list(positions[0]) == want_docs and list(got_scores[0]) == want_scores
    assert [h.id for h in ix.search("apple", 3, candidates=[0, 2])] == [str(d) for d in want_docs if d >= 0]


@pytest.mark.parametrize("dtype", [np.int64, np.float64, np.bool_, object])
def test_empty_candidates_mask_every_hit(index, dtype):
    positions, scores = index.search_raw(QUERIES, 4, candidates=np.array([], dtype=dtype))
    assert (positions == -1).all() and (scores == 0.0).all()
    assert index.search(QUERIES, 4, candidates=np.array([], dtype=dtype)) == [[]] * len(QUERIES)


@pytest.mark.parametrize(
    "candidates",
    [np.array([1.0, 2.0]), [1, 2.5], np.array([[1, 2]]), np.array([True, False, True])],
)
def test_non_integer_candidates_are_refused(index, candidates):
    with pytest.raises(TypeError):
        index.search_raw(["river"], 2, candidates=candidates)


def test_single_number_candidates_are_refused(index):
    with pytest.raises(ValueError, match="one-dimensional"):
        index.search_raw(["river"], 2, candidates=np.int64(3))


def test_candidates_are_never_modified(index):
    candidates = np.array([5, 3, 3, 1])
    candidates.flags.writeable = False
    index.search(QUERIES, 3, candidates=candidates)
    assert list(candidates) == [5, 3, 3, 1]


def test_mask_has_the_model_dtype(index, monkeypatch):
    seen = []
    original_retrieve = _term_scoring.BM25.retrieve

    def spy(self, tokens, **kwargs):
        seen.append(kwargs)
        return original_retrieve(self, tokens, **kwargs)

    monkeypatch.setattr(_term_scoring.BM25, "retrieve", spy)
    index.search_raw(["river"], 2, candidates=[1, 2, 50, -3])
    mask = seen[0]["weight_mask"]
    assert mask.dtype == np.float32 and mask.shape == (40,)
    assert list(np.flatnonzero(mask)) == [1, 2] and set(mask) == {0.0, 1.0}
    assert {k: v for k, v in seen[0].items() if k != "weight_mask"} == {
        "k": 2,
        "show_progress": False,
        "n_threads": 0,
    }
    index.search_raw(["river"], 2, parallel=True)
    assert seen[1]["n_threads"] == -1 and seen[1]["weight_mask"] is None


@pytest.mark.parametrize("dtype", ["float64", "float16"])
def test_mask_of_another_model_dtype(tmp_path, monkeypatch, dtype):
    if dtype == "float16":
        # A folder of half-float scores is refused at load, so the model is
        # built in that dtype instead.
        with monkeypatch.context() as m:
            m.setattr(_term_scoring, "BM25", functools.partial(_term_scoring.BM25, dtype=dtype))
            loaded = _RelevanceCore()
            loaded.fit(make_texts(40))
    else:
        ix = _RelevanceCore()
        ix.fit(make_texts(40))
        ix.save(str(tmp_path))
        params = tmp_path / "relevance_model" / "params.index.json"
        params.write_text(params.read_text().replace('"float32"', f'"{dtype}"'))
        loaded = _RelevanceCore.load(str(tmp_path))
    masks = []
    original_retrieve = _term_scoring.BM25.retrieve

    def spy(self, tokens, **kwargs):
        masks.append(kwargs["weight_mask"])
        return original_retrieve(self, tokens, **kwargs)

    monkeypatch.setattr(_term_scoring.BM25, "retrieve", spy)
    if dtype == "float16":  # numba scores no half floats; bm25s's error passes through
        with pytest.raises(NotImplementedError):
            loaded.search_raw(QUERIES, 5, candidates=[3, 5, 7])
    else:
        pos, sc = loaded.search_raw(QUERIES, 5, candidates=[3, 5, 7])
        assert set(pos[pos >= 0]) <= {3, 5, 7} and (pos[:, 3:] == -1).all()
    assert masks[0].dtype == np.dtype(dtype) and list(np.flatnonzero(masks[0])) == [3, 5, 7]


# ---- chunking ---------------------------------------------------------------------


@pytest.mark.parametrize("batch_size", [1, 2, 4, 5, 1000])
@pytest.mark.parametrize("candidates", [None, np.arange(0, 40, 3)])
def test_chunked_rows_equal_unchunked_rows(index, batch_size, candidates):
    whole = index.search(QUERIES, 6, candidates=candidates)
    assert rows_as_tuples(index.search(QUERIES, 6, batch_size=batch_size, candidates=candidates)) == rows_as_tuples(
        whole
    )
    assert rows_as_tuples(index.search(tuple(QUERIES), 6, batch_size=batch_size)) == rows_as_tuples(
        index.search(QUERIES, 6)
    )


def test_batching_policy_is_asked_with_the_per_query_estimate(index, monkeypatch):
    calls = []
    real_threads = _term_scoring.resolve_num_threads

    def threads(parallel, n):
        calls.append(("threads", parallel, n))
        return real_threads(parallel, n) + 100  # only feeds the width

    def width(n, per_query, batch_size=None, num_threads=1):
        calls.append(("width", n, per_query, batch_size, num_threads))
        return 2

    monkeypatch.setattr(_term_scoring, "resolve_num_threads", threads)
    monkeypatch.setattr(_term_scoring, "resolve_batch_size", width)
    index.search(QUERIES, 7, parallel=True, batch_size=None)
    assert calls[0] == ("threads", True, 6)
    assert calls[1] == ("width", 6, 32 * 7, None, real_threads(True, 6) + 100)


@pytest.mark.parametrize("width", [0, -3])
def test_batch_width_below_one_is_a_clear_error(index, monkeypatch, width):
    monkeypatch.setattr(_term_scoring, "resolve_batch_size", lambda *a, **kw: width)
    with pytest.raises(ValueError, match=f"resolve_batch_size returned {width} for 6 queries"):
        index.search(QUERIES, 3)


@pytest.mark.parametrize("batch_size, error", [(0, ValueError), (-1, ValueError), (2.0, TypeError), (True, TypeError)])
def test_bad_batch_size_errors_come_from_the_policy(index, batch_size, error):
    with pytest.raises(error, match="batch_size must be"):
        index.search(QUERIES, 3, batch_size=batch_size)


def test_unsliceable_batch_is_refused_when_chunked(index):
    class Batch:
        def __len__(self):
            return 3

    with pytest.raises(TypeError, match="^'Batch' object is unsliceable$"):
        index.search(Batch(), 3, batch_size=1)


def test_query_without_length_is_refused(index):
    with pytest.raises(TypeError):
        index.search(42, 3)


# ---- what bm25s hands back -----------------------------------------------------------


@pytest.mark.parametrize(
    "result, message",
    [
        ((np.zeros((1, 3), np.int32), np.zeros((1, 3), np.float32)), r"documents of shape \(1, 3\)"),
        ((np.zeros((6, 2), np.int32), np.zeros((6, 2), np.float32)), r"for 2 queries at k=3"),
        ((np.zeros((6, 3), np.int32),), "returned 1 values"),
        ((np.zeros(18, np.int32), np.zeros(18, np.float32)), r"shape \(18,\)"),
    ],
)
def test_unexpected_bm25s_result_is_a_clear_error(index, monkeypatch, result, message):
    monkeypatch.setattr(_term_scoring.BM25, "retrieve", lambda self, tokens, **kw: result)
    with pytest.raises(RuntimeError, match=message):
        index.search(QUERIES, 3, batch_size=2)


def test_batch_whose_slices_come_back_short_is_refused(index):
    # Rows are copied by count from each chunk's result: a short slice would
    # have them read past its end.
    class Shrinking(list):
        def __getitem__(self, item):
            got = list.__getitem__(self, item)
            return got[:0] if isinstance(item, slice) else got

    with pytest.raises(ValueError, match=r"^the batch sliced as \[0:1000\] holds 0 queries, expected 1000$"):
        index.search(Shrinking(["river"] * 3000), 40, batch_size=1000)


@pytest.mark.parametrize("query, batch_size", [("river", None), (QUERIES, 2), (QUERIES, None)])
def test_tokeniser_giving_fewer_token_lists_is_a_clear_error(index, monkeypatch, query, batch_size):
    real = _term_scoring.bm25s.tokenize
    monkeypatch.setattr(_term_scoring.bm25s, "tokenize", lambda texts, **kw: real(texts, **kw)[1:])
    n = 1 if isinstance(query, str) else min(len(QUERIES), batch_size or len(QUERIES))
    with pytest.raises(RuntimeError, match=rf"^bm25s.tokenize returned {n - 1} token lists for {n} queries$"):
        index.search(query, 3, batch_size=batch_size)


def test_token_lists_whose_length_shrinks_the_batch_are_read_safely(index, monkeypatch):
    # Taking the length of a token list runs its __len__, which here empties
    # the list the tokeniser returned; the loop must not read past its end.
    real = _term_scoring.bm25s.tokenize

    class Draining(list):
        def __len__(self):
            outer.clear()
            return list.__len__(self)

    def tokenize(texts, **kw):
        outer[:] = [Draining(tokens) for tokens in real(texts, **kw)]
        return outer

    outer = []
    monkeypatch.setattr(_term_scoring.bm25s, "tokenize", tokenize)
    rows = index.search(["river stone", "harbor", "frost"], 2)
    monkeypatch.undo()
    assert rows_as_tuples(rows) == rows_as_tuples(index.search(["river stone", "harbor", "frost"], 2))


def test_bm25s_position_outside_the_mask_is_a_clear_error(index, monkeypatch):
    bad = (np.full((1, 2), 40, np.int32), np.zeros((1, 2), np.float32))
    monkeypatch.setattr(_term_scoring.BM25, "retrieve", lambda self, tokens, **kw: bad)
    with pytest.raises(IndexError, match="position 40"):
        index.search_raw(["river"], 2, candidates=[1])


def test_hits_beyond_the_id_list_are_never_read():
    ix = _RelevanceCore()
    ix.fit(["alpha", "beta", "gamma alpha"])
    del ix.ids[2:]  # the caller shrank the index's own list
    with pytest.raises(IndexError, match="position 2 but the index holds 2 ids"):
        ix.search("alpha", 2)
    with pytest.raises(ValueError, match="holds 2 ids but its model indexes 3 documents"):
        ix.search_raw(["alpha"], 2, candidates=[0])


# ---- threads -----------------------------------------------------------------------------


def test_concurrent_searches_on_one_index():
    ix = _RelevanceCore()
    ix.add([f"d{i}" for i in range(300)], make_texts(300))
    queries = [" ".join(WORDS[i % 12 : i % 12 + 2]) for i in range(50)]
    expected = {p: rows_as_tuples(ix.search(queries, 10, parallel=p)) for p in (False, True)}
    errors = []

    def worker(t):
        try:
            for r in range(15):
                parallel = (t + r) % 2 == 0
                candidates = np.arange(0, 300, 2) if r % 3 == 0 else None
                got = ix.search(queries, 10, parallel=parallel, batch_size=7 if r % 2 else None, candidates=candidates)
                if candidates is None:
                    assert rows_as_tuples(got) == expected[parallel]
                else:
                    assert all(int(h.id[1:]) % 2 == 0 for row in got for h in row)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert errors == []


STRESS = textwrap.dedent(
    """
    import threading
    import numba
    from tarnix_engine.indexes._term_scoring import _RelevanceCore
    ix = _RelevanceCore()
    ix.fit([f"text {i} word{i % 17} other{i % 5}" for i in range(2000)])
    qs = [f"word{i % 17} other{i % 5}" for i in range(64)]
    want = ix.search(qs, 5)
    bad = []
    def work():
        for _ in range(10):
            if ix.search(qs, 5, parallel=True) != want:
                bad.append(1)
    ts = [threading.Thread(target=work) for _ in range(8)]
    [t.start() for t in ts]
    [t.join() for t in ts]
    print(numba.threading_layer(), len(bad))
    """
)


@pytest.mark.parametrize(
    "numba_env, expected",
    [
        ({}, {"omp", "tbb"}),
        ({"NUMBA_THREADING_LAYER": "workqueue"}, {"workqueue"}),
        ({"NUMBA_THREADING_LAYER_PRIORITY": "workqueue omp tbb"}, {"workqueue"}),
    ],
    ids=["numba-default", "workqueue", "workqueue-first"],
)
def test_parallel_searches_from_8_threads_survive_any_threading_layer(numba_env, expected):
    # The workqueue layer aborts the process on concurrent parallel launches;
    # on it the index's parallel retrievals must take turns.
    env = {k: v for k, v in os.environ.items() if not k.startswith("NUMBA_THREADING_LAYER")}
    env.update(numba_env)
    done = subprocess.run([sys.executable, "-c", STRESS], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    used, mismatches = done.stdout.split()
    assert used in expected and mismatches == "0"


PINNED = textwrap.dedent(
    """
    import os
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})  # before numba sizes its pool
    from tarnix_engine.indexes import _term_scoring
    from tarnix_engine.indexes._term_scoring import _RelevanceCore
    seen = []
    real = _term_scoring.BM25.retrieve
    _term_scoring.BM25.retrieve = lambda self, t, **kw: seen.append(kw["n_threads"]) or real(self, t, **kw)
    ix = _RelevanceCore()
    ix.fit(["apple pie", "banana split", "cherry tart"])
    print(ix.search("apple", 1, parallel=True)[0].id, seen[0], os.cpu_count())
    """
)


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="no CPU affinity on this platform")
def test_parallel_search_in_a_process_pinned_to_one_cpu():
    # bm25s would ask numba for os.cpu_count() threads, more than the pool has.
    done = subprocess.run([sys.executable, "-c", PINNED], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    hit, n_threads, cpus = done.stdout.split()
    assert hit == "0" and int(n_threads) == (1 if int(cpus) > 1 else -1)
