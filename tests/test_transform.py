"""Transforms: the images of states under each turn and mirror, every real file back as it was
after turns that compose to nothing, and crop, trim, replace and paste against NumPy slicing."""

import os
import warnings

import numpy
import pytest

import kubrel
from conftest import CORPUS, corpus_files, manifest_rows
from kubrel.transform import Turn
from kubrel.transform.states import turn_state

TURNS = {
    "y1": Turn.quarter("y", 1), "y2": Turn.quarter("y", 2), "y-1": Turn.quarter("y", -1),
    "x1": Turn.quarter("x", 1), "x-1": Turn.quarter("x", -1), "z1": Turn.quarter("z", 1),
    "mx": Turn.mirror("x"), "mz": Turn.mirror("z"), "my": Turn.mirror("y"),
}
# (state, turn, image; None: it cannot follow). North -> east -> south -> west clockwise from
# above; a sign's rotation 0 is south, counted clockwise in sixteenths.
STATES = [
    ("minecraft:oak_stairs[facing=north,half=bottom,shape=inner_left]", "y1",
     "minecraft:oak_stairs[facing=east,half=bottom,shape=inner_left]"),
    ("minecraft:oak_stairs[facing=north,half=bottom,shape=inner_left]", "mz",
     "minecraft:oak_stairs[facing=south,half=bottom,shape=inner_right]"),
    ("minecraft:oak_stairs[facing=east,half=bottom,shape=outer_right]", "my",
     "minecraft:oak_stairs[facing=east,half=top,shape=outer_right]"),
    ("minecraft:oak_stairs[facing=east,half=bottom,shape=straight]", "x1", None),
    ("minecraft:piston[extended=false,facing=up]", "x1", "minecraft:piston[extended=false,facing=north]"),
    ("minecraft:observer[facing=east,powered=false]", "z1", "minecraft:observer[facing=down,powered=false]"),
    ("minecraft:hopper[enabled=true,facing=down]", "my", None),
    ("minecraft:oak_log[axis=x]", "y1", "minecraft:oak_log[axis=z]"),
    ("minecraft:oak_log[axis=y]", "z1", "minecraft:oak_log[axis=x]"),
    ("minecraft:nether_portal[axis=x]", "z1", None),
    ("minecraft:oak_sign[rotation=0,waterlogged=false]", "y1", "minecraft:oak_sign[rotation=4,waterlogged=false]"),
    ("minecraft:oak_sign[rotation=3,waterlogged=false]", "mx", "minecraft:oak_sign[rotation=13,waterlogged=false]"),
    ("minecraft:oak_sign[rotation=3,waterlogged=false]", "mz", "minecraft:oak_sign[rotation=5,waterlogged=false]"),
    ("minecraft:oak_fence[east=true,north=true,south=false,west=false]", "y-1",
     "minecraft:oak_fence[east=false,north=true,south=false,west=true]"),
    ("minecraft:vine[east=false,north=true,south=false,up=true,west=false]", "my", None),
    ("minecraft:vine[east=false,north=true,south=false,up=false,west=false]", "my",
     "minecraft:vine[east=false,north=true,south=false,up=false,west=false]"),
    ("minecraft:cobblestone_wall[east=low,north=tall,south=none,up=true,west=none]", "y1",
     "minecraft:cobblestone_wall[east=tall,north=none,south=low,up=true,west=none]"),
    ("minecraft:redstone_wire[east=side,north=up,power=0,south=none,west=none]", "y2",
     "minecraft:redstone_wire[east=none,north=none,power=0,south=up,west=side]"),
    ("minecraft:brown_mushroom_block[down=true,east=false,north=true,south=false,up=false,west=false]",
     "x1", "minecraft:brown_mushroom_block[down=true,east=false,north=false,south=true,up=false,west=false]"),
    ("minecraft:rail[shape=north_east]", "y1", "minecraft:rail[shape=south_east]"),
    ("minecraft:rail[shape=ascending_east]", "mx", "minecraft:rail[shape=ascending_west]"),
    ("minecraft:powered_rail[powered=false,shape=north_south]", "y1",
     "minecraft:powered_rail[powered=false,shape=east_west]"),
    ("minecraft:oak_door[facing=north,half=lower,hinge=left,open=false,powered=false]", "mx",
     "minecraft:oak_door[facing=north,half=lower,hinge=right,open=false,powered=false]"),
    ("minecraft:chest[facing=west,type=left,waterlogged=false]", "y2",
     "minecraft:chest[facing=east,type=left,waterlogged=false]"),
    ("minecraft:chest[facing=west,type=left,waterlogged=false]", "mz",
     "minecraft:chest[facing=west,type=right,waterlogged=false]"),
    ("minecraft:oak_slab[type=top,waterlogged=false]", "my", "minecraft:oak_slab[type=bottom,waterlogged=false]"),
    ("minecraft:jigsaw[orientation=north_up]", "x1", "minecraft:jigsaw[orientation=down_north]"),
    ("minecraft:crafter[crafting=false,orientation=up_east,triggered=false]", "mx",
     "minecraft:crafter[crafting=false,orientation=up_west,triggered=false]"),
    ("minecraft:lever[face=floor,facing=north,powered=false]", "x-1",
     "minecraft:lever[face=wall,facing=south,powered=false]"),
    ("minecraft:lever[face=floor,facing=north,powered=false]", "x1", None),
    ("minecraft:stone_button[face=wall,facing=east,powered=false]", "my",
     "minecraft:stone_button[face=wall,facing=east,powered=false]"),
    ("minecraft:stone_button[face=ceiling,facing=east,powered=false]", "my",
     "minecraft:stone_button[face=floor,facing=east,powered=false]"),
    ("minecraft:bell[attachment=ceiling,facing=north,powered=false]", "my",
     "minecraft:bell[attachment=floor,facing=north,powered=false]"),
    ("minecraft:lantern[hanging=true,waterlogged=false]", "my", "minecraft:lantern[hanging=false,waterlogged=false]"),
    ("minecraft:pointed_dripstone[thickness=tip,vertical_direction=up,waterlogged=false]", "my",
     "minecraft:pointed_dripstone[thickness=tip,vertical_direction=down,waterlogged=false]"),
    ("create:shaft[axis=z]", "x1", "create:shaft[axis=y]"),
    ("minecraft:stone", "x1", "minecraft:stone"),
]


