"""Reference and memory leak pass over every entry of kestrel_grid.

Each case calls one entry (or one short sequence of graph calls) with good arguments or
with one kind of bad argument, many times over. After a warm-up it measures how much the
process grew across a batch of calls:

  refs     sys.getrefcount of every object the case handed in (and of their types and
           items), and of None, True, False, the module's types and the exception types;
           on 3.12 and later, immortal objects among them are not watched (see immortal)
  objects  len(gc.get_objects()) after gc.collect()
  blocks   sys.getallocatedblocks()
  traced   tracemalloc's current size (Python allocations)
  native   glibc's bytes in use (mallinfo2): the module's C++ heap and large buffers
  total    sys.gettotalrefcount(), on a debug interpreter only

A metric counts as grown when it rose by more than its tolerance, which scales with the
number of calls: one leaked reference, object or small block per call is always above
it, and one-time caches settled during warm-up never are. A case that grew is measured
in two more batches and fails only when the same metric grows in each of them, so a late
or slowly settling cache does not fail the pass. Each call's outcome is checked too (the exception type, or success),
so a case cannot silently stop reaching the path it is named after.

    python tools/leak_pass.py                 # CI: 2000 calls per case
    python tools/leak_pass.py --rounds 20000  # longer run
    python tools/leak_pass.py -k motif -v     # only cases whose name contains "motif"

Exit status 0 when every case stayed flat, 1 when any grew or misbehaved.
"""

import argparse
import array
import ctypes
import datetime
import gc
import math
import os
import sys
import time
import tracemalloc
import warnings

import kestrel_grid as kg

try:
    import numpy as np
except ImportError:  # the array cases that need numpy are left out
    np = None
try:
    import kestrel_grid_tools._positions  # noqa: F401 - reads times as positions
    HAVE_TIME_POSITIONS = True
except ImportError:
    HAVE_TIME_POSITIONS = False
# Times as positions: a datetime64 array where numpy is there (a list of dates makes the
# conversion allocate per item, noise in the C-heap meter), else datetime.date objects.
DAYS = [datetime.date(2020, 1, 1), datetime.date(2020, 1, 4), datetime.date(2020, 1, 5)]
if np is not None:
    DAYS = np.array(DAYS, dtype="datetime64[D]")

BV = kg.build_visibility_graph
BH = kg.build_horizontal_visibility_graph
IV = kg.indices_are_visible
IH = kg.indices_are_horizontally_visible
SB = kg.subseries_between
SG = kg.build_subgraph_between
SH = kg.build_horizontal_subgraph_between
SEG = kg.segment_is_visible
HWMS = kg.horizontal_window_motif_scores
VD = kg.visibility_degrees
HD = kg.horizontal_visibility_degrees
VE = kg.visibility_edge_array
HE = kg.horizontal_visibility_edge_array
BG = kg.build_graph
GD = kg.graph_degrees
GE = kg.graph_edge_array
GRAPH_CLASSES = (kg.VisibilityGraph, kg.HorizontalVisibilityGraph)

# Every public name the cases below exercise. A name the module gains without a case
# here fails the pass, so the pass cannot fall behind the module unnoticed.
COVERED = {
    "build_visibility_graph", "build_horizontal_visibility_graph", "indices_are_visible",
    "indices_are_horizontally_visible", "subseries_between", "build_subgraph_between",
    "build_horizontal_subgraph_between", "segment_is_visible", "horizontal_window_motif_scores",
    "visibility_degrees", "horizontal_visibility_degrees", "visibility_edge_array",
    "horizontal_visibility_edge_array", "build_graph", "graph_degrees", "graph_edge_array",
    "VisibilityGraph", "HorizontalVisibilityGraph", "GraphArray",
    "VisibilityGraph.add_vertex", "VisibilityGraph.add_edge", "VisibilityGraph.remove_vertex",
    "VisibilityGraph.remove_edge", "VisibilityGraph.node_count", "VisibilityGraph.edge_count",
    "VisibilityGraph.vertices", "VisibilityGraph.edges", "VisibilityGraph.edges_array",
    "VisibilityGraph.vertices_array", "VisibilityGraph.degrees_array",
    "VisibilityGraph.x_unit", "VisibilityGraph.x_origin",
    "GraphArray.shape", "GraphArray.typestr", "GraphArray.tobytes",
}
COVERED |= {name.replace("VisibilityGraph.", "HorizontalVisibilityGraph.")
            for name in COVERED if name.startswith("VisibilityGraph.")}


def uncovered_names():
    public = set()
    for name in kg.__all__:
        public.add(name)
        value = getattr(kg, name)
        if isinstance(value, type):
            public |= {f"{name}.{attr}" for attr in vars(value) if not attr.startswith("_")}
    return sorted(public - COVERED)


# Allocations beyond AddressSanitizer's per-allocation cap abort a sanitized build
# instead of raising bad_alloc; those cases are left out there.
SANITIZED = os.environ.get("KESTREL_SANITIZER") == "1"


# --- hostile argument objects -------------------------------------------------------------

class Items:
    """A sequence by item access: `__len__` reports `hint` (or raises what the callable
    `hint` makes: a fresh exception each time, since raising one instance again would
    chain its tracebacks), items 0..count-1 exist."""

    def __init__(self, count=4, hint=4, make=float):
        self.count, self.hint, self.make = count, hint, make

    def __len__(self):
        if callable(self.hint):
            raise self.hint()
        return self.hint

    def __getitem__(self, k):
        if k >= self.count:
            raise IndexError(k)
        return self.make(k)


class IterRaises(Items):
    """Passes the sequence test, but asking for an iterator raises."""

    def __iter__(self):
        raise ValueError("no iterator")


class BadList(list):
    def __iter__(self):
        raise KeyError("list iteration")


class Num:
    """A number whose __float__ and __index__ run `action` first, then give `value`."""

    def __init__(self, value, action=None):
        self.value, self.action = value, action

    def __float__(self):
        if self.action is not None:
            self.action()
        return float(self.value)

    def __index__(self):
        if self.action is not None:
            self.action()
        return self.value


