"""tools/check_shell_examples.py: which documented lines it runs, how it reads their
expected output, and that a wrong output or exit status fails the check."""

import shutil
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import check_shell_examples as checker  # noqa: E402  (a script in tools/, not a package)


@pytest.mark.parametrize("command, runs", [
    ("kestrel-grid examples/data/co2.csv --column co2", True),
    ("printf '3|1;2\\n' | kestrel-grid - --output degrees", True),
    ("printf 'a,b\\n1,2\\n' > ticks.csv", True),
    ("kestrel-grid a.csv -o out.csv", True),
    ('python -m pip install ".[plot]" && kestrel-grid examples/data/sunspots.csv', False),
    ("python -m pytest", False),
    ("kestrel-grid a.csv; rm -rf data", False),
    ("kestrel-grid a.csv & rm -rf data", False),
    ("kestrel-grid a.csv || rm -rf data", False),
    ("echo $(rm -rf data)", False),
    ("printf x | sh", False),
    ("kestrel-grid a.csv | head -3", False),
    ("printf 'unbalanced | kestrel-grid -", False),
])
def test_only_the_tool_and_file_helpers_run(command, runs):
    assert checker._is_example(command) is runs


@pytest.mark.parametrize("expected, actual, ok", [
    (["a", "b"], ["a", "b"], True),
    (["a", "b"], ["a", "b", "c"], False),
    (["a", "b", "c"], ["a", "b"], False),
    (["a", "..."], ["a", "b", "c"], True),
    (["a", "...", "c"], ["a", "c"], True),
    (["a", "...", "c"], ["a", "b", "b", "c"], True),
    (["a", "...", "c"], ["a", "b", "d"], False),
    (["usage: kestrel-grid ..."], ["usage: kestrel-grid [-h] [--x NAME]"], True),
    (["usage: kestrel-grid ..."], ["usage: kestrel-grid", "  [-h]"], False),
    (["x.y(1)"], ["xzy(1)"], False),  # the rest is literal, not a pattern
    ([], [], True),
    ([], ["anything"], False),
])
def test_output_matching_with_ellipses(expected, actual, ok):
    assert checker.matches(expected, actual) is ok


@pytest.mark.parametrize("output, status", [
    (["series: x"], 0),
    (["kestrel-grid: note: x:0 needs more than 15 digits"], 0),
    (["kestrel-grid: error: x.csv: no such file"], 1),
    (["usage: kestrel-grid ...", "...", "kestrel-grid: error: --output motifs needs --window W"], 2),
])
def test_exit_status_implied_by_the_output(output, status):
    assert checker.expected_status(output) == status


DOCUMENT = """\
Some prose with an inline $ kestrel-grid mention that is no example.

.. code-block:: console

   $ python -m pip install ".[plot]"
   $ kestrel-grid examples/data/sunspots.csv \\
       -c sunspots --format json
   {"kind": "natural"}
     indented more
   $ printf '1\\n2\\n' | kestrel-grid - --output degrees
   index,degree

   not output: after a blank line

```console
$ kestrel-grid missing.csv
kestrel-grid: error: missing.csv: no such file
```
after the fence
"""


def test_examples_are_read_with_continuations_and_their_output(tmp_path):
    examples = checker.extract(tmp_path / "doc.rst", DOCUMENT)
    assert [(e.line, e.command, e.expected) for e in examples] == [
        (6, "kestrel-grid examples/data/sunspots.csv  -c sunspots --format json",
         ['{"kind": "natural"}', "  indented more"]),
        (10, "printf '1\\n2\\n' | kestrel-grid - --output degrees", ["index,degree"]),
        (16, "kestrel-grid missing.csv", ["kestrel-grid: error: missing.csv: no such file"]),
    ]


@pytest.mark.skipif(shutil.which("kestrel-grid", path=str(Path(sys.executable).parent)) is None,
                    reason="the console script is not installed beside this interpreter")
def test_a_wrong_output_or_status_fails_and_a_right_one_passes(tmp_path, capsys):
    document = tmp_path / "doc.rst"
    document.write_text(
        "   $ printf '3\\n1\\n2\\n4\\n' > a.txt\n"
        "   $ kestrel-grid a.txt --output degrees\n   index,degree\n   0,3\n   ...\n   3,3\n\n"
        "   $ kestrel-grid a.txt --output edges\n   source,target\n   0,9\n   ...\n\n"
        "   $ kestrel-grid missing.csv\n   kestrel-grid: ...\n\n"
    )
    assert checker.check([document]) == 2
    out = capsys.readouterr().out
    verdicts = [line.split()[0] for line in out.splitlines() if line.startswith(("ok ", "FAIL "))]
    assert verdicts == ["ok", "ok", "FAIL", "FAIL"]
    assert "-0,9" in out and "exit status 1, expected 0" in out
