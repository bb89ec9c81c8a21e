"""Horizontal visibility graphs of series that arrive in pieces or do not fit in memory.

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

import mmap
import os
import threading
from dataclasses import dataclass
from typing import Any, BinaryIO, Callable, Dict, Iterator, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

import kestrel_grid

from ._options import check_int, check_missing

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]

_EMPTY_EDGES = np.empty((0, 2), dtype=np.int64)
_EMPTY_INTS = np.empty(0, dtype=np.int64)


@dataclass(frozen=True)
class StreamUpdate:
    """What one ``append`` or ``extend`` added to the graph.

    ``edges`` holds the new edges as ``(low, high)`` rows of whole-stream positions in
    ascending order, as the whole-series builders give them; every ``high`` is a sample
    of this call.
    ``positions`` (ascending) are the samples whose degree changed or became final in
    this call, ``degrees`` their degree now, and ``settled`` tells which of them can gain
    no further edge, whatever is appended later."""

    edges: IntArray
    positions: IntArray
    degrees: IntArray
    settled: npt.NDArray[np.bool_]


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


def _ranges(starts: IntArray, stops: IntArray) -> Tuple[IntArray, IntArray]:
    """(owner, value) for every value in every [starts[k], stops[k]), owner = k."""
    counts = stops - starts
    owner = np.repeat(np.arange(len(starts), dtype=np.int64), counts)
    if len(owner) == 0:
        return owner, owner
    offsets = np.cumsum(counts) - counts
    value = np.arange(len(owner), dtype=np.int64) - np.repeat(offsets - starts, counts)
    return owner, value


def _gains(pending: IntArray, lows: IntArray) -> IntArray:
    """How many of ``lows`` fall on each of the ascending ``pending`` positions."""
    if len(pending) == 0:
        return _EMPTY_INTS
    index = np.searchsorted(pending, lows)
    inside = index < len(pending)
    index, found = index[inside], lows[inside]
    return np.bincount(index[pending[index] == found], minlength=len(pending))


class HorizontalStream:
    """Horizontal visibility graph of a series that grows: ``append`` or ``extend``
    samples and get the new edges and degree changes; at every point the edges given so
    far are those of ``horizontal_visibility_edge_array`` on everything appended (and
    ``build_graph(..., kind="horizontal", missing="keep")``), bit for bit.

    Memory: the records (samples above every later non-NaN sample) and the NaN samples,
    with their degrees; each call also holds its own piece and new edges. Calls are
    serialised by a lock, so one stream may be shared between threads. A stream pickles
    with its state, so a monitor can stop and resume it."""

    def __init__(self, *, skip_adjacent: bool = False) -> None:
        if not isinstance(skip_adjacent, (bool, np.bool_)):
            raise TypeError(
                f"skip_adjacent must be a bool, not {type(skip_adjacent).__name__}"
            )
        self._skip_adjacent = bool(skip_adjacent)
        self._lock = threading.Lock()
        self._length = 0
        self._record_positions = _EMPTY_INTS
        self._record_values = np.empty(0, dtype=np.float64)
        self._record_degrees = _EMPTY_INTS
        self._nan_positions = _EMPTY_INTS
        # The largest non-NaN sample after each NaN sample (NaN when none): non-increasing,
        # its NaN entries last.
        self._nan_after = np.empty(0, dtype=np.float64)
        self._nan_degrees = _EMPTY_INTS

    @property
    def skip_adjacent(self) -> bool:
        return self._skip_adjacent

    def __len__(self) -> int:
        return self._length

    @property
    def pending(self) -> IntArray:
        """Positions of the samples that later samples may still see (ascending)."""
        with self._lock:
            return np.union1d(self._record_positions, self._nan_positions)

    def pending_degrees(self) -> Tuple[IntArray, IntArray]:
        """``(positions, degrees)`` of the pending samples, ascending by position."""
        with self._lock:
            positions = np.concatenate([self._record_positions, self._nan_positions])
            degrees = np.concatenate([self._record_degrees, self._nan_degrees])
            order = np.argsort(positions, kind="stable")
            return positions[order], degrees[order]

    def append(self, value: float) -> StreamUpdate:
        """Appends one sample."""
        return self.extend(np.array([value], dtype=np.float64))

    def extend(self, values: Any, *, edges: bool = True) -> StreamUpdate:
        """Appends the samples of a 1-d sequence or array, in order. With
        ``edges=False`` the new edges are not listed (``edges`` of the update is empty)
        and the degrees are counted directly, in time and memory independent of them."""
        piece = _as_piece(values)
        with self._lock:
            if len(piece) == 0:
                return StreamUpdate(_EMPTY_EDGES, _EMPTY_INTS, _EMPTY_INTS,
                                    np.empty(0, dtype=np.bool_))
            return self._join(piece, edges)

    def _join(self, piece: FloatArray, listing: bool) -> StreamUpdate:
        start = self._length
        size = len(piece)
        kept = len(self._record_positions)
        new_positions = start + np.arange(size, dtype=np.int64)

        # Pairs with a record or within the piece, from the graph of [records..., piece].
        joined = np.concatenate([self._record_values, piece])
        nans = len(self._nan_positions)
        blocked = self._nan_blocked(piece) if nans else _EMPTY_INTS
        if listing:
            new_edges, piece_degrees, record_gain, nan_gain = self._listed(
                joined, piece, blocked, start)
        else:
            new_edges = _EMPTY_EDGES
            piece_degrees, record_gain, nan_gain = self._counted(joined, blocked, start)

        # The state after the piece: records above every later non-NaN sample, every NaN.
        piece_max = np.fmax.reduce(piece)
        after = _suffix_max_after(piece)
        piece_records = ~np.isnan(piece) & ~(after >= piece)
        old_degrees = self._record_degrees + record_gain
        survives = ~(self._record_values <= piece_max)  # all survive a piece of NaN only
        piece_nans = np.isnan(piece)

        changed_records = (record_gain > 0) | ~survives
        update_positions = [self._record_positions[changed_records]]
        update_degrees = [old_degrees[changed_records]]
        update_settled = [~survives[changed_records]]
        if nans:
            nan_degrees = self._nan_degrees + nan_gain
            changed_nans = nan_gain > 0
            update_positions.append(self._nan_positions[changed_nans])
            update_degrees.append(nan_degrees[changed_nans])
            update_settled.append(np.zeros(int(changed_nans.sum()), dtype=np.bool_))
        else:
            nan_degrees = self._nan_degrees
        update_positions.append(new_positions)
        update_degrees.append(piece_degrees)
        update_settled.append(~(piece_records | piece_nans))

        self._record_positions = np.concatenate(
            [self._record_positions[survives], new_positions[piece_records]])
        self._record_values = np.concatenate(
            [self._record_values[survives], piece[piece_records]])
        self._record_degrees = np.concatenate(
            [old_degrees[survives], piece_degrees[piece_records]])
        self._nan_positions = np.concatenate([self._nan_positions, new_positions[piece_nans]])
        self._nan_after = np.concatenate(
            [np.fmax(self._nan_after, piece_max), after[piece_nans]])
        self._nan_degrees = np.concatenate([nan_degrees, piece_degrees[piece_nans]])
        self._length = start + size

        # The earlier samples (few) sorted by position, then the piece's, already in order.
        earlier = np.concatenate(update_positions[:-1])
        order = np.concatenate([np.argsort(earlier, kind="stable"),
                                len(earlier) + np.arange(size, dtype=np.int64)])
        return StreamUpdate(
            new_edges,
            np.concatenate(update_positions)[order],
            np.concatenate(update_degrees)[order].astype(np.int64, copy=False),
            np.concatenate(update_settled)[order],
        )

    def _nan_blocked(self, piece: FloatArray) -> IntArray:
        """For each piece sample j, how many earlier NaN samples (the first ones) do not
        see it. None sees j when a non-NaN sample of the piece before j is >= v[j]; else
        NaN sample p sees j unless the largest non-NaN sample after p, before the piece,
        is >= v[j] (those p come first: that largest sample falls as p grows)."""
        nans = len(self._nan_positions)
        before = _prefix_max_before(piece)
        known = int(np.count_nonzero(~np.isnan(self._nan_after)))
        blocked = np.searchsorted(-self._nan_after[:known], -piece, side="right")
        blocked = np.where(np.isnan(piece), 0, blocked)  # NaN meets NaN: nothing blocks
        return np.where(before >= piece, nans, blocked).astype(np.int64)  # False for NaN

    def _listed(self, joined: FloatArray, piece: FloatArray, blocked: IntArray,
                start: int) -> Tuple[IntArray, IntArray, IntArray, IntArray]:
        """The new edges and the degree changes they make."""
        size = len(piece)
        kept = len(self._record_positions)
        nans = len(self._nan_positions)
        new_positions = start + np.arange(size, dtype=np.int64)
        edges = np.asarray(kestrel_grid.horizontal_visibility_edge_array(joined))
        edges = edges[edges[:, 1] >= kept]
        where = np.concatenate([self._record_positions, new_positions])
        low = where[edges[:, 0]]
        high = where[edges[:, 1]]
        if nans:
            owner, nan_index = _ranges(blocked, np.full(size, nans, np.int64))
            low = np.concatenate([low, self._nan_positions[nan_index]])
            high = np.concatenate([high, new_positions[owner]])
        if self._skip_adjacent:
            apart = high - low != 1
            low, high = low[apart], high[apart]
        piece_degrees = np.bincount(high - start, minlength=size)
        piece_degrees += np.bincount(low[low >= start] - start, minlength=size)
        earlier = low[low < start]
        record_gain = _gains(self._record_positions, earlier)
        nan_gain = _gains(self._nan_positions, earlier)
        if nans:  # the module's pairs come in (low, high) order; the NaN pairs join them
            order = np.lexsort((high, low))
            low, high = low[order], high[order]
        new_edges = np.stack([low, high], axis=1) if len(low) else _EMPTY_EDGES
        return new_edges, piece_degrees.astype(np.int64), record_gain, nan_gain

    def _counted(self, joined: FloatArray, blocked: IntArray,
                 start: int) -> Tuple[IntArray, IntArray, IntArray]:
        """The degree changes alone, from degrees of the joined series: no edge listed."""
        kept = len(self._record_positions)
        nans = len(self._nan_positions)
        counted = np.asarray(kestrel_grid.horizontal_visibility_degrees(joined)).astype(np.int64)
        record_gain = counted[:kept]
        # The records fall strictly, so among themselves only neighbours see each other:
        # those pairs were counted before.
        if kept > 1:
            record_gain[[0, -1]] -= 1
            record_gain[1:-1] -= 2
        piece_degrees = counted[kept:]
        nan_gain = _EMPTY_INTS
        if nans:
            piece_degrees += nans - blocked
            # NaN sample p sees every piece sample j with blocked[j] <= p.
            nan_gain = np.cumsum(np.bincount(blocked, minlength=nans + 1))[:nans]
        if self._skip_adjacent:
            # Neighbours always see each other: each pair of them was counted at both ends.
            piece_degrees[1:] -= 1
            piece_degrees[:-1] -= 1
            if start > 0:  # the sample before the piece is the last record or NaN sample
                piece_degrees[0] -= 1
                if kept and self._record_positions[-1] == start - 1:
                    record_gain[-1] -= 1
                else:
                    nan_gain[-1] -= 1
        return piece_degrees, record_gain, nan_gain

    def __getstate__(self) -> Dict[str, Any]:
        with self._lock:
            state = dict(self.__dict__)
        del state["_lock"]
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()

    def __repr__(self) -> str:
        return (f"HorizontalStream(samples={self._length}, "
                f"pending={len(self._record_positions) + len(self._nan_positions)})")


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


def _npy_pieces(path: str, piece: int) -> Tuple[int, Iterator[FloatArray]]:
    handle = open(path, "rb")
    try:
        version = np.lib.format.read_magic(handle)
        read_header = (np.lib.format.read_array_header_1_0 if version == (1, 0)
                       else np.lib.format.read_array_header_2_0)
        shape, _, dtype = read_header(handle)
    except BaseException:
        handle.close()
        raise
    if (len(shape) != 1 and not (len(shape) == 2 and 1 in shape)) or dtype.kind not in "biuf":
        handle.close()
        raise ValueError(f"{path}: not a 1-d numeric array (shape {shape}, dtype {dtype})")
    total = int(np.prod(shape))

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

    return total, pieces()


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
    """What :func:`horizontal_out_of_core` read and wrote.

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
    degree_output = _DegreeOutput(degrees) if degrees is not None else None
    edge_output: Optional[_EdgeOutput] = None
    counts = np.zeros(0, dtype=np.int64)
    # Under "omit", the source positions of the pending samples (stream positions differ).
    pending_stream = _EMPTY_INTS
    pending_source = _EMPTY_INTS
    read = 0

    def tally(found: IntArray) -> None:
        nonlocal counts
        if len(found) == 0:
            return
        added = np.bincount(found)
        if len(added) > len(counts):
            counts = np.concatenate([counts, np.zeros(len(added) - len(counts), np.int64)])
        counts[: len(added)] += added

    try:
        edge_output = _EdgeOutput(edges) if edges is not None else None
        for values in pieces:
            gaps = np.isnan(values)
            source_positions: Optional[IntArray] = None
            if missing == "raise" and gaps.any():
                raise MissingSampleError(read + int(np.flatnonzero(gaps)[0]))
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
            read += len(gaps)
            if progress is not None:
                progress(read, total)
        positions, final = stream.pending_degrees()
        tally(final)
        if degree_output is not None:
            degree_output.finish(positions, final)
        if edge_output is not None:
            edge_output.finish()
    except BaseException:
        if degree_output is not None:
            degree_output.discard()
        if edge_output is not None:
            edge_output.discard()
        raise
    # Each edge adds one to the degree of each end.
    edge_count = int(np.dot(counts, np.arange(len(counts), dtype=np.int64))) // 2
    return OutOfCoreResult(len(stream), edge_count, counts)
