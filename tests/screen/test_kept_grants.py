"""A question by roles alone is answered from the grants the store keeps
between writes. Whatever happened to the store, its answer must be the one
the position query's own statement gives, and no reader may ever be shown a
document its roles were not granted."""

import random
import sqlite3
import threading

import numpy as np
import pytest

from tarnix_engine import _row_screen
from tarnix_engine._attr_sieve import AttrSieve
from tarnix_engine._clause_builder import FilterError
from tarnix_engine._row_screen import RowScreen

from store_oracle import statement_answer

LANGS = ["en", "de", "fr"]
TAGS = ["ml", "db", "ir"]
ROLES = ["r0", "r1", "r2", "r3", "r4"]
FILTERS = [None, "year >= 2020", {"lang": "en"}, "'ml' IN tags OR position < 3"]


def assert_answers(store, filter, roles):
    try:
        expected = statement_answer(store, filter, roles)
    except FilterError:
        # A column no document has (yet): refused whatever the roles.
        with pytest.raises(FilterError):
            store.positions(filter, roles)
        return
    got = store.positions(filter, roles)
    assert got.dtype == np.int64 and not got.flags.writeable
    assert got.tolist() == expected, (filter, roles)
    # The overridable hook gives the same, as a new writable array.
    direct = store._query_positions(filter, roles)
    assert direct.flags.writeable and direct.tolist() == expected


def random_meta(rng):
    meta = {"year": rng.choice([None, 2018, 2019, 2020, 2021]), "lang": rng.choice(LANGS)}
    if rng.random() < 0.7:
        meta["tags"] = rng.sample(TAGS, rng.randint(0, 3))
    return meta


def random_roles(rng):
    pick = rng.random()
    if pick < 0.1:
        return None
    if pick < 0.15:
        return []
    roles = rng.choices(ROLES + ["nobody"], k=rng.randint(1, 4))  # repeats and unknown roles included
    return roles


