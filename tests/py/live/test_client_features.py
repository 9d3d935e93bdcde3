"""Uploads, auth, cookies, hooks and the rest, through Client and SyncClient
alike, against servers on 127.0.0.1."""

import email
import email.policy
import io
import threading
import time

import pytest

import tarnix
from support.client import Session, header, run
from support.http_server import HangingServer, HTTPServer, RawServer
from support.server import closed_port, read_head


@pytest.fixture(scope="module")
def server():
    with HTTPServer() as s:
        yield s


def multipart(doc):
    """The parts of an echoed multipart body, parsed by the standard library."""
    head = f"Content-Type: {header(doc, 'content-type')}\r\n\r\n".encode()
    msg = email.message_from_bytes(head + doc["body"].encode("latin-1"), policy=email.policy.HTTP)
    return [
        (part.get_param("name", header="content-disposition"), part.get_filename(),
         part.get_content_type(), part.get_payload(decode=True))
        for part in msg.iter_parts()
    ]


def test_form_and_multipart_bodies(server, kind):
    s = Session(kind)
    doc = s.post(server.url + "/echo", data={"a": "x y", "b": ["1", 2], "c": True}).json()
    assert header(doc, "content-type") == "application/x-www-form-urlencoded"
    assert doc["body"] == "a=x+y&b=1&b=2&c=true"

    upload = io.BytesIO(b"file object bytes")
    upload.name = "/some/dir/report.csv"
    files = {
        "raw": b"\x00\xffbinary",
        "obj": upload,
        "tuple": ("a\"b\r\n.txt", "text content"),
        "typed": ("img.bin", b"PNG", "image/png"),
    }
    r = s.post(server.url + "/echo", data={"field": ["v1", "v2"]}, files=files)
    parts = multipart(r.json())
    assert parts == [
        ("field", None, "text/plain", b"v1"),
        ("field", None, "text/plain", b"v2"),
        ("raw", "upload", "application/octet-stream", b"\x00\xffbinary"),
        ("obj", "report.csv", "text/csv", b"file object bytes"),
        # A quote or line break in a name cannot end the header early.
        ("tuple", "a%22b%0D%0A.txt", "text/plain", b"text content"),
        ("typed", "img.bin", "image/png", b"PNG"),
    ]
    # A fresh random boundary for every body.
    again = s.post(server.url + "/echo", files={"f": b"x"}).json()
    assert header(again, "content-type") != header(r.json(), "content-type")


def test_iterable_content_and_body_argument_errors(server, kind):
    s = Session(kind)
    doc = s.post(server.url + "/echo", content=iter([b"ab", bytearray(b"cd")])).json()
    assert (doc["body"], header(doc, "content-length")) == ("abcd", "4")
    if kind == "async":
        async def chunks():
            yield b"as"
            yield b"ync"

        assert s.post(server.url + "/echo", content=chunks()).json()["body"] == "async"
    else:
        async def never():
            yield b""

        with pytest.raises(TypeError, match="async"):
            s.post(server.url + "/echo", content=never())
    with pytest.raises(ValueError, match="only one of"):
        s.post(server.url + "/echo", content=b"x", json={})
    with pytest.raises(ValueError, match="only one of"):
        s.post(server.url + "/echo", data={"a": "1"}, json={})
    with pytest.raises(TypeError, match="content="):
        s.post(server.url + "/echo", data=b"raw")
    with pytest.raises(TypeError, match="yield bytes"):
        s.post(server.url + "/echo", content=["text"])
    with pytest.raises(TypeError):
        s.post(server.url + "/echo", files={"f": 42})


def test_sync_client_shared_between_threads(server):
    results, errors = [], []
    with tarnix.SyncClient(max_connections=3) as client:
        def work(n):
            try:
                for i in range(10):
                    r = client.post(server.url + "/echo", json={"n": n, "i": i})
                    results.append((r.json()["body"], f'{{"n":{n},"i":{i}}}'))
            except Exception as exc:  # noqa: BLE001 - reported below
                errors.append(exc)

        threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
    assert errors == [] and len(results) == 60
    assert all(got == sent for got, sent in results)
    with pytest.raises(RuntimeError, match="closed"):
        client.get(server.url + "/echo")


