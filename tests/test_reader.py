"""KubrelReader: its state machine, bulk iteration, error reporting, re-entry and thread binding."""

import _thread
import gc
import signal
import sys
import threading

import pytest

import kubrel_rs
import writers
from conftest import STONE, Source, exactly, kbr_stone, summary

ENTERED_TWICE = "Cannot enter context multiple times"
CLOSED = "Reader is closed"
ALREADY_CLOSED = "Reader is already closed"
NOT_ENTERED_EXIT = "Cannot exit context without entering"
NOT_ENTERED_NEXT = "Cannot iterate without entering context"
NOT_ENTERED_READ = "Cannot read without entering context"
NOT_ENTERED_BOUNDARY = "Cannot get boundary without entering context"
ITERATED_ENTER = "Cannot enter context again after iterating"
ITERATED_TWICE = "Iterator already called"
ITERATED_READ = "Cannot read full after iterating"
NOT_ITERATED = "Iterator not initialized, call iter_bulks() first"

OPERATIONS = {
    "enter": lambda r: r.__enter__(),
    "exit": lambda r: r.__exit__(None, None, None),
    "iter_bulks": lambda r: r.iter_bulks(),
    "next": lambda r: next(r),
    "read_full": lambda r: r.read_full(),
    "boundary": lambda r: r.boundary(),
    "close": lambda r: r.close(),
}

# How each state is reached from a new reader.
PATHS = {
    "A": [],
    "B": ["iter_bulks"],
    "C": ["enter"],
    "D": ["enter", "iter_bulks"],
    "E": ["close"],
    "F": ["iter_bulks", "close"],
    "G": ["enter", "close"],
    "H": ["enter", "iter_bulks", "close"],
}

# State x operation: "->X" for a move to state X (returning self or None), "=" for a value that
# leaves the state as it was, otherwise the RuntimeError message.
TABLE = {
    "A": {"enter": "->C", "exit": NOT_ENTERED_EXIT, "iter_bulks": "->B", "next": NOT_ENTERED_NEXT,
          "read_full": NOT_ENTERED_READ, "boundary": NOT_ENTERED_BOUNDARY, "close": "->E"},
    "B": {"enter": ITERATED_ENTER, "exit": NOT_ENTERED_EXIT, "iter_bulks": ITERATED_TWICE,
          "next": NOT_ENTERED_NEXT, "read_full": NOT_ENTERED_READ,
          "boundary": NOT_ENTERED_BOUNDARY, "close": "->F"},
    "C": {"enter": ENTERED_TWICE, "exit": "->G", "iter_bulks": "->D", "next": NOT_ITERATED,
          "read_full": "=", "boundary": "=", "close": "->G"},
    "D": {"enter": ENTERED_TWICE, "exit": "->H", "iter_bulks": ITERATED_TWICE, "next": "=",
          "read_full": ITERATED_READ, "boundary": "=", "close": "->H"},
    "E": {"enter": ALREADY_CLOSED, "exit": NOT_ENTERED_EXIT, "iter_bulks": CLOSED,
          "next": NOT_ENTERED_NEXT, "read_full": NOT_ENTERED_READ,
          "boundary": NOT_ENTERED_BOUNDARY, "close": "->E"},
    "F": {"enter": ALREADY_CLOSED, "exit": NOT_ENTERED_EXIT, "iter_bulks": CLOSED,
          "next": NOT_ENTERED_NEXT, "read_full": NOT_ENTERED_READ,
          "boundary": NOT_ENTERED_BOUNDARY, "close": "->F"},
    "G": {"enter": ENTERED_TWICE, "exit": ALREADY_CLOSED, "iter_bulks": CLOSED, "next": CLOSED,
          "read_full": CLOSED, "boundary": CLOSED, "close": "->G"},
    "H": {"enter": ENTERED_TWICE, "exit": ALREADY_CLOSED, "iter_bulks": CLOSED, "next": CLOSED,
          "read_full": CLOSED, "boundary": CLOSED, "close": "->H"},
}


def reader_in(state, data=None):
    reader = kubrel_rs.open(data if data is not None else kbr_stone(5))
    for op in PATHS[state]:
        OPERATIONS[op](reader)
    return reader


