"""Single spectra as JCAMP-DX 5.01 text: one spectrum a file, or several as the blocks of one compound file.

The ordinates are written as integers times YFACTOR, a power of ten chosen so that the largest value takes nine
digits: the values read back within half of YFACTOR, which is finer than float32 holds the largest of them. The
abscissae follow from FIRSTX, LASTX and NPOINTS, written as the shortest texts of the axis's float64 ends, so a
reader that spaces NPOINTS evenly between them gets the file's axis back exactly.

Compressed tables are in DIFDUP form: each line starts with an abscissa and an absolute ordinate (SQZ), then the
differences to the previous ordinate (DIF), runs of one difference counted (DUP). Each line repeats the last
ordinate of the line before as its first (the Y-check), and a last line holds the last ordinate alone again.
"""

from __future__ import annotations

import math
from datetime import datetime
from typing import Any, Callable, Iterable, Iterator, Mapping, Optional, Sequence

import numpy as np

import lumira

from ._axes import axis_of
from ._read import block_text, kind_of
from ._time import acquisition_time

LINE_WIDTH = 80
# The largest ordinate takes nine digits: more than float32's precision, and differences fit in 32 bits.
LARGEST_ORDINATE = 1_000_000_000
# Parameters kept as user labels (##$CODE=value) where the block has them: how the spectrum was measured.
PARAMETERS = ("RES", "NSS", "NSR", "APF", "PHZ", "ZFF", "LWN", "HFL", "LFL", "VEL", "INS", "BMS", "SRC", "DTC",
              "APT", "SFM", "EXP", "CNM", "CPY", "LCT", "DAT", "TIM")

_XUNITS = {"WN": "1/CM", "MI": "MICROMETERS", "NM": "NANOMETERS", "SEC": "SECONDS", "MIN": "MINUTES"}
_YUNITS = {"AB": "ABSORBANCE", "ATR": "ABSORBANCE", "TR": "TRANSMITTANCE", "REFL": "REFLECTANCE",
           "KM": "KUBELKA-MUNK"}
_DATA_TYPES = {"RAM": "RAMAN SPECTRUM", "SIFG": "INFRARED INTERFEROGRAM", "RIFG": "INFRARED INTERFEROGRAM"}

_SQZ_POSITIVE = "@ABCDEFGHI"
_SQZ_NEGATIVE = "@abcdefghi"
_DIF_POSITIVE = "%JKLMNOPQR"
_DIF_NEGATIVE = "%jklmnopqr"
_DUP = "?STUVWXYZs"  # index 2 .. 9: a value that occurs that many times in a row
# Some readers take a DUP count as one character: longer runs are written as several counts of nine at most.
_LONGEST_RUN = 9


class JcampError(ValueError):
    """The result cannot be written as JCAMP-DX."""


def check(result: lumira.BaseDataReturn) -> lumira.SingleDataReturn:
    """The result as the spectrum it is, or JcampError for what a JCAMP-DX spectrum cannot hold."""
    if not isinstance(result, lumira.SingleDataReturn):
        raise JcampError(f"JCAMP-DX holds single spectra (this block: {kind_of(result)}): export it to .npz or .nc")
    x, y = np.asarray(result.x, np.float64), np.asarray(result.y)
    if y.size != x.size:
        raise JcampError(f"the spectrum has {y.size} values for {x.size} axis points")
    if x.size == 0:
        raise JcampError("the spectrum has no points")
    if not np.isfinite(x).all():
        raise JcampError(f"its x axis is not finite ({x[0]} .. {x[-1]})")
    bad = int(np.count_nonzero(~np.isfinite(y)))
    if bad:
        raise JcampError(f"the spectrum holds {bad:,} values that are not finite (NaN or infinite), which "
                         "JCAMP-DX cannot write")
    if x.size > 1:
        step = (x[-1] - x[0]) / (x.size - 1)
        if step == 0 or not np.allclose(np.diff(x), step, rtol=1e-6, atol=0):
            raise JcampError("its x axis is not evenly spaced, as a JCAMP-DX table of ordinates needs")
    return result


