"""3D blocks as lazy Dask arrays: maps and series bigger than memory, read a piece at a time.

Each chunk reads only its own records when it is computed, natively and with the interpreter lock released, with
the checks of the whole-block readers: a damaged record fails the chunk that holds it, as DamagedFileError naming
the file. The arrays pickle (a chunk knows its file by path), so they run on the process workers of
dask.distributed.
"""

from __future__ import annotations

import hashlib
from typing import TYPE_CHECKING, Any, Optional, Union, cast

import numpy as np

import lumira

from ._extras import need
from . import _native
from ._file import read_block, scale_factor
from ._read import BlockSpec, DamagedFileError, DataReturn, content_damage
from ._sources import Input, Source, input_of
from ._types import Block

if TYPE_CHECKING:
    import dask.array

# About this many bytes of values per chunk by default.
CHUNK_BYTES = 64 * 2**20

def _dask_array() -> Any:
    return need("dask.array", "lazy arrays need dask: pip install 'lumira[dask]'")


class BlockRows:
    """The values of a 3D block as an array-like that reads the records an index needs (for dask.from_array).

    Rows are the block's records in the order its result places them: an image map's grid cells row by row, a
    series' records, a trace map's traces (the last axis of its array).
    """

    def __init__(self, source: Input, number: int, kind: str, rows: int, values: int, grid: tuple[int, int],
                 factor: Optional[float]) -> None:
        self.source, self.path, self.number, self.kind = source, source.name, number, kind
        self.rows, self.values, self.grid, self.factor = rows, values, grid, factor
        self.dtype = np.dtype(np.float32)
        if kind == "image map":
            self.shape: tuple[int, ...] = (grid[0], grid[1], values)
        elif kind == "image map (traces)":
            self.shape = (grid[0], grid[1], rows)
        else:
            self.shape = (rows, values)
        self.ndim = len(self.shape)

    def read(self, start: int, stop: int, native: Any = None) -> Any:
        """Rows start to stop (records of the block), as a float32 array of (stop - start, values); `native` is the
        source opened for several reads (by default, it is opened for this one)."""
        out = np.empty((stop - start, self.values), np.float32)
        try:
            if native is None:
                with self.source.opened(whole=False) as opened:
                    _native.read_records(opened, self.number, start, stop, out)
            else:
                _native.read_records(native, self.number, start, stop, out)
        except Exception as error:
            damaged = content_damage(error, self.path)
            if damaged is None:
                raise
            raise damaged from error
        if self.factor is not None:
            np.multiply(out, self.factor, out=out, dtype=np.float64, casting="unsafe")
        return out

    def __getitem__(self, index: Any) -> Any:
        index = index if isinstance(index, tuple) else (index,)
        index = index + (slice(None),) * (self.ndim - len(index))
        if self.kind == "image map (traces)":
            # Each record is one whole map: the records run along the last axis.
            first, stop, local = rows_of(index[2], self.shape[2])
            maps = self.read(first, stop).reshape(stop - first, *self.grid)
            return np.moveaxis(maps, 0, -1)[index[0], index[1], local]
        first, stop, local = rows_of(index[0], self.shape[0])
        if self.kind == "image map":
            return self._cells(first, stop, local, index)
        return self.read(first, stop)[(local,) + index[1:]]


    def _cells(self, first: int, stop: int, local: Any, index: tuple[Any, ...]) -> Any:
        """The grid cells of grid rows [first, stop) that the index takes: whole rows in one read, or of each row
        only the columns the index spans."""
        columns = self.grid[1]
        left, right, across = rows_of(index[1], self.shape[1])
        if right - left == columns:
            cells = self.read(first * columns, stop * columns).reshape(stop - first, columns, self.values)
            return cells[(local,) + index[1:]]
        cells = np.empty((stop - first, right - left, self.values), np.float32)
        with self.source.opened(whole=False) as native:  # one source: its layout is read once
            for row in range(first, stop):
                cells[row - first] = self.read(row * columns + left, row * columns + right, native)
        return cells[(local, across) + index[2:]]


