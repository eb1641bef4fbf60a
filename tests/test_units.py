"""The spectral axis in other units: to_xarray(x=...), stacks and overlays of files in different units."""

import csv
import os

import numpy as np
import pytest

import lumira_tools
from lumira_tools import AxisUnitError
from lumira_tools._axes import axis_of, converted, unit_axis
from lumira_tools.cli import main
from opusbuilder import OpusFile, spectrum_params
from tool_results import series, single

WAVENUMBERS = np.linspace(4000.0, 400.0, 37)


@pytest.mark.parametrize("there, back", [
    ("wavelength", "wavenumber"), ("nm", "cm-1"), ("frequency", "wavenumber"), ("Hz", "um"), ("nm", "um"),
])
def test_conversions_round_trip_and_stay_monotonic(there, back):
    source = axis_of({"DXU": "WN"}, False)
    start = converted(WAVENUMBERS, source, unit_axis(back)) if back != "wavenumber" else WAVENUMBERS
    first = unit_axis(back)
    out = converted(start, first, unit_axis(there))
    steps = np.diff(out)
    assert (steps > 0).all() or (steps < 0).all()
    np.testing.assert_allclose(converted(out, unit_axis(there), first), start, rtol=1e-14)


@pytest.mark.parametrize("asked, value", [("wavelength", 2.5), ("nm", 2500.0), ("frequency", 4000 * 29979245800.0)])
def test_known_values(asked, value):
    assert converted([4000.0], unit_axis("wavenumber"), unit_axis(asked))[0] == pytest.approx(value, rel=1e-15)


def test_a_wavenumber_of_zero_is_an_infinite_wavelength_and_negatives_refuse():
    wavenumber, wavelength = unit_axis("wavenumber"), unit_axis("wavelength")
    assert converted([10.0, 0.0], wavenumber, wavelength).tolist() == [1000.0, np.inf]
    with pytest.raises(AxisUnitError, match="reaching -5"):
        converted([10.0, -5.0], wavenumber, wavelength)


@pytest.fixture
def xr():
    return pytest.importorskip("xarray")


@pytest.mark.parametrize("asked, dim, units", [
    ("wavelength", "wavelength", "um"), ("nm", "wavelength", "nm"), ("frequency", "frequency", "Hz"),
    ("wavenumber", "wavenumber", "cm-1"),
])
def test_to_xarray_labels_the_converted_axis(xr, asked, dim, units):
    result = single()
    spectrum = lumira_tools.to_xarray(result, x=asked)
    assert spectrum.dims == (dim,) and spectrum[dim].attrs["units"] == units
    np.testing.assert_allclose(spectrum[dim].values, converted(result.x, unit_axis("cm-1"), unit_axis(asked)))
    assert np.array_equal(spectrum.values, result.y)
    assert lumira_tools.to_xarray(series(), x=asked).dims == ("z", dim)


@pytest.mark.parametrize("parameters, data_type, message", [
    ({"DXU": "PNT"}, "AB", "Point"), ({"DXU": "MIN"}, "AB", "Time"), ({"DXU": "WN"}, "RAM", "Raman shift"),
])
def test_to_xarray_refuses_axes_without_that_unit(xr, parameters, data_type, message):
    result = single()
    result.parameters.update(parameters)
    result.dataType = data_type
    with pytest.raises(AxisUnitError, match=message):
        lumira_tools.to_xarray(result, x="wavelength")


def test_a_misspelt_unit_is_said_before_any_file_is_read(xr, tmp_path):
    with pytest.raises(ValueError, match="not 'furlongs'"):
        lumira_tools.to_xarray(str(tmp_path / "missing.0"), x="furlongs")


# --- stacks and overlays of files in different units ------------------------------------------------------


