"""Directed views, edge weights and conversions to networkx, igraph and scipy.

Every function here takes a graph object (``VisibilityGraph`` or
``HorizontalVisibilityGraph``, also after edits) and works on its array exports in
O(n + m): node ``i`` of the result is vertex ``i`` of the graph, and edges keep the
graph's edge order. Vertex coordinates are used as they are: a graph built with
positions (``kestrel_grid.build_graph(values, x=times)``) carries them as x, so node
attributes ``x`` and the weights built from ``dx`` are in units of the positions, and after
``add_vertex`` a vertex's x need not equal its index. For a graph built from times, the
networkx and igraph graphs carry the graph's ``x_unit`` and ``x_origin`` as graph
attributes, so what ``x`` counts travels with them (into GraphML, for instance).

networkx, igraph and scipy are optional (``kestrel-grid[graphs]``) and imported only by
the function that needs them.
"""

from __future__ import annotations

from typing import Any, Dict, Optional, Tuple

import numpy as np

import kestrel_grid as kg

from ._graphs import FloatArray, Graph, IntArray, edge_array, vertex_array
from ._optional import require

DIRECTIONS: Tuple[str, ...] = ("left_to_right", "top_to_bottom")
"""The edge directions accepted by ``direction``."""

WEIGHTS: Tuple[str, ...] = (
    "slope",
    "abs_slope",
    "angle",
    "abs_angle",
    "distance",
    "sq_distance",
    "v_distance",
    "abs_v_distance",
    "h_distance",
    "abs_h_distance",
)
"""The geometric edge weights: computed from each edge's two vertices."""

EDGE_WEIGHTS: Tuple[str, ...] = WEIGHTS + ("penetrations",)
"""The edge weights accepted by ``weight``: :data:`WEIGHTS` and ``"penetrations"``, the
number of vertices blocking each edge."""

# Blocker tests per slice of the penetration count: 32 MiB of float64 temporaries.
_PENETRATION_SLICE = 1 << 22


def _choices(names: Tuple[str, ...]) -> str:
    return ", ".join(repr(name) for name in names)


def _check_direction(direction: str) -> None:
    if direction not in DIRECTIONS:
        raise ValueError(f"direction must be one of {_choices(DIRECTIONS)}, got {direction!r}")


def _check_weight(weight: str) -> None:
    if weight not in EDGE_WEIGHTS:
        raise ValueError(f"weight must be one of {_choices(EDGE_WEIGHTS)}, got {weight!r}")


def _check_view_angle(view_angle: Any) -> Optional[Tuple[float, float]]:
    if view_angle is None:
        return None
    try:
        low, high = (float(value) for value in view_angle)
    except (TypeError, ValueError):
        raise ValueError(f"view_angle must be two numbers (low, high), not {view_angle!r}") from None
    if not low <= high:
        raise ValueError(f"view_angle must have low <= high, not {view_angle!r}")
    return low, high


def _check_bounds(weight: Optional[str], min_weight: Optional[float],
                  max_weight: Optional[float]) -> None:
    if weight is None and (min_weight is not None or max_weight is not None):
        raise ValueError("min_weight and max_weight bound the edges' weight: give weight=")


def _penetrations(vertices: FloatArray, edges: IntArray, natural: bool) -> IntArray:
    """The number of vertices blocking each edge ``(low, high)``: those with an index
    strictly between its ends that the literal rule counts as blockers, at the vertices'
    own x. Natural rule: ``y_k >= fl(fl(q * fl(y_high - y_low)) + y_low)`` with
    ``q = fl(fl(x_k - x_low) / fl(x_high - x_low))``; horizontal rule: ``y_k`` at least
    the smaller end (a NaN end gives way to the other); NaN never blocks.

    For a graph built from a series by the float rule this is the least penetrable level
    whose graph holds the edge. O(total span of the edges), in slices of whole arrays."""
    count = np.zeros(edges.shape[0], dtype=np.int64)
    x, y = vertices[:, 0], vertices[:, 1]
    low, high = edges[:, 0], edges[:, 1]
    between = np.maximum(high - low - 1, 0)
    ends = np.cumsum(between)
    first = 0
    while first < edges.shape[0]:
        # Edges [first, last): at least one, and at most a slice's tests beyond that one.
        base = ends[first] - between[first]
        last = max(first + 1, int(np.searchsorted(ends, base + _PENETRATION_SLICE, side="right")))
        edge = np.repeat(np.arange(first, last), between[first:last])
        k = low[edge] + 1 + (np.arange(edge.size) - (ends[edge] - between[edge] - base))
        lo, hi = low[edge], high[edge]
        with np.errstate(all="ignore"):
            if natural:
                q = (x[k] - x[lo]) / (x[hi] - x[lo])
                blocked = y[k] >= q * (y[hi] - y[lo]) + y[lo]
            else:
                threshold = np.where(np.isnan(y[lo]) | (y[hi] < y[lo]), y[hi], y[lo])
                blocked = y[k] >= threshold
        count[first:last] = np.bincount(edge - first, weights=blocked, minlength=last - first)
        first = last
    return count


