"""Thread stress for kestrel_grid: many threads share a few graphs and call everything.

Threads (default 8) run for a fixed time (default 10 s) with a switch interval of a
microsecond. Arguments carry conversion hooks that sleep, yield the interpreter lock,
call builders, or call into the shared graphs themselves, so calls on one graph overlap
in every order the lock allows; the garbage collector runs often and finalizers touch
the graphs too. The lock-free builders (degrees, edge arrays) run on long series beside
all this, and builders also read a list and numpy arrays that other threads edit.

The only refusals allowed are the busy ones ("Already borrowed", "Already mutably
borrowed") and, on graphs other threads shrink, "vertex index out of bounds" for an
index that was valid when it was chosen. Anything else fails the run:

- a graph whose edges are not unique with low < high < node_count, or not strictly
  ascending where only order-keeping edits are made (builders' graphs that only lose
  vertices and edges), or whose vertices do not hold the values that were added;
- a builder, pairwise test, sub-series, stretch graph, motif score, segment test,
  degree array or edge array whose result differs from the one computed before any
  thread started;
- a build from an input other threads edit whose edges differ from a rebuild of the
  samples it reports, or are out of order;
- a thread's own graph that differs from a plain Python model of it after any call
  (lists and array exports alike), or that changed in a call that failed;
- exports of a shared graph (edges_array, vertices_array, degrees_array) that break
  the same invariants or disagree with one another's lengths;
- any other exception, an unraisable error in a finalizer, a hang, or a crash.

Meanwhile the main thread builds under a timer signal every 3 ms whose handler raises
now and then: each build either stops with that exception or gives the known result.
At the end the child exits with daemon threads still inside lock-releasing builds; it
must exit normally, never abort.

The work runs in a child interpreter with the allocator's debug hooks on, so a crash is
reported with its signal, and an object made without holding the interpreter lock is one.

    python tools/thread_stress.py [--seconds 10] [--threads 8] [--seed 1]
"""

import argparse
import faulthandler
import functools
import gc
import os
import random
import signal
import subprocess
import sys
import threading
import time
import traceback
from array import array
from collections import Counter

try:
    import numpy as np
except ImportError:  # the shared numpy input is left out
    np = None

BUSY = ("Already borrowed", "Already mutably borrowed")
STALE = "vertex index out of bounds"
GROW_CAP = 48  # vertices in the graphs that only grow
MIXED_CAP = 40


# --- hooks ----------------------------------------------------------------------------------

class Num:
    """A number that runs `action` whenever it is converted."""

    __slots__ = ("value", "action")

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return self.value


def is_busy(error):
    return type(error) is RuntimeError and str(error) in BUSY


class Run:
    """State shared by every thread: the graphs, the expected results and the tallies."""

    def __init__(self, kg, seed):
        self.kg = kg
        self.classes = (kg.VisibilityGraph, kg.HorizontalVisibilityGraph)
        rng = random.Random(seed)
        self.ordered_series = [float(rng.randrange(12)) for _ in range(400)]
        # Graphs that only grow: add_vertex, add_edge, remove_edge.
        self.grow = [cls() for cls in self.classes]
        # Builders' graphs that only shrink: remove_vertex, remove_edge. Replaced when small.
        self.ordered = [self.fresh_ordered(k) for k in range(2)]
        self.ordered_edges = [set(self.ordered[k].edges) for k in range(2)]
        # Graphs open to every edit.
        self.mixed = [cls() for cls in self.classes]
        self.expected = make_expected(kg, rng)
        # Inputs other threads edit while builders read them: a list (the in-place read
        # of exact lists) and, with numpy, a float64 array and a strided int32 view.
        self.shared_list = [float(rng.randrange(6)) for _ in range(64)]
        self.shared_arrays = []
        if np is not None:
            self.shared_arrays = [np.array(self.shared_list), np.zeros(200, dtype="int32")[::2]]
        self.failures = []
        self.lock = threading.Lock()  # guards the failure list only
        self.stop = False

    def fresh_ordered(self, k):
        build = (self.kg.build_visibility_graph, self.kg.build_horizontal_visibility_graph)[k]
        return build(self.ordered_series)

    def fail(self, text):
        with self.lock:
            if len(self.failures) < 30:
                self.failures.append(text)
            if len(self.failures) >= 30:
                self.stop = True


