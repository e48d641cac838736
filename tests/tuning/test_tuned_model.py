"""TunedModel: construction from arrays, loading an archive, the speed
preferences attribute, and the refusal of models that prediction cannot trust."""

import math

import numpy as np
import pytest

from model_helpers import save_npz, toy_arrays
from tarnix_engine.tuning._depth_oracle import TunedModel
from tools.tuning.depth_reference import fields


class TestConstruction:
    def test_two_nodes_per_axis_is_enough(self):
        a = toy_arrays()
        a["depth"] = np.array([10, 100])
        a["recall"] = a["recall"][:, :, 1:3].copy()
        a["log_value_per_candidate"] = a["log_value_per_candidate"][:, :, 1:3].copy()
        assert TunedModel(a).predict_one(1000, 10).top_k == 10

    @pytest.mark.parametrize("axis", ["corpus_size", "cutoff", "depth"])
    def test_a_single_node_is_refused_before_any_field_is_set(self, axis):
        a = toy_arrays()
        a[axis] = a[axis][:1]
        a["recall"] = "never read"  # the node count is tested first
        with pytest.raises(ValueError, match="^a tuned model needs at least two nodes on every axis$"):
            TunedModel(a)

    def test_fields_are_converted_and_logs_taken(self, toy):
        toy["cutoff"] = [1.0, 100.0]  # any element type that converts
        toy["recall_range"] = ["0", 1]  # float() of each element
        f = fields(TunedModel(toy))
        assert f["_cutoff"].dtype == np.int64 and f["_cutoff"].tolist() == [1, 100]
        assert f["_recall_low"] == 0.0 and f["_recall_high"] == 1.0
        assert f["_recall_at_cutoff"].dtype == np.float32
        # The axis logarithms are the very function applied to each query.
        assert f["_log_corpus"].tolist() == [math.log(100.0), math.log(10000.0)]
        assert f["_log_depth"].tolist() == [math.log(float(d)) for d in (1, 10, 100, 1000)]
        assert f["_log_deepest_depth"].tolist() == [math.log(50.0), math.log(5000.0)]

    def test_arrays_of_the_right_kind_are_shared_not_copied(self, toy):
        f = fields(TunedModel(toy))
        assert np.shares_memory(f["_recall"], toy["recall"])
        assert np.shares_memory(f["_vector_k"], toy["vector_k"])
        assert not f["_recall"].flags.writeable

    def test_keys_outside_the_table_are_ignored(self, toy):
        plain = TunedModel(toy_arrays())
        toy["provisional"] = np.array("a note")
        model = TunedModel(toy)
        for n, cutoff in [(100, 1), (1000, 10), (10**6, 100)]:
            assert model.predict_one(n, cutoff) == plain.predict_one(n, cutoff)

    def test_numpy_string_names_become_plain_str(self, toy):
        names = TunedModel(toy).speed_preferences
        assert names == ["fast", "balanced", "exhaustive"]
        assert all(type(n) is str for n in names)

    def test_missing_key_fails_after_the_fields_before_it(self, toy):
        del toy["price"]
        with pytest.raises(KeyError) as info:
            TunedModel(toy)
        assert info.value.args == ("price",)

    @pytest.mark.parametrize(
        "key, value, expected",
        [
            ("recall", np.zeros((2, 2), np.uint16), "Buffer has wrong number of dimensions (expected 3, got 2)"),
            ("recall_at_cutoff", np.zeros(4, np.float32), "Buffer has wrong number of dimensions (expected 2, got 1)"),
            ("cutoff", np.array([[1, 2], [3, 4]]), "Buffer has wrong number of dimensions (expected 1, got 2)"),
            ("recall_range", [0.0, 0.5, 1.0], "too many values to unpack (expected 2)"),
            ("log_value_range", [0.0], "need more than 1 value to unpack"),
            ("recall_range", [], "need more than 0 values to unpack"),
        ],
    )
    def test_malformed_values(self, toy, key, value, expected):
        toy[key] = value
        with pytest.raises(ValueError) as info:
            TunedModel(toy)
        assert str(info.value) == expected

    @pytest.mark.parametrize(
        "arrays, error, message",
        [
            ((), TypeError, "Argument 'arrays' has incorrect type (expected dict, got tuple)"),
            (None, TypeError, "'NoneType' object is not subscriptable"),
        ],
    )
    def test_arrays_must_be_a_dict(self, arrays, error, message):
        with pytest.raises(error) as info:
            TunedModel(arrays)
        assert str(info.value) == message

    def test_keyword_argument(self, toy):
        assert TunedModel(arrays=toy).speed_preferences == ["fast", "balanced", "exhaustive"]


