"""Features of one series' visibility graph: degree distribution, mean degree, the
distance from the i.i.d. law of horizontal graphs, and a motif-score summary.

Everything here is computed from the degree-only builders, which keep O(n) memory and
run without the interpreter lock."""

from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

import kestrel_grid as kg

from ._graphs import FloatArray, Graph, IntArray, as_series
from ._options import KINDS, MISSING, Kind, Missing, Options, check_int, check_missing
from ._record import Record, as_record

__all__ = [
    "KINDS", "MISSING", "Kind", "Missing", "Options", "check_missing", "kept_samples",
    "visibility_graph", "record_graph", "record_edges", "degrees", "record_degrees", "degree_distribution", "iid_law", "iid_distance",
    "motif_summary", "summarize", "record_summary",
]



def kept_samples(values: FloatArray, missing: str) -> Optional[IntArray]:
    """Indices of the samples a build with ``missing`` keeps, or ``None`` when it keeps
    them all (nothing is missing, or ``missing`` is not ``"omit"``)."""
    return Record(values).kept(missing)


def degrees(
    values: Any,
    kind: Kind = "natural",
    skip_adjacent: bool = False,
    *,
    x: Any = None,
    penetrable: int = 0,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> IntArray:
    """Degree of every sample, as an (n,) int64 array, without storing edges.

    Args:
        values: The samples (any 1-d array-like).
        kind: ``"natural"`` or ``"horizontal"``.
        skip_adjacent: Leave out the pairs of neighbouring samples.
        x: Positions of the samples (finite, strictly increasing); ``None`` for
            ``0, 1, 2, ...``, or for a pandas Series its index when that holds times,
            periods or strictly increasing numbers (an index that holds no positions,
            such as text, raises TypeError). Times (numpy ``datetime64`` /
            ``timedelta64``, pandas, ``datetime`` objects) become integer offsets from
            the first in the coarsest exact unit; periods count their frequency. The
            horizontal rule does not depend on positions.
        penetrable: The largest number of blocking samples a visible pair may have
            between its ends; ``0`` for the ordinary graph.
        exact: Decide the natural rule exactly on the binary values (see
            ``kestrel_grid.build_graph``).
        missing: Missing samples (NaN): ``"omit"`` leaves them out, the others keeping
            their positions, so there is one degree per sample that is present;
            ``"raise"`` refuses them; ``"keep"`` builds with NaN as a value.
        decimals: ``None``, or decide the natural rule exactly on the values as
            decimals with at most this many places (see ``kestrel_grid.build_graph``).
        threads: How many threads the module may use for one series (``None``: its own
            choice, every core for long series); the result is the same either way.

    Returns:
        The degrees, from ``kestrel_grid.graph_degrees``.

    Raises:
        ValueError: A bad ``kind``, ``missing``, ``penetrable`` or ``decimals``, a value
            that is no decimal of ``decimals`` places, or positions that are not finite
            and strictly increasing (the message names the first).
        TypeError: ``penetrable`` or ``decimals`` is no int, or a Series' index that
            holds no positions.
    """
    options = Options(kind=kind, skip_adjacent=skip_adjacent, penetrable=penetrable, exact=exact,
                      missing=missing, decimals=decimals, threads=threads)
    return record_degrees(as_record(values, x), options)


def record_degrees(record: Record, options: Options) -> IntArray:
    """Degree of every sample of ``record`` that the build keeps, built with ``options``."""
    return np.asarray(
        kg.graph_degrees(record.values, options.kind, x=record.positions, **options.build_arguments())
    )


def record_edges(record: Record, options: Options) -> IntArray:
    """The (m, 2) int64 edges of ``record``'s graph built with ``options``, in the
    graph's edge order, naming the samples kept by their place among them."""
    return np.asarray(
        kg.graph_edge_array(record.values, options.kind, x=record.positions, **options.build_arguments())
    ).reshape(-1, 2)


def visibility_graph(
    values: Any,
    kind: Kind = "natural",
    skip_adjacent: bool = False,
    *,
    x: Any = None,
    penetrable: int = 0,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> Graph:
    """The graph object of a series, with the tools' defaults: missing samples left out
    (each other sample keeping its position) and, for a pandas Series, its index as
    positions when that holds times, periods or increasing numbers (see :func:`degrees`).

    Built by ``kestrel_grid.build_graph``: vertex ``k`` is the ``k``-th sample kept, at
    ``(position, value)``. For times the positions are integer offsets, and the graph's
    ``x_unit`` and ``x_origin`` say in what unit and from when; the adapters
    (:func:`~kestrel_grid_tools.to_networkx`, ...) carry them on.

    Example:
        >>> import pandas as pd
        >>> from kestrel_grid_tools import visibility_graph
        >>> s = pd.Series([2.0, None, 1.0, 3.0], index=pd.date_range("2024-05-01", periods=4))
        >>> g = visibility_graph(s)
        >>> g.vertices, g.edges, g.x_unit, g.x_origin
        ([(0.0, 2.0), (2.0, 1.0), (3.0, 3.0)], [(0, 1), (0, 2), (1, 2)], 'D', '2024-05-01')
    """
    options = Options(kind=kind, skip_adjacent=skip_adjacent, penetrable=penetrable, exact=exact,
                      missing=missing, decimals=decimals, threads=threads)
    return record_graph(as_record(values, x), options)


def record_graph(record: Record, options: Options) -> Graph:
    """The graph object of ``record`` built with ``options``."""
    positions: Any = record.positions
    if record.unit is not None and record.origin is not None:
        positions = record.times()  # the module turns them into the same offsets, and keeps the unit
    return kg.build_graph(record.values, options.kind, x=positions, **options.build_arguments())


def degree_distribution(degree_values: Any) -> Tuple[IntArray, FloatArray]:
    """(k, P(k)) for k = 0 .. max degree: the share of vertices with each degree, of a
    degree sequence or of a graph object's degrees.

    Empty input gives two empty arrays."""
    if hasattr(degree_values, "degrees_array"):
        degree_values = degree_values.degrees_array()
    counts = np.bincount(np.asarray(degree_values, dtype=np.int64))
    k = np.arange(counts.size, dtype=np.int64)
    if counts.size == 0:
        return k, np.zeros(0, dtype=np.float64)
    return k, counts / counts.sum()


def iid_law(k: Any, skip_adjacent: bool = False, *, penetrable: int = 0) -> FloatArray:
    """P(k) = (1/3)(2/3)^(k-2) for k >= 2 (0 below): the degree law of the horizontal
    graph of any i.i.d. continuous series. With adjacent pairs skipped every interior
    vertex loses two neighbours, so the law shifts to (1/3)(2/3)^k for k >= 0.

    With ``penetrable=L`` (at most L blockers between a visible pair) the law is
    ``P(k) = (1/(2L+3)) ((2L+2)/(2L+3))^(k-2(L+1))`` for ``k >= 2(L+1)``, shifted down by
    two with adjacent pairs skipped; ``L = 0`` is the law above."""
    penetrable = check_int("penetrable", penetrable, 0)
    k = np.asarray(k, dtype=np.float64)
    low = 2.0 * (penetrable + 1) - (2.0 if skip_adjacent else 0.0)
    base = 2.0 * penetrable + 3.0
    exponent = k - low
    return np.where(
        exponent >= 0, (1.0 / base) * np.power((base - 1.0) / base, np.maximum(exponent, 0)), 0.0
    )


def iid_distance(degree_values: Any, skip_adjacent: bool = False, *, penetrable: int = 0) -> float:
    """Largest ``|P(k) - law(k)|`` over all k, between the empirical degree distribution and
    the i.i.d. law (`iid_law`, with the same ``skip_adjacent`` and ``penetrable``). Beyond
    the largest degree the empirical share is 0 and the law decreases, so k up to max
    degree + 1 covers the supremum. NaN for an empty series."""
    check_int("penetrable", penetrable, 0)
    k, p = degree_distribution(degree_values)
    if p.size == 0:
        return math.nan
    k_all = np.arange(k.size + 1)
    p_all = np.concatenate([p, [0.0]])
    return float(np.max(np.abs(p_all - iid_law(k_all, skip_adjacent, penetrable=penetrable))))


def motif_summary(values: Any, window: int, skip_adjacent: bool = False) -> Dict[str, float]:
    """Count, mean, standard deviation, minimum and maximum of the horizontal window
    motif scores (exact ints from the module, summarised in float64). They belong to the
    ordinary horizontal graph: positions and the exact rule do not change it, and there
    is no penetrable variant.

    A series shorter than the window has no windows: the count is 0 and the rest NaN, so
    one short series does not stop a run over many. A window below 1 raises ValueError."""
    window = check_int("window", window, 1)
    series = as_series(values)
    scores: List[int] = []
    if window <= series.size:
        scores = kg.horizontal_window_motif_scores(series, window, skip_adjacent)
    if not scores:
        nan = math.nan
        return {"windows": 0, "motif_mean": nan, "motif_std": nan, "motif_min": nan, "motif_max": nan}
    array = np.asarray(scores, dtype=np.float64)
    return {
        "windows": len(scores),
        "motif_mean": float(array.mean()),
        "motif_std": float(array.std()),
        "motif_min": float(min(scores)),
        "motif_max": float(max(scores)),
    }


def summarize(
    values: Any,
    kind: Kind = "natural",
    skip_adjacent: bool = False,
    window: Optional[int] = None,
    *,
    x: Any = None,
    penetrable: int = 0,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> Dict[str, Any]:
    """Summary of one series' graph: samples, omitted samples, edges, mean and largest
    degree; for horizontal graphs the distance from the i.i.d. law; with `window`, the
    motif scores.

    Times as positions (see :func:`degrees`) add ``x_unit`` and ``x_origin``: the unit
    of the offsets and the first time. Missing samples (NaN) are left out by default (``missing="omit"``): ``samples``
    counts the samples in the graph, ``omitted`` the samples left out, and the motif
    scores run over the samples present, in order. ``"raise"`` refuses a missing sample;
    ``"keep"`` builds with NaN as a value (where it never blocks and sees every sample).

    ``x``, ``penetrable``, ``exact`` and ``decimals`` are passed to :func:`degrees`; the i.i.d.
    distance uses the law of the same ``penetrable``. Motif scores are those of the
    ordinary horizontal graph, which positions and ``exact`` do not change; a ``window``
    with ``penetrable`` above 0 raises ValueError, as there are no penetrable motif
    scores."""
    options = Options(kind=kind, skip_adjacent=skip_adjacent, penetrable=penetrable, exact=exact,
                      missing=missing, decimals=decimals, window=window, threads=threads)
    return record_summary(as_record(values, x), options)


def record_summary(record: Record, options: Options) -> Dict[str, Any]:
    """The summary of ``record``'s graph built with ``options`` (see :func:`summarize`)."""
    deg = record_degrees(record, options)
    n = int(deg.size)
    total = int(deg.sum())
    summary: Dict[str, Any] = {
        "kind": options.kind,
        "samples": n,
        "omitted": int(record.values.size) - n,
        "edges": total // 2,
        "mean_degree": total / n if n else math.nan,
        "max_degree": int(deg.max()) if n else 0,
    }
    summary.update(record.time_fields())  # positions that were times: their unit and origin
    if options.kind == "horizontal":
        summary["iid_distance"] = iid_distance(deg, options.skip_adjacent, penetrable=options.penetrable)
    if options.window is not None:
        summary.update(motif_summary(record.present(options.missing), options.window, options.skip_adjacent))
    return summary
