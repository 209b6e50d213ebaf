"""Turns and mirrors as one model: a signed permutation of the axes (x east, y up, z south), the
game's direction map made three-dimensional. Everything that moves with the grid asks a `Turn`:
the grid copy, block and entity positions, directions, yaws and the sixteenths of a standing sign.
Turns compose, so a chain of them is one strided copy of the grid."""

from __future__ import annotations

import itertools
import math

import numpy

AXES = "xyz"
DIRECTIONS = {
    "down": (0, -1, 0),
    "up": (0, 1, 0),
    "north": (0, 0, -1),
    "south": (0, 0, 1),
    "west": (-1, 0, 0),
    "east": (1, 0, 0),
}
DIRECTION_NAMES = {vector: name for name, vector in DIRECTIONS.items()}
# Horizontal directions counted clockwise from south, as the game counts a sign's `rotation` and
# an entity's yaw.
CLOCKWISE_FROM_SOUTH = ("south", "west", "north", "east")
UP = (0, 1, 0)


class Turn:
    """A signed permutation of the axes: new axis i is old axis `source[i]` times `sign[i]`.

    Example:
        >>> Turn.quarter("y").direction("north")
        'east'
        >>> Turn.mirror("z").direction("north")
        'south'
    """

    __slots__ = ("source", "sign")

    def __init__(self, source=(0, 1, 2), sign=(1, 1, 1)):
        self.source = tuple(source)
        self.sign = tuple(sign)

    # A quarter turn clockwise seen from the positive end of the axis looking back: about y,
    # clockwise from above (north -> east); about x, from the east (up -> north); about z, from
    # the south (up -> east).
    _QUARTERS = {"y": ((2, 1, 0), (-1, 1, 1)), "x": ((0, 2, 1), (1, 1, -1)), "z": ((1, 0, 2), (1, -1, 1))}

    @classmethod
    def quarter(cls, axis="y", turns=1):
        """`turns` quarter turns (negative: counterclockwise) about `axis`."""
        if axis not in cls._QUARTERS:
            raise ValueError(f"unknown axis {axis!r}: expected 'x', 'y' or 'z'")
        one, result = cls(*cls._QUARTERS[axis]), cls()
        for _ in range(int(turns) % 4):
            result = result.then(one)
        return result

    @classmethod
    def mirror(cls, axis):
        """The reflection that reverses `axis`: "x" swaps east and west, "z" north and south,
        "y" turns upside down."""
        if axis not in AXES:
            raise ValueError(f"unknown axis {axis!r}: expected 'x', 'y' or 'z'")
        return cls(sign=tuple(-1 if a == axis else 1 for a in AXES))

    def then(self, other: Turn) -> Turn:
        """This turn followed by `other`."""
        return Turn(
            tuple(self.source[other.source[i]] for i in range(3)),
            tuple(other.sign[i] * self.sign[other.source[i]] for i in range(3)),
        )

    def inverse(self) -> Turn:
        source, sign = [0] * 3, [1] * 3
        for i, j in enumerate(self.source):
            source[j], sign[j] = i, self.sign[i]
        return Turn(source, sign)

    def __eq__(self, other):
        return isinstance(other, Turn) and (self.source, self.sign) == (other.source, other.sign)

    def __hash__(self):
        return hash((self.source, self.sign))

    def __repr__(self):
        return f"Turn(source={self.source}, sign={self.sign})"

    @property
    def identity(self) -> bool:
        return self.source == (0, 1, 2) and self.sign == (1, 1, 1)

    def vector(self, v):
        return tuple(self.sign[i] * v[self.source[i]] for i in range(3))

    def direction(self, name: str) -> str:
        return DIRECTION_NAMES[self.vector(DIRECTIONS[name])]

    @property
    def upright(self) -> bool:
        """Whether up stays vertical (up or down): what blocks with a top and a bottom need."""
        return self.source[1] == 1

    @property
    def flips(self) -> bool:
        """Whether up becomes down."""
        return self.upright and self.sign[1] < 0

    @property
    def reflects(self) -> bool:
        """Whether an upright turn reverses left and right seen from above (a mirror of x or z)."""
        swapped = self.source[0] != 0
        return (self.sign[0] * self.sign[2] < 0) != swapped

    def clockwise(self, steps: int, per_quarter: int) -> int:
        """The image of a horizontal heading counted clockwise from south in `per_quarter` steps
        per quarter turn (4 for a sign's sixteenths), for an upright turn."""
        south = CLOCKWISE_FROM_SOUTH.index(self.direction("south")) * per_quarter
        return (south - steps if self.reflects else south + steps) % (4 * per_quarter)

    def yaw(self, yaw: float) -> float:
        """An upright turn's image of a yaw in degrees (0 south, 90 west), kept within 360 of 0."""
        south = CLOCKWISE_FROM_SOUTH.index(self.direction("south")) * 90.0
        turned = south - yaw if self.reflects else south + yaw
        return turned - 360.0 * (turned >= 360.0) + 360.0 * (turned <= -360.0)

    def look(self, yaw: float, pitch: float) -> tuple[float, float]:
        """(yaw, pitch) in degrees after the turn, by the direction they look in."""
        if self.upright:
            return self.yaw(yaw), -pitch if self.flips else pitch
        y, p = math.radians(yaw), math.radians(pitch)
        x, up, z = self.vector((-math.sin(y) * math.cos(p), -math.sin(p), math.cos(y) * math.cos(p)))
        return math.degrees(math.atan2(-x, z)), math.degrees(-math.asin(max(-1.0, min(1.0, up))))

    def size(self, size):
        """The size (x, y, z) of the turned box."""
        return tuple(size[j] for j in self.source)

    def block(self, position, size):
        """Where the block at `position` (x, y, z) of a box of `size` lands in the turned box."""
        return tuple(
            position[j] if s > 0 else size[j] - 1 - position[j]
            for j, s in zip(self.source, self.sign)
        )

    def point(self, position, size):
        """Where a point (an entity's position) lands in the turned box."""
        return tuple(
            position[j] if s > 0 else size[j] - position[j] for j, s in zip(self.source, self.sign)
        )

    def box(self, low, extent, size):
        """The minimum corner and size of the box at `low` of `extent`, turned."""
        far = [lo + e - 1 for lo, e in zip(low, extent)]
        a, b = self.block(low, size), self.block(far, size)
        return tuple(min(p, q) for p, q in zip(a, b)), self.size(extent)


