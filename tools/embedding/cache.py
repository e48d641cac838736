"""Computed embeddings kept between runs, keyed by the text's hash.

An SQLite file outside the repository (`$TARNIX_EMBEDDING_CACHE`, else
`~/.cache/tarnix_engine/embeddings.sqlite3`). A key is the SHA-256 of the
model's fingerprint and the text, so other weights never answer for these.
"""

import hashlib
import os
import sqlite3
from pathlib import Path

import numpy as np


def default_path():
    env = os.environ.get("TARNIX_EMBEDDING_CACHE")
    if env:
        return Path(env)
    base = Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache")
    return base / "tarnix_engine" / "embeddings.sqlite3"


def key_of(fingerprint, text):
    return hashlib.sha256(f"{fingerprint}\0{text}".encode("utf-8", "surrogatepass")).digest()


class EmbeddingCache:
    def __init__(self, path=None, dim=384):
        self.path = Path(path) if path is not None else default_path()
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self.dim = dim
        self.db = sqlite3.connect(self.path)
        self.db.execute("CREATE TABLE IF NOT EXISTS vectors (key BLOB PRIMARY KEY, vector BLOB NOT NULL)")

    def get(self, keys):
        """{key: vector} for the keys present (a vector of the wrong size is ignored)."""
        found = {}
        keys = list(keys)
        for start in range(0, len(keys), 500):  # SQLite's limit on bound values
            part = keys[start : start + 500]
            rows = self.db.execute(
                f"SELECT key, vector FROM vectors WHERE key IN ({','.join('?' * len(part))})", part)
            for key, blob in rows:
                if len(blob) == 4 * self.dim:
                    found[bytes(key)] = np.frombuffer(blob, dtype="<f4")
        return found

    def put(self, keys, vectors):
        rows = ((k, np.asarray(v, dtype="<f4").tobytes()) for k, v in zip(keys, vectors))
        with self.db:
            self.db.executemany("INSERT OR REPLACE INTO vectors (key, vector) VALUES (?, ?)", rows)

    def close(self):
        self.db.close()
