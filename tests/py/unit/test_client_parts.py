"""Pieces of the client that need no server: URLs and response helpers."""

import gzip
import zlib

import pytest

import tarnix
from support.client import Session, run
from support.server import closed_port
from tarnix._decoders import decode_content
from tarnix._urls import add_params, join_url, parse_url


@pytest.mark.parametrize(
    "url, origin, target",
    [
        ("HTTP://Example.COM", ("http", "example.com", 80), "/"),
        ("https://example.com:443/a?b=1#frag", ("https", "example.com", 443), "/a?b=1"),
        ("http://example.com:8080?x", ("http", "example.com", 8080), "/?x"),
        ("http://[::1]:81/p", ("http", "::1", 81), "/p"),
        ("https://[0:0::1]/", ("https", "::1", 443), "/"),
        ("http://bücher.example/ä ö", ("http", "xn--bcher-kva.example", 80), "/%C3%A4%20%C3%B6"),
        ("http://h/already%20escaped", ("http", "h", 80), "/already%20escaped"),
        # Numeric hosts as the resolver reads them, so that the host checked,
        # connected to and sent in Host is one.
        ("http://2130706433/", ("http", "127.0.0.1", 80), "/"),
        ("http://0x7f.1:81/", ("http", "127.0.0.1", 81), "/"),
        ("http://127.1/", ("http", "127.0.0.1", 80), "/"),
        ("http://0177.0.0.1./", ("http", "127.0.0.1", 80), "/"),
        ("http://1.2.3.a/", ("http", "1.2.3.a", 80), "/"),
    ],
)
def test_parse_url(url, origin, target):
    u = parse_url(url)
    assert (u.origin, u.target) == (origin, target)


def test_url_text_and_credentials():
    u = parse_url("http://user:p%40ss@[::1]:8080/x")
    assert str(u) == "http://[::1]:8080/x"
    assert u.authorization == "Basic dXNlcjpwQHNz"
    assert str(parse_url("https://h:443/")) == "https://h/"


@pytest.mark.parametrize(
    "url",
    [
        "example.com/path", "ftp://h/", "http://", "http://h:0/", "http://h:65536/",
        "http://h:8a/", "http://::1/", "http://[::1", "http://[zz::1]/", "http://[fe80::1%25eth0]/",
        "http://a b/", "http://h%41/", "http://h/\r\n", "http://h/\x00", "http://h/\t",
        "http://good\\@evil/", "http://a\\b/", "http://1.2.3.256/", "http://example.0x1/", "http://08/",
    ],
)
def test_unusable_urls(url):
    with pytest.raises(ValueError):
        parse_url(url)


def test_params_and_redirect_targets():
    u = parse_url("http://h/p?a=1")
    assert add_params(u, [("b", "x&y"), ("c", None)]).target == "/p?a=1&b=x%26y&c="
    assert add_params(parse_url("http://h/p"), "k=v").target == "/p?k=v"
    assert add_params(u, {}).target == "/p?a=1"
    assert join_url(u, "../q?z").target == "/q?z"
    assert join_url(u, "//other:81/").origin == ("http", "other", 81)


def test_decode_content():
    data = b"abc" * 100
    assert decode_content(gzip.compress(data) + gzip.compress(b"!"), "gzip") == data + b"!"
    assert decode_content(zlib.compress(gzip.compress(data)), "gzip, deflate") == data
    assert decode_content(b"opaque", "x-unknown") == b"opaque"
    with pytest.raises(tarnix.DecodingError):
        decode_content(gzip.compress(data)[:-10], "gzip")


def test_response_basics():
    r = tarnix.Response(418, {"Content-Type": 'text/plain; charset="latin-1"'}, "é".encode("latin-1"), url="http://h/")
    assert r.text == "é" and r.reason_phrase == "I'm a Teapot"
    with pytest.raises(tarnix.HTTPStatusError, match="Client error '418"):
        r.raise_for_status()
    assert tarnix.Response(200, {"content-type": "text/plain; charset=bogus"}, b"ok").text == "ok"
    assert tarnix.Response(200, {}, b'{"a": [1]}').json() == {"a": [1]}


@pytest.mark.parametrize("charset", ["idna", "punycode", "undefined", "utf-8\x00", "base64", "unicode_escape"])
def test_text_falls_back_to_utf8_for_charsets_that_are_not_text(charset):
    body = "caf\u00e9 \\u0041 ".encode() + b"\xff"
    r = tarnix.Response(200, {"Content-Type": f"text/plain; charset={charset}"}, body)
    assert r.text == "caf\u00e9 \\u0041 \ufffd"
    assert r.encoding == "utf-8"


