"""A small HTTP server on 127.0.0.1 for the command line's offline demo."""

from __future__ import annotations

import gzip
import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Tuple

__all__ = ["DemoServer"]

_PAGE = b"Hello from the tarnix demo server!\n"


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Head and body go out as two writes; with Nagle on, the body would wait
    # for the client's delayed ACK.
    disable_nagle_algorithm = True
    server_version = "tarnix-demo"

    def log_message(self, format: str, *args: object) -> None:  # noqa: A002
        pass

    def _reply(self, status: int, body: bytes, content_type: str, extra: Tuple[Tuple[str, str], ...] = ()) -> None:
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _handle(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        path = self.path.split("?", 1)[0]
        if path == "/":
            self._reply(200, _PAGE, "text/plain; charset=utf-8")
        elif path == "/echo":
            doc = {
                "method": self.command,
                "path": self.path,
                "headers": dict(self.headers.items()),
                "body": body.decode("utf-8", "replace"),
            }
            self._reply(200, json.dumps(doc, indent=2).encode() + b"\n", "application/json")
        elif path == "/gzip":
            self._reply(200, gzip.compress(_PAGE * 20), "text/plain", (("Content-Encoding", "gzip"),))
        else:
            self._reply(404, b"not found\n", "text/plain")

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = do_OPTIONS = _handle


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    # A burst of new connections must not overflow the listen queue: dropped
    # SYNs come back only after the kernel's 1 s, 3 s, 7 s retransmits.
    request_queue_size = 1024


class DemoServer:
    """A threaded HTTP/1.1 server on an ephemeral port of 127.0.0.1.

    Paths: ``/`` (a greeting), ``/echo`` (the request as JSON), ``/gzip``
    (a gzip-encoded body). Use as a context manager.
    """

    def __init__(self) -> None:
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._thread = threading.Thread(target=self._server.serve_forever, name="tarnix-demo", daemon=True)

    @property
    def url(self) -> str:
        port = self._server.server_address[1]
        return f"http://127.0.0.1:{port}"

    def __enter__(self) -> DemoServer:
        self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()
