"""`lumira export FILE|DIR... --each -o OUTDIR/`: every file converted on its own, in one process.

A shell loop over `lumira export` pays the start-up of the interpreter for each file; here the files are read in
native batches (threads opening them ahead) and each written as it comes. A file that cannot be read or written is
skipped, said on standard error (unless --quiet) and counted in the closing summary by its reason.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Iterator

from .. import export as exporting
from .._blocks import patterns
from .._expand import folder_files
from .._failures import summary
from .._many import chosen_block, progress_bar, read_files
from .._read import NotOpusFileError, error_text, failed_save
from ._common import EXIT_FAILED, EXIT_OK, UsageError, dump, mark_failed, result_of

FORMATS = ("csv", "npz", "nc", "jdx")
BATCH = 64  # files read at once: a batch of maps is held in memory until written


def _files(inputs: list[str]) -> Iterator[tuple[str, str, bool]]:
    """(path, output name, found in a folder) for every file: a file given is named by itself, a file under a
    folder by its place under that folder, so that same names in subfolders stay apart."""
    for given in inputs:
        if os.path.isdir(given):
            files, unlisted = folder_files(given)
            for folder, error in unlisted:
                yield folder, "", False  # reading it says why
            for path in files:
                yield path, os.path.relpath(path, given), True
        else:
            yield given, os.path.basename(given), False


def export_each(args: argparse.Namespace) -> int:
    fmt = (args.format or "csv").lower()
    folder = args.output
    if not folder.endswith(("/", os.sep)) and not os.path.isdir(folder):
        raise UsageError(f"--each writes into a folder: write it with a trailing slash, {folder}/")
    parent = os.path.dirname(os.path.abspath(folder.rstrip("/" + os.sep)))
    if not os.path.isdir(parent):
        print(f"lumira: {folder}: the folder {parent} does not exist", file=sys.stderr)
        mark_failed()
        return EXIT_FAILED
    os.makedirs(folder, exist_ok=True)
    written: list[dict[str, Any]] = []
    skipped: dict[str, str] = {}
    taken: dict[str, str] = {}
    files = list(_files(args.files))
    bar = progress_bar(len(files), terminal_only=True) if not args.json and not args.quiet else None
    try:
        for start in range(0, len(files), BATCH):
            batch = files[start:start + BATCH]
            opened = read_files([path for path, _, _ in batch], patterns(args.block), args.workers, data=True,
                                strict=True, scale=not args.raw, progress=(lambda: bar.update(1)) if bar else None)
            for (path, name, searched), (_, outcome) in zip(batch, opened):
                if searched and isinstance(outcome, NotOpusFileError) and not failed_save(path, outcome):
                    continue  # a folder's other files
                target = os.path.join(folder, f"{name}.{fmt}")
                problem = _write(outcome, args.block, target, taken.get(target))
                if isinstance(problem, dict):
                    taken[target] = path
                    written.append({"path": path, **problem})
                else:
                    skipped[path] = problem
                    if not args.quiet and not args.json:
                        print(f"lumira: {path}: {problem}", file=sys.stderr)
    finally:
        if bar is not None:
            bar.close()
    return _said(args, fmt, written, skipped)


def _write(outcome: Any, block: Any, target: str, taken_by: Any) -> Any:
    """What was written ({block, output, bytes}), or why the file was skipped."""
    found = chosen_block(outcome, block)
    if isinstance(found, BaseException):
        return error_text(found)
    if taken_by is not None:
        return f"its output {target} is written for {taken_by} already"
    try:
        os.makedirs(os.path.dirname(target), exist_ok=True)  # a subfolder's files go to a subfolder
        exporting.export(result_of(found), target)
    except (OSError, ValueError, TypeError, ImportError) as error:
        return error_text(error)
    return {"block": found.name, "output": target, "bytes": os.path.getsize(target)}


def _said(args: argparse.Namespace, fmt: str, written: list[dict[str, Any]], skipped: dict[str, str]) -> int:
    if skipped:
        mark_failed()
    if args.json:
        dump({"paths": args.files, "output": args.output, "format": fmt, "written": written,
              "skipped": [{"path": path, "error": reason} for path, reason in skipped.items()]})
    else:
        size = sum(each["bytes"] for each in written)
        blocks = ", ".join(dict.fromkeys(each["block"] for each in written))
        print(f"wrote {len(written):,} file{'s' if len(written) != 1 else ''} into {args.output}"
              + (f" ({blocks}, {size:,} bytes)" if written else "")
              + (f"; {len(skipped):,} skipped: {summary(skipped.values())}" if skipped else ""))
    return EXIT_FAILED if skipped else EXIT_OK


def check(args: argparse.Namespace) -> None:
    """--each and the options that belong to it."""
    if args.stack:
        raise UsageError("--each writes a file per input, --stack one table of them all: choose one")
    if args.axis is not None or args.x_unit is not None:
        raise UsageError("--axis and --x-unit belong to --stack")
    if args.format is not None and args.format.lower() not in FORMATS:
        raise UsageError(f"--format is one of {', '.join(FORMATS)}, not {args.format!r}")
