"""Pictures of folders: overlays that say which block each file gave, colour instead of a legend for many files,
xarray objects drawn as results are, and the band-integrated image of a map."""

import json

import numpy as np
import pytest

import lumira_tools
from lumira_tools.cli import main
from instrument_folder import map_file, sample_file, write_folder
from opusbuilder import OpusFile, spectrum_params
from tool_results import series_file

pytest.importorskip("matplotlib")
from lumira_tools import plot  # noqa: E402


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("plots") / "spectra"
    return root, write_folder(root)


def legend_texts(ax):
    legend = ax.get_legend()
    return None if legend is None else [text.get_text() for text in legend.get_texts()]


def test_an_overlay_names_each_files_block_where_they_differ(folder):
    _, paths = folder
    spectra = [(name, lumira_tools.read(paths[role])) for name, role in (("a.0", "sample0"), ("m.1", "reflectance"))]
    fig = plot.overlay(spectra)
    assert legend_texts(fig.axes[0]) == ["a.0 (AB/2D/NONE)", "m.1 (REFL/2D/NONE)"]
    assert fig._suptitle.get_text() == "AB/2D/NONE, REFL/2D/NONE - 2 files"
    same = plot.overlay(spectra[:1] * 2)
    assert legend_texts(same.axes[0]) == ["a.0", "a.0"] and same._suptitle.get_text() == "AB/2D/NONE - 2 files"


@pytest.mark.parametrize("dated, label", [(True, "acquisition time (UTC)"), (False, "file (in the order given)")])
def test_many_spectra_are_coloured_by_time_or_order_under_a_colour_bar(tmp_path, dated, label):
    spectra = []
    for k in range(13):
        extra = {"DAT": "08/12/2026", "TIM": f"{k:02d}:00:00 (GMT+1)"} if dated or k else {}
        path = OpusFile().spectrum("AB", [float(k)] * 3, spectrum_params(3, 4000.0, 400.0, **extra)).write(
            tmp_path / f"{k}.0")
        spectra.append((f"{k}.0", lumira_tools.read(path)))
    fig = plot.overlay(spectra)
    drawing, bar = fig.axes
    assert legend_texts(drawing) is None and bar.get_ylabel() == label
    colours = [line.get_color() for line in drawing.get_lines()]
    assert len(set(map(tuple, colours))) == 13  # each file its own shade, in order


def test_overlay_json_lists_every_file_drawn(folder, tmp_path, capsys):
    _, paths = folder
    files = [paths["sample0"], paths["sample1"], paths["reflectance"]]
    out = tmp_path / "overlay.png"
    assert main(["plot", *files, "-o", str(out), "--json"]) == 0
    said = json.loads(capsys.readouterr().out)
    assert said["files"] == [{"path": path, "block": block} for path, block in
                             zip(files, ["AB/2D/NONE", "AB/2D/NONE", "REFL/2D/NONE"])]
    assert said["block"] == "AB/2D/NONE, REFL/2D/NONE" and said["bytes"] == out.stat().st_size


def test_xarray_objects_are_drawn_as_their_results_are(folder):
    pytest.importorskip("xarray")
    root, paths = folder
    spectrum = plot.figure(lumira_tools.to_xarray(lumira_tools.read(paths["sample0"])))
    line = spectrum.axes[0].get_lines()[0]
    assert np.array_equal(line.get_ydata(), lumira_tools.read(paths["sample0"]).y)
    assert spectrum.axes[0].get_xlim()[0] > spectrum.axes[0].get_xlim()[1]  # wavenumbers from high to low
    stacked = lumira_tools.stack(root)
    table = plot.figure(stacked)
    assert len(table.axes[0].get_lines()) == 3 and legend_texts(table.axes[0])[0] == "film_00.0"
    assert table._suptitle.get_text() == "AB/2D/NONE - 3 files"
    assert len(plot.figure(stacked["AB"]).axes[0].get_lines()) == 3
    image = plot.figure(lumira_tools.to_xarray(lumira_tools.read(paths["map"])))
    assert image.axes[0].get_images()[0].get_array().shape == (2, 3)


@pytest.mark.parametrize("x", [np.linspace(0.0, 10.0, 11), np.linspace(10.0, 0.0, 11)])
def test_a_band_integrates_the_points_inside_it_whichever_way_the_axis_runs(x):
    values = np.stack([x, 2 * x])  # the area of y = x from 2 to 6 is (36 - 4) / 2
    assert plot.band_integral(values, x, (6.0, 2.0)).tolist() == [16.0, 32.0]
    with pytest.raises(ValueError, match="the band 20 .. 30 holds fewer than two points"):
        plot.band_integral(values, x, (20.0, 30.0))


def test_plot_band_draws_the_band_image_of_a_map(tmp_path, capsys):
    path = tmp_path / "map.0"
    path.write_bytes(map_file())
    out = tmp_path / "band.png"
    assert main(["plot", str(path), "--band", "3000", "2800", "-o", str(out)]) == 0 and out.stat().st_size
    result = lumira_tools.read(path)
    image = plot.figure(result, band=(3000, 2800)).axes[0].get_images()[0].get_array()
    assert np.allclose(image, plot.band_integral(result.spectra, result.x, (3000, 2800)))
    assert main(["plot", str(path), "--band", "9000", "8000", "-o", str(out)]) == 1
    assert "the band 9000 .. 8000 holds fewer than two points" in capsys.readouterr().err
    series = lumira_tools.read(series_file(tmp_path / "series.0"))
    course = plot.figure(series, band=(4000, 1300)).axes[1].get_lines()[0]
    assert np.allclose(course.get_ydata(), plot.band_integral(series.spectra, series.x, (4000, 1300)))
    assert np.array_equal(course.get_xdata(), series.z)
    other = tmp_path / "s.0"
    other.write_bytes(sample_file("s", 0))
    assert main(["plot", str(path), str(other), "--band", "3000", "2800", "-o", str(out)]) == 2
