"""The xarray engine through xarray's own functions: open_dataset (named or guessed), lazy indexing that reads only
the records it touches, chunks={} and open_mfdataset."""

import pathlib

import numpy as np
import pytest

import lumira_tools
import three_d_samples
from opusbuilder import OpusFile, spectrum_params
from source_samples import CountingFile, image_map, lumira_engine as engine, record_bytes  # noqa: F401

xr = pytest.importorskip("xarray")
pytestmark = pytest.mark.usefixtures("engine")

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "examples" / "data"


FILES = {
    "spectrum": lambda: (DATA / "film_absorbance.0").read_bytes(),
    "image map": lambda: (DATA / "blend_image_map.0").read_bytes(),
    "series": lambda: (DATA / "curing_series.0").read_bytes(),
    **{kind: (lambda kind=kind: three_d_samples.good()[kind]) for kind in
       ("trace image", "trace series", "regions", "region traces")},
}


@pytest.mark.parametrize("kind", list(FILES))
def test_open_dataset_gives_what_to_xarray_gives(write, kind):
    path = write(FILES[kind]())
    expected = lumira_tools.to_xarray(path)
    opened = xr.open_dataset(path, engine="lumira")
    if isinstance(expected, xr.Dataset):
        assert opened.load().identical(expected)
        return
    assert list(opened.data_vars) == [expected.name] and opened.attrs == expected.attrs
    assert opened[expected.name].load().identical(expected)


def test_the_engine_is_guessed_by_the_magic_bytes_not_the_suffix(write, engine):
    path = write((DATA / "film_absorbance.0").read_bytes(), "sample.001")
    assert xr.open_dataset(path)["AB"].identical(lumira_tools.to_xarray(path))
    assert engine.guess_can_open(path) and engine.guess_can_open((DATA / "film_absorbance.0").read_bytes())
    for other in [write(b"CDF\x01" + bytes(60), "table.nc"), str(ROOT / "README.md"), str(DATA), "s3://bucket/x.0",
                  write(b"\n\n", "short.0")]:
        assert not engine.guess_can_open(other)


def test_blocks_and_options_pass_through(write):
    path = str(DATA / "film_absorbance.0")
    opened = xr.open_dataset(path, engine="lumira", block="ssc", drop_variables=["nothing"])
    assert opened["SSC"].identical(lumira_tools.to_xarray(path, block="ssc"))
    for dropped in (["AB"], "AB"):  # a name alone is a name, not its letters
        assert not xr.open_dataset(path, engine="lumira", drop_variables=dropped).data_vars
    with pytest.raises(TypeError, match="no option 'colour'"):
        xr.open_dataset(path, engine="lumira", colour="red")


@pytest.fixture(scope="module")
def big_map():
    return image_map(40, 32, 400)  # 1,280 records of 1,760 bytes: 2.25 MB


def test_indexing_reads_only_the_records_it_touches(big_map):
    counted = CountingFile(big_map)
    opened = xr.open_dataset(counted, engine="lumira")
    layout = counted.read_bytes
    assert layout < len(big_map) / 10
    eager = lumira_tools.read(big_map).spectra
    for index, records in [((5,), 32), ((slice(10, 13), 4), 3), ((-1, slice(None, None, 8)), 25), ((1, -1, 7), 1)]:
        counted.read_bytes = 0
        assert np.array_equal(opened["AB"][index].values, eager[index])
        assert counted.read_bytes <= records * record_bytes(400) + 2 * layout


def test_chunks_make_a_lazy_array_of_the_map(big_map):
    pytest.importorskip("dask")
    counted = CountingFile(big_map)
    opened = xr.open_dataset(counted, engine="lumira", chunks={})
    assert counted.read_bytes < len(big_map) / 10
    values = opened["AB"]
    assert values.chunks is not None and values.dims == ("y", "x", "wavenumber")
    assert np.array_equal(values.mean(("y", "x")).values, lumira_tools.read(big_map).spectra.mean((0, 1)))


def test_open_mfdataset_stacks_single_spectra(write):
    pytest.importorskip("dask")
    paths = [write(OpusFile().spectrum("AB", [k, k + 1.0, k + 2.0], spectrum_params(3, 4000.0, 400.0)).build())
             for k in range(3)]
    stacked = xr.open_mfdataset(paths, engine="lumira", combine="nested", concat_dim="file")
    assert stacked["AB"].dims == ("file", "wavenumber")
    assert stacked["AB"].values.tolist() == [[k, k + 1.0, k + 2.0] for k in range(3)]
