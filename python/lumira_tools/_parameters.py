"""Parameter blocks kept apart: every parameter block of a file, and a block's parameters grouped by kind.

The extension merges a data block's parameters with the last acquisition, instrument, sample-origin and FT blocks
of the file, whatever measurement they describe; instrument files hold those settings twice, once for the sample
and once for the reference (background) measurement, and an optics block the merge never reads. `read_file` keeps
each parameter block apart (`OpusFile.parameter_blocks`) and gives every data block the blocks of its own
measurement (`Block.groups`); `flat_parameters` makes one dictionary of them.
"""

from __future__ import annotations

import math
from typing import Any, Iterable, Mapping, NamedTuple, Optional, Protocol, Union

Value = Union[int, float, str]
Parameters = dict[str, Value]

# The kinds of parameter blocks, in the order of their codes, which is the order a block's groups hold them in
# (a kind lumira does not name, "paramType N", at its number's place; info last).
KINDS = ("data", "instrument", "acquisition", "FT", "optics", "sample origin", "lab", "info")


class ParameterBlock(NamedTuple):
    """One parameter block of a file.

    `entry` is its place in the directory (an index into `OpusFile.entries`) and `offset` where it lies. `kind` says
    what it describes: "data" (a data block's own parameters: points, x range, y scaling...), "instrument" (the
    state of the instrument during the scan), "acquisition" (the scan settings asked for), "FT" (the transform's
    settings), "optics", "sample origin" (the sample and who measured it), "lab" (laboratory and process data),
    "info" (a user-defined form of labels and values), or "paramType N" for kinds lumira does not name.

    `side` is the measurement it belongs to: "sample", or "reference" for the background measured for the sample's
    ratio. The data parameters of a result (an absorbance, a reflectance, a match block), computed from both
    measurements, and the info block belong to neither: None (a result's `Block.groups` take the sample side's
    settings). A file that holds a single measurement writes it on the sample side whatever it measured; where
    that measurement is a reference (reference data, no sample data, no reference-side blocks), its blocks say
    "reference".

    `compensated` is set on the data parameters of twin data blocks as on their block (`Block.compensated`), None
    elsewhere. `parameters` maps codes to values (texts cut at their first NUL, records read up to the END record);
    it is None when the block cannot be read, and `error` says why: a damaged parameter block is its own error,
    never that of a data block that does not use it. The dictionary is the very object the blocks' `groups` hold:
    copy it before changing it.
    """

    entry: int
    kind: str
    side: Optional[str]
    offset: int
    compensated: Optional[bool]
    parameters: Optional[Parameters]
    error: Optional[BaseException]

    @property
    def ok(self) -> bool:
        return self.error is None

    @property
    def name(self) -> str:
        """'optics (sample)', 'data (reference)', 'info': the kind and, where there is one, the side."""
        return f"{self.kind} ({self.side})" if self.side else self.kind

    def __repr__(self) -> str:
        state = f"error={type(self.error).__name__}" if self.error is not None else f"{len(self.parameters or {})} codes"
        return f"<ParameterBlock entry {self.entry} {self.name} at {self.offset}: {state}>"


class ParameterStore(Protocol):
    """The parameter blocks of one file, which its blocks share (the native store of `read_file`, or what a
    pickle of it restores)."""

    def groups(self, entry: int, /) -> dict[str, Parameters]: ...

    def rows(self) -> list[tuple[Any, ...]]: ...


class SavedStore:
    """A file's parameter blocks as a pickle restores them: everything made, nothing left to read."""

    def __init__(self, rows: list[tuple[Any, ...]], groups: dict[int, dict[str, Parameters]]) -> None:
        self._rows, self._groups = rows, groups

    def groups(self, entry: int, /) -> dict[str, Parameters]:
        return self._groups[entry]

    def rows(self) -> list[tuple[Any, ...]]:
        return self._rows

    def __reduce__(self) -> tuple[Any, ...]:
        return SavedStore, (self._rows, self._groups)


def parameter_blocks(store: ParameterStore, path: str) -> list[ParameterBlock]:
    """The store's parameter blocks, a block that cannot be read with a DamagedFileError naming it."""
    from ._read import content_damage

    made = []
    for row in store.rows():
        block = ParameterBlock(*row)
        if block.error is not None:
            wrapped = content_damage(block.error, path, f"{block.name} parameters at {block.offset}")
            block = block._replace(error=wrapped or block.error)
        made.append(block)
    return made


def flat_parameters(block: Any) -> Parameters:
    """A block's parameters as one dictionary, from its groups (a Block, or a mapping of kind to parameters).

    Groups are taken in their order (data, instrument, acquisition, FT, optics, sample origin, lab, info). A code
    held by one group, or by several with one value, keeps its plain name; a code whose groups give different
    values is written once per group as `kind.CODE` (e.g. `instrument.CHN` and `optics.CHN`), at the place of its
    first occurrence, so no value is dropped and none stands for another.
    """
    held: dict[str, list[tuple[str, Value]]] = {}
    for kind, parameters in _groups(block).items():
        for code, value in parameters.items():
            held.setdefault(code, []).append((kind, value))
    flat: Parameters = {}
    for code, values in held.items():
        flat.update(_flattened(code, values))
    return flat


def flat_values(block: Any, codes: Iterable[str]) -> Parameters:
    """`flat_parameters(block)` for the `codes` asked alone (plain, or `kind.CODE`), without flattening the rest:
    what a column of many files needs."""
    groups = _groups(block)
    found: Parameters = {}
    for code in codes:
        plain = code.rpartition(".")[2]
        held = [(kind, parameters[plain]) for kind, parameters in groups.items() if plain in parameters]
        found.update((name, value) for name, value in _flattened(plain, held) if name == code)
    return found


def _groups(block: Any) -> Mapping[str, Mapping[str, Value]]:
    groups: Mapping[str, Mapping[str, Value]] = block if isinstance(block, Mapping) else block.groups
    return groups


def _flattened(code: str, held: list[tuple[str, Value]]) -> list[tuple[str, Value]]:
    """The flat names and values of one code as its groups hold it: the plain code where they agree, else one
    `kind.CODE` per group."""
    if not held or all(_same(held[0][1], value) for _, value in held[1:]):
        return [(code, value) for _, value in held[:1]]
    return [(f"{kind}.{code}", value) for kind, value in held]


def _same(a: Value, b: Value) -> bool:
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return type(a) is type(b) and a == b
