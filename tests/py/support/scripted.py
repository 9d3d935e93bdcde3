"""A raw-socket HTTP server for tests: it sends exact bytes, closes when
told, and counts connections."""

import socket
import threading

from support.server import WAIT, Listener, read_head  # noqa: F401 (WAIT is for the tests)


class Request:
    __slots__ = ("head", "method", "target", "headers", "body")

    def __init__(self, head, body):
        self.head = head
        lines = head.split(b"\r\n")
        self.method, self.target, _ = lines[0].split(b" ", 2)
        self.headers = []
        for line in lines[1:]:
            name, _, value = line.partition(b":")
            self.headers.append((name, value.strip()))
        self.body = body

    def header(self, name):
        values = [v for n, v in self.headers if n.lower() == name.lower()]
        return values[-1] if values else None


class Conn:
    """One accepted connection, driven by the server's handler."""

    def __init__(self, server, sock, index):
        self.server = server
        self.sock = sock
        self.index = index
        self.buf = b""

    def _fill(self):
        try:
            data = self.sock.recv(65536)
        except OSError:
            data = b""
        self.buf += data
        return bool(data)

    def read_request(self):
        """The next request, or None when the client closed the connection."""
        try:
            self.buf = read_head(self.sock, self.buf)
        except OSError:
            return None
        if b"\r\n\r\n" not in self.buf:
            return None
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        req = Request(head, b"")
        length = int(req.header(b"content-length") or 0)
        while len(self.buf) < length:
            if not self._fill():
                return None
        req.body, self.buf = self.buf[:length], self.buf[length:]
        with self.server.lock:
            self.server.requests.append((self.index, req))
        return req

    def wait_closed(self):
        """True once the client has closed its end."""
        while self._fill():
            pass
        return True

    def send(self, data):
        self.sock.sendall(data)

    def close(self, reset=False):
        if reset:
            # Linger 0: the close sends RST instead of FIN.
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        else:
            try:
                self.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.sock.close()


def respond_with(respond):
    """A handler that answers every request on a connection with
    respond(request, conn) bytes, and closes the connection on None."""

    def handler(conn):
        while True:
            req = conn.read_request()
            if req is None:
                return
            data = respond(req, conn)
            if data is None:
                conn.close()
                return
            conn.send(data)

    return handler


def ok(body=b"ok", extra=b""):
    return b"HTTP/1.1 200 OK\r\n" + extra + b"Content-Length: %d\r\n\r\n" % len(body) + body


class ScriptedServer(Listener):
    """Runs handler(conn) on a thread per connection; a connection stays open
    until the handler closes it or the server closes. Every failure of a
    handler counts, connection errors too."""

    ignored = ()
    close_after_handle = False
    join_on_close = True

    def __init__(self, handler, host="127.0.0.1"):
        self.handler = handler
        self.requests = []  # (connection index, Request) in arrival order
        super().__init__(host)

    def wrap(self, sock, index):
        return Conn(self, sock, index)

    def handle(self, conn):
        self.handler(conn)


def tunnel_to(upstream_port):
    """A proxy handler that opens every tunnel to one port, whatever was asked."""

    def handler(conn):
        req = conn.read_request()
        if req is None:
            return
        upstream = socket.create_connection(("127.0.0.1", upstream_port), timeout=WAIT)
        conn.send(b"HTTP/1.1 200 Connection established\r\n\r\n")

        def pump(src, dst):
            try:
                while data := src.recv(65536):
                    dst.sendall(data)
            except OSError:
                pass
            for s in (src, dst):
                try:
                    s.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

        back = threading.Thread(target=pump, args=(upstream, conn.sock), daemon=True)
        back.start()
        pump(conn.sock, upstream)
        back.join(WAIT)
        upstream.close()

    return handler
