"""The documentation: the API reference names everything public, the guide comes with the package."""

from __future__ import annotations

import ast
import contextlib
import io
import json
import os
import pathlib
import re

import pytest

import lumira_tools
from lumira_tools import _guide
from lumira_tools.cli import main

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
STUB = ROOT / "python" / "lumira-stubs" / "__init__.pyi"

needs_sources = pytest.mark.skipif(not (DOCS / "conf.py").exists(), reason="the documentation's sources are not here")


def stub_names():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (listing,) = [node.value for node in tree.body if isinstance(node, ast.Assign)
                  and any(isinstance(target, ast.Name) and target.id == "__all__" for target in node.targets)]
    return {element.value for element in listing.elts} - {"unpack", "np"}


@needs_sources
@pytest.mark.parametrize("page, names", [
    ("lumira_tools.md", set(lumira_tools.__all__)),
    ("lumira.md", stub_names()),
], ids=["lumira_tools", "lumira"])
def test_the_api_reference_names_every_public_name(page, names):
    text = (DOCS / "api" / page).read_text(encoding="utf-8")
    documented = set(re.findall(r"^\s+(\w+)$", text, re.M))  # autosummary entries
    documented |= set(re.findall(r"\.\. (?:autofunction|autoclass|py:data):: lumira\.(\w+)", text))
    documented |= set(re.findall(r"`(?:lumira_tools\.)?(\w+)`", text))  # the names the page describes in its text
    assert names - documented == set()


# --- the guide that comes with the package ------------------------------------------------------------------

GUIDE = pathlib.Path(lumira_tools.__file__).parent / "guide"  # the package's own, as installed or built
LINK = re.compile(r"\]\(([^)#\s]+)(?:#[^)]*)?\)")


def guide(*args):
    """`lumira docs ARGS` in this process: its status, standard output and error."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(["docs", *args])
    return status, out.getvalue(), err.getvalue()


def test_the_package_carries_its_guide_and_lists_every_page_in_order():
    listed = _guide.pages()
    assert [page.name for page in listed][:2] == ["install", "tour"]
    assert {page.name for page in listed} == {path.stem for path in GUIDE.glob("*.md")} - {"index"}
    status, out, _ = guide()
    assert status == 0 and str(GUIDE) in out
    assert [line.split()[0] for line in out.splitlines()[2:]] == [page.name for page in listed]
    assert "A five-minute tour" in out


def test_every_link_of_the_guide_and_the_readme_reaches_a_file():
    pages = [*GUIDE.glob("*.md"), ROOT / "README.md"] if (ROOT / "README.md").exists() else [*GUIDE.glob("*.md")]
    for page in pages:
        for target in LINK.findall(page.read_text(encoding="utf-8")):
            if "://" not in target:
                assert (page.parent / target).exists(), f"{page.name} links to {target}"


@pytest.mark.parametrize("topic, name", [("tour", "tour"), ("DAM", "damaged"), ("perf", "performance")])
def test_a_page_prints_by_its_name_or_the_start_of_it(topic, name):
    status, out, _ = guide(topic)
    assert status == 0 and out == _guide.as_text(_guide.find(name)) and out.startswith("# ")


def test_no_page_shown_as_text_keeps_a_link_as_markdown():
    left = {page.name: re.findall(r"\]\([^)]*\)", _guide.as_text(page)) for page in _guide.pages()}
    assert {name: links for name, links in left.items() if links} == {}


def test_a_page_shown_as_text_says_how_to_open_the_pages_it_links_and_where_its_pictures_are():
    _, out, _ = guide("folders")
    pictures = re.findall(r"\[picture: [^:]+: ([^\]]+)\]", out)
    assert pictures and all(os.path.exists(picture) for picture in pictures)
    _, out, _ = guide("python")
    assert "files from anywhere (lumira docs remote)" in out


@pytest.mark.parametrize("topic, said", [("nothing", "the guide has no page 'nothing'; its pages: install, tour"),
                                         ("p", "'p' starts more than one page of the guide (parts, python, "
                                               "performance)")])
def test_a_topic_that_names_no_single_page_is_a_usage_error(topic, said):
    status, out, err = guide(topic)
    assert status == 2 and out == "" and said in err


def test_the_guide_as_json():
    _, out, _ = guide("--json")
    listed = json.loads(out)
    assert listed["pages"][1] == {"name": "tour", "title": "A five-minute tour", "path": str(GUIDE / "tour.md")}
    page = json.loads(guide("tour", "--json")[1])
    assert page["name"] == "tour" and page["text"] == _guide.as_text(_guide.find("tour"))


def test_the_package_says_how_to_open_its_guide():
    assert "`lumira docs TOPIC`" in lumira_tools.__doc__ and "`python -m lumira_tools docs`" in lumira_tools.__doc__
