"""build_graph, graph_degrees and graph_edge_array: positions, penetrable visibility and the
exact natural rule, against small pure-Python models of each rule (a Fraction model for
the exact rule), plus argument checks with their exact messages, x_k = k against the
original builders bit for bit, and reference counts."""

import gc
import math
import struct
import sys
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kestrel_grid as kg
from models import exact_blocks, horizontal_blocks, model_edges, natural_blocks

NAMES = ["build_graph", "graph_degrees", "graph_edge_array"]
PROPERTY = settings(max_examples=250, deadline=None)
INF = math.inf
SPECIAL = st.sampled_from([math.nan, INF, -INF, -0.0, 0.0, 5e-324, 1.7976931348623157e308, 1.0, 2.0])
VALUES = st.one_of(st.floats(allow_nan=True, allow_infinity=True), SPECIAL,
                   st.integers(-3, 3).map(float), st.integers(0, 9).map(lambda k: k / 10))


def bits(values):
    return b"".join(struct.pack("=d", v) for v in values)


MISSING = ("time_series[{}] is missing (NaN): pass missing='omit' to leave missing samples "
           "out (the others keep their positions) or missing='keep' to build with NaN as a value")


def check_forms(v, x, model_v, model_x, **options):
    """The three entries called on (v, x) give the model's graph of (model_v, model_x)."""
    want = model_edges(model_v, model_x, **{k: o for k, o in options.items() if k != "missing"})
    g = kg.build_graph(v, x=x, **options)
    assert type(g) is (kg.HorizontalVisibilityGraph if options.get("kind") == "horizontal"
                       else kg.VisibilityGraph)
    assert g.edges == want
    xs = [float(k) for k in range(len(model_v))] if model_x is None else [float(p) for p in model_x]
    assert bits(p for vertex in g.vertices for p in vertex) == bits(
        p for pair in zip(xs, model_v) for p in pair)
    edge_array = kg.graph_edge_array(v, x=x, **options)
    assert edge_array.tobytes() == struct.pack(f"={2 * len(want)}q", *(i for e in want for i in e))
    degrees = [0] * len(model_v)
    for a, b in want:
        degrees[a] += 1
        degrees[b] += 1
    assert kg.graph_degrees(v, x=x, **options).tobytes() == struct.pack(f"={len(model_v)}q", *degrees)


def check_all_forms(v, x, **options):
    """Every entry under every missing-value policy: "keep" builds with NaN as a value,
    "omit" gives the graph of the other samples at their own positions, and "raise" (the
    default) refuses a series with NaN and otherwise equals "keep"."""
    check_forms(v, x, v, x, missing="keep", **options)
    missing = [k for k, value in enumerate(v) if math.isnan(value)]
    kept = [k for k in range(len(v)) if not math.isnan(v[k])]
    if missing:
        for name in NAMES:
            with pytest.raises(ValueError) as caught:
                getattr(kg, name)(v, x=x, **options)
            assert str(caught.value) == MISSING.format(missing[0])
        kept_x = [float(k) if x is None else x[k] for k in kept]
        check_forms(v, x, [v[k] for k in kept], kept_x, missing="omit", **options)
    else:
        check_forms(v, x, v, x, **options)
        check_forms(v, x, v, x, missing="omit", **options)


# --- positions ------------------------------------------------------------------------------

@st.composite
def series_and_positions(draw, max_size=18):
    v = draw(st.lists(VALUES, max_size=max_size))
    form = draw(st.sampled_from(["none", "integers", "decimals", "floats", "seconds",
                                 "nanoseconds", "subnormal", "wide"]))
    n = len(v)
    if form == "none":
        return v, None
    if form == "floats":
        x = sorted(set(draw(st.lists(st.floats(-1e6, 1e6), min_size=n, max_size=n, unique=True))))
        if len(x) < n:
            return v, None
        return v, x
    gaps = draw(st.lists(st.integers(1, 5), min_size=n, max_size=n))
    start, unit = {
        "integers": (draw(st.integers(-50, 50)), 1.0),
        "decimals": (0, 0.1),
        "seconds": (1.7e9, 60.0),
        "nanoseconds": (1.7e18, 256.0),
        "subnormal": (0, 5e-324),
        "wide": (-1e300, 3e299),
    }[form]
    x, at = [], 0
    for g in gaps:
        x.append(start + at * unit if form != "decimals" else round(at * 0.1, 10))
        at += g
    return v, x


