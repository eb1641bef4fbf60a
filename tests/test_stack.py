"""Acquisition times, many files as one table (stack, metadata, export --stack) and plots of several files."""

import csv
import datetime
import json
import os

import numpy as np
import pytest

import lumira_tools
from lumira_tools.cli import main
from opusbuilder import OpusFile, spectrum_params
from test_tools_read import cut_short, short_spectrum
from tool_results import series_file

SAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "data",
                      "film_absorbance.0")
UTC = datetime.timezone.utc


@pytest.mark.parametrize("date, time, expected", [
    ("03/05/2019", "13:34:44.641 (GMT-4)", datetime.datetime(2019, 5, 3, 17, 34, 44, 641000, UTC)),
    ("2012/11/09", "11:45:34 (GMT-6)", datetime.datetime(2012, 11, 9, 17, 45, 34, 0, UTC)),
    ("03/05/2019", "12:28:27.332 (GMT+1)", datetime.datetime(2019, 5, 3, 11, 28, 27, 332000, UTC)),
    ("01/01/2020", "02:00:00 (GMT+5:30)", datetime.datetime(2019, 12, 31, 20, 30, 0, 0, UTC)),
    ("16/03/2023", "12:27:26.808 (GMT+1)", datetime.datetime(2023, 3, 16, 11, 27, 26, 808000, UTC)),
    ("11/05/2020", "08:59:44.322 (GMT+12)", datetime.datetime(2020, 5, 10, 20, 59, 44, 322000, UTC)),
    # offsets in decimal hours
    ("01/01/2020", "12:00:00.250 (GMT+10.5)", datetime.datetime(2020, 1, 1, 1, 30, 0, 250000, UTC)),
    ("01/01/2020", "12:00:00 (GMT-9.5)", datetime.datetime(2020, 1, 1, 21, 30, 0, 0, UTC)),
    ("01/01/2020", "12:00:00 (GMT+5.75)", datetime.datetime(2020, 1, 1, 6, 15, 0, 0, UTC)),
    ("01/01/2020", "12:00:00 (GMT+14.5)", None),
    ("01/01/2020", "12:00:00 (GMT+5:60)", None),
    # a fraction that is no number is dropped, not read as a negative one
    ("25/03/2020", "10:31:19.-70 (GMT+1)", datetime.datetime(2020, 3, 25, 9, 31, 19, 0, UTC)),
    ("25/03/2020", "10:31:19. (GMT+1)", datetime.datetime(2020, 3, 25, 9, 31, 19, 0, UTC)),
    ("25/03/2020", "10:31:19.1234567 (GMT+1)", datetime.datetime(2020, 3, 25, 9, 31, 19, 123456, UTC)),
    ("03/05/2019", "12:28:27", None),  # no zone: the instant is unknown
    ("31/02/2019", "12:00:00 (GMT+1)", None),
    ("03/05/19", "12:00:00 (GMT+1)", None),
    ("03/05/2019", "25:00:00 (GMT+1)", None),
    ("03/05/2019", "12:00:00 (GMT+25)", None),
    ("yesterday", "noon", None),
    (20190503, "12:00:00 (GMT+1)", None),
    (None, "12:00:00 (GMT+1)", None),
])
def test_acquisition_time_from_each_written_form(date, time, expected):
    parameters = {"TIM": time} if date is None else {"DAT": date, "TIM": time}
    found = lumira_tools.acquisition_time(parameters)
    assert found == expected
    if found is not None:
        assert found.tzinfo == UTC


def test_block_time_and_the_xarray_attribute():
    pytest.importorskip("xarray")
    block = lumira_tools.read_file(SAMPLE)["ab"]  # DAT 08/12/2026, TIM 09:15:02.120 (GMT+1)
    assert block.time == datetime.datetime(2026, 12, 8, 8, 15, 2, 120000, UTC)
    assert lumira_tools.to_xarray(block.result).attrs["time"] == "2026-12-08T08:15:02.120000+00:00"


@pytest.mark.parametrize("clock, expected", [
    ("10:31:19.-70 (GMT+1)", datetime.datetime(2020, 3, 25, 9, 31, 19, 0, UTC)),
    ("10:31:19.500 (GMT+10.5)", datetime.datetime(2020, 3, 25, 0, 1, 19, 500000, UTC)),
])
def test_block_time_of_a_written_file(tmp_path, clock, expected):
    path = line_file(tmp_path / "timed.0", 5, 4000.0, 400.0, DAT="25/03/2020", TIM=clock)
    assert lumira_tools.read_file(path)[0].time == expected


# --- stack --------------------------------------------------------------------------------------------------


def line_file(path, npt, first, last, *, name="AB", **params):
    """A spectrum whose values lie on one line over x, (x - 400) / 900, so any interpolation of it is known."""
    x = np.linspace(first, last, npt)
    OpusFile().spectrum(name, ((x - 400) / 900).tolist(), spectrum_params(npt, first, last, **params)).write(path)
    return str(path)


