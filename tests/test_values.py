"""The value classes handed to Python: PyBlock, PyBlockState, PyBlockPosition and PyBoundary."""

import gc
import sys
import threading

import pytest

import kubrel_rs
from conftest import STAIRS, STONE, exactly, kbr_stairs_row, read_all, without_numpy

INT32_MIN, INT32_MAX, UINT32_MAX = -(2**31), 2**31 - 1, 2**32 - 1
OUT_OF_RANGE = "out of range integral type conversion attempted"


def boundary_type():
    with kubrel_rs.open(kbr_stairs_row()) as reader:
        return type(reader.boundary())


PyBoundary = boundary_type()


@pytest.fixture(scope="module")
def blocks():
    return read_all(kbr_stairs_row())


def position(p):
    return (p.x(), p.y(), p.z())


@pytest.mark.parametrize(
    "args, lo, hi, size, text",
    [
        (
            (0, 0, 0, 1, 1, 1),
            (0, 0, 0),
            (0, 0, 0),
            (1, 1, 1),
            "Boundary(min=(0, 0, 0), size=(1, 1, 1))",
        ),
        (
            (5, -3, 2, 0, 0, 0),
            (5, -3, 2),
            (4, -4, 1),
            (0, 0, 0),
            "Boundary(min=(5, -3, 2), size=(0, 0, 0))",
        ),
        (
            (1, 2, 3, 4, 5, 6),
            (1, 2, 3),
            (4, 6, 8),
            (4, 5, 6),
            "Boundary(min=(1, 2, 3), size=(4, 5, 6))",
        ),
        # Sums wrap around in 32 bits.
        (
            (INT32_MAX, INT32_MIN, 0, 2, 1, UINT32_MAX),
            (INT32_MAX, INT32_MIN, 0),
            (INT32_MIN, INT32_MIN, -2),
            (2, 1, UINT32_MAX),
            f"Boundary(min=({INT32_MAX}, {INT32_MIN}, 0), size=(2, 1, {UINT32_MAX}))",
        ),
    ],
)
def test_boundary_accessors_and_text(args, lo, hi, size, text):
    b = PyBoundary(*args)
    assert position(b.min()) == lo
    assert position(b.max()) == hi
    assert b.size() == size
    assert (b.min_x(), b.min_y(), b.min_z()) == lo
    assert (b.d_x(), b.d_y(), b.d_z()) == size
    assert str(b) == repr(b) == text
    assert str(b.min()) == repr(b.min()) == "({}, {}, {})".format(*lo)


def test_boundary_keywords_match_positional():
    by_keyword = PyBoundary(min_x=1, min_y=2, min_z=3, d_x=4, d_y=5, d_z=6)
    mixed = PyBoundary(1, 2, 3, d_z=6, d_y=5, d_x=4)
    assert str(by_keyword) == str(mixed) == str(PyBoundary(1, 2, 3, 4, 5, 6))


@pytest.mark.parametrize("index", range(6))
@pytest.mark.parametrize("bad", ["low", "high", "huge"])
def test_boundary_out_of_range(index, bad):
    is_size = index >= 3
    value = {
        "low": -1 if is_size else INT32_MIN - 1,
        "high": UINT32_MAX + 1 if is_size else INT32_MAX + 1,
        "huge": 2**70,
    }[bad]
    args = [0, 0, 0, 1, 1, 1]
    args[index] = value
    with pytest.raises(OverflowError, match=exactly(OUT_OF_RANGE)):
        PyBoundary(*args)


def test_boundary_extremes_accepted():
    b = PyBoundary(INT32_MIN, INT32_MAX, -1, UINT32_MAX, 0, True)
    assert (b.min_x(), b.min_y(), b.min_z()) == (INT32_MIN, INT32_MAX, -1)
    assert b.size() == (UINT32_MAX, 0, 1)


@pytest.mark.parametrize(
    "index, value, kind",
    [(4, "1", "str"), (0, 1.5, "float"), (2, None, "NoneType"), (5, b"\x01", "bytes")],
)
def test_boundary_argument_type_errors(index, value, kind):
    args = [0, 0, 0, 1, 1, 1]
    args[index] = value
    names = ["min_x", "min_y", "min_z", "d_x", "d_y", "d_z"]
    with pytest.raises(TypeError) as info:
        PyBoundary(*args)
    expected = f"argument '{names[index]}': '{kind}' object cannot be interpreted as an integer"
    assert str(info.value) == expected


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((0, 0, 0, 1, 1), {}),
        ((0, 0, 0, 1, 1, 1, 1), {}),
        ((0, 0, 0, 1, 1), {"depth": 1}),
        ((0, 0, 0, 1, 1, 1), {"min_x": 1}),
    ],
)
def test_boundary_signature_errors(args, kwargs):
    with pytest.raises(TypeError, match="PyBoundary"):
        PyBoundary(*args, **kwargs)


