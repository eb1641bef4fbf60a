"""Every parameter block kept apart (OpusFile.parameter_blocks), each data block's parameters grouped by the
blocks of its own measurement (Block.groups), and the flat dictionary made of them (flat_parameters)."""

import json
import math
import pickle
import struct

import numpy as np
import pytest

import lumira
import lumira_tools
from instrument_files import OPTICS, SAMPLE, file_bytes, instrument_file, params_word
from lumira_tools._parameters import flat_values
from lumira_tools.export import export
from opusbuilder import param_block, text_record

# What each measurement's blocks say (see instrument_files.side_parameters).
SAMPLE_SIDE = {"instrument": "sample bench", "acquisition": "NSS", "FT": "B3", "optics": "sample compartment"}
REFERENCE_SIDE = {"instrument": "reference bench", "acquisition": "NSR", "FT": "NBM",
                  "optics": "reference compartment"}


def opened(write, **layout) -> lumira_tools.OpusFile:
    return lumira_tools.read_file(write(file_bytes(instrument_file(**layout))))


def side_of(groups: dict) -> dict:
    """What a block's groups say about the measurement they come from."""
    scans = [code for code in ("NSS", "NSR") if code in groups["acquisition"]]
    return {"instrument": groups["instrument"]["INS"], "acquisition": scans[0], "FT": groups["FT"]["APF"],
            "optics": groups["optics"]["CHN"]}


def test_every_parameter_block_in_directory_order_with_its_side(write):
    found = opened(write, info=True)
    assert [(block.kind, block.side) for block in found.parameter_blocks] == [
        ("data", "sample"), ("data", "reference"),
        ("instrument", "reference"), ("acquisition", "sample"), ("acquisition", "reference"),
        ("FT", "sample"), ("FT", "reference"), ("optics", "sample"), ("optics", "reference"),
        ("instrument", "sample"), ("sample origin", "sample"),
        ("data", None), ("data", None), ("info", None),
    ]
    entries = found.entries
    for block in found.parameter_blocks:
        assert entries[block.entry].byteOffset == block.offset and block.error is None
    acquisition = [block.parameters for block in found.parameter_blocks if block.kind == "acquisition"]
    assert [sorted(p) for p in acquisition] == [["AQM", "COR", "NSS", "RES"], ["AQM", "COR", "NSR", "RES"]]
    # A text filling its field without a NUL is whole; one cut at its first NUL drops what follows.
    optics = next(block for block in found.parameter_blocks if block.kind == "optics")
    assert (acquisition[0]["COR"], optics.parameters["VEL"]) == ("0E2C", "7.5")


@pytest.mark.parametrize("layout, block, side", [
    ({}, "ssc", SAMPLE_SIDE),
    ({}, "rsc", REFERENCE_SIDE),
    ({}, "#2", SAMPLE_SIDE),  # the absorbance before compensation: a result takes the sample's settings
    ({}, "#3", SAMPLE_SIDE),
    ({"reference": False, "twins": False}, "ssc", SAMPLE_SIDE),
    # One measurement, a reference one: on side 0, and its own settings all the same.
    ({"sample": False, "twins": False}, "rsc", REFERENCE_SIDE),
])
def test_groups_come_from_the_blocks_own_measurement(write, layout, block, side):
    found = opened(write, **layout)[block]
    assert side_of(found.groups) == side
    assert found.groups["data"]["NPT"] == found.parameters["NPT"]
    assert found.groups["sample origin"] == {"SNM": "Polymer film", "CNM": "lab"}
    assert list(found.groups) == ["data", "instrument", "acquisition", "FT", "optics", "sample origin"]


def test_parameters_stay_what_getOpusData_merges(write):
    """The merge takes the last acquisition and FT blocks whatever their side: the reference's, beside the
    sample's instrument block. Block.parameters keeps exactly that."""
    found = opened(write)
    sample = found["ssc"]
    assert sample.parameters == lumira.getOpusData(found.path, ("SSC", "2D", "NONE")).parameters
    assert ("NSR" in sample.parameters, "NSS" in sample.parameters) == (True, False)
    assert sample.parameters["INS"] == "sample bench"


def test_a_kind_written_twice_on_a_side_counts_as_its_later_block(write):
    found = opened(write, duplicated=True, info=True)
    sample = found["ssc"]
    assert sample.groups["optics"] == {"BMS": "CaF2", "CHN": "later"}
    assert sample.groups["sample origin"]["SNM"] == "renamed"
    assert found["rsc"].groups["optics"]["CHN"] == "reference compartment"  # the other side is left as it was
    assert found["rsc"].groups["sample origin"]["SNM"] == "renamed"  # the sample's origin serves both sides
    assert [block.parameters["BMS"] for block in found.parameter_blocks
            if block.kind == "optics" and block.side == "sample"] == ["KBr", "CaF2"]
    info = found["ab"].groups["info"]
    assert (info["I01"], info["T01"]) == ("batch 7", "Text:Batch")


