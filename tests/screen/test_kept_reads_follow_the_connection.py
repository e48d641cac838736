"""What the store keeps between writes (grants, ids, the tally, whether the
documents are exactly 0..n-1) must follow every change of its connection
that the store's own statements see, or not be used."""

import pytest

from screened_fakes import FakeVectorIndex
from tarnix_engine._row_screen import RowScreen
from tarnix_engine._screened_search import ScreenedSearch

from store_oracle import statement_answer


def docs_recreated(rows):
    def change(store):
        c = store._conn
        c.execute("DROP TABLE docs")
        c.execute("CREATE TABLE docs (position INTEGER, id TEXT)")
        c.execute(f"INSERT INTO docs VALUES {rows}")
        c.commit()

    return change


def blob_grant(store):
    store._conn.execute("INSERT INTO doc_access VALUES (x'34', 'guest')")
    store._conn.commit()


CHANGES = {
    "docs recreated, a position held twice": docs_recreated("(0,'a'),(1,'b'),(1,'c'),(3,'d'),(4,'e')"),
    "docs recreated, a position no integer": docs_recreated("(0,'a'),(1,'b'),(2.5,'c'),(3,'d'),(4,'e')"),
    "a grant whose position is a blob": blob_grant,
}


@pytest.mark.parametrize("name", CHANGES)
def test_answers_by_roles_equal_the_statement_after_a_change(name):
    store = RowScreen()
    store.add(list("abcde"), [{"year": 2020}] * 5)
    store.grant(list("abcde"), ["staff"])
    store.grant(["a", "c"], ["guest"])
    for roles in (["staff"], ["guest"]):
        store.positions(None, roles)  # kept before the change
        store.positions("year >= 2020", roles)
    CHANGES[name](store)
    store._cache.clear()
    for roles in (["staff"], ["guest"], ["guest", "staff"]):
        assert store.positions(None, roles).tolist() == statement_answer(store, None, roles), roles
        assert store.positions("year >= 2020", roles).tolist() == statement_answer(store, "year >= 2020", roles)


def restore_by_backup(store):
    other = RowScreen()
    other.add(["v", "w", "x", "y", "z"])
    other._conn.backup(store._conn)


def swap_docs_table(store):
    c = store._conn
    c.execute("CREATE TABLE docs_new AS SELECT * FROM docs WHERE position < 4")
    c.execute("DROP TABLE docs")
    c.execute("ALTER TABLE docs_new RENAME TO docs")
    c.commit()


@pytest.mark.parametrize("change", [restore_by_backup, swap_docs_table], ids=["restored by backup", "docs swapped"])
def test_the_tally_follows_schema_changes(change):
    store = RowScreen()
    store.add(list("abcde"))
    store._tally()  # kept before the change
    change(store)
    count = store._conn.execute("SELECT COUNT(*) FROM metadata").fetchone()[0]
    last = store._conn.execute("SELECT id FROM docs ORDER BY position DESC LIMIT 1").fetchone()
    assert store._tally() == (count, last[0] if last else None)


def test_a_restored_store_is_not_searched_as_aligned():
    inner = FakeVectorIndex()
    store = RowScreen()
    wrapper = ScreenedSearch(inner, store)
    wrapper.add(list("abcde"))
    wrapper.grant(list("abcde"), ["staff"])
    wrapper.search("q", 3, roles=["guest"])
    other = RowScreen()
    other.add(["v", "w", "x", "y", "z"])
    other.grant(["v"], ["guest"])
    other._conn.backup(store._conn)
    store._cache.clear()
    with pytest.raises(RuntimeError, match="no longer hold"):
        wrapper.search("q", 3, roles=["guest"])
