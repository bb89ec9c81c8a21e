"""Graphs built piece by piece (streams, files read in pieces, the command line on long
.npy files) against the whole-series builders."""

import itertools
import os
import pickle
import subprocess
import sys
import threading

import numpy as np
import pytest

import kestrel_grid as kg
from kestrel_grid_tools import (
    HorizontalStream,
    NaturalStream,
    StreamUpdate,
    horizontal_out_of_core,
    natural_out_of_core,
)
from kestrel_grid_tools.stream import (
    MissingSampleError,
    _stretch_start,
    horizontal_dask,
    natural_dask,
)

SCRIPT = os.path.join(os.path.dirname(sys.executable), "kestrel-grid")


def families(rng, n):
    """Series where joining pieces is easy to get wrong: plateaus and ties (a record
    equal to a later sample), NaN runs (NaN sees NaN over anything), infinities, a
    falling series (every sample stays a record) and a rising one (none does)."""
    ties = np.round(rng.random(n) * 3)
    gaps = rng.random(n)
    gaps[rng.random(n) < 0.3] = np.nan
    wild = np.round(rng.random(n) * 3)
    wild[rng.random(n) < 0.25] = np.nan
    wild[rng.random(n) < 0.05] = np.inf
    wild[rng.random(n) < 0.05] = -np.inf
    return {
        "noise": rng.random(n), "ties": ties, "gaps": gaps, "wild": wild,
        "falling": -np.arange(n, dtype=float), "rising": np.arange(n, dtype=float),
        "constant": np.full(n, 2.0), "all-nan": np.full(n, np.nan),
    }


def random_pieces(rng, values):
    if len(values) < 2:
        return [values]
    cuts = rng.choice(np.arange(1, len(values)), size=min(len(values) - 1, 6), replace=False)
    return np.split(values, np.sort(cuts))


def sorted_edges(edges):
    return edges[np.lexsort((edges[:, 1], edges[:, 0]))]


@pytest.mark.parametrize("skip", [False, True])
@pytest.mark.parametrize("listing", [True, False])
def test_a_stream_gives_the_whole_series_graph_on_every_cutting(skip, listing):
    rng = np.random.default_rng(11)
    for _ in range(40):
        n = int(rng.integers(1, 40))
        for name, values in families(rng, n).items():
            stream = HorizontalStream(skip_adjacent=skip)
            found, degree = [], np.zeros(n, dtype=np.int64)
            settled = np.zeros(n, dtype=bool)
            for number, piece in enumerate(random_pieces(rng, values)):
                if number == 1:  # a monitor stops and resumes
                    stream = pickle.loads(pickle.dumps(stream))
                update = stream.extend(piece, edges=listing)
                assert not settled[update.positions].any(), name  # a final degree stays
                settled[update.positions[update.settled]] = True
                degree[update.positions] = update.degrees
                found.append(update.edges)
                if listing and len(update.edges):  # each call's edges in builder order
                    assert (sorted_edges(update.edges) == update.edges).all()
            positions, pending = stream.pending_degrees()
            degree[positions] = pending
            assert (degree == np.asarray(kg.horizontal_visibility_degrees(values, skip))).all(), name
            if listing:
                expected = np.asarray(kg.horizontal_visibility_edge_array(values, skip))
                assert (sorted_edges(np.concatenate(found)) == expected).all(), name
            assert len(stream) == n


def test_appending_one_sample_at_a_time_and_state_bound():
    values = np.array([5.0, 1.0, np.nan, 3.0, 3.0, 0.5, 4.0, np.nan, 2.0])
    stream = HorizontalStream()
    edges = np.concatenate([stream.append(float(v)).edges for v in values])
    assert (sorted_edges(edges) == np.asarray(kg.horizontal_visibility_edge_array(values))).all()
    # Pending: the records 5, 4, 2 and the two NaN samples, nothing else.
    assert stream.pending.tolist() == [0, 2, 6, 7, 8]


