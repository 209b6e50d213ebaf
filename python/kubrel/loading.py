"""`load`: any schematic, detected by content, read whole into a Volume by the native module."""

from __future__ import annotations

import operator
import os
from typing import IO, Literal, Optional, Union

from . import _native
from .volume import BlockEntity, Entity, Volume

# Format names as callers spell them, in any letter case, to the native module's names (None lets
# it detect the format from the content).
_FORMATS: dict[str, Optional[Literal["sponge", "structure", "kbr"]]] = {
    "auto": None,
    "sponge": "sponge",
    "schem": "sponge",
    "structure": "structure",
    "mojang": "structure",
    "nbt": "structure",
    "kbr": "kbr",
}

Source = Union[
    str, "os.PathLike[str]", "os.PathLike[bytes]", bytes, bytearray, memoryview, IO[bytes]
]


def load(source: Source, format: str = "auto", palette: int = 0) -> Volume:
    """Reads a whole schematic: a Sponge schematic (versions 1 to 3), a structure file or a KBR
    stream, gzip-compressed or not.

    `source` is a path (str or os.PathLike), the file's bytes (any bytes-like object) or a binary
    file object with `read`. `format` is "auto" (detect by content), "sponge" (or "schem"),
    "structure" (or "mojang", "nbt") or "kbr", in any letter case. `palette` picks one of the
    palettes of a structure file that offers several (`Volume.palette_count` says how many).

    Raises KubrelError (a ValueError) with the reason when the input is not a schematic that can
    be read, and OSError when a path cannot be opened.

    Example:
        >>> import kubrel
        >>> vol = kubrel.load("castle.schem")
        >>> vol.size, vol.blocks.shape              # (x, y, z) and (y, z, x)
        >>> vol.counts()                            # {"minecraft:stone": 1520, ...}
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
    read = _native.load(source, _FORMATS[format.lower()], operator.index(palette))
    return Volume(
        blocks=read["blocks"],
        palette=read["palette"],
        origin=read["origin"],
        size=read["size"],
        format=read["format"],
        version=read["version"],
        data_version=read["data_version"],
        block_entities=[BlockEntity(position, data) for position, data in read["block_entities"]],
        entities=[Entity(position, data) for position, data in read["entities"]],
        palette_count=read["palette_count"],
    )
