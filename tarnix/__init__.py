"""tarnix: a fast async HTTP/1.1 client for Python with a native engine.

::

    import asyncio, tarnix

    async def main():
        async with tarnix.Client() as client:
            r = await client.get("https://example.org/")
            r.raise_for_status()
            print(r.status_code, r.headers["content-type"], len(r.content))

    asyncio.run(main())

Without an event loop: ``tarnix.get(url)``, or ``with tarnix.SyncClient() as
client: client.get(url)``.
"""

from . import _engine  # noqa: F401  (first: says what to do when the engine is not built)
from ._api import delete, download, get, head, options, patch, post, put, request
from ._auth import Auth, BasicAuth, DigestAuth, FunctionAuth
from ._cookies import Cookies
from ._decoders import DEFAULT_MAX_DECODED_SIZE
from ._download import DownloadProgress
from ._exceptions import (
    ConnectError,
    DecodingError,
    Error,
    HTTPStatusError,
    ProtocolError,
    ProxyError,
    RedirectError,
    TimeoutError,
    TLSError,
    TooManyRedirects,
    TransportError,
)
from ._models import METHODS, Headers, Request, Response
from ._proxy import Proxy
from ._sync import SyncClient
from ._urls import URL
from .client import Client

__version__ = "0.1.0"

__all__ = [
    "Client",
    "SyncClient",
    "request",
    "get",
    "post",
    "put",
    "patch",
    "delete",
    "head",
    "options",
    "download",
    "DownloadProgress",
    "Request",
    "Response",
    "Headers",
    "Cookies",
    "URL",
    "Proxy",
    "METHODS",
    "Auth",
    "BasicAuth",
    "DigestAuth",
    "FunctionAuth",
    "DEFAULT_MAX_DECODED_SIZE",
    "Error",
    "TransportError",
    "ConnectError",
    "ProxyError",
    "TLSError",
    "ProtocolError",
    "DecodingError",
    "TimeoutError",
    "RedirectError",
    "TooManyRedirects",
    "HTTPStatusError",
    "__version__",
]
