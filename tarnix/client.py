"""``tarnix.Client``: the asyncio API over the native engine."""

from __future__ import annotations

import asyncio
import json as _json
import os
import re
from collections import deque
from collections.abc import Mapping
from time import perf_counter
from typing import Any, Deque, Dict, FrozenSet, List, Optional, Sequence, Set, Tuple, Union

from . import _tarnix
from ._errors import RedirectError, TimeoutError, TLSError, TooManyRedirects, TransportError
from ._models import Headers, Response, decode_content
from ._urls import URL, QueryParams, add_params, join_url, parse_url

__all__ = ["Client", "METHODS", "HeaderTypes", "DEFAULT_TIMEOUT"]

HeaderTypes = Union[Mapping[str, str], Sequence[Tuple[str, str]]]

#: The methods the engine can send, by the ordinal it takes.
METHODS: Dict[str, int] = {
    "GET": 0,
    "POST": 1,
    "PUT": 2,
    "PATCH": 3,
    "DELETE": 4,
    "HEAD": 5,
    "OPTIONS": 6,
}
_GET, _POST, _PUT, _PATCH, _HEAD = 0, 1, 2, 3, 5

DEFAULT_TIMEOUT = 30.0
DEFAULT_MAX_REDIRECTS = 20

_REDIRECT_CODES = frozenset((301, 302, 303, 307, 308))
_TOKEN = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+\Z")
# Headers the engine writes itself; a second copy from the caller would make
# the request ambiguous (two Host lines) or its framing contradictory.
_MANAGED = {
    "host": "the Host header is taken from the URL",
    "connection": "the engine manages connections (it always sends keep-alive)",
    "transfer-encoding": "request bodies are sent with a Content-Length",
}
# Names already checked, so that repeated names cost one set lookup.
_good_names: Set[str] = set()
# Parsed URLs by their text, for the common case of requests to a few URLs.
_url_cache: Dict[str, URL] = {}
_URL_CACHE_SIZE = 512

_UNSET: Any = object()

# The connection limit given to the engine. The client counts its live
# requests against max_connections itself and frees a slot as soon as a
# request is abandoned (timed out or cancelled), while the engine's thread
# keeps that connection until the server answers or closes. With the client's
# limit in the engine too, such connections would make live requests wait
# inside the engine, where nothing times out.
_ENGINE_LIMIT = 0x7FFFFFFF


def _bad_method(method: object) -> Tuple[str, int]:
    if isinstance(method, str):
        name = method.upper()
        ordinal = METHODS.get(name)
        if ordinal is not None:
            return name, ordinal
    raise ValueError(
        f"unsupported HTTP method {method!r}; the engine sends only {', '.join(METHODS)}"
    )


def _check_header(name: Any, value: Any) -> str:
    """Validate one caller header; return its value as a str."""
    if name not in _good_names:
        if not isinstance(name, str):
            raise TypeError(f"header names must be str, not {type(name).__name__}")
        if not _TOKEN.match(name):
            if any(c in name for c in "\r\n\0"):
                raise ValueError(f"header name {name!r} contains a CR, LF or NUL character")
            raise ValueError(f"invalid header name {name!r}: not an HTTP token")
        why = _MANAGED.get(name.lower())
        if why is not None:
            raise ValueError(f"the {name!r} header cannot be set: {why}")
        if len(_good_names) < 4096:
            _good_names.add(name)
    if type(value) is str:
        text: str = value
    elif isinstance(value, str):
        text = str(value)
    elif isinstance(value, (bytes, bytearray)):
        try:
            text = bytes(value).decode("ascii")
        except UnicodeDecodeError:
            raise ValueError(f"header {name!r}: bytes values must be ASCII") from None
    else:
        raise TypeError(f"header {name!r}: values must be str, not {type(value).__name__}")
    if "\r" in text or "\n" in text or "\0" in text:
        raise ValueError(f"header {name!r} value contains a CR, LF or NUL character")
    if not text.isascii():
        try:
            text.encode("utf-8")  # the engine sends values as UTF-8
        except UnicodeEncodeError:
            raise ValueError(f"header {name!r} value cannot be encoded as UTF-8") from None
    return text


def _header_items(headers: HeaderTypes) -> List[Tuple[str, str]]:
    items = headers.items() if isinstance(headers, Mapping) else headers
    out = []
    for item in items:
        try:
            name, value = item
        except (TypeError, ValueError):
            raise TypeError(f"headers must be a mapping or (name, value) pairs, got {item!r}") from None
        out.append((name, _check_header(name, value)))
    return out


