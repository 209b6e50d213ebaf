"""Measures the Python side of reading: blocks per second through iter_bulks() and read_full() on
a generated KBR schematic, and the process's peak memory. Run with an environment that has
kubrel_rs installed, e.g. `.venv-313/bin/python bench/python_bulks.py [side]`."""

import pathlib
import resource
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import kubrel_rs  # noqa: E402
import writers  # noqa: E402

STATES = ["minecraft:stone", "minecraft:dirt", "minecraft:oak_stairs[facing=north,half=top]"]


def schematic(side):
    """A side x 64 x side box of runs of 7 blocks cycling through STATES."""
    body = b"".join(writers.kbr_define(text) for text in STATES)
    volume = side * 64 * side
    runs = [writers.kbr_run(2 + 2 * (i % len(STATES)), 7) for i in range(volume // 7)]
    return writers.gz(writers.kbr((0, 0, 0), (side - 1, 63, side - 1), body + b"".join(runs)))


def timed(label, data, read):
    start = time.perf_counter()
    with kubrel_rs.open(data) as reader:
        count = read(reader)
    seconds = time.perf_counter() - start
    print(f"{label:10s} {count:10d} blocks  {seconds:6.3f} s  {count / seconds / 1e6:6.2f} M blocks/s")


def main():
    side = int(sys.argv[1]) if len(sys.argv) > 1 else 256
    data = schematic(side)
    print(f"input: {len(data)} bytes gzip'd, {side * 64 * side} positions")
    timed("iter_bulks", data, lambda r: sum(len(bulk) for bulk in r.iter_bulks()))
    timed("read_full", data, lambda r: len(r.read_full()))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"peak RSS: {peak:.0f} MiB")


if __name__ == "__main__":
    main()
