"""One series as every tool receives it: values, positions, label and written decimals.

Each input (a list, a numpy array, a pandas Series, a column of a text file, a row of a
dask partition) is turned into a :class:`Record` once; summaries, features, plots, the
outputs of the command line and the many-series frames all read that record, so the
conversions (times to offsets, a pandas index to positions) happen once per series."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, Optional

import numpy as np
import numpy.typing as npt

from ._graphs import FloatArray, IntArray, as_series
from ._options import MAX_DECIMALS
from ._positions import implied_positions, is_period, time_positions, times_at

BoolArray = npt.NDArray[np.bool_]


@dataclass(frozen=True)
class Record:
    """One series with what is known about it.

    Attributes:
        values: The samples, float64, missing ones NaN (every sample, present or not).
        positions: The sampling positions as exact doubles, ``None`` for ``0, 1, 2, ...``.
            For times, integer offsets in ``unit`` from ``origin``.
        unit: For times, the unit the offsets count (``"D"``, ``"h"``, ``"m"``, ``"s"``,
            ``"ms"``, ``"us"``, ``"ns"``; for periods their frequency, ``"M"``,
            ``"Q-DEC"``, ...); ``None`` otherwise.
        origin: For times, the first one (``numpy.datetime64`` or ``timedelta64``, or
            ``pandas.Period`` for periods).
        label: The series' name (a pandas Series' name, ``file:column`` on the command
            line), or ``""``.
        places: For values read from text, the most decimal places among their cells;
            ``None`` when the values have no written form.
    """

    values: FloatArray
    positions: Optional[FloatArray] = None
    unit: Optional[str] = None
    origin: Any = None
    label: str = ""
    places: Optional[int] = None

    @property
    def missing(self) -> BoolArray:
        """Which samples are missing (NaN)."""
        return np.isnan(self.values)

    def kept(self, missing: str) -> Optional[IntArray]:
        """Indices of the samples a build with ``missing`` keeps, or ``None`` when it
        keeps them all (nothing is missing, or ``missing`` is not ``"omit"``)."""
        if missing != "omit":
            return None
        present = ~self.missing
        if present.all():
            return None
        return np.flatnonzero(present).astype(np.int64)

    def present(self, missing: str) -> FloatArray:
        """The values a build with ``missing`` keeps, in order."""
        kept = self.kept(missing)
        return self.values if kept is None else self.values[kept]

    @property
    def dates(self) -> bool:
        """Whether the positions are dates or periods (not durations or plain numbers)."""
        origin = self.origin
        return origin is not None and (is_period(origin) or np.asarray(origin).dtype.kind == "M")

    def times(self) -> Any:
        """The positions as ``datetime64`` / ``timedelta64`` values for times (a pandas
        ``PeriodIndex`` for periods), else the positions (or ``0, 1, 2, ...``) as
        float64."""
        if self.positions is None:
            return np.arange(self.values.size, dtype=np.float64)
        if self.unit is None or self.origin is None:
            return self.positions
        return times_at(self.positions, self.unit, self.origin)

    def time_fields(self) -> Dict[str, str]:
        """``x_unit`` and ``x_origin`` for outputs, when the positions are times."""
        if self.unit is None or self.origin is None:
            return {}
        return {"x_unit": self.unit, "x_origin": str(self.origin)}

    def recorded_decimals(self) -> Optional[int]:
        """The ``decimals=`` argument that decides this series exactly on its values as
        written: :attr:`places`, when it is at most 15 and every value scaled by
        ``10**places`` has at most 15 digits (the module's limit); ``None`` when the
        values have no written form, need more digits, or hold an infinity."""
        places = self.places
        if places is None or places > MAX_DECIMALS:
            return None
        # fmax/fmin skip NaN without copying the values (a copy would double the
        # memory of a long series); all missing leaves -inf.
        largest = max(float(np.fmax.reduce(self.values, initial=-math.inf)),
                      -float(np.fmin.reduce(self.values, initial=math.inf)))
        if math.isnan(largest) or largest == -math.inf:
            return places
        # Decimals with at most 15 digits round to distinct doubles in order, so the
        # largest written value is below 10**(15 - places) exactly when its double is.
        return places if largest < 10.0 ** (MAX_DECIMALS - places) else None


def as_record(values: Any, x: Any = None, *, label: Optional[str] = None) -> Record:
    """The record of ``values`` at positions ``x``.

    ``x`` as the tools take it: ``None`` for ``0, 1, 2, ...`` (for a pandas Series, its
    index when that holds times, periods or strictly increasing numbers; an index that
    holds no positions, such as text, raises TypeError), numbers, or times (turned into
    integer offsets from the first in the coarsest exact unit; periods counted in their
    frequency). A record is returned as it is; it carries its own positions, so ``x``
    must then be ``None``. The label defaults to a pandas Series' name when that is
    text."""
    if isinstance(values, Record):
        if x is not None:
            raise ValueError("a Record carries its own positions: give x=None")
        return values
    if label is None:
        name = getattr(values, "name", None) if hasattr(values, "iloc") else None
        label = name if isinstance(name, str) else ""
    x = implied_positions(values, x)
    series = as_series(values)
    if x is None:
        return Record(series, label=label)
    found = time_positions(x)
    if found is None:
        return Record(series, as_series(x), label=label)
    return Record(series, found.offsets, found.unit, found.origin, label=label)
