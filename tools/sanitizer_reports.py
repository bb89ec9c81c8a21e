"""Reads the report files that tools/sanitize.sh has the sanitizer runtimes write and
prints the findings; exits 1 when there is any, else 0.

Every report is a finding, except:
- the warning that allocator_may_return_null=1 logs for each refused allocation (the
  suite asks for some on purpose);
- leaked blocks none of whose allocation frames is in the module (its shared object,
  namespace or sources) or in a native check program: other packages leave a few blocks
  unreachable at exit (numpy's import does). How many were left aside is printed.

    python tools/sanitizer_reports.py REPORT_DIR
"""

import re
import sys
from pathlib import Path

REFUSED = re.compile(r"==\d+==WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]+ bytes")
LEAK_REPORT = re.compile(r"=+\n==\d+==ERROR: LeakSanitizer: detected memory leaks\n")
OURS = re.compile(r"kestrel|/src/(?:core|binding)/|/tests/native/")


def findings(text):
    """The part of one report that is a finding ('' when none) and how many leak records
    were left aside."""
    text = "\n".join(line for line in text.splitlines() if not REFUSED.fullmatch(line)).strip()
    if not LEAK_REPORT.match(text):
        return text, 0
    records = [block for block in re.split(r"\n\s*\n", text) if " leak of " in block]
    ours = [block for block in records if OURS.search(block)]
    return "\n\n".join(ours), len(records) - len(ours)


def main(directory):
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
    sys.exit(main(sys.argv[1]))
