"""Argument-surface fuzzer for the installed kestrel_grid module.

Every input is a byte string that a small decoder turns into a sequence of calls: module
functions and graph methods, with positional and keyword arguments drawn from ordinary
values (ints of every size, floats with NaN and infinities, str, bytes, None, bools,
nested lists and tuples) and hostile ones (objects whose __float__, __index__, __len__,
__iter__ or __str__ raise, lie, return the wrong type, or call back into the module and
into the graph under edit).

A call may return a result or raise TypeError, ValueError, IndexError, OverflowError,
MemoryError, RuntimeError("Already borrowed" / "Already mutably borrowed"), an
exception one of the hostile objects raised itself, or PanicException("capacity
overflow") after some __len__ reported more items than memory can address. Anything
else is a finding: a crash, SystemError, another exception type. Beyond that, calls
whose arguments are all plain values are checked against a literal Python model (the
edges and vertices bit for bit, the exact exception type), a failed graph edit must
leave the graph as it was, and a successful call must not change the reference counts
of its plain arguments.

    python fuzz/python_fuzz.py [libFuzzer flags] [corpus dirs or crash files]
    python fuzz/python_fuzz.py --random [-runs=N] [-max_total_time=S] [-seed=N] [files]

The first form runs under atheris when it is importable; without atheris, or with
--random, a seeded random-and-mutation driver feeds the same decoder, and a file
argument with neither -runs nor -max_total_time replays that input.
"""

import array
import gc
import inspect
import io
import math
import os
import random
import struct
import sys
import time
import warnings

import kestrel_grid as kg

try:  # the module copies exact numpy arrays straight from memory; fuzz that path too
    import numpy
except ImportError:
    numpy = None

# __float__ and __index__ returning a subclass of float or int only warn; keep it quiet.
warnings.simplefilter("ignore", DeprecationWarning)

# ----------------------------------------------------------------------------- decoding


class Source:
    """Reads the fuzz input front to back; past its end every read is zero."""

    def __init__(self, data):
        self.data = data
        self.at = 0

    def byte(self):
        if self.at < len(self.data):
            self.at += 1
            return self.data[self.at - 1]
        return 0

    def below(self, n):
        if n <= 256:
            return self.byte() % n
        return (self.byte() | self.byte() << 8 | self.byte() << 16) % n

    def chance(self, n):
        return self.below(n) == 0

    def pick(self, items):
        return items[self.below(len(items))]

    def raw_float(self):
        chunk = bytes(self.byte() for _ in range(8))
        return struct.unpack("<d", chunk)[0]

    def big_int(self):
        bits = self.pick([0, 1, 8, 31, 32, 52, 53, 54, 63, 64, 65, 127, 128, 1024, 1030, 4000])
        value = (1 << bits) + self.below(5) - 2
        return -value if self.chance(2) else value


NAN = float("nan")
SPECIAL_FLOATS = [NAN, -NAN, math.inf, -math.inf, -0.0, 0.0, 5e-324, -5e-324,
                  2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
                  2.0 ** 53, 2.0 ** 53 + 2, 2.0 ** 1000, 0.1, 1 / 3]
TEXTS = ["", "0", "1.5", "nan", "time_series", "i", "j", "x", "\x00", "\ud800", "é", "🦅" * 3]

PARAMETERS = ["time_series", "skip_adjacent", "i", "j", "window_size", "p1", "p2", "obstacles",
              "x", "y", "v1", "v2", "index"]

# ------------------------------------------------------------------------ call state


class CallState:
    """What hostile code did during one call: exceptions it raised, whether it ran at
    all, whether it changed a graph, and the largest length it reported."""

    def __init__(self):
        self.reset()

    def reset(self):
        self.raised = []
        self.hostile_ran = False
        self.changed_graph = False
        self.largest_len = 0
        self.stderr = None


STATE = CallState()
GRAPHS = []          # graphs of the current input, reachable from hostile callbacks
# Above this many items no vector of doubles or segments can be addressed at all.
CAPACITY_LIMIT = (2 ** 63 - 1) // 32


class _Endless:
    def __len__(self):
        return sys.maxsize

    def __getitem__(self, index):
        raise IndexError


def _panic_type():
    """The module's internal-fault type, which it does not export: seen once here."""
    saved, sys.stderr = sys.stderr, io.StringIO()  # the module reports the fault there
    try:
        kg.build_visibility_graph(_Endless())
    except BaseException as exc:  # noqa: BLE001
        if type(exc).__name__ == "PanicException" and exc.args == ("capacity overflow",):
            return type(exc)
        raise
    finally:
        sys.stderr = saved
    raise AssertionError("a length of sys.maxsize was accepted")


PANIC_TYPE = _panic_type()


class Hostile(Exception):
    pass


class HostileBase(BaseException):
    pass


def hostile_raise(kind):
    exc = [Hostile("hostile"), HostileBase("hostile base"), ValueError("hostile value"),
           TypeError("hostile type"), OverflowError("hostile overflow"), ZeroDivisionError("hostile"),
           MemoryError(), IndexError("hostile index"), RecursionError("hostile"),
           StopIteration()][kind % 10]
    STATE.raised.append(exc)
    raise exc


def reenter(action):
    """Calls back into the module from inside a conversion."""
    STATE.hostile_ran = True
    graph = GRAPHS[action % len(GRAPHS)] if GRAPHS else None
    kind = action % 7
    if kind == 0 and graph is not None:
        graph.vertices, graph.edges, graph.node_count()
    elif kind == 1 and graph is not None:
        graph.add_vertex(1.0, 2.0)
        STATE.changed_graph = True
    elif kind == 2 and graph is not None:
        graph.remove_vertex(0)
        STATE.changed_graph = True
    elif kind == 3:
        kg.build_visibility_graph([3.0, 1.0, 2.0])
    elif kind == 4:
        kg.horizontal_window_motif_scores([1.0, 2.0, 1.0], 2, skip_adjacent=True)
    elif kind == 5:
        gc.collect(0)  # the youngest generation: cheap, and where fresh objects are
    elif kind == 6 and action % 5 == 0:
        exc = PANIC_TYPE("hostile panic")
        STATE.raised.append(exc)
        raise exc