@PROPERTY
@given(series_and_positions(), st.sampled_from(["natural", "horizontal"]), st.integers(0, 3),
       st.booleans(), st.booleans())
def test_every_form_equals_the_model(data, kind, penetrable, skip_adjacent, exact):
    v, x = data
    check_all_forms(v, x, kind=kind, penetrable=penetrable, skip_adjacent=skip_adjacent, exact=exact)


@PROPERTY
@given(st.lists(st.integers(-4, 4), max_size=16), st.lists(st.integers(1, 3), min_size=16, max_size=16),
       st.sampled_from([1.0, 0.1, 1 / 3, 1e-310]), st.integers(0, 2))
def test_exact_rule_decides_collinear_and_near_collinear_samples(steps, gaps, unit, penetrable):
    # Samples on lines through decimal and subnormal grids: the float line value wobbles
    # around them, the exact rule must not.
    x = [unit * sum(gaps[:k]) for k in range(len(steps))]
    v = [unit * sum(steps[:k + 1]) for k in range(len(steps))]
    if any(b <= a for a, b in zip(x, x[1:])):
        return
    check_all_forms(v, x, penetrable=penetrable, exact=True)


FINITE = st.one_of(st.floats(allow_nan=False, allow_infinity=False),
                   st.sampled_from([0.0, -0.0, 5e-324, -5e-324, 1.7976931348623157e308,
                                    -1.7976931348623157e308, 2.2250738585072014e-308]))


@settings(max_examples=1500, deadline=None)
@given(st.lists(FINITE, min_size=3, max_size=3, unique=True), st.tuples(FINITE, FINITE, FINITE))
def test_exact_rule_on_three_points_anywhere_in_the_double_range(x, v):
    # One sample between two ends: the edge (0, 2) exists exactly when the Fraction model
    # says the middle sample is strictly below the chord, whatever the magnitudes
    # (differences that overflow, subnormal gaps, mixed scales).
    x = sorted(x)
    v = list(v)
    if x[0] == x[1] or x[1] == x[2]:  # 0.0 and -0.0
        return
    edges = kg.build_graph(v, x=x, exact=True, missing="keep").edges
    assert ((0, 2) in edges) == (not exact_blocks(v, x, 0, 1, 2))


@settings(max_examples=800, deadline=None)
@given(st.integers(-300, 300), st.lists(st.floats(-1, 1), min_size=2, max_size=2),
       st.lists(st.floats(1e-3, 1), min_size=2, max_size=2), st.integers(-2, 2))
def test_exact_rule_on_points_a_few_units_off_a_chord_at_any_scale(exponent, ends, gaps, nudge):
    # The middle sample on the rounded chord, then moved by a few units in the last
    # place: the differences are inexact and the orientation is within rounding of zero.
    scale = 2.0 ** exponent
    xa = 0.37 * scale
    xk = xa + gaps[0] * scale
    xb = xk + gaps[1] * scale
    ya, yb = ends[0] * scale, ends[1] * scale
    if not xa < xk < xb:
        return
    yk = ya + (xk - xa) / (xb - xa) * (yb - ya)
    for _ in range(abs(nudge)):
        yk = math.nextafter(yk, math.copysign(INF, nudge))
    x, v = [xa, xk, xb], [ya, yk, yb]
    assert ((0, 2) in kg.build_graph(v, x=x, exact=True, missing="keep").edges) == (not exact_blocks(v, x, 0, 1, 2))


