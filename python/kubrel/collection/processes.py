"""Runs a job's batches in local processes: this one and N - 1 workers.

The workers take numbered batches from one queue as they become free, and send their results back
on pipes of their own; this process keeps the queue filled, and runs the next batch itself whenever
no result can be handed on yet, so that it reads rather than waits. At the end it takes back what
is still queued, so that no worker is left with a backlog while the others idle; and batches shrink
towards the end for the same reason. Everything here happens in the calling thread; only the
queue's own thread writes to it, so that this process never waits to send a batch while a worker
waits for it to take a result."""

import contextlib
import functools
import gc
import itertools
import multiprocessing
import multiprocessing.connection
import multiprocessing.queues  # noqa: F401  (imported with this module rather than in a job's time)
import queue
import sys
import threading
import time
import warnings

# Batches queued (or being read) per worker: enough that a worker need not wait while this
# process, busy with a large file of its own, has not yet looked at its last results.
BATCHES_QUEUED_PER_WORKER = 4
# A batch holds at most 1 / (this × processes) of the items still to send: batches shrink towards
# the end, so that the processes finish together (a batch costs a fraction of a millisecond to
# send, so a local run can afford many).
BATCH_SHARE = 4
# How often this process, busy with items of its own, looks for its workers' results at most.
LOOK_AT_WORKERS_EVERY = 0.0005
# Batches this process may run while the oldest one sent out is not back (their results wait for
# it): enough to keep it busy while a worker reads a large file.
RUN_HERE_AHEAD = 64
# The pipe that brings a worker's results, widened where the system allows, so that a worker
# seldom waits for this process to take a large result.
RESULT_PIPE_BYTES = 1 << 20

# The queues of runs that have ended, whose threads may still be sending the workers their last
# word: the next run waits for them, as it forks only while no other thread runs.
_closing_queues = []


def run_batch(func, gather, batch, shared):
    """The results of `func` over one batch: their list, or a list of what `gather` makes of it."""
    results = [func(item, shared) for item in batch]
    return results if gather is None else [gather(results)]


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


def run(func, gather, items, count, shared, jobs, on_done, largest_batch):
    """Yields the results of `func` over `items` (`count` of them, which sizes the batches of at
    most `largest_batch` items) in their order, as the runner's run() describes, in this process
    and `jobs` - 1 workers."""
    while _closing_queues:
        _closing_queues.pop().join_thread()
    context = multiprocessing.get_context(_start_method())
    if context.get_start_method() == "forkserver":
        # The server imports the work's module (NumPy and the extension with it) once and every
        # worker starts from that, instead of each importing it again.
        context.set_forkserver_preload(["__main__", func.__module__])
    crew = _Crew(context, functools.partial(run_batch, func, gather), shared, jobs - 1)
    try:
        batches = _shrinking_batches(items, count, jobs, largest_batch)
        yield from _share(batches, func, gather, shared, crew, on_done)
    finally:
        crew.stop()


