"""Times as positions: numpy, pandas and datetime inputs become integer offsets from the
first time in the coarsest exact unit, so the graph equals the one built at those
offsets; the tools take a Series' time index, and the command-line tool ISO 8601 text."""

import datetime as dt
import json
import subprocess
import sys

import numpy as np
import pytest

import kestrel_grid as kg
from kestrel_grid_tools import features
from kestrel_grid_tools._positions import time_positions

pd = pytest.importorskip("pandas")

V = [1.0, 3.0, 2.0, 4.0, 2.5, 3.5, 0.5]
DAYS = [0, 7, 8, 20, 21, 40, 41]


def day_times(kind):
    start = np.datetime64("1958-03-29")
    stamps = start + np.array(DAYS, dtype="m8[D]")
    if kind == "datetime64[D]":
        return stamps
    if kind == "datetime64[ns]":
        return stamps.astype("M8[ns]")
    if kind == "DatetimeIndex":
        return pd.DatetimeIndex(stamps)
    if kind == "aware DatetimeIndex":
        return pd.DatetimeIndex(stamps).tz_localize("Europe/Berlin").tz_convert("Asia/Tokyo")
    if kind == "datetime.date":
        return [dt.date(1958, 3, 29) + dt.timedelta(days=d) for d in DAYS]
    if kind == "datetime.datetime":
        return [dt.datetime(1958, 3, 29, 6) + dt.timedelta(days=d) for d in DAYS]
    if kind == "Timestamp":
        return list(pd.DatetimeIndex(stamps))
    return pd.to_timedelta(DAYS, unit="D")  # durations


@pytest.mark.parametrize("kind", ["datetime64[D]", "datetime64[ns]", "DatetimeIndex",
                                  "aware DatetimeIndex", "datetime.date", "datetime.datetime",
                                  "Timestamp", "TimedeltaIndex"])
@pytest.mark.parametrize("rule", ["natural", "horizontal"])
def test_times_give_the_graph_at_day_offsets(kind, rule):
    x = day_times(kind)
    want = kg.build_graph(V, rule, x=[float(d) for d in DAYS])
    got = kg.build_graph(V, rule, x=x)
    assert got.edges == want.edges and got.vertices == want.vertices
    assert kg.graph_edge_array(V, rule, x=x).tobytes() == kg.graph_edge_array(
        V, rule, x=[float(d) for d in DAYS]).tobytes()
    found = time_positions(x)
    assert found.unit == "D" and found.offsets.tolist() == DAYS
    # The graph says what its x count; plain positions say nothing.
    origin = "0 days" if kind == "TimedeltaIndex" else str(found.origin)
    assert (got.x_unit, got.x_origin) == ("D", origin) and want.x_unit is want.x_origin is None


@pytest.mark.parametrize("stamps, unit, offsets", [
    (["2020-01-01T00:00:00", "2020-01-01T00:00:01.5", "2020-01-01T00:01:00"], "ms", [0, 1500, 60000]),
    (["2020-01-01T00:00", "2020-01-01T06:00", "2020-01-02T00:00"], "h", [0, 6, 24]),
    (["2020-01-01T00:00:00.000000001", "2020-01-01T00:00:00.000000002"], "ns", [0, 1]),
    (["1900-01-01", "2100-01-01"], "D", [0, 73049]),
    # Whole days apart from a start that is no midnight: the start keeps its hours.
    (["2020-01-01T06:00", "2020-01-03T06:00"], "D", [0, 2]),
])
def test_the_coarsest_exact_unit_is_chosen(stamps, unit, offsets):
    found = time_positions(np.array(stamps, dtype="datetime64[ns]"))
    assert (found.unit, found.offsets.tolist()) == (unit, offsets)
    assert found.times().astype("M8[ns]").tolist() == np.array(stamps, dtype="datetime64[ns]").tolist()


@pytest.mark.parametrize("x, error, message", [
    (np.array(["2020-01-01", "NaT"], dtype="M8[D]"), ValueError, "x[1] is not a time (NaT)"),
    ([dt.date(2020, 1, 1), 2.0], TypeError,
     "argument 'x': x[1] is a float, not a time like the samples before it"),
    (np.array([0, 2**60], dtype="M8[ns]"), ValueError,
     "x[1] lies 1152921504606846976 ns from x[0]: beyond 2**53, which a double does not hold exactly"),
    (np.array(["2020-01-02", "2020-01-01"], dtype="M8[D]"), ValueError,
     "x must be strictly increasing: x[1] = -1.0 is not greater than x[0] = 0.0"),
])
def test_bad_times_are_refused_clearly(x, error, message):
    with pytest.raises(error) as caught:
        kg.graph_degrees([1.0, 2.0], x=x)
    assert str(caught.value) == message


