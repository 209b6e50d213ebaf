"""Scans a generated collection of small schematics and reports files per second and peak memory.

Writes COUNT small Sponge schematics (sizes 4 to 19 on each axis, a few states each, deterministic)
into a folder (once; kept for later runs), then runs `kubrel scan` over it in fresh processes: with
1 and 2 local processes and on a local Dask cluster of two workers, each over the first tenth of
the collection and over all of it, so that the peak memory of the scanning process can be seen not
to grow with the file count. With --corpus it also scans the real corpus the same three ways.
Prints a Markdown table and writes it to bench/scan_collection.md.

    python bench/scan_collection.py [--count 100000] [--folder bench/data/collection]

Needs the distribution installed with its `cli` and `dask` extras (`pip install '.[cli,dask]'`).
"""

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

from measuring import peak_kib

HERE = pathlib.Path(__file__).resolve().parent

STATES = [
    "minecraft:stone",
    "minecraft:dirt",
    "minecraft:oak_planks",
    "minecraft:cobblestone",
    "minecraft:glass",
    "minecraft:oak_log[axis=y]",
    "minecraft:oak_stairs[facing=east,half=bottom,shape=straight,waterlogged=false]",
    "minecraft:red_wool",
    "minecraft:torch",
    "minecraft:water[level=0]",
]
TEMPLATES = 256
FILES_PER_FOLDER = 1000
# Runs of a few seconds or less (this many files or fewer) are repeated, and the one of median
# time reported.
SHORT_RUN_FILES = 10_000
SHORT_RUN_REPEATS = 5
# Files per second of 2 local processes against 1.
TWO_PROCESS_GOAL = 1.7
# (title, local processes or cluster workers, cluster address)
RUNS = (
    ("1 process", 1, None),
    ("2 processes", 2, None),
    ("Dask, 2 workers", 2, "local"),
)


