"""The module's reader of decimal text: the doubles float() gives, bit for bit, the places
decimal_places counts, and "not sure" (None) for anything outside its grammar."""

from __future__ import annotations

import struct

import numpy as np
import pytest

import kestrel_grid
from kestrel_grid_tools._io import decimal_places

MISSING = ["", "  ", "NA", "na", "N/A", "n/a", "NaN", "nan", "NAN", "null", "NULL", "Null"]


def random_cell(rng: np.random.Generator) -> str:
    """A plain decimal: sign, leading zeros, up to 22 integer and 25 fraction digits
    (so past 17 significant digits and past the exact powers of ten), trailing zeros,
    blanks around it now and then; or a missing-sample marker."""
    if rng.random() < 0.08:
        return MISSING[int(rng.integers(len(MISSING)))]
    digits = "".join(map(str, rng.integers(0, 10, size=int(rng.integers(0, 23)))))
    digits = "0" * int(rng.integers(0, 3)) * (rng.random() < 0.2) + digits
    fraction = "".join(map(str, rng.integers(0, 10, size=int(rng.integers(0, 26)))))
    fraction += "0" * int(rng.integers(0, 4)) * (rng.random() < 0.2)
    if not digits and not fraction:
        digits = "0"
    cell = (digits or fraction) if rng.random() < 0.15 else f"{digits}.{fraction}"
    cell = str(rng.choice(["", "", "-", "+"])) + cell
    if rng.random() < 0.05:
        cell = str(rng.choice([" ", "\t"])) + cell + str(rng.choice(["", " "]))
    return cell


def bits(values) -> bytes:
    return struct.pack(f"<{len(values)}d", *values)


def expected(cells):
    return [float("nan") if c.strip().casefold() in {"", "na", "n/a", "nan", "null"} else float(c)
            for c in cells]


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("decimal", [".", ","])
@pytest.mark.parametrize("width,delimiter", [(1, "\n"), (3, ";"), (2, "\t")])
def test_cells_read_as_float_reads_them(seed, decimal, width, delimiter):
    rng = np.random.default_rng(seed * 31 + width)
    rows = int(rng.integers(1, 700))
    cells = [random_cell(rng) for _ in range(rows * width)]
    if delimiter == "\t":
        cells = [c.replace("\t", " ") for c in cells]
    written = [c.replace(".", decimal) for c in cells]
    lines = [delimiter.join(written[i : i + width]) for i in range(0, len(written), width)]
    ending = str(rng.choice(["\n", "\r\n"]))
    data = (ending.join(lines) + ending * bool(rng.integers(2))).encode()
    columns = [int(c) for c in rng.permutation(width)[: int(rng.integers(1, width + 1))]]
    read = kestrel_grid._read_columns(data, width, delimiter, decimal, columns)
    assert read is not None
    arrays, places = read
    assert len(arrays) == len(places) == len(columns)
    for array, count, column in zip(arrays, places, columns):
        mine = cells[column::width]
        assert np.asarray(array).dtype == np.float64
        assert np.asarray(array).tobytes() == bits(expected(mine))
        assert count == decimal_places(mine)


@pytest.mark.parametrize("text", [
    "-0", "+0.000", "0.1", "9007199254740993", "9007199254740992.5", "123456789012345678901234567890",
    "0.30000000000000004441", "1." + "0" * 30 + "1", "0." + "0" * 323 + "49406564584124654",
    "0." + "0" * 307 + "22250738585072011", "179769313486231570" + "0" * 291 + ".0", ".5", "-5.", "00012.5000",
])
def test_hard_cells_are_correctly_rounded(text):
    for decimal in ".,":
        arrays, places = kestrel_grid._read_columns(
            (text.replace(".", decimal) + "\n").encode(), 1, "\n", decimal, [0])
        assert np.asarray(arrays[0]).tobytes() == bits([float(text)])
        assert places == (decimal_places([text]),)


@pytest.mark.parametrize("data,width,decimal", [
    (b"1e\n", 1, "."), (b"1e+\n", 1, "."), (b"e5\n", 1, "."), (b"1_\n", 1, "."), (b"_1\n", 1, "."),
    (b"1__0\n", 1, "."), (b"1_.5\n", 1, "."), (b"1._5\n", 1, "."), (b"1e_5\n", 1, "."),
    (b"infinit\n", 1, "."), (b"inf_\n", 1, "."), (b"--inf\n", 1, "."), (b"1.5e3.2\n", 1, "."),
    (b"1e5e5\n", 1, "."), (b"0x10\n", 1, "."), (b"1 2\n", 1, "."), (b"1,5e3\n", 1, "."),
    (b'"1"\n', 1, "."), (b"# note\n1\n", 1, "."),
    (b"1.2.3\n", 1, "."), (b"-\n", 1, "."), (b".\n", 1, "."), (b"+-1\n", 1, "."),
    (b"1.5\n", 1, ","), (b"1,5\n", 1, "."), (b"\xc2\xa01\n", 1, "."), (b"1\r2\n", 1, "."),
    (b"1\x0b\n", 1, "."),
    (b"1;2;3\n", 2, "."), (b"1\n", 2, "."), (b"1;2\n \r3;4\n", 2, "."), (b"1;2\n3;a\n", 2, "."),
    (b"1;2;\n", 2, "."), (b"1,5;2.5\n", 2, ","), (b"1,2\n", 2, ","),
])
def test_anything_else_is_not_sure(data, width, decimal):
    delimiter = ";" if b";" in data else ","
    assert kestrel_grid._read_columns(data, width, delimiter, decimal, [0]) is None