@pytest.fixture
def collection(tmp_path):
    """Three spectra of one line on different axes, one of them rising, and a file that is no spectrum."""
    folder = tmp_path / "collection"
    folder.mkdir()
    paths = [line_file(folder / "a.0", 5, 4000.0, 400.0, SNM="first", DAT="03/05/2019", TIM="13:34:44 (GMT-4)"),
             line_file(folder / "b.0", 9, 4000.0, 400.0),
             line_file(folder / "c.0", 6, 1000.0, 3500.0, SNM="rising")]
    (folder / "notes.txt").write_text("not a spectrum")
    return folder, paths


def on_the_line(axis, low, high):
    return np.where((axis >= low) & (axis <= high), (axis - 400) / 900, np.nan)


@pytest.mark.parametrize("axis, expected_axis", [
    ("first", np.linspace(4000.0, 400.0, 5)),
    ("union", np.linspace(4000.0, 400.0, 9)),  # the finest spacing found: b's 450
    ([3000.0, 1200.0, 500.0], np.array([3000.0, 1200.0, 500.0])),
])
def test_stack_puts_every_spectrum_on_one_axis(collection, axis, expected_axis):
    pytest.importorskip("xarray")
    folder, paths = collection
    stacked = lumira_tools.stack(folder, axis=axis)
    values = stacked["AB"]
    assert values.dims == ("file", "wavenumber") and values.dtype == np.float32
    assert np.array_equal(stacked["wavenumber"].values, expected_axis)
    assert stacked["path"].values.tolist() == paths and lumira_tools.failures(stacked) == {}
    assert stacked["SNM"].values.tolist() == ["first", "", "rising"]
    assert stacked["time"].values[0] == np.datetime64("2019-05-03T17:34:44") and np.isnat(stacked["time"].values[1])
    for row, (low, high) in zip(values.values, [(400, 4000), (400, 4000), (1000, 3500)]):
        expected = on_the_line(expected_axis, low, high)
        assert np.array_equal(np.isnan(row), np.isnan(expected))
        np.testing.assert_allclose(row, expected, rtol=1e-6, atol=1e-7)


def test_stack_exact_refuses_axes_that_differ(collection):
    pytest.importorskip("xarray")
    folder, paths = collection
    with pytest.raises(ValueError, match=f"^{paths[1]}: its x axis \\(9 points, 4000 .. 400\\) differs from"):
        lumira_tools.stack(folder, axis="exact")
    same = lumira_tools.stack([paths[0], paths[0]], axis="exact")["AB"].values
    assert same.tolist() == [[4, 3, 2, 1, 0]] * 2


def test_stack_collects_failures_or_raises_the_first(collection, tmp_path):
    pytest.importorskip("xarray")
    _, paths = collection
    missing, other, damaged = (str(tmp_path / name) for name in ("missing.0", "other.0", "damaged.0"))
    OpusFile().spectrum("TR", [1.0, 2.0], spectrum_params(2, 4000.0, 400.0)).write(other)
    OpusFile().spectrum("AB", [1.0, 2.0], {**spectrum_params(2, 4000.0, 400.0), "NPT": 2.5}).write(damaged)
    text = tmp_path / "notes.txt"
    text.write_text("named, so not passed over")
    stacked = lumira_tools.stack([paths[0], missing, other, str(text), damaged, paths[1]], "AB")
    assert stacked["path"].values.tolist() == [paths[0], paths[1]]
    failed = lumira_tools.failures(stacked)
    assert list(failed) == [missing, other, str(text), damaged]
    assert failed[missing] == "No such file or directory"
    assert failed[other] == "no AB block in the file (it holds TR/2D/NONE)"
    assert failed[str(text)] == "not an OPUS file"
    with pytest.raises(FileNotFoundError, match="missing.0"):
        lumira_tools.stack([paths[0], missing, other], "AB", errors="raise")
    # The damaged file's error as read_file gives it: the file named once, the reader's TypeError its cause.
    with pytest.raises(lumira_tools.DamagedFileError, match=f"^{damaged}: AB/2D/NONE: TypeError") as raised:
        lumira_tools.stack([paths[0], damaged], errors="raise")
    assert raised.value.path == damaged and type(raised.value.__cause__) is TypeError
    # Without a block, the block most files offer; a file offering another is left out, or raises.
    assert lumira_tools.failures(lumira_tools.stack([other, paths[0], paths[1]])) == {
        other: "no AB/2D/NONE block in the file (it holds TR/2D/NONE)"}
    with pytest.raises(lumira_tools.NoSuchBlockError, match=f"^{other}: no AB/2D/NONE block in the file"):
        lumira_tools.stack([other, paths[0], paths[1]], errors="raise")


def test_a_3d_block_among_the_files_is_left_out_of_a_stack_and_kept_in_metadata(collection):
    pytest.importorskip("xarray")
    folder, paths = collection
    series = series_file(folder / "d.0")
    assert lumira_tools.failures(lumira_tools.stack(folder)) == {series: "a series (AB/3D/NONE), not a single spectrum"}
    with pytest.raises(lumira_tools.NotASpectrumError, match=f"^{series}: a series \\(AB/3D/NONE\\)"):
        lumira_tools.stack(folder, errors="raise")
    with pytest.raises(lumira_tools.NotASpectrumError, match="AB/3D names 3D blocks"):
        lumira_tools.stack(folder, "AB/3D")
    assert lumira_tools.metadata(folder)["block"].tolist() == ["AB/2D/NONE"] * 3 + ["AB/3D/NONE"]


