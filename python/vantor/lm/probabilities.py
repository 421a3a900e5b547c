"""Logits to float32 probabilities: the one code path both sides run.

The coder decodes only if both sides give it bit-identical vectors, on any machine that
reproduces the logits. NumPy's `exp` and its float sums take different SIMD paths on
different CPUs and may round differently, so neither is used on inexact values: `exp` is
a polynomial of element-wise IEEE operations, each correctly rounded, and the normaliser
is a sum of whole numbers, which is exact in any order.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:  # numpy.typing is NumPy 1.20 and newer
    import numpy.typing as npt

LOG2E = 1.4426950408889634
LN2 = 0.6931471805599453
# Taylor coefficients of exp(y) from the highest power down; |y| <= ln(2)/2 keeps the
# truncation error near 1e-10, far below what float32 probabilities resolve.
EXP_COEFFICIENTS = [1.0 / 40320, 1.0 / 5040, 1.0 / 720, 1.0 / 120, 1.0 / 24, 1.0 / 6, 0.5,
                    1.0, 1.0]
# Weights are whole numbers up to 2^36, so that 49,152 of them sum below 2^52: every
# partial sum is an integer that float64 holds exactly, in whatever order NumPy adds.
WEIGHT_BITS = 36
EXTRA_WEIGHT = 2.0 ** (WEIGHT_BITS - 26)
def probabilities(logits: npt.NDArray[Any], extra: int = 0) -> npt.NDArray[np.float32]:
    """float32 probabilities of the next symbol from the model's float32 logits (1-D, or
    2-D row by row): one per token, then `extra` for the bytes that no token spells, each
    given 2^-26 of the largest token's weight."""
    if logits.ndim == 1:
        return _row(logits, extra)
    # Row by row, so that each row's float64 passes stay in the cache.
    out = np.empty((logits.shape[0], logits.shape[1] + extra), np.float32)
    for i, row in enumerate(logits):
        out[i] = _row(row, extra)
    return out


def _row(logits: npt.NDArray[Any], extra: int) -> npt.NDArray[np.float32]:
    buffer = weights(logits, extra)
    np.divide(buffer, buffer.sum(), out=buffer)
    return buffer.astype(np.float32)


def weights(logits: npt.NDArray[Any], extra: int) -> npt.NDArray[np.float64]:
    """The row's whole-number weights in float64, one per token, then `extra` for the
    bytes that no token spells."""
    x = logits.astype(np.float64)
    top = x.max()
    if not np.isfinite(top):  # NaN or +inf; -inf is harmless
        x = np.nan_to_num(x, nan=-1e30, posinf=1e30, neginf=-1e30)
        top = x.max()
    x -= top
    np.multiply(x, LOG2E, out=x)
    # Below 2^-38 of the largest a weight is 0 (the coder still gives the token its minimum).
    np.maximum(x, -(WEIGHT_BITS + 2.0), out=x)
    k = np.rint(x)
    np.subtract(x, k, out=x)
    np.multiply(x, LN2, out=x)
    # The weights are made in place of y inside a buffer that has room for the extras.
    buffer = np.empty(len(x) + extra)
    y = buffer[:len(x)]
    y.fill(EXP_COEFFICIENTS[0])
    for c in EXP_COEFFICIENTS[1:]:
        np.multiply(y, x, out=y)
        np.add(y, c, out=y)
    k += WEIGHT_BITS
    np.floor(np.ldexp(y, k.astype(np.int32), out=y), out=y)
    buffer[len(x):] = EXTRA_WEIGHT
    # Whole numbers below 2^52 in all: their sum is exact in any order. The largest logit
    # has weight 2^36, so with n = 49,173 symbols the dominant one's share of the coder's
    # 2^32 is at least 2^32/n > n: the minimum frequency the coder gives every other
    # symbol never exhausts its table.
    return buffer


def code_length_bits(logits: npt.NDArray[Any], token: int) -> float:
    """-log2 p(token) under the model's own float64 softmax: the ideal the coder is
    measured against. (A byte that no token spells has no such ideal: its cost here is
    what the coder is given.)"""
    if token >= logits.shape[-1]:
        return float(-np.log2(probabilities(logits, token - logits.shape[-1] + 1)[token]))
    x = logits.astype(np.float64)
    top = x.max()
    return float((top + np.log(np.exp(x - top).sum()) - x[token]) / np.log(2.0))