def turn_grid(grid: numpy.ndarray, turn: Turn) -> numpy.ndarray:
    """A (y, z, x) grid of any dtype turned: one strided copy, C-contiguous. Serves the blocks and
    any other grid over the same positions (biomes)."""
    # Array axis of each coordinate x, y, z in a (y, z, x) grid.
    axis_of = (2, 0, 1)
    order = [axis_of[turn.source[i]] for i in (1, 2, 0)]
    view = grid.transpose(order)
    flips = tuple(
        slice(None, None, -1) if turn.sign[i] < 0 else slice(None) for i in (1, 2, 0)
    )
    return numpy.ascontiguousarray(view[flips])


def augmentations(count: int) -> list[Turn]:
    """The turns that augment a dataset: 1 (none), 4 (the quarter turns about y), 8 (and each of
    them mirrored east to west) or 24 (every way a cube can be turned)."""
    about_y = [Turn.quarter("y", k) for k in range(4)]
    if count in (1, 4):
        return about_y[:count]
    if count == 8:
        return about_y + [t.then(Turn.mirror("x")) for t in about_y]
    if count == 24:
        # Each of the six faces brought up, then the four turns about y.
        ups = [Turn(), Turn.quarter("x", 1), Turn.quarter("x", 2), Turn.quarter("x", 3),
               Turn.quarter("z", 1), Turn.quarter("z", 3)]
        return [up.then(t) for up, t in itertools.product(ups, about_y)]
    raise ValueError(f"augment must be 1, 4, 8 or 24, not {count}")
