"""One-off blocking requests: ``tarnix.get(url)`` and friends.

Each call opens a :class:`tarnix.SyncClient` for itself and closes it after
the response, so nothing is kept between calls (connections included); use
a ``SyncClient`` for several requests.
"""

from __future__ import annotations

from typing import Any, Dict, Optional, Union, cast

from ._base import DEFAULT_TIMEOUT
from ._download import DownloadProgress
from ._models import Response
from ._sync import SyncClient
from ._types import (
    ClientOptions,
    OneOffDownloadOptions,
    OneOffOptions,
    StrPath,
    TrustOptions,
    Unpack,
    check_options,
    keys_of,
)
from ._urls import URL

__all__ = ["request", "get", "post", "put", "patch", "delete", "head", "options", "download"]

_REQUEST_KEYS = keys_of(OneOffOptions)
_DOWNLOAD_KEYS = keys_of(OneOffDownloadOptions)
# The response size limit goes to the client, like the other client options.
_CLIENT_KEYS = keys_of(ClientOptions) | {"max_response_size"}
_DOWNLOAD_CLIENT_KEYS = keys_of(TrustOptions) | {"max_response_size"}


def _split(options: Dict[str, Any], client_keys: Any) -> Dict[str, Any]:
    """Take the client's options out of ``options``; what is left gets the
    one-off defaults (no auth, no redirects, the default timeout)."""
    client = {key: options.pop(key) for key in client_keys if key in options}
    options.setdefault("auth", None)
    options.setdefault("follow_redirects", False)
    options.setdefault("timeout", DEFAULT_TIMEOUT)
    return client


def _one_off(method: str, url: Union[str, URL], options: Dict[str, Any], name: str) -> Response:
    check_options(options, _REQUEST_KEYS, name)
    with SyncClient(**_split(options, _CLIENT_KEYS)) as client:
        return client._request(method, url, options)


def request(method: str, url: Union[str, URL], **options: Unpack[OneOffOptions]) -> Response:
    """Send one request with a client of its own; the arguments are those
    of :meth:`tarnix.SyncClient.request`, with the client's ``verify``, ``cert``,
    ``max_decoded_size``, ``max_response_size``, ``proxy``, ``trust_env``
    and ``uds``."""
    return _one_off(method, url, cast(Dict[str, Any], options), "request")


def get(url: Union[str, URL], **options: Unpack[OneOffOptions]) -> Response:
    """Send a GET request with a client of its own (see :func:`request`)."""
    return _one_off("GET", url, cast(Dict[str, Any], options), "get")


def post(url: Union[str, URL], **options: Unpack[OneOffOptions]) -> Response:
    """Send a POST request with a client of its own (see :func:`request`)."""
    return _one_off("POST", url, cast(Dict[str, Any], options), "post")


def put(url: Union[str, URL], **options: Unpack[OneOffOptions]) -> Response:
    """Send a PUT request with a client of its own (see :func:`request`)."""
    return _one_off("PUT", url, cast(Dict[str, Any], options), "put")


def patch(url: Union[str, URL], **options: Unpack[OneOffOptions]) -> Response:
    """Send a PATCH request with a client of its own (see :func:`request`)."""
    return _one_off("PATCH", url, cast(Dict[str, Any], options), "patch")


def delete(url: Union[str, URL], **options: Unpack[OneOffOptions]) -> Response:
    """Send a DELETE request with a client of its own (see :func:`request`)."""
    return _one_off("DELETE", url, cast(Dict[str, Any], options), "delete")


def head(url: Union[str, URL], **options: Unpack[OneOffOptions]) -> Response:
    """Send a HEAD request with a client of its own (see :func:`request`)."""
    return _one_off("HEAD", url, cast(Dict[str, Any], options), "head")


def options(url: Union[str, URL], **kwargs: Unpack[OneOffOptions]) -> Response:
    """Send an OPTIONS request with a client of its own (see :func:`request`)."""
    return _one_off("OPTIONS", url, cast(Dict[str, Any], kwargs), "options")


def download(
    url: Union[str, URL],
    path: StrPath,
    *,
    progress: Optional[DownloadProgress] = None,
    **options: Unpack[OneOffDownloadOptions],
) -> Response:
    """Save the body of ``url`` to the file ``path`` with a client of its
    own; see :meth:`tarnix.Client.download`."""
    kwargs = cast(Dict[str, Any], options)
    check_options(kwargs, _DOWNLOAD_KEYS, "download")
    with SyncClient(**_split(kwargs, _DOWNLOAD_CLIENT_KEYS)) as client:
        return client._download(url, path, progress, kwargs)
