"""kubrel.load: every kind of input, and the volumes it gives compared with the exact reader
kubrel_rs and, for what that reader refuses, with an independent reading of the document
(volume_reference, through kubrel.nbt): the same blocks at the same positions with the same states
as canonical text."""

import collections
import dataclasses
import gzip
import io
import os
import pathlib
import pickle
import re

import numpy
import pytest

import kubrel
import kubrel_rs
import volume_reference
import writers
from conftest import (
    CORPUS,
    STONE,
    Source,
    corpus_files,
    exactly,
    kbr_stairs_row,
    manifest_rows,
    not_utf8,
)
from kubrel import nbt
from writers import COMPOUND, INT, LIST, byte_array, int_, list_, short

SLOW = bool(os.environ.get("KUBREL_SLOW"))
# Above this many positions a real file is compared with the exact reader only when KUBREL_SLOW is
# set: that reader hands out one Python object per block.
EXACT_READER_POSITIONS = 1 << 21
# Written files of volumes up to this size are also parsed whole in pure Python.
PARSED_POSITIONS = 1 << 17
# What the exact reader leaves out: air. What it cannot know of: a structure's unlisted positions.
AIRS = ("minecraft:air", "minecraft:cave_air", "minecraft:void_air")
BLOCK_TEXT = re.compile(
    r"Block at \((-?\d+), (-?\d+), (-?\d+)\) with state (.*)\[(.*?)\]$", re.M
)


def text_ids(*palettes):
    """For each palette, an array giving each entry's index in the sorted union of their texts."""
    texts = {text: i for i, text in enumerate(sorted(set().union(*palettes)))}
    dtype = numpy.min_scalar_type(len(texts))
    return [numpy.array([texts[t] for t in palette], dtype) for palette in palettes]


def assert_same(ours, theirs, texts):
    """The [y, z, x] grids of indices into `texts` agree everywhere; a failure names the first
    position that differs."""
    assert ours.shape == theirs.shape
    differ = numpy.flatnonzero(ours != theirs)
    if differ.size:
        y, z, x = numpy.unravel_index(differ[0], ours.shape)
        got, want = texts[ours[y, z, x]], texts[theirs[y, z, x]]
        pytest.fail(f"{differ.size} positions differ, first at x={x} y={y} z={z}: {got} != {want}")


def assert_same_grid(vol, palette, blocks):
    """vol holds, at every position, the state text that `palette[blocks]` holds."""
    assert vol.blocks.dtype == numpy.min_scalar_type(len(vol.palette) - 1)
    assert vol.palette[0] == "minecraft:air" and len(set(vol.palette)) == len(vol.palette)
    ours, theirs = text_ids(vol.palette, palette)
    texts = sorted(set(vol.palette) | set(palette))
    assert_same(ours[vol.blocks], theirs[blocks], texts)


def assert_matches_reference(vol, data, palette=0):
    want = volume_reference.read(data, palette)
    fields = ("format", "size", "origin", "data_version", "palette_count")
    assert [getattr(vol, f) for f in fields] == [getattr(want, f) for f in fields]
    assert_same_grid(vol, want.palette, want.blocks)
    counts = collections.Counter()
    for index, count in enumerate(numpy.bincount(want.blocks.reshape(-1)).tolist()):
        if count and want.palette[index].partition("[")[0] not in (*AIRS, volume_reference.VOID):
            counts[want.palette[index]] += count
    assert vol.counts() == counts
    assert list(vol.counts().values()) == sorted(counts.values(), reverse=True)
    # The bytes as the core handed them over, and as the typed NBT model reads and writes them.
    for kept in vol.block_entities + vol.entities:
        assert kept.payload == kept.data.to_bytes()
    assert sorted((e.position, e.payload) for e in vol.block_entities) == want.block_entities
    # Sponge entity positions are the writer's own business; their data is compared all the same.
    placed = vol.format == "structure"
    entities = sorted((e.position if placed else None, e.payload) for e in vol.entities)
    assert entities == want.entities


