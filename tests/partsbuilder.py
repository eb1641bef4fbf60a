"""Builds the blocks of a file beside its data: the history, table containers (reports, annotation tables, image
containers) and the images they embed, byte by byte as instrument software lays them out.

A container is a 12-byte head (where its directory parameter block lies, the bytes reserved for it, 1), the
directory (BID, NRP, SIZ, TIT, Enn/Fnn/Znn), NUL padding up to the reserved size, then the tables back to back: each
a parameter block (NCO, NLN, SUB, SIZ, properties Hnn/Vnn/Qnn, SRC, columns Snn/Fnn/Tnn/Pnn, sub-tables Gnn/Unn), its
rows and its sub-tables.
"""

from __future__ import annotations

import io
import pathlib
import struct
from dataclasses import dataclass
from typing import Any, Optional, Sequence

from opusbuilder import END, param_block

# Type words of the parts (none with bit 30 set but the history).
HISTORY = 0x40680000
ANNOTATION_TABLES = 0x00580000
QUALITY_TEST = 0x0060100F
QUANTITATIVE_AB = 0x0070100F
QUANTITATIVE_REFL = 0x0070300F
IMAGES = 0x00A00000
MULTI_EVALUATION = 0x0168100F
REFERENCE_VALUES = 0x01900000
INFO = 0x00080000
RELEASED = 0

# Column type codes: integers, float32, float64, a time stamp, a blob; a text of n bytes is TEXT + n.
INT32, INT32_PLAIN, FLOAT32, FLOAT64, STAMP, BLOB, TEXT = 3, 4, 5, 6, 7, 9, 1000

HEAD_OF_HISTORY = 100
# Instrument software ends a parameter block with END and its two zero 16-bit words.
FULL_END = END + bytes(4)


def parameters(records: Sequence[tuple[str, Any]]) -> bytes:
    return param_block(records, end=FULL_END)


# --- the history --------------------------------------------------------------

@dataclass
class Operation:
    name: str
    blocks: str = ""
    time: str = "2024/03/05 10:11:12 (GMT+1)"
    extra: Optional[str] = None
    details: Sequence[str] = ()
    command: Optional[str] = None

    def title(self) -> str:
        return "\t".join([self.name, self.blocks, self.time] + ([self.extra] if self.extra is not None else []))


@dataclass
class Session:
    operator: str = "Operator:Jane Doe"
    software: str = "Version 8.5"
    file: str = "sample.0"
    validation: str = "not validated"
    operations: Sequence[Operation] = ()

    def header(self) -> str:
        return "\t".join([self.operator, self.software, self.file, self.validation])


def history_block(sessions: Sequence[Session], *, encoding: str = "cp1252", gap: int = 1) -> bytes:
    """100 NULs, then NUL-terminated texts: a session's header, then per operation its title, detail lines and
    command line. Headers, titles and command lines start on whole words; detail lines follow after `gap` NULs."""
    out = bytearray(HEAD_OF_HISTORY)

    def put(text: str, aligned: bool) -> None:
        if aligned:
            out.extend(bytes(-len(out) % 4))
        elif len(out) > HEAD_OF_HISTORY:
            out.extend(bytes(gap - 1))
        out.extend(text.encode(encoding) + b"\0")

    for session in sessions:
        put(session.header(), True)
        for operation in session.operations:
            put(operation.title(), True)
            for line in operation.details:
                put(line, False)
            if operation.command is not None:
                put("\t\t\t" + operation.command, True)
    out.extend(bytes(-len(out) % 4))
    return bytes(out)


# --- table containers -------------------------------------------------------------

@dataclass
class Column:
    name: str
    type: int
    format: Optional[str] = None

    def width(self, values: Sequence[Any]) -> int:
        if self.type == FLOAT64:
            return 8
        if self.type > TEXT:
            return self.type - TEXT
        if self.type == BLOB:
            return max((len(value) for value in values), default=0)
        return 4


@dataclass
class Table:
    columns: Sequence[Column] = ()
    rows: Sequence[Sequence[Any]] = ()
    properties: Sequence[tuple[Any, ...]] = ()  # (label,), (label, value) or (label, value, format)
    subtables: Sequence[tuple[str, "Table"]] = ()
    extra: Sequence[tuple[str, Any]] = ()  # more records, placed last in the parameter block
    row_length: Optional[int] = None