@pytest.mark.parametrize("state, turn, image", STATES, ids=[f"{s} {t}" for s, t, _ in STATES])
def test_states(state, turn, image):
    assert turn_state(state, TURNS[turn]) == image
    if image is not None:  # the inverse brings it back
        assert turn_state(image, TURNS[turn].inverse()) == state


READABLE = [p for p in corpus_files() if p.parent.name != "legacy"] + [
    CORPUS.parent / "litematic" / row["file"] for row in manifest_rows(CORPUS.parent / "litematic")
]
# Chains that compose to nothing; the large files take only the first.
CHAINS = [["y1"] * 4, ["mx", "mx"], ["mz", "mz"], ["my", "my"], ["y1", "y-1"], ["x1", "x1", "x1", "x1"],
          ["z1", "z1", "z1", "z1"]]


def entity_view(item):
    # A turned position or yaw is rounded to its float width: a reflection of a number finer than
    # the box's size has no exact image.
    data = dict(item.data)
    rotation = [round(float(v) % 360.0, 3) for v in data.pop("Rotation", [])]
    return [round(c, 6) for c in item.position], rotation, kubrel.nbt.Compound(data).to_bytes()


@pytest.mark.parametrize("path", READABLE, ids=lambda p: p.name)
def test_corpus_turns_back(path):
    vol = kubrel.load(path)
    large = vol.blocks.size > 1 << 22
    if large and os.environ.get("KUBREL_TEST_SMALL"):
        pytest.skip("a large file, left to the plain runs")
    for chain in CHAINS[:1] if large else CHAINS:
        # Each first state's index in the turned palette, and whether it followed every turn.
        back, now, followed = vol, numpy.arange(len(vol.palette)), numpy.ones(len(vol.palette), bool)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", kubrel.TransformWarning)
            for name in chain:
                before = back.palette
                images = [turn_state(t, TURNS[name]) or t for t in before]
                back = back.rotate(int(name[1:]), name[0]) if name[0] in "xyz" else back.mirror(name[1])
                where = {t: i for i, t in enumerate(back.palette)}
                followed &= [turn_state(before[i], TURNS[name]) is not None for i in now]
                now = numpy.array([where[images[i]] for i in now])
        assert back.size == vol.size and back.origin == vol.origin
        assert back.regions == vol.regions, chain
        assert [back.palette[i] for i in now[followed]] == [t for t, f in zip(vol.palette, followed) if f]
        # States that could not follow some turn of the chain are left out of the comparison.
        same = back.blocks == (vol.blocks if (now == numpy.arange(len(now))).all() else now[vol.blocks])
        assert (same | ~followed[vol.blocks]).all(), chain
        assert back.block_entities == vol.block_entities
        # A look turned off the vertical goes through its direction, which loses a yaw at the poles.
        view = entity_view if chain[0][0] in "my" else lambda e: [round(c, 6) for c in e.position]
        assert list(map(view, back.entities)) == list(map(view, vol.entities)), chain
        for ticks in ("pending_block_ticks", "pending_fluid_ticks"):
            assert getattr(back, ticks) == getattr(vol, ticks)
        if vol.biomes is not None and chain[0][0] in "my":  # upright: columns stay columns
            assert (back.biomes.blocks == vol.biomes.blocks).all(), chain


