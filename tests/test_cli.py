"""The kestrel-grid console script, run in a subprocess, against results computed here
from the graph builders."""

import json
import math
import os
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
from importlib import metadata
from pathlib import Path

import numpy as np
import pytest

import kestrel_grid as kg

SCRIPT = Path(sys.executable).parent / ("kestrel-grid.exe" if os.name == "nt" else "kestrel-grid")
CELLS = ["3", "1", "2.5", "4", "0.1", "1", "3", "1e-3", "7", "2"]
VALUES = [float(c) for c in CELLS]
GRAPHML = "{http://graphml.graphdrawing.org/xmlns}"


def run(cwd, *args, stdin=b"", env=None):
    if not SCRIPT.exists():
        pytest.fail(f"the console script {SCRIPT} is missing: install the package first")
    return subprocess.run([str(SCRIPT), *map(str, args)], cwd=cwd, input=stdin,
                          capture_output=True, env=env)


def edges_of(values, kind="natural", skip=False):
    build = kg.build_visibility_graph if kind == "natural" else kg.build_horizontal_visibility_graph
    return build(values, skip_adjacent=skip).edges


def edge_csv(edges, label=None):
    lead = "" if label is None else label + ","
    return "".join(f"{lead}{i},{j}\n" for i, j in edges)


def lines(cells, sep="\n"):
    return sep.join(cells) + "\n"


INPUTS = {
    "csv header and comments": ("s.csv", "# measured\n# twice\nvalue\n" + lines(CELLS), []),
    "tsv, picked by name": ("s.tsv", "t\tvalue\n" + "".join(f"{i}\t{c}\n" for i, c in enumerate(CELLS)), ["--column", "value"]),
    "tsv, picked by index": ("s.tsv", "".join(f"{i}\t{c}\n" for i, c in enumerate(CELLS)), ["--column", "1"]),
    "plain text, blank lines around": ("s.txt", "\n\n" + lines(CELLS) + "\n\n", []),
    "sniffed semicolons": ("s.dat", "".join(f"{c};0\n" for c in CELLS), ["-c", "0"]),
    "npy 1-d": ("s.npy", np.array(VALUES), []),
    "npy 2-d column": ("s.npy", np.column_stack([np.zeros(len(VALUES)), VALUES]), ["-c", "1"]),
    "stdin": ("-", lines(CELLS), []),
}


@pytest.mark.parametrize("case", INPUTS)
@pytest.mark.parametrize("kind,skip", [("natural", False), ("horizontal", False), ("natural", True)])
def test_every_input_gives_the_edges_of_its_values(tmp_path, case, kind, skip):
    name, content, args = INPUTS[case]
    stdin = b""
    if name == "-":
        stdin = content.encode()
    elif isinstance(content, np.ndarray):
        np.save(tmp_path / name, content)
    else:
        (tmp_path / name).write_text(content)
    flags = ["--kind", kind] + (["--skip-adjacent"] if skip else [])
    result = run(tmp_path, name, "--output", "edges", *args, *flags, stdin=stdin)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout.decode() == "source,target\n" + edge_csv(edges_of(VALUES, kind, skip))


# Epoch-second positions with irregular gaps: the rule with positions differs from the
# index rule on these values.
TIMES = [1.7e9 + t for t in (0, 60, 75, 200, 201, 260, 900, 905, 1000, 1300)]
VARIANTS = {
    "positions": (["--x", "t"], {"x": TIMES}),
    "positions, L=1, exact": (["--x", "t", "--penetrable", "1", "--exact"], {"x": TIMES, "penetrable": 1, "exact": True}),
    "L=2": (["--penetrable", "2"], {"penetrable": 2}),
    "exact": (["--exact"], {"exact": True}),
}
# (file, content, x column, value column); without --x the value column is picked.
POSITIONED = {
    "csv by name": ("p.csv", "t,v\n" + "".join(f"{t!r},{c}\n" for t, c in zip(TIMES, CELLS)), "t", "v"),
    "tsv by index": ("p.tsv", "".join(f"{t!r}\t{c}\n" for t, c in zip(TIMES, CELLS)), "0", "1"),
    "npy 2-d": ("p.npy", np.column_stack([TIMES, VALUES]), "0", "1"),
}


