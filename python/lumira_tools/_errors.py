"""The package's errors: each names the file it is about, so a message read in a batch's log says which file.

`path`, `block` and `reason` hold the parts of the message; str() gives them joined ("film.0: AB/2D/NONE: ...").
All are ValueErrors, as the extension's own errors about a file's content and a request are.
"""

from __future__ import annotations

import errno
import os
import struct
from typing import Any, Optional, Sequence


class FileProblem(ValueError):
    """Base of the errors about one file: `path`, `block` (where one is concerned) and `reason`."""

    def __init__(self, reason: str, path: Optional[str] = None, block: Optional[str] = None) -> None:
        self.reason, self.path, self.block = reason, path, block
        where = ": ".join(part for part in (path, block) if part)
        super().__init__(f"{where}: {reason}" if where else reason)

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.reason, self.path, self.block), self.__dict__

    def about(self, path: str) -> "FileProblem":
        """The same error naming `path` (itself when it names a file already); its cause comes along."""
        if self.path is not None:
            return self
        named = type(self)(self.reason, path, self.block)
        named.__dict__.update({k: v for k, v in self.__dict__.items() if k not in ("reason", "path", "block")})
        named.__cause__ = self.__cause__
        return named


class DamagedFileError(FileProblem):
    """A file's content stops a read: it ends before the data it announces, or a block, a parameter or a record
    is damaged. `path` is the file, `block` the block (where one is concerned), `reason` what is wrong; the
    exception the reader raised, if any, is the `__cause__`. str() gives all three."""


class NotOpusFileError(FileProblem):
    """The file does not start with the OPUS magic bytes; `too_short` when it is too short to hold them."""

    too_short = False

    def __init__(self, reason: str = "not an OPUS file", path: Optional[str] = None,
                 block: Optional[str] = None) -> None:
        super().__init__(reason, path, block)


class NoSuchBlockError(FileProblem):
    """The file holds no block that answers the request: `requested` is the request as written (None for the
    preferred block), `held` the data blocks the file does hold (directory order); the message says both."""

    def __init__(self, reason: str, path: Optional[str] = None, requested: Optional[str] = None,
                 held: Sequence[str] = ()) -> None:
        super().__init__(reason, path)
        self.requested, self.held = requested, list(held)

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.reason, self.path, self.requested, self.held), self.__dict__

    def about(self, path: str) -> "NoSuchBlockError":
        if self.path is not None:
            return self
        return NoSuchBlockError(self.reason, path, self.requested, self.held)


class NotASpectrumError(FileProblem):
    """A single spectrum was asked for, but the block is a 3D block (a map or a series)."""


class BlockSpecError(ValueError):
    """A block written in a way that names no block (not TYPE/DIMENSION/DERIVATIVE, an unknown type, dimension
    or derivative, or a place that is not #N)."""


# What a file's content makes the readers raise (NumPy's own errors derive from these): each is turned into a
# DamagedFileError. OSError is the file system's, except a seek to a negative offset (EINVAL), which a file's
# damaged offsets cause.
CONTENT_ERRORS: tuple[type[BaseException], ...] = (ValueError, KeyError, IndexError, TypeError, ZeroDivisionError,
                                                   OverflowError, struct.error)


def content_damage(error: BaseException, path: str, block: Optional[str] = None) -> Optional[DamagedFileError]:
    """The DamagedFileError that stands for `error` when a file's content caused it (None when it did not)."""
    if isinstance(error, DamagedFileError):
        if error.path is not None:
            return error
        damaged = DamagedFileError(error.reason, path, block)
        damaged.__cause__ = error.__cause__
        return damaged
    if isinstance(error, OSError) and error.errno != errno.EINVAL:
        return None
    if not isinstance(error, CONTENT_ERRORS + (OSError,)) or isinstance(error, (FileProblem, BlockSpecError)):
        return None
    text = str(error)
    if isinstance(error, OSError):  # a seek to a negative offset
        reason = f"an offset in the file points before its start ({text})"
    else:
        reason = text if isinstance(error, ValueError) and text else f"{type(error).__name__}: {text}"
    damaged = DamagedFileError(reason, path, block)
    damaged.__cause__ = error
    return damaged


# What the native reader raises for a file without the OPUS magic.
NON_OPUS = "Can't process a non-Opus file"


def native_error(error: BaseException, path: str) -> BaseException:
    """The error for the package's callers of one the native reader raised for a whole file: a file too short
    for the magic, or without it, is NotOpusFileError; damage found in its content, DamagedFileError; a block the
    file does not hold, the files' own errors and everything else stay as they are."""
    if isinstance(error, struct.error):
        short = NotOpusFileError(_too_short(path), path)
        short.too_short = True
        return short
    if type(error) is ValueError and str(error) == NON_OPUS:
        return NotOpusFileError("not an OPUS file", path)
    return content_damage(error, path) or error


def _too_short(path: str) -> str:
    try:
        size = os.path.getsize(path)
    except (OSError, ValueError):
        return "not an OPUS file: too short to hold the OPUS magic"
    return "not an OPUS file: it is empty" if size == 0 else \
        f"not an OPUS file: it holds {size} byte{'s' if size != 1 else ''}, too few for the OPUS magic"


def damaged(reports: Sequence[BaseException], path: Optional[str] = None) -> DamagedFileError:
    fields = "field" if len(reports) == 1 else "fields"
    return DamagedFileError(f"the file ends early: {len(reports)} {fields} cut off ({reports[0]})", path)


def failed_save(path: str, error: BaseException) -> bool:
    """A file too short for the magic under a name instrument software numbers its saves with (.0, .1, .0001):
    a save that failed, which a folder's readers count as damaged rather than as some other file."""
    return isinstance(error, NotOpusFileError) and error.too_short and os.path.splitext(path)[1][1:].isdigit()


def error_text(error: BaseException) -> str:
    """An error in one line, for people: the OS's words for file errors, what is wrong with a file (its path is
    said where the error is reported), else the type and message."""
    if isinstance(error, FileProblem):
        return error.reason
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    message = str(error)
    if isinstance(error, (ValueError, ImportError)) and message:
        return message
    return f"{type(error).__name__}: {message}" if message else type(error).__name__
