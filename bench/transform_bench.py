"""A quarter turn of the largest real terrain (the 512x112x512 dark forest) beside the floor of
the same grid turned by NumPy alone, in the same run; writes bench/transform.md with the ratio.

    python bench/transform_bench.py [--corpus ../shared/corpus/real]"""

import argparse
import pathlib
import time
import warnings

import numpy

import kubrel

FILE = "sponge/v2__Desynq__terrain_dark_forest.schem"


def best(call, runs=5):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", default=str(pathlib.Path(__file__).parent / "../../shared/corpus/real"))
    args = parser.parse_args()
    vol = kubrel.load(pathlib.Path(args.corpus) / FILE)
    warnings.simplefilter("ignore", kubrel.TransformWarning)
    floor = best(lambda: numpy.ascontiguousarray(numpy.rot90(vol.blocks, -1, axes=(1, 2))))
    turn = best(lambda: vol.rotate(1))
    size = "×".join(map(str, vol.size))
    report = (
        "# Transform benchmark\n\n"
        f"A quarter turn about y of `{FILE}` ({size}, {vol.blocks.size:,} positions, "
        f"{len(vol.palette)} states), best of 5 in one process:\n\n"
        "| what | seconds | ratio |\n|---|---|---|\n"
        f"| `numpy.ascontiguousarray(numpy.rot90(blocks))` | {floor:.3f} | 1.00 |\n"
        f"| `Volume.rotate(1)` | {turn:.3f} | {turn / floor:.2f} |\n\n"
        "The goal is a ratio of at most 1.5.\n"
    )
    (pathlib.Path(__file__).parent / "transform.md").write_text(report)
    print(report)


if __name__ == "__main__":
    main()