def test_blocking_module_functions_and_failures(server):
    assert tarnix.get(server.url + "/echo", params={"q": 1}).json()["target"] == "/echo?q=1"
    assert tarnix.post(server.url + "/echo", data={"k": "v"}).json()["body"] == "k=v"
    assert tarnix.head(server.url + "/echo").content == b""
    for func in (tarnix.put, tarnix.patch, tarnix.delete, tarnix.options):
        assert func(server.url + "/echo").json()["method"] == func.__name__.upper()
    with pytest.raises(tarnix.TimeoutError) as caught:
        tarnix.get(server.url + "/slow?delay=0.5", timeout=0.1)
    assert isinstance(caught.value, TimeoutError)
    with pytest.raises(ConnectionError) as refused:
        tarnix.get(f"http://127.0.0.1:{closed_port()}/")
    assert isinstance(refused.value, tarnix.ConnectError)
    # A request that failed with the time limit leaves the client usable.
    with tarnix.SyncClient(timeout=0.2, max_connections=1) as c:
        with pytest.raises(tarnix.TimeoutError):
            c.get(server.url + "/slow?delay=0.5")
        assert c.get(server.url + "/echo", timeout=5).status_code == 200


def test_basic_and_callable_auth(server, kind):
    def sign(request):
        request.headers["X-Signed"] = request.method + " " + request.url.target
        return request

    s = Session(kind, auth=("user", "pässword"))
    doc = s.get(server.url + "/echo").json()
    assert header(doc, "authorization") == "Basic dXNlcjpww6Rzc3dvcmQ="
    doc = s.get(server.url + "/echo", auth=tarnix.BasicAuth("a", "b")).json()
    assert header(doc, "authorization") == "Basic YTpi"
    doc = s.get(server.url + "/echo?x=1", auth=sign).json()
    assert header(doc, "x-signed") == "GET /echo?x=1" and header(doc, "authorization") is None
    assert header(s.get(server.url + "/echo", auth=None).json(), "authorization") is None
    with pytest.raises(ValueError, match="CR, LF"):
        s.get(server.url + "/echo", auth=lambda r: r.headers.update({"X-Bad": "a\r\nb"}) or r)


@pytest.mark.parametrize("challenge", ["algorithm=MD5", "algorithm=SHA-256", "algorithm=MD5-sess", "qop=none"])
def test_digest_auth_round_trip(server, kind, challenge):
    s = Session(kind, auth=tarnix.DigestAuth("u", "pw"))
    url = f"{server.url}/digest?{challenge}"
    r = s.post(url, content=b"body")
    assert (r.status_code, r.text) == (200, "ok 00000001" if "qop" not in challenge else "ok -")
    assert [h.status_code for h in r.history] == [401]
    assert r.request.headers["authorization"].startswith("Digest ")
    # The challenge is kept: the next request answers it at once.
    r = s.get(url)
    assert r.status_code == 200 and r.history == []
    # Wrong credentials: one retry, then the 401 comes back.
    r = s.get(url, auth=tarnix.DigestAuth("u", "wrong"))
    assert r.status_code == 401 and len(r.history) == 1


def test_cookie_jar(server, kind):
    s = Session(kind, cookies={"client": "c1"})
    assert s.get(server.url + "/cookie").text == "client=c1"
    s.get(server.url + "/cookie?set=sid%3Dabc%3B%20Path%3D%2F")
    s.get(server.url + "/cookie?set=scoped%3D1%3B%20Path%3D%2Fother")
    s.get(server.url + "/cookie?set=tls%3D1%3B%20Secure")
    assert s.client.cookies["sid"] == "abc"
    # Several cookies in one response all reach the jar, commas and all.
    r = s.get(server.url + "/cookie?set=a%3D1%3B%20Path%3D%2Fx%3B%20Expires%3DWed%2C%2009%20Jun%202100%2010%3A18%3A14%20GMT"
              "&set=b%3D2%3B%20Path%3D%2Fx")
    assert r.headers.get_list("set-cookie") == ["a=1; Path=/x; Expires=Wed, 09 Jun 2100 10:18:14 GMT", "b=2; Path=/x"]
    assert [v for k, v in r.headers.multi_items() if k.lower() == "set-cookie"] == r.headers.get_list("Set-Cookie")
    assert (s.client.cookies["a"], s.client.cookies["b"]) == ("1", "2")
    s.client.cookies.delete("a")
    s.client.cookies.delete("b")
    sent = s.get(server.url + "/cookie", cookies={"once": "1"}).text
    assert sorted(sent.split("; ")) == ["client=c1", "once=1", "sid=abc"]  # not scoped, not tls
    # An expiry in the past removes the cookie.
    s.get(server.url + "/cookie?set=sid%3Dx%3B%20Max-Age%3D0")
    assert "sid" not in s.client.cookies and s.get(server.url + "/cookie").text == "client=c1"
    # A cookie with a control byte never enters the jar to spoil what follows.
    s.get(server.url + "/cookie?set=bad%3Db%01c")
    assert "bad" not in s.client.cookies and s.get(server.url + "/cookie").text == "client=c1"
    # Host-only cookies stay with their host: 127.0.0.1's are not sent to localhost.
    localhost = server.url.replace("127.0.0.1", "localhost")
    s.get(server.url + "/cookie?set=host%3D1")
    assert s.get(localhost + "/cookie").text == "client=c1"


