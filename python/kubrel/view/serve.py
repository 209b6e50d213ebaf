"""The view served from a local address: the page and its data as two responses, so that a build
too large to embed in one file is still shown (the browser fetches the data beside the page)."""

from __future__ import annotations

import http.server

from kubrel.view.page import page
from kubrel.view.scene import SERVED_BLOCKS, build

DATA_PATH = "scene.bin"


def server(volume, title: str, port: int = 0) -> http.server.ThreadingHTTPServer:
    """A server on 127.0.0.1 (`port` 0: any free one) answering "/" with the page and
    "/scene.bin" with its data; the caller runs `serve_forever()` and reads `server_address`."""
    scene = build(volume, SERVED_BLOCKS)
    document = page(volume, title, scene=scene, src=DATA_PATH).encode("utf-8")
    bodies = {
        "/": (document, "text/html; charset=utf-8"),
        "/" + DATA_PATH: (scene.data, "application/octet-stream"),
    }

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802 - the name http.server calls
            path = self.path.split("?")[0]
            if path == "/favicon.ico":
                # Browsers ask for one; an empty answer keeps their console free of errors.
                self.send_response(204)
                self.end_headers()
                return
            body, kind = bodies.get(path, (None, None))
            if body is None:
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Type", kind)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    return http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler)
