"""ScreenedSearch writes, restricted searches and forwarding, over recording fakes."""

import copy

import numpy as np
import pytest

from tarnix_engine import _screened_search
from tarnix_engine._screened_search import ScreenedSearch

from screened_fakes import Failing, FakeStore, FakeStreamingIndex, FakeVectorIndex, run_isolated


@pytest.fixture
def wrapper():
    return ScreenedSearch(FakeVectorIndex(), FakeStore())


def store_calls(w, name=None):
    return [c for c in w.row_screen.calls if name is None or c[0] == name]


def vectors(n):
    return np.zeros((n, 3), dtype=np.float32)


# ---- construction, properties, forwarding ----------------------------------


def test_a_new_wrapper_holds_its_two_members_and_nothing_else():
    inner, store = FakeVectorIndex(), FakeStore()
    w = ScreenedSearch(inner, store)
    assert w.inner is inner and w.row_screen is store
    assert vars(w) == {"_inner": inner, "_filter": store}
    assert (w.index_type, w.size, w.ids, w.is_trained) == ("filtered", 0, [], False)


def test_without_a_store_a_new_row_screen_is_made(monkeypatch):
    monkeypatch.setattr(_screened_search, "RowScreen", FakeStore)
    assert type(ScreenedSearch(FakeVectorIndex()).row_screen) is FakeStore


class Bare:
    """An inner object with none of the optional members."""

    def add(self, ids, *args):
        pass


@pytest.mark.parametrize(
    "inner, held, expected",
    [
        (FakeStreamingIndex(), 2, False),  # no batch yet, even though the store holds ids
        (Bare(), 0, False),
        (Bare(), 1, True),
    ],
)
def test_is_trained(inner, held, expected):
    w = ScreenedSearch(inner, FakeStore())
    w.row_screen.add([str(i) for i in range(held)])
    assert w.is_trained is expected


def test_private_names_are_never_forwarded_and_public_ones_are(wrapper):
    with pytest.raises(AttributeError) as err:
        wrapper._missing
    assert err.value.args == ("_missing",)
    assert wrapper.keep_on_failure == 0  # the inner index's own attribute
    with pytest.raises(AttributeError, match="no_such_member"):
        wrapper.no_such_member
    # A half-built instance does not recurse looking for its members.
    blank = ScreenedSearch.__new__(ScreenedSearch)
    with pytest.raises(AttributeError):
        blank.inner


def test_repr_names_the_inner_index_and_the_store_size(wrapper):
    wrapper.add(["a", "b", "c"], vectors(3))
    assert repr(wrapper) == f"ScreenedSearch({wrapper.inner!r}, size=3)"


# ---- add ----------------------------------------------------------------


def test_one_grant_per_distinct_role_in_first_seen_order(wrapper):
    wrapper.add(["a", "b", "c", "d"], vectors(4), roles=[["r1", "r2"], [], None, ["r1"]])
    assert [c[1] for c in store_calls(wrapper, "grant")] == [(["a", "d"], ["r1"]), (["a"], ["r2"])]


@pytest.mark.parametrize("roles", [None, [[], None, []]])
def test_no_grant_without_roles(wrapper, roles):
    wrapper.add(["a", "b", "c"], vectors(3), roles=roles)
    assert store_calls(wrapper, "grant") == []


def test_add_passes_ids_and_extra_arguments_and_keeps_no_alias_of_the_callers_list(wrapper):
    ids = ["a", "b"]
    vec = vectors(2)
    wrapper.add(ids, vec, parallel=True, metadata=[{"k": 1}, {"k": 2}])
    name, args, kwargs = wrapper.inner.calls[-1]
    assert (name, args[0], args[1] is vec, kwargs) == ("add", ["a", "b"], True, {"parallel": True})
    assert store_calls(wrapper, "add")[0][1] == (["a", "b"], [{"k": 1}, {"k": 2}])
    ids.append("c")
    assert wrapper.ids == ["a", "b"]


def test_over_a_streaming_index_the_batch_goes_to_add_batch_without_ids():
    w = ScreenedSearch(FakeStreamingIndex(), FakeStore())
    w.add(["a", "b"], ["text a", "text b"], vectors(2))
    assert w.inner.calls[-1][:2] == ("add_batch", (["text a", "text b"], w.inner.calls[-1][1][1]))
    assert (w.size, w.inner.size) == (2, 2)


def test_an_inner_index_with_both_add_methods_gets_add():
    class Both(FakeVectorIndex):
        def add_batch(self, *args):
            raise AssertionError("add_batch called")

    w = ScreenedSearch(Both(), FakeStore())
    w.add(["a"], vectors(1))
    assert w.inner.ids == ["a"]


