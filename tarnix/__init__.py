"""tarnix: an async HTTP/1.1 client with a native engine."""

from .core.errors import ConnectError, Error, ProtocolError, TLSError, TransportError

__all__ = ["Error", "TransportError", "ConnectError", "TLSError", "ProtocolError"]
