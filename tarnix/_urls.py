"""URL handling: what the engine needs (origin and request target) from a URL.

The engine writes the target byte for byte and connects to the host text as
given, so everything here is checked and normalised before a request leaves.
"""

from __future__ import annotations

import base64
import ipaddress
import re
from collections.abc import Mapping
from typing import Any, List, Optional, Sequence, Tuple, Union
from urllib.parse import quote, unquote, urlencode, urljoin, urlsplit

__all__ = ["URL", "parse_url", "add_params", "join_url", "QueryParams"]

PrimitiveValue = Union[str, int, float, bool, None]
QueryParams = Union[
    Mapping[str, Union[PrimitiveValue, Sequence[PrimitiveValue]]],
    Sequence[Tuple[str, PrimitiveValue]],
    str,
]

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


class URL:
    """A parsed, normalised http or https URL.

    ``origin`` is ``(scheme, host, port)``; ``host`` is the ASCII host as the
    engine connects to it (an IPv6 literal without brackets); ``target`` is
    the path and query sent on the request line; ``authorization`` is a Basic
    credential taken from user information in the URL, if any.
    """

    __slots__ = ("scheme", "host", "port", "tls", "target", "origin", "authorization", "_str")

    def __init__(
        self,
        scheme: str,
        host: str,
        port: int,
        target: str,
        authorization: Optional[str],
    ) -> None:
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

    def with_target(self, target: str) -> URL:
        return URL(self.scheme, self.host, self.port, target, self.authorization)

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
    return host


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
        if isinstance(url, URL):
            return url
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
    return URL(scheme, host, port, target, auth)


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
    return url.with_target(f"{url.target}{sep}{encoded}")


def join_url(base: URL, location: str) -> URL:
    """Resolve a redirect's Location against the URL it came from."""
    return parse_url(urljoin(str(base), location))
