"""Visibility graphs of series that arrive in pieces or do not fit in memory.

The horizontal rule (``HorizontalStream``, ``horizontal_out_of_core``,
``horizontal_dask``) keeps little of the past; the natural rule (``NaturalStream``,
``natural_out_of_core``, ``natural_dask``) keeps every sample, since a high enough later
sample sees any earlier one.

Few earlier samples can still be seen from a sample yet to come:

* the records: non-NaN samples strictly above every non-NaN sample after them. Any other
  non-NaN sample k has a later record r with v[r] >= v[k]; a pair that passes over k to
  a later sample also passes over r, which blocks it whenever k would. So the pairs from
  the past into a new piece are those of the horizontal graph of [records..., piece],
  which the module builds; the rule compares values only, so leaving the other samples
  out changes nothing else.
* the NaN samples: they never block, and a NaN end gives way to the other end, so a NaN
  sees a later sample j exactly when no non-NaN sample between is >= v[j] (always, when
  v[j] is NaN too). They are joined to a new piece by that rule directly.

The state is the records and the NaN samples with their degrees so far: O(r + q) for r
records and q NaN samples (r is about ln n for independent noise, n for a falling series).
Every other sample's degree is final once the piece holding it has been joined.
"""

from __future__ import annotations

import contextlib
import math
import mmap
import os
import re
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO, Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

import kestrel_grid

from ._optional import require
from ._options import check_bool, check_decimals, check_int, check_missing

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]

_EMPTY_EDGES = np.empty((0, 2), dtype=np.int64)
_EMPTY_INTS = np.empty(0, dtype=np.int64)


class StreamUpdate(kestrel_grid._StreamUpdate):
    """What one ``append`` or ``extend`` added to the graph:
    ``StreamUpdate(edges, positions, degrees, settled)``.

    ``edges`` holds the new edges as ``(low, high)`` rows of whole-stream positions in
    ascending order, as the whole-series builders give them; every ``high`` is a sample
    of this call.
    ``positions`` (ascending) are the samples whose degree changed or became final in
    this call, ``degrees`` their degree now, and ``settled`` tells which of them can gain
    no further edge, whatever is appended later. A horizontal stream's update makes these
    arrays when they are first read."""

    __slots__ = ()

    if TYPE_CHECKING:
        def __init__(self, edges: IntArray, positions: IntArray, degrees: IntArray,
                     settled: npt.NDArray[np.bool_]) -> None: ...
        @property
        def edges(self) -> IntArray: ...
        @property
        def positions(self) -> IntArray: ...
        @property
        def degrees(self) -> IntArray: ...
        @property
        def settled(self) -> npt.NDArray[np.bool_]: ...


def _as_piece(values: Any) -> FloatArray:
    piece = np.asarray(values, dtype=np.float64)
    if piece.ndim == 0:
        piece = piece.reshape(1)
    if piece.ndim != 1:
        raise ValueError(f"a piece of a series must be 1-d, not {piece.ndim}-d")
    return np.ascontiguousarray(piece)


def _prefix_max_before(piece: FloatArray) -> FloatArray:
    """For each j, the largest non-NaN sample before j in the piece; NaN when none."""
    before = np.empty_like(piece)
    before[0] = np.nan
    if len(piece) > 1:
        np.fmax.accumulate(piece[:-1], out=before[1:])
    return before


def _suffix_max_after(piece: FloatArray) -> FloatArray:
    """For each j, the largest non-NaN sample after j in the piece; NaN when none."""
    after = np.empty_like(piece)
    after[-1] = np.nan
    if len(piece) > 1:
        after[:-1] = np.fmax.accumulate(piece[:0:-1])[::-1]
    return after


def _records(piece: FloatArray) -> npt.NDArray[np.bool_]:
    """Which samples of the piece are records: non-NaN and strictly above every later
    non-NaN sample of it."""
    return ~np.isnan(piece) & ~(_suffix_max_after(piece) >= piece)


class _Locked:
    """A stream's calls are serialised by its lock; it pickles without the lock."""

    _lock: threading.Lock

    def _pickled(self) -> Dict[str, Any]:
        return dict(self.__dict__)

    def __getstate__(self) -> Dict[str, Any]:
        with self._lock:
            state = self._pickled()
        del state["_lock"]
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()


class HorizontalStream:
    """Horizontal visibility graph of a series that grows: ``append`` or ``extend``
    samples and get the new edges and degree changes; at every point the edges given so
    far are those of ``horizontal_visibility_edge_array`` on everything appended (and
    ``build_graph(..., kind="horizontal", missing="keep")``), bit for bit.

    Memory: the records (samples above every later non-NaN sample) and the NaN samples,
    with their degrees; each call also holds its own piece and new edges. Each call is
    one native step that nothing else on the stream interleaves with, so one stream may
    be shared between threads. A stream pickles with its state, so a monitor can stop and
    resume it."""

    def __init__(self, *, skip_adjacent: bool = False) -> None:
        self._state = kestrel_grid._HorizontalStreamState(
            check_bool("skip_adjacent", skip_adjacent), StreamUpdate)

    @property
    def skip_adjacent(self) -> bool:
        return self._state.skip_adjacent

    def __len__(self) -> int:
        return len(self._state)

    @property
    def pending(self) -> IntArray:
        """Positions of the samples that later samples may still see (ascending)."""
        positions: IntArray = self._state.pending()[0]
        return positions

    def pending_degrees(self) -> Tuple[IntArray, IntArray]:
        """``(positions, degrees)`` of the pending samples, ascending by position."""
        return self._state.pending()

    def append(self, value: float) -> StreamUpdate:
        """Appends one sample."""
        update: StreamUpdate = self._state.append(value)
        return update

    def extend(self, values: Any, *, edges: bool = True) -> StreamUpdate:
        """Appends the samples of a 1-d sequence or array, in order. With
        ``edges=False`` the new edges are not listed (``edges`` of the update is empty)
        and the degrees are counted directly, in time and memory independent of them."""
        update: StreamUpdate = self._state.extend(_as_piece(values), edges=bool(edges))
        return update

    def __repr__(self) -> str:
        return (f"HorizontalStream(samples={len(self._state)}, "
                f"pending={self._state.pending_count})")


# --- the natural rule ----------------------------------------------------------------------

# Room above the piece's top for the float rule's line value: relative and absolute.
_LINE_ROOM = 2.0 ** -48
_LINE_FLOOR = 2.0 ** -1060
_TAME = 2.0 ** 1000  # values below this in size have finite differences
_INTEGER = 2.0 ** 52
_NEAR = 32  # earlier samples tried as blockers of a record above the piece
_BLOCK = 1024  # records tried at once
_SPREAD = 256  # records tried as blockers
_DENSE = 8  # low ends closer together than this on average are not tried
_STRETCH = 1 << 16  # earlier samples given the first test at once
_HELD_EDGES = 1 << 24  # a stream's stretches built whole: 256 MiB of edges
_HELD_EDGES_OUT_OF_CORE = 1 << 21  # and when writing edges from a source: 32 MiB
_INDEX = re.compile(r"\b(time_series|x)\[(\d+)\]")


