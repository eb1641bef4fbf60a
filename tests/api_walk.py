"""Runs every public function on one file, the way a batch job over a folder of
files does, and tells documented failures from everything else.

Shared by the corpus replay, the leak, thread and property tests and by the
Python API fuzzer (fuzz/python_api.py).
"""

from __future__ import annotations

import re
import struct

import numpy as np

import lumira
import lumira_tools
from lumira_tools import _dask

# What damaged input may raise (NumPy's own errors derive from these too).
# An image map of no columns that gets a record divides by zero, as its grid
# placement is defined to. Anything else escaping a call is a fault of the module.
DOCUMENTED = (ValueError, KeyError, IndexError, TypeError, OverflowError, UnicodeDecodeError, struct.error, OSError,
              ZeroDivisionError)

# Asked of every file, listed or not.
FIXED_REQUESTS = [
    ("AB", "2D", "NONE"), ("AB", "2D", "1DER"), ("TR", "2D", "NDER"), ("SSC", "2D", "NONE"), ("RSC", "2D", "NONE"),
    ("AB", "3D", "NONE"), ("TRC", "3D", "NONE"),
]


def call(function, *args):
    """The function's result, or the documented exception it raised."""
    try:
        return function(*args)
    except DOCUMENTED as error:
        return error


def walk(path: str) -> list:
    """isOpusFile, listContents and getOpusData for every listed block and the fixed requests."""
    outcomes = [call(lumira.isOpusFile, path)]
    listed = call(lumira.listContents, path)
    outcomes.append(listed)
    requests = FIXED_REQUESTS + (list(listed) if isinstance(listed, list) else [])
    outcomes += [call(lumira.getOpusData, path, request) for request in requests]
    return outcomes


# What the companion package may raise for a file: one class for damage, the file system's errors, and the
# answers about what a file holds (a block it does not hold, a kind a lazy array does not take).
COMPANION_DOCUMENTED = (lumira_tools.DamagedFileError, lumira_tools.NotOpusFileError, OSError)
ANSWERS = re.compile(r"No data block exists in the file for: |no (block #\d+|\S+ block) in the file|the file holds no data "
                     r"block|.*: \S+ is a (single spectrum|multi-region)")
LAZY_KINDS = ("image map", "image map (traces)", "series", "series (traces)")
CHUNKS = 4  # chunks of one row read from each lazy block


def documented(error: BaseException) -> bool:
    """Whether the companion package documents `error` for a file."""
    return isinstance(error, COMPANION_DOCUMENTED) or (type(error) is ValueError and bool(ANSWERS.match(str(error))))


def companion_call(function, *args, **kwargs):
    """The function's result, or the exception the package documents for a file."""
    try:
        return function(*args, **kwargs)
    except Exception as error:
        if documented(error):
            return error
        raise


def lazy_rows(path: str, number: int) -> list:
    """The first rows of a 3D block, each read alone as a lazy array's chunk reads it."""
    rows = companion_call(_dask._rows, path, f"#{number}", scale=True, strict=True)
    if isinstance(rows, BaseException):
        return [rows]
    along = 2 if rows.kind == "image map (traces)" else 0
    return [companion_call(rows.__getitem__, (slice(None),) * along + (slice(k, k + 1),))
            for k in range(min(rows.shape[along], CHUNKS))]


def parts_walk(opened: lumira_tools.OpusFile) -> list:
    """The parts beside the data blocks, each as its reader gives it or the DamagedFileError it raises."""

    def history():
        found = opened.history
        return None if found is None else [found.text, [(op.name, op.time, op.command) for op in found.operations]]

    def report(found):
        return [found.kind, found.title, [(table.name, table.rows, [sub.rows for sub in table.subtables])
                                          for table in found.tables]]

    def image(found):
        return [found.id, found.size, found.jpeg, [tile.jpeg for tile in found.tiles]]

    outcomes = [companion_call(history)]
    reports = companion_call(lambda: opened.reports)
    outcomes += [companion_call(report, found) for found in reports] if isinstance(reports, list) else [reports]
    images = companion_call(lambda: opened.images)
    outcomes += [companion_call(image, found) for found in images] if isinstance(images, list) else [images]
    outcomes += [companion_call(found.read_bytes) for found in opened.other]
    return outcomes


def companion_walk(path: str) -> list:
    """read_file with and without values, strict and not, and the first rows of every lazy 3D block; a block's
    error must be a DamagedFileError, as batch code catches it."""
    outcomes = []
    for data in (True, False):
        for strict in (True, False):
            opened = companion_call(lumira_tools.read_file, path, data=data, strict=strict)
            if isinstance(opened, BaseException):
                outcomes.append(opened)
                continue
            for block in opened:
                if block.error is not None and not isinstance(block.error, lumira_tools.DamagedFileError):
                    raise block.error
                outcomes.append([block.name, block.kind, block.shape, block.parameters, block.error,
                                 block.result])
                if not data and strict and block.error is None and block.kind in LAZY_KINDS:
                    outcomes += lazy_rows(path, block.number)
            if data and strict:
                outcomes += parts_walk(opened)
    return outcomes


def summary(outcome):
    """A comparable form of an outcome: exceptions by type and text, results by content
    (the regions of a multi-region map too)."""
    if isinstance(outcome, BaseException):
        return (type(outcome).__name__, str(outcome))
    if isinstance(outcome, (lumira.BaseDataReturn, lumira.Region)):
        return (type(outcome).__name__, str(outcome), {name: summary(value) for name, value in vars(outcome).items()})
    if isinstance(outcome, np.ndarray):
        return (outcome.dtype.str, outcome.shape, outcome.tobytes())
    if isinstance(outcome, list):
        return [summary(item) for item in outcome]
    return repr(outcome)