def check_outcome(reader, op, expected):
    """Runs `op` and checks its immediate result against a cell of TABLE."""
    if expected.startswith("->") or (expected == "=" and op != "next"):
        result = OPERATIONS[op](reader)
        if op in ("enter", "iter_bulks"):
            assert result is reader
        elif op in ("exit", "close"):
            assert result is None
        elif op == "boundary":
            assert str(result) == "Boundary(min=(0, 0, 0), size=(5, 1, 1))"
        else:
            assert isinstance(result, list)
    elif op == "next" and expected == "=":
        # In D a step hands out a bulk, or ends the iteration once the stream is used up.
        try:
            assert isinstance(next(reader), list)
        except StopIteration as end:
            assert str(end) == "End of stream"
    else:
        with pytest.raises(RuntimeError) as info:
            OPERATIONS[op](reader)
        assert str(info.value) == expected


@pytest.mark.parametrize("op", OPERATIONS)
@pytest.mark.parametrize("state", TABLE)
def test_state_table(state, op):
    expected = TABLE[state][op]
    reader = reader_in(state)
    check_outcome(reader, op, expected)
    # The state afterwards answers every operation as the table says for it.
    after = expected[2:] if expected.startswith("->") else state
    for probe, probe_expected in TABLE[after].items():
        reader = reader_in(state)
        try:
            OPERATIONS[op](reader)
        except RuntimeError:
            pass
        check_outcome(reader, probe, probe_expected)


@pytest.mark.parametrize("state", TABLE)
def test_str_in_every_state(state):
    assert str(reader_in(state)) == "kubrel_rs.read() block"


def test_bulks_of_at_most_1024():
    with kubrel_rs.open(Source(kbr_stone(2500), type="kbr")) as reader:
        assert iter(reader) is reader
        sizes = [len(bulk) for bulk in reader.iter_bulks()]
        assert sizes == [1024, 1024, 452]
        with pytest.raises(StopIteration, match=exactly("End of stream")):
            next(reader)


def test_iteration_and_read_full_agree():
    data = kbr_stone(3000)
    with kubrel_rs.open(data) as reader:
        iterated = [b for bulk in reader.iter_bulks() for b in bulk]
    with kubrel_rs.open(data) as reader:
        full = reader.read_full()
        assert reader.read_full() == []
    assert summary(iterated) == summary(full) == [((x, 0, 0), STONE + "[]") for x in range(3000)]


