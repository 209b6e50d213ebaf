"""The command group: every subcommand, and the one place where a missing extra becomes an error
line."""

import click

from kubrel._extras import MissingExtra
from kubrel._native import build_info
from kubrel.cli.convert import convert
from kubrel.cli.dataset import dataset
from kubrel.cli.info import info
from kubrel.cli.materials import materials
from kubrel.cli.output import UserError, examples
from kubrel.cli.render import render
from kubrel.cli.scan import scan
from kubrel.cli.transform import transform
from kubrel.cli.view import view
from kubrel.cli.world import world


class KubrelGroup(click.Group):
    def invoke(self, ctx):
        try:
            return super().invoke(ctx)
        except MissingExtra as error:
            raise UserError(str(error)) from None


@click.group(
    cls=KubrelGroup,
    context_settings={"help_option_names": ["-h", "--help"]},
    epilog=examples(
        "kubrel info castle.schem",
        "kubrel convert castle.schem castle.litematic",
        "kubrel materials castle.schem",
    ),
)
@click.version_option(
    package_name="kubrel",
    prog_name="kubrel",
    message=f"%(prog)s, version %(version)s (inflaters: {build_info()['inflaters']})",
)
def app():
    """Read, convert, picture and survey block schematics: Sponge (.schem, versions 1 to 3),
    Mojang structure files (.nbt), Litematica (.litematic) and KBR (.kbr); and read the game's
    world saves (`kubrel world`)."""


for command in (info, materials, convert, transform, render, view, scan, dataset, world):
    app.add_command(command)
