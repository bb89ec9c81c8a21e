"""The type stubs of the extension: mypy --strict sees the intended types, rejects the
inputs the module refuses, and stubtest finds the stubs consistent with the installed
module.

The stubs are taken from this checkout (python/kestrel_grid-stubs) when it is present,
else from the installed ``kestrel_grid-stubs`` package."""

import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

mypy_api = pytest.importorskip("mypy.api")

ROOT = Path(__file__).resolve().parent.parent
CHECKOUT_STUBS = ROOT / "python" / "kestrel_grid-stubs" / "__init__.pyi"
ALLOWLIST = ROOT / "tools" / "stubtest_allowlist.txt"

GOOD = """\
import array
from fractions import Fraction
from typing import Literal

import numpy as np

import kestrel_grid as kg

g = kg.build_visibility_graph([1.0, 3.0, 2.0])
reveal_type(g)
reveal_type(g.edges)
reveal_type(g.vertices)
reveal_type(g.add_vertex(1, 2.5))
reveal_type(g.remove_edge(0, np.int64(1)))
reveal_type(g.edges_array())
reveal_type(g.edges_array().shape)
reveal_type(g.edges_array().__array_interface__)
reveal_type(kg.build_horizontal_visibility_graph(np.zeros(3), skip_adjacent=True))
reveal_type(kg.build_horizontal_subgraph_between(range(5), 1, 3))
reveal_type(kg.visibility_degrees(array.array("d", [1.0, 2.0])))
reveal_type(kg.horizontal_window_motif_scores((1, Fraction(1, 3), True), 2))
reveal_type(kg.subseries_between(b"abc", 0, 2))
reveal_type(kg.indices_are_visible(np.arange(4, dtype=np.int32), 0, 3))
reveal_type(kg.segment_is_visible((0, 0), (1, 1.5), [((0, 1), (1, 0))]))
reveal_type(kg.build_graph([1.0, 2.0], x=np.array([0.5, 2.0]), exact=True))
reveal_type(kg.build_graph((1, 2), "horizontal", penetrable=np.int64(2)))
kind: Literal["natural", "horizontal"] = "natural"
reveal_type(kg.build_graph([1.0], kind, skip_adjacent=True))
reveal_type(kg.graph_degrees([1.0], "horizontal", x=range(1)))
reveal_type(kg.graph_edge_array([1.0], penetrable=1, exact=False))
"""

REVEALED = [
    "kestrel_grid.VisibilityGraph",
    "list[tuple[int, int]]",
    "list[tuple[float, float]]",
    "int",
    "bool",
    "kestrel_grid.GraphArray",
    "tuple[int] | tuple[int, int]",
    "dict[str, Any]",
    "kestrel_grid.HorizontalVisibilityGraph",
    "kestrel_grid.HorizontalVisibilityGraph",
    "kestrel_grid.GraphArray",
    "list[int]",
    "list[float]",
    "bool",
    "bool",
    "kestrel_grid.VisibilityGraph",
    "kestrel_grid.HorizontalVisibilityGraph",
    "kestrel_grid.VisibilityGraph | kestrel_grid.HorizontalVisibilityGraph",
    "kestrel_grid.GraphArray",
    "kestrel_grid.GraphArray",
]


def normalized(revealed):
    """One spelling for what mypy versions print differently: ``builtins.`` prefixes,
    ``Tuple``, and ``Union[A, B]`` for ``A | B``."""
    text = revealed.replace("builtins.", "").replace("Tuple[", "tuple[")
    union = re.fullmatch(r"Union\[(.*?), (.*)\]", text)
    return f"{union.group(1)} | {union.group(2)}" if union else text

# Every line marked "# error" must be reported, and no other.
BAD = """\
import kestrel_grid as kg

g = kg.build_visibility_graph([1.0, 2.0])
kg.build_visibility_graph("123")  # error
kg.build_visibility_graph(iter([1.0]))  # error
kg.build_visibility_graph([[1.0]])  # error
kg.build_visibility_graph(["1"])  # error
kg.build_visibility_graph([1.0], skip_adjacent=1)  # error
kg.indices_are_visible([1.0], 0.0, 1)  # error
kg.segment_is_visible([0, 0], (1, 1), [])  # error
g.edges = []  # error
g.add_edge(0, 1, 2)  # error
kg.build_graph([1.0], "visibility")  # error
kg.build_graph([1.0], "natural", None)  # error
kg.graph_degrees([1.0], penetrable=1.5)  # error
kg.graph_edge_array([1.0], x="01")  # error


class Sub(kg.HorizontalVisibilityGraph):  # error
    pass


def never() -> None:
    reveal_type(kg.GraphArray())
"""


@pytest.fixture()
def stub_env(tmp_path):
    """A MYPYPATH with the checkout's stubs (or none: the installed ones), and a config
    file so no project configuration is picked up."""
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if CHECKOUT_STUBS.exists():
        package = tmp_path / "stubs" / "kestrel_grid"
        package.mkdir(parents=True)
        shutil.copy(CHECKOUT_STUBS, package / "__init__.pyi")
        env["MYPYPATH"] = str(tmp_path / "stubs")
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    return env, config


def test_mypy_strict_sees_the_stub_types(tmp_path, stub_env, monkeypatch):
    env, config = stub_env
    if "MYPYPATH" in env:
        monkeypatch.setenv("MYPYPATH", env["MYPYPATH"])
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    monkeypatch.chdir(tmp_path)
    stdout, stderr, _ = mypy_api.run([
        "--strict", "--config-file", str(config), "--cache-dir", str(tmp_path / "cache"),
        "--no-error-summary", "--hide-error-context", "--show-absolute-path",
        str(tmp_path / "good.py"), str(tmp_path / "bad.py"),
    ])
    assert stderr == ""
    lines = stdout.splitlines()

    good = [line for line in lines if line.startswith(str(tmp_path / "good.py"))]
    assert [line for line in good if ": error:" in line] == []
    revealed = [normalized(re.search(r'Revealed type is "(.*)"', line).group(1)) for line in good]
    assert revealed == REVEALED

    bad = [line for line in lines if line.startswith(str(tmp_path / "bad.py"))]
    reported = {int(line.split(":")[1]) for line in bad if ": error:" in line}
    marked = {number for number, text in enumerate(BAD.splitlines(), 1) if text.endswith("# error")}
    assert reported == marked, "\n".join(bad)
    assert any(re.search('Revealed type is "(Never|NoReturn)"', line) for line in bad)


def test_stubtest_finds_the_stubs_consistent(tmp_path, stub_env):
    env, config = stub_env
    command = [sys.executable, "-m", "mypy.stubtest", "kestrel_grid", "--mypy-config-file", str(config)]
    if ALLOWLIST.exists():
        command += ["--allowlist", str(ALLOWLIST)]
    done = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, textwrap.indent(done.stdout + done.stderr, "  ")