def random_write(store, rng, serial):
    ids = store.ids
    kind = rng.choice(["add", "grant", "grant", "revoke", "delete", "update", "compact"])
    if kind == "add" or not ids:
        new = [f"d{next(serial)}" for _ in range(rng.randint(1, 6))]
        store.add(new, [random_meta(rng) for _ in new])
        if rng.random() < 0.8:
            store.grant(new, rng.sample(ROLES, rng.randint(1, 2)))
    elif kind == "grant":
        store.grant(rng.sample(ids, rng.randint(1, len(ids))), rng.sample(ROLES, rng.randint(1, 3)))
    elif kind == "revoke":
        store.revoke(rng.sample(ids, rng.randint(1, len(ids))), rng.sample(ROLES, rng.randint(1, 3)))
    elif kind == "delete":
        store.delete(rng.sample(ids, rng.randint(1, max(1, len(ids) // 3))))
    elif kind == "update":
        chosen = rng.sample(ids, rng.randint(1, len(ids)))
        store.update(chosen, [random_meta(rng) for _ in chosen])
    else:
        store.compact()


@pytest.mark.parametrize("seed", range(12))
def test_answers_equal_the_statement_across_writes(seed):
    rng = random.Random(seed)
    serial = iter(range(10**6))
    store = RowScreen()
    for _ in range(rng.randint(0, 3)):
        random_write(store, rng, serial)
    asked = []
    for _ in range(60):
        if rng.random() < 0.3:
            random_write(store, rng, serial)
        # Repeat earlier questions as often as new ones: hits, misses after a
        # write, and misses whose roles are kept already.
        if asked and rng.random() < 0.5:
            filter, roles = rng.choice(asked)
        else:
            filter, roles = rng.choice(FILTERS), random_roles(rng)
            asked.append((filter, roles))
        assert_answers(store, filter, roles)


def dense_store(n):
    store = RowScreen()
    ids = [f"d{i}" for i in range(n)]
    store.add(ids)
    return store, ids


# One role is a copy; dense grants go through a bitmap, two sparse ones a
# merge, more a heap: every way of joining the roles' grants.
@pytest.mark.parametrize(
    "grants",
    [
        {"a": range(0, 300, 3)},
        {"a": range(0, 300, 2), "b": range(0, 300, 3)},
        {"a": [0, 299], "b": [150, 299]},
        {"a": range(0, 300, 2), "b": range(0, 300, 3), "c": range(1, 300, 7), "d": [299]},
        {"a": [0], "b": [150], "c": [299], "d": [150, 299]},
        {"a": [], "b": [5], "c": []},
    ],
    ids=["one", "two dense", "two sparse", "many dense", "many sparse", "some empty"],
)
def test_the_roles_grants_are_joined_exactly(grants):
    store, ids = dense_store(300)
    for role, positions in grants.items():
        if positions:
            store.grant([ids[p] for p in positions], [role])
    roles = list(grants) + ["absent", next(iter(grants))]
    expected = sorted({p for positions in grants.values() for p in positions})
    assert store.positions(None, roles).tolist() == expected
    assert statement_answer(store, None, roles) == expected


# A filtered question runs filter first and is cut down to the grants (read
# for it when not kept) when they are more than a fifth of the documents,
# and by the statement's role sub-select otherwise; with holes left by a
# delete the share is not known and the sub-select runs.
@pytest.mark.parametrize("granted", [0, 1, 8, 9, 25, 40])  # a fifth of 40 is the bound
@pytest.mark.parametrize("holes", [False, True], ids=["positions 0..n-1", "after a delete"])
@pytest.mark.parametrize("kept", [True, False], ids=["grants kept", "grants not kept"])
def test_filtered_answers_at_every_share_of_grants(granted, holes, kept):
    rng = random.Random(granted)
    store = RowScreen()
    ids = [f"d{i}" for i in range(40)]
    store.add(ids, [random_meta(rng) for _ in ids])
    store.grant(rng.sample(ids, granted), ["few"])
    store.grant(rng.sample(ids, 3), ["other"])
    if holes:
        store.delete(rng.sample(ids, 4))
    for filter in FILTERS[1:] + ["position >= 0", store.where_any("tags", "=", "db")]:
        for roles in (["few"], ["few", "other"], ["other", "nobody"]):
            if kept:
                store.positions(None, roles)
            assert_answers(store, filter, roles)


def _writing_filter(state):
    """A chain rendering "year = 2021" that runs state["write"] at its
    state["at"]-th call, counting its calls in state["calls"]."""

    class WritesWhileRendered(AttrSieve):
        def to_sql(self):
            state["calls"] += 1
            if state["calls"] == state["at"]:
                state["write"]()  # the store's lock lets its own thread in
            return "m.year = 2021", []

    return WritesWhileRendered(None)


def _reuse_the_last_position(store):
    store.delete(["d19"])
    store.add(["new"], [{"year": 2021}])  # not granted to the reader


def _revoke_a_match(store):
    store.revoke(["d1"], ["reader"])


# Code a filter runs while the question is asked may write to the store: the
# answer must still be one the store's statement gives, never a grant that
# was taken back or a document at a position the grants named before it.
@pytest.mark.parametrize("write", [_reuse_the_last_position, _revoke_a_match], ids=["position reused", "revoked"])
def test_a_write_made_while_the_filter_renders_shows_nothing_ungranted(write):
    store = RowScreen()
    ids = [f"d{i}" for i in range(20)]
    store.add(ids, [{"year": 2021 if i in (1, 19) else 2020} for i in range(20)])
    store.grant(["d0", "d1", "d2", "d3", "d19"], ["reader"])  # more than a fifth: cut by the kept grants
    state = {"calls": 0, "at": None, "write": lambda: write(store)}
    filter = _writing_filter(state)
    store.positions(None, ["reader"])  # the reader's grants are kept
    store._cache.clear()
    store.positions(filter, ["reader"])
    # The rendering's last call of one question is the one the query is
    # built from: the write is made there.
    state["at"], state["calls"] = state["calls"], 0
    store.positions(None, ["reader"])
    store._cache.clear()
    got = store.positions(filter, ["reader"]).tolist()
    assert state["calls"] == state["at"]  # the write was made
    assert got == statement_answer(store, "year = 2021", ["reader"])


def test_many_roles_of_one_question():
    store, ids = dense_store(50)
    for i in range(0, 50, 5):
        store.grant([ids[i]], [f"role{i}"])
    roles = [f"role{i}" for i in range(0, 2000)]
    assert store.positions(None, roles).tolist() == list(range(0, 50, 5))


# What a loaded file or a direct use of the connection may leave behind:
# the kept grants must follow it, or not be used.
CONNECTION_CHANGES = {
    "grant committed on the connection": lambda c: (
        c.execute("INSERT INTO doc_access VALUES (4, 'staff')"),
        c.commit(),
    ),
    "revoke committed on the connection": lambda c: (
        c.execute("DELETE FROM doc_access WHERE position = 0"),
        c.commit(),
    ),
    "grant left in an open transaction": lambda c: c.execute("INSERT INTO doc_access VALUES (3, 'staff')"),
    "grant of a position with no document": lambda c: (
        c.execute("INSERT INTO doc_access VALUES (99, 'staff')"),
        c.commit(),
    ),
    "document without its docs row": lambda c: (c.execute("DELETE FROM docs WHERE position = 1"), c.commit()),
    "docs row without its document": lambda c: (c.execute("DELETE FROM metadata WHERE position = 4"), c.commit()),
    "document moved below zero": lambda c: (
        [c.execute(f"UPDATE {t} SET position = -3 WHERE position = 2") for t in ("docs", "metadata", "doc_access")],
        c.execute("INSERT INTO doc_access VALUES (-3, 'third')"),
        c.execute("INSERT INTO doc_access VALUES (4, 'third')"),
        c.commit(),
    ),
    "document moved past the end": lambda c: (
        c.execute("UPDATE metadata SET position = 7 WHERE position = 2"),
        c.commit(),
    ),
    "grants table recreated": lambda c: (
        c.execute("DROP TABLE doc_access"),
        c.execute("CREATE TABLE doc_access (position INTEGER NOT NULL, role TEXT NOT NULL)"),
        c.execute("INSERT INTO doc_access VALUES (2, 'staff')"),
        c.commit(),
    ),
    "text position": lambda c: (c.execute("INSERT INTO doc_access VALUES ('4', 'staff')"), c.commit()),
    "position that is no integer": lambda c: (c.execute("INSERT INTO doc_access VALUES (2.5, 'staff')"), c.commit()),
}


@pytest.mark.parametrize("name", CONNECTION_CHANGES)
def test_kept_grants_follow_the_connection(filled, name):
    for roles in (["staff"], ["staff", "admin"]):
        filled.positions(None, roles)  # grants kept before the change
    CONNECTION_CHANGES[name](filled._conn)
    filled._cache.clear()
    for filter in (None, "year >= 2020", "id = 'b' OR 'ml' IN tags"):
        for roles in (None, ["staff"], ["staff", "admin"], ["admin"], ["third", "staff", "admin"]):
            assert_answers(filled, filter, roles)


def test_an_answer_handed_out_survives_the_next_write(filled):
    before = filled.positions(None, ["staff"])
    filled.revoke(["a", "b"], ["staff"])
    after = filled.positions(None, ["staff"])
    assert before.tolist() == [0, 1, 2] and after.tolist() == [2]


@pytest.mark.parametrize(
    "change",
    [
        ("_AUTHORIZED_TABLES", frozenset({"docs", "metadata", "metadata_multi"})),
        ("_filter_authorizer", lambda *args: sqlite3.SQLITE_DENY),
    ],
    ids=["grants table not allowed", "authorizer replaced"],
)
def test_a_question_by_roles_still_meets_the_authorizer(filled, monkeypatch, change):
    filled.positions(None, ["staff"])  # grants kept while the authorizer allowed them
    filled._cache.clear()
    monkeypatch.setattr(_row_screen, *change)
    with pytest.raises(sqlite3.DatabaseError):
        filled.positions(None, ["staff"])
    assert len(filled._cache) == 0


def test_readers_never_see_a_document_their_role_lacks():
    store, ids = dense_store(400)
    base = set(range(0, 400, 2))
    extra = [p for p in range(1, 400, 2) if p % 3 == 0]
    never = set(range(400)) - base - set(extra)
    store.grant([ids[p] for p in sorted(base)], ["reader"])
    allowed = (sorted(base), sorted(base | set(extra)))
    stop = threading.Event()
    problems = []

    def reader(roles, filter=None):
        seen = 0
        while not stop.is_set() or seen < 20:
            got = store.positions(filter, roles).tolist()
            if got not in allowed:
                problems.append((roles, sorted(set(got) & never)[:5], len(got)))
                return
            seen += 1

    def writer():
        for _ in range(150):
            # All or none of the extra grant is visible; grants of another
            # role never are.
            store.grant([ids[p] for p in extra], ["reader"])
            store.grant([ids[p] for p in sorted(never)], ["other"])
            store.revoke([ids[p] for p in extra], ["reader"])
            store.revoke([ids[p] for p in sorted(never)], ["other"])
        stop.set()

    readers = [
        threading.Thread(target=reader, args=args)
        for args in ((["reader"],), (["reader"],), (["reader", "reader"],), (["nobody", "reader"],),
                     (["reader"], "position >= 0"), (["nobody", "reader"], "position >= 0"))
    ]
    write = threading.Thread(target=writer)
    for t in readers + [write]:
        t.start()
    for t in readers + [write]:
        t.join()
    assert problems == []
    assert store.positions(None, ["reader"]).tolist() == sorted(base)