class HostileFloat:
    def __init__(self, mode, payload, action):
        self.mode, self.payload, self.action = mode, payload, action

    def __float__(self):
        STATE.hostile_ran = True
        mode = self.mode % 7
        if mode == 0:
            return self.payload
        if mode == 1:
            return int(self.payload) if math.isfinite(self.payload) else 7  # not a float
        if mode == 2:
            hostile_raise(self.action)
        if mode == 3:
            reenter(self.action)
            return self.payload
        if mode == 4:
            return "1.5"
        if mode == 5:
            return FloatChild(self.payload)
        return None

    def __repr__(self):
        return f"HostileFloat({self.mode}, {self.payload!r}, {self.action})"


class FloatChild(float):
    pass


class IntChild(int):
    pass


class HostileIndex:
    def __init__(self, mode, payload, action):
        self.mode, self.payload, self.action = mode, payload, action

    def __index__(self):
        STATE.hostile_ran = True
        mode = self.mode % 6
        if mode == 0:
            return self.payload
        if mode == 1:
            hostile_raise(self.action)
        if mode == 2:
            reenter(self.action)
            return self.payload
        if mode == 3:
            return 2.5
        if mode == 4:
            return IntChild(self.payload)
        return None

    def __repr__(self):
        return f"HostileIndex({self.mode}, {self.payload!r}, {self.action})"


class HostileSequence:
    """A sequence whose __len__, __getitem__ and __iter__ misbehave on request."""

    def __init__(self, items, len_mode, len_value, iter_mode, action):
        self.items, self.len_mode, self.len_value = items, len_mode, len_value
        self.iter_mode, self.action = iter_mode, action

    def __len__(self):
        STATE.hostile_ran = True
        mode = self.len_mode % 6
        if mode == 0:
            return len(self.items)
        if mode == 1:
            value = self.len_value
        elif mode == 2:
            hostile_raise(self.action)
        elif mode == 3:
            reenter(self.action)
            return len(self.items)
        elif mode == 4:
            return "many"
        else:
            value = -1
        if isinstance(value, int) and value > STATE.largest_len:
            STATE.largest_len = value
        return value

    def __getitem__(self, index):
        STATE.hostile_ran = True
        if self.iter_mode % 5 == 4:
            hostile_raise(self.action)
        return self.items[index]

    def __iter__(self):
        STATE.hostile_ran = True
        mode = self.iter_mode % 5
        if mode == 0:
            return iter(self.items)
        if mode == 1:
            return self._raising_midway()
        if mode == 2:
            return 42  # not an iterator
        if mode == 3:
            return self._mutating()
        return iter(self.items)

    def _raising_midway(self):
        for k, item in enumerate(self.items):
            if k == len(self.items) // 2:
                hostile_raise(self.action)
            yield item
        hostile_raise(self.action)

    def _mutating(self):
        # The list changes under the iterator while items are handed out.
        for item in list(self.items):
            self.items.clear()
            gc.collect(0) if self.action % 11 == 0 else None
            yield item

    def __repr__(self):
        return (f"HostileSequence({self.items!r}, {self.len_mode}, {self.len_value!r}, "
                f"{self.iter_mode}, {self.action})")


class ListChild(list):
    """A list subclass whose iteration reenters the module."""

    def __iter__(self):
        STATE.hostile_ran = True
        reenter(len(self))
        return super().__iter__()


class OddKey(str):
    """A str subclass key with its own __str__, __eq__ and __hash__."""

    def __new__(cls, text, mode):
        self = super().__new__(cls, text)
        self.mode = mode
        return self

    def __str__(self):
        STATE.hostile_ran = True
        if self.mode % 3 == 0:
            hostile_raise(self.mode)
        if self.mode % 3 == 1:
            reenter(self.mode)
        return "odd"

    def __eq__(self, other):
        return self.mode % 2 == 0

    def __hash__(self):
        return self.mode


class NotAStr:
    def __init__(self, mode):
        self.mode = mode

    def __hash__(self):
        return self.mode

    def __eq__(self, other):
        return self is other


# ------------------------------------------------------------------------ values


def make_number(src):
    kind = src.below(12)
    if kind < 4:
        return float(src.below(8) - 2)
    if kind == 4:
        return src.below(8)
    if kind == 5:
        return src.raw_float()
    if kind == 6:
        return src.pick(SPECIAL_FLOATS)
    if kind == 7:
        return src.big_int()
    if kind == 8:
        return src.pick([True, False])
    if kind == 9:
        return (src.below(8) - 2) / 10
    if kind == 10:
        return HostileFloat(src.byte(), src.pick(SPECIAL_FLOATS + [1.0, 2.0]), src.byte())
    return make_value(src, 2)


def make_index(src, n):
    kind = src.below(10)
    if kind < 5:
        return src.below(n + 3)
    if kind == 5:
        return src.big_int()
    if kind == 6:
        return -1 - src.below(3)
    if kind == 7:
        return src.pick([True, False, 2 ** 64 - 1, 2 ** 64, 2 ** 63, IntChild(1)])
    if kind == 8:
        return HostileIndex(src.byte(), src.pick([0, 1, 2, -1, 2 ** 64, 2 ** 64 - 1, 10 ** 30]), src.byte())
    return make_value(src, 2)


def make_flag(src):
    kind = src.below(6)
    if kind < 4:
        return [None, True, False, True][kind]
    if kind == 4:
        return src.pick([0, 1, 1.0, "True", [], HostileIndex(0, 1, 0), IntChild(1)])
    return make_value(src, 2)


def make_series(src, depth=0):
    n = src.below(20) if not src.chance(8) else src.below(80)
    items = [make_number(src) if src.chance(6) else float(src.below(6)) for _ in range(n)]
    if src.chance(3):  # ties and plain small values, the common case
        items = [float(src.below(4)) for _ in range(n)]
    shape = src.below(16)
    if shape < 8:
        return items
    if shape == 8:
        return tuple(items)
    if shape == 9:
        return range(src.below(30) - 5)
    if shape == 10:
        return bytes(src.byte() for _ in range(src.below(12)))
    if shape == 11:
        return array.array("d", [x if isinstance(x, float) else 0.5 for x in items])
    if shape == 12:
        huge = src.pick([2 ** 62, sys.maxsize, CAPACITY_LIMIT, CAPACITY_LIMIT + 1, 2 ** 40, 2 ** 33,
                         2 ** 64, -5, 0, len(items) + 100])
        return HostileSequence(items, src.byte(), huge, src.byte(), src.byte())
    if shape == 13:
        return ListChild(items)
    if shape == 14:
        return [items, items[:1]] if items else [[]]
    if numpy is not None and src.chance(2):
        return make_ndarray(src, items)
    return make_value(src, depth + 1)


