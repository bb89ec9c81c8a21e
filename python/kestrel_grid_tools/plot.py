"""Plots of a series with its visibility edges, and of degree distributions.

matplotlib is optional (``kestrel-grid[plot]``) and imported only when a plot is drawn.
:func:`plot_series_graph` and :func:`plot_degree_distribution` draw on a given Axes, or
on a new pyplot figure (so they show in notebooks); :func:`plot_overview` builds a
``matplotlib.figure.Figure`` directly, without pyplot's global state, so it is safe in
scripts, command-line tools and threads.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence, Tuple, cast

import numpy as np

import kestrel_grid as kg

from ._graphs import FloatArray, IntArray, as_series, degree_array, edge_array, vertex_array
from ._optional import require
from ._options import Kind, Missing, Options, check_int, check_kind
from ._record import as_record
from .features import degree_distribution
from .features import iid_law as _iid_law

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

_FEATURE = "plotting"


def _matplotlib(submodule: str) -> Any:
    """Import ``matplotlib.<submodule>``; matplotlib itself first, so that a missing
    install raises ``MissingExtraError`` naming the ``plot`` extra."""
    require("matplotlib", _FEATURE)
    return require(f"matplotlib.{submodule}", _FEATURE)


def _graph_arrays(
    graph_or_series: Any,
    kind: str,
    skip_adjacent: bool,
    x: Any = None,
    penetrable: int = 0,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
) -> Tuple[FloatArray, IntArray, str, bool]:
    """Vertices ``(n, 2)``, edges ``(m, 2)``, the graph's kind and whether the x of the
    vertices are dates (matplotlib day numbers), from a graph or a series (placed at
    positions ``x``, ``None`` for ``0, 1, 2, ...``)."""
    if isinstance(graph_or_series, kg.VisibilityGraph):
        return vertex_array(graph_or_series), edge_array(graph_or_series), "natural", False
    if isinstance(graph_or_series, kg.HorizontalVisibilityGraph):
        return vertex_array(graph_or_series), edge_array(graph_or_series), "horizontal", False
    options = Options(check_kind(kind), skip_adjacent, penetrable, exact, missing, decimals)
    record = as_record(graph_or_series, x)
    edges = np.asarray(
        kg.graph_edge_array(record.values, options.kind, x=record.positions, **options.build_arguments())
    ).reshape(-1, 2)
    xs = np.arange(record.values.size, dtype=np.float64) if record.positions is None else record.positions
    if record.dates:
        # Dates are drawn as dates: matplotlib's day numbers, with a date axis.
        xs = np.asarray(_matplotlib("dates").date2num(record.times()), dtype=np.float64)
    vertices = np.column_stack([xs, record.values])
    kept = record.kept(options.missing)
    if kept is not None:
        vertices = vertices[kept]  # the graph's vertices: the samples present
    return vertices, edges, options.kind, record.dates


def _check_max_edges(max_edges: Optional[int]) -> None:
    if max_edges is not None:
        check_int("max_edges", max_edges, 0)


def _draw_series_graph(
    ax: Any,
    vertices: FloatArray,
    edges: IntArray,
    kind: str,
    max_edges: Optional[int],
    title: Optional[str],
    line_kwargs: Optional[Mapping[str, Any]],
    edge_kwargs: Optional[Mapping[str, Any]],
) -> None:
    collections = _matplotlib("collections")
    n, m = vertices.shape[0], edges.shape[0]
    finite = np.isfinite(vertices[:, 0]) & np.isfinite(vertices[:, 1])

    # Edges whose ends are both finite points, then an evenly spaced subset of them.
    drawable = edges[finite[edges[:, 0]] & finite[edges[:, 1]]]
    if max_edges is not None and drawable.shape[0] > max_edges:
        keep = (np.arange(max_edges, dtype=np.int64) * drawable.shape[0]) // max_edges
        drawable = drawable[keep]
    segments = np.stack([vertices[drawable[:, 0]], vertices[drawable[:, 1]]], axis=1)
    drawn = segments.shape[0]
    label = f"{m:,} edges" if drawn == m else f"{drawn:,} of {m:,} edges drawn"
    style = {"colors": "tab:blue", "linewidths": 0.5, "alpha": 0.35, "zorder": 1, "label": label}
    style.update(edge_kwargs or {})
    ax.add_collection(collections.LineCollection(segments, **style), autolim=True)

    # The series as a line in x order (vertex order unless the graph was edited);
    # non-finite points become NaN, which matplotlib draws as gaps.
    points = np.where(finite[:, None], vertices, np.nan)
    if not np.all(vertices[1:, 0] >= vertices[:-1, 0]):
        points = points[np.argsort(vertices[:, 0], kind="stable")]
    markersize = 4.0 if n <= 200 else 2.0 if n <= 5000 else 0.5
    line = {"color": "black", "linewidth": 0.8, "marker": "o", "markersize": markersize,
            "zorder": 2, "label": "series"}
    line.update(line_kwargs or {})
    ax.plot(points[:, 0], points[:, 1], **line)

    ax.autoscale_view()
    ax.set_xlabel("x")
    ax.set_ylabel("value")
    if title is None:
        title = f"{kind} visibility graph: {n:,} samples, {label}"
    ax.set_title(title)
    ax.legend(loc="best", fontsize="small")


def plot_series_graph(
    graph_or_series: Any,
    kind: str = "natural",
    skip_adjacent: bool = False,
    ax: Optional[Axes] = None,
    max_edges: Optional[int] = None,
    title: Optional[str] = None,
    line_kwargs: Optional[Mapping[str, Any]] = None,
    edge_kwargs: Optional[Mapping[str, Any]] = None,
    *,
    x: Any = None,
    penetrable: int = 0,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
) -> Axes:
    """Draw a series as a line with markers and its visibility edges over it.

    The edges are one ``LineCollection`` (thin, semi-transparent), so 10^5 and more
    edges draw quickly. Non-finite samples (NaN, +-inf) leave gaps in the line, and
    edges touching them are not drawn. The legend and the default title say how many
    edges were drawn out of how many.

    Args:
        graph_or_series: a ``VisibilityGraph`` or ``HorizontalVisibilityGraph`` (its
            vertices and edges are drawn at the vertices' x; ``kind``,
            ``skip_adjacent``, ``x``, ``penetrable`` and ``exact`` are then ignored), or
            a one-dimensional series, whose graph is built here with
            ``kestrel_grid.graph_edge_array``.
        kind: ``"natural"`` or ``"horizontal"``, for a series.
        skip_adjacent: leave out the pairs of neighbouring samples, for a series.
        ax: the Axes to draw on; ``None`` makes a new pyplot figure.
        max_edges: draw at most this many edges, evenly spaced in edge order.
        title: the Axes title; ``None`` for one naming the graph and its size.
        line_kwargs: extra ``Axes.plot`` arguments for the series line.
        edge_kwargs: extra ``LineCollection`` arguments for the edges.
        x: positions of the samples of a series (finite, strictly increasing), drawn
            as the x axis; ``None`` for ``0, 1, 2, ...``.
        penetrable: for a series, keep a pair visible with at most this many
            blocking samples between its ends.
        exact: for a series, decide the natural rule exactly on the binary values.
        decimals: for a series, decide the natural rule exactly on the values as
            decimals with at most this many places (see ``kestrel_grid.build_graph``).
        missing: for a series, what to do with missing samples (NaN): ``"omit"`` (the
            default) draws the graph of the samples present, each at its position;
            ``"raise"`` refuses them; ``"keep"`` builds with NaN.

    Returns:
        The Axes drawn on.

    Raises:
        MissingExtraError: matplotlib is not installed.
        ValueError: a bad ``kind``, ``max_edges`` or ``penetrable``, a series that is
            not 1-d, or bad positions.
    """
    _check_max_edges(max_edges)
    _matplotlib("collections")
    vertices, edges, graph_kind, dates = _graph_arrays(
        graph_or_series, kind, skip_adjacent, x, penetrable, exact, missing, decimals
    )
    if ax is None:
        _, ax = _matplotlib("pyplot").subplots()
    _draw_series_graph(ax, vertices, edges, graph_kind, max_edges, title, line_kwargs, edge_kwargs)
    if dates:
        _date_axis(ax)
    return cast("Axes", ax)


def _date_axis(ax: Any) -> None:
    """Dates on the x axis, labelled concisely so that they do not overlap."""
    dates = _matplotlib("dates")
    locator = dates.AutoDateLocator()
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))


def _draw_degree_distribution(
    ax: Any, degrees: IntArray, iid_law: bool, skip_adjacent: bool, penetrable: int = 0
) -> None:
    k, p = degree_distribution(degrees)
    seen = p > 0
    ax.plot(k[seen], p[seen], linestyle="none", marker="o", markersize=4, label="P(k)")
    if iid_law and k.size:
        k_law = np.arange(k.size + 1)
        law = _iid_law(k_law, skip_adjacent, penetrable=penetrable)
        positive = law > 0
        base = 2 * penetrable + 3
        low = 2 * (penetrable + 1) - (2 if skip_adjacent else 0)
        formula = f"(1/{base})({base - 1}/{base})^" + (f"(k-{low})" if low else "k")
        ax.plot(k_law[positive], law[positive], color="tab:red", linewidth=1.0,
                label=f"i.i.d. law {formula}")
    ax.set_yscale("log")
    ax.set_xlabel("degree k")
    ax.set_ylabel("P(k)")
    ax.set_title(f"degree distribution ({degrees.size:,} vertices)")
    if k.size:
        ax.legend(loc="best", fontsize="small")


def plot_degree_distribution(
    degrees_or_graph: Any,
    ax: Optional[Axes] = None,
    iid_law: bool = False,
    skip_adjacent: bool = False,
    *,
    penetrable: int = 0,
) -> Axes:
    """Draw the degree distribution P(k) against k with a logarithmic y axis.

    Degrees with no vertex are left out (they have no place on a log scale).

    Args:
        degrees_or_graph: a graph object, or the degree of every vertex (array-like of
            non-negative integers, as from ``degrees``).
        ax: the Axes to draw on; ``None`` makes a new pyplot figure.
        iid_law: also draw the degree law of horizontal graphs of i.i.d. series,
            ``(1/3)(2/3)^(k-2)`` (see ``iid_law``), as a labelled line.
        skip_adjacent: the degrees leave out neighbouring pairs, so the law drawn is
            the shifted one, ``(1/3)(2/3)^k``.
        penetrable: the degrees are those of a penetrable graph with this ``L``, so
            the law drawn is the one of ``iid_law`` with the same ``penetrable``.

    Returns:
        The Axes drawn on.

    Raises:
        MissingExtraError: matplotlib is not installed.
    """
    _matplotlib("axes")
    if isinstance(degrees_or_graph, (kg.VisibilityGraph, kg.HorizontalVisibilityGraph)):
        degrees = degree_array(degrees_or_graph)
    else:
        degrees = np.asarray(degrees_or_graph, dtype=np.int64).reshape(-1)
    if ax is None:
        _, ax = _matplotlib("pyplot").subplots()
    _draw_degree_distribution(ax, degrees, iid_law, skip_adjacent, penetrable)
    return cast("Axes", ax)


def plot_overview(
    series: Any,
    kind: str = "natural",
    skip_adjacent: bool = False,
    path: Optional[Any] = None,
    title: Optional[str] = None,
    figsize: Sequence[float] = (12, 4.5),
    dpi: float = 100,
    max_edges: Optional[int] = None,
    *,
    x: Any = None,
    penetrable: int = 0,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
) -> Figure:
    """A figure with the series and its edges (left) and its degree distribution (right).

    For horizontal graphs the degree plot also shows the i.i.d. law. The figure is a
    ``matplotlib.figure.Figure`` made without pyplot, so nothing is shown or kept
    globally; display it in a notebook by evaluating it, or save it with ``path``.

    Args:
        series: a one-dimensional series, or a graph object (``kind`` is then its class).
        kind: ``"natural"`` or ``"horizontal"``.
        skip_adjacent: leave out the pairs of neighbouring samples.
        path: where to save the figure as PNG (a path or a binary file object);
            ``None`` saves nothing.
        title: a title over both plots.
        figsize: the figure size in inches (width, height).
        dpi: dots per inch; a saved PNG is ``int(figsize * dpi)`` pixels (no tight
            bounding box), e.g. 1200 x 450 for the defaults.
        max_edges: draw at most this many edges (see :func:`plot_series_graph`).
        x: positions of the samples (finite, strictly increasing); ``None`` for
            ``0, 1, 2, ...``. Ignored for a graph object, drawn at its vertices' x.
        penetrable: keep a pair visible with at most this many blocking samples
            between its ends; the i.i.d. law drawn for a horizontal graph is the one
            for the same ``penetrable``.
        exact: decide the natural rule exactly on the binary values.
        decimals: decide the natural rule exactly on the values as decimals with at
            most this many places (see ``kestrel_grid.build_graph``).
        missing: missing samples (NaN): ``"omit"`` (the default), ``"raise"`` or
            ``"keep"``, as for :func:`plot_series_graph`.

    Returns:
        The ``matplotlib.figure.Figure``.

    Raises:
        MissingExtraError: matplotlib is not installed.
        ValueError: a bad ``kind``, ``max_edges`` or ``penetrable``, a series that is
            not 1-d, or bad positions.
    """
    _check_max_edges(max_edges)
    figure_module = _matplotlib("figure")
    vertices, edges, graph_kind, dates = _graph_arrays(
        series, kind, skip_adjacent, x, penetrable, exact, missing, decimals
    )
    degrees = np.bincount(edges.reshape(-1), minlength=vertices.shape[0]).astype(np.int64)

    figure = figure_module.Figure(figsize=tuple(figsize), dpi=dpi, layout="constrained")
    left, right = figure.subplots(1, 2, gridspec_kw={"width_ratios": [2, 1]})
    _draw_series_graph(left, vertices, edges, graph_kind, max_edges, None, None, None)
    if dates:
        _date_axis(left)
    _draw_degree_distribution(
        right, degrees, graph_kind == "horizontal", skip_adjacent, int(penetrable)
    )
    if title is not None:
        figure.suptitle(title)
    if path is not None:
        figure.savefig(path, dpi=dpi, format="png")
    return cast("Figure", figure)
