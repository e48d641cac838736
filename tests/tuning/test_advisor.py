"""DepthOracle (answers remembered per exact question), the pickled form and
copies of both classes, and the per-type advisors of default_tuner."""

import copy
import gc
import importlib.resources
import pickle
import uuid
import weakref

import numpy as np
import pytest

from model_helpers import save_npz, toy_arrays
from tarnix_engine.tuning import _depth_oracle
from tarnix_engine.tuning._depth_oracle import DepthOracle, TunedModel, default_tuner
from tools.tuning import depth_reference as ref

PICKLE_REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


class CountingModel(TunedModel):
    """Records every question that reaches the model."""

    def __init__(self, arrays):
        super().__init__(arrays)
        self.asked = []

    def predict_one(self, corpus_size, cutoff, speed_preference="balanced"):
        self.asked.append((corpus_size, cutoff, speed_preference))
        return super().predict_one(corpus_size, cutoff, speed_preference)


def oracle_around(model, use_cache=True, answered=None):
    """An advisor over a given model, through the pickled form's state setter."""
    oracle = DepthOracle.__new__(DepthOracle)
    oracle.__setstate__(({} if answered is None else answered, model, use_cache))
    return oracle


def answer_map(oracle):
    return oracle.__reduce__()[1][1][0]


@pytest.fixture
def model_file(tmp_path):
    return save_npz(tmp_path / "toy.npz", toy_arrays())


@pytest.fixture
def counting():
    return CountingModel(toy_arrays())


class TestConstruction:
    def test_loads_the_model_with_caching_on(self, model_file):
        oracle = DepthOracle(model_file)
        assert type(oracle.model) is TunedModel
        assert oracle.model is oracle.model
        assert oracle.use_cache is True
        assert answer_map(oracle) == {}
        assert DepthOracle(str(model_file), use_cache=0).use_cache is False
        assert DepthOracle(model_file=model_file, use_cache=[1]).use_cache is True

    def test_the_truth_test_runs_before_the_file_is_opened(self, tmp_path):
        class NoTruth:
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        with pytest.raises(ZeroDivisionError):
            DepthOracle(tmp_path / "absent.npz", NoTruth())
        with pytest.raises(FileNotFoundError):
            DepthOracle(tmp_path / "absent.npz")

    def test_always_the_base_loader(self, model_file):
        class MyOracle(DepthOracle):
            pass

        assert type(MyOracle(model_file).model) is TunedModel

    def test_reconstruction_loads_afresh_and_empties_the_map(self, model_file):
        oracle = DepthOracle(model_file)
        first_model = oracle.model
        oracle.predict(1000, 10)
        oracle.__init__(model_file)
        assert oracle.model is not first_model and answer_map(oracle) == {}

    def test_a_bare_advisor(self):
        oracle = DepthOracle.__new__(DepthOracle)
        assert (oracle.model, oracle.use_cache) == (None, False)
        for call in (lambda: oracle.predict(1000, 10), lambda: oracle.predict_all(1000, 10),
                     lambda: oracle.speed_preferences):
            with pytest.raises(RuntimeError, match="has no model"):
                call()

    @pytest.mark.parametrize("name", ["model", "use_cache", "speed_preferences"])
    def test_properties_are_read_only(self, model_file, name):
        with pytest.raises(AttributeError):
            setattr(DepthOracle(model_file), name, None)


