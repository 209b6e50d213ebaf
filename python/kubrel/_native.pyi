# Type stub for kubrel._native, the C++ decoder and writers behind kubrel.load and Volume.save.
from typing import Literal, Protocol, TypedDict

import numpy

class KubrelError(ValueError): ...

class _ReadableBytes(Protocol):
    def read(self, n: int, /) -> bytes | bytearray | memoryview: ...

class _Read(TypedDict):
    format: Literal["sponge", "structure", "kbr", "litematic"]
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
    regions: list[
        tuple[str, tuple[int, int, int], tuple[int, int, int], tuple[int, int, int], bytes | None]
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
    format: Literal["sponge", "structure", "kbr", "litematic"] | None = None,
    palette: int = 0,
    region: str | None = None,
    max_document: int = ...,
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
