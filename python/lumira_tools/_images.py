"""Images embedded in image containers: camera pictures of the sample and mosaics of tiles.

Each table of an image container holds one tile: a JPEG stream (behind a 14-byte bitmap-file head) in its one
cell, and its properties: `Pos. X`, `Pos. Y` (where it lies, in pixels of a grid all tiles share), `Size X`,
`Size Y` (its pixels), `PixelSizeX`, `PixelSizeY` (the grid's pixel size; its unit is not stated, micrometres are
likely), `Type` (65538 for a down-scaled overview of a mosaic, 258 for a regular tile) and `ImageID`, which
groups tiles into one image. A mosaic is assembled from its regular tiles on the shared grid, each tile's
position taken as its top-left corner with rows running down, which the files do not state.

The JPEG bytes need nothing to read; decoding them into arrays needs Pillow (the `[images]` extra).
"""

from __future__ import annotations

import io
import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Optional, Sequence

import numpy as np

from . import _native
from ._extras import need
from ._read import DamagedFileError

if TYPE_CHECKING:
    from ._reports import Report, Table

OVERVIEW_TYPE = 0x10002
# A mosaic whose tiles lie so far apart that its canvas would hold more than this many times their pixels is
# taken for damaged positions rather than allocated.
_SPARSEST_MOSAIC = 4


@dataclass(frozen=True)
class Tile:
    """One tile: `description` (the label its table starts with), `position` (Pos. X, Pos. Y) on the shared
    grid, `pixel_size` (PixelSizeX, PixelSizeY), `type`, `overview` (a down-scaled view of a whole mosaic),
    `properties` (every property of its table by label), `jpeg` (its JPEG stream) and `size` (its width and height
    in pixels, from the stream's frame header); `array()` decodes it."""

    description: str
    position: tuple[float, float]
    pixel_size: Optional[tuple[float, float]]
    type: Optional[int]
    properties: dict[str, Any]
    blob: bytes = field(repr=False)
    path: str = field(repr=False, default="")
    part: str = field(repr=False, default="image")

    @property
    def overview(self) -> bool:
        return self.type == OVERVIEW_TYPE

    @property
    def jpeg(self) -> bytes:
        return self.blob[self._frame[0]:self._frame[0] + self._frame[1]]

    @property
    def size(self) -> tuple[int, int]:
        return self._frame[2], self._frame[3]

    @property
    def _frame(self) -> tuple[int, int, int, int, int]:
        try:
            frame: tuple[int, int, int, int, int] = _native.read_image(self.blob)
        except ValueError as error:
            raise DamagedFileError(str(error), self.path, self.part) from error
        return frame

    def array(self) -> Any:
        """The tile as an RGB array of shape (rows, columns, 3), uint8. Needs Pillow."""
        width, height = self.size
        stated = (self.properties.get("Size X"), self.properties.get("Size Y"))
        if all(isinstance(value, (int, float)) for value in stated) and stated != (width, height):
            raise DamagedFileError(f"its JPEG stream is {width} x {height} pixels but its table says "
                                   f"{stated[0]:g} x {stated[1]:g}", self.path, self.part)
        return _decoded(self.jpeg, (width, height), self.path, self.part)