class Raises:
    """Raises a fresh exception from every conversion protocol."""

    def __init__(self, make):
        self.make = make

    def _raise(self, *_):
        raise self.make()

    __float__ = __index__ = __iter__ = __len__ = _raise


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatSub(float):
    pass


class StrSub(str):
    pass


class UnprintableKey(str):
    def __str__(self):
        raise ValueError("key refuses str()")


class Unprintable:
    def __str__(self):
        raise RuntimeError("cannot print")


class MyTypeError(TypeError):
    pass


def type_error_with_cause():
    error = TypeError("wrapped")
    error.__cause__ = KeyError("cause")
    return error


def sequence_of_huge_length(hint):
    return Items(count=0, hint=hint)


def panic_type():
    try:
        BV(sequence_of_huge_length(2**61))
    except BaseException as error:  # noqa: B036 - the internal-fault type is a BaseException
        return type(error)
    raise SystemExit("a length hint of 2**61 no longer raises the internal-fault exception")


class Sink:
    """Stands in for sys.stderr while cases run: internal faults print a line per call."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


# --- measurements ---------------------------------------------------------------------------

class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def native_meter():
    """Bytes in use on the C heap, or None off glibc."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = _MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


NATIVE = native_meter()
TOTAL_REFS = getattr(sys, "gettotalrefcount", None)


def tolerances(rounds):
    """Largest growth over `rounds` calls that still counts as flat, per metric."""
    return {
        "refs": rounds // 10,
        "objects": rounds // 10,
        "blocks": rounds // 10,
        "traced": 4 * rounds,
        "native": 8 * rounds,
        "total": rounds // 10,
    }


def snapshot(tracked):
    gc.collect()
    # sys.getrefcount sees one extra reference from its own argument: constant.
    state = {"refs": [sys.getrefcount(obj) for obj in tracked],
             "objects": len(gc.get_objects()),
             "blocks": sys.getallocatedblocks(),
             "traced": tracemalloc.get_traced_memory()[0]}
    if NATIVE is not None:
        state["native"] = NATIVE()
    if TOTAL_REFS is not None:
        state["total"] = TOTAL_REFS()
    return state


def growth(before, after, tracked):
    grown = {key: after[key] - before[key] for key in after if key != "refs"}
    deltas = [(b - a, obj) for a, b, obj in zip(before["refs"], after["refs"], tracked)]
    worst = max(deltas, key=lambda pair: pair[0], default=(0, None))
    grown["refs"] = worst[0]
    grown["refs_object"] = worst[1]
    return grown


# --- cases ------------------------------------------------------------------------------------

BASE_TRACKED = [None, True, False, *GRAPH_CLASSES, kg.GraphArray, TypeError, ValueError, IndexError,
                OverflowError, RuntimeError, KeyError, float, int, tuple, list, str]


def objects_within(values, depth=2):
    """The values, their types, and items of lists and tuples down to `depth` levels."""
    found = []
    for value in values:
        found.append(value)
        found.append(type(value))
        if depth and isinstance(value, (list, tuple)) and len(value) <= 64:
            # Index by the base type: a subclass's own __iter__ may be one that raises.
            base = list if isinstance(value, list) else tuple
            found.extend(objects_within([base.__getitem__(value, k) for k in range(len(value))],
                                        depth - 1))
    return found


def immortal(obj):
    """Immortal objects (3.12 and later: None, small ints, static types...) keep a fixed
    count that the interpreter never changes, but a module built for the 3.9 stable ABI
    adjusts counts inline and moves it, harmlessly, within the immortal range. Their
    counts say nothing about leaks, so they are not watched."""
    return sys.version_info >= (3, 12) and sys.getrefcount(obj) >= 2**30


class Case:
    def __init__(self, name, call, expect, tracked, untracked=()):
        self.name, self.call, self.expect = name, call, expect
        unique = {}
        for obj in [*BASE_TRACKED, *tracked]:
            if not immortal(obj):
                unique.setdefault(id(obj), obj)
        for obj in untracked:
            unique.pop(id(obj), None)
        self.tracked = list(unique.values())
        self.wrong = None  # the first unexpected outcome

    def run(self, rounds):
        call, expect = self.call, self.expect
        for _ in range(rounds):
            try:
                call()
            except BaseException as error:  # noqa: B036 - faults and exits are cases too
                if type(error) is not expect and self.wrong is None:
                    self.wrong = f"raised {type(error).__name__}: {error}"
            else:
                if expect is not None and self.wrong is None:
                    self.wrong = f"returned instead of raising {expect.__name__}"


CASES = []
NOTES = []


def case(name, fn, *args, expect=None, **kwargs):
    """A case calling fn(*args, **kwargs); everything passed in is watched for refs."""
    extra = [fn.__self__] if hasattr(fn, "__self__") and not isinstance(fn.__self__, type(kg)) else []
    CASES.append(Case(name, lambda: fn(*args, **kwargs), expect,
                      objects_within([*args, *kwargs.values(), *extra])))


def steps(name, call, expect=None, tracked=(), untracked=()):
    """A case running a short sequence of calls; `tracked` names the objects it uses."""
    CASES.append(Case(name, call, expect, objects_within(list(tracked)), untracked))


def numpy_leaks_none():
    """Whether numpy.asarray keeps a reference to None per call for an array interface
    with "strides": None, as some numpy releases do for any exporter (a plain Python
    class shows it too). The module's own interface is measured without numpy."""
    source = np.zeros(4)

    class Exporter:
        __array_interface__ = {"shape": (4,), "typestr": source.dtype.str, "version": 3,
                               "data": (source.ctypes.data, False), "strides": None}

    exporter = Exporter()
    np.asarray(exporter)
    before = sys.getrefcount(None)
    for _ in range(200):
        np.asarray(exporter)
    return sys.getrefcount(None) - before >= 150