def make_expected(kg, rng):
    """Calls with their results, made while only one thread runs."""
    calls = []
    for _ in range(24):
        n = rng.randrange(1, 60)
        series = [float(rng.randrange(8)) if rng.random() < 0.7 else rng.uniform(-5, 5)
                  for _ in range(n)]
        skip = rng.choice([None, True, False])
        i, j = rng.randrange(n), rng.randrange(n)
        w = rng.randrange(1, n + 1)
        calls += [
            ("natural builder", kg.build_visibility_graph, [series, skip], "graph"),
            ("horizontal builder", kg.build_horizontal_visibility_graph, [series, skip], "graph"),
            ("natural pair test", kg.indices_are_visible, [series, i, j], "value"),
            ("horizontal pair test", kg.indices_are_horizontally_visible, [series, i, j], "value"),
            ("sub-series", kg.subseries_between, [series, i, j], "value"),
            ("natural stretch", kg.build_subgraph_between, [series, i, j, skip], "graph"),
            ("horizontal stretch", kg.build_horizontal_subgraph_between, [series, i, j, skip], "graph"),
            ("motif scores", kg.horizontal_window_motif_scores, [series, w, skip], "value"),
            ("natural degrees", kg.visibility_degrees, [series, skip], "array"),
            ("horizontal degrees", kg.horizontal_visibility_degrees, [series, skip], "array"),
            ("natural edge array", kg.visibility_edge_array, [series, skip], "array"),
            ("horizontal edge array", kg.horizontal_visibility_edge_array, [series, skip], "array"),
            ("horizontal edge array on 3 threads",
             functools.partial(kg.horizontal_visibility_edge_array, threads=3), [series, skip], "array"),
            ("natural degrees on 2 threads", functools.partial(kg.visibility_degrees, threads=2),
             [series, skip], "array"),
        ]
        if hasattr(kg, "build_graph"):  # the variant builders: positions, limits, exact rule
            positions = [1.7e9 + 1.5 * k + rng.random() for k in range(n)]
            limit = rng.randrange(4)
            calls += [
                ("variant graph", functools.partial(kg.build_graph, x=positions, penetrable=limit,
                                                    skip_adjacent=skip, exact=rng.random() < 0.5),
                 [series], "graph"),
                ("variant degrees", functools.partial(kg.graph_degrees, kind="horizontal", penetrable=limit),
                 [series], "array"),
                ("variant edge array", functools.partial(kg.graph_edge_array, x=positions, penetrable=limit),
                 [series], "array"),
            ]
        p1 = (rng.uniform(-3, 3), rng.uniform(-3, 3))
        p2 = (float(rng.randrange(-3, 4)), float(rng.randrange(-3, 4)))
        obstacles = [((float(rng.randrange(-3, 4)), float(rng.randrange(-3, 4))),
                      (rng.uniform(-3, 3), float(rng.randrange(-3, 4)))) for _ in range(rng.randrange(6))]
        calls.append(("segment test", kg.segment_is_visible, [p1, p2, obstacles], "value"))
    # Long series: the lock-free builders then compute long enough to overlap other threads.
    long_series = [float(rng.randrange(1000)) for _ in range(20000)]
    calls += [
        ("natural edge array, long", kg.visibility_edge_array, [long_series, None], "array"),
        ("horizontal degrees, long", kg.horizontal_visibility_degrees, [long_series, True], "array"),
    ]
    if hasattr(kg, "build_graph"):
        calls.append(("variant edge array, long", functools.partial(kg.graph_edge_array, penetrable=2, exact=True),
                      [long_series], "array"))
    expected = []
    for name, fn, args, kind in calls:
        result = observed(fn(*args), kind)
        if kind == "graph":
            check_edges(result[1], len(result[0]), ascending=True, where=name + " (single-threaded)")
        expected.append((name, fn, args, kind, result))
    return expected


def observed(result, kind):
    """What a result is compared by: a graph's lists, an array's shape, type and bytes."""
    if kind == "graph":
        return (result.vertices, result.edges)
    if kind == "array":
        return (result.shape, result.typestr, result.tobytes())
    return result


def pairs_of(edge_array):
    """The (low, high) rows of an int64 edge export."""
    words = array("q", edge_array.tobytes())
    return list(zip(words[0::2], words[1::2]))


class Broken(Exception):
    pass


