import re
import sqlite3

import pytest
from screen_faults import dump

from tarnix_engine import _row_screen
from tarnix_engine._row_screen import RowScreen


def rows(store, sql):
    return store._conn.execute(sql).fetchall()


def multi(store):
    return sorted(rows(store, "SELECT position, key, value FROM metadata_multi"))


def grants(store):
    return sorted(rows(store, "SELECT position, role FROM doc_access"))


def test_add_assigns_positions_in_list_order(store):
    store.add(["a", "b", "c"])
    assert rows(store, "SELECT position, id FROM docs ORDER BY position") == [(0, "a"), (1, "b"), (2, "c")]
    assert rows(store, "SELECT * FROM metadata") == [(0,), (1,), (2,)]
    store.add(["d"], [{"year": 2020}])
    assert rows(store, "SELECT * FROM metadata ORDER BY position") == [(0, None), (1, None), (2, None), (3, 2020)]


@pytest.mark.parametrize(
    "ids, message",
    [
        (["a"], "IDs already in filter: ['a']. Use update() to replace."),
        (["x", "a", "a"], "IDs already in filter: ['a', 'a']. Use update() to replace."),
    ],
)
def test_add_refuses_registered_ids(filled, ids, message):
    before = dump(filled)
    with pytest.raises(ValueError) as info:
        filled.add(ids)
    assert str(info.value) == message and dump(filled) == before


@pytest.mark.parametrize(
    "ids, error",
    [
        (["x", "x"], ValueError),
        (["x", None], sqlite3.IntegrityError),
        (["x", 5], TypeError),
        (["x", ["y"]], sqlite3.ProgrammingError),
    ],
)
def test_add_refuses_ids_it_cannot_register(filled, ids, error):
    before = dump(filled)
    with pytest.raises(error):
        filled.add(ids)
    assert dump(filled) == before


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.add(["c1", "d1"], [{"year": 3}]), "metadata length 1 != ids length 2"),
        (lambda s: s.add(["e1"], [{"year": 4}, {"year": 5, "extra": 1}]), "metadata length 2 != ids length 1"),
        (lambda s: s.update(["a", "b"], [{"year": 10}]), "metadata length 1 != ids length 2"),
        (lambda s: s.update(["a"], []), "metadata length 0 != ids length 1"),
    ],
)
def test_metadata_must_hold_one_dict_per_id(filled, call, message):
    # Pairing stops at the shorter list, which would drop dicts or leave
    # documents without theirs.
    before = dump(filled)
    with pytest.raises(ValueError) as info:
        call(filled)
    assert str(info.value) == message and dump(filled) == before


def test_metadata_may_be_left_out_of_add(store):
    store.add(["a"], None)
    store.add(["b"])
    assert store.ids == ["a", "b"] and store.schema() == (set(), set())


def test_metadata_follows_patch_semantics(store):
    store.add(["a"], [{"year": 2020, "tags": ["x", "y"]}])
    store.update(["a"], [{"status": "new"}])
    assert rows(store, "SELECT year, status FROM metadata") == [(2020, "new")]
    assert multi(store) == [(0, "tags", "x"), (0, "tags", "y")]
    store.update(["a"], [{"tags": []}])
    assert multi(store) == []
    store.update(["a"], [{"year": None, "tags": {"z"}}])
    assert rows(store, "SELECT year, status FROM metadata") == [(None, "new")]
    assert multi(store) == [(0, "tags", "z")]


def test_multi_values_are_stored_as_distinct_texts(store):
    store.add(["a"])
    store.update(["a"], [{"tags": [1, "1", None, 2.5]}])
    assert multi(store) == [(0, "tags", "1"), (0, "tags", "2.5")]


def test_one_id_twice_in_an_update(store):
    store.add(["a"])
    store.update(["a", "a"], [{"year": 1, "tags": ["x"]}, {"year": 2, "tags": ["y"]}])
    assert rows(store, "SELECT year FROM metadata") == [(2,)]
    assert multi(store) == [(0, "tags", "x"), (0, "tags", "y")]


