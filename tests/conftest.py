"""Suite-wide settings.

`slow` marks the long runs: the native cross-checks, signals and Ctrl-C sent to child
processes, the allocation-failure sweep over the import, reference-leak loops over every
entry, mypy and stubtest, and the Dask cluster of worker processes. They are skipped
unless pytest runs with `--run-slow` (or with a `-m` expression that asks for `slow`),
so that `python -m pytest` stays quick; CI runs them in a step of their own. Besides
tests that carry the mark themselves, it is put on the tests listed in `SLOW`: a test
function, or every test of the file that uses the named fixture.

`not_under_sanitizer(reason)` marks a test whose measurement means nothing under
AddressSanitizer; it is skipped when KESTREL_SANITIZER=1 (set by tools/sanitize.sh) and
runs normally otherwise. Besides tests that carry the mark themselves, it is put on the
tests listed in `SANITIZER_CONFLICTS`.

Out-of-memory tests do run under the sanitizer: tools/sanitize.sh makes ASan's
operator new throw std::bad_alloc again, and RLIMIT_AS still limits its large mappings.

The suite runs as it is or on several workers with pytest-xdist (`-n 2`, as CI does).
`serial(reason)` marks a test that times something or depends on how the machine
schedules threads, so that other tests running beside it could fail it: on workers it
runs while no other worker runs a test (see `pytest_runtest_protocol`). The fixture
`once_per_run` makes a costly artefact (a compiled program, a large file) once for all
workers.
"""

import contextlib
import os
import re
import tempfile
from pathlib import Path

import pytest

try:
    import fcntl
except ImportError:  # not POSIX: tests on workers are not kept apart there
    fcntl = None

SANITIZED = os.environ.get("KESTREL_SANITIZER") == "1"

# (file, test function, reason)
SANITIZER_CONFLICTS = [
    ("test_graph.py", "test_memory_stays_flat_over_many_graphs_and_reads",
     "peak RSS grows with ASan's quarantine of freed blocks (256 MiB) and its shadow "
     "pages, not with the module's heap"),
    ("test_stream.py", "test_a_file_longer_than_memory_is_built_in_bounded_memory",
     "ASan reserves terabytes of address space for its shadow, so an address-space limit "
     "measures nothing"),
    ("test_stream.py", "test_one_long_series_on_a_cluster",
     "Dask worker processes under the sanitizer runtime; the join across chunks is "
     "checked in process by the chunking test"),
]

# (file, test function or fixture, why it is slow)
SLOW = [
    ("test_native.py", "test_core_checks_pass", "compiles and runs the native checks"),
    ("test_native.py", "test_fast_builders_match_the_reference", "native cross-check"),
    ("test_variants_native.py", "test_variant_builders_match_the_reference", "native cross-check"),
    ("test_variants.py", "test_entries_leave_no_references_or_objects_behind", "leak loop"),
    ("test_variants.py", "test_long_series_with_timestamps_and_limits_against_the_pair_model",
     "long series against the cubic model"),
    ("test_frame.py", "test_calls_release_every_argument_reference", "leak loop"),
    ("test_reliability.py", "test_running_out_of_memory_during_import_is_memory_error_never_an_abort",
     "allocation-failure sweep over the whole import"),
    ("test_cli_files.py", "test_signal_keeps_the_old_file_and_leaves_no_temporary",
     "signals sent to the tool inside long runs"),
    ("test_interrupts.py", "test_a_daemon_thread_inside_a_build_does_not_abort_the_exit",
     "child processes inside long builds"),
    ("test_interrupts.py", "test_ctrl_c_stops_a_long_build_within_a_fraction_of_a_second",
     "Ctrl-C sent to child processes inside long builds"),
    ("test_interrupts.py", "test_ctrl_c_stops_the_command_line_tool_inside_a_build",
     "Ctrl-C sent to the tool inside a long build"),
    ("test_interrupts.py", "test_an_edge_array_is_never_held_twice",
     "peak memory of large edge arrays in child processes"),
    ("test_typing.py", "test_mypy_strict_sees_the_stub_types", "runs mypy"),
    ("test_typing.py", "test_stubtest_finds_the_stubs_consistent", "runs stubtest"),
    ("test_many.py", "client", "a Dask cluster of worker processes"),
    ("test_stream.py", "client", "a Dask cluster of worker processes"),
    ("test_stream.py", "test_a_file_longer_than_memory_is_built_in_bounded_memory",
     "writes and reads a 240 MB file under an address-space limit"),
]


def pytest_addoption(parser):
    parser.addoption("--run-slow", action="store_true", default=False,
                     help="also run the tests marked slow (skipped by default)")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_under_sanitizer(reason): skipped in the ASan/UBSan pass (tools/sanitize.sh)")
    config.addinivalue_line(
        "markers", "serial(reason): on pytest-xdist workers, runs while no other test runs")


def _slow_requested(config):
    # `-m slow` or `-m "slow and ..."` asks for them; `-m "not slow"` does not.
    expression = config.getoption("markexpr") or ""
    return config.getoption("--run-slow") or re.search(r"(?<!not )\bslow\b", expression) is not None


