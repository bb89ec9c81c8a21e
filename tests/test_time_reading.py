"""The module reads times given as positions by itself: its offsets, unit and origin
agree with the tools' reading of the same times, and building from dates never loads
the tools package."""

import datetime as dt
import subprocess
import sys

import numpy as np
import pytest

import kestrel_grid
from kestrel_grid_tools._positions import time_positions

pd = pytest.importorskip("pandas")


def _reading(x, n):
    """(offsets, unit, origin) as the module reads x, or the error it raises."""
    try:
        g = kestrel_grid.build_graph(np.zeros(n), x=x)
    except (TypeError, ValueError) as error:
        return type(error), str(error).removeprefix("argument 'x': ")
    return [v for v, _ in g.vertices], g.x_unit, g.x_origin


def _expected(x, n):
    try:
        found = time_positions(x)
    except (TypeError, ValueError) as error:
        return type(error), str(error)
    if n == 0:
        return [], None, None
    return found.offsets.tolist(), found.unit, str(found.origin)


def _datetime_arrays():
    rng = np.random.default_rng(7)
    start = np.datetime64("2001-03-04T05:06:07.123456789", "ns")
    for unit in ("s", "ms", "us", "ns", "D", "h", "m", "M", "Y", "W"):
        steps = np.cumsum(rng.integers(1, 40, size=12))
        base = np.datetime64("1999-12-31", unit) if unit in ("D", "M", "Y", "W") else start.astype(f"M8[{unit}]")
        yield f"M8[{unit}]", base + steps.astype(f"m8[{unit}]")
        yield f"m8[{unit}]", steps.astype(f"m8[{unit}]")
    days = np.datetime64("2020-01-01") + np.arange(6) * np.timedelta64(1, "D")
    yield "midnights in ns", days.astype("M8[ns]")
    yield "days after 06:00", (days + np.timedelta64(6, "h")).astype("M8[s]")
    yield "strided", (start + np.arange(20) * np.timedelta64(3, "s"))[::2]
    yield "big-endian", (start + np.arange(5) * np.timedelta64(1, "ms")).astype(">M8[ns]")
    yield "at 2**53 ns", np.array([0, 2**53], dtype="M8[ns]")
    yield "beyond 2**53 ns", np.array([0, 1, 2**53 + 1], dtype="M8[ns]")
    yield "beyond 2**53 backwards", np.array([2**53 + 2, 1], dtype="m8[ns]")
    yield "NaT", np.array(["2020-01-01", "NaT", "2020-01-03"], dtype="M8[D]")
    yield "empty", np.array([], dtype="M8[ns]")
    yield "unsupported unit", np.array([0, 1], dtype="M8[ps]")
    yield "two dimensions", np.zeros((2, 2), dtype="M8[s]")
    yield "before 1970", np.array(["1900-01-01T00:00:00.5", "1950-01-01"], dtype="M8[ms]")
    yield "weeks as durations", np.array([1, 2], dtype="m8[W]")


def _pandas_data():
    dates = pd.date_range("2021-03-27", periods=8, freq="7h")
    yield "DatetimeIndex", dates
    yield "datetime Series", pd.Series(dates)
    yield "tz-aware index", dates.tz_localize("Europe/Paris")
    yield "tz-aware Series", pd.Series(dates.tz_localize("America/New_York"))
    yield "TimedeltaIndex", pd.timedelta_range("1 day", periods=5, freq="90min")
    for freq in ("M", "Q", "W", "D", "2M", "Y"):
        yield f"periods {freq}", pd.period_range("2000-01", periods=6, freq=freq)
    yield "Series of periods", pd.Series(pd.period_range("2000-01", periods=4, freq="M"))
    yield "list of periods", list(pd.period_range("2000-01", periods=4, freq="Q"))
    yield "periods with NaT", pd.PeriodIndex(["2000-01", None, "2000-03"], freq="M")
    yield "periods of two frequencies", [pd.Period("2000-01", "M"), pd.Period("2000-02", "D")]
    yield "periods and a date", [pd.Period("2000-01", "M"), dt.date(2000, 2, 1)]


def _object_lists():
    base = dt.datetime(2020, 5, 6, 7, 8, 9)
    yield "datetimes", [base + dt.timedelta(minutes=3 * k) for k in range(6)]
    yield "dates", tuple(dt.date(2020, 1, 1) + dt.timedelta(days=k * k) for k in range(5))
    yield "timedeltas", [dt.timedelta(hours=k) for k in range(5)]
    yield "aware datetimes", [dt.datetime(2020, 1, 1, k, tzinfo=dt.timezone(dt.timedelta(hours=k // 3)))
                              for k in range(0, 10, 3)] + [dt.datetime(2020, 1, 2, tzinfo=dt.timezone.utc)]
    yield "Timestamps with nanoseconds", [pd.Timestamp("2020-01-01") + pd.Timedelta(k * 7, "ns")
                                          for k in range(4)]
    yield "Timedeltas", [pd.Timedelta(k, "D") for k in range(4)]
    yield "datetime64 items", [np.datetime64("2020-01-01") + k for k in range(4)]
    yield "aware Timestamps", [pd.Timestamp("2020-01-01", tz="Asia/Tokyo"), pd.Timestamp("2020-01-02", tz="UTC")]
    yield "object Index of dates", pd.Index([dt.date(2020, 1, k) for k in (1, 2, 5)], dtype=object)
    yield "object array", np.array([dt.date(2020, 1, k) for k in range(1, 5)], dtype=object)
    yield "dates then a number", [dt.date(2020, 1, 1), 3.0]
    yield "durations then a date", [dt.timedelta(1), dt.date(2020, 1, 1)]


CASES = [*_datetime_arrays(), *_pandas_data(), *_object_lists()]


@pytest.mark.parametrize("x", [x for _, x in CASES], ids=[name for name, _ in CASES])
def test_module_reads_times_as_the_tools_do(x):
    n = len(x)
    assert _reading(x, n) == _expected(x, n)


def test_building_from_dates_does_not_load_the_tools():
    code = ("import sys, numpy as np, kestrel_grid\n"
            "x = np.datetime64('2020-01-01') + np.arange(5) * np.timedelta64(1, 'h')\n"
            "g = kestrel_grid.build_graph([1.0, 3.0, 2.0, 5.0, 4.0], x=x)\n"
            "assert (g.x_unit, g.x_origin) == ('h', '2020-01-01'), (g.x_unit, g.x_origin)\n"
            "print('kestrel_grid_tools' in sys.modules)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


def test_a_timezone_aware_series_is_read_as_its_utc_instants():
    # Across a daylight-saving change: the wall clock jumps, the instants do not.
    local = pd.Series(pd.date_range("2021-03-27 22:00", periods=5, freq="h", tz="Europe/Paris"))
    graph = kestrel_grid.build_graph(np.zeros(5), x=local)
    assert [x for x, _ in graph.vertices] == [0.0, 1.0, 2.0, 3.0, 4.0]
    assert (graph.x_unit, graph.x_origin) == ("h", "2021-03-27T21")
    found = time_positions(local)
    assert found.offsets.tolist() == [0.0, 1.0, 2.0, 3.0, 4.0] and found.unit == "h"