def test_a_key_keeps_its_kind_so_filters_on_it_keep_working(store):
    # A key held both as a column and as a list would make every filter on
    # it refused, for every caller.
    store.add(["a", "b"], [{"kind": "book"}, {"tags": ["x"]}])
    with pytest.raises(ValueError, match="'kind' holds scalar values"):
        store.update(["b"], [{"kind": ["paper"]}])
    with pytest.raises(ValueError, match="'tags' holds lists"):
        store.update(["a"], [{"tags": "y"}])
    store.update(["a"], [{"kind": "essay"}])
    assert store.positions("kind = 'essay'").tolist() == [0]
    assert store.positions("'x' IN tags").tolist() == [1]


def test_update_of_an_unregistered_id_writes_nothing(filled):
    before = dump(filled)
    with pytest.raises(ValueError) as info:
        filled.update(["a", "zz"], [{"year": 1}, {"year": 2}])
    assert str(info.value) == "IDs not in filter: ['zz']. Add them first."
    assert dump(filled) == before


def test_scalar_key_in_another_letter_case(filled):
    before = dump(filled)
    with pytest.raises(ValueError) as info:
        filled.update(["a"], [{"Year": 1}])
    assert str(info.value) == (
        "Metadata key 'Year' differs only in letter case from the column 'year', and SQLite column names "
        "ignore case. Spell it 'year'."
    )
    assert dump(filled) == before
    filled.update(["a"], [{"year": 1}])
    assert filled.positions("year = 1").tolist() == [0]


def test_scalar_key_id_is_reserved_since_filters_compare_the_document_id(store):
    with pytest.raises(ValueError) as info:
        store.add(["a", "b"], [{"id": "b"}, {"id": "a"}])
    assert str(info.value) == "Metadata key 'id' is reserved: filters on it compare the document id. Use another name."
    assert store.ids == [] and store.schema() == (set(), set())
    store.add(["a", "b"])
    assert store.positions("id = 'a'").tolist() == [0]


@pytest.mark.parametrize(
    "meta, error",
    [
        ({"a-b": 1}, ValueError),
        ({"select": 1}, ValueError),
        ({5: 1}, TypeError),
        ({"year": {"nested": 1}}, TypeError),
        ({"year": frozenset({1})}, sqlite3.ProgrammingError),
        ({"tags": [object()]}, sqlite3.ProgrammingError),
        # The row key is no metadata field: writing it would move the row.
        ({"position": 7}, ValueError),
        # A multi-valued key is bound as text; a bytes or None key would
        # sit where no filter can name it.
        ({b"tags": ["x"]}, TypeError),
        ({None: ["x"]}, TypeError),
    ],
)
def test_metadata_the_store_refuses_changes_nothing(filled, meta, error):
    before = dump(filled)
    with pytest.raises(error):
        filled.update(["a"], [meta])
    with pytest.raises(error):
        filled.add(["new"], [meta])
    assert dump(filled) == before and "new" not in filled.ids


# Metadata that would fail half-way through a write in the database's words,
# or leave a key no filter can use: refused before anything is written,
# saying what to change.
REFUSED_METADATA = {
    "dict value": ([{"year": {"n": 1}}], TypeError, "Metadata key 'year' is given a dict, which the store cannot hold"),
    "dict in a list": ([{"tags": ["x", {"n": 1}]}], TypeError, "Metadata key 'tags' is given a dict"),
    "case of a column": ([{"LANG": "en"}], ValueError, "'LANG' differs only in letter case from the column 'lang'"),
    "case within a call": (
        [{"Zz": 1}, {"zz": 2}],
        ValueError,
        "Metadata keys 'Zz' and 'zz' differ only in letter case, and SQLite column names ignore case.",
    ),
    "keyword select": ([{"select": 1}], ValueError, "Metadata key 'select' is an SQL keyword"),
    "keyword order": ([{"year": 1, "order": 2}], ValueError, "Use another name, e.g. 'order_'."),
    "id in capitals": ([{"ID": "x"}], ValueError, "Metadata key 'ID' is reserved"),
    "position in capitals": ([{"Position": 1}], ValueError, "Metadata key 'Position' is reserved"),
    "list under a column": ([{"year": [2020]}], ValueError, "Metadata key 'year' is given a list, but 'year'"),
    "scalar under a list key": ([{"Tags": "db"}], ValueError, "Metadata key 'Tags' is given a scalar, but 'tags'"),
    "None under a list key": ([{"tags": None}], ValueError, "Give a list (an empty one clears it)"),
    "scalar then list in one call": ([{"kind": 1}, {"kind": ["x"]}], ValueError, "'kind' holds scalar values"),
    "list then scalar in one call": ([{"kind": ["x"]}, {"kind": 1}], ValueError, "'kind' holds lists"),
}


