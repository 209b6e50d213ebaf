"""`kubrel info FILE...`: what each file is and what it holds."""

import json

import click

from kubrel.cli.output import UserError, examples, file_error, load, show_rows
from kubrel.facts import facts

COLUMNS = (
    "file",
    "format",
    "size",
    "origin",
    "data version",
    "blocks",
    "palette",
    "block entities",
    "entities",
)


@click.command(
    epilog=examples(
        "kubrel info castle.schem lobby.nbt farm.litematic",
        "kubrel info --json castle.schem > castle.json",
    )
)
@click.argument("files", nargs=-1, required=True)
@click.option("--json", "as_json", is_flag=True, help="One JSON object per file, in a list.")
def info(files, as_json):
    """Format and version, size, origin, data version, block count, palette size (the states
    the file's blocks use), block entities and entities of each FILE."""
    described, failed = [], 0
    for path in files:
        try:
            row = {"path": path, **facts(load(path))}
            # Structure files have no version of their own: null rather than a made-up 0.
            row["version"] = row["version"] or None
            described.append(row)
        except UserError as error:
            error.show()
            failed += 1
    if as_json:
        click.echo(json.dumps(described, indent=2))
    else:
        show_rows("schematics", COLUMNS, [_cells(row) for row in described])
    if failed:
        raise click.exceptions.Exit(1)


def _cells(row):
    data_version = "-" if row["data_version"] is None else row["data_version"]
    version = f" v{row['version']}" if row["version"] else ""
    return (
        row["path"],
        row["format"] + version,
        "×".join(map(str, row["size"])),
        ", ".join(map(str, row["origin"])),
        data_version,
        row["block_count"],
        row["palette_size"],
        row["block_entities"],
        row["entities"],
    )