def test_header_lookup_without_folding_agrees_with_get():
    raw = {"Content-Encoding": "gzip", "content-encoding": "br", "Content-Type": "text/plain"}
    for name in ("content-encoding", "content-type", "content-length", "content-typ"):
        fresh = tarnix.Headers._wrap(dict(raw))
        expected = tarnix.Headers(raw).get(name)
        assert fresh._get_lower(name) == expected  # scanning the raw names
        assert fresh.get(name) == fresh._get_lower(name) == expected  # after folding
    assert tarnix.Headers(raw)["CONTENT-ENCODING"] == "gzip, br"


def test_error_hierarchy():
    assert issubclass(tarnix.ConnectError, tarnix.TransportError)
    for cls in (tarnix.TransportError, tarnix.TLSError, tarnix.ProtocolError, tarnix.TimeoutError,
                tarnix.HTTPStatusError, tarnix.TooManyRedirects):
        assert issubclass(cls, tarnix.Error)


def test_errors_are_also_the_builtin_ones():
    assert isinstance(tarnix.TimeoutError("t"), TimeoutError)
    assert isinstance(tarnix.ConnectError("connection failed"), ConnectionError)
    assert str(tarnix.ConnectError("connection failed")) == "connection failed"
    assert not issubclass(tarnix.TLSError, OSError)


def test_international_hosts_use_idna_2008():
    assert parse_url("http://straße.de/").host == "xn--strae-oqa.de"
    assert parse_url("http://FAß.example/").host == "xn--fa-hia.example"
    with pytest.raises(ValueError, match="IDNA"):
        parse_url("http://a\u200db.de/")


@pytest.mark.parametrize(
    "base, url, expected",
    [
        ("http://h/api", "users", "http://h/api/users"),
        ("http://h/api/", "/users?x=1", "http://h/api/users?x=1"),
        ("http://h", "?q", "http://h/?q"),
        ("http://h/api", "https://other/p", "https://other/p"),
    ],
)
def test_base_url_joining(base, url, expected):
    assert str(tarnix.SyncClient(base_url=base).build_request("GET", url).url) == expected


def test_request_headers_are_checked_when_changed():
    request = tarnix.Request("get", "http://h/", headers=[("X-A", "1"), ("x-a", "2"), ("Cookie", "a=1"), ("Cookie", "b=2")])
    assert request.method == "GET" and request.headers["x-a"] == "1, 2"
    assert request.headers["cookie"] == "a=1; b=2"
    request.headers["X-A"] = "3"  # replaces every spelling of the name
    assert [k for k in request.headers if k.lower() == "x-a"] == ["X-A"]
    for name, value in (("X-B", "a\nb"), ("Host", "evil"), ("Bad Name", "v")):
        with pytest.raises(ValueError):
            request.headers[name] = value
    with pytest.raises(KeyError):
        del request.headers["missing"]


def test_body_helpers_over_the_whole_body():
    r = tarnix.Response(200, {"Content-Type": "text/plain"}, b"one\r\ntwo\nthree")
    assert list(r.iter_bytes()) == [b"one\r\ntwo\nthree"]
    assert list(r.iter_bytes(6)) == [b"one\r\nt", b"wo\nthr", b"ee"]
    assert list(r.iter_text(10)) == ["one\r\ntwo\nt", "hree"]
    assert list(r.iter_lines()) == ["one", "two", "three"]
    assert list(tarnix.Response(204).iter_bytes()) == []
    with pytest.raises(ValueError):
        list(r.iter_bytes(0))
    with pytest.raises(RuntimeError, match="no request"):
        r.request
    assert r.is_success and not r.is_redirect


def test_digest_challenge_parsing():
    from tarnix._auth import parse_challenges

    got = parse_challenges('Basic realm="x", Digest realm="a, b", nonce="n\\"q", qop="auth,auth-int", stale=FALSE, Digest realm="c"')
    assert got == [("basic", {"realm": "x"}),
                   ("digest", {"realm": "a, b", "nonce": 'n"q', "qop": "auth,auth-int", "stale": "FALSE"}),
                   ("digest", {"realm": "c"})]


