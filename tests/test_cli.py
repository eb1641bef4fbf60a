"""The `lumira` command, through its entry point where it is installed."""

import importlib.metadata
import json
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import lumira
import lumira_tools
import lumira_tools.scan
import three_d_samples
import tool_results
from lumira_tools.cli import main
from opusbuilder import DATA, DATA_PARAMS, OpusFile, Record3D, data_block_3d, named_type, spectrum_params
from test_tools_read import cut_directory, cut_short, short_spectrum, two_blocks

ROOT = pathlib.Path(__file__).resolve().parent.parent
SAMPLE = str(ROOT / "examples" / "data" / "film_absorbance.0")
SCRIPT = shutil.which("lumira", path=os.path.dirname(sys.executable))
COMMAND = [SCRIPT] if SCRIPT else [sys.executable, "-m", "lumira_tools"]


# The command runs on the modules this test process imported, wherever they come from.
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [os.path.dirname(lumira.__file__), os.path.dirname(os.path.dirname(lumira_tools.__file__))]
    + os.environ.get("PYTHONPATH", "").split(os.pathsep)))


def lumira_cli(*args, cwd=ROOT):
    return subprocess.run(COMMAND + [str(a) for a in args], capture_output=True, text=True, timeout=120, cwd=cwd,
                          env=ENV)


def needs(module):
    return pytest.importorskip(module)


def npz(path):
    """The arrays of an NPZ file, read with the file closed again."""
    with np.load(path, allow_pickle=False) as stored:
        return {key: stored[key] for key in stored.files}


def test_the_entry_point_is_the_command():
    try:
        scripts = importlib.metadata.entry_points(group="console_scripts")
    except TypeError:  # before 3.10
        scripts = importlib.metadata.entry_points().get("console_scripts", [])
    ours = [s for s in scripts if s.name == "lumira"]
    if not ours:
        pytest.skip("the package is not installed, so the command has no entry point here")
    assert ours[0].value == "lumira_tools.cli:main" and SCRIPT is not None


@pytest.mark.parametrize("command", ["", "ls", "show", "plot", "export", "scan", "docs"])
def test_help_on_every_command(command):
    done = lumira_cli(*([command] if command else []), "--help")
    assert done.returncode == 0 and done.stdout.startswith("usage: lumira") and done.stderr == ""


def test_version_and_where_the_documentation_is():
    assert lumira_cli("--version").stdout == f"lumira {lumira_tools.__version__}\n"
    said = lumira_cli("--help").stdout
    assert "`lumira docs`" in said and "`lumira docs TOPIC`" in said and "python -m pydoc lumira_tools" in said


def test_version_without_package_metadata(monkeypatch):
    from lumira_tools import _version

    def absent(name):
        raise importlib.metadata.PackageNotFoundError(name)

    monkeypatch.setattr(importlib.metadata, "version", absent)
    from_source = pathlib.Path(_version.__file__).resolve().parents[2] == ROOT
    stated = tomllib_version() if from_source else _version.UNKNOWN
    assert _version.package_version() == stated


def tomllib_version():
    tomllib = pytest.importorskip("tomllib")
    return tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]


@pytest.mark.parametrize("args, status, message", [
    ([], 2, "required"),
    (["show", SAMPLE, "AB/4D"], 2, "2D or 3D"),
    (["show", SAMPLE, "AB/2D/NONE/1"], 2, "TYPE/DIMENSION/DERIVATIVE"),
    (["show", SAMPLE, "XYZ/2D/NONE"], 2, "'XYZ' is not a block type"),
    (["show", SAMPLE, SAMPLE], 2, f"{SAMPLE!r} is a path where a block is expected"),
    (["export", SAMPLE, "-o", "out.txt"], 2, "use .csv, .npz, .nc, .jdx or .dx"),
    (["export", SAMPLE, SAMPLE, "-o", "out.csv"], 2, "export writes the block of one file: --stack writes several"),
    (["export", SAMPLE, "--stack", "-o", "out.npz"], 2, "use .csv, .nc, .parquet, .jdx, .dx or a folder"),
    (["plot", SAMPLE, "-o", "m.png", "--xlim", "5", "5"], 2, "--xlim takes two different finite numbers"),
    (["plot", SAMPLE, "-o", "out"], 2, "out: no suffix to name the image format"),
    (["plot", SAMPLE, "-o", "out.xyz"], 2, "out.xyz: cannot draw to '.xyz'"),
    (["scan", "-j", "0", "."], 2, "at least 1"),
    (["plot", SAMPLE, "-o", "/no/such/folder/out.png"], 1, "the folder /no/such/folder does not exist"),
    (["export", SAMPLE, "-o", "/no/such/folder/out.npz"], 1, "the folder /no/such/folder does not exist"),
])
def test_command_lines_that_cannot_work_exit_2_and_unwritable_output_1(tmp_path, args, status, message):
    if args[:1] == ["plot"]:
        needs("matplotlib")
    done = lumira_cli(*args, cwd=tmp_path)
    assert (done.returncode, done.stdout, os.listdir(tmp_path)) == (status, "", [])
    assert message in done.stderr


