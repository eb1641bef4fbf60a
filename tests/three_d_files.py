"""Small 3D files around one data block, made with the builder, and their reading: for the 3D reader's tests."""

import lumira
from opusbuilder import (ANNOTATION, DATA, DATA_PARAMS, FLOAT_COLUMN, INT_COLUMN, Column, OpusFile, Record3D, Table,
                         annotation_block, block_type, named_type, spectrum_params)

NPT = 4


def records(count, npt=NPT, label=lambda k: f"trace {k}"):
    """Record k holds k*100, k*100+1, ...; its z value is k/2."""
    return [Record3D([k * 100.0 + i for i in range(npt)], z=k / 2, label=label(k)) for k in range(count)]


def three_d_file(block, params, *, name="AB", deriv="NONE", annotation=None, extra=(), data_last=False):
    f = OpusFile()
    data_word = named_type(name, param=DATA, dimension="3D", deriv=deriv)
    if not data_last:
        f.add(data_word, block)
    f.params(named_type(name, param=DATA_PARAMS, dimension="3D", deriv=deriv), params)
    for word, params_ in extra:
        f.params(word, params_)
    if annotation is not None:
        f.add(block_type(extend=ANNOTATION), annotation)
    if data_last:
        f.add(data_word, block)
    return f.build()


def image_params(npx, npy, npt=NPT, **more):
    grid = dict(AOX=10.0, AOY=-1.0, DDX=2.5, DDY=0.5, NPX=npx, NPY=npy)
    return spectrum_params(npt, 1.0, float(npt), **{**grid, **more})


def read(write, data, name="AB", deriv="NONE"):
    return lumira.getOpusData(write(data), (name, "3D", deriv))


def series(block, name="AB", **more):
    params = spectrum_params(NPT, 1.0, 4.0, **more)
    return three_d_file(block, params, name=name)


COLUMNS = [Column("Group", INT_COLUMN), Column("Type", INT_COLUMN), Column("AryNX", INT_COLUMN),
           Column("AryNY", INT_COLUMN), Column("AryType", INT_COLUMN), Column("Fileindex", INT_COLUMN),
           Column("X", FLOAT_COLUMN), Column("Y", FLOAT_COLUMN)]


def point(group, fileindex, *, nx=0, ny=0, kind=0, array_type=0, x=0.0, y=0.0):
    return [group, kind, nx, ny, array_type, fileindex, x, y]


def multi_region(rows, block, name="AB", columns=COLUMNS, **options):
    return three_d_file(block, spectrum_params(NPT, 1.0, 4.0), name=name,
                        annotation=annotation_block([Table(columns, rows)], **options))
