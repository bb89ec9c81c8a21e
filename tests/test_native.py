"""Builds the interpreter-free core with the host C++ compiler and runs its native checks."""

import os
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FLAGS = ["-std=c++20", "-O1", "-ffp-contract=off", "-Wall", "-Wextra"]


def compiler():
    """$CXX when it names a program that exists, else g++ or c++ from PATH."""
    for command in (shlex.split(os.environ.get("CXX", "")), ["g++"], ["c++"]):
        found = command and shutil.which(command[0])
        if found:
            return [found, *command[1:]]
    return None


def test_core_checks_pass(tmp_path):
    cxx = compiler()
    if cxx is None:
        pytest.skip("no C++ compiler found (set CXX or install g++)")
    if not (ROOT / "src" / "core").is_dir():
        pytest.skip("source tree not present")
    sources = [*sorted((ROOT / "src" / "core").glob("*.cpp")),
               ROOT / "tests" / "native" / "test_core.cpp"]
    program = tmp_path / ("test_core.exe" if os.name == "nt" else "test_core")
    build = subprocess.run([*cxx, *FLAGS, "-I", str(ROOT / "src"), *map(str, sources),
                            "-o", str(program)], capture_output=True, text=True)
    assert build.returncode == 0, build.stdout + build.stderr
    run = subprocess.run([str(program)], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.strip().endswith(" 0 failed"), run.stdout