def _find(headers: List[Tuple[str, str]], lower: str) -> Optional[str]:
    for name, value in headers:
        if name.lower() == lower:
            return value
    return None


def _without(headers: List[Tuple[str, str]], names: FrozenSet[str]) -> List[Tuple[str, str]]:
    return [h for h in headers if h[0].lower() not in names]


def _encode_content(content: Any) -> bytes:
    if isinstance(content, bytes):
        return content
    if isinstance(content, str):
        return content.encode("utf-8")
    if isinstance(content, (bytearray, memoryview)):
        return bytes(content)
    raise TypeError(f"content must be bytes or str, not {type(content).__name__}")


def _expire(current: List[Any], timeout: Optional[float]) -> None:
    # current[0] is what the request awaits now: its slot, then its response.
    future = current[0]
    if future is not None and not future.done():
        future.set_exception(TimeoutError(f"timed out after {timeout:g} seconds"))


def _check_timeout(timeout: Any) -> Optional[float]:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if not timeout > 0:
        raise ValueError(f"timeout must be positive, got {timeout!r}")
    return float(timeout)


class _Pool:
    """One origin's engine pool and its queue of requests beyond the limit.

    Requests beyond the connection limit wait here, on the event loop; a
    request leaves its slot when it ends or is abandoned, and never waits
    inside the engine. The engine itself keeps the pool alive while any
    request still runs on it, even after the client has closed.
    """

    __slots__ = ("capsule", "limit", "active", "waiters")

    def __init__(self, capsule: object, limit: int) -> None:
        self.capsule = capsule
        self.limit = limit
        self.active = 0
        self.waiters: Deque["asyncio.Future[None]"] = deque()

    async def wait_for_slot(self, loop: asyncio.AbstractEventLoop, current: Optional[List[Any]]) -> None:
        waiter: "asyncio.Future[None]" = loop.create_future()
        self.waiters.append(waiter)
        if current is not None:
            current[0] = waiter  # for the request's timer
        try:
            await waiter
        except BaseException:
            if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
                # The slot was handed over just as we were cancelled.
                self.release()
            else:
                try:
                    self.waiters.remove(waiter)
                except ValueError:
                    pass
            raise

    def release(self) -> None:
        waiters = self.waiters
        while waiters:
            waiter = waiters.popleft()
            if not waiter.done():
                waiter.set_result(None)  # the slot passes to the next in line
                return
        self.active -= 1


