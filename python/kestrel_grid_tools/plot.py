"""Plots of a series with its visibility edges, and of degree distributions.

matplotlib is optional (``kestrel-grid[plot]``) and imported only when a plot is drawn.
:func:`plot_series_graph` and :func:`plot_degree_distribution` draw on a given Axes, or
on a new pyplot figure (so they show in notebooks); :func:`plot_overview` builds a
``matplotlib.figure.Figure`` directly, without pyplot's global state, so it is safe in
scripts, command-line tools and threads.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence, Tuple, cast

import numpy as np

import kestrel_grid as kg

from ._graphs import FloatArray, IntArray, as_series, degree_array, edge_array, vertex_array
from ._optional import require
from ._options import Kind, Missing, Options, check_int, check_kind
from ._record import as_record
from .features import degree_distribution, record_edges
from .features import iid_law as _iid_law

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

_FEATURE = "plotting"

#: Edges drawn at most by default. Beyond some ten thousand segments the edges cover the
#: area under the series completely, and every further one only costs time (and, in PDF
#: and SVG, file size); an evenly spaced subset of this size keeps the picture's meaning.
DEFAULT_MAX_EDGES = 20_000

#: The axis scales of a degree distribution: log P(k) against k, or against log k.
SCALES = ("semilog", "loglog")

# Up to this many edges keep the plain style (thin, alpha 0.35); more are shaded lighter
# so that their density still shows, and rasterized in vector formats.
_PLAIN_EDGES = 2_000
# Series longer than this are drawn as a line without markers: the markers merge into a
# band and take most of the drawing time.
_MARKED_SAMPLES = 5_000


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
    threads: Optional[int] = None,
) -> Tuple[FloatArray, IntArray, str, bool]:
    """Vertices ``(n, 2)``, edges ``(m, 2)``, the graph's kind and whether the x of the
    vertices are dates (matplotlib day numbers), from a graph or a series (placed at
    positions ``x``, ``None`` for ``0, 1, 2, ...``)."""
    if isinstance(graph_or_series, kg.VisibilityGraph):
        return vertex_array(graph_or_series), edge_array(graph_or_series), "natural", False
    if isinstance(graph_or_series, kg.HorizontalVisibilityGraph):
        return vertex_array(graph_or_series), edge_array(graph_or_series), "horizontal", False
    options = Options(kind=check_kind(kind), skip_adjacent=skip_adjacent, penetrable=penetrable,
                      exact=exact, missing=missing, decimals=decimals, threads=threads)
    record = as_record(graph_or_series, x)
    edges = record_edges(record, options)
    xs = np.arange(record.values.size, dtype=np.float64) if record.positions is None else record.positions
    if record.dates:
        # Dates are drawn as dates: matplotlib's day numbers, with a date axis.
        times = record.times()
        if hasattr(times, "to_timestamp"):  # periods: drawn at their first instant
            times = times.to_timestamp()
        xs = np.asarray(_matplotlib("dates").date2num(times), dtype=np.float64)
    vertices = np.column_stack([xs, record.values])
    kept = record.kept(options.missing)
    if kept is not None:
        vertices = vertices[kept]  # the graph's vertices: the samples present
    return vertices, edges, options.kind, record.dates


def _check_max_edges(max_edges: Optional[int]) -> None:
    if max_edges is not None:
        check_int("max_edges", max_edges, 0)


def _edge_shade(drawn: int) -> Mapping[str, Any]:
    """Line width and alpha for ``drawn`` edges. Up to a couple of thousand edges keep
    one style; beyond, alpha falls with the square root of the count (and the width a
    little), so that where edges pile up the colour deepens instead of saturating into a
    solid wedge. Many edges are rasterized: a PDF or SVG then holds one image of them
    instead of a path per edge, while the axes and text stay vector."""
    if drawn <= _PLAIN_EDGES:
        return {"linewidths": 0.5, "alpha": 0.35}
    ratio = _PLAIN_EDGES / drawn
    return {"linewidths": max(0.25, 0.5 * ratio ** 0.25),
            "alpha": max(0.02, 0.35 * ratio ** 0.5), "rasterized": True}


def _emptiest_corner(ax: Any, points: FloatArray) -> str:
    """The legend location, among the four corners of the Axes, over the fewest points
    (those of the series and the middles of the edges drawn).
    matplotlib's own "best" tests every point of the line against many candidate
    places, which takes seconds for long series; counting the points in four boxes of a
    third of the width and a quarter of the height is one pass over them."""
    (x0, x1), (y0, y1) = ax.get_xlim(), ax.get_ylim()
    fx = (points[:, 0] - x0) / ((x1 - x0) or 1.0)
    fy = (points[:, 1] - y0) / ((y1 - y0) or 1.0)
    left, right, low, high = fx < 1 / 3, fx > 2 / 3, fy < 1 / 4, fy > 3 / 4
    counts = {
        "upper right": np.count_nonzero(right & high), "upper left": np.count_nonzero(left & high),
        "lower left": np.count_nonzero(left & low), "lower right": np.count_nonzero(right & low),
    }
    return min(counts, key=lambda corner: counts[corner])  # the first of equals


def _draw_series_graph(
    ax: Any,
    vertices: FloatArray,
    edges: IntArray,
    kind: str,
    max_edges: Optional[int],
    title: Optional[str],
    line_kwargs: Optional[Mapping[str, Any]],
    edge_kwargs: Optional[Mapping[str, Any]],
    xlabel: Optional[str] = None,
    ylabel: Optional[str] = None,
) -> None:
    collections = _matplotlib("collections")
    n, m = vertices.shape[0], edges.shape[0]
    finite = np.isfinite(vertices[:, 0]) & np.isfinite(vertices[:, 1])

    # Edges whose ends are both finite points, then an evenly spaced subset of them.
    # (Millions of edges take a second to mask: skipped when every point is finite.)
    drawable = edges if finite.all() else edges[finite[edges[:, 0]] & finite[edges[:, 1]]]
    if max_edges is not None and drawable.shape[0] > max_edges:
        keep = (np.arange(max_edges, dtype=np.int64) * drawable.shape[0]) // max_edges
        drawable = drawable[keep]
    segments = np.stack([vertices[drawable[:, 0]], vertices[drawable[:, 1]]], axis=1)
    drawn = segments.shape[0]
    label = f"{m:,} edges" if drawn == m else f"{drawn:,} of {m:,} edges drawn"
    style = {"colors": "tab:blue", **_edge_shade(drawn), "zorder": 1, "label": label}
    style.update(edge_kwargs or {})
    ax.add_collection(collections.LineCollection(segments, **style), autolim=True)

    # The series as a line in x order (vertex order unless the graph was edited);
    # non-finite points become NaN, which matplotlib draws as gaps.
    points = np.where(finite[:, None], vertices, np.nan)
    if not np.all(vertices[1:, 0] >= vertices[:-1, 0]):
        points = points[np.argsort(vertices[:, 0], kind="stable")]
    markersize = 4.0 if n <= 200 else 2.0
    marker = "o" if n <= _MARKED_SAMPLES else ""
    line = {"color": "black", "linewidth": 0.8 if n <= _MARKED_SAMPLES else 0.5, "marker": marker,
            "markersize": markersize, "zorder": 2, "label": "series"}
    line.update(line_kwargs or {})
    ax.plot(points[:, 0], points[:, 1], **line)

    ax.autoscale_view()
    ax.set_xlabel("x" if xlabel is None else xlabel)
    ax.set_ylabel("value" if ylabel is None else ylabel)
    if title is None:
        title = f"{kind} visibility graph: {n:,} samples, {label}"
    ax.set_title(title)
    corner = "best"
    if n > _MARKED_SAMPLES:
        corner = _emptiest_corner(ax, np.concatenate([points, segments.mean(axis=1)]))
    legend = ax.legend(loc=corner, fontsize="small")
    # The legend shows the edges' colour at full strength, however light they are drawn.
    handles = getattr(legend, "legend_handles", None) or getattr(legend, "legendHandles", [])
    for handle in handles:
        handle.set_alpha(1.0)


def plot_series_graph(
    graph_or_series: Any,
    kind: str = "natural",
    skip_adjacent: bool = False,
    ax: Optional[Axes] = None,
    max_edges: Optional[int] = DEFAULT_MAX_EDGES,
    title: Optional[str] = None,
    line_kwargs: Optional[Mapping[str, Any]] = None,
    edge_kwargs: Optional[Mapping[str, Any]] = None,
    *,
    x: Any = None,
    penetrable: int = 0,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
    xlabel: Optional[str] = None,
    ylabel: Optional[str] = None,
) -> Axes:
    """Draw a series as a line with markers and its visibility edges over it.

    The edges are one ``LineCollection`` (thin, semi-transparent). Beyond 2,000 edges
    they are shaded lighter the more there are, so that their density shows instead of
    a solid wedge, and rasterized in vector formats; by default at most 20,000 of them,
    evenly spaced in edge order, are drawn, so that 10^6 samples still draw in seconds.
    Series longer than 5,000 samples are drawn without markers. Non-finite samples
    (NaN, +-inf) leave gaps in the line, and edges touching them are not drawn. The
    legend and the default title say how many edges were drawn out of how many.

    Args:
        graph_or_series: a ``VisibilityGraph`` or ``HorizontalVisibilityGraph`` (its
            vertices and edges are drawn at the vertices' x; ``kind``,
            ``skip_adjacent``, ``x``, ``penetrable`` and ``exact`` are then ignored), or
            a one-dimensional series, whose graph is built here with
            ``kestrel_grid.graph_edge_array``.
        kind: ``"natural"`` or ``"horizontal"``, for a series.
        skip_adjacent: leave out the pairs of neighbouring samples, for a series.
        ax: the Axes to draw on; ``None`` makes a new pyplot figure.
        max_edges: draw at most this many edges, evenly spaced in edge order (the
            default 20,000 is ``DEFAULT_MAX_EDGES``); ``None`` draws every edge.
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
        xlabel: the x axis label, e.g. the name and unit of the positions; ``None``
            for ``"x"``. Times as positions get a date axis whatever the label.
        ylabel: the y axis label, e.g. the name and unit of the values; ``None`` for
            ``"value"``.

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
        graph_or_series, kind, skip_adjacent, x, penetrable, exact, missing, decimals, threads
    )
    if ax is None:
        _, ax = _matplotlib("pyplot").subplots()
    _draw_series_graph(ax, vertices, edges, graph_kind, max_edges, title, line_kwargs, edge_kwargs,
                       xlabel, ylabel)
    if dates:
        _date_axis(ax)
    return cast("Axes", ax)


