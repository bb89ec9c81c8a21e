"""Reading real files: delimiters, decimal commas and encodings, formats that are not
text, the bulk parser against the precise one, and progress on a terminal."""

import gzip
import bz2
import lzma
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

import kestrel_grid as kg
from kestrel_grid_tools import _io
from kestrel_grid_tools._io import Dialect, decimal_places, parse_columns, read_series

SCRIPT = Path(sys.executable).parent / ("kestrel-grid.exe" if os.name == "nt" else "kestrel-grid")
GERMAN = b"Jahr;Wert\n1700;5,5\n1701;11,0\n1702;16,25\n1703;23\n"
WERT = [5.5, 11.0, 16.25, 23.0]


def run(cwd, *args, stdin=b""):
    return subprocess.run([str(SCRIPT), *map(str, args)], cwd=cwd, input=stdin, capture_output=True)


def failure(result):
    assert (result.returncode, result.stdout) == (1, b"")
    return result.stderr.decode()


def degrees_csv(values, **rule):
    degrees = np.asarray(kg.graph_degrees(values, **rule)).tolist()
    return "index,degree\n" + "".join(f"{i},{d}\n" for i, d in enumerate(degrees))


@pytest.mark.parametrize("name", ["w.csv", "w.tsv", "w.txt", "w"])
def test_decimal_commas_are_refused_with_advice_and_read_with_the_option(tmp_path, name):
    (tmp_path / name).write_bytes(GERMAN)
    assert failure(run(tmp_path, name)) == (
        f"kestrel-grid: error: {name}:2:Wert: could not read '5,5' as a number; "
        "for decimal commas use --decimal ,\n")
    for options in (["--decimal", ","], ["--decimal", ",", "--delimiter", "semicolon"],
                    ["--decimal", ",", "--delimiter", ";"]):
        result = run(tmp_path, name, *options, "-c", "Wert", "--output", "degrees")
        assert (result.returncode, result.stderr) == (0, b"")
        assert result.stdout.decode() == degrees_csv(WERT, decimals=2)
    [wert] = read_series([str(tmp_path / name)], ["Wert"], dialect=Dialect(decimal=","))
    assert wert.values.tolist() == WERT
    assert (wert.places, wert.recorded_decimals()) == (2, 2)


DIALECTS = [
    # (file name, content, options, expected columns)
    ("t.txt", "a\tb\n1\t2.5\n3\t4\n", ["--delimiter", "tab"], {"a": [1, 3], "b": [2.5, 4]}),
    ("t.csv", "a|b\n1|-2\n3|4\n", ["--delimiter", "|"], {"a": [1, 3], "b": [-2, 4]}),
    ("t.csv", "a  b\n1   2\n3 4\n", ["--delimiter", "whitespace"], {"a": [1, 3], "b": [2, 4]}),
    ("t.txt", "a,b\n1,2\n3,4\n", ["--delimiter", "comma"], {"a": [1, 3], "b": [2, 4]}),
    ("t.tsv", "x;y\n1,5;2\n-3;,25\n", ["--decimal", ","], {"x": [1.5, -3], "y": [2, 0.25]}),
    ("t.txt", "1,5\n2,25\n\n3\n", ["--decimal", ","], {"0": [1.5, 2.25, float("nan"), 3]}),
]


@pytest.mark.parametrize("name,content,options,expected", DIALECTS)
def test_given_dialects_read_every_column(tmp_path, name, content, options, expected):
    (tmp_path / name).write_text(content)
    result = run(tmp_path, name, *options, "--output", "edges", "--missing", "keep")
    assert result.returncode == 0, result.stderr
    delimiter = next((_io.delimiter_of(options[i + 1]) for i, o in enumerate(options)
                      if o == "--delimiter"), None)
    found = read_series([str(tmp_path / name)], [],
                        dialect=Dialect(delimiter, "," if "," in options else "."))
    assert [s.label.split(":")[1] for s in found] == list(expected)
    for item, values in zip(found, expected.values()):
        assert item.values.tobytes() == np.array(values, dtype=float).tobytes()


