"""Reading one block of one file, with damaged files turned into errors.

The extension reports a field cut off by the end of the file on standard
error and reads on with zero; a 2D spectrum cut short comes back with fewer
values than its axis. Both are data the caller would otherwise take for
real, so the tools refuse them.
"""

from __future__ import annotations

import errno
import os
import struct
import sys
import threading
from contextlib import contextmanager
from types import TracebackType
from typing import Any, Callable, Iterator, Optional, Sequence, Tuple, Type, Union

import lumira

Request = Tuple[str, str, str]
BlockSpec = Union[str, Sequence[str], None]
PathLike = Union[str, "os.PathLike[str]"]

DIMENSIONS = ("2D", "3D")
# Every block type a file can name, in the order a block is chosen when none is asked for: final spectra first,
# then single channels and power spectra, traces, and last the raw phases and interferograms that instrument
# files often list before the spectrum computed from them. Sample before reference within a pair.
TYPE_PREFERENCE = (
    "AB", "TR", "REFL", "KM", "RAM", "EMIS", "ATR", "PAS", "LREFL", "TRARI", "ABARI",
    "SSC", "RSC", "SPOW", "RPOW", "TRC", "SPH", "RPH", "SIFG", "RIFG",
)
# The listing names derivative code 3 "3DER"; a request must call it "NDER".
_REQUEST_DERIVATIVE = {"3DER": "NDER"}

# What getOpusData returns.
DataReturn = Union[
    lumira.SingleDataReturn, lumira.ImageDataReturn, lumira.ImageTRCDataReturn, lumira.TimeResolvedDataReturn,
    lumira.TimeResolvedTRCDataReturn, lumira.MultiRegionDataReturn, lumira.MultiRegionTRCDataReturn,
]

KINDS: dict[type, str] = {
    lumira.SingleDataReturn: "spectrum",
    lumira.ImageDataReturn: "image map",
    lumira.ImageTRCDataReturn: "image map (traces)",
    lumira.TimeResolvedDataReturn: "series",
    lumira.TimeResolvedTRCDataReturn: "series (traces)",
    lumira.MultiRegionDataReturn: "multi-region",
    lumira.MultiRegionTRCDataReturn: "multi-region (traces)",
}


class DamagedFileError(ValueError):
    """A file's content stops a read: it ends before the data it announces, or a block, a parameter or a record
    is damaged. `path` is the file, `block` the block (where one is concerned), `reason` what is wrong; the
    exception the reader raised, if any, is the `__cause__`. str() gives all three."""

    def __init__(self, reason: str, path: Optional[str] = None, block: Optional[str] = None) -> None:
        self.reason, self.path, self.block = reason, path, block
        where = ": ".join(part for part in (path, block) if part)
        super().__init__(f"{where}: {reason}" if where else reason)

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.reason, self.path, self.block), self.__dict__


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
    if not isinstance(error, CONTENT_ERRORS + (OSError,)) or isinstance(error, (NotOpusFileError, BlockSpecError)):
        return None
    text = str(error)
    reason = text if isinstance(error, ValueError) and text else f"{type(error).__name__}: {text}"
    damaged = DamagedFileError(reason, path, block)
    damaged.__cause__ = error
    return damaged


class NotOpusFileError(ValueError):
    """The file does not start with the OPUS magic bytes."""


class BlockSpecError(ValueError):
    """A block written in a way that names no block (not TYPE/DIMENSION/DERIVATIVE, or an unknown type)."""


class NotASpectrumError(ValueError):
    """A single spectrum was asked for, but the block is a 3D block (a map or a series)."""


def kind_of(result: object) -> str:
    """The kind of a result object in words: 'spectrum', 'image map', 'series', 'multi-region', ..."""
    for cls in type(result).__mro__:
        if cls in KINDS:
            return KINDS[cls]
    raise TypeError(f"not a lumira result: {type(result).__name__}")


def block_text(request: Sequence[str]) -> str:
    return "/".join(request[:3])


def parse_block(block: BlockSpec) -> Optional[tuple[str, ...]]:
    """Splits 'AB/2D/NONE' (any case; 'AB' or 'AB/3D' for the first match) into upper-cased parts.

    None stays None, meaning the first block the file lists.
    """
    if block is None:
        return None
    parts = block.split("/") if isinstance(block, str) else list(block)
    parts = [part.strip().upper() for part in parts]
    if not 1 <= len(parts) <= 3 or not all(parts):
        raise BlockSpecError(f"a block is written TYPE/DIMENSION/DERIVATIVE, e.g. AB/2D/NONE, not {block!r}")
    if parts[0] not in TYPE_PREFERENCE:
        raise BlockSpecError(f"{parts[0]!r} is not a block type; the types are {', '.join(sorted(TYPE_PREFERENCE))}")
    if len(parts) > 1 and parts[1] not in DIMENSIONS:
        raise BlockSpecError(f"the dimension of a block is 2D or 3D, not {parts[1]!r}")
    return tuple(parts)


