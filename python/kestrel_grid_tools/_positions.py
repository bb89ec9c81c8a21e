"""Dates and times as sample positions.

Timestamps become integer offsets from the first one, in the coarsest unit (day, hour,
minute, second, millisecond, microsecond, nanosecond) that represents every timestamp
exactly, so that the positions are exact doubles and the graph is decided on the real
spacing of the samples. Offsets beyond 2**53 in that unit are refused: a double would no
longer hold them exactly.
"""

from __future__ import annotations

import datetime as _dt
from dataclasses import dataclass
from typing import Any, Optional, Sequence, Tuple

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

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
            times; ``None`` for plain numbers.
        origin: the first timestamp (``numpy.datetime64``, UTC for times with an offset)
            or the first duration (``numpy.timedelta64``); ``None`` for plain numbers.
    """

    offsets: FloatArray
    unit: Optional[str] = None
    origin: Any = None

    def times(self) -> Any:
        """The positions as ``numpy.datetime64`` / ``numpy.timedelta64`` again (for axes
        and outputs); the offsets themselves for plain numbers."""
        if self.unit is None:
            return self.offsets
        return self.origin + self.offsets.astype(np.int64).astype(f"m8[{self.unit}]")


def _is_time(item: Any) -> bool:
    return isinstance(item, (_dt.date, _dt.timedelta, np.datetime64, np.timedelta64)) or (
        type(item).__name__ in ("Timestamp", "Timedelta"))


def _time_array(x: Any) -> Optional[npt.NDArray[Any]]:
    """x as a datetime64 or timedelta64 array when it holds times, else None."""
    dtype = getattr(x, "dtype", None)
    kind = getattr(dtype, "kind", None)
    if kind in ("M", "m"):
        tz = getattr(dtype, "tz", None)
        if tz is not None:  # timezone-aware pandas data: the same instants in UTC
            x = x.tz_convert("UTC").tz_localize(None) if hasattr(x, "tz_convert") else (
                x.dt.tz_convert("UTC").dt.tz_localize(None))
        return np.asarray(x.to_numpy() if hasattr(x, "to_numpy") else x)
    if isinstance(x, (str, bytes)) or not hasattr(x, "__len__") or len(x) == 0:
        return None
    items: Sequence[Any] = x if isinstance(x, (list, tuple)) else list(x)
    if not _is_time(items[0]):
        return None
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


def time_positions(x: Any) -> Optional[Positions]:
    """Positions from times, or None when x holds no times (plain numbers).

    Accepts numpy ``datetime64`` and ``timedelta64`` arrays of any unit, pandas
    ``DatetimeIndex``, ``TimedeltaIndex`` and datetime Series (timezone-aware ones as
    UTC instants), and sequences of ``datetime.datetime``, ``datetime.date``,
    ``datetime.timedelta``, ``pandas.Timestamp`` or ``numpy.datetime64``.

    Raises:
        ValueError: a missing time (NaT), or an offset beyond 2**53 in the chosen unit.
        TypeError: times mixed with other objects.
    """
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
    counts = offsets // size
    too_far = np.flatnonzero(np.abs(counts) > _EXACT)
    if too_far.size:
        k = int(too_far[0])
        raise ValueError(f"x[{k}] lies {int(counts[k])} {unit} from x[0]: beyond 2**53, "
                         "which a double does not hold exactly")
    return Positions(counts.astype(np.float64), unit, _exact_origin(origin, base, base_ns))


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
    """``x`` as given; for a pandas Series without ``x``, its index when that holds times
    or strictly increasing numbers (other indexes leave the sample order, ``None``)."""
    if x is not None or not hasattr(values, "iloc"):
        return x
    index = getattr(values, "index", None)
    kind = getattr(getattr(index, "dtype", None), "kind", None)
    if kind in ("M", "m"):
        return index
    if kind in ("i", "u", "f") and index is not None and index.is_unique and index.is_monotonic_increasing:
        numbers = np.asarray(index, dtype=np.float64)
        if not np.array_equal(numbers, np.arange(numbers.size, dtype=np.float64)):
            return numbers
    return None
