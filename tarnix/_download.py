"""Downloads to disk: what ``Client.download`` and ``SyncClient.download`` share.

The engine writes the body to a temporary file beside the destination as it
arrives; only a complete 2xx body is renamed into place. A body sent with a
Content-Encoding the client knows is then decoded, file to file, in steps of
bounded size, so memory stays flat whatever the size.
"""

from __future__ import annotations

import os
import secrets
import zlib
from typing import Any, BinaryIO, Callable, List, Optional, Tuple

from . import _engine
from ._decoders import _ERROR_TYPES, brotli, zstandard
from ._exceptions import DecodingError
from ._models import Response
from ._types import StrPath

__all__ = ["DownloadProgress", "DownloadLimit", "Destination"]


class DownloadLimit(int):
    """A download's ``max_response_size`` that also carries the engine's
    download object to each of its requests (redirect hops and auth steps
    too): the async client's request path takes it through unchanged, with
    no check or slot of its own for downloads."""

    into: object

    @classmethod
    def of(cls, limit: Optional[int], into: object) -> "DownloadLimit":
        # Beyond 64 bits is no limit to the engine.
        value = cls(1 << 64 if limit is None else limit)
        value.into = into
        return value

# Read and decoded in steps of this much.
_STEP = 1 << 20


class DownloadProgress:
    """How far a download has got, readable from any thread while it runs.

    Pass one as ``progress=`` to ``download()``; reading it takes no lock the
    download's I/O thread waits on.
    """

    __slots__ = ("_target", "_last")

    def __init__(self) -> None:
        self._target: Optional[object] = None
        self._last: Tuple[int, int] = (0, -1)

    def _read(self) -> Tuple[int, int]:
        target = self._target
        return self._last if target is None else _engine.download_progress(target)

    @property
    def num_bytes_downloaded(self) -> int:
        """Bytes of the body received so far, as sent (before any decoding),
        for the response being written (a redirect starts over)."""
        return self._read()[0]

    @property
    def total(self) -> Optional[int]:
        """The body's Content-Length, or None when the server did not send one."""
        total = self._read()[1]
        return None if total < 0 else total

    def _stop(self) -> None:
        if self._target is not None:
            self._last = _engine.download_progress(self._target)
            self._target = None


class Destination:
    """The file a download ends up in, and the temporary one beside it that
    the engine fills. Nothing is left behind unless ``complete`` succeeds."""

    __slots__ = ("path", "temp", "target", "dropped")

    def __init__(self, path: StrPath, progress: Optional[DownloadProgress]) -> None:
        final = os.fspath(path)
        if not isinstance(final, str) or not final:
            raise TypeError("the download path must be a str or os.PathLike[str]")
        # Pinned against chdir while the download runs.
        self.path = os.path.abspath(final)
        if os.path.isdir(self.path):
            raise IsADirectoryError(21, "the download path is a directory", self.path)
        self.dropped = False
        directory, name = os.path.split(self.path)
        # Beside the destination, so the rename stays on one file system; a
        # name of its own, hidden from most listings, and short enough for
        # any file system when the destination's name is at the limit.
        self.temp = os.path.join(directory, f".{name[:200]}.{secrets.token_hex(6)}.part")
        # Made here rather than in the engine: a missing directory or a
        # refused permission raises OSError at once, with its reason. The
        # mode respects the umask, as any new file's.
        os.close(os.open(self.temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666))
        try:
            self.target = _engine.download_new(self.temp)
        except BaseException:
            self.discard()
            raise
        if progress is not None:
            progress._target = self.target

    def discard(self) -> None:
        # The engine removes the file itself when the request fails; it may
        # be gone already.
        self.dropped = True
        try:
            os.remove(self.temp)
        except FileNotFoundError:
            pass

    def needs_decoding(self, response: Response) -> bool:
        return 200 <= response.status_code <= 299 and bool(_codings(response.headers.get("content-encoding", "")))

    def complete(self, response: Response) -> None:
        """Puts a 2xx body under the destination's name, decoded; any other
        response leaves nothing (the destination is not touched)."""
        if not 200 <= response.status_code <= 299:
            self.discard()
            return
        coding = _codings(response.headers.get("content-encoding", ""))
        if coding:
            decoded = self.temp + ".dec"
            try:
                with open(self.temp, "rb") as src, open(decoded, "xb") as out:
                    _decode(src, out, coding)
                os.replace(decoded, self.temp)
            except BaseException:
                try:
                    os.remove(decoded)
                except FileNotFoundError:
                    pass
                raise
        # Given up while decoding in a worker thread: nothing may appear.
        if self.dropped:
            self.discard()
            return
        os.replace(self.temp, self.path)


