"""kubrel._native.load(): every kind of input gives the same volume, errors are KubrelError (a
ValueError), and on the real corpus the volume holds exactly the non-air blocks the exact reader
hands out."""

import io

import numpy as np
import pytest

import kubrel_rs
import volume_reference
import writers
from conftest import CORPUS, STAIRS, STONE, corpus_files
from kubrel import _native

AIRS = {"minecraft:air", "minecraft:cave_air", "minecraft:void_air"}
VOID = "minecraft:structure_void"
# Files whose exact reading builds more Python objects than a quick test should.
LARGEST_COMPARED = 2_000_000


def canonical(state):
    return volume_reference.canonical(state.name(), state.properties())


def exact_blocks(source):
    """{(x, y, z): canonical text} of what kubrel_rs hands out for `source`."""
    with kubrel_rs.open(source) as reader:
        return {
            (b.position().x(), b.position().y(), b.position().z()): canonical(b.state())
            for bulk in reader.iter_bulks()
            for b in bulk
        }


def volume_blocks(volume, keep_void):
    palette = np.array(volume["palette"], dtype=object)
    y, z, x = np.nonzero(
        ~np.isin(palette, sorted(AIRS | (set() if keep_void else {VOID})))[volume["blocks"]]
    )
    ox, oy, oz = volume["origin"] if volume["format"] == "kbr" else (0, 0, 0)
    texts = palette[volume["blocks"][y, z, x]]
    return {(int(a) + ox, int(b) + oy, int(c) + oz): t for a, b, c, t in zip(x, y, z, texts)}


def sponge_stairs():
    return writers.sponge((2, 1, 1), {STONE: 0, STAIRS: 1}, [1, 0], nested=True)


@pytest.mark.parametrize(
    "make_source",
    [
        lambda path, data: str(path),
        lambda path, data: data,
        lambda path, data: bytearray(data),
        lambda path, data: memoryview(data),
        lambda path, data: io.BytesIO(data),
        lambda path, data: open(path, "rb"),
    ],
    ids=["path", "bytes", "bytearray", "memoryview", "BytesIO", "file"],
)
@pytest.mark.parametrize("compress", [writers.gz, lambda data: data], ids=["gzip", "raw"])
def test_every_input_kind_gives_the_same_volume(tmp_path, make_source, compress):
    data = compress(sponge_stairs())
    path = tmp_path / "stairs.schem"
    path.write_bytes(data)
    volume = _native.load(make_source(path, data), format=None)
    assert set(volume) == {"format", "version", "data_version", "origin", "size", "palette",
                           "blocks", "palette_count", "block_entities", "entities", "regions",
                           "sub_version", "metadata", "pending_block_ticks",
                           "pending_fluid_ticks", "other_tags", "paste_origin", "palettes",
                           "biomes"}
    assert (volume["format"], volume["version"], volume["data_version"]) == ("sponge", 3, None)
    assert (volume["size"], volume["origin"], volume["palette_count"]) == ((2, 1, 1), (0, 0, 0), 1)
    assert volume["palette"][0] == "minecraft:air"
    blocks = volume["blocks"]
    assert blocks.dtype == np.uint8 and blocks.shape == (1, 1, 2) and blocks.flags.c_contiguous
    stairs = "minecraft:oak_stairs[facing=north,half=top]"
    assert [volume["palette"][i] for i in blocks[0, 0]] == [stairs, STONE]


@pytest.mark.parametrize(
    "source, kwargs, error, message",
    [
        (b"", {}, _native.KubrelError, "not a schematic: the input is empty"),
        (b"hello", {}, _native.KubrelError, "starts with bytes 68 65 6c 6c 6f"),
        (writers.gz(b"\x0a\x00\x00\x00")[:-3], {}, _native.KubrelError, "gzip: "),
        (sponge_stairs(), {"format": "structure"}, _native.KubrelError, "'size' is missing"),
        (sponge_stairs(), {"palette": 1}, _native.KubrelError, "only structure files"),
        (sponge_stairs(), {"format": "schematica"}, ValueError, "format must be None"),
        (sponge_stairs(), {"palette": -1}, ValueError, "non-negative"),
        ("/nonexistent/file.schem", {}, FileNotFoundError, "No such file"),
        (42, {}, TypeError, "Input must be"),
    ],
)
def test_errors(source, kwargs, error, message):
    with pytest.raises(error, match=message) as raised:
        _native.load(source, **kwargs)
    if error is _native.KubrelError:
        assert isinstance(raised.value, ValueError)


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus of real files")
@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: str(p.relative_to(CORPUS)))
def test_corpus_matches_the_exact_reader(path):
    if path.name.startswith(("mcedit", "schematica")):
        with pytest.raises(_native.KubrelError, match="^legacy MCEdit schematic"):
            _native.load(str(path))
        return
    volume = _native.load(str(path))
    size_x, size_y, size_z = volume["size"]
    assert volume["blocks"].shape == (size_y, size_z, size_x)
    assert volume["blocks"].dtype == np.dtype(
        "u1" if len(volume["palette"]) <= 256 else "u2" if len(volume["palette"]) <= 65536 else "u4"
    )
    if size_x * size_y * size_z > LARGEST_COMPARED:
        return
    try:
        exact = exact_blocks(str(path))
    except RuntimeError:
        return  # a file only the volume reads
    listed_void = VOID in exact.values()
    assert volume_blocks(volume, listed_void) == exact
