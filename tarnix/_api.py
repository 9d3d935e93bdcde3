"""One-off blocking requests: ``tarnix.get(url)`` and friends.

Each call opens a :class:`tarnix.SyncClient` for itself and closes it after
the response, so nothing is kept between calls (connections included); use
a ``SyncClient`` for several requests.
"""

from __future__ import annotations

import os
from typing import Any, Optional, Union

from ._base import DEFAULT_TIMEOUT
from ._decoders import DEFAULT_MAX_DECODED_SIZE
from ._download import DownloadProgress
from ._models import Response
from ._sync import SyncClient
from ._types import AuthTypes, CertTypes, CookieTypes, HeaderTypes, ProxyTypes, QueryParams, RequestData, RequestFiles, StrPath, SyncContent
from ._urls import URL

__all__ = ["request", "get", "post", "put", "patch", "delete", "head", "options", "download"]


def request(
    method: str,
    url: Union[str, URL],
    *,
    content: Optional[SyncContent] = None,
    data: Optional[RequestData] = None,
    files: Optional[RequestFiles] = None,
    json: Any = None,
    params: Optional[QueryParams] = None,
    headers: Optional[HeaderTypes] = None,
    cookies: Optional[CookieTypes] = None,
    auth: Optional[AuthTypes] = None,
    follow_redirects: bool = False,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    verify: Union[str, "os.PathLike[str]", bool] = "",
    cert: Optional[CertTypes] = None,
    max_decoded_size: Optional[int] = DEFAULT_MAX_DECODED_SIZE,
    max_response_size: Optional[int] = None,
    proxy: Optional[ProxyTypes] = None,
    trust_env: bool = True,
    uds: Union[str, "os.PathLike[str]", None] = None,
) -> Response:
    """Send one request with a client of its own; the arguments are those
    of :meth:`tarnix.SyncClient.request`, with the client's ``verify``, ``cert``,
    ``max_decoded_size``, ``max_response_size``, ``proxy``, ``trust_env``
    and ``uds``."""
    with SyncClient(
        verify=verify, max_decoded_size=max_decoded_size, max_response_size=max_response_size, cert=cert,
        proxy=proxy, trust_env=trust_env, uds=uds,
    ) as client:
        return client.request(
            method,
            url,
            content=content,
            data=data,
            files=files,
            json=json,
            params=params,
            headers=headers,
            cookies=cookies,
            auth=auth,
            follow_redirects=follow_redirects,
            timeout=timeout,
        )


def get(
    url: Union[str, URL],
    *,
    content: Optional[SyncContent] = None,
    data: Optional[RequestData] = None,
    files: Optional[RequestFiles] = None,
    json: Any = None,
    params: Optional[QueryParams] = None,
    headers: Optional[HeaderTypes] = None,
    cookies: Optional[CookieTypes] = None,
    auth: Optional[AuthTypes] = None,
    follow_redirects: bool = False,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    verify: Union[str, "os.PathLike[str]", bool] = "",
    cert: Optional[CertTypes] = None,
    max_decoded_size: Optional[int] = DEFAULT_MAX_DECODED_SIZE,
    max_response_size: Optional[int] = None,
    proxy: Optional[ProxyTypes] = None,
    trust_env: bool = True,
    uds: Union[str, "os.PathLike[str]", None] = None,
) -> Response:
    """Send a GET request with a client of its own (see :func:`request`)."""
    return request(
        "GET",
        url,
        content=content,
        data=data,
        files=files,
        json=json,
        params=params,
        headers=headers,
        cookies=cookies,
        auth=auth,
        follow_redirects=follow_redirects,
        timeout=timeout,
        verify=verify,
        cert=cert,
        max_decoded_size=max_decoded_size,
        max_response_size=max_response_size,
        proxy=proxy,
        trust_env=trust_env,
        uds=uds,
    )


