"""Many files at once, on threads: the extension parses with the interpreter lock released."""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Iterable, Optional

import lumira

from ._read import BlockSpec, DataReturn, PathLike, parse_block, read


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
    return min(32, (os.cpu_count() or 1) + 4)


def read_many(paths: Iterable[PathLike], block: BlockSpec = None, workers: Optional[int] = None, *,
              strict: bool = True) -> list[FileRead]:
    """Reads the same block of many files concurrently; one FileRead per path, in the order given.

    A file that cannot be read gives a FileRead with its `error` set; no error is raised for it.
    """
    parse_block(block)  # a misspelt block is the caller's error, not every file's
    names = [os.fspath(path) for path in paths]
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, not {workers}")

    def one(path: str) -> FileRead:
        try:
            return FileRead(path, result=read(path, block, strict=strict))
        except Exception as error:  # noqa: BLE001 - collected per file by design
            return FileRead(path, error=error)

    if not names:
        return []
    with ThreadPoolExecutor(max_workers=min(workers or default_workers(), len(names))) as pool:
        return list(pool.map(one, names))
