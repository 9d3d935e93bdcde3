"""URL handling: what the engine needs (origin and request target) from a URL.

The engine writes the target byte for byte and connects to the host text as
given, so everything here is checked and normalised before a request leaves.
"""

from __future__ import annotations

import base64
import ipaddress
import re
import socket
from collections.abc import Mapping
from typing import Any, Callable, List, Optional, Tuple, Union, cast
from urllib.parse import quote, unquote, urlencode, urljoin, urlsplit
from ._types import QueryParams

__all__ = ["URL", "parse_url", "add_params", "join_url"]

DEFAULT_PORTS = {"http": 80, "https": 443}

# Any C0 control or DEL: never valid in a URL, and CR, LF and NUL would reach
# the wire verbatim.
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")
# Host text after IDNA encoding: what a host name or IPv4 literal may hold. The
# finer label rules are the engine's (it reports "failed to resolve host").
_HOST_CHARS = re.compile(r"[a-z0-9._-]+\Z")
_PORT = re.compile(r"[0-9]{1,5}\Z")
# Characters that may stand unescaped in a path or query; "%" is kept so that
# escapes already present survive.
_PATH_SAFE = "/%:@!$&'()*+,;=-._~"
_QUERY_SAFE = _PATH_SAFE + "?"
_PLAIN = re.compile(r"[A-Za-z0-9/%:@!$&'()*+,;=\-._~?]*\Z")
# A request target as the engine writes it on the request line: visible
# ASCII only, so nothing can end the line or split it with a space.
_TARGET = re.compile(r"/[!-~]*\Z")
# What an Authorization value may not hold: any control character but tab.
_BAD_HEADER_TEXT = re.compile(r"[\x00-\x08\x0a-\x1f\x7f]")
# A last host label that makes the host an IPv4 address (decimal, octal or
# hexadecimal), as browsers read it.
_NUMERIC_LABEL = re.compile(r"(?:[0-9]+|0x[0-9a-f]*)\Z")

_set = object.__setattr__


class _Parts:
    """What a URL holds; URL makes it read-only."""

    __slots__ = ("scheme", "host", "port", "tls", "target", "origin", "authorization", "_str")

    scheme: str
    host: str
    port: int
    tls: bool
    target: str
    origin: Tuple[str, str, int]
    authorization: Optional[str]
    _str: str


class URL(_Parts):
    """A parsed, normalised http or https URL; immutable.

    ``origin`` is ``(scheme, host, port)``; ``host`` is the ASCII host as the
    engine connects to it (an IPv6 literal without brackets); ``target`` is
    the path and query sent on the request line; ``authorization`` is a Basic
    credential taken from user information in the URL, if any.

    Built from parts, every part is checked as ``parse_url`` checks it: the
    engine writes the target and host byte for byte.
    """

    __slots__ = ()

    def __init__(
        self,
        scheme: str,
        host: str,
        port: int,
        target: str,
        authorization: Optional[str],
    ) -> None:
        if not isinstance(scheme, str) or scheme.lower() not in DEFAULT_PORTS:
            raise ValueError(f"unsupported URL scheme {scheme!r}; only http and https are supported")
        if not isinstance(host, str):
            raise TypeError(f"host must be a str, not {type(host).__name__}")
        if isinstance(port, bool) or not isinstance(port, int) or not 0 < port < 65536:
            raise ValueError(f"invalid port {port!r}")
        if authorization is not None and (
            not isinstance(authorization, str) or _BAD_HEADER_TEXT.search(authorization)
        ):
            raise ValueError("authorization must be a str without control characters")
        built = _make(scheme.lower(), _encode_host(f"[{host}]" if ":" in host else host), port,
                      _check_target(target), authorization)
        for name in _Parts.__slots__:
            _set(self, name, getattr(built, name))

    def with_target(self, target: str) -> URL:
        return _make(self.scheme, self.host, self.port, _check_target(target), self.authorization)

    def __setattr__(self, name: str, value: object) -> None:
        # Parsed URLs are cached and shared between requests: a change made
        # for one would go out with all of them, unchecked.
        raise AttributeError("URL objects are immutable; use with_target() or build a new URL")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("URL objects are immutable")

    def __reduce__(self) -> Tuple[Any, Tuple[Any, ...]]:
        return URL, (self.scheme, self.host, self.port, self.target, self.authorization)

    def __str__(self) -> str:
        return self._str

    def __repr__(self) -> str:
        return f"URL({self._str!r})"

    def __eq__(self, other: object) -> bool:
        if isinstance(other, URL):
            return self._str == other._str
        return NotImplemented

    def __hash__(self) -> int:
        return hash(self._str)


