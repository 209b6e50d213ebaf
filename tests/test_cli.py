"""The kubrel command and the collection jobs: command lines with their expected output over the
examples and generated files, and scan and dataset on a real Dask cluster against the local run.
Skipped where the `cli` extra (or, for the cluster, the `dask` extra) is not installed."""

import collections
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

for module in ("click", "rich", "pyarrow", "zarr", "PIL"):
    pytest.importorskip(module)

import kubrel
import pyarrow.parquet as pq
import writers
from conftest import CORPUS, REPO
from kubrel.collection import processes, runner
from kubrel.render import render

INFO_HEADER = "file\tformat\tsize\torigin\tdata version\tblocks\tpalette\tblock entities\tentities"
TOWER_STATES = ["minecraft:stone", "create:shaft[axis=y]", "create:shaft[axis=y]"]


@pytest.fixture(scope="module")
def collection(tmp_path_factory):
    """The examples, a tower with a modded state in a subfolder, a broken and an empty schematic,
    and a text file that folder walks leave out."""
    folder = tmp_path_factory.mktemp("collection")
    for name in ("hut.schem", "hut.nbt", "hut.kbr"):
        shutil.copy(REPO / "examples" / name, folder / name)
    (folder / "deep").mkdir()
    palette = {"minecraft:air": 0, TOWER_STATES[0]: 1, TOWER_STATES[1]: 2}
    tower = writers.sponge((1, 3, 1), palette, [1, 2, 2])
    (folder / "deep" / "tower.schem").write_bytes(writers.gz(tower))
    (folder / "broken.schem").write_bytes(writers.gz(b"not a schematic"))
    (folder / "empty.schem").write_bytes(b"")
    (folder / "notes.txt").write_text("not a schematic either")
    (folder / "readonly").mkdir(mode=0o555)
    writers.world(folder / "saves" / "Hut", WORLD_CHUNKS)
    return folder


STONE_BELOW_2 = [1 if index < 512 else 0 for index in range(4096)]
WORLD_CHUNKS = {
    (0, 0): [(-1, ["minecraft:deepslate"], None), (0, ["minecraft:air", "minecraft:stone"], STONE_BELOW_2)],
    (1, 0): [(0, ["minecraft:oak_planks"], None)],
    (-1, -1): [(0, ["minecraft:air", "minecraft:glass"], [1] + [0] * 4095)],
}
WORLD_COUNTS = {"minecraft:deepslate": 4096, "minecraft:stone": 512, "minecraft:air": 3584 + 4095,
                "minecraft:oak_planks": 4096, "minecraft:glass": 1}


def kubrel_command(args, cwd, hidden=(), env=None, wrap=(), umask=-1):
    """Runs the command's entry point in a fresh interpreter in `cwd`, with the `hidden` modules
    made unimportable (as if their extra were not installed), under the command line `wrap`."""
    prelude = (
        "import sys\n"
        f"for name in {list(hidden)!r}: sys.modules[name] = None\n"
        "from kubrel.cli import main\n"
        "sys.argv[0] = 'kubrel'\n"
        "main()\n"
    )
    return subprocess.run(
        [*wrap, sys.executable, "-c", prelude, *args],
        cwd=cwd,
        capture_output=True,
        text=True,
        env=env,
        umask=umask,
    )


