"""Which block a request means in a file: blocks written as text turned into what the native reader is asked
for, and the error that says a file holds no such block (with the blocks it does hold, in directory order)."""

from __future__ import annotations

import struct
from typing import Any, Optional, Sequence, Union

from ._read import (MATCH, TYPE_PREFERENCE, BlockSpec, BlockSpecError, NoSuchBlockError, Request, block_text,
                    parse_block, split_channel)

Pattern = tuple[Optional[str], Optional[str], Optional[str]]
# Match blocks and further channels, which no request reaches: a pattern and the channel.
ChannelPattern = tuple[Optional[str], Optional[str], Optional[str], int]
Selector = Union[int, Request, list[Pattern], list[ChannelPattern]]

# Data types by their (dataType, sampleType) codes; -1 for any sampleType.
TYPE_CODES = {
    "REFL": (12, -1), "RAM": (10, -1), "SPOW": (14, 1), "RPOW": (14, 2), "SPH": (3, 1), "RPH": (3, 2),
    "PAS": (17, -1), "LREFL": (15, -1), "KM": (6, -1), "SIFG": (2, 1), "RIFG": (2, 2), "TR": (5, -1),
    "EMIS": (11, -1), "ATR": (16, -1), "TRARI": (18, -1), "ABARI": (19, -1), "AB": (4, -1), "TRC": (7, -1),
    "SSC": (1, 1), "RSC": (1, 2),
}
DERIVATIVE_TEXTS = ("NONE", "1DER", "2DER", "3DER")
THREE_D_EXTEND = 10
MATCH_DATA_TYPE = 22
CHANNEL_STRIDE = 32  # dataType step from one detector channel to the next
# What a background measurement holds: the reference side's channel, interferogram, phase and power spectrum.
REFERENCE_TYPES = ("RSC", "RIFG", "RPH", "RPOW")


def type_name(data_type: int, sample_type: int) -> Optional[str]:
    """The name of a data type ('AB', 'SSC', ...) by its codes, where it has one."""
    for name, (data, sample) in TYPE_CODES.items():
        if data == data_type and sample in (-1, sample_type):
            return name
    return None


def data_block_name(data_type: int, sample_type: int) -> Optional[str]:
    """The name of a data block's type as the package writes it: 'AB', 'MATCH', 'SSC:2' for a second channel."""
    base, channel = data_type % CHANNEL_STRIDE, data_type // CHANNEL_STRIDE + 1
    name = MATCH if base == MATCH_DATA_TYPE else type_name(base, sample_type)
    return None if name is None else name if channel == 1 else f"{name}:{channel}"


def patterns(block: BlockSpec) -> Selector:
    """What the native reader is asked for: a block by its place ('#2'), a request written out, or patterns the
    first listed match of which wins (for None, the types in the order of TYPE_PREFERENCE). Match blocks and
    further channels, which no request reaches, are one pattern of four parts: the last is the channel."""
    if isinstance(block, str) and block.strip().startswith("#"):
        return block_index(block)
    unrequested = channel_pattern(block)
    if unrequested is not None:
        return [unrequested]
    parts = parse_block(block)
    if parts is None:
        preferred: list[Pattern] = [(name, None, None) for name in TYPE_PREFERENCE]
        return preferred
    if len(parts) == 3:
        return as_request(parts)
    padded = tuple(parts) + (None,) * (3 - len(parts))
    return [(padded[0], padded[1], padded[2])]


def channel_pattern(block: BlockSpec) -> Optional[ChannelPattern]:
    """The pattern of a match block or a further channel ('match', 'AB:2/2D'), None for any other block."""
    parts = None if isinstance(block, str) and block.strip().startswith("#") else parse_block(block)
    if parts is None:
        return None
    name, channel = split_channel(parts[0])
    if name != MATCH and channel == 1:
        return None
    padded = tuple(parts[1:]) + (None,) * (3 - len(parts))
    return name, padded[0], "3DER" if padded[1] == "NDER" else padded[1], channel


