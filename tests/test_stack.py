"""Acquisition times, many files as one table (stack, metadata, export --stack) and plots of several files."""

import datetime

import numpy as np
import pytest

import lumira_tools
from opusbuilder import OpusFile, spectrum_params
from tool_results import series_file

SAMPLE = "examples/data/film_absorbance.0"
UTC = datetime.timezone.utc


@pytest.mark.parametrize("date, time, expected", [
    ("03/05/2019", "13:34:44.641 (GMT-4)", datetime.datetime(2019, 5, 3, 17, 34, 44, 641000, UTC)),
    ("2012/11/09", "11:45:34 (GMT-6)", datetime.datetime(2012, 11, 9, 17, 45, 34, 0, UTC)),
    ("03/05/2019", "12:28:27.332 (GMT+1)", datetime.datetime(2019, 5, 3, 11, 28, 27, 332000, UTC)),
    ("01/01/2020", "02:00:00 (GMT+5:30)", datetime.datetime(2019, 12, 31, 20, 30, 0, 0, UTC)),
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
    assert stacked["path"].values.tolist() == paths and stacked.attrs["failed"] == {}
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
    missing, other = str(tmp_path / "missing.0"), str(tmp_path / "other.0")
    OpusFile().spectrum("TR", [1.0, 2.0], spectrum_params(2, 4000.0, 400.0)).write(other)
    text = tmp_path / "notes.txt"
    text.write_text("named, so not passed over")
    stacked = lumira_tools.stack([paths[0], missing, other, str(text), paths[1]], "AB")
    assert stacked["path"].values.tolist() == [paths[0], paths[1]]
    failed = stacked.attrs["failed"]
    assert list(failed) == [missing, other, str(text)]
    assert isinstance(failed[missing], FileNotFoundError) and "no AB block in the file" in str(failed[other])
    assert isinstance(failed[str(text)], lumira_tools.NotOpusFileError)
    with pytest.raises(FileNotFoundError, match="missing.0"):
        lumira_tools.stack([paths[0], missing, other], "AB", errors="raise")
    with pytest.raises(ValueError, match=f"^{other}: holds TR/2D/NONE where {paths[0]} holds AB/2D/NONE"):
        lumira_tools.stack([paths[0], other])


@pytest.mark.parametrize("function", ["stack", "metadata"])
def test_a_3d_block_among_the_files_is_refused_naming_the_file(collection, function):
    pytest.importorskip("xarray")
    folder, paths = collection
    series = series_file(folder / "d.0")
    with pytest.raises(lumira_tools.NotASpectrumError, match=f"^{series}: AB/3D/NONE is a 3D block \\(series\\)"):
        getattr(lumira_tools, function)(folder)


def test_metadata_has_a_row_per_file_and_a_column_per_parameter(collection, tmp_path):
    pytest.importorskip("pandas")
    _, paths = collection
    missing = str(tmp_path / "missing.0")
    table = lumira_tools.metadata(paths + [missing])
    assert list(table.columns[:2]) == ["path", "time"] and table["path"].tolist() == paths
    assert table["NPT"].tolist() == [5, 9, 6] and table["SNM"].fillna("").tolist() == ["first", "", "rising"]
    assert str(table["time"].dt.tz) == "UTC" and table["time"].isna().tolist() == [False, True, True]
    assert list(table.attrs["failed"]) == [missing]
