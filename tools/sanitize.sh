#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer pass: builds the module instrumented
# (-DKESTREL_SANITIZE=ON, RelWithDebInfo) into a fresh venv and runs the whole test
# suite with the gcc sanitizer runtimes preloaded into the interpreter. The native core
# checks (tests/test_native.py) are compiled with the same flags. Exits non-zero on a
# test failure or on any sanitizer report, from pytest or from any child process.
#
#   bash tools/sanitize.sh            # interpreter: ${PYTHON:-python3}
#   bash tools/sanitize.sh -k graph   # extra arguments go to pytest
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${PYTHON:-python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sanitize_flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all"

asan_rt=$(gcc -print-file-name=libasan.so)
ubsan_rt=$(gcc -print-file-name=libubsan.so)
for rt in "$asan_rt" "$ubsan_rt"; do
  # -print-file-name echoes the bare name back when the library is not installed.
  if [ ! -e "$rt" ] || [ "${rt#/}" = "$rt" ]; then
    echo "sanitizer runtime not found: $rt (install gcc's libasan/libubsan)" >&2
    exit 2
  fi
done

echo "== building the instrumented module into a fresh venv ($("$python" --version))"
"$python" -m venv "$work/asan"
venv_python="$work/asan/bin/python"
"$venv_python" -m pip install -q --upgrade pip
"$venv_python" -m pip install -q \
  --config-settings=cmake.define.KESTREL_SANITIZE=ON \
  --config-settings=cmake.build-type=RelWithDebInfo \
  ".[test]"

# Guard against testing an uninstrumented build (a stale wheel, a renamed option).
# (find_spec locates the extension without loading it, so no preload is needed yet.)
module=$("$venv_python" -c 'import importlib.util as u; print(u.find_spec("kestrel_grid").origin)')
if ! readelf -d "$module" | grep -q 'NEEDED.*libasan'; then
  echo "$module is not linked against libasan: the sanitizer option did not take effect" >&2
  exit 1
fi
echo "module: $module"

echo "== test suite under ASan + UBSan"
reports="$work/reports"
mkdir -p "$reports"
export KESTREL_SANITIZER=1                      # tests/conftest.py: skips what ASan can't run
export KESTREL_NATIVE_FLAGS="$sanitize_flags -g"  # tests/test_native.py: native checks too
# The interpreter is not instrumented, so the runtimes are preloaded (asan first, as it
# must come first in the library list). Child interpreters started by the tests, the
# compiler driven by test_native.py and the native test programs inherit all of this.
export LD_PRELOAD="$asan_rt $ubsan_rt"
# Route every object allocation through malloc so ASan sees it, not pymalloc's arenas.
export PYTHONMALLOC=malloc
# detect_leaks=0: CPython deliberately leaves interned strings, static types and
# module state allocated at exit, so LeakSanitizer would flag the interpreter itself
# on every run. Leaks in the module are covered by the suite's refcount and memory checks.
# allocator_may_return_null=1: malloc/realloc answer an impossible request with NULL
# (the interpreter then raises MemoryError) as glibc does; ASan's throwing operator new
# still aborts, see tests/conftest.py.
# log_path: reports go to files, so one from a child process whose exit status a test
# does not examine is still seen and fails the pass.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan"

status=0
"$venv_python" -m pytest -q -p no:cacheprovider "$@" || status=$?
unset LD_PRELOAD

found=0
for report in "$reports"/*; do
  [ -e "$report" ] || continue
  if grep -qE 'ERROR: (Address|Undefined|Leak)Sanitizer|runtime error:|SUMMARY: ' "$report"; then
    found=1
    echo "== sanitizer report: $(basename "$report")" >&2
  else
    echo "== sanitizer output (no error): $(basename "$report")" >&2
  fi
  cat "$report" >&2
done
if [ "$found" -ne 0 ]; then
  echo "sanitizer pass FAILED: see the report(s) above" >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "sanitizer pass FAILED: pytest exited with status $status" >&2
  exit "$status"
fi
echo "sanitizer pass clean"
