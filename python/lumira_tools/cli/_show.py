"""`lumira show`: the parameters of a block."""

from __future__ import annotations

import argparse
from typing import Any

import lumira

from ._common import BLOCK_HELP, EXIT_OK, dump, read_checked, table


def run(args: argparse.Namespace) -> int:
    found = read_checked(args.file, args.block, data=False)
    parameters = found.parameters or {}
    described = [{"code": code, "value": value, "description": lumira.paramDict.get(code)}
                 for code, value in parameters.items()]
    rows = [("CODE", "VALUE", "DESCRIPTION")]
    rows += [(code, str(value), lumira.paramDict.get(code, "")) for code, value in parameters.items()]
    if args.json:
        dump({"path": args.file, "block": found.name, "number": found.number, "kind": found.kind,
              "parameters": described})
        return EXIT_OK
    print(f"{args.file}: #{found.number} {found.name} ({found.kind}, {len(described)} parameters)")
    for line in table(rows):
        print("  " + line)
    return EXIT_OK


def add_to(commands: Any, json_flag: argparse.ArgumentParser) -> None:
    show = commands.add_parser("show", parents=[json_flag], help="print the parameters of a block",
                               description="The parameters of a block, each with its description where known.")
    show.add_argument("file", metavar="FILE")
    show.add_argument("block", nargs="?", metavar="BLOCK", help=BLOCK_HELP)
    show.set_defaults(run=run)
