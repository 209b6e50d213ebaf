"""The 3D view in a real browser (Debian's Chromium driven by Playwright, WebGL2 through
SwiftShader): pages of generated volumes and of the real corpus are opened from disk, their
screenshots checked for the build's own colours, the height cut, the region toggles and the
state under the pointer, with no console error."""

import base64
import io
import os
import pathlib

import numpy as np
import pytest

import kubrel
from conftest import CORPUS, corpus_files
from kubrel.render.colours import colour
from kubrel.view.scene import build
from kubrel.view.shapes import shape
from kubrel.volume import Region

CHROMIUM = "/usr/bin/chromium"
sync_api = pytest.importorskip("playwright.sync_api")
Image = pytest.importorskip("PIL.Image")
pytestmark = pytest.mark.skipif(not os.path.exists(CHROMIUM), reason="no Chromium")
# Screenshots are kept in this folder when it is set.
SHOTS = os.environ.get("KUBREL_VIEW_SHOTS")
LITEMATIC = CORPUS.parent / "litematic"
# The page's clear colour, and the light of each face and of a face's rim (viewer.js).
BACKGROUND = np.array([143, 168, 199])
LIGHTS = (0.72, 0.8, 0.5, 1.0, 0.88, 0.64, 0.93)
RIM = 0.82