class TestCache:
    def test_cutoffs_beyond_the_corpus_share_one_answer(self, counting):
        oracle = oracle_around(counting)
        first = oracle.predict(1000, 5000)
        assert oracle.predict(1000, 2000) is first
        assert counting.asked == [(1000, 5000, "balanced")]  # the cutoff as the caller passed it
        assert list(answer_map(oracle)) == [(1000, 1000, "balanced")]

    def test_the_key_is_built_from_int_of_each_number(self, counting):
        oracle = oracle_around(counting)
        got = oracle.predict(100.9, 10)
        assert counting.asked == [(100, 10, "balanced")] and type(counting.asked[0][0]) is int
        assert answer_map(oracle) == {(100, 10, "balanced"): got}
        assert oracle.predict("100", 10.5) is got

    def test_errors_are_never_remembered(self, counting):
        oracle = oracle_around(counting)
        for _ in range(2):
            with pytest.raises(ValueError, match="^0 passages returning 0 results"):
                oracle.predict(0, 10)
        assert len(counting.asked) == 2 and answer_map(oracle) == {}

    def test_int_conversion_comes_before_the_model_when_caching(self, counting):
        with pytest.raises(ValueError, match="invalid literal for int"):
            oracle_around(counting).predict("many", 10, "nonsense")
        with pytest.raises(ValueError, match="unknown speed preference 'nonsense'"):
            oracle_around(counting, use_cache=False).predict("many", 10, "nonsense")

    def test_without_cache_every_call_reaches_the_model(self, counting):
        oracle = oracle_around(counting, use_cache=False)
        oracle.predict(1000, 10)
        oracle.predict(1000, 10)
        oracle.predict(1000.7, 10)
        assert counting.asked == [(1000, 10, "balanced")] * 2 + [(1000.7, 10, "balanced")]
        assert answer_map(oracle) == {}

    def test_stored_answers_outlive_changes_to_the_preferences(self, counting):
        oracle = oracle_around(counting)
        stored = oracle.predict(1000, 10, "fast")
        counting.speed_preferences.remove("fast")
        assert oracle.predict(1000, 10, "fast") is stored
        with pytest.raises(ValueError, match="unknown speed preference 'fast'"):
            oracle.predict(1000, 11, "fast")

    def test_answers_are_the_models(self, model_file):
        oracle = DepthOracle(model_file)
        for query in [(1000, 10, "balanced"), (100, 80, "exhaustive"), (40, 20, "fast")]:
            assert oracle.predict(*query) == oracle.model.predict_one(*query)
            text_k, vector_k, top_k, recall, _ = ref.predict(oracle.model, *query)
            assert oracle.predict(*query) == (text_k, vector_k, top_k, recall)

    def test_restored_with_caching_but_no_map(self, counting):
        oracle = DepthOracle.__new__(DepthOracle)
        oracle.__setstate__((None, counting, True))
        with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'get'$"):
            oracle.predict(1000, 10)

    def test_speed_preference_type(self, counting):
        oracle = oracle_around(counting)
        with pytest.raises(TypeError, match="expected str, got bytes"):
            oracle.predict(1000, 10, b"fast")
        with pytest.raises(ValueError, match="unknown speed preference None"):
            oracle.predict(1000, 10, None)


class TestPredictAll:
    def test_one_answer_per_listed_preference_in_order(self, counting):
        counting.speed_preferences = ["exhaustive", "fast", "exhaustive"]
        oracle = oracle_around(counting)
        got = oracle.predict_all(1000, 10)
        assert list(got) == ["exhaustive", "fast"]
        stored = answer_map(oracle)
        assert got["fast"] is stored[(1000, 10, "fast")]
        assert got["exhaustive"] is stored[(1000, 10, "exhaustive")]

    def test_goes_through_an_overriding_predict(self, counting):
        class Loud(DepthOracle):
            def predict(self, corpus_size, cutoff, speed_preference="balanced"):
                return ("loud", speed_preference)

        oracle = Loud.__new__(Loud)
        oracle.__setstate__(({}, counting, True))
        assert oracle.predict_all(1000, 10) == {p: ("loud", p) for p in ("fast", "balanced", "exhaustive")}
        counting.speed_preferences = ["fast", None]  # None is handed on like a name
        assert oracle.predict_all(1000, 10) == {"fast": ("loud", "fast"), None: ("loud", None)}

    @pytest.mark.parametrize(
        "names, error, message",
        [
            (None, TypeError, "^'NoneType' object is not iterable$"),
            (["fast", 5, "balanced"], TypeError, "^Expected str, got int$"),
        ],
    )
    def test_refusals_keep_earlier_answers(self, counting, names, error, message):
        counting.speed_preferences = names
        oracle = oracle_around(counting)
        with pytest.raises(error, match=message):
            oracle.predict_all(1000, 10)
        assert list(answer_map(oracle)) == ([(1000, 10, "fast")] if names else [])

    def test_speed_preferences_is_a_new_list_each_time(self, counting):
        oracle = oracle_around(counting)
        first = oracle.speed_preferences
        assert first == counting.speed_preferences and first is not counting.speed_preferences
        first.append("x")
        assert oracle.speed_preferences == ["fast", "balanced", "exhaustive"]
        counting.speed_preferences = None
        with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
            oracle.speed_preferences


