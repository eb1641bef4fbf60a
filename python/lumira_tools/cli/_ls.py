"""`lumira ls`: what files hold, block by block."""

from __future__ import annotations

import argparse
import os
from typing import Any

from .._axes import axis_of
from .._expand import folder_inputs
from .._many import progress_bar, read_files
from .._read import NotOpusFileError, block_text, error_text, failed_save
from .._sources import Input
from .._types import Block
from ._common import EXIT_FAILED, EXIT_OK, TABLE_ERROR_WIDTH, cut, dump, report, table
from ._entries import every_entry, print_entries, print_undecoded, undecoded

MAP_KIND_NAMES = ("image map", "image map (traces)", "multi-region", "multi-region (traces)")


def files_of(paths: list[str]) -> list[Any]:
    """The files to list: each path given, and for a folder the files under it (sorted), of which only the OPUS
    files and the failed saves are listed."""
    found: list[Any] = []
    for path in paths:
        if os.path.isdir(path):
            found.extend(folder_inputs(path))
        else:
            found.append(path)
    return found


def describe(block: Block) -> dict[str, Any]:
    """What `ls` says about a block: place, kind, shape, point count and x range with units."""
    parameters = block.parameters or {}
    axis = axis_of(parameters, block.kind in MAP_KIND_NAMES, block.parts[0])
    span = block.x_range
    points = parameters.get("NPT")
    return {
        "number": block.number, "block": block.name, "shadowed": block.shadowed, "compensated": block.compensated,
        "channel": block.channel, "kind": block.kind,
        "shape": list(block.shape or ()), "points": points if isinstance(points, int) else None,
        "x_first": span[0] if span else None, "x_last": span[1] if span else None,
        "units": axis.unit, "x_axis": axis.name,
    }


def _shape_text(info: dict[str, Any]) -> str:
    if info["kind"].startswith("multi-region"):
        return f"{info['shape'][0]} points x {info['shape'][1]}"
    return " x ".join(map(str, info["shape"]))


def run(args: argparse.Namespace) -> int:
    status = EXIT_OK
    listing: list[dict[str, Any]] = []
    sources = files_of(args.files)
    bar = progress_bar(len(sources), terminal_only=True) if len(sources) > 1 and not args.json else None
    try:
        opened_files = read_files(sources, None, data=False, strict=True, scale=False,
                                  progress=(lambda: bar.update(1)) if bar is not None else None)
    finally:
        if bar is not None:
            bar.close()
    for source, (path, opened) in zip(sources, opened_files):
        searched = isinstance(source, Input) and source.searched
        if searched and isinstance(opened, NotOpusFileError) and not failed_save(path, opened):
            continue  # a folder's other files
        entry: dict[str, Any] = {"path": path, "opus": False, "blocks": []}
        listing.append(entry)
        if isinstance(opened, NotOpusFileError) and not searched:
            continue
        if isinstance(opened, BaseException):  # reported, and the other files still listed
            entry["error"] = error_text(opened)
            report(path, opened)
            status = EXIT_FAILED
            continue
        entry["opus"] = True
        entry["not_decoded"] = undecoded(opened)
        if args.all:
            entry["entries"] = every_entry(opened)
        for request in opened.unanswered:  # listed, but without the data block a read needs
            entry["blocks"].append({"number": None, "block": block_text(request), "shadowed": False,
                                    "compensated": None, "channel": 1,
                                    "error": f"No data block exists in the file for: {' '.join(request)}"})
            report(f"{path}: {block_text(request)}", ValueError(entry["blocks"][-1]["error"]))
            status = EXIT_FAILED
        for block in opened.blocks:
            info = describe(block)
            entry["blocks"].append(info)
            if block.error is not None:  # one broken block does not hide the others
                info["error"] = error_text(block.error)
                report(f"{path}: #{block.number} {block.name}", block.error)
                status = EXIT_FAILED
    if args.json:
        dump(listing)
        return status
    for entry in listing:
        if "error" in entry:  # said on standard error
            continue
        if not entry["opus"]:
            print(f"{entry['path']}: not an OPUS file")
            continue
        _print_blocks(entry)
        if "entries" in entry:
            print_entries(entry["entries"])
        print_undecoded(entry["not_decoded"])
    return status


def _print_blocks(entry: dict[str, Any]) -> None:
    count = len(entry["blocks"])
    print(f"{entry['path']}: OPUS file, {count} data block{'s' if count != 1 else ''}")
    if not count:
        return
    notes = [_note(block) for block in entry["blocks"]]
    shadows = any(notes)
    rows = [("#", "BLOCK", "KIND", "SHAPE", "POINTS", "X RANGE", "UNITS") + (("NOTE",) if shadows else ())]
    for block, text in zip(entry["blocks"], notes):
        note = (text,)
        place = f"#{block['number']}" if block["number"] is not None else "-"
        if "error" in block:
            rows.append((place, block["block"], "unreadable", "", "", cut(block["error"], TABLE_ERROR_WIDTH),
                         "") + (note if shadows else ()))
            continue
        span = f"{block['x_first']:g} .. {block['x_last']:g}" if block["x_first"] is not None else "-"
        rows.append((place, block["block"], block["kind"], _shape_text(block), str(block["points"]), span,
                     block["units"]) + (note if shadows else ()))
    for line in table(rows, right=(4,)):
        print("  " + line)
    if "shadowed" in notes:
        print("  (a shadowed block answers the same request as a later one: name it by its place, e.g. #0)")
    if "before compensation" in notes:
        first = entry["blocks"][notes.index("before compensation")]["number"]
        print("  (before compensation: the result as measured, before the atmospheric correction that made its "
              f"compensated twin, which a request reads; name it as #{first})")


def _note(block: dict[str, Any]) -> str:
    """What sets a block apart from the one a request reads."""
    if block.get("compensated") is not None:
        return "compensated" if block["compensated"] else "before compensation"
    return "shadowed" if block["shadowed"] else ""


def add_to(commands: Any, json_flag: argparse.ArgumentParser) -> None:
    ls = commands.add_parser("ls", parents=[json_flag], help="list the data blocks of files",
                             description="For each file: whether it is an OPUS file, and each data block with its "
                                         "kind, shape, point count, x range and units. A folder lists the OPUS "
                                         "files under it.")
    ls.add_argument("files", nargs="+", metavar="FILE|DIR")
    ls.add_argument("--all", action="store_true",
                    help="also list every directory entry: its codes, kind, offset, size and what reads it")
    ls.set_defaults(run=run)
