"""JCAMP-DX export, read back with an independent reader (the `jcamp` package)."""

import contextlib
import datetime
import io
import os
import re

import numpy as np
import pytest

import lumira
import lumira_tools
from lumira_tools.cli import main
from lumira_tools.export import ExportError, export, write_jcamp, write_jcamp_blocks
from opusbuilder import OpusFile, spectrum_params
from tool_results import THREE_D

jcamp = pytest.importorskip("jcamp")

SAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "data",
                      "film_absorbance.0")
RNG = np.random.default_rng(21)


def spectrum(y, first=4000.0, last=400.0, data_type="AB", **parameters):
    y = np.asarray(y, np.float32)
    return lumira.SingleDataReturn(
        y=y, x=np.linspace(first, last, y.size), dimension="2D", dataType=data_type, deriv="NONE", minY=0.0,
        maxY=1.0, parameters={"NPT": y.size, "FXV": first, "LXV": last, "DXU": "WN", **parameters})


def read_back(path):
    """The reader's dictionary; its stdout (where it reports failed X- and Y-checks) must stay empty."""
    said = io.StringIO()
    with contextlib.redirect_stdout(said):
        found = jcamp.readfile(str(path))
    assert said.getvalue() == ""
    return found


def assert_same_spectrum(found, result):
    """x exactly (FIRSTX, LASTX and NPOINTS are the axis), y within the half of YFACTOR the file states."""
    assert np.array_equal(found["x"], result.x)
    assert found["y"].size == result.y.size
    bound = found["yfactor"] / 2 * (1 + 1e-9)
    assert np.abs(found["y"] - result.y.astype(np.float64)).max() <= bound


VALUES = {
    "noise around zero": RNG.normal(size=700) * 1e-3,
    "all zero": np.zeros(40),
    "runs longer than nine": np.repeat([1.0, 2.0, 2.0, -3.5], 31),
    "huge": RNG.normal(size=300) * 3e30,
    "tiny": RNG.normal(size=300) * 1e-30,
    "two points": [1.0, -1.0],
    "steps and plateaus": np.concatenate([np.zeros(25), np.linspace(0, 1, 50), np.ones(20), [-7.0]]),
}


@pytest.mark.parametrize("compressed", [True, False], ids=["difdup", "plain"])
@pytest.mark.parametrize("name", sorted(VALUES))
def test_values_read_back_within_the_stated_precision(tmp_path, name, compressed):
    result = spectrum(VALUES[name], SNM=name)
    out = tmp_path / "x.jdx"
    write_jcamp(result, out, compressed=compressed)
    found = read_back(out)
    assert_same_spectrum(found, result)
    assert found["title"] == name and found["npoints"] == result.y.size
    assert all(len(line) <= 80 for line in out.read_text(encoding="utf-8").splitlines())


@pytest.mark.parametrize("first, last, dxu, units", [
    (400.0, 4000.0, "WN", "1/CM"),          # a rising axis
    (2.5, 25.0, "MI", "MICROMETERS"),
    (0.0, 8191.0, "PNT", "ARBITRARY UNITS"),  # points: whole numbers, XFACTOR 1
    (-150.0, 3200.0, "WN", "1/CM"),         # negative x at the start of the lines
])
def test_axes_of_every_direction_and_unit(tmp_path, first, last, dxu, units):
    result = spectrum(RNG.normal(size=8192 if dxu == "PNT" else 900), first, last, DXU=dxu)
    write_jcamp(result, tmp_path / "x.dx")
    found = read_back(tmp_path / "x.dx")
    assert_same_spectrum(found, result)
    assert found["xunits"] == units
    if dxu == "PNT":
        assert found["xfactor"] == 1


def test_the_sample_through_the_command(tmp_path, capsys):
    out = tmp_path / "film.jdx"
    assert main(["export", SAMPLE, "-o", str(out)]) == 0
    found = read_back(out)
    assert_same_spectrum(found, lumira_tools.read(SAMPLE))
    assert (found["title"], found["data type"], found["xunits"], found["yunits"]) == (
        "Polymer film, 25 µm", "INFRARED SPECTRUM", "1/CM", "ABSORBANCE")
    assert found["$block"] == "AB/2D/NONE" and found["$res"] == 4 and found["resolution"] == 4
    # The acquisition time in UTC; this reader keeps a date with a fraction of a second as text.
    assert found["longdate"] == "2026/12/08 08:15:02.12 +0000"
    assert "wrote" in capsys.readouterr().out


def test_longdate_is_the_acquisition_instant(tmp_path):
    result = spectrum([1.0, 2.0, 3.0], DAT="03/05/2019", TIM="13:34:44 (GMT-4)")
    write_jcamp(result, tmp_path / "x.jdx")
    assert read_back(tmp_path / "x.jdx")["longdate"] == datetime.datetime(2019, 5, 3, 17, 34, 44,
                                                                          tzinfo=datetime.timezone.utc)


def test_texts_cannot_start_labels_or_comments(tmp_path):
    result = spectrum([1.0, 2.0, 3.0], SNM="film\r\n##END=\n$$ not a comment", CNM="a\tb")
    write_jcamp(result, tmp_path / "x.jdx")
    found = read_back(tmp_path / "x.jdx")
    assert found["title"] == "film  ##END= $ $ not a comment" and found["owner"] == "a b"
    assert_same_spectrum(found, result)


