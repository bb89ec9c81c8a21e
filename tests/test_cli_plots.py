"""kestrel-grid --plot, run in a subprocess: the file formats, the axis labels and the
degree-plot options. SVG output names every text it draws in a comment, which is how
these tests read the labels back."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("matplotlib")

SCRIPT = Path(sys.executable).parent / ("kestrel-grid.exe" if os.name == "nt" else "kestrel-grid")
MAGIC = {"png": b"\x89PNG\r\n\x1a\n", "pdf": b"%PDF-", "svg": b"<?xml"}
LEVELS = [3, 1, 2.5, 4, 0.1, 1, 3, 2, 7, 2, 5, 1]
DATES = "".join(f"2001-{month:02d}-01,{v}\n" for month, v in enumerate(LEVELS, start=1))


def run(cwd, *args):
    return subprocess.run([str(SCRIPT), *map(str, args)], cwd=cwd, capture_output=True, timeout=120)


def written(*names):
    """What the command line says on standard error after writing the plots."""
    return "".join(f"kestrel-grid: plot written to {name}\n" for name in names).encode()


def written_names(name, count):
    stem, suffix = os.path.splitext(name)
    return [name] if count == 1 else [f"{stem}-{k}{suffix}" for k in range(1, count + 1)]


def svg_texts(path):
    return re.findall(r"<!-- (.*?) -->", path.read_text(encoding="utf-8"))


@pytest.fixture
def data(tmp_path):
    (tmp_path / "s.txt").write_text("3\n1\n2.5\n4\n0.1\n1\n3\n")
    (tmp_path / "w.csv").write_text("when,level\n" + DATES)
    (tmp_path / "h.csv").write_text("".join(f"{i},{v}\n" for i, v in enumerate([3, 1, 2, 4, 0.5])))
    return tmp_path


@pytest.mark.parametrize("name, count, files", [
    ("p.png", 1, ["p.png"]),
    ("p.pdf", 1, ["p.pdf"]),
    ("p.svg", 1, ["p.svg"]),
    ("P.PDF", 1, ["P.PDF"]),
])
def test_the_suffix_picks_the_format(data, name, count, files):
    result = run(data, *["s.txt"] * count, "--plot", name, "-o", "s.csv")
    assert (result.returncode, result.stderr) == (0, written(*written_names(name, count)))
    assert sorted(p.name for p in data.glob("[pP]*")) == files
    for file_name in files:
        assert (data / file_name).read_bytes().startswith(MAGIC[Path(file_name).suffix[1:].lower()])


@pytest.mark.parametrize("args, message", [
    (["--plot", "p.jpg"], "--plot p.jpg: the file name must end in .png, .pdf or .svg"),
    (["--plot", "plot"], "--plot plot: the file name must end in .png, .pdf or .svg"),
    (["--plot-ccdf"], "--plot-ccdf shapes the degree plot of --plot: give --plot FILE"),
    (["--plot-scale", "loglog"], "--plot-scale shapes the degree plot of --plot: give --plot FILE"),
])
def test_plot_usage_errors(data, args, message):
    result = run(data, "s.txt", *args)
    assert result.returncode == 2
    assert result.stderr.decode().splitlines()[-1] == f"kestrel-grid: error: {message}"
    assert result.stdout == b"" and not list(data.glob("p*")) and not list(data.glob("plot*"))


@pytest.mark.parametrize("args, xlabel, ylabel, ticks", [
    (["s.txt"], "sample", "column 0", ["0", "2", "4", "6"]),
    (["w.csv", "--x", "when"], "when", "level", ["2001", "Mar", "Jul", "Nov"]),
    (["h.csv", "--x", "0"], "column 0", "column 1", ["0.0", "2.0", "4.0"]),
    (["s.txt", "s.txt"], "sample", "column 0", ["0", "2", "4", "6"]),
])
def test_axes_are_named_after_the_columns(data, args, xlabel, ylabel, ticks):
    result = run(data, *args, "--plot", "p.svg", "-o", "s.csv")
    several = args == ["s.txt", "s.txt"]
    assert (result.returncode, result.stderr) == (0, written(*written_names("p.svg", 1 + several)))
    paths = sorted(data.glob("p*.svg"))
    assert [p.name for p in paths] == (["p-1.svg", "p-2.svg"] if several else ["p.svg"])
    for path in paths:
        texts = svg_texts(path)
        # The series panel draws its x tick labels, then the x label, the y ticks and
        # the y label.
        x_at = texts.index(xlabel)
        assert set(ticks) <= set(texts[:x_at])
        assert ylabel in texts[x_at + 1:texts.index("series")]


@pytest.mark.parametrize("kind, args, expected", [
    ("natural", [], ["degree k", "P(k)"]),
    ("natural", ["--plot-ccdf"], ["degree k", "P(K ≥ k)"]),
    ("horizontal", [], ["P(k)", "i.i.d. law (1/3)(2/3)^(k-2)"]),
    ("horizontal", ["--plot-ccdf"], ["P(K ≥ k)", "i.i.d. law (2/3)^(k-2)"]),
    ("horizontal", ["--plot-scale", "loglog", "--skip-adjacent"],
     ["$\\mathdefault{10^{0}}$", "i.i.d. law (1/3)(2/3)^k"]),
])
def test_degree_panel_options(data, kind, args, expected):
    result = run(data, "s.txt", "--kind", kind, "--plot", "p.svg", *args, "-o", "s.csv")
    assert (result.returncode, result.stderr) == (0, written("p.svg"))
    texts = svg_texts(data / "p.svg")
    panel = texts[texts.index("series") + 1:]
    assert set(expected) <= set(panel)
    assert any(t.startswith("i.i.d. law") for t in panel) == (kind == "horizontal")