@pytest.mark.parametrize("make, degrees", [
    (HorizontalStream, kg.horizontal_visibility_degrees),
    (NaturalStream, kg.visibility_degrees),
])
def test_a_stream_is_shared_between_threads_one_call_at_a_time(make, degrees):
    rng = np.random.default_rng(3)
    pieces = [np.round(rng.random(500) * 9) for _ in range(40)]
    stream = make()
    found = []

    def work(k):
        for piece in pieces[k::4]:
            found.append((piece, stream.extend(piece, edges=False)))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    # Each call took its piece whole: the pieces' places follow from the positions.
    found.sort(key=lambda pair: pair[1].positions[-1])
    values = np.concatenate([piece for piece, _ in found])
    degree = np.zeros(values.size, dtype=np.int64)
    for _, update in found:
        degree[update.positions] = update.degrees
    positions, pending = stream.pending_degrees()
    degree[positions] = pending
    assert (degree == np.asarray(degrees(values))).all()


def natural_families(rng, n):
    """The horizontal families, and what the natural rule adds: walks (far records seen
    from the end), straight and convex lines (every sample on a chord, or none), values
    one ulp apart, integers too large for exact differences, subnormals, huge values
    whose differences overflow, and decimals."""
    found = families(rng, n)
    k = np.arange(n, dtype=float)
    found.update({
        "walk": np.cumsum(rng.standard_normal(n)), "line": 0.1 * k, "convex": k ** 2,
        "trend": 0.3 * k + rng.random(n), "ulps": 1 + rng.integers(0, 3, n) * 2.0 ** -52,
        "big-integers": rng.integers(0, 4, n) * 2.0 ** 52 + rng.integers(0, 3, n),
        "subnormal": rng.integers(0, 4, n) * 5e-324,
        "huge": rng.random(n) * 1e305 * rng.choice([-1, 1], n),
        "decimals": np.round(rng.random(n) * 10, 1),
    })
    return found


@pytest.mark.parametrize("options", [
    {}, {"skip_adjacent": True}, {"exact": True}, {"penetrable": 1}, {"positions": True},
    {"decimals": 1},
], ids=lambda options: ",".join(options) or "plain")
@pytest.mark.parametrize("listing", [True, False])
def test_a_natural_stream_gives_the_whole_series_graph_on_every_cutting(options, listing):
    rng = np.random.default_rng(17)
    build = {key: value for key, value in options.items() if key != "positions"}
    for trial in range(30):
        n = int(rng.integers(1, 45))
        x = np.cumsum(rng.random(n) * 10.0 ** rng.integers(-3, 4, n) + 1e-3)
        x = x if options.get("positions") else None
        for name, values in natural_families(rng, n).items():
            if "decimals" in options and name not in ("decimals", "ties", "falling", "rising"):
                continue
            stream = NaturalStream(**options)
            found = []
            pieces = (np.split(np.arange(n), np.arange(1, n)) if trial % 3 == 0
                      else random_pieces(rng, np.arange(n)))
            for number, where in enumerate(pieces):
                if number == 1:  # a monitor stops and resumes
                    stream = pickle.loads(pickle.dumps(stream))
                update = stream.extend(values[where], x=None if x is None else x[where],
                                       edges=listing)
                assert not update.settled.any()
                found.append(update.edges)
                if listing and len(update.edges):
                    assert (sorted_edges(update.edges) == update.edges).all()
            expected = kg.graph_degrees(values, kind="natural", x=x, missing="keep", **build)
            assert (stream.pending_degrees()[1] == np.asarray(expected)).all(), name
            if listing:
                expected = kg.graph_edge_array(values, kind="natural", x=x, missing="keep",
                                               **build)
                assert (sorted_edges(np.concatenate(found)) == np.asarray(expected)).all(), name


@pytest.mark.parametrize("kind", ["noise", "walk"])
def test_a_natural_stream_rebuilds_only_what_a_new_sample_may_see(kind):
    rng = np.random.default_rng(8)
    values = rng.random(20_000) if kind == "noise" else np.cumsum(rng.standard_normal(20_000))
    stream = NaturalStream()
    stream.extend(values[:-50])
    stretches = []
    for k in range(len(values) - 50, len(values)):
        start = _stretch_start(values[:k], stream._records, values[k:k + 1],
                               lambda j: np.asarray(j, dtype=float), float(k), float(k),
                               False, stream._largest)
        farthest = int(stream.append(values[k]).edges[:, 0].min())
        assert start <= farthest
        stretches.append(k - start)
    assert np.mean(stretches) < 0.05 * len(values)  # not the whole series each time


