"""Visibility algorithms against literal Python models: Python floats are IEEE doubles and
Python never fuses a multiply-add, so the models reproduce the native arithmetic bit for bit."""

import math
import random
import re
import struct
from collections import Counter, namedtuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kestrel_grid as kg
from models import (
    check_indices, horizontal, motif_scores, natural, segment_visible, stretch_graph, subseries,
)

NAN, INF = math.nan, math.inf
PROPERTY = settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])


Rule = namedtuple("Rule", "test model build build_between graph_class")
RULES = {
    "natural": Rule(kg.indices_are_visible, natural, kg.build_visibility_graph,
                    kg.build_subgraph_between, kg.VisibilityGraph),
    "horizontal": Rule(kg.indices_are_horizontally_visible, horizontal,
                       kg.build_horizontal_visibility_graph,
                       kg.build_horizontal_subgraph_between, kg.HorizontalVisibilityGraph),
}


def bits(x):
    return struct.pack("<d", x)


def exact(vertices, edges):
    return [(bits(x), bits(y)) for x, y in vertices], edges


def read(graph):
    return exact(graph.vertices, graph.edges)


def outcome(call, *args, **kwargs):
    try:
        return "ok", call(*args, **kwargs)
    except (IndexError, ValueError) as error:
        return type(error).__name__, str(error)


# --- shared series strategy -----------------------------------------------------------

NOTABLE = [0.0, -0.0, 1.0, 2.0, -1.0, 0.2, 0.5, 0.6, 0.7, 0.8, INF, -INF, NAN, 1.7e308,
           -1.7e308, 1.7976931348623157e308, 5e-324, -5e-324, 2.2250738585072014e-308]
VALUES = st.one_of(
    st.sampled_from(NOTABLE),
    st.integers(-3, 3).map(float),
    st.integers(0, 10).map(lambda k: 0.1 * k),  # 0.30000000000000004 and friends
    st.integers(0, 10).map(lambda k: k / 10),
    st.floats(allow_nan=True, allow_infinity=True),
)


def series(max_runs=10):
    """Runs of repeated values, so that plateaus and equal heights are common."""
    runs = st.lists(st.tuples(VALUES, st.integers(1, 3)), max_size=max_runs)
    return runs.map(lambda rs: [x for x, count in rs for _ in range(count)])


def index_for(v):
    return st.one_of(st.integers(0, len(v) + 1), st.sampled_from([2**63, 2**64 - 1]))


# --- worked examples ------------------------------------------------------------------

@pytest.mark.parametrize("rule, v, pairs", [
    ("natural", [1, 3, 2, 4], [(0, 1, True), (0, 2, False), (0, 3, False), (1, 2, True),
                              (1, 3, True), (2, 3, True)]),
    ("natural", [], [(0, 0, False)]),
    ("natural", [1, 2, 3], [(0, 3, False), (1, 1, False), (1, 2, True)]),
    # (2/3) * rise + 0.3 is exactly 0.7, while 0.3 + 2 * (rise / 3) would let the pair see.
    ("natural", [0.3, 0.0, 0.7, 0.9], [(0, 3, False)]),
    ("natural", [0.4, 0.3, 0.0, 0.1], [(0, 3, True)]),
    *[("natural", v, [(0, 2, expected)]) for v, expected in [
        ([0, 1, 2], False), ([2, 2, 2], False), ([2, 1, 2], True), ([0.2, 0.5, 0.8], False),
        ([0.6, 0.7, 0.8], False), ([1, NAN, 1], True), ([NAN, 5, 1], True), ([0, 5, INF], True),
        ([0, 5, -INF], False), ([INF, 5, 0], True), ([-INF, 5, 0], True)]],
    ("horizontal", [3, 1, 2, 4], [(0, 1, True), (0, 2, True), (0, 3, True), (1, 2, True),
                                 (1, 3, False), (2, 3, True)]),
    ("horizontal", [1, 3, 2, 4], [(0, 2, False), (0, 3, False), (1, 3, True)]),
    ("horizontal", [2, 2, 2], [(0, 2, False), (1, 1, False), (0, 3, False)]),
    *[("horizontal", v, [(0, 2, expected)]) for v, expected in [
        ([2, 1, 2], True), ([NAN, 5, 1], False), ([NAN, 0, 1], True), ([1, 5, NAN], False),
        ([NAN, 5, NAN], True), ([1, NAN, 1], True)]],
])
def test_pairwise_examples(rule, v, pairs):
    for i, j, expected in pairs:
        assert RULES[rule].test(v, i, j) is expected and RULES[rule].test(v, j, i) is expected
        assert RULES[rule].model([float(x) for x in v], i, j) is expected


