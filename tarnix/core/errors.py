"""Exceptions raised for failed requests.

Each carries the engine's message unchanged, as ``str(exc)`` and as
``exc.message``.
"""

from __future__ import annotations

__all__ = ["Error", "TransportError", "ConnectError", "ProxyError", "TLSError", "ProtocolError"]


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