MESSAGES = [
    ("one.txt", b"1,5\n2,5\n", [],
     "one.txt:1: '1,5' may be one number with a decimal comma or two numbers: "
     "give --decimal , for one column, or --delimiter , for two"),
    ("p.csv", b"a;b\n1.5;2\n", ["--decimal", ","],
     "p.csv:2:a: could not read '1.5' as a number; for decimal points leave out --decimal ,"),
    ("s.csv", b"a,b\n1;2,3\n", ["-c", "a"],
     "s.csv:2:a: could not read '1;2' as a number; for cells separated by ';' use --delimiter ';'"),
    ("l.csv", "Zeit;Wärme\n1;2\n".encode("latin-1"), [],
     "l.csv:1: not UTF-8 text; use --encoding latin-1"),
    ("e.txt", "# Preis in €\n1\n2\n".encode("cp1252"), [],
     "e.txt:1: not UTF-8 text; use --encoding cp1252"),
    ("u.txt", "1\n2\n".encode("utf-16"), [], "u.txt: UTF-16 text is not read as UTF-8; use --encoding utf-16"),
    ("k.txt", "1\n2\n\xe9\n".encode("latin-1"), ["--encoding", "ascii"], "k.txt:3: not ascii text"),
]


@pytest.mark.parametrize("name,content,options,message", MESSAGES)
def test_misread_dialects_say_which_option_to_give(tmp_path, name, content, options, message):
    (tmp_path / name).write_bytes(content)
    assert failure(run(tmp_path, name, *options)) == f"kestrel-grid: error: {message}\n"


@pytest.mark.parametrize("encoding", ["latin-1", "cp1252", "utf-16"])
def test_given_encoding_reads_the_header(tmp_path, encoding):
    (tmp_path / "h.csv").write_bytes("Zeit,Wärme\n1,2.5\n2,3\n".encode(encoding))
    result = run(tmp_path, "h.csv", "--encoding", encoding, "-c", "Wärme", "--format", "csv")
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode().splitlines()[1].startswith("natural,recorded,2,")


def zipped(entries):
    def make(path):
        with zipfile.ZipFile(path, "w") as archive:
            for name, data in entries:
                archive.writestr(name, data)
        return path.read_bytes()
    return make


SAVE = "save as CSV (or one value per line) and read that"
BINARY = [
    (zipped([("[Content_Types].xml", "x"), ("xl/workbook.xml", "x")]), f"Excel files (.xlsx) are not read; {SAVE}"),
    (zipped([("mimetype", "application/vnd.oasis.opendocument.spreadsheet")]),
     f"OpenDocument spreadsheets (.ods) are not read; {SAVE}"),
    (zipped([("a.npy", "x")]), ".npz archives are not read; save each series with numpy.save (.npy)"),
    (zipped([("data.csv", "1\n2\n")]), "zip archives are not read; extract the file first"),
    (b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504), f"Excel files (.xls) are not read; {SAVE}"),
    (b"PAR1\x15\x04", "Parquet files are not read; save as CSV or .npy"),
    (gzip.compress(b"1\n2\n", mtime=0), "gzip-compressed files are not read; decompress it first (gunzip)"),
    (bz2.compress(b"1\n2\n"), "bzip2-compressed files are not read; decompress it first (bunzip2)"),
    (lzma.compress(b"1\n2\n"), "xz-compressed files are not read; decompress it first (unxz)"),
    (b"%PDF-1.7\n", "PDF documents are not read; export the table as CSV"),
    (b"\x89PNG\r\n\x1a\n\x00", "PNG images are not read; give the data as text or .npy"),
    (b"1\n2\x00\x00\n", "holds binary data (NUL bytes), not text"),
]


@pytest.mark.parametrize("name", ["data.csv", "data.txt", "data"])
@pytest.mark.parametrize("content,message", BINARY)
def test_formats_that_are_not_text_are_refused_by_content(tmp_path, name, content, message):
    path = tmp_path / name
    data = content(tmp_path / "made") if callable(content) else content
    path.write_bytes(data)
    assert failure(run(tmp_path, name)) == f"kestrel-grid: error: {name}: {message}\n"
    assert failure(run(tmp_path, "-", stdin=data)) == f"kestrel-grid: error: <stdin>: {message}\n"