@pytest.mark.parametrize(
    "args, expected",
    [
        ((5, -3, 2, 0, 0, 0), [5.0, -3.0, 2.0, 0.0, 0.0, 0.0]),
        ((INT32_MIN, INT32_MAX, 7, UINT32_MAX, 1, 2), [INT32_MIN, INT32_MAX, 7, UINT32_MAX, 1, 2]),
    ],
)
def test_to_numpy(args, expected):
    numpy = pytest.importorskip("numpy")
    b = PyBoundary(*args)
    array = b.to_numpy()
    assert type(array) is numpy.ndarray
    assert array.dtype == numpy.float64
    assert array.shape == (6,)
    assert array.strides == (8,)
    assert array.flags.writeable and array.flags.c_contiguous
    assert array.base is not None
    assert array.tolist() == expected
    array[0] = 99.0
    assert b.min_x() == args[0]
    assert b.to_numpy() is not array and b.to_numpy().tolist() == expected


def test_to_numpy_arrays_outlive_boundary():
    pytest.importorskip("numpy")
    arrays = [PyBoundary(i, 0, 0, 1, 1, 1).to_numpy() for i in range(1000)]
    assert [a[0] for a in arrays] == list(range(1000))


def test_to_numpy_without_numpy():
    script = (
        "with kubrel_rs.open(sys.stdin.buffer.read()) as r:\n"
        "    b = r.boundary()\n"
        "try:\n"
        "    b.to_numpy()\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    assert without_numpy(script) == "ImportError Failed to access NumPy array API capsule"


def test_block_text_forms(blocks):
    assert [str(b) for b in blocks] == [
        "Block at (10, 64, -3) with state minecraft:stone[]",
        "Block at (12, 64, -3) with state minecraft:oak_stairs[facing=north, half=top]",
        "Block at (13, 64, -3) with state minecraft:stone[]",
    ]
    assert [repr(b) for b in blocks] == [str(b) for b in blocks]
    assert [str(b.position()) for b in blocks] == [repr(b.position()) for b in blocks]


def test_state_accessors(blocks):
    stone, stairs = blocks[0].state(), blocks[1].state()
    assert stone.id() == stone.name() == "minecraft:stone"
    assert stone.properties() == []
    assert str(stone) == STONE + "[]"
    assert stairs.id() == stairs.name() == "minecraft:oak_stairs"
    assert stairs.properties() == [("facing", "north"), ("half", "top")]
    assert str(stairs) == STAIRS
    # PyBlockState keeps the default object representation.
    assert repr(stone).startswith("<") and "PyBlockState object at" in repr(stone)


def test_each_call_makes_a_new_object(blocks):
    block = blocks[1]
    first, second = block.state(), block.state()
    assert first is not second
    assert str(first) == str(second)
    assert block.position() is not block.position()
    assert first != second  # identity equality, no comparison slots


def test_values_outlive_their_reader():
    with kubrel_rs.open(kbr_stairs_row()) as reader:
        blocks = reader.read_full()
        boundary = reader.boundary()
    states = [b.state() for b in blocks]
    del blocks
    assert [str(s) for s in states] == [STONE + "[]", STAIRS, STONE + "[]"]
    assert str(boundary) == "Boundary(min=(10, 64, -3), size=(4, 1, 1))"


def test_values_usable_from_other_threads(blocks):
    seen = []
    worker = threading.Thread(target=lambda: seen.extend(str(b.state()) for b in blocks))
    worker.start()
    worker.join()
    assert seen == [STONE + "[]", STAIRS, STONE + "[]"]


def test_classes(blocks):
    block = blocks[0]
    classes = {
        "PyBlock": type(block),
        "PyBlockState": type(block.state()),
        "PyBlockPosition": type(block.position()),
        "PyBoundary": PyBoundary,
    }
    for name, cls in classes.items():
        assert cls.__name__ == name
        assert not hasattr(kubrel_rs, name)
        with pytest.raises(TypeError):
            cls.extra = 1
        for method in (m for m in vars(cls) if not m.startswith("__")):
            assert getattr(cls, method).__text_signature__ == "($self)"
            assert not getattr(cls, method).__doc__
    for name in ("PyBlock", "PyBlockState", "PyBlockPosition"):
        with pytest.raises(TypeError):
            classes[name]()
    assert PyBoundary.__text_signature__ == "(min_x, min_y, min_z, d_x, d_y, d_z)"
    # Blocks hold no Python objects, so the cycle collector need not know them.
    assert not gc.is_tracked(block)
    with pytest.raises(AttributeError):
        block.position().x = 1


def test_methods_check_their_receiver(blocks):
    with pytest.raises(TypeError):
        type(blocks[0]).state(PyBoundary(0, 0, 0, 1, 1, 1))
    with pytest.raises(TypeError):
        PyBoundary.to_numpy(blocks[0])
