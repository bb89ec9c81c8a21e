"""Yearly sunspot numbers (1700-2008) as visibility graphs: features, the hubs of the
natural graph, a networkx view and an overview plot.

Run from the repository root: python examples/sunspots.py [--plot sunspots.png]
networkx and matplotlib come with the extras: python -m pip install ".[graphs,plot]" in a checkout."""

from __future__ import annotations

import argparse
import csv
from pathlib import Path
from typing import List, Tuple

import numpy as np

import kestrel_grid as kg
import kestrel_grid_tools as kgt

DATA = Path(__file__).resolve().parent / "data" / "sunspots.csv"


def load_sunspots(path: Path = DATA) -> Tuple[np.ndarray, np.ndarray]:
    """Years and sunspot numbers from the shipped CSV (comment lines start with '#')."""
    years: List[float] = []
    values: List[float] = []
    with path.open(newline="") as handle:
        rows = csv.reader(line for line in handle if not line.startswith("#"))
        next(rows)  # header: year,sunspots
        for year, value in rows:
            years.append(float(year))
            values.append(float(value))
    return np.asarray(years), np.asarray(values)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", metavar="FILE.png", help="write an overview plot")
    args = parser.parse_args()

    years, sunspots = load_sunspots()
    for kind in kgt.features.KINDS:
        summary = kgt.summarize(sunspots, kind)
        print(f"{kind:>10}: " + ", ".join(f"{key}={value}" for key, value in summary.items()))

    # The hubs of the natural graph are the great maxima: they see far across the record.
    natural = kg.build_visibility_graph(sunspots)
    degrees = np.asarray(natural.degrees_array())
    for index in np.argsort(-degrees, kind="stable")[:5]:
        print(f"year {int(years[index])}: {sunspots[index]:6.1f} sunspots, degree {degrees[index]}")

    try:
        graph = kgt.to_networkx(natural)
    except kgt.MissingExtraError as missing:
        print(missing)
    else:
        print(f"networkx: {graph.number_of_nodes()} nodes, {graph.number_of_edges()} edges")

    if args.plot:
        kgt.plot_overview(sunspots, "natural", path=args.plot, title="Yearly sunspot numbers")
        print(f"wrote {args.plot}")


if __name__ == "__main__":
    main()
