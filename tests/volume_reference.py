"""An independent reading of Sponge schematics, MCEdit schematics and structure files for the tests of kubrel.load:
the document is walked with kubrel.nbt in Python and the block ids decoded with NumPy, following
each format's published layout. Slow and simple on purpose; it shares no code with the core."""

import gzip
from types import SimpleNamespace as Reading

import numpy

from kubrel import nbt

AIR = "minecraft:air"
VOID = "minecraft:structure_void"


# Unicode White_Space, which str.isspace() does not quite match.
WHITE_SPACE = frozenset("\t\n\v\f\r \x85\xa0\u1680\u2028\u2029\u202f\u205f\u3000").union(
    map(chr, range(0x2000, 0x200B))
)


def token(text):
    """A name, key or value as state text writes it: in double quotes, with " and \\ escaped, when
    it is empty or holds , = [ ] " \\ or whitespace."""
    if text and not any(c in ',=[]"\\' or c in WHITE_SPACE for c in text):
        return text
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def canonical(name, properties):
    """The canonical text of a state: properties (key, value) pairs sorted by key (a stable sort),
    each part quoted where it must be."""
    pairs = ",".join(f"{token(k)}={token(v)}" for k, v in sorted(properties, key=lambda p: p[0]))
    return f"{token(name)}[{pairs}]" if pairs else token(name)


def canonical_from_text(text):
    name, _, rest = text.partition("[")
    pairs = [piece.split("=", 1) for piece in rest.rstrip("]").split(",") if piece]
    return canonical(name.strip(), [(k.strip(), v.strip()) for k, v in pairs])


def varints(data, count):
    """The first `count` unsigned LEB128 values of `data`, decoded with NumPy; missing values read
    as -1."""
    octets = numpy.frombuffer(data, numpy.uint8)
    ends = numpy.flatnonzero(octets < 0x80)
    starts = numpy.concatenate(([0], ends[:-1] + 1)).astype(numpy.int64)
    values = numpy.zeros(len(ends), numpy.int64)
    for k in range(5):
        at = starts + k
        inside = at <= ends
        values[inside] |= (octets[at[inside]].astype(numpy.int64) & 0x7F) << (7 * k)
    out = numpy.full(count, -1, numpy.int64)
    out[: min(count, len(values))] = values[:count]
    return out


def without(compound, names):
    return nbt.Compound((name, value) for name, value in compound.items() if name not in names)


def sponge_game_form(element, nested, dropped):
    """The data of a Sponge block entity or entity in the game's form: "id" first, then the
    entries of "Data" (version 3), then the element's own other entries (some writers keep fields
    beside "Data" in version 3 too)."""
    data = nbt.Compound()
    ids = [element[name] for name in ("Id", "id") if isinstance(element.get(name), nbt.String)]
    if ids:
        data["id"] = ids[0]
    inner = element.get("Data") if nested else None
    skipped = {"Id", "id", *dropped}
    if isinstance(inner, nbt.Compound):
        data.update(without(inner, skipped))
        skipped |= {"Data", *inner}
    data.update(without(element, skipped))
    return data.to_bytes()


def document(data):
    """The root compound of a file's bytes, gzip'd or not."""
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return nbt.parse_document(data)[1]


def read(data, palette=0):
    """The reading of a file's bytes: format, size, origin, data_version, palette_count, palette
    (canonical texts), blocks ([y, z, x] indices into palette), block_entities and entities (sorted
    (position, data payload bytes); Sponge entity positions None)."""
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    _, root = nbt.parse_document(data)
    if "size" in root:
        return _structure(root, palette)
    if isinstance(root.get("Blocks"), nbt.ByteArray):
        return _schematic(root)
    return _sponge(root)


