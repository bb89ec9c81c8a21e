"""Graph features of many series at once: one row per series, computed on Dask.

Each series goes through the same functions as :func:`kestrel_grid_tools.summarize`
(``features.degrees``, ``degree_distribution``, ``iid_distance``, ``motif_summary``), so
every number equals the one a plain loop over the series gives. The degree-only builders
release the interpreter lock, so the threads of one worker compute series in parallel.

dask, distributed and pandas come with the ``kestrel-grid[dask]`` extra and are imported
only inside the functions below."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from . import features, measures as _measures
from ._graphs import FloatArray, IntArray
from ._optional import require
from ._options import Options, check_int, check_kind
from ._record import as_record
from ._positions import UNITS, has_periods
from .features import Kind

FEATURE = "series_features"
DEFAULT_MAX_DEGREE = 32

# Partitioning used when numpy arrays or pandas frames are converted to dask: blocks of at
# most this many samples (32 MiB of float64) and at most this many series, so a block is a
# task of well under a second that still amortises the scheduler's per-task cost.
_BLOCK_SAMPLES = 1 << 22
_BLOCK_SERIES = 2000
# Rows per partition of a converted long-form pandas frame.
_PARTITION_ROWS = 1 << 20
# Position of a row within its input partition occupies the low bits of the order key.
_ORDER_SHIFT = 40

_INT_COLUMNS = ("samples", "omitted", "edges", "max_degree")
_MOTIF_COLUMNS = ("motif_windows", "motif_mean", "motif_std", "motif_min", "motif_max")

@dataclass(frozen=True)
class _Request:
    """What both entry points were asked for, checked once and sent to the workers."""

    options: Options
    max_degree: int
    positions: bool
    measures: bool = False


def _request(
    kind: str,
    skip_adjacent: bool,
    window: Optional[int],
    max_degree: int,
    penetrable: int = 0,
    exact: bool = False,
    positions: bool = False,
    decimals: Optional[int] = None,
    measures: bool = False,
    threads: Optional[int] = None,
) -> _Request:
    """Checks the arguments shared by both entry points (missing samples are always
    left out, as a summary leaves them out)."""
    options = Options(kind=check_kind(kind), skip_adjacent=skip_adjacent, penetrable=penetrable,
                      exact=exact, missing="omit", decimals=decimals, window=window,
                      threads=threads)
    if measures:
        _measures.check_measure_options(options)
    return _Request(options, check_int("max_degree", max_degree, 0), bool(positions), bool(measures))


def _check_positions(positions: bool, data_is_long: bool, time_column: Optional[str]) -> None:
    if not positions:
        return
    if not data_is_long:
        raise ValueError("positions=True needs long-form data with a time column; arrays and "
                         "mappings have no positions")
    if time_column is None:
        raise ValueError("positions=True takes the positions from the time column: give time_column")


def _frame(
    series: Sequence[Any], index: Any, request: _Request,
    positions: Optional[Sequence[FloatArray]] = None,
) -> Any:
    """The feature rows of ``series`` (1-d arrays, at ``positions`` when given) as a pandas
    DataFrame on ``index``.

    With no series this is the empty frame used as the dask meta, so the meta's columns
    and dtypes are by construction those of every computed partition."""
    require("pandas", FEATURE)
    options, top = request.options, request.max_degree
    kind, skip_adjacent, window = options.kind, options.skip_adjacent, options.window
    count = len(series)
    ints: IntArray = np.zeros((count, len(_INT_COLUMNS)), dtype=np.int64)
    mean_degree: FloatArray = np.full(count, math.nan)
    iid: FloatArray = np.full(count, math.nan)
    windows: IntArray = np.zeros(count, dtype=np.int64)
    motif: FloatArray = np.full((count, len(_MOTIF_COLUMNS) - 1), math.nan)
    shares: FloatArray = np.full((count, top + 2), math.nan)
    names = _measures.feature_names(kind)[1:] if request.measures else ()
    sizes: List[int] = []
    graphs: List[IntArray] = []
    flat: List[IntArray] = []
    for row, raw in enumerate(series):
        record = as_record(raw, None if positions is None else positions[row])
        if request.measures:
            # One edge array gives the degrees (the same integers as the degree-only
            # builder) and, with the other series of the block, the measures.
            edges = features.record_edges(record, options)
            kept = record.kept("omit")
            sizes.append(record.values.size if kept is None else kept.size)
            graphs.append(edges)
            flat.append(_measures.record_horizontal_edges(record, options, edges))
            deg = np.bincount(edges.ravel(), minlength=sizes[-1]).astype(np.int64)
        else:
            deg = features.record_degrees(record, options)
        n = int(deg.size)
        total = int(deg.sum())
        # The same expressions as features.record_summary, so the numbers are identical.
        ints[row] = (n, int(record.values.size) - n, total // 2, int(deg.max()) if n else 0)
        if n:
            mean_degree[row] = total / n
            p = features.degree_distribution(deg)[1]
            width = min(p.size, top + 1)
            shares[row, : top + 1] = 0.0
            shares[row, :width] = p[:width]
            shares[row, top + 1] = int(np.count_nonzero(deg > top)) / n
        if kind == "horizontal":
            iid[row] = features.iid_distance(deg, skip_adjacent, penetrable=options.penetrable)
        if window is not None and n >= window:
            _window_row(record.present("omit"), window, skip_adjacent, windows, motif, row)
    measured = _measures.batch_measures(kind, sizes, graphs, flat) if names else None
    return _assemble(index, request, ints, mean_degree, iid, windows, motif, shares, measured)


def _window_row(values: FloatArray, window: int, skip_adjacent: bool, windows: IntArray,
                motif: FloatArray, row: int) -> None:
    """Fills ``row`` of the window motif columns from the samples kept of one series."""
    summary = features.motif_summary(values, window, skip_adjacent)
    windows[row] = summary["windows"]
    motif[row] = [summary[name] for name in _MOTIF_COLUMNS[1:]]


def _assemble(index: Any, request: _Request, ints: IntArray, mean_degree: FloatArray,
              iid: FloatArray, windows: IntArray, motif: FloatArray, shares: FloatArray,
              measured: Optional[FloatArray]) -> Any:
    """The feature frame from its columns' arrays, in the frame's column order."""
    pd = require("pandas", FEATURE)
    top = request.max_degree
    columns: Dict[str, Any] = {
        "samples": ints[:, 0],
        "omitted": ints[:, 1],
        "edges": ints[:, 2],
        "mean_degree": mean_degree,
        "max_degree": ints[:, 3],
        "iid_distance": iid,
    }
    if request.options.window is not None:
        columns["motif_windows"] = windows
        for position, name in enumerate(_MOTIF_COLUMNS[1:]):
            columns[name] = motif[:, position]
    for k in range(top + 1):
        columns[f"p_{k}"] = shares[:, k]
    columns["p_tail"] = shares[:, top + 1]
    if measured is not None:
        for position, name in enumerate(_measures.feature_names(request.options.kind)[1:], 1):
            columns[name] = measured[:, position]
    return pd.DataFrame(columns, index=index)


def _array_frame(block: Any, start: int, id_column: str, options: _Request) -> Any:
    """Feature rows of the series in a (rows, samples) block whose first row is ``start``."""
    pd = require("pandas", FEATURE)
    block = np.asarray(block)
    index = pd.RangeIndex(start, start + block.shape[0], name=id_column)
    if _measures.block_tables_apply(block, options.options):
        return _block_frame(block, index, options)
    return _frame(list(block), index, options)


def _block_frame(block: FloatArray, index: Any, request: _Request) -> Any:
    """The rows :func:`_frame` gives for the series of ``block`` (see :func:`~kestrel_grid_tools.measures.block_tables_apply`),
    from the module's count tables: the same integers, and every float computed by the
    same expression on them, vectorised over the series."""
    options, top = request.options, request.max_degree
    count, n = block.shape
    edge_counts, (codes, counts, width), tables = _measures.block_tables(
        options.kind, block, options.skip_adjacent, request.measures)
    series, k = codes // width, codes % width
    max_degree = np.zeros(count, dtype=np.int64)
    np.maximum.at(max_degree, series, k)
    ints = np.column_stack([np.full(count, n), np.zeros(count, dtype=np.int64), edge_counts,
                            max_degree]).astype(np.int64)
    # total / n as Python divides the two ints: both are below 2^53, so exact as doubles.
    mean_degree: FloatArray = (2 * edge_counts).astype(np.float64) / n
    p = counts / n
    shares: FloatArray = np.zeros((count, top + 2))
    low = k <= top
    shares[series[low], k[low]] = p[low]
    shares[:, top + 1] = np.bincount(series[~low], weights=counts[~low], minlength=count) / n
    iid: FloatArray = np.full(count, math.nan)
    if options.kind == "horizontal":
        # Largest |P(k) - law(k)| over k = 0 .. max degree + 1 of each series.
        shown = np.zeros((count, width + 1))
        shown[series, k] = p
        ks = np.arange(width + 1)
        gap = np.abs(shown - features.iid_law(ks, options.skip_adjacent))
        gap[ks[None, :] > max_degree[:, None] + 1] = 0.0  # |..| >= 0: never above the max
        iid = gap.max(axis=1)
    windows: IntArray = np.zeros(count, dtype=np.int64)
    motif: FloatArray = np.full((count, len(_MOTIF_COLUMNS) - 1), math.nan)
    if options.window is not None and n >= options.window:
        for row in range(count):
            _window_row(block[row], options.window, options.skip_adjacent, windows, motif, row)
    measured = None if tables is None else _measures.table_measures(options.kind, tables)
    return _assemble(index, request, ints, mean_degree, iid, windows, motif, shares, measured)


def _long_frame(
    part: Any, id_column: str, time_column: Optional[str], value_column: str, order_column: str,
    options: _Request, labels: Any = None,
) -> Any:
    """Feature rows of the series in a long-form pandas frame holding whole series.

    Rows are sorted by (id, time, input order), so ties in time keep the input order, and
    each run of one id is a series. Rows with a missing id are dropped. With positions,
    the sorted times are the positions; a repeated or missing time raises ValueError.

    With ``labels`` (see :func:`_coded_ids`) the id column holds positions in ``labels``,
    which give the result's index and the names in messages."""
    pd = require("pandas", FEATURE)
    part = part[part[id_column].notna()]
    keys = [id_column] + ([time_column] if time_column is not None else []) + [order_column]
    part = part.sort_values(keys, kind="stable", na_position="last")
    ids = part[id_column]
    codes = pd.factorize(ids)[0]
    starts = np.flatnonzero(np.diff(codes)) + 1
    if codes.size:
        starts = np.concatenate([[0], starts])
    stops = np.append(starts[1:], codes.size)
    values = part[value_column].to_numpy(dtype=np.float64, na_value=np.nan)
    bounds = list(zip(starts.tolist(), stops.tolist()))
    series = [values[a:b] for a, b in bounds]
    positions = None
    if labels is not None:
        ids = pd.Series(labels.take(ids.to_numpy(dtype=np.int64)), index=ids.index)
    if options.positions and time_column is not None:
        times = _times(part[time_column], starts, stops)
        _check_times(times, codes, ids)
        positions = [times[a:b] for a, b in bounds]
    return _frame(series, pd.Index(ids.iloc[starts], name=id_column), options, positions)


