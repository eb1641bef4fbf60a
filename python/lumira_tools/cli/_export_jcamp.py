"""`lumira export --stack` to JCAMP-DX: the spectra of many files as the blocks of one compound file (OUT.jdx), or
as one file each in a folder (OUT/)."""

from __future__ import annotations

import argparse
import os
import sys

from .. import _jcamp
from .. import export as exporting
from .._read import BlockSpecError
from .._read import error_text
from .._types import Block
from ._common import EXIT_FAILED, EXIT_OK, UsageError, check_writable, dump, report, result_of


def wants_folder(output: str) -> bool:
    """An output that ends with a path separator, or is a folder, takes one JCAMP-DX file per spectrum."""
    return output.endswith(os.sep) or output.endswith("/") or os.path.isdir(output)


def title_of(found: Block, path: str) -> str:
    """The sample name, else the file's name: a block's title says which spectrum it is."""
    name = (found.parameters or {}).get("SNM")
    return str(name) if isinstance(name, str) and name.strip() else os.path.basename(path)


def export_stack(args: argparse.Namespace) -> int:
    from .._stack import _single_blocks

    if args.axis is not None or args.x_unit is not None:
        raise UsageError("JCAMP-DX blocks keep each file's own axis: --axis and --x-unit belong to tables")
    folder = wants_folder(args.output)
    check_writable(args.output)  # the folder it goes in (for OUT/, the one OUT is made in)
    try:
        spectra, failed = _single_blocks(args.files, args.block, data=True, scale=not args.raw,
                                         workers=args.workers, progress=not args.json and sys.stderr.isatty(),
                                         errors="collect")
    except BlockSpecError:  # a misspelt block: the command line's fault, which main says as such
        raise
    except ValueError as error:  # a 3D block among the files
        print(f"lumira: {error_text(error)}", file=sys.stderr)
        return EXIT_FAILED
    writable = []
    for path, found in spectra:
        try:
            _jcamp.check(result_of(found))
            writable.append((path, found))
        except _jcamp.JcampError as error:
            failed[path] = error
    for path, skipped in failed.items():
        report(path, skipped)
    if not writable:
        print(f"lumira: no spectrum to write ({len(failed):,} file{'s' if len(failed) != 1 else ''} failed)"
              if failed else "lumira: no files to export", file=sys.stderr)
        return EXIT_FAILED
    try:
        written = _one_each(args, writable) if folder else _compound(args, writable)
    except (OSError, ValueError) as error:
        report(args.output, error)
        return EXIT_FAILED
    size = sum(os.path.getsize(path) for path in written)
    block = writable[0][1].name
    if args.json:
        dump({"paths": args.files, "block": block, "output": args.output, "bytes": size, "files": len(writable),
              "written": written if folder else [args.output],
              "failed": [{"path": path, "error": error_text(skipped)} for path, skipped in failed.items()]})
    else:
        what = f"{len(written):,} JCAMP-DX file{'s' if len(written) != 1 else ''}" if folder else args.output
        print(f"wrote {what} ({block}, {len(writable):,} spectr{'a' if len(writable) != 1 else 'um'}, {size:,} "
              "bytes)" + (f"; {len(failed):,} skipped" if failed else ""))
    return EXIT_FAILED if failed else EXIT_OK


def _compound(args: argparse.Namespace, spectra: list[tuple[str, Block]]) -> list[str]:
    exporting.write_jcamp_blocks([(title_of(found, path), found) for path, found in spectra],
                                 args.output)
    return [args.output]


def _one_each(args: argparse.Namespace, spectra: list[tuple[str, Block]]) -> list[str]:
    """OUT/<the file's path below the folder its inputs share>.jdx, so that files of one name in two folders
    stay apart."""
    os.makedirs(args.output, exist_ok=True)
    common = os.path.commonpath([os.path.dirname(os.path.abspath(path)) for path, _ in spectra])
    written = []
    for path, found in spectra:
        target = os.path.join(args.output, os.path.relpath(os.path.abspath(path), common) + ".jdx")
        os.makedirs(os.path.dirname(target), exist_ok=True)
        exporting.write_jcamp(found, target, title=title_of(found, path))
        written.append(target)
    return written
