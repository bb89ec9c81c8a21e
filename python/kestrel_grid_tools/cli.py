"""The ``kestrel-grid`` command: visibility graphs of series read from files.

Inputs
    CSV (``.csv``), TSV (``.tsv``), ``.npy`` (1-d, or 2-d whose columns are series; by
    content under any name) and any other file or ``-`` (standard input) as text whose
    delimiter is found from the first data row (the suffix's when the row holds it, else
    tab, ``;``, ``,``, else runs of whitespace; one value per line is a single column).
    Lines starting with ``#`` are skipped, and so are blank lines, except inside a
    one-column file, where a blank line is a missing sample. The first row is a header
    when one of its cells is not a number. Values are the doubles Python's ``float``
    gives (bit exact; ``inf``, ``-inf``, ``infinity`` in any case). ``--delimiter``,
    ``--decimal ,`` and ``--encoding`` read other dialects; a column of numbers in
    another dialect (``5,5``) stops the run naming the option to give, and spreadsheets,
    archives, PDF, images and other binary formats are refused by their first bytes.
    On a terminal, runs longer than a second show their progress on standard error.

Missing samples
    An empty cell, ``NA``, ``N/A``, ``NaN``, ``nan`` and ``null`` (any case) are missing
    samples, and so is NaN in a ``.npy`` input. ``--missing omit`` (the default) leaves
    them out: the graph is that of the other samples, each at its own position (its row
    among the data rows, or its ``--x`` value), and edges and degrees name samples by
    that row, so they match the file; the summary counts them as ``omitted``.
    ``--missing raise`` stops with exit status 1 at the first one; ``--missing keep``
    builds with NaN as a value (it never blocks, and a NaN sample sees every other).

Columns
    ``--column NAME|INDEX`` (repeatable or comma-separated; INDEX counts from 0) picks
    columns in every input. Without it a single-column input gives its column and a
    wider one every column whose first data cell is a number. Each series is labelled
    ``file:column`` (the header name, else the 0-based index; ``<stdin>`` for ``-``);
    a label met again (the same file named twice) gets ``#2``, ``#3``, ... appended.

Positions and variants
    ``--x NAME|INDEX`` names the column holding the sampling positions in every input
    (a ``.npy`` input must then be 2-d; the column index counts from 0); that column is
    not a series, and its values must be finite and strictly increasing, else the run
    stops with exit status 1 naming the file, line and column (``.npy``: row and
    column) of the first offending position. ``--penetrable L`` keeps a pair visible
    with at most L blocking samples between its ends. Edges, degrees, distribution and
    summary follow them (``kestrel_grid.graph_edge_array`` and ``graph_degrees``);
    GraphML node attribute ``x`` is the position. Motif scores ignore positions and the
    rule (horizontal comparisons do not depend on them) and have no penetrable variant.

Rules (``--rule``)
    How the natural rule decides a sample near the chord of a pair. ``recorded`` (the
    default for text input) decides exactly on the decimals as written: each column is
    built with ``decimals=`` the most decimal places among its cells (``1.5e-3`` has 4;
    missing cells do not count), so a sample exactly on the chord of the written values
    blocks. A column that would need more than 15 digits in all (or more than 15
    places, or holds an infinity) is decided with ``exact`` instead, with a note on
    standard error. ``float`` (the default for ``.npy`` input, which has no written
    decimals) follows IEEE rounding literally, as the other builders do; ``exact``
    (``--exact`` for short) decides exactly on the binary values. ``--rule recorded``
    with a ``.npy`` input is a usage error. The summary names the rule used in its
    ``rule`` field.

Outputs (``--output``)
    ``summary`` (default): one record per series from
    :func:`kestrel_grid_tools.features.summarize`; ``edges``: ``source,target``;
    ``degrees``: ``index,degree``, with the sample's position after ``index`` when
    ``--x`` gave positions (the column named as ``--x`` names it, or ``x`` for an index;
    times written as ISO 8601 times); ``distribution``: ``k,count,p`` for k = 0 .. max
    degree; ``motifs``: ``window,score`` (window = index of its first sample; the scores
    of the horizontal graph whatever ``--kind``). ``--window W`` is required by
    ``motifs`` and adds the motif-score fields to ``summary``. ``measures``: one record
    per series, written as a summary is, with the feature vector of
    :func:`kestrel_grid_tools.feature_vector` (entropies, the size-4 motif profile,
    irreversibility); ``profile``: ``motif,edges,share`` for the sequential motifs of
    ``--motif-size`` 3 or 4 samples (:func:`kestrel_grid_tools.motif_profile`), with the
    i.i.d. share ``iid`` for horizontal graphs. Both belong to the ordinary graph, so
    ``--penetrable`` and ``--skip-adjacent`` are refused with them.

Direction and weights
    ``--directed left_to_right|top_to_bottom`` turns every edge as
    :func:`kestrel_grid_tools.adapters.directed_edges` does (earlier sample first, or
    higher value first with ties left to right); degrees become
    ``in_degree,out_degree``. ``--weight NAME`` (a name of
    :data:`kestrel_grid_tools.adapters.WEIGHTS`) adds a ``weight`` column to the edges,
    computed from source to target as :func:`kestrel_grid_tools.adapters.edge_weights`
    does, with x the position (times: offsets in ``x_unit``), else the row. The summary
    names both in ``direction`` and ``weight``. Both work on whole arrays.
    ``--weight penetrations`` gives each edge the number of samples blocking it (up to
    ``--penetrable``). ``--min-weight W`` and ``--max-weight W`` keep the edges whose
    weight lies strictly between (they need ``--weight``); ``--view-angle LOW HIGH``
    keeps the edges whose view angle ``arctan(dy/dx)``, earlier sample first, lies in
    ``[LOW, HIGH]`` radians (see :func:`kestrel_grid_tools.visibility_edges`).

Formats (``--format``)
    ``csv``, ``tsv``, ``json``, ``npy``, ``parquet`` (needs pyarrow, the
    ``kestrel-grid[parquet]`` extra), ``graphml`` (edges only) and ``text`` (summary
    only: ``key: value`` lines). When not given, the format follows the ``-o`` suffix
    (``.csv``, ``.tsv``, ``.json``, ``.npy``, ``.parquet``, ``.graphml``); ``.txt``, no
    suffix and standard output get ``text`` for a summary and ``csv`` otherwise; any
    other suffix is a usage error naming the supported ones. JSON records lead with the
    ``series`` label.

Several series
    CSV/TSV/Parquet rows and ``text`` blocks carry a leading ``series`` column or line;
    JSON becomes an object keyed by label; GraphML goes to one file per series,
    ``FILE-1.graphml``, ``FILE-2.graphml``, ... in series order (graph readers read the
    first graph of a file only); ``npy`` holds several series only for the summary (a
    structured array), other outputs are refused since their arrays differ in length.
    ``--plot FILE.png`` likewise writes ``FILE-1.png``, ``FILE-2.png``, ...

Plots (``--plot``)
    ``--plot FILE`` draws each series with its edges and its degree distribution, as
    PNG, PDF or SVG after the suffix of FILE (another suffix is a usage error). The y
    axis is named after the series' column, the x axis after the ``--x`` column
    (``sample`` without it; times give a date axis). ``--plot-scale loglog`` draws the
    degree distribution against log k (default ``semilog``), and ``--plot-ccdf`` draws
    P(K >= k) instead of P(k); horizontal graphs show the i.i.d. law either way.

Inputs with one data row
    A single data row of several numeric columns (a ``.npy`` array of one row) is
    refused unless ``--column`` names the columns: it is nearly always one series
    written across a line. A cell over 128 KiB is refused naming its file and line.

Output files (``-o``)
    A regular file is written under a hidden temporary name in its directory and moved
    into place at the end, so a failed or interrupted run leaves the old file as it was.
    Links are followed (their target is replaced); an existing file keeps its mode, and
    its owner where the process may set it, but loses its hard links. A FIFO or device is
    written directly, a descriptor path (``/dev/stdout``) through the descriptor itself.
    GraphML replaces characters XML does not allow in labels with U+FFFD, and records the
    unit and origin of time positions, the direction and the weight's name as graph data.

Large graphs
    Where the edges are listed (``edges``, ``measures``, ``profile``, ``--directed``
    degrees, ``--plot``), a graph of more edges than ``--max-edges N``, or without it
    than the memory available holds at about 80 bytes an edge, is refused before any is
    listed, naming the count (a convex series of n samples has n (n - 1) / 2 natural
    edges); ``degrees`` and ``summary`` list none. Running out of memory all the same
    stops the run with one line naming what it was doing. A single one-dimensional
    ``.npy`` input with ``--kind horizontal`` is read in pieces, never whole, for the
    summary, the distribution and degrees as npy, CSV or TSV; other requests hold the
    series in memory. ``--threads N`` caps the threads the module uses for one series
    (by default every core for long series); the results are the same for any count.
    ``--plot`` names each picture written on standard error.

Exit status: 0 on success, 1 for unreadable input or a failed write (no partial output
file is left behind), 2 for usage errors, 128 + the signal number when SIGINT, SIGTERM
or SIGHUP stopped the run (the temporary file removed, the old file kept).
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import io
import math
import os
import signal
import sys
import tempfile
import threading
import time
from dataclasses import dataclass
from types import FrameType
from typing import (
    Any, BinaryIO, Callable, Dict, Iterator, List, Optional, Sequence, TextIO, Tuple, cast,
)

import numpy as np

import kestrel_grid as kg

from . import features, measures
from ._graphs import FloatArray, IntArray
from ._io import (
    Dialect,
    STDIN_NAME,
    InputError,
    OutputError,
    OutputFile,
    Series,
    Table,
    Writer,
    make_writer,
    delimiter_of,
    read_series,
    record_table,
)
from ._memory import available_bytes
from ._optional import MissingExtraError, require
from ._options import MAX_DECIMALS, Options
from .adapters import DIRECTIONS, WEIGHTS, _oriented, _weights
from .stream import PIECE, MissingSampleError, horizontal_out_of_core

PROG = "kestrel-grid"
RULES = ("recorded", "float", "exact")
OUTPUTS = ("summary", "edges", "degrees", "distribution", "motifs", "measures", "profile")
# Outputs of one record per series, written as a summary is.
RECORD_OUTPUTS = ("summary", "measures")
FORMATS = ("csv", "tsv", "json", "npy", "parquet", "graphml", "text")
SUFFIX_FORMATS = {
    ".csv": "csv", ".tsv": "tsv", ".json": "json", ".npy": "npy", ".parquet": "parquet",
    ".graphml": "graphml",
}
PLOT_FORMATS = ("png", "pdf", "svg")
PLOT_SCALES = ("semilog", "loglog")
# Suffixes (none included) that get what standard output would: text for a summary,
# CSV otherwise. Devices, FIFOs and descriptors (/dev/stdout) usually have none.
PLAIN_SUFFIXES = ("", ".txt")
# Formats that write binary data, so only to a file.
BINARY_FORMATS = ("npy", "parquet")

_DESCRIPTION = """\
Build the natural or horizontal visibility graph of each series read from FILE
(CSV, TSV, plain text, .npy, or - for standard input) and write a summary, the edges,
the degrees, the degree distribution, the horizontal motif scores, the graph measures
or the sequential motif profile."""

_EPILOG = """\
examples:
  kestrel-grid examples/data/sunspots.csv --column sunspots --kind horizontal
      prints a summary (samples, edges, mean and max degree, distance from the
      i.i.d. law) of the yearly sunspot numbers
  kestrel-grid prices.txt --output edges -o edges.graphml
      writes the natural visibility graph of one value per line as GraphML
  kestrel-grid ticks.csv --x time --column price --penetrable 1 --output degrees
      degrees of the graph of irregularly sampled prices, a pair staying visible
      with at most one sample blocking it
  kestrel-grid werte.txt --decimal , --delimiter semicolon --encoding latin-1
      a semicolon file with decimal commas (5,5) in Latin-1
  kestrel-grid examples/data/co2.csv --column co2 --rule float
      the weekly CO2 record under the float rule instead of its recorded decimals
  kestrel-grid examples/data/co2.csv --x date --column co2 --kind horizontal \\
      --plot co2.pdf --plot-ccdf
      also draws the record against its dates with its graph, and the share of weeks
      with degree k or more beside the i.i.d. law, as a PDF
  kestrel-grid examples/data/co2.csv --column co2 --x date --output edges \\
      --directed top_to_bottom --weight slope -o co2.parquet
      directed edges with their slopes (ppm per day) as Parquet
  kestrel-grid examples/data/sunspots.csv --column sunspots --kind horizontal \\
      --output profile
      the share of each sequential motif of 4 years beside its share in i.i.d. noise

