"""Many files named at once: "a path, a folder, or an iterable of them", the same way for read_many, stack and
metadata."""

from __future__ import annotations

import os
from typing import Any

from ._sources import FailedInput, Input, PathInput, input_of, is_url, is_zip_archive, zip_members


def is_single(source: Any) -> bool:
    """Whether `source` stands for one input rather than an iterable of them: a single str is never iterated."""
    return isinstance(source, (str, os.PathLike, bytes, bytearray, memoryview, Input)) or _is_file_like(source)


def _is_file_like(source: Any) -> bool:
    return hasattr(source, "read") or (hasattr(source, "fs") and hasattr(source, "path"))


def expand(sources: Any) -> list[Input]:
    """The files that "a path, a folder, or an iterable of them" stands for, in order: a folder gives the regular
    files under it (sorted), a zip archive its members, a URL prefix or pattern the files under it, anything else
    itself. A single str is never iterated, and a single path that does not exist raises FileNotFoundError (in
    an iterable, it is left for the reader to report). In an iterable, a path is not asked whether it is a folder:
    reading it says so (see `folder_inputs`), which spares a system call for each of many files."""
    if is_single(sources):
        return _expanded(sources, alone=True)
    found: list[Input] = []
    for source in sources:
        found.extend(_expanded(source, alone=False))
    return found


def _expanded(source: Any, *, alone: bool) -> list[Input]:
    if not isinstance(source, (str, os.PathLike)):
        return [input_of(source)]
    path = os.fsdecode(os.fspath(source))
    if is_url(path):
        from ._remote import expand_url

        return expand_url(path, alone=alone)
    if alone and os.path.isdir(path):
        return folder_inputs(path)
    if path.lower().endswith(".zip") and is_zip_archive(path):
        return zip_members(path)
    found = input_of(path)
    if alone and isinstance(found, PathInput) and not os.path.exists(path):
        raise FileNotFoundError(2, "No such file or directory", path)
    return [found]


def folder_inputs(root: str) -> list[Input]:
    """The files under a folder as inputs, after the folders under it that could not be listed."""
    files, unlisted = folder_files(root)
    return [FailedInput(name, error) for name, error in unlisted] + [PathInput(file, searched=True) for file in files]


def folder_files(root: str) -> tuple[list[str], list[tuple[str, OSError]]]:
    """The regular files under a folder, in sorted order, and the folders that could not be listed. Only regular
    files: opening a named pipe would wait for a writer."""
    files: list[str] = []
    unlisted: list[tuple[str, OSError]] = []
    for folder, folders, names in os.walk(root, onerror=lambda error: unlisted.append((error.filename or root,
                                                                                          error))):
        folders.sort()
        inside = [os.path.join(folder, name) for name in sorted(names)]
        files.extend(path for path in inside if os.path.isfile(path))
    return files, unlisted
