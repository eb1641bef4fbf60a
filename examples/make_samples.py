"""Writes the sample OPUS files under examples/data with the project's own builder, or a folder of them as an
instrument fills it.

    python examples/make_samples.py
    python examples/make_samples.py --collection spectra

The files under examples/data are committed; run this again only when the samples change. `--collection FOLDER`
writes the folder the guide's tour reads: twelve measurements of a polymer film ageing in air, an hour apart and
saved with four different instrument settings (point counts and ranges) while a carbonyl band near 1720 cm-1
grows; the background measured before them (reference channels only); a map; and the debris of a real folder, a
save that failed (an empty file) and a copy that was cut short.
"""

from __future__ import annotations

import argparse
import math
import pathlib
import sys
from typing import Any, Sequence

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

from opusbuilder import (ACQUISITION, DATA, DATA_PARAMS, FT, INSTRUMENT, SAMPLE_ORIGIN,  # noqa: E402
                         OpusFile, Record3D, block_type, data_block_3d, named_type, spectrum_params)
from instrument_folder import background_file, measurement  # noqa: E402

DATA_DIR = HERE / "data"


def bands(x: float, peaks: Sequence[tuple[float, float, float]]) -> float:
    return sum(height * math.exp(-((x - centre) / width) ** 2) for centre, height, width in peaks)


# A thin polymer film: a few strong bands on a gently sloping baseline.
FILM_BANDS = [(3026, 0.35, 12), (2923, 0.9, 18), (1601, 0.45, 6), (1493, 0.8, 7), (1452, 0.7, 8),
              (1028, 0.3, 6), (756, 1.1, 9), (698, 1.5, 8)]


def companion_blocks(f: OpusFile, *, sample_name: str) -> None:
    """The acquisition, instrument, sample-origin and FT parameter blocks an instrument writes."""
    f.params(block_type(param=ACQUISITION), {"APT": "1 mm", "NSS": 32, "NSR": 32, "RES": 4.0, "DAT": "08/12/2026",
                                             "TIM": "09:15:02.120 (GMT+1)"})
    f.params(block_type(param=INSTRUMENT), {"INS": "FT-IR bench", "BMS": "KBr", "LWN": 15798.0, "HFW": 8000.0,
                                            "LFW": 0.0, "HPF": 0, "LPF": 10000.0})
    f.params(block_type(param=SAMPLE_ORIGIN), {"SNM": sample_name, "SFM": "film", "CNM": "lab",
                                               "EXP": "transmission.xpm", "XPP": "C:/experiments"})
    f.params(block_type(param=FT), {"APF": "B3", "HFQ": 7898.0, "LFQ": 0.0, "PHZ": "ME", "PHR": 32.0, "ZFF": 2})


def film_absorbance() -> OpusFile:
    npt = 1868
    fxv, lxv = 3999.6, 400.2
    step = (lxv - fxv) / (npt - 1)
    xs = [fxv + i * step for i in range(npt)]
    absorbance = [0.02 + 1.5e-5 * (x - 400) + bands(x, FILM_BANDS) for x in xs]
    single_channel = [max(0.0, math.sin(math.pi * (x - 400) / 3600)) * 10 ** -a for x, a in zip(xs, absorbance)]
    reference = [max(0.0, math.sin(math.pi * (x - 400) / 3600)) for x in xs]

    f = OpusFile()
    for name, values in (("SSC", single_channel), ("RSC", reference)):
        f.spectrum(name, values, spectrum_params(npt, fxv, lxv, mny=min(values), mxy=max(values)))
    f.spectrum("AB", absorbance, spectrum_params(npt, fxv, lxv, mny=min(absorbance), mxy=max(absorbance)))
    companion_blocks(f, sample_name="Polymer film, 25 µm")
    return f


def axis(npt: int, fxv: float, lxv: float) -> list[float]:
    step = (lxv - fxv) / (npt - 1)
    return [fxv + i * step for i in range(npt)]