@dataclass(frozen=True)
class Image:
    """An embedded image: `id` (its ImageID; None for a tile that names none) and `tiles` in file order. `jpeg` is
    the JPEG stream of an image of one tile (None for a mosaic, whose tiles have theirs), `overview` the mosaic's
    down-scaled overview tile (or None), `position` its smallest tile position on the grid, `size` its width and
    height in pixels, `pixel_size` the grid's pixel size and `extent` (width and height in the pixel size's unit:
    pixels times pixel size, as far as the files tell); `array()` decodes it, a mosaic assembled from its tiles."""

    id: Optional[int]
    tiles: tuple[Tile, ...]

    @property
    def parts(self) -> tuple[Tile, ...]:
        """The tiles the image is made of: its regular tiles, or its overview when it has nothing else."""
        regular = tuple(tile for tile in self.tiles if not tile.overview)
        return regular or self.tiles

    @property
    def jpeg(self) -> Optional[bytes]:
        return self.parts[0].jpeg if len(self.parts) == 1 else None

    @property
    def overview(self) -> Optional[Tile]:
        if all(tile.overview for tile in self.tiles):  # then the overview is the image itself
            return None
        return next((tile for tile in self.tiles if tile.overview), None)

    @property
    def position(self) -> tuple[float, float]:
        return (min(tile.position[0] for tile in self.parts), min(tile.position[1] for tile in self.parts))

    @property
    def size(self) -> tuple[int, int]:
        left, top, right, bottom = self._bounds()
        return right - left, bottom - top

    @property
    def pixel_size(self) -> Optional[tuple[float, float]]:
        return self.parts[0].pixel_size

    @property
    def extent(self) -> Optional[tuple[float, float]]:
        if self.pixel_size is None:
            return None
        width, height = self.size
        return width * self.pixel_size[0], height * self.pixel_size[1]

    def array(self) -> Any:
        """The image as an RGB array of shape (rows, columns, 3), uint8; a mosaic's tiles placed on the shared
        grid (pixels no tile covers are black). Needs Pillow."""
        if len(self.parts) == 1:
            return self.parts[0].array()
        left, top, right, bottom = self._bounds()
        canvas = np.zeros((bottom - top, right - left, 3), dtype=np.uint8)
        for tile, (x, y) in zip(self.parts, self._corners()):
            pixels = tile.array()
            canvas[y - top:y - top + pixels.shape[0], x - left:x - left + pixels.shape[1]] = pixels
        return canvas

    def _corners(self) -> list[tuple[int, int]]:
        corners = []
        for tile in self.parts:
            x, y = tile.position
            if not (math.isfinite(x) and math.isfinite(y)) or max(abs(x), abs(y)) > 2**31:
                raise DamagedFileError(f"a tile lies at ({x}, {y})", tile.path, tile.part)
            corners.append((round(x), round(y)))
        return corners

    def _bounds(self) -> tuple[int, int, int, int]:
        corners = self._corners()
        sizes = [tile.size for tile in self.parts]
        left = min(x for x, _ in corners)
        top = min(y for _, y in corners)
        right = max(x + width for (x, _), (width, _) in zip(corners, sizes))
        bottom = max(y + height for (_, y), (_, height) in zip(corners, sizes))
        covered = sum(width * height for width, height in sizes)
        if (right - left) * (bottom - top) > _SPARSEST_MOSAIC * covered:
            tile = self.parts[0]
            raise DamagedFileError(f"its {len(sizes)} tiles of {covered} pixels lie spread over "
                                   f"{right - left} x {bottom - top} pixels", tile.path, tile.part)
        return left, top, right, bottom

    def __repr__(self) -> str:
        return f"<Image {self.id}: {len(self.tiles)} tile{'s' if len(self.tiles) != 1 else ''}>"


def images_of(containers: Sequence[Report], path: str) -> list[Image]:
    """The images of image containers: tiles grouped by ImageID within each container, in order of first
    appearance; a tile that names no ImageID is an image of its own."""
    images: list[Image] = []
    for container in containers:
        groups: dict[Any, list[Tile]] = {}
        for index, table in enumerate(container.tables):
            image_id = table.get("ImageID")
            key = image_id if isinstance(image_id, int) else ("table", index)
            part = f"report #{container.number}: image {image_id if isinstance(image_id, int) else '?'}"
            groups.setdefault(key, []).append(_tile(table, path, part))
        images += [Image(key if isinstance(key, int) else None, tuple(tiles)) for key, tiles in groups.items()]
    return images


def _tile(table: Table, path: str, part: str) -> Tile:
    blobs = [index for index, column in enumerate(table.columns) if column.kind == "bytes"]
    if not blobs or not table.rows:
        raise DamagedFileError(f"its table {table.name!r} holds no image", path, part)
    blob = table.rows[0][blobs[0]]
    assert isinstance(blob, bytes)
    properties = {found.label: found.value for found in table.properties if found.label is not None}
    return Tile(_description(table), _pair(properties, "Pos. X", "Pos. Y") or (0.0, 0.0),
                _pair(properties, "PixelSizeX", "PixelSizeY"), _integer(properties.get("Type")), properties, blob,
                path, part)


def _description(table: Table) -> str:
    return next((found.label for found in table.properties if found.value is None and found.label), "")


def _pair(properties: dict[str, Any], first: str, second: str) -> Optional[tuple[float, float]]:
    x, y = properties.get(first), properties.get(second)
    if not isinstance(x, (int, float)) or not isinstance(y, (int, float)):
        return None
    return float(x), float(y)


def _integer(value: Any) -> Optional[int]:
    return value if isinstance(value, int) else None


def _decoded(jpeg: bytes, size: tuple[int, int], path: str, part: str) -> Any:
    pil = need("PIL.Image", "decoding images needs Pillow: pip install 'lumira[images]'")
    try:
        with pil.open(io.BytesIO(jpeg)) as opened:
            if opened.size != size:
                raise DamagedFileError(f"its JPEG stream decodes to {opened.size[0]} x {opened.size[1]} pixels, "
                                       f"not the {size[0]} x {size[1]} its frame header gives", path, part)
            pixels = np.asarray(opened.convert("RGB"))
    except (OSError, ValueError, SyntaxError, EOFError, pil.DecompressionBombError) as error:
        if isinstance(error, DamagedFileError):
            raise
        raise DamagedFileError(f"its JPEG stream cannot be decoded ({error})", path, part) from error
    return pixels
