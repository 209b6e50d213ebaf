"""A small typed model of NBT, the tag format in which schematics keep block entity and entity data.

Every value keeps its tag type, so that what a file held is written back byte for byte: `Byte`,
`Short`, `Int` and `Long` are ints, `Float` and `Double` floats, `String` a str, `ByteArray` a
bytearray, `IntArray` and `LongArray` lists of ints, `List` a list that knows its element type
(empty lists included) and `Compound` a dict from names to tags, in file order.

`parse_compound` turns the payload of an unnamed compound (its entries, then the closing End tag)
into a `Compound`, and `Compound.to_bytes` gives those bytes back: exactly the same bytes for
anything `parse_compound` accepted. Names and strings are in Java's modified UTF-8; a text whose
bytes are not the canonical encoding of what they decode to (a raw NUL byte, a four-byte UTF-8
sequence, bytes that do not decode) keeps its bytes, so it too is written back unchanged.

The input is untrusted: every length is checked against the bytes that are left before anything is
read or allocated, and nesting deeper than `MAX_DEPTH` compounds and lists fails with `NbtError`,
as does a value that does not fit its tag when writing.

This model is our own rather than a third-party NBT library: `import kubrel` must need nothing
but NumPy, which rules out a dependency whatever its licence.

Example:
    >>> from kubrel import nbt
    >>> chest = nbt.Compound({"id": nbt.String("minecraft:chest"), "Items": nbt.List(nbt.Compound)})
    >>> chest.to_bytes()[:4]
    b'\\x08\\x00\\x02i'
    >>> nbt.parse_compound(chest.to_bytes())
    Compound({'id': String('minecraft:chest'), 'Items': List(TagType.COMPOUND, [])})
"""

from __future__ import annotations

import enum
import re
import struct
from collections.abc import Callable, Iterable
from typing import Any

from ._native import KubrelError

__all__ = [
    "MAX_DEPTH",
    "NbtError",
    "TagType",
    "Tag",
    "Byte",
    "Short",
    "Int",
    "Long",
    "Float",
    "Double",
    "String",
    "ByteArray",
    "IntArray",
    "LongArray",
    "List",
    "Compound",
    "parse_compound",
    "parse_document",
]

# Compounds and lists nested deeper than this are refused, reading and writing alike.
MAX_DEPTH = 512


class NbtError(KubrelError):
    """NBT bytes that cannot be read, or a value that cannot be written as NBT."""


class TagType(enum.IntEnum):
    """The NBT tag type ids."""

    END = 0
    BYTE = 1
    SHORT = 2
    INT = 3
    LONG = 4
    FLOAT = 5
    DOUBLE = 6
    BYTE_ARRAY = 7
    STRING = 8
    LIST = 9
    COMPOUND = 10
    INT_ARRAY = 11
    LONG_ARRAY = 12


_U8 = struct.Struct(">B")
_U16 = struct.Struct(">H")
_I32 = struct.Struct(">i")
_F32 = struct.Struct(">f")
_F64 = struct.Struct(">d")


class Tag:
    """The base of every typed NBT value."""

    __slots__ = ()
    tag_type: TagType

    def _write(self, out: bytearray, depth: int) -> None:
        raise NotImplementedError


class _Integer(Tag, int):
    __slots__ = ()
    _format: struct.Struct

    def __new__(cls, value: int = 0):
        self = int.__new__(cls, value)
        bits = cls._format.size * 8
        if not -(1 << (bits - 1)) <= self < 1 << (bits - 1):
            raise NbtError(f"{cls.__name__} out of range: {int(self)}")
        return self

    def __repr__(self) -> str:
        return f"{type(self).__name__}({int(self)})"

    def _write(self, out, depth):
        out += self._format.pack(self)


class Byte(_Integer):
    __slots__ = ()
    tag_type = TagType.BYTE
    _format = struct.Struct(">b")


class Short(_Integer):
    __slots__ = ()
    tag_type = TagType.SHORT
    _format = struct.Struct(">h")


class Int(_Integer):
    __slots__ = ()
    tag_type = TagType.INT
    _format = _I32


class Long(_Integer):
    __slots__ = ()
    tag_type = TagType.LONG
    _format = struct.Struct(">q")


