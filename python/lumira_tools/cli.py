"""The `lumira` command: look into OPUS files, plot and export their blocks, scan folders of them.

Exit status: 0 when everything asked for was done, 1 when a file could not be read or written, 2 for a
command line that asks for something impossible. Errors go to standard error; --json makes the output
machine-readable.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from typing import Any, Callable, Optional, Sequence

import numpy as np

import lumira

from . import __version__
from . import export as exporting
from ._axes import axis_of
from ._file import Block, block_index, read_block, read_file
from ._read import BlockSpecError, DataReturn, NotASpectrumError, NotOpusFileError, block_text, parse_block
from .scan import error_text, scan

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
BLOCK_HELP = ("the block, written TYPE/DIMENSION/DERIVATIVE in any case, e.g. AB/2D/NONE, or #N for the N-th block "
              "`lumira ls` lists (default: the final spectrum before single channels, phases and interferograms)")
RAW_HELP = "the values as stored, not multiplied by the block's scaling factor CSF"
MAP_KIND_NAMES = ("image map", "image map (traces)", "multi-region", "multi-region (traces)")
# An error longer than this is cut short in a table row (and given whole on standard error), so that one damaged
# block does not push every other row's columns apart.
TABLE_ERROR_WIDTH = 40


class UsageError(Exception):
    """The command line asks for something that cannot be done, whatever the files hold."""


class Failed(Exception):
    """A file could not be read or written; the message has been reported already."""


def _report(path: str, error: BaseException) -> None:
    print(f"lumira: {path}: {error_text(error)}", file=sys.stderr)


def _dump(value: Any) -> None:
    print(json.dumps(value, indent=2, ensure_ascii=False, default=_plain))


def _plain(value: Any) -> Any:
    if isinstance(value, np.generic):
        return value.item()
    raise TypeError(f"cannot write {type(value).__name__} as JSON")


def _read(path: str, block: Optional[str], *, data: bool = True, scale: bool = True) -> Block:
    """The block, read; failures are reported and raised as Failed."""
    try:
        found = read_block(path, block, data=data, scale=scale)
        if found.error is not None:
            raise found.error
        return found
    except BlockSpecError as error:
        raise UsageError(str(error)) from error
    except Exception as error:  # noqa: BLE001 - whatever a damaged file makes the reader raise
        _report(path, error)
        raise Failed from error


def _result(block: Block) -> DataReturn:
    assert block.result is not None, "read with its values"
    return block.result


def describe(block: Block) -> dict[str, Any]:
    """What `ls` says about a block: place, kind, shape, point count and x range with units."""
    parameters = block.parameters or {}
    axis = axis_of(parameters, block.kind in MAP_KIND_NAMES)
    span = block.x_range
    points = parameters.get("NPT")
    return {
        "number": block.number, "block": block.name, "shadowed": block.shadowed, "kind": block.kind,
        "shape": list(block.shape or ()), "points": points if isinstance(points, int) else None,
        "x_first": span[0] if span else None, "x_last": span[1] if span else None,
        "units": axis.unit, "x_axis": axis.name,
    }


def _shape_text(info: dict[str, Any]) -> str:
    if info["kind"].startswith("multi-region"):
        return f"{info['shape'][0]} points x {info['shape'][1]}"
    return " x ".join(map(str, info["shape"]))


def _cut(text: str, width: int) -> str:
    return text if len(text) <= width else text[:width - 3].rstrip() + "..."


def _table(rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> list[str]:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths)))
            .rstrip() for row in rows]


# --- commands ------------------------------------------------------------------------------------------


def cmd_ls(args: argparse.Namespace) -> int:
    status = EXIT_OK
    listing: list[dict[str, Any]] = []
    for path in args.files:
        entry: dict[str, Any] = {"path": path, "opus": False, "blocks": []}
        listing.append(entry)
        try:
            opened = read_file(path, data=False)
        except NotOpusFileError:
            continue
        except Exception as error:  # noqa: BLE001 - reported, and the other files still listed
            entry["error"] = error_text(error)
            _report(path, error)
            status = EXIT_FAILED
            continue
        entry["opus"] = True
        for request in opened.unanswered:  # listed, but without the data block a read needs
            entry["blocks"].append({"number": None, "block": block_text(request), "shadowed": False,
                                    "error": f"No data block exists in the file for: {' '.join(request)}"})
            _report(f"{path}: {block_text(request)}", ValueError(entry["blocks"][-1]["error"]))
            status = EXIT_FAILED
        for block in opened.blocks:
            info = describe(block)
            entry["blocks"].append(info)
            if block.error is not None:  # one broken block does not hide the others
                info["error"] = error_text(block.error)
                _report(f"{path}: #{block.number} {block.name}", block.error)
                status = EXIT_FAILED
    if args.json:
        _dump(listing)
        return status
    for entry in listing:
        if "error" in entry:  # said on standard error
            continue
        if not entry["opus"]:
            print(f"{entry['path']}: not an OPUS file")
            continue
        count = len(entry["blocks"])
        print(f"{entry['path']}: OPUS file, {count} data block{'s' if count != 1 else ''}")
        if not count:
            continue
        shadows = any(block["shadowed"] for block in entry["blocks"])
        rows = [("#", "BLOCK", "KIND", "SHAPE", "POINTS", "X RANGE", "UNITS") + (("NOTE",) if shadows else ())]
        for block in entry["blocks"]:
            note = ("shadowed",) if block["shadowed"] else ("",)
            place = f"#{block['number']}" if block["number"] is not None else "-"
            if "error" in block:
                rows.append((place, block["block"], "unreadable", "", "", _cut(block["error"], TABLE_ERROR_WIDTH),
                             "") + (note if shadows else ()))
                continue
            span = f"{block['x_first']:g} .. {block['x_last']:g}" if block["x_first"] is not None else "-"
            rows.append((place, block["block"], block["kind"], _shape_text(block), str(block["points"]), span,
                         block["units"]) + (note if shadows else ()))
        for line in _table(rows, right=(4,)):
            print("  " + line)
        if shadows:
            print("  (a shadowed block answers the same request as a later one: name it by its place, e.g. #0)")
    return status


def cmd_show(args: argparse.Namespace) -> int:
    found = _read(args.file, args.block, data=False)
    parameters = found.parameters or {}
    described = [{"code": code, "value": value, "description": lumira.paramDict.get(code)}
                 for code, value in parameters.items()]
    rows = [("CODE", "VALUE", "DESCRIPTION")]
    rows += [(code, str(value), lumira.paramDict.get(code, "")) for code, value in parameters.items()]
    if args.json:
        _dump({"path": args.file, "block": found.name, "number": found.number, "kind": found.kind,
               "parameters": described})
        return EXIT_OK
    print(f"{args.file}: #{found.number} {found.name} ({found.kind}, {len(described)} parameters)")
    for line in _table(rows):
        print("  " + line)
    return EXIT_OK


def cmd_plot(args: argparse.Namespace) -> int:
    from . import plot as plotting

    _check_limits(args)
    suffix = os.path.splitext(args.output)[1].lstrip(".").lower()
    if not suffix:
        raise UsageError(f"{args.output}: no suffix to name the image format: use .png, .svg, .pdf, ...")
    try:
        formats = plotting.image_formats()
    except ImportError as error:
        _report(args.output, error)
        return EXIT_FAILED
    if suffix not in formats:
        raise UsageError(f"{args.output}: cannot draw to '.{suffix}': use one of "
                         f"{', '.join('.' + known for known in sorted(formats))}")
    _check_writable(args.output)
    limits = {"xlim": args.xlim, "ylim": args.ylim}
    if len(args.files) > 1:
        return _plot_overlay(args, plotting, limits)
    result = _read(args.file, args.block, scale=not args.raw)
    return _write(args, result.name,
                  lambda target: plotting.plot(_result(result), target, title=args.title, dpi=args.dpi, **limits))


def _plot_overlay(args: argparse.Namespace, plotting: Any, limits: dict[str, Any]) -> int:
    """The single spectra of several files on one axis; every file that fails is said, and then nothing drawn."""
    spectra: list[tuple[str, Block]] = []
    failed = False
    for path in args.files:
        try:
            probe = _read(path, args.block, data=False)
            if probe.request[1] != "2D":
                _report(path, NotASpectrumError(f"{probe.name} is a 3D block ({probe.kind}): an overlay draws "
                                                "single spectra"))
                raise Failed
            spectra.append((path, _read(path, f"#{probe.number}", scale=not args.raw)))
        except Failed:
            failed = True
    if failed:
        return EXIT_FAILED
    names = [os.path.basename(path) for path, _ in spectra]
    if len(set(names)) < len(names):  # the same name in two folders: the paths tell them apart
        names = [path for path, _ in spectra]
    drawn = [(name, _result(found)) for name, (_, found) in zip(names, spectra)]
    return _write(args, spectra[0][1].name, lambda target: plotting.save(
        plotting.overlay(drawn, args.title, **limits), target, dpi=args.dpi))


def _check_limits(args: argparse.Namespace) -> None:
    for option in ("xlim", "ylim"):
        bounds = getattr(args, option)
        if bounds is not None and (not all(map(math.isfinite, bounds)) or bounds[0] == bounds[1]):
            raise UsageError(f"--{option} takes two different finite numbers, LOW HIGH, not {bounds[0]:g} "
                             f"{bounds[1]:g}")


def cmd_export(args: argparse.Namespace) -> int:
    suffix = os.path.splitext(args.output)[1].lower()
    if args.stack:
        return _export_stack(args, suffix)
    if args.axis is not None:
        raise UsageError("--axis belongs to --stack")
    if len(args.files) > 1 or os.path.isdir(args.file):
        raise UsageError("export writes the block of one file: --stack writes several files, or the files under "
                         "a folder, as one table")
    if suffix not in exporting.FORMATS:
        raise UsageError(f"cannot export to {suffix or 'a file without suffix'!r}: use .csv, .npz or .nc")
    _check_writable(args.output)
    found = _read(args.file, args.block, scale=not args.raw)
    return _write(args, found.name, lambda target: exporting.export(_result(found), target))


def _export_stack(args: argparse.Namespace, suffix: str) -> int:
    """Several files or folders as one table (through `stack`). The files that could be read are written, the
    others said on standard error (and kept in the output's `failed`), and the exit status is then 1."""
    from ._stack import stack

    if suffix not in exporting.STACK_FORMATS:
        raise UsageError(f"cannot export a stack to {suffix or 'a file without suffix'!r}: use .csv, .nc or "
                         ".parquet")
    _check_writable(args.output)
    try:
        if suffix == ".parquet":
            exporting.parquet_module()
        table = stack(args.files, args.block, axis=args.axis or "first", scale=not args.raw, workers=args.workers,
                      progress=not args.json and sys.stderr.isatty())
    except BlockSpecError:  # a misspelt block: the command line's fault, which main says as such
        raise
    except (ValueError, ImportError) as error:  # nothing to stack, or files that cannot share one table
        print(f"lumira: {error_text(error)}", file=sys.stderr)
        return EXIT_FAILED
    failed = dict(table.attrs["failed"])
    for path, skipped in failed.items():
        _report(path, skipped)
    try:
        exporting.export_stack(table, args.output)
    except (OSError, ValueError, TypeError, ImportError) as error:
        _report(args.output, error)
        return EXIT_FAILED
    size = os.path.getsize(args.output)
    count = table.sizes["file"]
    if args.json:
        _dump({"paths": args.files, "block": table.attrs["block"], "output": args.output, "bytes": size,
               "files": count,
               "failed": [{"path": path, "error": error_text(skipped)} for path, skipped in failed.items()]})
    else:
        print(f"wrote {args.output} ({table.attrs['block']}, {count:,} file{'s' if count != 1 else ''}, "
              f"{size:,} bytes)" + (f"; {len(failed):,} skipped" if failed else ""))
    return EXIT_FAILED if failed else EXIT_OK


def _check_writable(output: str) -> None:
    """A missing folder fails the write whatever is read: said before reading, as the write would say it."""
    folder = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(folder):
        print(f"lumira: {output}: the folder {folder} does not exist", file=sys.stderr)
        raise Failed


def _write(args: argparse.Namespace, block: str, write: Callable[[str], Any]) -> int:
    """Writes the output (atomically: a failure leaves nothing behind) and says what was written."""
    try:
        write(args.output)
    except exporting.ExportError as error:
        _report(args.file, error)
        return EXIT_FAILED
    except (OSError, ValueError, TypeError, ImportError) as error:
        _report(args.output, error)
        return EXIT_FAILED
    size = os.path.getsize(args.output)
    if args.json:
        _dump({"path": args.file, "block": block, "output": args.output, "bytes": size})
    else:
        print(f"wrote {args.output} ({block}, {size:,} bytes)")
    return EXIT_OK


def cmd_scan(args: argparse.Namespace) -> int:
    try:
        report = scan(args.folder, args.workers, show_progress=not args.json)
    except OSError as error:
        _report(args.folder, error)
        return EXIT_FAILED
    failed = report.failed
    status = EXIT_FAILED if failed else EXIT_OK
    if args.json:
        _dump({
            "folder": args.folder, "files": len(report.files), "opus_files": len(report.opus),
            "seconds": round(report.seconds, 4), "files_per_second": round(report.files_per_second(), 1),
            "blocks": [{"block": b, "kind": k, "files": n} for b, k, n in report.block_counts()],
            "failed": [{"path": f.path, "error": f.error} for f in failed],
        })
        return status
    total_bytes = sum(f.size for f in report.files)
    size = f"{total_bytes / 1e6:.1f} MB" if total_bytes >= 1e5 else f"{total_bytes / 1e3:.1f} kB"
    print(f"{args.folder}: {len(report.files):,} files ({size}) in {report.seconds:.2f} s, "
          f"{report.files_per_second():,.0f} files/s")
    read_ok = sum(1 for f in report.opus if f.error is None)
    others = sum(1 for f in report.files if not f.opus and f.error is None)
    print(f"  OPUS files read: {read_ok:,}   other files: {others:,}   failed: {len(failed):,}")
    counts = report.block_counts()
    if counts:
        print()
        for line in _table([("BLOCK", "KIND", "FILES")] + [(b, k, f"{n:,}") for b, k, n in counts], right=(2,)):
            print("  " + line)
    if failed:
        print("\nFailed:")
        for f in failed:
            print(f"  {f.path}: {f.error}")
    return status


# --- the parser ----------------------------------------------------------------------------------------


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="lumira", description="Look into OPUS spectral data files: list, show, plot, export, scan.",
        epilog="Exit status: 0 done, 1 a file could not be read or written, 2 bad command line.\n\n"
               "Documentation: README.md of the lumira sources, in the sections 'A five-minute tour',\n"
               "'API reference of the extension' (what lumira.help() calls the documentation) and\n"
               "'The companion package lumira_tools'.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"lumira {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    json_flag = argparse.ArgumentParser(add_help=False)
    json_flag.add_argument("--json", action="store_true", help="print JSON instead of text")

    ls = commands.add_parser("ls", parents=[json_flag], help="list the data blocks of files",
                             description="For each file: whether it is an OPUS file, and each data block with its "
                                         "kind, shape, point count, x range and units.")
    ls.add_argument("files", nargs="+", metavar="FILE")
    ls.set_defaults(run=cmd_ls)

    show = commands.add_parser("show", parents=[json_flag], help="print the parameters of a block",
                               description="The parameters of a block, each with its description where known.")
    show.add_argument("file", metavar="FILE")
    show.add_argument("block", nargs="?", metavar="BLOCK", help=BLOCK_HELP)
    show.set_defaults(run=cmd_show)

    plot = commands.add_parser(
        "plot", parents=[json_flag], help="draw a block to an image file (needs matplotlib)",
        usage="lumira plot [-h] FILE... [BLOCK] -o OUTPUT [options]",
        description="A spectrum plot (wavenumbers run from high to low); for an image map the integrated-"
                    "intensity map beside the mean spectrum; for a series a heat map over z. Several files: "
                    "their single spectra on one axis, with the file names in the legend. The format follows "
                    "the suffix of OUTPUT (png, svg, pdf).")
    plot.add_argument("inputs", nargs="+", metavar="FILE... [BLOCK]",
                      help=f"one file or several; BLOCK last: {BLOCK_HELP}")
    plot.add_argument("-o", "--output", required=True, metavar="OUTPUT", help="the image file to write")
    plot.add_argument("--title", help="the figure's title (default: sample name and block)")
    plot.add_argument("--dpi", type=int, default=100, help="resolution (default: %(default)s)")
    for option, what in (("--xlim", "the spectral axis (a wavenumber axis still runs from high to low)"),
                         ("--ylim", "the values (z for a series' heat map)")):
        plot.add_argument(option, type=float, nargs=2, metavar=("LOW", "HIGH"), help=f"the range shown of {what}")
    plot.add_argument("--raw", action="store_true", help=RAW_HELP)
    plot.set_defaults(run=cmd_plot)

    export = commands.add_parser(
        "export", parents=[json_flag], help="write a block to CSV, NPZ or NetCDF; many files as one table",
        usage="lumira export [-h] FILE [BLOCK] -o OUTPUT [options]\n       lumira export FILE|DIR... [BLOCK] --stack "
              "-o OUTPUT [options]",
        description="CSV for single spectra, image maps and series (one row per map point or record), NPZ for "
                    "every kind of block, NetCDF (.nc) through xarray. With --stack, the single spectra of several "
                    "files, or of the OPUS files under folders, as one table (one row per file) in CSV, NetCDF or "
                    "Parquet; files that cannot be read are said on standard error and left out (exit status 1).")
    export.add_argument("inputs", nargs="+", metavar="FILE [BLOCK]",
                        help=f"the file (with --stack: files and folders); BLOCK last: {BLOCK_HELP}")
    export.add_argument("-o", "--output", required=True, metavar="OUTPUT",
                        help="out.csv, out.npz or out.nc; with --stack out.csv, out.nc or out.parquet")
    export.add_argument("--stack", action="store_true", help="write the spectra of every file as one table")
    export.add_argument("--axis", choices=("first", "union", "exact"),
                        help="with --stack: interpolate onto the first file's axis (the default), onto a grid "
                             "covering all files at the finest spacing, or refuse axes that differ")
    export.add_argument("-j", "--workers", type=_positive, help="with --stack: threads opening files ahead")
    export.add_argument("--raw", action="store_true", help=RAW_HELP)
    export.set_defaults(run=cmd_export)

    scan_ = commands.add_parser(
        "scan", parents=[json_flag], help="read every OPUS file under a folder",
        description="Walks a folder tree, reads the parameters, kind and shape of every block of every OPUS file "
                    "(threads open and parse the files ahead; a progress bar shows on a terminal), and prints a "
                    "summary and the files that failed.")
    scan_.add_argument("folder", metavar="DIR")
    scan_.add_argument("-j", "--workers", type=_positive, help="threads opening files ahead (default: one per CPU)")
    scan_.set_defaults(run=cmd_scan)
    return top


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _check_block(command: str, text: str) -> None:
    if text.strip().startswith("#"):
        block_index(text)
        return
    try:
        parse_block(text)
    except BlockSpecError as error:
        # No block is written with a dot or a backslash; a second file given by mistake usually is.
        if os.path.exists(text) or any(mark in text for mark in ".\\~"):
            raise UsageError(f"{text!r} is a path where a block is expected: BLOCK is written "
                             f"TYPE/DIMENSION/DERIVATIVE, e.g. AB/2D/NONE, and {command} reads one file") from error
        raise


def _files_and_block(inputs: Sequence[str]) -> tuple[list[str], Optional[str]]:
    """FILE... [BLOCK]: the last argument is the block when it is no path and does not look like one."""
    last = inputs[-1]
    if len(inputs) > 1 and not os.path.exists(last) and (last.strip().startswith("#") or
                                                         not any(mark in last for mark in ".\\~")):
        return list(inputs[:-1]), last
    return list(inputs), None


def main(argv: Optional[Sequence[str]] = None) -> int:
    top = parser()
    try:
        args = top.parse_args(argv)
    except SystemExit as done:  # --help, or a command line argparse refused (it has said why)
        return done.code if isinstance(done.code, int) else EXIT_USAGE
    if hasattr(args, "inputs"):
        args.files, args.block = _files_and_block(args.inputs)
        args.file = args.files[0]
    try:
        if getattr(args, "block", None) is not None:
            _check_block(args.command, args.block)
        status: int = args.run(args)
        sys.stdout.flush()
    except (UsageError, BlockSpecError) as error:
        print(f"lumira {args.command}: error: {error}", file=sys.stderr)
        return EXIT_USAGE
    except Failed:
        return EXIT_FAILED
    except BrokenPipeError:
        # The reader went away (`lumira ls ... | head`): nothing more to say, and nowhere to say it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    except KeyboardInterrupt:
        return 130
    return status
