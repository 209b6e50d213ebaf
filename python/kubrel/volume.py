"""The Volume: a whole schematic as one NumPy array of palette indices, with its palette, its place
in the world and its block entities and entities."""

from __future__ import annotations

import operator
import os
from collections.abc import MutableSequence
from dataclasses import dataclass, field

import numpy

from . import _native, nbt

# Names that hold no material: the three airs, and the structure void that stands for "leave the
# world as it is" (a structure file's unlisted positions). Counts leave them out; previews draw
# nothing there.
NOT_MATERIAL = frozenset(
    ("minecraft:air", "minecraft:cave_air", "minecraft:void_air", "minecraft:structure_void")
)


class _WithData:
    """A position and NBT data. The data is read from its bytes on first use: a large schematic
    holds thousands of block entities that a reader of its blocks never looks at."""

    __slots__ = ("position", "_payload", "_data")

    def __init__(self, position: tuple, data: nbt.Compound | bytes):
        self.position = position
        self._data = data if isinstance(data, nbt.Compound) else None
        self._payload = b"" if isinstance(data, nbt.Compound) else bytes(data)

    @property
    def data(self) -> nbt.Compound:
        """The data as typed NBT values (raises NbtError, a KubrelError, if its bytes are not a
        compound's payload)."""
        if self._data is None:
            self._data = nbt.parse_compound(self._payload)
        return self._data

    @property
    def payload(self) -> bytes:
        """The data's NBT bytes: the payload of an unnamed compound, as `nbt.Compound.to_bytes`."""
        return self._data.to_bytes() if self._data is not None else self._payload

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, _WithData) or type(other) is not type(self):
            return NotImplemented
        return (self.position, self.payload) == (other.position, other.payload)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        data = repr(self._data) if self._data is not None else f"<{len(self.payload)} bytes of NBT>"
        return f"{type(self).__name__}(position={self.position}, data={data})"


class BlockEntity(_WithData):
    """A block entity: its `position` (x, y, z) counted from the volume's minimum corner, and its
    `data` in the game's own form ("id" and its fields, without position keys)."""

    __slots__ = ()
    position: tuple[int, int, int]


class Entity(_WithData):
    """An entity: its `position` (x, y, z, fractional) counted from the volume's minimum corner,
    and its `data` in the game's own form ("id" and its fields, without "Pos")."""

    __slots__ = ()
    position: tuple[float, float, float]


class Records(MutableSequence):
    """The block entities or entities of a loaded volume, held as the native load gave them: one
    buffer of payloads, their offsets and their positions, so that a file of many thousands costs
    three objects until they are asked for. An item becomes a `BlockEntity` or `Entity` on first
    access and stays that object; any change to the sequence itself turns it into a plain list
    inside. It compares equal to a list of the same items; assigning a plain list in its place is
    as good."""

    __slots__ = ("_kind", "_packed", "_positions", "_offsets", "_items")

    def __init__(self, kind: type[_WithData], packed: tuple[bytes, bytes, bytes]):
        self._kind = kind
        self._packed = packed
        positions, _, offsets = packed
        self._positions = memoryview(positions).cast("i" if kind is BlockEntity else "d")
        self._offsets = memoryview(offsets).cast("q")
        # The items asked for so far, by index (None: still only bytes); a list once changed.
        self._items: list | None = None

    def _made(self, index: int) -> _WithData:
        if self._items is None:
            self._items = [None] * (len(self._offsets) - 1)
        item = self._items[index]
        if item is None:
            payloads, offsets, at = self._packed[1], self._offsets, 3 * index
            position = tuple(self._positions[at : at + 3])
            item = self._kind(position, payloads[offsets[index] : offsets[index + 1]])
            self._items[index] = item
        return item

    def _list(self) -> list:
        """Every item made, and the sequence held as that list from now on."""
        if self._packed is not None:
            self._items = [self._made(i) for i in range(len(self))]
            self._packed = self._positions = self._offsets = None
        return self._items

    def native(self):
        """What the native writers take: the packed triple while no item was made (nothing can
        have changed), else (position, payload) pairs, payloads as read where untouched."""
        if self._packed is None:
            return [(tuple(item.position), item.payload) for item in self._items]
        if self._items is None:
            return self._packed
        return [(tuple(item.position), item.payload) for item in self]

    def __len__(self) -> int:
        return len(self._items) if self._packed is None else len(self._offsets) - 1

    def __getitem__(self, index):
        if self._packed is None:
            return self._items[index]
        if isinstance(index, slice):
            return [self._made(i) for i in range(*index.indices(len(self)))]
        count = len(self)
        position = operator.index(index)
        if not -count <= position < count:
            raise IndexError(f"{type(self).__name__} index out of range")
        return self._made(position % count)

    def __iter__(self):
        if self._packed is None:
            return iter(self._items)
        return (self._made(i) for i in range(len(self)))

    def __setitem__(self, index, value) -> None:
        self._list()[index] = value

    def __delitem__(self, index) -> None:
        del self._list()[index]

    def insert(self, index: int, value) -> None:
        self._list().insert(index, value)

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Records) and self._untouched() and other._untouched():
            return self._kind is other._kind and self._packed == other._packed
        if not isinstance(other, (list, Records)):
            return NotImplemented
        return len(self) == len(other) and all(a == b for a, b in zip(self, other))

    __hash__ = None  # type: ignore[assignment]

    def _untouched(self) -> bool:
        return self._packed is not None and self._items is None

    def __add__(self, other):
        return list(self) + list(other) if isinstance(other, (list, Records)) else NotImplemented

    def __radd__(self, other):
        return list(other) + list(self) if isinstance(other, list) else NotImplemented

    def copy(self) -> list:
        return list(self)

    def __reduce__(self):
        return (list, (list(self),))

    def __repr__(self) -> str:
        return repr(list(self))


