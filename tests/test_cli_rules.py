"""The command-line tool's rules (--rule recorded|float|exact), the reader's count of
decimal places, and the weekly CO2 record under each rule."""

import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kestrel_grid as kg
from kestrel_grid_tools._io import decimal_places, read_series

SCRIPT = Path(sys.executable).parent / "kestrel-grid"
ROOT = Path(__file__).resolve().parent.parent
CO2 = ROOT / "examples" / "data" / "co2.csv"


def run(cwd, *args):
    return subprocess.run([str(SCRIPT), *map(str, args)], cwd=cwd, capture_output=True)


def edges_csv(edges):
    return "source,target\n" + "".join(f"{i},{j}\n" for i, j in np.asarray(edges).reshape(-1, 2))


@pytest.mark.parametrize("cells,places", [
    (["3", "-1", "+7"], 0),
    (["0.5", "1.25", "-3.125"], 3),
    (["1.50", "2"], 2),  # trailing zeros count: the places as written
    (["1.5e-3", "0.1"], 4),
    (["2.5e1", "12E+2", "7"], 0),
    (["12.345e2", "1"], 1),
    (["5.e-2", "3"], 2),
    (["", "NA", "3.14", "nan", "null"], 2),
    (["1_000.2_5"], 2),
    (["0.30000000000000004"], 17),
    (["1e-20"], 20),
    (["1.23456e3", "0.5"], 2),
    ([" 1.5E+03 ", "-2.50e-2", "NA"], 4),
    (["1e-99999999999999999999", "1"], 1 << 20),  # capped: far beyond any limit
    (["\u0661.\u0662\u0663e1"], 1),  # Arabic-Indic digits: 1.23e1
    (["inf", "-Infinity", "2.5"], 1),
])
def test_decimal_places_as_written(cells, places):
    assert decimal_places(cells) == places


def test_series_carry_places_per_column(tmp_path):
    (tmp_path / "w.csv").write_text("a,b,c\n1.5,2,1e-3\n2.25,,4\n")
    np.save(tmp_path / "w.npy", np.array([1.5, 2.25]))
    found = read_series([str(tmp_path / "w.csv"), str(tmp_path / "w.npy")], [])
    assert [s.places for s in found] == [2, 0, 3, None]
    assert [s.recorded_decimals() for s in found] == [2, 0, 3, None]


# (cells, decimals= the recorded rule must use); the first differs between the rules.
RECORDED = {
    "one decimal, on a chord": (["0.1", "0.3", "0.5", "0.2", "0.9", "1.6", "2.3"], 1),
    "several decimals": (["0.1", "0.25", "0.4", "1.125", "0.55", "0.7", "3"], 3),
    "exponent notation": (["1e-1", "3e-1", "0.5", "25e-2", "4.5E-1", "1.3"], 2),
    "integers": (["1", "4", "7", "2", "10", "13", "16"], 0),
}


@pytest.mark.parametrize("case", RECORDED)
def test_recorded_rule_builds_with_the_written_decimals(tmp_path, case):
    cells, decimals = RECORDED[case]
    values = [float(c) for c in cells]
    (tmp_path / "s.txt").write_text("\n".join(cells) + "\n")
    expected = {
        "recorded": kg.graph_edge_array(values, decimals=decimals),
        "float": kg.graph_edge_array(values),
        "exact": kg.graph_edge_array(values, exact=True),
    }
    for flags, rule in [([], "recorded"), (["--rule", "recorded"], "recorded"),
                        (["--rule", "float"], "float"), (["--rule", "exact"], "exact"),
                        (["--exact"], "exact")]:
        result = run(tmp_path, "s.txt", "--output", "edges", *flags)
        assert (result.returncode, result.stderr) == (0, b""), flags
        assert result.stdout.decode() == edges_csv(expected[rule]), flags


def test_recorded_and_float_differ_on_decimals_on_a_chord(tmp_path):
    # 0.3 lies on the chord of 0.1 and 0.5 as written; in binary it lies just below.
    (tmp_path / "s.csv").write_text("v\n0.1\n0.3\n0.5\n")
    out = {rule: run(tmp_path, "s.csv", "--rule", rule, "--output", "edges").stdout.decode()
           for rule in ("recorded", "float", "exact")}
    assert out["recorded"] == edges_csv([(0, 1), (1, 2)])
    assert out["float"] == out["exact"] == edges_csv([(0, 1), (0, 2), (1, 2)])


