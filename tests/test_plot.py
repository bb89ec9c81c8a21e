"""Plots: returned Axes and Figures, the edges drawn, and the pixel size of saved PNGs."""

import io
import math
import struct
import sys

import pytest

import kestrel_grid as kg

np = pytest.importorskip("numpy")
matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

from matplotlib.collections import LineCollection  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

import kestrel_grid_tools as tools  # noqa: E402
from kestrel_grid_tools.features import iid_law  # noqa: E402

SERIES = [0.4, 1.2, math.nan, 0.9, 2.1, math.inf, 0.3, 1.5, 0.8, 1.1, 0.2, 1.9]


def new_axes():
    return Figure().subplots()


def edge_collection(ax):
    (collection,) = [c for c in ax.collections if isinstance(c, LineCollection)]
    return collection


def finite_edges(vertices, edges):
    finite = np.isfinite(vertices).all(axis=1)
    return [(i, j) for i, j in edges if finite[i] and finite[j]]


@pytest.mark.parametrize("kind, build", [
    ("natural", kg.build_visibility_graph),
    ("horizontal", kg.build_horizontal_visibility_graph),
])
def test_series_and_graph_draw_the_edges_between_finite_points(kind, build):
    graph = build(SERIES)
    vertices = np.asarray(graph.vertices_array())
    expected = finite_edges(vertices, graph.edges)
    assert len(expected) < graph.edge_count()  # the NaN and inf samples do have edges
    for source in (SERIES, graph):
        ax = tools.plot_series_graph(source, kind=kind, ax=new_axes(), missing="keep")
        segments = edge_collection(ax).get_segments()
        assert [tuple(map(tuple, s)) for s in segments] == [
            (tuple(vertices[i]), tuple(vertices[j])) for i, j in expected]
        assert kind in ax.get_title()
        line = ax.get_lines()[0]
        assert line.get_marker() == "o"
        np.testing.assert_array_equal(line.get_ydata(), np.where(np.isfinite(SERIES), SERIES, np.nan))


def test_missing_samples_are_left_out_of_the_drawing_by_default():
    series = np.array([1.0, np.nan, 3.0, 2.0, np.nan, 4.0])
    kept = np.flatnonzero(~np.isnan(series))
    graph = kg.build_graph(series[kept], x=kept.astype(float))
    ax = tools.plot_series_graph(series, ax=new_axes())
    line = ax.get_lines()[0]
    np.testing.assert_array_equal(line.get_xdata(), kept)
    vertices = np.asarray(graph.vertices_array())
    assert [tuple(map(tuple, s)) for s in edge_collection(ax).get_segments()] == [
        (tuple(vertices[i]), tuple(vertices[j])) for i, j in graph.edges]


