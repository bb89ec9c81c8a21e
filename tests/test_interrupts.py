"""The lock-releasing builders under signals, interpreter exit and tight memory: Ctrl-C
stops a long build within a fraction of a second, a daemon thread inside a build never
aborts the process at exit, a length that raises KeyboardInterrupt is not swallowed,
edge arrays are never held twice, and numpy bools are taken where a flag is."""

import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import kestrel_grid as kg

np = pytest.importorskip("numpy")

# Entries that release the interpreter lock, each with a call that runs long enough.
RELEASING = {
    "graph_degrees": "kg.graph_degrees(x, 'horizontal')",
    "graph_edge_array": "kg.graph_edge_array(x, 'horizontal')",
    "build_graph": "kg.build_graph(x, 'horizontal')",
    "visibility_degrees": "kg.visibility_degrees(x)",
    "horizontal_visibility_edge_array": "kg.horizontal_visibility_edge_array(x)",
}


def default_sigint():
    # A run started in the background ignores SIGINT, and children inherit that.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def child(code, **kwargs):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint, **kwargs)


@pytest.mark.parametrize("call", sorted(RELEASING.values()), ids=sorted(RELEASING))
def test_a_daemon_thread_inside_a_build_does_not_abort_the_exit(call):
    process = child(f"""
        import threading, time
        import numpy as np, kestrel_grid as kg
        x = np.random.default_rng(0).random(200_000)
        def worker():
            while True:
                {call}
        for _ in range(2):
            threading.Thread(target=worker, daemon=True).start()
        time.sleep(0.3)
        print("main returns")
    """)
    out, err = process.communicate(timeout=120)
    assert (process.returncode, out, err) == (0, "main returns\n", "")


# Each runs for tens of seconds or more when not stopped.
LONG_BUILDS = {
    "natural degrees, dense graph": "kg.graph_degrees(np.sin(np.arange(300_000) * 1e-4))",
    "natural edges, penetrable, cubic": "kg.graph_edge_array(np.arange(20_000.0) ** 2 % 7, "
                                        "penetrable=20_000)",
    "exact rule, positions, a blocker": "kg.graph_degrees(np.sin(np.arange(300_000) * 1e-3), "
                                        "x=np.arange(300_000.0) * 0.5, exact=True, penetrable=1)",
    "original degree builder": "kg.visibility_degrees(np.sin(np.arange(300_000) * 1e-4))",
}


@pytest.mark.not_under_sanitizer("times a stop; instrumented builds are many times slower")
@pytest.mark.serial("times a stop: other tests beside it would slow the child's exit")
@pytest.mark.parametrize("call", LONG_BUILDS.values(), ids=list(LONG_BUILDS))
def test_ctrl_c_stops_a_long_build_within_a_fraction_of_a_second(call):
    process = child(f"""
        import sys
        import numpy as np, kestrel_grid as kg
        print("ready", flush=True)
        {call}
        print("finished", flush=True)
    """)
    assert process.stdout.readline() == "ready\n"
    time.sleep(0.5)  # well inside the build
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    latency = time.monotonic() - sent
    assert "finished" not in out
    assert process.returncode == -signal.SIGINT, err  # KeyboardInterrupt uncaught
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    # The core asks at least every 50 ms; the rest is process exit on a busy machine.
    assert latency < 3.0, latency


