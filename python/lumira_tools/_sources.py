"""Where files come from: a path, the contents themselves, a file object, a member of a zip archive or a URL.

Every reading function of the package takes any of them. `input_of` turns one into an `Input`, which hands the
native reader what it reads: a local path (opened natively), contents in memory, or a reader of byte ranges (file
objects and remote files), so that a lazy array over a remote map fetches only the records it needs. (`_expand`
turns "a path, a folder, or an iterable of them" into inputs.)

Names: an input is named in results and messages by its path, its URL, `archive.zip/member`, the file object's
`name`, or `<N bytes>` for contents; never by what it holds.
"""

from __future__ import annotations

import io
import os
import threading
import uuid
import zipfile
from collections import OrderedDict
from typing import IO, Any, Optional, Protocol, Union, runtime_checkable

MAGIC = b"\n\n\xfe\xfe"


@runtime_checkable
class BinaryFile(Protocol):
    """A binary file object: what has `read` (and, to be read in pieces, `seek` and `tell`)."""

    def read(self, size: int = -1, /) -> bytes: ...


Source = Union[str, "os.PathLike[str]", bytes, bytearray, memoryview, IO[bytes], BinaryFile, "Input"]


class Input:
    """One file to read, whatever holds it. `searched` marks a file found in a folder, an archive or under a
    prefix, where a file that is not an OPUS file is skipped rather than reported."""

    name: str
    searched: bool = False

    def whole(self) -> Any:
        """What the native reader takes to read the whole file: a path or the contents."""
        return self.ranges()

    def ranges(self) -> Any:
        """What the native reader takes to read parts of the file: a path, the contents, or a RangeReader."""
        raise NotImplementedError

    def token(self) -> str:
        """Tells this file's present contents apart from any other's (names of lazy arrays)."""
        return uuid.uuid4().hex

    def head(self, size: int) -> bytes:
        """The first `size` bytes (fewer for a shorter file)."""
        view = bytearray(size)
        source = self.ranges()
        if isinstance(source, str):
            with open(source, "rb") as file:
                return file.read(size)
        if isinstance(source, RangeReader):
            got = source.readinto_at(0, memoryview(view))
            source.check()
            return bytes(view[:got])
        return bytes(memoryview(source).cast("B")[:size])

    def opened(self, whole: bool = True) -> Opened:
        """The native source for one call (`with input.opened() as source:`); a reader's failure is raised in
        place of the short read it caused."""
        return Opened(self.whole() if whole else self.ranges())

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name}>"


class Opened:
    """What `Input.opened` gives: the native source, and on leaving, a reader's failure raised."""

    __slots__ = ("source",)

    def __init__(self, source: Any) -> None:
        self.source = source

    def __enter__(self) -> Any:
        return self.source

    def __exit__(self, *exception: object) -> None:
        failure = getattr(self.source, "failure", None) if isinstance(self.source, RangeReader) else None
        if failure is not None:
            raise failure from None


class RangeReader:
    """What the native reader calls for the bytes of a file it does not open itself: `readinto_at(offset, view,
    direct)` fills the view from `offset` on and returns the count. Reads smaller than BLOCK, unless `direct` (the
    records, read once), are served from whole aligned blocks kept in `blocks` (the layout that each piece of a
    lazy array looks up again is read once); the others go straight into the view. An exception is kept as `failure` (the native side stores it there as well) and
    reads as the end of the file; `check` raises it."""

    def __init__(self, size: int, fill: Any, blocks: Optional[BlockCache] = None) -> None:
        self.size, self._fill = size, fill
        self._blocks = blocks if blocks is not None else BlockCache()
        self.failure: Optional[BaseException] = None

    def readinto_at(self, offset: int, view: memoryview, direct: bool = False) -> int:
        try:
            return self._read(offset, view, direct)
        except Exception as error:
            if self.failure is None:
                self.failure = error
            return 0

    def _read(self, offset: int, view: memoryview, direct: bool) -> int:
        wanted = max(0, min(len(view), self.size - offset))
        if direct or wanted >= BLOCK:
            got: int = self._fill(offset, view[:wanted])
            return got
        done = 0
        while done < wanted:
            index, inside = divmod(offset + done, BLOCK)
            piece = self._blocks.get(index, self._block)[inside:inside + wanted - done]
            if not piece:
                break
            view[done:done + len(piece)] = piece
            done += len(piece)
        return done

    def _block(self, index: int) -> bytes:
        start = index * BLOCK
        room = bytearray(min(BLOCK, self.size - start))
        got = 0
        while got < len(room):
            count = self._fill(start + got, memoryview(room)[got:])
            if count <= 0:
                break
            got += count
        return bytes(room[:got])

    def check(self) -> None:
        if self.failure is not None:
            raise self.failure


