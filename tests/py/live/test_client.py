"""tarnix.Client end to end, against servers on 127.0.0.1."""

import asyncio
import gc
import os
import time
import warnings

import pytest

import tarnix
import tarnix._decoders
from support.client import header, run
from support.http_server import HangingServer, HTTPServer, RawServer
from support.pki import localhost_tls
from support.server import closed_port, read_head


@pytest.fixture(scope="module")
def server():
    with HTTPServer() as s:
        yield s


async def echo(method="GET", url=None, client=None, **kwargs):
    async with (client or tarnix.Client()) as c:
        r = await c.request(method, url, **kwargs)
        is_json = r.headers.get("content-type") == "application/json"
        return r, (r.json() if is_json and r.content else None)


@pytest.mark.parametrize("method", list(tarnix.METHODS))
def test_each_method(server, method):
    r, doc = run(echo(method, server.url + "/echo"))
    assert r.status_code == 200
    assert r.http_version == "HTTP/1.1" and r.url == server.url + "/echo"
    if method == "HEAD":
        assert r.content == b"" and int(r.headers["content-length"]) > 0
    else:
        assert doc["method"] == method and doc["target"] == "/echo"


def test_shortcuts_and_lowercase_method(server):
    async def go():
        async with tarnix.Client() as c:
            calls = [c.get, c.post, c.put, c.patch, c.delete, c.options]
            seen = [(await f(server.url + "/echo")).json()["method"] for f in calls]
            seen.append((await c.request("post", server.url + "/echo")).json()["method"])
            return seen

    assert run(go()) == ["GET", "POST", "PUT", "PATCH", "DELETE", "OPTIONS", "POST"]


def test_params_are_merged_into_the_target(server):
    _, doc = run(echo(url=server.url + "/echo?a=1", params={"b": ["x y", 2], "c": True}))
    assert doc["target"] == "/echo?a=1&b=x+y&b=2&c=true"
    _, doc = run(echo(url=server.url + "/echo?q=é d#frag"))
    assert doc["target"] == "/echo?q=%C3%A9%20d"


def test_ipv6_literal():
    try:
        server = HTTPServer(host="[::1]")
    except OSError:
        pytest.skip("no IPv6 loopback")
    with server:
        r, doc = run(echo(url=server.url + "/echo"))
    assert r.url == server.url + "/echo" and header(doc, "host") == f"[::1]:{server.port}"


def test_json_in_and_out_and_text(server):
    r, doc = run(echo("POST", server.url + "/echo", json={"name": "tarnix", "n": [1, 2]}))
    assert header(doc, "content-type") == "application/json"
    assert doc["body"] == '{"name":"tarnix","n":[1,2]}'
    assert header(doc, "content-length") == str(len(doc["body"]))

    async def texts():
        async with tarnix.Client() as c:
            return [
                (await c.get(server.url + "/text?charset=latin-1")).text,
                (await c.get(server.url + "/text")).text,
            ]

    assert run(texts()) == ["café", "café"]


def test_headers_sent(server):
    client = tarnix.Client(headers={"X-Default": "d", "User-Agent": "mine/1.0"})
    _, doc = run(
        echo("POST", server.url.replace("//", "//user:p%40ss@") + "/echo", client=client,
             headers=[("x-default", "override"), ("X-Extra", "e")])
    )
    assert header(doc, "x-default") == "override"
    assert header(doc, "user-agent") == "mine/1.0"
    assert header(doc, "accept-encoding") == tarnix._decoders.ACCEPT_ENCODING
    assert header(doc, "content-length") == "0"  # empty POST still says so
    assert header(doc, "authorization") == "Basic dXNlcjpwQHNz"
    assert header(doc, "host") == f"127.0.0.1:{server.port}"


