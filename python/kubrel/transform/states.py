"""What a turn or a mirror does to a block state: one table of the properties that point
somewhere, applied once per palette entry. A state that cannot follow a turn (stairs laid on
their side) is reported and left as it was: the image of every property is taken or none is."""

from __future__ import annotations

from .._native import join_state, split_state
from .turns import DIRECTIONS, Turn

HORIZONTAL = ("north", "east", "south", "west")
SIDES = ("north", "east", "south", "west", "up", "down")
# Blocks whose `facing` takes all six directions (a vertical value marks any other, modded ones
# too); every other `facing` block stands upright and faces one of four.
SIX_FACING = (
    "piston", "sticky_piston", "piston_head", "moving_piston", "observer", "dispenser", "dropper",
    "end_rod", "lightning_rod", "barrel", "command_block", "chain_command_block",
    "repeating_command_block", "amethyst_cluster", "large_amethyst_bud", "medium_amethyst_bud",
    "small_amethyst_bud", "shulker_box",
)
HOPPER_FACING = ("down", *HORIZONTAL)
# A jigsaw's or crafter's front and top.
ORIENTATIONS = {
    *(f"{v}_{h}" for v in ("up", "down") for h in HORIZONTAL),
    *(f"{h}_up" for h in HORIZONTAL),
}
FLIPPED = {"top": "bottom", "bottom": "top", "upper": "lower", "lower": "upper",
           "floor": "ceiling", "ceiling": "floor", "up": "down", "down": "up"}
SWAPPED_SIDES = {"left": "right", "right": "left"}
STAIR_SHAPES = {"straight", "inner_left", "inner_right", "outer_left", "outer_right"}
# Properties of blocks with a top and a bottom: they follow upright turns only.
UPRIGHT = ("rotation", "half", "hinge", "shape", "attachment", "hanging", "vertical_direction")
# `hanging` of these is a growth stage, not an attachment.
HANGING_STAGE = ("mangrove_propagule",)


class CannotFollow(Exception):
    """The state has no image under the turn."""


def parse_state(text: str) -> tuple[str, dict[str, str]]:
    """"name[k=v,...]" as (name, {k: v}), read by the core's one state-text reader; text it
    cannot read is a bare name."""
    try:
        name, pairs = split_state(text)
    except ValueError:
        return text, {}
    return name, dict(pairs)


def format_state(name: str, properties: dict[str, str]) -> str:
    """The canonical text of a state: its properties with the keys sorted, quoted as the
    state-text syntax quotes them (written by the core's one state-text writer)."""
    return join_state(name, list(properties.items()))


def turn_state(text: str, turn: Turn) -> str | None:
    """The state `text` after `turn`, or None when it cannot follow.

    Example:
        >>> turn_state("minecraft:oak_stairs[facing=north,half=bottom]", Turn.quarter("y"))
        'minecraft:oak_stairs[facing=east,half=bottom]'
    """
    name, old = parse_state(text)
    if not old or turn.identity:
        return text
    block = name.partition(":")[2] or name
    new = dict(old)
    try:
        if not turn.upright and _needs_upright(block, old):
            raise CannotFollow
        for key, value in old.items():
            rule = _RULES.get(key)
            if rule is not None:
                image = rule(value, turn, block, old)
                if image is not None:
                    new[key] = image
        if "face" in old:
            new.update(_face(old, turn))
        elif "facing" in old:
            new["facing"] = _facing(old["facing"], turn, block)
        new.update(_sides(old, turn))
    except CannotFollow:
        return None
    return format_state(name, new)


def _needs_upright(block, old):
    facing = old.get("facing")
    if facing in HORIZONTAL and "face" not in old and block not in SIX_FACING:
        return True
    if old.get("type") in ("top", "bottom", "left", "right", "single", "double"):
        return True
    if any(value in ("low", "tall", "side") for value in old.values()):
        return True  # walls and redstone wire
    return any(key in old for key in UPRIGHT)


def _flip(value, turn, block, old):
    return FLIPPED.get(value) if turn.flips else None