@pytest.fixture(scope="module")
def browser():
    with sync_api.sync_playwright() as driver:
        launched = driver.chromium.launch(
            executable_path=CHROMIUM,
            args=["--use-gl=angle", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"],
        )
        yield launched
        launched.close()


def open_view(browser, tmp_path, volume, name):
    """The page of `volume` opened from a file, once its first frame is drawn, and the console
    errors it gives."""
    path = tmp_path / f"{name}.html"
    path.write_text(volume.view(name), encoding="utf-8")
    page = browser.new_page(viewport={"width": 700, "height": 480})
    errors = []
    page.on("console", lambda message: message.type == "error" and errors.append(message.text))
    page.on("pageerror", lambda error: errors.append(str(error)))
    page.goto(path.as_uri())
    page.wait_for_function("window.kubrelView.ready || window.kubrelView.error", timeout=120_000)
    assert page.evaluate("window.kubrelView.error") is None
    return page, errors


def screenshot(page, name):
    url = page.evaluate("window.kubrelView.render(), view.toDataURL('image/png')")
    png = base64.b64decode(url.partition(",")[2])
    if SHOTS:
        pathlib.Path(SHOTS).mkdir(parents=True, exist_ok=True)
        (pathlib.Path(SHOTS) / f"{name}.png").write_bytes(png)
    return np.asarray(Image.open(io.BytesIO(png)).convert("RGB")).reshape(-1, 3).astype(int)


def blend(rgb, alpha, layers):
    seen = BACKGROUND
    for _ in range(layers):
        seen = alpha * rgb + (1 - alpha) * seen
    return seen


def nearest(pixels, states):
    """For each pixel that is not the background, which of `states` (index) it shows, or -1
    where no state's lit colour comes within a few levels of it."""
    shown = pixels[np.abs(pixels - BACKGROUND).sum(axis=1) > 6]
    colours, inverse = np.unique(shown, axis=0, return_inverse=True)
    # See-through blocks over the background, one or two faces deep.
    lit = [
        (i, blend(np.array(colour(state)) * light * rim, shape(state).alpha, layers))
        for i, state in enumerate(states)
        for light in LIGHTS
        for rim in (1.0, RIM)
        for layers in ((1,) if shape(state).alpha == 1 else (1, 2))
    ]
    candidates = np.array([rgb for _, rgb in lit]).round().astype(np.int16)
    owners = np.array([i for i, _ in lit])
    found = np.empty(len(colours), dtype=int)
    # A few hundred distinct colours at a time keeps the distance table small.
    for start in range(0, len(colours), 256):
        part = colours[start : start + 256].astype(np.int16)
        distance = np.abs(part[:, None, :] - candidates[None, :, :]).max(axis=2)
        best = distance.argmin(axis=1)
        close = distance[np.arange(len(part)), best] <= 4
        found[start : start + 256] = np.where(close, owners[best], -1)
    return found[inverse.reshape(-1)]


def layered(states, size=(6, 6), regions=()):
    """A volume of one layer per state, bottom first, `size` (x, z) wide."""
    palette = ["minecraft:air", *states]
    blocks = np.repeat(np.arange(1, len(palette), dtype=np.uint8), size[0] * size[1])
    blocks = blocks.reshape(len(states), size[1], size[0])
    volume = kubrel.Volume(blocks, palette, (100, 64, -20), (size[0], len(states), size[1]),
                           "litematic", 6, 3700)
    volume.regions = list(regions)
    return volume


STONE, GOLD, LAPIS = "minecraft:stone", "minecraft:gold_block", "minecraft:lapis_block"
RED, BLUE = "minecraft:red_wool", "minecraft:blue_wool"


def two_regions():
    volume = layered([RED], size=(9, 4))
    volume.palette.append(BLUE)
    volume.blocks[:, :, 5:] = 2
    volume.regions = [Region("west", (0, 0, 0), (5, 1, 4), (5, 1, 4)),
                      Region("east", (5, 0, 0), (4, 1, 4), (4, 1, 4))]
    return volume


# name, volume, what the page is told before the screenshot, states that must show, states that
# must not, and the state (with its height) the pointer finds at the canvas' centre.
VIEWS = [
    ("layers", lambda: layered([STONE, GOLD, LAPIS]), "", {LAPIS}, set(), (LAPIS, 2)),
    ("cut at the bottom", lambda: layered([STONE, GOLD, LAPIS]), "setCut(0)", {STONE}, {GOLD, LAPIS},
     (STONE, 0)),
    ("cut in the middle", lambda: layered([STONE, GOLD, LAPIS]), "setCut(1)", {GOLD}, {LAPIS},
     None),
    ("both regions", two_regions, "", {RED, BLUE}, set(), None),
    ("west region hidden", two_regions, "setRegion(0, false)", {BLUE}, {RED}, None),
    ("east region hidden", two_regions, "setRegion(1, false)", {RED}, {BLUE}, None),
]


@pytest.mark.parametrize("name, make, action, present, absent, centre", VIEWS,
                         ids=[row[0] for row in VIEWS])
def test_generated_views(browser, tmp_path, name, make, action, present, absent, centre):
    volume = make()
    page, errors = open_view(browser, tmp_path, volume, name.replace(" ", "_"))
    if action:
        page.evaluate(f"window.kubrelView.{action}")
    states = [s for s in volume.palette if s != "minecraft:air"]
    owners = nearest(screenshot(page, name.replace(" ", "_")), states)
    assert np.mean(owners >= 0) > 0.97, "pixels in colours the build does not have"
    seen = {states[i] for i in set(owners.tolist()) if i >= 0}
    assert present <= seen and not (absent & seen), seen
    width, height = page.evaluate("[view.clientWidth, view.clientHeight]")
    found = page.evaluate(f"window.kubrelView.pickAt({width / 2}, {height / 2})")
    if centre is not None:
        assert (found["state"], found["position"][1]) == centre
        assert found["world"] == [a + b for a, b in zip(found["position"], volume.origin)]
    assert page.evaluate("window.kubrelView.pickAt(2, 2)") is None
    page.close()
    assert errors == []


def readable(paths, limit=64 << 10):
    """The real files small enough for a quick page, and the volumes they read as."""
    for path in paths:
        if path.stat().st_size <= limit:
            try:
                yield path, kubrel.load(path)
            except kubrel.KubrelError:
                continue


CORPUS_FILES = [*corpus_files(), *sorted(LITEMATIC.glob("*.litematic"))]


@pytest.mark.skipif(not CORPUS_FILES, reason="no corpus")
def test_corpus_views(browser, tmp_path):
    # Every page opens without error, shows the build in its own colours, and the block the
    # pointer finds at points across the canvas is the one the file holds there.
    checked = 0
    for path, volume in readable(CORPUS_FILES):
        if not any(volume.counts()):
            continue
        page, errors = open_view(browser, tmp_path, volume, path.stem)
        owners = nearest(screenshot(page, path.stem), list(volume.counts()))
        assert owners.size and np.mean(owners >= 0) > 0.5, path
        width, height = page.evaluate("[view.clientWidth, view.clientHeight]")
        for fx, fy in ((0.5, 0.5), (0.4, 0.6), (0.6, 0.45)):
            found = page.evaluate(f"window.kubrelView.pickAt({width * fx}, {height * fy})")
            if found is not None:
                x, y, z = found["position"]
                assert found["state"] == volume.palette[volume.blocks[y, z, x]], path
        page.close()
        assert errors == [], path
        checked += 1
    assert checked > 0


@pytest.mark.parametrize("budget, kept, top", [(36, 36, 0), (80, 56, 1), (10, 10, 0), (10**6, 92, 2)])
def test_budget_cuts_whole_layers(budget, kept, top):
    scene = build(layered([STONE, GOLD, LAPIS]), budget)
    assert scene.meta["blocks"] == kept
    assert (f"above y = {top} left out" in scene.meta["left_out"]) == (kept < 92)
    # The overview stands as high as the layers kept: the low bytes of its 36 columns' tops.
    assert set(scene.overview[:36]) == {top + 1}
