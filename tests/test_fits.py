"""Tail laws fitted to degree sequences: recovered from samples of the laws themselves,
and the laws the literature gives for graphs of i.i.d. noise and Brownian motion."""

import math

import numpy as np
import pytest

import kestrel_grid as kg
from kestrel_grid_tools import fit_degree_tail
from kestrel_grid_tools.fits import hurwitz_zeta


def test_hurwitz_zeta_against_closed_forms_and_direct_sums():
    assert hurwitz_zeta(2.0, np.array([1.0]))[0] == pytest.approx(math.pi ** 2 / 6, rel=1e-14)
    assert hurwitz_zeta(4.0, np.array([1.0]))[0] == pytest.approx(math.pi ** 4 / 90, rel=1e-14)
    for s, a in [(1.5, 7.0), (3.3, 120.0), (2.01, 2.0)]:
        direct = np.sum((a + np.arange(2_000_000.0)) ** -s)
        rest = (a + 2_000_000.0) ** (1 - s) / (s - 1)
        assert hurwitz_zeta(s, np.array([a]))[0] == pytest.approx(direct + rest, rel=1e-9)


def _power_sample(rng, gamma, k_min, size):
    support = np.arange(k_min, 200_000)
    cdf = np.cumsum(support ** -gamma)
    return support[np.searchsorted(cdf / cdf[-1], rng.random(size))]


@pytest.mark.parametrize("law, draw, truth, k_min", [
    ("exponential", lambda rng: 2 + rng.geometric(1 / 3, 50_000) - 1, math.log(1.5), 2),
    ("exponential", lambda rng: 5 + rng.geometric(0.6, 20_000) - 1, -math.log(0.4), 5),
    ("power", lambda rng: _power_sample(rng, 2.5, 1, 50_000), 2.5, 1),
    ("power", lambda rng: _power_sample(rng, 3.2, 4, 20_000), 3.2, 4),
])
def test_the_laws_own_samples_give_back_their_parameter(law, draw, truth, k_min):
    degrees = draw(np.random.default_rng(7)).astype(np.int64)
    given = fit_degree_tail(degrees, law, k_min=k_min)
    assert (given.k_min, given.tail_size) == (k_min, degrees.size)
    assert abs(given.estimate - truth) < 3 * given.stderr
    chosen = fit_degree_tail(degrees, law)  # k_min by the distance: no worse than given
    assert chosen.distance <= given.distance and abs(chosen.estimate - truth) < 4 * chosen.stderr


def test_iid_horizontal_graph_rate_is_ln_three_halves():
    series = np.random.default_rng(3).random(10**6)
    fit = fit_degree_tail(series)  # a series: its horizontal graph
    assert fit.law == "exponential" and abs(fit.estimate - math.log(1.5)) < 2 * fit.stderr
    assert fit_degree_tail(kg.graph_degrees(series, "horizontal")) == fit


def test_logistic_map_is_below_and_brownian_motion_natural_exponent_near_two():
    values = np.empty(20_000)
    values[0] = 0.1234
    for i in range(1, values.size):
        values[i] = 4 * values[i - 1] * (1 - values[i - 1])
    assert fit_degree_tail(values).estimate < math.log(1.5) - 0.05  # chaos: a slower decay
    # 3 - 2H for H = 1/2; realisations of 2**17 samples spread from 2.02 to 2.4.
    walk = np.cumsum(np.random.default_rng(0).standard_normal(2**17))
    assert abs(fit_degree_tail(walk, "power").estimate - 2.0) < 0.1


@pytest.mark.parametrize("call, error, text", [
    (lambda: fit_degree_tail([2, 3, 4], "gaussian"), ValueError, "law must be"),
    (lambda: fit_degree_tail([2, -1, 4]), ValueError, "non-negative"),
    (lambda: fit_degree_tail(np.full(50, 2)), ValueError, "too alike"),
    (lambda: fit_degree_tail([2, 2, 3, 9], k_min=9), ValueError, "too few"),
    (lambda: fit_degree_tail([2, 3, 4], k_min=2.5), TypeError, "k_min must be"),
    (lambda: fit_degree_tail(np.ones(30, dtype=bool)), TypeError, "booleans"),
])
def test_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_periodic_series_and_graph_objects():
    # Period 2: inner degrees 2 (the lows) and 4 (the highs), the tail from 4 is one value.
    with pytest.raises(ValueError, match="too few, or all equal"):
        fit_degree_tail(np.tile([0.0, 1.0], 100), k_min=4)
    graph = kg.build_visibility_graph(np.random.default_rng(2).random(3000).tolist())
    assert fit_degree_tail(graph, "power") == fit_degree_tail(
        np.asarray(graph.degrees_array()), "power")
