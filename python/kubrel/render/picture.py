"""`kubrel render`: a picture of a volume, its top view beside an isometric view.

The picture's size is chosen first and the volume is fitted into it, so that memory follows the
canvas and never the footprint: the top view is drawn at one pixel per column and resampled, the
isometric view draws every block with a face in the open as a sprite (or, when blocks are smaller
than a pixel, as one point) through a depth buffer the size of the canvas, a bounded chunk of
blocks at a time."""

import numpy as np

from kubrel._extras import require
from kubrel.render.colours import colour
from kubrel.volume import NOT_MATERIAL

MARGIN = 16
# The width the isometric view aims for when no size is asked, in pixels, and the largest half
# width of a block's sprite then; the picture is then still fitted into DEFAULT_SIDE.
ISOMETRIC_WIDTH = 512
LARGEST_DEFAULT_HALF = 32
DEFAULT_SIDE = 1024
# The largest picture drawn: every buffer is a few bytes per canvas pixel.
MAX_SIDE = 8192
MAX_PIXELS = 1 << 24
# Sprite pixels handled at once by the isometric view's depth buffer (a few arrays of 8 bytes
# each per pixel).
PIXELS_PER_CHUNK = 1 << 20
# Light on the faces of the isometric view: top, the side facing +z, the side facing +x.
FACE_LIGHT = np.array([1.0, 0.78, 0.6])
# The default background: a checker of two greys, against which the darkest and the lightest
# blocks both stand out.
CHECKER = ((104, 106, 110), (150, 152, 156))
CHECKER_CELL = 16
# The corner the isometric view looks from, and the quarter turns (about y, seen from above) that
# bring that corner to +x, +z, where the view is drawn from; a number names the corner by the
# viewer's turn clockwise from the south-east one.
ANGLES = {"se": 0, "sw": 1, "nw": 2, "ne": 3, "0": 0, "90": 1, "180": 2, "270": 3}


