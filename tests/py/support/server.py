"""The base every test server builds on: one loopback listener, one accept
loop with a thread per connection, one request-head reader."""

import socket
import threading

WAIT = 10  # seconds; only guards against hangs, never asserted on


def read_head(sock, data=b""):
    """Reads on from `data` until it holds a whole request head, and returns
    it with whatever came after; on the peer's close, what arrived so far."""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(65536)
        if not chunk:
            break
        data += chunk
    return data


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Listener:
    """Listens on loopback and runs handle(conn) on a thread per accepted
    connection. Subclasses choose what a connection is (wrap), which errors
    a handler may end with unremarked (ignored), and whether a connection
    outlives its handler (close_after_handle); anything else a handler raises
    is kept in `errors` for the test to see."""

    ignored = (OSError,)
    close_after_handle = True
    # Join the handlers on close: for servers whose handlers end once their
    # sockets are shut down.
    join_on_close = False
    # Real servers answer at once; Nagle would stall a first response behind
    # anything the server sent before it (TLS session tickets).
    nodelay = False

    def __init__(self, host="127.0.0.1", port=0, backlog=128):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        try:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.sock.bind((host, port))
            self.sock.listen(backlog)
        except OSError:
            self.sock.close()
            raise
        self.port = self.sock.getsockname()[1]
        self.host = host
        self.lock = threading.Lock()
        self.conns = []  # what wrap() made of each accepted socket, in order
        self.errors = []
        self.open_now = 0
        self.open_max = 0
        self.closed_event = threading.Condition(self.lock)
        self.stopping = False
        self._socks = []
        self.threads = [threading.Thread(target=self._accept_loop, daemon=True)]
        self.threads[0].start()

    def wrap(self, sock, index):
        return sock

    def handle(self, conn):
        raise NotImplementedError

    @property
    def url(self):
        return f"http://{f'[{self.host}]' if ':' in self.host else self.host}:{self.port}"

    @property
    def accepted(self):
        with self.lock:
            return len(self.conns)

    def _accept_loop(self):
        while True:
            try:
                sock, _ = self.sock.accept()
            except OSError:
                return
            if self.nodelay:
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                if self.stopping:
                    sock.close()
                    return
                self._socks.append(sock)
                conn = self.wrap(sock, len(self.conns))
                self.conns.append(conn)
                self.open_now += 1
                self.open_max = max(self.open_max, self.open_now)
                t = threading.Thread(target=self._run, args=(conn, sock), daemon=True)
                self.threads.append(t)
            t.start()

    def _run(self, conn, sock):
        try:
            self.handle(conn)
        except self.ignored:
            pass
        except Exception as exc:  # surfaced to the test by whoever closes the server
            if not self.stopping:
                self.errors.append(exc)
        finally:
            if self.close_after_handle:
                sock.close()
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
            socks = list(self._socks)
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.sock.close()
        for sock in socks:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        if self.join_on_close:
            for t in self.threads:
                t.join(WAIT)
        for sock in socks:
            sock.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *exc):
        self.close()
        # A handler's failure fails the test, unless something else did first.
        if exc_type is None:
            assert not self.errors, self.errors
