"""The cost of the full feature vector against building the graphs alone, from one run
(compare the ratios side by side; timings on a shared machine are noisy).

    python benchmarks/bench_features.py [--n 1000000] [--series 10000] [--length 1000]

- one long series: ``feature_vector(values, kind)`` against the edge arrays it needs
  (the graph of ``kind``, and for the natural kind also the horizontal graph, which the
  irreversibility and the difference graph read), and against the degree-only build;
- many short series on Dask (local threads): ``series_features(..., measures=True)``
  against ``series_features`` without the measures (degree-only builds) and against
  building every series' edge arrays in the same dask blocks.

Needs numpy, and dask and pandas for the second part.
"""

from __future__ import annotations

import argparse
from typing import Any, List

import numpy as np

from _timing import best  # noqa: E402  (beside this script)
import kestrel_grid as kg
import kestrel_grid_tools as kgt


def graphs(values: Any, kind: str) -> None:
    kg.graph_edge_array(values, kind)
    if kind == "natural":
        kg.graph_edge_array(values, "horizontal")


def block_graphs(block: Any, kind: str) -> int:
    for row in np.asarray(block):
        graphs(row, kind)
    return 0


def row(label: str, seconds: float, base: float) -> None:
    print(f"  {label:<44} {seconds:8.3f} s   {seconds / base:5.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--series", type=int, default=10_000)
    parser.add_argument("--length", type=int, default=1_000)
    args = parser.parse_args()
    rng = np.random.default_rng(1)

    values = rng.normal(size=args.n)
    print(f"one series of {args.n:,} samples (normal noise)")
    for kind in ("horizontal", "natural"):
        base = best(lambda: graphs(values, kind))
        print(f" {kind}")
        row("edge arrays alone", base, base)
        row("degree-only build", best(lambda: kg.graph_degrees(values, kind)), base)
        row("feature_vector", best(lambda: kgt.feature_vector(values, kind)), base)

    try:
        import dask
        import dask.array as da
    except ImportError:
        print("dask is not installed: the many-series rows are left out")
        return
    rows = rng.normal(size=(args.series, args.length))
    print(f"{args.series:,} series of {args.length:,} samples on Dask (threads)")
    chunks = da.from_array(rows, chunks=(2000, -1))
    with dask.config.set(scheduler="threads"):
        for kind in ("horizontal", "natural"):
            blocks: List[Any] = [dask.delayed(block_graphs)(b, kind) for b in chunks.to_delayed().ravel()]
            base = best(lambda: dask.compute(*blocks), repeat=2)
            print(f" {kind}")
            row("edge arrays alone", base, base)
            row("series_features", best(lambda: kgt.series_features(rows, kind).compute(), 2), base)
            row("series_features(measures=True)",
                best(lambda: kgt.series_features(rows, kind, measures=True).compute(), 2), base)


if __name__ == "__main__":
    main()
