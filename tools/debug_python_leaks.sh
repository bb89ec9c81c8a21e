#!/usr/bin/env bash
# The leak pass (tools/leak_pass.py) under Debian's debug CPython, where it also checks
# sys.gettotalrefcount(), then a short thread stress (tools/thread_stress.py) there, where
# the debug allocator aborts on any allocation made without the interpreter lock.
# Installs python3-dbg and the headers when missing (needs root), builds the module
# against the debug interpreter in a throw-away venv, and passes any other arguments on
# to the leak pass:
#
#     bash tools/debug_python_leaks.sh [--stress-seconds N] [--rounds N] [-k TEXT] [-v]
#
# --stress-seconds 0 leaves the thread stress out (default 10).
#
# Why the module is rebuilt: a release build loads in the debug interpreter (same abi3
# object layout), but its inline Py_INCREF/Py_DECREF never touch the debug interpreter's
# total, so the total drifts by itself and a leak inside the module cannot be told from
# it. Built with Py_DEBUG, the module's own reference operations are counted too.
set -euo pipefail
cd "$(dirname "$0")/.."

debug_python=python3-dbg
stress_seconds=10
if [ "${1:-}" = "--stress-seconds" ]; then
  stress_seconds=$2
  shift 2
fi

if ! command -v "$debug_python" >/dev/null 2>&1 || [ ! -d /usr/include/python3.11d ] ||
   ! "$debug_python" -c "import ensurepip" >/dev/null 2>&1; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "python3-dbg, python3-dev and python3-venv are needed; install them as root" >&2
    exit 1
  fi
  echo "== installing python3-dbg python3-dev python3-venv"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-dbg python3-dev python3-venv >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== building the module for $("$debug_python" -c 'import sys; print(sys.version.split()[0])') (debug)"
"$debug_python" -m venv "$work/venv"
# Debian's python3.11d header directory links back to the release headers, whose
# pyconfig.h leaves Py_DEBUG undefined; define it so the module counts its references.
# (The debug interpreter shows pip's own ResourceWarnings; they are not ours.)
# --no-deps keeps numpy out: its release wheel does not count references in the debug
# total, so every numpy case would drift; those cases run in the release leak pass.
PYTHONWARNINGS=ignore CXXFLAGS="${CXXFLAGS:-} -DPy_DEBUG" \
  "$work/venv/bin/python" -m pip install -q --no-cache-dir --no-deps .

# A call whose result the module hands back with its own Py_INCREF (add_edge returns
# None): the total stays put when the module counts that reference, and drifts by one
# per call when it does not.
"$work/venv/bin/python" - <<'EOF'
import sys
import kestrel_grid as kg

g = kg.VisibilityGraph()
g.add_vertex(0.0, 0.0)
add_edge = g.add_edge
before = sys.gettotalrefcount()
for _ in range(10000):
    add_edge(0, 0)
drift = sys.gettotalrefcount() - before
if abs(drift) > 1000:
    sys.exit(f"the module was not built with Py_DEBUG: total drifted by {drift} over 10000 calls")
EOF

echo "== leak pass"
"$work/venv/bin/python" -X dev tools/leak_pass.py "$@"

if [ "$stress_seconds" != 0 ]; then
  echo "== thread stress"
  "$work/venv/bin/python" -X dev tools/thread_stress.py --seconds "$stress_seconds"
fi