Without --column a one-column file gives its column and a wider file every column whose
first data cell is a number; several series add a leading "series" column (label
file:column). The format follows the -o suffix (.csv .tsv .json .npy .parquet .graphml)
unless --format is given; another suffix is refused; on standard output (or .txt, or no
suffix) a summary is key: value text and other outputs are CSV. With several series
--plot FILE.png writes FILE-1.png, FILE-2.png, ..., and GraphML one file per series
the same way; .pdf and .svg give vector plots. With --x the degrees carry each sample's
position (dates as dates).
--plot-scale loglog and --plot-ccdf change the degree panel: P(k) against log k, or
P(K >= k), the share of vertices with degree k or more (with the i.i.d. law of
horizontal graphs drawn the same way).
--x names the column of positions (finite, strictly increasing; not a series itself);
a bad position stops the run naming its file, line and column.
--rule recorded (the default for text) decides on the decimals as written in each
column; float is the default for .npy input; exact decides on the binary values.
-o replaces a regular file only when the whole result is written (links are followed,
mode and owner kept); FIFOs, devices and /dev/stdout are written directly.
exit status: 0 success, 1 bad input or failed write, 2 usage error, 128+N on signal N
(130 for Ctrl-C)."""


class _UsageError(Exception):
    """A combination of options that cannot work (exit status 2)."""


class _RunError(Exception):
    """A failure outside the inputs, e.g. an output file that cannot be written."""


class _Stopped(BaseException):
    """SIGTERM or SIGHUP arrived. Like KeyboardInterrupt it is no Exception, so that no
    handler of ordinary errors swallows it on its way to the cleanup of the outputs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


# Signals that stop a run: Ctrl-C, and the requests to terminate sent by kill, service
# managers and a closing terminal (SIGHUP does not exist on Windows).
_STOPPING = tuple(
    getattr(signal, name) for name in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, name)
)


