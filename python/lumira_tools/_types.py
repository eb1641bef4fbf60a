"""The types a file read gives: `OpusFile`, the file; `Block`, each of its data blocks; `Entry`, each entry of its
directory.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Iterator, NamedTuple, Optional, Union

import numpy as np

from ._blocks import (ChannelPattern, as_request, channel_pattern, choose, data_block_name, held_blocks,
                      matches_channel, missing_block, patterns)
from ._display import block_html, block_line, file_html, file_text
from ._parameters import ParameterBlock, Parameters, ParameterStore, parameter_blocks
from ._parts import FileParts
from ._read import BlockSpec, DataReturn, Request, block_text
from ._sources import Input, RangeReader, input_of
from ._time import acquisition_time


@dataclass(frozen=True)
class Entry:
    """One entry of a file's block directory: the six codes of its type word, its size, its offset and the type
    word itself as stored (`typeWord`, whose bit 30 tells twin blocks apart: see `Block.compensated`)."""

    complexType: int
    sampleType: int
    paramType: int
    dataType: int
    derivType: int
    extendType: int
    sizeInWords: int
    byteOffset: int
    typeWord: int = 0

    @property
    def name(self) -> Optional[str]:
        """The data type's name ('AB', 'SSC', 'MATCH', 'SSC:2' for a second channel, ...) where it has one."""
        return data_block_name(self.dataType, self.sampleType)


class Block(NamedTuple):
    """One data block of a file.

    `number` is its place among the file's blocks (directory order; `#N` on the command line), `entry` its place
    in the directory (`OpusFile.entries`). `parts` are its type, dimension and derivative as `lumira ls` writes
    them, `channel` the detector channel it was measured on (1 but for the second to fourth channel of a
    multi-channel instrument). `request` is the triple getOpusData takes for it, None for the blocks it cannot
    ask for (match blocks, further channels); `shadowed` says a later block answers the same request
    (getOpusData returns that one). `kind` and `shape` say what its values are (`shape` of all points of all
    regions for a multi-region map). `result` is the block read (None with `data=False` or when it failed),
    `error` what stopped it, `offset` where its data block lies. `record_info` holds a 3D block's per-record
    fields (scans, x and y range, start and end time, ...): a NumPy structured array shaped as its records lie,
    `record_info["ERT"]` one field; None for single spectra, with `data=False` and when it failed.

    `parameters` are its parameters merged as getOpusData merges them: its own, then the file's last
    acquisition, instrument, sample-origin and FT blocks, whichever measurement they describe. `groups` keeps
    them apart by kind, each from the blocks of the block's own measurement: {"data": its own parameters,
    "instrument": ..., "acquisition": ..., "FT": ..., "optics": ..., "sample origin": ..., "lab": ...,
    "info": ...}, the kinds the file holds (see `ParameterBlock`); a reference channel takes the reference
    side's blocks, everything else the sample side's, and a file with one measurement has it on the sample side.
    Where a file holds a kind twice on one side, the later block counts. A parameter block that cannot be read
    is left out (its error is in `OpusFile.parameter_blocks`). `flat_parameters(block)` makes one dictionary of
    them. The groups are made on first use from `parameter_store`, the file's parameter blocks as read, which
    every block of the file shares; their dictionaries are shared too (with the file's `parameter_blocks` and
    with blocks of the same measurement): copy one before changing it.

    `compensated` tells twins apart: files that correct a result for atmospheric absorption keep the result
    before the correction as well, under the same type, and mark that one by bit 30 of its type word. It is
    False for the result before compensation, True for the compensated one (the one a request reads), and None
    for a block without a twin.
    """

    number: int
    request: Optional[Request]
    kind: Optional[str]
    shape: Optional[tuple[int, ...]]
    offset: int
    shadowed: bool
    parameters: Optional[dict[str, Union[int, float, str]]]
    error: Optional[BaseException]
    result: Optional[DataReturn]
    record_info: Optional[np.ndarray[Any, Any]] = None
    entry: int = -1
    parts: tuple[str, str, str] = ("", "", "")
    channel: int = 1
    compensated: Optional[bool] = None
    parameter_store: Optional[ParameterStore] = None

    @property
    def ok(self) -> bool:
        return self.error is None

    @property
    def name(self) -> str:
        """'AB/2D/NONE', as the listing writes it (derivative code 3 as 3DER, where a request says NDER), with
        the channel after the type from the second one on: 'AB:2/2D/NONE'."""
        if self.parts[0]:
            kind, dimension, derivative = self.parts
        else:  # made by hand from a request
            assert self.request is not None
            kind, dimension, derivative = self.request
        kind = kind if self.channel == 1 else f"{kind}:{self.channel}"
        return block_text((kind, dimension, "3DER" if derivative == "NDER" else derivative))

    @property
    def dimension(self) -> str:
        """'2D' or '3D'."""
        return self.name.split("/")[1]

    @property
    def groups(self) -> dict[str, Parameters]:
        """Its parameters by kind, from the parameter blocks of its own measurement (see the class)."""
        return {} if self.parameter_store is None else self.parameter_store.groups(self.entry)

    @property
    def time(self) -> Optional[datetime]:
        """When the block was measured, in UTC, from its DAT and TIM (see `acquisition_time`); None when they are
        absent or cannot be read."""
        return acquisition_time(self.parameters or {})

    @property
    def x_range(self) -> Optional[tuple[float, float]]:
        """The first and last x value (FXV, LXV), or None when the parameters do not give them."""
        parameters = self.parameters or {}
        first, last, points = parameters.get("FXV"), parameters.get("LXV"), parameters.get("NPT")
        if not isinstance(first, (int, float)) or not isinstance(last, (int, float)) or not isinstance(points, int):
            return None
        if points < 1:
            return None
        return float(first), float(first if points == 1 else last)

    def __repr__(self) -> str:
        return f"<Block {block_line(self)}>"

    def _repr_html_(self) -> str:
        return block_html(self)


