"""The info fields of 3D records (scans, folding limits, x and y range, peaks, start and end time) as arrays of
read_file's blocks and as coordinates of to_xarray, eager and lazy."""

import math

import numpy as np
import pytest

import lumira
import lumira_tools
from opusbuilder import (ANNOTATION, DATA, DATA_PARAMS, INFO_FIELDS, OpusFile, Record3D, annotation_block, block_type,
                         data_block_3d, named_type, spectrum_params)
from three_d_samples import companions, region_table, values

FIELDS = list(INFO_FIELDS)


def fields_of(number):
    """Distinct values of every field but SRT for the record of this number (SRT is its z, the number itself)."""
    return {name: (100 * k + number if layout == "<i" else k + number / 8)
            for k, (name, (_, layout)) in enumerate(INFO_FIELDS.items()) if name != "SRT"}


def expected(name, number):
    if number is None:
        return -1 if INFO_FIELDS[name][1] == "<i" else math.nan
    return float(number) if name == "SRT" else fields_of(number)[name]


GRID = dict(AOX=0.0, AOY=0.0, NPX=3, NPY=2, DDX=1.0, DDY=1.0)
KINDS = {  # kind: (data type, parameters, records, annotation, the record numbers along the record dimensions)
    "image map": ("AB", spectrum_params(8, 4000.0, 400.0, **GRID), 5, False, [[1, 2, 3], [4, 5, None]]),
    "image map (traces)": ("TRC", spectrum_params(6, 1.0, 6.0, **GRID), 3, False, [1, 2, 3]),
    "series": ("AB", spectrum_params(8, 4000.0, 400.0, ZTX="time"), 4, False, [1, 2, 3, 4]),
    "series (traces)": ("TRC", spectrum_params(8, 4000.0, 400.0), 3, False, [1, 2, 3]),
    "multi-region": ("AB", spectrum_params(8, 4000.0, 400.0), 6, True, None),  # along the points
    "multi-region (traces)": ("TRC", spectrum_params(8, 4000.0, 400.0), 6, True, [1, 2, 3, 4, 5, 6]),
}
DIMS = {"image map": ("y", "x"), "series": ("z",), "multi-region": ("point",)}


def three_d_file(path, kind, *, info_size=200, records=None):
    name, params, count, annotated, _ = KINDS[kind]
    npt = params["NPT"]
    records = records or [Record3D(values(npt, k), z=float(k + 1), info=fields_of(k + 1)) for k in range(count)]
    f = OpusFile().params(named_type(name, param=DATA_PARAMS, dimension="3D"), params)
    if annotated:
        f.add(block_type(extend=ANNOTATION), annotation_block([region_table()]))
    companions(f).add(named_type(name, param=DATA, dimension="3D"), data_block_3d(records, info_size=info_size))
    return f.write(path)


def numbers_along(kind, block):
    numbers = KINDS[kind][4]
    if numbers is None:  # each point names its record, whose start time is its number
        numbers = [int(t) for region in block.result.regions for t in region.start_time]
    return np.array(numbers, dtype=object)


@pytest.mark.parametrize("kind", KINDS)
def test_each_kind_gives_every_field_along_its_records(tmp_path, kind):
    block = lumira_tools.read_file(three_d_file(tmp_path / "f.0", kind))[0]
    assert block.ok and block.kind == kind
    assert list(block.record_info.dtype.names) == FIELDS
    numbers = numbers_along(kind, block)
    for name in FIELDS:
        column = block.record_info[name]
        assert column.dtype == (np.int32 if INFO_FIELDS[name][1] == "<i" else np.float64)
        want = np.vectorize(lambda n: expected(name, n), otypes=[column.dtype])(numbers)
        np.testing.assert_array_equal(column, want, err_msg=name)


@pytest.mark.parametrize("info_size, held", [
    (0, []), (68, FIELDS[:13]), (70, FIELDS[:13]), (72, FIELDS[:14]), (148, FIELDS[:24]), (152, FIELDS), (400, FIELDS),
])
def test_a_field_past_the_end_of_a_short_info_record_is_missing(tmp_path, info_size, held):
    records = [Record3D(values(8, k), info=fields_of(k + 1)) for k in range(2)]
    path = three_d_file(tmp_path / "f.0", "series (traces)", info_size=info_size, records=records)
    info = lumira_tools.read_file(path)[0].record_info
    for name in FIELDS:
        column = info[name]
        numbers = [1, 2] if name in held else [None, None]
        want = [0.0 if (name == "SRT" and n is not None) else expected(name, n) for n in numbers]
        np.testing.assert_array_equal(column, want, err_msg=name)


