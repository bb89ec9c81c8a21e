"""Python tools around the kestrel_grid extension module: a command-line tool
(`kestrel-grid`), graph features, adapters to networkx, igraph and scipy, directed views
and edge weights, plots, and many series on Dask.

numpy is the only required dependency; matplotlib, networkx, igraph, scipy and dask are
optional extras (`kestrel-grid[plot]`, `[graphs]`, `[dask]`, `[all]`), imported only by
the functions that use them."""

from __future__ import annotations

from ._optional import MissingExtraError
from .adapters import (
    DIRECTIONS,
    WEIGHTS,
    directed_edges,
    edge_weights,
    to_igraph,
    to_networkx,
    to_scipy_sparse,
)
from .features import (
    degree_distribution,
    degrees,
    iid_distance,
    iid_law,
    motif_summary,
    summarize,
    visibility_graph,
)
from ._options import Options
from ._positions import Positions, time_positions
from ._record import Record, as_record
from .many import features_frame, series_features
from .plot import plot_degree_distribution, plot_overview, plot_series_graph
from .stream import HorizontalStream, StreamUpdate, horizontal_out_of_core

__all__ = [
    "MissingExtraError",
    "DIRECTIONS",
    "WEIGHTS",
    "directed_edges",
    "edge_weights",
    "to_networkx",
    "to_igraph",
    "to_scipy_sparse",
    "visibility_graph",
    "degrees",
    "degree_distribution",
    "iid_law",
    "iid_distance",
    "motif_summary",
    "summarize",
    "series_features",
    "features_frame",
    "plot_series_graph",
    "plot_degree_distribution",
    "plot_overview",
    "Positions",
    "time_positions",
    "Record",
    "as_record",
    "Options",
    "HorizontalStream",
    "StreamUpdate",
    "horizontal_out_of_core",
]