def check_edges(edges, node_count, ascending, where):
    for low, high in edges:
        if not (type(low) is int and type(high) is int and 0 <= low < high < node_count):
            raise Broken(f"{where}: edge {(low, high)} with {node_count} vertices")
    if ascending:
        for a, b in zip(edges, edges[1:]):
            if not a < b:
                raise Broken(f"{where}: edges not strictly ascending: {a} then {b}")
    elif len(set(edges)) != len(edges):
        raise Broken(f"{where}: duplicate edges")


def check_added_vertices(vertices, where):
    # Every vertex added to the shared graphs has y == 2 * x.
    for x, y in vertices:
        if not (type(x) is float and type(y) is float and y == 2.0 * x):
            raise Broken(f"{where}: vertex {(x, y)} was never added")


# --- the plain model of one graph -------------------------------------------------------------

class Model:
    def __init__(self):
        self.vertices, self.edges = [], []

    def add_vertex(self, x, y):
        self.vertices.append((float(x), float(y)))
        return len(self.vertices) - 1

    def add_edge(self, v1, v2):
        n = len(self.vertices)
        if v1 >= n or v2 >= n:
            raise IndexError(STALE)
        edge = (min(v1, v2), max(v1, v2))
        if v1 != v2 and edge not in self.edges:
            self.edges.append(edge)

    def remove_vertex(self, index):
        if index >= len(self.vertices):
            raise IndexError(STALE)
        del self.vertices[index]
        self.edges = [(a - (a > index), b - (b > index)) for a, b in self.edges if index not in (a, b)]

    def remove_edge(self, v1, v2):
        edge = (min(v1, v2), max(v1, v2))
        if v1 == v2 or edge not in self.edges:
            return False
        self.edges.remove(edge)
        return True


# --- one thread ---------------------------------------------------------------------------------