def blend_image_map() -> OpusFile:
    """A 16 x 12 point map of a two-phase polymer blend: one phase's bands grow towards the upper right."""
    npt, npx, npy = 400, 16, 12
    xs = axis(npt, 3800.0, 700.0)
    phase_a = [bands(x, [(2920, 0.8, 20), (1730, 1.2, 10), (1240, 0.6, 15)]) for x in xs]
    phase_b = [bands(x, [(3030, 0.3, 12), (1600, 0.5, 8), (1490, 0.7, 8), (700, 1.0, 10)]) for x in xs]
    records = []
    for row in range(npy):
        for column in range(npx):
            share = 1 / (1 + math.exp(-((column - 8) + (row - 6)) / 2))
            records.append(Record3D([0.01 + share * a + (1 - share) * b for a, b in zip(phase_a, phase_b)]))
    flat = [v for r in records for v in r.values]
    f = OpusFile()
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d(records))
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"),
             spectrum_params(npt, xs[0], xs[-1], mny=min(flat), mxy=max(flat), AOX=-400.0, AOY=250.0, DDX=50.0,
                             DDY=-50.0, NPX=npx, NPY=npy))
    companion_blocks(f, sample_name="PMMA/PS blend, map 1")
    return f


def curing_series() -> OpusFile:
    """An epoxy curing run: 30 spectra, 20 s apart; the epoxide band falls as the hydroxyl band grows."""
    npt, count = 400, 30
    xs = axis(npt, 4000.0, 600.0)
    records = []
    for k in range(count):
        extent = 1 - math.exp(-k / 8)
        values = [0.02 + bands(x, [(915, 0.6 * (1 - extent), 8), (3400, 0.5 * extent, 120), (1510, 0.9, 8)])
                  for x in xs]
        # Each record: 16 scans, taking 14.2 of its 20 s.
        info = {"NSS": 16, "NPT": npt, "FXV": xs[0], "LXV": xs[-1], "MNY": min(values), "MXY": max(values),
                "CSF": 1.0, "SRT": 20.0 * k, "ERT": 20.0 * k + 14.2}
        records.append(Record3D(values, z=20.0 * k, info=info))
    flat = [v for r in records for v in r.values]
    f = OpusFile()
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d(records))
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"),
             spectrum_params(npt, xs[0], xs[-1], mny=min(flat), mxy=max(flat), ZTX="Time (s)"))
    companion_blocks(f, sample_name="Epoxy resin, 80 °C")
    return f


SAMPLES = {
    "film_absorbance.0": film_absorbance,
    "blend_image_map.0": blend_image_map,
    "curing_series.0": curing_series,
}


# (points, first x, last x) of the four settings the collection was saved with
SETTINGS = [(1868, 3999.6, 400.2), (1700, 4000.0, 600.0), (820, 3800.0, 650.0), (935, 3999.6, 400.2)]


def ageing_film(hour: int) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]:
    """The axis and absorbance of the film `hour` hours into its ageing, saved with that hour's settings."""
    npt, first, last = SETTINGS[hour % len(SETTINGS)]
    x = np.linspace(first, last, npt)
    peaks = [(2920, 0.9, 45), (1460, 0.5, 25), (1720, 0.07 * hour, 35), (720, 0.35, 20), (3400, 0.02 * hour, 150)]
    return x, 0.03 + 1e-5 * (x - 400) + sum(h * np.exp(-((x - c) / w) ** 2) for c, h, w in peaks)


def write_collection(folder: pathlib.Path) -> list[pathlib.Path]:
    """The tour's folder (see the module's text); returns the files written."""
    folder.mkdir(parents=True, exist_ok=True)
    written = []
    for hour in range(12):
        x, absorbance = ageing_film(hour)
        path = folder / f"film_{hour:02d}.0"
        path.write_bytes(measurement(f"film, {hour} h in air", x, absorbance,
                                     ("08/12/2026", f"{8 + hour:02d}:00:00.000 (GMT+1)")))
        written.append(path)
    copy = folder / "film_03_copy.0"
    data = (folder / "film_03.0").read_bytes()
    copy.write_bytes(data[:len(data) * 3 // 5])  # an interrupted copy
    (folder / "background.0").write_bytes(background_file(npt=1868))
    blend_image_map().write(folder / "blend_map.0")
    (folder / "failed_save.0").write_bytes(b"")
    return written + [copy, folder / "background.0", folder / "blend_map.0", folder / "failed_save.0"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--collection", metavar="FOLDER", help="write the tour's folder of files into FOLDER")
    options = parser.parse_args()
    if options.collection:
        files = write_collection(pathlib.Path(options.collection))
        print(f"wrote {len(files)} files into {options.collection} ({sum(f.stat().st_size for f in files):,} bytes)")
        return
    DATA_DIR.mkdir(exist_ok=True)
    for name, make in SAMPLES.items():
        path = DATA_DIR / name
        make().write(path)
        print(f"wrote {path.relative_to(HERE.parent)} ({path.stat().st_size:,} bytes)")


if __name__ == "__main__":
    main()
