"""What kestrel-grid writes: formats chosen by suffix, positions and dates in the
degrees, labels in JSON, Parquet, one GraphML graph per file, and directed and weighted
edges checked against the adapters run on the graph object. The installed console
script runs in a subprocess."""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import numpy as np
import pytest

import kestrel_grid as kg
from kestrel_grid_tools import adapters

SCRIPT = Path(sys.executable).parent / ("kestrel-grid.exe" if os.name == "nt" else "kestrel-grid")
GRAPHML = "{http://graphml.graphdrawing.org/xmlns}"
# Irregular positions, a missing sample (row 3) and values whose slopes differ in sign.
TIMES = [0.0, 2.0, 3.0, 7.0, 8.0, 11.0, 15.0, 16.0]
CELLS = ["3", "1", "2.5", "", "4", "0.5", "2", "2"]
TICKS = "t,v\n" + "".join(f"{t!r},{c}\n" for t, c in zip(TIMES, CELLS))


def run(cwd, *args, env=None):
    if not SCRIPT.exists():
        pytest.fail(f"the console script {SCRIPT} is missing: install the package first")
    return subprocess.run([str(SCRIPT), *map(str, args)], cwd=cwd, capture_output=True, env=env)


def ok(result):
    assert (result.returncode, result.stderr.decode()) == (0, "")
    return result.stdout.decode()


def rows_of(text):
    header, *rows = text.splitlines()
    return header, [row.split(",") for row in rows]


@pytest.fixture
def ticks(tmp_path):
    (tmp_path / "p.csv").write_text(TICKS)
    return tmp_path


def reference(kind, with_x):
    """The graph of the samples present, at their positions (the rows without --x), and
    the rows that name its vertices."""
    rows = np.array([k for k, c in enumerate(CELLS) if c != ""])
    values = [float(CELLS[k]) for k in rows]
    x = [TIMES[k] if with_x else float(k) for k in rows]
    return kg.build_graph(values, kind, x=x), rows


@pytest.mark.parametrize("kind", ["natural", "horizontal"])
@pytest.mark.parametrize("direction", [None, *adapters.DIRECTIONS])
@pytest.mark.parametrize("with_x", [False, True])
def test_directed_weighted_edges_match_the_adapters(ticks, kind, direction, with_x):
    graph, rows = reference(kind, with_x)
    order = adapters.directed_edges(graph, direction or "left_to_right")
    flags = ["--kind", kind, "--rule", "float", "-c", "v"] + (["--x", "t"] if with_x else [])
    flags += ["--directed", direction] if direction else []
    for weight in adapters.WEIGHTS:
        header, found = rows_of(ok(run(ticks, "p.csv", "--output", "edges", "--weight", weight, *flags)))
        assert header == "source,target,weight"
        assert [[int(s), int(t)] for s, t, _ in found] == rows[order].tolist()
        expected = adapters.edge_weights(graph, weight, direction or "left_to_right")
        assert [w for _, _, w in found] == list(map(repr, expected.tolist())), weight


@pytest.mark.parametrize("direction", adapters.DIRECTIONS)
def test_directed_degrees_count_the_directed_edges(ticks, direction):
    graph, rows = reference("natural", True)
    order = adapters.directed_edges(graph, direction)
    header, found = rows_of(ok(run(ticks, "p.csv", "--x", "t", "--rule", "float",
                                   "--output", "degrees", "--directed", direction)))
    assert header == "index,t,in_degree,out_degree"
    n = len(rows)
    expected = zip(rows.tolist(), np.array(TIMES)[rows].tolist(),
                   np.bincount(order[:, 1], minlength=n).tolist(),
                   np.bincount(order[:, 0], minlength=n).tolist())
    assert found == [[str(i), repr(t), str(a), str(b)] for i, t, a, b in expected]