def test_ls_on_the_sample_and_other_files(tmp_path):
    other = tmp_path / "notes.txt"
    other.write_text("hello")
    done = lumira_cli("ls", SAMPLE, other, tmp_path / "missing.0")
    assert done.returncode == 1
    lines = done.stdout.splitlines()
    assert lines[0] == f"{SAMPLE}: OPUS file, 3 data blocks"
    assert lines[1].split() == ["#", "BLOCK", "KIND", "SHAPE", "POINTS", "X", "RANGE", "UNITS"]
    assert lines[4].split() == ["#2", "AB/2D/NONE", "spectrum", "1868", "1868", "3999.6", "..", "400.2", "cm-1"]
    assert [line.split()[:2] for line in lines[2:4]] == [["#0", "SSC/2D/NONE"], ["#1", "RSC/2D/NONE"]]
    assert lines[5] == f"{other}: not an OPUS file"
    assert done.stderr == f"lumira: {tmp_path / 'missing.0'}: No such file or directory\n"

    listed = json.loads(lumira_cli("ls", "--json", SAMPLE).stdout)
    assert listed[0]["opus"] and [b["block"] for b in listed[0]["blocks"]] == ["SSC/2D/NONE", "RSC/2D/NONE", "AB/2D/NONE"]
    assert listed[0]["blocks"][2] | {"x_first": 0} == {"number": 2, "block": "AB/2D/NONE", "shadowed": False,
                                                      "compensated": None, "channel": 1, "kind": "spectrum", "points": 1868, "shape": [1868],
                                                      "x_first": 0, "x_last": 400.2, "units": "cm-1",
                                                      "x_axis": "wavenumber"}


def test_show_describes_each_parameter():
    done = lumira_cli("show", SAMPLE, "ssc/2d/none")
    assert done.returncode == 0
    lines = done.stdout.splitlines()
    assert lines[0] == f"{SAMPLE}: #0 SSC/2D/NONE (spectrum, 32 parameters)"
    assert lines[1].split() == ["CODE", "VALUE", "UNIT", "MEANING"] and lines[2] == "  data (sample)"
    assert lines[4].split() == ["NPT", "1868", "number", "of", "data", "points"]
    assert lines[5].split()[:3] == ["FXV", "3999.6", "cm-1"]
    shown = json.loads(lumira_cli("show", "--json", SAMPLE).stdout)
    assert shown["block"] == "AB/2D/NONE"
    origin = next(group for group in shown["groups"] if group["kind"] == "sample origin")
    assert {"code": "SNM", "value": "Polymer film, 25 µm", "unit": None, "value_meaning": None,
            "meaning": "sample name (entered by the user; may hold ;-separated parts)"} in origin["parameters"]


def test_plot_writes_a_picture_of_the_sample(tmp_path):
    needs("matplotlib")
    from test_tools_output import assert_plausible_picture

    out = tmp_path / "spectrum.png"
    done = lumira_cli("plot", SAMPLE, "-o", out)
    assert done.returncode == 0 and done.stdout.startswith(f"wrote {out} (AB/2D/NONE, ")
    assert_plausible_picture(out, 800, 450)
    assert os.listdir(tmp_path) == ["spectrum.png"]


@pytest.mark.parametrize("suffix", [".csv", ".npz", ".nc"])
def test_export_the_sample(tmp_path, suffix):
    if suffix == ".nc":
        needs("xarray"), needs("netCDF4")
    out = tmp_path / f"ssc{suffix}"
    done = lumira_cli("export", "--json", SAMPLE, "SSC", "-o", out)
    assert done.returncode == 0 and json.loads(done.stdout)["bytes"] == out.stat().st_size
    ssc = lumira.getOpusData(SAMPLE, ("SSC", "2D", "NONE"))
    if suffix == ".csv":
        back = np.loadtxt(out, delimiter=",", skiprows=1)[:, 1].astype(np.float32)
    elif suffix == ".npz":
        back = npz(out)["y"]
    else:
        with needs("xarray").open_dataarray(out) as array:
            back = array.values
    assert np.array_equal(back, ssc.y)


