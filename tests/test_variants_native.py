"""The variant builders' native cross-check: positions, penetrable visibility and the exact
natural rule against the literal reference procedure, on the generated families with
random increasing positions (integers, decimals, epoch seconds and nanoseconds,
subnormal gaps, overflowing extents) and L in 0..4; plus exact orientation signs."""

import subprocess

from test_native import build


def test_variant_builders_match_the_reference(tmp_path):
    program = build(tmp_path, "variants_check.cpp")
    run = subprocess.run([str(program), "4000", "7", "150"], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr[-4000:]
    assert run.stdout.strip().endswith("4000 cases, 0 failed"), run.stdout
