"""Requests, responses and their headers."""

from __future__ import annotations

import codecs
import datetime
import json as _json
import re
from collections.abc import AsyncIterator, Iterable, Iterator, Mapping, MutableMapping
from http import HTTPStatus
from typing import Any, Dict, List, Optional, Set, Tuple, Union

from ._exceptions import HTTPStatusError
from ._types import HeaderTypes
from ._urls import URL, parse_url

__all__ = ["Headers", "Request", "Response", "METHODS"]

#: The methods the engine can send, by the ordinal it takes.
METHODS: Dict[str, int] = {
    "GET": 0,
    "POST": 1,
    "PUT": 2,
    "PATCH": 3,
    "DELETE": 4,
    "HEAD": 5,
    "OPTIONS": 6,
}

_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+\Z")
# Headers the engine writes itself; a second copy from the caller would make
# the request ambiguous (two Host lines) or its framing contradictory.
_MANAGED = {
    "host": "the Host header is taken from the URL",
    "connection": "the engine manages connections (it always sends keep-alive)",
    "transfer-encoding": "request bodies are sent with a Content-Length",
}
# Names already checked, so that repeated names cost one set lookup.
_good_names: Set[str] = set()
# What a value may not hold: any control character but tab. CR and LF would
# end the header line; the others are no field content either, and servers
# and proxies disagree on what to make of them.
_BAD_VALUE = re.compile(r"[\x00-\x08\x0a-\x1f\x7f]")


def method_ordinal(method: object) -> Tuple[str, int]:
    """The method's upper-case name and the ordinal the engine takes."""
    if isinstance(method, str):
        ordinal = METHODS.get(method)
        if ordinal is not None:
            return method, ordinal
        name = method.upper()
        ordinal = METHODS.get(name)
        if ordinal is not None:
            return name, ordinal
    raise ValueError(
        f"unsupported HTTP method {method!r}; the engine sends only {', '.join(METHODS)}"
    )


def check_header(name: Any, value: Any) -> str:
    """Validate one request header; return its value as a str."""
    if name not in _good_names:
        if not isinstance(name, str):
            raise TypeError(f"header names must be str, not {type(name).__name__}")
        if not _TOKEN.match(name):
            if any(c in name for c in "\r\n\0"):
                raise ValueError(f"header name {name!r} contains a CR, LF or NUL character")
            raise ValueError(f"invalid header name {name!r}: not an HTTP token")
        why = _MANAGED.get(name.lower())
        if why is not None:
            raise ValueError(f"the {name!r} header cannot be set: {why}")
        if len(_good_names) < 4096:
            _good_names.add(name)
    if type(value) is str:
        text: str = value
    elif isinstance(value, str):
        text = str(value)
    elif isinstance(value, (bytes, bytearray)):
        try:
            text = bytes(value).decode("ascii")
        except UnicodeDecodeError:
            raise ValueError(f"header {name!r}: bytes values must be ASCII") from None
    else:
        raise TypeError(f"header {name!r}: values must be str, not {type(value).__name__}")
    if not text.isprintable():  # one pass over the usual value
        bad = _BAD_VALUE.search(text)
        if bad is not None:
            raise ValueError(
                f"header {name!r} value contains the control character {bad.group()!r} "
                "(CR, LF, NUL and every other control character but tab are refused)"
            )
        if not text.isascii():
            try:
                text.encode("utf-8")  # the engine sends values as UTF-8
            except UnicodeEncodeError:
                raise ValueError(f"header {name!r} value cannot be encoded as UTF-8") from None
    return text


def check_wire(pairs: List[Tuple[Any, Any]]) -> List[str]:
    """Check every header that is about to be submitted, in place (names and
    values seen to be good cost a set lookup and one pass); return the
    Content-Length values among them."""
    lengths = []
    for i, (name, value) in enumerate(pairs):
        if not (name in _good_names and type(value) is str and value.isprintable()):
            value = check_header(name, value)
            pairs[i] = (name, value)
        if len(name) == 14 and name.lower() == "content-length":
            lengths.append(value)
    return lengths


def header_items(headers: HeaderTypes) -> List[Tuple[str, str]]:
    """Checked (name, value) pairs from a mapping or a sequence of pairs."""
    items: Iterable[Any] = headers.items() if isinstance(headers, Mapping) else headers
    out = []
    for item in items:
        try:
            name, value = item
        except (TypeError, ValueError):
            raise TypeError(f"headers must be a mapping or (name, value) pairs, got {item!r}") from None
        out.append((name, check_header(name, value)))
    return out


