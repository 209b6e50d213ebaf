"""`kubrel world info|export|scan`: the game's world saves: what a world holds, a box of it cut
out as a schematic, and block counts over whole worlds."""

import json
import os
import time

import click

import kubrel
from kubrel._extras import error_text
from kubrel.cli.cluster import dask_client, dask_option, jobs_option
from kubrel.cli.convert import FORMATS, report_left_out, suffix_format
from kubrel.cli.output import UserError, examples, file_error, show_rows
from kubrel.cli.paths import in_place_option, refuse_overwrite

OVERWORLD = "minecraft:overworld"


@click.group(
    epilog=examples(
        "kubrel world info saves/Castle",
        "kubrel world export saves/Castle --box 0,60,0:64,120,64 castle.schem",
        "kubrel world scan saves/ -o blocks.parquet --by y --jobs 4",
    )
)
def world():
    """Read the game's world saves (the folder that holds level.dat)."""


legacy_option = click.option(
    "--legacy",
    is_flag=True,
    help="Read chunks from before 1.13 as numbered states (#id:data, named where level.dat "
    "names the id) instead of refusing them.",
)


def _open(path, legacy=False):
    try:
        return kubrel.open_world(path, legacy=legacy)
    except (OSError, ValueError) as error:
        raise file_error(path, error) from None


@world.command(
    epilog=examples(
        "kubrel world info saves/Castle",
        "kubrel world info --versions saves/Castle",
        "kubrel world info --json saves/* > worlds.json",
    )
)
@click.argument("worlds", nargs=-1, required=True)
@click.option("--json", "as_json", is_flag=True, help="One JSON object per world, in a list.")
@click.option("--versions", is_flag=True,
              help="Also count each dimension's chunks by the data version they were written "
              "with (reads every chunk).")
def info(worlds, as_json, versions):
    """Name, versions, and each dimension's chunks, region files and size on disk, of each world
    in WORLDS."""
    described = [_described(path, _open(path), versions) for path in worlds]
    if as_json:
        click.echo(json.dumps(described, indent=2))
        return
    rows = [
        (row["path"], row["name"], _text(row["game_version"]), _text(row["data_version"]),
         dimension["name"], dimension["chunks"], dimension["region_files"],
         _size(dimension["bytes"]))
        + ((_versions_text(dimension["chunk_versions"]),) if versions else ())
        for row in described
        for dimension in row["dimensions"]
    ]
    columns = ("world", "name", "game", "data version", "dimension", "chunks", "region files",
               "on disk") + (("chunks by data version",) if versions else ())
    show_rows("worlds", columns, rows)


def _described(path, opened, versions=False):
    dimensions = []
    for name in opened.dimensions:
        regions = opened.region_files(name)
        dimensions.append({
            "name": name,
            "chunks": len(opened.chunks(name)),
            "region_files": len(regions),
            "bytes": sum(os.path.getsize(region) for region in regions),
        })
        if versions:
            # JSON keys are text: "none" for chunks that carry no data version.
            dimensions[-1]["chunk_versions"] = {
                "none" if version is None else str(version): count
                for version, count in opened.chunk_versions(name).items()
            }
    return {
        "path": path,
        "name": opened.name,
        "game_version": opened.game_version or None,
        "data_version": opened.data_version,
        "dimensions": dimensions,
    }


def _versions_text(counts):
    return ", ".join(f"{version}: {count}" for version, count in counts.items()) or "-"


def _text(value):
    return "-" if value is None else value


def _size(count):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if count < 1024 or unit == "GiB":
            return f"{count:.0f} {unit}" if unit == "B" else f"{count:.1f} {unit}"
        count /= 1024
    return str(count)


def parse_box(text):
    """'x0,y0,z0:x1,y1,z1' as ((x0, y0, z0), (x1, y1, z1)); the second corner is excluded."""
    try:
        corners = tuple(tuple(int(n) for n in part.split(",")) for part in text.split(":"))
    except ValueError:
        corners = ()
    if len(corners) != 2 or any(len(corner) != 3 for corner in corners):
        raise click.BadParameter(f"{text!r} is not x0,y0,z0:x1,y1,z1", param_hint="--box")
    if any(high <= low for low, high in zip(*corners)):
        raise click.BadParameter(
            f"{text!r} is empty: each number after ':' must be greater than the one before",
            param_hint="--box",
        )
    return corners


