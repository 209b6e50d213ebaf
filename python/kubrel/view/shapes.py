"""How each block is drawn in the 3D view: whether it hides its neighbours' faces, the box it
fills inside its cell, and how see-through it is. Shapes are approximated by one box per block,
at its true height (a bottom slab is half a block, a carpet a sixteenth), so a build reads right
without a model per block."""

from __future__ import annotations

from dataclasses import dataclass

from kubrel._native import split_state
from kubrel.volume import NOT_MATERIAL

# Looks the visible-face pass knows (kubrel._native.visible_faces): empty, opaque full cube,
# partial (hides nothing), and the first of the see-through kinds.
EMPTY, OPAQUE, PARTIAL, SEE_THROUGH = 0, 1, 2, 3
MAX_LOOK = 255


@dataclass(frozen=True)
class Shape:
    """The box a block fills, in its cell's units: `low` and `high` corners (x, y, z), and the
    opacity it is drawn with (1 opaque). `kind` groups see-through full cubes whose faces between
    each other are hidden (water beside water); None for any other block."""

    look: int
    low: tuple[float, float, float] = (0.0, 0.0, 0.0)
    high: tuple[float, float, float] = (1.0, 1.0, 1.0)
    alpha: float = 1.0
    kind: str | None = None


# See-through full cubes and how opaque each is drawn.
SEE_THROUGH_CUBES = {"water": 0.55, "ice": 0.7, "glass": 0.4, "tinted_glass": 0.7, "slime_block": 0.7,
                     "honey_block": 0.7}
# Thin upright shapes: the half-width of the post or pane drawn for them.
POSTS = {"_fence": 0.125, "_wall": 0.25, "glass_pane": 0.0625, "iron_bars": 0.0625,
         "_fence_gate": 0.0625, "chain": 0.0625, "end_rod": 0.0625, "lightning_rod": 0.0625}
# Flat things lying on the ground and their height.
FLAT = {"_carpet": 1 / 16, "_pressure_plate": 1 / 16, "rail": 1 / 16, "redstone_wire": 1 / 16,
        "lily_pad": 1 / 16, "moss_carpet": 1 / 16, "_trapdoor": 3 / 16, "snow": 1 / 8,
        "_bed": 9 / 16, "daylight_detector": 6 / 16, "farmland": 15 / 16, "dirt_path": 15 / 16,
        "enchanting_table": 12 / 16, "stonecutter": 9 / 16}
# Plants, torches and other small things drawn as a narrow box.
SMALL = ("grass", "fern", "flower", "torch", "sapling", "mushroom", "_tulip", "dandelion", "poppy",
         "orchid", "allium", "bluet", "daisy", "cornflower", "lily_of_the_valley", "rose",
         "sweet_berry", "dead_bush", "sugar_cane", "bamboo", "vine", "lantern", "button", "lever",
         "ladder", "sign", "banner", "candle", "cobweb", "kelp", "seagrass", "coral", "roots",
         "sprouts", "lichen", "pointed_dripstone", "head", "skull", "pot", "wheat", "carrots",
         "potatoes", "beetroots", "stem", "azalea", "dripleaf", "spore_blossom", "hanging_roots",
         "bush", "petals", "leaf_litter", "tripwire", "scaffolding", "cactus", "door", "bell")
# Full blocks whose names hold one of those words (grass_block, sea_lantern, crimson_stem...).
FULL_SUFFIXES = ("_block", "_planks", "_log", "_wood", "_hyphae", "_bricks", "_mosaic")
FULL_NAMES = frozenset(("crimson_stem", "warped_stem", "stripped_crimson_stem",
                        "stripped_warped_stem", "mushroom_stem", "sea_lantern"))


def shape(state: str) -> Shape:
    """The shape a state is drawn with.

    Example:
        >>> shape("minecraft:oak_slab[type=bottom,waterlogged=false]").high
        (1.0, 0.5, 1.0)
    """
    name, properties = split_state(state)
    if name in NOT_MATERIAL:
        return Shape(EMPTY)
    base = name.rpartition(":")[2]
    props = dict(properties)
    if base in SEE_THROUGH_CUBES:
        return Shape(SEE_THROUGH, alpha=SEE_THROUGH_CUBES[base], kind=base)
    if base.endswith("_stained_glass"):
        return Shape(SEE_THROUGH, alpha=0.5, kind=base)
    if base.endswith("_leaves"):
        return Shape(SEE_THROUGH, alpha=0.85, kind=base)
    if base.endswith("_slab"):
        half = props.get("type", "bottom")
        if half == "double":
            return Shape(OPAQUE)
        low = 0.5 if half == "top" else 0.0
        return Shape(PARTIAL, (0.0, low, 0.0), (1.0, low + 0.5, 1.0))
    if base == "snow" and "layers" in props:
        layers = int(props["layers"]) if props["layers"].isdigit() else 1
        return Shape(PARTIAL, high=(1.0, min(8, max(1, layers)) / 8, 1.0))
    for suffix, half_width in POSTS.items():
        if base.endswith(suffix) or base == suffix:
            see = 0.5 if "glass" in base else 1.0
            low, high = 0.5 - half_width, 0.5 + half_width
            return Shape(PARTIAL, (low, 0.0, low), (high, 1.0, high), alpha=see)
    for suffix, height in FLAT.items():
        if base.endswith(suffix) or base == suffix:
            return Shape(PARTIAL, high=(1.0, height, 1.0))
    if base.endswith("_stairs") or base in ("lava", "bubble_column"):
        return Shape(PARTIAL, alpha=0.9 if base == "lava" else 1.0)
    full = base.endswith(FULL_SUFFIXES) or base in FULL_NAMES
    if not full and any(part in base for part in SMALL):
        return Shape(PARTIAL, (0.3, 0.0, 0.3), (0.7, 0.75, 0.7))
    return Shape(OPAQUE)


def looks(shapes: list[Shape]) -> bytes:
    """The look byte of each palette entry for the visible-face pass: see-through kinds numbered
    from SEE_THROUGH in order of first use; past the last number a kind hides nothing."""
    numbers: dict[str, int] = {}
    out = bytearray()
    for entry in shapes:
        if entry.kind is None:
            out.append(entry.look)
            continue
        if entry.kind not in numbers and SEE_THROUGH + len(numbers) <= MAX_LOOK:
            numbers[entry.kind] = SEE_THROUGH + len(numbers)
        out.append(numbers.get(entry.kind, PARTIAL))
    return bytes(out)