@PROPERTY
@given(st.lists(VALUES, max_size=40), st.booleans(), st.sampled_from(["list", "array", "int array"]))
def test_positions_k_give_the_original_builders_bit_for_bit(v, skip_adjacent, form):
    np = pytest.importorskip("numpy")
    x = {"list": [float(k) for k in range(len(v))], "array": np.arange(len(v), dtype=np.float64),
         "int array": np.arange(len(v))}[form]
    for kind, original in [("natural", kg.build_visibility_graph),
                           ("horizontal", kg.build_horizontal_visibility_graph)]:
        want = original(v, skip_adjacent=skip_adjacent)
        got = kg.build_graph(v, kind, x=x, skip_adjacent=skip_adjacent, missing="keep")
        assert got.edges == want.edges
        assert got.vertices_array().tobytes() == want.vertices_array().tobytes()
        assert kg.build_graph(v, kind, skip_adjacent=skip_adjacent, missing="keep").edges == want.edges


@pytest.mark.parametrize("positions", ["decimal grid", "epoch nanoseconds", "geometric", "tiny gaps"])
@pytest.mark.parametrize("values", ["line, ulps off", "walk", "decimal ramp"])
def test_float_rule_at_positions_with_near_ties_against_the_model(positions, values):
    # The float rule with no blockers takes its rows from the exact neighbour lists where
    # margin proofs allow; near ties (samples a few ulps off one line) they must not, and
    # the rows come from the scan: both against the literal model.
    import random
    rng = random.Random(positions + values)
    n = 90
    x = {"decimal grid": [0.1 * k for k in range(n)],
         "epoch nanoseconds": [1.7e18 + 256.0 * (2 * k + rng.randrange(0, 2)) for k in range(n)],
         "geometric": [1.05 ** k for k in range(n)],
         "tiny gaps": [k * 1e-300 for k in range(n)]}[positions]
    if values == "line, ulps off":
        v = [0.25 + 0.75 * (xk - x[0]) / (x[-1] - x[0]) for xk in x]
        v = [math.nextafter(y, rng.choice([-INF, INF])) if rng.random() < 0.5 else y for y in v]
    elif values == "walk":
        v = [0.0]
        for _ in range(n - 1):
            v.append(v[-1] + rng.gauss(0, 1))
    else:
        v = [0.1 * k for k in range(n)]
    for skip_adjacent in (False, True):
        check_forms(v, x, v, x, missing="keep", skip_adjacent=skip_adjacent)


def test_long_series_with_timestamps_and_limits_against_the_pair_model():
    # Longer than the property tests: every edge, and a sample of the other pairs, of the
    # fast builders against the literal blocker count.
    import random
    rng = random.Random(11)
    n = 300
    walk = [0.0]
    for _ in range(n - 1):
        walk.append(walk[-1] + rng.gauss(0, 1))
    x = [1.7e18 + 256.0 * (k * 3 + rng.randrange(0, 3)) for k in range(n)]
    for kind, exact, penetrable in [("natural", False, 0), ("natural", True, 2), ("natural", False, 3),
                                    ("horizontal", False, 2)]:
        blocks = {"horizontal": horizontal_blocks}.get(kind, exact_blocks if exact else natural_blocks)
        edges = set(kg.build_graph(walk, kind, x=x, penetrable=penetrable, exact=exact, missing="keep").edges)

        def visible(a, b):
            return sum(blocks(walk, x, a, k, b) for k in range(a + 1, b)) <= penetrable

        assert all(visible(a, b) for a, b in edges)
        pairs = {tuple(sorted(rng.sample(range(n), 2))) for _ in range(800)}
        assert all(visible(a, b) == ((a, b) in edges) for a, b in pairs)


def _smooth_with_specials():
    v = [math.sin(0.01 * k) for k in range(3000)]
    for k, special in ((40, math.nan), (700, math.inf), (701, -math.inf), (1500, math.nan), (2990, -math.inf)):
        v[k] = special
    return v


