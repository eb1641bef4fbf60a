"""The axes of a result: what the spectral axis, the values and z measure, in which unit, and how they read."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Mapping, Optional

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
    return axis_of(result.parameters, isinstance(result, MAP_KINDS))


def axis_of(parameters: Mapping[str, object], is_map: bool) -> Axis:
    """The spectral axis the parameters (DXU) describe; `is_map` for blocks whose grid already has an x."""
    code = str(parameters.get("DXU", "")).strip().upper()
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