def _shrinking_batches(items, count, processes, largest):
    items = iter(items)
    left = count
    while True:
        size = max(1, min(largest, left // (processes * BATCH_SHARE)))
        batch = list(itertools.islice(items, size))
        if not batch:
            return
        left -= len(batch)
        yield batch


def _share(batches, func, gather, shared, crew, on_done):
    """Yields the results of `batches` in their order. The batches go through the crew's queue,
    kept BATCHES_QUEUED_PER_WORKER deep; this process runs the next batch itself whenever no result
    can be yielded (taken from the queue once all are sent, so that no worker is left with a
    backlog at the end), up to RUN_HERE_AHEAD batches ahead of the oldest one out. Between two
    of its own items, at most every LOOK_AT_WORKERS_EVERY seconds, it takes the workers' results
    and fills the queue again."""
    numbered = enumerate(batches)
    taken = done = 0  # batches taken from `batches`, and those whose results are yielded
    sizes, finished = {}, {}
    looked = time.perf_counter()

    def take():
        nonlocal taken
        number_and_batch = next(numbered, None)
        if number_and_batch is not None:
            taken += 1
            sizes[number_and_batch[0]] = len(number_and_batch[1])
        return number_and_batch

    def look_at_workers():
        nonlocal looked
        looked = time.perf_counter()
        finished.update(crew.results())
        while crew.wants_more() and (number_and_batch := take()) is not None:
            crew.put(number_and_batch)

    def run_here(batch):
        results = []
        for item in batch:
            results.append(func(item, shared))
            if time.perf_counter() - looked > LOOK_AT_WORKERS_EVERY:
                look_at_workers()
        return results

    def gather_runs():
        # Each run of consecutive batches made here is gathered at once, into its first batch.
        first = last = None
        for number in sorted(finished):
            made_here, results = finished[number]
            if made_here and first is not None and number == last + 1:
                finished[first][1].extend(results)
                finished[number] = (False, [])
            elif made_here:
                first = number
            else:
                first = None
            last = number
        for number, (made_here, results) in finished.items():
            if made_here:
                finished[number] = (False, [gather(results)])

    while True:
        look_at_workers()
        while done in finished:
            if finished[done][0] and gather is not None:
                gather_runs()
            results = finished.pop(done)[1]
            if on_done:
                on_done(sizes.pop(done))
            done += 1
            yield from results
        if taken - done < RUN_HERE_AHEAD:
            number_and_batch = take() or crew.take_back()
            if number_and_batch is not None:
                number, batch = number_and_batch
                finished[number] = (True, run_here(batch))
                continue
        if done == taken:
            return
        if gather is not None:
            gather_runs()  # while the workers finish
        crew.wait()


class _Crew:
    """The local worker processes: one queue of numbered batches, which each worker takes from
    when it is free (and this process too, at the end), and a pipe of results from each worker."""

    def __init__(self, context, task, shared, size):
        # The queue writes from a thread of its own, so this process never waits to send a batch
        # while a worker waits for it to take a result.
        self.queue = context.Queue()
        self.out = 0  # batches put in the queue and not yet back: queued or being read
        self.size = size
        self.pipes, self.processes = [], []
        forking = context.get_start_method() == "fork"
        try:
            with _frozen_for_fork(forking):
                for _ in range(size):
                    pipe, results = context.Pipe(duplex=False)
                    _widen(pipe)
                    # A forked worker holds copies of this process's ends of the pipes; it closes
                    # them, or it would never see a pipe end when this process does.
                    inherited = [*self.pipes, pipe] if forking else []
                    process = context.Process(
                        target=_serve,
                        args=(self.queue, results, task, shared, inherited),
                        daemon=True,
                    )
                    self.pipes.append(pipe)
                    process.start()
                    results.close()
                    self.processes.append(process)
        except BaseException:
            self._end_now()
            raise

    def wants_more(self):
        return self.out < BATCHES_QUEUED_PER_WORKER * self.size

    def put(self, number_and_batch):
        self.queue.put(number_and_batch)
        self.out += 1

    def take_back(self):
        """A batch still in the queue, or None."""
        try:
            number_and_batch = self.queue.get(block=False)
        except queue.Empty:
            return None
        self.out -= 1
        return number_and_batch

    def results(self):
        """{number: results} of the batches the workers have finished since last asked."""
        finished = {}
        for pipe, process in zip(self.pipes, self.processes):
            while pipe.poll():
                try:
                    number, ok, value = pipe.recv()
                except EOFError:
                    process.join(1)
                    raise RuntimeError(
                        f"a worker process ended unexpectedly (exit status {process.exitcode})"
                    ) from None
                if not ok:
                    raise value
                finished[number] = (False, value)
                self.out -= 1
        return finished

    def wait(self):
        """Until a worker has a result, or briefly: a batch just put may not have reached the
        queue's pipe when this process last looked, and is then for it to take back."""
        multiprocessing.connection.wait(self.pipes, timeout=0.002)

    def stop(self):
        """Ends the workers without waiting for them: they exit while this process writes its last
        results (and are reaped by the next worker's start or at exit). Workers still busy (after
        an error or an interrupt) are ended at once."""
        if self.out != 0:
            self._end_now()
            return
        for _ in self.processes:
            self.queue.put(None)
        self.queue.close()
        _closing_queues.append(self.queue)
        for pipe in self.pipes:
            pipe.close()

    def _end_now(self):
        for process in self.processes:
            process.terminate()
        for process in self.processes:
            process.join()
        # Nobody reads the queue any more: what it still holds is dropped.
        self.queue.cancel_join_thread()
        self.queue.close()
        self.queue.join_thread()
        for pipe in self.pipes:
            pipe.close()


@contextlib.contextmanager
def _frozen_for_fork(forking):
    """Forks with this process's objects frozen out of the garbage collector: a worker's
    collections would otherwise write to every object it inherited, and so copy every page of them
    (the way CPython's gc.freeze() documentation describes)."""
    if not forking:
        yield
        return
    gc.freeze()
    try:
        with warnings.catch_warnings():
            # Python warns of any thread, also the C libraries' own (OpenBLAS, Arrow), which
            # prepare for a fork themselves; _start_method() has ruled out other Python threads.
            warnings.filterwarnings(
                "ignore", "This process .* is multi-threaded", DeprecationWarning
            )
            yield
    finally:
        gc.unfreeze()


def _widen(connection):
    try:
        import fcntl

        fcntl.fcntl(connection.fileno(), fcntl.F_SETPIPE_SZ, RESULT_PIPE_BYTES)
    except (ImportError, AttributeError, OSError):
        pass  # not Linux, or a system limit below it: the pipe's own size is only slower


def _serve(batches, results, task, shared, inherited):
    """A worker's life: takes numbered batches from the queue `batches` until None, and sends
    back (number, True, results), or (number, False, exception) for a batch that raised."""
    for connection in inherited:
        connection.close()
    parent = multiprocessing.parent_process()
    try:
        while True:
            try:
                number_and_batch = batches.get(timeout=1)
            except queue.Empty:
                # The job's process may have been killed without a word: then end too.
                if parent is not None and not parent.is_alive():
                    return
                continue
            if number_and_batch is None:
                return
            number, batch = number_and_batch
            try:
                outcome = (number, True, task(batch, shared))
            except Exception as error:  # noqa: BLE001  (raised again where the job runs)
                outcome = (number, False, error)
            try:
                results.send(outcome)
            except Exception as error:  # noqa: BLE001  (results or an error that do not pickle)
                failure = RuntimeError(f"a worker's results could not be sent back: {error}")
                results.send((number, False, failure))
    except (KeyboardInterrupt, EOFError, OSError):
        pass  # interrupted along with the job, or the job's process is gone: nothing to report


