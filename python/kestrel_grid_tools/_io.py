"""Readers and writers of the command-line tool.

Readers turn CSV/TSV files, plain text (one value per line) and ``.npy`` arrays into
float64 series. Values are the doubles Python's ``float`` gives (bit exact): plain
decimals are parsed in bulk over the raw bytes by the module's text reader (numpy where
that reader is unsure of a piece), everything else cell by cell with ``float``, and an
input the bulk reader is unsure of is read again by the precise parser, which names the
file, line and column of a bad cell.
Writers stream result tables as CSV/TSV, JSON, ``.npy``, Parquet (with pyarrow), GraphML
or ``key: value`` text.
"""

from __future__ import annotations

import codecs
import csv
import io
import json
import math
import os
import re
import stat
import sys
import tempfile
import datetime as _dt
from dataclasses import dataclass, replace
from operator import methodcaller
from typing import Any, BinaryIO, Callable, Dict, Iterator, List, Optional, Sequence, Tuple, cast
from xml.sax.saxutils import escape, quoteattr

import numpy as np
import numpy.typing as npt

import kestrel_grid

from ._graphs import FloatArray
from ._optional import require
from ._positions import Positions, month_positions, time_positions
from ._record import Record

#: The path that names standard input, and the name it gets in labels and messages.
STDIN = "-"
STDIN_NAME = "<stdin>"

# Rows formatted per write; large tables stream in chunks of this many rows.
CHUNK = 1 << 16

# Delimiter marker: find the delimiter from the first data row.
_SNIFF = "sniff"
_SUFFIX_DELIMITERS = {".csv": ",", ".tsv": "\t"}
_INDEX = re.compile(r"[0-9]+")

#: Names accepted for a delimiter besides the character itself; ``whitespace`` (and a
#: space) stands for runs of spaces and tabs.
DELIMITER_NAMES = {"tab": "\t", "semicolon": ";", "comma": ",", "whitespace": " ", "space": " ",
                   "pipe": "|", "colon": ":"}

# Called with (bytes read, total bytes or None, source) while an input is read.
Progress = Callable[[int, Optional[int], str], None]


@dataclass(frozen=True)
class Dialect:
    """How text inputs are written.

    Attributes:
        delimiter: The cell delimiter (one character; a space means runs of spaces and
            tabs), or ``None`` to find it from the first data row (tab, ``;``, ``,``,
            else whitespace; a ``.csv`` or ``.tsv`` suffix puts its delimiter first).
        decimal: The decimal mark, ``.`` or ``,``. With ``,`` a cell holding a ``.`` is
            not a number (it would be a thousands separator or another dialect).
        encoding: A Python codec name, or ``None`` for UTF-8 with an optional BOM.
    """

    delimiter: Optional[str] = None
    decimal: str = "."
    encoding: Optional[str] = None


def delimiter_of(text: str) -> str:
    """The delimiter named by ``text``: one character, ``\\t``, or a name of
    :data:`DELIMITER_NAMES` (case ignored); ``ValueError`` otherwise."""
    name = text.lower()
    if name in DELIMITER_NAMES:
        return DELIMITER_NAMES[name]
    if text == "\\t":
        return "\t"
    if len(text) != 1 or text in "\n\r\"#.-+" or text.isalnum():
        raise ValueError(
            f"expected one character other than a letter, digit, quote, '#', '.', '-' or '+', "
            f"or one of {', '.join(sorted(DELIMITER_NAMES))}; got {text!r}"
        )
    return text


class InputError(Exception):
    """An input that cannot be read as series.

    ``str()`` gives ``source[:line[:column]]: what``; line numbers count every line of
    the file (comments and header included) from 1, and the column is the header name or
    the 1-based column number.

    Args:
        source: The path as given, or ``<stdin>``.
        what: What is wrong.
        line: The 1-based line, when one line is at fault.
        column: The column at fault on that line.
    """

    def __init__(
        self, source: str, what: str, line: Optional[int] = None, column: Optional[str] = None
    ) -> None:
        place = source
        if line is not None:
            place += f":{line}"
            if column is not None:
                place += f":{column}"
        super().__init__(f"{place}: {what}")


# One series read from an input is the tools' record: ``label`` is ``file:column`` (the
# column being its header name or 0-based index), ``positions`` the --x column (times as
# offsets in ``unit`` from ``origin``), ``places`` the decimal places its cells are
# written with (None for .npy input, whose values have no written form).
Series = Record


def os_reason(error: OSError) -> str:
    """A short lower-case reason for a failed file operation."""
    if isinstance(error, FileNotFoundError):
        return "no such file"
    if isinstance(error, IsADirectoryError):
        return "is a directory"
    if isinstance(error, PermissionError):
        return "permission denied"
    reason = error.strerror or str(error)
    return reason[:1].lower() + reason[1:]


def read_series(
    paths: Sequence[str],
    columns: Sequence[str],
    stdin: Optional[BinaryIO] = None,
    x: Optional[str] = None,
    dialect: Dialect = Dialect(),
    progress: Optional[Progress] = None,
) -> List[Series]:
    """Read every series of every input, in order.

    A label repeated (the same file named twice) gets ``#2``, ``#3``, ... appended so that
    every label is unique.

    Args:
        paths: Input paths; ``-`` is standard input (text).
        columns: Column names or 0-based indices to read from every input; empty for the
            default (the only column, or every numeric column of a wider file).
        stdin: Stream read for ``-`` (default: ``sys.stdin.buffer``).
        x: Name or 0-based index of the column holding the sampling positions in every
            input, or ``None``. That column is then not a series, and its values must be
            finite and strictly increasing.
        dialect: Delimiter, decimal mark and encoding of text inputs.
        progress: Called with the bytes read so far, the input's size (``None`` when
            unknown) and its name as each input is read.

    Returns:
        The series, in input and column order.

    Raises:
        InputError: An input is missing, unreadable, malformed or of a format that is
            not read (a spreadsheet, an archive, ...), or its positions are not finite
            and strictly increasing (the message names the first offender).
    """
    found: List[Series] = []
    for path in paths:
        found.extend(read_file(path, columns, stdin, x, dialect, progress))
    seen: Dict[str, int] = {}
    unique: List[Series] = []
    for item in found:
        count = seen.get(item.label, 0) + 1
        seen[item.label] = count
        unique.append(item if count == 1 else replace(item, label=f"{item.label}#{count}"))
    return unique


# Bytes read at a time; the bulk parser works on pieces of this size, so its scratch
# arrays stay small next to the values.
READ_BYTES = 1 << 18


def read_file(
    path: str,
    columns: Sequence[str],
    stdin: Optional[BinaryIO] = None,
    x: Optional[str] = None,
    dialect: Dialect = Dialect(),
    progress: Optional[Progress] = None,
) -> List[Series]:
    """Read the series of one input (see :func:`read_series`)."""
    delimiter = _SNIFF if dialect.delimiter is None else dialect.delimiter
    prefer: Optional[str] = None
    size: Optional[int] = None
    if path == STDIN:
        source = STDIN_NAME
        # Standard input cannot be read twice: keep it, so that the precise parser can
        # go over it again when the bulk parser is unsure.
        stream: BinaryIO = io.BytesIO((stdin if stdin is not None else sys.stdin.buffer).read())
    else:
        source = path
        suffix = os.path.splitext(path)[1].lower()
        prefer = _SUFFIX_DELIMITERS.get(suffix)
        try:
            stream, size = _open_input(path, progress)
        except OSError as error:
            raise InputError(path, os_reason(error)) from None
        if size is None:
            progress = None  # read already, in memory now
        if suffix == ".npy":
            return _read_npy(path, columns, x, stream)
    with stream:
        try:
            head = stream.read(READ_BYTES)
            if head.startswith(_NPY_MAGIC):
                if path == STDIN:
                    raise InputError(source, "a .npy array on standard input; give its path")
                stream.seek(0)
                return _read_npy(path, columns, x, stream)
            _refuse_binary(source, head, dialect.encoding)
            if progress is not None:
                progress(len(head), size, source)
            found = None
            if x is None:
                found = _bulk_columns(
                    source, stream, head, delimiter, prefer, columns, dialect, progress, size
                )
            if found is None:
                stream.seek(0)
                data = _read_all(stream, progress, size, source)
        except OSError as error:
            raise InputError(source, os_reason(error)) from None
    positions = None
    if found is None:
        text = _decode(source, data, dialect.encoding)
        del data
        found, positions = parse_columns(
            source, text, delimiter, columns, x, dialect.decimal, prefer
        )
    offsets = None if positions is None else positions.offsets
    unit, origin = None, None
    if positions is not None and positions.origin is not None:  # times: what they count
        unit, origin = positions.unit, positions.origin
    return [
        Record(values, offsets, unit, origin, f"{source}:{name}", places)
        for name, values, places in found
    ]