def assert_matches_exact_reader(vol, source):
    """The exact reader's blocks, at positions relative to its boundary, are vol's blocks that are
    not air (nor a structure's unlisted positions)."""
    palette = ["", *vol.palette]
    index = {text: i for i, text in enumerate(palette)}
    by_text = {}  # (name, properties as the exact reader writes them) -> index in palette
    expected = numpy.zeros(vol.blocks.shape, numpy.int32)
    handed_out = 0
    with kubrel_rs.open(source) as reader:
        boundary = reader.boundary()
        assert vol.size == boundary.size()
        corner = (boundary.min_x(), boundary.min_y(), boundary.min_z())
        for bulk in reader.iter_bulks():
            handed_out += len(bulk)
            for x, y, z, name, properties in BLOCK_TEXT.findall("\n".join(map(str, bulk))):
                if (name, properties) not in by_text:
                    pairs = [pair.split("=", 1) for pair in properties.split(", ") if pair]
                    text = volume_reference.canonical(name, pairs)
                    if text not in index:
                        index[text] = len(palette)
                        palette.append(text)
                    by_text[name, properties] = index[text]
                at = (int(y) - corner[1], int(z) - corner[2], int(x) - corner[0])
                expected[at] = by_text[name, properties]
    assert handed_out == numpy.count_nonzero(expected)
    # Positions the exact reader does not hand out.
    empty = [
        t.partition("[")[0] in AIRS or (vol.format == "structure" and t == volume_reference.VOID)
        for t in vol.palette
    ]
    ours = numpy.where(numpy.array(empty)[vol.blocks], 0, vol.blocks.astype(numpy.int32) + 1)
    assert_same(ours, expected, palette)


def sponge_v1_with_tile_entities():
    """A version 1 layout as WorldEdit writes it: no DataVersion, block entities as TileEntities
    with an IntArray position."""
    n = nbt
    chest = n.Compound(Id=n.String("minecraft:chest"), Pos=n.IntArray([1, 0, 0]), Lock=n.String(""))
    palette = n.Compound({"minecraft:air": n.Int(0), "minecraft:chest[facing=west]": n.Int(1)})
    root = n.Compound(Version=n.Int(1), Width=n.Short(2), Height=n.Short(1), Length=n.Short(1))
    root.update(Palette=palette, BlockData=n.ByteArray([0, 1]))
    root["TileEntities"] = n.List(n.Compound, [chest])
    return root.to_document("Schematic")


def structure(order, palettes=None, name="minecraft:stone"):
    """A 2 x 1 x 2 structure with its lists in `order`; `palettes` puts a "palettes" list of that
    many palettes (palette k names its block "minecraft:stone_k") in place of "palette"."""
    parts = {
        "size": list_(INT, map(int_, (2, 1, 2))),
        "blocks": list_(
            COMPOUND,
            [
                {"pos": list_(INT, map(int_, (0, 0, 0))), "state": int_(1)},
                {"pos": list_(INT, map(int_, (1, 0, 1))), "state": int_(0)},
            ],
        ),
        "palette": list_(
            COMPOUND,
            [{"Name": "minecraft:air"}, {"Name": name, "Properties": {"b": "2", "a": "1"}}],
        ),
        "DataVersion": int_(3465),
    }
    if palettes:
        parts["palettes"] = list_(
            LIST,
            [
                list_(COMPOUND, [{"Name": "minecraft:air"}, {"Name": f"minecraft:stone_{k}"}])
                for k in range(palettes)
            ],
        )
        del parts["palette"]
        order = order.replace("palette", "palettes")
    return writers.nbt({key: parts[key] for key in order.split()})


SPONGE_IDS = [0, 1, 2, 1, 300, 0, 2, 1, 1, 0, 0, 300]
SPONGE_PALETTE = {
    "minecraft:air": 0,
    "minecraft:oak_stairs[half=top,facing=north]": 1,
    "minecraft:stone": 2,
    "minecraft:glass": 300,
}
MODDED = {"create:gear[teeth=12]": 0, "minecraft:air": 1}
KBR_STATES = ["minecraft:stone", "minecraft:air", "minecraft:dirt", "minecraft:stone"]

def mcedit(**tags):
    """A 3x1x2 MCEdit schematic of numbered blocks, ids 0, 1, 35, 35, 255, 1, and a chest."""
    chest = {"id": "Chest", "x": int_(2), "y": int_(0), "z": int_(1), "Lock": ""}
    dims = {"Width": short(3), "Height": short(1), "Length": short(2), "Materials": "Alpha"}
    arrays = {"Blocks": byte_array([0, 1, 35, 35, 255, 1]), "Data": byte_array([5, 0, 14, 3, 0, 0])}
    return writers.nbt({**dims, **arrays, "TileEntities": list_(COMPOUND, [chest]), **tags}, "Schematic")


# Generated inputs of each format: (name, document, whether the exact reader reads it).
GENERATED = [
    ("sponge v2", writers.sponge((3, 2, 2), SPONGE_PALETTE, SPONGE_IDS), True),
    ("sponge v3", writers.sponge((3, 2, 2), SPONGE_PALETTE, SPONGE_IDS, nested=True), True),
    ("sponge v1 with TileEntities", sponge_v1_with_tile_entities(), True),
    ("sponge, modded states", writers.sponge((2, 1, 1), MODDED, [0, 1]), False),
    ("structure", structure("DataVersion size blocks palette"), True),
    ("structure, blocks before size", structure("blocks palette size DataVersion"), False),
    ("structure, modded", structure("size palette blocks", name="create:gear"), False),
    ("structure with palettes", structure("size blocks palette DataVersion", palettes=3), False),
    ("kbr", writers.kbr_filled((10, 64, -3), (11, 65, -3), KBR_STATES), True),
    ("kbr, zyx order", writers.kbr_filled((0, 0, 0), (1, 1, 0), KBR_STATES, "ZYX"), True),
    ("mcedit, AddBlocks nibbles", mcedit(AddBlocks=byte_array([0, 0, 0x2F])), False),
    ("schematica, Add bytes, mapping", mcedit(
        Add=byte_array([0, 0, 0, 0, 1, 0]), SchematicaMapping={"mod:x": short(511)},
        WEOriginX=int_(7), WEOriginY=int_(-8), WEOriginZ=int_(9)), False),
]


