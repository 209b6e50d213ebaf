"""A world's region file read to per-chunk arrays of block-state indices: our world reader beside
its floor (both in the core benchmark tool, `kubrel_bench region`) and beside the pipelines a
Python user would write without us. Prints a Markdown table and writes it to bench/world.md.

The peers, installed into the benchmark's environment only (scripts/bench.sh):
- nbtlib, amulet-nbt and NBT, each with NumPy: the region file parsed by hand (location table,
  zlib or gzip inflate), each chunk's NBT parsed by the library, each section of more than one
  state unpacked with NumPy into 4096 indices (padded longs from data version 2529 on, spanning
  longs before);
- a pure-Python world reader from the package index, if it is installed: its own region and chunk
  objects, each section's blocks streamed and numbered by a dict as they come. It is far slower, so
  it reads the first SAMPLE chunks and its time is scaled to the whole file.
Every whole-file pipeline sums the indices it unpacks; a sum that differs from ours is reported.
CPU time, median of several runs in turn, each peer's ratio to ours taken within the same round.

    python bench/world_bench.py --worlds ../shared/corpus/worlds --tool build-bench/bench/core/kubrel_bench
"""

import argparse
import io
import json
import os
import pathlib
import statistics
import struct
import subprocess
import time
import zlib

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
PADDED_VERSION = 2529
FLOOR_GOAL = 1.5
PEER_GOAL = 30
SAMPLE = 8
# The biggest region file of each 1.18+ world of the corpus, and of a world from before 1.16
# (indices spanning longs) and of one from 1.16 (padded, inside "Level").
FILES = (
    "createcc_1_20_1/region/r.0.0.mca",
    "limbo_1_21_4/region/r.0.0.mca",
    "neuralnet_26_2/dimensions/minecraft/overworld/region/r.0.0.mca",
    "cells_1_15_2/region/r.0.0.mca",
    "circles_1_16_3/region/r.0.0.mca",
)


def chunk_documents(path, limit=None):
    """The inflated NBT of each chunk of the region file, by hand: the location table, then each
    chunk's length, compression byte and payload. LZ4 and external chunks are left out."""
    data = pathlib.Path(path).read_bytes()
    if len(data) < 4096:
        return
    found = 0
    for location in struct.unpack(">1024I", data[:4096]):
        if not location or (limit is not None and found >= limit):
            continue
        begin = (location >> 8) * 4096
        length, compression = struct.unpack(">IB", data[begin:begin + 5])
        payload = data[begin + 5:begin + 4 + length]
        if compression in (1, 2):
            yield zlib.decompress(payload, wbits=47)
        elif compression == 3:
            yield payload
        found += 1