def test_summary_names_the_direction_and_weight(ticks):
    out = ok(run(ticks, "p.csv", "--x", "t", "--directed", "top_to_bottom", "--weight", "slope",
                 "--format", "csv"))
    graph, _ = reference("natural", True)
    m = len(graph.edges)
    assert out.splitlines() == [
        "kind,rule,direction,weight,samples,omitted,edges,mean_degree,max_degree",
        f"natural,recorded,top_to_bottom,slope,7,1,{m},{2 * m / 7!r},{int(np.max(np.asarray(graph.degrees_array())))}",
    ]


DATES = {
    # column cells -> degrees' position column as written back
    "dates": (["1958-03-29", "1958-04-05", "1958-04-12", "1958-05-03"],
              ["1958-03-29", "1958-04-05", "1958-04-12", "1958-05-03"], "D"),
    "hours": (["2024-05-01T10:00", "2024-05-01T11:00", "2024-05-01 13:00", "2024-05-02T00:00"],
              ["2024-05-01T10:00:00", "2024-05-01T11:00:00", "2024-05-01T13:00:00",
               "2024-05-02T00:00:00"], "h"),
    "days from 06:00": (["2024-05-01T06:00", "2024-05-02T06:00", "2024-05-04T06:00",
                         "2024-05-05T06:00"],
                        ["2024-05-01T06:00:00", "2024-05-02T06:00:00", "2024-05-04T06:00:00",
                         "2024-05-05T06:00:00"], "h"),
    "milliseconds": (["2024-05-01T12:00:00.250", "2024-05-01T12:00:01", "2024-05-01T12:00:01.5",
                      "2024-05-01T12:00:03"],
                     ["2024-05-01T12:00:00.250", "2024-05-01T12:00:01.000",
                      "2024-05-01T12:00:01.500", "2024-05-01T12:00:03.000"], "ms"),
}


@pytest.mark.parametrize("case", DATES)
def test_degrees_write_time_positions_as_times(tmp_path, case):
    cells, written, unit = DATES[case]
    (tmp_path / "d.csv").write_text("when,v\n" + "".join(f"{c},{v}\n" for c, v in zip(cells, "3142")))
    header, found = rows_of(ok(run(tmp_path, "d.csv", "--x", "when", "--output", "degrees")))
    assert header == "index,when,degree"
    assert [row[1] for row in found] == written
    loaded = json.loads(ok(run(tmp_path, "d.csv", "--x", "when", "--output", "degrees", "--format", "json")))
    assert (loaded["series"], loaded["when"]) == ("d.csv:v", written)
    assert ok(run(tmp_path, "d.csv", "--x", "when", "--output", "degrees", "-o", "d.npy")) == ""
    array = np.load(tmp_path / "d.npy")
    assert array.dtype.names == ("index", "when", "degree")
    assert array["when"].dtype == np.dtype(f"M8[{unit}]")
    assert array["when"].tolist() == np.array(written, dtype=f"M8[{unit}]").tolist()


@pytest.mark.parametrize("x,header", [
    ("0", "index,x,degree"),  # an index names no column
    ("degree", "index,x,degree"),  # a name that would clash
])
def test_position_column_name(tmp_path, x, header):
    (tmp_path / "p.csv").write_text("degree,v\n1,1\n2,3\n4,2\n")
    out = ok(run(tmp_path, "p.csv", "--x", x, "--output", "degrees"))
    assert out == header + "\n0,1.0,1\n1,2.0,2\n2,4.0,1\n"


def test_json_keeps_the_label_of_one_series(ticks):
    summary = json.loads(ok(run(ticks, "p.csv", "-c", "v", "--format", "json")))
    assert list(summary)[:3] == ["series", "kind", "rule"] and summary["series"] == "p.csv:v"
    edges = json.loads(ok(run(ticks, "p.csv", "-c", "v", "--output", "edges", "--format", "json")))
    assert list(edges) == ["series", "source", "target"] and edges["series"] == "p.csv:v"
    several = json.loads(ok(run(ticks, "p.csv", "--format", "json")))
    assert list(several) == ["p.csv:t", "p.csv:v"] and "series" not in several["p.csv:v"]


