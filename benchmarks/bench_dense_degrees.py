"""Degrees of dense natural graphs against the degree build for noise, from one run
(compare the ratios side by side; timings on a shared machine are noisy).

    python benchmarks/bench_dense_degrees.py [--n 1000000]

Smooth or oversampled signals have near-complete natural graphs: sin(0.001 t) at 10^6
samples has 1.87 10^9 edges. The exact rule counts their degrees by runs of consecutive
neighbours, so the cost follows the runs, not the edges; the float rule still visits
every edge (its row at 10^5 samples is shown for scale).
"""

from __future__ import annotations

import argparse

import numpy as np

from _timing import best  # noqa: E402  (beside this script)
import kestrel_grid as kg


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    args = parser.parse_args()
    n = args.n
    noise = np.random.default_rng(1).normal(size=n)
    t = np.arange(n, dtype=np.float64)
    base = best(lambda: kg.graph_degrees(noise))
    print(f"natural degrees, {n:,} samples; ratios to the float-rule degree build of noise")
    rows = [
        ("noise, float rule", base),
        ("noise, exact rule", best(lambda: kg.graph_degrees(noise, exact=True))),
    ]
    for label, values in (("sin(0.001 t)", np.sin(0.001 * t)), ("sin(0.0001 t)", np.sin(0.0001 * t)),
                          ("t^2 (complete graph)", t * t)):
        edges = int(np.asarray(kg.graph_degrees(values, exact=True)).sum()) // 2
        rows.append((f"{label}, exact rule ({edges:,} edges)",
                     best(lambda: kg.graph_degrees(values, exact=True))))
    small = np.sin(0.001 * t[: n // 10])
    rows.append((f"sin(0.001 t), float rule, {n // 10:,} samples", best(lambda: kg.graph_degrees(small), 1)))
    for label, seconds in rows:
        print(f"  {label:<58} {seconds:8.3f} s   {seconds / base:6.2f}x")


if __name__ == "__main__":
    main()
