"""tarnix: a fast async HTTP/1.1 client for Python with a native engine.

::

    import asyncio, tarnix

    async def main():
        async with tarnix.Client() as client:
            r = await client.get("https://example.org/")
            r.raise_for_status()
            print(r.status_code, r.headers["content-type"], len(r.content))

    asyncio.run(main())
"""

from ._errors import (
    ConnectError,
    DecodingError,
    Error,
    HTTPStatusError,
    ProtocolError,
    RedirectError,
    TimeoutError,
    TLSError,
    TooManyRedirects,
    TransportError,
)
from ._models import Headers, Response
from ._urls import URL
from .client import METHODS, Client

__version__ = "0.1.0"

__all__ = [
    "Client",
    "Response",
    "Headers",
    "URL",
    "METHODS",
    "Error",
    "TransportError",
    "ConnectError",
    "TLSError",
    "ProtocolError",
    "DecodingError",
    "TimeoutError",
    "RedirectError",
    "TooManyRedirects",
    "HTTPStatusError",
    "__version__",
]
