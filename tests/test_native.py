"""Builds the interpreter-free core with the host C++ compiler and runs its native checks:
the unit checks, and a short cross-check of the fast builders against the reference
procedures (tools/cross_check.py runs the long one), and the natural stream against the
batch build."""

import os
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
# The exactness flags of every build of the core, from their one file.
EXACTNESS_FLAGS = (ROOT / "src" / "core" / "exactness.flags").read_text().split()
FLAGS = ["-std=c++20", "-O2", *EXACTNESS_FLAGS, "-Wall", "-Wextra"]
EXTRA_FLAGS = shlex.split(os.environ.get("KESTREL_NATIVE_FLAGS", ""))


def compiler():
    """$CXX when it names a program that exists, else g++ or c++ from PATH."""
    for command in (shlex.split(os.environ.get("CXX", "")), ["g++"], ["c++"]):
        found = command and shutil.which(command[0])
        if found:
            return [found, *command[1:]]
    return None


def build(tmp_path, main_source):
    cxx = compiler()
    if cxx is None:
        pytest.skip("no C++ compiler found (set CXX or install g++)")
    if not (ROOT / "src" / "core").is_dir():
        pytest.skip("source tree not present")
    sources = [*sorted((ROOT / "src" / "core").glob("*.cpp")), ROOT / "tests" / "native" / main_source]
    program = tmp_path / Path(main_source).stem
    built = subprocess.run([*cxx, *FLAGS, *EXTRA_FLAGS, "-I", str(ROOT / "src"),
                            *map(str, sources), "-o", str(program)],
                           capture_output=True, text=True)
    assert built.returncode == 0, built.stdout + built.stderr
    return program


def test_core_checks_pass(tmp_path):
    run = subprocess.run([str(build(tmp_path, "test_core.cpp"))], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip().endswith(" 0 failed"), run.stdout


def test_fast_builders_match_the_reference(tmp_path):
    # 24 families, both rules, both skip_adjacent values, sub-graphs and motif scores.
    program = build(tmp_path, "cross_check.cpp")
    run = subprocess.run([str(program), "12000", "7", "1500"], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    assert run.stdout.strip().endswith("12000 series, 0 failed"), run.stdout


def test_natural_stream_matches_the_batch_build(tmp_path):
    # Every family at x_k = k and at six kinds of positions, fed one sample at a time and in
    # random pieces, with and without skip_adjacent; edges and degrees after the pieces.
    program = build(tmp_path, "natural_stream_check.cpp")
    run = subprocess.run([str(program), "4000", "7", "200"], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    assert run.stdout.strip().endswith("4000 cases, 0 failed"), run.stdout


def test_horizontal_stream_matches_the_whole_series_build(tmp_path):
    # Random pieces (often one sample), ties, NaN and +-inf, listing and counting, the
    # state saved and restored on the way.
    program = build(tmp_path, "horizontal_stream_check.cpp")
    run = subprocess.run([str(program), "4000", "5", "600"], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    assert run.stdout.strip().endswith("4000 series, 0 failed"), run.stdout
