"""The pipelines a user would write without us, with the NBT libraries of the package index, for
the benchmark's comparison: nbtlib (MIT) and NBT (MIT), installed only into the benchmark's own
environment.

Two pipelines per library and format:
- loop: load the document, walk the ids (Sponge VarInts, or the structure's block list) one
  position at a time and keep an (x, y, z, state text) tuple per non-air block;
- numpy: load the document, decode every id at once with NumPy and map it through the palette,
  giving the array of palette indices indexed [y, z, x] and the palette of canonical texts
  (index 0 "minecraft:air", unlisted structure positions "minecraft:structure_void"), the same
  content as a volume from kubrel.load().
Litematica files have a NumPy pipeline only: the regions' packed indices unpacked at once and
placed into the box that encloses them.
Each pipeline takes a path and returns ("tuples", list) or ("array", blocks, palette).
"""

import numpy as np

AIR = frozenset(("minecraft:air", "minecraft:cave_air", "minecraft:void_air"))
VOID = "minecraft:structure_void"


def canonical(text):
    """name[k=v,...] with the keys sorted; a state without properties is its bare name."""
    name, _, rest = text.partition("[")
    pairs = sorted(p.strip() for p in rest.rstrip("]").split(",") if p.strip())
    return f"{name}[{','.join(pairs)}]" if pairs else name


def canonical_parts(name, properties):
    pairs = sorted(f"{k}={v}" for k, v in properties)
    return f"{name}[{','.join(pairs)}]" if pairs else name


def smallest_dtype(count):
    return np.uint8 if count <= 1 << 8 else np.uint16 if count <= 1 << 16 else np.uint32


# ---- Sponge: the parts every library yields, then shared loops over plain bytes and arrays ----

def sponge_loop(width, height, length, palette, data):
    """palette: {state text: id}; data: the id bytes. The loop a user writes: one VarInt and one
    dict lookup per position."""
    names = {i: text for text, i in palette.items()}
    layer = width * length
    blocks = []
    append = blocks.append
    index = i = 0
    end = len(data)
    while i < end:
        value = shift = 0
        while True:
            byte = data[i]
            i += 1
            value |= (byte & 0x7F) << shift
            if byte < 0x80:
                break
            shift += 7
        state = names[value]
        if state not in AIR:
            y, rest = divmod(index, layer)
            z, x = divmod(rest, width)
            append((x, y, z, state))
        index += 1
    return ("tuples", blocks)


def varints_numpy(raw):
    """Every unsigned VarInt of a uint8 array, decoded at once. Most are one byte (a palette of
    under 128 states has no other): those are the bytes themselves, and only the few longer ones
    are assembled, from the positions of the bytes that continue a VarInt."""
    continued = np.flatnonzero(raw >= 0x80)
    if continued.size == 0:
        return raw
    tails = continued + 1  # the bytes that belong to the VarInt before them
    tails = tails[tails < raw.size]
    heads = continued[np.searchsorted(tails, continued, side="right")
                      == np.searchsorted(tails, continued, side="left")]
    keep = np.ones(raw.size, dtype=bool)
    keep[tails] = False
    ids = raw[keep].astype(np.uint32)
    values = (raw[heads] & 0x7F).astype(np.uint32)
    active = np.arange(heads.size)
    k = 1
    while active.size:
        at = heads[active] + k
        active, at = active[at < raw.size], at[at < raw.size]
        values[active] |= (raw[at] & 0x7F).astype(np.uint32) << np.uint32(7 * k)
        active = active[raw[at] >= 0x80]
        k += 1
    ids[heads - np.searchsorted(tails, heads)] = values
    return ids[:-1] if raw[-1] >= 0x80 else ids  # a VarInt cut by the end counts as none


def volume_palette(entries, extra=()):
    """entries: (file id, canonical state). The volume's palette (air first, the air states
    merged into it, then `extra`) and the array that maps a file id to its index there."""
    entries = list(entries)
    texts = ["minecraft:air"]
    index_of = {"minecraft:air": 0}
    remap = np.zeros(max((i for i, _ in entries), default=0) + 1, dtype=np.uint32)
    for file_id, state in entries:
        state = "minecraft:air" if state in AIR else state
        if state not in index_of:
            index_of[state] = len(texts)
            texts.append(state)
        remap[file_id] = index_of[state]
    for state in extra:
        if state not in index_of:
            index_of[state] = len(texts)
            texts.append(state)
    return texts, index_of, remap


