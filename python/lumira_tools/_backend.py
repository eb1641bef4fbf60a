"""The xarray backend engine `lumira`: `xr.open_dataset(path, engine="lumira", block=None)` gives what
`to_xarray(path, block)` gives, as a Dataset, with the values of maps and series left on disk until indexed.

xarray finds the engine through the `xarray.backends` entry point, and without being named for files that start
with the OPUS magic bytes (instrument files end in `.0`, `.1`, `.001`..., so the suffix tells nothing).
"""

from __future__ import annotations

import io
import os
from typing import Any, Iterable, Optional, Union

import numpy as np
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

import lumira

from ._dask import BlockRows, chunk_layout, lazy_values, map_info, native_info, result_with, rows_of
from ._read import BlockSpec
from ._sources import MAGIC, is_url
from ._xarray import with_record_info


class RecordArray(BackendArray):
    """A 3D block's values for xarray's lazy indexing: an index reads the records it touches and no others."""

    def __init__(self, rows: BlockRows) -> None:
        self.rows = rows
        self.shape = rows.shape
        self.dtype = np.dtype(np.float32)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self.rows.__getitem__)


class InfoArray(BackendArray):
    """One field of an image map's record info, (rows, columns) of the grid, read for the grid rows an index
    touches. The fields share their reads: the last rows read are kept for the next field."""

    def __init__(self, rows: BlockRows, name: str, dtype: Any, shared: dict[str, Any]) -> None:
        self.rows, self.name, self.shared = rows, name, shared
        self.shape = rows.grid
        self.dtype = np.dtype(dtype)

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._read)

    def _read(self, key: tuple[Any, ...]) -> Any:
        first, stop, local = rows_of(key[0], self.shape[0])
        if self.shared.get("rows") != (first, stop):
            self.shared.update(rows=(first, stop), info=map_info(self.rows.source, self.rows.number, first, stop,
                                                                 self.shape[1]))
        return self.shared["info"][self.name][(local,) + tuple(key[1:])]


def _record_info(rows: BlockRows) -> Any:
    """The record info of a 3D block: that of an image map read lazily, field by field, that of others at once
    (their layout reads each record's z value or label anyway)."""
    if rows.kind != "image map":
        return native_info(rows.source, rows.number, 0, rows.rows)
    empty = native_info(rows.source, rows.number, 0, 0)
    if empty is None:
        return None
    shared: dict[str, Any] = {}
    return {name: indexing.LazilyIndexedArray(InfoArray(rows, name, empty.dtype[name], shared))
            for name in empty.dtype.names}


class LumiraBackendEntrypoint(BackendEntrypoint):
    """OPUS spectral data files: one data block (`block`, as `lumira_tools.read` takes it) as a Dataset."""

    description = "Open OPUS spectral data files (spectra, image maps, series) with lumira"
    url = "https://pypi.org/project/lumira/"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "block", "scale", "storage_options")

    def open_dataset(self, filename_or_obj: Any, *, drop_variables: Union[str, Iterable[str], None] = None,
                     block: BlockSpec = None, scale: bool = True,
                     storage_options: Optional[dict[str, Any]] = None, **unknown: Any) -> Any:
        # Older xarray declares the engines' method with **kwargs; xarray passes only the parameters named above.
        if unknown:
            raise TypeError(f"the lumira engine takes no option {', '.join(map(repr, unknown))}")
        source = _source(filename_or_obj, storage_options)
        rows, described = lazy_values(source, block, scale=scale)
        if rows is None:
            labelled = with_record_info(*described)
        else:
            result = result_with(described, indexing.LazilyIndexedArray(RecordArray(rows)))
            labelled = with_record_info(result, _record_info(rows))
        dataset = labelled if not hasattr(labelled, "to_dataset") else labelled.to_dataset(promote_attrs=True)
        if rows is not None:
            variable = dataset[labelled.name]
            sizes = chunk_layout(rows)
            variable.encoding["preferred_chunks"] = {
                dim: (length if size == -1 else size) for dim, length, size in zip(variable.dims, variable.shape, sizes)}
        if drop_variables is not None:
            names = [drop_variables] if isinstance(drop_variables, str) else list(drop_variables)  # a name alone
            dataset = dataset.drop_vars(names, errors="ignore")
        return dataset

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        try:
            return _starts_with_magic(filename_or_obj)
        except Exception:  # anything that cannot be looked at is not for this engine
            return False


def _source(filename_or_obj: Any, storage_options: Optional[dict[str, Any]]) -> Any:
    if storage_options and isinstance(filename_or_obj, (str, os.PathLike)):
        from ._remote import fsspec_module

        return fsspec_module().open(os.fspath(filename_or_obj), **storage_options)
    return filename_or_obj


def _starts_with_magic(source: Any) -> bool:
    """Whether a local file, contents or a file object start with the magic bytes (URLs are not fetched)."""
    if isinstance(source, (bytes, bytearray, memoryview)):
        return bytes(memoryview(source).cast("B")[:4]) == MAGIC
    if isinstance(source, (str, os.PathLike)):
        path = os.fsdecode(os.fspath(source))
        if is_url(path) or not os.path.isfile(path):
            return False
        return bool(lumira.isOpusFile(path))
    if isinstance(source, io.IOBase) or hasattr(source, "read"):
        start = source.tell()
        try:
            return bytes(source.read(4)) == MAGIC
        finally:
            source.seek(start)
    return False