def edge_filter(vertices: FloatArray, edges: IntArray, weights: Optional[FloatArray],
                min_weight: Optional[float], max_weight: Optional[float],
                view_angle: Optional[Tuple[float, float]]) -> Optional[Any]:
    """Which edges (low index first) to keep: weights strictly between the bounds (NaN
    never is) and view angles, from the earlier vertex to the later, in ``view_angle``;
    ``None`` to keep all."""
    keep: Optional[Any] = None
    if view_angle is not None:
        angle = _weights(vertices, edges, "angle")
        keep = (angle >= view_angle[0]) & (angle <= view_angle[1])
    if weights is not None and (min_weight is not None or max_weight is not None):
        inside = np.ones(weights.size, dtype=bool)
        if min_weight is not None:
            inside &= weights > float(min_weight)
        if max_weight is not None:
            inside &= weights < float(max_weight)
        keep = inside if keep is None else keep & inside
    return keep


def _check_graph(graph: Any) -> None:
    if not isinstance(graph, (kg.VisibilityGraph, kg.HorizontalVisibilityGraph)):
        raise TypeError(
            "expected a VisibilityGraph or HorizontalVisibilityGraph, "
            f"got {type(graph).__name__}"
        )


def _oriented(edges: IntArray, y: FloatArray, direction: str) -> IntArray:
    """``edges`` (low index first) turned to ``direction``; a new array only when needed."""
    if direction == "left_to_right" or edges.shape[0] == 0:
        return edges
    # Reverse only where the right end is strictly higher: ties (-0.0 == 0.0 included)
    # and any comparison with NaN are false, so those pairs keep the stored order.
    flip = y[edges[:, 0]] < y[edges[:, 1]]
    return np.where(flip[:, None], edges[:, ::-1], edges)


def directed_edges(graph: Graph, direction: str = "left_to_right") -> IntArray:
    """The edges as ``(source, target)`` rows for a direction.

    ``"left_to_right"`` gives the stored order, lower vertex index first.
    ``"top_to_bottom"`` points every edge from the vertex with the higher value (y) to
    the one with the lower value; ties (equal values, ``-0.0`` against ``0.0`` too) and
    pairs where either value is NaN keep the left-to-right order. Directions follow
    vertex indices and values, never x, so they stay well defined after edits.

    Args:
        graph: a ``VisibilityGraph`` or ``HorizontalVisibilityGraph``.
        direction: one of :data:`DIRECTIONS`.

    Returns:
        A new ``(m, 2)`` int64 array in the graph's edge order.

    Raises:
        ValueError: ``direction`` is not one of :data:`DIRECTIONS`.
        TypeError: ``graph`` is not a graph object.
    """
    _check_direction(direction)
    _check_graph(graph)
    edges = edge_array(graph)
    if direction == "left_to_right":
        own: IntArray = edges.copy()  # the caller's own: the export is the graph's read-only block
        return own
    return _oriented(edges, vertex_array(graph)[:, 1], direction)


def in_out_degrees(graph: Graph, direction: str = "left_to_right") -> Tuple[IntArray, IntArray]:
    """In- and out-degree of every vertex with the edges turned to ``direction`` (see
    :func:`directed_edges`), counted on the edge array.

    Returns:
        ``(in_degree, out_degree)``, two ``(n,)`` int64 arrays in vertex order.

    Raises:
        ValueError: ``direction`` is not one of :data:`DIRECTIONS`.
        TypeError: ``graph`` is not a graph object.
    """
    _check_direction(direction)
    _check_graph(graph)
    return _in_out(edge_array(graph), vertex_array(graph)[:, 1], direction)


