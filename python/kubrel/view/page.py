"""The view's HTML page: the template and the viewer's script from the package's `static`
folder, filled with a scene, either embedded (one file that opens from disk) or naming the file
its data is served as."""

from __future__ import annotations

import base64
import html
import json
from importlib import resources
from string import Template

from kubrel.view.scene import EMBEDDED_BLOCKS, Scene, build

# Height of the notebook's inline view, in CSS pixels.
NOTEBOOK_HEIGHT = 540


def _static(name: str) -> str:
    return resources.files("kubrel.view").joinpath("static", name).read_text(encoding="utf-8")


def _summary(volume) -> str:
    x, y, z = volume.size
    version = f" v{volume.version}" if volume.version else ""
    return f"{x}×{y}×{z}, {volume.format}{version}"


def page(volume, title: str = "kubrel view", scene: Scene | None = None, src: str | None = None,
         max_blocks: int = EMBEDDED_BLOCKS) -> str:
    """The page of `volume`: its data embedded, or fetched from `src` (a URL beside the page)
    when given, in which case the caller serves `scene.data` there."""
    scene = scene or build(volume, max_blocks)
    meta = dict(scene.meta, src=src)
    shown = len(meta["materials"])
    note = "" if shown == meta["material_count"] else f"The {shown} most used of {meta['material_count']}."
    # "</" inside a script element would end it; JSON reads "<\/" as the same text.
    meta_text = json.dumps(meta, separators=(",", ":")).replace("</", "<\\/")
    data = "" if src else base64.b64encode(scene.data).decode("ascii")
    return Template(_static("page.html")).substitute(
        title=html.escape(title),
        summary=html.escape(_summary(volume)),
        materials_note=html.escape(note),
        meta=meta_text,
        data=data,
        overview=base64.b64encode(scene.overview).decode("ascii"),
        script=_static("viewer.js"),
    )


def inline(volume, title: str = "kubrel view") -> str:
    """The page inside an iframe's `srcdoc`, so that its script runs where a notebook shows HTML
    output."""
    document = html.escape(page(volume, title), quote=True)
    return (
        f'<iframe srcdoc="{document}" style="width:100%;height:{NOTEBOOK_HEIGHT}px;border:0" '
        'sandbox="allow-scripts"></iframe>'
    )
