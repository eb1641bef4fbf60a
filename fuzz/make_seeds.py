"""Writes the seed corpora of the fuzz targets, every file made with the test builder.

    python fuzz/make_seeds.py OUTDIR

OUTDIR/files/ gets whole files of every kind of block (for the targets that
read files); OUTDIR/block_type/ gets block type words and request texts.
"""

from __future__ import annotations

import math
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

from opusbuilder import (ACQUISITION, ANNOTATION, DATA, DATA_PARAMS, DATA_TYPES, EXTENDED_DIRECTORY, FLOAT_COLUMN,  # noqa: E402
                         FT, INSTRUMENT, INT_COLUMN, SAMPLE_ORIGIN, TEXT_COLUMN, Column, OpusFile, Raw, Record3D,
                         Table, annotation_block, block_type, data_block_3d, int_record, named_type, spectrum_params,
                         text_record)


def values(n: int, phase: float = 0.0) -> list[float]:
    return [math.sin(i / 3 + phase) for i in range(n)]


def companions(f: OpusFile, sample: int = 0) -> OpusFile:
    f.params(block_type(param=ACQUISITION), {"NSS": 32, "APT": "1 mm", "SNM": "acq"})
    f.params(block_type(param=INSTRUMENT, sample=sample), {"INS": "FT-IR", "LWN": 15798.0, "HFW": 4000.0})
    f.params(block_type(param=SAMPLE_ORIGIN), {"SNM": "Müller 1mm²", "CNM": "op", "DAT": "01/02/2020"})
    f.params(block_type(param=FT), {"APF": "B3", "ZFF": 2, "RES": 4.0})
    return f


def spectra() -> dict[str, bytes]:
    files = {}
    for name in DATA_TYPES:
        for deriv in ("NONE", "1DER", "NDER"):
            f = OpusFile().spectrum(name, values(16), spectrum_params(16, 4000.0, 400.0), deriv=deriv)
            files[f"spectrum-{name}-{deriv}"] = companions(f).build()
    f = OpusFile().spectrum("AB", values(8), spectrum_params(8, 1.0, 8.0))
    f.spectrum("TR", values(8, 1.0), spectrum_params(8, 1.0, 8.0))
    files["two-spectra"] = f.build()
    f = OpusFile()
    f.add(named_type("AB", param=DATA), struct.pack("<8f", *values(8)), extended=True)
    f.params(named_type("AB", param=DATA_PARAMS), spectrum_params(8, 1.0, 8.0), extended=True)
    files["extended-directory"] = f.build()
    return files


def three_d() -> dict[str, bytes]:
    records = [Record3D(values(8, k), z=float(k), label=f"trace {k}") for k in range(6)]
    files = {}
    image = spectrum_params(8, 4000.0, 400.0, AOX=0.0, AOY=0.0, NPX=3, NPY=2, DDX=1.0, DDY=1.0)
    for kind, params in (("image", image), ("series", spectrum_params(8, 4000.0, 400.0, ZTX="time"))):
        f = OpusFile().add(named_type("AB", param=DATA, dimension="3D"), data_block_3d(records))
        files[f"3d-{kind}"] = f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), params).build()
    gapped = data_block_3d(records, store_table=[[1, 2], [-1, 24], [3, 6]])
    f = OpusFile().add(named_type("TRC", param=DATA, dimension="3D"), gapped)
    files["3d-traces-gap"] = f.params(named_type("TRC", param=DATA_PARAMS, dimension="3D"),
                                      spectrum_params(8, 1.0, 8.0, ZTX="s")).build()
    table = Table([Column("Name", TEXT_COLUMN), Column("X", FLOAT_COLUMN), Column("Y", FLOAT_COLUMN),
                   Column("Index", INT_COLUMN)], [("region 1", 1.5, 2.5, 0), ("region 2", 3.0, 4.0, 3)])
    f = OpusFile().add(named_type("AB", param=DATA, dimension="3D"), data_block_3d(records))
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(8, 4000.0, 400.0))
    files["3d-regions"] = f.add(block_type(extend=ANNOTATION), annotation_block([table])).build()
    return files


def damaged(base: bytes) -> dict[str, bytes]:
    files = {"truncated-header": base[:13], "truncated-directory": base[:40], "truncated-data": base[:-20]}
    files["huge-count"] = base[:20] + struct.pack("<i", 2**31 - 1) + base[24:]
    files["negative-directory"] = base[:12] + struct.pack("<i", -24) + base[16:]
    f = OpusFile().add(named_type("AB", param=DATA), struct.pack("<4f", 1, 2, 3, 4))
    f.add(named_type("AB", param=DATA_PARAMS), int_record("NPT", 4) + text_record("ABC", "x", size=-3))
    files["negative-text-size"] = f.build()
    f = OpusFile().add(block_type(extend=EXTENDED_DIRECTORY), b"", offset=10**6)
    files["extension-past-end"] = f.build()
    f = OpusFile().add(named_type("AB", param=DATA), b"")
    files["params-without-end"] = f.add(named_type("AB", param=DATA_PARAMS), Raw(int_record("NPT", 4)).data).build()
    return files


BLOCK_TYPE_SEEDS = [struct.pack("<q", word) for word in (0, -1, 4112, 1044, 1048, 1 << 25, 67108864, -2**31,
                                                         0x1000 | 0x10 | 0x500000, 0x1000 | 0x10 | 0x60000)]
BLOCK_TYPE_SEEDS += [text.encode() for text in ("AB", "SSC", "3DER", "NDER", "2D", "3D", "TRARI", "rpow")]


def main(out: pathlib.Path) -> None:
    files = {**spectra(), **three_d()}
    files.update(damaged(files["spectrum-AB-NONE"]))
    (out / "files").mkdir(parents=True, exist_ok=True)
    for name, data in files.items():
        (out / "files" / f"{name}.0").write_bytes(data)
    (out / "block_type").mkdir(parents=True, exist_ok=True)
    for index, data in enumerate(BLOCK_TYPE_SEEDS):
        (out / "block_type" / f"seed{index}").write_bytes(data)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