def template(number, scratch):
    """A small Sponge schematic whose size and content follow from `number`, saved by the
    package's own writer; its bytes."""
    import numpy
    from kubrel import _native

    size = (4 + number % 16, 4 + number // 16 % 16, 4 + (number * 7) % 16)
    used = ["minecraft:air"] + [STATES[(number + k) % len(STATES)] for k in range(1 + number % 5)]
    palette = list(dict.fromkeys(used))
    cells = numpy.arange(size[0] * size[1] * size[2], dtype=numpy.uint64)
    ids = ((cells * 2654435761 + number) >> 7) % len(palette)
    grid = ids.astype(numpy.uint8).reshape(size[1], size[2], size[0])
    path = scratch / "template.schem"
    parts = {"blocks": grid, "palette": palette, "origin": (0, 0, 0), "size": size,
             "data_version": 3953}
    _native.save(str(path), parts, format="sponge")
    return path.read_bytes()


def generate(folder, count):
    """Writes the collection unless the folder already holds it (a stamp file says how many)."""
    stamp = folder / "COUNT"
    if stamp.exists() and int(stamp.read_text()) >= count:
        return
    started = time.perf_counter()
    with tempfile.TemporaryDirectory() as scratch:
        contents = [template(number, pathlib.Path(scratch)) for number in range(TEMPLATES)]
    for number in range(count):
        sub = folder / f"{number // FILES_PER_FOLDER:04d}"
        if number % FILES_PER_FOLDER == 0:
            sub.mkdir(parents=True, exist_ok=True)
        (sub / f"{number:06d}.schem").write_bytes(contents[number % TEMPLATES])
    stamp.write_text(str(count))
    print(f"wrote {count} files in {time.perf_counter() - started:.0f} s", file=sys.stderr)


def tree_peak(process):
    """Samples the resident memory of `process` (a psutil.Process) and all its descendants (the
    workers, also those a fork server or a Dask nanny started) every 50 ms until it ends, and
    returns the largest sum. It runs here, not in the scanning process, which must have no thread
    of its own to fork its workers."""
    import psutil  # comes with the dask extra

    peak = 0
    while process.is_running() and process.status() != psutil.STATUS_ZOMBIE:
        total = 0
        try:
            family = [process, *process.children(recursive=True)]
        except psutil.Error:
            break
        for member in family:
            try:
                total += member.memory_info().rss
            except psutil.Error:
                pass
        peak = max(peak, total)
        time.sleep(0.05)
    return peak


def child(paths, output, jobs, address):
    """One scan in this process: prints files, seconds and this process's peak memory as JSON."""
    from kubrel.cli.cluster import dask_client
    from kubrel.collection.scan import ScanPlan, write

    import pyarrow.parquet  # noqa: F401  (a start-up cost, as the interpreter's own)

    plan = ScanPlan(paths, output)
    with dask_client(address, jobs) as client:
        started = time.perf_counter()
        failed = write(plan, jobs=jobs, client=client)
        seconds = time.perf_counter() - started
    result = {"files": plan.count, "failed": failed, "seconds": seconds}
    print(json.dumps({**result, "peak_mib": peak_kib() / 1024}))


def measure(paths, jobs, address, output, repeats, script=__file__, more=()):
    """The run of median time among `repeats` fresh processes of `script --child` (this one's
    child() unless another script is named, with `more` arguments after the usual ones)."""
    import psutil

    arguments = json.dumps([paths, str(output), jobs, address, *more])
    command = [sys.executable, script, "--child", arguments]
    results = []
    for _ in range(repeats):
        with subprocess.Popen(command, stdout=subprocess.PIPE, text=True) as running:
            peak = tree_peak(psutil.Process(running.pid))
            stdout = running.communicate()[0]
        if running.returncode != 0:
            raise subprocess.CalledProcessError(running.returncode, command, stdout)
        result = json.loads(stdout.strip().splitlines()[-1])
        results.append({**result, "tree_peak_mib": peak / 2**20})
    return sorted(results, key=lambda result: result["seconds"])[repeats // 2]


BUSY_LOOP = (
    "import time\nt = time.perf_counter()\nfor i in range(10_000_000): pass\n"
    "print(time.perf_counter() - t)"
)


def busy_loops_speedup():
    """How much more two pure-Python loops in separate processes do at once than one alone: the
    most two processes can give on this machine at the moment (shared or throttled cores give
    less than 2)."""
    command = [sys.executable, "-c", BUSY_LOOP]
    alone = min(float(subprocess.run(command, capture_output=True, text=True).stdout) for _ in "ab")
    pair = [subprocess.Popen(command, stdout=subprocess.PIPE, text=True) for _ in "ab"]
    return 2 * alone / max(float(process.communicate()[0]) for process in pair)


def read_once(paths):
    """Reads every file under `paths`, so that the first timed run does not pay for the disk (a
    single run over a large collection would otherwise be timed from a cold cache, the next one
    from a warm one)."""
    for top in paths:
        for folder, _, names in os.walk(top):
            for name in names:
                with open(os.path.join(folder, name), "rb") as file:
                    file.read()


def subsets(folder, count):
    """The first tenth of the collection's folders and all of them."""
    folders = sorted(str(p) for p in folder.iterdir() if p.is_dir())
    needed = -(-count // FILES_PER_FOLDER)
    tenth = max(1, needed // 10)
    return [(min(count, tenth * FILES_PER_FOLDER), folders[:tenth]), (count, folders[:needed])]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=100_000)
    parser.add_argument("--folder", type=pathlib.Path, default=HERE / "data" / "collection")
    parser.add_argument("--corpus", type=pathlib.Path, help="also scan this folder of real files")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*json.loads(args.child))
        return
    generate(args.folder, args.count)
    load_before = ", ".join(f"{load:.1f}" for load in os.getloadavg())
    output = args.folder.parent / "scan_collection.parquet"
    inputs = [
        (f"generated, {n:,} files", paths, SHORT_RUN_REPEATS if n <= SHORT_RUN_FILES else 1)
        for n, paths in subsets(args.folder, args.count)
    ]
    if args.corpus:
        inputs.append((f"real corpus ({args.corpus.name})", [str(args.corpus)], SHORT_RUN_REPEATS))
    lines = [
        "| input | run | files | files/s | peak memory, scanning process | peak memory, all processes |",
        "|---|---|---|---|---|---|",
    ]
    ratios = []
    for name, paths, repeats in inputs:
        read_once(paths)
        rates = {}
        for title, jobs, address in RUNS:
            result = measure(paths, jobs, address, output, repeats)
            rates[title] = result["files"] / result["seconds"]
            lines.append(
                f"| {name} | {title} | {result['files']:,} ({result['failed']} failed) | "
                f"{rates[title]:,.0f} | {result['peak_mib']:.0f} MiB | "
                f"{result['tree_peak_mib']:.0f} MiB |"
            )
            print(lines[-1], file=sys.stderr)
        ratio = rates["2 processes"] / rates["1 process"]
        verdict = "met" if ratio >= TWO_PROCESS_GOAL else "**not met**"
        ratios.append(
            f"- {name}: 2 processes {ratio:.2f}× one (goal ≥ {TWO_PROCESS_GOAL}×): {verdict}; "
            f"two busy loops measured right after: {busy_loops_speedup():.2f}× one."
        )
    output.unlink(missing_ok=True)
    load_after = ", ".join(f"{load:.1f}" for load in os.getloadavg())
    when = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    report = (
        "# Scanning a collection\n\n"
        f"`bench/scan_collection.py --count {args.count}`, run {when} on {os.cpu_count()} cores, "
        f"Python {platform.python_version()}; runs over {SHORT_RUN_FILES:,} files or fewer are the "
        f"median of {SHORT_RUN_REPEATS} fresh processes. Files per second count the scan alone (a local "
        "cluster's start is left out, and so is the import of Arrow's Parquet writer, which the "
        "command does once, however many files it reads); peak memory is the resident peak of "
        "the process that writes the rows, and the largest sum of the resident memory of it and "
        "all its workers (sampled every 50 ms over the whole run of the scanning process). Load "
        "average before the run: "
        f"{load_before}; after: {load_after}.\n\n"
        + "\n".join(ratios)
        + "\n\n"
        + "\n".join(lines)
        + "\n"
    )
    (HERE / "scan_collection.md").write_text(report)
    print(report)


if __name__ == "__main__":
    main()
