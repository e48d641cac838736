import sys
from pathlib import Path

import pytest

# The reference prediction and the model helpers live beside the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent))

from model_helpers import toy_arrays  # noqa: E402


@pytest.fixture
def toy():
    return toy_arrays()
