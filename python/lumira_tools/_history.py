"""The processing log of a file: who measured it with which software, then every operation (measurement,
compensation, saving, ...) with the blocks it read and wrote, its time, its detail lines and its command line.

The block is texts separated by NULs, fields by TABs: a session header (operator, software, file name, validation
state), then per operation a title (name, blocks `<in>-><out>`, time `yyyy/mm/dd HH:MM:SS (GMT+h)`, an optional
fourth field), detail lines, and a command line (three TABs, a keyword, its arguments in braces).
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from datetime import datetime
from typing import Optional

from . import _native
from ._read import DamagedFileError
from ._time import acquisition_time

_BLOCK_NAMES = re.compile(r"[\s,;]+")


@dataclass(frozen=True)
class Operation:
    """One operation of the history: `name` (in the software's language), `blocks` as written ('AB->AB', or ''),
    `time` in UTC (None where its text cannot be read) and `time_text` as written, `extra` (the title's optional
    fourth field, such as a reference file's path), `details` (the lines between title and command line) and
    `command` (the command line without its leading TABs; None when the operation has none)."""

    name: str
    blocks: str
    time: Optional[datetime]
    time_text: str
    extra: Optional[str] = None
    details: tuple[str, ...] = ()
    command: Optional[str] = None

    @property
    def inputs(self) -> tuple[str, ...]:
        """The blocks the operation read: the names before '->' in `blocks`."""
        return _names(self.blocks.split("->", 1)[0]) if "->" in self.blocks else ()

    @property
    def outputs(self) -> tuple[str, ...]:
        """The blocks it wrote: the names after '->' (all of `blocks` when it has no arrow)."""
        return _names(self.blocks.split("->", 1)[-1])

    @property
    def keyword(self) -> Optional[str]:
        """The command's keyword (its first word), or None."""
        return self.command.split(None, 1)[0] if self.command and self.command.split() else None


@dataclass(frozen=True)
class Session:
    """A session of the history: its header's `fields` (operator, software, file name, validation state; empty
    when the history starts without a header), lines before its first operation, and its operations."""

    fields: tuple[str, ...] = ()
    details: tuple[str, ...] = ()
    operations: tuple[Operation, ...] = ()

    @property
    def operator(self) -> str:
        """The operator's name: the first field after its label ('Operator:Jane Doe' -> 'Jane Doe')."""
        return self._field(0).split(":", 1)[-1]

    @property
    def software(self) -> str:
        return self._field(1)

    @property
    def file(self) -> str:
        return self._field(2)

    @property
    def validation(self) -> str:
        return self._field(3)

    def _field(self, index: int) -> str:
        return self.fields[index] if index < len(self.fields) else ""


@dataclass(frozen=True)
class History:
    """The history block: `lines` (its texts in order), `text` (them joined by newlines) and `sessions`;
    `operations` gives every session's operations in order."""

    lines: tuple[str, ...]
    sessions: tuple[Session, ...] = field(default=())

    @property
    def text(self) -> str:
        return "\n".join(self.lines)

    @property
    def operations(self) -> list[Operation]:
        return [operation for session in self.sessions for operation in session.operations]

    def __str__(self) -> str:
        return self.text


def history_of(data: bytes, offset: int, utf8: bool, path: str) -> History:
    """The History of a history block's bytes; DamagedFileError for a damaged one."""
    try:
        lines = _native.read_history(data, offset, utf8)
    except ValueError as error:
        raise DamagedFileError(str(error), path, "history") from error
    return History(tuple(text for _, text in lines), _sessions(lines))


class _Builder:
    """Collects lines into sessions and operations in the order they come."""

    def __init__(self) -> None:
        self.sessions: list[Session] = []
        self.fields: Optional[tuple[str, ...]] = None
        self.details: list[str] = []
        self.operations: list[Operation] = []
        self.title: Optional[list[str]] = None
        self.lines: list[str] = []

    def session(self, text: str) -> None:
        self.close_session()
        self.fields = tuple(text.split("\t"))

    def title_line(self, text: str) -> None:
        self.close_operation()
        self.title = text.split("\t")

    def detail(self, text: str) -> None:
        (self.lines if self.title is not None else self.details).append(text)

    def command(self, text: str) -> None:
        if self.title is None:  # a command without a title: an operation of its own, unnamed
            self.title = ["", "", ""]
        self.close_operation(text.lstrip("\t"))

    def close_operation(self, command: Optional[str] = None) -> None:
        if self.title is None:
            return
        name, blocks, when = (self.title + ["", "", ""])[:3]
        extra = "\t".join(self.title[3:]) if len(self.title) > 3 else None
        self.operations.append(Operation(name, blocks, _utc(when), when, extra, tuple(self.lines), command))
        self.title, self.lines = None, []

    def close_session(self) -> None:
        self.close_operation()
        if self.fields is not None or self.details or self.operations:
            self.sessions.append(Session(self.fields or (), tuple(self.details), tuple(self.operations)))
        self.fields, self.details, self.operations = None, [], []


def _sessions(lines: list[tuple[str, str]]) -> tuple[Session, ...]:
    builder = _Builder()
    handlers = {"session": builder.session, "title": builder.title_line, "detail": builder.detail,
                "command": builder.command}
    for kind, text in lines:
        handlers[kind](text)
    builder.close_session()
    return tuple(builder.sessions)


def _utc(text: str) -> Optional[datetime]:
    """'2024/03/05 10:11:12 (GMT+1)' as UTC, the way DAT and TIM are read."""
    date, _, clock = text.strip().partition(" ")
    return acquisition_time({"DAT": date, "TIM": clock})


def _names(text: str) -> tuple[str, ...]:
    return tuple(name for name in _BLOCK_NAMES.split(text.strip()) if name)