class Worker:
    def __init__(self, run, seed):
        self.run, self.kg = run, run.kg
        self.rng = random.Random(seed)
        self.counts = Counter()
        self.own_class = self.rng.choice(run.classes)
        self.own, self.model = self.own_class(), Model()

    # Outcomes of calls on shared graphs.
    def attempt(self, name, call, stale_ok=False, propagate=False):
        self.counts["call " + name] += 1
        try:
            return True, call()
        except RuntimeError as error:
            if not is_busy(error):
                raise
            self.counts["refused: " + str(error)] += 1
            if propagate:
                raise
        except IndexError as error:
            if not (stale_ok and type(error) is IndexError and str(error) == STALE):
                raise
            self.counts["stale index"] += 1
        return False, None

    # -- hooks
    def action(self):
        """A hook's action, chosen at random; busy refusals inside it may travel out."""
        rng = self.rng
        roll = rng.random()
        if roll < 0.25:
            return lambda: None
        if roll < 0.45:
            return lambda: time.sleep(0)
        if roll < 0.55:
            return lambda: time.sleep(0.00002)
        if roll < 0.65:
            series = [float(rng.randrange(5)) for _ in range(rng.randrange(12))]
            return lambda: self.kg.build_horizontal_visibility_graph(series).edges
        if roll < 0.72:
            return self.make_garbage
        propagate = rng.random() < 0.3

        def touch():
            # A refusal met here either travels out through the conversion or is dropped.
            try:
                self.shared_call(hooked=False, propagate=propagate)
            except RuntimeError:
                self.counts["refusals raised out of a hook"] += 1
                raise
        return touch

    def num(self, value, chance=0.5):
        return Num(value, self.action()) if self.rng.random() < chance else value

    def make_garbage(self):
        # A cycle with a finalizer that yields and writes to a shared graph; the collector
        # may run it inside any allocation, including one a graph method makes.
        a, b = Finalized(self), Finalized(self)
        a.other, b.other = b, a

    # -- the shared graphs
    def shared_call(self, hooked=True, propagate=False):
        run, rng = self.run, self.rng

        def attempt(name, call, stale_ok=False):
            return self.attempt(name, call, stale_ok, propagate)

        pool = rng.choice(("grow", "ordered", "mixed"))
        k = rng.randrange(2)
        g = getattr(run, pool)[k]
        num = self.num if hooked else (lambda value, chance=0: value)
        op = rng.random()
        if op < 0.2:
            return self.check_shared(pool, k, g, attempt)
        if op < 0.3:
            attempt("node_count", g.node_count)
            return attempt("edge_count", g.edge_count)
        ok, n = attempt("node_count", g.node_count)
        if not ok:
            return None
        if pool == "ordered":
            if n < 8:
                run.ordered[k] = run.fresh_ordered(k)  # the old graph stays valid for its users
                self.counts["ordered graph replaced"] += 1
                return None
            if op < 0.6:
                return attempt("remove_vertex", lambda: g.remove_vertex(num(rng.randrange(n))),
                               stale_ok=True)
            a, b = rng.randrange(n), rng.randrange(n)
            return attempt("remove_edge", lambda: g.remove_edge(num(a), num(b)))
        cap = GROW_CAP if pool == "grow" else MIXED_CAP
        if op < 0.5 and n < cap:
            x = float(rng.randrange(-1000, 1000))
            return attempt("add_vertex", lambda: g.add_vertex(num(x), num(2.0 * x)))
        if n == 0:
            return None
        if pool == "mixed" and (op < 0.6 or n >= cap):
            return attempt("remove_vertex", lambda: g.remove_vertex(num(rng.randrange(n))),
                           stale_ok=True)
        a, b = rng.randrange(n), rng.randrange(n)
        if op < 0.8:
            # The grow graphs never lose vertices, so an index once valid stays valid.
            return attempt("add_edge", lambda: g.add_edge(num(a), num(b)),
                           stale_ok=pool == "mixed")
        return attempt("remove_edge", lambda: g.remove_edge(num(a), num(b)))

    def check_shared(self, pool, k, g, read):
        """Reads a shared graph and checks what holds whatever the other threads did."""
        where = f"shared {pool} {type(g).__name__}"
        exported = self.rng.random() < 0.3  # the exports instead of the lists
        ok1, n1 = read("node_count", g.node_count)
        if exported:
            ok2, vertices = read("vertices_array", g.vertices_array)
            ok3, edges = read("edges_array", g.edges_array)
            ok5, degrees = read("degrees_array", g.degrees_array)
            if ok2 and ok3 and ok5:
                words = array("d", vertices.tobytes())
                vertices = list(zip(words[0::2], words[1::2]))
                edges = pairs_of(edges)
                degrees = array("q", degrees.tobytes())
                if any(d < 0 for d in degrees) or sum(degrees) % 2:
                    raise Broken(f"{where}: degrees {list(degrees)[:20]}...")
        else:
            ok2, vertices = read("vertices", lambda: g.vertices)
            ok3, edges = read("edges", lambda: g.edges)
            ok5 = True
        ok4, n2 = read("node_count", g.node_count)
        if not (ok1 and ok2 and ok3 and ok4 and ok5):
            return
        # Each export is one snapshot; where counts only rise (grow) or only fall
        # (ordered), the count read after or before bounds its length.
        bound = {"grow": n2, "ordered": n1}.get(pool)
        if exported and bound is not None and not (len(degrees) <= bound and len(vertices) <= bound):
            raise Broken(f"{where}: exports longer than the node count bounding them")
        if pool == "grow":
            # Counts only rise, so the count read after the edges bounds them.
            check_edges(edges, n2, ascending=False, where=where)
            check_added_vertices(vertices, where)
        elif pool == "mixed":
            check_edges(edges, 1 << 62, ascending=False, where=where)
            check_added_vertices(vertices, where)
        else:
            # Counts only fall, so the count read before the edges bounds them; order holds.
            check_edges(edges, n1, ascending=True, where=where)
            series = self.run.ordered_series
            xs = [x for x, _ in vertices]
            if any(not a < b for a, b in zip(xs, xs[1:])):
                raise Broken(f"{where}: vertices out of order")
            if any(y != series[int(x)] for x, y in vertices):
                raise Broken(f"{where}: a vertex's value changed")
            if n1 == n2:  # no vertex left meanwhile: vertices and edges belong together
                original = self.run.ordered_edges[k]
                for low, high in edges:
                    if (int(xs[low]), int(xs[high])) not in original:
                        raise Broken(f"{where}: edge {(low, high)} was never in the built graph")
                self.counts["ordered graph checked whole"] += 1

    # -- the thread's own graph against its model
    def own_call(self):
        rng, g, model = self.rng, self.own, self.model
        n = len(model.vertices)
        op = rng.random()
        if op < 0.35 and n < 30:
            x, y = rng.uniform(-9, 9), rng.uniform(-9, 9)
            name, args = "add_vertex", (x, y)
        elif op < 0.7:
            name, args = "add_edge", (rng.randrange(n + 2), rng.randrange(n + 2))
        elif op < 0.85:
            name, args = "remove_vertex", (rng.randrange(n + 2),)
        else:
            name, args = "remove_edge", (rng.randrange(n + 2), rng.randrange(n + 2))
        before = (g.vertices, g.edges)
        self.counts["own " + name] += 1
        try:
            got = ("ok", getattr(g, name)(*[self.num(a, 0.3) for a in args]))
        except RuntimeError as error:
            if not is_busy(error):
                raise
            # A refusal raised by a hook that touched a shared graph: nothing changed.
            self.counts["refused: " + str(error)] += 1
            if (g.vertices, g.edges) != before:
                raise Broken(f"own graph: a refused {name}{args} changed it")
            return
        except IndexError as error:
            got = ("IndexError", str(error))
        try:
            want = ("ok", getattr(model, name)(*args))
        except IndexError as error:
            want = ("IndexError", str(error))
        if got != want:
            raise Broken(f"own graph: {name}{args} gave {got}, the model {want}")
        if (g.vertices, g.edges) != (model.vertices, model.edges):
            raise Broken(f"own graph differs from the model after {name}{args}")
        if rng.random() < 0.1:
            degrees = [0] * len(model.vertices)
            for low, high in model.edges:
                degrees[low] += 1
                degrees[high] += 1
            if (pairs_of(g.edges_array()) != model.edges
                    or list(array("q", g.degrees_array().tobytes())) != degrees
                    or g.vertices_array().tobytes() != array("d", [c for v in model.vertices for c in v]).tobytes()):
                raise Broken(f"own graph's exports differ from the model after {name}{args}")
        if g.node_count() != n + (name == "add_vertex") - (name == "remove_vertex" and got[0] == "ok"):
            raise Broken(f"own graph: node_count after {name}{args}")

    # -- calls with known results
    def known_call(self):
        name, fn, args, kind, want = self.rng.choice(self.run.expected)
        rng = self.rng
        hooked = []
        for arg in args:
            if isinstance(arg, list) and arg and isinstance(arg[0], float):
                arg = [self.num(v, 0.08) for v in arg]
            elif isinstance(arg, int) and not isinstance(arg, bool):
                arg = self.num(arg, 0.3)
            elif isinstance(arg, tuple) and len(arg) == 2 and isinstance(arg[0], float):
                arg = (self.num(arg[0], 0.3), arg[1])
            hooked.append(arg)
        use_keywords = rng.random() < 0.3 and kind == "graph" and len(hooked) == 2
        ok, result = self.attempt(name, (lambda: fn(hooked[0], skip_adjacent=hooked[1])) if use_keywords
                                  else (lambda: fn(*hooked)), stale_ok=False)
        if not ok:
            return
        result = observed(result, kind)
        if kind == "graph":
            check_edges(result[1], len(result[0]), ascending=True, where=name)
        if result != want:
            raise Broken(f"{name}: result differs from the single-threaded one")

    # -- inputs edited by other threads while they are read
    def shared_input(self):
        run, rng, kg = self.run, self.rng, self.kg
        choice = rng.random()
        if run.shared_arrays and choice < 0.3:
            source = rng.choice(run.shared_arrays)
            if rng.random() < 0.5:
                source[rng.randrange(len(source))] = rng.randrange(6)
                self.counts["shared array edited"] += 1
                return
        else:
            source = run.shared_list
            if choice < 0.65:
                k = rng.randrange(len(source))
                # Same length on average; an item may carry a hook that yields mid-read.
                if rng.random() < 0.5 and len(source) > 8:
                    try:
                        source.pop(k)
                    except IndexError:  # another thread shortened it meanwhile
                        pass
                else:
                    source.insert(k, self.num(float(rng.randrange(6)), 0.3))
                self.counts["shared list edited"] += 1
                return
        build = rng.choice((kg.build_visibility_graph, kg.build_horizontal_visibility_graph,
                            kg.visibility_edge_array, kg.horizontal_visibility_degrees))
        ok, result = self.attempt("build from shared input", lambda: build(source))
        if not ok:
            return
        # Whatever the input held at the time, the result must be that of the samples
        # it reports: rebuilt here from them, with no other thread able to change them.
        if build in (kg.build_visibility_graph, kg.build_horizontal_visibility_graph):
            ys = [y for _, y in result.vertices]
            check_edges(result.edges, len(ys), ascending=True, where="build from shared input")
            if result.edges != build(ys).edges:
                raise Broken("build from shared input: edges differ from a rebuild of its vertices")
        else:
            shape = result.shape
            if build is kg.visibility_edge_array:
                edges = pairs_of(result)
                check_edges(edges, 1 << 62, ascending=True, where="edge array from shared input")
                if shape != (len(edges), 2):
                    raise Broken(f"edge array from shared input: shape {shape}")
            elif sum(array("q", result.tobytes())) % 2:
                raise Broken("degrees from shared input: odd degree sum")

    def loop(self, deadline):
        rng = self.rng
        steps = (self.shared_call, self.shared_call, self.own_call, self.known_call,
                 self.shared_input)
        while time.monotonic() < deadline and not self.run.stop:
            step = rng.choice(steps)
            try:
                step()
            except Broken as broken:
                self.run.fail(f"{threading.current_thread().name}: {broken}")
            except BaseException as error:  # noqa: B036 - a fault is a finding too
                self.run.fail(f"{threading.current_thread().name}: {step.__name__} raised "
                              f"{type(error).__name__}: {error}\n{traceback.format_exc()}")
            if rng.random() < 0.05:
                self.make_garbage()
            if rng.random() < 0.002:
                gc.collect()


