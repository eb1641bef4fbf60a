"""Pictures of results with matplotlib (the `plot` extra).

Figures are built with matplotlib's object interface, never pyplot, so plotting needs no display, leaves no
global figure state behind and works from any thread.
"""

from __future__ import annotations

import math
import os
from datetime import datetime
from typing import TYPE_CHECKING, Any, Optional, Sequence, Tuple, cast

import numpy as np

import lumira

from ._extras import need
from ._axes import Axis, AxisUnitError, converted, spectral_axis, spectral_values, unit_axis, value_label
from ._read import block_text
from ._time import acquisition_time
from .export import atomic_path

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

MAX_PANELS = 12
MAX_LEGEND = 12  # more spectra than this are told apart by colour, not by a legend
Limits = Optional[Tuple[float, float]]


def _figure_class() -> Any:
    return need("matplotlib.figure", "plotting needs matplotlib: pip install 'lumira[plot]'").Figure


def integrated(values: Any, x: Any) -> Any:
    """The area under each spectrum (last axis) over the axis x, whichever way x runs."""
    values = np.asarray(values, np.float64)
    if values.shape[-1] < 2:
        return values[..., 0] if values.shape[-1] else np.zeros(values.shape[:-1])
    step = abs(float(x[-1]) - float(x[0])) / (len(x) - 1)
    return (values[..., 1:] + values[..., :-1]).sum(axis=-1) * step / 2


def figure(result: Any, title: Optional[str] = None, *, xlim: Limits = None, ylim: Limits = None,
           x: Optional[str] = None, band: Limits = None) -> "Figure":
    """The picture of a result: a spectrum; an integrated-intensity map beside the mean spectrum for maps;
    a heat map over z for series; one panel per trace for trace blocks. An xarray DataArray or Dataset, as
    `to_xarray` and `stack` give them, is drawn the same way from its coordinates (a stack's rows on one axis).

    `xlim` and `ylim` (low, high) bound the panels over the spectral axis: x is that axis (still running from
    high to low for wavenumbers), y the values (z for a series' heat map). Map panels keep their grid.
    `x` draws the spectral axis in another unit, as `to_xarray` takes it ('wavelength', 'frequency', ...).
    `band` (two x values) integrates the spectra over that band only: the image of a map, the course of a series
    over z beside its heat map, the band marked on a spectrum."""
    if type(result).__module__.split(".")[0] == "xarray":
        from ._plot_arrays import array_figure

        return array_figure(result, title, xlim=xlim, ylim=ylim, band=band)
    new_figure = _figure_class()
    limits = (xlim, ylim)
    axis, xs = spectral_values(result, x)
    ylabel = value_label(result)
    if title is None:
        sample = result.parameters.get("SNM")
        block = block_text((result.dataType, result.dimension, result.derivative))
        title = f"{sample} - {block}" if sample else block
    if band is not None and isinstance(result, TRACE_KINDS):
        raise ValueError("a band is integrated over spectra: a block of traces holds none")

    def intensity(values: Any) -> Any:
        return band_integral(values, xs, band) if band is not None else integrated(values, result.x)

    what = f"band {_band_text(band)}" if band is not None else "integrated intensity"
    if isinstance(result, lumira.SingleDataReturn):
        fig = new_figure(figsize=(8, 4.5), layout="constrained")
        ax = fig.add_subplot()
        count = min(len(xs), len(result.y))
        ax.plot(xs[:count], result.y[:count], linewidth=1.0, color="tab:blue")
        if band is not None:
            area = float(band_integral(result.y[:count], xs[:count], band))
            ax.axvspan(*band, color="tab:orange", alpha=0.15, label=f"{what}: area {area:.6g}")
            ax.legend(fontsize="small")
        _spectral(ax, axis, xs, ylabel, limits)
    elif isinstance(result, lumira.ImageDataReturn):
        fig = new_figure(figsize=(11, 4.5), layout="constrained")
        left, right = fig.subplots(1, 2, width_ratios=[1, 1.4])
        _grid_map(fig, left, result.mapX, result.mapY, intensity(result.spectra), what)
        mean = np.asarray(result.spectra, np.float64).reshape(-1, len(result.x)).mean(axis=0) \
            if result.spectra.size else np.zeros(len(result.x))
        right.plot(xs, mean, linewidth=1.0, color="tab:blue")
        _mark(right, band)
        _spectral(right, axis, xs, f"mean {ylabel.lower()}", limits)
    elif isinstance(result, lumira.ImageTRCDataReturn):
        traces = np.asarray(result.traces)
        fig, panels = _panels(new_figure, traces.shape[2])
        for k, ax in enumerate(panels):
            _grid_map(fig, ax, result.mapX, result.mapY, traces[:, :, k], _label(result.labels, k))
    elif isinstance(result, lumira.TimeResolvedDataReturn):
        fig = new_figure(figsize=(8 if band is None else 12, 5), layout="constrained")
        ax, *course = fig.subplots(1, 1 if band is None else 2, squeeze=False)[0]
        spectra = np.asarray(result.spectra, np.float64)
        if spectra.shape[0] >= 2 and spectra.shape[1] >= 2:
            mesh = ax.pcolormesh(xs, result.z, spectra, shading="nearest", cmap="viridis")
            fig.colorbar(mesh, ax=ax, label=ylabel)
        else:  # too few rows or points for a heat map: draw the spectra
            for row, z in zip(spectra, result.z):
                ax.plot(xs, row, label=f"z = {z:g}")
        _mark(ax, band, lines=True)
        zlabel = str(result.parameters.get("ZTX", "z"))
        _spectral(ax, axis, xs, zlabel, limits)
        if course:
            course[0].plot(result.z, intensity(spectra), marker=".", linewidth=1.0)
            course[0].set(xlabel=zlabel, ylabel=what)
            course[0].grid(True, linewidth=0.3, alpha=0.5)
    elif isinstance(result, lumira.TimeResolvedTRCDataReturn):
        fig = new_figure(figsize=(8, 4.5), layout="constrained")
        ax = fig.add_subplot()
        for k, trace in enumerate(np.asarray(result.traces)):
            ax.plot(xs, trace, linewidth=1.0, label=_label(result.labels, k))
        if len(result.traces):
            ax.legend(fontsize="small")
        _spectral(ax, axis, xs, ylabel, limits)
    elif isinstance(result, lumira.MultiRegionDataReturn):
        fig = new_figure(figsize=(11, 4.5), layout="constrained")
        left, right = fig.subplots(1, 2, width_ratios=[1, 1.4])
        _point_map(fig, left, result.regions, intensity, what)
        for region in result.regions:
            if len(region.spectra):
                right.plot(xs, np.asarray(region.spectra, np.float64).mean(axis=0), linewidth=1.0,
                           label=region.title)
        if result.regions:
            right.legend(fontsize="small")
        _mark(right, band)
        _spectral(right, axis, xs, f"mean {ylabel.lower()}", limits)
    elif isinstance(result, lumira.MultiRegionTRCDataReturn):
        fig, panels = _panels(new_figure, len(result.labels))
        for k, ax in enumerate(panels):
            _point_map(fig, ax, result.regions, lambda spectra, k=k: np.asarray(spectra)[:, k],
                       _label(result.labels, k))
    else:
        raise TypeError(f"not a lumira result: {type(result).__name__}")
    fig.suptitle(title)
    return cast("Figure", fig)


