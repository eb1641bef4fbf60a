"""Many files at once: native threads open and parse the files ahead while this thread builds the results."""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Optional, Union

from . import _native
from ._blocks import missing_block, patterns
from ._file import Block, OpusFile, native_error, opus_file
from ._read import BlockSpec, DamagedFileError, DataReturn, PathLike


@dataclass(frozen=True)
class FileRead:
    """What reading one file gave: its result, or the error that stopped it."""

    path: str
    result: Optional[DataReturn] = None
    error: Optional[BaseException] = None

    @property
    def ok(self) -> bool:
        return self.error is None


def default_workers() -> int:
    """Threads that open and parse files ahead: one per CPU (the results are built on the calling thread)."""
    return os.cpu_count() or 1


def read_many(paths: Iterable[PathLike], block: BlockSpec = None, workers: Optional[int] = None, *,
              strict: bool = True, scale: bool = True, progress: bool = False) -> list[FileRead]:
    """Reads the same block of many files; one FileRead per path, in the order given.

    `block` is taken as `read` takes it, file by file. `workers` threads open and parse the files ahead of the
    thread that builds the results (default: one per CPU), so a batch is never slower than a loop of `read`;
    large 3D blocks are copied by that many threads at once. A file that cannot be read gives a FileRead with
    its `error` set; no error is raised for it. With `progress`, a progress bar runs on standard error (tqdm).
    """
    select = patterns(block)  # a misspelt block is the caller's error, not every file's
    opened = read_files(paths, select, workers, data=True, strict=strict, scale=scale, progress=progress)
    found: list[FileRead] = []
    for name, outcome in opened:
        chosen = chosen_block(outcome, block)
        if isinstance(chosen, BaseException):
            found.append(FileRead(name, error=chosen))
        else:
            found.append(FileRead(name, result=chosen.result))
    return found


def chosen_block(outcome: Any, block: BlockSpec) -> Union[Block, BaseException]:
    """What one file of a batch gave for `block`: the block read, or the error that stands for it (the file's,
    the block's absence, or the block's own)."""
    if isinstance(outcome, BaseException):
        return outcome
    if not outcome.blocks:
        return missing_block(outcome.held, outcome.listing, block, outcome.path)
    found: Block = outcome.blocks[0]
    return found.error if found.error is not None else found


Progress = Union[bool, Callable[[], Any], None]


def read_files(paths: Iterable[PathLike], select: Any, workers: Optional[int] = None, *, data: bool,
               strict: bool, scale: bool, progress: Progress = False) -> list[tuple[str, Any]]:
    """(path, OpusFile or the error that stopped it) for every path, in order, read in one native batch.

    `progress`: True for a tqdm bar, or a function called once per file read."""
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    names = [os.fspath(path) for path in paths]
    if not names:
        return []
    bar = progress_bar(len(names)) if progress is True else None
    update: Optional[Callable[[], Any]] = (lambda: bar.update(1)) if bar is not None else None
    if callable(progress):
        update = progress
    try:
        reads = _native.read_files(names, workers or default_workers(), data, strict, scale, select, Block,
                                   DamagedFileError, update)
    finally:
        if bar is not None:
            bar.close()
    outcomes: list[tuple[str, Any]] = []
    for name, read in zip(names, reads):
        text = name if isinstance(name, str) else os.fsdecode(name)
        if isinstance(read, BaseException):
            outcomes.append((text, native_error(read, text)))
            continue
        try:
            outcomes.append((text, opus_file(text, read)))
        except DamagedFileError as error:
            outcomes.append((text, error))
    return outcomes


def progress_bar(total: int, *, terminal_only: bool = False) -> Any:
    """A tqdm bar (on standard error, or in a notebook) when tqdm is installed; otherwise None.

    With `terminal_only`, a bar only when standard error is a terminal.
    """
    if terminal_only and not sys.stderr.isatty():
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    if not terminal_only:
        return tqdm(total=total, unit="file", leave=False)
    try:
        size = os.get_terminal_size(sys.stderr.fileno())
    except (OSError, ValueError):
        size = os.terminal_size((0, 0))
    # A terminal that does not tell its size (a bare pseudo-terminal) would hide the bar: assume 80 x 24.
    return tqdm(total=total, unit="file", file=sys.stderr, leave=False, ncols=None if size.columns else 80,
                nrows=None if size.lines else 24)


__all__ = ["FileRead", "OpusFile", "chosen_block", "default_workers", "progress_bar", "read_files", "read_many"]