@pytest.mark.parametrize(
    "data, exact", [row[1:] for row in GENERATED], ids=[row[0] for row in GENERATED]
)
def test_generated(data, exact, tmp_path):
    data = writers.gz(data)
    vol = kubrel.load(data, legacy=True)
    if vol.format == "schematic":
        with pytest.raises(kubrel.KubrelError, match=r"^cannot write structure pieces: .*\(#1:0\)"):
            kubrel.save_pieces(vol, tmp_path / "old")
    if exact:
        assert_matches_exact_reader(vol, data)
    if vol.format != "kbr":
        assert_matches_reference(vol, data)


def test_structure_palettes_and_void():
    data = writers.gz(structure("size blocks palette", palettes=3))
    for k in range(3):
        vol = kubrel.load(data, palette=k)
        assert vol.palette_count == 3
        assert vol.counts() == {f"minecraft:stone_{k}": 1}
        assert_matches_reference(vol, data, palette=k)
    # Unlisted positions are structure void; listed air stays air.
    assert vol.palette[vol.blocks[0, 0, 1]] == "minecraft:structure_void"
    assert vol.palette[vol.blocks[0, 1, 1]] == "minecraft:air"


class FsBytesPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return os.fsencode(self.path)


# Every kind of source load() takes, made from a path to a gzip'd file.
SOURCES = {
    "str path": str,
    "pathlib.Path": pathlib.Path,
    "PathLike giving bytes": FsBytesPath,
    "str path, not UTF-8": not_utf8,
    "pathlib.Path, not UTF-8": lambda p: pathlib.Path(not_utf8(p)),
    "PathLike giving bytes, not UTF-8": lambda p: FsBytesPath(not_utf8(p)),
    "bytes": lambda p: pathlib.Path(p).read_bytes(),
    "bytearray": lambda p: bytearray(pathlib.Path(p).read_bytes()),
    "memoryview": lambda p: memoryview(pathlib.Path(p).read_bytes()),
    "NumPy array": lambda p: numpy.fromfile(p, numpy.uint8),
    "not gzip'd": lambda p: gzip.decompress(pathlib.Path(p).read_bytes()),
    "BytesIO": lambda p: io.BytesIO(pathlib.Path(p).read_bytes()),
    "open file": lambda p: open(p, "rb"),
    "reader of 7-byte pieces": lambda p: Source(pathlib.Path(p).read_bytes(), chunk=7),
    "reader giving bytearrays": lambda p: Source(bytearray(pathlib.Path(p).read_bytes()), chunk=7),
    "reader giving memoryviews": lambda p: Source(memoryview(pathlib.Path(p).read_bytes()), chunk=5),
}
FORMAT_NAMES = ["auto", "KBR", "kbr", "Auto"]


@pytest.mark.parametrize("kind", SOURCES)
@pytest.mark.parametrize("format", FORMAT_NAMES)
def test_sources(tmp_path, kind, format):
    path = tmp_path / "row.kbr"
    path.write_bytes(kbr_stairs_row())
    vol = kubrel.load(SOURCES[kind](str(path)), format=format)
    stairs = "minecraft:oak_stairs[facing=north,half=top]"
    assert vol.blocks.shape == (1, 1, 4)
    assert [vol.palette[i] for i in vol.blocks[0, 0]] == [STONE, "minecraft:air", stairs, STONE]
    assert vol.counts() == {STONE: 2, stairs: 1}
    assert repr(vol) == (
        "Volume(format='kbr', version=1, data_version=None, origin=(10, 64, -3), size=(4, 1, 1), "
        "blocks=uint8 array, palette=3 states, block_entities=0, entities=0, palette_count=1)"
    )


