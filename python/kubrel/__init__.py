"""kubrel: block schematics read whole into NumPy arrays.

For now it holds `kubrel.nbt`, the typed NBT model in which volumes keep block entity and entity
data.
"""

from . import nbt

__all__ = ["nbt"]
