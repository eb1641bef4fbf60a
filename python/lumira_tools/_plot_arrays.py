"""Pictures of the xarray objects that `to_xarray` and `stack` give, drawn from their dimensions and coordinates:
a spectrum, a stack's rows on one axis, a series' heat map, a map's integrated image beside its mean spectrum."""

from __future__ import annotations

import os
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any, Optional, cast

import numpy as np

from ._axes import Axis
from .plot import (MAX_PANELS, Limits, _band_text, _figure_class, _grid_map, _mark, _spectral, band_integral,
                   draw_curves, integrated)

if TYPE_CHECKING:
    from matplotlib.figure import Figure


def _values_of(data: Any) -> Any:
    """The DataArray to draw: itself, or a Dataset's values (a stack's, named by its data type; the one data
    variable; a multi-region map's spectra)."""
    if not hasattr(data, "data_vars"):
        return data
    names = list(data.data_vars)
    for name in (data.attrs.get("dataType"), "spectra", "traces"):
        if name in names:
            return data[name]
    if len(names) == 1:
        return data[names[0]]
    raise ValueError(f"which of the Dataset's variables to draw is not clear: {', '.join(map(str, names))}")


def _axis(array: Any, dimension: str) -> tuple[Axis, Any]:
    coordinate = array[dimension] if dimension in array.coords else None
    values = np.asarray(coordinate.values, np.float64) if coordinate is not None else np.arange(array.sizes[dimension],
                                                                                               dtype=np.float64)
    attrs = coordinate.attrs if coordinate is not None else {}
    label = str(attrs.get("long_name", dimension.replace("_", " ").capitalize()))
    return Axis(dimension, str(attrs.get("units", "")), label, "WN" if dimension == "wavenumber" else ""), values


def _title(array: Any, title: Optional[str]) -> str:
    if title is not None:
        return title
    attrs = array.attrs
    name = attrs.get("SNM")
    parts = [attrs.get(key) for key in ("dataType", "dimension", "derivative")]
    what = attrs.get("block") or ("/".join(map(str, parts)) if all(parts) else str(array.name or ""))
    return f"{name} - {what}" if isinstance(name, str) and name else what


def array_figure(data: Any, title: Optional[str] = None, *, xlim: Limits = None, ylim: Limits = None,
                 band: Limits = None) -> "Figure":
    array = _values_of(data)
    if array.ndim not in (1, 2, 3):
        raise ValueError(f"a DataArray of {array.ndim} dimensions is not a spectrum, a stack, a series or a map")
    spectral = array.dims[-1]
    axis, xs = _axis(array, spectral)
    ylabel = str(array.attrs.get("long_name", array.name or "value"))
    values = np.asarray(array.values, np.float64)
    fig: Any = _figure_class()(figsize=(8, 4.5) if array.ndim == 1 else (11, 4.5), layout="constrained")
    heading = _title(array, title)
    if array.ndim == 1:
        ax = fig.add_subplot()
        ax.plot(xs, values, linewidth=1.0, color="tab:blue")
        _mark(ax, band)
        _spectral(ax, axis, xs, ylabel, (xlim, ylim))
    elif array.dims[0] == "file":
        ax = fig.add_subplot()
        draw_curves(fig, ax, [(xs, row) for row in values], _row_labels(array), _row_times(array))
        _mark(ax, band)
        _spectral(ax, axis, xs, ylabel, (xlim, ylim))
        if title is None:
            heading = f"{data.attrs.get('block', array.name)} - {array.sizes['file']} files"
    elif array.ndim == 2:  # records of a series, traces, points of a multi-region map
        rows, course = fig.subplots(1, 2, width_ratios=[1.4, 1]) if band is not None else (fig.add_subplot(), None)
        row_axis, zs = _axis(array, array.dims[0])
        mesh = rows.pcolormesh(xs, zs, values, shading="nearest", cmap="viridis")
        fig.colorbar(mesh, ax=rows, label=ylabel)
        _mark(rows, band, lines=True)
        _spectral(rows, axis, xs, row_axis.title(), (xlim, ylim))
        if course is not None:
            course.plot(zs, band_integral(values, xs, cast(tuple[float, float], band)), marker=".", linewidth=1.0)
            course.set(xlabel=row_axis.title(), ylabel=f"band {_band_text(band)}")
    else:  # an image map: (y, x, spectral)
        left, right = fig.subplots(1, 2, width_ratios=[1, 1.4])
        image = band_integral(values, xs, band) if band is not None else integrated(values, xs)
        _grid_map(fig, left, _axis(array, array.dims[1])[1], _axis(array, array.dims[0])[1], image,
                  f"band {_band_text(band)}" if band is not None else "integrated intensity")
        right.plot(xs, values.reshape(-1, xs.size).mean(axis=0) if values.size else np.zeros(xs.size),
                   linewidth=1.0, color="tab:blue")
        _mark(right, band)
        _spectral(right, axis, xs, f"mean {ylabel.lower()}", (xlim, ylim))
    fig.suptitle(heading)
    return cast("Figure", fig)


def _row_labels(array: Any) -> list[str]:
    paths = [str(path) for path in array["file"].values.tolist()] if "file" in array.coords else \
        [f"file {k}" for k in range(array.sizes["file"])]
    names = [os.path.basename(path) or path for path in paths]
    return names if len(set(names)) == len(names) else paths


def _row_times(array: Any) -> list[Optional[datetime]]:
    if "time" not in array.coords or array.sizes["file"] <= MAX_PANELS:
        return [None] * array.sizes["file"]
    moments = np.asarray(array["time"].values, "datetime64[us]")
    return [None if np.isnat(moment) else moment.astype(datetime).replace(tzinfo=timezone.utc) for moment in moments]
