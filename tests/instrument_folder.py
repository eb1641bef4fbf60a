"""Folders shaped like the ones instrument software fills, built with the project's builder.

An instrument file has a directory of room for 40 entries whose first entry is the directory block itself, blocks
on 4-byte offsets, the measurement-time blocks marked with bit 30, and an absorbance computed twice (before and
after atmospheric compensation, the later one answering a request). A folder of them holds sample files, the
background measured before them (reference channels only), now and then a reflectance measurement or a map, and
the debris of failed saves: empty files, files of a few bytes, a file cut short by an interrupted copy.
"""

from __future__ import annotations

import math
import pathlib
import struct
from typing import Optional, Sequence

import numpy as np

from opusbuilder import MAGIC, Record3D, data_block_3d, param_block

B30 = 0x40000000
DIRECTORY_BLOCK = 0x00003400
HISTORY = 0x40680000
CAPACITY = 40
# Raw type words of data blocks (data, then data parameters) by name; sampleType 3 for results.
DATA_WORDS = {
    "SSC": (0x00000407, 0x00000417), "RSC": (0x0000040B, 0x0000041B),
    "SIFG": (0x00000807, 0x00000817), "RIFG": (0x0000080B, 0x0000081B),
    "AB": (0x0000100F, 0x0000101F), "REFL": (0x0000300F, 0x0000301F),
    "AB3D": (0x0050100F, 0x0050101F),
}
INSTRUMENT, ACQUISITION, FT, OPTICS, ORIGIN = 0x20, 0x30, 0x40, 0x60, 0xA0
REFERENCE = 0x08  # sampleType 2 of a parameter block


