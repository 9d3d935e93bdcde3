"""``multipart/form-data`` bodies for ``files=`` (with ``data=`` fields).

The engine sends whole bodies, so every file is read into memory first.
"""

from __future__ import annotations

import mimetypes
import os
import re
import secrets
from collections.abc import Mapping
from typing import Any, Dict, Iterable, List, Optional, Tuple

from ._types import RequestFiles
from ._urls import primitive_text

__all__ = ["encode_multipart", "form_value"]

# In a quoted parameter, a quote or a line break would end the header early;
# browsers percent-encode them (and the other control characters).
_UNSAFE_PARAM = re.compile(r'[\x00-\x1f"]')
_HEADER_UNSAFE = re.compile(r"[\r\n\0]")


def _quote_param(value: str) -> str:
    return _UNSAFE_PARAM.sub(lambda m: f"%{ord(m.group()):02X}", value)


def form_value(value: Any) -> str:
    return primitive_text(value, "form values")


def _field_bytes(value: Any) -> bytes:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    return form_value(value).encode("utf-8")


def _read_file(name: str, value: Any) -> Tuple[Optional[str], bytes, Optional[str], Mapping[str, str]]:
    filename: Optional[str]
    content_type: Optional[str] = None
    headers: Mapping[str, str] = {}
    if isinstance(value, tuple):
        if not 2 <= len(value) <= 4:
            raise TypeError(
                f"files[{name!r}]: a tuple must be (filename, content[, content_type[, headers]])"
            )
        filename, content = value[0], value[1]
        if len(value) > 2:
            content_type = value[2]
        if len(value) > 3:
            headers = value[3]
        if filename is not None and not isinstance(filename, str):
            raise TypeError(f"files[{name!r}]: the filename must be a str or None")
    else:
        content = value
        path = getattr(value, "name", None)
        filename = os.path.basename(path) if isinstance(path, str) and path else "upload"
    if isinstance(content, (bytes, bytearray, memoryview)):
        data = bytes(content)
    elif isinstance(content, str):
        data = content.encode("utf-8")
    elif hasattr(content, "read"):
        read = content.read()  # whole: the engine takes whole bodies
        data = read.encode("utf-8") if isinstance(read, str) else bytes(read)
    else:
        raise TypeError(
            f"files[{name!r}]: content must be bytes, str or a file object, not {type(content).__name__}"
        )
    if content_type is None:
        guessed = mimetypes.guess_type(filename)[0] if filename else None
        content_type = guessed or "application/octet-stream"
    return filename, data, content_type, headers


def _pairs(fields: Any, what: str) -> Iterable[Tuple[Any, Any]]:
    if isinstance(fields, Mapping):
        return fields.items()
    if isinstance(fields, (list, tuple)):
        return fields
    raise TypeError(f"{what} must be a mapping or a list of (name, value) pairs, not {type(fields).__name__}")


def encode_multipart(
    data: Optional[Mapping[str, Any]],
    files: RequestFiles,
    boundary: Optional[str] = None,
) -> Tuple[bytes, str]:
    """The body and its Content-Type: the data fields first, then the files."""
    if boundary is None:
        boundary = secrets.token_hex(16)
    sep = f"--{boundary}\r\n".encode("ascii")
    parts: List[bytes] = []
    for name, value in _pairs(data or {}, "data"):
        name = str(name)
        values = value if isinstance(value, (list, tuple)) else [value]
        for item in values:
            parts += [
                sep,
                f'Content-Disposition: form-data; name="{_quote_param(name)}"\r\n\r\n'.encode("utf-8"),
                _field_bytes(item),
                b"\r\n",
            ]
    for name, value in _pairs(files, "files"):
        name = str(name)
        filename, content, content_type, extra = _read_file(name, value)
        head = f'Content-Disposition: form-data; name="{_quote_param(name)}"'
        if filename is not None:
            head += f'; filename="{_quote_param(filename)}"'
        lines: Dict[str, str] = {"Content-Type": content_type or "application/octet-stream"}
        lines.update(extra)
        for key, text in lines.items():
            if _HEADER_UNSAFE.search(f"{key}{text}"):
                raise ValueError(f"files[{name!r}]: header {key!r} contains a CR, LF or NUL character")
            head += f"\r\n{key}: {text}"
        parts += [sep, head.encode("utf-8"), b"\r\n\r\n", content, b"\r\n"]
    parts.append(f"--{boundary}--\r\n".encode("ascii"))
    return b"".join(parts), f"multipart/form-data; boundary={boundary}"
