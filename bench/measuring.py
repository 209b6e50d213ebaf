"""What the benchmark's parents and children share: one call timed with the peak memory it added,
and the JSON line a child process prints. Standard library only, so that a child that times the
exact reader loads nothing else before it."""

import json
import os
import resource
import subprocess
import sys
import time


# No measured pipeline uses BLAS, but NumPy's import starts OpenBLAS's threads, which spin for
# about a tenth of a second waiting for work: on a machine of two cores that takes the second core
# while the first call (the one timed) runs. One BLAS thread means none spin.
CHILD_ENVIRONMENT = {**os.environ, "OPENBLAS_NUM_THREADS": "1"}


def peak_kib():
    """The peak resident memory of this process so far, in KiB. Read from the process's own
    memory map where the system shows it: Linux's ru_maxrss also counts what the parent held when
    it forked this child, so a large parent would hide a child's growth."""
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def timed(function, *args):
    """(function(*args), {"seconds", "cpu_seconds", "peak_kib"}): its time, its CPU time, and how
    far it raised the process's peak memory."""
    base = peak_kib()
    cpu_start = time.process_time()
    start = time.perf_counter()
    result = function(*args)
    seconds = time.perf_counter() - start
    # The process's own CPU time too: on a machine shared with other work it varies far less.
    return result, {"seconds": seconds, "cpu_seconds": time.process_time() - cpu_start,
                    "peak_kib": peak_kib() - base}


# The plain floor of handing blocks to Python (bench/core/object_floor.cpp): one object per block
# kept in a list, as read_full() keeps them, or made in lists of 1024 that are dropped, as
# iter_bulks() makes them.
OBJECT_FLOOR_MODES = ("objects-full", "objects-iter")
OBJECT_FLOOR_BULK = 1024


def object_floor(count, mode, folder):
    """(count, timing) of the plain floor for `count` blocks in this process; the floor's module
    is imported from `folder` before the clock starts."""
    sys.path.insert(0, folder)
    import kubrel_object_floor

    if mode == "objects-full":
        return timed(lambda: len(kubrel_object_floor.kept(count)))
    return timed(lambda: kubrel_object_floor.bulks(count, OBJECT_FLOOR_BULK) or count)


def child_result(argv):
    """The JSON object a child process prints as its last line, or {"error": its last line of
    standard error} when it fails."""
    done = subprocess.run(argv, capture_output=True, text=True, env=CHILD_ENVIRONMENT)
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])
