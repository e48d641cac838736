import copy
import pickle

import numpy as np
import pytest

from tarnix_engine._types import PredictionResult, SearchResult, _Parameters

RECORDS = [
    (SearchResult, {"rank": 0, "id": "doc-1", "score": 0.5}),
    (PredictionResult, {"text_k": 40, "vector_k": 60, "top_k": 10, "expected_recall": 0.93}),
    (PredictionResult, {"text_k": 40, "vector_k": 60, "top_k": 10, "expected_recall": None}),
    (_Parameters, {"boundaries": np.zeros((3, 256)), "fit_values": np.ones(3, np.float32)}),
]
IDS = ["search", "prediction", "prediction-no-recall", "parameters"]


@pytest.mark.parametrize(("cls", "fields"), RECORDS, ids=IDS)
def test_keyword_construction_reads_back_the_given_objects(cls, fields):
    record = cls(**fields)
    for name, value in fields.items():
        # identity, not equality: _Parameters must hold the arrays, not copies
        assert getattr(record, name) is value


@pytest.mark.parametrize(("cls", "fields"), RECORDS, ids=IDS)
def test_construction_refuses_anything_but_the_exact_keywords(cls, fields):
    values = list(fields.values())
    with pytest.raises(TypeError):
        cls(*values)
    with pytest.raises(TypeError):
        cls(values[0], **dict(list(fields.items())[1:]))
    with pytest.raises(TypeError):
        cls(**dict(list(fields.items())[:-1]))
    with pytest.raises(TypeError):
        cls(**fields, extra=1)


@pytest.mark.parametrize(("cls", "fields"), RECORDS, ids=IDS)
def test_attributes_cannot_be_set_added_or_deleted(cls, fields):
    record = cls(**fields)
    name = next(iter(fields))
    with pytest.raises(AttributeError):
        setattr(record, name, 1)
    with pytest.raises(AttributeError):
        delattr(record, name)
    with pytest.raises(AttributeError):
        record.extra = 1
    assert getattr(record, name) is fields[name]


@pytest.mark.parametrize(("cls", "fields"), RECORDS[:3], ids=IDS[:3])
def test_value_records_compare_and_hash_by_value(cls, fields):
    a, b = cls(**fields), cls(**fields)
    assert a == b and hash(a) == hash(b)
    for name in fields:
        changed = dict(fields, **{name: "other"})
        assert a != cls(**changed)


@pytest.mark.parametrize(("cls", "fields"), RECORDS[:3], ids=IDS[:3])
def test_value_records_survive_pickle_and_copy(cls, fields):
    # The default tuple reduce passes fields positionally, which the
    # keyword-only constructor would refuse.
    record = cls(**fields)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(record, protocol))
        assert type(restored) is cls and restored == record
    assert copy.copy(record) == record and copy.deepcopy(record) == record


def test_reprs_name_the_fields():
    assert repr(SearchResult(rank=2, id="a", score=1.5)) == "SearchResult(rank=2, id='a', score=1.5)"
    assert repr(PredictionResult(text_k=1, vector_k=2, top_k=3, expected_recall=None)) == (
        "PredictionResult(text_k=1, vector_k=2, top_k=3, expected_recall=None)"
    )


def test_parameters_repr_summarises_arrays_instead_of_printing_them():
    params = _Parameters(boundaries=np.zeros((384, 256)), fit_values=None)
    assert repr(params) == "_Parameters(boundaries=<float64 array of shape (384, 256)>, fit_values=None)"


def test_parameters_are_equal_only_when_holding_the_same_arrays():
    edges, fit = np.arange(6.0).reshape(2, 3), np.arange(2.0)
    params = _Parameters(boundaries=edges, fit_values=fit)
    same = _Parameters(boundaries=edges, fit_values=fit)
    copied = _Parameters(boundaries=edges.copy(), fit_values=fit)
    # element-wise array comparison would raise "truth value is ambiguous"
    assert params == same and hash(params) == hash(same)
    assert params != copied and not (params == copied)
    assert params != (edges, fit)
    assert len({params, same}) == 1


def test_parameters_pickle_keeps_the_array_contents():
    params = _Parameters(boundaries=np.arange(6.0).reshape(2, 3), fit_values=np.arange(2.0))
    restored = pickle.loads(pickle.dumps(params))
    assert type(restored) is _Parameters
    np.testing.assert_array_equal(restored.boundaries, params.boundaries)
    np.testing.assert_array_equal(restored.fit_values, params.fit_values)