@pytest.mark.parametrize("variant", VARIANTS)
@pytest.mark.parametrize("kind", ["natural", "horizontal"])
def test_positions_and_variants_follow_build_graph(tmp_path, variant, kind):
    flags, options = VARIANTS[variant]
    expected = kg.build_graph(VALUES, kind, **options).edges
    for case, (name, content, x_column, value_column) in POSITIONED.items():
        if isinstance(content, np.ndarray):
            np.save(tmp_path / name, content)
        else:
            (tmp_path / name).write_text(content)
        # With --x the remaining column is the only series, so no --column is needed.
        args = [x_column if f == "t" else f for f in flags] if "--x" in flags else ["-c", value_column, *flags]
        result = run(tmp_path, name, "--kind", kind, "--output", "edges", *args)
        assert (result.returncode, result.stderr) == (0, b""), case
        assert result.stdout.decode() == "source,target\n" + edge_csv(expected), case
    flags = flags + ["-c", "v"]
    degree = np.asarray(kg.graph_degrees(VALUES, kind, **options))
    out = run(tmp_path, "p.csv", "--kind", kind, "--output", "degrees", *flags).stdout.decode()
    if "--x" in flags:  # each row then carries its sample's position, as read
        assert out == "index,t,degree\n" + "".join(
            f"{i},{t!r},{d}\n" for i, (t, d) in enumerate(zip(TIMES, degree)))
    else:
        assert out == "index,degree\n" + "".join(f"{i},{d}\n" for i, d in enumerate(degree))
    out = run(tmp_path, "p.csv", "--kind", kind, "--format", "json", *flags).stdout
    assert json.loads(out)["edges"] == len(expected)


def test_graphml_x_is_the_position_and_plot_draws_with_it(tmp_path):
    (tmp_path / "p.csv").write_text(POSITIONED["csv by name"][1])
    result = run(tmp_path, "p.csv", "--x", "t", "--output", "edges", "-o", "e.graphml", "--penetrable", "1")
    assert result.returncode == 0
    graph = ET.parse(tmp_path / "e.graphml").getroot().find(GRAPHML + "graph")
    assert [float(n.find(GRAPHML + "data[@key='x']").text) for n in graph.findall(GRAPHML + "node")] == TIMES
    edges = [(int(e.get("source")[1:]), int(e.get("target")[1:])) for e in graph.findall(GRAPHML + "edge")]
    assert edges == kg.build_graph(VALUES, x=TIMES, penetrable=1).edges
    pytest.importorskip("matplotlib")
    assert run(tmp_path, "p.csv", "--x", "t", "--plot", "p.png", "-o", "s.csv").returncode == 0
    assert png_size(tmp_path / "p.png") == (1200, 450)


def test_special_cells_and_several_columns(tmp_path):
    cells = ["NaN", "+inf", "-Infinity", "1", "inf", "nan", "1e308", "-0.0"]
    (tmp_path / "w.csv").write_text("a,b\n" + "".join(f"{c},{v}\n" for c, v in zip(cells, CELLS)))
    a, b = [float(c) for c in cells], VALUES[: len(cells)]
    expected = "series,source,target\n" + edge_csv(edges_of(a), "w.csv:a") + edge_csv(edges_of(b), "w.csv:b")
    keep = ["--missing", "keep"]  # NaN as a value, not a missing sample
    assert run(tmp_path, "w.csv", "--output", "edges", *keep).stdout.decode() == expected
    swapped = edge_csv(edges_of(b), "w.csv:b") + edge_csv(edges_of(a), "w.csv:a")
    out = run(tmp_path, "w.csv", "-c", "1,a", "--output", "edges", *keep).stdout.decode()
    assert out.endswith(swapped)


def degrees_of(values, kind="natural"):
    edges = np.array(edges_of(values, kind), dtype=np.int64).reshape(-1, 2)
    return np.bincount(edges.ravel(), minlength=len(values))


