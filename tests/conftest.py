from __future__ import annotations

import sys
from dataclasses import dataclass

import pytest

sys.path.insert(0, __import__("os").path.dirname(__file__))


@pytest.fixture
def write(tmp_path):
    """Writes bytes to a fresh file and returns its path as str."""
    counter = iter(range(10**6))

    def write_bytes(data: bytes, name: str | None = None) -> str:
        path = tmp_path / (name or f"file{next(counter)}.0")
        path.write_bytes(data)
        return str(path)

    return write_bytes


@dataclass
class Report:
    context: object
    error: BaseException


@pytest.fixture
def reports(monkeypatch):
    """Collects what goes through the unraisable hook (the field readers' reports)."""
    seen: list[Report] = []
    monkeypatch.setattr(sys, "unraisablehook", lambda args: seen.append(Report(args.object, args.exc_value)))
    return seen
