"""OpusFile.other and the kinds of directory entries; `lumira ls` naming what it does not decode, `ls --all`, and
`lumira export FILE images -o DIR/`."""

from __future__ import annotations

import json
import os
import struct

import pytest

import lumira_tools
import partsbuilder as pb
from lumira_tools.cli import main
from opusbuilder import (ACQUISITION, DATA, DATA_PARAMS, OpusFile, block_type, named_type, param_block,
                         spectrum_params)

UNNAMED = block_type(complex_=3, sample=3, data=8)  # a data type without a name: no reader decodes it
TEXT_BLOCK = block_type(extend=19)
MYSTERY = block_type(param=0, data=0, extend=0, deriv=1)


def instrument_like() -> OpusFile:
    """A spectrum with its parameters, a history, a report, an image, released space and three blocks that no
    reader decodes."""
    f = OpusFile().spectrum("AB", [1.0, 2.0, 3.0], spectrum_params(3, 4000.0, 400.0))
    f.params(block_type(param=ACQUISITION, sample=2), {"NSR": 32})
    f.add(pb.HISTORY, pb.history_block([pb.Session(operations=[pb.Operation("Save", command="SAV {}")])]))
    f.add(pb.INFO, param_block({"INP": "C:\\info"}))
    f.add(pb.QUALITY_TEST, pb.quality_test_report())
    f.add(pb.IMAGES, pb.image_container([pb.image_table(pb.TILE_JPEG, image_id=1, position=(0.0, 0.0), size=(8, 6))]))
    f.add(pb.RELEASED, b"stale bytes!")
    f.add(UNNAMED, struct.pack("<3f", 4.0, 5.0, 6.0))
    f.add(TEXT_BLOCK, b"fit text")
    return f.add(MYSTERY, b"????")


@pytest.fixture
def sample(write):
    return write(instrument_like().build(), "instrument.0")


def test_other_lists_what_no_reader_decodes_with_its_bytes(sample):
    opened = lumira_tools.read_file(sample)
    assert [(found.index, found.kind) for found in opened.other] == [
        (8, "data block of data type 8, 2D/NONE"), (9, "unknown"), (10, "unknown")]
    unnamed = opened.other[0]
    assert isinstance(unnamed, lumira_tools.Entry) and unnamed.dataType == 8
    assert struct.unpack("<3f", unnamed.read_bytes()) == (4.0, 5.0, 6.0)
    assert opened.other[1].read_bytes() == b"fit text"


def test_other_refuses_bytes_the_file_does_not_hold(write):
    path = write(OpusFile().add(UNNAMED, b"1234", size_in_words=100).build())
    (unnamed,) = lumira_tools.read_file(path).other
    with pytest.raises(lumira_tools.DamagedFileError, match="has 400 bytes but the file holds 4") as raised:
        unnamed.read_bytes()
    assert raised.value.block == "entry #0"


@pytest.mark.parametrize("word, kind", [
    (named_type("AB", param=DATA), "data block AB/2D/NONE"),
    (named_type("SSC", param=DATA, dimension="3D", deriv="2DER"), "data block SSC/3D/2DER"),
    (block_type(complex_=3, sample=3, data=54), "data block MATCH:2/2D/NONE"),
    (block_type(sample=1, data=33), "data block SSC:2/2D/NONE"),
    (named_type("AB", param=DATA_PARAMS), "data parameters"),
    (block_type(param=6, sample=2), "optics parameters, reference"),
    (block_type(param=9), "parameters of type 9"),
    (pb.HISTORY, "history"), (pb.INFO, "info parameters"), (block_type(data=13), "directory"),
    (pb.ANNOTATION_TABLES, "annotation tables"), (pb.QUANTITATIVE_REFL, "quantitative-analysis report"),
    (block_type(extend=99), "table container of type 99"), (0, "released space"),
])
def test_entry_kinds(word, kind):
    codes = [word & 3, word >> 2 & 3, word >> 4 & 63, word >> 10 & 127, word >> 17 & 3, word >> 19 & 127]
    assert lumira_tools.entry_kind(lumira_tools.Entry(*codes, 1, 0)) == kind


