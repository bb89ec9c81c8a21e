"""Optional dependencies, imported only where a function needs them."""

from __future__ import annotations

import importlib
from types import ModuleType

# Import name -> (distribution to install, extra of kestrel-grid that brings it).
_EXTRAS = {
    "matplotlib": ("matplotlib", "plot"),
    "networkx": ("networkx", "graphs"),
    "igraph": ("igraph", "graphs"),
    "scipy": ("scipy", "graphs"),
    "scipy.sparse": ("scipy", "graphs"),
    "scipy.sparse.linalg": ("scipy", "graphs"),
    "dask": ("dask", "dask"),
    "dask.array": ("dask", "dask"),
    "dask.dataframe": ("dask", "dask"),
    "distributed": ("distributed", "dask"),
    "pandas": ("pandas", "dask"),
    "pyarrow": ("pyarrow", "parquet"),
    "pyarrow.parquet": ("pyarrow", "parquet"),
    "sklearn": ("scikit-learn", "learn"),
    "sklearn.base": ("scikit-learn", "learn"),
    "sklearn.utils.validation": ("scikit-learn", "learn"),
}


class MissingExtraError(ImportError):
    """An optional dependency is not installed; the message names the extra to install."""


def require(module: str, feature: str) -> ModuleType:
    """Import `module` for `feature`, or raise MissingExtraError naming the extra."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        top = module.split(".")[0]
        distribution, extra = _EXTRAS.get(module, _EXTRAS.get(top, (top, "all")))
        raise MissingExtraError(
            f"{feature} needs {distribution}, which is not installed; "
            f"install it with: python -m pip install {distribution} (or, in a checkout of "
            f"kestrel-grid, its {extra} extra: python -m pip install '.[{extra}]')"
        ) from error
