"""A pandas index as positions: periods count their frequency (a month is one step,
whatever its days), every index that holds positions is used, and one that holds none is
refused rather than replaced by 0, 1, 2, ... in silence."""

import datetime as dt
import json

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import kestrel_grid as kg  # noqa: E402
import kestrel_grid_tools as kt  # noqa: E402
from kestrel_grid_tools.cli import main  # noqa: E402
from kestrel_grid_tools.many import features_frame  # noqa: E402

# Monthly airline passengers, 1949-1960.
AIRLINE = np.array([
    112, 118, 132, 129, 121, 135, 148, 148, 136, 119, 104, 118, 115, 126, 141, 135, 125, 149,
    170, 170, 158, 133, 114, 140, 145, 150, 178, 163, 172, 178, 199, 199, 184, 162, 146, 166,
    171, 180, 193, 181, 183, 218, 230, 242, 209, 191, 172, 194, 196, 196, 236, 235, 229, 243,
    264, 272, 237, 211, 180, 201, 204, 188, 235, 227, 234, 264, 302, 293, 259, 229, 203, 229,
    242, 233, 267, 269, 270, 315, 364, 347, 312, 274, 237, 278, 284, 277, 317, 313, 318, 374,
    413, 405, 355, 306, 271, 306, 315, 301, 356, 348, 355, 422, 465, 467, 404, 347, 305, 336,
    340, 318, 362, 348, 363, 435, 491, 505, 404, 359, 310, 337, 360, 342, 406, 396, 420, 472,
    548, 559, 463, 407, 362, 405, 417, 391, 419, 461, 472, 535, 622, 606, 508, 461, 390, 432,
], dtype=np.float64)
DROPPED = [3, 17, 18, 40, 59, 77, 90, 101, 122, 130]
KEPT = np.setdiff1d(np.arange(AIRLINE.size), DROPPED)


def airline():
    """The series with ten months missing from its PeriodIndex."""
    months = pd.period_range("1949-01", periods=AIRLINE.size, freq="M")
    return pd.Series(AIRLINE, index=months).iloc[KEPT]


def test_periods_are_counted_in_months():
    s = airline()
    at_months = KEPT.astype(np.float64)  # ordinals from the first month
    summary = kt.summarize(s)
    assert (summary["edges"], summary["x_unit"], summary["x_origin"]) == (
        kt.summarize(s.values, x=at_months)["edges"], "M", "1949-01")
    # The months give a graph of their own: neither the sample order nor the days.
    assert len({summary["edges"], kt.summarize(s.values)["edges"],
                kt.summarize(s.to_timestamp())["edges"]}) == 3
    assert np.array_equal(kt.degrees(s), kg.graph_degrees(s.values, x=at_months))
    assert np.array_equal(kt.degrees(s, "horizontal"), kt.degrees(s.values, "horizontal"))
    graph = kt.visibility_graph(s)
    assert [x for x, _ in graph.vertices] == at_months.tolist()
    assert (graph.x_unit, graph.x_origin) == ("M", "1949-01")
    assert np.array_equal(kt.feature_vector(s), kt.feature_vector(s.values, x=at_months))
    # The module takes the periods as x, and a record gives them back.
    assert kg.build_graph(s.values, x=s.index).edges == graph.edges
    assert kt.as_record(s).times().equals(s.index)
    # A plot draws each month at its first day.
    pytest.importorskip("matplotlib")
    from kestrel_grid_tools.plot import _graph_arrays

    vertices, _, _, dates = _graph_arrays(s, "natural", False)
    assert dates and vertices[:2, 0].tolist() == [-7670.0, -7639.0]  # 1949-01-01, 1949-02-01


