"""Writing results to CSV (spectra, image maps and series), NPZ (every kind), NetCDF (through xarray) and
JCAMP-DX (single spectra), and stacks of many files (`stack`) to CSV, NetCDF and Parquet.

Every CSV number is the shortest text that reads back as the same value (float64 axes and coordinates, float32
values), so a table read back holds what was written.
"""

from __future__ import annotations

import contextlib
import csv
import importlib
import json
import os
import stat
import tempfile
import threading
from typing import Any, Callable, Iterable, Iterator, Literal, Optional, Sequence, Union

import numpy as np

import lumira

from . import _jcamp
from ._extras import need
from ._axes import spectral_axis
from ._failures import failures
from ._parameters import Parameters, flat_parameters
from ._read import kind_of
from ._types import Block
from ._xarray import to_xarray

FORMATS = (".csv", ".npz", ".nc", ".jdx", ".dx")
JCAMP_FORMATS = (".jdx", ".dx")
STACK_FORMATS = (".csv", ".nc", ".parquet")


class ExportError(ValueError):
    """The result cannot be written in the asked format."""


def export(result: Union[lumira.BaseDataReturn, Block], path: str | os.PathLike[str]) -> str:
    """Writes `result` (a result, or a Block of `read_file`) in the format its suffix names (.csv, .npz, .nc, .jdx
    or .dx); returns the format's suffix. The parameters NPZ and NetCDF keep are a Block's from its groups (see
    `flat_parameters`), a bare result's as getOpusData merged them.

    The file appears only once it is complete: a failure leaves no file behind and an existing one untouched.
    """
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    data = _result(result)
    writers: dict[str, Callable[[str], None]] = {
        ".csv": lambda target: write_csv(data, target),
        ".npz": lambda target: write_npz(data, target, _parameters(result)),
        ".nc": lambda target: write_netcdf(result, target)}
    if suffix in JCAMP_FORMATS:
        write_jcamp(result, path)
        return suffix
    if suffix not in writers:
        raise ExportError(f"cannot export to {suffix or 'a file without suffix'!r}: use one of {', '.join(FORMATS)}")
    if suffix == ".csv":
        check_csv(data)
    with atomic_path(path) as temporary:
        writers[suffix](temporary)
    return suffix


def _result(source: Union[lumira.BaseDataReturn, Block]) -> lumira.BaseDataReturn:
    """The result a Block holds (its error raised), or the result given."""
    if not isinstance(source, Block):
        return source
    if source.error is not None:
        raise source.error
    if source.result is None:
        raise ExportError(f"{source.name} was read without its values (data=False)")
    return source.result


def _parameters(source: Union[lumira.BaseDataReturn, Block]) -> Parameters:
    return flat_parameters(source) if isinstance(source, Block) else dict(source.parameters)


def write_jcamp(result: Union[lumira.BaseDataReturn, Block], path: str | os.PathLike[str], *,
                title: Optional[str] = None, compressed: bool = True,
                parameters: Optional[Iterable[str]] = None) -> None:
    """Writes a single spectrum (a result, or a Block of `read_file`) as a JCAMP-DX 5.01 file (.jdx or .dx;
    UTF-8, lines ending CR LF).

    `title` is the ##TITLE (default: the sample name SNM, else the block); `compressed` writes the table in
    DIFDUP form with Y-checks, otherwise as plain numbers; `parameters` are the codes kept as ##$CODE user labels
    where the block has them (default: `PARAMETERS`; a Block's values from its groups, see `flat_parameters`).
    The x axis is in the file's unit; 3D blocks, spectra with NaN or infinite values and unevenly spaced axes
    raise ExportError. The file appears only when complete.
    """
    _write_jcamp(path, _jcamp.spectrum_lines(_result(result), title=title, compressed=compressed,
                                             parameters=_jcamp.parameters_of(parameters),
                                             values=_parameters(result)))


def write_jcamp_blocks(spectra: Iterable[tuple[str, Union[lumira.BaseDataReturn, Block]]],
                       path: str | os.PathLike[str], *, title: Optional[str] = None, compressed: bool = True,
                       parameters: Optional[Iterable[str]] = None) -> None:
    """Writes single spectra as the blocks of one compound JCAMP-DX file (##DATA TYPE=LINK, ##BLOCKS), one block
    per (title, spectrum) pair in order, each on its own x axis. `title` is the compound's (default: the file's
    name without suffix); the rest as `write_jcamp`."""
    name = title if title is not None else os.path.splitext(os.path.basename(os.fspath(path)))[0]
    blocks = [(block_title, _result(spectrum), _parameters(spectrum)) for block_title, spectrum in spectra]
    _write_jcamp(path, _jcamp.compound_lines(blocks, title=name, compressed=compressed,
                                             parameters=_jcamp.parameters_of(parameters)))


