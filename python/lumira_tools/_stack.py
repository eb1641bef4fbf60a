"""Many single spectra as one table: `stack` (an xarray Dataset, one row per file) and `metadata` (a pandas
DataFrame of their parameters).

Files of one collection rarely share an axis: the point count and range change with the instrument's settings.
`stack` puts every spectrum on one axis by linear interpolation, leaving NaN where a file does not reach. The
values stay float32, as the files store them: interpolating two float32 values in double precision and rounding
the result back to float32 errs by less than the values' own precision, and halves what a large stack takes.
A file whose axis is the target axis is copied bit for bit.
"""

from __future__ import annotations

import math
from datetime import datetime
from typing import TYPE_CHECKING, Any, Iterable, Literal, Optional, Union, cast

import numpy as np

from ._extras import need
from ._axes import Axis, AxisUnitError, axis_of, converted, unit_axis, value_label
from ._blocks import block_index, patterns
from ._file import Block
from ._many import chosen_block, read_files
from ._read import BlockSpec, DamagedFileError, NotASpectrumError, NotOpusFileError, failed_save, parse_block
from ._sources import Source, expand

if TYPE_CHECKING:
    import pandas
    import xarray

AxisMode = Union[Literal["first", "union", "exact"], Any]
# A union grid finer than this is a damaged axis (or a mistaken one), not a spectrum: refuse rather than allocate.
LARGEST_GRID = 16_777_216


def stack(paths: Union[Source, Iterable[Source]], block: BlockSpec = None, *, axis: AxisMode = "first",
          scale: bool = True, workers: Optional[int] = None, progress: bool = False,
          errors: Literal["collect", "raise"] = "collect", x: Optional[str] = None) -> "xarray.Dataset":
    """The single spectra of many files as one Dataset: dimensions (`file`, spectral axis), the values named
    after the data type ('AB'), and along `file` the coordinates `path`, `time` (UTC; NaT where DAT and TIM do
    not tell it) and `SNM` (where a file has a sample name).

    `paths` is a file (a path, a URL, contents as bytes or a file object), a folder or URL prefix (the OPUS files
    under it, found by their magic, in sorted order), a zip archive (its OPUS files), or an iterable of them; a
    single path that does not exist raises FileNotFoundError.
    `block` is taken as `read` takes it, file by file. `axis`: "first" interpolates every spectrum onto the first
    file's axis, "union" onto a grid covering all files at the finest spacing found, "exact" refuses an axis that
    differs from the first file's, and an array is the axis itself; NaN where a file does not reach.

    Axes in other units than the first file's (wavenumbers beside wavelengths) are converted to its unit before
    they are lined up, or to the unit `x` names: "wavenumber" (cm-1), "wavelength" (um), "nm" or "frequency"
    (Hz); an array given as `axis` is in that unit.

    A file that cannot be read or holds no such block is skipped and listed in `attrs["failed"]` (path ->
    exception); with `errors="raise"` the first one raises. A 3D block, a different block type than the first
    file's, or an axis that no conversion makes one of the table's (points or times beside wavenumbers, a Raman
    shift asked as wavelengths), is the caller's mistake and raises whatever `errors` says. The files are read in
    native batches, one for the paths and one per folder (`workers` threads; `progress` shows a bar).
    """
    xr = _xarray()  # before any file is read
    named = unit_axis(x) if x is not None else None
    if errors not in ("collect", "raise"):
        raise ValueError(f"errors is 'collect' or 'raise', not {errors!r}")
    target = None if isinstance(axis, str) else _given_axis(axis)
    if isinstance(axis, str) and axis not in ("first", "union", "exact"):
        raise ValueError(f"axis is 'first', 'union', 'exact' or an array, not {axis!r}")
    spectra, failed = _single_blocks(paths, block, data=True, scale=scale, workers=workers, progress=progress,
                                     errors=errors)
    if not spectra:
        raise ValueError(_nothing_read(failed))
    _check_alike(spectra)
    unit, axes = _axes_in_one_unit(spectra, named)
    groups = _by_axis(spectra, axes, failed, errors)
    if not groups:
        raise ValueError(_nothing_read(failed))
    if target is None:
        target = _target_axis(str(axis), groups, spectra)
    values = np.empty((len(spectra), target.size), np.float32)
    kept = np.zeros(len(spectra), bool)
    for x, rows in groups:
        problem = _place(values, rows, x, [_result(spectra[row][1]).y for row in rows], target)
        if problem is None:
            kept[rows] = True
        else:
            for row in rows:
                _fail(failed, spectra[row][0], ValueError(problem), errors)
    if not kept.any():
        raise ValueError(_nothing_read(failed))
    stacked = [found for found, keep in zip(spectra, kept) if keep]
    return cast("xarray.Dataset", _dataset(xr, stacked, values if kept.all() else values[kept], target, unit,
                                           failed))


