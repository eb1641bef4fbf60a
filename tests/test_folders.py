"""Folders as instrument software fills them, end to end: a stack that takes what most files hold, written to
NetCDF and Zarr and read back equal, chosen parameters as coordinates, and metadata of every file."""

import pathlib
import re
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

import lumira_tools
from instrument_folder import sample_file, write_folder
from opusbuilder import OpusFile, spectrum_params

xr = pytest.importorskip("xarray")
ROOT = pathlib.Path(__file__).resolve().parent.parent

LEFT_OUT = {
    "background": "no AB/2D/NONE block in the file (it holds only reference channels: RSC/2D/NONE, RIFG/2D/NONE)",
    "map": "an image map (AB/3D/NONE), not a single spectrum",
    "reflectance": "no AB/2D/NONE block in the file (it holds SSC/2D/NONE, RSC/2D/NONE, REFL/2D/NONE)",
    "empty": "not an OPUS file: it is empty",
    "tiny": "not an OPUS file: it holds 2 bytes, too few for the OPUS magic",
    "cut": "the file is cut short at ",
}


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("instrument") / "spectra"
    paths = write_folder(root)
    (root / "notes.txt").write_text("a folder's other files are passed over")
    return root, paths


def test_a_folder_stacks_the_block_most_files_hold_and_says_why_the_others_were_left_out(folder):
    root, paths = folder
    stacked = lumira_tools.stack(root)
    samples = [paths[f"sample{k}"] for k in range(3)]
    assert stacked.attrs["block"] == "AB/2D/NONE" and stacked["file"].values.tolist() == samples
    failed = lumira_tools.failures(stacked)
    assert sorted(failed) == sorted(paths[role] for role in LEFT_OUT)
    for role, reason in LEFT_OUT.items():
        assert failed[paths[role]].startswith(reason) and "\n" not in failed[paths[role]]
    # The compensated absorbance, as a request reads it: the later of the two
    assert np.array_equal(stacked["AB"].sel(file=samples[1]).values, lumira_tools.read(samples[1]).y)
    assert "6 files left out:" in repr(failed) and "background.0: no AB/2D/NONE" in repr(failed)
    with pytest.raises(lumira_tools.NoSuchBlockError, match=f"^{paths['background']}: no AB/2D/NONE block"):
        lumira_tools.stack(root, errors="raise")


def test_a_file_that_holds_the_block_beside_the_one_it_offers_gives_it(tmp_path):
    for k in range(2):
        OpusFile().spectrum("SSC", [1.0 + k, 2.0, 3.0], spectrum_params(3, 4000.0, 400.0)).write(tmp_path / f"{k}.0")
    (tmp_path / "sample.0").write_bytes(sample_file("with AB", 0, npt=3, first=4000.0, last=400.0))
    stacked = lumira_tools.stack(tmp_path)
    assert stacked.attrs["block"] == "SSC/2D/NONE" and stacked.sizes["file"] == 3
    assert np.array_equal(stacked["SSC"].values[2], lumira_tools.read(tmp_path / "sample.0", "ssc").y)
    assert lumira_tools.failures(stacked) == {}


def test_a_list_of_blocks_is_refused_plainly(folder):
    with pytest.raises(lumira_tools.BlockSpecError, match="a stack takes one block"):
        lumira_tools.stack(folder[0], ["AB/2D/NONE", "SSC/2D/NONE"])


def stored_and_read_back(stacked, path, fmt):
    if fmt == "netcdf":
        stacked.to_netcdf(path)
        with xr.open_dataset(path) as stored:
            return stored.load()
    pytest.importorskip("zarr")
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no type the format leaves unspecified
        stacked.to_zarr(path, consolidated=False)
    return xr.open_zarr(path, consolidated=False).load()


