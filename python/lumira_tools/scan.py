"""Reading every OPUS file under a folder, to find out what it holds and which files are broken."""

from __future__ import annotations

import os
import time
from collections import Counter
from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, Optional

from ._blocks import preferred
from ._many import progress_bar, read_files
from ._read import NotOpusFileError, failed_save
from ._read import error_text as error_text  # where callers have found it


@dataclass
class FileScan:
    """What a scan found of one file. `final` is the block a read without a block takes (its final spectrum,
    else what it holds), with that block's `points` and `x_range`; `sample` and `time` (UTC) are the block's."""

    path: str
    size: int = 0
    opus: bool = False
    blocks: list[tuple[str, str]] = field(default_factory=list)  # (block, kind)
    error: Optional[str] = None
    sample: str = ""
    time: Optional[datetime] = None
    final: Optional[str] = None
    points: Optional[int] = None
    x_range: Optional[tuple[float, float]] = None


@dataclass
class ScanReport:
    root: str
    files: list[FileScan]
    seconds: float

    @property
    def opus(self) -> list[FileScan]:
        return [f for f in self.files if f.opus]

    @property
    def failed(self) -> list[FileScan]:
        return [f for f in self.files if f.error is not None]

    def block_counts(self) -> list[tuple[str, str, int]]:
        """(block, kind, number of files) for every block read, most common first."""
        # A file holding the same block twice counts once: the column says how many files hold it.
        counts = Counter(block for f in self.files if f.error is None for block in dict.fromkeys(f.blocks))
        return [(block, kind, n) for (block, kind), n in sorted(counts.items(), key=lambda item: (-item[1], item[0]))]

    def files_per_second(self) -> float:
        return len(self.files) / self.seconds if self.seconds > 0 else float("inf")


def scanned_file(path: str, outcome: Any) -> FileScan:
    """What a scan says of a file from what reading its blocks (without their values) gave."""
    found = FileScan(path)
    try:
        found.size = os.path.getsize(path)
    except OSError:
        pass
    if isinstance(outcome, NotOpusFileError):
        if failed_save(path, outcome):
            found.error = error_text(outcome)
        return found
    if isinstance(outcome, BaseException):
        found.opus = not isinstance(outcome, OSError)
        found.error = error_text(outcome)
        return found
    found.opus = True
    for request in outcome.unanswered:
        found.error = found.error or f"No data block exists in the file for: {' '.join(request)}"
    for block in outcome.blocks:
        if block.error is not None:
            found.error = found.error or error_text(block.error)
            continue
        found.blocks.append((block.name, block.kind or "?"))
    final = preferred(outcome.listing, outcome.blocks)
    if final is not None and final.error is None:
        parameters = final.parameters or {}
        name, points = parameters.get("SNM"), parameters.get("NPT")
        found.final, found.time, found.x_range = final.name, final.time, final.x_range
        found.sample = name if isinstance(name, str) else ""
        found.points = points if isinstance(points, int) and not isinstance(points, bool) else None
    return found


def walk(root: str) -> tuple[list[str], list[FileScan]]:
    """Every regular file under root, in a stable order, and the folders that could not be listed."""
    paths: list[str] = []
    unreadable: list[FileScan] = []

    def failed(error: OSError) -> None:
        unreadable.append(FileScan(error.filename or root, error=error_text(error)))

    for folder, folders, names in os.walk(root, onerror=failed):
        folders.sort()
        paths.extend(os.path.join(folder, name) for name in sorted(names)
                     if os.path.isfile(os.path.join(folder, name)))
    return paths, unreadable


def scan(root: str, workers: Optional[int] = None, *, show_progress: bool = False) -> ScanReport:
    """Reads the parameters, kind and shape of every block of every OPUS file under root (no values), the files
    opened and parsed ahead on `workers` native threads.

    With `show_progress`, a progress bar runs on standard error if that is a terminal.
    """
    if not os.path.isdir(root):
        raise NotADirectoryError(20, "not a folder", root)
    started = time.perf_counter()
    paths, files = walk(root)
    bar = progress_bar(len(paths), terminal_only=True) if show_progress and paths else None
    try:
        opened = read_files(paths, None, workers, data=False, strict=True, scale=False,
                            progress=(lambda: bar.update(1)) if bar is not None else None)
    finally:
        if bar is not None:
            bar.close()
    files.extend(scanned_file(path, outcome) for path, outcome in opened)
    return ScanReport(root, files, time.perf_counter() - started)
