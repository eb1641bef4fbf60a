"""The guide's table of damaged input (its page on damaged files): every row is
one case here, and the table and this file must name the same rows."""

from __future__ import annotations

import pathlib
import re
import struct

import numpy as np
import pytest

import lumira
from opusbuilder import (ANNOTATION, DATA, DATA_PARAMS, EXTENDED_DIRECTORY, INT_COLUMN, MAGIC, TEXT_COLUMN, Column,
                         OpusFile, Record3D, Table, annotation_block, block_type, data_block_3d, directory_entry,
                         float_record, header, int_record, named_type, param_block, spectrum_params, text_record)

AB = ("AB", "2D", "NONE")
AB_3D = ("AB", "3D", "NONE")
READ_3D = ("getOpusData", AB_3D)
NO_AB = "^No data block exists in the file for: AB 2D NONE$"


def good(values=(1.0, 2.0, 3.0, 4.0), **params):
    return OpusFile().spectrum("AB", list(values), spectrum_params(len(values), 4000.0, 400.0, **params))


def with_bytes(data: bytes, at: int, raw: bytes) -> bytes:
    return data[:at] + raw + data[at + len(raw):]


def raw_blocks(data_payload: bytes, params_payload: bytes, **data_options) -> bytes:
    f = OpusFile().add(named_type("AB", param=DATA), data_payload, **data_options)
    return f.add(named_type("AB", param=DATA_PARAMS), params_payload).build()


def directory_last(f: OpusFile, dir_size: int) -> bytes:
    """The file with its directory behind the blocks, so a count read past it meets the end at once."""
    return f.build(offset_to_directory=len(f.build()), dir_size=dir_size)


SPECTRUM = param_block(spectrum_params(4, 4000.0, 400.0))[:-4]  # without its END


def three_d(block: bytes, annotation: bytes | None = None, **params) -> bytes:
    """A 3D file with its data block last, so cutting the file cuts the records."""
    f = OpusFile().params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(4, 1.0, 4.0, **params))
    if annotation is not None:
        f.add(block_type(extend=ANNOTATION), annotation)
    return f.add(named_type("AB", param=DATA, dimension="3D"), block).build()


RECORDS = data_block_3d([Record3D([k, k, k, k], z=k) for k in range(2)], info_size=0)
# 4200 records 4 bytes apart, each of 4200 values: 70 MB of result from 34 kB of file, were they read.
OVERLAPPING = struct.pack("<iiiiii", 1, 4200, 32, 4, 0, 1) + struct.pack("<ii", 1, 4200) + bytes(4 * 8400)
HUGE_STORE_TABLE = struct.pack("<iiiiii", 1, 1, 24, 16, 0, 2**31 - 1) + struct.pack("<ii", 1, 2**31 - 1)
REGION_COLUMNS = [Column(name, INT_COLUMN) for name in ("Group", "Type", "AryNX", "AryNY", "AryType", "Fileindex",
                                                        "X", "Y")]


def shared_tables(table: Table, tables: int) -> bytes:
    """An annotation block whose directory lists `tables` tables, all at the bytes of the one it holds."""
    def directory(at: int) -> bytes:
        return param_block([("NRP", tables)] + [(f"F{k:02d}", at) for k in range(tables)])

    single = annotation_block([table])
    body = single[12 + len(param_block([("NRP", 1), ("F00", 0)])):]
    return bytes(12) + directory(12 + len(directory(0))) + body


def with_renamed(data: bytes, old: bytes, new: bytes) -> bytes:
    assert data.count(old) == 1
    return data.replace(old, new)


POINTS = Table(REGION_COLUMNS, [[1, 0, 0, 0, 0, 1, 0, 0], [1, 0, 0, 0, 0, 2, 0, 0]])


def points_with(**values) -> bytes:
    """POINTS with these values in both rows; one text column, 16 bytes wide (a row of 44 bytes)."""
    names = [column.name for column in REGION_COLUMNS]
    columns = [Column(c.name, TEXT_COLUMN, offset=28) if isinstance(values.get(c.name), str) else c
               for c in REGION_COLUMNS]
    rows = [[values.get(name, value) for name, value in zip(names, row)] for row in POINTS.rows]
    return annotation_block([Table(columns, rows)])