@pytest.mark.parametrize("fmt", ["netcdf", "zarr"])
def test_a_stack_writes_as_it_is_and_reads_back_equal(folder, tmp_path, fmt):
    if fmt == "netcdf":
        pytest.importorskip("netCDF4")
    root, paths = folder
    undated = tmp_path / "undated.0"
    OpusFile().spectrum("AB", [0.5] * 4, spectrum_params(4, 4000.0, 400.0, SNM="Müller")).write(undated)
    stacked = lumira_tools.stack([root, undated], params=["RES", "INS", "HUM", "NOPE"])
    back = stored_and_read_back(stacked, tmp_path / f"stack.{fmt}", fmt)
    assert back.identical(stacked)
    assert np.isnat(back["time"].values[-1]) and back["SNM"].values[-1] == "Müller"
    assert lumira_tools.failures(back) == lumira_tools.failures(stacked) and len(lumira_tools.failures(back)) == 6


def test_chosen_parameters_are_coordinates_along_file(folder, tmp_path):
    root, paths = folder
    bare = tmp_path / "bare.0"
    OpusFile().spectrum("AB", [0.5] * 4, spectrum_params(4, 4000.0, 400.0)).write(bare)
    stacked = lumira_tools.stack([paths["sample0"], paths["sample1"], bare], params=["res", "INS", "HUM", "SNM"])
    assert stacked["RES"].values.tolist()[:2] == [4.0, 4.0] and np.isnan(stacked["RES"].values[2])
    assert stacked["INS"].values.tolist() == ["FT-IR bench", "FT-IR bench", ""]
    assert stacked["HUM"].dtype == np.float64 and stacked["SNM"].values.tolist()[2] == ""
    assert (stacked.sel(file=str(bare))["AB"].values == 0.5).all()  # a line stays a line on the first file's axis


def test_metadata_has_a_row_per_file_saying_its_block(folder, tmp_path):
    root, paths = folder
    table = lumira_tools.metadata(root, params=["NPT", "SNM"])
    assert list(table.columns) == ["path", "time", "block", "NPT", "SNM"]
    blocks = dict(zip(table["path"], table["block"]))
    assert blocks[paths["background"]] == "RSC/2D/NONE" and blocks[paths["map"]] == "AB/3D/NONE"
    assert blocks[paths["reflectance"]] == "REFL/2D/NONE" and blocks[paths["sample0"]] == "AB/2D/NONE"
    assert sorted(lumira_tools.failures(table)) == sorted(paths[role] for role in ("empty", "tiny", "cut"))
    assert table["time"].dtype == lumira_tools.stack(root)["time"].dtype  # one convention: UTC without a zone
    with pytest.raises((ValueError, FileNotFoundError), match="nosuchdir"):
        lumira_tools.metadata(tmp_path / "nosuchdir")


# --- notebooks ------------------------------------------------------------------------------------------------


def test_files_blocks_and_reads_say_what_they_hold_in_a_line(folder):
    _, paths = folder
    opened = lumira_tools.read_file(paths["sample0"])
    lines = repr(opened).splitlines()
    assert lines[0] == f"<OpusFile {paths['sample0']!r} 'film, 0 h in air': 4 data blocks>"
    assert lines[3] == "  #2 AB/2D/NONE spectrum (60,) 3999.6 .. 400.2 cm-1 before compensation"
    assert repr(opened[3]) == ("<Block #3 AB/2D/NONE spectrum (60,) 3999.6 .. 400.2 cm-1 compensated "
                               "'film, 0 h in air'>")
    good, cut = lumira_tools.read_many([paths["sample0"], paths["cut"]])
    assert repr(good) == ("<FileRead film_00.0: SingleDataReturn AB/2D/NONE spectrum (60,) 3999.6 .. 400.2 cm-1 "
                          "'film, 0 h in air'>")
    assert repr(cut).startswith("<FileRead film_cut.0: failed: the file is cut short at ")
    for shown in (opened, opened[3], good, cut, lumira_tools.failures(lumira_tools.stack(folder[0]))):
        page = shown._repr_html_()
        assert page.count("<table>") == page.count("</table>") and "<script" not in page
    assert "<svg" in opened._repr_html_() and "<polyline" in good._repr_html_()


