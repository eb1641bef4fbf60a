"""Whole files in one pass: every data block of a file, read with the file opened once.

The extension answers one request at a time, and a request finds only the last of the data blocks that answer
it. `read_file` reads them all, shadowed ones included, match blocks and further detector channels too, each with
its own parameters (merged as the extension merges them, and grouped by the parameter block they come from), and
keeps a block that cannot be read from hiding the others.
"""

from __future__ import annotations

import os
import struct
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Iterator, NamedTuple, Optional, Sequence, Union

import numpy as np

import lumira

from . import _native
from ._display import block_html, block_line, file_html, file_text
from ._blocks import (ChannelPattern, as_request, channel_pattern, choose, data_block_name, held_blocks,
                      matches_channel, missing_block, patterns)
from ._parameters import ParameterBlock, Parameters, ParameterStore, parameter_blocks
from ._read import (BlockSpec, BlockSpecError, DamagedFileError, DataReturn, NotASpectrumError, NotOpusFileError,
                    Request, block_text, content_damage, parse_block)
from ._parts import FileParts
from ._sources import Input, PathInput, RangeReader, Source, input_of, is_opus_source
from ._time import acquisition_time

NON_OPUS = "Can't process a non-Opus file"


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
    record_info: Optional[np.ndarray] = None
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


def read_file(path: Source, *, data: bool = True, scale: bool = True, strict: bool = True) -> OpusFile:
    """Every data block of the file, read with the file opened once.

    With `data=False` only the parameters, kind and shape of each block are read, no values. With `scale`,
    values are multiplied by the block's `CSF` where it is not 1 (`minY` and `maxY` stay as stored). With
    `strict`, a block whose fields or values the end of the file cuts off gets a DamagedFileError as its
    `error` instead of a result. A block that cannot be read does not hide the others; only a file that
    cannot be read at all (missing, not an OPUS file, a directory cut short under `strict`) raises.
    """
    return _read(path, None, data=data, scale=scale, strict=strict)


def read(path: Source, block: BlockSpec = None, *, strict: bool = True, scale: bool = True) -> DataReturn:
    """One block of a file: 'AB/2D/NONE', a triple, a prefix such as 'ab' (the first listed block that matches),
    or None for the preferred block (see `resolve`), read as getOpusData reads it, with the file opened once.

    With `strict`, a file whose fields or spectrum are cut off by its end raises DamagedFileError instead of
    returning zeros or a short spectrum. With `scale`, values are multiplied by the block's CSF where it is not 1.
    """
    found = read_block(path, block, scale=scale, strict=strict)
    if found.error is not None:
        raise found.error
    assert found.result is not None
    return found.result


def read_block(path: Source, block: BlockSpec = None, *, data: bool = True, scale: bool = True,
               strict: bool = True) -> Block:
    """The Block that `block` names ('#2' by its place, else as `read` takes it), alone read from the file;
    raises only when the file cannot be read or holds no such block."""
    opened = _read(path, patterns(block), data=data, scale=scale, strict=strict)
    if not opened.blocks:
        raise missing_block(opened.held, opened.listing, block, opened.path)
    return opened.blocks[0]


def read_spectrum(path: Source, block: BlockSpec = None, *, strict: bool = True,
                  scale: bool = True) -> lumira.SingleDataReturn:
    """`read` for a single spectrum: the same block `read` would take, refused with NotASpectrumError when it is a
    3D block, so the result is typed as a SingleDataReturn."""
    found = input_of(path)  # read twice: a stream is read once
    probe = read_block(found, block, data=False, strict=strict)
    name = found.name
    if probe.dimension != "2D":
        raise NotASpectrumError(f"{probe.name} is a 3D block ({probe.kind or 'a map or a series'}), not a single "
                                "spectrum: read it with read()", name)
    result = read(found, f"#{probe.number}", strict=strict, scale=scale)
    if not isinstance(result, lumira.SingleDataReturn):  # a rebound result class could make anything
        raise NotASpectrumError(f"{probe.name} did not read as a single spectrum", name)
    return result