class Finalized:
    """Half of a reference cycle; its finalizer runs whenever the collector gets to it,
    which may be inside an allocation made by a graph method on any thread."""

    def __init__(self, worker):
        self.worker, self.other = worker, None

    def __del__(self):
        worker = self.worker
        if worker.run.stop:
            return
        # Busy refusals are dropped; a broken check raises and is reported as unraisable.
        # No sleep here: one collection may run many finalizers, and each wait for the
        # lock would stall the collecting thread while garbage piles up for the next one.
        worker.shared_call(hooked=False)
        worker.counts["finalizer ran"] += 1


# --- signals and exit ----------------------------------------------------------------------------

class Alarm(Exception):
    pass


def interrupted_builds(kg, run, deadline):
    """The main thread builds while a timer signal arrives every few milliseconds; its
    handler raises now and then. A build either gives the known result or raises Alarm;
    the other threads' builds are never stopped by it."""
    if np is None:
        return
    rng = random.Random(7)
    x = np.cumsum(np.random.default_rng(3).standard_normal(100_000))
    expected = {kind: kg.graph_degrees(x, kind).tobytes() for kind in ("natural", "horizontal")}
    state = {"raise": False, "signals": 0}

    def handler(signum, frame):
        state["signals"] += 1
        if state["raise"]:  # armed for one raise, only inside the try below
            state["raise"] = False
            raise Alarm

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.003, 0.003)
    counts = Counter()
    try:
        while time.monotonic() < deadline:
            kind = rng.choice(sorted(expected))
            arm = rng.random() < 0.5
            try:
                state["raise"] = arm
                # Any number of threads gives the same bytes; a stop ends every worker.
                got = kg.graph_degrees(x, kind, threads=rng.choice([None, 1, 2, 3])).tobytes()
                state["raise"] = False  # a signal after this raises nothing
            except Alarm:
                counts["stopped"] += 1
                continue
            counts["finished"] += 1
            if got != expected[kind]:
                run.fail(f"main thread: {kind} degrees differ after signals")
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    print(f"main thread under a 3 ms timer signal: {counts['finished']} builds finished, "
          f"{counts['stopped']} stopped by the handler, {state['signals']} signals")