def cell(column: Column, value: Any, width: int, encoding: str) -> bytes:
    if column.type == FLOAT32:
        return struct.pack("<f", value)
    if column.type == FLOAT64:
        return struct.pack("<d", value)
    if column.type in (INT32, INT32_PLAIN, STAMP):
        return struct.pack("<i", value)
    raw = value.encode(encoding) if isinstance(value, str) else bytes(value)
    return raw[:width].ljust(width, b"\0")


def table_bytes(table: Table, *, sub: bool = False, encoding: str = "cp1252") -> bytes:
    """A table: its parameter block, its rows, then its sub-tables (whose G offsets count from the table's start)."""
    widths = [column.width([row[c] for row in table.rows]) for c, column in enumerate(table.columns)]
    offsets = [sum(widths[:c]) for c in range(len(widths))]
    row_length = sum(widths) if table.row_length is None else table.row_length
    subtables = [table_bytes(subtable, sub=True, encoding=encoding) for _, subtable in table.subtables]

    def records(siz: int, firsts: Sequence[int]) -> list[tuple[str, Any]]:
        found: list[tuple[str, Any]] = [("NCO", len(table.columns)), ("NLN", len(table.rows))]
        if not sub:
            found.append(("SUB", len(table.subtables)))
        found.append(("SIZ", siz))
        for n, prop in enumerate(table.properties):
            found.append((f"H{n:02d}", _text(prop[0], encoding)))
            if len(prop) > 1:
                found.append((f"V{n:02d}", _text(prop[1], encoding)))
            if len(prop) > 2:
                found.append((f"Q{n:02d}", _text(prop[2], encoding)))
        found.append(("SRC", row_length))
        for c, column in enumerate(table.columns):
            found += [(f"S{c:02d}", _text(column.name, encoding)), (f"F{c:02d}", offsets[c]), (f"T{c:02d}", column.type)]
            if column.format is not None:
                found.append((f"P{c:02d}", _text(column.format, encoding)))
        for j, (title, _) in enumerate(table.subtables):
            found += [(f"G{j:02d}", firsts[j]), (f"U{j:02d}", _text(title, encoding))]
        return found + list(table.extra)

    siz = len(parameters(records(0, [0] * len(subtables))))
    rows = b"".join(b"".join(cell(column, row[c], widths[c], encoding) for c, column in enumerate(table.columns))
                    .ljust(row_length, b"\0")[:row_length] for row in table.rows)
    firsts, at = [], siz + len(rows)
    for body in subtables:
        firsts.append(at)
        at += len(body)
    return parameters(records(siz, firsts)) + rows + b"".join(subtables)


def _text(value: Any, encoding: str) -> Any:
    """Texts encoded as the file's code page; numbers (and bytes) as they are."""
    return value.encode(encoding) if isinstance(value, str) else value


def _directory(word: int, title: str, names: Sequence[str], offsets: Sequence[int], sizes: Sequence[int],
               encoding: str) -> bytes:
    def records(siz: int) -> list[tuple[str, Any]]:
        found: list[tuple[str, Any]] = [("BID", _signed(word)), ("NRP", len(names)), ("SIZ", siz),
                                        ("TIT", _text(title, encoding))]
        for k, name in enumerate(names):
            found += [(f"E{k:02d}", _text(name, encoding)), (f"F{k:02d}", offsets[k]), (f"Z{k:02d}", sizes[k])]
        return found

    return parameters(records(len(parameters(records(0)))))