def layout(blocks: Sequence[tuple[int, bytes]]) -> bytes:
    """The file: header, a directory of CAPACITY entries led by the directory block, blocks on 4-byte offsets."""
    entries = [(DIRECTORY_BLOCK, 3 * CAPACITY, 24)]
    body = bytearray(24 + 12 * CAPACITY)
    for word, payload in blocks:
        entries.append((word, (len(payload) + 3) // 4, len(body)))
        body += payload + bytes(-len(payload) % 4)
    body[:24] = MAGIC + struct.pack("<diii", 920622.0, 24, CAPACITY, len(entries))
    for k, (word, size, offset) in enumerate(entries):
        body[24 + 12 * k:36 + 12 * k] = struct.pack("<Iii", word, size, offset)
    return bytes(body)


def axis(npt: int, first: float, last: float) -> np.ndarray:
    return np.linspace(first, last, npt)


def data_params(values: Sequence[float], npt: int, first: float, last: float, when: Optional[tuple[str, str]],
                **more: object) -> bytes:
    params: dict = {"DPF": 1, "NPT": npt, "FXV": first, "LXV": last, "CSF": 1.0, "MXY": float(max(values)),
                    "MNY": float(min(values)), "DXU": "WN"}
    if when is not None:
        params.update(DAT=when[0], TIM=when[1])
    params.update(more)
    return param_block(params)


def spectrum_blocks(name: str, values: Sequence[float], npt: int, first: float, last: float,
                    when: Optional[tuple[str, str]], *, measured: bool = True, **more: object) -> list[tuple[int, bytes]]:
    data, parameters = DATA_WORDS[name]
    mark = B30 if measured else 0
    return [(data | mark, struct.pack(f"<{len(values)}f", *values)),
            (parameters | mark, data_params(values, npt, first, last, when, **more))]


def companions(name: str, *, reference: bool = True, resolution: float = 4.0, scans: int = 32,
               instrument: str = "FT-IR bench") -> list[tuple[int, bytes]]:
    """The acquisition, instrument, FT, optics and sample-origin blocks, sample (x/0) and reference (x/2), in the
    order instrument software writes them (the reference instrument block before the sample's)."""
    blocks: list[tuple[int, bytes]] = []
    if reference:
        blocks.append((INSTRUMENT | REFERENCE | B30, param_block({"INS": instrument, "LWN": 15798.0, "HUM": 41})))
    blocks += [(INSTRUMENT | B30, param_block({"INS": instrument, "LWN": 15798.0, "HUM": 38})),
               (ACQUISITION | B30, param_block({"RES": resolution, "NSS": scans, "AQM": "DD", "HFW": 8000.0}))]
    if reference:
        blocks.append((ACQUISITION | REFERENCE | B30, param_block({"RES": resolution, "NSR": scans, "AQM": "DD"})))
    blocks.append((FT | B30, param_block({"APF": "B3", "PHZ": "ME", "ZFF": 2})))
    blocks.append((OPTICS | B30, param_block({"BMS": "KBr", "SRC": "MIR", "APT": "6 mm"})))
    blocks.append((ORIGIN | B30, param_block({"SNM": name, "SFM": "film", "CNM": "lab", "EXP": "sample.xpm"})))
    return blocks


def history() -> tuple[int, bytes]:
    text = b"\0" * 100 + b"2026/12/08 09:15:02 (GMT+1)\tMeasurement\0\0"
    return HISTORY, text + bytes(-len(text) % 4)


def bands(x: np.ndarray, hour: int) -> np.ndarray:
    return 0.03 + 1e-5 * (x - 400) + 0.9 * np.exp(-((x - 2920) / 45) ** 2) + 0.07 * hour * np.exp(
        -((x - 1720) / 35) ** 2)


def sample_file(name: str, hour: int, *, npt: int = 60, first: float = 3999.6, last: float = 400.2,
                kind: str = "AB", resolution: float = 4.0, scans: int = 32, instrument: str = "FT-IR bench") -> bytes:
    """A sample measurement of a film `hour` hours into its ageing (see `measurement`)."""
    x = axis(npt, first, last)
    when = ("08/12/2026", f"{8 + hour:02d}:15:02.120 (GMT+1)")
    return measurement(name, x, bands(x, hour), when, kind=kind, resolution=resolution, scans=scans,
                       instrument=instrument)


def measurement(name: str, x: np.ndarray, result: np.ndarray, when: tuple[str, str], *, kind: str = "AB",
                resolution: float = 4.0, scans: int = 32, instrument: str = "FT-IR bench") -> bytes:
    """A sample measurement: sample and reference single channels, then the result (`kind`, an absorbance by
    default) twice, before and after compensation, with every parameter block and a history."""
    npt, first, last = x.size, float(x[0]), float(x[-1])
    channel = (np.sin(math.pi * (x - 400) / 3600) + 1.1) * 10 ** -result
    blocks = spectrum_blocks("SSC", channel, npt, first, last, when)
    blocks += spectrum_blocks("RSC", channel * 1.2, npt, first, last, when)
    blocks += companions(name, resolution=resolution, scans=scans, instrument=instrument)
    blocks += spectrum_blocks(kind, result + 0.001, npt, first, last, when)
    blocks.append(history())
    blocks += spectrum_blocks(kind, result, npt, first, last, when, measured=False)
    return layout(blocks)


def background_file(*, npt: int = 60) -> bytes:
    """A background alone: the reference single channel and interferogram, its blocks as a lone measurement's."""
    x = axis(npt, 3999.6, 400.2)
    channel = np.sin(math.pi * (x - 400) / 3600) + 1.1
    when = ("08/12/2026", "07:55:40.500 (GMT+1)")
    blocks = spectrum_blocks("RSC", channel, npt, 3999.6, 400.2, when)
    blocks += spectrum_blocks("RIFG", np.cos(np.arange(128) / 5), 128, 0.0, 127.0, when, DXU="PNT")
    blocks += companions("background", reference=False)
    blocks.append(history())
    return layout(blocks)


def map_file(*, npt: int = 40, npx: int = 3, npy: int = 2) -> bytes:
    """An image map of AB spectra."""
    x = axis(npt, 3800.0, 700.0)
    records = [Record3D((bands(x, k) * (1 + k / 10)).astype(np.float32).tolist()) for k in range(npx * npy)]
    flat = [v for r in records for v in r.values]
    data, parameters = DATA_WORDS["AB3D"]
    params = param_block({"DPF": 1, "NPT": npt, "FXV": 3800.0, "LXV": 700.0, "CSF": 1.0, "MXY": max(flat),
                          "MNY": min(flat), "DXU": "WN", "DAT": "08/12/2026", "TIM": "12:00:00.000 (GMT+1)",
                          "AOX": 0.0, "AOY": 0.0, "DDX": 25.0, "DDY": 25.0, "NPX": npx, "NPY": npy})
    blocks = [(data | B30, data_block_3d(records)), (parameters | B30, params)]
    blocks += companions("blend map", reference=False)
    return layout(blocks)


def write_folder(folder: pathlib.Path, *, samples: int = 3) -> dict[str, str]:
    """An instrument folder: `samples` sample files (AB), a background (RSC/RIFG only), a reflectance file, a
    map, an empty file, a 2-byte file and a sample file cut short. Returns path by role."""
    folder.mkdir(parents=True, exist_ok=True)
    paths: dict[str, str] = {}

    def put(role: str, name: str, data: bytes) -> None:
        path = folder / name
        path.write_bytes(data)
        paths[role] = str(path)

    put("background", "background.0", background_file())
    for k in range(samples):
        put(f"sample{k}", f"film_{k:02d}.0", sample_file(f"film, {k} h in air", k))
    put("reflectance", "mirror.1", sample_file("gold mirror", 0, kind="REFL"))
    put("map", "blend_map.0", map_file())
    put("empty", "failed_save.0", b"")
    put("tiny", "failed_save.1", b"\n\n")
    whole = sample_file("cut short", 5)
    put("cut", "film_cut.0", whole[:len(whole) * 3 // 5])
    return paths
