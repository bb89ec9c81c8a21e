"""Horizontal degree distribution of a long ``.npy`` file: read in pieces against loaded whole.

Writes a file of uniform random samples, then runs side by side, each in its own child
process:

* in memory: ``numpy.load`` and ``kestrel_grid.horizontal_visibility_degrees``, then the
  distribution by ``numpy.bincount``;
* in pieces: ``kestrel_grid_tools.horizontal_out_of_core(path)``;
* in pieces with the degrees written: ``kestrel-grid FILE --kind horizontal --output
  degrees -o OUT.npy``;
* on Dask: ``horizontal_dask`` on the memory-mapped file in chunks of 2^20 samples, with
  the threaded scheduler, then the distribution by ``numpy.bincount``;

and prints each route's wall time and peak resident memory (the child's ``ru_maxrss``),
with the ratios to the in-memory route. The best of ``--repeat`` runs counts. With
``--pieces-only`` the in-memory route is left out (for files longer than memory).

With ``--rule natural`` the natural edges are written to an ``.npy`` file, by
``graph_edge_array`` on the loaded series against ``natural_out_of_core(path)`` and
``natural_dask`` (the edges written per chunk).

Usage::

    python benchmarks/bench_out_of_core.py [--samples N] [--repeat R] [--pieces-only]
                                           [--rule natural]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Tuple

import numpy as np

ROUTES: Dict[str, str] = {
    "in memory": """
import numpy as np, kestrel_grid as kg
counts = np.bincount(np.asarray(kg.horizontal_visibility_degrees(np.load(PATH))))
""",
    "in pieces": """
from kestrel_grid_tools import horizontal_out_of_core
counts = horizontal_out_of_core(PATH).distribution
""",
    "on Dask, threads": """
import numpy as np, dask.array as da
from kestrel_grid_tools import horizontal_dask
series = da.from_array(np.load(PATH, mmap_mode="r"), chunks=1 << 20)
counts = np.bincount(horizontal_dask(series).compute(scheduler="threads"))
""",
}

# The natural rule keeps every sample but never the edges: both routes write the edges.
NATURAL_ROUTES: Dict[str, str] = {
    "in memory, edges written": """
import numpy as np, kestrel_grid as kg
np.save(OUT, np.asarray(kg.graph_edge_array(np.load(PATH), kind="natural")))
""",
    "in pieces, edges written": """
from kestrel_grid_tools import natural_out_of_core
natural_out_of_core(PATH, edges=OUT)
""",
    "on Dask, threads, edges written": """
import os, numpy as np, dask.array as da
from kestrel_grid_tools import natural_dask
os.makedirs(OUT + ".d", exist_ok=True)
series = da.from_array(np.load(PATH, mmap_mode="r"), chunks=1 << 20)
natural_dask(series, edges_dir=OUT + ".d").compute(scheduler="threads")
""",
}

REPORT = """
import resource, sys
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, file=sys.stderr)
"""


def write_series(path: str, samples: int) -> None:
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=(samples,))
    rng = np.random.default_rng(0)
    step = 10_000_000
    for start in range(0, samples, step):
        out[start:start + step] = rng.random(min(step, samples - start))
    out.flush()
    del out


def run(command: List[str]) -> Tuple[float, float]:
    """Wall seconds and peak resident MiB of one child, which prints its peak in KiB
    last on standard error (the Python routes themselves, /usr/bin/time for the tool)."""
    started = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return time.perf_counter() - started, int(done.stderr.split()[-1]) / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--samples", type=int, default=10_000_000)
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--pieces-only", action="store_true")
    parser.add_argument("--rule", choices=("horizontal", "natural"), default="horizontal",
                        help="natural: the edges written, in memory against in pieces")
    parser.add_argument("--write", metavar="PATH", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.write:
        write_series(args.write, args.samples)
        return
    folder = tempfile.mkdtemp(prefix="kestrel-ooc-")
    try:
        path = os.path.join(folder, "series.npy")
        # Written by a child: a child's peak resident size starts from its parent's
        # size at the fork, so the parent stays small.
        subprocess.run([sys.executable, __file__, "--write", path, "--samples",
                        str(args.samples)], check=True)
        out = os.path.join(folder, "edges.npy")
        routes = ROUTES if args.rule == "horizontal" else NATURAL_ROUTES
        commands = {
            name: [sys.executable, "-c", f"PATH = {path!r}\nOUT = {out!r}\n" + code + REPORT]
            for name, code in routes.items()
            if not (args.pieces_only and name.startswith("in memory"))
        }
        script = os.path.join(os.path.dirname(sys.executable), "kestrel-grid")
        if args.rule == "horizontal":
            commands["command line, degrees"] = [
                "/usr/bin/time", "-f", "%M", script, path, "--kind", "horizontal",
                "--output", "degrees", "-o", os.path.join(folder, "degrees.npy")]
        best: Dict[str, Tuple[float, float]] = {}
        for _ in range(args.repeat):
            for name, command in commands.items():
                if command[0] == "/usr/bin/time" and not os.path.exists("/usr/bin/time"):
                    continue
                wall, peak = run(command)
                if name not in best or wall < best[name][0]:
                    best[name] = (wall, peak)
        base = best.get("in memory", best.get("in memory, edges written"))
        print(f"{args.samples:,} samples ({args.samples * 8 / 1e6:,.0f} MB)")
        print("| route | wall s | peak RSS MiB | wall / in memory | RSS / in memory |")
        print("|---|---|---|---|---|")
        for name, (wall, peak) in best.items():
            ratios = ("-", "-") if base is None else (f"{wall / base[0]:.2f}", f"{peak / base[1]:.3f}")
            print(f"| {name} | {wall:.2f} | {peak:,.0f} | {ratios[0]} | {ratios[1]} |")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
