"""The facts about one volume that `kubrel info` shows and `kubrel scan` stores per file."""

# Where a structure leaves the world as it is: a position, not a block anyone places.
NOT_PLACED = frozenset({"minecraft:structure_void"})


def materials(volume):
    """{state: count} of the blocks a build places: the non-air states but structure voids."""
    return {state: n for state, n in volume.counts().items() if state not in NOT_PLACED}


def facts(volume, placed=None):
    """A flat dict: format, version, data_version, size and origin as (x, y, z), block_count (the
    blocks placed, see materials()), palette_size, block_entities and entities (how many of each).
    `placed` is materials(volume) when the caller already has it."""
    if placed is None:
        placed = materials(volume)
    return {
        "format": volume.format,
        "version": volume.version,
        "data_version": volume.data_version,
        "size": tuple(volume.size),
        "origin": tuple(volume.origin),
        "block_count": sum(placed.values()),
        "palette_size": len(volume.palette),
        "block_entities": len(volume.block_entities),
        "entities": len(volume.entities),
    }