class _Building(_Parts):
    """A URL while its checked parts are stored, then made a URL: stores to a
    class without a __setattr__ of its own are several times cheaper."""

    __slots__ = ()

    def __init__(self, scheme: str, host: str, port: int, target: str, authorization: Optional[str]) -> None:
        self.scheme = scheme
        self.host = host
        self.port = port
        self.tls = scheme == "https"
        self.target = target
        self.origin = (scheme, host, port)
        self.authorization = authorization
        shown = f"[{host}]" if ":" in host else host
        if port != DEFAULT_PORTS[scheme]:
            shown = f"{shown}:{port}"
        self._str = f"{scheme}://{shown}{target}"
        self.__class__ = URL  # type: ignore[assignment]  # the same slots: only the type changes


#: A URL from parts already checked.
_make = cast(Callable[[str, str, int, str, Optional[str]], URL], _Building)


def _check_target(target: Any) -> str:
    if not isinstance(target, str):
        raise TypeError(f"a request target must be a str, not {type(target).__name__}")
    if not _TARGET.match(target):
        raise ValueError(
            f"invalid request target {target!r}: it must start with '/' and hold only visible ASCII "
            "characters (percent-encode the others)"
        )
    return target


def _ipv4(host: str) -> Optional[str]:
    """The dotted-quad form of a host that names an IPv4 address in any of
    the forms the resolver accepts (127.1, 2130706433, 0x7f.0.0.1, 0177.0.0.1),
    None for a host name; ValueError for a number that is no address."""
    labels = host.split(".")
    if len(labels) > 1 and labels[-1] == "":
        labels.pop()  # a trailing dot
    if not _NUMERIC_LABEL.match(labels[-1]):
        return None
    try:
        return socket.inet_ntoa(socket.inet_aton(".".join(labels)))
    except OSError:
        raise ValueError(f"invalid IPv4 address in URL: {host!r}") from None


def _encode_host(raw: str) -> str:
    if not raw:
        raise ValueError("URL has no host")
    if raw.startswith("["):
        if not raw.endswith("]"):
            raise ValueError(f"invalid IPv6 literal in URL: {raw!r}")
        literal = raw[1:-1]
        if "%" in literal:
            raise ValueError(f"IPv6 zone identifiers are not supported: {raw!r}")
        try:
            return str(ipaddress.IPv6Address(literal))
        except ValueError:
            raise ValueError(f"invalid IPv6 literal in URL: {raw!r}") from None
    if raw.isascii():
        host = raw.lower()
    else:
        import idna  # only for international names

        try:
            # IDNA 2008 with the UTS 46 mapping, as browsers and httpx: the
            # standard library's IDNA 2003 codec maps "ß" to "ss", another host.
            host = idna.encode(raw, uts46=True).decode("ascii").lower()
        except UnicodeError as exc:
            raise ValueError(f"host {raw!r} cannot be encoded with IDNA: {exc}") from None
    if not _HOST_CHARS.match(host):
        raise ValueError(f"invalid host in URL: {raw!r}")
    # One text for the host that is connected to, URL.host and the Host
    # header: a check made on the parsed host sees the address used.
    return _ipv4(host) or host


def _split_netloc(netloc: str) -> Tuple[Optional[str], str, str]:
    userinfo, at, hostport = netloc.rpartition("@")
    if hostport.startswith("["):
        end = hostport.find("]")
        if end < 0:
            raise ValueError(f"invalid IPv6 literal in URL: {hostport!r}")
        host, rest = hostport[: end + 1], hostport[end + 1 :]
        if rest and not rest.startswith(":"):
            raise ValueError(f"invalid host in URL: {hostport!r}")
        port = rest[1:]
    else:
        host, colon, port = hostport.partition(":")
        if ":" in port:
            raise ValueError(f"IPv6 literals must be in brackets: {hostport!r}")
    return (userinfo if at else None), host, port