NOT_NBT = (
    "not a schematic: the input starts with bytes 6e 6f 74 20 61 20 73 63, which begin neither an "
    "NBT document, a KBR file nor a gzip member"
)
ONLY_STRUCTURES = "palette 1 was asked for, but only structure files have more than one"
PALETTES = writers.gz(structure("size blocks palette", palettes=2))
TOO_LARGE = "the %s holds more than max_document allows (20 bytes); a larger max_document loads it"
# Wrong arguments and unreadable inputs: (source, keyword arguments, error class, message pattern).
ERRORS = [
    (mcedit(), {}, kubrel.KubrelError, "^legacy MCEdit schematic: .* load it with legacy=True"),
    (mcedit(Data=byte_array([0])), {"legacy": True}, kubrel.KubrelError,
     exactly("MCEdit schematic: 'Data' holds 1 bytes where the box has 6 positions")),
    (mcedit(Add=byte_array([0] * 4)), {"legacy": True}, kubrel.KubrelError,
     "^MCEdit schematic: 'Add' holds 4 bytes, neither a nibble nor a byte for each of 6"),
    (kbr_stairs_row(), {"format": "png"}, ValueError, "unknown format 'png': expected one of 'au"),
    (kbr_stairs_row(), {"format": None}, ValueError, "unknown format None"),
    (42, {}, TypeError, "needs a path, bytes or a binary file object, not int"),
    ("/nonexistent/castle.schem", {}, FileNotFoundError, "No such file or directory"),
    ("https_hut.schem", {}, FileNotFoundError, "No such file or directory"),
    ("http://example.com/hut.schem", {}, NotImplementedError, exactly("HTTP not linked")),
    ("https://example.com/hut.schem", {}, NotImplementedError, exactly("HTTP not linked")),
    (Source("text, not bytes"), {}, kubrel.KubrelError, exactly("Failed to extract bytes ")),
    (kbr_stairs_row(), {"max_document": 20}, kubrel.KubrelError, exactly(TOO_LARGE % "inflated document")),
    (gzip.decompress(kbr_stairs_row()), {"max_document": 20}, kubrel.KubrelError,
     exactly(TOO_LARGE % "input")),
    (io.BytesIO(kbr_stairs_row()), {"max_document": 20}, kubrel.KubrelError,
     exactly(TOO_LARGE % "input")),
    (kbr_stairs_row(), {"max_document": -1}, ValueError, "^max_document must be a non-negative"),
    (b"", {}, kubrel.KubrelError, exactly("not a schematic: the input is empty")),
    (writers.gz(b"not a schematic at all"), {}, kubrel.KubrelError, exactly(NOT_NBT)),
    (kbr_stairs_row(), {"format": "sponge"}, kubrel.KubrelError, "^Sponge schematic: "),
    (PALETTES, {"palette": 2}, kubrel.KubrelError, "^structure file: palette 2 was asked for, but"),
    (kbr_stairs_row(), {"palette": 1}, kubrel.KubrelError, exactly(ONLY_STRUCTURES)),
    (kbr_stairs_row(), {"region": "a"}, kubrel.KubrelError, "^region 'a' was asked for, but only"),
]


@pytest.mark.parametrize("source, kwargs, error, message", ERRORS)
def test_errors(source, kwargs, error, message):
    with pytest.raises(error, match=message):
        kubrel.load(source, **kwargs)
    assert issubclass(kubrel.KubrelError, ValueError)


@pytest.mark.skipif(not CORPUS.exists(), reason="no corpus of real files")
@pytest.mark.parametrize("name", [str(p.relative_to(CORPUS)) for p in corpus_files()])
def test_corpus(name, tmp_path):
    path = CORPUS / name
    legacy = name.startswith(("legacy/mcedit", "legacy/schematica"))
    if legacy:
        with pytest.raises(kubrel.KubrelError, match="^legacy MCEdit schematic: .* legacy=True"):
            kubrel.load(path)
    if name.endswith(".mce"):  # a test file of a writer, its arrays empty
        with pytest.raises(kubrel.KubrelError, match="^MCEdit schematic: 'Blocks' holds 0 bytes"):
            kubrel.load(path, legacy=True)
        return
    vol = kubrel.load(path, legacy=legacy)
    data = path.read_bytes()
    assert_matches_reference(vol, data)
    if legacy:
        assert all(map(kubrel.is_legacy_state, vol.palette[1:]))
        with pytest.raises(kubrel.KubrelError, match=r"^cannot write sponge: .*\(#\d+:\d+"):
            vol.save(tmp_path / "old.schem")
        assert not any(tmp_path.iterdir())
        return
    try:
        with kubrel_rs.open(str(path)) as reader:
            reader.boundary()
    except RuntimeError:
        return  # refused by the exact reader: the reference reading above stands alone
    if SLOW or vol.blocks.size <= EXACT_READER_POSITIONS:
        assert_matches_exact_reader(vol, str(path))


def generated_volume(palette, blocks, block_entities=(), entities=()):
    blocks = numpy.asarray(blocks, numpy.min_scalar_type(len(palette) - 1))
    size = (blocks.shape[2], blocks.shape[0], blocks.shape[1])
    return kubrel.Volume(blocks, palette, (-5, 70, 300), size, "sponge", 3, 3465,
                         [kubrel.BlockEntity(*item) for item in block_entities],
                         [kubrel.Entity(*item) for item in entities])


