"""Idle connections expire, are bounded across origins, and emptied pools go."""

from __future__ import annotations

import asyncio
import os
import threading
import time

import pytest

import tarnix
from support.pki import localhost_tls
from support.server import Listener, read_head
from tarnix import _tarnix


class CountingServer(Listener):
    """Keep-alive HTTP/1.1 on 127.0.0.1 that knows which connections the
    clients still hold open, and the Host each one last asked for."""

    def __init__(self, ssl_context=None):
        self.ssl_context = ssl_context
        self.open = {}
        self.served = 0  # connections past the TLS handshake, if any
        super().__init__()

    @property
    def accepted(self):
        return self.served

    def url(self, i):
        return f"http://h{i}.localhost:{self.port}/"

    def tls_url(self, host):
        return f"https://{host}:{self.port}/"

    def handle(self, conn):
        if self.ssl_context is not None:
            conn = self.ssl_context.wrap_socket(conn, server_side=True)
        with self.lock:
            self.served += 1
            self.open[conn] = None
        data = b""
        try:
            while True:
                data = read_head(conn, data)
                if b"\r\n\r\n" not in data:
                    return
                head, _, data = data.partition(b"\r\n\r\n")
                first = head.split(b"\r\n")[0]
                if b" /close " in first:
                    conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok")
                    return
                if b" /slow" in first:  # /slowN: answered N tenths of a second late
                    time.sleep(int(first.split(b" /slow")[1][:1]) / 10)
                for line in head.split(b"\r\n"):
                    if line.lower().startswith(b"host:"):
                        with self.lock:
                            self.open[conn] = line[5:].strip().decode().split(".")[0] + first.split(b" ")[1].decode()
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        finally:
            with self.lock:
                self.open.pop(conn, None)
            conn.close()

    def hosts(self):
        with self.lock:
            return sorted(h for h in self.open.values() if h)

    def wait_open(self, n, within=5.0):
        """Waits (bounded) until exactly n connections are open."""
        end = time.monotonic() + within
        while len(self.open) != n and time.monotonic() < end:
            time.sleep(0.01)
        return len(self.open)


@pytest.fixture(scope="module")
def server():
    s = CountingServer()
    yield s
    s.sock.close()


def run_async(server, urls, open_left, **options):
    """Requests the URLs in turn with one Client; once `open_left`
    connections are left open, returns the hosts they serve and how many
    pools the client still has."""

    async def go():
        async with tarnix.Client(**options) as c:
            for url in urls:
                assert (await c.get(url)).text == "ok"
            await asyncio.get_running_loop().run_in_executor(None, server.wait_open, open_left)
            await asyncio.sleep(0.01)  # the loop's own sweep may be due too
            return server.hosts(), len(c._pools)

    return asyncio.run(go())


def run_sync(server, urls, open_left, **options):
    with tarnix.SyncClient(**options) as c:
        for url in urls:
            assert c.get(url).text == "ok"
        server.wait_open(open_left)
        time.sleep(0.01)
        return server.hosts(), len(c._pools)


@pytest.mark.parametrize("runner", [run_async, run_sync], ids=["async", "sync"])
def test_idle_connections_expire_and_their_pools_go(server, runner):
    # Within the expiry the connection is reused; after it, every one is
    # closed though no further request comes, and every pool is dropped.
    server.wait_open(0)
    before = server.accepted
    urls = [server.url(0), server.url(0), server.url(1), server.url(2)]
    assert runner(server, urls, 0, keepalive_expiry=0.2) == ([], 0)
    assert server.accepted - before == 3


@pytest.mark.parametrize("runner", [run_async, run_sync], ids=["async", "sync"])
def test_a_pool_shared_through_a_proxy_goes_under_every_name(server, runner):
    # Plain requests through a proxy share one pool, held under the proxy's
    # name and each origin's: once quiet, it leaves the map under all of them.
    server.wait_open(0)
    before = server.accepted
    urls = [server.url(0), server.url(1)]
    proxy = f"http://127.0.0.1:{server.port}"
    assert runner(server, urls, 0, keepalive_expiry=0.2, proxy=proxy) == ([], 0)
    assert server.accepted - before == 1


@pytest.mark.parametrize("runner", [run_async, run_sync], ids=["async", "sync"])
def test_idle_bound_across_origins_closes_the_oldest(server, runner):
    server.wait_open(0)
    urls = [server.url(i) for i in range(5)]
    assert runner(server, urls, 2, max_keepalive_connections=2) == (["h3/", "h4/"], 2)
    assert server.wait_open(0) == 0  # and the rest close with the client


@pytest.fixture(scope="module")
def tls_server(tmp_path_factory):
    ca_file, ctx = localhost_tls(tmp_path_factory.mktemp("keepalive"))
    s = CountingServer(ctx)
    s.ca_file = ca_file
    yield s
    s.sock.close()


def test_tls_connections_expire_and_are_bounded(tls_server):
    # Two origins the certificate names, then two connections of one; the
    # bound keeps the one idle least long, the expiry then closes it too.
    async def go():
        async with tarnix.Client(verify=tls_server.ca_file, keepalive_expiry=0.5, max_keepalive_connections=1) as c:
            for host in ("127.0.0.1", "localhost"):
                assert (await c.get(tls_server.tls_url(host))).text == "ok"
            assert tls_server.wait_open(1) == 1
            kept = tls_server.hosts()
            url = tls_server.tls_url("localhost")
            # Both in flight at once, so on two connections.
            await asyncio.gather(c.get(url + "slow1"), c.get(url + "slow3"))
            assert tls_server.wait_open(1) == 1
            kept += tls_server.hosts()
            await asyncio.sleep(1.0)
            return kept, len(c._pools)

    port = tls_server.port
    assert asyncio.run(go()) == ([f"localhost:{port}/", f"localhost:{port}/slow3"], 0)
    assert tls_server.wait_open(0) == 0


