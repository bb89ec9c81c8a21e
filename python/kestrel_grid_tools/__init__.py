"""Python tools around the kestrel_grid extension module: a command-line tool
(`kestrel-grid`), graph features, adapters to networkx, igraph and scipy, directed views
and edge weights, plots, and many series on Dask.

numpy is the only required dependency; matplotlib, networkx, igraph, scipy, dask and
scikit-learn are optional extras (`kestrel-grid[plot]`, `[graphs]`, `[dask]`, `[learn]`,
`[all]`), imported only by the functions that use them."""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._optional import MissingExtraError
from .adapters import (
    DIRECTIONS,
    WEIGHTS,
    directed_edges,
    edge_weights,
    in_out_degrees,
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
from .fits import TailFit, fit_degree_tail
from ._options import Options
from ._positions import Positions, time_positions
from ._record import Record, as_record
from .many import features_frame, series_features
from .measures import (
    EDGE_WEIGHTS,
    MOTIF_SIZES,
    as_layers,
    degree_entropy,
    difference_degrees,
    directed_degrees,
    graph_index_complexity,
    edge_overlap,
    edge_penetrations,
    iid_motif_profile,
    interlayer_mutual_information,
    irreversibility,
    joint_degree_entropy,
    feature_names,
    feature_vector,
    motif_labels,
    motif_profile,
    shannon_entropy,
    visibility_edges,
)
from .plot import plot_degree_distribution, plot_overview, plot_series_graph
from .stream import (
    HorizontalStream,
    NaturalStream,
    StreamUpdate,
    horizontal_dask,
    horizontal_out_of_core,
    natural_dask,
    natural_out_of_core,
)

if TYPE_CHECKING:
    from .learn import VisibilityFeatures

__all__ = [
    "TailFit",
    "fit_degree_tail",
    "MissingExtraError",
    "DIRECTIONS",
    "WEIGHTS",
    "directed_edges",
    "in_out_degrees",
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
    "NaturalStream",
    "StreamUpdate",
    "horizontal_out_of_core",
    "natural_out_of_core",
    "horizontal_dask",
    "natural_dask",
    "EDGE_WEIGHTS",
    "MOTIF_SIZES",
    "motif_profile",
    "motif_labels",
    "iid_motif_profile",
    "irreversibility",
    "directed_degrees",
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
    "VisibilityFeatures",
]


def __getattr__(name: str) -> object:
    # The transformer's module imports scikit-learn's base classes when it has them, so
    # it is loaded on first use only.
    if name == "VisibilityFeatures":
        from .learn import VisibilityFeatures

        return VisibilityFeatures
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
