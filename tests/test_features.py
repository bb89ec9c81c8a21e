"""Graph features of the tools package against graphs built edge by edge."""

from __future__ import annotations

import math
import random
import sys

import numpy as np
import pytest

np = pytest.importorskip("numpy")

import kestrel_grid as kg  # noqa: E402
from kestrel_grid_tools import features  # noqa: E402
from kestrel_grid_tools._optional import MissingExtraError, require  # noqa: E402

SERIES = [
    [],
    [1.0],
    [2.0, 2.0],
    [3.0, 1.0, 2.0, 4.0, 1.0, 3.0],
    [1.0, float("nan"), 2.0, float("inf"), -1.0, 0.0, -0.0],
    [5.0] * 9,
    [math.sin(0.3 * k) for k in range(200)],
]
BUILDERS = {"natural": kg.build_visibility_graph, "horizontal": kg.build_horizontal_visibility_graph}


@pytest.mark.parametrize("kind", sorted(BUILDERS))
@pytest.mark.parametrize("skip", [False, True])
@pytest.mark.parametrize("series", SERIES, ids=range(len(SERIES)))
def test_summary_matches_the_built_graph(series, kind, skip):
    graph = BUILDERS[kind](series, skip)
    counts = [0] * len(series)
    for i, j in graph.edges:
        counts[i] += 1
        counts[j] += 1
    summary = features.summarize(series, kind, skip_adjacent=skip, window=3, missing="keep")
    assert (summary["samples"], summary["omitted"]) == (len(series), 0)
    assert summary["edges"] == len(graph.edges)
    assert summary["max_degree"] == max(counts, default=0)
    if series:
        assert summary["mean_degree"] == sum(counts) / len(series)
    else:
        assert math.isnan(summary["mean_degree"])
    assert ("iid_distance" in summary) == (kind == "horizontal")
    scores = kg.horizontal_window_motif_scores(series, 3, skip) if len(series) >= 3 else []
    assert summary["windows"] == len(scores)
    if scores:
        assert (summary["motif_min"], summary["motif_max"]) == (min(scores), max(scores))
    k, p = features.degree_distribution(counts)
    assert list(k) == list(range(len(p)))
    assert [round(x * len(series)) for x in p] == [counts.count(d) for d in range(len(p))]


def test_iid_law_is_a_distribution():
    k = np.arange(200)
    for skip in (False, True):
        law = features.iid_law(k, skip)
        assert law.sum() == pytest.approx(1.0, abs=1e-12)
    assert list(features.iid_law([0, 1, 2, 3])) == [0.0, 0.0, 1 / 3, 2 / 9]
    assert features.iid_law([0], skip_adjacent=True)[0] == 1 / 3


def test_uniform_noise_follows_the_iid_law():
    # The horizontal graph of i.i.d. samples has P(k) = (1/3)(2/3)^(k-2) and mean degree 4.
    rng = np.random.default_rng(20240611)
    series = rng.random(20000)
    summary = features.summarize(series, "horizontal")
    assert summary["iid_distance"] < 0.012
    assert abs(summary["mean_degree"] - 4.0) < 0.01


def test_iid_distance_covers_the_tail_beyond_the_largest_degree():
    # Every vertex of degree 2: the empirical share is 1 at k = 2, 0 elsewhere; the law
    # gives 1/3 there, so the distance is 2/3.
    assert features.iid_distance([2, 2, 2]) == pytest.approx(2 / 3)
    assert math.isnan(features.iid_distance([]))


def test_unknown_kind_is_refused():
    with pytest.raises(ValueError) as info:
        features.summarize([1.0, 2.0], "diagonal")  # type: ignore[arg-type]
    assert str(info.value) == "kind must be 'natural' or 'horizontal', not 'diagonal'"


def test_two_dimensional_series_is_refused():
    with pytest.raises(ValueError) as info:
        features.degrees([[1.0, 2.0]])
    assert str(info.value) == "a series must be one-dimensional, got shape (1, 2)"


