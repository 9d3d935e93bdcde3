"""The types the public signatures are written in, in one place.

Also the request options: the keywords every request method takes, written
once as a ``TypedDict`` that the methods take as ``**options``, so type
checkers and editors see each keyword and its type. At run time a
``**options`` signature accepts any keyword, so ``check_options`` refuses an
unknown one with the ``TypeError`` an explicit signature would raise.
"""

from __future__ import annotations

import os
import sys
from collections.abc import AsyncIterable, Iterable, Mapping
from http.cookiejar import CookieJar
from typing import IO, TYPE_CHECKING, Any, Callable, FrozenSet, Optional, Sequence, Tuple, TypedDict, Union

if sys.version_info >= (3, 11):
    from typing import Unpack
else:  # pragma: no cover - typing has Unpack from 3.11
    try:
        from typing_extensions import Unpack
    except ImportError:
        # Only annotations name it, and they are not evaluated: the package
        # still imports where the dependency was left out.
        Unpack = None  # type: ignore[assignment]

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
    "RequestOptions",
    "SyncRequestOptions",
    "TrustOptions",
    "ClientOptions",
    "OneOffOptions",
    "DownloadOptions",
    "OneOffDownloadOptions",
    "Unpack",
    "check_options",
    "keys_of",
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


class DownloadOptions(TypedDict, total=False):
    """The keywords of a request that has no body (``download``)."""

    params: Optional[QueryParams]
    headers: Optional[HeaderTypes]
    cookies: Optional[CookieTypes]
    auth: Optional[AuthTypes]
    follow_redirects: Optional[bool]
    timeout: Optional[float]
    max_response_size: Optional[int]


class _BodyOptions(DownloadOptions, total=False):
    data: Optional[RequestData]
    files: Optional[RequestFiles]
    json: Any


class RequestOptions(_BodyOptions, total=False):
    """The keywords of ``Client.request`` and its verbs."""

    content: Optional[RequestContent]


class SyncRequestOptions(_BodyOptions, total=False):
    """The keywords of ``SyncClient.request`` and its verbs: ``content`` may
    not be an async iterable."""

    content: Optional[SyncContent]


class TrustOptions(TypedDict, total=False):
    """What a one-off download passes on to the client it opens."""

    verify: Union[StrPath, bool]
    cert: Optional[CertTypes]


class ClientOptions(TrustOptions, total=False):
    """What a one-off request passes on to the client it opens (with
    ``max_response_size``)."""

    max_decoded_size: Optional[int]
    proxy: Optional[ProxyTypes]
    trust_env: bool
    uds: Optional[StrPath]


class OneOffOptions(SyncRequestOptions, ClientOptions, total=False):
    """The keywords of ``tarnix.request`` and its verbs."""


class OneOffDownloadOptions(DownloadOptions, TrustOptions, total=False):
    """The keywords of ``tarnix.download`` besides ``progress``."""


def keys_of(options: Any) -> FrozenSet[str]:
    return frozenset(options.__optional_keys__) | frozenset(options.__required_keys__)


def check_options(options: Mapping[str, Any], allowed: FrozenSet[str], name: str) -> None:
    """Raise the TypeError of an explicit signature for a keyword not in
    ``allowed``."""
    if not allowed.issuperset(options):
        unknown = next(key for key in options if key not in allowed)
        raise TypeError(f"{name}() got an unexpected keyword argument {unknown!r}")
