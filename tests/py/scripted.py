"""A raw-socket HTTP server for tests: it sends exact bytes, closes when
told, and counts connections."""

import socket
import threading

WAIT = 10  # seconds; only guards against hangs, never asserted on


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
        while b"\r\n\r\n" not in self.buf:
            if not self._fill():
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


class ScriptedServer:
    """Listens on loopback; runs handler(conn) on a thread per connection."""

    def __init__(self, handler, host="127.0.0.1"):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.listener = socket.socket(family, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, 0))
        self.listener.listen(128)
        self.port = self.listener.getsockname()[1]
        self.handler = handler
        self.lock = threading.Lock()
        self.conns = []
        self.requests = []  # (connection index, Request) in arrival order
        self.errors = []
        self.open_now = 0
        self.open_max = 0
        self.closed_event = threading.Condition(self.lock)
        self.threads = []
        self.stopping = False
        t = threading.Thread(target=self._accept_loop, daemon=True)
        t.start()
        self.threads.append(t)

    @property
    def accepted(self):
        with self.lock:
            return len(self.conns)

    def _accept_loop(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                if self.stopping:
                    sock.close()
                    return
                conn = Conn(self, sock, len(self.conns))
                self.conns.append(conn)
                self.open_now += 1
                self.open_max = max(self.open_max, self.open_now)
            t = threading.Thread(target=self._run, args=(conn,), daemon=True)
            t.start()
            self.threads.append(t)

    def _run(self, conn):
        try:
            self.handler(conn)
        except Exception as exc:  # surfaced by the fixture at teardown
            if not self.stopping:
                self.errors.append(exc)
        finally:
            with self.lock:
                self.open_now -= 1
                self.closed_event.notify_all()

    def wait_idle_closed(self, count):
        """Waits until `count` connections have ended on the server side."""
        with self.lock:
            return self.closed_event.wait_for(lambda: len(self.conns) - self.open_now >= count, WAIT)

    def close(self):
        with self.lock:
            self.stopping = True
            conns = list(self.conns)
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        for conn in conns:
            try:
                conn.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for t in self.threads:
            t.join(WAIT)
        for conn in conns:
            conn.sock.close()
