"""Descriptions of parameter codes: every code instrument files and the readers use, with units and values."""

import math

import pytest

import lumira
import lumira_tools
from lumira_tools._describe import KINDS

# The codes real instrument files hold (written out here, so a code that goes missing from the data is caught).
INSTRUMENT_FILE_CODES = """
ABP ACC ADC ADT AG2 AN1 AN2 APF APG APR APT AQM ARG ARS ASG ASS BBW BFW BLD BMS CAM CFE CHN CHX CNM COR CPG CPY CRM
CRR CSF DAQ DAT DEL DLY DPF DPM DTC DUR DXU EXP FC1 FC2 FD0 FD1 FD2 FD3 FD4 FD5 FE1 FE2 FE3 FF2 FOC FXV GBW GFW HFL
HFQ HFW HPF HUA HUM I01 I02 I03 I04 I05 I06 I07 I08 I09 I10 I11 I12 IFN INC INE INM INP INS IST LCT LFL LFQ LFW LPF
LPV LWN LXV MAX MAY MID MNY MOP MVD MXY NFL NLA NLB NLI NOF NPT NSN NSR NSS OPF P2A P2K P2L P2R PGN PGR PHR PHZ PID
PKA PKL PLF PRA PRL PRS RCH RDX RDY RES RG2 RGN RMD RPO RSN SFM SG2 SGN SNM SON SOT SPO SPZ SRC SRN SRT SSM SSP STR
T01 T02 T03 T04 T05 T06 T07 T08 T09 T10 T11 T12 T13 TCL TDL TIM TPX TSC UID VEL VSN WND XPP ZFF
""".split()
MAP_AND_SERIES_CODES = ["AOX", "AOY", "DDX", "DDY", "NPX", "NPY", "ZTX"]
RECORD_FIELD_CODES = ["NSS", "NSR", "NSN", "NPT", "GFW", "GBW", "BFW", "BBW", "HFL", "LFL", "HFF", "LFF", "FXV", "LXV",
                      "MNY", "MXY", "CSF", "PKA", "PRA", "PKL", "PRL", "SRT", "ERT"]
ALL_CODES = sorted(set(INSTRUMENT_FILE_CODES) | set(MAP_AND_SERIES_CODES) | set(RECORD_FIELD_CODES)
                   | set(lumira.paramDict))

UNITS = {
    "ABP": "laser fringes (x2)", "DUR": "s", "ERT": "s", "HFL": "cm-1", "HFQ": "cm-1", "HFW": "cm-1", "HUM": "%",
    "LFL": "cm-1", "LFQ": "cm-1", "LFW": "cm-1", "LPV": "cm-1", "LWN": "cm-1", "NFL": "points", "P2K": "points",
    "P2L": "points", "PHR": "cm-1", "PKL": "points", "PRL": "points", "PRS": "hPa", "RES": "cm-1", "SRT": "s",
    "TSC": "°C",
}
UNCERTAIN = ["ERT", "FF2", "HFF", "HFQ", "HFW", "IFN", "LFF", "LFQ", "LFW", "NOF", "PID", "RDX", "TPX"]


def test_every_code_is_described_and_nothing_else():
    assert len(INSTRUMENT_FILE_CODES) == 169
    described = lumira_tools._describe.descriptions()
    assert sorted(described) == ALL_CODES
    for code in ALL_CODES:
        found = described[code]
        assert found.code == code and found.meaning and found.type in ("int", "float", "text")
        assert found.kinds and set(found.kinds) <= set(KINDS), code


def test_record_fields_are_marked_as_such():
    assert {code for code, found in lumira_tools._describe.descriptions().items()
            if "3D record" in found.kinds} == set(RECORD_FIELD_CODES)


def test_units_are_given_where_the_files_imply_one_and_only_there():
    units = {code: lumira_tools.describe(code).unit for code in ALL_CODES}
    assert {code: unit for code, unit in units.items() if unit is not None} == UNITS
    assert [code for code in ALL_CODES if lumira_tools.describe(code).unit_from] == ["FXV", "LXV"]


def test_presumed_meanings_are_marked():
    assert sorted(code for code in ALL_CODES if lumira_tools.describe(code).uncertain) == UNCERTAIN


@pytest.mark.parametrize("code, value, meaning", [
    ("APF", "B3", "three-term window of the Blackman-Harris family"),
    ("PHZ", "ML", "Mertz"),
    ("PHZ", " PW ", "power spectrum (magnitude)"),
    ("AQM", "DD", "double-sided, forward and backward (uncertain)"),
    ("DXU", "pnt", "point index"),
    ("NLI", 1, "on (presumably)"),
    ("DPF", 1, "32-bit floating point"),
    ("CPG", 65001, "UTF-8"),
    ("NSN", -1, "not set"),
    ("PGN", "-1", "automatic (presumably)"),
    ("ZFF", "2", "factor 2 (interferogram doubled in length with zeros)"),
    ("APF", "XX", None),         # a value nobody has described
    ("NSN", 12, None),           # a count, not a marker
    ("NLI", 1.0, None),          # a float is no enumerated value
    ("RES", 4.0, None),          # not enumerated at all
])
def test_enumerated_values_decode(code, value, meaning):
    assert lumira_tools.describe(code).value_meaning(value) == meaning


@pytest.mark.parametrize("seconds, text", [
    (1796717702.12, "2026-12-08 08:15:02.120 UTC"),
    (0.0, "not set"),
    (-5.0, None),
    (math.inf, None),
    (1e300, None),
    ("1796717702", None),
])
def test_epoch_times_read_as_utc(seconds, text):
    assert lumira_tools.describe("SRT").value_meaning(seconds) == text


@pytest.mark.parametrize("code", ["XYZ", "", "NP", 17])
def test_an_unknown_code_is_a_key_error(code):
    with pytest.raises(KeyError, match="no description of the parameter code"):
        lumira_tools.describe(code)


def test_parameter_table():
    pandas = pytest.importorskip("pandas")
    table = lumira_tools.parameter_table()
    assert sorted(table.index) == ALL_CODES
    assert list(table.columns) == ["meaning", "unit", "unit_from", "type", "kinds", "values", "epoch", "uncertain"]
    assert table.loc["SRT", "kinds"] == "instrument, 3D record" and table.loc["SRT", "epoch"]
    assert table.loc["APF", "values"]["NBM"] == "Norton-Beer window, medium"
    assert table.loc["LWN", "unit"] == "cm-1" and pandas.isna(table.loc["CSF", "unit"])
    assert table[table.kinds.str.contains("optics")].index.tolist()[:3] == ["ACC", "ADC", "AN1"]
