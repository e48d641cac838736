"""The sentence-embedding tool: its numpy BERT against a plain reference on a
tiny random model, masking, the cache, and (when the weights package is
installed) the real model's vectors."""

import math

import numpy as np
import pytest

from tools.embedding import EmbeddingCache, embed_texts
from tools.embedding import model as em

HIDDEN, HEADS, INNER, LAYERS, VOCAB = 8, 2, 12, 2, 24


@pytest.fixture(scope="module")
def tiny():
    """A 2-layer BERT with random weights under the real model's tensor names."""
    rng = np.random.default_rng(5)
    def r(*shape):
        return rng.normal(scale=0.5, size=shape).astype(np.float32)
    w = {
        "embeddings.word_embeddings.weight": r(VOCAB, HIDDEN),
        "embeddings.position_embeddings.weight": r(16, HIDDEN),
        "embeddings.token_type_embeddings.weight": r(2, HIDDEN),
        "embeddings.LayerNorm.weight": 1 + r(HIDDEN),
        "embeddings.LayerNorm.bias": r(HIDDEN),
        "embeddings.position_ids": np.arange(16, dtype=np.int64)[None],  # not a weight: ignored
    }
    for i in range(LAYERS):
        p = f"encoder.layer.{i}."
        for name in ("query", "key", "value"):
            w[p + f"attention.self.{name}.weight"] = r(HIDDEN, HIDDEN)
            w[p + f"attention.self.{name}.bias"] = r(HIDDEN)
        w[p + "attention.output.dense.weight"], w[p + "attention.output.dense.bias"] = r(HIDDEN, HIDDEN), r(HIDDEN)
        w[p + "attention.output.LayerNorm.weight"], w[p + "attention.output.LayerNorm.bias"] = 1 + r(HIDDEN), r(HIDDEN)
        w[p + "intermediate.dense.weight"], w[p + "intermediate.dense.bias"] = r(INNER, HIDDEN), r(INNER)
        w[p + "output.dense.weight"], w[p + "output.dense.bias"] = r(HIDDEN, INNER), r(HIDDEN)
        w[p + "output.LayerNorm.weight"], w[p + "output.LayerNorm.bias"] = 1 + r(HIDDEN), r(HIDDEN)
    config = {"hidden_size": HIDDEN, "num_attention_heads": HEADS, "num_hidden_layers": LAYERS,
              "layer_norm_eps": 1e-12}
    return w, em.Bert(w, config)


def reference_states(w, ids):
    """Every layer's token states for one unpadded sentence, token by token
    and head by head in float64, straight from the stored (out x in) weights."""
    def lin(name, v):
        return np.asarray(w[name + ".weight"], np.float64) @ v + w[name + ".bias"]

    def norm(name, v):
        mu = sum(v) / len(v)
        var = sum((a - mu) ** 2 for a in v) / len(v)
        return (v - mu) / math.sqrt(var + 1e-12) * w[name + ".weight"] + w[name + ".bias"]

    n, size = len(ids), HIDDEN // HEADS
    x = [norm("embeddings.LayerNorm", w["embeddings.word_embeddings.weight"][t] + w["embeddings.position_embeddings.weight"][i]
              + w["embeddings.token_type_embeddings.weight"][0]) for i, t in enumerate(ids)]
    states = [np.array(x)]
    for layer in range(LAYERS):
        p = f"encoder.layer.{layer}."
        q = [lin(p + "attention.self.query", v) for v in x]
        k = [lin(p + "attention.self.key", v) for v in x]
        val = [lin(p + "attention.self.value", v) for v in x]
        new = []
        for i in range(n):
            context = np.zeros(HIDDEN)
            for h in range(HEADS):
                s = slice(h * size, (h + 1) * size)
                scores = [float(q[i][s] @ k[j][s]) / math.sqrt(size) for j in range(n)]
                top = max(scores)
                weights = [math.exp(a - top) for a in scores]
                total = sum(weights)
                for j in range(n):
                    context[s] += weights[j] / total * val[j][s]
            a = norm(p + "attention.output.LayerNorm", x[i] + lin(p + "attention.output.dense", context))
            up = lin(p + "intermediate.dense", a)
            act = np.array([u * 0.5 * (1 + math.erf(u / math.sqrt(2))) for u in up])
            new.append(norm(p + "output.LayerNorm", a + lin(p + "output.dense", act)))
        x = new
        states.append(np.array(x))
    return states


def test_forward_matches_plain_reference_at_every_layer(tiny):
    w, bert = tiny
    ids = [1, 7, 3, 19, 2]
    states = bert.forward(np.array([ids]), np.ones((1, 5), np.int8), keep_layers=True)
    expected = reference_states(w, ids)
    assert len(states) == LAYERS + 1
    for got, want in zip(states, expected):
        assert got.shape == (1, 5, HIDDEN) and got.dtype == np.float32
        np.testing.assert_allclose(got[0], want, rtol=1e-4, atol=1e-4)


