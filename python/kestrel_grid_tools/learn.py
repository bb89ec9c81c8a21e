"""A scikit-learn transformer turning each series into one row of visibility-graph
measures (:func:`kestrel_grid_tools.feature_vector`), for pipelines and cross-validation.

scikit-learn comes with the ``kestrel-grid[learn]`` extra and is imported with this
module."""

from __future__ import annotations

from typing import Any, List, Optional

import numpy as np

from ._graphs import FloatArray, IntArray
from ._optional import require
from ._options import Kind, Missing, Options
from ._record import Record
from .features import record_edges
from .measures import record_horizontal_edges, batch_measures, feature_names

# Samples whose graphs are measured together.
_BLOCK_SAMPLES = 1 << 22

_base = require("sklearn.base", "VisibilityFeatures")
_validation = require("sklearn.utils.validation", "VisibilityFeatures")
_TransformerMixin: Any = _base.TransformerMixin
_BaseEstimator: Any = _base.BaseEstimator

__all__ = ["VisibilityFeatures"]


class VisibilityFeatures(_TransformerMixin, _BaseEstimator):  # type: ignore[misc]
    """One row of graph measures per series: the columns of
    :func:`~kestrel_grid_tools.feature_names` for ``kind``, the same numbers
    :func:`~kestrel_grid_tools.feature_vector` and ``features_frame(..., measures=True)`` give.

    The transformer keeps no state beyond its parameters: ``fit`` only checks them, so
    it can be fitted on any data, cloned and cross-validated, and ``transform`` of a
    series never depends on the others.

    Args:
        kind: ``"horizontal"`` or ``"natural"``.
        exact: Decide the natural rule exactly on the binary values.
        missing: ``"omit"`` (default), ``"raise"`` or ``"keep"`` for NaN samples.
        decimals: ``None``, or decide the natural rule exactly on decimals of this many
            places.
        threads: How many threads the module may use for one series (``None``: its own
            choice); the features are the same either way.

    ``X`` is an (n_series, n_samples) array, or a sequence of 1-d series of any lengths,
    of at least 3 samples each. Other layouts of many series are refused with
    ValueError rather than read as one-sample series: a long frame with a MultiIndex
    (one row per sample; ``X[column].unstack()`` gives one row per series), a frame
    whose cells hold series, a 1-d or 3-d array.

    Example:
        >>> import numpy as np
        >>> from kestrel_grid_tools import VisibilityFeatures
        >>> X = np.random.default_rng(1).normal(size=(3, 200))
        >>> VisibilityFeatures().fit_transform(X).shape
        (3, 11)
    """

    def __init__(self, kind: Kind = "horizontal", exact: bool = False,
                 missing: Missing = "omit", decimals: Optional[int] = None,
                 threads: Optional[int] = None) -> None:
        self.kind = kind
        self.exact = exact
        self.missing = missing
        self.decimals = decimals
        self.threads = threads

    def _options(self) -> Options:
        return Options(kind=self.kind, exact=self.exact, missing=self.missing,
                       decimals=self.decimals, threads=self.threads)

    def fit(self, X: Any, y: Any = None) -> "VisibilityFeatures":
        """Checks the parameters and the shape of ``X``; learns nothing from it."""
        self._options()
        _series(X)
        return self

    def transform(self, X: Any) -> FloatArray:
        """The (n_series, n_features) float64 measures of every series of ``X``."""
        options = self._options()
        names = feature_names(options.kind)
        blocks: List[FloatArray] = [np.zeros((0, len(names)))]
        sizes: List[int] = []
        graphs: List[IntArray] = []
        flat: List[IntArray] = []
        samples = 0
        for values in _series(X):
            record = Record(values)
            kept = record.kept(options.missing)
            sizes.append(values.size if kept is None else kept.size)
            graphs.append(record_edges(record, options))
            flat.append(record_horizontal_edges(record, options, graphs[-1]))
            samples += values.size
            if samples >= _BLOCK_SAMPLES:  # the edges of a block are held at once
                blocks.append(batch_measures(options.kind, sizes, graphs, flat))
                sizes, graphs, flat, samples = [], [], [], 0
        blocks.append(batch_measures(options.kind, sizes, graphs, flat))
        return np.concatenate(blocks)

    def get_feature_names_out(self, input_features: Any = None) -> Any:
        """The column names, :func:`~kestrel_grid_tools.feature_names` of ``kind``."""
        return np.asarray(feature_names(self._options().kind), dtype=object)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.requires_fit = False
        return tags


_SHAPE = ("expected a 2-D array-like of shape (n_series, n_samples), one series per row "
          "with at least 3 samples, or a list of 1-d series")


def _series(X: Any) -> List[FloatArray]:
    """The rows of ``X`` as float64 series: a list or tuple of 1-d series of different
    lengths as they are, anything else through scikit-learn's array check (real, not
    sparse, not empty; NaN and infinities are samples, so they are let through).

    Raises ValueError for what is not one series per row: a frame with a MultiIndex (a
    long format, one row per sample), a frame whose cells hold series, an array of
    other than two dimensions, or a series of fewer than 3 samples."""
    _check_layout(X)
    if isinstance(X, (list, tuple)) and X and all(np.ndim(row) == 1 for row in X):
        rows = [np.asarray(row, dtype=np.float64) for row in X]
        if len({row.size for row in rows}) > 1:
            return _long_enough(rows)
    checked = _validation.check_array(X, dtype=np.float64, ensure_all_finite=False,
                                      ensure_2d=False, allow_nd=True)
    if checked.ndim != 2:
        hint = " (for one series pass [X])" if checked.ndim == 1 else ""
        raise ValueError(f"{_SHAPE}; got an array of shape {checked.shape}{hint}")
    return _long_enough(list(np.asarray(checked, dtype=np.float64)))


def _check_layout(X: Any) -> None:
    """Refuses the pandas layouts of many series that are not one series per row."""
    levels = getattr(getattr(X, "index", None), "nlevels", 1)
    if getattr(X, "ndim", 0) == 2 and levels > 1:
        raise ValueError(f"{_SHAPE}; got a frame of shape {X.shape} with a {levels}-level "
                         "MultiIndex, one row per sample: pivot it to one row per series, "
                         "e.g. X[column].unstack()")
    if getattr(X, "ndim", 0) == 2 and hasattr(X, "iat") and X.size and np.ndim(X.iat[0, 0]) > 0:
        raise ValueError(f"{_SHAPE}; got a frame of shape {X.shape} whose cells hold series")


def _long_enough(rows: List[FloatArray]) -> List[FloatArray]:
    short = next((k for k, row in enumerate(rows) if row.size < 3), None)
    if short is not None:
        raise ValueError(f"{_SHAPE}; series {short} has {rows[short].size} samples")
    return rows
