"""Nothing leaks: every kind of input (failing ones included) through every way of opening it, and
every reader state with every operation, read again and again. The process's C heap, the
interpreter's objects (and its total reference count where the build keeps one) and the open file
descriptors must not grow with the reads."""

import ctypes
import errno
import gc
import importlib
import importlib.machinery
import os
import sys
from pathlib import Path

import pytest

import kubrel_rs
import writers
from conftest import STAIRS, STONE, Source, kbr_stone
from test_reader import OPERATIONS, PATHS


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                     "uordblks", "fordblks", "keepcost")
    ]


def _heap_probe():
    """A function giving the bytes the C heap has handed out and not taken back, or None: the
    sanitizer allocator's count when it runs the process, else glibc's mallinfo2."""
    libc = ctypes.CDLL(None)
    in_use = None
    if hasattr(libc, "__sanitizer_get_current_allocated_bytes"):
        counter = libc.__sanitizer_get_current_allocated_bytes
        counter.restype = ctypes.c_size_t
        in_use = counter
    elif hasattr(libc, "mallinfo2"):
        mallinfo2 = libc.mallinfo2
        mallinfo2.restype = _MallInfo2

        def in_use():
            info = mallinfo2()
            return info.uordblks + info.hblkhd

    if in_use is None:
        return None
    # Only a probe that sees a megabyte come and go is any use.
    before = in_use()
    block = ctypes.create_string_buffer(1 << 20)
    seen = in_use() - before >= 1 << 20
    del block
    return in_use if seen else None


heap_in_use = _heap_probe()
# Under the sanitizers every Python object comes from the C heap, whose caches settle slowly; a
# leak of any object of ours (tens of bytes at least) still shows.
SANITIZED = hasattr(ctypes.CDLL(None), "__sanitizer_get_current_allocated_bytes")
HEAP_SLACK_PER_READ = 16 if SANITIZED else 0.1


def _numpy_counts_references():
    """Whether the references NumPy drops show in the total count: a NumPy built for a release
    interpreter drops them uncounted, so under a debug interpreter every array it frees would look
    like a reference kept. There `to_numpy()` is left out; the release runs check it."""
    if not hasattr(sys, "gettotalrefcount"):
        return True
    for name in ("numpy._core._multiarray_umath", "numpy.core._multiarray_umath"):
        try:
            core = importlib.import_module(name)
        except ImportError:
            continue
        return core.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0])
    return True


ARRAYS_COUNTED = _numpy_counts_references()


def measure(open_fds):
    gc.collect()
    return {
        "heap": heap_in_use() if heap_in_use else 0,
        "objects": sys.getallocatedblocks(),
        "refs": sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0,
        "fds": open_fds(),
    }


class Raising:
    """A file-like object whose read fails."""

    type = "kbr"

    def read(self, n):
        raise OSError(errno.EIO, "boom")


class Text:
    """A file-like object that hands out text instead of bytes."""

    def read(self, n):
        return "text"


def inputs(tmp_path):
    """(name, input factory) for every kind of input: each format, each source, and failures.
    Without `tmp_path` the path inputs are not written (for listing the names)."""
    sponge = writers.gz(
        writers.sponge((2, 2, 1), {STONE: 0, STAIRS: 1, "minecraft:air": 2}, [0, 1, 2, 0])
    )
    nested = writers.gz(writers.sponge((1, 1, 2), {STONE: 3}, [3, 3], nested=True))
    mojang = writers.gz(
        writers.mojang((2, 1, 1), [("minecraft:air", {}), ("minecraft:chest", {"facing": "west"})],
                       [((0, 0, 0), 1), ((1, 0, 0), 0)])
    )
    kbr = kbr_stone(1500)
    bad_id = writers.gz(writers.kbr((0, 0, 0), (9, 0, 0), writers.kbr_define(STONE)
                                    + writers.kbr_run(2, 3) + writers.kbr_run(6, 1)))
    checksum = bytearray(kbr)
    checksum[-6] ^= 1
    folder = tmp_path or Path("/nonexistent")
    path = folder / "stone.kbr.gz"
    if tmp_path:
        path.write_bytes(kbr)
    missing = folder / "missing.gz"
    return [
        ("kbr bytes", lambda: kbr),
        ("kbr path", lambda: str(path)),
        ("kbr typed", lambda: Source(kbr, chunk=700, type="KBR")),
        ("sponge", lambda: sponge),
        ("sponge nested typed", lambda: Source(nested, type="sponge")),
        ("mojang", lambda: mojang),
        ("mojang typed", lambda: Source(mojang, type="mojang")),
        ("undefined palette id", lambda: Source(bad_id, type="kbr")),
        ("bad checksum", lambda: bytes(checksum)),
        ("cut short", lambda: kbr[:-20]),
        ("not gzip", lambda: b"plain bytes"),
        ("no format", lambda: writers.gz(b"\x99" * 300)),
        ("reader raises", Raising),
        ("reader returns text", Text),
        ("unknown type", lambda: Source(kbr, type="zip")),
        ("missing file", lambda: str(missing)),
        ("not an input", lambda: 42),
    ]