def spectrum_lines(found: lumira.BaseDataReturn, *, title: Optional[str] = None, compressed: bool = True,
                   parameters: Sequence[str] = PARAMETERS, block_id: Optional[int] = None,
                   values: Optional[Mapping[str, Any]] = None) -> Iterator[str]:
    """The lines of one JCAMP-DX block holding the spectrum, from ##TITLE to ##END. The labels take their values
    from `values` (default: the result's own parameters)."""
    result = check(found)
    params = result.parameters if values is None else values
    x, y = np.asarray(result.x, np.float64), np.asarray(result.y, np.float64)
    y_exponent = _exponent(float(np.abs(y).max()))
    ordinates = _scaled(y, y_exponent)
    x_exponent = 0 if _whole(x) else _exponent(float(np.abs(x).max()))
    code = axis_of(params, False).code
    name = title if title is not None else _text(params.get("SNM", "")) or block_text(
        (result.dataType, result.dimension, result.derivative))
    yield f"##TITLE={_text(name)}"
    yield "##JCAMP-DX=5.01"
    yield f"##DATA TYPE={_DATA_TYPES.get(result.dataType, 'INFRARED SPECTRUM')}"
    yield "##DATA CLASS=XYDATA"
    if block_id is not None:
        yield f"##BLOCK_ID={block_id}"
    yield f"##ORIGIN={', '.join(t for t in (_text(params.get(k, '')) for k in ('CPY', 'LCT')) if t)}"
    yield f"##OWNER={_text(params.get('CNM', ''))}"
    measured = acquisition_time(params)
    if measured is not None:
        yield f"##LONGDATE={_longdate(measured)}"
    if "INS" in params:
        yield f"##SPECTROMETER/DATA SYSTEM={_text(params['INS'])}"
    if isinstance(params.get("RES"), (int, float)):
        yield f"##RESOLUTION={_number(params['RES'])}"
    yield f"##XUNITS={_XUNITS.get(code, 'ARBITRARY UNITS')}"
    yield f"##YUNITS={_YUNITS.get(result.dataType, 'ARBITRARY UNITS')}"
    yield f"##XFACTOR=1E{x_exponent}"
    yield f"##YFACTOR=1E{y_exponent}"
    yield f"##FIRSTX={_number(x[0])}"
    yield f"##LASTX={_number(x[-1])}"
    if x.size > 1:
        yield f"##DELTAX={_number((x[-1] - x[0]) / (x.size - 1))}"
    yield f"##MAXY={_actual(int(ordinates.max()), y_exponent)}"
    yield f"##MINY={_actual(int(ordinates.min()), y_exponent)}"
    yield f"##NPOINTS={x.size}"
    yield f"##FIRSTY={_actual(int(ordinates[0]), y_exponent)}"
    yield f"##$BLOCK={block_text((result.dataType, result.dimension, result.derivative))}"
    for key in parameters:
        if key in params:
            yield f"##${key}={_value(params[key])}"
    yield "##XYDATA=(X++(Y..Y))"
    def start(index: int) -> str:  # only the abscissae that start lines are written
        return str(int(_scaled(x[index], x_exponent)))

    yield from (_difdup_lines if compressed else _plain_lines)(start, ordinates.tolist())
    yield "##END="


def compound_lines(blocks: Iterable[tuple[str, lumira.BaseDataReturn, Mapping[str, Any]]], *, title: str,
                   compressed: bool = True, parameters: Sequence[str] = PARAMETERS) -> Iterator[str]:
    """A compound (LINK) file: one block per (title, spectrum, parameter values) in order, under ##BLOCKS."""
    pairs = list(blocks)
    for _, result, _ in pairs:
        check(result)
    yield f"##TITLE={_text(title)}"
    yield "##JCAMP-DX=5.01"
    yield "##DATA TYPE=LINK"
    yield f"##BLOCKS={len(pairs)}"
    for number, (name, result, values) in enumerate(pairs, 1):
        yield from spectrum_lines(result, title=name, compressed=compressed, parameters=parameters,
                                  block_id=number, values=values)
    yield "##END="


# --- numbers -------------------------------------------------------------------------------------------------


