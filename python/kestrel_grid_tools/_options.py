"""The build options every tool takes, checked once, with one wording per mistake.

The wording is the module's own (``penetrable must be >= 0, not -1``), so a mistake reads
the same whether the module, a summary, a plot, the many-series frames or the command
line meets it first."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Literal, Optional, Tuple

import numpy as np

Kind = Literal["natural", "horizontal"]
KINDS: Tuple[Kind, ...] = ("natural", "horizontal")
Missing = Literal["omit", "raise", "keep"]
MISSING: Tuple[Missing, ...] = ("omit", "raise", "keep")
MAX_DECIMALS = 15


def check_kind(kind: Any) -> Kind:
    if kind == "natural" and isinstance(kind, str):
        return "natural"
    if kind == "horizontal" and isinstance(kind, str):
        return "horizontal"
    raise ValueError(f"kind must be 'natural' or 'horizontal', not {kind!r}")


def check_missing(missing: Any) -> Missing:
    for choice in MISSING:
        if isinstance(missing, str) and missing == choice:
            return choice
    raise ValueError(f"missing must be 'raise', 'omit' or 'keep', not {missing!r}")


def check_bool(name: str, value: Any) -> bool:
    """``value`` as a bool; numpy bools count, ints do not."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return bool(value)


def check_int(name: str, value: Any, low: int) -> int:
    """``value`` as an int of at least ``low``; numpy integers count, bools do not."""
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < low:
        raise ValueError(f"{name} must be >= {low}, not {value}")
    return int(value)


def check_decimals(decimals: Any) -> Optional[int]:
    if decimals is None:
        return None
    if isinstance(decimals, bool) or not isinstance(decimals, (int, np.integer)):
        raise TypeError(f"decimals must be None or an int, not {type(decimals).__name__}")
    if not 0 <= decimals <= MAX_DECIMALS:
        raise ValueError(f"decimals must be from 0 to {MAX_DECIMALS}, not {decimals}")
    return int(decimals)


def check_threads(threads: Any) -> Optional[int]:
    if threads is None:
        return None
    if isinstance(threads, bool) or not isinstance(threads, (int, np.integer)):
        raise TypeError(f"threads must be None or an int, not {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be >= 1, not {threads}")
    return int(threads)


@dataclass(frozen=True)
class Options:
    """How a series' graph is built and summarised, validated on construction.

    Attributes:
        kind: ``"natural"`` or ``"horizontal"``.
        skip_adjacent: Leave out the pairs of neighbouring samples.
        penetrable: The largest number of blocking samples a visible pair may have
            between its ends; ``0`` for the ordinary graph.
        exact: Decide the natural rule exactly on the binary values.
        missing: ``"omit"``, ``"raise"`` or ``"keep"`` for missing samples (NaN).
        decimals: ``None``, or decide the natural rule exactly on the values as
            decimals with at most this many places (0 to 15).
        window: Motif window size for summaries, or ``None``; motif scores have no
            penetrable variant, so a window goes with ``penetrable=0`` only.
        threads: How many threads the module may use for one series, or ``None`` for
            its own choice (every core for long series); the graph is the same either way.

    Raises:
        ValueError, TypeError: On construction, for the first option that is wrong.
    """

    kind: Kind = "natural"
    skip_adjacent: bool = False
    penetrable: int = 0
    exact: bool = False
    missing: Missing = "omit"
    decimals: Optional[int] = None
    window: Optional[int] = None
    threads: Optional[int] = None

    def __post_init__(self) -> None:
        # Normalised in place (the instance is frozen, hence object.__setattr__), so a
        # numpy integer or bool never reaches a worker or the module.
        checked: Dict[str, Any] = {
            "kind": check_kind(self.kind),
            "skip_adjacent": bool(self.skip_adjacent),
            "penetrable": check_int("penetrable", self.penetrable, 0),
            "exact": bool(self.exact),
            "missing": check_missing(self.missing),
            "decimals": check_decimals(self.decimals),
            "window": None if self.window is None else check_int("window", self.window, 1),
            "threads": check_threads(self.threads),
        }
        if checked["window"] is not None and checked["penetrable"] > 0:
            raise ValueError(
                "motif scores have no penetrable variant: give window or "
                f"penetrable={checked['penetrable']}, not both"
            )
        for name, value in checked.items():
            object.__setattr__(self, name, value)

    def build_arguments(self) -> Dict[str, Any]:
        """The keyword arguments of ``kestrel_grid.graph_degrees`` and
        ``graph_edge_array`` after the series, the kind and the positions."""
        return {
            "penetrable": self.penetrable, "skip_adjacent": self.skip_adjacent,
            "exact": self.exact, "missing": self.missing, "decimals": self.decimals,
            "threads": self.threads,
        }
