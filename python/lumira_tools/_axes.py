"""The spectral axis of a result: what it measures, in which unit, and how it is read."""

from __future__ import annotations

from dataclasses import dataclass

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
    code = str(result.parameters.get("DXU", "")).strip().upper()
    name, unit, label = _UNITS.get(code, ("x", code.lower(), "x"))
    # Maps already call their grid coordinates x and y.
    if name == "x" and isinstance(result, MAP_KINDS):
        name = "spectral_x"
    return Axis(name, unit, label, code)
