"""One record per series and one options object: every tool reads the same conversion
and reports the same mistake in the same words."""

from __future__ import annotations

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

import kestrel_grid as kg  # noqa: E402
import kestrel_grid_tools as kgt  # noqa: E402
from kestrel_grid_tools import features  # noqa: E402
from kestrel_grid_tools.many import features_frame  # noqa: E402

VALUES = [2.5, 1.2, np.nan, 3.7, 0.4, 2.5, 1.9, 4.1]
DAYS = pd.date_range("2021-03-01", periods=len(VALUES), freq="2D")


def inputs():
    yield "list", VALUES, None
    yield "dated series", pd.Series(VALUES, index=DAYS, name="flow"), None
    yield "numeric index", pd.Series(VALUES, index=np.arange(len(VALUES)) * 1.5), None
    yield "datetime64 x", np.array(VALUES), DAYS.to_numpy()


@pytest.mark.parametrize("name, values, x", list(inputs()), ids=lambda v: v if isinstance(v, str) else "")
@pytest.mark.parametrize("kind", ["natural", "horizontal"])
def test_a_record_gives_what_its_input_gives(name, values, x, kind):
    record = kgt.as_record(values, x)
    assert kgt.as_record(record) is record
    assert kgt.summarize(record, kind, window=3) == kgt.summarize(values, kind, window=3, x=x)
    assert np.array_equal(kgt.degrees(record, kind), kgt.degrees(values, kind, x=x))


def test_a_dated_series_keeps_its_name_unit_and_origin():
    record = kgt.as_record(pd.Series(VALUES, index=DAYS, name="flow"))
    assert (record.label, record.unit, str(record.origin)) == ("flow", "D", "2021-03-01")
    assert record.positions.tolist() == [2.0 * k for k in range(len(VALUES))]
    assert record.dates and record.times()[-1] == np.datetime64("2021-03-15")
    assert record.kept("omit").tolist() == [0, 1, 3, 4, 5, 6, 7]
    assert record.kept("keep") is None


def test_a_record_refuses_second_positions():
    record = kgt.as_record(VALUES)
    with pytest.raises(ValueError) as info:
        kgt.summarize(record, x=DAYS)
    assert str(info.value) == "a Record carries its own positions: give x=None"


def test_options_are_normalised_for_the_workers():
    options = kgt.Options("horizontal", np.bool_(True), np.int64(2), missing="keep",
                          threads=np.int32(2))
    assert (type(options.penetrable), type(options.skip_adjacent)) == (int, bool)
    assert options.build_arguments() == {
        "penetrable": 2, "skip_adjacent": True, "exact": False, "missing": "keep", "decimals": None,
        "threads": 2}


DECIMAL_ENTRIES = {
    "module": lambda d: kg.graph_degrees([0.2, 0.5, 0.8], "natural", decimals=d),
    "summarize": lambda d: kgt.summarize([0.2, 0.5, 0.8], decimals=d),
    "plot": lambda d: kgt.plot_overview([0.2, 0.5, 0.8], decimals=d),
    "features_frame": lambda d: features_frame(np.zeros((1, 3)), decimals=d),
}


@pytest.mark.parametrize("entry", sorted(DECIMAL_ENTRIES))
@pytest.mark.parametrize("value, error, message", [
    (16, ValueError, "decimals must be from 0 to 15, not 16"),
    (1.0, TypeError, "decimals must be None or an int, not float"),
])
def test_a_bad_decimals_reads_the_same_everywhere(entry, value, error, message):
    with pytest.raises(error) as info:
        DECIMAL_ENTRIES[entry](value)
    assert str(info.value) == message


def test_many_series_decide_on_decimals_as_one_series_does():
    rows = {"a": [0.2, 0.5, 0.8, 0.1], "b": [1.1, 2.2, 3.3, 1.0, 2.0]}
    frame = features_frame(rows, decimals=1)
    for name, values in rows.items():
        summary = features.summarize(values, decimals=1)
        assert frame.loc[name, "edges"] == summary["edges"]
    # 0.5 lies on the decimal chord of 0.2 and 0.8, not on the binary one.
    assert frame.loc["a", "edges"] == features_frame(rows, exact=True).loc["a", "edges"] - 1
