#!/usr/bin/env python3
"""Edge counts of the variant builders: positions against a tolerance-based peer, and the
float rule against the exact one.

``--positions``: natural visibility of noise and random walks placed at irregular
timestamps (epoch seconds near 1.7e9, epoch nanoseconds near 1.7e18, and the same gaps
starting at 0), built by ``kestrel_grid.build_graph(v, x=t)`` and by ts2vg's
``NaturalVG().build(v, xs=t)`` in its own interpreter (``--ts2vg-python``). ts2vg accepts
a slope only when it exceeds the largest one so far by more than a tolerance relative to
the largest coordinate, so with large positions it drops pairs that are visible. For up
to ``--verify`` of the edges only we keep, the script checks in exact rational arithmetic
that every sample between lies strictly below the segment, and prints the smallest
vertical margin found.

``--exact``: ``build_graph(v)`` against ``build_graph(v, exact=True)`` on several families:
uniform noise, a Gaussian walk, ``round(sin(0.1 k), 2)``, the decimal ramp ``0.1 * k``
and an integer walk; the counts of edges only in the float graph and only in the exact
one.

Usage (the numbers quoted in docs/variants.rst):

    python tools/variant_comparison.py --positions --n 10000 --ts2vg-python /tmp/benchvenv/bin/python
    python tools/variant_comparison.py --exact --n 10000
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import tempfile
from fractions import Fraction
from typing import Callable, Dict, List, Optional, Tuple

import numpy as np
import numpy.typing as npt

import kestrel_grid as kg

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]

TS2VG_SCRIPT = """
import sys
import numpy as np
from ts2vg import NaturalVG
v = np.load(sys.argv[1])
t = np.load(sys.argv[2])
g = NaturalVG().build(v, xs=t)
e = np.asarray([(min(i, j), max(i, j)) for i, j in g.edges], dtype=np.int64).reshape(-1, 2)
np.save(sys.argv[3], e)
"""


def keys(edges: IntArray, n: int) -> IntArray:
    """One int64 key a * n + b per edge, sorted."""
    return np.sort(edges[:, 0] * n + edges[:, 1])


def edges_of(v: FloatArray, x: Optional[FloatArray] = None, exact: bool = False) -> IntArray:
    return np.asarray(kg.graph_edge_array(v, x=x, exact=exact)).reshape(-1, 2)


def ts2vg_edges(python: str, v: FloatArray, t: FloatArray) -> IntArray:
    with tempfile.TemporaryDirectory() as scratch:
        paths = [os.path.join(scratch, name) for name in ("v.npy", "t.npy", "e.npy")]
        np.save(paths[0], v)
        np.save(paths[1], t)
        subprocess.run([python, "-c", TS2VG_SCRIPT, *paths], check=True)
        return np.asarray(np.load(paths[2]), dtype=np.int64).reshape(-1, 2)


def exact_margin(v: FloatArray, t: FloatArray, a: int, b: int) -> Fraction:
    """The smallest vertical distance from the segment (a, b) down to a sample between,
    in exact rationals (positive: visible). Infinite when there is nothing between."""
    ta, tb, va, vb = (Fraction(float(z)) for z in (t[a], t[b], v[a], v[b]))
    slope = (vb - va) / (tb - ta)
    margin = None
    for k in range(a + 1, b):
        gap = va + slope * (Fraction(float(t[k])) - ta) - Fraction(float(v[k]))
        margin = gap if margin is None or gap < margin else margin
    return margin if margin is not None else Fraction(10**9)


def compare_positions(n: int, python: str, verify: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    families: Dict[str, FloatArray] = {
        "noise": rng.random(n),
        "walk": np.cumsum(rng.normal(size=n)),
    }
    gaps = np.cumsum(rng.integers(1, 90, size=n))  # seconds between samples, irregular
    stamps: Dict[str, FloatArray] = {
        "seconds from 0": gaps.astype(np.float64),
        "epoch seconds": (1_700_000_000 + gaps).astype(np.float64),
        "epoch nanoseconds": (1_700_000_000_000_000_000 + gaps * 1_000_000_000).astype(np.float64),
    }
    print(f"natural visibility, n = {n}, irregular gaps of 1..89 s (seed {seed})")
    print(f"{'family':<8} {'positions':<18} {'ours':>8} {'ts2vg':>8} {'only ours':>10} "
          f"{'only ts2vg':>10}  smallest exact margin of {verify} only-ours edges")
    for family, v in families.items():
        for label, t in stamps.items():
            ours = edges_of(v, x=t)
            theirs = ts2vg_edges(python, v, t)
            k_ours, k_theirs = keys(ours, n), keys(theirs, n)
            only_ours = np.setdiff1d(k_ours, k_theirs, assume_unique=True)
            only_theirs = np.setdiff1d(k_theirs, k_ours, assume_unique=True)
            checked = only_ours[:verify]
            margins = [exact_margin(v, t, int(key // n), int(key % n)) for key in checked]
            smallest = f"{float(min(margins)):.3g}" if margins else "-"
            print(f"{family:<8} {label:<18} {ours.shape[0]:>8} {theirs.shape[0]:>8} "
                  f"{only_ours.size:>10} {only_theirs.size:>10}  {smallest}")


def integer_walk(rng: np.random.Generator, n: int) -> FloatArray:
    return np.cumsum(rng.choice([-1.0, 1.0], size=n))


def compare_exact(n: int, seed: int) -> None:
    rng = np.random.default_rng(seed)
    families: List[Tuple[str, Callable[[], FloatArray]]] = [
        ("uniform noise", lambda: rng.random(n)),
        ("Gaussian walk", lambda: np.cumsum(rng.normal(size=n))),
        ("round(sin(0.1 k), 2)", lambda: np.array([round(math.sin(0.1 * k), 2) for k in range(n)])),
        ("0.1 * k", lambda: 0.1 * np.arange(n, dtype=np.float64)),
        ("integer walk", lambda: integer_walk(rng, n)),
    ]
    print(f"natural visibility, n = {n}, float rule against exact=True (seed {seed})")
    print(f"{'family':<22} {'float':>8} {'exact':>8} {'only float':>11} {'only exact':>11}")
    for name, make in families:
        v = make()
        plain, exact = keys(edges_of(v), n), keys(edges_of(v, exact=True), n)
        only_float = np.setdiff1d(plain, exact, assume_unique=True).size
        only_exact = np.setdiff1d(exact, plain, assume_unique=True).size
        print(f"{name:<22} {plain.size:>8} {exact.size:>8} {only_float:>11} {only_exact:>11}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--positions", action="store_true", help="compare with ts2vg at timestamps")
    parser.add_argument("--exact", action="store_true", help="compare the float and exact rules")
    parser.add_argument("--n", type=int, default=10000, help="samples per series")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--verify", type=int, default=20,
                        help="only-ours edges checked in exact arithmetic per row")
    parser.add_argument("--ts2vg-python", default="/tmp/benchvenv/bin/python",
                        help="an interpreter with numpy and ts2vg")
    args = parser.parse_args()
    if not (args.positions or args.exact):
        parser.error("give --positions, --exact or both")
    if args.positions:
        compare_positions(args.n, args.ts2vg_python, args.verify, args.seed)
    if args.exact:
        compare_exact(args.n, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