def is_opus_file(path: PathLike) -> bool:
    """isOpusFile, with a file too short to hold the magic counted as not OPUS rather than an error."""
    try:
        return lumira.isOpusFile(os.fspath(path))
    except struct.error:
        return False


def resolve(path: PathLike, block: BlockSpec = None, *, strict: bool = True) -> Request:
    """The request for getOpusData: the block written out, or the first listed block that matches it.

    Without a block, the block whose type comes first in TYPE_PREFERENCE (final spectra before single channels,
    phases and interferograms); among blocks of that type, the first listed.
    """
    parts = parse_block(block)
    if parts is not None and len(parts) == 3:
        if not is_opus_file(path):
            raise NotOpusFileError("not an OPUS file")
        return _as_request(parts)
    listed = list_blocks(path, strict=strict)
    if parts is None:
        if not listed:
            raise ValueError("the file holds no data block")
        return _as_request(min(listed, key=_preference))
    for triple in listed:
        if tuple(triple[:len(parts)]) == parts:
            return _as_request(triple)
    raise ValueError(f"no {'/'.join(parts)} block in the file (it holds {', '.join(map(block_text, listed))})")


def _preference(triple: Sequence[str]) -> int:
    # min() keeps the first of equal keys, so listing order decides within a type.
    return TYPE_PREFERENCE.index(triple[0]) if triple[0] in TYPE_PREFERENCE else len(TYPE_PREFERENCE)


def _as_request(parts: Sequence[str]) -> Request:
    return parts[0], parts[1], _REQUEST_DERIVATIVE.get(parts[2], parts[2])


def list_blocks(path: PathLike, *, strict: bool = True) -> list[tuple[str, str, str]]:
    """listContents, refusing files that are not OPUS files (and, with `strict`, those whose directory is cut
    off)."""
    with damage_reports() as reports:
        if not is_opus_file(path):
            raise NotOpusFileError("not an OPUS file")
        listed = lumira.listContents(os.fspath(path))
    if strict:
        _raise_if_damaged(reports, os.fsdecode(os.fspath(path)))
    return listed


def _raise_if_damaged(reports: list[BaseException], path: str) -> None:
    if reports:
        fields = "field" if len(reports) == 1 else "fields"
        damaged = DamagedFileError(f"the file ends early: {len(reports)} {fields} cut off ({reports[0]})", path)
        raise damaged from reports[0]


# --- the extension's short-read reports ----------------------------------------------------------------
#
# The reports go through sys.excepthook (the printed error) and sys.unraisablehook (the "Exception ignored"
# line), both process-wide. While any thread reads, both hooks are replaced by ones that hand a report made
# on a reading thread to that thread's list and pass everything else on to the hooks that were there.

_state = threading.local()
_lock = threading.Lock()
_readers = 0
_saved: Optional[tuple[Callable[..., Any], Callable[..., Any]]] = None


def _collecting() -> Optional[list[BaseException]]:
    sink: Optional[list[BaseException]] = getattr(_state, "sink", None)
    return sink


def _unraisable_hook(args: Any) -> None:
    sink = _collecting()
    context = args.object
    if sink is not None and isinstance(context, str) and context.startswith("lumira."):
        sink.append(args.exc_value)
        return
    (_saved[1] if _saved is not None else sys.__unraisablehook__)(args)


def _except_hook(kind: Type[BaseException], value: BaseException, traceback: Optional[TracebackType]) -> None:
    # The printed half of a report; the unraisable half that follows is the one collected.
    if _collecting() is not None and isinstance(value, struct.error):
        return
    (_saved[0] if _saved is not None else sys.__excepthook__)(kind, value, traceback)


@contextmanager
def damage_reports() -> Iterator[list[BaseException]]:
    """Collects the extension's short-read reports made on this thread, instead of printing them."""
    global _readers, _saved
    outer = _collecting()
    if outer is not None:  # nested: the outer block collects
        yield outer
        return
    with _lock:
        if _readers == 0:
            _saved = (sys.excepthook, sys.unraisablehook)
            sys.excepthook, sys.unraisablehook = _except_hook, _unraisable_hook
        _readers += 1
    sink: list[BaseException] = []
    _state.sink = sink
    try:
        yield sink
    finally:
        _state.sink = None
        with _lock:
            _readers -= 1
            if _readers == 0 and _saved is not None:
                # Leave a hook that someone else installed meanwhile in place.
                if sys.excepthook is _except_hook:
                    sys.excepthook = _saved[0]
                if sys.unraisablehook is _unraisable_hook:
                    sys.unraisablehook = _saved[1]
                _saved = None
