"""A volume turned: the grid in one strided copy, the palette turned once per state, and
everything placed in the volume moved with it. The origin (the minimum corner) stays where it is."""

from __future__ import annotations

import dataclasses
import warnings

import numpy

from .._native import KubrelError
from .content import turn_block_entities, turn_entities, turn_regions, turn_ticks
from .states import turn_state
from .turns import Turn, turn_grid


class TransformWarning(UserWarning):
    """Some states or entities could not follow a turn and were left as they were."""


def turn_palette(palette, turn: Turn):
    """The palette's states turned, and the states that could not follow (left as they were)."""
    turned, stuck = [], []
    for text in palette:
        image = turn_state(text, turn)
        if image is None:
            stuck.append(text)
        turned.append(text if image is None else image)
    return turned, stuck


def transform(volume, turn: Turn, strict: bool = False):
    """`volume` turned by `turn` (a `Turn`). States and entities that cannot follow stay as they
    were and are named in a `TransformWarning`; with `strict`, a KubrelError is raised instead."""
    size = tuple(volume.size)
    palette, stuck = turn_palette(volume.palette, turn)
    entities, unturned = turn_entities(volume.entities, turn, size, volume.origin)
    if stuck or unturned:
        what = ", ".join(stuck + [f"entity {name}" for name in unturned])
        message = f"{len(stuck) + len(unturned)} cannot follow the turn, left as they were: {what}"
        if strict:
            raise KubrelError(message)
        warnings.warn(message, TransformWarning, stacklevel=3)
    blocks, turned_palette = distinct(turn_grid(volume.blocks, turn), palette)
    regions = [
        r if r.blocks is None
        else dataclasses.replace(
            r,
            blocks=distinct(turn_grid(r.blocks, turn), palette)[0],
            block_entities=turn_block_entities(r.block_entities or [], turn, size),
        )
        for r in turn_regions(volume.regions, turn, size)
    ]
    return dataclasses.replace(
        volume,
        blocks=blocks,
        palette=turned_palette,
        size=turn.size(size),
        block_entities=turn_block_entities(volume.block_entities, turn, size),
        entities=entities,
        regions=regions,
        pending_block_ticks=turn_ticks(volume.pending_block_ticks, turn, size),
        pending_fluid_ticks=turn_ticks(volume.pending_fluid_ticks, turn, size),
        biomes=_turn_biomes(volume.biomes, turn, size),
        # The other palettes of a structure would need the merge of turned states that `distinct`
        # made for this one: the turned volume offers the one palette it shows.
        palettes=[],
        palette_count=1,
    )


def _turn_biomes(biomes, turn: Turn, size):
    """The biome grid turned like the blocks; a grid of columns stands for every height, so it
    is spread over them first where the turn tips it over."""
    if biomes is None:
        return None
    grid = biomes.blocks
    if grid.shape[0] == 1 and not turn.upright:
        grid = numpy.broadcast_to(grid, (size[1], *grid.shape[1:]))
    return dataclasses.replace(biomes, blocks=numpy.ascontiguousarray(turn_grid(grid, turn)))


def index_dtype(count):
    """The smallest unsigned dtype that holds the indices of `count` states."""
    return numpy.min_scalar_type(max(count - 1, 0))


def distinct(blocks, palette):
    """The blocks and palette with each state once. Turning is one to one on the states that
    follow, so the indices stay; only a state left as it was can meet another's image, and then
    the grid is mapped once more."""
    first = {}
    lookup = [first.setdefault(text, len(first)) for text in palette]
    if len(first) == len(palette):
        return blocks, list(palette)
    table = numpy.array(lookup, dtype=index_dtype(len(first)))
    return table[blocks], list(first)