def test_bodies_to_a_url_seen_before_carry_their_length(server):
    # The second request to a URL skips the build step: what it sends must
    # not differ from what the first sent.
    async def go():
        async with tarnix.Client(headers={"Content-Type": "text/x-mine"}) as c:
            url = server.url + "/echo"
            seen = []
            for method, content in [("POST", b""), ("PUT", b""), ("PATCH", b"abc"), ("GET", b"xy")]:
                for _ in range(2):
                    r = await c.request(method, url, content=content)
                    doc = r.json()
                    assert r.request.content == content
                    seen.append((doc["method"], header(doc, "content-length"), doc["body"],
                                 header(doc, "content-type")))
            return seen

    seen = run(go())
    assert seen[0::2] == seen[1::2]
    assert seen[0::2] == [("POST", "0", "", "text/x-mine"), ("PUT", "0", "", "text/x-mine"),
                          ("PATCH", "3", "abc", "text/x-mine"), ("GET", "2", "xy", "text/x-mine")]


def test_response_headers_are_case_insensitive(server):
    r, _ = run(echo(url=server.url + "/headers"))
    assert r.headers["X-ONE"] == "1" and r.headers.get("content-TYPE") == "text/plain"
    # Names that differ only in case reach us as two entries.
    assert r.headers["x-dup"] == "a, b"
    assert "X-One" in list(r.headers) and "missing" not in r.headers


def test_codings_and_cookies_are_seen_in_any_letter_case_on_every_response():
    # The client remembers the names it may ignore: a name it acts on must
    # be acted on every time it comes, whatever names came before.
    import gzip

    packed = gzip.compress(b"unpacked")
    replies = {
        "/plain": [("X-Plain", "1"), ("Server", "raw")],
        "/g1": [("Server", "raw"), ("Content-Encoding", "gzip")],
        "/g2": [("X-Plain", "1"), ("content-ENCODING", "gzip")],
        "/c1": [("Server", "raw"), ("Set-Cookie", "one=1")],
        "/c2": [("X-Plain", "1"), ("SET-cookie", "two=2")],
    }

    def serve(conn):
        path = read_head(conn).split(b" ")[1].decode()
        body = packed if path.startswith("/g") else b"unpacked"
        head = "".join(f"{k}: {v}\r\n" for k, v in replies[path])
        conn.sendall(f"HTTP/1.1 200 OK\r\n{head}Content-Length: {len(body)}\r\n"
                     f"Connection: close\r\n\r\n".encode() + body)

    async def go(url):
        async with tarnix.Client() as c:
            bodies = []
            for path in ["/plain", "/g1", "/plain", "/g2", "/g1", "/c1", "/plain", "/c2"]:
                bodies.append((await c.get(url + path)).content)
            return bodies, dict(c.cookies)

    with RawServer(serve) as s:
        bodies, cookies = run(go(s.url))
    assert bodies == [b"unpacked"] * 8
    assert cookies == {"one": "1", "two": "2"}


@pytest.mark.parametrize("coding", ["gzip", "deflate", "raw-deflate"])
def test_compressed_bodies_are_decoded(server, coding):
    r, _ = run(echo(url=server.url + "/encoded?coding=" + coding))
    assert r.content == b"hello, compressed world " * 50


def test_undecodable_body(server):
    with pytest.raises(tarnix.DecodingError, match="gzip"):
        run(echo(url=server.url + "/encoded?coding=broken"))


def test_redirects(server):
    to = lambda path, code=302: f"{server.url}/redirect?code={code}&to={path}"  # noqa: E731

    async def go():
        async with tarnix.Client() as c:
            plain = await c.get(to("/echo"))
            assert plain.status_code == 302 and plain.history == []
            r = await c.get(to("/echo"), follow_redirects=True)
            assert r.status_code == 200 and [h.status_code for h in r.history] == [302]
            assert r.url == server.url + "/echo"
            # 303, and 301/302 after POST: become GET without the body.
            for code in (301, 302, 303):
                r = await c.post(to("/echo", code), content=b"data", follow_redirects=True)
                doc = r.json()
                assert (doc["method"], doc["body"], header(doc, "content-length")) == ("GET", "", None)
            # 307 and 308 repeat the method and body.
            for code in (307, 308):
                r = await c.put(to("/echo", code), content=b"data", follow_redirects=True)
                assert (r.json()["method"], r.json()["body"]) == ("PUT", "data")
        async with tarnix.Client(follow_redirects=True, max_redirects=3) as c:
            with pytest.raises(tarnix.TooManyRedirects):
                await c.get(server.url + "/loop")
            with pytest.raises(tarnix.RedirectError):
                await c.get(to("ftp://127.0.0.1/"))

    run(go())


