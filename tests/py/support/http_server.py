"""An HTTP/1.1 server with a route for each client feature, and a raw one
for bytes it cannot send."""

from __future__ import annotations

import functools
import gzip
import hashlib
import json
import socket
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

from support.server import Listener, read_head


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Head and body go out as two writes; with Nagle on, the body would wait
    # for the client's delayed ACK.
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def reply(self, status, body=b"", headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_any(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        parts = urlsplit(self.path)
        every = parse_qs(parts.query)
        query = {k: v[0] for k, v in every.items()}
        path = parts.path
        if path == "/echo":
            doc = {
                "method": self.command,
                "target": self.path,
                "headers": [[k, v] for k, v in self.headers.items()],
                "body": body.decode("latin-1"),
            }
            self.reply(200, json.dumps(doc).encode(), [("Content-Type", "application/json")])
        elif path.startswith("/status/"):
            self.reply(int(path.rsplit("/", 1)[1]), b"status body")
        elif path == "/text":
            charset = query.get("charset")
            ctype = f"text/plain; charset={charset}" if charset else "text/plain"
            self.reply(200, "café".encode(charset or "utf-8"), [("Content-Type", ctype)])
        elif path == "/encoded":
            data = b"hello, compressed world " * 50
            coding = query["coding"]
            if coding == "gzip":
                data = gzip.compress(data)
            elif coding == "deflate":
                data = zlib.compress(data)
            elif coding == "raw-deflate":
                c = zlib.compressobj(wbits=-15)
                data, coding = c.compress(data) + c.flush(), "deflate"
            elif coding == "br":
                import brotli

                data = brotli.compress(data)
            elif coding == "zstd":
                import zstandard

                data = zstandard.ZstdCompressor().compress(data)
            elif coding == "broken":
                data, coding = b"\x1f\x8b not gzip at all", "gzip"
            self.reply(200, data, [("Content-Encoding", coding)])
        elif path == "/bomb":
            self.reply(200, *bomb(query["coding"], int(query["size"])))
        elif path == "/cookie":
            # Sets the cookies in "set", a line each; with "to", also redirects there.
            headers = [("Set-Cookie", value) for value in every.get("set", [])]
            if "to" in query:
                self.reply(302, b"", headers + [("Location", query["to"])])
            else:
                self.reply(200, (self.headers.get("Cookie") or "").encode(), headers)
        elif path == "/digest":
            self.digest(query)
        elif path == "/headers":
            self.reply(200, b"", [("X-One", "1"), ("X-Dup", "a"), ("x-dup", "b"), ("Content-Type", "text/plain")])
        elif path == "/redirect":
            self.reply(int(query.get("code", "302")), b"", [("Location", query["to"])])
        elif path == "/loop":
            self.reply(302, b"", [("Location", "/loop")])
        elif path == "/slow":
            time.sleep(float(query.get("delay", "0.5")))
            self.reply(200, b"late")
        else:
            self.reply(404, b"not found")

    def digest(self, query):
        """Digest auth for user "u", password "pw" (RFC 7616), checked
        independently of the client's code."""
        algorithm = query.get("algorithm", "MD5")
        qop = query.get("qop", "auth")
        hname = {"MD5": "md5", "SHA-256": "sha256"}[algorithm.replace("-sess", "")]
        H = lambda b: hashlib.new(hname, b.encode()).hexdigest()  # noqa: E731
        nonce = "n0nce-" + algorithm
        header = self.headers.get("Authorization", "")
        if header.startswith("Digest "):
            fields = dict(
                (k.strip(), v.strip().strip('"'))
                for k, v in (item.split("=", 1) for item in header[7:].split(", "))
            )
            ha1 = H(f"u:realm@test:pw")
            if algorithm.endswith("-sess"):
                ha1 = H(f"{ha1}:{nonce}:{fields['cnonce']}")
            ha2 = H(f"{self.command}:{fields['uri']}")
            if qop == "none":
                expected = H(f"{ha1}:{nonce}:{ha2}")
            else:
                expected = H(f"{ha1}:{nonce}:{fields['nc']}:{fields['cnonce']}:auth:{ha2}")
            if fields.get("response") == expected and fields.get("opaque") == "op" and fields["uri"] == self.path:
                self.reply(200, f"ok {fields.get('nc', '-')}".encode())
                return
        challenge = f'Digest realm="realm@test", nonce="{nonce}", algorithm={algorithm}, opaque="op"'
        if qop != "none":
            challenge += f', qop="{qop}"'
        self.reply(401, b"denied", [("WWW-Authenticate", challenge)])

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = do_OPTIONS = handle_any


@functools.lru_cache(maxsize=16)
def bomb(coding, size):
    """A body of ``size`` zero bytes, compressed; "chain" is gzip inside deflate."""
    data = bytes(size)
    if coding == "gzip":
        return gzip.compress(data, 1), [("Content-Encoding", "gzip")]
    if coding == "deflate":
        return zlib.compress(data, 1), [("Content-Encoding", "deflate")]
    if coding == "br":
        import brotli

        return brotli.compress(data, quality=1), [("Content-Encoding", "br")]
    if coding == "zstd":
        import zstandard

        return zstandard.ZstdCompressor().compress(data), [("Content-Encoding", "zstd")]
    assert coding == "chain"
    return zlib.compress(gzip.compress(data)), [("Content-Encoding", "gzip, deflate")]


class HTTPServer:
    """A threaded HTTP/1.1 server on an ephemeral port, plain or TLS."""

    def __init__(self, ssl_context=None, host="127.0.0.1"):
        if host == "[::1]":
            server_class = type("Server6", (ThreadingHTTPServer,), {"address_family": socket.AF_INET6})
            self.server = server_class(("::1", 0), Handler, bind_and_activate=False)
        else:
            self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler, bind_and_activate=False)
        self.server.daemon_threads = True
        self.server.request_queue_size = 128
        # Tests provoke resets and failed handshakes; keep their tracebacks quiet.
        self.server.handle_error = lambda request, client_address: None
        self.server.server_bind()
        self.server.server_activate()
        if ssl_context is not None:
            self.server.socket = ssl_context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        scheme = "https" if ssl_context is not None else "http"
        self.url = f"{scheme}://{host}:{self.port}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


class RawServer(Listener):
    """Runs ``behaviour(sock)`` on each connection, then closes it."""

    def __init__(self, behaviour, host="127.0.0.1", port=0):
        self.behaviour = behaviour
        super().__init__(host, port)

    def handle(self, sock):
        self.behaviour(sock)


class HangingServer(Listener):
    """Answers every path at once except /hang, which it reads and never
    answers until the test ends. Counts connections."""

    def __init__(self):
        self.done = threading.Event()
        super().__init__()

    def handle(self, conn):
        while True:
            head = read_head(conn)
            if not head:
                return
            if head.startswith(b"GET /hang "):
                self.done.wait(30)
                return
            conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")

    def close(self):
        self.done.set()
        super().close()