def test_npy_content_is_read_under_any_name(tmp_path):
    np.save(tmp_path / "v.npy", np.array([3.0, 1.0, 2.0]))
    (tmp_path / "v.dat").write_bytes((tmp_path / "v.npy").read_bytes())
    result = run(tmp_path, "v.dat", "--output", "degrees")
    assert result.stdout.decode() == degrees_csv([3.0, 1.0, 2.0])


def random_cells(rng, count):
    special = ["NA", "nan", "", "null", "N/A", " 3.5 ", "+.5", "-0", "5.", "-0.0", "1e5", "2.5E-3",
               "inf", "+7", "-.25", "00012.50", "9007199254740993", "1_000.5", "0.30000000000000004",
               "123456789012345678901234.5", "1" * 19]
    cells = []
    for kind in rng.integers(0, 5, count):
        if kind == 0:
            cells.append(repr(float(rng.normal() * 10.0 ** rng.integers(-8, 12))))
        elif kind == 1:
            cells.append("%.*f" % (int(rng.integers(0, 16)), rng.normal() * 10.0 ** rng.integers(-3, 10)))
        elif kind == 2:
            cells.append(str(int(rng.integers(-10**17, 10**17))))
        elif kind == 3:
            cells.append(special[int(rng.integers(len(special)))])
        else:
            cells.append("%.*f" % (int(rng.integers(0, 6)), rng.normal() * 100))
    return cells


@pytest.mark.parametrize("piece", [64, 1 << 18])
@pytest.mark.parametrize("decimal", [".", ","])
@pytest.mark.parametrize("width", [1, 3])
def test_bulk_reading_matches_the_precise_parser_bit_for_bit(tmp_path, monkeypatch, piece, decimal, width):
    # Small pieces put piece boundaries everywhere: inside cells, rows and the header.
    monkeypatch.setattr(_io, "READ_BYTES", piece)
    rng = np.random.default_rng(width * 7 + len(decimal) + piece)
    cells = random_cells(rng, 3000 * width)
    if decimal == ",":
        cells = [c.replace(".", ",") for c in cells]
    delimiter = ";" if width > 1 else ""
    rows = [delimiter.join(cells[i : i + width]) for i in range(0, len(cells), width)]
    if width > 1:  # a blank line is no row of a wider file; it is a missing sample in one column
        rows = [row if row.strip() else delimiter * (width - 1) for row in rows]
    header = delimiter.join(f"c{k}" for k in range(width))
    text = header + "\r\n" + "\r\n".join(rows) + "\r\n\r\n"
    (tmp_path / "m.txt").write_text(text)
    found = read_series([str(tmp_path / "m.txt")], [], dialect=Dialect(decimal=decimal))
    precise, _ = parse_columns("m.txt", text.replace("\r\n", "\n"), "sniff", [], None, decimal)
    assert [s.label.split(":")[-1] for s in found] == [name for name, _, _ in precise]
    for item, (_, values, places) in zip(found, precise):
        assert item.values.tobytes() == values.tobytes()
        assert item.places == places
    column = [c.replace(",", ".") for c in cells[0::width]]
    assert found[0].places == decimal_places(column)


def test_bulk_reading_keeps_the_exact_place_of_a_bad_cell(tmp_path):
    lines = [f"{k % 997 / 8}" for k in range(200_000)]
    lines[150_000] = "12..5"
    (tmp_path / "big.txt").write_text("# long\nvalue\n" + "\n".join(lines) + "\n")
    assert failure(run(tmp_path, "big.txt")) == (
        "kestrel-grid: error: big.txt:150003:value: could not read '12..5' as a number\n")
    lines[150_000] = ""
    lines[7] = "NA"
    (tmp_path / "big.txt").write_text("value\n" + "\n".join(lines) + "\n\n")
    [item] = read_series([str(tmp_path / "big.txt")], [])
    expected = [float("nan") if c in ("", "NA") else float(c) for c in lines]
    assert item.values.tobytes() == np.array(expected).tobytes()
    assert item.places == 3