@pytest.mark.parametrize("v, x", [
    ([float(k * k) for k in range(2000)], None),                            # complete graph
    ([k * k - (k % 2) * 0.5 for k in range(2000)], None),                    # convex, odd samples lowered
    ([1.0] * 1000 + [float(k * k) for k in range(1500)], None),              # plateau, then complete
    ([math.sin(0.005 * k) for k in range(3000)], None),                      # rising and falling slopes
    (_smooth_with_specials(), None),
    ([math.sin(0.005 * k) for k in range(3000)], [k + 0.25 * (k % 3) for k in range(3000)]),
], ids=["convex", "lowered odd samples", "plateau then convex", "sin", "sin with specials",
        "sin at positions"])
def test_exact_degrees_of_dense_graphs_equal_the_edge_count(v, x):
    # Degrees of dense graphs come from runs of consecutive neighbours, never the edges.
    flat = kg.graph_edge_array(v, x=x, exact=True, missing="keep").tobytes()
    edges = struct.unpack(f"={len(flat) // 8}q", flat)
    assert len(edges) // 2 > 30 * len(v)
    degrees = [0] * len(v)
    for a, b in zip(edges[::2], edges[1::2]):
        degrees[a] += 1
        degrees[b] += 1
    found = kg.graph_degrees(v, x=x, exact=True, missing="keep")
    assert found.tobytes() == struct.pack(f"={len(v)}q", *degrees)
    skipped = [d - (0 < k < len(v) - 1) - 1 for k, d in enumerate(degrees)]
    found = kg.graph_degrees(v, x=x, exact=True, skip_adjacent=True, missing="keep")
    assert found.tobytes() == struct.pack(f"={len(v)}q", *skipped)


# y_5 - y_0 lies halfway between the largest double and 2^1024 and rounds to +inf, so the
# line value of (0, 5) is +inf at every sample between and nothing finite blocks it; the
# tiny gap after sample 0 makes the computed slope to sample 1 overflow as well.
TIE_LOW, TIE_MID, TIE_HIGH = (float.fromhex("-0x1.9ffffffffffffp+1022"),
                              float.fromhex("0x1.2000000000001p+1023"), float.fromhex("0x1.3p+1023"))