TRACE_KINDS = (lumira.ImageTRCDataReturn, lumira.TimeResolvedTRCDataReturn, lumira.MultiRegionTRCDataReturn)


def band_integral(values: Any, x: Any, band: tuple[float, float]) -> Any:
    """The area under each spectrum (last axis) between the two x values of `band`, over the points of x inside
    it, whichever way x runs."""
    low, high = sorted(map(float, band))
    x = np.asarray(x, np.float64)
    inside = np.flatnonzero((x >= low) & (x <= high))
    if inside.size < 2:
        raise ValueError(f"the band {_band_text(band)} holds fewer than two points of the axis "
                         f"({np.nanmin(x):g} .. {np.nanmax(x):g})" if x.size else "the axis has no points")
    inside = inside[np.argsort(x[inside])]
    values = np.asarray(values, np.float64)[..., inside]
    return ((values[..., 1:] + values[..., :-1]) * np.diff(x[inside])).sum(axis=-1) / 2


def _band_text(band: Limits) -> str:
    assert band is not None
    return " .. ".join(f"{float(edge):g}" for edge in band)


def _mark(ax: "Axes", band: Limits, lines: bool = False) -> None:
    if band is None:
        return
    if lines:  # over a heat map a shade would hide it
        for edge in band:
            ax.axvline(float(edge), color="white", linewidth=0.8, linestyle="--")
    else:
        ax.axvspan(*sorted(map(float, band)), color="tab:orange", alpha=0.15)