def test_first_requests_parse_the_ca_file_once_and_leave_no_thread(tls_server):
    # Eight TLS requests at once on a new client: the CA file is parsed off
    # the loop once, by a thread that ends, not by one executor thread each.
    async def go():
        before = threading.active_count()
        async with tarnix.Client(verify=tls_server.ca_file) as c:
            url = tls_server.tls_url("localhost")
            rs = await asyncio.gather(*[c.get(url) for _ in range(8)])
            assert [r.text for r in rs] == ["ok"] * 8
        deadline = time.monotonic() + 10
        while threading.active_count() > before and time.monotonic() < deadline:
            await asyncio.sleep(0.02)
        return threading.active_count() - before

    assert asyncio.run(go()) == 0


def test_an_expired_connection_is_not_reused(server):
    # The client's sweep is made to miss: the engine itself refuses it.
    async def go():
        async with tarnix.Client(keepalive_expiry=0.05) as c:
            await c.get(server.url(7))
            c._stop_sweeping()
            await asyncio.sleep(0.2)
            assert len(server.open) == 1
            before = server.accepted
            await c.get(server.url(7))
            return server.accepted - before

    server.wait_open(0)
    assert asyncio.run(go()) == 1


def test_a_pool_with_a_request_in_line_is_kept(server):
    # The first request's connection closes, which empties the pool just as
    # its slot passes to the queued one: the pool must stay, so that a later
    # request reuses the second request's connection.
    async def go():
        async with tarnix.Client(max_connections=1) as c:
            await asyncio.gather(c.get(server.url(8) + "close"), c.get(server.url(8)))
            before = server.accepted
            await c.get(server.url(8))
            return server.accepted - before

    server.wait_open(0)
    assert asyncio.run(go()) == 0


def test_a_busy_pool_keeps_its_connections_beyond_the_bound(server):
    # Eight requests in flight at all times on one origin: each one's
    # connection is idle only until the next request takes it, so the bound
    # of one idle connection must not close any of them.
    async def go():
        async with tarnix.Client(max_keepalive_connections=1) as c:
            before = server.accepted

            async def worker():
                for _ in range(10):
                    await c.get(server.url(9))

            await asyncio.gather(*[worker() for _ in range(8)])
            opened = server.accepted - before
            return opened, server.wait_open(1)

    server.wait_open(0)
    opened, left = asyncio.run(go())
    # Fewer than eight when a request finished before the last one started.
    assert opened <= 8 and left == 1


@pytest.mark.parametrize(
    "options, error",
    [
        ({"keepalive_expiry": -1}, ValueError),
        ({"keepalive_expiry": float("nan")}, ValueError),
        ({"keepalive_expiry": "5"}, TypeError),
        ({"keepalive_expiry": True}, TypeError),
        ({"max_keepalive_connections": -1}, ValueError),
        ({"max_keepalive_connections": 2.0}, TypeError),
    ],
)
def test_bad_keepalive_options(options, error):
    for cls in (tarnix.Client, tarnix.SyncClient):
        with pytest.raises(error):
            cls(**options)


def test_engine_keepalive_functions_check_their_arguments():
    pool = _tarnix.pool_create("localhost", 80, False, 0, 1, 0, 0, "")
    for call, error in [
        (lambda: _tarnix.pool_keepalive(pool), TypeError),
        (lambda: _tarnix.pool_keepalive(pool, -0.5), ValueError),
        (lambda: _tarnix.pool_keepalive(pool, float("nan")), ValueError),
        (lambda: _tarnix.pool_keepalive(pool, "5"), TypeError),
        (lambda: _tarnix.pool_keepalive(object(), 5), ValueError),
        (lambda: _tarnix.pool_trim(pool), TypeError),
        (lambda: _tarnix.pool_trim(pool, 1.5), TypeError),
        (lambda: _tarnix.pool_trim(None, 1), ValueError),
    ]:
        with pytest.raises(error):
            call()
    _tarnix.pool_keepalive(pool, None)
    _tarnix.pool_keepalive(pool, 1e300)  # as good as never
    assert _tarnix.pool_trim(pool, -1) == (0, 0, 0.0)


def _rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_pools_naming_one_ca_file_share_its_parse(tmp_path):
    # Unshared, 300 pools would hold 300 parses of the file.
    pem = b""
    for i in range(120):
        (tmp_path / str(i)).mkdir()
        ca_file, _ = localhost_tls(tmp_path / str(i), ca_name=f"CA {i}")
        with open(ca_file, "rb") as f:
            pem += f.read()
    path = tmp_path / "bundle.pem"
    path.write_bytes(pem)
    first = _tarnix.pool_create("localhost", 443, True, 0, 1, 0, 0, str(path))
    start = _rss_kib()
    pools = [_tarnix.pool_create(f"h{i}.localhost", 443, True, 0, 1, 0, 0, str(path)) for i in range(300)]
    grown = _rss_kib() - start
    assert grown < 300 * len(pem) // 1024 // 10, grown
    del pools, first
