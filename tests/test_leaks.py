"""Every function on good and damaged files (3D ones of every kind too), thousands of
times: memory (RSS and tracemalloc) and open descriptors stay flat, on success and
failure paths alike."""

import gc
import os
import struct
import sys
import tracemalloc

import pytest

import lumira_tools
import partsbuilder
import three_d_samples
from api_walk import companion_walk, walk
from opusbuilder import (ACQUISITION, DATA, DATA_PARAMS, FT, MAGIC, OpusFile, block_type, header, int_record,
                         named_type, param_block, spectrum_params, text_record)

ROUNDS = 400


def spectrum(**params):
    f = OpusFile().spectrum("AB", [float(i) for i in range(64)], spectrum_params(64, 4000.0, 400.0, **params))
    f.params(block_type(param=ACQUISITION), {"NSS": 32, "SNM": "Müller"})
    return f.params(block_type(param=FT), {"APF": "B3", "ZFF": 2})


def broken_params(tail: bytes) -> bytes:
    f = OpusFile().add(named_type("AB", param=DATA), bytes(16))
    return f.add(named_type("AB", param=DATA_PARAMS), param_block(spectrum_params(4, 1.0, 4.0))[:-4] + tail).build()


def three_d() -> bytes:
    f = OpusFile().add(named_type("AB", param=DATA, dimension="3D"), bytes(64))
    return f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(4, 1.0, 4.0)).build()


FILES = {
    "good": spectrum().build(),
    "two derivatives": spectrum().spectrum("AB", [1.0] * 8, spectrum_params(8, 1.0, 8.0), deriv="1DER").build(),
    "3D": three_d(),
    "bad magic": b"\0" * 64,
    "short": MAGIC[:2],
    "truncated header": MAGIC + bytes(7),
    "huge count": header(dir_size=2**31 - 1) + bytes(30),
    "negative directory": header(offset_to_directory=-8, dir_size=1),
    "no END": broken_params(int_record("ABC", 1)),
    "bad type": broken_params(text_record("ABC", "x", type_code=9)),
    "text past end": broken_params(text_record("ABC", "x", size=900)[:12]),
    "name not UTF-8": broken_params(b"\xffAB\0" + struct.pack("<hhi", 0, 2, 5) + b"END\0"),
    "huge NPT": spectrum(NPT=2**31 - 1).build(),
    "cut data": spectrum().build()[:-300],
    **{f"3D {kind}": data for kind, data in {**three_d_samples.good(), **three_d_samples.damaged()}.items()},
    **{f"parts {kind}": data for kind, data in partsbuilder.samples().items()},
}


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def under_address_sanitizer() -> bool:
    with open("/proc/self/maps") as maps:
        return "asan" in maps.read()


def descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.fixture
def quiet(monkeypatch):
    """Short-read reports are documented output, printed by the host's hooks; here
    they would only fill the capture (and the host's printing keeps buffers of its own)."""
    monkeypatch.setattr(sys, "unraisablehook", lambda args: None)
    monkeypatch.setattr(sys, "excepthook", lambda *args: None)
    with open(os.devnull, "w") as devnull:
        monkeypatch.setattr(sys, "stderr", devnull)
        yield


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads RSS and descriptors from /proc")
def test_memory_and_descriptors_stay_flat(write, capsys, quiet):  # quiet after capsys: its stderr wins
    paths = [write(data) for data in FILES.values()]

    def run(rounds):
        calls = 0
        for _ in range(rounds):
            for path in paths:
                calls += len(walk(path)) + len(companion_walk(path))
            calls += len(lumira_tools.read_many(paths, workers=2))  # the native batch, a worker thread besides
            capsys.readouterr()  # the derivative maps' printed note, which the capture would keep
        return calls

    run(ROUNDS // 4)  # warm-up: NumPy's and the interpreter's caches fill once
    gc.collect()
    fds, rss_before = descriptors(), rss()
    tracemalloc.start()
    try:
        run(ROUNDS // 4)
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        calls = run(ROUNDS)
        gc.collect()
        traced_after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    rss_after = rss()
    with capsys.disabled():
        print(f"\nleak check: {calls} calls; traced {traced_before} -> {traced_after} B; "
              f"RSS {rss_before >> 10} -> {rss_after >> 10} KiB; descriptors {fds} -> {descriptors()}")
    # One object kept per call would be megabytes by now.
    assert traced_after - traced_before < 64 * 1024
    if not under_address_sanitizer():  # it holds freed memory back in quarantine
        assert rss_after - rss_before < 4 * 1024 * 1024
    assert descriptors() == fds