def container_block(word: int, title: str, tables: Sequence[tuple[str, Table]], *, reserved: int = 2000,
                    relocated_after: Optional[int] = None, relocated_reserve: int = 4000,
                    encoding: str = "cp1252") -> bytes:
    """A container: head (12, reserved, 1), its directory at 12, padding to 12 + reserved, the tables.

    With `relocated_after=m`, the directory at 12 is a stale one listing the first m tables; the valid directory
    follows those tables and lists them all, with the others placed `relocated_reserve` bytes after it, as a writer
    that appended tables lays the container out (the head then names the moved directory)."""
    names = [name for name, _ in tables]
    bodies = [table_bytes(table, encoding=encoding) for _, table in tables]
    sizes = [len(body) for body in bodies]
    first = 12 + reserved
    if relocated_after is None:
        offsets = _contiguous(first, sizes)
        directory = _directory(word, title, names, offsets, sizes, encoding)
        assert len(directory) <= reserved, "the directory does not fit its reserved bytes"
        block = struct.pack("<iii", 12, reserved, 1) + directory.ljust(reserved, b"\0") + b"".join(bodies)
        return block.ljust(-(-len(block) // 4) * 4, b"\0")
    m = relocated_after
    early = _contiguous(first, sizes[:m])
    stale = _directory(word, title, names[:m], early, sizes[:m], encoding)
    moved_at = first + sum(sizes[:m])
    late = _contiguous(moved_at + relocated_reserve, sizes[m:])
    directory = _directory(word, title, names, early + late, sizes, encoding)
    block = (struct.pack("<iii", moved_at, relocated_reserve, 1) + stale.ljust(reserved, b"\0") + b"".join(bodies[:m])
             + directory.ljust(relocated_reserve, b"\0") + b"".join(bodies[m:]))
    return block.ljust(-(-len(block) // 4) * 4, b"\0")


def _contiguous(start: int, sizes: Sequence[int]) -> list[int]:
    offsets = []
    for size in sizes:
        offsets.append(start)
        start += size
    return offsets


def _signed(word: int) -> int:
    word &= 0xFFFFFFFF
    return word - (1 << 32) if word & 0x80000000 else word


# --- embedded images ------------------------------------------------------------------

REGULAR_TILE, OVERVIEW_TILE = 0x102, 0x10002
PIXEL_SIZE = (0.39951, 0.34259)
# A real 8 x 6 JPEG (a colour gradient), for builders that run without Pillow.
TILE_JPEG = (pathlib.Path(__file__).resolve().parent / "data" / "tile-8x6.jpg").read_bytes()


def jpeg(color: tuple[int, int, int], size: tuple[int, int] = (8, 6)) -> bytes:
    """A JPEG of one colour, made with Pillow (which the tests that decode images need anyway)."""
    from PIL import Image

    buffer = io.BytesIO()
    Image.new("RGB", size, color).save(buffer, "JPEG", quality=95)
    return buffer.getvalue()


def bitmap_blob(jpeg: bytes) -> bytes:
    """A cell of an image container: the 14-byte bitmap-file head, then the JPEG stream."""
    return b"BM" + struct.pack("<IHHI", 0, 0, 0, 54) + jpeg


def image_table(jpeg: bytes, *, image_id: int, position: tuple[float, float], size: tuple[int, int],
                kind: int = REGULAR_TILE, pixel_size: tuple[float, float] = PIXEL_SIZE,
                description: str = "Image", blob: Optional[bytes] = None) -> Table:
    """One tile: a table of one row and one blob column, with its properties."""
    data = bitmap_blob(jpeg) if blob is None else blob
    return Table(
        columns=[Column("", BLOB)], rows=[(data,)],
        properties=[(description,), ("Pos. X", float(position[0])), ("Pos. Y", float(position[1])),
                    ("Size X", float(size[0])), ("Size Y", float(size[1])), ("Bytes", len(data)),
                    ("PixelSizeX", pixel_size[0]), ("PixelSizeY", pixel_size[1]), ("Type", kind),
                    ("ImageID", image_id)])


def image_container(tiles: Sequence[Table], **options: Any) -> bytes:
    return container_block(IMAGES, "Images", [(f"Image {k}", tile) for k, tile in enumerate(tiles)], **options)


# --- ready-made reports ----------------------------------------------------------------

UNUSED = 1.001e-199
UNSET = 3.4028234663852886e38


def quality_test_report() -> bytes:
    columns = [Column("Test", TEXT + 26), Column("Minimum", FLOAT64), Column("Maximum", FLOAT64),
               Column("Measured", FLOAT64)]
    rows = [("Absorbance range", 0.1, 1.5, 0.82), ("Noise", UNUSED, 0.002, 0.0011),
            ("Water vapour", UNUSED, 0.05, 0.01)]
    table = Table(columns, rows, properties=[("Result", 1), ("Method", "C:\\methods\\qt.xpm")])
    return container_block(QUALITY_TEST, "Quality test", [("Quality test", table)])


def quantitative_report(word: int = QUANTITATIVE_AB) -> bytes:
    residuals = Table([Column("Component", TEXT + 12), Column("Residual", FLOAT32), Column("Outlier", TEXT + 2)],
                      [("Water", 0.25, "")], properties=[("F-probability limit", 0.95, "%.3f")])
    model = Table([Column("Component", TEXT + 12), Column("Prediction", FLOAT32, "%.5G"), Column("Unit", TEXT + 4)],
                  [("Water", 12.5, "µg")], properties=[("Model", "water.q2 2024/01/01")],
                  subtables=[("Residuals", residuals)])
    return container_block(word, "Water content", [("Water content", model)])



def reference_values() -> bytes:
    table = Table([Column("Component", TEXT + 14), Column("Unit", TEXT + 7), Column("Value", FLOAT32, "%.6G")],
                  [("Water", "%", 12.5), ("Fat", "g/kg", 3.25), ("Protein", "µg/ml", 0.5), ("Ash", "", 1.0)])
    return container_block(REFERENCE_VALUES, "Reference values", [("Reference values", table)])


def multi_evaluation_report() -> bytes:
    components = Table([Column("Method", TEXT + 12), Column("X start", FLOAT64), Column("Prediction", FLOAT32),
                        Column("Outside", INT32), Column("Alarm", FLOAT32)],
                       [("fat.q2", 4000.0, 1.5, 0, UNSET), ("water.q2", 7500.0, 12.25, 1, 20.0)])
    main = Table([Column("Type", TEXT + 3), Column("Sub-report", INT32), Column("Row", INT32),
                  Column("Changed", STAMP)], [("QNT", 0, 0, 0), ("QNT", 0, 1, 0)],
                 properties=[("Version", 1), ("Method path", "C:\\methods"), ("Method", "Fats"),
                             ("Date", "2024/03/05 10:11:12 (GMT+1)")], subtables=[("Components", components)])
    return container_block(MULTI_EVALUATION, "Multi evaluation", [("Multi evaluation", main)])


ANNOTATION_COLUMNS = ([Column(name, FLOAT32) for name in ("X", "Y", "CX", "CY")]
                      + [Column(name, INT32_PLAIN) for name in ("Type", "Fileindex", "Color", "ROP2", "Hidden",
                                                                "Group", "AryType")]
                      + [Column(name, FLOAT32) for name in ("AryX", "AryY", "AryCX", "AryCY")]
                      + [Column(name, INT32_PLAIN) for name in ("AryNX", "AryNY", "AryXPos", "AryYPos",
                                                                "AptExists")]
                      + [Column(name, FLOAT32) for name in ("AptCX", "AptCY", "AptAngle")] + [Column("Text", TEXT + 3)])


def annotation_tables() -> bytes:
    """One table per image: no rows, no columns at all, and a marker row."""
    marker = (16930.6, 27656.9, 0.0, 0.0, 0, 13, 255, 13, 0, 1, 0, 0.0, 0.0, 0.0, 0.0, 0, 0, 0, 0, 0, 0.0, 0.0,
              0.0, "12")
    tables = [("Image No: 1", Table(ANNOTATION_COLUMNS, [], properties=[("Count", 0)])),
              ("Image No: 2", Table((), [], properties=[("Count", 0)])),
              ("Image No: 3", Table(ANNOTATION_COLUMNS, [marker], properties=[("Count", 1)]))]
    return container_block(ANNOTATION_TABLES, "Annotations", tables)


def samples() -> dict[str, bytes]:
    """Files with every part, whole and damaged, for the tests that walk the whole API over many files."""
    from opusbuilder import OpusFile, spectrum_params

    tile = image_table(TILE_JPEG, image_id=1, position=(0.0, 0.0), size=(8, 6))
    history = history_block([Session(operations=[Operation("Save", "AB", command="SAV {}")])])

    def spectrum() -> OpusFile:
        return OpusFile().spectrum("AB", [1.0, 2.0, 3.0, 4.0], spectrum_params(4, 4000.0, 400.0))

    whole = spectrum().add(HISTORY, history).add(QUALITY_TEST, quality_test_report())
    whole.add(IMAGES, image_container([tile])).add(0x0000580F, bytes(16))
    damaged = spectrum().add(HISTORY, b"x" + history[1:]).add(QUALITY_TEST, quality_test_report()[:-300])
    damaged.add(IMAGES, image_container([image_table(TILE_JPEG[:-2], image_id=1, position=(0.0, 0.0),
                                                     size=(8, 6))]))
    return {"whole": whole.build(), "damaged": damaged.build()}