SUFFIXES = [("e.xlsx", ".xlsx"), ("e.XML", ".xml"), ("edges.dat", ".dat")]


@pytest.mark.parametrize("name,suffix", SUFFIXES)
def test_unknown_suffix_is_a_usage_error_naming_the_formats(ticks, name, suffix):
    result = run(ticks, "p.csv", "--output", "edges", "-o", name)
    assert result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == (
        f"kestrel-grid: error: -o {name}: no output format has the suffix {suffix}; supported "
        "suffixes: .csv, .tsv, .json, .npy, .parquet, .graphml, .txt (or none); or give "
        "--format {csv,tsv,json,npy,parquet,graphml,text}")
    assert sorted(p.name for p in ticks.iterdir()) == ["p.csv"]
    # Named, the format is the user's choice whatever the suffix.
    ok(run(ticks, "p.csv", "-c", "v", "--output", "edges", "-o", name, "--format", "csv"))
    assert (ticks / name).read_text().startswith("source,target\n0,1\n")


@pytest.mark.parametrize("name", ["out.txt", "out"])
def test_txt_or_no_suffix_gets_what_standard_output_gets(ticks, name):
    for output in ("summary", "edges"):
        ok(run(ticks, "p.csv", "-c", "v", "--output", output, "-o", name))
        shown = ok(run(ticks, "p.csv", "-c", "v", "--output", output))
        assert (ticks / name).read_text() == shown


