"""Dates, times and periods as sample positions.

Timestamps become integer offsets from the first one, in the coarsest unit (day, hour,
minute, second, millisecond, microsecond, nanosecond) that represents every timestamp
exactly, so that the positions are exact doubles and the graph is decided on the real
spacing of the samples. Periods (pandas ``Period``: months, quarters, weeks, ...) are
counted in their own frequency: a month is one step, whatever its number of days.
Offsets beyond 2**53 in their unit are refused: a double would no longer hold them
exactly.
"""

from __future__ import annotations

import datetime as _dt
import re
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

# Units from the coarsest, with their length in nanoseconds.
UNITS: Tuple[Tuple[str, int], ...] = (
    ("D", 86_400 * 10**9), ("h", 3_600 * 10**9), ("m", 60 * 10**9), ("s", 10**9),
    ("ms", 10**6), ("us", 10**3), ("ns", 1),
)
_EXACT = 2**53


@dataclass(frozen=True)
class Positions:
    """Sample positions as exact doubles, with what they count.

    Attributes:
        offsets: float64 offsets (integers in ``unit``) from ``origin``, or the plain
            numbers given when they were no times.
        unit: ``"D"``, ``"h"``, ``"m"``, ``"s"``, ``"ms"``, ``"us"`` or ``"ns"`` for
            times; for periods their frequency without its multiple (``"M"``,
            ``"Q-DEC"``, ``"W-SUN"``, ...; ``"M"`` also for year-months read from text);
            ``None`` for plain numbers.
        origin: the first timestamp (``numpy.datetime64``, UTC for times with an offset),
            the first duration (``numpy.timedelta64``) or the first period
            (``pandas.Period``, or ``numpy.datetime64`` in months for year-months read
            from text); ``None`` for plain numbers.
    """

    offsets: FloatArray
    unit: Optional[str] = None
    origin: Any = None

    def times(self) -> Any:
        """The positions as ``numpy.datetime64`` / ``numpy.timedelta64`` again, or as a
        pandas ``PeriodIndex`` for periods (for axes and outputs); the offsets
        themselves for plain numbers."""
        if self.unit is None:
            return self.offsets
        return times_at(self.offsets, self.unit, self.origin)


def times_at(offsets: FloatArray, unit: str, origin: Any) -> Any:
    """The times at integer ``offsets`` in ``unit`` from ``origin``: ``datetime64`` or
    ``timedelta64`` values, or a pandas ``PeriodIndex`` when ``origin`` is a period."""
    steps = offsets.astype(np.int64)
    if is_period(origin):
        import pandas as pd

        ordinals = origin.ordinal + steps
        from_ordinals = getattr(pd.PeriodIndex, "from_ordinals", None)
        if from_ordinals is None:  # pandas before 2.2
            return pd.PeriodIndex(ordinal=ordinals, freq=origin.freq)
        return from_ordinals(ordinals, freq=origin.freq)
    return origin + steps.astype(f"m8[{unit}]")


def is_period(item: Any) -> bool:
    """Whether ``item`` is a ``pandas.Period``."""
    return type(item).__name__ == "Period"


def has_periods(x: Any) -> bool:
    """Whether ``x`` is pandas data of a period dtype (a ``PeriodIndex``, a Series or
    array of periods)."""
    return type(getattr(x, "dtype", None)).__name__ == "PeriodDtype"


def _is_time(item: Any) -> bool:
    return isinstance(item, (_dt.date, _dt.timedelta, np.datetime64, np.timedelta64)) or (
        type(item).__name__ in ("Timestamp", "Timedelta"))


def _first_item(x: Any) -> Any:
    """The first item of a non-empty sequence that may hold objects (times, periods), or
    None for anything else: numbers, text, an empty sequence."""
    kind = getattr(getattr(x, "dtype", None), "kind", "O")
    if kind != "O" or isinstance(x, (str, bytes)) or not hasattr(x, "__len__") or len(x) == 0:
        return None
    return x[0] if isinstance(x, (list, tuple)) else next(iter(x))