def _stretch_start(values: FloatArray, records: IntArray, piece: FloatArray,
                   at: Callable[[Any], Any], first: float, last: float,
                   margin_free: bool, largest: float) -> int:
    """The first finite earlier sample that may see a non-NaN sample of ``piece``
    (appended after ``values``, at positions ``first`` to ``last``); no finite sample
    before it does, under the float rule, the exact rule, recorded decimals or any
    positions. len(values) when none may. ``records`` are the positions of the samples
    strictly above every later non-NaN sample, ``at`` gives positions, ``largest`` is the
    largest finite |value|.

    Finite ends a and b draw a line whose value at each sample between is at most
    max(v[a], v[b]), and at most v[a] when v[b] < v[a]: the exact line lies between its
    ends; the float line fl(fl(q r) + v[a]) has 0 <= q <= 1 (fl of a ratio of two ordered
    differences), so it is at most fl(0 + v[a]) when r = fl(v[b] - v[a]) < 0, and at most
    fl(r + v[a]), within 2u (|v[a]| + |v[b]|) of v[b], when r >= 0 (v[b] itself when r is
    exact). So a finite sample c after a blocks a from every finite b of the piece when
    v[c] >= v[a] > top (the piece's largest non-NaN sample), or v[c] >= top + room >= v[a]
    with room = 2^-48 (|v[a]| + |top|) + 2^-1060, or no room for the exact rule, for
    recorded decimals (distinct decimals of 15 digits are distinct doubles, in the same
    order) and for integers below 2^52 (their differences are exact). A +inf sample
    blocks every pair of a finite low end but a NaN high, a -inf high end is blocked by
    any sample that is not NaN, and values below 2^1000 in size keep r finite.

    Before the last sample at or above top + room only the records above it can pass
    that test. Those that do, when spread out, are tried against the line itself
    (_blocked_near); a dense run of them starts the stretch."""
    present = piece[~np.isnan(piece)]
    top = float(present.max()) if len(present) else -np.inf
    if np.isfinite(top) and max(abs(top), largest) > _TAME:
        return 0
    room = 0.0 if margin_free else _LINE_ROOM * (largest + abs(top)) + _LINE_FLOOR
    # The last record at or above top + room is the last sample that high.
    higher = int(np.searchsorted(-values[records], -(top + room), side="right"))
    region = int(records[higher - 1]) if higher else 0
    far = records[:max(higher - 1, 0)]
    far = far[np.isfinite(values[far])]
    finite = present[np.isfinite(present)]
    refine = bool(np.isfinite(top) and len(finite))
    low = float(finite.min()) if refine else 0.0
    for lows in _candidates(values, records, far, region, top, margin_free):
        if not refine:
            return int(lows[0])
        if lows[-1] - lows[0] < _DENSE * len(lows):
            return int(lows[0])  # building the stretch costs less than trying them
        blocked = _blocked_near(values, records, at, first, last, lows, top, low)
        if not blocked.all():
            return int(lows[np.argmin(blocked)])
    return len(values)


def _candidates(values: FloatArray, records: IntArray, far: IntArray, region: int, top: float,
                margin_free: bool) -> Iterator[IntArray]:
    """The samples that pass the first test, leftmost first, in blocks of at most _BLOCK:
    the records before ``region``, then those from ``region`` on, found a stretch at a
    time (memory for one stretch, whatever the distance to the end)."""
    for block in range(0, len(far), _BLOCK):
        yield far[block:block + _BLOCK]
    n = len(values)
    for lo in range(region, n, _STRETCH):
        hi = min(lo + _STRETCH, n)
        part = values[lo:hi]
        # The largest non-NaN sample after the stretch is the first record after it.
        after_index = int(np.searchsorted(records, hi))
        beyond = values[records[after_index]] if after_index < len(records) else np.nan
        after = np.fmax(_suffix_max_after(part), beyond)  # NaN: nothing after blocks
        room = 0.0 if margin_free else _LINE_ROOM * (np.abs(part) + abs(top)) + _LINE_FLOOR
        with np.errstate(invalid="ignore"):
            reach = np.where(part > top, part, top + room)
            free = lo + np.flatnonzero(np.isfinite(part) & ~(after >= reach))
        for block in range(0, len(free), _BLOCK):
            yield free[block:block + _BLOCK]


