"""series_features on a local Dask cluster against a plain loop over features.summarize."""

import math
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from kestrel_grid_tools import MissingExtraError, features, series_features  # noqa: E402
from kestrel_grid_tools.many import features_frame  # noqa: E402

MOTIF = ("motif_mean", "motif_std", "motif_min", "motif_max")
# (kind, skip_adjacent, window, max_degree)
OPTIONS = [
    ("natural", False, None, 32),
    ("natural", True, 4, 3),
    ("horizontal", False, 3, 4),
    ("horizontal", True, None, 2),
]


def make_series(rng, n):
    """Noise, small integers (ties, plateaus) or walks, with NaN and ±inf sprinkled in."""
    shape = rng.integers(3)
    if shape == 0:
        values = rng.normal(size=n)
    elif shape == 1:
        values = rng.integers(0, 4, size=n).astype(float)
    else:
        values = np.cumsum(rng.normal(size=n))
    special = rng.random(n) < 0.05
    values[special] = rng.choice([np.nan, np.inf, -np.inf], size=int(special.sum()))
    return values


def reference(series, index, kind, skip_adjacent, window, top, positions=None, **variant):
    """One summarize / degree_distribution call per series, assembled by hand."""
    rows = []
    for number, values in enumerate(series):
        short = window is not None and np.count_nonzero(~np.isnan(values)) < window
        if positions is not None:
            variant["x"] = positions[number]
        row = features.summarize(values, kind, skip_adjacent, None if short else window, **variant)
        row.pop("kind")
        row.setdefault("iid_distance", math.nan)
        if window is not None:
            row["motif_windows"] = row.pop("windows", 0)
            row.update({name: row.get(name, math.nan) for name in MOTIF})
        deg = features.degrees(values, kind, skip_adjacent, **variant)
        p = features.degree_distribution(deg)[1]
        for k in range(top + 1):
            row[f"p_{k}"] = (p[k] if k < p.size else 0.0) if deg.size else math.nan
        row["p_tail"] = int((deg > top).sum()) / deg.size if deg.size else math.nan
        rows.append(row)
    names = ["samples", "omitted", "edges", "mean_degree", "max_degree", "iid_distance"]
    if window is not None:
        names += ["motif_windows", *MOTIF]
    names += [f"p_{k}" for k in range(top + 1)] + ["p_tail"]
    frame = pd.DataFrame(rows, columns=names, index=index)
    ints = ["samples", "omitted", "edges", "max_degree"] + (
        ["motif_windows"] if window is not None else [])
    return frame.astype({name: np.int64 for name in ints}).astype(
        {name: np.float64 for name in names if name not in ints})


def check(lazy, expected):
    result = lazy.compute().sort_index()
    assert list(lazy._meta.columns) == list(result.columns) == list(expected.columns)
    assert lazy._meta.dtypes.equals(result.dtypes)
    assert lazy._meta.index.dtype == result.index.dtype
    # Dask may store string ids as pyarrow strings and pandas as objects: compare the ids.
    assert result.index.tolist() == expected.index.tolist()
    result.index = expected.index
    pd.testing.assert_frame_equal(result, expected, check_exact=True)


