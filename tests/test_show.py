"""`lumira show`: parameters grouped by the block they come from, with units, meanings and decoded values."""

import json
import math

import pytest

import lumira_tools
from instrument_files import OPTICS, SAMPLE, file_bytes, instrument_file, params_word
from lumira_tools.cli import main
from lumira_tools.cli._show import VALUE_WIDTH, Group, as_json, text_lines
from opusbuilder import OpusFile, param_block, spectrum_params, text_record

DATA = {"DPF": 1, "NPT": 3, "FXV": 4000.0, "LXV": 400.0, "DXU": "WN", "DAT": "08/12/2026",
        "TIM": "09:15:02.120 (GMT+1)"}
INSTRUMENT = {"LWN": 15798.0, "SRT": 1796717702.12, "XYZ": 7}
FT = {"APF": "B3", "PHZ": "ML", "ZFF": "2"}
GROUPS = [Group("FT", "sample", FT), Group("paramType 9", None, {"ABC": 1}), Group("instrument", "reference", INSTRUMENT),
          Group("data", "sample", DATA)]


def rows(lines):
    """code -> the cells of its row."""
    return {line.split()[0]: line.split(None, 2)[1:] for line in lines if line.startswith("    ") and
            not line.startswith("    CODE")}


def test_groups_come_in_the_order_of_the_work_with_their_side():
    lines = text_lines(GROUPS, raw=False)
    headings = [line.strip() for line in lines if line.startswith("  ") and not line.startswith("    ")]
    assert headings == ["data (sample)", "instrument (reference)", "FT (sample)", "paramType 9"]
    assert lines[0].split() == ["CODE", "VALUE", "UNIT", "MEANING"]
    assert lines[2].startswith("    DPF ") and lines[-1].startswith("    ABC ")


def test_columns_line_up_across_groups():
    lines = [line for line in text_lines(GROUPS, raw=False) if line.startswith("    ")]
    assert len({line.index(" cm-1 ") for line in lines if " cm-1 " in line}) == 1
    assert len({line.index("1796717702.12") for line in lines if "1796717702.12" in line}) == 1


@pytest.mark.parametrize("code, shown", [
    ("DPF", "1 format of the data block's values: 32-bit floating point"),
    ("FXV", "4000.0 cm-1 x value of the first point"),
    ("LWN", "15798.0 cm-1 wavenumber of the reference laser"),
    ("APF", "B3 apodization function: three-term window of the Blackman-Harris family"),
    ("PHZ", "ML phase correction: Mertz"),
    ("SRT", "1796717702.12 s start time of the scan, seconds since 1970 (UTC in most files, the local clock in some): "
            "2026-12-08 08:15:02.120 UTC"),
    ("TIM", "09:15:02.120 (GMT+1) time of the measurement on the local clock, with the clock's offset from UTC: "
            "2026-12-08 08:15:02.120 UTC"),
    ("XYZ", "7"),                   # a code nobody has described
])
def test_rows_say_unit_meaning_and_what_the_value_stands_for(code, shown):
    line = next(line for line in text_lines(GROUPS, raw=False) if line.split()[0] == code)
    assert " ".join(line.split()) == f"{code} {shown}"


@pytest.mark.parametrize("dxu, unit", [("WN", "cm-1"), ("PNT", "points"), (None, None), ("QQ", "qq")])
def test_the_x_range_is_in_the_unit_dxu_names(dxu, unit):
    data = {"FXV": 1.0} if dxu is None else {"DXU": dxu, "FXV": 1.0}
    parameters = as_json([Group("data", None, data)], raw=False)[0]["parameters"]
    assert next(row for row in parameters if row["code"] == "FXV")["unit"] == unit


def test_raw_shows_the_stored_values_alone():
    lines = text_lines(GROUPS, raw=True)
    assert lines[0].split() == ["CODE", "VALUE"]
    assert rows(lines)["APF"] == ["B3"] and rows(lines)["SRT"] == ["1796717702.12"]
    assert rows(lines)["TIM"] == ["09:15:02.120", "(GMT+1)"]
    assert all("UTC" not in line and "window" not in line for line in lines)


def test_json_gives_the_groups_with_every_part_of_a_row():
    shown = as_json(GROUPS, raw=False)
    assert [(group["kind"], group["side"]) for group in shown] == [
        ("data", "sample"), ("instrument", "reference"), ("FT", "sample"), ("paramType 9", None)]
    assert shown[2]["parameters"][0] == {"code": "APF", "value": "B3", "unit": None, "meaning": "apodization function",
                                         "value_meaning": "three-term window of the Blackman-Harris family"}
    assert shown[1]["parameters"][2] == {"code": "XYZ", "value": 7, "unit": None, "meaning": None,
                                         "value_meaning": None}
    assert as_json(GROUPS, raw=True)[2]["parameters"][0] == {"code": "APF", "value": "B3"}


def test_uncertain_meanings_say_so():
    line = text_lines([Group("FT", None, {"HFQ": 7898.0})], raw=False)[-1]
    assert line.endswith("upper x limit kept in the file after the transform (uncertain)")