@pytest.mark.parametrize("case", REFUSED_METADATA)
def test_metadata_refused_before_anything_is_written(filled, case):
    metas, error, message = REFUSED_METADATA[case]
    before = dump(filled)
    with pytest.raises(error, match=re.escape(message)):
        filled.update(filled.ids[: len(metas)], metas)
    with pytest.raises(error, match=re.escape(message)):
        filled.add([f"new{i}" for i in range(len(metas))], metas)
    assert dump(filled) == before
    assert filled.positions("year >= 2020 OR 'db' IN tags").tolist() == [0, 1, 2, 3]


def test_one_id_twice_in_one_add(filled):
    before = dump(filled)
    with pytest.raises(ValueError) as info:
        filled.add(["x", "y", "x", "y", "x"])
    assert str(info.value) == "IDs repeated in this add: ['x', 'y']. Give each id once."
    assert dump(filled) == before


def test_keywords_sqlite_takes_as_column_names_are_stored(store):
    store.add(["a", "b"], [{"key": 1, "abort": "x"}, {"key": 2}])
    assert store.positions({"key": 2}).tolist() == [1]
    assert store.positions("abort = 'x'").tolist() == [0]


def test_position_key_is_refused_with_a_message(filled):
    with pytest.raises(ValueError, match="'position'"):
        filled.update(["b"], [{"position": 0}])
    assert filled.ids == ["a", "b", "c", "d", "e"]


def test_invalid_key_with_a_list_value_is_stored_as_multi_valued(store):
    store.add(["a"], [{"a-b": ["x"]}])
    assert multi(store) == [(0, "a-b", "x")]


def test_every_scalar_key_is_checked_before_it_is_spliced(filled):
    # A column whose name is no identifier (as a crafted file could hold)
    # must never reach the UPDATE text, even though it exists already.
    filled._conn.execute('ALTER TABLE metadata ADD COLUMN "year = 0, lang"')
    before = dump(filled)
    with pytest.raises(ValueError, match="Invalid identifier"):
        filled.update(["a"], [{"year = 0, lang": "x"}])
    assert dump(filled) == before


def test_metadata_element_that_is_not_a_mapping(filled):
    before = dump(filled)
    with pytest.raises(AttributeError):
        filled.add(["x"], [None])
    assert dump(filled) == before


def test_delete_then_compact_renumbers_keeping_order(filled):
    filled.delete(["b", "d"])
    assert rows(filled, "SELECT position, id FROM docs ORDER BY position") == [(0, "a"), (2, "c"), (4, "e")]
    assert filled.positions().tolist() == [0, 2, 4]
    filled.compact()
    assert rows(filled, "SELECT position, id FROM docs ORDER BY position") == [(0, "a"), (1, "c"), (2, "e")]
    assert rows(filled, "SELECT position, year, lang FROM metadata ORDER BY position") == [
        (0, 2019, "en"),
        (1, 2021, "en"),
        (2, None, None),
    ]
    assert multi(filled) == [(0, "tags", "db"), (0, "tags", "ml")]
    assert grants(filled) == [(0, "admin"), (0, "staff"), (1, "staff")]
    assert rows(filled, "SELECT * FROM _remap") == []