# (command line, modules hidden, exit status, standard output, standard error); outputs are
# regular expressions matched against the whole text.
COMMANDS = [
    (
        "info hut.schem hut.nbt hut.kbr deep/tower.schem",
        (),
        0,
        re.escape(
            f"{INFO_HEADER}\n"
            "hut.schem\tsponge v3\t5×4×5\t0, 0, 0\t3465\t81\t6\t0\t0\n"
            "hut.nbt\tstructure\t5×4×5\t0, 0, 0\t3465\t81\t6\t0\t0\n"
            "hut.kbr\tkbr v1\t5×4×5\t0, 0, 0\t-\t81\t6\t0\t0\n"
            "deep/tower.schem\tsponge v2\t1×3×1\t0, 0, 0\t-\t3\t2\t0\t0\n"
        ),
        "",
    ),
    (
        "info --json deep/tower.schem",
        (),
        0,
        re.escape(
            json.dumps(
                [
                    {
                        "path": "deep/tower.schem",
                        "format": "sponge",
                        "version": 2,
                        "data_version": None,
                        "size": [1, 3, 1],
                        "origin": [0, 0, 0],
                        "block_count": 3,
                        "palette_size": 2,
                        "block_entities": 0,
                        "entities": 0,
                    }
                ],
                indent=2,
            )
            + "\n"
        ),
        "",
    ),
    (
        "info hut.schem missing.schem broken.schem",
        (),
        1,
        re.escape(f"{INFO_HEADER}\nhut.schem\tsponge v3\t5×4×5\t0, 0, 0\t3465\t81\t6\t0\t0\n"),
        "kubrel: missing.schem: No such file or directory\nkubrel: broken.schem: [^\n]+\n",
    ),
    (
        "materials --states hut.schem",
        (),
        0,
        re.escape(
            "state\tcount\n"
            "minecraft:oak_planks\t28\n"
            "minecraft:cobblestone\t25\n"
            "minecraft:oak_slab[type=bottom,waterlogged=false]\t25\n"
            "minecraft:glass_pane[east=false,north=true,south=true,west=false]\t2\n"
            "minecraft:torch\t1\n"
        ),
        "",
    ),
    (
        "materials --states --by-name --csv hut.kbr",
        (),
        0,
        re.escape(
            "block,count\nminecraft:oak_planks,28\nminecraft:cobblestone,25\n"
            "minecraft:oak_slab,25\nminecraft:glass_pane,2\nminecraft:torch,1\n"
        ),
        "",
    ),
    (
        "materials --json deep/tower.schem",
        (),
        0,
        re.escape('{\n  "create:shaft": 2,\n  "minecraft:stone": 1\n}\n'),
        "",
    ),
    ("materials notes.txt", (), 1, "", "kubrel: notes.txt: [^\n]+\n"),
    ("materials --csv --json hut.schem", (), 2, "", "(?s).*--csv and --json exclude each other.*"),
    # Items over two files: each file's blocks together, in stacks and shulker boxes.
    (
        "materials hut.schem hut.nbt",
        (),
        0,
        re.escape(
            "item\tcount\tstacks\n"
            "minecraft:oak_planks\t56\t56 (0.04 boxes)\n"
            "minecraft:cobblestone\t50\t50 (0.04 boxes)\n"
            "minecraft:oak_slab\t50\t50 (0.04 boxes)\n"
            "minecraft:glass_pane\t4\t4 (0.04 boxes)\n"
            "minecraft:torch\t2\t2 (0.04 boxes)\n"
        ),
        "",
    ),
    ("info --json hut.nbt", (), 0, r'(?s).*"format": "structure",\n    "version": null,.*', ""),
    # A terminal of 120 columns: the path is shown whole on one line, and the table is not cut at its right.
    (
        "TTY_COMPATIBLE=1 COLUMNS=120 info deep/../deep/../deep/tower.schem hut.kbr",
        (), 0, r"(?s).* deep/\.\./deep/\.\./deep/tower\.schem .*┘\n", "",
    ),
    ("_KUBREL_COMPLETE=bash_source", (), 0, r"(?s).*\n *complete [^\n]*-F _kubrel_completion kubrel\n.*", ""),
    ("--help", (), 0, r"(?s).*Litematica.*\n  Examples:\n(    kubrel [^\n]+\n){3}", ""),
    ("--version", (), 0, r"kubrel, version \S+ \(inflaters: ((isa-l|libdeflate), )*zlib\)\n|"
     r"kubrel, version \S+ \(inflaters: isa-l, libdeflate\)\n", ""),
    *(
        (f"{name} --help", (), 0, rf"(?s).*\n  Examples:\n(    kubrel {name} [^\n]+\n){{2,3}}", "")
        for name in ("info", "materials", "convert", "transform", "render", "view", "scan", "dataset")
    ),
    (
        "info http_hut.schem",
        (),
        1,
        re.escape(f"{INFO_HEADER}\n"),
        "kubrel: http_hut.schem: No such file or directory\n",
    ),
    ("materials", (), 2, "", "(?s).*Missing argument 'FILES...'.*"),
    ("render hut.schem -o hut.png", (), 0, "hut.png\n", ""),
    ("view hut.schem -o hut.html", (), 0, "hut.html\n", ""),
    ("view hut.schem -o nowhere/hut.html", (), 1, "", "kubrel: nowhere/hut.html: No such file or directory\n"),
    (
        "render hut.schem -o b.png --size 90x60 --angle 270 --background #fff --slice 2",
        (), 0, "b.png\n", "",
    ),
    ("render hut.schem --size 9000", (), 1, "", "kubrel: size 9000x[0-9]+: at most 8192 .*\n"),
    ("render hut.schem --size 12y4", (), 2, "", "(?s).*Invalid value for '--size': expected N or WxH.*"),
    ("render hut.schem --background 1,2", (), 2, "", "(?s).*expected checker, #RRGGBB or R,G,B.*"),
    ("render hut.schem --angle up", (), 2, "", "(?s).*Invalid value for '--angle'.*"),
    (
        "render hut.schem -o nowhere/hut.png",
        (),
        1,
        "",
        "kubrel: nowhere/hut.png: No such file or directory\n",
    ),
    (
        "render hut.schem",
        ("PIL",),
        1,
        "",
        re.escape("kubrel: this needs PIL, which is not installed: pip install 'kubrel[cli]'\n"),
    ),
    (
        "info hut.schem",
        ("click",),
        1,
        "",
        re.escape("kubrel: this needs click, which is not installed: pip install 'kubrel[cli]'\n"),
    ),
    (
        "scan . -o stats.parquet --jobs 2",
        (),
        0,
        "",
        r"(?s).*stats\.parquet: 6 files scanned in [0-9.]+ s \([0-9,]+ files/s\), 2 with errors\n",
    ),
    (
        "scan . -o stats.parquet --dask local",
        ("distributed",),
        1,
        "",
        re.escape(
            "kubrel: this needs distributed, which is not installed: pip install 'kubrel[dask]'\n"
        ),
    ),
    (
        "dataset . -o voxels.zarr --window 4 --jobs 1",
        (),
        0,
        "",
        r"(?s).*voxels\.zarr: 13 windows from 6 files, 2 with errors\n",
    ),
    ("dataset . -o notes.txt", (), 1, "", r"kubrel: \S+notes\.txt exists and is not a dataset[^\n]*\n"),
    # Usage errors before any work: one line, the system's reason, nothing left behind.
    *(
        (f"{line} -o {output}", (), 1, "", re.escape(f"kubrel: {blamed}: {reason}\n"))
        for line, output, blamed, reason in [
            ("scan /nonexistent", "stats.parquet", "/nonexistent", "No such file or directory"),
            ("dataset . /nonexistent", "voxels.zarr", "/nonexistent", "No such file or directory"),
            ("scan .", "nowhere/x.parquet", "nowhere/x.parquet", "No such file or directory"),
            ("scan .", "deep", "deep", "Is a directory"),
            ("scan .", "notes.txt/stats.parquet", "notes.txt/stats.parquet", "Not a directory"),
            ("dataset .", "notes.txt/voxels.zarr", "notes.txt/voxels.zarr", "Not a directory"),
        ]
    ),
    ("info http://example.invalid/hut.schem", (), 1, "file\tformat\tsize\torigin\tdata version\tblocks\tpalette\tblock entities\tentities\n",
     "kubrel: http://example.invalid/hut.schem: NotImplementedError: HTTP not linked\n"),
    # Nothing listens there: refused at once, or given up after the connect timeout when the
    # machine is too busy to hear the refusal in time; one line either way.
    ("scan . --dask tcp://127.0.0.1:9 -o x.parquet", (), 1, "",
     r"kubrel: tcp://127\.0\.0\.1:9: (Connection refused|Timed out[^\n]*)\n"),
    *(
        pytest.param(
            f"{job} . -o readonly/{output}", (), 1, "",
            re.escape(f"kubrel: readonly/{output}: Permission denied\n"),
            marks=pytest.mark.skipif(os.geteuid() == 0, reason="root may write anywhere"),
        )
        for job, output in [("scan", "stats.parquet"), ("dataset", "voxels.zarr")]
    ),
    (
        "dataset . -o voxels8.zarr --window 4 --jobs 1 --augment 8",
        (),
        0,
        "",
        r"(?s).*voxels8\.zarr: 104 windows from 6 files, 2 with errors\n",
    ),
    # Written beside the collection, which the scans walk.
    ("convert hut.schem ../copy.kbr", (), 0, "", ""),
    ("transform hut.schem ../turned.nbt --rotate 90 --mirror x --trim", (), 0, "", ""),
    (
        "transform hut.schem ../sideways.schem --rotate -90 --axis x --replace minecraft:torch=minecraft:stone",
        (), 0, "", r"kubrel: warning: 2 cannot follow the turn, left as they were: [^\n]*oak_slab[^\n]*\n",
    ),
    ("transform hut.schem ../x.schem --rotate 90 --axis z --strict", (), 1, "", r"kubrel: hut\.schem: 1 cannot[^\n]*oak_slab[^\n]*\n"),
    ("transform hut.schem ../x.schem --rotate 45", (), 1, "", "kubrel: --rotate takes a multiple of 90, not 45\n"),
    ("transform hut.schem ../x.schem --crop 1,1,1", (), 2, "", "(?s).*expected X0,Y0,Z0,X1,Y1,Z1.*"),
    ("convert hut.schem ../copy.litematic --drop-entities", (), 0, "", ""),
    ("convert ../copy.litematic ../region.nbt --region kubrel", (), 0, "", "left out metadata [^\n]*\n"),
    (
        "convert ../copy.litematic ../region.nbt --region nosuch", (), 1, "",
        re.escape('kubrel: ../copy.litematic: no region named "nosuch" (the file has "kubrel")\n'),
    ),
    *(
        pytest.param(
            f"convert {CORPUS}/structure/vanilla-1.20.1__shipwreck__with_mast.nbt {line}", (),
            status, "", error, marks=pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus"),
        )
        for line, status, error in [
            ("../ship.kbr", 1, r"kubrel: \.\./ship\.kbr: KBR holds [^\n]* 6 block entities and 0 entities; add --drop-entities to leave them out\n"),
            ("../ship.kbr --drop-entities", 0, "left out 6 block entities and 0 entities; 7 other palettes\n"),
            ("../ship.nbt --palette 7", 0, ""),
            ("../ship.nbt --palette 8", 1, r"kubrel: \S+: structure file: palette 8 was asked for, but the file has 8\n"),
        ]
    ),
    ("convert hut.schem ../piece --pieces 3", (), 0, r"(\.\./piece_[03]_[03]_[03]\.nbt\n){8}", ""),
    (
        "world info saves/Hut",
        (),
        0,
        re.escape("world\tname\tgame\tdata version\tdimension\tchunks\tregion files\ton disk\n"
                  "saves/Hut\tHut\t-\t3465\tminecraft:overworld\t3\t2\t28.0 KiB\n"),
        "",
    ),
    ("world info --versions saves/Hut", (), 0, r".*\tchunks by data version\n.*\t3465: 3\n", ""),
    ("world info deep", (), 1, "", r"kubrel: deep: [^\n]*level\.dat[^\n]*\n"),
    ("world export saves/Hut --box 0,0,0:0,1,1 x.schem", (), 2, "", r"(?s).*'0,0,0:0,1,1' is empty.*"),
    ("world export saves/Hut --box 0,0:1,1 x.schem", (), 2, "", r"(?s).*is not x0,y0,z0:x1,y1,z1.*"),
    (
        "world export saves/Hut --box 0,0,0:1,1,1 x.schem --dimension minecraft:the_nether",
        (),
        1,
        "",
        "kubrel: saves/Hut has no dimension minecraft:the_nether; it has minecraft:overworld\n",
    ),
    ("world export saves/Hut --box 0,0,0:1,1,1 x.txt", (), 1, "", r"kubrel: x\.txt: name --format[^\n]*\n"),
    ("world export saves/Hut --box 0,0,0:1,1,1 saves/Hut/level.dat --format kbr", (), 1, "", r"kubrel: saves/Hut/level\.dat: is the input [^\n]*--in-place[^\n]*\n"),
    ("world scan saves -o saves/Hut/region/r.0.0.mca", (), 1, "", r"kubrel: saves/Hut/region/r\.0\.0\.mca: is the input [^\n]*\n"),
    (
        "convert hut.schem nowhere/copy.nbt",
        (),
        1,
        "",
        "kubrel: nowhere/copy.nbt: No such file or directory\n",
    ),
    (
        "convert hut.schem copy --pieces 3 --format kbr",
        (),
        1,
        "",
        "kubrel: pieces are structure files: leave out --format or name 'structure'\n",
    ),
]


