"""open(): the module, every kind of input, the format name, and reading all three formats."""

import enum
import errno
import io
import os
import pathlib
import re
import sys

import pytest

import kubrel_rs
import writers
from conftest import (
    CORPUS,
    STAIRS,
    STONE,
    Source,
    exactly,
    kbr_stairs_row,
    kbr_stone,
    manifest_rows,
    not_utf8,
    read_all,
    summary,
    without_numpy,
)

INPUT_ERROR = "Input must be a path, URL, bytes, or file-like object"
STAIRS_ROW = [
    ((10, 64, -3), STONE + "[]"),
    ((12, 64, -3), STAIRS),
    ((13, 64, -3), STONE + "[]"),
]


class Format(enum.Enum):
    SPONGE = 1
    MOJANG = 2
    KBR = 3


def test_module_attributes():
    assert kubrel_rs.__all__ == ["open", "KubrelReader"]
    assert kubrel_rs.__doc__ == ""
    assert kubrel_rs.open.__module__ == "kubrel_rs"
    assert kubrel_rs.open.__text_signature__ == "(input)"
    assert not kubrel_rs.open.__doc__
    assert {"PyBlock", "PyBoundary", "PyBlockState", "PyBlockPosition"}.isdisjoint(dir(kubrel_rs))


def test_imports_without_numpy():
    script = (
        "with kubrel_rs.open(sys.stdin.buffer.read()) as r:\n"
        "    print(len(r.read_full()), r.boundary())\n"
    )
    assert without_numpy(script) == "3 Boundary(min=(10, 64, -3), size=(4, 1, 1))"


def test_refused_in_subinterpreters():
    # The classes are process-wide, so the module declares it cannot be loaded a second time.
    interpreters = pytest.importorskip("_interpreters")  # Python 3.13 and later
    interpreter = interpreters.create()
    try:
        failure = interpreters.run_string(interpreter, "import kubrel_rs")
    finally:
        interpreters.destroy(interpreter)
    assert failure is not None and failure.type.__name__ == "ImportError"
    assert "does not support loading in subinterpreters" in failure.msg


@pytest.mark.parametrize(
    "make_input",
    [
        pytest.param(lambda path: str(path), id="path"),
        pytest.param(lambda path: not_utf8(path), id="path-not-utf8"),
        pytest.param(lambda path: type("P", (str,), {})(path), id="str-subclass"),
        pytest.param(lambda path: path.read_bytes(), id="bytes"),
        pytest.param(lambda path: type("B", (bytes,), {})(path.read_bytes()), id="bytes-subclass"),
        pytest.param(lambda path: io.BytesIO(path.read_bytes()), id="bytesio"),
        pytest.param(lambda path: open(path, "rb"), id="binary-file"),
        pytest.param(lambda path: Source(path.read_bytes(), chunk=3), id="file-like"),
        pytest.param(lambda path: Source(bytearray(path.read_bytes()), chunk=3), id="bytearrays"),
        pytest.param(lambda path: Source(memoryview(path.read_bytes()), chunk=3), id="memoryviews"),
    ],
)
def test_input_kinds(tmp_path, make_input):
    path = tmp_path / "row.kbr.gz"
    path.write_bytes(kbr_stairs_row())
    source = make_input(path)
    with kubrel_rs.open(input=source) as reader:
        assert summary(reader.read_full()) == STAIRS_ROW
        assert str(reader.boundary()) == "Boundary(min=(10, 64, -3), size=(4, 1, 1))"
    if hasattr(source, "close"):
        assert not getattr(source, "closed", False)  # a file-like object is released, not closed
        source.close()


# Only a URL is one: a file whose name begins with the same letters is read.
@pytest.mark.parametrize("name", ["row.gz", "http_hut.schem", "httpdocs", "HTTP://row"])
def test_relative_path(tmp_path, monkeypatch, name):
    (tmp_path / name).parent.mkdir(exist_ok=True)
    (tmp_path / name).write_bytes(kbr_stairs_row())
    monkeypatch.chdir(tmp_path)
    with kubrel_rs.open(name) as reader:
        assert summary(reader.read_full()) == STAIRS_ROW


def test_bytes_not_kept():
    data = kbr_stairs_row()
    before = sys.getrefcount(data)
    with kubrel_rs.open(data) as reader:
        assert sys.getrefcount(data) == before
        assert summary(reader.read_full()) == STAIRS_ROW


