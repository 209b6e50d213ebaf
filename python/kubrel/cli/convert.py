"""`kubrel convert SRC DST`: a schematic in any readable format to any writable one; `kubrel
convert DIR... --to FORMAT -o OUT`: every schematic under the folders, in their layout."""

import os
import time

import click

import kubrel
from kubrel.cli.cluster import jobs_option
from kubrel.cli.output import (
    UserError,
    examples,
    file_error,
    load,
    palette_option,
    region_option,
)
from kubrel.cli.paths import in_place_option, pieces_at, refuse_overwrite

FORMATS = ("sponge", "structure", "kbr", "litematic")
# What a target's suffix makes of it, as the writers read it (any letter case).
SUFFIXES = {
    ".schem": "sponge",
    ".schematic": "sponge",
    ".nbt": "structure",
    ".kbr": "kbr",
    ".litematic": "litematic",
}
# The largest edge the game's structure block loads.
STRUCTURE_BLOCK_EDGE = 48


@click.command(
    epilog=examples(
        "kubrel convert castle.schem castle.litematic",
        "kubrel convert castle.schem out/castle.nbt --pieces 48",
        "kubrel convert builds/ more/ --to litematic -o converted/ --jobs 4 --resume",
    )
)
@click.argument("paths", nargs=-1, required=True)
@click.option(
    "--format",
    "--to",
    "format_name",
    type=click.Choice(FORMATS),
    help="The format to write (default: from DST's suffix).",
)
@click.option(
    "-o",
    "--output",
    metavar="OUT",
    help="Convert every schematic under PATHS (folders and files) into the folder OUT, each "
    "folder's files in its layout; needs --to.",
)
@jobs_option
@click.option(
    "--resume", is_flag=True, help="With -o: keep each target that is newer than its source."
)
@click.option(
    "--version",
    type=click.IntRange(2, 3),
    help="The Sponge version to write: 3 (the default) or 2, for tools that read no other.",
)
@palette_option
@region_option
@click.option(
    "--pieces",
    type=click.IntRange(min=1),
    metavar="EDGE",
    help="Write structure pieces of at most EDGE³ blocks, named by their offset after DST "
    "without its suffix (castle.nbt: castle_0_0_0.nbt, castle_48_0_0.nbt, ...).",
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
def convert(
    paths, format_name, output, jobs, resume, version, palette, region, pieces, drop_entities,
    data_version, in_place, force,
):
    """PATHS is SRC DST: reads SRC and writes it to DST. A file replaced keeps its permissions,
    and a link to it stays a link. With -o OUT, PATHS are folders and files to convert into OUT."""
    save_options = {"force": force, "drop_entities": drop_entities}
    if version is not None:
        save_options["version"] = version
    if data_version is not None:
        save_options["data_version"] = data_version
    if output is not None:
        if format_name is None:
            raise click.UsageError("converting into a folder needs --to FORMAT")
        if pieces or palette or region:
            raise click.UsageError("--pieces, --palette and --region convert one file: leave out -o")
        if version is not None and format_name != "sponge":
            raise UserError("--version is the Sponge version: name --to sponge")
        return _convert_all(paths, output, format_name, jobs, resume, save_options)
    if len(paths) != 2 or jobs or resume:
        raise click.UsageError("give SRC and DST, or folders and files with -o OUT and --to")
    src, dst = paths
    if pieces and format_name not in (None, "structure"):
        raise UserError("pieces are structure files: leave out --format or name 'structure'")
    target_format = "structure" if pieces else format_name or suffix_format(dst)
    if version is not None and target_format != "sponge":
        raise UserError("--version is the Sponge version: write a .schem or name --format sponge")
    if pieces:
        dst = _stem(dst)
    refuse_overwrite(pieces_at(dst) if pieces else [dst], [src], in_place)
    options = {"force": force}
    if format_name is not None and not pieces:
        options["format"] = format_name
    if version is not None:
        options["version"] = version
    if drop_entities and not pieces:
        options["drop_entities"] = True
    if data_version is not None and not pieces:
        options["data_version"] = data_version
    # Read and write apart, so that each failure names its own file.
    volume = load(src, palette=palette, region=region)
    if target_format == "kbr" and not drop_entities and (volume.block_entities or volume.entities):
        raise UserError(
            f"{dst}: KBR holds no block entities or entities, and {src} has "
            f"{len(volume.block_entities)} block entities and {len(volume.entities)} entities; "
            "add --drop-entities to leave them out"
        )
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
        return
    report_left_out(written)
    if target_format == "structure" and max(volume.size) > STRUCTURE_BLOCK_EDGE:
        size = "×".join(map(str, volume.size))
        click.echo(
            f"kubrel: warning: {dst} is {size}: the game's structure block loads at most "
            f"{STRUCTURE_BLOCK_EDGE} on each axis; --pieces {STRUCTURE_BLOCK_EDGE} writes pieces "
            "it loads",
            err=True,
        )


def report_left_out(written):
    """Says on standard error what a save (its report `written`) could not keep, if anything."""
    left_out = list(written.get("not_kept", ()))
    if written["block_entities"] or written["entities"]:
        dropped = f"{written['block_entities']} block entities and {written['entities']} entities"
        left_out.insert(0, dropped)
    if left_out:
        click.echo(f"left out {'; '.join(left_out)}", err=True)


def suffix_format(path):
    return SUFFIXES.get(os.path.splitext(path)[1].lower())


def _stem(path):
    """A pieces target without the suffix of a schematic, which the pieces' names would
    otherwise carry in their middle."""
    root, suffix = os.path.splitext(path)
    return root if suffix.lower() in SUFFIXES else path


def _convert_all(paths, output, format_name, jobs, resume, save_options):
    """Converts every schematic under `paths` into the folder `output`: one line per file on
    standard output (written, kept or error, the source, the target, and what was left out or
    went wrong), progress and a summary on standard error, exit status 1 when any file failed."""
    from kubrel.cli.progress import progress_bars
    from kubrel.collection import converting, runner
    from kubrel.collection.files import check_paths

    try:
        check_paths(paths)
    except OSError as error:
        raise file_error(error.filename, error) from None
    pairs = converting.targets(paths, output, format_name)
    options = {**save_options, "format": format_name, "resume": resume}
    done = {"written": 0, "kept": 0, "error": 0}
    started = time.perf_counter()
    with progress_bars() as bars:
        bars.on_stage("converting", len(pairs))
        results = runner.run(
            converting.convert_one,
            pairs,
            len(pairs),
            options,
            jobs=jobs,
            on_done=bars.on_done,
            lost=converting.lost,
        )
        for status, source, target, note in results:
            done[status] += 1
            click.echo("\t".join(filter(None, (status, source, target, note))))
    seconds = time.perf_counter() - started
    click.echo(
        f"{output}: {done['written']} written, {done['kept']} kept as up to date, "
        f"{done['error']} with errors, in {seconds:.1f} s",
        err=True,
    )
    if done["error"]:
        raise click.exceptions.Exit(1)
