"""Reading the game's own world saves: dimensions, chunks, boxes as `Volume`s, block counts.

A world is the folder that holds `level.dat`. Chunks from 1.13 on are read (every layout since,
the 26.x one included); a chunk of numeric block ids (before 1.13) is refused with a message that
names its version. Boxes have an inclusive lower and an exclusive upper corner; chunks and
sections the world does not store read as air. Biomes come with a box when every position of it
has one stored; the numbers of chunks before 1.18 are named as their version named them.

Example:
    >>> import kubrel
    >>> world = kubrel.open_world("saves/Castle")
    >>> world.name, world.data_version, world.dimensions
    ('Castle', 3465, ['minecraft:overworld', 'minecraft:the_nether', 'minecraft:the_end'])
    >>> world.chunks()[:2]                          # (cx, cz) of chunks present
    [(0, 0), (1, 0)]
    >>> vol = world.load(((0, 60, 0), (64, 120, 64)))    # 64 x 60 x 64 blocks
    >>> vol.save("castle.schem")
    >>> counts = kubrel.world.count_region(world.region_files()[0], by="y")
    >>> counts.keys[0], dict(zip(counts.states, counts.counts[0]))
"""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

from .. import _native
from .._native import KubrelError
from ..loading import volume_from_native
from ..volume import Volume

__all__ = ["RegionCounts", "World", "count_region", "open_world"]

OVERWORLD = "minecraft:overworld"

Box = tuple[tuple[int, int, int], tuple[int, int, int]]


class World:
    """A world save folder. Use `open_world` to get one."""

    def __init__(self, path: str | os.PathLike[str], legacy: bool = False) -> None:
        self.path = os.fspath(path)
        self.legacy = legacy
        self.data_version, self.name, self.game_version = _native.world_info(self.path)
        self._dimensions = dict(_native.world_dimensions(self.path))

    def __repr__(self) -> str:
        return f"World({self.path!r}, name={self.name!r}, data_version={self.data_version})"

    @property
    def dimensions(self) -> list[str]:
        """Names of the dimensions that have region files, the game's own three first.

        >>> world.dimensions
        ['minecraft:overworld', 'minecraft:the_end']
        """
        return list(self._dimensions)

    @property
    def _legacy_world(self) -> str | None:
        return self.path if self.legacy else None

    def _folder(self, dimension: str) -> str:
        try:
            return self._dimensions[dimension]
        except KeyError:
            known = ", ".join(self._dimensions)
            message = f"{self.path} has no dimension {dimension!r} (it has: {known})"
            raise KubrelError(message) from None

    def region_files(self, dimension: str = OVERWORLD) -> list[str]:
        """Paths of the dimension's region files (`r.X.Z.mca`), in name order.

        >>> world.region_files()[0]
        'saves/Castle/region/r.-1.-1.mca'
        """
        return _native.world_region_files(self._folder(dimension))

    def chunks(self, dimension: str = OVERWORLD) -> list[tuple[int, int]]:
        """(cx, cz) of every chunk the dimension's region files hold.

        >>> (0, 0) in world.chunks()
        True
        """
        return _native.world_chunks(self._folder(dimension))

    def chunk_versions(self, dimension: str = OVERWORLD) -> dict[int | None, int]:
        """How many chunks of the dimension carry each data version (None: chunks from before
        1.9, which carry none), ascending. The game converts a chunk only when it loads it again,
        so a world played in several versions holds chunks of each. Reads every chunk's root
        (each is inflated); chunks that cannot be read are left out.

        >>> world.chunk_versions()
        {1343: 40, 1631: 120}
        """
        counts: dict[int | None, int] = {}
        for region in self.region_files(dimension):
            found, _ = _native.chunk_versions(region)
            for version, chunks in found:
                counts[version] = counts.get(version, 0) + chunks
        return dict(sorted(counts.items(), key=lambda item: -1 if item[0] is None else item[0]))

    def load(self, box: Box, dimension: str = OVERWORLD) -> Volume:
        """The blocks, biomes, block entities and entities of `box` as a `Volume`.

        `box` is ((x0, y0, z0), (x1, y1, z1)), the upper corner exclusive; positions of the
        volume count from (x0, y0, z0), which is its `origin`. A chunk that cannot be read
        raises `KubrelError` naming it.

        >>> vol = world.load(((0, -64, 0), (16, 320, 16)))
        >>> vol.size
        (16, 384, 16)
        """
        (x0, y0, z0), (x1, y1, z1) = box
        read = _native.world_load_box(
            self._folder(dimension), (x0, y0, z0), (x1, y1, z1), self.data_version,
            self._legacy_world,
        )
        return volume_from_native(read)

    def load_chunk(self, cx: int, cz: int, dimension: str = OVERWORLD) -> Volume:
        """One chunk as a `Volume`: its 16 x 16 columns over the sections it stores.

        >>> world.load_chunk(0, 0, dimension="minecraft:the_nether").size
        (16, 128, 16)
        """
        return volume_from_native(
            _native.world_load_chunk(
                self._folder(dimension), cx, cz, self.data_version, self._legacy_world
            )
        )


def open_world(path: str | os.PathLike[str], legacy: bool = False) -> World:
    """The world save in `path`, the folder that holds `level.dat`.

    Chunks from before 1.13 hold numeric block ids: they are refused unless `legacy`, which reads
    them as numbered states, "#id:data", or "#id:data(name)" where the world's level.dat names the
    id (modded worlds). Volumes holding such states are refused by every writer.

    >>> world = kubrel.open_world("saves/Castle")
    >>> old = kubrel.open_world("saves/Beta", legacy=True)
    """
    return World(path, legacy)


@dataclass(frozen=True)
class RegionCounts:
    """Block counts of one region file.

    `counts` has one row per key and one column per state of `states`: one row for
    by="world" (`keys` None), one per y level for by="y" (`keys` the y values, ascending), one
    per stored chunk section for by="chunk" (`keys` rows of (cx, sy, cz)). `errors` lists the
    chunks that could not be read as (cx, cz, message).
    """

    states: list[str]
    counts: np.ndarray
    keys: np.ndarray | None
    errors: list[tuple[int, int, str]]


def count_region(
    path: str | os.PathLike[str],
    by: str = "world",
    legacy_world: str | os.PathLike[str] | None = None,
) -> RegionCounts:
    """How many blocks of each state one region file stores, without building a `Volume`.

    Stored air counts like any state; sections a chunk does not store are not counted. Chunks
    from before 1.13 are errors unless `legacy_world` names the world the file belongs to: they
    then count as numbered states, named by its level.dat (see `open_world`).

    >>> c = kubrel.world.count_region("saves/Castle/region/r.0.0.mca")
    >>> dict(zip(c.states, c.counts[0].tolist()))["minecraft:stone"]
    52310
    """
    legacy_world = None if legacy_world is None else os.fspath(legacy_world)
    states, counts, keys, errors = _native.count_region(os.fspath(path), by, legacy_world)
    rows = 1 if by == "world" else len(keys) // 12
    table = np.frombuffer(counts, dtype=np.uint64).reshape(rows, len(states))
    key_rows = np.frombuffer(keys, dtype=np.int32).reshape(-1, 3)
    if by == "world":
        key_array = None
    elif by == "y":
        key_array = key_rows[:, 0].copy()
    else:
        key_array = key_rows.copy()
    return RegionCounts(states, table, key_array, errors)
