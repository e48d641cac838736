"""The tuning tool at its smoke size: a synthetic corpus with hashed
bag-of-words vectors, so it needs neither the sentence-embedding tool's
dependencies nor manual pages, and runs the same pipeline as the real run."""

import numpy as np
import pytest

import model_checks as checks
from tarnix_engine.tuning._depth_oracle import DepthOracle, TunedModel
from tools.tuning import relevance_model


@pytest.fixture(scope="module")
def smoke(tmp_path_factory):
    out = tmp_path_factory.mktemp("tuned") / "relevance.npz"
    relevance_model.main(["--smoke", "--out", str(out)])
    return out


def read(path):
    with np.load(path, allow_pickle=False) as archive:
        return {key: archive[key] for key in archive.files}


def test_the_model_loads_and_passes_the_validator(smoke):
    arrays = read(smoke)
    assert "provisional" not in arrays
    checks.validate(arrays, TunedModel.load(smoke))


def test_the_advisor_deepens_with_the_speed_preference(smoke):
    oracle = DepthOracle(smoke)
    for n in (30, 100, 200, 300, 5_000):
        for k in (1, 10, 50, 100):
            answers = list(oracle.predict_all(n, k).values())
            depths = [a.text_k for a in answers]
            assert depths == sorted(depths), (n, k, depths)
            assert all(min(n, k) <= d <= n for d in depths)
            # Where the grid measured the cutoff, the model vouches for a recall.
            if n >= k or n >= 100:
                assert all(a.expected_recall is not None for a in answers), (n, k)


def test_the_same_inputs_give_the_same_bytes(smoke, tmp_path):
    again = tmp_path / "again.npz"
    relevance_model.main(["--smoke", "--out", str(again)])
    assert again.read_bytes() == smoke.read_bytes()
