#!/usr/bin/env python3
"""Writes examples/: one small schematic per format, all holding the same little hut, saved by
the package's own writers (kubrel must be installed). Run again to regenerate; the output is
deterministic."""

import pathlib

import numpy

from kubrel import _native

REPO = pathlib.Path(__file__).resolve().parent.parent
SIZE = (5, 4, 5)  # x, y, z
DATA_VERSION = 3465


def hut():
    """{(x, y, z): state text} for a 5 x 4 x 5 hut: a stone floor, plank walls with a door gap and
    two windows, a slab roof; everything else is air."""
    width, height, length = SIZE
    blocks = {}
    for x in range(width):
        for z in range(length):
            blocks[(x, 0, z)] = "minecraft:cobblestone"
            blocks[(x, 3, z)] = "minecraft:oak_slab[type=bottom,waterlogged=false]"
            for y in (1, 2):
                if x in (0, width - 1) or z in (0, length - 1):
                    blocks[(x, y, z)] = "minecraft:oak_planks"
    blocks[(2, 1, 0)] = blocks[(2, 2, 0)] = "minecraft:air"
    pane = "minecraft:glass_pane[east=false,north=true,south=true,west=false]"
    blocks[(0, 2, 2)] = blocks[(4, 2, 2)] = pane
    blocks[(2, 1, 2)] = "minecraft:torch"
    return blocks


def arrays(blocks):
    """The hut as a volume's parts: palette indices indexed [y, z, x] and the palette, air first."""
    width, height, length = SIZE
    palette = ["minecraft:air", *sorted(set(blocks.values()) - {"minecraft:air"})]
    grid = numpy.zeros((height, length, width), dtype=numpy.uint8)
    for (x, y, z), text in blocks.items():
        grid[y, z, x] = palette.index(text)
    return grid, palette


def main():
    out = REPO / "examples"
    out.mkdir(exist_ok=True)
    grid, palette = arrays(hut())
    for name, format in (("hut.schem", "sponge"), ("hut.nbt", "structure"), ("hut.kbr", "kbr")):
        parts = {"blocks": grid, "palette": palette, "origin": (0, 0, 0), "size": SIZE,
                 "data_version": DATA_VERSION}
        _native.save(str(out / name), parts, format=format)
        print("wrote", out / name)


if __name__ == "__main__":
    main()