def test_a_jar_of_its_own_making_is_asked_for_its_cookies(server, kind):
    # A CookieJar subclass need not keep its cookies where the standard jar does.
    from http.cookiejar import CookieJar

    class Fixed(CookieJar):
        def __init__(self):
            pass

        def __len__(self):
            return 1

        def add_cookie_header(self, request):
            request.add_unredirected_header("Cookie", "fixed=1")

    s = Session(kind, cookies=Fixed())
    assert s.get(server.url + "/cookie").text == "fixed=1"


def test_cookies_across_redirects(server, kind):
    with HTTPServer() as other:
        s = Session(kind, follow_redirects=True)
        # Set on the redirect itself, sent to its target on the same host.
        r = s.get(f"{server.url}/cookie?set=hop%3D1&to=/cookie")
        assert r.text == "hop=1" and r.history[0].status_code == 302
        # A request's own cookies do not follow it to another origin.
        other_url = other.url.replace("127.0.0.1", "localhost")
        r = s.get(f"{server.url}/redirect?to={other_url}/cookie", cookies={"mine": "1"})
        assert r.text == ""


def test_event_hooks(server, kind):
    seen = []

    def on_request(request):
        request.headers["X-Hooked"] = "1"
        seen.append(("request", request.method, str(request.url)))

    async def on_response_async(response):
        seen.append(("async", response.status_code))

    def on_response(response):
        seen.append(("response", response.status_code, response.request.method))
        response.raise_for_status()

    async def on_request_async(request):
        request.headers["X-Async"] = "1"

    hooks = {"request": [on_request], "response": [on_response]}
    if kind == "async":
        hooks["request"].append(on_request_async)
        hooks["response"].insert(0, on_response_async)
    s = Session(kind, event_hooks=hooks, follow_redirects=True)
    r = s.get(f"{server.url}/redirect?to=/echo")
    assert header(r.json(), "x-hooked") == "1"
    assert header(r.json(), "x-async") == ("1" if kind == "async" else None)
    expected = [("request", "GET", f"{server.url}/redirect?to=/echo"), ("response", 302, "GET"),
                ("request", "GET", f"{server.url}/echo"), ("response", 200, "GET")]
    if kind == "async":
        expected.insert(1, ("async", 302))
        expected.insert(4, ("async", 200))
    assert seen == expected
    with pytest.raises(tarnix.HTTPStatusError) as caught:
        s.get(server.url + "/status/404")
    assert caught.value.response.status_code == 404
    if kind == "sync":
        with pytest.raises(TypeError, match="plain callables"):
            tarnix.get(server.url + "/echo", auth=None) and Session(
                "sync", event_hooks={"request": [on_response_async]}).get(server.url + "/echo")


def test_base_url(server, kind):
    s = Session(kind, base_url=server.url, params={"k": "v"})
    assert s.get("/echo").json()["target"] == "/echo?k=v"
    s.client.base_url = server.url + "/status"
    assert s.get("404").status_code == 404 and s.get("/200").status_code == 200
    assert s.get(server.url + "/echo").status_code == 200  # absolute URLs are used as given


@pytest.mark.parametrize("coding", ["br", "zstd"])
def test_brotli_and_zstandard(server, kind, coding):
    pytest.importorskip({"br": "brotli", "zstd": "zstandard"}[coding])
    s = Session(kind)
    assert coding in header(s.get(server.url + "/echo").json(), "accept-encoding")
    r = s.get(server.url + "/encoded?coding=" + coding)
    assert r.content == b"hello, compressed world " * 50 and r.headers["content-encoding"] == coding


@pytest.mark.parametrize("coding", ["gzip", "deflate", "br", "zstd", "chain"])
def test_decompression_bombs_stop_at_the_limit(server, kind, coding):
    if coding in ("br", "zstd"):
        pytest.importorskip({"br": "brotli", "zstd": "zstandard"}[coding])
    s = Session(kind, max_decoded_size=1 << 20)
    assert len(s.get(f"{server.url}/bomb?coding={coding}&size={1 << 20}").content) == 1 << 20
    with pytest.raises(tarnix.DecodingError, match="max_decoded_size"):
        s.get(f"{server.url}/bomb?coding={coding}&size={(1 << 20) + 1}")
    # The default limit.
    limit = tarnix.DEFAULT_MAX_DECODED_SIZE
    with pytest.raises(tarnix.DecodingError):
        Session(kind).get(f"{server.url}/bomb?coding={coding}&size={limit + 1}")


