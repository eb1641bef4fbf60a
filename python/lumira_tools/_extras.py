"""The optional dependencies: imported when a part of the package that needs one is used."""

from __future__ import annotations

import importlib
from typing import Any


def need(module: str, message: str) -> Any:
    """`module` imported, or an ImportError saying `message` (what needs it and the extra that installs it)."""
    try:
        return importlib.import_module(module)
    except ImportError as missing:
        raise ImportError(message) from missing
