"""`kubrel materials FILE...`: the bill of materials of a build, as items a builder gathers or as
block states."""

import collections
import csv
import json
import sys

import click

from kubrel._native import split_state
from kubrel.cli.output import examples, load, palette_option, region_option, show_rows
from kubrel.items import item_counts, stacks_text


@click.command(
    epilog=examples(
        "kubrel materials castle.schem",
        "kubrel materials tower.schem gate.nbt --csv > bill.csv",
        "kubrel materials castle.schem --states --by-name --json",
    )
)
@click.argument("files", nargs=-1, required=True)
@click.option(
    "--items/--states",
    default=True,
    help="Items a builder gathers, in stacks and shulker boxes (the default), or the blocks' "
    "states as placed.",
)
@click.option("--by-name", is_flag=True, help="With --states: group each block name's states.")
@click.option(
    "--contents",
    is_flag=True,
    help="What the block entities hold (chests, barrels, shulker boxes...) instead of the blocks.",
)
@region_option
@palette_option
@click.option("--csv", "as_csv", is_flag=True, help="Comma-separated values with a header.")
@click.option("--json", "as_json", is_flag=True, help="A JSON object from item (or state) to count.")
def materials(files, items, by_name, contents, region, palette, as_csv, as_json):
    """What the FILES place together (not air, not structure voids), most common first: the
    items a builder gathers (a double slab is two slabs, a door one item for its two blocks, a
    wall torch a torch, water none...), or with --states each block state."""
    if as_csv and as_json:
        raise click.UsageError("--csv and --json exclude each other: choose one")
    if by_name and items:
        raise click.UsageError("--by-name groups states: add --states")
    counts = collections.Counter()
    for file in files:
        volume = load(file, palette=palette, region=region)
        counts.update(_held(volume) if contents else volume.counts())
    if contents:
        what = "item"
    elif items:
        counts, what = item_counts(counts), "item"
    elif by_name:
        names = collections.Counter()
        for state, count in counts.items():
            names[split_state(state)[0]] += count
        counts, what = names, "block"
    else:
        what = "state"
    ordered = sorted(counts.items(), key=lambda item: (-item[1], item[0]))
    with_stacks = what == "item"
    columns = (what, "count", "stacks") if with_stacks else (what, "count")
    rows = [(name, n, stacks_text(name, n)) if with_stacks else (name, n) for name, n in ordered]
    if as_json:
        click.echo(json.dumps(dict(ordered), indent=2))
    elif as_csv:
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow(columns)
        writer.writerows(rows)
    else:
        show_rows(f"materials of {', '.join(files)}", columns, rows)


def _held(volume):
    """The items in the block entities' "Items" lists ("count" since 1.20.5, "Count" before)."""
    held = collections.Counter()
    for entity in volume.block_entities:
        for slot in entity.data.get("Items", ()):
            if isinstance(slot, dict) and "id" in slot:
                held[str(slot["id"])] += int(slot.get("count", slot.get("Count", 1)))
    return held