@pytest.mark.parametrize("url", ["http://example.com/a.schem", "https://example.com/a", "http://"])
def test_http_not_linked(url):
    with pytest.raises(NotImplementedError, match=exactly("HTTP not linked")):
        kubrel_rs.open(url)


@pytest.mark.parametrize(
    "path, error, number",
    [
        ("htt", FileNotFoundError, errno.ENOENT),
        ("httpdocs", FileNotFoundError, errno.ENOENT),
        ("https_hut.schem", FileNotFoundError, errno.ENOENT),
        ("bad\udc80name", FileNotFoundError, errno.ENOENT),
        ("/nonexistent/dir/file.schem", FileNotFoundError, errno.ENOENT),
        ("/etc/passwd/child", NotADirectoryError, errno.ENOTDIR),
        ("/", IsADirectoryError, errno.EISDIR),
        ("with\0nul", OSError, errno.EINVAL),
    ],
)
def test_os_errors(path, error, number):
    with pytest.raises(OSError) as info:
        kubrel_rs.open(path)
    assert type(info.value) is error
    assert str(info.value) == f"{os.strerror(number)} (os error {number})"
    assert info.value.errno == number


@pytest.mark.skipif(os.geteuid() == 0, reason="root may read any file")
def test_permission_denied(tmp_path):
    path = tmp_path / "locked"
    path.write_bytes(kbr_stone(1))
    path.chmod(0)
    with pytest.raises(PermissionError, match=exactly("Permission denied (os error 13)")):
        kubrel_rs.open(str(path))


def test_unencodable_path():
    # A lone surrogate that is not the escape of a byte names no file in any encoding.
    with pytest.raises(UnicodeEncodeError):
        kubrel_rs.open("bad\ud800name")


class RaisingRead:
    def __init__(self, error):
        self.error = error

    @property
    def read(self):
        raise self.error


@pytest.mark.parametrize(
    "value, error, message",
    [
        (42, TypeError, INPUT_ERROR),
        (bytearray(b"\x1f\x8b"), TypeError, INPUT_ERROR),
        (memoryview(b"\x1f\x8b"), TypeError, INPUT_ERROR),
        (pathlib.Path("row.gz"), TypeError, INPUT_ERROR),
        (None, TypeError, INPUT_ERROR),
        (RaisingRead(AttributeError("gone")), TypeError, INPUT_ERROR),
        (RaisingRead(ValueError("lookup failed")), ValueError, "lookup failed"),
    ],
)
def test_unusable_inputs(value, error, message):
    with pytest.raises(error) as info:
        kubrel_rs.open(value)
    assert str(info.value) == message


@pytest.mark.parametrize("args, kwargs", [((), {}), ((b"", b""), {}), ((), {"path": b""})])
def test_argument_errors(args, kwargs):
    with pytest.raises(TypeError, match="open"):
        kubrel_rs.open(*args, **kwargs)


class Named:
    def __init__(self, name):
        self.name = name


class RaisingType:
    @property
    def type(self):
        raise RuntimeError("no type")

    def read(self, n):
        return b""


# Inputs of each format and the blocks they hold.
SPONGE_PALETTE = {"minecraft:air": 0, STONE: 1, "minecraft:oak_stairs[facing=north,half=top]": 2}
# A 2 x 2 x 2 box, ids in y, z, x order.
SPONGE_IDS = [1, 0, 2, 1, 0, 0, 0, 2]
SPONGE_BLOCKS = [
    ((0, 0, 0), STONE + "[]"),
    ((0, 0, 1), STAIRS),
    ((1, 0, 1), STONE + "[]"),
    ((1, 1, 1), STAIRS),
]
SPONGE_BLOCKS.sort()  # walk order XYZ: x outermost, z innermost
MOJANG_DOCUMENT = writers.mojang(
    (2, 1, 2),
    [("minecraft:air", {}), (STONE, {}), ("minecraft:oak_stairs", {"facing": "north"})],
    [((0, 0, 0), 1), ((1, 0, 0), 0), ((0, 0, 1), 2), ((1, 0, 1), 1)],
)
MOJANG_DATA = writers.gz(MOJANG_DOCUMENT)
MOJANG_BLOCKS = [
    ((0, 0, 0), STONE + "[]"),
    ((0, 0, 1), "minecraft:oak_stairs[facing=north]"),
    ((1, 0, 1), STONE + "[]"),
]
FORMATS = {
    "sponge-flat": (
        writers.gz(writers.sponge((2, 2, 2), SPONGE_PALETTE, SPONGE_IDS)),
        "sponge",
        SPONGE_BLOCKS,
    ),
    "sponge-nested": (
        writers.gz(writers.sponge((2, 2, 2), SPONGE_PALETTE, SPONGE_IDS, nested=True)),
        "sponge",
        SPONGE_BLOCKS,
    ),
    "mojang": (MOJANG_DATA, "mojang", MOJANG_BLOCKS),
    "kbr": (kbr_stairs_row(), "kbr", STAIRS_ROW),
    # The members of a schematic and of a structure in one root: detection takes the first format.
    "sponge-and-mojang": (
        writers.gz(writers.sponge((2, 2, 2), SPONGE_PALETTE, SPONGE_IDS)[:-1] + MOJANG_DOCUMENT[3:]),
        "sponge",
        SPONGE_BLOCKS,
    ),
}


