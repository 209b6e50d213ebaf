"""What every subcommand shares: loading a file or failing with one line, and printing rows as a
table on a terminal or as tab-separated lines on a pipe."""

import click

import kubrel
from kubrel._extras import error_text, require


class UserError(click.ClickException):
    """An error of the input or the request: one line on standard error, exit status 1, no
    traceback."""

    def show(self, file=None):
        click.echo(f"kubrel: {self.message}", err=True, file=file)


# The part of a file a command reads: one palette of a structure that has several, one region
# of a Litematica file.
palette_option = click.option(
    "--palette",
    type=click.IntRange(min=0),
    default=0,
    metavar="N",
    help="Read the Nth palette (from 0) of a structure that offers several.",
)
region_option = click.option(
    "--region", metavar="NAME", help="Read only the region NAME of a Litematica file."
)


def examples(*lines):
    """The end of a command's help: its example command lines, kept as written."""
    # "\b" keeps click from running the lines together into one paragraph.
    return "\b\nExamples:\n" + "\n".join(f"  {line}" for line in lines)


def file_error(path, error):
    """The UserError for a file that cannot be read."""
    return UserError(f"{path}: {error_text(error)}")


def load(path, **options):
    """kubrel.load(path, **options), or a UserError naming the file."""
    try:
        return kubrel.load(path, **options)
    except (OSError, ValueError, NotImplementedError) as error:  # the last: a URL
        raise file_error(path, error) from None


def show_rows(title, columns, rows):
    """Prints `rows` (sequences of cells) under `columns`: a table on a terminal, else one
    tab-separated line per row after a header line."""
    console = require("rich.console").Console()
    if not console.is_terminal:
        for line in [columns, *rows]:
            click.echo("\t".join(map(str, line)))
        return
    table = require("rich.table").Table(title=title, title_justify="left")
    # Left alone, a narrow terminal shrinks every column alike, and a path, the only long cell,
    # is folded into pieces as narrow as the numbers beside it. Where the table does not fit, the
    # other columns are folded to their longest word instead, and the first one keeps its width
    # as far as they leave room (3 for each column's border and padding, 1 for the last border).
    cells = [[column, *(row[i] for row in rows)] for i, column in enumerate(columns)]
    natural = 1 + sum(3 + max(len(str(cell)) for cell in column) for column in cells)
    words = [max(len(word) for cell in column for word in str(cell).split() or [""])
             for column in cells]
    tight = natural > console.width
    room = console.width - 1 - sum(3 + width for width in words[1:]) - 3
    for index, column in enumerate(columns):
        numeric = all(isinstance(row[index], int) for row in rows)
        widest = max(len(str(cell)) for cell in cells[index])
        table.add_column(
            column,
            justify="right" if numeric else "left",
            overflow="fold",
            min_width=max(1, min(widest, room)) if tight and index == 0 else None,
            max_width=words[index] if tight and index else None,
        )
    for row in rows:
        table.add_row(*map(str, row))
    console.print(table)

