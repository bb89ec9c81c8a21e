"""The natural float rule where no error margin can decide a pair: rises that overflow,
values on the subnormal grid, positions and values spread over hundreds of binades. Every
entry and thread count must give the literal model's graph (tests/models.py)."""

import zlib

import numpy as np
import pytest

import kestrel_grid as kg
from models import model_edges

MAX = np.finfo(float).max
N = 110


def _picks(rng, n):
    # Most rises between these overflow to +-inf.
    return rng.choice([MAX, -MAX, 1.7e308, -1.7e308, 1e308, 0.0, np.nan], n,
                      p=[0.16, 0.16, 0.16, 0.16, 0.16, 0.16, 0.04])


def _walk_over_range(rng, n):
    walk = np.cumsum(rng.standard_normal(n))
    return ((walk - walk.min()) / (walk.max() - walk.min()) * 2 - 1) * MAX


def _subnormal_levels(rng, n):
    v = rng.integers(0, 9, n) * 5e-324
    v[rng.random(n) < 0.03] = np.nan
    return v


def _binades(rng, n):
    return np.geomspace(1e-300, 1e300, n) * (1 + 0.1 * rng.random(n))


FAMILIES = {
    "picks near the double's ends": (_picks, None),
    "walk over the double's range": (_walk_over_range, None),
    "subnormal levels": (_subnormal_levels, None),
    "subnormal levels at even positions": (_subnormal_levels, lambda n: 0.25 * np.arange(n) - 3),
    "picks at positions over many binades": (_picks, lambda n: np.geomspace(1e-300, 1e300, n)),
    "values over many binades at their positions": (_binades, lambda n: np.geomspace(1e-300, 1e300, n)),
    "collinear over many binades": (lambda rng, n: np.geomspace(1e-300, 1e300, n),
                                    lambda n: np.geomspace(1e-300, 1e300, n)),
}


@pytest.mark.parametrize("family", sorted(FAMILIES))
@pytest.mark.parametrize("penetrable", [0, 2])
def test_edges_and_degrees_follow_the_literal_rule(family, penetrable):
    make, positions = FAMILIES[family]
    rng = np.random.default_rng(zlib.crc32(family.encode()) + penetrable)
    for seed in range(2):
        v = make(rng, N - 37 * seed)
        x = None if positions is None else positions(len(v))
        expected = model_edges(v.tolist(), None if x is None else x.tolist(), penetrable=penetrable)
        options = dict(x=x, penetrable=penetrable, missing="keep")
        for threads in (1, 2, 3):
            got = np.asarray(kg.graph_edge_array(v, threads=threads, **options))
            assert [tuple(e) for e in got.tolist()] == expected, (family, seed, threads)
            degrees = np.asarray(kg.graph_degrees(v, threads=threads, **options))
            assert np.array_equal(degrees, np.bincount(np.ravel(got), minlength=len(v)))
        skipped = np.asarray(kg.graph_edge_array(v, skip_adjacent=True, **options))
        assert [tuple(e) for e in skipped.tolist()] == [e for e in expected if e[1] != e[0] + 1]
