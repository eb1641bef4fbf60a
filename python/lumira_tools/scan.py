"""Reading every OPUS file under a folder, to find out what it holds and which files are broken."""

from __future__ import annotations

import os
import sys
import time
from collections import Counter
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass, field
from typing import Any, Optional

from ._many import default_workers
from ._read import block_text, is_opus_file, kind_of, list_blocks, read


@dataclass
class FileScan:
    path: str
    size: int = 0
    opus: bool = False
    blocks: list[tuple[str, str]] = field(default_factory=list)  # (block, kind)
    error: Optional[str] = None


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


def error_text(error: BaseException) -> str:
    """An error in one line, for people: the OS's words for file errors, else the type and message."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    message = str(error)
    if isinstance(error, (ValueError, ImportError)) and message:
        return message
    return f"{type(error).__name__}: {message}" if message else type(error).__name__


def scan_file(path: str) -> FileScan:
    found = FileScan(path)
    try:
        found.size = os.path.getsize(path)
        found.opus = is_opus_file(path)
        if not found.opus:
            return found
        for triple in list_blocks(path):
            result = read(path, triple)
            found.blocks.append((block_text(triple), kind_of(result)))
    except Exception as error:  # noqa: BLE001 - a broken file is what a scan reports
        found.error = error_text(error)
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
    """Reads every block of every OPUS file under root with a pool of threads.

    With `show_progress`, a progress bar runs on standard error if that is a terminal.
    """
    if not os.path.isdir(root):
        raise NotADirectoryError(20, "not a folder", root)
    started = time.perf_counter()
    paths, files = walk(root)
    order = {path: index for index, path in enumerate(paths)}
    scanned: list[Optional[FileScan]] = [None] * len(paths)
    bar = progress_bar(len(paths)) if show_progress and paths else None
    if paths:
        with ThreadPoolExecutor(max_workers=min(workers or default_workers(), len(paths))) as pool:
            futures = [pool.submit(scan_file, path) for path in paths]
            for future in as_completed(futures):
                result = future.result()
                scanned[order[result.path]] = result
                if bar is not None:
                    bar.update(1)
    if bar is not None:
        bar.close()
    files.extend(f for f in scanned if f is not None)
    return ScanReport(root, files, time.perf_counter() - started)


def progress_bar(total: int) -> Any:
    """A tqdm bar on standard error when that is a terminal and tqdm is installed; otherwise None."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    try:
        size = os.get_terminal_size(sys.stderr.fileno())
    except (OSError, ValueError):
        size = os.terminal_size((0, 0))
    # A terminal that does not tell its size (a bare pseudo-terminal) would hide the bar: assume 80 x 24.
    return tqdm(total=total, unit="file", file=sys.stderr, leave=False, ncols=None if size.columns else 80,
                nrows=None if size.lines else 24)
