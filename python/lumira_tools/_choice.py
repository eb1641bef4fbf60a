"""Which block a folder's files are stacked by: the one most of them offer.

A real folder mixes the sample files with the background measured before them (reference channels only), now and
then a reflectance measurement or a map. Each file offers the block a request would take from it (its final
spectrum when none is named); the stack takes the single-spectrum block most files offer, reads it again from the
files that hold it beside the one they offered, and leaves out the others, each with a reason in one line.
"""

from __future__ import annotations

from collections import Counter
from typing import Any, Callable, Optional, Union

from ._blocks import as_request, missing_block
from ._read import TYPE_PREFERENCE, BlockSpec, NoSuchBlockError, NotASpectrumError, Request, block_text
from ._types import Block

# (path, what reading the file gave, the block it offered or the error that stands for it)
Offer = tuple[str, Any, Union[Block, BaseException]]
Reread = Callable[[list[str], Request], list[tuple[str, Union[Block, BaseException]]]]
Fail = Callable[[str, BaseException], None]


def most_offered(offers: list[Offer]) -> Optional[Request]:
    """The single-spectrum request most files offer; of equally many, the type `read` prefers, then the first."""
    counts = Counter(found.request for _, _, found in offers
                     if isinstance(found, Block) and found.request is not None and found.dimension == "2D")
    if not counts:
        return None
    rank = {request: place for place, request in enumerate(counts)}
    return max(counts, key=lambda request: (counts[request], -_preference(request[0]), -rank[request]))


def _preference(name: str) -> int:
    return TYPE_PREFERENCE.index(name) if name in TYPE_PREFERENCE else len(TYPE_PREFERENCE)


def one_block(offers: list[Offer], block: BlockSpec, reread: Reread, fail: Fail) -> list[tuple[str, Block]]:
    """(path, block) of every file that gives the block the stack takes, in order; every other file goes to
    `fail` with the error that says why it was left out."""
    chosen = most_offered(offers)
    by_place = isinstance(block, str) and block.strip().startswith("#")
    again: dict[str, Union[Block, BaseException]] = {}
    if chosen is not None and not by_place:
        holding = [path for path, outcome, found in offers
                   if isinstance(found, Block) and found.request != chosen and _holds(outcome, chosen)]
        if holding:
            again = dict(reread(holding, chosen))
    kept: list[tuple[str, Block]] = []
    for path, outcome, found in offers:
        if isinstance(found, Block) and found.request != chosen:
            found = again[path] if path in again else _left_out(path, outcome, found, chosen, block)
        if isinstance(found, BaseException):
            fail(path, found)
        else:
            kept.append((path, found))
    return kept


def _holds(outcome: Any, request: Request) -> bool:
    return any(as_request(name.split("/")) == request for name in outcome.held)


def _left_out(path: str, outcome: Any, found: Block, chosen: Optional[Request], block: BlockSpec) -> BaseException:
    if found.dimension == "3D":
        kind = found.kind or "map or series"
        article = "an" if kind[0] in "aeiou" else "a"
        return NotASpectrumError(f"{article} {kind} ({found.name}), not a single spectrum", path)
    assert chosen is not None, "a single spectrum was offered"
    if isinstance(block, str) and block.strip().startswith("#"):
        return NoSuchBlockError(f"its {block.strip()} is {found.name}, where the stack takes {block_text(chosen)}",
                                path, block_text(chosen), outcome.held)
    return missing_block(outcome.held, outcome.listing, block_text(chosen), path)
