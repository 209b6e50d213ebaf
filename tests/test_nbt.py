"""kubrel.nbt: payload bytes to typed values and back, exactly; hostile payloads fail cleanly
without holding memory ahead of the bytes."""

import doctest
import struct
import tracemalloc

import pytest

from kubrel import nbt
from kubrel.nbt import Byte, ByteArray, Compound, Double, Float, Int, IntArray, List, Long
from kubrel.nbt import LongArray, Short, String, TagType


def text(raw):
    return struct.pack(">H", len(raw)) + raw


def entry(tag_type, name, payload):
    """One compound entry: type, name (bytes, written as they are), payload."""
    return bytes([tag_type]) + text(name) + payload


def nested_lists(depth):
    """A compound entry holding `depth - 1` lists, each the only element of the one around it."""
    return entry(9, b"l", b"\x09\x00\x00\x00\x01" * (depth - 2) + bytes(5))


def typed(value):
    """`value` with the tag type of every value inside it spelled out, for comparing."""
    if isinstance(value, dict):
        return ("Compound", [(name, typed(item)) for name, item in value.items()])
    if isinstance(value, List):
        return ("List", value.element_type, [typed(item) for item in value])
    return (type(value).__name__, "nan" if value != value else value)


I32_MAX = (1 << 31) - 1
NAN = float("nan")
H = bytes.fromhex

# Compound entries: (tag type, name bytes, payload bytes, the name and value they hold, whether a
# value made in Python writes the same bytes: not for texts kept as they came nor NaN payloads).
ENTRIES = [
    (1, b"b", b"\x80", "b", Byte(-128), True),
    (2, b"s", b"\x7f\xff", "s", Short(32767), True),
    (3, b"i", H("fffffffe"), "i", Int(-2), True),
    (4, b"l", H("8000000000000000"), "l", Long(-(1 << 63)), True),
    (5, b"f", H("3fc00000"), "f", Float(1.5), True),
    (6, b"d", H("c00921fb54442d18"), "d", Double(-3.141592653589793), True),
    (5, b"snan", H("7f800001"), "snan", Float(NAN), False),
    (6, b"dnan", H("7ff0000000000001"), "dnan", Double(NAN), False),
    (7, b"ba", H("0000000200ff"), "ba", ByteArray(b"\x00\xff"), True),
    (11, b"ia", H("00000002ffffffff7fffffff"), "ia", IntArray([-1, I32_MAX]), True),
    (12, b"la", H("00000001ffffffffffffffff"), "la", LongArray([-1]), True),
    (11, b"no ints", bytes(4), "no ints", IntArray(), True),
    (9, b"untyped", bytes(5), "untyped", List(TagType.END), True),
    (9, b"no shorts", H("0200000000"), "no shorts", List(Short), True),
    (9, b"pos", H("0600000001") + H("3ff0000000000000"), "pos", List(Double, [Double(1)]), True),
    (
        9,
        b"of lists",
        H("09000000010100000001") + b"\x05",
        "of lists",
        List(List, [List(Byte, [Byte(5)])]),
        True,
    ),
    (
        9,
        b"items",
        H("0a00000002") + entry(8, b"id", text(b"x")) + b"\0\0",
        "items",
        List(Compound, [Compound(id=String("x")), Compound()]),
        True,
    ),
    (
        10,
        b"z",
        entry(10, b"y", b"\0") + entry(3, b"a", bytes(4)) + b"\0",
        "z",
        Compound(y=Compound(), a=Int(0)),
        True,
    ),
    (8, "é€".encode(), text("né €".encode()), "é€", String("né €"), True),
    (8, b"nul", text(b"a\xc0\x80b"), "nul", String("a\x00b"), True),
    (8, b"pair", text(H("eda0bdedb880")), "pair", String("\U0001f600"), True),
    (8, b"lone", text(H("eda0bd21")), "lone", String("\ud83d!"), True),
    (8, b"raw nul", text(b"a\x00b"), "raw nul", String("a\x00b"), False),
    (8, b"utf-8", text("\U0001f600".encode()), "utf-8", String("\U0001f600"), False),
    (8, b"bad", text(b"\xff\xfe"), "bad", String("\ufffd\ufffd"), False),
    (3, b"\xc3", bytes(4), "\ufffd", Int(0), False),
]
ALL = b"".join(entry(*row[:3]) for row in ENTRIES) + b"\0"


