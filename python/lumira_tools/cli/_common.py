"""What the commands share: exit statuses, reporting, reading a block, tables and writing outputs."""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from typing import Any, Callable, Optional, Sequence

import numpy as np

from .. import export as exporting
from .._file import read_block
from .._read import BlockSpecError, DataReturn
from .._read import error_text
from .._types import Block

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2
BLOCK_HELP = ("the block, written TYPE/DIMENSION/DERIVATIVE in any case, e.g. AB/2D/NONE, or #N for the N-th block "
              "`lumira ls` lists (default: the final spectrum before single channels, phases and interferograms)")
RAW_HELP = "the values as stored, not multiplied by the block's scaling factor CSF"
# An error longer than this is cut short in a table row (and given whole on standard error), so that one damaged
# block does not push every other row's columns apart.
TABLE_ERROR_WIDTH = 40


class UsageError(Exception):
    """The command line asks for something that cannot be done, whatever the files hold."""


class Failed(Exception):
    """A file could not be read or written; the message has been reported already."""


class _State:
    failed = False  # a failure has been said: the status a command ends with, even cut short by a closed pipe


STATE = _State()


def mark_failed() -> None:
    STATE.failed = True


def report(path: str, error: BaseException) -> None:
    mark_failed()
    print(f"lumira: {path}: {error_text(error)}", file=sys.stderr)


def dump(value: Any) -> None:
    """Prints the value as JSON; numbers that are not finite (a damaged file's NaN) as null, since JSON has none."""
    print(json.dumps(_finite(value), indent=2, ensure_ascii=False, default=_plain, allow_nan=False))


def _plain(value: Any) -> Any:
    if isinstance(value, np.generic):
        return _finite(value.item())
    raise TypeError(f"cannot write {type(value).__name__} as JSON")


def _finite(value: Any) -> Any:
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_finite(item) for item in value]
    return value


def read_checked(path: str, block: Optional[str], *, data: bool = True, scale: bool = True) -> Block:
    """The block, read; failures are reported and raised as Failed."""
    try:
        found = read_block(path, block, data=data, scale=scale)
        if found.error is not None:
            raise found.error
        return found
    except BlockSpecError as error:
        raise UsageError(str(error)) from error
    except Exception as error:  # noqa: BLE001 - whatever a damaged file makes the reader raise
        report(path, error)
        raise Failed from error


def result_of(block: Block) -> DataReturn:
    assert block.result is not None, "read with its values"
    return block.result


def cut(text: str, width: int) -> str:
    return text if len(text) <= width else text[:width - 3].rstrip() + "..."


def table(rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> list[str]:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths)))
            .rstrip() for row in rows]


def check_writable(output: str) -> None:
    """A missing folder fails the write whatever is read: said before reading, as the write would say it."""
    folder = os.path.dirname(os.path.abspath(output))
    if not os.path.isdir(folder):
        print(f"lumira: {output}: the folder {folder} does not exist", file=sys.stderr)
        raise Failed


def write_output(args: argparse.Namespace, block: str, write: Callable[[str], Any],
                 files: Optional[list[dict[str, str]]] = None) -> int:
    """Writes the output (atomically: a failure leaves nothing behind) and says what was written; `files` lists
    the files it was made of, when they are several."""
    try:
        write(args.output)
    except exporting.ExportError as error:
        report(args.file, error)
        return EXIT_FAILED
    except (OSError, ValueError, TypeError, ImportError) as error:
        report(args.output, error)
        return EXIT_FAILED
    size = os.path.getsize(args.output)
    if args.json:
        dump({"path": args.file, "block": block, "output": args.output, "bytes": size,
              **({"files": files} if files is not None else {})})
    else:
        print(f"wrote {args.output} ({block}, {size:,} bytes)")
    return EXIT_OK


def positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value
