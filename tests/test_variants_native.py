"""The variant builders' native cross-check: positions, penetrable visibility and the exact
natural rule against the literal reference procedure, on the generated families with
random increasing positions (integers, decimals, epoch seconds and nanoseconds,
subnormal gaps, overflowing extents) and L in 0..4; plus exact orientation signs. A
second run draws every series from the family whose rises overflow (by a rounding tie
too), with tiny and huge gaps beside its huge values."""

import subprocess

import pytest

from test_native import build


@pytest.fixture(scope="module")
def program(once_per_run):
    """The cross-check program, compiled once for every run below (and for every worker)."""
    return once_per_run("variants", lambda directory: build(directory, "variants_check.cpp")) \
        / "variants_check"


@pytest.mark.parametrize("arguments", [
    ["4000", "7", "150"],
    ["40000", "7", "40", "overflowing rises"],
    ["20000", "11", "150", "all", "exact:0"],
    ["400", "13", "700", "all", "exact:0"],
    ["6000", "17", "60", "all", "exact:30"],
    ["1500", "23", "600", "all", "exact:1"],
    ["6000", "19", "60", "all", "float:30"],
], ids=["all families", "overflowing rises", "exact rule, L = 0", "exact rule, L = 0, long series",
        "exact rule, L = 30", "exact rule, L = 1, long series", "float rule, L = 30"])
def test_variant_builders_match_the_reference(program, arguments):
    run = subprocess.run([str(program), *arguments], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    assert run.stdout.strip().endswith(f"{arguments[0]} cases, 0 failed"), run.stdout