class Headers(MutableMapping[str, str]):
    """HTTP headers, looked up case-insensitively.

    Iteration yields the names with the case they had on the wire. A repeated
    response header holds every value joined with ", " (``Set-Cookie``'s
    with a line feed: ``get_list`` and ``multi_items`` give each on its own);
    names that differ only in letter case are distinct entries, and a lookup
    joins their values with ", ". Setting a name replaces every entry of that name in any case;
    names and values are checked as for a request.
    """

    __slots__ = ("_raw", "_lower")

    def __init__(self, raw: Optional[HeaderTypes] = None) -> None:
        if raw is None:
            self._raw: Dict[str, str] = {}
        elif isinstance(raw, Headers):
            self._raw = dict(raw._raw)
        elif isinstance(raw, Mapping):
            self._raw = dict(raw)
        else:
            self._raw = {}
            for name, value in raw:
                self._add(name, value)
        self._lower: Optional[Dict[str, str]] = None

    @classmethod
    def _from_pairs(cls, pairs: List[Tuple[str, str]]) -> Headers:
        """Headers from checked pairs, a repeated name's values joined."""
        self = cls.__new__(cls)
        self._raw = {}
        self._lower = None
        for name, value in pairs:
            self._add(name, value)
        return self

    def _add(self, name: str, value: str) -> None:
        old = self._raw.get(name)
        if old is None:
            self._raw[name] = value
        else:
            # One line per name goes out; list-valued fields join with ",",
            # cookies with ";".
            sep = "; " if name.lower() == "cookie" else ", "
            self._raw[name] = f"{old}{sep}{value}"

    @classmethod
    def _wrap(cls, raw: Dict[str, str]) -> Headers:
        # The engine hands over a fresh dict; no need to copy it.
        self = cls.__new__(cls)
        self._raw = raw
        self._lower = None
        return self

    def _folded(self) -> Dict[str, str]:
        lower = self._lower
        if lower is None:
            lower = {k.lower(): v for k, v in self._raw.items()}
            if len(lower) != len(self._raw):
                lower = {}
                for k, v in self._raw.items():
                    key = k.lower()
                    lower[key] = f"{lower[key]}, {v}" if key in lower else v
            self._lower = lower
        return lower

    def _get_lower(self, key: str) -> Optional[str]:
        """``get`` for a lower-case name, without folding every name first:
        the client reads one header of each response, callers often none."""
        lower = self._lower
        if lower is not None:
            return lower.get(key)
        found = None
        size = len(key)
        for name, value in self._raw.items():
            if len(name) == size and name.lower() == key:
                found = value if found is None else f"{found}, {value}"
        return found

    def __getitem__(self, name: str) -> str:
        return self._folded()[name.lower()]

    def get(self, name: str, default: Any = None) -> Any:
        return self._folded().get(name.lower(), default)

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name.lower() in self._folded()

    def __iter__(self) -> Iterator[str]:
        return iter(self._raw)

    def __len__(self) -> int:
        return len(self._raw)

    def __setitem__(self, name: str, value: str) -> None:
        value = check_header(name, value)
        lower = name.lower()
        for key in [k for k in self._raw if k.lower() == lower]:
            del self._raw[key]
        self._raw[name] = value
        self._lower = None

    def __delitem__(self, name: str) -> None:
        lower = name.lower()
        keys = [k for k in self._raw if k.lower() == lower]
        if not keys:
            raise KeyError(name)
        for key in keys:
            del self._raw[key]
        self._lower = None

    def copy(self) -> Headers:
        return Headers(self)

    def _pairs(self) -> List[Tuple[str, str]]:
        return list(self._raw.items())

    def raw(self) -> Dict[str, str]:
        """A copy of the headers exactly as delivered (names in wire case)."""
        return dict(self._raw)

    def get_list(self, name: str, split_commas: bool = False) -> List[str]:
        """Every value of a header, in order: each ``Set-Cookie`` line on its
        own; with ``split_commas`` a comma-separated value is split too."""
        lower = name.lower()
        values = [part for key, value in self._raw.items() if key.lower() == lower for part in value.split("\n")]
        if split_commas:
            values = [item.strip() for value in values for item in value.split(",")]
        return values

    def multi_items(self) -> List[Tuple[str, str]]:
        """(name, value) pairs, each ``Set-Cookie`` line a pair of its own."""
        return [(key, part) for key, value in self._raw.items() for part in value.split("\n")]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Headers):
            return self._folded() == other._folded()
        if isinstance(other, Mapping):
            return self._folded() == {str(k).lower(): v for k, v in other.items()}
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"Headers({self._raw!r})"


