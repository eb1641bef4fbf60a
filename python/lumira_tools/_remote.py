"""Files behind URLs, through fsspec ('s3://bucket/key', 'https://host/file.0', 'zip://member::archive.zip').

A whole file is fetched in one request (a batch of them concurrently, where the file system can); parts of a file
(the records of a lazy map) are fetched as the byte ranges they occupy. The small reads of headers, directories
and parameter blocks go through a few cached blocks per file, so the layout that every chunk of a lazy array
looks up again is fetched once.
"""

from __future__ import annotations

from typing import Any, Optional, Sequence

from ._extras import need
from ._sources import BlockCache, Input, RangeReader

def fsspec_module() -> Any:
    return need("fsspec", "reading URLs needs fsspec: pip install 'lumira[remote]'")


class RemoteInput(Input):
    """A file of an fsspec file system. Pickles (without its cache) for the process workers of dask.distributed,
    which read from the same store."""

    def __init__(self, fs: Any, path: str, name: Optional[str] = None, *, searched: bool = False) -> None:
        self.fs, self.path = fs, path
        self.name = name or _url(fs, path)
        self.searched = searched
        self._size: Optional[int] = None
        self._blocks = BlockCache()  # a file in a store does not change under its name: one cache for all reads

    @property
    def size(self) -> int:
        if self._size is None:
            self._size = int(self.fs.size(self.path))
        return self._size

    def whole(self) -> Any:
        data: bytes = self.fs.cat_file(self.path)
        return data

    def ranges(self) -> Any:
        return RangeReader(self.size, self._fill, self._blocks)

    def token(self) -> str:
        info = self.fs.info(self.path)
        stamp = next((info[key] for key in ("ETag", "etag", "mtime", "LastModified", "last_modified") if key in info),
                     None)
        return repr((self.name, info.get("size"), str(stamp)))

    def _fill(self, offset: int, view: memoryview) -> int:
        data = self.fs.cat_file(self.path, start=offset, end=offset + len(view))
        view[:len(data)] = data
        return len(data)

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        del state["_blocks"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state, _blocks=BlockCache())


def _url(fs: Any, path: str) -> str:
    try:
        return str(fs.unstrip_protocol(path))
    except Exception:  # a file system that cannot say: its path is still a name
        return path


def url_input(url: str, *, searched: bool = False) -> RemoteInput:
    fs, path = fsspec_module().core.url_to_fs(url)
    return RemoteInput(fs, path, url, searched=searched)


def remote_input(fs: Any, path: str, *, searched: bool = False) -> RemoteInput:
    """An fsspec OpenFile (what fsspec.open gives, with its storage options) as an input."""
    return RemoteInput(fs, path, searched=searched)


def expand_url(url: str, *, alone: bool) -> list[Input]:
    """The files a URL stands for: those matching a pattern, those under a prefix (a folder), or the file."""
    fs, path = fsspec_module().core.url_to_fs(url)
    if any(mark in path for mark in "*?["):
        names = sorted(name for name in fs.glob(path) if not fs.isdir(name))
        return [RemoteInput(fs, name, searched=True) for name in names]
    if fs.isdir(path):
        return [RemoteInput(fs, name, searched=True) for name in sorted(fs.find(path))]
    if alone and not fs.exists(path):
        raise FileNotFoundError(2, "No such file or directory", url)
    return [RemoteInput(fs, path, url)]


def fetch_whole(inputs: Sequence[RemoteInput]) -> list[Any]:
    """The contents of each file, or the exception fetching it raised: one request per file, the files of one
    file system fetched concurrently where it can."""
    fetched: list[Any] = [None] * len(inputs)
    by_system: dict[int, list[int]] = {}
    for index, remote in enumerate(inputs):
        by_system.setdefault(id(remote.fs), []).append(index)
    for indices in by_system.values():
        fs = inputs[indices[0]].fs
        paths = [inputs[index].path for index in indices]
        try:
            found = fs.cat(paths, on_error="return") if len(paths) > 1 else {paths[0]: fs.cat_file(paths[0])}
        except Exception as error:  # the whole request failed: every file says why
            found = {path: error for path in paths}
        for index, path in zip(indices, paths):
            fetched[index] = found[path] if path in found else _fetched_alone(inputs[index])
    return fetched


def _fetched_alone(remote: RemoteInput) -> Any:
    try:
        return remote.whole()
    except Exception as error:
        return error
