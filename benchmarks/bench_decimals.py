#!/usr/bin/env python3
"""The natural rule decided on recorded decimals (``decimals=``) against the exact rule
on the binary values (``exact=True``) and the float rule, timed from Python.

Each row builds ``kestrel_grid.graph_edge_array`` of one series under the three rules
and reports the best of --repeat runs, the edge counts, and the ratios to the float rule
(all from the same run). Series (seeded):

  noise      i.i.d. uniform samples on [0, 1) rounded to 3 places
  walk       a Gaussian random walk rounded to 2 places

Usage: python benchmarks/bench_decimals.py [--n 1000000] [--repeat 3]
"""

import argparse
import os
import platform
import time

import numpy as np

import kestrel_grid as kg


def series(family, n, seed=1):
    rng = np.random.default_rng(seed)
    if family == "noise":
        return np.round(rng.random(n), 3), 3
    return np.round(np.cumsum(rng.standard_normal(n)), 2), 2


def best_of(repeat, build):
    best, edges = float("inf"), 0
    for _ in range(repeat):
        start = time.perf_counter()
        result = build()
        best = min(best, time.perf_counter() - start)
        edges = len(result)
    return best, edges


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"# {platform.python_implementation()} {platform.python_version()}, "
          f"{os.cpu_count()} cores, load {load:.1f}; best of {args.repeat}")
    print("| series | n | float s | decimals= s | exact=True s | decimals / float "
          "| exact / float | edges float / decimals / exact |")
    print("|---|---|---|---|---|---|---|---|")
    for family in ("noise", "walk"):
        values, places = series(family, args.n)
        rules = {
            "float": lambda: kg.graph_edge_array(values),
            "decimals": lambda: kg.graph_edge_array(values, decimals=places),
            "exact": lambda: kg.graph_edge_array(values, exact=True),
        }
        times, edges = {}, {}
        for name, build in rules.items():
            times[name], edges[name] = best_of(args.repeat, build)
        print(f"| {family} ({places} places) | {args.n:,} | {times['float']:.3f} "
              f"| {times['decimals']:.3f} | {times['exact']:.3f} "
              f"| {times['decimals'] / times['float']:.2f} | {times['exact'] / times['float']:.2f} "
              f"| {edges['float']} / {edges['decimals']} / {edges['exact']} |", flush=True)


if __name__ == "__main__":
    main()
