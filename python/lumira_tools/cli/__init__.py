"""The `lumira` command: look into OPUS files, plot and export their blocks, scan folders of them.

Exit status: 0 when everything asked for was done, 1 when a file could not be read or written, 2 for a
command line that asks for something impossible. Errors go to standard error; --json makes the output
machine-readable. Each command lives in a module of its own here, which adds its parser with `add_to`.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Optional, Sequence

from .. import __version__
from .._blocks import block_index
from .._read import BlockSpecError, parse_block
from . import _docs, _export, _ls, _plot, _scan, _show
from ._common import EXIT_FAILED, EXIT_OK, EXIT_USAGE, STATE, Failed, UsageError
from ._export_images import IMAGES

COMMANDS = (_ls, _show, _plot, _export, _scan, _docs)
# Where a reader finds the documentation: all of it comes with the installed package.
DOCUMENTATION = (
    "Documentation, installed with lumira: the guide, `lumira docs` (its pages) and `lumira docs TOPIC` (one page,\n"
    "e.g. `lumira docs tour` to begin, `lumira docs cli` for every command); `lumira COMMAND --help`; and\n"
    "`python -m pydoc lumira_tools` and `python -m pydoc lumira` (the functions and classes of both modules).")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="lumira",
        description="Look into OPUS spectral data files: list, show, plot, export, scan; read the guide.",
        epilog="Exit status: 0 done, 1 a file could not be read or written, 2 bad command line.\n\n" + DOCUMENTATION,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"lumira {__version__}")
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    json_flag = argparse.ArgumentParser(add_help=False)
    json_flag.add_argument("--json", action="store_true", help="print JSON instead of text")
    for command in COMMANDS:
        command.add_to(commands, json_flag)
    return top


def _check_block(command: str, text: str) -> None:
    if command == "export" and text.strip().lower() == IMAGES:
        return
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
    STATE.failed = False
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
        # The reader went away (`lumira ls ... | head`): nothing more to say, and nowhere to say it. What it read
        # was right, so the status is the one the command had come to: 1 only for a failure already said.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED if STATE.failed else EXIT_OK
    except KeyboardInterrupt:
        return 130
    return status
