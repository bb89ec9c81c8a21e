"""Long cross-check of the fast builders against the literal reference procedures.

Compiles tests/native/cross_check.cpp with the core and runs it in parallel workers,
each with its own seed, until the requested number of series has been checked.

    python tools/cross_check.py --series 1000000 --jobs 2 [--max-length 3000]

--variants runs tests/native/variants_check.cpp instead: positions, penetrable
visibility and the exact natural rule against their reference (its reference is cubic,
so keep --max-length near 150).
"""

import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The exactness flags of every build of the core, from their one file.
EXACTNESS_FLAGS = (ROOT / "src" / "core" / "exactness.flags").read_text().split()
FLAGS = ["-std=c++20", "-O2", *EXACTNESS_FLAGS, "-Wall", "-Wextra"]


def compiler():
    for command in (shlex.split(os.environ.get("CXX", "")), ["g++"], ["c++"]):
        if command and shutil.which(command[0]):
            return command
    sys.exit("no C++ compiler found (set CXX or install g++)")


def build(directory, name="cross_check"):
    program = Path(directory) / name
    sources = [*sorted((ROOT / "src" / "core").glob("*.cpp")),
               ROOT / "tests" / "native" / f"{name}.cpp"]
    subprocess.run([*compiler(), *FLAGS, "-I", str(ROOT / "src"), *map(str, sources),
                    "-o", str(program)], check=True)
    return program


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--series", type=int, default=1_000_000)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--chunk", type=int, default=50_000, help="series per worker run")
    parser.add_argument("--max-length", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=1000)
    parser.add_argument("--variants", action="store_true",
                        help="check the variant builders (variants_check.cpp)")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        program = build(directory, "variants_check" if args.variants else "cross_check")
        chunks = [(args.seed + k, min(args.chunk, args.series - k * args.chunk))
                  for k in range((args.series + args.chunk - 1) // args.chunk)]
        start, done, failed, running = time.time(), 0, 0, []
        while chunks or running:
            while chunks and len(running) < args.jobs:
                seed, count = chunks.pop(0)
                command = [str(program), str(count), str(seed), str(args.max_length)]
                running.append((seed, count, subprocess.Popen(command, stdout=subprocess.PIPE,
                                                              stderr=subprocess.PIPE, text=True)))
            seed, count, process = running.pop(0)
            out, err = process.communicate()
            done += count
            if process.returncode != 0:
                failed += 1
                print(f"seed {seed}: FAILED\n{out[-2000:]}{err[-4000:]}", flush=True)
            print(f"{done} series checked, {failed} failing runs, {time.time() - start:.0f} s",
                  flush=True)
    print(f"cross-check: {done} series, {'no mismatch' if failed == 0 else f'{failed} failing runs'}")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