def _time_array(x: Any) -> Optional[npt.NDArray[Any]]:
    """x as a datetime64 or timedelta64 array when it holds times, else None."""
    dtype = getattr(x, "dtype", None)
    kind = getattr(dtype, "kind", None)
    if kind in ("M", "m"):
        tz = getattr(dtype, "tz", None)
        if tz is not None:  # timezone-aware pandas data: the same instants in UTC
            # A Series through .dt (its own tz_convert converts its index).
            x = x.dt.tz_convert("UTC").dt.tz_localize(None) if hasattr(x, "dt") else (
                x.tz_convert("UTC").tz_localize(None))
        return np.asarray(x.to_numpy() if hasattr(x, "to_numpy") else x)
    if not _is_time(_first_item(x)):
        return None
    items: Sequence[Any] = x if isinstance(x, (list, tuple)) else list(x)
    if isinstance(items[0], (_dt.timedelta, np.timedelta64)) or type(items[0]).__name__ == "Timedelta":
        return np.array([np.timedelta64(_as_timedelta(t), "us") if not isinstance(t, np.timedelta64)
                         else t for t in items], dtype="m8[ns]")
    return np.array([_as_datetime64(t, k) for k, t in enumerate(items)], dtype="M8[ns]")


def _as_timedelta(t: Any) -> int:
    if not isinstance(t, _dt.timedelta):
        raise TypeError(f"x mixes durations with {type(t).__name__}")
    return (t.days * 86_400 + t.seconds) * 10**6 + t.microseconds


def _as_datetime64(t: Any, k: int) -> Any:
    if isinstance(t, np.datetime64):
        return t
    if isinstance(t, _dt.datetime):
        if t.tzinfo is not None:
            offset = t.utcoffset()
            t = t.replace(tzinfo=None) - (offset if offset is not None else _dt.timedelta(0))
        nanos = getattr(t, "nanosecond", 0)  # pandas.Timestamp
        return np.datetime64(t.replace(tzinfo=None), "us") + np.timedelta64(nanos, "ns")
    if isinstance(t, _dt.date):
        return np.datetime64(t, "D")
    raise TypeError(f"x[{k}] is a {type(t).__name__}, not a time like the samples before it")


def _period_index(x: Any) -> Any:
    """x as a pandas ``PeriodIndex`` when it holds periods, else None."""
    if not has_periods(x):
        if not is_period(_first_item(x)):
            return None
        items: Sequence[Any] = x if isinstance(x, (list, tuple)) else list(x)
        for k, item in enumerate(items):
            if not is_period(item):
                raise TypeError(f"x[{k}] is a {type(item).__name__}, not a period like the samples before it")
            if item.freq != items[0].freq:
                raise ValueError(f"x[{k}] is a period of frequency {item.freqstr}, "
                                 f"unlike x[0] ({items[0].freqstr})")
        x = items
    import pandas as pd

    return pd.PeriodIndex(x)


def _period_positions(index: Any) -> Positions:
    """Periods as their ordinals' offsets from the first, counted in their frequency (a
    ``2M`` index counts months: its ordinals step by two)."""
    unit = re.sub(r"^\d+", "", index.freqstr)
    if len(index) == 0:
        return Positions(np.zeros(0, dtype=np.float64), unit, None)
    missing = np.flatnonzero(np.asarray(index.isna()))
    if missing.size:
        raise ValueError(f"x[{int(missing[0])}] is not a time (NaT)")
    ordinals = np.asarray(index.asi8, dtype=np.int64)
    return Positions(_exact(ordinals - ordinals[0], unit), unit, index[0])


def _exact(counts: IntArray, unit: str) -> FloatArray:
    """Integer offsets as doubles; one beyond 2**53 raises ValueError."""
    too_far = np.flatnonzero(np.abs(counts) > _EXACT)
    if too_far.size:
        k = int(too_far[0])
        raise ValueError(f"x[{k}] lies {int(counts[k])} {unit} from x[0]: beyond 2**53, "
                         "which a double does not hold exactly")
    return counts.astype(np.float64)


def month_positions(months: npt.NDArray[Any]) -> Positions:
    """Year-months (a ``datetime64[M]`` array, as numpy reads ``1949-01``) counted in
    months from the first: calendar months are periods, one step each, not dates."""
    missing = np.flatnonzero(np.isnat(months))
    if missing.size:
        raise ValueError(f"x[{int(missing[0])}] is not a time (NaT)")
    if months.size == 0:
        return Positions(np.zeros(0, dtype=np.float64), "M", None)
    return Positions(_exact((months - months[0]).astype(np.int64), "M"), "M", months[0])


