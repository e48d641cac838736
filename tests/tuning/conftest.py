import pytest

from model_helpers import toy_arrays


@pytest.fixture
def toy():
    return toy_arrays()