def pytest_collection_modifyitems(config, items):
    run_slow = _slow_requested(config)
    modules = {}
    for item in items:
        modules.setdefault(item.path.name, getattr(item, "module", None))
        for filename, function, reason in SANITIZER_CONFLICTS:
            if item.path.name == filename and item.originalname == function:
                item.add_marker(pytest.mark.not_under_sanitizer(reason))
        for filename, name, _ in SLOW:
            if item.path.name == filename and name in (item.originalname, *item.fixturenames):
                item.add_marker(pytest.mark.slow)
        marker = item.get_closest_marker("not_under_sanitizer")
        if SANITIZED and marker is not None:
            reason = marker.args[0] if marker.args else marker.kwargs.get("reason", "")
            item.add_marker(pytest.mark.skip(reason="under the sanitizer: " + reason))
        if not run_slow and item.get_closest_marker("slow") is not None:
            item.add_marker(pytest.mark.skip(reason="slow: python -m pytest --run-slow runs it"))
    if hasattr(config, "workerinput"):
        # On pytest-xdist workers the slow tests, the long ones among them, go first (in
        # their order): the tests are handed out in order, and a long one handed out last
        # would keep its worker busy long after the other has run out of work.
        items.sort(key=lambda item: item.get_closest_marker("slow") is None)
    # A renamed test would silently leave the lists; name it instead.
    for filename, name, _ in SANITIZER_CONFLICTS + SLOW:
        shared = name in globals()  # a fixture defined here
        if filename in modules and not hasattr(modules[filename], name) and not shared:
            raise pytest.UsageError(f"tests/conftest.py names {filename}::{name}, which does not exist")


class _Turns:
    """Keeps `serial` tests apart from all others on pytest-xdist workers, with two file
    locks in the session's temporary root (shared by the workers of one run). Every test
    holds the main lock shared from its setup (module fixtures included) to its teardown;
    a serial test holds it exclusively. A worker that waits for the exclusive lock holds
    the gate, which the others take and drop before each shared lock, so they cannot keep
    it waiting forever. Outside workers, and without fcntl, nothing is locked."""

    def __init__(self):
        self.files = None

    def open(self, config):
        if self.files is None:
            basetemp = getattr(config.option, "basetemp", None)
            if fcntl is None or not hasattr(config, "workerinput") or not basetemp:
                self.files = ()
            else:
                root = Path(basetemp).parent  # the workers' basetemps are popen-gw<N> in it
                self.files = tuple(open(root / f"serial-tests.{name}", "a")
                                   for name in ("gate", "lock"))
        return self.files

    def close(self):
        for f in self.files or ():
            f.close()
        self.files = None

    @contextlib.contextmanager
    def turn(self, item):
        files = self.open(item.config)
        if not files:
            yield
            return
        gate, lock = (f.fileno() for f in files)
        alone = item.get_closest_marker("serial") is not None
        fcntl.flock(gate, fcntl.LOCK_EX)
        if not alone:
            fcntl.flock(gate, fcntl.LOCK_UN)
        fcntl.flock(lock, fcntl.LOCK_EX if alone else fcntl.LOCK_SH)
        try:
            yield
        finally:
            fcntl.flock(lock, fcntl.LOCK_UN)
            if alone:
                fcntl.flock(gate, fcntl.LOCK_UN)


_turns = _Turns()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    with _turns.turn(item):
        yield


def pytest_unconfigure(config):
    _turns.close()


@pytest.fixture(scope="session")
def once_per_run(tmp_path_factory):
    """`once_per_run(name, make)` returns the directory `name`, filled by `make(directory)`
    once for the whole run: on pytest-xdist workers the first to ask makes it in the
    session's temporary root while the others wait for it, then all share it."""
    root = tmp_path_factory.getbasetemp()
    shared = fcntl is not None and os.environ.get("PYTEST_XDIST_WORKER") is not None
    if shared:
        root = root.parent  # the workers' basetemps are popen-gw<N> in it

    def made(name, make):
        target = root / name
        with open(root / f"{name}.lock", "a") as lock:
            if shared:
                fcntl.flock(lock.fileno(), fcntl.LOCK_EX)
            if not target.is_dir():
                # Made aside and renamed: a make that fails leaves no half-made directory.
                scratch = Path(tempfile.mkdtemp(prefix=f"{name}.", dir=root))
                make(scratch)
                scratch.rename(target)
        return target

    return made


@pytest.fixture(scope="module")
def client():
    """A Dask client on a local cluster of two worker processes, for the tests of one
    file (a cluster kept across files would close itself while other files run).
    Loopback only, no dashboard, bounded; worker processes prove the package imports
    there. The scheduler closes itself when idle and the workers follow it, so nothing
    outlives a crashed session."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=2, processes=True, host="127.0.0.1",
        dashboard_address=None, memory_limit="512MiB", death_timeout="30s",
        # The scheduler's HTTP server (health and metrics routes) runs even without the
        # dashboard, on port 8787 of every interface unless told otherwise: a free loopback
        # port keeps two clusters at once (two test workers, two runs) from competing for it.
        scheduler_kwargs={"idle_timeout": "60s", "dashboard_address": "127.0.0.1:0"},
    )
    client = distributed.Client(cluster, timeout="30s")
    yield client
    client.close(timeout=30)
    cluster.close(timeout=30)
