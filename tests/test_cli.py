"""The kubrel command and the collection jobs: command lines with their expected output over the
examples and generated files, and scan and dataset on a real Dask cluster against the local run.
Skipped where the `cli` extra (or, for the cluster, the `dask` extra) is not installed."""

import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

for module in ("click", "rich", "pyarrow", "zarr", "PIL"):
    pytest.importorskip(module)

import kubrel
import writers
from conftest import REPO
from kubrel.collection import runner
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
    return folder


def kubrel_command(args, cwd, hidden=(), env=None):
    """Runs the command's entry point in a fresh interpreter in `cwd`, with the `hidden` modules
    made unimportable (as if their extra were not installed)."""
    prelude = (
        "import sys\n"
        f"for name in {list(hidden)!r}: sys.modules[name] = None\n"
        "from kubrel.cli import main\n"
        "sys.argv[0] = 'kubrel'\n"
        "main()\n"
    )
    return subprocess.run(
        [sys.executable, "-c", prelude, *args], cwd=cwd, capture_output=True, text=True, env=env
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
            "deep/tower.schem\tsponge v2\t1×3×1\t0, 0, 0\t-\t3\t3\t0\t0\n"
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
                        "palette_size": 3,
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
        "materials hut.schem",
        (),
        0,
        re.escape(
            "count\tstate\n"
            "28\tminecraft:oak_planks\n"
            "25\tminecraft:cobblestone\n"
            "25\tminecraft:oak_slab[type=bottom,waterlogged=false]\n"
            "2\tminecraft:glass_pane[east=false,north=true,south=true,west=false]\n"
            "1\tminecraft:torch\n"
        ),
        "",
    ),
    (
        "materials --by-name --csv hut.kbr",
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
        re.escape('{\n  "create:shaft[axis=y]": 2,\n  "minecraft:stone": 1\n}\n'),
        "",
    ),
    ("materials notes.txt", (), 1, "", "kubrel: notes.txt: [^\n]+\n"),
    ("materials", (), 2, "", "(?s).*Missing argument 'FILE'.*"),
    ("render hut.schem -o hut.png", (), 0, "hut.png\n", ""),
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
    ("dataset . -o hut.schem", (), 1, "", r"kubrel: \S+hut\.schem exists and is not a dataset[^\n]*\n"),
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
    ("convert hut.schem ../piece --pieces 3", (), 0, r"(\.\./piece_[03]_[03]_[03]\.nbt\n){8}", ""),
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
    ids=[line + "".join(f" without {name}" for name in hidden) for line, hidden, *_ in COMMANDS],
)
def test_command(collection, line, hidden, status, stdout, stderr):
    done = kubrel_command(line.split(), collection, hidden)
    assert done.returncode == status, done.stderr
    assert re.fullmatch(stdout, done.stdout), done.stdout
    assert re.fullmatch(stderr, done.stderr), done.stderr


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
