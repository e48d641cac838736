"""The store's ids are kept between writes: every change of the registered
documents, by whatever path, is seen by the next read."""

import pytest

from tarnix_engine._row_screen import RowScreen


def refused(write, error):
    def run(store):
        with pytest.raises(error):
            write(store)
        return store

    return run


def then(write):
    def run(store):
        write(store)
        return store

    return run


def raw_delete(store):
    store._conn.execute("DELETE FROM docs WHERE id = 'c'")
    store._conn.commit()


def other_connection(store):
    other = RowScreen()
    other.add(["z"])
    store._conn = other._conn


def reloaded_after_a_change(tmp_path):
    def run(store):
        store.save(str(tmp_path / "s"))
        store.delete(["a"])
        store.ids
        return RowScreen.load(str(tmp_path / "s"))

    return run


ALL = ["a", "b", "c", "d", "e"]
CHANGES = {
    "add": (then(lambda s: s.add(["f", "g"])), ALL + ["f", "g"]),
    "add of a registered id": (refused(lambda s: s.add(["f", "a"]), ValueError), ALL),
    "add rolled back after its ids went in": (refused(lambda s: s.add(["f"], [{"position": 1}]), ValueError), ALL),
    "update": (then(lambda s: s.update(["a"], [{"year": 1}])), ALL),
    "delete": (then(lambda s: s.delete(["b", "d"])), ["a", "c", "e"]),
    "delete and compact": (then(lambda s: (s.delete(["a"]), s.compact())), ["b", "c", "d", "e"]),
    "grant and revoke": (then(lambda s: (s.grant(["e"], ["x"]), s.revoke(["a"], ["staff"]))), ALL),
    "a statement on the store's connection": (then(raw_delete), ["a", "b", "d", "e"]),
    "another connection": (then(other_connection), ["z"]),
    "load": (None, ALL),
}


@pytest.mark.parametrize("change", CHANGES)
def test_ids_follow_every_change(filled, change, tmp_path):
    apply, expected = CHANGES[change]
    if apply is None:
        apply = reloaded_after_a_change(tmp_path)
    assert filled.ids == ALL  # read, so that it is kept
    store = apply(filled)
    first = store.ids
    assert first == expected
    first.append("mine")  # each read is a list of its own
    second = store.ids
    assert second == expected and second is not first
