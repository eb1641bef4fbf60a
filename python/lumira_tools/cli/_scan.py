"""`lumira scan`: every OPUS file under a folder, read to find out what it holds and which files are broken."""

from __future__ import annotations

import argparse
from typing import Any

from ..scan import scan
from ._common import EXIT_FAILED, EXIT_OK, dump, positive, report, table


def run(args: argparse.Namespace) -> int:
    try:
        found = scan(args.folder, args.workers, show_progress=not args.json)
    except OSError as error:
        report(args.folder, error)
        return EXIT_FAILED
    failed = found.failed
    status = EXIT_FAILED if failed else EXIT_OK
    if args.json:
        dump({
            "folder": args.folder, "files": len(found.files), "opus_files": len(found.opus),
            "seconds": round(found.seconds, 4), "files_per_second": round(found.files_per_second(), 1),
            "blocks": [{"block": b, "kind": k, "files": n} for b, k, n in found.block_counts()],
            "failed": [{"path": f.path, "error": f.error} for f in failed],
        })
        return status
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


def add_to(commands: Any, json_flag: argparse.ArgumentParser) -> None:
    scan_ = commands.add_parser(
        "scan", parents=[json_flag], help="read every OPUS file under a folder",
        description="Walks a folder tree, reads the parameters, kind and shape of every block of every OPUS file "
                    "(threads open and parse the files ahead; a progress bar shows on a terminal), and prints a "
                    "summary and the files that failed.")
    scan_.add_argument("folder", metavar="DIR")
    scan_.add_argument("-j", "--workers", type=positive, help="threads opening files ahead (default: one per CPU)")
    scan_.set_defaults(run=run)
