"""The `--dask ADDRESS` option of the collection jobs: a client of an existing cluster, or of a
local one started for the job."""

import contextlib
import logging
import os
import signal
import threading

import click

from kubrel._extras import require
from kubrel.cli.output import UserError
from kubrel.collection.runner import default_jobs

# How long to try to reach a cluster's scheduler: a scheduler that answers at all does so at once.
CONNECT_SECONDS = 3

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
        try:
            client = distributed.Client(address, timeout=CONNECT_SECONDS)
        except (OSError, ValueError) as error:
            raise UserError(f"{address}: {_reason(error)}") from None
        with client:
            yield client
        return
    # A worker that dies reading a file marks its task failed at once: the job then reads that
    # batch's files one task each, so that only the file that ends a worker again is lost.
    config = {"distributed.scheduler.allowed-failures": 0}
    with _interrupts_ignored(), require("dask").config.set(config):
        cluster = distributed.LocalCluster(
            n_workers=jobs or default_jobs(),
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            silence_logs=logging.ERROR,
        )
    with cluster, distributed.Client(cluster) as client:
        yield client


def _reason(error):
    """The system's own words for why a connection failed, where an error in the chain has them."""
    cause = error
    while cause is not None:
        if isinstance(cause, OSError) and cause.errno:
            return cause.strerror or os.strerror(cause.errno)
        cause = cause.__cause__ or cause.__context__
    return " ".join(str(error).split())


@contextlib.contextmanager
def _interrupts_ignored():
    """Ignores Ctrl-C (SIGINT) while the local cluster starts its worker processes, which inherit
    that through their start and so leave the interrupt meant for the job to this process (which
    closes the cluster), instead of each printing tracebacks of its own. A Ctrl-C during the start
    itself is lost; one after it stops the job."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
