"""Sequential motif profiles and time irreversibility of the shipped records (yearly
sunspots, weekly CO2), of the chaotic logistic map and of i.i.d. noise, with a plot of
the horizontal profiles against the i.i.d. law.

Run from the repository root: python examples/motif_profiles.py [--plot FILE.png]
matplotlib comes with the plot extra: python -m pip install ".[plot]" in a checkout."""

from __future__ import annotations

import argparse
import csv
from pathlib import Path
from typing import Dict, List

import numpy as np
import numpy.typing as npt

import kestrel_grid_tools as kgt

DATA = Path(__file__).resolve().parent / "data"
FloatArray = npt.NDArray[np.float64]


def column(name: str, field: str) -> FloatArray:
    """One column of a shipped CSV (comment lines start with '#'); empty cells are NaN."""
    with (DATA / name).open(newline="") as handle:
        rows = csv.DictReader(line for line in handle if not line.startswith("#"))
        return np.array([float(row[field]) if row[field] else np.nan for row in rows])


def logistic(n: int, start: float = 0.3) -> FloatArray:
    """x(t+1) = 4 x(t) (1 - x(t)), the fully chaotic logistic map."""
    x = np.empty(n)
    x[0] = start
    for t in range(1, n):
        x[t] = 4.0 * x[t - 1] * (1.0 - x[t - 1])
    return x


def series() -> Dict[str, FloatArray]:
    return {
        "sunspots (yearly)": column("sunspots.csv", "sunspots"),
        "CO2 (weekly)": column("co2.csv", "co2"),
        "logistic map": logistic(3000),
        "i.i.d. noise": np.random.default_rng(2016).random(3000),
    }


def report(named: Dict[str, FloatArray]) -> None:
    print(f"{'series':<20} {'samples':>7}  horizontal size-4 profile" + " " * 24 + "D_out||in")
    iid = kgt.iid_motif_profile(4)
    print(f"{'i.i.d. law':<20} {'':>7}  " + " ".join(f"{p:.3f}" for p in iid))
    for name, values in named.items():
        profile = kgt.motif_profile(values, "horizontal")
        present = int(np.count_nonzero(~np.isnan(values)))
        print(f"{name:<20} {present:>7}  " + " ".join(f"{p:.3f}" for p in profile)
              + f"   {kgt.irreversibility(values):.4f}")


def plot(named: Dict[str, FloatArray], path: str) -> None:
    from matplotlib.figure import Figure

    figure = Figure(figsize=(7.5, 4.0), layout="constrained")
    axes = figure.add_subplot()
    labels = np.arange(1, 7)
    width = 0.8 / len(named)
    for at, (name, values) in enumerate(named.items()):
        axes.bar(labels + (at - (len(named) - 1) / 2) * width,
                 kgt.motif_profile(values, "horizontal"), width, label=name)
    axes.plot(labels, kgt.iid_motif_profile(4), "k_", markersize=28, markeredgewidth=2,
              label="i.i.d. law")
    names: List[str] = list(kgt.motif_labels("horizontal", 4))
    axes.set_xticks(labels, [f"{k}\n{edges}" for k, edges in zip(labels, names)])
    axes.set_xlabel("motif (edges beyond neighbours in a window of 4 samples)")
    axes.set_ylabel("share of windows")
    axes.set_title("Sequential motifs of the horizontal visibility graph")
    axes.legend(frameon=False)
    figure.savefig(path, dpi=100)


def main() -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--plot", metavar="FILE.png", help="draw the profiles against the i.i.d. law")
    args = parser.parse_args()
    named = series()
    report(named)
    if args.plot:
        plot(named, args.plot)


if __name__ == "__main__":
    main()
