"""Types of `lumira_tools._native`, the package's native reader (private)."""

from typing import Any, Callable, Optional

from _typeshed import StrOrBytesPath

Selector = Any  # None, a block number, a request triple, or a list of patterns

def read_file(source: StrOrBytesPath, data: bool, strict: bool, scale: bool, select: Selector, block_type: type,
              damaged_type: type, /) -> tuple[list[tuple[str, str, str]], bytes, list[Any], list[BaseException]]: ...
def read_files(paths: list[Any], workers: int, data: bool, strict: bool, scale: bool, select: Selector,
               block_type: type, damaged_type: type, progress: Optional[Callable[[], Any]], /) -> list[Any]: ...
def isOpusFile(path: StrOrBytesPath, /) -> bool: ...
