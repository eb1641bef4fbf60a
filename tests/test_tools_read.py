import os
import struct
import sys

import numpy as np
import pytest

import lumira
from lumira_tools import (BlockSpecError, DamagedFileError, NotASpectrumError, NotOpusFileError, parse_block, read,
                          read_many, read_spectrum, resolve)
from opusbuilder import DATA, DATA_PARAMS, OpusFile, named_type, spectrum_params
from tool_results import image_file

SAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples", "data",
                      "film_absorbance.0")


def two_blocks(npt=4):
    f = OpusFile()
    f.spectrum("SSC", [float(v) for v in range(npt)], spectrum_params(npt, 4000.0, 400.0))
    f.spectrum("AB", [v / 2 for v in range(npt)], spectrum_params(npt, 4000.0, 400.0), deriv="NDER")
    return f


def short_spectrum():
    """A data block at the end of the file, cut after 5 of its 8 values."""
    f = OpusFile()
    f.params(named_type("AB", param=DATA_PARAMS), spectrum_params(8, 4000.0, 400.0))
    f.add(named_type("AB", param=DATA), struct.pack("<8f", *range(8)))
    return f.build()[:-12]


def cut_short(data, missing):
    """What the tools say of a file whose last `missing` bytes were cut off."""
    return f"the file is cut short at {len(data):,} bytes; its directory reaches {len(data) + missing:,}"


def cut_directory():
    """Complete blocks, then a directory whose last (irrelevant) entry the end of the file cuts off."""
    f = OpusFile()
    f.spectrum("AB", [1.0, 2.0, 3.0, 4.0], spectrum_params(4, 4000.0, 400.0))
    end = len(f.build())
    return f.build(offset_to_directory=end, dir_size=3) + struct.pack("<i", 0) + b"\1\0"


@pytest.mark.parametrize("block, parts", [
    ("AB/2D/NONE", ("AB", "2D", "NONE")), ("ab/2d/none", ("AB", "2D", "NONE")), (" ssc / 3d ", ("SSC", "3D")),
    ("trc", ("TRC",)), (("ab", "2D", "1der"), ("AB", "2D", "1DER")), (None, None),
])
def test_parse_block(block, parts):
    assert parse_block(block) == parts


@pytest.mark.parametrize("block", ["", "AB//NONE", "AB/4D/NONE", "AB/2D/NONE/X", "AB/NONE", "XYZ/2D/NONE"])
def test_parse_block_refuses(block):
    with pytest.raises(BlockSpecError):
        parse_block(block)


@pytest.mark.parametrize("block, request_", [
    (None, ("AB", "2D", "NDER")), ("ssc", ("SSC", "2D", "NONE")), ("AB/2D/3DER", ("AB", "2D", "NDER")),
    ("AB/2D/1DER", ("AB", "2D", "1DER")),  # written out: left to getOpusData to find or refuse
])
def test_resolve_takes_the_first_match_and_requests_3der_as_nder(write, block, request_):
    path = write(two_blocks().build())
    assert lumira.listContents(path) == [("AB", "2D", "3DER"), ("SSC", "2D", "NONE")]
    assert resolve(path, block) == request_
    if block != "AB/2D/1DER":
        assert read(path, block).dataType == request_[0]


@pytest.mark.parametrize("directory, listed_first, preferred", [
    (["RIFG", "SSC"], "RIFG", "SSC"),  # the interferogram an instrument lists before its spectrum
    (["SIFG", "RPH"], "SIFG", "RPH"),
    (["AB", "TR"], "TR", "AB"),
])
def test_without_a_block_the_final_spectrum_is_taken(write, directory, listed_first, preferred):
    f = OpusFile()
    for k, name in enumerate(directory):
        f.spectrum(name, [float(k)] * 3, spectrum_params(3, 4000.0, 400.0))
    path = write(f.build())
    assert lumira.listContents(path)[0][0] == listed_first
    assert resolve(path)[0] == preferred and read(path).dataType == preferred


def test_read_spectrum_refuses_a_3d_block_before_reading_it(tmp_path, monkeypatch):
    assert read_spectrum(SAMPLE, "ssc").dataType == "SSC"
    path = image_file(tmp_path / "map.0")
    monkeypatch.setattr(lumira, "getOpusData", None)
    with pytest.raises(NotASpectrumError, match="AB/3D/NONE is a 3D block"):
        read_spectrum(path)


@pytest.mark.parametrize("data, error, message", [
    (b"\0\1", NotOpusFileError, "not an OPUS file"),  # too short for the magic: not an error of its own
    (b"PK\3\4 not opus", NotOpusFileError, "not an OPUS file"),
    (short_spectrum(), DamagedFileError, cut_short(short_spectrum(), 12)),
    (cut_directory(), DamagedFileError, cut_short(cut_directory(), 6)),
    (OpusFile().build(), ValueError, "holds no data block"),
])
def test_read_refuses_what_is_not_a_whole_block(write, capsys, data, error, message):
    with pytest.raises(error, match=message):
        read(write(data))
    assert capsys.readouterr().err == ""  # the extension's reports are collected, not printed


def test_damage_is_only_an_error_when_strict(write, reports):
    hooks = sys.unraisablehook, sys.excepthook
    path = write(cut_directory())
    assert read(path, strict=False).y.tolist() == [1, 2, 3, 4]
    assert read(write(short_spectrum()), strict=False).y.size == 5
    assert reports == [] and (sys.unraisablehook, sys.excepthook) == hooks
    lumira.listContents(path)  # outside a read the reports reach the hook in place
    assert len(reports) == 2


def test_read_many_keeps_order_and_collects_errors_per_file(write):
    paths = []
    for k in range(24):
        kind = k % 4
        data = {0: two_blocks(k + 2).build(), 1: short_spectrum(), 2: cut_directory(), 3: b"nope"}[kind]
        paths.append(write(data))
    paths.append("/no/such/file.0")
    found = read_many(paths, "AB", workers=4)
    assert [f.path for f in found] == paths
    assert [type(f.error) for f in found[:4]] == [type(None), DamagedFileError, DamagedFileError, NotOpusFileError]
    assert isinstance(found[-1].error, FileNotFoundError) and found[-1].result is None
    for k in range(0, 24, 4):
        assert found[k].ok and np.array_equal(found[k].result.y, np.arange(k + 2) / 2)


def test_read_many_refuses_a_bad_block_or_pool_at_once():
    with pytest.raises(BlockSpecError):
        read_many([SAMPLE], "AB/5D")
    with pytest.raises(ValueError, match="workers"):
        read_many([SAMPLE], workers=0)
    assert read_many([]) == []
