"""Writing: `Volume.save`, `save_pieces` and `convert`, over the native module's atomic writers."""

from __future__ import annotations

import operator
import os
from typing import TYPE_CHECKING, Optional, Union

import numpy

from . import _native
from .loading import _FORMATS
from .volume import Records

if TYPE_CHECKING:
    from .loading import Source
    from .volume import Volume

Path = Union[str, "os.PathLike[str]"]

# The names `load` takes, less "auto" (a writer needs a format) and the read-only MCEdit format.
WRITABLE = {name: format for name, format in _FORMATS.items() if format not in (None, "schematic")}


# The largest piece edge: the native writer counts positions per axis in 32 bits.
_PIECE_SIZE_LIMIT = 2**32 - 1


def _writable_name(format: Optional[str]) -> Optional[str]:
    if format is None:
        return None
    if not isinstance(format, str) or format.lower() not in WRITABLE:
        known = ", ".join(repr(name) for name in WRITABLE)
        raise ValueError(f"unknown format {format!r}: expected None or one of {known}")
    return WRITABLE[format.lower()]


def _payload(compound) -> Optional[bytes]:
    return None if compound is None else compound.to_bytes()


def _records(items) -> list | tuple:
    if isinstance(items, Records):
        return items.native()
    return [(tuple(item.position), item.payload) for item in items]


def _parts(volume: Volume, data_version: Optional[int] = None) -> dict:
    """The volume as the native writers take it: every part, NBT as payload bytes."""
    ticks = lambda items: [(tuple(t.position), t.data.to_bytes()) for t in items]  # noqa: E731
    biomes = volume.biomes
    return {
        "blocks": volume.blocks,
        "palette": list(volume.palette),
        "origin": tuple(volume.origin),
        "size": tuple(volume.size),
        "data_version": volume.data_version if data_version is None else data_version,
        # The payloads as read unless changed: no parse and re-encoding of untouched data.
        "block_entities": _records(volume.block_entities),
        "entities": _records(volume.entities),
        "regions": [
            (r.name, tuple(r.min), tuple(r.size), tuple(r.file_size), _payload(r.other_tags))
            + (() if r.blocks is None else (r.blocks, _records(r.block_entities or [])))
            for r in volume.regions
        ],
        "pending_block_ticks": ticks(volume.pending_block_ticks),
        "pending_fluid_ticks": ticks(volume.pending_fluid_ticks),
        "metadata": _payload(volume.metadata),
        "other_tags": _payload(volume.other_tags),
        "paste_origin": None if volume.paste_origin is None else tuple(volume.paste_origin),
        "palette_count": volume.palette_count,
        "palettes": [list(p) for p in volume.palettes],
        "biomes": None if biomes is None else (
            numpy.ascontiguousarray(biomes.blocks), list(biomes.palette)
        ),
        "read_as": (volume.format, volume.version, volume.sub_version),
    }


def save(
    volume: Volume,
    path: Path,
    format: Optional[str] = None,
    version: int = 3,
    level: Optional[int] = None,
    drop_entities: bool = False,
    data_version: Optional[int] = None,
    force: bool = False,
) -> dict:
    """See `Volume.save`."""
    target = os.fsdecode(os.fspath(path))
    name = _writable_name(format)
    options = {"format": name, "version": version, "drop_entities": bool(drop_entities)}
    options["force"] = bool(force)
    if level is not None:
        options["level"] = level
    report = _native.save(target, _parts(volume, data_version), **options)
    if not report["not_kept"]:
        del report["not_kept"]
    return report


def save_pieces(
    volume: Volume,
    stem: Path,
    size: int = 48,
    level: Optional[int] = None,
    force: bool = False,
) -> list[str]:
    """Writes `volume` as Mojang structure files of at most `size` positions on each axis (the
    game's structure blocks load at most 48³; larger pieces are written too, for other tools),
    named `<stem>_<x>_<y>_<z>.nbt` after each piece's offset from the volume's minimum corner;
    returns their paths in writing order. A stem naming a folder puts the pieces beside it, not
    in it. Positions holding "minecraft:structure_void" are left out of each piece, as in any
    structure file. Each piece replaces a file as `Volume.save` does (`force` as there).
    Raises ValueError for a `size` outside 1 to 2³² − 1.

    Example:
        >>> vol = kubrel.load("castle.schem")
        >>> kubrel.save_pieces(vol, "out/castle", size=48)
        ['out/castle_0_0_0.nbt', 'out/castle_48_0_0.nbt', ...]
    """
    target = os.fsdecode(os.fspath(stem))
    size = operator.index(size)
    if not 1 <= size <= _PIECE_SIZE_LIMIT:
        raise ValueError(f"size must be from 1 to {_PIECE_SIZE_LIMIT}, not {size}")
    options = {"piece_size": size, "force": bool(force)}
    if level is not None:
        options["level"] = level
    return _native.save_pieces(target, _parts(volume), **options)


def convert(
    source: Source,
    target: Path,
    format: Optional[str] = None,
    pieces: Optional[int] = None,
    **save_options,
) -> Union[dict[str, int], list[str]]:
    """Reads `source` (any schematic `load` reads) and writes it to `target`: one file in `format`
    ("sponge", "structure", "kbr" or "litematic"; None takes it from the suffix), or, with
    `pieces=N`, structure pieces of at most N³ named after `target` as a stem. Further keywords go
    to `Volume.save` (`version`, `level`, `drop_entities`, `force`) or, with pieces, to
    `save_pieces` (`level`, `force`). Returns what `Volume.save` or `save_pieces` returns.

    Example:
        >>> kubrel.convert("castle.schem", "castle.kbr", drop_entities=True)
        {'block_entities': 12, 'entities': 0}
        >>> kubrel.convert("castle.schem", "out/castle", pieces=48)
    """
    from .loading import load

    volume = load(source)
    if pieces is not None:
        if format not in (None, "structure", "nbt", "mojang"):
            raise ValueError("pieces are structure files: format must be None or 'structure'")
        return save_pieces(volume, target, size=pieces, **save_options)
    return save(volume, target, format=format, **save_options)
