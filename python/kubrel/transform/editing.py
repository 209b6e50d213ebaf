"""Crop, trim, replace and paste: boxes and palettes, each one copy of the grid at most."""

from __future__ import annotations

import dataclasses

import numpy

from ..volume import NOT_MATERIAL, BlockEntity, Entity
from .states import format_state, parse_state
from .turning import distinct, index_dtype

AIR = "minecraft:air"
# What `paste` leaves out of the pasted volume, by mask.
MASKS = {
    "air": NOT_MATERIAL,
    "structure_void": frozenset(("minecraft:structure_void",)),
    None: frozenset(),
}


def crop(volume, low, high):
    """The box from `low` (inclusive) to `high` (exclusive) of `volume`, positions (x, y, z) in the
    volume, clipped to it. Block entities, entities, regions and ticks outside it are left out."""
    low = tuple(max(0, min(int(v), s)) for v, s in zip(low, volume.size))
    high = tuple(max(lo, min(int(v), s)) for v, lo, s in zip(high, low, volume.size))
    size = tuple(h - lo for h, lo in zip(high, low))
    inside = lambda p: all(lo <= c < h for c, lo, h in zip(p, low, high))  # noqa: E731
    moved = lambda p: tuple(c - lo for c, lo in zip(p, low))  # noqa: E731
    box = numpy.s_[low[1] : high[1], low[2] : high[2], low[0] : high[0]]
    # The whole palette is kept, so the indices stay; air stays first.
    return dataclasses.replace(
        volume,
        blocks=volume.blocks[box].copy(),
        palette=list(volume.palette),
        origin=tuple(o + lo for o, lo in zip(volume.origin, low)),
        size=size,
        block_entities=[
            BlockEntity(moved(b.position), b.payload) for b in volume.block_entities if inside(b.position)
        ],
        entities=[Entity(moved(e.position), e.payload) for e in volume.entities if inside(e.position)],
        regions=_crop_regions(volume.regions, low, high),
        pending_block_ticks=_crop_ticks(volume.pending_block_ticks, inside, moved),
        pending_fluid_ticks=_crop_ticks(volume.pending_fluid_ticks, inside, moved),
        biomes=_crop_biomes(volume.biomes, box),
    )


def _crop_biomes(biomes, box):
    """The biome grid cut like the blocks (a grid of columns keeps its one layer)."""
    if biomes is None:
        return None
    rows = slice(None) if biomes.blocks.shape[0] == 1 else box[0]
    return dataclasses.replace(biomes, blocks=biomes.blocks[(rows, *box[1:])].copy())


def _crop_ticks(ticks, inside, moved):
    return [dataclasses.replace(t, position=moved(t.position)) for t in ticks if inside(t.position)]


def _crop_regions(regions, low, high):
    kept = []
    for region in regions:
        start = [max(m, lo) for m, lo in zip(region.min, low)]
        end = [min(m + s, h) for m, s, h in zip(region.min, region.size, high)]
        if any(e <= s for s, e in zip(start, end)):
            continue
        extent = tuple(e - s for s, e in zip(start, end))
        signed = tuple(e if f >= 0 else -e for e, f in zip(extent, region.file_size))
        cut = dataclasses.replace(
            region, min=tuple(s - lo for s, lo in zip(start, low)), size=extent, file_size=signed
        )
        if region.blocks is not None:
            (x, y, z), (ox, oy, oz) = start, region.min
            box = numpy.s_[y - oy :, z - oz :, x - ox :]
            inside = lambda p: all(s <= c < e for c, s, e in zip(p, start, end))  # noqa: E731
            cut = dataclasses.replace(
                cut,
                blocks=region.blocks[box][: extent[1], : extent[2], : extent[0]].copy(),
                block_entities=[
                    BlockEntity(tuple(c - lo for c, lo in zip(b.position, low)), b.payload)
                    for b in region.block_entities or []
                    if inside(b.position)
                ],
            )
        kept.append(cut)
    return kept


def trim(volume):
    """`volume` cropped to the smallest box holding every block that is not air or structure
    void, and every block entity and entity inside the volume; an empty volume trims to size 0."""
    empty = numpy.array([parse_state(text)[0] in NOT_MATERIAL for text in volume.palette])
    filled = ~empty[volume.blocks] if len(volume.palette) else numpy.zeros(volume.blocks.shape, bool)
    low, high = [], []
    for axis in (2, 0, 1):  # x, y, z
        others = tuple(a for a in range(3) if a != axis)
        along = numpy.flatnonzero(filled.any(axis=others))
        low.append(int(along[0]) if along.size else None)
        high.append(int(along[-1]) + 1 if along.size else None)
    points = [b.position for b in volume.block_entities] + [
        tuple(int(numpy.floor(c)) for c in e.position) for e in volume.entities
    ]
    for point in points:
        if all(0 <= c < s for c, s in zip(point, volume.size)):
            low = [c if lo is None else min(lo, c) for lo, c in zip(low, point)]
            high = [c + 1 if h is None else max(h, c + 1) for h, c in zip(high, point)]
    if low[0] is None:
        return crop(volume, (0, 0, 0), (0, 0, 0))
    return crop(volume, low, high)