def post(
    url: Union[str, URL],
    *,
    content: Optional[SyncContent] = None,
    data: Optional[RequestData] = None,
    files: Optional[RequestFiles] = None,
    json: Any = None,
    params: Optional[QueryParams] = None,
    headers: Optional[HeaderTypes] = None,
    cookies: Optional[CookieTypes] = None,
    auth: Optional[AuthTypes] = None,
    follow_redirects: bool = False,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    verify: Union[str, "os.PathLike[str]", bool] = "",
    cert: Optional[CertTypes] = None,
    max_decoded_size: Optional[int] = DEFAULT_MAX_DECODED_SIZE,
    max_response_size: Optional[int] = None,
    proxy: Optional[ProxyTypes] = None,
    trust_env: bool = True,
    uds: Union[str, "os.PathLike[str]", None] = None,
) -> Response:
    """Send a POST request with a client of its own (see :func:`request`)."""
    return request(
        "POST",
        url,
        content=content,
        data=data,
        files=files,
        json=json,
        params=params,
        headers=headers,
        cookies=cookies,
        auth=auth,
        follow_redirects=follow_redirects,
        timeout=timeout,
        verify=verify,
        cert=cert,
        max_decoded_size=max_decoded_size,
        max_response_size=max_response_size,
        proxy=proxy,
        trust_env=trust_env,
        uds=uds,
    )


def put(
    url: Union[str, URL],
    *,
    content: Optional[SyncContent] = None,
    data: Optional[RequestData] = None,
    files: Optional[RequestFiles] = None,
    json: Any = None,
    params: Optional[QueryParams] = None,
    headers: Optional[HeaderTypes] = None,
    cookies: Optional[CookieTypes] = None,
    auth: Optional[AuthTypes] = None,
    follow_redirects: bool = False,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    verify: Union[str, "os.PathLike[str]", bool] = "",
    cert: Optional[CertTypes] = None,
    max_decoded_size: Optional[int] = DEFAULT_MAX_DECODED_SIZE,
    max_response_size: Optional[int] = None,
    proxy: Optional[ProxyTypes] = None,
    trust_env: bool = True,
    uds: Union[str, "os.PathLike[str]", None] = None,
) -> Response:
    """Send a PUT request with a client of its own (see :func:`request`)."""
    return request(
        "PUT",
        url,
        content=content,
        data=data,
        files=files,
        json=json,
        params=params,
        headers=headers,
        cookies=cookies,
        auth=auth,
        follow_redirects=follow_redirects,
        timeout=timeout,
        verify=verify,
        cert=cert,
        max_decoded_size=max_decoded_size,
        max_response_size=max_response_size,
        proxy=proxy,
        trust_env=trust_env,
        uds=uds,
    )


def patch(
    url: Union[str, URL],
    *,
    content: Optional[SyncContent] = None,
    data: Optional[RequestData] = None,
    files: Optional[RequestFiles] = None,
    json: Any = None,
    params: Optional[QueryParams] = None,
    headers: Optional[HeaderTypes] = None,
    cookies: Optional[CookieTypes] = None,
    auth: Optional[AuthTypes] = None,
    follow_redirects: bool = False,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    verify: Union[str, "os.PathLike[str]", bool] = "",
    cert: Optional[CertTypes] = None,
    max_decoded_size: Optional[int] = DEFAULT_MAX_DECODED_SIZE,
    max_response_size: Optional[int] = None,
    proxy: Optional[ProxyTypes] = None,
    trust_env: bool = True,
    uds: Union[str, "os.PathLike[str]", None] = None,
) -> Response:
    """Send a PATCH request with a client of its own (see :func:`request`)."""
    return request(
        "PATCH",
        url,
        content=content,
        data=data,
        files=files,
        json=json,
        params=params,
        headers=headers,
        cookies=cookies,
        auth=auth,
        follow_redirects=follow_redirects,
        timeout=timeout,
        verify=verify,
        cert=cert,
        max_decoded_size=max_decoded_size,
        max_response_size=max_response_size,
        proxy=proxy,
        trust_env=trust_env,
        uds=uds,
    )


def delete(
    url: Union[str, URL],
    *,
    content: Optional[SyncContent] = None,
    data: Optional[RequestData] = None,
    files: Optional[RequestFiles] = None,
    json: Any = None,
    params: Optional[QueryParams] = None,
    headers: Optional[HeaderTypes] = None,
    cookies: Optional[CookieTypes] = None,
    auth: Optional[AuthTypes] = None,
    follow_redirects: bool = False,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    verify: Union[str, "os.PathLike[str]", bool] = "",
    cert: Optional[CertTypes] = None,
    max_decoded_size: Optional[int] = DEFAULT_MAX_DECODED_SIZE,
    max_response_size: Optional[int] = None,
    proxy: Optional[ProxyTypes] = None,
    trust_env: bool = True,
    uds: Union[str, "os.PathLike[str]", None] = None,
) -> Response:
    """Send a DELETE request with a client of its own (see :func:`request`)."""
    return request(
        "DELETE",
        url,
        content=content,
        data=data,
        files=files,
        json=json,
        params=params,
        headers=headers,
        cookies=cookies,
        auth=auth,
        follow_redirects=follow_redirects,
        timeout=timeout,
        verify=verify,
        cert=cert,
        max_decoded_size=max_decoded_size,
        max_response_size=max_response_size,
        proxy=proxy,
        trust_env=trust_env,
        uds=uds,
    )