def by_id(store):
    """Each document's rows in every table, keyed by id, with the stored type
    of every metadata value; and the ids in position order."""
    conn = store._conn
    columns = [r[1] for r in conn.execute("PRAGMA table_info(metadata)")][1:]
    typed = ", ".join(f"m.{c}, typeof(m.{c})" for c in columns)
    docs = {}
    for position, doc in conn.execute("SELECT position, id FROM docs ORDER BY position"):
        docs[doc] = (
            conn.execute(f"SELECT {typed} FROM metadata m WHERE position = ?", (position,)).fetchall(),
            sorted(conn.execute("SELECT key, value FROM metadata_multi WHERE position = ?", (position,))),
            sorted(conn.execute("SELECT role FROM doc_access WHERE position = ?", (position,))),
        )
    return list(docs), docs


@pytest.mark.parametrize("deleted", [["a"], ["e"], ["a", "c", "e"], ["b", "c", "d"], ["a", "b", "c", "d"]])
def test_compact_moves_every_table_along(filled, deleted):
    filled.update(["b", "c"], [{"score": 1.0, "code": "007", "raw": b"\x00x", "tags": ["ml", "x"]}, {"score": 2}])
    filled.grant(["e"], ["staff", "guest"])
    schema = dump(filled)[0]
    order, docs = by_id(filled)
    for doc in deleted:
        del docs[doc]
        order.remove(doc)
    filled.delete(deleted)
    filled.compact()
    assert by_id(filled) == (order, docs)
    assert filled.positions().tolist() == list(range(len(order)))
    assert dump(filled)[0] == schema
    # A second compaction reuses what the first left behind.
    filled.delete([order.pop(0)])
    filled.compact()
    assert filled.ids == order and rows(filled, "SELECT * FROM _remap") == []


def test_compact_keeps_the_unique_keys(filled, tmp_path):
    filled.delete(["a"])
    filled.compact()
    for sql, row in [
        ("INSERT INTO metadata_multi VALUES (?, ?, ?)", (0, "tags", "ml")),
        ("INSERT INTO doc_access VALUES (?, ?)", (0, "staff")),
        ("INSERT INTO docs VALUES (?, ?)", (9, "b")),
    ]:
        with pytest.raises(sqlite3.IntegrityError):
            filled._conn.execute(sql, row)
    filled._conn.rollback()
    filled.save(str(tmp_path))
    assert RowScreen.load(str(tmp_path)).ids == ["b", "c", "d", "e"]


def test_positions_freed_at_the_top_are_given_again(filled):
    filled.delete(["d", "e"])
    filled.add(["x", "y"])
    assert rows(filled, "SELECT position, id FROM docs WHERE position >= 3 ORDER BY position") == [(3, "x"), (4, "y")]
    filled.delete(["a"])
    filled.add(["z"])
    assert rows(filled, "SELECT id FROM docs WHERE position = 5") == [("z",)]


@pytest.mark.parametrize("ids", [[], ["a", "b"]])
def test_compact_without_gaps_writes_nothing(store, ids):
    store.add(ids)
    store.compact()
    assert rows(store, "SELECT name FROM sqlite_temp_master") == []


def test_grant_and_revoke(store):
    store.add(["a", "b"])
    store.grant(["a", "b"], ["r1", "r2"])
    store.grant(["a", "b"], ["r1", "r2", None])
    assert grants(store) == [(0, "r1"), (0, "r2"), (1, "r1"), (1, "r2")]
    store.revoke(["a"], ["r1", "r3"])
    assert grants(store) == [(0, "r2"), (1, "r1"), (1, "r2")]