def sponge_numpy(width, height, length, palette, raw):
    """palette: {state text: id}; raw: the id bytes as a uint8 array."""
    texts, _, remap = volume_palette((i, canonical(text)) for text, i in palette.items())
    ids = varints_numpy(raw)
    volume = width * height * length
    grid = np.zeros(volume, dtype=smallest_dtype(len(texts)))
    ids = ids[:volume]
    np.take(remap.astype(grid.dtype), ids, out=grid[:ids.size])
    return ("array", grid.reshape(height, length, width), texts)


def structure_numpy(size, palette, positions, states):
    """size (x, y, z); palette: canonical texts in file order; positions: (n, 3) ints;
    states: n palette ids. Unlisted positions read as structure void."""
    texts, index_of, remap = volume_palette(enumerate(palette), extra=(VOID,))
    sx, sy, sz = size
    grid = np.full((sy, sz, sx), index_of[VOID], dtype=smallest_dtype(len(texts)))
    if len(states):
        grid[positions[:, 1], positions[:, 2], positions[:, 0]] = remap[states]
    return ("array", grid, texts)


def unpack_indices(longs, bits, count):
    """`count` indices of `bits` bits each, packed low bit first across 64-bit words (an index may
    span two words)."""
    words = np.append(np.asarray(longs).view(np.uint64), np.uint64(0))
    start = np.arange(count, dtype=np.uint64) * np.uint64(bits)
    word = (start >> np.uint64(6)).astype(np.intp)
    shift = start & np.uint64(63)
    low = words[word] >> shift
    spans = shift + np.uint64(bits) > np.uint64(64)
    high = np.zeros_like(low)
    high[spans] = words[word[spans] + 1] << (np.uint64(64) - shift[spans])
    return (low | high) & np.uint64((1 << bits) - 1)


def litematic_numpy(regions):
    """regions: (position, size, palette texts, packed longs) per region, sizes signed as the file
    stores them. Positions between regions read as air."""
    boxes = []
    for position, size, _, _ in regions:
        low = [p + s + 1 if s < 0 else p for p, s in zip(position, size)]
        boxes.append((low, [abs(s) for s in size]))
    corner = [min(low[a] for low, _ in boxes) for a in range(3)]
    end = [max(low[a] + extent[a] for low, extent in boxes) for a in range(3)]
    texts, index_of = ["minecraft:air"], {"minecraft:air": 0}
    for _, _, palette, _ in regions:
        for state in palette:
            if state not in AIR and state not in index_of:
                index_of[state] = len(texts)
                texts.append(state)
    grid = np.zeros((end[1] - corner[1], end[2] - corner[2], end[0] - corner[0]),
                    dtype=smallest_dtype(len(texts)))
    for (low, (sx, sy, sz)), (_, _, palette, longs) in zip(boxes, regions):
        remap = np.array([0 if s in AIR else index_of[s] for s in palette], dtype=grid.dtype)
        bits = max(2, (len(palette) - 1).bit_length())
        indices = unpack_indices(longs, bits, sx * sy * sz)
        x, y, z = (low[a] - corner[a] for a in range(3))
        grid[y:y + sy, z:z + sz, x:x + sx] = remap[indices].reshape(sy, sz, sx)
    return ("array", grid, texts)


# ---- nbtlib: tags are subclasses of int, str, dict, list and numpy arrays ----

def nbtlib_load(path):
    import nbtlib

    root = nbtlib.load(path)
    return root.get("Schematic", root)


def nbtlib_sponge(schematic):
    blocks = schematic.get("Blocks")
    palette = blocks["Palette"] if blocks is not None else schematic["Palette"]
    data = blocks["Data"] if blocks is not None else schematic["BlockData"]
    return (int(schematic["Width"]), int(schematic["Height"]), int(schematic["Length"]),
            {str(k): int(v) for k, v in palette.items()}, np.asarray(data).view(np.uint8))


def nbtlib_palette(root):
    return [canonical_parts(str(e["Name"]), e.get("Properties", {}).items())
            for e in root["palette"]]


