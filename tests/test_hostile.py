"""Hostile inputs: each one fails cleanly or reads correctly in a child process whose address space
is capped with resource limits, so that memory held ahead of need shows as a MemoryError (or a
crash) instead of a slow test. Gzip bombs inflate to far more than the cap."""

import functools
import json
import os
import struct
import subprocess
import sys
import zlib

import pytest

import writers
from writers import COMPOUND, INT, LIST, STRING, int_, list_

# The cap for most inputs; the interpreter and the module take about 20 MiB of it.
LIMIT_MB = 256
GIB = 1 << 30

pytestmark = pytest.mark.skipif(
    "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="an address-space limit cannot coexist with the sanitizer runtime",
)

CHILD = r"""
import json, resource, sys
limit = int(sys.argv[1]) << 20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import kubrel_rs

class File:
    def __init__(self, path, kind):
        self.file = open(path, "rb")
        self.type = kind

    def read(self, n):
        return self.file.read(n)

path, kind, max_bulks = sys.argv[2], sys.argv[3], int(sys.argv[4])
out = {"blocks": 0, "error": None, "first": None, "last": None}
with kubrel_rs.open(path if kind == "auto" else File(path, kind)) as reader:
    try:
        for count, bulk in enumerate(reader.iter_bulks(), 1):
            if bulk:
                out["first"] = out["first"] or str(bulk[0])
                out["last"] = str(bulk[-1])
            out["blocks"] += len(bulk)
            if count == max_bulks:
                break
    except RuntimeError as error:
        out["error"] = str(error)
    if out["error"] is None:
        boundary = reader.boundary()
        out["boundary"] = None if boundary is None else str(boundary)
# The high-water mark of this image (getrusage would include the parent's before exec).
with open("/proc/self/status") as status:
    peak = next(line for line in status if line.startswith("VmHWM:"))
out["peak_rss_mb"] = int(peak.split()[1]) >> 10
print(json.dumps(out))
"""


def read_capped(path, kind="auto", max_bulks=1 << 30, limit_mb=LIMIT_MB):
    """What a child capped at `limit_mb` of address space reads from the file: block count, first
    and last block, the boundary text or the error. A MemoryError or a crash fails the test."""
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(limit_mb), str(path), kind, str(max_bulks)],
        capture_output=True,
        timeout=600,  # a hang guard, not a measurement
    )
    assert done.returncode == 0, done.stderr.decode()[-2000:]
    return json.loads(done.stdout)


LOAD_CHILD = r"""
import resource, sys
limit = int(sys.argv[1]) << 20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
import kubrel
path, kind, max_document = sys.argv[2:]
if kind == "render":  # a picture of the file at the default size
    sys.exit(print(kubrel.load(path).render().size))
source = {"path": path, "file": open(path, "rb")}.get(kind) or open(path, "rb").read()
limits = {} if max_document == "default" else {"max_document": int(max_document)}
try:
    print(kubrel.load(source, **limits).counts())
except kubrel.KubrelError as error:
    print(error)
"""


def zeros_bomb(head, mebibytes, tail):
    """A gzip member of `head`, `mebibytes` MiB of zero bytes and `tail`, built from one
    compressed mebibyte repeated (each flushed whole), so that gigabytes cost seconds."""
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    zeros = bytes(1 << 20)
    first = packer.compress(head) + packer.flush(zlib.Z_FULL_FLUSH)
    piece = packer.compress(zeros) + packer.flush(zlib.Z_FULL_FLUSH)
    last = packer.compress(tail) + packer.flush()
    crc = zlib.crc32(head)
    for _ in range(mebibytes):
        crc = zlib.crc32(zeros, crc)
    size = len(head) + (mebibytes << 20) + len(tail)
    trailer = struct.pack("<II", zlib.crc32(tail, crc), size & 0xFFFFFFFF)
    return b"\x1f\x8b\x08\0\0\0\0\0\0\xff" + first + piece * mebibytes + last + trailer