@pytest.mark.not_under_sanitizer("times a stop; instrumented builds are many times slower")
@pytest.mark.serial("times a stop and assumes the reading is over after three seconds")
def test_ctrl_c_stops_the_command_line_tool_inside_a_build(tmp_path):
    source = tmp_path / "smooth.csv"
    np.savetxt(source, np.sin(np.arange(300_000) * 1e-4), header="v", comments="")
    target = tmp_path / "out.csv"
    target.write_text("old\n")
    # The float rule: savetxt writes 19 digits, which the default rule would decide with
    # --rule exact and a note on standard error.
    process = subprocess.Popen([sys.executable, "-m", "kestrel_grid_tools", str(source),
                                "--column", "v", "--rule", "float", "-o", str(target)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=default_sigint)
    time.sleep(3)  # reading takes about a second; the build tens of seconds
    sent = time.monotonic()
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    assert (process.returncode, err) == (130, "kestrel-grid: interrupted\n")
    assert time.monotonic() - sent < 3.0
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.csv", "smooth.csv"]
    assert target.read_text() == "old\n"


def test_a_signal_handler_error_stops_the_build_and_is_raised_unchanged():
    x = np.sin(np.arange(300_000) * 1e-4)

    class TookTooLong(Exception):
        pass

    def handler(signum, frame):
        raise TookTooLong("stopped by the alarm")

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        before = sys.getrefcount(x)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        started = time.monotonic()
        with pytest.raises(TookTooLong, match="^stopped by the alarm$"):
            kg.graph_degrees(x)
        assert time.monotonic() - started < 10
        assert sys.getrefcount(x) == before
        # A handler that does not raise lets the build finish with the full result.
        signal.signal(signal.SIGALRM, lambda *_: None)
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        y = x[:20_000]
        assert kg.graph_degrees(y).tobytes() == kg.visibility_degrees(y).tobytes()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


class Sized:
    """A sequence whose __len__ raises the given exception."""

    def __init__(self, error):
        self.error = error

    def __len__(self):
        raise self.error

    def __getitem__(self, k):
        if k < 3:
            return float(k)
        raise IndexError(k)


ALL_SERIES_ENTRIES = [
    lambda s: kg.build_visibility_graph(s),
    lambda s: kg.indices_are_visible(s, 0, 2),
    lambda s: kg.horizontal_window_motif_scores(s, 2),
    lambda s: kg.visibility_degrees(s),
    lambda s: kg.build_graph(s, "horizontal"),
    lambda s: kg.graph_edge_array([0.0, 1.0, 2.0], x=s),
]


@pytest.mark.parametrize("entry", ALL_SERIES_ENTRIES)
@pytest.mark.parametrize("error", [KeyboardInterrupt("len"), SystemExit(3), GeneratorExit()])
def test_a_length_that_raises_a_base_exception_stops_the_call(entry, error):
    with pytest.raises(type(error)) as caught:
        entry(Sized(error))
    assert caught.value is error


@pytest.mark.parametrize("entry", ALL_SERIES_ENTRIES)
def test_a_length_that_raises_an_ordinary_error_only_loses_the_hint(entry):
    entry(Sized(RuntimeError("no length")))  # the three items are read by iteration


PEAK_CHILD = """
    import numpy as np, kestrel_grid as kg
    def status(field):  # this process's own memory in bytes (ru_maxrss may count the parent's)
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field))
    n = {n}
    v = np.arange(float(n)) ** 2      # convex: every pair of samples sees each other
    call = lambda: {call}
    before = status("VmRSS:")
    e = call()
    peak = status("VmHWM:")
    assert len(e) == n * (n - 1) // 2
    print(peak - before, len(e) * 16)
"""


@pytest.mark.not_under_sanitizer("the sanitizer's quarantine and shadow memory count in RSS")
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="reads /proc")
@pytest.mark.parametrize("call", [
    "kg.graph_edge_array(v)",
    "kg.visibility_edge_array(v)",
    "kg.visibility_edge_array(v, threads=2)",
    "kg.graph_edge_array(v, threads=3)",
    "kg.graph_edge_array(v, x=np.arange(float(n)) * 0.25)",
    "kg.graph_edge_array(v, exact=True)",
    "kg.graph_edge_array(v, 'horizontal', penetrable=n)",
])
def test_an_edge_array_is_never_held_twice(call):
    process = child(PEAK_CHILD.format(n=4000, call=call))
    out, err = process.communicate(timeout=300)
    assert process.returncode == 0, err
    growth, result = map(int, out.split())
    # The result (128 MB here) plus O(n) working memory, never a second copy.
    assert growth < result + 16 * 2**20, (growth, result)


@pytest.mark.parametrize("name", ["build_graph", "graph_degrees", "graph_edge_array"])
def test_numpy_bools_are_flags_but_never_limits(name):
    v = [3.0, 1.0, 2.0, 2.0, 4.0]
    function = getattr(kg, name)

    def same(a, b):
        return a.edges == b.edges if name == "build_graph" else a.tobytes() == b.tobytes()

    for flag in (True, False):
        assert same(function(v, exact=np.bool_(flag), skip_adjacent=np.bool_(flag)),
                    function(v, exact=flag, skip_adjacent=flag))
    with pytest.raises(TypeError) as caught:
        function(v, penetrable=np.bool_(True))
    assert str(caught.value) == "penetrable must be an int, not numpy.bool"
    with pytest.raises(TypeError) as caught:
        function(v, exact=np.int64(1))
    assert str(caught.value) == "argument 'exact': 'int64' object cannot be converted to 'PyBool'"


@pytest.mark.parametrize("name", ["visibility_degrees", "horizontal_visibility_degrees",
                                  "visibility_edge_array", "horizontal_visibility_edge_array"])
def test_array_builders_take_numpy_bool_flags(name):
    v = [3.0, 1.0, 2.0, 2.0, 4.0]
    function = getattr(kg, name)
    assert function(v, np.bool_(True)).tobytes() == function(v, True).tobytes()


def test_the_original_builders_keep_refusing_numpy_bools():
    with pytest.raises(TypeError) as caught:
        kg.build_visibility_graph([1.0, 2.0], np.bool_(True))
    name = type(np.bool_(True)).__qualname__
    assert str(caught.value) == (f"argument 'skip_adjacent': '{name}' object cannot be "
                                 "converted to 'PyBool'")
