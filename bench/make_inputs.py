"""Writes the benchmark inputs into bench/data (deterministic: the same bytes on every run, no
random generator involved). Needs NumPy.

terrain_v2.schem / terrain_v3.schem  Sponge 256x256x256 terrain, flat and nested layouts
terrain.kbr                          the same terrain as KBR, along its best walk order
structure.nbt                        a 64x64x64 Mojang structure cut from the terrain
single_run.kbr                       as many blocks as the terrain holds, one run of one state
"""

import gzip
import pathlib
import struct
import sys

import numpy as np

N = 256
SEA = 92
WOODS = ["oak", "spruce", "birch", "jungle", "acacia", "dark_oak"]
FACINGS = ["north", "south", "west", "east"]
SHAPES = ["straight", "inner_left", "inner_right", "outer_left", "outer_right"]
STRATA = ["stone", "andesite", "stone", "granite", "stone", "diorite", "tuff", "stone", "calcite"]
ORES = ["coal_ore", "iron_ore", "copper_ore", "gold_ore", "redstone_ore[lit=false]", "lapis_ore",
        "diamond_ore", "emerald_ore", "deepslate_iron_ore", "deepslate_diamond_ore"]


def build_palette():
    """State texts in id order, and for KBR the (base text, difference) of entries written as
    differences."""
    texts = ["minecraft:air"]
    diffs = {}
    simple = ["bedrock", "deepslate[axis=y]", *dict.fromkeys(STRATA), "dirt", "coarse_dirt",
              "grass_block[snowy=false]", "sand", "sandstone", "gravel", "clay",
              "water[level=0]", "stone_bricks", "mossy_stone_bricks", "oak_planks", "glass",
              "cobblestone", "bricks", "torch", "lantern[hanging=false,waterlogged=false]",
              "chest[facing=north,type=single,waterlogged=false]", *ORES]
    texts += ["minecraft:" + s for s in simple]
    for wood in WOODS:
        base = f"minecraft:{wood}_log[axis=y]"
        texts.append(base)
        for axis in "xz":
            text = f"minecraft:{wood}_log[axis={axis}]"
            texts.append(text)
            diffs[text] = (base, f"+axis={axis}")
    for material in ("oak", "stone_brick"):
        for facing in FACINGS:
            for half in ("bottom", "top"):
                for shape in SHAPES:
                    texts.append(f"minecraft:{material}_stairs[facing={facing},half={half},"
                                 f"shape={shape},waterlogged=false]")
    for wood in WOODS:
        base = f"minecraft:{wood}_leaves[distance=1,persistent=false,waterlogged=false]"
        for persistent in ("false", "true"):
            for distance in range(1, 8):
                text = (f"minecraft:{wood}_leaves[distance={distance},persistent={persistent},"
                        "waterlogged=false]")
                texts.append(text)
                if text != base:
                    diffs[text] = (base, f"+distance={distance}+persistent={persistent}")
    return texts, diffs


PALETTE, KBR_DIFFS = build_palette()
ID = {text: i for i, text in enumerate(PALETTE)}


def sid(name):
    return ID["minecraft:" + name]


def mix(*values):
    """A 32-bit integer hash of coordinate arrays (wrapping arithmetic)."""
    h = np.uint32(0x9E3779B9)
    for k, v in zip((0x85EBCA6B, 0xC2B2AE35, 0x27D4EB2F), values):
        h = (h ^ (np.asarray(v, dtype=np.uint32) * np.uint32(k))) * np.uint32(0x165667B1)
        h ^= h >> np.uint32(15)
    return h


