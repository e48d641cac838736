"""Python code that runs in the middle of a vector index or store operation.

Converting an argument, iterating positions, an overridden part or a module
global the index calls can all run Python code, and that code may retrain
the store or refit the index, dropping the arrays and parts the running
operation is using. Each case runs in a child interpreter with the debug
allocator, which poisons freed memory, so a use after free crashes reliably
instead of reading stale bytes.
"""

import os
import subprocess
import sys
import textwrap

import pytest

SETUP = """
import tempfile

import numpy as np

from tarnix_engine.indexes import _tarnix_impl
from tarnix_engine.indexes._tarnix_impl import _TarnixCore, _VectorStore

rng = np.random.default_rng(0)
x = rng.standard_normal((50, 4)).astype(np.float32)
other = rng.standard_normal((30, 4)).astype(np.float32)


class OnConversion:
    # An argument whose conversion first runs `change`.
    def __init__(self, change, value):
        self.change, self.value = change, value

    def __array__(self, dtype=None, copy=None):
        self.change()
        return self.value

    def __buffer__(self, flags):
        self.change()
        return memoryview(self.value)


def at_first_call(name, change):
    # The module global `name` runs `change` before its first call.
    real = getattr(_tarnix_impl, name)

    def first(*args, **kwargs):
        setattr(_tarnix_impl, name, real)
        change()
        return real(*args, **kwargs)

    setattr(_tarnix_impl, name, first)


def build_index():
    built = _TarnixCore()
    built.add([str(i) for i in range(50)], x)
    return built


store = _VectorStore()
store.fit(x)
retrain = lambda: store.fit(other)  # the store's old edges and matrix lose their last reference
index = build_index()
refit = lambda: index.fit(2 * x[::-1])  # the index's old store and binary index lose theirs; the ids stay
"""

CASES = {
    "store delete: the positions replace the matrix": (
        """
        def positions():
            yield 0
            store._append_rows(x, False)
            yield 1

        store._delete_rows(positions())
        print(store.matrix.shape)
        """,
        "(48, 4)",
    ),
    "store update: the vector retrains the store": (
        """
        store._update_row(0, OnConversion(retrain, x[0]))
        print(store.matrix.shape)
        """,
        "(30, 4)",
    ),
    "store append: the rows retrain the store": (
        """
        store._append_rows(OnConversion(retrain, x[:2]), False)
        print(store.matrix.shape)
        """,
        "(52, 4)",
    ),
    "store search: the queries retrain the store": (
        """
        ids, _ = store.search(OnConversion(retrain, x[:2]), 2, candidates=np.array([[0, 1, 2], [3, 4, 5]]))
        print(ids.shape)
        """,
        "(2, 2)",
    ),
    "index add: encoding the rows refits the index": (
        """
        at_first_call("encode_dataset", refit)
        index.add(["new"], x[0])
        print("done")
        """,
        "done",
    ),
    "index update: encoding the row refits the index": (
        """
        at_first_call("encode_dataset", refit)
        index.update(["3"], x[0])
        print("done")
        """,
        "done",
    ),
    "index delete: the binary half refits the index, then fails": (
        """
        real_core = _tarnix_impl._CoreIndex

        class Core:
            def __init__(self):
                self.inner = real_core()

            def __getattr__(self, name):
                return getattr(self.inner, name)

            def delete_rows(self, positions):
                refit()
                raise RuntimeError("injected")

        _tarnix_impl._CoreIndex = Core
        index = build_index()
        _tarnix_impl._CoreIndex = real_core
        try:
            index.delete(["3"])
        except RuntimeError as error:
            print(error)
        """,
        "injected",
    ),
    "index search: encoding the queries refits the index": (
        """
        at_first_call("encode_dataset", refit)
        print(len(index.search(x[:2], 3)))
        """,
        "2",
    ),
    "index save: writing the matrix refits the index": (
        """
        class Numpy:
            def __getattr__(self, name):
                return getattr(np, name)

            def save(self, path, array):
                if path.endswith("matrix.npy"):
                    refit()
                return np.save(path, array)

        _tarnix_impl.np = Numpy()
        index.save(tempfile.mkdtemp() + "/idx")
        print("done")
        """,
        "done",
    ),
}


@pytest.mark.parametrize("case", list(CASES))
def test_operation_survives_python_code_that_replaces_its_state(case):
    body, expected = CASES[case]
    script = SETUP + textwrap.dedent(body)
    env = {**os.environ, "PYTHONMALLOC": "debug", "PYTHONFAULTHANDLER": "1"}
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert run.stdout.strip() == expected
