"""Parameter records read from memory and from a file's windows alike, the merged parameters of blocks whose
records are named alike, and the arrays a whole-file read makes."""

from __future__ import annotations

import math
import struct

import numpy as np
import pytest

import lumira
import lumira_tools
from opusbuilder import OpusFile, Raw, block_type, float_record, int_record, spectrum_params, text_record

AB = ("AB", "2D", "NONE")


def code(k: int) -> str:
    """A four-letter name of its own for every k."""
    letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
    return "Q" + "".join(letters[k // 26 ** p % 26] for p in (2, 1, 0))


def mixed_records(count: int, text_length: int) -> tuple[bytes, dict]:
    """Records of every type and of sizes that do not repeat evenly, with the dictionary they make."""
    raw, expected = b"", {}
    for k in range(count):
        name, kind = code(k), k % 5
        if kind == 0:
            raw += int_record(name, k - 7)
            expected[name] = k - 7
        elif kind == 1:
            raw += float_record(name, k / 3)
            expected[name] = k / 3
        elif kind == 2:
            text = "t" * (k % text_length)
            raw += text_record(name, text)
            expected[name] = text
        else:  # texts of types 3 and 4, one cut at its first NUL
            raw += text_record(name, b"cut\0here" if kind == 4 else b"x" * text_length, type_code=kind)
            expected[name] = "cut" if kind == 4 else "x" * text_length
    return raw, expected


def spectrum_file(records: bytes, points: int) -> bytes:
    params = [*spectrum_params(points, 4000.0, 400.0).items(), ("", Raw(records))]
    return OpusFile().spectrum("AB", [0.5] * points, params).build()


@pytest.mark.parametrize("text_length", [3, 8, 13])
@pytest.mark.parametrize("points", [4, 80_000], ids=["small file", "file read in windows"])
@pytest.mark.parametrize("source", ["path", "bytes", "file object"])
def test_records_read_alike_wherever_the_bytes_come_from(write, text_length, points, source):
    # About 30 KB of records: in a file read in 16 KiB windows, records straddle where one window ends.
    records, expected = mixed_records(2000, text_length)
    data = spectrum_file(records, points)
    path = write(data)
    with open(path, "rb") as opened:  # read in ranges through the host
        given = {"path": path, "bytes": data, "file object": opened}[source]
        found = lumira_tools.read_file(given)[0].parameters
    assert {name: found[name] for name in expected} == expected
    assert lumira.getOpusData(path, AB).parameters == found


def same_values(a: dict, b: dict) -> bool:
    """Equal keys in the same order, each value of the same type and, for floats, the same bits."""
    def key(value):
        return (type(value), struct.pack("<d", value) if isinstance(value, float) else value)
    return list(a) == list(b) and all(key(a[name]) == key(b[name]) for name in a)


# Blocks whose records are named alike, one for one, with values alike in all but type or bits.
ALIKE_NAMES = {
    "AB": {"ZER": 0.0, "ONE": 1, "NAN": float("nan"), "TXT": b"x", "REP": 1, "SNM": "data's"},
    "TR": {"ZER": -0.0, "ONE": 1.0, "NAN": Raw(float_record("NAN", 0.0)[:8] + struct.pack("<Q", 0x7FF8000000000001)),
           "TXT": b"x\0y", "REP": 2, "SNM": "data's"},
    "KM": {"ZER": 0.0, "ONE": 1, "NAN": float("nan"), "TXT": b"x", "REP": 3, "SNM": "data's"},
    "RAM": {"ZER": 0.0, "ONE": 1, "NAN": float("nan"), "TXT": b"x", "REP": 3, "SNM": "data's"},
}


def alike_names_file() -> bytes:
    f = OpusFile()
    for name, extra in ALIKE_NAMES.items():
        params = [*spectrum_params(2, 10.0, 20.0, mxy=float(len(name))).items(), *extra.items()]
        params.append(("REP", extra["REP"] * 10))  # a name twice: the later value at the first place
        f.spectrum(name, [1.0, 2.0], params)
    f.params(block_type(param=3), {"SNM": "acquisition's", "NSS": 8})  # holds a data name: it wins everywhere
    f.params(block_type(param=2), {"INS": "instrument"})
    return f.build()


def test_blocks_named_alike_keep_their_own_values(write):
    path = write(alike_names_file())
    blocks = lumira_tools.read_file(path).blocks
    assert [b.request[0] for b in blocks] == list(ALIKE_NAMES)
    for block in blocks:
        alone = lumira.getOpusData(path, block.request).parameters
        assert same_values(block.parameters, alone), block.request
        assert alone["SNM"] == "acquisition's" and alone["REP"] == 10 * ALIKE_NAMES[block.request[0]]["REP"]
    zero, tr_zero = blocks[0].parameters["ZER"], blocks[1].parameters["ZER"]
    assert (math.copysign(1, zero), math.copysign(1, tr_zero)) == (1, -1)
    assert type(blocks[0].parameters["ONE"]) is int and type(blocks[1].parameters["ONE"]) is float
    assert blocks[1].parameters["TXT"] == blocks[0].parameters["TXT"] == "x"


def array_flags(array: np.ndarray) -> tuple:
    flags = array.flags
    return (array.dtype, array.shape, array.base is None, flags.c_contiguous, flags.owndata, flags.writeable,
            flags.aligned)


@pytest.mark.parametrize("numpy_as_is", [True, False], ids=["NumPy itself", "np rebound"])
def test_arrays_are_made_as_np_empty_makes_them(write, monkeypatch, numpy_as_is):
    path = write(OpusFile().spectrum("AB", [1.0, 2.0, 3.0], spectrum_params(3, 3.0, 1.0, CSF=0.5)).build())
    asked = []
    if not numpy_as_is:
        class Spy:
            def __getattr__(self, name):
                asked.append(name)
                return getattr(np, name)

        monkeypatch.setattr(lumira_tools._native, "np", Spy())
    result = lumira_tools.read_file(path)[0].result
    alone = lumira.getOpusData(path, AB)
    for mine, theirs in [(result.x, alone.x), (result.y, alone.y)]:
        assert array_flags(mine) == array_flags(theirs)
    assert result.x.tobytes() == np.linspace(3.0, 1.0, 3).tobytes() and result.y.tolist() == [0.5, 1.0, 1.5]
    assert ("empty" in asked and "linspace" in asked) is not numpy_as_is
