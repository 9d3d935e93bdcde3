"""Content-Encoding decoding, bounded in output size.

gzip and deflate always; br and zstd when the ``brotli`` or ``zstandard``
package is installed. Every decoder stops once its output passes the limit,
so a small compressed body cannot expand into gigabytes of memory.
"""

from __future__ import annotations

import importlib
import zlib
from typing import Any, Callable, Dict, List, Optional, Tuple, Type

from ._exceptions import DecodingError

__all__ = ["decode_content", "ACCEPT_ENCODING", "DEFAULT_MAX_DECODED_SIZE"]

#: The most bytes a response body may decode to, by default (64 MiB).
DEFAULT_MAX_DECODED_SIZE = 64 * 1024 * 1024


def _optional(name: str) -> Any:
    try:
        return importlib.import_module(name)
    except ImportError:  # an optional extra
        return None


brotli = _optional("brotli")
if brotli is not None:
    try:
        # Bounded output needs brotli 1.2; an older one cannot stop a bomb.
        brotli.Decompressor().process(b"", output_buffer_limit=1)
    except (TypeError, AttributeError):
        brotli = None
    except Exception:  # noqa: BLE001 - an empty input may be refused; the option exists
        pass
zstandard = _optional("zstandard")


class _TooLarge(Exception):
    pass


def _inflate(data: bytes, wbits: int, limit: int, members: bool) -> bytes:
    out: List[bytes] = []
    size = 0
    while True:
        d = zlib.decompressobj(wbits)
        pending = data
        while pending:
            chunk = d.decompress(pending, limit - size + 1)
            size += len(chunk)
            out.append(chunk)
            if size > limit:
                raise _TooLarge
            pending = d.unconsumed_tail
        if not d.eof:
            tail = d.flush()
            size += len(tail)
            out.append(tail)
            if size > limit:
                raise _TooLarge
            if not d.eof:
                raise zlib.error("truncated stream")
        data = d.unused_data
        # A gzip body may be several members back to back.
        if not (members and data):
            return b"".join(out)


def _gzip(data: bytes, limit: int) -> bytes:
    return _inflate(data, 16 + zlib.MAX_WBITS, limit, True)


def _deflate(data: bytes, limit: int) -> bytes:
    # "deflate" is meant to be zlib-wrapped; some servers send a raw stream.
    try:
        return _inflate(data, zlib.MAX_WBITS, limit, False)
    except zlib.error:
        return _inflate(data, -zlib.MAX_WBITS, limit, False)


def _brotli(data: bytes, limit: int) -> bytes:
    d = brotli.Decompressor()
    chunk = d.process(data, output_buffer_limit=limit + 1)
    out = [chunk]
    size = len(chunk)
    while size <= limit and not d.is_finished():
        if d.can_accept_more_data():
            raise brotli.error("truncated stream")
        # Output held back by the limit: take more, with no new input.
        chunk = d.process(b"", output_buffer_limit=limit - size + 1)
        if not chunk and not d.is_finished() and not d.can_accept_more_data():
            raise brotli.error("decoder made no progress")
        size += len(chunk)
        out.append(chunk)
    if size > limit:
        raise _TooLarge
    return b"".join(out)


def _zstd(data: bytes, limit: int) -> bytes:
    out: List[bytes] = []
    size = 0
    while data:
        d = zstandard.ZstdDecompressor().decompressobj()
        pos = 0
        while pos < len(data) and not d.eof:
            # One zstd block (a few input bytes at best) yields at most
            # 128 KiB, so input fed in steps of a 32768th of the room left
            # cannot overshoot the limit by much.
            step = max(16, (limit - size) >> 15)
            chunk = d.decompress(data[pos : pos + step])
            pos += step
            size += len(chunk)
            out.append(chunk)
            if size > limit:
                raise _TooLarge
        if not d.eof:
            raise zstandard.ZstdError("truncated stream")
        # Several frames back to back decode to their concatenation.
        data = d.unused_data + data[pos:]
    return b"".join(out)


_DECODERS: Dict[str, Callable[[bytes, int], bytes]] = {
    "gzip": _gzip,
    "x-gzip": _gzip,
    "deflate": _deflate,
}
_ERRORS: List[Type[BaseException]] = [zlib.error]
_accepted = ["gzip", "deflate"]
if brotli is not None:
    _DECODERS["br"] = _brotli
    _ERRORS.append(brotli.error)
    _accepted.append("br")
if zstandard is not None:
    _DECODERS["zstd"] = _zstd
    _ERRORS.append(zstandard.ZstdError)
    _accepted.append("zstd")
_ERROR_TYPES: Tuple[Type[BaseException], ...] = tuple(_ERRORS)

#: The default Accept-Encoding: only the codings this installation decodes.
ACCEPT_ENCODING = ", ".join(_accepted)


def decode_content(body: bytes, encoding: str, limit: Optional[int] = None) -> bytes:
    """Undo the Content-Encoding codings we know, last applied first.

    A coding we do not know leaves the body as it came. Each stage's output
    is held to ``limit`` bytes (default ``DEFAULT_MAX_DECODED_SIZE``); past
    it, DecodingError.
    """
    if limit is None:
        limit = DEFAULT_MAX_DECODED_SIZE
    codings = [c.strip().lower() for c in encoding.split(",")]
    for coding in reversed(codings):
        if coding in ("", "identity"):
            continue
        decoder = _DECODERS.get(coding)
        if decoder is None:
            return body
        try:
            body = decoder(body, limit)
        except _TooLarge:
            raise DecodingError(
                f"{coding} response body decodes to more than {limit} bytes (max_decoded_size)"
            ) from None
        except _ERROR_TYPES as exc:
            raise DecodingError(f"failed to decode {coding} response body: {exc}") from None
    return body
