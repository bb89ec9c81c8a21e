"""Tests of VisibilityGraph and HorizontalVisibilityGraph against a pure-Python model of the record."""

import gc
import math
import operator
import random
import resource
import struct
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule, run_state_machine_as_test

import kestrel_grid as kg
from models import OUT_OF_BOUNDS, ModelGraph

CLASSES = [kg.VisibilityGraph, kg.HorizontalVisibilityGraph]
MUT, BORROWED = "Already mutably borrowed", "Already borrowed"


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def graph_cls(request):
    return request.param


def snapshot(g):
    """Everything readable; floats as bit patterns so that NaN payloads compare too."""
    return [struct.pack("<dd", *v) for v in g.vertices], g.edges, g.node_count(), g.edge_count()


def outcome(method, *args):
    try:
        result = method(*args)
        return "returned", type(result), result
    except (IndexError, RuntimeError) as exc:
        return "raised", type(exc), str(exc)


def call_both(g, model, name, *args):
    assert outcome(getattr(g, name), *args) == outcome(getattr(model, name), *args)
    assert snapshot(g) == snapshot(model)


def graph_with(cls, n, edges=()):
    g, model = cls(), ModelGraph()
    for k in range(n):
        call_both(g, model, "add_vertex", k, -k / 2)
    for edge in edges:
        call_both(g, model, "add_edge", *edge)
    return g, model


def model_rows(edges, vertices):
    """The bytes of the model's edges as int64 pairs and vertices as float64 pairs."""
    return (struct.pack(f"={2 * len(edges)}q", *(k for e in edges for k in e)),
            struct.pack(f"={2 * len(vertices)}d", *(c for p in vertices for c in p)))


def error_text(function, *args):
    """The interpreter's own TypeError text, which differs between versions."""
    return str(pytest.raises(TypeError, function, *args).value)


indices = st.one_of(st.integers(0, 9), st.sampled_from([2**32 + 1, 2**63, 2**64 - 1]))


class GraphMachine(RuleBasedStateMachine):
    graph_cls = None

    @initialize(n=st.integers(0, 8))
    def setup(self, n):
        self.g, self.model = graph_with(self.graph_cls, n)
        self.held = []

    @rule()
    def export(self):
        # Exports share the graph's storage; later edits must leave them as they were.
        self.held.append((self.g.edges_array(), self.g.vertices_array(),
                          model_rows(self.model.edges, self.model.vertices)))

    @rule(x=st.floats(), y=st.floats())
    def add_vertex(self, x, y):
        call_both(self.g, self.model, "add_vertex", x, y)

    @rule(name=st.sampled_from(["add_edge", "remove_edge", "remove_vertex"]), v1=indices, v2=indices)
    def index_call(self, name, v1, v2):
        call_both(self.g, self.model, name, *((v1,) if name == "remove_vertex" else (v1, v2)))

    @rule(order=st.sampled_from(["ascending", "descending", "shuffled"]), start=st.integers(0, 30),
          size=st.integers(1, 12), flip=st.booleans(), seed=st.integers(0, 99))
    def add_run(self, order, start, size, flip, seed):
        n = self.model.node_count()
        run = [(i, j) for i in range(n) for j in range(i + 1, n)][start:start + size]
        if order == "descending":
            run.reverse()
        elif order == "shuffled":
            random.Random(seed).shuffle(run)
        for i, j in run:
            call_both(self.g, self.model, "add_edge", *((j, i) if flip else (i, j)))

    @invariant()
    def held_exports_keep_their_rows(self):
        for edges, vertices, rows in self.held:
            assert (edges.tobytes(), vertices.tobytes()) == rows

    @invariant()
    def stored_edges_are_not_added_twice(self):
        for low, high in self.model.edges:
            call_both(self.g, self.model, "add_edge", high, low)


def test_random_operations_match_model(graph_cls):
    machine = type("Machine", (GraphMachine,), {"graph_cls": graph_cls})
    run_state_machine_as_test(machine, settings=settings(max_examples=150, stateful_step_count=40, deadline=None))


def adds(*edges):
    return [("add_edge", a, b) for a, b in edges]


