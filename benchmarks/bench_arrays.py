"""Crossing costs between Python and the core, from one run (compare the ratios).

    python benchmarks/bench_arrays.py [--n 10000000]

- series in: numpy float64 array (fast path) against the same values as a Python list
  through the general iterator path (a list subclass) and as an exact list, and against a
  plain memory copy of the array; each conversion timed through subseries_between(x, 0, 1),
  which converts the whole series and returns an empty list;
- edges out: edges_array() against the edges list of a graph with about n edges;
- degree-only build against the edge-storing build (horizontal), time and peak memory,
  each in a fresh process;
- two degree-only builds in two threads against the same two in a row.
Needs numpy.
"""

import argparse
import json
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np

from _timing import best  # noqa: E402  (beside this script)
import kestrel_grid as kg


class GeneralList(list):
    pass


def child_peak(code):
    """Seconds and peak-memory growth (MB) of `code` in a fresh process."""
    script = textwrap.dedent(f"""
        import json, time, numpy as np, kestrel_grid as kg
        def peak_kb():  # VmHWM: this process's own peak (ru_maxrss survives exec)
            with open("/proc/self/status") as status:
                return next(int(l.split()[1]) for l in status if l.startswith("VmHWM"))
        x = np.random.default_rng(1).random({ARGS.n})
        before = peak_kb()
        start = time.perf_counter()
        {code}
        seconds = time.perf_counter() - start
        print(json.dumps([seconds, (peak_kb() - before) / 1024]))
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


def main():
    n = ARGS.n
    x = np.random.default_rng(1).random(n)
    values = x.tolist()
    general = GeneralList(values)
    rows = []
    t_array = best(lambda: kg.subseries_between(x, 0, 1))
    t_general = best(lambda: kg.subseries_between(general, 0, 1), repeat=1)
    t_list = best(lambda: kg.subseries_between(values, 0, 1), repeat=1)
    t_copy = best(lambda: x.copy())
    rows.append(("series in: ndarray float64", n, t_array, ""))
    rows.append(("series in: list, general path", n, t_general, f"{t_general / t_array:.1f}x the array"))
    rows.append(("series in: exact list", n, t_list, f"{t_list / t_array:.1f}x the array"))
    rows.append(("series in: numpy copy", n, t_copy, f"array path {t_array / t_copy:.2f}x a copy"))
    del values, general

    g = kg.build_horizontal_visibility_graph(x[: n // 2])
    m = g.edge_count()
    t_export = best(lambda: np.asarray(g.edges_array()))
    t_edges = best(lambda: g.edges, repeat=1)
    export_bytes = len(g.edges_array().tobytes())
    rows.append(("edges out: edges_array()", m, t_export, f"{export_bytes / m:.0f} bytes an edge"))
    rows.append(("edges out: edges list", m, t_edges, f"{t_edges / t_export:.0f}x the export"))
    del g

    seconds_degrees, mb_degrees = child_peak("kg.horizontal_visibility_degrees(x)")
    seconds_graph, mb_graph = child_peak("kg.build_horizontal_visibility_graph(x)")
    rows.append(("degree-only build (horizontal)", n, seconds_degrees, f"peak +{mb_degrees:.0f} MB"))
    rows.append(("edge-storing build (horizontal)", n, seconds_graph,
                 f"peak +{mb_graph:.0f} MB; degree-only uses {mb_degrees / max(mb_graph, 1e-9):.2f}x"))

    def two(parallel):
        calls = [lambda: kg.horizontal_visibility_degrees(x)] * 2
        start = time.perf_counter()
        if parallel:
            threads = [threading.Thread(target=c) for c in calls]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        else:
            for c in calls:
                c()
        return time.perf_counter() - start
    t_row = min(two(False) for _ in range(2))
    t_par = min(two(True) for _ in range(2))
    rows.append(("two degree-only builds in a row", n, t_row, ""))
    rows.append(("the same in two threads", n, t_par, f"{t_par / t_row:.2f}x in a row"))

    print("| operation | size | seconds | note |")
    print("|---|---|---|---|")
    for name, size, seconds, note in rows:
        print(f"| {name} | {size:,} | {seconds:.4f} | {note} |")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=10_000_000)
    ARGS = parser.parse_args()
    main()
