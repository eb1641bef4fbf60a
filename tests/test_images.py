"""OpusFile.images: single images and mosaics of tiles, their JPEG bytes, arrays and placement, and damaged images."""

from __future__ import annotations

import sys

import numpy as np
import pytest

import lumira_tools
import partsbuilder as pb
from opusbuilder import OpusFile, spectrum_params

PIL = pytest.importorskip("PIL.Image")

# A mosaic of 2 rows x 3 columns of 8 x 6 tiles, one colour each, and its overview.
COLOURS = [[(200, 0, 0), (0, 200, 0), (0, 0, 200)], [(200, 200, 0), (0, 200, 200), (200, 0, 200)]]


def mosaic_tiles(image_id: int = 4, origin=(1000.0, 500.0)) -> list[pb.Table]:
    tiles = [pb.image_table(pb.jpeg(COLOURS[row][column]), image_id=image_id, size=(8, 6),
                            position=(origin[0] + 8 * column, origin[1] + 6 * row))
             for row in range(2) for column in range(3)]
    overview = pb.image_table(pb.jpeg((90, 90, 90), (4, 2)), image_id=image_id, size=(4, 2), position=origin,
                              kind=pb.OVERVIEW_TILE, description="prezoomed")
    return tiles[:4] + [overview] + tiles[4:]


def file_with(*containers: bytes) -> bytes:
    f = OpusFile().spectrum("AB", [1.0, 2.0], spectrum_params(2, 4000.0, 400.0))
    for block in containers:
        f.add(pb.IMAGES, block)
    return f.build()


def near(array, colour) -> bool:
    return bool(np.abs(array.astype(int) - colour).max() <= 8)  # JPEG keeps a plain colour within a few levels


def test_an_image_of_one_tile_is_its_jpeg(write):
    single = pb.image_table(pb.TILE_JPEG, image_id=1, position=(3.0, 4.0), size=(8, 6), description="Image 1")
    (image,) = lumira_tools.read_file(write(file_with(pb.image_container([single])))).images
    assert image.id == 1 and image.jpeg == pb.TILE_JPEG and image.overview is None
    assert (image.position, image.size) == ((3.0, 4.0), (8, 6))
    assert image.extent == pytest.approx((8 * pb.PIXEL_SIZE[0], 6 * pb.PIXEL_SIZE[1]))
    assert image.tiles[0].description == "Image 1" and image.tiles[0].properties["Bytes"] == len(pb.TILE_JPEG) + 14
    pixels = image.array()
    assert pixels.shape == (6, 8, 3) and pixels.dtype == np.uint8
    assert np.array_equal(pixels, np.asarray(PIL.open(pb.io.BytesIO(pb.TILE_JPEG)).convert("RGB")))


@pytest.mark.parametrize("relocated_after", [None, 3])
def test_a_mosaic_is_assembled_on_the_shared_grid(write, relocated_after):
    tiles = [pb.image_table(pb.TILE_JPEG, image_id=1, position=(0.0, 0.0), size=(8, 6))] + mosaic_tiles()
    opened = lumira_tools.read_file(write(file_with(pb.image_container(tiles, relocated_after=relocated_after))))
    single, mosaic = opened.images
    assert (single.id, mosaic.id, len(mosaic.tiles)) == (1, 4, 7)
    assert mosaic.jpeg is None and mosaic.overview is not None and mosaic.overview.size == (4, 2)
    assert (mosaic.position, mosaic.size) == ((1000.0, 500.0), (24, 12))
    pixels = mosaic.array()
    assert pixels.shape == (12, 24, 3)
    for row in range(2):
        for column in range(3):
            assert near(pixels[6 * row:6 * row + 6, 8 * column:8 * column + 8], COLOURS[row][column])


def test_tiles_without_an_id_are_images_of_their_own(write):
    table = pb.image_table(pb.TILE_JPEG, image_id=0, position=(0.0, 0.0), size=(8, 6))
    table.properties = [prop for prop in table.properties if prop[0] != "ImageID"]
    images = lumira_tools.read_file(write(file_with(pb.image_container([table, table])))).images
    assert [image.id for image in images] == [None, None]


def damaged_tile(**changes) -> pb.Table:
    options = dict(image_id=2, position=(0.0, 0.0), size=(8, 6))
    options.update(changes)
    return pb.image_table(pb.TILE_JPEG, **options)


CUT_JPEG = pb.TILE_JPEG[:-2]


@pytest.mark.parametrize("tile, reason", [
    (damaged_tile(blob=b"XX" + bytes(12) + pb.TILE_JPEG), "do not start with a bitmap-file head"),
    (damaged_tile(blob=pb.bitmap_blob(b"\x89PNG" + pb.TILE_JPEG)), "no JPEG stream starts"),
    (damaged_tile(blob=pb.bitmap_blob(CUT_JPEG)), "has no end marker"),
    (damaged_tile(blob=pb.bitmap_blob(b"\xff\xd8\xff\xd9")), "has no frame header"),
    (damaged_tile(blob=pb.bitmap_blob(b"\xff\xd8\xff\xe0\x40\x00")), "runs past its end"),
    (damaged_tile(size=(10, 6)), "its JPEG stream is 8 x 6 pixels but its table says 10 x 6"),
    (damaged_tile(blob=pb.bitmap_blob(pb.TILE_JPEG[:200] + bytes(len(pb.TILE_JPEG) - 202) + b"\xff\xd9")),
     "cannot be decoded"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_a_damaged_image_is_its_own_error(write, tile, reason):
    good = pb.image_table(pb.TILE_JPEG, image_id=1, position=(0.0, 0.0), size=(8, 6))
    opened = lumira_tools.read_file(write(file_with(pb.image_container([good, tile]))))
    fine, damaged = opened.images
    with pytest.raises(lumira_tools.DamagedFileError, match=reason) as raised:
        damaged.array()
    assert raised.value.block == "report #0: image 2"
    assert fine.array().shape == (6, 8, 3) and opened.blocks[0].ok


def test_tiles_spread_far_apart_are_refused_before_allocating(write):
    tiles = [pb.image_table(pb.TILE_JPEG, image_id=3, position=(x, 0.0), size=(8, 6)) for x in (0.0, 10.0**7)]
    (mosaic,) = lumira_tools.read_file(write(file_with(pb.image_container(tiles)))).images
    with pytest.raises(lumira_tools.DamagedFileError, match="2 tiles of 96 pixels lie spread over 10000008 x 6"):
        mosaic.array()


def test_a_damaged_container_fails_the_images(write):
    opened = lumira_tools.read_file(write(file_with(pb.image_container(mosaic_tiles())[:30])))
    with pytest.raises(lumira_tools.DamagedFileError, match="report #0"):
        opened.images


def test_bytes_need_no_pillow_and_decoding_names_the_extra(write, monkeypatch):
    single = pb.image_table(pb.TILE_JPEG, image_id=1, position=(0.0, 0.0), size=(8, 6))
    (image,) = lumira_tools.read_file(write(file_with(pb.image_container([single])))).images
    monkeypatch.setitem(sys.modules, "PIL.Image", None)
    assert image.jpeg == pb.TILE_JPEG
    with pytest.raises(ImportError, match=r"lumira\[images\]"):
        image.array()
