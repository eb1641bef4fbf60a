"""The benchmarks' files, written with the project's builder (tests/opusbuilder.py): image maps, series,
multi-region maps, spectra, instrument-like files and long directories.
"""

from __future__ import annotations

import pathlib
import struct
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from opusbuilder import (ANNOTATION, DATA, DATA_PARAMS, FLOAT_COLUMN, INT_COLUMN, Column, OpusFile,  # noqa: E402
                         Table, annotation_block, block_type, data_block_3d_array, named_type, spectrum_params)


def write_image_map(path, side, npt, seed=1):
    rng = np.random.default_rng(seed)
    values = rng.random((side * side, npt), dtype=np.float32)
    f = OpusFile()
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"),
             spectrum_params(npt, 4000.0, 400.0, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=side, NPY=side))
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d_array(values))
    f.write(path)
    return path


def write_large_image_map(path, side, npt):
    """An image map written a slice at a time, for maps larger than one would build in memory."""
    f = OpusFile()
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"),
             spectrum_params(npt, 4000.0, 400.0, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=side, NPY=side))
    f.add(named_type("AB", param=DATA, dimension="3D"), b"")
    head = f.build()  # the data block is last: its records follow the file's end
    count, record = side * side, 4 * npt + 160
    rng = np.random.default_rng(5)
    with open(path, "wb") as out:
        out.write(head)
        out.write(struct.pack("<iiiiii", 1, count, 32, 4 * npt, 160, 1) + struct.pack("<ii", 1, count))
        for start in range(0, count, 4096):
            rows = min(4096, count - start)
            block = np.zeros((rows, record), np.uint8)
            block[:, :4 * npt] = rng.random((rows, npt), dtype=np.float32).view(np.uint8)
            out.write(block.tobytes())
    return path


def write_series(path, records, npt):
    values = np.random.default_rng(2).random((records, npt), dtype=np.float32)
    f = OpusFile()
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(npt, 4000.0, 400.0, ZTX="s"))
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d_array(values, z=np.arange(records) * 2.0))
    f.write(path)
    return path


def write_multi_region(path, regions, points, npt):
    values = np.random.default_rng(3).random((points, npt), dtype=np.float32)
    columns = [Column(name, INT_COLUMN) for name in ("Group", "Type", "AryNX", "AryNY", "AryType", "Fileindex")]
    columns += [Column("X", FLOAT_COLUMN), Column("Y", FLOAT_COLUMN)]
    per_region = points // regions
    rows = [[k // per_region + 1, 0, 0, 0, 0, k + 1, float(k % 100), float(k // 100)] for k in range(points)]
    f = OpusFile()
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(npt, 4000.0, 400.0))
    f.add(block_type(extend=ANNOTATION), annotation_block([Table(columns, rows)]))
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d_array(values))
    f.write(path)
    return path


def write_spectrum(path, npt, seed=4):
    values = np.random.default_rng(seed).random(npt, dtype=np.float32)
    f = OpusFile()
    f.spectrum("AB", values.tolist(), spectrum_params(npt, 4000.0, 400.0))
    for word, params in ((block_type(param=3), {"NSS": 32, "RES": 4.0}), (block_type(param=2), {"INS": "bench"}),
                         (block_type(param=10), {"SNM": "sample"}), (block_type(param=4), {"APF": "B3"})):
        f.params(word, params)
    f.write(path)
    return path


HISTORY = 0x40680000  # the processing log every instrument file holds
QUALITY_REPORT = 0x0060100F  # a report container attached to the AB block


def write_instrument_file(path, seed=0, interferograms=None):
    """Shaped like an instrument's file: six 2D blocks of 2,500-3,200 points (two of them interferograms scaled
    by CSF), a data parameter block of about 20 records each, acquisition, instrument, sample and FT blocks of
    about 65 records in all, a history and a report: about 72 KB. `interferograms` gives the two interferograms
    that many points instead (instruments write 15,000-29,000)."""
    rng = np.random.default_rng(seed)
    f = OpusFile()
    for k, name in enumerate(["AB", "SSC", "RSC", "SIFG", "RIFG", "AB"]):
        npt = int(rng.integers(2500, 3200))
        if interferograms is not None and name.endswith("IFG"):
            npt = interferograms[name == "RIFG"]
        params = spectrum_params(npt, 3999.6, 400.2, DAT="03/05/2019", TIM="13:34:44.641 (GMT-4)",
                                 **{f"D{i:02d}": i for i in range(9)})
        if name.endswith("IFG"):
            params["CSF"] = 0.04
        f.spectrum(name, rng.random(npt, dtype=np.float32).tolist(), params)
    companions = (
        (block_type(param=3), {f"A{i:02d}": (i if i % 3 else float(i)) for i in range(18)}),
        (block_type(param=2), {f"I{i:02d}": (float(i) if i % 2 else f"setting {i}") for i in range(20)}),
        (block_type(param=10), {"SNM": "Polymer film", "SFM": "film", "CNM": "operator",
                                **{f"S{i:02d}": i for i in range(7)}}),
        (block_type(param=4), {f"F{i:02d}": float(i) for i in range(15)}),
    )
    for word, params in companions:
        f.params(word, params)
    operations = "".join(f"Measurement\t2019/05/03 13:34:{k:02d} (GMT-4)\tAB, SSC\n" for k in range(40))
    f.add(HISTORY, bytes(100) + operations.encode("cp1252").ljust(-(-len(operations) // 4) * 4 + 4, b"\0"))
    f.add(QUALITY_REPORT, struct.pack("<iii", 12, 2000, 1) + bytes(2000) + bytes(1200))
    f.write(path)
    return path


def write_directory(path, entries):
    names = ["AB", "TR", "SSC", "RSC", "KM"]
    f = OpusFile()
    for i in range(entries // 2):
        name = names[i % len(names)]
        f.add(named_type(name, param=DATA), bytes(16))
        f.params(named_type(name, param=DATA_PARAMS), {"NPT": 4})
    f.write(path)
    return path
