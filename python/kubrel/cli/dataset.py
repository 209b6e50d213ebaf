"""`kubrel dataset DIR... -o voxels.zarr --window 32`: a training set of windows."""

import click

from kubrel.cli.cluster import dask_client, dask_option, jobs_option
from kubrel.cli.output import UserError, examples, file_error
from kubrel.cli.paths import in_place_option, refuse_overwrite
from kubrel.cli.progress import progress_bars
from kubrel.collection.dataset import build_dataset, check_request
from kubrel.collection.files import collect


@click.command(
    epilog=examples(
        "kubrel dataset builds/ -o voxels.zarr --window 32",
        "kubrel dataset builds/ -o voxels.zarr --window 16 --augment 8 --jobs 4",
        "kubrel dataset builds/ -o voxels.zarr --dask tcp://scheduler:8786",
    )
)
@click.argument("paths", nargs=-1, required=True)
@click.option("-o", "--output", required=True, metavar="ZARR", help="The dataset folder to write.")
@click.option(
    "--window",
    type=click.IntRange(min=1),
    default=32,
    show_default=True,
    help="Edge of the cubic windows.",
)
@click.option(
    "--augment",
    type=click.Choice(["1", "4", "8", "24"]),
    default="1",
    help="Add each file's turned windows: the 4 turns about y, also mirrored (8), or all 24.",
)
@jobs_option
@dask_option
@in_place_option
def dataset(paths, output, window, augment, jobs, dask_address, in_place):
    """Cuts every schematic under PATHS into windows of WINDOW³ blocks (the last ones padded with
    air), maps the states to one vocabulary for the whole collection and writes a Zarr array of
    windows with its index (file, window origin) and a table of the files."""
    try:
        refuse_overwrite([output], collect(paths), in_place)
        check_request(paths, output)
    except OSError as error:
        raise file_error(error.filename or output, error) from None
    except ValueError as error:
        raise UserError(str(error)) from None
    with dask_client(dask_address, jobs) as client, progress_bars() as bars:
        try:
            files = build_dataset(
                paths,
                output,
                window=window,
                augment=int(augment),
                jobs=jobs,
                client=client,
                on_stage=bars.on_stage,
                on_done=bars.on_done,
            )
        except OSError as error:
            raise file_error(error.filename or output, error) from None
        except ValueError as error:
            raise UserError(str(error)) from None
    failed = files.num_rows - files.column("error").null_count
    windows = sum(count for count in files.column("windows").to_pylist() if count)
    click.echo(
        f"{output}: {windows} windows from {files.num_rows} files, {failed} with errors", err=True
    )
