"""`kubrel render`: a picture of a volume, its top view beside an isometric view.

Both views are computed with NumPy over the whole volume: the top view takes the highest visible
block of each column, the isometric view draws every block with a face in the open as a small
sprite through a depth buffer, a slab of blocks at a time so that memory stays bounded."""

import numpy as np

from kubrel._extras import require
from kubrel.render.colours import colour
from kubrel.volume import NOT_MATERIAL

BACKGROUND = (30, 32, 38)
MARGIN = 16
# Widths the views aim for, in pixels; a block is never drawn smaller than one pixel (top view)
# or a 2 x 2 sprite (isometric view).
TOP_VIEW_WIDTH = 256
ISOMETRIC_WIDTH = 512
# Sprite pixels handled at once by the isometric view's depth buffer.
PIXELS_PER_SLAB = 1 << 22
# Light on the faces of the isometric view: top, the side facing +z, the side facing +x.
FACE_LIGHT = np.array([1.0, 0.78, 0.6])


def render(volume):
    """The preview of `volume` as a `PIL.Image` (RGB): the top view (north up) on the left, the
    isometric view (seen from +x, +y, +z) on the right."""
    image_module = require("PIL.Image")
    colours = np.array([colour(state) for state in volume.palette], dtype=np.float32)
    seen = np.array([state not in NOT_MATERIAL for state in volume.palette], dtype=bool)
    solid = seen[volume.blocks] if volume.blocks.size else np.zeros(volume.blocks.shape, bool)
    top = top_view(volume.blocks, solid, colours)
    side = isometric_view(volume.blocks, solid, colours)
    width = top.shape[1] + side.shape[1] + 3 * MARGIN
    height = max(top.shape[0], side.shape[0]) + 2 * MARGIN
    canvas = np.empty((height, width, 3), dtype=np.uint8)
    canvas[:] = BACKGROUND
    canvas[MARGIN : MARGIN + top.shape[0], MARGIN : MARGIN + top.shape[1]] = top
    left = 2 * MARGIN + top.shape[1]
    canvas[MARGIN : MARGIN + side.shape[0], left : left + side.shape[1]] = side
    return image_module.fromarray(canvas, "RGB")


def top_view(blocks, solid, colours):
    """An (z, x, rgb) picture: each column's highest visible block, darker the lower it is."""
    size_y, size_z, size_x = blocks.shape
    scale = max(1, min(32, TOP_VIEW_WIDTH // max(size_x, size_z, 1)))
    picture = np.empty((max(size_z, 1), max(size_x, 1), 3), dtype=np.uint8)
    picture[:] = BACKGROUND
    filled = np.zeros(picture.shape[:2], dtype=bool)
    if solid.any():
        highest = size_y - 1 - solid[::-1].argmax(axis=0)
        filled = solid.any(axis=0)
        states = np.take_along_axis(blocks, highest[None], axis=0)[0]
        light = 0.55 + 0.45 * (highest + 1) / size_y
        shaded = colours[states] * light[..., None]
        picture[filled] = shaded[filled].astype(np.uint8)
    picture = picture.repeat(scale, axis=0).repeat(scale, axis=1)
    if scale >= 4:
        # A darker last row and column of each block keeps neighbours of one colour apart.
        edge = np.zeros(picture.shape[:2], dtype=bool)
        edge[scale - 1 :: scale] = True
        edge[:, scale - 1 :: scale] = True
        edge &= filled.repeat(scale, axis=0).repeat(scale, axis=1)
        picture[edge] = (picture[edge] * 0.82).astype(np.uint8)
    return picture


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


def isometric_view(blocks, solid, colours):
    """An (h, w, rgb) picture of the volume seen from above its +x, +z corner."""
    size_y, size_z, size_x = blocks.shape
    span = max(size_x + size_z, 1)
    # A step along x or z moves a sprite half its width across and a quarter down: an even half
    # width keeps that quarter on whole pixels.
    half = max(1, min(32, ISOMETRIC_WIDTH // span))
    half -= half % 2 if half > 1 else 0
    width = span * half
    height = span * half // 2 + max(size_y, 1) * half + 1
    depth = np.full(width * height, -1, dtype=np.int64)
    picture = np.empty((width * height, 3), dtype=np.uint8)
    picture[:] = BACKGROUND
    dx, dy, face, edge = _sprite(half)
    light = FACE_LIGHT[face] * np.where(edge & (half > 1), 0.82, 1.0)

    open_to = np.zeros_like(solid)
    open_to[:-1] |= ~solid[1:]
    open_to[-1] = True
    open_to[:, :-1] |= ~solid[:, 1:]
    open_to[:, -1] = True
    open_to[:, :, :-1] |= ~solid[:, :, 1:]
    open_to[:, :, -1] = True
    drawn = solid & open_to

    layers = max(1, PIXELS_PER_SLAB // max(1, len(dx) * size_z * size_x))
    for y0 in range(0, size_y, layers):
        y, z, x = np.nonzero(drawn[y0 : y0 + layers])
        if not len(y):
            continue
        y = y + y0
        left = (x - z + size_z - 1) * half
        row = (x + z) * half // 2 + (size_y - 1 - y) * half
        pixel = ((row[:, None] + dy) * width + left[:, None] + dx).ravel()
        distance = np.repeat(x + y + z, len(dx))
        # Per pixel, the sprite pixel nearest the viewer within this slab...
        order = np.lexsort((distance, pixel))
        last = np.append(pixel[order][1:] != pixel[order][:-1], True)
        nearest = order[last]
        # ...and only where it is nearer than what earlier slabs drew there.
        nearer = nearest[distance[nearest] > depth[pixel[nearest]]]
        target = pixel[nearer]
        depth[target] = distance[nearer]
        block, sprite_pixel = np.divmod(nearer, len(dx))
        state = blocks[y[block], z[block], x[block]]
        shaded = colours[state] * light[sprite_pixel][:, None]
        picture[target] = np.clip(shaded, 0, 255).astype(np.uint8)
    return picture.reshape(height, width, 3)
