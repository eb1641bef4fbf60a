"""3D blocks read as their kind says: image maps, time-resolved series and multi-region maps, traces too."""

import numpy as np
import pytest

import lumira
from opusbuilder import DATA_PARAMS, INT_COLUMN, TEXT_COLUMN, Column, Record3D, data_block_3d, named_type
from three_d_files import COLUMNS, NPT, image_params, multi_region, point, read, records, series, three_d_file


# --- image maps ---------------------------------------------------------------------

def test_image_grid_fills_row_by_row(write):
    result = read(write, three_d_file(data_block_3d(records(4)), image_params(3, 2)))
    assert type(result) is lumira.ImageDataReturn
    assert result.spectra.shape == (2, 3, NPT) and result.spectra.dtype == np.float32
    assert result.spectra[1, 0].tolist() == [300.0, 301.0, 302.0, 303.0]  # the fourth spectrum
    assert not result.spectra[1, 1:].any()  # cells after the last spectrum stay zero
    assert result.mapX.tolist() == [10.0, 12.5, 15.0] and result.mapY.tolist() == [-1.0, -0.5]
    assert np.array_equal(result.x, np.linspace(1.0, NPT, NPT))


def test_image_gaps_skip_bytes_but_not_cells(write):
    block = data_block_3d(records(3), store_table=[[1, 1], [-1, 40], [2, 3]])
    result = read(write, three_d_file(block, image_params(3, 1)))
    assert result.spectra[0, :, 0].tolist() == [0.0, 100.0, 200.0]


@pytest.mark.parametrize("npx, npy, expected", [(1, 1, [10.0]), (0, 0, [])])
def test_empty_store_table_gives_zeros(write, npx, npy, expected):
    result = read(write, three_d_file(data_block_3d([]), image_params(npx, npy)))
    assert result.spectra.shape == (npy, npx, NPT) and not result.spectra.any()
    assert result.mapX.tolist() == expected


@pytest.mark.parametrize("npx, npy, error, match", [
    (2, 1, IndexError, "index 1 is out of bounds for axis 0 with size 1"),
    (0, 3, ZeroDivisionError, "division or modulo by zero"),
    (-1, 2, ValueError, "Number of samples, -1, must be non-negative"),
])
def test_image_grid_errors(write, npx, npy, error, match):
    with pytest.raises(error, match=match):
        read(write, three_d_file(data_block_3d(records(3)), image_params(npx, npy)))


def test_derivative_map_takes_the_original_grid(write, capsys):
    original = (named_type("AB", param=DATA_PARAMS, dimension="3D"), image_params(2, 1))
    data = three_d_file(data_block_3d(records(2)), image_params(5, 0, AOX=99.0), deriv="1DER", extra=[original])
    result = read(write, data, deriv="1DER")
    assert capsys.readouterr().out == "Orignal mapping coordinates used\n"
    assert result.spectra.shape == (1, 2, NPT) and result.spectra[0, 1, 0] == 100.0
    assert [result.parameters[k] for k in ("AOX", "NPX", "NPY")] == [10.0, 2, 1]


def test_underived_map_with_no_columns_prints_nothing(write, capsys):
    result = read(write, three_d_file(data_block_3d([]), image_params(0, 2)))
    assert result.spectra.shape == (2, 0, NPT) and capsys.readouterr().out == ""


def test_derivative_map_without_original_block(write):
    with pytest.raises(OSError):
        read(write, three_d_file(data_block_3d(records(1)), image_params(0, 1), deriv="1DER"), deriv="1DER")


def test_map_codes_win_over_ztx(write):
    result = read(write, three_d_file(data_block_3d(records(2)), image_params(2, 1, ZTX="s")))
    assert type(result) is lumira.ImageDataReturn


def test_trace_maps_stack_along_the_third_axis(write):
    block = data_block_3d(records(3, npt=6), info_size=170)
    result = read(write, three_d_file(block, image_params(3, 2, npt=6), name="TRC"), name="TRC")
    assert type(result) is lumira.ImageTRCDataReturn
    assert result.traces.shape == (2, 3, 3) and result.labels == ["trace 0", "trace 1", "trace 2"]
    assert result.traces[:, :, 2].tolist() == [[200.0, 201.0, 202.0], [203.0, 204.0, 205.0]]


