"""Reads from several threads at once, and files that change between and during calls."""

import os
import random
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import lumira
import lumira_tools
import partsbuilder
import three_d_samples
from api_walk import call, companion_walk, documented, summary, walk
from opusbuilder import (ACQUISITION, DATA, DATA_PARAMS, FT, OpusFile, block_type, header, int_record, named_type,
                         param_block, spectrum_params)


def spectrum(name="AB", points=4096, deriv="NONE", **params):
    values = [((i * 37) % 1001) / 7.0 for i in range(points)]
    f = OpusFile().spectrum(name, values, spectrum_params(points, 4000.0, 400.0, **params), deriv=deriv)
    f.params(block_type(param=ACQUISITION), {"NSS": 32, "SNM": "Müller"})
    return f.params(block_type(param=FT), {"APF": "B3", "ZFF": 2})


FILES = {
    "ab": spectrum().build(),
    "tr and derivative": spectrum("TR", 20000).spectrum("TR", [1.0] * 300, spectrum_params(300, 1.0, 2.0),
                                                         deriv="1DER").build(),
    "ssc": spectrum("SSC", 100000).build(),
    "cut short": spectrum(points=50000).build()[:-4000],
    "no END": OpusFile().add(named_type("AB", param=DATA), bytes(16))
    .add(named_type("AB", param=DATA_PARAMS), int_record("NPT", 4)).build(),
    "huge count": header(dir_size=2**31 - 1) + bytes(40),
    **{f"3D {kind}": data for kind, data in three_d_samples.good().items()},
    **{f"parts {kind}": data for kind, data in partsbuilder.samples().items()},
    **{f"3D {kind}": data for kind, data in three_d_samples.damaged().items()
       if kind.endswith("cut in its last values") or kind.endswith("cut in its last info record")},
}


@pytest.fixture
def quiet(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda args: None)
    monkeypatch.setattr(sys, "excepthook", lambda *args: None)


def every_read(path):
    return [summary(outcome) for outcome in walk(path) + companion_walk(path)]


def batch_read(paths):
    return [summary(read.error if read.error is not None else read.result)
            for read in lumira_tools.read_many(paths, workers=2)]


def test_threads_read_what_a_single_thread_reads(write, quiet):
    paths = [write(data) for data in FILES.values()]
    expected = {path: every_read(path) for path in paths}
    expected_batch = batch_read(paths)
    start = threading.Barrier(6)

    def reader(seed):
        order = paths * 8  # every file read by every thread: the same file at once, and different ones
        random.Random(seed).shuffle(order)
        start.wait()
        return [(path, every_read(path)) for path in order], batch_read(order[:len(paths)])

    with ThreadPoolExecutor(6) as pool:
        runs = list(pool.map(reader, range(6)))
    results = [result for reads, _ in runs for result in reads]
    assert len(results) == 6 * 8 * len(paths)
    for path, outcomes in results:
        assert outcomes == expected[path]
    for seed, (_, batch) in enumerate(runs):  # batches of native workers beside the threads
        order = paths * 8
        random.Random(seed).shuffle(order)
        assert batch == [expected_batch[paths.index(path)] for path in order[:len(paths)]]


def replace(path, data):
    """Swaps in a new file under the same name, as a copy tool does."""
    with open(path + ".new", "wb") as handle:
        handle.write(data)
    os.replace(path + ".new", path)


def truncate(length):
    def change(path):
        with open(path, "r+b") as handle:
            handle.truncate(length)
    return change


CHANGES = {
    "emptied": truncate(0),
    "cut in the magic": truncate(3),
    "cut in the header": truncate(17),
    "cut in the directory": truncate(40),
    "cut in the data": truncate(2000),
    "cut in the parameters": truncate(len(FILES["ab"]) - 60),
    "replaced by another spectrum": lambda path: replace(path, FILES["tr and derivative"]),
    "replaced by a non-OPUS file": lambda path: replace(path, b"\0" * 100),
    "replaced by a damaged file": lambda path: replace(path, FILES["no END"]),
    "deleted": os.remove,
}


@pytest.mark.parametrize("base", ["ab", "3D regions", "3D trace image"])
@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES)
def test_file_changed_between_listing_and_reading(write, quiet, change, base):
    path = write(FILES[base])
    listed = lumira.listContents(path)
    change(path)
    fresh = write(open(path, "rb").read()) if os.path.exists(path) else path
    for request in listed:
        outcome = call(lumira.getOpusData, path, request)
        # What the call gives is what reading the changed file afresh gives.
        assert summary(outcome) == summary(call(lumira.getOpusData, fresh, request))


def test_file_rewritten_while_threads_read(write, quiet):
    """Only documented exceptions or results while another thread cuts and rewrites the file."""
    path = write(FILES["ssc"])
    versions = [FILES["ssc"], FILES["ab"], FILES["cut short"], FILES["3D series"], FILES["3D regions"],
                FILES["3D region traces"], FILES["3D image"]]
    stop = threading.Event()
    reads = []

    def writer():
        rng = random.Random(1)
        while not stop.is_set():
            data = rng.choice(versions)
            with open(path, "r+b") as handle:  # in place, so readers holding the file see it shrink
                handle.truncate(rng.randrange(len(data)))
                handle.seek(0)
                handle.write(data)
                handle.truncate(len(data))
            time.sleep(0.001)

    def reader():
        deadline = time.monotonic() + 1.5
        while time.monotonic() < deadline:
            reads.append(walk(path) + companion_walk(path))  # raises on anything undocumented
            assert all(read.ok or documented(read.error) for read in lumira_tools.read_many([path] * 4, workers=2))

    changer = threading.Thread(target=writer)
    changer.start()
    try:
        with ThreadPoolExecutor(3) as pool:
            for future in [pool.submit(reader) for _ in range(3)]:
                future.result()
    finally:
        stop.set()
        changer.join()
    assert reads
