"""Remote files against real servers started on the loopback address for this module: an S3-compatible object
store (seaweedfs) and an HTTP server honouring Range requests, both counting the bytes they send. Lazy maps must
transfer at most 1.2 times the bytes of the records an index touches."""

import pathlib

import numpy as np
import pytest

import lumira_tools
from opusbuilder import OpusFile, spectrum_params
from servers import ObjectStore, RangeServer
from source_samples import image_map, lumira_engine, record_bytes  # noqa: F401

fsspec = pytest.importorskip("fsspec", reason="remote reads need the [remote] extra (fsspec, s3fs, aiohttp)")

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLE = (ROOT / "examples" / "data" / "film_absorbance.0").read_bytes()
ROWS, COLUMNS, POINTS = 64, 64, 400  # 4,096 records: 7.2 MB
BUCKET = "lumira"
SPECTRA = 50


def spectrum(k):
    values = np.sin(np.arange(300) / (10 + k)).astype(np.float32).tolist()
    return OpusFile().spectrum("AB", values, spectrum_params(300, 4000.0 - k, 600.0 + k, SNM=f"sample {k}")).build()


@pytest.fixture(scope="module")
def the_map():
    return image_map(ROWS, COLUMNS, POINTS)


@pytest.fixture(scope="module")
def store(tmp_path_factory, the_map):
    pytest.importorskip("s3fs", reason="S3 reads need the [remote] extra (s3fs)")
    server = ObjectStore(str(tmp_path_factory.mktemp("object-store")))
    try:
        server.start()
    except RuntimeError as error:
        pytest.skip(f"the S3 object store could not start, so remote reads are not tested: {error}")
    try:
        fs = server.filesystem()
        fs.mkdir(BUCKET)
        fs.pipe({f"{BUCKET}/film.0": SAMPLE, f"{BUCKET}/maps/map.0": the_map, f"{BUCKET}/spectra/notes.txt": b"notes",
                 **{f"{BUCKET}/spectra/{k:02d}.0": spectrum(k) for k in range(SPECTRA)}})
        saved = fsspec.config.conf.get("s3")
        fsspec.config.conf["s3"] = {key: value for key, value in server.options.items()
                                    if key != "skip_instance_cache"}
        yield server
    finally:
        fsspec.config.conf.pop("s3", None)
        if saved is not None:
            fsspec.config.conf["s3"] = saved
        server.stop()


@pytest.fixture(scope="module")
def web(tmp_path_factory, the_map):
    pytest.importorskip("aiohttp", reason="HTTP reads need the [remote] extra (aiohttp)")
    folder = tmp_path_factory.mktemp("web")
    (folder / "film.0").write_bytes(SAMPLE)
    (folder / "map.0").write_bytes(the_map)
    server = RangeServer(str(folder))
    yield server
    server.stop()


def transferred(counter, run):
    counter.reset()
    result = run()
    return result, counter.bytes


def test_whole_files_read_from_the_store(store):
    opened = lumira_tools.read_file(f"s3://{BUCKET}/film.0")
    local = lumira_tools.read_file(SAMPLE)
    assert opened.path == f"s3://{BUCKET}/film.0"
    assert [(b.name, b.result.y.tobytes()) for b in opened] == [(b.name, b.result.y.tobytes()) for b in local]
    with pytest.raises(FileNotFoundError):
        lumira_tools.read(f"s3://{BUCKET}/missing.0")


def test_a_prefix_of_fifty_files_stacks(store):
    pytest.importorskip("xarray")
    table, sent = transferred(store.proxy.counter, lambda: lumira_tools.stack(f"s3://{BUCKET}/spectra/"))
    local = lumira_tools.stack([spectrum(k) for k in range(SPECTRA)])
    assert table["path"].values.tolist() == [f"s3://{BUCKET}/spectra/{k:02d}.0" for k in range(SPECTRA)]
    assert np.array_equal(table["AB"].values, local["AB"].values, equal_nan=True)
    assert lumira_tools.failures(table) == {} and sent < 1.2 * sum(len(spectrum(k)) for k in range(SPECTRA)) + 200_000
    assert lumira_tools.metadata(f"s3://{BUCKET}/spectra/")["SNM"].tolist() == [f"sample {k}" for k in range(SPECTRA)]


@pytest.mark.parametrize("rows", [slice(16, 48), slice(None)], ids=["2 of 4 chunks", "the whole map"])
def test_lazy_maps_fetch_only_the_records_an_index_touches(store, the_map, rows, capsys):
    pytest.importorskip("dask")
    url = f"s3://{BUCKET}/maps/map.0"
    eager = lumira_tools.read(the_map).spectra[rows]
    # A chunk is read whole: the index takes whole chunks. The layout read to make the array is counted too.
    mean, sent = transferred(store.proxy.counter,
                             lambda: lumira_tools.to_dask(url, chunks=16)[rows].mean(axis=(0, 1)).compute())
    assert np.allclose(mean, eager.mean(axis=(0, 1)))
    touched = eager.shape[0] * COLUMNS * record_bytes(POINTS)
    with capsys.disabled():
        print(f"\nS3 lazy mean of {eager.shape[0]} x {COLUMNS} records: {sent:,} bytes sent for {touched:,} bytes of "
              f"records ({sent / touched:.3f}x; the file holds {len(the_map):,})")
    assert sent <= 1.2 * touched


def test_process_workers_read_from_the_store(store, the_map):
    distributed = pytest.importorskip("distributed")
    import dask

    # Starting worker processes on two busy cores can outlast the 30 s a connection may take by default.
    patient = {"distributed.comm.timeouts.connect": "180s", "distributed.comm.timeouts.tcp": "180s"}
    with dask.config.set(patient), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                     timeout="180s") as cluster:
        with distributed.Client(cluster, timeout="180s"):
            lazy = lumira_tools.to_dask(f"s3://{BUCKET}/maps/map.0", chunks=16)
            assert np.allclose(lazy.mean(axis=(0, 1)).compute(), lumira_tools.read(the_map).spectra.mean(axis=(0, 1)))


def test_files_over_http(web, the_map, capsys):
    opened = lumira_tools.read_file(f"{web.url}/film.0")
    assert [b.result.y.tobytes() for b in opened] == [b.result.y.tobytes() for b in lumira_tools.read_file(SAMPLE)]
    pytest.importorskip("dask")
    rows = slice(40, 50)
    mean, sent = transferred(web.counter, lambda: lumira_tools.to_dask(f"{web.url}/map.0", chunks=10)[rows].mean().compute())
    touched = 10 * COLUMNS * record_bytes(POINTS)
    with capsys.disabled():
        print(f"\nHTTP lazy mean of 10 x {COLUMNS} records: {sent:,} bytes sent for {touched:,} bytes of records "
              f"({sent / touched:.3f}x)")
    assert np.isclose(mean, lumira_tools.read(the_map).spectra[rows].mean()) and sent <= 1.2 * touched


def test_the_engine_opens_urls_lazily(web, the_map, lumira_engine):
    xr = pytest.importorskip("xarray")
    opened, sent = transferred(web.counter, lambda: xr.open_dataset(f"{web.url}/map.0", engine="lumira", chunks={}))
    assert sent < len(the_map) / 10
    cell, sent = transferred(web.counter, lambda: opened["AB"][3, 5].values)  # one record, its layout known
    assert np.array_equal(cell, lumira_tools.read(the_map).spectra[3, 5]) and sent <= 1.2 * record_bytes(POINTS)