def test_bounded_decoding():
    data = bytes(100_000)
    assert decode_content(zlib.compress(gzip.compress(data)), "gzip, deflate", 100_000) == data
    with pytest.raises(tarnix.DecodingError, match="max_decoded_size"):
        decode_content(zlib.compress(gzip.compress(data)), "gzip, deflate", 99_999)
    # Every step of a chain is bounded, not only the last.
    with pytest.raises(tarnix.DecodingError):
        decode_content(zlib.compress(data), "x-unknown, deflate", 1000)


def test_custom_auth_flows_and_the_cookie_setter():
    class Silent(tarnix.Auth):
        def auth_flow(self, request):
            return
            yield request

    client = tarnix.SyncClient(auth=Silent())
    client.cookies = {"a": "1"}
    assert client.cookies["a"] == "1" and isinstance(client.cookies, tarnix.Cookies)
    with pytest.raises(TypeError, match="yielded no request"):
        client.get("http://127.0.0.1:1/")
    with pytest.raises(TypeError, match="auth"):
        tarnix.SyncClient(auth="user:pass")
    with pytest.raises(TypeError, match="str or bytes"):
        tarnix.SyncClient(auth=("user", 1234))


def test_codings_without_their_packages_are_neither_advertised_nor_decoded():
    import subprocess
    import sys

    code = (
        "import sys; sys.modules['brotli'] = sys.modules['zstandard'] = None\n"
        "import tarnix._decoders as d\n"
        "print(d.ACCEPT_ENCODING, d.decode_content(b'opaque', 'br'), d.decode_content(b'opaque', 'zstd'))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "gzip, deflate b'opaque' b'opaque'", out.stderr


def test_the_verbs_are_coroutine_functions_shaped_like_request():
    import asyncio
    import inspect

    def shape(f):
        return [(p.name, p.kind, p.default) for p in inspect.signature(f).parameters.values()]

    c = tarnix.Client()
    for name in ("get", "post", "put", "patch", "delete", "head", "options"):
        verb = getattr(c, name)
        assert inspect.iscoroutinefunction(verb) and verb.__name__ == name
        assert shape(verb) == shape(c.request)[1:]
    assert inspect.iscoroutinefunction(c.request) and inspect.iscoroutinefunction(c.send)

    async def refused(method):
        with pytest.raises(ValueError, match="unsupported HTTP method"):
            await c.request(method, "http://127.0.0.1:9/")

    # None is no method, even though send() shares the request code.
    for method in (None, "BREW", b"GET"):
        asyncio.run(refused(method))


_NOWHERE = "http://127.0.0.1:9/"


@pytest.mark.parametrize(
    "call, word",
    [
        (lambda c: c.get(_NOWHERE, bogus=1), "bogus"),
        (lambda c: c.request("POST", _NOWHERE, timeot=1), "timeot"),
        (lambda c: c.request("BREW", _NOWHERE, bogus=1), "bogus"),
        (lambda c: c.download(_NOWHERE, "unused", content=b"x"), "content"),
        (lambda c: c.get(_NOWHERE, b"x"), "positional"),
    ],
)
def test_an_option_the_methods_do_not_take_is_a_type_error(call, word, tmp_path):
    import asyncio

    async def run():
        async with tarnix.Client() as c:
            await call(c)

    with pytest.raises(TypeError, match=word):
        asyncio.run(run())
    with tarnix.SyncClient() as c, pytest.raises(TypeError, match=word):
        call(c)
    one_off = {"get": tarnix.get, "request": tarnix.request, "download": tarnix.download}
    with pytest.raises(TypeError, match=word):
        call(type("OneOff", (), {k: staticmethod(f) for k, f in one_off.items()}))
    # A one-off download opens its client with the trust options only.
    with pytest.raises(TypeError, match="proxy"):
        tarnix.download(_NOWHERE, tmp_path / "f", proxy="http://127.0.0.1:9")
    assert not list(tmp_path.iterdir())


@pytest.mark.parametrize(
    "parts",
    [
        ("http", "h", 80, "/a b", None),
        ("http", "h", 80, "/a HTTP/1.1\r\nHost: evil", None),
        ("http", "h", 80, "/\x00", None),
        ("http", "h", 80, "/\u00e9", None),
        ("http", "h", 80, "a", None),
        ("http", "h\r\nX: 1", 80, "/", None),
        ("http", "good\\@evil", 80, "/", None),
        ("ftp", "h", 80, "/", None),
        ("http", "h", 0, "/", None),
        ("http", "h", True, "/", None),
        ("http", "h", 80, "/", "Basic x\r\nX-Injected: 1"),
    ],
)
def test_urls_built_from_parts_are_checked(parts):
    with pytest.raises((ValueError, TypeError)):
        tarnix.URL(*parts)
    if parts[3] != "/":
        with pytest.raises(ValueError):
            parse_url("http://h/").with_target(parts[3])


def test_urls_are_immutable_and_normalised_when_built_from_parts():
    import copy
    import pickle

    url = tarnix.URL("HTTPS", "Example.COM", 443, "/x?y", None)
    assert str(url) == "https://example.com/x?y" and url.origin == ("https", "example.com", 443)
    assert tarnix.URL("http", "::1", 8080, "/", None).host == "::1"
    assert tarnix.URL("http", "0x7f.1", 80, "/", None).host == "127.0.0.1"
    # Parsed URLs are cached and shared: none may change under its users.
    cached = parse_url("http://h/a")
    with pytest.raises(AttributeError):
        cached.target = "/b HTTP/1.1\r\nHost: evil"
    assert cached.target == "/a" and cached.with_target("/b").target == "/b"
    assert copy.copy(url) == url == pickle.loads(pickle.dumps(url))


@pytest.mark.parametrize("char", [chr(c) for c in [*range(0, 9), *range(10, 32), 127]])
def test_every_control_character_but_tab_is_refused_in_header_values(char):
    from tarnix._models import check_header

    with pytest.raises(ValueError, match="control character"):
        check_header("X-A", f"a{char}b")
    with pytest.raises(ValueError):
        tarnix.Cookies({"a": f"b{char}c"})
    assert check_header("X-A", "a\tb \u00e9") == "a\tb \u00e9"


@pytest.mark.parametrize(
    "url, set_cookie, sent_to",
    [
        # A Domain that is a public suffix would reach every site under it.
        ("http://www.example.co.uk/", "a=1; Domain=.co.uk", []),
        ("http://alice.github.io/", "a=1; Domain=github.io", []),
        ("http://www.example.co.uk/", "a=1; Domain=example.co.uk",
         ["http://www.example.co.uk/", "http://example.co.uk/", "http://x.example.co.uk/"]),
        # An IP address's cookies stay with it, whatever the Domain says.
        ("http://127.0.0.1/", "a=1; Domain=.0.1", []),
        ("http://127.0.0.1/", "a=1; Domain=127.0.0.1", ["http://127.0.0.1/"]),
        ("http://127.0.0.1/", "a=1", ["http://127.0.0.1/"]),
        # A control byte never enters the jar, to poison every later request.
        ("http://h.example/", "a=b\x01c", []),
        ("http://h.example/", "a\x7f=b", []),
    ],
)
def test_which_cookies_the_jar_keeps_and_where_it_sends_them(url, set_cookie, sent_to):
    jar = tarnix.Cookies()
    response = tarnix.Response(200, {"Set-Cookie": set_cookie}, request=tarnix.Request("GET", url))
    jar.extract_cookies(response)
    others = ["http://127.5.0.1/", "http://10.0.0.1/", "http://other.co.uk/", "http://bob.github.io/"]
    for target in {url, *sent_to, *others}:
        expected = "a=1" if target in sent_to else None
        assert jar.header_for(parse_url(target)) == expected, target


@pytest.mark.parametrize("name, value", [("a", "b\r\nX-Injected: 1"), ("a", "b; admin=1"), ("a b", "1"), ("a=", "1"), ("", "1")])
def test_cookies_set_by_hand_are_checked(name, value):
    with pytest.raises(ValueError):
        tarnix.Cookies().set(name, value)


def test_digest_answers_the_first_challenge_it_supports():
    def answer(header):
        flow = tarnix.DigestAuth("u", "pw").auth_flow(tarnix.Request("GET", "http://h/"))
        first = next(flow)
        return flow.send(tarnix.Response(401, {"WWW-Authenticate": header}, request=first)).headers["authorization"]

    both = 'Digest realm="a", nonce="1", algorithm=SHA-256, Digest realm="b", nonce="2", algorithm=MD5'
    got = answer(both)
    assert 'realm="a"' in got and 'nonce="1"' in got and "algorithm=SHA-256" in got
    got = answer('Digest realm="a", nonce="1", algorithm=SHA-3, Basic realm="x", Digest realm="b", nonce="2"')
    assert 'realm="b"' in got and 'nonce="2"' in got and "algorithm=MD5" in got
    with pytest.raises(tarnix.ProtocolError, match="unsupported Digest algorithm 'SHA-3'"):
        answer('Digest realm="a", nonce="1", algorithm=SHA-3, Digest realm="b", nonce="2", qop="auth-int"')


def test_bad_input_is_rejected_before_sending():
    # Nothing listens here: anything that reached the engine would fail with
    # ConnectError instead.
    url = f"http://127.0.0.1:{closed_port()}/"
    bad = [
        dict(method="TRACE"),
        dict(method="GET\r\n"),
        dict(url=url + "a\r\nX-Injected: 1"),
        dict(url=url + "\x00"),
        dict(url="ftp://127.0.0.1/"),
        dict(url="http:///nohost"),
        dict(url="http://[::1/"),
        dict(url="http://127.0.0.1:70000/"),
        dict(headers={"X-A": "1\r\nX-B: 2"}),
        dict(headers={"X-A": "1\n"}),
        dict(headers={"X-A": "\x00"}),
        dict(headers={"X-A": "\ud800"}),
        dict(headers={"X-A\r\n": "1"}),
        dict(headers={"Bad Name": "1"}),
        dict(headers={"Bad:Name": "1"}),
        dict(headers={"": "1"}),
        dict(headers={"Host": "evil"}),
        dict(headers={"Transfer-Encoding": "chunked"}),
        dict(headers={"Content-Length": "5"}, content=b"abc"),
        dict(content=b"x", json={}),
    ]

    async def go(case):
        async with tarnix.Client() as c:
            await c.request(case.pop("method", "POST"), case.pop("url", url), **case)

    for case in bad:
        with pytest.raises(ValueError) as info:
            run(go(dict(case)))
        if case.get("method") == "TRACE":
            assert "GET, POST, PUT, PATCH, DELETE, HEAD, OPTIONS" in str(info.value)
    with pytest.raises(ValueError):
        tarnix.Client(headers={"X\n": "1"})


def _spoiled_jar():
    jar = tarnix.Cookies({"a": "1"})
    for cookie in jar.jar:
        cookie.value = "1\r\nX-Injected: 1"
    return jar


def _hook(change):
    def hook(request):
        change(request)

    return {"event_hooks": {"request": [hook]}}


# Ways around the checks made when a request is built: each must still end
# in ValueError before anything is sent.
WALKAROUNDS = {
    "headers given to send()": ({}, dict(send=lambda url: tarnix.Request(
        "GET", url, headers=tarnix.Headers({"X-A": "1\r\nHost: evil"})))),
    "a hook's dict of headers": (_hook(lambda r: setattr(r, "headers", {"Transfer-Encoding": "chunked"})), {}),
    "a hook's Headers": (_hook(lambda r: setattr(r, "headers", tarnix.Headers({"X-A": "\x01"}))), {}),
    "a hook past the checks": (_hook(lambda r: r.headers._raw.update({"HOST": "evil"})), {}),
    "a hook's DEL": (_hook(lambda r: r.headers.__setitem__("X-A", "\x7f")), {}),
    "a hook's URL text": (_hook(lambda r: setattr(r, "url", "http://127.0.0.1:1/\r\nX: 1")), {}),
    "a hook's method": (_hook(lambda r: setattr(r, "method", "GET / HTTP/1.1\r\nX:")), {}),
    "an auth's URL": ({}, dict(auth=lambda r: setattr(r, "url", tarnix.URL(
        "http", "127.0.0.1", 1, "/ HTTP/1.1\r\nHost: evil", None)) or r)),
    "an auth's target": ({}, dict(auth=lambda r: setattr(r, "url", r.url.with_target("/a b")) or r)),
    "cookies=": ({}, dict(cookies={"a": "b\r\nX-Injected: 1"})),
    "cookies= with a jar": ({}, dict(cookies=_spoiled_jar())),
    "client cookies": (dict(cookies={"a": "\x0b"}), {}),
}


@pytest.mark.parametrize("case", list(WALKAROUNDS))
def test_nothing_unchecked_reaches_the_engine(kind, case):
    # Nothing listens here: a request that went out would fail with ConnectError.
    url = f"http://127.0.0.1:{closed_port()}/"
    options, kwargs = WALKAROUNDS[case]
    with pytest.raises(ValueError):
        s = Session(kind, **options)
        if "send" in kwargs:
            s.send(kwargs["send"](url))
        else:
            s.get(url, **kwargs)