@pytest.mark.parametrize("call", [features.degrees, features.summarize])
def test_a_graph_given_for_a_series_says_what_to_pass(call):
    graph = kg.build_visibility_graph([1.0, 3.0, 2.0])
    with pytest.raises(TypeError, match=r"a VisibilityGraph was given where a series is expected: "
                       r"pass the series itself, or .*graph.degrees_array\(\)"):
        call(graph)
    # Where degrees are expected, the graph's own do.
    given, expected = features.degree_distribution(graph), features.degree_distribution([1, 2, 1])
    assert all(np.array_equal(a, b) for a, b in zip(given, expected))


def test_a_missing_extra_is_named(monkeypatch):
    monkeypatch.setitem(sys.modules, "networkx", None)  # makes the import fail
    with pytest.raises(MissingExtraError) as info:
        require("networkx", "to_networkx")
    assert str(info.value) == (
        "to_networkx needs networkx, which is not installed; "
        "install it with: python -m pip install networkx (or, in a checkout of "
        "kestrel-grid, its graphs extra: python -m pip install '.[graphs]')"
    )
    assert isinstance(info.value, ImportError)


@pytest.mark.parametrize("seed", range(5))
def test_degrees_equal_the_array_exports(seed):
    rng = random.Random(seed)
    series = [rng.choice([0.0, 1.0, 2.0, rng.random()]) for _ in range(300)]
    for kind, build in BUILDERS.items():
        for skip in (False, True):
            expected = list(build(series, skip).degrees_array().tobytes())
            got = list(features.degrees(series, kind, skip).astype("<i8").tobytes())
            assert got == expected


@pytest.mark.parametrize(
    "window, error, message",
    [
        (0, ValueError, "window must be >= 1, not 0"),
        (-3, ValueError, "window must be >= 1, not -3"),
        (2.0, TypeError, "window must be an int, not float"),
        (True, TypeError, "window must be an int, not bool"),
    ],
)
def test_bad_windows_are_refused(window, error, message):
    with pytest.raises(error) as info:
        features.motif_summary([1.0, 2.0, 3.0], window)
    assert str(info.value) == message


# ---------------------------------------------------------------- positions, L, exact

TIMES = 1.7e9 + np.cumsum(np.random.default_rng(8).integers(1, 90, size=300)).astype(float)
WALK = np.cumsum(np.random.default_rng(9).normal(size=300))
VARIANTS = [
    {"x": TIMES},
    {"penetrable": 2},
    {"exact": True},
    {"x": TIMES, "penetrable": 1, "exact": True},
]


@pytest.mark.parametrize("kind", ["natural", "horizontal"])
@pytest.mark.parametrize("variant", VARIANTS, ids=["x", "L=2", "exact", "all"])
def test_variants_follow_graph_degrees(kind, variant):
    graph = kg.build_graph(WALK, kind, **variant)
    got = features.degrees(WALK, kind, **variant)
    assert got.tolist() == np.asarray(graph.degrees_array()).tolist()
    summary = features.summarize(list(WALK), kind, **variant)
    assert summary["edges"] == graph.edge_count()
    assert summary["max_degree"] == int(got.max())


def test_variant_degrees_differ_from_the_index_rule():
    # Guards against the options being dropped on the way to the builder.
    plain = features.degrees(WALK)
    for variant in VARIANTS[:2]:
        assert features.degrees(WALK, **variant).tolist() != plain.tolist()


@pytest.mark.parametrize("penetrable", [1, 3])
def test_penetrable_iid_law_is_a_distribution_followed_by_noise(penetrable):
    k = np.arange(400)
    for skip in (False, True):
        assert features.iid_law(k, skip, penetrable=penetrable).sum() == pytest.approx(1.0, abs=1e-12)
    low = 2 * (penetrable + 1)
    law = features.iid_law([low - 1, low, low + 1], penetrable=penetrable)
    base = 2 * penetrable + 3
    assert law.tolist() == [0.0, 1 / base, (1 / base) * ((base - 1) / base)]
    series = np.random.default_rng(penetrable).random(40000)
    summary = features.summarize(series, "horizontal", penetrable=penetrable)
    assert summary["iid_distance"] < 0.012
    assert summary["mean_degree"] == pytest.approx(4.0 * (penetrable + 1), abs=0.05)


