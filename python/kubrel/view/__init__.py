"""The 3D view of a volume in the browser: one HTML page with its data embedded (`page`), the same
inside a notebook (`inline`), and the scene the page draws (`scene.build`)."""

from kubrel.view.page import inline, page

__all__ = ["inline", "page"]
