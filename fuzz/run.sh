#!/usr/bin/env bash
# Builds and runs the two fuzz targets, one after the other on one core:
#   core    fuzz/core_fuzz.cpp with AddressSanitizer + UBSan: fast builders, motif scores,
#           sub-graphs, the segment test and the record against the literal references.
#           libFuzzer when a clang with it is installed, else g++ with standalone_driver.cpp.
#   python  fuzz/python_fuzz.py over every entry of the installed module, under atheris
#           when it installs, else with the script's own seeded random driver.
#
#   fuzz/run.sh [SECONDS]          SECONDS per target, default 60
#
# Environment:
#   FUZZ_TARGETS   "core python" (default) or either one
#   FUZZ_RUNS      stop each target after this many executions as well (default: time only)
#   FUZZ_SEED      seed for both drivers (default 1)
#   FUZZ_MAX_LEN   longest core input in bytes (default 2048: 256 raw samples)
#   FUZZ_WORK      work folder: builds, venv, corpora, crash inputs (default fuzz/.work)
#   FUZZ_CXX       the C++ compiler for the core target (default: a clang++ with libFuzzer
#                  that supports C++20's source_location, else g++)
#   FUZZ_INSTALL_CLANG=1  when no such clang++ is found and this runs as root on Debian,
#                  install clang-16 and its libFuzzer with apt-get first (under a minute)
#   FUZZ_PYTHON    an interpreter that already has kestrel_grid (and maybe atheris)
#                  installed; without it a venv is made and the working tree installed
#
# Prints the executions of each target and ends with "fuzz: N passed, N failed"; exits 1
# when a target found something (the input is kept under $FUZZ_WORK/artifacts).
set -uo pipefail

