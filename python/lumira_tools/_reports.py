"""Table containers: reports computed from a result (quality test, quantitative analysis, multi-evaluation),
reference values, annotation tables and image containers.

A container has a title and tables; a table has properties (label, value, display format), typed columns, rows,
and sub-tables of the same form. Cells are int32, float32, float64, texts or bytes (the blobs of image
containers, and columns of a type no reader knows).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, NamedTuple, Optional, Union

import numpy as np

from ._extras import need

if TYPE_CHECKING:
    from ._types import Entry

Value = Union[int, float, str, None]
Cell = Union[int, float, str, bytes]

CONTAINER_KINDS = {11: "annotation tables", 12: "quality-test report", 14: "quantitative-analysis report",
                   20: "image container", 45: "multi-evaluation report", 50: "reference values"}
# Results a report was computed from, by data type.
_RESULTS = {4: "AB", 12: "REFL"}

# Cells that mark a value as not set: an unused bound of a quality test, an unset limit of a multi-evaluation.
UNUSED_FLOAT64 = 1.001e-199
UNSET_FLOAT32 = 3.4028234663852886e38


class Property(NamedTuple):
    """A property of a table: its label, its value (None for a label alone) and the printf-style format its value
    is shown with (None where the table gives none)."""

    label: Optional[str]
    value: Value
    format: Optional[str]


class Column(NamedTuple):
    """A column: its name ('' where the table gives none), type code, offset and width in a row's bytes, and
    display format."""

    name: str
    offset: int
    type: int
    width: int
    format: Optional[str]

    @property
    def kind(self) -> str:
        """What its cells hold: 'int32', 'float32', 'float64', 'text' or 'bytes'."""
        if self.type in (3, 4, 7):
            return "int32"
        if self.type == 5:
            return "float32"
        if self.type == 6:
            return "float64"
        return "text" if self.type > 1000 else "bytes"


@dataclass(frozen=True)
class Table:
    """A table of a container: `name` (its directory name, or a sub-table's title), `properties`, `columns`,
    `rows` (tuples of cells), `subtables`, `parameters` (its parameter block as stored) and `offset` (from the
    container's start)."""

    name: str
    properties: tuple[Property, ...]
    columns: tuple[Column, ...]
    rows: tuple[tuple[Cell, ...], ...]
    subtables: tuple["Table", ...]
    parameters: dict[str, Union[int, float, str]]
    offset: int

    def get(self, label: str, default: Value = None) -> Value:
        """The value of the first property with this label."""
        return next((found.value for found in self.properties if found.label == label), default)

    def to_pandas(self, *, raw: bool = False) -> Any:
        """The rows as a pandas DataFrame, one column per column (named '' where the table names none), int32,
        float32 and float64 columns of those dtypes. Unless `raw`, cells that mark a value as not set (1.001e-199
        in float64 columns, the largest float32 in float32 columns) are NaN."""
        pd = need("pandas", "to_pandas needs pandas: pip install 'lumira[xarray]'")
        series = {}
        for index, column in enumerate(self.columns):
            cells = [row[index] for row in self.rows]
            dtype = column.kind if column.kind in ("int32", "float32", "float64") else object
            values = np.array(cells, dtype=dtype)
            if not raw and column.kind in ("float32", "float64"):
                unset = UNSET_FLOAT32 if column.kind == "float32" else UNUSED_FLOAT64
                values[values == np.array(unset, dtype=column.kind)] = math.nan
            series[index] = values
        frame = pd.DataFrame(series, index=pd.RangeIndex(len(self.rows)))
        frame.columns = [column.name for column in self.columns]
        return frame

    def __repr__(self) -> str:
        return (f"<Table {self.name!r}: {len(self.columns)} columns, {len(self.rows)} rows"
                f"{f', {len(self.subtables)} sub-tables' if self.subtables else ''}>")


def table_of(read: tuple[Any, ...]) -> Table:
    name, offset, parameters, properties, columns, rows, subtables = read
    return Table(name, tuple(Property(*found) for found in properties), tuple(Column(*found) for found in columns),
                 tuple(rows), tuple(table_of(found) for found in subtables), parameters, offset)


@dataclass(frozen=True)
class _Content:
    head: tuple[int, int, int]
    parameters: dict[str, Union[int, float, str]]
    properties: tuple[Property, ...]
    tables: tuple[Table, ...]


class Report:
    """A table container of the file: `number` (its place among the file's containers), `entry` (its directory
    entry), `kind` ('quality-test report', 'annotation tables', 'image container', ...) and `result` (the result
    block it was computed from, 'AB' or 'REFL', where its codes name one) are known without reading it; `title`,
    `properties`, `tables` and `parameters` (its directory as stored) are read when first asked for, and a damaged
    container raises DamagedFileError then."""

    def __init__(self, number: int, entry: Entry, read: Callable[[], Any]) -> None:
        self.number = number
        self.entry = entry
        self._read = read
        self._parsed: Optional[_Content] = None

    @property
    def kind(self) -> str:
        return CONTAINER_KINDS.get(self.entry.extendType, f"table container of type {self.entry.extendType}")

    @property
    def result(self) -> Optional[str]:
        return _RESULTS.get(self.entry.dataType)

    @property
    def title(self) -> str:
        title = self._content().parameters.get("TIT", "")
        return title if isinstance(title, str) else str(title)

    @property
    def properties(self) -> tuple[Property, ...]:
        return self._content().properties

    @property
    def tables(self) -> tuple[Table, ...]:
        return self._content().tables

    @property
    def parameters(self) -> dict[str, Union[int, float, str]]:
        return self._content().parameters

    @property
    def head(self) -> tuple[int, int, int]:
        """The container's head: where its directory lies, the bytes reserved for it, and a word whose meaning is
        not known (1 in every file seen)."""
        return self._content().head

    def _content(self) -> _Content:
        if self._parsed is None:
            head, directory, properties, tables = self._read()
            self._parsed = _Content(tuple(head), directory, tuple(Property(*found) for found in properties),
                                    tuple(table_of(found) for found in tables))
        return self._parsed

    def __repr__(self) -> str:
        return f"<Report #{self.number} {self.kind} at offset {self.entry.byteOffset}>"