NUMPY_TYPES = ["<f8", ">f8", "<f4", "<f2", "<i8", "<i4", "<i2", "|i1", "<u8", "<u4", "|u1", "|b1",
               "<c16", "O"]


def make_ndarray(src, items):
    """An ndarray of the items: any dtype, sliced, reversed, strided, 2-D or broadcast."""
    numbers = [x if type(x) is float else float(src.below(5)) for x in items]
    dtype = src.pick(NUMPY_TYPES)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        array_ = numpy.array(numbers, dtype=numpy.float64).astype(dtype)
    view = src.below(7)
    if view == 1:
        array_ = array_[::-1]
    elif view == 2:
        array_ = array_[src.below(3)::1 + src.below(3)]
    elif view == 3 and len(array_) % 2 == 0:
        array_ = array_.reshape(-1, 2)
    elif view == 4:
        array_ = numpy.broadcast_to(array_[:1] if len(array_) else array_, (src.below(6),)) \
            if len(array_) else array_
    elif view == 5:
        array_ = numpy.frombuffer(bytes(src.byte() for _ in range(8 * src.below(6))), dtype="<f8")
    return array_


def make_point(src):
    kind = src.below(8)
    if kind < 5:
        return (make_number(src) if src.chance(4) else float(src.below(5)),
                make_number(src) if src.chance(4) else float(src.below(5)))
    if kind == 5:
        return tuple(float(src.below(3)) for _ in range(src.pick([0, 1, 3])))
    if kind == 6:
        return [float(src.below(3)), float(src.below(3))]
    return make_value(src, 2)


def make_segments(src):
    count = src.below(6)
    segments = [(make_point(src), make_point(src)) if not src.chance(8) else make_value(src, 2)
                for _ in range(count)]
    kind = src.below(6)
    if kind < 3:
        return segments
    if kind == 3:
        return tuple(segments)
    if kind == 4:
        huge = src.pick([2 ** 62, CAPACITY_LIMIT + 1, CAPACITY_LIMIT, 2 ** 35, -1])
        return HostileSequence(segments, src.byte(), huge, src.byte(), src.byte())
    return make_value(src, 2)


def make_value(src, depth=0):
    """Any object at all, nested up to a few levels."""
    kind = src.below(18)
    if kind == 0:
        return None
    if kind == 1:
        return src.pick([True, False])
    if kind == 2:
        return src.below(300) - 50
    if kind == 3:
        return src.big_int()
    if kind == 4:
        return src.raw_float()
    if kind == 5:
        return src.pick(SPECIAL_FLOATS)
    if kind == 6:
        return src.pick(TEXTS)
    if kind == 7:
        return bytes(src.byte() for _ in range(src.below(6)))
    if kind in (8, 9) and depth < 3:
        items = [make_value(src, depth + 1) for _ in range(src.below(5))]
        return items if kind == 8 else tuple(items)
    if kind == 10 and depth < 3:
        keys = [src.pick(TEXTS), src.below(5), None, src.pick(SPECIAL_FLOATS), b"k"]
        return {src.pick(keys): make_value(src, depth + 1) for _ in range(src.below(3))}
    if kind == 11:
        return HostileFloat(src.byte(), src.pick(SPECIAL_FLOATS), src.byte())
    if kind == 12:
        return HostileIndex(src.byte(), src.pick([0, 1, -1, 2 ** 64]), src.byte())
    if kind == 13 and depth < 3:
        return HostileSequence([make_value(src, depth + 1) for _ in range(src.below(4))], src.byte(),
                               src.pick([2 ** 62, CAPACITY_LIMIT + 1, 3]), src.byte(), src.byte())
    if kind == 14:
        return src.pick([object(), kg, kg.VisibilityGraph, print, Ellipsis, NotImplemented, 1j,
                         frozenset({1.0}), {1.0, 2.0}, iter([1.0, 2.0])])
    if kind == 15 and GRAPHS:
        return src.pick(GRAPHS)
    if kind == 16:
        return make_series(src, depth + 1) if depth < 3 else []
    return float(src.below(4))


def make_for(src, parameter, n):
    if src.chance(10):
        return make_value(src)
    if parameter == "time_series":
        return make_series(src)
    if parameter in ("i", "j", "v1", "v2", "index", "window_size"):
        return make_index(src, n)
    if parameter == "skip_adjacent":
        return make_flag(src)
    if parameter in ("p1", "p2"):
        return make_point(src)
    if parameter == "obstacles":
        return make_segments(src)
    if parameter in ("x", "y"):
        return make_number(src)
    if parameter == "missing":
        return src.pick(["omit", "keep", "raise", "Omit", None, 1])
    return make_value(src)


def make_key(src, name):
    kind = src.below(12)
    if kind < 9:
        return name
    if kind == 9:
        return OddKey(src.pick([name, "bogus", "\ud800"]), src.byte())
    if kind == 10:
        return src.pick([1, None, b"time_series", NotAStr(src.byte())])
    return src.pick(PARAMETERS + TEXTS)


# ------------------------------------------------------------------------ the surface