def _world_files(opened):
    """The files a world is read from: its level.dat and every dimension's region files."""
    yield os.path.join(opened.path, "level.dat")
    for dimension in opened.dimensions:
        yield from opened.region_files(dimension)


dimension_option = click.option(
    "--dimension",
    default=OVERWORLD,
    show_default=True,
    metavar="NAME",
    help="The dimension to read: minecraft:overworld, minecraft:the_nether, minecraft:the_end, "
    "or a datapack's.",
)


@world.command(
    epilog=examples(
        "kubrel world export saves/Castle --box 0,60,0:64,120,64 castle.schem",
        "kubrel world export saves/Castle --box -32,0,-32:32,128,32 hall.litematic "
        "--dimension minecraft:the_nether",
    )
)
@click.argument("world_path", metavar="WORLD")
@click.argument("output", metavar="DST")
@click.option(
    "--box",
    required=True,
    metavar="X0,Y0,Z0:X1,Y1,Z1",
    help="The blocks to cut out: from the first corner up to, not including, the second.",
)
@dimension_option
@legacy_option
@click.option("--format", "format_name", type=click.Choice(FORMATS),
              help="The format to write (default: from DST's suffix).")
@click.option("--drop-entities", is_flag=True,
              help="Leave out block entities and entities where the format holds none (KBR).")
@in_place_option
@click.option("--force", is_flag=True, help="Replace DST even when it is read-only.")
def export(world_path, output, box, dimension, legacy, format_name, drop_entities, in_place, force):
    """Cuts the box --box out of WORLD and writes it to DST: blocks, block entities, entities
    and biomes; chunks the world has not generated are air."""
    corners = parse_box(box)
    target = format_name or suffix_format(output)
    if target is None:
        raise UserError(f"{output}: name --format, or end it in .schem, .nbt, .litematic or .kbr")
    opened = _open(world_path, legacy)
    refuse_overwrite([output], _world_files(opened), in_place)
    if dimension not in opened.dimensions:
        raise UserError(
            f"{world_path} has no dimension {dimension}; it has {', '.join(opened.dimensions)}"
        )
    try:
        volume = opened.load(corners, dimension=dimension)
    except (OSError, ValueError) as error:
        raise file_error(world_path, error) from None
    options = {"format": target, "force": force, "drop_entities": drop_entities}
    try:
        written = volume.save(output, **options)
    except (OSError, ValueError) as error:
        raise file_error(output, error) from None
    report_left_out(written)
    click.echo(output)


@world.command(
    epilog=examples(
        "kubrel world scan saves/ -o blocks.parquet",
        "kubrel world scan saves/Castle -o castle_y.parquet --by y --jobs 4 --resume",
        "kubrel world scan saves/ -o blocks.parquet --dask local",
    )
)
@click.argument("paths", nargs=-1, required=True)
@click.option("-o", "--output", required=True, metavar="PARQUET", help="The Parquet file to write.")
@click.option(
    "--by",
    type=click.Choice(("world", "y", "chunk")),
    default="world",
    show_default=True,
    help="One row per region file (world), per region file and y level (y), or per chunk "
    "section (chunk).",
)
@legacy_option
@jobs_option
@click.option("--resume", is_flag=True,
              help="Keep the rows OUTPUT has and count only the other region files.")
@dask_option
@in_place_option
def scan(paths, output, by, legacy, jobs, resume, dask_address, in_place):
    """Counts the blocks of every world under PATHS per state, one task per region file: each
    row names its world, dimension and region file, with the counts, or the error that kept a
    chunk or the file from being read."""
    from kubrel.cli.progress import progress_bars
    from kubrel.collection.scan import write
    from kubrel.collection.world_scan import WorldScanPlan

    try:
        plan = WorldScanPlan(paths, output, resume, by, legacy)
        refuse_overwrite([output], (region for _, _, region in plan.todo()), in_place)
    except OSError as error:
        raise file_error(error.filename or output, error) from None
    except ValueError as error:
        raise UserError(error_text(error)) from None
    with dask_client(dask_address, jobs) as client, progress_bars() as bars:
        started = time.perf_counter()
        bars.on_stage("counting", plan.count)
        failed = write(plan, jobs=jobs, client=client, on_done=bars.on_done)
    seconds = time.perf_counter() - started
    kept = f", {plan.kept} kept from before" if plan.resume_from else ""
    click.echo(
        f"{output}: {plan.count} region files of {len(plan.worlds)} worlds counted in "
        f"{seconds:.1f} s, {failed} rows with errors{kept}",
        err=True,
    )
