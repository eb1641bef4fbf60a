"""Data blocks no request reaches (match blocks, further detector channels) and twin blocks told apart by bit 30."""

import struct

import numpy as np
import pytest

import lumira
import lumira_tools
from instrument_files import EARLY, data_word, file_bytes, instrument_file
from lumira_tools.cli import main
from opusbuilder import OpusFile, spectrum_params


@pytest.fixture
def path(write):
    return write(file_bytes(instrument_file(match=True, second_channel=True)))


def test_every_data_block_in_directory_order_with_its_channel_and_twin(path):
    found = lumira_tools.read_file(path)
    assert [(b.name, b.channel, b.compensated, b.shadowed) for b in found] == [
        ("SSC/2D/NONE", 1, None, False), ("RSC/2D/NONE", 1, None, False),
        ("AB/2D/NONE", 1, False, True), ("AB/2D/NONE", 1, True, False),
        ("MATCH/2D/NONE", 1, None, False), ("MATCH:2/2D/NONE", 2, None, False), ("SSC:2/2D/NONE", 2, None, False),
    ]
    assert [b.request for b in found][3:] == [("AB", "2D", "NONE"), None, None, None]
    early = found.entries[found[2].entry]
    assert early.typeWord == data_word(4, 3) and early.typeWord & EARLY
    assert [e.typeWord & EARLY for e in found.entries[found[3].entry:found[3].entry + 2]] == [0, 0]


@pytest.mark.parametrize("text, number", [
    ("match", 4), ("MATCH/2D", 4), ("match:2", 5), ("ssc:2", 6), ("SSC:2/2D/NONE", 6), ("ab", 3), ("#5", 5),
])
def test_blocks_no_request_reaches_by_their_text(path, text, number):
    assert lumira_tools.read_file(path)[text].number == number
    assert lumira_tools._file.read_block(path, text).number == number


def test_a_match_block_reads_exactly_its_points_with_its_own_parameters(path):
    match = lumira_tools.read(path, "match")
    assert match.y.tolist() == pytest.approx([0.64, 0.65, 0.66])  # two more words follow them in the block
    assert match.x.tolist() == [4000.0, 2200.0, 400.0] and match.dataType == "MATCH"
    assert set(match.parameters) >= {"NPT", "FXV", "CSF"} and "DXU" not in match.parameters
    second = lumira_tools.read(path, "match:2")
    assert second.y.tolist() == pytest.approx([0.002, 0.003, 0.004])
    channel = lumira_tools.read(path, "ssc:2")
    assert channel.y.tolist() == [50.0, 51.0, 52.0] and channel.parameters["NPT"] == 3


@pytest.mark.parametrize("text", ["match", "ab:2/2d/none", "AB:2"])
def test_getOpusData_cannot_ask_for_them(path, text):
    with pytest.raises(lumira_tools.BlockSpecError, match="getOpusData cannot ask"):
        lumira_tools.resolve(path, text)


@pytest.mark.parametrize("text", ["ab:5", "ab:0", "ab:x", "foo:2"])
def test_a_channel_out_of_range_is_a_misspelt_block(text):
    with pytest.raises(lumira_tools.BlockSpecError):
        lumira_tools.parse_block(text)


def test_a_missing_channel_says_what_the_file_holds(path):
    with pytest.raises(ValueError, match="no RSC:2 block"):
        lumira_tools.read(path, "rsc:2")
    with pytest.raises(lumira_tools.NoSuchBlockError, match="no AB:2 block"):
        lumira_tools.read_file(path)["ab:2"]


@pytest.mark.parametrize("words, marks", [
    ((True, False), [False, True]),
    ((False, False), [None, None]),  # alike: nothing tells them apart
    ((True, True), [None, None]),
    ((True, False, False), [None, None, None]),  # three under one type are no pair
])
def test_twins_are_a_pair_that_bit_30_tells_apart(write, words, marks):
    f = OpusFile()
    for k, early in enumerate(words):
        f.add(data_word(4, 3, early=early), struct.pack("<2f", k, k))
        f.params(data_word(4, 3, param=1, early=early), spectrum_params(2, 4000.0, 400.0))
    found = lumira_tools.read_file(write(f.build()))
    assert [block.compensated for block in found] == marks
    assert [block.compensated for block in found.parameter_blocks] == marks


def test_ls_says_which_twin_is_which(path, capsys):
    assert main(["ls", path]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[4].split()[-2:] == ["before", "compensation"] and lines[5].split()[-1] == "compensated"
    assert lines[6].split()[:2] == ["#4", "MATCH/2D/NONE"] and lines[6].split()[-1] == "cm-1"
    assert "name it as #2" in lines[-1]


def test_the_module_is_left_as_it_was(path):
    assert lumira.listContents(path) == [("AB", "2D", "NONE"), ("AB", "2D", "NONE"), ("SSC", "2D", "NONE"),
                                         ("RSC", "2D", "NONE")]
    assert np.array_equal(lumira.getOpusData(path, ("AB", "2D", "NONE")).y, [0.25, 1.25, 2.25, 3.25, 4.25])
    with pytest.raises(ValueError):
        lumira.getOpusData(path, ("MATCH", "2D", "NONE"))
