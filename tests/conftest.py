"""Suite-wide settings.

`not_under_sanitizer(reason)` marks a test that cannot run under AddressSanitizer; it is
skipped when KESTREL_SANITIZER=1 (set by tools/sanitize.sh) and runs normally otherwise.
Besides tests that carry the mark themselves, it is put on the cases listed in
`SANITIZER_CONFLICTS` below.

Under ASan the C++ `operator new` never throws std::bad_alloc: a request it cannot
satisfy (beyond its 1 TiB per-allocation cap, or refused by the kernel) is reported as a
fatal error, whatever `allocator_may_return_null` says (that flag only affects malloc and
the nothrow forms). So a test that relies on a failing `new` turning into a caught
bad_alloc cannot pass there. Allocation failures injected through the interpreter's own
allocators (`_testcapi.set_nomemory`) are unaffected and do run under the sanitizer.
"""

import os

import pytest

SANITIZED = os.environ.get("KESTREL_SANITIZER") == "1"

# ASan refuses single allocations above 1 TiB; the samples are 8-byte doubles.
ASAN_MAX_ELEMENTS = 2**40 // 8


def _reserves_beyond_asan_cap(params):
    hint = getattr(params.get("series"), "hint", None)
    return isinstance(hint, int) and hint >= ASAN_MAX_ELEMENTS


# (file, test function, predicate on the parameters or None for every case, reason)
SANITIZER_CONFLICTS = [
    ("test_frame.py", "test_series_accepted", _reserves_beyond_asan_cap,
     "the length hint is reserved up front and ASan's operator new aborts instead of "
     "throwing bad_alloc, which the conversion catches to fall back to growing"),
    ("test_graph.py", "test_memory_exhaustion_raises_memory_error", None,
     "RLIMIT_AS cannot model exhaustion under ASan: its shadow memory and allocator "
     "regions are reserved at start-up, and its operator new aborts on failure instead "
     "of throwing bad_alloc"),
]


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "not_under_sanitizer(reason): skipped in the ASan/UBSan pass (tools/sanitize.sh)")


def pytest_collection_modifyitems(config, items):
    for item in items:
        params = getattr(getattr(item, "callspec", None), "params", {})
        for filename, function, applies, reason in SANITIZER_CONFLICTS:
            if (item.path.name == filename and item.originalname == function
                    and (applies is None or applies(params))):
                item.add_marker(pytest.mark.not_under_sanitizer(reason))
        if SANITIZED:
            marker = item.get_closest_marker("not_under_sanitizer")
            if marker is not None:
                reason = marker.args[0] if marker.args else marker.kwargs.get("reason", "")
                item.add_marker(pytest.mark.skip(reason="under the sanitizer: " + reason))
