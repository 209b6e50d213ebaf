"""World saves against the corpus facts: each 1.13+ world's first chunk and region totals, biome
counts, every stored WORLD_SURFACE heightmap against the blocks read, and a box exported and read
back."""

import itertools
import math
import os
import pathlib
import re
from collections import Counter

import numpy as np
import pytest

import kubrel
from conftest import CORPUS, manifest_rows

WORLDS = CORPUS.parent / "worlds"
AIR = {"minecraft:air", "minecraft:cave_air", "minecraft:void_air"}
MODERN = [
    row
    for row in manifest_rows(WORLDS)
    if row["c00_dataversion"].isdigit() and int(row["c00_dataversion"]) >= 1451
]
# The sanitized run checks the heightmaps of this many chunks a world, not all of them: the same
# code at many times the time.
SMALL_RUN_CHUNKS = 24 if os.environ.get("KUBREL_TEST_SMALL") else None
# A box of each world that holds block entities or entities, for the export round trip.
EXPORTS = {
    "createcc_1_20_1": ("minecraft:overworld", ((0, -2, 0), (32, 24, 32))),
    "limbo_1_21_4": ("minecraft:the_end", ((96, 0, 0), (160, 128, 64))),
}


def facts(text):
    """"state=count; ..." as (state, count) pairs (a state may hold "=" inside its brackets)."""
    pairs = [item.rsplit("=", 1) for item in text.split("; ") if item]
    return [(state, int(count)) for state, count in pairs]


def numeric_biomes(text, name):
    """The facts' "len=N idA=a; idB=b" biome numbers as the names one layer of a chunk's
    positions holds: 256 columns, from one number per column or per 4x4x4 cell."""
    length, *pairs = text.replace(";", "").split()
    per_layer = 256 / int(length.split("=")[1])
    return {name(int(k[2:])): int(int(v) * per_layer) for k, v in (p.split("=") for p in pairs)}


# The game's numbers of the biomes the 1.13-1.17 worlds of the corpus hold.
GAME_BIOMES = {1: "minecraft:plains", 9: "minecraft:the_end"}


def counts_of(vol):
    found = np.bincount(vol.blocks.ravel(), minlength=len(vol.palette))
    return Counter(dict(zip(vol.palette, found)))


def region_totals(row):
    """{region path: (chunks, non-air total)} of r.0.0 and the other kept region files."""
    totals = {"region/r.0.0.mca": row["r00_summary"]}
    for part in filter(None, row["other_region_facts"].split(" || ")):
        name, summary = part.split(": ", 1)
        totals[name] = summary
    parsed = {}
    for name, summary in totals.items():
        found = re.match(r"(\d+) chunks; nonair total (\d+)", summary)
        if found and "region/" in name and "entities" not in name and "poi" not in name:
            parsed[name] = (int(found[1]), int(found[2]))
    return parsed


