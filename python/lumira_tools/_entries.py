"""Every directory entry by what it is, and the entries that no reader of the package decodes."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, Iterable, Optional

from ._parts import is_container, is_history
from ._reports import CONTAINER_KINDS
from ._types import Entry

_PARAMETER_KINDS = {1: "data parameters", 2: "instrument parameters", 3: "acquisition parameters",
                    4: "FT parameters", 6: "optics parameters", 10: "sample origin parameters",
                    11: "lab parameters"}
_DERIVATIVES = ("NONE", "1DER", "2DER", "3DER")
# Kinds whose blocks some reader decodes whatever their codes say beyond.
_DECODED = frozenset({"released space", "directory", "extended directory", "history", "info parameters"})


def entry_kind(entry: Entry) -> str:
    """What a directory entry is, in words: 'history', 'quality-test report', 'data block AB/2D/NONE',
    'acquisition parameters, reference', 'released space' (type word 0), ..."""
    codes = (entry.complexType, entry.sampleType, entry.paramType, entry.dataType, entry.derivType,
             entry.extendType)
    if not any(codes):
        return "released space"
    if codes == (0, 0, 0, 13, 0, 0):
        return "directory"
    if entry.extendType == 64:
        return "extended directory"
    if entry.paramType >= 1:
        kind = _PARAMETER_KINDS.get(entry.paramType, f"parameters of type {entry.paramType}")
        return kind + (", reference" if entry.sampleType == 2 else "")
    if is_history(entry):
        return "history"
    if entry.extendType == 1:
        return "info parameters"
    if is_container(entry):
        return CONTAINER_KINDS.get(entry.extendType, f"table container of type {entry.extendType}")
    if entry.extendType in (0, 10) and entry.dataType:
        shape = f"{'3D' if entry.extendType == 10 else '2D'}/{_DERIVATIVES[entry.derivType]}"
        if entry.name is None:
            return f"data block of data type {entry.dataType}, {shape}"
        return f"data block {entry.name}/{shape}"
    return "unknown"


@dataclass(frozen=True)
class OtherEntry(Entry):
    """A directory entry that no reader of the package decodes, with its place in the directory (`index`), what it
    is believed to be (`kind`) and `read_bytes()`."""

    index: int = -1
    kind: str = ""
    _read: Optional[Callable[[], bytes]] = field(default=None, repr=False, compare=False)

    def read_bytes(self) -> bytes:
        """The block's sizeInWords x 4 bytes as the file holds them; DamagedFileError where the file ends before
        them or the entry places them outside it."""
        assert self._read is not None, "made by OpusFile.other"
        return self._read()


def undecoded(entries: Iterable[Entry], data_offsets: set[int],
              reader: Callable[[Entry, str], Callable[[], bytes]]) -> list[OtherEntry]:
    """The entries none of the readers decodes: not the directory or its extension, not released space (type
    word 0), not a parameter block, the history or a table container, and not a data block read (found at one of
    `data_offsets`)."""
    found = []
    for index, entry in enumerate(entries):
        kind = entry_kind(entry)
        if kind in _DECODED or entry.paramType >= 1 or is_container(entry):
            continue
        if kind.startswith("data block") and entry.byteOffset in data_offsets:
            continue
        values = {name: getattr(entry, name) for name in entry.__dataclass_fields__}
        found.append(OtherEntry(**{**values, "index": index, "kind": kind,
                                   "_read": reader(entry, f"entry #{index}")}))
    return found
