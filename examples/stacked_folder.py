"""Stacks a folder of spectra measured on different axes into one table and draws it.

    python examples/stacked_folder.py [FOLDER] [-o stacked.png]

Without FOLDER, the tour's folder (`make_samples.py --collection`) is written first into a temporary folder: a
day of a film ageing in air, twelve absorbance spectra an hour apart saved with four different instrument
settings (point counts and ranges) while a carbonyl band near 1720 cm-1 grows, beside a background, a map and two
damaged files, which the stack leaves out. The guide's picture of it
(python/lumira_tools/guide/images/stacked_folder.png) is this script's output without FOLDER.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
import tempfile
from typing import Any

import numpy as np

import lumira_tools

HERE = pathlib.Path(__file__).resolve().parent
PICTURE = HERE.parent / "python" / "lumira_tools" / "guide" / "images" / "stacked_folder.png"


def write_collection(folder: pathlib.Path) -> None:
    sys.path.insert(0, str(HERE))
    from make_samples import write_collection as write

    write(folder)


def draw(stacked: Any, output: str) -> None:
    """A heat map of the table (a row per file, grey where a file's range does not reach) beside every file's
    spectrum on the common axis."""
    from matplotlib.figure import Figure

    name = stacked.attrs["dataType"]
    values = stacked[name].values
    dimension = stacked[name].dims[1]
    axis = stacked[dimension].values
    times = stacked["time"].values
    known = not np.isnat(times).any()
    rows = (times - times.min()) / np.timedelta64(1, "h") if known else np.arange(len(times))
    label = f"{dimension} ({stacked[dimension].attrs.get('units', '')})".replace("cm-1", "cm$^{-1}$")
    high_to_low = dimension == "wavenumber"
    fig = Figure(figsize=(10, 3.6), layout="constrained")
    table, lines = fig.subplots(1, 2, width_ratios=[1.2, 1])
    mesh = table.pcolormesh(axis, rows, values, shading="nearest", cmap="viridis")
    table.set_facecolor("0.85")
    fig.colorbar(mesh, ax=table, label=stacked[name].attrs.get("long_name", name))
    table.set(xlabel=label, ylabel="hours since the first file" if known else "file",
              title=f"{len(rows)} files on a {len(axis):,}-point axis")
    for row, place in zip(values, rows):
        lines.plot(axis, row, linewidth=0.8, color=_colour(float(place / max(rows.max(), 1))))
    lines.set(xlabel=label, title="every file, coloured by its row")
    for ax in (table, lines):
        ax.set_xlim((axis.max(), axis.min()) if high_to_low else (axis.min(), axis.max()))
    fig.savefig(output, dpi=80)


def _colour(share: float) -> tuple[float, float, float]:
    from matplotlib import colormaps

    red, green, blue, _ = colormaps["viridis"](share if math.isfinite(share) else 0.0)
    return red, green, blue


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", help="a folder of OPUS files (default: a collection written here)")
    parser.add_argument("-o", "--output", default=str(PICTURE))
    options = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="lumira-stack-") as scratch:
        folder = pathlib.Path(options.folder or scratch)
        if options.folder is None:
            write_collection(folder)
        stacked = lumira_tools.stack(folder, axis="union")
    print(f"{stacked.sizes['file']} files on a {stacked['wavenumber'].size}-point axis, "
          f"{len(lumira_tools.failures(stacked))} left out")
    draw(stacked, options.output)
    print(f"wrote {options.output}")


if __name__ == "__main__":
    main()