SIGN = nbt.Compound(id=nbt.String("minecraft:sign"), text=nbt.String("Grüße, 世界 😀\0"))
PIG = nbt.Compound(id=nbt.String("minecraft:pig"), CustomName=nbt.String("Ærø 🐖"),
                   Motion=nbt.List(nbt.Double, [nbt.Double(0.5)] * 3), Age=nbt.Short(-3))
WIDGET = "example:widget[" + ",".join(f"p{k:02}={k}" for k in range(20)) + "]"
# States whose text must quote: a value holding "," and "=", an empty value, a name with brackets.
QUOTED = ['minecraft:oak_sign[rotation=0,text="a,b=c"]', 'mymod:block[note=""]', '"mymod:odd[1]"']
# Volumes built here rather than read: (name, volume), beside every corpus file.
BUILT = {
    "built: only air": generated_volume(["minecraft:air"], numpy.zeros((2, 3, 4))),
    "built: single block": generated_volume(["minecraft:air", STONE], [[[1]]]),
    "built: many properties, strided": generated_volume(
        ["minecraft:air", WIDGET, "minecraft:redstone_wire[east=side,north=up,power=15]"],
        (numpy.arange(60, dtype=numpy.uint8).reshape(5, 4, 3) % 3).transpose(1, 2, 0)[::-1],
    ),
    "built: non-ASCII entities, 50 long": generated_volume(
        ["minecraft:air", "minecraft:oak_sign[rotation=4]", "minecraft:structure_void"],
        numpy.tile([[[1, 0, 2, 0, 0]]], (1, 2, 10)),
        [((0, 0, 0), SIGN), ((45, 0, 1), SIGN)],
        [((49.5, 0.0, 1.25), PIG)],
    ),
    "built: quoted state texts": generated_volume(["minecraft:air", *QUOTED], [[[1, 2, 3, 0]]]),
    # Two regions meeting on x 1 and 2: the later one's block shows unless it is air, and the sign
    # of each at x 1 stays with its region.
    "built: overlapping regions": dataclasses.replace(
        generated_volume(["minecraft:air", STONE, "minecraft:oak_sign", "minecraft:dirt"],
                         [[[1, 2, 3, 3]]], [((1, 0, 0), SIGN)]),
        format="litematic", version=5, regions=[
            kubrel.Region("a", (0, 0, 0), (3, 1, 1), (3, 1, 1), None, numpy.uint8([[[1, 2, 1]]]),
                          [kubrel.BlockEntity((1, 0, 0), SIGN)]),
            kubrel.Region("b", (1, 0, 0), (3, 1, 1), (-3, 1, 1), None, numpy.uint8([[[0, 3, 3]]]),
                          [kubrel.BlockEntity((1, 0, 0), PIG)]),
        ]),
}
VOID, AIR = "minecraft:structure_void", "minecraft:air"
# Each target: (format, Sponge version); "pieces" are structure files of a piece size that splits.
TARGETS = [
    ("sponge", 3), ("sponge", 2), ("structure", 3), ("kbr", 3), ("litematic", 5), ("pieces", 3)
]
READABLE = [str(p.relative_to(CORPUS)) for p in corpus_files() if p.parent.name != "legacy"] + [
    f"../litematic/{row['file']}" for row in manifest_rows(CORPUS.parent / "litematic")
]


def typed(tag):
    """A tag as comparable values keeping every tag type, its compounds' entries in any order
    (writers put "id" first)."""
    if isinstance(tag, nbt.Compound):
        return tuple(sorted((key, typed(value)) for key, value in tag.items()))
    if isinstance(tag, list):
        return (tag.tag_type, getattr(tag, "element_type", None), tuple(map(typed, tag)))
    return (getattr(tag, "tag_type", None), repr(tag))


def placed(vol, texts, offset=(0, 0, 0), ticks=None):
    """The volume's states as a [y, z, x] array of their numbers in `texts` (which grows), and its
    block entities and entities as (position, typed NBT), moved by `offset` (x, y, z)."""
    # An entity's data keeps "Pos" as its file stored it, in that file's frame: compared apart.
    move = lambda items: sorted(  # noqa: E731
        (tuple(round(p + o, 9) for p, o in zip(item.position, offset)), typed(volume_reference.without(
            item.data, {"Pos"} if isinstance(item, kubrel.Entity) else ())))
        for item in items
    )
    numbers = numpy.array([texts.setdefault(t, len(texts)) for t in vol.palette], numpy.uint32)
    records = getattr(vol, ticks) if ticks else vol.block_entities
    return numbers[vol.blocks], move(records), move(vol.entities)


