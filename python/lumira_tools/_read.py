"""What the package's readers share: blocks written as text, the kinds of results, and the errors.

The extension reports a field cut off by the end of the file on standard
error and reads on with zero; a 2D spectrum cut short comes back with fewer
values than its axis. Both are data the caller would otherwise take for
real, so the tools refuse them (see `_errors`).
"""

from __future__ import annotations

import os
import struct
from typing import Any, Optional, Sequence, Tuple, Union

import lumira

from ._errors import (BlockSpecError, DamagedFileError, FileProblem, NoSuchBlockError, NotASpectrumError,
                      NotOpusFileError, content_damage, error_text, failed_save)

Request = Tuple[str, str, str]
BlockSpec = Union[str, Sequence[str], None]
PathLike = Union[str, "os.PathLike[str]"]

DIMENSIONS = ("2D", "3D")
# The derivatives a block is written with: the listing says 3DER where a request says NDER.
DERIVATIVES = ("NONE", "1DER", "2DER", "3DER", "NDER")
# Every block type a file can name, in the order a block is chosen when none is asked for: final spectra first,
# then single channels and power spectra, traces, and last the raw phases and interferograms that instrument
# files often list before the spectrum computed from them. Sample before reference within a pair.
TYPE_PREFERENCE = (
    "AB", "TR", "REFL", "KM", "RAM", "EMIS", "ATR", "PAS", "LREFL", "TRARI", "ABARI",
    "SSC", "RSC", "SPOW", "RPOW", "TRC", "SPH", "RPH", "SIFG", "RIFG",
)

# Blocks no request can name: match blocks, and (as TYPE:N) the blocks of a detector's channel N, 2 to 4.
MATCH = "MATCH"
CHANNELS = range(1, 5)

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

    The type may be MATCH (match blocks) and may carry a detector channel, 'AB:2' (see `split_channel`).
    None stays None, meaning the first block the file lists.
    """
    if block is None:
        return None
    parts = block.split("/") if isinstance(block, str) else list(block)
    parts = [part.strip().upper() for part in parts]
    if not 1 <= len(parts) <= 3 or not all(parts):
        raise BlockSpecError(f"a block is written TYPE/DIMENSION/DERIVATIVE, e.g. AB/2D/NONE, not {block!r}")
    split_channel(parts[0])
    if len(parts) > 1 and parts[1] not in DIMENSIONS:
        raise BlockSpecError(f"the dimension of a block is 2D or 3D, not {parts[1]!r}")
    if len(parts) > 2 and parts[2] not in DERIVATIVES:
        raise BlockSpecError(f"the derivative of a block is {', '.join(DERIVATIVES[:-1])} or NDER, not {parts[2]!r}")
    return tuple(parts)


def split_channel(type_part: str) -> tuple[str, int]:
    """'AB:2' -> ('AB', 2): a block type and the detector channel it is written with (1 when none is)."""
    name, colon, number = type_part.strip().upper().partition(":")
    name = name.strip()
    if name not in TYPE_PREFERENCE and name != MATCH:
        raise BlockSpecError(f"{name!r} is not a block type; the types are "
                             f"{', '.join(sorted(TYPE_PREFERENCE + (MATCH,)))}, a channel written TYPE:N")
    if not colon:
        return name, 1
    channel = int(number) if number.strip().isdigit() else 0
    if channel not in CHANNELS:
        raise BlockSpecError(f"a detector channel is written TYPE:N with N from 1 to 4, e.g. AB:2, not {type_part!r}")
    return name, channel


def is_opus_file(path: Any) -> bool:
    """isOpusFile, with a file too short to hold the magic counted as not OPUS rather than an error. Besides a
    path, takes any file `read` takes: contents (bytes), a file object, an archive member, a URL."""
    if not isinstance(path, (str, os.PathLike)):
        from ._sources import is_opus_source

        return is_opus_source(path)
    try:
        return lumira.isOpusFile(os.fspath(path))
    except struct.error:
        return False


__all__ = ["BlockSpecError", "DamagedFileError", "FileProblem", "NoSuchBlockError", "NotASpectrumError",
           "NotOpusFileError", "content_damage", "error_text", "failed_save"]
