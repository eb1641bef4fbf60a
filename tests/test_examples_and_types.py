"""The Dask example, and the types: the stub against the module, mypy --strict on what we ship."""

import ast
import inspect
import os
import pathlib
import shutil
import site
import subprocess
import sys

import pytest

import lumira
import lumira_tools
import tool_results
from test_cli import ENV
from test_tools_read import cut_short, short_spectrum

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "python" / "lumira-stubs" / "__init__.pyi"


def run_python(*args):
    return subprocess.run([sys.executable, *map(str, args)], capture_output=True, text=True, timeout=300, cwd=ROOT,
                          env=ENV)


@pytest.mark.parametrize("folder", ["samples", "mixed", "mixed, 2 worker processes"])
def test_dask_example(tmp_path, folder):
    pytest.importorskip("dask")
    args = [ROOT / "examples" / "dask_folder.py"]
    if folder.startswith("mixed"):
        for name in ("a.0", "b.0"):
            shutil.copy(ROOT / "examples" / "data" / "film_absorbance.0", tmp_path / name)
        (tmp_path / "sub").mkdir()
        (tmp_path / "sub" / "cut.0").write_bytes(short_spectrum())
        (tmp_path / "readme.txt").write_text("skipped: not an OPUS file")
        args += [tmp_path, "ab"]
    if folder.endswith("processes"):
        pytest.importorskip("distributed")
        args += ["--processes", 2]
    done = run_python(*args)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    if folder == "samples":
        assert lines[0].endswith(" read, 0 failed")
        assert "  1 spectrum from 1 file, 1868 points from 3999.6 to 400.2: the mean's strongest band is at 697.1 " \
               "(1.5055)" in lines
    else:
        assert lines[0] == f"3 OPUS files under {tmp_path}: 2 read, 1 failed"
        assert lines[1].startswith("  2 spectra from 2 files, 1868 points from 3999.6 to 400.2: ")
        assert lines[2] == f"  failed: {tmp_path / 'sub' / 'cut.0'}: DamagedFileError: " \
                           f"{cut_short(short_spectrum(), 12)}"


def test_dask_example_takes_help_for_help():
    pytest.importorskip("dask")
    done = run_python(ROOT / "examples" / "dask_folder.py", "--help")
    assert done.returncode == 0 and done.stdout.startswith("usage: dask_folder.py")


def test_the_guides_many_files_example_finds_files_by_their_magic(tmp_path, monkeypatch):
    page = (ROOT / "python" / "lumira_tools" / "guide" / "folders.md").read_text(encoding="utf-8")
    many = page[page.index("## Many files"):]
    code = many[many.index("```python\n") + 10:many.index("```\n", many.index("```python\n") + 10)]
    names = ["a.0", "a.1", "deep/b.001", "deep/c.0000"]
    for name in names:
        (tmp_path / "spectra" / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy(ROOT / "examples" / "data" / "film_absorbance.0", tmp_path / "spectra" / name)
    (tmp_path / "spectra" / "notes.0").write_text("not a spectrum")
    monkeypatch.chdir(tmp_path)
    run = {"lumira_tools": lumira_tools}
    exec(code, run)
    assert run["paths"] == [os.path.join("spectra", name) for name in names]
    assert len(run["good"]) == 4 and run["failed"] == {}


def stub_tree():
    return ast.parse(STUB.read_text())


def test_stub_names_what_the_module_holds_in_its_order():
    tree = stub_tree()
    exported = next(ast.literal_eval(node.value) for node in tree.body
                    if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert exported == [name for name in vars(lumira) if not name.startswith("__")]


@pytest.mark.parametrize("kind", sorted(tool_results.KINDS))
def test_stub_classes_declare_every_attribute_and_parameter(kind):
    classes = {node.name: node for node in stub_tree().body if isinstance(node, ast.ClassDef)}

    def declared(name):
        node = classes[name]
        own = {item.target.id for item in node.body if isinstance(item, ast.AnnAssign)}
        bases = [base.id for base in node.bases]
        return own.union(*(declared(base) for base in bases))

    def parameters(name):
        init = next(item for item in classes[name].body if isinstance(item, ast.FunctionDef))
        return [arg.arg for arg in init.args.args[1:]]

    result = tool_results.KINDS[kind]()
    name = type(result).__name__
    assert declared(name) == set(vars(result))
    base = {"dimension", "dataType", "derivative", "parameters", "x", "minY", "maxY", "description"}
    assert parameters(name) == [attribute for attribute in vars(result) if attribute not in base]
    regions = getattr(result, "regions", [])
    for region in regions:
        assert declared("Region") == set(vars(region))


def test_stub_signatures_are_the_modules():
    def stubbed(node, method):
        arguments = node.args
        kinds = [(a.arg, "POSITIONAL_ONLY") for a in arguments.posonlyargs] + \
            [(a.arg, "POSITIONAL_OR_KEYWORD") for a in arguments.args]
        kinds = kinds[1:] if method else kinds
        return kinds + ([(arguments.kwarg.arg, "VAR_KEYWORD")] if arguments.kwarg else [])

    stub = {node.name: node for node in stub_tree().body if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    for name, node in stub.items():
        if isinstance(node, ast.ClassDef):
            if sys.version_info[:3] == (3, 13, 0):  # its inspect cannot read a C __init__ of a class
                continue
            node = next(item for item in node.body if isinstance(item, ast.FunctionDef))
        actual = [(p.name, p.kind.name) for p in inspect.signature(getattr(lumira, name)).parameters.values()]
        assert stubbed(node, name[0].isupper()) == actual, name


def installed_stub():
    folders = site.getsitepackages() + [site.getusersitepackages()]
    return any(os.path.exists(os.path.join(folder, "lumira-stubs", "__init__.pyi")) for folder in folders)


def test_examples_and_companion_package_pass_mypy_strict():
    pytest.importorskip("mypy")
    if not installed_stub():
        pytest.skip("the package is not installed, so type checkers cannot find its stub")
    done = run_python("-m", "mypy", "examples", "python/lumira_tools")
    assert done.returncode == 0, done.stdout + done.stderr
