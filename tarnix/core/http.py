"""The hand-back point of the native engine.

The engine's I/O threads schedule ``_settle`` on the request's event loop
through ``loop.call_soon_threadsafe``; it runs on the loop's thread.
"""

from __future__ import annotations

from typing import Any, Dict

from .._exceptions import ConnectError, Error, ProtocolError, ProxyError, TLSError, TransportError

__all__ = ["Response"]

_CONNECT_MESSAGES = frozenset(("failed to resolve host", "connection failed"))
_PROXY_MESSAGES = frozenset(
    (
        "proxy requires authentication",
        "proxy refused the tunnel",
        "proxy closed the connection before the tunnel opened",
        "proxy sent a malformed answer to CONNECT",
    )
)


class Response:
    """A complete response as the engine delivered it."""

    __slots__ = ("status", "headers", "body")

    def __init__(self, status: int, headers: Dict[str, str], body: bytes) -> None:
        self.status = status
        self.headers = headers
        self.body = body

    def __repr__(self) -> str:
        return f"<Response [{self.status}] {len(self.body)} bytes>"


_new = object.__new__


def _error(kind: int, message: str, status: int = 0) -> Error:
    if kind == 1:
        if message in _CONNECT_MESSAGES:
            return ConnectError(message)
        if message in _PROXY_MESSAGES:
            exc = ProxyError(message)
            exc.status = status  # the proxy's answer, when it refused
            return exc
        return TransportError(message)
    if kind == 3:
        return TLSError(message)
    if kind == 4:
        return ProtocolError(message)
    # Not produced by the engine; never leave the future pending over it.
    return Error(message)


def _settle(
    future: Any, status: int, headers: Dict[str, str], body: bytes, kind: int, message: str
) -> None:
    if future.done():
        return
    if kind == 0:
        # Once per request on the loop's thread: fill the slots directly
        # rather than run __init__ in a frame of its own.
        response = _new(Response)
        response.status = status
        response.headers = headers
        response.body = body
        future.set_result(response)
    else:
        future.set_exception(_error(kind, message, status))
