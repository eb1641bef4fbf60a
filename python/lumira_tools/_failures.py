"""The files a stack or a table left out, and why: kept in the Dataset's (or DataFrame's) attributes as JSON text,
which NetCDF, Zarr and Parquet store as they are, and read back as a mapping by `failures`."""

from __future__ import annotations

import html
import json
import os
import re
from collections import Counter
from typing import Any, Iterable, Mapping, Union

from ._read import error_text

SHOWN = 10  # failures listed in a repr; the rest are counted


class Failures(dict[str, str]):
    """Path -> the reason (one line) for every file left out, in the order the files were given."""

    @classmethod
    def of(cls, errors: Mapping[str, Union[BaseException, str]]) -> "Failures":
        return cls((path, error if isinstance(error, str) else error_text(error)) for path, error in errors.items())

    def to_json(self) -> str:
        return json.dumps(self, ensure_ascii=False)

    def __repr__(self) -> str:
        if not self:
            return "no files left out"
        lines = [f"{len(self):,} file{'s' if len(self) != 1 else ''} left out:"]
        lines += [f"  {os.path.basename(path) or path}: {reason}" for path, reason in list(self.items())[:SHOWN]]
        if len(self) > SHOWN:
            lines.append(f"  ... and {len(self) - SHOWN:,} more")
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        if not self:
            return "<p>no files left out</p>"
        rows = "".join(f"<tr><td title='{html.escape(path)}'>{html.escape(os.path.basename(path) or path)}</td>"
                       f"<td style='text-align:left'>{html.escape(reason)}</td></tr>"
                       for path, reason in list(self.items())[:SHOWN])
        more = f"<p>... and {len(self) - SHOWN:,} more</p>" if len(self) > SHOWN else ""
        return (f"<p>{len(self):,} file{'s' if len(self) != 1 else ''} left out</p><table><thead><tr><th>file</th>"
                f"<th style='text-align:left'>reason</th></tr></thead><tbody>{rows}</tbody></table>{more}")


# Where a reason's gist ends: at its details in parentheses, after a colon or semicolon, or at a number.
_DETAILS = re.compile(r" \(|: |; | -?\d[\d,.]*\b")
_TRAILING = ("at", "of", "in", "for", "to", "from", "is", "offset")


def _gist(reason: str) -> str:
    """A reason without what differs from file to file: 'the file is cut short at 1,593 bytes; ...' -> 'the file
    is cut short', 'not an OPUS file: it is empty' -> 'not an OPUS file'."""
    found = _DETAILS.search(reason)
    words = (reason[:found.start()] if found and found.start() > 0 else reason).split()
    while len(words) > 1 and words[-1] in _TRAILING:
        words.pop()
    return " ".join(words) or reason


def failures(table: Any) -> Failures:
    """The files `stack` or `metadata` left out, path -> reason, from the Dataset or DataFrame (or one read back
    from NetCDF, Zarr or Parquet), or from the attribute itself."""
    stored = getattr(table, "attrs", {"failed": table}).get("failed", "{}")
    if isinstance(stored, bytes):
        stored = stored.decode("utf-8")
    if isinstance(stored, str):
        stored = json.loads(stored) if stored.strip() else {}
    if not isinstance(stored, Mapping):
        raise TypeError(f"not a record of failed files: {type(stored).__name__}")
    return Failures.of(stored)


def summary(reasons: Iterable[str]) -> str:
    """'3 not an OPUS file, 1 an image map': how many files were left out for each reason."""
    counted = Counter(_gist(reason) for reason in reasons).most_common()
    return ", ".join(f"{count:,} {reason}" for reason, count in counted)
