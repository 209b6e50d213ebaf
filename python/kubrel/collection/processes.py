"""Runs a job's batches in local processes: this one and N - 1 workers.

One object, the pool, owns every batch that is not yet yielded: those each worker holds (sent on
the worker's own pipe, read in the order sent), those to send again after a worker died, and the
results that wait for an older batch. Each worker is kept BATCHES_AHEAD_PER_WORKER batches ahead;
this process runs the next batch itself whenever no result can be yielded, so that it reads rather
than waits, and between two of its own items looks at the workers' results and feeds them again.
Batches shrink towards the end, so that the processes finish together.

A worker that dies (a file that exhausts memory or crashes the reader) is replaced; the batches it
had not begun are sent again, and the one it was reading is read again item by item, each sent
alone, so that only the item that ends a process again is lost: it gets what `lost` makes of it."""

import collections
import contextlib
import gc
import itertools
import multiprocessing
import multiprocessing.connection
import signal
import sys
import threading
import time
import warnings

# Batches sent to a worker and not yet back: enough that a worker need not wait while this
# process, busy with a large file of its own, has not yet looked at its last results.
BATCHES_AHEAD_PER_WORKER = 3
# A batch holds at most 1 / (this × processes) of the items still to send: batches shrink towards
# the end, so that the processes finish together (a batch costs a fraction of a millisecond to
# send, so a local run can afford many).
BATCH_SHARE = 4
# How often this process, busy with items of its own, looks for its workers' results at most.
LOOK_AT_WORKERS_EVERY = 0.0005
# Batches this process may run while the oldest one sent out is not back (their results wait for
# it): enough to keep it busy while a worker reads a large file.
RUN_HERE_AHEAD = 64
# The pipes of a worker, widened where the system allows, so that a worker seldom waits for this
# process to take a large result.
PIPE_BYTES = 1 << 20


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


def run(func, gather, items, count, shared, jobs, on_done, largest_batch, lost=None):
    """Yields the results of `func` over `items` (`count` of them, which sizes the batches of at
    most `largest_batch` items) in their order, as the runner's run() describes, in this process
    and `jobs` - 1 workers. An item whose reading ends a worker gets `lost(item, reason)` as its
    result, or raises RuntimeError without `lost`."""
    context = multiprocessing.get_context(_start_method())
    if context.get_start_method() == "forkserver":
        # The server imports the work's module (NumPy and the extension with it) once and every
        # worker starts from that, instead of each importing it again.
        context.set_forkserver_preload(["__main__", func.__module__])
    pool = _Pool(context, func, gather, lost, shared, jobs - 1)
    try:
        yield from pool.results(_shrinking_batches(items, count, jobs, largest_batch), on_done)
    finally:
        pool.stop()


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


class _Worker:
    """One worker process, its two pipes and the batches it holds, in the order it reads them:
    (key, items) with key a batch's number, or (number, index) for an item sent alone."""

    def __init__(self, context, task, shared, others):
        self.tasks, tasks = context.Pipe(duplex=False)[::-1]
        self.results, results = context.Pipe(duplex=False)
        for connection in (self.tasks, self.results):
            _widen(connection)
        forking = context.get_start_method() == "fork"
        # A forked worker holds copies of this process's ends of every pipe; it closes them, or
        # a worker would never see its task pipe end when this process does.
        inherited = [self.tasks, self.results, *others] if forking else []
        self.process = context.Process(
            target=_serve, args=(tasks, results, task, shared, inherited), daemon=True
        )
        with _frozen_for_fork(forking), interrupts_held():
            self.process.start()
        tasks.close()
        results.close()
        self.held = collections.deque()

    def ended(self):
        """How the process ended, in words (it has; this reaps it)."""
        self.process.join()
        code = self.process.exitcode
        return f"signal {-code}" if code is not None and code < 0 else f"exit status {code}"

    def close(self):
        self.tasks.close()
        self.results.close()