def metadata(paths: Union[Source, Iterable[Source]], block: BlockSpec = None) -> "pandas.DataFrame":
    """One row per file, with its `path`, `time` (UTC; NaT where DAT and TIM do not tell it) and every parameter
    of the block as a column, read without any values (one native batch). `paths` and `block` as `stack` takes
    them; files that cannot be read or hold no such block are left out and listed in `attrs["failed"]`; a 3D
    block raises, naming the file."""
    pd = need("pandas", "metadata needs pandas: pip install 'lumira[xarray]'")
    spectra, failed = _single_blocks(paths, block, data=False, scale=True, workers=None, progress=False,
                                     errors="collect")
    rows: list[dict[str, Any]] = [{"path": path, "time": found.time, **(found.parameters or {})}
                                  for path, found in spectra]
    table = pd.DataFrame(rows, columns=None if rows else ["path", "time"])
    table["time"] = pd.to_datetime(table["time"], utc=True)
    table.attrs["failed"] = failed
    return table


# --- reading --------------------------------------------------------------------------------------------


def _single_blocks(paths: Union[Source, Iterable[Source]], block: BlockSpec, *, data: bool, scale: bool,
                   workers: Optional[int], progress: bool,
                   errors: str) -> tuple[list[tuple[str, Block]], dict[str, BaseException]]:
    """(path, block) of every file whose block was read, in order, and the failures (path -> error)."""
    select = patterns(block)  # a misspelt block is the caller's error, not every file's
    if not (isinstance(block, str) and block.strip().startswith("#")):
        parts = parse_block(block)
        if parts is not None and len(parts) > 1 and parts[1] == "3D":
            raise NotASpectrumError(f"{'/'.join(parts)} names 3D blocks (maps and series): a stack holds single "
                                    "spectra")
    else:
        block_index(block)
    failed: dict[str, BaseException] = {}
    inputs = expand(paths)
    outcomes = read_files(inputs, select, workers, data=data, strict=True, scale=scale, progress=progress)
    read = [(path, outcome, source.searched) for source, (path, outcome) in zip(inputs, outcomes)]
    spectra: list[tuple[str, Block]] = []
    for path, outcome, searched in read:
        if isinstance(outcome, NotOpusFileError) and searched and not failed_save(path, outcome):
            continue  # a folder's other files are not failures
        found = chosen_block(outcome, block)
        if isinstance(found, BaseException):
            _fail(failed, path, found, errors)
        elif found.request[1] != "2D":
            raise NotASpectrumError(f"{path}: {found.name} is a 3D block ({found.kind}), not a single spectrum: "
                                    "a stack holds single spectra")
        else:
            spectra.append((path, found))
    return spectra, failed


def _fail(failed: dict[str, BaseException], path: str, error: BaseException, errors: str) -> None:
    if errors == "raise":
        named = _named(path, error)
        if named is error:  # as it is: its own cause stays the reader's error
            raise error
        raise named from error
    failed[path] = error


def _named(path: str, error: BaseException) -> BaseException:
    """The error with the file named: an OSError or a DamagedFileError names it already; a ValueError keeps its
    class."""
    if isinstance(error, OSError) and error.filename is not None:
        return error
    if isinstance(error, DamagedFileError) and error.path is not None:
        return error
    message = f"{path}: {error}" if str(error) else f"{path}: {type(error).__name__}"
    if isinstance(error, ValueError):
        try:
            return type(error)(message)
        except TypeError:  # a class whose constructor wants more than a message
            pass
    return ValueError(f"{path}: {type(error).__name__}: {error}")


