import pathlib
import subprocess
import sys

import pytest
from test_leaks import under_address_sanitizer

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_quick_benchmark_runs_every_case():
    output = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "run.py"), "--quick"], check=True,
                            capture_output=True, text=True, timeout=600).stdout
    rows = [line for line in output.splitlines() if line.startswith("| ") and not line.startswith("| case")]
    cases = ["3D image map", "3D time-resolved series", "3D multi-region map", "2D spectrum", "listContents",
             "small 2D files, 2 threads", "read_file, instrument-like", "read_file data=False",
             "read_file vs listContents + getOpusData", "page faults per read_file call", "read_many",
             "stack,", "plain readinto, 2 threads", "read_many, 2 workers", "to_dask mean spectrum",
             "peak RSS growth of that", "peak RSS growth reading", "cost growth"]
    assert len(rows) == len(cases)
    for row, case in zip(rows, cases):
        assert case in row and row.count("|") == 7


FAULTS = """
import resource, sys
import lumira_tools
path = sys.argv[1]
lumira_tools.read_file(path)
before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
for _ in range(50):
    lumira_tools.read_file(path)
print((resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / 50)
try:  # the heap's state, for the message when the count is high
    import ctypes
    class Info(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Info
    info = libc.mallinfo2()
    print(f"heap {info.arena:,} B, free {info.fordblks:,} B, free at its top {info.keepcost:,} B, "
          f"mapped apart {info.hblkhd:,} B in {info.hblks} blocks")
except (AttributeError, OSError):
    print("heap statistics unavailable")
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts the page faults of the C library's heap")
@pytest.mark.skipif(sys.platform.startswith("linux") and under_address_sanitizer(),
                    reason="the sanitizer's allocator takes the place of the C library's heap")
def test_reading_a_file_again_maps_no_fresh_memory(tmp_path):
    """A whole file's arrays (here about 1 MB) freed together must stay with the process for the next file, in a
    process that has not yet freed a large array of its own: mapped afresh, they cost a page fault per 4 KB."""
    sys.path.insert(0, str(ROOT / "benchmarks"))
    import run

    path = run.write_instrument_file(tmp_path / "interferograms.0", interferograms=(29_000, 15_000))
    counted, heap = subprocess.run([sys.executable, "-c", FAULTS, str(path)], check=True, capture_output=True,
                                   text=True, timeout=120).stdout.splitlines()
    assert float(counted) < 4, f"{counted} faults a call; {heap}"
