"""OpusFile.reports: every table container (reports, reference values, annotation tables, image containers), its
tables, rows and sub-tables, and what damaged containers give."""

from __future__ import annotations

import math
import struct

import pytest

import lumira_tools
import partsbuilder as pb
from opusbuilder import OpusFile, int_record, spectrum_params

QUALITY_TEST_TABLE = pb.Table(
    [pb.Column("Test", pb.TEXT + 26), pb.Column("Minimum", pb.FLOAT64), pb.Column("Maximum", pb.FLOAT64),
     pb.Column("Measured", pb.FLOAT64)],
    [("Noise", pb.UNUSED, 0.002, 0.0011), ("Absorbance range", 0.1, 1.5, 0.82)],
    properties=[("Result", 1), ("Method",)])


def file_with(*containers: tuple[int, bytes], **placement) -> bytes:
    f = OpusFile().spectrum("AB", [1.0, 2.0], spectrum_params(2, 4000.0, 400.0))
    for word, block in containers:
        f.add(word, block, **placement)
    return f.build()


def read(write, *containers, strict=True, **placement) -> lumira_tools.OpusFile:
    return lumira_tools.read_file(write(file_with(*containers, **placement)), strict=strict)


@pytest.mark.parametrize("word, build, kind, result, shapes", [
    (pb.QUALITY_TEST, pb.quality_test_report, "quality-test report", "AB", [(4, 3, 0)]),
    (pb.QUANTITATIVE_AB, pb.quantitative_report, "quantitative-analysis report", "AB", [(3, 1, 1)]),
    (pb.QUANTITATIVE_REFL, lambda: pb.quantitative_report(pb.QUANTITATIVE_REFL), "quantitative-analysis report",
     "REFL", [(3, 1, 1)]),
    (pb.MULTI_EVALUATION, pb.multi_evaluation_report, "multi-evaluation report", "AB", [(4, 2, 1)]),
    (pb.REFERENCE_VALUES, pb.reference_values, "reference values", None, [(3, 4, 0)]),
    (pb.ANNOTATION_TABLES, pb.annotation_tables, "annotation tables", None, [(24, 0, 0), (0, 0, 0), (24, 1, 0)]),
])
def test_every_kind_of_container(write, word, build, kind, result, shapes):
    (report,) = read(write, (word, build())).reports
    assert (report.kind, report.result, report.head) == (kind, result, (12, 2000, 1))
    assert report.parameters["BID"] == struct.unpack("<i", struct.pack("<I", word))[0]
    assert [(len(t.columns), len(t.rows), len(t.subtables)) for t in report.tables] == shapes


def test_cells_of_every_type_with_formats_and_sub_tables(write):
    (report,) = read(write, (pb.QUANTITATIVE_AB, pb.quantitative_report())).reports
    (model,) = report.tables
    assert report.title == model.name == "Water content"
    assert model.rows == (("Water", 12.5, "µg"),) and model.get("Model") == "water.q2 2024/01/01"
    assert [(c.name, c.kind, c.width, c.format) for c in model.columns] == [
        ("Component", "text", 12, None), ("Prediction", "float32", 4, "%.5G"), ("Unit", "text", 4, None)]
    (residuals,) = model.subtables
    assert residuals.name == "Residuals" and residuals.properties == (
        lumira_tools.Property("F-probability limit", 0.95, "%.3f"),)
    (evaluation,) = read(write, (pb.MULTI_EVALUATION, pb.multi_evaluation_report())).reports[0].tables
    assert [c.kind for c in evaluation.columns] == ["text", "int32", "int32", "int32"]
    assert evaluation.subtables[0].rows[1] == ("water.q2", 7500.0, 12.25, 1, 20.0)


def test_to_pandas_types_columns_and_marks_unset_cells(write):
    pytest.importorskip("pandas")
    tests = read(write, (pb.QUALITY_TEST, pb.container_block(pb.QUALITY_TEST, "QT", [("QT", QUALITY_TEST_TABLE)])))
    frame = tests.reports[0].tables[0].to_pandas()
    assert list(frame.columns) == ["Test", "Minimum", "Maximum", "Measured"]
    assert str(frame["Minimum"].dtype) == "float64" and math.isnan(frame["Minimum"][0])
    assert tests.reports[0].tables[0].to_pandas(raw=True)["Minimum"][0] == pb.UNUSED
    (evaluation,) = read(write, (pb.MULTI_EVALUATION, pb.multi_evaluation_report())).reports[0].tables
    components = evaluation.subtables[0].to_pandas()
    assert [str(t) for t in components.dtypes][1:] == ["float64", "float32", "int32", "float32"]
    assert math.isnan(components["Alarm"][0]) and components["Alarm"][1] == 20.0
    (annotations,) = read(write, (pb.ANNOTATION_TABLES, pb.annotation_tables())).reports
    assert annotations.tables[0].to_pandas().shape == (0, 24) and annotations.tables[2].to_pandas()["Text"][0] == "12"