@pytest.mark.parametrize("periods, unit, offsets, origin", [
    (pd.period_range("2000-01", periods=3, freq="2M"), "M", [0, 2, 4], "2000-01"),
    (pd.PeriodIndex(["2000Q4", "2001Q1", "2001Q3"], freq="Q"), "Q-DEC", [0, 1, 3], "2000Q4"),
    (pd.PeriodIndex(["2024-01-01", "2024-01-08", "2024-02-05"], freq="W"), "W-SUN", [0, 1, 5],
     "2024-01-01/2024-01-07"),
    (pd.Series(pd.period_range("1990", periods=3, freq="Y")), "Y-DEC", [0, 1, 2], "1990"),
    ([pd.Period("2000-01", "M"), pd.Period("2000-03", "M")], "M", [0, 2], "2000-01"),
])
def test_each_frequency_is_its_own_unit(periods, unit, offsets, origin):
    found = kt.time_positions(periods)
    assert (found.unit, found.offsets.tolist(), str(found.origin)) == (unit, offsets, origin)
    assert list(found.times()) == list(periods)


@pytest.mark.parametrize("periods, error, message", [
    (pd.PeriodIndex(["2000-01", None], freq="M"), ValueError, "x[1] is not a time (NaT)"),
    ([pd.Period("2000-01", "M"), pd.Period("2000Q2", "Q")], ValueError,
     "x[1] is a period of frequency Q-DEC, unlike x[0] (M)"),
    ([pd.Period("2000-01", "M"), 3], TypeError, "x[1] is a int, not a period like the samples before it"),
])
def test_bad_periods_are_refused(periods, error, message):
    with pytest.raises(error) as caught:
        kt.time_positions(periods)
    assert str(caught.value) == message


VALUES = [3.0, 1.0, 2.0, 0.5, 4.0, 2.5, 3.5]
GAPS = [0, 1, 5, 6, 7, 20, 21]
START = np.datetime64("2021-03-01")
NO_POSITIONS = ("holds no sampling positions: pass x= with the positions "
                "(x=pd.to_datetime(s.index) for dates written as text), or "
                "s.reset_index(drop=True) to place the samples at 0, 1, 2, ...")


def index_kinds():
    """(name, index, what it gives): the positions, None for the sample order, or the
    error and the start of its message."""
    days = pd.DatetimeIndex(START + np.array(GAPS, dtype="m8[D]"))
    yield "RangeIndex", pd.RangeIndex(7), None
    yield "shifted RangeIndex", pd.RangeIndex(10, 31, 3), list(range(10, 31, 3))
    yield "increasing ints", pd.Index(GAPS), GAPS
    yield "increasing uints", pd.Index(np.array(GAPS, dtype=np.uint64)), GAPS
    yield "increasing floats", pd.Index([g / 4 for g in GAPS]), [g / 4 for g in GAPS]
    yield "repeated ints", pd.Index([0, 1, 2, 0, 1, 2, 3]), None
    yield "decreasing ints", pd.Index(GAPS[::-1]), None
    yield "DatetimeIndex", days, GAPS
    yield "aware DatetimeIndex", days.tz_localize("Europe/Paris"), GAPS
    yield "TimedeltaIndex", pd.to_timedelta(GAPS, unit="D"), GAPS
    yield "PeriodIndex", pd.PeriodIndex(days, freq="D"), GAPS
    yield "dates as objects", pd.Index([dt.date(2021, 3, 1) + dt.timedelta(g) for g in GAPS]), GAPS
    yield "unsorted dates", days[::-1], (ValueError, "x must be strictly increasing")
    yield "repeated dates", days[[0, 1, 1, 2, 3, 4, 5]], (ValueError, "x must be strictly increasing")
    yield "strings", pd.Index(list("abcdefg")), (TypeError, "the Series' index (an index of ")
    yield "dates as text", pd.Index(days.strftime("%Y-%m-%d")), (TypeError, "the Series' index (an index of ")
    yield "mixed objects", pd.Index(["a", 1, 2.0, "b", 3, 4, 5], dtype=object), (
        TypeError, "the Series' index (an index of object) " + NO_POSITIONS)
    yield "booleans", pd.Index([True, False] * 3 + [True]), (TypeError, "the Series' index (an index of bool)")
    yield "CategoricalIndex", pd.CategoricalIndex(GAPS), (
        TypeError, "the Series' index (CategoricalIndex) " + NO_POSITIONS)
    yield "IntervalIndex", pd.IntervalIndex.from_breaks(range(8)), (
        TypeError, "the Series' index (IntervalIndex) " + NO_POSITIONS)
    yield "MultiIndex", pd.MultiIndex.from_arrays([[0] * 7, GAPS]), (
        TypeError, "the Series' index (a 2-level MultiIndex) " + NO_POSITIONS)


