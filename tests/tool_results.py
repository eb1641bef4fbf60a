"""Result objects of every kind, built directly, for the tools' tests; and real 3D files for when 3D reads."""

from __future__ import annotations

import numpy as np
import pytest

import lumira
from opusbuilder import DATA, DATA_PARAMS, OpusFile, Record3D, data_block_3d, named_type, spectrum_params

NPT, NPX, NPY = 5, 3, 2
X = np.linspace(4000.0, 400.0, NPT)


def base(data_type="AB", **parameters):
    params = {"NPT": NPT, "FXV": 4000.0, "LXV": 400.0, "DXU": "WN", "SNM": "Müller film", **parameters}
    return dict(dimension="3D", dataType=data_type, deriv="NONE", parameters=params, x=X.copy(), minY=0.0, maxY=9.0)


def values(*shape):
    return (np.arange(np.prod(shape), dtype=np.float32).reshape(shape) + 1) / 7


def single():
    return lumira.SingleDataReturn(y=values(NPT), **{**base(), "dimension": "2D"})


def image():
    return lumira.ImageDataReturn(mapX=np.array([10.0, 12.5, 15.0]), mapY=np.array([-1.0, 1.0]),
                                  spectra=values(NPY, NPX, NPT), **base(NPX=NPX, NPY=NPY))


def image_traces():
    return lumira.ImageTRCDataReturn(mapX=np.array([10.0, 12.5, 15.0]), mapY=np.array([-1.0, 1.0]),
                                     labels=["area 1", "peak 2"], traces=values(NPY, NPX, 2), **base("TRC"))


def series():
    return lumira.TimeResolvedDataReturn(z=np.array([0.0, 1.5, 3.0, 4.5]), spectra=values(4, NPT),
                                         **base(ZTX="Time (s)"))


def series_traces():
    return lumira.TimeResolvedTRCDataReturn(labels=["first", "second", "third"], traces=values(3, NPT),
                                            **base("TRC", DXU="MIN"))


def regions():
    one = lumira.Region(title="Region 1 (2 x 1)", mapX=np.array([0.0, 5.0]), mapY=np.array([0.0, 0.0]),
                        start_time=np.array([100.0, 101.0]), spectra=values(2, NPT))
    two = lumira.Region(title="Region 2 (3 points)", mapX=np.array([1.0, 2.0, 3.0]), mapY=np.array([7.0, 8.0, 9.0]),
                        start_time=np.array([200.0, 201.0, 202.0]), spectra=values(3, NPT) * 2)
    return lumira.MultiRegionDataReturn(regions=[one, two], **base())


def regions_traces():
    one = lumira.Region(title="Region 1 (3 points)", mapX=np.array([0.0, 5.0, 6.0]), mapY=np.array([0.0, 0.0, 1.0]),
                        start_time=None, spectra=values(3, 2))
    return lumira.MultiRegionTRCDataReturn(labels=["height", "width"], regions=[one], **base("TRC"))


KINDS = {
    "spectrum": single, "image map": image, "image map (traces)": image_traces, "series": series,
    "series (traces)": series_traces, "multi-region": regions, "multi-region (traces)": regions_traces,
}
THREE_D = {kind: make for kind, make in KINDS.items() if kind != "spectrum"}


# --- real 3D files ------------------------------------------------------------------------------------

def image_file(path, npx=NPX, npy=NPY):
    """An AB image map: NPY x NPX spectra of NPT points on a grid at (10, -1) with steps (2.5, 2)."""
    records = [Record3D(values=list(values(NPT) * (k + 1))) for k in range(npx * npy)]
    params = spectrum_params(NPT, 4000.0, 400.0, AOX=10.0, AOY=-1.0, DDX=2.5, DDY=2.0, NPX=npx, NPY=npy)
    f = OpusFile()
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d(records))
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), params)
    return f.write(path)


def series_file(path, count=4):
    records = [Record3D(values=list(values(NPT) + k), z=1.5 * k) for k in range(count)]
    f = OpusFile()
    f.add(named_type("AB", param=DATA, dimension="3D"), data_block_3d(records))
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(NPT, 4000.0, 400.0, ZTX="s"))
    return f.write(path)


def read_3d(path, block=("AB", "3D", "NONE")):
    """getOpusData on a 3D block, or a skip while the extension cannot read 3D blocks yet."""
    try:
        return lumira.getOpusData(str(path), block)
    except NotImplementedError:
        pytest.skip("3D reading not available")
