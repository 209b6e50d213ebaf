"""Test-side writers for the inputs kubrel_rs reads: gzip'd NBT (Sponge and Mojang layouts) and KBR.

Kept small and literal so that a test can state exactly which bytes it feeds the reader.
"""

import gzip
import struct
from dataclasses import dataclass

# NBT tag kinds.
END, BYTE, SHORT, INT, LONG, FLOAT, DOUBLE, BYTE_ARRAY, STRING, LIST, COMPOUND = range(11)
INT_ARRAY, LONG_ARRAY = 11, 12


@dataclass(frozen=True)
class Tag:
    """A typed NBT value; plain dicts are compounds, plain str are strings."""

    kind: int
    value: object


def byte(v):
    return Tag(BYTE, v)


def short(v):
    return Tag(SHORT, v)


def int_(v):
    return Tag(INT, v)


def byte_array(data):
    return Tag(BYTE_ARRAY, bytes(data))


def long_array(values):
    return Tag(LONG_ARRAY, list(values))


def list_(kind, items):
    return Tag(LIST, (kind, list(items)))


def _kind(value):
    if isinstance(value, Tag):
        return value.kind
    if isinstance(value, dict):
        return COMPOUND
    if isinstance(value, str):
        return STRING
    raise TypeError(f"no NBT kind for {value!r}")


def _text(s):
    data = s.encode("utf-8")
    return struct.pack(">H", len(data)) + data


def _payload(value):
    kind = _kind(value)
    v = value.value if isinstance(value, Tag) else value
    if kind == BYTE:
        return struct.pack(">b", v)
    if kind == SHORT:
        return struct.pack(">h", v)
    if kind == INT:
        return struct.pack(">i", v)
    if kind == LONG:
        return struct.pack(">q", v)
    if kind == BYTE_ARRAY:
        return struct.pack(">i", len(v)) + v
    if kind == LONG_ARRAY:
        return struct.pack(f">i{len(v)}q", len(v), *v)
    if kind == STRING:
        return _text(v)
    if kind == LIST:
        element_kind, items = v
        return struct.pack(">bi", element_kind, len(items)) + b"".join(map(_payload, items))
    if kind == COMPOUND:
        body = b"".join(
            struct.pack(">b", _kind(item)) + _text(name) + _payload(item)
            for name, item in v.items()
        )
        return body + bytes([END])
    raise TypeError(f"cannot write kind {kind}")


def nbt(root, name=""):
    """An uncompressed NBT document whose root is the compound `root` (a dict)."""
    return bytes([COMPOUND]) + _text(name) + _payload(root)


def _leb128(value, bits):
    value &= (1 << bits) - 1
    out = bytearray()
    while True:
        low = value & 0x7F
        value >>= 7
        if not value:
            out.append(low)
            return bytes(out)
        out.append(low | 0x80)


def varint(value):
    """Unsigned LEB128 of the 32-bit two's-complement value (1 to 5 bytes)."""
    return _leb128(value, 32)


def varlong(value):
    """Unsigned LEB128 of the 64-bit two's-complement value (1 to 10 bytes)."""
    return _leb128(value, 64)


def sponge(size, palette, ids, nested=False):
    """A Sponge schematic document of `size` (width, height, length). `palette` maps state text to
    id; `ids` holds one id per position in y, z, x order (x fastest). Flat (version 2) layout unless
    `nested`, which gives the version 3 layout."""
    width, height, length = size
    data = byte_array(b"".join(varint(i) for i in ids))
    entries = {text: int_(i) for text, i in palette.items()}
    dims = {"Width": short(width), "Height": short(height), "Length": short(length)}
    if nested:
        schematic = {"Version": int_(3), **dims, "Blocks": {"Palette": entries, "Data": data}}
        return nbt({"Schematic": schematic})
    return nbt({"Version": int_(2), **dims, "Palette": entries, "BlockData": data})


