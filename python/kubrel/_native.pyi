# Type stub for kubrel._native, the C++ decoder behind kubrel.load.
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