def start_daemon_builders(kg):
    if np is None:
        return
    x = np.random.default_rng(0).random(200_000)
    calls = [lambda: kg.graph_degrees(x, "horizontal"), lambda: kg.graph_edge_array(x),
             lambda: kg.build_graph(x, "horizontal"), lambda: kg.visibility_degrees(x),
             lambda: kg.horizontal_visibility_edge_array(x, threads=2)]

    def builder(call):
        while True:
            call()

    for call in calls:
        threading.Thread(target=builder, args=(call,), daemon=True).start()
    time.sleep(0.2)


# --- driver --------------------------------------------------------------------------------------

def child(options):
    import kestrel_grid as kg

    faulthandler.enable()
    faulthandler.dump_traceback_later(options.seconds + 60, exit=True)  # a hang ends the run
    run = Run(kg, options.seed)
    unraisable = []

    def on_unraisable(hook_args):
        unraisable.append(f"{hook_args.exc_type.__name__}: {hook_args.exc_value} "
                          f"in {hook_args.object!r:.80}")

    sys.unraisablehook = on_unraisable
    gc.set_threshold(60, 5, 5)
    sys.setswitchinterval(1e-6)
    workers = [Worker(run, options.seed * 1000 + t) for t in range(options.threads)]
    deadline = time.monotonic() + options.seconds
    threads = [threading.Thread(target=w.loop, args=(deadline,), name=f"thread-{t}")
               for t, w in enumerate(workers)]
    started = time.perf_counter()
    for thread in threads:
        thread.start()
    interrupted_builds(kg, run, deadline)
    for thread in threads:
        thread.join()
    run.stop = True  # finalizers collected from here on do nothing
    elapsed = time.perf_counter() - started
    sys.setswitchinterval(0.005)
    gc.collect()

    # Final state, read with every thread stopped.
    for pool in ("grow", "ordered", "mixed"):
        for k, g in enumerate(getattr(run, pool)):
            where = f"final {pool} {type(g).__name__}"
            try:
                check_edges(g.edges, g.node_count(), ascending=pool == "ordered", where=where)
                if len(g.vertices) != g.node_count() or len(g.edges) != g.edge_count():
                    raise Broken(f"{where}: counts disagree with the lists")
                if pool != "ordered":
                    check_added_vertices(g.vertices, where)
                g.add_edge(g.add_vertex(1.0, 2.0), 0)  # idle again: every access was released
            except Broken as broken:
                run.fail(str(broken))
            except Exception as error:  # noqa: BLE001
                run.fail(f"{where}: {type(error).__name__}: {error}")

    totals = Counter()
    for w in workers:
        totals.update(w.counts)
    calls = sum(v for k, v in totals.items() if k.startswith(("call ", "own ")))
    refusals = sum(v for k, v in totals.items() if k.startswith("refused"))
    print(f"{options.threads} threads for {elapsed:.1f} s: {calls} calls, {refusals} busy refusals, "
          f"{totals['stale index']} stale indices")
    for key in sorted(totals):
        print(f"  {key:40} {totals[key]}")
    for text in unraisable[:10]:
        run.fail("unraisable error: " + text)
    for text in run.failures:
        print("FAIL " + text)
    faulthandler.cancel_dump_traceback_later()
    if run.failures:
        print(f"0 passed, 1 failed: {len(run.failures)} problem(s)")
        return 1
    if calls == 0 or refusals == 0:
        print("0 passed, 1 failed: the threads never overlapped (no busy refusal seen)")
        return 1
    print("1 passed, 0 failed")
    # Daemon threads left inside lock-releasing builds while the interpreter exits: they
    # must be parked, never abort the process (the parent sees the exit status).
    start_daemon_builders(kg)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="how long the threads run (default 10)")
    parser.add_argument("--threads", type=int, default=8, help="number of threads (default 8)")
    parser.add_argument("--seed", type=int, default=1, help="seed for the random choices (default 1)")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.child:
        return child(options)
    command = [sys.executable, *(["-X", "dev"] if sys.flags.dev_mode else []),
               os.path.abspath(__file__), "--child", "--seconds", str(options.seconds),
               "--threads", str(options.threads), "--seed", str(options.seed)]
    # The allocator's debug hooks make any allocation without the interpreter lock (the
    # lock-free builders must reacquire it before making objects) a fatal error.
    env = dict(os.environ)
    env.setdefault("PYTHONMALLOC", "debug")
    try:
        done = subprocess.run(command, env=env, timeout=options.seconds + 120)
    except subprocess.TimeoutExpired:
        print(f"FAIL the stress run hung (killed after {options.seconds + 120:.0f} s)")
        return 1
    if done.returncode < 0:
        name = signal.Signals(-done.returncode).name
        print(f"FAIL the stress run crashed with {name}")
        return 1
    return done.returncode


if __name__ == "__main__":
    sys.exit(main())
