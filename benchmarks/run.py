"""Benchmarks: lumira against the physical floors, measured in one run.

    python benchmarks/run.py            # full run, a few minutes on 2 cores
    python benchmarks/run.py --quick    # every case once, on small files

Each case is timed many times in one process with a warm page cache (median
of the repetitions) beside its floor, timed the same way on the same file;
the table shows the ratio and whether the case holds its bar.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np

import lumira
import lumira_tools
from files import (write_directory, write_image_map, write_instrument_file, write_large_image_map, write_multi_region,
                   write_series, write_spectrum)

AB_3D = ("AB", "3D", "NONE")
AB_2D = ("AB", "2D", "NONE")


@dataclass
class Sizes:
    image_side: int
    image_points: int
    series_records: int
    series_points: int
    region_count: int
    region_points: int
    region_npt: int
    spectrum_points: int
    directory_entries: int
    small_files: int
    growth_mb: tuple
    repeat: int
    instrument_files: int
    large_files: int
    large_mb: int
    lazy_mb: int


FULL = Sizes(128, 1600, 2000, 1600, 20, 10_000, 1600, 4000, 500, 1000, (16, 64, 256), 15, 1000, 8, 50, 2000)
QUICK = Sizes(16, 64, 50, 64, 4, 200, 64, 4000, 500, 20, (1, 2, 4), 1, 20, 2, 1, 4)


# --- timing ---------------------------------------------------------------------------

def median_time(function: Callable[[], object], repeat: int) -> float:
    function()  # warm the page cache and the code
    times = []
    for _ in range(repeat):
        started = time.perf_counter()
        function()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def interleaved(function, floor, repeat):
    """Median times of a case and its floor, measured alternately."""
    function(), floor()
    case_times, floor_times = [], []
    for _ in range(repeat):
        for target, times in ((function, case_times), (floor, floor_times)):
            started = time.perf_counter()
            target()
            times.append(time.perf_counter() - started)
    return statistics.median(case_times), statistics.median(floor_times)


def fromfile(path):
    return lambda: np.fromfile(path, np.uint8)


def read_whole(path):
    def floor():
        with open(path, "rb") as handle:
            handle.read()
    return floor


@dataclass
class Row:
    case: str
    time: float | None
    floor: float | None
    value: float
    bar: str
    holds: bool
    unit: str = "x"


def ratio_row(case, function, floor, repeat, bar):
    case_time, floor_time = interleaved(function, floor, repeat)
    ratio = case_time / floor_time
    return Row(case, case_time, floor_time, ratio, f"<= {bar}x", ratio <= bar)


def threaded_row(paths, repeat):
    def read_all(part):
        for path in part:
            lumira.getOpusData(path, AB_2D)

    # Each of the two workers takes half of the files: one task per file
    # would measure the executor's own hand-over (about 15 µs a task here).
    halves = [paths[0::2], paths[1::2]]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        def threaded():
            list(pool.map(read_all, halves))
        threaded_time, sequential_time = interleaved(threaded, lambda: read_all(paths), max(3, repeat // 3))
    speedup = sequential_time / threaded_time
    return Row(f"{len(paths):,} small 2D files, 2 threads vs sequential", threaded_time, sequential_time, speedup,
               ">= 1.6x", speedup >= 1.6)


def many_row(paths, repeat):
    loop = lambda: [lumira_tools.read(path) for path in paths]  # noqa: E731
    batch_time, loop_time = interleaved(lambda: lumira_tools.read_many(paths), loop, max(3, repeat // 3))
    ratio = batch_time / loop_time
    return Row(f"read_many, {len(paths):,} instrument-like files, default workers vs a loop of read", batch_time,
               loop_time, ratio, "<= 1.0x", ratio <= 1.0)


def stack_row(paths, repeat):
    """stack of single spectra on several axes (interpolated onto the first) beside read_many of the same files."""
    stacked, batch = interleaved(lambda: lumira_tools.stack(paths), lambda: lumira_tools.read_many(paths),
                                 max(3, repeat // 3))
    ratio = stacked / batch
    return Row(f"stack, {len(paths):,} single-spectrum files of 8 axis lengths vs read_many", stacked, batch, ratio,
               "<= 2.0x", ratio <= 2.0)


def large_rows(paths, repeat):
    """2 workers on large 3D files, beside 2 threads of plain readinto of the same files: both speed-ups."""
    def readinto_all(part):
        for path in part:
            buffer = np.empty(os.path.getsize(path), np.uint8)
            with open(path, "rb", buffering=0) as handle:
                handle.readinto(buffer)

    halves = [paths[0::2], paths[1::2]]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        floor_two, floor_one = interleaved(lambda: list(pool.map(readinto_all, halves)),
                                           lambda: readinto_all(paths), max(3, repeat // 3))
    two, one = interleaved(lambda: lumira_tools.read_many(paths, workers=2),
                           lambda: lumira_tools.read_many(paths, workers=1), max(3, repeat // 3))
    ours, floors = one / two, floor_one / floor_two
    size = os.path.getsize(paths[0]) / 1e6
    return [
        Row(f"{len(paths)} 3D files of {size:.0f} MB: plain readinto, 2 threads vs 1", floor_two, floor_one, floors,
            "(the machine's)", True),
        Row(f"{len(paths)} 3D files of {size:.0f} MB: read_many, 2 workers vs 1", two, one, ours,
            f">= {0.9 * floors:.2f}x (90%)", ours >= 0.9 * floors),
    ]


def lazy_rows(path, repeat):
    """The mean spectrum of an image map through to_dask, beside a full read and its mean: time, and the peak
    memory of each in a fresh process."""
    code = (
        "import sys, time\n"
        "import dask.array, lumira, lumira_tools\n"
        "def peak():\n"
        "    with open('/proc/self/status') as status:\n"
        "        return next(int(line.split()[1]) * 1024 for line in status if line.startswith('VmHWM'))\n"
        "path, how = sys.argv[1], sys.argv[2]\n"
        "before, started = peak(), time.perf_counter()\n"
        "if how == 'lazy':\n"
        "    lumira_tools.to_dask(path, scale=False).mean(axis=(0, 1)).compute()\n"
        "else:\n"
        "    lumira.getOpusData(path, ('AB', '3D', 'NONE')).spectra.mean(axis=(0, 1))\n"
        "print(time.perf_counter() - started, peak() - before)\n"
    )

    def run_once(how):
        out = subprocess.run([sys.executable, "-c", code, str(path), how], check=True, capture_output=True,
                             text=True).stdout.split()
        return float(out[0]), int(out[1])

    lazy, eager = [], []
    for _ in range(max(1, repeat // 5)):
        lazy.append(run_once("lazy"))
        eager.append(run_once("eager"))
    lazy_time, lazy_peak = min(t for t, _ in lazy), max(m for _, m in lazy)
    eager_time = min(t for t, _ in eager)
    size = os.path.getsize(path) / 1e6
    return [
        Row(f"to_dask mean spectrum of a {size:,.0f} MB image map vs getOpusData and .mean", lazy_time, eager_time,
            lazy_time / eager_time, "<= 1.5x", lazy_time / eager_time <= 1.5),
        Row("peak RSS growth of that to_dask mean (MB)", None, None, lazy_peak / 1e6, "<= 300", lazy_peak <= 300e6,
            unit=" MB"),
    ]


WHOLE_FILE_CODE = """
import json, resource, statistics, sys, time
import lumira, lumira_tools

