"""Timing of the whole-series builders and motif scores on seeded random series.

Run: python benchmarks/bench_builders.py [--sizes 1000 2000 5000] [--repeat 3]
Prints the best wall time of each operation per size.
"""

import argparse
import random
import time

import kestrel_grid as kg


def best_of(repeat, call):
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
    return best, result


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 2000, 5000, 10000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--window", type=int, default=32)
    args = parser.parse_args()

    rng = random.Random(2009)
    print(f"{'n':>8} {'operation':<36} {'seconds':>10} {'edges/scores':>12}")
    for n in args.sizes:
        uniform = [rng.random() for _ in range(n)]
        walk = [0.0]
        for _ in range(n - 1):
            walk.append(walk[-1] + rng.gauss(0.0, 1.0))
        cases = [
            ("natural, uniform", lambda: kg.build_visibility_graph(uniform).edge_count()),
            ("horizontal, uniform", lambda: kg.build_horizontal_visibility_graph(uniform).edge_count()),
            ("natural, random walk", lambda: kg.build_visibility_graph(walk).edge_count()),
            ("horizontal, random walk", lambda: kg.build_horizontal_visibility_graph(walk).edge_count()),
            (f"motif scores w={args.window}, uniform",
             lambda: len(kg.horizontal_window_motif_scores(uniform, min(args.window, n)))),
        ]
        for name, call in cases:
            seconds, size = best_of(args.repeat, call)
            print(f"{n:>8} {name:<36} {seconds:>10.4f} {size:>12}")


if __name__ == "__main__":
    main()