def test_cross_origin_redirect_drops_credentials(server):
    with HTTPServer() as other:
        async def go():
            async with tarnix.Client(follow_redirects=True) as c:
                url = f"{server.url}/redirect?to={other.url}/echo"
                r = await c.get(url, headers={"Authorization": "secret", "X-Keep": "1"})
                return r.json()

        doc = run(go())
    assert header(doc, "authorization") is None and header(doc, "x-keep") == "1"


def test_timeout_drops_the_late_result(server):
    async def go():
        async with tarnix.Client(timeout=5) as c:
            with pytest.raises(tarnix.TimeoutError):
                await c.get(server.url + "/slow?delay=0.6", timeout=0.2)
            # The late answer arrives while we wait; it must vanish quietly.
            await asyncio.sleep(0.8)
            return (await c.get(server.url + "/echo")).status_code

    assert run(go()) == 200


def test_late_result_after_the_loop_has_closed(server, capfd):
    async def go():
        async with tarnix.Client(timeout=0.1) as c:
            with pytest.raises(tarnix.TimeoutError):
                await c.get(server.url + "/slow?delay=0.3")

    run(go())
    time.sleep(0.5)  # the answer arrives for a loop that no longer runs
    gc.collect()
    assert capfd.readouterr().err == ""


def test_closing_with_a_request_still_running(server):
    # The abandoned request keeps its pool alive after the client is gone.
    async def go():
        c = tarnix.Client(timeout=0.1)
        with pytest.raises(tarnix.TimeoutError):
            await c.get(server.url + "/slow?delay=0.4")
        await c.aclose()
        with pytest.raises(RuntimeError):
            await c.get(server.url + "/echo")
        del c
        gc.collect()
        await asyncio.sleep(0.6)

    run(go())


def test_errors_from_real_failures(server):
    def reset(conn):
        read_head(conn)

    def garbage(conn):
        read_head(conn)
        conn.sendall(b"HELLO\r\n\r\n")

    async def fails(url):
        async with tarnix.Client(timeout=10) as c:
            with pytest.raises(tarnix.Error) as info:
                await c.get(url)
            return info.value

    err = run(fails(f"http://127.0.0.1:{closed_port()}/"))
    assert type(err) is tarnix.ConnectError and str(err) == "connection failed"
    err = run(fails("http://bad_host.localhost/"))
    assert type(err) is tarnix.ConnectError and str(err) == "failed to resolve host"
    with RawServer(reset) as s:
        err = run(fails(s.url))
    assert type(err) is tarnix.TransportError
    assert str(err) == "connection reset while reading response"
    with RawServer(garbage) as s:
        err = run(fails(s.url))
    assert type(err) is tarnix.ProtocolError and str(err).startswith("malformed HTTP response")
    # TLS spoken to a plain HTTP server.
    err = run(fails(server.url.replace("http:", "https:")))
    assert type(err) is tarnix.TLSError

    r, _ = run(echo(url=server.url + "/status/404"))
    with pytest.raises(tarnix.HTTPStatusError, match="404 Not Found") as info:
        r.raise_for_status()
    assert info.value.response is r
    assert run(echo(url=server.url + "/status/204"))[0].raise_for_status().status_code == 204


@pytest.fixture(scope="module")
def tls_server(tmp_path_factory):
    ca_file, ctx = localhost_tls(tmp_path_factory.mktemp("tls"))
    with HTTPServer(ctx, host="localhost") as s:
        s.ca_file = ca_file

        async def probe():
            async with tarnix.Client(verify=ca_file) as c:
                await c.get(s.url + "/echo")

        try:
            run(probe())
        except tarnix.TLSError as exc:
            if os.environ.get("TARNIX_REQUIRE_TLS"):
                raise
            pytest.skip(f"the engine's TLS connections are not available: {exc}")
        yield s