def _exponent(largest: float) -> int:
    """The power of ten that brings `largest` below LARGEST_ORDINATE with the most digits left."""
    if largest == 0:
        return 0
    exponent = math.ceil(math.log10(largest / LARGEST_ORDINATE))
    while largest * 10.0 ** -exponent >= LARGEST_ORDINATE:  # log10 rounds near powers of ten
        exponent += 1
    return exponent


def _scaled(values: Any, exponent: int) -> Any:
    # Multiplying by 10**k is exact for k >= 0 and closer than dividing by the inexact 10**-k otherwise.
    scaled = values * 10.0 ** -exponent if exponent <= 0 else values / 10.0 ** exponent
    return np.rint(scaled).astype(np.int64)


def _whole(x: Any) -> bool:
    return bool(np.all(x == np.rint(x)) and np.abs(x).max() < LARGEST_ORDINATE)


def _actual(ordinate: int, exponent: int) -> str:
    return _number(ordinate * 10.0 ** exponent) if exponent > 0 else _number(ordinate / 10.0 ** -exponent)


def _number(value: Any) -> str:
    number = float(value)
    return str(int(number)) if number.is_integer() and abs(number) < 1e15 else repr(number)


def _value(value: object) -> str:
    return _number(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else _text(value)


def _text(value: object) -> str:
    """A label's value on one line: line breaks and other control characters would start a label or a data line
    of their own, and $$ starts a comment, so they become blanks."""
    text = "".join(" " if ord(c) < 32 or ord(c) == 127 else c for c in str(value))
    while "$$" in text:
        text = text.replace("$$", "$ $")
    return text.strip()


def _longdate(moment: datetime) -> str:
    """YYYY/MM/DD HH:MM:SS[.fraction] +0000: the instant in UTC."""
    fraction = f".{moment.microsecond:06d}".rstrip("0") if moment.microsecond else ""
    return f"{moment:%Y/%m/%d %H:%M:%S}{fraction} +0000"


# --- the table of ordinates -------------------------------------------------------------------------------------


def _sqz(value: int) -> str:
    digits = str(abs(value))
    return (_SQZ_NEGATIVE if value < 0 else _SQZ_POSITIVE)[int(digits[0])] + digits[1:]


def _dif(value: int) -> str:
    digits = str(abs(value))
    return (_DIF_NEGATIVE if value < 0 else _DIF_POSITIVE)[int(digits[0])] + digits[1:]


def _difdup_lines(start: Callable[[int], str], values: list[int]) -> Iterator[str]:
    count = len(values)
    first = 0
    while True:
        line = f"{start(first)} {_sqz(values[first])}"
        last = first
        run_token, run = "", 0  # the difference written last and how often in a row
        while last + 1 < count:
            token = _dif(values[last + 1] - values[last])
            if token == run_token and run < _LONGEST_RUN:
                grown = line[:len(line) - (run > 1)] + _DUP[run + 1]
            else:
                grown = line + token
            if len(grown) > LINE_WIDTH:
                break
            run_token, run = (token, run + 1) if token == run_token and run < _LONGEST_RUN else (token, 1)
            line = grown
            last += 1
        yield line
        if last + 1 >= count:
            if last > first:  # the last ordinate once more, as the check of the last line's differences
                yield f"{start(last)} {_sqz(values[last])}"
            return
        first = last


def _plain_lines(start: Callable[[int], str], values: list[int]) -> Iterator[str]:
    first = 0
    while first < len(values):
        line = start(first)
        last = first
        while last < len(values) and len(line) + 1 + len(str(values[last])) <= LINE_WIDTH:
            line += f" {values[last]}"
            last += 1
        yield line
        first = last


def write(path: str, lines: Iterable[str]) -> None:
    """The lines, each ended CR LF, as they come: a spectrum's text is never held whole."""
    with open(path, "w", encoding="utf-8", newline="") as out:
        out.writelines(f"{line}\r\n" for line in lines)


def parameters_of(chosen: Optional[Iterable[str]]) -> Sequence[str]:
    return PARAMETERS if chosen is None else tuple(str(code) for code in chosen)
