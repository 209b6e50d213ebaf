"""`kubrel render FILE -o preview.png`: a picture of a build."""

import click

from kubrel.cli.output import examples, file_error, load
from kubrel.cli.paths import in_place_option, refuse_overwrite
from kubrel.render import render as render_volume


@click.command(
    epilog=examples(
        "kubrel render castle.schem -o castle.png",
        "kubrel render lobby.nbt",
    )
)
@click.argument("file")
@click.option(
    "-o", "--output", metavar="PNG", help="Where to write the picture (default: FILE.png)."
)
@in_place_option
def render(file, output, in_place):
    """Draws FILE's top view and an isometric view side by side into a PNG."""
    output = output or f"{file}.png"
    refuse_overwrite([output], [file], in_place)
    image = render_volume(load(file))
    try:
        image.save(output, format="PNG")
    except OSError as error:
        raise file_error(output, error) from None
    click.echo(output)