def _date_axis(ax: Any) -> None:
    """Dates on the x axis, labelled concisely so that they do not overlap."""
    dates = _matplotlib("dates")
    locator = dates.AutoDateLocator()
    ax.xaxis.set_major_locator(locator)
    ax.xaxis.set_major_formatter(dates.ConciseDateFormatter(locator))


def _check_scale(scale: str) -> None:
    if scale not in SCALES:
        raise ValueError(f"scale must be 'semilog' or 'loglog', got {scale!r}")


def _draw_degree_distribution(
    ax: Any,
    degrees: IntArray,
    iid_law: bool,
    skip_adjacent: bool,
    penetrable: int = 0,
    scale: str = "semilog",
    ccdf: bool = False,
    xlabel: Optional[str] = None,
    ylabel: Optional[str] = None,
    title: Optional[str] = None,
) -> None:
    k, p = degree_distribution(degrees)
    if ccdf:
        # P(K >= k): the shares summed from the top, from the smallest degree seen on
        # (below it the curve is 1 and says nothing).
        shown = np.cumsum(p[::-1])[::-1]
        seen = k >= (int(np.min(degrees)) if degrees.size else 0)
    else:
        shown = p
        seen = p > 0
    if scale == "loglog":
        seen &= k > 0  # k = 0 has no place on a log k axis
    ax.plot(k[seen], shown[seen], linestyle="none", marker="o", markersize=4,
            label="P(K ≥ k)" if ccdf else "P(k)")
    if iid_law and k.size:
        k_law = np.arange(k.size + 1)
        law = _iid_law(k_law, skip_adjacent, penetrable=penetrable)
        positive = law > 0
        if scale == "loglog":
            positive &= k_law > 0
        base = 2 * penetrable + 3
        low = 2 * (penetrable + 1) - (2 if skip_adjacent else 0)
        power = f"({base - 1}/{base})^" + (f"(k-{low})" if low else "k")
        if ccdf:
            # The law is geometric from k = low on, with ratio (b-1)/b: its tail sum
            # from k is P(k) / (1 - (b-1)/b) = b P(k) = ((b-1)/b)^(k-low).
            law = law * base
            formula = power
        else:
            formula = f"(1/{base})" + power
        ax.plot(k_law[positive], law[positive], color="tab:red", linewidth=1.0,
                label=f"i.i.d. law {formula}")
    ax.set_yscale("log")
    if scale == "loglog":
        ax.set_xscale("log")
    ax.set_xlabel("degree k" if xlabel is None else xlabel)
    ax.set_ylabel(("P(K ≥ k)" if ccdf else "P(k)") if ylabel is None else ylabel)
    ax.set_title(f"degree distribution ({degrees.size:,} vertices)" if title is None else title)
    if k.size:
        ax.legend(loc="best", fontsize="small")