class TestPickledFormAndCopies:
    def test_a_constructed_model_or_advisor_refuses_pickling(self, model_file):
        oracle = DepthOracle(model_file)
        for obj in (oracle, oracle.model):
            with pytest.raises(TypeError, match=f"^{PICKLE_REFUSAL}$"):
                pickle.dumps(obj)
            with pytest.raises(TypeError, match=f"^{PICKLE_REFUSAL}$"):
                copy.deepcopy(obj)

    def test_a_bare_model_fails_sooner(self):
        with pytest.raises(AttributeError, match="^Memoryview is not initialized$"):
            pickle.dumps(TunedModel.__new__(TunedModel))

    @pytest.mark.parametrize(
        "key, value",
        [
            ("recall_range", [0.5, -2.0]),  # every field assigned, then refused by the checks
            ("recall", np.zeros((2, 2, 9), np.uint16)),  # a new cube over the old depth axis
            ("price", None),  # construction stops at a missing key
        ],
    )
    def test_a_refused_model_does_not_come_back_through_a_copy(self, toy, key, value):
        model = TunedModel(toy)
        broken = toy_arrays()
        if value is None:
            del broken[key]
        else:
            broken[key] = value
        with pytest.raises((ValueError, KeyError)):
            model.__init__(broken)
        for duplicate in (copy.copy, pickle.dumps, TunedModel.__reduce__):
            with pytest.raises(AttributeError, match="^Memoryview is not initialized$"):
                duplicate(model)
        model.__init__(toy_arrays())
        assert copy.copy(model).predict_one(1000, 10) == model.predict_one(1000, 10)

    def test_an_advisor_without_model_pickles_as_its_state(self):
        back = pickle.loads(pickle.dumps(DepthOracle.__new__(DepthOracle)))
        assert type(back) is DepthOracle and (back.model, back.use_cache) == (None, False)
        assert answer_map(back) is None

    def test_model_state_is_its_fields_sorted_by_name(self, toy):
        model = TunedModel(toy)
        restore, (cls, state) = model.__reduce__()
        assert cls is TunedModel and len(state) == 18
        f = ref.fields(model)
        assert f["_recall_low"] == 0.0 and f["_log_value_high"] == 0.0 and f["_log_value_low"] == -10.0
        assert f["speed_preferences"] is model.speed_preferences
        assert f["_cutoff"].tolist() == [1, 100] and f["_prices"].shape == (3,)

    def test_a_shallow_model_copy_shares_arrays_and_list(self, toy):
        model = TunedModel(toy)
        twin = copy.copy(model)
        assert type(twin) is TunedModel and twin is not model
        assert twin.speed_preferences is model.speed_preferences
        assert np.shares_memory(ref.fields(twin)["_recall"], toy["recall"])
        assert twin.predict_one(1000, 10) == model.predict_one(1000, 10)

    def test_a_shallow_advisor_copy_shares_model_and_map(self, model_file):
        oracle = DepthOracle(model_file)
        twin = copy.copy(oracle)
        assert twin.model is oracle.model and answer_map(twin) is answer_map(oracle)
        stored = twin.predict(1000, 10)
        assert oracle.predict(1000, 10) is stored

    def test_a_model_whose_list_grew_still_copies(self, toy):
        model = TunedModel(toy)
        model.speed_preferences.append("turbo")  # no price, refused only when asked for
        twin = copy.copy(model)
        assert twin.predict_one(1000, 10, "fast") == model.predict_one(1000, 10, "fast")
        with pytest.raises(ValueError, match="'turbo' has no price"):
            twin.predict_one(1000, 10, "turbo")

    def test_copies_keep_a_subclass_and_its_attributes(self, toy):
        class Tagged(TunedModel):
            pass

        model = Tagged(toy)
        model.tag = "kept"
        twin = copy.copy(model)
        assert type(twin) is Tagged and twin.tag == "kept"

    def test_the_state_setter_checks_what_it_is_given(self, toy):
        model = TunedModel(toy)
        restore, (cls, state) = model.__reduce__()
        assert restore(cls, state).predict_one(1000, 10) == model.predict_one(1000, 10)

        bad_prices = list(state)
        bad_prices[ref.FIELDS.index("_prices")] = np.array([1e-3, -1.0, 1e-4])
        with pytest.raises(ValueError, match="price"):
            restore(cls, tuple(bad_prices))
        wrong_kind = list(state)
        wrong_kind[ref.FIELDS.index("_cutoff")] = np.array([1.0, 100.0])
        with pytest.raises(ValueError, match="dtype mismatch"):
            restore(cls, tuple(wrong_kind))
        with pytest.raises(ValueError):
            restore(cls, state[:5])
        with pytest.raises(TypeError):
            restore(DepthOracle, state)

        oracle = DepthOracle.__new__(DepthOracle)
        with pytest.raises(TypeError):
            oracle.__setstate__(({}, "not a model", True))
        with pytest.raises(TypeError, match="^Expected dict, got list$"):
            oracle.__setstate__(([], None, True))

    def test_state_views_are_read_only(self, toy):
        view = TunedModel(toy).__reduce__()[1][1][0]
        assert not np.asarray(view).flags.writeable
        with pytest.raises(TypeError):
            memoryview(view).cast("B")[0] = 1


