"""A plain-Python depth prediction, written straight from the algorithm, that
the compiled predict_one is checked against.

It reads the model through its pickled-form state (the fields sorted by
name), so it sees exactly the arrays the compiled code reads, and it computes
in Python floats operation by operation in the same order, so the two agree
bit for bit.
"""

import math

import numpy as np

U16_SCALE = 65535.0
MISS_FLOOR = 1e-9
INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)

FIELDS = sorted([
    "_cutoff", "_depth", "_log_corpus", "_log_cutoff", "_log_depth", "_recall",
    "_recall_low", "_recall_high", "_recall_at_deep_end", "_recall_at_cutoff",
    "_recall_needs_corpus", "_log_value", "_log_value_low", "_log_value_high",
    "_log_deepest_depth", "_vector_k", "_prices", "speed_preferences",
])


def fields(model):
    """The model's fields by name: arrays as numpy arrays over its buffers."""
    restore, (cls, state) = model.__reduce__()
    out = {}
    for name, value in zip(FIELDS, state):
        if name == "speed_preferences" or isinstance(value, float):
            out[name] = value
        else:
            out[name] = np.asarray(value)
    return out


def bracket(v, x):
    lo, hi = 0, len(x)
    while lo < hi:
        mid = lo + (hi - lo) // 2
        if v > x[mid]:
            lo = mid + 1
        else:
            hi = mid
    i = 1 if lo < 1 else min(lo, len(x) - 1)
    d = x[i] - x[i - 1]
    if d == 0:
        return [(i - 1, 1.0)]
    t = (v - x[i - 1]) / d
    if t == 0:
        return [(i - 1, 1.0)]
    if t == 1:
        return [(i, 1.0)]
    return [(i - 1, 1 - t), (i, t)]


def interp(v, xs, ys):
    m = len(xs)
    if v < xs[0]:
        return ys[0]
    if v > xs[m - 1]:
        return ys[m - 1]
    lo, hi = 0, m
    while lo < hi:
        mid = lo + (hi - lo) // 2
        if v >= xs[mid]:
            lo = mid + 1
        else:
            hi = mid
    j = lo
    if j == m or xs[j - 1] == v:
        return ys[j - 1]
    slope = (ys[j] - ys[j - 1]) / (xs[j] - xs[j - 1])
    r = (v - xs[j - 1]) * slope + ys[j - 1]
    if math.isnan(r):
        r = (v - xs[j]) * slope + ys[j]
        if math.isnan(r) and ys[j - 1] == ys[j]:
            r = ys[j - 1]
    return r


def round_saturated(r):
    if math.isnan(r) or r >= 2.0**63:
        return INT64_MAX
    if r < -(2.0**63):
        return INT64_MIN
    return round(r)


def exp(x):
    """math.exp, but +inf past the double range as in C."""
    try:
        return math.exp(x)
    except OverflowError:
        return math.inf


def _depth_worth_paying_for(f, cb, qb, price):
    codes = f["_log_value"].tolist()
    D = len(f["_log_depth"])
    curve = [0.0] * D
    for c, wc in cb:
        for q, wq in qb:
            w = wc * wq
            row = codes[c][q]
            for l in range(D):
                curve[l] += row[l] * w
    low, high = f["_log_value_low"], f["_log_value_high"]
    scale = (high - low) / U16_SCALE
    curve = [value * scale + low for value in curve]
    e = 0
    for l in range(1, D):
        if curve[l] > curve[e]:
            e = l
    y = math.log(price)
    if y >= curve[e]:
        return float(f["_depth"][e])
    if curve[D - 1] >= y:
        return math.inf
    log_depth = f["_log_depth"].tolist()
    xs = [curve[D - 1 - i] for i in range(D - e)]
    ys = [log_depth[D - 1 - i] for i in range(D - e)]
    return exp(interp(y, xs, ys))


def _deep_end(f, cb):
    log_deepest = f["_log_deepest_depth"].tolist()
    s = 0.0
    for c, w in cb:
        s += log_deepest[c] * w
    return round_saturated(exp(s))


def _recall_at(f, cb, qb, n, text_k, clamp):
    needs = f["_recall_needs_corpus"].tolist()
    if n < max(needs[q] for q, _ in qb):
        return None
    c_log = math.log(float(max(text_k, 1)))
    low, high = f["_recall_low"], f["_recall_high"]
    scale = (high - low) / U16_SCALE
    log_depth = f["_log_depth"].tolist()
    s = 0.0
    for c, wc in cb:
        for q, wq in qb:
            if clamp == 1:
                r = float(f["_recall_at_deep_end"][c, q])
            elif clamp == 2:
                r = float(f["_recall_at_cutoff"][c, q])
            else:
                row = [code * scale + low for code in f["_recall"][c, q].tolist()]
                r = interp(c_log, log_depth, row)
            miss = 1 - r
            if miss < MISS_FLOOR:
                miss = MISS_FLOOR
            s += math.log(miss) * (wq * wc)
    recall = 1 - exp(s)
    return None if math.isnan(recall) else min(max(recall, 0.0), 1.0)


def _vector_k_at(f, k):
    c = f["_cutoff"].tolist()
    v = f["_vector_k"].tolist()
    lo, hi = 0, len(c)
    while lo < hi:
        mid = lo + (hi - lo) // 2
        if c[mid] < k:
            lo = mid + 1
        else:
            hi = mid
    i = 1 if lo < 1 else min(lo, len(c) - 1)
    dc = c[i] - c[i - 1]
    t = 0.0 if dc == 0 else float(k - c[i - 1]) / float(dc)
    return round_saturated(float(v[i] - v[i - 1]) * t + float(v[i - 1]))


def predict(model, corpus_size, cutoff, speed_preference="balanced"):
    """(text_k, vector_k, top_k, expected_recall, clamp code)."""
    return predict_from_fields(fields(model), corpus_size, cutoff, speed_preference)


def predict_from_fields(f, corpus_size, cutoff, speed_preference="balanced"):
    """predict() over fields already read with fields()."""
    names = f["speed_preferences"]
    if speed_preference not in names:
        raise ValueError(f"unknown speed preference {speed_preference!r}; pick one of {names}")
    price = float(f["_prices"][names.index(speed_preference)])
    n = int(corpus_size)
    k = min(int(corpus_size), int(cutoff))
    if n < 1 or k < 1:
        raise ValueError(f"{n:,} passages returning {k:,} results is not a question this can answer")
    cb = bracket(math.log(float(n)), f["_log_corpus"].tolist())
    qb = bracket(math.log(float(k)), f["_log_cutoff"].tolist())
    x = _depth_worth_paying_for(f, cb, qb, price)
    deep = _deep_end(f, cb)
    if x > float(deep) or math.isnan(x):
        clamp, text_k = 1, deep
    elif x < float(k):
        clamp, text_k = 2, k
    else:
        clamp, text_k = 0, round_saturated(x)
    recall = _recall_at(f, cb, qb, n, text_k, clamp)
    return text_k, _vector_k_at(f, k), k, recall, clamp
