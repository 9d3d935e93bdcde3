"""Requests given up on (timed out or cancelled) stop in the engine at once,
and max_response_size bounds what a response may bring.

The server runs in a child process (this file, run as a script), so that its
threads and sockets never mix with the client's in the counts."""

import asyncio
import os
import socketserver
import subprocess
import sys
import threading
import time

import pytest

import tarnix
from support.client import CHILD_ENV
from support.engine import RecordingLoop, make_pool
from tarnix import _tarnix

# -- the server ------------------------------------------------------------------


def wire(mode, n):
    """What /<mode>/<n> sends: n body bytes framed by a length, by chunks, or
    by the end of the connection."""
    body = b"x" * n
    head = b"HTTP/1.1 200 OK\r\nConnection: close\r\n"
    if mode == "length":
        return head + b"Content-Length: %d\r\n\r\n" % n + body
    if mode == "chunked":
        return head + b"Transfer-Encoding: chunked\r\n\r\n%x\r\n%s\r\n0\r\n\r\n" % (n, body)
    return head + b"\r\n" + body


class Handler(socketserver.BaseRequestHandler):
    """/open: how many other connections are open; /endless: a body without
    end; /<mode>/<n>: see wire(); anything else: no answer, ever."""

    open = 0
    lock = threading.Lock()

    def handle(self):
        sock = self.request
        with Handler.lock:
            Handler.open += 1
        try:
            head = b""
            while b"\r\n\r\n" not in head:
                data = sock.recv(4096)
                if not data:
                    return
                head += data
            path = head.split(b" ", 2)[1].decode()
            if path == "/open":
                body = b"%d" % (Handler.open - 1)
                sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s" % (len(body), body))
            elif path == "/endless":
                sock.sendall(b"HTTP/1.1 200 OK\r\n\r\n")
                while True:
                    sock.sendall(b"x" * 65536)
            elif path.count("/") == 2:
                _, mode, n = path.split("/")
                sock.sendall(wire(mode, int(n)))
            else:
                while sock.recv(4096):
                    pass
        except OSError:
            pass
        finally:
            with Handler.lock:
                Handler.open -= 1


def serve():
    socketserver.ThreadingTCPServer.daemon_threads = True
    socketserver.ThreadingTCPServer.request_queue_size = 256
    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(server.server_address[1], flush=True)
    sys.stdin.read()  # until the tests end


@pytest.fixture(scope="module")
def server():
    proc = subprocess.Popen([sys.executable, __file__], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=CHILD_ENV)
    try:
        yield f"http://127.0.0.1:{int(proc.stdout.readline())}"
    finally:
        proc.stdin.close()
        proc.wait(10)


def counts():
    """Threads and descriptors of this process."""
    return len(os.listdir("/proc/self/task")), len(os.listdir("/proc/self/fd"))


def within(check, seconds=10):
    end = time.monotonic() + seconds
    while not check():
        if time.monotonic() > end:
            return False
        time.sleep(0.05)
    return True


def resident():
    with open("/proc/self/statm") as f:
        return os.sysconf("SC_PAGE_SIZE") * int(f.read().split()[1])


def server_open(url):
    return int(tarnix.get(url + "/open").text)


# -- abandonment -----------------------------------------------------------------


