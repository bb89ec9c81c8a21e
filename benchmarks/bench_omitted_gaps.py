#!/usr/bin/env python3
"""Natural-rule builds of a series with gaps left out (``missing="omit"``) against the
same series without gaps, on one thread and on two, timed from Python.

Each row times ``kestrel_grid.graph_degrees`` and ``kestrel_grid.graph_edge_array`` of
one series with no NaN and with one NaN in its middle (left out, so the other samples
keep their indices as positions), with threads=1 and threads=2, and reports the best of
--repeat runs and the ratios, all from the same run. Series (seeded):

  noise      i.i.d. uniform samples on [0, 1)
  walk       a Gaussian random walk

Usage: python benchmarks/bench_omitted_gaps.py [--n 1000000] [--repeat 3]
"""

import argparse
import os
import platform

import numpy as np

import kestrel_grid as kg
from _timing import best


def series(family, n, seed=1):
    rng = np.random.default_rng(seed)
    if family == "noise":
        return rng.random(n)
    return np.cumsum(rng.standard_normal(n))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"# {platform.python_implementation()} {platform.python_version()}, "
          f"{os.cpu_count()} cores, load {load:.1f}; best of {args.repeat}")
    print("| series | call | no NaN 1t s | no NaN 2t s | one NaN 1t s | one NaN 2t s "
          "| NaN / none (1t) | NaN / none (2t) | 1t / 2t (NaN) |")
    print("|---|---|---|---|---|---|---|---|---|")
    for family in ("noise", "walk"):
        plain = series(family, args.n)
        gapped = plain.copy()
        gapped[args.n // 2] = np.nan
        for name, call in (("graph_degrees", kg.graph_degrees), ("graph_edge_array", kg.graph_edge_array)):
            t = {}
            for label, values in (("none", plain), ("nan", gapped)):
                for threads in (1, 2):
                    t[label, threads] = best(
                        lambda: call(values, "natural", missing="omit", threads=threads), args.repeat)
            print(f"| {family} | {name} | {t['none', 1]:.3f} | {t['none', 2]:.3f} | {t['nan', 1]:.3f} "
                  f"| {t['nan', 2]:.3f} | {t['nan', 1] / t['none', 1]:.2f} | {t['nan', 2] / t['none', 2]:.2f} "
                  f"| {t['nan', 1] / t['nan', 2]:.2f} |")


if __name__ == "__main__":
    main()