def plot_degree_distribution(
    degrees_or_graph: Any,
    ax: Optional[Axes] = None,
    iid_law: bool = False,
    skip_adjacent: bool = False,
    *,
    penetrable: int = 0,
    scale: str = "semilog",
    ccdf: bool = False,
    xlabel: Optional[str] = None,
    ylabel: Optional[str] = None,
    title: Optional[str] = None,
) -> Axes:
    """Draw the degree distribution P(k) against k with a logarithmic y axis.

    Degrees with no vertex are left out (they have no place on a log scale), and so is
    k = 0 on a logarithmic k axis.

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
        scale: ``"semilog"`` (the default: log P against k, where the exponential
            i.i.d. law is a straight line) or ``"loglog"`` (log P against log k, where
            a power law is one).
        ccdf: draw the complementary cumulative distribution P(K >= k), the share of
            vertices with degree k or more, instead of P(k): it needs no binning and
            its tail is not lost in single counts. The i.i.d. law is drawn as its own
            tail sum, ``(2/3)^(k-2)``.
        xlabel: the k axis label; ``None`` for ``"degree k"``.
        ylabel: the probability axis label; ``None`` for ``"P(k)"`` (``"P(K ≥ k)"``
            with ``ccdf``).
        title: the Axes title; ``None`` for one giving the number of vertices.

    Returns:
        The Axes drawn on.

    Raises:
        MissingExtraError: matplotlib is not installed.
        ValueError: a bad ``scale``.
    """
    _check_scale(scale)
    _matplotlib("axes")
    if isinstance(degrees_or_graph, (kg.VisibilityGraph, kg.HorizontalVisibilityGraph)):
        degrees = degree_array(degrees_or_graph)
    else:
        degrees = np.asarray(degrees_or_graph, dtype=np.int64).reshape(-1)
    if ax is None:
        _, ax = _matplotlib("pyplot").subplots()
    _draw_degree_distribution(ax, degrees, iid_law, skip_adjacent, penetrable, scale, bool(ccdf),
                              xlabel, ylabel, title)
    return cast("Axes", ax)