@pytest.mark.parametrize(
    "line, hidden, status, stdout, stderr",
    COMMANDS,
    ids=[
        line + "".join(f" without {name}" for name in hidden)
        for line, hidden, *_ in (getattr(row, "values", row) for row in COMMANDS)
    ],
)
def test_command(collection, line, hidden, status, stdout, stderr):
    # Leading NAME=value words are the command's environment, as a shell takes them.
    words = line.split()
    env = dict(os.environ)
    while words and re.fullmatch(r"[A-Z_]+=\S*", words[0]):
        name, _, value = words.pop(0).partition("=")
        env[name] = value
    done = kubrel_command(words, collection, hidden, env)
    assert done.returncode == status, done.stderr
    assert re.fullmatch(stdout, done.stdout), done.stdout
    assert re.fullmatch(stderr, done.stderr), done.stderr
    assert not [path.name for path in collection.rglob(".kubrel-*")]


def test_render_colours(collection, tmp_path):
    """Pictures show the table's colours, and an unknown block gets the same colour whatever the
    interpreter's hash seed."""
    image = pytest.importorskip("PIL.Image")
    pictures = []
    for seed in ("1", "2"):
        output = tmp_path / f"tower-{seed}.png"
        env = {**os.environ, "PYTHONHASHSEED": seed}
        done = kubrel_command(["render", "deep/tower.schem", "-o", str(output)], collection, (), env)
        assert done.returncode == 0, done.stderr
        pictures.append(output.read_bytes())
    assert pictures[0] == pictures[1]
    hut = render(kubrel.load(collection / "hut.schem"))
    colours = {colour for _count, colour in hut.getcolors(1 << 20)}
    # The slab roof, seen from straight above at the volume's top.
    assert (162, 130, 78) in colours


