"""`lumira scan`: every OPUS file under a folder, read to find out what it holds and which files are broken."""

from __future__ import annotations

import argparse
from typing import Any

from ..scan import FileScan, ScanReport, scan
from ._common import (EXIT_FAILED, EXIT_OK, TABLE_ERROR_WIDTH, cut, dump, mark_failed, positive, report,
                      table)


def run(args: argparse.Namespace) -> int:
    try:
        found = scan(args.folder, args.workers, show_progress=not args.json)
    except OSError as error:
        report(args.folder, error)
        return EXIT_FAILED
    failed = found.failed
    status = EXIT_FAILED if failed else EXIT_OK
    if failed:
        mark_failed()
    if args.json:
        dump({
            "folder": args.folder, "files": len(found.files), "opus_files": len(found.opus),
            "seconds": round(found.seconds, 4), "files_per_second": round(found.files_per_second(), 1),
            "blocks": [{"block": b, "kind": k, "files": n} for b, k, n in found.block_counts()],
            "failed": [{"path": f.path, "error": f.error} for f in failed],
            **({"per_file": [_file_row(f) for f in found.files if f.opus or f.error]} if args.files else {}),
        })
        return status
    if args.files:
        _print_files(found)
    total_bytes = sum(f.size for f in found.files)
    size = f"{total_bytes / 1e6:.1f} MB" if total_bytes >= 1e5 else f"{total_bytes / 1e3:.1f} kB"
    print(f"{args.folder}: {len(found.files):,} files ({size}) in {found.seconds:.2f} s, "
          f"{found.files_per_second():,.0f} files/s")
    read_ok = sum(1 for f in found.opus if f.error is None)
    others = sum(1 for f in found.files if not f.opus and f.error is None)
    print(f"  OPUS files read: {read_ok:,}   other files: {others:,}   failed: {len(failed):,}")
    counts = found.block_counts()
    if counts:
        print()
        for line in table([("BLOCK", "KIND", "FILES")] + [(b, k, f"{n:,}") for b, k, n in counts], right=(2,)):
            print("  " + line)
    if failed:
        print("\nFailed:")
        for f in failed:
            print(f"  {f.path}: {f.error}")
    return status


def _file_row(found: FileScan) -> dict[str, Any]:
    return {"path": found.path, "sample": found.sample, "time": found.time.isoformat() if found.time else None,
            "block": found.final, "points": found.points, "x_first": found.x_range[0] if found.x_range else None,
            "x_last": found.x_range[1] if found.x_range else None, "error": found.error}


def _print_files(found: ScanReport) -> None:
    """One row per OPUS file (and per failed one): what a read without a block would give of it."""
    rows = [("PATH", "SAMPLE", "TIME (UTC)", "BLOCK", "POINTS", "X RANGE")]
    for each in found.files:
        if each.error is not None:
            rows.append((each.path, "", "", "failed", "", cut(each.error, TABLE_ERROR_WIDTH)))
        elif each.opus:
            span = f"{each.x_range[0]:g} .. {each.x_range[1]:g}" if each.x_range else ""
            when = each.time.strftime("%Y-%m-%d %H:%M:%S") if each.time else ""
            rows.append((each.path, cut(each.sample, 32), when, each.final or "-",
                         f"{each.points:,}" if each.points is not None else "", span))
    for line in table(rows, right=(4,)):
        print(line)
    print()


def add_to(commands: Any, json_flag: argparse.ArgumentParser) -> None:
    scan_ = commands.add_parser(
        "scan", parents=[json_flag], help="read every OPUS file under a folder",
        description="Walks a folder tree, reads the parameters, kind and shape of every block of every OPUS file "
                    "(threads open and parse the files ahead; a progress bar shows on a terminal), and prints a "
                    "summary and the files that failed; with --files, first a table of every file.")
    scan_.add_argument("folder", metavar="DIR")
    scan_.add_argument("-j", "--workers", type=positive, help="threads opening files ahead (default: one per CPU)")
    scan_.add_argument("--files", action="store_true",
                       help="first a table of the files: path, sample name, time, final block, points, x range")
    scan_.set_defaults(run=run)