def _charset(content_type: Optional[str]) -> Optional[str]:
    if not content_type:
        return None
    for param in content_type.split(";")[1:]:
        key, _, value = param.partition("=")
        if key.strip().lower() == "charset":
            value = value.strip().strip('"').strip("'")
            return value or None
    return None


# Codecs Python knows that are no character set of a body: they convert host
# names or escape sequences, or refuse every input.
_NOT_CHARSETS = frozenset(("idna", "punycode", "undefined", "unicode-escape", "raw-unicode-escape"))


def _text_codec(name: Optional[str]) -> Optional[str]:
    """The codec's canonical name when ``name`` is a usable text encoding."""
    if not name:
        return None
    try:
        info = codecs.lookup(name)
    except (LookupError, ValueError):  # unknown, or a NUL in the name
        return None
    if not getattr(info, "_is_text_encoding", True) or info.name in _NOT_CHARSETS:
        return None
    return info.name


class Request:
    """An HTTP request as it goes out: what auth callables and event hooks
    see and may change, and what ``Response.request`` keeps.

    ``url`` is a :class:`tarnix.URL`; ``content`` the whole body as bytes.
    """

    # _headers is a Headers object, or a client's default headers, shared by
    # its requests until one's are read (a plain exchange never reads them).
    __slots__ = ("method", "url", "_headers", "content")
    _headers: Union[Headers, Dict[str, str]]

    def __init__(
        self,
        method: str,
        url: Union[str, URL],
        *,
        headers: Optional[HeaderTypes] = None,
        content: Union[bytes, str] = b"",
    ) -> None:
        self.method = method_ordinal(method)[0]
        self.url = parse_url(url)
        if isinstance(headers, Headers):
            self._headers = headers
        else:
            self._headers = Headers._from_pairs(header_items(headers) if headers is not None else [])
        if isinstance(content, str):
            content = content.encode("utf-8")
        elif not isinstance(content, bytes):
            raise TypeError(f"content must be bytes or str, not {type(content).__name__}")
        self.content = content

    @property
    def headers(self) -> Headers:
        headers = self._headers
        if isinstance(headers, Headers):
            return headers
        own = self._headers = Headers._wrap(headers.copy())
        return own

    @headers.setter
    def headers(self, value: Headers) -> None:
        self._headers = value

    def copy(self) -> Request:
        return Request(self.method, self.url, headers=self.headers.copy(), content=self.content)

    def __repr__(self) -> str:
        return f"<Request({self.method!r}, {str(self.url)!r})>"