WHITE, BLACK = (233, 236, 236), (20, 21, 25)


def side(rgb, light=0.6):
    """A colour as the isometric view lights the side facing +x."""
    return tuple(int(value * light) for value in rgb)


# (blocks[y, z, x] as palette indices, render options, picture size, colours there, colours not).
# The two-block row is white wool west of black wool: which one shows its side on the right
# depends on the corner looked from.
PICTURES = [
    ("hut", {}, (528, 320), [(162, 130, 78)], []),
    ("hut", {"size": 300}, (300, 183), [], []),
    ("hut", {"size": (640, 200), "background": (255, 0, 255)}, (640, 200), [(255, 0, 255)], []),
    ("hut", {"slice": 0}, None, [], [(162, 130, 78)]),
    (np.zeros((0, 0, 0), np.uint8), {"background": (1, 2, 3)}, None, [(1, 2, 3)], [WHITE]),
    (np.zeros((3, 0, 3), np.uint8), {"size": 64, "background": (1, 2, 3)}, None, [(1, 2, 3)], []),
    (np.array([[[1, 2]]], np.uint8), {}, None, [side(BLACK)], [side(WHITE)]),
    (np.array([[[1, 2]]], np.uint8), {"angle": "nw"}, None, [side(WHITE)], [side(BLACK)]),
    (np.array([[[1, 2]]], np.uint8), {"angle": 90}, None, [side(WHITE, 0.78)], []),
    # Too wide for a sprite a block: each block is a point, and the picture stays within its size.
    (np.full((2, 1, 30000), 1, np.uint8), {"size": 2000}, (2000, 520), [WHITE], []),
]


@pytest.mark.parametrize("blocks, options, size, present, absent", PICTURES)
def test_render_pictures(collection, blocks, options, size, present, absent):
    if isinstance(blocks, str):
        volume = kubrel.load(collection / f"{blocks}.schem")
    else:
        palette = ["minecraft:air", "minecraft:white_wool", "minecraft:black_wool"]
        xyz = blocks.shape[2:] + blocks.shape[:2]
        volume = kubrel.Volume(blocks, palette, (0, 0, 0), xyz, "sponge", 3, None)
    image = volume.render(**options)
    assert size is None or image.size == size
    colours = {colour for _count, colour in image.getcolors(1 << 24)}
    assert set(present) <= colours and not set(absent) & colours, sorted(colours)[:20]


# Real builds of the corpus and items counted by hand from their states: a door's two blocks are
# one door, a bed's two one bed, a wall torch a torch, a double slab two slabs, candles as many
# as each block holds.
HAND_COUNTED = [
    ("structure/vanilla-25w34b__village__plains__houses__plains_small_house_1.nbt", "",
     {"oak_door": 1, "white_bed": 1, "torch": 3, "oak_stairs": 49, "glass_pane": 3, "cobblestone": 43}),
    ("sponge/v2__thorinwasher__test_house_noMetadata.schem", "",
     {"oak_door": 1, "yellow_bed": 1, "torch": 2, "tall_grass": 1, "wall_torch": None, "air": None}),
    ("structure/vanilla-25w34b__ruined_portal__giant_portal_1.nbt", "", {"stone_brick_slab": 39}),
    ("structure/vanilla-25w34b__ancient_city__structures__sauna_1.nbt", "", {"white_candle": 62}),
    # Potted plants are a pot and the plant, a redstone torch on a wall a redstone torch, water
    # no item.
    ("sponge/v3__root-wars__The_Depot.schem", "",
     {"flower_pot": 33, "bamboo": 4, "mangrove_propagule": 6, "redstone_torch": 10, "water": None}),
    # What its one chest holds, and the chest itself among the blocks.
    ("sponge/v2__IridiumSkyblock__mushroom_nether.schem", "--contents",
     {"netherrack": 64, "glowstone": 16, "soul_sand": 16, "soul_soil": 16, "nether_wart": 4, "chest": None}),
]