def use(make_input, op_path):
    """Opens an input, drives the reader along `op_path`, then reads what is left and drops it.
    Every failure is expected somewhere; none may leak."""
    source = make_input()
    try:
        reader = kubrel_rs.open(source)
    except (ValueError, TypeError, OSError):
        return
    # A file-like object that refers to its reader: a cycle the collector must break when the
    # reader is left open.
    if isinstance(source, Source):
        source.reader = reader
    for op in op_path:
        try:
            OPERATIONS[op](reader)
        except (RuntimeError, StopIteration):
            pass
    try:
        with reader:
            for bulk in reader.iter_bulks():
                for block in bulk:
                    state = block.state()
                    str(block), state.properties(), state.id(), block.position().x()
            boundary = reader.boundary()
            if boundary is not None:
                boundary.max(), boundary.size()
                if ARRAYS_COUNTED:
                    boundary.to_numpy()
    except RuntimeError:
        pass


def scenarios():
    """(id, input name, operations before reading): every input read plainly, and every reader
    state followed by every operation on the first input."""
    out = [(f"{name}", name, []) for name, _ in inputs(None)]
    for state, path in PATHS.items():
        out += [(f"state {state} then {op}", "kbr bytes", path + [op]) for op in OPERATIONS]
    # Entered twice, the reader is never closed.
    out.append(("file-like left open", "kbr typed", ["enter"]))
    return out


# A leak grows with every read; the interpreter's caches and free lists only settle. So each
# scenario runs in windows, and the quietest window must show no growth. With
# KUBREL_SLOW=1 every scenario is read over ten thousand times.
WINDOW = 3400 if os.environ.get("KUBREL_SLOW") else 300
WINDOWS = 4


@pytest.mark.parametrize("scenario", scenarios(), ids=lambda s: s[0])
def test_nothing_leaks(scenario, tmp_path, open_fds):
    _, name, op_path = scenario
    make_input = dict(inputs(tmp_path))[name]
    # A whole window first: the allocator's block count can take a few hundred reads to settle.
    for _ in range(WINDOW):
        use(make_input, op_path)
    growth = []
    previous = measure(open_fds)
    first = previous
    for _ in range(WINDOWS):
        for _ in range(WINDOW):
            use(make_input, op_path)
        current = measure(open_fds)
        growth.append({key: current[key] - previous[key] for key in current})
        previous = current
    assert previous["fds"] == first["fds"]
    # One object or reference kept per read would grow every window by WINDOW.
    for key in ("objects", "refs"):
        assert min(g[key] for g in growth) < WINDOW // 10, (key, growth)
    assert min(g["heap"] for g in growth) < WINDOW * HEAP_SLACK_PER_READ, growth


@pytest.mark.skipif(heap_in_use is None, reason="no mallinfo2 in this C library")
def test_the_heap_probe_sees_a_leak(open_fds):
    # The measure is sharp enough to catch a leak of a kilobyte per read (buffers this large
    # come from the C heap, as the core's allocations do).
    before = measure(open_fds)
    kept = [ctypes.create_string_buffer(1000) for _ in range(500)]
    assert measure(open_fds)["heap"] - before["heap"] >= 500 * 1000
    del kept
