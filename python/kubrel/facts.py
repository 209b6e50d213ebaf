"""The facts about one volume that `kubrel info` shows and `kubrel scan` stores per file."""


def facts(volume, counts=None):
    """A flat dict: format, version, data_version, size and origin as (x, y, z), block_count (the
    blocks counts() lists: neither air nor structure voids), palette_size, block_entities and
    entities (how many of each). `counts` is volume.counts() when the caller already has it."""
    if counts is None:
        counts = volume.counts()
    return {
        "format": volume.format,
        "version": volume.version,
        "data_version": volume.data_version,
        "size": tuple(volume.size),
        "origin": tuple(volume.origin),
        "block_count": sum(counts.values()),
        "palette_size": len(volume.palette),
        "block_entities": len(volume.block_entities),
        "entities": len(volume.entities),
    }