def test_tls_request(tls_server):
    r, doc = run(echo("POST", tls_server.url + "/echo", client=tarnix.Client(verify=tls_server.ca_file), json=[1]))
    assert r.status_code == 200 and doc["body"] == "[1]"
    assert header(doc, "host") == f"localhost:{tls_server.port}"


def test_tls_rejects_an_unknown_ca(tls_server, tmp_path):
    other_ca, _ = localhost_tls(tmp_path, ca_name="someone else")
    with pytest.raises(tarnix.TLSError):
        run(echo(url=tls_server.url + "/echo", client=tarnix.Client(verify=other_ca)))


def test_verify_options(tmp_path):
    with pytest.raises(FileNotFoundError):
        tarnix.Client(verify=str(tmp_path / "missing.pem"))
    with pytest.raises(ValueError):
        tarnix.Client(verify=False)
    broken = tmp_path / "broken.pem"
    broken.write_text("-----BEGIN CERTIFICATE-----\nnot base64!\n")
    with pytest.raises(tarnix.TLSError, match="cannot load the CA file"):
        run(echo(url=f"https://127.0.0.1:{closed_port()}/", client=tarnix.Client(verify=broken)))


def test_requests_beyond_the_connection_limit_queue(server):
    async def go():
        async with tarnix.Client(max_connections=2, timeout=5) as c:
            # One waits out its time in the queue behind two slow requests.
            slow = [asyncio.ensure_future(c.get(server.url + "/slow?delay=0.4")) for _ in range(2)]
            await asyncio.sleep(0.05)
            with pytest.raises(tarnix.TimeoutError):
                await c.get(server.url + "/echo", timeout=0.1)
            queued = [asyncio.ensure_future(c.get(server.url + "/echo")) for _ in range(20)]
            await asyncio.sleep(0)
            for task in queued[::3]:
                task.cancel()
            results = await asyncio.gather(*slow, *queued, return_exceptions=True)
            cancelled = sum(isinstance(r, asyncio.CancelledError) for r in results)
            return cancelled, [r.status_code for r in results if isinstance(r, tarnix.Response)]

    assert run(go()) == (7, [200] * 15)


def test_timeout_covers_the_queue_and_then_the_exchange(server):
    async def go():
        async with tarnix.Client(max_connections=1) as c:
            first = asyncio.ensure_future(c.get(server.url + "/slow?delay=0.2"))
            await asyncio.sleep(0.02)
            # Gets the slot after about 0.2 s, then runs out of time while
            # its own slow response is still coming.
            with pytest.raises(tarnix.TimeoutError):
                await c.get(server.url + "/slow?delay=1.0", timeout=0.5)
            return (await first).status_code

    assert run(go()) == 200


def test_abandoned_requests_never_hold_up_their_origin():
    server = HangingServer()

    async def go():
        async with tarnix.Client(timeout=0.5, max_connections=2) as c:
            for _ in range(2):
                with pytest.raises(tarnix.TimeoutError):
                    await c.get(server.url + "/hang")
            hung = asyncio.ensure_future(c.get(server.url + "/hang", timeout=None))
            await asyncio.sleep(0.1)
            hung.cancel()
            # Both slots were freed although three engine threads still
            # wait for the server: the next request goes out at once, on a
            # connection of its own.
            r = await c.get(server.url + "/ok")
            assert r.status_code == 200 and server.accepted == 4
            # Nothing spins while the abandoned requests wait.
            cpu = time.process_time()
            await asyncio.sleep(0.5)
            return time.process_time() - cpu

    try:
        assert run(go()) < 0.2
    finally:
        server.close()


