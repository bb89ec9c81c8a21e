"""Module start-up, argument binding, the call frame and argument conversions."""
import functools
import gc
import subprocess
import sys

import pytest

import kestrel_grid as kg

FUNCTIONS = {
    "build_visibility_graph": "(time_series, skip_adjacent=None)",
    "build_horizontal_visibility_graph": "(time_series, skip_adjacent=None)",
    "indices_are_visible": "(time_series, i, j)",
    "indices_are_horizontally_visible": "(time_series, i, j)",
    "subseries_between": "(time_series, i, j)",
    "build_subgraph_between": "(time_series, i, j, skip_adjacent=None)",
    "build_horizontal_subgraph_between": "(time_series, i, j, skip_adjacent=None)",
    "segment_is_visible": "(p1, p2, obstacles)",
    "horizontal_window_motif_scores": "(time_series, window_size, skip_adjacent=None)",
}
PANIC_DOC = (
    "\nThe exception raised when Vantrel code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
BV, SB, IV, SEG = (kg.build_visibility_graph, kg.subseries_between,
                   kg.indices_are_visible, kg.segment_is_visible)
HWMS = kg.horizontal_window_motif_scores
OK_PT = (0.0, 0.0)


class Items:
    """Item access only: `__len__` reports `hint`, iteration yields `count` items."""
    def __init__(self, count=5, hint=2, make=float):
        self.count, self.hint, self.make = count, hint, make

    def __len__(self):
        if isinstance(self.hint, BaseException):
            raise self.hint
        return self.hint

    def __getitem__(self, k):
        if k >= self.count:
            raise IndexError(k)
        return self.make(k)


class Raises:
    """Raises `exc` from every protocol a conversion may call."""
    def __init__(self, exc):
        self.exc = exc

    def _raise(self, *_):
        raise self.exc

    __float__ = __index__ = __iter__ = __getitem__ = __str__ = _raise


class Outer:
    class Inner:
        pass


StrSub = type("StrSub", (str,), {})
MinusOne = type("MinusOne", (), {"__float__": lambda self: -1.0})
TupleSub = type("TupleSub", (tuple,), {})
MyTypeError = type("MyTypeError", (TypeError,), {})


ADDED_NAMES = ["GraphArray", "visibility_degrees", "horizontal_visibility_degrees",
               "visibility_edge_array", "horizontal_visibility_edge_array",
               "build_graph", "graph_degrees", "graph_edge_array"]


def test_module_registers_eleven_names_in_order_then_the_added_ones_and_no_panic_type():
    assert kg.__all__ == ["VisibilityGraph", "HorizontalVisibilityGraph", *FUNCTIONS, *ADDED_NAMES]
    assert kg.__doc__ == ""
    assert [kg.VisibilityGraph.__module__, kg.HorizontalVisibilityGraph.__module__] == ["builtins"] * 2
    assert not hasattr(kg, "PanicException")


@pytest.mark.parametrize("name,signature", FUNCTIONS.items())
def test_function_metadata(name, signature):
    fn = getattr(kg, name)
    assert (fn.__name__, fn.__text_signature__, fn.__doc__, fn.__module__) == (
        name, signature, None, "kestrel_grid")


@pytest.mark.parametrize("call,message", [
    (lambda: BV(), "build_visibility_graph() missing 1 required positional argument: 'time_series'"),
    (lambda: IV([1.0]), "indices_are_visible() missing 2 required positional arguments: 'i' and 'j'"),
    (lambda: IV(), "indices_are_visible() missing 3 required positional arguments: 'time_series', 'i', and 'j'"),
    (lambda: IV(j=1), "indices_are_visible() missing 2 required positional arguments: 'time_series' and 'i'"),
    (lambda: HWMS(skip_adjacent=True), "horizontal_window_motif_scores() missing 2 required positional arguments: 'time_series' and 'window_size'"),
    (lambda: IV("abc", 0), "indices_are_visible() missing 1 required positional argument: 'j'"),
    (lambda: BV([1.0], True, 3), "build_visibility_graph() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: IV(1, 2, 3, 4, bogus=5), "indices_are_visible() takes 3 positional arguments but 4 were given"),
    (lambda: kg.VisibilityGraph(1), "VisibilityGraph.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: kg.VisibilityGraph(size=1), "VisibilityGraph.__new__() got an unexpected keyword argument 'size'"),
    (lambda: kg.VisibilityGraph().remove_vertex(0, 1), "VisibilityGraph.remove_vertex() takes 1 positional arguments but 2 were given"),
    (lambda: kg.HorizontalVisibilityGraph().add_vertex(1.0), "HorizontalVisibilityGraph.add_vertex() missing 1 required positional argument: 'y'"),
    (lambda: BV([1.0], time_series=[2.0]), "build_visibility_graph() got multiple values for argument 'time_series'"),
    (lambda: BV(skip_adjacent=None, time_series=[1.0], **{"skip_adjacent ": 1}), "build_visibility_graph() got an unexpected keyword argument 'skip_adjacent '"),
    (lambda: BV([1.0], skip=True), "build_visibility_graph() got an unexpected keyword argument 'skip'"),
    (lambda: BV([1.0], **{"\ud800": 1}), "build_visibility_graph() got an unexpected keyword argument '\ud800'"),
])
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert type(excinfo.value) is TypeError and str(excinfo.value) == message


@pytest.mark.parametrize("call,result", [
    (lambda: IV(j=2, i=1, time_series=[1.0, 2.0, 3.0]), True),
    (lambda: SB([1.0, 2.0, 3.0], j=0, i=2), [2.0]),
    (lambda: kg.VisibilityGraph().add_vertex(y=2.0, x=1.0), 0),
    (lambda: SB([1.0, 2.0, 3.0, 4.0], True, 3), [3.0]),
    (lambda: SB([1.0, 2.0, 3.0, 4.0], False, 3), [2.0, 3.0]),
    (lambda: IV([1.0, 2.0], 0, 2**64 - 1), False),
    (lambda: kg.build_horizontal_visibility_graph([1, 0, 1]).edges, [(0, 1), (0, 2), (1, 2)]),
    (lambda: kg.build_horizontal_visibility_graph([1, 0, 1], None).edges, [(0, 1), (0, 2), (1, 2)]),
    (lambda: kg.build_horizontal_visibility_graph([1, 0, 1], False).edges, [(0, 1), (0, 2), (1, 2)]),
    (lambda: kg.build_horizontal_visibility_graph([1, 0, 1], True).edges, [(0, 2)]),
    (lambda: SEG(OK_PT, (2.0, 0.0), [((1, -1), (1, 1))]), False),
    (lambda: SEG(TupleSub((0, 0)), (2, 0), (((5, 5), (6, 6)),)), True),
    (lambda: SEG(OK_PT, (2.0, 0.0), Items(1, hint=0, make=lambda k: ((1, -1), (1, 1)))), False),
    (lambda: SEG(OK_PT, (1.0, 1.0), Items(0, hint=2**58 - 1)), True),
])
def test_arguments_accepted(call, result):
    assert call() == result


@pytest.mark.parametrize("key", [1, 2.5])
def test_non_str_keyword_key_is_refused(key):
    # The interpreter checks keyword keys at ordinary call sites; a partial's
    # stored keywords reach the function as they are.
    call = functools.partial(BV)
    call.__setstate__((BV, ([1.0],), {key: 2}, None))
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == f"'{type(key).__name__}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize("series,expected", [
    ([], []), ((), []), (range(0), []), (range(3), [0.0, 1.0, 2.0]),
    ((1, 2.5, True), [1.0, 2.5, 1.0]), (b"\x01\x02", [1.0, 2.0]),
    (bytearray(b"\x03"), [3.0]), (Items(3, hint=3), [0.0, 1.0, 2.0]),
    ([1.0, float("nan"), float("inf")], [1.0, float("nan"), float("inf")]),
    ([MinusOne(), -1.0, -1], [-1.0, -1.0, -1.0]),
    (Items(5, hint=2), [0.0, 1.0, 2.0, 3.0, 4.0]),
    (Items(2, hint=RuntimeError("no length")), [0.0, 1.0]),
    (Items(2, hint=2**59), [0.0, 1.0]),
    (Items(2, hint=2**60 - 1), [0.0, 1.0]),
])
def test_series_accepted(series, expected):
    got = [y for _, y in BV(series).vertices]  # the samples exactly as converted
    assert repr(got) == repr(expected) and all(type(v) is float for v in got)


@pytest.mark.parametrize("series,message", [
    ("abc", "Can't extract `str` to `Vec`"), (StrSub(""), "Can't extract `str` to `Vec`"),
    ({1: 2.0}, "'dict' object cannot be converted to 'Sequence'"),
    ({1.0}, "'set' object cannot be converted to 'Sequence'"),
    ((x for x in [1.0]), "'generator' object cannot be converted to 'Sequence'"),
    (iter([1.0]), "'list_iterator' object cannot be converted to 'Sequence'"),
    (Outer.Inner(), "'Outer.Inner' object cannot be converted to 'Sequence'"),
    ([1.0, "x"], "must be real number, not str"),
    (Raises(TypeError("no iterator")), "no iterator"),
])
def test_series_refused_with_prefixed_type_error(series, message):
    with pytest.raises(TypeError) as excinfo:
        BV(series)
    assert str(excinfo.value) == "argument 'time_series': " + message


def test_wrapped_type_error_keeps_cause_of_original():
    cause = KeyError("inner")
    err = TypeError("bad float")
    err.__cause__ = cause
    with pytest.raises(TypeError) as excinfo:
        BV([1.0, Raises(err)])
    assert excinfo.value is not err and excinfo.value.__cause__ is cause
    assert excinfo.value.__context__ is None
    assert str(excinfo.value) == "argument 'time_series': bad float"


@pytest.mark.parametrize("call", [
    lambda: BV(Items(hint=2**61)), lambda: BV(Items(hint=2**60)),
    lambda: SEG(OK_PT, OK_PT, Items(0, hint=2**58)),
])
def test_unreservable_length_hint_raises_panic(call):
    with pytest.raises(BaseException) as excinfo:
        call()
    exc = excinfo.value
    assert not isinstance(exc, Exception)
    assert (type(exc).__name__, type(exc).__module__, type(exc).__bases__) == (
        "PanicException", "quorvex_runtime", (BaseException,))
    assert type(exc).__doc__ == PANIC_DOC and exc.args == ("capacity overflow",)


@pytest.mark.parametrize("call,exc,message", [
    (lambda: IV([1.0, 2.0], -1, 0), OverflowError, "can't convert negative int to unsigned"),
    (lambda: IV([1.0, 2.0], 0, 2**64), OverflowError, "int too big to convert"),
    (lambda: IV([1.0, 2.0], 2.0, 0), TypeError, "argument 'i': 'float' object cannot be interpreted as an integer"),
    (lambda: IV([1.0, 2.0], 0, None), TypeError, "argument 'j': 'NoneType' object cannot be interpreted as an integer"),
    (lambda: HWMS([1.0], "1"), TypeError, "argument 'window_size': 'str' object cannot be interpreted as an integer"),
    (lambda: kg.VisibilityGraph().remove_vertex(1.5), TypeError, "argument 'index': 'float' object cannot be interpreted as an integer"),
    (lambda: kg.VisibilityGraph().add_vertex(0.0, "y"), TypeError, "argument 'y': must be real number, not str"),
    (lambda: BV([1.0], skip_adjacent=0), TypeError, "argument 'skip_adjacent': 'int' object cannot be converted to 'PyBool'"),
    (lambda: BV([1.0], Outer.Inner()), TypeError, "argument 'skip_adjacent': 'Outer.Inner' object cannot be converted to 'PyBool'"),
    (lambda: SEG([0.0, 1.0], OK_PT, []), TypeError, "argument 'p1': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: SEG(OK_PT, ("a", 0.0), []), TypeError, "argument 'p2': must be real number, not str"),
    (lambda: SEG((0.0,), OK_PT, []), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (lambda: SEG(OK_PT, (0.0, 0.0, 0.0), []), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda: SEG(OK_PT, OK_PT, [(0, 0, 1, 1)]), ValueError, "expected tuple of length 2, but got tuple of length 4"),
    (lambda: SEG(OK_PT, OK_PT, [((0, 0), (1, 1, 1))]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (lambda: SEG(OK_PT, OK_PT, [[(0, 0), (1, 1)]]), TypeError, "argument 'obstacles': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: SEG(OK_PT, OK_PT, [((0, 0), (1, "a"))]), TypeError, "argument 'obstacles': must be real number, not str"),
    (lambda: SEG(OK_PT, OK_PT, "ab"), TypeError, "argument 'obstacles': Can't extract `str` to `Vec`"),
    (lambda: SEG(OK_PT, OK_PT, {}), TypeError, "argument 'obstacles': 'dict' object cannot be converted to 'Sequence'"),
    # The first bad argument in parameter order wins, and argument errors
    # win over range checks made by the operation itself.
    (lambda: SB([], "x", 0), TypeError, "argument 'i': 'str' object cannot be interpreted as an integer"),
    (lambda: SB("ab", "x", "y"), TypeError, "argument 'time_series': Can't extract `str` to `Vec`"),
    (lambda: IV([1.0], -1, "x"), OverflowError, "can't convert negative int to unsigned"),
    (lambda: kg.build_subgraph_between([], 5, 6, 1), TypeError, "argument 'skip_adjacent': 'int' object cannot be converted to 'PyBool'"),
    (lambda: HWMS([], 0, 0), TypeError, "argument 'skip_adjacent': 'int' object cannot be converted to 'PyBool'"),
    (lambda: SEG([0.0], (0.0,), 5), TypeError, "argument 'p1': 'list' object cannot be converted to 'PyTuple'"),
    (lambda: SB([], 0, 5), IndexError, "index out of bounds"),
    # Errors other than TypeError itself reach the caller unchanged.
    (lambda: BV(Items(3, make=Raises(ValueError("bad item")).__getitem__)), ValueError, "bad item"),
    (lambda: BV(Raises(KeyError("no iterator"))), KeyError, "'no iterator'"),
    (lambda: BV([Raises(MyTypeError("subclass"))]), MyTypeError, "subclass"),
    (lambda: BV([2**1024]), OverflowError, "int too large to convert to float"),
])
def test_argument_refusals(call, exc, message):
    with pytest.raises(exc) as excinfo:
        call()
    assert type(excinfo.value) is exc and str(excinfo.value) == message


@pytest.mark.parametrize("payload,message", [
    (None, "capacity overflow"),
    ("custom text", "custom text"),
    (Raises(RuntimeError("no text")), "Unwrapped panic from Python code"),
])
def test_panic_raised_inside_a_conversion_is_resumed(capfd, payload, message):
    with pytest.raises(BaseException) as first:
        BV(Items(hint=2**61))
    panic_type = type(first.value)

    class Element:
        def __float__(self):
            if payload is None:
                BV(Items(hint=2**61))  # panics inside this nested module call
            raise panic_type(payload)

    capfd.readouterr()
    with pytest.raises(BaseException) as excinfo:
        BV([1.0, Element()])
    assert type(excinfo.value) is panic_type and excinfo.value.args == (message,)
    lines = capfd.readouterr().err.splitlines()
    start = lines.index("--- Quorvex is resuming a panic after fetching a PanicException from Python. ---")
    assert lines[start + 1] == "Python stack trace below:"


@pytest.mark.parametrize("reload", [
    "importlib.import_module('kestrel_grid')",
    "importlib.util.module_from_spec(importlib.util.find_spec('kestrel_grid'))",
])
def test_second_initialisation_is_refused(reload):
    # The first module object must stay usable after the refused attempt.
    script = ("import importlib, importlib.util, sys, kestrel_grid\n"
              "del sys.modules['kestrel_grid']\n"
              f"try:\n    {reload}\nexcept ImportError as e:\n    print(type(e).__name__, e)\n"
              "print(kestrel_grid.build_visibility_graph([1, 2]).edges)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == ["ImportError Quorvex modules compiled for CPython 3.8 or older "
                                       "may only be initialized once per interpreter process", "[(0, 1)]"]


def test_calls_release_every_argument_reference():
    element, ok_index, bad_index, cause, mark = 1.5e300, 10**19, 2**70, KeyError("c"), object()
    series, point, text = [element, element], (element, element), "not a series"
    obstacles = [(point, point)]
    index_obj = type("I", (), {"__index__": lambda self: ok_index})()
    too_big = type("I", (), {"__index__": lambda self: bad_index})()

    class Wrapped:
        def __float__(self):
            raise TypeError("wrapped") from cause

    calls = [
        lambda: BV(series, skip_adjacent=True), lambda: SB(series, 0, 1),
        lambda: BV(series, mark), lambda: IV(series, index_obj, 0),
        lambda: IV(series, too_big, 0), lambda: IV(series, mark, 0),
        lambda: BV(text), lambda: BV([element, Wrapped()]),
        lambda: SEG(point, point, obstacles), lambda: SEG(point, [element], obstacles),
        lambda: SEG(point, point, [mark]),
    ]
    tracked = [element, ok_index, bad_index, cause, mark, series, point, text, obstacles, index_obj]
    for call in calls:
        for repeats in (3, 1000):  # warm up, then measure
            gc.collect()
            before = [sys.getrefcount(obj) for obj in tracked]
            for _ in range(repeats):
                try:
                    call()
                except Exception:
                    pass
            gc.collect()
        assert [sys.getrefcount(obj) for obj in tracked] == before
