"""kestrel-grid against awkward output paths, stopping signals and awkward inputs, run in
a subprocess as a shell would run it."""

import os
import re
import signal
import stat
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import kestrel_grid as kg
from kestrel_grid_tools import _io, cli, features

POSIX = pytest.mark.skipif(os.name == "nt", reason="needs POSIX links, FIFOs and signals")
ROOT = hasattr(os, "geteuid") and os.geteuid() == 0
SUMMARY = "kind,rule,samples,omitted,edges,mean_degree,max_degree\nnatural,recorded,4,0,6,3.0,3\n"
GRAPHML = "{http://graphml.graphdrawing.org/xmlns}"


def command(*args):
    return [sys.executable, "-m", "kestrel_grid_tools", *args]


def run(cwd, *args):
    return subprocess.run(command(*args), cwd=cwd, capture_output=True, timeout=120)


def temporaries(*directories):
    return [p.name for d in directories for p in d.iterdir() if ".tmp" in p.name]


@pytest.fixture
def walk(tmp_path):
    (tmp_path / "s.txt").write_text("3\n1\n2\n4\n")
    return tmp_path


@POSIX
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604])
@pytest.mark.parametrize("link", [False, True])
def test_existing_file_keeps_its_mode_and_a_link_keeps_pointing_at_it(walk, mode, link):
    target = walk / "keep" / "r.csv"
    target.parent.mkdir()
    target.write_text("old")
    target.chmod(mode)
    name = "keep/r.csv"
    if link:
        (walk / "r.csv").symlink_to("keep/r.csv")
        name = "r.csv"
    result = run(walk, "s.txt", "--format", "csv", "-o", name)
    assert (result.returncode, result.stderr) == (0, b"")
    assert target.read_text() == SUMMARY
    assert stat.S_IMODE(target.stat().st_mode) == mode
    if link:
        assert os.readlink(walk / "r.csv") == "keep/r.csv"
    assert temporaries(walk, target.parent) == []


@pytest.mark.skipif(not ROOT, reason="giving a file away needs root")
def test_existing_file_keeps_its_owner(walk):
    (walk / "r.csv").write_text("old")
    os.chown(walk / "r.csv", 4321, 4322)
    assert run(walk, "s.txt", "-o", "r.csv").returncode == 0
    found = (walk / "r.csv").stat()
    assert ((found.st_uid, found.st_gid), (walk / "r.csv").read_text()) == ((4321, 4322), SUMMARY)


@POSIX
def test_fifo_is_written_not_replaced(walk):
    fifo = walk / "f.csv"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        result = run(walk, "s.txt", "--format", "csv", "-o", "f.csv")
        chunks = []
        while chunk := os.read(reader, 65536):
            chunks.append(chunk)
    finally:
        os.close(reader)
    assert (result.returncode, result.stderr) == (0, b"")
    assert b"".join(chunks).decode() == SUMMARY
    assert stat.S_ISFIFO(fifo.lstat().st_mode)
    assert temporaries(walk) == []


@POSIX
def test_link_to_a_device_writes_to_the_device(walk):
    (walk / "null.csv").symlink_to(os.devnull)
    result = run(walk, "s.txt", "-o", "null.csv")
    assert (result.returncode, result.stderr) == (0, b"")
    assert os.readlink(walk / "null.csv") == os.devnull
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    assert temporaries(walk) == []


@pytest.mark.skipif(not os.path.exists("/dev/fd/1"), reason="no /dev/fd")
def test_descriptor_path_writes_to_the_open_descriptor(walk):
    result = run(walk, "s.txt", "--format", "csv", "-o", "/dev/fd/1")
    assert (result.returncode, result.stdout.decode(), result.stderr) == (0, SUMMARY, b"")


PROC_FD = pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="no /proc descriptors")


@PROC_FD
@pytest.mark.parametrize("path", ["/dev/stdout", "/dev/stderr", "/dev/fd/N"])
def test_a_descriptor_that_cannot_be_opened_again_is_written_through(walk, path):
    # Opening /proc/self/fd/N again fails for a socket (ENXIO), as it does for a pipe of
    # another user (EACCES); the shell's > /dev/stdout writes to the descriptor.
    import socket

    mine, theirs = socket.socketpair()
    with mine, theirs:
        streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, "pass_fds": ()}
        if path == "/dev/fd/N":
            path, streams["pass_fds"] = f"/dev/fd/{theirs.fileno()}", (theirs.fileno(),)
        else:
            streams[path[5:]] = theirs
        result = subprocess.run(command("s.txt", "--format", "csv", "-o", path), cwd=walk,
                                timeout=120, **streams)
        theirs.close()
        received = b"".join(iter(lambda: mine.recv(65536), b""))
    assert (result.returncode, received.decode()) == (0, SUMMARY), result.stderr