@pytest.mark.parametrize("name, index, gives", list(index_kinds()), ids=lambda v: v if isinstance(v, str) else "")
@pytest.mark.parametrize("call", [kt.summarize, kt.visibility_graph, lambda s: features_frame({"s": s})])
def test_every_index_kind_is_placed_or_refused(name, index, gives, call):
    s = pd.Series(VALUES, index=index)
    if isinstance(gives, tuple):
        with pytest.raises(gives[0]) as caught:
            call(s)
        assert str(caught.value).startswith(gives[1])
        return
    got, want = call(s), call(pd.Series(VALUES, index=gives))
    if isinstance(got, dict):  # times add their unit and origin
        got = {k: v for k, v in got.items() if k not in ("x_unit", "x_origin")}
    elif hasattr(got, "vertices"):
        got, want = (got.vertices, got.edges), (want.vertices, want.edges)
    if isinstance(got, pd.DataFrame):
        pd.testing.assert_frame_equal(got, want, check_exact=True)
    else:
        np.testing.assert_equal(got, want)


def test_the_index_kinds_tell_positions_from_the_order():
    # The positions above give another graph than the sample order, so a placed index
    # is told from one left aside.
    assert not np.array_equal(kt.degrees(VALUES, x=GAPS), kt.degrees(VALUES))
    assert kt.summarize(pd.Series([], dtype=float, index=pd.Index([], dtype=object)))["samples"] == 0


def test_long_frames_count_periods_in_their_frequency():
    s = airline()
    rng = np.random.default_rng(5)
    frame = pd.DataFrame({"series": ["air"] * s.size + ["tail"] * 12,
                          "time": list(s.index) + list(s.index[-12:]),
                          "value": np.concatenate([s.values, s.values[-12:] * 2])})
    frame = frame.iloc[rng.permutation(len(frame))].reset_index(drop=True)
    result = features_frame(frame, positions=True)
    assert result["edges"].tolist() == [kt.summarize(s)["edges"], kt.summarize(s.iloc[-12:])["edges"]]
    lazy = kt.series_features(frame, positions=True).compute(scheduler="synchronous").sort_index()
    pd.testing.assert_frame_equal(lazy, result, check_exact=True, check_index_type=False)


def test_the_command_line_tool_counts_year_months(tmp_path, capsys):
    s = airline()
    rows = [f"{month},{int(value)}" for month, value in zip(s.index.strftime("%Y-%m"), s.values)]
    (tmp_path / "air.csv").write_text("month,passengers\n" + "\n".join(rows) + "\n")
    assert main([str(tmp_path / "air.csv"), "--x", "month", "--format", "json"]) == 0
    summary = json.loads(capsys.readouterr().out)
    want = kt.summarize(s, decimals=0)
    assert [summary[k] for k in ("edges", "x_unit", "x_origin")] == [want["edges"], "M", "1949-01"]
    assert main([str(tmp_path / "air.csv"), "--x", "month", "--output", "degrees"]) == 0
    degrees = kt.degrees(s, decimals=0)
    assert capsys.readouterr().out.splitlines()[:3] == [
        "index,month,degree", f"0,1949-01,{degrees[0]}", f"1,1949-02,{degrees[1]}"]
