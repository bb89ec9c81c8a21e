"""The timing helper the benchmark scripts share (run them from the checkout, as
``python benchmarks/NAME.py``, so this module is found beside them)."""

from __future__ import annotations

import time
from typing import Any, Callable


def best(call: Callable[[], Any], repeat: int = 3) -> float:
    """The shortest wall time of ``repeat`` calls, in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)