def error_of(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - what the host's NumPy raises
        return type(error)


# A text axis end fails in NumPy, with an error type that depends on its version.
TEXT_AXIS_ERROR = error_of(lambda: np.linspace("x", 1.0, 4))
MAP = dict(AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=2, NPY=1)
DAMAGED_3D = r"^3D data block at offset \d+ is damaged: "
DAMAGED_TABLE = r"^Annotation table \d+ at offset \d+ is damaged: "

# (row of the guide's table, file bytes, function, expected outcome). An outcome
# is a value, a (exception type, message pattern) pair, or a check of the result.
CASES = [
    ("bad magic", b"\0" * 40, "isOpusFile", False),
    ("bad magic", b"\0" * 40, "listContents", (ValueError, "^Can't process a non-Opus file$")),
    ("bad magic", b"\0" * 40, "getOpusData", (ValueError, "^Can't process a non-Opus file$")),
    ("file shorter than 4 bytes", MAGIC[:3], "isOpusFile", (struct.error, "unpack requires a buffer of 4 bytes")),
    ("file shorter than 4 bytes", MAGIC[:3], "getOpusData", (struct.error, "unpack requires a buffer of 4 bytes")),
    ("truncated header", MAGIC + bytes(6), "listContents", []),
    ("truncated header", good().build()[:17], "getOpusData", (ValueError, NO_AB)),
    ("directory past the end", header(offset_to_directory=10**6, dir_size=2), "listContents", []),
    ("directory past the end", with_bytes(good().build(), 12, struct.pack("<i", 10**6)), "getOpusData",
     (ValueError, NO_AB)),
    ("directory cut short", good().build()[:38], "listContents", []),
    ("directory cut short", good().build()[:38], "getOpusData", (ValueError, NO_AB)),
    ("huge counts", header(dir_size=2**31 - 1) + directory_entry(named_type("AB", param=DATA_PARAMS)), "listContents",
     [AB]),
    ("huge counts", directory_last(good(), 2**31 - 1), "getOpusData", lambda r: r.y.tolist() == [1, 2, 3, 4]),
    ("negative offsets", header(offset_to_directory=-8, dir_size=1), "listContents",
     (OSError, r"^\[Errno 22\] Invalid argument$")),
    ("negative offsets", raw_blocks(b"", param_block(spectrum_params(4, 1.0, 4.0)), offset=-4), "getOpusData",
     (OSError, r"^\[Errno 22\] Invalid argument$")),
    ("negative offsets", header(dir_size=1) + directory_entry(block_type(extend=EXTENDED_DIRECTORY), 0, -5),
     "listContents", (OSError, r"^\[Errno 22\] Invalid argument$")),
    ("block past the end", raw_blocks(b"", param_block(spectrum_params(4, 1.0, 4.0)), offset=10**6),
     "getOpusData", lambda r: r.y.size == 0 and r.x.tolist() == [1, 2, 3, 4]),
    ("data cut short", OpusFile().params(named_type("AB", param=DATA_PARAMS), spectrum_params(20, 1.0, 20.0))
     .add(named_type("AB", param=DATA), struct.pack("<20f", *range(20))).build()[:-40], "getOpusData", lambda r: r.x.size == 20 and r.y.tolist() == list(range(10))),
    ("broken parameter block", raw_blocks(bytes(16), SPECTRUM), "getOpusData",
     (ValueError, r"^Parameter block at offset 64 is damaged: the file ends at byte 180, before its END record$")),
    ("broken parameter block", raw_blocks(bytes(16), SPECTRUM + text_record("ABC", "x", type_code=7)),
     "getOpusData", (ValueError, "^Unexpected value for reading parameter type: 7$")),
    ("broken parameter block", raw_blocks(bytes(16), SPECTRUM + text_record("ABC", "x", size=-3) + b"END\0"),
     "getOpusData", (ValueError, "^Parameter block at offset 64 is damaged: a text record has a negative size$")),
    ("broken parameter block", raw_blocks(bytes(16), SPECTRUM + text_record("ABC", "x", size=900)[:12]),
     "getOpusData", (ValueError, "^Parameter block at offset 64 is damaged: a text record runs past the end")),
    ("huge NPT", good(NPT=2**31 - 1).build(), "getOpusData",
     (ValueError, r"^Data block at offset 48 is damaged: NPT is 2147483647 but the file holds only 34 values "
                  r"from there$")),
    # The axis and the values the file holds may not pass 2**24 values together.
    ("huge NPT", good(NPT=2**24).build(), "getOpusData",
     (ValueError, r"^Data block at offset 48 is damaged: NPT is 16777216 but the file holds only 34 values from there$")),
    ("huge NPT", three_d(RECORDS, NPT=2**31 - 1), READ_3D,
     (ValueError, DAMAGED_3D + r"NPT is 2147483647 but the file holds only 10 values after its head$")),
    ("huge NPT", three_d(RECORDS, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=2**30, NPY=1), READ_3D,
     (ValueError, DAMAGED_3D + r"NPX is 1073741824 but the file holds only 10 values after its head$")),
    ("short 3D records", three_d(RECORDS, ZTX="s")[:-4], READ_3D,
     (ValueError, DAMAGED_3D + r"spectrum record 2 at byte \d+ ends past the end of the file$")),
    ("short 3D records", three_d(RECORDS, ZTX="s")[:-24], READ_3D,
     (ValueError, DAMAGED_3D + r"its store table lists 2 records, more than the file holds$")),
    ("huge store-table counts", three_d(HUGE_STORE_TABLE, ZTX="s"), READ_3D,
     (ValueError, DAMAGED_3D + r"its store table lists 2147483647 records, more than the file holds$")),
    ("huge store-table counts", three_d(HUGE_STORE_TABLE, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=1, NPY=1), READ_3D,
     (ValueError, DAMAGED_3D + r"its store table lists 2147483647 records, more than the file holds$")),
    ("overlapping 3D records", three_d(OVERLAPPING, ZTX="s", NPT=4200), READ_3D,
     (ValueError, DAMAGED_3D + r"records hold 4 bytes of values but NPT is 4200 \(16800 bytes\)$")),
    ("result beyond the file", three_d(RECORDS, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=65536, NPY=65536), READ_3D,
     (ValueError, DAMAGED_3D + r"its result would hold 17180000260 values \(NPY x NPX x NPT = 65536 x 65536 x 4\) "
                               r"but the file holds only \d+ values$")),
    ("bad annotation tables", three_d(RECORDS, annotation_block([Table(REGION_COLUMNS[1:], [[0] * 7])])), READ_3D,
     (KeyError, "^'Group'$")),
    ("bad annotation tables", three_d(RECORDS, with_renamed(annotation_block([POINTS]), b"NLN\0", b"NLX\0")), READ_3D,
     (KeyError, "^'NLN'$")),
    ("bad annotation tables", three_d(RECORDS, annotation_block([Table(REGION_COLUMNS, POINTS.rows, row_length=8)])),
     READ_3D, (ValueError, DAMAGED_TABLE + "rows of 8 bytes overlap their 32 bytes of fields$")),
    ("bad annotation tables", three_d(RECORDS, annotation_block([Table([Column("Group", 7)], [[1]])])), READ_3D,
     (ValueError, "^$")),
    ("bad annotation tables", three_d(RECORDS, with_renamed(annotation_block([POINTS]), int_record("NCO", 8),
                                                            float_record("NCO", 8.0))), READ_3D,
     (TypeError, DAMAGED_TABLE + "its parameter NCO is not an integer$")),
    # Texts of no width: each is still counted as a byte of its row.
    ("bad annotation tables", three_d(RECORDS, annotation_block([Table([Column("Note", TEXT_COLUMN, offset=2)] * 3,
                                                                       [[""] * 3] * 2, row_length=2)])), READ_3D,
     (ValueError, DAMAGED_TABLE + "rows of 2 bytes overlap their 3 bytes of fields$")),
    ("bad annotation tables", three_d(RECORDS, shared_tables(POINTS, 40)), READ_3D,
     (ValueError, DAMAGED_TABLE + "it shares its bytes with the tables before it$")),
    ("parameters of the wrong type", good(FXV="x").build(), "getOpusData", (TEXT_AXIS_ERROR, "")),
    ("parameters of the wrong type", three_d(RECORDS, NPT=2.5), READ_3D,
     (TypeError, "^'float' object cannot be interpreted as an integer$")),
    ("parameters of the wrong type", three_d(RECORDS, **{**MAP, "NPX": -1}), READ_3D,
     (ValueError, r"^Number of samples, -1, must be non-negative.$")),
    # Repeated NPX - 1 times, this DDX would be 500 GB of text.
    ("parameters of the wrong type", three_d(RECORDS, **{**MAP, "DDX": "x" * 60000, "NPX": 2**23, "NPY": 0}), READ_3D,
     (TypeError, r"^unsupported operand type\(s\) for \+: 'float' and 'str'$")),
    # Repeated AryNY times, this AryNX would be 32 GB of text.
    ("annotation values of the wrong type", three_d(RECORDS, points_with(AryNX="x" * 16, AryNY=2**31 - 1)), READ_3D,
     (TypeError, "^'str' object cannot be interpreted as an integer$")),
    ("annotation values of the wrong type", three_d(RECORDS, points_with(X="x")), READ_3D,
     (ValueError, "^could not convert string to float: 'x'$")),
    ("annotation values of the wrong type", three_d(RECORDS, points_with(Group="1")), READ_3D,
     (TypeError, "^an integer is required$")),
    ("offsets past 64 bits", OpusFile().params(named_type("AB", param=DATA_PARAMS, dimension="3D"),
                                               spectrum_params(4, 1.0, 4.0))
     .add(named_type("AB", param=DATA, dimension="3D"), RECORDS)
     .add(block_type(extend=ANNOTATION), offset=2**63 - 1, extended=True).build(), READ_3D,
     (OverflowError, "^file offset does not fit in 64 bits$")),
    ("non-ASCII texts", good(SNM="Müller 1mm²").build(), "getOpusData",
     lambda r: r.parameters["SNM"] == "Müller 1mm²"),
    ("non-ASCII texts", raw_blocks(bytes(16), SPECTRUM + b"\xe9AB\0" + struct.pack("<hhi", 0, 2, 5) + b"END\0"),
     "getOpusData", (UnicodeDecodeError, "can't decode byte 0xe9 in position 0")),
]


def outcome(function, path):
    if isinstance(function, tuple):
        function, request = function
        args = (path, request)
    else:
        args = (path, AB) if function == "getOpusData" else (path,)
    try:
        return getattr(lumira, function)(*args)
    except Exception as error:  # noqa: BLE001 - compared below
        return error


@pytest.mark.parametrize("row, data, function, expected", CASES,
                         ids=[f"{c[0]}-{c[2] if isinstance(c[2], str) else ' '.join(c[2][1])}" for c in CASES])
def test_damaged_input(write, reports, row, data, function, expected):
    got = outcome(function, write(data))
    if isinstance(expected, tuple):
        error, pattern = expected
        assert type(got) is error and re.search(pattern, str(got)), repr(got)
    elif callable(expected):
        assert isinstance(got, lumira.BaseDataReturn) and expected(got), repr(got)
    else:
        assert got == expected


def test_file_truncated_after_listing(write, reports):
    path = write(good().build())
    listed = lumira.listContents(path)
    with open(path, "r+b") as handle:
        handle.truncate(30)
    for request in listed:
        with pytest.raises(ValueError, match=NO_AB):
            lumira.getOpusData(path, request)


def test_the_guides_table_lists_exactly_these_rows():
    page = pathlib.Path(__file__).parent.parent / "python" / "lumira_tools" / "guide" / "damaged.md"
    section = page.read_text(encoding="utf-8").split("\n## What damaged files give\n", 1)[1].split("\n#", 1)[0]
    rows = {line.split("|")[1].strip() for line in section.splitlines() if line.startswith("| ")} - {"Damage"}
    assert rows == {case[0] for case in CASES} | {"file truncated after listing"}
