"""The guide that comes with the package: its Markdown pages, found by topic and shown as plain text.

The pages live in the package's `guide` folder, so every installation carries them; the documentation site renders
the same pages. `index.md` orders them: its table of contents names each page's file, one per line.
"""

from __future__ import annotations

import os
import re
from typing import NamedTuple

GUIDE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "guide")
_CONTENTS = re.compile(r"```\{toctree\}\n(.*?)```", re.S)
_PAGE_LINK = re.compile(r"\[([^\]]+)\]\(([\w-]+)\.md(?:#[\w-]*)?\)")
_SECTION_LINK = re.compile(r"\[([^\]]+)\]\(#[\w-]+\)")  # a section of the same page: its name says enough
_PICTURE = re.compile(r"!\[([^\]]*)\]\(([^)\s]+)\)")


class Page(NamedTuple):
    name: str  # the topic `lumira docs` takes: the file's name without .md
    title: str
    path: str


class NoSuchPage(LookupError):
    """A topic that names no page of the guide (or more than one)."""


def pages() -> list[Page]:
    """The pages in the order of the guide's table of contents."""
    with open(os.path.join(GUIDE, "index.md"), encoding="utf-8") as index:
        contents = _CONTENTS.search(index.read())
    names = [line.strip() for line in contents.group(1).splitlines()] if contents else []
    return [_page(name) for name in names if name and not name.startswith(":")]


def _page(name: str) -> Page:
    path = os.path.join(GUIDE, f"{name}.md")
    with open(path, encoding="utf-8") as page:
        title = next((line[2:].strip() for line in page if line.startswith("# ")), name)
    return Page(name, title.replace("`", ""), path)


def find(topic: str) -> Page:
    """The page a topic names: its name in any case, or the start of one name only (`dam` for `damaged`)."""
    wanted = topic.strip().lower()
    every = pages()
    exact = [page for page in every if page.name == wanted]
    starting = [page for page in every if page.name.startswith(wanted)] if wanted else []
    if exact or len(starting) == 1:
        return (exact or starting)[0]
    names = ", ".join(page.name for page in every)
    if starting:
        raise NoSuchPage(f"{topic!r} starts more than one page of the guide ({', '.join(p.name for p in starting)})")
    raise NoSuchPage(f"the guide has no page {topic!r}; its pages: {names}")


def as_text(page: Page) -> str:
    """The page as text for a terminal: Markdown reads as it is, but a link to another page says how to open that
    page, and a picture names its file, which the terminal cannot show."""
    with open(page.path, encoding="utf-8") as source:
        text = source.read()
    folder = os.path.dirname(page.path)
    text = _PICTURE.sub(lambda found: f"[picture: {found.group(1)}: {os.path.join(folder, found.group(2))}]", text)
    text = _SECTION_LINK.sub(lambda found: found.group(1), text)
    return _PAGE_LINK.sub(lambda found: f"{found.group(1)} (lumira docs {found.group(2)})", text)