def test_parquet_holds_the_tables_with_typed_columns(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    (tmp_path / "d.csv").write_text("day,a,b\n2024-01-01,3,1\n2024-01-02,1,\n2024-01-05,2,2\n")
    ok(run(tmp_path, "d.csv", "--x", "day", "--output", "degrees", "-o", "d.parquet"))
    table = pq.read_table(tmp_path / "d.parquet")
    assert table.schema.names == ["series", "index", "day", "degree"]
    assert str(table.schema.field("day").type) == "date32[day]"
    assert table.to_pydict()["series"] == ["d.csv:a"] * 3 + ["d.csv:b"] * 2
    assert table.to_pydict()["index"] == [0, 1, 2, 0, 2]
    assert [d.isoformat() for d in table.to_pydict()["day"]] == [
        "2024-01-01", "2024-01-02", "2024-01-05", "2024-01-01", "2024-01-05"]
    ok(run(tmp_path, "d.csv", "-c", "a", "--output", "edges", "--weight", "distance", "-o", "e.parquet"))
    edges = pq.read_table(tmp_path / "e.parquet").to_pydict()
    assert edges == {"source": [0, 0, 1], "target": [1, 2, 2],
                     "weight": [np.hypot(1, 2), np.hypot(2, 1), np.hypot(1, 1)]}
    ok(run(tmp_path, "d.csv", "--x", "day", "-o", "s.parquet"))
    summary = pq.read_table(tmp_path / "s.parquet").to_pydict()
    assert (summary["series"], summary["samples"], summary["x_unit"]) == (
        ["d.csv:a", "d.csv:b"], [3, 2], ["D", "D"])


def test_parquet_without_pyarrow_names_the_extra(tmp_path):
    # A pyarrow package that fails to import stands for one that is not installed.
    (tmp_path / "fake" / "pyarrow").mkdir(parents=True)
    (tmp_path / "fake" / "pyarrow" / "__init__.py").write_text("raise ImportError('no pyarrow')\n")
    (tmp_path / "s.txt").write_text("1\n3\n2\n")
    env = {**os.environ, "PYTHONPATH": str(tmp_path / "fake")}
    result = run(tmp_path, "s.txt", "-o", "s.parquet", env=env)
    assert (result.returncode, result.stderr.decode()) == (1, (
        "kestrel-grid: error: --format parquet needs pyarrow, which is not installed; "
        "install it with: python -m pip install pyarrow (or, in a checkout of "
        "kestrel-grid, its parquet extra: python -m pip install '.[parquet]')\n"))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fake", "s.txt"]


def test_several_series_give_one_graphml_file_each(tmp_path):
    nx = pytest.importorskip("networkx")
    (tmp_path / "d.csv").write_text("day,a,b\n2024-01-01,3,1\n2024-01-03,1,4\n2024-01-04,2,2\n")
    ok(run(tmp_path, "d.csv", "--x", "day", "--output", "edges", "--directed", "top_to_bottom",
           "--weight", "h_distance", "-o", "g.graphml"))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.csv", "g-1.graphml", "g-2.graphml"]
    for number, values in ((1, [3, 1, 2]), (2, [1, 4, 2])):
        read = nx.read_graphml(tmp_path / f"g-{number}.graphml")
        assert read.is_directed()
        assert read.graph == {"node_default": {}, "edge_default": {}, "x_unit": "D",
                              "x_origin": "2024-01-01", "direction": "top_to_bottom",
                              "edge_weight": "h_distance"}
        graph = kg.build_graph(values, x=[0.0, 2.0, 3.0])
        order = adapters.directed_edges(graph, "top_to_bottom")
        weights = adapters.edge_weights(graph, "h_distance", "top_to_bottom")
        assert [(s, t, d["weight"]) for s, t, d in read.edges(data=True)] == sorted(
            (f"n{s}", f"n{t}", w) for (s, t), w in zip(order.tolist(), weights.tolist()))
        assert [d["x"] for _, d in read.nodes(data=True)] == [0.0, 2.0, 3.0]


GRAPHML_REFUSED = [
    ([], "GraphML holds one graph per file: 2 series need -o FILE.graphml (written as "
         "FILE-1.graphml, FILE-2.graphml, ...), or pick one with --column"),
    (["-o", "/dev/null"], "GraphML holds one graph per file: 2 series need numbered files, and "
                          "/dev/null is no regular file; give a file name, or pick one series "
                          "with --column"),
]


@pytest.mark.parametrize("args,message", GRAPHML_REFUSED)
def test_several_graphs_without_a_file_to_number_are_refused(tmp_path, args, message):
    if args and not os.path.exists("/dev/null"):
        pytest.skip("no /dev/null")
    (tmp_path / "s.txt").write_text("1\n3\n2\n")
    result = run(tmp_path, "s.txt", "s.txt", "--output", "edges", "--format", "graphml", *args)
    assert result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == f"kestrel-grid: error: {message}"


def test_npy_edges_with_weights_are_a_structured_array(ticks):
    ok(run(ticks, "p.csv", "-c", "v", "--output", "edges", "--weight", "abs_v_distance",
           "--directed", "top_to_bottom", "-o", "e.npy"))
    array = np.load(ticks / "e.npy")
    header, found = rows_of(ok(run(ticks, "p.csv", "-c", "v", "--output", "edges",
                                   "--weight", "abs_v_distance", "--directed", "top_to_bottom")))
    assert array.dtype.names == ("source", "target", "weight")
    assert [[repr(v) if isinstance(v, float) else str(v) for v in row] for row in array.tolist()] == found


USAGE = [
    (["--directed", "up"], "argument --directed: invalid choice: 'up' (choose from "
                           "'left_to_right', 'top_to_bottom')"),
    (["--output", "distribution", "--directed", "left_to_right"],
     "--directed applies to --output edges, degrees and summary only"),
    (["--output", "degrees", "--weight", "slope"], "--weight applies to --output edges and summary only"),
    (["--output", "motifs", "--window", "2", "--weight", "slope"],
     "--weight applies to --output edges and summary only"),
    (["-o", "s.parquet", "--format", "parquet", "-o", "-"],
     "--format parquet writes binary data: give an output file with -o"),
]


@pytest.mark.parametrize("args,message", USAGE)
def test_usage_errors_of_the_outputs(tmp_path, args, message):
    (tmp_path / "s.txt").write_text("1\n2\n")
    result = run(tmp_path, "s.txt", *args)
    assert result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == f"kestrel-grid: error: {message}"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["s.txt"]
