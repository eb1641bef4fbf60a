"""Many single spectra as one table: `stack` (an xarray Dataset, one row per file) and `metadata` (a pandas
DataFrame of their parameters).

Files of one collection rarely share an axis: the point count and range change with the instrument's settings.
`stack` puts every spectrum on one axis by linear interpolation, leaving NaN where a file does not reach. The
values stay float32, as the files store them: interpolating two float32 values in double precision and rounding
the result back to float32 errs by less than the values' own precision, and halves what a large stack takes.
A file whose axis is the target axis is copied bit for bit.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Iterable, Literal, Optional, Union, cast

import numpy as np

from ._extras import need
from ._axes import Axis, AxisUnitError, axis_of, converted, unit_axis, value_label
from ._blocks import block_index, patterns
from ._choice import one_block
from ._columns import codes_asked, column, parameters_of, texts, utc_instants
from ._failures import Failures, summary
from ._lineup import by_axis, given_axis, place, target_axis
from ._many import chosen_block, read_expanded, read_files
from ._read import (BlockSpec, BlockSpecError, FileProblem, NotASpectrumError, NotOpusFileError, Request, error_text,
                    failed_save, parse_block)
from ._sources import Source
from ._types import Block

if TYPE_CHECKING:
    import pandas
    import xarray

AxisMode = Union[Literal["first", "union", "exact"], Any]


def stack(paths: Union[Source, Iterable[Source]], block: BlockSpec = None, *, axis: AxisMode = "first",
          scale: bool = True, workers: Optional[int] = None, progress: bool = False,
          errors: Literal["collect", "raise"] = "collect", x: Optional[str] = None,
          params: Optional[Iterable[str]] = None) -> "xarray.Dataset":
    """The single spectra of many files as one Dataset: dimensions (`file`, spectral axis), the values named
    after the data type ('AB'), and along `file` (indexed by path: `ds.sel(file=path)`) the coordinates `path`,
    `time` (UTC; NaT where DAT and TIM do not tell it), `SNM` (where a file has a sample name) and the parameters
    `params` names (["RES", "NSS", "INS"]: NaN, or "" for texts, where a file lacks one).

    `paths` is a file (a path, a URL, contents as bytes or a file object), a folder or URL prefix (the OPUS files
    under it, found by their magic, in sorted order), a zip archive (its OPUS files), or an iterable of them; a
    single path that does not exist raises FileNotFoundError.
    `block` is taken as `read` takes it, file by file, and the stack takes the single-spectrum block most files
    offer (without a block, each file offers its final spectrum). `axis`: "first" interpolates every spectrum
    onto the first file's axis, "union" onto a grid covering all files at the finest spacing found, "exact"
    refuses an axis that differs from the first file's, and an array is the axis itself; NaN where a file does
    not reach.

    Axes in other units than the first file's (wavenumbers beside wavelengths) are converted to its unit before
    they are lined up, or to the unit `x` names: "wavenumber" (cm-1), "wavelength" (um), "nm" or "frequency"
    (Hz); an array given as `axis` is in that unit.

    A file that cannot be read, does not hold that block or offers a map or a series is left out, with a reason
    in one line, and listed in `attrs["failed"]` as JSON text of path -> reason (`failures(ds)` reads it back);
    with `errors="raise"` the first one raises. An axis that no conversion makes one of the table's (points or
    times beside wavenumbers, a Raman shift asked as wavelengths) is the caller's mistake and raises whatever
    `errors` says. The files are read in native batches, one for the paths and one per folder (`workers`
    threads; `progress` shows a bar). The Dataset writes to NetCDF and Zarr as it is.
    """
    xr = _xarray()  # before any file is read
    codes = codes_asked(params)
    if isinstance(block, (list, tuple)) and any(isinstance(part, str) and "/" in part for part in block):
        raise BlockSpecError(f"a stack takes one block, e.g. 'AB/2D/NONE', not a list of them ({list(block)!r}): "
                             "stack each block on its own")
    named = unit_axis(x) if x is not None else None
    if errors not in ("collect", "raise"):
        raise ValueError(f"errors is 'collect' or 'raise', not {errors!r}")
    target = None if isinstance(axis, str) else given_axis(axis)
    if isinstance(axis, str) and axis not in ("first", "union", "exact"):
        raise ValueError(f"axis is 'first', 'union', 'exact' or an array, not {axis!r}")
    spectra, failed = _single_blocks(paths, block, data=True, scale=scale, workers=workers, progress=progress,
                                     errors=errors)
    if not spectra:
        raise ValueError(_nothing_read(failed))
    unit, axes = _axes_in_one_unit(spectra, named)
    groups = by_axis(spectra, axes, lambda path, error: _fail(failed, path, error, errors))
    if not groups:
        raise ValueError(_nothing_read(failed))
    if target is None:
        target = target_axis(str(axis), groups, spectra)
    values = np.empty((len(spectra), target.size), np.float32)
    kept = np.zeros(len(spectra), bool)
    for x, rows in groups:
        problem = place(values, rows, x, [_result(spectra[row][1]).y for row in rows], target)
        if problem is None:
            kept[rows] = True
        else:
            for row in rows:
                _fail(failed, spectra[row][0], ValueError(problem), errors)
    if not kept.any():
        raise ValueError(_nothing_read(failed))
    stacked = [found for found, keep in zip(spectra, kept) if keep]
    return cast("xarray.Dataset", _dataset(xr, stacked, values if kept.all() else values[kept], target, unit,
                                           failed, codes))


def metadata(paths: Union[Source, Iterable[Source]], block: BlockSpec = None, *,
             params: Optional[Iterable[str]] = None) -> "pandas.DataFrame":
    """One row per file: its `path`, `time` (UTC; NaT where DAT and TIM do not tell it), the `block` the row is
    about, then the block's parameters as columns (every one, or the codes `params` names; NaN, or "" for texts,
    where a file lacks one; the settings of the block's own measurement, see `flat_parameters`), read without any values (one native batch). `paths` and `block` as `stack` takes
    them, but every file gives its own block (a map's too); the files that cannot be read or hold no such block
    are listed in `attrs["failed"]` as `stack` lists them, and when none can be read, it raises as `stack` does."""
    pd = need("pandas", "metadata needs pandas: pip install 'lumira[xarray]'")
    codes = codes_asked(params)
    found, failed = _single_blocks(paths, block, data=False, scale=True, workers=None, progress=False,
                                   errors="collect", one_kind=False)
    if not found and failed:
        raise ValueError(_nothing_read(failed).replace("gave a spectrum", "could be read"))
    parameters = [parameters_of(block) for _, block in found]
    if not codes:
        codes = list(dict.fromkeys(code for each in parameters for code in each))
    table = pd.DataFrame({"path": pd.Series([path for path, _ in found], dtype=object),
                          "time": utc_instants(block.time for _, block in found),
                          "block": pd.Series([block.name for _, block in found], dtype=object),
                          **{code: column([each.get(code) for each in parameters]) for code in codes
                             if code not in ("path", "time", "block")}})
    table.attrs["failed"] = Failures.of(failed).to_json()
    return table


# --- reading --------------------------------------------------------------------------------------------


def _single_blocks(paths: Union[Source, Iterable[Source]], block: BlockSpec, *, data: bool, scale: bool,
                   workers: Optional[int], progress: bool, errors: str,
                   one_kind: bool = True) -> tuple[list[tuple[str, Block]], dict[str, BaseException]]:
    """(path, block) of every file whose block was read, in order, and the failures (path -> error). With
    `one_kind`, single spectra of the one block most files offer (see `_choice`); else each file's block."""
    select = patterns(block)  # a misspelt block is the caller's error, not every file's
    if not (isinstance(block, str) and block.strip().startswith("#")):
        parts = parse_block(block)
        if one_kind and parts is not None and len(parts) > 1 and parts[1] == "3D":
            raise NotASpectrumError(f"{'/'.join(parts)} names 3D blocks (maps and series): a stack holds single "
                                    "spectra")
    else:
        block_index(block)
    failed: dict[str, BaseException] = {}
    def batch(sources: list[Any], wanted: Any = select) -> list[tuple[str, Any]]:
        return read_files(sources, wanted, workers, data=data, strict=True, scale=scale, progress=progress)

    expanded = read_expanded(paths, select, workers, data=data, strict=True, scale=scale, progress=progress)
    inputs = [source for source, _, _ in expanded]
    read = [(path, outcome, source.searched) for source, path, outcome in expanded]
    offers = [(path, outcome, chosen_block(outcome, block)) for path, outcome, searched in read
              # a folder's other files are not failures; its failed saves are
              if not (isinstance(outcome, NotOpusFileError) and searched and not failed_save(path, outcome))]

    def fail(path: str, error: BaseException) -> None:
        _fail(failed, path, error, errors)

    def reread(names: list[str], request: Request) -> list[tuple[str, Union[Block, BaseException]]]:
        by_name = {path: source for source, (path, _, _) in zip(inputs, read)}
        return [(path, chosen_block(outcome, request)) for path, outcome in batch([by_name[n] for n in names],
                                                                                 request)]

    if one_kind:
        return one_block(offers, block, reread, fail), failed
    kept: list[tuple[str, Block]] = []
    for path, _, found in offers:
        if isinstance(found, BaseException):
            fail(path, found)
        else:
            kept.append((path, found))
    return kept, failed


def _fail(failed: dict[str, BaseException], path: str, error: BaseException, errors: str) -> None:
    if errors == "raise":
        named = _named(path, error)
        if named is error:  # as it is: its own cause stays the reader's error
            raise error
        raise named from error
    failed[path] = error


def _named(path: str, error: BaseException) -> BaseException:
    """The error with the file named: an OSError or one of the package's errors names it already; a ValueError
    keeps its class."""
    if isinstance(error, OSError) and error.filename is not None:
        return error
    if isinstance(error, FileProblem) and error.path is not None:
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
    return (f"none of the files gave a spectrum ({len(failed)} left out: {summary(map(error_text, failed.values()))};"
            f" the first, {path}: {error_text(error)})")


def _result(found: Block) -> Any:
    assert found.result is not None, "read with its values"
    return found.result


def _axes_in_one_unit(spectra: list[tuple[str, Block]],
                      named: Optional[Axis]) -> tuple[Axis, list[tuple[str, Any]]]:
    """The table's unit (the one named, else the first file's) and every file's axis in it, beside the unit it
    came from. Axes already in it are the files' own arrays, so a stack of one unit converts nothing."""
    unit = named or axis_of(spectra[0][1].parameters or {}, False)
    axes = []
    for path, found in spectra:
        own = axis_of(found.parameters or {}, False)
        try:
            axes.append((own.code, converted(_result(found).x, own, unit, found.parts[0])))
        except AxisUnitError as error:
            raise AxisUnitError(f"{path}: {error}") from error
    return unit, axes


# --- the dataset ----------------------------------------------------------------------------------------


def _xarray() -> Any:
    return need("xarray", "stack needs xarray: pip install 'lumira[xarray]'")


def _dataset(xr: Any, kept: list[tuple[str, Block]], values: Any, target: Any, axis: Axis,
             failed: dict[str, BaseException], codes: list[str]) -> Any:
    """The Dataset, with only what NetCDF stores: numbers, texts and times as arrays and attributes."""
    first = _result(kept[0][1])
    spectral = xr.Variable(axis.name, target, attrs={"units": axis.unit, "long_name": axis.label})
    paths = texts([path for path, _ in kept])
    coords: dict[str, Any] = {
        "file": ("file", paths), "path": ("file", paths),
        "time": xr.Variable("file", utc_instants(found.time for _, found in kept),
                            attrs={"long_name": "Acquisition time (UTC)"}),
    }
    parameters = [parameters_of(found, ["SNM", *codes]) for _, found in kept]
    names = [found.get("SNM") for found in parameters]
    if any(isinstance(name, str) for name in names):
        coords["SNM"] = ("file", texts([name if isinstance(name, str) else "" for name in names]))
    for code in codes:
        if code not in coords:
            coords[code] = ("file", column([found.get(code) for found in parameters]))
    coords[axis.name] = spectral
    # Made as a Dataset at once: a DataArray turned into one has its coordinates copied deeply, texts one by one.
    array = xr.Variable(("file", axis.name), values, attrs={"long_name": value_label(first)})
    block = kept[0][1]
    return xr.Dataset({first.dataType: array}, coords=coords,
                      attrs={"block": block.name, "dataType": first.dataType, "derivative": first.derivative,
                             "failed": Failures.of(failed).to_json()})