class OpusFile(FileParts):
    """The data blocks of one file (`blocks`, in directory order), its parameter blocks (`parameter_blocks`) and
    its directory (`entries`); `history`, `reports`, `images` and `other` give what it holds beside them, each
    read when first asked for.

    `file[block]` takes a block as `read` does ('AB/2D/NONE', a triple, a prefix such as 'ab', 'ab:2' for a
    second channel, 'match', None for the preferred block) or an index into `blocks`.
    """

    def __init__(self, path: str, listing: list[Request], directory: bytes, blocks: list[Block],
                 source: Optional[Input] = None, store: Optional[ParameterStore] = None) -> None:
        self.path = path
        self.listing = listing
        self.blocks = blocks
        self._directory = directory
        self._entries: Optional[list[Entry]] = None
        self._source = source if source is not None else input_of(path)
        self._store = store
        self._parameter_blocks: Optional[list[ParameterBlock]] = None

    @property
    def parameter_blocks(self) -> list[ParameterBlock]:
        """Every parameter block of the file in directory order (data parameters, the instrument, acquisition,
        FT, optics, sample-origin and lab blocks of each measurement, the info block), each apart with the side it
        belongs to; see `ParameterBlock`. A block that cannot be read has its DamagedFileError as `error`."""
        if self._parameter_blocks is None:
            self._parameter_blocks = [] if self._store is None else parameter_blocks(self._store, self.path)
        return self._parameter_blocks

    def _read_bytes(self, offset: int, size: int) -> bytes:
        """`size` bytes of the file from `offset` on (fewer where it ends), from wherever the file came: for
        what is read on access after the file was read."""
        if offset < 0 or size < 0:
            raise ValueError(f"no bytes at offset {offset} of size {size}")
        with self._source.opened(whole=False) as native:
            if isinstance(native, str):
                with open(native, "rb") as file:
                    file.seek(offset)  # a size from a damaged directory must not make room past the file's end
                    return file.read(max(0, min(size, os.fstat(file.fileno()).st_size - offset)))
            if isinstance(native, RangeReader):
                room = bytearray(max(0, min(size, native.size - offset)))
                got = native.readinto_at(offset, memoryview(room))
                return bytes(room[:got])
            return bytes(memoryview(native).cast("B")[offset:offset + size])

    @property
    def entries(self) -> list[Entry]:
        """Every directory entry, the blocks lumira does not read included."""
        if self._entries is None:
            fields = struct.iter_unpack("<9q", self._directory)
            self._entries = [Entry(*values) for values in fields]
        return self._entries

    @property
    def unanswered(self) -> list[Request]:
        """Requests the listing names (by their parameter blocks) that no data block answers: getOpusData fails
        on each with "No data block exists in the file for: ..."."""
        answered = {block.request for block in self.blocks}
        return [request for request in dict.fromkeys(map(as_request, self.listing)) if request not in answered]

    def __len__(self) -> int:
        return len(self.blocks)

    def __iter__(self) -> Iterator[Block]:
        return iter(self.blocks)

    def __getitem__(self, block: Union[int, BlockSpec]) -> Block:
        if isinstance(block, bool):
            raise TypeError("a block is a number or a text such as 'AB/2D/NONE', not a bool")
        if isinstance(block, int):
            return self.blocks[block]
        wanted = patterns(block)
        if isinstance(wanted, int):
            for found in self.blocks:
                if found.number == wanted:
                    return found
            raise KeyError(f"no block #{wanted} in {self.path}")
        unrequested = channel_pattern(block)
        if unrequested is not None:
            return self._unrequested(unrequested, block)
        request = choose(self.listing, block, self.held, self.path)
        for found in self.blocks[::-1]:  # (reversed() of these tuples loses their type in mypy)
            if found.request == request:
                return found
        raise KeyError(f"{block_text(request)}: no such data block in {self.path}")

    def _unrequested(self, pattern: ChannelPattern, block: BlockSpec) -> Block:
        """A match block or a further channel: the last block alike to the first one the pattern matches."""
        matching = [found for found in self.blocks if matches_channel(found, pattern)]
        if not matching:
            raise missing_block(self.held, self.listing, block, self.path)
        first = matching[0]
        return [found for found in self.blocks if found.name == first.name][-1]

    @property
    def held(self) -> list[str]:
        """The data blocks the directory lists ('AB/2D/NONE'), in directory order, each once."""
        return held_blocks(self._directory)

    def __repr__(self) -> str:
        return file_text(self)

    def _repr_html_(self) -> str:
        return file_html(self)