# What a user does with a loaded volume's block entities as with a list: done on those a load
# holds as bytes and on a plain list of the same, the same result; a save writes what it left.
RECORD_OPERATIONS = {
    "nothing": lambda items: None,
    "index and slice": lambda items: (items[-3].position, items[1::2], items[::-1]),
    "compare": lambda items: (items == items[:], items == items[1:], items + [] == [] + items),
    "change one's data": lambda items: items[2].data.__setitem__("text", nbt.String("new")),
    "move one": lambda items: setattr(items[0], "position", (3, 0, 0)),
    "remove and insert": lambda items: (items.insert(0, items.pop()), len(items), items.index(
        items[3])),
    "pickle": lambda items: pickle.loads(pickle.dumps(items)),
}


@pytest.mark.parametrize("operation", RECORD_OPERATIONS)
def test_records_as_a_list(tmp_path, operation):
    signs = [((x, 0, 0), nbt.Compound(id=nbt.String("minecraft:sign"), text=nbt.String(f"{x}")))
             for x in range(4)]
    generated_volume(["minecraft:air", "minecraft:oak_sign"], numpy.ones((1, 1, 4)), signs,
                     [((0.5, 0.0, 0.25), PIG), ((3.5, 0.0, 0.75), PIG)]).save(tmp_path / "in.schem")
    held, plain = kubrel.load(tmp_path / "in.schem"), kubrel.load(tmp_path / "in.schem")
    plain.block_entities, plain.entities = list(plain.block_entities), list(plain.entities)
    do = RECORD_OPERATIONS[operation]
    assert do(held.block_entities) == do(plain.block_entities)
    assert held.block_entities == plain.block_entities and held.entities == plain.entities
    held.save(tmp_path / "out.schem")
    back = kubrel.load(tmp_path / "out.schem")
    assert [back.block_entities, back.entities] == [plain.block_entities, plain.entities]


