"""The model files shipped in the package: what prediction relies on, sane
answers over a grid of questions, and the same file found from the installed
package and from the source tree."""

import importlib.resources
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import model_checks as checks
import tarnix_engine.tuning
from tarnix_engine.tuning._depth_oracle import DepthOracle, TunedModel, default_tuner
from tools.tuning import depth_reference as ref

REPO = Path(__file__).resolve().parents[2]
SOURCE_MODELS = REPO / "src" / "tarnix_engine" / "tuning" / "models"
INSTALLED_MODELS = importlib.resources.files("tarnix_engine.tuning").joinpath("models")
SHIPPED = sorted(p.name for p in INSTALLED_MODELS.iterdir() if p.name.endswith(".npz"))



def test_relevance_ships():
    assert "relevance.npz" in SHIPPED


@pytest.fixture(scope="module", params=SHIPPED)
def shipped(request):
    with importlib.resources.as_file(INSTALLED_MODELS.joinpath(request.param)) as path:
        with np.load(path, allow_pickle=False) as archive:
            arrays = {key: archive[key] for key in archive.files}
        return arrays, TunedModel.load(path)


@pytest.mark.parametrize("check", checks.INVARIANTS, ids=lambda check: check.__name__)
def test_invariants(shipped, check):
    check(*shipped)


class TestAnswersOverAGrid:
    def test_sane_answers(self, shipped):
        checks.sane_answers(shipped[1])

    @pytest.mark.parametrize("n", [10**12, 2**40, 2**62, 2**63 - 1])
    def test_recall_past_the_last_corpus_node_stays_within_the_unit_interval(self, shipped, n):
        # Past the last node the corpus weights extrapolate.
        _, model = shipped
        for cutoff in (10, 1_000):
            for p in model.speed_preferences:
                recall = model.predict_one(n, cutoff, p).expected_recall
                assert recall is None or 0.0 <= recall <= 1.0, (n, cutoff, p, recall)

    def test_the_compiled_answers_are_the_references(self, shipped):
        _, model = shipped
        for n in checks.CORPUS_SIZES[::3]:
            for cutoff in checks.CUTOFFS[::2]:
                for p in model.speed_preferences:
                    got = model.predict_one(n, cutoff, p)
                    assert tuple(got) == ref.predict(model, n, cutoff, p)[:4]


class TestFoundBothWays:
    def test_from_the_installed_package(self):
        oracle = default_tuner("relevance")
        assert isinstance(oracle, DepthOracle)
        found = INSTALLED_MODELS.joinpath("relevance.npz")
        assert found.is_file()
        if Path(tarnix_engine.tuning.__file__).resolve().parent == SOURCE_MODELS.parent.resolve():
            pytest.skip("the package is imported from the source tree itself")
        assert SOURCE_MODELS.parent.resolve() not in Path(str(found)).resolve().parents

    def test_from_the_source_tree(self):
        # The source package, with the compiled module borrowed from the
        # installed one: default_tuner then resolves the source tree's file.
        script = f"""
import importlib.resources, sys
import tarnix_engine.tuning as tuning
tuning.__path__.append({str(Path(tarnix_engine.tuning.__file__).resolve().parent)!r})
from tarnix_engine.tuning._depth_oracle import default_tuner
print(importlib.resources.files("tarnix_engine.tuning"))
print(tuple(default_tuner("relevance").predict(123457, 10)))
"""
        env = {"PYTHONPATH": str(REPO / "src"), "PATH": "/usr/bin:/bin"}
        # Under `make sanitize` the compiled module needs the sanitizer runtimes too.
        env |= {k: v for k, v in os.environ.items() if k in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, check=True)
        folder, answer = run.stdout.splitlines()
        assert Path(folder).resolve() == SOURCE_MODELS.parent.resolve()
        assert answer == repr(tuple(default_tuner("relevance").predict(123457, 10)))

    @pytest.mark.parametrize("name", SHIPPED)
    def test_the_installed_files_are_the_source_files(self, name):
        assert INSTALLED_MODELS.joinpath(name).read_bytes() == (SOURCE_MODELS / name).read_bytes()