@pytest.mark.parametrize("value, shown", [
    ("two\nlines", "two\\nlines"), ("tab\there", "tab\\there"), ("bell\x07", "bell\\x07"), ("µm ‘quoted’", "µm ‘quoted’"),
    (float("-inf"), "-inf"),
])
def test_a_value_never_breaks_the_table(value, shown):
    lines = text_lines([Group("sample origin", "sample", {"SNM": value, "CNM": "lab"})], raw=True)
    assert len(lines) == 4 and lines[2].split(None, 1)[1] == shown


def test_a_long_value_runs_on_without_widening_its_column():
    long = "C:/" + "x" * (VALUE_WIDTH + 10)
    lines = text_lines([Group("sample origin", "sample", {"XPP": long, "CNM": "lab", "SFM": "film"})], raw=False)
    assert lines[2].split(None, 2) == ["XPP", long, "folder of the experiment file"]
    assert lines[3].index("operator's name") == lines[0].index("MEANING")


@pytest.mark.parametrize("raw", [[], ["--raw"]])
def test_json_output_stays_json_for_numbers_that_are_not(tmp_path, capsys, raw):
    path = OpusFile().spectrum("AB", [1, 2, 3], spectrum_params(3, 4000.0, 400.0, MXY=math.inf, RES=math.nan)).write(
        tmp_path / "nan.0")
    assert main(["show", "--json", path] + raw) == 0
    text = capsys.readouterr().out
    json.loads(text, parse_constant=lambda constant: pytest.fail(f"{constant} is not JSON"))
    assert "null" in text


def shown(capsys, *args):
    assert main(["show", *args]) == 0
    return capsys.readouterr().out


def headings(text):
    return [line.strip() for line in text.splitlines() if line.startswith("  ") and not line.startswith("    ")]


@pytest.mark.parametrize("block, side, own, other", [
    ("ssc", "sample", ["NSS", "sample bench", "B3"], ["NSR", "reference bench", "NBM"]),
    ("rsc", "reference", ["NSR", "reference bench", "NBM"], ["NSS", "sample bench", "B3"]),
    ("#3", "sample", ["NSS", "sample bench", "B3"], ["NSR", "reference bench", "NBM"]),   # the compensated result
])
def test_a_block_shows_its_own_measurements_settings(write, capsys, block, side, own, other):
    text = shown(capsys, write(file_bytes(instrument_file(info=True))), block)
    data = "data" if block == "#3" else f"data ({side})"
    assert headings(text) == [data] + [f"{kind} ({side})" for kind in ("instrument", "acquisition", "FT", "optics")] \
        + ["sample origin (sample)", "info"]
    words = f" {' '.join(text.split())} "
    assert all(f" {value} " in words for value in own) and not any(f" {value} " in words for value in other)


def test_the_header_says_which_twin_it_is(write, capsys):
    path = write(file_bytes(instrument_file()))
    assert "(spectrum, before compensation, 26 parameters)" in shown(capsys, path, "#2").splitlines()[0]
    assert "(spectrum, compensated, 26 parameters)" in shown(capsys, path, "#3").splitlines()[0]


def test_a_file_of_one_reference_measurement(write, capsys):
    text = shown(capsys, write(file_bytes(instrument_file(sample=False, twins=False))), "rsc")
    assert "acquisition (reference)" in headings(text) and "NSR" in text.split()


def test_raw_on_a_file(write, capsys):
    text = shown(capsys, write(file_bytes(instrument_file())), "ssc", "--raw")
    assert text.splitlines()[1].split() == ["CODE", "VALUE"]
    assert "FT (sample)" in headings(text) and "B3" in text.split() and "window" not in text


def test_json_names_each_group_by_its_parameter_block(write, capsys):
    path = write(file_bytes(instrument_file()))
    document = json.loads(shown(capsys, "--json", path, "rsc"))
    blocks = {block.offset: block for block in lumira_tools.read_file(path, data=False).parameter_blocks}
    assert [(group["kind"], group["side"]) for group in document["groups"]] == [
        (blocks[group["offset"]].kind, blocks[group["offset"]].side) for group in document["groups"]]
    assert document["groups"][0]["side"] == "reference" and document["unreadable"] == []
    apf = next(row for group in document["groups"] for row in group["parameters"] if row["code"] == "APF")
    assert apf == {"code": "APF", "value": "NBM", "unit": None, "meaning": "apodization function",
                   "value_meaning": "Norton-Beer window, medium"}


def test_a_parameter_block_that_cannot_be_read_is_named(write, capsys):
    f = instrument_file()
    f.add(params_word(OPTICS, SAMPLE, early=False), param_block({"BMS": "KBr"})[:-4]
          + text_record("XYZ", "x", type_code=9) + b"END\0")
    path = write(file_bytes(f))
    text = shown(capsys, path, "ssc")
    assert "optics (sample)" not in headings(text)
    assert "  optics (sample): could not be read (" in text
    assert "could not be read" not in shown(capsys, path, "rsc")
