import gc
import os
import struct
import time
import warnings

import numpy as np
import pytest

import lumira
from opusbuilder import (ANNOTATION, DATA, DATA_PARAMS, FLOAT_COLUMN, INT_COLUMN, TEXT_COLUMN, Column, OpusFile,
                         Record3D, Table, annotation_block, block_type, data_block_3d, data_block_3d_array, named_type,
                         spectrum_params)

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

def series(block, name="AB", **more):
    params = spectrum_params(NPT, 1.0, 4.0, **more)
    return three_d_file(block, params, name=name)


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

COLUMNS = [Column("Group", INT_COLUMN), Column("Type", INT_COLUMN), Column("AryNX", INT_COLUMN),
           Column("AryNY", INT_COLUMN), Column("AryType", INT_COLUMN), Column("Fileindex", INT_COLUMN),
           Column("X", FLOAT_COLUMN), Column("Y", FLOAT_COLUMN)]


def point(group, fileindex, *, nx=0, ny=0, kind=0, array_type=0, x=0.0, y=0.0):
    return [group, kind, nx, ny, array_type, fileindex, x, y]


def multi_region(rows, block, name="AB", columns=COLUMNS, **options):
    return three_d_file(block, spectrum_params(NPT, 1.0, 4.0), name=name,
                        annotation=annotation_block([Table(columns, rows)], **options))


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


# --- damaged blocks ------------------------------------------------------------------------

@pytest.mark.parametrize("kind", ["image", "series", "traces", "regions"])
def test_record_cut_short_names_the_record(write, reports, kind):
    block = data_block_3d(records(2), info_size=0)
    options = {
        "image": dict(params=image_params(2, 1)),
        "series": dict(params=spectrum_params(NPT, 1.0, 4.0, ZTX="s")),
        "traces": dict(params=spectrum_params(NPT, 1.0, 4.0), name="TRC"),
        "regions": dict(params=spectrum_params(NPT, 1.0, 4.0),
                        annotation=annotation_block([Table(COLUMNS, [point(1, 1), point(1, 2)])])),
    }[kind]
    data = three_d_file(block, options.pop("params"), data_last=True, **options)
    with pytest.raises(ValueError, match=r"3D data block at offset \d+ is damaged: spectrum record 2 at byte \d+ ends "
                                         r"past the end of the file"):
        read(write, data[:-2 * NPT], name=options.get("name", "AB"))


@pytest.mark.parametrize("params_of, name", [
    (lambda: image_params(4, 4), "AB"), (lambda: spectrum_params(NPT, 1.0, 4.0, ZTX="s"), "AB"),
    (lambda: spectrum_params(NPT, 1.0, 4.0), "TRC"),
])
def test_huge_counts_in_a_tiny_file_return_promptly(write, reports, params_of, name):
    head = struct.pack("<iiiiii", 1, 1, 24, 4 * NPT, 0, 2**31 - 1) + struct.pack("<ii", 1, 2**31 - 1)
    started = time.perf_counter()
    with pytest.raises(ValueError, match="damaged: its store table lists [0-9]+ records, more than the file holds"):
        read(write, three_d_file(head, params_of(), name=name), name=name)
    assert time.perf_counter() - started < 5  # generous: it must not walk 2**31 entries


@pytest.mark.parametrize("keep, z, label", [(136 + 8, 0.5, ""), (136 + 3, 0.0, ""), (152 + 5, 0.5, "trace")])
def test_info_record_cut_by_the_end_of_the_file(write, reports, keep, z, label):
    info_size = 170
    block = data_block_3d(records(2), info_size=info_size)

    def cut(data):
        return data[:len(data) - info_size + keep]

    result = read(write, cut(three_d_file(block, spectrum_params(NPT, 1.0, 4.0, ZTX="s"), data_last=True)))
    assert result.z.tolist() == [0.0, z]
    assert len(reports) == (1 if z == 0.0 else 0)
    traces = read(write, cut(three_d_file(block, spectrum_params(NPT, 1.0, 4.0), name="TRC", data_last=True)),
                  name="TRC")
    assert traces.labels == ["trace 0", label]


def test_records_of_no_values_past_the_end_of_the_file_read_empty(write, reports):
    # A gap places the last record past the end; with NPT 0 it holds nothing to miss, and the file did not change.
    block = data_block_3d([Record3D([], z=k) for k in range(3)], store_table=[[1, 1], [-1, 8], [2, 3]])
    data = three_d_file(block, spectrum_params(0, 1.0, 4.0, ZTX="s"), data_last=True)
    result = read(write, data[:-164])  # 4 bytes short of where the last record begins
    assert result.spectra.shape == (3, 0) and result.z.tolist() == [0.0, 1.0, 0.0] and len(reports) == 1


@pytest.mark.parametrize("cut, error", [(0, None), (144 + 12, "NPT is 16777217 but the file holds only 16777216 values")])
def test_counts_past_the_axis_bound_need_values_behind_them(write, cut, error):
    npt = 2**24 + 1  # one past the bound: only a file that holds the values backs it
    values = np.arange(npt, dtype=np.float32).reshape(1, npt)
    data = three_d_file(data_block_3d_array(values, info_size=144, z=[7.0]), spectrum_params(npt, 1.0, 2.0, ZTX="s"),
                        data_last=True)
    if error:
        with pytest.raises(ValueError, match=r"^3D data block at offset \d+ is damaged: " + error):
            read(write, data[:-cut])
        return
    result = read(write, data)
    assert result.x.size == npt and np.array_equal(result.spectra, values) and result.z.tolist() == [7.0]