@dataclass(frozen=True)
class Region:
    """A named region of a Litematica file: its box's minimum corner counted from the volume's
    minimum corner, its positions per axis (x, y, z), its size as the file wrote it (negative
    on an axis the region was recorded from its far end), and the region's tags that the volume
    does not model (`other_tags`, written back when saved as Litematica).

    Regions may overlap. Where they do, the volume shows the later region's block on top (the
    earlier one's where the later holds air), and only that block's entity. A region whose box
    meets another's therefore keeps its own `blocks` (indices into the volume's palette, indexed
    `[y, z, x]` over its box) and `block_entities` (positions counted from the volume's minimum
    corner), as its author saved it; a Litematica save writes such a region from them, so change
    them to change what it saves. For every other region both are None and the volume's grid
    holds it as saved. `Volume.region_blocks(region)` gives either.

    Example:
        >>> vol = kubrel.load("hall.litematic")
        >>> [r.name for r in vol.regions if r.blocks is not None]   # regions that overlap
    """

    name: str
    min: tuple[int, int, int]
    size: tuple[int, int, int]
    file_size: tuple[int, int, int]
    other_tags: nbt.Compound | None = None
    blocks: numpy.ndarray | None = field(default=None, compare=False, repr=False)
    block_entities: MutableSequence[BlockEntity] | None = field(
        default=None, compare=False, repr=False
    )

    def box(self) -> tuple[slice, slice, slice]:
        """The region's box as an index of the volume's `[y, z, x]` grid."""
        (x, y, z), (sx, sy, sz) = self.min, self.size
        return numpy.s_[y : y + sy, z : z + sz, x : x + sx]


@dataclass(eq=False)
class Biomes:
    """The biome of every position: `blocks` holds indices into `palette` (biome names), indexed
    `blocks[y, z, x]` like the volume's; a file that stores one biome per column gives one layer
    (`blocks.shape[0] == 1`), which stands for every height."""

    blocks: numpy.ndarray
    palette: list[str]


@dataclass(frozen=True)
class PendingTick:
    """A scheduled block or fluid update: its position counted from the volume's minimum corner,
    and its fields ("Block" or "Fluid", "Time", "Priority", ...) without "x", "y" and "z"."""

    position: tuple[int, int, int]
    data: nbt.Compound