def test_padding_is_masked_out(tiny):
    """A padded batch gives each sentence the states and vector it has alone."""
    _, bert = tiny
    sentences = [[1, 4, 2], [1, 9, 9, 5, 6, 2], [1, 2]]
    length = max(map(len, sentences))
    ids = np.full((3, length), 0, np.int64)
    mask = np.zeros((3, length), np.int8)
    for i, s in enumerate(sentences):
        ids[i, : len(s)], mask[i, : len(s)] = s, 1
    batch = bert.forward(ids, mask)
    pooled = em.mean_pool(batch, mask)
    for i, s in enumerate(sentences):
        alone = bert.forward(np.array([s]), np.ones((1, len(s)), np.int8))
        np.testing.assert_allclose(batch[i, : len(s)], alone[0], rtol=1e-5, atol=1e-5)
        np.testing.assert_allclose(pooled[i], em.mean_pool(alone, np.ones((1, len(s))))[0], rtol=1e-5, atol=1e-6)


# ---- the fused kernels against float64 ---------------------------------------

def gelu64(x):
    return np.array([v * 0.5 * (1 + math.erf(v / math.sqrt(2))) for v in np.asarray(x, np.float64).ravel()])


def test_gelu_follows_the_normal_cdf_without_subnormal_results():
    # every exponent the exp inside sees, up to where the result underflows
    x = np.concatenate([np.linspace(-20, 20, 40001), -np.geomspace(1e-6, 1e3, 2001), np.geomspace(1e-6, 1e3, 2001)])
    x = x.astype(np.float32)
    want = gelu64(x)
    got = em.gelu(x)
    assert got.dtype == np.float32
    # erf's approximation is off by 1.5e-7 at most, which x scales; then float32 rounding
    assert np.all(np.abs(got - want) <= 1e-7 * (1 + np.abs(x)))
    assert np.all((got == 0) | (np.abs(got) >= np.finfo(np.float32).tiny))
    bias = np.linspace(-1, 1, 7, dtype=np.float32)
    rows = x[: 7 * 5000].reshape(5000, 7)
    shifted = rows + bias
    want = gelu64(shifted).reshape(shifted.shape)
    got = rows.copy()
    em.kernels.bias_gelu_(got, bias)
    assert np.all(np.abs(got - want) <= 1e-7 * (1 + np.abs(shifted)))


@pytest.mark.parametrize("spread", [1.0, 30.0, 120.0])  # weights down to exp(-120): zero below exp(-80)
def test_masked_softmax_matches_float64(spread):
    rng = np.random.default_rng(int(spread))
    batch, heads, keys = 4, 3, 9
    scores = (rng.uniform(-spread, 0, (batch, heads, keys, keys))).astype(np.float32)
    mask = np.ones((batch, keys), bool)
    mask[1, 5:] = False
    mask[2, ::2] = False
    mask[3] = False  # no key at all: all weights 0
    want = np.where(mask[:, None, :, None], scores.astype(np.float64), -np.inf)
    with np.errstate(invalid="ignore"):
        want = np.exp(want - want.max(axis=2, keepdims=True))
        want /= want.sum(axis=2, keepdims=True)
    want[3] = 0.0
    got = scores.copy()
    em.kernels.masked_softmax_(got, mask)
    tiny = np.finfo(np.float32).tiny
    # the float32 difference from the largest score carries a rounding that exp scales by its size
    np.testing.assert_allclose(got, want, rtol=1e-6 + min(spread, 80) * 6e-8, atol=np.exp(-80) * 2)
    assert np.all((got == 0) | (got >= tiny))
    np.testing.assert_allclose(got[:3].sum(axis=2), 1.0, rtol=1e-6)


def test_residual_layer_norm_matches_float64():
    rng = np.random.default_rng(2)
    rows, n = 6, 384
    x = rng.normal(3.0, 20.0, (rows, n)).astype(np.float32)  # an offset mean, as residual sums have
    residual, bias = rng.normal(size=(rows, n)).astype(np.float32), rng.normal(size=n).astype(np.float32)
    gain, beta = (1 + rng.normal(size=n)).astype(np.float32), rng.normal(size=n).astype(np.float32)
    s = x.astype(np.float64) + bias + residual
    want = (s - s.mean(1, keepdims=True)) / np.sqrt(s.var(1, keepdims=True) + 1e-12) * gain + beta
    got = x.copy()
    em.kernels.add_norm_(got, bias, residual, gain, beta, 1e-12)
    np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-5)


