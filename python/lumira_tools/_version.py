"""The distribution's version, from its installed metadata (the version in pyproject.toml is the only source)."""

from __future__ import annotations

import importlib.metadata
import pathlib
import re

# Sorts below every release, so a version test never takes an unknown build for a new one.
UNKNOWN = "0+unknown"


def package_version() -> str:
    try:
        return importlib.metadata.version("lumira")
    except importlib.metadata.PackageNotFoundError:
        return _source_tree_version() or UNKNOWN


def _source_tree_version() -> str | None:
    """Run from a checkout without installing: the version its pyproject.toml states, if it is lumira's."""
    project = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"
    try:
        text = project.read_text(encoding="utf-8")
    except OSError:
        return None
    table = re.search(r"^\[project\]\n(.*?)(?=^\[|\Z)", text, re.M | re.S)
    if table is None or not re.search(r'^name\s*=\s*"lumira"\s*$', table.group(1), re.M):
        return None
    version = re.search(r'^version\s*=\s*"([^"]+)"\s*$', table.group(1), re.M)
    return version.group(1) if version else None