# Small reads fetch whole aligned blocks of this size; a cache keeps this many of them.
BLOCK = 64 * 1024
BLOCKS_KEPT = 32


class BlockCache:
    """The most recently used blocks of one file, shared by the threads that read it."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._blocks: OrderedDict[int, bytes] = OrderedDict()

    def get(self, index: int, load: Any) -> bytes:
        with self._lock:
            if index in self._blocks:
                self._blocks.move_to_end(index)
                return self._blocks[index]
        data: bytes = load(index)
        with self._lock:
            self._blocks[index] = data
            while len(self._blocks) > BLOCKS_KEPT:
                self._blocks.popitem(last=False)
        return data


# --- the kinds of input ------------------------------------------------------------------------------------


class PathInput(Input):
    def __init__(self, path: str, searched: bool = False) -> None:
        self.name = self.path = path
        self.searched = searched

    def ranges(self) -> Any:
        return self.path

    def token(self) -> str:
        stamp = os.stat(self.path)
        return repr((os.path.abspath(self.path), stamp.st_mtime_ns, stamp.st_size))


class MemoryInput(Input):
    def __init__(self, contents: Any, name: Optional[str] = None, searched: bool = False) -> None:
        view = memoryview(contents)
        self.contents = contents if view.c_contiguous else view.tobytes()
        self.name = name or f"<{view.nbytes:,} bytes>"
        self.searched = searched

    def ranges(self) -> Any:
        return self.contents


class FileObjectInput(Input):
    """A binary file object, read where it stands in pieces (its position is put back after each) when it can
    seek, else read to its end once."""

    def __init__(self, file: Any) -> None:
        name = getattr(file, "name", None)
        self.name = name if isinstance(name, str) else f"<{type(file).__name__}>"
        self.file = file
        self.lock = threading.Lock()
        self.stream = not _seekable(file)
        self.contents: Optional[bytes] = None

    def whole(self) -> Any:
        if isinstance(self.file, io.BytesIO):
            return self.file.getvalue()
        return self.ranges()

    def ranges(self) -> Any:
        if self.stream:
            with self.lock:
                if self.contents is None:  # a stream is read once, when it is first needed
                    self.contents = _read_all(self.file)
            return self.contents
        with self.lock:
            start = self.file.tell()
            size = self.file.seek(0, io.SEEK_END)
            self.file.seek(start)
        return RangeReader(size, self._fill)

    def _fill(self, offset: int, view: memoryview) -> int:
        with self.lock:
            start = self.file.tell()
            try:
                self.file.seek(offset)
                readinto = getattr(self.file, "readinto", None)
                if readinto is not None:
                    return int(readinto(view) or 0)
                data = self.file.read(len(view))
                view[:len(data)] = data
                return len(data)
            finally:
                self.file.seek(start)

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        del state["lock"]
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state, lock=threading.Lock())


class FailedInput(Input):
    """A file that cannot even be found (a folder that cannot be listed): reading it raises why."""

    def __init__(self, name: str, error: BaseException) -> None:
        self.name, self.error = name, error

    def ranges(self) -> Any:
        raise self.error


class ZipMemberInput(Input):
    """A member of a local zip archive, read from the archive without extracting it."""

    def __init__(self, archive: str, member: str, searched: bool = False) -> None:
        self.archive, self.member = archive, member
        self.name = f"{archive}/{member}"
        self.searched = searched

    def ranges(self) -> Any:
        with zipfile.ZipFile(self.archive) as opened:
            return opened.read(self.member)

    def token(self) -> str:
        stamp = os.stat(self.archive)
        return repr((os.path.abspath(self.archive), stamp.st_mtime_ns, stamp.st_size, self.member))


def _seekable(file: Any) -> bool:
    try:
        if hasattr(file, "seekable") and not file.seekable():
            return False
        file.tell()
        return hasattr(file, "seek")
    except (OSError, ValueError, AttributeError):
        return False


def _read_all(file: Any) -> bytes:
    data = file.read()
    if not isinstance(data, (bytes, bytearray)):
        raise TypeError(f"a file object is read in binary mode: {type(file).__name__}.read() gave "
                        f"{type(data).__name__}, not bytes")
    return bytes(data)


# --- from what callers give --------------------------------------------------------------------------------


def is_url(text: str) -> bool:
    """A URL for fsspec ('s3://...', 'https://...', 'zip://member::archive.zip'), not a local path."""
    return ("://" in text or "::" in text) and not os.path.exists(text)


def input_of(source: Any, *, searched: bool = False) -> Input:
    """The Input for one file. A path inside a zip archive is written `archive.zip/member`; a `.zip` path holding
    one file stands for that file (several: name one)."""
    if type(source) is str:  # the common case first
        return _path_input(source, searched)
    if isinstance(source, Input):
        return source
    if isinstance(source, str):
        return _path_input(source, searched)
    if isinstance(source, (bytes, bytearray, memoryview)):
        return MemoryInput(source, searched=searched)
    if hasattr(source, "fs") and hasattr(source, "path"):
        from ._remote import remote_input

        return remote_input(source.fs, source.path, searched=searched)
    if hasattr(source, "read"):
        return FileObjectInput(source)
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"a file is a path, its contents (bytes) or a binary file object, not "
                        f"{type(source).__name__}")
    return _path_input(os.fsdecode(os.fspath(source)), searched)


def _path_input(path: str, searched: bool) -> Input:
    if ("://" in path or "::" in path) and is_url(path):  # tested inline first: the common path costs no call
        from ._remote import url_input

        return url_input(path, searched=searched)
    lowered = path.lower()  # archives are told by their suffix first: a plain path costs no system call
    if ".zip" not in lowered:
        return PathInput(path, searched)
    if lowered.endswith(".zip") and is_zip_archive(path):
        members = zip_members(path)
        if len(members) != 1:
            raise ValueError(f"{path} is a zip archive of {len(members)} files: name one as {path}/MEMBER, or "
                             "read them all with read_many, stack or metadata")
        return members[0]
    if ".zip" + os.sep in lowered and not os.path.exists(path):
        member = _zip_member(path)
        if member is not None:
            return member
    return PathInput(path, searched)


def is_zip_archive(path: str) -> bool:
    return path.lower().endswith(".zip") and os.path.isfile(path) and zipfile.is_zipfile(path)


def zip_members(archive: str) -> list[Input]:
    """The files of a zip archive, in sorted order."""
    with zipfile.ZipFile(archive) as opened:
        names = sorted(info.filename for info in opened.infolist() if not info.is_dir())
    return [ZipMemberInput(archive, name, searched=True) for name in names]


def _zip_member(path: str) -> Optional[Input]:
    """`archive.zip/member` as a member of the archive, when the archive exists and holds it."""
    lowered = path.lower()
    at = lowered.find(".zip" + os.sep)
    while at >= 0:
        archive, member = path[:at + 4], path[at + 5:].replace(os.sep, "/")
        if is_zip_archive(archive):
            with zipfile.ZipFile(archive) as opened:
                try:
                    opened.getinfo(member)
                except KeyError:
                    raise FileNotFoundError(2, f"no member {member!r} in the zip archive {archive}", path) from None
            return ZipMemberInput(archive, member)
        at = lowered.find(".zip" + os.sep, at + 1)
    return None


def is_opus_source(source: Any) -> bool:
    """Whether a file of any kind starts with the OPUS magic bytes (a shorter one does not)."""
    return input_of(source).head(4) == MAGIC


__all__ = ["Input", "RangeReader", "Source", "input_of", "is_opus_source"]
