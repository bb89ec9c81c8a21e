"""Directed views, edge weights and the networkx / igraph / scipy adapters, checked against
a per-edge Python model of the direction rule and of every weight formula."""

import math
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrel_grid as kg
import models

np = pytest.importorskip("numpy")

import kestrel_grid_tools as tools  # noqa: E402

NAN = math.nan


def edited_graph():
    # Vertex x no longer equals the index, two vertices share x = 2 (dx = 0), and a
    # removal renumbers the later vertices.
    g = kg.build_visibility_graph([1.0, 3.0, 2.0, 4.0, 0.5, 2.5])
    g.add_vertex(2.0, 7.0)
    g.add_edge(2, 6)
    g.add_edge(6, 0)
    g.remove_vertex(4)
    return g


GRAPHS = {
    "natural": lambda: kg.build_visibility_graph([0.3, 1.7, 0.2, 2.9, 1.1, 1.1, 0.4, 2.2]),
    "horizontal_ties": lambda: kg.build_horizontal_visibility_graph([2.0, 1.0, 2.0, -0.0, 0.0, 2.0, 3.0]),
    "nan_inf": lambda: kg.build_visibility_graph([1.0, NAN, 2.0, math.inf, 0.5, -math.inf, 1.0]),
    "edited": edited_graph,
    "empty": lambda: kg.build_horizontal_visibility_graph([]),
}
FINITE = ["natural", "horizontal_ties", "edited"]


def model_edges(graph, direction):
    ys = [y for _, y in graph.vertices]
    if direction == "left_to_right":
        return list(graph.edges)
    return [(j, i) if ys[i] < ys[j] else (i, j) for i, j in graph.edges]


def div(a, b):
    if b != 0:
        return a / b
    if a == 0 or math.isnan(a) or math.isnan(b):
        return NAN
    return math.copysign(math.inf, a) * math.copysign(1.0, b)


def model_weight(dx, dy, weight):
    formula = {
        "slope": lambda: div(dy, dx),
        "angle": lambda: math.atan(div(dy, dx)),
        "distance": lambda: math.hypot(dx, dy),
        "sq_distance": lambda: dx * dx + dy * dy,
        "v_distance": lambda: dy,
        "h_distance": lambda: dx,
    }[weight.replace("abs_", "")]()
    return abs(formula) if weight.startswith("abs_") else formula


def model_weights(graph, weight, direction):
    v = graph.vertices
    return [
        model_weight(v[t][0] - v[s][0], v[t][1] - v[s][1], weight)
        for s, t in model_edges(graph, direction)
    ]


@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("name", sorted(GRAPHS))
@pytest.mark.parametrize("direction", ["left_to_right", "top_to_bottom"])
def test_directions_and_weights_match_the_model(name, direction):
    graph = GRAPHS[name]()
    edges = tools.directed_edges(graph, direction)
    assert edges.dtype == np.int64 and edges.shape == (graph.edge_count(), 2)
    assert [tuple(e) for e in edges.tolist()] == model_edges(graph, direction)
    assert edges.flags.writeable or edges.size == 0  # the caller's own, unlike the export
    for weight in tools.WEIGHTS:
        got = tools.edge_weights(graph, weight, direction)
        assert got.dtype == np.float64
        np.testing.assert_allclose(got, model_weights(graph, weight, direction), rtol=1e-15)


def test_top_to_bottom_keeps_ties_and_nan_left_to_right():
    graph = kg.build_horizontal_visibility_graph([-0.0, 0.0, NAN, 5.0, 5.0, 9.0, 0.0, -0.0])
    assert graph.edges == [(0, 1), (1, 2), (1, 3), (2, 3), (2, 5), (3, 4), (4, 5), (5, 6), (6, 7)]
    assert tools.directed_edges(graph, "top_to_bottom").tolist() == [
        [0, 1], [1, 2], [3, 1], [2, 3], [2, 5], [3, 4], [5, 4], [5, 6], [6, 7]]


DIRECTION_MESSAGE = "direction must be one of 'left_to_right', 'top_to_bottom', got 'down'"