def _open_input(path: str, progress: Optional[Progress]) -> Tuple[BinaryIO, Optional[int]]:
    """The input at ``path`` opened for reading, and its size; ``None`` for a source that
    cannot seek (a pipe or FIFO, ``/dev/stdin``, ``<(command)``), which is read once,
    whole, into memory, so that the precise parser can go over it again when the bulk
    parser is unsure, as standard input is."""
    stream = open(path, "rb")
    if stream.seekable():
        return stream, os.fstat(stream.fileno()).st_size
    with stream:
        return io.BytesIO(_read_all(stream, progress, None, path)), None


def _read_all(
    stream: BinaryIO, progress: Optional[Progress], size: Optional[int], source: str
) -> bytes:
    if progress is None:
        return stream.read()
    pieces: List[bytes] = []
    done = 0
    while True:
        piece = stream.read(READ_BYTES)
        if not piece:
            return b"".join(pieces)
        pieces.append(piece)
        done += len(piece)
        progress(done, size, source)


_NPY_MAGIC = b"\x93NUMPY"

# Leading bytes of formats that are not text, with what to say about them.
_SAVE_CSV = "save as CSV (or one value per line) and read that"
_MAGIC = (
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", f"Excel files (.xls) are not read; {_SAVE_CSV}"),
    (b"PAR1", "Parquet files are not read; save as CSV or .npy"),
    (b"\x1f\x8b", "gzip-compressed files are not read; decompress it first (gunzip)"),
    (b"BZh", "bzip2-compressed files are not read; decompress it first (bunzip2)"),
    (b"\xfd7zXZ\x00", "xz-compressed files are not read; decompress it first (unxz)"),
    (b"\x28\xb5\x2f\xfd", "zstd-compressed files are not read; decompress it first (unzstd)"),
    (b"7z\xbc\xaf\x27\x1c", "7z archives are not read; extract the data first"),
    (b"%PDF-", "PDF documents are not read; export the table as CSV"),
    (b"\x89HDF\r\n\x1a\n", "HDF5 files are not read; save the series as CSV or .npy"),
    (b"ARROW1", "Arrow/Feather files are not read; save as CSV or .npy"),
    (b"SQLite format 3\x00", "SQLite databases are not read; export the table as CSV"),
    (b"\x89PNG\r\n\x1a\n", "PNG images are not read; give the data as text or .npy"),
    (b"\xff\xd8\xff", "JPEG images are not read; give the data as text or .npy"),
    (b"GIF87a", "GIF images are not read; give the data as text or .npy"),
    (b"GIF89a", "GIF images are not read; give the data as text or .npy"),
    (b"II*\x00", "TIFF images are not read; give the data as text or .npy"),
    (b"MM\x00*", "TIFF images are not read; give the data as text or .npy"),
)
_BZIP2 = re.compile(rb"BZh[1-9]1AY&SY")


def _refuse_binary(source: str, head: bytes, encoding: Optional[str]) -> None:
    """Refuse an input whose first bytes show a format that is not text, whatever its
    name: spreadsheets, compressed files and archives, PDF, images, databases."""
    if head.startswith(b"PK\x03\x04") or head.startswith(b"PK\x05\x06"):
        raise InputError(source, _zip_kind(head))
    for magic, what in _MAGIC:
        if head.startswith(magic) and (magic != b"BZh" or _BZIP2.match(head)):
            raise InputError(source, what)
    if encoding is None or not _wide_codec(encoding):
        sample = head[:4096]
        if sample.startswith((b"\xff\xfe", b"\xfe\xff")):
            raise InputError(source, "UTF-16 text is not read as UTF-8; use --encoding utf-16")
        if b"\x00" in sample:
            hint = "; if it is UTF-16 text, use --encoding utf-16" if _looks_wide(sample) else ""
            raise InputError(source, f"holds binary data (NUL bytes), not text{hint}")


def _zip_kind(head: bytes) -> str:
    """What a zip container holds, judged from the names in its first entries."""
    if b"xl/" in head:
        return f"Excel files (.xlsx) are not read; {_SAVE_CSV}"
    if b"application/vnd.oasis.opendocument.spreadsheet" in head:
        return f"OpenDocument spreadsheets (.ods) are not read; {_SAVE_CSV}"
    if b"word/" in head or b"application/vnd.oasis.opendocument.text" in head:
        return "word-processor documents are not read; save the table as CSV"
    if b".npy" in head:
        return ".npz archives are not read; save each series with numpy.save (.npy)"
    return "zip archives are not read; extract the file first"


def _wide_codec(encoding: str) -> bool:
    name = codecs.lookup(encoding).name
    return name.startswith(("utf-16", "utf-32"))


def _looks_wide(sample: bytes) -> bool:
    # ASCII text in UTF-16 has a NUL in every other byte.
    return sample[1::2].count(0) > len(sample) // 4 or sample[0::2].count(0) > len(sample) // 4


def _decode(source: str, data: bytes, encoding: Optional[str] = None) -> str:
    try:
        text = data.decode("utf-8-sig" if encoding is None else encoding)
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        if encoding is None:
            raise InputError(
                source, f"not UTF-8 text; use --encoding {_guess_encoding(data)}", line
            ) from None
        raise InputError(source, f"not {encoding} text", line) from None
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text


def _guess_encoding(data: bytes) -> str:
    """An encoding to suggest for text that is not UTF-8: Windows-1252 when it has bytes
    only that code page prints in 0x80-0x9F (e.g. the euro sign), else Latin-1."""
    high = np.unique(np.frombuffer(data, dtype=np.uint8))
    c1 = high[(high >= 0x80) & (high <= 0x9F)]
    if c1.size and not np.isin(c1, (0x81, 0x8D, 0x8F, 0x90, 0x9D)).any():
        return "cp1252"
    return "latin-1"


# ---------------------------------------------------------------- bulk parsing
#
# Each piece of whole lines goes to the module's text reader, which reads in C++ without
# the interpreter lock every number float() reads in ASCII (signs, decimal marks,
# exponents, underscores between digits, infinities, values past the double range) and
# the missing-sample markers, giving the doubles float() gives and the places
# decimal_places counts. Anything it does not take (comments, quotes, ragged rows, a
# cell float() refuses, other bytes) makes the bulk reader give up, and the precise
# parser reads the input again and names the bad cell.

# Encodings in which every byte below 0x80 is that ASCII character and no longer
# character holds such a byte: cells can be found in the raw bytes.
_ASCII_SAFE = ("utf-8", "ascii", "latin-1", "iso8859-", "cp125", "mac-")


def _bulk_codec(encoding: Optional[str]) -> Optional[str]:
    if encoding is None:
        return "utf-8"
    name = codecs.lookup(encoding).name
    return name if name.startswith(_ASCII_SAFE) and name != "utf-8-sig" else None


class _Chunks:
    """The rest of a stream, ``READ_BYTES`` at a time, after ``done`` bytes read: counts
    the bytes and reports them to ``progress``; ``ended`` once the stream is at its end
    (a first read of fewer bytes already tells so)."""

    def __init__(self, stream: BinaryIO, done: int, progress: Optional[Progress],
                 size: Optional[int], source: str) -> None:
        self.stream, self.done, self.progress = stream, done, progress
        self.size, self.source = size, source
        self.ended = done < READ_BYTES

    def read(self) -> bytes:
        """The next bytes, ``b""`` at the end."""
        if self.ended:
            return b""
        piece = self.stream.read(READ_BYTES)
        self.done += len(piece)
        self.ended = not piece
        if self.progress is not None and piece:
            self.progress(self.done, self.size, self.source)
        return piece


# Bytes of blank lines: a line of these only holds no cell (but see _data_rows on tabs).
_BLANK = b" \t\r\n"


def _past_blank_lines(head: bytes, chunks: _Chunks) -> Optional[bytes]:
    """``head`` without the blank lines it starts with when it holds nothing else, read
    on until it does, so that a long run of them is looked at once; the line that the
    head ends in the middle of is kept whole. ``None`` when the input holds nothing but
    blank lines."""
    while not chunks.ended:
        cut = head.rfind(b"\n") + 1
        if cut == 0 or head[:cut].strip(_BLANK):
            return head
        head = head[cut:] + chunks.read()
    return head if head.strip(_BLANK) else None


