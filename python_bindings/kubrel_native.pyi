"""The C++ core's array decoders behind kubrel.load(); kubrel wraps them in its Volume class."""

from typing import Any, BinaryIO, Literal

from typing_extensions import Buffer

class KubrelError(ValueError):
    """A schematic that cannot be read, with the core's one-line reason."""

def load(
    source: str | Buffer | BinaryIO,
    format: Literal["sponge", "structure", "kbr"] | None = None,
    palette: int = 0,
) -> dict[str, Any]:
    """Reads a whole schematic (a path, a bytes-like object or a binary file object; gzip or not).

    Returns the keys "format", "version", "data_version", "origin", "size" (x, y, z), "palette",
    "blocks" (a uint8/uint16/uint32 array indexed [y, z, x]), "palette_count",
    "block_entities" ([((x, y, z), nbt compound payload bytes)]) and "entities"
    ([((x, y, z) floats, nbt compound payload bytes)]).
    """