def test_ipython_shows_the_extension_results_briefly_without_changing_their_repr(folder):
    interactive = pytest.importorskip("IPython.core.interactiveshell")
    from lumira_tools._display import register_with_ipython

    shell = interactive.InteractiveShell.instance()
    try:
        assert register_with_ipython()
        spectrum, image = lumira_tools.read(folder[1]["sample0"]), lumira_tools.read(folder[1]["map"])
        shown, _ = shell.display_formatter.format([spectrum, image])
        assert shown["text/plain"] == ("[SingleDataReturn AB/2D/NONE spectrum (60,) 3999.6 .. 400.2 cm-1 "
                                       "'film, 0 h in air',\n ImageDataReturn AB/3D/NONE image map (2, 3, 40) "
                                       "3800 .. 700 cm-1 'blend map']")
        assert "<svg" in shell.display_formatter.format(spectrum)[0]["text/html"]
        assert repr(spectrum) == spectrum.description  # the class itself is as the module made it
    finally:
        interactive.InteractiveShell.clear_instance()


# --- the tours: the README's and the guide's ---------------------------------------------------------------

GUIDE = ROOT / "python" / "lumira_tools" / "guide"
# The parts of the guide whose examples run on the tour's files, in the guide's order: (page, first heading, heading
# that ends it). The others show files of their own, such as "sample.0".
RUNNABLE = [("tour", None, None), ("folders", None, None), ("maps", None, None), ("remote", None, None),
            ("export", None, None),
            ("parts", "## Parameter blocks, sides and twins", "### Match blocks and further channels")]


def part_of(page, first, end):
    text = (GUIDE / f"{page}.md").read_text(encoding="utf-8")
    start = text.index(f"\n{first}\n") if first else 0
    return text[start:text.index(f"\n{end}\n", start)] if end else text[start:]


TOURS = {
    "README": lambda: [(ROOT / "README.md").read_text(encoding="utf-8")],
    "guide": lambda: [part_of(*part) for part in RUNNABLE],
}


def python_of(text):
    """The Python blocks of a page, in order; `>>>` examples as their statements."""
    pieces = []
    for block in re.findall(r"```python\n(.*?)```", text, re.S):
        if block.startswith(">>>"):
            block = "\n".join(line[4:] for line in block.splitlines() if line.startswith(">>> "))
        pieces.append(block)
    return "\n".join(pieces)


@pytest.fixture(scope="module")
def tour_folder(tmp_path_factory):
    """A fresh clone's examples and the collection its tour command makes."""
    for extra in ("matplotlib", "dask", "pyarrow", "zarr", "netCDF4"):
        pytest.importorskip(extra)
    here = tmp_path_factory.mktemp("tour")
    shutil.copytree(ROOT / "examples", here / "examples", ignore=shutil.ignore_patterns("__pycache__"))
    (here / "tests").mkdir()
    for builder in ("opusbuilder.py", "instrument_folder.py"):  # a fresh clone's, which make_samples uses
        shutil.copy(ROOT / "tests" / builder, here / "tests")
    done = subprocess.run([sys.executable, "examples/make_samples.py", "--collection", "spectra"], cwd=here,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.startswith("wrote 16 files into spectra")
    return here


@pytest.mark.parametrize("tour", sorted(TOURS))
def test_the_tour_runs_as_written_on_the_collection_it_makes(tour, tour_folder, monkeypatch):
    pages = TOURS[tour]()
    code = "\n".join(python_of(page) for page in pages)
    if "lumira" not in xr.backends.list_engines():  # the engine comes with an installation's entry points
        code = code.replace('import xarray as xr', 'import xarray as xr\nfrom lumira_tools._backend import '
                            'LumiraBackendEntrypoint as lumira_engine')
        code = re.sub(r'open_dataset\(("[^"]*")', r'open_dataset(\1, engine=lumira_engine', code)
        code = code.replace('engine="lumira"', "engine=lumira_engine")
    monkeypatch.chdir(tour_folder)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # Zarr's own notes on its format
        exec(compile(code, tour, "exec"), {"__name__": "tour"})
    left_out = repr(lumira_tools.failures(lumira_tools.stack("spectra")))
    assert "4 files left out:" in left_out
    if tour == "guide":
        assert left_out in "\n".join(pages)
