"""kubrel.nbt: payload bytes to typed values and back, exactly; hostile payloads fail cleanly
without holding memory ahead of the bytes."""

import doctest
import struct
import tracemalloc

import pytest

from kubrel import nbt
from kubrel.nbt import (
    Byte,
    ByteArray,
    Compound,
    Double,
    Float,
    Int,
    IntArray,
    List,
    Long,
    LongArray,
    Short,
    String,
    TagType,
)


def text(raw):
    return struct.pack(">H", len(raw)) + raw


def entry(tag_type, name, payload):
    """One compound entry: type, name (bytes, written as they are), payload."""
    return bytes([tag_type]) + text(name) + payload


def compound(*entries):
    return b"".join(entries) + b"\x00"


def nested_lists(depth):
    """A compound holding `depth - 1` lists, each the only element of the one around it."""
    return compound(entry(9, b"l", b"\x09\x00\x00\x00\x01" * (depth - 2) + b"\x00\x00\x00\x00\x00"))


def typed(value):
    """`value` with the tag type of every value inside it spelled out, for comparing."""
    if isinstance(value, dict):
        return ("Compound", [(name, typed(item)) for name, item in value.items()])
    if isinstance(value, List):
        return ("List", value.element_type, [typed(item) for item in value])
    if isinstance(value, float) and value != value:
        return (type(value).__name__, "nan")
    return (type(value).__name__, value)


I32_MAX = (1 << 31) - 1

# (name, payload bytes, the value they hold). Each payload is read, compared with the value, and
# written back byte for byte; the value is written to the same payload.
ROUND_TRIPS = [
    ("empty", b"\x00", Compound()),
    (
        "every number",
        compound(
            entry(1, b"b", b"\x80"),
            entry(2, b"s", b"\x7f\xff"),
            entry(3, b"i", b"\xff\xff\xff\xfe"),
            entry(4, b"l", b"\x80" + b"\x00" * 7),
            entry(5, b"f", b"\x3f\xc0\x00\x00"),
            entry(6, b"d", b"\xc0\x09\x21\xfb\x54\x44\x2d\x18"),
        ),
        Compound(
            b=Byte(-128),
            s=Short(32767),
            i=Int(-2),
            l=Long(-(1 << 63)),
            f=Float(1.5),
            d=Double(-3.141592653589793),
        ),
    ),
    (
        "arrays",
        compound(
            entry(7, b"ba", b"\x00\x00\x00\x02\x00\xff"),
            entry(11, b"ia", b"\x00\x00\x00\x02\xff\xff\xff\xff\x7f\xff\xff\xff"),
            entry(12, b"la", b"\x00\x00\x00\x01" + b"\x80" + b"\x00" * 7),
            entry(11, b"empty", b"\x00\x00\x00\x00"),
        ),
        Compound(
            ba=ByteArray(b"\x00\xff"),
            ia=IntArray([-1, I32_MAX]),
            la=LongArray([-(1 << 63)]),
            empty=IntArray(),
        ),
    ),
    (
        "lists, empty ones keeping their type",
        compound(
            entry(9, b"none", b"\x00\x00\x00\x00\x00"),
            entry(9, b"no ints", b"\x03\x00\x00\x00\x00"),
            entry(9, b"pos", b"\x06\x00\x00\x00\x02" + b"\x3f\xf0" + b"\x00" * 6 + b"\x00" * 8),
            entry(9, b"items", b"\x0a\x00\x00\x00\x02" + compound(entry(8, b"id", text(b"x"))) + b"\x00"),
            entry(9, b"of lists", b"\x09\x00\x00\x00\x01" + b"\x01\x00\x00\x00\x01\x05"),
        ),
        Compound(
            {
                "none": List(TagType.END),
                "no ints": List(Int),
                "pos": List(Double, [Double(1.0), Double(0.0)]),
                "items": List(Compound, [Compound(id=String("x")), Compound()]),
                "of lists": List(List, [List(Byte, [Byte(5)])]),
            }
        ),
    ),
    (
        "nested compounds keep their order",
        compound(entry(10, b"z", compound(entry(10, b"y", compound()), entry(3, b"a", bytes(4))))),
        Compound(z=Compound(y=Compound(), a=Int(0))),
    ),
    (
        "modified UTF-8: two- and three-byte forms, NUL, a surrogate pair, a lone surrogate",
        compound(
            entry(8, "é€".encode(), text("né €".encode())),
            entry(8, b"nul", text(b"a\xc0\x80b")),
            entry(8, b"astral", text(b"\xed\xa0\xbd\xed\xb8\x80")),
            entry(8, b"lone", text(b"\xed\xa0\xbd!")),
        ),
        Compound(
            {
                "é€": String("né €"),
                "nul": String("a\x00b"),
                "astral": String("\U0001f600"),
                "lone": String("\ud83d!"),
            }
        ),
    ),
    (
        "texts whose bytes are not canonical modified UTF-8 are kept as they came",
        compound(
            entry(8, b"raw nul", text(b"a\x00b")),
            entry(8, b"four bytes", text("\U0001f600".encode())),
            entry(8, b"undecodable", text(b"\xff\xfe")),
            entry(3, b"\xc3", bytes(4)),
        ),
        Compound(
            {
                "raw nul": String("a\x00b"),
                "four bytes": String("\U0001f600"),
                "undecodable": String("\ufffd\ufffd"),
                "\ufffd": Int(0),
            }
        ),
    ),
    (
        "NaN payloads survive",
        compound(entry(5, b"f", b"\x7f\x80\x00\x01"), entry(6, b"d", b"\x7f\xf0\x00\x00\x00\x00\x00\x01")),
        Compound(f=Float(float("nan")), d=Double(float("nan"))),
    ),
    ("512 levels deep", nested_lists(512), None),
]


