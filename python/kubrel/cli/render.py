"""`kubrel render FILE -o preview.png`: a picture of a build."""

import click

from kubrel.cli.output import file_error, load
from kubrel.render import render as render_volume


@click.command()
@click.argument("file")
@click.option(
    "-o", "--output", metavar="PNG", help="Where to write the picture (default: FILE.png)."
)
def render(file, output):
    """Draws FILE's top view and an isometric view side by side into a PNG."""
    output = output or f"{file}.png"
    image = render_volume(load(file))
    try:
        image.save(output, format="PNG")
    except OSError as error:
        raise file_error(output, error) from None
    click.echo(output)