class _Pool:
    """The workers and every batch not yet yielded (see the module's docstring)."""

    def __init__(self, context, func, gather, lost, shared, size):
        self.context, self.func, self.gather, self.lost = context, func, gather, lost
        self.shared = shared
        self.workers = []
        self.fresh = iter(())  # numbered batches not sent yet
        self.again = collections.deque()  # (number, items) to send again, to anyone
        self.alone = collections.deque()  # ((number, index), [item]) to send to workers only
        self.pieces = {}  # number: [results by index, items missing] of a batch read item by item
        self.finished = {}  # number: (made here, so to gather here, results)
        self.sizes = {}  # number: items, for on_done
        self.taken = self.done = 0
        self.fresh_ended = False
        self.looked = 0.0
        try:
            for _ in range(size):
                self.workers.append(self._start())
        except BaseException:
            self._end_now()
            raise

    def _start(self):
        ends = (end for worker in self.workers for end in (worker.tasks, worker.results))
        others = [end for end in ends if not end.closed]
        task = (self.func, self.gather)
        return _Worker(self.context, task, self.shared, others)

    def results(self, batches, on_done):
        """Yields the results of `batches` in their order."""
        self.fresh = enumerate(batches)
        while True:
            self._look_at_workers()
            while self.done in self.finished:
                if self.finished[self.done][0] and self.gather is not None:
                    self._gather_here()
                results = self.finished.pop(self.done)[1]
                if on_done:
                    on_done(self.sizes.pop(self.done))
                self.done += 1
                yield from results
            if self.taken - self.done < RUN_HERE_AHEAD:
                batch = self._next(alone_too=False)
                if batch is not None:
                    number, items = batch
                    self.finished[number] = (True, self._run_here(items))
                    continue
            if self.done == self.taken and self.fresh_ended:
                return
            if self.gather is not None:
                self._gather_here()  # while the workers finish
            multiprocessing.connection.wait([w.results for w in self.workers], timeout=0.1)

    def _next(self, alone_too):
        """The next batch to read: an item to read alone (only for a worker), a batch to send
        again, or a new one; None when there is none."""
        if alone_too and self.alone:
            return self.alone.popleft()
        if self.again:
            return self.again.popleft()
        batch = next(self.fresh, None)
        if batch is None:
            self.fresh_ended = True
            return None
        self.taken += 1
        self.sizes[batch[0]] = len(batch[1])
        return batch

    def _run_here(self, items):
        results = []
        for item in items:
            results.append(self.func(item, self.shared))
            if time.perf_counter() - self.looked > LOOK_AT_WORKERS_EVERY:
                self._look_at_workers()
        return results

    def _look_at_workers(self):
        self.looked = time.perf_counter()
        for worker in list(self.workers):
            if not (self._receive(worker) and self._feed(worker)):
                self._replace(worker)

    def _receive(self, worker):
        """Takes what the worker has finished; False when it has died."""
        while True:
            try:
                if not worker.results.poll():
                    return True
                key, ok, value = worker.results.recv()
            except (EOFError, OSError):
                return False
            if not ok:
                raise value
            worker.held.popleft()
            if isinstance(key, tuple):
                self._piece(key, value[0])
            else:
                self.finished[key] = (False, value)

    def _feed(self, worker):
        """Sends the worker batches until it holds enough; False when it has died."""
        while len(worker.held) < BATCHES_AHEAD_PER_WORKER:
            batch = self._next(alone_too=True)
            if batch is None:
                return True
            worker.held.append(batch)
            try:
                worker.tasks.send(batch)
            except OSError:
                return False
        return True

    def _piece(self, key, result):
        number, index = key
        piece = self.pieces[number]
        piece[0][index] = result
        piece[1] -= 1
        if piece[1] == 0:
            self.finished[number] = (True, self.pieces.pop(number)[0])

    def _replace(self, dead):
        """Starts a worker in place of `dead` and reads its batches again: the one it was reading
        item by item, each alone, unless it was such an item: that one is lost."""
        how = dead.ended()
        self._receive(dead)  # what it finished before it died, still in its pipe
        dead.close()
        self.workers[self.workers.index(dead)] = self._start()
        if not dead.held:
            return
        (key, items), *waiting = dead.held
        for batch in reversed(waiting):
            (self.alone if isinstance(batch[0], tuple) else self.again).appendleft(batch)
        if not isinstance(key, tuple):
            self.pieces[key] = [[None] * len(items), len(items)]
            alone = [((key, index), [item]) for index, item in enumerate(items)]
            self.alone.extendleft(reversed(alone))
        elif self.lost is None:
            raise RuntimeError(f"a worker process ended unexpectedly ({how})")
        else:
            self._piece(key, self.lost(items[0], f"the reading process ended unexpectedly ({how})"))

    def _gather_here(self):
        # Each run of consecutive batches made here is gathered at once, into its first batch.
        first = last = None
        for number in sorted(self.finished):
            made_here, results = self.finished[number]
            if made_here and first is not None and number == last + 1:
                self.finished[first][1].extend(results)
                self.finished[number] = (False, [])
            elif made_here:
                first = number
            else:
                first = None
            last = number
        for number, (made_here, results) in self.finished.items():
            if made_here:
                self.finished[number] = (False, [self.gather(results)])

    def stop(self):
        """Ends the workers without waiting for them: they exit while this process writes its last
        results (and are reaped by the next worker's start or at exit). Workers still busy (after
        an error or an interrupt) are ended at once."""
        if any(worker.held for worker in self.workers):
            self._end_now()
            return
        for worker in self.workers:
            with contextlib.suppress(OSError):
                worker.tasks.send(None)
            worker.close()

    def _end_now(self):
        for worker in self.workers:
            worker.process.terminate()
        for worker in self.workers:
            worker.process.join()
            worker.close()