PARAMETERS: Sequence[str] = _jcamp.PARAMETERS


def _write_jcamp(path: str | os.PathLike[str], lines: Iterator[str]) -> None:
    """Writes the lines; what JCAMP-DX cannot hold is found before the first line, and leaves no file behind."""
    try:
        with atomic_path(path) as temporary:
            _jcamp.write(temporary, lines)
    except _jcamp.JcampError as error:
        raise ExportError(str(error)) from error


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


TABLE_KINDS = (lumira.SingleDataReturn, lumira.ImageDataReturn, lumira.ImageTRCDataReturn,
               lumira.TimeResolvedDataReturn, lumira.TimeResolvedTRCDataReturn)


def check_csv(result: lumira.BaseDataReturn) -> None:
    if not isinstance(result, TABLE_KINDS):
        raise ExportError(f"CSV holds spectra, image maps and series (this block: {kind_of(result)}); export it "
                          "to .npz or .nc")


def write_csv(result: lumira.BaseDataReturn, path: str) -> None:
    """A single spectrum as two columns, the axis and the values, under a header naming them. An image map or a
    series as one row per map point (x, y; row by row) or record (z), or per trace of a trace series, then one
    column per x value (or trace, for trace maps), under a header row of the x values (or trace labels)."""
    check_csv(result)
    if isinstance(result, lumira.SingleDataReturn):
        x, y = np.asarray(result.x, np.float64), np.asarray(result.y, np.float32)
        if x.size != y.size:
            raise ExportError(f"the spectrum has {y.size} values for {x.size} axis points")
        axis = spectral_axis(result)
        head = f"{axis.name} ({axis.unit})" if axis.unit else axis.name
        with open(path, "w", encoding="utf-8", newline="") as out:
            out.write(f"{head},{result.dataType}\n")
            out.writelines(f"{a!r},{b}\n" for a, b in zip(x.tolist(), map(str, y)))
        return
    coordinates, columns, rows = _table_of(result)
    _write_table(path, coordinates, columns, rows)


def _table_of(result: lumira.BaseDataReturn) -> tuple[list[str], list[str], Iterable[tuple[list[str], Any]]]:
    """The names of the row coordinates, the column headers, and (coordinates, float32 values) per row."""
    x_columns = [repr(value) for value in np.asarray(result.x, np.float64).tolist()]
    if isinstance(result, (lumira.ImageDataReturn, lumira.ImageTRCDataReturn)):
        values = np.asarray(result.spectra if isinstance(result, lumira.ImageDataReturn) else result.traces,
                            np.float32)
        map_x, map_y = np.asarray(result.mapX, np.float64).tolist(), np.asarray(result.mapY, np.float64).tolist()
        if values.shape[:2] != (len(map_y), len(map_x)):
            raise ExportError(f"the map holds {values.shape[0]} x {values.shape[1]} points on a grid of "
                              f"{len(map_y)} x {len(map_x)}")
        columns = x_columns if isinstance(result, lumira.ImageDataReturn) else _trace_headers(result.labels,
                                                                                              values.shape[2])
        return ["x", "y"], columns, (([repr(mx), repr(my)], values[row, column])
                                     for row, my in enumerate(map_y) for column, mx in enumerate(map_x))
    if isinstance(result, lumira.TimeResolvedDataReturn):
        z = np.asarray(result.z, np.float64).tolist()
        spectra = np.asarray(result.spectra, np.float32)
        return ["z"], x_columns, (([repr(value)], spectra[k]) for k, value in enumerate(z))
    assert isinstance(result, lumira.TimeResolvedTRCDataReturn)
    traces = np.asarray(result.traces, np.float32)
    labels = _trace_headers(result.labels, traces.shape[0])
    return ["trace"], x_columns, (([label], traces[k]) for k, label in enumerate(labels))


def _trace_headers(labels: list[str], count: int) -> list[str]:
    # A block whose info records are too short for labels has none: number the traces instead.
    return list(labels) if len(labels) == count else [str(k) for k in range(count)]


def _write_table(path: str, coordinates: list[str], columns: list[str],
                 rows: Iterable[tuple[list[str], Any]]) -> None:
    with open(path, "w", encoding="utf-8", newline="") as out:
        table = csv.writer(out, lineterminator="\n")
        table.writerow(coordinates + columns)
        for cells, values in rows:
            # str of a float32 is the shortest text that reads back as the same float32 ("nan" for NaN).
            table.writerow(cells + [str(value) for value in values])