def test_grant_checks_roles_as_it_builds_rows(store):
    store.add(["a"])
    with pytest.raises(TypeError, match="Expected str, got int"):
        store.grant(["a"], ["r", 5])
    store.grant([], [5])
    assert grants(store) == []
    with pytest.raises(ValueError, match=r"IDs not in filter: \['zz'\]"):
        store.revoke(["zz"], ["r"])


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.add([]),
        lambda s: s.add([], []),
        lambda s: s.update([], []),
        lambda s: s.delete([]),
        lambda s: s.grant([], []),
        lambda s: s.revoke([], []),
        lambda s: s.compact(),
    ],
)
def test_empty_writes_change_nothing_and_empty_the_cache(filled, call):
    filled.positions()
    before = dump(filled)
    call(filled)
    assert dump(filled) == before and len(filled._cache) == 0


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda s: s.add(("a",)), "ids"),
        (lambda s: s.add(["a"], ({},)), "metadata"),
        (lambda s: s.update(["a"], None), "metadata"),
        (lambda s: s.delete(None), "ids"),
        (lambda s: s.grant(["a"], "r"), "roles"),
        (lambda s: s.revoke(type("L", (list,), {})(), []), "ids"),
        (lambda s: s.add(["a"], metadata=None, extra=1), "extra"),
        (lambda s: s.compact(1), "compact"),
    ],
)
def test_write_argument_errors(filled, call, param):
    before = dump(filled)
    with pytest.raises(TypeError, match=param):
        call(filled)
    assert dump(filled) == before


def test_ids_are_looked_up_in_pieces(filled, monkeypatch):
    monkeypatch.setattr(_row_screen, "SQL_CHUNK", 2)
    with pytest.raises(ValueError, match=r"\['e', 'c'\]"):
        filled.add(["x", "e", "y", "c"])
    filled.update(["e", "a", "d", "b", "c"], [{"year": n} for n in range(5)])
    assert rows(filled, "SELECT year FROM metadata ORDER BY position") == [(1,), (3,), (4,), (2,), (0,)]
    filled.delete(["a", "b", "c"])
    assert filled.ids == ["d", "e"]


def test_positions_for_resolves_in_input_order(filled):
    assert filled._positions_for(["c", "a", "c"]) == [2, 0, 2]
    with pytest.raises(TypeError, match="Expected str, got int"):
        filled._positions_for(["a", 3])


def test_ensure_columns_takes_an_exact_set(filled):
    with pytest.raises(TypeError, match="keys"):
        filled._ensure_columns(frozenset({"x"}))
    filled._ensure_columns({"year", "fresh"})
    assert "fresh" in filled.schema()[0]


def test_a_failed_write_keeps_rows_aligned_for_the_next_add(store):
    # The sibling index never received the failed batch; the next batch
    # must start at the same position it does.
    store.add(["a"])
    with pytest.raises(sqlite3.ProgrammingError):
        store.add(["b", "c"], [{"year": 1}, {"year": frozenset({1})}])
    store.add(["d"])
    assert rows(store, "SELECT position, id FROM docs ORDER BY position") == [(0, "a"), (1, "d")]


def test_new_column_is_undone_with_the_failed_write(store):
    store.add(["a"])
    with pytest.raises(sqlite3.ProgrammingError):
        store.update(["a"], [{"fresh": 1, "other": frozenset({1})}])
    assert store.schema() == (set(), set())
    assert isinstance(RowScreen().schema()[0], set)


def test_documents_with_different_keys_each_get_their_own_values(store):
    store.add(
        ["a", "b", "c", "d", "e"],
        [{"x": 1, "y": 2}, {"x": 3, "y": 4}, {"y": 5, "x": 6}, {"x": 7}, {"x": 8, "y": 9}],
    )
    assert rows(store, "SELECT x, y FROM metadata ORDER BY position") == [(1, 2), (3, 4), (6, 5), (7, None), (8, 9)]


def test_schema_lists_every_multi_valued_key_once(store):
    keys = ["tags", "Tags", "a", "a_b", "zz", "b"]
    store.add([f"d{i}" for i in range(len(keys))], [{k: ["v", "w"], "tags": ["t"]} for k in keys])
    assert store.schema()[1] == set(keys)
    store.delete(["d1"])
    assert store.schema()[1] == set(keys) - {"Tags"}