@pytest.mark.parametrize("rule, v, skip, edges", [
    ("natural", [1, 3, 2, 4], False, [(0, 1), (1, 2), (1, 3), (2, 3)]),
    ("natural", [1, 3, 2, 4], True, [(1, 3)]),
    ("horizontal", [1, 3, 2, 4], False, [(0, 1), (1, 2), (1, 3), (2, 3)]),
    ("horizontal", [3, 1, 2, 4], False, [(0, 1), (0, 2), (0, 3), (1, 2), (2, 3)]),
    ("horizontal", [3, 1, 2, 4], True, [(0, 2), (0, 3)]),
    ("natural", [3, 1, 2, 4], False, [(0, 1), (0, 2), (0, 3), (1, 2), (1, 3), (2, 3)]),
    ("natural", [3, 1, 2, 4], True, [(0, 2), (0, 3), (1, 3)]),
    ("natural", [0, 1, 2], False, [(0, 1), (1, 2)]),
    *[(rule, [], skip, []) for rule in RULES for skip in (False, True)],
    *[(rule, [5], None, []) for rule in RULES],
    *[(rule, [7, -1], skip, [] if skip else [(0, 1)]) for rule in RULES for skip in (False, True)],
    *[(rule, [2, 2, 2], None, [(0, 1), (1, 2)]) for rule in RULES],
    *[(rule, [2, 1, 2], False, [(0, 1), (0, 2), (1, 2)]) for rule in RULES],
])
def test_builder_examples(rule, v, skip, edges):
    build = RULES[rule].build
    graph = build(v, skip) if skip is not None else build(v)
    assert type(graph) is RULES[rule].graph_class
    assert graph.vertices == [(float(k), float(y)) for k, y in enumerate(v)]
    assert all(type(c) is float for vertex in graph.vertices for c in vertex)
    assert graph.edges == edges and graph.node_count() == len(v)
    assert build(v, skip_adjacent=None).edges == build(v, False).edges


@pytest.mark.parametrize("rule, v, i, j, skip, vertices, edges", [
    ("natural", [1, 3, 2, 4], 3, 1, None, [(1, 3), (2, 2), (3, 4)], [(0, 1), (0, 2), (1, 2)]),
    ("natural", [1, 3, 2, 4], 1, 3, False, [(1, 3), (2, 2), (3, 4)], [(0, 1), (0, 2), (1, 2)]),
    ("natural", [1, 3, 2, 4], 2, 2, False, [(2, 2)], []),
    ("natural", [1, 3, 2, 4], 3, 3, True, [(3, 4)], []),
    ("natural", [1, 3, 2, 4], 0, 3, False, [(0, 1), (1, 3), (2, 2), (3, 4)],
     [(0, 1), (1, 2), (1, 3), (2, 3)]),
    ("natural", [1, 3, 2, 4], 3, 0, True, [(0, 1), (1, 3), (2, 2), (3, 4)], [(1, 3)]),
    ("horizontal", [3, 1, 2, 4, 1, 3], 2, 5, False, [(2, 2), (3, 4), (4, 1), (5, 3)],
     [(0, 1), (1, 2), (1, 3), (2, 3)]),
    ("horizontal", [3, 1, 2, 4, 1, 3], 5, 2, True, [(2, 2), (3, 4), (4, 1), (5, 3)], [(1, 3)]),
])
def test_subgraph_examples(rule, v, i, j, skip, vertices, edges):
    build = RULES[rule].build_between
    graph = build(v, i, j) if skip is None else build(v, i, j, skip_adjacent=skip)
    assert type(graph) is RULES[rule].graph_class
    assert graph.vertices == [(float(x), float(y)) for x, y in vertices]
    assert graph.edges == edges and graph.node_count() == abs(i - j) + 1


@pytest.mark.parametrize("v, i, j, expected", [
    ([1, 2, 3, 4, 5], 0, 4, [2.0, 3.0, 4.0]), ([1, 2, 3, 4, 5], 4, 0, [2.0, 3.0, 4.0]),
    ([1, 2, 3, 4, 5], 1, 2, []), ([1, 2, 3, 4, 5], 2, 2, []), ([1, 3, 2, 4], 3, 1, [2.0]),
    ([1, 2, 3, 4, 5], 0, 5, IndexError), ([], 0, 0, IndexError), ([1], 2**64 - 1, 0, IndexError),
])
def test_subseries_examples(v, i, j, expected):
    if expected is not IndexError:
        result = kg.subseries_between(v, i, j)
        assert result == expected and all(type(x) is float for x in result)
        return
    for call in (kg.subseries_between, kg.build_subgraph_between,
                 kg.build_horizontal_subgraph_between):
        with pytest.raises(IndexError, match="^index out of bounds$"):
            call(v, i, j)