def test_redirect_rules_are_shared(server, kind):
    with HTTPServer() as other:
        s = Session(kind, follow_redirects=True, auth=("user", "pw"))
        r = s.post(f"{server.url}/redirect?code=303&to=/echo", content=b"data")
        doc = r.json()
        assert (doc["method"], doc["body"]) == ("GET", "")
        assert header(doc, "authorization") == "Basic dXNlcjpwdw=="  # same origin: kept
        assert r.request.method == "GET" and str(r.request.url) == server.url + "/echo"
        assert [h.request.method for h in r.history] == ["POST"]
        r = s.request("PUT", f"{server.url}/redirect?code=307&to=/echo", content=b"data")
        assert (r.json()["method"], r.json()["body"]) == ("PUT", "data")
        # The credentials of auth= stay with the origin they were given for.
        r = s.get(f"{server.url}/redirect?to={other.url}/echo")
        assert r.url == other.url + "/echo" and header(r.json(), "authorization") is None


def test_sync_time_limit_covers_the_wait_for_a_connection(server):
    with tarnix.SyncClient(max_connections=1) as c:
        busy = threading.Thread(target=c.get, args=(server.url + "/slow?delay=0.6",))
        busy.start()
        time.sleep(0.2)  # let it take the connection
        try:
            start = time.monotonic()
            with pytest.raises(tarnix.TimeoutError):
                # The only connection is taken: this one waits in the queue,
                # and fails at its own limit, not once the other is done.
                c.get(server.url + "/echo", timeout=0.1)
            assert time.monotonic() - start < 0.35
        finally:
            busy.join(10)
        assert c.get(server.url + "/echo").status_code == 200


def test_multipart_details(server, kind):
    s = Session(kind)
    text_file = io.StringIO("from a text file")
    files = [
        ("f", (None, b"no filename")),
        ("f", ("a.txt", text_file, "text/plain; charset=utf-8", {"X-Part": "1"})),
    ]
    r = s.post(server.url + "/echo", files=files,
               headers={"Content-Type": "multipart/form-data; boundary=fixedBoundary123"})
    doc = r.json()
    assert header(doc, "content-type") == "multipart/form-data; boundary=fixedBoundary123"
    assert "X-Part: 1\r\n" in doc["body"]
    assert [(n, fn, body) for n, fn, _, body in multipart(doc)] == [
        ("f", None, b"no filename"), ("f", "a.txt", b"from a text file")]
    with pytest.raises(ValueError, match="CR, LF"):
        s.post(server.url + "/echo", files={"f": ("a", b"x", "text/plain", {"X": "1\r\nInjected: 2"})})


def test_request_cookies_keep_their_domain(server, kind):
    jar = tarnix.Cookies()
    jar.set("here", "1", domain="127.0.0.1")
    jar.set("elsewhere", "2", domain="example.org")
    jar.set("anywhere", "3")
    sent = Session(kind).get(server.url + "/cookie", cookies=jar).text
    assert sorted(sent.split("; ")) == ["anywhere=3", "here=1"]
    # A request made by hand goes out as it is.
    s = Session(kind)
    request = tarnix.Request("POST", server.url + "/echo", headers={"X-Own": "1"}, content="é")
    sent = s.client.send(request) if kind == "sync" else run(s.client.send(request))
    assert sent.json()["body"].encode("latin-1") == "é".encode() and header(sent.json(), "x-own") == "1"


def test_abandoned_blocking_requests_never_hold_up_their_origin():
    server = HangingServer()
    try:
        with tarnix.SyncClient(timeout=0.3, max_connections=1) as c:
            for _ in range(2):
                with pytest.raises(tarnix.TimeoutError):
                    c.get(server.url + "/hang")
            # Two engine threads still wait for the server; the only place
            # was freed each time, so this goes out at once on a new connection.
            assert c.get(server.url + "/ok").status_code == 200
            assert server.accepted == 3
    finally:
        server.close()


