"""Runs the command-line examples written in the documentation and compares their output.

An example is a shell line ``$ kestrel-grid ...`` in README.md or docs/*.rst (also a
pipeline that ends in the tool, ``$ printf '3\\n1\\n' | kestrel-grid - ...``; a line that
ends in a backslash continues on the next), and the lines that set up its input or look at
its output with ``printf``, ``echo``, ``cat``, ``head``, ``tail`` or ``wc`` (``$ printf
'time,price\n...' > ticks.csv``). The lines after each, at its indentation or
deeper, up to a blank line, the next ``$`` line or the end of a Markdown fence, are its
expected output: standard output and standard error together, as a terminal shows them.
Other ``$`` lines (installs, builds) are not run.

Each document's examples run in order, through bash, in a scratch directory that holds a
copy of examples/data, so the paths in the documents are those of a checkout and files
the examples write stay out of it. ``kestrel-grid`` is the console script of the Python
running this checker, unbuffered and with an 80-column terminal width for ``--help``.

The output must match line for line (trailing spaces aside), except that ``...`` within
a line matches any text on that line, and a line holding only ``...`` matches any number
of lines. The exit status must be the one the output implies: 2 with a ``usage:`` line
and a ``kestrel-grid: error:`` line, 1 with only the error line, 0 without one.

    python tools/check_shell_examples.py            # README.md and docs/*.rst
    python tools/check_shell_examples.py docs/cli.rst

Exits 0 when every example matches and 1 otherwise, showing each mismatch as a diff.
"""

from __future__ import annotations

import argparse
import difflib
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional, Sequence

ROOT = Path(__file__).resolve().parent.parent
TOOL = "kestrel-grid"
ERROR = f"{TOOL}: error:"


@dataclass
class Example:
    path: Path
    line: int  # 1-based line of the "$" line in its document
    command: str
    expected: List[str]


# Commands that only write or read small files in the scratch directory.
HELPERS = ("printf", "echo", "cat", "head", "tail", "wc")


def _is_example(command: str) -> bool:
    """True for the tool run alone or at the end of a pipeline, and for the file helpers
    alone; never for a command list (``pip install ... && kestrel-grid ...``) or a
    substitution, which would run more than these."""
    lexer = shlex.shlex(command, posix=True, punctuation_chars=True)
    lexer.whitespace_split = True
    try:
        words = list(lexer)
    except ValueError:  # unbalanced quotes
        return False
    if not words or "$(" in command or "`" in command:
        return False
    if any(set(word) <= set("|&;") and word not in ("|", ";") for word in words) or ";" in words:
        return False  # &&, ||, & and ; lists
    stages: List[List[str]] = [[]]
    for word in words:
        if word == "|":
            stages.append([])
        else:
            stages[-1].append(word)
    if not all(stages):
        return False
    return stages[-1][0] == TOOL or (len(stages) == 1 and words[0] in HELPERS)


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip(" "))


def extract(path: Path, text: Optional[str] = None) -> List[Example]:
    """The examples of one document, in order."""
    lines = (path.read_text(encoding="utf-8") if text is None else text).splitlines()
    examples: List[Example] = []
    k = 0
    while k < len(lines):
        stripped = lines[k].strip()
        if not stripped.startswith("$ "):
            k += 1
            continue
        start, indent = k, _indent(lines[k])
        command = stripped[2:]
        while command.endswith("\\") and k + 1 < len(lines):
            k += 1
            command = command[:-1] + " " + lines[k].strip()
        k += 1
        expected: List[str] = []
        while k < len(lines):
            line = lines[k]
            if (not line.strip() or _indent(line) < indent or line.strip().startswith("$ ")
                    or line.strip().startswith("```")):
                break
            expected.append(line[indent:].rstrip())
            k += 1
        if _is_example(command):
            examples.append(Example(path, start + 1, command, expected))
    return examples


def _line_pattern(line: str) -> str:
    return ".*".join(re.escape(part) for part in line.split("..."))


def matches(expected: Sequence[str], actual: Sequence[str]) -> bool:
    """Whether the output lines match the expected ones, with their ellipses."""
    pattern = "".join(
        r"(?:[^\n]*\n)*?" if line == "..." else _line_pattern(line) + r"\n" for line in expected
    )
    return re.fullmatch(pattern, "".join(line + "\n" for line in actual)) is not None


def expected_status(expected: Sequence[str]) -> int:
    if not any(line.startswith(ERROR) for line in expected):
        return 0
    return 2 if any(line.startswith("usage:") for line in expected) else 1


def run(example: Example, cwd: Path) -> Optional[str]:
    """None when the example holds; otherwise what went wrong."""
    env = dict(os.environ)
    env["PATH"] = os.path.dirname(sys.executable) + os.pathsep + env.get("PATH", "")
    env["PYTHONUNBUFFERED"] = "1"  # standard output and error interleave as on a terminal
    env["COLUMNS"] = "80"
    try:
        done = subprocess.run(["bash", "-c", example.command], cwd=cwd, env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)
    except subprocess.TimeoutExpired:
        return "timed out after 300 s"
    actual = [line.rstrip() for line in done.stdout.decode("utf-8", "replace").splitlines()]
    problems = []
    if not matches(example.expected, actual):
        diff = difflib.unified_diff(example.expected, actual, "documented", "actual", lineterm="")
        problems.append("\n".join(diff))
    want = expected_status(example.expected)
    if done.returncode != want:
        problems.append(f"exit status {done.returncode}, expected {want}")
    return "\n".join(problems) or None


def default_documents() -> List[Path]:
    return [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.rst"))]


def check(documents: Sequence[Path]) -> int:
    """Runs every example of the documents; returns the number that failed."""
    failed = total = 0
    for document in documents:
        examples = extract(document)
        if not examples:
            continue
        with tempfile.TemporaryDirectory(prefix="shell-examples-") as scratch:
            shutil.copytree(ROOT / "examples" / "data", Path(scratch) / "examples" / "data")
            for example in examples:
                total += 1
                problem = run(example, Path(scratch))
                where = f"{os.path.relpath(document, ROOT)}:{example.line}"
                if problem is None:
                    print(f"ok    {where}: $ {example.command}")
                else:
                    failed += 1
                    print(f"FAIL  {where}: $ {example.command}\n{problem}")
    print(f"{total - failed} of {total} shell examples match")
    return failed


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("documents", nargs="*", type=Path,
                        help="documents to check (default: README.md and docs/*.rst)")
    args = parser.parse_args(argv)
    documents = [p.resolve() for p in args.documents] or default_documents()
    if shutil.which(TOOL, path=os.path.dirname(sys.executable)) is None:
        print(f"{TOOL} is not installed beside {sys.executable}", file=sys.stderr)
        return 1
    return 1 if check(documents) else 0


if __name__ == "__main__":
    sys.exit(main())
