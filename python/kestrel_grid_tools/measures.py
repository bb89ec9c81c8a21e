"""Measures researchers take from visibility graphs: sequential motif profiles, time
irreversibility, degree entropies, the difference graph, multilayer graphs of several
channels, directed degrees, and edges filtered by weight, penetrations or view angle.

Everything is computed with numpy on the module's array exports (``graph_edge_array``
and ``graph_degrees``): one pass of whole-array operations over the edges, never a
Python loop per edge or per sample. Logarithms are natural (nats).

References:

- J. Iacovacci and L. Lacasa, Sequential visibility-graph motifs, Phys. Rev. E 93,
  042309 (2016).
- L. Lacasa, A. Nuñez, É. Roldán, J. M. R. Parrondo and B. Luque, Time series
  irreversibility: a visibility graph approach, Eur. Phys. J. B 85, 217 (2012).
- L. Lacasa, V. Nicosia and V. Latora, Network structure of multivariate time series,
  Sci. Rep. 5, 15508 (2015).
- I. V. Bezsudnov and A. A. Snarskii, From the time series to the complex networks: the
  parametric natural visibility graph, Physica A 414, 53-60 (2014).
"""

from __future__ import annotations

import dataclasses

import math
from dataclasses import dataclass
from functools import cached_property
from typing import Any, Dict, List, Optional, Sequence, Tuple

import numpy as np

import kestrel_grid as kg

from ._graphs import FloatArray, IntArray
from ._optional import require
from ._options import Kind, Missing, Options, check_kind
from ._record import Record, as_record
from .adapters import (EDGE_WEIGHTS, _check_bounds, _check_direction, _check_view_angle,
                       _check_weight, _in_out, _oriented, _weights, edge_filter)
from .features import record_degrees, record_edges

__all__ = [
    "MOTIF_SIZES",
    "EDGE_WEIGHTS",
    "motif_labels",
    "motif_profile",
    "iid_motif_profile",
    "directed_degrees",
    "irreversibility",
    "shannon_entropy",
    "degree_entropy",
    "joint_degree_entropy",
    "difference_degrees",
    "graph_index_complexity",
    "as_layers",
    "edge_overlap",
    "interlayer_mutual_information",
    "edge_penetrations",
    "visibility_edges",
    "feature_names",
    "feature_vector",
    "record_measures",
    "batch_measures",
]

MOTIF_SIZES: Tuple[int, ...] = (3, 4)
"""The window sizes of :func:`motif_profile`."""


# A window of 4 samples t..t+3 is coded by its edges beyond neighbours:
# bit 0 for (0,2), bit 1 for (1,3), bit 2 for (0,3). The code's motif label, less one:
# 1 none, 2 only (0,3), 3 only (0,2), 4 only (1,3), 5 (0,2)+(0,3), 6 (0,3)+(1,3),
# 7 (0,2)+(1,3), 8 all three.
_LABEL_OF_CODE = np.array([0, 2, 3, 6, 1, 4, 5, 7], dtype=np.int64)
# (0,2) and (1,3) together would need y1 < y2 and y2 < y1 in the horizontal graph, so
# its size-4 profile stops at label 6.
_LABELS = {("horizontal", 3): 2, ("natural", 3): 2, ("horizontal", 4): 6, ("natural", 4): 8}
# The horizontal profile of i.i.d. continuous series: the share of the 4! (3!) orderings
# of distinct values that give each motif (every ordering is equally likely).
_IID_PROFILE = {
    3: (2.0 / 3.0, 1.0 / 3.0),
    4: (1.0 / 3.0, 0.0, 1.0 / 4.0, 1.0 / 4.0, 1.0 / 12.0, 1.0 / 12.0),
}


def _check_size(size: Any) -> int:
    if isinstance(size, bool) or not isinstance(size, (int, np.integer)) or int(size) not in MOTIF_SIZES:
        raise ValueError(f"size must be 3 or 4, not {size!r}")
    return int(size)


def motif_labels(kind: Kind = "horizontal", size: int = 4) -> Tuple[str, ...]:
    """The edge sets of the motifs of ``kind`` and ``size``, in label order: entry
    ``l - 1`` names the edges beyond neighbours of motif ``l`` (``"-"`` for none)."""
    kind, size = check_kind(kind), _check_size(size)
    if size == 3:
        return ("-", "(0,2)")
    names = ("-", "(0,3)", "(0,2)", "(1,3)", "(0,2)+(0,3)", "(0,3)+(1,3)",
             "(0,2)+(1,3)", "(0,2)+(1,3)+(0,3)")
    return names[: _LABELS[(kind, 4)]]


def _profile(edges: IntArray, n: int, kind: Kind, size: int) -> FloatArray:
    """Motif shares of the windows of ``size`` samples of a graph on ``n`` samples with
    ``edges`` (low index first)."""
    labels = _LABELS[(kind, size)]
    windows = n - size + 1
    if windows <= 0:
        return np.full(labels, math.nan)
    span = edges[:, 1] - edges[:, 0]
    # Visibility between i and j depends only on the samples between them, which lie in
    # every window holding both: the graph's own edges of span 2 and 3 are the window's.
    two = np.zeros(n, dtype=np.int64)
    two[edges[span == 2, 0]] = 1
    if size == 3:
        counts = np.bincount(two[:windows], minlength=2)
    else:
        three = np.zeros(n, dtype=np.int64)
        three[edges[span == 3, 0]] = 1
        code = two[:windows] + 2 * two[1 : windows + 1] + 4 * three[:windows]
        counts = np.bincount(_LABEL_OF_CODE[code], minlength=8)[:labels]
    result: FloatArray = counts / windows
    return result