def test_motif_scores_ignore_positions_and_refuse_penetrable():
    plain = features.summarize(WALK, "horizontal", window=4)
    placed = features.summarize(WALK, "horizontal", window=4, x=TIMES, exact=True)
    assert placed == plain
    with pytest.raises(ValueError) as info:
        features.summarize(WALK, window=4, penetrable=1)
    assert str(info.value) == "motif scores have no penetrable variant: give window or penetrable=1, not both"


PENETRABLE_ENTRIES = {
    "module": lambda p: kg.graph_degrees([1.0, 2.0], "natural", penetrable=p),
    "summarize": lambda p: features.summarize([1.0, 2.0], penetrable=p),
    "degrees": lambda p: features.degrees([1.0, 2.0], "horizontal", penetrable=p),
    "iid_distance": lambda p: features.iid_distance([2, 2], penetrable=p),
    "iid_law": lambda p: features.iid_law([2], penetrable=p),
    "Options": lambda p: features.Options(penetrable=p),
}


@pytest.mark.parametrize("entry", sorted(PENETRABLE_ENTRIES))
@pytest.mark.parametrize("value, error, message", [
    (-1, ValueError, "penetrable must be >= 0, not -1"),
    (True, TypeError, "penetrable must be an int, not bool"),
    (1.0, TypeError, "penetrable must be an int, not float"),
])
def test_a_bad_penetrable_reads_the_same_everywhere(entry, value, error, message):
    with pytest.raises(error) as info:
        PENETRABLE_ENTRIES[entry](value)
    assert str(info.value) == message


def test_plots_draw_a_series_at_its_positions():
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure

    from kestrel_grid_tools import plot_overview, plot_series_graph

    ax = Figure().subplots()
    plot_series_graph(WALK, ax=ax, x=TIMES, penetrable=1, exact=True)
    graph = kg.build_graph(WALK, x=TIMES, penetrable=1, exact=True)
    vertices = np.asarray(graph.vertices_array())
    segments = [c for c in ax.collections if isinstance(c, LineCollection)][0].get_segments()
    assert [tuple(map(tuple, s)) for s in segments] == [
        (tuple(vertices[i]), tuple(vertices[j])) for i, j in graph.edges]
    assert ax.get_lines()[0].get_xdata().tolist() == TIMES.tolist()
    figure = plot_overview(WALK, "horizontal", x=TIMES, penetrable=2)
    left, right = figure.axes
    assert f"{kg.build_graph(WALK, 'horizontal', penetrable=2).edge_count():,} edges" in left.get_title()
    assert right.get_lines()[1].get_label() == "i.i.d. law (1/7)(6/7)^(k-6)"


@pytest.mark.parametrize("kind", sorted(BUILDERS))
@pytest.mark.parametrize("x", [None, [0.5 * k * k for k in range(9)]])
def test_missing_samples_are_left_out_at_their_positions_by_default(kind, x):
    series = [1.0, math.nan, 3.0, 2.0, math.nan, math.nan, 4.0, 0.5, 2.5]
    kept = [k for k, v in enumerate(series) if not math.isnan(v)]
    positions = [float(k) if x is None else x[k] for k in kept]
    graph = kg.build_graph([series[k] for k in kept], kind, x=positions)
    summary = features.summarize(series, kind, window=3, x=x)
    assert (summary["samples"], summary["omitted"]) == (len(kept), 3)
    assert summary["edges"] == len(graph.edges)
    assert summary["windows"] == len(kept) - 2  # motifs over the samples present, in order
    degrees = features.degrees(series, kind, x=x)
    assert degrees.tolist() == list(np.asarray(graph.degrees_array()))
    with pytest.raises(ValueError, match=r"^time_series\[1\] is missing \(NaN\)"):
        features.degrees(series, kind, missing="raise")
    with pytest.raises(ValueError, match="missing must be 'raise', 'omit' or 'keep', not 'drop'"):
        features.summarize(series, missing="drop")  # type: ignore[arg-type]
