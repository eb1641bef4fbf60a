"""Runs every public function on one file, the way a batch job over a folder of
files does, and tells documented failures from everything else.

Shared by the corpus replay, the leak, thread and property tests and by the
Python API fuzzer (fuzz/python_api.py).
"""

from __future__ import annotations

import struct

import numpy as np

import lumira

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
