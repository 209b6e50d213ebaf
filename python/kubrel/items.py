"""What a builder gathers to place a block: the items each state costs, as the game counts them,
and how many of an item make a stack. Every rule is a row of RULES (the name sets above it are
its data); the first row that applies to a state gives its items."""

from __future__ import annotations

import collections
import re

from kubrel.transform.states import parse_state

# Blocks no item places: fluids, fire, air, and parts of other blocks or of the world.
NOT_ITEMS = frozenset(
    "air cave_air void_air structure_void water lava fire soul_fire bubble_column "
    "moving_piston piston_head nether_portal end_portal end_gateway frosted_ice "
    "light".split()
)
# Blocks placed by an item of another name (crops by their seeds, a cake with a candle, ...).
PLACED_BY = {
    "redstone_wire": "redstone",
    "tripwire": "string",
    "wheat": "wheat_seeds",
    "carrots": "carrot",
    "potatoes": "potato",
    "beetroots": "beetroot_seeds",
    "cocoa": "cocoa_beans",
    "melon_stem": "melon_seeds",
    "attached_melon_stem": "melon_seeds",
    "pumpkin_stem": "pumpkin_seeds",
    "attached_pumpkin_stem": "pumpkin_seeds",
    "sweet_berry_bush": "sweet_berries",
    "cave_vines": "glow_berries",
    "cave_vines_plant": "glow_berries",
    "kelp_plant": "kelp",
    "bamboo_sapling": "bamboo",
    "tall_seagrass": "seagrass",
    "weeping_vines_plant": "weeping_vines",
    "twisting_vines_plant": "twisting_vines",
    "big_dripleaf_stem": "big_dripleaf",
    "farmland": "dirt",
    "dirt_path": "dirt",
    "powder_snow": "powder_snow_bucket",
}
# Potted plants whose item is named otherwise than the pot's suffix.
POTTED = {"azalea_bush": "azalea", "flowering_azalea_bush": "flowering_azalea"}
# Blocks counted by a property: how many of the item one block holds.
COUNTED_BY = {"candles": "candles", "pickles": "pickles", "layers": "layers", "eggs": "eggs",
              "flower_amount": "flower_amount", "segment_amount": "segment_amount"}
# Items that stack by fewer than 64.
STACK_OF_16 = re.compile(r".*(_sign|_banner)|snowball|egg|ender_pearl|armor_stand|honey_bottle")
STACK_OF_1 = re.compile(r".*(_bed|shulker_box|_bucket)|cake")
SHULKER_BOX_STACKS = 27


def _counted(props):
    return next((int(props[key]) for key in COUNTED_BY if props.get(key, "").isdigit()), None)


# The rules, first match wins: (what it is, whether it applies to a (namespace-less name,
# properties), the [(item, count)] it costs).
RULES = (
    ("no item places it", lambda name, props: name in NOT_ITEMS, lambda name, props: []),
    # The second block comes with the first.
    ("upper half of a door or tall plant, head of a bed",
     lambda name, props: props.get("half") == "upper" or props.get("part") == "head",
     lambda name, props: []),
    ("double slab", lambda name, props: name.endswith("_slab") and props.get("type") == "double",
     lambda name, props: [(name, 2)]),
    ("potted plant", lambda name, props: name.startswith("potted_"),
     lambda name, props: [("flower_pot", 1), (POTTED.get(name[7:], name[7:]), 1)]),
    ("cake with a candle", lambda name, props: name.endswith("candle_cake"),
     lambda name, props: [("cake", 1), (name.removesuffix("_cake"), 1)]),
    ("several in one block", lambda name, props: _counted(props) is not None,
     lambda name, props: [(name, _counted(props))]),
    ("placed by another item", lambda name, props: name in PLACED_BY,
     lambda name, props: [(PLACED_BY[name], 1)]),
    ("torch, sign, banner, head or coral fan on a wall",
     lambda name, props: name.startswith("wall_") or "_wall_" in name,
     lambda name, props: [(name.removeprefix("wall_").replace("_wall_", "_"), 1)]),
    ("any other block", lambda name, props: True, lambda name, props: [(name, 1)]),
)


def _rule_rows(name, props):
    """(namespace-less name, properties) -> [(item, count)], by the first rule that applies."""
    return next(items(name, props) for _what, applies, items in RULES if applies(name, props))


def items_of(state: str) -> list[tuple[str, int]]:
    """The items one block of `state` (canonical state text) costs, as (item name, count); empty
    for a block that no item places."""
    name, props = parse_state(state)
    namespace, colon, bare = name.rpartition(":")
    prefix = namespace + colon
    return [(prefix + item, count) for item, count in _rule_rows(bare, props)]


def item_counts(state_counts: dict[str, int]) -> collections.Counter:
    """Items needed for blocks counted by state ({state: count}, as Volume.counts() gives)."""
    items = collections.Counter()
    for state, count in state_counts.items():
        for item, each in items_of(state):
            items[item] += each * count
    return items


def stack_size(item: str) -> int:
    """How many of `item` make one stack in an inventory."""
    bare = item.rpartition(":")[2]
    if STACK_OF_1.fullmatch(bare):
        return 1
    if STACK_OF_16.fullmatch(bare):
        return 16
    return 64


def stacks_text(item: str, count: int) -> str:
    """`count` of `item` in stacks and shulker boxes as a builder fills them: "3×64 + 12 (0.15
    boxes)"."""
    size = stack_size(item)
    full, rest = divmod(count, size)
    parts = [f"{full}×{size}"] if full else []
    if rest:
        parts.append(str(rest))
    stacks = -(-count // size)
    return f"{' + '.join(parts) or '0'} ({stacks / SHULKER_BOX_STACKS:.2f} boxes)"