def arrays_of(result: lumira.BaseDataReturn, parameters: Optional[Parameters] = None) -> dict[str, Any]:
    """The result as named NumPy arrays (no objects, so NPZ loads without pickle), with `parameters` (else the
    result's own) as JSON text."""
    arrays: dict[str, Any] = {
        "kind": np.array(kind_of(result)),
        "dimension": np.array(result.dimension), "dataType": np.array(result.dataType),
        "derivative": np.array(result.derivative),
        "parameters": np.array(json.dumps(result.parameters if parameters is None else parameters,
                                          ensure_ascii=False)),
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


def write_npz(result: lumira.BaseDataReturn, path: str, parameters: Optional[Parameters] = None) -> None:
    np.savez_compressed(path, **arrays_of(result, parameters))


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


def write_netcdf(result: Union[lumira.BaseDataReturn, Block], path: str) -> None:
    engine = netcdf_engine()
    to_xarray(result).to_netcdf(path, engine=engine)


# --- stacks of many files ---------------------------------------------------------------------------------


def export_stack(dataset: Any, path: str | os.PathLike[str]) -> str:
    """Writes a `stack` Dataset in the format its suffix names (.csv, .nc, .parquet); returns the suffix.

    CSV and Parquet hold the same table: one row per file, its `path`, `time` (ISO 8601 in UTC, empty where
    unknown) and `SNM` (where the stack has it) first, then one column per x value, headed by the value.
    NetCDF holds the Dataset as it is (its failed files as JSON text in the attribute `failed`); Parquet names
    the block, axis and failed files in its schema metadata `lumira`.
    The file appears only once it is complete.
    """
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    writers: dict[str, Callable[[Any, str], None]] = {
        ".csv": _stack_csv, ".nc": _stack_netcdf, ".parquet": _stack_parquet}
    if suffix not in writers:
        raise ExportError(f"cannot export a stack to {suffix or 'a file without suffix'!r}: use one of "
                          f"{', '.join(STACK_FORMATS)}")
    if suffix == ".parquet":
        parquet_module()  # said before anything is read or written
    with atomic_path(path) as temporary:
        writers[suffix](dataset, temporary)
    return suffix


def _stack_parts(dataset: Any) -> tuple[str, Any, Any, dict[str, list[str]]]:
    """The variable's name, its float32 values, the axis, and the texts of the coordinates along `file`."""
    name = str(dataset.attrs["dataType"])
    values = dataset[name]
    axis = np.asarray(values[values.dims[1]].values, np.float64)
    times = np.datetime_as_string(np.asarray(dataset["time"].values, "datetime64[us]"), unit="us")
    texts = {"path": [str(p) for p in dataset["path"].values.tolist()],
             "time": ["" if "NaT" in text else text + "+00:00" for text in times.tolist()]}
    if "SNM" in dataset.coords:
        texts["SNM"] = [str(n) for n in dataset["SNM"].values.tolist()]
    return name, np.asarray(values.values, np.float32), axis, texts


def _stack_csv(dataset: Any, path: str) -> None:
    _, values, axis, texts = _stack_parts(dataset)
    coordinates = list(texts)
    rows = ((list(cells), row) for cells, row in zip(zip(*texts.values()), values))
    _write_table(path, coordinates, [repr(x) for x in axis.tolist()], rows)


def _stack_netcdf(dataset: Any, path: str) -> None:
    written = dataset.copy()
    written.attrs = {**dataset.attrs, "failed": failures(dataset).to_json()}
    written.to_netcdf(path, engine=netcdf_engine())


def parquet_module() -> Any:
    need("pyarrow.parquet", "Parquet export needs pyarrow: pip install 'lumira[parquet]'")
    return need("pyarrow", "Parquet export needs pyarrow: pip install 'lumira[parquet]'")


def _stack_parquet(dataset: Any, path: str) -> None:
    pa = parquet_module()
    name, values, axis, texts = _stack_parts(dataset)
    columns: dict[str, Any] = {"path": pa.array(texts["path"], pa.string()),
                               "time": pa.array(np.asarray(dataset["time"].values, "datetime64[us]"),
                                                pa.timestamp("us", tz="UTC"))}
    if "SNM" in texts:
        columns["SNM"] = pa.array(texts["SNM"], pa.string())
    for index, x in enumerate(axis.tolist()):
        columns[repr(x)] = pa.array(values[:, index], pa.float32())
    about = {"dataType": name, "block": dataset.attrs.get("block", ""), "x_axis": dataset[name].dims[1],
             "failed": failures(dataset)}
    table = pa.table(columns).replace_schema_metadata({"lumira": json.dumps(about, ensure_ascii=False)})
    # Statistics and dictionaries per value column would cost more than the column's own values.
    labels = [name for name in ("path", "SNM") if name in columns]
    pa.parquet.write_table(table, path, write_statistics=labels + ["time"], use_dictionary=labels)
