"""Files of every 2D kind, written with the builder from generated contents,
read back exactly as written."""

import string

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

import lumira  # noqa: E402
from opusbuilder import (ACQUISITION, DATA_TYPES, FT, INSTRUMENT, SAMPLE_ORIGIN, OpusFile, block_type,  # noqa: E402
                         spectrum_params)

AXIS = ("NPT", "FXV", "LXV", "MXY", "MNY")
COMPANIONS = (ACQUISITION, INSTRUMENT, SAMPLE_ORIGIN, FT)  # in the order they are merged
REFERENCE_SAMPLE = {"RSC", "RIFG", "RPH", "RPOW"}  # sample type 2: a type-0 instrument block does not serve them

names = st.text(string.ascii_uppercase + string.digits, min_size=1, max_size=4).filter(
    lambda name: name not in AXIS and name != "END")
values = st.one_of(
    st.integers(-2**31, 2**31 - 1),
    st.floats(allow_nan=False),
    st.text(st.characters(min_codepoint=1, max_codepoint=255), max_size=40),  # Latin-1, no NUL
)
blocks = st.dictionaries(names, values, max_size=6)
finite = st.floats(-1e9, 1e9)


@st.composite
def spectra(draw):
    points = draw(st.integers(0, 48))
    return {
        "values": draw(st.lists(st.floats(width=32, allow_nan=False), min_size=points, max_size=points)),
        "params": spectrum_params(points, draw(finite), draw(finite), mny=draw(finite), mxy=draw(finite),
                                  **draw(blocks)),
        "extended": draw(st.booleans()),
    }


@st.composite
def files(draw):
    kinds = draw(st.lists(st.tuples(st.sampled_from(sorted(DATA_TYPES)), st.sampled_from(["NONE", "1DER", "2DER",
                                                                                          "NDER"])),
                          min_size=1, max_size=4, unique=True))
    return {
        "spectra": {kind: draw(spectra()) for kind in kinds},
        "companions": {code: draw(blocks) for code in COMPANIONS if draw(st.booleans())},
    }


def build(contents) -> bytes:
    f = OpusFile()
    for (name, deriv), spectrum in contents["spectra"].items():
        f.spectrum(name, spectrum["values"], spectrum["params"], deriv=deriv)
        if spectrum["extended"]:
            f.blocks[-1].extended = f.blocks[-2].extended = True
    for code, params in contents["companions"].items():
        f.params(block_type(param=code), params)
    return f.build()


def merged(contents, name, spectrum):
    expected = dict(spectrum["params"])
    for code, params in contents["companions"].items():
        if code != INSTRUMENT or name not in REFERENCE_SAMPLE:
            expected.update(params)
    return expected


@settings(max_examples=100, deadline=None)
@given(files())
def test_spectra_read_back_as_written(tmp_path_factory, contents):
    path = tmp_path_factory.mktemp("prop") / "file.0"
    path.write_bytes(build(contents))

    listed = lumira.listContents(str(path))
    assert sorted(listed) == sorted((name, "2D", "3DER" if deriv == "NDER" else deriv)
                                    for name, deriv in contents["spectra"])
    for (name, deriv), spectrum in contents["spectra"].items():
        result = lumira.getOpusData(str(path), (name, "2D", deriv))
        params = merged(contents, name, spectrum)
        assert list(result.parameters.items()) == list(params.items())
        assert result.y.tobytes() == np.array(spectrum["values"], dtype=np.float32).tobytes()
        assert np.array_equal(result.x, np.linspace(params["FXV"], params["LXV"], params["NPT"]))
        assert (result.minY, result.maxY) == (params["MNY"], params["MXY"])
