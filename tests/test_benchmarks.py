import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_quick_benchmark_runs_every_case():
    output = subprocess.run([sys.executable, str(ROOT / "benchmarks" / "run.py"), "--quick"], check=True,
                            capture_output=True, text=True, timeout=600).stdout
    rows = [line for line in output.splitlines() if line.startswith("| ") and not line.startswith("| case")]
    cases = ["3D image map", "3D time-resolved series", "3D multi-region map", "2D spectrum", "listContents",
             "small 2D files, 2 threads", "read_file, instrument-like", "read_file data=False", "read_many",
             "stack,", "plain readinto, 2 threads", "read_many, 2 workers", "to_dask mean spectrum",
             "peak RSS growth of that", "peak RSS growth reading", "cost growth"]
    assert len(rows) == len(cases)
    for row, case in zip(rows, cases):
        assert case in row and row.count("|") == 7
