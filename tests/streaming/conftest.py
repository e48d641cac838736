import importlib

import pytest


@pytest.fixture
def shard_flow():
    return importlib.import_module("tarnix_engine.indexes._shard_flow")
