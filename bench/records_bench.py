"""What block entities add to a load: the Litematica file of the corpus with the most of them,
beside the same document with every region's "TileEntities" emptied (an NBT edit, nothing else
touched), each loaded by `kubrel.load()` in fresh processes; writes bench/records.md with the
medians of their CPU time and the ratio.

    python bench/records_bench.py [--corpus ../shared/corpus/litematic] [--runs 15]"""

import argparse
import csv
import gzip
import pathlib
import sys
import tempfile

from run import measure

import kubrel
from kubrel import nbt

HERE = pathlib.Path(__file__).resolve().parent
CHILD = HERE / "volume_children.py"
GOAL = 1.5


def most_block_entities(corpus):
    """The file of the corpus whose manifest counts the most block entities."""
    with open(corpus / "MANIFEST.tsv", newline="") as manifest:
        rows = list(csv.DictReader(manifest, delimiter="\t"))
    row = max(rows, key=lambda r: int(r["tile_entities"] or 0))
    return corpus / row["file"]


def write_pair(path, full, bare):
    """Writes `path`'s document to `full` as it is and to `bare` with each region's block
    entities gone, both through the same encoder and compressor, so that only the block entities
    differ between them."""
    name, root = nbt.parse_document(gzip.decompress(path.read_bytes()))
    full.write_bytes(gzip.compress(root.to_document(name)))
    for region in root["Regions"].values():
        region["TileEntities"] = nbt.List(nbt.TagType.COMPOUND)
    bare.write_bytes(gzip.compress(root.to_document(name)))


def cpu_ms(path, runs):
    result = measure([sys.executable, str(CHILD), "load", str(path), "0"], runs)
    if "cpu_seconds" not in result:
        raise SystemExit(f"{path.name}: {result}")
    return result["cpu_seconds"] * 1e3, result["positions"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--corpus", default=str(HERE / "../../shared/corpus/litematic"))
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()
    path = most_block_entities(pathlib.Path(args.corpus))
    with tempfile.TemporaryDirectory() as folder:
        full, bare = (pathlib.Path(folder) / f"{n}.litematic" for n in ("full", "bare"))
        write_pair(path, full, bare)
        count = len(kubrel.load(path).block_entities)
        if len(kubrel.load(full).block_entities) != count or kubrel.load(bare).block_entities:
            raise SystemExit("the written pair does not hold the block entities it should")
        with_ms, positions = cpu_ms(full, args.runs)
        bare_ms, _ = cpu_ms(bare, args.runs)
    ratio = with_ms / bare_ms
    report = (
        "# Block entities in a load\n\n"
        f"`kubrel.load()` of `{path.name}` ({positions:,} positions, {count:,} block entities) "
        "and of the same document with its block entities removed, CPU time, median of "
        f"{args.runs} fresh processes:\n\n"
        "| file | ms | ratio |\n|---|---|---|\n"
        f"| without block entities | {bare_ms:.1f} | 1.00 |\n"
        f"| with them | {with_ms:.1f} | {ratio:.2f} |\n\n"
        f"The goal is a ratio of at most {GOAL}: {'met' if ratio <= GOAL else 'not met'}.\n"
    )
    (HERE / "records.md").write_text(report)
    print(report)


if __name__ == "__main__":
    main()