@pytest.mark.parametrize("result, message", [
    (spectrum([1.0, np.nan, 2.0]), "1 values that are not finite"),
    (spectrum([]), "no points"),
    (lumira.SingleDataReturn(y=np.ones(3, np.float32), x=np.array([1.0, 2.0, 5.0]), dimension="2D", dataType="AB",
                             deriv="NONE", minY=0.0, maxY=1.0, parameters={}), "not evenly spaced"),
] + [(make(), re.escape(f"(this block: {kind})")) for kind, make in sorted(THREE_D.items())])
def test_what_jcamp_cannot_hold_is_refused_and_nothing_written(tmp_path, result, message):
    (tmp_path / "old.jdx").write_text("old")
    with pytest.raises(ExportError, match=message):
        export(result, tmp_path / "old.jdx")
    assert os.listdir(tmp_path) == ["old.jdx"] and (tmp_path / "old.jdx").read_text() == "old"


# --- compound files and one file per spectrum --------------------------------------------------------------


def spectrum_file(path, npt, first, last, **params):
    values = np.sin(np.linspace(0, 6, npt)).astype(np.float32)
    OpusFile().spectrum("AB", values.tolist(), spectrum_params(npt, first, last, **params)).write(path)
    return str(path)


@pytest.fixture
def folder(tmp_path):
    """Spectra on three axes, two of one name in different folders, and a series, which is no spectrum."""
    root = tmp_path / "spectra"
    (root / "day1").mkdir(parents=True)
    (root / "day2").mkdir()
    paths = [spectrum_file(root / "day1" / "film.0", 900, 3999.0, 400.0, SNM="first film"),
             spectrum_file(root / "day2" / "film.0", 450, 4000.0, 600.0),
             spectrum_file(root / "day2" / "other.1", 1200, 7000.0, 350.0, SNM="other")]
    return root, paths


def test_stack_to_one_compound_file_keeps_each_axis(folder, tmp_path, capsys):
    root, paths = folder
    out = tmp_path / "all.jdx"
    assert main(["export", str(root), "--stack", "-o", str(out)]) == 0
    found = read_back(out)
    assert (found["data type"], found["blocks"], found["title"]) == ("LINK", 3, "all")
    assert [child["title"] for child in found["children"]] == ["first film", "film.0", "other"]
    for child, path in zip(found["children"], paths):
        assert_same_spectrum(child, lumira_tools.read(path))
    assert capsys.readouterr().out.startswith(f"wrote {out} (AB/2D/NONE, 3 spectra, ")


def test_stack_to_a_folder_writes_one_file_per_spectrum(folder, tmp_path, capsys):
    root, paths = folder
    out = tmp_path / "out"
    assert main(["export", *paths, "--stack", "-o", f"{out}{os.sep}"]) == 0
    written = sorted(os.path.relpath(os.path.join(d, n), out) for d, _, names in os.walk(out) for n in names)
    assert written == [os.path.join("day1", "film.0.jdx"), os.path.join("day2", "film.0.jdx"),
                       os.path.join("day2", "other.1.jdx")]
    for name, path in zip(written, paths):
        assert_same_spectrum(read_back(out / name), lumira_tools.read(path))
    assert capsys.readouterr().out.startswith("wrote 3 JCAMP-DX files (AB/2D/NONE, 3 spectra, ")


def test_stack_leaves_out_what_cannot_be_written_and_says_so(folder, tmp_path, capsys):
    root, paths = folder
    bad = root / "day2" / "nan.0"
    OpusFile().spectrum("AB", [1.0, float("nan"), 2.0], spectrum_params(3, 4000.0, 400.0)).write(bad)
    out = tmp_path / "all.jdx"
    assert main(["export", str(root), "--stack", "-o", str(out)]) == 1
    assert f"lumira: {bad}: the spectrum holds 1 values that are not finite" in capsys.readouterr().err
    assert read_back(out)["blocks"] == 3


def test_compound_from_python_keeps_the_titles_given(tmp_path):
    pairs = [("one", spectrum(RNG.normal(size=50))), ("two", spectrum(RNG.normal(size=70), 1000.0, 3000.0))]
    write_jcamp_blocks(pairs, tmp_path / "pair.jdx", title="a pair", compressed=False)
    found = read_back(tmp_path / "pair.jdx")
    assert found["title"] == "a pair" and [c["title"] for c in found["children"]] == ["one", "two"]
    for child, (_, result) in zip(found["children"], pairs):
        assert_same_spectrum(child, result)


@pytest.mark.parametrize("args, message", [
    (["--axis", "union"], "--axis and --x-unit belong to tables"),
    (["--x-unit", "nm"], "--axis and --x-unit belong to tables"),
])
def test_table_options_are_refused_for_jcamp(folder, tmp_path, capsys, args, message):
    root, _ = folder
    assert main(["export", str(root), "--stack", "-o", str(tmp_path / "all.jdx"), *args]) == 2
    assert message in capsys.readouterr().err


def test_a_block_keeps_the_labels_of_its_own_measurement(write, tmp_path):
    # getOpusData merges the background's acquisition settings into the absorbance; its groups do not.
    from instrument_files import file_bytes, instrument_file
    opened = lumira_tools.read_file(write(file_bytes(instrument_file())))
    absorbance = opened.blocks[-1]  # the compensated absorbance
    assert "NSR" in absorbance.parameters and "NSS" not in absorbance.parameters
    for target, pairs in ((tmp_path / "one.jdx", None), (tmp_path / "all.jdx", [("ab", absorbance)])):
        if pairs is None:
            write_jcamp(absorbance, target)
        else:
            write_jcamp_blocks(pairs, target)
        labels = target.read_text(encoding="utf-8")
        assert "##$NSS=32" in labels and "##$NSR=" not in labels and "##$APF=B3" in labels
