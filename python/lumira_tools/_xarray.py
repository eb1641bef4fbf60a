"""Results as labelled xarray objects."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Mapping, Optional, Union, cast

import numpy as np

import lumira

from ._extras import need
from ._axes import spectral_values, unit_axis, value_label, z_units
from ._parameters import Parameters, flat_parameters
from ._read import BlockSpec, kind_of
from ._sources import Source, input_of
from ._time import acquisition_time
from ._types import Block

if TYPE_CHECKING:
    import xarray


def _xarray() -> Any:
    return need("xarray", "to_xarray needs xarray: pip install 'lumira[xarray]'")


def attributes(result: lumira.BaseDataReturn,
               parameters: Optional[Parameters] = None) -> dict[str, Union[int, float, str]]:
    """The block's parameters (`parameters`, else the result's own), then what the result says about itself and
    what its values are (long_name), and when it was measured (`time`, where DAT and TIM tell it)."""
    attrs: dict[str, Union[int, float, str]] = dict(result.parameters if parameters is None else parameters)
    attrs.update(long_name=value_label(result), kind=kind_of(result), dimension=result.dimension,
                 dataType=result.dataType, derivative=result.derivative, minY=float(result.minY),
                 maxY=float(result.maxY))
    measured = acquisition_time(result.parameters)
    if measured is not None:
        # ISO text: NetCDF attributes hold numbers and texts, not datetimes.
        attrs["time"] = measured.isoformat()
    return attrs


def _values(values: Any) -> Any:
    """An array of values as it is when it is one (a NumPy array, or a lazy Dask array), else as a NumPy array."""
    return values if hasattr(values, "shape") and hasattr(values, "dtype") else np.asarray(values)


def _trace_names(labels: list[str], count: int) -> Any:
    # A block whose info records are too short for labels has none; number the traces instead.
    return list(labels) if len(labels) == count else np.arange(count)


def to_xarray(result: Union[lumira.BaseDataReturn, Block, Source], lazy: bool = False, *,
              block: BlockSpec = None, chunks: Any = None, scale: bool = True,
              x: Optional[str] = None) -> Union["xarray.DataArray", "xarray.Dataset"]:
    """A DataArray with named dimensions and coordinates (a Dataset for multi-region maps).

    Dimensions: the spectral axis (`wavenumber`, `wavelength`, `time`, or `x`/`spectral_x`), `y` and `x` for
    image maps, `z` for series, `trace` for trace blocks, `point` for multi-region maps. The parameters become
    attributes: a Block's (of `read_file`, and of a file read here) from its groups, the settings of its own
    measurement (see `flat_parameters`), a bare result's as getOpusData merged them. A 3D block's record info (`Block.record_info`: scans, x and y range, start and end time, ... of
    each record) becomes coordinates along its record dimensions, when given a Block of `read_file` or a path.

    `x` puts the spectral axis in another unit: "wavenumber" (cm-1), "wavelength" (um; "nm" for nanometres) or
    "frequency" (Hz), the values kept in their order; an axis of points or times, or a Raman shift, raises
    `AxisUnitError` (a ValueError).

    Given a file instead of a result (a path, a URL, contents as bytes or a file object), reads its `block` (as
    `read` does; `scale` as there); with `lazy=True` the
    values of a 3D block stay on disk as a Dask array (`to_dask`, `chunks` as it takes them) under the same
    coordinates, an image map's record info too. Multi-region maps are read whole either way.
    """
    xr = _xarray()
    if x is not None:
        unit_axis(x)  # a misspelt unit before any file is read
    info: Any = None
    parameters: Optional[Parameters] = None
    if not isinstance(result, (lumira.BaseDataReturn, Block)):
        if lazy:
            from ._dask import lazy_block
            from ._file import read_block

            source = input_of(result)  # read twice: a stream is read once
            parameters = flat_parameters(read_block(source, block, data=False))
            result, info = lazy_block(source, block, chunks=chunks, scale=scale)
        else:
            from ._file import read_block

            result = read_block(result, block, scale=scale)
    elif lazy:
        raise ValueError("lazy=True reads a file lazily: give the file's path, not a result already read")
    if isinstance(result, Block):
        if result.error is not None:
            raise result.error
        if result.result is None:
            raise ValueError(f"{result.name} was read without its values (data=False)")
        info = result.record_info
        parameters = flat_parameters(result)
        result = result.result
    axis, values = spectral_values(result, x)
    spectral = xr.Variable(axis.name, values, attrs={"units": axis.unit, "long_name": axis.label})
    attrs = attributes(result, parameters)
    built = _build(xr, result, spectral, attrs)
    return cast(Union["xarray.DataArray", "xarray.Dataset"], _with_record_info(built, result, info))


def with_record_info(result: lumira.BaseDataReturn, info: Any) -> Any:
    """`to_xarray(result)` with the block's record info (see `_with_record_info`) as coordinates along its
    records."""
    return _with_record_info(to_xarray(result), result, info)


def _record_dims(result: lumira.BaseDataReturn) -> tuple[str, ...]:
    """The dimensions a result's records lie along: a map's grid, a series' z, the traces, the points."""
    if isinstance(result, lumira.ImageDataReturn):
        return ("y", "x")
    if isinstance(result, lumira.TimeResolvedDataReturn):
        return ("z",)
    if isinstance(result, lumira.MultiRegionDataReturn):
        return ("point",)
    return ("trace",)