def _schematic(root):
    """MCEdit's numbered blocks: "#id:data", named "(name)" through SchematicaMapping."""
    width, height, length = (root[name] & 0xFFFF for name in ("Width", "Height", "Length"))
    count = width * height * length
    ids = numpy.frombuffer(bytes(root["Blocks"]), numpy.uint8).astype(numpy.int64)
    add = numpy.frombuffer(bytes(root.get("AddBlocks", root.get("Add", b""))), numpy.uint8)
    if add.size and add.size != count:  # nibbles, the low half first
        add = numpy.stack([add & 15, add >> 4], 1).reshape(-1)[:count]
    if add.size:
        ids |= (add & 15).astype(numpy.int64) << 8
    keys = ids * 16 + (numpy.frombuffer(bytes(root["Data"]), numpy.uint8) & 15)
    keys[ids == 0] = 0
    names = {int(v): k for k, v in root.get("SchematicaMapping", {}).items()}
    unique, inverse = numpy.unique(numpy.append(keys, 0), return_inverse=True)
    texts = [
        token(f"#{k >> 4}:{k & 15}" + (f"({names[k >> 4]})" if k >> 4 in names else ""))
        for k in unique.tolist()
    ]
    origin = tuple(root.get(f"WEOrigin{axis}", 0) for axis in "XYZ")
    return Reading(
        format="schematic",
        size=(width, height, length),
        origin=origin,
        palette=[AIR] + texts[1:],
        blocks=inverse[:-1].reshape(height, length, width),
        data_version=None,
        block_entities=sorted(
            (tuple(e[k] for k in "xyz"), without(e, {"x", "y", "z"}).to_bytes())
            for e in root.get("TileEntities", [])
        ),
        entities=sorted((None, e.to_bytes()) for e in root.get("Entities", [])),
        palette_count=1,
    )


def _sponge(root):
    schematic = root["Schematic"] if isinstance(root.get("Schematic"), nbt.Compound) else root
    width, height, length = (schematic[name] & 0xFFFF for name in ("Width", "Height", "Length"))
    blocks = schematic.get("Blocks")
    if isinstance(blocks, nbt.Compound):  # version 3
        palette, data = blocks["Palette"], blocks["Data"]
        block_entities = blocks.get("BlockEntities", [])
    else:
        palette, data = schematic["Palette"], schematic["BlockData"]
        block_entities = schematic.get("BlockEntities", schematic.get("TileEntities", []))
    texts = [AIR] + [canonical_from_text(text) for text in palette]
    # Ids the palette lacks (and missing ids, -1) read as air.
    by_id = numpy.zeros(max(palette.values(), default=0) + 2, numpy.int64)
    for index, palette_id in enumerate(palette.values(), 1):
        by_id[palette_id] = index
    ids = varints(bytes(data), width * height * length)
    nested = schematic.get("Version", 3 if isinstance(blocks, nbt.Compound) else 2) >= 3
    origin = tuple(schematic.get("Offset", (0, 0, 0)))
    # Version 3 counts its offset from WorldEdit's origin, when the metadata names one.
    anchor = schematic.get("Metadata", {}).get("WorldEdit", {}).get("Origin") if nested else None
    if isinstance(anchor, nbt.IntArray) and len(anchor) == 3:
        origin = tuple(o + a for o, a in zip(origin, anchor))
    return Reading(
        format="sponge",
        size=(width, height, length),
        origin=origin,
        palette=texts,
        blocks=by_id[ids].reshape(height, length, width),
        data_version=schematic.get("DataVersion"),
        block_entities=sorted(
            (tuple(element["Pos"]), sponge_game_form(element, nested, {"Pos", "x", "y", "z"}))
            for element in block_entities
        ),
        entities=sorted(
            (None, sponge_game_form(element, nested, set()))
            for element in schematic.get("Entities", [])
        ),
        palette_count=1,
    )


def _structure(root, palette):
    size_x, size_y, size_z = (int(v) for v in root["size"])
    palettes = root.get("palettes")
    entries = palettes[palette] if palettes is not None else root["palette"]
    texts = [canonical(e.get("Name", ""), e.get("Properties", {}).items()) for e in entries]
    texts.append(VOID)
    grid = numpy.full((size_y, size_z, size_x), len(texts) - 1, numpy.int64)
    block_entities = []
    for block in root["blocks"]:
        x, y, z = block["pos"]
        grid[y, z, x] = block["state"]
        if "nbt" in block:
            block_entities.append(((x, y, z), without(block["nbt"], {"x", "y", "z"}).to_bytes()))
    return Reading(
        format="structure",
        size=(size_x, size_y, size_z),
        origin=(0, 0, 0),
        palette=texts,
        blocks=grid,
        data_version=root.get("DataVersion"),
        block_entities=sorted(block_entities),
        entities=sorted(
            (tuple(entity["pos"]), entity["nbt"].to_bytes())
            for entity in root.get("entities", [])
        ),
        palette_count=len(palettes) if palettes is not None else 1,
    )