def render(volume, size=None, angle="se", background=None, slice=None):
    """The preview of `volume` as a `PIL.Image` (RGB): the top view (north up) on the left, the
    isometric view on the right.

    - `size`: the picture's longest side in pixels, or a (width, height); by default each block
      gets a few pixels, within 1024 pixels a side. At most 8192 a side and 2**24 pixels.
    - `angle`: the corner the isometric view looks from, "se" (the default), "sw", "nw" or "ne"
      (or 0, 90, 180, 270: the viewer's turn clockwise from south-east).
    - `background`: an (r, g, b) colour, or None for a checker of two greys.
    - `slice`: draw only the layers 0 to `slice` (counted from the volume's bottom), as a builder
      sees the build when that layer is done.

    An empty volume gives a picture of the background alone.

    Example:
        >>> render(kubrel.load("castle.schem"), size=2048, angle="nw").save("castle.png")
    """
    image_module = require("PIL.Image")
    turns = ANGLES.get(str(angle).lower())
    if turns is None:
        raise ValueError(f"angle {angle!r}: one of se, sw, nw, ne, 0, 90, 180, 270")
    blocks = volume.blocks if slice is None else volume.blocks[: max(0, slice + 1)]
    colours = np.array([colour(state) for state in volume.palette], dtype=np.float32)
    seen = np.array([state not in NOT_MATERIAL for state in volume.palette], dtype=bool)
    solid = seen[blocks] if blocks.size else np.zeros(blocks.shape, bool)

    top_units, side_units = _units(blocks.shape)
    width, height = _canvas(top_units, side_units, size)
    # One scale for both views: pixels per block of the top view, per half sprite of the other.
    inner_h = max(1, height - 2 * MARGIN)
    inner_w = max(1, width - 3 * MARGIN)
    scale = min(
        inner_h / max(top_units[1], side_units[1]), inner_w / (top_units[0] + side_units[0])
    )

    canvas = _background(width, height, background)
    top = top_view(blocks, solid, colours, scale, image_module)
    turned_blocks = np.rot90(blocks, turns, axes=(1, 2))
    turned_solid = np.rot90(solid, turns, axes=(1, 2))
    side = isometric_view(turned_blocks, turned_solid, colours, scale)
    # Each view centred in its share of the canvas (sprites are drawn a whole, even number of
    # pixels wide, so the isometric one may fall short of its share).
    top_share = round(top_units[0] * scale)
    side_left = 2 * MARGIN + top_share
    shares = ((top, MARGIN, top_share), (side, side_left, width - MARGIN - side_left))
    for picture, left, share in shares:
        top_row = MARGIN + (inner_h - picture.shape[0]) // 2
        _paste(canvas, picture, left + (share - picture.shape[1]) // 2, top_row)
    return image_module.fromarray(canvas, "RGB")


def _units(shape):
    """The (width, height) of each view in its own units: blocks for the top view, half sprites
    for the isometric one."""
    size_y, size_z, size_x = shape
    span = max(size_x + size_z, 1)
    return (max(size_x, 1), max(size_z, 1)), (span, span / 2 + max(size_y, 1))


def _canvas(top_units, side_units, size):
    """The picture's (width, height): the asked one, or one whose longest side is the asked
    length, or the views' natural size within DEFAULT_SIDE."""
    units = (top_units[0] + side_units[0], max(top_units[1], side_units[1]))
    if isinstance(size, tuple):
        width, height = size
    else:
        if size is None:
            natural = min(LARGEST_DEFAULT_HALF, max(1, ISOMETRIC_WIDTH // side_units[0]))
            longest = max(units[0] * natural + 3 * MARGIN, units[1] * natural + 2 * MARGIN)
            size = min(DEFAULT_SIDE, round(longest))
        scale = max(0, min((size - 3 * MARGIN) / units[0], (size - 2 * MARGIN) / units[1]))
        width = max(round(units[0] * scale) + 3 * MARGIN, 1)
        height = max(round(units[1] * scale) + 2 * MARGIN, 1)
    if not (0 < width <= MAX_SIDE and 0 < height <= MAX_SIDE and width * height <= MAX_PIXELS):
        raise ValueError(
            f"size {width}x{height}: at most {MAX_SIDE} pixels a side and {MAX_PIXELS} pixels"
        )
    return int(width), int(height)


def _background(width, height, background):
    canvas = np.empty((height, width, 3), dtype=np.uint8)
    if background is not None:
        canvas[:] = background
        return canvas
    rows = (np.arange(height) // CHECKER_CELL)[:, None]
    columns = (np.arange(width) // CHECKER_CELL)[None, :]
    canvas[:] = CHECKER[1]
    canvas[(rows + columns) % 2 == 0] = CHECKER[0]
    return canvas


def _paste(canvas, picture, left, top):
    """Draws the picture's drawn pixels (alpha above zero) onto the canvas, cut to its size."""
    left, top = max(left, 0), max(top, 0)
    height = min(picture.shape[0], canvas.shape[0] - top)
    width = min(picture.shape[1], canvas.shape[1] - left)
    if height <= 0 or width <= 0:
        return
    region = canvas[top : top + height, left : left + width]
    drawn = picture[:height, :width, 3] > 0
    region[drawn] = picture[:height, :width, :3][drawn]


def top_view(blocks, solid, colours, scale, image_module):
    """An (z, x, rgba) picture at `scale` pixels a block: each column's highest visible block,
    darker the lower it is; columns without one are left clear."""
    size_y, size_z, size_x = blocks.shape
    picture = np.zeros((max(size_z, 1), max(size_x, 1), 4), dtype=np.uint8)
    filled = np.zeros(picture.shape[:2], dtype=bool)
    if solid.any():
        highest = size_y - 1 - solid[::-1].argmax(axis=0)
        filled = solid.any(axis=0)
        states = np.take_along_axis(blocks, highest[None], axis=0)[0]
        light = 0.55 + 0.45 * (highest + 1) / size_y
        shaded = colours[states] * light[..., None]
        picture[filled, :3] = shaded[filled].astype(np.uint8)
        picture[filled, 3] = 255
    whole = int(scale)
    if whole >= 1:
        picture = picture.repeat(whole, axis=0).repeat(whole, axis=1)
        if whole >= 4:
            # A darker last row and column of each block keeps neighbours of one colour apart.
            edge = np.zeros(picture.shape[:2], dtype=bool)
            edge[whole - 1 :: whole] = True
            edge[:, whole - 1 :: whole] = True
            edge &= filled.repeat(whole, axis=0).repeat(whole, axis=1)
            picture[edge, :3] = (picture[edge, :3] * 0.82).astype(np.uint8)
        return picture
    # Smaller than a pixel a block: each pixel averages the columns it covers.
    width = max(1, round(picture.shape[1] * scale))
    height = max(1, round(picture.shape[0] * scale))
    shrunk = image_module.fromarray(picture, "RGBA").resize((width, height), image_module.BOX)
    return np.asarray(shrunk)


def _sprite(half):
    """The pixels of one block's sprite, 2·half wide and tall: offsets (dx, dy), the face each
    belongs to (0 top, 1 the +z side on the left, 2 the +x side on the right) and whether it lies
    on the face's edge."""
    size = 2 * half
    dy, dx = np.mgrid[0:size, 0:size]
    cx, cy = dx + 0.5, dy + 0.5
    on_top = np.abs(cx - half) / half + np.abs(cy - half / 2) / (half / 2) <= 1
    slope = np.where(cx < half, cx, size - cx) / 2
    below_top = cy >= half / 2 + slope
    above_bottom = cy <= 1.5 * half + slope
    face = np.where(on_top, 0, np.where(cx < half, 1, 2))
    inside = on_top | (below_top & above_bottom)
    # A pixel is on an edge when a neighbour is outside or on another face: drawn a little darker,
    # so that neighbouring blocks of one colour stay apart.
    labels = np.where(inside, face, -1)
    padded = np.pad(labels, 1, constant_values=-1)
    edge = np.zeros_like(inside)
    for shift_y, shift_x in ((0, 1), (2, 1), (1, 0), (1, 2)):
        edge |= padded[shift_y : shift_y + size, shift_x : shift_x + size] != labels
    return dx[inside], dy[inside], face[inside], edge[inside]


def _open_sides(solid):
    """Per block, whether its top and whether any of its top, +z and +x faces is in the open."""
    top_open = np.ones_like(solid)
    top_open[:-1] = ~solid[1:]
    open_to = top_open.copy()
    open_to[:, :-1] |= ~solid[:, 1:]
    open_to[:, -1] = True
    open_to[:, :, :-1] |= ~solid[:, :, 1:]
    open_to[:, :, -1] = True
    return top_open, solid & open_to


def isometric_view(blocks, solid, colours, scale):
    """An (h, w, rgba) picture of the volume seen from above its +x, +z corner, `scale` pixels to
    half a block's sprite width."""
    size_y, size_z, size_x = blocks.shape
    span = max(size_x + size_z, 1)
    if scale >= 1:
        # A step along x or z moves a sprite half its width across and a quarter down: an even
        # half width keeps that quarter on whole pixels.
        half = int(scale)
        half -= half % 2 if half > 1 else 0
        width = span * half
        height = span * half // 2 + max(size_y, 1) * half + 1
        dx, dy, face, edge = _sprite(half)
        sprite_light = FACE_LIGHT[face] * np.where(edge & (half > 1), 0.82, 1.0)
    else:
        # Blocks smaller than a pixel: each is one point at its top face's centre, lit as its
        # top when that is open and as a side otherwise.
        width = max(1, int(np.ceil(span * scale)))
        height = max(1, int(np.ceil((span / 2 + max(size_y, 1)) * scale)) + 1)
        dx = dy = np.zeros(1, dtype=np.int64)
    depth = np.full(width * height, -1, dtype=np.int32)
    picture = np.zeros((width * height, 4), dtype=np.uint8)
    if not solid.size:
        return picture.reshape(height, width, 4)
    top_open, drawn = _open_sides(solid)
    # A chunk's arrays are a few per sprite pixel: bounded whatever the volume.
    per_chunk = max(1, PIXELS_PER_CHUNK // len(dx))
    layers = max(1, per_chunk // max(1, size_z * size_x))
    for y0 in range(0, size_y, layers):
        found = np.nonzero(drawn[y0 : y0 + layers])
        for start in range(0, len(found[0]), per_chunk):
            y, z, x = (axis[start : start + per_chunk] for axis in found)
            y = y + y0
            if scale >= 1:
                left = (x - z + size_z - 1) * half
                row = (x + z) * half // 2 + (size_y - 1 - y) * half
                light = np.broadcast_to(sprite_light, (len(y), len(dx)))
            else:
                left = ((x - z + size_z) * scale).astype(np.int64)
                row = (((x + z) / 2 + size_y - y - 0.5) * scale).astype(np.int64)
                light = np.where(top_open[y, z, x], FACE_LIGHT[0], FACE_LIGHT[1])[:, None]
            pixel = ((row[:, None] + dy) * width + left[:, None] + dx).ravel()
            distance = np.repeat(x + y + z, len(dx))
            # Per pixel, the sprite pixel nearest the viewer within this chunk...
            order = np.lexsort((distance, pixel))
            last = np.append(pixel[order][1:] != pixel[order][:-1], True)
            nearest = order[last]
            # ...and only where it is nearer than what earlier chunks drew there.
            nearer = nearest[distance[nearest] > depth[pixel[nearest]]]
            target = pixel[nearer]
            depth[target] = distance[nearer]
            block, sprite_pixel = np.divmod(nearer, len(dx))
            state = blocks[y[block], z[block], x[block]]
            shaded = colours[state] * light[block, sprite_pixel][:, None]
            picture[target, :3] = np.clip(shaded, 0, 255).astype(np.uint8)
            picture[target, 3] = 255
    return picture.reshape(height, width, 4)