def time_positions(x: Any) -> Optional[Positions]:
    """Positions from times, or None when x holds no times (plain numbers).

    Accepts numpy ``datetime64`` and ``timedelta64`` arrays of any unit, pandas
    ``DatetimeIndex``, ``TimedeltaIndex`` and datetime Series (timezone-aware ones as
    UTC instants), and sequences of ``datetime.datetime``, ``datetime.date``,
    ``datetime.timedelta``, ``pandas.Timestamp`` or ``numpy.datetime64``. Periods (a
    pandas ``PeriodIndex``, a Series of periods, a sequence of ``pandas.Period`` of one
    frequency) are counted in their frequency: the offsets are their ordinals from the
    first, the unit is the frequency (``"M"``, ``"Q-DEC"``, ...) and the origin the
    first period.

    Raises:
        ValueError: a missing time (NaT), an offset beyond 2**53 in the chosen unit, or
            periods of different frequencies.
        TypeError: times or periods mixed with other objects.
    """
    periods = _period_index(x)
    if periods is not None:
        return _period_positions(periods)
    array = _time_array(x)
    if array is None:
        return None
    if array.ndim != 1:
        raise ValueError(f"positions must be one-dimensional, got shape {array.shape}")
    if array.size == 0:
        return Positions(np.zeros(0, dtype=np.float64), "s", None)
    missing = np.flatnonzero(np.isnat(array))
    if missing.size:
        raise ValueError(f"x[{int(missing[0])}] is not a time (NaT)")
    base, _ = np.datetime_data(array.dtype)
    if base in ("Y", "M", "W"):  # calendar units: exact days
        array = array.astype("M8[D]" if array.dtype.kind == "M" else "m8[D]")
        base = "D"
    base_ns = dict(UNITS)[base] if base in dict(UNITS) else None
    if base_ns is None:
        raise ValueError(f"positions in unit {base!r} are not supported")
    origin = array[0]
    # Differences in the array's own unit: exact int64 (numpy keeps the unit).
    offsets = (array - origin).astype(np.int64)
    unit, size = base, 1
    for name, length in UNITS:
        if length < base_ns or length % base_ns:
            continue
        step = length // base_ns
        if not np.any(offsets % step):
            unit, size = name, step
            break
    return Positions(_exact(offsets // size, unit), unit, _exact_origin(origin, base, base_ns))


def _exact_origin(origin: Any, base: str, base_ns: int) -> Any:
    """``origin`` in the coarsest unit that holds it exactly: whole days when it is a
    midnight, else hours, ... (its own unit at worst). The offsets' unit may be coarser
    (days after 06:00), so the origin keeps its own."""
    ticks = int(origin.astype(np.int64))
    for name, length in UNITS:
        if length >= base_ns and length % base_ns == 0 and ticks % (length // base_ns) == 0:
            return origin.astype(f"{origin.dtype.kind}8[{name}]")
    return origin.astype(f"{origin.dtype.kind}8[{base}]")


def positions_or_none(x: Any) -> Optional[Positions]:
    """Positions of any x the tools take: times (see :func:`time_positions`), plain
    numbers, or None for ``0, 1, 2, ...``."""
    if x is None:
        return None
    found = time_positions(x)
    if found is not None:
        return found
    return Positions(np.asarray(x, dtype=np.float64))


def date_offsets(x: Any) -> Optional[FloatArray]:
    """For the module's builders: the float64 offsets when x holds times, else None."""
    found = time_positions(x)
    return None if found is None else found.offsets


def implied_positions(values: Any, x: Any) -> Any:
    """``x`` as given; for a pandas Series without ``x``, its index when that holds times,
    periods or strictly increasing numbers; ``None`` (the sample order) for an empty
    index or one of numbers that repeat or do not increase (a default index after
    ``pd.concat``, say).

    Raises:
        TypeError: an index that holds no positions (text, categories, intervals, a
            MultiIndex, booleans, objects other than times): the samples are not placed
            at 0, 1, 2, ... in silence.
    """
    if x is not None or not hasattr(values, "iloc"):
        return x
    index = getattr(values, "index", None)
    if index is None or len(index) == 0:
        return None
    kind = getattr(getattr(index, "dtype", None), "kind", None)
    if kind in ("M", "m") or has_periods(index):
        return index
    if getattr(index, "nlevels", 1) > 1:
        raise TypeError(_no_positions(f"a {index.nlevels}-level MultiIndex"))
    if kind in ("i", "u", "f"):
        if index.is_unique and index.is_monotonic_increasing:
            numbers = np.asarray(index, dtype=np.float64)
            if not np.array_equal(numbers, np.arange(numbers.size, dtype=np.float64)):
                return numbers
        return None
    name = type(index).__name__
    first = _first_item(index) if name == "Index" else None
    if _is_time(first) or is_period(first):  # an object index of dates or periods
        return index
    raise TypeError(_no_positions(f"an index of {index.dtype}" if name == "Index" else name))


def _no_positions(what: str) -> str:
    return (f"the Series' index ({what}) holds no sampling positions: pass x= with the "
            "positions (x=pd.to_datetime(s.index) for dates written as text), or "
            "s.reset_index(drop=True) to place the samples at 0, 1, 2, ...")
