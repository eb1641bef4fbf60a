"""What `lumira ls` says about the directory entries beside the data blocks: with --all every entry and what reads
it, and always a closing line naming the entries nothing decodes."""

from __future__ import annotations

from typing import Any

from .._entries import entry_kind
from .._parts import is_container, is_history
from .._types import OpusFile
from ._common import table


def undecoded(opened: OpusFile) -> list[dict[str, Any]]:
    return [{"entry": found.index, "kind": found.kind, "offset": found.byteOffset, "bytes": found.sizeInWords * 4}
            for found in opened.other]


def every_entry(opened: OpusFile) -> list[dict[str, Any]]:
    """Each directory entry with its codes, kind, place and what reads it ('#N' for a data block, 'history',
    'report #k', 'parameters', 'not decoded'; '' for the directory and released space)."""
    blocks = {block.offset: f"#{block.number}" for block in opened.blocks}
    not_decoded = {found.index for found in opened.other}
    containers = [index for index, entry in enumerate(opened.entries) if is_container(entry)]
    reports = {index: number for number, index in enumerate(containers)}
    listed = []
    for index, entry in enumerate(opened.entries):
        if index in not_decoded:
            read_as = "not decoded"
        elif entry.paramType >= 1 or entry.extendType == 1:
            read_as = "parameters"
        elif is_history(entry):
            read_as = "history"
        elif index in reports:
            read_as = f"report #{reports[index]}"
        else:
            read_as = blocks.get(entry.byteOffset, "")
        codes = [entry.complexType, entry.sampleType, entry.paramType, entry.dataType, entry.derivType,
                 entry.extendType]
        listed.append({"entry": index, "codes": codes, "kind": entry_kind(entry), "offset": entry.byteOffset,
                       "bytes": entry.sizeInWords * 4, "read_as": read_as})
    return listed


def print_entries(listed: list[dict[str, Any]]) -> None:
    rows = [("ENTRY", "CODES", "KIND", "OFFSET", "BYTES", "READ AS")]
    for found in listed:
        rows.append((str(found["entry"]), ",".join(map(str, found["codes"])), found["kind"], str(found["offset"]),
                     str(found["bytes"]), found["read_as"]))
    print(f"  {len(listed)} directory entr{'ies' if len(listed) != 1 else 'y'}:")
    for line in table(rows, right=(0, 3, 4)):
        print("  " + line)


def print_undecoded(found: list[dict[str, Any]]) -> None:
    """One line naming the entries nothing decodes, so that none goes unmentioned."""
    if not found:
        return
    named = ", ".join(f"entry {item['entry']} ({item['kind']}, {item['bytes']} bytes)" for item in found)
    print(f"  not decoded: {named}; `lumira ls --all` lists every entry")