USAGE = [
    (["--delimiter", "ab"], "argument --delimiter: expected one character other than a letter, "
     "digit, quote, '#', '.', '-' or '+', or one of colon, comma, pipe, semicolon, space, tab, "
     "whitespace; got 'ab'"),
    (["--encoding", "nope"], "argument --encoding: unknown encoding 'nope'"),
    (["--decimal", ",", "--delimiter", "comma"], "--decimal , needs another delimiter than ','"),
]


@pytest.mark.parametrize("args,message", USAGE)
def test_reading_usage_errors_exit_2(tmp_path, args, message):
    (tmp_path / "s.txt").write_text("1\n2\n")
    result = run(tmp_path, "s.txt", *args)
    assert result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == f"kestrel-grid: error: {message}"


@pytest.mark.skipif(os.name == "nt", reason="needs a pseudo-terminal")
@pytest.mark.parametrize("count", [1, 2])
def test_progress_shows_reading_building_and_writing_on_a_terminal(tmp_path, count):
    import pty

    (tmp_path / "s.txt").write_text("\n".join(map(str, range(50_000))) + "\n")
    # Without the one-second wait the steps of a short run show as a long one's would.
    code = ("import sys, kestrel_grid_tools.cli as c; c.PROGRESS_DELAY = 0; "
            "sys.exit(c.main(sys.argv[1:]))")
    main, side = pty.openpty()
    command = [sys.executable, "-c", code, *["s.txt"] * count, "-o", "r.csv"]
    with subprocess.Popen(command, cwd=tmp_path, stderr=side) as child:
        os.close(side)
        shown = b""
        while True:
            try:
                chunk = os.read(main, 65536)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            shown += chunk
        assert child.wait() == 0
    os.close(main)
    lines = [part.strip() for part in shown.decode().split("\r") if part.strip()]
    assert any(line.startswith("reading s.txt ") and line.endswith(" MB") for line in lines)
    assert any(" writing " in f" {line} " for line in lines)
    assert shown.endswith(b"\r")  # the line is erased at the end
    assert (f"{count}/{count}" in shown.decode()) == (count > 1)
    assert run(tmp_path, *["s.txt"] * count, "-o", "r.csv").stderr == b""


# (delimiter in the file, --delimiter or None to find it, file name, decimal mark)
ROW_DIALECTS = [
    ("\t", None, "r.tsv", "."), (",", None, "r.csv", "."), ("\t", "\t", "r.txt", ","),
    (";", ";", "r.txt", ","), ("|", "|", "r.txt", "."), (":", ":", "r.dat", "."),
    (" ", " ", "r.txt", "."),
]
NUMBERS = ["0", "-0", "+.5", "5.", "12.250", "-3.75", "1e5", "2.5E-3", "9007199254740993"]


def _write_raw(path, text):
    with open(path, "w", newline="") as handle:  # line ends kept as written
        handle.write(text)


