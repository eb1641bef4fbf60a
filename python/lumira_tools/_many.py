"""Many files at once: native threads open and parse the files ahead while this thread builds the results."""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Iterator, Optional, Union, cast

from . import _native
from ._display import read_html, read_text
from ._blocks import missing_block, patterns
from ._errors import native_error
from ._file import opus_file
from ._read import BlockSpec, DamagedFileError, DataReturn, NotOpusFileError
from ._expand import expand, folder_inputs
from ._sources import Input, PathInput, Source, input_of
from ._types import Block, OpusFile


@dataclass(frozen=True)
class FileRead:
    """What reading one file gave: its result, or the error that stopped it."""

    path: str
    result: Optional[DataReturn] = None
    error: Optional[BaseException] = None

    @property
    def ok(self) -> bool:
        return self.error is None

    def __repr__(self) -> str:
        return read_text(self)

    def _repr_html_(self) -> str:
        return read_html(self)


def default_workers() -> int:
    """Threads that open and parse files ahead: one per CPU (the results are built on the calling thread)."""
    return os.cpu_count() or 1


def read_many(paths: Union[Source, Iterable[Source]], block: BlockSpec = None, workers: Optional[int] = None, *,
              strict: bool = True, scale: bool = True, progress: bool = False) -> list[FileRead]:
    """Reads the same block of many files; one FileRead per file, in the order given.

    `paths` is a file (a path, a URL, contents as bytes or a file object), a folder (the OPUS files under it, in
    sorted order), a zip archive (its OPUS files), or an iterable of them; a single path that does not exist
    raises FileNotFoundError. `block` is taken as `read` takes it, file by file. `workers` threads open and parse
    the files ahead of the thread that builds the results (default: one per CPU), so a batch is never slower than
    a loop of `read`; large 3D blocks are copied by that many threads at once. A file that cannot be read gives a
    FileRead with its `error` set; no error is raised for it. With `progress`, a progress bar runs on standard
    error (tqdm).
    """
    select = patterns(block)  # a misspelt block is the caller's error, not every file's
    opened = read_expanded(paths, select, workers, data=True, strict=strict, scale=scale, progress=progress)
    found: list[FileRead] = []
    for source, name, outcome in opened:
        if source.searched and isinstance(outcome, NotOpusFileError):
            continue  # a folder's other files were not asked for
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


def read_files(sources: Iterable[Source], select: Any, workers: Optional[int] = None, *, data: bool,
               strict: bool, scale: bool, progress: Progress = False) -> list[tuple[str, Any]]:
    """(name, OpusFile or the error that stopped it) for every file, in order, read in native batches.

    Paths are opened and parsed ahead on native threads; contents, file objects, archive members and remote
    files (fetched whole, concurrently) are read in batches of at most BATCH of them, so that only so many are
    held in memory at once. `progress`: True for a tqdm bar, or a function called once per file read."""
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")
    inputs = [source if isinstance(source, Input) else input_of(source) for source in sources]
    if not inputs:
        return []
    bar = progress_bar(len(inputs)) if progress is True else None
    update: Optional[Callable[[], Any]] = (lambda: bar.update(1)) if bar is not None else None
    if callable(progress):
        update = progress
    outcomes: list[tuple[str, Any]] = []
    try:
        for batch in _batches(inputs):
            outcomes.extend(_read_batch(batch, select, workers or default_workers(), data=data, strict=strict,
                                        scale=scale, update=update))
    finally:
        if bar is not None:
            bar.close()
    return outcomes


def read_expanded(sources: Any, select: Any, workers: Optional[int] = None, *, data: bool, strict: bool,
                  scale: bool, progress: Progress = False) -> list[tuple[Input, str, Any]]:
    """`read_files` of the files `sources` stand for (see `expand`), each with its input. A folder named among
    other paths is found when its read fails (the batch opens every file anyway); its files are then read in a
    batch of their own, in its place."""
    inputs = expand(sources)
    found: list[tuple[Input, str, Any]] = []
    for source, (name, outcome) in zip(inputs, read_files(inputs, select, workers, data=data, strict=strict,
                                                          scale=scale, progress=progress)):
        if isinstance(outcome, IsADirectoryError) and isinstance(source, PathInput) and not source.searched:
            inside = folder_inputs(source.path)
            read = read_files(inside, select, workers, data=data, strict=strict, scale=scale, progress=progress)
            found.extend((file, name, outcome) for file, (name, outcome) in zip(inside, read))
        else:
            found.append((source, name, outcome))
    return found


# Files other than local paths held in memory at once by a batch.
BATCH = 64


def _batches(inputs: list[Input]) -> Iterator[list[Input]]:
    batch: list[Input] = []
    held = 0
    for found in inputs:
        batch.append(found)
        held += not isinstance(found, PathInput)
        if held == BATCH:
            yield batch
            batch, held = [], 0
    if batch:
        yield batch


def _read_batch(inputs: list[Input], select: Any, workers: int, *, data: bool, strict: bool, scale: bool,
                update: Optional[Callable[[], Any]]) -> list[tuple[str, Any]]:
    sources = _native_sources(inputs, data)
    readable = [index for index, source in enumerate(sources) if not isinstance(source, BaseException)]
    if update is not None:
        for _ in range(len(inputs) - len(readable)):
            update()  # the files that failed before the batch count as read
    reads = _native.read_files([sources[index] for index in readable], workers, data, strict, scale, select,
                               Block, DamagedFileError, update) if readable else []
    for index, read in zip(readable, reads):
        failure = getattr(sources[index], "failure", None)
        sources[index] = failure if isinstance(failure, BaseException) else read
    outcomes: list[tuple[str, Any]] = []
    for found, read in zip(inputs, sources):
        if isinstance(read, BaseException):
            outcomes.append((found.name, native_error(read, found.name)))
            continue
        try:
            outcomes.append((found.name, opus_file(found, read)))
        except DamagedFileError as error:
            outcomes.append((found.name, error))
    return outcomes


def _native_sources(inputs: list[Input], data: bool) -> list[Any]:
    """What the native batch reads for each input, or the exception getting it raised; remote files to be read
    whole are fetched together."""
    from ._remote import RemoteInput, fetch_whole

    sources: list[Any] = [None] * len(inputs)
    remote = [index for index, found in enumerate(inputs) if data and isinstance(found, RemoteInput)]
    if remote:
        for index, fetched in zip(remote, fetch_whole([cast(RemoteInput, inputs[index]) for index in remote])):
            sources[index] = fetched
    for index, found in enumerate(inputs):
        if sources[index] is not None:
            continue
        try:
            sources[index] = found.whole() if data else found.ranges()
        except Exception as error:
            sources[index] = error
    return sources


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
