import pytest

from tarnix_engine._row_screen import RowScreen


@pytest.fixture
def store():
    return RowScreen()


@pytest.fixture
def filled():
    """Five documents with scalar and multi-valued metadata and grants."""
    s = RowScreen()
    s.add(
        ["a", "b", "c", "d", "e"],
        [
            {"year": 2019, "lang": "en", "tags": ["ml", "db"]},
            {"year": 2020, "lang": "de", "tags": ["ml"]},
            {"year": 2021, "lang": "en"},
            {"year": None, "lang": "fr", "tags": ["db"]},
            {},
        ],
    )
    s.grant(["a", "b", "c"], ["staff"])
    s.grant(["d"], ["admin"])
    s.grant(["a"], ["admin"])
    return s
