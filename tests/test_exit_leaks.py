"""Memory the module leaves unreachable at exit.

A child interpreter imports the module, calls an entry of each group and exits under a
leak detector (valgrind's memcheck, or LeakSanitizer preloaded). Every block that the
module's start-up, type objects and calls allocated must be freed or still reachable at
exit, so no definitely lost block may have the module's shared object in its stack.
Leaks of the interpreter itself are left out by that filter. The child also leaks one
block on purpose, of a size nothing else asks for, which the detector must report: a
detector that did not run, or saw nothing, cannot pass the test.
"""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

MODULE = os.path.basename(importlib.util.find_spec("kestrel_grid").origin)
CONTROL_SIZE = 12345  # bytes, leaked on purpose through ctypes
SCAN = Path(__file__).parents[1] / "tools" / "sanitizer_reports.py"
_spec = importlib.util.spec_from_file_location("sanitizer_reports", SCAN)
reports = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(reports)

CHILD = textwrap.dedent(f"""
    import ctypes
    import kestrel_grid as kg

    series = [1.0, 3.0, 2.0, 4.0, 0.5, 2.5]
    g = kg.build_visibility_graph(series)
    g.add_vertex(9.0, 1.0)
    g.add_edge(0, 6)
    g.remove_vertex(2)
    repr(g), g.edges, g.degrees_array(), g.edges_array().tobytes()
    kg.build_horizontal_visibility_graph(series, skip_adjacent=True).vertices_array()
    kg.visibility_edge_array(series, threads=2).tobytes()
    kg.horizontal_visibility_degrees(series)
    kg.build_graph(series, x=[0, 1, 2, 3, 4, 5.5], penetrable=1, exact=True).edges
    kg.graph_degrees(series, "horizontal", missing="omit")
    kg._natural_edges_from(series, "natural", first_high=2)
    kg._read_columns(b"1.5\\n2\\n", 1, ",", ".", [0])
    kg._block_tables(series, 3, True, False, True)
    kg.horizontal_window_motif_scores(series, 2), kg.subseries_between(series, 1, 3)
    kg.segment_is_visible((0, 0), (4, 4), [((0, 4), (4, 0))])
    for bad in (lambda: kg.build_visibility_graph("text"), lambda: g.add_edge(0, 99)):
        try:
            bad()
        except (TypeError, IndexError):
            pass

    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc({CONTROL_SIZE})
    print("done")
""")


def leak_sanitizer_runtime():
    path = subprocess.run(["gcc", "-print-file-name=liblsan.so"], capture_output=True,
                          text=True).stdout.strip() if shutil.which("gcc") else ""
    return path if os.path.isabs(path) and os.path.exists(path) else None


def run_valgrind(tmp_path, env):
    log = tmp_path / "memcheck.log"
    command = ["valgrind", "--leak-check=full", "--show-leak-kinds=definite",
               "--errors-for-leak-kinds=definite", "--num-callers=60", f"--log-file={log}",
               sys.executable, "-c", CHILD]
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=600), [log]


def run_leak_sanitizer(tmp_path, env):
    # The full unwinder: the interpreter and the module may be built without frame
    # pointers, and a stack cut short could lose the module's frames.
    env = dict(env, LD_PRELOAD=leak_sanitizer_runtime(),
               LSAN_OPTIONS=f"fast_unwind_on_malloc=0:exitcode=0:log_path={tmp_path / 'lsan'}")
    child = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                           text=True, timeout=600)
    return child, sorted(tmp_path.glob("lsan.*"))


def definitely_lost(text):
    """Each definitely lost record of a memcheck or LeakSanitizer log: (bytes, stack)."""
    records = re.split(r"\n(?:==\d+==)?\s*\n", text)
    found = []
    for record in records:
        head = re.search(r"(\d[\d,]*) (?:\([\d,]+ direct, [\d,]+ indirect\) )?bytes in [\d,]+ "
                         r"blocks are definitely lost|Direct leak of (\d+) byte", record)
        if head:
            found.append((int((head[1] or head[2]).replace(",", "")), record))
    return found


DETECTORS = [
    pytest.param(run_valgrind, "valgrind", id="memcheck", marks=pytest.mark.slow),
    pytest.param(run_leak_sanitizer, "gcc", id="leak-sanitizer"),
]


