"""The entries that release the lock on several threads: the result is one thread's,
byte for byte, for every number of threads (short series are cut into as many chunks as
asked, so chunk boundaries fall on plateaus, NaN, infinities and one-sample chunks), the
literal rules agree, `threads` is checked in the module's wording, and a stop asked on
the calling thread ends every worker."""

import math
import signal
import sys
import time

import pytest

import kestrel_grid as kg
from kestrel_grid_tools._options import Options
from models import model_edges

np = pytest.importorskip("numpy")

NAN, INF = math.nan, math.inf


def families(n, seed):
    rng = np.random.default_rng(seed)
    walk = np.cumsum(rng.standard_normal(n))
    plateaus = np.repeat(rng.integers(0, 4, n), 3)[:n].astype(float)
    specials = rng.random(n)
    specials[rng.random(n) < 0.2] = NAN
    specials[rng.random(n) < 0.1] = INF
    specials[rng.random(n) < 0.1] = -INF
    return {
        "uniform": rng.random(n),
        "walk": walk,
        "plateaus": plateaus,
        "integers": rng.integers(0, 3, n).astype(float),
        "specials": specials,
        "all NaN": np.full(n, NAN),
        "constant": np.ones(n),
        "ramp up": np.arange(n, dtype=float),
        "ramp down": -np.arange(n, dtype=float),
        "near ties": 1.0 + rng.integers(0, 3, n) * 2.0**-52,
    }


ENTRIES = {
    "visibility_degrees": lambda v, t, skip: kg.visibility_degrees(v, skip, threads=t),
    "horizontal_visibility_degrees": lambda v, t, skip: kg.horizontal_visibility_degrees(v, skip, threads=t),
    "visibility_edge_array": lambda v, t, skip: kg.visibility_edge_array(v, skip, threads=t),
    "horizontal_visibility_edge_array":
        lambda v, t, skip: kg.horizontal_visibility_edge_array(v, skip, threads=t),
    "graph_edge_array natural": lambda v, t, skip: kg.graph_edge_array(
        v, skip_adjacent=skip, missing="keep", threads=t),
    "graph_degrees horizontal": lambda v, t, skip: kg.graph_degrees(
        v, "horizontal", skip_adjacent=skip, missing="keep", threads=t),
    "build_graph horizontal": lambda v, t, skip: kg.build_graph(
        v, "horizontal", skip_adjacent=skip, missing="keep", threads=t).edges_array(),
    "build_graph natural": lambda v, t, skip: kg.build_graph(
        v, skip_adjacent=skip, missing="keep", threads=t).edges_array(),
}


@pytest.mark.parametrize("family", list(families(1, 0)))
@pytest.mark.parametrize("name", list(ENTRIES))
def test_every_number_of_threads_gives_the_one_thread_result(name, family):
    entry = ENTRIES[name]
    for n, seed in ((1, 0), (2, 1), (5, 2), (13, 3), (64, 4), (301, 5)):
        v = families(n, seed)[family]
        skip = seed % 2 == 1
        one = entry(v, 1, skip).tobytes()
        for threads in (2, 3, 4, 7, None):
            assert entry(v, threads, skip).tobytes() == one, (n, threads)


@pytest.mark.parametrize("kind", ["natural", "horizontal"])
@pytest.mark.parametrize("family", ["plateaus", "specials", "near ties", "walk"])
def test_threads_agree_with_the_literal_rule(kind, family):
    v = families(40, 11)[family]
    expected = np.array(model_edges(v.tolist(), None, kind), dtype=np.int64).reshape(-1, 2)
    for threads in (1, 2, 3, 4):
        got = np.asarray(kg.graph_edge_array(v, kind, missing="keep", threads=threads))
        assert got.tolist() == expected.tolist(), threads