def test_natural_stream_refusals_name_stream_positions_and_change_nothing():
    stream = NaturalStream(positions=True, decimals=1)
    stream.extend([1.0, 0.5, 2.0], x=[0.0, 1.0, 2.5])
    for call, error, message in [
        (lambda: stream.extend([1.0], x=[2.5]), ValueError,
         "x must be strictly increasing: x[3] = 2.5 is not greater than x[2] = 2.5"),
        (lambda: stream.extend([1.0, 0.25], x=[3.0, 4.0]), ValueError,
         "time_series[4] = 0.25 is not a decimal with at most 1 places and 15 digits"),
        (lambda: stream.extend([1.0]), TypeError,
         "a stream made with positions=True needs x for every call"),
        (lambda: stream.extend([1.0], x=[3.0, 4.0]), ValueError,
         "x must have one position per sample: 2 for 1"),
        (lambda: NaturalStream().append(1.0, x=3.0), TypeError,
         "x is given to a stream made without positions=True"),
        (lambda: NaturalStream(penetrable=-1), ValueError, "penetrable must be >= 0, not -1"),
    ]:
        with pytest.raises(error) as caught:
            call()
        assert str(caught.value) == message
    assert len(stream) == 3 and stream.pending_degrees()[1].tolist() == [2, 2, 2]
    assert stream.append(0.5, x=3.0).edges.tolist() == [[2, 3]]


def test_a_natural_stream_keeps_sixteen_bytes_a_sample():
    stream = NaturalStream()
    for piece in np.array_split(np.random.default_rng(2).random(100_000), 50):
        stream.extend(piece, edges=False)
    state = stream.__getstate__()
    held = sum(value.nbytes for value in state.values() if isinstance(value, np.ndarray))
    assert held <= 16 * len(stream) + 8 * 64  # values, degrees, and a few records


@pytest.mark.parametrize("bad, error, message", [
    (np.zeros((2, 2)), ValueError, "a piece of a series must be 1-d, not 2-d"),
    ("abc", ValueError, "could not convert string to float: 'abc'"),
])
def test_bad_pieces_are_refused_and_leave_the_stream_as_it_was(bad, error, message):
    stream = HorizontalStream()
    stream.extend([1.0, 2.0])
    with pytest.raises(error) as caught:
        stream.extend(bad)
    assert str(caught.value) == message
    assert len(stream) == 2 and stream.extend([0.5]).edges.tolist() == [[1, 2]]


def source_kinds(tmp_path, values):
    path = tmp_path / "series.npy"
    np.save(path, values)
    return {
        "path": str(path),
        "array": values,
        "memmap": np.load(path, mmap_mode="r"),
        "pieces": iter(np.array_split(values, 4)),
    }


@pytest.mark.parametrize("rule", ["horizontal", "natural"])
@pytest.mark.parametrize("missing", ["keep", "omit"])
@pytest.mark.parametrize("kind", ["path", "array", "memmap", "pieces"])
def test_out_of_core_files_equal_the_in_memory_build(tmp_path, kind, missing, rule):
    rng = np.random.default_rng(5)
    values = np.round(rng.random(3000) * 5, 1)
    values[rng.random(3000) < 0.1] = np.nan
    source = source_kinds(tmp_path, values)[kind]
    build = horizontal_out_of_core if rule == "horizontal" else natural_out_of_core
    result = build(source, degrees=str(tmp_path / "d.npy"), edges=str(tmp_path / "e.npy"),
                   missing=missing, piece=257)
    where = np.arange(values.size) if missing == "keep" else np.flatnonzero(~np.isnan(values))
    degree = np.asarray(kg.graph_degrees(values, kind=rule, missing=missing))
    edges = np.asarray(kg.graph_edge_array(values, kind=rule, missing=missing))
    assert (np.load(tmp_path / "d.npy") == degree).all()
    assert (sorted_edges(np.load(tmp_path / "e.npy")) == where[edges]).all()
    assert (result.samples, result.edges) == (where.size, len(edges))
    assert (result.distribution == np.bincount(degree)).all()