def head(
    url: Union[str, URL],
    *,
    content: Optional[SyncContent] = None,
    data: Optional[RequestData] = None,
    files: Optional[RequestFiles] = None,
    json: Any = None,
    params: Optional[QueryParams] = None,
    headers: Optional[HeaderTypes] = None,
    cookies: Optional[CookieTypes] = None,
    auth: Optional[AuthTypes] = None,
    follow_redirects: bool = False,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    verify: Union[str, "os.PathLike[str]", bool] = "",
    cert: Optional[CertTypes] = None,
    max_decoded_size: Optional[int] = DEFAULT_MAX_DECODED_SIZE,
    max_response_size: Optional[int] = None,
    proxy: Optional[ProxyTypes] = None,
    trust_env: bool = True,
    uds: Union[str, "os.PathLike[str]", None] = None,
) -> Response:
    """Send a HEAD request with a client of its own (see :func:`request`)."""
    return request(
        "HEAD",
        url,
        content=content,
        data=data,
        files=files,
        json=json,
        params=params,
        headers=headers,
        cookies=cookies,
        auth=auth,
        follow_redirects=follow_redirects,
        timeout=timeout,
        verify=verify,
        cert=cert,
        max_decoded_size=max_decoded_size,
        max_response_size=max_response_size,
        proxy=proxy,
        trust_env=trust_env,
        uds=uds,
    )


def options(
    url: Union[str, URL],
    *,
    content: Optional[SyncContent] = None,
    data: Optional[RequestData] = None,
    files: Optional[RequestFiles] = None,
    json: Any = None,
    params: Optional[QueryParams] = None,
    headers: Optional[HeaderTypes] = None,
    cookies: Optional[CookieTypes] = None,
    auth: Optional[AuthTypes] = None,
    follow_redirects: bool = False,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    verify: Union[str, "os.PathLike[str]", bool] = "",
    cert: Optional[CertTypes] = None,
    max_decoded_size: Optional[int] = DEFAULT_MAX_DECODED_SIZE,
    max_response_size: Optional[int] = None,
    proxy: Optional[ProxyTypes] = None,
    trust_env: bool = True,
    uds: Union[str, "os.PathLike[str]", None] = None,
) -> Response:
    """Send an OPTIONS request with a client of its own (see :func:`request`)."""
    return request(
        "OPTIONS",
        url,
        content=content,
        data=data,
        files=files,
        json=json,
        params=params,
        headers=headers,
        cookies=cookies,
        auth=auth,
        follow_redirects=follow_redirects,
        timeout=timeout,
        verify=verify,
        cert=cert,
        max_decoded_size=max_decoded_size,
        max_response_size=max_response_size,
        proxy=proxy,
        trust_env=trust_env,
        uds=uds,
    )


def download(
    url: Union[str, URL],
    path: StrPath,
    *,
    params: Optional[QueryParams] = None,
    headers: Optional[HeaderTypes] = None,
    cookies: Optional[CookieTypes] = None,
    auth: Optional[AuthTypes] = None,
    follow_redirects: bool = False,
    timeout: Optional[float] = DEFAULT_TIMEOUT,
    verify: Union[str, "os.PathLike[str]", bool] = "",
    cert: Optional[CertTypes] = None,
    max_response_size: Optional[int] = None,
    progress: Optional[DownloadProgress] = None,
) -> Response:
    """Save the body of ``url`` to the file ``path`` with a client of its
    own; see :meth:`tarnix.Client.download`."""
    with SyncClient(verify=verify, cert=cert, max_response_size=max_response_size) as client:
        return client.download(
            url,
            path,
            params=params,
            headers=headers,
            cookies=cookies,
            auth=auth,
            follow_redirects=follow_redirects,
            timeout=timeout,
            progress=progress,
        )
