"""Fitted laws of the degree tail: the exponential law of horizontal graphs and the
power law of natural graphs.

A horizontal graph of an i.i.d. series has P(k) = (1/3)(2/3)**(k - 2): an exponential
tail of rate ln(3/2), smaller for correlated series and larger for chaotic ones. The
natural graph of a fractal series has a power-law tail P(k) ~ k**(-gamma) (about
3 - 2H for fractional Brownian motion of Hurst exponent H). Both are fitted by maximum
likelihood to the degrees at or above ``k_min``, as discrete laws; ``k_min`` is chosen,
unless given, as the one whose fit lies closest to the data by the Kolmogorov-Smirnov
distance (Clauset, Shalizi & Newman, SIAM Review 51, 2009).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Literal, Optional, Tuple, cast

import numpy as np
import numpy.typing as npt

from .features import degrees as _series_degrees

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
Law = Literal["exponential", "power"]

LAWS: Tuple[str, ...] = ("exponential", "power")
# The smallest tail a k_min may leave when it is chosen: fits to fewer degrees say
# little and would win the distance by chance.
MIN_TAIL = 10
# Euler-Maclaurin for the Hurwitz zeta function: the terms summed directly, and the
# Bernoulli numbers B2, B4, ..., B10 of the correction.
_DIRECT_TERMS = 32
_BERNOULLI = (1 / 6, -1 / 30, 1 / 42, -1 / 30, 5 / 66)
_GAMMA_RANGE = (1.0 + 1e-9, 30.0)


@dataclass(frozen=True)
class TailFit:
    """One fitted tail law.

    Attributes:
        law: ``"exponential"`` (P(k) proportional to exp(-estimate * k)) or
            ``"power"`` (P(k) proportional to k**(-estimate)), for k >= ``k_min``.
        estimate: the maximum-likelihood rate (lambda) or exponent (gamma).
        stderr: its asymptotic standard error, from the Fisher information.
        k_min: the smallest degree of the tail fitted.
        tail_size: how many degrees are >= ``k_min``.
        distance: the Kolmogorov-Smirnov distance between the tail's empirical
            distribution and the fitted law.
    """

    law: str
    estimate: float
    stderr: float
    k_min: int
    tail_size: int
    distance: float


def fit_degree_tail(degrees_or_series: Any, law: Law = "exponential",
                    k_min: Optional[int] = None, *, kind: Optional[str] = None,
                    **options: Any) -> TailFit:
    """Fits the exponential or the power law to the tail of a degree sequence.

    Args:
        degrees_or_series: degrees (an integer array or sequence, or a graph object with
            ``degrees_array()``), or a series, whose graph is then built: the
            horizontal graph for the exponential law and the natural graph for the power
            law, unless ``kind`` says otherwise. Arrays of floats are series; so is any
            input when ``kind`` is given.
        law: ``"exponential"`` (horizontal graphs: lambda = ln(3/2) for i.i.d. series)
            or ``"power"`` (natural graphs of fractal series).
        k_min: the smallest degree fitted; ``None`` chooses it by the
            Kolmogorov-Smirnov distance among the degrees that leave at least
            ``MIN_TAIL`` in the tail.
        kind: ``"natural"`` or ``"horizontal"``: build this graph of the series.
        **options: options of the graph build (``x``, ``missing``, ``decimals``, ...),
            for a series.

    Raises:
        ValueError: an unknown law, negative degrees, or a tail too small to fit (fewer
            than two degrees, or all equal).
    """
    if law not in LAWS:
        raise ValueError(f"law must be 'exponential' or 'power', got {law!r}")
    values = _degrees_of(degrees_or_series, law, kind, options)
    if values.size and values.min() < 0:
        raise ValueError("degrees must be non-negative")
    if law == "power":
        values = values[values > 0]  # a power law has no mass at k = 0
    if k_min is not None:
        if isinstance(k_min, bool) or not isinstance(k_min, (int, np.integer)):
            raise TypeError(f"k_min must be an integer or None, got {type(k_min).__name__}")
        fit = _fit(values, law, int(k_min))
        if fit is None:
            raise ValueError(f"the tail k >= {k_min} holds {int(np.sum(values >= k_min))} "
                             "degree(s): too few, or all equal, to fit a law")
        return fit
    best: Optional[TailFit] = None
    for candidate in np.unique(values):
        if np.sum(values >= candidate) < MIN_TAIL:
            break
        fit = _fit(values, law, int(candidate))
        if fit is not None and (best is None or fit.distance < best.distance):
            best = fit
    if best is None:
        raise ValueError(f"{values.size} degree(s): too few, or too alike, to fit a tail "
                         f"of at least {MIN_TAIL}")
    return best


def _degrees_of(source: Any, law: str, kind: Optional[str], options: Any) -> IntArray:
    if kind is None and not options:
        if hasattr(source, "degrees_array"):
            return np.asarray(source.degrees_array(), dtype=np.int64)
        array = np.asarray(source)
        if array.dtype.kind in "iu":
            return array.astype(np.int64).ravel()
        if array.dtype.kind == "b":
            raise TypeError("degrees must be integers, got booleans")
    built = kind if kind is not None else ("horizontal" if law == "exponential" else "natural")
    return np.asarray(_series_degrees(source, cast(Any, built), **options), dtype=np.int64)


def _fit(values: IntArray, law: str, k_min: int) -> Optional[TailFit]:
    tail = values[values >= k_min]
    if tail.size < 2 or tail.min() == tail.max():
        return None
    model: Callable[[IntArray, float, int], FloatArray]
    if law == "exponential":
        estimate, stderr = _exponential(tail, k_min)
        model = _exponential_cdf
    else:
        estimate, stderr = _power(tail, k_min)
        model = _power_cdf
    support, counts = np.unique(tail, return_counts=True)
    empirical = np.cumsum(counts) / tail.size
    distance = float(np.max(np.abs(empirical - model(support, estimate, k_min))))
    return TailFit(law, estimate, stderr, k_min, int(tail.size), distance)


def _exponential(tail: IntArray, k_min: int) -> Tuple[float, float]:
    """The discrete exponential law P(k) = (1 - q) q**(k - k_min), q = exp(-lambda): the
    excess k - k_min is geometric, so q = m / (1 + m) for its mean m, and the Fisher
    information 1 / (q (1 - q)**2) per degree gives var(lambda) = (1 - q)**2 / (q n)."""
    mean = float(np.mean(tail - k_min))
    q = mean / (1.0 + mean)
    return math.log1p(1.0 / mean), (1.0 - q) / math.sqrt(q * tail.size)


def _exponential_cdf(k: IntArray, rate: float, k_min: int) -> FloatArray:
    result: FloatArray = -np.expm1(-rate * (k - k_min + 1).astype(np.float64))
    return result


def _power(tail: IntArray, k_min: int) -> Tuple[float, float]:
    """The discrete power law P(k) = k**(-gamma) / zeta(gamma, k_min). The likelihood
    is highest where the law's mean of ln k equals the sample's, -d ln zeta / d gamma
    = mean(ln k), which falls as gamma grows: bisection finds it. The Fisher
    information per degree is the law's variance of ln k, d2 ln zeta / d gamma2."""
    target = float(np.mean(np.log(tail.astype(np.float64))))
    low, high = _GAMMA_RANGE
    if _mean_log(high, k_min) > target:  # a tail steeper than any law in range
        return high, math.inf
    while high - low > 1e-12 * high:
        middle = 0.5 * (low + high)
        if _mean_log(middle, k_min) > target:
            low = middle
        else:
            high = middle
    gamma = 0.5 * (low + high)
    step = 1e-4
    curvature = (_log_zeta(gamma + step, k_min) - 2.0 * _log_zeta(gamma, k_min)
                 + _log_zeta(gamma - step, k_min)) / (step * step)
    stderr = 1.0 / math.sqrt(tail.size * curvature) if curvature > 0 else math.inf
    return gamma, stderr