@pytest.mark.parametrize("call, error, message", [
    (lambda g: tools.directed_edges(g, "down"), ValueError, DIRECTION_MESSAGE),
    (lambda g: tools.to_scipy_sparse(g, direction="down"), ValueError, DIRECTION_MESSAGE),
    (lambda g: tools.edge_weights(g, "length"), ValueError,
     "weight must be one of 'slope', 'abs_slope', 'angle', 'abs_angle', 'distance', "
     "'sq_distance', 'v_distance', 'abs_v_distance', 'h_distance', 'abs_h_distance', "
     "'penetrations', got 'length'"),
    (lambda g: tools.to_scipy_sparse(g, view_angle=(1.0, 0.0)), ValueError,
     "view_angle must have low <= high, not (1.0, 0.0)"),
    (lambda g: tools.edge_weights(g.edges, "slope"), TypeError,
     "expected a VisibilityGraph or HorizontalVisibilityGraph, got list"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error) as raised:
        call(GRAPHS["natural"]())
    assert str(raised.value) == message


@pytest.mark.parametrize("name", FINITE)
@pytest.mark.parametrize("direction, weight", [(None, None), (None, "slope"), ("top_to_bottom", "v_distance")])
def test_networkx(name, direction, weight):
    nx = pytest.importorskip("networkx")
    graph = GRAPHS[name]()
    expected = nx.Graph() if direction is None else nx.DiGraph()
    expected.add_nodes_from((i, {"x": x, "y": y}) for i, (x, y) in enumerate(graph.vertices))
    edges = model_edges(graph, direction or "left_to_right")
    if weight is None:
        expected.add_edges_from(edges)
    else:
        weights = model_weights(graph, weight, direction or "left_to_right")
        expected.add_edges_from((s, t, {"weight": w}) for (s, t), w in zip(edges, weights))
    got = tools.to_networkx(graph, direction, weight)
    assert nx.utils.graphs_equal(got, expected)
    assert list(got.nodes) == list(range(graph.node_count()))


@pytest.mark.parametrize("name", FINITE)
@pytest.mark.parametrize("direction, weight", [(None, None), ("top_to_bottom", "angle")])
def test_igraph(name, direction, weight):
    pytest.importorskip("igraph")
    graph = GRAPHS[name]()
    got = tools.to_igraph(graph, direction, weight)
    assert got.vcount() == graph.node_count() and got.is_directed() == (direction is not None)
    assert got.get_edgelist() == model_edges(graph, direction or "left_to_right")
    assert list(zip(got.vs["x"], got.vs["y"])) == graph.vertices
    if weight is None:
        assert "weight" not in got.es.attributes()
    else:
        np.testing.assert_allclose(got.es["weight"], model_weights(graph, weight, direction), rtol=1e-15)


@pytest.mark.parametrize("name", FINITE + ["empty"])
@pytest.mark.parametrize("direction, weight", [(None, None), (None, "v_distance"), ("top_to_bottom", None),
                                               ("left_to_right", "sq_distance")])
def test_scipy_sparse(name, direction, weight):
    pytest.importorskip("scipy.sparse")
    graph = GRAPHS[name]()
    n = graph.node_count()
    dense = np.zeros((n, n))
    edges = model_edges(graph, direction or "left_to_right")
    weights = model_weights(graph, weight, direction or "left_to_right") if weight else [1] * len(edges)
    for (s, t), w in zip(edges, weights):
        dense[s, t] = w
        if direction is None:
            dense[t, s] = w
    got = tools.to_scipy_sparse(graph, direction, weight)
    assert got.format == "csr" and got.shape == (n, n) and got.has_canonical_format
    assert got.dtype == (np.int64 if weight is None else np.float64)
    assert got.nnz == len(edges) * (2 if direction is None else 1)  # zero weights kept
    np.testing.assert_array_equal(got.toarray(), dense)


@pytest.mark.parametrize("function, module, extra", [
    ("to_networkx", "networkx", "networkx"),
    ("to_igraph", "igraph", "igraph"),
    ("to_scipy_sparse", "scipy.sparse", "scipy"),
])
def test_missing_extra_names_the_graphs_extra(monkeypatch, function, module, extra):
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(tools.MissingExtraError) as error:
        getattr(tools, function)(GRAPHS["natural"]())
    assert str(error.value) == (
        f"{function} needs {extra}, which is not installed; "
        f"install it with: python -m pip install {extra} (or, in a checkout of "
        "kestrel-grid, its graphs extra: python -m pip install '.[graphs]')")


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sampled_from([-1.0, -0.0, 0.0, 0.5, 2.0, NAN, math.inf]) | st.floats(-5, 5),
                           max_size=30), st.booleans())