def matches_channel(block: Any, pattern: ChannelPattern) -> bool:
    """Whether a Block is one a channel pattern names."""
    return block.channel == pattern[3] and all(part is None or part == have
                                               for part, have in zip(pattern[:3], block.parts))


def block_index(text: str) -> int:
    """'#2' -> 2: a block by its place among the file's blocks, as `lumira ls` numbers them."""
    digits = text.strip()[1:].strip()
    if not digits.isdigit():
        raise BlockSpecError(f"a block by its place is written #N, e.g. #0, not {text!r}")
    return int(digits)


def as_request(parts: Sequence[str]) -> Request:
    # The listing names derivative code 3 "3DER"; a request must call it "NDER".
    return parts[0], parts[1], "NDER" if parts[2] == "3DER" else parts[2]


def choose(listing: Sequence[Sequence[str]], block: BlockSpec, held: Sequence[str] = (),
           path: Optional[str] = None) -> Request:
    """The request that `block` (not a '#N' place) stands for in a file with this listing."""
    wanted = patterns(block)
    if isinstance(wanted, tuple):
        return wanted
    if isinstance(wanted, int):
        raise BlockSpecError(f"#{wanted} names a block by its place, not by its type")
    if channel_pattern(block) is not None:
        raise BlockSpecError(f"{block}: no request reaches match blocks or further channels")
    for pattern in wanted:
        for triple in listing:
            if all(part is None or part == have for part, have in zip(pattern, triple)):
                return as_request(triple)
    raise missing_block(held, listing, block, path)


def preferred(listing: Sequence[Sequence[str]], blocks: Sequence[Any]) -> Optional[Any]:
    """Of a file's blocks (read with every block chosen), the one a request without a block reads: the first
    listed block of the first type in TYPE_PREFERENCE that the listing names, as the native reader chooses it
    (None when that block's data block is missing, or the file holds none)."""
    for name in TYPE_PREFERENCE:
        listed = next((triple for triple in listing if triple[0] == name), None)
        if listed is None:
            continue
        request = as_request(listed)
        return next((block for block in reversed(blocks) if block.request == request), None)
    return None


def held_blocks(directory: bytes) -> list[str]:
    """The data blocks a file's directory lists ('AB/2D/NONE'), in directory order, each once."""
    names: dict[str, None] = {}
    for fields in struct.iter_unpack("<9q", directory):
        _, sample, param, data, deriv, extend = fields[:6]
        name = data_block_name(data, sample)
        if name is not None and param == 0 and extend in (0, THREE_D_EXTEND):
            names[f"{name}/{'3D' if extend == THREE_D_EXTEND else '2D'}/{DERIVATIVE_TEXTS[deriv & 3]}"] = None
    return list(names)


def missing_block(held: Sequence[str], listing: Sequence[Sequence[str]], block: BlockSpec,
                  path: Optional[str] = None) -> NoSuchBlockError:
    """The error for a request the file cannot answer, saying what it holds instead."""
    holds = f"it holds {', '.join(held)}" if held else "it holds no data block"
    if held and all(name.split("/")[0] in REFERENCE_TYPES for name in held):
        holds = f"it holds only reference channels: {', '.join(held)}"
    if isinstance(block, str) and block.strip().startswith("#"):
        place = block_index(block)
        return NoSuchBlockError(f"no block #{place} in the file ({holds}; they are numbered from #0)", path,
                                None, held)
    parts = parse_block(block)
    if parts is None:
        return NoSuchBlockError("the file holds no data block", path, None, held)
    asked = "/".join(parts)
    wanted = as_request(tuple(parts) + ("",) * (3 - len(parts)))[:len(parts)]
    if any(as_request(triple)[:len(parts)] == wanted for triple in listing):
        return NoSuchBlockError(f"no {asked} data block in the file: its parameters are there, the data block is "
                                f"not ({holds})", path, asked, held)
    return NoSuchBlockError(f"no {asked} block in the file ({holds})", path, asked, held)


__all__ = ["ChannelPattern", "Pattern", "Selector", "as_request", "preferred", "block_index", "block_text",
           "channel_pattern", "choose", "data_block_name", "held_blocks", "matches_channel", "missing_block",
           "patterns", "type_name"]