@PROC_FD
def test_a_descriptor_keeps_its_offset_and_stays_open(tmp_path):
    from kestrel_grid_tools._io import OutputFile

    log = tmp_path / "log.txt"
    log.write_text("kept\n")
    descriptor = os.open(log, os.O_WRONLY | os.O_APPEND)  # as the shell's >> opens it
    try:
        output = OutputFile(f"/dev/fd/{descriptor}")
        output.stream.write(b"added\n")
        output.commit()
        os.write(descriptor, b"more\n")
    finally:
        os.close(descriptor)
    assert log.read_text() == "kept\nadded\nmore\n"
    assert temporaries(tmp_path) == []


# Inputs that the precise parser reads: a comment between rows, a quoted cell, two comma
# columns in a file without a .csv suffix.
PIPED = [
    (b"3\n1\n# note\n2\n4\n", []), (b'a;b\n3;0\n"1";0\n2;0\n4;0\n', ["-c", "a"]), (b"a,b\n3,0\n1,0\n2,0\n4,0\n", ["-c", "a"]),
]


@POSIX
@pytest.mark.parametrize("content,args", PIPED)
def test_standard_input_by_path_is_read_once(tmp_path, content, args):
    result = subprocess.run(command("/dev/stdin", "--format", "csv", *args), cwd=tmp_path, input=content,
                            capture_output=True, timeout=120)
    assert (result.returncode, result.stderr, result.stdout.decode()) == (0, b"", SUMMARY)


@POSIX
@pytest.mark.parametrize("content,args,name", [(c, a, "in") for c, a in PIPED] + [
    (None, [], "in"), (None, [], "in.npy")])  # None: a .npy array
def test_a_fifo_is_read_once_whatever_parser_reads_it(tmp_path, monkeypatch, content, args, name):
    import io
    import threading

    from kestrel_grid_tools import _io

    monkeypatch.setattr(_io, "READ_BYTES", 16)  # the bulk reader gives up after a piece or more
    if content is None:
        saved = io.BytesIO()
        np.save(saved, np.array([3.0, 1.0, 2.0, 4.0]))
        content = saved.getvalue()
    fifo = tmp_path / name
    os.mkfifo(fifo)

    done = threading.Event()

    def feed():
        with open(fifo, "wb") as writer:
            writer.write(content)
        # A reader that opens the FIFO again would wait for a writer for ever: give it
        # an empty one, so that it fails instead.
        while not done.wait(2):
            try:
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            except OSError:  # no reader waiting
                pass

    writer = threading.Thread(target=feed)
    writer.start()
    try:
        [series] = _io.read_series([str(fifo)], args[1:])
    finally:
        done.set()
        writer.join(timeout=60)
    assert series.values.tolist() == [3.0, 1.0, 2.0, 4.0]


@POSIX
def test_a_npy_fifo_for_the_piecewise_horizontal_degrees_is_read_once(tmp_path):
    import threading

    saved = tmp_path / "v.npy"
    np.save(saved, np.array([3.0, 1.0, 2.0, 4.0]))
    os.mkfifo(tmp_path / "in.npy")

    def feed():
        with open(tmp_path / "in.npy", "wb") as writer:
            writer.write(saved.read_bytes())

    writer = threading.Thread(target=feed)
    writer.start()
    options = ["--kind", "horizontal", "--output", "distribution", "-o"]
    try:
        result = run(tmp_path, "in.npy", *options, "d.csv")
    finally:
        writer.join(timeout=60)
    assert (result.returncode, result.stderr) == (0, b"")
    assert run(tmp_path, "v.npy", *options, "e.csv").returncode == 0
    assert (tmp_path / "d.csv").read_text() == (tmp_path / "e.csv").read_text() == (
        "k,count,p\n0,0,0.0\n1,0,0.0\n2,2,0.5\n3,2,0.5\n")