# Edges added in ascending order take a fast path; these scripts walk in and out of it. Each
# ends with the edge list worked out by hand, so the model is checked as well.
ASC = adds((0, 1), (0, 3), (1, 2), (2, 5))
ORDER_SCRIPTS = {
    "ascending": (ASC + adds((3, 4), (4, 5)), [(0, 1), (0, 3), (1, 2), (2, 5), (3, 4), (4, 5)]),
    "descending": (adds((4, 5), (5, 2), (1, 3), (0, 1)), [(4, 5), (2, 5), (1, 3), (0, 1)]),
    "out-of-order-then-removed": (ASC + adds((0, 2), (3, 4), (4, 5)) + [("remove_edge", 5, 4), ("remove_edge", 2, 0)]
                                  + adds((3, 5)), [(0, 1), (0, 3), (1, 2), (2, 5), (3, 4), (3, 5)]),
    "out-of-order-in-the-middle-removed": (ASC + adds((1, 4)) + [("remove_edge", 2, 1)] + adds((4, 5)),
                                           [(0, 1), (0, 3), (2, 5), (1, 4), (4, 5)]),
    "out-of-order-vertex-removed": (ASC + adds((0, 2)) + [("remove_vertex", 5)] + adds((3, 4)),
                                    [(0, 1), (0, 3), (1, 2), (0, 2), (3, 4)]),
    "renumbering": (adds((0, 1), (0, 2), (2, 3), (1, 3)) + [("remove_vertex", 1)], [(0, 1), (1, 2)]),
    "emptied-then-refilled": (adds((3, 4), (0, 1)) + [("remove_edge", 1, 0), ("remove_edge", 4, 3)]
                              + adds((2, 3), (0, 2)), [(2, 3), (0, 2)]),
}


@pytest.mark.parametrize("script, expected", ORDER_SCRIPTS.values(), ids=ORDER_SCRIPTS.keys())
def test_insertion_order_transitions(graph_cls, script, expected):
    g, model = graph_with(graph_cls, 6)
    for name, *args in script:
        call_both(g, model, name, *args)
        for low, high in list(model.edges):  # duplicates stay out in every state
            call_both(g, model, "add_edge", low, high)
            call_both(g, model, "add_edge", high, low)
        call_both(g, model, "add_edge", 5, 5)
    assert g.edges == expected
    low, high = expected[-1]
    assert (g.remove_edge(high, low), g.remove_edge(low, high), g.remove_edge(9, 9)) == (True, False, False)


def test_new_graph_and_vertex_storage(graph_cls):
    g = graph_cls()
    assert (g.node_count(), g.edge_count(), g.vertices, g.edges) == (0, 0, [], [])
    assert [g.add_vertex(1, 2), g.add_vertex(y=2.5, x=0.5), g.add_vertex(True, 2**53 + 1)] == [0, 1, 2]
    assert g.vertices == [(1.0, 2.0), (0.5, 2.5), (1.0, 2.0**53)]
    g.add_edge(2, 0)
    assert g.edges == [(0, 2)] and all(type(i) is int for e in g.edges for i in e)
    payload_nan = struct.unpack("<d", bytes.fromhex("232323232323f87f"))[0]
    odd_values = [math.inf, -math.inf, -0.0, 5e-324, math.nan, -math.nan, payload_nan]
    for value in odd_values:
        g.add_vertex(value, -value)
    assert all(type(c) is float for v in g.vertices for c in v)
    assert [struct.pack("<dd", *v) for v in g.vertices[3:]] == [struct.pack("<dd", v, -v) for v in odd_values]
    assert [math.isnan(x) for x, _ in g.vertices[3:]] == [math.isnan(v) for v in odd_values]


@pytest.mark.parametrize("attr", ["vertices", "edges"])
def test_readers_return_independent_copies(graph_cls, attr):
    g, _ = graph_with(graph_cls, 3, [(0, 1), (1, 2)])
    first, second, before = getattr(g, attr), getattr(g, attr), getattr(g, attr)
    assert first == second and first is not second and first[0] is not second[0]
    first.append((7, 7))
    second[0] = None
    assert getattr(g, attr) == before
    g.remove_vertex(0)
    assert first[:-1] == before != getattr(g, attr)
    pytest.raises(AttributeError, setattr, g, attr, [])
    pytest.raises(AttributeError, delattr, g, attr)