def rows_of(selection: Any, length: int) -> tuple[int, int, Any]:
    """The rows [first, stop) an index along one axis touches, and the index counted from `first` (an int or a
    slice: an array there would mix with an int on another axis into NumPy's reordering advanced indexing)."""
    picked = np.arange(length)[selection]
    if np.ndim(picked) == 0:
        return int(picked), int(picked) + 1, 0
    if picked.size == 0:
        return 0, 0, slice(0, 0)
    first = int(picked.min())
    offsets = picked - first
    step = int(offsets[1] - offsets[0]) if offsets.size > 1 else 1
    stop = int(offsets[-1]) + (1 if step > 0 else -1)
    return first, int(picked.max()) + 1, slice(int(offsets[0]), stop if stop >= 0 else None, step)


Chunks = Any  # None, "auto", -1, a number of rows, a tuple (per axis) or a dict (axis -> size) as Dask takes them


def to_dask(path: Source, block: BlockSpec = None, *, chunks: Chunks = None, scale: bool = True,
            strict: bool = True) -> "dask.array.Array":
    """A 3D block as a lazy Dask array: an image map (NPY, NPX, NPT), or its traces (NPY, NPX, traces), a series
    (records, NPT) or its traces (traces, NPT), the values of `read` (scaled by CSF unless `scale=False`).

    `chunks` is what `dask.array` takes, along the axes of the block's records (grid rows and columns of a map,
    records of a series, traces of a trace map): a number of rows per chunk (of the grid for a map), "auto" (Dask's
    chunk size), -1 (one chunk), or a chunk size for each axis as a tuple or a dict ({0: 16, 1: 32} chunks a map
    along both its axes). By default, chunks of about 64 MB of whole grid rows or records. A record is read whole,
    so the axis of its values is best left whole (-1). Multi-region maps are read whole: use `read`.
    """
    return _array(_rows(path, block, scale=scale, strict=strict), chunks)


def _record_axis(lazy: BlockRows) -> int:
    return 2 if lazy.kind == "image map (traces)" else 0


