"""ScreenedSearch over the real store and indexes: a stateful model test,
fault injection across the two halves, and searches racing writes."""

import re
import threading

import numpy as np
import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from tarnix_engine._row_screen import RowScreen
from tarnix_engine._types import SearchResult
from tarnix_engine._screened_search import ScreenedSearch
from tarnix_engine.indexes._tarnix_impl import _TarnixCore
from tarnix_engine.indexes._term_scoring import _RelevanceCore

DIM = 8
ROLES = ["r1", "r2", "r3"]
WORDS = ["red", "green", "blue", "apple", "pear", "plum"]


def vector_for(doc_id):
    # Distinct, deterministic rows so the nearest neighbour of a row is itself.
    rng = np.random.default_rng(abs(hash(doc_id)) % (2**32))
    return rng.standard_normal(DIM).astype(np.float32)


def text_for(doc_id):
    rng = np.random.default_rng(abs(hash(doc_id)) % (2**32))
    return " ".join(rng.choice(WORDS, size=4))


def hit_ids(results):
    # One query gives one flat list of hits, several a list per query.
    rows = [results] if results and isinstance(results[0], SearchResult) else results
    return {hit.id for row in rows for hit in row}


class ScreenedModel(RuleBasedStateMachine):
    """Both halves against a plain model of ids, metadata and grants."""

    def __init__(self):
        super().__init__()
        self.wrapper = ScreenedSearch(_TarnixCore(), RowScreen())
        self.ids = []
        self.meta = {}
        self.grants = {}
        self.counter = 0

    def fresh(self, n):
        out = [f"d{self.counter + i}" for i in range(n)]
        self.counter += n
        return out

    @rule(n=st.integers(1, 4), data=st.data())
    def add(self, n, data):
        ids = self.fresh(n)
        roles = [data.draw(st.one_of(st.none(), st.lists(st.sampled_from(ROLES), max_size=2))) for _ in ids]
        meta = [{"grp": data.draw(st.integers(0, 2))} for _ in ids]
        self.wrapper.add(ids, np.stack([vector_for(i) for i in ids]), metadata=meta, roles=roles)
        self.ids += ids
        for i, m, r in zip(ids, meta, roles):
            self.meta[i] = m["grp"]
            self.grants[i] = set(r or ())

    @precondition(lambda self: self.ids)
    @rule(data=st.data())
    def update_metadata(self, data):
        doc = data.draw(st.sampled_from(self.ids))
        group = data.draw(st.integers(0, 2))
        self.wrapper.update_metadata([doc], [{"grp": group}])
        self.meta[doc] = group

    @precondition(lambda self: self.ids)
    @rule(data=st.data(), role=st.sampled_from(ROLES), give=st.booleans())
    def grant_or_revoke(self, data, role, give):
        docs = data.draw(st.lists(st.sampled_from(self.ids), min_size=1, max_size=3, unique=True))
        (self.wrapper.grant if give else self.wrapper.revoke)(docs, [role])
        for d in docs:
            (self.grants[d].add if give else self.grants[d].discard)(role)

    @precondition(lambda self: len(self.ids) > 1)
    @rule(data=st.data())
    def delete(self, data):
        docs = data.draw(st.lists(st.sampled_from(self.ids), min_size=1, max_size=2, unique=True))
        self.wrapper.delete(docs)
        self.ids = [i for i in self.ids if i not in docs]

    @precondition(lambda self: self.ids)
    @rule(roles=st.lists(st.sampled_from(ROLES), max_size=2), group=st.one_of(st.none(), st.integers(0, 2)))
    def search(self, roles, group):
        allowed = {i for i in self.ids if self.grants[i] & set(roles) and (group is None or self.meta[i] == group)}
        filt = None if group is None else f"grp = {group}"
        got = hit_ids(self.wrapper.search(np.stack([vector_for(i) for i in self.ids[:3]]), 5, filter=filt, roles=roles))
        assert got <= allowed
        if allowed:
            assert got, "an allowed document exists but none was found"

    @precondition(lambda self: self.ids)
    @rule()
    def save_and_load(self):
        import tempfile

        with tempfile.TemporaryDirectory() as folder:
            self.wrapper.save(folder + "/w")
            self.wrapper = ScreenedSearch.load(folder + "/w")

    @invariant()
    def halves_agree(self):
        assert self.wrapper.ids == self.ids
        if self.ids:
            assert list(self.wrapper.inner.ids) == self.ids


TestScreenedModel = ScreenedModel.TestCase
TestScreenedModel.settings = settings(max_examples=25, stateful_step_count=12, deadline=None)


# ---- fault injection ------------------------------------------------------


class Interrupt(Exception):
    pass


def fail_once(monkeypatch, obj, name):
    real = getattr(obj, name)

    def failing(*args, **kwargs):
        monkeypatch.setattr(obj, name, real)
        raise Interrupt(name)

    monkeypatch.setattr(obj, name, failing)