def mojang(size, palette, blocks):
    """A Mojang structure document. `palette` is a list of (name, {key: value}); `blocks` a list of
    ((x, y, z), palette index)."""
    entries = []
    for name, properties in palette:
        entry = {"Name": name}
        if properties:
            entry["Properties"] = dict(properties)
        entries.append(entry)
    block_list = [
        {"pos": list_(INT, map(int_, pos)), "state": int_(state)} for pos, state in blocks
    ]
    return nbt(
        {
            "DataVersion": int_(3465),
            "size": list_(INT, map(int_, size)),
            "blocks": list_(COMPOUND, block_list),
            "palette": list_(COMPOUND, entries),
            "entities": list_(END, []),
        }
    )


KBR_MAGIC = 0x4B5242464D54
AXIS_ORDERS = ("XYZ", "XZY", "YXZ", "YZX", "ZXY", "ZYX")


def kbr(lo, hi, body=b"", order="XYZ", magic=KBR_MAGIC, version=1):
    """A KBR stream over the box with inclusive corners `lo` and `hi`; `body` from kbr_define and
    kbr_run."""
    header = varlong(magic) + varint(version)
    header += b"".join(varint(c) for c in (*lo, *hi))
    return header + bytes([AXIS_ORDERS.index(order)]) + body


def kbr_define(text):
    """A palette definition; the k-th definition of a stream gets the id 2k + 2."""
    data = text.encode("utf-8")
    return varint(0) + varint(0) + varint(len(data)) + data


def kbr_run(palette_id, length):
    if length == 1:
        return varint(palette_id)
    return varint(palette_id + 1) + varint(length)


def kbr_filled(lo, hi, states, order="XYZ"):
    """A KBR stream whose walk holds `states` (state texts, one per position) in walk order."""
    ids = {}
    body = b""
    for text in states:
        if text not in ids:
            ids[text] = 2 * len(ids) + 2
            body += kbr_define(text)
    run_start = 0
    for i in range(1, len(states) + 1):
        if i == len(states) or states[i] != states[run_start]:
            body += kbr_run(ids[states[run_start]], i - run_start)
            run_start = i
    return kbr(lo, hi, body, order)


def gz(data):
    return gzip.compress(data, mtime=0)


def world(folder, chunks, data_version=3465):
    """A world save in `folder` (a pathlib.Path): level.dat and the region files of the 1.18+
    `chunks`, {(cx, cz): [(section y, [state name, ...], indices or None), ...]}; indices are the
    4096 palette slots of a section in y, z, x order, None for a one-state section. Chunks are
    zlib-compressed, at least one sector apart, in the region file of their coordinates."""
    import zlib

    folder.mkdir(parents=True, exist_ok=True)
    level = {"Data": {"DataVersion": int_(data_version), "LevelName": folder.name}}
    (folder / "level.dat").write_bytes(gz(nbt(level)))
    regions = {}
    for (cx, cz), sections in chunks.items():
        root = {"DataVersion": int_(data_version), "xPos": int_(cx), "zPos": int_(cz),
                "yPos": int_(-4), "Status": "minecraft:full",
                "sections": list_(COMPOUND, [_section(*section) for section in sections])}
        payload = zlib.compress(nbt(root))
        regions.setdefault((cx >> 5, cz >> 5), []).append((cx & 31, cz & 31, payload))
    (folder / "region").mkdir(exist_ok=True)
    for (rx, rz), stored in regions.items():
        table, body = bytearray(8192), bytearray()
        for x, z, payload in stored:
            record = struct.pack(">IB", len(payload) + 1, 2) + payload
            record += bytes(-len(record) % 4096)
            sector = 2 + len(body) // 4096
            table[4 * (x + 32 * z) : 4 * (x + 32 * z) + 4] = struct.pack(
                ">I", sector << 8 | len(record) // 4096)
            body += record
        (folder / "region" / f"r.{rx}.{rz}.mca").write_bytes(bytes(table) + bytes(body))


def _section(y, names, indices):
    states = {"palette": list_(COMPOUND, [{"Name": name} for name in names])}
    if indices is not None:
        bits = max(4, (len(names) - 1).bit_length())
        per_long = 64 // bits
        longs = []
        for start in range(0, 4096, per_long):
            value = sum(i << (bits * k) for k, i in enumerate(indices[start : start + per_long]))
            longs.append(value - (1 << 64) if value >= 1 << 63 else value)
        states["data"] = long_array(longs)
    return {"Y": byte(y), "block_states": states}
