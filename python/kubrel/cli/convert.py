"""`kubrel convert SRC DST`: a schematic in any readable format to any writable one."""

import click

import kubrel
from kubrel.cli.output import UserError, file_error, load

FORMATS = ("sponge", "structure", "kbr", "litematic")


@click.command()
@click.argument("src")
@click.argument("dst")
@click.option(
    "--format",
    "format_name",
    type=click.Choice(FORMATS),
    help="The format to write (default: from DST's suffix).",
)
@click.option(
    "--pieces",
    type=click.IntRange(min=1),
    metavar="EDGE",
    help="Write structure pieces of at most EDGE³ blocks, named by their offset from DST.",
)
def convert(src, dst, format_name, pieces):
    """Reads SRC and writes it to DST."""
    writer = getattr(kubrel, "save_pieces" if pieces else "convert", None)
    if writer is None:
        raise UserError("writing schematics is not available in this build of kubrel")
    if pieces and format_name not in (None, "structure"):
        raise UserError("pieces are structure files: leave out --format or name 'structure'")
    options = {} if format_name is None or pieces else {"format": format_name}
    try:
        if pieces:
            written = writer(load(src), dst, size=pieces)
        else:
            written = writer(src, dst, **options)
    except (OSError, ValueError) as error:
        raise file_error(dst if isinstance(error, OSError) else src, error) from None
    for path in written if isinstance(written, (list, tuple)) else ():
        click.echo(path)