def _coded_ids(data: Any, id_column: str) -> Tuple[Any, Any]:
    """``data`` without the rows of missing id, its ids replaced by int64 codes, and the
    index of labels the codes point into.

    Dask turns object columns into strings when it converts a pandas frame, so ids 1 and
    "1" would merge and int ids would come back as text sorted as text. The codes carry
    the ids through dask untouched; they number the distinct ids in the order in which
    :func:`features_frame` sorts them (the same multi-key sort), so sorting by code
    sorts as it does."""
    pd = require("pandas", FEATURE)
    data = data[data[id_column].notna()]
    distinct = data[[id_column]].drop_duplicates()
    distinct = distinct.assign(_first=np.arange(len(distinct), dtype=np.int64))
    labels = pd.Index(distinct.sort_values([id_column, "_first"], kind="stable")[id_column])
    codes = labels.get_indexer(data[id_column])
    return data.assign(**{id_column: codes.astype(np.int64)}), labels


def _times(column: Any, starts: IntArray, stops: IntArray) -> FloatArray:
    """The times of sorted rows as float64 positions. Datetimes and timedeltas become
    integer offsets from the first time of their series, in the coarsest unit (day,
    hour, ..., nanosecond) that holds every time of that series exactly, as
    :func:`~kestrel_grid_tools.time_positions` gives them; periods are counted in their
    frequency from the first period of their series; missing times become NaN."""
    pd = require("pandas", FEATURE)
    if has_periods(column):
        ordinals, missing = _offsets(np.asarray(column.array.asi8, dtype=np.int64), column, starts, stops)
        periods = ordinals.astype(np.float64)
        periods[missing] = np.nan
        return periods
    if pd.api.types.is_datetime64_any_dtype(column) or pd.api.types.is_timedelta64_dtype(column):
        index = (pd.TimedeltaIndex(column) if pd.api.types.is_timedelta64_dtype(column)
                 else pd.DatetimeIndex(column))
        if hasattr(index, "as_unit"):  # pandas 2 keeps other units than ns
            index = index.as_unit("ns")
        offsets, missing = _offsets(np.asarray(index.asi8, dtype=np.int64), column, starts, stops)
        counts = stops - starts
        # Per series, the coarsest unit that divides every offset of it.
        size = np.ones(counts.size, dtype=np.int64)
        occupied = np.flatnonzero(counts > 0)
        for _, length in reversed(UNITS):
            whole = (offsets % length) == 0
            fits = np.zeros(counts.size, dtype=bool)
            if occupied.size:
                fits[occupied] = np.logical_and.reduceat(whole, starts[occupied])
            size[fits] = length
        times = (offsets // np.repeat(size, counts)).astype(np.float64)
        times[missing] = np.nan
        return times
    return np.asarray(column.to_numpy(dtype=np.float64, na_value=np.nan), dtype=np.float64)


def _offsets(ticks: IntArray, column: Any, starts: IntArray, stops: IntArray) -> Tuple[IntArray, Any]:
    """Each row's ``ticks`` less those of the first row of its series (0 where the time is
    missing), and which rows miss their time."""
    missing = np.asarray(column.isna().to_numpy(), dtype=bool)
    first = np.repeat(ticks[starts], stops - starts) if ticks.size else ticks
    return np.where(missing, 0, ticks - first), missing


def _check_times(times: FloatArray, codes: IntArray, ids: Any) -> None:
    """Raises ValueError naming the series and time of the first missing, non-finite or
    repeated time (rows sorted by id then time, ``codes`` numbering the series)."""
    bad = ~np.isfinite(times)
    repeated = np.zeros(times.size, dtype=bool)
    repeated[1:] = (codes[1:] == codes[:-1]) & (times[1:] <= times[:-1])
    found = np.flatnonzero(bad | repeated)
    if found.size == 0:
        return
    row = int(found[0])
    what = "repeats the time before it" if repeated[row] else "is not finite"
    name = ids.iloc[row : row + 1].tolist()[0]  # a Python scalar: its repr has no numpy type
    raise ValueError(
        f"series {name!r}: time {float(times[row])!r} (as a position) {what}; "
        "positions=True needs distinct, finite times in every series"
    )


def _with_order(part: Any, order_column: str, partition_info: Optional[Dict[str, Any]] = None) -> Any:
    """Adds the order key: input partition number in the high bits, row in the low bits."""
    number = partition_info["number"] if partition_info is not None else 0
    order = (np.int64(number) << np.int64(_ORDER_SHIFT)) + np.arange(len(part), dtype=np.int64)
    return part.assign(**{order_column: order})


def _check_columns(columns: Sequence[Any], wanted: Sequence[Optional[str]],
                   index_names: Sequence[Any] = ()) -> None:
    """Raises ValueError for a wanted column that is missing; when the ids or times sit
    in the frame's index (a frame indexed by (series, time)), says how to make them
    columns."""
    available = list(columns)
    levels = [level for level in index_names if level is not None]
    named = [name for name in wanted if name is not None]
    for name in named:
        if name not in available:
            if len(index_names) > 1 or name in levels:
                hint = f"; the index holds {levels!r}: data.reset_index() makes them columns"
            elif not any(other in available for other in named):
                # None of the columns: most likely a wide frame, a series per row.
                series, time, value = (list(wanted) + [None, None, None])[:3]
                names = f"var_name={time!r}, " if time is not None else ""
                hint = ("; the frame looks wide (one row per series, one column per sample?): "
                        "the frames take long form, one row per sample, e.g. "
                        f"data.rename_axis({series!r}).reset_index().melt(id_vars={series!r}, "
                        f"{names}value_name={value!r})")
            else:
                hint = ""
            raise ValueError(f"column {name!r} not found; available columns: {available!r}{hint}")


def _order_column(used: Sequence[Optional[str]]) -> str:
    name = "_order"
    while name in used:
        name = "_" + name
    return name


def _check_array_shape(shape: Tuple[Any, ...]) -> None:
    if len(shape) != 2:
        raise ValueError(
            f"a series array must be two-dimensional (series, samples), got shape {shape}"
        )


def series_features(
    data: Any,
    kind: Kind = "natural",
    skip_adjacent: bool = False,
    window: Optional[int] = None,
    max_degree: int = DEFAULT_MAX_DEGREE,
    id_column: str = "series",
    time_column: Optional[str] = "time",
    value_column: str = "value",
    *,
    penetrable: int = 0,
    exact: bool = False,
    positions: bool = False,
    decimals: Optional[int] = None,
    measures: bool = False,
    threads: Optional[int] = None,
) -> Any:
    """Graph features of many series as a lazy dask DataFrame, one row per series.

    Columns, in this order (``samples``, ``omitted``, ``edges``, ``max_degree`` and
    ``motif_windows`` are int64, the rest float64):

    - ``samples``, ``omitted``, ``edges``, ``mean_degree``, ``max_degree``, as
      :func:`~kestrel_grid_tools.summarize` gives them: missing samples (NaN) are left
      out of the graph and counted in ``omitted`` (``mean_degree`` is NaN for an empty
      series).
    - ``iid_distance``: the distance from the i.i.d. law for horizontal graphs; the
      column is always present, NaN for natural graphs, so both kinds share one schema.
    - ``motif_windows``, ``motif_mean``, ``motif_std``, ``motif_min``, ``motif_max``: the
      motif summary when ``window`` is given; a series shorter than the window has 0
      windows and NaN statistics instead of an error. Motif scores are those of the
      ordinary horizontal graph (positions and ``exact`` do not change it); a window
      with ``penetrable`` above 0 is refused.
    - ``p_0`` .. ``p_K`` (``K = max_degree``): the share of vertices of each degree, equal
      to :func:`~kestrel_grid_tools.degree_distribution`; ``p_tail`` is the share of
      vertices of degree above ``K``. A row sums to 1 up to rounding; all NaN for an empty
      series.
    - With ``measures=True``, the measures of :func:`~kestrel_grid_tools.feature_vector` after
      ``mean_degree`` (``degree_entropy``, ``joint_degree_entropy``, ``motif_1`` ..,
      ``irreversibility``, ``irreversibility_pairs``, and ``difference_entropy`` for the
      natural graph), the columns of
      :class:`~kestrel_grid_tools.VisibilityFeatures`; they belong to the ordinary
      graph, so ``penetrable`` and ``skip_adjacent`` are refused with them.

    The columns are fixed by the arguments, so the frame's meta is known without computing
    anything.

    Input forms:

    - A dask DataFrame in long form, one row per sample (``id_column``, ``time_column``,
      ``value_column``). Rows are shuffled on the series id so each series lands whole in
      one partition, then each partition is sorted by (id, time, input order) and
      summarised with ``map_partitions``; ties in time keep the input order, missing
      times sort last, rows with a missing id are dropped. With ``time_column=None`` the
      input order is the time order. The result is indexed by the series id, sorted
      within each partition; its divisions are unknown (``compute().sort_index()`` gives
      a sorted frame). A shuffle then ``map_partitions`` scales to more series than fit
      in memory and costs one sort per partition rather than one pandas call per group.
    - A dask array of shape (series, samples): it is rechunked so every row is whole
      (rows keep their chunking when the samples axis already is one chunk, otherwise
      rows are chunked ``"auto"``), each block becomes one partition, and the result is
      indexed 0 .. series-1 with known divisions.
    - A numpy 2-d array or a pandas long-form DataFrame, converted to dask first (blocks
      of at most 2000 series and 4 Mi samples; 1 Mi rows per partition). Pass a dask
      collection to choose the partitioning yourself, or use :func:`features_frame` to
      compute eagerly without dask.

    Example:
        >>> import numpy as np
        >>> from kestrel_grid_tools import series_features
        >>> rows = np.random.default_rng(0).normal(size=(100, 500))
        >>> frame = series_features(rows, kind="horizontal", max_degree=8)
        >>> result = frame.compute()
        >>> result.shape
        (100, 16)
        >>> bool((result["samples"] == 500).all())
        True

        To run on a cluster, create a client before calling ``compute()``::

            from distributed import Client
            client = Client("tcp://scheduler-address:8786")
            result = series_features(rows).compute()

        The workers need ``kestrel-grid`` installed.

    Args:
        data: A dask or pandas long-form DataFrame, or a dask or numpy 2-d array.
        kind: ``"natural"`` or ``"horizontal"``.
        skip_adjacent: Leave out the edges between neighbouring samples.
        window: Motif window size, or ``None`` for no motif columns.
        max_degree: The largest degree with its own ``p_K`` column.
        id_column: Series id column of long-form input; also the result's index name.
        time_column: Time column of long-form input, or ``None`` to keep the row order.
        value_column: Sample value column of long-form input.
        penetrable: Keep a pair visible with at most this many blocking samples
            between its ends (the i.i.d. distance then uses the law of the same
            ``penetrable``).
        exact: Decide the natural rule exactly on the binary values.
        decimals: ``None``, or decide the natural rule exactly on the values as
            decimals with at most this many places (see ``kestrel_grid.build_graph``);
            a value that is no such decimal raises ValueError naming it.
        positions: Long-form input only: the sorted times of each series are its
            positions (numbers as they are; datetimes and timedeltas as integer
            offsets from the series' first time in the coarsest exact unit; periods
            counted in their frequency from the series' first period). A missing or
            repeated time in a series raises ValueError naming the series when the
            frame is computed.
        measures: Add the measure columns (see above).

    Returns:
        A dask DataFrame with one row per series.

    Raises:
        ValueError: For a bad ``kind``, ``window``, ``max_degree``, ``penetrable`` or
            ``decimals``, a
            window with ``penetrable``, ``positions`` without long-form data and a time
            column, a missing column, or an array that is not two-dimensional or has
            unknown chunk sizes.
        TypeError: For any other kind of ``data``, or an option that is no int.
        MissingExtraError: When dask or pandas is not installed.
    """
    pd = require("pandas", FEATURE)
    dd = require("dask.dataframe", FEATURE)
    da = require("dask.array", FEATURE)
    options = _request(kind, skip_adjacent, window, max_degree, penetrable, exact, positions, decimals,
                       measures, threads)
    _check_positions(positions, isinstance(data, (pd.DataFrame, dd.DataFrame)), time_column)
    labels = None
    if isinstance(data, pd.DataFrame):
        _check_columns(data.columns, [id_column, time_column, value_column], data.index.names)
        columns = list(dict.fromkeys(n for n in (id_column, time_column, value_column) if n))
        data, labels = _coded_ids(data[columns], id_column)
        partitions = max(1, -(-len(data) // _PARTITION_ROWS))
        data = dd.from_pandas(data, npartitions=partitions, sort=False)
    if isinstance(data, dd.DataFrame):
        return _long_features(data, id_column, time_column, value_column, options, labels)
    if isinstance(data, np.ndarray):
        _check_array_shape(data.shape)
        rows = max(1, min(_BLOCK_SERIES, _BLOCK_SAMPLES // max(1, data.shape[1])))
        data = da.from_array(data, chunks=(rows, -1))
    if isinstance(data, da.Array):
        return _array_features(data, id_column, options)
    raise TypeError(
        "data must be a dask or pandas DataFrame in long form or a dask or numpy 2-d array, "
        f"got {type(data).__name__}"
    )


def _long_features(
    data: Any, id_column: str, time_column: Optional[str], value_column: str, options: _Request,
    labels: Any = None,
) -> Any:
    pd = require("pandas", FEATURE)
    wanted = [id_column, time_column, value_column]
    _check_columns(data.columns, wanted)
    order_column = _order_column(wanted)
    columns = list(dict.fromkeys(name for name in wanted if name is not None))
    data = data[columns]
    # The order key makes ties in time keep the input order whatever order the shuffle
    # delivers rows in.
    data = data.map_partitions(_with_order, order_column, meta=data._meta.assign(**{order_column: np.int64(0)}))
    data = data.shuffle(on=id_column)
    if labels is None:
        meta = _frame([], pd.Index(data._meta[id_column], name=id_column), options)
    else:
        meta = _frame([], labels[:0].rename(id_column), options)
    # The labels go to every partition's task as a plain argument: some dask versions
    # hand a Delayed argument to map_partitions' function unevaluated.
    return data.map_partitions(
        _long_frame, id_column, time_column, value_column, order_column, options, labels,
        meta=meta, align_dataframes=False,
    )


def _array_features(data: Any, id_column: str, options: _Request) -> Any:
    pd = require("pandas", FEATURE)
    dd = require("dask.dataframe", FEATURE)
    dask = require("dask", FEATURE)
    _check_array_shape(data.shape)
    if any(math.isnan(size) for size in data.shape) or any(
        math.isnan(size) for sizes in data.chunks for size in sizes
    ):
        raise ValueError("the array's chunk sizes are unknown; call compute_chunk_sizes() first")
    if len(data.chunks[1]) > 1:
        data = data.rechunk({0: "auto", 1: -1})
    meta = _frame([], pd.RangeIndex(0, name=id_column), options)
    blocks = data.to_delayed().ravel()
    starts = np.concatenate([[0], np.cumsum(data.chunks[0])]).tolist()
    parts = [
        dask.delayed(_array_frame, pure=True)(block, start, id_column, options)
        for block, start, size in zip(blocks, starts, data.chunks[0])
        if size
    ]
    if not parts:
        return dd.from_pandas(meta, npartitions=1)
    divisions = [start for start, size in zip(starts, data.chunks[0]) if size] + [starts[-1] - 1]
    return dd.from_delayed(parts, meta=meta, divisions=divisions)


def features_frame(
    data: Any,
    kind: Kind = "natural",
    skip_adjacent: bool = False,
    window: Optional[int] = None,
    max_degree: int = DEFAULT_MAX_DEGREE,
    id_column: str = "series",
    time_column: Optional[str] = "time",
    value_column: str = "value",
    *,
    penetrable: int = 0,
    exact: bool = False,
    positions: bool = False,
    decimals: Optional[int] = None,
    measures: bool = False,
    threads: Optional[int] = None,
) -> Any:
    """The rows of :func:`series_features`, computed eagerly into a pandas DataFrame.

    For a number of series that fits in memory and needs no cluster: the same columns,
    the same numbers and the same handling of long-form rows, without dask.

    Example:
        >>> import numpy as np
        >>> from kestrel_grid_tools.many import features_frame
        >>> features_frame({"a": [3.0, 1.0, 2.0], "b": [1.0, 2.0]})["edges"].tolist()
        [3, 1]

    Args:
        data: A pandas long-form DataFrame (sorted by id in the result), a numpy 2-d
            array (index 0 .. series-1), or a mapping from series id to a 1-d series of
            any length (index in the mapping's order).
        kind: ``"natural"`` or ``"horizontal"``.
        skip_adjacent: Leave out the edges between neighbouring samples.
        window: Motif window size, or ``None`` for no motif columns.
        max_degree: The largest degree with its own ``p_K`` column.
        id_column: Series id column of long-form input; also the result's index name.
        time_column: Time column of long-form input, or ``None`` to keep the row order.
        value_column: Sample value column of long-form input.
        penetrable: Keep a pair visible with at most this many blocking samples
            between its ends.
        exact: Decide the natural rule exactly on the binary values.
        decimals: ``None``, or decide the natural rule exactly on the values as
            decimals with at most this many places.
        positions: Long-form input only: the sorted times of each series are its
            positions (see :func:`series_features`).
        measures: Add the measure columns of :func:`series_features`.

    Returns:
        A pandas DataFrame with one row per series.

    Raises:
        ValueError: For a bad ``kind``, ``window``, ``max_degree``, ``penetrable`` or
            ``decimals``, a
            window with ``penetrable``, ``positions`` without long-form data and a time
            column, a missing or repeated time with ``positions``, a missing column, or
            an array that is not two-dimensional.
        TypeError: For any other kind of ``data``, or an option that is no int.
        MissingExtraError: When pandas is not installed.
    """
    pd = require("pandas", "features_frame")
    options = _request(kind, skip_adjacent, window, max_degree, penetrable, exact, positions, decimals,
                       measures, threads)
    _check_positions(positions, isinstance(data, pd.DataFrame), time_column)
    if isinstance(data, pd.DataFrame):
        wanted = [id_column, time_column, value_column]
        _check_columns(data.columns, wanted, data.index.names)
        order_column = _order_column(wanted)
        columns = list(dict.fromkeys(name for name in wanted if name is not None))
        part = data[columns].assign(**{order_column: np.arange(len(data), dtype=np.int64)})
        return _long_frame(part, id_column, time_column, value_column, order_column, options)
    if isinstance(data, np.ndarray):
        _check_array_shape(data.shape)
        return _array_frame(data, 0, id_column, options)
    if isinstance(data, Mapping):
        index = pd.Index(list(data.keys()), name=id_column)
        return _frame(list(data.values()), index, options)
    raise TypeError(
        "data must be a pandas DataFrame in long form, a numpy 2-d array or a mapping of "
        f"series, got {type(data).__name__}"
    )