def test_blocks_made_after_dropped_ones():
    # Dropped bulks leave their memory to the next ones: every block must still be its own, and
    # the class must hold as many references after many drops as before.
    states = [STONE, "minecraft:oak_log[axis=x]", "minecraft:dirt"]
    texts = [states[(x // 7) % 3] for x in range(5000)]
    data = writers.gz(writers.kbr_filled((0, 0, 0), (4999, 0, 0), texts))
    with kubrel_rs.open(data) as reader:
        expected = summary(reader.read_full())
    block_class = type(kubrel_rs.open(kbr_stone(1)).__enter__().read_full()[0])
    for _ in range(3):
        references = sys.getrefcount(block_class)
        seen = []
        with kubrel_rs.open(data) as reader:
            for bulk in reader.iter_bulks():
                seen += summary(bulk)
                del bulk
        gc.collect()
        assert seen == expected
        assert sys.getrefcount(block_class) == references


def test_empty_bulk_does_not_end_iteration():
    # Every position of the box holds air: the bulk that walks it is empty, the next call ends.
    data = writers.gz(
        writers.mojang((4, 1, 1), [("minecraft:air", {})], [((x, 0, 0), 0) for x in range(4)])
    )
    with kubrel_rs.open(Source(data, type="mojang")) as reader:
        assert next(reader.iter_bulks()) == []
        assert list(reader) == []


def test_unrecognised_input():
    with kubrel_rs.open(writers.gz(b"not a schematic at all")) as reader:
        with pytest.raises(RuntimeError, match=exactly("Failed to read boundary")):
            reader.boundary()
        with pytest.raises(RuntimeError, match=exactly("No matching format found")):
            reader.read_full()
        # A stream error leaves the reader open and in its state.
        with pytest.raises(RuntimeError, match=exactly("No matching format found")):
            reader.read_full()


def broken_inputs():
    """(data, type, first error, box size): inputs whose stream could go on after its error."""
    # Two good stones, a run of an undefined palette id, then stones that are not to take its place.
    body = writers.kbr_define(STONE) + writers.kbr_run(2, 2) + writers.kbr_run(8, 1)
    kbr = writers.kbr((0, 0, 0), (9, 0, 0), body + writers.kbr_run(2, 3))
    # A structure cut inside its block list, after its size and palette.
    entries = [{"pos": writers.list_(writers.INT, map(writers.int_, (x, 0, 0))),
                "state": writers.int_(0)} for x in range(8)]
    mojang = writers.nbt({"size": writers.list_(writers.INT, map(writers.int_, (8, 1, 1))),
                          "palette": writers.list_(writers.COMPOUND, [{"Name": STONE}]),
                          "blocks": writers.list_(writers.COMPOUND, entries)})
    return [
        (writers.gz(kbr), "kbr", "KBR: Unknown Palette ID 8", (10, 1, 1)),
        (writers.gz(mojang[:-40]), "mojang", "failed to fill whole buffer", (8, 1, 1)),
    ]


@pytest.mark.parametrize("op", ["next", "read_full"])
@pytest.mark.parametrize("data, kind, message, size", broken_inputs(), ids=["kbr", "mojang"])
def test_stream_error_is_latched(data, kind, message, size, op):
    with kubrel_rs.open(Source(data, type=kind)) as reader:
        if op == "next":
            reader.iter_bulks()
        # Every later read raises the first error rather than hand out misplaced blocks.
        for _ in range(3):
            with pytest.raises(RuntimeError, match=exactly(message)):
                OPERATIONS[op](reader)
        assert reader.boundary().size() == size


def test_signal_between_bulks_interrupts_read_full():
    # Another thread trips SIGINT over and over, which it can while the core decodes without the
    # interpreter lock; the handler raises once, armed, in this frame (inside read_full() or just
    # after it).
    armed, done, here = threading.Event(), threading.Event(), sys._getframe()

    def on_signal(_, frame):
        if armed.is_set() and frame is here:
            armed.clear()
            raise KeyboardInterrupt

    def trip():
        while not done.wait(0.0005):
            _thread.interrupt_main()

    previous = signal.signal(signal.SIGINT, on_signal)
    worker = threading.Thread(target=trip, daemon=True)
    worker.start()
    try:
        with kubrel_rs.open(kbr_stone(400_000)) as reader:
            with pytest.raises(KeyboardInterrupt):
                armed.set()
                reader.read_full()
            with pytest.raises(RuntimeError, match=exactly("Read interrupted by KeyboardInterrupt")):
                reader.read_full()
    finally:
        armed.clear()
        done.set()
        worker.join()
        signal.signal(signal.SIGINT, previous)


def test_close_inside_with_replaces_the_exception():
    with pytest.raises(RuntimeError, match=exactly(ALREADY_CLOSED)) as info:
        with kubrel_rs.open(kbr_stone(3)) as reader:
            reader.close()
            raise KeyError("inner")
    assert isinstance(info.value.__context__, KeyError)


def test_with_block_exception_propagates_and_closes():
    with pytest.raises(KeyError):
        with kubrel_rs.open(kbr_stone(3)) as reader:
            raise KeyError("inner")
    with pytest.raises(RuntimeError, match=exactly(CLOSED)):
        reader.read_full()
    with pytest.raises(RuntimeError, match=exactly(ENTERED_TWICE)):
        with reader:
            pass


def test_for_loop_without_iter_bulks():
    with kubrel_rs.open(kbr_stone(3)) as reader:
        with pytest.raises(RuntimeError, match=exactly(NOT_ITERATED)):
            for _ in reader:
                pass


def test_exit_arguments():
    reader = kubrel_rs.open(kbr_stone(3))
    reader.__enter__()
    with pytest.raises(TypeError):
        reader.__exit__(None, None)
    assert reader.__exit__(_exc_type=None, _exc_val=None, _exc_tb=None) is None


def test_class_shape():
    cls = kubrel_rs.KubrelReader
    assert cls.__name__ == "KubrelReader"
    assert not cls.__doc__
    assert [m for m in vars(cls) if not m.startswith("__") or m in ("__enter__", "__exit__")] == [
        "__enter__", "__exit__", "boundary", "iter_bulks", "read_full", "close",
    ]
    assert cls.__exit__.__text_signature__ == "($self, _exc_type, _exc_val, _exc_tb)"
    for name in ("__enter__", "boundary", "iter_bulks", "read_full", "close"):
        assert getattr(cls, name).__text_signature__ == "($self)"
    with pytest.raises(TypeError):
        cls()


class ReentrantSource(Source):
    """Calls `probe(reader)` from inside its read(), once the reader is known."""

    def __init__(self, data, probe):
        super().__init__(data, chunk=1, type="kbr")
        self.reader = None
        self.probe = probe
        self.seen = []

    def read(self, n):
        if self.reader is not None and not self.seen:
            try:
                self.probe(self.reader)
                self.seen.append(None)
            except Exception as e:
                # Kept as text: the exception's traceback would tie this object into a cycle.
                self.seen.append((type(e), str(e)))
        return super().read(n)


REENTRY_PROBES = [(OPERATIONS[op], "Already borrowed") for op in OPERATIONS]
REENTRY_PROBES.append((str, "Already mutably borrowed"))


@pytest.mark.parametrize("outer", ["read_full", "boundary", "next"])
@pytest.mark.parametrize("probe, message", REENTRY_PROBES)
def test_reentry_from_read(outer, probe, message):
    source = ReentrantSource(kbr_stone(2000), probe)
    with kubrel_rs.open(source) as reader:
        if outer == "next":
            reader.iter_bulks()
        source.reader = reader
        OPERATIONS[outer](reader)
        source.reader = None
        assert source.seen == [(RuntimeError, message)]
        # The reader is untouched by the refused call and reads on.
        if outer == "next":
            assert sum(len(bulk) for bulk in reader) + 1024 == 2000
        else:
            assert str(reader.boundary()) == "Boundary(min=(0, 0, 0), size=(2000, 1, 1))"


def run_in_thread(function):
    outcome = []
    worker = threading.Thread(target=lambda: outcome.append(capture(function)))
    worker.start()
    worker.join()
    return outcome[0]


def capture(function):
    try:
        return function()
    except Exception as e:
        return e


@pytest.mark.parametrize("op", [*OPERATIONS, "str", "iter"])
def test_operations_from_another_thread(op):
    reader = kubrel_rs.open(kbr_stone(3))
    reader.__enter__()
    call = {"str": str, "iter": iter}.get(op) or OPERATIONS[op]
    error = run_in_thread(lambda: call(reader))
    assert isinstance(error, RuntimeError)
    assert str(error) == (
        "kubrel_rs::reader::KubrelReader is unsendable, but sent to another thread"
    )
    assert len(reader.read_full()) == 3


@pytest.mark.parametrize("closed", [False, True])
def test_dropped_on_another_thread(monkeypatch, closed):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(report))
    holder = [kubrel_rs.open(kbr_stone(3))]
    blocks = holder[0].__enter__().read_full()
    texts = [(str(b), str(b.state())) for b in blocks]
    if closed:
        holder[0].close()
    run_in_thread(holder.clear)
    # The blocks outlive their reader, on any thread.
    assert run_in_thread(lambda: [(str(b), str(b.state())) for b in blocks]) == texts
    # Only a reader that still holds its stream has something that must stay on its thread.
    message = "kubrel_rs::reader::KubrelReader is unsendable, but is being dropped on another thread"
    expected = [] if closed else [(RuntimeError, message)]
    assert [(type(r.exc_value), str(r.exc_value)) for r in reports] == expected


@pytest.mark.parametrize("ending", ["exit", "close", "drop"])
def test_file_closed_with_reader(tmp_path, open_fds, ending):
    path = tmp_path / "stone.kbr.gz"
    path.write_bytes(kbr_stone(10))
    before = open_fds()
    reader = kubrel_rs.open(str(path))
    assert open_fds() == before + 1
    reader.__enter__()
    assert len(reader.read_full()) == 10
    if ending == "exit":
        reader.__exit__(None, None, None)
    elif ending == "close":
        reader.close()
    else:
        del reader
        gc.collect()
    assert open_fds() == before
