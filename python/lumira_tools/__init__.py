"""Tools around the `lumira` reader: the `lumira` command, xarray, many files at once, plots and export.

The extension module `lumira` itself is left as it is; everything here is built on it and on `_native`, a second
extension module of the same distribution with the same readers, which reads whole files and batches of them::

    One file:
        read(path, block=None)       one block ('AB/2D/NONE', 'ab', '#3', or the final spectrum) as getOpusData reads it
        read_spectrum, read_file     a single spectrum typed as such; every block of a file (an OpusFile of Blocks)
        list_blocks, resolve         the blocks in directory order (#N), the request a read makes
        to_xarray, to_dask           labelled arrays; 3D blocks as lazy Dask arrays (chunks as dask.array takes them)
    Many files ("a path, a folder, or an iterable of them"):
        read_many                    the same block of every file, errors collected (FileRead per file)
        stack, metadata, failures    spectra as one xarray Dataset, parameters as a pandas DataFrame, what was left out

Submodules: `export` (CSV, NPZ, NetCDF, JCAMP-DX, tables), `plot` (matplotlib figures), `scan` (a folder read).
The command `lumira` (ls, show, plot, export, scan, docs) runs `lumira_tools.cli`; `lumira COMMAND --help` says more.

Errors name their file: NotOpusFileError, DamagedFileError, NoSuchBlockError, NotASpectrumError (with `path` and
`reason`) and BlockSpecError, all ValueErrors. Times are UTC: aware datetimes in Python objects, datetime64 without
a zone in arrays, ISO 8601 with +00:00 in texts.

The guide comes with the package: `lumira docs` (or `python -m lumira_tools docs`) lists its pages, and
`lumira docs TOPIC` prints one (`lumira docs tour` to begin with).
"""

from ._axes import AxisUnitError
from ._dask import to_dask
from ._describe import ParameterDescription, describe, parameter_table
from ._display import register_with_ipython
from ._entries import OtherEntry, entry_kind
from ._failures import Failures, failures
from ._file import list_blocks, read, read_file, read_spectrum, resolve
from ._history import History, Operation, Session
from ._images import Image, Tile
from ._many import FileRead, read_many
from ._parameters import ParameterBlock, flat_parameters
from ._read import (BlockSpecError, DamagedFileError, DataReturn, NoSuchBlockError, NotASpectrumError,
                    NotOpusFileError, is_opus_file, kind_of, parse_block)
from ._reports import Column, Property, Report, Table
from ._stack import metadata, stack
from ._time import acquisition_time
from ._types import Block, Entry, OpusFile
from ._version import package_version
from ._xarray import to_xarray

__version__ = package_version()
register_with_ipython()

__all__ = [
    "AxisUnitError", "Block", "BlockSpecError", "Column", "DamagedFileError", "DataReturn", "Entry", "Failures",
    "FileRead", "History", "Image", "NoSuchBlockError", "NotASpectrumError", "NotOpusFileError", "Operation",
    "OpusFile", "OtherEntry", "ParameterBlock", "ParameterDescription", "Property", "Report", "Session", "Table",
    "Tile", "__version__", "acquisition_time", "describe", "entry_kind", "failures", "flat_parameters",
    "is_opus_file", "kind_of", "list_blocks", "metadata", "parameter_table", "parse_block", "read", "read_file",
    "read_many", "read_spectrum", "resolve", "stack", "to_dask", "to_xarray",
]
