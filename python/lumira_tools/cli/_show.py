"""`lumira show`: the parameters of a block, grouped by the parameter block they come from, with their meaning."""

from __future__ import annotations

import argparse
import math
import unicodedata
from typing import Any, Mapping, NamedTuple, Optional, Sequence

from .._axes import axis_of
from .._describe import ParameterDescription, descriptions, moment_text
from .._parameters import KINDS, ParameterBlock, parameter_blocks
from .._time import acquisition_time
from .._types import Block
from ._common import BLOCK_HELP, EXIT_OK, dump, read_checked
# A value longer than this does not widen its column: it runs on into the row's next columns instead.
VALUE_WIDTH = 40


class Group(NamedTuple):
    """The parameters of one parameter block: its kind, the measurement it belongs to, its codes in file order and
    where the block lies."""

    kind: str
    side: Optional[str]
    parameters: Mapping[str, Any]
    offset: Optional[int] = None

    @property
    def heading(self) -> str:
        return f"{self.kind} ({self.side})" if self.side else self.kind


class Row(NamedTuple):
    code: str
    value: Any
    unit: Optional[str]
    meaning: Optional[str]
    value_meaning: Optional[str]

    def as_json(self, raw: bool) -> dict[str, Any]:
        shown = {"code": self.code, "value": self.value}
        if not raw:
            shown.update(unit=self.unit, meaning=self.meaning, value_meaning=self.value_meaning)
        return shown

    def cells(self, raw: bool) -> tuple[str, ...]:
        value = printable(self.value)
        if raw:
            return self.code, value
        meaning = self.meaning or ""
        if self.value_meaning:
            meaning = f"{meaning}: {self.value_meaning}" if meaning else self.value_meaning
        return self.code, value, self.unit or "", meaning


def groups_of(block: Block, path: str) -> tuple[list[Group], list[ParameterBlock]]:
    """The block's groups, each with the side and offset of the parameter block it is, and the parameter blocks
    that could not be read of the kinds the groups lack (which may have been the block's own)."""
    found = parameter_blocks(block.parameter_store, path) if block.parameter_store is not None else []
    sources = {id(source.parameters): source for source in found if source.parameters is not None}
    groups = []
    for kind, parameters in block.groups.items():
        source = sources.get(id(parameters))
        groups.append(Group(kind, source.side if source else None, parameters, source.offset if source else None))
    unreadable = [source for source in found if source.error is not None and source.kind not in block.groups]
    return groups, unreadable


def ordered(groups: Sequence[Group]) -> list[Group]:
    """The block's own data parameters first, then the settings of its measurement in the order of the work;
    kinds without a name (paramType N) after them as they came."""
    rank = {kind: place for place, kind in enumerate(KINDS)}
    return sorted(groups, key=lambda group: rank.get(group.kind, len(KINDS)))


def rows_of(group: Group, x_unit: Optional[str], date: Any) -> list[Row]:
    """Each parameter of the group with its meaning, unit and the meaning of its value; `x_unit` is the unit of
    the block's x values, `date` its DAT (which its TIM needs to tell a moment)."""
    known = descriptions()
    return [_row(code, value, known.get(code), x_unit, date) for code, value in group.parameters.items()]


def _row(code: str, value: Any, description: Optional[ParameterDescription], x_unit: Optional[str],
         date: Any) -> Row:
    if description is None:
        return Row(code, value, None, None, None)
    meaning = description.meaning + (" (uncertain)" if description.uncertain else "")
    unit = x_unit if description.unit_from == "DXU" else description.unit
    decoded = description.value_meaning(value)
    if code == "TIM":
        moment = acquisition_time({"DAT": date, "TIM": value})
        decoded = moment_text(moment) if moment else None
    return Row(code, value, unit, meaning, decoded)


def x_unit_of(groups: Sequence[Group]) -> Optional[str]:
    """The unit of the block's x values, as its DXU names it; None when it names none."""
    for group in groups:
        if group.kind == "data" and "DXU" in group.parameters:
            return axis_of(group.parameters, False).unit or None
    return None