def test_forward_refuses_ids_it_cannot_look_up(tiny):
    _, bert = tiny
    ones = np.ones((1, 3), np.int8)
    for ids in ([[1, VOCAB, 2]], [[1, -1, 2]]):
        with pytest.raises(ValueError, match="token ids"):
            bert.forward(np.array(ids), ones)
    with pytest.raises(ValueError, match="longer than"):
        bert.forward(np.ones((1, 17), np.int64), np.ones((1, 17), np.int8))


@pytest.fixture(scope="module")
def tiny_model(tiny):
    tokenizers = pytest.importorskip("tokenizers")
    from tokenizers.models import WordLevel
    from tokenizers.pre_tokenizers import Whitespace
    from tokenizers.processors import TemplateProcessing

    words = ["[PAD]", "[CLS]", "[SEP]", "[UNK]"] + [f"w{i}" for i in range(VOCAB - 4)]
    vocab = {word: i for i, word in enumerate(words)}
    tok = tokenizers.Tokenizer(WordLevel(vocab, unk_token="[UNK]"))
    tok.pre_tokenizer = Whitespace()
    tok.post_processor = TemplateProcessing(single="[CLS] $A [SEP]", special_tokens=[("[CLS]", 1), ("[SEP]", 2)])
    return em.SentenceModel(tiny[1], tok, fingerprint="tiny", max_tokens=12)


def test_sorted_batches_keep_the_input_order(tiny_model):
    texts = [" ".join(f"w{(i * 7 + j) % 20}" for j in range(1 + i % 9)) for i in range(23)]
    together = tiny_model.embed(texts, batch_tokens=20, max_batch=4)
    alone = np.stack([tiny_model.embed([t])[0] for t in texts])
    np.testing.assert_allclose(together, alone, rtol=1e-5, atol=1e-6)
    assert len(tiny_model.tokenize(["w1 " * 50])[0]) == 12  # cut at max_tokens


def test_cache_reuses_vectors_and_keys_them_by_model(tiny_model, tmp_path):
    calls = []

    class Counting(em.SentenceModel):
        def embed(self, texts, **kw):
            calls.append(list(texts))
            return super().embed(texts, **kw)

    counting = Counting(tiny_model.bert, tiny_model.tokenizer, "tiny")
    cache = EmbeddingCache(tmp_path / "cache.sqlite3", dim=HIDDEN)
    texts = ["w1 w2", "w3", "w1 w2", "w4 w5 w6"]
    first = embed_texts(texts, cache=cache, sentence_model=counting)
    assert calls == [["w1 w2", "w3", "w4 w5 w6"]]  # a repeated text is embedded once
    second = embed_texts(texts + ["w7"], cache=cache, sentence_model=counting)
    assert calls[1:] == [["w7"]]
    np.testing.assert_array_equal(second[:4], first)
    other = Counting(tiny_model.bert, tiny_model.tokenizer, "other weights")
    embed_texts(["w3"], cache=cache, sentence_model=other)
    assert calls[2:] == [["w3"]]


def test_refuses_clearly_without_the_weights_package():
    with pytest.raises(em.WeightsNotInstalled, match="weights are not installed.*requirements/embedding-weights.txt"):
        em.weights_zip("no_such_weights_package")


# ---- the real weights -------------------------------------------------------

@pytest.fixture(scope="module")
def minilm():
    pytest.importorskip("tokenizers")
    pytest.importorskip("safetensors")
    try:
        return em.load()
    except em.WeightsNotInstalled as e:
        pytest.skip(str(e))


def test_real_vectors_are_unit_length_and_batch_independent(minilm):
    texts = ["gzip compresses files", "a library for reading and writing PNG images in C programs",
             "x", "the ssl certificate authority bundle used to check servers " * 3]
    together = embed_texts(texts, cache=False, sentence_model=minilm)
    assert together.shape == (4, 384) and together.dtype == np.float32
    np.testing.assert_allclose(np.linalg.norm(together, axis=1), 1.0, atol=1e-5)
    for text, vec in zip(texts, together):
        np.testing.assert_allclose(embed_texts([text], cache=False, sentence_model=minilm)[0], vec, atol=2e-5)


@pytest.mark.parametrize("anchor, paraphrase, unrelated", [
    ("compress files to save disk space", "a tool that makes files smaller", "a font for terminal emulators"),
    ("A man is eating food.", "A man is eating a piece of bread.", "The girl is carrying a baby."),
    ("python interpreter", "runs programs written in Python", "firmware for wireless network cards"),
    ("ssl certificate authority", "CA certificates for TLS connections", "an image viewer for the desktop"),
    ("how do I delete a directory", "remove a folder and its contents", "the weather is sunny today"),
])
def test_paraphrase_is_closer_than_an_unrelated_sentence(minilm, anchor, paraphrase, unrelated):
    a, p, u = embed_texts([anchor, paraphrase, unrelated], cache=False, sentence_model=minilm)
    assert a @ p > a @ u + 0.1
