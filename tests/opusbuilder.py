"""Builds OPUS files byte by byte, so each test writes exactly the file it needs.

A file is a 24-byte header, a directory of 12-byte entries (optionally an
extended directory of 32-byte entries behind a marker entry) and the blocks.
Every layout here is written from the file format, independently of the
reader under test.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Iterable, Sequence, Union

MAGIC = bytes([0x0A, 0x0A, 0xFE, 0xFE])

# paramType codes
DATA, DATA_PARAMS, INSTRUMENT, ACQUISITION, FT, SAMPLE_ORIGIN = 0, 1, 2, 3, 4, 10
# extendType codes
PLAIN, THREE_D, ANNOTATION, EXTENDED_DIRECTORY = 0, 10, 11, 64

DATA_TYPES = {
    "SSC": (1, 1), "RSC": (1, 2), "SIFG": (2, 1), "RIFG": (2, 2), "SPH": (3, 1), "RPH": (3, 2),
    "AB": (4, 0), "TR": (5, 0), "KM": (6, 0), "TRC": (7, 0), "RAM": (10, 0), "EMIS": (11, 0),
    "REFL": (12, 0), "SPOW": (14, 1), "RPOW": (14, 2), "LREFL": (15, 0), "ATR": (16, 0),
    "PAS": (17, 0), "TRARI": (18, 0), "ABARI": (19, 0),
}
DERIVATIVES = {"NONE": 0, "1DER": 1, "2DER": 2, "NDER": 3, "3DER": 3}


def block_type(*, complex_=0, sample=0, param=0, data=0, deriv=0, extend=0) -> int:
    """Packs the six codes into a block type word."""
    return (complex_ & 3) | (sample & 3) << 2 | (param & 63) << 4 | (data & 127) << 10 | (deriv & 3) << 17 | (extend & 127) << 19


def named_type(name: str, *, param: int, dimension: str = "2D", deriv: str = "NONE", sample=None) -> int:
    """The block type word of a named data block (or its parameter block)."""
    data, default_sample = DATA_TYPES[name]
    return block_type(sample=default_sample if sample is None else sample, param=param, data=data,
                      deriv=DERIVATIVES[deriv], extend=THREE_D if dimension == "3D" else PLAIN)


# --- parameter blocks -------------------------------------------------------

@dataclass
class Raw:
    """Bytes placed as they are, for records no well-formed writer makes."""
    data: bytes


def _name(name: Union[str, bytes]) -> bytes:
    raw = name.encode("latin-1") if isinstance(name, str) else name
    return raw.ljust(4, b"\0")[:4]


def int_record(name, value: int, size: int = 2) -> bytes:
    return _name(name) + struct.pack("<hhi", 0, size, value)


def float_record(name, value: float, size: int = 4) -> bytes:
    return _name(name) + struct.pack("<hhd", 1, size, value)


def text_record(name, value: Union[str, bytes], *, type_code: int = 2, size: int | None = None) -> bytes:
    raw = value.encode("latin-1") if isinstance(value, str) else value
    if size is None:
        size = (len(raw) + 2) // 2  # room for a NUL, in 16-bit words
    return _name(name) + struct.pack("<hh", type_code, size) + raw.ljust(2 * max(size, 0), b"\0")[: 2 * max(size, 0)]


def record(name, value) -> bytes:
    if isinstance(value, Raw):
        return value.data
    if isinstance(value, bool) or isinstance(value, int):
        return int_record(name, int(value))
    if isinstance(value, float):
        return float_record(name, value)
    return text_record(name, value)


END = b"END\0"


def param_block(params: Union[dict, Iterable], *, end: bytes = END) -> bytes:
    """A parameter block: one record per (name, value), then the END record.

    ints are type 0, floats type 1, str/bytes type 2; a Raw value is placed as is.
    """
    items = params.items() if isinstance(params, dict) else params
    return b"".join(record(name, value) for name, value in items) + end


# --- 3D data blocks ----------------------------------------------------------

INFO_Z_OFFSET = 136
INFO_LABEL_OFFSET = 152


# The fixed fields an info record starts with: name -> (offset, struct format).
INFO_FIELDS = {
    "NSS": (0, "<i"), "NSR": (4, "<i"), "NSN": (8, "<i"), "NPT": (12, "<i"), "GFW": (16, "<i"), "GBW": (20, "<i"),
    "BFW": (24, "<i"), "BBW": (28, "<i"), "HFL": (32, "<d"), "LFL": (40, "<d"), "HFF": (48, "<d"),
    "LFF": (56, "<d"), "filter_size": (64, "<i"), "filter_type": (68, "<i"), "FXV": (72, "<d"), "LXV": (80, "<d"),
    "MNY": (88, "<d"), "MXY": (96, "<d"), "CSF": (104, "<d"), "PKA": (112, "<d"), "PRA": (120, "<d"),
    "PKL": (128, "<i"), "PRL": (132, "<i"), "SRT": (136, "<d"), "ERT": (144, "<d"),
}


def info_record(size: int, *, z: float = 0.0, label: Union[str, bytes] = b"", fields: dict | None = None) -> bytes:
    """An info record with the z value (or start time) at 136, the label from 152, and `fields` (names of
    INFO_FIELDS) where the record has room for them; an SRT among them replaces z."""
    raw = bytearray(size)
    if size >= INFO_Z_OFFSET + 8:
        raw[INFO_Z_OFFSET:INFO_Z_OFFSET + 8] = struct.pack("<d", z)
    for name, value in (fields or {}).items():
        offset, layout = INFO_FIELDS[name]
        packed = struct.pack(layout, value)
        raw[offset:offset + len(packed)] = packed[:max(0, size - offset)]
    text = label.encode("latin-1") if isinstance(label, str) else label
    room = size - INFO_LABEL_OFFSET
    if room > 0:
        raw[INFO_LABEL_OFFSET:INFO_LABEL_OFFSET + min(room, len(text))] = text[:room]
    return bytes(raw)


@dataclass
class Record3D:
    values: Sequence[float]
    z: float = 0.0
    label: Union[str, bytes] = b""
    info: dict | None = None  # fixed info fields (see INFO_FIELDS)


def data_block_3d(records: Sequence[Record3D], *, store_table: Sequence[Sequence[int]] | None = None,
                  info_size: int = 160, block_size: int | None = None, version: int = 1,
                  gaps: dict | None = None, block_offset: int | None = None,
                  number_entries: int | None = None) -> bytes:
    """A 3D data block: head, store table, then the records in store-table order.

    Without a store table the records are numbered 1..n in one run. `gaps`
    maps the index of a gap entry in the store table to the bytes to place
    there (zeros of the entry's length by default).
    """
    if store_table is None:
        store_table = [[1, len(records)]] if records else []
    npt = len(records[0].values) if records else 0
    if block_size is None:
        block_size = 4 * npt
    table = b"".join(struct.pack("<ii", first, second) for first, second in store_table)
    head_size = 24 + len(table)
    if block_offset is None:
        block_offset = head_size
    head = struct.pack("<iiiiii", version, len(records), block_offset, block_size, info_size,
                       len(store_table) if number_entries is None else number_entries)
    body = bytearray()
    remaining = iter(records)
    for index, (first, second) in enumerate(store_table):
        if first == -1:
            filler = (gaps or {}).get(index, bytes(second))
            body += filler
            continue
        for _ in range(first, second + 1):
            rec = next(remaining)
            data = struct.pack(f"<{len(rec.values)}f", *rec.values)
            body += data.ljust(block_size, b"\0")
            body += info_record(info_size, z=rec.z, label=rec.label, fields=rec.info)
    padding = bytes(max(0, block_offset - head_size))
    return head + table + padding + bytes(body)


def data_block_3d_array(values, *, info_size: int = 160, z=None) -> bytes:
    """A 3D data block of records 1..n from a (records, points) float32 array,
    built with NumPy, for files too large to build value by value."""
    import numpy as np

    values = np.asarray(values, dtype="<f4")
    count, npt = values.shape
    head = struct.pack("<iiiiii", 1, count, 32, 4 * npt, info_size, 1) + struct.pack("<ii", 1, count)
    records = np.zeros((count, 4 * npt + info_size), dtype=np.uint8)
    records[:, : 4 * npt] = values.view(np.uint8).reshape(count, 4 * npt)
    if z is not None and info_size >= INFO_Z_OFFSET + 8:
        zs = np.asarray(z, dtype="<f8").view(np.uint8).reshape(count, 8)
        records[:, 4 * npt + INFO_Z_OFFSET: 4 * npt + INFO_Z_OFFSET + 8] = zs
    return head + records.tobytes()


# --- annotation blocks ---------------------------------------------------------

INT_COLUMN, FLOAT_COLUMN, TEXT_COLUMN = 4, 5, 1011


@dataclass
class Column:
    name: str
    type: int
    offset: int | None = None  # within the row; defaults to packed order


@dataclass
class Table:
    columns: Sequence[Column]
    rows: Sequence[Sequence]
    row_length: int | None = None
    extra_params: dict = field(default_factory=dict)


def _column_offsets(table: Table, text_width: int) -> list[int]:
    offsets, at = [], 0
    for column in table.columns:
        offsets.append(at if column.offset is None else column.offset)
        at += text_width if column.type == TEXT_COLUMN else 4
    return offsets


def annotation_block(tables: Sequence[Table], *, text_width: int = 16, leading: bytes = bytes(12)) -> bytes:
    """An annotation block: 12 bytes, a directory parameter block, then per
    table a parameter block followed by its rows."""

    def table_bytes(table: Table) -> bytes:
        offsets = _column_offsets(table, text_width)
        packed = sum(text_width if c.type == TEXT_COLUMN else 4 for c in table.columns)
        row_length = table.row_length if table.row_length is not None else packed
        params: list = [("NCO", len(table.columns)), ("NLN", len(table.rows)), ("SRC", row_length)]
        for m, (column, offset) in enumerate(zip(table.columns, offsets)):
            params += [(f"S{m:02d}", column.name), (f"F{m:02d}", offset), (f"T{m:02d}", column.type)]
        params += list(table.extra_params.items())
        # SIZ: distance from the parameter block's start to the first row.
        without_siz = param_block(params)
        siz = len(without_siz) + 12
        block = param_block([("SIZ", siz)] + params)
        rows = bytearray()
        for values in table.rows:
            row = bytearray(row_length)
            at = 0
            for column, value in zip(table.columns, values):
                if column.type == FLOAT_COLUMN:
                    piece = struct.pack("<f", value)
                elif column.type == TEXT_COLUMN:
                    text = value.encode("latin-1") if isinstance(value, str) else value
                    piece = text[:text_width].ljust(text_width, b"\0")
                else:  # integers, and codes no reader knows
                    piece = struct.pack("<i", value)
                row[at:at + len(piece)] = piece[: max(0, row_length - at)]
                at += len(piece)
            rows += row[:row_length]
        return block + bytes(rows)

    bodies = [table_bytes(table) for table in tables]
    # Directory block size does not depend on the offsets' values, only their count.
    directory_size = len(param_block([("NRP", len(tables))] + [(f"F{k:02d}", 0) for k in range(len(tables))]))
    at = 12 + directory_size
    offsets = []
    for body in bodies:
        offsets.append(at)
        at += len(body)
    directory = param_block([("NRP", len(tables))] + [(f"F{k:02d}", off) for k, off in enumerate(offsets)])
    return leading[:12].ljust(12, b"\0") + directory + b"".join(bodies)


# --- the file ---------------------------------------------------------------

@dataclass
class Block:
    word: int
    payload: bytes
    size_in_words: int | None = None
    offset: int | None = None  # forced byte offset in the directory entry
    extended: bool = False      # listed in the 64-bit extended directory


class OpusFile:
    """Collects blocks and lays them out behind the header and directory."""

    def __init__(self, magic: bytes = MAGIC, version: float = 920622.0):
        self.magic = magic
        self.version = version
        self.blocks: list[Block] = []

    def add(self, word: int, payload: bytes = b"", **options) -> "OpusFile":
        self.blocks.append(Block(word, payload, **options))
        return self

    def params(self, word: int, params, **options) -> "OpusFile":
        return self.add(word, param_block(params), **options)

    def spectrum(self, name: str, values: Sequence[float], params: dict, *, deriv: str = "NONE",
                 sample=None, dtype: str = "f") -> "OpusFile":
        """A 2D data block with its data parameter block."""
        self.add(named_type(name, param=DATA, deriv=deriv, sample=sample),
                 struct.pack(f"<{len(values)}{dtype}", *values))
        return self.params(named_type(name, param=DATA_PARAMS, deriv=deriv, sample=sample), params)

    def build(self, *, dir_size: int | None = None, offset_to_directory: int | None = None,
              max_dir_size: int | None = None, capacity: int = 0) -> bytes:
        """The file's bytes; `capacity` reserves room for that many directory entries (instrument files: 40)."""
        first = [b for b in self.blocks if not b.extended]
        extended = [b for b in self.blocks if b.extended]
        entries = len(first) + (1 if extended else 0)
        directory_at = 24 if offset_to_directory is None else offset_to_directory
        at = 24 + 12 * max(entries, capacity)
        extended_at = None
        if extended:
            extended_at = at
            at += 16 + 32 * len(extended)
        placed = []
        for block in self.blocks:
            if block.offset is None:
                placed.append(at)
                at += len(block.payload)
            else:
                placed.append(block.offset)
        image = bytearray(at)
        image[0:4] = self.magic
        image[4:24] = struct.pack("<diii", self.version, directory_at,
                                  max(entries, capacity) if max_dir_size is None else max_dir_size,
                                  entries if dir_size is None else dir_size)

        def size_words(block):
            return block.size_in_words if block.size_in_words is not None else (len(block.payload) + 3) // 4

        rows = bytearray()
        for block, offset in zip(self.blocks, placed):
            if not block.extended:
                rows += struct.pack("<iii", _signed32(block.word), size_words(block), offset)
        if extended:
            rows += struct.pack("<iii", block_type(extend=EXTENDED_DIRECTORY), 0, extended_at)
            table = struct.pack("<qq", len(extended), 0)
            for block, offset in zip(self.blocks, placed):
                if block.extended:
                    table += struct.pack("<qqqq", block.word, size_words(block), offset, 0)
            image[extended_at:extended_at + len(table)] = table
        if offset_to_directory is None:
            image[24:24 + len(rows)] = rows
        else:
            end = directory_at + len(rows)
            if end > len(image):
                image.extend(bytes(end - len(image)))
            image[directory_at:end] = rows
        for block, offset in zip(self.blocks, placed):
            if block.offset is None:
                image[offset:offset + len(block.payload)] = block.payload
        return bytes(image)

    def write(self, path, **options) -> str:
        data = self.build(**options)
        with open(path, "wb") as handle:
            handle.write(data)
        return str(path)


def _signed32(word: int) -> int:
    word &= 0xFFFFFFFF
    return word - (1 << 32) if word & 0x80000000 else word


def header(*, magic: bytes = MAGIC, version: float = 1.0, offset_to_directory: int = 24,
           max_dir_size: int = 0, dir_size: int = 0) -> bytes:
    """A bare header, for files whose directory is written by hand."""
    return magic + struct.pack("<diii", version, offset_to_directory, max_dir_size, dir_size)


def directory_entry(word: int, size_in_words: int = 0, offset: int = 0) -> bytes:
    return struct.pack("<iii", _signed32(word), size_in_words, offset)


def spectrum_params(npt: int, fxv: float, lxv: float, *, mny: float = 0.0, mxy: float = 1.0, **more) -> dict:
    """The usual data parameters of a spectrum."""
    params = {"DPF": 1, "NPT": npt, "FXV": fxv, "LXV": lxv, "CSF": 1.0, "MXY": mxy, "MNY": mny, "DXU": "WN"}
    params.update(more)
    return params