def test_top_to_bottom_orients_every_pair_once_from_high_to_low(values, horizontal):
    graph = (kg.build_horizontal_visibility_graph if horizontal else kg.build_visibility_graph)(values)
    y = np.asarray(graph.vertices_array())[:, 1]
    down = tools.directed_edges(graph, "top_to_bottom")
    source, target = down[:, 0], down[:, 1]
    assert not np.any(y[source] < y[target])
    assert np.all((source < target) | (y[source] > y[target]))
    np.testing.assert_array_equal(np.sort(down, axis=1), tools.directed_edges(graph))
    # Reversing an edge flips the sign of dy and dx, so the slope is the same both ways.
    np.testing.assert_array_equal(tools.edge_weights(graph, "slope", "top_to_bottom"),
                                  tools.edge_weights(graph, "slope"))


@settings(max_examples=80, deadline=None)
@given(st.lists(st.sampled_from([-1.0, -0.0, 0.0, 0.5, 2.0, NAN, math.inf, -math.inf]) | st.floats(-5, 5),
                max_size=24), st.booleans(), st.integers(0, 3), st.integers(1, 1 << 6))
def test_penetrations_count_the_literal_blockers(values, horizontal, penetrable, slice_size):
    kind = "horizontal" if horizontal else "natural"
    graph = kg.build_graph(values, kind, penetrable=penetrable, missing="keep")
    blocks = models.horizontal_blocks if horizontal else models.natural_blocks
    x = [x for x, _ in graph.vertices]
    y = [y for _, y in graph.vertices]
    expected = [sum(blocks(y, x, a, k, b) for k in range(a + 1, b)) for a, b in graph.edges]
    saved = tools.adapters._PENETRATION_SLICE
    tools.adapters._PENETRATION_SLICE = slice_size  # small slices split the edges
    try:
        found = tools.edge_weights(graph, "penetrations", "top_to_bottom")
    finally:
        tools.adapters._PENETRATION_SLICE = saved
    assert found.tolist() == expected
    assert all(count <= penetrable for count in expected)
    if not any(math.isnan(v) for v in values):
        # The least level whose graph holds the edge, as the series tool counts it.
        _, by_level = tools.visibility_edges(values, kind, weight="penetrations", penetrable=penetrable)
        assert by_level.tolist() == expected


def test_penetrations_and_view_angle_of_an_edited_graph():
    graph = edited_graph()  # two vertices share an x: numpy scalars divide by 0 as IEEE does
    x = [np.float64(x) for x, _ in graph.vertices]
    y = [np.float64(y) for _, y in graph.vertices]
    with np.errstate(all="ignore"):
        expected = [sum(bool(models.natural_blocks(y, x, a, k, b)) for k in range(a + 1, b))
                    for a, b in graph.edges]
    assert tools.edge_weights(graph, "penetrations").tolist() == expected
    angles = tools.edge_weights(graph, "angle")
    inside = [tuple(e) for e, a in zip(graph.edges, angles) if -0.5 <= a <= 1.0]
    matrix = tools.to_scipy_sparse(graph, view_angle=(-0.5, 1.0))
    kept = sorted((int(r), int(c)) for r, c in zip(*matrix.nonzero()) if r < c)  # symmetric
    assert kept == sorted(inside) and 0 < len(inside) < len(graph.edges)
