"""Writing results to CSV (single spectra), NPZ (every kind) and NetCDF (through xarray)."""

from __future__ import annotations

import contextlib
import importlib
import json
import os
import stat
import tempfile
import threading
from typing import Any, Callable, Iterator, Literal

import numpy as np

import lumira

from ._axes import spectral_axis
from ._read import kind_of
from ._xarray import to_xarray

FORMATS = (".csv", ".npz", ".nc")


class ExportError(ValueError):
    """The result cannot be written in the asked format."""


def export(result: lumira.BaseDataReturn, path: str | os.PathLike[str]) -> str:
    """Writes `result` in the format its suffix names (.csv, .npz, .nc); returns the format's suffix.

    The file appears only once it is complete: a failure leaves no file behind and an existing one untouched.
    """
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    writers: dict[str, Callable[[lumira.BaseDataReturn, str], None]] = {
        ".csv": write_csv, ".npz": write_npz, ".nc": write_netcdf}
    if suffix not in writers:
        raise ExportError(f"cannot export to {suffix or 'a file without suffix'!r}: use one of {', '.join(FORMATS)}")
    if suffix == ".csv":
        check_csv(result)
    with atomic_path(path) as temporary:
        writers[suffix](result, temporary)
    return suffix


@contextlib.contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[str]:
    """A temporary name beside `path` (with its suffix) that replaces `path` when the block succeeds.

    The file ends with the mode it had, or, if new, the mode open() would have given it.
    """
    target = os.fspath(path)
    folder, name = os.path.split(os.path.abspath(target))
    stem, suffix = os.path.splitext(name)
    handle, temporary = tempfile.mkstemp(prefix=f".{stem}.", suffix=suffix, dir=folder)
    os.close(handle)
    try:
        yield temporary
        # mkstemp makes the file private (0600); a shared folder's readers must still be able to open it.
        os.chmod(temporary, _mode_for(target))
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def _mode_for(target: str) -> int:
    try:
        existing = os.stat(target)
    except OSError:
        return 0o666 & ~current_umask()
    return stat.S_IMODE(existing.st_mode) if stat.S_ISREG(existing.st_mode) else 0o666 & ~current_umask()


_umask_lock = threading.Lock()


def current_umask() -> int:
    """The process's umask. Linux states it in /proc; elsewhere setting and restoring it is the only way to read
    it, which other threads creating files in that instant would see, so this module's own writers take turns."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    with _umask_lock:
        mask = os.umask(0o022)
        os.umask(mask)
    return mask


def check_csv(result: lumira.BaseDataReturn) -> None:
    if not isinstance(result, lumira.SingleDataReturn):
        raise ExportError(f"CSV holds single spectra only (this block: {kind_of(result)}); export it to .npz or .nc")


def write_csv(result: lumira.BaseDataReturn, path: str) -> None:
    """Two columns, the axis and the values, with a header naming them; enough digits to read back exactly."""
    check_csv(result)
    assert isinstance(result, lumira.SingleDataReturn)
    x, y = np.asarray(result.x, np.float64), np.asarray(result.y, np.float32)
    if x.size != y.size:
        raise ExportError(f"the spectrum has {y.size} values for {x.size} axis points")
    axis = spectral_axis(result)
    head = f"{axis.name} ({axis.unit})" if axis.unit else axis.name
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.write(f"{head},{result.dataType}\n")
        # The shortest text that reads back as the same float64 / float32 value.
        out.writelines(f"{a!r},{b}\n" for a, b in zip(x.tolist(), map(str, y)))


def arrays_of(result: lumira.BaseDataReturn) -> dict[str, Any]:
    """The result as named NumPy arrays (no objects, so NPZ loads without pickle)."""
    arrays: dict[str, Any] = {
        "kind": np.array(kind_of(result)),
        "dimension": np.array(result.dimension), "dataType": np.array(result.dataType),
        "derivative": np.array(result.derivative),
        "parameters": np.array(json.dumps(result.parameters, ensure_ascii=False)),
        "x": np.asarray(result.x), "minY": np.array(result.minY), "maxY": np.array(result.maxY),
    }
    if isinstance(result, lumira.SingleDataReturn):
        arrays["y"] = np.asarray(result.y)
    elif isinstance(result, lumira.ImageDataReturn):
        arrays.update(mapX=result.mapX, mapY=result.mapY, spectra=result.spectra)
    elif isinstance(result, lumira.ImageTRCDataReturn):
        arrays.update(mapX=result.mapX, mapY=result.mapY, labels=_texts(result.labels), traces=result.traces)
    elif isinstance(result, lumira.TimeResolvedDataReturn):
        arrays.update(z=result.z, spectra=result.spectra)
    elif isinstance(result, lumira.TimeResolvedTRCDataReturn):
        arrays.update(labels=_texts(result.labels), traces=result.traces)
    elif isinstance(result, (lumira.MultiRegionDataReturn, lumira.MultiRegionTRCDataReturn)):
        if isinstance(result, lumira.MultiRegionTRCDataReturn):
            arrays["labels"] = _texts(result.labels)
        arrays["regions"] = _texts([region.title for region in result.regions])
        for index, region in enumerate(result.regions):
            for key in ("mapX", "mapY", "start_time", "spectra"):
                value = getattr(region, key)
                if value is not None:
                    arrays[f"region{index}/{key}"] = np.asarray(value)
    return {key: np.asarray(value) for key, value in arrays.items()}


def _texts(texts: list[str]) -> Any:
    return np.array(list(texts), dtype=str)


def write_npz(result: lumira.BaseDataReturn, path: str) -> None:
    np.savez_compressed(path, **arrays_of(result))


def netcdf_engine() -> Literal["netcdf4", "h5netcdf"]:
    """The first NetCDF engine installed; NetCDF-3 writers cannot hold the texts, so they do not count."""
    engines: tuple[tuple[tuple[str, ...], Literal["netcdf4", "h5netcdf"]], ...] = (
        (("netCDF4",), "netcdf4"), (("h5netcdf", "h5py"), "h5netcdf"))
    for modules, engine in engines:
        try:
            for module in modules:
                importlib.import_module(module)
        except ImportError:
            continue
        return engine
    raise ImportError("NetCDF export needs xarray with netCDF4 (or h5netcdf and h5py): pip install 'lumira[xarray]'")


def write_netcdf(result: lumira.BaseDataReturn, path: str) -> None:
    engine = netcdf_engine()
    to_xarray(result).to_netcdf(path, engine=engine)
