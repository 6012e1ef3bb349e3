"""Elementary functions that give the same doubles on every machine.

numpy's exp, power, cos and arctan2 come from the platform's maths library
or from numpy's own vector code for the processor at hand, and differ in
the last bit between them; a last bit is enough to move a threshold's rank
or a code rounded at a half. The tables built here (screen geometry, tone
curves, filter kernels) take these functions instead: each result is the
exact value rounded once to a double, computed in decimal arithmetic at 40
digits, which the standard library carries out in software the same way
everywhere. They are for tables of at most some thousands of values, not
for pixels.
"""

from __future__ import annotations

import decimal
from collections.abc import Callable

import numpy as np
import numpy.typing as npt

__all__: list[str] = []

_CONTEXT = decimal.Context(prec=40, rounding=decimal.ROUND_HALF_EVEN)
# π to 50 digits.
_PI = decimal.Decimal("3.1415926535897932384626433832795028841971693993751")


def _each_distinct(
    values: npt.ArrayLike, function: Callable[[decimal.Decimal], decimal.Decimal]
) -> npt.NDArray[np.float64]:
    """`function` of every value, each distinct value computed once."""
    array = np.asarray(values, dtype=np.float64)
    distinct, where = np.unique(array, return_inverse=True)
    results = np.array(
        [float(function(decimal.Decimal(float(v)))) for v in distinct], dtype=np.float64
    )
    return results[where].reshape(array.shape)


def exp(values: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """e to each value, correctly rounded."""
    return _each_distinct(values, _CONTEXT.exp)


def power(bases: npt.ArrayLike, exponent: float) -> npt.NDArray[np.float64]:
    """Each base (0 or more) to a positive `exponent`, correctly rounded."""
    e = decimal.Decimal(float(exponent))

    def one(base: decimal.Decimal) -> decimal.Decimal:
        # exp(e · ln b) at 40 digits is within a few parts in 10^38 of the
        # power, and twice as fast as the context's own correctly rounded one.
        if base in (0, 1):
            return base
        return _CONTEXT.exp(_CONTEXT.multiply(_CONTEXT.ln(base), e))

    return _each_distinct(bases, one)


def _series(x: decimal.Decimal, first: int) -> float:
    """cos(x) (first 0) or sin(x) (first 1), correctly rounded: reduced to
    [-π, π], then the Taylor series, which converges fast there, all at 50
    digits (a cosine can lie within a few parts in 10^20 of the middle
    between two doubles)."""
    with decimal.localcontext(_CONTEXT) as context:
        context.prec += 10
        turn = 2 * _PI
        x = x - turn * (x / turn).to_integral_value(rounding=decimal.ROUND_HALF_EVEN)
        square = x * x
        term = x if first else decimal.Decimal(1)
        total = term
        k = first
        while True:
            k += 2
            term = -term * square / (k * (k - 1))
            if abs(term) < decimal.Decimal(10) ** -(context.prec + 2):
                break
            total += term
        return float(total)


def cos_sin(radians: float) -> tuple[float, float]:
    """The cosine and sine of a double, each correctly rounded."""
    x = decimal.Decimal(float(radians))
    return _series(x, 0), _series(x, 1)


def pseudo_angle(y: npt.ArrayLike, x: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """A key ordered as arctan2(y, x) for integer vectors, in (-2, 2].

    The diamond angle: along the square |x| + |y| = 1 instead of the circle,
    so each quadrant is one division, which rounds the same everywhere; equal
    directions give equal keys and distinct ones of small integers distinct
    keys. (0, 0) has the key 0, as arctan2(0, 0) is 0.
    """
    yy = np.asarray(y, dtype=np.int64)
    xx = np.asarray(x, dtype=np.int64)
    ay, ax = np.abs(yy), np.abs(xx)
    total = np.maximum(ax + ay, 1).astype(np.float64)
    key = np.where(
        yy >= 0,
        np.where(xx >= 0, ay / total, 1.0 + ax / total),
        np.where(xx < 0, -2.0 + ay / total, -(ay / total)),
    )
    return np.asarray(key, dtype=np.float64)