def nbtlib_loop(path):
    root = nbtlib_load(path)
    if "palette" not in root:
        width, height, length, palette, data = nbtlib_sponge(root)
        return sponge_loop(width, height, length, palette, data.tobytes())
    palette = nbtlib_palette(root)
    blocks = []
    for entry in root["blocks"]:
        state = palette[entry["state"]]
        if state not in AIR:
            x, y, z = entry["pos"]
            blocks.append((int(x), int(y), int(z), state))
    return ("tuples", blocks)


def nbtlib_regions(root):
    for region in root["Regions"].values():
        palette = [canonical_parts(str(e["Name"]), e.get("Properties", {}).items())
                   for e in region["BlockStatePalette"]]
        yield (tuple(int(region["Position"][a]) for a in "xyz"),
               tuple(int(region["Size"][a]) for a in "xyz"), palette,
               np.asarray(region["BlockStates"]).astype(np.int64))


def nbtlib_numpy(path):
    root = nbtlib_load(path)
    if "Regions" in root:
        return litematic_numpy(list(nbtlib_regions(root)))
    if "palette" not in root:
        return sponge_numpy(*nbtlib_sponge(root))
    entries = root["blocks"]
    positions = np.array([e["pos"] for e in entries], dtype=np.int64).reshape(-1, 3)
    states = np.fromiter((e["state"] for e in entries), dtype=np.int64, count=len(entries))
    return structure_numpy(tuple(int(v) for v in root["size"]), nbtlib_palette(root), positions,
                           states)


# ---- NBT: tags carry their value in .value; lists and compounds hold tags ----

def nbt_load(path):
    from nbt import nbt

    root = nbt.NBTFile(filename=path)
    return root["Schematic"] if "Schematic" in root else root


def nbt_sponge(schematic):
    nested = "Blocks" in schematic
    palette = schematic["Blocks"]["Palette"] if nested else schematic["Palette"]
    data = schematic["Blocks"]["Data"] if nested else schematic["BlockData"]
    return (schematic["Width"].value, schematic["Height"].value, schematic["Length"].value,
            {k: v.value for k, v in palette.items()}, data.value)


def nbt_palette(root):
    texts = []
    for entry in root["palette"]:
        props = entry["Properties"].items() if "Properties" in entry else ()
        texts.append(canonical_parts(entry["Name"].value, ((k, v.value) for k, v in props)))
    return texts


def nbt_loop(path):
    root = nbt_load(path)
    if "palette" not in root:
        return sponge_loop(*nbt_sponge(root))
    palette = nbt_palette(root)
    blocks = []
    for entry in root["blocks"]:
        state = palette[entry["state"].value]
        if state not in AIR:
            x, y, z = (t.value for t in entry["pos"])
            blocks.append((x, y, z, state))
    return ("tuples", blocks)


def nbt_regions(root):
    for region in root["Regions"].values():
        palette = []
        for entry in region["BlockStatePalette"]:
            props = entry["Properties"].items() if "Properties" in entry else ()
            palette.append(canonical_parts(entry["Name"].value,
                                           ((k, v.value) for k, v in props)))
        yield (tuple(region["Position"][a].value for a in "xyz"),
               tuple(region["Size"][a].value for a in "xyz"), palette,
               np.array(region["BlockStates"].value, dtype=np.int64))


def nbt_numpy(path):
    root = nbt_load(path)
    if "Regions" in root:
        return litematic_numpy(list(nbt_regions(root)))
    if "palette" not in root:
        width, height, length, palette, data = nbt_sponge(root)
        return sponge_numpy(width, height, length, palette, np.frombuffer(data, dtype=np.uint8))
    entries = root["blocks"]
    positions = np.array([[t.value for t in e["pos"]] for e in entries],
                         dtype=np.int64).reshape(-1, 3)
    states = np.fromiter((e["state"].value for e in entries), dtype=np.int64, count=len(entries))
    size = tuple(t.value for t in root["size"])
    return structure_numpy(size, nbt_palette(root), positions, states)


# name -> (library, pipeline, function)
PEERS = {
    "nbtlib loop": ("nbtlib", "loop", nbtlib_loop),
    "nbtlib + NumPy": ("nbtlib", "numpy", nbtlib_numpy),
    "NBT loop": ("NBT", "loop", nbt_loop),
    "NBT + NumPy": ("NBT", "numpy", nbt_numpy),
}
