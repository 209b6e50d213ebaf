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


def file_error(path, error):
    """The UserError for a file that cannot be read."""
    return UserError(f"{path}: {error_text(error)}")


def load(path):
    """kubrel.load(path), or a UserError naming the file."""
    try:
        return kubrel.load(path)
    except (OSError, ValueError) as error:
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
    for index, column in enumerate(columns):
        numeric = all(isinstance(row[index], int) for row in rows)
        table.add_column(column, justify="right" if numeric else "left", overflow="fold")
    for row in rows:
        table.add_row(*map(str, row))
    console.print(table)
