"""Damaged 3D blocks: records, counts and annotation tables the file cannot back are refused promptly, with
the place named; and no file handle outlives a call."""

import gc
import os
import struct
import time
import warnings

import numpy as np
import pytest

import lumira
from opusbuilder import (ANNOTATION, DATA, DATA_PARAMS, OpusFile, Record3D, Table, annotation_block, block_type,
                         data_block_3d, data_block_3d_array, named_type, spectrum_params)
from three_d_files import COLUMNS, NPT, image_params, point, read, records, series, three_d_file


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