def overlay(spectra: Sequence[tuple[str, lumira.SingleDataReturn]], title: Optional[str] = None, *,
            xlim: Limits = None, ylim: Limits = None, x: Optional[str] = None) -> "Figure":
    """Single spectra of several files on one pair of axes, each labelled in the legend (with its file name, as
    the pairs give it, and its block where they are not all the same). Beyond a dozen spectra there is no legend:
    they are coloured by acquisition time (by order when a file does not tell its time), with a colour bar.
    Axes in other units than the first spectrum's are converted to its unit (or to the unit `x` names, as
    `to_xarray` takes it); one that cannot be (points or times beside wavenumbers) raises `AxisUnitError` naming
    its label."""
    if not spectra:
        raise ValueError("an overlay needs at least one spectrum")
    new_figure = _figure_class()
    first = spectra[0][1]
    axis = unit_axis(x) if x is not None else spectral_axis(first)
    axes = []
    for label, result in spectra:
        try:
            axes.append(converted(result.x, spectral_axis(result), axis, result.dataType))
        except AxisUnitError as error:
            raise AxisUnitError(f"{label}: {error}") from error
    labels = {value_label(result) for _, result in spectra}
    blocks = [block_text((result.dataType, result.dimension, result.derivative)) for _, result in spectra]
    named = [f"{label} ({block})" for (label, _), block in zip(spectra, blocks)] if len(set(blocks)) > 1 \
        else [label for label, _ in spectra]
    fig = new_figure(figsize=(8, 4.5), layout="constrained")
    ax = fig.add_subplot()
    curves = [(xs[:min(len(xs), len(result.y))], result.y[:min(len(xs), len(result.y))])
              for (_, result), xs in zip(spectra, axes)]
    draw_curves(fig, ax, curves, named, [acquisition_time(result.parameters) for _, result in spectra])
    every_x = np.sort(np.concatenate(axes))
    _spectral(ax, axis, every_x, labels.pop() if len(labels) == 1 else "Value", (xlim, ylim))
    count = f"{len(spectra)} file{'s' if len(spectra) != 1 else ''}"
    fig.suptitle(title if title is not None else f"{', '.join(dict.fromkeys(blocks))} - {count}")
    return cast("Figure", fig)


def draw_curves(fig: "Figure", ax: "Axes", curves: Sequence[tuple[Any, Any]], labels: Sequence[str],
                times: Sequence[Optional[datetime]]) -> None:
    """Lines labelled in a legend; beyond MAX_LEGEND of them, coloured by time (by order when a time is unknown)
    under a colour bar instead, since a legend of hundreds of names would cover the plot."""
    if len(curves) <= MAX_LEGEND:
        for (xs, ys), label in zip(curves, labels):
            ax.plot(xs, ys, linewidth=1.0, label=label)
        ax.legend(fontsize="small")
        return
    from matplotlib import colormaps, colors
    from matplotlib.cm import ScalarMappable

    dates = need("matplotlib.dates", "plotting needs matplotlib: pip install 'lumira[plot]'")  # partly typed

    known = all(moment is not None for moment in times)
    order = np.array([dates.date2num(moment) for moment in times] if known else np.arange(len(curves)), np.float64)
    scale = colors.Normalize(float(order.min()), float(order.max()) if order.max() > order.min() else
                             float(order.min()) + 1)
    palette = colormaps["viridis"]
    for (xs, ys), place in zip(curves, order):
        ax.plot(xs, ys, linewidth=0.8, color=palette(scale(place)))
    bar = fig.colorbar(ScalarMappable(scale, palette), ax=ax, label="acquisition time (UTC)" if known else
                       "file (in the order given)")
    if known:
        locator = dates.AutoDateLocator()
        bar.ax.yaxis.set_major_locator(locator)
        bar.ax.yaxis.set_major_formatter(dates.ConciseDateFormatter(locator))


def plot(result: Any, path: str | os.PathLike[str], *, title: Optional[str] = None, dpi: int = 100,
         xlim: Limits = None, ylim: Limits = None, x: Optional[str] = None, band: Limits = None) -> None:
    """Writes the picture of a result (or of a DataArray or Dataset); the format follows the suffix (png, svg,
    pdf, ...; png without one).

    The file appears only once it is complete: a failure leaves no file behind and an existing one untouched.
    """
    save(figure(result, title, xlim=xlim, ylim=ylim, x=x, band=band), path, dpi=dpi)


