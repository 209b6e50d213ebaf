"""`kubrel scan DIR... -o stats.parquet`: one row per file of a collection."""

import time

import click

from kubrel.cli.cluster import dask_client, dask_option, jobs_option
from kubrel.cli.output import UserError, examples, file_error
from kubrel.cli.paths import in_place_option, refuse_overwrite
from kubrel.cli.progress import progress_bars
from kubrel.collection.files import collect
from kubrel.collection.scan import ScanPlan, write


@click.command(
    epilog=examples(
        "kubrel scan builds/ -o stats.parquet",
        "kubrel scan builds/ more/ -o stats.parquet --jobs 8 --resume",
        "kubrel scan builds/ -o stats.parquet --dask local",
    )
)
@click.argument("paths", nargs=-1, required=True)
@click.option("-o", "--output", required=True, metavar="PARQUET", help="The Parquet file to write.")
@jobs_option
@click.option("--resume", is_flag=True, help="Keep the rows OUTPUT has and read only the other files.")
@dask_option
@in_place_option
def scan(paths, output, jobs, resume, dask_address, in_place):
    """Reads every schematic under PATHS (folders and files) and writes one row per file: its
    size in bytes, content hash, format, version, size, origin, block count, palette size and
    per-state counts, or the error that kept it from being read."""
    try:
        plan = ScanPlan(paths, output, resume)
        refuse_overwrite([output], collect(paths), in_place)
    except OSError as error:
        raise file_error(error.filename or output, error) from None
    except ValueError as error:
        raise UserError(str(error)) from None
    with dask_client(dask_address, jobs) as client, progress_bars() as bars:
        started = time.perf_counter()
        bars.on_stage("scanning", plan.count)
        failed = write(plan, jobs=jobs, client=client, on_done=bars.on_done)
    seconds = time.perf_counter() - started
    rate = plan.count / seconds if seconds else 0.0
    kept = f", {plan.kept} kept from before" if plan.resume_from else ""
    click.echo(
        f"{output}: {plan.count} files scanned in {seconds:.1f} s ({rate:,.0f} files/s), "
        f"{failed} with errors{kept}",
        err=True,
    )
