import os

import pytest

from hypothesis import settings

# CI runs the same examples every time, so a red run always reproduces;
# local runs keep exploring new ones.
settings.register_profile("ci", derandomize=True, database=None, print_blob=True)
if os.environ.get("CI"):
    settings.load_profile("ci")


# ---- SIMD levels ----------------------------------------------------------------
# A test module with kernels in several SIMD variants names the compiled
# module in SIMD_MODULE (and, when it has variants for fewer levels, those in
# SIMD_LEVELS) and takes the `level` fixture: each of its tests then runs once
# at every such level the machine supports, and the best level is put back
# afterwards.

SIMD_LEVELS = ("portable", "popcnt", "avx2", "avx512")


def simd_levels(module, levels=SIMD_LEVELS):
    """The `levels` that `module._simd_level` accepts on this machine."""
    best = module._simd_level()
    supported = []
    try:
        for level in levels:
            try:
                module._simd_level(level)
            except ValueError:
                continue
            supported.append(level)
    finally:
        module._simd_level(best)
    return supported


def pytest_generate_tests(metafunc):
    if "level" in metafunc.fixturenames and hasattr(metafunc.module, "SIMD_MODULE"):
        levels = getattr(metafunc.module, "SIMD_LEVELS", SIMD_LEVELS)
        metafunc.parametrize("level", simd_levels(metafunc.module.SIMD_MODULE, levels), indirect=True)


@pytest.fixture
def level(request):
    module = request.module.SIMD_MODULE
    best = module._simd_level()
    module._simd_level(request.param)
    yield request.param
    module._simd_level(best)
