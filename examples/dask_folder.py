"""A folder of OPUS files read with Dask and reduced to one mean spectrum per x axis.

    pip install ".[dask]"
    python examples/dask_folder.py [FOLDER] [BLOCK]                  on threads
    python examples/dask_folder.py [FOLDER] [BLOCK] --processes 4    on 4 local worker processes
    python examples/dask_folder.py [FOLDER] [BLOCK] --scheduler tcp://host:8786    on a cluster

FOLDER defaults to examples/data, BLOCK (written like AB/2D/NONE) to each file's final spectrum. Every file
is one element of a dask.bag; the bag reads them in parallel, keeps the files that failed with their error, and
folds every spectrum that shares an x axis into a sum and a count: single spectra, the spectra of image maps,
series and multi-region maps alike. On threads (the reader releases the interpreter lock) by default; with
`--processes` on a local dask.distributed cluster of worker processes, and with `--scheduler` on the cluster
whose scheduler runs at that address, so a folder too big for one machine is read where its files are (the
workers must see the files under the same paths).
"""

from __future__ import annotations

import argparse
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
Read = Tuple[str, AxisKey, Any, str]  # (path, x axis, spectra as rows or None, error)
Sum = Tuple[int, int, Any]  # (files, spectra, sum of the spectra)


def read_one(path: str, block: Optional[str]) -> Read:
    """One file's spectra, or the reason it has none: errors become data, so one bad file stops nothing."""
    try:
        result = read(path, block)
    except Exception as error:  # noqa: BLE001
        # A damaged file's error names the file and the block too; its reason is what is wrong.
        return path, (0, 0.0, 0.0), None, f"{type(error).__name__}: {getattr(error, 'reason', error)}"
    x = result.x
    key = (x.size, float(x[0]), float(x[-1])) if x.size else (0, 0.0, 0.0)
    rows: np.ndarray[Any, np.dtype[np.float32]]  # NumPy 2.2 types each reshape's shape apart
    if isinstance(result, lumira.SingleDataReturn):
        rows = result.y.reshape(1, -1)
    elif isinstance(result, (lumira.ImageDataReturn, lumira.TimeResolvedDataReturn)):
        rows = result.spectra.reshape(-1, x.size)
    elif isinstance(result, lumira.MultiRegionDataReturn):
        rows = np.concatenate([np.zeros((0, x.size), np.float32)] + [r.spectra for r in result.regions])
    else:
        return path, key, None, "a block of traces, not spectra"
    if rows.shape[1] != x.size:
        return path, key, None, f"{rows.shape[1]} values for {x.size} axis points"
    return path, key, rows, ""


def add(total: Sum, item: Read) -> Sum:
    rows = item[2]
    return total[0] + 1, total[1] + len(rows), total[2] + rows.sum(axis=0, dtype=np.float64)


def combine(a: Sum, b: Sum) -> Sum:
    return a[0] + b[0], a[1] + b[1], a[2] + b[2]


def client_for(processes: int, scheduler: Optional[str]) -> Any:
    """A dask.distributed client: of a local cluster of worker processes, or of the scheduler at that address."""
    from dask.distributed import Client, LocalCluster

    if scheduler:
        return Client(scheduler)
    return Client(LocalCluster(n_workers=processes, threads_per_worker=1, processes=True, dashboard_address=None))


def main(folder: pathlib.Path, block: Optional[str], processes: int = 0, scheduler: Optional[str] = None) -> int:
    paths = sorted(str(p) for p in folder.rglob("*") if p.is_file() and is_opus_file(p))
    if not paths:
        print(f"no OPUS files under {folder}")
        return 1
    client = client_for(processes, scheduler) if processes or scheduler else None
    try:
        return report(folder, paths, block, client)
    finally:
        if client is not None:
            client.close()


def report(folder: pathlib.Path, paths: list[str], block: Optional[str], client: Any) -> int:
    files = db.from_sequence(paths, npartitions=min(len(paths), 16)).map(read_one, block)
    sums = files.filter(lambda item: item[2] is not None).foldby(lambda item: item[1], add, (0, 0, 0.0),
                                                                 combine, (0, 0, 0.0))
    failed = files.filter(lambda item: item[2] is None).map(lambda item: (item[0], item[3]))
    # With a client, its cluster computes; else this process's threads do.
    groups, failures = compute(sums, failed, scheduler=client if client is not None else "threads")

    print(f"{len(paths)} OPUS files under {folder}: {len(paths) - len(failures)} read, {len(failures)} failed")
    for (npt, first, last), (nfiles, count, total) in sorted(groups):
        if not count:
            continue
        mean = total / count
        strongest = int(np.argmax(mean))
        x = np.linspace(first, last, npt)
        print(f"  {count} {'spectrum' if count == 1 else 'spectra'} from {nfiles} file{'s' if nfiles > 1 else ''}, "
              f"{npt} points from {first:g} to {last:g}: the mean's strongest band is at {x[strongest]:.1f} "
              f"({mean[strongest]:.4f})")
    for path, error in failures:
        print(f"  failed: {path}: {error}")
    return 0


def arguments() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(description="Read every OPUS file under a folder with dask and print one mean "
                                                 "spectrum per x axis.")
    parser.add_argument("folder", nargs="?", type=pathlib.Path, default=HERE / "data",
                        help="the folder to read, with its subfolders (default: the sample files)")
    parser.add_argument("block", nargs="?", help="the block, e.g. AB/2D/NONE (default: each file's final spectrum)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--processes", type=int, default=0, metavar="N",
                       help="compute on a local dask.distributed cluster of N worker processes")
    where.add_argument("--scheduler", metavar="ADDRESS", help="compute on the dask.distributed cluster at ADDRESS")
    return parser


if __name__ == "__main__":
    options = arguments().parse_args()
    sys.exit(main(options.folder, options.block, options.processes, options.scheduler))
