"""Parameters of many files as columns: one array per code, numbers as numbers (NaN where a file lacks the code),
texts as texts ("" where it lacks it), the same for `stack`'s coordinates and `metadata`'s columns."""

from __future__ import annotations

from datetime import datetime
from typing import Any, Iterable, Mapping, Optional, Sequence, Union

import numpy as np

from ._parameters import flat_parameters, flat_values

Value = Union[int, float, str, None]


def parameters_of(block: Any, codes: Optional[Iterable[str]] = None) -> Mapping[str, Any]:
    """The parameters of a file's block that columns are made of (all, or those of `codes`): from its groups, the
    settings of its own measurement, a code whose kinds disagree written `kind.CODE` (see `flat_parameters`)."""
    return flat_parameters(block) if codes is None else flat_values(block, codes)


def codes_asked(params: Optional[Iterable[str]]) -> list[str]:
    """The parameter codes asked for, upper-cased and each once; a single text is one code, not its letters."""
    if params is None:
        return []
    if isinstance(params, str):
        params = [params]
    codes: dict[str, None] = {}
    for code in params:
        if not isinstance(code, str) or not code.strip():
            raise TypeError(f"params are parameter codes such as 'RES', not {code!r}")
        codes[code.strip().upper()] = None
    return list(codes)


def column(values: Sequence[Value]) -> Any:
    """One parameter's values as an array: int64 when every file has it as an integer, float64 with NaN where a
    file lacks a number, else texts with "" where a file lacks it (numbers among texts written as text)."""
    present = [value for value in values if value is not None]
    numbers = all(isinstance(value, (int, float)) and not isinstance(value, bool) for value in present)
    if numbers and present and len(present) == len(values) and all(isinstance(value, int) for value in present):
        return np.array(values, np.int64)
    if numbers:
        return np.array([np.nan if value is None else float(value) for value in values], np.float64)
    return texts(["" if value is None else str(value) for value in values])


def texts(values: Sequence[str]) -> Any:
    """Texts as an array of str objects: NetCDF and Zarr both store those as texts of any length (a fixed-width
    NumPy unicode array is a type Zarr's format does not specify)."""
    array = np.empty(len(values), object)
    array[:] = values
    return array


def utc_instants(moments: Iterable[Optional[datetime]]) -> Any:
    """Timezone-aware UTC datetimes as datetime64[ns] holding UTC (NumPy, xarray and NetCDF carry no zone), NaT
    where a time is unknown."""
    return np.array([np.datetime64("NaT", "ns") if moment is None else
                     np.datetime64(moment.replace(tzinfo=None), "ns") for moment in moments], "datetime64[ns]")
