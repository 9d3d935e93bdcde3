"""The exceptions a tarnix user can catch, all in one place.

Our exception hierarchy:

* Error
  + TransportError
    - ConnectError (also a built-in ConnectionError)
    - ProxyError
  + TLSError
  + ProtocolError
    - DecodingError
  + TimeoutError (also the built-in TimeoutError)
  + RedirectError
    - TooManyRedirects
  + HTTPStatusError

The engine's failures (transport, TLS, protocol) carry its message unchanged,
as ``str(exc)`` and as ``exc.message``; the others are raised by the client.
"""

from __future__ import annotations

import builtins
from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:  # pragma: no cover
    from ._models import Request, Response

__all__ = [
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
]


class Error(Exception):
    """Base class of every tarnix request failure."""

    def __init__(self, message: str = "") -> None:
        super().__init__(message)
        self.message = message


class TransportError(Error):
    """The connection could not be used: sending, reading, or memory."""


class ConnectError(TransportError, ConnectionError):
    """No connection could be opened: the host did not resolve or refused.

    Also a built-in ``ConnectionError``, so ``except ConnectionError`` catches it.
    """


class ProxyError(TransportError):
    """The proxy would not open a tunnel: it asked for credentials or
    refused them, refused the origin, closed, or did not answer in HTTP.

    ``status`` is the proxy's answer when it gave one (else 0).
    """

    status = 0


class TLSError(Error):
    """The TLS handshake or the certificate verification failed."""


class ProtocolError(Error):
    """The server's response could not be framed or decoded."""


class DecodingError(ProtocolError):
    """The body's Content-Encoding could not be decoded, or decoded past the
    client's ``max_decoded_size``."""


class TimeoutError(Error, builtins.TimeoutError):  # noqa: A001 - the public name users expect
    """The client's time limit passed before the response arrived.

    Also a built-in ``TimeoutError``, so ``except TimeoutError`` catches it.
    The request is stopped in the engine at once: its connection is closed
    and nothing more is read.
    """


class RedirectError(Error):
    """A redirect could not be followed (its Location is not a usable URL)."""


class TooManyRedirects(RedirectError):
    """More redirects than the client's ``max_redirects`` in one request."""


class HTTPStatusError(Error):
    """Raised by ``Response.raise_for_status()`` for a 4xx or 5xx status."""

    def __init__(self, message: str, *, request: Optional[Request] = None, response: Response) -> None:
        super().__init__(message)
        self.request = request
        self.response = response