def build_cases(panic):
    series = [float((k * 7) % 11) for k in range(40)]
    short = [3.0, 1.0, 2.0, 4.0, 1.0, 3.0]
    element = float("1234.5")
    far = int("1000000")  # not a cached small int, so its count is its own

    # ---- builders: whole series
    for label, fn in (("natural", BV), ("horizontal", BH)):
        case(f"{label} builder: list", fn, series)
        case(f"{label} builder: skip_adjacent=True by keyword", fn, series, skip_adjacent=True)
        case(f"{label} builder: every argument by keyword", fn, time_series=short, skip_adjacent=False)
        case(f"{label} builder: empty series", fn, [])
        case(f"{label} builder: tuple", fn, (1, 2.5, True))
        case(f"{label} builder: range", fn, range(30))
        case(f"{label} builder: bytes", fn, b"\x03\x01\x02")
        case(f"{label} builder: array of doubles", fn, array.array("d", short))
        case(f"{label} builder: NaN and infinities", fn, [1.0, float("nan"), float("inf"), -float("inf")])
        case(f"{label} builder: items by __float__ and float subclass", fn,
             [Num(2.0), FloatSub(1.5), FloatReturns(-1.0)])
        case(f"{label} builder: length hint raises", fn, Items(3, hint=lambda: ValueError("no length")))
        case(f"{label} builder: length hint too big for an int", fn, Items(3, hint=2**64))
        case(f"{label} builder: length hint below the true length", fn, Items(6, hint=1))
        case(f"{label} builder: str", fn, "abc", expect=TypeError)
        case(f"{label} builder: str subclass", fn, StrSub("ab"), expect=TypeError)
        case(f"{label} builder: None", fn, None, expect=TypeError)
        case(f"{label} builder: int", fn, 5, expect=TypeError)
        case(f"{label} builder: dict", fn, {1: 2.0}, expect=TypeError)
        case(f"{label} builder: generator", fn, (x for x in ()), expect=TypeError)
        case(f"{label} builder: str item", fn, [1.0, "x"], expect=TypeError)
        case(f"{label} builder: None item", fn, [1.0, None], expect=TypeError)
        case(f"{label} builder: int too large for a double", fn, [2**1024], expect=OverflowError)
        case(f"{label} builder: __float__ raises ValueError", fn,
             [1.0, Raises(lambda: ValueError("no float"))], expect=ValueError)
        case(f"{label} builder: __float__ raises TypeError (prefixed)", fn,
             [Raises(lambda: TypeError("plain"))], expect=TypeError)
        case(f"{label} builder: __float__ raises TypeError with a cause", fn,
             [Raises(type_error_with_cause)], expect=TypeError)
        case(f"{label} builder: __float__ raises a TypeError subclass", fn,
             [Raises(lambda: MyTypeError("subclass"))], expect=MyTypeError)
        case(f"{label} builder: __float__ returns a str", fn, [FloatReturns("x")], expect=TypeError)
        case(f"{label} builder: __float__ raises SystemExit", fn,
             [Raises(lambda: SystemExit(3))], expect=SystemExit)
        case(f"{label} builder: __float__ raises KeyboardInterrupt", fn,
             [Raises(lambda: KeyboardInterrupt())], expect=KeyboardInterrupt)
        case(f"{label} builder: item access raises", fn,
             Items(4, make=Raises(lambda: ValueError("bad item"))._raise), expect=ValueError)
        case(f"{label} builder: __iter__ raises", fn, IterRaises(), expect=ValueError)
        case(f"{label} builder: list subclass whose __iter__ raises", fn, BadList([1.0]), expect=KeyError)
        case(f"{label} builder: length hint 2**61", fn, sequence_of_huge_length(2**61), expect=panic)
        if not SANITIZED:
            case(f"{label} builder: length hint beyond memory", fn, Items(3, hint=2**55))
        case(f"{label} builder: skip_adjacent=1", fn, short, 1, expect=TypeError)
        case(f"{label} builder: skip_adjacent='yes'", fn, short, "yes", expect=TypeError)
        case(f"{label} builder: skip_adjacent=None", fn, short, None)
        case(f"{label} builder: no arguments", fn, expect=TypeError)
        case(f"{label} builder: too many arguments", fn, short, True, 3, expect=TypeError)
        case(f"{label} builder: unknown keyword", fn, short, skip=True, expect=TypeError)
        case(f"{label} builder: argument given twice", fn, short, time_series=short, expect=TypeError)
        case(f"{label} builder: unencodable keyword", fn, short, **{"\ud800": 1}, expect=TypeError)
        case(f"{label} builder: keyword whose __str__ raises", fn, short,
             **{UnprintableKey("bogus"): 1}, expect=ValueError)

    # ---- re-entry and faults through conversion hooks
    nested = [1.0, 2.0, 3.0]
    case("builder: __float__ runs a builder", BV, [Num(1.0, lambda: BV(nested).edges), 2.0, 0.5])
    case("builder: __float__ runs a failing builder", BV,
         [Num(1.0, lambda: IV("no", 0, 0)), 2.0], expect=TypeError)

    def swallowed_panic():
        try:
            BV(sequence_of_huge_length(2**61))
        except panic:
            pass

    case("builder: __float__ swallows an internal fault", BV, [Num(1.0, swallowed_panic), 2.0])
    case("builder: __float__ lets an internal fault through", BV,
         [Num(1.0, lambda: BV(sequence_of_huge_length(2**61)))], expect=panic)
    clearable = [1.0, 2.0]

    def clear_and_restore():
        clearable.clear()

    def converted_while_cleared():
        clearable[:] = [1.0, Num(2.0, clear_and_restore), 3.0, 4.0]
        BV(clearable)

    steps("builder: series cleared by its own item's __float__", converted_while_cleared,
          tracked=[clearable])
    case("builder: plain TypeError whose message cannot be printed", BV,
         [Raises(lambda: TypeError(Unprintable()))], expect=TypeError)

    # ---- pairwise tests, sub-series and stretch graphs
    for label, fn in (("natural pair test", IV), ("horizontal pair test", IH),
                      ("sub-series", SB), ("natural stretch", SG), ("horizontal stretch", SH)):
        out_of_range = None if fn in (IV, IH) else IndexError
        case(f"{label}: good", fn, series, 3, 30)
        case(f"{label}: by keyword, reversed", fn, j=1, i=5, time_series=short)
        case(f"{label}: same index twice", fn, short, 2, 2)
        case(f"{label}: index via __index__", fn, series, Num(far % 40), IndexReturns(2))
        case(f"{label}: bool index", fn, short, True, 4)
        case(f"{label}: index past the end", fn, short, 0, 6, expect=out_of_range)
        case(f"{label}: index 2**64 - 1", fn, short, 2**64 - 1, 0, expect=out_of_range)
        case(f"{label}: empty series", fn, [], 0, 0, expect=out_of_range)
        case(f"{label}: negative index", fn, short, -1, 0, expect=OverflowError)
        case(f"{label}: index 2**64", fn, short, 0, 2**64, expect=OverflowError)
        case(f"{label}: float index", fn, short, 1.0, 2, expect=TypeError)
        case(f"{label}: str index", fn, short, 0, "2", expect=TypeError)
        case(f"{label}: None index", fn, short, None, 2, expect=TypeError)
        case(f"{label}: __index__ returns a float", fn, short, IndexReturns(1.5), 2, expect=TypeError)
        case(f"{label}: __index__ returns a negative", fn, short, IndexReturns(-far), 2,
             expect=OverflowError)
        case(f"{label}: __index__ raises", fn, short, 0, Raises(lambda: ValueError("no index")),
             expect=ValueError)
        case(f"{label}: bad series and bad index", fn, "ab", "x", "y", expect=TypeError)
        case(f"{label}: missing arguments", fn, short, expect=TypeError)
        case(f"{label}: too many arguments", fn, short, 1, 2, True, False, expect=TypeError)
        case(f"{label}: unknown keyword", fn, short, 1, 2, k=3, expect=TypeError)
    for label, fn in (("natural stretch", SG), ("horizontal stretch", SH)):
        case(f"{label}: skip_adjacent=True", fn, series, 30, 2, True)
        case(f"{label}: skip_adjacent=0", fn, series, 1, 2, 0, expect=TypeError)
        case(f"{label}: skip_adjacent bad and index out of range", fn, [], 5, 6, 1, expect=TypeError)

    # ---- motif scores
    case("motif scores: good", HWMS, series, 5)
    case("motif scores: by keyword with skip_adjacent", HWMS, time_series=series, window_size=4,
         skip_adjacent=True)
    case("motif scores: window equals the length", HWMS, short, 6)
    case("motif scores: window via __index__", HWMS, short, IndexReturns(3))
    case("motif scores: zero window", HWMS, short, 0, expect=ValueError)
    case("motif scores: window too large", HWMS, short, 7, expect=ValueError)
    case("motif scores: window 2**64 - 1", HWMS, short, 2**64 - 1, expect=ValueError)
    case("motif scores: empty series", HWMS, [], 1, expect=ValueError)
    case("motif scores: negative window", HWMS, short, -2, expect=OverflowError)
    case("motif scores: window 2**70", HWMS, short, 2**70, expect=OverflowError)
    case("motif scores: float window", HWMS, short, 2.0, expect=TypeError)
    case("motif scores: None window", HWMS, short, None, expect=TypeError)
    case("motif scores: skip_adjacent=0", HWMS, short, 2, 0, expect=TypeError)
    case("motif scores: str series", HWMS, "abc", 2, expect=TypeError)
    case("motif scores: missing window", HWMS, short, expect=TypeError)

    # ---- segment test
    point = (element, 0.0)
    cross = [((0, 4), (4, 0))]
    case("segment: crossing obstacle", SEG, (0, 0), (4, 4), cross)
    case("segment: many obstacles", SEG, (0.0, 0.0), (1.0, 1.0), [((5, 5), (6, 6))] * 50)
    case("segment: tuple obstacles, float subclass, __float__ coordinates", SEG,
         (Num(0.0), FloatSub(0.0)), point, (((5, 5), (6, 6)),))
    case("segment: obstacles by item access", SEG, (0, 0), (1, 1),
         Items(2, hint=1, make=lambda k: ((k, 0), (k, 1))))
    case("segment: by keyword", SEG, obstacles=[], p2=(1, 1), p1=(0, 0))
    case("segment: list point", SEG, [0.0, 1.0], point, [], expect=TypeError)
    case("segment: short point", SEG, (0.0,), point, [], expect=ValueError)
    case("segment: long point", SEG, point, (0.0, 0.0, 0.0), [], expect=ValueError)
    case("segment: str coordinate", SEG, point, ("a", 0.0), [], expect=TypeError)
    case("segment: __float__ raises in a point", SEG, point,
         (0.0, Raises(lambda: ValueError("no float"))), [], expect=ValueError)
    case("segment: obstacle not a tuple", SEG, point, point, [[(0, 0), (1, 1)]], expect=TypeError)
    case("segment: obstacle of length 4", SEG, point, point, [(0, 0, 1, 1)], expect=ValueError)
    case("segment: obstacle end of length 3", SEG, point, point, [((0, 0), (1, 1, 1))],
         expect=ValueError)
    case("segment: obstacle end with str", SEG, point, point, [((0, 0), (1, "a"))], expect=TypeError)
    case("segment: obstacle end raises TypeError with a cause", SEG, point, point,
         [((0, 0), (1, Raises(type_error_with_cause)))], expect=TypeError)
    case("segment: obstacles str", SEG, point, point, "ab", expect=TypeError)
    case("segment: obstacles dict", SEG, point, point, {}, expect=TypeError)
    case("segment: obstacles None", SEG, point, point, None, expect=TypeError)
    case("segment: obstacles generator", SEG, point, point, (o for o in ()), expect=TypeError)
    case("segment: obstacles length hint 2**58", SEG, point, point,
         sequence_of_huge_length(2**58), expect=panic)
    case("segment: obstacles __iter__ raises", SEG, point, point, IterRaises(), expect=ValueError)
    case("segment: missing obstacles", SEG, point, point, expect=TypeError)
    case("segment: unknown keyword", SEG, point, point, [], p3=point, expect=TypeError)

    # ---- graph classes
    for cls in GRAPH_CLASSES:
        label = cls.__name__
        g = cls()
        for k in range(4):
            g.add_vertex(float(k), float(k * k))
        g.add_edge(0, 1)
        g.add_edge(2, 1)
        size = 4

        def fresh(cls=cls):
            h = cls()
            h.add_edge(h.add_vertex(0.5, 1.5), h.add_vertex(far, element))
            h.add_vertex(y=2.0, x=Num(3.0))
            h.add_edge(2, 0)
            h.remove_edge(1, 0)
            h.edges, h.vertices, h.node_count(), h.edge_count()
            h.remove_vertex(0)

        steps(f"{label}: a fresh graph built, read and dropped", fresh, tracked=[far, element])
        case(f"{label}: constructor with an argument", cls, 1, expect=TypeError)
        case(f"{label}: constructor with a keyword", cls, size=1, expect=TypeError)
        case(f"{label}: object.__new__", object.__new__, cls, expect=TypeError)
        case(f"{label}: vertices", lambda g=g: g.vertices)
        case(f"{label}: edges", lambda g=g: g.edges)
        case(f"{label}: node_count and edge_count", lambda g=g: (g.node_count(), g.edge_count()))
        case(f"{label}: node_count with an argument", g.node_count, 1, expect=TypeError)
        case(f"{label}: edges of another class's instance",
             cls.edges.__get__, GRAPH_CLASSES[cls is kg.VisibilityGraph](), expect=TypeError)
        case(f"{label}: method on another class's instance", cls.add_vertex,
             GRAPH_CLASSES[cls is kg.VisibilityGraph](), 1.0, 2.0, expect=TypeError)
        case(f"{label}: setting vertices", setattr, g, "vertices", [], expect=AttributeError)

        def add_then_remove(g=g, x=Num(element), y=far):
            g.remove_vertex(g.add_vertex(x, y))

        steps(f"{label}: add_vertex then remove_vertex", add_then_remove, tracked=[element, far])
        case(f"{label}: add_edge duplicate", g.add_edge, 1, 0)
        case(f"{label}: add_edge self-loop", g.add_edge, 3, 3)
        case(f"{label}: remove_edge absent", g.remove_edge, 0, 3)
        case(f"{label}: remove_edge out of range", g.remove_edge, far, 2**64 - 1)

        def add_then_remove_edge(g=g):
            g.add_edge(Num(3), 0)
            g.remove_edge(0, IndexReturns(3))

        steps(f"{label}: add_edge then remove_edge", add_then_remove_edge)
        case(f"{label}: add_vertex by keyword", lambda g=g: g.remove_vertex(g.add_vertex(y=1.0, x=2.0)))
        case(f"{label}: add_vertex str", g.add_vertex, 0.0, "y", expect=TypeError)
        case(f"{label}: add_vertex None", g.add_vertex, None, 0.0, expect=TypeError)
        case(f"{label}: add_vertex __float__ raises", g.add_vertex, 0.0,
             Raises(lambda: ValueError("no float")), expect=ValueError)
        case(f"{label}: add_vertex __float__ raises TypeError with a cause", g.add_vertex,
             Raises(type_error_with_cause), 0.0, expect=TypeError)
        case(f"{label}: add_vertex missing y", g.add_vertex, 1.0, expect=TypeError)
        case(f"{label}: add_vertex x twice", g.add_vertex, 1.0, 2.0, x=1.0, expect=TypeError)
        case(f"{label}: add_vertex unknown keyword", g.add_vertex, 1.0, 2.0, z=1.0, expect=TypeError)
        case(f"{label}: add_edge out of range", g.add_edge, 0, size, expect=IndexError)
        case(f"{label}: add_edge self-loop out of range", g.add_edge, far, far, expect=IndexError)
        case(f"{label}: add_edge negative", g.add_edge, -1, 0, expect=OverflowError)
        case(f"{label}: add_edge 2**64", g.add_edge, 0, 2**64, expect=OverflowError)
        case(f"{label}: add_edge float", g.add_edge, 0, 1.0, expect=TypeError)
        case(f"{label}: remove_vertex out of range", g.remove_vertex, size, expect=IndexError)
        case(f"{label}: remove_vertex negative", g.remove_vertex, -far, expect=OverflowError)
        case(f"{label}: remove_vertex str", g.remove_vertex, "0", expect=TypeError)
        case(f"{label}: remove_vertex two arguments", g.remove_vertex, 0, 1, expect=TypeError)
        case(f"{label}: remove_edge __index__ raises", g.remove_edge, 0,
             Raises(lambda: ValueError("no index")), expect=ValueError)

        # Re-entry into the same graph from a conversion hook is refused; the refusal
        # either travels out of the call or is swallowed by the hook.
        def swallow(action):
            def run():
                try:
                    action()
                except RuntimeError:
                    pass
            return run

        reads = (("node_count", lambda g=g: g.node_count()), ("vertices", lambda g=g: g.vertices))
        writes = (("add_vertex", lambda g=g: g.add_vertex(9.0, 9.0)),
                  ("remove_edge", lambda g=g: g.remove_edge(0, 1)))
        for inner_name, inner in reads + writes:
            case(f"{label}: add_vertex re-entered by {inner_name}, refusal raised",
                 g.add_vertex, Num(1.0, inner), 2.0, expect=RuntimeError)
            case(f"{label}: add_edge re-entered by {inner_name}, refusal swallowed",
                 g.add_edge, 1, Num(0, swallow(inner)))
        case(f"{label}: remove_vertex re-entered by edges, refusal raised", g.remove_vertex,
             Num(size, lambda g=g: g.edges), expect=RuntimeError)
        case(f"{label}: remove_edge re-entered by remove_vertex, refusal swallowed",
             g.remove_edge, Num(0, swallow(lambda g=g: g.remove_vertex(0))), 3)
        other = cls()

        def touch_other(other=other):
            other.remove_vertex(other.add_vertex(0.0, 1.0))
            other.edges

        case(f"{label}: hook uses another graph", g.remove_edge, Num(0, touch_other), 3)

        def dropped_mid_call(cls=cls):
            holder = [cls()]
            holder[0].add_vertex(Num(1.0, holder.clear), 2.0)

        steps(f"{label}: last outside reference dropped during a call", dropped_mid_call)

    # ---- builder results
    case("natural builder result: edges and vertices read", lambda: (BV(series).edges, BV(series).vertices))
    case("horizontal stretch result: edited", lambda: SH(series, 0, 20).remove_vertex(3))

    # ---- series read in place: exact lists and tuples, changed by their own items
    growable = [1.0, 2.0]

    def grown_while_read():
        added = []

        def grow_once():
            if not added:
                added.append(1)
                growable.append(5.0)
        growable[:] = [1.0, Num(2.0, grow_once), 3.0]
        BV(growable)

    steps("builder: list grown by its own item's __float__", grown_while_read, tracked=[growable])
    steps("builder: tuple holding the only reference to its items",
          lambda: BH(tuple(Num(float(k), None) for k in range(8))))

    # ---- degree-only and edge-array builders (the interpreter lock is released)
    for label, fn in (("natural degrees", VD), ("horizontal degrees", HD),
                      ("natural edge array", VE), ("horizontal edge array", HE)):
        case(f"{label}: list", fn, series)
        case(f"{label}: tuple, by keyword", fn, time_series=tuple(short), skip_adjacent=True)
        case(f"{label}: empty", fn, [])
        case(f"{label}: general sequence", fn, Items(5, hint=lambda: ValueError("no length")))
        case(f"{label}: str", fn, "abc", expect=TypeError)
        case(f"{label}: None", fn, None, expect=TypeError)
        case(f"{label}: __float__ raises TypeError with a cause", fn,
             [1.0, Raises(type_error_with_cause)], expect=TypeError)
        case(f"{label}: __float__ raises ValueError", fn,
             (1.0, Raises(lambda: ValueError("no float"))), expect=ValueError)
        case(f"{label}: length hint 2**61", fn, sequence_of_huge_length(2**61), expect=panic)
        case(f"{label}: skip_adjacent=1", fn, short, 1, expect=TypeError)
        case(f"{label}: unknown keyword", fn, short, skip=True, expect=TypeError)
        case(f"{label}: too many arguments", fn, short, True, 3, expect=TypeError)
        case(f"{label}: __float__ runs another lock-free build", fn,
             [Num(1.0, lambda: VE(nested).tobytes()), 2.0, 0.5])
        case(f"{label}: threads=3", fn, series, threads=3)
        case(f"{label}: threads=None", fn, series, threads=None)
        case(f"{label}: huge threads", fn, short, threads=10**40)
        case(f"{label}: threads=0", fn, short, threads=0, expect=ValueError)
        case(f"{label}: huge negative threads", fn, short, threads=-10**40, expect=ValueError)
        case(f"{label}: bool threads", fn, short, threads=True, expect=TypeError)
        case(f"{label}: float threads", fn, short, threads=2.0, expect=TypeError)

    # ---- the variant builders (positions, penetrable, exact; the lock is released)
    positions = [float(k) * 1.5 for k in range(len(series))]
    for label, fn in (("build_graph", BG), ("graph_degrees", GD), ("graph_edge_array", GE)):
        case(f"{label}: list", fn, series)
        case(f"{label}: positions, limit, exact", fn, series, x=positions, penetrable=2, exact=True)
        case(f"{label}: horizontal, tuple positions", fn, tuple(short), "horizontal",
             x=tuple(range(len(short))), penetrable=1, skip_adjacent=True)
        case(f"{label}: empty", fn, [], x=[])
        case(f"{label}: general sequence positions", fn, short, x=Items(len(short), hint=len(short)))
        case(f"{label}: positions too short", fn, series, x=positions[:-1], expect=ValueError)
        case(f"{label}: positions not increasing", fn, [1.0, 2.0], x=[1.0, 1.0], expect=ValueError)
        case(f"{label}: NaN position", fn, [1.0, 2.0], x=[0.0, math.nan], expect=ValueError)
        case(f"{label}: positions str", fn, short, x="abc", expect=TypeError)
        case(f"{label}: position __float__ raises", fn, [1.0, 2.0],
             x=[0.0, Raises(type_error_with_cause)], expect=TypeError)
        # Times are read by the tools package (which needs numpy); without it they are
        # refused as numbers are.
        case(f"{label}: times as positions", fn, [1.0, 3.0, 2.0], x=DAYS,
             expect=None if HAVE_TIME_POSITIONS else TypeError)
        case(f"{label}: a time among numbers", fn, [1.0, 2.0], x=[datetime.date(2020, 1, 1), 2.0],
             expect=TypeError)
        case(f"{label}: decimals", fn, [0.2, 0.5, 0.8], decimals=1)
        case(f"{label}: no such decimal", fn, [0.25, 0.5], decimals=1, expect=ValueError)
        case(f"{label}: missing samples omitted", fn, [1.0, math.nan, 2.0, 0.5], missing="omit")
        case(f"{label}: missing samples kept", fn, [1.0, math.nan, 2.0], x=[0.0, 1.0, 3.0],
             missing="keep")
        case(f"{label}: missing sample refused", fn, [1.0, math.nan], expect=ValueError)
        case(f"{label}: unknown missing policy", fn, short, missing="drop", expect=ValueError)
        case(f"{label}: negative limit", fn, short, penetrable=-1, expect=ValueError)
        case(f"{label}: huge negative limit", fn, short, penetrable=-10**40, expect=ValueError)
        case(f"{label}: bool limit", fn, short, penetrable=True, expect=TypeError)
        case(f"{label}: float limit", fn, short, penetrable=1.0, expect=TypeError)
        case(f"{label}: huge limit", fn, short, penetrable=10**40)
        case(f"{label}: unknown kind", fn, short, "vertical", expect=ValueError)
        case(f"{label}: kind not str", fn, short, 3, expect=TypeError)
        case(f"{label}: exact=1", fn, short, exact=1, expect=TypeError)
        case(f"{label}: positional x", fn, short, "natural", positions, expect=TypeError)
        case(f"{label}: unknown keyword", fn, short, window=3, expect=TypeError)
        case(f"{label}: horizontal on two threads", fn, series, "horizontal", threads=2)
        case(f"{label}: threads with positions", fn, series, x=positions, threads=2)
        case(f"{label}: threads=0", fn, short, threads=0, expect=ValueError)
        case(f"{label}: str threads", fn, short, threads="2", expect=TypeError)

    # ---- the array type and the graph exports
    array_type = kg.GraphArray
    edge_array = VE(series)
    case("GraphArray: shape, typestr, len, repr", lambda a=edge_array: (a.shape, a.typestr, len(a), repr(a)))
    case("GraphArray: tobytes", edge_array.tobytes)
    case("GraphArray: __array_interface__", lambda a=edge_array: a.__array_interface__)
    case("GraphArray: a fresh one read and dropped", lambda: VD(short).tobytes())
    case("GraphArray: tobytes with an argument", edge_array.tobytes, 1, expect=TypeError)
    case("GraphArray: constructor", array_type, expect=TypeError)
    case("GraphArray: constructor with arguments", array_type, 1, size=2, expect=TypeError)
    case("GraphArray: object.__new__", object.__new__, array_type, expect=TypeError)
    case("GraphArray: setting shape", setattr, edge_array, "shape", (1,), expect=AttributeError)
    for cls in GRAPH_CLASSES:
        label = cls.__name__
        g = SG(series, 2, 30) if cls is kg.VisibilityGraph else SH(series, 2, 30)
        for method in ("edges_array", "vertices_array", "degrees_array"):
            case(f"{label}: {method}", getattr(g, method))
            case(f"{label}: {method} with an argument", getattr(g, method), 1, expect=TypeError)
            case(f"{label}: add_vertex re-entered by {method}, refusal raised", g.add_vertex,
                 Num(1.0, getattr(g, method)), 2.0, expect=RuntimeError)
        case(f"{label}: exports of an empty graph",
             lambda cls=cls: (cls().edges_array().tobytes(), cls().degrees_array().shape))
        case(f"{label}: time axis of a graph without times", lambda g=g: (g.x_unit, g.x_origin))

        def export_outlives_graph(cls=cls):
            h = cls()
            h.add_edge(h.add_vertex(0.0, 1.0), h.add_vertex(1.0, 0.0))
            exported = h.edges_array()
            del h
            return exported.tobytes()

        steps(f"{label}: export outlives its graph", export_outlives_graph)
    if HAVE_TIME_POSITIONS:
        for kind in ("natural", "horizontal"):
            dated = kg.build_graph([1.0, 3.0, 2.0], kind, x=DAYS)
            case(f"{kind} graph from times: its time axis", lambda g=dated: (g.x_unit, g.x_origin))
            case(f"{kind} graph from times: built and dropped",
                 lambda kind=kind: kg.build_graph([1.0, 3.0, 2.0], kind, x=DAYS).x_origin)

    for cls in GRAPH_CLASSES:
        def exports_across_edits(cls=cls):
            # Each edit while exports hold the graph's storage copies it first; the
            # exports keep the old block, the graph the new one.
            h = cls()
            for k in range(4):
                h.add_vertex(float(k), float(k % 2))
            h.add_edge(0, 1)
            h.add_edge(1, 2)
            held = []
            for edit in (lambda: h.add_edge(2, 3), lambda: h.remove_edge(0, 1),
                         lambda: h.add_vertex(9.0, 9.0), lambda: h.remove_vertex(0)):
                held.append((h.edges_array(), h.vertices_array()))
                edit()
            return [(e.tobytes(), v.tobytes()) for e, v in held]

        steps(f"{cls.__name__}: shared exports across every kind of edit", exports_across_edits)

    # ---- the private reader of decimal text behind the command line's bulk input path
    RC = kg._read_columns
    case("text reader: one column with missing samples", RC, b"1.5\n\n-2.25\nNA\n", 1, "\n", ".", [0])
    case("text reader: two of three columns, decimal commas", RC, b"1;2,5;3\n4;5;6,75\n", 3, ";", ",",
         (2, 0))
    case("text reader: long mantissa", RC, b"12345678901234567890.125\n", 1, "\n", ".", [0])
    case("text reader: not sure of an exponent", RC, b"1e5\n", 1, "\n", ".", [0])
    case("text reader: str data", RC, "1\n", 1, "\n", ".", [0], expect=TypeError)
    case("text reader: column out of range", RC, b"1;2\n", 2, ";", ".", [far], expect=ValueError)
    case("text reader: str column", RC, b"1;2\n", 2, ";", ".", ["0"], expect=TypeError)

    # ---- the private count tables behind the many-series features
    BT = kg._block_tables
    block = [3.0, 1.0, 2.0, 4.0, 0.5, 5.0, 1.0, 1.0]
    case("block tables: natural with the measures", BT, block, 4, True, False, True)
    case("block tables: horizontal degrees only, adjacent skipped", BT, block, 2, False, True, False)
    case("block tables: no series", BT, [], 0, False, False, True)
    case("block tables: not whole series", BT, block, 3, True, False, True, expect=ValueError)
    case("block tables: measures with adjacent skipped", BT, block, 4, True, True, True,
         expect=ValueError)
    case("block tables: str values", BT, "x", 1, True, False, True, expect=TypeError)

    # ---- the private stretch scan behind the natural stream
    NF = kg._natural_edges_from
    case("edges from: float rule", NF, block, first_high=5)
    case("edges from: exact rule, positions", NF, block, x=list(range(8)), exact=True,
         first_high=2)
    case("edges from: decimals, penetrable", NF, block, decimals=1, penetrable=1, first_high=0)
    case("edges from: past the end", NF, block, first_high=99)
    case("edges from: no first high", NF, block, expect=TypeError)
    case("edges from: horizontal", NF, block, "horizontal", first_high=1, expect=ValueError)
    case("edges from: negative first high", NF, block, first_high=-1, expect=OverflowError)
    case("edges from: a missing sample", NF, [1.0, float("nan")], first_high=1,
         expect=ValueError)

    # ---- numpy arrays as series, and numpy wrapping exports without a copy
    if np is None:
        return
    floats = np.array(series)
    for label, fn in (("natural builder", BV), ("horizontal edge array", HE), ("natural degrees", VD)):
        case(f"{label}: numpy float64", fn, floats)
        case(f"{label}: numpy float64 reversed view", fn, floats[::-1])
        case(f"{label}: numpy int32 strided view", fn, floats.astype("int32")[::3])
        case(f"{label}: numpy bool", fn, floats > 4)
        case(f"{label}: numpy float16 (read item by item)", fn, floats.astype("float16"))
        case(f"{label}: numpy big-endian float64 (read item by item)", fn, floats.astype(">f8"))
        case(f"{label}: numpy empty", fn, np.zeros(0))
        case(f"{label}: numpy two-dimensional", fn, floats.reshape(8, 5), expect=TypeError)
        case(f"{label}: numpy object array with a str", fn, np.array([1.0, "x"], dtype=object),
             expect=TypeError)
    numpy_own = [None] if numpy_leaks_none() else []
    if numpy_own:
        NOTES.append(f"numpy {np.__version__} keeps a reference to None per numpy.asarray of any "
                     "array interface with strides None; None is not watched in the two "
                     "numpy.asarray cases")
    steps("GraphArray: numpy.asarray of an export, then dropped",
          lambda: np.asarray(VE(series)).sum(), untracked=numpy_own)
    steps("GraphArray: numpy.asarray of a graph's vertices",
          lambda g=BV(short): np.asarray(g.vertices_array())[:, 1].sum(), untracked=numpy_own)