def test_default_headers_are_built_once_and_never_shared(server, kind):
    s = Session(kind, headers=[("X-Default", "a"), ("X-Default", "b")])
    first = s.get(server.url + "/echo")
    assert header(first.json(), "x-default") == "a, b"
    # Changing what one request carried must not reach the next one.
    first.request.headers["X-Default"] = "changed"
    first.request.headers["X-Extra"] = "1"
    second = s.get(server.url + "/echo")
    assert header(second.json(), "x-default") == "a, b" and header(second.json(), "x-extra") is None
    sent = second.request.headers
    assert sent == {"x-default": "a, b", "accept-encoding": sent["accept-encoding"]}
    # A request's own headers replace the defaults, on the wire and in the
    # request the response keeps.
    for method in ("GET", "POST"):
        r = s.request(method, server.url + "/echo", headers={"x-default": "own"})
        assert header(r.json(), "x-default") == "own" and r.request.headers["X-Default"] == "own"


def test_received_headers_and_history_made_on_first_read(server, kind):
    s = Session(kind)
    r = s.get(server.url + "/headers")
    assert [n for n in r.headers if n.lower().startswith("x-")] == ["X-One", "X-Dup", "x-dup"]
    assert r.headers["X-DUP"] == "a, b" and r.headers == tarnix.Headers(r.headers.raw())
    # Both are made once and then kept, changes included.
    r.headers["X-Added"] = "1"
    r.history.append(r)
    assert r.headers["x-added"] == "1" and len(r.history) == 1
    assert r.headers is r.headers and r.history is r.history
    r.headers = tarnix.Headers({"A": "b"})
    assert dict(r.headers) == {"A": "b"}


def test_cookie_set_on_a_plain_exchange_goes_with_the_next_request(server, kind):
    s = Session(kind)
    r = s.get(server.url + "/cookie?set=sid%3D1")
    assert r.text == "" and s.client.cookies["sid"] == "1"
    assert s.get(server.url + "/cookie").text == "sid=1"


def test_each_setting_alone_leaves_the_plain_exchange(server, kind):
    # A client with no auth, hooks, redirects or cookies sends most requests
    # as they are; any one of these, per request or set later, must still act.
    s = Session(kind)
    echo = server.url + "/echo"
    assert header(s.get(echo, auth=("a", "b")).json(), "authorization") == "Basic YTpi"
    s.client.event_hooks["request"].append(lambda r: r.headers.update({"X-Hooked": "1"}))
    assert header(s.get(echo).json(), "x-hooked") == "1"
    s.client.event_hooks["request"].clear()
    seen = []
    s.client.event_hooks["response"].append(lambda r: seen.append(r.status_code))
    s.get(echo)
    assert seen == [200]
    s.client.event_hooks["response"].clear()
    assert s.get(server.url + "/redirect?to=/echo").status_code == 302
    s.client.follow_redirects = True
    assert s.get(server.url + "/redirect?to=/echo").status_code == 200
    assert s.get(server.url + "/redirect?to=/echo", follow_redirects=False).status_code == 302


def test_a_url_seen_before_still_takes_every_argument(server, kind):
    # The second request to a URL must not be sent as the first one was.
    echo = server.url + "/echo"
    s = Session(kind)
    s.get(echo)
    assert s.get(echo, content=b"abc").json()["body"] == "abc"
    assert s.get(echo, data={"a": "1"}).json()["body"] == "a=1"
    assert "filename" in s.get(echo, files={"f": b"x"}).json()["body"]
    assert s.get(echo, json=[1]).json()["body"] == "[1]"
    assert s.get(echo, params={"q": "1"}).json()["target"] == "/echo?q=1"
    with pytest.raises(TypeError, match="URL must be a str"):
        s.get(["not", "a", "url"])
    with_auth = echo.replace("://", "://u:p@")
    s.get(with_auth)
    assert header(s.get(with_auth).json(), "authorization") == "Basic dTpw"
    other = Session(kind, params={"c": "1"})
    other.get(echo)
    assert other.get(echo).json()["target"] == "/echo?c=1"


def test_numeric_hosts_are_connected_to_and_named_as_one(server, kind):
    for host in ("2130706433", "0x7f.1", "127.1", "0177.0.0.1"):
        r = Session(kind).get(f"http://{host}:{server.port}/echo")
        assert r.url == f"{server.url}/echo" and header(r.json(), "host") == f"127.0.0.1:{server.port}"


def test_host_keeps_a_port_that_is_not_the_schemes_own():
    def echo_host(conn):
        host = b"|".join(line for line in read_head(conn).split(b"\r\n") if line.lower().startswith(b"host:"))
        conn.sendall(b"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n%s" % (len(host), host))

    try:
        server = RawServer(echo_host, host="127.0.0.43", port=443)
    except OSError as exc:
        pytest.skip(f"cannot listen on port 443: {exc}")
    with server:
        r = tarnix.get("http://127.0.0.43:443/", timeout=10)
    assert r.content == b"Host: 127.0.0.43:443"
