#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer pass: builds the module instrumented
# (-DKESTREL_SANITIZE=ON, RelWithDebInfo) into a fresh venv and runs the whole test
# suite with the gcc sanitizer runtimes preloaded into the interpreter. The native core
# checks (tests/test_native.py) are compiled with the same flags. Exits non-zero on a
# test failure or on any sanitizer report, from pytest or from any child process,
# LeakSanitizer's at exit included for blocks allocated in the module's code
# (tools/sanitizer_reports.py reads the reports).
#
#   bash tools/sanitize.sh            # interpreter: ${PYTHON:-python3}
#   bash tools/sanitize.sh -k graph   # extra arguments go to pytest
#   bash tools/sanitize.sh -n 2      # on two pytest-xdist workers (as CI)
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sanitize_flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"
# The runtimes preloaded below are gcc's, so the module and the native checks are built
# with g++ whatever CXX says.
export CXX=g++

asan_rt=$(gcc -print-file-name=libasan.so)
ubsan_rt=$(gcc -print-file-name=libubsan.so)
for rt in "$asan_rt" "$ubsan_rt"; do
  # -print-file-name echoes the bare name back when the library is not installed.
  if [ "${rt#/}" = "$rt" ] || [ ! -e "$rt" ]; then
    echo "sanitizer runtime not found: $rt (install gcc's libasan and libubsan)" >&2
    exit 2
  fi
done

# A small preloaded helper mends two things about the gcc runtimes in a process that
# loads both:
# - ASan's throwing operator new never throws std::bad_alloc: a request it cannot meet is
#   a fatal report even with allocator_may_return_null=1, which only reaches malloc and
#   the nothrow forms. The module relies on the standard behaviour (an unmeetable reserve
#   is caught and skipped; running out of memory is MemoryError and leaves a graph as it
#   was) and the suite tests it, so the throwing forms here call ASan's nothrow forms,
#   which keep redzones, quarantine and new/delete mismatch checks, and throw bad_alloc
#   on NULL. The helper is preloaded ahead of libasan so that these definitions win;
#   verify_asan_link_order=0 below accepts that order.
# - UBSan ignores UBSAN_OPTIONS=log_path when ASan is loaded too, and writes to stderr,
#   where pytest's capture or a test's own capture_output can swallow it. The helper
#   points libubsan's report path at $KESTREL_UBSAN_LOG_PATH instead.
cat >"$work/sanitizer_helper.cpp" <<'EOF'
#include <cstddef>
#include <cstdlib>
#include <new>

#include <dlfcn.h>