def test_metadata_has_a_row_per_file_and_a_column_per_parameter(collection, tmp_path):
    pytest.importorskip("pandas")
    _, paths = collection
    missing = str(tmp_path / "missing.0")
    table = lumira_tools.metadata(paths + [missing])
    assert list(table.columns[:3]) == ["path", "time", "block"] and table["path"].tolist() == paths
    assert table["NPT"].tolist() == [5, 9, 6] and table["SNM"].tolist() == ["first", "", "rising"]
    # UTC as the stack holds it: datetime64 without a zone
    assert table["time"].dt.tz is None and table["time"].tolist()[0] == datetime.datetime(2019, 5, 3, 17, 34, 44)
    assert table["time"].isna().tolist() == [False, True, True]
    assert list(lumira_tools.failures(table)) == [missing]
    chosen = lumira_tools.metadata(paths, params=["snm", "NPT", "RES"])
    assert list(chosen.columns) == ["path", "time", "block", "SNM", "NPT", "RES"] and chosen["RES"].isna().all()
    with pytest.raises(ValueError, match="none of the files could be read"):
        lumira_tools.metadata([missing])


# --- export --stack and plot ------------------------------------------------------------------------------


def read_back(path):
    """(paths, times, values, axis) of a stack written to CSV, NetCDF or Parquet."""
    if path.suffix == ".nc":
        xr = pytest.importorskip("xarray")
        with xr.open_dataset(path) as stored:
            times = [str(t)[:26] + "+00:00" if not np.isnat(t) else "" for t in stored["time"].values]
            return (stored["path"].values.tolist(), times, stored["AB"].values, stored["wavenumber"].values)
    if path.suffix == ".parquet":
        table = pytest.importorskip("pyarrow.parquet").read_table(path).to_pandas()
        times = ["" if t is None or t != t else t.isoformat(timespec="microseconds") for t in table["time"]]
        rows, names = table, list(table.columns)
        return (rows["path"].tolist(), times, rows[names[3:]].to_numpy(np.float32), np.array(names[3:], float))
    with open(path, newline="", encoding="utf-8") as stored:
        header, *rows = list(csv.reader(stored))
    return ([row[0] for row in rows], [row[1] for row in rows],
            np.array([[float(cell) for cell in row[3:]] for row in rows], np.float32), np.array(header[3:], float))


@pytest.mark.parametrize("suffix", [".csv", ".nc", ".parquet"])
def test_export_stack_round_trip(collection, tmp_path, capsys, suffix):
    pytest.importorskip("xarray")
    if suffix == ".nc":
        pytest.importorskip("netCDF4")
    folder, paths = collection
    (folder / "cut.0").write_bytes(short_spectrum())
    out = tmp_path / f"table{suffix}"
    assert main(["export", str(folder), "--stack", "--axis", "union", "-o", str(out), "--json"]) == 1
    said = capsys.readouterr()
    assert said.err == f"lumira: {folder / 'cut.0'}: {cut_short(short_spectrum(), 12)}\n"
    assert json.loads(said.out)["files"] == 3 and os.listdir(tmp_path) == ["collection", out.name]
    written = lumira_tools.stack(paths, axis="union")
    stored_paths, times, values, axis = read_back(out)
    assert stored_paths == paths and times == ["2019-05-03T17:34:44.000000+00:00", "", ""]
    assert np.array_equal(axis, written["wavenumber"].values)
    assert np.array_equal(values, written["AB"].values, equal_nan=True) and values.dtype == np.float32


def test_plot_overlays_the_spectra_of_several_files(collection, tmp_path):
    pytest.importorskip("matplotlib")
    from lumira_tools.plot import figure, overlay
    from test_tools_output import assert_plausible_picture

    _, paths = collection
    spectra = [(os.path.basename(path), lumira_tools.read(path)) for path in paths]
    ax = overlay(spectra, xlim=(1000, 3000), ylim=(0, 2)).axes[0]
    assert [text.get_text() for text in ax.get_legend().get_texts()] == ["a.0", "b.0", "c.0"]
    assert [line.get_xdata().tolist() for line in ax.get_lines()] == [s.x.tolist() for _, s in spectra]
    assert ax.get_xlim() == (3000, 1000) and ax.get_ylim() == (0, 2)  # wavenumbers still run from high to low
    assert figure(spectra[0][1], xlim=(1000, 3000)).axes[0].get_xlim() == (3000, 1000)
    out = tmp_path / "overlay.png"
    assert main(["plot", *paths, "-o", str(out)]) == 0
    assert_plausible_picture(out, 800, 450)
    assert main(["plot", paths[0], series_file(tmp_path / "series.0"), "-o", str(tmp_path / "no.png")]) == 1
    assert not (tmp_path / "no.png").exists()
