"""The element-wise steps of the forward pass, fused into one pass each.

numpy would run each of these as a chain of whole-array operations, every
one a trip through memory; here each value is read once and written once.
The kernels release the GIL, so the batch threads run them side by side.

None of them calls libm's exp (numba leaves that a scalar call per value):
`_exp_nonpositive` is an exp the compiler can vectorise. Every loop is
element-wise or reduces across rows, except the layer norm's sums along a
row, which are allowed to reorder (float32 sums of 384 values in lanes).
"""

import numpy as np
from numba import njit

# Element-wise loops: no reordering of sums, so the two-part ln 2 below is
# not folded back into one constant.
_EXACT = {"nnan", "ninf", "nsz", "contract"}
_SUMS = _EXACT | {"reassoc"}

_F = np.float32
_LOG2E = _F(1.4426950408889634)
_LN2_HI = _F(0.693145751953125)  # 16 significant bits: n * _LN2_HI is exact for |n| < 2**8
_LN2_LO = _F(1.4286068203094173e-06)
# Below this exp is taken as 0: exp(-80) is 1.8e-35, nothing next to the
# values it is added to, and a true exp further down would be a subnormal
# number, which the products after it handle many times slower.
_EXP_FLOOR = _F(-80.0)
# Taylor coefficients 1/k!: on |r| <= ln(2)/2 the first neglected term is below 6e-9.
_C2, _C3, _C4, _C5, _C6, _C7 = (_F(1.0 / f) for f in (2.0, 6.0, 24.0, 120.0, 720.0, 5040.0))
_ONE = _F(1.0)
_ZERO = _F(0.0)
_HALF = _F(0.5)


@njit(inline="always", fastmath=_EXACT, error_model="numpy")
def _exp_nonpositive(y):
    """exp(y) for y <= 0 in float32: 2**n exp(r), y = n ln 2 + r, |r| <= ln(2)/2;
    0 below _EXP_FLOOR."""
    z = max(y, _EXP_FLOOR)
    n = np.float32(np.round(z * _LOG2E))
    r = (z - n * _LN2_HI) - n * _LN2_LO
    p = _ONE + r * (_ONE + r * (_C2 + r * (_C3 + r * (_C4 + r * (_C5 + r * (_C6 + r * _C7))))))
    scale = np.int32((np.int32(n) + np.int32(127)) << 23).view(np.float32)
    return p * scale if y >= _EXP_FLOOR else _ZERO


# GELU with the exact normal CDF, x * Phi(x), through Abramowitz & Stegun
# 7.1.26 for erf (absolute error below 1.5e-7, under float32's resolution of
# the states it feeds). With u = |x| / sqrt(2):
#   gelu(x) = max(x, 0) - |x| / 2 * poly(t) * exp(-u^2),  t = 1 / (1 + p u),
# the same formula for both signs. The halving is folded into the coefficients.
_P = _F(0.3275911 / np.sqrt(2.0))
_A0, _A1, _A2, _A3, _A4 = (_F(0.5 * c) for c in (0.254829592, -0.284496736, 1.421413741, -1.453152027, 1.061405429))


@njit(inline="always", fastmath=_EXACT, error_model="numpy")
def _gelu(v):
    a = abs(v)
    t = _ONE / (_ONE + _P * a)
    poly = t * (_A0 + t * (_A1 + t * (_A2 + t * (_A3 + t * _A4))))
    return max(v, _ZERO) - a * poly * _exp_nonpositive(-_HALF * a * a)


@njit(nogil=True, cache=True, fastmath=_EXACT, error_model="numpy")
def bias_gelu_(x, bias):
    """x = gelu(x + bias) in place, for x (rows, n) and bias (n,)."""
    rows, n = x.shape
    for i in range(rows):
        row = x[i]
        for j in range(n):
            row[j] = _gelu(row[j] + bias[j])


@njit(nogil=True, cache=True, fastmath=_EXACT, error_model="numpy")
def gelu_(x):
    """GELU of a contiguous float32 array, in place."""
    flat = x.reshape(-1)
    for j in range(flat.size):
        flat[j] = _gelu(flat[j])


@njit(nogil=True, cache=True, fastmath=_EXACT, error_model="numpy")
def masked_softmax_(scores, mask):
    """Softmax over keys in place, for scores (batch, heads, keys, queries)
    and a 0/1 key mask (batch, keys): a masked key gets weight 0. A query
    with no key left gets all zeros."""
    batch, heads, keys, queries = scores.shape
    top = np.empty(queries, np.float32)
    total = np.empty(queries, np.float32)
    for b in range(batch):
        for h in range(heads):
            s = scores[b, h]
            top[:] = -np.inf
            for k in range(keys):
                if mask[b, k]:
                    row = s[k]
                    for q in range(queries):
                        top[q] = max(top[q], row[q])
            total[:] = _ZERO
            for k in range(keys):
                row = s[k]
                if mask[b, k]:
                    for q in range(queries):
                        e = _exp_nonpositive(row[q] - top[q])
                        row[q] = e
                        total[q] += e
                else:
                    row[:] = _ZERO
            for q in range(queries):
                total[q] = _ONE / total[q] if total[q] > _ZERO else _ZERO
            for k in range(keys):
                if mask[b, k]:
                    row = s[k]
                    for q in range(queries):
                        row[q] *= total[q]


@njit(inline="always", fastmath=_SUMS, error_model="numpy")
def _norm_row(row, gain, beta, eps):
    n = row.size
    mean = _ZERO
    for j in range(n):
        mean += row[j]
    mean /= _F(n)
    var = _ZERO
    for j in range(n):
        d = row[j] - mean
        var += d * d
    scale = _ONE / np.sqrt(var / _F(n) + eps)
    for j in range(n):
        row[j] = (row[j] - mean) * scale * gain[j] + beta[j]


@njit(nogil=True, cache=True, fastmath=_SUMS, error_model="numpy")
def add_norm_(x, bias, residual, gain, beta, eps):
    """x = layer_norm(x + bias + residual) in place, row by row, for x and
    residual (rows, n)."""
    eps = np.float32(eps)
    for i in range(x.shape[0]):
        row, res = x[i], residual[i]
        for j in range(row.size):
            row[j] += bias[j] + res[j]
        _norm_row(row, gain, beta, eps)


@njit(nogil=True, cache=True, fastmath=_SUMS, error_model="numpy")
def embed_norm(ids, word, position, token_type, gain, beta, eps, out):
    """out[b * length + i] = layer_norm(word[ids[b, i]] + position[i] + token_type)."""
    eps = np.float32(eps)
    batch, length = ids.shape
    for b in range(batch):
        for i in range(length):
            row, w, p = out[b * length + i], word[ids[b, i]], position[i]
            for j in range(row.size):
                row[j] = w[j] + p[j] + token_type[j]
            _norm_row(row, gain, beta, eps)
