"""The colour of each block in a preview: a table of common blocks, and for any other block a
stable colour made from its name."""

import colorsys
import hashlib

from kubrel._native import split_state

# The sixteen dye colours, for the families of blocks that come in each of them.
DYES = {
    "white": (233, 236, 236),
    "orange": (240, 118, 19),
    "magenta": (189, 68, 179),
    "light_blue": (58, 175, 217),
    "yellow": (248, 197, 39),
    "lime": (112, 185, 25),
    "pink": (237, 141, 172),
    "gray": (62, 68, 71),
    "light_gray": (142, 142, 134),
    "cyan": (21, 137, 145),
    "purple": (121, 42, 172),
    "blue": (53, 57, 157),
    "brown": (114, 71, 40),
    "green": (84, 109, 27),
    "red": (160, 39, 34),
    "black": (20, 21, 25),
}
DYED_FAMILIES = (
    "wool",
    "carpet",
    "concrete",
    "concrete_powder",
    "terracotta",
    "glazed_terracotta",
    "stained_glass",
    "stained_glass_pane",
    "bed",
    "banner",
    "shulker_box",
    "candle",
)

# Woods, for the families of blocks made of each.
WOODS = {
    "oak": (162, 130, 78),
    "spruce": (114, 84, 48),
    "birch": (196, 179, 123),
    "jungle": (160, 115, 80),
    "acacia": (168, 90, 50),
    "dark_oak": (66, 43, 20),
    "mangrove": (117, 54, 48),
    "cherry": (226, 178, 172),
    "bamboo": (193, 173, 80),
    "crimson": (101, 48, 70),
    "warped": (43, 104, 99),
    "pale_oak": (227, 217, 213),
}
WOOD_FAMILIES = (
    "planks",
    "stairs",
    "slab",
    "fence",
    "fence_gate",
    "door",
    "trapdoor",
    "pressure_plate",
    "button",
    "sign",
    "wall_sign",
    "hanging_sign",
)
# Logs and stems show their bark; leaves their foliage.
BARKS = {
    "oak": (109, 85, 50),
    "spruce": (58, 37, 16),
    "birch": (216, 215, 210),
    "jungle": (85, 67, 25),
    "acacia": (103, 96, 86),
    "dark_oak": (60, 46, 26),
    "mangrove": (84, 66, 36),
    "cherry": (54, 33, 44),
    "crimson": (92, 25, 29),
    "warped": (58, 58, 77),
    "pale_oak": (88, 80, 78),
}