def test_a_series_with_a_time_index_is_placed_at_its_times():
    s = pd.Series(V, index=pd.DatetimeIndex(day_times("datetime64[D]")))
    summary = features.summarize(s)
    want = kg.build_graph(V, x=[float(d) for d in DAYS])
    assert (summary["edges"], summary["x_unit"], summary["x_origin"]) == (
        len(want.edges), "D", "1958-03-29")
    assert features.degrees(s).tolist() == list(np.asarray(want.degrees_array()))
    # A numeric increasing index is used as it is; any other keeps the sample order.
    years = pd.Series(V, index=[1700.0 + d for d in DAYS])
    assert features.degrees(years).tolist() == features.degrees(V, x=DAYS).tolist()
    shuffled = pd.Series(V, index=[3, 1, 2, 0, 4, 5, 6])
    assert features.degrees(shuffled).tolist() == features.degrees(V).tolist()


def test_the_time_axis_survives_edits_and_reaches_networkx():
    pytest.importorskip("networkx")
    from kestrel_grid_tools import to_networkx, visibility_graph

    s = pd.Series(V, index=pd.DatetimeIndex(day_times("datetime64[ns]")) + pd.Timedelta(hours=6))
    s.iloc[2] = np.nan
    g = visibility_graph(s, "horizontal")
    assert (g.x_unit, g.x_origin) == ("D", "1958-03-29T06")
    assert [x for x, _ in g.vertices] == [float(d) for k, d in enumerate(DAYS) if k != 2]
    g.remove_vertex(0)
    assert to_networkx(g, "left_to_right").graph == {"x_unit": "D", "x_origin": "1958-03-29T06"}
    assert to_networkx(kg.build_graph(V)).graph == {}


def test_the_command_line_tool_reads_iso_dates_as_positions(tmp_path):
    rows = [f"{np.datetime64('1958-03-29') + np.timedelta64(d, 'D')},{v}" for d, v in zip(DAYS, V)]
    rows[2] = rows[2].split(",")[0] + ","  # a missing week
    (tmp_path / "w.csv").write_text("date,co2\n" + "\n".join(rows) + "\n")
    run = subprocess.run([sys.executable, "-m", "kestrel_grid_tools", str(tmp_path / "w.csv"),
                          "--x", "date", "--column", "co2", "--format", "json"],
                         capture_output=True, text=True)
    kept = [k for k in range(len(V)) if k != 2]
    want = kg.build_graph([V[k] for k in kept], x=[float(DAYS[k]) for k in kept])
    summary = json.loads(run.stdout)
    assert (summary["samples"], summary["omitted"], summary["edges"]) == (6, 1, len(want.edges))
    assert (summary["x_unit"], summary["x_origin"]) == ("D", "1958-03-29")
    (tmp_path / "z.csv").write_text("t,v\n2020-01-01T00:00+01:00,1\n2020-01-01T01:00+02:00,2\n")
    run = subprocess.run([sys.executable, "-m", "kestrel_grid_tools", str(tmp_path / "z.csv"),
                          "--x", "t"], capture_output=True, text=True)
    assert (run.returncode, run.stderr) == (1, (
        f"kestrel-grid: error: {tmp_path / 'z.csv'}:3:t: times mix UTC offsets (+01:00 in the "
        "first row, +02:00 here); give every time in one offset or in UTC\n"))


class Interrupting:
    """Positions whose dtype lookup is interrupted."""

    def __len__(self):
        return 2

    def __getitem__(self, k):
        if k < 2:
            return float(k)
        raise IndexError(k)

    @property
    def dtype(self):
        raise KeyboardInterrupt("dtype")


class Failing(Interrupting):
    @property
    def dtype(self):
        raise RuntimeError("no dtype here")


def test_a_failing_dtype_is_no_time_but_an_interrupt_stops_the_call():
    assert kg.graph_degrees([1.0, 2.0], x=Failing()).tobytes() == kg.graph_degrees([1.0, 2.0]).tobytes()
    with pytest.raises(KeyboardInterrupt, match="^dtype$"):
        kg.graph_degrees([1.0, 2.0], x=Interrupting())