def test_an_inner_index_without_add_is_refused_and_the_store_undone():
    w = ScreenedSearch(object(), FakeStore())
    with pytest.raises(TypeError, match=r"^object has no add\(\) or add_batch\(\)\.$"):
        w.add(["a"])
    assert (w.ids, [c[0] for c in store_calls(w)]) == ([], ["add", "delete", "compact"])


def test_an_id_the_store_holds_fails_there_and_the_inner_index_is_not_called(wrapper):
    wrapper.add(["a"], vectors(1))
    with pytest.raises(ValueError, match="duplicate"):
        wrapper.add(["a"], vectors(1))
    assert [c[0] for c in wrapper.inner.calls] == ["add"]


@pytest.mark.parametrize("error", [Failing("inner refused"), KeyboardInterrupt()])
def test_an_inner_failure_is_raised_unchanged_after_the_store_is_undone(wrapper, error):
    wrapper.add(["a"], vectors(1))
    wrapper.inner.fail_next["add"] = error
    with pytest.raises(type(error)) as raised:
        wrapper.add(["b", "c"], vectors(2))
    assert raised.value is error
    assert wrapper.ids == ["a"] == wrapper.inner.ids
    assert wrapper.search("q", roles=["r"])[0] == "search"  # still aligned


def test_a_failing_undo_raises_its_own_error_with_the_first_as_context_and_marks_the_pair(wrapper):
    wrapper.inner.fail_next["add"] = Failing("inner")
    wrapper.row_screen.fail_next["delete"] = Failing("undo")
    with pytest.raises(Failing, match="undo") as raised:
        wrapper.add(["a"], vectors(1))
    assert str(raised.value.__context__) == "inner"
    with pytest.raises(RuntimeError, match="rebuild it from the source documents"):
        wrapper.search("q", roles=["r"])


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"metadata": [{}]}, "metadata length 1 != ids length 2"),
        ({"roles": [None, None, None]}, "roles length 3 != ids length 2"),
    ],
)
def test_length_mismatches_write_nothing(wrapper, kwargs, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        wrapper.add(["a", "b"], vectors(2), **kwargs)
    assert store_calls(wrapper) == [] and wrapper.inner.calls == []


@pytest.mark.parametrize(
    "roles, message",
    [
        (["admin", None], r"roles\[0\] must be None or a list of role names, not a single str"),
        ([None, b"admin"], r"roles\[1\] must be None or a list of role names, not a single bytes"),
        ([["ok"], ["fine", 3]], r"roles\[1\] holds a role name that is not a str: int"),
        ([5, None], "not iterable"),
    ],
)
def test_role_entries_are_checked_before_anything_is_written(wrapper, roles, message):
    with pytest.raises(TypeError, match=message):
        wrapper.add(["a", "b"], vectors(2), roles=roles)
    assert store_calls(wrapper) == [] and wrapper.inner.calls == []


def test_a_one_shot_role_iterator_is_read_once_and_granted(wrapper):
    wrapper.add(["a"], vectors(1), roles=[iter(["r1", "r2"])])
    assert [c[1] for c in store_calls(wrapper, "grant")] == [(["a"], ["r1"]), (["a"], ["r2"])]


def test_role_entries_that_change_the_roles_list_while_read_are_read_from_a_copy():
    out = run_isolated(
        """
        import numpy as np
        from screened_fakes import FakeStore, FakeVectorIndex
        from tarnix_engine._screened_search import ScreenedSearch

        class Shrinking:
            def __iter__(self):
                roles.clear()
                return iter(["r1"])

        roles = [Shrinking(), ["r2"]]
        w = ScreenedSearch(FakeVectorIndex(), FakeStore())
        w.add(["a", "b"], np.zeros((2, 3)), roles=roles)
        print([c[1] for c in w.row_screen.calls if c[0] == "grant"])
        """
    )
    assert out == "[(['a'], ['r1']), (['b'], ['r2'])]"


class Meddling(FakeVectorIndex):
    """Changes the ids list it is handed, as an inner index may."""

    on_add = on_delete = None
    fail_add = False

    def add(self, ids, *args, **kwargs):
        batch = list(ids)
        if self.on_add:
            self.on_add(ids)
        if self.fail_add:
            raise Failing("refused")
        self.ids.extend(batch)

    def delete(self, ids):
        super().delete(ids)
        if self.on_delete:
            self.on_delete(ids)


@pytest.mark.parametrize(
    "meddling, step",
    [
        # The grants still go to the documents they were given for.
        ({"on_add": list.reverse}, lambda w: w.add(["a", "b"], vectors(2), roles=[["ra"], ["rb"]])),
        # The undo still takes the new ids out of the store.
        ({"on_add": list.clear, "fail_add": True}, lambda w: w.add(["a", "b"], vectors(2))),
        # The store still deletes the ids the inner index deleted.
        ({"on_delete": list.clear}, lambda w: w.delete(["x"])),
    ],
)
def test_an_inner_index_that_changes_the_ids_it_was_given_does_not_redirect_the_store(meddling, step):
    w = ScreenedSearch(Meddling(), FakeStore())
    w.add(["x", "y"], vectors(2), roles=[["rx"], ["ry"]])
    vars(w.inner).update(meddling)
    try:
        step(w)
    except Failing:
        pass
    assert w.ids == w.inner.ids
    for doc, role in [("a", "ra"), ("b", "rb"), ("y", "ry")]:
        if doc in w.ids:
            assert w.candidates(roles=[role]).tolist() == [w.ids.index(doc)]


@pytest.mark.parametrize(
    "inner, write_alone",
    [
        (FakeStreamingIndex(), lambda w: w.add_batch(["forwarded"])),  # reaches the inner index alone
        (FakeVectorIndex(), lambda w: w.inner.add(["x"])),
    ],
)
def test_an_add_over_halves_that_already_differ_in_size_is_refused_and_marks_the_pair(inner, write_alone):
    w = ScreenedSearch(inner, FakeStore())
    w.add(["a"], ["text a"] if isinstance(inner, FakeStreamingIndex) else vectors(1), roles=[["r"]])
    write_alone(w)
    with pytest.raises(RuntimeError, match="holds 2 documents but the filter 1"):
        w.add(["b"], ["text b"] if isinstance(inner, FakeStreamingIndex) else vectors(1), roles=[["r"]])
    assert w.ids == ["a"] and [c[0] for c in store_calls(w, "add")] == ["add"]
    with pytest.raises(RuntimeError, match="rebuild it from the source documents"):
        w.search("q", roles=["r"])


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((vectors(3),), {}),
        ((["one", "two", "three"],), {}),
        ((), {"vectors": vectors(1)}),
        ((["t1", "t2"], vectors(3)), {}),
    ],
)
def test_a_batch_whose_size_differs_from_the_ids_is_refused_before_writing(wrapper, args, kwargs):
    with pytest.raises(ValueError, match=r"^batch length \d != ids length 2$"):
        wrapper.add(["a", "b"], *args, **kwargs)
    assert store_calls(wrapper) == [] and wrapper.inner.calls == []