def replace(volume, mapping):
    """`volume` with states replaced by `mapping` (state text to state text). A key with
    properties matches that state only; a key that is a bare name matches every state of that name,
    and its properties carry over to the replacement (whose own properties win)."""
    exact, by_name = {}, {}
    for key, value in mapping.items():
        if "[" in key:
            exact[format_state(*parse_state(key))] = value
        else:
            by_name[key] = value
    texts = []
    for text in volume.palette:
        if text in exact:
            texts.append(exact[text])
            continue
        name, properties = parse_state(text)
        if name in by_name:
            new_name, new_properties = parse_state(by_name[name])
            text = format_state(new_name, {**properties, **new_properties})
        texts.append(text)
    return _with_palette(volume, texts)


def _with_palette(volume, texts):
    """The volume over `texts`, its palette's new states, air kept first."""
    if texts and texts[0] != AIR:
        texts = [AIR, *texts]
        table = numpy.arange(1, len(texts), dtype=index_dtype(len(texts)))
        blocks = table[volume.blocks]
    else:
        table = None
        blocks = volume.blocks.copy()
    blocks, palette = distinct(blocks, texts)
    # A region's own blocks take the same new indices as the grid.
    moved = (lambda own: own) if table is None else (lambda own: table[own])  # noqa: E731
    regions = [
        r if r.blocks is None else dataclasses.replace(r, blocks=distinct(moved(r.blocks), texts)[0])
        for r in volume.regions
    ]
    return dataclasses.replace(volume, blocks=blocks, palette=palette, regions=regions)


def paste(into, volume, at=(0, 0, 0), mask="air"):
    """`into` with `volume` placed with its minimum corner at `at` (x, y, z, a position of `into`),
    clipped to `into`. With `mask="air"` the air and structure void of `volume` leave `into` as it
    was there; "structure_void" leaves out structure void only; None places every position.
    Block entities of `into` where a block is placed are replaced by those of `volume`; its
    entities and pending ticks inside `into` are added. Regions of `into` that kept their own
    blocks (where regions overlap) give them up: the pasted grid stands for every region."""
    if mask not in MASKS:
        raise ValueError(f"unknown mask {mask!r}: expected 'air', 'structure_void' or None")
    at = tuple(int(v) for v in at)
    low = tuple(max(0, a) for a in at)
    high = tuple(min(s, a + t) for s, a, t in zip(into.size, at, volume.size))
    if any(h <= lo for lo, h in zip(low, high)):
        return dataclasses.replace(into, blocks=into.blocks.copy())
    index_of = {text: i for i, text in enumerate(into.palette)}
    palette = list(into.palette)
    lookup = [index_of.setdefault(text, len(index_of)) for text in volume.palette]
    palette.extend(list(index_of)[len(palette) :])
    dtype = numpy.promote_types(into.blocks.dtype, index_dtype(len(palette)))
    blocks = into.blocks.astype(dtype, copy=True)
    target = numpy.s_[low[1] : high[1], low[2] : high[2], low[0] : high[0]]
    source = numpy.s_[
        low[1] - at[1] : high[1] - at[1], low[2] - at[2] : high[2] - at[2], low[0] - at[0] : high[0] - at[0]
    ]
    piece = volume.blocks[source]
    left_out = numpy.array([parse_state(text)[0] in MASKS[mask] for text in volume.palette])
    placed = ~left_out[piece] if left_out.any() else numpy.ones(piece.shape, bool)
    blocks[target] = numpy.where(placed, numpy.asarray(lookup, dtype)[piece], blocks[target])
    inside = lambda p: all(lo <= c < h for c, lo, h in zip(p, low, high))  # noqa: E731
    shifted = lambda p: tuple(c + a for c, a in zip(p, at))  # noqa: E731

    def covered(position):
        x, y, z = position
        return inside(position) and placed[y - low[1], z - low[2], x - low[0]]

    moved = lambda items, kind: [  # noqa: E731
        kind(shifted(i.position), i.payload) for i in items if inside(shifted(i.position))
    ]
    return dataclasses.replace(
        into,
        blocks=blocks,
        palette=palette,
        block_entities=[b for b in into.block_entities if not covered(b.position)]
        + [b for b in moved(volume.block_entities, BlockEntity) if covered(b.position)],
        entities=list(into.entities) + moved(volume.entities, Entity),
        regions=[dataclasses.replace(r, blocks=None, block_entities=None) for r in into.regions],
        pending_block_ticks=list(into.pending_block_ticks)
        + _paste_ticks(volume.pending_block_ticks, shifted, inside),
        pending_fluid_ticks=list(into.pending_fluid_ticks)
        + _paste_ticks(volume.pending_fluid_ticks, shifted, inside),
    )


def _paste_ticks(ticks, shifted, inside):
    moved = (dataclasses.replace(t, position=shifted(t.position)) for t in ticks)
    return [t for t in moved if inside(t.position)]