@pytest.mark.parametrize("kind,times", [("async", 1000), ("sync", 100)])
def test_given_up_requests_leave_no_thread_descriptor_or_connection(server, kind, times):
    if kind == "async":

        async def go():
            async with tarnix.Client(timeout=0.05) as c:
                await c.get(server + "/length/2", timeout=10)  # the loop's queue, the pool
                before = counts()
                for batch in range(times // 100):
                    tasks = [asyncio.ensure_future(c.get(server + "/silent")) for _ in range(100)]
                    if batch == 0:
                        await asyncio.sleep(0.01)
                        for task in tasks[::2]:
                            task.cancel()
                    for result in await asyncio.gather(*tasks, return_exceptions=True):
                        assert isinstance(result, (tarnix.TimeoutError, asyncio.CancelledError))
                return before

        before = asyncio.run(go())
    else:
        with tarnix.SyncClient(timeout=0.02) as c:
            c.get(server + "/length/2", timeout=10)
            before = counts()
            for _ in range(times):
                with pytest.raises(tarnix.TimeoutError):
                    c.get(server + "/silent")
    assert within(lambda: all(now <= then for now, then in zip(counts(), before))), (counts(), before)
    assert within(lambda: server_open(server) == 0)


CHILD = """
import asyncio, resource, sys, tarnix
resource.setrlimit(resource.RLIMIT_NOFILE, (64, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
silent, healthy = sys.argv[1:]
async def go():
    async with tarnix.Client(timeout=0.05) as c:
        for _ in range(8):
            for r in await asyncio.gather(*(c.get(silent) for _ in range(10)), return_exceptions=True):
                assert isinstance(r, tarnix.TimeoutError), r
        # The healthy request gets time of its own: a slow machine (qemu)
        # needs more than the silent ones' budget for a whole request.
        return (await c.get(healthy, timeout=10)).status_code
print(asyncio.run(go()))
with tarnix.SyncClient(timeout=0.02) as c:
    for _ in range(80):
        try:
            c.get(silent)
        except tarnix.TimeoutError:
            pass
    print(c.get(healthy, timeout=10).status_code)
"""


def test_time_outs_never_exhaust_a_small_descriptor_limit(server):
    out = subprocess.run([sys.executable, "-c", CHILD, server + "/silent", server + "/length/2"],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and out.stdout.split() == ["200", "200"], out.stderr


def test_abandon_stops_the_request_and_never_settles_its_future(server):
    pool = make_pool(int(server.rsplit(":", 1)[1]))
    loop, future = RecordingLoop(), object()
    _tarnix.submit(pool, 0, "/silent", [], b"", None, None, future, loop)
    assert within(lambda: server_open(server) == 1)
    assert _tarnix.abandon(future) is True
    assert _tarnix.abandon(future) is False and _tarnix.abandon(object()) is False
    assert within(lambda: server_open(server) == 0)
    assert not loop.event.wait(0.2)
    for bad, error in ((-1, ValueError), ("1", TypeError)):
        with pytest.raises(error):
            _tarnix.submit_limited(pool, 0, "/", [], b"", bad, object(), loop)
        with pytest.raises(error):
            _tarnix.submit_wait(pool, 0, "/", [], b"", 1.0, bad)


# -- max_response_size -----------------------------------------------------------


def fetch(kind, url, **options):
    """A GET with a client-level limit (async), a per-request one (sync) or
    the module function's."""
    if kind == "async":

        async def go():
            async with tarnix.Client(max_response_size=options.pop("max_response_size", None)) as c:
                return await c.get(url, **options)

        return asyncio.run(go())
    if kind == "sync":
        with tarnix.SyncClient() as c:
            return c.get(url, **options)
    return tarnix.get(url, **options)


@pytest.mark.parametrize("kind", ["async", "sync", "module"])
def test_max_response_size_counts_the_response_as_it_arrives(server, kind):
    for mode in ("length", "chunked", "close"):
        size = len(wire(mode, 5000))
        assert fetch(kind, f"{server}/{mode}/5000", max_response_size=size).content == b"x" * 5000
        with pytest.raises(tarnix.ProtocolError, match="response exceeds max_response_size"):
            fetch(kind, f"{server}/{mode}/5000", max_response_size=size - 1)
    # An endless body stops at the limit, or at the time limit: memory
    # stops growing and the connection is closed.
    with pytest.raises(tarnix.ProtocolError):
        fetch(kind, server + "/endless", max_response_size=1 << 20)
    with pytest.raises(tarnix.TimeoutError):
        fetch(kind, server + "/endless", timeout=0.3)
    after = resident()
    assert within(lambda: server_open(server) == 0)
    time.sleep(0.3)
    assert resident() - after < 16 << 20


def test_max_response_size_per_request_and_its_checks(server):
    with tarnix.SyncClient(max_response_size=10) as c:
        assert c.get(server + "/length/100", max_response_size=None).status_code == 200
        with pytest.raises(tarnix.ProtocolError):
            c.get(server + "/length/100")
        with pytest.raises(ValueError):
            c.get(server + "/length/100", max_response_size=-1)
    for bad in (-1, "1", True):
        with pytest.raises(ValueError):
            tarnix.Client(max_response_size=bad)


if __name__ == "__main__":
    serve()
