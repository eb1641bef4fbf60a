"""Tools around the `lumira` reader: the `lumira` command, xarray, many files at once, plots and export.

The extension module `lumira` itself is left as it is; everything here is built on its public functions.
"""

from ._file import Block, Entry, OpusFile, read_file
from ._many import FileRead, read_many
from ._read import (BlockSpecError, DamagedFileError, DataReturn, NotOpusFileError, is_opus_file, kind_of,
                    list_blocks, parse_block, read, resolve)
from ._xarray import to_xarray

__all__ = [
    "Block", "BlockSpecError", "DamagedFileError", "DataReturn", "Entry", "FileRead", "NotOpusFileError", "OpusFile",
    "is_opus_file", "kind_of", "list_blocks", "parse_block", "read", "read_file", "read_many", "resolve",
    "to_xarray",
]
