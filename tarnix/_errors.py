"""The exceptions a tarnix user can catch.

The engine's failures arrive already typed (see ``tarnix.core.errors``); this
module adds the ones the client itself raises. Every class derives from
``tarnix.Error``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from .core.errors import ConnectError, Error, ProtocolError, TLSError, TransportError

if TYPE_CHECKING:
    from ._models import Response

__all__ = [
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
]


class DecodingError(ProtocolError):
    """The body's Content-Encoding (gzip or deflate) could not be decoded."""


class TimeoutError(Error):  # noqa: A001 - the public name users expect
    """The client's time limit passed before the response arrived.

    The engine itself never times out: the request's thread and connection
    stay busy until the server answers or closes, and that late answer is
    dropped.
    """


class RedirectError(Error):
    """A redirect could not be followed (its Location is not a usable URL)."""


class TooManyRedirects(RedirectError):
    """More redirects than the client's ``max_redirects`` in one request."""


class HTTPStatusError(Error):
    """Raised by ``Response.raise_for_status()`` for a 4xx or 5xx status."""

    def __init__(self, message: str, *, response: Response) -> None:
        super().__init__(message)
        self.response = response