@pytest.mark.parametrize("call, exc_type, message", [
    (lambda g: g.add_edge(0, 2), IndexError, OUT_OF_BOUNDS),
    (lambda g: g.add_edge(7, 7), IndexError, OUT_OF_BOUNDS),
    (lambda g: g.remove_vertex(2), IndexError, OUT_OF_BOUNDS),
    (lambda g: g.remove_vertex(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda g: g.add_edge(0, 2**64), OverflowError, "int too big to convert"),
    (lambda g: g.add_edge(0, 1.0), TypeError, "argument 'v2': " + error_text(operator.index, 1.0)),
    (lambda g: g.add_vertex(1, "2"), TypeError, "argument 'y': " + error_text(math.sqrt, "2")),
    (lambda g: g.add_vertex(1.0), TypeError, "{}.add_vertex() missing 1 required positional argument: 'y'"),
    (lambda g: g.remove_edge(0, v1=1), TypeError, "{}.remove_edge() got multiple values for argument 'v1'"),
    (lambda g: type(g)(1), TypeError, "{}.__new__() takes 0 positional arguments but 1 was given"),
    (lambda g: type(g)(size=1), TypeError, "{}.__new__() got an unexpected keyword argument 'size'"),
    (lambda g: g.node_count(1), TypeError, None),
])
def test_failed_calls_raise_and_change_nothing(graph_cls, call, exc_type, message):
    g, model = graph_with(graph_cls, 2, [(1, 0)])
    with pytest.raises(exc_type) as excinfo:
        call(g)
    if message is not None:
        assert str(excinfo.value) == message.format(graph_cls.__name__)
    assert snapshot(g) == snapshot(model)
    call_both(g, model, "add_vertex", 4, 5)
    call_both(g, model, "add_edge", 2, 0)


@pytest.mark.parametrize("cls, other, name, doc", [
    (*CLASSES, "VisibilityGraph", "Visibility graph with vertices and undirected edges."),
    (*CLASSES[::-1], "HorizontalVisibilityGraph",
     "Horizontal visibility graph wrapper that reuses the core graph structure.")])
def test_type_objects(cls, other, name, doc):
    names = (cls.__module__, cls.__name__, cls.__qualname__, cls.__doc__, cls.__text_signature__)
    # CPython 3.9 drops a heap type's text signature when it copies the doc text.
    signature = None if sys.version_info < (3, 10) else "()"
    assert names == ("builtins", name, name, doc, signature)
    assert cls is getattr(kg, name) and not isinstance(other(), cls) and not issubclass(other, cls)
    for refused in (lambda: type("Sub", (cls,), {}), lambda: cls.add_vertex(other(), 1.0, 2.0),
                    lambda: cls.vertices.__get__(other())):
        pytest.raises(TypeError, refused)
    with pytest.raises(AttributeError):
        cls().anything = 1
    for method, params in [("add_vertex", ", x, y"), ("add_edge", ", v1, v2"), ("remove_vertex", ", index"),
                           ("remove_edge", ", v1, v2"), ("node_count", ""), ("edge_count", "")]:
        assert getattr(cls, method).__text_signature__ == f"($self{params})"


class Hook:
    """A number whose conversion first runs `action`, recording (and maybe swallowing) its RuntimeError."""

    def __init__(self, value, action, swallow=False):
        self.value, self.action, self.swallow, self.errors = value, action, swallow, []

    def __index__(self):
        try:
            self.action()
        except RuntimeError as exc:
            self.errors.append(str(exc))
            if not self.swallow:
                raise
        return self.value

    def __float__(self):
        return float(self.__index__())


@pytest.mark.parametrize("swallow", [True, False], ids=["swallowed", "propagated"])
@pytest.mark.parametrize("name, args, position, inner, message", [
    ("add_vertex", (2.0, 3.0), 0, lambda g: g.node_count(), MUT),
    ("add_vertex", (2.0, 3.0), 1, lambda g: g.vertices, MUT),
    ("add_vertex", (2.0, 3.0), 0, lambda g: g.add_vertex(9, 9), BORROWED),
    ("add_edge", (1, 2), 0, lambda g: g.edges, MUT),
    ("add_edge", (2, 1), 1, lambda g: g.remove_edge(0, 1), BORROWED),
    ("remove_vertex", (2,), 0, lambda g: g.edge_count(), MUT),
    ("remove_vertex", (0,), 0, lambda g: g.remove_vertex(0), BORROWED),
    ("remove_edge", (0, 1), 1, lambda g: g.add_edge(1, 2), BORROWED),
])
def test_reentry_is_refused(graph_cls, swallow, name, args, position, inner, message):
    g, model = graph_with(graph_cls, 3, [(0, 1)])
    hook = Hook(args[position], lambda: inner(g), swallow)
    hooked = args[:position] + (hook,) + args[position + 1:]
    if swallow:
        assert outcome(getattr(g, name), *hooked) == outcome(getattr(model, name), *args)
    else:
        with pytest.raises(RuntimeError) as excinfo:
            getattr(g, name)(*hooked)
        assert str(excinfo.value) == message
    assert hook.errors == [message] and snapshot(g) == snapshot(model)
    call_both(g, model, "add_vertex", 1.5, 2.5)  # the access state was restored
    call_both(g, model, "add_edge", 0, 2)


def test_reentry_into_another_graph_is_allowed(graph_cls):
    g, others = graph_cls(), [cls() for cls in CLASSES]

    def touch():
        for other in others:
            other.add_edge(other.add_vertex(0, 0), other.add_vertex(1, 1))
            other.edges, other.node_count()

    g.add_vertex(Hook(1.0, touch), Hook(2.0, touch))
    g.remove_edge(Hook(0, touch), 0)
    assert g.vertices == [(1.0, 2.0)] and [o.edges for o in others] == [[(0, 1), (2, 3), (4, 5)]] * 2


def test_argument_reference_counts_stay_flat(graph_cls):
    g, _ = graph_with(graph_cls, 2)
    f, far, big, bad = float("1234.5"), int("1000000"), 2**64 + int("7"), object()
    via_index = Hook(far, lambda: None)
    calls = [lambda: g.add_vertex(f, f), lambda: g.add_vertex(y=f, x=via_index), lambda: g.add_vertex(f, bad),
             lambda: g.add_vertex(f), lambda: g.add_vertex(f, f, x=f), lambda: g.add_edge(1, far),
             lambda: g.add_edge(via_index, 0), lambda: g.add_edge(big, 0), lambda: g.remove_edge(far, via_index),
             lambda: g.remove_vertex(via_index), lambda: g.remove_vertex(bad), lambda: g.add_edge(1, 0)]
    for _ in range(2):  # the first round settles any one-time caches
        before = [sys.getrefcount(o) for o in (f, far, big, bad, via_index)]
        for call in calls * 300:
            try:
                call()
            except (TypeError, IndexError, OverflowError):
                pass
        assert [sys.getrefcount(o) for o in (f, far, big, bad, via_index)] == before


@pytest.mark.slow
@pytest.mark.parametrize("cls, build", [(kg.VisibilityGraph, kg.build_visibility_graph),
                                        (kg.HorizontalVisibilityGraph, kg.build_horizontal_visibility_graph)])
def test_memory_stays_flat_over_many_graphs_and_reads(cls, build):
    small, _ = graph_with(cls, 4, [(0, 1), (2, 1), (3, 0)])

    def churn():
        for k in range(10**5):
            g = cls()
            g.add_edge(g.add_vertex(k, 0.5), g.add_vertex(1.5, k))
            g.remove_vertex(0)
            small.vertices, small.edges, k % 10 or build([3.0, 1.0, 2.0, float(k)]).edges
        gc.collect()
        return tracemalloc.get_traced_memory()[0], resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    tracemalloc.start()  # traces Python objects; the peak RSS covers native buffers
    try:
        (traced, peak_rss), (traced_after, peak_rss_after) = churn(), churn()
    finally:
        tracemalloc.stop()
    assert traced_after - traced < 2**20
    assert (peak_rss_after - peak_rss) * (1 if sys.platform == "darwin" else 1024) < 2 * 2**20


EXHAUSTION_SCRIPT = """
import resource, kestrel_grid as kg
g, n = kg.{cls}(), 800
for k in range(n):
    g.add_vertex(k, -k * k)
for i in range(n):
    for j in range(i + 1, n):
        g.add_edge(i, j)
before, kept = (g.vertices, g.edges), []
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
size = next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + 16 * 2**20, hard))
try:
    while True:
        kept.append(g.edges if "{step}" == "edges" else g.add_vertex(0.5, 1.5))
except MemoryError:
    added = 0 if "{step}" == "edges" else len(kept)
    del kept
finally:
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
assert (g.vertices[:n], g.edges, g.vertices[n:]) == (*before, [(0.5, 1.5)] * added)
g.remove_vertex(0)
g.add_edge(0, g.add_vertex(7.0, 7.0))
assert (g.node_count(), g.edge_count()) == (n + added, len(before[1]) - (n - 1) + 1)
print("intact")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc")
@pytest.mark.parametrize("step", ["add_vertex", "edges"])
def test_memory_exhaustion_raises_memory_error(graph_cls, step):
    script = EXHAUSTION_SCRIPT.format(cls=graph_cls.__name__, step=step)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "intact\n", "")