@pytest.mark.parametrize("target, version", TARGETS, ids=[f"{f}{v}" for f, v in TARGETS])
@pytest.mark.parametrize("name", [*BUILT, *READABLE])
def test_round_trip(tmp_path, name, target, version):
    """load -> save -> load keeps every state at its position, the palette as a set, the origin,
    the block entities and entities byte for byte; what we write the exact reader reads the same,
    and a save that fails leaves nothing behind."""
    vol = BUILT[name] if name in BUILT else kubrel.load(CORPUS / name)
    if os.environ.get("KUBREL_TEST_SMALL") and vol.blocks.size > 1 << 21:
        pytest.skip("a large file, left to the plain runs")
    path = tmp_path / f"out.{target}"
    stray = any(
        not all(0 <= p < s for p, s in zip(item.position, vol.size)) for item in vol.block_entities
    )
    no_id = any("id" not in item.data for item in vol.block_entities)
    if (stray and target in ("structure", "pieces", "litematic")) or (no_id and version == 2):
        # Structures and regions keep block entity data with its block: one outside the box has
        # no place; Sponge v2 requires every block entity's id.
        refusal = 'outside the volume|in no region|no String "id"'
        with pytest.raises(kubrel.KubrelError, match=refusal):
            if target == "pieces":
                kubrel.save_pieces(vol, tmp_path / "piece")
            else:
                vol.save(path, format=target, version=version, data_version=3953)
        assert os.listdir(tmp_path) == []
        return
    if target == "pieces":
        edge = 48 if max(vol.size) > 48 else max(1, (max(vol.size) + 1) // 2)
        written = kubrel.save_pieces(vol, tmp_path / "piece", size=edge)
        texts = {}
        states, *want_rest = placed(vol, texts)
        rest = [[], []]
        pieced = numpy.zeros(states.shape, states.dtype)
        covered = numpy.zeros(states.shape, int)
        for piece_path in written:
            x, y, z = map(int, re.findall(r"-?\d+", pathlib.Path(piece_path).stem))
            if vol.blocks.size <= PARSED_POSITIONS:
                nbt.parse_document(gzip.decompress(pathlib.Path(piece_path).read_bytes()))
            piece = kubrel.load(piece_path)
            assert max(piece.size) <= edge and piece.format == "structure"
            part, *part_rest = placed(piece, texts, (x, y, z))
            box = numpy.s_[y : y + part.shape[0], z : z + part.shape[1], x : x + part.shape[2]]
            pieced[box] = part
            covered[box] += 1
            rest = [have + more for have, more in zip(rest, part_rest)]
        assert (covered == 1).all() and (pieced == states).all()
        assert [sorted(items) for items in rest] == want_rest
        return
    options = {"format": target, "version": version}
    if vol.data_version is None and target in ("sponge", "litematic"):
        # These formats require the game version; none is made up.
        with pytest.raises(kubrel.KubrelError, match="^the volume has no data version"):
            vol.save(path, **options)
        options["data_version"] = 3953
        vol = dataclasses.replace(vol, data_version=3953)
    if target == "kbr" and any('"' in text for text in vol.palette):
        # The grammar of KBR palettes, which the exact reader keeps, has no quotes.
        with pytest.raises(kubrel.KubrelError, match="^KBR cannot hold the state"):
            vol.save(path, **options)
        assert os.listdir(tmp_path) == []
        return
    if target == "kbr" and (vol.block_entities or vol.entities):
        with pytest.raises(kubrel.KubrelError):
            vol.save(path, **options)
        assert os.listdir(tmp_path) == []
        dropped = vol.save(path, drop_entities=True, **options)
        dropped.pop("not_kept", None)
        assert dropped == {"block_entities": len(vol.block_entities), "entities": len(vol.entities)}
        vol = kubrel.Volume(vol.blocks, vol.palette, vol.origin, vol.size, "kbr", 0, None)
    elif name in BUILT:
        assert vol.save(path, **options) == {"block_entities": 0, "entities": 0}
    else:
        kubrel.convert(CORPUS / name, path, **options)
    assert os.listdir(tmp_path) == [path.name]
    # Whole, well-formed NBT to a parser that shares nothing with the writers (a slow one).
    if target != "kbr" and vol.blocks.size <= PARSED_POSITIONS:
        nbt.parse_document(gzip.decompress(path.read_bytes()))
    back = kubrel.load(path)
    assert (back.format, back.size) == ("kbr" if target == "kbr" else target, vol.size)
    if target == "litematic" and not vol.regions:  # its one region stores structure void as air
        vol = dataclasses.replace(vol, palette=[AIR if t == VOID else t for t in vol.palette])
    if target in ("structure", "litematic"):  # the states placed; a reader fills what none names
        used = set(numpy.asarray(vol.palette)[numpy.unique(vol.blocks)])
        assert set(back.palette) - {VOID, AIR} == used - {VOID, AIR}
    else:
        assert set(back.palette) == set(vol.palette)
    texts = {}
    (states, *rest), (want, *want_rest) = placed(back, texts), placed(vol, texts)
    assert (states == want).all() and rest == want_rest
    if target == "litematic":
        assert back.regions == vol.regions or not vol.regions
        for mine, read in zip(vol.regions, back.regions):  # each as its author saved it
            assert (numpy.asarray(vol.palette)[vol.region_blocks(mine)]
                    == numpy.asarray(back.palette)[back.region_blocks(read)]).all()
            assert (mine.block_entities or []) == (read.block_entities or [])
        for ticks in ("pending_block_ticks", "pending_fluid_ticks"):
            assert placed(back, texts, ticks=ticks)[1] == placed(vol, texts, ticks=ticks)[1]
    if target in ("sponge", "kbr") or (target == "litematic" and vol.paste_origin is None):
        assert back.origin == vol.origin
    if target in ("sponge", "litematic") and vol.paste_origin is not None:  # where a paste lands
        offset = lambda v: tuple(o - a for o, a in zip(v.origin, v.paste_origin))  # noqa: E731
        assert offset(back) == offset(vol)
    if target == "sponge":
        assert back.version == version
    if vol.blocks.size <= EXACT_READER_POSITIONS and target != "litematic":
        modded = any(not state.startswith("minecraft:") for state in vol.palette)
        try:
            assert_matches_exact_reader(back, str(path))
        except RuntimeError:  # modded names, or a structure's several palettes, as in its source
            assert modded or (target == "structure" and vol.palette_count > 1)


# Saves refused before anything is written: (path below a folder holding the read-only
# kept.nbt and kept_0_0_0.nbt and the folder folder.nbt, piece size or None for a save, error,
# message).
SAVE_ERRORS = [
    ("p", -1, ValueError, exactly("size must be from 1 to 4294967295, not -1")),
    ("p", 0, ValueError, "not 0$"),
    ("p", 2**32, ValueError, "not 4294967296$"),
    ("no/such.nbt", None, FileNotFoundError, r"No such file or directory: '.*such\.nbt'"),
    ("folder.nbt", None, IsADirectoryError, "Is a directory"),
    ("kept.nbt", None, PermissionError, r"Permission denied: '.*kept\.nbt'"),
    ("kept", 1, PermissionError, "Permission denied"),
]


@pytest.mark.parametrize("name, size, error, message", SAVE_ERRORS)
def test_save_errors(tmp_path, name, size, error, message):
    for kept in ("kept.nbt", "kept_0_0_0.nbt"):
        (tmp_path / kept).write_bytes(b"kept")
        (tmp_path / kept).chmod(0o444)
    (tmp_path / "folder.nbt").mkdir()
    vol = BUILT["built: single block"]
    with pytest.raises(error, match=message):
        if size is None:
            vol.save(tmp_path / name)
        else:
            kubrel.save_pieces(vol, tmp_path / name, size=size)
    assert {path.read_bytes() for path in tmp_path.glob("kept*")} == {b"kept"}
    assert len(os.listdir(tmp_path)) == 3
    # Forced, a read-only file is replaced and stays read-only.
    kubrel.save_pieces(vol, tmp_path / "kept", force=True)
    assert kubrel.load(tmp_path / "kept_0_0_0.nbt").size == (1, 1, 1)
    assert (tmp_path / "kept_0_0_0.nbt").stat().st_mode & 0o777 == 0o444


LITEMATIC = CORPUS.parent / "litematic"


def non_air(vol):
    solid = [text not in ("minecraft:air", "minecraft:structure_void") for text in vol.palette]
    return int(numpy.array(solid)[vol.blocks].sum())


@pytest.mark.skipif(not LITEMATIC.exists(), reason="no Litematica corpus")
@pytest.mark.parametrize("row", manifest_rows(LITEMATIC), ids=lambda row: row["file"])
def test_litematic_corpus(row):
    """The manifest counts region by region; regions that overlap show fewer in the whole volume,
    so the counts are taken from each region read alone."""
    vol = kubrel.load(LITEMATIC / row["file"])
    assert vol.format == "litematic"
    assert vol.version == int(row["Version"])
    assert "x".join(map(str, vol.size)) == row["enclosing_size"]
    assert vol.metadata["TotalBlocks"] == int(row["total_blocks"])
    assert [r.size for r in vol.regions] == [
        tuple(abs(int(n)) for n in size.split("x")) for size in row["region_sizes"].split(";")
    ]
    alone = [kubrel.load(LITEMATIC / row["file"], region=r.name) for r in vol.regions]
    assert [[r.name for r in one.regions] for one in alone] == [[r.name] for r in vol.regions]
    assert sum(non_air(one) for one in alone) == int(row["decoded_nonair"])
    for field in ("pending_block_ticks", "pending_fluid_ticks"):
        assert sum(len(getattr(one, field)) for one in alone) == int(row[field])
    assert sum(len(one.block_entities) for one in alone) == int(row["tile_entities"])


# What a save in the file's own format writes afresh: the block encodings, Litematica's time and
# totals, version 1's number (it is written as version 2), the position keys beside "Pos", and a
# version 3 block entity's fields beside "Data" (written into it, where the format keeps them).
REWRITTEN = re.compile(
    r"^/(Palette|PaletteMax|BlockData|Blocks/(Palette|Data)|palettes?|blocks"
    r"|Regions/[^/]+/(BlockStatePalette|BlockStates)|Metadata/(TimeModified|TotalBlocks)|Version"
    r"|Blocks/BlockEntities\[\d+\]/(Data/[xyz]|(?!Data$|Pos$|Id$)\w+))$"
)


def lost_tags(was, now, path=""):
    """The paths of `was` whose tags `now` does not hold alike (compounds in any order)."""
    if REWRITTEN.match(path):
        return []
    if isinstance(was, nbt.Compound) and isinstance(now, nbt.Compound):
        return [p for k, v in was.items() for p in lost_tags(v, now.get(k), f"{path}/{k}")]
    if isinstance(was, nbt.List) and isinstance(now, nbt.List) and len(was) == len(now):
        return [p for i, (a, b) in enumerate(zip(was, now)) for p in lost_tags(a, b, f"{path}[{i}]")]
    return [] if typed(was) == typed(now) else [path]


@pytest.mark.parametrize("name", READABLE)
def test_every_tag_kept(tmp_path, name):
    """Saved in its own format, a real file keeps every tag it holds."""
    vol = kubrel.load(CORPUS / name)
    if os.environ.get("KUBREL_TEST_SMALL") and vol.blocks.size > 1 << 21:
        pytest.skip("a large file, left to the plain runs")
    path = tmp_path / f"out.{vol.format}"
    unversioned = vol.data_version is None  # a made-up one for formats that require it
    report = vol.save(path, format=vol.format, version=max(2, vol.version),
                      data_version=1343 if unversioned else None)
    assert "not_kept" not in report
    if "stealthplugin" in name:  # entities stored in world coordinates stand inside the build
        assert all(0 <= p <= s for e in vol.entities for p, s in zip(e.position, vol.size))
    if vol.biomes is not None:  # a format without biomes says it could not keep them
        assert "biomes" in vol.save(tmp_path / "other.nbt")["not_kept"]
    was, now = (volume_reference.document(p.read_bytes()) for p in (CORPUS / name, path))
    # Version 3 nests its tags under "Schematic", which some writers leave out.
    was, now = (d["Schematic"] if isinstance(d.get("Schematic"), nbt.Compound) else d
                for d in (was, now))
    if "TileEntities" in was:  # version 1's name for them
        now = nbt.Compound(now, TileEntities=now.get("BlockEntities"))
    assert lost_tags(was, now) == []