@contextlib.contextmanager
def interrupts_held():
    """Holds back Ctrl-C (SIGINT) while processes are started, and delivers it after: a process
    started meanwhile inherits the held signal and never sees the interrupt meant for the job (its
    process ends it), instead of printing a traceback of its own."""
    if not hasattr(signal, "pthread_sigmask"):
        yield
        return
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})


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

        fcntl.fcntl(connection.fileno(), fcntl.F_SETPIPE_SZ, PIPE_BYTES)
    except (ImportError, AttributeError, OSError):
        pass  # not Linux, or a system limit below it: the pipe's own size is only slower


def _serve(tasks, results, task, shared, inherited):
    """A worker's life: reads (key, items) from `tasks` until None or the pipe's end, and sends
    back (key, True, results), or (key, False, exception) for a batch that raised. The results of
    an item sent alone (key a tuple) are not gathered: they join the rest of its batch here."""
    for connection in inherited:
        connection.close()
    # Ctrl-C reaches the whole process group: the job's process ends its workers itself.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if hasattr(signal, "pthread_sigmask"):
        signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})
    func, gather = task
    waiting = collections.deque()
    try:
        while True:
            message = waiting.popleft() if waiting else tasks.recv()
            if message is None:
                return
            key, items = message
            try:
                whole = not isinstance(key, tuple)
                outcome = (key, True, run_batch(func, gather if whole else None, items, shared))
            except Exception as error:  # noqa: BLE001  (raised again where the job runs)
                outcome = (key, False, error)
            # Take every task sent meanwhile before sending: the job's process may be waiting to
            # send one while this one would wait for it to take a large result.
            while tasks.poll():
                waiting.append(tasks.recv())
            try:
                results.send(outcome)
            except Exception as error:  # noqa: BLE001  (results or an error that do not pickle)
                failure = RuntimeError(f"a worker's results could not be sent back: {error}")
                results.send((key, False, failure))
    except (EOFError, OSError):
        pass  # the job's process is gone: nothing to report