def list_blocks(path: Source, *, strict: bool = True) -> list[tuple[str, str, str]]:
    """The data blocks of the file as (type, dimension, derivative) triples, in directory order: the N-th is the
    block `#N` names (listContents names the same blocks, its own way ordered). Refuses files that are not OPUS
    files, and with `strict` damaged ones."""
    return [tuple(block.name.split("/")) for block in read_file(path, data=False, strict=strict)]  # type: ignore


def resolve(path: Source, block: BlockSpec = None, *, strict: bool = True) -> Request:
    """The (type, dimension, derivative) request that `read` makes for `block` in this file; a request written
    out in full is left to the read to find or refuse."""
    parts = parse_block(block) if not (isinstance(block, str) and block.strip().startswith("#")) else None
    if parts is not None and channel_pattern(block) is not None:
        raise BlockSpecError(f"{'/'.join(parts)}: getOpusData cannot ask for match blocks or further channels; "
                             "read them with read() or read_file()")
    if parts is not None and len(parts) == 3:
        found = input_of(path)
        if not is_opus_source(found):
            raise NotOpusFileError("not an OPUS file", found.name)
        return as_request(parts)
    chosen = read_block(path, block, data=False, strict=strict)
    if chosen.request is None:  # '#N' of a match block or further channel
        raise BlockSpecError(f"{chosen.name}: getOpusData cannot ask for match blocks or further channels")
    return chosen.request


def _read(source: Source, select: Any, *, data: bool, scale: bool, strict: bool) -> OpusFile:
    found = input_of(source)
    try:
        if type(found) is PathInput:  # opened natively: nothing of the host's to raise afterwards
            read = _native.read_file(found.path, data, strict, scale, select, Block, DamagedFileError)
        else:
            with found.opened(whole=data) as native:
                read = _native.read_file(native, data, strict, scale, select, Block, DamagedFileError)
    except Exception as error:
        converted = native_error(error, found.name)
        if converted is error:
            raise
        raise converted from converted.__cause__ if isinstance(converted, DamagedFileError) else None
    return opus_file(found, read)


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


def opus_file(found: Input, read: tuple[Any, ...]) -> OpusFile:
    """The OpusFile of what the native reader gives: a directory cut short raises DamagedFileError; a block's
    error caused by the file's content is a DamagedFileError naming the file and the block."""
    path = found.name
    listing, directory, blocks, damage, store = read
    if damage:
        raise damaged(damage, path) from damage[0]
    for number, block in enumerate(blocks):
        if block.error is not None:
            wrapped = content_damage(block.error, path, block.name)
            if wrapped is not None and wrapped is not block.error:
                blocks[number] = block._replace(error=wrapped)
    return OpusFile(path, listing, directory, blocks, found, store)


def damaged(reports: Sequence[BaseException], path: Optional[str] = None) -> DamagedFileError:
    fields = "field" if len(reports) == 1 else "fields"
    return DamagedFileError(f"the file ends early: {len(reports)} {fields} cut off ({reports[0]})", path)


def value_arrays(result: DataReturn) -> list[Any]:
    """The arrays that hold the result's values: y, spectra or traces, or each region's rows."""
    if isinstance(result, lumira.SingleDataReturn):
        return [result.y]
    if isinstance(result, (lumira.ImageDataReturn, lumira.TimeResolvedDataReturn)):
        return [result.spectra]
    if isinstance(result, (lumira.ImageTRCDataReturn, lumira.TimeResolvedTRCDataReturn)):
        return [result.traces]
    return [region.spectra for region in result.regions]


def scale_factor(parameters: dict[str, Any]) -> Optional[float]:
    """The block's CSF when it changes the values (a number other than 1)."""
    factor = parameters.get("CSF")
    if isinstance(factor, bool) or not isinstance(factor, (int, float)) or factor == 1:
        return None
    return float(factor)


def scaled(result: DataReturn) -> DataReturn:
    """Multiplies the result's values by its CSF in place (in double precision, stored as float32), as
    `read_file` does."""
    factor = scale_factor(result.parameters)
    if factor is None:
        return result
    for values in value_arrays(result):
        np.multiply(values, factor, out=values, dtype=np.float64, casting="unsafe")
    return result