FUNCTIONS = {
    "build_visibility_graph": (["time_series", "skip_adjacent"], 1),
    "build_horizontal_visibility_graph": (["time_series", "skip_adjacent"], 1),
    "indices_are_visible": (["time_series", "i", "j"], 3),
    "indices_are_horizontally_visible": (["time_series", "i", "j"], 3),
    "subseries_between": (["time_series", "i", "j"], 3),
    "build_subgraph_between": (["time_series", "i", "j", "skip_adjacent"], 3),
    "build_horizontal_subgraph_between": (["time_series", "i", "j", "skip_adjacent"], 3),
    "segment_is_visible": (["p1", "p2", "obstacles"], 3),
    "horizontal_window_motif_scores": (["time_series", "window_size", "skip_adjacent"], 2),
    "visibility_degrees": (["time_series", "skip_adjacent"], 1),
    "horizontal_visibility_degrees": (["time_series", "skip_adjacent"], 1),
    "visibility_edge_array": (["time_series", "skip_adjacent"], 1),
    "horizontal_visibility_edge_array": (["time_series", "skip_adjacent"], 1),
    # The variant builders (no model: only crashes and unexpected exception types are
    # findings; tests/test_variants.py and the native target compare results).
    "build_graph": (["time_series", "kind", "x", "penetrable", "skip_adjacent", "exact", "missing"], 1),
    "graph_degrees": (["time_series", "kind", "x", "penetrable", "skip_adjacent", "exact", "missing"], 1),
    "graph_edge_array": (["time_series", "kind", "x", "penetrable", "skip_adjacent", "exact", "missing"], 1),
}
# Functions whose later parameters are keyword-only: how many may be given by position.
POSITIONAL_LIMIT = {"build_graph": 2, "graph_degrees": 2, "graph_edge_array": 2}
METHODS = {
    "add_vertex": (["x", "y"], 2),
    "add_edge": (["v1", "v2"], 2),
    "remove_vertex": (["index"], 1),
    "remove_edge": (["v1", "v2"], 2),
    "node_count": ([], 0),
    "edge_count": ([], 0),
    "vertices": None,
    "edges": None,
    "__new__": ([], 0),
    "edges_array": ([], 0),
    "vertices_array": ([], 0),
    "degrees_array": ([], 0),
}
# Edits are drawn most often; construction and the getters now and then.
METHOD_CHOICES = ["add_vertex"] * 3 + ["add_edge"] * 3 + ["remove_vertex"] * 2 + ["remove_edge"] * 2 + [
    "node_count", "edge_count", "vertices", "edges", "__new__", "edges_array", "vertices_array",
    "degrees_array", "array"]
CLASSES = [kg.VisibilityGraph, kg.HorizontalVisibilityGraph]
ALLOWED = (TypeError, ValueError, IndexError, OverflowError, MemoryError)
BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")

# Entries a build may lack (older ones have no array exports) are left out.
FUNCTIONS = {name: spec for name, spec in FUNCTIONS.items() if hasattr(kg, name)}
METHODS = {name: spec for name, spec in METHODS.items()
           if spec is None or name == "__new__" or hasattr(kg.VisibilityGraph, name)}
METHOD_CHOICES = [name for name in METHOD_CHOICES if name in METHODS or name == "array"]
GRAPH_ARRAY = getattr(kg, "GraphArray", None)
if GRAPH_ARRAY is None:
    METHOD_CHOICES.remove("array")
ARRAYS = []  # GraphArray results of the current input
missing_entries = set(kg.__all__) - set(FUNCTIONS) - {c.__name__ for c in CLASSES} - {"GraphArray"}
assert not missing_entries, f"entries the fuzzer does not know: {missing_entries}"


class Finding(AssertionError):
    pass


def bind(parameters, required, args, kwargs, positional=None):
    """The module's own binding rules; None when the call must fail with TypeError."""
    if len(args) > (len(parameters) if positional is None else positional):
        return None
    bound = dict(zip(parameters, args))
    for key, value in kwargs.items():
        if not isinstance(key, str):
            return None
        name = str.__getitem__(key, slice(None))
        if name not in parameters or name in bound:
            return None
        bound[name] = value
    if any(p not in bound for p in parameters[:required]):
        return None
    return bound


def invoke(function, *args, **kwargs):
    """Calls with sys.stderr captured: the module reports internal faults there."""
    saved, sys.stderr = sys.stderr, io.StringIO()
    STATE.stderr = sys.stderr
    try:
        return function(*args, **kwargs)
    finally:
        sys.stderr = saved


def check_stderr(exc, what):
    """A fault report on stderr must come with the PanicException it announces."""
    text = STATE.stderr.getvalue() if STATE.stderr is not None else ""
    reported = "internal fault" in text or "Python API call failed" in text
    if reported and (exc is None or type(exc) is not PANIC_TYPE):
        raise Finding(f"{what}: fault report without PanicException ({exc!r}):\n{text}")
    if "Python API call failed" in text:
        raise Finding(f"{what}: {text}")


def classify(exc, what):
    """Raises Finding unless `exc` is an allowed outcome of the call."""
    check_stderr(exc, what)
    if any(exc is raised for raised in STATE.raised):
        return
    if type(exc) is RuntimeError and any(exc.__cause__ is raised for raised in STATE.raised):
        return  # a hostile generator raised StopIteration; Python turned it into this
    if type(exc) in ALLOWED:
        return
    if type(exc) is RuntimeError and exc.args and exc.args[0] in BORROW_MESSAGES:
        return
    if type(exc) is PANIC_TYPE:
        if exc.args == ("capacity overflow",) and STATE.largest_len > CAPACITY_LIMIT:
            return
        if exc.args == ("hostile panic",) and any(type(r) is type(exc) for r in STATE.raised):
            return  # a panic raised by hostile code, carried through the call
    raise Finding(f"{what}: unexpected {type(exc).__module__}.{type(exc).__qualname__}: {exc!r}") from exc


# ------------------------------------------------------------ literal Python models


def bits(value):
    return struct.pack("<d", value)


def natural_visible(v, i, j):
    lo, hi = min(i, j), max(i, j)
    if i == j or hi >= len(v):
        return False
    y_lo, span = v[lo], float(hi - lo)
    rise = v[hi] - y_lo
    for d in range(1, hi - lo):
        if v[lo + d] >= (d / span) * rise + y_lo:
            return False
    return True


def horizontal_visible(v, i, j):
    lo, hi = min(i, j), max(i, j)
    if i == j or hi >= len(v):
        return False
    a, b = v[lo], v[hi]
    threshold = b if math.isnan(a) or b < a else a
    return all(not (v[k] >= threshold) for k in range(lo + 1, hi))


def model_graph(v, lo, hi, skip, test):
    vertices = [(float(k), v[k]) for k in range(lo, hi + 1)]
    edges = [(a - lo, b - lo) for a in range(lo, hi + 1) for b in range(a + 1, hi + 1)
             if not (skip and b == a + 1) and test(v, a, b)]
    return vertices, edges


def as_plain_series(value):
    """The doubles a plain series converts to, ("error", type) when the conversion must
    fail, or None when the value is not plain enough to predict."""
    if numpy is not None and type(value) is numpy.ndarray:
        if value.ndim != 1 or value.dtype.kind not in "fiub":
            return None
        return [float(x) for x in value]
    if type(value) not in (list, tuple, range, bytes, bytearray, array.array):
        return None
    if isinstance(value, array.array):
        return [float(x) for x in value]
    out = []
    for item in value:
        if type(item) is float:
            out.append(item)
        elif type(item) in (int, bool):
            try:
                out.append(float(item))
            except OverflowError:
                return ("error", OverflowError)
        else:
            return None
    return out