def test_a_relocated_directory_is_read_where_the_head_says(write):
    tables = [(f"Table {k}", pb.Table([pb.Column("N", pb.INT32)], [(k,)])) for k in range(5)]
    block = pb.container_block(pb.REFERENCE_VALUES, "Moved", tables, relocated_after=2)
    assert struct.unpack("<i", block[:4])[0] != 12
    (report,) = read(write, (pb.REFERENCE_VALUES, block)).reports
    assert [(t.name, t.rows) for t in report.tables] == [(f"Table {k}", ((k,),)) for k in range(5)]
    assert report.head[1] == 4000


def test_columns_of_types_no_reader_knows_keep_their_bytes(write):
    table = pb.Table([pb.Column("Flag", 8), pb.Column("Blob", pb.BLOB)], [(b"\x01\x02\x03\x04", b"BMxyz")])
    (report,) = read(write, (pb.IMAGES, pb.container_block(pb.IMAGES, "", [("t", table)]))).reports
    assert report.tables[0].rows == ((b"\x01\x02\x03\x04", b"BMxyz"),)
    assert [c.kind for c in report.tables[0].columns] == ["bytes", "bytes"]


def damaged_table(**extra) -> bytes:
    table = pb.Table(QUALITY_TEST_TABLE.columns, QUALITY_TEST_TABLE.rows, extra=list(extra.items()))
    return pb.container_block(pb.QUALITY_TEST, "QT", [("QT", table), ("second", QUALITY_TEST_TABLE)])


def with_directory(records: bytes) -> bytes:
    return struct.pack("<iii", 12, 2000, 1) + records


GOOD = damaged_table()


@pytest.mark.parametrize("block, reason", [
    (GOOD[:8], "fewer than its 12-byte head"),
    (struct.pack("<i", 10**6) + GOOD[4:], r"its directory \(at byte 1000000\): it lies outside the block"),
    (struct.pack("<i", 4) + GOOD[4:], "it lies outside the block"),
    (with_directory(int_record("NRP", 0)), "its parameter block is damaged: the block ends at byte 24"),
    (with_directory(int_record("NRP", 1) + pb.FULL_END), "it has no F00"),
    (with_directory(int_record("F00", 40) + pb.FULL_END), "it has no NRP"),
    (with_directory(int_record("NRP", 1) + int_record("F00", 10**6) + pb.FULL_END), "table 0 .*outside the block"),
    (with_directory(b"NRP\0" + struct.pack("<hhi", 7, 2, 1) + pb.FULL_END), "parameter type: 7"),
    (damaged_table(NLN=10**6), "1000000 rows of 50 bytes run past the end of the block"),
    (damaged_table(NLN=-1), "it has 4 columns and -1 rows"),
    (damaged_table(F01=100), "column 1 at byte 100 lies outside its rows of 50 bytes"),
    (damaged_table(F01=20), "columns 0 and 1 overlap"),
    (damaged_table(T03=1020), r"column 3 \(20 bytes at byte 42\) runs past its rows"),
    (damaged_table(SIZ=8), "its SIZ is 8 but its records take"),
    (damaged_table(SUB=1, G00=0), "sub-table 0 of table 0 .*shares bytes with table 0"),
    (damaged_table(SUB=1), "it has no G00"),
    (damaged_table(NCO="four"), "its NCO is not an integer"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_a_damaged_container_is_its_own_error(write, block, reason):
    opened = read(write, (pb.REFERENCE_VALUES, pb.reference_values()), (pb.QUALITY_TEST, block))
    good, damaged = opened.reports
    assert damaged.kind == "quality-test report"  # known from the directory alone
    with pytest.raises(lumira_tools.DamagedFileError, match=reason) as raised:
        damaged.tables
    assert raised.value.block == "report #1" and "Table container at offset" in raised.value.reason
    assert good.tables[0].rows[0] == ("Water", "%", 12.5) and opened.blocks[0].result.y.tolist() == [1.0, 2.0]


def test_tables_sharing_bytes_are_damage(write):
    tables = [("a", QUALITY_TEST_TABLE), ("b", QUALITY_TEST_TABLE)]
    block = bytearray(pb.container_block(pb.QUALITY_TEST, "QT", tables))
    first = block.index(b"F00\0")
    second = block.index(b"F01\0")
    block[second + 8:second + 12] = block[first + 8:first + 12]  # table 1 at table 0's offset
    with pytest.raises(lumira_tools.DamagedFileError, match="table 1 .*shares bytes with table 0"):
        read(write, (pb.QUALITY_TEST, bytes(block))).reports[0].tables


def test_a_container_the_file_cuts_off(write):
    (report,) = read(write, (pb.QUALITY_TEST, GOOD), size_in_words=len(GOOD)).reports
    with pytest.raises(lumira_tools.DamagedFileError, match="the file ends early"):
        report.title