class Vector(_TarnixCore):
    """A subclass, so a test can replace one method of one instance."""


class Text(_RelevanceCore):
    pass


def real_wrapper(kind):
    if kind == "vector":
        w = ScreenedSearch(Vector(), RowScreen())
        w.add(["a", "b", "c"], np.stack([vector_for(i) for i in "abc"]), roles=[["r"], ["r"], ["r"]])
        more = (["x"], np.stack([vector_for("x")]))
    else:
        w = ScreenedSearch(Text(), RowScreen())
        w.add(["a", "b", "c"], [text_for(i) for i in "abc"], roles=[["r"], ["r"], ["r"]])
        more = (["x"], [text_for("x")])
    return w, more


@pytest.mark.parametrize("kind", ["vector", "text"])
@pytest.mark.parametrize(
    "where, then_aligned",
    [
        ("store.add", True),
        ("inner.add", True),
        ("store.grant", True),  # documents added on both sides, grant missing
        ("store.delete", False),  # during the undo of a failing inner add
    ],
)
def test_add_faults(monkeypatch, kind, where, then_aligned):
    w, (ids, batch) = real_wrapper(kind)
    side, method = where.split(".")
    if where == "store.delete":
        fail_once(monkeypatch, w.inner, "add")
    fail_once(monkeypatch, w.row_screen if side == "store" else w.inner, method)
    with pytest.raises(Interrupt):
        w.add(ids, batch, roles=[["r"]])
    if then_aligned:
        assert w.ids == list(w.inner.ids)
        assert hit_ids(w.search(*query_for(kind, w), roles=["r"])) <= set(w.ids)
    else:
        with pytest.raises(RuntimeError, match="rebuild"):
            w.search(*query_for(kind, w), roles=["r"])


@pytest.mark.parametrize("kind", ["vector", "text"])
@pytest.mark.parametrize("where", ["inner.delete", "store.delete", "store.compact"])
def test_delete_faults(monkeypatch, kind, where):
    w, _ = real_wrapper(kind)
    side, method = where.split(".")
    fail_once(monkeypatch, w.row_screen if side == "store" else w.inner, method)
    with pytest.raises(Interrupt):
        w.delete(["b"])
    if side == "inner":
        assert w.ids == list(w.inner.ids) == ["a", "b", "c"]
    else:
        with pytest.raises(RuntimeError, match="rebuild"):
            w.candidates(roles=["r"])
        with pytest.raises(RuntimeError, match="saved"):
            w.save("never-written")


def query_for(kind, w):
    if kind == "vector":
        return np.stack([vector_for(i) for i in w.ids]), 2
    return [text_for(w.ids[0])], 2


# ---- real indexes through the wrapper ---------------------------------------------


def test_a_vector_wrapper_round_trip_searches_alike(tmp_path):
    w, _ = real_wrapper("vector")
    w.grant(["b"], ["extra"])
    w.save(str(tmp_path / "w"))
    back = ScreenedSearch.load(str(tmp_path / "w"))
    q = np.stack([vector_for("b")])
    assert back.search(q, 1, roles=["extra"]) == w.search(q, 1, roles=["extra"])
    assert hit_ids(back.search(q, 1, roles=["extra"])) == {"b"}
    raw = back.search_raw(q, 3, roles=[])
    assert (raw[0] == -1).all()


def test_a_text_wrapper_restricts_by_filter_and_roles():
    w = ScreenedSearch(_RelevanceCore(), RowScreen())
    w.add(["a", "b", "c"], ["red apple", "red pear", "green plum"], metadata=[{"n": 1}, {"n": 2}, {"n": 3}],
          roles=[["r"], None, ["r"]])
    # Documents without the word may fill the list with a score of 0; only
    # allowed ones ever appear.
    for kwargs, allowed, matching in [({"roles": ["r"]}, {"a", "c"}, {"a"}), ({"filter": "n >= 2"}, {"b", "c"}, {"b"})]:
        hits = w.search(["red"], 3, **kwargs)[0]
        assert {h.id for h in hits} <= allowed
        assert {h.id for h in hits if h.score > 0} == matching


# ---- searches racing writes -----------------------------------------------------


