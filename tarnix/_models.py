"""Response and its headers."""

from __future__ import annotations

import codecs
import datetime
import json as _json
import zlib
from collections.abc import Iterator, Mapping
from http import HTTPStatus
from typing import Any, Dict, List, Optional

from ._errors import DecodingError, HTTPStatusError

__all__ = ["Headers", "Response"]


class Headers(Mapping[str, str]):
    """Response headers as the engine delivered them, looked up case-insensitively.

    Iteration yields the names with the case they had on the wire. The engine
    keeps the last value of a repeated name; names that differ only in letter
    case are distinct entries, and a lookup joins their values with ", ".
    """

    __slots__ = ("_raw", "_lower")

    def __init__(self, raw: Optional[Mapping[str, str]] = None) -> None:
        self._raw: Dict[str, str] = dict(raw) if raw is not None else {}
        self._lower: Optional[Dict[str, str]] = None

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

    def raw(self) -> Dict[str, str]:
        """A copy of the headers exactly as delivered (names in wire case)."""
        return dict(self._raw)

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


def _decode_deflate(data: bytes) -> bytes:
    # "deflate" is meant to be zlib-wrapped; some servers send a raw stream.
    try:
        return zlib.decompress(data)
    except zlib.error:
        return zlib.decompress(data, -zlib.MAX_WBITS)


def _decode_gzip(data: bytes) -> bytes:
    out = []
    while data:
        # A gzip body may be several members back to back.
        d = zlib.decompressobj(16 + zlib.MAX_WBITS)
        out.append(d.decompress(data))
        out.append(d.flush())
        if not d.eof:
            raise zlib.error("truncated gzip stream")
        data = d.unused_data
    return b"".join(out)


_DECODERS = {"gzip": _decode_gzip, "x-gzip": _decode_gzip, "deflate": _decode_deflate}


def decode_content(body: bytes, encoding: str) -> bytes:
    """Undo the Content-Encoding codings we know, last applied first.

    A coding we do not know (br, zstd) leaves the body as it came.
    """
    codings = [c.strip().lower() for c in encoding.split(",")]
    for coding in reversed(codings):
        if coding in ("", "identity"):
            continue
        decoder = _DECODERS.get(coding)
        if decoder is None:
            return body
        try:
            body = decoder(body)
        except zlib.error as exc:
            raise DecodingError(f"failed to decode {coding} response body: {exc}") from None
    return body


class Response:
    """An HTTP response.

    ``content`` is the body with any gzip or deflate Content-Encoding undone;
    ``headers`` are the headers as received (Content-Encoding included).
    """

    __slots__ = ("status_code", "headers", "content", "url", "history", "_elapsed", "_text")

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
    ) -> None:
        self.status_code = status_code
        self.headers = headers if isinstance(headers, Headers) else Headers(headers)
        self.content = content
        self.url = url
        self.history: List[Response] = history if history is not None else []
        self._elapsed = elapsed
        self._text: Optional[str] = None

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
        return 200 <= self.status_code < 300

    @property
    def is_redirect(self) -> bool:
        return self.status_code in (301, 302, 303, 307, 308) and "location" in self.headers

    def raise_for_status(self) -> Response:
        """Raise HTTPStatusError for a 4xx or 5xx status; otherwise return self."""
        code = self.status_code
        if 400 <= code < 600:
            kind = "Client error" if code < 500 else "Server error"
            raise HTTPStatusError(
                f"{kind} '{code} {self.reason_phrase}' for url '{self.url}'", response=self
            )
        return self

    def __repr__(self) -> str:
        return f"<Response [{self.status_code} {self.reason_phrase}]>"