def unpack(longs, count_of_palette, version):
    """4096 indices from a section's longs (int64 values), with NumPy alone."""
    bits = max(4, (count_of_palette - 1).bit_length())
    words = np.asarray(longs)
    words = words.astype(np.int64).view(np.uint64) if words.dtype.kind == "i" else words
    if version >= PADDED_VERSION:
        per_long = 64 // bits
        shifts = np.arange(per_long, dtype=np.uint64) * np.uint64(bits)
        values = (words[:, None] >> shifts) & np.uint64((1 << bits) - 1)
        return values.reshape(-1)[:4096].astype(np.uint16)
    bits = max(bits, words.size * 64 // 4096)
    stream = np.unpackbits(words.astype("<u8").view(np.uint8), bitorder="little")
    columns = stream[:4096 * bits].reshape(4096, bits).astype(np.uint16)
    return columns @ (np.uint16(1) << np.arange(bits, dtype=np.uint16))


def sections_of(root):
    """(sections, version) of a chunk's root compound, in either layout (mapping-like tags)."""
    version = 0
    if "DataVersion" in root:
        tag = root["DataVersion"]
        version = int(getattr(tag, "py_int", getattr(tag, "value", tag)))
    if "sections" in root:
        return root["sections"], version
    level = root["Level"] if "Level" in root else root
    return (level["Sections"] if "Sections" in level else []), version


def states_of(section):
    """(palette, longs) of a section, either layout; None where it has none."""
    holder = section["block_states"] if "block_states" in section else section
    palette = holder["palette"] if "palette" in holder else holder.get("Palette")
    longs = holder["data"] if "data" in holder else holder.get("BlockStates")
    return palette, longs


def library_pipeline(parse, longs_of):
    """A peer that parses each chunk with a library: per-chunk lists of 4096-index arrays."""
    def run(path):
        chunks, index_sum = [], 0
        for document in chunk_documents(path):
            sections, version = sections_of(parse(document))
            arrays = []
            for section in sections:
                palette, longs = states_of(section)
                if palette is None or len(palette) < 2:
                    continue
                arrays.append(unpack(longs_of(longs), len(palette), version))
                index_sum += int(arrays[-1].sum(dtype=np.uint64))
            chunks.append(arrays)
        return len(chunks), index_sum
    return run


def nbtlib_pipeline():
    import nbtlib

    return library_pipeline(lambda document: nbtlib.File.parse(io.BytesIO(document)),
                            lambda longs: longs)


def nbt_pipeline():
    from nbt import nbt

    def parse(document):
        return nbt.NBTFile(buffer=io.BytesIO(document))

    def get(tag, key, default=None):
        return tag[key] if key in tag else default

    def longs_of(tag):
        # The world reader, once imported, makes this library read long arrays unsigned.
        try:
            return np.array(tag.value, dtype=np.int64)
        except OverflowError:
            return np.array(tag.value, dtype=np.uint64)

    nbt.TAG_Compound.get = get
    return library_pipeline(parse, longs_of)


def amulet_pipeline():
    import amulet_nbt

    return library_pipeline(lambda document: amulet_nbt.load(document, compressed=False).compound,
                            lambda longs: longs.np_array)


def world_reader_pipeline():
    """The pure-Python world reader: its region and chunk objects and its own block stream. Reads
    the first SAMPLE chunks; returns (chunks read, index sum) for them."""
    import anvil

    def run(path):
        region = anvil.Region.from_file(str(path))
        present = [(x, z) for z in range(32) for x in range(32)
                   if region.chunk_location(x, z) != (0, 0)][:SAMPLE]
        for x, z in present:
            chunk = region.get_chunk(x, z)
            sections, _ = sections_of(chunk.data)
            for section in sections:
                palette, _ = states_of(section)
                if palette is None or len(palette) < 2:
                    continue
                numbers, indices = {}, np.empty(4096, dtype=np.uint16)
                for i, block in enumerate(chunk.stream_blocks(section=section)):
                    indices[i] = numbers.setdefault(block, len(numbers))
        return len(present), 0
    return run


PEERS = {"nbtlib + NumPy": nbtlib_pipeline, "amulet-nbt + NumPy": amulet_pipeline,
         "NBT + NumPy": nbt_pipeline,
         "anvil-parser2 (per block)": world_reader_pipeline}


def cpu_of(function, *args):
    start = time.process_time()
    result = function(*args)
    return time.process_time() - start, result


def ours(tool, path, repeats):
    done = subprocess.run([tool, "region", str(path), str(repeats)], capture_output=True,
                          text=True, env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    if done.returncode != 0:
        raise SystemExit(f"{tool} region {path}: {done.stderr.strip()}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worlds", type=pathlib.Path, required=True)
    parser.add_argument("--tool", type=pathlib.Path, required=True)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    peers = {}
    for name, make in PEERS.items():
        try:
            peers[name] = make()
        except ImportError:
            print(f"{name}: not installed, left out")
    load_before = ", ".join(f"{load:.1f}" for load in os.getloadavg())
    rows = []
    for relative in FILES:
        path = args.worlds / relative
        if not path.exists():
            continue
        ratios = {name: [] for name in peers}
        times = {name: [] for name in peers}
        core = []
        sums = {}
        for _ in range(args.runs):
            mine = ours(args.tool, path, 5)
            core.append(mine)
            for name, pipeline in peers.items():
                seconds, (chunks, index_sum) = cpu_of(pipeline, path)
                if chunks < mine["chunks"]:
                    seconds *= mine["chunks"] / max(chunks, 1)
                else:
                    sums[name] = index_sum
                times[name].append(seconds)
                ratios[name].append(seconds / mine["ours_cpu"])
        rows.append((relative, core, times, ratios, sums))
    load_after = ", ".join(f"{load:.1f}" for load in os.getloadavg())

    lines = [
        "# World reading",
        "",
        "A region file to per-chunk arrays of block-state indices (sections of one state are "
        "left as their palette, by every pipeline). CPU seconds, median of "
        f"{args.runs} rounds (our path and its floor: median of 5 runs in each round). The machine "
        f"was shared with other work: load average {load_before} before, {load_after} after.",
        "",
        "| region file | chunks | sections (unpacked) | floor ms | ours ms | ours/floor | "
        "with records ms | " + " | ".join(f"{name} s | ×ours" for name in peers) + " |",
        "|---|---:|---:|---:|---:|---:|---:|" + "---:|---:|" * len(peers),
    ]
    notes = []
    floor_met = peer_met = 0
    fastest_over_floor = []
    for relative, core, times, ratios, sums in rows:
        last = core[-1]
        floor = statistics.median(c["floor_cpu"] for c in core)
        mine = statistics.median(c["ours_cpu"] for c in core)
        cells = [
            relative.split("/")[0] + " " + relative.rsplit("/", 1)[-1], str(last["chunks"]),
            f"{last['sections']} ({last['unpacked_sections']})", f"{floor * 1e3:.1f}",
            f"{mine * 1e3:.1f}",
            f"{statistics.median(c['ours_over_floor'] for c in core):.2f}×",
            f"{statistics.median(c['ours_with_records_cpu'] for c in core) * 1e3:.1f}",
        ]
        for name in peers:
            cells += [f"{statistics.median(times[name]):.2f}",
                      f"{statistics.median(ratios[name]):.0f}×"]
        lines.append("| " + " | ".join(cells) + " |")
        floor_met += statistics.median(c["ours_over_floor"] for c in core) <= FLOOR_GOAL
        peer_met += min(statistics.median(r) for r in ratios.values()) >= PEER_GOAL
        fastest_over_floor.append(min(statistics.median(t) for t in times.values()) / floor)
        if not last["same_indices"]:
            notes.append(f"{relative}: the floor and our path unpacked different indices.")
        for name, index_sum in sums.items():
            if index_sum != last["index_sum"]:
                notes.append(f"{relative}: {name} summed its indices to {index_sum}, ours to "
                             f"{last['index_sum']}.")
    lines += [
        "",
        "Floor: each chunk inflated in one call (the faster of libdeflate and ISA-L) and walked by "
        "hand to its sections' index arrays, unpacked into one uint16 array per chunk; palette "
        "names are counted, not read. Ours: the world reader's region file and chunk decoder, "
        "blocks only (palette texts and indices per section); with records: also block entities, "
        "entities, heightmaps and biomes. ×ours: the peer's CPU time over ours in the same round.",
        f"The per-block world reader read the first {SAMPLE} chunks of each file; its time is "
        "scaled to the file's chunks.",
        f"Goals: ours at most {FLOOR_GOAL}× the floor, met on {floor_met} of {len(rows)} files; "
        f"every peer at least {PEER_GOAL}× ours, met on {peer_met} of {len(rows)}.",
        f"The fastest peer took {min(fastest_over_floor):.0f}–{max(fastest_over_floor):.0f}× "
        f"the floor's own time: being {PEER_GOAL}× faster than it would take a read faster than "
        "inflating the chunks and unpacking their indices alone.",
    ] + (notes or ["The whole-file peers' index sums equal ours, and the floor's, on every file."])
    text = "\n".join(lines) + "\n"
    (HERE / "world.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