class Float(Tag, float):
    """A 32-bit float. It holds the value rounded to 32 bits and keeps its four bytes, so that a
    NaN's payload survives (widening a signalling NaN to a Python float would quiet it)."""

    __slots__ = ("_raw",)
    _raw: bytes
    tag_type = TagType.FLOAT

    def __new__(cls, value: float = 0.0):
        try:
            raw = _F32.pack(value)
        except OverflowError:
            raise NbtError(f"Float out of range: {value!r}") from None
        return cls._from_raw(raw)

    @classmethod
    def _from_raw(cls, raw: bytes) -> Float:
        self = float.__new__(cls, _F32.unpack(raw)[0])
        self._raw = raw
        return self

    def __repr__(self) -> str:
        return f"Float({float(self)!r})"

    def _write(self, out, depth):
        out += self._raw


class Double(Tag, float):
    __slots__ = ()
    tag_type = TagType.DOUBLE

    def __repr__(self) -> str:
        return f"Double({float(self)!r})"

    def _write(self, out, depth):
        out += _F64.pack(self)


class String(Tag, str):
    """A text. One read from bytes that are not the canonical modified UTF-8 of its text keeps
    those bytes and writes them back."""

    tag_type = TagType.STRING
    _raw: bytes | None = None

    def __repr__(self) -> str:
        return f"String({str.__repr__(self)})"

    def _write(self, out, depth):
        _write_text(out, self)


class ByteArray(Tag, bytearray):
    tag_type = TagType.BYTE_ARRAY

    def __repr__(self) -> str:
        return f"ByteArray({bytes(self)!r})"

    def _write(self, out, depth):
        out += _I32.pack(len(self))
        out += self


class _NumberArray(Tag, list):
    __slots__ = ()
    _item: str

    def __repr__(self) -> str:
        return f"{type(self).__name__}({list.__repr__(self)})"

    def _write(self, out, depth):
        out += _I32.pack(len(self))
        try:
            out += struct.pack(f">{len(self)}{self._item}", *self)
        except struct.error as error:
            raise NbtError(
                f"{type(self).__name__} holds a value it cannot store: {error}"
            ) from None


class IntArray(_NumberArray):
    __slots__ = ()
    tag_type = TagType.INT_ARRAY
    _item = "i"


class LongArray(_NumberArray):
    __slots__ = ()
    tag_type = TagType.LONG_ARRAY
    _item = "q"


class List(Tag, list):
    """A list of tags that all have `element_type` (a `TagType`, or a tag class such as `Int`).
    An empty list keeps its element type too; `TagType.END` is the type of empty lists that
    declare none."""

    __slots__ = ("element_type",)
    tag_type = TagType.LIST

    def __init__(self, element_type: TagType | type[Tag] | int, items: Iterable[Tag] = ()):
        super().__init__(items)
        if isinstance(element_type, type):
            element_type = element_type.tag_type
        self.element_type = TagType(element_type)

    def __repr__(self) -> str:
        return f"List(TagType.{self.element_type.name}, {list.__repr__(self)})"

    def __eq__(self, other):
        if isinstance(other, List) and other.element_type != self.element_type:
            return False
        return list.__eq__(self, other)

    __hash__ = None  # type: ignore[assignment]

    def _write(self, out, depth):
        _check_depth(depth)
        element_type = self.element_type
        if self and element_type == TagType.END:
            raise NbtError("a List of element type END cannot hold elements")
        out.append(element_type)
        out += _I32.pack(len(self))
        for item in self:
            if getattr(item, "tag_type", None) != element_type or not isinstance(item, Tag):
                raise NbtError(f"a List of {element_type.name} holds {item!r}")
            item._write(out, depth + 1)


class Compound(Tag, dict):
    """Named tags in order; names are str, values are tags.

    Example:
        >>> nbt.Compound({"x": nbt.Int(1)}).to_bytes()
        b'\\x03\\x00\\x01x\\x00\\x00\\x00\\x01\\x00'
    """

    __slots__ = ()
    tag_type = TagType.COMPOUND

    def __repr__(self) -> str:
        return f"Compound({dict.__repr__(self)})"

    def to_bytes(self) -> bytes:
        """The payload of this compound as an unnamed tag: its entries, then the End tag."""
        out = bytearray()
        self._write(out, 1)
        return bytes(out)

    def to_document(self, name: str = "") -> bytes:
        """A whole NBT document (uncompressed) whose root is this compound under `name`."""
        out = bytearray([TagType.COMPOUND])
        _write_text(out, name)
        self._write(out, 1)
        return bytes(out)

    def _write(self, out, depth):
        _check_depth(depth)
        for name, value in self.items():
            if not isinstance(name, str) or not isinstance(value, Tag):
                raise NbtError(
                    f"a Compound entry must be a str name and a tag: {name!r}: {value!r}"
                )
            out.append(value.tag_type)
            _write_text(out, name)
            value._write(out, depth + 1)
        out.append(TagType.END)


