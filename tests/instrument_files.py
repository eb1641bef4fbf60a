"""Files laid out as instrument software writes them: the directory block listed first, the measurement's blocks
of each kind once for the sample and once for the reference (background) in the order instruments write them,
twin absorbances before and after atmospheric compensation told apart by bit 30 of their type words, and on
request an info block, match blocks and a second detector channel.

Every parameter block holds values of its own (`NSS` only on the sample side, `NSR` only on the reference side,
an instrument text naming its side), so a test can tell which block a value came from.
"""

from __future__ import annotations

import struct
from typing import Optional

from opusbuilder import OpusFile, block_type, spectrum_params

EARLY = 1 << 30  # bit 30: the block written at measurement time, before a later processing step
DIRECTORY_WORD = 0x00003400
INFO_WORD = 0x00080000
HISTORY_WORD = 0x40680000
SAMPLE, REFERENCE = 0, 2
INSTRUMENT, ACQUISITION, FT, OPTICS, ORIGIN, LAB = 2, 3, 4, 6, 10, 11
MATCH, MATCH_2 = 22, 54


def data_word(data: int, sample: int, *, param: int = 0, early: bool = True) -> int:
    """A (result, single-channel...) data block or its data parameter block, complex code 3 as instruments write."""
    return block_type(complex_=3, sample=sample, param=param, data=data) | (EARLY if early else 0)


def params_word(param: int, side: int, *, early: bool = True) -> int:
    return block_type(param=param, sample=side) | (EARLY if early else 0)


def values(count: int, start: float) -> list[float]:
    return [start + k for k in range(count)]


def side_parameters(side: int) -> dict[int, dict]:
    """The instrument, acquisition, FT and optics blocks of one measurement."""
    own = "sample" if side == SAMPLE else "reference"
    scans = {"NSS": 32} if side == SAMPLE else {"NSR": 16}
    return {
        INSTRUMENT: {"INS": f"{own} bench", "HFL": 7000.0 + side, "PKA": 1000 + side},
        ACQUISITION: {**scans, "RES": 4.0, "AQM": "DD", "COR": b"0E2C"},
        FT: {"APF": "B3" if side == SAMPLE else "NBM", "ZFF": 2, "PHR": 32.0},
        OPTICS: {"BMS": "KBr", "SRC": "MIR", "CHN": f"{own} compartment", "VEL": b"7.5\0"},
    }


def add_measurement_blocks(f: OpusFile, blocks: dict[int, dict[int, dict]], *, early: bool = True) -> None:
    """The parameter blocks of the measurements (by side code) in the order instruments write them: the
    reference instrument block first, then acquisition, FT and optics of the sample before the reference's, the
    sample instrument block after them."""
    sides = sorted(blocks)
    if REFERENCE in blocks:
        f.params(params_word(INSTRUMENT, REFERENCE, early=early), blocks[REFERENCE][INSTRUMENT])
    for kind in (ACQUISITION, FT, OPTICS):
        for side in sides:
            f.params(params_word(kind, side, early=early), blocks[side][kind])
    if SAMPLE in blocks:
        f.params(params_word(INSTRUMENT, SAMPLE, early=early), blocks[SAMPLE][INSTRUMENT])


def spectrum(f: OpusFile, data: int, sample: int, points: list[float], *, early: bool = True, **params) -> None:
    """A data block and its data parameter block, laid out one after the other."""
    f.add(data_word(data, sample, early=early), struct.pack(f"<{len(points)}f", *points))
    f.params(data_word(data, sample, param=1, early=early),
             spectrum_params(len(points), 4000.0, 400.0, DAT="08/12/2026", TIM="09:15:02.120 (GMT+1)", **params))


def instrument_file(*, sample: bool = True, reference: bool = True, twins: bool = True, info: bool = False,
                    match: bool = False, second_channel: bool = False, duplicated: bool = False,
                    origin: Optional[dict] = None) -> OpusFile:
    """An instrument's file: single channels of the measurements it holds, their parameter blocks, the sample
    origin, and (`twins`) an absorbance before and after compensation. `duplicated` writes the parameter blocks a
    second time, without bit 30, as a later processing step does, with other values; `origin` replaces the
    sample-origin block's records."""
    f = OpusFile().add(DIRECTORY_WORD, b"", offset=24, size_in_words=120)
    sides = [side for side, there in ((SAMPLE, sample), (REFERENCE, reference)) if there]
    if sample:
        spectrum(f, 1, 1, values(4, 10.0))
    if reference:
        spectrum(f, 1, 2, values(4, 20.0))
    # A file with one measurement keeps it on side 0, whatever it measured.
    blocks = {side: side_parameters(side) for side in sides}
    add_measurement_blocks(f, blocks if len(sides) == 2 else {SAMPLE: blocks[sides[0]]})
    f.params(params_word(ORIGIN, SAMPLE), origin if origin is not None else {"SNM": "Polymer film", "CNM": "lab"})
    if twins:
        spectrum(f, 4, 3, values(5, 0.5), early=True)
        spectrum(f, 4, 3, values(5, 0.25), early=False)
    if match:
        spectrum_raw(f, MATCH, [0.64, 0.65, 0.66], extra=[9.0, 9.0])
        spectrum_raw(f, MATCH_2, [0.002, 0.003, 0.004], extra=[9.0])
    if second_channel:
        spectrum(f, 1 + 32, 1, values(3, 50.0))
    if info:
        f.params(INFO_WORD, {"INP": "C:/forms", "INM": "form.xpm", "I01": "batch 7", "T01": "Text:Batch",
                             "MOP": "INP INM I01 T01"})
    if duplicated:
        f.params(params_word(ORIGIN, SAMPLE, early=False), {"SNM": "renamed", "CNM": "lab"})
        f.params(params_word(OPTICS, SAMPLE, early=False), {"BMS": "CaF2", "CHN": "later"})
    f.add(HISTORY_WORD, bytes(100) + b"session\0\0\0\0")
    return f


def file_bytes(f: OpusFile) -> bytes:
    """The file as instruments lay it out: every block on a 4-byte offset, room for 40 directory entries."""
    for block in f.blocks:
        block.payload += bytes(-len(block.payload) % 4)
    return f.build(capacity=40)


def spectrum_raw(f: OpusFile, data: int, points: list[float], *, extra: list[float]) -> None:
    """A match block: NPT values followed by words that are not among them, and only the seven codes match
    blocks carry (no DAT, TIM or DXU)."""
    stored = points + extra
    f.add(data_word(data, 3, early=False), struct.pack(f"<{len(stored)}f", *stored))
    params = {"DPF": 1, "NPT": len(points), "FXV": 4000.0, "LXV": 400.0, "CSF": 1.0, "MXY": max(points),
              "MNY": min(points)}
    f.params(data_word(data, 3, param=1, early=False), params)