DAMAGED = {
    "short spectrum": (short_spectrum(), cut_short(short_spectrum(), 12)),
    "cut directory": (cut_directory(), cut_short(cut_directory(), 6)),
    "not opus": (b"\x89PNG....", "not an OPUS file"),
    "empty": (b"", "not an OPUS file"),
}


@pytest.mark.parametrize("damage", sorted(DAMAGED))
@pytest.mark.parametrize("command", [["show"], ["plot", "-o", "out.png"], ["export", "-o", "out.npz"],
                                     ["export", "-o", "out.csv"]])
def test_damaged_files_fail_cleanly_and_write_nothing(tmp_path, damage, command):
    data, message = DAMAGED[damage]
    path = tmp_path / "in.0"
    path.write_bytes(data)
    done = lumira_cli(command[0], path, *command[1:], cwd=tmp_path)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith(f"lumira: {path}: {message}") and done.stderr.count("\n") == 1
    assert os.listdir(tmp_path) == ["in.0"]


def scan_tree(root):
    (root / "a" / "b").mkdir(parents=True)
    for k in range(5):
        two_blocks(k + 3).write(root / "a" / f"good{k}.0")
    (root / "a" / "b" / "short.1").write_bytes(short_spectrum())
    (root / "notes.txt").write_text("not a spectrum")
    (root / "a" / "b" / "empty.0").write_bytes(b"")
    # listed (by its parameter block) but without its data block
    OpusFile().params(named_type("AB", param=DATA_PARAMS), spectrum_params(4, 4000.0, 400.0)).write(root / "a" / "b" / "lost.0")


def test_scan_summarises_and_lists_failures(tmp_path):
    scan_tree(tmp_path)
    done = lumira_cli("scan", tmp_path)
    assert done.returncode == 1 and done.stderr == ""  # no progress bar off a terminal
    lines = done.stdout.splitlines()
    assert lines[0].startswith(f"{tmp_path}: 9 files (") and lines[0].endswith(" files/s")
    # the empty .0 file is a save that failed: damaged, not some other file
    assert lines[1].split() == ["OPUS", "files", "read:", "5", "other", "files:", "1", "failed:", "3"]
    assert [line.split() for line in lines[3:6]] == [["BLOCK", "KIND", "FILES"], ["AB/2D/3DER", "spectrum", "5"],
                                                     ["SSC/2D/NONE", "spectrum", "5"]]
    failed = lines[lines.index("Failed:") + 1:]
    assert failed[0] == f"  {tmp_path / 'a' / 'b' / 'empty.0'}: not an OPUS file: it is empty"
    assert failed[2] == f"  {tmp_path / 'a' / 'b' / 'short.1'}: {cut_short(short_spectrum(), 12)}"
    assert failed[1] == f"  {tmp_path / 'a' / 'b' / 'lost.0'}: No data block exists in the file for: AB 2D NONE"

    report = json.loads(lumira_cli("scan", "--json", "-j", "2", tmp_path).stdout)
    assert (report["files"], report["opus_files"], len(report["failed"])) == (9, 7, 3)
    assert lumira_cli("scan", tmp_path / "a" / "good0.0").returncode == 1


def test_scan_counts_files_not_blocks(tmp_path):
    twice = OpusFile()
    for npt in (3, 4):
        twice.spectrum("AB", [1.0] * npt, spectrum_params(npt, 4000.0, 400.0))
    twice.write(tmp_path / "twice.0")
    two_blocks().write(tmp_path / "once.0")
    counts = {block: files for block, _, files in lumira_tools.scan.scan(str(tmp_path)).block_counts()}
    assert counts == {"AB/2D/NONE": 1, "AB/2D/3DER": 1, "SSC/2D/NONE": 1}


