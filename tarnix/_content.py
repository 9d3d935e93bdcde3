"""Request bodies: ``content=``, ``data=``, ``files=`` and ``json=`` to bytes.

The engine sends a body whole, with a Content-Length, so iterables are
collected and files read before the request leaves.
"""

from __future__ import annotations

import json as _json
from collections.abc import AsyncIterable, Iterable, Mapping
from typing import Any, List, Optional, Tuple
from urllib.parse import urlencode

from ._multipart import encode_multipart, form_value
from ._types import RequestData, RequestFiles

__all__ = ["encode_body", "collect_async"]


def _collect(chunks: Iterable[Any]) -> bytes:
    out = []
    for chunk in chunks:
        if not isinstance(chunk, (bytes, bytearray, memoryview)):
            raise TypeError(f"content iterables must yield bytes, not {type(chunk).__name__}")
        out.append(bytes(chunk))
    return b"".join(out)


async def collect_async(chunks: AsyncIterable[Any]) -> bytes:
    """Gather an async iterable of bytes into one body."""
    out = []
    async for chunk in chunks:
        if not isinstance(chunk, (bytes, bytearray, memoryview)):
            raise TypeError(f"content iterables must yield bytes, not {type(chunk).__name__}")
        out.append(bytes(chunk))
    return b"".join(out)


def _content_bytes(content: Any) -> bytes:
    if isinstance(content, bytes):
        return content
    if isinstance(content, str):
        return content.encode("utf-8")
    if isinstance(content, (bytearray, memoryview)):
        return bytes(content)
    if isinstance(content, AsyncIterable):
        raise TypeError("an async iterable body needs tarnix.Client (the async client)")
    if isinstance(content, Iterable) and not isinstance(content, Mapping):
        return _collect(content)
    raise TypeError(f"content must be bytes, str or an iterable of bytes, not {type(content).__name__}")


def _form(data: Any) -> bytes:
    if not isinstance(data, Mapping):
        if isinstance(data, (bytes, str)):
            raise TypeError("data= takes a mapping of form fields; pass raw bytes or text as content=")
        raise TypeError(f"data must be a mapping, not {type(data).__name__}")
    pairs: List[Tuple[str, str]] = []
    for key, value in data.items():
        values = value if isinstance(value, (list, tuple)) else [value]
        pairs.extend((str(key), form_value(v)) for v in values)
    return urlencode(pairs).encode("ascii")


def _boundary(content_type: Optional[str]) -> Optional[str]:
    # A caller's own multipart Content-Type names the boundary to use.
    if not content_type or not content_type.lower().startswith("multipart/form-data"):
        return None
    for param in content_type.split(";")[1:]:
        key, _, value = param.partition("=")
        if key.strip().lower() == "boundary":
            return value.strip().strip('"') or None
    return None


def encode_body(
    content: Any = None,
    data: Optional[RequestData] = None,
    files: Optional[RequestFiles] = None,
    json: Any = None,
    content_type: Optional[str] = None,
) -> Tuple[bytes, Optional[str]]:
    """The body and the Content-Type it implies (None for raw content).

    ``content_type`` is the caller's own Content-Type header, if any.
    """
    given = (content is not None) + (data is not None or files is not None) + (json is not None)
    if given > 1:
        raise ValueError("pass only one of content, data/files or json")
    if content is not None:
        return _content_bytes(content), None
    if json is not None:
        body = _json.dumps(json, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
        return body, "application/json"
    if files:
        if data is not None and not isinstance(data, Mapping):
            raise TypeError("data= alongside files= must be a mapping of form fields")
        return encode_multipart(data, files, _boundary(content_type))
    if data is not None:
        return _form(data), "application/x-www-form-urlencoded"
    return b"", None
