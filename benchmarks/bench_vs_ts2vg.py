#!/usr/bin/env python3
"""Side-by-side timing of the kestrel_grid builders and ts2vg on seeded series.

ts2vg is only needed here, never by the package itself. Set up a separate environment:

    python3 -m venv /tmp/benchvenv
    /tmp/benchvenv/bin/pip install numpy ts2vg
    /tmp/benchvenv/bin/pip install /path/to/kestrel_grid/checkout
    /tmp/benchvenv/bin/python benchmarks/bench_vs_ts2vg.py [--max-n 10000] [--timeout 300]

Every measurement (library, rule, family, n) runs in a fresh child process, so the peak
memory reported is that child's own (VmHWM on Linux, ru_maxrss elsewhere), and a runaway
case is killed after --timeout seconds of timed runs and reported as "timeout"; larger
sizes of the same case are then skipped.

What is timed, best of --repeat runs (a single run from n = 10**6 up):

  ours (list)   x.tolist(), the builder, then one read of g.edges
  ours (array)  the builder on the float64 array itself, then numpy.asarray(g.edges_array());
                only when the graph type has an edges_array method
  ts2vg         NaturalVG().build(x) or HorizontalVG().build(x) on the float64 array, then
                one read of .edges (the list of pairs its builder already produced)
  motif         horizontal_window_motif_scores(x, 100) on the array, horizontal rows only;
                its ratio is to our best build of the same series

The ts2vg/ours ratios are > 1 when we are faster. "differing" counts the edges present in
exactly one of the two graphs: ts2vg decides near-ties and near-collinear points with a
tolerance where we decide exactly, so a few differences are expected, even on random series.
Peak memory includes the interpreter, numpy and the input series.

--threads times, at n = 10**6 on uniform and walk series, the graph with edges_array(),
the direct edge-array entry (visibility_edge_array or horizontal_visibility_edge_array)
on threads=1 and on threads=2, and ts2vg: the two paths' ratios to ts2vg and the speed-up
of two threads over one.

--variants runs the variant builders instead (uniform and walk series): irregular
positions (ts2vg's xs=, positions 1.7e9 plus gaps uniform in [0.5, 1.5)), penetrable
visibility with L = 1 and 2 (ts2vg's penetrable_limit=) and our exact natural rule (no
ts2vg counterpart; ts2vg runs its ordinary builder there). Ours is build_graph(...) on the
array with numpy.asarray(g.edges_array()) out; "regular" is the same call without the
variant, and the variant/regular ratio shows what the variant costs.
"""

import argparse
import itertools
import json
import os
import resource
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

FAMILIES = ("uniform", "walk", "ramp", "convex", "constant", "sin", "integers")
RULES = ("natural", "horizontal")
SIZES = {
    "natural": (10**3, 10**4, 10**5, 10**6),
    "horizontal": (10**3, 10**4, 10**5, 10**6, 10**7),
}
# The natural graph of a convex series is complete; ramp and constant are quadratic for
# the ts2vg natural builder (about 4 s at 40k), so those rows stop early.
ROW_CAPS = {
    ("natural", "convex"): 10**4,
    ("natural", "ramp"): 40_000,
    ("natural", "constant"): 40_000,
}
PEER_CAPS = {
    ("natural", "ramp"): 40_000,
    ("natural", "constant"): 40_000,
}
MOTIF_WINDOW = 100
SINGLE_RUN_FROM = 10**6


def make_series(family, n, seed):
    rng = np.random.default_rng(seed)
    if family == "uniform":
        return rng.random(n)
    if family == "walk":
        return np.cumsum(rng.standard_normal(n))
    if family == "ramp":
        return np.arange(n, dtype=np.float64)
    if family == "convex":
        return (np.arange(n, dtype=np.int64) ** 2).astype(np.float64)
    if family == "constant":
        return np.ones(n, dtype=np.float64)
    if family == "sin":
        return np.sin(np.arange(n) * 0.05)
    if family == "integers":
        return rng.integers(0, 10, n).astype(np.float64)
    raise ValueError(f"unknown family {family!r}")


def peak_mb():
    # On Linux, ru_maxrss of a freshly executed child starts from the parent's resident
    # size at fork, so read the high-water mark of this process's own address space.
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    # Linux reports kibibytes, macOS bytes.
    return peak / (1 << 20) if sys.platform == "darwin" else peak / 1024