@pytest.mark.skipif(not CORPUS.is_dir(), reason="the real corpus is absent")
@pytest.mark.parametrize(
    "name, options, expected", HAND_COUNTED, ids=[name + options for name, options, _ in HAND_COUNTED]
)
def test_materials_of_real_builds(name, options, expected):
    done = kubrel_command(["materials", "--json", *options.split(), str(CORPUS / name)], REPO)
    assert done.returncode == 0, done.stderr
    items = json.loads(done.stdout)
    assert {item: items.get(f"minecraft:{item}") for item in expected} == expected


def refused(output, input):
    return re.escape(f"kubrel: {output}: is the input {input}; add --in-place to replace it\n")


# Rows of the tables below: (command line, files made beside a.schem (a Sponge v2 tower) and
# hut.nbt, exit status, standard error, what each named file is afterwards). A made file is
# "->x" (a symbolic link to x), "=x" (a hard link to x), "dir", bytes, a copy of hut.nbt with a
# mode, or "ro" (a read-only file system mounted there). Afterwards a file is "same" (its bytes
# unchanged), "tower" (now holds a.schem's blocks), "v3" (that, as Sponge v3), "link" or a mode.
# A row of stone longer than a structure block loads.
LONG = writers.gz(writers.sponge((49, 1, 1), {"minecraft:stone": 0}, [0] * 49))
OVERWRITE = [
    ("convert a.schem a.schem", {}, 1, refused("a.schem", "a.schem"), {"a.schem": "same"}),
    ("convert a.schem ./a.schem", {}, 1, refused("./a.schem", "a.schem"), {"a.schem": "same"}),
    ("convert a.schem ../work/a.schem", {}, 1, refused("../work/a.schem", "a.schem"), {}),
    ("convert a.schem {dir}/a.schem", {}, 1, r"kubrel: /\S+/a\.schem: is the input a\.schem;.*\n", {}),
    ("convert link.schem a.schem", {"link.schem": "->a.schem"}, 1, refused("a.schem", "link.schem"), {}),
    ("convert a.schem hard.schem", {"hard.schem": "=a.schem"}, 1, refused("hard.schem", "a.schem"), {}),
    ("convert hut_3_0_0.nbt hut --pieces 3", {"hut_3_0_0.nbt": "=hut.nbt"}, 1, refused("hut_3_0_0.nbt", "hut_3_0_0.nbt"), {"hut.nbt": "same"}),
    ("render a.schem -o a.schem", {}, 1, refused("a.schem", "a.schem"), {"a.schem": "same"}),
    ("view a.schem -o a.schem", {}, 1, refused("a.schem", "a.schem"), {"a.schem": "same"}),
    ("scan a.schem -o a.schem", {}, 1, refused("a.schem", "a.schem"), {"a.schem": "same"}),
    ("scan . -o hut.nbt", {}, 1, refused("hut.nbt", "./hut.nbt"), {"hut.nbt": "same"}),
    ("dataset set.zarr/x.schem -o set.zarr", {"set.zarr/x.schem": "=a.schem"}, 1, refused("set.zarr", "set.zarr/x.schem"), {}),
    ("convert a.schem a.schem --in-place --data-version 3465", {}, 0, "", {"a.schem": "v3"}),
    # Beside the files scanned, but not one of them.
    ("scan . -o notes.txt", {"notes.txt": b"notes"}, 0, r"(?s).*notes\.txt: 2 files scanned.*", {}),
]
SAVE_OVER = [
    ("convert a.schem new.nbt", {}, 0, "", {"new.nbt": 0o640}),
    ("scan a.schem -o stats.parquet", {}, 0, "(?s).*", {"stats.parquet": 0o640}),
    ("convert a.schem hut.nbt", {"hut.nbt": 0o600}, 0, "", {"hut.nbt": (0o600, "tower")}),
    ("convert a.schem link.nbt", {"link.nbt": "->hut.nbt"}, 0, "", {"link.nbt": "link", "hut.nbt": "tower"}),
    ("convert a.schem hut.nbt", {"hut.nbt": 0o444}, 1, "kubrel: hut.nbt: Permission denied\n", {"hut.nbt": (0o444, "same")}),
    ("convert a.schem hut.nbt --force", {"hut.nbt": 0o444}, 0, "", {"hut.nbt": (0o444, "tower")}),
    ("convert a.schem hut --pieces 2", {"hut_0_2_0.nbt": 0o400}, 1, "kubrel: hut: Permission denied\n", {"hut_0_2_0.nbt": "same"}),
    ("convert a.schem hut --pieces 2 --force", {"hut_0_2_0.nbt": 0o400}, 0, "", {"hut_0_2_0.nbt": 0o400, "hut_0_0_0.nbt": 0o640}),
    # A stem naming a folder: the pieces go beside it.
    ("convert a.schem out --pieces 2", {"out": "dir"}, 0, "", {"out_0_0_0.nbt": 0o640, "out_0_2_0.nbt": 0o640}),
    # Pieces are named after the target without its suffix.
    ("convert a.schem lobby.nbt --pieces 2", {}, 0, "", {"lobby_0_2_0.nbt": 0o640, "lobby.nbt_0_0_0.nbt": "gone"}),
    ("convert a.schem b.schem --version 2 --data-version 3465", {}, 0, "", {"b.schem": "v2"}),
    ("convert a.schem b.nbt --version 2", {}, 1, "kubrel: --version is the Sponge version: write a .schem or name --format sponge\n", {"b.nbt": "gone"}),
    # Folders converted in their layout; a second run with --resume keeps what is up to date.
    (
        "convert . --to structure -o out --jobs 2", {"sub/b.schem": "=a.schem"}, 0,
        r"(?s).*out: 3 written, 0 kept as up to date, 0 with errors, in [0-9.]+ s\n",
        {"out/a.nbt": "tower", "out/sub/b.nbt": "tower", "out/hut.nbt": 0o640},
    ),
    (
        "convert . --to structure -o out --resume", {"out/a.nbt": b"not old"}, 0,
        r"(?s).*out: 1 written, 1 kept as up to date, 0 with errors, in [0-9.]+ s\n",
        {"out/a.nbt": "same", "out/hut.nbt": 0o640},
    ),
    (
        "convert a.schem bad.schem --to sponge -o out --jobs 1 --data-version 3465", {"bad.schem": b"bad"}, 1,
        r"(?s).*out: 1 written, 0 kept as up to date, 1 with errors, in [0-9.]+ s\n",
        {"out/a.schem": "v3", "out/bad.schem": "gone"},
    ),
    # Larger than the game's structure block loads: written, with a warning.
    (
        "convert long.schem long.nbt", {"long.schem": LONG}, 0,
        r"kubrel: warning: long\.nbt is 49×1×1: the game's structure block loads at most 48 [^\n]*--pieces 48[^\n]*\n",
        {"long.nbt": 0o640},
    ),
]
WRITE_ERRORS = [
    ("convert missing.schem out.nbt", {}, 1, "kubrel: missing.schem: No such file or directory\n", {}),
    ("convert bad.schem out.nbt", {"bad.schem": b"bad"}, 1, r"kubrel: bad\.schem: not a schematic[^\n]+\n", {}),
    ("convert a.schem out --format structure", {"out": "dir"}, 1, "kubrel: out: Is a directory\n", {}),
    ("convert a.schem ro/out.nbt", {"ro": "ro"}, 1, "kubrel: ro/out.nbt: Read-only file system\n", {}),
    ("render a.schem -o ro/a.png", {"ro": "ro"}, 1, "kubrel: ro/a.png: Read-only file system\n", {}),
]
READ_ONLY_MOUNT = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o ro tmpfs ro && exec "$@"', "sh"]


