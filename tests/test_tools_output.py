"""to_xarray, export and plot on every kind of result."""

import csv
import json
import os
import pathlib

import numpy as np
import pytest

import lumira
from lumira_tools import kind_of, read, to_xarray
from lumira_tools.export import ExportError, arrays_of, export
from tool_results import KINDS, NPT, THREE_D, X

SAMPLE = str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "film_absorbance.0")
DATA_NAME = {"image map (traces)": "TRC", "series (traces)": "TRC", "multi-region (traces)": "TRC"}


@pytest.fixture
def xr():
    return pytest.importorskip("xarray")


@pytest.mark.parametrize("kind, dims, coords", [
    ("spectrum", ("wavenumber",), {"wavenumber": X}),
    ("image map", ("y", "x", "wavenumber"), {"x": [10.0, 12.5, 15.0], "y": [-1.0, 1.0], "wavenumber": X}),
    ("image map (traces)", ("y", "x", "trace"), {"trace": ["area 1", "peak 2"]}),
    ("series", ("z", "wavenumber"), {"z": [0.0, 1.5, 3.0, 4.5]}),
    ("series (traces)", ("trace", "time"), {"trace": ["first", "second", "third"], "time": X}),
])
def test_to_xarray_names_dimensions_and_coordinates(xr, kind, dims, coords):
    result = KINDS[kind]()
    array = to_xarray(result)
    assert isinstance(array, xr.DataArray) and array.dims == dims
    assert array.name == result.dataType and array.dtype == np.float32
    for name, values in coords.items():
        assert array.coords[name].values.tolist() == list(values)
    assert {k: array.attrs[k] for k in result.parameters} == result.parameters
    assert (array.attrs["kind"], array.attrs["derivative"]) == (kind, "NONE")
    assert array.attrs["long_name"] == ("Trace" if result.dataType == "TRC" else "Absorbance")
    if kind == "series":
        assert array.coords["z"].attrs["long_name"] == "Time (s)" and array.coords["z"].attrs["units"] == "s"
    if kind == "spectrum":
        assert array.coords["wavenumber"].attrs["units"] == "cm-1"


@pytest.mark.parametrize("kind", ["multi-region", "multi-region (traces)"])
def test_to_xarray_puts_every_region_point_on_one_dimension(xr, kind):
    result = KINDS[kind]()
    dataset = to_xarray(result)
    assert isinstance(dataset, xr.Dataset)
    values = dataset["traces" if "traces" in kind else "spectra"]
    assert values.dims[0] == "point"
    assert np.array_equal(values.values, np.concatenate([r.spectra for r in result.regions]))
    assert dataset["x"].values.tolist() == [x for r in result.regions for x in r.mapX]
    assert values.attrs["long_name"] == ("Trace" if "traces" in kind else "Absorbance")
    titles = dataset["region"].values.tolist()
    assert titles == [r.title for r in result.regions for _ in r.mapX]
    if kind == "multi-region":
        assert dataset["start_time"].values.tolist() == [100.0, 101.0, 200.0, 201.0, 202.0]
        assert dataset.groupby("region").mean()["spectra"].shape == (2, NPT)
    else:
        assert dataset["trace"].values.tolist() == ["height", "width"]


@pytest.mark.parametrize("ztx, units", [("MIN", "min"), ("Temperature (°C)", "°C"), ("time", None)])
def test_z_units_only_where_ztx_states_them(xr, ztx, units):
    result = KINDS["series"]()
    result.parameters["ZTX"] = ztx
    assert to_xarray(result).coords["z"].attrs.get("units") == units


def test_unlabelled_traces_are_numbered(xr):
    result = KINDS["image map (traces)"]()
    result.labels = []
    assert to_xarray(result).coords["trace"].values.tolist() == [0, 1]


# --- export ------------------------------------------------------------------------------------------