@pytest.mark.parametrize("kind", ["natural", "horizontal"])
def test_degrees_distribution_and_motifs(tmp_path, kind):
    (tmp_path / "s.txt").write_text(lines(CELLS))
    degree = degrees_of(VALUES, kind)
    out = run(tmp_path, "s.txt", "--kind", kind, "--output", "degrees").stdout.decode()
    assert out == "index,degree\n" + "".join(f"{i},{d}\n" for i, d in enumerate(degree))
    counts = np.bincount(degree).tolist()
    out = run(tmp_path, "s.txt", "--kind", kind, "--output", "distribution").stdout.decode()
    assert out == "k,count,p\n" + "".join(f"{k},{c},{c / len(VALUES)!r}\n" for k, c in enumerate(counts))
    scores = kg.horizontal_window_motif_scores(VALUES, 4)
    out = run(tmp_path, "s.txt", "--output", "motifs", "--window", "4").stdout.decode()
    assert out == "window,score\n" + "".join(f"{i},{s}\n" for i, s in enumerate(scores))


def test_summary_as_text_and_csv(tmp_path):
    (tmp_path / "s.txt").write_text("1\n3\n2\n4\n")
    out = run(tmp_path, "s.txt").stdout.decode()
    assert out == ("series: s.txt:0\nkind: natural\nrule: recorded\nsamples: 4\nomitted: 0\n"
                   "edges: 4\nmean_degree: 2.0\nmax_degree: 3\n")
    out = run(tmp_path, "s.txt", "s.txt", "--kind", "horizontal", "--format", "csv").stdout.decode()
    header, first, second = out.splitlines()
    assert header == "series,kind,rule,samples,omitted,edges,mean_degree,max_degree,iid_distance"
    # Degrees 1, 3, 2, 2: P(1) = 1/4 where the i.i.d. law has 0.
    assert first == "s.txt:0,horizontal,recorded,4,0,4,2.0,3,0.25"
    assert second == "s.txt:0#2,horizontal,recorded,4,0,4,2.0,3,0.25"
    out = run(tmp_path, "s.txt", "--window", "3", "--format", "json").stdout
    assert json.loads(out)["windows"] == 2


@pytest.mark.parametrize("several", [False, True])
def test_json_npy_and_graphml_hold_the_edges(tmp_path, several):
    name = "a&b'c,d.txt"  # needs escaping in XML and quoting in CSV
    (tmp_path / name).write_text(lines(CELLS))
    names = [name, name] if several else [name]
    labels = [name + ":0", name + ":0#2"] if several else [name + ":0"]
    edges = edges_of(VALUES)

    assert run(tmp_path, *names, "--output", "edges", "-o", "e.json").returncode == 0
    loaded = json.loads((tmp_path / "e.json").read_text())
    for table in (loaded[label] for label in labels) if several else [loaded]:
        assert list(zip(table["source"], table["target"])) == edges
    if several:
        csv_text = run(tmp_path, *names, "--output", "edges").stdout.decode()
        assert csv_text.splitlines()[1] == '"a&b\'c,d.txt:0",%d,%d' % edges[0]

    assert run(tmp_path, *names, "--output", "edges", "-o", "e.graphml").returncode == 0
    # One graph per file: several series go to e-1.graphml, e-2.graphml, ...
    files = ["e-1.graphml", "e-2.graphml"] if several else ["e.graphml"]
    graphs = [g for f in files for g in ET.parse(tmp_path / f).getroot().findall(GRAPHML + "graph")]
    assert [g.get("id") for g in graphs] == labels
    for graph in graphs:
        nodes = graph.findall(GRAPHML + "node")
        assert [n.get("id") for n in nodes] == [f"n{i}" for i in range(len(VALUES))]
        assert [float(n.find(GRAPHML + "data[@key='x']").text) for n in nodes] == list(range(len(VALUES)))
        assert [float(n.find(GRAPHML + "data[@key='y']").text) for n in nodes] == VALUES
        found = [(e.get("source"), e.get("target")) for e in graph.findall(GRAPHML + "edge")]
        assert found == [(f"n{i}", f"n{j}") for i, j in edges]

    result = run(tmp_path, *names, "--output", "edges", "-o", "e.npy")
    if several:
        assert result.returncode == 2 and not (tmp_path / "e.npy").exists()
    else:
        assert np.load(tmp_path / "e.npy").tolist() == [list(e) for e in edges]


