"""The horizontal rule as a stream, against the whole-series build, from one run (compare
the ratios side by side; timings on a shared machine are noisy).

    python benchmarks/bench_horizontal_stream.py [--appends 1000000] [--n 4000000]

Single samples are appended one at a time (a monitor's case) and reported in samples per
second; then a series of n samples is fed to ``HorizontalStream.extend`` in pieces of
10^5, counting degrees (``edges=False``) and listing edges, against one
``graph_degrees`` / ``graph_edge_array`` of the whole (one thread and the default).
To time another version of the tools package, put it first on PYTHONPATH.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from _timing import best  # noqa: E402  (beside this script)
import kestrel_grid as kg
from kestrel_grid_tools import HorizontalStream


def appends_per_second(values: list) -> float:
    stream = HorizontalStream()
    append = stream.append
    started = time.perf_counter()
    for value in values:
        append(value)
    return len(values) / (time.perf_counter() - started)


def in_pieces(values: np.ndarray, piece: int, edges: bool) -> None:
    stream = HorizontalStream()
    for start in range(0, len(values), piece):
        stream.extend(values[start:start + piece], edges=edges)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--appends", type=int, default=1_000_000)
    parser.add_argument("--n", type=int, default=4_000_000)
    parser.add_argument("--piece", type=int, default=100_000)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    series = {"noise": lambda n: rng.random(n),
              "walk": lambda n: np.cumsum(rng.standard_normal(n))}

    print(f"horizontal stream, one sample at a time ({args.appends:,} samples)")
    for label, make in series.items():
        values = make(args.appends).tolist()
        print(f"{label:<8} {appends_per_second(values):>14,.0f} samples/s")

    n, piece = args.n, args.piece
    print(f"\nhorizontal stream, {n:,} samples in pieces of {piece:,}")
    print(f"{'series':<8} {'output':<8} {'whole 1 thread (s)':>19} {'whole (s)':>10} "
          f"{'pieces (s)':>11} {'ratio 1 thread':>15} {'ratio':>6}")
    for label, make in series.items():
        values = make(n)
        for output, listing, whole_call in (
                ("degrees", False, kg.graph_degrees), ("edges", True, kg.graph_edge_array)):
            one = best(lambda: whole_call(values, kind="horizontal", threads=1))
            whole = best(lambda: whole_call(values, kind="horizontal"))
            pieces = best(lambda: in_pieces(values, piece, listing))
            print(f"{label:<8} {output:<8} {one:>19.3f} {whole:>10.3f} {pieces:>11.3f} "
                  f"{pieces / one:>15.2f} {pieces / whole:>6.2f}")


if __name__ == "__main__":
    main()