def as_plain_index(value):
    if type(value) not in (int, bool):
        return None
    if value < 0 or value >= 2 ** 64:
        return ("error", OverflowError)
    return int(value)


def as_plain_flag(value):
    if value is None or value is True or value is False:
        return bool(value)
    if type(value) in (int, float, str, list, tuple, bytes):
        return ("error", TypeError)
    return None


def expected_call(name, bound):
    """The outcome of a call with plain arguments: ("ok", result model) or ("error",
    type); None when some argument is not plain."""
    converted = {}
    order = {"time_series": as_plain_series, "i": as_plain_index, "j": as_plain_index,
             "window_size": as_plain_index, "skip_adjacent": as_plain_flag}
    for parameter in FUNCTIONS[name][0]:
        if parameter not in order:
            return None
        if parameter not in bound:
            converted[parameter] = False
            continue
        value = order[parameter](bound[parameter])
        if value is None:
            return None
        if isinstance(value, tuple) and value[0] == "error":
            return value
        converted[parameter] = value
    v = converted["time_series"]
    if len(v) > 24:  # the models are cubic
        return None
    skip = converted.get("skip_adjacent", False)
    if name in ("indices_are_visible", "indices_are_horizontally_visible"):
        test = natural_visible if name == "indices_are_visible" else horizontal_visible
        i, j = converted["i"], converted["j"]
        return ("ok", i < len(v) and j < len(v) and test(v, i, j))
    if name == "subseries_between":
        i, j = converted["i"], converted["j"]
        if i >= len(v) or j >= len(v):
            return ("error", IndexError)
        return ("ok", [bits(x) for x in v[min(i, j) + 1:max(i, j)]])
    if name in ("visibility_degrees", "horizontal_visibility_degrees", "visibility_edge_array",
                "horizontal_visibility_edge_array"):
        test = horizontal_visible if name.startswith("horizontal") else natural_visible
        edges = model_graph(v, 0, len(v) - 1, skip, test)[1] if v else []
        if name.endswith("edge_array"):
            return ("ok", ("<i8", (len(edges), 2), [x for e in edges for x in e]))
        degrees = [0] * len(v)
        for a, b in edges:
            degrees[a] += 1
            degrees[b] += 1
        return ("ok", ("<i8", (len(v),), degrees))
    if name in ("build_visibility_graph", "build_horizontal_visibility_graph"):
        test = natural_visible if name == "build_visibility_graph" else horizontal_visible
        if not v:
            return ("ok", ([], []))
        return ("ok", model_graph(v, 0, len(v) - 1, skip, test))
    if name in ("build_subgraph_between", "build_horizontal_subgraph_between"):
        test = natural_visible if name == "build_subgraph_between" else horizontal_visible
        i, j = converted["i"], converted["j"]
        if i >= len(v) or j >= len(v):
            return ("error", IndexError)
        return ("ok", model_graph(v, min(i, j), max(i, j), skip, test))
    if name == "horizontal_window_motif_scores":
        w = converted["window_size"]
        if w == 0 or w > len(v):
            return ("error", ValueError)
        scores = []
        for s in range(len(v) - w + 1):
            pairs = sum(1 for a in range(s, s + w) for b in range(a + 1, s + w)
                        if not (skip and b == a + 1) and horizontal_visible(v, a, b))
            scores.append(pairs - (w - 1))
        return ("ok", scores)
    return None


def array_contents(value, what):
    """(typestr, shape, elements, the array) of a GraphArray, every view of it checked
    against the others."""
    if type(value) is not GRAPH_ARRAY:
        raise Finding(f"{what}: returned {value!r}, not a GraphArray")
    typestr, shape = value.typestr, value.shape
    if typestr not in ("<i8", "<f8") or type(shape) is not tuple or not 1 <= len(shape) <= 2:
        raise Finding(f"{what}: typestr {typestr!r} shape {shape!r}")
    raw = value.tobytes()
    count = shape[0] * (shape[1] if len(shape) == 2 else 1)
    if len(raw) != 8 * count or len(value) != shape[0]:
        raise Finding(f"{what}: {len(raw)} bytes and len {len(value)} for shape {shape!r}")
    interface = value.__array_interface__
    if (interface.get("shape") != shape or interface.get("typestr") != typestr or
            interface.get("version") != 3 or type(interface.get("data")) is not tuple):
        raise Finding(f"{what}: __array_interface__ {interface!r}")
    if repr(value) != f"GraphArray(shape={shape!r}, typestr={typestr!r})":
        raise Finding(f"{what}: repr {value!r}")
    if numpy is not None:
        view = numpy.asarray(value)
        if view.shape != shape or view.tobytes() != raw:
            raise Finding(f"{what}: numpy sees {view!r}")
    if typestr == "<i8":
        elements = list(struct.unpack(f"<{count}q", raw))
    else:
        elements = [raw[k:k + 8] for k in range(0, len(raw), 8)]
    return typestr, shape, elements, value


def graph_snapshot(graph):
    return [bits(x) + bits(y) for x, y in graph.vertices], list(graph.edges)


def check_graph_shape(graph, cls, what):
    if type(graph) is not cls:
        raise Finding(f"{what}: returned {type(graph)!r}, expected {cls!r}")
    vertices, edges = graph.vertices, graph.edges
    if graph.node_count() != len(vertices) or graph.edge_count() != len(edges):
        raise Finding(f"{what}: counts disagree with the lists")
    if not all(type(v) is tuple and len(v) == 2 and type(v[0]) is float and type(v[1]) is float
               for v in vertices):
        raise Finding(f"{what}: a vertex is not a pair of floats")
    for k, e in enumerate(edges):
        if not (type(e) is tuple and len(e) == 2 and type(e[0]) is int and type(e[1]) is int
                and 0 <= e[0] < e[1] < len(vertices)):
            raise Finding(f"{what}: bad edge {e!r} among {len(vertices)} vertices")
    if len(set(edges)) != len(edges):
        raise Finding(f"{what}: duplicate edges")


