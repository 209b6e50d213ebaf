"""Runs one function over many items in local processes or on a Dask cluster.

Results come back in the items' order, so a local run and a cluster run write the same rows in the
same order; and only a few batches are in flight at a time, so memory stays flat however many items
there are. Items travel in batches because a small schematic takes less time to read than a task
takes to send."""

import collections
import functools
import itertools
import os

from kubrel._extras import require
from kubrel.collection import processes

# Batches in flight per cluster worker: enough to keep each busy while the previous result travels
# back.
BATCHES_IN_FLIGHT_PER_WORKER = 4
# Batches per worker over a whole cluster run (and in a run in this process alone), at least:
# enough that the last batches, which may hold the collection's largest files, leave no worker
# idle for long.
BATCHES_PER_WORKER = 8
# A cluster answers a task in milliseconds at best (far more on a busy machine), a local worker in
# a fraction of one: batches of a few hundred small files keep that a small part of the work.
LARGEST_BATCH = 256


def default_jobs():
    """The number of cores this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def run(
    func, items, count, shared=None, *, jobs=None, client=None, on_done=None, gather=None, lost=None
):
    """Yields `func(item, shared)` for every item of the iterable `items` (`count` of them, which
    sizes the batches), in the items' order; items are taken only as batches are sent. With
    `gather`, the lists of results go through `gather` where they were made, and what that
    returns is yielded instead, one value per batch (or per run of batches made in this process):
    the worker then does the packing (into a record batch, say), which would otherwise load the
    one process that receives everything.

    With `client` (a `distributed.Client`) the work runs on the cluster's workers and `shared` is
    sent to each worker once; otherwise in `jobs` local processes (default: the core count): this
    one, which reads too, and `jobs` - 1 workers. `func` and `gather` must be module-level
    functions (they are pickled); `func` should turn its own failures into results: an exception
    stops the whole run. `on_done(n)` is called each time n more items are finished.

    A worker process that dies (a file that exhausts its memory, a crash in a reader) stops the
    run with RuntimeError, unless `lost(item, reason)` (module-level too) gives the result of the
    item whose reading ended the process; the other items of its batch are read again."""
    task = functools.partial(processes.run_batch, func, gather)
    if client is not None:
        return _run_on_cluster(func, gather, lost, items, count, shared, client, on_done)
    jobs = jobs or default_jobs()
    if jobs == 1:
        return _run_here(task, items, count, shared, on_done)
    return processes.run(func, gather, items, count, shared, jobs, on_done, LARGEST_BATCH, lost)


def _batches(items, count, workers):
    size = max(1, min(LARGEST_BATCH, count // (workers * BATCHES_PER_WORKER)))
    items = iter(items)
    while batch := list(itertools.islice(items, size)):
        yield batch


def _run_here(task, items, count, shared, on_done):
    for batch in _batches(items, count, 1):
        results = task(batch, shared)
        if on_done:
            on_done(len(batch))
        yield from results


def _in_order(submit, batches, in_flight, on_done):
    """Keeps `in_flight` batches submitted and yields their results in submission order."""
    pending = collections.deque()
    batches = iter(batches)
    for batch in batches:
        pending.append((submit(batch), batch))
        if len(pending) >= in_flight:
            break
    while pending:
        future, batch = pending.popleft()
        results = future.result()
        batch_after = next(batches, None)
        if batch_after is not None:
            pending.append((submit(batch_after), batch_after))
        if on_done:
            on_done(len(batch))
        yield from results


def _run_on_cluster(func, gather, lost, items, count, shared, client, on_done):
    workers = max(1, sum(client.nthreads().values()))
    # Wrapped in a list: scatter() would send a dict's values one by one. Not named by its hash:
    # a run that ended early (an interrupt) releases its copy while the next run, with the same
    # value, may already depend on it.
    [shared_on_workers] = client.scatter([shared], broadcast=True, hash=False)
    submit = functools.partial(_Submitted, client, (func, gather, lost, shared), shared_on_workers)
    yield from _in_order(
        submit, _batches(items, count, workers), workers * BATCHES_IN_FLIGHT_PER_WORKER, on_done
    )


class _Submitted:
    """A batch submitted to the cluster, with a future's result(). When the cluster gives up on
    the batch because workers died reading it (KilledWorker, or the shared value lost with them),
    and the run has `lost`, its items are read again one task each, with the shared value sent
    along; an item whose task fails the same way gets `lost(item, reason)`, gathered here with
    the others."""

    def __init__(self, client, work, shared, batch):
        self.client, self.work, self.shared, self.batch = client, work, shared, batch
        func, gather, _lost, _value = work
        task = functools.partial(processes.run_batch, func, gather)
        self.future = client.submit(task, batch, shared, pure=False)

    def result(self):
        func, gather, lost, value = self.work
        distributed = require("distributed")
        killed = (distributed.KilledWorker, distributed.client.FutureCancelledError)
        try:
            return self.future.result()
        except killed:
            if lost is None:
                raise
        each = [self.client.submit(func, item, value, pure=False) for item in self.batch]
        results = []
        for item, future in zip(self.batch, each):
            try:
                results.append(future.result())
                continue
            except killed:
                pass
            # A task that was only waiting on the worker that died has failed too: it has one
            # more try, alone.
            try:
                results.append(self.client.submit(func, item, value, pure=False).result())
            except killed:
                results.append(lost(item, "the reading process ended unexpectedly"))
        return results if gather is None else [gather(results)]
