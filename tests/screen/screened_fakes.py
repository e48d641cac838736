"""Small recording stand-ins for a ScreenedSearch's two halves.

`FakeStore` keeps ids, positions, metadata and grants as the real store does
(positions with gaps until `compact`), and `FakeVectorIndex` /
`FakeStreamingIndex` number documents as the real indexes do. Every call is
recorded in `calls`, and any method can be made to fail once through
`fail_next`.
"""

import json
import os

import numpy as np


class Failing(Exception):
    """The error a fake raises when told to fail."""


class _Recorder:
    def __init__(self):
        self.calls = []
        self.fail_next = {}

    def _record(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))
        exc = self.fail_next.pop(name, None)
        if exc is not None:
            raise exc


class FakeStore(_Recorder):
    def __init__(self):
        super().__init__()
        self.rows = {}  # id -> [position, metadata, set of roles]

    # reads
    @property
    def size(self):
        return len(self.rows)

    @property
    def ids(self):
        return [i for i, _ in sorted(self.rows.items(), key=lambda kv: kv[1][0])]

    def positions(self, filter=None, roles=None):
        self._record("positions", filter, roles)
        keep = []
        for _, (pos, meta, granted) in self.rows.items():
            if roles is not None and not granted & set(roles):
                continue
            if callable(filter) and not filter(meta):
                continue
            keep.append(pos)
        out = np.array(sorted(keep), dtype=np.int64)
        out.flags.writeable = False
        return out

    # writes
    def add(self, ids, metadata=None):
        self._record("add", list(ids), metadata)
        if len(set(ids)) != len(ids) or any(i in self.rows for i in ids):
            raise ValueError("duplicate id")
        nxt = max((r[0] for r in self.rows.values()), default=-1) + 1
        for k, i in enumerate(ids):
            self.rows[i] = [nxt + k, dict(metadata[k]) if metadata else {}, set()]

    def update(self, ids, metadata):
        self._record("update", list(ids), metadata)
        for i, m in zip(ids, metadata):
            self.rows[i][1] = dict(m)

    def delete(self, ids):
        self._record("delete", list(ids))
        for i in ids:
            self.rows.pop(i, None)

    def compact(self):
        self._record("compact")
        for k, i in enumerate(self.ids):
            self.rows[i][0] = k

    def grant(self, ids, roles):
        self._record("grant", list(ids), list(roles))
        for i in ids:
            self.rows[i][2].update(roles)

    def revoke(self, ids, roles):
        self._record("revoke", list(ids), list(roles))
        for i in ids:
            self.rows[i][2].difference_update(roles)

    def save(self, path):
        self._record("save", path)
        os.makedirs(path, exist_ok=True)
        rows = {i: [p, m, sorted(g)] for i, (p, m, g) in self.rows.items()}
        with open(os.path.join(path, "rows.json"), "w") as f:
            json.dump(rows, f)

    @classmethod
    def load(cls, path):
        store = cls()
        with open(os.path.join(path, "rows.json")) as f:
            for i, (p, m, g) in json.load(f).items():
                store.rows[i] = [p, m, set(g)]
        return store


class FakeVectorIndex(_Recorder):
    """Numbers documents like the vector index: appended, renumbered on delete."""

    index_type = "fake_vector"

    def __init__(self):
        super().__init__()
        self.ids = []
        self.keep_on_failure = 0  # documents a failing add leaves behind

    @property
    def size(self):
        return len(self.ids)

    @property
    def is_trained(self):
        return bool(self.ids)

    def add(self, ids, vectors=None, parallel=False):
        if self.keep_on_failure and "add" in self.fail_next:
            self.ids.extend(ids[: self.keep_on_failure])
        self._record("add", list(ids), vectors, parallel=parallel)
        self.ids.extend(ids)

    def update(self, ids, vectors=None):
        self._record("update", list(ids), vectors)
        missing = [i for i in ids if i not in self.ids]
        if missing:
            raise KeyError(missing[0])

    def delete(self, ids):
        self._record("delete", list(ids))
        missing = {i for i in ids if i not in self.ids}
        if missing:
            raise KeyError(f"IDs not in index: {missing}")
        self.ids = [i for i in self.ids if i not in set(ids)]

    def search(self, *args, **kwargs):
        self._record("search", *args, **kwargs)
        return ("search", args, kwargs)

    def search_raw(self, *args, **kwargs):
        self._record("search_raw", *args, **kwargs)
        return ("search_raw", args, kwargs)

    def save(self, path):
        self._record("save", path)
        os.makedirs(path, exist_ok=True)
        with open(os.path.join(path, "ids.json"), "w") as f:
            json.dump(self.ids, f)


class FakeStreamingIndex(_Recorder):
    """Takes batches without ids, like the streaming index; no ids, update or delete."""

    index_type = "fake_streaming"

    def __init__(self):
        super().__init__()
        self.count = 0

    @property
    def size(self):
        return self.count

    @property
    def is_trained(self):
        return self.count > 0

    def add_batch(self, corpus, vectors=None, parallel=False):
        self._record("add_batch", corpus, vectors, parallel=parallel)
        self.count += len(corpus)

    def search(self, *args, **kwargs):
        self._record("search", *args, **kwargs)
        return ("search", args, kwargs)

    def save(self, path):
        self._record("save", path)
        os.makedirs(path, exist_ok=True)
        with open(os.path.join(path, "count.json"), "w") as f:
            json.dump(self.count, f)


def run_isolated(script):
    """Runs `script` in a fresh interpreter (so a crash fails one test, not
    the run) and returns its standard output, stripped."""
    import subprocess
    import sys
    import textwrap

    here = os.path.dirname(os.path.abspath(__file__))
    run = subprocess.run(
        [sys.executable, "-c", f"import sys; sys.path.insert(0, {here!r})\n" + textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, f"exit status {run.returncode}: {run.stderr[-2000:]}"
    return run.stdout.strip()
