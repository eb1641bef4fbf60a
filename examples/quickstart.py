"""A first look at the sample files: what they hold, and one spectrum read out."""

import pathlib

import lumira

DATA = pathlib.Path(__file__).resolve().parent / "data"

for path in sorted(DATA.glob("*.0")):
    print(f"{path.name}: OPUS file: {lumira.isOpusFile(str(path))}")
    for block in lumira.listContents(str(path)):
        print("   ", block)
