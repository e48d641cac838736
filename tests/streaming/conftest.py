import importlib
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))


@pytest.fixture
def shard_flow():
    return importlib.import_module("tarnix_engine.indexes._shard_flow")
