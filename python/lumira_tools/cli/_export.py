"""`lumira export`: a block to CSV, NPZ, NetCDF or JCAMP-DX; with --stack, the spectra of many files as one
table, or as JCAMP-DX."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

from .. import export as exporting
from .._axes import x_unit_option
from .._read import BlockSpecError
from .._failures import failures, summary
from .._read import error_text
from . import _each as each
from . import _export_jcamp as export_jcamp
from ._common import (BLOCK_HELP, EXIT_FAILED, EXIT_OK, RAW_HELP, UsageError, check_writable, dump, mark_failed,
                      positive, read_checked, report, write_output)
from ._export_images import IMAGES, export_images


def run(args: argparse.Namespace) -> int:
    if args.each:
        each.check(args)
        return each.export_each(args)
    if args.format is not None or args.quiet:
        raise UsageError("--format and --quiet belong to --each")
    if args.block is not None and args.block.strip().lower() == IMAGES and not args.stack:
        return export_images(args)
    suffix = os.path.splitext(args.output)[1].lower()
    if args.stack:
        if suffix in exporting.JCAMP_FORMATS or export_jcamp.wants_folder(args.output):
            return export_jcamp.export_stack(args)
        return _export_stack(args, suffix)
    if args.axis is not None or args.x_unit is not None:
        raise UsageError("--axis and --x-unit belong to --stack")
    if len(args.files) > 1 or os.path.isdir(args.file):
        raise UsageError("export writes the block of one file: --stack writes several files, or the files under "
                         "a folder, as one table")
    if suffix not in exporting.FORMATS:
        raise UsageError(f"cannot export to {suffix or 'a file without suffix'!r}: use .csv, .npz, .nc, .jdx or .dx")
    check_writable(args.output)
    found = read_checked(args.file, args.block, scale=not args.raw)
    if suffix in exporting.JCAMP_FORMATS:
        return write_output(args, found.name, lambda target: exporting.write_jcamp(
            found, target, title=export_jcamp.title_of(found, args.file)))
    return write_output(args, found.name, lambda target: exporting.export(found, target))


def _export_stack(args: argparse.Namespace, suffix: str) -> int:
    """Several files or folders as one table (through `stack`). The files that could be read are written, the
    others said on standard error (and kept in the output's `failed`), and the exit status is then 1."""
    from .._stack import stack

    if suffix not in exporting.STACK_FORMATS:
        raise UsageError(f"cannot export a stack to {suffix or 'a file without suffix'!r}: use .csv, .nc, "
                         ".parquet, .jdx, .dx or a folder (OUT/) for one .jdx file per spectrum")
    check_writable(args.output)
    try:
        if suffix == ".parquet":
            exporting.parquet_module()
        table = stack(args.files, args.block, axis=args.axis or "first", scale=not args.raw, workers=args.workers,
                      progress=not args.json and sys.stderr.isatty(), x=args.x_unit)
    except BlockSpecError:  # a misspelt block: the command line's fault, which main says as such
        raise
    except (ValueError, ImportError) as error:  # nothing to stack, or files that cannot share one table
        print(f"lumira: {error_text(error)}", file=sys.stderr)
        return EXIT_FAILED
    failed = failures(table)
    if failed:
        mark_failed()
    for path, reason in failed.items():
        print(f"lumira: {path}: {reason}", file=sys.stderr)
    try:
        exporting.export_stack(table, args.output)
    except (OSError, ValueError, TypeError, ImportError) as error:
        report(args.output, error)
        return EXIT_FAILED
    size = os.path.getsize(args.output)
    count = table.sizes["file"]
    if args.json:
        dump({"paths": args.files, "block": table.attrs["block"], "output": args.output, "bytes": size,
              "files": count,
              "failed": [{"path": path, "error": reason} for path, reason in failed.items()]})
    else:
        print(f"wrote {args.output} ({table.attrs['block']}, {count:,} file{'s' if count != 1 else ''}, "
              f"{size:,} bytes)" + (f"; {len(failed):,} skipped: {summary(failed.values())}" if failed else ""))
    return EXIT_FAILED if failed else EXIT_OK


def add_to(commands: Any, json_flag: argparse.ArgumentParser) -> None:
    export = commands.add_parser(
        "export", parents=[json_flag], help="write a block to CSV, NPZ, NetCDF or JCAMP-DX; many files as one table",
        usage="lumira export [-h] FILE [BLOCK] -o OUTPUT [options]\n       lumira export FILE|DIR... [BLOCK] --stack "
              "-o OUTPUT [options]\n       lumira export FILE|DIR... [BLOCK] --each -o OUTDIR/ [--format csv|npz|nc|"
              "jdx] [--quiet]\n       lumira export FILE images -o DIR/",
        description="CSV for single spectra, image maps and series (one row per map point or record), NPZ for "
                    "every kind of block, NetCDF (.nc) through xarray, JCAMP-DX (.jdx, .dx) for single spectra. "
                    "With --stack, the single spectra of several files, or of the OPUS files under folders, as one "
                    "table (one row per file) in CSV, NetCDF or Parquet, as the blocks of one compound JCAMP-DX "
                    "file (OUT.jdx), or as one JCAMP-DX file per spectrum in a folder (OUT/, a trailing slash); "
                    "files that cannot be read are said on standard error and left out (exit status 1). "
                    "With --each, every file on its own into the folder OUTDIR/, in one process; the files "
                    "skipped are said, and counted by reason at the end (exit status 1). "
                    "With the block 'images', the file's embedded images into the folder OUTPUT: an image of one "
                    "tile as its JPEG, a mosaic assembled as PNG.")
    export.add_argument("inputs", nargs="+", metavar="FILE [BLOCK]",
                        help=f"the file (with --stack: files and folders); BLOCK last: {BLOCK_HELP}")
    export.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                        help="out.csv, out.npz, out.nc, out.jdx or out.dx; with --stack out.csv, out.nc, "
                             "out.parquet, out.jdx (one compound file) or out/ (one .jdx file per spectrum)")
    export.add_argument("--stack", action="store_true", help="write the spectra of every file as one table")
    export.add_argument("--each", action="store_true",
                        help="write every file (and every OPUS file under the folders) on its own into the folder "
                             "OUTPUT/, named after it: FILE.csv, or as --format says")
    export.add_argument("--format", metavar="FORMAT", help=f"with --each: {', '.join(each.FORMATS)} (default csv)")
    export.add_argument("--quiet", action="store_true",
                        help="with --each: only the summary, not a line for each file skipped")
    export.add_argument("--axis", choices=("first", "union", "exact"),
                        help="with --stack: interpolate onto the first file's axis (the default), onto a grid "
                             "covering all files at the finest spacing, or refuse axes that differ")
    export.add_argument("--x-unit", type=x_unit_option, metavar="UNIT",
                        help="with --stack (tables): the spectral axis in UNIT, wavenumber (cm-1), wavelength (um), "
                             "nm or frequency (Hz); without it, files in other units are converted to the first "
                             "file's")
    export.add_argument("-j", "--workers", type=positive, help="with --stack: threads opening files ahead")
    export.add_argument("--raw", action="store_true", help=RAW_HELP)
    export.set_defaults(run=run)