ZERO = "window size must be greater than zero"
TOO_LARGE = "window size must be less than or equal to len(time_series)"


@pytest.mark.parametrize("v, w, skip, expected", [
    ([3, 1, 2, 4, 1, 3], 4, False, [2, 0, 1]), ([3, 1, 2, 4, 1, 3], 4, True, [-1, -3, -2]),
    ([3, 1, 2, 4, 1, 3], 6, None, [3]), ([3, 1, 2, 4, 1, 3], 1, True, [0] * 6),
    ([2, 1, 1, 2], 4, False, [1]), ([5, 1, 2, 1, 5], 5, False, [3]),
    ([NAN] * 5, 5, False, [6]), ([1, NAN, 2], 3, False, [1]), ([2, NAN, 1], 3, False, [1]),
    ([1, 2, 3, 4], 4, True, [-3]), ([4, 3, 2, 1, 0], 3, False, [0, 0, 0]),
    ([2] * 6, 3, False, [0] * 4), ([NAN] * 300, 300, False, [299 * 298 // 2]),
    ([], 0, None, ZERO), ([1.0], 0, True, ZERO), ([], 1, None, TOO_LARGE),
    ([1.0], 2, False, TOO_LARGE), ([1.0], 2**64 - 1, None, TOO_LARGE),
])
def test_motif_examples(v, w, skip, expected):
    kwargs = {} if skip is None else {"skip_adjacent": skip}
    found = outcome(kg.horizontal_window_motif_scores, v, w, **kwargs)
    expected = ("ValueError", expected) if isinstance(expected, str) else ("ok", expected)
    assert found == expected
    assert found[0] != "ok" or all(type(x) is int for x in found[1])
    assert outcome(motif_scores, [float(x) for x in v], w, bool(skip)) == expected


@pytest.mark.parametrize("p1, p2, obstacles, expected", [
    *[((0, 0), (4, 4), [obstacle], expected) for obstacle, expected in [
        (((0, 4), (4, 0)), False), (((2, 3), (3, 5)), True), (((4, 4), (5, 0)), False),
        (((3, 3), (6, 6)), False), (((5, 5), (6, 6)), True), (((2, 2), (2, 2)), False),
        (((1, 0), (3, 0)), True)]],
    ((0, 0), (4, 4), [], True),
    ((0, 0), (4, 4), [((2, 3), (3, 5)), ((0, 4), (4, 0))], False),
    ((0, 0), (4, 4), [((0, -1), (0, 1))], False),
    ((1, 1), (1, 1), [((0, 0), (2, 2))], False),
    ((1, 1), (1, 1), [((0, 1), (2, 3))], True),
    ((0.0, 0.0), (4.0, 4.0), [((NAN, NAN), (NAN, NAN))], True),
])
@pytest.mark.parametrize("swap_sight", [False, True])
@pytest.mark.parametrize("swap_obstacles", [False, True])
def test_segment_examples(p1, p2, obstacles, expected, swap_sight, swap_obstacles):
    if swap_sight:
        p1, p2 = p2, p1
    if swap_obstacles:
        obstacles = [(b, a) for a, b in obstacles]
    assert kg.segment_is_visible(p1, p2, obstacles) is expected
    assert segment_visible(p1, p2, obstacles) is expected


NOT_BOOL = "argument 'skip_adjacent': 'int' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("call, error, message", [
    (lambda: kg.build_subgraph_between([1.0], 0, 5, skip_adjacent=1), TypeError, NOT_BOOL),
    (lambda: kg.build_horizontal_subgraph_between([], 0, 0, 0), TypeError, NOT_BOOL),
    (lambda: kg.horizontal_window_motif_scores([], 0, skip_adjacent=1), TypeError, NOT_BOOL),
    (lambda: kg.horizontal_window_motif_scores([1.0], 2.0), TypeError, "argument 'window_size': "),
    (lambda: kg.horizontal_window_motif_scores([], -1), OverflowError, ""),
    (lambda: kg.horizontal_window_motif_scores([1.0], -1, skip_adjacent=1), OverflowError, ""),
    (lambda: kg.subseries_between([], 0, -1), OverflowError, ""),
    (lambda: kg.indices_are_visible([1.0], 1.0, 0), TypeError, "argument 'i': "),
    (lambda: kg.indices_are_horizontally_visible("ab", -1, 1.0), TypeError,
     "argument 'time_series': Can't extract `str` to `Vec`"),
])
def test_argument_errors_come_first(call, error, message):
    """Conversion errors of the interpreter (message "") carry no argument prefix."""
    with pytest.raises(error, match="^" + (re.escape(message) or "(?!argument)")):
        call()