KINDS = ["image", "trace image", "series", "trace series", "regions", "region traces"]


def kind_file(kind, block, npt=NPT, points=(1, 2), grid=None):
    """A file of that 3D kind around `block`; a region map has one point per record number in `points`."""
    name = "TRC" if "trace" in kind else "AB"
    params, annotation = spectrum_params(npt, 1.0, 2.0), None
    if kind.endswith("image"):
        params.update(image_params(*(grid or (npt, 1)), npt=npt))
    elif kind == "series":
        params["ZTX"] = "s"
    elif kind.startswith("region"):
        annotation = annotation_block([Table(COLUMNS, [point(1, number) for number in points])])
    return three_d_file(block, params, name=name, annotation=annotation), name


@pytest.mark.parametrize("kind", KINDS)
def test_records_must_hold_their_values(write, reports, kind):
    # A data part shorter than NPT values would read the info record and the records after it.
    data, name = kind_file(kind, data_block_3d(records(2), block_size=0), grid=(2, 2))
    with pytest.raises(ValueError, match=r"^3D data block at offset \d+ is damaged: records hold 0 bytes of values but "
                                         r"NPT is 4 \(16 bytes\)$"):
        read(write, data, name=name)


@pytest.mark.parametrize("kind, claim", [
    ("image", "NPY x NPX x NPT = 65536 x 65536 x 4200"),
    ("regions", "4200 points of 4200 values in its regions"),  # every point names the one record
    ("region traces", "4200 points of 4200 values in its regions"),  # 4200 traces of one value
])
def test_results_past_the_bound_need_the_file_to_hold_them(write, reports, kind, claim):
    # Zeros of a grid of 2**32 cells, or 17.6 million values from a file of 170 kB: past 2**24 values a
    # result may hold no more than twice the values of its file.
    count = 4200
    block = {"image": data_block_3d([]), "regions": data_block_3d(records(1, npt=count)),
             "region traces": data_block_3d(records(count, npt=1), info_size=0)}[kind]
    data, name = kind_file(kind, block, npt=1 if kind == "region traces" else count, points=[1] * count,
                           grid=(65536, 65536))
    started = time.perf_counter()
    with pytest.raises(ValueError, match=r"^3D data block at offset \d+ is damaged: its result would hold \d+ values "
                                         r"\(" + claim + r"\) but the file holds only \d+ values$"):
        read(write, data, name=name)
    assert time.perf_counter() - started < 5


def test_negative_record_sizes_are_refused(write):
    block = bytearray(data_block_3d(records(1), info_size=0))
    struct.pack_into("<i", block, 16, -8)
    with pytest.raises(ValueError, match="its records have a negative size"):
        read(write, series(block, ZTX="s"))


def test_annotation_rows_that_overlap_are_refused(write):
    table = Table(COLUMNS, [point(1, 1)] * 2**8, row_length=4)
    data = three_d_file(data_block_3d(records(1)), spectrum_params(NPT, 1.0, 4.0),
                        annotation=annotation_block([table]))
    with pytest.raises(ValueError, match=r"Annotation table 0 at offset \d+ is damaged: rows of 4 bytes overlap"):
        read(write, data)


def test_annotation_rows_stop_at_the_end_of_the_file(write, reports):
    block = annotation_block([Table(COLUMNS, [point(1, 1, nx=1, ny=1)])])
    block = block.replace(struct.pack("<4shhi", b"NLN\0", 0, 2, 1), struct.pack("<4shhi", b"NLN\0", 0, 2, 2**31 - 1))
    f = OpusFile()
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d(records(1)))
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(NPT, 1.0, 4.0))
    f.add(block_type(extend=ANNOTATION), block)  # last in the file
    result = lumira.getOpusData(write(f.build()), ("AB", "3D", "NONE"))
    assert [r.title for r in result.regions] == ["Region 1 (1 x 1)"] and reports == []


# --- handles -------------------------------------------------------------------------------

def test_no_handle_outlives_a_3d_call(write):
    good = write(series(data_block_3d(records(2)), ZTX="s"))
    bad = write(series(bytes(8) + struct.pack("<iiii", 24, 4 * NPT, -1, 0), ZTX="s"))
    no_anno = write(series(data_block_3d(records(2))))

    def open_handles():  # of these files only: other threads of the test process open and close their own
        targets = {os.path.realpath(path) for path in (good, bad, no_anno)}
        links = []
        for fd in os.listdir("/proc/self/fd"):
            try:
                links.append(os.readlink(f"/proc/self/fd/{fd}"))
            except OSError:  # closed meanwhile
                pass
        return sum(link in targets for link in links)

    with warnings.catch_warnings():
        warnings.simplefilter("error", ResourceWarning)
        for _ in range(30):
            lumira.getOpusData(good, ("AB", "3D", "NONE"))
            for path in (bad, no_anno):
                with pytest.raises(ValueError):
                    lumira.getOpusData(path, ("AB", "3D", "NONE"))
        gc.collect()
    assert open_handles() == 0