@pytest.mark.parametrize("kind", ["no ties", "ties", "specials"])
def test_long_series_split_among_threads_match_one_thread(kind):
    # Without NaN each chunk writes in one sweep, ending where the next begins unless ties
    # leave a gap, closed by moving the later chunks in pieces; with NaN the chunks count
    # first.
    rng = np.random.default_rng(7)
    v = np.cumsum(rng.standard_normal(300_000))
    if kind != "no ties":
        v = v.round(1)  # many exact ties
    if kind == "specials":
        v[rng.random(v.size) < 0.001] = NAN
        v[rng.random(v.size) < 0.001] = INF
    one = kg.horizontal_visibility_edge_array(v, threads=1).tobytes()
    degrees = kg.horizontal_visibility_degrees(v, threads=1).tobytes()
    for threads in (2, 3, None):
        assert kg.horizontal_visibility_edge_array(v, threads=threads).tobytes() == one
        assert kg.horizontal_visibility_degrees(v, threads=threads).tobytes() == degrees


@pytest.mark.parametrize("gaps", ["tail", "head", "one per chunk", "last sample"])
def test_gaps_anywhere_in_chunks_of_tie_free_noise(gaps):
    # Chunks sweep without knowing where NaN lies: one that meets a NaN, or starts from a
    # tail that is all NaN, must still leave the result to the counting path.
    v = np.random.default_rng(3).random(3000)
    where = {"tail": slice(1200, None), "head": slice(0, 5), "one per chunk": slice(100, None, 750),
             "last sample": slice(-1, None)}[gaps]
    v[where] = NAN
    for entry in (kg.horizontal_visibility_edge_array, kg.visibility_edge_array):
        one = entry(v, threads=1).tobytes()
        for threads in (2, 3, 4):
            assert entry(v, threads=threads).tobytes() == one, (entry, threads)


CALLS = {
    "visibility_degrees": lambda t: kg.visibility_degrees([1.0, 2.0], threads=t),
    "horizontal_visibility_edge_array": lambda t: kg.horizontal_visibility_edge_array([1.0], threads=t),
    "build_graph": lambda t: kg.build_graph([1.0, 2.0], threads=t),
    "graph_degrees": lambda t: kg.graph_degrees([1.0, 2.0], "horizontal", threads=t),
    "graph_edge_array": lambda t: kg.graph_edge_array([1.0, 2.0], penetrable=1, threads=t),
    "Options": lambda t: Options(threads=t),
}


@pytest.mark.parametrize("value, error, message", [
    (0, ValueError, "threads must be >= 1, not 0"),
    (-3, ValueError, "threads must be >= 1, not -3"),
    (True, TypeError, "threads must be None or an int, not bool"),
    (2.0, TypeError, "threads must be None or an int, not float"),
    ("2", TypeError, "threads must be None or an int, not str"),
])
@pytest.mark.parametrize("name", list(CALLS))
def test_threads_is_checked_in_the_module_wording(name, value, error, message):
    with pytest.raises(error) as caught:
        CALLS[name](value)
    assert str(caught.value) == message


@pytest.mark.parametrize("name", list(CALLS))
def test_threads_accepts_numpy_ints_huge_values_and_none(name):
    for value in (np.int64(2), 10**30, None, 1):
        CALLS[name](value)
    assert Options(threads=np.int32(3)).build_arguments()["threads"] == 3


@pytest.mark.parametrize("tame", [True, False])
def test_natural_rows_shared_out_match_one_thread(tame):
    # Tame values: the chain's lists are shared by the threads; an infinity sends the
    # whole series to the scan, one per thread.
    rng = np.random.default_rng(9)
    v = np.cumsum(rng.standard_normal(40_000)).round(2)
    if not tame:
        v[1234] = INF
        v[rng.random(v.size) < 0.001] = NAN
    one = kg.graph_edge_array(v, missing="keep", threads=1).tobytes()
    degrees = kg.graph_degrees(v, missing="keep", threads=1).tobytes()
    for threads in (2, 3):
        assert kg.graph_edge_array(v, missing="keep", threads=threads).tobytes() == one
        assert kg.graph_degrees(v, missing="keep", threads=threads).tobytes() == degrees