# --- properties against the models ----------------------------------------------------

@PROPERTY
@given(v=series(), skip=st.booleans(), rule=st.sampled_from(sorted(RULES)))
def test_builders_match_model(v, skip, rule):
    graph = RULES[rule].build(v, skip)
    assert type(graph) is RULES[rule].graph_class
    expected = stretch_graph(v, 0, len(v) - 1, skip, RULES[rule].model)
    assert read(graph) == exact(*expected)


@PROPERTY
@given(data=st.data(), v=series(), rule=st.sampled_from(sorted(RULES)))
def test_pairwise_tests_match_model(data, v, rule):
    for _ in range(8):
        i, j = data.draw(index_for(v)), data.draw(index_for(v))
        expected = RULES[rule].model(v, i, j)
        assert RULES[rule].test(v, i, j) is expected and RULES[rule].test(v, j, i) is expected


@PROPERTY
@given(data=st.data(), v=series(), skip=st.booleans(), rule=st.sampled_from(sorted(RULES)))
def test_stretches_match_model(data, v, skip, rule):
    i, j = data.draw(index_for(v)), data.draw(index_for(v))
    found = outcome(lambda: read(RULES[rule].build_between(v, i, j, skip)))
    expected = outcome(lambda: exact(*stretch_graph(v, *check_indices(v, i, j), skip,
                                                    RULES[rule].model)))
    assert found == expected
    found = outcome(lambda: [bits(x) for x in kg.subseries_between(v, i, j)])
    assert found == outcome(lambda: [bits(x) for x in subseries(v, i, j)])


@PROPERTY
@given(v=series(max_runs=8), skip=st.booleans())
def test_motif_scores_match_model_for_every_window(v, skip):
    for w in range(len(v) + 2):
        result = outcome(kg.horizontal_window_motif_scores, v, w, skip)
        assert result == outcome(motif_scores, v, w, skip)
        if result[0] == "ok":
            assert all(type(x) is int for x in result[1])
            windows = [kg.build_horizontal_visibility_graph(v[s:s + w], skip).edge_count()
                       for s in range(len(v) - w + 1)]
            assert result[1] == [count - (w - 1) for count in windows]


COORDS = st.sampled_from([0.0, 1.0, 2.0, -1.0, 0.5, NAN, INF, -INF])
POINTS = st.tuples(COORDS, COORDS)


@PROPERTY
@given(p1=POINTS, p2=POINTS, obstacles=st.lists(st.tuples(POINTS, POINTS), max_size=4))
def test_segment_test_matches_model(p1, p2, obstacles):
    assert kg.segment_is_visible(p1, p2, obstacles) is segment_visible(p1, p2, obstacles)
    coords = [c for p in [p1, p2, *[e for o in obstacles for e in o]] for c in p]
    if all(map(math.isfinite, coords)):  # exact orientation values: direction cannot matter
        flipped = [(b, a) for a, b in obstacles]
        assert kg.segment_is_visible(p2, p1, flipped) is segment_visible(p1, p2, obstacles)


# --- known statistics of the horizontal visibility graph ------------------------------

def test_random_series_degree_distribution():
    """Luque et al. (2009): i.i.d. samples give P(k) = (1/3)(2/3)^(k-2)."""
    n = 2 * 10**4
    rng = random.Random(20090)
    graph = kg.build_horizontal_visibility_graph([rng.random() for _ in range(n)])
    degree = Counter()
    for a, b in graph.edges:
        degree[a] += 1
        degree[b] += 1
    histogram = Counter(degree[k] for k in range(n))
    for k in range(2, 9):
        assert abs(histogram[k] / n - (2 / 3) ** (k - 2) / 3) <= 0.012
    # Expected edge count of n i.i.d. samples: 2n - 2 H_n, so mean degree 4 (1 - H_n / n).
    harmonic = math.fsum(1 / m for m in range(1, n + 1))
    assert abs(2 * graph.edge_count() / n - 4 * (1 - harmonic / n)) <= 0.01