def _blocked_near(values: FloatArray, records: IntArray, at: Callable[[Any], Any],
                  first: float, last: float, lows: IntArray, top: float,
                  low: float) -> npt.NDArray[np.bool_]:
    """Whether a later sample among the last _NEAR earlier ones and the records after
    lows[0] (up to _SPREAD of them) blocks each finite low end in ``lows`` from every finite sample of the
    piece (values from ``low`` to ``top`` at positions from ``first`` to ``last``).

    The exact line from a to b at c is v[a] t + v[b] (1 - t), t = (x[b] - x[c]) /
    (x[b] - x[a]), with t growing with x[b]: at most top + (v[a] - top) T, with T the
    largest t (at x[b] = last) when v[a] > top and the smallest (x[b] = first) otherwise.
    The float line lies within 16u (|v[a]| + |v[b]|) + 2^-1073 of the exact one; the
    room of 2^-46 (|v[a]| + |top| + |low|) covers that, the rounding of the bound, and the
    distance of recorded decimals from their doubles."""
    n = len(values)
    following = records[int(np.searchsorted(records, lows[0], side="right")):]
    if len(following) > _SPREAD:  # spread over the staircase, and its end near the piece
        following = following[np.union1d(np.linspace(0, len(following) - 1, _SPREAD // 2),
                                         np.arange(len(following) - _SPREAD // 2,
                                                   len(following))).astype(np.int64)]
    c = np.union1d(np.arange(max(n - _NEAR, 0), n), following)[None, :]
    a = lows[:, None]
    va = values[a]
    xa, xc = at(a), at(c)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        spread = np.where(va > top, (last - xc) / (last - xa) * (1 + 2.0 ** -50),
                          (first - xc) / (first - xa) * (1 - 2.0 ** -50))
        line = (top + (va - top) * spread
                + 2.0 ** -46 * (np.abs(va) + abs(top) + abs(low)) + _LINE_FLOOR)
        return ((c > a) & (values[c] >= line)).any(axis=1)  # type: ignore[no-any-return]


def _integers_only(values: FloatArray) -> bool:
    """Whether every finite sample is an integer below 2^52 (exact differences)."""
    with np.errstate(invalid="ignore"):
        return bool(np.all((np.abs(values) < _INTEGER) & (np.floor(values) == values)
                           | ~np.isfinite(values)))


def _stretch_edges(samples: int, edges: int, length: int) -> float:
    """About how many edges a stretch of ``samples`` has, at the mean degree of a graph
    of ``edges`` edges on ``length`` samples (two when it is empty)."""
    return samples * (edges / length + 1 if length else 2.0)


def _natural_options(skip_adjacent: Any, penetrable: Any, exact: Any,
                     decimals: Any) -> Dict[str, Any]:
    """The natural builders' options, checked, as keyword arguments."""
    return {"skip_adjacent": check_bool("skip_adjacent", skip_adjacent),
            "penetrable": check_int("penetrable", penetrable, 0),
            "exact": check_bool("exact", exact), "decimals": check_decimals(decimals)}


def _stretch_build(options: Dict[str, Any], start: int, joined: FloatArray,
                   where: Optional[FloatArray], first_high: Optional[int],
                   whole: bool) -> IntArray:
    """The natural edges of the stretch ``joined`` (beginning at series position ``start``)
    that end at ``first_high`` or later, or with None its degrees; ``whole`` builds every
    edge of the stretch and filters them (few edges: the whole builder, on every core, is
    faster), otherwise the stretch is scanned row by row. A refused value or position is
    named by its series position."""
    try:
        if first_high is None:
            return np.asarray(kestrel_grid.graph_degrees(
                joined, kind="natural", x=where, missing="keep", **options), dtype=np.int64)
        if whole:
            every = np.asarray(kestrel_grid.graph_edge_array(
                joined, kind="natural", x=where, missing="keep", **options), dtype=np.int64)
            return every[every[:, 1] >= first_high]
        return np.asarray(kestrel_grid._natural_edges_from(
            joined, "natural", x=where, missing="keep", first_high=first_high, **options),
            dtype=np.int64)
    except ValueError as error:
        shifted = _INDEX.sub(lambda m: f"{m[1]}[{int(m[2]) + start}]", str(error))
        raise ValueError(shifted) from None


def _with_open_pairs(edges: IntArray, open_lows: IntArray, finite_lows: IntArray,
                     first: int, size: int, nan_highs: IntArray) -> IntArray:
    """``edges`` with the pairs that need no scan, all in ascending order: each NaN or
    infinite low end in ``open_lows`` sees every sample of the piece at ``first`` ..
    ``first + size - 1``, and each finite one in ``finite_lows`` sees its NaN samples
    (``first + nan_highs``)."""
    if not (len(open_lows) or len(finite_lows)):
        return edges
    low = np.concatenate([np.repeat(open_lows, size),
                          np.tile(finite_lows, len(nan_highs)), edges[:, 0]])
    high = np.concatenate([np.tile(first + np.arange(size), len(open_lows)),
                           np.repeat(first + nan_highs, len(finite_lows)), edges[:, 1]])
    order = np.lexsort((high, low))
    return np.stack([low[order], high[order]], axis=1).astype(np.int64)


class NaturalStream(_Locked):
    """Natural visibility graph of a series that grows: ``append`` or ``extend`` samples
    and get the new edges and degree changes; at every point the edges given so far are
    those of ``graph_edge_array(..., kind="natural", missing="keep")`` on everything
    appended with the same options, bit for bit.

    Any earlier sample can be seen from a high enough later one, so the stream keeps
    every sample (and its position) with its degree: 16 bytes per sample, 24 with
    positions, and no sample is ever settled. A call builds the graph of the stretch from
    the first earlier sample that may see the new piece (a sample with a higher one
    after it than both it and the whole piece sees none of the piece) to the piece's end,
    and keeps the pairs that end in the piece: O(stretch + its edges) per call. With
    ``penetrable`` > 0 the stretch starts at the first sample.

    Calls are serialised by a lock, so one stream may be shared between threads; a stream
    pickles with its state, so a monitor can stop and resume it.

    Args:
        skip_adjacent: Leave out pairs of neighbouring samples.
        penetrable: The largest number of blocking samples a visible pair may have.
        exact: Decide the rule exactly on the binary values.
        decimals: Decide the rule exactly on the values as decimals with at most this
            many places.
        positions: Every call gives the samples' positions (``x=``), finite and
            increasing over the whole stream; without it sample k is at k.
    """

    def __init__(self, *, skip_adjacent: bool = False, penetrable: int = 0,
                 exact: bool = False, decimals: Optional[int] = None,
                 positions: bool = False) -> None:
        self._options = _natural_options(skip_adjacent, penetrable, exact, decimals)
        self._positions = check_bool("positions", positions)
        self._lock = threading.Lock()
        self._length = 0
        # Buffers that grow by doubling; the first _length entries hold the stream.
        self._values = np.empty(0, dtype=np.float64)
        self._x = np.empty(0, dtype=np.float64)
        self._degrees = np.empty(0, dtype=np.int64)
        self._integers = True  # every finite sample so far is an integer below 2^52
        self._edge_count = 0
        # Stretches with up to about this many edges are built whole, then filtered;
        # longer ones are scanned row by row, holding no edge of theirs but the new ones.
        self._held_edges = _HELD_EDGES
        self._largest = 0.0  # the largest finite |value| so far
        # Positions of the samples strictly above every later non-NaN sample, and of the
        # NaN and infinite ones.
        self._records = _EMPTY_INTS
        self._open = _EMPTY_INTS

    @property
    def skip_adjacent(self) -> bool:
        return bool(self._options["skip_adjacent"])

    def __len__(self) -> int:
        return self._length

    @property
    def pending(self) -> IntArray:
        """Positions of the samples that later samples may still see: all of them."""
        with self._lock:
            return np.arange(self._length, dtype=np.int64)

    def pending_degrees(self) -> Tuple[IntArray, IntArray]:
        """``(positions, degrees)`` of every sample so far."""
        with self._lock:
            return (np.arange(self._length, dtype=np.int64),
                    self._degrees[:self._length].copy())

    def append(self, value: float, x: Optional[float] = None) -> StreamUpdate:
        """Appends one sample (at position ``x`` when the stream takes positions)."""
        return self.extend(np.array([value], dtype=np.float64),
                           x=None if x is None else np.array([x], dtype=np.float64))

    def extend(self, values: Any, *, x: Any = None, edges: bool = True) -> StreamUpdate:
        """Appends the samples of a 1-d sequence or array, in order, at the positions
        ``x`` when the stream takes positions. With ``edges=False`` the new edges are not
        listed (``edges`` of the update is empty) and the degree changes are counted by
        the module's degree builder, without listing a pair."""
        piece = _as_piece(values)
        where = self._piece_positions(x, len(piece))
        with self._lock:
            if len(piece) == 0:
                return StreamUpdate(_EMPTY_EDGES, _EMPTY_INTS, _EMPTY_INTS,
                                    np.empty(0, dtype=np.bool_))
            return self._join(piece, where, edges)

    def _reserve(self, samples: int) -> None:
        """Room for ``samples`` in all, when the length is known ahead (no doubling)."""
        with self._lock:
            if samples > len(self._values):
                self._grow(samples, self._positions)

    def _grow(self, capacity: int, positions: bool) -> None:
        """Buffers of ``capacity`` samples holding the stream so far. The room after it is
        left unwritten, so its pages are taken only as samples arrive; all are made before
        any is replaced, so running out of memory leaves the stream as it was."""
        length = self._length
        names = ("_values", "_degrees") + (("_x",) if positions else ())
        grown = [np.empty(capacity, dtype=getattr(self, name).dtype) for name in names]
        for name, new in zip(names, grown):
            new[:length] = getattr(self, name)[:length]
            setattr(self, name, new)

    def _piece_positions(self, x: Any, size: int) -> Optional[FloatArray]:
        if not self._positions:
            if x is not None:
                raise TypeError("x is given to a stream made without positions=True")
            return None
        if x is None:
            raise TypeError("a stream made with positions=True needs x for every call")
        where = _as_piece(x)
        if len(where) != size:
            raise ValueError(f"x must have one position per sample: {len(where)} for {size}")
        return where

    def _build(self, start: int, joined: FloatArray, where: Optional[FloatArray],
               first_high: Optional[int]) -> IntArray:
        whole = first_high == 0 or _stretch_edges(
            len(joined), self._edge_count, self._length) <= self._held_edges
        return _stretch_build(self._options, start, joined, where, first_high, whole)

    def _join(self, piece: FloatArray, where: Optional[FloatArray],
              listing: bool) -> StreamUpdate:
        length = self._length
        size = len(piece)
        earlier = self._values[:length]
        integers = self._integers and _integers_only(piece)
        start = 0
        if length and not self._options["penetrable"]:
            margin_free = integers or self._options["exact"] or self._options["decimals"] is not None
            # The last earlier sample stays in the stretch: the module then checks the
            # first new position against it, and no direct pair is a neighbouring one.
            if where is None:
                at: Callable[[Any], Any] = lambda k: np.asarray(k, dtype=np.float64)
                first, last = float(length), float(length + size - 1)
            else:
                at, first, last = (lambda k: self._x[k]), float(where[0]), float(where[-1])
            start = min(_stretch_start(earlier, self._records, piece, at, first, last,
                                       margin_free, self._largest), length - 1)
        joined = np.concatenate([earlier[start:], piece])
        stretch_x = None if where is None else np.concatenate([self._x[start:length], where])
        local = length - start  # the piece's first sample within the stretch

        # Pairs of earlier samples before the stretch, all with a non-finite end: a NaN or
        # infinite low end sees every later sample, and every sample sees a NaN high.
        open_lows = self._open[:int(np.searchsorted(self._open, start))]
        nan_highs = np.flatnonzero(np.isnan(piece))
        finite_lows = (np.flatnonzero(np.isfinite(earlier[:start])) if len(nan_highs)
                       else _EMPTY_INTS)
        if listing:
            new_edges = self._build(start, joined, stretch_x, local) + start
            gains = np.bincount(new_edges.ravel() - start, minlength=len(joined))
            new_edges = _with_open_pairs(new_edges, open_lows, finite_lows, length, size,
                                         nan_highs)
        else:
            new_edges = _EMPTY_EDGES
            gains = self._build(start, joined, stretch_x, None)
            if local:
                old_x = None if stretch_x is None else stretch_x[:local]
                gains[:local] -= self._build(start, joined[:local], old_x, None)
        # Gains before the stretch, at the few positions that have them.
        early = np.concatenate([open_lows, finite_lows])
        early_gains = np.concatenate([np.full(len(open_lows), size, dtype=np.int64),
                                      np.full(len(finite_lows), len(nan_highs), dtype=np.int64)])
        order = np.argsort(early, kind="stable")
        early, early_gains = early[order], early_gains[order]
        gains[local:] += len(open_lows)
        gains[local + nan_highs] += len(finite_lows)

        # The state after the call; nothing is changed before every build succeeded.
        if length + size > len(self._values):
            self._grow(max(2 * len(self._values), length + size, 1024), where is not None)
        self._values[length:length + size] = piece
        if where is not None:
            self._x[length:length + size] = where
        self._degrees[length:length + size] = 0
        self._degrees[early] += early_gains
        self._degrees[start:length + size] += gains
        self._integers = integers
        self._edge_count += int(gains.sum() + early_gains.sum()) // 2
        piece_finite = np.isfinite(piece)
        if piece_finite.any():
            self._largest = max(self._largest, float(np.abs(piece[piece_finite]).max()))
        self._open = np.concatenate([self._open, length + np.flatnonzero(~piece_finite)])
        piece_max = np.fmax.reduce(piece)
        piece_records = _records(piece)
        self._records = np.concatenate([
            self._records[~(earlier[self._records] <= piece_max)],
            length + np.flatnonzero(piece_records)])
        self._length = length + size
        positions = np.concatenate([early,
                                    start + np.flatnonzero(gains[:local]),
                                    np.arange(length, length + size, dtype=np.int64)])
        return StreamUpdate(new_edges if len(new_edges) else _EMPTY_EDGES, positions,
                            self._degrees[positions].copy(),
                            np.zeros(len(positions), dtype=np.bool_))

    def _pickled(self) -> Dict[str, Any]:
        state = dict(self.__dict__)
        length = self._length  # the buffers' spare room is not kept
        state["_values"] = self._values[:length].copy()
        state["_degrees"] = self._degrees[:length].copy()
        state["_x"] = self._x[:length].copy() if self._positions else self._x
        return state

    def __repr__(self) -> str:
        return f"NaturalStream(samples={self._length})"


# --- series longer than memory ---------------------------------------------------------

#: Samples per piece read from a file or array: 8 MiB of float64.
PIECE = 1 << 20

_HEADER_SIZE = 128  # an .npy header of fixed size, rewritten once the length is known


def _npy_header(shape: Tuple[int, ...]) -> bytes:
    text = "{'descr': '%s', 'fortran_order': False, 'shape': %r, }" % (
        np.dtype(np.int64).str, shape)
    body = text.ljust(_HEADER_SIZE - 11) + "\n"
    return b"\x93NUMPY\x01\x00" + len(body).to_bytes(2, "little") + body.encode("latin1")


class MissingSampleError(ValueError):
    """A NaN sample under ``missing="raise"``; ``index`` counts from 0 in the source."""

    def __init__(self, index: int) -> None:
        super().__init__(f"missing sample at index {index}")
        self.index = index


def _npy_pieces(path: str, piece: int) -> Tuple[Optional[int], Iterator[FloatArray]]:
    """The sample count of an ``.npy`` file and its samples in pieces. The count its
    header claims is refused at once when the file is too short to hold it, and given
    only when the file's size backs it (a regular file): nothing is reserved for a
    claim the file cannot back."""
    from ._io import npy_header, stream_size

    handle = open(path, "rb")
    try:
        shape, _, dtype = npy_header(handle)
        regular = stream_size(handle) is not None
    except EOFError as error:
        handle.close()
        raise ValueError(f"{path}: {error}") from None
    except BaseException:
        handle.close()
        raise
    if (len(shape) != 1 and not (len(shape) == 2 and 1 in shape)) or dtype.kind not in "biuf":
        handle.close()
        raise ValueError(f"{path}: not a 1-d numeric array (shape {shape}, dtype {dtype})")
    total = math.prod(shape)

    def pieces() -> Iterator[FloatArray]:
        with handle:
            buffer = np.empty(piece, dtype=dtype)
            left = total
            while left:
                count = min(piece, left)
                view = buffer[:count]
                if handle.readinto(view.data.cast("B")) != view.nbytes:
                    raise ValueError(f"{path}: the file ends before its {total} samples")
                left -= count
                yield view.astype(np.float64)

    return total if regular else None, pieces()


def _array_pieces(array: Any, piece: int) -> Tuple[int, Iterator[FloatArray]]:
    array = np.asarray(array) if not isinstance(array, np.ndarray) else array
    if array.ndim != 1:
        raise ValueError(f"the series must be 1-d, not {array.ndim}-d")
    mapping = getattr(array, "_mmap", None)

    def pieces() -> Iterator[FloatArray]:
        for start in range(0, len(array), piece):
            yield np.array(array[start:start + piece], dtype=np.float64)
            if mapping is not None and hasattr(mapping, "madvise"):
                # Pages of a memory-mapped file already read are dropped from this
                # process, so its resident size stays that of one piece.
                try:
                    mapping.madvise(mmap.MADV_DONTNEED)  # the data stays in the file
                except (OSError, ValueError):
                    pass

    return len(array), pieces()


def _source_pieces(source: Any, piece: int) -> Tuple[Optional[int], Iterator[FloatArray]]:
    if isinstance(source, (str, os.PathLike)):
        return _npy_pieces(os.fspath(source), piece)
    if isinstance(source, np.ndarray):
        return _array_pieces(source, piece)
    return None, (_as_piece(item) for item in source)


@dataclass(frozen=True)
class OutOfCoreResult:
    """What :func:`horizontal_out_of_core` or :func:`natural_out_of_core` read and wrote.

    ``samples`` counts the graph's vertices (the source's samples, less the missing ones
    under ``missing="omit"``), ``edges`` its edges and ``distribution[k]`` its vertices of
    degree k."""

    samples: int
    edges: int
    distribution: IntArray


class _DegreeOutput:
    """Degrees written as an int64 .npy file while the graph is built: each piece's
    degrees in turn, then the later changes of its pending samples in place."""

    def __init__(self, target: Union[str, BinaryIO]) -> None:
        from ._io import OutputFile  # the CLI's atomic output file, shared

        self.file: Optional[OutputFile] = OutputFile(target) if isinstance(target, str) else None
        self.stream: BinaryIO = self.file.stream if self.file is not None else target  # type: ignore[assignment]
        self.descriptor = self.stream.fileno()
        self.stream.write(_npy_header((0,)))
        self.written = 0

    def write(self, update: StreamUpdate, start: int) -> None:
        fresh = update.positions >= start
        self.stream.write(update.degrees[fresh].tobytes())
        self.written += int(np.count_nonzero(fresh))
        if not fresh.all():
            self.stream.flush()
            for position, degree in zip(update.positions[~fresh].tolist(),
                                        update.degrees[~fresh].tolist()):
                os.pwrite(self.descriptor, int(degree).to_bytes(8, "little", signed=True),
                          _HEADER_SIZE + 8 * position)

    def write_all(self, degrees: IntArray) -> None:
        """Every degree at once, at the end."""
        self.stream.write(np.ascontiguousarray(degrees, dtype=np.int64).tobytes())
        self.written += len(degrees)
        self.finish(_EMPTY_INTS, _EMPTY_INTS)

    def finish(self, positions: IntArray, degrees: IntArray) -> None:
        self.stream.flush()
        for position, degree in zip(positions.tolist(), degrees.tolist()):
            os.pwrite(self.descriptor, int(degree).to_bytes(8, "little", signed=True),
                      _HEADER_SIZE + 8 * position)
        os.pwrite(self.descriptor, _npy_header((self.written,)), 0)
        if self.file is not None:
            self.file.commit()

    def discard(self) -> None:
        if self.file is not None:
            self.file.discard()


class _EdgeOutput:
    """Edges as an (m, 2) int64 .npy file, each piece's new edges in turn."""

    def __init__(self, target: Union[str, BinaryIO]) -> None:
        from ._io import OutputFile

        self.file: Optional[OutputFile] = OutputFile(target) if isinstance(target, str) else None
        self.stream: BinaryIO = self.file.stream if self.file is not None else target  # type: ignore[assignment]
        self.stream.write(_npy_header((0, 2)))
        self.count = 0

    def write(self, edges: IntArray) -> None:
        self.stream.write(np.ascontiguousarray(edges, dtype=np.int64).tobytes())
        self.count += len(edges)

    def finish(self) -> None:
        self.stream.flush()
        os.pwrite(self.stream.fileno(), _npy_header((self.count, 2)), 0)
        if self.file is not None:
            self.file.commit()

    def discard(self) -> None:
        if self.file is not None:
            self.file.discard()


@contextlib.contextmanager
def _written(degrees: Union[str, BinaryIO, None], edges: Union[str, BinaryIO, None]
             ) -> Iterator[Tuple[Optional[_DegreeOutput], Optional[_EdgeOutput]]]:
    """The output files of a build from a source; a build that fails leaves neither."""
    degree_output = _DegreeOutput(degrees) if degrees is not None else None
    edge_output: Optional[_EdgeOutput] = None
    try:
        edge_output = _EdgeOutput(edges) if edges is not None else None
        yield degree_output, edge_output
    except BaseException:
        if degree_output is not None:
            degree_output.discard()
        if edge_output is not None:
            edge_output.discard()
        raise


def _checked_pieces(pieces: Iterator[FloatArray], missing: str
                    ) -> Iterator[Tuple[int, FloatArray, npt.NDArray[np.bool_]]]:
    """(samples read before, piece, its NaN mask) for each piece; under ``"raise"`` the
    first NaN sample stops the build."""
    read = 0
    for values in pieces:
        gaps = np.isnan(values)
        if missing == "raise" and gaps.any():
            raise MissingSampleError(read + int(np.flatnonzero(gaps)[0]))
        yield read, values, gaps
        read += len(gaps)


def horizontal_out_of_core(
    source: Any,
    *,
    degrees: Union[str, BinaryIO, None] = None,
    edges: Union[str, BinaryIO, None] = None,
    skip_adjacent: bool = False,
    missing: str = "keep",
    piece: int = PIECE,
    progress: Optional[Callable[[int, Optional[int]], None]] = None,
) -> OutOfCoreResult:
    """Horizontal visibility graph of a series read piece by piece, in memory bounded by
    one piece and the pending samples (see :class:`HorizontalStream`).

    Args:
        source: An ``.npy`` file (path; read in pieces, never mapped whole), a numpy
            array or memmap (pages already read are given back), or an iterable of 1-d
            pieces.
        degrees: Where to write the degree of every vertex as an int64 ``.npy`` file:
            a path (replaced only when the build succeeds) or a seekable binary file.
        edges: Where to write the edges as an ``(m, 2)`` int64 ``.npy`` file. Each
            piece's new edges are written in ascending ``(low, high)`` order after those
            of earlier pieces, so the file holds the edges of the whole-series builders,
            grouped by the piece of their later end. Positions count the source's samples.
        skip_adjacent: Leave out pairs of neighbouring samples.
        missing: ``"keep"`` (NaN samples take part under the literal rule, as in
            ``horizontal_visibility_edge_array``), ``"omit"`` (left out: the graph is that
            of the present samples; edges keep the source's positions, degrees are those
            of the present samples in order) or ``"raise"`` (:class:`MissingSampleError`).
        piece: Samples per piece.
        progress: Called as ``progress(samples read, total or None)`` after each piece.

    Returns:
        An :class:`OutOfCoreResult` with the counts and the degree distribution.
    """
    missing = check_missing(missing)
    piece = check_int("piece", piece, 1)
    total, pieces = _source_pieces(source, piece)
    stream = HorizontalStream(skip_adjacent=skip_adjacent)
    counts = np.zeros(0, dtype=np.int64)
    # Under "omit", the source positions of the pending samples (stream positions differ).
    pending_stream = _EMPTY_INTS
    pending_source = _EMPTY_INTS

    def tally(found: IntArray) -> None:
        nonlocal counts
        if len(found) == 0:
            return
        added = np.bincount(found)
        if len(added) > len(counts):
            counts = np.concatenate([counts, np.zeros(len(added) - len(counts), np.int64)])
        counts[: len(added)] += added

    with _written(degrees, edges) as (degree_output, edge_output):
        for read, values, gaps in _checked_pieces(pieces, missing):
            source_positions: Optional[IntArray] = None
            if missing == "omit" and gaps.any():
                source_positions = read + np.flatnonzero(~gaps)
                values = values[~gaps]
            start = len(stream)
            update = stream.extend(values, edges=edge_output is not None)
            if edge_output is not None:
                found = update.edges
                if missing == "omit":
                    where_new = (source_positions if source_positions is not None
                                 else read + np.arange(len(values), dtype=np.int64))
                    where = np.concatenate([pending_source, where_new])
                    index = np.where(found < start,
                                     np.searchsorted(pending_stream, found),
                                     len(pending_source) + found - start)
                    found = where[index]
                edge_output.write(found)
            if degree_output is not None:
                degree_output.write(update, start)
            tally(update.degrees[update.settled])
            if missing == "omit":
                now = stream.pending
                where_new = (source_positions if source_positions is not None
                             else read + np.arange(len(values), dtype=np.int64))
                old = now < start
                pending_source = np.concatenate([
                    pending_source[np.searchsorted(pending_stream, now[old])],
                    where_new[now[~old] - start]])
                pending_stream = now
            if progress is not None:
                progress(read + len(gaps), total)
        positions, final = stream.pending_degrees()
        tally(final)
        if degree_output is not None:
            degree_output.finish(positions, final)
        if edge_output is not None:
            edge_output.finish()
    # Each edge adds one to the degree of each end.
    edge_count = int(np.dot(counts, np.arange(len(counts), dtype=np.int64))) // 2
    return OutOfCoreResult(len(stream), edge_count, counts)


class _EdgeBudget:
    """Splits each piece so that the edges listed at once stay near ``budget``: a sample
    may see every earlier one, so a piece's edges are not bounded by its length. The next
    part's length follows the edges per sample of the last one (at most doubling)."""

    def __init__(self, piece: int, budget: int) -> None:
        # A first part of sqrt(budget) samples has at most budget / 2 pairs.
        self.most, self.budget, self.size = piece, budget, max(1, min(piece, math.isqrt(budget)))

    def parts(self, length: int) -> Iterator[Tuple[int, int]]:
        low = 0
        while low < length and self.most:
            high = min(length, low + self.size)
            yield low, high
            low = high

    def took(self, samples: int, edges: int) -> None:
        fits = self.budget * samples // max(edges, 1)
        self.size = max(1, min(self.most, 2 * self.size, fits))


def natural_out_of_core(
    source: Any,
    *,
    degrees: Union[str, BinaryIO, None] = None,
    edges: Union[str, BinaryIO, None] = None,
    skip_adjacent: bool = False,
    penetrable: int = 0,
    exact: bool = False,
    decimals: Optional[int] = None,
    missing: str = "keep",
    piece: int = PIECE,
    progress: Optional[Callable[[int, Optional[int]], None]] = None,
) -> OutOfCoreResult:
    """Natural visibility graph of a series read piece by piece, its edges written as
    they are found (see :class:`NaturalStream`).

    A high enough later sample sees any earlier one, so the samples stay in memory
    (16 bytes each with their degrees); the edges, which outnumber them, never do: each
    piece's are found by a scan of the stretch it may see, written and dropped, in parts
    short enough that a dense graph's edges are listed a bounded number at a time. The
    degrees are written at the end.

    Args:
        source: As for :func:`horizontal_out_of_core`.
        degrees: Where to write the degree of every vertex as an int64 ``.npy`` file.
        edges: Where to write the edges as an ``(m, 2)`` int64 ``.npy`` file, grouped by
            the stretch of consecutive samples their later end is in (a piece, or a part
            of one: the parts are cut so that about 2**21 edges are listed at a time),
            each group in ascending ``(low, high)`` order; positions count the source's
            samples.
        skip_adjacent, penetrable, exact, decimals: As for ``graph_edge_array``.
        missing: ``"keep"``, ``"omit"`` (the present samples at their own positions in
            the source, as ``graph_edge_array(..., missing="omit")`` places them) or
            ``"raise"`` (:class:`MissingSampleError`).
        piece, progress: As for :func:`horizontal_out_of_core`.

    Returns:
        The counts and the degree distribution, as :func:`horizontal_out_of_core` does.
    """
    missing = check_missing(missing)
    omit = missing == "omit"
    piece = check_int("piece", piece, 1)
    stream = NaturalStream(skip_adjacent=skip_adjacent, penetrable=penetrable, exact=exact,
                           decimals=decimals, positions=omit)
    total, pieces = _source_pieces(source, piece)
    stream._held_edges = _HELD_EDGES_OUT_OF_CORE
    if total is not None:
        stream._reserve(total)
    source_of = _EMPTY_INTS  # under "omit", the source position of each vertex (grows)
    lister = _EdgeBudget(piece if edges is not None else 0, _HELD_EDGES_OUT_OF_CORE)
    with _written(degrees, edges) as (degree_output, edge_output):
        for read, values, gaps in _checked_pieces(pieces, missing):
            where = None
            if omit:
                where = read + np.flatnonzero(~gaps)
                values = values[~gaps]
                held = len(stream)
                if held + len(where) > len(source_of):
                    source_of = np.resize(source_of, max(2 * len(source_of), held + len(where)))
                source_of[held:held + len(where)] = where
            x = None if where is None else where.astype(np.float64)
            if edge_output is None:
                stream.extend(values, x=x, edges=False)
            for low, high in lister.parts(len(values)):
                update = stream.extend(values[low:high], x=None if x is None else x[low:high])
                lister.took(high - low, len(update.edges))
                if edge_output is not None and len(update.edges):
                    edge_output.write(source_of[update.edges] if omit else update.edges)
            if progress is not None:
                progress(read + len(gaps), total)
        _, final = stream.pending_degrees()
        if degree_output is not None:
            degree_output.write_all(final)
        if edge_output is not None:
            edge_output.finish()
    counts = np.bincount(final) if len(final) else _EMPTY_INTS
    return OutOfCoreResult(len(stream), int(final.sum()) // 2, counts.astype(np.int64))


# --- one long series on Dask --------------------------------------------------------------

def _stretch_outside(block: Any, offset: int) -> Tuple[IntArray, FloatArray]:
    """The samples of a stretch that samples outside it can see, with their positions:
    its records from the left (non-NaN samples above every earlier non-NaN one), from the
    right, and its NaN samples. Any other sample of the stretch has a record on each side
    within the stretch that is at least as high, which blocks every pair over it."""
    values = np.asarray(block, dtype=np.float64)
    if values.size == 0:
        return _EMPTY_INTS, np.empty(0, dtype=np.float64)
    outside = (np.isnan(values) | ~(_prefix_max_before(values) >= values)
               | ~(_suffix_max_after(values) >= values))
    where = np.flatnonzero(outside)
    return offset + where, values[where]


def _join_stretches(outsides: List[Tuple[IntArray, FloatArray]], offsets: List[int],
                    skip_adjacent: bool, cross_path: Optional[str]) -> List[Tuple[IntArray, IntArray]]:
    """Pairs between stretches, by one stream over the stretches' outward samples in
    order, each joined to the records and NaN samples before it; for each stretch, the
    positions (within it) and counts of those pairs' ends."""
    stream = HorizontalStream(skip_adjacent=skip_adjacent)
    positions: List[IntArray] = []
    counts: List[IntArray] = []
    edges: List[IntArray] = []
    for where, values in outsides:
        if where.size:
            update = stream._state.join_outward(values, where.astype(np.int64).tobytes())
            positions.append(update.positions)
            counts.append(update.degrees)
            edges.append(update.edges)
    last_positions, last_counts = stream.pending_degrees()
    positions.append(last_positions)
    counts.append(last_counts)
    if cross_path is not None:
        np.save(cross_path, np.concatenate(edges) if edges else _EMPTY_EDGES)
    # The last count given for a position is its number of pairs with other stretches.
    every = np.concatenate(positions)[::-1]
    unique, first = np.unique(every, return_index=True)
    final = np.concatenate(counts)[::-1][first]
    bounds = np.searchsorted(unique, np.asarray(offsets + [np.iinfo(np.int64).max]))
    return [(unique[a:b] - offset, final[a:b])
            for a, b, offset in zip(bounds[:-1], bounds[1:], offsets)]


def _stretch_degrees(block: Any, offset: int, skip_adjacent: bool, edge_path: Optional[str],
                     joined: List[Tuple[IntArray, IntArray]], index: int) -> IntArray:
    values = np.asarray(block, dtype=np.float64)
    degrees = np.asarray(kestrel_grid.horizontal_visibility_degrees(values, skip_adjacent),
                         dtype=np.int64)
    if edge_path is not None:
        inside = np.asarray(kestrel_grid.horizontal_visibility_edge_array(values, skip_adjacent))
        np.save(edge_path, inside + offset)
    where, count = joined[index]
    degrees[where] += count
    return degrees


def _dask_blocks(da: Any, series: Any, value_column: str) -> Tuple[List[Any], List[int], List[int]]:
    """The delayed chunks of a 1-d dask array, or of the value column of a dask frame in
    long form, with their sizes and series offsets."""
    if hasattr(series, "to_dask_array"):  # a dask DataFrame or Series
        if hasattr(series, "columns"):
            series = series[value_column]
        series = series.to_dask_array(lengths=True)
    series = da.asarray(series)
    if series.ndim != 1:
        raise ValueError(f"the series must be 1-d, not {series.ndim}-d")
    sizes = [int(size) for size in series.chunks[0]]
    offsets = [int(offset) for offset in np.cumsum([0] + sizes[:-1])]
    return list(series.to_delayed().ravel()), sizes, offsets


def horizontal_dask(series: Any, *, skip_adjacent: bool = False,
                    edges_dir: Optional[str] = None, value_column: str = "value") -> Any:
    """Degrees of the horizontal graph of one long series split into chunks on Dask.

    Each chunk's graph is built on a worker, with the few samples of the chunk that can
    see outside it; one task joins those in order (as :class:`HorizontalStream` joins
    pieces), and each chunk's degrees are its own plus its pairs with other chunks. The
    result equals ``horizontal_visibility_degrees`` of the whole series on every chunking.

    Args:
        series: A 1-d dask array, or a dask DataFrame or Series in long form holding one
            series in row order (its ``value_column``).
        skip_adjacent: Leave out pairs of neighbouring samples.
        edges_dir: A directory to write the edges into while the degrees are computed:
            ``chunk-K.npy`` holds the pairs inside chunk K and ``cross.npy`` those between
            chunks, all as ``(m, 2)`` int64 rows of whole-series positions.
        value_column: The value column of a DataFrame.

    Returns:
        A 1-d int64 dask array of degrees, chunked as the series.
    """
    dask = require("dask", "horizontal_dask")
    da = require("dask.array", "horizontal_dask")
    blocks, sizes, offsets = _dask_blocks(da, series, value_column)
    delayed = dask.delayed
    outsides = [delayed(_stretch_outside)(block, offset) for block, offset in zip(blocks, offsets)]
    cross_path = None if edges_dir is None else os.path.join(edges_dir, "cross.npy")
    joined = delayed(_join_stretches)(outsides, offsets, skip_adjacent, cross_path)
    parts = [
        da.from_delayed(
            delayed(_stretch_degrees)(
                block, offset, skip_adjacent,
                None if edges_dir is None else os.path.join(edges_dir, f"chunk-{index}.npy"),
                joined, index),
            shape=(size,), dtype=np.int64)
        for index, (block, offset, size) in enumerate(zip(blocks, offsets, sizes))
    ]
    if not parts:
        return da.zeros(0, dtype=np.int64)
    return da.concatenate(parts)


class _ChunkSummary(NamedTuple):
    """What the natural plan needs of one chunk."""

    records: IntArray  # series positions of its samples strictly above every later non-NaN one in it
    record_values: FloatArray
    open: IntArray  # series positions of its NaN and infinite samples
    nans: int
    top: float  # its largest non-NaN sample; NaN when none
    largest: float  # its largest finite |value|; 0 when none
    integers: bool  # every finite sample is an integer below 2^52
    edges: int  # its own edges under the exact rule when counted (cheap: by runs), else 0


def _natural_summary(block: Any, offset: int, count: bool) -> _ChunkSummary:
    values = np.asarray(block, dtype=np.float64)
    if values.size == 0:
        return _ChunkSummary(_EMPTY_INTS, np.empty(0), _EMPTY_INTS, 0, np.nan, 0.0, True, 0)
    finite = np.isfinite(values)
    nan = np.isnan(values)
    records = np.flatnonzero(_records(values))
    integers = _integers_only(values)
    edges = (int(np.asarray(kestrel_grid.graph_degrees(values, kind="natural", exact=True,
                                                       missing="keep")).sum()) // 2
             if count else 0)
    return _ChunkSummary(offset + records, values[records], offset + np.flatnonzero(~finite),
                         int(nan.sum()), float(np.fmax.reduce(values)),
                         float(np.abs(values[finite]).max()) if finite.any() else 0.0, integers,
                         edges)


def _natural_stretch_start(head: Tuple[IntArray, FloatArray], tail_blocks: List[Any],
                           tail_offset: int, block: Any, offset: int, margin_free: bool,
                           largest: float) -> int:
    """The series position where the stretch of the chunk ``block`` (at ``offset``) starts,
    found as a stream finds it, on the earlier samples that can matter: the records of the
    series before the first tail chunk (``head``) and every sample of the tail chunks, which
    run up to the chunk. Leaving the other samples out drops only blockers, so the start
    can only come earlier."""
    tail = np.concatenate([np.asarray(part, dtype=np.float64) for part in tail_blocks])
    piece = np.asarray(block, dtype=np.float64)
    head_positions, head_values = head
    values = np.concatenate([head_values, tail])
    where = np.concatenate([head_positions, tail_offset + np.arange(len(tail), dtype=np.int64)])
    tail_records = np.flatnonzero(_records(tail))
    records = np.concatenate([np.arange(len(head_values), dtype=np.int64),
                              len(head_values) + tail_records])
    found = _stretch_start(values, records, piece, lambda k: where[k].astype(np.float64),
                           float(offset), float(offset + len(piece) - 1), margin_free, largest)
    return min(int(where[found]) if found < len(values) else offset, offset - 1)


def _natural_chunk(blocks: List[Any], first_offset: int, start: int, offset: int,
                   open_before: IntArray, options: Dict[str, Any],
                   edge_path: Optional[str], whole: bool) -> Tuple[IntArray, IntArray, IntArray]:
    """The pairs whose later end is in the chunk at ``offset`` (the last of ``blocks``),
    from the stretch that begins at series position ``start``: the gains they give to the
    earlier samples of the stretch (positions, counts) and the chunk's degrees among
    samples up to its end. With ``edge_path`` the pairs are written there, found by
    building the stretch ``whole`` and filtering, or else row by row."""
    values = np.concatenate([np.asarray(part, dtype=np.float64) for part in blocks])
    joined = values[start - first_offset:]
    local = offset - start
    size = len(joined) - local
    nan_highs = np.flatnonzero(np.isnan(joined[local:]))
    if edge_path is not None:
        found = _stretch_build(options, start, joined, None, local, whole) + start
        gains = np.bincount(found.ravel() - start, minlength=len(joined))
        finite_lows = (np.setdiff1d(np.arange(start, dtype=np.int64), open_before)
                       if len(nan_highs) else _EMPTY_INTS)
        np.save(edge_path, _with_open_pairs(found, open_before, finite_lows, offset, size,
                                            nan_highs))
    else:
        gains = _stretch_build(options, start, joined, None, None, True)
        if local:
            gains[:local] -= _stretch_build(options, start, joined[:local], None, None, True)
    own = gains[local:].copy()
    own += len(open_before)  # NaN and infinite samples before the stretch see all of it
    own[nan_highs] += start - len(open_before)  # a NaN sample sees every finite one
    before = np.flatnonzero(gains[:local])
    return start + before, gains[before], own


def _natural_degrees(block: Any, offset: int, built: List[Tuple[IntArray, IntArray, IntArray]],
                     later: List[Tuple[int, int, int]]) -> IntArray:
    """The degrees of the chunk at ``offset``: its own pairs with earlier samples
    (``built[0]``), the gains later chunks' stretches give it (``built[1:]``), and those of
    later chunks whose stretch starts after some of its samples (``later``: start, size,
    NaN samples), which every NaN or infinite sample before the start sees whole and every
    finite one sees at their NaN samples."""
    values = np.asarray(block, dtype=np.float64)
    size = len(values)
    degrees: IntArray = built[0][2].copy()
    for positions, gains, _ in built[1:]:
        inside = (positions >= offset) & (positions < offset + size)
        degrees[positions[inside] - offset] += gains[inside]
    if later:
        upto, sizes, nans = (np.asarray(column, dtype=np.int64) for column in zip(*later))
        reach = np.minimum(upto - offset, size)
        # Sample p gains from each later chunk whose stretch starts after it.
        open_gain = np.zeros(size + 1, dtype=np.int64)
        nan_gain = np.zeros(size + 1, dtype=np.int64)
        np.add.at(open_gain, reach, sizes)
        np.add.at(nan_gain, reach, nans)
        open_gain = np.cumsum(open_gain[::-1])[::-1]
        nan_gain = np.cumsum(nan_gain[::-1])[::-1]
        degrees += np.where(np.isfinite(values), nan_gain[1:], open_gain[1:])
    return degrees


def natural_dask(series: Any, *, skip_adjacent: bool = False, penetrable: int = 0,
                 exact: bool = False, decimals: Optional[int] = None,
                 edges_dir: Optional[str] = None, value_column: str = "value") -> Any:
    """Degrees of the natural graph of one long series split into chunks on Dask.

    A first pass reads each chunk's records and NaN samples, a second finds where each
    chunk's stretch begins (the first earlier sample that may see the chunk, as
    :class:`NaturalStream` finds it); both are computed before this returns. Each chunk's
    pairs with earlier samples are then built on a worker from its stretch, which is
    gathered there whole: a few chunks for noise, the series so far for a chunk that
    rises above everything before it. The result equals ``graph_degrees(series,
    kind="natural", missing="keep")`` with the same options on every chunking.

    Args:
        series: A 1-d dask array, or a dask DataFrame or Series in long form holding one
            series in row order (its ``value_column``).
        skip_adjacent, penetrable, exact, decimals: As for ``graph_edge_array``; with
            ``penetrable`` > 0 every stretch starts at the first sample.
        edges_dir: A directory to write the edges into while the degrees are computed:
            ``chunk-K.npy`` holds the pairs whose later end is in chunk K, as ``(m, 2)``
            int64 rows of whole-series positions in ascending order.
        value_column: The value column of a DataFrame.

    Returns:
        A 1-d int64 dask array of degrees, chunked as the series.
    """
    dask = require("dask", "natural_dask")
    da = require("dask.array", "natural_dask")
    options = _natural_options(skip_adjacent, penetrable, exact, decimals)
    blocks, sizes, offsets = _dask_blocks(da, series, value_column)
    if not sum(sizes):
        return da.zeros(0, dtype=np.int64)
    delayed = dask.delayed
    summaries: List[_ChunkSummary] = list(dask.compute(
        *[delayed(_natural_summary)(block, offset, edges_dir is not None)
          for block, offset in zip(blocks, offsets)]))
    largest = max(summary.largest for summary in summaries)
    margin_free = (options["exact"] or options["decimals"] is not None
                   or all(summary.integers for summary in summaries))
    tops = np.array([summary.top for summary in summaries])
    opens = np.concatenate([summary.open for summary in summaries])

    starts: List[Any] = []
    # The records of the series before chunk k: its samples strictly above every later
    # non-NaN one, kept as a stream keeps them.
    record_positions, record_values = _EMPTY_INTS, np.empty(0, dtype=np.float64)
    for k, (block, offset, summary) in enumerate(zip(blocks, offsets, summaries)):
        top = summary.top
        if offset == 0 or options["penetrable"]:
            starts.append(0)
        elif np.isnan(top):  # NaN samples only: every earlier sample sees them directly
            starts.append(offset - 1)
        elif np.isfinite(top) and max(abs(top), largest) > _TAME:
            starts.append(0)  # _stretch_start's own answer for values this large
        else:
            room = 0.0 if margin_free else _LINE_ROOM * (largest + abs(top)) + _LINE_FLOOR
            # The last sample at or above top + room lies in the last chunk that high;
            # before it only the records can see the chunk.
            higher = np.flatnonzero(tops[:k] >= top + room)
            j = int(higher[-1]) if len(higher) else 0
            head = int(np.searchsorted(record_positions, offsets[j]))
            starts.append(delayed(_natural_stretch_start)(
                (record_positions[:head], record_values[:head]), blocks[j:k], offsets[j],
                block, offset, margin_free, largest))
        kept = ~(record_values <= top)
        record_positions = np.concatenate([record_positions[kept], summary.records])
        record_values = np.concatenate([record_values[kept], summary.record_values])
    starts = list(dask.compute(*starts))

    # Short stretches are built whole, as a stream builds them.
    edge_count = sum(summary.edges for summary in summaries)
    built: List[Any] = []
    for k, (offset, size) in enumerate(zip(offsets, sizes)):
        start = int(starts[k])
        first = int(np.searchsorted(offsets, start, side="right")) - 1
        open_before = opens[:int(np.searchsorted(opens, start))]
        path = None if edges_dir is None else os.path.join(edges_dir, f"chunk-{k}.npy")
        estimate = _stretch_edges(offset + size - start, edge_count, sum(sizes))
        whole = start == offset or estimate * (options["penetrable"] + 1) <= _HELD_EDGES
        built.append(delayed(_natural_chunk)(blocks[first:k + 1], offsets[first], start,
                                             offset, open_before, options, path, whole)
                     if size else None)
    parts = []
    for i, (block, offset, size) in enumerate(zip(blocks, offsets, sizes)):
        if not size:
            continue
        covering = [built[i]] + [built[k] for k in range(i + 1, len(blocks))
                                 if sizes[k] and int(starts[k]) < offset + size]
        later = [(int(starts[k]), sizes[k], summaries[k].nans) for k in range(i + 1, len(blocks))
                 if sizes[k] and int(starts[k]) > offset]
        parts.append(da.from_delayed(delayed(_natural_degrees)(block, offset, covering, later),
                                     shape=(size,), dtype=np.int64))
    return da.concatenate(parts)