def check_result(name, result, expected, bound):
    if name in ("indices_are_visible", "indices_are_horizontally_visible", "segment_is_visible"):
        if type(result) is not bool:
            raise Finding(f"{name}: returned {result!r}")
    elif name == "subseries_between":
        if type(result) is not list or not all(type(x) is float for x in result):
            raise Finding(f"{name}: returned {result!r}")
        result = [bits(x) for x in result]
    elif name == "horizontal_window_motif_scores":
        if type(result) is not list or not all(type(x) is int for x in result):
            raise Finding(f"{name}: returned {result!r}")
    elif name.endswith("degrees") or name.endswith("edge_array"):
        result = array_contents(result, name)
        ARRAYS.append(result[3])
        result = result[:3]
    else:
        horizontal = "horizontal" in name
        check_graph_shape(result, CLASSES[horizontal], name)
        result = ([(bits(x), bits(y)) for x, y in result.vertices], result.edges)
        if expected is not None:
            expected = ("ok", ([(bits(x), bits(y)) for x, y in expected[1][0]], expected[1][1]))
    if expected is not None:
        if expected[0] != "ok":
            raise Finding(f"{name}: returned {result!r}, expected {expected[1].__name__}")
        if result != expected[1]:
            raise Finding(f"{name}({bound!r}): returned {result!r}, expected {expected[1]!r}")


# ------------------------------------------------------------------------ the calls


