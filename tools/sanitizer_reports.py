"""Reads the report files that tools/sanitize.sh has the sanitizer runtimes write and
prints the findings; exits 1 when there is any, else 0.

Every report is a finding, except:
- the warning that allocator_may_return_null=1 logs for each refused allocation (the
  suite asks for some on purpose);
- leaked blocks none of whose allocation frames is in the module (its shared object,
  namespace or sources) or in a native check program: other packages leave a few blocks
  unreachable at exit (numpy's import does). How many were left aside is printed;
- leaked blocks that the interpreter's import machinery allocated on the module's behalf
  (a frame of the import system lies between the allocation and the module's first
  frame): an import the module asks for (threading, say) loads code whose interned names
  some interpreters (3.12) never free;
- LeakSanitizer's own crash at a process exit ("Tracer caught signal 11 ... LeakSanitizer
  has encountered a fatal error"), an intermittent fault of the runtime's stop-the-world
  tracer that no code of the process causes. It is counted and printed as such; the
  process it ended exits with SIGABRT, and tools/sanitize.sh runs the tests that failed
  once more when such a crash is all there is.

    python tools/sanitizer_reports.py REPORT_DIR
    python tools/sanitizer_reports.py --tracer-crashes REPORT_DIR  # exit 0 when any
"""

import re
import sys
from pathlib import Path

REFUSED = re.compile(r"==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes")
TRACER_CRASH = re.compile(r"Tracer caught signal \d+.*\n==\d+==LeakSanitizer has encountered a fatal error")
LEAK_REPORT = re.compile(r"=+\n==\d+==ERROR: LeakSanitizer: detected memory leaks\n")
OURS = re.compile(r"kestrel|/src/(?:core|binding)/|/tests/native/")
IMPORT_SYSTEM = re.compile(r"\bin (?:PyImport_\w+|import_find_and_load|_?PyImport_\w+)\b")


def allocated_by(record, ours=OURS):
    """Whether one leak record's block was allocated by code that ``ours`` matches: one
    of its frames matches, and no frame of the interpreter's import system comes before
    the first that does (those blocks belong to the module being imported)."""
    for line in record.splitlines():
        if ours.search(line):
            return True
        if IMPORT_SYSTEM.search(line):
            return False
    return False


def findings(text):
    """The part of one report that is a finding ('' when none) and how many leak records
    were left aside."""
    text = "\n".join(line for line in text.splitlines() if not REFUSED.fullmatch(line)).strip()
    if TRACER_CRASH.match(text):
        return "", 0
    if not LEAK_REPORT.match(text):
        return text, 0
    records = [block for block in re.split(r"\n\s*\n", text) if " leak of " in block]
    ours = [block for block in records if allocated_by(block)]
    return "\n\n".join(ours), len(records) - len(ours)


def tracer_crashes(directory):
    """The reports that are LeakSanitizer's tracer crash and nothing else."""
    return [report for report in sorted(Path(directory).iterdir())
            if TRACER_CRASH.match(report.read_text(errors="replace").strip())]


def main(directory):
    crashes = tracer_crashes(directory)
    if crashes:
        print(f"LeakSanitizer's tracer crashed at the exit of {len(crashes)} process(es) "
              f"({', '.join(report.name for report in crashes)}): their leaks were not checked")
    failed = False
    left_aside = 0
    for report in sorted(Path(directory).iterdir()):
        found, aside = findings(report.read_text(errors="replace"))
        left_aside += aside
        if found:
            failed = True
            print(f"== sanitizer report: {report.name}\n{found}", file=sys.stderr)
    if left_aside:
        print(f"left aside: {left_aside} leak record(s) allocated outside the module's code")
    return 1 if failed else 0


if __name__ == "__main__":
    if sys.argv[1] == "--tracer-crashes":
        sys.exit(0 if tracer_crashes(sys.argv[2]) else 1)
    sys.exit(main(sys.argv[1]))