@dataclass(eq=False, repr=False)
class Volume:
    """A schematic read whole.

    - `blocks`: palette indices, one per position, indexed `blocks[y, z, x]` (index 0 on each
      axis is the volume's minimum corner); dtype uint8, uint16 or uint32, the smallest that holds
      the palette.
    - `palette`: the states as canonical text, "name[key=value,...]" with the keys sorted; entry 0
      is "minecraft:air". A structure file's unlisted positions hold "minecraft:structure_void".
    - `origin`: where the minimum corner stands in the world (or the file's frame); `size`: the
      positions per axis, (x, y, z).
    - `format`: "sponge", "structure", "kbr", "litematic" or "schematic" (MCEdit, read with
      `legacy=True`); `version`: the format's own version number (0 for structure files); `data_version`: the game's data version, when the file says.
    - `block_entities`, `entities`: every one the file holds, with its exact NBT. A load gives
      them as `Records`, a list-like that holds their bytes and makes each object on first use;
      any list of `BlockEntity` or `Entity` may take its place.
    - `palette_count`: how many palettes the file offers (see `load(..., palette=)`); `palettes`:
      each of them aligned with `palette` (entry i of each is what that palette puts where
      `palette[i]` stands) when there are several, so that a structure is saved with them all.
    - `metadata`: the file's metadata compound (Sponge and Litematica "Metadata", a structure's
      "author"), as `kubrel.nbt` values; `paste_origin`: the point a paste puts where the player
      stands (WorldEdit's clipboard origin, a Litematica file's own origin), when the file says.
    - `biomes`: a `Biomes` grid where the file stores biomes (Sponge), else None.
    - `other_tags`: the document's tags that no field above models, written back when the volume
      is saved in its own format.
    - Litematica files only (empty otherwise): `regions` (see `load(..., region=)`),
      `sub_version`, `pending_block_ticks` and `pending_fluid_ticks`.

    Example:
        >>> vol = kubrel.load("castle.schem")
        >>> vol.blocks[0, 2, 5]                     # the index at x=5, y=0, z=2
        >>> vol.palette[vol.blocks[0, 2, 5]]        # its state, e.g. "minecraft:stone"
        >>> sorted(vol.counts().items(), key=lambda kv: -kv[1])[:3]
    """

    blocks: numpy.ndarray
    palette: list[str]
    origin: tuple[int, int, int]
    size: tuple[int, int, int]
    format: str
    version: int
    data_version: int | None
    block_entities: MutableSequence[BlockEntity] = field(default_factory=list)
    entities: MutableSequence[Entity] = field(default_factory=list)
    palette_count: int = 1
    regions: list[Region] = field(default_factory=list)
    sub_version: int | None = None
    metadata: nbt.Compound | None = None
    pending_block_ticks: list[PendingTick] = field(default_factory=list)
    pending_fluid_ticks: list[PendingTick] = field(default_factory=list)
    palettes: list[list[str]] = field(default_factory=list)
    paste_origin: tuple[int, int, int] | None = None
    biomes: Biomes | None = None
    other_tags: nbt.Compound | None = None

    def region_blocks(self, region: Region) -> numpy.ndarray:
        """The blocks of `region` (one of `regions`) as its author saved it, indexed `[y, z, x]`
        over its box: its own array where regions overlap, else a view into `blocks`.

        Example:
            >>> vol = kubrel.load("hall.litematic")
            >>> vol.region_blocks(vol.regions[0]).shape     # (size y, size z, size x)
        """
        return region.blocks if region.blocks is not None else self.blocks[region.box()]

    def counts(self) -> dict[str, int]:
        """How many blocks of each state the volume holds, most common first: a materials list.
        Air and structure void are left out."""
        per_index = _native.count_indices(numpy.ascontiguousarray(self.blocks), len(self.palette))
        counted = (
            (state, count)
            for state, count in zip(self.palette, per_index)
            if count and _native.split_state(state)[0] not in NOT_MATERIAL
        )
        return dict(sorted(counted, key=lambda item: -item[1]))

    def save(
        self,
        path: str | os.PathLike[str],
        format: str | None = None,
        version: int = 3,
        level: int | None = None,
        drop_entities: bool = False,
        data_version: int | None = None,
        force: bool = False,
    ) -> dict:
        """Writes the volume to `path`, atomically: the file appears under its name only once
        complete, and a failure leaves any file already there untouched.

        A file replaced keeps its permission bits (and its owner and group, where the process may
        set them); a symbolic link stays a link and the file it leads to gets the new bytes; a new
        file gets the permissions the umask gives. A read-only file (one this process may not
        write, or with no write permission bit at all) is refused with PermissionError unless
        `force` is true.

        - `format`: "sponge", "structure", "kbr" or "litematic"; None takes it from the suffix
          (".schem", ".schematic", ".nbt", ".kbr", ".litematic"). A Litematica file keeps the
          regions, metadata and pending ticks the volume was read with (one region otherwise).
        - `version`: the Sponge version, 3 (the default) or 2.
        - `level`: the gzip level, 0 to 3 (default 1, fast).
        - `drop_entities`: KBR holds no block entities or entities, so saving a volume that has
          any as KBR raises KubrelError unless this is true.
        - `data_version`: the game version the states are of, for a volume that does not know
          it (one read from KBR or a pre-1.13 structure): Sponge and Litematica files require
          one, and a guessed one would stop the game from upgrading older states.

        Saved in its own format, a volume keeps every tag it was read with. Returns how many
        block entities and entities were left out, `{"block_entities": n, "entities": m}` (zeros
        except for KBR with `drop_entities`), and, under "not_kept", what else the format has no
        place for (biomes, metadata fields, a structure's other palettes, the paste origin,
        another format's tags), when there is any.
        Raises KubrelError when the volume cannot be written in that format and OSError (with the
        system's own reason: FileNotFoundError, PermissionError, ...) when the path cannot be
        written.

        Example:
            >>> vol = kubrel.load("castle.schem")
            >>> vol.save("castle.nbt")
            >>> vol.save("castle.schem", version=2)
            >>> vol.save("castle.litematic")
            {'block_entities': 0, 'entities': 0}
            >>> vol.save("castle.kbr", drop_entities=True)
            {'block_entities': 12, 'entities': 0}
        """
        from .saving import save

        return save(self, path, format, version, level, drop_entities, data_version, force)

    def rotate(self, turns: int = 1, axis: str = "y", strict: bool = False) -> Volume:
        """The volume turned by `turns` quarter turns about `axis`, clockwise seen from the axis'
        positive end ("y": from above, north -> east; "x": from the east, up -> north; "z": from
        the south, up -> east); negative turns go the other way. Block states turn too (facing,
        axis, rotation, side connections, stairs and rail shapes, ...), as do block entities,
        entities (their yaw and pitch, a hanging entity's facing and tile), regions and pending
        ticks. The origin stays where it is. A state that cannot follow (stairs turned about x)
        stays as it was and is named in a `kubrel.TransformWarning`; `strict=True` raises
        KubrelError instead.

        Example:
            >>> vol.rotate(1).palette                  # "...[facing=north]" is now "...[facing=east]"
            >>> vol.rotate(-1, axis="x")
        """
        from .transform import Turn, transform

        return transform(self, Turn.quarter(axis, turns), strict)

    def mirror(self, axis: str, strict: bool = False) -> Volume:
        """The volume mirrored: "x" swaps east and west, "z" north and south, "y" turns it upside
        down; states and what the volume holds follow as with `rotate`.

        Example:
            >>> vol.mirror("x")                         # inner_left stairs become inner_right
        """
        from .transform import Turn, transform

        return transform(self, Turn.mirror(axis), strict)

    def crop(self, low: tuple[int, int, int], high: tuple[int, int, int]) -> Volume:
        """The box from `low` (inclusive) to `high` (exclusive), positions (x, y, z) in the volume,
        clipped to it; its origin moves with its minimum corner. Block entities, entities, regions
        and ticks outside the box are left out.

        Example:
            >>> vol.crop((0, 0, 0), (16, 8, 16)).size
            (16, 8, 16)
        """
        from .transform import crop

        return crop(self, low, high)

    def trim(self) -> Volume:
        """The smallest box holding every block that is not air or structure void, and every
        block entity and entity inside the volume.

        Example:
            >>> vol.trim().size
        """
        from .transform import trim

        return trim(self)

    def replace(self, mapping: dict[str, str]) -> Volume:
        """States replaced: a key with properties matches that state; a bare name matches every
        state of that name, keeping its properties.

        Example:
            >>> vol.replace({"minecraft:oak_stairs": "minecraft:spruce_stairs"})
        """
        from .transform import replace

        return replace(self, mapping)

    def render(
        self,
        size: int | tuple[int, int] | None = None,
        angle: str | int = "se",
        background: tuple[int, int, int] | None = None,
        slice: int | None = None,
    ):
        """A preview as a `PIL.Image` (needs Pillow, from the `cli` extra): the top view beside an
        isometric view from the corner `angle` ("se", "sw", "nw", "ne"), fitted into `size` (the
        longest side, or (width, height)), on `background` (None: a grey checker), drawing only
        the layers up to `slice` when given. See `kubrel.render.render`.

        Example:
            >>> vol.render(size=1024, angle="nw", slice=10).save("layer-10.png")
        """
        from .render import render

        return render(self, size=size, angle=angle, background=background, slice=slice)

    def view(self, title: str = "kubrel view") -> str:
        """A self-contained HTML page showing the volume in 3D (WebGL2): orbit, pan and zoom, a
        height cut, the state under the pointer, the materials list and, for Litematica files,
        each region toggled on its own. Only blocks with a visible face are sent; a build of more
        than about three million of them is cut at a layer, and the page says what was left out.

        Example:
            >>> html = kubrel.load("castle.schem").view("castle")
            >>> pathlib.Path("castle.html").write_text(html)
        """
        from .view import page

        return page(self, title)

    def _repr_html_(self) -> str:
        from .view import inline

        return inline(self)

    def __repr__(self) -> str:
        return (
            f"Volume(format={self.format!r}, version={self.version}, "
            f"data_version={self.data_version}, origin={self.origin}, size={self.size}, "
            f"blocks={self.blocks.dtype} array, palette={len(self.palette)} states, "
            f"block_entities={len(self.block_entities)}, entities={len(self.entities)}, "
            f"palette_count={self.palette_count})"
        )