def test_one_column_blank_lines_are_missing_and_unused_columns_still_checked():
    arrays, places = kestrel_grid._read_columns(b"1.25\n\n \n-3\n", 1, "\n", ".", [0])
    assert np.asarray(arrays[0]).tobytes() == bits([1.25, float("nan"), float("nan"), -3.0])
    assert places == (2,)
    arrays, places = kestrel_grid._read_columns(b"1;2.5\n3;4\n", 2, ";", ".", [1])
    assert np.asarray(arrays[0]).tolist() == [2.5, 4.0] and places == (1,)
    assert kestrel_grid._read_columns(b"x;2.5\n", 2, ";", ".", [1]) is None
    arrays, places = kestrel_grid._read_columns(b"1;2.5\n3;4\n", 2, ";", ".", [1, 0, 1])
    assert [np.asarray(a).tolist() for a in arrays] == [[2.5, 4.0], [1.0, 3.0], [2.5, 4.0]]
    assert places == (1, 0, 1)
    arrays, places = kestrel_grid._read_columns(b"", 1, "\n", ".", [0])
    assert len(arrays[0]) == 0 and places == (0,)


@pytest.mark.parametrize("delimiter", [";", "\t"])
def test_wider_files_skip_blank_lines_and_keep_rows_of_empty_cells(delimiter):
    # A blank line (spaces and tabs, no delimiter) is no row, to the module's reader and
    # to the precise parser; a line holding the delimiter is a row of missing samples.
    from kestrel_grid_tools._io import parse_columns

    d = delimiter
    blank = " " if d == "\t" else " \t"
    data = f"1{d}2\n\n{blank}\r\n{d}\n {d} \n{blank}\n3{d}4\n".encode()
    nan = float("nan")
    arrays, _ = kestrel_grid._read_columns(data, 2, d, ".", [0, 1])
    assert [np.asarray(a).tobytes() for a in arrays] == [bits([1, nan, nan, 3]), bits([2, nan, nan, 4])]
    precise, _ = parse_columns("t", "a" + d + "b\n" + data.decode(), d, [], None, ".")
    assert [p[1].tobytes() for p in precise] == [np.asarray(a).tobytes() for a in arrays]
    assert kestrel_grid._read_columns(f"{blank}\n\n".encode(), 2, d, ".", [1])[0][0].shape == (0,)


@pytest.mark.parametrize("args,kind,message", [
    (("1", 1, "\n", ".", [0]), TypeError, "argument 'data': 'str' object cannot be converted to 'PyBytes'"),
    ((b"1", 0, "\n", ".", [0]), ValueError, "width must be at least 1"),
    ((b"1", 1, ";;", ".", [0]), ValueError, "delimiter must be one ASCII character"),
    ((b"1", 1, "\u00e9", ".", [0]), ValueError, "delimiter must be one ASCII character"),
    ((b"1", 1, "\n", ";", [0]), ValueError, "decimal must be '.' or ','"),
    ((b"1", 1, "\n", 46, [0]), TypeError, "argument 'decimal': 'int' object cannot be converted to 'PyString'"),
    ((b"1", 2, ";", ".", [2]), ValueError, "columns must be below width"),
    ((b"1", 2, ";", ".", None), TypeError, "argument 'columns': 'NoneType' object is not iterable"),
])
def test_bad_arguments(args, kind, message):
    with pytest.raises(kind) as caught:
        kestrel_grid._read_columns(*args)
    assert str(caught.value) == message


def test_private_entry_is_left_out_of_all():
    assert "_read_columns" not in kestrel_grid.__all__
    assert callable(kestrel_grid._read_columns)


SPELLINGS = ["inf", "INF", "Inf", "infinity", "Infinity", "iNfInItY", "-inf", "+Infinity", "-nan", "+NaN"]


def digits(rng: np.random.Generator, count: int) -> str:
    """``count`` digits, now and then split by single underscores as float() allows."""
    text = "".join(map(str, rng.integers(0, 10, size=count)))
    if count > 1 and rng.random() < 0.1:
        cut = int(rng.integers(1, count))
        text = text[:cut] + "_" + text[cut:]
    return text


