import asyncio
import gc
import os
import socket
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import tarnix
import tarnix.core.http as core_http
from support.engine import GET, HEAD, POST, make_pool, request, start
from support.scripted import WAIT, ok, respond_with
from tarnix import _tarnix


def echo(req, conn):
    return ok(req.body or b"ok")


def outcome_of(response_bytes, serve, method=GET):
    server = serve(respond_with(lambda req, conn: response_bytes))
    return request(make_pool(server.port), method)


def assert_failed(out, kind, message):
    assert (out.status, out.headers, out.body, out.kind, out.message) == (0, {}, b"", kind, message)


# -- the success path ----------------------------------------------------------

def test_get_round_trip(serve):
    server = serve(respond_with(lambda req, conn: ok(b"hello", b"X-A: 1\r\n")))
    out = request(make_pool(server.port), GET, "/path?q=1", [("X-Req", "v"), ("X-Req", "")])
    assert out.settle is core_http._settle
    assert (out.status, out.body, out.kind, out.message) == (200, b"hello", 0, "")
    assert out.headers == {"X-A": "1", "Content-Length": "5"}
    [(_, req)] = server.requests
    assert req.head == (b"GET /path?q=1 HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: keep-alive\r\n"
                        b"X-Req: v\r\nX-Req: \r\nUser-Agent: tarnix/0.1" % server.port)


def test_post_body_and_range_reduced_port(serve):
    server = serve(respond_with(echo))
    # The port keeps its low 16 bits: 65536 + p reaches p.
    pool = _tarnix.pool_create("127.0.0.1", server.port + 65536, 0, 0, 4, 0, 0, "")
    out = request(pool, POST, "/submit", [("Content-Type", "text/plain")], b"abc")
    assert (out.status, out.body) == (200, b"abc")
    [(_, req)] = server.requests
    assert req.method == b"POST" and req.header(b"content-length") == b"3"