def test_a_single_vector_counts_as_one_document(wrapper):
    wrapper.add(["a"], np.zeros(3, dtype=np.float32))
    assert wrapper.ids == ["a"]


class Skipping(FakeVectorIndex):
    """Claims success but adds only the first document of each batch."""

    def add(self, ids, *args, **kwargs):
        self.ids.append(ids[0])


def test_an_inner_index_that_grows_wrongly_marks_the_pair_misaligned():
    w = ScreenedSearch(Skipping(), FakeStore())
    with pytest.raises(RuntimeError, match="grew by 1 documents for 2 ids"):
        w.add(["a", "b"], vectors(2))
    with pytest.raises(RuntimeError, match="misaligned|no longer hold"):
        w.search("q", filter=lambda meta: True)


def test_an_inner_index_that_keeps_part_of_a_failed_add_marks_the_pair(wrapper):
    wrapper.inner.keep_on_failure = 1
    wrapper.inner.fail_next["add"] = Failing("half done")
    with pytest.raises(Failing):
        wrapper.add(["a", "b"], vectors(2))
    assert wrapper.ids == []
    with pytest.raises(RuntimeError):
        wrapper.candidates(roles=["r"])


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda w: w.add(("a",)), "Argument 'ids' has incorrect type (expected list, got tuple)"),
        (lambda w: w.add(None), "Argument 'ids' has incorrect type (expected list, got NoneType)"),
        (lambda w: w.add(["a"], metadata=({},)), "Argument 'metadata' has incorrect type"),
        (lambda w: w.add(["a"], roles=(None,)), "Argument 'roles' has incorrect type"),
        (lambda w: w.add(), "missing required argument 'ids'"),
        (lambda w: w.update(("a",)), "Argument 'ids' has incorrect type"),
        (lambda w: w.update_metadata(["a"]), "missing required argument 'metadata'"),
        (lambda w: w.update_metadata(["a"], None), "Argument 'metadata' has incorrect type"),
        (lambda w: w.grant(["a"], ["r"], ["x"]), "takes 2 positional arguments but 3 were given"),
        (lambda w: w.revoke(["a"], ("r",)), "Argument 'roles' has incorrect type"),
        (lambda w: w.delete(("a",)), "Argument 'ids' has incorrect type"),
        (lambda w: w.delete(["a"], ["b"]), "takes 1 positional argument but 2 were given"),
        (lambda w: w.search("q", roles=("r",)), "Argument 'roles' has incorrect type"),
        (lambda w: w.candidates(roles="r"), "Argument 'roles' has incorrect type"),
    ],
)
def test_argument_errors_write_and_query_nothing(wrapper, call, message):
    with pytest.raises(TypeError, match=message.replace("(", r"\(").replace(")", r"\)")):
        call(wrapper)
    assert store_calls(wrapper) == [] and wrapper.inner.calls == []


