import importlib
import sys
import types
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).parent))

from streaming_helpers import fuse_shards  # noqa: E402


def _install_fusion_stand_in():
    # Until the fusion kernels are built, the streaming index imports a
    # stand-in that fuses as the plain-Python model does.
    try:
        importlib.import_module("tarnix_engine.kernels.fusion")
    except ModuleNotFoundError as exc:
        if exc.name != "tarnix_engine.kernels.fusion":
            raise
        module = types.ModuleType("tarnix_engine.kernels.fusion")
        module._process_batch = fuse_shards
        sys.modules["tarnix_engine.kernels.fusion"] = module


_install_fusion_stand_in()


@pytest.fixture
def shard_flow():
    return importlib.import_module("tarnix_engine.indexes._shard_flow")