def line_file(path, npt, first, last, dxu="WN"):
    """A spectrum that is a line over wavenumbers, (k - 400) / 900, whatever unit its axis is stored in."""
    x = np.linspace(first, last, npt)
    k = {"WN": x, "MI": 1e4 / np.where(x == 0, np.inf, x), "NM": 1e7 / np.where(x == 0, np.inf, x)}.get(dxu, x)
    OpusFile().spectrum("AB", ((k - 400) / 900).tolist(), spectrum_params(npt, first, last, DXU=dxu)).write(path)
    return str(path)


@pytest.fixture
def mixed(tmp_path):
    return [line_file(tmp_path / "a.0", 400, 4000.0, 400.0), line_file(tmp_path / "b.0", 800, 2.5, 25.0, "MI"),
            line_file(tmp_path / "c.0", 300, 3000.0, 9000.0, "NM")]


def test_stack_converts_to_the_first_files_unit(xr, mixed):
    stacked = lumira_tools.stack(mixed)
    axis = stacked["wavenumber"].values
    assert np.array_equal(axis, np.linspace(4000.0, 400.0, 400))
    expected = (axis - 400) / 900
    # Interpolating a line between a reciprocal axis's points errs by the curvature over one step.
    np.testing.assert_allclose(stacked["AB"].values[1], expected, atol=2e-3)
    inside = (axis >= 1e7 / 9000) & (axis <= 1e7 / 3000)
    np.testing.assert_allclose(stacked["AB"].values[2][inside], expected[inside], atol=2e-3)
    assert np.isnan(stacked["AB"].values[2][~inside]).all()


def test_stack_converts_to_the_unit_named(xr, mixed):
    stacked = lumira_tools.stack(mixed, x="wavelength")
    assert stacked["AB"].dims == ("file", "wavelength") and stacked["wavelength"].attrs["units"] == "um"
    np.testing.assert_allclose(stacked["wavelength"].values, 1e4 / np.linspace(4000.0, 400.0, 400), rtol=1e-15)
    np.testing.assert_allclose(stacked["AB"].values[0], (np.linspace(4000.0, 400.0, 400) - 400) / 900, rtol=1e-6)


def test_stack_refuses_points_beside_wavenumbers_naming_the_file(xr, mixed, tmp_path):
    points = line_file(tmp_path / "p.0", 50, 0.0, 49.0, "PNT")
    with pytest.raises(AxisUnitError, match=f"^{points}: an x axis in Point"):
        lumira_tools.stack([*mixed, points])


def test_export_stack_names_the_unit_in_the_table(xr, mixed, tmp_path):
    out = tmp_path / "table.csv"
    assert main(["export", *mixed, "--stack", "--x-unit", "nm", "-o", str(out)]) == 0
    with open(out, newline="", encoding="utf-8") as table:
        header = next(csv.reader(table))
    np.testing.assert_allclose(np.array(header[2:], float), 1e7 / np.linspace(4000.0, 400.0, 400), rtol=1e-15)


def test_overlay_converts_each_spectrum_and_refuses_points(mixed, tmp_path):
    pytest.importorskip("matplotlib")
    from lumira_tools.plot import overlay

    spectra = [(os.path.basename(path), lumira_tools.read(path)) for path in mixed]
    ax = overlay(spectra, x="wavelength").axes[0]
    assert ax.get_xlabel() == "Wavelength (µm)"
    for line, (_, result) in zip(ax.get_lines(), spectra):
        np.testing.assert_allclose(line.get_xdata(), converted(result.x, axis_of(result.parameters, False),
                                                               unit_axis("um")))
    assert overlay(spectra).axes[0].get_xlim() == (4000.0, 400.0)  # the first file's wavenumbers, high to low
    points = line_file(tmp_path / "p.0", 50, 0.0, 49.0, "PNT")
    with pytest.raises(AxisUnitError, match="^p.0: an x axis in Point"):
        overlay([*spectra, ("p.0", lumira_tools.read(points))])
    out = tmp_path / "no.png"
    assert main(["plot", *mixed, points, "-o", str(out)]) == 1 and not out.exists()
    assert main(["plot", *mixed, "--x-unit", "frequency", "-o", str(tmp_path / "yes.png")]) == 0
