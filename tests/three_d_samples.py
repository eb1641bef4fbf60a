"""3D files of every kind, good and damaged, made with the builder: shared by
the leak, thread and property tests and the fuzzers' seeds."""

from __future__ import annotations

import math
import struct

from opusbuilder import (ACQUISITION, ANNOTATION, DATA, DATA_PARAMS, FLOAT_COLUMN, FT, INT_COLUMN, TEXT_COLUMN, Column,
                         OpusFile, Record3D, Table, annotation_block, block_type, data_block_3d, named_type,
                         spectrum_params)


def values(n: int, phase: float = 0.0) -> list[float]:
    return [math.sin(i / 3 + phase) for i in range(n)]


def companions(f: OpusFile) -> OpusFile:
    f.params(block_type(param=ACQUISITION), {"NSS": 32, "SNM": "Müller 1mm²"})
    return f.params(block_type(param=FT), {"APF": "B3", "ZFF": 2})


REGION_COLUMNS = [Column(name, INT_COLUMN) for name in ("Group", "Type", "AryNX", "AryNY", "AryType", "Fileindex")]
REGION_COLUMNS += [Column("X", FLOAT_COLUMN), Column("Y", FLOAT_COLUMN), Column("Name", TEXT_COLUMN)]


def region_table() -> Table:
    """Two regions: a 2 x 2 grid of spectra 1-4 and two points counted by their group."""
    rows = [(2, 0, 2, 2, 0, k + 1, k * 1.5, -k * 0.5, f"point {k}") for k in range(4)]
    rows += [(1, 0, 0, 0, 0, 5 + k, 9.0, k * 1.0, "") for k in range(2)]
    return Table(REGION_COLUMNS, rows)


def three_d_blocks() -> dict[str, bytes]:
    """3D data blocks of every layout the readers meet: runs, gaps, empty runs, repeats, short info records."""
    records = [Record3D(values(8, k), z=float(k), label=f"trace {k}") for k in range(6)]
    return {
        "run": data_block_3d(records),
        "gaps": data_block_3d(records, store_table=[[1, 2], [-1, 24], [3, 6]]),
        "repeats": data_block_3d(records, store_table=[[5, 6], [7, 6], [1, 2], [2, 3]]),
        "short-info": data_block_3d(records[:2], info_size=140),
        "long-data": data_block_3d(records[:3], block_size=44, info_size=200),
        "empty": data_block_3d([]),
    }


def good() -> dict[str, bytes]:
    """A file of every 3D kind, each with its companion parameter blocks."""
    blocks = three_d_blocks()
    image = spectrum_params(8, 4000.0, 400.0, AOX=0.0, AOY=0.0, NPX=3, NPY=2, DDX=1.0, DDY=1.0)
    trace_image = spectrum_params(6, 1.0, 6.0, AOX=0.0, AOY=0.0, NPX=3, NPY=2, DDX=1.0, DDY=1.0)
    series = spectrum_params(8, 4000.0, 400.0, ZTX="time")
    plain = spectrum_params(8, 4000.0, 400.0)
    trace_records = [Record3D(values(6, k), label=f"map {k}") for k in range(3)]
    kinds = {  # name: (data type, derivative, params, data block, annotation tables)
        "image": ("AB", "NONE", image, blocks["gaps"], None),
        "trace image": ("TRC", "NONE", trace_image, data_block_3d(trace_records, info_size=170), None),
        "series": ("AB", "NONE", series, blocks["repeats"], None),
        "trace series": ("TRC", "NONE", plain, blocks["gaps"], None),
        "regions": ("AB", "NONE", plain, blocks["run"], [region_table()]),
        "region traces": ("TRC", "NONE", plain, blocks["run"], [region_table()]),
    }
    files = {}
    # The data block comes last, so a file cut short loses records first.
    for kind, (name, deriv, params, block, tables) in kinds.items():
        f = OpusFile().params(named_type(name, param=DATA_PARAMS, dimension="3D", deriv=deriv), params)
        if tables is not None:
            f.add(block_type(extend=ANNOTATION), annotation_block(tables))
        files[kind] = companions(f).add(named_type(name, param=DATA, dimension="3D", deriv=deriv), block).build()
    # A derivative map that takes the grid of its underived block.
    f = OpusFile().params(named_type("AB", param=DATA_PARAMS, dimension="3D", deriv="1DER"), {**image, "NPX": 0})
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), image)
    files["derivative image"] = f.add(named_type("AB", param=DATA, dimension="3D", deriv="1DER"), blocks["run"]).build()
    return files


def damaged() -> dict[str, bytes]:
    """Each kind cut inside its records, its last values or its last info record, and the damaged
    heads, counts and tables the readers refuse."""
    files = {}
    for kind, data in good().items():
        files[f"{kind} cut"] = data[:len(data) * 2 // 3]
        files[f"{kind} cut in its last values"] = data[:-178]  # the info records are 160 or 170 bytes
        files[f"{kind} cut in its last info record"] = data[:-100]
    huge_table = struct.pack("<iiiiii", 1, 1, 24, 32, 0, 2**31 - 1) + struct.pack("<ii", 1, 2**31 - 1)
    series = spectrum_params(8, 1.0, 8.0, ZTX="s")
    for kind, block, params in (
            ("huge store table", huge_table, series),
            ("huge NPT", three_d_blocks()["run"], {**series, "NPT": 2**31 - 1}),
            ("map of no columns", three_d_blocks()["run"],
             spectrum_params(8, 1.0, 8.0, AOX=0.0, AOY=0.0, NPX=0, NPY=2, DDX=1.0, DDY=1.0)),
            ("negative record size", three_d_blocks()["run"][:12] + struct.pack("<i", -8) + three_d_blocks()["run"][16:],
             series),
            ("huge grid", three_d_blocks()["run"],  # zeros past the result limit, not backed by the file
             spectrum_params(8, 1.0, 8.0, AOX=0.0, AOY=0.0, NPX=65536, NPY=65536, DDX=1.0, DDY=1.0)),
            ("series of no record", three_d_blocks()["empty"], series)):
        f = OpusFile().add(named_type("AB", param=DATA, dimension="3D"), block)
        files[kind] = f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), params).build()
    overlapping = Table(region_table().columns[:-1], [row[:-1] for row in region_table().rows], row_length=8)
    f = OpusFile().add(named_type("AB", param=DATA, dimension="3D"), three_d_blocks()["run"])
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(8, 1.0, 8.0))
    files["overlapping table rows"] = f.add(block_type(extend=ANNOTATION), annotation_block([overlapping])).build()
    return files