class Response:
    """An HTTP response.

    ``content`` is the whole body with any Content-Encoding tarnix knows
    undone; ``headers`` are the headers as received (Content-Encoding
    included).
    """

    # _headers holds the engine's dict until the headers are first read, and
    # _history None until the history is: most responses are read for their
    # status and body alone.
    __slots__ = ("status_code", "_headers", "content", "url", "_history", "_elapsed", "_text", "_request")
    _headers: Union[Headers, Dict[str, str]]
    _history: Optional[List[Response]]

    #: The engine speaks HTTP/1.1 only.
    http_version = "HTTP/1.1"

    def __init__(
        self,
        status_code: int,
        headers: Optional[Mapping[str, str]] = None,
        content: bytes = b"",
        url: str = "",
        elapsed: float = 0.0,
        history: Optional[List[Response]] = None,
        request: Optional[Request] = None,
    ) -> None:
        self.status_code = status_code
        self._headers = headers if isinstance(headers, Headers) else Headers(headers)
        self.content = content
        self.url = url
        self._history = history
        self._elapsed = elapsed
        self._text: Optional[str] = None
        self._request = request

    @property
    def headers(self) -> Headers:
        headers = self._headers
        if isinstance(headers, Headers):
            return headers
        wrapped = self._headers = Headers._wrap(headers)
        return wrapped

    @headers.setter
    def headers(self, value: Headers) -> None:
        self._headers = value

    @property
    def history(self) -> List[Response]:
        """The redirect and auth responses that came before this one, oldest first."""
        history = self._history
        if history is None:
            history = self._history = []
        return history

    @history.setter
    def history(self, value: List[Response]) -> None:
        self._history = value

    @property
    def request(self) -> Request:
        """The request that this response answers (after redirects and auth)."""
        if self._request is None:
            raise RuntimeError("this response was not made by a client and has no request")
        return self._request

    @request.setter
    def request(self, value: Request) -> None:
        self._request = value

    @property
    def elapsed(self) -> datetime.timedelta:
        """Time from sending the request to receiving this response."""
        return datetime.timedelta(seconds=self._elapsed)

    @property
    def reason_phrase(self) -> str:
        """The standard reason phrase for the status code ("" if unknown)."""
        try:
            return HTTPStatus(self.status_code).phrase
        except ValueError:
            return ""

    @property
    def encoding(self) -> str:
        """The charset named by Content-Type, or "utf-8" when it names none
        or one that is not a text encoding."""
        return _text_codec(_charset(self.headers.get("content-type"))) or "utf-8"

    @property
    def text(self) -> str:
        """The body decoded with ``encoding``; undecodable bytes become U+FFFD."""
        text = self._text
        if text is None:
            try:
                text = self.content.decode(self.encoding, errors="replace")
            except (UnicodeError, LookupError, ValueError, TypeError):
                # Never raise over a server's charset: fall back to UTF-8.
                text = self.content.decode("utf-8", errors="replace")
            self._text = text
        return text

    def json(self, **kwargs: Any) -> Any:
        """Parse the body as JSON (``json.loads``); raises ValueError if it is not."""
        return _json.loads(self.content, **kwargs)

    @property
    def is_success(self) -> bool:
        """A 2xx status."""
        return 200 <= self.status_code < 300

    @property
    def is_redirect(self) -> bool:
        """A 301, 302, 303, 307 or 308 status with a Location header."""
        return self.status_code in (301, 302, 303, 307, 308) and "location" in self.headers

    # The body is always whole by the time a response exists; these serve
    # code written for streaming clients.

    def read(self) -> bytes:
        return self.content

    async def aread(self) -> bytes:
        return self.content

    def iter_bytes(self, chunk_size: Optional[int] = None) -> Iterator[bytes]:
        """The received body in pieces of ``chunk_size`` bytes (one piece if None)."""
        content = self.content
        if chunk_size is None or chunk_size >= len(content):
            if content:
                yield content
            return
        if chunk_size < 1:
            raise ValueError("chunk_size must be at least 1")
        for start in range(0, len(content), chunk_size):
            yield content[start : start + chunk_size]

    def iter_text(self, chunk_size: Optional[int] = None) -> Iterator[str]:
        """``text`` in pieces of ``chunk_size`` characters (one piece if None)."""
        text = self.text
        if chunk_size is None or chunk_size >= len(text):
            if text:
                yield text
            return
        if chunk_size < 1:
            raise ValueError("chunk_size must be at least 1")
        for start in range(0, len(text), chunk_size):
            yield text[start : start + chunk_size]

    def iter_lines(self) -> Iterator[str]:
        """``text`` line by line, without the line endings."""
        yield from self.text.splitlines()

    async def aiter_bytes(self, chunk_size: Optional[int] = None) -> AsyncIterator[bytes]:
        for chunk in self.iter_bytes(chunk_size):
            yield chunk

    async def aiter_text(self, chunk_size: Optional[int] = None) -> AsyncIterator[str]:
        for chunk in self.iter_text(chunk_size):
            yield chunk

    async def aiter_lines(self) -> AsyncIterator[str]:
        for line in self.iter_lines():
            yield line

    def raise_for_status(self) -> Response:
        """Raise HTTPStatusError for a 4xx or 5xx status; otherwise return self."""
        code = self.status_code
        if 400 <= code < 600:
            kind = "Client error" if code < 500 else "Server error"
            raise HTTPStatusError(
                f"{kind} '{code} {self.reason_phrase}' for url '{self.url}'",
                request=self._request,
                response=self,
            )
        return self

    def __repr__(self) -> str:
        return f"<Response [{self.status_code} {self.reason_phrase}]>"
