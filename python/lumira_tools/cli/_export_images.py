"""`lumira export FILE images -o DIR/`: the images a file embeds, written into a folder.

An image of one tile is written as the JPEG stream the file holds, byte for byte; a mosaic is assembled from its
tiles and written as PNG (which needs Pillow). Everything is read and encoded before the first file is written,
so a damaged image leaves nothing behind.
"""

from __future__ import annotations

import argparse
import io
import os
import sys
from .. import export as exporting
from .._extras import need
from .._file import read_file
from .._images import Image
from .._read import DamagedFileError
from ._common import EXIT_FAILED, EXIT_OK, UsageError, dump, report

IMAGES = "images"


def export_images(args: argparse.Namespace) -> int:
    if len(args.files) > 1:
        raise UsageError("export writes the images of one file")
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise UsageError(f"images are written into a folder, and {args.output} is a file: -o DIR/")
    if not os.path.isdir(args.output):
        print(f"lumira: {args.output}: the folder {os.path.abspath(args.output)} does not exist", file=sys.stderr)
        return EXIT_FAILED
    try:
        images = read_file(args.file, data=False).images
        if not images:
            raise ValueError("the file holds no embedded image")
        encoded = [_encoded(image) for image in images]
    except Exception as error:  # noqa: BLE001 - whatever a damaged file makes the readers raise
        where = f"{args.file}: {error.block}" if isinstance(error, DamagedFileError) and error.block else args.file
        report(where, error)
        return EXIT_FAILED
    written = []
    for name, (image, data, suffix) in zip(_names(args.file, images), encoded):
        target = os.path.join(args.output, name + suffix)
        try:
            with exporting.atomic_path(target) as temporary, open(temporary, "wb") as file:
                file.write(data)
        except OSError as error:
            report(target, error)
            return EXIT_FAILED
        width, height = image.size
        written.append({"image": image.id, "output": target, "width": width, "height": height, "bytes": len(data)})
    if args.json:
        dump({"path": args.file, "block": IMAGES, "output": args.output, "images": written})
        return EXIT_OK
    for item in written:
        print(f"wrote {item['output']} (image {item['image']}, {item['width']} x {item['height']} pixels, "
              f"{item['bytes']:,} bytes)")
    return EXIT_OK


def _encoded(image: Image) -> tuple[Image, bytes, str]:
    if image.jpeg is not None:
        return image, image.jpeg, ".jpg"
    pil = need("PIL.Image", "writing a mosaic needs Pillow: pip install 'lumira[images]'")
    buffer = io.BytesIO()
    pil.fromarray(image.array()).save(buffer, format="PNG")
    return image, buffer.getvalue(), ".png"


def _names(path: str, images: list[Image]) -> list[str]:
    """'<file>-image<ID>' for each image; an image without an id, or whose id another image has too, by its place."""
    stem = os.path.splitext(os.path.basename(path))[0]
    ids = [image.id for image in images]
    return [f"{stem}-image{image.id}" if image.id is not None and ids.count(image.id) == 1 else f"{stem}-image-{k}"
            for k, image in enumerate(images)]