@pytest.mark.parametrize("name", FORMATS)
@pytest.mark.parametrize("how", ["detected", "named", "enum"])
def test_formats(name, how):
    data, format_name, expected = FORMATS[name]
    if how == "detected":
        blocks = read_all(data)
    elif how == "named":
        blocks = read_all(data, type=format_name.capitalize())
    else:
        blocks = read_all(data, type=Format[format_name.upper()])
    assert summary(blocks) == expected


@pytest.mark.parametrize(
    "type_value",
    ["kbr", "KBR", "kBr", Named("kbr"), Format.KBR],
    ids=["lower", "upper", "mixed", "named-object", "enum"],
)
def test_kbr_type_forms_select_the_kbr_reader(type_value):
    # Uncompressed input reaches the KBR reader's own error only when KBR was asked for.
    bad = writers.gz(writers.kbr((0, 0, 0), (1, 0, 0), version=2))
    with kubrel_rs.open(Source(bad, type=type_value)) as reader:
        message = "KBR: Unsupported version. Expected 1, got 2"
        with pytest.raises(RuntimeError, match=exactly(message)):
            reader.read_full()


@pytest.mark.parametrize(
    "type_value",
    [7, None, Named(5), Named(None), "auto", "Auto", RaisingType.type, b"KBR", "bad\udc80"],
    ids=["int", "none", "int-name", "none-name", "auto", "Auto", "prop", "bytes", "unencodable"],
)
def test_type_falls_back_to_detection(type_value):
    bad = writers.gz(writers.kbr((0, 0, 0), (1, 0, 0), version=2))
    with kubrel_rs.open(Source(bad, type=type_value)) as reader:
        with pytest.raises(RuntimeError, match=exactly("No matching format found")):
            reader.read_full()


def test_raising_type_attribute_falls_back_to_detection():
    with kubrel_rs.open(RaisingType()) as reader:
        with pytest.raises(RuntimeError, match=exactly("No matching format found")):
            reader.read_full()


@pytest.mark.parametrize(
    "type_value, shown",
    [("foo", "FOO"), ("kbr ", "KBR "), ("straße", "STRAßE"), ("", ""), (Named("Spg2"), "SPG2")],
)
def test_unknown_type(type_value, shown):
    source = Source(kbr_stone(1), type=type_value)
    with pytest.raises(ValueError) as info:
        kubrel_rs.open(source)
    assert str(info.value) == f"Unknown type: {shown}"
    assert source.calls > 0  # the gzip header was read before the name was looked at


def test_unknown_type_closes_the_file(tmp_path, open_fds):
    path = tmp_path / "stone.gz"
    path.write_bytes(kbr_stone(1))
    typed_path = type("TypedPath", (str,), {"type": "foo"})(str(path))
    before = open_fds()
    with pytest.raises(ValueError, match=exactly("Unknown type: FOO")):
        kubrel_rs.open(typed_path)
    assert open_fds() == before