def unpack_heightmap(longs, data_version):
    height = 384 if data_version >= 2825 else 256
    bits = math.ceil(math.log2(height + 1))
    stream = [int(v) & (2**64 - 1) for v in np.frombuffer(longs, dtype=np.int64)]
    if data_version < 2529:
        whole = sum(v << (64 * i) for i, v in enumerate(stream))
        return [(whole >> (bits * i)) & ((1 << bits) - 1) for i in range(256)]
    per = 64 // bits
    return [(stream[i // per] >> (bits * (i % per))) & ((1 << bits) - 1) for i in range(256)]


@pytest.mark.parametrize("row", MODERN, ids=[row["short_name"] for row in MODERN])
def test_world_matches_its_facts(row, tmp_path):
    folder = WORLDS / row["short_name"]
    world = kubrel.open_world(folder)
    assert world.name == row["level_name"]
    assert world.data_version == int(row["data_version"])
    overworld = pathlib.Path(world.region_files()[0]).parent
    # The first chunk: non-air count, top states, biomes.
    lx, lz = map(int, row["c00_chunk_local"].split(","))
    chunk = world.load_chunk(lx, lz)
    counts = counts_of(chunk)
    assert sum(n for state, n in counts.items() if state not in AIR) == int(row["c00_nonair"])
    for state, n in facts(row["c00_top3_nonair"]):
        assert counts[state] == n, state
    biomes = chunk.biomes
    if row["c00_biomes"].startswith("len="):
        layer = Counter(np.array(biomes.palette)[biomes.blocks[0]].ravel().tolist())
        assert layer == numeric_biomes(row["c00_biomes"], GAME_BIOMES.get)
    elif row["c00_biomes"]:
        cells = np.bincount(biomes.blocks.ravel(), minlength=len(biomes.palette)) // 64
        assert {name: int(n) for name, n in zip(biomes.palette, cells) if n} == dict(
            facts(row["c00_biomes"])
        )
    # Region totals by the count that builds no volume, and chunks present.
    for name, (chunks, nonair) in region_totals(row).items():
        path = (overworld.parent if name.startswith("region/") else folder) / name
        counted = kubrel.world.count_region(path)
        assert all("legacy=True" in message for _, _, message in counted.errors), name
        by_state = dict(zip(counted.states, counted.counts[0].tolist()))
        assert sum(n for s, n in by_state.items() if s not in AIR) == nonair, name
        by_y = kubrel.world.count_region(path, by="y")
        assert by_y.counts.sum() == counted.counts.sum() and list(by_y.keys) == sorted(by_y.keys)
    assert len([c for c in world.chunks() if c[0] // 32 == 0 and c[1] // 32 == 0]) == int(
        row["r00_summary"].split()[0]
    )
    # Every stored WORLD_SURFACE heightmap of r.0.0 against the blocks read.
    checked = 0
    region = str(overworld / "r.0.0.mca")
    sections = kubrel.world.count_region(region, "chunk").keys
    with_blocks = {(int(cx), int(cz)) for cx, _, cz in sections}
    in_r00 = (c for c in world.chunks() if not (c[0] // 32 or c[1] // 32))
    for cx, cz in itertools.islice(in_r00, SMALL_RUN_CHUNKS):
        version, longs = kubrel._native.world_surface(region, cx, cz)
        vol = world.load_chunk(cx, cz)
        solid = ~np.isin(np.array(vol.palette), list(AIR))[vol.blocks]
        if not longs or (cx, cz) not in with_blocks:
            continue
        floor = -64 if version >= 2825 else 0
        column_has = solid.any(axis=0)
        top = solid.shape[0] - 1 - np.argmax(solid[::-1], axis=0)
        expect = np.where(column_has, vol.origin[1] + top + 1 - floor, 0)
        assert unpack_heightmap(longs, version) == expect.ravel().tolist(), (cx, cz)
        checked += 1
    if "equals decoded" in row["heightmap_check"] and SMALL_RUN_CHUNKS is None:
        assert checked == int(re.search(r"in (\d+)/", row["heightmap_check"])[1])
    # A box exported as Sponge v3 and Litematica reads back the same.
    if row["short_name"] in EXPORTS:
        dimension, box = EXPORTS[row["short_name"]]
        vol = world.load(box, dimension=dimension)
        assert vol.size == tuple(b - a for a, b in zip(*box)) and vol.origin == box[0]
        assert len(vol.block_entities) + len(vol.entities) > 0
        for suffix in ("schem", "litematic"):
            path = tmp_path / f"box.{suffix}"
            vol.save(path)
            back = kubrel.load(path)
            states = np.array(back.palette)[back.blocks]
            assert np.array_equal(states, np.array(vol.palette)[vol.blocks])
            assert sorted(b.position for b in back.block_entities) == sorted(
                b.position for b in vol.block_entities
            )
            assert [b.data for b in sorted(back.block_entities, key=lambda b: b.position)] == [
                b.data for b in sorted(vol.block_entities, key=lambda b: b.position)
            ]
            assert sorted(str(e.data["id"]) for e in back.entities) == sorted(
                str(e.data["id"]) for e in vol.entities
            )
            assert np.allclose(
                sorted(e.position for e in back.entities), sorted(e.position for e in vol.entities)
            )


NUMBERED = [row for row in manifest_rows(WORLDS) if row not in MODERN]


@pytest.mark.parametrize("row", NUMBERED, ids=[row["short_name"] for row in NUMBERED])
def test_numbered_world_matches_its_facts(row):
    """Worlds from before 1.13 are refused unless read as numbered states, which then give the
    facts' "id:data(name)" counts with "#" before them."""
    folder = WORLDS / row["short_name"]
    lx, lz = map(int, row["c00_chunk_local"].split(","))
    with pytest.raises(kubrel.KubrelError, match=r"^chunk at \(\d+, \d+\): .*legacy=True"):
        kubrel.open_world(folder).load_chunk(lx, lz)
    chunk = kubrel.open_world(folder, legacy=True).load_chunk(lx, lz)
    counts = counts_of(chunk)
    layer = Counter(np.array(chunk.biomes.palette)[chunk.biomes.blocks[0]].ravel().tolist())
    assert layer == numeric_biomes(row["c00_biomes"], lambda n: f"#{n}")
    assert sum(n for state, n in counts.items() if state not in AIR) == int(row["c00_nonair"])
    for state, n in facts(row["c00_top3_nonair"]):
        assert counts["#" + state] == n, state
    for name, (_, nonair) in region_totals(row).items():
        counted = kubrel.world.count_region(folder / name, legacy_world=folder)
        assert not counted.errors, name
        by_state = dict(zip(counted.states, counted.counts[0].tolist()))
        assert sum(n for s, n in by_state.items() if s not in AIR) == nonair, name
        if name == "region/r.0.0.mca" and row["r00_ids_ge_256"]:
            numbered = {s: n for s, n in by_state.items() if s.startswith("#")}
            high = {s: n for s, n in numbered.items() if int(s[1:].split(":")[0]) >= 256}
            total, top = re.match(r"(\d+) blocks; top: (.*)", row["r00_ids_ge_256"]).groups()
            assert sum(high.values()) == int(total)
            assert all(high["#" + state] == n for state, n in facts(top))


ALL_WORLDS = manifest_rows(WORLDS)
FOLDER_DIMENSIONS = {"region": "minecraft:overworld", "DIM1/region": "minecraft:the_end",
                     "DIM-1/region": "minecraft:the_nether",
                     "dimensions/minecraft/overworld/region": "minecraft:overworld"}


@pytest.mark.parametrize("row", ALL_WORLDS, ids=[row["short_name"] for row in ALL_WORLDS])
def test_chunk_versions_match_the_facts(row):
    """Each dimension's chunks counted by data version, worlds of several versions included."""
    world = kubrel.open_world(WORLDS / row["short_name"])
    for part in row["chunk_dataversions_by_folder"].split(" | "):
        folder, _, summary = part.partition(": ")
        if folder in FOLDER_DIMENSIONS:
            stored = re.search(r"DataVersions \{(.*)\}", summary)[1]
            expect = {None if k == "None" else int(k): int(v)
                      for k, v in (pair.split(": ") for pair in stored.split(", "))}
            assert world.chunk_versions(FOLDER_DIMENSIONS[folder]) == expect, folder