# The whole script is one block, read before any of it runs: editing the file while a
# long run is under way cannot change what that run does next.
{
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
targets=${FUZZ_TARGETS:-core python}
seed=${FUZZ_SEED:-1}
work=${FUZZ_WORK:-$root/fuzz/.work}
runs_flag=()
[ -n "${FUZZ_RUNS:-}" ] && runs_flag=("-runs=$FUZZ_RUNS")
mkdir -p "$work/artifacts"

passed=0
failed=0
started=$(date +%s)

# "Done N runs in S second(s)" is libFuzzer's closing line; both fallback drivers print it too.
executions() {
    local done
    done=$(grep -Eo 'Done [0-9]+ runs in [0-9]+ second' "$1" | tail -1 | awk '{print $2 " executions in " $5 " s"}')
    echo "${done:-stopped before its closing line}"
}

report_failure() {
    local name=$1 log=$2
    echo "!! $name found a problem; last lines of $log:"
    tail -n 60 "$log" | cut -c1-2000
    for crash in "$work"/artifacts/"$name"-crash-* "$work"/artifacts/"$name"-*crash-*; do
        [ -f "$crash" ] || continue
        echo "!! input $crash (hex): $(od -An -tx1 -v "$crash" | tr -d ' \n' | cut -c1-4000)"
    done
}

# A clang++ whose libFuzzer links and whose library has std::source_location.
pick_libfuzzer_compiler() {
    local probe="$work/probe.cpp" candidate
    printf '#include <source_location>\n#include <cstdint>\n#include <cstddef>\nextern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return std::source_location::current().line() > 0 ? 0 : 1; }\n' > "$probe"
    for candidate in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15; do
        command -v "$candidate" >/dev/null 2>&1 || continue
        if "$candidate" -std=c++20 -fsanitize=fuzzer,address,undefined "$probe" -o "$work/probe" >/dev/null 2>&1; then
            echo "$candidate"
            return
        fi
    done
}

write_core_seeds() {
    local corpus=$1
    mkdir -p "$corpus"
    [ -n "$(ls -A "$corpus" 2>/dev/null)" ] && return
    python3 - "$corpus" <<'PY'
import struct, sys, os
out = sys.argv[1]
def seed(name, header, body):
    with open(os.path.join(out, name), "wb") as f:
        f.write(bytes(header) + bytes(body))
doubles = lambda *xs: b"".join(struct.pack("<d", x) for x in xs)
nan, inf = float("nan"), float("inf")
seed("raw-small", [0x00, 5, 0, 3, 0], doubles(1, 3, 2, 4, 1, 3))
seed("raw-specials", [0x01, 6, 1, 7, 0], doubles(nan, 2, -inf, 5e-324, -0.0, inf, 1, nan, 0.1, 1e300))
seed("raw-ramp", [0x00, 9, 0, 9, 0], doubles(*[0.1 * k for k in range(24)]))
seed("ties", [0x02, 7, 2, 30, 1], [0, 1, 2, 1, 0, 3, 3, 3, 1, 0, 2, 2, 4, 0, 1, 0xf0, 2, 0xf3, 1, 0xf4, 0, 0, 5, 5])
seed("ties-skip", [0x03, 4, 0, 0xf9, 2], [1, 1, 1, 1, 0, 0, 1, 1, 2, 2, 2, 0, 8, 9, 8, 9, 16, 24])
seed("mixed", [0x04, 5, 3, 1, 0], [1, 2, 0] + list(doubles(nan)) + [3, 5, 0] + list(doubles(0.3)) + [6, 7])
seed("line", [0x06, 8, 1, 20, 0], [0, 2] + [0] * 30)
seed("line-literal", [0x07, 10, 0, 40, 0], [1, 2 | 16] + [0] * 40 + [0x88, 0x87, 0x89])
seed("line-decimal", [0x06, 12, 0, 50, 0], [0, 2 | 16] + [0] * 60)
seed("parabola", [0x08, 6, 2, 60, 0], [0, 40, 0] + [0] * 48)
seed("concave", [0x09, 6, 2, 60, 0], [1, 30, 3] + [0] * 48 + [0xf3])
seed("magnitudes", [0x0a, 8, 0, 20, 0], [0x0d, 0, 0, 0x0e, 0, 0, 0x0e, 1, 0, 0x0c, 0x80, 0, 0x00, 1, 0, 0x8e, 2, 0] * 3)
seed("walk", [0x0c, 9, 5, 40, 0], [2, 3, 4, 2, 2, 2, 1, 0, 4, 4, 2, 0xf3, 2, 3, 0xf0, 2, 1])
seed("pattern", [0x0e, 6, 0, 30, 0], [4, 0, 2, 1, 2, 1, 0, 1, 2, 3, 0, 0, 1])
seed("record", [0xf0], [0x11, 1, 2, 0, 1, 2, 1, 0, 2, 0, 2, 2, 1, 1, 4, 0, 1, 3, 0, 5, 2, 2, 0])
seed("record-built", [0xf1], [0x49, 1, 3, 2, 0, 4, 1, 0, 5, 1, 0, 2, 2, 3, 4, 1, 2, 3, 2, 5])
PY
}

run_core() {
    local log="$work/core.log" build="$work/build" corpus="$work/corpus-core" cxx cxx_driver= driver flags
    mkdir -p "$build"
    write_core_seeds "$corpus"
    local exactness
    read -ra exactness < "$root/src/core/exactness.flags"  # the core's exactness flags
    flags=(-std=c++20 -O2 -g -fno-omit-frame-pointer -fsanitize=address,undefined
           -fno-sanitize-recover=all "${exactness[@]}" -Wall -Wextra -I "$root/src")
    local sources=("$root"/src/core/*.cpp "$root/fuzz/core_fuzz.cpp")
    if [ -n "${FUZZ_CXX:-}" ]; then
        cxx=$FUZZ_CXX
        case "$cxx" in *clang*) ;; *) cxx_driver=standalone ;; esac
    else
        cxx=$(pick_libfuzzer_compiler)
        if [ -z "$cxx" ] && [ "${FUZZ_INSTALL_CLANG:-0}" = 1 ] && [ "$(id -u)" = 0 ] &&
            command -v apt-get >/dev/null 2>&1; then
            echo "== core: installing clang-16 and libFuzzer"
            { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
                --no-install-recommends clang-16 libclang-rt-16-dev; } >"$work/apt.log" 2>&1 ||
                echo "   apt-get failed (see $work/apt.log); the standalone driver stands in"
            cxx=$(pick_libfuzzer_compiler)
        fi
    fi
    if [ -n "$cxx" ] && [ "${cxx_driver:-}" != standalone ]; then
        driver="libFuzzer ($cxx)"
        # An llvm-symbolizer (beside that clang, else any on PATH) names the functions
        # in sanitizer reports.
        local symbolizer
        symbolizer="$(dirname "$(readlink -f "$(command -v "$cxx")")")/llvm-symbolizer"
        [ -x "$symbolizer" ] || symbolizer=$(command -v llvm-symbolizer)
        [ -n "$symbolizer" ] && [ -x "$symbolizer" ] && export ASAN_SYMBOLIZER_PATH="$symbolizer"
        echo "== core: building with $driver"
        "$cxx" "${flags[@]}" -fsanitize=fuzzer "${sources[@]}" -o "$build/core_fuzz" || return 2
    else
        cxx=${FUZZ_CXX:-g++}
        driver="standalone driver ($cxx from FUZZ_CXX)"
        [ -n "${FUZZ_CXX:-}" ] || driver="standalone driver ($cxx; no clang++ with libFuzzer found)"
        echo "== core: building with $driver"
        "$cxx" "${flags[@]}" "${sources[@]}" "$root/fuzz/standalone_driver.cpp" -o "$build/core_fuzz" || return 2
    fi
    echo "== core: fuzzing for ${seconds}s ${FUZZ_RUNS:+or $FUZZ_RUNS executions }(log: $log)"
    ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1} \
    UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1} \
        "$build/core_fuzz" -max_total_time="$seconds" "${runs_flag[@]}" -seed="$seed" -max_len="${FUZZ_MAX_LEN:-2048}" \
        -timeout=20 -dict="$root/fuzz/core.dict" -artifact_prefix="$work/artifacts/core-" \
        -print_final_stats=1 "$corpus" >"$log" 2>&1
    local status=$?
    echo "core: $(executions "$log"), $driver, corpus $(ls "$corpus" | wc -l) inputs"
    if [ $status -ne 0 ]; then
        report_failure core "$log"
        return 1
    fi
}

python_interpreter() {
    if [ -n "${FUZZ_PYTHON:-}" ]; then
        echo "$FUZZ_PYTHON"
        return
    fi
    local venv="$work/venv"
    if [ ! -x "$venv/bin/python" ]; then
        python3 -m venv "$venv" >&2 || return 1
        "$venv/bin/python" -m pip install -q --upgrade pip >&2
    fi
    "$venv/bin/python" -m pip install -q atheris >&2 ||
        echo "atheris did not install here; the random driver stands in" >&2
    "$venv/bin/python" -m pip install -q numpy >&2 ||
        echo "numpy did not install here; the fuzzer leaves arrays out" >&2
    "$venv/bin/python" -m pip install -q "$root" >&2 || return 1
    echo "$venv/bin/python"
}

run_python() {
    local log="$work/python.log" corpus="$work/corpus-python" python driver
    mkdir -p "$corpus"
    echo "== python: preparing the interpreter"
    python=$(python_interpreter) || { echo "python: could not install the module"; return 2; }
    if "$python" -c "import atheris" >/dev/null 2>&1; then
        driver="atheris"
    else
        driver="random driver (no atheris)"
    fi
    echo "== python: fuzzing with $driver for ${seconds}s ${FUZZ_RUNS:+or $FUZZ_RUNS executions }(log: $log)"
    (cd "$work" && "$python" "$root/fuzz/python_fuzz.py" -max_total_time="$seconds" "${runs_flag[@]}" \
        -seed="$seed" -max_len=1024 -timeout=60 -artifact_prefix="$work/artifacts/python-" \
        -print_final_stats=1 "$corpus") >"$log" 2>&1
    local status=$?
    echo "python: $(executions "$log"), $driver, corpus $(ls "$corpus" | wc -l) inputs"
    if [ $status -ne 0 ]; then
        report_failure python "$log"
        return 1
    fi
}

for target in $targets; do
    case "$target" in
        core) run_core ;;
        python) run_python ;;
        *) echo "unknown target $target"; false ;;
    esac
    if [ $? -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done

echo "fuzzing took $(( $(date +%s) - started )) s in all"
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
exit
}
