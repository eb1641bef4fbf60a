"""Lazy 3D arrays: to_dask and to_xarray(path, lazy=True) read what the eager read gives, a chunk at a time."""

import pathlib
import pickle

import numpy as np
import pytest

import lumira_tools
import three_d_samples
from api_walk import summary
from opusbuilder import DATA, DATA_PARAMS, OpusFile, Record3D, data_block_3d, named_type, spectrum_params

pytest.importorskip("dask")

LAZY_KINDS = ["image", "trace image", "series", "trace series"]
SAMPLE = str(pathlib.Path(__file__).resolve().parent.parent / "examples" / "data" / "film_absorbance.0")


def values_of(result):
    return result.spectra if hasattr(result, "spectra") else result.traces


@pytest.mark.parametrize("chunks", [None, 1, 2, "auto", -1, {0: 1}])
@pytest.mark.parametrize("kind", LAZY_KINDS)
def test_lazy_arrays_hold_what_the_eager_read_gives(write, kind, chunks):
    path = write(three_d_samples.good()[kind])
    eager = values_of(lumira_tools.read(path))
    lazy = lumira_tools.to_dask(path, chunks=chunks)
    assert (lazy.shape, lazy.dtype) == (eager.shape, eager.dtype)
    assert np.array_equal(lazy.compute(), eager)
    # pieces that cut across chunks, with steps, backwards and by a single row
    for index in [np.s_[1:], np.s_[::-2], np.s_[-1], np.s_[:, 1:], np.s_[..., 1::2]]:
        assert np.array_equal(lazy[index].compute(), eager[index])
    assert np.array_equal(pickle.loads(pickle.dumps(lazy)).compute(), eager)


def test_a_map_is_chunked_along_both_its_axes_when_asked(write):
    path = write(three_d_samples.good()["image"])
    eager = lumira_tools.read(path).spectra
    rows, columns, points = eager.shape
    lazy = lumira_tools.to_dask(path, chunks=(1, 2, -1))
    assert lazy.chunks == ((1,) * rows, (2,) * (columns // 2) + ((columns % 2,) if columns % 2 else ()), (points,))
    assert np.array_equal(lazy.compute(), eager) and np.array_equal(lazy[1:, 1:].compute(), eager[1:, 1:])
    assert lumira_tools.to_dask(path, chunks={1: 1}).chunks[:2] == ((rows,), (1,) * columns)
    labelled = lumira_tools.to_xarray(path, lazy=True, chunks=(1, 2, -1))  # its record info chunked by grid row
    assert labelled.chunks[0] == (1,) * rows and labelled.compute().identical(lumira_tools.to_xarray(path))
    for bad in ("big", (1, 2), {5: 1}, 0, 2.5):
        with pytest.raises(ValueError, match="chunks"):
            lumira_tools.to_dask(path, chunks=bad)


@pytest.mark.parametrize("kind", LAZY_KINDS)
def test_lazy_xarray_has_the_eager_coordinates(write, kind):
    path = write(three_d_samples.good()[kind])
    eager, lazy = lumira_tools.to_xarray(path), lumira_tools.to_xarray(path, lazy=True)
    assert type(lazy.data).__name__ == "Array" and lazy.identical(eager.copy(data=lazy.values))
    # the result alone: the same, without the coordinates of the records' info fields
    info = list(lumira_tools.read_file(path)[0].record_info.dtype.names)
    assert eager.drop_vars(info).identical(lumira_tools.to_xarray(lumira_tools.read(path)))


def test_lazy_values_are_scaled_and_an_interrupted_map_reads_zeros(write):
    values = [Record3D([1.0, 2.0, 4.0], z=k) for k in range(4)]  # a 3 x 2 grid of which 4 cells were measured
    params = spectrum_params(3, 3.0, 1.0, AOX=0.0, AOY=0.0, DDX=1.0, DDY=1.0, NPX=2, NPY=3, CSF=0.5)
    f = OpusFile().params(named_type("AB", param=DATA_PARAMS, dimension="3D"), params)
    path = write(f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d(values)).build())
    lazy = lumira_tools.to_dask(path, chunks=1).compute()
    assert np.array_equal(lazy, lumira_tools.read(path).spectra) and lazy[1, 1].tolist() == [0.5, 1.0, 2.0]
    assert lazy[2].tolist() == [[0.0] * 3] * 2
    assert lumira_tools.to_dask(path, scale=False)[0, 0].compute().tolist() == [1.0, 2.0, 4.0]


def test_lazy_reads_refuse_what_they_cannot_read(write):
    data = three_d_samples.good()["series"]
    path = write(data)
    lazy = lumira_tools.to_dask(path, chunks=1)
    with open(path, "r+b") as cut:  # the file is cut short after the array was made
        cut.truncate(len(data) - 178)
    assert lazy[:2].compute().shape == (2, 8)  # the records before the damage read
    with pytest.raises(lumira_tools.DamagedFileError, match=f"^{path}: 3D data block at offset .* ends past the end"):
        lazy.compute()
    good = write(data)
    with pytest.raises(ValueError, match="positive number of rows"):
        lumira_tools.to_dask(good, chunks=0)
    with pytest.raises(ValueError, match="multi-region map"):
        lumira_tools.to_dask(write(three_d_samples.good()["regions"]))
    with pytest.raises(ValueError, match="single spectrum"):
        lumira_tools.to_dask(SAMPLE)


@pytest.mark.parametrize("kind", ["huge grid", "map of no columns", "series of no record"])
def test_counts_the_reader_refuses_are_refused_without_reading_values(write, kind):
    # A grid past the result limit would otherwise be described, and computed chunk by chunk, at terabytes.
    path = write(three_d_samples.damaged()[kind])
    (read,) = lumira_tools.read_file(path).blocks
    (described,) = lumira_tools.read_file(path, data=False).blocks
    assert summary(described.error.__cause__) == summary(read.error.__cause__)
    with pytest.raises(lumira_tools.DamagedFileError) as lazy:
        lumira_tools.to_dask(path, "#0")
    assert summary(lazy.value.__cause__) == summary(read.error.__cause__)
