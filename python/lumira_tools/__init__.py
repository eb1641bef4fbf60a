"""Tools around the `lumira` reader: the `lumira` command, xarray, many files at once, plots and export.

The extension module `lumira` itself is left as it is; everything here is built on its public functions.
"""

from ._many import FileRead, read_many
from ._read import (BlockSpecError, DamagedFileError, DataReturn, NotASpectrumError, NotOpusFileError, is_opus_file,
                    kind_of, list_blocks, parse_block, read, read_spectrum, resolve)
from ._version import package_version
from ._xarray import to_xarray

__version__ = package_version()

__all__ = [
    "BlockSpecError", "DamagedFileError", "DataReturn", "FileRead", "NotASpectrumError", "NotOpusFileError",
    "__version__", "is_opus_file", "kind_of", "list_blocks", "parse_block", "read", "read_many", "read_spectrum",
    "resolve", "to_xarray",
]
