"""A role is a str in every read, as in grant: any other value would be
compared with the stored role names by SQLite's text affinity, so 1 and
True would read the documents of the role "1"."""

import pytest

from tarnix_engine._row_screen import RowScreen
from tarnix_engine._screened_search import ScreenedSearch
from tarnix_engine.indexes._term_scoring import _RelevanceCore


@pytest.fixture
def wrapped():
    """A text index over a store whose roles are the texts of other values."""
    w = ScreenedSearch(_RelevanceCore(), RowScreen())
    w.add(["one", "float", "none"], ["red apple", "red pear", "red plum"], metadata=[{"n": 1}, {"n": 2}, {"n": 3}],
          roles=[["1"], ["1.0"], ["None"]])
    return w


READS = {
    "positions": lambda w, roles: w.row_screen.positions(None, roles),
    "positions with a filter": lambda w, roles: w.row_screen.positions("n >= 1", roles),
    "query positions": lambda w, roles: w.row_screen._query_positions(None, roles),
    "filter_by_roles": lambda w, roles: w.row_screen.filter_by_roles(roles),
    "screened candidates": lambda w, roles: w.candidates(roles=roles),
    "screened search": lambda w, roles: w.search(["red"], 3, roles=roles),
    "screened search_raw": lambda w, roles: w.search_raw(["red"], 3, roles=roles),
}

NOT_STR = [1, True, 1.0, None, b"1"]


@pytest.mark.parametrize("read", READS)
@pytest.mark.parametrize("role", NOT_STR, ids=repr)
@pytest.mark.parametrize("at", [0, 1])
def test_a_role_that_is_not_a_str_is_refused(wrapped, read, role, at):
    roles = ["1", "None"]
    roles[at] = role
    with pytest.raises(TypeError, match=rf"roles\[{at}\] must be a str, not {type(role).__name__}"):
        READS[read](wrapped, roles)
    assert len(wrapped.row_screen._cache) == 0
    if role is not None:  # the refusal grant gives for the same role
        with pytest.raises(TypeError):
            wrapped.grant(["one"], [role])


def test_a_str_subclass_is_read_as_its_text(wrapped):
    class Role(str):
        pass

    store = wrapped.row_screen
    assert store.positions(None, [Role("1.0")]).tolist() == [1]
    assert store.filter_by_roles([Role("1")]).tolist() == [0]
    assert {h.id for h in wrapped.search(["red"], 3, roles=[Role("1")])[0]} == {"one"}
