"""Shared helpers: small schematics built by the test-side writers, and a way to read them."""

import csv
import os
import pathlib
import re
import subprocess
import sys

import pytest

import kubrel_rs
import writers

REPO = pathlib.Path(__file__).resolve().parent.parent
# The shared corpus of real files: $KUBREL_CORPUS, else beside the checkout (or beside the folder
# of worktrees that holds it).
CORPUS = next(
    (
        path
        for path in (
            pathlib.Path(os.environ.get("KUBREL_CORPUS", "/nonexistent")),
            REPO.parent / "shared" / "corpus" / "real",
            REPO.parent.parent / "shared" / "corpus" / "real",
        )
        if path.is_dir()
    ),
    REPO.parent / "shared" / "corpus" / "real",
)



def corpus_files():
    """Every real file of the corpus (its manifest left out), sorted; none when it is absent."""
    if not CORPUS.is_dir():
        return []
    return sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.name != "MANIFEST.tsv")


def manifest_rows(folder):
    """The rows of `folder`'s MANIFEST.tsv as dicts; none when it is absent."""
    manifest = folder / "MANIFEST.tsv"
    if not manifest.exists():
        return []
    with manifest.open(newline="", encoding="utf-8") as lines:
        return list(csv.DictReader(lines, delimiter="\t"))


STONE = "minecraft:stone"
STAIRS = "minecraft:oak_stairs[facing=north, half=top]"


def exactly(message):
    """A pytest.raises pattern matching `message` and nothing else."""
    return "^" + re.escape(message) + "$"


def kbr_stairs_row():
    """A 4 x 1 x 1 KBR box at (10, 64, -3): stone, air, stairs, stone."""
    states = [STONE, "minecraft:air", "minecraft:oak_stairs[facing=north,half=top]", STONE]
    return writers.gz(writers.kbr_filled((10, 64, -3), (13, 64, -3), states))


def not_utf8(path):
    """A second name of the file at `path` that is not UTF-8, as os.listdir spells it."""
    twin = os.path.join(os.path.dirname(os.fsencode(path)), b"not-utf8-\xff")
    os.link(path, twin)
    return os.fsdecode(twin)


def kbr_stone(count):
    """`count` stone blocks along x from the origin."""
    return writers.gz(writers.kbr_filled((0, 0, 0), (count - 1, 0, 0), [STONE] * count))


def summary(blocks):
    """(position tuple, state text) for each block, for comparing reads."""
    positions = (b.position() for b in blocks)
    return [((p.x(), p.y(), p.z()), str(b.state())) for p, b in zip(positions, blocks)]


def read_all(data, **attrs):
    """Every block of `data` (bytes), passed as a file-like object when `attrs` (e.g. type=) are
    given, else as bytes."""
    source = Source(data, **attrs) if attrs else data
    with kubrel_rs.open(source) as reader:
        return reader.read_full()


class Source:
    """A file-like object over bytes, with optional attributes such as `type`; with an `error`, its
    third read and every later one raise it."""

    def __init__(self, data, chunk=None, **attrs):
        self.data = data
        self.offset = 0
        self.chunk = chunk
        self.calls = 0
        self.__dict__.update(attrs)

    def read(self, n):
        self.calls += 1
        if self.calls > 2 and getattr(self, "error", None):
            raise self.error
        if self.chunk is not None:
            n = min(n, self.chunk)
        piece = self.data[self.offset : self.offset + n]
        self.offset += len(piece)
        return piece


def without_numpy(script):
    """Runs `script` in a fresh interpreter where NumPy cannot be imported, with the stairs row
    on its standard input, and returns what it printed."""
    prelude = "import sys; sys.modules['numpy'] = None\nimport kubrel_rs\n"
    done = subprocess.run(
        [sys.executable, "-c", prelude + script],
        input=kbr_stairs_row(),
        capture_output=True,
        check=True,
    )
    return done.stdout.decode().strip()


@pytest.fixture
def open_fds():
    """A function counting the process's open file descriptors."""
    return lambda: len(list(pathlib.Path("/proc/self/fd").iterdir()))