def test_requests_under_the_client_time_limit_each_expire_on_time():
    server = HangingServer()

    async def hang(c, **kw):
        start = time.monotonic()
        with pytest.raises(tarnix.TimeoutError) as err:
            await asyncio.wait_for(c.get(server.url + "/hang", **kw), 5)
        return time.monotonic() - start, str(err.value)

    async def go():
        async with tarnix.Client(timeout=0.3, max_connections=8) as c:
            # The first request's deadline is the one the shared timer waits
            # for; it ends at once, and the next must still expire on time.
            assert (await c.get(server.url + "/ok")).status_code == 200
            await asyncio.sleep(0.1)
            first = await hang(c)
            # A longer limit of one request must not hold back the shorter
            # default limit of those that start after it.
            longer = asyncio.ensure_future(hang(c, timeout=1.5))
            await asyncio.sleep(0.05)
            second = await hang(c)
            third = await longer
            return first, second, third

    try:
        first, second, third = run(go())
    finally:
        server.close()
    assert 0.25 < first[0] < 1.0 and first[1] == "timed out after 0.3 seconds"
    assert 0.25 < second[0] < 1.0
    assert 1.4 < third[0] < 3.0 and third[1] == "timed out after 1.5 seconds"


def test_a_client_runs_on_the_loop_running_it_and_no_other(server):
    import threading

    c = tarnix.Client()
    assert run(c.get(server.url + "/echo")).status_code == 200
    # A later loop in the same thread takes over once the first has ended.
    assert run(c.get(server.url + "/echo")).status_code == 200

    async def from_another_thread():
        outcome = []

        def other():
            try:
                asyncio.run(c.get(server.url + "/echo"))
            except RuntimeError as exc:
                outcome.append(str(exc))

        thread = threading.Thread(target=other)
        thread.start()
        while thread.is_alive():
            await asyncio.sleep(0.01)
        return outcome

    async def in_a_forked_child():
        await c.get(server.url + "/echo")
        with warnings.catch_warnings():
            # Forking beside the test server's threads is the point; 3.15
            # raises the warning about it from fork() where warnings are errors.
            warnings.simplefilter("ignore", DeprecationWarning)
            pid = os.fork()
        if pid == 0:
            # The parent's loop was copied but does not run here.
            code = 3
            try:
                await c.get(server.url + "/echo")
            except RuntimeError:
                code = 0
            os._exit(code)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            await asyncio.sleep(0.01)
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        return "hung"

    async def both():
        await c.get(server.url + "/echo")
        return await from_another_thread(), await in_a_forked_child()

    assert run(both()) == (["this Client is in use by another event loop"], 0)


def test_a_slot_handed_to_a_request_cancelled_meanwhile_passes_on(server):
    tasks = {}

    def on_response(response):
        # Runs after the slow request has handed its slot to the queued one
        # and before that one wakes up.
        if "/slow" in response.url and "queued" in tasks:
            tasks["queued"].cancel()

    async def go():
        async with tarnix.Client(max_connections=1, event_hooks={"response": [on_response]}) as c:
            first = asyncio.ensure_future(c.get(server.url + "/slow?delay=0.2"))
            await asyncio.sleep(0.05)
            tasks["queued"] = asyncio.ensure_future(c.get(server.url + "/echo"))
            results = await asyncio.gather(first, tasks["queued"], return_exceptions=True)
            assert isinstance(results[1], asyncio.CancelledError)
            return (await asyncio.wait_for(c.get(server.url + "/echo"), 5)).status_code

    assert run(go()) == 200


@pytest.mark.parametrize("shift", [0.0, 1000.0])
def test_a_short_time_limit_after_a_longer_one_expires_on_time(shift):
    # shift: a loop whose clock is not time.monotonic's.
    class ShiftedLoop(asyncio.SelectorEventLoop):
        def time(self):
            return super().time() + shift

    async def go():
        async with tarnix.Client(timeout=5) as c:
            ok = (await c.get(server_url + "/echo")).status_code
            started = time.monotonic()
            with pytest.raises(tarnix.TimeoutError):
                await c.get(server_url + "/slow?delay=1.0", timeout=0.2)
            return ok, time.monotonic() - started

    with HTTPServer() as s:
        server_url = s.url
        loop = ShiftedLoop()
        try:
            status, waited = loop.run_until_complete(go())
        finally:
            loop.close()
    assert status == 200 and 0.15 < waited < 0.9
