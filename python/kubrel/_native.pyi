# Type stub for kubrel._native, the C++ decoder and writers behind kubrel.load and Volume.save.
from collections.abc import Iterable
from typing import Literal, Protocol, TypedDict

import numpy

class KubrelError(ValueError): ...

class _ReadableBytes(Protocol):
    def read(self, n: int, /) -> bytes | bytearray | memoryview: ...

class _Read(TypedDict):
    format: Literal["sponge", "structure", "kbr", "litematic", "schematic"]
    version: int
    data_version: int | None
    origin: tuple[int, int, int]
    size: tuple[int, int, int]
    palette: list[str]
    blocks: numpy.ndarray
    palette_count: int
    # (positions, payloads, offsets): 3 native int32 (block entities) or float64 (entities) per
    # record, the payloads end to end, and n + 1 native int64 offsets into them. save() takes
    # this triple back as well as a list of (position, payload) pairs.
    block_entities: tuple[bytes, bytes, bytes]
    entities: tuple[bytes, bytes, bytes]
    # (name, min, size, file size, other tags, own parts): own parts are (blocks (y, z, x), packed
    # block entities) for a region whose box meets another's, None otherwise. save() takes the
    # first five, or seven with the own parts unpacked.
    regions: list[
        tuple[
            str,
            tuple[int, int, int],
            tuple[int, int, int],
            tuple[int, int, int],
            bytes | None,
            tuple[numpy.ndarray, tuple[bytes, bytes, bytes]] | None,
        ]
    ]
    sub_version: int | None
    metadata: bytes | None
    pending_block_ticks: list[tuple[tuple[int, int, int], bytes]]
    pending_fluid_ticks: list[tuple[tuple[int, int, int], bytes]]
    other_tags: bytes | None
    paste_origin: tuple[int, int, int] | None
    palettes: list[list[str]]
    biomes: tuple[numpy.ndarray, list[str]] | None

def load(
    source: str | bytes | bytearray | memoryview | _ReadableBytes,
    format: Literal["sponge", "structure", "kbr", "litematic", "schematic"] | None = None,
    palette: int = 0,
    region: str | None = None,
    max_document: int = ...,
    legacy: bool = False,
) -> _Read: ...

MAX_DOCUMENT: int

class _Report(TypedDict):
    block_entities: int
    entities: int
    not_kept: list[str]

# `parts`: the volume as kubrel.saving._parts builds it (every field of _Read that a writer needs,
# NBT as payload bytes, "read_as" the (format, version, sub version) read).
def save(
    path: str | bytes,
    parts: dict,
    format: Literal["sponge", "structure", "kbr", "litematic"] | None = None,
    version: int = 3,
    level: int = 1,
    drop_entities: bool = False,
    *,
    force: bool = False,
) -> _Report: ...
def save_pieces(
    stem: str | bytes, parts: dict, piece_size: int = 48, level: int = 1, *, force: bool = False
) -> list[str]: ...
def count_indices(blocks: numpy.ndarray, palette_size: int) -> list[int]: ...
def visible_faces(
    blocks: numpy.ndarray, looks: bytes, /
) -> tuple[bytes, bytes, bytes, int]: ...
def split_state(text: str, /) -> tuple[str, list[tuple[str, str]]]: ...

# World saves (kubrel.world wraps them). Folders and files as str; boxes' upper corner exclusive.
def world_info(folder: str, /) -> tuple[int | None, str, str]: ...
def world_dimensions(folder: str, /) -> list[tuple[str, str]]: ...
def world_region_files(dimension_folder: str, kind: str = "region", /) -> list[str]: ...
def world_chunks(dimension_folder: str, /) -> list[tuple[int, int]]: ...
def world_load_box(
    dimension_folder: str,
    min: tuple[int, int, int],
    max: tuple[int, int, int],
    data_version: int | None = None,
    legacy_world: str | None = None,
    /,
) -> _Read: ...
def world_load_chunk(
    dimension_folder: str,
    cx: int,
    cz: int,
    data_version: int | None = None,
    legacy_world: str | None = None,
    /,
) -> _Read: ...
# A chunk's data version and its stored WORLD_SURFACE heightmap as native int64 longs (local x, z).
def world_surface(region_path: str, x: int, z: int, /) -> tuple[int | None, bytes]: ...
# (states, native uint64 counts row by row, native int32 keys (3 per row), chunk errors).
def count_region(
    region_path: str, by: str = "world", legacy_world: str | None = None, /
) -> tuple[list[str], bytes, bytes, list[tuple[int, int, str]]]: ...
# ([(data version or None, chunks)] ascending, chunks that could not be read) of one region file.
def chunk_versions(region_path: str, /) -> tuple[list[tuple[int | None, int]], int]: ...
def build_info() -> dict[str, str]:
    """How the extension was built: "inflaters" names the gzip libraries, e.g. "isa-l, libdeflate"
    or "zlib" where the build found neither."""
def join_state(name: str, pairs: Iterable[tuple[str, str]], /) -> str: ...