def edge_keys(pairs, n):
    """Sorted keys low * n + high of an (m, 2) integer array of pairs."""
    pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    low = pairs.min(axis=1)
    high = pairs.max(axis=1)
    return np.unique(low * n + high)


def pairs_from_list(edges):
    flat = np.fromiter(itertools.chain.from_iterable(edges), dtype=np.int64, count=2 * len(edges))
    return flat.reshape(-1, 2)


VARIANTS = ("positions", "L=1", "L=2", "exact")
VARIANT_FAMILIES = ("uniform", "walk")
VARIANT_SIZES = (10**4, 10**5)


def make_positions(n, seed):
    rng = np.random.default_rng(seed + 1)
    return 1.7e9 + np.cumsum(rng.uniform(0.5, 1.5, n))


def variant_operation(library, rule, variant, n, seed):
    """The timed call of a --variants case: ours with or without the variant, or ts2vg."""
    xs = make_positions(n, seed) if variant == "positions" else None
    limit = int(variant[2:]) if variant.startswith("L=") else 0
    if library == "ts2vg":
        from ts2vg import HorizontalVG, NaturalVG

        graph_type = NaturalVG if rule == "natural" else HorizontalVG

        def call(x):
            return graph_type(penetrable_limit=limit).build(x, xs=xs).edges

        return call, pairs_from_list, len

    import kestrel_grid as kg

    if library == "ours-regular":
        def call(x):
            return np.asarray(kg.build_graph(x, rule).edges_array())
    else:
        exact = variant == "exact"

        def call(x):
            return np.asarray(kg.build_graph(x, rule, x=xs, penetrable=limit, exact=exact).edges_array())

    return call, lambda a: a, len


def operation(library, rule):
    """The timed call for one case; returns (call, edge_pairs_of_result, size_of_result)."""
    if library == "ts2vg":
        from ts2vg import HorizontalVG, NaturalVG

        graph_type = NaturalVG if rule == "natural" else HorizontalVG

        def call(x):
            g = graph_type().build(x)
            return g.edges

        return call, pairs_from_list, len

    import kestrel_grid as kg

    if library == "motif":
        def call(x):
            return kg.horizontal_window_motif_scores(x, MOTIF_WINDOW)

        return call, None, len

    build = kg.build_visibility_graph if rule == "natural" else kg.build_horizontal_visibility_graph
    if library == "ours-list":
        def call(x):
            return build(x.tolist()).edges

        return call, pairs_from_list, len

    if library == "ours-array":
        def call(x):
            # The array in as it is (read straight from its memory), the edges out as an
            # int64 array wrapped without copying: the module's best form.
            return np.asarray(build(x).edges_array())

        return call, lambda a: a, len

    if library.startswith("ours-direct-"):
        # The direct edge-array entry on the array, on the given number of threads.
        threads = int(library.rsplit("-", 1)[1])
        direct = kg.visibility_edge_array if rule == "natural" else kg.horizontal_visibility_edge_array

        def call(x):
            return np.asarray(direct(x, threads=threads))

        return call, lambda a: a, len

    raise ValueError(f"unknown library {library!r}")


def measure(args):
    """Child side: time one case, write the figures to --report, then the edge keys to --dump."""
    x = make_series(args.family, args.n, args.seed)
    if args.variant:
        call, to_pairs, size = variant_operation(args.library, args.rule, args.variant, args.n, args.seed)
    else:
        call, to_pairs, size = operation(args.library, args.rule)
    best = float("inf")
    spent = 0.0
    result = None
    for run in range(args.repeat):
        result = None  # drop the previous graph before building the next
        start = time.perf_counter()
        result = call(x)
        seconds = time.perf_counter() - start
        best = min(best, seconds)
        spent += seconds
        if spent + seconds > args.budget:
            break
    report = {"seconds": best, "runs": run + 1, "peak_mb": peak_mb(), "size": size(result)}
    with open(args.report + ".tmp", "w") as out:
        json.dump(report, out)
    os.replace(args.report + ".tmp", args.report)
    if args.dump and to_pairs is not None:
        pairs = to_pairs(result)
        result = None
        with open(args.dump + ".tmp", "wb") as out:
            np.save(out, edge_keys(pairs, args.n))
        os.replace(args.dump + ".tmp", args.dump)


