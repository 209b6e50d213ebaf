"""`load`: any schematic, detected by content, read whole into a Volume by the native module."""

from __future__ import annotations

import operator
import os
from typing import IO, Literal, Optional, Union

from . import _native, nbt
from .volume import Biomes, BlockEntity, Entity, PendingTick, Records, Region, Volume

# Format names as callers spell them, in any letter case, to the native module's names (None lets
# it detect the format from the content).
_FORMATS: dict[
    str, Optional[Literal["sponge", "structure", "kbr", "litematic", "schematic"]]
] = {
    "auto": None,
    "sponge": "sponge",
    "schem": "sponge",
    "structure": "structure",
    "mojang": "structure",
    "nbt": "structure",
    "kbr": "kbr",
    "litematic": "litematic",
    "litematica": "litematic",
    "schematic": "schematic",
    "mcedit": "schematic",
}

Source = Union[
    str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview, IO[bytes]
]


def load(
    source: Source,
    format: str = "auto",
    palette: int = 0,
    region: Optional[str] = None,
    max_document: int = _native.MAX_DOCUMENT,
    legacy: bool = False,
) -> Volume:
    """Reads a whole schematic: a Sponge schematic (versions 1 to 3), a structure file, a KBR
    stream or a Litematica file, gzip-compressed or not.

    `source` is a path (str or os.PathLike), the file's bytes (any bytes-like object) or a binary
    file object with `read`. `format` is "auto" (detect by content), "sponge" (or "schem"),
    "structure" (or "mojang", "nbt"), "kbr", "litematic" or "schematic", in any letter case. `palette` picks
    one of the palettes of a structure file that offers several (`Volume.palette_count` says how
    many). `region` reads one named region of a Litematica file alone (`Volume.regions` lists
    them); by default every region is placed in one volume. `max_document` bounds the bytes the
    schematic may hold once inflated (and a file or stream read to its end): 1 GiB by default,
    which a 512×384×512 build takes a fifth of, so that a small file that inflates to gigabytes is
    refused before it takes the memory; raise it for a larger schematic.

    `legacy=True` also reads MCEdit and Schematica `.schematic` files (format "schematic" or
    "mcedit"), whose blocks are numeric ids from before 1.13: each becomes a legacy state
    "#id:data", or "#id:data(name)" where the file's "SchematicaMapping" names the id (id 0 is
    "minecraft:air"). `kubrel.is_legacy_state` tells them apart. Such a volume cannot be saved in
    any format: its states are not translated. Without it such files are refused.

    Raises KubrelError (a ValueError) with the reason when the input is not a schematic that can
    be read or holds more than `max_document` bytes, and OSError when a path cannot be opened.

    Example:
        >>> import kubrel
        >>> vol = kubrel.load("castle.schem")
        >>> vol.size, vol.blocks.shape              # (x, y, z) and (y, z, x)
        >>> vol.counts()                            # {"minecraft:stone": 1520, ...}
        >>> old = kubrel.load("tower.schematic", legacy=True)
        >>> old.palette[1]                          # "#35:14(minecraft:wool)"
    """
    if not isinstance(format, str) or format.lower() not in _FORMATS:
        known = ", ".join(repr(name) for name in _FORMATS)
        raise ValueError(f"unknown format {format!r}: expected one of {known}")
    if isinstance(source, os.PathLike):
        source = os.fsdecode(os.fspath(source))
    elif not isinstance(source, str):
        try:
            # Any bytes-like object (also NumPy arrays and mmaps) is read in place, without the GIL.
            source = memoryview(source)  # type: ignore[arg-type]
        except TypeError:
            if not hasattr(source, "read"):
                raise TypeError(
                    "load() needs a path, bytes or a binary file object, "
                    f"not {type(source).__name__}"
                ) from None
    if region is not None and not isinstance(region, str):
        raise TypeError(f"region must be a str, not {type(region).__name__}")
    read = _native.load(
        source,
        _FORMATS[format.lower()],
        operator.index(palette),
        region,
        operator.index(max_document),
        bool(legacy),
    )
    return volume_from_native(read)


def volume_from_native(read: dict) -> Volume:
    """The `Volume` of the dict the native loaders give (its arrays taken, not copied)."""
    metadata, other_tags, biomes = read["metadata"], read["other_tags"], read["biomes"]
    return Volume(
        blocks=read["blocks"],
        palette=read["palette"],
        origin=read["origin"],
        size=read["size"],
        format=read["format"],
        version=read["version"],
        data_version=read["data_version"],
        block_entities=Records(BlockEntity, read["block_entities"]),
        entities=Records(Entity, read["entities"]),
        palette_count=read["palette_count"],
        regions=[_region(*fields) for fields in read["regions"]],
        sub_version=read["sub_version"],
        metadata=_compound(metadata),
        pending_block_ticks=[
            PendingTick(position, nbt.parse_compound(data))
            for position, data in read["pending_block_ticks"]
        ],
        pending_fluid_ticks=[
            PendingTick(position, nbt.parse_compound(data))
            for position, data in read["pending_fluid_ticks"]
        ],
        palettes=read["palettes"],
        paste_origin=read["paste_origin"],
        biomes=None if biomes is None else Biomes(*biomes),
        other_tags=_compound(other_tags),
    )


def _region(name, low, size, file_size, other_tags, own) -> Region:
    blocks, block_entities = (None, None) if own is None else (own[0], Records(BlockEntity, own[1]))
    return Region(name, low, size, file_size, _compound(other_tags), blocks, block_entities)


def _compound(payload: bytes | None) -> nbt.Compound | None:
    return None if payload is None else nbt.parse_compound(payload)


def is_legacy_state(text: str) -> bool:
    """Whether `text` is a state read from numeric ids (`load(..., legacy=True)`): "#id:data" or
    "#id:data(name)", a form no modern state text takes.

    Example:
        >>> kubrel.is_legacy_state("#35:14(minecraft:wool)"), kubrel.is_legacy_state("minecraft:stone")
        (True, False)
    """
    return text.startswith(("#", '"#'))