def _nothing_read(failed: dict[str, BaseException]) -> str:
    if not failed:
        return "no files to stack"
    path, error = next(iter(failed.items()))
    return f"none of the files gave a spectrum ({len(failed)} failed; the first, {path}: {error})"


def _result(found: Block) -> Any:
    assert found.result is not None, "read with its values"
    return found.result


def _check_alike(spectra: list[tuple[str, Block]]) -> None:
    """One kind of value: absorbance beside transmittance would make a table whose rows mean different things."""
    first_path, first = spectra[0]
    for path, found in spectra[1:]:
        if found.request != first.request:
            raise ValueError(f"{path}: holds {found.name} where {first_path} holds {first.name}: name the block "
                             "to stack one kind")


def _axes_in_one_unit(spectra: list[tuple[str, Block]],
                      named: Optional[Axis]) -> tuple[Axis, list[tuple[str, Any]]]:
    """The table's unit (the one named, else the first file's) and every file's axis in it, beside the unit it
    came from. Axes already in it are the files' own arrays, so a stack of one unit converts nothing."""
    unit = named or axis_of(spectra[0][1].parameters or {}, False)
    axes = []
    for path, found in spectra:
        own = axis_of(found.parameters or {}, False)
        try:
            axes.append((own.code, converted(_result(found).x, own, unit, found.request[0])))
        except AxisUnitError as error:
            raise AxisUnitError(f"{path}: {error}") from error
    return unit, axes


# --- axes -----------------------------------------------------------------------------------------------


def _given_axis(axis: Any) -> Any:
    target = np.array(axis, dtype=np.float64)
    if target.ndim != 1 or target.size == 0 or not np.isfinite(target).all():
        raise ValueError("an axis given as values is one-dimensional, finite and not empty")
    return target


AxisGroups = list[tuple[Any, list[int]]]


def _by_axis(spectra: list[tuple[str, Block]], axes: list[tuple[str, Any]], failed: dict[str, BaseException],
             errors: str) -> AxisGroups:
    """The files' axes, each with the rows (in order) of the files on it, so that each axis is checked and
    interpolated from once. An axis is linspace(FXV, LXV, NPT), converted from its unit: its unit, ends and
    length tell it."""
    groups: dict[tuple[str, int, float, float], tuple[Any, list[int]]] = {}
    for row, ((path, _), (code, x)) in enumerate(zip(spectra, axes)):
        if x.size == 0:
            _fail(failed, path, ValueError("the spectrum has no points"), errors)
            continue
        if not (math.isfinite(x[0]) and math.isfinite(x[-1])):
            _fail(failed, path, ValueError(f"its x axis is not finite ({x[0]} .. {x[-1]})"), errors)
            continue
        groups.setdefault((code, x.size, float(x[0]), float(x[-1])), (x, []))[1].append(row)
    return list(groups.values())


def _target_axis(mode: str, groups: AxisGroups, spectra: list[tuple[str, Block]]) -> Any:
    first = groups[0][0]
    if mode == "first":
        return first
    if mode == "exact":
        differing = [rows[0] for x, rows in groups[1:] if not np.array_equal(x, first)]
        if differing:
            row = min(differing)
            x = next(x for x, rows in groups if row in rows)
            raise ValueError(f"{spectra[row][0]}: its x axis ({_describe(x)}) differs from "
                             f"{spectra[groups[0][1][0]][0]}'s ({_describe(first)})")
        return first
    return _union(groups, spectra)


def _describe(x: Any) -> str:
    return f"{x.size} points, {x[0]:g} .. {x[-1]:g}"