def terrain():
    """Block ids indexed [y, z, x]."""
    y, z, x = np.meshgrid(np.arange(N), np.arange(N), np.arange(N), indexing="ij", sparse=True)
    xf, zf = x[0].astype(float), z[0].astype(float)
    height = (101 + 18 * np.sin(xf / 23) * np.cos(zf / 31) + 10 * np.sin((xf + zf) / 13)
              + 6 * np.cos((xf - 2 * zf) / 17)).astype(np.int32)  # [1, z, x] -> [z, x]
    height = height[0] if height.ndim == 3 else height
    h = height[None, :, :]
    ids = np.zeros((N, N, N), dtype=np.uint16)

    band = ((y + 4 * np.sin(x / 19) + 3 * np.cos(z / 23)) // 12).astype(np.int32) % len(STRATA)
    strata = np.array([sid(s) for s in STRATA], dtype=np.uint16)
    solid = y < h
    ids[solid] = np.broadcast_to(strata[band], ids.shape)[solid]
    deep = solid & (y < 24 + (mix(x, z) % 4).astype(np.int32))
    ids[deep] = sid("deepslate[axis=y]")
    ids[y < 1 + (mix(z, x) % 3).astype(np.int32)] = sid("bedrock")

    noise = mix(x, y, z)
    ore = solid & (noise % 29 == 0) & (y < h - 6)
    ore_kind = ((noise // 29) % len(ORES)).astype(np.int32)
    ore_ids = np.array([sid(o) for o in ORES], dtype=np.uint16)
    ids[ore] = np.broadcast_to(ore_ids[ore_kind], ids.shape)[ore]
    # Pockets of other stones dither the strata, as real ground does.
    pocket = solid & (noise % 29 == 1) & (y < h - 4)
    ids[pocket] = np.broadcast_to(strata[(band + 1 + (noise >> 20) % 3) % len(STRATA)],
                                  ids.shape)[pocket]
    gravel = solid & (noise % 29 == 2) & (y < h - 4)
    ids[gravel] = sid("gravel")

    beach = h <= SEA + 1
    top = y == h - 1
    ids[top & ~beach] = sid("grass_block[snowy=false]")
    ids[top & beach] = sid("sand")
    under = (y >= h - 4) & (y < h - 1)
    ids[under & ~beach] = np.where(mix(x, y, z)[under & ~beach] % 13 == 0, sid("coarse_dirt"),
                                   sid("dirt"))
    ids[under & beach] = sid("sandstone")
    ids[(y == h - 5) & beach] = sid("clay")
    ids[(y >= h) & (y < SEA)] = sid("water[level=0]")

    cave = (np.sin(x / 11) + np.sin(y / 7 + z / 13) + np.cos(z / 9 - x / 17)) > 2.05
    ids[cave & (y < h - 6) & (y > 4)] = 0

    place_trees(ids, height)
    place_buildings(ids, height)
    return ids


def place_trees(ids, height):
    for tz in range(4, N - 4, 7):
        for tx in range(4, N - 4, 7):
            r = int(mix(tx, tz, 7)) & 0xFFFF
            if r % 4 == 3:
                continue
            cx, cz = tx + r % 5 - 2, tz + (r >> 4) % 5 - 2
            ground = int(height[cz, cx])
            if ids[ground - 1, cz, cx] != sid("grass_block[snowy=false]"):
                continue
            wood = WOODS[(r >> 8) % len(WOODS)]
            trunk = 5 + (r >> 3) % 3
            top = ground + trunk
            for dy in range(-3, 3):
                for dz in range(-3, 4):
                    for dx in range(-3, 4):
                        d = abs(dx) + abs(dz) + max(dy, 0)
                        if d > 4 or not (0 <= top + dy < N):
                            continue
                        if ids[top + dy, cz + dz, cx + dx] == 0:
                            ids[top + dy, cz + dz, cx + dx] = ID[
                                f"minecraft:{wood}_leaves[distance={min(max(d, 1), 7)},"
                                "persistent=false,waterlogged=false]"]
            ids[ground:top, cz, cx] = ID[f"minecraft:{wood}_log[axis=y]"]
            if r % 7 == 0:  # a fallen log beside it
                axis = "x" if r % 2 else "z"
                log = ID[f"minecraft:{wood}_log[axis={axis}]"]
                if axis == "x":
                    ids[ground, cz + 3, cx - 2:cx + 3] = log
                else:
                    ids[ground, cz - 2:cz + 3, cx + 3] = log


def place_buildings(ids, height):
    """Hollow houses with stair roofs; the first one holds a row of every palette state."""
    for n, (bx, bz) in enumerate([(100, 110), (30, 200), (180, 40), (200, 190), (120, 60)]):
        w, d, wall_h = 14, 10, 6
        base = int(height[bz:bz + d, bx:bx + w].max())
        material = "stone_bricks" if n % 2 == 0 else "bricks"
        ids[base:base + wall_h, bz:bz + d, bx:bx + w] = sid(material)
        ids[base + 1:base + wall_h, bz + 1:bz + d - 1, bx + 1:bx + w - 1] = 0
        ids[base, bz + 1:bz + d - 1, bx + 1:bx + w - 1] = sid("oak_planks")
        ids[base + 2:base + 4, bz, bx + 2:bx + w - 2:3] = sid("glass")
        ids[base + 2:base + 4, bz + d - 1, bx + 2:bx + w - 2:3] = sid("glass")
        ids[base + 1, bz + 1:bz + d - 1:2, bx + 1] = sid("chest[facing=north,type=single,"
                                                          "waterlogged=false]")
        ids[base + 1, bz + 2:bz + d - 1:3, bx + w - 2] = sid("lantern[hanging=false,"
                                                              "waterlogged=false]")
        stairs = "oak" if n % 2 else "stone_brick"
        for layer in range(d // 2):
            y = base + wall_h + layer
            for side, z in (("south", bz + layer), ("north", bz + d - 1 - layer)):
                for x in range(bx, bx + w):
                    shape = SHAPES[(x - bx + layer) % len(SHAPES)] if x in (bx, bx + w - 1) \
                        else "straight"
                    half = "top" if (x + layer) % 4 == 0 else "bottom"
                    ids[y, z, x] = ID[f"minecraft:{stairs}_stairs[facing={side},half={half},"
                                      f"shape={shape},waterlogged=false]"]
            ids[y, bz + layer + 1:bz + d - 1 - layer, bx:bx + w] = sid("oak_planks")
        if n == 0:
            for i in range(1, len(PALETTE)):
                ids[base + 1 + i // (w - 2) // (d - 2) % (wall_h - 1),
                    bz + 1 + i // (w - 2) % (d - 2), bx + 1 + i % (w - 2)] = i


def varints(values):
    """Unsigned LEB128 of each 32-bit value, concatenated."""
    v = np.asarray(values, dtype=np.uint64)
    count = np.ones(v.shape, dtype=np.int64)
    for k in range(1, 5):
        count += v >= (1 << (7 * k))
    offsets = np.concatenate(([0], np.cumsum(count)[:-1]))
    out = np.zeros(int(count.sum()), dtype=np.uint8)
    for k in range(5):
        sel = count > k
        byte = (v[sel] >> np.uint64(7 * k)) & np.uint64(0x7F)
        byte |= np.where(count[sel] > k + 1, 0x80, 0).astype(np.uint64)
        out[offsets[sel] + k] = byte.astype(np.uint8)
    return out.tobytes()


def text(s):
    data = s.encode()
    return struct.pack(">H", len(data)) + data


def tag(kind, name, payload):
    return bytes([kind]) + text(name) + payload


def sponge(ids, nested):
    """Flat (version 2) or nested (version 3) Sponge document; ids are [y, z, x]."""
    height, length, width = ids.shape
    data = varints(ids.ravel())
    palette = b"".join(tag(3, t, struct.pack(">i", i)) for i, t in enumerate(PALETTE)) + b"\0"
    dims = (tag(2, "Width", struct.pack(">h", width)) + tag(2, "Height", struct.pack(">h", height))
            + tag(2, "Length", struct.pack(">h", length)))
    array = struct.pack(">i", len(data)) + data
    if nested:
        blocks = tag(10, "Palette", palette) + tag(7, "Data", array) + b"\0"
        body = (tag(3, "Version", struct.pack(">i", 3)) + tag(3, "DataVersion", struct.pack(">i", 3465))
                + dims + tag(10, "Blocks", blocks) + b"\0")
        return tag(10, "", tag(10, "Schematic", body) + b"\0")
    body = (tag(3, "Version", struct.pack(">i", 2)) + tag(3, "DataVersion", struct.pack(">i", 3465))
            + dims + tag(3, "PaletteMax", struct.pack(">i", len(PALETTE)))
            + tag(10, "Palette", palette) + tag(7, "BlockData", array) + b"\0")
    return tag(10, "Schematic", body)


AXES = {"XYZ": (0, 1, 2), "XZY": (0, 2, 1), "YXZ": (1, 0, 2), "YZX": (1, 2, 0), "ZXY": (2, 0, 1),
        "ZYX": (2, 1, 0)}


def walk(ids, order):
    """The ids along the walk of `order` (outermost axis first); ids are [y, z, x]."""
    position_of_axis = {1: 0, 2: 1, 0: 2}  # array dimension of x, y, z
    return ids.transpose([position_of_axis[a] for a in AXES[order]]).ravel()


def kbr_header(lo, hi, order):
    magic = bytes(leb128(0x4B5242464D54))
    return magic + varints([1, *lo, *hi]) + bytes([list(AXES).index(order)])


def leb128(value):
    out = []
    while True:
        low, value = value & 0x7F, value >> 7
        out.append(low | (0x80 if value else 0))
        if not value:
            return out


def kbr_string(s):
    data = s.encode()
    return varints([len(data)]) + data


def kbr_terrain(ids):
    """The terrain along the walk order with the fewest runs; leaves and logs other than the first
    of their kind are written as differences."""
    runs = {order: int(np.count_nonzero(np.diff(walk(ids, order)))) + 1 for order in AXES}
    order = min(runs, key=runs.get)
    flat = walk(ids, order)
    body = b""
    for text_ in PALETTE:
        if text_ in KBR_DIFFS:
            base, difference = KBR_DIFFS[text_]
            body += varints([1, 2 * ID[base] + 2]) + kbr_string(difference)
        else:
            body += varints([0, 0]) + kbr_string(text_)
    starts = np.concatenate(([0], np.flatnonzero(np.diff(flat)) + 1))
    lengths = np.diff(np.concatenate((starts, [flat.size])))
    opcodes = 2 * flat[starts].astype(np.uint64) + 2 + (lengths > 1)
    # Each run is its opcode, followed by its length when that is above one.
    values = np.stack([opcodes, lengths.astype(np.uint64)], axis=1).ravel()
    keep = np.stack([np.ones_like(lengths, dtype=bool), lengths > 1], axis=1).ravel()
    body += varints(values[keep])
    n = N - 1
    return kbr_header((0, 0, 0), (n, n, n), order) + body, order, runs[order]


def single_run(count):
    body = varints([0, 0]) + kbr_string("minecraft:stone") + varints([3, count])
    return kbr_header((0, 0, 0), (count - 1, 0, 0), "XYZ") + body


def structure(ids):
    """Every non-air position of a 64^3 box of the terrain, with block entities on its chests
    and lanterns; the palette comes after the blocks."""
    box = ids[70:134, 96:160, 96:160]
    used = sorted(set(np.unique(box).tolist()) - {0})
    local = {g: i for i, g in enumerate(used)}
    chest, lantern = sid("chest[facing=north,type=single,waterlogged=false]"), sid(
        "lantern[hanging=false,waterlogged=false]")
    items = b"".join(tag(1, "Slot", bytes([s])) + tag(8, "id", text("minecraft:cobblestone"))
                     + tag(1, "Count", bytes([s + 1])) + b"\0" for s in range(5))
    chest_nbt = tag(10, "nbt", tag(8, "id", text("minecraft:chest"))
                    + tag(9, "Items", bytes([10]) + struct.pack(">i", 5) + items) + b"\0")
    lantern_nbt = tag(10, "nbt", tag(8, "id", text("minecraft:lantern")) + b"\0")
    pos_head, state_head = bytes([9]) + text("pos") + bytes([3]), bytes([3]) + text("state")
    entries = []
    ys, zs, xs = np.nonzero(box)
    for y, z, x in zip(ys.tolist(), zs.tolist(), xs.tolist()):
        g = int(box[y, z, x])
        entry = pos_head + struct.pack(">iiii", 3, x, y, z) + state_head + struct.pack(">i", local[g])
        if g == chest:
            entry += chest_nbt
        elif g == lantern:
            entry += lantern_nbt
        entries.append(entry + b"\0")
    palette = []
    for g in used:
        name, _, props = PALETTE[g].partition("[")
        body = tag(8, "Name", text(name))
        if props:
            pairs = [p.split("=") for p in props.rstrip("]").split(",")]
            body += tag(10, "Properties", b"".join(tag(8, k, text(v)) for k, v in pairs) + b"\0")
        palette.append(body + b"\0")
    root = (tag(3, "DataVersion", struct.pack(">i", 3465))
            + tag(9, "size", bytes([3]) + struct.pack(">iiii", 3, 64, 64, 64))
            + tag(9, "blocks", bytes([10]) + struct.pack(">i", len(entries)) + b"".join(entries))
            + tag(9, "palette", bytes([10]) + struct.pack(">i", len(palette)) + b"".join(palette))
            + tag(9, "entities", bytes([0]) + struct.pack(">i", 0)) + b"\0")
    return tag(10, "", root), len(entries)


def write(directory, name, document):
    packed = gzip.compress(document, compresslevel=6, mtime=0)
    (directory / name).write_bytes(packed)
    print(f"{name:20s} {len(document):>11,d} bytes, gzip {len(packed):>10,d} "
          f"({len(document) / len(packed):.1f}x)")


@np.errstate(over="ignore")
def main():
    directory = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                             pathlib.Path(__file__).resolve().parent / "data")
    directory.mkdir(parents=True, exist_ok=True)
    ids = terrain()
    solid = int(np.count_nonzero(ids))
    print(f"terrain: {ids.size:,d} positions, {solid:,d} blocks ({1 - solid / ids.size:.0%} air), "
          f"{len(np.unique(ids))} of {len(PALETTE)} states used")
    write(directory, "terrain_v2.schem", sponge(ids, nested=False))
    write(directory, "terrain_v3.schem", sponge(ids, nested=True))
    document, order, runs = kbr_terrain(ids)
    print(f"KBR walk order {order}, {runs:,d} runs")
    write(directory, "terrain.kbr", document)
    document, count = structure(ids)
    print(f"structure: {count:,d} blocks")
    write(directory, "structure.nbt", document)
    write(directory, "single_run.kbr", single_run(solid))


if __name__ == "__main__":
    main()
