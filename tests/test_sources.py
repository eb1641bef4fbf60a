"""Files from anywhere: contents as bytes, file objects, zip archives, and "a path, a folder, or an iterable of
them" for read_many, stack and metadata."""

import io
import os
import pathlib
import pickle
import zipfile

import numpy as np
import pytest

import lumira_tools
from api_walk import summary
from opusbuilder import OpusFile, spectrum_params

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "examples" / "data" / "film_absorbance.0"
MAP = ROOT / "examples" / "data" / "blend_image_map.0"


class Stream:
    """A binary stream that cannot seek (a pipe, a socket, an HTTP response)."""

    def __init__(self, data):
        self._data = io.BytesIO(data)

    def read(self, size=-1):
        return self._data.read(size)


class FailingFile(io.RawIOBase):
    """A file object whose reads fail past a point, as a dropped connection does."""

    def __init__(self, data):
        self._data = io.BytesIO(data)
        self.seek, self.tell = self._data.seek, self._data.tell

    def seekable(self):
        return True

    def readinto(self, view):
        if self.tell() >= 65536:
            raise ConnectionError("connection reset by peer")
        return self._data.readinto(view)


def kinds_of(path):
    data = pathlib.Path(path).read_bytes()
    return {
        "str": lambda: str(path), "pathlib": lambda: pathlib.Path(path), "bytes": lambda: data,
        "bytearray": lambda: bytearray(data), "memoryview": lambda: memoryview(data),
        "BytesIO": lambda: io.BytesIO(data), "open file": lambda: open(path, "rb"), "stream": lambda: Stream(data),
    }


KINDS = list(kinds_of(SAMPLE))


def spectrum_file(values, sample="film"):
    return OpusFile().spectrum("AB", values, spectrum_params(len(values), 4000.0, 400.0, SNM=sample)).build()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("reader", ["read", "read_spectrum", "read_file", "to_xarray", "read_many", "stack"])
def test_every_kind_of_input_reads_what_the_path_gives(kind, reader):
    if reader in ("to_xarray", "stack"):
        pytest.importorskip("xarray")
    source = kinds_of(SAMPLE)[kind]()
    function = getattr(lumira_tools, reader)
    got, expected = function(source), function(str(SAMPLE))
    if reader == "read_file":
        got, expected = [(b.name, summary(b.result)) for b in got], [(b.name, summary(b.result)) for b in expected]
    elif reader == "read_many":
        got, expected = [summary(f.result) for f in got], [summary(f.result) for f in expected]
    elif reader == "stack":
        assert np.array_equal(got["AB"].values, expected["AB"].values) and got.sizes["file"] == 1
        return
    elif reader == "to_xarray":
        assert got.identical(expected)
        return
    else:
        got, expected = summary(got), summary(expected)
    assert got == expected


@pytest.mark.parametrize("kind", ["bytes", "BytesIO", "open file", "stream"])
def test_lazy_maps_read_any_kind_of_input(kind):
    pytest.importorskip("dask")
    eager = lumira_tools.read(str(MAP)).spectra
    lazy = lumira_tools.to_dask(kinds_of(MAP)[kind](), chunks=5)
    assert np.array_equal(lazy[3:9].compute(), eager[3:9]) and np.array_equal(lazy.compute(), eager)
    if kind in ("bytes", "BytesIO"):
        assert np.array_equal(pickle.loads(pickle.dumps(lazy)).compute(), eager)


@pytest.mark.parametrize("kind", ["bytes", "BytesIO", "stream"])
def test_is_opus_file_takes_contents_and_file_objects(kind):
    assert lumira_tools.is_opus_file(kinds_of(SAMPLE)[kind]())
    assert not lumira_tools.is_opus_file(kinds_of(ROOT / "README.md")[kind]())


def test_a_file_object_is_read_where_it_stands():
    with open(SAMPLE, "rb") as file:
        file.seek(100)
        lumira_tools.read_file(file)
        lumira_tools.read_file(file, data=False)
        assert file.tell() == 100


@pytest.mark.parametrize("contents", [b"x" * 243_000, b"\n\n\xfe\xfe" + b"<damage>" * 30_000, b""],
                         ids=["not OPUS", "damaged", "empty"])
def test_messages_never_quote_contents(contents):
    with pytest.raises(ValueError) as raised:
        lumira_tools.read(contents)
    assert len(str(raised.value)) < 300 and "xxxx" not in str(raised.value) and "<damage>" not in str(raised.value)


