#!/usr/bin/env python3
"""Writes examples/: one small schematic per format, all holding the same little hut, built with
the test-side writers (tests/writers.py). Run again to regenerate; the output is deterministic."""

import pathlib
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests"))

import writers  # noqa: E402

SIZE = (5, 4, 5)  # x, y, z


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


def state_at(blocks, position):
    return blocks.get(position, "minecraft:air")


def sponge(blocks):
    width, height, length = SIZE
    order = [(x, y, z) for y in range(height) for z in range(length) for x in range(width)]
    palette = {}
    for position in order:
        palette.setdefault(state_at(blocks, position), len(palette))
    ids = [palette[state_at(blocks, p)] for p in order]
    return writers.sponge(SIZE, palette, ids, nested=True)


def mojang(blocks):
    entries, index, placed = [], {}, []
    for position, text in sorted(blocks.items()):
        if text not in index:
            name, _, rest = text.partition("[")
            properties = dict(p.split("=") for p in rest.rstrip("]").split(",") if p)
            index[text] = len(entries)
            entries.append((name, properties))
        placed.append((position, index[text]))
    return writers.mojang(SIZE, entries, placed)


def kbr(blocks):
    width, height, length = SIZE
    walk = [(x, y, z) for x in range(width) for y in range(height) for z in range(length)]
    corner = (width - 1, height - 1, length - 1)
    return writers.kbr_filled((0, 0, 0), corner, [state_at(blocks, p) for p in walk])


def main():
    out = REPO / "examples"
    out.mkdir(exist_ok=True)
    blocks = hut()
    for name, make in (("hut.schem", sponge), ("hut.nbt", mojang), ("hut.kbr", kbr)):
        (out / name).write_bytes(writers.gz(make(blocks)))
        print("wrote", out / name)


if __name__ == "__main__":
    main()
