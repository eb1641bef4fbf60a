"""The axes of a result: what the spectral axis, the values and z measure, in which unit, and how they read."""

from __future__ import annotations

import argparse
import re
from dataclasses import dataclass
from typing import Any, Mapping, Optional

import numpy as np

import lumira

# DXU (and ZTX-like) unit codes: (dimension name, unit, label for people)
_UNITS = {
    "WN": ("wavenumber", "cm-1", "Wavenumber"),
    "MI": ("wavelength", "um", "Wavelength"),
    "NM": ("wavelength", "nm", "Wavelength"),
    "LGW": ("log_wavenumber", "log(cm-1)", "log(wavenumber)"),
    "MIN": ("time", "min", "Time"),
    "SEC": ("time", "s", "Time"),
    "PNT": ("x", "points", "Point"),
    "HZ": ("frequency", "Hz", "Frequency"),
}

# What the values of each block type are, for axis labels and xarray's long_name.
Y_LABELS = {
    "AB": "Absorbance", "TR": "Transmittance", "KM": "Kubelka-Munk", "RAM": "Raman intensity",
    "EMIS": "Emission", "REFL": "Reflectance", "LREFL": "log(Reflectance)", "ATR": "ATR absorbance",
    "PAS": "Photoacoustic signal", "SSC": "Sample single channel", "RSC": "Reference single channel",
    "SIFG": "Sample interferogram", "RIFG": "Reference interferogram", "SPH": "Sample phase",
    "RPH": "Reference phase", "SPOW": "Sample power", "RPOW": "Reference power", "TRC": "Trace",
}

MAP_KINDS = (lumira.ImageDataReturn, lumira.ImageTRCDataReturn, lumira.MultiRegionDataReturn,
             lumira.MultiRegionTRCDataReturn)


@dataclass(frozen=True)
class Axis:
    name: str      # dimension name, e.g. "wavenumber"
    unit: str      # e.g. "cm-1"; "" when the file does not say
    label: str     # e.g. "Wavenumber"
    code: str      # the file's DXU text, "" when absent

    @property
    def descending(self) -> bool:
        """Spectroscopists read wavenumbers from high to low."""
        return self.code == "WN"

    def title(self) -> str:
        return f"{self.label} ({self.unit})" if self.unit else self.label


def spectral_axis(result: lumira.BaseDataReturn) -> Axis:
    return axis_of(result.parameters, isinstance(result, MAP_KINDS), result.dataType)


def axis_of(parameters: Mapping[str, object], is_map: bool, data_type: str = "") -> Axis:
    """The spectral axis the parameters (DXU) describe; `is_map` for blocks whose grid already has an x. Match
    blocks state no DXU: their axis spans the single channels' wavenumbers."""
    code = str(parameters.get("DXU", "WN" if data_type.split(":")[0] == "MATCH" else "")).strip().upper()
    name, unit, label = _UNITS.get(code, ("x", code.lower(), "x"))
    # Maps already call their grid coordinates x and y.
    if name == "x" and is_map:
        name = "spectral_x"
    return Axis(name, unit, label, code)


def value_label(result: lumira.BaseDataReturn) -> str:
    return Y_LABELS.get(result.dataType, result.dataType)


def z_units(ztx: object) -> Optional[str]:
    """The unit a ZTX text states: a unit code such as SEC, or the unit in brackets of a label like 'Time (s)'.

    None when it states none: a bare word may be a quantity as well as a unit, so it is not guessed at.
    """
    text = str(ztx).strip()
    if text.upper() in _UNITS:
        return _UNITS[text.upper()][1]
    bracketed = re.search(r"\(([^()]+)\)$", text)
    return bracketed.group(1).strip() if bracketed else None


# --- converting the spectral axis ---------------------------------------------------------------------------

# The speed of light in vacuum, in cm/s (exact by the definition of the metre): frequency = c * wavenumber.
LIGHT_CM_PER_S = 29_979_245_800.0

# What a caller may ask an axis to be in, by quantity or by unit: the DXU code it becomes.
_ASKED = {"wavenumber": "WN", "cm-1": "WN", "1/cm": "WN", "wavelength": "MI", "um": "MI", "µm": "MI",
          "micrometer": "MI", "nm": "NM", "nanometer": "NM", "frequency": "HZ", "hz": "HZ"}
UNIT_CHOICES = ("wavenumber", "wavelength", "frequency", "cm-1", "um", "nm", "Hz")

# Each convertible unit as wavenumbers: (reciprocal, factor), wavenumber = factor / x or factor * x.
_AS_WAVENUMBER = {"WN": (False, 1.0), "MI": (True, 1e4), "NM": (True, 1e7), "HZ": (False, 1 / LIGHT_CM_PER_S)}


class AxisUnitError(ValueError):
    """An axis that cannot be put in the unit asked: points, times, a Raman shift, or values at or below zero."""


def unit_axis(asked: str) -> Axis:
    """The axis a caller names by quantity ('wavenumber', 'wavelength', 'frequency') or unit ('cm-1', 'um', 'nm',
    'Hz'); wavelengths are in micrometres unless nm is asked."""
    code = _ASKED.get(str(asked).strip().lower()) if isinstance(asked, str) else None
    if code is None:
        raise ValueError(f"x is one of {', '.join(repr(choice) for choice in UNIT_CHOICES)}, not {asked!r}")
    return axis_of({"DXU": code}, False)


def x_unit_option(text: str) -> str:
    """An argparse type for the command line's --x-unit."""
    try:
        unit_axis(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from error
    return text


def converted(x: Any, source: Axis, target: Axis, data_type: str = "") -> Any:
    """The axis values `x` in `source` units as values in `target` units (float64, in the same order, so still
    monotonic: a reciprocal turns a falling axis into a rising one). The same unit gives `x` unchanged.

    Raises AxisUnitError for what has no value in the other unit: an axis of points or times, a log axis, a Raman
    shift (a difference from the laser line, which no parameter states reliably), or values below zero. A
    wavenumber of 0 is an infinite wavelength.
    """
    values = np.asarray(x, np.float64)
    if source.code == target.code:
        return values
    where = f"{source.title()} to {target.label.lower()} ({target.unit})"
    if source.code not in _AS_WAVENUMBER or target.code not in _AS_WAVENUMBER:
        raise AxisUnitError(f"an x axis in {source.title()} cannot be converted to {target.title()}")
    if data_type == "RAM":
        raise AxisUnitError(f"a Raman shift cannot be converted from {where}: it is a difference from the laser "
                            "line, not a wavenumber of light")
    if (values < 0).any():
        raise AxisUnitError(f"an x axis reaching {values.min():g} cannot be converted from {where}: only values "
                            "from zero up have one")
    with np.errstate(divide="ignore"):
        reciprocal, factor = _AS_WAVENUMBER[source.code]
        wavenumbers = factor / values if reciprocal else values * factor
        reciprocal, factor = _AS_WAVENUMBER[target.code]
        return factor / wavenumbers if reciprocal else wavenumbers / factor


def spectral_values(result: lumira.BaseDataReturn, x: Optional[str]) -> tuple[Axis, Any]:
    """The result's spectral axis and its values, in the unit `x` names (None: as the file has them)."""
    source = spectral_axis(result)
    if x is None:
        return source, np.asarray(result.x, np.float64)
    target = unit_axis(x)
    return target, converted(result.x, source, target, result.dataType)