@pytest.mark.parametrize("options", [{"exact": True}, {"decimals": 1}, {"penetrable": 2}])
def test_natural_out_of_core_takes_the_builders_options(tmp_path, options):
    values = np.round(np.random.default_rng(6).random(2000) * 5, 1)
    result = natural_out_of_core(values, edges=str(tmp_path / "e.npy"), piece=300, **options)
    edges = np.asarray(kg.graph_edge_array(values, kind="natural", **options))
    assert (sorted_edges(np.load(tmp_path / "e.npy")) == edges).all()
    assert result.edges == len(edges)


@pytest.mark.parametrize("missing", ["keep", "omit"])
def test_natural_out_of_core_lists_a_dense_graph_in_bounded_parts(tmp_path, monkeypatch, missing):
    """Every sample of a convex series sees every earlier one: a piece's edges are split
    into parts near the budget instead of being listed at once."""
    from kestrel_grid_tools import stream as streams
    monkeypatch.setattr(streams, "_HELD_EDGES_OUT_OF_CORE", 5000)
    listed = []
    extend = streams.NaturalStream.extend
    monkeypatch.setattr(streams.NaturalStream, "extend",
                        lambda self, *a, **k: listed.append(extend(self, *a, **k)) or listed[-1])
    values = np.linspace(-1, 1, 1500) ** 2
    values[::97] = np.nan
    result = natural_out_of_core(values, edges=str(tmp_path / "e.npy"), missing=missing, piece=1000)
    where = np.arange(values.size) if missing == "keep" else np.flatnonzero(~np.isnan(values))
    edges = np.asarray(kg.graph_edge_array(values, kind="natural", missing=missing))
    assert (sorted_edges(np.load(tmp_path / "e.npy")) == where[edges]).all()
    assert result.edges == len(edges) > 50 * 5000
    assert max(len(update.edges) for update in listed) <= 4 * 5000


def test_out_of_core_missing_raise_names_the_sample_and_writes_nothing(tmp_path):
    values = np.ones(1000)
    values[700] = np.nan
    target = tmp_path / "d.npy"
    with pytest.raises(MissingSampleError) as caught:
        horizontal_out_of_core(values, degrees=str(target), missing="raise", piece=100)
    assert (str(caught.value), caught.value.index) == ("missing sample at index 700", 700)
    assert os.listdir(tmp_path) == []


def test_a_file_longer_than_memory_is_built_in_bounded_memory(tmp_path):
    """Under an address-space limit of the interpreter's own size plus 160 MiB, the
    degree distribution of a 240 MB file is computed, and loading that file is not."""
    path = tmp_path / "long.npy"
    values = np.lib.format.open_memmap(path, mode="w+", dtype=np.float64, shape=(30_000_000,))
    rng = np.random.default_rng(1)
    for start in range(0, values.size, 5_000_000):
        values[start:start + 5_000_000] = rng.random(5_000_000)
    values.flush()
    del values
    code = f"""
import resource
import numpy as np
from kestrel_grid_tools import horizontal_out_of_core
size = int(open('/proc/self/status').read().split('VmSize:')[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (160 << 20),) * 2)
result = horizontal_out_of_core({str(path)!r})
print(result.samples, int(result.distribution.sum()))
try:
    np.load({str(path)!r})
except MemoryError:
    print("too long to load")
"""
    environment = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=environment)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["30000000 30000000", "too long to load"]


def claiming_npy(path, shape, data=b"\0" * 800):
    """An .npy file whose header claims ``shape`` float64 values, followed by ``data``."""
    text = "{'descr': '<f8', 'fortran_order': False, 'shape': %r, }" % (shape,)
    body = text.ljust(117) + "\n"
    path.write_bytes(b"\x93NUMPY\x01\x00" + len(body).to_bytes(2, "little") + body.encode()
                     + data)


# The readers of .npy files, as the subprocess below calls them on `path`.
NPY_READERS = {
    "natural": "natural_out_of_core(path, degrees=path + '.d.npy')",
    "horizontal": "horizontal_out_of_core(path, degrees=path + '.d.npy')",
    "command line": "main([path, '--output', 'summary'])",
}


