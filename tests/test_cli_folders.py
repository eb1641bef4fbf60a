"""The command line on instrument folders: every file converted in one process, a table of the files a scan
read, a folder listed, and a reader that goes away early."""

import json
import shlex
import subprocess

import pytest

from instrument_folder import sample_file, write_folder
from lumira_tools.cli import main
from test_cli import COMMAND, ENV, lumira_cli, npz

SKIPPED = ["failed_save.0", "failed_save.1", "film_cut.0"]
WRITTEN = ["background.0", "blend_map.0", "film_00.0", "film_01.0", "film_02.0", "mirror.1"]


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli") / "spectra"
    paths = write_folder(root)
    (root / "notes.txt").write_text("passed over")
    (root / "sub").mkdir()
    (root / "sub" / "film_00.0").write_bytes(sample_file("same name, other folder", 7))
    return root, paths


def test_export_each_converts_every_file_and_counts_the_skipped_by_reason(folder, tmp_path, capsys):
    root, paths = folder
    out = tmp_path / "converted"
    assert main(["export", str(root), "--each", "-o", f"{out}/"]) == 1
    said = capsys.readouterr()
    assert sorted(p.name for p in out.iterdir()) == sorted([f"{name}.csv" for name in WRITTEN] + ["sub"])
    assert (out / "sub" / "film_00.0.csv").exists()
    assert said.out == (f"wrote 7 files into {out}/ (RSC/2D/NONE, AB/3D/NONE, AB/2D/NONE, REFL/2D/NONE, "
                        f"{sum(p.stat().st_size for p in out.rglob('*.csv')):,} bytes); 3 skipped: "
                        "2 not an OPUS file, 1 the file is cut short\n")
    assert [line.split(": ")[1] for line in said.err.splitlines()] == [str(root / name) for name in SKIPPED]
    alone = tmp_path / "alone.csv"
    assert main(["export", paths["sample1"], "-o", str(alone)]) == 0
    assert (out / "film_01.0.csv").read_bytes() == alone.read_bytes()


def test_export_each_quiet_json_and_formats(folder, tmp_path, capsys):
    root, paths = folder
    out = tmp_path / "npz"
    assert main(["export", paths["sample0"], paths["map"], paths["empty"], "--each", "-o", f"{out}/",
                 "--format", "NPZ", "--quiet", "--json"]) == 1
    said = capsys.readouterr()
    report = json.loads(said.out)
    assert said.err == "" and [each["block"] for each in report["written"]] == ["AB/2D/NONE", "AB/3D/NONE"]
    assert report["skipped"] == [{"path": paths["empty"], "error": "not an OPUS file: it is empty"}]
    assert npz(out / "blend_map.0.npz")["spectra"].shape == (2, 3, 40)
    assert main(["export", paths["sample0"], "--each", "-o", f"{out}/", "--quiet"]) == 0
    assert capsys.readouterr().err == ""


@pytest.mark.parametrize("extra", [["--format", "xlsx"], ["--stack"], ["--axis", "union"], ["-o", "file.csv"]])
def test_export_each_refuses_what_it_cannot_do(folder, tmp_path, capsys, extra):
    options = ["-o", str(tmp_path / "out") + "/"] if "-o" not in extra else []
    assert main(["export", str(folder[0]), "--each", *options, *extra]) == 2
    assert capsys.readouterr().err.startswith("lumira export: error: ")


def test_scan_files_prints_a_table_of_the_files(folder):
    root, paths = folder
    done = lumira_cli("scan", "--files", root)
    rows = done.stdout.splitlines()
    assert done.returncode == 1 and rows[0].split() == ["PATH", "SAMPLE", "TIME", "(UTC)", "BLOCK", "POINTS", "X",
                                                        "RANGE"]
    film = next(row for row in rows if row.startswith(paths["sample1"]))
    assert film.split()[1:] == ["film,", "1", "h", "in", "air", "2026-12-08", "08:15:02", "AB/2D/NONE", "60",
                                "3999.6", "..", "400.2"]
    report = json.loads(lumira_cli("scan", "--files", "--json", root).stdout)
    rows = {row["path"]: row for row in report["per_file"]}
    assert rows[paths["background"]]["block"] == "RSC/2D/NONE" and rows[paths["map"]]["points"] == 40
    assert rows[paths["sample1"]]["time"] == "2026-12-08T08:15:02.120000+00:00"
    assert rows[paths["cut"]]["error"].startswith("the file is cut short") and str(root / "notes.txt") not in rows
    assert "per_file" not in json.loads(lumira_cli("scan", "--json", root).stdout)


def test_ls_of_a_folder_lists_its_opus_files(folder, capsys):
    root, paths = folder
    assert main(["ls", str(root)]) == 1  # the failed saves and the file cut short
    said = capsys.readouterr()
    listed = [line.split(":")[0] for line in said.out.splitlines() if not line.startswith(" ")]
    assert listed == [paths[role] for role in ("background", "map", "sample0", "sample1", "sample2",
                                               "reflectance")] + [str(root / "sub" / "film_00.0")]
    assert "notes.txt" not in said.out + said.err and said.err.count("\n") == 3


def test_a_closed_pipe_ends_quietly_with_the_usual_status(tmp_path):
    for k in range(150):  # more than a pipe holds, so the writer meets the closed end
        (tmp_path / f"{k:03d}.0").write_bytes(sample_file(f"film {k}", k % 10))
    command = " ".join(map(shlex.quote, COMMAND))
    done = subprocess.run(["bash", "-c", f"{command} ls {shlex.quote(str(tmp_path))} | head -1; "
                                         "echo ${PIPESTATUS[0]}"], capture_output=True, text=True, env=ENV, timeout=120)
    first, status = done.stdout.splitlines()
    assert first.endswith("000.0: OPUS file, 4 data blocks") and status == "0" and done.stderr == ""
    (tmp_path / "999.0").write_bytes(b"")  # a failure said before the reader went away keeps its status
    done = subprocess.run(["bash", "-c", f"{command} ls {shlex.quote(str(tmp_path))} | head -1; "
                                         "echo ${PIPESTATUS[0]}"], capture_output=True, text=True, env=ENV, timeout=120)
    assert done.stdout.splitlines()[-1] == "1" and "Traceback" not in done.stderr