def save(picture: "Figure", path: str | os.PathLike[str], *, dpi: int = 100) -> None:
    """Writes a figure in the format its suffix names (png without one), complete or not at all."""
    fmt = os.path.splitext(os.fspath(path))[1].lstrip(".").lower() or "png"
    # Named rather than left to matplotlib: without a suffix, the temporary name's random tail would pass for one.
    with atomic_path(path) as temporary:
        picture.savefig(temporary, dpi=dpi, format=fmt)


def image_formats() -> set[str]:
    """The suffixes (without the dot) of the image formats matplotlib writes."""
    _figure_class()
    from matplotlib.backend_bases import FigureCanvasBase

    return set(FigureCanvasBase.get_supported_filetypes())


def _label(labels: Sequence[str], k: int) -> str:
    return labels[k] if k < len(labels) and labels[k] else f"trace {k + 1}"


def _spectral(ax: "Axes", axis: Axis, x: Any, ylabel: str, limits: tuple[Limits, Limits] = (None, None)) -> None:
    ax.set_xlabel(axis.title().replace("cm-1", "cm$^{-1}$").replace("(um)", "(µm)"))
    ax.set_ylabel(ylabel)
    xlim, ylim = limits
    # A wavenumber of 0 is an infinite wavelength: the limits are those of the points that can be drawn.
    finite = np.asarray(x, np.float64)
    finite = finite[np.isfinite(finite)]
    if xlim is not None:
        low, high = sorted(map(float, xlim))
        ax.set_xlim((high, low) if axis.descending else (low, high))
    elif finite.size >= 2 and finite.min() != finite.max():
        low, high = float(finite.min()), float(finite.max())
        ax.set_xlim((high, low) if axis.descending else (low, high))
    if ylim is not None:
        ax.set_ylim(*sorted(map(float, ylim)))
    ax.grid(True, linewidth=0.3, alpha=0.5)


def _panels(new_figure: Any, count: int) -> tuple["Figure", list["Axes"]]:
    shown = max(1, min(count, MAX_PANELS))
    columns = min(shown, 4)
    rows = math.ceil(shown / columns)
    fig = new_figure(figsize=(3.6 * columns + 1, 3.2 * rows + 0.6), layout="constrained")
    axes = list(np.atleast_1d(fig.subplots(rows, columns, squeeze=False)).ravel())
    for ax in axes[count:]:
        ax.set_axis_off()
    return fig, axes[:min(count, MAX_PANELS)]


def _grid_map(fig: "Figure", ax: "Axes", map_x: Any, map_y: Any, values: Any, label: str) -> None:
    values = np.asarray(values, np.float64)
    if values.size:
        extent = _extent(np.asarray(map_x, np.float64), np.asarray(map_y, np.float64))
        image = ax.imshow(values, origin="lower", extent=extent, aspect="equal", cmap="viridis",
                          interpolation="nearest")
        # A grid stored from high y to low y (negative DDY) still gets axes that grow to the upper right.
        left, right, bottom, top = extent
        ax.set_xlim(min(left, right), max(left, right))
        ax.set_ylim(min(bottom, top), max(bottom, top))
        fig.colorbar(image, ax=ax, shrink=0.85)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title(label, fontsize="medium")


def _extent(map_x: Any, map_y: Any) -> tuple[float, float, float, float]:
    """Pixel edges around the grid centres, so each spectrum's square sits on its coordinate."""

    def edges(centres: Any) -> tuple[float, float]:
        if len(centres) == 0:
            return -0.5, 0.5
        step = float(centres[-1] - centres[0]) / (len(centres) - 1) if len(centres) > 1 else 1.0
        step = step or 1.0
        return float(centres[0]) - step / 2, float(centres[-1]) + step / 2

    left, right = edges(map_x)
    bottom, top = edges(map_y)
    return left, right, bottom, top


def _point_map(fig: "Figure", ax: "Axes", regions: Sequence[lumira.Region], value: Any, label: str) -> None:
    xs = [np.asarray(r.mapX, np.float64) for r in regions if len(r.mapX)]
    if xs:
        ys = [np.asarray(r.mapY, np.float64) for r in regions if len(r.mapX)]
        values = [np.asarray(value(r.spectra), np.float64) for r in regions if len(r.mapX)]
        points = ax.scatter(np.concatenate(xs), np.concatenate(ys), c=np.concatenate(values), cmap="viridis", s=18)
        fig.colorbar(points, ax=ax, shrink=0.85)
        ax.set_aspect("equal", adjustable="datalim")
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_title(label, fontsize="medium")