def wide_cell(rng: np.random.Generator) -> str:
    """Any cell float() reads or the tools take as missing: plain decimals, exponents from
    tiny (subnormals, underflow to zero) to huge (overflow to infinity), exponents past the
    cap of the place count, underscores, infinities and signed NaNs in any spelling."""
    roll = rng.random()
    if roll < 0.4:
        return random_cell(rng)
    if roll < 0.47:
        return SPELLINGS[int(rng.integers(len(SPELLINGS)))]
    whole = digits(rng, int(rng.integers(0, 22)))
    fraction = digits(rng, int(rng.integers(0, 22)))
    if not whole and not fraction:
        whole = "7"
    number = whole if whole and rng.random() < 0.2 else f"{whole}.{fraction}"
    scale = int(rng.choice([rng.integers(-30, 30), rng.integers(-345, -300), rng.integers(290, 330),
                            rng.integers(-10**7, 10**7)]))
    exponent = str(rng.choice(["", "+", "-"])) * (scale >= 0) + str(scale)
    if rng.random() < 0.1 and len(exponent.lstrip("+-")) > 1:
        exponent = exponent[:-1] + "_" + exponent[-1]
    mark = str(rng.choice(["e", "E"]))
    return str(rng.choice(["", "-", "+"])) + number + mark + exponent


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("decimal", [".", ","])
def test_every_cell_float_reads_is_read_as_float_and_counted_as_the_tools_count(seed, decimal):
    rng = np.random.default_rng(1000 + seed)
    cells = [wide_cell(rng) for _ in range(3 * 400)]
    written = [c.replace(".", decimal) for c in cells]
    data = "".join(";".join(written[i : i + 3]) + "\r\n" for i in range(0, len(written), 3)).encode()
    read = kestrel_grid._read_columns(data, 3, ";", decimal, [0, 1, 2])
    assert read is not None
    for column, (array, count) in enumerate(zip(*read)):
        mine = cells[column::3]
        assert np.asarray(array).tobytes() == bits(expected(mine))
        assert count == decimal_places(mine)
        for cell in mine[:60]:  # one cell at a time too: a column's maximum hides much
            [one], (alone,) = kestrel_grid._read_columns(f"{cell.replace('.', decimal)}\n".encode(), 1, "\n", decimal, [0])
            assert (bits(np.asarray(one)), alone) == (bits(expected([cell])), decimal_places([cell]))


@pytest.mark.parametrize("cell,places", [
    ("1.5e-3", 4), ("2.5e1", 0), ("1.25E+1", 1), ("1e-0005", 5), ("1_0.2_5e-1_0", 12), ("1.e-2", 2),
    (".5e-1", 2), ("1e-99999999", 1 << 20), ("1.5e99999999", 0), ("-Infinity", 0), ("+nan", 0),
    ("1" + "0" * 400, 0), ("0." + "0" * 400 + "1", 401), ("4.9e-324", 325), ("2e-400", 400),
])
def test_places_and_values_of_hard_cells(cell, places):
    [array], (count,) = kestrel_grid._read_columns(f" {cell}\t\n".encode(), 1, "\n", ".", [0])
    assert count == places == decimal_places([cell])
    assert np.asarray(array).tobytes() == bits([float(cell)])


@pytest.mark.parametrize("decimal", [".", ","])
@pytest.mark.parametrize("bad", [None, "abc", "1.5.2", "1;2"])
def test_files_read_as_the_precise_parser_reads_them(tmp_path, monkeypatch, decimal, bad):
    # Whole files through the public reader, in many pieces: the module's reader takes every
    # number, and a piece it refuses sends the file to the precise parser, whose values,
    # places or error message are those of the file read by it alone.
    from kestrel_grid_tools import _io

    monkeypatch.setattr(_io, "READ_BYTES", 4096)
    rng = np.random.default_rng(7)
    cells = [wide_cell(rng).strip() or "NA" for _ in range(2 * 3000)]
    rows = [";".join(c.replace(".", decimal) for c in cells[i : i + 2]) for i in range(0, len(cells), 2)]
    if bad is not None:
        rows[2500] = bad.replace(".", decimal) + ";1"
    text = "a;b\n" + "\n".join(rows) + "\n"
    (tmp_path / "v.csv").write_text(text)
    try:
        precise, _ = _io.parse_columns("v.csv", text, "sniff", [], None, decimal, ",")
    except _io.InputError as error:
        with pytest.raises(_io.InputError) as caught:
            _io.read_series([str(tmp_path / "v.csv")], [], dialect=_io.Dialect(decimal=decimal))
        assert str(caught.value) == str(error).replace("v.csv", str(tmp_path / "v.csv"))
        return
    items = _io.read_series([str(tmp_path / "v.csv")], [], dialect=_io.Dialect(decimal=decimal))
    assert [(i.values.tobytes(), i.places) for i in items] == [(p[1].tobytes(), p[2]) for p in precise]
    if bad is None:
        assert items[0].values.tobytes() == bits(expected(cells[0::2]))
