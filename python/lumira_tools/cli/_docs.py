"""`lumira docs`: the guide that comes with the installed package, read in the terminal."""

from __future__ import annotations

import argparse
import pydoc
import sys
from typing import Any

from .._guide import GUIDE, NoSuchPage, as_text, find, pages
from ._common import EXIT_OK, UsageError, dump, table


def run(args: argparse.Namespace) -> int:
    if args.topic is None:
        return _contents(args.json)
    try:
        page = find(args.topic)
    except NoSuchPage as error:
        raise UsageError(str(error)) from error
    text = as_text(page)
    if args.json:
        dump({"name": page.name, "title": page.title, "path": page.path, "text": text})
    elif sys.stdout.isatty():
        pydoc.pager(text)  # $MANPAGER or $PAGER, as `pydoc` pages
    else:
        sys.stdout.write(text)
    return EXIT_OK


def _contents(as_json: bool) -> int:
    every = pages()
    if as_json:
        dump({"guide": GUIDE, "pages": [page._asdict() for page in every]})
        return EXIT_OK
    print(f"The lumira guide ({GUIDE}): `lumira docs TOPIC` prints a page.\n")
    for line in table([("  " + page.name, page.title) for page in every]):
        print(line)
    return EXIT_OK


def add_to(commands: Any, json_flag: argparse.ArgumentParser) -> None:
    docs = commands.add_parser(
        "docs", parents=[json_flag], help="read the guide that comes with lumira",
        description="The guide, installed with the package as Markdown pages: without a topic, its pages; with one, "
                    "that page, through a pager on a terminal. The documentation site renders the same pages.")
    docs.add_argument("topic", nargs="?", metavar="TOPIC",
                      help="a page's name, or the start of one (e.g. tour, damaged, cli)")
    docs.set_defaults(run=run)
