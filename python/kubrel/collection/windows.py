"""Cutting a volume's blocks into cubic windows, the unit of a training set."""

import itertools

import numpy as np


def window_counts(size, window):
    """Windows along each axis of `size`, in its order (x, y, z for a volume's size): the last
    ones may be partial."""
    return tuple(-(-extent // window) for extent in size)


def window_origins(size, window):
    """The (x, y, z) origin of each window, relative to the volume's minimum corner, in the order
    cut() returns the windows: y slowest, then z, then x."""
    along_x, along_y, along_z = window_counts(size, window)
    return [
        (x * window, y * window, z * window)
        for y, z, x in itertools.product(range(along_y), range(along_z), range(along_x))
    ]


def cut(blocks, window):
    """The windows of `blocks` (indexed [y, z, x]) as an array of shape (n, window, window,
    window), each indexed [y, z, x]; the parts of the last windows past the volume hold 0 (air)."""
    along = window_counts(blocks.shape, window)
    padded = np.zeros([count * window for count in along], dtype=blocks.dtype)
    padded[: blocks.shape[0], : blocks.shape[1], : blocks.shape[2]] = blocks
    split = padded.reshape(along[0], window, along[1], window, along[2], window)
    return split.transpose(0, 2, 4, 1, 3, 5).reshape(-1, window, window, window)


def smallest_unsigned(count):
    """The smallest unsigned dtype that holds the indices of `count` states."""
    for dtype in (np.uint8, np.uint16, np.uint32):
        if count <= np.iinfo(dtype).max + 1:
            return np.dtype(dtype)
    return np.dtype(np.uint64)