def _in_out(edges: IntArray, y: FloatArray, direction: str) -> Tuple[IntArray, IntArray]:
    """``(in_degree, out_degree)`` of the vertices with values ``y`` and ``edges`` (low
    index first) turned to ``direction``."""
    oriented = _oriented(edges, y, direction)
    n = y.size
    return (np.bincount(oriented[:, 1], minlength=n).astype(np.int64),
            np.bincount(oriented[:, 0], minlength=n).astype(np.int64))


def _weights(vertices: FloatArray, oriented: IntArray, weight: str) -> FloatArray:
    """The weight of every ``(source, target)`` row, without floating-point warnings."""
    source, target = oriented[:, 0], oriented[:, 1]
    out: FloatArray
    with np.errstate(all="ignore"):
        if weight in ("slope", "abs_slope", "angle", "abs_angle", "distance", "sq_distance"):
            dx = vertices[target, 0] - vertices[source, 0]
            dy = vertices[target, 1] - vertices[source, 1]
            if weight in ("slope", "abs_slope"):
                out = np.divide(dy, dx, out=dy)
            elif weight in ("angle", "abs_angle"):
                out = np.arctan(np.divide(dy, dx, out=dy), out=dy)
            elif weight == "distance":
                out = np.hypot(dx, dy, out=dy)
            else:
                # dx*dx + dy*dy in this order, rounded step by step like the formula.
                out = np.add(np.multiply(dx, dx, out=dx), np.multiply(dy, dy, out=dy), out=dy)
        else:
            column = 1 if weight in ("v_distance", "abs_v_distance") else 0
            out = vertices[target, column] - vertices[source, column]
        if weight.startswith("abs_"):
            np.abs(out, out=out)
    return out


def edge_weights(graph: Graph, weight: str, direction: str = "left_to_right") -> FloatArray:
    """A weight for every edge, computed from its source to its target.

    With ``dx = x_target - x_source`` and ``dy = y_target - y_source`` for the direction
    chosen (see :func:`directed_edges`), the weights are:

    - ``"slope"``: ``dy / dx``; ``"abs_slope"``: its absolute value;
    - ``"angle"``: ``arctan(dy / dx)`` in radians, in ``[-pi/2, pi/2]``;
      ``"abs_angle"``: its absolute value;
    - ``"distance"``: ``hypot(dx, dy)``; ``"sq_distance"``: ``dx*dx + dy*dy``;
    - ``"v_distance"``: ``dy``; ``"abs_v_distance"``: ``|dy|``;
    - ``"h_distance"``: ``dx``; ``"abs_h_distance"``: ``|dx|``;
    - ``"penetrations"``: the number of vertices between the ends (by index) that block
      the edge under the rule of the graph's class at the vertices' x (the least penetrable
      level whose float-rule graph holds the edge), whatever the direction.

    The arithmetic is plain IEEE float64 and raises no warnings: where ``dx`` is 0 (two
    vertices with one x after edits) the slope is ``+-inf`` (NaN when ``dy`` is 0 too) and
    the angle ``+-pi/2``; NaN or infinite coordinates give NaN or infinite weights
    (``inf - inf`` is NaN).

    Args:
        graph: a ``VisibilityGraph`` or ``HorizontalVisibilityGraph``.
        weight: one of :data:`EDGE_WEIGHTS`.
        direction: one of :data:`DIRECTIONS`.

    Returns:
        An ``(m,)`` float64 array in the graph's edge order.

    Raises:
        ValueError: ``weight`` or ``direction`` is not one of the choices.
        TypeError: ``graph`` is not a graph object.
    """
    _check_weight(weight)
    _check_direction(direction)
    _check_graph(graph)
    vertices = vertex_array(graph)
    return _graph_weights(graph, vertices, edge_array(graph), direction, weight)


def _graph_weights(graph: Graph, vertices: FloatArray, edges: IntArray, direction: str,
                   weight: str) -> FloatArray:
    """The weights of a graph's ``edges`` (low index first) turned to ``direction``."""
    if weight == "penetrations":  # the same count in either direction
        natural = isinstance(graph, kg.VisibilityGraph)
        return _penetrations(vertices, edges, natural).astype(np.float64)
    return _weights(vertices, _oriented(edges, vertices[:, 1], direction), weight)