def random_table(rng, width, delimiter, decimal):
    """Rows of cells (numbers, missing-sample markers, now and then a row of empty
    cells) and the file written without comments, quotes or skipped lines inside, and
    with them: both hold the same samples at the same rows."""
    spaced = delimiter == " "
    missing = ["NA", "nan"] if spaced else ["", "  ", "NA", "nan"]
    rows = []
    for _ in range(int(rng.integers(2, 40))):
        if not spaced and rng.random() < 0.2:
            rows.append([str(rng.choice(["", " "])) for _ in range(width)])
            continue
        rows.append([str(rng.choice(missing)) if rng.random() < 0.15
                     else str(rng.choice(NUMBERS)) if rng.random() < 0.3
                     else "%.*f" % (int(rng.integers(0, 5)), rng.normal() * 100) for _ in range(width)])
    header = rng.random() < 0.5
    # A first row of markers only would be a header, and in one column a blank line at
    # either end is no row.
    rows[0][0] = "1.5" if not header else rows[0][0]
    if width == 1 and not rows[-1][0].strip():
        rows[-1][0] = "NA"
    glue = (lambda: str(rng.choice([" ", "\t", "  "]))) if spaced else (lambda: delimiter)

    def line(cells, quote=False):
        cells = [c.replace(".", decimal) for c in cells]
        if quote:
            cells = [f'"{c}"' if rng.random() < 0.5 else c for c in cells]
        text = cells[0]
        for cell in cells[1:]:
            text += glue() + cell
        return text

    blanks = ["", "  ", "\t", " \t "]
    lead = [str(rng.choice(blanks)) for _ in range(int(rng.integers(0, 3)))]
    if width > 1 and delimiter == "\t":
        blanks = blanks[:2]  # a line of tabs is a row
    tail = [str(rng.choice(blanks)) for _ in range(int(rng.integers(0, 4)))]
    names = [f"c{k}" for k in range(width)] if header else []
    plain = lead + ([line(names)] if header else []) + [line(r) for r in rows] + tail
    marked = list(lead)
    for text in ([names] if header else []) + rows:
        if rng.random() < 0.2:
            marked.append(str(rng.choice(["# note", "  # a, b\t c"])))
        if width > 1 and rng.random() < 0.2:
            marked.append(str(rng.choice(["", "   "])))  # blank: no row
        marked.append(line(text, quote=not spaced))
    marked += tail + ["# note"]
    ending = str(rng.choice(["\n", "\r\n"]))
    cells = [[c if c.strip().lower() not in ("", "na", "nan") else "" for c in r] for r in rows]
    return header, cells, ending.join(plain) + ending, ending.join(marked) + ending


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("width", [1, 2, 3])
@pytest.mark.parametrize("delimiter,given,name,decimal", ROW_DIALECTS)
def test_both_readers_keep_every_row_of_any_file(tmp_path, monkeypatch, seed, width, delimiter, given,
                                                 name, decimal):
    """A row of empty cells is a row of missing samples and a blank line is no row, to
    the bulk reader (the module's) in pieces of any size as to the precise parser (which
    reads what the module's reader refuses), whatever comments and quoted cells send the file to the latter."""
    rng = np.random.default_rng([seed, width, ord(delimiter)])
    header, cells, plain, marked = random_table(rng, width, delimiter, decimal)
    expected = [np.array([float(c) if c.strip() else np.nan for c in column])
                for column in zip(*cells)]
    labels = [f"c{k}" if header else str(k) for k in range(width)]
    places = [decimal_places([c.strip() for c in column]) for column in zip(*cells)]
    dialect = Dialect(given, decimal)

    def check(found):
        assert [s.label.split(":")[-1] for s in found] == labels
        for item, values, written in zip(found, expected, places):
            assert np.isnan(item.values).tolist() == np.isnan(values).tolist()
            assert item.values.tobytes() == values.tobytes()
            assert item.places == written

    for text in (plain, marked):
        precise, _ = parse_columns(name, text.replace("\r\n", "\n"), given or "sniff", [], None,
                                   decimal, _io._SUFFIX_DELIMITERS.get(Path(name).suffix))
        check([_io.Record(values, label=f"{name}:{label}", places=p) for label, values, p in precise])
        _write_raw(tmp_path / name, text)
        check(read_series([str(tmp_path / name)], [], dialect=dialect))

    if width > 1 and delimiter == " ":
        return  # runs of whitespace are read by the precise parser only
    bulk = _io._bulk_columns
    answers = []
    monkeypatch.setattr(_io, "_bulk_columns", lambda *a: answers.append(bulk(*a)) or answers[-1])
    _write_raw(tmp_path / name, plain)
    first_row = plain.index(next(t for t in plain.split("\n") if t.strip())) + 1
    for native in (True, False):
        if not native:
            monkeypatch.setattr(kg, "_read_columns", lambda *a: None)
        for pieces in (1, 2, 3):
            monkeypatch.setattr(_io, "READ_BYTES", max(-(-len(plain) // pieces), first_row + 8))
            check(read_series([str(tmp_path / name)], [], dialect=dialect))
            assert (answers[-1] is not None) == native  # read in bulk unless refused


def test_a_comment_does_not_change_the_rows_of_a_tab_separated_file(tmp_path):
    table = "a\tb\n3\t1\n\t\n1\t1\n0\t1\n2.9\t1\n"
    (tmp_path / "t1.tsv").write_text(table)
    (tmp_path / "t2.tsv").write_text(table + "# note\n")
    for name in ("t1.tsv", "t2.tsv"):  # the empty row keeps its place: the later samples' positions
        result = run(tmp_path, name, "--column", "a", "--output", "degrees")
        assert result.stdout == b"index,degree\n0,2\n2,3\n3,2\n4,3\n", result.stderr


@pytest.mark.parametrize("chunk", [1, 5, 64])
def test_line_pieces_give_every_whole_line_once_whatever_the_chunks(chunk):
    rng = np.random.default_rng(chunk)
    parts = []
    for _ in range(60):
        kind = rng.integers(4)
        if kind == 0:  # a long line, over many chunks
            parts.append(b"7" * int(rng.integers(100, 3000)) + b"\n")
        elif kind == 1:  # a run of blank lines
            parts.append(b"".join(rng.choice([b"\n", b" \n", b"\t\r\n", b"  "]) for _ in range(rng.integers(50, 500))))
        else:
            parts.append(b"1.5;2\n")
    for text in (b"".join(parts), b"".join(parts) + b"3;4  ", b"".join(parts) + b"\n \n\t"):
        chunks = [text[i : i + chunk] for i in range(0, len(text), chunk)]
        given = iter(chunks[1:])
        calls = []
        pieces = list(_io._line_pieces(chunks[0], lambda: calls.append(1) or next(given, b""), _io._BLANK))
        whole = b"".join(pieces)
        assert all(piece.endswith(b"\n") for piece in pieces) and len(calls) == len(chunks)
        assert whole.rstrip(_io._BLANK) == text.rstrip(_io._BLANK)
        assert text.startswith(whole[:-1])  # only the last line may have got its break


LONG_RUNS = [
    # (what the file holds, the column read) -- read in bulk in pieces of 64 bytes
    (b" \n" * 3000 + b"v\n1\n2\n", [1.0, 2.0]),  # blank lines past the first piece
    (b"a;b\n1;2\n" + b"\n \r\n" * 3000 + b";\n3;4\n" + b"\n" * 3000, [1.0, float("nan"), 3.0]),
    (b"1\n" + b"\n" * 3000 + b"2\n", [1.0] + [float("nan")] * 3000 + [2.0]),
    (b"1\n" + b"2" * 5000 + b"\n3\n", [1.0, float("2" * 5000), 3.0]),
]


@pytest.mark.parametrize("content,expected", LONG_RUNS)
def test_long_lines_and_runs_of_blank_lines_are_read_in_bulk(tmp_path, monkeypatch, content, expected):
    monkeypatch.setattr(_io, "READ_BYTES", 64)
    bulk = _io._bulk_columns
    answers = []
    monkeypatch.setattr(_io, "_bulk_columns", lambda *a: answers.append(bulk(*a)) or answers[-1])
    (tmp_path / "r.txt").write_bytes(content)
    found = read_series([str(tmp_path / "r.txt")], [])
    assert answers[0] is not None  # not handed to the precise parser
    assert found[0].values.tobytes() == np.array(expected).tobytes()
    precise, _ = parse_columns("r.txt", content.decode().replace("\r\n", "\n"), "sniff", [])
    assert precise[0][1].tobytes() == found[0].values.tobytes()


@pytest.mark.parametrize("piece", [64, 1 << 18])
def test_an_input_of_blank_lines_only_has_no_data_rows(tmp_path, monkeypatch, piece):
    monkeypatch.setattr(_io, "READ_BYTES", piece)
    (tmp_path / "b.txt").write_bytes(b"\xef\xbb\xbf" + b" \n\t\r\n" * 5000)
    with pytest.raises(_io.InputError, match=r"^.*b\.txt: no data rows$"):
        read_series([str(tmp_path / "b.txt")], [])
