"""Fuzzes the Python API: mutates files made by the test builder and runs
isOpusFile, listContents and getOpusData on each, then the companion
package's read_file and lazy record reads (tests/api_walk.py), so any
exception outside the documented ones, a crash, a hang or runaway memory is
a finding.

    python fuzz/python_api.py [libFuzzer options] [CORPUS_DIR]
    e.g. python fuzz/python_api.py -max_total_time=600 -rss_limit_mb=2048 -timeout=10

With LUMIRA_FUZZ_BASES=3d only 3D files (good and damaged) are mutated.

Needs atheris (pip install atheris). The module is imported from PYTHONPATH;
for coverage of the native code build it with clang's coverage hooks
(fuzz/run_python_api.sh builds it so and runs this).
"""

from __future__ import annotations

import os
import pathlib
import struct
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import atheris  # noqa: E402

with atheris.instrument_imports(include=["api_walk"]):
    import api_walk  # noqa: E402

import make_seeds  # noqa: E402
import three_d_samples  # noqa: E402

if os.environ.get("LUMIRA_FUZZ_BASES") == "3d":
    BASES = [data for name, data in sorted({**three_d_samples.good(), **three_d_samples.damaged()}.items())]
else:
    BASES = [data for name, data in sorted({**make_seeds.spectra(), **make_seeds.three_d()}.items())]
# Values that damaged counts, sizes and offsets tend to hold.
EDGE_INTS = [0, 1, -1, 2, 3, 4, 7, 8, 12, 24, 64, 255, 0x7FFF, -0x8000, 2**24, 2**24 + 1, 2**31 - 1, -2**31]


def mutate(provider: atheris.FuzzedDataProvider) -> bytes:
    """A builder file damaged by a few typical faults: bytes, fields, cuts."""
    data = bytearray(BASES[provider.ConsumeIntInRange(0, len(BASES) - 1)])
    for _ in range(provider.ConsumeIntInRange(1, 6)):
        if not data:
            break
        at = provider.ConsumeIntInRange(0, len(data) - 1)
        action = provider.ConsumeIntInRange(0, 5)
        if action == 0:
            data[at] = provider.ConsumeInt(1) & 0xFF
        elif action == 1:  # a 32-bit field (counts, offsets, NPT)
            value = EDGE_INTS[provider.ConsumeIntInRange(0, len(EDGE_INTS) - 1)]
            data[at:at + 4] = struct.pack("<i", value)
        elif action == 2:  # a 16-bit field (parameter type and size)
            data[at:at + 2] = struct.pack("<h", provider.ConsumeIntInRange(-0x8000, 0x7FFF))
        elif action == 3:  # a double (FXV, LXV, z values)
            data[at:at + 8] = struct.pack("<d", provider.ConsumeRegularFloat())
        elif action == 4:
            del data[at:]
        else:
            data[at:at] = provider.ConsumeBytes(provider.ConsumeIntInRange(1, 16))
    return bytes(data)


PATH = os.path.join(tempfile.mkdtemp(prefix="lumira-fuzz-"), "input.0")


def test_one_input(raw: bytes) -> None:
    provider = atheris.FuzzedDataProvider(raw)
    # Half the inputs are taken as files as they are, so libFuzzer's own
    # mutations and corpus files reach the module too.
    data = raw[1:] if raw[:1] in (b"", b"\0") or raw[0] & 1 else mutate(provider)
    with open(PATH, "wb") as handle:
        handle.write(data)
    try:
        api_walk.walk(PATH)
        api_walk.companion_walk(PATH)
    except BaseException:
        sys.excepthook = sys.__excepthook__  # the finding's traceback must be seen
        raise


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    sys.unraisablehook = lambda args: None  # short-read reports are documented, not findings
    sys.excepthook = lambda *args: None  # ... and so is their traceback
    sys.stdout = open(os.devnull, "w")  # ... and the derivative maps' printed note (libFuzzer reports on stderr)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