def parse_compound(payload: bytes | bytearray | memoryview) -> Compound:
    """Reads the payload of an unnamed compound (entries, then End), all of `payload` and no
    more, as written by `Compound.to_bytes`."""
    reader = _Reader(bytes(payload))
    value = reader.compound(1)
    reader.expect_end()
    return value


def parse_document(data: bytes | bytearray | memoryview) -> tuple[str, Compound]:
    """Reads a whole uncompressed NBT document whose root is a compound: its name and value."""
    reader = _Reader(bytes(data))
    root_type = reader.unpack(_U8, "the root tag")
    if root_type != TagType.COMPOUND:
        raise NbtError(f"NBT root is not a Compound: tag type {root_type}")
    name = reader.text()
    value = reader.compound(1)
    reader.expect_end()
    return str(name), value


def _check_depth(depth: int) -> None:
    if depth > MAX_DEPTH:
        raise NbtError(f"NBT nested deeper than {MAX_DEPTH} compounds and lists")


# Characters outside the Basic Multilingual Plane, which modified UTF-8 writes as the two
# three-byte encodings of their UTF-16 surrogate pair.
_ASTRAL = re.compile("[\U00010000-\U0010ffff]")


def _surrogate_pair(match: re.Match) -> str:
    offset = ord(match[0]) - 0x10000
    return chr(0xD800 + (offset >> 10)) + chr(0xDC00 + (offset & 0x3FF))


def _encode_text(text: str) -> bytes:
    raw = getattr(text, "_raw", None)
    if raw is not None:
        return raw
    if text.isascii() and "\x00" not in text:
        return text.encode("ascii")
    units = _ASTRAL.sub(_surrogate_pair, text)
    return units.encode("utf-8", "surrogatepass").replace(b"\x00", b"\xc0\x80")


def _decode_text(raw: bytes) -> str:
    """The text of modified UTF-8 `raw` (plain ASCII is taken on a shorter path by the reader): a
    plain str when `raw` is its canonical encoding, else a String that keeps `raw`."""
    try:
        units = raw.replace(b"\xc0\x80", b"\x00").decode("utf-8", "surrogatepass")
        # Joins each surrogate pair into its character; a lone surrogate stays as it is.
        text = units.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "surrogatepass")
    except UnicodeError:
        text = raw.decode("utf-8", "replace")
    if _encode_text(text) == raw:
        return text
    kept = String(text)
    kept._raw = raw
    return kept


def _write_text(out: bytearray, text: str) -> None:
    raw = _encode_text(text)
    if len(raw) > 0xFFFF:
        raise NbtError(f"NBT text of {len(raw)} bytes is longer than 65535 bytes")
    out += _U16.pack(len(raw))
    out += raw


# The fewest payload bytes a value of each tag type takes, to refuse a List that declares more
# elements than the bytes left could hold before reading any of them.
_MIN_SIZE = {
    TagType.BYTE: 1,
    TagType.SHORT: 2,
    TagType.INT: 4,
    TagType.LONG: 8,
    TagType.FLOAT: 4,
    TagType.DOUBLE: 8,
    TagType.BYTE_ARRAY: 4,
    TagType.STRING: 2,
    TagType.LIST: 5,
    TagType.COMPOUND: 1,
    TagType.INT_ARRAY: 4,
    TagType.LONG_ARRAY: 4,
}


# Takes longer than this are views of the data, not copies: a document may hold one array of
# hundreds of megabytes, which a slice would hold twice before its tag copies it again.
_VIEWED_BYTES = 1 << 20


