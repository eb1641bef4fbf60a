"""The documentation: the API reference names everything public, the guide comes with the package."""

from __future__ import annotations

import ast
import pathlib
import re

import pytest

import lumira_tools

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs"
STUB = ROOT / "python" / "lumira-stubs" / "__init__.pyi"

pytestmark = pytest.mark.skipif(not (DOCS / "conf.py").exists(), reason="the documentation's sources are not here")


def stub_names():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (listing,) = [node.value for node in tree.body if isinstance(node, ast.Assign)
                  and any(isinstance(target, ast.Name) and target.id == "__all__" for target in node.targets)]
    return {element.value for element in listing.elts} - {"unpack", "np"}


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