def test_more_than_15_digits_falls_back_to_exact_with_a_note(tmp_path):
    # Column a needs 16 digits in all (13 before the point, 3 after); b holds inf.
    cells_a = ["1234567890123.5", "0.125", "7.25", "1"]
    cells_b = ["1.5", "inf", "2.5", "3"]
    (tmp_path / "w.csv").write_text("a,b,c\n" + "".join(
        f"{a},{b},{c}\n" for a, b, c in zip(cells_a, cells_b, ["0.1", "0.3", "0.5", "0.4"])))
    result = run(tmp_path, "w.csv", "--format", "json")
    assert result.returncode == 0
    assert result.stderr.decode() == (
        "kestrel-grid: note: w.csv:a needs more than 15 digits; decided with --rule exact\n"
        "kestrel-grid: note: w.csv:b needs more than 15 digits; decided with --rule exact\n"
    )
    summary = json.loads(result.stdout)
    assert {label: s["rule"] for label, s in summary.items()} == {
        "w.csv:a": "exact", "w.csv:b": "exact", "w.csv:c": "recorded"}
    out = run(tmp_path, "w.csv", "-c", "a", "--output", "edges").stdout.decode()
    assert out == edges_csv(kg.graph_edge_array([float(c) for c in cells_a], exact=True))
    # An explicit float or exact rule reads no decimals and prints no note.
    assert run(tmp_path, "w.csv", "--rule", "float").stderr == b""


def test_npy_defaults_to_the_float_rule_and_refuses_recorded(tmp_path):
    values = [0.1, 0.3, 0.5, 0.2]
    np.save(tmp_path / "s.npy", np.array(values))
    result = run(tmp_path, "s.npy", "--output", "edges")
    assert result.stdout.decode() == edges_csv(kg.graph_edge_array(values))
    summary = json.loads(run(tmp_path, "s.npy", "--format", "json").stdout)
    assert summary["rule"] == "float"
    result = run(tmp_path, "s.npy", "--rule", "recorded")
    assert result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == (
        "kestrel-grid: error: --rule recorded decides on the decimals as written in text, "
        "and s.npy holds binary values: use --rule float or --rule exact")


def test_exact_flag_conflicts_with_another_rule(tmp_path):
    (tmp_path / "s.txt").write_text("1\n2\n")
    result = run(tmp_path, "s.txt", "--exact", "--rule", "float")
    assert result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == (
        "kestrel-grid: error: --exact is --rule exact; it cannot go with --rule float")


def co2_rows():
    rows = [line.rstrip("\n").split(",") for line in CO2.read_text().splitlines(True)
            if not line.startswith("#")]
    assert rows[0] == ["date", "co2"]
    return rows[1:]


def test_co2_default_is_the_graph_of_the_recorded_tenths(tmp_path):
    rows = co2_rows()
    kept = [i for i, (_, cell) in enumerate(rows) if cell != ""]
    tenths = [int(rows[i][1].replace(".", "")) for i in kept]  # every cell has one decimal
    assert all(len(rows[i][1].split(".")[1]) == 1 for i in kept)
    # Small integers at integer positions: every rule decides them exactly.
    expected = np.asarray(kg.graph_edge_array(tenths, x=kept))
    assert np.array_equal(expected, np.asarray(kg.graph_edge_array(tenths, x=kept, exact=True)))
    rows_of = np.array(kept)
    result = run(tmp_path, CO2, "--column", "co2", "--output", "edges")
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == edges_csv(rows_of[expected])


def test_co2_summary_under_each_rule(tmp_path):
    counts = {}
    for rule in ("recorded", "float", "exact"):
        summary = json.loads(run(tmp_path, CO2, "--column", "co2", "--format", "json",
                                 "--rule", rule).stdout)
        assert (summary["rule"], summary["samples"], summary["omitted"]) == (rule, 2225, 59)
        counts[rule] = summary["edges"]
    # The binary roundings of the tenths move near-ties both ways.
    assert counts == {"recorded": 17487, "float": 17530, "exact": 17688}
    default = json.loads(run(tmp_path, CO2, "--column", "co2", "--format", "json").stdout)
    assert (default["rule"], default["edges"]) == ("recorded", 17487)


def test_co2_at_its_dates_is_the_graph_at_day_offsets(tmp_path):
    rows = co2_rows()
    kept = [i for i, (_, cell) in enumerate(rows) if cell != ""]
    tenths = [int(rows[i][1].replace(".", "")) for i in kept]
    first = np.datetime64(rows[0][0])
    days = [float((np.datetime64(rows[i][0]) - first).astype(int)) for i in kept]
    expected = np.asarray(kg.graph_edge_array(tenths, x=days))
    result = run(tmp_path, CO2, "--column", "co2", "--x", "date", "--output", "edges")
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == edges_csv(np.array(kept)[expected])
    summary = json.loads(run(tmp_path, CO2, "--column", "co2", "--x", "date", "--format", "json").stdout)
    assert (summary["x_unit"], summary["x_origin"], summary["omitted"]) == ("D", "1958-03-29", 59)
