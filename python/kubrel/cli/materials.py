"""`kubrel materials FILE`: the bill of materials of a build."""

import collections
import csv
import json
import sys

import click

from kubrel._native import split_state
from kubrel.cli.output import load, show_rows


@click.command()
@click.argument("file")
@click.option("--by-name", is_flag=True, help="Group the states of each block name together.")
@click.option("--csv", "as_csv", is_flag=True, help="Comma-separated values with a header.")
@click.option("--json", "as_json", is_flag=True, help="A JSON object from state (or name) to count.")
def materials(file, by_name, as_csv, as_json):
    """The blocks FILE places (not air, not structure voids) by state (or block name), most
    common first."""
    counts = load(file).counts()
    if by_name:
        names = collections.Counter()
        for state, count in counts.items():
            names[split_state(state)[0]] += count
        counts = names
    what = "block" if by_name else "state"
    ordered = sorted(counts.items(), key=lambda item: (-item[1], item[0]))
    if as_json:
        click.echo(json.dumps(dict(ordered), indent=2))
    elif as_csv:
        writer = csv.writer(sys.stdout, lineterminator="\n")
        writer.writerow((what, "count"))
        writer.writerows(ordered)
    else:
        show_rows(f"materials of {file}", ("count", what), [(n, s) for s, n in ordered])
