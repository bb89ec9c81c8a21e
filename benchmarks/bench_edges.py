#!/usr/bin/env python3
"""Edge insertion and graph-building costs of kestrel_grid, measured from Python.

Three measurements:

  ascending   add_edge calls in ascending (low, high) order, the order in which the
              builders discover edges. The time per edge of each block should stay flat
              as the graph grows.
  arbitrary   the same call with edges in shuffled order; each insertion scans the stored
              edges for a duplicate, so the time per edge grows with the edge count.
  horizontal  build_horizontal_visibility_graph of i.i.d. uniform samples, then one
              read of the edges attribute. The builder tests every one of the n(n-1)/2
              pairs on its own, so this run takes tens of seconds at n = 10**5.

Figures (a) and (b) are the best of --repeat runs, (c) of --build-repeat runs, each in
a fresh graph.
"""

import argparse
import platform
import random
import sys
import time

import kestrel_grid as kg


def ascending_pairs(count, fanout):
    """`count` distinct pairs in ascending order: each vertex joined to its next `fanout` vertices."""
    lows = [k // fanout for k in range(count)]
    highs = [k // fanout + k % fanout + 1 for k in range(count)]
    return lows, highs, count // fanout + fanout + 1


def graph_with_vertices(n):
    g = kg.VisibilityGraph()
    add_vertex = g.add_vertex
    for k in range(n):
        add_vertex(k, 0.0)
    return g


def timed_blocks(lows, highs, n, step):
    """Adds the pairs to a new graph with n vertices; returns the seconds taken by each block of `step` pairs."""
    g = graph_with_vertices(n)
    add_edge = g.add_edge
    blocks = []
    for start in range(0, len(lows), step):
        block = list(zip(lows[start:start + step], highs[start:start + step]))
        began = time.perf_counter()
        for low, high in block:
            add_edge(low, high)
        blocks.append(time.perf_counter() - began)
    if g.edge_count() != len(lows):
        sys.exit(f"expected {len(lows)} edges, the graph holds {g.edge_count()}")
    return blocks


def best_blocks(repeat, *args):
    runs = [timed_blocks(*args) for _ in range(repeat)]
    return [min(times) for times in zip(*runs)]


def call_overhead(count):
    """Seconds for `count` calls of a trivial two-argument builtin: the floor of any Python call loop."""
    pairs = list(zip(range(count), range(1, count + 1)))
    began = time.perf_counter()
    for low, high in pairs:
        max(low, high)
    return time.perf_counter() - began


def print_blocks(title, blocks, step):
    print(title)
    print(f"  {'edges':>10}  {'block ms':>9}  {'ns/edge':>8}  {'total s':>8}")
    total = 0.0
    for index, seconds in enumerate(blocks, 1):
        total += seconds
        print(f"  {index * step:>10}  {seconds * 1e3:>9.2f}  {seconds / step * 1e9:>8.1f}  {total:>8.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--edges", type=int, default=10**6, help="ascending edges to add (default 10**6)")
    parser.add_argument("--step", type=int, default=10**5, help="block size for the ascending run (default 10**5)")
    parser.add_argument("--fanout", type=int, default=10, help="edges per low vertex in the ascending run")
    parser.add_argument("--random-edges", type=int, default=2 * 10**4, help="edges in arbitrary order (default 2*10**4)")
    parser.add_argument("--random-step", type=int, default=2000, help="block size for the arbitrary-order run")
    parser.add_argument("--samples", type=int, default=10**5, help="series length for the horizontal graph")
    parser.add_argument("--seed", type=int, default=20240601, help="seed of the shuffles and the series")
    parser.add_argument("--repeat", type=int, default=3, help="runs of (a) and (b); the best is shown")
    parser.add_argument("--build-repeat", type=int, default=1, help="runs of (c); the best is shown")
    args = parser.parse_args()
    rng = random.Random(args.seed)

    print(f"Python {platform.python_version()} on {platform.machine()}, kestrel_grid from {kg.__file__}")
    overhead = call_overhead(args.step)
    print(f"call-loop floor (max(a, b) from Python): {overhead / args.step * 1e9:.1f} ns/call\n")

    lows, highs, n = ascending_pairs(args.edges, args.fanout)
    blocks = best_blocks(args.repeat, lows, highs, n, args.step)
    print_blocks(f"(a) {args.edges} edges in ascending order on {n} vertices", blocks, args.step)
    per_edge = [seconds / args.step * 1e9 for seconds in blocks]
    print(f"  last block / first block: {per_edge[-1] / per_edge[0]:.2f}\n")

    m = args.random_edges
    side = int((2 * m) ** 0.5) + 2
    pairs = rng.sample([(i, j) for i in range(side) for j in range(i + 1, side)], m)
    shuffled = best_blocks(args.repeat, [p[0] for p in pairs], [p[1] for p in pairs], side, args.random_step)
    print_blocks(f"(b) {m} distinct edges in arbitrary order on {side} vertices", shuffled, args.random_step)
    pairs.sort()
    ordered = best_blocks(args.repeat, [p[0] for p in pairs], [p[1] for p in pairs], side, args.random_step)
    print(f"  same {m} edges in ascending order: {sum(ordered):.3f} s in total, "
          f"{sum(ordered) / m * 1e9:.1f} ns/edge (arbitrary order took {sum(shuffled) / sum(ordered):.0f}x as long)\n")

    series = [rng.random() for _ in range(args.samples)]
    build_times, read_times = [], []
    for _ in range(args.build_repeat):
        began = time.perf_counter()
        graph = kg.build_horizontal_visibility_graph(series)
        built = time.perf_counter()
        edges = graph.edges
        read_times.append(time.perf_counter() - built)
        build_times.append(built - began)
    print(f"(c) horizontal visibility graph of {args.samples} i.i.d. uniform samples (seed {args.seed})")
    print(f"  edges: {len(edges)} ({len(edges) / args.samples:.3f} per sample)")
    pairs_tested = args.samples * (args.samples - 1) // 2
    print(f"  build: {min(build_times):.2f} s, {min(build_times) / args.samples * 1e6:.1f} us/sample, "
          f"{min(build_times) / max(pairs_tested, 1) * 1e9:.2f} ns per pair tested ({pairs_tested} pairs)")
    print(f"  read edges: {min(read_times) * 1e3:.1f} ms, {min(read_times) / len(edges) * 1e9:.1f} ns/edge")


if __name__ == "__main__":
    main()