TIE_Y = [TIE_LOW, 0.0, 0.0, 0.0, TIE_MID, TIE_HIGH]
TIE_X = [0.0, 2.0 ** -100, 1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize("v, x", [
    (TIE_Y, TIE_X),
    (TIE_Y, TIE_X[:5] + [2.0 ** 40]),                                  # huge gap before the high end
    (TIE_Y, TIE_X[:5] + [3.0 + 2.0 ** -50]),                           # tiny gap before the high end
    ([math.nextafter(TIE_LOW, 0.0)] + TIE_Y[1:], TIE_X),               # the largest double: no overflow
    ([TIE_LOW, 0.0, 0.0, 0.5, TIE_MID, TIE_HIGH], [0.0, 2.0 ** -100, 2.0 ** -99, 2.0, 3.0, 4.0]),
    (TIE_Y[::-1], [-p for p in TIE_X[::-1]]),                          # mirrored: the rise is -inf
], ids=["tiny gap after the low end", "huge gap before the high end", "tiny gaps at both ends",
        "largest double", "two tiny gaps", "mirrored"])
@pytest.mark.parametrize("penetrable", [0, 1, 2])
def test_rises_overflowing_by_a_rounding_tie_match_the_model(v, x, penetrable):
    check_all_forms(v, x, penetrable=penetrable)
    if v is TIE_Y and x is TIE_X:
        assert (0, 5) in model_edges(v, x, penetrable=penetrable)


# --- arguments ------------------------------------------------------------------------------



@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("kwargs, error, message", [
    ({"x": [0.0, 1.0]}, ValueError, "x has 2 positions but the series has 3 samples"),
    ({"x": [0.0, 1.0, 2.0, 3.0]}, ValueError, "x has 4 positions but the series has 3 samples"),
    ({"x": [0.0, 1.0, 1.0]}, ValueError,
     "x must be strictly increasing: x[2] = 1.0 is not greater than x[1] = 1.0"),
    ({"x": [0.0, -0.0, 1.0]}, ValueError,
     "x must be strictly increasing: x[1] = -0.0 is not greater than x[0] = 0.0"),
    ({"x": [2.0, 1.0, math.nan]}, ValueError,
     "x must be strictly increasing: x[1] = 1.0 is not greater than x[0] = 2.0"),
    ({"x": [0.0, math.nan, 3.0]}, ValueError, "x must be finite: x[1] = nan"),
    ({"x": [-INF, 0.0, 1.0]}, ValueError, "x must be finite: x[0] = -inf"),
    ({"x": "abc"}, TypeError, "argument 'x': Can't extract `str` to `Vec`"),
    ({"x": [0, "a", 2]}, TypeError, "argument 'x': must be real number, not str"),
    ({"penetrable": -1}, ValueError, "penetrable must be >= 0, not -1"),
    ({"penetrable": -10**30}, ValueError, f"penetrable must be >= 0, not {-10**30}"),
    ({"penetrable": 1.0}, TypeError, "penetrable must be an int, not float"),
    ({"penetrable": True}, TypeError, "penetrable must be an int, not bool"),
    ({"penetrable": "2"}, TypeError, "penetrable must be an int, not str"),
    ({"penetrable": None}, TypeError, "penetrable must be an int, not NoneType"),
    ({"kind": "Natural"}, ValueError, "kind must be 'natural' or 'horizontal', not 'Natural'"),
    ({"kind": 0}, TypeError, "argument 'kind': 'int' object cannot be converted to 'PyString'"),
    ({"exact": 1}, TypeError, "argument 'exact': 'int' object cannot be converted to 'PyBool'"),
    ({"skip_adjacent": "yes"}, TypeError,
     "argument 'skip_adjacent': 'str' object cannot be converted to 'PyBool'"),
    ({"window": 3}, TypeError, "{name}() got an unexpected keyword argument 'window'"),
    ({"missing": "drop"}, ValueError, "missing must be 'raise', 'omit' or 'keep', not 'drop'"),
    ({"missing": None}, TypeError,
     "argument 'missing': 'NoneType' object cannot be converted to 'PyString'"),
])
def test_bad_arguments_raise_exact_messages(name, kwargs, error, message):
    with pytest.raises(error) as caught:
        getattr(kg, name)([1.0, 2.0, 3.0], **kwargs)
    assert str(caught.value) == message.format(name=name)


@pytest.mark.parametrize("name", NAMES)
def test_signature_positional_limits_and_accepted_forms(name):
    fn = getattr(kg, name)
    assert fn.__text_signature__ == (
        "(time_series, kind='natural', *, x=None, penetrable=0, skip_adjacent=False, exact=False, "
        "missing='raise', decimals=None, threads=None)")
    with pytest.raises(TypeError) as caught:
        fn([1.0], "natural", [0.0])
    assert str(caught.value) == f"{name}() takes from 1 to 2 positional arguments but 3 were given"
    with pytest.raises(TypeError) as caught:
        fn()
    assert str(caught.value) == f"{name}() missing 1 required positional argument: 'time_series'"
    # None means the defaults; exact=True with the horizontal rule changes nothing.
    v = [3.0, 1.0, 2.0, 2.0, 4.0]
    plain = fn(v, "horizontal")
    same = fn(v, kind="horizontal", x=None, penetrable=0, skip_adjacent=None, exact=True)
    as_bytes = (lambda r: r.edges) if name == "build_graph" else (lambda r: r.tobytes())
    assert as_bytes(plain) == as_bytes(same)
    # A huge limit means no limit: the complete graph.
    for limit in [2**62, 2**63 - 1, 2**64 + 5, 10**40]:
        for kind in ["natural", "horizontal"]:
            assert as_bytes(fn(v, kind, penetrable=limit, exact=True)) == as_bytes(fn(v, kind, penetrable=len(v)))
            assert as_bytes(fn(v, kind, penetrable=limit)) == as_bytes(fn(v, kind, penetrable=len(v)))


def test_numpy_integer_limits_and_array_positions_are_accepted():
    np = pytest.importorskip("numpy")
    v = np.random.default_rng(2).random(50)
    x = np.cumsum(np.random.default_rng(3).integers(1, 4, 50)).astype(np.float64)
    want = model_edges(v.tolist(), x.tolist(), penetrable=2)
    assert kg.build_graph(v, x=x, penetrable=np.int64(2)).edges == want
    assert kg.build_graph(v, x=x[::-1][::-1].copy(), penetrable=2).edges == want
    assert kg.build_graph(v, x=tuple(x.tolist()), penetrable=2).edges == want


def test_entries_leave_no_references_or_objects_behind():
    v = [0.5, 3.0, 1.0, math.nan, 2.0, 2.0, 4.0, -INF, 1.5] * 4
    x = [float(k) * 1.5 for k in range(len(v))]
    calls = [
        lambda: kg.build_graph(v, x=x, penetrable=2, exact=True, missing="keep"),
        lambda: kg.graph_degrees(v, "horizontal", x=x, penetrable=1, missing="omit"),
        lambda: kg.graph_edge_array(v, x=x, penetrable=3, missing="keep"),
        lambda: kg.graph_edge_array(v, x=x),
        lambda: kg.graph_edge_array(v, missing="drop"),
        lambda: kg.build_graph(v, x=x[:-1]),
        lambda: kg.graph_degrees(v, penetrable=-1),
        lambda: kg.graph_edge_array(v, kind="up"),
        lambda: kg.build_graph(v, penetrable=True),
    ]
    for call in calls:
        for _ in range(100):
            try:
                call()
            except (TypeError, ValueError):
                pass
        # A leak grows every batch by thousands; unrelated objects freed or made by
        # earlier tests' leftovers move single batches only, so the smallest of three
        # growths is taken.
        growths = []
        for _ in range(3):
            gc.collect()
            before = (len(gc.get_objects()), sys.getrefcount(v), sys.getrefcount(x))
            for _ in range(2000):
                try:
                    call()
                except (TypeError, ValueError):
                    pass
            gc.collect()
            after = (len(gc.get_objects()), sys.getrefcount(v), sys.getrefcount(x))
            assert after[1:] == before[1:]
            growths.append(after[0] - before[0])
        assert min(growths) <= 0, growths


@pytest.mark.serial("the other thread must be scheduled within the few milliseconds of a build")
def test_variant_builds_release_the_interpreter():
    np = pytest.importorskip("numpy")
    from test_arrays import _progress_during
    v = np.random.default_rng(5).random(200_000)
    x = np.cumsum(np.random.default_rng(6).random(200_000) + 0.5)
    for call in [lambda: kg.graph_degrees(v, x=x, penetrable=1),
                 lambda: kg.graph_edge_array(v, "horizontal", penetrable=2),
                 lambda: kg.build_graph(v, x=x, exact=True)]:
        assert max(_progress_during(call) for _ in range(5)) > 0


# --- values decided on their recorded decimals ------------------------------------------

@st.composite
def recorded_decimals(draw):
    """Integers M_k meant as M_k / 10^places: near-arithmetic runs (collinear as decimals,
    rarely as binary roundings) with a few jumps, and the places."""
    places = draw(st.integers(0, 6))
    n = draw(st.integers(0, 14))
    start, step = draw(st.integers(-10**6, 10**6)), draw(st.integers(-300, 300))
    jumps = draw(st.lists(st.sampled_from([0, 0, 0, 0, 1, -1, 7, -40]), min_size=n, max_size=n))
    return [start + k * step + j for k, j in enumerate(jumps)], places


@PROPERTY
@given(recorded_decimals(), st.sampled_from(["natural", "horizontal"]), st.integers(0, 2),
       st.sampled_from([None, "steps", "seconds"]))
def test_decimals_decide_on_the_recorded_values(recorded, kind, penetrable, positions):
    ms, places = recorded
    decimals = [Fraction(m, 10**places) for m in ms]
    v = [float(d) for d in decimals]  # the double nearest to each decimal
    x = {None: None, "steps": [float(3 * k + k % 2) for k in range(len(v))],
         "seconds": [1.7e9 + 60.0 * k for k in range(len(v))]}[positions]
    want = model_edges(decimals, x, kind, penetrable, exact=True)
    options = dict(x=x, penetrable=penetrable, decimals=places)
    g = kg.build_graph(v, kind, **options)
    assert g.edges == want
    xs = [float(k) for k in range(len(v))] if x is None else x
    assert bits(p for vertex in g.vertices for p in vertex) == bits(p for pair in zip(xs, v) for p in pair)
    assert kg.graph_edge_array(v, kind, **options).tobytes() == struct.pack(
        f"={2 * len(want)}q", *(i for e in want for i in e))
    degrees = [0] * len(v)
    for a, b in want:
        degrees[a] += 1
        degrees[b] += 1
    assert kg.graph_degrees(v, kind, **options).tobytes() == struct.pack(f"={len(v)}q", *degrees)


def test_decimals_against_the_float_and_exact_rules_on_a_recorded_chord():
    v = [0.2, 0.5, 0.8]  # 0.5 lies on the chord of the recorded values
    assert kg.build_graph(v, decimals=1).edges == [(0, 1), (1, 2)]
    assert kg.build_graph(v, exact=True).edges == [(0, 1), (0, 2), (1, 2)]  # binary roundings
    gappy = [0.2, math.nan, 0.5, math.nan, 0.8]  # omitted, the rest sit at 0, 2 and 4
    g = kg.build_graph(gappy, decimals=1, missing="omit")
    assert g.edges == [(0, 1), (1, 2)] and [p for p, _ in g.vertices] == [0.0, 2.0, 4.0]
    decimals = [Fraction(2, 10), math.nan, Fraction(5, 10), math.nan, Fraction(8, 10)]
    assert kg.build_graph(gappy, decimals=1, missing="keep").edges == model_edges(
        decimals, None, exact=True)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("v, kwargs, error, message", [
    ([0.5, 0.123], {"decimals": 2}, ValueError,
     "time_series[1] = 0.123 is not a decimal with at most 2 places and 15 digits"),
    ([1.0, INF], {"decimals": 3}, ValueError,
     "time_series[1] = inf is not a decimal with at most 3 places and 15 digits"),
    ([1e15, 1.0], {"decimals": 0}, ValueError,
     "time_series[0] = 1000000000000000.0 is not a decimal with at most 0 places and 15 digits"),
    ([0.1 + 0.2], {"decimals": 15}, ValueError,
     "time_series[0] = 0.30000000000000004 is not a decimal with at most 15 places and 15 digits"),
    ([1.0], {"decimals": 16}, ValueError, "decimals must be from 0 to 15, not 16"),
    ([1.0], {"decimals": -1}, ValueError, "decimals must be from 0 to 15, not -1"),
    ([1.0], {"decimals": True}, TypeError, "decimals must be None or an int, not bool"),
    ([1.0], {"decimals": 1.0}, TypeError, "decimals must be None or an int, not float"),
])
def test_values_that_are_no_such_decimals_are_refused(name, v, kwargs, error, message):
    with pytest.raises(error) as caught:
        getattr(kg, name)(v, **kwargs)
    assert str(caught.value) == message