class _Reader:
    """Reads tags from bytes held whole, checking every length against what is left before
    reading. Kept to few calls per value: block entity data of a large file holds thousands of
    compounds."""

    __slots__ = ("data", "pos")

    def __init__(self, data: bytes):
        self.data = data
        self.pos = 0

    def take(self, count: int, what: str) -> bytes:
        start = self.pos
        end = start + count
        if end > len(self.data):
            raise NbtError(
                f"NBT ends inside {what}: {count} bytes needed at offset {start}, "
                f"{len(self.data) - start} left"
            )
        self.pos = end
        if count > _VIEWED_BYTES:  # an array: seen in place, copied once by its tag
            return memoryview(self.data)[start:end]
        return self.data[start:end]

    def unpack(self, format: struct.Struct, what: str) -> Any:
        start = self.pos
        if start + format.size > len(self.data):
            self.take(format.size, what)
        self.pos = start + format.size
        return format.unpack_from(self.data, start)[0]

    def tag_type(self) -> int:
        at = self.pos
        if at >= len(self.data):
            self.take(1, "a tag type")
        value = self.data[at]
        self.pos = at + 1
        if value > TagType.LONG_ARRAY:
            raise NbtError(f"invalid NBT tag type {value} at offset {at}")
        return value

    def text(self) -> str:
        raw = self.take(self.unpack(_U16, "a text length"), "a text")
        if raw.isascii() and b"\x00" not in raw:
            return raw.decode("ascii")
        return _decode_text(raw)

    def count(self, item_size: int, what: str) -> int:
        """A declared element count, refused when negative or larger than the bytes left."""
        count: int = self.unpack(_I32, f"the length of {what}")
        if count < 0:
            raise NbtError(f"negative length {count} of {what}")
        left = len(self.data) - self.pos
        if count * item_size > left:
            raise NbtError(
                f"{what} declares {count} elements, more than its {left} bytes left hold"
            )
        return count

    def array(self, item_size: int, what: str) -> bytes:
        return self.take(self.count(item_size, what) * item_size, what)

    def numbers(self, item: str, item_size: int, what: str) -> list[int]:
        data = self.array(item_size, what)
        return list(struct.unpack(f">{len(data) // item_size}{item}", data))

    def list(self, depth: int) -> List:
        _check_depth(depth)
        element_type = TagType(self.tag_type())
        if element_type == TagType.END:
            if self.count(0, "a List of END") != 0:
                raise NbtError("a List of element type END declares elements")
            return List(TagType.END)
        count = self.count(_MIN_SIZE[element_type], f"a List of {element_type.name}")
        read = _PAYLOAD[element_type]
        items = List(element_type)
        # A loop, not a comprehension: a comprehension is a frame of its own before Python 3.12,
        # which would halve the nesting that fits in the recursion limit.
        for _ in range(count):
            items.append(read(self, depth + 1))
        return items

    def compound(self, depth: int) -> Compound:
        if depth > MAX_DEPTH:
            _check_depth(depth)
        value = Compound()
        while tag_type := self.tag_type():
            at = self.pos
            name = self.text()
            if name in value:
                raise NbtError(f"duplicate name {name!r} in a Compound at offset {at}")
            value[name] = _PAYLOAD[tag_type](self, depth + 1)
        return value

    def expect_end(self) -> None:
        if self.pos != len(self.data):
            left = len(self.data) - self.pos
            raise NbtError(f"{left} bytes follow the NBT compound at offset {self.pos}")


def _scalar(cls: type, format: struct.Struct, what: str) -> Callable[[_Reader, int], Tag]:
    # Values read from their own width are in range: the checking constructor is skipped.
    new = int.__new__ if issubclass(cls, int) else float.__new__
    return lambda reader, depth: new(cls, reader.unpack(format, what))


def _end(reader: _Reader, depth: int) -> Tag:
    raise AssertionError("END has no payload: lists and compounds stop at it")


def _string(reader: _Reader, depth: int) -> String:
    value = reader.text()
    return value if type(value) is String else String(value)


# The reader of each tag type's payload, indexed by type id.
_PAYLOAD: tuple[Callable[[_Reader, int], Tag], ...] = (
    _end,
    _scalar(Byte, Byte._format, "a Byte"),
    _scalar(Short, Short._format, "a Short"),
    _scalar(Int, _I32, "an Int"),
    _scalar(Long, Long._format, "a Long"),
    lambda reader, depth: Float._from_raw(reader.take(4, "a Float")),
    _scalar(Double, _F64, "a Double"),
    lambda reader, depth: ByteArray(reader.array(1, "a ByteArray")),
    _string,
    _Reader.list,
    _Reader.compound,
    lambda reader, depth: IntArray(reader.numbers("i", 4, "an IntArray")),
    lambda reader, depth: LongArray(reader.numbers("q", 8, "a LongArray")),
)