def date_of(groups: Sequence[Group]) -> Any:
    """The block's DAT, from the first group that holds one (its data parameters, in files that follow the rule)."""
    return next((group.parameters["DAT"] for group in groups if "DAT" in group.parameters), None)


def printable(value: Any) -> str:
    """The value as one line of text: control characters (line breaks in a free text) escaped, so that a value
    never breaks the table."""
    text = repr(value) if isinstance(value, float) and not math.isfinite(value) else str(value)
    if not any(unicodedata.category(c) == "Cc" for c in text):
        return text
    return "".join(c.encode("unicode_escape").decode("ascii") if unicodedata.category(c) == "Cc" else c
                   for c in text)


def described(groups: Sequence[Group]) -> list[tuple[Group, list[Row]]]:
    ordered_groups = ordered(groups)
    unit, date = x_unit_of(ordered_groups), date_of(ordered_groups)
    return [(group, rows_of(group, unit, date)) for group in ordered_groups]


def text_lines(groups: Sequence[Group], raw: bool) -> list[str]:
    """The groups as a table: one heading per group, the rows of all groups aligned as one table."""
    sections = described(groups)
    header = ("CODE", "VALUE") if raw else ("CODE", "VALUE", "UNIT", "MEANING")
    cells = [row.cells(raw) for _, rows in sections for row in rows]
    laid_out = _aligned([header] + cells)
    lines = ["    " + laid_out[0]]
    place = 1
    for group, rows in sections:
        lines.append("  " + group.heading)
        lines += ["    " + line for line in laid_out[place:place + len(rows)]]
        place += len(rows)
    return lines


def _aligned(rows: list[tuple[str, ...]]) -> list[str]:
    """The cells in columns; a value past VALUE_WIDTH does not widen its column but runs on into the next."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    widths[1] = max(len(row[1]) for row in rows if len(row[1]) <= VALUE_WIDTH)
    return ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]


def as_json(groups: Sequence[Group], raw: bool) -> list[dict[str, Any]]:
    return [{"kind": group.kind, "side": group.side, "offset": group.offset,
             "parameters": [row.as_json(raw) for row in rows]} for group, rows in described(groups)]


def run(args: argparse.Namespace) -> int:
    found = read_checked(args.file, args.block, data=False)
    groups, unreadable = groups_of(found, args.file)
    if args.json:
        dump({"path": args.file, "block": found.name, "number": found.number, "kind": found.kind,
              "compensated": found.compensated, "groups": as_json(groups, args.raw),
              "unreadable": [{"kind": source.kind, "side": source.side, "offset": source.offset,
                              "error": str(source.error)} for source in unreadable]})
        return EXIT_OK
    count = sum(len(group.parameters) for group in groups)
    state = {None: "", False: ", before compensation", True: ", compensated"}[found.compensated]
    print(f"{args.file}: #{found.number} {found.name} ({found.kind}{state}, {count} parameters)")
    for line in text_lines(groups, args.raw):
        print(line)
    for source in unreadable:
        print(f"  {source.name}: could not be read ({source.error})")
    return EXIT_OK


def add_to(commands: Any, json_flag: argparse.ArgumentParser) -> None:
    show = commands.add_parser(
        "show", parents=[json_flag], help="print the parameters of a block",
        description="The parameters of a block, grouped by the parameter block they come from (the block's own "
                    "data parameters, then the instrument, acquisition, FT, optics, sample-origin, lab and info "
                    "parameters of its measurement), each with its unit and meaning and the meaning of its value.")
    show.add_argument("file", metavar="FILE")
    show.add_argument("block", nargs="?", metavar="BLOCK", help=BLOCK_HELP)
    show.add_argument("--raw", action="store_true", help="the codes and their values as stored, nothing decoded")
    show.set_defaults(run=run)