@contextlib.contextmanager
def _stop_on_signals() -> Iterator[None]:
    """While the block runs, SIGINT raises KeyboardInterrupt and SIGTERM or SIGHUP raise
    :class:`_Stopped`, once: a second signal during the cleanup is ignored, so that the
    cleanup finishes. A signal the process ignores (``nohup``, a background job) stays
    ignored. The previous handlers come back afterwards, since :func:`main` also runs
    inside other programs (only the main thread may set handlers: elsewhere nothing
    changes)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    stopping = False

    def stop(signum: int, frame: Optional[FrameType]) -> None:
        nonlocal stopping
        if stopping:
            return
        stopping = True
        if signum == signal.SIGINT:
            raise KeyboardInterrupt
        raise _Stopped(signum)

    previous: Dict[int, Any] = {}
    try:
        for signum in _STOPPING:
            if signal.getsignal(signum) is not signal.SIG_IGN:
                previous[signum] = signal.signal(signum, stop)
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


@contextlib.contextmanager
def _signals_held() -> Iterator[None]:
    """Holds the stopping signals back while the block runs (where the platform can), so
    that their handlers run after it: creating a temporary file and recording it for the
    cleanup, or moving the results into place, is then never cut in two."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    held = signal.pthread_sigmask(signal.SIG_BLOCK, _STOPPING)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


@dataclass(frozen=True)
class _Options:
    inputs: Tuple[str, ...]
    columns: Tuple[str, ...]
    kind: features.Kind
    skip_adjacent: bool
    x: Optional[str]
    penetrable: int
    rule: Optional[str]
    missing: features.Missing
    output: str
    direction: Optional[str]
    weight: Optional[str]
    window: Optional[int]
    fmt: str
    path: Optional[str]
    plot: Optional[str]
    plot_scale: str = "semilog"
    plot_ccdf: bool = False
    dialect: Dialect = Dialect()
    min_weight: Optional[float] = None
    max_weight: Optional[float] = None
    view_angle: Optional[Tuple[float, float]] = None
    motif_size: int = 4
    max_edges: Optional[int] = None
    threads: Optional[int] = None