OUTPUT_ERRORS = [
    ("d", "d: is a directory"),
    ("nodir/r.csv", "nodir/r.csv: directory nodir does not exist"),
    ("s.txt/r.csv", "s.txt/r.csv: not a directory"),
]
if not ROOT and os.name != "nt":
    OUTPUT_ERRORS += [
        ("ro/r.csv", "ro/r.csv: cannot create a temporary file in directory ro: permission denied"),
        ("locked.csv", "locked.csv: permission denied"),
    ]


@pytest.mark.parametrize("path,message", OUTPUT_ERRORS)
def test_unwritable_output_names_the_path(walk, path, message):
    (walk / "d").mkdir()
    (walk / "ro").mkdir(mode=0o555)
    (walk / "locked.csv").write_text("old")
    (walk / "locked.csv").chmod(0o444)
    result = run(walk, "s.txt", "-o", path)
    assert (result.returncode, result.stderr.decode()) == (1, f"kestrel-grid: error: {message}\n")
    assert (walk / "locked.csv").read_text() == "old"
    assert temporaries(walk, walk / "d", walk / "ro") == []


@pytest.fixture(scope="module")
def big(once_per_run):
    """Two million values: several seconds of reading, building and writing edges."""
    def write(directory):
        values = np.random.default_rng(1).random(2_000_000).tolist()
        (directory / "big.txt").write_text("\n".join(map(repr, values)) + "\n")

    return once_per_run("big", write) / "big.txt"


def wait_for_temporary(directory, child, written):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and child.poll() is None:
        found = [p for p in directory.iterdir() if ".tmp" in p.name]
        if found and (not written or found[0].stat().st_size > 0):
            return
        time.sleep(0.01)
    pytest.fail("the run did not start writing its output")


def default_signals():
    for signum in (signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)


@POSIX
@pytest.mark.parametrize("stage", ["reading", "writing"])
@pytest.mark.parametrize("name,status,message", [
    ("SIGINT", 130, "interrupted"),
    ("SIGTERM", 143, "stopped by SIGTERM"),
    ("SIGHUP", 129, "stopped by SIGHUP"),
])
def test_signal_keeps_the_old_file_and_leaves_no_temporary(tmp_path, big, stage, name, status,
                                                           message):
    (tmp_path / "out.csv").write_text("old\n")
    source = str(big)
    if stage == "reading":
        # A FIFO whose writer stays open holds the run in its read.
        source = "in.txt"
        os.mkfifo(tmp_path / source)
    # SIGINT and SIGHUP at their defaults in the child even when this run was started in
    # the background or under nohup (which ignore them, and the tool keeps an ignored
    # signal ignored). The float rule:
    # the values' 17-digit text would be decided with --rule exact and a note on stderr.
    with subprocess.Popen(command(source, "--output", "edges", "--rule", "float", "-o", "out.csv"),
                          cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          preexec_fn=default_signals) as child:
        feeder = open(tmp_path / source, "wb") if stage == "reading" else None
        try:
            if feeder is not None:
                feeder.write(b"1\n2\n")
                feeder.flush()
            wait_for_temporary(tmp_path, child, stage == "writing")
            child.send_signal(getattr(signal, name))
            if feeder is not None:
                # The signal may land on a helper thread (e.g. of the BLAS library), which
                # does not cut the main thread's read short: the end of the input ends it.
                time.sleep(0.2)
                feeder.close()
            out, err = child.communicate(timeout=120)
        finally:
            if feeder is not None:
                feeder.close()
    assert (child.returncode, err.decode()) == (status, f"kestrel-grid: {message}\n")
    assert temporaries(tmp_path) == []
    assert (tmp_path / "out.csv").read_text() == "old\n"


WIDE = ",".join(["1.5"] * 100_000)
ONE_ROW = ("only one data row: its {} numbers would be {} series of one sample each; "
           "{} for a single series, or pick columns with --column")
