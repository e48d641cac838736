"""The model files shipped in the package: what prediction relies on, sane
answers over a grid of questions, and the same file found from the installed
package and from the source tree."""

import importlib.resources
import math
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import depth_reference as ref
import tarnix_engine.tuning
from tarnix_engine.tuning._depth_oracle import DepthOracle, TunedModel, default_tuner

REPO = Path(__file__).resolve().parents[2]
SOURCE_MODELS = REPO / "src" / "tarnix_engine" / "tuning" / "models"
INSTALLED_MODELS = importlib.resources.files("tarnix_engine.tuning").joinpath("models")
SHIPPED = sorted(p.name for p in INSTALLED_MODELS.iterdir() if p.name.endswith(".npz"))

CORPUS_SIZES = [1, 2, 7, 50, 100, 999, 1_000, 4_321, 10**5, 123_457, 10**6, 10**7, 10**8, 10**9, 10**11]
CUTOFFS = [1, 2, 5, 10, 13, 50, 100, 250, 1_000, 5_000]


def test_relevance_ships():
    assert "relevance.npz" in SHIPPED


@pytest.fixture(scope="module", params=SHIPPED)
def shipped(request):
    with importlib.resources.as_file(INSTALLED_MODELS.joinpath(request.param)) as path:
        with np.load(path, allow_pickle=False) as archive:
            arrays = {key: archive[key] for key in archive.files}
        return arrays, TunedModel.load(path)


class TestInvariants:
    def test_the_default_preference_is_listed(self, shipped):
        arrays, model = shipped
        assert "balanced" in model.speed_preferences
        assert len(model.speed_preferences) == len(set(model.speed_preferences))

    def test_value_curves_never_rise_after_their_peak(self, shipped):
        arrays, _ = shipped
        low, high = (float(v) for v in arrays["log_value_range"])
        curves = arrays["log_value_per_candidate"].astype(np.float64) * ((high - low) / 65535.0) + low
        for row in curves.reshape(-1, curves.shape[-1]):
            tail = row[int(np.argmax(row)):]
            assert np.all(np.diff(tail) <= 0)

    def test_recalls_lie_in_the_unit_interval(self, shipped):
        arrays, _ = shipped
        low, high = (float(v) for v in arrays["recall_range"])
        cube = arrays["recall"].astype(np.float64) * ((high - low) / 65535.0) + low
        for values in (cube, arrays["recall_at_deep_end"], arrays["recall_at_cutoff"]):
            assert np.all((values >= 0) & (values <= 1))

    def test_corner_tables_agree_with_the_cube(self, shipped):
        arrays, model = shipped
        f = ref.fields(model)
        log_depth = f["_log_depth"].tolist()
        scale = (f["_recall_high"] - f["_recall_low"]) / 65535.0
        deep_ends = np.rint(arrays["deepest_depth"])
        for c in range(len(arrays["corpus_size"])):
            for q, k in enumerate(arrays["cutoff"].tolist()):
                row = [code * scale + f["_recall_low"] for code in f["_recall"][c, q].tolist()]
                at_deep_end = ref.interp(math.log(float(deep_ends[c])), log_depth, row)
                at_cutoff = ref.interp(math.log(float(k)), log_depth, row)
                assert arrays["recall_at_deep_end"][c, q] == pytest.approx(at_deep_end, abs=1e-3)
                assert arrays["recall_at_cutoff"][c, q] == pytest.approx(at_cutoff, abs=1e-3)

    def test_deep_ends_never_exceed_the_corpus(self, shipped):
        arrays, _ = shipped
        assert np.all(arrays["deepest_depth"] <= arrays["corpus_size"])
        assert np.all(arrays["deepest_depth"] >= 1)

    def test_cheaper_preferences_are_listed_first(self, shipped):
        # The order the names are offered in runs from fast to thorough.
        arrays, _ = shipped
        assert np.all(np.diff(arrays["price"]) < 0)


class TestAnswersOverAGrid:
    def test_sane_answers(self, shipped):
        _, model = shipped
        for n in CORPUS_SIZES:
            for cutoff in CUTOFFS:
                answers = [model.predict_one(n, cutoff, p) for p in model.speed_preferences]
                for got in answers:
                    assert got.top_k == min(n, cutoff)
                    assert 1 <= got.text_k <= n
                    assert got.vector_k >= 1
                    assert got.expected_recall is None or 0 <= got.expected_recall <= 1
                # A preference that pays less per candidate never searches shallower.
                depths = [got.text_k for got in answers]
                assert depths == sorted(depths), (n, cutoff, depths)

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
        for n in CORPUS_SIZES[::3]:
            for cutoff in CUTOFFS[::2]:
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


def test_the_provisional_model_is_reproduced_by_its_generator(tmp_path):
    committed = SOURCE_MODELS / "relevance.npz"
    with zipfile.ZipFile(committed) as archive:
        if "provisional.npy" not in archive.namelist():
            pytest.skip("the shipped relevance model is a tuned one")
    out = tmp_path / "relevance.npz"
    subprocess.run([sys.executable, str(REPO / "tools/tuning/provisional_model.py"), "--out", str(out)],
                   check=True, capture_output=True)
    assert out.read_bytes() == committed.read_bytes()
