"""Texts decode with the code page the file names in its sample-origin parameters (CPG): code page 1252 without
one, UTF-8 for 65001; in getOpusData (parameters and trace labels) and read_file alike."""

import pytest

import lumira
import lumira_tools
from instrument_files import file_bytes
from opusbuilder import (DATA, DATA_PARAMS, SAMPLE_ORIGIN, OpusFile, Record3D, block_type, data_block_3d,
                         named_type, spectrum_params)

NAME = "Müller’s film, 25 µm"  # a typographic apostrophe: code page 1252 holds it in one byte, UTF-8 in three


def spectrum_file(snm: bytes, **origin) -> bytes:
    f = OpusFile().spectrum("AB", [1.0, 2.0], spectrum_params(2, 4000.0, 400.0, SNM=snm))
    return file_bytes(f.params(block_type(param=SAMPLE_ORIGIN), {"CNM": snm, **origin}))


def traces_file(label: bytes, **origin) -> bytes:
    f = OpusFile()
    f.params(named_type("TRC", param=DATA_PARAMS, dimension="3D"), spectrum_params(2, 1.0, 2.0))
    f.add(named_type("TRC", param=DATA, dimension="3D"), data_block_3d([Record3D([1.0, 2.0], label=label)],
                                                                        info_size=200))
    return file_bytes(f.params(block_type(param=SAMPLE_ORIGIN), {"SNM": "x", **origin}))


@pytest.mark.parametrize("stored, origin, text", [
    (NAME.encode("cp1252"), {}, NAME),
    (NAME.encode("cp1252"), {"CPG": 1252}, NAME),
    (NAME.encode("utf-8"), {"CPG": 65001}, NAME),
    (NAME.encode("utf-8"), {}, NAME.encode("utf-8").decode("cp1252")),  # no code page named: 1252, as stored
    (b"caf\xe9", {"CPG": 65001}, "café"),  # not UTF-8 after all: read as code page 1252, never an error
    (b"plain", {"CPG": 65001}, "plain"),
])
def test_parameters_decode_with_the_files_code_page(write, stored, origin, text):
    path = write(spectrum_file(stored, **origin))
    assert lumira.getOpusData(path, ("AB", "2D", "NONE")).parameters["SNM"] == text
    block = lumira_tools.read_file(path)["ab"]
    assert block.parameters["SNM"] == text and block.groups["sample origin"]["CNM"] == text


@pytest.mark.parametrize("origin", [{"CPG": 65001}, {}])
def test_trace_labels_decode_with_the_files_code_page(write, origin):
    label = "Peak ‘A’ ≥ 5"
    stored = label.encode("utf-8") if origin else label.encode("cp1252", errors="replace")
    path = write(traces_file(stored, **origin))
    expected = label if origin else "Peak ‘A’ ? 5"
    assert lumira.getOpusData(path, ("TRC", "3D", "NONE")).labels == [expected]
    assert lumira_tools.read_file(path)[0].result.labels == [expected]