def test_turns_against_numpy():
    grid = numpy.arange(2 * 3 * 4).reshape(2, 3, 4)  # y, z, x
    from kubrel.transform import turn_grid

    assert (turn_grid(grid, TURNS["y1"]) == numpy.rot90(grid, -1, axes=(1, 2))).all()
    assert (turn_grid(grid, TURNS["mx"]) == grid[:, :, ::-1]).all()
    assert (turn_grid(grid, TURNS["x1"]) == numpy.rot90(grid, -1, axes=(0, 1))).all()


@pytest.mark.parametrize("low, high, at, mask", [((1, 0, 1), (4, 3, 5), (2, 1, 0), "air"),
                                                 ((0, 1, 0), (5, 4, 2), (-1, 2, 3), None)])
def test_editing_against_numpy(low, high, at, mask):
    hut = kubrel.load(os.path.join(os.path.dirname(__file__), "..", "examples", "hut.schem"))
    states = numpy.array(hut.palette)[hut.blocks]
    part = hut.crop(low, high)
    want = states[low[1]:high[1], low[2]:high[2], low[0]:high[0]]
    assert (numpy.array(part.palette)[part.blocks] == want).all()
    filled = numpy.argwhere(states != "minecraft:air")
    trimmed = hut.trim()
    assert trimmed.size == tuple((filled.max(0) - filled.min(0) + 1)[[2, 0, 1]])
    swapped = hut.replace({"minecraft:cobblestone": "minecraft:stone"})
    assert (numpy.array(swapped.palette)[swapped.blocks] == numpy.where(
        states == "minecraft:cobblestone", "minecraft:stone", states)).all()
    pasted = kubrel.paste(hut, part, at=at, mask=mask)
    expected = states.copy()
    x, y, z = at
    view = expected[max(y, 0):y + want.shape[0], max(z, 0):z + want.shape[1], max(x, 0):x + want.shape[2]]
    piece = want[max(-y, 0):, max(-z, 0):, max(-x, 0):][: view.shape[0], : view.shape[1], : view.shape[2]]
    view[...] = piece if mask is None else numpy.where(piece == "minecraft:air", view, piece)
    assert (numpy.array(pasted.palette)[pasted.blocks] == expected).all()
