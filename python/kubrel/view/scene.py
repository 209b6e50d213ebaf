"""What the 3D view is sent: the blocks with a visible face, found by the core, packed for the
browser (cell numbers as differences, each array split into byte planes, deflated), with the
palette's colours and shapes, the regions and the materials list beside them; and an overview
(the build's top surface in coarse columns) small enough to draw before the blocks are unpacked."""

from __future__ import annotations

import math
import zlib
from dataclasses import dataclass

import numpy

from kubrel import _native
from kubrel.render.colours import colour
from kubrel.view.shapes import EMPTY, looks, shape

# Visible blocks a page embeds at most (a deflated scene costs about two bytes per block); a
# larger build is cut at a layer and the page says what was left out.
EMBEDDED_BLOCKS = 3_000_000
# Served pages send their data apart from the page, so they may be larger.
SERVED_BLOCKS = 16_000_000
# Entries of the materials list the page shows.
MATERIALS_SHOWN = 200
# Columns the overview holds at most: a software renderer draws their few quads in a fraction of
# the time the blocks take to unpack, so a large build shows at once and its detail follows.
OVERVIEW_COLUMNS = 4096


@dataclass
class Scene:
    """The page's description of the build (`meta`, JSON-ready) and its deflated block data."""

    meta: dict
    data: bytes
    overview: bytes = b""


def planes(values: numpy.ndarray, width: int) -> bytes:
    """Little-endian integers of `width` bytes, byte k of every value after byte k-1 of all."""
    as_bytes = values.astype(f"<u{width}").view(numpy.uint8).reshape(-1, width)
    return as_bytes.T.tobytes()


def state_width(palette_size: int) -> int:
    return 1 if palette_size <= 1 << 8 else 2 if palette_size <= 1 << 16 else 4


def overview(blocks: numpy.ndarray, drawn: numpy.ndarray, columns: int = OVERVIEW_COLUMNS):
    """The top surface of `blocks` (y, z, x) in columns of `step` × `step` positions, at most
    `columns` of them: each column's top (one above its highest drawn block, 0 where it has none),
    its lowest drawn block, and the state on top of its highest position. `drawn` says for each
    palette index whether it is drawn; indices past it are not.

    Example:
        >>> step, (tops, lows, states) = overview(blocks, numpy.array([False, True]))
    """
    size_y, size_z, size_x = blocks.shape
    table = numpy.append(numpy.asarray(drawn, dtype=bool), False)
    top = numpy.zeros((size_z, size_x), dtype=numpy.int64)
    low = numpy.full((size_z, size_x), size_y, dtype=numpy.int64)
    state = numpy.zeros((size_z, size_x), dtype=numpy.int64)
    # Layer by layer from the top: the first drawn block a column meets is its top.
    for y in range(size_y - 1, -1, -1):
        here = numpy.take(table, blocks[y], mode="clip")
        new = here & (top == 0)
        top[new] = y + 1
        state[new] = blocks[y][new]
        low[here] = y
    step = max(1, math.ceil(math.sqrt(size_x * size_z / columns)))
    tiles_z, tiles_x = -(-size_z // step), -(-size_x // step)

    def tiles(values, fill):
        padded = numpy.full((tiles_z * step, tiles_x * step), fill, dtype=numpy.int64)
        padded[:size_z, :size_x] = values
        return padded.reshape(tiles_z, step, tiles_x, step).swapaxes(1, 2).reshape(
            tiles_z, tiles_x, step * step)

    heights = tiles(top, 0)
    highest = heights.argmax(axis=2)[..., None]
    tops = numpy.take_along_axis(heights, highest, axis=2)[..., 0]
    states = numpy.take_along_axis(tiles(state, 0), highest, axis=2)[..., 0]
    lows = numpy.minimum(tiles(low, size_y).min(axis=2), tops)
    return step, (tops, lows, states)


def build(volume, max_blocks: int = EMBEDDED_BLOCKS) -> Scene:
    """The scene of `volume`: at most `max_blocks` visible blocks, whole layers from the bottom.

    Example:
        >>> build(kubrel.load("hut.schem")).meta["blocks"]
        412
    """
    shapes = [shape(state) for state in volume.palette]
    blocks = numpy.ascontiguousarray(volume.blocks)
    cells, states, masks, _ = _native.visible_faces(blocks, looks(shapes))
    cells = numpy.frombuffer(cells, dtype=numpy.uint32)
    states = numpy.frombuffer(states, dtype=numpy.uint32)
    masks = numpy.frombuffer(masks, dtype=numpy.uint8)
    size_x, size_y, size_z = volume.size
    layer = max(1, size_x * size_z)
    left_out = ""
    shown_layers = blocks
    if len(cells) > max_blocks:
        # Whole layers where one fits, so the cut shows a build as it stands at that height.
        first_dropped = int(cells[max_blocks]) // layer
        kept = int(numpy.searchsorted(cells, first_dropped * layer)) or max_blocks
        top = int(cells[kept - 1]) // layer
        left_out = (
            f"{len(cells) - kept:,d} of {len(cells):,d} visible blocks above y = {top} left out "
            f"(a page holds {max_blocks:,d}; `kubrel view --serve` sends more)"
        )
        cells, states, masks = cells[:kept], states[:kept], masks[:kept]
        shown_layers = blocks[: top + 1]
    width = state_width(len(volume.palette))
    deltas = numpy.diff(cells, prepend=numpy.uint32(0)).astype(numpy.uint32)
    data = zlib.compress(planes(deltas, 4) + planes(states, width) + masks.tobytes(), 6)
    drawn = numpy.array([entry.look != EMPTY for entry in shapes], dtype=bool)
    step, (tops, lows, tile_states) = overview(shown_layers, drawn)
    # Not deflated: the page reads it before anything else, with no wait for an inflater.
    summary = planes(tops.ravel(), 2) + planes(lows.ravel(), 2) + planes(tile_states.ravel(), width)
    per_index = _native.count_indices(blocks, len(volume.palette))
    used = [i for i, count in enumerate(per_index) if count and shapes[i].look != EMPTY]
    used.sort(key=lambda i: -per_index[i])
    meta = {
        "size": list(volume.size),
        "origin": list(volume.origin),
        "palette": list(volume.palette),
        "colours": [list(colour(state)) for state in volume.palette],
        "boxes": [[*entry.low, *entry.high] for entry in shapes],
        "alphas": [entry.alpha for entry in shapes],
        "blocks": int(len(cells)),
        "state_bytes": width,
        "regions": [
            {"name": region.name, "min": list(region.min), "size": list(region.size)}
            for region in volume.regions
        ],
        "materials": [[i, int(per_index[i])] for i in used[:MATERIALS_SHOWN]],
        "material_count": len(used),
        "left_out": left_out,
        "overview": {"step": step, "size": [int(tops.shape[1]), int(tops.shape[0])]},
    }
    return Scene(meta, data, summary)