@pytest.mark.parametrize("skip", [False, True])
def test_natural_edges_mostly_across_the_cuts(skip):
    # Two falling arcs, the second far above the first: each half's own graph is a path,
    # and every sample of the first half also sees the second half's first sample, so no
    # list of the first half ends at the cut.
    n = 400_000
    t = np.arange(n // 2) / (n // 2)
    v = np.concatenate([-t * t, 1e3 - t * t])
    one = kg.visibility_edge_array(v, skip, threads=1)
    assert len(one) == 3 * n // 2 - 2 - (n - 1 if skip else 0)
    for threads in (2, 3):
        assert kg.visibility_edge_array(v, skip, threads=threads).tobytes() == one.tobytes()


@pytest.mark.parametrize("rising", [False, True])
def test_natural_seen_past_the_cut_where_the_lines_are_lowest(rising):
    # The first half bends down, so each of its samples sees the next one and no other of
    # it; the second half lies far below but for one sample, just above the line from
    # every first-half sample through the next one where that line is lowest past the
    # cut: at the cut when it rises, at the last sample when it falls. It is seen from
    # every sample of the first half, and lies below those lines at the other end.
    n = 20_000
    k = np.arange(n // 2, dtype=float)
    v = np.concatenate([(1.0 if rising else -1.0) * k - 1e-6 * k * k, np.full(n - n // 2, -4.0 * n)])
    at = n // 2 if rising else n - 1
    slopes = v[1 : n // 2] - v[: n // 2 - 1]
    v[at] = np.max(v[: n // 2 - 1] + slopes * (at - k[:-1])) + 1.0
    one = kg.visibility_edge_array(v, threads=1)
    edges = np.asarray(one)
    assert np.count_nonzero((edges[:, 1] == at) & (edges[:, 0] < n // 2)) == n // 2
    for threads in (2, 3, 4):
        assert kg.visibility_edge_array(v, threads=threads).tobytes() == one.tobytes()


def even_cuts(n, threads):
    """Where the chunks of a series of n samples start for `threads` (all but the first)."""
    threads = min(threads, n)
    return [n // threads * k + min(k, n % threads) for k in range(1, threads)]


def at_every_cut(v, threads, spot):
    """v with `spot` put around every chunk start for `threads` threads."""
    v = v.copy()
    top, bottom = float(np.max(v)) + 1.0, float(np.min(v)) - 1.0
    for c in even_cuts(v.size, threads):
        before, after = max(c - 2, 0), min(c + 2, v.size)
        if spot == "tie":
            v[c] = v[c - 1]
        elif spot == "near tie":
            v[c] = np.nextafter(v[c - 1], INF)
        elif spot == "plateau":
            v[before:after] = v[before]
        elif spot == "line across":  # exact doubles on one line: the cut's neighbours block
            v[before:after] = v[before] + 0.5 * np.arange(after - before)
        elif spot == "peak before":
            v[c - 1] = top
        elif spot == "peak after":
            v[c] = top
        elif spot == "valley before":
            v[c - 1] = bottom
        else:  # a non-finite sample just before or at the cut
            v[c - 1 if c % 2 else c] = {"NaN": NAN, "+inf": INF, "-inf": -INF}[spot]
    return v


@pytest.mark.parametrize("spot", ["tie", "near tie", "plateau", "line across", "peak before",
                                  "peak after", "valley before", "NaN", "+inf", "-inf"])
@pytest.mark.parametrize("base", ["uniform", "walk"])
def test_natural_chunk_boundaries_at_tricky_spots(base, spot):
    # n = 2 and 3 cut after the first sample and before the last; the long walk has
    # thousands of edges across each cut.
    for n, seed in ((2, 0), (3, 1), (7, 2), (40, 3), (501, 4), (20_000, 5)):
        for threads in (2, 3, 4):
            v = at_every_cut(families(n, seed)[base], threads, spot)
            skip = seed % 2 == 1
            one = kg.visibility_edge_array(v, skip, threads=1)
            assert kg.visibility_edge_array(v, skip, threads=threads).tobytes() == one.tobytes()
            assert kg.visibility_degrees(v, skip, threads=threads).tobytes() == \
                kg.visibility_degrees(v, skip, threads=1).tobytes()
            if n <= 40:
                assert np.asarray(one).tolist() == [list(e) for e in model_edges(v.tolist(), None, skip_adjacent=skip)]


LONG = {
    # Every NaN sees every other: about 4.5e10 pairs, far more than the alarm allows.
    "horizontal, NaN": lambda: kg.horizontal_visibility_degrees(np.full(300_000, NAN), threads=3),
    # A dense natural graph: tens of seconds on the scan.
    "natural, dense": lambda: kg.graph_degrees(np.sin(np.arange(300_000) * 1e-4), threads=2),
}


@pytest.mark.parametrize("name", list(LONG))
def test_a_stop_asked_on_the_calling_thread_ends_the_workers(name):
    x = np.full(300_000, NAN)

    class Stopped(Exception):
        pass

    def handler(signum, frame):
        raise Stopped("alarm")

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        before = sys.getrefcount(x)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        started = time.monotonic()
        with pytest.raises(Stopped, match="^alarm$"):
            LONG[name]()
        assert time.monotonic() - started < 10
        assert sys.getrefcount(x) == before
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # The workers are gone and nothing is left half-done: the next call is whole.
    y = x[:2000]
    assert kg.horizontal_visibility_degrees(y, threads=3).tobytes() == \
        kg.horizontal_visibility_degrees(y, threads=1).tobytes()


def gapped(n, seed, layout):
    """A series with NaN gaps laid out as named, on noise, a walk or few levels (ties)."""
    rng = np.random.default_rng(seed)
    v = [rng.random(n), np.cumsum(rng.standard_normal(n)), rng.integers(0, 3, n).astype(float)][seed % 3]
    if layout == "one":
        v[n // 2] = NAN
    elif layout == "few":
        v[rng.choice(n, 3, replace=False)] = NAN
    elif layout == "many":
        v[rng.random(n) < 0.4] = NAN
    elif layout == "runs":
        for start in rng.choice(n - 8, 4, replace=False):
            v[start:start + rng.integers(2, 8)] = NAN
    else:  # at both ends
        v[:3] = NAN
        v[-4:] = NAN
    return v


@pytest.mark.parametrize("layout", ["one", "few", "many", "runs", "ends"])
@pytest.mark.parametrize("skip", [False, True])
def test_gaps_left_out_build_on_threads_as_on_one(layout, skip):
    # The kept samples stand at their indices: the float rule at positions, on the threads.
    # _natural_edges_from takes one thread and the scan alone: the result to match.
    for seed in range(12):
        v = gapped(int(np.random.default_rng(seed).integers(9, 300)), seed, layout)
        kept = ~np.isnan(v)
        one = kg._natural_edges_from(v[kept], "natural", x=np.flatnonzero(kept).astype(float),
                                     skip_adjacent=skip, first_high=0)
        degrees = np.bincount(np.asarray(one).ravel(), minlength=int(kept.sum()))
        for threads in (1, 2, 3, 4):
            edges = kg.graph_edge_array(v, missing="omit", skip_adjacent=skip, threads=threads)
            assert np.array_equal(edges, one)
            assert np.array_equal(kg.graph_degrees(v, missing="omit", skip_adjacent=skip, threads=threads), degrees)
            built = kg.build_graph(v, missing="omit", skip_adjacent=skip, threads=threads)
            assert np.array_equal(built.edges_array(), one)


@pytest.mark.parametrize("family", ["walk", "plateaus", "near ties", "specials"])
def test_given_positions_build_on_threads_as_the_literal_rule(family):
    v = families(120, 7)[family]
    x = np.cumsum(np.random.default_rng(8).random(len(v)) + 0.01)
    expected = np.array(model_edges(v.tolist(), x.tolist()), dtype=np.int64).reshape(-1, 2)
    for threads in (1, 2, 3, 4):
        assert np.array_equal(kg.graph_edge_array(v, x=x, missing="keep", threads=threads), expected)