# --- driver -----------------------------------------------------------------------------------

def measure(case, rounds):
    before = snapshot(case.tracked)
    case.run(rounds)
    after = snapshot(case.tracked)
    return growth(before, after, case.tracked)


def over(grown, limits):
    return {key for key, limit in limits.items() if key in grown and grown[key] > limit}


def describe(grown, keys):
    parts = []
    for key in sorted(keys):
        text = f"{key} +{grown[key]}"
        if key == "refs":
            obj = grown["refs_object"]
            text += f" on {type(obj).__name__} {obj!r:.60}"
        parts.append(text)
    return ", ".join(parts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=2000, help="calls per measured batch (default 2000)")
    parser.add_argument("--warmup", type=int, default=None, help="calls before measuring (default rounds/10, at least 50)")
    parser.add_argument("-k", dest="only", default="", help="run only cases whose name contains this text")
    parser.add_argument("-v", "--verbose", action="store_true", help="print every case's growth")
    options = parser.parse_args()
    rounds = max(options.rounds, 100)
    warmup = options.warmup if options.warmup is not None else max(50, rounds // 10)
    limits = tolerances(rounds)

    warnings.simplefilter("ignore")  # float subclasses from __float__ warn on some versions
    real_stderr = sys.stderr
    sys.stderr = Sink()  # the probe's fault prints a line
    try:
        panic = panic_type()
    finally:
        sys.stderr = real_stderr
    build_cases(panic)
    missing = uncovered_names()
    if missing:
        print(f"FAIL public names no case exercises: {', '.join(missing)}")
        return 1
    selected = [c for c in CASES if options.only in c.name]
    names = [c.name for c in selected]
    duplicates = {n for n in names if names.count(n) > 1}
    if duplicates:
        raise SystemExit(f"duplicate case names: {sorted(duplicates)}")

    out = sys.stdout
    meters = "refs, objects, blocks, traced" + (", native" if NATIVE else "") + (", total" if TOTAL_REFS else "")
    if np is None:
        NOTES.append("numpy is not installed: the numpy cases are left out")
    for note in NOTES:
        print("note: " + note, file=out)
    print(f"{len(selected)} cases, {rounds} calls each after {warmup} warm-up calls; "
          f"measuring {meters} ({sys.implementation.name} {sys.version.split()[0]}"
          f"{', debug build' if TOTAL_REFS else ''})", file=out, flush=True)

    unraisable = [0]  # a count only: keeping the hook's arguments would keep their objects

    def count_unraisable(_):
        unraisable[0] += 1

    real_hook = sys.unraisablehook
    sink = Sink()
    failures = []
    started = time.perf_counter()
    tracemalloc.start()
    try:
        for c in selected:
            sys.stderr, sys.unraisablehook = sink, count_unraisable
            try:
                c.run(warmup)
                unraisable[0] = 0
                grown = measure(c, rounds)
                suspect = over(grown, limits)
                confirmed, again = set(suspect), None
                # Confirmed by two more batches: a leak grows in every batch, while a cache
                # that settles slowly (numpy's datetime conversions) shrinks from one to
                # the next.
                for _ in range(2 if suspect else 0):
                    again = measure(c, rounds)
                    confirmed &= over(again, limits)
                    if not confirmed:
                        break
                seen_unraisable = unraisable[0]
            finally:
                sys.stderr, sys.unraisablehook = real_stderr, real_hook
            problems = []
            if confirmed:
                problems.append("grew: " + describe(again, confirmed))
            if c.wrong:
                problems.append("unexpected outcome: " + c.wrong)
            expects_unraisable = "cannot be printed" in c.name
            if seen_unraisable and not expects_unraisable:
                problems.append(f"{seen_unraisable} unraisable errors")
            if problems:
                failures.append(c.name)
                print(f"FAIL {c.name}: " + "; ".join(problems), file=out, flush=True)
            elif options.verbose:
                note = f" (first batch {describe(grown, suspect)}, not repeated)" if suspect else ""
                shown = {k: v for k, v in grown.items() if k != "refs_object"}
                print(f"ok   {c.name}: {shown}{note}", file=out, flush=True)
    finally:
        tracemalloc.stop()
    elapsed = time.perf_counter() - started
    print(f"{len(selected) - len(failures)} passed, {len(failures)} failed in {elapsed:.1f} s", file=out)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
