"""Tools around the `lumira` reader: the `lumira` command, xarray, many files at once, plots and export.

The extension module `lumira` itself is left as it is; everything here is built on it and on `_native`, a second
extension module of the same distribution with the same readers, which reads whole files and batches of them.
"""

from ._axes import AxisUnitError
from ._dask import to_dask
from ._describe import ParameterDescription, describe, parameter_table
from ._display import register_with_ipython
from ._entries import OtherEntry, entry_kind
from ._failures import Failures, failures
from ._file import Block, Entry, OpusFile, list_blocks, read, read_file, read_spectrum, resolve
from ._history import History, Operation, Session
from ._images import Image, Tile
from ._many import FileRead, read_many
from ._read import (BlockSpecError, DamagedFileError, DataReturn, NoSuchBlockError, NotASpectrumError,
                    NotOpusFileError, is_opus_file, kind_of, parse_block)
from ._reports import Column, Property, Report, Table
from ._stack import metadata, stack
from ._time import acquisition_time
from ._version import package_version
from ._xarray import to_xarray

__version__ = package_version()
register_with_ipython()

__all__ = [
    "AxisUnitError", "Block", "BlockSpecError", "Column", "DamagedFileError", "DataReturn", "Entry", "Failures",
    "FileRead", "History", "Image", "NoSuchBlockError", "NotASpectrumError", "NotOpusFileError", "Operation",
    "OpusFile", "OtherEntry", "ParameterDescription", "Property", "Report", "Session", "Table", "Tile", "__version__",
    "acquisition_time", "describe", "entry_kind", "failures", "is_opus_file", "kind_of", "list_blocks", "metadata",
    "parameter_table", "parse_block", "read", "read_file", "read_many", "read_spectrum", "resolve", "stack",
    "to_dask", "to_xarray",
]
