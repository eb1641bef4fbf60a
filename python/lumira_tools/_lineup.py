"""Many spectra on one axis: each file's axis checked and interpolated from once, onto the first file's axis, a
union grid covering them all, or an axis given as values; NaN where a file does not reach."""

from __future__ import annotations

import math
from typing import Any, Callable, Optional

import numpy as np

from ._types import Block

# A union grid finer than this is a damaged axis (or a mistaken one), not a spectrum: refuse rather than allocate.
LARGEST_GRID = 16_777_216
Fail = Callable[[str, BaseException], None]


def given_axis(axis: Any) -> Any:
    target = np.array(axis, dtype=np.float64)
    if target.ndim != 1 or target.size == 0 or not np.isfinite(target).all():
        raise ValueError("an axis given as values is one-dimensional, finite and not empty")
    return target


AxisGroups = list[tuple[Any, list[int]]]


def by_axis(spectra: list[tuple[str, Block]], axes: list[tuple[str, Any]], fail: Fail) -> AxisGroups:
    """The files' axes, each with the rows (in order) of the files on it, so that each axis is checked and
    interpolated from once. An axis is linspace(FXV, LXV, NPT), converted from its unit: its unit, ends and
    length tell it."""
    groups: dict[tuple[str, int, float, float], tuple[Any, list[int]]] = {}
    for row, ((path, _), (code, x)) in enumerate(zip(spectra, axes)):
        if x.size == 0:
            fail(path, ValueError("the spectrum has no points"))
            continue
        if not (math.isfinite(x[0]) and math.isfinite(x[-1])):
            fail(path, ValueError(f"its x axis is not finite ({x[0]} .. {x[-1]})"))
            continue
        groups.setdefault((code, x.size, float(x[0]), float(x[-1])), (x, []))[1].append(row)
    return list(groups.values())


def target_axis(mode: str, groups: AxisGroups, spectra: list[tuple[str, Block]]) -> Any:
    first = groups[0][0]
    if mode == "first":
        return first
    if mode == "exact":
        differing = [rows[0] for x, rows in groups[1:] if not np.array_equal(x, first)]
        if differing:
            row = min(differing)
            x = next(x for x, rows in groups if row in rows)
            raise ValueError(f"{spectra[row][0]}: its x axis ({describe(x)}) differs from "
                             f"{spectra[groups[0][1][0]][0]}'s ({describe(first)})")
        return first
    return union(groups, spectra)


def describe(x: Any) -> str:
    return f"{x.size} points, {x[0]:g} .. {x[-1]:g}"


def union(groups: AxisGroups, spectra: list[tuple[str, Block]]) -> Any:
    """A grid from the lowest to the highest x of all files at the finest spacing among them, running the way
    the first file's axis runs."""
    low = min(float(x.min()) for x, _ in groups)
    high = max(float(x.max()) for x, _ in groups)
    first = groups[0][0]
    if high == low:
        return np.array([low])
    steps = [(abs(float(x[-1]) - float(x[0])) / (x.size - 1), rows[0]) for x, rows in groups if x.size > 1]
    steps = [(step, row) for step, row in steps if step > 0]
    if not steps:  # single points only: the grid is the points themselves
        points = np.unique(np.concatenate([x for x, _ in groups]))
        return points[::-1] if first[0] > first[-1] else points
    step, finest = min(steps)
    # A span that is a whole number of steps up to rounding gives that number, not one more.
    count = math.ceil((high - low) / step - 1e-6) + 1
    if count > LARGEST_GRID:
        raise ValueError(f"a grid from {low:g} to {high:g} at the spacing of {spectra[finest][0]} ({step:g}) "
                         f"would take {count:,} points: give the axis as values")
    return np.linspace(high, low, count) if first[0] > first[-1] else np.linspace(low, high, count)


# Rows interpolated at once: bounds the float64 temporaries to a few tens of MB.
ROWS_AT_ONCE = 1024


def place(values: Any, rows: list[int], x: Any, ys: list[Any], target: Any) -> Optional[str]:
    """Writes the spectra of one axis onto the target axis into `values[rows]` (NaN outside the axis's range);
    what stops it, or None."""
    for y in ys:
        if y.size != x.size:
            return f"the spectrum has {y.size} values for {x.size} axis points"
    if x.size == target.size and np.array_equal(x, target):
        values[rows] = ys
        return None
    if x[0] > x[-1]:  # interpolation wants the axis rising
        x, ys = x[::-1], [y[::-1] for y in ys]
    if x.size > 1 and not (np.diff(x) > 0).all():
        return f"its x axis repeats points ({describe(x)}), so it cannot be interpolated"
    inside = (target >= x[0]) & (target <= x[-1])
    if x.size == 1:
        for row, y in zip(rows, ys):
            values[row] = np.where(inside, y[0], np.nan)
        return None
    # Each target point lies between x[left] and x[left + 1], at the fraction `share` of the way.
    left = np.clip(np.searchsorted(x, target, side="right") - 1, 0, x.size - 2)
    share = (target - x[left]) / (x[left + 1] - x[left])
    for start in range(0, len(rows), ROWS_AT_ONCE):
        block = np.asarray(ys[start:start + ROWS_AT_ONCE], np.float64)
        between = block[:, left] * (1 - share) + block[:, left + 1] * share
        between[:, ~inside] = np.nan
        values[rows[start:start + ROWS_AT_ONCE]] = between
    return None
