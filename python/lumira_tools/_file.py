"""Whole files in one pass: every data block of a file, read with the file opened once.

The extension answers one request at a time, and a request finds only the last of the data blocks that answer
it. `read_file` reads them all, shadowed ones included, match blocks and further detector channels too, each with
its own parameters (merged as the extension merges them, and grouped by the parameter block they come from), and
keeps a block that cannot be read from hiding the others.
"""

from __future__ import annotations

from typing import Any, Optional

import lumira

from . import _native
from ._blocks import as_request, channel_pattern, missing_block, patterns
from ._errors import damaged, native_error
from ._read import (BlockSpec, BlockSpecError, DamagedFileError, DataReturn, NotASpectrumError, NotOpusFileError,
                    Request, content_damage, parse_block)
from ._sources import Input, PathInput, Source, input_of, is_opus_source
from ._types import Block, OpusFile


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


def scale_factor(parameters: dict[str, Any]) -> Optional[float]:
    """The block's CSF when it changes the values (a number other than 1)."""
    factor = parameters.get("CSF")
    if isinstance(factor, bool) or not isinstance(factor, (int, float)) or factor == 1:
        return None
    return float(factor)