def _breaks(**changes):
    def apply(a):
        for key, value in changes.items():
            a[key] = value(a) if callable(value) else value
        return a

    return apply


class TestUnsoundModelsAreRefused:
    """Prediction trusts shapes, axes and finite values; a model that breaks
    them is refused at construction rather than read out of bounds."""

    @pytest.mark.parametrize(
        "change, message",
        [
            (_breaks(recall=np.zeros((2, 2, 5), np.uint16)), "'recall' has shape (2, 2, 5) but the axes call for (2, 2, 4)"),
            (_breaks(log_value_per_candidate=np.zeros((3, 2, 4), np.uint16)), "'log_value_per_candidate' has shape"),
            (_breaks(recall_at_deep_end=np.zeros((2, 3), np.float32)), "'recall_at_deep_end' has shape"),
            (_breaks(recall_needs_corpus=np.array([1])), "'recall_needs_corpus' has shape"),
            (_breaks(vector_k=np.array([1, 2, 3])), "'vector_k' has shape"),
            (_breaks(deepest_depth=np.array([1.0])), "'deepest_depth' has shape"),
            (_breaks(price=np.array([0.1, 0.2])), "'price' has 2 entries for 3 speed preferences"),
            (_breaks(corpus_size=np.array([100, 100])), "'corpus_size' nodes must be strictly ascending"),
            (_breaks(cutoff=np.array([100, 1])), "'cutoff' nodes must be strictly ascending"),
            (_breaks(depth=np.array([0, 10, 100, 1000])), "'depth' nodes must be strictly ascending and at least 1"),
            (_breaks(corpus_size=np.array([-5, 100])), "'corpus_size' nodes must be strictly ascending and at least 1"),
            (_breaks(recall_range=[0.0, math.nan]), "'recall_range' must be finite"),
            (_breaks(log_value_range=[-math.inf, 0.0]), "'log_value_range' must be finite"),
            # the toy codes (0.2 to 0.9 of the scale) stand for 0.0 down to -1.75
            (_breaks(recall_range=[0.5, -2.0]), "'recall' codes dequantised with 'recall_range' must lie in [0, 1]"),
            (_breaks(recall_range=[0.0, 1.5]), "'recall' codes dequantised"),  # the largest code: 1.35
            (_breaks(recall_range=[-0.5, 1.0]), "'recall' codes dequantised"),  # the smallest code: -0.2
            (_breaks(recall_at_cutoff=np.full((2, 2), np.nan, np.float32)), "'recall_at_cutoff' must lie in [0, 1]"),
            (_breaks(recall_at_deep_end=np.full((2, 2), 1.5, np.float32)), "'recall_at_deep_end' must lie in [0, 1]"),
            (_breaks(deepest_depth=np.array([0.0, 10.0])), "'deepest_depth' must be finite and above 0"),
            (_breaks(deepest_depth=np.array([np.inf, 10.0])), "'deepest_depth' must be finite and above 0"),
            (_breaks(price=np.array([1e-3, 0.0, 1e-4])), "every 'price' must be finite and above 0"),
            (_breaks(price=np.array([1e-3, -1.0, 1e-4])), "every 'price' must be finite and above 0"),
            (_breaks(price=np.array([1e-3, np.nan, 1e-4])), "every 'price' must be finite and above 0"),
        ],
    )
    def test_refused_with_the_reason(self, toy, change, message):
        with pytest.raises(ValueError) as info:
            TunedModel(change(toy))
        assert str(info.value).startswith(message)

    @pytest.mark.parametrize(
        "recall_range, codes",
        [
            ([0.0, 1.0], [0, 65535]),  # both ends of the scale
            ([1.0, 0.0], [0, 65535]),  # a range may run downwards
            ([-1.0, 2.0], [21845, 43690]),  # a range wider than [0, 1] whose codes stay inside
        ],
    )
    def test_a_recall_cube_within_zero_and_one_is_accepted(self, toy, recall_range, codes):
        toy["recall_range"] = recall_range
        toy["recall"][...] = codes[0]
        toy["recall"][0, 0, 0] = codes[1]
        model = TunedModel(toy)
        for n in (1, 100, 1000, 10**6, 2**62):
            for cutoff in (1, 10, 100, 1000):
                for preference in model.speed_preferences:
                    recall = model.predict_one(n, cutoff, preference).expected_recall
                    assert recall is None or 0.0 <= recall <= 1.0, (n, cutoff, preference, recall)

    def test_a_failed_reconstruction_leaves_a_model_that_refuses_to_predict(self, toy):
        model = TunedModel(toy)
        broken = toy_arrays()
        broken["recall"] = np.zeros((2, 2, 9), np.uint16)  # new cube, old depth axis: half-built
        with pytest.raises(ValueError):
            model.__init__(broken)
        with pytest.raises(AttributeError, match="^Memoryview is not initialized$"):
            model.predict_one(1000, 10)
        del broken["price"]
        with pytest.raises(KeyError):
            model.__init__(broken)
        with pytest.raises(AttributeError, match="^Memoryview is not initialized$"):
            model.predict_one(1000, 10)
        model.__init__(toy_arrays())
        assert model.predict_one(1000, 10) == TunedModel(toy_arrays()).predict_one(1000, 10)

    def test_a_reconstruction_refused_before_any_field_keeps_the_model(self, toy):
        model = TunedModel(toy)
        before = model.predict_one(1000, 10)
        toy["cutoff"] = [5]
        with pytest.raises(ValueError):
            model.__init__(toy)
        assert model.predict_one(1000, 10) == before


