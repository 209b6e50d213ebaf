"""Runs `kubrel world scan` over the real worlds and reports region files per second and peak memory.

Scans the worlds of the corpus once as they are and once as ten copies of them (links to the same
region files, so the disk cache serves both alike), each with 1 and 2 local processes and on a
local Dask cluster of two workers, in fresh processes; the peak memory of the whole process tree
shows whether it grows with the number of worlds. Prints a Markdown table and writes it to
bench/world_scan.md.

    python bench/world_scan_bench.py --worlds ../shared/corpus/worlds
"""

import argparse
import json
import os
import pathlib
import tempfile
import time

from measuring import peak_kib
from scan_collection import busy_loops_speedup, measure, read_once

HERE = pathlib.Path(__file__).resolve().parent
COPIES = 10
REPEATS = 3
TWO_PROCESS_GOAL = 1.6
RUNS = (("1 process", 1, None), ("2 processes", 2, None), ("Dask, 2 workers", 2, "local"))


def child(paths, output, jobs, address, by):
    """One scan in this process: prints region files, seconds and peak memory as JSON."""
    import pyarrow.parquet  # noqa: F401  (a start-up cost, as the interpreter's own)

    from kubrel.cli.cluster import dask_client
    from kubrel.collection.scan import write
    from kubrel.collection.world_scan import WorldScanPlan

    plan = WorldScanPlan(paths, output, by=by, legacy=True)
    with dask_client(address, jobs) as client:
        started = time.perf_counter()
        failed = write(plan, jobs=jobs, client=client)
        seconds = time.perf_counter() - started
    print(json.dumps({"regions": plan.count, "failed": failed, "seconds": seconds,
                      "peak_mib": peak_kib() / 1024}))


def copies(worlds, folder):
    """COPIES copies of every world under `worlds` in `folder`, their files linked, not copied."""
    for number in range(COPIES):
        for source in sorted(p for p in worlds.iterdir() if (p / "level.dat").exists()):
            target = folder / f"{number:02d}" / source.name
            for path in source.rglob("*"):
                if path.is_file():
                    linked = target / path.relative_to(source)
                    linked.parent.mkdir(parents=True, exist_ok=True)
                    os.symlink(path.resolve(), linked)
    return [str(folder)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--worlds", type=pathlib.Path)
    parser.add_argument("--by", default="world", choices=("world", "y", "chunk"))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*json.loads(args.child))
        return
    if args.worlds is None:
        parser.error("name the folder of worlds with --worlds")
    load_before = ", ".join(f"{load:.1f}" for load in os.getloadavg())
    lines = [
        "# World scan",
        "",
        f"`kubrel world scan --by {args.by}` over the real worlds of the corpus, and over "
        f"{COPIES} copies of them; median of {REPEATS} fresh runs. Load average before: "
        f"{load_before}; two busy loops in two processes ran {busy_loops_speedup():.2f}× one.",
        "",
        "| worlds | run | region files | seconds | region files/s | speed-up | tree peak MiB |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        inputs = [("the corpus", [str(args.worlds)]),
                  (f"{COPIES} copies", copies(args.worlds, scratch / "copies"))]
        for title, paths in inputs:
            read_once([args.worlds])
            alone = None
            for run, jobs, address in RUNS:
                result = measure(paths, jobs, address, scratch / "out.parquet", REPEATS, __file__, [args.by])
                rate = result["regions"] / result["seconds"]
                alone = alone or rate
                lines.append(
                    f"| {title} | {run} | {result['regions']} | {result['seconds']:.2f} | "
                    f"{rate:.1f} | {rate / alone:.2f}× | {result['tree_peak_mib']:.0f} |"
                )
    lines += ["", f"Goal: 2 processes at least {TWO_PROCESS_GOAL}× one; the tree's peak memory "
              "the same for one copy of the worlds and for ten."]
    text = "\n".join(lines) + "\n"
    (HERE / "world_scan.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()
