"""Downloads to disk: the body lands in the file decoded and whole, or
nothing is left at all; progress is readable while it runs."""

import asyncio
import fcntl
import os
import pty
import struct
import termios
import subprocess
import sys
import textwrap
import time
from urllib.parse import parse_qs, urlsplit

import pytest

import tarnix
from support.http_server import HTTPServer, RawServer, bomb
from support.server import read_head
from support.client import ENV

TEXT = b"hello, compressed world " * 50
PATTERN = bytes(range(256)) * 4096  # 1 MiB
# Skipped without their module, before a server handler needs it: a raw
# handler that fails takes the module's raw server down with it.
OPTIONAL_CODINGS = {"br": "brotli", "zstd": "zstandard"}


@pytest.fixture(scope="module")
def server():
    with HTTPServer() as s:
        yield s


def raw_behaviour(conn):
    """Bodies the threaded server cannot send: large, cut short, broken, stalled."""
    head = read_head(conn)
    target = head.split(b" ", 2)[1].decode()
    query = {k: v[0] for k, v in parse_qs(urlsplit(target).query).items()}
    path = urlsplit(target).path
    if path == "/big":
        size = int(query["size"])
        chunked = "chunked" in query
        framing = b"Transfer-Encoding: chunked" if chunked else b"Content-Length: %d" % size
        conn.sendall(b"HTTP/1.1 200 OK\r\n" + framing + b"\r\n\r\n")
        while size:
            piece = PATTERN[: min(size, len(PATTERN))]
            conn.sendall(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            size -= len(piece)
        if chunked:
            conn.sendall(b"0\r\nX-Trailer: yes\r\n\r\n")
    elif path == "/cut":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + PATTERN[:50000])
    elif path == "/badchunk":
        conn.sendall(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhelloXX\r\n0\r\n\r\n")
    elif path == "/zstd-cut":
        import zstandard

        body = zstandard.ZstdCompressor().compress(PATTERN)[:-4]  # a frame without its end
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Encoding: zstd\r\nContent-Length: %d\r\n\r\n" % len(body) + body)
    elif path == "/stall":
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello")
        conn.settimeout(10)
        conn.recv(1)  # until the client gives up and closes


@pytest.fixture(scope="module")
def raw():
    with RawServer(raw_behaviour) as s:
        yield s


def expected(coding):
    return bytes(3000) if coding == "chain" else TEXT


def fetch(entry, url, path, **kw):
    """One download through `entry`; returns the response (None for the CLI)."""
    if entry == "Client":

        async def go():
            async with tarnix.Client() as client:
                return await client.download(url, path, **kw)

        return asyncio.run(go())
    if entry == "SyncClient":
        with tarnix.SyncClient() as client:
            return client.download(url, path, **kw)
    if entry == "function":
        return tarnix.download(url, path, **kw)
    p = subprocess.run([sys.executable, "-m", "tarnix", "-L", "-o", str(path), url], capture_output=True, env=ENV,
                       timeout=60)
    # Not on a terminal: no progress bar, nothing printed.
    assert (p.returncode, p.stderr, p.stdout) == (0, b"", b"")
    return None


@pytest.mark.parametrize(
    "entry, coding",
    [
        ("Client", "gzip"), ("Client", "zstd"), ("Client", "redirect"),
        ("SyncClient", "deflate"), ("SyncClient", "br"), ("SyncClient", "redirect"),
        ("function", "raw-deflate"), ("function", "chain"),
        ("cli", "gzip"), ("cli", "redirect"),
    ],
)
def test_body_saved_decoded(server, tmp_path, entry, coding):
    if coding in OPTIONAL_CODINGS:
        pytest.importorskip(OPTIONAL_CODINGS[coding])
    url = f"{server.url}/encoded?coding={coding}"
    if coding == "chain":
        url = f"{server.url}/bomb?coding=chain&size=3000"
    elif coding == "redirect":
        # The redirect's own body goes to the file first; the next hop starts it over.
        url = f"{server.url}/redirect?to=/encoded%3Fcoding%3Dgzip"
    path = tmp_path / "out.bin"
    kw = {} if entry == "cli" else {"follow_redirects": True}
    r = fetch(entry, url, path, **kw)
    assert path.read_bytes() == expected(coding)
    assert os.listdir(tmp_path) == ["out.bin"]
    if r is not None:
        assert r.status_code == 200 and r.content == b""


def left_behind(directory, expect, timeout=5.0):
    # An abandoned request's thread removes its file once it notices.
    deadline = time.monotonic() + timeout
    while sorted(os.listdir(directory)) != expect and time.monotonic() < deadline:
        time.sleep(0.02)
    return sorted(os.listdir(directory))


@pytest.mark.parametrize("kind", ["Client", "SyncClient"])
@pytest.mark.parametrize(
    "where, error, options",
    [
        ("raw:/cut", tarnix.TransportError, {}),
        ("raw:/badchunk", tarnix.ProtocolError, {}),
        ("raw:/stall", tarnix.TimeoutError, {"timeout": 0.3}),
        ("raw:/big?size=3000000", tarnix.ProtocolError, {"max_response_size": 1000000}),
        ("/encoded?coding=broken", tarnix.DecodingError, {}),
        ("raw:/zstd-cut", tarnix.DecodingError, {}),
        ("/status/404", None, {}),
        ("/digest", None, {}),  # 401 with a body
    ],
)
def test_failure_leaves_nothing_and_spares_the_old_file(server, raw, tmp_path, kind, where, error, options):
    if "zstd" in where:
        pytest.importorskip("zstandard")
    base, path = (raw.url, where[4:]) if where.startswith("raw:") else (server.url, where)
    old = tmp_path / "keep.bin"
    old.write_bytes(b"the previous download")
    with pytest.raises(error) if error else _no_error():
        r = fetch(kind, base + path, old, **options)
        assert r.status_code in (401, 404) and r.content == b""
    assert left_behind(tmp_path, ["keep.bin"]) == ["keep.bin"]
    assert old.read_bytes() == b"the previous download"


class _no_error:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def test_cancelled_download_leaves_nothing(raw, tmp_path):
    async def go():
        async with tarnix.Client() as client:
            task = asyncio.ensure_future(client.download(raw.url + "/stall", tmp_path / "x"))
            await asyncio.sleep(0.2)
            assert [n for n in os.listdir(tmp_path) if n.endswith(".part")]
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

    asyncio.run(go())
    assert left_behind(tmp_path, []) == []


@pytest.mark.parametrize(
    "name, error",
    [("missing-dir/out", FileNotFoundError), (".", IsADirectoryError)],
)
def test_unusable_destination_fails_before_sending(server, tmp_path, name, error):
    with pytest.raises(error):
        tarnix.download(server.url + "/text", tmp_path / name)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("chunked", [False, True])
def test_progress_and_flat_memory(raw, tmp_path, chunked):
    """A body four times the memory allowance streams to disk, its progress
    read as it goes; peak memory barely moves."""
    size = 128 << 20
    script = textwrap.dedent(f"""
        import asyncio, resource, sys, tarnix
        url, path = sys.argv[1], sys.argv[2]
        async def main():
            async with tarnix.Client(timeout=120) as client:
                await client.download(url + "&size=1000", path)  # everything imported and warm
                before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
                progress = tarnix.DownloadProgress()
                task = asyncio.ensure_future(client.download(url + "&size={size}", path, progress=progress))
                seen = []
                while not task.done():
                    seen.append(progress.num_bytes_downloaded)
                    await asyncio.sleep(0.005)
                await task
                grew = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
                print(grew, progress.num_bytes_downloaded, progress.total, sorted(seen) == seen,
                      any(0 < n < {size} for n in seen))
        asyncio.run(main())
    """)
    url = raw.url + "/big?" + ("chunked=1" if chunked else "plain=1")
    p = subprocess.run([sys.executable, "-c", script, url, str(tmp_path / "big")], capture_output=True, env=ENV,
                       timeout=120)
    assert p.returncode == 0, p.stderr
    grew_kib, done, total, monotonic, partway = p.stdout.decode().split()
    assert int(grew_kib) < 32 * 1024
    assert int(done) == size and total == ("None" if chunked else str(size))
    assert monotonic == "True" and partway == "True"
    assert os.path.getsize(tmp_path / "big") == size


def test_cli_progress_bar_on_a_terminal_and_refused_status(server, raw, tmp_path):
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    os.set_blocking(master, False)
    try:
        p = subprocess.run([sys.executable, "-m", "tarnix", "-o", str(tmp_path / "big"), raw.url + "/big?size=3000000"],
                           stdout=subprocess.PIPE, stderr=slave, env=ENV, timeout=60)
        shown = b""
        try:
            while chunk := os.read(master, 65536):
                shown += chunk
        except (BlockingIOError, OSError):
            pass
    finally:
        os.close(slave)
        os.close(master)
    assert p.returncode == 0 and p.stdout == b""
    assert b"\r[" in shown and b"] 2.9 MiB / 2.9 MiB" in shown
    assert os.path.getsize(tmp_path / "big") == 3000000

    p = subprocess.run([sys.executable, "-m", "tarnix", "-o", str(tmp_path / "nf"), server.url + "/status/404"],
                       capture_output=True, env=ENV, timeout=60)
    assert p.returncode == 1 and b"HTTP 404: nothing saved" in p.stderr
    assert sorted(os.listdir(tmp_path)) == ["big"]


@pytest.mark.parametrize("target, timeout", [("/cut", 5.0), ("/badchunk", 5.0), ("/stall", 0.3)])
def test_engine_removes_the_file_of_a_failed_or_abandoned_job(raw, tmp_path, target, timeout):
    """The engine's own contract, beneath the clients (which remove the file too)."""
    from tarnix import _tarnix

    path = tmp_path / "body"
    path.write_bytes(b"")
    port = int(raw.url.rsplit(":", 1)[1])
    pool = _tarnix.pool_create("127.0.0.1", port, False, 0, 8, 0, 0, "")
    outcome = _tarnix.submit_wait(pool, 0, target, [], b"", timeout, None, _tarnix.download_new(str(path)))
    if outcome is not None:
        assert outcome[3] != 0  # failed
        assert not path.exists()  # gone before the failure was reported
    assert left_behind(tmp_path, []) == []


def test_cancelled_while_decoding_leaves_nothing(server, tmp_path):
    """Decoding runs in a worker thread that cannot be stopped: given up
    meanwhile, it must not put the file in place when it ends."""

    async def go():
        async with tarnix.Client() as client:
            progress = tarnix.DownloadProgress()
            url = server.url + "/bomb?coding=gzip&size=134217728"
            task = asyncio.ensure_future(client.download(url, tmp_path / "x", progress=progress))
            deadline = time.monotonic() + 30
            while not (progress.total and progress.num_bytes_downloaded == progress.total):
                assert time.monotonic() < deadline and not task.done()
                await asyncio.sleep(0.001)
            await asyncio.sleep(0.05)  # the body is in; decoding has begun
            assert not task.done()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

    asyncio.run(go())  # returns once the worker thread has ended
    assert os.listdir(tmp_path) == []
