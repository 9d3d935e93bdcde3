"""The types the public signatures are written in, in one place."""

from __future__ import annotations

import os
from collections.abc import AsyncIterable, Iterable, Mapping
from http.cookiejar import CookieJar
from typing import IO, TYPE_CHECKING, Any, Callable, Optional, Sequence, Tuple, Union

if TYPE_CHECKING:  # pragma: no cover
    from ._auth import Auth
    from ._cookies import Cookies
    from ._models import Request
    from ._proxy import Proxy

__all__ = [
    "AuthTypes",
    "CertTypes",
    "CookieTypes",
    "EventHook",
    "FileContent",
    "FileTypes",
    "HeaderTypes",
    "PrimitiveValue",
    "ProxyTypes",
    "QueryParams",
    "RequestContent",
    "RequestData",
    "RequestFiles",
    "StrPath",
    "SyncContent",
]

StrPath = Union[str, "os.PathLike[str]"]

HeaderTypes = Union[Mapping[str, str], Sequence[Tuple[str, str]]]

PrimitiveValue = Union[str, int, float, bool, None]
QueryParams = Union[
    Mapping[str, Union[PrimitiveValue, Sequence[PrimitiveValue]]],
    Sequence[Tuple[str, PrimitiveValue]],
    str,
]

CookieTypes = Union["Cookies", CookieJar, Mapping[str, str], Sequence[Tuple[str, str]]]

AuthTypes = Union[Tuple[Union[str, bytes], Union[str, bytes]], "Auth", Callable[["Request"], "Request"]]

ProxyTypes = Union[str, "Proxy"]

#: A client certificate, as httpx takes it: the path of one PEM file holding
#: the certificate and its key, a ``(certificate, key)`` pair of paths, or
#: ``(certificate, key, password)``.
CertTypes = Union[StrPath, Tuple[StrPath, Optional[StrPath]], Tuple[StrPath, Optional[StrPath], Optional[Union[str, bytes]]]]

#: An event hook: called with the request or the response; may be async
#: (awaited) on ``Client``.
EventHook = Callable[[Any], Any]

RequestContent = Union[str, bytes, bytearray, memoryview, Iterable[bytes], AsyncIterable[bytes]]
SyncContent = Union[str, bytes, bytearray, memoryview, Iterable[bytes]]
RequestData = Mapping[str, Any]

FileContent = Union[IO[bytes], IO[str], bytes, str]
FileTypes = Union[
    FileContent,
    Tuple[Optional[str], FileContent],
    Tuple[Optional[str], FileContent, Optional[str]],
    Tuple[Optional[str], FileContent, Optional[str], Mapping[str, str]],
]
RequestFiles = Union[Mapping[str, FileTypes], Sequence[Tuple[str, FileTypes]]]
