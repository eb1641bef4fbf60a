"""A first look at the sample files: what they hold, and a spectrum read out."""

import pathlib

import lumira

DATA = pathlib.Path(__file__).resolve().parent / "data"

for path in sorted(DATA.glob("*.0")):
    print(f"{path.name}: OPUS file: {lumira.isOpusFile(str(path))}")
    for block in lumira.listContents(str(path)):
        print("   ", block)

spectrum = lumira.getOpusData(str(DATA / "film_absorbance.0"), ("AB", "2D", "NONE"))
print(f"\nAbsorbance spectrum: {spectrum.x.size} points from {spectrum.x[0]:.1f} to {spectrum.x[-1]:.1f} "
      f"{spectrum.parameters['DXU']}")
for x, y in zip(spectrum.x[:5], spectrum.y[:5]):
    print(f"    {x:8.2f}  {y:.5f}")
for code in ("NPT", "RES", "NSS", "SNM", "INS"):
    print(f"  {code} ({lumira.paramDict.get(code, '?')}): {spectrum.parameters[code]}")