# ---- update, metadata and grants ------------------------------------------------


def test_update_with_metadata_only_changes_only_the_store(wrapper):
    wrapper.add(["a"], vectors(1))
    wrapper.update(["a"], metadata=[{"k": 2}])
    assert [c[0] for c in wrapper.inner.calls] == ["add"]
    assert wrapper.row_screen.rows["a"][1] == {"k": 2}


def test_update_with_nothing_to_change_writes_nothing(wrapper):
    wrapper.update(["a"])
    assert wrapper.inner.calls == [] and store_calls(wrapper) == []


def test_update_passes_extra_arguments_to_the_inner_index(wrapper):
    wrapper.add(["a"], vectors(1))
    wrapper.update(["a"], "new", metadata=[{"k": 1}])
    assert wrapper.inner.calls[-1] == ("update", (["a"], "new"), {})


@pytest.mark.parametrize("method", ["update", "delete"])
def test_a_streaming_index_has_no_update_or_delete(method):
    w = ScreenedSearch(FakeStreamingIndex(), FakeStore())
    w.add(["a"], ["text"])
    with pytest.raises(NotImplementedError, match=rf"^FakeStreamingIndex does not support {method}\(\)\.$"):
        getattr(w, method)(["a"])
    w.update_metadata(["a"], [{"k": 1}])
    assert w.ids == ["a"] and w.row_screen.rows["a"][1] == {"k": 1}


def test_grant_and_revoke_reach_the_store_alone(wrapper):
    wrapper.add(["a", "b"], vectors(2))
    wrapper.grant(["a", "b"], ["r1", "r2"])
    wrapper.revoke(["b"], ["r1"])
    assert list(wrapper.candidates(roles=["r1"])) == [0]
    assert list(wrapper.candidates(roles=["r2"])) == [0, 1]
    assert [c[0] for c in wrapper.inner.calls] == ["add"]


# ---- delete -------------------------------------------------------------


def test_deleting_the_middle_document_renumbers_both_sides_alike(wrapper):
    wrapper.add(["a", "b", "c"], vectors(3), roles=[["r"], ["r"], ["r"]])
    wrapper.delete(["b"])
    assert wrapper.ids == ["a", "c"] == wrapper.inner.ids
    assert list(wrapper.candidates(roles=["r"])) == [0, 1]


def test_a_delete_the_inner_index_refuses_leaves_the_store_untouched(wrapper):
    wrapper.add(["a"], vectors(1))
    with pytest.raises(KeyError, match="IDs not in index"):
        wrapper.delete(["zzz"])
    assert store_calls(wrapper, "delete") == [] and wrapper.ids == ["a"]


@pytest.mark.parametrize("failing", ["delete", "compact"])
def test_a_store_failure_after_the_inner_delete_marks_the_pair(wrapper, failing):
    wrapper.add(["a", "b"], vectors(2), roles=[["r"], ["r"]])
    wrapper.row_screen.fail_next[failing] = Failing(failing)
    with pytest.raises(Failing):
        wrapper.delete(["a"])
    for restricted in (
        lambda: wrapper.search("q", roles=["r"]),
        lambda: wrapper.search_raw("q", filter=lambda m: True),
        lambda: wrapper.candidates(roles=["r"]),
        lambda: wrapper.save("unused"),
    ):
        with pytest.raises(RuntimeError, match="rebuild it from the source documents"):
            restricted()
    # Unrestricted calls still run, explicit candidates included.
    assert wrapper.search("q", candidates=[0])[2] == {"candidates": wrapper.inner.calls[-1][2]["candidates"]}
    assert wrapper.search("q")[0] == "search"


