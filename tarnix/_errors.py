"""The exceptions a tarnix user can catch.

The engine's failures arrive already typed (see ``tarnix.core.errors``); this
module adds the ones the client itself raises. Every class derives from
``tarnix.Error``. ``HTTPStatusError`` lives with the response it carries, in
``tarnix._models``.
"""

from __future__ import annotations

import builtins

from .core.errors import ConnectError, Error, ProtocolError, ProxyError, TLSError, TransportError

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
]


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
