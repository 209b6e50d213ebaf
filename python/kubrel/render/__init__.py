"""Previews of volumes (needs Pillow, from the `cli` extra)."""

from kubrel.render.picture import render

__all__ = ["render"]
