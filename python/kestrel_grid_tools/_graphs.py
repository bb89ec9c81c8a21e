"""Plain numpy views of the module's graphs and series."""

from __future__ import annotations

from typing import Any, Union

import numpy as np
import numpy.typing as npt

import kestrel_grid as kg

Graph = Union[kg.VisibilityGraph, kg.HorizontalVisibilityGraph]
FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]


def as_series(values: Any) -> FloatArray:
    """A 1-d float64 array of the samples (no copy when it already is one)."""
    if hasattr(values, "vertices_array") and hasattr(values, "degrees_array"):
        name = type(values).__name__
        raise TypeError(f"a {name} was given where a series is expected: pass the series "
                        "itself, or the graph's samples and positions as "
                        "graph.vertices_array()[:, 1] with x=graph.vertices_array()[:, 0]; "
                        "its degrees are graph.degrees_array()")
    series = np.asarray(values, dtype=np.float64)
    if series.ndim != 1:
        raise ValueError(f"a series must be one-dimensional, got shape {series.shape}")
    return series


def edge_array(graph: Graph) -> IntArray:
    """The (m, 2) int64 edges in the graph's edge order, low index first."""
    return np.asarray(graph.edges_array()).reshape(-1, 2)


def vertex_array(graph: Graph) -> FloatArray:
    """The (n, 2) float64 vertices (x, y) in vertex order."""
    return np.asarray(graph.vertices_array()).reshape(-1, 2)


def degree_array(graph: Graph) -> IntArray:
    """The (n,) int64 degrees in vertex order."""
    return np.asarray(graph.degrees_array())