def _codings(value: str) -> List[str]:
    """The codings to undo, last applied first; none when one is unknown
    (the body is then kept as sent, as for a response in memory)."""
    codings = [c.strip().lower() for c in value.split(",")]
    codings = [c for c in reversed(codings) if c not in ("", "identity")]
    if any(c not in _READERS for c in codings):
        return []
    return codings


class _Inflater:
    """A zlib stream (gzip members back to back, zlib or raw deflate) read
    in bounded steps."""

    def __init__(self, src: Any, wbits: int, members: bool) -> None:
        self.src = src
        self.wbits = wbits
        self.members = members
        self.d = zlib.decompressobj(wbits)
        self.pending = b""
        self.started = False  # the first bytes tell a raw deflate stream

    def read(self, n: int) -> bytes:
        while True:
            if self.d.eof:
                # A gzip body may be several members back to back.
                rest = self.d.unused_data or (self.src.read(_STEP) if self.members else b"")
                if not (self.members and rest):
                    return b""
                self.d = zlib.decompressobj(self.wbits)
                self.pending = rest
            if not self.pending:
                self.pending = self.src.read(_STEP)
                if not self.pending:
                    raise zlib.error("truncated stream")
            if not self.started and self.wbits == zlib.MAX_WBITS and not _zlib_header(self.pending):
                # "deflate" is meant to be zlib-wrapped; some servers send a raw stream.
                self.wbits = -zlib.MAX_WBITS
                self.d = zlib.decompressobj(self.wbits)
            self.started = True
            out = self.d.decompress(self.pending, n)
            self.pending = self.d.unconsumed_tail
            if out:
                return out


def _zlib_header(data: bytes) -> bool:
    return len(data) < 2 or (data[0] & 0x0F == 8 and (data[0] << 8 | data[1]) % 31 == 0)


class _Unbrotli:
    def __init__(self, src: Any) -> None:
        self.src = src
        self.d = brotli.Decompressor()

    def read(self, n: int) -> bytes:
        while not self.d.is_finished():
            data = b""
            if self.d.can_accept_more_data():
                data = self.src.read(_STEP)
                if not data:
                    raise brotli.error("truncated stream")
            out: bytes = self.d.process(data, output_buffer_limit=n)
            if out:
                return out
            if not data and not self.d.is_finished() and not self.d.can_accept_more_data():
                raise brotli.error("decoder made no progress")
        return b""


class _Unzstd:
    """zstd frames back to back. The input goes in in small steps: one
    128 KiB block can come from four bytes, so a step of 512 bytes yields
    at most 16 MiB."""

    STEP = 512

    def __init__(self, src: Any) -> None:
        self.src = src
        self.d: Any = None  # None between frames
        self.buf = memoryview(b"")
        self.pos = 0

    def read(self, n: int) -> bytes:
        while True:
            if self.pos == len(self.buf):
                self.buf, self.pos = memoryview(self.src.read(_STEP)), 0
                if not self.buf:
                    if self.d is not None:
                        raise zstandard.ZstdError("truncated stream")
                    return b""
            if self.d is None:
                self.d = zstandard.ZstdDecompressor().decompressobj()
            step = self.buf[self.pos : self.pos + self.STEP]
            self.pos += len(step)
            out: bytes = self.d.decompress(step)
            if self.d.eof:
                # What was fed past the frame's end starts the next one.
                self.buf, self.pos = memoryview(self.d.unused_data + self.buf[self.pos :]), 0
                self.d = None
            if out:
                return out


_READERS: dict[str, Callable[[Any], Any]] = {
    "gzip": lambda src: _Inflater(src, 16 + zlib.MAX_WBITS, True),
    "x-gzip": lambda src: _Inflater(src, 16 + zlib.MAX_WBITS, True),
    "deflate": lambda src: _Inflater(src, zlib.MAX_WBITS, False),
}
if brotli is not None:
    _READERS["br"] = _Unbrotli
if zstandard is not None:
    _READERS["zstd"] = _Unzstd


def _decode(src: BinaryIO, out: BinaryIO, codings: List[str]) -> None:
    reader: Any = src
    for coding in codings:
        reader = _READERS[coding](reader)
    try:
        while True:
            chunk = reader.read(_STEP)
            if not chunk:
                return
            out.write(chunk)
    except _ERROR_TYPES as exc:
        raise DecodingError(f"failed to decode {', '.join(reversed(codings))} response body: {exc}") from None