def _make(folder, name, what):
    path = folder / name
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(what, bytes):
        path.write_bytes(what)
    elif isinstance(what, int):
        if not path.exists():
            shutil.copy(folder / "hut.nbt", path)
        path.chmod(what)
    elif what.startswith("->"):
        path.symlink_to(what[2:])
    elif what.startswith("="):
        os.link(folder / what[1:], path)
    else:  # "dir" or "ro"
        path.mkdir()


TABLES = {"overwrite": OVERWRITE, "save over": SAVE_OVER, "error": WRITE_ERRORS}


@pytest.mark.parametrize(
    "line, made, status, stderr, after",
    [row for rows in TABLES.values() for row in rows],
    ids=[f"{kind}: {row[0]} {' '.join(row[1])}" for kind, rows in TABLES.items() for row in rows],
)
def test_outputs(collection, tmp_path, line, made, status, stderr, after):
    """Commands never replace what they read unless asked, save over files keeping their mode and
    links and refusing read-only ones unless forced, and blame the file that failed, with the
    system's own reason."""
    folder = tmp_path / "work"
    folder.mkdir()
    shutil.copy(collection / "deep" / "tower.schem", folder / "a.schem")
    shutil.copy(collection / "hut.nbt", folder / "hut.nbt")
    for name, what in made.items():
        _make(folder, name, what)
    ro = "ro" in made.values()
    if ro and subprocess.run([*READ_ONLY_MOUNT, "true"], cwd=folder).returncode != 0:
        pytest.skip("no read-only file system can be mounted here")
    before = {path: path.read_bytes() for path in folder.rglob("*") if path.is_file()}
    args = line.format(dir=folder).split()
    done = kubrel_command(args, folder, wrap=READ_ONLY_MOUNT if ro else (), umask=0o027)
    assert done.returncode == status, done.stderr
    assert re.fullmatch(stderr, done.stderr), done.stderr
    for name, expected in after.items():
        path = folder / name
        for check in expected if isinstance(expected, tuple) else (expected,):
            if check == "same":
                assert path.read_bytes() == before[path], name
            elif check == "link":
                assert path.is_symlink(), name
            elif check == "gone":
                assert not path.exists(), name
            elif isinstance(check, int):
                assert path.stat().st_mode & 0o7777 == check, name
            else:
                vol = kubrel.load(path)
                assert vol.counts() == {TOWER_STATES[1]: 2, TOWER_STATES[0]: 1}, name
                assert check == "tower" or vol.version == int(check[1:])


def _square_slowly(item, shared):
    # A few slow items make batches come back out of order from the workers.
    if item % 40 == 0:
        time.sleep(0.05)
    return item * item + shared


# Another thread running (as a progress bar's would) keeps the workers from being forked.
@pytest.mark.parametrize("jobs, other_thread", [(1, False), (2, False), (3, False), (2, True)])
def test_local_jobs_keep_the_order(jobs, other_thread):
    stop = threading.Event()
    if other_thread:
        threading.Thread(target=stop.wait, daemon=True).start()
    try:
        done = []
        run = runner.run(_square_slowly, iter(range(300)), 300, 7, jobs=jobs, on_done=done.append)
        assert list(run) == [item * item + 7 for item in range(300)]
        assert sum(done) == 300
        gathered = runner.run(_square_slowly, iter(range(300)), 300, 0, jobs=jobs, gather=sum)
        assert sum(gathered) == sum(item * item for item in range(300))
    finally:
        stop.set()