def _save_format(path: Any, format: Optional[str], supported: Mapping[str, str]) -> str:
    """The format a figure is saved in: ``format`` when given, else the suffix of a path
    naming a format matplotlib writes, else PNG (also for file objects)."""
    if format is not None:
        return format.lower()
    if isinstance(path, (str, os.PathLike)):
        suffix = os.path.splitext(os.fspath(path))[1][1:].lower()
        if isinstance(suffix, str) and suffix in supported:
            return suffix
    return "png"


def plot_overview(
    series: Any,
    kind: str = "natural",
    skip_adjacent: bool = False,
    path: Optional[Any] = None,
    title: Optional[str] = None,
    figsize: Sequence[float] = (12, 4.5),
    dpi: float = 100,
    max_edges: Optional[int] = DEFAULT_MAX_EDGES,
    *,
    x: Any = None,
    penetrable: int = 0,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
    xlabel: Optional[str] = None,
    ylabel: Optional[str] = None,
    scale: str = "semilog",
    ccdf: bool = False,
    format: Optional[str] = None,
) -> Figure:
    """A figure with the series and its edges (left) and its degree distribution (right).

    For horizontal graphs the degree plot also shows the i.i.d. law. The figure is a
    ``matplotlib.figure.Figure`` made without pyplot, so nothing is shown or kept
    globally; display it in a notebook by evaluating it, or save it with ``path``.

    Args:
        series: a one-dimensional series, or a graph object (``kind`` is then its class).
        kind: ``"natural"`` or ``"horizontal"``.
        skip_adjacent: leave out the pairs of neighbouring samples.
        path: where to save the figure (a path or a binary file object); ``None``
            saves nothing. The format is ``format``, else the path's suffix when
            matplotlib writes it (``.png``, ``.pdf``, ``.svg``, ...), else PNG.
        title: a title over both plots.
        figsize: the figure size in inches (width, height).
        dpi: dots per inch; a saved PNG is ``int(figsize * dpi)`` pixels (no tight
            bounding box), e.g. 1200 x 450 for the defaults. In PDF and SVG, which
            are vector formats, it only sets the resolution of the rasterized edges
            (at least 300 dpi).
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
        xlabel, ylabel: the axis labels of the series plot (see
            :func:`plot_series_graph`), e.g. the names and units of the positions and
            of the values.
        scale, ccdf: how the degree distribution is drawn (see
            :func:`plot_degree_distribution`).
        format: the format to save in (``"png"``, ``"pdf"``, ``"svg"``, or another
            matplotlib writes); ``None`` to take it from ``path`` as above.

    Returns:
        The ``matplotlib.figure.Figure``.

    Raises:
        MissingExtraError: matplotlib is not installed.
        ValueError: a bad ``kind``, ``max_edges``, ``penetrable``, ``scale`` or
            ``format``, a series that is not 1-d, or bad positions.
    """
    _check_max_edges(max_edges)
    _check_scale(scale)
    figure_module = _matplotlib("figure")
    vertices, edges, graph_kind, dates = _graph_arrays(
        series, kind, skip_adjacent, x, penetrable, exact, missing, decimals, threads
    )
    degrees = np.bincount(edges.reshape(-1), minlength=vertices.shape[0]).astype(np.int64)

    figure = figure_module.Figure(figsize=tuple(figsize), dpi=dpi, layout="constrained")
    left, right = figure.subplots(1, 2, gridspec_kw={"width_ratios": [2, 1]})
    _draw_series_graph(left, vertices, edges, graph_kind, max_edges, None, None, None,
                       xlabel, ylabel)
    if dates:
        _date_axis(left)
    _draw_degree_distribution(
        right, degrees, graph_kind == "horizontal", skip_adjacent, int(penetrable), scale,
        bool(ccdf),
    )
    if title is not None:
        figure.suptitle(title)
    if path is not None:
        supported = figure.canvas.get_supported_filetypes()
        fmt = _save_format(path, format, supported)
        if fmt not in supported:
            raise ValueError(
                f"format must be one of {', '.join(sorted(supported))}, got {format!r}"
            )
        vector = fmt in ("pdf", "svg", "svgz", "eps", "ps")
        figure.savefig(path, dpi=max(dpi, 300) if vector else dpi, format=fmt)
    return cast("Figure", figure)
