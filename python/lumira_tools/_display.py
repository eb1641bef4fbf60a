"""How files, blocks and results read in a console and a notebook: one line each (block, kind, shape, x range,
sample name), and in Jupyter a table of blocks with a small drawing of each spectrum.

The extension's result classes keep the repr the module gives them (their fixed description); in IPython they
get formatters of their own instead, registered when `lumira_tools` is imported there.
"""

from __future__ import annotations

import html
import math
import os
import sys
from typing import Any, Iterable, Mapping, Optional, Sequence

import numpy as np

MAX_ROWS = 12      # blocks listed in a file's repr; the rest are counted
SPARK_POINTS = 160  # points of a drawn spectrum (it is a thumbnail)


def _number(value: float) -> str:
    return f"{value:g}"


def x_text(parameters: Mapping[str, Any], data_type: str = "") -> str:
    """'3999.6 .. 400.2 cm-1' from FXV, LXV and DXU (of a block of `data_type`), or '' where they do not say."""
    from ._axes import axis_of

    first, last = parameters.get("FXV"), parameters.get("LXV")
    if not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in (first, last)):
        return ""
    unit = axis_of(parameters, False, data_type).unit
    return f"{_number(float(first))} .. {_number(float(last))}" + (f" {unit}" if unit else "")  # type: ignore


def sample_name(parameters: Mapping[str, Any]) -> str:
    name = parameters.get("SNM")
    return name if isinstance(name, str) else ""


def _shape(shape: Optional[Sequence[int]]) -> str:
    if shape is None:
        return "?"
    return "(" + ", ".join(map(str, shape)) + ("," if len(shape) == 1 else "") + ")"


def block_line(block: Any, named: bool = True) -> str:
    """'#3 AB/2D/NONE spectrum (1868,) 3999.6 .. 400.2 cm-1 'Polymer film'' (or what stopped it); the sample
    name left out unless `named`."""
    head = f"#{block.number} {block.name}"
    if block.error is not None:
        from ._read import error_text

        return f"{head} unreadable: {error_text(block.error)}"
    parameters = block.parameters or {}
    parts = [head, block.kind or "?", _shape(block.shape), x_text(parameters, block.name.split("/")[0])]
    compensated = getattr(block, "compensated", None)
    if compensated is not None:
        parts.append("compensated" if compensated else "before compensation")
    elif block.shadowed:
        parts.append("shadowed")
    name = sample_name(parameters)
    if name and named:
        parts.append(repr(name))
    return " ".join(part for part in parts if part)


def result_line(result: Any) -> str:
    """'SingleDataReturn AB/2D/NONE spectrum (1868,) 3999.6 .. 400.2 cm-1 'Polymer film'' for a result object."""
    return " ".join([type(result).__name__] + _result_parts(result))


def _result_parts(result: Any) -> list[str]:
    from ._read import block_text, kind_of

    parameters = getattr(result, "parameters", None) or {}
    try:
        kind = kind_of(result)
    except TypeError:
        kind = "?"
    values = _values(result)
    shape = _shape(np.shape(values)) if values is not None else "?"
    request = (getattr(result, "dataType", "?"), getattr(result, "dimension", "?"), getattr(result, "derivative", "?"))
    parts = [block_text(request), kind, shape, x_text(parameters)]
    name = sample_name(parameters)
    if name:
        parts.append(repr(name))
    return [part for part in parts if part]


def _values(result: Any) -> Any:
    for name in ("y", "spectra", "traces"):
        if hasattr(result, name):
            return getattr(result, name)
    regions = getattr(result, "regions", None)
    if regions is not None:
        return [len(region.mapX) for region in regions]
    return None


def file_text(opened: Any) -> str:
    count = len(opened.blocks)
    names = {sample_name(block.parameters or {}) for block in opened.blocks} - {""}
    sample = f" {names.pop()!r}" if len(names) == 1 else ""
    lines = [f"<OpusFile {opened.path!r}{sample}: {count} data block{'s' if count != 1 else ''}>"]
    lines += ["  " + block_line(block, named=not sample) for block in opened.blocks[:MAX_ROWS]]
    if count > MAX_ROWS:
        lines.append(f"  ... and {count - MAX_ROWS} more")
    return "\n".join(lines)


# --- HTML --------------------------------------------------------------------------------------------------