def _mean_log(gamma: float, k_min: int) -> float:
    """The power law's mean of ln k: -d ln zeta(gamma, k_min) / d gamma."""
    step = 1e-6 * max(1.0, gamma - 1.0)
    return float(-(_log_zeta(gamma + step, k_min) - _log_zeta(gamma - step, k_min)) / (2 * step))


def _log_zeta(gamma: float, k_min: int) -> float:
    return float(np.log(hurwitz_zeta(gamma, np.array([k_min], dtype=np.float64))[0]))


def _power_cdf(k: IntArray, gamma: float, k_min: int) -> FloatArray:
    tails = hurwitz_zeta(gamma, np.concatenate([[k_min], k + 1]).astype(np.float64))
    result: FloatArray = 1.0 - tails[1:] / tails[0]
    return result


def hurwitz_zeta(s: float, a: FloatArray) -> FloatArray:
    """zeta(s, a) = sum over j >= 0 of (a + j)**(-s), for s > 1 and a >= 1: the first
    terms summed, the rest by Euler-Maclaurin (error far below double rounding once
    a + 32 >= 32 and five Bernoulli terms are kept)."""
    if s <= 1.0:
        return np.full(a.shape, math.inf)
    head = np.sum((a[:, None] + np.arange(_DIRECT_TERMS)) ** (-s), axis=1)
    far = a + _DIRECT_TERMS
    rest = far ** (1.0 - s) / (s - 1.0) + 0.5 * far ** (-s)
    rising = s  # s (s + 1) ... (s + 2m - 2)
    power = far ** (-s - 1.0)
    factorial = 2.0
    for m, bernoulli in enumerate(_BERNOULLI, start=1):
        rest = rest + bernoulli / factorial * rising * power
        rising *= (s + 2 * m - 1) * (s + 2 * m)
        power = power / (far * far)
        factorial *= (2 * m + 1) * (2 * m + 2)
    result: FloatArray = head + rest
    return result