def _fail(item, shared):
    how, job = shared
    # Every item fails in a worker (the job's own process reads from the start too), or item 150
    # when the job runs alone.
    if os.getpid() != job if job else item == 150:
        if how == "exit":
            os._exit(3)  # a worker that dies, as on a crash
        raise ValueError(f"item {item} failed")
    time.sleep(0.001)  # slow enough that the workers start before this process has read all
    return item


@pytest.mark.parametrize(
    "jobs, how, error",
    [(1, "raise", "item 150 failed"), (2, "raise", "failed"), (3, "raise", "failed"),
     (2, "exit", "a worker process ended unexpectedly")],
)
def test_local_jobs_stop_at_a_failure(jobs, how, error):
    job = os.getpid() if jobs > 1 else None
    with pytest.raises((ValueError, RuntimeError), match=error):
        list(runner.run(_fail, iter(range(300)), 300, (how, job), jobs=jobs))
    # Nothing of the failed run is left to trouble the next one.
    assert list(runner.run(_square_slowly, iter(range(50)), 50, 0, jobs=2)) == [
        item * item for item in range(50)
    ]


def _die(item, culprits):
    if item in culprits:
        os.kill(os.getpid(), signal.SIGKILL)  # as the kernel ends a process out of memory
    return item


def _lost(item, reason):
    return f"{item}: {reason}"


@pytest.mark.parametrize(
    "where, culprits",
    [("2 processes", {7}), ("3 processes", {0, 1, 100, 149}), ("cluster", {7})],
)
def test_a_dying_worker_costs_only_its_item(request, monkeypatch, where, culprits):
    """Only the item whose reading ends a worker gets `lost`'s result; the run goes on."""
    # This process never reads (it would end the test): every batch goes to a worker.
    monkeypatch.setattr(processes, "RUN_HERE_AHEAD", 0)
    on_cluster = where == "cluster"
    run = {"client": request.getfixturevalue("cluster")} if on_cluster else {"jobs": int(where[0])}
    if on_cluster:
        cloudpickle = pytest.importorskip("cloudpickle")
        cloudpickle.register_pickle_by_value(sys.modules[__name__])
    results = list(runner.run(_die, iter(range(150)), 150, culprits, lost=_lost, **run))
    reason = "the reading process ended unexpectedly" + ("" if on_cluster else " (signal 9)")
    assert results == [f"{item}: {reason}" if item in culprits else item for item in range(150)]


@pytest.fixture(scope="module")
def cluster():
    """A client of a real local cluster: two worker processes, as `--dask local --jobs 2` starts."""
    pytest.importorskip("distributed")
    from kubrel.cli.cluster import dask_client

    with dask_client("local", 2) as client:
        yield client


def test_scan_on_a_cluster(collection, cluster, tmp_path):
    """The same rows on a cluster as in local processes, a resumed scan ends with them too, and
    each row holds what load() reads."""
    local = kubrel.scan([collection], jobs=2)
    assert kubrel.scan([collection], client=cluster).equals(local)
    kubrel.scan([collection / "hut.nbt"], tmp_path / "resumed.parquet")
    resumed = kubrel.scan([collection], tmp_path / "resumed.parquet", resume=True)
    assert resumed.sort_by("path").equals(local.sort_by("path"))
    rows = {os.path.relpath(row["path"], collection): row for row in local.to_pylist()}
    assert sorted(rows) == sorted(
        ["broken.schem", "deep/tower.schem", "empty.schem", "hut.kbr", "hut.nbt", "hut.schem"]
    )
    for name, row in rows.items():
        if name in ("broken.schem", "empty.schem"):
            assert row["error"] and row["format"] is None
            continue
        volume = kubrel.load(collection / name)
        assert row["error"] is None
        assert dict(row["counts"]) == volume.counts()
        assert (row["size_x"], row["size_y"], row["size_z"]) == tuple(volume.size)


def test_dataset_on_a_cluster(collection, cluster, tmp_path):
    """The same arrays on a cluster as in local processes, and the windows, put back at their
    origins, give each volume's states."""
    zarr = pytest.importorskip("zarr")
    # The first build, of another shape in the same folder, must leave nothing behind for the next.
    runs = (
        ("here", 3, 1, None), ("here", 2, 1, None), ("local", 2, 2, None),
        ("cluster", 2, 2, cluster),
    )
    for name, window, jobs, client in runs:
        kubrel.build_dataset([collection], tmp_path / name, window=window, jobs=jobs, client=client)
    local, *others = (zarr.open_group(tmp_path / n, mode="r") for n in ("local", "here", "cluster"))
    for other in others:
        assert local.attrs.asdict() == other.attrs.asdict()
        for array in ("windows", "file", "origin"):
            assert np.array_equal(local[array][:], other[array][:])
    vocabulary = np.array(local.attrs["vocabulary"])
    windows, files, origins = local["windows"][:], local["file"][:], local["origin"][:]
    assert sorted(local.attrs["errors"]) == [str(collection / n) for n in ("broken.schem", "empty.schem")]
    for number, path in enumerate(local.attrs["files"]):
        if path in local.attrs["errors"]:
            continue
        volume = kubrel.load(path)
        size_x, size_y, size_z = volume.size
        rebuilt = np.zeros((size_y + 2, size_z + 2, size_x + 2), dtype=windows.dtype)
        for window, (x, y, z) in zip(windows[files == number], origins[files == number]):
            rebuilt[y : y + 2, z : z + 2, x : x + 2] = window
        palette = np.array(volume.palette)
        assert (vocabulary[rebuilt[:size_y, :size_z, :size_x]] == palette[volume.blocks]).all()