@pytest.mark.not_under_sanitizer("an address-space limit measures nothing beside ASan's shadow")
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads the size from /proc")
@pytest.mark.parametrize("shape, claimed", [
    ((10**9,), "1000000000 samples"),
    ((10**12,), "1000000000000 samples"),
    ((1, 2**63 - 1), "9223372036854775807 values"),  # accepted as 1-d by the piece reader
    ((2**40, 2**40), "1208925819614629174706176 values"),  # its size overflows int64
])
def test_npy_headers_claiming_more_than_the_file_holds_are_refused_at_once(tmp_path, shape,
                                                                          claimed):
    """A 928-byte file whose header claims a huge array is refused by every reader with
    the count it claims, under an address-space limit of 512 MiB above the interpreter's
    size: nothing is reserved for the claim. Through a pipe, whose size is unknown, the
    natural builder grows its buffers as samples arrive and finds the end the same way."""
    path = tmp_path / "short.npy"
    claiming_npy(path, shape)
    code = f"""
import contextlib, io, os, resource, sys, threading
from kestrel_grid_tools import horizontal_out_of_core, natural_out_of_core
from kestrel_grid_tools.cli import main
size = int(open('/proc/self/status').read().split('VmSize:')[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20),) * 2)
def outcome(call, path):
    errors = io.StringIO()
    try:
        with contextlib.redirect_stderr(errors):
            return repr(eval(call))
    except ValueError as error:
        return str(error)
    finally:
        sys.stdout.write(errors.getvalue())
path = {str(path)!r}
for call in {list(NPY_READERS.values())!r}:
    print(outcome(call, path))
if {len(shape) == 1}:
    pipe = path + '.pipe'
    os.mkfifo(pipe)
    data = open(path, 'rb').read()
    threading.Thread(target=lambda: open(pipe, 'wb').write(data)).start()
    print(outcome("natural_out_of_core(path)", pipe))
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    refusal = f"the file ends before its {claimed} (it holds 100)"
    assert done.stdout.splitlines() == [
        f"{path}: {refusal}", f"{path}: {refusal}", f"kestrel-grid: error: {path}: {refusal}",
        "1",  # the command line's exit status
    ] + [f"{path}.pipe: the file ends before its {claimed}"] * (len(shape) == 1)


@pytest.mark.parametrize("options, output", [
    (["--output", "degrees"], "d.npy"),
    (["--output", "degrees", "--missing", "keep", "--skip-adjacent"], "d.npy"),
    (["--output", "distribution"], "p.csv"),
    (["--output", "distribution", "--missing", "keep"], "p.json"),
    (["--output", "distribution"], None),  # to standard output
    (["--output", "summary", "--skip-adjacent"], None),
    (["--output", "summary", "--format", "json", "--missing", "keep"], "s.json"),
    (["--output", "degrees", "--format", "csv"], "d.csv"),  # omitted rows keep their index
    (["--output", "degrees", "--format", "tsv", "--missing", "keep"], None),
])
def test_the_command_line_reads_long_npy_files_in_pieces_with_the_same_results(tmp_path, options,
                                                                                output):
    rng = np.random.default_rng(2)
    values = np.round(rng.random(5000) * 4, 1)
    values[rng.random(5000) < 0.1] = np.nan
    np.save(tmp_path / "s.npy", values)
    # The same series as text takes the in-memory path.
    (tmp_path / "s.csv").write_text(
        "v\n" + "".join("NaN\n" if np.isnan(v) else f"{float(v)!r}\n" for v in values))
    printed = []
    for name, target in (("s.npy", output), ("s.csv", output and "text-" + output)):
        to = ["-o", target] if target else []
        rule = ["--rule", "float"] if name.endswith(".csv") else []  # the .npy input's rule
        done = subprocess.run([SCRIPT, name, "--kind", "horizontal", *rule, *options, *to],
                              cwd=tmp_path, capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        printed.append(done.stdout.replace(name + (":0" if name.endswith(".npy") else ":v"), "S"))
    if output is None:
        assert printed[0] == printed[1] and printed[0]
    elif output.endswith(".npy"):
        assert (np.load(tmp_path / output) == np.load(tmp_path / ("text-" + output))).all()
    else:
        pieces = (tmp_path / output).read_text().replace("s.npy:0", "S")
        assert pieces == (tmp_path / ("text-" + output)).read_text().replace("s.csv:v", "S")


def dask_cases(rng):
    """(series, chunk sizes): random cuts, chunks of one sample, cuts inside plateaus,
    at NaN runs and between near-ties."""
    ties = np.array([2.0, 2.0, 2.0, 1.0, 2.0, 2.0, 3.0, 3.0, 1.0, 3.0])
    near = np.array([1.0, np.nextafter(1.0, 2.0), 1.0, np.nextafter(1.0, 0.0), 1.0, 0.5, 1.0])
    gaps = np.array([1.0, np.nan, np.nan, 0.5, np.nan, 2.0, np.inf, np.nan, 0.25, 1.0])
    yield ties, (1,) * ties.size
    yield ties, (2, 3, 1, 4)
    yield near, (1, 1, 2, 1, 2)
    yield gaps, (2, 1, 2, 3, 2)
    for _ in range(30):
        n = int(rng.integers(1, 50))
        values = np.round(rng.random(n) * 3)
        values[rng.random(n) < 0.2] = np.nan
        cuts = np.sort(rng.choice(np.arange(1, n), size=min(n - 1, 5), replace=False)) if n > 1 else []
        yield values, tuple(np.diff(np.concatenate([[0], cuts, [n]])).astype(int).tolist())


def natural_dask_cases(rng):
    """The natural families cut at random, into chunks of one sample now and then."""
    for n in (3, 30):
        for name, values in natural_families(rng, n).items():
            sizes = ((1,) * n if name in ("walk", "ties") else
                     tuple(len(part) for part in random_pieces(rng, values)))
            yield name, values, sizes


@pytest.mark.parametrize("rule, options", [
    ("horizontal", {}), ("horizontal", {"skip_adjacent": True}),
    ("natural", {}), ("natural", {"skip_adjacent": True}), ("natural", {"exact": True}),
    ("natural", {"penetrable": 1}), ("natural", {"decimals": 1}),
], ids=lambda value: value if isinstance(value, str) else ",".join(value) or "plain")
def test_one_series_on_dask_equals_the_whole_build_on_every_chunking(tmp_path, rule, options):
    da = pytest.importorskip("dask.array")
    rng = np.random.default_rng(8)
    if rule == "horizontal":
        cases = [(None, values, sizes) for values, sizes in dask_cases(rng)]
        build, kind = horizontal_dask, {"kind": "horizontal", "missing": "keep"}
    else:
        fixed = [(None, values, sizes) for values, sizes in itertools.islice(dask_cases(rng), 4)]
        cases = fixed + list(natural_dask_cases(rng))
        build, kind = natural_dask, {"kind": "natural", "missing": "keep"}
    for number, (name, values, sizes) in enumerate(cases):
        if "decimals" in options and name not in ("decimals", "ties", "falling", "rising"):
            continue
        folder = tmp_path / str(number)
        folder.mkdir()
        degrees = build(da.from_array(values, chunks=(sizes,)), edges_dir=str(folder), **options)
        assert degrees.chunks == (sizes,)
        found = degrees.compute(scheduler="sync")
        assert (found == np.asarray(kg.graph_degrees(values, **kind, **options))).all(), name
        edges = np.concatenate([np.load(path) for path in folder.iterdir()])
        expected = np.asarray(kg.graph_edge_array(values, **kind, **options))
        assert (sorted_edges(edges) == expected).all(), (name, values, sizes)
        if rule == "natural":  # degrees alone are counted without listing a pair
            alone = build(da.from_array(values, chunks=(sizes,)), **options)
            assert (alone.compute(scheduler="sync") == found).all(), name


def test_natural_dask_gathers_what_each_chunk_may_see(monkeypatch):
    da = pytest.importorskip("dask.array")
    import kestrel_grid_tools.stream as stream_module

    chunk = stream_module._natural_chunk
    starts = {}

    def spy(blocks, first_offset, start, offset, *rest):
        starts[offset] = start
        return chunk(blocks, first_offset, start, offset, *rest)

    monkeypatch.setattr(stream_module, "_natural_chunk", spy)
    walk = np.cumsum(np.random.default_rng(12).standard_normal(60_000))
    degrees = natural_dask(da.from_array(walk, chunks=4_000)).compute(scheduler="sync")
    assert (degrees == np.asarray(kg.graph_degrees(walk, kind="natural"))).all()
    edges = np.asarray(kg.graph_edge_array(walk, kind="natural"))
    reach = []
    for offset, start in starts.items():
        lows = edges[(edges[:, 1] >= offset) & (edges[:, 1] < offset + 4_000), 0]
        assert start <= lows.min()
        reach.append((offset - start) / 4_000)
    assert np.median(reach) < 3  # chunks before each chunk, not the series so far


def test_natural_dask_refusals_name_series_positions():
    da = pytest.importorskip("dask.array")
    values = np.array([1.5, 2.5, 0.5, 3.25, 1.0, 2.0])
    with pytest.raises(ValueError) as whole:
        kg.graph_degrees(values, kind="natural", decimals=1)
    degrees = natural_dask(da.from_array(values, chunks=2), decimals=1)
    with pytest.raises(ValueError) as chunked:
        degrees.compute(scheduler="sync")
    assert str(chunked.value) == str(whole.value) == (
        "time_series[3] = 3.25 is not a decimal with at most 1 places and 15 digits")


def test_one_long_series_on_a_cluster(client):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(9)
    values = np.round(rng.random(200_000) * 100)
    frame = dd.from_pandas(pd.DataFrame({"value": values}), npartitions=7)
    degrees = horizontal_dask(frame).compute()
    assert (degrees == np.asarray(kg.horizontal_visibility_degrees(values))).all()
    walk = np.cumsum(rng.standard_normal(50_000))
    frame = dd.from_pandas(pd.DataFrame({"value": walk}), npartitions=7)
    degrees = natural_dask(frame).compute()
    assert (degrees == np.asarray(kg.graph_degrees(walk, kind="natural"))).all()


def test_horizontal_updates_are_stream_updates_with_numpy_arrays():
    stream = HorizontalStream()
    stream.extend([3.0, 1.0])
    update = stream.append(np.float32(2.0))
    assert isinstance(update, StreamUpdate)
    assert update.edges is update.edges  # made once, when first read
    assert update.edges.dtype == np.int64 and update.edges.tolist() == [[0, 2], [1, 2]]
    assert update.positions.tolist() == [0, 1, 2] and update.degrees.tolist() == [2, 2, 2]
    assert update.settled.dtype == np.bool_ and update.settled.tolist() == [False, True, False]
    assert stream.extend([], edges=False).edges.shape == (0, 2)
    made = StreamUpdate(edges=update.edges, positions=[1], degrees=[2], settled=[True])
    assert made.positions == [1] and "StreamUpdate(edges=array(" in repr(made)


def two_records_swapped():
    stream = HorizontalStream()
    stream.extend([3.0, 1.0])
    state = bytearray(stream._state.__getstate__())
    first, second = 40 + 8, 40 + 24 + 8  # the two records' values
    state[first:first + 8], state[second:second + 8] = state[second:second + 8], state[first:first + 8]
    return bytes(state)


@pytest.mark.parametrize("state", [
    b"", b"not a state at all", b"KGHSTR01" + np.array([0, 1, 0, 0], np.int64).tobytes(),
    two_records_swapped(), "text",
])
def test_a_horizontal_stream_refuses_a_state_it_cannot_reach_and_keeps_its_own(state):
    stream = HorizontalStream()
    stream.extend([3.0, 1.0, np.nan])
    with pytest.raises((ValueError, TypeError)):
        stream._state.__setstate__(state)
    assert stream.append(2.0).edges.tolist() == [[0, 3], [1, 3], [2, 3]]


@pytest.mark.parametrize("call", [
    lambda stream: stream.append("1.0"),
    lambda stream: stream.append(None),
    lambda stream: stream._state.join_outward([1.0, 2.0], np.array([5, 5]).tobytes()),
    lambda stream: stream._state.join_outward([1.0], np.array([0]).tobytes()),
])
def test_refused_samples_leave_a_horizontal_stream_as_it_was(call):
    stream = HorizontalStream()
    stream.extend([3.0, 1.0])
    with pytest.raises((TypeError, ValueError)):
        call(stream)
    assert len(stream) == 2 and stream.append(2.0).edges.tolist() == [[0, 2], [1, 2]]