def test_npy_summary_and_degrees(tmp_path):
    (tmp_path / "s.txt").write_text("1\n3\n2\n4\n")
    assert run(tmp_path, "s.txt", "--output", "degrees", "-o", "d.npy").returncode == 0
    assert np.load(tmp_path / "d.npy").tolist() == [1, 3, 2, 2]
    assert run(tmp_path, "s.txt", "-", "-o", "s.npy", stdin=b"5\n5\n").returncode == 0
    summary = np.load(tmp_path / "s.npy")
    assert summary["series"].tolist() == ["s.txt:0", "<stdin>:0"]
    assert summary["edges"].tolist() == [4, 1]


BAD = [
    ("b.csv", "a,b\n1,2\n3,abc\n", [], "b.csv:3:b: could not read 'abc' as a number"),
    ("b.txt", "1\n# note\n\n2\nx\n", [], "b.txt:5:1: could not read 'x' as a number"),
    ("b.csv", "# nothing\n\n", [], "b.csv: no data rows"),
    ("b.csv", "a,b\n", [], "b.csv: no data rows"),
    ("b.csv", "a,b\n1,2\n3,4,5\n", [], "b.csv:3: row has 3 cells, header has 2 cells"),
    ("b.tsv", "1\t2\n3\n", [], "b.tsv:2: row has 1 cell, first row has 2 cells"),
    ("b.csv", "# c\na,b\n1,2\n", ["-c", "c"], "b.csv:2: unknown column 'c' (available: a, b)"),
    ("b.txt", "1\n2\n", ["-c", "1"], "b.txt: unknown column '1' (available: 0)"),
    ("b.npy", "not an array", [], "b.npy: not a readable .npy file"),
    ("b.txt", "1\n2\n", ["--output", "motifs", "--window", "3"],
     "b.txt:0: --window 3 is longer than the series (2 samples)"),
    (None, "", [], "missing.csv: no such file"),
    ("b.csv", "t,v\n0,1\n2,2\n2,3\n", ["--x", "t"],
     "b.csv:4:t: position 2.0 is not greater than the one before it (2.0)"),
    ("b.csv", "# c\nv,t\n1,0\n2,nan\n", ["--x", "t"], "b.csv:4:t: position nan is not finite"),
    ("b.tsv", "0\t1\n\n-inf\t2\n", ["--x", "0"], "b.tsv:3:1: position -inf is not finite"),
    ("b.npy", np.array([[0.0, 1.0], [3.0, 2.0], [1.0, 3.0]]), ["--x", "0"],
     "b.npy: row 2, column 0: position 1.0 is not greater than the one before it (3.0)"),
    ("b.npy", np.arange(3.0), ["--x", "0"],
     "b.npy: holds a 1-d array; --x needs a 2-d array with a column of positions"),
    ("b.txt", "1\n2\n", ["--x", "0"], "b.txt: no series column besides the positions column '0' (--x)"),
    ("b.csv", "t,v\n1,2\n", ["--x", "t", "-c", "v,t"],
     "b.csv: column 't' holds the positions (--x); it cannot also be a series"),
    ("b.csv", "a,b\n1,2\n", ["--x", "t"], "b.csv:1: unknown column 't' (available: a, b)"),
]


@pytest.mark.parametrize("name,content,args,message", BAD)
@pytest.mark.parametrize("existing", [False, True])
def test_bad_input_fails_with_one_line_and_leaves_the_output_alone(tmp_path, name, content, args, message, existing):
    if isinstance(content, np.ndarray):
        np.save(tmp_path / name, content)
    elif name is not None:
        (tmp_path / name).write_text(content)
    (tmp_path / "out").mkdir()
    if existing:
        (tmp_path / "out" / "r.csv").write_text("old")
    result = run(tmp_path, name or "missing.csv", *args, "-o", "out/r.csv")
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode() == f"kestrel-grid: error: {message}\n"
    assert [p.name for p in (tmp_path / "out").iterdir()] == (["r.csv"] if existing else [])
    if existing:
        assert (tmp_path / "out" / "r.csv").read_text() == "old"