def run_child(library, rule, family, n, args, scratch, dump, variant=None, best_of=None):
    """Runs one measurement; returns its figures (or "timeout" / "error") and whether the
    edge keys were written to `dump`.

    The timeout covers the timed runs only: once the child has written its figures, it gets
    as long again to write the edge keys, which for tens of millions of edges is slower than
    building them.
    """
    repeat = min(args.repeat, 1) if n >= SINGLE_RUN_FROM else args.repeat
    if best_of is not None:
        repeat = best_of
    report = os.path.join(scratch, "report.json")
    errors = os.path.join(scratch, "stderr.txt")
    for path in (report, dump):
        if path and os.path.exists(path):
            os.remove(path)
    command = [
        sys.executable, os.path.abspath(__file__), "--measure",
        "--library", library, "--rule", rule, "--family", family, "--n", str(n),
        "--seed", str(args.seed), "--repeat", str(repeat), "--budget", str(args.timeout / 2),
        "--report", report,
    ]
    if dump:
        command += ["--dump", dump]
    if variant:
        command += ["--variant", variant]
    killed = False
    with open(errors, "w") as stderr:
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=stderr)
        try:
            child.wait(timeout=args.timeout)
        except subprocess.TimeoutExpired:
            if os.path.exists(report):
                try:
                    child.wait(timeout=args.timeout)
                except subprocess.TimeoutExpired:
                    pass
            if child.poll() is None:
                child.kill()
                child.wait()
                killed = True
    if not os.path.exists(report):
        if killed:
            return "timeout", False
        if child.returncode == -signal.SIGKILL:
            print(f"    {library} {rule} {family} n={n} was killed (out of memory?)", file=sys.stderr)
            return "killed", False
        with open(errors) as stderr:
            last = (stderr.read().strip().splitlines() or [f"exit status {child.returncode}"])[-1]
        print(f"    {library} {rule} {family} n={n} failed: {last}", file=sys.stderr)
        return "error", False
    with open(report) as figures:
        outcome = json.load(figures)
    return outcome, bool(dump) and os.path.exists(dump)


def count_differing(path_a, path_b):
    """Child side: print the number of keys in exactly one of two sorted key files."""
    a = np.load(path_a)
    b = np.load(path_b)
    common = 0
    if len(a) and len(b):
        at = np.searchsorted(a, b)
        common = int(np.count_nonzero(a[np.minimum(at, len(a) - 1)] == b))
    print(len(a) + len(b) - 2 * common, flush=True)


def differing_edges(path_a, path_b, timeout):
    # In a child of its own, so that the parent stays small: its resident size at each
    # fork would otherwise weigh on the children's figures.
    command = [sys.executable, os.path.abspath(__file__), "--compare", path_a, path_b]
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return "timeout"
    if done.returncode != 0:
        return "error"
    return done.stdout.strip()


def graph_has_edges_array():
    import kestrel_grid as kg

    return hasattr(kg.build_visibility_graph([0.0, 1.0]), "edges_array")


def cases(args):
    for rule in args.rules:
        for family in args.families:
            cap = ROW_CAPS.get((rule, family))
            sizes = set(SIZES[rule])
            if cap is not None:
                sizes = {n for n in sizes if n <= cap} | {cap}
            for n in sorted(sizes):
                if n <= args.max_n:
                    yield rule, family, n


def seconds_cell(outcome):
    if isinstance(outcome, dict):
        return f"{outcome['seconds']:.6f}"
    return outcome or "-"


def ratio_cell(numerator, denominator):
    if isinstance(numerator, dict) and isinstance(denominator, dict) and denominator["seconds"] > 0:
        return f"{numerator['seconds'] / denominator['seconds']:.2f}"
    return "-"


def mb_cell(outcome):
    return f"{outcome['peak_mb']:.0f}" if isinstance(outcome, dict) else "-"


