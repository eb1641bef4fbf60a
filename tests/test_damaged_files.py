"""The README's table of damaged input: every row is one case here, and the
table and this file must name the same rows."""

import pathlib
import re
import struct

import pytest

import lumira
from opusbuilder import (DATA, DATA_PARAMS, EXTENDED_DIRECTORY, MAGIC, OpusFile, block_type, directory_entry, header,
                         int_record, named_type, param_block, spectrum_params, text_record)

AB = ("AB", "2D", "NONE")
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

# (row of the README table, file bytes, function, expected outcome). An outcome
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
     (ValueError, r"^Parameter block at offset 64 is damaged: it ends before its END record$")),
    ("broken parameter block", raw_blocks(bytes(16), SPECTRUM + text_record("ABC", "x", type_code=7)),
     "getOpusData", (ValueError, "^Unexpected value for reading parameter type: 7$")),
    ("broken parameter block", raw_blocks(bytes(16), SPECTRUM + text_record("ABC", "x", size=-3) + b"END\0"),
     "getOpusData", (ValueError, "^Parameter block at offset 64 is damaged: a text record has a negative size$")),
    ("broken parameter block", raw_blocks(bytes(16), SPECTRUM + text_record("ABC", "x", size=900)[:12]),
     "getOpusData", (ValueError, "^Parameter block at offset 64 is damaged: a text record runs past the end")),
    ("huge NPT", good(NPT=2**31 - 1).build(), "getOpusData",
     (ValueError, r"^Data block at offset 48 is damaged: NPT is 2147483647 but the file holds only 34 values "
                  r"from there$")),
    ("non-ASCII texts", good(SNM="Müller 1mm²").build(), "getOpusData",
     lambda r: r.parameters["SNM"] == "Müller 1mm²"),
    ("non-ASCII texts", raw_blocks(bytes(16), SPECTRUM + b"\xe9AB\0" + struct.pack("<hhi", 0, 2, 5) + b"END\0"),
     "getOpusData", (UnicodeDecodeError, "can't decode byte 0xe9 in position 0")),
]


def outcome(function, path):
    args = (path, AB) if function == "getOpusData" else (path,)
    try:
        return getattr(lumira, function)(*args)
    except Exception as error:  # noqa: BLE001 - compared below
        return error


@pytest.mark.parametrize("row, data, function, expected", CASES, ids=[f"{c[0]}-{c[2]}" for c in CASES])
def test_damaged_input(write, reports, row, data, function, expected):
    got = outcome(function, write(data))
    if isinstance(expected, tuple):
        error, pattern = expected
        assert type(got) is error and re.search(pattern, str(got)), repr(got)
    elif callable(expected):
        assert isinstance(got, lumira.SingleDataReturn) and expected(got), repr(got)
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


def test_readme_table_lists_exactly_these_rows():
    readme = (pathlib.Path(__file__).parent.parent / "README.md").read_text(encoding="utf-8")
    section = readme.split("#### What damaged files give", 1)[1].split("\n#", 1)[0]
    rows = {line.split("|")[1].strip() for line in section.splitlines() if line.startswith("| ")} - {"Damage"}
    assert rows == {case[0] for case in CASES} | {"file truncated after listing"}