def _delimiter(text: str) -> str:
    try:
        return delimiter_of(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _encoding(text: str) -> str:
    try:
        return codecs.lookup(text).name
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding {text!r}") from None


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive integer, got {text!r}")
    return value


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be a non-negative integer, got {text!r}")
    return value


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("kestrel-grid")
    except metadata.PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``kestrel-grid``."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=_DESCRIPTION,
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    add = parser.add_argument
    add("inputs", nargs="+", metavar="FILE", help="input file, or - for standard input")
    add("-c", "--column", action="append", default=[], metavar="NAME|INDEX",
        help="column to read (header name or 0-based index); repeatable or comma-separated")
    add("--x", metavar="NAME|INDEX",
        help="column holding the sampling positions (finite, strictly increasing); it is "
             "then not a series (default: samples sit at x = 0, 1, 2, ...)")
    add("--delimiter", type=_delimiter, metavar="CHAR|NAME",
        help="cell delimiter of text inputs: one character, or tab, semicolon, comma, "
             "whitespace (runs of spaces and tabs) (default: found from the first data "
             "row, the .csv or .tsv delimiter first)")
    add("--decimal", choices=(".", ","), default=".",
        help="decimal mark of text inputs (default: .); with ',' a point in a number is "
             "refused")
    add("--encoding", type=_encoding, metavar="NAME",
        help="text encoding of the inputs, any Python codec such as latin-1 or cp1252 "
             "(default: UTF-8, with or without a BOM)")
    add("--kind", choices=("natural", "horizontal"), default="natural",
        help="visibility rule (default: natural)")
    add("--skip-adjacent", action="store_true",
        help="leave out the edges between neighbouring samples")
    add("--penetrable", type=_non_negative_int, default=0, metavar="L",
        help="keep a pair visible with at most L blocking samples between (default: 0)")
    add("--rule", choices=RULES,
        help="how the natural rule decides samples near a chord: exactly on the decimals "
             "as written (recorded, the default for text input), by literal IEEE "
             "rounding (float, the default for .npy input), or exactly on the binary "
             "values (exact)")
    add("--exact", action="store_true", help="the same as --rule exact")
    add("--missing", choices=features.MISSING, default="omit",
        help="missing samples (empty cells, NA, NaN, null): leave them out (omit, the "
             "default; the others keep their rows as positions), stop (raise), or build "
             "with NaN (keep)")
    add("--output", choices=OUTPUTS, default="summary", help="what to write (default: summary)")
    add("--directed", choices=DIRECTIONS, metavar="{" + ",".join(DIRECTIONS) + "}",
        help="direct the edges: from the earlier sample to the later (left_to_right) or "
             "from the higher value to the lower (top_to_bottom; ties left to right); "
             "edges are then directed and degrees become in_degree,out_degree")
    add("--weight", choices=measures.EDGE_WEIGHTS, metavar="NAME",
        help="add a weight column to the edges, computed from source to target: "
             + ", ".join(WEIGHTS) + "; or penetrations, the number of samples blocking "
             "each edge (with --penetrable)")
    add("--min-weight", type=float, metavar="W",
        help="keep only the edges whose weight is above W (needs --weight; edges only)")
    add("--max-weight", type=float, metavar="W",
        help="keep only the edges whose weight is below W (needs --weight; edges only)")
    add("--view-angle", type=float, nargs=2, metavar=("LOW", "HIGH"),
        help="keep only the edges whose view angle arctan(dy/dx), earlier sample first, "
             "lies in [LOW, HIGH] radians (the parametric natural graph; edges only)")
    add("--motif-size", type=int, choices=measures.MOTIF_SIZES, default=4,
        help="window size of --output profile (default: 4)")
    add("--window", type=_positive_int, metavar="W",
        help="motif window size: required by --output motifs, adds motif fields to a summary")
    add("--threads", type=_positive_int, metavar="N",
        help="threads the module may use for one series (default: its own choice, every "
             "core for long series); the results are the same for any count")
    add("--max-edges", type=_non_negative_int, metavar="N",
        help="refuse a graph of more than N edges where its edges are listed (edges, "
             "measures, profile, --directed degrees, --plot) (default: as many as the "
             "memory available holds, at about 80 bytes each)")
    add("--format", choices=FORMATS,
        help="output format (default: from the -o suffix: .csv, .tsv, .json, .npy, .parquet, "
             ".graphml; on standard output, or a suffix .txt or none, text for a summary, "
             "csv otherwise)")
    add("-o", dest="path", metavar="PATH", help="output file (default: standard output)")
    add("--plot", metavar="FILE",
        help="also draw each series with its graph and degree distribution, as .png, .pdf "
             "or .svg after the suffix (needs matplotlib)")
    add("--plot-scale", choices=PLOT_SCALES,
        help="axes of the degree distribution in --plot: log P(k) against k (semilog, "
             "the default) or against log k (loglog)")
    add("--plot-ccdf", action="store_true",
        help="draw P(K >= k), the share of vertices with degree k or more, instead of P(k)")
    add("--version", action="version", version=f"%(prog)s {_version()}")
    return parser


def _options(args: argparse.Namespace) -> _Options:
    x: Optional[str] = None if args.x is None else args.x.strip()
    if x == "":
        raise _UsageError("--x: empty column name")
    columns = tuple(token.strip() for option in args.column for token in option.split(","))
    if "" in columns:
        raise _UsageError("--column: empty column name")
    output: str = args.output
    if output == "motifs" and args.window is None:
        raise _UsageError("--output motifs needs --window W")
    if args.window is not None and output not in ("motifs", "summary"):
        raise _UsageError("--window applies to --output motifs and summary only")
    if output in ("measures", "profile") and (args.penetrable or args.skip_adjacent):
        raise _UsageError(f"--output {output} belongs to the ordinary graph: drop --penetrable "
                          "and --skip-adjacent")
    if args.motif_size != 4 and output != "profile":
        raise _UsageError("--motif-size applies to --output profile only")
    if args.penetrable and args.window is not None:
        raise _UsageError("motif scores have no penetrable variant: drop --window or --penetrable")
    rule: Optional[str] = args.rule
    if args.exact:
        if rule not in (None, "exact"):
            raise _UsageError(f"--exact is --rule exact; it cannot go with --rule {rule}")
        rule = "exact"
    if rule == "recorded":
        binary = next((p for p in args.inputs if os.path.splitext(p)[1].lower() == ".npy"), None)
        if binary is not None:
            raise _UsageError(
                f"--rule recorded decides on the decimals as written in text, and {binary} "
                "holds binary values: use --rule float or --rule exact"
            )
    if args.decimal == "," and args.delimiter == ",":
        raise _UsageError("--decimal , needs another delimiter than ','")
    dialect = Dialect(args.delimiter, args.decimal, args.encoding)
    direction: Optional[str] = args.directed
    if direction is not None and output not in ("edges", "degrees", "summary"):
        raise _UsageError("--directed applies to --output edges, degrees and summary only")
    weight: Optional[str] = args.weight
    if weight is not None and output not in ("edges", "summary"):
        raise _UsageError("--weight applies to --output edges and summary only")
    if weight == "penetrations" and output != "edges":
        raise _UsageError("--weight penetrations applies to --output edges only")
    for flag, bound in (("--min-weight", args.min_weight), ("--max-weight", args.max_weight)):
        if bound is not None and weight is None:
            raise _UsageError(f"{flag} bounds the edges' weight: give --weight NAME")
        if bound is not None and output != "edges":
            raise _UsageError(f"{flag} applies to --output edges only")
    view_angle: Optional[Tuple[float, float]] = None
    if args.view_angle is not None:
        if output != "edges":
            raise _UsageError("--view-angle applies to --output edges only")
        low, high = args.view_angle
        if not low <= high:
            raise _UsageError(f"--view-angle {low!r} {high!r}: LOW must be at most HIGH")
        view_angle = (low, high)
    path: Optional[str] = None if args.path in (None, "-") else args.path
    fmt: Optional[str] = args.format
    if fmt is None:
        suffix = "" if path is None else os.path.splitext(path)[1].lower()
        if suffix in PLAIN_SUFFIXES:
            fmt = "text" if output in RECORD_OUTPUTS else "csv"
        elif suffix in SUFFIX_FORMATS:
            fmt = SUFFIX_FORMATS[suffix]
        else:
            raise _UsageError(
                f"-o {path}: no output format has the suffix {suffix}; supported suffixes: "
                f"{', '.join(SUFFIX_FORMATS)}, .txt (or none); or give --format "
                f"{{{','.join(FORMATS)}}}"
            )
    if fmt in BINARY_FORMATS and path is None:
        raise _UsageError(f"--format {fmt} writes binary data: give an output file with -o")
    if fmt == "graphml" and output != "edges":
        raise _UsageError("--format graphml holds graphs: use it with --output edges")
    if fmt == "text" and output not in RECORD_OUTPUTS:
        raise _UsageError("--format text is for --output summary and measures only")
    plot: Optional[str] = args.plot
    if plot is None:
        if args.plot_scale is not None or args.plot_ccdf:
            flag = "--plot-scale" if args.plot_scale is not None else "--plot-ccdf"
            raise _UsageError(f"{flag} shapes the degree plot of --plot: give --plot FILE")
    elif os.path.splitext(plot)[1].lower()[1:] not in PLOT_FORMATS:
        raise _UsageError(f"--plot {plot}: the file name must end in .png, .pdf or .svg")
    return _Options(
        inputs=tuple(args.inputs), columns=columns, kind=args.kind,
        skip_adjacent=args.skip_adjacent, x=x, penetrable=args.penetrable, rule=rule,
        missing=args.missing,
        output=output, direction=direction, weight=weight, window=args.window,
        fmt=fmt, path=path, plot=plot, plot_scale=args.plot_scale or "semilog",
        plot_ccdf=args.plot_ccdf, dialect=dialect, min_weight=args.min_weight,
        max_weight=args.max_weight, view_angle=view_angle, motif_size=args.motif_size,
        max_edges=args.max_edges, threads=args.threads,
    )


@dataclass(frozen=True)
class _Rule:
    """The rule a series is built with: its name as reported, and the builders'
    ``exact`` and ``decimals`` arguments."""

    name: str
    exact: bool = False
    decimals: Optional[int] = None


def series_rule(item: Series, rule: Optional[str]) -> Tuple[_Rule, bool]:
    """The rule for one series under ``--rule rule`` (``None``: not given), and whether
    it fell back from ``recorded`` to ``exact`` because the written decimals need more
    than 15 digits."""
    if rule is None:
        rule = "float" if item.places is None else "recorded"
    if rule == "float":
        return _Rule("float"), False
    if rule == "exact":
        return _Rule("exact", exact=True), False
    decimals = item.recorded_decimals()
    if decimals is None:
        return _Rule("exact", exact=True), True
    return _Rule("recorded", decimals=decimals), False


def result_table(record: Series, options: _Options, rule: _Rule = _Rule("float")) -> Table:
    """The requested result for one series, built with ``rule``, computed from the array
    builders. Left-out missing samples keep their row numbers: edges and degrees name the
    samples by their rows. Positions read as times add their unit and origin to a
    summary, go with the edges, and are written as times with the degrees."""
    output = options.output
    built = _built(options, rule)
    if output == "summary":
        summary = features.record_summary(record, built)
        named = {"kind": summary.pop("kind"), "rule": rule.name}
        if options.direction is not None:
            named["direction"] = options.direction
        if options.weight is not None:
            named["weight"] = options.weight
        return record_table(output, {**named, **summary})
    if output == "measures":
        found = measures.record_measures(record, built)
        return record_table("summary", {"kind": options.kind, "rule": rule.name,
                                        "samples": int(record.present(options.missing).size), **found})
    if output == "profile":
        profile = measures.motif_profile(record, options.kind, options.motif_size,
                                         exact=rule.exact, missing=options.missing,
                                         decimals=rule.decimals)
        labels = np.arange(1, profile.size + 1, dtype=np.int64)
        names = np.array(measures.motif_labels(options.kind, options.motif_size), dtype=np.str_)
        columns: Tuple[str, ...] = ("motif", "edges", "share")
        arrays: Tuple[np.ndarray[Any, Any], ...] = (labels, names, profile)
        if options.kind == "horizontal":
            columns += ("iid",)
            arrays += (measures.iid_motif_profile(options.motif_size),)
        return Table(output, columns, arrays)
    if output == "motifs":
        if options.window is None:
            raise ValueError("motif scores need a window size")
        scores = np.asarray(
            kg.horizontal_window_motif_scores(
                record.present(options.missing), options.window, options.skip_adjacent),
            dtype=np.int64,
        )
        return Table(output, ("window", "score"), (np.arange(scores.size, dtype=np.int64), scores))
    if output == "distribution":
        degree = features.record_degrees(record, built)
        k, p = features.degree_distribution(degree)
        return Table(output, ("k", "count", "p"), (k, np.bincount(degree).astype(np.int64), p))
    kept = record.kept(options.missing)
    rows = np.arange(record.values.size, dtype=np.int64) if kept is None else kept
    if output == "edges" and (options.weight == "penetrations" or options.view_angle is not None
                              or options.min_weight is not None or options.max_weight is not None):
        return _filtered_edge_table(record, rows, options, rule)
    if output == "edges" or options.direction is not None:
        edges = features.record_edges(record, built)
        if output == "edges":
            return _edge_table(edges, record, rows, options)
        oriented = _oriented(edges, record.values[rows], options.direction or DIRECTIONS[0])
        in_degree = np.bincount(oriented[:, 1], minlength=rows.size).astype(np.int64)
        out_degree = np.bincount(oriented[:, 0], minlength=rows.size).astype(np.int64)
        return _sample_table(output, rows, record, options.x,
                             ("in_degree", "out_degree"), (in_degree, out_degree))
    degree = features.record_degrees(record, built)
    return _sample_table(output, rows, record, options.x, ("degree",), (degree,))


def _built(options: _Options, rule: _Rule) -> Options:
    """The builders' options of a run under ``rule``."""
    return Options(kind=options.kind, skip_adjacent=options.skip_adjacent,
                   penetrable=options.penetrable, exact=rule.exact, missing=options.missing,
                   decimals=rule.decimals, window=options.window, threads=options.threads)


# Bytes an edge takes at the peak of a run that lists edges: the (m, 2) int64 array and
# the copies the outputs make of it (rows, oriented pairs, weights, measures); the
# outputs peak at 25 to 70.
EDGE_BYTES = 80


def _lists_edges(options: _Options) -> bool:
    """Whether the run lists every edge of a graph: the edges in any format, the
    measures and motif profile, the degrees of directed edges, and the plots."""
    return (options.output in ("edges", "measures", "profile") or options.plot is not None
            or (options.output == "degrees" and options.direction is not None))


def _amount(size: int) -> str:
    return f"{size / 1e9:.1f} GB" if size >= 1e9 else f"{size / 1e6:.1f} MB"


def _most_edges(values: FloatArray, kind: str) -> int:
    """At least as many edges as the graph of ``values`` has with no blocker allowed,
    found in O(n) from the horizontal graph; n (n - 1) / 2 where NaN (and for the
    natural rule an infinity, which sees past anything) opens every pair.

    A horizontal graph is outerplanar: at most 2n edges. A natural line runs no higher
    than its higher end, so a pair is blocked by a sample between at or above both
    ends: the ends lower than or level with j lie back to the last sample before j at
    least as high, its furthest horizontal neighbour on that side (all samples before it
    when none is), and those lower than i forward to i's furthest neighbour after it."""
    n = values.size
    most = n * (n - 1) // 2
    if kind == "horizontal":
        return most if np.isnan(values).any() else min(most, 2 * n)
    if not np.isfinite(values).all():
        return most
    pairs = np.asarray(kg.horizontal_visibility_edge_array(values), dtype=np.int64)
    span = pairs[:, 1] - pairs[:, 0]
    back = np.zeros(n, dtype=np.int64)
    ahead = np.zeros(n, dtype=np.int64)
    np.maximum.at(back, pairs[:, 1], span)
    np.maximum.at(ahead, pairs[:, 0], span)
    at = np.arange(n, dtype=np.int64)
    peak = np.full(n, -np.inf)  # the largest sample before each, then after each
    np.maximum.accumulate(values[:-1], out=peak[1:])
    back = np.where(values > peak, at, back)
    peak[:] = -np.inf
    peak[:-1] = np.maximum.accumulate(values[:0:-1])[::-1]
    ahead = np.where(values > peak, n - 1 - at, ahead)
    return min(most, int(back.sum() + ahead.sum()))


def _check_edge_room(record: Series, options: _Options, rule: _Rule) -> None:
    """Refuses a graph whose edges would not fit before any is listed: more than
    ``--max-edges``, or without it more than the memory available holds at
    :data:`EDGE_BYTES` each (no limit where the platform tells neither). The edges are
    counted from the degrees, whose build holds none, unless a bound found in linear
    time (:func:`_most_edges`) is within the limit already."""
    limit, room = options.max_edges, None
    if limit is None:
        room = available_bytes()
        if room is None:
            return
        limit = room // EDGE_BYTES
    values = record.present(options.missing)
    most = values.size * (values.size - 1) // 2
    if not options.penetrable and most > limit:
        most = min(most, _most_edges(values, options.kind))
    if most <= limit:
        return
    edges = int(features.record_degrees(record, _built(options, rule)).sum()) // 2
    if edges <= limit:
        return
    need = f"about {_amount(edges * EDGE_BYTES)} to list"
    reason = (f"more than --max-edges {limit} ({need})" if room is None
              else f"{need}, more than the {_amount(room)} of memory available")
    remedy = "" if room is None else ", or set the limit with --max-edges N"
    raise _RunError(f"{record.label}: the {options.kind} graph has {edges} edges, {reason}; "
                    f"use --output degrees or summary, which list no edges{remedy}")


def _edge_table(edges: IntArray, record: Series, rows: IntArray, options: _Options) -> Table:
    """``source,target`` rows of the graph's ``edges`` (indices among the samples built,
    named by their ``rows``), turned to ``--directed`` and with the ``--weight`` column,
    both computed on whole arrays by the adapters' helpers; the graph facts (time unit
    and origin, direction, weight) go with them for GraphML."""
    direction, weight = options.direction, options.weight
    positions = record.positions
    y = record.values[rows]
    oriented = edges if direction is None else _oriented(edges, y, direction)
    columns: Tuple[str, ...] = ("source", "target")
    arrays: Tuple[np.ndarray[Any, Any], ...] = (rows[oriented[:, 0]], rows[oriented[:, 1]])
    if weight is not None:
        # Vertex x as the builders saw it: the position, else the row.
        x = (rows.astype(np.float64) if positions is None else positions[rows])
        columns += ("weight",)
        arrays += (_weights(np.column_stack((x, y)), oriented, weight),)
    return _edges_with_facts(record, columns, arrays, direction, weight)


def _edges_with_facts(record: Series, columns: Tuple[str, ...],
                      arrays: Tuple[np.ndarray[Any, Any], ...], direction: Optional[str],
                      weight: Optional[str]) -> Table:
    """The edge table with the graph facts a graph format records beside it: the time
    unit and origin, the direction and the weight."""
    graph: List[Tuple[str, str]] = list(record.time_fields().items())
    if direction is not None:
        graph.append(("direction", direction))
    if weight is not None:
        graph.append(("edge_weight", weight))
    return Table("edges", columns, arrays, tuple(graph), directed=direction is not None)


def _filtered_edge_table(record: Series, rows: IntArray, options: _Options, rule: _Rule) -> Table:
    """The edges with a penetrations weight, weight bounds or a view-angle range, from
    :func:`kestrel_grid_tools.visibility_edges` (whole arrays), named by their rows."""
    direction, weight = options.direction, options.weight
    oriented, weights = measures.visibility_edges(
        record, options.kind, weight=weight, direction=direction or DIRECTIONS[0],
        min_weight=options.min_weight, max_weight=options.max_weight,
        view_angle=options.view_angle, penetrable=options.penetrable,
        skip_adjacent=options.skip_adjacent, exact=rule.exact, missing=options.missing,
        decimals=rule.decimals, threads=options.threads)
    columns: Tuple[str, ...] = ("source", "target")
    arrays: Tuple[np.ndarray[Any, Any], ...] = (rows[oriented[:, 0]], rows[oriented[:, 1]])
    if weights is not None:
        columns += ("weight",)
        arrays += (weights,)
    return _edges_with_facts(record, columns, arrays, direction, weight)


def _sample_table(output: str, rows: IntArray, record: Series, x: Optional[str],
                  names: Tuple[str, ...], arrays: Tuple[np.ndarray[Any, Any], ...]) -> Table:
    """A table with a row per sample: ``index`` (its row), its position when ``--x`` gave
    positions (a column named after the ``--x`` column, else ``x``; times as
    ``datetime64``, which the writers write as times), then ``names``."""
    if record.positions is None:
        return Table(output, ("index", *names), (rows, *arrays))
    name = x if x is not None and not x.isdigit() else "x"
    if name in ("index", *names):
        name = "x"
    # Times as datetime64, which the writers write as times.
    at: np.ndarray[Any, Any] = np.asarray(record.times())[rows]
    return Table(output, ("index", name, *names), (rows, at, *arrays))


#: Seconds a run goes before progress appears on a terminal (several series show their
#: bar at once).
PROGRESS_DELAY = 1.0
# Seconds between redraws by the timer thread.
_TICK = 0.2


class _Progress:
    """One progress line on standard error, drawn only on a terminal (silent when
    piped): the bytes read of each input, then the series built (a bar, for several),
    the seconds a long build or the writing has taken. A run shorter than
    :data:`PROGRESS_DELAY` shows nothing, except the bar of several series. A timer
    thread redraws the line while the builders run (they release the interpreter lock).

    Args:
        total: The number of series (0 until known).
        stream: Where to draw (standard error).
    """

    def __init__(self, total: int, stream: TextIO) -> None:
        self.total = total
        self.stream = stream
        try:
            self.enabled = stream.isatty()
        except (AttributeError, ValueError):
            self.enabled = False
        self.width = 80
        if self.enabled:
            try:
                columns = os.get_terminal_size(stream.fileno()).columns
            except (OSError, ValueError):
                columns = 0
            # A terminal that reports no size (e.g. a fresh pty) keeps 80 columns.
            self.width = columns if columns >= 40 else 80
        self.started = time.monotonic()
        self.since = self.started  # when the current step began
        self.step = ""
        self.doing = "reading the inputs"  # named when the run runs out of memory
        self.done = 0
        self.label = ""
        self.drawn = False
        self.last = 0.0  # when the line was last drawn
        self.lock = threading.Lock()
        self.halt = threading.Event()
        self.timer: Optional[threading.Thread] = None

    def _line(self) -> str:
        now = time.monotonic()
        parts = []
        if self.total > 1:
            filled = 24 * self.done // self.total
            parts.append(f"[{'#' * filled}{'.' * (24 - filled)}] {self.done}/{self.total}")
        if self.label:
            parts.append(self.label)
        if self.step:
            parts.append(f"{self.step} {now - self.since:.1f} s")
        return " ".join(parts)

    def _draw(self, at_once: bool = False, throttled: bool = True) -> None:
        # Called with the lock held. `at_once` skips the wait of PROGRESS_DELAY, and
        # without `throttled` a new step shows even right after another draw.
        if not self.enabled:
            return
        now = time.monotonic()
        if not at_once and now - self.started < PROGRESS_DELAY:
            return
        if throttled and now - self.last < _TICK / 2:
            return
        self.last = now
        line = self._line()
        self.stream.write("\r" + line[: self.width - 1].ljust(self.width - 1))
        self.stream.flush()
        self.drawn = True

    def _tick(self) -> None:
        while not self.halt.wait(_TICK):
            with self.lock:
                if self.enabled:
                    self._draw()

    def _start_timer(self) -> None:
        if self.enabled and self.timer is None:
            self.timer = threading.Thread(target=self._tick, name="kestrel-grid progress", daemon=True)
            self.timer.start()

    def reading(self, done: int, size: Optional[int], name: str) -> None:  # an _io.Progress
        """Show ``done`` bytes read of ``size`` (``None``: unknown) from input ``name``."""
        self.doing = f"reading {name}"
        if not self.enabled:
            return
        amount = f"{done / 1e6:.1f} MB" if size is None else f"{done / 1e6:.1f}/{size / 1e6:.1f} MB"
        with self.lock:
            self.label, self.step = f"reading {name} {amount}", ""
            self._draw()
        self._start_timer()

    def stage(self, step: str, label: str = "") -> None:
        """Start a step (``building``, ``writing``) whose seconds the timer shows."""
        self.doing = f"{step} {label}".strip()
        if not self.enabled:
            return
        with self.lock:
            self.step, self.label, self.since = step, label, time.monotonic()
            self._draw(throttled=False)
        self._start_timer()

    def show(self, done: int, label: str = "") -> None:
        """Draw the bar with ``done`` of the series finished (at once for several)."""
        if not self.enabled:
            return
        with self.lock:
            self.done, self.label = done, label
            self._draw(at_once=self.total > 1, throttled=False)

    def clear(self) -> None:
        """Erase the line, so that a note can be written; it comes back on the next
        draw."""
        if self.enabled and self.drawn:
            with self.lock:
                self.stream.write("\r" + " " * (self.width - 1) + "\r")
                self.stream.flush()
                self.drawn = False

    def close(self) -> None:
        """Stop the timer and erase the line (once)."""
        self.halt.set()
        if self.timer is not None and self.timer is not threading.current_thread():
            self.timer.join()
        if self.enabled:
            self.clear()
            self.enabled = False


def _plotter() -> Callable[..., Any]:
    """``plot_overview`` with matplotlib on the non-interactive Agg backend."""
    os.environ["MPLBACKEND"] = "Agg"
    matplotlib = require("matplotlib", "--plot")
    matplotlib.use("Agg")
    from .plot import plot_overview

    return plot_overview


def _plot_paths(path: str, count: int) -> List[str]:
    if count == 1:
        return [path]
    stem, suffix = os.path.splitext(path)
    return [f"{stem}-{n}{suffix}" for n in range(1, count + 1)]


def _open(path: str, opened: List[OutputFile]) -> OutputFile:
    """Opens ``path`` for writing and records it in ``opened`` (for the cleanup), with
    the signals held back so that a temporary file is never created unrecorded."""
    with _signals_held():
        try:
            output_file = OutputFile(path)
        except OutputError as error:
            raise _RunError(str(error)) from None
        opened.append(output_file)
    return output_file


def _npy_length(options: _Options) -> Optional[int]:
    """The sample count of a single 1-d ``.npy`` input whose horizontal summary, degrees
    or degree distribution can be computed piece by piece, never holding the series
    whole; None when the request needs the series in memory (other rules or outputs,
    positions, plots, windows, directed degrees, a degrees table in JSON or Parquet)."""
    if (len(options.inputs) != 1 or options.kind != "horizontal" or options.penetrable
            or options.output not in ("summary", "degrees", "distribution")
            or options.x is not None or options.columns not in ((), ("0",))
            or options.direction is not None or options.weight is not None
            or options.window is not None or options.plot is not None
            or (options.output == "degrees" and options.fmt not in ("npy", "csv", "tsv"))):
        return None
    path = options.inputs[0]
    # Only a regular file maps: a pipe or FIFO looked at here would lose what was read.
    if os.path.splitext(path)[1].lower() != ".npy" or not os.path.isfile(path):
        return None
    try:
        array = np.load(path, mmap_mode="r", allow_pickle=False)
    except Exception:  # the in-memory reader reports what is wrong with the file
        return None
    if not isinstance(array, np.memmap) or array.ndim != 1 or array.dtype.kind not in "biuf":
        return None
    return int(array.shape[0]) or None


def _npy_samples(path: str) -> Iterator[Tuple[int, FloatArray]]:
    """(row of its first sample, samples) of each piece of a 1-d ``.npy`` file, read
    with plain reads (a mapping would keep the pages read resident)."""
    array = np.load(path, mmap_mode="r", allow_pickle=False)
    offset, dtype, total = array.offset, array.dtype, int(array.shape[0])
    del array
    with open(path, "rb") as handle:
        handle.seek(offset)
        for start in range(0, total, PIECE):
            yield start, np.fromfile(handle, dtype=dtype, count=min(PIECE, total - start))


def _summary_of_counts(options: _Options, rule: str, samples: int, read: int,
                       counts: IntArray) -> Table:
    """The horizontal summary from the degree distribution ``counts`` of ``samples``
    vertices (``read`` samples in the file): the values ``features.record_summary``
    gives from the degrees themselves, bit for bit."""
    total = int(np.dot(counts, np.arange(counts.size, dtype=np.int64)))
    summary: Dict[str, Any] = {
        "kind": "horizontal", "rule": rule, "samples": samples, "omitted": read - samples,
        "edges": total // 2, "mean_degree": total / samples if samples else math.nan,
        "max_degree": counts.size - 1 if samples else 0,
    }
    if samples:  # the largest |P(k) - law(k)|, as features.iid_distance finds it
        k_all = np.arange(counts.size + 1)
        p_all = np.concatenate([counts / counts.sum(), [0.0]])
        law = features.iid_law(k_all, options.skip_adjacent)
        summary["iid_distance"] = float(np.max(np.abs(p_all - law)))
    else:
        summary["iid_distance"] = math.nan
    return record_table("summary", summary)


def _write_degrees(options: _Options, writer: Writer, label: str, degrees: BinaryIO) -> None:
    """The degrees table written a piece at a time from ``degrees`` (an int64 ``.npy``
    file of the present samples' degrees); each sample's row read again from the input.
    The writer gets the rows in order, so the text is that of one whole table."""
    degrees.seek(0)
    np.lib.format.read_magic(degrees)
    np.lib.format.read_array_header_1_0(degrees)
    for start, values in _npy_samples(options.inputs[0]):
        rows = start + (np.flatnonzero(~np.isnan(values)) if options.missing == "omit"
                        else np.arange(values.size, dtype=np.int64))
        found = np.fromfile(degrees, dtype=np.int64, count=rows.size)
        writer.write(label, Table("degrees", ("index", "degree"), (rows, found)),
                     np.zeros(0, dtype=np.float64))


def _run_pieces(options: _Options, progress: _Progress, read: int) -> int:
    """Horizontal summary, degrees or degree distribution of a long ``.npy`` series
    (``read`` samples), read a piece at a time: the same results as the in-memory path,
    in memory of one piece and the pending samples."""
    path = options.inputs[0]
    label = f"{path}:0"

    def show(done: int, total: Optional[int]) -> None:
        progress.reading(8 * done, None if total is None else 8 * total, path)

    opened: List[OutputFile] = []
    try:
        to_file = options.output == "degrees" and options.fmt == "npy"
        if options.path is not None and not to_file:
            _open(options.path, opened)  # a bad output path stops the run before the read
        with contextlib.ExitStack() as stack:
            spill: Optional[BinaryIO] = None
            if options.output == "degrees" and not to_file:
                spill = stack.enter_context(tempfile.TemporaryFile())
            try:
                result = horizontal_out_of_core(
                    path, degrees=options.path if to_file else spill,
                    skip_adjacent=options.skip_adjacent, missing=options.missing,
                    progress=show)
            except MissingSampleError as error:
                raise InputError(
                    label,
                    f"missing sample in data row {error.index} (counting from 0); use "
                    "--missing omit to leave missing samples out, or --missing keep",
                ) from None
            progress.close()
            if to_file:
                return 0
            stream = opened[0].stream if opened else _stdout_bytes()
            writer = make_writer(options.fmt, stream, False)
            if spill is not None:
                _write_degrees(options, writer, label, spill)
            elif options.output == "summary":
                writer.write(label, _summary_of_counts(options, options.rule or "float",
                                                       result.samples, read,
                                                       result.distribution),
                             np.zeros(0, dtype=np.float64))
            else:
                counts = result.distribution
                k = np.arange(counts.size, dtype=np.int64)
                p = counts / counts.sum() if counts.size else np.zeros(0, dtype=np.float64)
                writer.write(label, Table("distribution", ("k", "count", "p"), (k, counts, p)),
                             np.zeros(0, dtype=np.float64))
            writer.close()
        with _signals_held():
            for output_file in opened:
                output_file.commit()
            opened.clear()
        if not options.path:
            sys.stdout.flush()
    finally:
        with _signals_held():
            for output_file in opened:
                output_file.discard()
    return 0


def _run(options: _Options) -> int:
    plot = _plotter() if options.plot is not None else None
    if options.fmt == "parquet":  # missing pyarrow is reported before a long read
        require("pyarrow.parquet", "--format parquet")
    opened: List[OutputFile] = []
    progress = _Progress(0, sys.stderr)
    try:
        length = _npy_length(options)
        if length is not None:
            return _run_pieces(options, progress, length)
        if options.path is not None:
            _open(options.path, opened)
        series = read_series(options.inputs, options.columns, x=options.x, dialect=options.dialect,
                             progress=progress.reading)
        progress.total = len(series)
        several = len(series) > 1
        if several and options.fmt == "npy" and options.output not in RECORD_OUTPUTS:
            raise _UsageError(
                f"--format npy holds one series for --output {options.output}, "
                f"got {len(series)}; use csv, tsv or json, or pick one with --column"
            )
        _check_window(series, options.window, options.missing)
        numbered = _graph_paths(options, len(series), opened) if several else None
        writer: Optional[Writer] = None
        if numbered is None:
            stream = opened[0].stream if opened else _stdout_bytes()
            writer = make_writer(options.fmt, stream, several)
        plot_paths = _plot_paths(options.plot, len(series)) if options.plot else []
        labels = [item.label for item in series]
        rules = []
        for item in series:
            rule, fell_back = series_rule(item, options.rule)
            if options.kind == "horizontal" and rule.decimals is not None:
                # No rule changes horizontal comparisons: building without decimals
                # spares the builder a scaled copy of the values.
                rule = _Rule(rule.name)
            if fell_back:
                progress.clear()
                sys.stderr.write(
                    f"{PROG}: note: {item.label} needs more than {MAX_DECIMALS} digits; "
                    "decided with --rule exact\n"
                )
            rules.append(rule)
        for done, (item, rule) in enumerate(zip(series, rules)):
            progress.show(done, item.label)
            progress.stage("building", item.label)
            if options.missing == "raise":
                _refuse_missing(item)
            if _lists_edges(options):
                _check_edge_room(item, options, rule)
            table = result_table(item, options, rule)
            progress.stage("writing", item.label)
            if writer is not None:
                writer.write(item.label, table, item.values, item.positions)
            else:
                assert numbered is not None
                _write_graph(numbered[done], item, table, opened)
            if plot is not None:
                progress.stage("plotting", item.label)
                _draw(plot, item, options, rule, plot_paths[done], opened, labels)
        if writer is not None:
            progress.stage("writing")
            writer.close()
        progress.show(len(series))
        progress.close()
        with _signals_held():
            for output_file in opened:
                output_file.commit()
            opened.clear()
        if not options.path:
            sys.stdout.flush()
        for plotted in plot_paths:
            sys.stderr.write(f"{PROG}: plot written to {plotted}\n")
        return 0
    except MemoryError:
        pass  # reported below, once the arrays of the failed step are given back
    finally:
        progress.close()
        with _signals_held():
            for output_file in opened:
                output_file.discard()
    raise _RunError(f"out of memory while {progress.doing}")


def _graph_paths(options: _Options, count: int, opened: List[OutputFile]) -> Optional[List[str]]:
    """For GraphML of several series, the numbered files that get one graph each
    (``FILE-1.graphml``, ``FILE-2.graphml``, ..., as ``--plot`` numbers its pictures):
    graph readers read the first graph of a file only, so one file of several graphs
    would look like one series to them. ``None`` for other formats. The file opened
    under the name as given (to report an unwritable path before reading) is dropped;
    an existing file of that name stays as it was."""
    if options.fmt != "graphml":
        return None
    path = options.path
    if path is None:
        raise _UsageError(
            f"GraphML holds one graph per file: {count} series need -o FILE.graphml "
            "(written as FILE-1.graphml, FILE-2.graphml, ...), or pick one with --column"
        )
    if opened[0].temporary is None:
        raise _UsageError(
            f"GraphML holds one graph per file: {count} series need numbered files, and "
            f"{path} is no regular file; give a file name, or pick one series with --column"
        )
    with _signals_held():
        opened.pop(0).discard()
    return _plot_paths(path, count)


def _write_graph(path: str, item: Series, table: Table, opened: List[OutputFile]) -> None:
    """Writes one series' graph to its own GraphML file (closed at once, so that many
    series do not hold many descriptors; it is moved into place with the others)."""
    graph_file = _open(path, opened)
    writer = make_writer("graphml", graph_file.stream, False)
    writer.write(item.label, table, item.values, item.positions)
    writer.close()
    graph_file.stream.close()


def _refuse_missing(item: Series) -> None:
    gaps = np.flatnonzero(np.isnan(item.values))
    if gaps.size:
        raise InputError(
            item.label,
            f"missing sample in data row {int(gaps[0])} (counting from 0); use --missing omit "
            "to leave missing samples out, or --missing keep",
        )


def _check_window(series: Sequence[Series], window: Optional[int], missing: str) -> None:
    if window is None:
        return
    for item in series:
        size = item.values.size
        if missing == "omit":
            size = int(np.count_nonzero(~item.missing))
        if window > size:
            present = " present" if size != item.values.size else ""
            raise InputError(
                item.label,
                f"--window {window} is longer than the series ({size}{present} samples)",
            )


def _axis_labels(item: Series, options: _Options, labels: Sequence[str]) -> Tuple[str, str]:
    """The x and y axis labels of a series' plot: the ``--x`` column (``sample`` for row
    order) and the series' column, taken from its ``file:column`` label (without the
    ``#N`` of a repeated input). A column known only by its index is ``column N``."""
    label = item.label
    head, hash_mark, count = label.rpartition("#")
    if hash_mark and count.isdigit() and head in labels:
        label = head
    sources = [STDIN_NAME if path == "-" else path for path in options.inputs]
    source = max((s for s in sources if label.startswith(s + ":")), key=len, default=None)
    column = label[len(source) + 1:] if source is not None else label.rpartition(":")[2]

    def name(column: str) -> str:
        return f"column {column}" if column.isdigit() else column

    return ("sample" if options.x is None else name(options.x)), name(column)


def _draw(plot: Callable[..., Any], item: Series, options: _Options, rule: _Rule, path: str,
          opened: List[OutputFile], labels: Sequence[str] = ()) -> None:
    output_file = _open(path, opened)
    xlabel, ylabel = _axis_labels(item, options, labels)
    # The record carries its positions, as dates where they were read as dates.
    figure = plot(item, kind=options.kind, skip_adjacent=options.skip_adjacent,
                  penetrable=options.penetrable, exact=rule.exact,
                  decimals=rule.decimals, missing=options.missing, threads=options.threads,
                  path=output_file.stream,
                  title=item.label, xlabel=xlabel, ylabel=ylabel, scale=options.plot_scale,
                  ccdf=options.plot_ccdf, format=os.path.splitext(path)[1].lower()[1:])
    pyplot = sys.modules.get("matplotlib.pyplot")
    if pyplot is not None:
        pyplot.close(figure)


def _fail(message: str, status: int) -> int:
    sys.stderr.write(f"{PROG}: error: {message}\n")
    return status


def _stdout_bytes() -> BinaryIO:
    """Standard output as a byte stream. A replaced ``sys.stdout`` without ``.buffer``
    (a notebook, ``contextlib.redirect_stdout`` to a StringIO) gets the UTF-8 text."""
    buffer = getattr(sys.stdout, "buffer", None)
    if buffer is not None:
        return cast(BinaryIO, buffer)
    return cast(BinaryIO, _TextSink(sys.stdout))


class _TextSink(io.RawIOBase):
    """Writes bytes to a text stream, decoded as UTF-8 (our writers emit whole lines)."""

    def __init__(self, text: TextIO) -> None:
        super().__init__()
        self._text = text

    def writable(self) -> bool:
        return True

    def write(self, data: Any) -> int:
        chunk = bytes(data)
        self._text.write(chunk.decode("utf-8"))
        return len(chunk)

    def flush(self) -> None:
        self._text.flush()


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run ``kestrel-grid`` with ``argv`` (default: ``sys.argv[1:]``) and return the exit
    status: 0 on success, 1 for bad input or a failed write, 2 for a usage error, and
    128 + the signal number when SIGINT (130), SIGTERM (143) or SIGHUP (129) stopped the
    run; the output file is then left as it was.

    Args:
        argv: Command-line arguments, without the program name.
    """
    with _stop_on_signals():
        try:
            return _main(argv)
        except KeyboardInterrupt:
            sys.stderr.write(f"{PROG}: interrupted\n")
            return 128 + signal.SIGINT
        except _Stopped as stop:
            sys.stderr.write(f"{PROG}: stopped by {signal.Signals(stop.signum).name}\n")
            return 128 + stop.signum


def _main(argv: Optional[Sequence[str]]) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as stop:  # --help, --version and usage errors
        return stop.code if isinstance(stop.code, int) else 1
    try:
        options = _options(args)
        return _run(options)
    except _UsageError as error:
        parser.print_usage(sys.stderr)
        return _fail(str(error), 2)
    except (InputError, MissingExtraError, _RunError) as error:
        return _fail(str(error), 1)
    except BrokenPipeError:
        # The reader of standard output went away (e.g. `| head`): stop quietly, and
        # point stdout at devnull so the interpreter's final flush does not complain.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except OSError as error:  # e.g. the disk filled up while writing
        return _fail(str(error), 1)
