"""Files of every 2D and 3D kind, written with the builder from generated contents,
read back exactly as written."""

import string

import numpy as np
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

import lumira  # noqa: E402
from opusbuilder import (ACQUISITION, ANNOTATION, DATA, DATA_PARAMS, DATA_TYPES, FLOAT_COLUMN, FT,  # noqa: E402
                         INSTRUMENT, INT_COLUMN, SAMPLE_ORIGIN, Column, OpusFile, Record3D, Table, annotation_block,
                         block_type, data_block_3d, named_type, spectrum_params)

AXIS = ("NPT", "FXV", "LXV", "MXY", "MNY")
COMPANIONS = (ACQUISITION, INSTRUMENT, SAMPLE_ORIGIN, FT)  # in the order they are merged
REFERENCE_SAMPLE = {"RSC", "RIFG", "RPH", "RPOW"}  # sample type 2: a type-0 instrument block does not serve them

names = st.text(string.ascii_uppercase + string.digits, min_size=1, max_size=4).filter(
    lambda name: name not in AXIS and name != "END")
# Characters that code page 1252 and Latin-1 (the builder's encoding) write alike, NUL excepted.
latin1_like = st.characters(min_codepoint=1, max_codepoint=255).filter(lambda c: not "\x80" <= c < "\xa0")
values = st.one_of(
    st.integers(-2**31, 2**31 - 1),
    st.floats(allow_nan=False),
    st.text(latin1_like, max_size=40),
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


# --- 3D blocks -------------------------------------------------------------------

GRID = ("AOX", "AOY", "NPX", "NPY", "DDX", "DDY", "ZTX")  # their presence picks the kind of block
names_3d = names.filter(lambda name: name not in GRID)
blocks_3d = st.dictionaries(names_3d, values, max_size=4)
float32s = st.floats(width=32, allow_nan=False)
labels = st.text(latin1_like, max_size=12)
LABEL_ROOM = 12  # info records of 152 + 12 bytes hold the labels whole


def rows_of(draw, count, points):
    return [draw(st.lists(float32s, min_size=points, max_size=points)) for _ in range(count)]


def layout(draw, count):
    """A store table of `count` records numbered 1..count in runs, with gaps between some runs."""
    table, first = [], 1
    while first <= count:
        last = draw(st.integers(first, count))
        table.append([first, last])
        if draw(st.booleans()):
            table.append([-1, draw(st.integers(0, 40))])
        first = last + 1
    return table


@st.composite
def three_d_files(draw):
    kind = draw(st.sampled_from(["image", "trace image", "series", "trace series", "regions", "region traces"]))
    npx, npy = draw(st.integers(1, 4)), draw(st.integers(1, 3))
    npt = npx * npy if kind == "trace image" else draw(st.integers(1, 6))
    count = draw(st.integers(0 if kind == "image" else 1, npx * npy if kind == "image" else 5))
    rows = rows_of(draw, count, npt)
    records = [Record3D(row, z=draw(finite), label=draw(labels)) for row in rows]
    params = {**spectrum_params(npt, draw(finite), draw(finite), mny=draw(finite), mxy=draw(finite)),
              **draw(blocks_3d)}
    if kind in ("image", "trace image"):
        params.update(AOX=draw(finite), AOY=draw(finite), DDX=draw(finite), DDY=draw(finite), NPX=npx, NPY=npy)
    if kind == "series":
        params["ZTX"] = "s"
    table = None
    if kind in ("regions", "region traces"):
        table = draw(regions(count if kind == "regions" else npt))
    return {"kind": kind, "name": "TRC" if "trace" in kind else "AB", "params": params, "records": records,
            "store_table": layout(draw, count), "table": table}


REGION_COLUMNS = [Column(name, INT_COLUMN) for name in ("Group", "Type", "AryNX", "AryNY", "AryType", "Fileindex")]
REGION_COLUMNS += [Column("X", FLOAT_COLUMN), Column("Y", FLOAT_COLUMN)]


@st.composite
def regions(draw, indices):
    """Table rows for regions of distinct groups, each a grid or counted, naming records 1..indices."""
    rows = []
    for group in draw(st.lists(st.integers(0, 40), max_size=3, unique=True)):
        points = draw(st.integers(1, 4))
        nx, ny = draw(st.sampled_from([(points, 1), (1, points), (0, 0)]))
        for _ in range(points):
            rows.append([group, 0, nx, ny, 0, draw(st.integers(1, indices)), draw(float32s), draw(float32s)])
    return rows


def build_3d(contents) -> bytes:
    block = data_block_3d(contents["records"], store_table=contents["store_table"],
                          info_size=152 + LABEL_ROOM)
    f = OpusFile().add(named_type(contents["name"], param=DATA, dimension="3D"), block)
    f.params(named_type(contents["name"], param=DATA_PARAMS, dimension="3D"), contents["params"])
    if contents["table"] is not None:
        f.add(block_type(extend=ANNOTATION), annotation_block([Table(REGION_COLUMNS, contents["table"])]))
    return f.build()


def expected_regions(contents, values):
    """Region title, mapX, mapY, start times and spectra, as the table and records define them."""
    rows, records = contents["table"], contents["records"]
    groups = [row[0] for row in rows]
    found = []
    for group in set(groups):
        first = groups.index(group)
        nx, ny = rows[first][2], rows[first][3]
        count = groups.count(group) if nx * ny == 0 else nx * ny
        title = f"Region {group} ({count} points)" if nx * ny == 0 else f"Region {group} ({nx} x {ny})"
        points = rows[first:first + count]
        found.append((title, [p[6] for p in points], [p[7] for p in points],
                      None if values is not None else [records[p[5] - 1].z for p in points],
                      [records[p[5] - 1].values if values is None else values[:, p[5] - 1] for p in points]))
    return found


def f32(rows) -> bytes:
    return np.asarray(rows, dtype=np.float32).tobytes()


@settings(max_examples=150, deadline=None)
@given(three_d_files())
def test_3d_blocks_read_back_as_written(tmp_path_factory, contents):
    path = tmp_path_factory.mktemp("prop3d") / "file.0"
    path.write_bytes(build_3d(contents))
    params, records, kind = contents["params"], contents["records"], contents["kind"]
    result = lumira.getOpusData(str(path), (contents["name"], "3D", "NONE"))

    assert list(result.parameters.items()) == list(params.items())
    assert np.array_equal(result.x, np.linspace(params["FXV"], params["LXV"], params["NPT"]))
    assert (result.minY, result.maxY) == (params["MNY"], params["MXY"])
    values = np.array([r.values for r in records], dtype=np.float32).reshape(len(records), params["NPT"])
    if kind in ("image", "trace image"):
        npx, npy = params["NPX"], params["NPY"]
        assert np.array_equal(result.mapX, np.linspace(params["AOX"], params["AOX"] + params["DDX"] * (npx - 1), npx))
        assert np.array_equal(result.mapY, np.linspace(params["AOY"], params["AOY"] + params["DDY"] * (npy - 1), npy))
    if kind == "image":
        cube = np.zeros((npy * npx, params["NPT"]), dtype=np.float32)
        cube[:len(records)] = values
        assert result.spectra.tobytes() == cube.tobytes() and result.spectra.shape == (npy, npx, params["NPT"])
    elif kind == "trace image":
        assert result.traces.tobytes() == np.dstack([v.reshape(npy, npx) for v in values]).tobytes()
    elif kind == "series":
        assert result.spectra.tobytes() == values.tobytes() and result.z.tolist() == [r.z for r in records]
    elif kind == "trace series":
        assert result.traces.tobytes() == values.tobytes()
    else:
        traces = values if kind == "region traces" else None
        got = [(r.title, r.mapX.tolist(), r.mapY.tolist(), None if r.start_time is None else r.start_time.tolist(),
                r.spectra.tobytes()) for r in result.regions]
        want = [(title, [float(np.float32(x)) for x in xs], [float(np.float32(y)) for y in ys], times, f32(spectra))
                for title, xs, ys, times, spectra in expected_regions(contents, traces)]
        assert got == want
    if "trace" in kind:
        assert result.labels == [r.label for r in records]