@pytest.mark.parametrize(
    "other",
    [copy.copy, lambda w: ScreenedSearch(w.inner, w.row_screen)],
    ids=["copy", "new wrapper over the same halves"],
)
def test_the_mark_holds_for_every_wrapper_over_the_same_halves(wrapper, other):
    wrapper.add(["a", "b"], vectors(2), roles=[["r"], ["r"]])
    wrapper.row_screen.fail_next["compact"] = Failing("compact")
    with pytest.raises(Failing):
        wrapper.delete(["a"])
    with pytest.raises(RuntimeError, match="rebuild it from the source documents"):
        other(wrapper).search("q", roles=["r"])


# ---- search and search_raw ------------------------------------------------


def test_an_unrestricted_search_passes_exactly_the_callers_arguments(wrapper):
    assert wrapper.search("q", 5, parallel=True) == ("search", ("q", 5), {"parallel": True})
    assert store_calls(wrapper, "positions") == []


@pytest.mark.parametrize("method", ["search", "search_raw"])
def test_roles_restrict_and_an_empty_list_allows_nothing(wrapper, method):
    wrapper.add(["a", "b"], vectors(2), roles=[["r"], None])
    _, _, kwargs = getattr(wrapper, method)("q", roles=["r"])
    assert kwargs["candidates"].tolist() == [0]
    _, _, kwargs = getattr(wrapper, method)("q", roles=[])
    assert kwargs["candidates"].dtype == np.int64 and kwargs["candidates"].size == 0


def test_a_filter_alone_restricts_by_metadata(wrapper):
    wrapper.add(["a", "b"], vectors(2), metadata=[{"k": 1}, {"k": 2}])
    filt = lambda meta: meta["k"] == 2  # noqa: E731
    assert wrapper.search("q", filter=filt)[2]["candidates"].tolist() == [1]
    assert store_calls(wrapper, "positions")[-1][1] == (filt, None)


def test_explicit_candidates_alone_reach_the_inner_index_as_given(wrapper):
    got = wrapper.search("q", candidates=[5, 1, 5])[2]["candidates"]
    assert got.dtype == np.int64 and got.tolist() == [5, 1, 5]
    same = np.array([3, 2], dtype=np.int64)
    assert wrapper.search("q", candidates=same)[2]["candidates"] is same


@pytest.mark.parametrize(
    "given",
    [np.array([2, 0], dtype=np.uint64), np.array([1.0, 2.0]), np.array([3], dtype=np.int32), [True, False]],
)
def test_explicit_candidates_are_converted_as_asarray_converts_them(wrapper, given):
    got = wrapper.search("q", candidates=given)[2]["candidates"]
    assert got.dtype == np.int64 and got.tolist() == np.asarray(given, dtype=np.int64).tolist()


def test_a_filter_and_explicit_candidates_give_their_sorted_intersection(wrapper):
    wrapper.add(["a", "b", "c"], vectors(3), roles=[["r"], None, ["r"]])
    assert wrapper.search("q", roles=["r"], candidates=[2, 1, 2, 9])[2]["candidates"].tolist() == [2]


@pytest.mark.parametrize("candidates", [[[0, 1]], 3])
def test_candidates_must_be_one_dimensional_checked_after_the_store(wrapper, candidates):
    with pytest.raises(ValueError, match=r"^candidates passed to ScreenedSearch must be a 1D array of positions\.$"):
        wrapper.search("q", roles=["r"], candidates=candidates)
    assert len(store_calls(wrapper, "positions")) == 1 and wrapper.inner.calls == []


def test_search_raw_over_a_streaming_index_queries_the_store_then_lacks_the_method():
    w = ScreenedSearch(FakeStreamingIndex(), FakeStore())
    with pytest.raises(AttributeError, match="search_raw"):
        w.search_raw("q", roles=["r"])
    assert len(store_calls(w, "positions")) == 1


def test_an_overridden_candidates_is_what_search_uses(wrapper):
    class Narrow(ScreenedSearch):
        def candidates(self, filter=None, roles=None):
            return np.array([7], dtype=np.int64)

    w = Narrow(wrapper.inner, wrapper.row_screen)
    assert w.search("q")[2]["candidates"].tolist() == [7]


def test_a_search_may_not_write_through_the_same_wrapper(wrapper):
    class Reentrant(FakeVectorIndex):
        def search(self, *args, **kwargs):
            outer.add(["x"], vectors(1))

    outer = ScreenedSearch(Reentrant(), FakeStore())
    with pytest.raises(RuntimeError, match="from within a search"):
        outer.search("q")
