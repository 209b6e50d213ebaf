"""What moves with the grid besides blocks: block entities with their blocks, entities with their
positions and the way they look (yaw and pitch, a hanging entity's facing and the block it hangs
in), a Litematica file's region boxes and its pending ticks."""

from __future__ import annotations

import dataclasses

from .. import nbt
from ..volume import BlockEntity, Entity
from .turns import Turn

# A hanging entity's facing byte: item frames count all six directions in the game's data order,
# paintings the four horizontal ones clockwise from south.
SIX_ORDER = ("down", "up", "north", "south", "west", "east")
FOUR_ORDER = ("south", "west", "north", "east")
TILE_KEYS = ("TileX", "TileY", "TileZ")
# How far from its position a hanging entity's tile can be (a 4x4 painting's corner).
NEAR = 4


class Unturnable(Exception):
    """An entity that cannot face its turned way (a painting laid flat)."""


def turn_block_entities(items, turn: Turn, size):
    return [BlockEntity(turn.block(item.position, size), item.payload) for item in items]


def turn_entities(items, turn: Turn, size, origin):
    """The entities moved and turned, and the ids of those that cannot face their turned way
    (moved, but facing as they did)."""
    turned, failed = [], []
    for item in items:
        data = item.data
        kept = item.payload
        if _looks(data) or _hangs(data):
            data = nbt.Compound(data)
            try:
                _turn_rotation(data, turn)
                _turn_hanging(data, item.position, turn, size, origin)
                kept = data
            except Unturnable as error:
                failed.append(str(error))
        turned.append(Entity(turn.point(item.position, size), kept))
    return turned, failed


def _looks(data):
    rotation = data.get("Rotation")
    return isinstance(rotation, nbt.List) and len(rotation) == 2


def _hangs(data):
    return any(key in data for key in ("Facing", "facing", "block_pos", *TILE_KEYS))


def _turn_rotation(data, turn):
    rotation = data.get("Rotation")
    if not _looks(data):
        return
    yaw, pitch = turn.look(float(rotation[0]), float(rotation[1]))
    kind = type(rotation[0])
    data["Rotation"] = nbt.List(rotation.element_type, [kind(yaw), kind(pitch)])


def _turn_hanging(data, position, turn, size, origin):
    name = str(data.get("id", ""))
    for key in ("Facing", "facing"):
        value = data.get(key)
        if isinstance(value, nbt.Byte):
            order = FOUR_ORDER if "painting" in name else SIX_ORDER
            if 0 <= value < len(order):
                image = turn.direction(order[value])
                if image not in order:
                    raise Unturnable(name)
                data[key] = nbt.Byte(order.index(image))
    if all(isinstance(data.get(key), nbt.Int) for key in TILE_KEYS):
        tile = _turn_tile([int(data[key]) for key in TILE_KEYS], position, turn, size, origin)
        for key, value in zip(TILE_KEYS, tile):
            data[key] = nbt.Int(value)
    block_pos = data.get("block_pos")
    if isinstance(block_pos, nbt.IntArray) and len(block_pos) == 3:
        data["block_pos"] = nbt.IntArray(_turn_tile(list(block_pos), position, turn, size, origin))


def _turn_tile(tile, position, turn, size, origin):
    """The block a hanging entity hangs in, turned in the frame its file wrote it in: the volume's,
    the world's (the volume's origin added), or, when neither is near the entity, the frame that
    puts the tile nearest to it."""
    near = lambda frame: all(  # noqa: E731
        abs(t - f - p) <= NEAR for t, f, p in zip(tile, frame, position)
    )
    frame = next(
        (f for f in ((0, 0, 0), tuple(origin)) if near(f)),
        tuple(round(t + 0.5 - p) for t, p in zip(tile, position)),
    )
    local = turn.block([t - f for t, f in zip(tile, frame)], size)
    return [f + v for f, v in zip(frame, local)]


def turn_regions(regions, turn: Turn, size):
    turned = []
    for region in regions:
        low, extent = turn.box(region.min, region.size, size)
        turned.append(
            dataclasses.replace(region, min=low, size=extent, file_size=turn.vector(region.file_size))
        )
    return turned


def turn_ticks(ticks, turn: Turn, size):
    return [dataclasses.replace(t, position=turn.block(t.position, size)) for t in ticks]