# Rows whose bytes only a value read from them reproduces: a value made in Python is written in
# the canonical form (modified UTF-8 proper, the one quiet NaN).
KEPT_AS_READ = {"texts whose bytes are not canonical modified UTF-8 are kept as they came", "NaN payloads survive"}


@pytest.mark.parametrize("name, payload, value", ROUND_TRIPS, ids=[row[0] for row in ROUND_TRIPS])
def test_round_trip(name, payload, value):
    read = nbt.parse_compound(payload)
    assert read.to_bytes() == payload
    assert nbt.parse_compound(memoryview(payload)).to_bytes() == payload
    if value is not None:
        assert typed(read) == typed(value)
        assert (value.to_bytes() == payload) == (name not in KEPT_AS_READ)


def test_document_round_trip():
    root = Compound(size=List(Int, [Int(1), Int(2), Int(3)]), name=String("ü"))
    document = root.to_document("Schematic")
    assert nbt.parse_document(document) == ("Schematic", root)
    assert document[:12] == b"\x0a\x00\x09Schematic"


def test_docstring_examples():
    assert doctest.testmod(nbt, extraglobs={"nbt": nbt}).failed == 0


# Payloads that must fail, each with a pattern of its message. Lengths far beyond the bytes must
# be refused before anything is allocated for them.
HOSTILE = [
    ("empty", b"", "ends inside a tag type"),
    ("no End", entry(1, b"b", b"\x01"), "ends inside a tag type"),
    ("tag type 13", b"\x0d\x00\x00", "invalid NBT tag type 13 at offset 0"),
    ("list of type 13", entry(9, b"l", b"\x0d\x00\x00\x00\x00") + b"\x00", "invalid NBT tag type 13"),
    ("name longer than the bytes", b"\x01\xff\xff", "ends inside a text: 65535 bytes needed"),
    ("huge ByteArray", entry(7, b"a", struct.pack(">i", I32_MAX)), "declares 2147483647 elements"),
    ("huge LongArray", entry(12, b"a", struct.pack(">i", 1 << 29) + bytes(64)), "declares 536870912"),
    ("huge List", entry(9, b"l", b"\x0a" + struct.pack(">i", I32_MAX) + b"\x00"), "declares 2147483647"),
    ("negative array length", entry(11, b"a", b"\xff\xff\xff\xff"), "negative length -1 of an IntArray"),
    ("negative list length", entry(9, b"l", b"\x01\x80\x00\x00\x00"), "negative length"),
    ("list of End with elements", entry(9, b"l", b"\x00\x00\x00\x00\x05") + b"\x00", "END declares elements"),
    ("duplicate name", compound(entry(1, b"a", b"\x01"), entry(1, b"a", b"\x02")), "duplicate name 'a'"),
    ("bytes after the End", b"\x00\x00", "1 bytes follow the NBT compound"),
    ("depth bomb of lists", nested_lists(513), "deeper than 512"),
    ("depth bomb of compounds", entry(10, b"", b"\x0a\x00\x00" * 100000), "deeper than 512"),
]


@pytest.mark.parametrize("payload, message", [row[1:] for row in HOSTILE], ids=[row[0] for row in HOSTILE])
def test_hostile(payload, message):
    tracemalloc.start()
    try:
        with pytest.raises(nbt.NbtError, match=message):
            nbt.parse_compound(payload)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 4 * len(payload) + (1 << 20)


def test_every_truncation_fails():
    payload = b"".join(row[1][:-1] for row in ROUND_TRIPS[1:7]) + b"\x00"
    assert nbt.parse_compound(payload).to_bytes() == payload
    for end in range(len(payload)):
        with pytest.raises(nbt.NbtError):
            nbt.parse_compound(payload[:end])


def test_parse_document_refuses_other_roots():
    with pytest.raises(nbt.NbtError, match="root is not a Compound: tag type 9"):
        nbt.parse_document(b"\x09\x00\x00\x01\x00\x00\x00\x00")


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