def _hanging(value, turn, block, old):
    if turn.flips and block not in HANGING_STAGE and value in ("true", "false"):
        return "false" if value == "true" else "true"
    return None


def _left_right(value, turn, block, old):
    return SWAPPED_SIDES.get(value) if turn.reflects else None


def _type(value, turn, block, old):
    return _flip(value, turn, block, old) or _left_right(value, turn, block, old)


def _rotation(value, turn, block, old):
    if not value.isdigit() or not 0 <= int(value) < 16:
        return None
    return str(turn.clockwise(int(value), 4))


def _shape(value, turn, block, old):
    if value in STAIR_SHAPES:
        if turn.reflects and value != "straight":
            kind, side = value.split("_")
            return f"{kind}_{SWAPPED_SIDES[side]}"
        return None
    if value.startswith("ascending_"):
        if turn.flips:
            raise CannotFollow  # rails do not run along ceilings
        return "ascending_" + turn.direction(value[len("ascending_"):])
    ends = value.split("_")
    if len(ends) == 2 and all(end in HORIZONTAL for end in ends):
        a, b = (turn.direction(end) for end in ends)
        # The game names a rail north/south first, then east/west.
        order = ("north", "south", "east", "west")
        return "_".join(sorted((a, b), key=order.index))
    return None


def _axis(value, turn, block, old):
    if value not in ("x", "y", "z"):
        return None
    image = "xyz"[turn.source.index("xyz".index(value))]
    if block == "nether_portal" and image == "y":
        raise CannotFollow
    return image


def _orientation(value, turn, block, old):
    front, _, top = value.partition("_")
    if front not in DIRECTIONS or top not in DIRECTIONS:
        return None
    image = f"{turn.direction(front)}_{turn.direction(top)}"
    if image not in ORIENTATIONS:
        raise CannotFollow
    return image


_RULES = {
    "half": _flip,
    "attachment": _flip,
    "vertical_direction": _flip,
    "hanging": _hanging,
    "hinge": _left_right,
    "type": _type,
    "rotation": _rotation,
    "shape": _shape,
    "axis": _axis,
    "orientation": _orientation,
}


def _facing(value, turn, block):
    if value not in DIRECTIONS:
        return value
    image = turn.direction(value)
    if block == "hopper":
        allowed = HOPPER_FACING
    elif block in SIX_FACING or value in ("up", "down"):
        allowed = SIDES
    else:
        allowed = HORIZONTAL
    if image not in allowed:
        raise CannotFollow
    return image


def _face(old, turn):
    """Buttons, levers, grindstones: `face` (floor, wall, ceiling) with `facing` as one frame: the
    side away from the support, and for floor and ceiling the way it points."""
    face, facing = old["face"], old.get("facing")
    if face not in ("floor", "wall", "ceiling") or facing not in HORIZONTAL:
        return {}
    away = {"floor": "up", "ceiling": "down", "wall": facing}[face]
    ahead = "up" if face == "wall" else facing
    away, ahead = turn.direction(away), turn.direction(ahead)
    if away in ("up", "down") and ahead in HORIZONTAL:
        return {"face": "floor" if away == "up" else "ceiling", "facing": ahead}
    # A wall's button or lever upside down is the same one on the same wall.
    if away in HORIZONTAL and (ahead == "up" or turn.flips):
        return {"face": "wall", "facing": away}
    raise CannotFollow


def _sides(old, turn):
    """Side connections (fences, panes, vines, walls, redstone wire, mushroom blocks): each side's
    value moves to the side it turns to; a side the block lacks can take only an unset value."""
    # A wall's `up` is its post, not a side.
    wall = any(old.get(side) in ("none", "low", "tall") for side in HORIZONTAL)
    sides = [s for s in SIDES if s in old and not (wall and s in ("up", "down"))]
    if not sides:
        return {}
    unset = "false" if old[sides[0]] in ("true", "false") else "none"
    new = {side: unset for side in sides}
    for side in sides:
        image = turn.direction(side)
        if image in new:
            new[image] = old[side]
        elif old[side] != unset:
            raise CannotFollow
    return new