@pytest.mark.parametrize("groups, flat", [
    ({"data": {"NPT": 4}, "optics": {"CHN": "a"}}, {"NPT": 4, "CHN": "a"}),
    ({"instrument": {"CHN": "a", "X": 1}, "optics": {"CHN": "a"}}, {"CHN": "a", "X": 1}),
    ({"instrument": {"CHN": "a", "X": 1}, "optics": {"CHN": "b"}}, {"instrument.CHN": "a", "optics.CHN": "b", "X": 1}),
    ({"data": {"V": 1}, "FT": {"V": 1.0}}, {"data.V": 1, "FT.V": 1.0}),  # an int is not the float it equals
    ({"data": {"V": math.nan}, "FT": {"V": math.nan}}, {"V": math.nan}),
])
def test_flat_parameters_qualify_a_code_only_where_values_differ(groups, flat):
    made = lumira_tools.flat_parameters(groups)
    assert list(made) == list(flat)
    assert all(made[key] == value or (math.isnan(made[key]) and math.isnan(value)) for key, value in flat.items())
    # The columns of many files ask for some codes alone: each as the whole flattening gives it, or not at all.
    asked = list(dict.fromkeys([*flat, "CHN", "V", "optics.CHN", "FT.V", "data.NPT", "absent", "optics.absent"]))
    some = flat_values(groups, asked)
    assert list(some) == [code for code in asked if code in made]
    assert all(some[code] is made[code] for code in some)


def test_flat_parameters_of_a_block_keep_each_sides_own_scans(write):
    flat = lumira_tools.flat_parameters(opened(write)["rsc"])
    assert (flat["NSR"], "NSS" in flat, flat["CHN"], flat["SNM"]) == (16, False, "reference compartment",
                                                                       "Polymer film")


@pytest.mark.parametrize("damage", [
    text_record("XYZ", "x", type_code=9),  # a record of no known type
    b"\xffAB\0" + struct.pack("<hhi", 0, 2, 5),  # a name that is not UTF-8, found when the block is first read
])
def test_a_damaged_parameter_block_is_its_own_error(write, damage):
    """A damaged optics block: the optics block fails, every data block still reads, and the groups leave the
    optics out."""
    f = instrument_file()
    damaged = param_block({"BMS": "KBr"})[:-4] + damage + b"END\0"
    f.add(params_word(OPTICS, SAMPLE, early=False), damaged)
    found = lumira_tools.read_file(write(file_bytes(f)))
    assert all(block.ok and block.result is not None for block in found)
    failed = [block for block in found.parameter_blocks if block.error is not None]
    assert [(block.kind, block.side, type(block.error)) for block in failed] == [
        ("optics", "sample", lumira_tools.DamagedFileError)]
    assert failed[0].parameters is None and "optics (sample) parameters" in str(failed[0].error)
    assert "optics" not in found["ssc"].groups and found["rsc"].groups["optics"]["BMS"] == "KBr"


def test_a_parameter_block_cut_off_by_the_end_of_the_file(write):
    """Under strict, a block the end of the file cuts off makes the whole file damaged; read leniently, that
    block alone fails."""
    f = instrument_file(twins=False)
    f.params(params_word(OPTICS, SAMPLE, early=False), {"BMS": "CaF2", "LPF": 10.0})
    path = write(file_bytes(f)[:-6])  # into the last value
    with pytest.raises(lumira_tools.DamagedFileError, match="cut short"):
        lumira_tools.read_file(path)
    found = lumira_tools.read_file(path, strict=False)
    last = found.parameter_blocks[-1]
    assert isinstance(last.error, lumira_tools.DamagedFileError) and "before its END record" in str(last.error)
    # The later block counts, so the sample's optics are unknown: the earlier block's are not taken instead.
    assert found["ssc"].ok and "optics" not in found["ssc"].groups


def test_groups_and_parameter_blocks_survive_a_pickle(write):
    found = opened(write, info=True)
    again = pickle.loads(pickle.dumps(found.blocks))
    assert [block.groups for block in again] == [block.groups for block in found]
    assert pickle.loads(pickle.dumps(again[0])).groups == found[0].groups
    store = pickle.loads(pickle.dumps(found.blocks[0].parameter_store))
    assert lumira_tools._parameters.parameter_blocks(store, found.path) == found.parameter_blocks


def test_a_single_block_read_still_has_its_groups(write):
    path = write(file_bytes(instrument_file(info=True)))
    block = lumira_tools._file.read_block(path, "rsc", data=False)
    assert side_of(block.groups) == REFERENCE_SIDE and "info" in block.groups


def test_metadata_exports_and_xarray_take_the_parameters_of_the_blocks_own_measurement(write, tmp_path):
    pytest.importorskip("xarray")
    path = write(file_bytes(instrument_file(info=True)))
    table = lumira_tools.metadata([path], "rsc")
    assert (table["NSR"][0], "NSS" in table, table["CHN"][0], table["I01"][0]) == (
        16, False, "reference compartment", "batch 7")
    block = lumira_tools.read_file(path)["ssc"]
    labelled = lumira_tools.to_xarray(block)
    assert (labelled.attrs["NSS"], "NSR" in labelled.attrs, labelled.attrs["APF"]) == (32, False, "B3")
    assert lumira_tools.to_xarray(path, block="ssc").attrs == labelled.attrs
    assert "NSR" in lumira_tools.to_xarray(block.result).attrs  # a bare result keeps what getOpusData merged
    for suffix in (".npz", ".nc"):
        export(block, tmp_path / f"ssc{suffix}")
    with np.load(tmp_path / "ssc.npz", allow_pickle=False) as stored:
        assert json.loads(str(stored["parameters"])) == lumira_tools.flat_parameters(block)
    import xarray

    with xarray.open_dataarray(tmp_path / "ssc.nc") as back:
        assert (back.attrs["NSS"], back.attrs["CHN"]) == (32, "sample compartment")