class FakeResources:
    """importlib.resources over a folder standing in for the package; counts lookups."""

    as_file = staticmethod(importlib.resources.as_file)

    def __init__(self, root):
        self.root = root
        self.lookups = 0

    def files(self, package):
        assert package == "tarnix_engine.tuning"
        self.lookups += 1
        return self.root


def fresh_type():
    return f"probe_{uuid.uuid4().hex}"


class TestDefaultTuner:
    def test_the_shipped_relevance_advisor_is_shared(self):
        first = default_tuner("relevance")
        assert type(first) is DepthOracle and first.use_cache is True
        assert default_tuner(index_type="relevance") is first
        assert "balanced" in first.speed_preferences

    @pytest.mark.parametrize("index_type", [5, None, b"relevance", "", "my-type", "models/x", "1st", "a b"])
    def test_values_that_are_not_identifiers_give_none_without_a_lookup(self, index_type, tmp_path, monkeypatch):
        fake = FakeResources(tmp_path)
        monkeypatch.setattr(_depth_oracle, "resources", fake)
        assert default_tuner(index_type) is None
        assert fake.lookups == 0

    def test_a_type_without_a_model_file_stays_without(self, tmp_path, monkeypatch):
        fake = FakeResources(tmp_path)
        monkeypatch.setattr(_depth_oracle, "resources", fake)
        name = fresh_type()
        assert default_tuner(name) is None
        (tmp_path / "models").mkdir()
        save_npz(tmp_path / "models" / f"{name}.npz", toy_arrays())  # added too late
        assert default_tuner(name) is None
        assert fake.lookups == 1

    def test_a_failing_model_file_is_tried_again_until_it_loads(self, tmp_path, monkeypatch):
        fake = FakeResources(tmp_path)
        monkeypatch.setattr(_depth_oracle, "resources", fake)
        name = fresh_type()
        (tmp_path / "models").mkdir()
        broken = toy_arrays()
        del broken["price"]
        save_npz(tmp_path / "models" / f"{name}.npz", broken)
        for _ in range(2):
            with pytest.raises(KeyError):
                default_tuner(name)
        save_npz(tmp_path / "models" / f"{name}.npz", toy_arrays())
        oracle = default_tuner(name)
        assert type(oracle) is DepthOracle
        assert oracle.speed_preferences == ["fast", "balanced", "exhaustive"]
        assert default_tuner(name) is oracle
        assert fake.lookups == 3

    def test_a_str_subclass_is_a_string(self, tmp_path, monkeypatch):
        class Name(str):
            pass

        fake = FakeResources(tmp_path)
        monkeypatch.setattr(_depth_oracle, "resources", fake)
        assert default_tuner(Name(fresh_type())) is None
        assert fake.lookups == 1


def test_cycles_through_the_fields_are_collected(toy):
    class Model(TunedModel):  # subclasses, for their weak-reference slot
        pass

    class Oracle(DepthOracle):
        pass

    model = Model(toy)
    model.speed_preferences.append(model)
    oracle = Oracle.__new__(Oracle)
    oracle.__setstate__(({}, model, True))
    answered = answer_map(oracle)
    answered["me"] = oracle
    refs = [weakref.ref(model), weakref.ref(oracle)]
    del model, oracle, answered
    gc.collect()
    assert [r() for r in refs] == [None, None]