@pytest.mark.parametrize("row", ENTRIES, ids=[row[3] for row in ENTRIES])
def test_round_trip(row):
    tag_type, name, payload, name_text, value, canonical = row
    data = entry(tag_type, name, payload) + b"\0"
    read = nbt.parse_compound(memoryview(data))
    assert typed(read) == typed(Compound({name_text: value}))
    assert read.to_bytes() == data
    assert (Compound({name_text: value}).to_bytes() == data) == canonical
    assert nbt.parse_document(read.to_document("n"))[0] == "n"
    assert nbt.parse_document(read.to_document("n"))[1].to_bytes() == data


def test_together_deepest_truncated_and_documented():
    deepest = nested_lists(512) + b"\0"
    for payload in (ALL, deepest):
        assert nbt.parse_compound(payload).to_bytes() == payload
    for end in range(len(ALL)):
        with pytest.raises(nbt.NbtError):
            nbt.parse_compound(ALL[:end])
    with pytest.raises(nbt.NbtError, match="root is not a Compound: tag type 9"):
        nbt.parse_document(b"\x09\x00\x00\x01\x00\x00\x00\x00")
    assert doctest.testmod(nbt, extraglobs={"nbt": nbt}).failed == 0


# Payloads that must fail, each with a pattern of its message. Lengths far beyond the bytes must
# be refused before anything is allocated for them.
HOSTILE = [
    ("empty", b"", "ends inside a tag type"),
    ("no End", entry(1, b"b", b"\x01"), "ends inside a tag type"),
    ("tag type 13", b"\x0d\x00\x00", "invalid NBT tag type 13 at offset 0"),
    ("list of type 13", entry(9, b"l", H("0d00000000")) + b"\0", "invalid NBT tag type 13"),
    ("name longer than the bytes", b"\x01\xff\xff", "ends inside a text: 65535 bytes needed"),
    ("huge ByteArray", entry(7, b"a", struct.pack(">i", I32_MAX)), "declares 2147483647 elem"),
    ("huge LongArray", entry(12, b"a", H("20000000") + bytes(64)), "declares 536870912"),
    ("huge List", entry(9, b"l", b"\x0a" + struct.pack(">i", I32_MAX) + b"\0"), "declares 2147"),
    ("negative array length", entry(11, b"a", H("ffffffff")), "negative length -1 of an IntA"),
    ("negative list length", entry(9, b"l", H("0180000000")), "negative length"),
    ("list of End with elements", entry(9, b"l", H("0000000005")) + b"\0", "END declares"),
    ("duplicate name", entry(1, b"a", b"\1") + entry(1, b"a", b"\2") + b"\0", "duplicate name 'a'"),
    ("bytes after the End", b"\0\0", "1 bytes follow the NBT compound"),
    ("depth bomb of lists", nested_lists(513), "deeper than 512"),
    ("depth bomb of compounds", entry(10, b"", b"\x0a\x00\x00" * 100000), "deeper than 512"),
]


@pytest.mark.parametrize("payload, message", [r[1:] for r in HOSTILE], ids=[r[0] for r in HOSTILE])
def test_hostile(payload, message):
    tracemalloc.start()
    try:
        with pytest.raises(nbt.NbtError, match=message):
            nbt.parse_compound(payload)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 4 * len(payload) + (1 << 20)


def cycle():
    looped = Compound()
    looped["self"] = looped
    return looped


# Values that cannot be written, with a pattern of the message.
UNWRITABLE = [
    (lambda: Byte(128), "Byte out of range: 128"),
    (lambda: Long(1 << 63), "Long out of range"),
    (lambda: Float(1e39), "Float out of range"),
    (lambda: Compound(a=IntArray([1 << 31])), "IntArray holds a value it cannot store"),
    (lambda: Compound(a=List(Int, [Byte(1)])), "a List of INT holds Byte"),
    (lambda: Compound(a=List(TagType.END, [Int(1)])), "END cannot hold elements"),
    (lambda: Compound(a=1), "must be a str name and a tag: 'a': 1"),
    (lambda: Compound(a=String("x" * 65536)), "65536 bytes is longer than 65535"),
    (cycle, "deeper than 512"),
]


@pytest.mark.parametrize("make, message", UNWRITABLE)
def test_unwritable(make, message):
    with pytest.raises(nbt.NbtError, match=message):
        make().to_bytes()
    assert issubclass(nbt.NbtError, ValueError)