def test_readers_never_see_documents_outside_their_role_while_a_writer_runs():
    w = ScreenedSearch(_TarnixCore(), RowScreen())
    mine = [f"m{i}" for i in range(40)]
    w.add(mine, np.stack([vector_for(i) for i in mine]), roles=[["reader"]] * len(mine))
    queries = np.stack([vector_for(f"q{i}") for i in range(4)])
    stop = threading.Event()
    leaks, errors, searches = [], [], [0]

    def reader():
        try:
            while not stop.is_set():
                got = hit_ids(w.search(queries, 10, roles=["reader"]))
                leaks.extend(got - set(mine))
                searches[0] += 1
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    def writer():
        try:
            for round_ in range(30):
                other = [f"o{round_}_{i}" for i in range(8)]
                w.add(other, np.stack([vector_for(i) for i in other]), roles=[["someone-else"]] * len(other))
                w.delete(other[::2])
                w.delete(other[1::2])
                # Documents of the reader's role that move under the searches.
                w.delete([mine[round_]])
                w.add([mine[round_]], np.stack([vector_for(mine[round_])]), roles=[["reader"]])
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)
        finally:
            stop.set()

    threads = [threading.Thread(target=reader) for _ in range(8)] + [threading.Thread(target=writer)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors
    assert leaks == []
    assert searches[0] > 0
    assert w.ids == list(w.inner.ids)


def test_a_streaming_wrapper_restricts_saves_and_refuses_what_the_index_lacks(tmp_path):
    from tarnix_engine.indexes._shard_flow import _StreamingCore

    w = ScreenedSearch(_StreamingCore(), RowScreen())
    ids = [f"s{i}" for i in range(30)]
    texts = [text_for(i) + f" token{i}" for i in ids]
    vecs = np.stack([vector_for(i) for i in ids])
    # Two batches, so the allowed positions span two shards.
    w.add(ids[:18], texts[:18], vecs[:18], roles=[["r"] if i % 3 == 0 else None for i in range(18)])
    w.add(ids[18:], texts[18:], vecs[18:], roles=[["r"] if i % 3 == 0 else None for i in range(18, 30)])
    allowed = {i for i in range(30) if i % 3 == 0}
    positions, _ = w.search(texts[:4], vecs[:4], k=5, roles=["r"])
    assert set(positions[positions >= 0].tolist()) <= allowed
    positions, _ = w.search(texts[3], vecs[3], k=1, roles=["r"])
    assert positions.ravel()[0] == 3
    with pytest.raises(AttributeError):
        w.search_raw(texts[:1], vecs[:1], roles=["r"])
    with pytest.raises(NotImplementedError):
        w.delete(["s0"])
    w.save(str(tmp_path / "w"))
    back = ScreenedSearch.load(str(tmp_path / "w"))
    assert back.ids == ids and back.inner.size == 30
    again, _ = back.search(texts[:4], vecs[:4], k=5, roles=["r"])
    assert np.array_equal(again, w.search(texts[:4], vecs[:4], k=5, roles=["r"])[0])


# ---- writes and questions that could cross roles --------------------------------


def test_a_forwarded_fit_makes_the_next_add_refuse_rather_than_misnumber():
    w = ScreenedSearch(_TarnixCore(), RowScreen())
    w.fit(np.stack([vector_for(f"train{i}") for i in range(12)]))  # reaches the inner index alone
    with pytest.raises(RuntimeError, match="holds 12 documents but the filter 0"):
        w.add(["secret", "public"], np.stack([vector_for("secret"), vector_for("public")]),
              roles=[["admin"], ["guest"]])
    assert w.ids == [] and w.inner.size == 12
    with pytest.raises(RuntimeError, match="rebuild"):
        w.search(np.stack([vector_for("public")]), 3, roles=["guest"])


# ---- halves that drift apart without a write of the wrapper ----------------------


def three_documents(kind):
    """A wrapper over a real inner index of `kind` holding a, b, c (all granted r, n = 1)."""
    from tarnix_engine.indexes._shard_flow import _StreamingCore

    inner = {"vector": _TarnixCore, "text": _RelevanceCore, "streaming": _StreamingCore}[kind]()
    w = ScreenedSearch(inner, RowScreen())
    args = {
        "vector": (np.stack([vector_for(i) for i in "abc"]),),
        "text": ([text_for(i) for i in "abc"],),
        "streaming": ([text_for(i) for i in "abc"], np.stack([vector_for(i) for i in "abc"])),
    }[kind]
    w.add(["a", "b", "c"], *args, metadata=[{"n": 1}] * 3, roles=[["r"]] * 3)
    return w


def vectors_of(names):
    return np.stack([vector_for(i) for i in names])


# kind -> what reaches one half alone; each leaves the store holding a, b, c.
DRIFTS = {
    "vector fit of more documents": ("vector", lambda w: w.fit(vectors_of("vwxyz"))),
    # Same count, other documents: only the ids tell.
    "vector delete then add on the inner index": (
        "vector",
        lambda w: (w.inner.delete(["b"]), w.inner.add(["x"], vectors_of("x"))),
    ),
    "vector add on the inner index": ("vector", lambda w: w.inner.add(["x"], vectors_of("x"))),
    "vector delete on the inner index": ("vector", lambda w: w.inner.delete(["b"])),
    "text fit of more documents": ("text", lambda w: w.fit([text_for(i) for i in "wxyz"])),
    "text delete then add on the inner index": (
        "text",
        lambda w: (w.inner.delete(["a"]), w.inner.add(["x"], [text_for("x")])),
    ),
    "text delete on the inner index": ("text", lambda w: w.inner.delete(["a"])),
    "streaming batch added": ("streaming", lambda w: w.add_batch([text_for("x")], vectors_of("x"))),
    "store add on its own": ("vector", lambda w: w.row_screen.add(["x"])),
}


def restricted_calls(kind):
    query = {
        "vector": (vectors_of("a"), 2),
        "text": ([text_for("a")], 2),
        "streaming": ([text_for("a")], vectors_of("a"), 2),
    }[kind]
    calls = {
        "search by filter": lambda w, _: w.search(*query, filter="n = 1"),
        "search by roles": lambda w, _: w.search(*query, roles=["r"]),
        "candidates": lambda w, _: w.candidates(roles=["r"]),
        "save": lambda w, folder: w.save(folder),
    }
    if kind != "streaming":  # which has no search_raw
        calls["search_raw by roles"] = lambda w, _: w.search_raw(*query, roles=["r"])
    return calls


@pytest.mark.parametrize("drift", DRIFTS)
def test_every_restricted_call_refuses_halves_that_drifted_apart(tmp_path, drift):
    kind, change = DRIFTS[drift]
    w = three_documents(kind)
    change(w)
    for name, call in restricted_calls(kind).items():
        folder = str(tmp_path / name)
        with pytest.raises(RuntimeError, match="rebuild it from the source documents"):
            call(w, folder)
        assert not (tmp_path / name).exists(), name
    # A search that trusts no position still runs.
    w.search(*{"vector": (vectors_of("a"), 1), "text": ([text_for("a")], 1),
                "streaming": ([text_for("a")], vectors_of("a"), 1)}[kind])


@pytest.mark.parametrize("kind", ["vector", "text", "streaming"])
def test_the_same_halves_still_search_restricted_and_save(tmp_path, kind):
    w = three_documents(kind)
    for name, call in restricted_calls(kind).items():
        call(w, str(tmp_path / name))
    assert ScreenedSearch.load(str(tmp_path / "save")).ids == ["a", "b", "c"]


def test_a_wrapper_made_over_halves_that_differ_stays_marked_after_they_match_again():
    inner = three_documents("vector").inner
    w = ScreenedSearch(inner, RowScreen())
    w.row_screen.add(["a", "b", "c"])  # the counts and ids agree again, the grants are lost
    with pytest.raises(RuntimeError, match="when the ScreenedSearch was made"):
        w.candidates(filter="n = 1")


def saved_store(folder):
    store = RowScreen()
    store.add(["a", "b", "c"])
    store.save(folder)


def saved_vector_store(folder):
    from tarnix_engine.indexes._tarnix_impl import _VectorStore

    part = _VectorStore()
    part.fit(vectors_of("abc"))
    part.save(folder)


# Folders the loader reads that hold no index: a search over one would fail.
NOT_INDEXES = {"a filter store": (saved_store, "RowScreen"), "a vector store": (saved_vector_store, "_VectorStore")}


@pytest.mark.parametrize("what", NOT_INDEXES)
def test_a_folder_whose_inner_part_is_not_an_index_is_refused_by_name(tmp_path, what):
    import shutil

    write, type_name = NOT_INDEXES[what]
    three_documents("vector").save(str(tmp_path / "w"))
    shutil.rmtree(tmp_path / "w" / "inner")
    write(str(tmp_path / "w" / "inner"))
    with pytest.raises(ValueError, match=rf"'{re.escape(str(tmp_path / 'w'))}'.*holds a {type_name}, which is not an index"):
        ScreenedSearch.load(str(tmp_path / "w"))


def test_roles_changed_while_the_filter_is_translated_are_not_cached_for_the_old_roles(monkeypatch):
    from tarnix_engine import _row_screen

    w = ScreenedSearch(_RelevanceCore(), RowScreen())
    w.add(["pub", "secret"], ["red apple", "red pear"], metadata=[{"n": 1}, {"n": 1}], roles=[["user"], ["admin"]])
    session_roles = ["user"]
    translate = _row_screen.compile_filter

    def promoted_meanwhile(*args, **kwargs):
        session_roles.append("admin")  # as another thread would, while the search runs
        return translate(*args, **kwargs)

    monkeypatch.setattr(_row_screen, "compile_filter", promoted_meanwhile)
    assert w.candidates("n = 1", session_roles).tolist() == [0]
    monkeypatch.setattr(_row_screen, "compile_filter", translate)
    assert w.candidates("n = 1", ["user"]).tolist() == [0]
    assert hit_ids(w.search(["red"], 2, filter="n = 1", roles=["user"])) == {"pub"}