INPUT_ERRORS = [
    ("long.csv", 'a,b\n1,2\n3,"' + "x" * 200_000 + '"\n',
     "long.csv:3: a cell is longer than 131072 characters"),
    ("long.txt", "# first\n" + '"' + "1" * 200_000 + '",2\n3,4\n',
     "long.txt:2: a cell is longer than 131072 characters"),
    ("row.csv", WIDE + "\n", "row.csv:1: " + ONE_ROW.format(100_000, 100_000, "put one value per line")),
    ("row.txt", "# walk\n1 2 3\n", "row.txt:2: " + ONE_ROW.format(3, 3, "put one value per line")),
    ("row.csv", "a,b,c\n1,2,3\n", "row.csv:2: " + ONE_ROW.format(3, 3, "put one value per line")),
    ("row.npy", np.ones((1, 3)), "row.npy: " + ONE_ROW.format(3, 3, "save a 1-d array")),
]


@pytest.mark.parametrize("name,content,message", INPUT_ERRORS, ids=lambda v: str(v)[:20])
def test_awkward_input_fails_with_one_line(tmp_path, name, content, message):
    if isinstance(content, np.ndarray):
        np.save(tmp_path / name, content)
    else:
        (tmp_path / name).write_text(content)
    result = run(tmp_path, name, "-o", "r.csv")
    assert (result.returncode, result.stderr.decode()) == (1, f"kestrel-grid: error: {message}\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]


@pytest.mark.parametrize("content,args,samples", [
    ("a,b,c\n1,2,3\n", ["-c", "a,c"], [1, 1]),
    ("t,v\n0,5\n", ["--x", "t"], [1]),
])
def test_one_row_is_read_when_it_gives_one_series_or_columns_are_named(tmp_path, content, args,
                                                                       samples):
    (tmp_path / "row.csv").write_text(content)
    result = run(tmp_path, "row.csv", *args, "--format", "json", "-o", "r.json")
    assert (result.returncode, result.stderr) == (0, b"")
    assert (tmp_path / "r.json").read_text().count('"samples": 1') == len(samples)


@POSIX
def test_graphml_stays_well_formed_with_odd_headers_and_file_names(tmp_path):
    (tmp_path / "c.csv").write_text("a\x01b,c\td\x0be\n1,2\n3,4\n")
    try:
        (tmp_path / os.fsdecode(b"s\xff.txt")).write_text("3\n1\n2\n")
    except (OSError, UnicodeError):
        pytest.skip("the file system refuses a name that is not UTF-8")
    result = run(tmp_path, "c.csv", b"s\xff.txt", "--output", "edges", "-o", "g.graphml")
    assert (result.returncode, result.stderr) == (0, b"")
    graphs = [ET.parse(tmp_path / f"g-{n}.graphml").getroot().find(GRAPHML + "graph")
              for n in (1, 2, 3)]
    assert [g.get("id") for g in graphs] == ["c.csv:a\ufffdb", "c.csv:c\td\ufffde", "s\ufffd.txt:0"]
    assert [len(g.findall(GRAPHML + "edge")) for g in graphs] == [1, 1, 3]


def convex(path, n):
    """A parabola of n samples, one per line: every pair sees each other, so its natural
    graph is complete, n (n - 1) / 2 edges from a file of a few bytes a sample."""
    path.write_text("v\n" + "".join(f"{(k - n // 2) ** 2}\n" for k in range(n)))


@pytest.mark.parametrize("args", [
    ["--output", "edges", "-o", "r.csv"],
    ["--output", "edges", "-o", "r.graphml"],
    ["--output", "edges", "--weight", "slope", "--min-weight", "0", "-o", "r.npy"],
    ["--output", "edges", "--penetrable", "1", "-o", "r.json"],
    ["--output", "measures", "-o", "r.csv"],
    ["--output", "profile", "-o", "r.csv"],
    ["--output", "degrees", "--directed", "left_to_right", "-o", "r.csv"],
    ["--output", "summary", "--plot", "r.png"],
])
def test_a_graph_with_more_edges_than_allowed_is_refused_before_they_are_listed(tmp_path, args):
    convex(tmp_path / "c.csv", 300)
    result = run(tmp_path, "c.csv", "--max-edges", "44849", *args)
    assert (result.returncode, result.stderr.decode()) == (1, (
        "kestrel-grid: error: c.csv:v: the natural graph has 44850 edges, more than "
        "--max-edges 44849 (about 3.6 MB to list); use --output degrees or summary, which "
        "list no edges\n"))
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.csv"]


@pytest.mark.parametrize("args", [
    ["--max-edges", "44850", "--output", "edges"],  # the limit itself is allowed
    ["--max-edges", "0", "--output", "degrees"],  # lists no edge
    ["--max-edges", "598", "--output", "edges", "--kind", "horizontal"],  # at most 2n - 2
])
def test_graphs_within_the_edge_limit_are_listed(tmp_path, args):
    convex(tmp_path / "c.csv", 300)
    result = run(tmp_path, "c.csv", *args, "-o", "r.csv")
    assert (result.returncode, result.stderr) == (0, b"")
    assert (tmp_path / "r.csv").exists()


@pytest.mark.not_under_sanitizer("an address-space limit measures nothing beside ASan's shadow")
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads the size from /proc")
def test_edges_beyond_the_memory_left_are_refused_and_running_out_is_one_line(tmp_path):
    """Under an address-space limit 256 MiB above the interpreter's size, 18 million
    edges (a 49 KB file) are refused with their count and the memory they need; given
    --max-edges to try anyway, the build runs out of memory and says so in one line."""
    convex(tmp_path / "c.csv", 6000)
    (tmp_path / "r.csv").write_text("old")
    code = """
import resource, sys
from kestrel_grid_tools.cli import main
size = int(open('/proc/self/status').read().split('VmSize:')[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20),) * 2)
sys.exit(main(sys.argv[1:]))
"""
    for extra, message in [
        ([], r"c\.csv:v: the natural graph has 17997000 edges, about 1\.4 GB to list, more "
             r"than the \d+\.\d MB of memory available; use --output degrees or summary, "
             r"which list no edges, or set the limit with --max-edges N"),
        (["--max-edges", "10000000000"], r"out of memory while building c\.csv:v"),
    ]:
        result = subprocess.run([sys.executable, "-c", code, "c.csv", "--output", "edges",
                                 "-o", "r.csv", *extra], cwd=tmp_path, capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 1
        assert re.fullmatch(f"kestrel-grid: error: {message}\n", result.stderr), result.stderr
        assert sorted(p.name for p in tmp_path.iterdir()) == ["c.csv", "r.csv"]
        assert (tmp_path / "r.csv").read_text() == "old"


@pytest.mark.parametrize("owner, name, args, doing", [
    (cli, "read_series", [], "reading the inputs"),
    (_io, "_read_all", ["--x", "t"], "reading s.csv"),
    (features, "record_edges", [], "building s.csv:v"),
    (_io.DelimitedWriter, "write", [], "writing s.csv:v"),
    (_io.DelimitedWriter, "close", [], "writing"),
])
def test_running_out_of_memory_is_one_error_line_and_leaves_no_file(tmp_path, monkeypatch,
                                                                    capsys, owner, name, args,
                                                                    doing):
    def exhausted(*_, **__):
        raise MemoryError

    monkeypatch.setattr(owner, name, exhausted)
    (tmp_path / "s.csv").write_text("t,v\n0,3\n1,1\n2,2\n")
    monkeypatch.chdir(tmp_path)
    assert cli.main(["s.csv", "-c", "v", "--output", "edges", "-o", "r.csv", *args]) == 1
    assert capsys.readouterr().err == f"kestrel-grid: error: out of memory while {doing}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["s.csv"]


@pytest.mark.parametrize("kind", ["natural", "horizontal"])
def test_the_linear_bound_on_edges_is_never_below_the_graph(kind):
    """The bound that spares the count: ties, values near the ends of the doubles and
    a few ulps apart (where the float line may pass its higher end), uneven positions,
    either rule, and at once the exact count for a convex series."""
    rng = np.random.default_rng(7)
    for _ in range(400):
        n = int(rng.integers(2, 40))
        values = rng.integers(-3, 4, n) * rng.choice([1.0, 1e-310, 1e300])
        values = values * (1 + rng.integers(-2, 3, n) * 2.0 ** -52) if rng.random() < 0.5 else values
        x = np.cumsum(rng.random(n) + 1e-9) if rng.random() < 0.3 else None
        for exact in (False, True):
            edges = int(np.asarray(kg.graph_degrees(values, kind, x=x, exact=exact)).sum()) // 2
            assert edges <= cli._most_edges(values, kind), (values, x, exact)
    convex = (np.arange(300) - 150.0) ** 2
    assert cli._most_edges(convex, "natural") == 300 * 299 // 2