def test_scan_shows_progress_only_on_a_terminal(tmp_path):
    needs("tqdm")
    import pty

    for k in range(3):
        two_blocks().write(tmp_path / f"{k}.0")
    leader, follower = pty.openpty()
    try:
        done = subprocess.run(COMMAND + ["scan", str(tmp_path)], stdout=subprocess.PIPE, stderr=follower,
                              cwd=ROOT, env=ENV, timeout=120)
        os.close(follower)
        shown = b""
        while True:
            try:
                chunk = os.read(leader, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(leader)
    assert done.returncode == 0 and b"/3 [" in shown


# --- 3D blocks ------------------------------------------------------------------------------------------

THREE_D_KINDS = {"image": "image map", "trace image": "image map (traces)", "series": "series",
                 "trace series": "series (traces)", "regions": "multi-region", "region traces": "multi-region (traces)"}


@pytest.fixture(scope="module")
def three_d_files(tmp_path_factory):
    """A file of every 3D kind."""
    folder = tmp_path_factory.mktemp("three_d")
    made = {}
    for sample, data in three_d_samples.good().items():
        made[sample] = folder / f"{sample.replace(' ', '_')}.0"
        made[sample].write_bytes(data)
    return made


@pytest.mark.parametrize("sample, shape", [
    ("image", "2 x 3 x 8"), ("trace image", "2 x 3 x 3"), ("series", "5 x 8"), ("trace series", "6 x 8"),
    ("regions", "6 points x 8"), ("region traces", "6 points x 6"),
])
def test_ls_names_the_kind_of_3d_blocks(three_d_files, capsys, sample, shape):
    assert main(["ls", str(three_d_files[sample])]) == 0
    row = capsys.readouterr().out.splitlines()[2]
    name = "TRC" if "trace" in sample else "AB"
    assert row.startswith(f"  #0  {name}/3D/NONE  {THREE_D_KINDS[sample]}  {shape}  ")
    assert row.split()[-3:] == ["..", "400" if sample != "trace image" else "6", "cm-1"]


@pytest.mark.parametrize("sample", sorted(THREE_D_KINDS))
def test_plot_and_export_3d_blocks(three_d_files, tmp_path, sample):
    needs("matplotlib")
    path = str(three_d_files[sample])
    result = lumira_tools.read(path)
    assert main(["plot", path, "-o", str(tmp_path / "map.png")]) == 0
    assert main(["export", path, "-o", str(tmp_path / "map.npz")]) == 0
    stored = npz(tmp_path / "map.npz")
    key = "traces" if "trace" in sample and "region" not in sample else "spectra"
    if not sample.startswith("region"):
        assert np.array_equal(stored[key], getattr(result, key))
    # CSV takes image maps and series; a multi-region map is refused once the block is known, and nothing written
    regions = sample.startswith("region")
    assert main(["export", path, "-o", str(tmp_path / "map.csv")]) == (1 if regions else 0)
    assert sorted(os.listdir(tmp_path)) == ([] if regions else ["map.csv"]) + ["map.npz", "map.png"]


def test_a_3d_block_that_cannot_be_read_is_reported_with_the_others_listed(tmp_path, capsys):
    f = OpusFile().spectrum("AB", [1.0, 2.0, 3.0], spectrum_params(3, 4000.0, 400.0))
    f.params(named_type("AB", param=DATA_PARAMS, dimension="3D"), spectrum_params(8, 4000.0, 400.0, ZTX="s"))
    records = data_block_3d([Record3D([k] * 8, z=k) for k in range(3)], block_size=4)
    f.add(named_type("AB", param=DATA, dimension="3D"), records)
    path = tmp_path / "two.0"
    path.write_bytes(f.build())  # records whose value part is shorter than NPT values
    assert main(["ls", str(path)]) == 1
    out, err = capsys.readouterr()
    assert "AB/3D/NONE  unreadable" in out and "AB/2D/NONE  spectrum" in out
    assert max(map(len, out.splitlines()[1:])) < 100  # the long message does not stretch the table
    assert err == (f"lumira: {path}: #1 AB/3D/NONE: 3D data block at offset {len(f.build()) - len(records)} is "
                   f"damaged: records hold 4 bytes of values but NPT is 8 (32 bytes)\n")


# --- real 3D files: these run once the extension reads 3D blocks -------------------------------------------


def test_real_image_map_file(tmp_path, capsys):
    path = tool_results.image_file(tmp_path / "map.0")
    image = tool_results.read_3d(path)
    assert main(["ls", "--json", path]) == 0
    assert json.loads(capsys.readouterr().out)[0]["blocks"][0]["kind"] == "image map"
    assert main(["export", path, "-o", str(tmp_path / "map.npz")]) == 0
    assert np.array_equal(npz(tmp_path / "map.npz")["spectra"], image.spectra)


def test_real_series_file(tmp_path, capsys):
    path = tool_results.series_file(tmp_path / "series.0")
    series = tool_results.read_3d(path)
    assert main(["show", path, "AB/3D"]) == 0
    assert "ZTX" in capsys.readouterr().out
    assert main(["export", path, "-o", str(tmp_path / "series.npz")]) == 0
    assert np.array_equal(npz(tmp_path / "series.npz")["z"], series.z)