def call_function(src, n_hint):
    name = src.pick(sorted(FUNCTIONS))
    parameters, required = FUNCTIONS[name]
    args, kwargs = make_arguments(src, parameters, n_hint, required)
    function = getattr(kg, name)
    bound = bind(parameters, required, args, kwargs, POSITIONAL_LIMIT.get(name))
    expected = expected_call(name, bound) if bound is not None else ("error", TypeError)
    plain_objects = [a for a in list(args) + list(kwargs.values()) if type(a) in (list, tuple) and a]
    counts = [sys.getrefcount(a) for a in plain_objects]
    STATE.reset()
    try:
        result = invoke(function, *args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - every outcome is classified
        classify(exc, name)
        if expected is not None and expected[0] == "error" and not STATE.hostile_ran:
            if type(exc) is not expected[1]:
                raise Finding(f"{name}: raised {exc!r}, expected {expected[1].__name__}") from exc
        elif expected is not None and expected[0] == "ok" and not STATE.hostile_ran:
            raise Finding(f"{name}({bound!r}): raised {exc!r}, expected a result") from exc
        return
    check_stderr(None, name)
    if bound is None:
        raise Finding(f"{name}: accepted a malformed call args={args!r} kwargs={kwargs!r}")
    check_result(name, result, expected if not STATE.hostile_ran else None, bound)
    if not STATE.hostile_ran and [sys.getrefcount(a) for a in plain_objects] != counts:
        raise Finding(f"{name}: reference counts of its arguments changed")


def make_arguments(src, parameters, n_hint, required):
    """Mostly well-formed calls (positional first, the rest by keyword in any order,
    optional ones sometimes left out); otherwise any count, any keys."""
    names = list(parameters)
    if src.below(3):
        positional = src.below(len(names) + 1)
        args = tuple(make_for(src, name, n_hint) for name in names[:positional])
        rest = names[positional:]
        if src.chance(2):
            rest = rest[::-1]
        kwargs = {name: make_for(src, name, n_hint) for name in rest
                  if names.index(name) < required or src.below(3)}
        return args, kwargs
    positional = src.below(len(names) + 2)
    args = []
    for k in range(positional):
        args.append(make_for(src, names[k] if k < len(names) else "extra", n_hint))
    kwargs = {}
    for name in names[positional:]:
        if not src.chance(6):
            kwargs[make_key(src, name)] = make_for(src, name, n_hint)
    if src.chance(6):
        kwargs[make_key(src, src.pick(PARAMETERS))] = make_value(src)
    return tuple(args), kwargs


def model_edit(method, vertices, edges, bound):
    """The plain model of one graph edit: (outcome, new vertices, new edges) or None."""
    values = {}
    for parameter in METHODS[method][0]:  # converted in parameter order
        value = bound[parameter]
        if parameter in ("x", "y"):
            if type(value) not in (float, int, bool):
                return None
            try:
                values[parameter] = float(value)
            except OverflowError:
                return ("error", OverflowError), vertices, edges
        else:
            index = as_plain_index(value)
            if index is None:
                return None
            if isinstance(index, tuple):
                return index, vertices, edges
            values[parameter] = index
    n = len(vertices)
    if method == "add_vertex":
        return ("ok", n), vertices + [bits(values["x"]) + bits(values["y"])], edges
    if method == "add_edge":
        a, b = values["v1"], values["v2"]
        if a >= n or b >= n:
            return ("error", IndexError), vertices, edges
        edge = (min(a, b), max(a, b))
        if a == b or edge in edges:
            return ("ok", None), vertices, edges
        return ("ok", None), vertices, edges + [edge]
    if method == "remove_vertex":
        k = values["index"]
        if k >= n:
            return ("error", IndexError), vertices, edges
        kept = [(a - (a > k), b - (b > k)) for a, b in edges if k not in (a, b)]
        return ("ok", None), vertices[:k] + vertices[k + 1:], kept
    if method == "remove_edge":
        a, b = values["v1"], values["v2"]
        edge = (min(a, b), max(a, b))
        if a == b or edge not in edges:
            return ("ok", False), vertices, edges
        return ("ok", True), vertices, [e for e in edges if e != edge]
    if method in ("node_count", "edge_count"):
        return ("ok", n if method == "node_count" else len(edges)), vertices, edges
    return None


def call_method(src, n_hint):
    if not GRAPHS:
        return
    graph = src.pick(GRAPHS)
    method = src.pick(METHOD_CHOICES)
    cls = type(graph)
    if method in ("edges_array", "vertices_array", "degrees_array") and src.below(4):
        STATE.reset()
        try:
            value = invoke(getattr(graph, method))
        except BaseException as exc:  # noqa: BLE001
            classify(exc, method)
            return
        check_stderr(None, method)
        typestr, shape, elements, value = array_contents(value, method)
        ARRAYS.append(value)
        vertices, edges = graph_snapshot(graph)
        if method == "edges_array":
            expected = ("<i8", (len(edges), 2), [x for e in edges for x in e])
        elif method == "vertices_array":
            expected = ("<f8", (len(vertices), 2), [v[k:k + 8] for v in vertices for k in (0, 8)])
        else:
            degrees = [0] * len(vertices)
            for a, b in edges:
                degrees[a] += 1
                degrees[b] += 1
            expected = ("<i8", (len(vertices),), degrees)
        if (typestr, shape, elements) != expected:
            raise Finding(f"{method}: {(typestr, shape, elements)!r}, expected {expected!r}")
        return
    if method == "array":
        call_array_method(src)
        return
    if method in ("vertices", "edges"):
        STATE.reset()
        try:
            value = invoke(getattr, graph, method)
        except BaseException as exc:  # noqa: BLE001
            classify(exc, method)
            return
        if type(value) is not list:
            raise Finding(f"{method}: returned {value!r}")
        return
    if method == "__new__":
        args, kwargs = make_arguments(src, [], n_hint, 0) if src.chance(2) else ((), {})
        target = src.pick(CLASSES + [object, int])
        STATE.reset()
        try:
            made = invoke(cls.__new__, target, *args, **kwargs)
        except BaseException as exc:  # noqa: BLE001
            classify(exc, "__new__")
            return
        if target is not cls or args or kwargs:
            raise Finding(f"__new__: accepted {target!r} {args!r} {kwargs!r}")
        GRAPHS.append(made)
        return
    parameters, required = METHODS[method]
    args, kwargs = make_arguments(src, parameters, n_hint, required)
    # Sometimes through the class, with another graph or some other object as self.
    unbound = src.chance(6)
    receiver = src.pick(GRAPHS + [None, 1.5, kg]) if unbound else graph
    wrong_self = type(receiver) is not cls
    if not wrong_self:
        graph = receiver
    before = graph_snapshot(graph)
    bound = bind(parameters, required, args, kwargs)
    expected = None
    if bound is not None and not wrong_self:
        expected = model_edit(method, before[0], before[1], bound)
    STATE.reset()
    try:
        if unbound:
            result = invoke(getattr(cls, method), receiver, *args, **kwargs)
        else:
            result = invoke(getattr(graph, method), *args, **kwargs)
    except BaseException as exc:  # noqa: BLE001
        classify(exc, f"{cls.__name__}.{method}")
        if not STATE.changed_graph and graph_snapshot(graph) != before:
            raise Finding(f"{cls.__name__}.{method}: failed ({exc!r}) but changed the graph") from exc
        if expected is not None and not STATE.hostile_ran:
            if expected[0][0] != "error" or type(exc) is not expected[0][1]:
                raise Finding(f"{cls.__name__}.{method}{args!r}{kwargs!r}: raised {exc!r}, "
                              f"expected {expected[0]!r}") from exc
        return
    check_stderr(None, method)
    if bound is None or wrong_self:
        raise Finding(f"{cls.__name__}.{method}: accepted {receiver!r} {args!r} {kwargs!r}")
    check_graph_shape(graph, cls, f"{cls.__name__}.{method}")
    if expected is not None and not STATE.hostile_ran:
        outcome, vertices, edges = expected
        if outcome != ("ok", result) or graph_snapshot(graph) != (vertices, edges):
            raise Finding(f"{cls.__name__}.{method}{args!r}{kwargs!r}: returned {result!r}, "
                          f"graph {graph_snapshot(graph)!r}, expected {outcome!r} {[vertices, edges]!r}")


def call_array_method(src):
    """GraphArray's own surface: construction (always refused), its getters and
    methods, and its unbound methods on other objects."""
    target = src.pick(ARRAYS) if ARRAYS and src.below(4) else src.pick([None, 1, GRAPHS[0], kg])
    what = src.pick(["__new__", "tobytes", "shape", "typestr", "__array_interface__", "__len__",
                     "__repr__"])
    args, kwargs = make_arguments(src, [], 3, 0) if src.chance(3) else ((), {})
    if what in ("shape", "typestr", "__array_interface__"):
        args, kwargs = (), {}  # read through the descriptor: no arguments to give
    STATE.reset()
    try:
        if what == "__new__":
            invoke(GRAPH_ARRAY, *args, **kwargs)
            raise Finding("GraphArray() made an instance")
        if what in ("shape", "typestr", "__array_interface__"):
            invoke(getattr(GRAPH_ARRAY, what).__get__, target)
        else:
            invoke(getattr(GRAPH_ARRAY, what), target, *args, **kwargs)
    except Finding:
        raise
    except BaseException as exc:  # noqa: BLE001
        classify(exc, f"GraphArray.{what}")
        return
    check_stderr(None, what)
    if type(target) is not GRAPH_ARRAY or args or kwargs:
        raise Finding(f"GraphArray.{what} accepted {target!r} {args!r} {kwargs!r}")


def start_graphs(src):
    GRAPHS.clear()
    ARRAYS.clear()
    for _ in range(1 + src.below(2)):
        kind = src.below(4)
        if kind == 0:
            GRAPHS.append(kg.VisibilityGraph())
        elif kind == 1:
            GRAPHS.append(kg.HorizontalVisibilityGraph())
        else:
            series = [float(src.below(5)) for _ in range(src.below(10))]
            builder = kg.build_visibility_graph if kind == 2 else kg.build_horizontal_visibility_graph
            GRAPHS.append(builder(series, skip_adjacent=src.chance(2)))


TEXT_TOKENS = [b"0", b"1", b"7", b"9", b"00", b"123456789", b".", b",", b"e", b"E", b"+", b"-", b"_",
               b"inf", b"Infinity", b"nan", b"NA", b"n/a", b"null", b" ", b"\t", b";", b"\n", b"\r\n",
               b"\r", b"#", b'"', b"e-400", b"e400", b"\xc3\xa9", b"\x00"]


def read_text(src):
    """The module's text reader on a text of number-like tokens: never a crash, only
    MemoryError raised; what it reads in one column is what float() reads, with the places
    decimal_places counts, and what float() reads in every cell it does not refuse."""
    from kestrel_grid_tools._io import decimal_places  # the tools' own place counter

    text = b"".join(src.pick(TEXT_TOKENS) if src.below(8) else bytes([src.byte()])
                    for _ in range(src.below(40)))
    width = 1 + src.below(3)
    mark = src.pick([".", ","])
    columns = [src.below(width) for _ in range(src.below(width + 1))]
    try:
        read = invoke(kg._read_columns, text, width, ";", mark, columns)
    except MemoryError:
        return
    check_stderr(None, "_read_columns")
    lines = text.split(b"\n")
    if lines[-1] == b"":
        lines.pop()
    cells = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    readable = width == 1 and columns and all(not c.strip(b" \t") or is_number(c, mark) for c in cells)
    if readable and read is None:
        raise Finding(f"_read_columns refused {text!r} (decimal {mark!r})")
    if read is None or width != 1 or not columns:
        return
    texts = [c.decode().strip(" \t").translate({44: 46, 46: 44} if mark == "," else {}) for c in cells]
    missing = {"", "na", "n/a", "nan", "null"}
    values = [math.nan if t.casefold() in missing else float(t) for t in texts]
    places = decimal_places([t for t in texts if t.casefold() not in missing])
    for array, count in zip(*read):
        packed = array.tobytes()
        if packed != struct.pack(f"<{len(values)}d", *values) or count != places:
            raise Finding(f"_read_columns({text!r}, decimal {mark!r}) gave {list(array)}, {count}")


def is_number(cell, mark):
    """Whether float() reads the ASCII cell (marks swapped for a decimal comma), or it is a
    missing-sample marker."""
    if not cell.isascii() or any(b in cell for b in b"\x0b\x0c\r\x1c\x1d\x1e\x1f"):
        return False
    text = cell.decode().strip(" \t").translate({44: 46, 46: 44} if mark == "," else {})
    if text.casefold() in ("na", "n/a", "nan", "null"):
        return True
    try:
        float(text)
    except ValueError:
        return False
    return True


def test_one_input(data):
    src = Source(data)
    start_graphs(src)
    for _ in range(1 + src.below(8)):
        if src.at >= len(data):
            break
        n_hint = src.below(12)
        if src.chance(6):
            read_text(src)
        elif src.chance(2):
            call_function(src, n_hint)
        else:
            call_method(src, n_hint)
    GRAPHS.clear()
    ARRAYS.clear()


# ------------------------------------------------------------------------ drivers


def parse_flags(argv):
    flags, files = {}, []
    for arg in argv:
        if arg.startswith("-") and "=" in arg:
            key, value = arg.lstrip("-").split("=", 1)
            flags[key] = value
        elif not arg.startswith("-"):
            files.append(arg)
    return flags, files


def read_inputs(paths):
    out = []
    for path in paths:
        if os.path.isdir(path):
            out += [os.path.join(path, f) for f in sorted(os.listdir(path))]
        else:
            out.append(path)
    return out


def mutate(rng, data, pool):
    data = bytearray(data)
    for _ in range(1 + rng.randrange(5)):
        op = rng.randrange(7)
        if op == 0 and data:
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        elif op == 1 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif op == 2:
            at = rng.randrange(len(data) + 1)
            data[at:at] = rng.randbytes(1 + rng.randrange(8))
        elif op == 3 and data:
            at = rng.randrange(len(data))
            del data[at:at + 1 + rng.randrange(8)]
        elif op == 4 and data:
            at = rng.randrange(len(data))
            data[at:at] = data[at:at + 1 + rng.randrange(16)]
        elif op == 5 and pool:
            other = rng.choice(pool)
            data = data[:rng.randrange(len(data) + 1)] + other[rng.randrange(len(other) + 1):]
        else:
            data = data[:rng.randrange(len(data) + 1)]
    return bytes(data[:1024])


def random_driver(argv):
    flags, paths = parse_flags(argv)
    files = read_inputs(paths)
    runs = int(flags.get("runs", -1))
    budget = float(flags.get("max_total_time", -1))
    prefix = flags.get("artifact_prefix", "./")
    if runs < 0 and budget < 0 and files:
        for path in files:
            with open(path, "rb") as f:
                print(f"Running: {path}", file=sys.stderr)
                test_one_input(f.read())
        print(f"Executed {len(files)} inputs", file=sys.stderr)
        return
    if runs < 0 and budget < 0:
        runs = 100_000
    rng = random.Random(int(flags.get("seed", 1)))
    pool = []
    for path in files:
        with open(path, "rb") as f:
            pool.append(f.read())
    seeds = len(pool)
    print(f"random driver: seed {flags.get('seed', 1)}, {seeds} corpus inputs", file=sys.stderr)
    start, done, report = time.monotonic(), 0, 10.0
    while (runs < 0 or done < runs) and (budget < 0 or time.monotonic() - start < budget):
        if not pool or rng.randrange(8) == 0:
            data = rng.randbytes(rng.randrange(1, 400))
        else:
            data = mutate(rng, rng.choice(pool), pool)
        try:
            test_one_input(data)
        except BaseException:
            name = f"{prefix}crash-{data.hex()[:32]}"
            with open(name, "wb") as f:
                f.write(data)
            print(f"\n==== finding; input written to {name}\ninput hex: {data.hex()}", file=sys.stderr)
            raise
        done += 1
        if rng.randrange(32) == 0:
            if len(pool) < seeds + 1024:
                pool.append(data)
            else:
                pool[seeds + rng.randrange(1024)] = data
        elapsed = time.monotonic() - start
        if elapsed >= report:
            print(f"#{done}\texecs: {done} in {elapsed:.0f} s, {done / elapsed:.0f}/s", file=sys.stderr)
            report *= 2
    print(f"Done {done} runs in {time.monotonic() - start:.0f} second(s)", file=sys.stderr)


def main():
    argv = sys.argv[1:]
    use_random = "--random" in argv
    argv = [a for a in argv if a != "--random"]
    if not use_random:
        try:
            import atheris
        except ImportError:
            print("atheris is not importable; using the random driver", file=sys.stderr)
            use_random = True
    if use_random:
        random_driver(argv)
        return
    # Coverage of this file's decoding and checking paths guides the search; the module
    # itself is native code, seen only through which of those paths its results take.
    # Only this file is instrumented: instrumenting numpy too takes minutes.
    for value in list(globals().values()):
        if getattr(value, "__module__", None) != __name__:
            continue
        if inspect.isfunction(value):
            atheris.instrument_func(value)
        elif inspect.isclass(value):
            for attribute in vars(value).values():
                if inspect.isfunction(attribute):
                    atheris.instrument_func(attribute)
    atheris.Setup([sys.argv[0]] + argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
