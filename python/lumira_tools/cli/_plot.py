"""`lumira plot`: a block drawn to an image file, or the spectra of several files on one axis."""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any

from .._axes import AxisUnitError, x_unit_option
from .._read import NotASpectrumError
from .._types import Block
from ._common import (BLOCK_HELP, EXIT_FAILED, RAW_HELP, Failed, UsageError, check_writable, read_checked, report,
                      result_of, write_output)


def run(args: argparse.Namespace) -> int:
    from .. import plot as plotting

    check_limits(args)
    suffix = os.path.splitext(args.output)[1].lstrip(".").lower()
    if not suffix:
        raise UsageError(f"{args.output}: no suffix to name the image format: use .png, .svg, .pdf, ...")
    try:
        formats = plotting.image_formats()
    except ImportError as error:
        report(args.output, error)
        return EXIT_FAILED
    if suffix not in formats:
        raise UsageError(f"{args.output}: cannot draw to '.{suffix}': use one of "
                         f"{', '.join('.' + known for known in sorted(formats))}")
    check_writable(args.output)
    limits = {"xlim": args.xlim, "ylim": args.ylim, "x": args.x_unit}
    if len(args.files) > 1:
        if args.band is not None:
            raise UsageError("--band draws the band of one map or series, not an overlay of several files")
        return _overlay(args, plotting, limits)
    result = read_checked(args.file, args.block, scale=not args.raw)
    try:
        picture = plotting.figure(result_of(result), args.title, band=args.band, **limits)
    except (AxisUnitError, ValueError) as error:  # an axis in no unit of the others, a band outside the axis
        report(args.file, error)
        return EXIT_FAILED
    return write_output(args, result.name, lambda target: plotting.save(picture, target, dpi=args.dpi))


def _overlay(args: argparse.Namespace, plotting: Any, limits: dict[str, Any]) -> int:
    """The single spectra of several files on one axis; every file that fails is said, and then nothing drawn."""
    spectra: list[tuple[str, Block]] = []
    failed = False
    for path in args.files:
        try:
            probe = read_checked(path, args.block, data=False)
            if probe.dimension != "2D":
                report(path, NotASpectrumError(f"{probe.name} is a 3D block ({probe.kind}): an overlay draws "
                                               "single spectra"))
                raise Failed
            spectra.append((path, read_checked(path, f"#{probe.number}", scale=not args.raw)))
        except Failed:
            failed = True
    if failed:
        return EXIT_FAILED
    names = [os.path.basename(path) for path, _ in spectra]
    if len(set(names)) < len(names):  # the same name in two folders: the paths tell them apart
        names = [path for path, _ in spectra]
    drawn = [(name, result_of(found)) for name, (_, found) in zip(names, spectra)]
    try:
        picture = plotting.overlay(drawn, args.title, **limits)
    except AxisUnitError as error:  # it names the spectrum
        print(f"lumira: {error}", file=sys.stderr)
        return EXIT_FAILED
    blocks = list(dict.fromkeys(found.name for _, found in spectra))
    drawn_files = [{"path": path, "block": found.name} for path, found in spectra]
    return write_output(args, ", ".join(blocks), lambda target: plotting.save(picture, target, dpi=args.dpi),
                        files=drawn_files)


def check_limits(args: argparse.Namespace) -> None:
    for option in ("xlim", "ylim", "band"):
        bounds = getattr(args, option)
        if bounds is not None and (not all(map(math.isfinite, bounds)) or bounds[0] == bounds[1]):
            raise UsageError(f"--{option} takes two different finite numbers, LOW HIGH, not {bounds[0]:g} "
                             f"{bounds[1]:g}")


def add_to(commands: Any, json_flag: argparse.ArgumentParser) -> None:
    plot = commands.add_parser(
        "plot", parents=[json_flag], help="draw a block to an image file (needs matplotlib)",
        usage="lumira plot [-h] FILE... [BLOCK] -o OUTPUT [options]",
        description="A spectrum plot (wavenumbers run from high to low); for an image map the integrated-"
                    "intensity map beside the mean spectrum; for a series a heat map over z. Several files: "
                    "their single spectra on one axis, with the file names in the legend. The format follows "
                    "the suffix of OUTPUT (png, svg, pdf).")
    plot.add_argument("inputs", nargs="+", metavar="FILE... [BLOCK]",
                      help=f"one file or several; BLOCK last: {BLOCK_HELP}")
    plot.add_argument("-o", "--output", required=True, metavar="OUTPUT", help="the image file to write")
    plot.add_argument("--title", help="the figure's title (default: sample name and block)")
    plot.add_argument("--dpi", type=int, default=100, help="resolution (default: %(default)s)")
    for option, what in (("--xlim", "the spectral axis (a wavenumber axis still runs from high to low)"),
                         ("--ylim", "the values (z for a series' heat map)")):
        plot.add_argument(option, type=float, nargs=2, metavar=("LOW", "HIGH"), help=f"the range shown of {what}")
    plot.add_argument("--x-unit", type=x_unit_option, metavar="UNIT",
                      help="draw the spectral axis in UNIT: wavenumber (cm-1), wavelength (um), nm or frequency "
                           "(Hz); without it, the axes of several files are converted to the first file's unit")
    plot.add_argument("--band", type=float, nargs=2, metavar=("HIGH", "LOW"),
                      help="draw the band between two x values integrated: the image of a map, the course of a "
                           "series over z")
    plot.add_argument("--raw", action="store_true", help=RAW_HELP)
    plot.set_defaults(run=run)
