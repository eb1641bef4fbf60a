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
# Anything else escaping a call is a fault of the module.
DOCUMENTED = (ValueError, KeyError, IndexError, TypeError, OverflowError, UnicodeDecodeError, struct.error, OSError)

# Asked of every file, listed or not.
FIXED_REQUESTS = [
    ("AB", "2D", "NONE"), ("AB", "2D", "1DER"), ("TR", "2D", "NDER"), ("SSC", "2D", "NONE"), ("RSC", "2D", "NONE"),
    ("AB", "3D", "NONE"), ("TRC", "3D", "NONE"),
]


def call(function, *args):
    """The function's result, or the documented exception it raised."""
    try:
        return function(*args)
    except NotImplementedError as error:
        # 3D blocks are not read yet; that is the only place this may come from.
        if function is lumira.getOpusData and str(args[1][1]).upper() == "3D":
            return error
        raise
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
    """A comparable form of an outcome: exceptions by type and text, results by content."""
    if isinstance(outcome, BaseException):
        return (type(outcome).__name__, str(outcome))
    if isinstance(outcome, lumira.BaseDataReturn):
        return (type(outcome).__name__, outcome.description,
                {name: (value.dtype.str, value.shape, value.tobytes()) if isinstance(value, np.ndarray) else repr(value)
                 for name, value in vars(outcome).items()})
    return repr(outcome)
