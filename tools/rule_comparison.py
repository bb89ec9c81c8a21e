#!/usr/bin/env python3
"""Natural visibility of sin(step * k) under three rules, edge sets compared.

- ``float``: the module's rule, ``visibility_edge_array`` (the pair (a, b) is blocked by k
  in between when ``v[k] >= fl(fl(fl(d/span) * fl(v[b] - v[a])) + v[a])``).
- ``exact``: the same binary values in exact rational arithmetic: (a, b) is visible when
  the exact slope ``(v[b] - v[a]) / (b - a)`` exceeds every ``(v[k] - v[a]) / (k - a)``
  for a < k < b (the same statement as "v[k] lies strictly below the exact line").
- ``ts2vg``: ts2vg's ``NaturalVG``, which accepts a slope only when it exceeds the
  largest one so far by more than a tolerance (1e-14, relative to the largest coordinate).

Usage (the numbers quoted in docs/rule.rst come from the first two lines):

    python tools/rule_comparison.py --n 1000 10000 100000 --ts2vg-python /tmp/benchvenv/bin/python
    python tools/rule_comparison.py --n 1000 10000 --decimals 2 --ts2vg-python /tmp/benchvenv/bin/python
    python tools/rule_comparison.py --n 1000 --decimals 2 --literal --examples 5

The series is ``[math.sin(step * k) for k in range(n)]`` (the C library's sin through
Python's math module), each value rounded to ``--decimals`` places when given, as
recorded data often is. ts2vg runs in its own interpreter (``--ts2vg-python``, an
environment with numpy and ts2vg); the series and its edges pass through .npy files.

How the exact rule stays affordable: for each low end a, the float slopes
``s_k = fl(fl(v[k] - v[a]) / (k - a))`` are within two roundings of the exact slopes
``S_k``: ``|s_k - S_k| <= 2u |S_k| (1 + u)`` with u = 2**-53, which is below
``tol_k = 2**-51 |s_k| + 2**-1070`` (the absolute term covers underflow). With
``U_k = s_k + tol_k`` and ``L_k = s_k - tol_k`` the exact maximum slope before b lies in
``[max L_k, max U_k]``. So b is visible for sure when ``L_b > max U_k``, blocked for sure
when ``U_b <= max L_k``, and only the rest (near-ties) is decided with Fractions, over the
k whose ``U_k`` reaches ``max L_k`` (the exact maximum is among them). ``--literal``
checks the module against a direct vectorised evaluation of the float rule (O(n^3) work,
meant for n up to a few thousand).
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import tempfile
import time
from fractions import Fraction
from typing import List, Optional, Tuple

import numpy as np
import numpy.typing as npt

import kestrel_grid as kg

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]

TS2VG_SCRIPT = """
import sys
import numpy as np
from ts2vg import NaturalVG
x = np.load(sys.argv[1])
g = NaturalVG().build(x)
e = np.asarray([(min(i, j), max(i, j)) for i, j in g.edges], dtype=np.int64).reshape(-1, 2)
np.save(sys.argv[2], e)
"""


def sin_series(n: int, step: float, decimals: Optional[int]) -> FloatArray:
    values = [math.sin(step * k) for k in range(n)]
    if decimals is not None:
        values = [round(x, decimals) for x in values]
    return np.array(values, dtype=np.float64)


def keys(edges: IntArray, n: int) -> IntArray:
    """One int64 key a * n + b per edge, sorted."""
    return np.sort(edges[:, 0] * n + edges[:, 1])


def float_edges(v: FloatArray) -> IntArray:
    return np.asarray(kg.visibility_edge_array(v)).reshape(-1, 2)


def literal_float_edges(v: FloatArray) -> IntArray:
    """The float rule evaluated directly: for each a, every (b, k) at once."""
    n = v.size
    found: List[IntArray] = []
    for a in range(n - 1):
        m = n - 1 - a  # highs a+1 .. n-1
        span = np.arange(1, m + 1, dtype=np.float64)[:, None]  # b - a, one row per b
        d = np.arange(1, m + 1, dtype=np.float64)[None, :]  # k - a, one column per k
        rise = (v[a + 1 :] - v[a])[:, None]
        q = d / span
        h = q * rise  # separate numpy operations: each one rounded on its own
        h = h + v[a]
        blocks = (v[None, a + 1 :] >= h) & (d < span)
        visible = ~blocks.any(axis=1)
        highs = a + 1 + np.nonzero(visible)[0]
        found.append(np.stack([np.full(highs.size, a), highs], axis=1).astype(np.int64))
    return np.concatenate(found) if found else np.zeros((0, 2), dtype=np.int64)


def exact_edges(v: FloatArray) -> Tuple[IntArray, int]:
    """Edges under exact arithmetic on the binary values, and the number of pairs that
    needed the rational check."""
    n = v.size
    if not np.all(np.isfinite(v)):
        raise ValueError("the exact comparison is written for finite series")
    exact = [Fraction(float(x)) for x in v]
    found: List[IntArray] = []
    checked = 0
    for a in range(n - 1):
        j = np.arange(1, n - a, dtype=np.float64)
        s = (v[a + 1 :] - v[a]) / j
        tol = np.abs(s) * 2.0**-51 + 2.0**-1070
        upper = s + tol
        lower = s - tol
        before_upper = np.concatenate([[-np.inf], np.maximum.accumulate(upper)[:-1]])
        before_lower = np.concatenate([[-np.inf], np.maximum.accumulate(lower)[:-1]])
        visible = lower > before_upper
        blocked = upper <= before_lower
        for t in np.nonzero(~(visible | blocked))[0]:
            checked += 1
            slope_b = (exact[a + 1 + t] - exact[a]) / (t + 1)
            candidates = np.nonzero(upper[:t] >= before_lower[t])[0]
            top = max((exact[a + 1 + c] - exact[a]) / (c + 1) for c in candidates)
            visible[t] = slope_b > top
        highs = a + 1 + np.nonzero(visible)[0]
        found.append(np.stack([np.full(highs.size, a), highs], axis=1).astype(np.int64))
    edges = np.concatenate(found) if found else np.zeros((0, 2), dtype=np.int64)
    return edges, checked


def ts2vg_edges(v: FloatArray, python: str) -> IntArray:
    with tempfile.TemporaryDirectory() as tmp:
        series_path = os.path.join(tmp, "series.npy")
        edges_path = os.path.join(tmp, "edges.npy")
        np.save(series_path, v)
        subprocess.run([python, "-c", TS2VG_SCRIPT, series_path, edges_path], check=True)
        return np.asarray(np.load(edges_path), dtype=np.int64).reshape(-1, 2)


def only_in(first: IntArray, second: IntArray) -> IntArray:
    return np.setdiff1d(first, second, assume_unique=True)


def describe_pair(v: FloatArray, key: int) -> str:
    """The pair, its gap, and the exactly-decided blocking sample (or none)."""
    n = v.size
    a, b = divmod(int(key), n)
    slope_b = (Fraction(float(v[b])) - Fraction(float(v[a]))) / (b - a)
    slopes = [((Fraction(float(v[k])) - Fraction(float(v[a]))) / (k - a), k) for k in range(a + 1, b)]
    top, k = max(slopes)
    span = float(b - a)
    h = (float(k - a) / span) * (float(v[b]) - float(v[a])) + float(v[a])
    return (
        f"({a}, {b}) gap {b - a}: k = {k}, v[k] = {float(v[k])!r}, float line {h!r}, "
        f"exact slope margin {float(slope_b - top):.3g}"
    )


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, nargs="+", default=[1000, 10000], help="series lengths")
    parser.add_argument("--step", type=float, default=0.1, help="v[k] = sin(step * k)")
    parser.add_argument("--decimals", type=int, default=None,
                        help="round every sample to this many decimals, as recorded data is")
    parser.add_argument("--ts2vg-python", default="/tmp/benchvenv/bin/python",
                        help="interpreter with ts2vg installed ('' to skip ts2vg)")
    parser.add_argument("--literal", action="store_true",
                        help="also check the module against the float rule evaluated directly")
    parser.add_argument("--examples", type=int, default=0,
                        help="print this many differing pairs of each kind, smallest gap first")
    args = parser.parse_args(argv)
    use_ts2vg = bool(args.ts2vg_python) and os.path.exists(args.ts2vg_python)
    if args.ts2vg_python and not use_ts2vg:
        print(f"ts2vg skipped: {args.ts2vg_python} not found", file=sys.stderr)

    for n in args.n:
        v = sin_series(n, args.step, args.decimals)
        start = time.perf_counter()
        ours = keys(float_edges(v), n)
        if args.literal:
            literal = keys(literal_float_edges(v), n)
            if not np.array_equal(ours, literal):
                print(f"n={n}: the module differs from the literal float rule", file=sys.stderr)
                return 1
        exact_array, checked = exact_edges(v)
        exact = keys(exact_array, n)
        elapsed = time.perf_counter() - start
        name = f"sin({args.step} k)"
        if args.decimals is not None:
            name = f"round({name}, {args.decimals})"
        print(f"{name}, n = {n}: natural visibility edges")
        print(f"  float rule (this module)      {ours.size}")
        print(f"  exact arithmetic              {exact.size}   ({checked} near-tie pairs decided with Fractions, {elapsed:.1f} s)")
        float_only = only_in(ours, exact)
        exact_only = only_in(exact, ours)
        print(f"  float rule only               {float_only.size}")
        print(f"  exact only                    {exact_only.size}")
        if args.literal:
            print("  the module equals the literal float rule on every pair")
        if use_ts2vg:
            peer = keys(ts2vg_edges(v, args.ts2vg_python), n)
            print(f"  ts2vg                         {peer.size}")
            print(f"  float rule only, not ts2vg    {only_in(ours, peer).size}")
            print(f"  ts2vg only, not float rule    {only_in(peer, ours).size}")
            print(f"  exact only, not ts2vg         {only_in(exact, peer).size}")
            print(f"  ts2vg only, not exact         {only_in(peer, exact).size}")
        for title, pairs in (("float only", float_only), ("exact only", exact_only)):
            if args.examples and pairs.size:
                by_gap = sorted(pairs.tolist(), key=lambda key: (key % n - key // n, key))
                print(f"  {title}, first {min(args.examples, len(by_gap))} by gap:")
                for key in by_gap[: args.examples]:
                    print("    " + describe_pair(v, key))
    return 0


if __name__ == "__main__":
    sys.exit(main())
