"""Sphinx configuration of lumira's documentation site.

The guide's pages live in the package (python/lumira_tools/guide) so that every installation carries them for
`lumira docs`; the build copies them to docs/guide (written here, not kept in git) and renders the same Markdown
with MyST. The API reference is generated from the installed modules: build after `pip install ".[docs]"` (or with
PYTHONPATH at a build folder), offline, with warnings as errors:

    python -m sphinx -W --keep-going -b html docs build/docs
"""

from __future__ import annotations

import os
import shutil
import sys
from typing import Any

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "_ext"))

import lumira_tools  # noqa: E402  (the version, and a clear failure when the package is not importable)

HERE = os.path.dirname(os.path.abspath(__file__))
GUIDE = os.path.join(HERE, "..", "python", "lumira_tools", "guide")


def _copy_guide() -> None:
    """The package's guide as pages of the site. A copy, not a link: links between pages resolve beside the page,
    and a link would lead them out of the site. Times are kept, so unchanged pages are not read again."""
    target = os.path.join(HERE, "guide")
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(GUIDE, target, copy_function=shutil.copy2)


_copy_guide()

project = "lumira"
author = "the lumira developers"
copyright = "the lumira developers"
release = lumira_tools.__version__
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "extension_stub",
]

source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
root_doc = "index"
exclude_patterns = ["_build"]
templates_path = ["_templates"]

# Docstrings write code in single backticks, as Markdown does.
default_role = "code"
# Messages and texts are quoted character for character: "Can't" stays as the program writes it.
smartquotes = False

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 4

autosummary_generate = True
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "show-inheritance": True}

html_theme = "furo"
html_title = f"lumira {release}"
html_static_path: list[str] = []


def _drop_field_aliases(app: object, what: str, name: str, obj: object, options: object, lines: list[str]) -> None:
    """A named tuple's fields say only "Alias for field number N"; the class's docstring describes them."""
    text = [line for line in lines if line.strip()]
    if len(text) == 1 and text[0].startswith("Alias for field number "):
        lines.clear()


def setup(app: Any) -> None:
    app.connect("autodoc-process-docstring", _drop_field_aliases)
