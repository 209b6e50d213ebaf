"""`kubrel render FILE -o preview.png`: a picture of a build."""

import re

import click

from kubrel.cli.output import UserError, examples, file_error, load
from kubrel.cli.paths import in_place_option, refuse_overwrite
from kubrel.render import render as render_volume
from kubrel.render.picture import ANGLES


def parse_size(_context, _param, value):
    """"N" (the longest side) or "WxH", in pixels."""
    if value is None:
        return None
    found = re.fullmatch(r"(\d+)(?:[x×](\d+))?", value.strip())
    if not found:
        raise click.BadParameter("expected N or WxH, in pixels")
    width, height = found.groups()
    return int(width) if height is None else (int(width), int(height))


def parse_colour(_context, _param, value):
    """"checker", "#RRGGBB" (or "#RGB") or "R,G,B"."""
    if value is None or value == "checker":
        return None
    text = value.strip().removeprefix("#")
    if re.fullmatch(r"[0-9a-fA-F]{3}", text):
        text = "".join(digit * 2 for digit in text)
    if re.fullmatch(r"[0-9a-fA-F]{6}", text):
        return tuple(int(text[i : i + 2], 16) for i in (0, 2, 4))
    parts = text.split(",")
    if len(parts) == 3 and all(part.strip().isdigit() and int(part) < 256 for part in parts):
        return tuple(int(part) for part in parts)
    raise click.BadParameter("expected checker, #RRGGBB or R,G,B")


@click.command(
    epilog=examples(
        "kubrel render castle.schem -o castle.png",
        "kubrel render terrain.schem --size 2048 --angle nw --background '#ffffff'",
        "kubrel render tower.nbt --slice 12 -o tower-12.png",
    )
)
@click.argument("file")
@click.option(
    "-o", "--output", metavar="PNG", help="Where to write the picture (default: FILE.png)."
)
@click.option(
    "--size",
    metavar="N|WxH",
    callback=parse_size,
    help="The picture's longest side, or its width and height, in pixels (default: a few pixels "
    "a block, within 1024).",
)
@click.option(
    "--angle",
    type=click.Choice(list(ANGLES), case_sensitive=False),
    default="se",
    show_default=True,
    help="The corner the isometric view looks from (or the viewer's turn clockwise from se).",
)
@click.option(
    "--background",
    metavar="COLOUR",
    callback=parse_colour,
    help="checker (the default), #RRGGBB or R,G,B.",
)
@click.option(
    "--slice",
    "up_to",
    type=click.IntRange(min=0),
    metavar="Y",
    help="Draw only the layers 0 to Y, counted from the bottom.",
)
@in_place_option
def render(file, output, size, angle, background, up_to, in_place):
    """Draws FILE's top view and an isometric view side by side into a PNG."""
    output = output or f"{file}.png"
    refuse_overwrite([output], [file], in_place)
    volume = load(file)
    try:
        image = render_volume(volume, size=size, angle=angle, background=background, slice=up_to)
    except ValueError as error:
        raise UserError(str(error)) from None
    try:
        image.save(output, format="PNG")
    except OSError as error:
        raise file_error(output, error) from None
    click.echo(output)
