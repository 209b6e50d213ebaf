"""`kubrel transform IN OUT`: a schematic cropped, trimmed, turned, mirrored and with states
replaced, in that order, written in the format of OUT's suffix."""

import warnings

import click

import kubrel
from kubrel.cli.output import UserError, examples, file_error, load


def _box(text):
    try:
        numbers = [int(n) for n in text.split(",")]
    except ValueError:
        numbers = []
    if len(numbers) != 6:
        raise click.BadParameter("expected X0,Y0,Z0,X1,Y1,Z1")
    return tuple(numbers[:3]), tuple(numbers[3:])


@click.command(
    epilog=examples(
        "kubrel transform castle.schem castle.nbt --rotate 90 --mirror z",
        "kubrel transform castle.schem part.schem --crop 0,0,0,16,8,16 --trim",
        "kubrel transform castle.schem spruce.schem --replace minecraft:oak_planks=minecraft:spruce_planks",
    )
)
@click.argument("src")
@click.argument("dst")
@click.option("--crop", metavar="X0,Y0,Z0,X1,Y1,Z1", help="Keep this box (max exclusive).")
@click.option("--trim", is_flag=True, help="Keep the smallest box holding everything not air.")
@click.option("--rotate", type=int, default=0, metavar="DEGREES", help="Turn clockwise by a multiple of 90.")
@click.option("--axis", type=click.Choice(["x", "y", "z"]), default="y", show_default=True,
              help="The axis of --rotate.")
@click.option("--mirror", type=click.Choice(["x", "y", "z"]), help="Reverse this axis.")
@click.option("--replace", "replacements", multiple=True, metavar="A=B", help="Replace state A by B.")
@click.option("--strict", is_flag=True, help="Fail when a state cannot follow a turn.")
def transform(src, dst, crop, trim, rotate, axis, mirror, replacements, strict):
    """Reads SRC, transforms it and writes DST."""
    if rotate % 90:
        raise UserError(f"--rotate takes a multiple of 90, not {rotate}")
    mapping = {}
    for item in replacements:
        old, equals, new = item.partition("=")
        if not equals or not old or not new:
            raise UserError(f"--replace takes OLD=NEW, not {item!r}")
        mapping[old] = new
    volume = load(src)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", kubrel.TransformWarning)
        try:
            if crop:
                volume = volume.crop(*_box(crop))
            if trim:
                volume = volume.trim()
            if rotate:
                volume = volume.rotate(rotate // 90, axis, strict=strict)
            if mirror:
                volume = volume.mirror(mirror, strict=strict)
            if mapping:
                volume = volume.replace(mapping)
        except kubrel.KubrelError as error:
            raise UserError(f"{src}: {error}") from None
    for warning in caught:
        click.echo(f"kubrel: warning: {warning.message}", err=True)
    try:
        volume.save(dst)
    except (OSError, ValueError) as error:
        raise file_error(dst, error) from None