def gzip_parts(parts):
    """A gzip member of the concatenation of (bytes, repeat) parts, compressed piece by piece so
    that an input of gigabytes is never built whole."""
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    out = []
    for data, repeat in parts:
        piece = max(1, (1 << 20) // max(1, len(data)))
        while repeat > 0:
            n = min(piece, repeat)
            out.append(packer.compress(data * n))
            repeat -= n
    out.append(packer.flush())
    return b"".join(out)


@pytest.fixture(scope="module")
def write(tmp_path_factory):
    folder = tmp_path_factory.mktemp("hostile")

    def write(name, data):
        path = folder / name
        path.write_bytes(data)
        return path

    return write


def named(kind, name):
    return struct.pack(">bH", kind, len(name)) + name.encode()


def list_header(name, element_kind, count):
    return named(LIST, name) + struct.pack(">bi", element_kind, count)


MAX = 2**31 - 1


def test_kbr_gzip_bomb_streams(write):
    # A gibibyte of single-stone opcodes in about a megabyte: read as a stream, a bulk at a time.
    head = writers.kbr((0, 0, 0), (MAX - 1, 0, 0), writers.kbr_define("minecraft:stone"))
    path = write("kbr_bomb.gz", gzip_parts([(head, 1), (b"\x02", GIB)]))
    assert path.stat().st_size < 2 << 20
    for kind in ("auto", "kbr"):
        out = read_capped(path, kind, max_bulks=500)
        assert out["error"] is None
        assert out["blocks"] == 500 * 1024
        assert out["last"] == "Block at (511999, 0, 0) with state minecraft:stone[]"


def test_structure_gzip_bomb_streams(write):
    # Nine million block entries (about 330 MB of NBT) that all land on one position.
    entry = writers._payload({"pos": list_(INT, map(int_, (0, 0, 0))), "state": int_(0)})
    count = 9_000_000
    head = (
        named(COMPOUND, "")
        + named(LIST, "size")
        + struct.pack(">bi", INT, 3)
        + struct.pack(">3i", 1, 1, 1)
        + list_header("palette", COMPOUND, 1)
        + writers._payload({"Name": "minecraft:stone"})
        + list_header("blocks", COMPOUND, count)
    )
    path = write("mojang_bomb.gz", gzip_parts([(head, 1), (entry, count), (b"\x00", 1)]))
    for kind in ("auto", "mojang"):
        out = read_capped(path, kind)
        assert (out["error"], out["blocks"], out["first"]) == (
            None,
            1,
            "Block at (0, 0, 0) with state minecraft:stone[]",
        )


def test_sponge_with_a_huge_ignored_array(write):
    # A gibibyte of biome data beside a small schematic: nothing holds it.
    doc = writers.sponge((2, 1, 1), {"minecraft:stone": 0}, [0, 0])
    biomes = named(7, "BiomeData") + struct.pack(">i", GIB)
    parts = [(doc[:-1] + biomes, 1), (b"\x07", GIB), (b"\x00", 1)]
    path = write("sponge_biomes.gz", gzip_parts(parts))
    for kind in ("auto", "sponge"):
        out = read_capped(path, kind)
        assert (out["error"], out["blocks"]) == (None, 2)


def test_deep_nesting(write):
    depth = 100_000
    nested = named(COMPOUND, "") + named(COMPOUND, "c") * depth + b"\x00" * (depth + 1)
    path = write("deep.gz", writers.gz(nested))
    assert read_capped(path, "sponge")["error"] == (
        "Sponge: Failed to read NBT data: invalid nbt: nested deeper than 512 levels"
    )
    assert read_capped(path, "mojang")["error"] == "Mojang: Size not found in header"
    assert read_capped(path)["error"] == "No matching format found"
    # Lists nested as deep inside a palette entry do not end the palette early.
    lists = list_header("l", LIST, 1) + struct.pack(">bi", LIST, 1) * depth
    lists += struct.pack(">bi", INT, 0)
    doc = writers.nbt(
        {
            "size": list_(INT, map(int_, (1, 1, 1))),
            "blocks": list_(COMPOUND, [{"pos": list_(INT, [int_(0)] * 3), "state": int_(0)}]),
        }
    )
    palette = list_header("palette", COMPOUND, 1) + named(STRING, "Name")
    palette += struct.pack(">H", 15) + b"minecraft:stone" + lists + b"\x00"
    path = write("deep_palette.gz", writers.gz(doc[:-1] + palette + b"\x00"))
    out = read_capped(path, "mojang")
    assert (out["error"], out["first"]) == (None, "Block at (0, 0, 0) with state minecraft:stone[]")


def test_sponge_boxes_far_larger_than_their_ids(write):
    big_box = writers.sponge((32767,) * 3, {"minecraft:stone": 0}, [0])
    big = write("sponge_32767.gz", writers.gz(big_box))
    assert read_capped(big)["error"] == "No matching format found"
    assert read_capped(big, "sponge")["error"] == (
        "Sponge: Invalid schematic size: Boundary too large for paged storage: pages of 4096 x "
        "4096 x 4096 cells exceed 16777216 cells"
    )
    # The largest cube the store pages: three ids, billions of empty positions.
    sparse = writers.sponge((2047,) * 3, {"minecraft:stone": 0, "minecraft:air": 1}, [0, 1, 0])
    out = read_capped(write("sponge_2047.gz", writers.gz(sparse)))
    assert (out["error"], out["blocks"], out["last"]) == (
        None,
        2,
        "Block at (2, 0, 0) with state minecraft:stone[]",
    )
    assert out["boundary"] == "Boundary(min=(0, 0, 0), size=(2047, 2047, 2047))"


def test_structure_blocks_scattered_over_a_large_box(write):
    # A quarter of a million blocks, each alone in its stretch of 4096 cells of the store: about
    # 36 bytes of file each, which must not cost kilobytes each.
    entries = b"".join(
        writers._payload({"pos": list_(INT, map(int_, (x, 16 * j, 0))), "state": int_(0)})
        for x in range(2047)
        for j in range(128)
    )
    head = (
        named(COMPOUND, "")
        + named(LIST, "size")
        + struct.pack(">bi3i", INT, 3, 2047, 2047, 2047)
        + list_header("palette", COMPOUND, 1)
        + writers._payload({"Name": "minecraft:stone"})
        + list_header("blocks", COMPOUND, 2047 * 128)
    )
    path = write("mojang_scattered.gz", writers.gz(head + entries + b"\x00"))
    out = read_capped(path, "mojang")
    assert (out["error"], out["blocks"], out["last"]) == (
        None,
        2047 * 128,
        "Block at (2046, 2032, 0) with state minecraft:stone[]",
    )


def test_structure_list_declaring_two_billion_elements(write):
    doc = writers.nbt({"size": list_(INT, map(int_, (2047, 2047, 2047)))})
    blocks = list_header("blocks", COMPOUND, MAX)
    blocks += writers._payload({"pos": list_(INT, map(int_, (2046, 2046, 2046))), "state": int_(0)})
    path = write("mojang_long_list.gz", writers.gz(doc[:-1] + blocks))
    # The input ends where the next element's first tag is due: the parser's end of input.
    assert read_capped(path, "mojang")["error"] == "EOF"
    assert read_capped(path)["error"] == "No matching format found"
    # The same box with the list closed reads its one block at the far corner.
    palette = list_header("palette", COMPOUND, 1) + writers._payload({"Name": "minecraft:stone"})
    one = list_header("blocks", COMPOUND, 1)
    whole = doc[:-1] + one + blocks[len(list_header("blocks", COMPOUND, MAX)) :]
    out = read_capped(write("mojang_far.gz", writers.gz(whole + palette + b"\x00")), "mojang")
    assert (out["error"], out["first"]) == (
        None,
        "Block at (2046, 2046, 2046) with state minecraft:stone[]",
    )


def test_kbr_string_declaring_two_gigabytes(write):
    head = writers.kbr((0, 0, 0), (0, 0, 0)) + writers.varint(0) + writers.varint(0)
    head += writers.varint(MAX)
    short = write("kbr_long_string.gz", writers.gz(head + b"minecraft:stone"))
    assert read_capped(short, "kbr")["error"] == "failed to fill whole buffer"
    assert read_capped(short)["error"] == "No matching format found"
    # The bytes are all there (a gzip bomb): read through, never held.
    present = write("kbr_long_string_bomb.gz", gzip_parts([(head, 1), (b" ", MAX), (b"\x02", 1)]))
    assert read_capped(present, "kbr")["error"] == (
        "KBR: String length 2147483647 exceeds maximum of 1048576"
    )


def test_kbr_runs_of_two_billion_blocks(write):
    define = writers.kbr_define("minecraft:stone")
    run = writers.kbr((0, 0, 0), (MAX - 1, 0, 0), define + writers.kbr_run(2, MAX))
    stone = write("kbr_run.gz", writers.gz(run))
    out = read_capped(stone, max_bulks=300)
    assert (out["error"], out["blocks"]) == (None, 300 * 1024)
    air = writers.kbr_define("minecraft:air") + define
    air += writers.kbr_run(2, MAX - 1) + writers.kbr_run(4, 1)
    air_run = writers.kbr((0, 0, 0), (MAX - 1, 0, 0), air)
    out = read_capped(write("kbr_air_run.gz", writers.gz(air_run)))
    assert (out["error"], out["blocks"], out["last"]) == (
        None,
        1,
        f"Block at ({MAX - 1}, 0, 0) with state minecraft:stone[]",
    )
    past = writers.kbr((0, 0, 0), (9, 0, 0), define + writers.kbr_run(2, MAX))
    assert read_capped(write("kbr_run_past.gz", writers.gz(past)), "kbr")["error"] == (
        "KBR: Iterator exhausted"
    )


ENTRIES = 100_000


def state_text(i):
    return f"minecraft:block_{i}[facing=north,waterlogged=false]"


@pytest.mark.parametrize("fmt", ["kbr", "sponge", "mojang"])
def test_palettes_of_100000_entries(write, fmt):
    # One block of each entry, in reverse palette order.
    if fmt == "kbr":
        body = b"".join(writers.kbr_define(state_text(i)) for i in range(ENTRIES))
        body += b"".join(writers.kbr_run(2 * i + 2, 1) for i in reversed(range(ENTRIES)))
        doc = writers.kbr((0, 0, 0), (ENTRIES - 1, 0, 0), body)
    elif fmt == "sponge":
        palette = {state_text(i): i for i in range(ENTRIES)}
        doc = writers.sponge((ENTRIES // 10, 1, 10), palette, reversed(range(ENTRIES)))
    else:
        properties = {"facing": "north", "waterlogged": "false"}
        palette = [(f"minecraft:block_{i}", properties) for i in range(ENTRIES)]
        blocks = [((x, 0, 0), ENTRIES - 1 - x) for x in range(ENTRIES)]
        doc = writers.mojang((ENTRIES, 1, 1), palette, blocks)
    out = read_capped(write(f"{fmt}_palette.gz", writers.gz(doc)))
    assert out["error"] is None
    assert out["blocks"] == ENTRIES
    # Structure palettes keep their properties in no particular order.
    assert f"minecraft:block_{ENTRIES - 1}[" in out["first"]
    assert sorted(out["first"].split("[")[1].rstrip("]").split(", ")) == [
        "facing=north",
        "waterlogged=false",
    ]


def test_palette_amplification_is_refused(write):
    # One large state and three-byte blank differences that each copy it.
    big = "minecraft:big[" + ",".join(f"k{i}=v" for i in range(10_000)) + "]"
    copy = writers.varint(1) + writers.varint(2) + writers.varint(0)
    body = writers.kbr_define(big) + copy * 2000
    path = write("kbr_copies.gz", writers.gz(writers.kbr((0, 0, 0), (0, 0, 0), body + b"\x02")))
    refused = "Palette exceeds 67108864 bytes of block states"
    assert read_capped(path, "kbr")["error"] == "KBR: " + refused
    # A million one-byte palette entries of a structure file.
    doc = writers.nbt({"size": list_(INT, map(int_, (1, 1, 1))), "blocks": list_(COMPOUND, [])})
    palette = list_header("palette", COMPOUND, 1_000_000) + b"\x00" * 1_000_000
    path = write("mojang_empty_entries.gz", writers.gz(doc[:-1] + palette + b"\x00"))
    assert read_capped(path, "mojang")["error"] == "Mojang: " + refused
    # Distinct block ids, five bytes each, beyond what the store takes.
    ids = range(10, 10 + 300_000)
    doc = writers.sponge((1000, 300, 1), {"minecraft:stone": 0}, ids)
    out = read_capped(write("sponge_ids.gz", writers.gz(doc)), "sponge")
    assert out["error"].endswith(": Too many distinct temporary ids (more than 262144)")
    assert out["error"].startswith("Sponge: Failed to process blocks: Sponge: Failed to copy block")


@functools.lru_cache
def padded_stone(mebibytes, declared=None):
    """One stone block beside a ByteArray of `mebibytes` MiB of zeros; the gzip trailer declares
    the size `declared` when given."""
    doc = writers.sponge((1, 1, 1), {"minecraft:stone": 0}, [0])
    head = doc[:-1] + named(7, "Padding") + struct.pack(">i", mebibytes << 20)
    member = zeros_bomb(head, mebibytes, b"\x00")
    return member if declared is None else member[:-4] + struct.pack("<I", declared)


# NumPy's import takes about 130 MiB of address space, and a growing buffer briefly holds its old
# pages' addresses beside the new ones.
LOAD_MB = 384
REFUSED = "the %s holds more than max_document allows (%d bytes); a larger max_document loads it"


# kubrel.load holds the whole document: past max_document it is refused before that much memory
# is taken, whether the input is a path, a file object or bytes, and whatever its trailer says.
@pytest.mark.parametrize(
    "mebibytes, declared, kind, max_document, limit_mb, expected",
    [
        (512, None, "path", 64 << 20, LOAD_MB, REFUSED % ("inflated document", 64 << 20)),
        (512, None, "file", 64 << 20, LOAD_MB, REFUSED % ("inflated document", 64 << 20)),
        (512, None, "bytes", 64 << 20, LOAD_MB, REFUSED % ("inflated document", 64 << 20)),
        (512, 1000, "bytes", 64 << 20, LOAD_MB, REFUSED % ("inflated document", 64 << 20)),
        (512, None, "path", 100_000, LOAD_MB, REFUSED % ("input", 100_000)),
        (512, None, "file", 100_000, LOAD_MB, REFUSED % ("input", 100_000)),
        (1025, None, "path", "default", 1800, REFUSED % ("inflated document", GIB)),
        # Within the limit it loads; the padding is a tag of its own, which the volume keeps (held
        # once by the core and once by Python as it is handed over).
        (512, None, "path", 600 << 20, 2600, "{'minecraft:stone': 1}"),
        # A picture's memory follows its canvas, not the square of the volume's footprint.
        ("wide", None, "render", "default", LIMIT_MB, "(1024, 276)"),
    ],
)
def test_load_refuses_documents_past_its_limit(
    write, mebibytes, declared, kind, max_document, limit_mb, expected
):
    wide = writers.mojang((20000, 1, 1), [("minecraft:stone", {})], [((0, 0, 0), 0)])
    data = writers.gz(wide) if mebibytes == "wide" else padded_stone(mebibytes, declared)
    path = write(f"padded_{mebibytes}_{declared}.gz", data)
    done = subprocess.run(
        [sys.executable, "-c", LOAD_CHILD, str(limit_mb), str(path), kind, str(max_document)],
        capture_output=True,
        timeout=600,  # a hang guard, not a measurement
    )
    assert done.returncode == 0, done.stderr.decode()[-2000:]
    assert done.stdout.decode() == expected + "\n"
