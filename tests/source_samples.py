"""Files for the tests of inputs, the xarray engine and remote reads: image maps large enough that their records
outweigh their layout, and a file object that counts the bytes read from it."""

from __future__ import annotations

import importlib
import io
import pathlib
import re
import sys

import numpy as np
import pytest

from opusbuilder import DATA, DATA_PARAMS, OpusFile, data_block_3d_array, named_type, spectrum_params

INFO_SIZE = 160
ROOT = pathlib.Path(__file__).resolve().parent.parent


def image_map(rows: int, columns: int, points: int) -> bytes:
    """An AB image map of rows x columns spectra of `points` values, value (row, column, k) = row + column / 100 +
    k / 1e5, so any cell tells where it was read from."""
    grid = np.arange(rows)[:, None, None] + np.arange(columns)[None, :, None] / 100
    values = (grid + np.arange(points)[None, None, :] / 1e5).astype(np.float32).reshape(rows * columns, points)
    params = spectrum_params(points, 4000.0, 400.0, AOX=0.0, AOY=0.0, DDX=2.0, DDY=2.0, NPX=columns, NPY=rows,
                             SNM="map")
    f = OpusFile().params(named_type("AB", param=DATA_PARAMS, dimension="3D"), params)
    block = data_block_3d_array(values, info_size=INFO_SIZE)
    return f.add(named_type("AB", param=DATA, dimension="3D"), block).build()


def record_bytes(points: int) -> int:
    """What one record of such a map occupies in the file: its values and its info record."""
    return 4 * points + INFO_SIZE


class CountingFile(io.RawIOBase):
    """A seekable binary file object over bytes that counts what is read from it."""

    def __init__(self, data: bytes) -> None:
        self._data = io.BytesIO(data)
        self.read_bytes = 0

    def seekable(self) -> bool:
        return True

    def readable(self) -> bool:
        return True

    def seek(self, offset: int, whence: int = 0) -> int:
        return self._data.seek(offset, whence)

    def tell(self) -> int:
        return self._data.tell()

    def readinto(self, view) -> int:
        got = self._data.readinto(view)
        self.read_bytes += got
        return got


@pytest.fixture(scope="module")
def lumira_engine(tmp_path_factory):
    """The engine as xarray finds it: by the entry point an install of this tree declares. Where the package in
    use was installed from an older tree, the declaration is registered as installing this one would."""
    xr = pytest.importorskip("xarray")
    declared = re.search(r'\[project\.entry-points\."xarray\.backends"\]\s*lumira = "([^"]+)"',
                         (ROOT / "pyproject.toml").read_text())
    assert declared, "pyproject.toml declares the engine"
    added = None
    if "lumira" not in xr.backends.list_engines():
        added = tmp_path_factory.mktemp("entry_points")
        info = added / "lumira_engine-0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text("Metadata-Version: 2.1\nName: lumira-engine\nVersion: 0\n")
        (info / "entry_points.txt").write_text(f"[xarray.backends]\nlumira = {declared.group(1)}\n")
        sys.path.insert(0, str(added))
        importlib.invalidate_caches()
        xr.backends.plugins.list_engines.cache_clear()
    yield xr.backends.list_engines()["lumira"]
    if added is not None:
        sys.path.remove(str(added))
        xr.backends.plugins.list_engines.cache_clear()
