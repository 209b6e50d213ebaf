"""Reads every example schematic and prints its boundary, block count and most common states."""

import collections
import pathlib
import sys

import kubrel_rs

HERE = pathlib.Path(__file__).resolve().parent


def describe(path):
    with kubrel_rs.open(str(path)) as reader:
        boundary = reader.boundary()
        counts = collections.Counter()
        for bulk in reader.iter_bulks():
            counts.update(str(block.state()) for block in bulk)
    print(f"{path.name}: {boundary}")
    print(f"  {sum(counts.values())} blocks")
    for state, count in counts.most_common(3):
        print(f"  {count:5d}  {state}")


def main():
    paths = sorted(p for p in HERE.iterdir() if p.suffix in (".schem", ".nbt", ".kbr"))
    if not paths:
        sys.exit("no examples found; run scripts/make_examples.py")
    for path in paths:
        describe(path)


if __name__ == "__main__":
    main()