@pytest.mark.not_under_sanitizer("the pass's own LeakSanitizer checks every process at exit")
@pytest.mark.parametrize("run, tool", DETECTORS)
def test_nothing_the_module_allocated_is_lost_at_exit(tmp_path, run, tool):
    if shutil.which(tool) is None or (tool == "gcc" and leak_sanitizer_runtime() is None):
        pytest.skip(f"{tool} is not installed")
    # Objects go through malloc, one block each, where the detector sees them.
    env = dict(os.environ, PYTHONMALLOC="malloc")
    env.pop("LD_PRELOAD", None)
    child, logs = run(tmp_path, env)
    assert child.returncode == 0 and child.stdout.strip() == "done", child.stderr[-3000:]
    lost = [record for log in logs for record in definitely_lost(log.read_text())]
    assert any(size == CONTROL_SIZE for size, _ in lost), "the detector missed the control leak"
    ours = [stack for _, stack in lost if reports.allocated_by(stack, re.compile(re.escape(MODULE)))]
    assert ours == [], "\n\n".join(ours)


TRACER_CRASH = ("Tracer caught signal 11: addr=0x2fc8 pc=0x7f01 sp=0x7f02\n"
                "==7==LeakSanitizer has encountered a fatal error.\n"
                "==7==HINT: LeakSanitizer does not work under ptrace (strace, gdb, etc)\n")
LEAK_HEADER = "=" * 65 + "\n==7==ERROR: LeakSanitizer: detected memory leaks\n\n"
LEAK_SUMMARY = "SUMMARY: AddressSanitizer: 32 byte(s) leaked in 1 allocation(s).\n"


def leak_record(frame):
    return ("Direct leak of 32 byte(s) in 1 object(s) allocated from:\n"
            "    #0 0x7f01 in operator new(unsigned long) asan_new_delete.cpp:95\n"
            f"    #1 0x7f02 {frame}\n\n")


@pytest.mark.parametrize("report, finding", [
    (LEAK_HEADER + leak_record("in kestrel::register_function() src/binding/module.cpp:40")
     + leak_record("in gc_alloc Modules/gcmodule.c:2283") + LEAK_SUMMARY, True),
    (LEAK_HEADER + leak_record("(/venv/site-packages/kestrel_grid.abi3.so+0x29b57)"), True),
    (LEAK_HEADER + leak_record("in run_checks /repo/tests/native/core_checks.cpp:12"), True),
    # A module the binding imports: the interpreter's blocks, not the module's.
    (LEAK_HEADER + leak_record("in r_object Python/marshal.c:1158\n"
                               "    #2 0x7f03 in PyImport_ImportModule Python/import.c:2488\n"
                               "    #3 0x7f04 (/venv/site-packages/kestrel_grid.abi3.so+0x4a402)")
     + LEAK_SUMMARY, False),
    (LEAK_HEADER + leak_record("in gc_alloc Modules/gcmodule.c:2283")
     + leak_record("in init_string_ufuncs (/venv/numpy/_multiarray_umath.so+0x2f8915)")
     + LEAK_SUMMARY, False),
    ("==7==WARNING: AddressSanitizer failed to allocate 0x10000000000 bytes\n", False),
    # The leak checker's own crash at exit: no finding (the pass reruns what it failed).
    (TRACER_CRASH, False),
    ("==7==ERROR: AddressSanitizer: heap-use-after-free on address 0x6020\n", True),
])
def test_the_sanitizer_pass_fails_on_the_modules_leaks_and_any_other_report(
        tmp_path, report, finding):
    (tmp_path / "asan.7").write_text(report)
    scan = subprocess.run([sys.executable, str(SCAN), str(tmp_path)], capture_output=True,
                          text=True)
    assert scan.returncode == int(finding), scan.stderr
    assert ("== sanitizer report: asan.7" in scan.stderr) == finding
    assert "gc_alloc" not in scan.stderr  # the records left aside are not printed
    crashed = subprocess.run([sys.executable, str(SCAN), "--tracer-crashes", str(tmp_path)])
    assert crashed.returncode == int(report != TRACER_CRASH)