def test_csv_round_trip_of_the_sample(tmp_path):
    result = read(SAMPLE)
    path = tmp_path / "ab.csv"
    export(result, path)
    assert path.read_text().splitlines()[0] == "wavenumber (cm-1),AB"
    back = np.loadtxt(path, delimiter=",", skiprows=1)
    assert np.array_equal(back[:, 0], result.x)
    assert np.array_equal(back[:, 1].astype(np.float32), result.y)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_npz_round_trip(tmp_path, kind):
    result = KINDS[kind]()
    path = tmp_path / "out.npz"
    export(result, path)
    with np.load(path, allow_pickle=False) as back:
        stored = {key: back[key] for key in back.files}
    for key, value in arrays_of(result).items():
        assert np.array_equal(stored[key], value) and stored[key].dtype == value.dtype, key
    assert json.loads(str(stored["parameters"])) == result.parameters
    assert str(stored["kind"]) == kind
    if kind.startswith("multi-region"):
        for k, region in enumerate(result.regions):
            assert np.array_equal(stored[f"region{k}/spectra"], region.spectra)
            assert (f"region{k}/start_time" in stored) == (region.start_time is not None)


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_netcdf_round_trip(xr, tmp_path, kind):
    pytest.importorskip("netCDF4")
    result = KINDS[kind]()
    path = tmp_path / "out.nc"
    export(result, path)
    written = to_xarray(result)
    with (xr.open_dataset(path) if kind.startswith("multi-region") else xr.open_dataarray(path)) as back:
        back.load()
        assert back.identical(written) if isinstance(back, xr.Dataset) else back.equals(written)
        assert back.attrs == written.attrs


@pytest.mark.parametrize("kind", ["multi-region", "multi-region (traces)"])
def test_csv_refuses_multi_region_maps_and_writes_nothing(tmp_path, kind):
    with pytest.raises(ExportError, match="CSV holds spectra, image maps and series"):
        export(THREE_D[kind](), tmp_path / "out.csv")
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("kind, coordinates", [
    ("image map", ["x", "y"]), ("image map (traces)", ["x", "y"]), ("series", ["z"]), ("series (traces)", ["trace"])])
def test_csv_of_maps_and_series_reads_back_exactly(tmp_path, kind, coordinates):
    result = THREE_D[kind]()
    values = np.asarray(getattr(result, "spectra", None) if "traces" not in kind else result.traces)
    values = values * np.float32(np.pi)  # values whose shortest text has all the digits a float32 needs
    setattr(result, "traces" if "traces" in kind else "spectra", values)
    if "traces" in kind:
        result.labels[0] = 'area "1", left'  # a label the CSV must quote
    export(result, tmp_path / "out.csv")
    with open(tmp_path / "out.csv", newline="", encoding="utf-8") as table:
        header, *rows = list(csv.reader(table))
    width = len(coordinates)
    assert header[:width] == coordinates
    columns = result.labels if kind.endswith("(traces)") and kind != "series (traces)" else result.x.tolist()
    assert header[width:] == [str(c) if isinstance(c, str) else repr(c) for c in columns]
    back = np.array([[float(cell) for cell in row[width:]] for row in rows], np.float32)
    assert np.array_equal(back, values.reshape(-1, values.shape[-1]))  # map points row by row, x fastest
    if kind.startswith("image"):
        grid = [(float(row[0]), float(row[1])) for row in rows]
        assert grid == [(x, y) for y in result.mapY for x in result.mapX]
    elif kind == "series":
        assert [float(row[0]) for row in rows] == result.z.tolist()
    else:
        assert [row[0] for row in rows] == result.labels


@pytest.mark.parametrize("name", ["out.npz", "out.png"])
def test_written_files_get_the_umask_mode_and_overwritten_ones_keep_theirs(tmp_path, name):
    if name.endswith(".png"):
        pytest.importorskip("matplotlib")
    from lumira_tools.plot import plot

    write = plot if name.endswith(".png") else export
    new, old = tmp_path / name, tmp_path / f"old-{name}"
    old.write_bytes(b"old")
    old.chmod(0o604)
    mask = os.umask(0o027)
    try:
        write(KINDS["spectrum"](), new)
        write(KINDS["spectrum"](), old)
    finally:
        os.umask(mask)
    assert (new.stat().st_mode & 0o777, old.stat().st_mode & 0o777) == (0o640, 0o604)
    assert sorted(os.listdir(tmp_path)) == sorted([name, f"old-{name}"])