USAGE = [
    (["--x", " "], "--x: empty column name"),
    (["--penetrable", "-1"], "argument --penetrable: must be a non-negative integer, got '-1'"),
    (["--penetrable", "1.5"], "argument --penetrable: must be a non-negative integer, got '1.5'"),
    (["--penetrable", "1", "--window", "3"],
     "motif scores have no penetrable variant: drop --window or --penetrable"),
    (["--output", "motifs"], "--output motifs needs --window W"),
    (["--output", "edges", "--window", "3"], "--window applies to --output motifs and summary only"),
    (["--window", "0"], "argument --window: must be a positive integer, got '0'"),
    (["--format", "npy"], "--format npy writes binary data: give an output file with -o"),
    (["-o", "g.graphml"], "--format graphml holds graphs: use it with --output edges"),
    (["--output", "edges", "--format", "text"], "--format text is for --output summary and measures only"),
    (["--kind", "diagonal"], "argument --kind: invalid choice: 'diagonal' (choose from 'natural', 'horizontal')"),
]


@pytest.mark.parametrize("args,message", USAGE)
def test_usage_errors_exit_2(tmp_path, args, message):
    (tmp_path / "s.txt").write_text("1\n2\n")
    result = run(tmp_path, "s.txt", *args)
    assert result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == f"kestrel-grid: error: {message}"
    assert list(tmp_path.iterdir()) == [tmp_path / "s.txt"]


def test_version_and_module_entry(tmp_path):
    result = run(tmp_path, "--version")
    assert result.stdout.decode() == f"kestrel-grid {metadata.version('kestrel-grid')}\n"
    result = subprocess.run([sys.executable, "-m", "kestrel_grid_tools", "-", "--output", "edges"],
                            input=b"1\n3\n2\n", capture_output=True)
    assert result.stdout == b"source,target\n0,1\n1,2\n"


def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("count", [1, 2])
def test_plot_writes_one_png_per_series(tmp_path, count):
    pytest.importorskip("matplotlib")
    from kestrel_grid_tools.plot import plot_overview

    (tmp_path / "s.txt").write_text(lines(CELLS))
    result = run(tmp_path, *["s.txt"] * count, "--plot", "p.png", "-o", "s.csv")
    names = ["p.png"] if count == 1 else ["p-1.png", "p-2.png"]
    notes = "".join(f"kestrel-grid: plot written to {name}\n" for name in names)
    assert (result.returncode, result.stderr) == (0, notes.encode())
    plot_overview(np.array(VALUES), path=str(tmp_path / "ref.png"), title="s.txt:0")
    assert sorted(p.name for p in tmp_path.glob("p*.png")) == names
    for name in names:
        assert png_size(tmp_path / name) == png_size(tmp_path / "ref.png")


