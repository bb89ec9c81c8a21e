#!/usr/bin/env python3
"""The natural float rule where no margin decides, timed from Python against the same
series scaled into the normal range and against the exact rule, all in one run.

Families (seeded, n samples):

  picks      random picks of +-DBL_MAX, +-1.7e308, 1e308 and 0: most rises overflow,
             so the float rule's graph is dense (scaled: the same picks times 2^-100)
  walk       a Gaussian random walk mapped onto [-DBL_MAX, DBL_MAX] (scaled: times 2^-100)
  subnormal  nine levels k * 5e-324, k in 0..8 (scaled: the levels 0..8)
  binades    x = y = geomspace(1e-300, 1e300): exactly collinear samples at positions
             over 600 decades, a path graph (no scaled form: compared with the exact rule)

Each cell is the best of --repeat calls of ``kestrel_grid.graph_degrees`` (and, with
--edges, ``graph_edge_array``) on 1 and 2 threads; the ratios are to the scaled series
and to the exact rule, from the same run.

Usage: python benchmarks/bench_extreme_values.py [--n 10000] [--repeat 3] [--edges]
"""

import argparse
import os
import platform
import sys

import numpy as np

import kestrel_grid as kg

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _timing import best  # noqa: E402

MAX = np.finfo(float).max


def families(n, seed=1):
    rng = np.random.default_rng(seed)
    picks = rng.choice([MAX, -MAX, 1.7e308, -1.7e308, 1e308, 0.0], n)
    walk = np.cumsum(rng.standard_normal(n))
    walk = ((walk - walk.min()) / (walk.max() - walk.min()) * 2 - 1) * MAX
    levels = rng.integers(0, 9, n)
    line = np.geomspace(1e-300, 1e300, n)
    return [
        ("picks", picks, None, picks * 2.0**-100),
        ("walk", walk, None, walk * 2.0**-100),
        ("subnormal", levels * 5e-324, None, levels.astype(float)),
        ("binades", line, line, None),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--edges", action="store_true", help="time graph_edge_array too")
    args = parser.parse_args()
    print(f"# {platform.python_implementation()} {platform.python_version()}, "
          f"{os.cpu_count()} cpus, n = {args.n}, best of {args.repeat}")
    print(f"{'family':10s} {'entry':16s} {'threads':>7s} {'float s':>9s} {'scaled s':>9s} "
          f"{'exact s':>9s} {'/scaled':>8s} {'/exact':>7s} {'edges':>10s}")
    entries = [("graph_degrees", kg.graph_degrees)]
    if args.edges:
        entries.append(("graph_edge_array", kg.graph_edge_array))
    for name, values, x, scaled in families(args.n):
        for label, entry in entries:
            for threads in (1, 2):
                result = entry(values, x=x, threads=threads)
                edges = (int(np.asarray(result).sum()) // 2 if label == "graph_degrees"
                         else len(result))
                t_float = best(lambda: entry(values, x=x, threads=threads), args.repeat)
                t_exact = best(lambda: entry(values, x=x, exact=True, threads=threads), args.repeat)
                if scaled is None:
                    t_scaled, ratio = float("nan"), "-"
                else:
                    t_scaled = best(lambda: entry(scaled, x=x, threads=threads), args.repeat)
                    ratio = f"{t_float / t_scaled:.1f}"
                print(f"{name:10s} {label:16s} {threads:7d} {t_float:9.4f} {t_scaled:9.4f} "
                      f"{t_exact:9.4f} {ratio:>8s} {t_float / t_exact:7.1f} {edges:10d}", flush=True)


if __name__ == "__main__":
    main()
