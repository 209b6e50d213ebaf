"""Runs one function over many items in local processes or on a Dask cluster.

Results come back in the items' order, so a local run and a cluster run write the same rows in the
same order; and only a few batches are in flight at a time, so memory stays flat however many items
there are. Items travel in batches because a small schematic takes less time to read than a task
takes to send."""

import collections
import functools
import gc
import itertools
import multiprocessing
import os
import sys
import threading
import warnings
from concurrent.futures import ProcessPoolExecutor

# Batches in flight per worker: enough to keep each busy while the previous result travels back.
BATCHES_IN_FLIGHT_PER_WORKER = 4
# Batches per worker over a whole run, at least: enough that the last batches, which may hold the
# collection's largest files, leave no worker idle for long.
BATCHES_PER_WORKER = 8
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


def run(func, items, count, shared=None, *, jobs=None, client=None, on_done=None, gather=None):
    """Yields `func(item, shared)` for every item of the iterable `items` (`count` of them, which
    sizes the batches), in the items' order; items are taken only as batches are sent. With
    `gather`, each batch's list of results goes through `gather` where it was made, and what that
    returns is yielded instead, one value per batch: the worker then does the packing (into a
    record batch, say), which would otherwise load the one process that receives everything.

    With `client` (a `distributed.Client`) the work runs on the cluster's workers and `shared` is
    sent to each worker once; otherwise in `jobs` local processes (default: the core count), or in
    this process when `jobs` is 1. `func` and `gather` must be module-level functions (they are
    pickled); `func` should turn its own failures into results: an exception stops the whole run.
    `on_done(n)` is called each time n more items are finished."""
    task = functools.partial(_run_batch, func, gather)
    if client is not None:
        return _run_on_cluster(task, items, count, shared, client, on_done)
    jobs = jobs or default_jobs()
    if jobs == 1:
        return _run_here(task, items, count, shared, on_done)
    return _run_in_processes(task, items, count, shared, jobs, on_done)


def _batches(items, count, workers):
    size = max(1, min(LARGEST_BATCH, count // (workers * BATCHES_PER_WORKER)))
    items = iter(items)
    while batch := list(itertools.islice(items, size)):
        yield batch


def _run_batch(func, gather, batch, shared):
    results = [func(item, shared) for item in batch]
    return results if gather is None else [gather(results)]


def _run_batch_in_worker(task, batch):
    return task(batch, _worker_shared)


def _remember_shared(shared):
    global _worker_shared
    _worker_shared = shared


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
        pending.append((submit(batch), len(batch)))
        if len(pending) >= in_flight:
            break
    while pending:
        future, size = pending.popleft()
        results = future.result()
        batch = next(batches, None)
        if batch is not None:
            pending.append((submit(batch), len(batch)))
        if on_done:
            on_done(size)
        yield from results


def _start_method():
    # A forked worker starts in milliseconds with everything this process imported; a fork server
    # first starts an interpreter and imports NumPy and the extension, a few tenths of a second
    # that a small collection never wins back. But a fork copies only the calling thread, and a
    # lock that another Python thread held (a progress bar's, a cluster client's) stays held in the
    # child: fork only while this process runs no other Python thread, and only on Linux, where
    # the C libraries it loads (OpenBLAS, the C runtime) prepare their own threads for a fork.
    methods = multiprocessing.get_all_start_methods()
    if sys.platform.startswith("linux") and "fork" in methods and threading.active_count() == 1:
        return "fork"
    return "forkserver" if "forkserver" in methods else "spawn"


def _run_in_processes(task, items, count, shared, jobs, on_done):
    context = multiprocessing.get_context(_start_method())
    if context.get_start_method() == "forkserver":
        # The server imports the work's module (NumPy and the extension with it) once and every
        # worker starts from that, instead of each importing it again.
        context.set_forkserver_preload(["__main__", task.args[0].__module__])
    with ProcessPoolExecutor(
        max_workers=jobs, mp_context=context, initializer=_remember_shared, initargs=(shared,)
    ) as pool:

        def submit(batch):
            return pool.submit(_run_batch_in_worker, task, batch)

        try:
            yield from _in_order(
                _forking_first(submit) if context.get_start_method() == "fork" else submit,
                _batches(items, count, jobs),
                jobs * BATCHES_IN_FLIGHT_PER_WORKER,
                on_done,
            )
        finally:
            pool.shutdown(cancel_futures=True)


def _forking_first(submit):
    """`submit`, whose first call (which forks every worker of the pool at once) runs with this
    process's objects frozen out of the garbage collector: a worker's collections would otherwise
    write to every object it inherited, and so copy every page of them (the way CPython's
    gc.freeze() documentation describes)."""
    first = True

    def submit_first_frozen(batch):
        nonlocal first
        if not first:
            return submit(batch)
        first = False
        gc.freeze()
        try:
            with warnings.catch_warnings():
                # Python warns of any thread, also the C libraries' own (OpenBLAS, Arrow), which
                # prepare for a fork themselves; _start_method() has ruled out other Python
                # threads.
                warnings.filterwarnings(
                    "ignore", "This process .* is multi-threaded", DeprecationWarning
                )
                return submit(batch)
        finally:
            gc.unfreeze()

    return submit_first_frozen


def _run_on_cluster(task, items, count, shared, client, on_done):
    workers = max(1, sum(client.nthreads().values()))
    # Wrapped in a list: scatter() would send a dict's values one by one.
    [shared_on_workers] = client.scatter([shared], broadcast=True)
    yield from _in_order(
        lambda batch: client.submit(task, batch, shared_on_workers, pure=False),
        _batches(items, count, workers),
        workers * BATCHES_IN_FLIGHT_PER_WORKER,
        on_done,
    )