def test_plot_without_matplotlib_names_the_extra(tmp_path):
    (tmp_path / "hide" / "matplotlib").mkdir(parents=True)
    (tmp_path / "hide" / "matplotlib" / "__init__.py").write_text("raise ImportError('hidden')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        filter(None, [str(tmp_path / "hide"), os.environ.get("PYTHONPATH")])))
    result = run(tmp_path, "-", "--plot", "p.png", stdin=b"1\n2\n", env=env)
    assert result.returncode == 1
    assert result.stderr.decode() == (
        "kestrel-grid: error: --plot needs matplotlib, which is not installed; "
        "install it with: python -m pip install matplotlib (or, in a checkout of "
        "kestrel-grid, its plot extra: python -m pip install '.[plot]')\n")


@pytest.mark.skipif(os.name == "nt", reason="needs a pseudo-terminal")
def test_progress_only_on_a_terminal(tmp_path):
    import pty

    (tmp_path / "s.txt").write_text(lines(CELLS))
    main, side = pty.openpty()
    with subprocess.Popen([str(SCRIPT), "s.txt", "s.txt", "-o", "s.csv"], cwd=tmp_path, stderr=side) as child:
        os.close(side)
        assert child.wait() == 0
    assert b"2/2" in os.read(main, 4096)
    os.close(main)
    assert run(tmp_path, "s.txt", "s.txt", "-o", "s.csv").stderr == b""


def test_closed_pipe_is_quiet(tmp_path):
    np.save(tmp_path / "big.npy", np.random.default_rng(5).random(200_000))
    with subprocess.Popen([str(SCRIPT), "big.npy", "--output", "edges"], cwd=tmp_path,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE) as child:
        assert child.stdout.read(14) == b"source,target\n"
        child.stdout.close()
        assert child.stderr.read() == b""
        child.wait()


def test_main_in_process_writes_to_a_replaced_stdout(tmp_path):
    # Notebooks and redirect_stdout replace sys.stdout with a text stream without .buffer.
    import contextlib
    import io

    from kestrel_grid_tools.cli import main

    path = tmp_path / "walk.txt"
    path.write_text("3\n1\n2\n4\n")
    sink = io.StringIO()
    with contextlib.redirect_stdout(sink):
        status = main([str(path), "--output", "edges"])
    assert (status, sink.getvalue()) == (0, "source,target\n0,1\n0,2\n0,3\n1,2\n1,3\n2,3\n")


MISSING_CELLS = ["", "NA", "null", "nan", "N/A", " NaN "]


@pytest.mark.parametrize("kind", ["natural", "horizontal"])
@pytest.mark.parametrize("layout", ["csv with empty and NA cells", "one column with blank lines"])
def test_missing_samples_are_left_out_and_keep_their_rows(tmp_path, kind, layout):
    values = [3.0, None, 1.0, 2.0, None, None, 4.0, 0.5, None, 2.5, 1.5]
    if layout.startswith("csv"):
        cells = [MISSING_CELLS[k % len(MISSING_CELLS)] if v is None else repr(v)
                 for k, v in enumerate(values)]
        (tmp_path / "s.csv").write_text("t,v\n" + "".join(f"{k},{c}\n" for k, c in enumerate(cells)))
        name, args = "s.csv", ["--column", "v"]
    else:
        (tmp_path / "s.csv").write_text("\n".join("" if v is None else repr(v) for v in values) + "\n")
        name, args = "s.csv", []
    rows = [k for k, v in enumerate(values) if v is not None]
    graph = kg.build_graph([values[k] for k in rows], kind, x=[float(k) for k in rows])
    out = run(tmp_path, name, *args, "--kind", kind, "--output", "edges").stdout.decode()
    assert out == "source,target\n" + "".join(f"{rows[i]},{rows[j]}\n" for i, j in graph.edges)
    out = run(tmp_path, name, *args, "--kind", kind, "--output", "degrees").stdout.decode()
    degrees = np.asarray(graph.degrees_array())
    assert out == "index,degree\n" + "".join(f"{r},{d}\n" for r, d in zip(rows, degrees))
    summary = json.loads(run(tmp_path, name, *args, "--kind", kind, "--format", "json").stdout)
    assert (summary["samples"], summary["omitted"], summary["edges"]) == (7, 4, len(graph.edges))
    failed = run(tmp_path, name, *args, "--missing", "raise")
    label = "s.csv:v" if args else "s.csv:0"
    assert (failed.returncode, failed.stderr.decode()) == (
        1, f"kestrel-grid: error: {label}: missing sample in data row 1 (counting from 0); use "
           "--missing omit to leave missing samples out, or --missing keep\n")
    kept = run(tmp_path, name, *args, "--kind", kind, "--missing", "keep", "--output", "edges")
    nan_values = [math.nan if v is None else v for v in values]
    assert kept.stdout.decode() == "source,target\n" + edge_csv(edges_of(nan_values, kind))


def test_threads_give_the_same_output_and_a_count_below_one_is_refused(tmp_path):
    values = np.random.default_rng(9).normal(size=5000).cumsum()
    values[[3, 900]] = np.nan
    (tmp_path / "s.txt").write_text("".join(f"{float(v)!r}\n" for v in values))
    outputs = set()
    for threads in ("1", "2", "3"):
        for output in ("edges", "degrees", "summary"):
            result = run(tmp_path, "s.txt", "--rule", "float", "--threads", threads, "--output", output)
            assert (result.returncode, result.stderr) == (0, b"")
            outputs.add((output, result.stdout))
    assert len(outputs) == 3
    refused = run(tmp_path, "s.txt", "--threads", "0")
    assert refused.returncode == 2 and b"--threads: must be a positive integer, got '0'" in refused.stderr
