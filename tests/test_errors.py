"""What the companion package says when a request or a file cannot be answered: one class per kind of problem,
every message naming the file, a damaged file said once and the same way by every reader."""

import pickle
import struct

import pytest

import lumira_tools
from lumira_tools import (BlockSpecError, DamagedFileError, NoSuchBlockError, NotASpectrumError, NotOpusFileError,
                          list_blocks, parse_block, read, read_file, read_many, resolve)
from lumira_tools.cli import main
from instrument_folder import background_file, map_file, sample_file
from opusbuilder import MAGIC, OpusFile, header, named_type, spectrum_params
from tool_results import image_file


@pytest.mark.parametrize("block", ["AB/2D/NONEE", "AB/4D", "XX", "AB/2D/NONE/X", "#x", "ab//none", "#-1"])
def test_a_misspelt_block_is_refused_before_any_file_is_read(tmp_path, capsys, block):
    missing = str(tmp_path / "never-opened.0")
    calls = [lambda: read(missing, block), lambda: read_many([missing], block), lambda: resolve(missing, block),
             lambda: lumira_tools.stack([missing], block), lambda: lumira_tools.metadata([missing], block)]
    if not block.startswith("#"):
        calls.append(lambda: parse_block(block))
    for call in calls:
        try:
            call()
        except ImportError:
            continue  # stack and metadata without their extras
        except BlockSpecError:
            continue
        pytest.fail(f"{block!r} was not refused as a block")
    assert main(["show", missing, block]) == 2
    assert capsys.readouterr().err.startswith("lumira show: error: ")


def cut_entry_file():
    """A header, then a first directory entry cut after its size word: 32 bytes."""
    return header(max_dir_size=1, dir_size=1) + struct.pack("<ii", named_type("TRC", param=0, dimension="3D"), 4)


def negative_offset_file():
    f = OpusFile().spectrum("AB", [1.0, 2.0], spectrum_params(2, 4000.0, 400.0))
    f.blocks[0].offset = -8
    return f.build()


def infinite_axis_file(code):
    return OpusFile().spectrum("AB", [1.0, 2.0], spectrum_params(2, 4000.0, 400.0, **{code: float("inf")})).build()


@pytest.mark.parametrize("data, reason", [
    (cut_entry_file(), "the file is cut short at 32 bytes; its directory reaches 36"),
    (sample_file("a", 0)[:1000], "the file is cut short at 1,000 bytes; its directory reaches "),
    (negative_offset_file(), "its directory points at offset -8, before the start of the file"),
    (infinite_axis_file("FXV"), "its parameter FXV is inf, so its x axis cannot be computed"),
    (infinite_axis_file("LXV"), "its parameter LXV is inf, so its x axis cannot be computed"),
], ids=["cut entry", "cut copy", "negative offset", "FXV inf", "LXV inf"])
def test_damage_is_the_same_error_from_every_reader(write, data, reason):
    path = write(data)
    outcomes = [read_many([path])[0].error, read_many([path], "AB")[0].error]
    for call in (lambda: read(path), lambda: read(path, "AB/2D/NONE"), lambda: lumira_tools.read_spectrum(path),
                 lambda: read_file(path)["ab"].error or read_file(path)["ab"]):
        try:
            outcomes.append(call())
        except DamagedFileError as error:
            outcomes.append(error)
    for error in outcomes:
        assert isinstance(error, DamagedFileError), error
        assert error.path == path and error.reason.startswith(reason) and str(error).startswith(f"{path}: ")
        assert error.__cause__ is None or not isinstance(error.__cause__, DamagedFileError)


def test_a_cut_directory_is_damage_for_a_lazy_read_too(write):
    pytest.importorskip("dask")
    path = write(cut_entry_file())
    with pytest.raises(DamagedFileError, match="cut short at 32 bytes"):
        lumira_tools.to_dask(path, "TRC/3D")


def test_a_map_grid_of_nan_is_damage(tmp_path):
    path = image_file(tmp_path / "map.0")
    data = bytearray(open(path, "rb").read())
    at = data.index(b"AOY\0") + 8
    data[at:at + 8] = struct.pack("<d", float("nan"))
    open(path, "wb").write(bytes(data))
    with pytest.raises(DamagedFileError, match="its parameter AOY is nan, so its map grid cannot be computed"):
        read(path)


@pytest.mark.parametrize("data, block, error, reason", [
    (b"", None, NotOpusFileError, "not an OPUS file: it is empty"),
    (b"\n\n", "ab", NotOpusFileError, "not an OPUS file: it holds 2 bytes, too few for the OPUS magic"),
    (b"%PDF-1.4 and more", "AB/2D/NONE", NotOpusFileError, "not an OPUS file"),
    (background_file(), None, None, None),  # its preferred block: the reference channel
    (background_file(), "tr", NoSuchBlockError, "no TR block in the file (it holds only reference channels: "
                                             "RSC/2D/NONE, RIFG/2D/NONE)"),
    (background_file(), "AB/2D/NONE", NoSuchBlockError, "no AB/2D/NONE block in the file (it holds only"),
    (background_file(), "#7", NoSuchBlockError, "no block #7 in the file (it holds only reference channels: "
                                                "RSC/2D/NONE, RIFG/2D/NONE; they are numbered from #0)"),
    (MAGIC + bytes(20), None, NoSuchBlockError, "the file holds no data block"),
    (OpusFile().params(named_type("AB", param=1), spectrum_params(2, 1.0, 2.0)).build(), "ab", NoSuchBlockError,
     "no AB data block in the file: its parameters are there, the data block is not (it holds no data block)"),
    (map_file(), "ab", NotASpectrumError, "AB/3D/NONE is a 3D block (image map), not a single spectrum"),
], ids=["empty", "2 bytes", "pdf", "background", "no tr", "no ab", "#7", "no blocks", "parameters only", "map"])
def test_every_error_names_the_file_and_what_it_holds(write, data, block, error, reason):
    path = write(data)
    if error is None:
        assert read(path, block).dataType == "RSC"
        return
    call = lumira_tools.read_spectrum if error is NotASpectrumError else read
    with pytest.raises(error) as raised:
        call(path, block)
    assert raised.value.path == path and raised.value.reason.startswith(reason)
    assert str(raised.value) == f"{path}: {raised.value.reason}"
    assert error is NotASpectrumError or read_many([path], block)[0].error.reason == raised.value.reason
    copy = pickle.loads(pickle.dumps(raised.value))
    assert type(copy) is error and str(copy) == str(raised.value)
    if error is NoSuchBlockError:
        assert isinstance(raised.value, ValueError) and raised.value.held == read_file(path).held


def test_one_numbering_in_directory_order(write, capsys):
    path = write(sample_file("numbered", 1))
    opened = read_file(path)
    names = ["SSC/2D/NONE", "RSC/2D/NONE", "AB/2D/NONE", "AB/2D/NONE"]
    assert [block.name for block in opened] == names and [block.number for block in opened] == [0, 1, 2, 3]
    assert ["/".join(triple) for triple in list_blocks(path)] == names
    for number in range(4):
        assert read(path, f"#{number}").y.tolist() == opened[number].result.y.tolist()
    assert opened[2].shadowed and resolve(path, "#1") == ("RSC", "2D", "NONE")
    assert main(["ls", path]) == 0
    table = capsys.readouterr().out.splitlines()[2:6]
    assert [line.split()[:2] for line in table] == [[f"#{n}", name] for n, name in enumerate(names)]
