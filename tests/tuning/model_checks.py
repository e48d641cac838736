"""What prediction relies on in a model file, checked on its arrays and on
the loaded model; used on every shipped model and on the tuning tool's output."""

import math

import numpy as np
import pytest

from tools.tuning import depth_reference as ref

# Questions a model must answer sanely, inside and far outside its grid.
CORPUS_SIZES = [1, 2, 7, 50, 100, 999, 1_000, 4_321, 10**5, 123_457, 10**6, 10**7, 10**8, 10**9, 10**11]
CUTOFFS = [1, 2, 5, 10, 13, 50, 100, 250, 1_000, 5_000]


def default_preference_is_listed(arrays, model):
    assert "balanced" in model.speed_preferences
    assert len(model.speed_preferences) == len(set(model.speed_preferences))


def value_curves_never_rise_after_their_peak(arrays, model):
    low, high = (float(v) for v in arrays["log_value_range"])
    curves = arrays["log_value_per_candidate"].astype(np.float64) * ((high - low) / 65535.0) + low
    for row in curves.reshape(-1, curves.shape[-1]):
        tail = row[int(np.argmax(row)):]
        assert np.all(np.diff(tail) <= 0)


def recalls_lie_in_the_unit_interval(arrays, model):
    low, high = (float(v) for v in arrays["recall_range"])
    cube = arrays["recall"].astype(np.float64) * ((high - low) / 65535.0) + low
    for values in (cube, arrays["recall_at_deep_end"], arrays["recall_at_cutoff"]):
        assert np.all((values >= 0) & (values <= 1))


def corner_tables_agree_with_the_cube(arrays, model):
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


def deep_ends_never_exceed_the_corpus(arrays, model):
    assert np.all(arrays["deepest_depth"] <= arrays["corpus_size"])
    assert np.all(arrays["deepest_depth"] >= 1)


def cheaper_preferences_are_listed_first(arrays, model):
    # The order the names are offered in runs from fast to thorough.
    assert np.all(np.diff(arrays["price"]) < 0)


INVARIANTS = [
    default_preference_is_listed,
    value_curves_never_rise_after_their_peak,
    recalls_lie_in_the_unit_interval,
    corner_tables_agree_with_the_cube,
    deep_ends_never_exceed_the_corpus,
    cheaper_preferences_are_listed_first,
]


def sane_answers(model):
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


def validate(arrays, model):
    """Every invariant above, then sane answers over the question grid."""
    for check in INVARIANTS:
        check(arrays, model)
    sane_answers(model)
