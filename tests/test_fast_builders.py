"""The fast whole-series builders on series in the thousands: every edge and a sample of
the other pairs are checked against the literal pairwise tests, which stay the direct
procedure. Also the sub-graphs and motif scores that run on the same fast methods."""

import math
import random

import pytest

import kestrel_grid as kg

N = 2000


def _walk(rng, n, step):
    x, out = 0.0, []
    for _ in range(n):
        x += step(rng)
        out.append(x)
    return out


def _sprinkled(rng, n):
    v = [rng.uniform(-1, 1) for _ in range(n)]
    for _ in range(n // 20):
        special = rng.choice([math.nan, math.inf, -math.inf])
        start = rng.randrange(n)
        for k in range(start, min(n, start + rng.choice([1, 1, 1, 4]))):
            v[k] = special
    return v


FAMILIES = {
    "uniform noise": lambda rng, n: [rng.random() for _ in range(n)],
    "gaussian walk": lambda rng, n: _walk(rng, n, lambda r: r.gauss(0, 1)),
    "integer walk": lambda rng, n: _walk(rng, n, lambda r: float(r.randint(-1, 1))),
    "integers 0..9": lambda rng, n: [float(rng.randint(0, 9)) for _ in range(n)],
    "integer ramp": lambda rng, n: [float(k) for k in range(n)],
    "decimal ramp": lambda rng, n: [0.1 * k for k in range(n)],
    "ramp near 2^53": lambda rng, n: [2.0 ** 53 + k for k in range(n)],
    "constant": lambda rng, n: [2.5] * n,
    "V shape": lambda rng, n: [abs(k - n // 3) * 2.0 for k in range(n)],
    "sawtooth": lambda rng, n: [float(k % 7) for k in range(n)],
    "sin": lambda rng, n: [math.sin(0.05 * k) for k in range(n)],
    "concave": lambda rng, n: [-((k - n / 2) ** 2) for k in range(n)],
    "specials sprinkled": _sprinkled,
    "near max double": lambda rng, n: [rng.choice([1, -1]) * rng.uniform(1.5e308, 1.79e308)
                                       for _ in range(n)],
    "huge negative among tiny": lambda rng, n: [
        -1e300 if k % 97 == 5 else rng.random() * 1e-300 for k in range(n)],
}

RULES = [
    (kg.build_visibility_graph, kg.indices_are_visible),
    (kg.build_horizontal_visibility_graph, kg.indices_are_horizontally_visible),
]


def _sampled_pairs(rng, n, count):
    pairs = set()
    while len(pairs) < count:
        i = rng.randrange(n)
        # Half the samples near i, where visibility is most often decided by a tie.
        j = min(n - 1, i + rng.randint(1, 12)) if rng.random() < 0.5 else rng.randrange(n)
        if i != j:
            pairs.add((min(i, j), max(i, j)))
    return pairs


@pytest.mark.parametrize("family", sorted(FAMILIES))
@pytest.mark.parametrize("build, test", RULES, ids=["natural", "horizontal"])
def test_long_series_agree_with_the_pairwise_test(family, build, test):
    rng = random.Random(family)
    v = FAMILIES[family](rng, N)
    edges = build(v).edges
    assert edges == sorted(set(edges)), "edges must be unique and in ascending order"
    edge_set = set(edges)
    checked = edges if len(edges) <= 1200 else rng.sample(edges, 1200)
    for i, j in checked:
        assert test(v, i, j), (family, i, j)
    for i, j in _sampled_pairs(rng, N, 800):
        assert ((i, j) in edge_set) == test(v, i, j), (family, i, j)


# Sample 1 lies exactly above the line from sample 0 to sample k, but the literal line
# value at sample 1 rounds above it, so the float rule sees (0, k) and the exact rule
# does not. Everything between is far below.
NEAR_TIES = [(0.46044746641925904, -0.03401466788574492, 509, -251.22077889482776),
             (0.8627377799831728, 0.05010656085589238, 346, -280.30766403805586)]


@pytest.mark.parametrize("y0, y1, k, yk", NEAR_TIES)
def test_a_high_just_below_a_record_line_follows_the_literal_rule(y0, y1, k, yk):
    v = [y0, y1] + [-1e7] * (k - 2) + [yk, y0]
    row = [j for i, j in kg.build_visibility_graph(v).edges if i == 0]
    assert row == [j for j in range(1, len(v)) if kg.indices_are_visible(v, 0, j)]
    assert k in row
    assert (0, k) not in kg.build_graph(v, exact=True).edges
    assert kg.visibility_degrees(v).tobytes() == kg.build_visibility_graph(v).degrees_array().tobytes()


@pytest.mark.parametrize("family", ["gaussian walk", "integers 0..9", "specials sprinkled"])
def test_long_stretches_equal_the_whole_series_graph_renumbered(family):
    rng = random.Random(family)
    v = FAMILIES[family](rng, 1200)
    for build, build_stretch in [(kg.build_visibility_graph, kg.build_subgraph_between),
                                 (kg.build_horizontal_visibility_graph,
                                  kg.build_horizontal_subgraph_between)]:
        lo, hi = 200, 1100
        whole = build(v[lo:hi + 1], skip_adjacent=True).edges
        stretch = build_stretch(v, hi, lo, skip_adjacent=True)
        assert stretch.edges == whole
        assert [x for x, _ in stretch.vertices] == [float(k) for k in range(lo, hi + 1)]


@pytest.mark.parametrize("family", ["uniform noise", "integers 0..9", "specials sprinkled"])
@pytest.mark.parametrize("window", [1, 2, 5, 40])
def test_motif_scores_count_the_horizontal_edges_of_each_window(family, window):
    v = FAMILIES[family](random.Random(family), 600)
    edges = kg.build_horizontal_visibility_graph(v).edges
    counts = [0] * (len(v) - window + 1)
    for i, j in edges:
        for s in range(max(0, j - window + 1), min(i, len(v) - window) + 1):
            counts[s] += 1
    assert kg.horizontal_window_motif_scores(v, window) == [c - (window - 1) for c in counts]
