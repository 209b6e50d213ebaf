"""kubrel: block schematics read whole into NumPy arrays.

For now it holds `kubrel.nbt`, the typed NBT model in which volumes keep block entity and entity
data.
"""

from . import nbt

__all__ = ["nbt"]

# The collection jobs need the `cli` extra (pyarrow, zarr): imported on first use, so that
# `import kubrel` stays free of them.
_COLLECTION_JOBS = ("scan", "build_dataset")


def __getattr__(name):
    if name in _COLLECTION_JOBS:
        from . import collection

        return getattr(collection, name)
    raise AttributeError(f"module 'kubrel' has no attribute {name!r}")
