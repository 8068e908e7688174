"""Slow, independent model of the exhaustive sink search, used to cross-check
the native kernel. Every float64 operation runs on Python floats in the order
the kernel performs it (one rounding per product, no fused multiply-add); the
recurrence runs in float32 through numpy scalars."""

import math
import struct

import numpy as np


def _order_key(x):
    # Signed image of the bit pattern whose integer order is IEEE totalOrder.
    b = struct.unpack("<q", struct.pack("<d", x))[0]
    return b ^ ((b >> 63) & 0x7FFFFFFFFFFFFFFF)


def score(X, gram, reference, d, target, parents):
    """X, gram: nested lists of floats; reference: list of floats."""
    n = len(reference)
    idx = [j for j in range(d) if parents >> j & 1] + [target]
    m, p = len(idx), len(idx) - 1
    # Lower triangle, filled from the row of the later system variable.
    L = [[gram[idx[a]][idx[b]] for b in range(a + 1)] for a in range(m)]
    for i in range(m):
        if i:
            L[i][0] = L[i][0] / L[0][0]
            for j in range(1, i):
                v = L[i][j]
                for k in range(j):
                    v = v - L[j][k] * L[i][k]
                L[i][j] = v / L[j][j]
        pivot = L[i][i]
        for k in range(i):
            pivot = pivot - L[i][k] * L[i][k]
        if pivot <= 0.0:
            return math.nan
        L[i][i] = math.sqrt(pivot)  # NaN pivots carry on as NaN
    rss = L[p][p] * L[p][p]
    beta = L[p][:p]
    for c in range(p - 1, -1, -1):
        v = beta[c]
        for i in range(c + 1, p):
            v = v - L[i][c] * beta[i]
        beta[c] = v / L[c][c]
    if n == 0:
        return math.nan
    s = math.sqrt(rss / n)
    res = []
    for row in X:
        r = row[target]
        for k, j in enumerate(idx[:p]):
            r = r - row[j] * beta[k]
        res.append(r / s)
    res.sort(key=_order_key)
    total = 0.0
    for a, b in zip(res, reference, strict=True):
        total = total + (a - b) * (a - b)
    return total / n


def sink_dp(X, gram, reference, d):
    """Returns (best_score float32, best_sink int32, margin), all of length
    2**d; margin[S] is the relative gap between the best and second-best
    finite candidate totals of S (inf when fewer than two are finite)."""
    X, gram = np.asarray(X, float).tolist(), np.asarray(gram, float).tolist()
    reference = [float(v) for v in reference]
    best = np.zeros(1 << d, np.float32)
    sink = np.full(1 << d, -1, np.int32)
    margin = np.full(1 << d, np.inf)
    for S in range(1, 1 << d):  # every rest is numerically below S
        b, s, totals = np.float32(-np.inf), -1, []
        for i in (i for i in range(d) if S >> i & 1):
            rest = S & ~(1 << i)
            v = np.float32(score(X, gram, reference, d, i, rest)) + best[rest]
            if np.isfinite(v):
                totals.append(float(v))
            if v > b:
                b, s = v, i
        best[S], sink[S] = b, s
        if len(totals) >= 2:
            top, second = sorted(totals)[-1:-3:-1]
            margin[S] = (top - second) / max(abs(top), 1e-300)
    return best, sink, margin