def motif_profile(
    values: Any,
    kind: Kind = "horizontal",
    size: int = 4,
    *,
    x: Any = None,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> FloatArray:
    """Sequential visibility-graph motif profile: the share of each motif over the
    ``n - size + 1`` windows of ``size`` consecutive samples (Iacovacci & Lacasa 2016).

    A window's motif is the subgraph its samples induce in the graph, classified by the
    edges beyond neighbours (neighbours always see each other). For ``size=4`` the
    labels are 1: none, 2: only (0,3), 3: only (0,2), 4: only (1,3), 5: (0,2) and (0,3),
    6: (0,3) and (1,3); the natural graph adds 7: (0,2) and (1,3), 8: all three (the
    horizontal graph can have neither). For ``size=3``: 1: none, 2: (0,2). The windows
    are classified from the graph's own edges, so ties and the natural rule's
    ``exact``/``decimals`` are those of the builders; motif 2 occurs only with ties.

    Missing samples are left out (``missing="omit"``), the windows running over the
    samples present. Fewer samples than ``size`` give NaN shares. O(n + m).

    Returns:
        An array of 6 (horizontal) or 8 (natural) shares for ``size=4``, 2 for ``size=3``,
        summing to 1 up to rounding.

    Raises:
        ValueError: A bad ``kind``, ``size`` or build option.

    Example:
        >>> from kestrel_grid_tools import motif_profile
        >>> motif_profile([3.0, 1.0, 2.0, 4.0, 0.5, 5.0], "horizontal").tolist()
        [0.3333333333333333, 0.0, 0.0, 0.3333333333333333, 0.3333333333333333, 0.0]
    """
    size = _check_size(size)
    options = Options(kind=kind, exact=exact, missing=missing, decimals=decimals, threads=threads)
    record = as_record(values, x)
    edges = record_edges(record, options)
    return _profile(edges, _kept_count(record, options), options.kind, size)


def iid_motif_profile(size: int = 4) -> FloatArray:
    """The horizontal motif profile of any i.i.d. continuous series: for ``size=4``
    (1/3, 0, 1/4, 1/4, 1/12, 1/12), for ``size=3`` (2/3, 1/3). The motif of a window
    depends only on the order of its values, and all ``size!`` orders are equally likely
    and distinct with probability 1; the shares are the fractions of orders giving each
    motif. The natural graph depends on more than the order, so it has no such law."""
    return np.array(_IID_PROFILE[_check_size(size)], dtype=np.float64)


def _kept_count(record: Record, options: Options) -> int:
    kept = record.kept(options.missing)
    return int(record.values.size if kept is None else kept.size)


def directed_degrees(
    values: Any,
    kind: Kind = "horizontal",
    direction: str = "left_to_right",
    *,
    x: Any = None,
    penetrable: int = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> Tuple[IntArray, IntArray]:
    """In- and out-degree of every sample kept, with the edges turned to ``direction``
    as :func:`~kestrel_grid_tools.directed_edges` turns them (``"left_to_right"``:
    earlier sample first, so the out-degree counts links to the future).

    Returns:
        ``(in_degree, out_degree)``, two (n,) int64 arrays; they add up to the degrees.
    """
    _check_direction(direction)
    options = Options(kind=kind, skip_adjacent=skip_adjacent, penetrable=penetrable, exact=exact,
                      missing=missing, decimals=decimals, threads=threads)
    record = as_record(values, x)
    edges = record_edges(record, options)
    return _in_out(edges, record.present(options.missing), direction)


# Entries of a count table that is always counted densely (32 MiB of counts).
_DENSE_TABLE = 1 << 22


def _counts(codes: IntArray, size: int) -> Tuple[IntArray, IntArray]:
    """The distinct values of ``codes`` (all in ``[0, size)``) in ascending order and how
    often each occurs: by a dense count table when it is small beside the codes, else by
    a sort. Both give the same arrays, so the choice never changes a result."""
    if size <= max(2 * codes.size, _DENSE_TABLE):
        table = np.bincount(codes, minlength=size)
        present = np.flatnonzero(table)
        return present.astype(np.int64), table[present].astype(np.int64)
    distinct, counts = np.unique(codes, return_counts=True)
    return distinct.astype(np.int64), counts.astype(np.int64)


def _entropies(table: Tuple[IntArray, IntArray], width: int, totals: IntArray) -> FloatArray:
    """Shannon entropy (nats) of each series' distribution from a count table whose codes
    are ``series * width + value``; NaN for a series without counts. Each series' terms
    are summed in code order, so a series gives the same bits alone or in a batch."""
    codes, counts = table
    series = codes // width
    p = counts / totals[series]
    result: FloatArray = np.asarray(-np.bincount(series, weights=p * np.log(p), minlength=totals.size),
                                    dtype=np.float64)
    result[totals == 0] = math.nan
    return result


def _divergences(p: Tuple[IntArray, IntArray], q: Tuple[IntArray, IntArray], width: int,
                 totals_p: IntArray, totals_q: IntArray) -> FloatArray:
    """``D(P || Q)`` (nats) of each series from two count tables coded as in
    :func:`_entropies`, the values where either count is zero left out; NaN for a
    series where either has no counts."""
    common, at_p, at_q = np.intersect1d(p[0], q[0], assume_unique=True, return_indices=True)
    series = common // width
    share_p = p[1][at_p] / totals_p[series]
    share_q = q[1][at_q] / totals_q[series]
    result: FloatArray = np.asarray(np.bincount(series, weights=share_p * np.log(share_p / share_q),
                                                minlength=totals_p.size), dtype=np.float64)
    result[(totals_p == 0) | (totals_q == 0)] = math.nan
    return result


# A count table: the distinct codes ``series * width + value`` (for pairs
# ``series * width^2 + first * width + second``) ascending, their counts, and the width.
Table = Tuple[IntArray, IntArray, int]


@dataclass(frozen=True)
class MeasureTables:
    """The integer count tables every measure of :func:`batch_measures` is computed from:
    made from edge arrays by :func:`edge_tables`, or by the module straight from a block
    of equal-length series (:func:`block_tables`); both give the same integers."""

    sizes: IntArray  # samples of each series
    edge_counts: IntArray  # edges of each series' graph
    degree: Table
    joint: Table  # (degree(low), degree(high)) of each edge
    motif_codes: IntArray  # (series, 8): windows of 4 by their code
    out_degree: Table  # of the horizontal graph, edges pointing to the future
    in_degree: Table
    out_pairs: Table  # (out(low), out(high)) of each horizontal edge
    in_pairs: Table  # (in(high), in(low)): the pair of the same edge read backwards
    difference: Optional[Table]  # natural minus horizontal degree (natural kind)


@dataclass(frozen=True)
class _Batch:
    """Graphs of several series as one: their edges renumbered into one vertex range."""

    sizes: IntArray  # samples of each series
    starts: IntArray  # first vertex of each series
    vertex_series: IntArray  # series of each vertex
    edges: IntArray  # (m, 2), all series
    edge_counts: IntArray  # edges of each series
    edge_series: IntArray  # series of each edge

    @staticmethod
    def of(sizes: Sequence[int], edges: Sequence[IntArray]) -> "_Batch":
        size = np.asarray(sizes, dtype=np.int64).reshape(-1)
        starts = np.zeros(size.size, dtype=np.int64)
        np.cumsum(size[:-1], out=starts[1:])
        counts = np.array([e.shape[0] for e in edges], dtype=np.int64)
        series = np.arange(size.size, dtype=np.int64)
        if size.size == 1:  # one series: its own edges, no renumbering
            joined = np.asarray(edges[0], dtype=np.int64).reshape(-1, 2)
            return _Batch(size, starts, np.zeros(int(size[0]), dtype=np.int64), joined, counts,
                          np.zeros(int(counts[0]), dtype=np.int64))
        joined = (np.concatenate(edges) if edges else np.zeros((0, 2), dtype=np.int64)).astype(np.int64)
        joined = joined.reshape(-1, 2) + np.repeat(starts, counts)[:, None]
        return _Batch(size, starts, np.repeat(series, size), joined, counts, np.repeat(series, counts))

    @cached_property
    def left(self) -> IntArray:
        return np.ascontiguousarray(self.edges[:, 0])

    @cached_property
    def right(self) -> IntArray:
        return np.ascontiguousarray(self.edges[:, 1])

    @cached_property
    def out_degree(self) -> IntArray:
        return np.bincount(self.left, minlength=self.vertices).astype(np.int64)

    @cached_property
    def in_degree(self) -> IntArray:
        return np.bincount(self.right, minlength=self.vertices).astype(np.int64)

    @property
    def vertices(self) -> int:
        return int(self.sizes.sum())

    def degrees(self) -> IntArray:
        result: IntArray = self.out_degree + self.in_degree
        return result

    def value_table(self, value: IntArray, width: int = 0) -> Table:
        """Count table of a non-negative ``value`` per vertex, per series, of ``width``
        (by default one more than the largest value)."""
        width = width or _width(value)
        return _counts(self.coded(value, width), self.sizes.size * width) + (width,)

    def coded(self, value: IntArray, width: int) -> IntArray:
        """``series * width + value`` per vertex."""
        if self.sizes.size == 1:
            return value
        return self.vertex_series * width + value

    def pair_table(self, first: IntArray, second: IntArray, width: int,
                   reverse: bool = False) -> Tuple[IntArray, IntArray]:
        """Count table, per series, of the pairs ``(first[i], second[j])`` of the edges
        ``(i, j)``, or ``(first[j], second[i])`` with ``reverse``; ``first`` and
        ``second`` are per vertex, below ``width``."""
        square = width * width
        count = self.sizes.size
        # An edge joins two vertices of one series, so the series goes with either end:
        # the code series * width^2 + first * width + second is two gathers and a sum.
        head = first * width
        if count > 1:
            head += self.vertex_series * square
        near, far = (self.right, self.left) if reverse else (self.left, self.right)
        codes = head[near]
        codes += second[far]
        if count == 1:
            return _counts(codes, square)
        # The edges come series by series, so the table is counted over groups of
        # series small enough for a dense table each; every group's codes are above the
        # previous group's, so the pieces join in ascending order as one table would.
        group = max(1, _DENSE_TABLE // square)
        if group >= count:
            return _counts(codes, count * square)
        bounds = np.zeros(count + 1, dtype=np.int64)
        np.cumsum(self.edge_counts, out=bounds[1:])
        found: List[IntArray] = []
        tallies: List[IntArray] = []
        for first_series in range(0, count, group):
            last = min(count, first_series + group)
            low, high = int(bounds[first_series]), int(bounds[last])
            distinct, counts = _counts(codes[low:high] - first_series * square,
                                       (last - first_series) * square)
            found.append(distinct + first_series * square)
            tallies.append(counts)
        return np.concatenate(found), np.concatenate(tallies)


def _joint_entropies(tables: MeasureTables) -> FloatArray:
    return _entropies(tables.joint[:2], tables.joint[2] ** 2, tables.edge_counts)


def _irreversibilities(tables: MeasureTables, pairs: bool) -> FloatArray:
    """The divergences of the directed horizontal graphs in ``tables``, per series."""
    width = tables.out_degree[2]
    if not pairs:
        return _divergences(tables.out_degree[:2], tables.in_degree[:2], width, tables.sizes,
                            tables.sizes)
    # Over the edges: a pair table's counts sum to its series' edge count.
    edges = np.bincount(tables.out_pairs[0] // (width * width), weights=tables.out_pairs[1],
                        minlength=tables.sizes.size).astype(np.int64)
    return _divergences(tables.out_pairs[:2], tables.in_pairs[:2], width * width, edges, edges)


def _horizontal_tables(edges: IntArray, n: int) -> MeasureTables:
    """The tables of one graph on ``n`` samples, its ``edges`` read as horizontal."""
    return edge_tables("horizontal", [n], [edges], [edges])


def _irreversibility(edges: IntArray, n: int, pairs: bool) -> float:
    """The divergence of a horizontal graph's ``edges`` on ``n`` samples."""
    return float(_irreversibilities(_horizontal_tables(edges, n), pairs)[0])


def irreversibility(
    values: Any, *, pairs: bool = False, missing: Missing = "omit", threads: Optional[int] = None
) -> float:
    """Time irreversibility of a series (Lacasa et al. 2012): the Kullback-Leibler
    divergence ``D(P_out || P_in) = sum_k P_out(k) log(P_out(k) / P_in(k))`` between the
    out- and in-degree distributions of its directed horizontal graph, each edge pointing
    to the future (out-degree: links to later samples, in-degree: to earlier ones).

    The estimator is the paper's plug-in one: the distributions are the empirical shares
    over the samples, the logarithm is natural, and the degrees where either share is
    zero are left out of the sum. A series read backwards swaps ``P_out`` and ``P_in``;
    for a reversible process the value tends to 0 as n grows.

    With ``pairs=True`` the degree-degree variant: the distributions are those of the
    pairs of degrees at the two ends of each edge ``i < j``, ``(k_out(i), k_out(j))``
    against ``(k_in(j), k_in(i))``, the pair the same edge has in the reversed series;
    it sees irreversible processes whose degree distributions agree.

    Missing samples are left out by default; NaN for an empty series (or one without
    edges, for ``pairs``).
    """
    options = Options(kind="horizontal", missing=missing, threads=threads)
    record = as_record(values)
    edges = record_edges(record, options)
    return _irreversibility(edges, _kept_count(record, options), bool(pairs))


def shannon_entropy(degree_values: Any) -> float:
    """``-sum_k P(k) log P(k)`` (nats) of the distribution of the given non-negative
    integers, e.g. degrees; NaN for none."""
    counts = np.bincount(np.asarray(degree_values, dtype=np.int64).ravel())
    return _entropy(counts)


def _entropy(counts: IntArray) -> float:
    """Entropy (nats) of a count vector, summed as every measure here sums it."""
    present = np.flatnonzero(counts).astype(np.int64)
    total = np.array([int(counts.sum())], dtype=np.int64)
    return float(_entropies((present, counts[present].astype(np.int64)), max(1, counts.size), total)[0])


def degree_entropy(
    values: Any,
    kind: Kind = "natural",
    *,
    x: Any = None,
    penetrable: int = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> float:
    """Shannon entropy (nats) of the degree distribution of the series' graph, from the
    degree-only builder (O(n) memory); NaN for an empty series."""
    options = Options(kind=kind, skip_adjacent=skip_adjacent, penetrable=penetrable, exact=exact,
                      missing=missing, decimals=decimals, threads=threads)
    return shannon_entropy(record_degrees(as_record(values, x), options))


def _joint_entropy(edges: IntArray, n: int) -> float:
    return float(_joint_entropies(_horizontal_tables(edges, n))[0])


def joint_degree_entropy(
    values: Any,
    kind: Kind = "natural",
    *,
    x: Any = None,
    penetrable: int = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> float:
    """Shannon entropy (nats) of the joint degree-degree distribution ``P(k, k')``: the
    share of edges ``i < j`` whose earlier end has degree ``k`` and later end ``k'``.
    NaN for a graph without edges."""
    options = Options(kind=kind, skip_adjacent=skip_adjacent, penetrable=penetrable, exact=exact,
                      missing=missing, decimals=decimals, threads=threads)
    record = as_record(values, x)
    edges = record_edges(record, options)
    return _joint_entropy(edges, _kept_count(record, options))


def difference_degrees(
    values: Any,
    *,
    x: Any = None,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> IntArray:
    """Degrees of the difference visibility graph: natural minus horizontal degree of
    every sample kept. The horizontal graph is a subgraph of the natural one (samples
    below both ends lie below the chord), so these are the degrees of the natural edges
    the horizontal rule does not give. Its entropy is
    ``shannon_entropy(difference_degrees(values))``."""
    record = as_record(values, x)
    natural = record_degrees(record, Options(kind="natural", exact=exact, missing=missing,
                                             decimals=decimals, threads=threads))
    horizontal = record_degrees(record, Options(kind="horizontal", missing=missing,
                                                threads=threads))
    result: IntArray = natural - horizontal
    return result


def graph_index_complexity(
    values: Any,
    kind: Kind = "natural",
    *,
    x: Any = None,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> float:
    """Graph index complexity ``4 c (1 - c)`` with
    ``c = (lambda - 2 cos(pi / (n + 1))) / (n - 1 - 2 cos(pi / (n + 1)))``, ``lambda`` the
    largest eigenvalue of the adjacency matrix (Kim & Wilhelm, Physica A 387, 2008): 0
    for the path of neighbours alone and for the complete graph, up to 1 between. The
    eigenvalue comes from scipy's sparse Lanczos solver (the ``graphs`` extra), to about
    1e-10 relative; NaN below 3 samples."""
    sparse = require("scipy.sparse", "graph_index_complexity")
    linalg = require("scipy.sparse.linalg", "graph_index_complexity")
    options = Options(kind=kind, exact=exact, missing=missing, decimals=decimals, threads=threads)
    record = as_record(values, x)
    edges = record_edges(record, options)
    n = _kept_count(record, options)
    if n < 3:
        return math.nan
    rows = np.concatenate([edges[:, 0], edges[:, 1]])
    cols = np.concatenate([edges[:, 1], edges[:, 0]])
    matrix = sparse.csr_array((np.ones(rows.size), (rows, cols)), shape=(n, n))
    if n <= 64:  # the dense solver is exact enough and faster for tiny graphs
        largest = float(np.linalg.eigvalsh(matrix.toarray())[-1])
    else:
        # A fixed start (ARPACK's own is random), so that a series always gives the
        # same value: all ones overlaps the positive leading eigenvector of a connected
        # graph.
        largest = float(linalg.eigsh(matrix, k=1, which="LA", tol=1e-12, v0=np.ones(n),
                                     return_eigenvectors=False)[0])
    path = 2.0 * math.cos(math.pi / (n + 1))
    c = min(1.0, max(0.0, (largest - path) / (n - 1 - path)))
    return 4.0 * c * (1.0 - c)


# --- several channels as layers on one node set ---------------------------------------

def as_layers(
    data: Any,
    *,
    channel_column: str = "channel",
    time_column: Optional[str] = "time",
    value_column: str = "value",
) -> Tuple[FloatArray, List[Any]]:
    """The channels of a multivariate series as an (M, n) float64 array and their names.

    ``data`` is an (M, n) array-like (names 0 .. M-1), a wide pandas DataFrame (one
    column per channel, rows in time order), or a long pandas DataFrame with a
    ``channel_column`` (rows sorted by time within each channel, stable, when
    ``time_column`` is given; every channel must have the same number of rows).

    Raises:
        ValueError: Fewer than one channel, channels of different lengths, or input that
            is not two-dimensional.
    """
    if hasattr(data, "columns") and hasattr(data, "iloc"):
        pd = require("pandas", "as_layers")
        if channel_column in list(data.columns):
            if value_column not in list(data.columns):
                raise ValueError(f"column {value_column!r} not found; available columns: "
                                 f"{list(data.columns)!r}")
            keys = [channel_column] + ([time_column] if time_column in list(data.columns) else [])
            ordered = data.sort_values(keys, kind="stable")
            codes, names = pd.factorize(ordered[channel_column], sort=True)
            counts = np.bincount(codes, minlength=len(names))
            if counts.size and not (counts == counts[0]).all():
                raise ValueError("every channel needs the same number of samples, got "
                                 f"{dict(zip(list(names), counts.tolist()))!r}")
            values = ordered[value_column].to_numpy(dtype=np.float64, na_value=np.nan)
            return values.reshape(len(names), -1), list(names)
        wide = data.to_numpy(dtype=np.float64, na_value=np.nan).T
        return np.ascontiguousarray(wide), list(data.columns)
    array = np.asarray(data, dtype=np.float64)
    if array.ndim != 2:
        raise ValueError(f"layers must be two-dimensional (channels, samples), got shape {array.shape}")
    return array, list(range(array.shape[0]))


def _layer_options(kind: Kind, exact: bool, decimals: Optional[int],
                   threads: Optional[int]) -> Options:
    # The layers share one node set, so a missing sample would change it: refused.
    return Options(kind=kind, exact=exact, missing="raise", decimals=decimals, threads=threads)


def edge_overlap(
    layers: Any,
    kind: Kind = "natural",
    *,
    exact: bool = False,
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
    channel_column: str = "channel",
    time_column: Optional[str] = "time",
    value_column: str = "value",
) -> float:
    """Average edge overlap of the multiplex of the channels' graphs (Lacasa, Nicosia &
    Latora 2015): ``sum over pairs i<j of the number of layers holding (i, j)``, divided
    by ``M`` times the number of pairs held by at least one layer. 1 when every layer has
    the same edges, ``1/M`` when no edge is shared; NaN without edges.

    ``layers`` as :func:`as_layers` takes them; missing samples are refused (the layers
    share their nodes)."""
    array, _ = as_layers(layers, channel_column=channel_column, time_column=time_column,
                         value_column=value_column)
    options = _layer_options(kind, exact, decimals, threads)
    count, n = array.shape
    if count == 0:
        return math.nan
    keys = [record_edges(Record(row), options) for row in array]
    codes = np.concatenate([edges[:, 0] * n + edges[:, 1] for edges in keys])
    distinct = np.unique(codes).size
    if distinct == 0:
        return math.nan
    return float(codes.size / (count * distinct))


def interlayer_mutual_information(
    layers: Any,
    kind: Kind = "natural",
    *,
    exact: bool = False,
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
    channel_column: str = "channel",
    time_column: Optional[str] = "time",
    value_column: str = "value",
) -> FloatArray:
    """The (M, M) matrix of mutual information (nats) between the degree sequences of
    every two layers: ``I(a, b) = sum P(k, k') log(P(k, k') / (P_a(k) P_b(k')))`` over the
    joint distribution of the degrees ``(k_a(t), k_b(t))`` of each node (Lacasa, Nicosia &
    Latora 2015). Symmetric; the diagonal holds each layer's degree entropy. NaN entries
    for layers without samples."""
    array, _ = as_layers(layers, channel_column=channel_column, time_column=time_column,
                         value_column=value_column)
    options = _layer_options(kind, exact, decimals, threads)
    count, n = array.shape
    degree = [record_degrees(Record(row), options) for row in array]
    result = np.full((count, count), math.nan)
    if n == 0:
        return result
    entropy = [_entropy(np.bincount(d)) for d in degree]
    for a in range(count):
        result[a, a] = entropy[a]
        for b in range(a + 1, count):
            base = int(degree[b].max()) + 1
            size = (int(degree[a].max()) + 1) * base
            table = _counts(degree[a] * base + degree[b], size)
            joint = float(_entropies(table, size, np.array([n], dtype=np.int64))[0])
            # I(a, b) = H(a) + H(b) - H(a, b): the same sum as the definition.
            result[a, b] = result[b, a] = max(0.0, entropy[a] + entropy[b] - joint)
    return result


# --- edges with penetrations, weight bounds and view angles ----------------------------

def edge_penetrations(record: Record, options: Options) -> Tuple[IntArray, IntArray]:
    """The edges of ``record``'s graph built with ``options`` and the number of samples
    blocking each (0 to ``options.penetrable``).

    An edge with ``b`` blockers is in the graphs of every ``penetrable >= b`` and in none
    below, so its count is the least level whose graph holds it: the graphs of levels
    ``0 .. penetrable - 1`` are built by the module (so ties, NaN and the natural rule's
    exactness are the builders' own) and each edge takes the first level listing it.
    O((L + 1)(n + m) log m) for ``L = options.penetrable``."""
    edges = record_edges(record, options)
    n = _kept_count(record, options)
    count = np.full(edges.shape[0], options.penetrable, dtype=np.int64)
    if options.penetrable == 0 or edges.shape[0] == 0:
        return edges, np.zeros(edges.shape[0], dtype=np.int64)
    key = edges[:, 0] * n + edges[:, 1]
    # Edges are listed in ascending pair order by every builder, but sorting the keys
    # makes the lookup independent of the order.
    order = np.argsort(key, kind="stable")
    sorted_key = key[order]
    for level in range(options.penetrable - 1, -1, -1):
        lower = record_edges(record, dataclasses.replace(options, penetrable=level))
        found = np.searchsorted(sorted_key, lower[:, 0] * n + lower[:, 1])
        # Every edge of a lower level is an edge of this one (fewer blockers allowed).
        count[order[found]] = level
    return edges, count


def visibility_edges(
    values: Any,
    kind: Kind = "natural",
    *,
    weight: Optional[str] = None,
    direction: str = "left_to_right",
    min_weight: Optional[float] = None,
    max_weight: Optional[float] = None,
    view_angle: Optional[Tuple[float, float]] = None,
    x: Any = None,
    penetrable: int = 0,
    skip_adjacent: bool = False,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> Tuple[IntArray, Optional[FloatArray]]:
    """The edges of a series' graph, turned to ``direction``, with an optional weight
    and filters, all on whole arrays.

    Args:
        weight: ``None``, one of the adapters' :data:`WEIGHTS` (computed from source to
            target with x the position, see :func:`~kestrel_grid_tools.edge_weights`),
            or ``"penetrations"``: the number of samples blocking the edge (0 unless
            ``penetrable`` is above 0; see :func:`edge_penetrations`).
        min_weight, max_weight: Keep only the edges whose weight lies strictly between
            the bounds (either may be ``None``); NaN weights never lie between. They
            need a ``weight``.
        view_angle: ``(low, high)`` in radians: keep only the edges whose view angle
            ``arctan(dy / dx)``, taken from the earlier sample to the later whatever
            ``direction``, lies in ``[low, high]`` (the parametric natural visibility
            graph of Bezsudnov & Snarskii 2014; ``(-pi/2, pi/2)`` keeps all).
        threads: How many threads the module may use for one series (``None``: its own
            choice, every core for long series); the result is the same either way.

    Returns:
        ``(edges, weights)``: the (m, 2) int64 rows ``(source, target)`` naming the
        samples kept by their place among them, in the graph's edge order, and the
        (m,) float64 weights or ``None``.

    Raises:
        ValueError: A bad option, bounds without a weight, or a view angle range that is
            not two numbers with ``low <= high``.
    """
    if weight is not None:
        _check_weight(weight)
    _check_direction(direction)
    _check_bounds(weight, min_weight, max_weight)
    angle_range = _check_view_angle(view_angle)
    options = Options(kind=kind, skip_adjacent=skip_adjacent, penetrable=penetrable, exact=exact,
                      missing=missing, decimals=decimals, threads=threads)
    record = as_record(values, x)
    if weight == "penetrations":
        edges, count = edge_penetrations(record, options)
    else:
        edges = record_edges(record, options)
    kept = record.kept(options.missing)
    y = record.values if kept is None else record.values[kept]
    positions = record.positions
    if positions is None:
        at = (np.arange(record.values.size, dtype=np.float64) if kept is None
              else kept.astype(np.float64))
    else:
        at = positions if kept is None else positions[kept]
    vertices = np.column_stack((at, y))
    oriented = _oriented(edges, y, direction)
    weights: Optional[FloatArray] = None
    if weight == "penetrations":
        weights = count.astype(np.float64)
    elif weight is not None:
        weights = _weights(vertices, oriented, weight)
    keep = edge_filter(vertices, edges, weights, min_weight, max_weight, angle_range)
    if keep is not None:
        oriented = oriented[keep]
        weights = None if weights is None else weights[keep]
    return oriented, weights


# --- one feature vector per series ------------------------------------------------------

def feature_names(kind: Kind = "horizontal") -> Tuple[str, ...]:
    """The names of :func:`feature_vector` for ``kind``, in order: ``mean_degree``,
    ``degree_entropy``, ``joint_degree_entropy``, ``motif_1`` .. ``motif_6`` (``_8`` for
    the natural graph), ``irreversibility``, ``irreversibility_pairs``, and for the
    natural graph ``difference_entropy``."""
    kind = check_kind(kind)
    names = ["mean_degree", "degree_entropy", "joint_degree_entropy"]
    names += [f"motif_{label}" for label in range(1, _LABELS[(kind, 4)] + 1)]
    names += ["irreversibility", "irreversibility_pairs"]
    if kind == "natural":
        names.append("difference_entropy")
    return tuple(names)


def check_measure_options(options: Options) -> None:
    """Refuses options the measures do not have: they belong to the ordinary graph."""
    if options.penetrable or options.skip_adjacent:
        raise ValueError("the measures belong to the ordinary graph: give "
                         "penetrable=0 and skip_adjacent=False")


def record_measures(record: Record, options: Options, edges: Optional[IntArray] = None) -> Dict[str, float]:
    """The measures of ``record`` (see :func:`feature_vector`) for ``options.kind``, from
    one edge array of that kind (``edges`` when the caller has built it already) and,
    for the natural kind, one of the horizontal graph."""
    check_measure_options(options)
    if edges is None and record.positions is None and block_tables_apply(record.values[None, :], options):
        tables = block_tables(options.kind, record.values[None, :])[2]
        assert tables is not None
        return dict(zip(feature_names(options.kind), table_measures(options.kind, tables)[0].tolist()))
    if edges is None:
        edges = record_edges(record, options)
    horizontal = record_horizontal_edges(record, options, edges)
    row = batch_measures(options.kind, [_kept_count(record, options)], [edges], [horizontal])[0]
    return dict(zip(feature_names(options.kind), row.tolist()))


def record_horizontal_edges(record: Record, options: Options, edges: IntArray) -> IntArray:
    """The horizontal graph's edges of ``record``: ``edges`` themselves when they are."""
    if options.kind == "horizontal":
        return edges
    return record_edges(record, Options(kind="horizontal", missing=options.missing,
                                        threads=options.threads))


def _width(value: IntArray) -> int:
    return int(value.max()) + 1 if value.size else 1


def edge_tables(kind: Kind, sizes: Sequence[int], edges: Sequence[IntArray],
                horizontal: Sequence[IntArray]) -> MeasureTables:
    """The count tables of several series from their edge arrays: ``edges`` of the graph
    of ``kind`` and ``horizontal`` edges (the same arrays for the horizontal kind)."""
    kind = check_kind(kind)
    batch = _Batch.of(sizes, edges)
    count, n = batch.sizes.size, batch.vertices
    degree = batch.degrees()
    width = _width(degree)
    # The window code of each vertex from the edges of span 2 and 3 that start there.
    left = batch.left
    span = batch.right - left
    two = np.zeros(n + 1, dtype=np.int64)
    two[left[span == 2]] = 1
    three = np.zeros(n, dtype=np.int64)
    three[left[span == 3]] = 1
    code = two[:n] + 2 * two[1 : n + 1] + 4 * three
    windows = np.maximum(batch.sizes - 3, 0)
    local = np.arange(n, dtype=np.int64) - np.repeat(batch.starts, batch.sizes)
    # A window belongs to the series of its first sample when its last one is too.
    valid = local < windows[batch.vertex_series]
    motif_codes = np.bincount(batch.vertex_series[valid] * 8 + code[valid],
                              minlength=8 * count).reshape(count, 8).astype(np.int64)
    flat = batch if kind == "horizontal" else _Batch.of(sizes, horizontal)
    out_degree, in_degree = flat.out_degree, flat.in_degree
    flat_width = max(_width(out_degree), _width(in_degree))
    difference = batch.value_table(degree - flat.degrees()) if kind == "natural" else None
    return MeasureTables(
        batch.sizes, batch.edge_counts, batch.value_table(degree, width),
        batch.pair_table(degree, degree, width) + (width,),
        motif_codes,
        flat.value_table(out_degree, flat_width), flat.value_table(in_degree, flat_width),
        flat.pair_table(out_degree, out_degree, flat_width) + (flat_width,),
        # Read backwards, the edge (i, j) runs from j to i and in-degrees become
        # out-degrees: (k_in(j), k_in(i)) is the pair the reversed series gives this edge.
        flat.pair_table(in_degree, in_degree, flat_width, reverse=True) + (flat_width,),
        difference,
    )


def block_tables_apply(block: Any, options: Options) -> bool:
    """Whether :func:`block_tables` serves ``block`` under ``options``: float64 rows with
    every sample present (so none is left out and x_k = k), under the plain float rule."""
    return (block.ndim == 2 and block.dtype == np.float64 and 0 < block.shape[1] < 1 << 32
            and not options.exact and options.decimals is None and not options.penetrable
            and not bool(np.isnan(block).any()))


def block_tables(kind: Kind, block: FloatArray, skip_adjacent: bool = False,
                 measures: bool = True) -> Tuple[IntArray, Table, Optional[MeasureTables]]:
    """``(edge_counts, degree table, tables)`` of the graphs of the rows of a 2-d float64
    ``block`` (one series per row, every sample kept, float rule at x_k = k), made by the
    module in one call without the interpreter lock; ``tables`` only with ``measures``
    (which need ``skip_adjacent=False``)."""
    kind = check_kind(kind)
    count, length = block.shape
    found = kg._block_tables(np.ascontiguousarray(block, dtype=np.float64).reshape(-1), length,
                             kind == "natural", bool(skip_adjacent), bool(measures))

    def table(item: Any) -> Table:
        return np.asarray(item[0]), np.asarray(item[1]), int(item[2])

    edge_counts = np.asarray(found[0])
    degree = table(found[1])
    if not measures:
        return edge_counts, degree, None
    sizes = np.full(count, length, dtype=np.int64)
    tables = MeasureTables(sizes, edge_counts, degree, table(found[2]),
                           np.asarray(found[3]).reshape(count, 8), table(found[4]),
                           table(found[5]), table(found[6]), table(found[7]),
                           table(found[8]) if kind == "natural" else None)
    return edge_counts, degree, tables


def table_measures(kind: Kind, tables: MeasureTables) -> FloatArray:
    """The (series, measures) float64 matrix, columns as :func:`feature_names` of
    ``kind``, from the count tables. Each series' sums run over its own table entries in
    code order, so a row has the same bits alone or in a batch, from edges or a block."""
    kind = check_kind(kind)
    t = tables
    count = t.sizes.size
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = 2.0 * t.edge_counts / t.sizes
    columns: List[FloatArray] = [np.where(t.sizes > 0, mean, math.nan),
                                 _entropies(t.degree[:2], t.degree[2], t.sizes),
                                 _joint_entropies(t)]
    labels = _LABELS[(kind, 4)]
    table = np.zeros((count, 8), dtype=np.int64)
    for code, label in enumerate(_LABEL_OF_CODE.tolist()):
        table[:, label] += t.motif_codes[:, code]
    windows = np.maximum(t.sizes - 3, 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        shares = table[:, :labels] / windows[:, None]
    shares[windows == 0] = math.nan
    columns += list(shares.T)
    columns += [_irreversibilities(t, False), _irreversibilities(t, True)]
    if t.difference is not None:
        columns.append(_entropies(t.difference[:2], t.difference[2], t.sizes))
    return np.column_stack(columns) if count else np.zeros((0, len(columns)))


def batch_measures(kind: Kind, sizes: Sequence[int], edges: Sequence[IntArray],
                   horizontal: Sequence[IntArray]) -> FloatArray:
    """The (series, measures) float64 matrix of several series at once, columns as
    :func:`feature_names` of ``kind``: ``sizes`` samples, ``edges`` of the graph of
    ``kind`` and ``horizontal`` edges (the same arrays for the horizontal kind) of each.

    The series' graphs are joined into one vertex range and every measure is one pass of
    whole-array operations over all of them, so the cost per series is a few array
    elements rather than Python calls; a series' row has the same bits alone or in a
    batch (its sums run over its own terms in the same order)."""
    return table_measures(kind, edge_tables(kind, sizes, edges, horizontal))


def feature_vector(
    values: Any,
    kind: Kind = "horizontal",
    *,
    x: Any = None,
    exact: bool = False,
    missing: Missing = "omit",
    decimals: Optional[int] = None,
    threads: Optional[int] = None,
) -> Dict[str, float]:
    """One feature vector of a series, named by :func:`feature_names`: mean degree,
    degree and joint degree-degree entropies, the size-4 motif profile, the
    irreversibility and its degree-degree variant (of the horizontal graph whatever
    ``kind``), and for the natural graph the entropy of the difference graph's degrees.
    NaN where a measure is undefined (an empty series, no edges, fewer than 4 samples).

    Example:
        >>> from kestrel_grid_tools import feature_vector
        >>> row = feature_vector([3.0, 1.0, 2.0, 4.0, 0.5, 5.0])
        >>> round(row["mean_degree"], 4), row["motif_5"]
        (2.6667, 0.3333333333333333)
    """
    options = Options(kind=kind, exact=exact, missing=missing, decimals=decimals, threads=threads)
    return record_measures(as_record(values, x), options)