def test_max_edges_draws_an_evenly_spaced_subset_and_says_so():
    series = np.random.default_rng(3).random(500)
    edges = np.asarray(kg.visibility_edge_array(series))
    ax = tools.plot_series_graph(series, max_edges=100, ax=new_axes())
    segments = edge_collection(ax).get_segments()
    assert len(segments) == 100
    assert segments[0][0][0] == edges[0, 0] and segments[1][0][0] == edges[len(edges) // 100, 0]
    assert f"100 of {len(edges):,} edges drawn" in ax.get_title()
    assert len(edge_collection(tools.plot_series_graph(series, max_edges=0, ax=new_axes())).get_segments()) == 0


def test_edited_graph_line_follows_x():
    graph = kg.build_horizontal_visibility_graph([3.0, 1.0, 2.0])
    graph.add_vertex(0.5, 4.0)
    graph.add_edge(3, 0)
    ax = tools.plot_series_graph(graph, ax=new_axes())
    assert list(ax.get_lines()[0].get_xdata()) == [0.0, 0.5, 1.0, 2.0]
    assert len(edge_collection(ax).get_segments()) == graph.edge_count()


@pytest.mark.parametrize("skip_adjacent", [False, True])
def test_degree_distribution_with_the_iid_law(skip_adjacent):
    degrees = [2, 2, 3, 5, 5, 5]
    ax = tools.plot_degree_distribution(degrees, ax=new_axes(), iid_law=True, skip_adjacent=skip_adjacent)
    points, law = ax.get_lines()
    assert ax.get_yscale() == "log"
    assert list(points.get_xdata()) == [2, 3, 5]
    np.testing.assert_allclose(points.get_ydata(), [2 / 6, 1 / 6, 3 / 6])
    np.testing.assert_allclose(law.get_ydata(), iid_law(law.get_xdata(), skip_adjacent))
    assert law.get_label() == ("i.i.d. law (1/3)(2/3)^k" if skip_adjacent else "i.i.d. law (1/3)(2/3)^(k-2)")


def test_pyplot_figure_when_no_axes_given():
    plt = pytest.importorskip("matplotlib.pyplot")
    try:
        ax = tools.plot_degree_distribution(kg.build_visibility_graph([1.0, 3.0, 2.0]))
        assert ax.figure in map(plt.figure, plt.get_fignums())
    finally:
        plt.close("all")


def png_size(path):
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", header[16:24])


@pytest.mark.parametrize("kind, figsize, dpi, pixels", [
    ("natural", (12, 4.5), 100, (1200, 450)),
    ("horizontal", (6, 4), 50, (300, 200)),
])
def test_overview_png_has_figsize_times_dpi_pixels(tmp_path, kind, figsize, dpi, pixels):
    path = tmp_path / "overview.png"
    series = np.random.default_rng(7).random(200)
    figure = tools.plot_overview(series, kind=kind, path=path, title="noise", figsize=figsize, dpi=dpi)
    assert isinstance(figure, Figure) and png_size(path) == pixels
    left, right = figure.axes
    assert len(edge_collection(left).get_segments()) == len(np.asarray(
        (kg.visibility_edge_array if kind == "natural" else kg.horizontal_visibility_edge_array)(series)))
    assert len(right.get_lines()) == (2 if kind == "horizontal" else 1)
    assert "noise" in [text.get_text() for text in figure.texts]


@pytest.mark.parametrize("call, error, message", [
    (lambda: tools.plot_series_graph([1.0, 2.0], max_edges=-1, ax=new_axes()), ValueError,
     "max_edges must be >= 0, not -1"),
    (lambda: tools.plot_overview([1.0, 2.0], kind="vertical"), ValueError,
     "kind must be 'natural' or 'horizontal', not 'vertical'"),
])
def test_bad_arguments(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message


def test_missing_matplotlib_names_the_plot_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(tools.MissingExtraError) as error:
        tools.plot_overview([1.0, 2.0])
    assert str(error.value) == (
        "plotting needs matplotlib, which is not installed; "
        "install it with: python -m pip install matplotlib (or, in a checkout of "
        "kestrel-grid, its plot extra: python -m pip install '.[plot]')")


@pytest.mark.parametrize("labels, expected", [
    ({}, ("x", "value")),
    ({"xlabel": "time [s]", "ylabel": "level [m]"}, ("time [s]", "level [m]")),
])
def test_axis_labels(labels, expected):
    ax = tools.plot_series_graph([1.0, 3.0, 2.0], ax=new_axes(), **labels)
    assert (ax.get_xlabel(), ax.get_ylabel()) == expected
    left, _ = tools.plot_overview([1.0, 3.0, 2.0], **labels).axes
    assert (left.get_xlabel(), left.get_ylabel()) == expected


def test_dates_as_positions_give_a_date_axis():
    from matplotlib.dates import ConciseDateFormatter, date2num

    days = np.datetime64("2001-01-01") + np.arange(5) * np.timedelta64(7, "D")
    left, _ = tools.plot_overview([1.0, 3.0, 2.0, 4.0, 0.5], x=days, xlabel="week").axes
    assert isinstance(left.xaxis.get_major_formatter(), ConciseDateFormatter)
    np.testing.assert_array_equal(left.get_lines()[0].get_xdata(), date2num(days))
    assert left.get_xlabel() == "week"


DEGREES = [0, 2, 2, 3, 5, 5, 5, 8]


@pytest.mark.parametrize("scale, ccdf, ks, ps, ylabel", [
    ("semilog", False, [0, 2, 3, 5, 8], [1 / 8, 2 / 8, 1 / 8, 3 / 8, 1 / 8], "P(k)"),
    ("loglog", False, [2, 3, 5, 8], [2 / 8, 1 / 8, 3 / 8, 1 / 8], "P(k)"),
    ("semilog", True, range(9), np.array([8, 7, 7, 5, 4, 4, 1, 1, 1]) / 8, "P(K ≥ k)"),
    ("loglog", True, range(1, 9), np.array([7, 7, 5, 4, 4, 1, 1, 1]) / 8, "P(K ≥ k)"),
])
def test_degree_distribution_scales_and_ccdf(scale, ccdf, ks, ps, ylabel):
    ax = tools.plot_degree_distribution(DEGREES, ax=new_axes(), scale=scale, ccdf=ccdf)
    (points,) = ax.get_lines()
    assert list(points.get_xdata()) == list(ks)
    np.testing.assert_allclose(points.get_ydata(), ps)
    assert (ax.get_xscale(), ax.get_yscale()) == ("log" if scale == "loglog" else "linear", "log")
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("degree k", ylabel)


@pytest.mark.parametrize("skip_adjacent, penetrable", [(False, 0), (True, 0), (False, 2)])
def test_ccdf_law_is_the_tail_sum_of_the_iid_law(skip_adjacent, penetrable):
    ax = tools.plot_degree_distribution(
        DEGREES, ax=new_axes(), iid_law=True, skip_adjacent=skip_adjacent, penetrable=penetrable,
        ccdf=True)
    _, law = ax.get_lines()
    k = law.get_xdata()
    tails = [iid_law(np.arange(j, 400), skip_adjacent, penetrable=penetrable).sum() for j in k]
    np.testing.assert_allclose(law.get_ydata(), tails)
    assert law.get_ydata()[0] == 1.0


def test_degree_distribution_labels_and_title():
    ax = tools.plot_degree_distribution(DEGREES, ax=new_axes(), xlabel="links", ylabel="share",
                                        title="walkers")
    assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_title()) == ("links", "share", "walkers")


def test_many_edges_are_thinned_shaded_and_rasterized():
    series = np.random.default_rng(11).random(12_000)
    m = len(np.asarray(kg.horizontal_visibility_edge_array(series)))
    assert m > tools.plot.DEFAULT_MAX_EDGES
    styles = {}
    for max_edges in (tools.plot.DEFAULT_MAX_EDGES, 1_000, None):
        ax = tools.plot_series_graph(series, "horizontal", ax=new_axes(), max_edges=max_edges)
        collection = edge_collection(ax)
        drawn = len(collection.get_segments())
        assert drawn == (m if max_edges is None else max_edges)
        label = f"{m:,} edges" if max_edges is None else f"{drawn:,} of {m:,} edges drawn"
        assert collection.get_label() == label
        styles[max_edges] = (
            collection.get_alpha(), collection.get_linewidth()[0], collection.get_rasterized())
        assert ax.get_lines()[0].get_marker() == ""  # a long series is a plain line
        legend = ax.get_legend()  # the edges' entry in full colour, however light they are
        handles = getattr(legend, "legend_handles", None) or legend.legendHandles
        assert handles[0].get_alpha() == 1.0
    assert styles[1_000] == (0.35, 0.5, False)
    assert styles[None][0] < styles[tools.plot.DEFAULT_MAX_EDGES][0] < 0.35
    assert styles[None][2] and styles[tools.plot.DEFAULT_MAX_EDGES][2]
    assert tools.plot_series_graph(series, "horizontal", ax=new_axes()).get_lines()[0].get_marker() == ""


@pytest.mark.parametrize("values, corner", [
    (np.arange(6_000.0), "upper left"),       # a rising ramp leaves the upper left empty
    (-np.arange(6_000.0), "upper right"),     # a falling one the upper right first
])
def test_long_series_put_the_legend_in_an_empty_corner(values, corner):
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    figure = Figure()
    FigureCanvasAgg(figure)
    ax = tools.plot_series_graph(values, ax=figure.subplots())
    figure.canvas.draw()
    box = ax.get_legend().get_window_extent().transformed(ax.transAxes.inverted())
    vertical, horizontal = corner.split()
    assert (box.y0 > 0.5) == (vertical == "upper") and (box.x0 > 0.5) == (horizontal == "right")


@pytest.mark.parametrize("path_name, fmt, magic", [
    ("p.png", None, b"\x89PNG\r\n\x1a\n"),
    ("p.pdf", None, b"%PDF-"),
    ("p.SVG", None, b"<?xml"),
    ("p.dat", None, b"\x89PNG\r\n\x1a\n"),   # no format matplotlib knows: PNG, as before
    ("p.png", "svg", b"<?xml"),
])
def test_overview_saves_in_the_format_of_the_suffix(tmp_path, path_name, fmt, magic):
    tools.plot_overview([1.0, 3.0, 2.0], path=tmp_path / path_name, format=fmt)
    assert (tmp_path / path_name).read_bytes().startswith(magic)
    with open(tmp_path / "stream", "wb") as stream:
        tools.plot_overview([1.0, 3.0, 2.0], path=stream, format=fmt)
    assert (tmp_path / "stream").read_bytes().startswith(b"<?xml" if fmt == "svg" else b"\x89PNG")


def test_bad_scale_and_format():
    with pytest.raises(ValueError) as raised:
        tools.plot_degree_distribution([1, 2], ax=new_axes(), scale="log")
    assert str(raised.value) == "scale must be 'semilog' or 'loglog', got 'log'"
    with pytest.raises(ValueError) as raised:
        tools.plot_overview([1.0, 2.0], path=io.BytesIO(), format="docx")
    supported = sorted(Figure().canvas.get_supported_filetypes())
    assert str(raised.value) == f"format must be one of {', '.join(supported)}, got 'docx'"
