"""Small hand-made tuned models for the depth advisor tests."""

import math

import numpy as np

LOG_VALUE_RANGE = (-10.0, 0.0)


def log_value_codes(values):
    """uint16 codes for natural-log marginal values in LOG_VALUE_RANGE."""
    low, high = LOG_VALUE_RANGE
    return np.rint((np.asarray(values, dtype=float) - low) / (high - low) * 65535).astype(np.uint16)


def toy_arrays():
    """A small model whose answers can be worked out by hand.

    Every grid cell has the same log-value curve [-6, -4, -6, -8] over the
    depths [1, 10, 100, 1000] (peak at depth 10) and the same recall row
    [0.2, 0.5, 0.8, 0.9]; the deep end is 50 passages at a corpus of 100 and
    5000 at 10000. Prices: "fast" e^-3 (above the peak), "balanced" e^-5
    (the tail between depths 10 and 100, so depth sqrt(10 * 100)), "exhaustive"
    e^-9 (below the deepest node).
    """
    C, K, D = 2, 2, 4
    recall_row = np.rint(np.array([0.2, 0.5, 0.8, 0.9]) * 65535).astype(np.uint16)
    return {
        "corpus_size": np.array([100, 10_000]),
        "cutoff": np.array([1, 100]),
        "depth": np.array([1, 10, 100, 1000]),
        "recall": np.broadcast_to(recall_row, (C, K, D)).copy(),
        "recall_range": np.array([0.0, 1.0]),
        "recall_at_deep_end": np.full((C, K), 0.95, dtype=np.float32),
        "recall_at_cutoff": np.full((C, K), 0.4, dtype=np.float32),
        "recall_needs_corpus": np.array([1, 50]),
        "log_value_per_candidate": np.broadcast_to(log_value_codes([-6, -4, -6, -8]), (C, K, D)).copy(),
        "log_value_range": np.array(LOG_VALUE_RANGE),
        "deepest_depth": np.array([50.0, 5000.0]),
        "vector_k": np.array([10, 210]),
        "price": np.array([math.exp(-3), math.exp(-5), math.exp(-9)]),
        "speed_preference": np.array(["fast", "balanced", "exhaustive"]),
    }


def save_npz(path, arrays):
    np.savez(path, **arrays)
    return path
