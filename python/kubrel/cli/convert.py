"""`kubrel convert SRC DST`: a schematic in any readable format to any writable one."""

import click

import kubrel
from kubrel.cli.output import UserError, file_error, load
from kubrel.cli.paths import in_place_option, pieces_at, refuse_overwrite

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
@click.option(
    "--data-version",
    type=int,
    help="The game version SRC's states are of, where SRC states none (Sponge and Litematica "
    "files require one).",
)
@in_place_option
@click.option("--force", is_flag=True, help="Replace DST even when it is read-only.")
def convert(src, dst, format_name, pieces, drop_entities, data_version, in_place, force):
    """Reads SRC and writes it to DST. A file replaced keeps its permissions, and a link to it
    stays a link."""
    if pieces and format_name not in (None, "structure"):
        raise UserError("pieces are structure files: leave out --format or name 'structure'")
    refuse_overwrite(pieces_at(dst) if pieces else [dst], [src], in_place)
    options = {"force": force}
    if format_name is not None and not pieces:
        options["format"] = format_name
    if drop_entities and not pieces:
        options["drop_entities"] = True
    if data_version is not None and not pieces:
        options["data_version"] = data_version
    # Read and write apart, so that each failure names its own file.
    volume = load(src)
    try:
        if pieces:
            written = kubrel.save_pieces(volume, dst, size=pieces, **options)
        else:
            written = volume.save(dst, **options)
    except (OSError, ValueError) as error:
        raise file_error(dst, error) from None
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