void* operator new(std::size_t size) {
    if (void* p = ::operator new(size, std::nothrow)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    if (void* p = ::operator new[](size, std::nothrow)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align) {
    if (void* p = ::operator new(size, align, std::nothrow)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) {
    if (void* p = ::operator new[](size, align, std::nothrow)) return p;
    throw std::bad_alloc();
}

__attribute__((constructor)) static void route_ubsan_reports() {
    const char* path = std::getenv("KESTREL_UBSAN_LOG_PATH");
    void* ubsan = path ? dlopen("libubsan.so.1", RTLD_LAZY | RTLD_NOLOAD) : nullptr;
    if (ubsan == nullptr) return;
    using SetPath = void (*)(const char*);
    if (auto set_path = reinterpret_cast<SetPath>(dlsym(ubsan, "__sanitizer_set_report_path"))) {
        set_path(path);
    }
}
EOF
g++ -std=c++20 -O2 -g -fno-omit-frame-pointer -shared -fPIC \
  "$work/sanitizer_helper.cpp" -o "$work/sanitizer_helper.so" -ldl

echo "== building the instrumented module into a fresh venv ($("$python" --version))"
"$python" -m venv "$work/asan"
venv_python="$work/asan/bin/python"
"$venv_python" -m pip install -q --upgrade pip
"$venv_python" -m pip install -q \
  --config-settings=cmake.define.KESTREL_SANITIZE=ON \
  --config-settings=cmake.build-type=RelWithDebInfo \
  ".[test]" pytest-xdist

# Guard against testing an uninstrumented build (a stale wheel, a renamed option).
# find_spec locates the extension without loading it, so nothing needs preloading yet.
module=$("$venv_python" -c 'import importlib.util as u; print(u.find_spec("kestrel_grid").origin)')
if ! readelf -d "$module" | grep -q 'NEEDED.*libasan'; then
  echo "$module is not linked against libasan: the sanitizer option did not take effect" >&2
  exit 1
fi
echo "module: $module"

echo "== test suite under ASan + UBSan"
reports="$work/reports"
mkdir -p "$reports"
export KESTREL_SANITIZER=1                        # tests/conftest.py: not_under_sanitizer
export KESTREL_NATIVE_FLAGS="$sanitize_flags -g"  # tests/test_native.py builds with these
# The interpreter is not instrumented, so the runtimes are preloaded, behind the helper.
# Child interpreters started by the tests, pytest-xdist's worker interpreters, the compiler
# run by test_native.py and the native test programs inherit all of this; the programs
# link the same runtimes too.
export LD_PRELOAD="$work/sanitizer_helper.so $asan_rt $ubsan_rt"
# Every object allocation goes through malloc, where ASan sees it, not pymalloc's arenas.
export PYTHONMALLOC=malloc
# detect_leaks=1: LeakSanitizer checks every process at exit (pytest, child interpreters,
# the native test programs). What the interpreter keeps at exit is still reachable and not
# reported, but other packages leave a few blocks unreachable (numpy's import does), so a
# leak fails no process (LSAN_OPTIONS exitcode=0): its report goes to the log, and
# tools/sanitizer_reports.py fails the pass on the blocks allocated in the module's code.
# The fast unwinder stops at frames built without frame pointers (the interpreter's), so
# a Python object leaked by the module is not traced back to it; the suite's reference
# checks and tools/leak_pass.py cover those.
# allocator_may_return_null=1: an allocation that cannot be met returns NULL, as with
# glibc, instead of a fatal report: malloc (the interpreter raises MemoryError) and,
# through the helper, operator new (bad_alloc).
# log_path (and the helper, for UBSan): reports go to files, so one that pytest's output
# capture or a test's own capture swallows, or one from a child process whose exit
# status a test does not look at, still fails the pass. They are printed at the end.
# abort_on_error=1 for UBSan too, so that a report in pytest itself ends it with SIGABRT
# and the faulthandler traceback names the test.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:verify_asan_link_order=0:log_path=$reports/asan"
export LSAN_OPTIONS="exitcode=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:abort_on_error=1"
export KESTREL_UBSAN_LOG_PATH="$reports/ubsan"

# The tests of the pure-Python tools that drive other programs (the console script in
# subprocesses, mypy, matplotlib, a Dask cluster of worker processes) reach the module only
# through entries the rest of the suite already covers; under the sanitizers they would
# mostly instrument those programs, so they are left out here.
tools_only=(--ignore=tests/test_cli.py --ignore=tests/test_many.py --ignore=tests/test_plot.py
            --ignore=tests/test_typing.py --ignore=tests/test_cli_outputs.py
            --ignore=tests/test_cli_plots.py --ignore=tests/test_cli_rules.py
            --ignore=tests/test_shell_examples.py)
status=0
cache=(-o "cache_dir=$work/pytest-cache")
"$venv_python" -m pytest -q "${cache[@]}" -rs "${tools_only[@]}" "$@" || status=$?
# LeakSanitizer's stop-the-world tracer now and then crashes at a process exit ("Tracer
# caught signal 11"), whatever the process did, and the runtime then aborts it. When that
# is what the reports hold, the tests that failed run once more; a real fault fails again.
if [ "$status" -ne 0 ] && LD_PRELOAD= "$python" tools/sanitizer_reports.py --tracer-crashes "$reports"; then
  echo "== LeakSanitizer's tracer crashed at a process exit: the failed tests once more"
  status=0
  "$venv_python" -m pytest -q "${cache[@]}" -rs --last-failed "${tools_only[@]}" "$@" || status=$?
fi
unset LD_PRELOAD

found=0
"$python" tools/sanitizer_reports.py "$reports" || found=1
if [ "$found" -ne 0 ]; then
  echo "sanitizer pass FAILED: see the report(s) above" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "sanitizer pass FAILED: pytest exited with status $status" >&2
  exit "$status"
fi
echo "sanitizer pass clean"