def plain(path):
    def read():
        with open(path, "rb") as handle:
            handle.read()
    return read

def per_block(path):
    def read():
        for request in lumira.listContents(path):
            lumira.getOpusData(path, request)
    return read

def timed(cases, repeat):
    for case in cases:
        case()
    times = [[] for _ in cases]
    for _ in range(repeat):
        for case, spent in zip(cases, times):
            started = time.perf_counter()
            case()
            spent.append(time.perf_counter() - started)
    return [statistics.median(spent) for spent in times]

def faults(case, repeat):
    case()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(repeat):
        case()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / repeat

small, large, repeat = sys.argv[1], sys.argv[2], int(sys.argv[3])
found = {"faults": [faults(per_block(large), repeat), faults(lambda: lumira_tools.read_file(large), repeat)]}
found["small"] = timed([lambda: lumira_tools.read_file(small), lambda: lumira_tools.read_file(small, data=False),
                        plain(small)], repeat)
found["large"] = timed([lambda: lumira_tools.read_file(large), per_block(large)], repeat)
print(json.dumps(found))
"""


def whole_file_rows(small, large, repeat):
    """read_file of an instrument-like file beside one plain read of it, and of one whose interferograms are as
    long as instruments write them beside listContents and getOpusData of its blocks, with the page faults of
    each per call: in a fresh process, whose allocator has not yet seen the large arrays of the other cases."""
    found = json.loads(subprocess.run([sys.executable, "-c", WHOLE_FILE_CODE, small, large, str(repeat)],
                                      check=True, capture_output=True, text=True).stdout)
    whole, described, floor = found["small"]
    per_file, per_block = found["large"]
    block_faults, file_faults = found["faults"]
    size, large_size = os.path.getsize(small) / 1e3, os.path.getsize(large) / 1e3
    return [
        Row(f"read_file, instrument-like file ({size:.0f} KB, 6 blocks, history, report)", whole, floor,
            whole / floor, "<= 3.0x", whole / floor <= 3.0),
        Row("read_file data=False, the same file", described, floor, described / floor, "<= 2.0x",
            described / floor <= 2.0),
        Row(f"read_file vs listContents + getOpusData of its blocks, {large_size:.0f} KB file with "
            "interferograms of 29,000 and 15,000 points", per_file, per_block, per_file / per_block, "<= 1.0x",
            per_file <= per_block),
        Row("page faults per read_file call of that file (per block: "
            f"{block_faults:.1f})", None, None, file_faults, f"<= {block_faults + 1:.1f}",
            file_faults <= block_faults + 1, unit=" faults"),
    ]


def rss_row(path):
    # The high-water mark of the process's own memory (ru_maxrss would carry
    # this process's peak over into the child).
    code = (
        "import lumira\n"
        "def peak():\n"
        "    with open('/proc/self/status') as status:\n"
        "        return next(int(line.split()[1]) * 1024 for line in status if line.startswith('VmHWM'))\n"
        "before = peak()\n"
        f"result = lumira.getOpusData({str(path)!r}, ('AB', '3D', 'NONE'))\n"
        "arrays = result.spectra.nbytes + result.x.nbytes + result.mapX.nbytes + result.mapY.nbytes\n"
        "print(peak() - before, arrays)\n"
    )
    grown, arrays = map(int, subprocess.run([sys.executable, "-c", code], check=True, capture_output=True,
                                            text=True).stdout.split())
    allowed = arrays * 1.1 + 20 * 2**20
    return Row("peak RSS growth reading the image map (MB)", None, None, grown / 1e6,
               f"<= {allowed / 1e6:.0f} (arrays {arrays / 1e6:.0f})", grown <= allowed, unit=" MB")


def growth_row(folder, sizes_mb, npt, repeat):
    per_byte = []
    for megabytes in sizes_mb:
        side = max(2, int((megabytes * 1e6 / ((4 * npt + 160))) ** 0.5))
        path = write_image_map(folder / f"growth_{megabytes}.0", side, npt, seed=megabytes)
        elapsed = median_time(lambda: lumira.getOpusData(str(path), AB_3D), max(3, repeat // 2))
        per_byte.append(elapsed / os.path.getsize(path))
        path.unlink()
    spread = max(per_byte) / min(per_byte)
    label = "/".join(str(m) for m in sizes_mb)
    return Row(f"cost growth, image maps of {label} MB (max/min time per byte)", None, None, spread, "<= 1.2x",
               spread <= 1.2)


def run(sizes: Sizes, folder: pathlib.Path) -> list[Row]:
    rows = []
    image = write_image_map(folder / "image.0", sizes.image_side, sizes.image_points)
    rows.append(ratio_row(f"3D image map {sizes.image_side}x{sizes.image_side}x{sizes.image_points:,} "
                          f"({image.stat().st_size / 1e6:.0f} MB)",
                          lambda: lumira.getOpusData(str(image), AB_3D), fromfile(image), sizes.repeat, 1.3))
    series = write_series(folder / "series.0", sizes.series_records, sizes.series_points)
    rows.append(ratio_row(f"3D time-resolved series, {sizes.series_records:,} x {sizes.series_points:,}",
                          lambda: lumira.getOpusData(str(series), AB_3D), fromfile(series), sizes.repeat, 1.3))
    regions = write_multi_region(folder / "regions.0", sizes.region_count, sizes.region_points, sizes.region_npt)
    rows.append(ratio_row(f"3D multi-region map, {sizes.region_count} regions, {sizes.region_points:,} points",
                          lambda: lumira.getOpusData(str(regions), AB_3D), fromfile(regions), sizes.repeat, 1.5))
    spectrum = write_spectrum(folder / "spectrum.0", sizes.spectrum_points)
    rows.append(ratio_row(f"2D spectrum, {sizes.spectrum_points:,} points, getOpusData",
                          lambda: lumira.getOpusData(str(spectrum), AB_2D), read_whole(spectrum),
                          sizes.repeat * 200, 3.0))
    directory = write_directory(folder / "directory.0", sizes.directory_entries)
    rows.append(ratio_row(f"listContents, {sizes.directory_entries} directory entries",
                          lambda: lumira.listContents(str(directory)), read_whole(directory), sizes.repeat * 200, 2.0))
    small = [str(write_spectrum(folder / f"small_{i}.0", 1000, seed=i)) for i in range(sizes.small_files)]
    rows.append(threaded_row(small, sizes.repeat))
    instrument = str(write_instrument_file(folder / "instrument.0"))
    interferograms = str(write_instrument_file(folder / "interferograms.0", interferograms=(29_000, 15_000)))
    rows.extend(whole_file_rows(instrument, interferograms, sizes.repeat * 100))
    many = [str(write_instrument_file(folder / f"instrument_{i}.0", seed=i)) for i in range(sizes.instrument_files)]
    rows.append(many_row(many, sizes.repeat))
    spectra = [str(write_spectrum(folder / f"stack_{i}.0", 1000 + 100 * (i % 8), seed=i))
               for i in range(sizes.small_files)]
    rows.append(stack_row(spectra, sizes.repeat))
    side = max(2, int((sizes.large_mb * 1e6 / (4 * sizes.image_points + 160)) ** 0.5))
    large = [str(write_image_map(folder / f"large_{i}.0", side, sizes.image_points, seed=i))
             for i in range(sizes.large_files)]
    rows.extend(large_rows(large, sizes.repeat))
    for path in large:
        os.unlink(path)
    side = max(2, int((sizes.lazy_mb * 1e6 / (4 * sizes.image_points + 160)) ** 0.5))
    lazy = write_large_image_map(folder / "lazy.0", side, sizes.image_points)
    rows.extend(lazy_rows(lazy, sizes.repeat))
    lazy.unlink()
    rows.append(rss_row(image))
    rows.append(growth_row(folder, sizes.growth_mb, sizes.image_points, sizes.repeat))
    return rows


def show(rows: list[Row]) -> str:
    def seconds(value):
        if value is None:
            return "-"
        return f"{value * 1e3:.2f} ms" if value >= 1e-3 else f"{value * 1e6:.1f} µs"

    lines = ["| case | median | floor | ratio | bar | holds |", "|---|---|---|---|---|---|"]
    for row in rows:
        value = f"{row.value:.2f}{row.unit}" if row.unit == "x" else f"{row.value:.{int(row.value < 10)}f}{row.unit}"
        lines.append(f"| {row.case} | {seconds(row.time)} | {seconds(row.floor)} | {value} | {row.bar} | "
                     f"{'yes' if row.holds else 'NO'} |")
    return "\n".join(lines)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="run every case once on small files")
    parser.add_argument("--json", action="store_true", help="print the rows as JSON as well")
    options = parser.parse_args()
    sizes = QUICK if options.quick else FULL
    with tempfile.TemporaryDirectory(prefix="lumira-bench-") as folder:
        rows = run(sizes, pathlib.Path(folder))
    print(show(rows))
    if options.json:
        print(json.dumps([row.__dict__ for row in rows]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