@pytest.mark.parametrize("info_size, labels", [(152, ["", ""]), (100, ["", ""]), (0, ["", ""]),
                                               (156, ["trac", "trac"])])
def test_short_info_records_give_empty_or_cut_labels(write, info_size, labels):
    block = data_block_3d(records(2, npt=2), info_size=info_size)
    result = read(write, three_d_file(block, image_params(2, 1, npt=2), name="TRC"), name="TRC")
    assert result.labels == labels and result.traces.shape == (1, 2, 2)


@pytest.mark.parametrize("block, npt, match", [
    (data_block_3d(records(1, npt=5)), 5, "cannot reshape array of size 5 into shape"),
    (data_block_3d([]), 6, "need at least one array"),
])
def test_trace_map_errors(write, block, npt, match):
    with pytest.raises(ValueError, match=match):
        read(write, three_d_file(block, image_params(3, 2, npt=npt), name="TRC"), name="TRC")


def test_large_image_round_trip(write):
    rng = np.random.default_rng(7)
    cube = rng.standard_normal((64, 64, 1600)).astype(np.float32)
    block = data_block_3d([Record3D(cube[r, c]) for r in range(64) for c in range(64)])
    result = read(write, three_d_file(block, image_params(64, 64, npt=1600)))
    assert np.array_equal(result.spectra, cube)


# --- time-resolved series ------------------------------------------------------------

@pytest.mark.parametrize("store_table, record_count, rows", [
    ([[1, 3]], 3, [0, 1, 2]),
    ([[5, 6], [1, 2]], 4, [0, 1, 2, 3]),             # store-table order, not sorted
    ([[1, 2], [-1, 50], [5, 5]], 3, [0, 1, 2]),       # a gap only moves later records
    ([[7, 6], [1, 1]], 1, [0]),                       # an empty run
    ([[1, 2], [2, 3]], 4, [0, 2, 3]),                 # 2 again: first place, last record
])
def test_series_follows_the_store_table(write, store_table, record_count, rows):
    block = data_block_3d(records(record_count), store_table=store_table)
    result = read(write, series(block, ZTX="s"))
    assert type(result) is lumira.TimeResolvedDataReturn
    assert result.spectra[:, 0].tolist() == [k * 100.0 for k in rows]
    assert result.z.tolist() == [k / 2 for k in rows] and result.z.dtype == np.float64


def test_ztx_wins_over_a_trace_request(write):
    result = read(write, series(data_block_3d(records(2)), name="TRC", ZTX="s"), name="TRC")
    assert type(result) is lumira.TimeResolvedDataReturn


def test_trace_series(write):
    block = data_block_3d(records(2, label=lambda k: b"x" * 40 if k else "first"), info_size=180)
    result = read(write, series(block, name="TRC"), name="TRC")
    assert type(result) is lumira.TimeResolvedTRCDataReturn
    assert result.labels == ["first", "x" * 28]  # a field without NUL is taken whole
    assert result.traces.tolist() == [r.values for r in records(2)]


def test_labels_are_code_page_1252(write):
    block = data_block_3d(records(1, label=lambda k: "1mm² ‘Müller’".encode("cp1252")), info_size=200)
    assert read(write, series(block, name="TRC"), name="TRC").labels == ["1mm² ‘Müller’"]


@pytest.mark.parametrize("name, more", [("AB", {"ZTX": "s"}), ("TRC", {})])
def test_series_without_records(write, name, more):
    with pytest.raises(ValueError, match="need at least one array"):
        read(write, series(data_block_3d([]), name=name, **more), name=name)


def test_record_data_part_is_block_size_long(write):
    # With a data part longer than NPT values, every later record keeps its place.
    block = data_block_3d(records(3), block_size=4 * NPT + 12)
    result = read(write, series(block, ZTX="s"))
    assert result.spectra[:, 0].tolist() == [0.0, 100.0, 200.0] and result.z.tolist() == [0.0, 0.5, 1.0]


# --- multi-region maps ------------------------------------------------------------------

