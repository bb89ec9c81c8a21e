"""Suite-wide settings.

`not_under_sanitizer(reason)` marks a test whose measurement means nothing under
AddressSanitizer; it is skipped when KESTREL_SANITIZER=1 (set by tools/sanitize.sh) and
runs normally otherwise. Besides tests that carry the mark themselves, it is put on the
tests listed in `SANITIZER_CONFLICTS`.

Out-of-memory tests do run under the sanitizer: tools/sanitize.sh makes ASan's
operator new throw std::bad_alloc again, and RLIMIT_AS still limits its large mappings.
"""

import os

import pytest

SANITIZED = os.environ.get("KESTREL_SANITIZER") == "1"

# (file, test function, reason)
SANITIZER_CONFLICTS = [
    ("test_graph.py", "test_memory_stays_flat_over_many_graphs_and_reads",
     "peak RSS grows with ASan's quarantine of freed blocks (256 MiB) and its shadow "
     "pages, not with the module's heap"),
]


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_under_sanitizer(reason): skipped in the ASan/UBSan pass (tools/sanitize.sh)")


def pytest_collection_modifyitems(config, items):
    for item in items:
        for filename, function, reason in SANITIZER_CONFLICTS:
            if item.path.name == filename and item.originalname == function:
                item.add_marker(pytest.mark.not_under_sanitizer(reason))
        marker = item.get_closest_marker("not_under_sanitizer")
        if SANITIZED and marker is not None:
            reason = marker.args[0] if marker.args else marker.kwargs.get("reason", "")
            item.add_marker(pytest.mark.skip(reason="under the sanitizer: " + reason))