def test_ls_ends_with_what_it_did_not_decode(sample, capsys):
    assert main(["ls", sample]) == 0
    last = capsys.readouterr().out.splitlines()[-1]
    assert last == ("  not decoded: entry 8 (data block of data type 8, 2D/NONE, 12 bytes), entry 9 (unknown, 8 "
                    "bytes), entry 10 (unknown, 4 bytes); `lumira ls --all` lists every entry")


def test_ls_all_lists_every_entry_and_what_reads_it(sample, capsys):
    assert main(["ls", "--all", sample]) == 0
    lines = capsys.readouterr().out.splitlines()
    start = lines.index("  11 directory entries:")
    assert lines[start + 1].split() == ["ENTRY", "CODES", "KIND", "OFFSET", "BYTES", "READ", "AS"]
    assert lines[start + 8].split()[:3] == ["6", "0,0,0,0,0,20", "image"]
    assert main(["ls", "--all", "--json", sample]) == 0
    (listed,) = json.loads(capsys.readouterr().out)
    assert [entry["read_as"] for entry in listed["entries"]] == [
        "#0", "parameters", "parameters", "history", "parameters", "report #0", "report #1", "", "not decoded",
        "not decoded", "not decoded"]
    assert [entry["kind"] for entry in listed["entries"]][5:8] == [
        "quality-test report", "image container", "released space"]
    assert [item["entry"] for item in listed["not_decoded"]] == [8, 9, 10]


def test_export_images_writes_each_image(sample, tmp_path, capsys):
    out = tmp_path / "images"
    out.mkdir()
    assert main(["export", sample, "images", "-o", f"{out}/"]) == 0
    assert (out / "instrument-image1.jpg").read_bytes() == pb.TILE_JPEG
    assert "instrument-image1.jpg (image 1, 8 x 6 pixels, 328 bytes)" in capsys.readouterr().out


def test_export_a_mosaic_as_png(write, tmp_path, capsys):
    PIL = pytest.importorskip("PIL.Image")
    tiles = [pb.image_table(pb.jpeg((200, 0, 0)), image_id=7, position=(8.0 * k, 0.0), size=(8, 6)) for k in (0, 1)]
    path = write(OpusFile().add(pb.IMAGES, pb.image_container(tiles)).build(), "map.0")
    assert main(["export", path, "images", "-o", str(tmp_path), "--json"]) == 0
    (written,) = json.loads(capsys.readouterr().out)["images"]
    assert (written["output"], written["width"], written["height"]) == (str(tmp_path / "map-image7.png"), 16, 6)
    with PIL.open(written["output"]) as image:
        assert image.size == (16, 6)


@pytest.mark.parametrize("content, output, status, message", [
    (OpusFile().spectrum("AB", [1.0], spectrum_params(1, 1.0, 1.0)).build(), "dir", 1, "holds no embedded image"),
    (OpusFile().add(pb.IMAGES, pb.image_container([pb.image_table(pb.TILE_JPEG[:-2], image_id=1, position=(0, 0),
                                                                   size=(8, 6))])).build(), "dir", 1, "no end marker"),
    (instrument_like().build(), "missing", 1, "does not exist"),
    (instrument_like().build(), "file.txt", 2, "images are written into a folder"),
])
def test_export_images_failures_write_nothing(write, tmp_path, capsys, content, output, status, message):
    (tmp_path / "dir").mkdir()
    (tmp_path / "file.txt").write_text("x")
    path = write(content)
    assert main(["export", path, "images", "-o", str(tmp_path / output)]) == status
    assert message in capsys.readouterr().err
    assert os.listdir(tmp_path / "dir") == []
