"""The natural rule as a stream, against the whole-series build, from one run (compare
the ratios side by side; timings on a shared machine are noisy).

    python benchmarks/bench_natural_stream.py [--n 1000000]

A series of n samples is fed to ``NaturalStream`` in pieces of 10^4 samples and its edges
collected, against one ``graph_edge_array`` of the whole; then, after n samples, single
samples are appended one at a time (a monitor's case): each call rebuilds only the
stretch from the farthest earlier sample that may see the new one.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from _timing import best  # noqa: E402  (beside this script)
import kestrel_grid as kg
from kestrel_grid_tools import NaturalStream


def in_pieces(values: np.ndarray, piece: int) -> None:
    stream = NaturalStream()
    for start in range(0, len(values), piece):
        stream.extend(values[start:start + piece])


def per_append(values: np.ndarray, extra: int) -> float:
    stream = NaturalStream()
    stream.extend(values[:-extra], edges=False)
    started = time.perf_counter()
    for value in values[-extra:]:
        stream.append(float(value))
    return (time.perf_counter() - started) / extra


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    args = parser.parse_args()
    n = args.n
    rng = np.random.default_rng(1)
    print(f"natural stream, {n:,} samples")
    print(f"{'series':<10} {'whole (s)':>10} {'pieces of 10^4 (s)':>19} {'ratio':>6} "
          f"{'one append after n (ms)':>24}")
    for label, values in (("uniform", rng.random(n + 1000)),
                          ("walk", np.cumsum(rng.standard_normal(n + 1000)))):
        whole = best(lambda: kg.graph_edge_array(values[:n], kind="natural"))
        pieces = best(lambda: in_pieces(values[:n], 10_000), repeat=1)
        append = per_append(values, 1000)
        print(f"{label:<10} {whole:>10.3f} {pieces:>19.3f} {pieces / whole:>6.1f} "
              f"{append * 1e3:>24.3f}")


if __name__ == "__main__":
    main()
