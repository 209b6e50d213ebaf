"""The `kubrel` command (a console script of the distribution): one module per subcommand."""

import sys

from kubrel._extras import MissingExtra, require


def main():
    """Entry point of the console script."""
    try:
        require("click")
        require("rich")
    except MissingExtra as error:
        sys.exit(f"kubrel: {error}")
    from kubrel.cli.app import app

    app()