def test_regions_by_grid_and_by_count(write):
    rows = [point(2, k + 1, nx=2, ny=2, x=k, y=-k) for k in range(4)] + [point(1, 5 + k) for k in range(3)]
    result = read(write, multi_region(rows, data_block_3d(records(7))))
    assert type(result) is lumira.MultiRegionDataReturn
    assert [str(r) for r in result.regions] == ["Region 1 (3 points)", "Region 2 (2 x 2)"]
    first, second = result.regions
    assert first.spectra[:, 0].tolist() == [400.0, 500.0, 600.0] and first.spectra.dtype == np.float32
    assert second.mapX.tolist() == [0.0, 1.0, 2.0, 3.0] and second.mapY.tolist() == [0.0, -1.0, -2.0, -3.0]
    assert second.start_time.tolist() == [0.0, 0.5, 1.0, 1.5]  # byte 136 of each info record


@pytest.mark.parametrize("rows, titles, sizes", [
    ([point(3, 1, array_type=1)], ["Region 3 (0 x 0)"], [0]),
    ([point(1, 1, kind=1), point(2, 2)], ["Region 2 (1 points)"], [1]),
    # Regions come in the iteration order of the set of region numbers: here 9 before 5.
    ([point(5, 1, nx=2, ny=1), point(9, 2)], ["Region 9 (1 points)", "Region 5 (2 x 1)"], [1, 2]),
])
def test_region_kinds(write, rows, titles, sizes):
    result = read(write, multi_region(rows, data_block_3d(records(2))))
    assert [r.title for r in result.regions] == titles
    assert [len(r.mapX) for r in result.regions] == sizes


def test_trace_regions(write):
    rows = [point(1, k + 1, x=k) for k in range(NPT)]
    result = read(write, multi_region(rows, data_block_3d(records(3), info_size=170), name="TRC"), name="TRC")
    assert type(result) is lumira.MultiRegionTRCDataReturn
    assert result.labels == ["trace 0", "trace 1", "trace 2"]
    (region,) = result.regions
    assert region.start_time is None and region.spectra.shape == (NPT, 3)
    assert region.spectra[1].tolist() == [1.0, 101.0, 201.0]  # point 2 of every trace


def test_empty_group_column_still_reads_every_trace(write):
    result = read(write, multi_region([], data_block_3d(records(2)), name="TRC"), name="TRC")
    assert result.regions == [] and result.labels == ["trace 0", "trace 1"]


def test_text_columns_share_one_width(write):
    # Both text columns are as wide as the widest (row length - column offset);
    # the numbers after them are read from the bytes that follow.
    columns = [Column("Name", TEXT_COLUMN, offset=48 - 8), Column("Note", TEXT_COLUMN, offset=48 - 4), *COLUMNS]
    rows = [["first", "n", *point(7, 1, x=2.5)]]
    result = read(write, multi_region(rows, data_block_3d(records(1)), columns=columns, text_width=8))
    assert result.regions[0].title == "Region 7 (1 points)" and result.regions[0].mapX.tolist() == [2.5]


@pytest.mark.parametrize("rows, error, match", [
    ([point(1, 9)], KeyError, "9"),
    ([point(1, 1, nx=3, ny=1)], IndexError, "list index out of range"),
    ([point(2**31 - 1, 1), point(-1, 1)], None, None),
])
def test_region_errors(write, rows, error, match):
    data = multi_region(rows, data_block_3d(records(1)))
    if error is None:
        assert len(read(write, data).regions) == 2
        return
    with pytest.raises(error, match=match):
        read(write, data)


def test_missing_columns_and_unknown_types(write):
    with pytest.raises(KeyError, match="Group"):
        read(write, multi_region([[1]], data_block_3d(records(1)), columns=[Column("Other", INT_COLUMN)]))
    with pytest.raises(ValueError) as caught:
        read(write, multi_region([[1]], data_block_3d(records(1)), columns=[Column("Group", 7)]))
    assert caught.value.args == ()


@pytest.mark.parametrize("fileindex", [0, NPT + 1, -1])
def test_trace_point_outside_the_traces(write, fileindex):
    with pytest.raises(IndexError, match=f"Fileindex {fileindex} is outside 1 to {NPT}"):
        read(write, multi_region([point(1, fileindex)], data_block_3d(records(1)), name="TRC"), name="TRC")


def test_no_annotation_block(write):
    with pytest.raises(ValueError, match="^No annotation block exists in the file for: AB 3D NONE$"):
        read(write, series(data_block_3d(records(1))))
