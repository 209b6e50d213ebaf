"""kubrel: block schematics read whole into NumPy arrays.

`load` reads a Sponge schematic (versions 1 to 3), a structure file or a KBR stream, detected by
content, into a `Volume`: one array of palette indices indexed [y, z, x], the palette as canonical
state texts, the origin and size, and the block entities and entities with their exact NBT (as
`kubrel.nbt` values). The decoding runs in C++ without a Python object per block.

Example:
    >>> import kubrel
    >>> vol = kubrel.load("castle.schem")
    >>> vol.blocks.shape, vol.palette[0]          # (size y, size z, size x), "minecraft:air"
    >>> vol.counts()                              # {"minecraft:stone": 1520, ...}
    >>> vol.block_entities[0].data["id"]          # String('minecraft:chest')

`Volume.save` writes a volume as Sponge (v3, or v2), a structure file, KBR or Litematica,
atomically; `save_pieces` splits it into structure files of at most 48³; `convert` does load and
save in one:

    >>> vol.save("castle.nbt")                    # the format from the suffix
    >>> kubrel.save_pieces(vol, "out/castle", size=48)
    >>> kubrel.convert("castle.schem", "castle.kbr")

Volumes turn, mirror, crop, trim and replace states, each into a new `Volume`, with their block
states turned too; `paste` places one volume into another:

    >>> vol.rotate(1).mirror("x").trim()          # stairs and doors face their new ways
    >>> kubrel.paste(vol, tree, at=(4, 1, 4), mask="air")

Errors of the input raise `KubrelError`, a ValueError.

With the `cli` extra, `kubrel.scan` and `kubrel.build_dataset` run over whole collections (see
`kubrel.collection`).
"""

from . import nbt
from ._native import KubrelError, split_state
from .loading import is_legacy_state, load
from .saving import convert, save_pieces
from .transform import TransformWarning, paste
from .volume import Biomes, BlockEntity, Entity, Region, Volume
from .world import World, open_world

__all__ = [
    "load",
    "convert",
    "save_pieces",
    "paste",
    "TransformWarning",
    "Volume",
    "World",
    "open_world",
    "BlockEntity",
    "Entity",
    "Region",
    "Biomes",
    "KubrelError",
    "split_state",
    "is_legacy_state",
    "nbt",
]

# The collection jobs need the `cli` extra (pyarrow, zarr): imported on first use, so that
# `import kubrel` stays free of them.
_COLLECTION_JOBS = ("scan", "scan_worlds", "build_dataset")


def __getattr__(name):
    if name in _COLLECTION_JOBS:
        from . import collection

        return getattr(collection, name)
    raise AttributeError(f"module 'kubrel' has no attribute {name!r}")
