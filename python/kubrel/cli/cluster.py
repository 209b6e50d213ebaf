"""The `--dask ADDRESS` option of the collection jobs: a client of an existing cluster, or of a
local one started for the job."""

import contextlib
import logging

import click

from kubrel._extras import require
from kubrel.collection.runner import default_jobs

dask_option = click.option(
    "--dask",
    "dask_address",
    metavar="ADDRESS",
    help="Run on the Dask cluster at ADDRESS ('local' starts one with --jobs workers).",
)
jobs_option = click.option(
    "-j",
    "--jobs",
    type=click.IntRange(min=1),
    help="Processes reading files (default: the core count).",
)


@contextlib.contextmanager
def dask_client(address, jobs):
    """Yields a `distributed.Client` for `address`, or None when there is none."""
    if address is None:
        yield None
        return
    distributed = require("distributed")
    if address != "local":
        with distributed.Client(address) as client:
            yield client
        return
    with distributed.LocalCluster(
        n_workers=jobs or default_jobs(),
        threads_per_worker=1,
        processes=True,
        dashboard_address=":0",
        silence_logs=logging.ERROR,
    ) as cluster, distributed.Client(cluster) as client:
        yield client
