"""Reading speed of the command-line tool against pandas.

Writes a one-column text file of random decimals, then runs side by side, each in its own
child process:

* ``kestrel-grid FILE --kind horizontal`` (the summary), and
* ``pandas.read_csv(FILE, header=None)`` followed by
  ``kestrel_grid_tools.summarize(series, "horizontal")``,

and prints each route's wall time and peak resident memory (the child's ``ru_maxrss``),
and their ratios. The quick default has 10**6 lines; ``--lines 10000000`` is the large
case. The best of ``--repeat`` runs counts, as other work on the machine only slows a
run down.

Usage::

    python benchmarks/bench_reading.py [--lines N] [--repeat R] [--places P] [--keep DIR]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import List, Tuple

import numpy as np

PANDAS_ROUTE = """\
import sys
import pandas as pd
import kestrel_grid_tools as kgt
series = pd.read_csv(sys.argv[1], header=None).iloc[:, 0].to_numpy()
print(kgt.summarize(series, "horizontal"))
"""


def write_input(path: str, lines: int, places: int) -> None:
    """``lines`` normal deviates times 100, written with ``places`` decimals."""
    rng = np.random.default_rng(12345)
    with open(path, "w") as stream:
        for start in range(0, lines, 1 << 20):
            block = np.round(rng.normal(size=min(1 << 20, lines - start)) * 100, places)
            np.savetxt(stream, block, fmt=f"%.{places}f")


def measure(command: List[str]) -> Tuple[float, int, bytes]:
    """Wall seconds, peak RSS in bytes (0 where it cannot be read) and standard output
    of one child process."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(command, stdout=out, stderr=err)
        if hasattr(os, "wait4"):
            _, status, usage = os.wait4(child.pid, 0)
            child.returncode = os.waitstatus_to_exitcode(status)
            # Linux reports KiB, macOS bytes.
            peak = int(usage.ru_maxrss) * (1 if sys.platform == "darwin" else 1024)
        else:
            child.wait()
            peak = 0
        wall = time.perf_counter() - start
        out.seek(0)
        err.seek(0)
        if child.returncode != 0:
            raise SystemExit(f"{command[0]} failed:\n{err.read().decode()}")
        return wall, peak, out.read()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lines", type=int, default=10**6, help="lines of the input (default 10**6)")
    parser.add_argument("--repeat", type=int, default=2, help="runs per route; the best counts")
    parser.add_argument("--places", type=int, default=3, help="decimals written (default 3)")
    parser.add_argument("--keep", metavar="DIR", help="write the input here and keep it")
    args = parser.parse_args()

    script = shutil.which("kestrel-grid", path=os.path.dirname(sys.executable)) or shutil.which(
        "kestrel-grid"
    )
    if script is None:
        raise SystemExit("the kestrel-grid script is not installed")
    directory = args.keep or tempfile.mkdtemp(prefix="bench-reading-")
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, f"series-{args.lines}.txt")
    if not os.path.exists(path):
        write_input(path, args.lines, args.places)
    size = os.path.getsize(path)
    print(f"input: {args.lines} lines, {size / 1e6:.1f} MB, {args.places} decimals")
    routes = {
        "kestrel-grid": [script, path, "--kind", "horizontal"],
        "pandas": [sys.executable, "-c", PANDAS_ROUTE, path],
    }
    best = {}
    outputs = {}
    for _ in range(args.repeat):
        for name, command in routes.items():
            wall, peak, out = measure(command)
            old = best.get(name, (float("inf"), 1 << 62))
            best[name] = (min(old[0], wall), min(old[1], peak))
            outputs[name] = out
    edges = [line for line in outputs["kestrel-grid"].decode().splitlines() if line.startswith("edges:")]
    assert edges and f"'edges': {edges[0].split()[1]}," in outputs["pandas"].decode(), outputs
    for name, (wall, peak) in best.items():
        print(f"{name:>13}: {wall:7.2f} s wall, {peak / 2**20:8.1f} MiB peak RSS")
    (ours_wall, ours_peak), (their_wall, their_peak) = best["kestrel-grid"], best["pandas"]
    print(f"ratio kestrel-grid / pandas: wall {ours_wall / their_wall:.2f}, "
          f"peak RSS {ours_peak / max(their_peak, 1):.2f}")
    if args.keep is None:
        shutil.rmtree(directory)


if __name__ == "__main__":
    main()