def _time_axis(graph: Graph) -> Dict[str, str]:
    """``x_unit`` and ``x_origin`` of a graph built from times; empty otherwise."""
    unit, origin = graph.x_unit, graph.x_origin
    return {} if unit is None or origin is None else {"x_unit": unit, "x_origin": origin}


def _prepare(
    graph: Graph, direction: Optional[str], weight: Optional[str],
    min_weight: Optional[float] = None, max_weight: Optional[float] = None,
    view_angle: Optional[Tuple[float, float]] = None,
) -> Tuple[FloatArray, IntArray, Optional[FloatArray]]:
    """Vertices, oriented edges and optional weights for the converters (checked), the
    edges limited as :func:`edge_filter` says."""
    _check_bounds(weight, min_weight, max_weight)
    if weight is not None:
        _check_weight(weight)
    if direction is not None:
        _check_direction(direction)
    angles = _check_view_angle(view_angle)
    _check_graph(graph)
    vertices = vertex_array(graph)
    edges = edge_array(graph)
    oriented = _oriented(edges, vertices[:, 1], direction or "left_to_right")
    weights = None if weight is None else _graph_weights(graph, vertices, edges,
                                                         direction or "left_to_right", weight)
    keep = edge_filter(vertices, edges, weights, min_weight, max_weight, angles)
    if keep is not None:
        oriented = oriented[keep]
        weights = None if weights is None else weights[keep]
    return vertices, oriented, weights


def to_networkx(
    graph: Graph, direction: Optional[str] = None, weight: Optional[str] = None, *,
    min_weight: Optional[float] = None, max_weight: Optional[float] = None,
    view_angle: Optional[Tuple[float, float]] = None,
) -> Any:
    """The graph as a ``networkx.Graph``, or a ``networkx.DiGraph`` with a direction.

    Nodes ``0 .. n-1`` are added in vertex order with attributes ``x`` and ``y``; edges
    are added in the graph's edge order, oriented as in :func:`directed_edges`, with the
    attribute ``weight`` (see :func:`edge_weights`) when ``weight`` is given. Without a
    direction, weights are computed left to right.

    Args:
        graph: a ``VisibilityGraph`` or ``HorizontalVisibilityGraph``.
        direction: ``None`` for an undirected graph, or one of :data:`DIRECTIONS`.
        weight: ``None``, or one of :data:`EDGE_WEIGHTS`.
        min_weight, max_weight: Keep only the edges whose weight lies strictly between
            the bounds (either may be ``None``; NaN weights never do); they need
            ``weight``, else ValueError.
        view_angle: ``(low, high)`` in radians: keep only the edges whose view angle
            ``arctan(dy / dx)``, from the earlier vertex to the later, lies in
            ``[low, high]`` (the parametric natural visibility graph).

    Returns:
        A ``networkx.Graph`` or ``networkx.DiGraph``.

    Raises:
        MissingExtraError: networkx is not installed.
        ValueError: ``weight`` or ``direction`` is not one of the choices.
        TypeError: ``graph`` is not a graph object.
    """
    nx = require("networkx", "to_networkx")
    vertices, oriented, weights = _prepare(graph, direction, weight, min_weight, max_weight, view_angle)
    result = nx.Graph() if direction is None else nx.DiGraph()
    result.graph.update(_time_axis(graph))
    result.add_nodes_from(
        (index, {"x": x, "y": y}) for index, (x, y) in enumerate(vertices.tolist())
    )
    if weights is None:
        result.add_edges_from(oriented.tolist())
    else:
        result.add_weighted_edges_from(
            zip(oriented[:, 0].tolist(), oriented[:, 1].tolist(), weights.tolist())
        )
    return result


