"""Small fixtures shared by the vector store and vector index tests."""

import json
import types
from pathlib import Path

import numpy as np
import pytest

from tarnix_engine.indexes import _tarnix_impl
from tarnix_engine.kernels.packing import encode_dataset


def _unique_vectors(n, dim=8, seed=0):
    # Gaussian rows are distinct with probability one, and far enough apart
    # that their 8-bit codes differ too, so an exact lookup has one answer.
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


@pytest.fixture
def vectors():
    """Factory: ``vectors(n, dim=8, seed=0)`` gives C-ordered float32 rows."""
    return _unique_vectors


@pytest.fixture
def fitted(vectors):
    """A trained index of 40 rows x 8 dims with the ids "d0" ... "d39"."""
    data = vectors(40, 8, seed=1)
    ids = [f"d{i}" for i in range(len(data))]
    index = _tarnix_impl._TarnixCore()
    index.add(list(ids), data)
    return types.SimpleNamespace(index=index, ids=ids, vectors=data)


@pytest.fixture
def read_meta(tmp_path):
    """Factory: save an index and return its parsed index_meta.json.

    ``n_candidates`` and ``d_scale`` have no accessor, so the saved folder is
    where the tests read them.
    """
    counter = iter(range(10**6))

    def read(index):
        folder = tmp_path / f"meta-{next(counter)}"
        index.save(str(folder))
        return json.loads((folder / "index_meta.json").read_text())

    return read


def _expected_d_scale(matrix):
    m = np.asarray(matrix)
    if m.shape[0] == 0:
        return None
    total = 2.0 * float(m.var(axis=0, dtype=np.float64).sum())
    return total if total > 0 else 1.0


@pytest.fixture
def expected_d_scale():
    """Factory: the score scale an index must derive from its code matrix
    (of at most 100,000 rows: the index scales a larger one by a sample)."""
    return _expected_d_scale


@pytest.fixture
def codes_of():
    """Factory: ``codes_of(rows, boundaries)``, the store's encoding of rows."""

    def encode(rows, boundaries):
        rows = np.ascontiguousarray(np.atleast_2d(rows), dtype=np.float32)
        return np.asarray(encode_dataset(rows, boundaries, False), dtype=np.uint8)

    return encode


_REAL_CORE = _tarnix_impl._CoreIndex


class _FlakyCore:
    """Stand-in binary-code index that forwards to a real one.

    ``fail`` names the methods that raise ``RuntimeError("injected")`` instead
    of forwarding; it is read at every call, so a test can arm it late.
    """

    fail = set()

    def __init__(self, inner=None):
        self._inner = _REAL_CORE() if inner is None else inner

    @classmethod
    def load(cls, path):
        return cls(_REAL_CORE.load(path))

    def __getattr__(self, name):
        if name in type(self).fail:
            def refuse(*args, **kwargs):
                raise RuntimeError("injected")

            return refuse
        return getattr(self._inner, name)


@pytest.fixture
def flaky_core(monkeypatch):
    """Make indexes built (or loaded) from now on own a ``_FlakyCore``.

    Returns the class; set ``cls.fail`` to the method names that must raise.
    """
    cls = type("FlakyCore", (_FlakyCore,), {"fail": set()})
    monkeypatch.setattr(_tarnix_impl, "_CoreIndex", cls)
    return cls


@pytest.fixture
def with_store(tmp_path, monkeypatch):
    """Factory: reload an index so that it owns a store of the given class.

    The index builds its store itself; loading goes through the module's
    ``_VectorStore.load``, which is the one way to hand it a subclass.
    """
    counter = iter(range(10**6))

    def reload(index, store_cls):
        folder = tmp_path / f"with-store-{next(counter)}"
        index.save(str(folder))
        with monkeypatch.context() as m:
            m.setattr(_tarnix_impl, "_VectorStore", store_cls)
            return type(index).load(str(folder))

    return reload


@pytest.fixture
def folder_listing():
    """Factory: the names directly inside a folder, sorted."""

    def listing(folder):
        return sorted(p.name for p in Path(folder).iterdir())

    return listing