def _bulk_columns(
    source: str,
    stream: BinaryIO,
    head: bytes,
    delimiter: Optional[str],
    prefer: Optional[str],
    columns: Sequence[str],
    dialect: Dialect,
    progress: Optional[Progress],
    size: Optional[int],
) -> Optional[List[Tuple[str, FloatArray, int]]]:
    """The columns of a text input read in bulk, ``head`` being its first bytes and
    ``stream`` positioned after them; ``None`` when the input needs the precise parser
    (the stream is then partly read)."""
    codec = _bulk_codec(dialect.encoding)
    decimal = dialect.decimal
    if codec is None:
        return None
    start = 3 if dialect.encoding is None and head.startswith(codecs.BOM_UTF8) else 0
    reader = _Chunks(stream, len(head), progress, size, source)
    past = _past_blank_lines(head[start:], reader)
    if past is None:
        raise InputError(source, "no data rows")
    head = past
    cut = head.rfind(b"\n") + 1
    if cut == 0 and not reader.ended or b'"' in head:
        return None
    try:
        text = head[:cut].decode(codec)
    except UnicodeDecodeError:
        return None
    if "\r" in text:
        if text.count("\r") != text.count("\r\n"):
            return None
        text = text.replace("\r\n", "\n")
    lines = text.split("\n")
    found = next((n for n, line in enumerate(lines) if (bare := line.lstrip()) and bare[0] != "#"), None)
    if found is None or found == len(lines) - 1 and not reader.ended:
        return None
    first_line = lines[found]
    if delimiter == _SNIFF:
        delimiter = _sniff(first_line, decimal, prefer)
    elif delimiter == " ":
        delimiter = None
    first = first_line.split(delimiter)
    width = len(first)
    if width > 1 and (delimiter is None or not delimiter.isascii()):
        return None
    if width == 2 and delimiter == "," and prefer != "," and dialect.delimiter is None:
        return None  # maybe decimal commas: the precise parser looks at every row
    swap = _SWAP_MARKS if decimal == "," else {}
    has_header = not all(_is_value(c.translate(swap)) for c in first) or all(map(_is_missing, first))
    names = [cell.strip() or str(i) for i, cell in enumerate(first)] if has_header else None
    try:
        wanted = [_resolve(source, token, names, width, None) for token in columns]
    except InputError:
        return None
    offset = 0
    for _ in range(found + has_header):
        offset = head.index(b"\n", offset) + 1

    mark = ord(decimal)
    if width > 1:
        assert delimiter is not None
        separator = ord(delimiter)
    else:
        separator = ord("\n")
    # Blank lines at the end are no rows; a tab is no blank where it splits cells.
    blank = b" \r\n" if delimiter == "\t" and width > 1 else b" \t\r\n"
    keep = wanted or list(range(width))
    arrays = [np.empty(0, dtype=np.float64) for _ in keep]
    places = [0] * len(keep)
    rows = 0
    for piece in _line_pieces(head[offset:], reader.read, blank):
        parsed = _read_piece(piece, width, separator, mark, keep)
        if parsed is None:
            return None
        read, written = parsed
        count = read[0].shape[0]
        if rows + count > arrays[0].size:
            # Room for what the rest of the input likely holds; the arrays grow in
            # place (realloc) and shrink to size at the end.
            guess = rows + count + (count * (size - reader.done) // max(len(piece), 1) if size else count)
            capacity = max(guess + (guess >> 4) + 1024, int(arrays[0].size * 1.5))
            if rows == 0:
                # Fresh arrays: empty ones are not written over with zeros first,
                # as a resize would, so their pages are touched once, when filled.
                arrays = [np.empty(capacity, dtype=np.float64) for _ in keep]
            else:
                for array in arrays:
                    array.resize(capacity, refcheck=False)
        for k in range(len(keep)):
            arrays[k][rows : rows + count] = read[k]
            places[k] = max(places[k], written[k])
        rows += count
    if rows == 0 or rows == 1 and width > 1 and not wanted:
        return None
    for array in arrays:
        array.resize(rows, refcheck=False)

    def label(index: int) -> str:
        return names[index] if names is not None else str(index)

    return [(label(index), arrays[k], places[k]) for k, index in enumerate(keep)]


def _line_pieces(first: bytes, more: Callable[[], bytes], blank: bytes) -> Iterator[bytes]:
    """The whole lines of ``first`` and of what ``more`` gives after it (``b""`` at the
    end) in pieces, each ending with a line break, the blank lines at the end (those
    holding only ``blank`` bytes) left out, and the last line given its line break.

    Each byte is scanned and copied a bounded number of times, however long a line or a
    run of blank lines: an unfinished line waits as the list of its parts, joined once
    its break comes, and blank lines that may end the input wait as pieces of their own,
    given out when a line with a cell follows."""
    parts: List[bytes] = []  # the unfinished line
    waiting: List[bytes] = []  # whole blank lines, perhaps the end of the input
    data = first
    while data:
        cut = data.rfind(b"\n") + 1
        if cut == 0:
            parts.append(data)
        else:
            parts.append(data[:cut])
            lines = b"".join(parts) if len(parts) > 1 else parts[0]
            parts = [data[cut:]] if cut < len(data) else []
            kept = len(lines.rstrip(blank))
            if kept:
                cut = lines.index(b"\n", kept) + 1
                yield from waiting
                waiting = []
                yield lines[:cut]
                lines = lines[cut:]
            if lines:
                waiting.append(lines)
        data = more()
    last = b"".join(parts).rstrip(blank)
    if last:
        yield from waiting
        yield last + b"\n"


def _read_piece(
    piece: bytes, width: int, delimiter: int, mark: int, keep: List[int]
) -> Optional[Tuple[List[FloatArray], List[int]]]:
    """The columns ``keep`` of ``piece`` (whole lines) and the decimal places written in
    each, by the module's reader; ``None`` when the piece needs the precise parser (a
    cell that is no number, a ragged row, quotes, comments), which then reads the whole
    input again and names the fault."""
    read = kestrel_grid._read_columns(piece, width, chr(delimiter), chr(mark), keep)
    if read is None:
        return None
    arrays, written = read
    return [np.asarray(array) for array in arrays], list(written)


# Cells that stand for a missing sample (compared stripped and case-folded): an empty
# cell, the NA markers of spreadsheets and R, pandas' NaN export and JSON's null.
MISSING_CELLS = frozenset({"", "na", "n/a", "nan", "null"})


# The most decimal places (and digits in all) the module's ``decimals=`` accepts.

# A cell written with an exponent: its fraction digits and the exponent (underscores
# removed first; Python's float accepts them between digits).
_EXPONENT_CELL = re.compile(r"(?:\.(\d*))?[eE]([+-]?\d+)")

# Exponents are read up to this value: beyond it every answer means "too many places".
_EXPONENT_CAP = 1 << 20


def decimal_places(cells: Sequence[str]) -> int:
    """The decimal places a column of numbers is written with: the most digits after
    the decimal point in any cell, an exponent counted in (``1.5e-3``: 4, ``2.5e1``: 0).

    Cells are assumed to be numbers or missing-sample markers (which hold no digits
    after a point). The work is a few regular-expression scans of the joined column
    and, for exponents, a few numpy passes over its bytes, so reading stays fast on
    millions of cells."""
    text = "\n".join(cells)
    if "_" in text:
        text = text.replace("_", "")
    places = _plain_places(text)
    if "e" in text or "E" in text:
        places = max(places, _exponent_places(text))
    return places


def _plain_places(text: str) -> int:
    """The longest run of digits after a point that no exponent follows (digits of any
    script, as Python's float reads them)."""
    if "." not in text:
        return 0

    def has(k: int) -> bool:
        return re.search(r"\.\d{%d}(?!\d*[eE])" % k, text) is not None

    # The largest k such that some point is followed by k digits: doubling, then halving.
    low, high = 0, 1
    while has(high):
        low, high = high, 2 * high
    while high - low > 1:
        middle = (low + high) // 2
        if has(middle):
            low = middle
        else:
            high = middle
    return low


def _exponent_places(text: str) -> int:
    """The most places among cells with an exponent: fraction digits minus exponent."""
    if not text.isascii():
        # Python's float also reads other scripts' digits; count those cell by cell.
        return max(
            (len(m[1] or "") - int(m[2]) for m in _EXPONENT_CELL.finditer(text)), default=0
        )
    data = np.frombuffer(text.encode("ascii") + b"\n\n", dtype=np.uint8)
    index = np.arange(data.size)
    marks = np.flatnonzero((data == ord("e")) | (data == ord("E")))
    # The last point and the last line break at or before each byte: a point belongs to
    # an exponent's cell when it comes after the cell's line break.
    last_point = np.maximum.accumulate(np.where(data == ord("."), index, -1))[marks]
    last_break = np.maximum.accumulate(np.where(data == ord("\n"), index, -1))[marks]
    fraction = np.where(last_point > last_break, marks - last_point - 1, 0)
    position = marks + 1
    sign = np.where(data[position] == ord("-"), -1, 1)
    position = position + np.isin(data[position], (ord("-"), ord("+")))
    exponent = np.zeros(marks.size, dtype=np.int64)
    active = np.ones(marks.size, dtype=bool)
    while True:
        digit = data[np.minimum(position, data.size - 1)].astype(np.int64) - ord("0")
        active &= (digit >= 0) & (digit <= 9)
        if not active.any():
            break
        exponent = np.where(active, np.minimum(exponent * 10 + digit, _EXPONENT_CAP), exponent)
        position = position + 1
    return int(np.max(fraction - sign * exponent, initial=0))


def _is_missing(cell: str) -> bool:
    return cell.strip().casefold() in MISSING_CELLS


def _is_number(cell: str) -> bool:
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _is_value(cell: str) -> bool:
    """A number or a missing-sample marker."""
    return _is_missing(cell) or _is_number(cell)


def _to_float(cell: str) -> float:
    return math.nan if _is_missing(cell) else float(cell)


def _split(
    lines: Sequence[str], delimiter: Optional[str], fail: Callable[[int, str], InputError]
) -> List[List[str]]:
    """The cells of each line; a line the csv module refuses raises ``fail(row, what)``
    (``row`` counting from 0 in ``lines``)."""
    if delimiter is None:
        return [line.split() for line in lines]
    reader = csv.reader(lines, delimiter=delimiter)
    try:
        return list(reader)
    except csv.Error as error:
        # The csv module caps a cell at field_size_limit() characters (128 KiB by
        # default); no number is that long, so the cap stays and the line is named.
        what = str(error)
        if what.startswith("field larger than field limit"):
            what = f"a cell is longer than {csv.field_size_limit()} characters"
        raise fail(reader.line_num - 1, what) from None


def _data_rows(lines: Sequence[str], start: int, delimiter: Optional[str], one_column: bool) -> List[int]:
    """The 0-based indices of the data rows of ``lines`` (header included): the first
    row, at ``start``, then every later line that is no comment (``#`` first) and not
    blank: whitespace only without the delimiter (a line of tabs in a tab-separated file
    is a row of empty cells, missing samples, as ``,,`` is in a comma-separated one).
    In a one-column file every line is one cell, and a blank line between the first and
    the last row is a row too, a missing sample."""
    after = range(start + 1, len(lines))
    if one_column:
        rows = [n for n in after if not lines[n].lstrip().startswith("#")]
        while rows and not lines[rows[-1]].strip():
            rows.pop()
    elif delimiter is not None and delimiter.isspace():
        rows = [n for n in after if (bare := lines[n].lstrip()) and bare[0] != "#"
                or not bare and delimiter in lines[n]]
    else:  # a blank line never holds the delimiter
        rows = [n for n in after if (bare := lines[n].lstrip()) and bare[0] != "#"]
    rows.insert(0, start)
    return rows


def _floats(cells: Sequence[str]) -> Optional[FloatArray]:
    """The cells as float64 (a missing-sample marker as NaN), or None when one of them is
    neither a number nor such a marker."""
    try:
        return np.fromiter(map(float, cells), dtype=np.float64, count=len(cells))
    except ValueError:
        pass
    try:
        return np.fromiter(map(_to_float, cells), dtype=np.float64, count=len(cells))
    except ValueError:
        return None


def first_bad_position(positions: FloatArray) -> Optional[Tuple[int, str]]:
    """The row of the first position that is not finite or not greater than the one
    before it, with what is wrong; ``None`` when all are fine. O(n) in numpy."""
    finite = np.isfinite(positions)
    rising = np.ones(positions.shape[0], dtype=bool)
    rising[1:] = positions[1:] > positions[:-1]
    bad = np.flatnonzero(~(finite & rising))
    if bad.size == 0:
        return None
    row = int(bad[0])
    value = float(positions[row])
    if not finite[row]:
        return row, f"position {value!r} is not finite"
    previous = float(positions[row - 1])
    return row, f"position {value!r} is not greater than the one before it ({previous!r})"


def parse_columns(
    source: str,
    text: str,
    delimiter: Optional[str],
    columns: Sequence[str],
    x: Optional[str] = None,
    decimal: str = ".",
    prefer: Optional[str] = None,
) -> Tuple[List[Tuple[str, FloatArray, int]], Optional[Positions]]:
    """Parse delimited text into named float64 columns, with the decimal places each is
    written with (:func:`decimal_places`), and, with ``x``, the positions (numbers, or
    ISO 8601 times as offsets from the first in the coarsest exact unit).

    Blank lines and lines whose first non-blank character is ``#`` are skipped; a line of
    whitespace that holds the delimiter (tabs in a tab-separated file) is a row of empty
    cells, missing samples, and in a one-column file a blank line between rows is a
    missing sample. The first remaining row is a header when one of its cells is not a
    number.

    Args:
        source: Name used in labels and messages.
        text: The whole text, lines separated by ``\\n``.
        delimiter: A delimiter character (a space: runs of whitespace, as ``None``), or
            ``"sniff"`` to take ``prefer``, tab, ``;``, ``,`` (not with a decimal comma)
            or whitespace, the first found in the first row.
        columns: Names or 0-based indices to read; empty for the only column, or for
            every column whose first data cell is a number (the positions column
            left out).
        x: Name or 0-based index of the positions column, or ``None``.
        decimal: The decimal mark of the numbers, ``.`` or ``,``.
        prefer: The delimiter a sniff tries first (from a ``.csv`` or ``.tsv`` suffix);
            when the first row lacks it and holds no other, it is kept.

    Returns:
        (column name or index, values, decimal places) triples, and the positions
        (``None`` without ``x``).

    Raises:
        InputError: No data rows, a ragged row, a cell that is not a number, an unknown
            column, no numeric column, a series column that is the positions column,
            or positions that are not finite and strictly increasing. When a column is
            not numeric but its cells are numbers in another dialect (decimal commas,
            another delimiter), the message names the option to give.
    """
    conv = _swap_marks if decimal == "," else _same

    def one(cell: str) -> str:
        return cell.translate(_SWAP_MARKS) if decimal == "," else cell

    lines = text.split("\n")
    start = next((n for n, line in enumerate(lines) if (bare := line.lstrip()) and bare[0] != "#"), None)
    if start is None:
        raise InputError(source, "no data rows")
    row_lines = [start]  # 0-based lines of the data rows (header included), once the delimiter is known

    def line_of(row: int) -> int:
        # 1-based file line of data row `row` (header included).
        return row_lines[row] + 1

    def failure(offset: int) -> Callable[[int, str], InputError]:
        # Reports a line that cannot be split; `offset` is the data row of its first line.
        return lambda row, what: InputError(source, what, line_of(row + offset))

    guessed_comma = False
    if delimiter == _SNIFF:
        delimiter = _sniff(lines[start], decimal, prefer)
        guessed_comma = delimiter == "," and prefer != ","
    elif delimiter == " ":
        delimiter = None
    first = _split(lines[start : start + 1], delimiter, failure(0))[0]
    width = len(first)
    blanks_are_rows = width == 1
    row_lines = _data_rows(lines, start, delimiter, blanks_are_rows)
    if blanks_are_rows:
        # One column: a blank line inside the data is a missing sample, as an empty
        # cell is in a wider file, so it does not shift the later samples' positions.
        data = [line if line.strip() else "" for line in map(lines.__getitem__, row_lines)]
    else:
        data = [lines[n] for n in row_lines]
    has_header = not all(_is_value(one(cell)) for cell in first) or all(map(_is_missing, first))
    names = [cell.strip() or str(i) for i, cell in enumerate(first)] if has_header else None
    skip = 1 if has_header else 0
    body = data[skip:]
    if not body:
        raise InputError(source, "no data rows")

    if guessed_comma and width == 2 and not has_header and _decimal_commas(body):
        raise InputError(
            source,
            f"'{body[0].strip()}' may be one number with a decimal comma or two numbers: "
            "give --decimal , for one column, or --delimiter , for two",
            line_of(0),
        )

    def label(index: int) -> str:
        return names[index] if names is not None else str(index)

    def place(index: int) -> str:
        # Column as shown in messages: header name, or 1-based number.
        return names[index] if names is not None else str(index + 1)

    wanted = [_resolve(source, token, names, width, line_of) for token in columns]
    x_index = None if x is None else _resolve(source, x, names, width, line_of)
    if x_index is not None and x_index in wanted:
        raise InputError(
            source, f"column '{label(x_index)}' holds the positions (--x); it cannot also be a series"
        )

    if len(body) == 1 and not wanted and width > 1:
        # One row of many numbers is nearly always a series written across instead of
        # down; as columns it would give as many one-sample series, slowly.
        row = first if not has_header else _split(body, delimiter, failure(skip))[0]
        count = sum(1 for index, cell in enumerate(row) if index != x_index and _is_value(one(cell)))
        if count > 1:
            raise InputError(source, _one_row(count, "put one value per line"), line_of(skip))

    # Fast path for one column: every line must be a plain number.
    if width == 1 and wanted in ([], [0]) and x_index is None:
        cells = conv(body)
        values = _floats(cells)
        if values is not None:
            return [(label(0), values, decimal_places(cells))], None

    column = _cutter(body, delimiter, width)
    if column is None:
        rows = _split(body, delimiter, failure(skip))
        if blanks_are_rows:
            rows = [row or [""] for row in rows]  # a blank line: one empty cell
        for row_index, row in enumerate(rows):
            if len(row) != width:
                against = "header" if has_header else "first row"
                raise InputError(
                    source,
                    f"row has {_cells(len(row))}, {against} has {_cells(width)}",
                    line_of(row_index + skip),
                )

        def column_of_rows(index: int) -> List[str]:
            return [row[index] for row in rows]

        column = column_of_rows
    if not wanted:
        wanted = []
        for index in range(width):
            if index == x_index:
                continue
            cells = column(index)
            if _numeric(conv(cells)):
                wanted.append(index)
                continue
            # A column left out must be no column of numbers in another dialect.
            row_index, cell = next((i, c) for i, c in enumerate(cells) if not _is_missing(c))
            hint = _hint(cell, delimiter, decimal)
            if hint is not None:
                raise InputError(
                    source,
                    f"could not read '{cell.strip()}' as a number; {hint}",
                    line_of(row_index + skip),
                    place(index),
                )
        if not wanted:
            if x_index is not None:
                raise InputError(
                    source, f"no series column besides the positions column '{label(x_index)}' (--x)"
                )
            raise InputError(source, "no numeric column", line_of(skip))

    def read(index: int) -> FloatArray:
        cells = conv(column(index))
        values = _floats(cells)
        if values is None:
            row_index, cell = next((i, c) for i, c in enumerate(cells) if not _is_value(c))
            cell = one(cell)
            hint = _hint(cell, delimiter, decimal)
            raise InputError(
                source,
                f"could not read '{cell.strip()}' as a number" + ("" if hint is None else f"; {hint}"),
                line_of(row_index + skip),
                place(index),
            )
        return values

    positions = None
    if x_index is not None:
        cells = column(x_index)
        numbers = _floats(conv(cells))
        if numbers is not None or _is_number(one(cells[0])):
            positions = Positions(read(x_index))
        else:
            def fail(row: int, what: str) -> InputError:
                return InputError(source, what, line_of(row + skip), place(x_index))
            positions = _times(cells, fail)
        bad = first_bad_position(positions.offsets)
        if bad is not None:
            raise InputError(source, bad[1], line_of(bad[0] + skip), place(x_index))
    return [
        (label(index), read(index), decimal_places(conv(column(index)))) for index in wanted
    ], positions


# With a decimal comma the marks trade places: "5,5" becomes "5.5" for float, and a
# "5.5" becomes "5,5", which float refuses (a point is then no decimal mark). Trading
# again gives the cell back as written, for messages.
_SWAP_MARKS = str.maketrans({",": ".", ".": ","})


def _swap_marks(cells: Sequence[str]) -> List[str]:
    return [cell.translate(_SWAP_MARKS) for cell in cells]


def _same(cells: Sequence[str]) -> List[str]:
    return cells if isinstance(cells, list) else list(cells)


_DECIMAL_COMMA = re.compile(r"[+-]?[0-9]+,[0-9]+")


def _decimal_commas(rows: Sequence[str]) -> bool:
    """Whether every row reads as one number with a decimal comma (``-12,5``): found
    in a file without a ``.csv`` suffix, a comma is then no safe delimiter."""
    return all(_DECIMAL_COMMA.fullmatch(row.strip()) for row in rows)


def _sniff(first_line: str, decimal: str, prefer: Optional[str]) -> Optional[str]:
    """The delimiter of a first data row: ``prefer`` when it holds it, else tab, ``;``
    or ``,`` (not with a decimal comma), the first found; else ``prefer`` or runs of
    whitespace (``None``)."""
    candidates = ("\t", ";") if decimal == "," else ("\t", ";", ",")
    if prefer is not None and prefer in first_line and prefer in candidates:
        return prefer
    found = next((d for d in candidates if d in first_line), None)
    if found is not None:
        return found
    return prefer if prefer in candidates else None


_DELIMITER_OPTIONS = ((";", "';'"), ("\t", "tab"), (",", "comma"))


def _hint(cell: str, delimiter: Optional[str], decimal: str) -> Optional[str]:
    """The options that would read ``cell`` as a number (or as numbers), as advice, or
    ``None`` when it is no number in any dialect read here."""
    text = cell.strip()
    if decimal == "." and "," in text and _is_number(text.translate(_SWAP_MARKS)):
        return "for decimal commas use --decimal ,"
    if decimal == "," and "." in text and _is_number(text):
        return "for decimal points leave out --decimal ,"
    for other, option in _DELIMITER_OPTIONS:
        if other == delimiter or other not in text:
            continue
        parts = text.split(other)
        if all(_is_value(part) for part in parts) and not (other == "," and decimal == ","):
            return f"for cells separated by {option} use --delimiter {option}"
        if other != "," and all(_is_value(part.translate(_SWAP_MARKS)) for part in parts):
            return f"for cells separated by {option} with decimal commas use --delimiter {option} --decimal ,"
    return None


def _numeric(cells: Sequence[str]) -> bool:
    """Whether a column holds numbers: its first cell that is not a missing-sample marker
    is a number (a column of markers only is numeric too, all missing)."""
    first = next((cell for cell in cells if not _is_missing(cell)), None)
    return first is None or _is_number(first)


_OFFSET = re.compile(r"(Z|[+-]\d\d(?::?\d\d)?)$")


def _times(cells: Sequence[str], fail: Callable[[int, str], InputError]) -> Positions:
    """ISO 8601 dates or date-times as positions; year-months alone (``1949-01``) as
    months. Times with a UTC offset are read as instants; every time must then carry the
    same offset (a column that mixes offsets, or times with and without one, is refused:
    its spacing would be ambiguous)."""
    texts = [cell.strip() for cell in cells]
    def zone_of(text: str) -> Optional[str]:
        match = _OFFSET.search(text) if ("T" in text or " " in text) else None
        return match.group(1) if match else None

    zones = [zone_of(t) for t in texts]
    zone = zones[0] if zones else None
    if any(z != zone for z in zones):
        row = next(k for k, z in enumerate(zones) if z != zone)
        raise fail(row, f"times mix UTC offsets ({zone or 'no offset'} in the first row, "
                        f"{zones[row] or 'no offset'} here); give every time in one offset or in UTC")
    try:
        if zone is None:
            stamps = np.array(texts, dtype="datetime64")
        else:
            parsed = [_dt.datetime.fromisoformat(t[:-1] + "+00:00" if t.endswith("Z") else t)
                      for t in texts]
            stamps = np.array([p.astimezone(_dt.timezone.utc).replace(tzinfo=None) for p in parsed],
                              dtype="datetime64[us]")
    except ValueError:
        for row, text in enumerate(texts):
            try:
                np.datetime64(text) if zone is None else _dt.datetime.fromisoformat(
                    text[:-1] + "+00:00" if text.endswith("Z") else text)
            except ValueError:
                raise fail(row, f"could not read '{text}' as a number or an ISO 8601 time") from None
        raise
    try:
        # Year-months alone (1949-01) are calendar months: counted as months, not days.
        found = month_positions(stamps) if stamps.dtype == np.dtype("M8[M]") else time_positions(stamps)
    except ValueError as error:
        raise fail(0, str(error)) from None
    assert found is not None
    return found


def _cutter(
    body: List[str], delimiter: Optional[str], width: int
) -> Optional[Callable[[int], List[str]]]:
    """Column getter for rows that split plainly: a single-character delimiter, no
    quotes, the same number of cells on every row. One split of the joined rows is
    several times faster than splitting row by row; None sends other input to the
    csv reader, which also reports ragged rows."""
    if delimiter is None:
        return None
    joined = delimiter.join(body)
    if '"' in joined or set(map(methodcaller("count", delimiter), body)) != {width - 1}:
        return None
    cells = joined.split(delimiter)
    return lambda index: cells[index::width]


def _one_row(count: int, remedy: str) -> str:
    return (
        f"only one data row: its {count} numbers would be {count} series of one sample "
        f"each; {remedy} for a single series, or pick columns with --column"
    )


def _cells(count: int) -> str:
    return f"{count} cell" if count == 1 else f"{count} cells"


def _resolve(
    source: str,
    token: str,
    names: Optional[List[str]],
    width: int,
    line_of: Optional[Callable[[int], int]],
) -> int:
    """Index of the column named ``token`` (a header name, else a 0-based index)."""
    if names is not None and token in names:
        return names.index(token)
    if _INDEX.fullmatch(token) and int(token) < width:
        return int(token)
    available = names if names is not None else [str(i) for i in range(width)]
    line = line_of(0) if names is not None and line_of is not None else None
    raise InputError(
        source, f"unknown column '{token}' (available: {', '.join(available)})", line
    )


def stream_size(stream: BinaryIO) -> Optional[int]:
    """The byte size of a regular file or an in-memory buffer, else None."""
    if isinstance(stream, io.BytesIO):
        return len(stream.getbuffer())
    try:
        status = os.fstat(stream.fileno())
    except (OSError, AttributeError, io.UnsupportedOperation):
        return None
    return status.st_size if stat.S_ISREG(status.st_mode) else None


def npy_header(stream: BinaryIO) -> Tuple[Tuple[int, ...], bool, np.dtype[Any]]:
    """The shape, Fortran order and dtype of the ``.npy`` array ``stream`` starts with,
    leaving the stream at its data; ``ValueError`` when the header is unreadable. A header
    that claims more data than a regular file holds after it raises ``EOFError`` (the
    file ends before its N samples): the claim is checked against the file's size before
    anything is reserved for it. Pipes are read into memory first
    (so they are measured too); other streams cannot be."""
    version = np.lib.format.read_magic(stream)
    read_header = (np.lib.format.read_array_header_1_0 if version == (1, 0)
                   else np.lib.format.read_array_header_2_0)
    shape, fortran, dtype = read_header(stream)
    size = stream_size(stream)
    if size is not None:
        count = math.prod(shape)  # exact: no product of a hostile shape wraps around
        held = max(size - stream.tell(), 0) // max(dtype.itemsize, 1)
        if count > held:
            what = "samples" if len(shape) == 1 else "values"
            raise EOFError(f"the file ends before its {count} {what} (it holds {held})")
    return shape, fortran, dtype


def _read_npy(path: str, columns: Sequence[str], x: Optional[str], stream: BinaryIO) -> List[Series]:
    with stream:
        try:
            npy_header(stream)
            stream.seek(0)
            array = np.load(stream, allow_pickle=False)
        except EOFError as error:  # a header that claims more than the file holds
            raise InputError(path, str(error)) from None
        except MemoryError:  # a real array too large: not a fault of the file
            raise
        except Exception:  # any failure to parse means the same thing to the user
            array = None
    if not isinstance(array, np.ndarray):
        raise InputError(path, "not a readable .npy file")
    if array.dtype.kind not in "biuf":
        raise InputError(path, f"holds {array.dtype} values, not real numbers")
    if array.ndim not in (1, 2):
        raise InputError(path, f"holds a {array.ndim}-d array; 1-d or 2-d (columns are series) expected")
    if x is not None and array.ndim == 1:
        raise InputError(
            path, "holds a 1-d array; --x needs a 2-d array with a column of positions"
        )
    table = array.reshape(-1, 1) if array.ndim == 1 else array
    if table.shape[0] == 0 or table.shape[1] == 0:
        raise InputError(path, "holds no samples")
    width = table.shape[1]
    if table.shape[0] == 1 and not columns and width - (x is not None) > 1:
        raise InputError(path, _one_row(width - (x is not None), "save a 1-d array"))
    wanted = [_resolve(path, token, None, width, None) for token in columns]
    positions = None
    if x is not None:
        x_index = _resolve(path, x, None, width, None)
        if x_index in wanted:
            raise InputError(
                path, f"column '{x_index}' holds the positions (--x); it cannot also be a series"
            )
        wanted = wanted or [index for index in range(width) if index != x_index]
        if not wanted:
            raise InputError(path, f"no series column besides the positions column '{x_index}' (--x)")
        positions = np.ascontiguousarray(table[:, x_index], dtype=np.float64)
        bad = first_bad_position(positions)
        if bad is not None:
            raise InputError(path, f"row {bad[0]}, column {x_index}: {bad[1]}")
    return [
        Record(np.ascontiguousarray(table[:, index], dtype=np.float64), positions,
               label=f"{path}:{index}")
        for index in wanted or range(width)
    ]


# ---------------------------------------------------------------- result tables


@dataclass(frozen=True)
class Table:
    """A result of one series: named 1-d columns of equal length.

    Attributes:
        output: ``summary``, ``edges``, ``degrees``, ``distribution`` or ``motifs``.
        columns: Column names, in order.
        arrays: One 1-d array per column (int64, float64, str, or ``datetime64`` for
            positions that were times).
        graph: Facts about the whole graph that a graph format records with it
            (GraphML graph data), as ``(name, text)`` pairs: the unit and origin of
            time positions, the direction and the edge weight.
        directed: Whether the ``source,target`` rows are directed edges.
    """

    output: str
    columns: Tuple[str, ...]
    arrays: Tuple[npt.NDArray[Any], ...]
    graph: Tuple[Tuple[str, str], ...] = ()
    directed: bool = False

    @property
    def rows(self) -> int:
        """Number of rows."""
        return int(self.arrays[0].shape[0]) if self.arrays else 0


def record_table(output: str, record: Dict[str, Any]) -> Table:
    """A one-row table from a mapping of scalar values."""
    return Table(output, tuple(record), tuple(np.array([value]) for value in record.values()))


def time_texts(times: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """ISO 8601 text of ``datetime64`` values: year-months for a month unit, dates alone
    for a day unit, else to the second, or to the millisecond, microsecond or nanosecond
    when the unit is finer (hours and minutes are written with their seconds, as the
    usual forms are)."""
    unit = np.datetime_data(times.dtype)[0]
    shown = unit if unit in ("M", "D", "ms", "us", "ns") else "s"
    return np.datetime_as_string(times, unit=cast(Any, shown))


def _quote(text: str, delimiter: str) -> str:
    """A CSV/TSV field: quoted when it holds the delimiter, a quote or a line break."""
    if delimiter in text or '"' in text or "\n" in text or "\r" in text:
        return '"' + text.replace('"', '""') + '"'
    return text


def _texts(array: npt.NDArray[Any], delimiter: str) -> List[str]:
    """Cells of a column: integers in decimal, floats by ``repr`` (round-trips), times as
    ISO 8601 text, strings quoted as needed."""
    kind = array.dtype.kind
    if kind == "M":
        return time_texts(array).tolist()  # type: ignore[no-any-return]
    values = array.tolist()
    if kind in "biu":
        return list(map(str, values))
    if kind == "f":
        return list(map(repr, values))
    return [_quote(str(value), delimiter) for value in values]


def _json_texts(array: npt.NDArray[Any]) -> List[str]:
    """JSON values of a column; non-finite floats become ``null``, times ISO 8601 text."""
    if array.dtype.kind == "M":
        array = time_texts(array)
    values = array.tolist()
    kind = array.dtype.kind
    if kind in "biu":
        return list(map(str, values))
    if kind == "f":
        return [repr(v) if math.isfinite(v) else "null" for v in values]
    return list(map(json.dumps, values))


def _json_scalar(value: Any) -> Any:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


class Writer:
    """Base of the writers: ``write`` every series' table, then ``close`` once.

    Args:
        stream: Binary stream written to.
        several: Whether more than one series is written (each row or entry then
            carries the series label).
    """

    def __init__(self, stream: BinaryIO, several: bool) -> None:
        self.stream = stream
        self.several = several

    def emit(self, text: str) -> None:
        """Write text as UTF-8."""
        self.stream.write(text.encode("utf-8", "surrogateescape"))

    def write(
        self, label: str, table: Table, values: FloatArray, positions: Optional[FloatArray] = None
    ) -> None:
        """Write the table of the series ``label`` (samples ``values`` at ``positions``,
        ``None`` for ``0, 1, 2, ...``)."""
        raise NotImplementedError

    def close(self) -> None:
        """Finish the document."""


class DelimitedWriter(Writer):
    """CSV or TSV: one header row, then the rows of every series, with a leading
    ``series`` column when there are several."""

    def __init__(self, stream: BinaryIO, several: bool, delimiter: str) -> None:
        super().__init__(stream, several)
        self.delimiter = delimiter
        self.started = False

    def write(
        self, label: str, table: Table, values: FloatArray, positions: Optional[FloatArray] = None
    ) -> None:
        d = self.delimiter
        if not self.started:
            header = (("series",) if self.several else ()) + table.columns
            self.emit(d.join(_quote(name, d) for name in header) + "\n")
            self.started = True
        prefix = _quote(label, d) + d if self.several else ""
        joiner = "\n" + prefix
        for start in range(0, table.rows, CHUNK):
            cells = [_texts(array[start : start + CHUNK], d) for array in table.arrays]
            self.emit(prefix + joiner.join(map(d.join, zip(*cells))) + "\n")


class TextWriter(Writer):
    """Readable ``key: value`` blocks, one per series, separated by blank lines."""

    def __init__(self, stream: BinaryIO, several: bool) -> None:
        super().__init__(stream, several)
        self.started = False

    def write(
        self, label: str, table: Table, values: FloatArray, positions: Optional[FloatArray] = None
    ) -> None:
        lines = [f"series: {label}"]
        for name, array in zip(table.columns, table.arrays):
            value = array.tolist()[0]
            lines.append(f"{name}: {repr(value) if isinstance(value, float) else value}")
        self.emit(("\n" if self.started else "") + "\n".join(lines) + "\n")
        self.started = True


class JsonWriter(Writer):
    """JSON: an object with one array per column (a summary: one object of values),
    led by the ``series`` label; with several series, an object of those keyed by
    label (without the ``series`` entry, which the key already is)."""

    def __init__(self, stream: BinaryIO, several: bool) -> None:
        super().__init__(stream, several)
        self.count = 0

    def write(
        self, label: str, table: Table, values: FloatArray, positions: Optional[FloatArray] = None
    ) -> None:
        if self.several:
            self.emit(("{" if self.count == 0 else ",\n") + json.dumps(label) + ": ")
        self.count += 1
        lead = "" if self.several else '"series": ' + json.dumps(label)
        if table.output == "summary":
            record = {n: _json_scalar(a.tolist()[0]) for n, a in zip(table.columns, table.arrays)}
            body = json.dumps(record)[1:]
            self.emit("{" + lead + (", " if lead and body != "}" else "") + body)
            return
        self.emit("{" + lead)
        for position, (name, array) in enumerate(zip(table.columns, table.arrays)):
            self.emit((", " if position or lead else "") + json.dumps(name) + ": [")
            for start in range(0, table.rows, CHUNK):
                self.emit(("," if start else "") + ",".join(_json_texts(array[start : start + CHUNK])))
            self.emit("]")
        self.emit("}")

    def close(self) -> None:
        self.emit("}\n" if self.several else "\n")


# The tables that ``.npy`` writes as a bare array of their last column(s): edges as
# (m, 2) pairs, degrees and motif scores as 1-d arrays whose row index is the vertex or
# window. Any other columns (positions, in/out degrees, weights) need a structured array.
_BARE_NPY = {
    "edges": ("source", "target"), "degrees": ("index", "degree"), "motifs": ("window", "score"),
}


class NpyWriter(Writer):
    """``.npy``: edges as an (m, 2) int64 array, degrees and motif scores as 1-d int64
    arrays (the row index being the vertex or window); distribution, summary, and edges
    or degrees with more columns than those (weights, positions, in/out degrees) as
    structured arrays with one field per column. Only a summary may hold several series
    (a leading ``series`` field)."""

    def __init__(self, stream: BinaryIO, several: bool) -> None:
        super().__init__(stream, several)
        self.labels: List[str] = []
        self.tables: List[Table] = []

    def write(
        self, label: str, table: Table, values: FloatArray, positions: Optional[FloatArray] = None
    ) -> None:
        self.labels.append(label)
        self.tables.append(table)

    def close(self) -> None:
        first = self.tables[0]
        array: npt.NDArray[Any]
        if _BARE_NPY.get(first.output) != first.columns:
            names = list(first.columns)
            columns = [np.concatenate([t.arrays[i] for t in self.tables]) for i in range(len(names))]
            if self.several:
                names.insert(0, "series")
                columns.insert(0, np.array(self.labels))
            array = np.empty(columns[0].shape[0], dtype=[(n, c.dtype) for n, c in zip(names, columns)])
            for name, column in zip(names, columns):
                array[name] = column
        elif first.output == "edges":
            array = np.column_stack(first.arrays).astype(np.int64).reshape(-1, 2)
        else:
            array = first.arrays[1]
        np.save(self.stream, array, allow_pickle=False)


class ParquetWriter(Writer):
    """Parquet (needs pyarrow): one table whose columns are those of the result, led by
    a ``series`` column when there are several. Edges, degrees, distributions and motif
    scores are written series by series (a row group or more each); summaries, one row
    per series, at the end. Times are Parquet timestamps (dates: ``date32``), so that
    data-frame readers get them as times.

    Raises:
        MissingExtraError: pyarrow is not installed.
    """

    def __init__(self, stream: BinaryIO, several: bool) -> None:
        super().__init__(stream, several)
        self.pa = require("pyarrow", "--format parquet")
        self.pq = require("pyarrow.parquet", "--format parquet")
        self.writer: Any = None
        self.summaries: List[Tuple[str, Table]] = []

    def _column(self, array: npt.NDArray[Any]) -> Any:
        unit = np.datetime_data(array.dtype)[0] if array.dtype.kind == "M" else None
        if unit in ("h", "m"):
            array = array.astype("M8[s]")  # Parquet has no hour or minute timestamps
        if unit == "M":
            array = array.astype("M8[D]")  # nor months: a month as its first day
        if array.dtype.kind == "U":
            return self.pa.array(array.tolist(), type=self.pa.string())
        return self.pa.array(array)

    def _table(self, labels: Any, table: Table) -> Any:
        names = list(table.columns)
        columns = [self._column(array) for array in table.arrays]
        if self.several:
            names.insert(0, "series")
            columns.insert(0, labels)
        return self.pa.table(columns, names=names)

    def _put(self, data: Any) -> None:
        if self.writer is None:
            self.writer = self.pq.ParquetWriter(self.stream, data.schema)
        self.writer.write_table(data.cast(self.writer.schema))

    def write(
        self, label: str, table: Table, values: FloatArray, positions: Optional[FloatArray] = None
    ) -> None:
        if table.output == "summary":
            self.summaries.append((label, table))
            return
        self._put(self._table(self.pa.repeat(label, table.rows), table))

    def close(self) -> None:
        if self.summaries:
            first = self.summaries[0][1]
            arrays = tuple(
                np.concatenate([t.arrays[i] for _, t in self.summaries])
                for i in range(len(first.columns))
            )
            labels = self.pa.array([label for label, _ in self.summaries], type=self.pa.string())
            self._put(self._table(labels, replace(first, arrays=arrays)))
        if self.writer is not None:
            self.writer.close()


# Characters XML 1.0 does not allow in a document: most C0 controls, lone surrogates
# (file names with bytes that are not UTF-8 hold those), U+FFFE and U+FFFF.
_NOT_XML = re.compile("[^\t\n\r\x20-\ud7ff\ue000-\ufffd\U00010000-\U0010ffff]")


def xml_text(text: str) -> str:
    """``text`` with every character XML 1.0 does not allow replaced by U+FFFD, so that
    the document stays well-formed whatever a header or a file name holds."""
    return _NOT_XML.sub("\ufffd", text)


class GraphmlWriter(Writer):
    """GraphML: one ``<graph>`` per series (id: the label, characters XML does not allow
    replaced by U+FFFD), undirected, or directed for directed edges, with the graph facts
    of the table (the unit and origin of time positions, the direction, the weight's
    name) as graph data; nodes with the doubles ``x`` (the position, else the index) and
    ``y`` written by ``repr``; edges with the double ``weight`` when the table has one.
    Node ids are ``n<i>``, or ``s<k>n<i>`` for the k-th of several series (from 1), so
    that they are unique in the document. The keys are declared from the first table,
    so every table written should have the same columns and graph facts (as the tables
    of one run do). Most graph readers read the first graph of a file only: the command
    line writes one series per file."""

    def __init__(self, stream: BinaryIO, several: bool) -> None:
        super().__init__(stream, several)
        self.count = 0

    def _start(self, table: Optional[Table]) -> None:
        keys = [
            '  <key id="x" for="node" attr.name="x" attr.type="double"/>\n',
            '  <key id="y" for="node" attr.name="y" attr.type="double"/>\n',
        ]
        if table is not None:
            if "weight" in table.columns:
                keys.append('  <key id="weight" for="edge" attr.name="weight" attr.type="double"/>\n')
            for name, _ in table.graph:
                keys.append(f'  <key id={quoteattr(name)} for="graph" attr.name={quoteattr(name)}'
                            ' attr.type="string"/>\n')
        self.emit(
            '<?xml version="1.0" encoding="UTF-8"?>\n'
            '<graphml xmlns="http://graphml.graphdrawing.org/xmlns"'
            ' xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"'
            ' xsi:schemaLocation="http://graphml.graphdrawing.org/xmlns'
            ' http://graphml.graphdrawing.org/xmlns/1.0/graphml.xsd">\n' + "".join(keys)
        )

    def write(
        self, label: str, table: Table, values: FloatArray, positions: Optional[FloatArray] = None
    ) -> None:
        if self.count == 0:
            self._start(table)
        self.count += 1
        node = f"s{self.count}n" if self.several else "n"
        default = "directed" if table.directed else "undirected"
        self.emit(f"  <graph id={quoteattr(xml_text(label))} edgedefault=\"{default}\">\n")
        for name, text in table.graph:
            self.emit(f"    <data key={quoteattr(name)}>{escape(xml_text(text))}</data>\n")
        row = f'    <node id="{node}%d"><data key="x">%r</data><data key="y">%r</data></node>\n'
        for start in range(0, values.shape[0], CHUNK):
            ys = values[start : start + CHUNK].tolist()
            index = range(start, start + len(ys))
            xs = map(float, index) if positions is None else positions[start : start + CHUNK].tolist()
            flat = [item for triple in zip(index, xs, ys) for item in triple]
            self.emit((row * len(ys)) % tuple(flat))
        columns = dict(zip(table.columns, table.arrays))
        sources, targets = columns["source"], columns["target"]
        weights = columns.get("weight")
        if weights is None:
            edge = f'    <edge source="{node}%d" target="{node}%d"/>\n'
        else:
            edge = f'    <edge source="{node}%d" target="{node}%d"><data key="weight">%r</data></edge>\n'
        parts = (sources, targets) if weights is None else (sources, targets, weights)
        for start in range(0, table.rows, CHUNK):
            stop = min(start + CHUNK, table.rows)
            # Row-major items of the chunk, as Python ints and floats, without a loop here.
            items = np.empty((stop - start, len(parts)), dtype=object)
            for column, part in enumerate(parts):
                items[:, column] = part[start:stop]
            self.emit((edge * (stop - start)) % tuple(items.ravel().tolist()))
        self.emit("  </graph>\n")

    def close(self) -> None:
        if self.count == 0:
            self._start(None)
        self.emit("</graphml>\n")


def make_writer(fmt: str, stream: BinaryIO, several: bool) -> Writer:
    """The writer of format ``fmt`` (``csv``, ``tsv``, ``json``, ``npy``, ``parquet``,
    ``graphml`` or ``text``).

    Raises:
        MissingExtraError: ``parquet`` without pyarrow installed.
    """
    if fmt == "csv":
        return DelimitedWriter(stream, several, ",")
    if fmt == "tsv":
        return DelimitedWriter(stream, several, "\t")
    if fmt == "json":
        return JsonWriter(stream, several)
    if fmt == "npy":
        return NpyWriter(stream, several)
    if fmt == "parquet":
        return ParquetWriter(stream, several)
    if fmt == "graphml":
        return GraphmlWriter(stream, several)
    if fmt == "text":
        return TextWriter(stream, several)
    raise ValueError(f"unknown format {fmt!r}")


# ---------------------------------------------------------------- output files


def _default_mode() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return 0o666 & ~mask


class OutputError(Exception):
    """An output path that cannot be written; ``str()`` is the whole message."""


# Hops followed before a chain of symbolic links counts as a loop (the kernel's limit).
_MAX_LINKS = 40


def _follow(path: str) -> Tuple[str, bool]:
    """The file a path names after following its symbolic links, and whether the chain
    passes through ``/proc`` (``/dev/stdout``, ``/dev/fd/N``: links to open descriptors,
    which must be written through, never replaced)."""
    current = os.path.abspath(path)
    for _ in range(_MAX_LINKS):
        directory = os.path.realpath(os.path.dirname(current))
        if directory == "/proc" or directory.startswith("/proc/"):
            return current, True
        current = os.path.join(directory, os.path.basename(current))
        try:
            link = os.readlink(current)
        except OSError:  # not a link, or missing: the end of the chain
            return current, False
        current = os.path.join(directory, link)
    raise OutputError(f"{path}: too many levels of symbolic links")


def _descriptor(target: str) -> Optional[int]:
    """The descriptor of this process, open for writing, that ``target`` names: a path
    in its ``/proc`` descriptor folder, where ``/dev/stdout``, ``/dev/stderr`` and
    ``/dev/fd/N`` lead; ``None`` for any other path."""
    folder, name = os.path.split(target)
    if not _INDEX.fullmatch(name):
        return None
    own = rf"/proc/{os.getpid()}(?:/task/[0-9]+)?/fd"
    if not re.fullmatch(own, os.path.realpath(folder)):
        return None
    try:
        import fcntl

        mode = fcntl.fcntl(int(name), fcntl.F_GETFL) & os.O_ACCMODE
    except (ImportError, OSError):  # not open: opening the path says what is wrong
        return None
    return int(name) if mode in (os.O_WRONLY, os.O_RDWR) else None


class OutputFile:
    """An output file that a failed run leaves as it was.

    A regular file (new or existing) is written under a hidden temporary name in the
    directory of its target and moved into place by :meth:`commit`, so a failed or
    interrupted run leaves neither a partial file nor the temporary. A symbolic link is
    followed: its target is what gets replaced, and the link stays. An existing file
    keeps its permission bits, and its owner and group where the process may set them;
    being a new file, it no longer shares its data with other hard links to the old one.
    A path that is not a regular file (a FIFO, a device such as ``/dev/null``) is opened
    and written directly. A path to an open descriptor of the process (``/dev/stdout``,
    ``/dev/stderr``, ``/dev/fd/N``) is written through a duplicate of that descriptor,
    as the shell's ``> /dev/stdout`` would write, and where the file behind it cannot be
    opened again (a socket, a pipe of another user): at its offset, appending if it
    appends, and leaving the process's own descriptor open.

    Args:
        path: The final path.

    Raises:
        OutputError: The path is a directory, its directory does not exist or cannot
            hold the temporary file, or it cannot be opened; the message names the path.
    """

    def __init__(self, path: str) -> None:
        self.path = path
        #: The hidden file written until :meth:`commit`; ``None`` when writing directly.
        self.temporary: Optional[str] = None
        target, through_descriptor = _follow(path)
        descriptor = _descriptor(target) if through_descriptor else None
        if descriptor is not None:
            try:
                self.stream: BinaryIO = os.fdopen(os.dup(descriptor), "wb")
            except OSError as error:
                raise OutputError(f"{path}: {os_reason(error)}") from None
            return
        try:
            status: Optional[os.stat_result] = os.stat(target)
        except FileNotFoundError:
            status = None
        except OSError as error:
            raise OutputError(f"{path}: {os_reason(error)}") from None
        if status is not None and stat.S_ISDIR(status.st_mode):
            raise OutputError(f"{path}: is a directory")
        if through_descriptor or (status is not None and not stat.S_ISREG(status.st_mode)):
            try:
                self.stream = open(path, "wb")
            except OSError as error:
                raise OutputError(f"{path}: {os_reason(error)}") from None
            return
        if status is not None and not os.access(target, os.W_OK):
            # Shell redirection would fail here too: a read-only file is not replaced.
            raise OutputError(f"{path}: permission denied")
        directory, name = os.path.split(target)
        # Messages name the directory as given, unless links led elsewhere.
        shown = directory
        if target == os.path.abspath(path):
            shown = os.path.dirname(path) or os.curdir
        if status is None and not os.path.isdir(directory):
            what = "is not a directory" if os.path.exists(directory) else "does not exist"
            raise OutputError(f"{path}: directory {shown} {what}")
        try:
            # Keep the suffix last, so that writers choosing a format by suffix still can.
            fd, temporary = tempfile.mkstemp(
                dir=directory, prefix=f".{name}.", suffix=".tmp" + os.path.splitext(name)[1]
            )
        except OSError as error:
            raise OutputError(
                f"{path}: cannot create a temporary file in directory {shown}: "
                f"{os_reason(error)}"
            ) from None
        self.temporary = temporary
        self._target = target
        self._status = status
        self.stream = os.fdopen(fd, "wb")

    def commit(self) -> None:
        """Close the file and, when it was written under a temporary name, give it the
        mode (and owner) of the file it replaces and move it to its final path."""
        self.stream.close()
        if self.temporary is None:
            return
        status = self._status
        if status is None:
            os.chmod(self.temporary, _default_mode())
        else:
            if hasattr(os, "chown"):
                try:
                    # Owner first: changing it may clear set-id bits that chmod restores.
                    os.chown(self.temporary, status.st_uid, status.st_gid)
                except PermissionError:
                    pass
            os.chmod(self.temporary, stat.S_IMODE(status.st_mode))
        os.replace(self.temporary, self._target)
        self.temporary = None

    def discard(self) -> None:
        """Close and remove the temporary file (nothing if already committed or written
        directly)."""
        self.stream.close()
        if self.temporary is None:
            return
        try:
            os.unlink(self.temporary)
        except FileNotFoundError:
            pass
        self.temporary = None