def sparkline(x: Any, y: Any, width: int = 140, height: int = 28) -> str:
    """A spectrum as a small inline SVG (no plotting library needed); '' when there is nothing finite to draw.
    Drawn left to right as the axis runs from its low to its high end, reversed for wavenumbers as plots are."""
    x = np.asarray(x, np.float64)
    y = np.asarray(y, np.float64)
    count = min(x.size, y.size)
    if count < 2:
        return ""
    step = max(1, math.ceil(count / SPARK_POINTS))
    x, y = x[:count:step], y[:count:step]
    keep = np.isfinite(x) & np.isfinite(y)
    if keep.sum() < 2:
        return ""
    x, y = x[keep], y[keep]
    low, high = float(y.min()), float(y.max())
    span_x = float(x.max() - x.min()) or 1.0
    span_y = (high - low) or 1.0
    across = (float(x.max()) - x) / span_x  # wavenumbers from high to low, as spectroscopists read them
    down = (high - y) / span_y
    points = " ".join(f"{a * (width - 2) + 1:.1f},{d * (height - 2) + 1:.1f}" for a, d in zip(across, down))
    return (f"<svg width='{width}' height='{height}' viewBox='0 0 {width} {height}' role='img'>"
            f"<polyline fill='none' stroke='currentColor' stroke-width='1' points='{points}'/></svg>")


def _cells(block: Any) -> list[str]:
    from ._axes import axis_of

    parameters = block.parameters or {}
    drawing = ""
    result = block.result
    if result is not None and hasattr(result, "y"):
        drawing = sparkline(result.x, result.y)
    if block.error is not None:
        from ._read import error_text

        return [f"#{block.number}", block.name, "unreadable", "", html.escape(error_text(block.error)), "", ""]
    span = x_text(parameters)
    unit = axis_of(parameters, False).unit
    span = span[:-len(unit) - 1] if unit and span.endswith(unit) else span
    note = "shadowed" if block.shadowed else ""
    return [f"#{block.number}", html.escape(block.name), html.escape(block.kind or "?"), _shape(block.shape),
            html.escape(span), html.escape(unit), note, drawing]


def _table(headers: Iterable[str], rows: Iterable[Sequence[str]]) -> str:
    head = "".join(f"<th style='text-align:left'>{header}</th>" for header in headers)
    body = "".join("<tr>" + "".join(f"<td style='text-align:left'>{cell}</td>" for cell in row) + "</tr>"
                   for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


HEADERS = ("#", "block", "kind", "shape", "x range", "units", "", "")


def _caption(path: str, parameters: Mapping[str, Any], time: Any) -> str:
    parts = [f"<b title='{html.escape(path)}'>{html.escape(os.path.basename(path) or path)}</b>"]
    name = sample_name(parameters)
    if name:
        parts.append(html.escape(name))
    if time is not None:
        parts.append(time.strftime("%Y-%m-%d %H:%M:%S UTC"))
    return "<p>" + " · ".join(parts) + "</p>"


def file_html(opened: Any) -> str:
    first = opened.blocks[0] if opened.blocks else None
    caption = _caption(opened.path, (first.parameters or {}) if first else {}, first.time if first else None)
    return caption + _table(HEADERS, [_cells(block) for block in opened.blocks])


def block_html(block: Any, path: Optional[str] = None) -> str:
    caption = _caption(path, block.parameters or {}, block.time) if path else ""
    return caption + _table(HEADERS, [_cells(block)])


def result_html(result: Any) -> str:
    drawing = sparkline(result.x, result.y) if hasattr(result, "y") and hasattr(result, "x") else ""
    return (f"<p><b>{html.escape(type(result).__name__)}</b> {html.escape(' '.join(_result_parts(result)))}</p>"
            f"{drawing}")


def read_text(found: Any) -> str:
    name = os.path.basename(found.path) or found.path
    if found.error is not None:
        from ._read import error_text

        return f"<FileRead {name}: failed: {error_text(found.error)}>"
    return f"<FileRead {name}: {result_line(found.result)}>"


def read_html(found: Any) -> str:
    name = html.escape(os.path.basename(found.path) or found.path)
    if found.error is not None:
        from ._read import error_text

        return f"<p><b title='{html.escape(found.path)}'>{name}</b>: failed: {html.escape(error_text(found.error))}</p>"
    return f"<p><b title='{html.escape(found.path)}'>{name}</b></p>" + result_html(found.result)


# --- IPython -----------------------------------------------------------------------------------------------


def register_with_ipython() -> bool:
    """Gives the extension's result classes short text and HTML in IPython, through its display formatters (their
    own repr stays the module's). Does nothing outside IPython; True when registered."""
    ipython_module = sys.modules.get("IPython")
    if ipython_module is None:
        return False
    shell = ipython_module.get_ipython()
    if shell is None:
        return False
    import lumira

    from ._read import KINDS

    formatters = shell.display_formatter.formatters
    for cls in KINDS:
        formatters["text/plain"].for_type(cls, lambda result, printer, cycle: printer.text(result_line(result)))
        formatters["text/html"].for_type(cls, result_html)
    formatters["text/plain"].for_type(lumira.Region, lambda region, printer, cycle: printer.text(
        f"Region {region.title!r}: {len(region.mapX)} points"))
    return True
