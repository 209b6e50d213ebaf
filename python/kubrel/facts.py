"""The facts about one volume that `kubrel info` shows and `kubrel scan` stores per file."""


def facts(volume, counts=None):
    """A flat dict: format, version, data_version, size and origin as (x, y, z), block_count (the
    blocks counts() lists: neither air nor structure voids), palette_size (the file's own count:
    see palette_size()), block_entities and entities (how many of each). `counts` is
    volume.counts() when the caller already has it."""
    if counts is None:
        counts = volume.counts()
    return {
        "format": volume.format,
        "version": volume.version,
        "data_version": volume.data_version,
        "size": tuple(volume.size),
        "origin": tuple(volume.origin),
        "block_count": sum(counts.values()),
        "palette_size": palette_size(volume, counts),
        "block_entities": len(volume.block_entities),
        "entities": len(volume.entities),
    }


def palette_size(volume, counts):
    """The states the file's blocks use. Not len(volume.palette): the load puts air first whether
    or not the file has any, and fills the positions a structure or region leaves out with
    structure void, neither of which the file lists. A file may list states no block uses; they
    leave no trace in the volume and are not counted."""
    # counts() leaves out air and structure void; air counts again when a block of the file is air.
    return len(counts) + bool((volume.blocks == 0).any())
