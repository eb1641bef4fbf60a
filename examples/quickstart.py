"""A first look at the sample files: what they hold, and their data read out."""

import pathlib

import lumira
import lumira_tools

DATA = pathlib.Path(__file__).resolve().parent / "data"
ABSORBANCE_3D = ("AB", "3D", "NONE")

for path in sorted(DATA.glob("*.0")):
    print(f"{path.name}: OPUS file: {lumira.isOpusFile(str(path))}")
    # Numbered in directory order, as `lumira ls` and a block written "#N" number them
    for block in lumira_tools.read_file(path, data=False):
        print(f"    #{block.number} {block.name}: {block.kind} {block.shape}")

spectrum = lumira.getOpusData(str(DATA / "film_absorbance.0"), ("AB", "2D", "NONE"))
print(f"\nAbsorbance spectrum: {spectrum.x.size} points from {spectrum.x[0]:.1f} to {spectrum.x[-1]:.1f} "
      f"{spectrum.parameters['DXU']}")
for x, y in zip(spectrum.x[:5], spectrum.y[:5]):
    print(f"    {x:8.2f}  {y:.5f}")
for code in ("NPT", "RES", "NSS", "SNM", "INS"):
    print(f"  {code} ({lumira.paramDict.get(code, '?')}): {spectrum.parameters[code]}")

image = lumira.getOpusData(str(DATA / "blend_image_map.0"), ABSORBANCE_3D)
rows, columns, points = image.spectra.shape
print(f"\n{type(image).__name__}: {rows} x {columns} map of {points}-point spectra, "
      f"x {image.mapX[0]:.0f} to {image.mapX[-1]:.0f}, y {image.mapY[0]:.0f} to {image.mapY[-1]:.0f}")
band = int(abs(image.x - 1730).argmin())
print(f"  absorbance at {image.x[band]:.0f} /cm, corner to corner: "
      f"{image.spectra[0, 0, band]:.3f} -> {image.spectra[-1, -1, band]:.3f}")

series = lumira.getOpusData(str(DATA / "curing_series.0"), ABSORBANCE_3D)
print(f"\n{type(series).__name__}: {series.spectra.shape[0]} spectra, "
      f"{series.parameters['ZTX']} from {series.z[0]:.0f} to {series.z[-1]:.0f}")