# Everything else that is common in builds and terrain, by name.
NAMED = {
    "stone": (125, 125, 125),
    "granite": (149, 103, 85),
    "polished_granite": (154, 106, 89),
    "diorite": (188, 188, 188),
    "polished_diorite": (192, 193, 194),
    "andesite": (136, 136, 136),
    "polished_andesite": (132, 134, 133),
    "deepslate": (80, 80, 82),
    "cobbled_deepslate": (77, 77, 80),
    "polished_deepslate": (72, 72, 73),
    "deepslate_bricks": (70, 70, 71),
    "cracked_deepslate_bricks": (65, 65, 66),
    "deepslate_tiles": (54, 54, 55),
    "cracked_deepslate_tiles": (52, 52, 53),
    "chiseled_deepslate": (54, 54, 54),
    "reinforced_deepslate": (80, 83, 79),
    "sculk": (13, 30, 36),
    "sculk_vein": (8, 48, 57),
    "sculk_catalyst": (15, 32, 38),
    "sculk_sensor": (7, 70, 84),
    "sculk_shrieker": (198, 205, 170),
    "tuff": (108, 109, 102),
    "calcite": (223, 224, 220),
    "grass_block": (95, 159, 53),
    "dirt": (134, 96, 67),
    "coarse_dirt": (119, 85, 59),
    "podzol": (91, 63, 24),
    "mud": (60, 57, 60),
    "clay": (160, 166, 179),
    "gravel": (131, 127, 126),
    "sand": (219, 207, 163),
    "red_sand": (190, 102, 33),
    "sandstone": (216, 203, 155),
    "red_sandstone": (186, 99, 29),
    "cobblestone": (127, 127, 127),
    "mossy_cobblestone": (110, 118, 94),
    "stone_bricks": (122, 121, 122),
    "mossy_stone_bricks": (115, 121, 105),
    "cracked_stone_bricks": (118, 117, 118),
    "bricks": (150, 97, 83),
    "mud_bricks": (137, 103, 79),
    "smooth_stone": (158, 158, 158),
    "bedrock": (85, 85, 85),
    "water": (63, 118, 228),
    "lava": (207, 92, 20),
    "ice": (145, 183, 253),
    "packed_ice": (141, 180, 250),
    "blue_ice": (116, 167, 253),
    "snow": (249, 254, 254),
    "snow_block": (249, 254, 254),
    "obsidian": (15, 10, 24),
    "glass": (200, 220, 230),
    "glass_pane": (200, 220, 230),
    "netherrack": (97, 38, 38),
    "nether_bricks": (44, 21, 26),
    "soul_sand": (81, 62, 50),
    "glowstone": (171, 131, 84),
    "end_stone": (219, 222, 158),
    "purpur_block": (169, 125, 169),
    "quartz_block": (235, 229, 222),
    "smooth_quartz": (235, 229, 222),
    "prismarine": (99, 156, 151),
    "dark_prismarine": (51, 91, 75),
    "sea_lantern": (172, 199, 190),
    "iron_block": (220, 220, 220),
    "gold_block": (246, 208, 61),
    "diamond_block": (98, 237, 228),
    "emerald_block": (42, 203, 87),
    "redstone_block": (175, 24, 5),
    "lapis_block": (30, 67, 140),
    "coal_block": (16, 15, 15),
    "copper_block": (192, 107, 79),
    "bookshelf": (117, 94, 59),
    "crafting_table": (119, 89, 55),
    "furnace": (110, 110, 110),
    "chest": (155, 113, 46),
    "barrel": (134, 100, 58),
    "torch": (255, 216, 110),
    "lantern": (106, 91, 83),
    "hay_block": (166, 139, 12),
    "pumpkin": (198, 118, 24),
    "melon": (111, 145, 30),
    "tnt": (219, 68, 26),
    "short_grass": (96, 150, 50),
    "tall_grass": (96, 150, 50),
    "fern": (88, 135, 50),
    "vine": (60, 110, 30),
    "lily_pad": (32, 128, 48),
    "moss_block": (89, 109, 45),
    "mycelium": (111, 98, 101),
    "terracotta": (152, 94, 67),
    "iron_bars": (136, 139, 135),
    "ladder": (124, 97, 56),
    "rail": (125, 110, 90),
    "redstone_wire": (175, 24, 5),
    "oak_leaves": (60, 130, 30),
    "spruce_leaves": (50, 90, 50),
    "birch_leaves": (95, 140, 55),
    "jungle_leaves": (50, 140, 20),
    "acacia_leaves": (80, 125, 30),
    "dark_oak_leaves": (50, 110, 20),
    "mangrove_leaves": (70, 130, 30),
    "cherry_leaves": (229, 172, 194),
    "azalea_leaves": (90, 117, 44),
    "pale_oak_leaves": (160, 168, 150),
}


def base_name(state):
    """The block name of a state's text, without its namespace and properties."""
    return split_state(state)[0].rpartition(":")[2]


# Shapes cut from a full block keep that block's colour (stone_brick_stairs, sandstone_wall...).
SHAPES = ("_stairs", "_slab", "_wall", "_fence", "_button", "_pressure_plate")


def colour(state):
    """The (r, g, b) colour of a state in a preview: from the tables for common blocks, else a
    colour derived from the block name's digest (the same in every run and on every machine)."""
    found = _table_colour(base_name(state))
    return found if found is not None else _hashed(split_state(state)[0])


def _table_colour(name):
    if name in NAMED:
        return NAMED[name]
    stripped = name.startswith("stripped_")
    name = name.removeprefix("stripped_")
    for dye, rgb in DYES.items():
        if name.startswith(dye + "_") and name[len(dye) + 1 :] in DYED_FAMILIES:
            return rgb
    for wood, rgb in WOODS.items():
        if name.startswith(wood + "_"):
            rest = name[len(wood) + 1 :]
            if rest in ("log", "wood", "stem", "hyphae"):
                return rgb if stripped else BARKS.get(wood, rgb)
            if rest in WOOD_FAMILIES:
                return rgb
    for shape in SHAPES:
        if name.endswith(shape):
            block = name.removesuffix(shape)
            for candidate in (block, block + "s", block + "_block"):
                if candidate in NAMED:
                    return NAMED[candidate]
    return None


def _hashed(name):
    # Not hash(): Python salts it per process. Mid saturation and value keep unknown blocks
    # readable next to the table's colours.
    digest = hashlib.blake2b(name.encode(), digest_size=4).digest()
    hue = int.from_bytes(digest[:2], "big") / 65536
    saturation = 0.35 + digest[2] / 255 * 0.4
    value = 0.45 + digest[3] / 255 * 0.4
    return tuple(round(channel * 255) for channel in colorsys.hsv_to_rgb(hue, saturation, value))
