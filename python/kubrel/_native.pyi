# Type stub for kubrel._native, the C++ decoder behind kubrel.load.
from typing import Literal, Protocol, TypedDict

import numpy

class KubrelError(ValueError): ...

class _ReadableBytes(Protocol):
    def read(self, n: int, /) -> bytes: ...

class _Read(TypedDict):
    format: Literal["sponge", "structure", "kbr"]
    version: int
    data_version: int | None
    origin: tuple[int, int, int]
    size: tuple[int, int, int]
    palette: list[str]
    blocks: numpy.ndarray
    palette_count: int
    block_entities: list[tuple[tuple[int, int, int], bytes]]
    entities: list[tuple[tuple[float, float, float], bytes]]

def load(
    source: str | bytes | bytearray | memoryview | _ReadableBytes,
    format: Literal["sponge", "structure", "kbr"] | None = None,
    palette: int = 0,
) -> _Read: ...
