"""Transforms of a whole volume: turns and mirrors with the states turned too (`turning`), and
crop, trim, replace and paste (`editing`). Each returns a new `Volume`; the input is not changed."""

from .editing import crop, paste, replace, trim
from .turning import TransformWarning, transform
from .turns import Turn, augmentations, turn_grid

__all__ = ["Turn", "TransformWarning", "augmentations", "crop", "paste", "replace", "transform",
           "trim", "turn_grid"]
