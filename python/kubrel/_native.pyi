# Type stub for kubrel._native, the C++ decoder and writers behind kubrel.load and Volume.save.
from typing import Literal, Protocol, TypedDict

import numpy

class KubrelError(ValueError): ...

class _ReadableBytes(Protocol):
    def read(self, n: int, /) -> bytes: ...

class _Read(TypedDict):
    format: Literal["sponge", "structure", "kbr", "litematic"]
    version: int
    data_version: int | None
    origin: tuple[int, int, int]
    size: tuple[int, int, int]
    palette: list[str]
    blocks: numpy.ndarray
    palette_count: int
    block_entities: list[tuple[tuple[int, int, int], bytes]]
    entities: list[tuple[tuple[float, float, float], bytes]]
    regions: list[tuple[str, tuple[int, int, int], tuple[int, int, int], tuple[int, int, int]]]
    sub_version: int | None
    metadata: bytes | None
    pending_block_ticks: list[tuple[tuple[int, int, int], bytes]]
    pending_fluid_ticks: list[tuple[tuple[int, int, int], bytes]]

def load(
    source: str | bytes | bytearray | memoryview | _ReadableBytes,
    format: Literal["sponge", "structure", "kbr", "litematic"] | None = None,
    palette: int = 0,
    region: str | None = None,
) -> _Read: ...

class _Dropped(TypedDict):
    block_entities: int
    entities: int

def save(
    path: str | bytes,
    blocks: numpy.ndarray,
    palette: list[str],
    origin: tuple[int, int, int],
    size: tuple[int, int, int],
    data_version: int | None,
    block_entities: list[tuple[tuple[int, int, int], bytes]],
    entities: list[tuple[tuple[float, float, float], bytes]],
    format: Literal["sponge", "structure", "kbr", "litematic"] | None = None,
    version: int = 3,
    level: int = 1,
    drop_entities: bool = False,
    *,
    regions: list[tuple[str, tuple[int, int, int], tuple[int, int, int], tuple[int, int, int]]]
    | None = None,
    pending_block_ticks: list[tuple[tuple[int, int, int], bytes]] | None = None,
    pending_fluid_ticks: list[tuple[tuple[int, int, int], bytes]] | None = None,
    metadata: bytes | None = None,
    read_as: tuple[str, int, int | None] | None = None,
) -> _Dropped: ...
def save_pieces(
    stem: str | bytes,
    blocks: numpy.ndarray,
    palette: list[str],
    origin: tuple[int, int, int],
    size: tuple[int, int, int],
    data_version: int | None,
    block_entities: list[tuple[tuple[int, int, int], bytes]],
    entities: list[tuple[tuple[float, float, float], bytes]],
    piece_size: int = 48,
    level: int = 1,
) -> list[str]: ...
def count_indices(blocks: numpy.ndarray, palette_size: int) -> list[int]: ...
def split_state(text: str, /) -> tuple[str, list[tuple[str, str]]]: ...