@pytest.mark.parametrize("how", ["bytes", "named-file-like"])
def test_uncompressed_input(how):
    raw = writers.kbr_filled((0, 0, 0), (1, 0, 0), [STONE, STONE])
    if how == "bytes":
        reader = kubrel_rs.open(raw)
        message = "No matching format found"
    else:
        reader = kubrel_rs.open(Source(raw, type="kbr"))
        message = "invalid gzip header"
    with reader:
        with pytest.raises(RuntimeError) as info:
            reader.read_full()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "read, message",
    [
        (lambda n: "text", "Failed to extract bytes "),
        (lambda n: [0] * n, "Failed to extract bytes "),
        (lambda n: (_ for _ in ()).throw(OSError("boom")), "OSError: boom"),
        (lambda n: 1 / 0, "ZeroDivisionError: division by zero"),
    ],
    ids=["str", "list", "oserror", "zerodivision"],
)
def test_failing_file_like(read, message):
    source = type("Failing", (), {"read": staticmethod(read), "type": "kbr"})()
    with kubrel_rs.open(source) as reader:
        with pytest.raises(RuntimeError) as info:
            reader.read_full()
    assert message in str(info.value)


SPONGE_CUBE = writers.gz(
    writers.sponge((32, 32, 32), SPONGE_PALETTE, [i * i % 3 for i in range(32**3)])
)
NBT_ERROR = "Sponge: Failed to read NBT data: io error: OSError: boom"


@pytest.mark.parametrize(
    "kind, error, raised, first, later",
    [
        ("sponge", KeyboardInterrupt("stop"), KeyboardInterrupt, "stop", "KeyboardInterrupt"),
        ("auto", KeyboardInterrupt("stop"), KeyboardInterrupt, "stop", "KeyboardInterrupt"),
        ("auto", SystemExit(3), SystemExit, "3", "SystemExit"),
        ("sponge", OSError("boom"), RuntimeError, NBT_ERROR, None),
        ("auto", OSError("boom"), RuntimeError, "No matching format found", None),
    ],
)
def test_exception_inside_a_later_read(kind, error, raised, first, later):
    # Only an Exception becomes the reader's error; an interrupt goes up as it is, and later reads
    # say that the read was interrupted.
    with kubrel_rs.open(Source(SPONGE_CUBE, chunk=64, type=kind, error=error)) as reader:
        with pytest.raises(raised, match=exactly(first)):
            reader.read_full()
        later = f"Read interrupted by {later}" if later else first
        with pytest.raises(RuntimeError, match=exactly(later)):
            reader.read_full()


def test_file_like_returning_more_than_asked():
    data = kbr_stone(3000)
    asked = []

    class Generous(Source):
        def read(self, n):
            asked.append(n)
            return super().read(n) + b"\xffjunk" * 5

    with kubrel_rs.open(Generous(data, type="kbr")) as reader:
        assert len(reader.read_full()) == 3000
    assert asked and max(asked) <= 8192


def test_file_like_released_not_closed():
    source = io.BytesIO(kbr_stone(2))
    before = sys.getrefcount(source)
    with kubrel_rs.open(source) as reader:
        assert sys.getrefcount(source) == before + 1
        reader.read_full()
    assert sys.getrefcount(source) == before
    assert not source.closed


# Real files that no reader accepts, beyond whole formats (old MCEdit schematics with numeric
# "Blocks", structures holding several palettes under "palettes"), and why.
REFUSED = {
    "sponge/v2__Desynq__soup_mansion.schem": "a palette name outside the minecraft: namespace",
    "legacy/structure_pre113__vanilla-1.10__igloo_bottom.nbt": "its blocks come before its size",
    "legacy/structure_pre113__vanilla-1.12.2__igloo_top.nbt": "its blocks come before its size",
}


def refused(row):
    return (
        row["format"].startswith("mcedit")
        or row["notes"].startswith("palettes list")
        or row["file"] in REFUSED
    )


@pytest.mark.skipif(not CORPUS.exists(), reason="no corpus of real files")
@pytest.mark.parametrize("row", manifest_rows(CORPUS), ids=lambda row: row["file"])
def test_corpus(row):
    with kubrel_rs.open(str(CORPUS / row["file"])) as reader:
        if refused(row):
            with pytest.raises(RuntimeError, match=exactly("No matching format found")):
                reader.read_full()
            return
        # Asked first, the boundary settles detection also for a schematic without blocks.
        boundary = reader.boundary()
        count = sum(len(bulk) for bulk in reader.iter_bulks())
    width, height, length = (int(v) for v in row["dims_WxHxL"].split("x"))
    assert boundary.size() == (width, height, length)
    listed = re.match(r"(\d+) blocks listed", row["notes"])
    assert 0 <= count <= (int(listed[1]) if listed else width * height * length)
