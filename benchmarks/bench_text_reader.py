"""Reading speed of text files through ``kestrel_grid_tools`` read_series, two builds
side by side.

Writes 10**7-line CSV files (``--lines``) of random decimals: one and three columns,
plain decimals, with exponents, and with a few ``NA`` cells; then reads each file with
every interpreter given (each one a venv with its own build installed, e.g. main's and a
branch's), in its own child process, best of ``--repeat`` runs, and prints the seconds
and the ratio of each interpreter to the first.

Usage::

    python benchmarks/bench_text_reader.py --python BEFORE/bin/python AFTER/bin/python
        [--lines N] [--repeat R] [--keep DIR]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import tempfile
from typing import Callable, Dict, List

import numpy as np

READ = """\
import sys, time
from kestrel_grid_tools._io import read_series
start = time.perf_counter()
items = read_series([sys.argv[1]], [])
print(time.perf_counter() - start, sum(len(i.values) for i in items))
"""


def plain(rng: np.random.Generator, n: int) -> List[str]:
    return [f"{v:.3f}" for v in rng.normal(size=n) * 100]


def exponents(rng: np.random.Generator, n: int) -> List[str]:
    return [f"{v:.6e}" for v in rng.normal(size=n) * 100]


def with_na(rng: np.random.Generator, n: int) -> List[str]:
    cells = plain(rng, n)
    for k in rng.integers(0, n, size=max(n // 100000, 3)).tolist():
        cells[k] = "NA"
    return cells


KINDS: Dict[str, Callable[[np.random.Generator, int], List[str]]] = {
    "plain": plain, "exponents": exponents, "with NA": with_na}


def write(path: str, lines: int, width: int, kind: str) -> None:
    rng = np.random.default_rng(12345)
    with open(path, "w") as stream:
        stream.write(",".join(f"c{k}" for k in range(width)) + "\n")
        for start in range(0, lines, 1 << 19):
            n = min(1 << 19, lines - start)
            columns = [KINDS[kind](rng, n) for _ in range(width)]
            stream.write("\n".join(map(",".join, zip(*columns))) + "\n")


def seconds(python: str, path: str, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        out = subprocess.run([python, "-c", READ, path], check=True, capture_output=True, text=True)
        best = min(best, float(out.stdout.split()[0]))
    return best


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", nargs="+", required=True)
    parser.add_argument("--lines", type=int, default=10**7)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--keep")
    args = parser.parse_args()
    folder = args.keep or tempfile.mkdtemp()
    try:
        print("file".ljust(24) + "".join(f"{'s #' + str(k):>10}" for k in range(len(args.python))) + "  ratios")
        for width in (1, 3):
            for kind in KINDS:
                path = os.path.join(folder, f"{width}-{kind.replace(' ', '_')}.csv")
                if not os.path.exists(path):
                    write(path, args.lines, width, kind)
                times = [seconds(python, path, args.repeat) for python in args.python]
                ratios = " ".join(f"{t / times[0]:.2f}" for t in times[1:])
                print(f"{width} col, {kind}".ljust(24) + "".join(f"{t:10.2f}" for t in times) + f"  {ratios}")
    finally:
        if not args.keep:
            shutil.rmtree(folder)


if __name__ == "__main__":
    main()