def _union(groups: AxisGroups, spectra: list[tuple[str, Block]]) -> Any:
    """A grid from the lowest to the highest x of all files at the finest spacing among them, running the way
    the first file's axis runs."""
    low = min(float(x.min()) for x, _ in groups)
    high = max(float(x.max()) for x, _ in groups)
    first = groups[0][0]
    if high == low:
        return np.array([low])
    steps = [(abs(float(x[-1]) - float(x[0])) / (x.size - 1), rows[0]) for x, rows in groups if x.size > 1]
    steps = [(step, row) for step, row in steps if step > 0]
    if not steps:  # single points only: the grid is the points themselves
        points = np.unique(np.concatenate([x for x, _ in groups]))
        return points[::-1] if first[0] > first[-1] else points
    step, finest = min(steps)
    # A span that is a whole number of steps up to rounding gives that number, not one more.
    count = math.ceil((high - low) / step - 1e-6) + 1
    if count > LARGEST_GRID:
        raise ValueError(f"a grid from {low:g} to {high:g} at the spacing of {spectra[finest][0]} ({step:g}) "
                         f"would take {count:,} points: give the axis as values")
    return np.linspace(high, low, count) if first[0] > first[-1] else np.linspace(low, high, count)


# Rows interpolated at once: bounds the float64 temporaries to a few tens of MB.
ROWS_AT_ONCE = 1024


def _place(values: Any, rows: list[int], x: Any, ys: list[Any], target: Any) -> Optional[str]:
    """Writes the spectra of one axis onto the target axis into `values[rows]` (NaN outside the axis's range);
    what stops it, or None."""
    for y in ys:
        if y.size != x.size:
            return f"the spectrum has {y.size} values for {x.size} axis points"
    if x.size == target.size and np.array_equal(x, target):
        values[rows] = ys
        return None
    if x[0] > x[-1]:  # interpolation wants the axis rising
        x, ys = x[::-1], [y[::-1] for y in ys]
    if x.size > 1 and not (np.diff(x) > 0).all():
        return f"its x axis repeats points ({_describe(x)}), so it cannot be interpolated"
    inside = (target >= x[0]) & (target <= x[-1])
    if x.size == 1:
        for row, y in zip(rows, ys):
            values[row] = np.where(inside, y[0], np.nan)
        return None
    # Each target point lies between x[left] and x[left + 1], at the fraction `share` of the way.
    left = np.clip(np.searchsorted(x, target, side="right") - 1, 0, x.size - 2)
    share = (target - x[left]) / (x[left + 1] - x[left])
    for start in range(0, len(rows), ROWS_AT_ONCE):
        block = np.asarray(ys[start:start + ROWS_AT_ONCE], np.float64)
        between = block[:, left] * (1 - share) + block[:, left + 1] * share
        between[:, ~inside] = np.nan
        values[rows[start:start + ROWS_AT_ONCE]] = between
    return None


# --- the dataset ----------------------------------------------------------------------------------------


def _xarray() -> Any:
    return need("xarray", "stack needs xarray: pip install 'lumira[xarray]'")


def _dataset(xr: Any, kept: list[tuple[str, Block]], values: Any, target: Any, axis: Axis,
             failed: dict[str, BaseException]) -> Any:
    first = _result(kept[0][1])
    spectral = xr.Variable(axis.name, target, attrs={"units": axis.unit, "long_name": axis.label})
    coords: dict[str, Any] = {
        "path": ("file", np.array([path for path, _ in kept], dtype=str)),
        "time": xr.Variable("file", np.array([_utc_instant(found.time) for _, found in kept], "datetime64[ns]"),
                            attrs={"long_name": "Acquisition time (UTC)"}),
    }
    names = [(found.parameters or {}).get("SNM") for _, found in kept]
    if any(isinstance(name, str) for name in names):
        coords["SNM"] = ("file", np.array([name if isinstance(name, str) else "" for name in names], dtype=str))
    coords[axis.name] = spectral
    array = xr.DataArray(values, dims=["file", axis.name], coords=coords, name=first.dataType,
                         attrs={"long_name": value_label(first)})
    block = kept[0][1]
    return xr.Dataset({first.dataType: array}, attrs={"block": block.name, "dataType": first.dataType,
                                                       "derivative": first.derivative, "failed": failed})


def _utc_instant(moment: Optional[datetime]) -> Any:
    # NumPy's datetimes carry no zone: the instant as UTC wall time.
    return np.datetime64("NaT", "ns") if moment is None else np.datetime64(moment.replace(tzinfo=None), "ns")