def to_igraph(
    graph: Graph, direction: Optional[str] = None, weight: Optional[str] = None, *,
    min_weight: Optional[float] = None, max_weight: Optional[float] = None,
    view_angle: Optional[Tuple[float, float]] = None,
) -> Any:
    """The graph as an ``igraph.Graph``, directed when a direction is given.

    Vertex ``i`` is vertex ``i`` of the graph, with attributes ``"x"`` and ``"y"``; edge
    ``k`` is edge ``k`` of the graph, oriented as in :func:`directed_edges`, with the
    attribute ``"weight"`` (see :func:`edge_weights`) when ``weight`` is given. Without a
    direction, weights are computed left to right.

    Args:
        graph: a ``VisibilityGraph`` or ``HorizontalVisibilityGraph``.
        direction: ``None`` for an undirected graph, or one of :data:`DIRECTIONS`.
        weight: ``None``, or one of :data:`EDGE_WEIGHTS`.
        min_weight, max_weight: Keep only the edges whose weight lies strictly between
            the bounds (either may be ``None``; NaN weights never do); they need
            ``weight``, else ValueError.
        view_angle: ``(low, high)`` in radians: keep only the edges whose view angle
            ``arctan(dy / dx)``, from the earlier vertex to the later, lies in
            ``[low, high]`` (the parametric natural visibility graph).

    Returns:
        An ``igraph.Graph``.

    Raises:
        MissingExtraError: igraph is not installed.
        ValueError: ``weight`` or ``direction`` is not one of the choices.
        TypeError: ``graph`` is not a graph object.
    """
    ig = require("igraph", "to_igraph")
    vertices, oriented, weights = _prepare(graph, direction, weight, min_weight, max_weight, view_angle)
    result = ig.Graph(n=vertices.shape[0], edges=oriented.tolist(), directed=direction is not None)
    result.vs["x"] = vertices[:, 0].tolist()
    result.vs["y"] = vertices[:, 1].tolist()
    for name, value in _time_axis(graph).items():
        result[name] = value
    if weights is not None:
        result.es["weight"] = weights.tolist()
    return result


def to_scipy_sparse(
    graph: Graph, direction: Optional[str] = None, weight: Optional[str] = None, *,
    min_weight: Optional[float] = None, max_weight: Optional[float] = None,
    view_angle: Optional[Tuple[float, float]] = None,
) -> Any:
    """The adjacency matrix as an ``n x n`` ``scipy.sparse.csr_array``.

    Entry ``[i, j]`` is set for every edge from ``i`` to ``j``: without a direction both
    ``[i, j]`` and ``[j, i]``, so the matrix is symmetric; with a direction only
    ``[source, target]`` as in :func:`directed_edges`. Without ``weight`` the entries are
    int64 ones (so row sums are degrees and matrix products count walks without
    overflow); with ``weight`` they are the float64 weights of :func:`edge_weights`
    (computed left to right when undirected). Every edge is stored, zero or NaN weights
    included, so the sparsity pattern is the graph. The result is canonical: sorted
    indices, no duplicates.

    Args:
        graph: a ``VisibilityGraph`` or ``HorizontalVisibilityGraph``.
        direction: ``None`` for a symmetric matrix, or one of :data:`DIRECTIONS`.
        weight: ``None``, or one of :data:`EDGE_WEIGHTS`.
        min_weight, max_weight: Keep only the edges whose weight lies strictly between
            the bounds (either may be ``None``; NaN weights never do); they need
            ``weight``, else ValueError.
        view_angle: ``(low, high)`` in radians: keep only the edges whose view angle
            ``arctan(dy / dx)``, from the earlier vertex to the later, lies in
            ``[low, high]`` (the parametric natural visibility graph).

    Returns:
        A ``scipy.sparse.csr_array`` of shape ``(n, n)``.

    Raises:
        MissingExtraError: scipy is not installed.
        ValueError: ``weight`` or ``direction`` is not one of the choices.
        TypeError: ``graph`` is not a graph object.
    """
    sparse = require("scipy.sparse", "to_scipy_sparse")
    vertices, oriented, weights = _prepare(graph, direction, weight, min_weight, max_weight, view_angle)
    n = vertices.shape[0]
    rows, cols = oriented[:, 0], oriented[:, 1]
    data = np.ones(rows.shape[0], dtype=np.int64) if weights is None else weights
    if direction is None:
        rows, cols = np.concatenate([rows, cols]), np.concatenate([cols, rows])
        data = np.concatenate([data, data])
    # The graph holds no self-loops or duplicate pairs, so summing duplicates in the
    # conversion changes no value; it only sorts the column indices of every row.
    matrix = sparse.coo_array((data, (rows, cols)), shape=(n, n)).tocsr()
    matrix.sum_duplicates()
    return matrix