@pytest.fixture(scope="module")
def long_form():
    """300 series of 1 to 60 samples, string ids, tied times, rows in shuffled order."""
    rng = np.random.default_rng(7)
    ids, times, values = [], [], []
    for number in range(300):
        n = [1, 2][number] if number < 2 else int(rng.integers(1, 61))
        ids += [f"s{number:03d}"] * n
        times.append(rng.integers(0, max(1, n // 2), size=n))
        values.append(make_series(rng, n))
    frame = pd.DataFrame({"id": ids, "t": np.concatenate(times), "v": np.concatenate(values)})
    frame = frame.iloc[rng.permutation(len(frame))].reset_index(drop=True)
    # Expected series: each id's values in stable time order of the shuffled rows.
    groups = sorted(frame.groupby("id", sort=True).indices.items())
    series = [frame["v"].to_numpy()[rows[np.argsort(frame["t"].to_numpy()[rows], kind="stable")]]
              for _, rows in groups]
    return frame, series, pd.Index([key for key, _ in groups], name="id")


@pytest.mark.parametrize("kind, skip_adjacent, window, top", OPTIONS)
def test_long_form_matches_plain_loop(client, long_form, kind, skip_adjacent, window, top):
    frame, series, index = long_form
    lazy = series_features(dd.from_pandas(frame, npartitions=5, sort=False), kind, skip_adjacent,
                           window, top, id_column="id", time_column="t", value_column="v")
    check(lazy, reference(series, index, kind, skip_adjacent, window, top))


@pytest.mark.parametrize("gaps", [True, False])
@pytest.mark.parametrize("kind, skip_adjacent, window, top", OPTIONS)
def test_array_matches_plain_loop(client, kind, skip_adjacent, window, top, gaps):
    rng = np.random.default_rng(11)
    rows = np.stack([make_series(rng, 50) for _ in range(240)])
    if not gaps:  # blocks without missing samples go to the module's tables in one call
        rows[np.isnan(rows)] = np.inf
    # Sample-axis chunks force the rechunk to whole rows.
    lazy = series_features(da.from_array(rows, chunks=(70, 20)), kind, skip_adjacent, window, top)
    check(lazy, reference(list(rows), pd.RangeIndex(240, name="series"), kind, skip_adjacent,
                          window, top))


@pytest.mark.parametrize("width", [0, 1, 2])
def test_short_rows_and_chunking_keep_row_numbers(client, width):
    rows = np.random.default_rng(width).normal(size=(9, width))
    lazy = series_features(da.from_array(rows, chunks=(4, -1)), "horizontal", window=2)
    assert lazy.divisions == (0, 4, 8, 8)
    check(lazy, reference(list(rows), pd.RangeIndex(9, name="series"), "horizontal", False, 2, 32))


def test_pandas_numpy_and_eager_forms_agree(client, long_form):
    frame, series, index = long_form
    expected = reference(series, index, "horizontal", False, 2, 5)
    options = dict(kind="horizontal", window=2, max_degree=5, id_column="id", time_column="t",
                   value_column="v")
    check(series_features(frame, **options), expected)
    pd.testing.assert_frame_equal(features_frame(frame, **options), expected, check_exact=True)
    ragged = dict(zip(index, series), empty=np.zeros(0))
    pd.testing.assert_frame_equal(
        features_frame(ragged, **options),
        reference(list(ragged.values()), pd.Index(list(ragged), name="id"), "horizontal", False, 2, 5),
        check_exact=True)
    rows = np.stack([make_series(np.random.default_rng(3), 30) for _ in range(20)])
    check(series_features(rows), features_frame(rows))


@pytest.mark.parametrize("kind, penetrable, exact", [("natural", 1, True), ("horizontal", 2, False)])
def test_positions_and_variants_match_plain_loop(client, kind, penetrable, exact):
    # Epoch-second times with irregular gaps, distinct within each series, rows shuffled.
    rng = np.random.default_rng(21)
    ids, times, values, series, positions = [], [], [], [], []
    for number in range(40):
        n = int(rng.integers(1, 50))
        t = 1.7e9 + np.cumsum(rng.integers(1, 90, size=n)).astype(float)
        v = make_series(rng, n)
        ids += [number] * n
        times.append(t)
        values.append(v)
        series.append(v)
        positions.append(t)
    frame = pd.DataFrame({"series": ids, "time": np.concatenate(times), "value": np.concatenate(values)})
    frame = frame.iloc[rng.permutation(len(frame))].reset_index(drop=True)
    options = dict(kind=kind, max_degree=6, penetrable=penetrable, exact=exact, positions=True)
    expected = reference(series, pd.Index(range(40), name="series"), kind, False, None, 6,
                         positions, penetrable=penetrable, exact=exact)
    check(series_features(dd.from_pandas(frame, npartitions=3, sort=False), **options), expected)
    pd.testing.assert_frame_equal(features_frame(frame, **options), expected, check_exact=True)
    # Datetimes are offsets from each series' first time in its coarsest exact unit: whole
    # seconds here, and days for weekly times over decades (nanoseconds would not be exact).
    stamped = frame.assign(time=pd.to_datetime(frame["time"], unit="s"))
    relative = [t - t[0] for t in positions]
    pd.testing.assert_frame_equal(
        features_frame(stamped, **options),
        reference(series, expected.index, kind, False, None, 6, relative, penetrable=penetrable,
                  exact=exact),
        check_exact=True)
    weeks = [np.cumsum(rng.integers(1, 4, size=len(t))) * 7 for t in positions]
    stamps = {i: np.datetime64("1958-03-29") + w.astype("m8[D]") for i, w in enumerate(weeks)}
    weekly = frame.assign(time=[stamps[i][np.searchsorted(positions[i], t)]
                                for i, t in zip(frame["series"], frame["time"])])
    days = [(w - w[0]).astype(float) for w in weeks]
    pd.testing.assert_frame_equal(
        features_frame(weekly, **options),
        reference(series, expected.index, kind, False, None, 6, days, penetrable=penetrable,
                  exact=exact),
        check_exact=True)
    # A repeated time is found when the series is computed, on the worker.
    lazy = series_features(frame.assign(time=frame["time"].round(-3)), **options)
    with pytest.raises(ValueError, match=r"^series \d+: time .* repeats the time before it; "):
        lazy.compute()


@pytest.mark.parametrize("ids", [
    pytest.param([10, 2, 10, 2, 33, 2], id="ints as objects"),
    pytest.param([1, "1", 1, "1", "a", 1], id="1 and '1'"),
    pytest.param(["b", "a", None, "b", "a", "b"], id="strings, one missing"),
    pytest.param([2.5, 10.0, 2.5, float("nan"), 10.0, 2.5], id="floats, one missing"),
])
def test_pandas_ids_come_back_as_features_frame_gives_them(client, ids):
    frame = pd.DataFrame({
        "series": pd.Series(ids * 3, dtype=object),
        "time": np.arange(18) % 5,
        "value": np.random.default_rng(4).normal(size=18),
    })
    expected = features_frame(frame, kind="horizontal", max_degree=3)
    result = series_features(frame, kind="horizontal", max_degree=3).compute()
    # Same ids of the same Python types in the same order (1 and "1" stay apart).
    assert [(type(i), i) for i in result.index] == [(type(i), i) for i in expected.index]
    pd.testing.assert_frame_equal(result, expected, check_exact=True)


def test_time_column_none_keeps_row_order():
    frame = pd.DataFrame({"series": [1, 2, 1, 1], "value": [3.0, 1.0, 1.0, 2.0]})
    result = features_frame(frame, time_column=None, max_degree=1)
    assert result["edges"].tolist() == [3, 0]


@pytest.mark.parametrize("call, message", [
    (lambda: series_features(pd.DataFrame({"series": [1], "v": [1.0], "time": [0]})),
     "column 'value' not found; available columns: ['series', 'v', 'time']"),
    (lambda: series_features(dd.from_pandas(pd.DataFrame({"id": [1], "time": [0], "value": [1.0]}),
                                            npartitions=1)),
     "column 'series' not found; available columns: ['id', 'time', 'value']"),
    (lambda: features_frame(pd.DataFrame({"c0": [1.0, 2.0]}, index=pd.MultiIndex.from_arrays(
        [[0, 0], [0, 1]], names=["instance", "timepoint"]))),
     "column 'series' not found; available columns: ['c0']; the index holds "
     "['instance', 'timepoint']: data.reset_index() makes them columns"),
    (lambda: features_frame(pd.DataFrame(np.zeros((2, 3)))),
     "column 'series' not found; available columns: [0, 1, 2]; the frame looks wide (one row "
     "per series, one column per sample?): the frames take long form, one row per sample, e.g. "
     "data.rename_axis('series').reset_index().melt(id_vars='series', var_name='time', "
     "value_name='value')"),
    (lambda: series_features(da.zeros((2, 3, 4))),
     "a series array must be two-dimensional (series, samples), got shape (2, 3, 4)"),
    (lambda: series_features(np.zeros(3)),
     "a series array must be two-dimensional (series, samples), got shape (3,)"),
    (lambda: series_features(np.zeros((2, 3)), kind="directed"),
     "kind must be 'natural' or 'horizontal', not 'directed'"),
    (lambda: series_features(np.zeros((2, 3)), window=0),
     "window must be >= 1, not 0"),
    (lambda: series_features(np.zeros((2, 3)), max_degree=-1),
     "max_degree must be >= 0, not -1"),
    (lambda: series_features(np.zeros((2, 3)), penetrable=-1),
     "penetrable must be >= 0, not -1"),
    (lambda: features_frame(np.zeros((2, 3)), window=3, penetrable=1),
     "motif scores have no penetrable variant: give window or penetrable=1, not both"),
    (lambda: series_features(np.zeros((2, 3)), positions=True),
     "positions=True needs long-form data with a time column; arrays and mappings have no positions"),
    (lambda: features_frame(pd.DataFrame({"series": [1], "value": [1.0]}), time_column=None, positions=True),
     "positions=True takes the positions from the time column: give time_column"),
    (lambda: features_frame(pd.DataFrame({"series": ["a", "b", "b"], "time": [1.0, 2.0, 2.0],
                                          "value": [1.0, 2.0, 3.0]}), positions=True),
     "series 'b': time 2.0 (as a position) repeats the time before it; "
     "positions=True needs distinct, finite times in every series"),
    (lambda: features_frame(pd.DataFrame({"series": [7, 7], "time": [1.0, None], "value": [1.0, 2.0]}),
                            positions=True),
     "series 7: time nan (as a position) is not finite; "
     "positions=True needs distinct, finite times in every series"),
])
def test_refusals(call, message):
    with pytest.raises(ValueError) as error:
        call()
    assert str(error.value) == message


def test_missing_extra_names_dask(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(MissingExtraError) as error:
        series_features(np.zeros((2, 3)))
    assert str(error.value) == ("series_features needs pandas, which is not installed; "
                                "install it with: python -m pip install pandas (or, in a checkout of "
        "kestrel-grid, its dask extra: python -m pip install '.[dask]')")