@pytest.mark.parametrize("by, rows", [("world", 2), ("y", 32 + 16), ("chunk", 4)])
def test_world_scan_and_export(collection, tmp_path, by, rows):
    """A world scan's rows add up to every stored block, a resumed scan adds nothing, and an
    exported box reads back as the world's blocks."""
    saves = collection / "saves"
    whole = kubrel.scan_worlds([saves], by=by, jobs=2)
    assert whole.num_rows == rows and whole.column("error").null_count == rows
    totals = collections.Counter()
    for row in whole.to_pylist():
        totals.update(dict(row["counts"]))
    assert totals == WORLD_COUNTS
    output = tmp_path / "w.parquet"
    kubrel.scan_worlds([saves / "Hut"], output, by=by, jobs=1)
    assert kubrel.scan_worlds([saves], output, by=by, resume=True).equals(whole)
    box = "0,0,0:32,2,16"
    done = kubrel_command(["world", "export", "saves/Hut", "--box", box, str(tmp_path / "cut.litematic")], collection)
    assert done.returncode == 0, done.stderr
    cut = kubrel.load(tmp_path / "cut.litematic")
    assert cut.counts() == {"minecraft:stone": 512, "minecraft:oak_planks": 512}
    assert cut.counts() == kubrel.open_world(saves / "Hut").load(((0, 0, 0), (32, 2, 16))).counts()


class _Interrupt:
    """An on_done that raises KeyboardInterrupt once `after` files are done, as Ctrl-C would."""

    def __init__(self, after):
        self.after, self.done = after, 0

    def __call__(self, count):
        self.done += count
        if self.done >= self.after:
            raise KeyboardInterrupt


# (where, files done at the first interrupt, at the second one); None: not interrupted.
INTERRUPTS = [
    (where, first, second)
    for where in ("1 process", "2 processes", "cluster")
    for first, second in [(1, None), (3, None), (6, None), (1, 2), (2, 4)]
]


@pytest.mark.parametrize("where, first, second", INTERRUPTS)
def test_interrupt_and_resume(collection, request, tmp_path, where, first, second):
    """A scan interrupted (once or twice) keeps the rows it finished, and resumed, gives the
    table of a scan that ran through: each file once, in the same order."""
    run = {"1 process": {"jobs": 1}, "2 processes": {"jobs": 2}, "cluster": {}}[where]
    if where == "cluster":
        run["client"] = request.getfixturevalue("cluster")
    whole = kubrel.scan([collection], **run)
    output, rows = tmp_path / "stats.parquet", 0
    for number, after in enumerate(filter(None, (first, second))):
        with pytest.raises(KeyboardInterrupt):
            kubrel.scan([collection], output, resume=number > 0, on_done=_Interrupt(after), **run)
        # Every row reported done before is kept (rows may run ahead of their reports), in order.
        kept = pq.read_table(output)
        assert kept.num_rows >= rows + after - 1
        assert kept.equals(whole.slice(0, kept.num_rows))
        rows = kept.num_rows
    spelled = [f"{collection}/./deep/../"]  # the same folder, spelled otherwise
    assert kubrel.scan(spelled, output, resume=True, **run).equals(whole)
    assert not list(tmp_path.glob(".kubrel-*"))


@pytest.fixture(scope="module")
def odd_names(tmp_path_factory):
    """A hut under a name that is not UTF-8, a FIFO and a link named as schematics, beside a hut."""
    folder = tmp_path_factory.mktemp("names") / "odd"
    folder.mkdir()
    hut = (REPO / "examples" / "hut.schem").read_bytes()
    (folder / "hut.schem").write_bytes(hut)
    with open(os.path.join(os.fsencode(folder), b"caf\xe9.schem"), "wb") as file:
        file.write(hut)
    os.mkfifo(folder / "pipe.schem")
    (folder / "again.schem").symlink_to(folder / "hut.schem")
    return folder


READ = {"again.schem": None, "caf\\xe9.schem": None, "hut.schem": None}
# (command line, file to error for each row, the name shown, or ... for any); the command runs in
# the folder's parent, and a resumed scan must add nothing to a first one.
PATH_RUNS = [
    ("scan odd -o odd.parquet", READ),
    ("scan ./odd/ -o odd.parquet --resume", READ),
    ("scan odd/pipe.schem odd/hut.schem -o pipe.parquet",
     {"pipe.schem": "not a regular file", "hut.schem": None}),
    # load() may refuse a name that is not UTF-8: that file's error, not the job's.
    ("dataset odd -o odd.zarr --window 4", {**READ, "caf\\xe9.schem": ...}),
]


@pytest.mark.parametrize("line, rows", PATH_RUNS, ids=[line for line, _ in PATH_RUNS])
def test_paths(odd_names, line, rows):
    """Rows show absolute paths, a name that is not UTF-8 escaped (its bytes kept beside it), a
    FIFO in a folder is left out and one named is an error, and a resumed scan matches files
    however their folder is spelled."""
    from kubrel.collection.dataset import files_table

    done = kubrel_command(line.split(), odd_names.parent)
    assert done.returncode == 0, done.stderr
    output = odd_names.parent / line.split("-o ")[1].split()[0]
    table = files_table(output) if output.suffix == ".zarr" else pq.read_table(output)
    # A scan shows absolute paths, a dataset the paths as given.
    shown = [os.path.relpath(odd_names.parent / p, odd_names) for p in table["path"].to_pylist()]
    errors = dict(zip(shown, table["error"].to_pylist()))
    assert len(errors) == len(shown)  # each file once
    assert errors == {name: errors.get(name) if e is ... else e for name, e in rows.items()}
    exact = [odd_names.parent / os.fsdecode(b) for b in table["path_bytes"].to_pylist() if b]
    assert exact == [odd_names / os.fsdecode(b"caf\xe9.schem")] * ("caf\\xe9.schem" in rows)