class TestLoad:
    def test_load_reads_the_archive(self, tmp_path, toy):
        path = save_npz(tmp_path / "m.npz", toy)
        for argument in (str(path), path):
            model = TunedModel.load(argument)
            assert type(model) is TunedModel
            assert model.predict_one(1000, 10) == TunedModel(toy).predict_one(1000, 10)
        assert TunedModel.load(path=path).speed_preferences == ["fast", "balanced", "exhaustive"]

    def test_archive_errors_pass_through(self, tmp_path, toy):
        with pytest.raises(FileNotFoundError):
            TunedModel.load(tmp_path / "absent.npz")
        (tmp_path / "junk.npz").write_bytes(b"not an archive")
        with pytest.raises(Exception) as info:
            TunedModel.load(tmp_path / "junk.npz")
        assert not isinstance(info.value, (SystemError, AttributeError))
        toy["price"] = np.array([1e-3, 1e-4, 1e-5], dtype=object)
        with pytest.raises(ValueError, match="allow_pickle"):
            TunedModel.load(save_npz(tmp_path / "objects.npz", toy))

    def test_construction_errors_surface_and_the_archive_is_closed(self, tmp_path, toy, monkeypatch):
        from tarnix_engine.tuning import _depth_oracle

        del toy["price"]
        path = save_npz(tmp_path / "m.npz", toy)
        opened = []
        real_load = np.load

        def spying_load(*args, **kwargs):
            archive = real_load(*args, **kwargs)
            opened.append(archive)
            return archive

        monkeypatch.setattr(_depth_oracle.np, "load", spying_load)
        with pytest.raises(KeyError):
            TunedModel.load(path)
        assert opened and opened[0].fid is None  # closed on the way out


class TestSpeedPreferences:
    def test_the_list_is_the_models_own(self, toy):
        model = TunedModel(toy)
        names = model.speed_preferences
        assert names is model.speed_preferences
        names.remove("fast")
        with pytest.raises(ValueError, match="unknown speed preference 'fast'"):
            model.predict_one(1000, 10, "fast")

    def test_assignment_takes_a_list_or_none(self, toy):
        model = TunedModel(toy)
        model.speed_preferences = ["balanced"]
        assert model.speed_preferences == ["balanced"]
        with pytest.raises(TypeError, match="^Expected list, got tuple$"):
            model.speed_preferences = ("fast",)
        assert model.speed_preferences == ["balanced"]
        model.speed_preferences = None
        assert model.speed_preferences is None
        model.speed_preferences = ["x"]
        del model.speed_preferences
        assert model.speed_preferences is None

    def test_a_name_appended_without_a_price_is_refused_by_name(self, toy):
        model = TunedModel(toy)
        model.speed_preferences.append("turbo")
        with pytest.raises(ValueError) as info:
            model.predict_one(1000, 10, "turbo")
        assert "'turbo'" in str(info.value) and "price" in str(info.value)

    def test_a_bare_model_has_no_preferences(self):
        model = TunedModel.__new__(TunedModel)
        assert model.speed_preferences is None