@pytest.mark.parametrize("kind", ["series", "image map"])
@pytest.mark.parametrize("info_size, block_size", [
    (200, None),  # rows are the records' tails as the file has them
    (200, 8 * 4 + 12),  # ... behind the unused end of each data part
    (152, None),  # an info record of just the fields
    (700, None),  # long labels: rows of just the fields, copied
])
def test_the_layout_of_the_records_leaves_the_fields_as_they_are(tmp_path, kind, info_size, block_size):
    name, params, count, _, numbers = KINDS[kind]
    records = [Record3D(values(8, k), z=float(k + 1), label="x" * 300, info=fields_of(k + 1)) for k in range(count)]
    f = OpusFile().params(named_type(name, param=DATA_PARAMS, dimension="3D"), params)
    block = data_block_3d(records, info_size=info_size, block_size=block_size)
    path = companions(f).add(named_type(name, param=DATA, dimension="3D"), block).write(tmp_path / "f.0")
    info = lumira_tools.read_file(path)[0].record_info
    for name in FIELDS:
        want = np.vectorize(lambda n: expected(name, n), otypes=[info[name].dtype])(np.array(numbers, dtype=object))
        np.testing.assert_array_equal(info[name], want, err_msg=name)


@pytest.mark.parametrize("info_size", [200, 700])
def test_a_record_cut_off_by_the_end_of_the_file_misses_the_fields_it_lost(tmp_path, info_size):
    records = [Record3D(values(8, k), z=float(k + 1), info=fields_of(k + 1)) for k in range(4)]
    path = three_d_file(tmp_path / "f.0", "series", info_size=info_size, records=records)
    data = open(path, "rb").read()
    open(path, "wb").write(data[:-info_size + 100])  # the last info record keeps its first 100 bytes
    block = lumira_tools.read_file(path, strict=False)[0]
    assert block.ok
    last = block.record_info[-1]
    assert last["LFF"] == fields_of(4)["LFF"] and last["filter_size"] == fields_of(4)["filter_size"]
    assert last["PKL"] == -1 and math.isnan(last["ERT"]) and math.isnan(last["MXY"])


def test_a_grid_far_larger_than_its_records_reads_without_record_info(tmp_path):
    # A million cells of one value each is a result the file may give; 25 fields for each would not be.
    params = spectrum_params(1, 1.0, 1.0, AOX=0.0, AOY=0.0, NPX=1000, NPY=1000, DDX=1.0, DDY=1.0)
    f = OpusFile().params(named_type("AB", param=DATA_PARAMS, dimension="3D"), params)
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d([Record3D([1.0], info=fields_of(1))]))
    block = lumira_tools.read_file(f.write(tmp_path / "f.0"))[0]
    assert block.ok and block.result.spectra.shape == (1000, 1000, 1)
    assert block.record_info is None


@pytest.mark.parametrize("options, kind", [({"data": False}, "series"), ({}, None)])
def test_no_record_info_without_values_or_for_spectra(tmp_path, options, kind):
    if kind is None:
        path = OpusFile().spectrum("AB", values(8), spectrum_params(8, 4000.0, 400.0)).write(tmp_path / "s.0")
    else:
        path = three_d_file(tmp_path / "f.0", kind)
    assert lumira_tools.read_file(path, **options)[0].record_info is None


def test_the_module_result_stays_as_it_was(tmp_path):
    path = three_d_file(tmp_path / "f.0", "series")
    result = lumira.getOpusData(path, ("AB", "3D", "NONE"))
    assert list(vars(result)) == list(vars(lumira_tools.read_file(path)[0].result))
    assert not hasattr(result, "record_info")


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("lazy", [False, True])
def test_to_xarray_puts_them_along_the_record_dimensions(tmp_path, kind, lazy):
    pytest.importorskip("xarray")
    if lazy:
        pytest.importorskip("dask")
    path = three_d_file(tmp_path / "f.0", kind)
    block = lumira_tools.read_file(path)[0]
    labelled = lumira_tools.to_xarray(path, lazy=lazy)
    for name in FIELDS:
        column = block.record_info[name]
        coordinate = labelled.coords[name]
        assert coordinate.dims == DIMS.get(kind, ("trace",))
        np.testing.assert_array_equal(coordinate.values, column, err_msg=name)
    if not lazy:
        assert labelled.identical(lumira_tools.to_xarray(block))
        # a result alone does not know its record info
        assert "ERT" not in lumira_tools.to_xarray(block.result).coords


def test_a_lazy_image_map_reads_its_record_info_chunk_by_chunk(tmp_path):
    dask = pytest.importorskip("dask")
    pytest.importorskip("xarray")
    labelled = lumira_tools.to_xarray(three_d_file(tmp_path / "f.0", "image map"), lazy=True, chunks=1)
    ert = labelled.coords["ERT"].data
    assert isinstance(ert, dask.array.Array) and ert.chunks == ((1, 1), (3,))
    np.testing.assert_array_equal(ert.compute(), [[expected("ERT", n) for n in row] for row in KINDS["image map"][4]])
