"""Runs one function over many items in local processes or on a Dask cluster.

Results come back in the items' order, so a local run and a cluster run write the same rows in the
same order; and only a few batches are in flight at a time, so memory stays flat however many items
there are. Items travel in batches because a small schematic takes less time to read than a task
takes to send."""

import collections
import itertools
import multiprocessing
import os
from concurrent.futures import ProcessPoolExecutor

# Batches in flight per worker: enough to keep each busy while the previous result travels back.
BATCHES_IN_FLIGHT_PER_WORKER = 4
# A cluster answers a task in milliseconds at best (far more on a busy machine): batches of a few
# hundred small files keep that a small part of the work.
LARGEST_BATCH = 256

# What a local worker process received when it started (the `shared` argument of run()).
_worker_shared = None


def default_jobs():
    """The number of cores this process may run on."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def run(func, items, count, shared=None, *, jobs=None, client=None, on_done=None):
    """Yields `func(item, shared)` for every item of the iterable `items` (`count` of them, which
    sizes the batches), in the items' order; items are taken only as batches are sent.

    With `client` (a `distributed.Client`) the work runs on the cluster's workers and `shared` is
    sent to each worker once; otherwise in `jobs` local processes (default: the core count), or in
    this process when `jobs` is 1. `func` must be a module-level function (it is pickled), and
    should turn its own failures into results: an exception stops the whole run. `on_done(n)` is
    called each time n more items are finished."""
    if client is not None:
        return _run_on_cluster(func, items, count, shared, client, on_done)
    jobs = jobs or default_jobs()
    if jobs == 1:
        return _run_here(func, items, shared, on_done)
    return _run_in_processes(func, items, count, shared, jobs, on_done)


def _batches(items, count, workers):
    size = max(1, min(LARGEST_BATCH, count // (workers * 8)))
    items = iter(items)
    while batch := list(itertools.islice(items, size)):
        yield batch


def _run_batch(func, batch, shared):
    return [func(item, shared) for item in batch]


def _run_batch_in_worker(func, batch):
    return _run_batch(func, batch, _worker_shared)


def _remember_shared(shared):
    global _worker_shared
    _worker_shared = shared


def _run_here(func, items, shared, on_done):
    for item in items:
        result = func(item, shared)
        if on_done:
            on_done(1)
        yield result


def _in_order(submit, batches, in_flight, on_done):
    """Keeps `in_flight` batches submitted and yields their results in submission order."""
    pending = collections.deque()
    batches = iter(batches)
    for batch in batches:
        pending.append(submit(batch))
        if len(pending) >= in_flight:
            break
    while pending:
        results = pending.popleft().result()
        batch = next(batches, None)
        if batch is not None:
            pending.append(submit(batch))
        if on_done:
            on_done(len(results))
        yield from results


def _start_method():
    # Forking a process that runs threads (a progress bar, a cluster client) can deadlock the child.
    methods = multiprocessing.get_all_start_methods()
    return "forkserver" if "forkserver" in methods else "spawn"


def _run_in_processes(func, items, count, shared, jobs, on_done):
    context = multiprocessing.get_context(_start_method())
    with ProcessPoolExecutor(
        max_workers=jobs, mp_context=context, initializer=_remember_shared, initargs=(shared,)
    ) as pool:
        try:
            yield from _in_order(
                lambda batch: pool.submit(_run_batch_in_worker, func, batch),
                _batches(items, count, jobs),
                jobs * BATCHES_IN_FLIGHT_PER_WORKER,
                on_done,
            )
        finally:
            pool.shutdown(cancel_futures=True)


def _run_on_cluster(func, items, count, shared, client, on_done):
    workers = max(1, sum(client.nthreads().values()))
    # Wrapped in a list: scatter() would send a dict's values one by one.
    [shared_on_workers] = client.scatter([shared], broadcast=True)
    yield from _in_order(
        lambda batch: client.submit(_run_batch, func, batch, shared_on_workers, pure=False),
        _batches(items, count, workers),
        workers * BATCHES_IN_FLIGHT_PER_WORKER,
        on_done,
    )