def size_cell(outcome):
    return str(outcome["size"]) if isinstance(outcome, dict) else "-"


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--max-n", type=int, default=10**7, help="largest series length to run")
    parser.add_argument("--families", nargs="+", choices=FAMILIES, default=list(FAMILIES))
    parser.add_argument("--rules", nargs="+", choices=RULES, default=list(RULES))
    parser.add_argument("--timeout", type=float, default=600.0,
                        help="seconds allowed to each measurement child (default 600)")
    parser.add_argument("--repeat", type=int, default=3,
                        help="runs per measurement, best kept (default 3; always 1 from n = 10**6)")
    parser.add_argument("--seed", type=int, default=2009)
    parser.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--library", help=argparse.SUPPRESS)
    parser.add_argument("--rule", help=argparse.SUPPRESS)
    parser.add_argument("--family", help=argparse.SUPPRESS)
    parser.add_argument("--n", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--budget", type=float, default=float("inf"), help=argparse.SUPPRESS)
    parser.add_argument("--report", help=argparse.SUPPRESS)
    parser.add_argument("--dump", help=argparse.SUPPRESS)
    parser.add_argument("--compare", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--variants", action="store_true",
                        help="time the variant builders (positions, penetrable, exact) instead")
    parser.add_argument("--variant", help=argparse.SUPPRESS)
    parser.add_argument("--threads", action="store_true",
                        help="time our two edge-array paths and the direct entry on 1 and 2 "
                             "threads against ts2vg (uniform and walk, n = 10**6) instead")
    args = parser.parse_args()
    if args.measure:
        measure(args)
        return
    if args.compare:
        count_differing(*args.compare)
        return

    if args.variants:
        run_variants(args)
        return
    if args.threads:
        run_threads(args)
        return

    with_array = graph_has_edges_array()
    libraries = ["ours-list"] + (["ours-array"] if with_array else []) + ["ts2vg"]
    columns = ["rule", "family", "n", "ours list s"]
    columns += ["ours array s"] if with_array else []
    columns += ["ts2vg s", "ts2vg/ours best", "ts2vg/ours list"] if with_array else ["ts2vg s", "ts2vg/ours"]
    columns += ["motif s", "motif/ours", "MB ours list"]
    columns += ["MB ours array"] if with_array else []
    columns += ["MB ts2vg", "edges ours", "edges ts2vg", "differing"]
    print(f"kestrel_grid vs ts2vg; python {sys.version.split()[0]}, numpy {np.__version__}, "
          f"timeout {args.timeout:g} s, seed {args.seed}")
    print()
    print("| " + " | ".join(columns) + " |")
    print("|" + "|".join("---" for _ in columns) + "|", flush=True)

    timed_out = set()  # (library, rule, family) that hit the timeout at a smaller n
    with tempfile.TemporaryDirectory(prefix="bench_vs_ts2vg_") as scratch:
        for rule, family, n in cases(args):
            outcomes = {}
            dumps = {}
            runs = libraries + (["motif"] if rule == "horizontal" else [])
            for library in runs:
                peer_cap = PEER_CAPS.get((rule, family))
                if library == "ts2vg" and peer_cap is not None and n > peer_cap:
                    outcomes[library] = "capped"
                    continue
                if (library, rule, family) in timed_out:
                    outcomes[library] = "skipped"
                    continue
                # One of our two edge forms is enough for the comparison.
                dump = None
                if library != "motif" and not (library == "ours-array" and "ours-list" in dumps):
                    dump = os.path.join(scratch, f"{library}.npy")
                print(f"  {rule} {family} n={n} {library} ...", file=sys.stderr, flush=True)
                outcome, dumped = run_child(library, rule, family, n, args, scratch, dump)
                outcomes[library] = outcome
                if outcome == "timeout":
                    timed_out.add((library, rule, family))
                if dumped:
                    dumps[library] = dump

            ours_name = next((name for name in ("ours-list", "ours-array") if name in dumps), None)
            differing = "-"
            if ours_name and "ts2vg" in dumps:
                differing = differing_edges(dumps[ours_name], dumps["ts2vg"], args.timeout)
            for path in dumps.values():
                os.remove(path)

            ours = [outcomes[name] for name in ("ours-list", "ours-array") if name in outcomes]
            finished = [o for o in ours if isinstance(o, dict)]
            ours_best = min(finished, key=lambda o: o["seconds"]) if finished else None
            ours_list = outcomes["ours-list"]
            peer = outcomes["ts2vg"]
            motif = outcomes.get("motif")

            row = [rule, family, str(n), seconds_cell(ours_list)]
            row += [seconds_cell(outcomes["ours-array"])] if with_array else []
            row += [seconds_cell(peer), ratio_cell(peer, ours_best)]
            row += [ratio_cell(peer, ours_list)] if with_array else []
            row += [seconds_cell(motif), ratio_cell(motif, ours_best), mb_cell(ours_list)]
            row += [mb_cell(outcomes["ours-array"])] if with_array else []
            row += [mb_cell(peer), size_cell(ours_best), size_cell(peer), differing]
            print("| " + " | ".join(row) + " |", flush=True)


THREAD_CASES = (("natural", "uniform"), ("natural", "walk"), ("horizontal", "uniform"),
                ("horizontal", "walk"))


def run_threads(args):
    """Both of our edge-array paths (the graph with edges_array(), the direct entry on one
    thread) and the direct entry on two threads, against ts2vg, at n = 10**6 (--max-n caps
    it). "2 threads / 1" is the direct entry's speed-up; it means little on a loaded machine,
    so the load average is printed with the table."""
    n = min(10**6, args.max_n)
    columns = ["rule", "family", "n", "graph + edges_array s", "edge array 1 thread s",
               "edge array 2 threads s", "ts2vg s", "ts2vg / graph", "ts2vg / edge array",
               "ts2vg / 2 threads", "2 threads / 1", "edges"]
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    print(f"kestrel_grid threads vs ts2vg; python {sys.version.split()[0]}, numpy {np.__version__}, "
          f"{os.cpu_count()} cores, load {load:.1f}, seed {args.seed}")
    print()
    print("| " + " | ".join(columns) + " |")
    print("|" + "|".join("---" for _ in columns) + "|", flush=True)
    with tempfile.TemporaryDirectory(prefix="bench_threads_") as scratch:
        for rule, family in THREAD_CASES:
            if rule not in args.rules or family not in args.families:
                continue
            outcomes = {}
            for library in ("ours-array", "ours-direct-1", "ours-direct-2", "ts2vg"):
                print(f"  {rule} {family} n={n} {library} ...", file=sys.stderr, flush=True)
                # Best of --repeat even at 10**6: single runs of 30 ms mean little.
                outcomes[library], _ = run_child(library, rule, family, n, args, scratch, None,
                                                 best_of=args.repeat)
            peer = outcomes["ts2vg"]
            row = [rule, family, str(n), seconds_cell(outcomes["ours-array"]),
                   seconds_cell(outcomes["ours-direct-1"]), seconds_cell(outcomes["ours-direct-2"]),
                   seconds_cell(peer), ratio_cell(peer, outcomes["ours-array"]),
                   ratio_cell(peer, outcomes["ours-direct-1"]), ratio_cell(peer, outcomes["ours-direct-2"]),
                   ratio_cell(outcomes["ours-direct-1"], outcomes["ours-direct-2"]),
                   size_cell(outcomes["ours-direct-1"])]
            print("| " + " | ".join(row) + " |", flush=True)


def run_variants(args):
    columns = ["rule", "family", "n", "variant", "ours s", "regular s", "variant / regular",
               "ts2vg s", "ts2vg / ours", "edges ours", "edges ts2vg", "differing"]
    print(f"kestrel_grid variants vs ts2vg; python {sys.version.split()[0]}, numpy {np.__version__}, "
          f"timeout {args.timeout:g} s, seed {args.seed}")
    print()
    print("| " + " | ".join(columns) + " |")
    print("|" + "|".join("---" for _ in columns) + "|", flush=True)
    with tempfile.TemporaryDirectory(prefix="bench_variants_") as scratch:
        for rule in args.rules:
            for family in (f for f in args.families if f in VARIANT_FAMILIES):
                for n in (n for n in VARIANT_SIZES if n <= args.max_n):
                    print(f"  {rule} {family} n={n} regular ...", file=sys.stderr, flush=True)
                    regular, _ = run_child("ours-regular", rule, family, n, args, scratch, None, "regular")
                    for variant in VARIANTS:
                        if variant == "exact" and rule == "horizontal":
                            continue
                        outcomes, dumps = {}, {}
                        for library in ("ours-variant", "ts2vg"):
                            dump = os.path.join(scratch, f"{library}.npy")
                            print(f"  {rule} {family} n={n} {variant} {library} ...", file=sys.stderr, flush=True)
                            outcomes[library], dumped = run_child(library, rule, family, n, args, scratch,
                                                                  dump, variant)
                            if dumped:
                                dumps[library] = dump
                        differing = "-"
                        if len(dumps) == 2:
                            differing = differing_edges(dumps["ours-variant"], dumps["ts2vg"], args.timeout)
                        for path in dumps.values():
                            os.remove(path)
                        ours, peer = outcomes["ours-variant"], outcomes["ts2vg"]
                        row = [rule, family, str(n), variant, seconds_cell(ours), seconds_cell(regular),
                               ratio_cell(ours, regular), seconds_cell(peer), ratio_cell(peer, ours),
                               size_cell(ours), size_cell(peer), differing]
                        print("| " + " | ".join(row) + " |", flush=True)


if __name__ == "__main__":
    main()