def _basic_auth(userinfo: str) -> str:
    user, _, password = userinfo.partition(":")
    pair = f"{unquote(user)}:{unquote(password)}".encode("utf-8")
    return "Basic " + base64.b64encode(pair).decode("ascii")


def _quote(text: str, safe: str) -> str:
    if _PLAIN.match(text):
        return text
    return quote(text, safe=safe)


def parse_url(url: Union[str, URL]) -> URL:
    """Parse an absolute http or https URL; raise ValueError if it is unusable."""
    if not isinstance(url, str):
        if type(url) is URL:
            return url
        if isinstance(url, URL):
            # A subclass may compute its parts: take them once, checked.
            return URL(url.scheme, url.host, url.port, url.target, url.authorization)
        raise TypeError(f"URL must be a str, not {type(url).__name__}")
    bad = _CONTROL.search(url)
    if bad is not None:
        raise ValueError(f"URL contains the control character {bad.group()!r}")
    try:
        parts = urlsplit(url)
    except ValueError as exc:
        raise ValueError(f"invalid URL {url!r}: {exc}") from None
    scheme = parts.scheme.lower()
    if scheme not in DEFAULT_PORTS:
        if not scheme:
            raise ValueError(f"URL {url!r} has no scheme; use http:// or https://")
        raise ValueError(f"unsupported URL scheme {scheme!r}; only http and https are supported")
    if "\\" in parts.netloc:
        # Browsers read a backslash as "/" and so another host than the one
        # after an "@" that follows it: refused rather than read either way.
        raise ValueError(f"URL {url!r} has a backslash in its host part")
    userinfo, raw_host, raw_port = _split_netloc(parts.netloc)
    host = _encode_host(raw_host)
    if raw_port:
        if not _PORT.match(raw_port) or not 0 < int(raw_port) < 65536:
            raise ValueError(f"invalid port in URL: {raw_port!r}")
        port = int(raw_port)
    else:
        port = DEFAULT_PORTS[scheme]
    target = _quote(parts.path, _PATH_SAFE) if parts.path else "/"
    if not target.startswith("/"):
        raise ValueError(f"invalid path in URL {url!r}")
    if parts.query:
        target = f"{target}?{_quote(parts.query, _QUERY_SAFE)}"
    auth = _basic_auth(userinfo) if userinfo else None
    return _make(scheme, host, port, target, auth)


def primitive_text(value: Any, what: str = "query parameter values") -> str:
    """A query or form value as text: True -> "true", None -> "", as httpx."""
    if value is None:
        return ""
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, (str, int, float)):
        return str(value)
    raise TypeError(f"{what} must be str, int, float, bool or None, not {type(value).__name__}")


def add_params(url: URL, params: QueryParams) -> URL:
    """Append query parameters to the URL's target (existing ones are kept)."""
    if isinstance(params, str):
        encoded = _quote(params.lstrip("?"), _QUERY_SAFE)
        bad = _CONTROL.search(params)
        if bad is not None:
            raise ValueError(f"query parameters contain the control character {bad.group()!r}")
    else:
        items = params.items() if isinstance(params, Mapping) else params
        pairs: List[Tuple[str, str]] = []
        for key, value in items:
            if isinstance(value, (list, tuple)):
                pairs.extend((str(key), primitive_text(v)) for v in value)
            else:
                pairs.append((str(key), primitive_text(value)))
        # urlencode percent-encodes every control character, CR and LF included.
        encoded = urlencode(pairs)
    if not encoded:
        return url
    sep = "&" if "?" in url.target else "?"
    # Both parts are percent-encoded already.
    return _make(url.scheme, url.host, url.port, f"{url.target}{sep}{encoded}", url.authorization)


def join_url(base: URL, location: str) -> URL:
    """Resolve a redirect's Location against the URL it came from."""
    return parse_url(urljoin(str(base), location))