@pytest.mark.parametrize("size", [8000, 8192, 8 << 20])
def test_post_bodies_within_and_beyond_the_write_buffer(serve, size):
    server = serve(respond_with(echo))
    body = bytes(range(256)) * (size // 256) + b"t" * (size % 256)
    pool = make_pool(server.port, max_connections=1)
    for _ in range(2):  # on a new connection, then on the same one again
        out = request(pool, POST, "/submit", [], body)
        assert (out.status, out.body) == (200, body)
    assert len(server.requests) == 2


def test_asyncio_futures_get_responses_and_errors(serve):
    server = serve(respond_with(echo))
    refused = unused_port()

    async def main():
        loop = asyncio.get_running_loop()
        good, bad = loop.create_future(), loop.create_future()
        assert _tarnix.submit(make_pool(server.port), POST, "/", [], b"payload", None, None, good, loop) == 0
        _tarnix.submit(make_pool(refused), GET, "/", [], b"", None, None, bad, loop)
        response = await asyncio.wait_for(good, WAIT)
        with pytest.raises(tarnix.ConnectError) as exc:
            await asyncio.wait_for(bad, WAIT)
        return response, exc.value

    response, error = asyncio.run(main())
    assert (response.status, response.body, response.headers["Content-Length"]) == (200, b"payload", "7")
    assert str(error) == error.message == "connection failed"


def test_header_dict_rules(serve):
    # Repeated names keep every value: joined with ", ", cookies (whose
    # values hold commas) with a line feed.
    extra = (b"X-Dup: 1\r\nX-Dup: 2\r\nx-dup: 3\r\nX-Latin: \xe9\r\nX-\xe9: v\r\n"
             b"X-Utf8: \xc3\xa9\r\nX-Trail: a  \r\nSet-Cookie: a=1; Expires=Wed, 09 Jun 2100 10:18:14 GMT\r\n"
             b"Set-Cookie: b=2\r\n")
    out = outcome_of(ok(b"body", extra), serve)
    assert (out.status, out.body, out.kind) == (200, b"body", 0)
    assert out.headers == {"X-Dup": "1, 2", "x-dup": "3", "X-Utf8": "\u00e9", "X-Trail": "a  ",
                           "Set-Cookie": "a=1; Expires=Wed, 09 Jun 2100 10:18:14 GMT\nb=2",
                           "Content-Length": "4"}


def test_header_names_keep_their_own_bytes(serve):
    # Names near the ones most servers send, in two responses: each comes
    # back exactly as received, never as a neighbour's spelling.
    names = [b"Date", b"Dat", b"Datx", b"DATE", b"date", b"Content-Typf", b"Content-Type", b"content-Type",
             b"Set-Cookie", b"Set-Cookiex", b"Serve", b"S\xc3\xa9rver", b"Vary"]
    extra = b"".join(b"%s: v%d\r\n" % (name, i) for i, name in enumerate(names))
    expected = {name.decode(): f"v{i}" for i, name in enumerate(names)}
    expected["Content-Length"] = "2"
    for _ in range(2):
        out = outcome_of(ok(b"ok", extra), serve)
        assert out.headers == expected
    # Values under those names, changing from response to response.
    long = b"x" * 60
    for server, ctype, date in [(b"a", b"text/plain", b""), (b"b", b"text/plaim", long), (b"ab", b"text/html", long),
                                (b"ab", b"\xe9", long + b"y"), (b"b", b"text/html", b"")]:
        extra = b"Server: %s\r\nContent-Type: %s\r\nDate: %s\r\n" % (server, ctype, date)
        out = outcome_of(ok(b"ok", extra), serve)
        expected = {"Server": server.decode(), "Date": date.decode(), "Content-Length": "2"}
        if ctype != b"\xe9":  # not UTF-8: left out, as any other
            expected["Content-Type"] = ctype.decode()
        assert out.headers == expected


# -- connection reuse ----------------------------------------------------------

def test_keep_alive_reuses_one_connection(serve):
    server = serve(respond_with(echo))
    pool = make_pool(server.port)
    for i in range(3):
        assert request(pool, POST, "/", body=b"%d" % i).body == b"%d" % i
    assert server.accepted == 1
    assert [index for index, _ in server.requests] == [0, 0, 0]


def test_idle_connections_are_reused_last_in_first_out(serve):
    arrived = threading.Semaphore(0)
    gates = [threading.Event(), threading.Event()]

    def handler(conn):
        first = True
        while conn.read_request() is not None:
            if first and conn.index < 2:
                arrived.release()
                assert gates[conn.index].wait(WAIT)
            first = False
            conn.send(ok(b"conn%d" % conn.index))

    server = serve(handler)
    pool = make_pool(server.port, max_connections=2)
    pending = [start(pool), start(pool)]
    assert arrived.acquire(timeout=WAIT) and arrived.acquire(timeout=WAIT)
    # Connection 0 goes back to the pool first, connection 1 last.
    gates[0].set()
    deadline = time.monotonic() + WAIT
    while not any(p.event.is_set() for p in pending) and time.monotonic() < deadline:
        time.sleep(0.001)
    [finished_first] = [p for p in pending if p.event.is_set()]
    assert finished_first.outcome().body == b"conn0"
    gates[1].set()
    assert {p.outcome().body for p in pending} == {b"conn0", b"conn1"}
    assert request(pool).body == b"conn1"
    assert request(pool).body == b"conn1"
    assert server.accepted == 2


@pytest.mark.parametrize("limit, expected", [(2, 2), (0, 1)])
def test_connection_limit(serve, limit, expected):
    def respond(req, conn):
        time.sleep(0.02)  # keeps requests overlapping
        return ok()

    server = serve(respond_with(respond))
    pool = make_pool(server.port, max_connections=limit)
    pending = [start(pool) for _ in range(8)]
    assert all(p.outcome().status == 200 for p in pending)
    assert server.accepted == expected
    assert server.open_max <= expected


@pytest.mark.parametrize("response, reused", [
    (ok(), True),
    (b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", False),
    (b"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", False),
    (b"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 2\r\n\r\nok", True),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", True),
    (b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\nConnection: upgrade\r\n\r\n", False),
])
def test_connection_fate(serve, response, reused):
    def handler(conn):
        conn.read_request()
        conn.send(response)
        if not reused:
            conn.wait_closed()  # the client must be the one to close
            return
        while conn.read_request() is not None:
            conn.send(response)

    server = serve(handler)
    pool = make_pool(server.port)
    first, second = request(pool), request(pool)
    assert first.kind == second.kind == 0
    assert server.accepted == (1 if reused else 2)


def test_body_read_to_end_of_stream(serve):
    def handler(conn):
        conn.read_request()
        conn.send(b"HTTP/1.1 200 OK\r\nX: y\r\n\r\nuntil the end")
        conn.close()

    server = serve(handler)
    out = request(make_pool(server.port))
    assert (out.status, out.headers, out.body) == (200, {"X": "y"}, b"until the end")


# -- the single retry ----------------------------------------------------------

def test_stale_idle_connection_is_retried_once_on_a_new_one(serve):
    def handler(conn):
        req = conn.read_request()
        if conn.index == 0:
            conn.send(ok(b"first"))
            conn.close()  # the pool still holds it as idle
            return
        while req is not None:
            conn.send(ok(req.body))
            req = conn.read_request()

    server = serve(handler)
    pool = make_pool(server.port)
    assert request(pool).body == b"first"
    assert server.wait_idle_closed(1)
    out = request(pool, POST, "/again", body=b"posted")
    assert (out.kind, out.status, out.body) == (0, 200, b"posted")
    assert server.accepted == 2
    assert [(i, r.method, r.body) for i, r in server.requests] == [(0, b"GET", b""), (1, b"POST", b"posted")]


def two_idle_connections(serve, after_first):
    """A pool holding two idle connections (0 and 1) whose
    server runs after_first(conn) on them after the first answer; later
    connections echo."""
    both = threading.Barrier(2)

    def handler(conn):
        if conn.index < 2:
            conn.read_request()
            both.wait(WAIT)  # forces two connections
            conn.send(ok(b"%d" % conn.index))
            after_first(conn)
        else:
            respond_with(echo)(conn)

    server = serve(handler)
    pool = make_pool(server.port, max_connections=2)
    pending = [start(pool), start(pool)]
    assert all(p.outcome().status == 200 for p in pending)
    return server, pool


@pytest.mark.parametrize("half", [False, True])
def test_idle_connections_closed_by_the_server_are_never_written_to(serve, half):
    # A half-closed connection still reads, so a request written to it shows.
    ended = threading.Semaphore(0)

    def end(conn):
        if half:
            conn.sock.shutdown(socket.SHUT_WR)
            ended.release()
            conn.read_request()
        else:
            conn.close()
            ended.release()

    server, pool = two_idle_connections(serve, end)
    assert ended.acquire(timeout=WAIT) and ended.acquire(timeout=WAIT)
    time.sleep(0.05)  # lets the ends reach the idle sockets
    out = request(pool, POST, body=b"again")
    assert (out.kind, out.status, out.body) == (0, 200, b"again")
    assert server.accepted == 3
    assert sorted(i for i, _ in server.requests) == [0, 1, 2]


@pytest.mark.parametrize("then_close", [True, False])
def test_unsolicited_response_on_an_idle_connection_is_never_delivered(serve, then_close):
    idle, sent = threading.Event(), threading.Event()

    def handler(conn):
        req = conn.read_request()
        if conn.index == 0:
            conn.send(ok(b"first"))
            assert idle.wait(WAIT)  # the answer was taken; the connection sits in the pool
            conn.send(b"HTTP/1.1 408 Request Timeout\r\nContent-Length: 0\r\n\r\n")
            sent.set()
            if then_close:
                conn.close()
                return
        while req is not None:
            conn.send(ok(b"conn%d" % conn.index))
            req = conn.read_request()

    server = serve(handler)
    pool = make_pool(server.port)
    assert request(pool).body == b"first"
    idle.set()
    assert sent.wait(WAIT)
    time.sleep(0.05)  # lets the stray bytes reach the idle socket
    out = request(pool)
    assert (out.kind, out.status, out.body) == (0, 200, b"conn1")
    assert [i for i, _ in server.requests] == [0, 1]


def _read_then_fail(failure):
    def after_first(conn):
        if conn.read_request() is None:
            return
        # The request arrived; the answer never becomes a usable response.
        if failure in ANSWERS:
            conn.send(ANSWERS[failure][0])
            if failure == "cut":
                conn.close(reset=True)
            else:
                conn.wait_closed()
        else:
            conn.close(reset=failure == "reset")
    return after_first


# What a reused connection gives back before it fails, and the failure seen
# when the server answered.
ANSWERS = {
    "malformed": (b"HTTP/1.1 200 OK\r\nContent-Length: zz\r\n\r\n", 4, "malformed HTTP response framing"),
    "cut": (b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", 1, "connection reset while reading response"),
}


@pytest.mark.parametrize("failure", ["close", "reset", "malformed", "cut"])
def test_retry_after_a_failed_idle_connection_opens_a_new_one(serve, failure):
    # A reused connection that ends with no answer may have been closed while
    # idle: the request goes again, and not on the other idle connection,
    # which fails the same way. One that answered, however badly, has seen
    # the request, which is never sent twice.
    server, pool = two_idle_connections(serve, _read_then_fail(failure))
    out = request(pool, POST, body=b"again")
    again = sorted(i for i, r in server.requests if r.body == b"again")
    if failure in ANSWERS:
        assert_failed(out, *ANSWERS[failure][1:])
        assert server.accepted == 2 and len(again) == 1
        return
    assert (out.kind, out.status, out.body) == (0, 200, b"again")
    assert server.accepted == 3
    assert len(again) == 2 and again[0] in (0, 1) and again[1] == 2


def test_no_retry_on_a_fresh_connection(serve):
    def handler(conn):
        conn.read_request()
        conn.close()

    server = serve(handler)
    assert_failed(request(make_pool(server.port)), 1, "connection reset while reading response")
    assert server.accepted == 1
    assert len(server.requests) == 1


# -- failures ------------------------------------------------------------------

def unused_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_unresolvable_and_refused(serve):
    assert_failed(request(_tarnix.pool_create("bad host", 80, 0, 0, 1, 0, 0, "")), 1, "failed to resolve host")
    assert_failed(request(_tarnix.pool_create("", 80, 0, 0, 1, 0, 0, "")), 1, "failed to resolve host")
    assert_failed(request(make_pool(unused_port())), 1, "connection failed")


def test_send_failure(serve):
    def handler(conn):
        # Reset once the request has started to arrive, so that the failure
        # hits the send rather than the end of the connect.
        conn._fill()
        conn.close(reset=True)

    server = serve(handler)
    out = request(make_pool(server.port), POST, body=b"x" * (32 << 20))
    assert_failed(out, 1, "failed to send request")


EARLY_413 = b"HTTP/1.1 413 Payload Too Large\r\nContent-Length: 9\r\nConnection: close\r\n\r\ntoo large"


def answer_early(answer, ending):
    """Answers GETs; answers a POST after its head with `answer`, then ends
    the connection without reading the body, as servers with a size limit do."""

    def handler(conn):
        while True:
            while b"\r\n\r\n" not in conn.buf:
                if not conn._fill():
                    return
            if conn.buf.startswith(b"POST"):
                break
            conn.buf = conn.buf.partition(b"\r\n\r\n")[2]
            conn.send(ok(b"warm"))
        conn.send(answer)
        if ending == "graceful":
            conn.sock.shutdown(socket.SHUT_WR)
            time.sleep(0.2)  # then the close resets what we did not read
        conn.close(reset=ending == "reset")

    return handler


@pytest.mark.parametrize("ending", ["graceful", "reset"])
@pytest.mark.parametrize("reused", [False, True])
@pytest.mark.parametrize("answer, status, body", [
    (EARLY_413, 413, b"too large"),
    (b"HTTP/1.1 413 Payload", None, None),  # not a whole response: the send failure stands
], ids=["whole", "partial"])
def test_answer_before_the_body_was_sent(serve, ending, reused, answer, status, body):
    server = serve(answer_early(answer, ending))
    pool = make_pool(server.port)
    if reused:
        assert request(pool).body == b"warm"
    out = request(pool, POST, body=b"x" * (32 << 20))
    if status is None:
        assert_failed(out, 1, "failed to send request")
    else:
        assert (out.kind, out.status, out.body) == (0, status, body)
    # The server saw the request: it is never sent again.
    assert server.accepted == 1


@pytest.mark.parametrize("response", [
    b"HTTP/1.1 200 OK\r\nContent-Len",
    b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort",
    b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel",
])
def test_connection_reset_while_reading(serve, response):
    def handler(conn):
        conn.read_request()
        conn.send(response)
        conn.close()

    server = serve(handler)
    assert_failed(request(make_pool(server.port)), 1, "connection reset while reading response")


@pytest.mark.parametrize("response, message", [
    (b"HTTP/1.1 200 OK\r\nContent-Length: abc\r\n\r\n", "malformed HTTP response framing"),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "malformed HTTP response framing"),
    (b"HTTP/1.1 200 OK\r\nX: " + b"a" * 70000 + b"\r\n\r\n", "malformed HTTP response framing"),
    (b"HTTP/1.1 200 OK\r\nno colon here\r\nContent-Length: 0\r\n\r\n", "malformed HTTP response"),
    (b"HTTP/1.1 200 OK\r\nContent-Length: 2 \r\n\r\nok", "malformed HTTP response"),
    (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", "malformed HTTP response"),
    # A head ended by bare line feeds is not decoded from the body's CRLFs.
    (b"HTTP/1.1 200 OK\nContent-Length: 6\n\nab\r\n\r\n", "malformed HTTP response"),
])
def test_protocol_failures(serve, response, message):
    out = outcome_of(response, serve)
    assert_failed(out, 4, message)


# -- responses without a body, interim responses, chunked bodies -------------------

@pytest.mark.parametrize("method, head", [
    (HEAD, b"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n"),
    (GET, b"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n"),
    (GET, b"HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n"),
])
def test_responses_without_a_body(serve, method, head):
    server = serve(respond_with(lambda req, conn: head))
    pool = make_pool(server.port)
    for _ in range(2):
        out = request(pool, method)
        assert (out.kind, out.body) == (0, b"")
        assert out.status == int(head.split(b" ")[1])
    assert server.accepted == 1  # nothing was waited for, the connection is reused


def test_interim_responses_are_skipped(serve):
    response = (b"HTTP/1.1 100 Continue\r\n\r\n"
                b"HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n"
                + ok(b"final", b"X-Final: 1\r\n"))
    server = serve(respond_with(lambda req, conn: response))
    pool = make_pool(server.port)
    for _ in range(2):
        out = request(pool)
        assert (out.status, out.body) == (200, b"final")
        assert out.headers == {"X-Final": "1", "Content-Length": "5"}
    assert server.accepted == 1


def test_switching_protocols_has_no_body(serve):
    def handler(conn):
        conn.read_request()
        conn.send(b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\nnot a body")
        conn.wait_closed()

    server = serve(handler)
    out = request(make_pool(server.port))
    assert (out.status, out.headers, out.body) == (101, {"Upgrade": "x"}, b"")


def test_chunked_body(serve):
    response = (b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                b"5;ext=1\r\nhello\r\n 6 \r\n world\r\n0\r\nX-Trailer: t\r\n\r\n")
    out = outcome_of(response, serve)
    assert (out.status, out.body) == (200, b"hello world")
    assert out.headers == {"Transfer-Encoding": "chunked"}


# -- IPv6 --------------------------------------------------------------------------

def ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


@pytest.mark.skipif(not ipv6_loopback(), reason="no IPv6 loopback")
def test_ipv6_literal_host_is_bracketed(serve):
    server = serve(respond_with(echo), host="::1")
    out = request(make_pool(server.port, host="::1"))
    assert (out.kind, out.status) == (0, 200)
    [(_, req)] = server.requests
    assert req.header(b"host") == b"[::1]:%d" % server.port


# -- lifetimes ---------------------------------------------------------------------

def test_dropping_the_pool_while_a_request_runs(serve):
    release, client_closed = threading.Event(), threading.Event()

    def handler(conn):
        conn.read_request()
        assert release.wait(WAIT)
        conn.send(ok(b"still here"))
        conn.wait_closed()
        client_closed.set()

    server = serve(handler)
    pool = make_pool(server.port)
    pending = start(pool)
    del pool
    gc.collect()
    while not server.requests:
        time.sleep(0.005)
    release.set()
    out = pending.outcome()
    assert (out.status, out.body) == (200, b"still here")
    # The pool is freed once its last job lets go; freeing closes the idle connection.
    assert client_closed.wait(WAIT)


EXIT_SCRIPT = textwrap.dedent("""
    import asyncio, os, sys, threading, time
    from tarnix import _tarnix
    port, mode = int(sys.argv[1]), sys.argv[2]
    pool = _tarnix.pool_create("127.0.0.1", port, False, 0, 1000, 0, 0, "")
    entered = threading.Event()
    class SlowLoop:
        def call_soon_threadsafe(self, *args):
            entered.set()
            time.sleep(0.2)
            print("delivered", flush=True)
    if mode == "inside":
        # One delivery is still inside Python (GIL released) when exit begins.
        for _ in range(20):
            _tarnix.submit(pool, 0, "/", [], b"", None, None, object(), SlowLoop())
        entered.wait(10)
    elif mode == "fork":
        # A child forked while a delivery is inside Python must still exit.
        _tarnix.submit(pool, 0, "/", [], b"", None, None, object(), SlowLoop())
        entered.wait(10)
        pid = os.fork()
        if pid == 0:
            sys.exit(5)
        for _ in range(1000):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
            time.sleep(0.01)
        else:
            os.kill(pid, 9)
            _, status = os.waitpid(pid, 0)
            print("child hung", flush=True)
        print("child exit", os.waitstatus_to_exitcode(status), flush=True)
    else:
        # Outcomes keep arriving while the interpreter shuts down.
        async def main():
            loop = asyncio.get_running_loop()
            for _ in range(150):
                _tarnix.submit(pool, 0, "/", [], b"", None, None, loop.create_future(), loop)
            await asyncio.sleep(0.01)
        asyncio.run(main())
    sys.exit(7)
""")


@pytest.mark.parametrize("mode", ["inside", "arriving", "fork"])
def test_interpreter_exit_with_requests_in_flight(serve, mode):
    def handler(conn):
        if conn.read_request() is not None:
            time.sleep((conn.index % 60) / 1000)  # spreads the outcomes over the exit
            try:
                conn.send(ok())
            except OSError:
                pass
        conn.wait_closed()

    server = serve(handler)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(tarnix.__file__)))
    for _ in range(3):
        proc = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, str(server.port), mode],
                              capture_output=True, text=True, timeout=60, env=env)
        assert proc.returncode == 7, proc.stderr
        assert "Fatal" not in proc.stderr and "Traceback" not in proc.stderr
        if mode != "arriving":
            assert "delivered" in proc.stdout
        if mode == "fork":
            assert "child exit 5" in proc.stdout


def test_header_bytes_that_are_allowed_go_out_unchanged(serve):
    # Token punctuation in names; tabs, other control bytes and non-ASCII in
    # values (the clients refuse more; the engine guards the line structure).
    server = serve(respond_with(lambda req, conn: ok()))
    headers = [("!#$%&'*+-.^_`|~09azAZ", "v"), ("X-V", "a\tb\x01\x7f \u00e9")]
    outcome = request(make_pool(server.port), target="/p?q=1&r=%20", headers=headers)
    assert (outcome.status, outcome.kind) == (200, 0)
    head = server.requests[0][1].head
    assert head.startswith(b"GET /p?q=1&r=%20 HTTP/1.1\r\n")
    assert b"\r\n!#$%&'*+-.^_`|~09azAZ: v\r\nX-V: a\tb\x01\x7f \xc3\xa9\r\n" in head


MEMORY_SWEEP = r"""
import resource, sys, threading
from tarnix import _tarnix

port, body_len = int(sys.argv[1]), int(sys.argv[2])

class Loop:
    def __init__(self):
        self.event = threading.Event()
        self.calls = []
    def call_soon_threadsafe(self, settle, future, status, headers, body, kind, message):
        # Recorded before the waiter is told, or it may print before the
        # record; told even when recording fails for want of memory.
        try:
            self.calls.append((status, len(body), kind, message))
        finally:
            self.event.set()

def mapped():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

soft, hard = resource.getrlimit(resource.RLIMIT_AS)
# From too little for the capture, past the point where the body's bytes
# object cannot be made, to enough for everything (16 MiB: the thread's stack).
for extra in range(body_len * 3 // 4, body_len * 3, body_len // 16):
    pool = _tarnix.pool_create("127.0.0.1", port, False, 0, 4, 0, 0, "")
    loop = Loop()
    resource.setrlimit(resource.RLIMIT_AS, (mapped() + (16 << 20) + extra, hard))
    try:
        _tarnix.submit(pool, 0, "/", [], b"", None, None, None, loop)
        arrived = loop.event.wait(10)
    except (MemoryError, RuntimeError) as e:
        # No room for the request or its thread: refused at once, as clearly.
        arrived, loop.calls = "refused", str(e)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(arrived, loop.calls, flush=True)
    del pool
"""


def test_an_outcome_too_big_for_memory_arrives_as_a_failure(serve):
    body_len = 64 << 20
    body = b"x" * body_len

    def handler(conn):
        try:
            while conn.read_request() is not None:
                conn.send(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % body_len)
                conn.send(body)
        except OSError:
            pass  # the client gave up on the body for want of memory

    server = serve(handler)
    proc = subprocess.run([sys.executable, "-c", MEMORY_SWEEP, str(server.port), str(body_len)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    expected = {f"True [(0, 0, 1, 'out of memory reading response')]", f"True [(200, {body_len}, 0, '')]",
                "refused tarnix: failed to spawn I/O thread", "refused tarnix: out of memory building request"}
    assert lines and set(lines) <= expected, proc.stdout
    assert lines[-1] == f"True [(200, {body_len}, 0, '')]"
