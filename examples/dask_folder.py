"""A folder of OPUS files read with Dask and reduced to one mean spectrum per x axis.

    pip install ".[dask]"
    python examples/dask_folder.py [FOLDER] [BLOCK]

FOLDER defaults to examples/data and BLOCK to AB/2D/NONE. Every file is one element of a dask.bag; the bag
reads them in parallel (on threads here: the reader releases the interpreter lock), keeps the files that
failed with their error, and folds the spectra that share an x axis into a sum and a count. The same code
runs on a cluster: create a `dask.distributed.Client` first and the bag's tasks go to its workers, so a
folder too big for one machine is read where its files are.
"""

from __future__ import annotations

import pathlib
import sys
from typing import Any, Optional, Tuple

import dask.bag as db
import numpy as np
from dask.base import compute

import lumira
from lumira_tools import is_opus_file, read

HERE = pathlib.Path(__file__).resolve().parent
AxisKey = Tuple[int, float, float]
Sum = Tuple[int, Any]  # (number of spectra, sum of their values)


def read_one(path: str, block: str) -> tuple[str, Optional[lumira.SingleDataReturn], str]:
    """One file's spectrum, or the reason it has none: errors become data, so one bad file stops nothing."""
    try:
        result = read(path, block)
    except Exception as error:  # noqa: BLE001
        return path, None, f"{type(error).__name__}: {error}"
    if not isinstance(result, lumira.SingleDataReturn):
        return path, None, f"{block} is not a single spectrum"
    return path, result, ""


def axis_key(item: tuple[str, Optional[lumira.SingleDataReturn], str]) -> AxisKey:
    spectrum = item[1]
    assert spectrum is not None
    return spectrum.x.size, float(spectrum.x[0]), float(spectrum.x[-1])


def add(total: Sum, item: tuple[str, Optional[lumira.SingleDataReturn], str]) -> Sum:
    assert item[1] is not None
    return total[0] + 1, total[1] + item[1].y.astype(np.float64)


def combine(a: Sum, b: Sum) -> Sum:
    return a[0] + b[0], a[1] + b[1]


def main(folder: pathlib.Path, block: str) -> int:
    paths = sorted(str(p) for p in folder.rglob("*") if p.is_file() and is_opus_file(p))
    if not paths:
        print(f"no OPUS files under {folder}")
        return 1
    files = db.from_sequence(paths, npartitions=min(len(paths), 16)).map(read_one, block)
    spectra = files.filter(lambda item: item[1] is not None)
    sums = spectra.foldby(axis_key, add, (0, 0.0), combine, (0, 0.0))
    failed = files.filter(lambda item: item[1] is None).map(lambda item: (item[0], item[2]))
    groups, failures = compute(sums, failed, scheduler="threads")

    print(f"{len(paths)} OPUS files under {folder}: {len(paths) - len(failures)} read, {len(failures)} failed")
    for (npt, first, last), (count, total) in sorted(groups):
        mean = total / count
        x = np.linspace(first, last, npt)
        strongest = int(np.argmax(mean))
        print(f"  {count} {'spectrum' if count == 1 else 'spectra'} of {npt} points from {first:g} to {last:g}: mean {block} has its strongest "
              f"band at {x[strongest]:.1f} ({mean[strongest]:.4f})")
    for path, error in failures:
        print(f"  failed: {path}: {error}")
    return 0


if __name__ == "__main__":
    sys.exit(main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "data",
                  sys.argv[2] if len(sys.argv) > 2 else "AB/2D/NONE"))
