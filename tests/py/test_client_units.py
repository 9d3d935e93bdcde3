"""Pieces of the client that need no server: URLs and response helpers."""

import gzip
import zlib

import pytest

import tarnix
from tarnix._models import decode_content
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
    assert decode_content(b"opaque", "br") == b"opaque"
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
