"""Writes the provisional "relevance" depth-advisor model.

Until a model tuned on real corpora ships, the streaming index still needs a
"relevance" model for its speed preferences and its shards' depths.  This one
comes from a simple analytic recall model instead of measurements:

* recall rises with the text depth d toward a ceiling, as
  recall(d) = ceiling - (ceiling - base) / (1 + min(d, n) / scale), where the
  scale (how many text candidates a query needs) grows with the cutoff k and
  slowly with the corpus size n; the marginal recall of one more candidate is
  the derivative, which only falls with depth (and is nil past the corpus);
* the deep end is min(n, 50 * sqrt(n)): never beyond the corpus;
* the vector side searches 10 + 2 * k candidates.

The archive carries an extra key "provisional" saying so.  The output is the
same bytes on every run (fixed zip timestamps), so the committed file can be
checked against this script.

    python tools/tuning/provisional_model.py [--out PATH]
"""

import argparse
import math
import zipfile
from pathlib import Path

import numpy as np

DEFAULT_OUT = Path(__file__).resolve().parents[2] / "src/tarnix_engine/tuning/models/relevance.npz"

CORPUS_SIZES = [100, 300, 1_000, 3_000, 10_000, 30_000, 100_000, 300_000,
                1_000_000, 3_000_000, 10_000_000, 30_000_000, 100_000_000]
CUTOFFS = [1, 3, 10, 30, 100, 300, 1_000]
DEPTHS = [1, 2, 5, 10, 20, 50, 100, 200, 500, 1_000, 2_000, 5_000, 10_000,
          20_000, 50_000, 100_000, 200_000, 500_000]

# Least marginal recall per extra text candidate each preference pays for.
SPEED_PREFERENCES = {
    "fastest": 3e-3,
    "fast": 1e-3,
    "balanced": 2e-4,
    "accurate": 3e-5,
    "exhaustive": 1e-6,
}

# Marginal values below this are all "not worth anything"; keeping the log
# range short keeps the 16-bit codes fine-grained where prices fall.
LOG_VALUE_FLOOR = math.log(1e-12)
U16 = 65535.0

NOTE = "provisional: analytic recall model, not tuned on real corpora"


def _base(n, k):
    return 0.6


def _ceiling(n, k):
    return 0.985 - 0.015 * math.log10(n / 1_000) / 4


def _scale(n, k):
    return k * (n / 10_000) ** 0.25


def recall(n, k, d):
    top, low, s = _ceiling(n, k), _base(n, k), _scale(n, k)
    return top - (top - low) / (1.0 + min(d, n) / s)


def log_marginal_value(n, k, d):
    if d >= n:
        return LOG_VALUE_FLOOR
    top, low, s = _ceiling(n, k), _base(n, k), _scale(n, k)
    value = (top - low) / s / (1.0 + d / s) ** 2
    return max(math.log(value), LOG_VALUE_FLOOR)


def deepest_depth(n):
    return float(min(n, 50.0 * math.sqrt(n)))


def _quantise(values, low, high):
    codes = np.rint((values - low) / (high - low) * U16)
    return np.clip(codes, 0, U16).astype(np.uint16)


def build():
    C, K, D = len(CORPUS_SIZES), len(CUTOFFS), len(DEPTHS)
    rec = np.empty((C, K, D))
    val = np.empty((C, K, D))
    for c, n in enumerate(CORPUS_SIZES):
        for q, k in enumerate(CUTOFFS):
            for l, d in enumerate(DEPTHS):
                rec[c, q, l] = recall(n, k, d)
                val[c, q, l] = log_marginal_value(n, k, d)
    recall_range = np.array([0.0, 1.0])
    log_value_range = np.array([LOG_VALUE_FLOOR, float(val.max())])
    recall_codes = _quantise(rec, *recall_range)
    value_codes = _quantise(val, *log_value_range)

    # The corner tables are the quantised cube read at the clamped depths the
    # way a prediction reads it (log-depth interpolation of a dequantised row),
    # so a clamped and an unclamped prediction agree where they meet.
    log_depth = np.array([math.log(d) for d in DEPTHS])
    scale = (recall_range[1] - recall_range[0]) / U16
    deepest = np.array([deepest_depth(n) for n in CORPUS_SIZES])
    at_deep_end = np.empty((C, K), dtype=np.float32)
    at_cutoff = np.empty((C, K), dtype=np.float32)
    for c in range(C):
        for q, k in enumerate(CUTOFFS):
            row = recall_codes[c, q].astype(np.float64) * scale + recall_range[0]
            at_deep_end[c, q] = np.interp(math.log(round(deepest[c])), log_depth, row)
            at_cutoff[c, q] = np.interp(math.log(k), log_depth, row)

    return {
        "corpus_size": np.array(CORPUS_SIZES, dtype=np.int64),
        "cutoff": np.array(CUTOFFS, dtype=np.int64),
        "depth": np.array(DEPTHS, dtype=np.int64),
        "recall": recall_codes,
        "recall_range": recall_range,
        "recall_at_deep_end": at_deep_end,
        "recall_at_cutoff": at_cutoff,
        "recall_needs_corpus": np.array([10 * k for k in CUTOFFS], dtype=np.int64),
        "log_value_per_candidate": value_codes,
        "log_value_range": log_value_range,
        "deepest_depth": deepest,
        "vector_k": np.array([10 + 2 * k for k in CUTOFFS], dtype=np.int64),
        "price": np.array(list(SPEED_PREFERENCES.values()), dtype=np.float64),
        "speed_preference": np.array(list(SPEED_PREFERENCES)),
        "provisional": np.array(NOTE),
    }


def write_npz(path, arrays):
    """np.savez's layout (one stored .npy member per key), with fixed
    timestamps so that equal arrays give equal bytes."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_STORED) as archive:
        for key, value in arrays.items():
            info = zipfile.ZipInfo(key + ".npy", date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_STORED
            info.external_attr = 0o644 << 16
            with archive.open(info, "w", force_zip64=True) as member:
                np.lib.format.write_array(member, np.asanyarray(value), allow_pickle=False)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help="archive to write (default: %(default)s)")
    args = parser.parse_args(argv)
    write_npz(args.out, build())
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
