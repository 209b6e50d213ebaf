"""What a builder gathers to place a block: the items each state costs, as the game counts them,
and how many of an item make a stack. Every rule is a row of RULES; the first row that matches a
state gives its items."""

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
STACK_OF_16 = re.compile(r".*(_sign|_banner)|snowball|egg|ender_pearl|armor_stand|honey_bottle|"
                         r"powder_snow_bucket")
STACK_OF_1 = re.compile(r".*(_bed|shulker_box)|cake|.*_bucket|bucket_of_.*")
SHULKER_BOX_STACKS = 27


def _rule_rows(name, props):
    """(namespace-less name, properties) -> [(item, count)], by the first rule that applies."""
    if name in NOT_ITEMS:
        return []
    # The second block of a door, tall flower or bed comes with the first.
    if props.get("half") == "upper" or props.get("part") == "head":
        return []
    if props.get("type") == "double" and name.endswith("_slab"):
        return [(name, 2)]
    if name.startswith("potted_"):
        plant = name.removeprefix("potted_")
        return [("flower_pot", 1), (POTTED.get(plant, plant), 1)]
    if name.endswith("candle_cake"):
        return [("cake", 1), (name.removesuffix("_cake"), 1)]
    for key in COUNTED_BY:
        if key in props and props[key].isdigit():
            return [(name, int(props[key]))]
    if name in PLACED_BY:
        return [(PLACED_BY[name], 1)]
    # Torches, signs, banners, heads and coral fans on a wall are the items placed on the floor.
    if name.startswith("wall_") or "_wall_" in name:
        return [(name.removeprefix("wall_").replace("_wall_", "_"), 1)]
    return [(name, 1)]


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