def _with_record_info(built: Any, result: lumira.BaseDataReturn, info: Any) -> Any:
    """The record info's fields as coordinates along the record dimensions: a structured array of them (NumPy or
    Dask), or a mapping from field name to an array of any kind."""
    if info is None:
        return built
    dims = _record_dims(result)
    shape = tuple(built.sizes[dim] for dim in dims)
    fields = info.items() if isinstance(info, Mapping) else ((name, info[name]) for name in info.dtype.names)
    return built.assign_coords({name: (dims, values) for name, values in fields if tuple(values.shape) == shape})


def _build(xr: Any, result: lumira.BaseDataReturn, spectral: Any, attrs: dict[str, Union[int, float, str]]) -> Any:
    dim = spectral.dims[0]
    name = result.dataType
    if isinstance(result, lumira.SingleDataReturn):
        y = np.asarray(result.y)
        if y.size != result.x.size:
            raise ValueError(f"the spectrum has {y.size} values for {result.x.size} axis points")
        return xr.DataArray(y, dims=[dim], coords={dim: spectral}, name=name, attrs=attrs)

    if isinstance(result, (lumira.ImageDataReturn, lumira.ImageTRCDataReturn)):
        grid = {"y": ("y", np.asarray(result.mapY)), "x": ("x", np.asarray(result.mapX))}
        if isinstance(result, lumira.ImageDataReturn):
            return xr.DataArray(result.spectra, dims=["y", "x", dim], coords={**grid, dim: spectral},
                                name=name, attrs=attrs)
        traces = _values(result.traces)
        return xr.DataArray(traces, dims=["y", "x", "trace"],
                            coords={**grid, "trace": _trace_names(result.labels, traces.shape[2])},
                            name=name, attrs=attrs)

    if isinstance(result, lumira.TimeResolvedDataReturn):
        ztx = result.parameters.get("ZTX", "z")
        units = z_units(ztx)
        z = xr.Variable("z", np.asarray(result.z), attrs={"long_name": str(ztx), **({"units": units} if units else {})})
        return xr.DataArray(result.spectra, dims=["z", dim], coords={"z": z, dim: spectral},
                            name=name, attrs=attrs)

    if isinstance(result, lumira.TimeResolvedTRCDataReturn):
        traces = _values(result.traces)
        return xr.DataArray(traces, dims=["trace", dim],
                            coords={"trace": _trace_names(result.labels, traces.shape[0]), dim: spectral},
                            name=name, attrs=attrs)

    if isinstance(result, (lumira.MultiRegionDataReturn, lumira.MultiRegionTRCDataReturn)):
        return _regions_dataset(xr, result, spectral, attrs)

    raise TypeError(f"not a lumira result: {type(result).__name__}")


def _regions_dataset(xr: Any, result: Union[lumira.MultiRegionDataReturn, lumira.MultiRegionTRCDataReturn],
                     spectral: Any, attrs: dict[str, Union[int, float, str]]) -> Any:
    """All regions' points along one `point` dimension, each point labelled with its region's title."""
    regions = result.regions
    labels = result.labels if isinstance(result, lumira.MultiRegionTRCDataReturn) else None
    width = len(labels) if labels is not None else result.x.size
    counts = [len(region.mapX) for region in regions]
    values = (np.concatenate([np.asarray(r.spectra, dtype=np.float32).reshape(n, -1) for r, n in zip(regions, counts)])
              if regions else np.zeros((0, width), np.float32))
    coords: dict[str, Any] = {
        "x": ("point", np.concatenate([np.asarray(r.mapX, np.float64) for r in regions]) if regions else np.zeros(0)),
        "y": ("point", np.concatenate([np.asarray(r.mapY, np.float64) for r in regions]) if regions else np.zeros(0)),
        "region": ("point", np.repeat(np.array([r.title for r in regions], dtype=str), counts)),
    }
    if labels is not None:
        coords["trace"] = _trace_names(labels, values.shape[1])
        variable = xr.DataArray(values, dims=["point", "trace"], coords=coords, attrs={"long_name": attrs["long_name"]})
        return xr.Dataset({"traces": variable}, coords={spectral.dims[0]: spectral}, attrs=attrs)
    coords["start_time"] = ("point", np.concatenate([np.asarray(r.start_time, np.float64) for r in regions])
                            if regions else np.zeros(0))
    coords[spectral.dims[0]] = spectral
    variable = xr.DataArray(values, dims=["point", spectral.dims[0]], coords=coords,
                            attrs={"long_name": attrs["long_name"]})
    return xr.Dataset({"spectra": variable}, attrs=attrs)