class Client:
    """An asynchronous HTTP/1.1 client.

    Use it as an async context manager::

        async with tarnix.Client() as client:
            r = await client.get("https://example.org/")
            print(r.status_code, r.text)

    The client keeps one engine pool per origin (scheme, host, port), made on
    first use and kept until :meth:`aclose`. A client belongs to the event
    loop it first runs a request on.

    :param headers: headers sent with every request (a request's own headers
        of the same name replace them).
    :param timeout: seconds a request may take, redirects included, before
        it fails with :class:`tarnix.TimeoutError`; ``None`` waits for ever.
        The engine has no time-outs of its own: a timed-out request's thread
        and connection stay busy until the server answers or closes, but no
        longer count against ``max_connections``.
    :param max_connections: the most requests in flight at once to one
        origin (requests beyond it queue).
    :param verify: path of a PEM file of trusted CA certificates for https;
        ``""`` (or ``True``) uses the system trust store. Certificate
        verification cannot be turned off.
    :param follow_redirects: follow 301, 302, 303, 307 and 308 responses.
    :param max_redirects: the most redirects followed in one request.
    """

    def __init__(
        self,
        *,
        headers: Optional[HeaderTypes] = None,
        timeout: Optional[float] = DEFAULT_TIMEOUT,
        max_connections: int = 100,
        verify: Union[str, "os.PathLike[str]", bool] = "",
        follow_redirects: bool = False,
        max_redirects: int = DEFAULT_MAX_REDIRECTS,
    ) -> None:
        if isinstance(max_connections, bool) or not isinstance(max_connections, int):
            raise TypeError("max_connections must be an int")
        if not 1 <= max_connections <= 0x7FFFFFFF:
            raise ValueError(f"max_connections must be at least 1, got {max_connections}")
        if isinstance(max_redirects, bool) or not isinstance(max_redirects, int) or max_redirects < 0:
            raise ValueError(f"max_redirects must be an int >= 0, got {max_redirects!r}")
        self._timeout = _check_timeout(timeout)
        self._max_connections = max_connections
        self._ca_path = self._ca_file(verify)
        self._follow_redirects = bool(follow_redirects)
        self._max_redirects = max_redirects

        base = _header_items(headers) if headers is not None else []
        names = {name.lower() for name, _ in base}
        if "content-length" in names:
            raise ValueError("Content-Length cannot be a default header")
        if "accept-encoding" not in names:
            base.append(("Accept-Encoding", "gzip, deflate"))
        self._base_headers: List[Tuple[str, str]] = base
        self._base_lower: List[str] = [name.lower() for name, _ in base]
        self._base_names: FrozenSet[str] = frozenset(self._base_lower)

        self._pools: Dict[Tuple[str, str, int], _Pool] = {}
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._closed = False

    @staticmethod
    def _ca_file(verify: Any) -> str:
        if verify is True or verify is None:
            return ""
        if verify is False:
            raise ValueError("certificate verification cannot be turned off; pass verify=<CA file> instead")
        path = os.fspath(verify)
        if not isinstance(path, str):
            raise TypeError("verify must be a path to a PEM file")
        if not path:
            return ""
        if not os.path.isfile(path):
            raise FileNotFoundError(2, "CA file not found", path)
        # The engine reads the file when a pool is made; pin it against chdir.
        return os.path.abspath(path)

    @property
    def headers(self) -> Dict[str, str]:
        """The default headers (Accept-Encoding included), as a copy."""
        return dict(self._base_headers)

    @property
    def timeout(self) -> Optional[float]:
        return self._timeout

    @property
    def is_closed(self) -> bool:
        return self._closed

    async def __aenter__(self) -> Client:
        if self._closed:
            raise RuntimeError("the client is closed")
        return self

    async def __aexit__(self, *exc_info: object) -> None:
        await self.aclose()

    async def aclose(self) -> None:
        """Release the client's pools. Requests still running keep theirs
        until they finish; new requests raise RuntimeError."""
        self._closed = True
        self._pools = {}

    def _bind(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.get_running_loop()
        if self._loop is not loop:
            if self._loop is not None and not self._loop.is_closed():
                raise RuntimeError("this Client is in use by another event loop")
            # A finished loop's pools carry its scheduling method: start over.
            self._loop = loop
            self._pools = {}
        return loop

    def _pool(self, url: URL) -> _Pool:
        pool = self._pools.get(url.origin)
        if pool is None:
            ca_path = self._ca_path if url.tls else ""
            try:
                capsule = _tarnix.pool_create(
                    url.host, url.port, url.tls, 0, _ENGINE_LIMIT, 0, 0, ca_path
                )
            except RuntimeError as exc:
                if ca_path:
                    raise TLSError(f"cannot load the CA file {ca_path!r}: {exc}") from exc
                raise
            assert self._loop is not None
            pool = self._pools[url.origin] = _Pool(capsule, self._max_connections)
        return pool

    async def _send(
        self,
        loop: asyncio.AbstractEventLoop,
        ordinal: int,
        url: URL,
        headers: List[Tuple[str, str]],
        body: bytes,
        deadline: Optional[float],
        timeout: Optional[float],
    ) -> Response:
        pool = self._pools.get(url.origin) or self._pool(url)
        if deadline is None:
            current = handle = None
        else:
            if deadline <= loop.time():
                raise TimeoutError(f"timed out after {timeout:g} seconds")
            # One timer for the whole request: the wait for a connection
            # slot, then the exchange.
            current = [None]
            handle = loop.call_at(deadline, _expire, current, timeout)
        try:
            if pool.active < pool.limit and not pool.waiters:
                pool.active += 1
            else:
                await pool.wait_for_slot(loop, current)
                if current is not None and deadline <= loop.time():  # type: ignore[operator]
                    # The slot came as the time ran out: send nothing.
                    pool.release()
                    raise TimeoutError(f"timed out after {timeout:g} seconds")
            try:
                future = loop.create_future()
                if current is not None:
                    current[0] = future
                start = perf_counter()
                try:
                    _tarnix.submit(pool.capsule, ordinal, url.target, headers, body, None, None, future, loop)
                except RuntimeError as exc:
                    # Out of threads, for one: nothing was sent.
                    raise TransportError(str(exc)) from exc
                raw = await future
            finally:
                pool.release()
        finally:
            if handle is not None:
                handle.cancel()
        elapsed = perf_counter() - start
        resp_headers = Headers._wrap(raw.headers)
        content = raw.body
        if content:
            coding = resp_headers._get_lower("content-encoding")
            if coding:
                content = decode_content(content, coding)
        return Response(raw.status, resp_headers, content, str(url), elapsed)

    async def request(
        self,
        method: str,
        url: Union[str, URL],
        *,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        content: Union[bytes, bytearray, memoryview, str, None] = None,
        json: Any = None,
        timeout: Optional[float] = _UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send one request and return its response.

        :param method: GET, POST, PUT, PATCH, DELETE, HEAD or OPTIONS; any
            other method raises ValueError.
        :param url: an absolute http or https URL.
        :param params: query parameters appended to the URL's query.
        :param headers: extra headers; they replace default headers of the
            same name.
        :param content: the body, as bytes or str (UTF-8).
        :param json: a value sent as a JSON body with Content-Type
            application/json (unless the headers set one).
        :param timeout: overrides the client's timeout for this request.
        :param follow_redirects: overrides the client's setting.
        :raises ValueError: for an unusable method, URL or header, before
            anything is sent.
        :raises tarnix.Error: when the request fails.
        """
        if self._closed:
            raise RuntimeError("the client is closed")
        ordinal = METHODS.get(method)
        if ordinal is None:
            method, ordinal = _bad_method(method)

        if params is None and type(url) is str:
            target = _url_cache.get(url)
            if target is None:
                target = parse_url(url)
                if len(_url_cache) >= _URL_CACHE_SIZE:
                    _url_cache.clear()
                _url_cache[url] = target
        else:
            target = parse_url(url)  # type: ignore[arg-type]
            if params is not None:
                target = add_params(target, params)

        if headers is None:
            hdrs = self._base_headers
            names = self._base_names
        else:
            own = _header_items(headers)
            own_names = {name.lower() for name, _ in own}
            hdrs = [h for h, low in zip(self._base_headers, self._base_lower) if low not in own_names]
            hdrs += own
            names = self._base_names | own_names

        body = b""
        extra: List[Tuple[str, str]] = []
        if json is not None:
            if content is not None:
                raise ValueError("pass either content or json, not both")
            body = _json.dumps(json, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
            if "content-type" not in names:
                extra.append(("Content-Type", "application/json"))
        elif content is not None:
            body = _encode_content(content)
        if "content-length" in names:
            given = _find(hdrs, "content-length")
            if given is None or given.strip() != str(len(body)):
                raise ValueError(
                    f"Content-Length {given!r} does not match the body's {len(body)} bytes"
                )
        elif not body and ordinal in (_POST, _PUT, _PATCH):
            # Servers expect a length on these methods even when it is zero.
            extra.append(("Content-Length", "0"))
        if target.authorization is not None and "authorization" not in names:
            extra.append(("Authorization", target.authorization))
        if extra:
            hdrs = hdrs + extra

        loop = self._loop
        if loop is None or loop is not asyncio.get_running_loop():
            loop = self._bind()
        if timeout is _UNSET:
            timeout = self._timeout
        elif timeout is not None:
            timeout = _check_timeout(timeout)
        deadline = None if timeout is None else loop.time() + timeout

        response = await self._send(loop, ordinal, target, hdrs, body, deadline, timeout)
        if response.status_code in _REDIRECT_CODES and (
            self._follow_redirects if follow_redirects is None else follow_redirects
        ):
            response = await self._follow(loop, response, ordinal, target, hdrs, body, deadline, timeout)
        return response

    async def _follow(
        self,
        loop: asyncio.AbstractEventLoop,
        response: Response,
        ordinal: int,
        url: URL,
        headers: List[Tuple[str, str]],
        body: bytes,
        deadline: Optional[float],
        timeout: Optional[float],
    ) -> Response:
        history: List[Response] = []
        while response.status_code in _REDIRECT_CODES:
            location = response.headers.get("location")
            if location is None:
                break
            if len(history) >= self._max_redirects:
                raise TooManyRedirects(f"exceeded the limit of {self._max_redirects} redirects")
            history.append(response)
            try:
                next_url = join_url(url, location.strip())
            except (ValueError, TypeError) as exc:
                raise RedirectError(f"cannot follow the redirect to {location!r}: {exc}") from None
            code = response.status_code
            # Browsers turn these into GETs without a body; 307 and 308 repeat
            # the request as it was.
            if (code == 303 and ordinal != _HEAD) or (code in (301, 302) and ordinal == _POST):
                ordinal = _GET
                body = b""
                headers = _without(headers, _BODY_HEADERS)
            if next_url.origin != url.origin and not _is_https_upgrade(url, next_url):
                headers = _without(headers, _CREDENTIAL_HEADERS)
            if next_url.authorization is not None and _find(headers, "authorization") is None:
                headers = headers + [("Authorization", next_url.authorization)]
            url = next_url
            response = await self._send(loop, ordinal, url, headers, body, deadline, timeout)
        response.history = history
        return response

    async def get(
        self,
        url: Union[str, URL],
        *,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        content: Union[bytes, bytearray, memoryview, str, None] = None,
        json: Any = None,
        timeout: Optional[float] = _UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send a GET request; the arguments are those of :meth:`request`."""
        return await self.request(
            "GET",
            url,
            params=params,
            headers=headers,
            content=content,
            json=json,
            timeout=timeout,
            follow_redirects=follow_redirects,
        )

    async def post(
        self,
        url: Union[str, URL],
        *,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        content: Union[bytes, bytearray, memoryview, str, None] = None,
        json: Any = None,
        timeout: Optional[float] = _UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send a POST request; the arguments are those of :meth:`request`."""
        return await self.request(
            "POST",
            url,
            params=params,
            headers=headers,
            content=content,
            json=json,
            timeout=timeout,
            follow_redirects=follow_redirects,
        )

    async def put(
        self,
        url: Union[str, URL],
        *,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        content: Union[bytes, bytearray, memoryview, str, None] = None,
        json: Any = None,
        timeout: Optional[float] = _UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send a PUT request; the arguments are those of :meth:`request`."""
        return await self.request(
            "PUT",
            url,
            params=params,
            headers=headers,
            content=content,
            json=json,
            timeout=timeout,
            follow_redirects=follow_redirects,
        )

    async def patch(
        self,
        url: Union[str, URL],
        *,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        content: Union[bytes, bytearray, memoryview, str, None] = None,
        json: Any = None,
        timeout: Optional[float] = _UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send a PATCH request; the arguments are those of :meth:`request`."""
        return await self.request(
            "PATCH",
            url,
            params=params,
            headers=headers,
            content=content,
            json=json,
            timeout=timeout,
            follow_redirects=follow_redirects,
        )

    async def delete(
        self,
        url: Union[str, URL],
        *,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        content: Union[bytes, bytearray, memoryview, str, None] = None,
        json: Any = None,
        timeout: Optional[float] = _UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send a DELETE request; the arguments are those of :meth:`request`."""
        return await self.request(
            "DELETE",
            url,
            params=params,
            headers=headers,
            content=content,
            json=json,
            timeout=timeout,
            follow_redirects=follow_redirects,
        )

    async def head(
        self,
        url: Union[str, URL],
        *,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        content: Union[bytes, bytearray, memoryview, str, None] = None,
        json: Any = None,
        timeout: Optional[float] = _UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send a HEAD request; the arguments are those of :meth:`request`."""
        return await self.request(
            "HEAD",
            url,
            params=params,
            headers=headers,
            content=content,
            json=json,
            timeout=timeout,
            follow_redirects=follow_redirects,
        )

    async def options(
        self,
        url: Union[str, URL],
        *,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        content: Union[bytes, bytearray, memoryview, str, None] = None,
        json: Any = None,
        timeout: Optional[float] = _UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send a OPTIONS request; the arguments are those of :meth:`request`."""
        return await self.request(
            "OPTIONS",
            url,
            params=params,
            headers=headers,
            content=content,
            json=json,
            timeout=timeout,
            follow_redirects=follow_redirects,
        )

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._pools)} pools"
        return f"<tarnix.Client {state}>"


_BODY_HEADERS = frozenset(("content-length", "content-type", "content-encoding"))
_CREDENTIAL_HEADERS = frozenset(("authorization", "proxy-authorization", "cookie"))


def _is_https_upgrade(old: URL, new: URL) -> bool:
    return (
        old.scheme == "http"
        and new.scheme == "https"
        and old.host == new.host
        and old.port == 80
        and new.port == 443
    )
