"""Runs one function over many items in local processes or on a Dask cluster.

Results come back in the items' order, so a local run and a cluster run write the same rows in the
same order; and only a few batches are in flight at a time, so memory stays flat however many items
there are. Items travel in batches because a small schematic takes less time to read than a task
takes to send."""

import collections
import concurrent.futures
import functools
import itertools
import multiprocessing
import os

# Batches in flight per worker: enough to keep each busy while the previous result travels back.
BATCHES_IN_FLIGHT_PER_WORKER = 4
# A local worker gets more: the scanning process hands out batches only between those it runs
# itself, which may be slow ones; it takes back those not started when it runs out of work.
BATCHES_IN_FLIGHT_PER_LOCAL_WORKER = 8
# Batches per worker when the job is small enough: a job's last batches may wait for the slowest,
# so many small ones end it sooner than a few large ones.
BATCHES_PER_WORKER = 32
# Results of its own batches that the scanning process holds while the oldest batch out is not
# back (a worker still starting, or a slow file): it goes on working meanwhile.
OWN_RESULTS_HELD = 64
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
    sent to each worker once; otherwise in `jobs` local processes (default: the core count), this
    one among them. `func` and `gather` must be module-level functions (they are
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


def _in_order(submit, batches, in_flight, on_done, run_here=None):
    """Keeps `in_flight` batches submitted and yields their results in submission order. With
    `run_here`, this process runs a batch itself whenever the oldest one is not back yet: the
    next one, holding at most OWN_RESULTS_HELD results of its own, or, once all are handed out,
    the latest one no worker has started."""
    pending = collections.deque()  # [future, batch, whether this process ran it]
    batches = iter(batches)
    for batch in batches:
        pending.append([submit(batch), batch, False])
        if len(pending) >= in_flight:
            break
    while pending:
        future, batch, ran_here = pending[0]
        if run_here and not future.done():
            held = len(pending) < in_flight + OWN_RESULTS_HELD
            if held and (extra := next(batches, None)) is not None:
                pending.append([_finished(run_here(extra)), extra, True])
                continue
            if _take_back_latest(pending, run_here):
                continue
        pending.popleft()
        results = future.result()
        # A batch done here frees no worker: the workers keep their `in_flight`.
        extra = None if ran_here else next(batches, None)
        if extra is not None:
            pending.append([submit(extra), extra, False])
        if on_done:
            on_done(len(batch))
        yield from results


def _take_back_latest(pending, run_here):
    """Runs here the latest batch of `pending` that no worker has started, if any (at the end
    of a job, so that this process does not wait while a worker still has several to do)."""
    for entry in reversed(pending):
        future, batch, ran_here = entry
        if not ran_here and future.cancel():
            entry[0], entry[2] = _finished(run_here(batch)), True
            return True
    return False


def _finished(results):
    future = concurrent.futures.Future()
    future.set_result(results)
    return future


def _start_method():
    # Forking a process that runs threads (a progress bar, a cluster client) can deadlock the child.
    methods = multiprocessing.get_all_start_methods()
    return "forkserver" if "forkserver" in methods else "spawn"


def _run_in_processes(task, items, count, shared, jobs, on_done):
    """`jobs` processes do the work: this one, between handing out batches and taking results
    back, and jobs - 1 workers. This one starts at once, where a worker needs a tenth of a second
    or more to start: a large share of a short job."""
    context = multiprocessing.get_context(_start_method())
    with concurrent.futures.ProcessPoolExecutor(
        max_workers=jobs - 1, mp_context=context, initializer=_remember_shared, initargs=(shared,)
    ) as pool:
        try:
            yield from _in_order(
                lambda batch: pool.submit(_run_batch_in_worker, task, batch),
                _batches(items, count, jobs),
                (jobs - 1) * BATCHES_IN_FLIGHT_PER_LOCAL_WORKER,
                on_done,
                run_here=lambda batch: task(batch, shared),
            )
        finally:
            pool.shutdown(cancel_futures=True)


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