def _rows_per_chunk(lazy: BlockRows) -> int:
    along = _record_axis(lazy)
    row_bytes = 4 * int(np.prod(lazy.shape)) // max(lazy.shape[along], 1)
    return max(1, CHUNK_BYTES // max(row_bytes, 1))


def chunk_layout(lazy: BlockRows, chunks: Chunks = None) -> tuple[Any, ...]:
    """Chunk sizes along each axis, as Dask takes them: a number of rows (by default about CHUNK_BYTES of them)
    along the axis of the block's records and whole along the others (-1); "auto" along the axes of the records
    (a map's grid, not the values of a record); or what the caller gave per axis."""
    along = _record_axis(lazy)
    if chunks is None:
        chunks = _rows_per_chunk(lazy)
    if isinstance(chunks, str):
        if chunks != "auto":
            raise ValueError(f"chunks is a number of rows, 'auto', -1, or a tuple or dict of sizes, not {chunks!r}")
        records = (0, 1, 2) if lazy.kind == "image map (traces)" else (0, 1) if lazy.kind == "image map" else (0,)
        return tuple("auto" if axis in records else -1 for axis in range(lazy.ndim))
    if isinstance(chunks, (int, np.integer)) and not isinstance(chunks, bool):
        if chunks == -1:
            return (-1,) * lazy.ndim
        if chunks < 1:
            raise ValueError(f"chunks is a positive number of rows (or -1 for one chunk), not {chunks!r}")
        return tuple(-1 if axis != along else int(chunks) for axis in range(lazy.ndim))
    if isinstance(chunks, dict):
        for axis in chunks:
            if not isinstance(axis, int) or not -lazy.ndim <= axis < lazy.ndim:
                raise ValueError(f"chunks names the axes 0 to {lazy.ndim - 1} of a {lazy.ndim}D array, not {axis!r}")
        sizes = {axis % lazy.ndim: size for axis, size in chunks.items()}
        return tuple(sizes.get(axis, -1) for axis in range(lazy.ndim))
    if isinstance(chunks, (tuple, list)) and len(chunks) == lazy.ndim:
        return tuple(chunks)
    raise ValueError(f"chunks of a {lazy.ndim}D array is a number of rows, 'auto', -1, or {lazy.ndim} chunk sizes "
                     f"(a tuple, or a dict by axis), not {chunks!r}")


def normalized_chunks(lazy: BlockRows, chunks: Chunks = None) -> tuple[tuple[int, ...], ...]:
    """The chunk sizes along each axis, each a tuple, as Dask lays them out."""
    da = _dask_array()
    try:
        laid: tuple[tuple[int, ...], ...] = da.core.normalize_chunks(chunk_layout(lazy, chunks), lazy.shape,
                                                                      dtype=lazy.dtype)
    except (ValueError, TypeError) as error:
        raise ValueError(f"chunks {chunks!r} do not lay out an array of shape {lazy.shape}: {error}") from error
    return laid


def _array(lazy: BlockRows, chunks: Chunks) -> "dask.array.Array":
    da = _dask_array()
    token = hashlib.sha1(repr((lazy.source.token(), lazy.number, lazy.factor)).encode())
    array: dask.array.Array = da.from_array(lazy, chunks=normalized_chunks(lazy, chunks),
                                            name=f"lumira-{token.hexdigest()}", lock=False, asarray=True,
                                            fancy=False, meta=np.empty((0,) * lazy.ndim, np.float32))
    return array


def _rows(path: Source, block: BlockSpec, *, scale: bool, strict: bool) -> BlockRows:
    source = input_of(path)
    return _laid_out(source, _described(source, block, strict), scale=scale, strict=strict)[0]


def _described(source: Input, block: BlockSpec, strict: bool) -> Block:
    """The block's parameters, kind and shape, no values; its error raised."""
    found = read_block(source, block, data=False, strict=strict)
    if found.error is not None:
        raise found.error
    return found


def _laid_out(source: Input, found: Block, *, scale: bool, strict: bool) -> tuple[BlockRows, Any]:
    """The block's rows (what every chunk is given) and what they carry besides their values (z values, labels),
    from one layout whose errors are DamagedFileErrors."""
    name = source.name
    if found.dimension != "3D":
        raise ValueError(f"{name}: {found.name} is a single spectrum: to_dask reads 3D blocks")
    if found.kind is not None and found.kind.startswith("multi-region"):
        raise ValueError(f"{name}: {found.name} is a multi-region map, whose records are read whole: use read()")
    try:
        with source.opened(whole=False) as native:
            kind, rows, values, info, damage = _native.record_layout(native, found.number)
    except Exception as error:
        damaged = content_damage(error, name, found.name)
        if damaged is None:
            raise
        raise damaged from error
    if damage and strict:
        raise DamagedFileError(f"the file ends early: {damage} fields cut off", name, found.name)
    parameters = found.parameters or {}
    grid = (int(parameters.get("NPY", 0)), int(parameters.get("NPX", 0))) if kind.startswith("image") else (0, 0)
    factor = scale_factor(parameters) if scale else None
    return BlockRows(source, found.number, kind, rows, values, grid, factor), info


def lazy_block(path: Source, block: BlockSpec = None, *, chunks: Chunks = None, scale: bool = True,
               strict: bool = True) -> tuple[DataReturn, Any]:
    """The result `read` gives, with a lazy Dask array in place of its values and everything else read: axes, map
    coordinates, z values, labels and parameters; and the block's record info (`Block.record_info`). Single spectra
    and multi-region maps are read whole.

    The record info of a series or of traces is read at once, as the layout reads each record's z value or label
    anyway; that of an image map is lazy too, chunk by chunk along with the values, since it takes a small read
    from every record of a map that may be far bigger than memory."""
    lazy, described = lazy_values(path, block, scale=scale, strict=strict)
    if lazy is None:
        return cast(tuple[DataReturn, Optional[dict[str, Any]]], described)
    return result_with(described, _array(lazy, chunks)), _record_info(lazy, chunks)


def lazy_values(path: Source, block: BlockSpec = None, *, scale: bool = True,
                strict: bool = True) -> tuple[Optional[BlockRows], Any]:
    """A 3D block's rows to read on demand and what `lazy_block` builds around them (see `result_with`); for
    single spectra and multi-region maps, None and the result read whole with its record info."""
    source = input_of(path)
    found = _described(source, block, strict)
    if found.kind is None or found.kind.startswith("multi-region") or found.dimension != "3D":
        whole = read_block(source, f"#{found.number}", strict=strict, scale=scale)
        if whole.error is not None:
            raise whole.error
        assert whole.result is not None
        return None, (whole.result, whole.record_info)
    lazy, info = _laid_out(source, found, scale=scale, strict=strict)
    return lazy, (found, info)


def result_with(described: Any, values: Any) -> DataReturn:
    """The result of a 3D block described by `lazy_values`, with `values` (any array-like) as its values."""
    found, info = described
    parameters: dict[str, Any] = dict(found.parameters or {})
    kind, dimension, derivative = found.parts
    texts = dict(dimension=dimension, dataType=kind, deriv="NDER" if derivative == "3DER" else derivative,
                 parameters=parameters, minY=parameters["MNY"], maxY=parameters["MXY"],
                 x=np.linspace(parameters["FXV"], parameters["LXV"], parameters["NPT"]))
    result: Union[DataReturn, None] = None
    if found.kind in ("image map", "image map (traces)"):
        grid = {"mapX": _map_axis(parameters, "AOX", "DDX", "NPX"), "mapY": _map_axis(parameters, "AOY", "DDY", "NPY")}
        result = (lumira.ImageDataReturn(spectra=values, **grid, **texts) if found.kind == "image map"
                  else lumira.ImageTRCDataReturn(labels=info, traces=values, **grid, **texts))
    elif found.kind == "series":
        result = lumira.TimeResolvedDataReturn(z=info, spectra=values, **texts)
    elif found.kind == "series (traces)":
        result = lumira.TimeResolvedTRCDataReturn(labels=info, traces=values, **texts)
    assert result is not None
    return result


def _record_info(lazy: BlockRows, chunks: Chunks) -> Any:
    """The block's record info: read at once, or for an image map as a Dask array chunked as its values are."""
    if lazy.kind != "image map":
        return native_info(lazy.source, lazy.number, 0, lazy.rows)
    import dask

    da = _dask_array()
    rows, columns = lazy.grid
    empty = native_info(lazy.source, lazy.number, 0, 0)
    if empty is None:
        return None
    starts = np.cumsum((0,) + normalized_chunks(lazy, chunks)[0]).tolist()  # the values' chunks of grid rows
    pieces = [da.from_delayed(dask.delayed(map_info, pure=True)(lazy.source, lazy.number, first, stop, columns),
                              shape=(stop - first, columns), dtype=empty.dtype)
              for first, stop in zip(starts[:-1], starts[1:])]
    return da.concatenate(pieces) if pieces else empty.reshape(0, columns)


def map_info(source: Input, number: int, first: int, stop: int, columns: int) -> Any:
    """Record info of grid rows first to stop of an image map, as (rows, columns)."""
    info = native_info(source, number, first * columns, stop * columns)
    if info is None:  # the file changed since its layout was read
        raise DamagedFileError("its record info cannot be read", source.name)
    return info.reshape(stop - first, columns)


def native_info(source: Input, number: int, start: int, stop: int) -> Any:
    try:
        with source.opened(whole=False) as native:
            info: Any = _native.read_record_info(native, number, start, stop)
            return info
    except Exception as error:
        damaged = content_damage(error, source.name)
        if damaged is None:
            raise
        raise damaged from error


def _map_axis(parameters: dict[str, Any], origin: str, step: str, count: str) -> Any:
    # The reader's own arithmetic: linspace(AO, AO + DD * (NP - 1), NP).
    return np.linspace(parameters[origin], parameters[origin] + parameters[step] * (parameters[count] - 1),
                       parameters[count])
