"""Writes the seed corpora of the fuzz targets, every file made with the test builder.

    python fuzz/make_seeds.py OUTDIR

OUTDIR/files/ gets whole files of every kind of block (for the targets that
read files); OUTDIR/block_type/ gets block type words and request texts;
OUTDIR/three_d/ and OUTDIR/annotation/ get 3D data blocks and annotation
blocks behind the control bytes their targets take first; OUTDIR/record_ranges/
gets 3D files, good and damaged, behind a range of rows and a chunk size;
OUTDIR/history/, OUTDIR/container/ and OUTDIR/image/ get history blocks,
table containers and image cells as they are.
"""

from __future__ import annotations

import math
import pathlib
import struct
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import partsbuilder  # noqa: E402
import three_d_samples  # noqa: E402
from opusbuilder import (ACQUISITION, DATA, DATA_PARAMS, DATA_TYPES, EXTENDED_DIRECTORY, FLOAT_COLUMN,  # noqa: E402
                         FT, INSTRUMENT, INT_COLUMN, SAMPLE_ORIGIN, Column, OpusFile, Raw, Table, annotation_block,
                         block_type, int_record, named_type, spectrum_params, text_record)
from three_d_samples import region_table, three_d_blocks  # noqa: E402


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
    # Two absorbances under one type word, each with its own parameter block: the first is shadowed.
    f = OpusFile().add(named_type("AB", param=DATA), struct.pack("<3f", *values(3)))
    f.add(named_type("AB", param=DATA), struct.pack("<4f", *values(4)))
    f.params(named_type("AB", param=DATA_PARAMS), spectrum_params(3, 4000.0, 400.0))
    f.params(named_type("AB", param=DATA_PARAMS), spectrum_params(4, 3000.0, 600.0))
    files["shadowed"] = companions(f).build()
    pb = partsbuilder
    f = OpusFile().spectrum("AB", values(8), spectrum_params(8, 1.0, 8.0))
    f.add(pb.HISTORY, pb.history_block([pb.Session(operations=[pb.Operation("Save", "AB", command="SAV {}")])]))
    files["with-parts"] = f.add(pb.QUALITY_TEST, pb.quality_test_report()).build()
    return files


def three_d() -> dict[str, bytes]:
    return {f"3d-{kind.replace(' ', '-')}": data for kind, data in three_d_samples.good().items()}


def block_seeds() -> dict[str, dict[str, bytes]]:
    """Inputs of the block targets: NPT, NPX, NPY and the block's offset, then a 3D block;
    the annotation block's offset, then annotation blocks."""
    three = {name: struct.pack("<ihhH", 8, 3, 2, 0) + block for name, block in three_d_blocks().items()}
    three["shifted"] = struct.pack("<ihhH", 8, 2, 3, 5) + bytes(5) + three_d_blocks()["gaps"]
    tables = [region_table(), Table([Column("X", FLOAT_COLUMN), Column("Group", INT_COLUMN)], [(1.0, 1), (2.0, 1)])]
    annotation = {"regions": struct.pack("<H", 0) + annotation_block(tables[:1]),
                  "two-tables": struct.pack("<H", 0) + annotation_block(tables),
                  "shifted": struct.pack("<H", 7) + bytes(7) + annotation_block(tables[1:])}
    ranges = {f"{name.replace(' ', '-')}-{start}-{length}": struct.pack("<HBB", start, length, chunk) + data
              for name, data in {**three_d_samples.good(), **three_d_samples.damaged()}.items()
              for start, length, chunk in ((0, 6, 1), (1, 3, 2))}
    return {"three_d": three, "annotation": annotation, "record_ranges": ranges}


def part_seeds() -> dict[str, dict[str, bytes]]:
    """The blocks beside the data: histories, every kind of container (one with a moved directory, one of image
    tiles) and image cells."""
    pb = partsbuilder
    operations = [pb.Operation("Measurement", details=["\tRES=4", "H2O CO2"], command="MEA {A='1'}"),
                  pb.Operation("Save", "AB->AB", extra="C:\\x.0", command="SAV {}")]
    history = {"one-session": pb.history_block([pb.Session(operations=operations)]),
               "two-sessions": pb.history_block([pb.Session(operations=operations[:1]),
                                                 pb.Session(operations=operations[1:])], gap=5)}
    tile = pb.image_table(pb.TILE_JPEG, image_id=4, position=(0.0, 0.0), size=(8, 6))
    tables = [(f"t{k}", pb.Table([pb.Column("N", pb.INT32), pb.Column("S", pb.TEXT + 3)], [(k, "ab")]))
              for k in range(3)]
    container = {"quality-test": pb.quality_test_report(), "quantitative": pb.quantitative_report(),
                 "multi-evaluation": pb.multi_evaluation_report(), "reference-values": pb.reference_values(),
                 "annotations": pb.annotation_tables(), "images": pb.image_container([tile, tile]),
                 "relocated": pb.container_block(pb.REFERENCE_VALUES, "moved", tables, reserved=200,
                                                 relocated_after=1, relocated_reserve=300)}
    image = {"tile": pb.bitmap_blob(pb.TILE_JPEG)}
    return {"history": history, "container": container, "image": image}


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
    for folder, seeds in {**block_seeds(), **part_seeds()}.items():
        (out / folder).mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (out / folder / name).write_bytes(data)


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
