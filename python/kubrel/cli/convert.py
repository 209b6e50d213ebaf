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
@click.option(
    "--drop-entities",
    is_flag=True,
    help="Leave out block entities and entities where the format holds none (KBR).",
)
def convert(src, dst, format_name, pieces, drop_entities):
    """Reads SRC and writes it to DST."""
    if pieces and format_name not in (None, "structure"):
        raise UserError("pieces are structure files: leave out --format or name 'structure'")
    options = {} if format_name is None or pieces else {"format": format_name}
    if drop_entities and not pieces:
        options["drop_entities"] = True
    try:
        if pieces:
            written = kubrel.save_pieces(load(src), dst, size=pieces)
        else:
            written = kubrel.convert(src, dst, **options)
    except (OSError, ValueError) as error:
        raise file_error(dst if isinstance(error, OSError) else src, error) from None
    if isinstance(written, list):
        for path in written:
            click.echo(path)
    else:
        left_out = list(written.get("not_kept", ()))
        if written["block_entities"] or written["entities"]:
            dropped = f"{written['block_entities']} block entities and {written['entities']} entities"
            left_out.insert(0, dropped)
        if left_out:
            click.echo(f"left out {'; '.join(left_out)}", err=True)
