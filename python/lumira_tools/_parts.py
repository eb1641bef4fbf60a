"""What a file holds beside its data blocks: the history, reports and annotation tables, embedded images, and every
directory entry that no reader decodes.

None of it is read with the file: `read_file` keeps what it needs to read a block's bytes again, and each part is
read and parsed when it is first asked for, so reading data stays as fast as it was. A damaged part raises its own
DamagedFileError when it is asked for and takes nothing else with it.
"""

from __future__ import annotations

from functools import cached_property
from typing import TYPE_CHECKING, Any, Callable, Optional

from . import _native
from ._history import History, history_of
from ._images import Image, images_of
from ._read import DamagedFileError
from ._reports import CONTAINER_KINDS, Report

if TYPE_CHECKING:
    from ._entries import OtherEntry
    from ._types import Block, Entry

# extendType codes of blocks that are not table containers although they have no parameter type: plain and 3D
# data, the info block, the history, the extended directory; and the codes believed to mark compact data blocks
# and text blocks of a layout not known (curve fit, signature, integration method).
_NOT_CONTAINERS = frozenset({0, 1, 4, 10, 13, 19, 21, 30, 64})


def is_container(entry: Entry) -> bool:
    return entry.paramType == 0 and entry.extendType not in _NOT_CONTAINERS


def is_history(entry: Entry) -> bool:
    return (entry.paramType, entry.dataType, entry.extendType) == (0, 0, 13)


class FileParts:
    """The parts of an OpusFile beside its data blocks, each read when first asked for."""

    path: str
    blocks: list[Block]

    if TYPE_CHECKING:
        @property
        def entries(self) -> list[Entry]: ...

        # Bytes of the file from wherever it came (OpusFile's): fewer where it ends.
        def _read_bytes(self, offset: int, size: int) -> bytes: ...

    @cached_property
    def history(self) -> Optional[History]:
        """The processing log (None for a file without one): its text, sessions and operations. A damaged
        history raises DamagedFileError."""
        found = [entry for entry in self.entries if is_history(entry)]
        if not found:
            return None
        return history_of(self._block_bytes(found[-1], "history"), found[-1].byteOffset, self._utf8(), self.path)

    @property
    def reports(self) -> list[Report]:
        """Every table container in directory order (reports, annotation tables, image containers), each a
        Report that reads its container when its title, properties or tables are first asked for. A new list on
        each access: the reports refer to the file, and the file keeping them would make a reference cycle of
        every OpusFile, freed only by the garbage collector."""
        containers = (entry for entry in self.entries if is_container(entry))
        return [Report(number, entry, self._container_reader(entry, f"report #{number}"))
                for number, entry in enumerate(containers)]

    @cached_property
    def images(self) -> list[Image]:
        """Every image of the file's image containers, the tiles of a mosaic assembled into one Image. A damaged
        image container raises DamagedFileError."""
        return images_of([report for report in self.reports if report.kind == CONTAINER_KINDS[20]], self.path)

    @property
    def other(self) -> list[OtherEntry]:
        """Every listed entry with a type word other than 0 that none of the readers decodes: not a data block
        read into `blocks`, a parameter block, the directory, the history or a table container."""
        from ._entries import undecoded

        return undecoded(self.entries, {block.offset for block in self.blocks}, self._entry_reader)

    def _block_bytes(self, entry: Entry, part: str) -> bytes:
        """The entry's bytes, all of them: a block that lies before the file's start or runs past its end is
        damaged."""
        size = entry.sizeInWords * 4
        if entry.byteOffset < 0 or size < 0:
            raise DamagedFileError(f"its block at offset {entry.byteOffset} of {entry.sizeInWords} words lies "
                                   "outside the file", self.path, part)
        data = self._read_bytes(entry.byteOffset, size)
        if len(data) < size:
            raise DamagedFileError(f"the file ends early: its block at offset {entry.byteOffset} has {size} bytes "
                                   f"but the file holds {len(data)} of them", self.path, part)
        return data

    def _entry_reader(self, entry: Entry, part: str) -> Callable[[], bytes]:
        return lambda: self._block_bytes(entry, part)

    def _container_reader(self, entry: Entry, part: str) -> Callable[[], Any]:
        def read() -> Any:
            data = self._block_bytes(entry, part)
            try:
                return _native.read_container(data, entry.byteOffset, self._utf8())
            except ValueError as error:
                raise DamagedFileError(str(error), self.path, part) from error

        return read

    def _utf8(self) -> bool:
        """Whether the file says its texts are UTF-8 (code page 65001 in its sample-origin parameters)."""
        return any((block.parameters or {}).get("CPG") == 65001 for block in self.blocks)