def test_a_reader_that_fails_raises_its_own_error():
    with pytest.raises(ConnectionError, match="reset by peer"):
        lumira_tools.read_file(FailingFile(MAP.read_bytes()))
    found = lumira_tools.read_many([FailingFile(MAP.read_bytes()), str(SAMPLE)])
    assert isinstance(found[0].error, ConnectionError) and found[1].ok


def test_entry_bytes_come_from_any_kind_of_input():
    expected = SAMPLE.read_bytes()[24:24 + 96]
    for make in kinds_of(SAMPLE).values():
        opened = lumira_tools.read_file(make(), data=False)
        assert opened._read_bytes(24, 96) == expected
        assert opened._read_bytes(len(expected) * 10**4, 8) == b""


# --- zip archives ------------------------------------------------------------------------------------------


@pytest.fixture
def library(tmp_path):
    """A zip archive of three spectra (one in a folder), a text file and an empty folder."""
    archive = tmp_path / "library.zip"
    with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as opened:
        opened.writestr("b.0", spectrum_file([1.0, 2.0, 3.0], "b"))
        opened.writestr("a.0", spectrum_file([4.0, 5.0, 6.0], "a"))
        opened.writestr("more/c.1", spectrum_file([7.0, 8.0, 9.0], "c"))
        opened.writestr("README.txt", "not a spectrum")
        opened.writestr("empty/", "")
    return str(archive)


def test_a_zip_archive_is_read_member_by_member(library):
    found = lumira_tools.read_many(library)
    assert [f.path for f in found] == [f"{library}/{name}" for name in ("a.0", "b.0", "more/c.1")]
    assert [f.result.y.tolist() for f in found] == [[4.0, 5.0, 6.0], [1.0, 2.0, 3.0], [7.0, 8.0, 9.0]]
    member = lumira_tools.read(f"{library}/more/c.1")
    assert member.parameters["SNM"] == "c" and lumira_tools.read_file(f"{library}/more/c.1").path.endswith("c.1")
    pytest.importorskip("xarray")
    table = lumira_tools.stack(library)
    assert table["path"].values.tolist() == [f.path for f in found] and lumira_tools.failures(table) == {}


def test_zip_archives_refuse_what_they_do_not_hold(library, tmp_path):
    with pytest.raises(FileNotFoundError, match="no member 'z.0'"):
        lumira_tools.read(f"{library}/z.0")
    with pytest.raises(ValueError, match="zip archive of 4 files"):
        lumira_tools.read(library)
    single = tmp_path / "single.zip"
    with zipfile.ZipFile(single, "w") as opened:
        opened.writestr("only.0", spectrum_file([1.0, 2.0]))
    assert lumira_tools.read(single).y.tolist() == [1.0, 2.0]


# --- a path, a folder, or an iterable of them ----------------------------------------------------------------


def test_one_way_of_naming_many_files(write, tmp_path):
    first = write(spectrum_file([1.0, 2.0]), "one.0")
    (tmp_path / "sub").mkdir()
    second = write(spectrum_file([3.0, 4.0]), "sub/two.0")
    write(b"notes", "sub/notes.txt")
    assert [f.path for f in lumira_tools.read_many(first)] == [first]  # a str is one file, not its characters
    assert [f.path for f in lumira_tools.read_many(str(tmp_path))] == [first, second]
    assert [f.path for f in lumira_tools.read_many(pathlib.Path(tmp_path))] == [first, second]
    contents = spectrum_file([5.0])
    mixed = lumira_tools.read_many([first, contents, str(tmp_path / "missing.0")])
    assert [f.path for f in mixed[:2]] == [first, f"<{len(contents):,} bytes>"] and mixed[1].result.y.tolist() == [5.0]
    assert isinstance(mixed[2].error, FileNotFoundError)  # in a list, a missing file is one failure


@pytest.mark.parametrize("function", ["read_many", "stack", "metadata"])
def test_a_missing_path_given_alone_raises(tmp_path, function):
    if function != "read_many":
        pytest.importorskip("xarray")
    with pytest.raises(FileNotFoundError):
        getattr(lumira_tools, function)(str(tmp_path / "nosuchdir"))


def test_metadata_reads_files_of_any_kind(library):
    pytest.importorskip("pandas")
    table = lumira_tools.metadata([library, SAMPLE.read_bytes()])
    assert table["SNM"].tolist()[:3] == ["a", "b", "c"] and table["path"].iloc[3] == f"<{SAMPLE.stat().st_size:,} bytes>"