def test_failed_export_leaves_the_old_file_and_no_temporary(tmp_path):
    path = tmp_path / "out.npz"
    path.write_bytes(b"old")
    broken = KINDS["spectrum"]()
    broken.parameters = {"bad": object()}  # not JSON
    with pytest.raises(TypeError):
        export(broken, path)
    assert os.listdir(tmp_path) == ["out.npz"] and path.read_bytes() == b"old"
    with pytest.raises(ExportError, match="cannot export to '.txt'"):
        export(broken, tmp_path / "out.txt")


# --- plot --------------------------------------------------------------------------------------------


def png_pixels(path):
    image = pytest.importorskip("matplotlib.image").imread(path)
    assert image.ndim == 3
    return image[..., :3]


def assert_plausible_picture(path, width, height):
    pixels = png_pixels(path)
    # Matplotlib before 3.11 truncates inches times dpi (8.2 * 100 gives 819 pixels), later ones round.
    assert np.allclose(pixels.shape[:2], (height, width), rtol=0, atol=1)
    ink = np.any(pixels < 0.9, axis=-1)
    assert 0.01 < ink.mean() < 0.9  # lines, text and colour on a white page, neither blank nor flooded
    assert len(np.unique(pixels.reshape(-1, 3), axis=0)) > 20


@pytest.mark.parametrize("kind, size", [
    ("spectrum", (800, 450)), ("image map", (1100, 450)), ("image map (traces)", (820, 380)),
    ("series", (800, 500)), ("series (traces)", (800, 450)), ("multi-region", (1100, 450)),
    ("multi-region (traces)", (820, 380)),
])
def test_plot_every_kind(tmp_path, kind, size):
    plot = pytest.importorskip("lumira_tools.plot")
    pytest.importorskip("matplotlib")
    path = tmp_path / "out.png"
    plot.plot(KINDS[kind](), path)
    assert_plausible_picture(path, *size)


def test_spectrum_plot_reads_wavenumbers_from_high_to_low():
    pytest.importorskip("matplotlib")
    from lumira_tools.plot import figure

    ax = figure(read(SAMPLE)).axes[0]
    assert ax.get_xlim() == (3999.6, 400.2)
    assert "Wavenumber" in ax.get_xlabel() and ax.get_ylabel() == "Absorbance"
    line = ax.get_lines()[0]
    assert np.array_equal(line.get_ydata(), read(SAMPLE).y)


def test_series_heat_map_covers_z(tmp_path):
    pytest.importorskip("matplotlib")
    from lumira_tools.plot import figure

    result = KINDS["series"]()
    ax = figure(result).axes[0]
    mesh = ax.collections[0]
    assert np.array_equal(np.asarray(mesh.get_array()).reshape(result.spectra.shape), result.spectra)
    assert ax.get_ylabel() == "Time (s)"


def test_image_map_puts_each_spectrum_on_its_coordinates_with_axes_growing_up():
    pytest.importorskip("matplotlib")
    from lumira_tools.plot import figure

    result = KINDS["image map"]()
    result.mapY = np.array([250.0, 200.0])  # rows stored from high y to low y
    ax = figure(result).axes[0]
    assert ax.get_xlim() == (8.75, 16.25) and ax.get_ylim() == (175.0, 275.0)
    assert list(ax.images[0].get_extent()) == [8.75, 16.25, 275.0, 175.0]  # row 0 drawn at y = 250


def test_kind_of_refuses_other_objects():
    assert kind_of(KINDS["spectrum"]()) == "spectrum"
    with pytest.raises(TypeError):
        kind_of(lumira.Region("t", 1, 2, None, 3))
