"""`kubrel info FILE...`: what each file is and what it holds."""

import json

import click

from kubrel.cli.output import file_error, load, show_rows, UserError
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


@click.command()
@click.argument("files", nargs=-1, required=True)
@click.option("--json", "as_json", is_flag=True, help="One JSON object per file, in a list.")
def info(files, as_json):
    """Format and version, size, origin, data version, block count, palette size, block entities
    and entities of each FILE."""
    described, failed = [], 0
    for path in files:
        try:
            described.append({"path": path, **facts(load(path))})
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
    # Structure files carry no version of their own.
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
