"""``tarnix.SyncClient``: the blocking API over the native engine.

No event loop is involved: the calling thread waits for its request inside
the engine with the GIL released and builds the outcome itself.
"""

from __future__ import annotations

import inspect
import os
import threading
import weakref
from collections.abc import Mapping
from time import monotonic, perf_counter
from typing import Any, Dict, List, Optional, Tuple, Union

from . import _engine
from ._auth import Auth
from ._base import UNSET, BaseClient, timed_out
from ._download import Destination, DownloadProgress
from ._exceptions import TransportError
from . import _keepalive
from ._keepalive import IdleConnections
from ._models import Request, Response
from ._proxy import Via
from ._types import AuthTypes, DownloadOptions, EventHook, StrPath, SyncRequestOptions, Unpack, check_options, keys_of
from ._urls import URL
from .core.http import _error

__all__ = ["SyncClient"]

_REQUEST_KEYS = keys_of(SyncRequestOptions)
_DOWNLOAD_KEYS = keys_of(DownloadOptions)


class _SyncPool:
    """One origin's engine pool and a semaphore for its limit of requests in
    flight; a request leaves its place when it ends or is abandoned."""

    __slots__ = ("capsule", "slots", "via", "keys", "active")

    def __init__(self, capsule: object, limit: int, via: Optional[Via] = None, key: Any = None) -> None:
        self.capsule = capsule
        self.slots = threading.Semaphore(limit)
        self.via = via  # the proxy or Unix socket it goes through
        self.keys = [key]  # where the origin map holds it
        self.active = 0  # requests using it, under the client's lock


# The clients of this process, to mend in a forked child: the threads that
# held their lock, their slots or their cookie jar's lock are not there.
_clients: "weakref.WeakSet[SyncClient]" = weakref.WeakSet()


def _after_fork() -> None:
    for client in list(_clients):
        client._after_fork()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork)


class SyncClient(BaseClient):
    """A blocking HTTP/1.1 client with the options and methods of
    :class:`tarnix.Client`, used in a ``with`` block::

        with tarnix.SyncClient() as client:
            r = client.get("https://example.org/")

    It needs no event loop and may be shared between threads: each call
    blocks only its own thread. Event hooks must be plain callables.
    """

    def _setup(self) -> None:
        self._pools: Dict[Tuple[str, str, int], _SyncPool] = {}
        self._pools_lock = threading.Lock()
        self._idle = IdleConnections(self._keepalive_expiry, self._max_keepalive, self._quiet, self._evict)
        self._sweep_due = False  # under the lock
        _clients.add(self)

    def _after_fork(self) -> None:
        # Only the forking thread exists here: whatever the others held would
        # never be given back. Their requests are not this process's.
        self._pools_lock = threading.Lock()
        for pool in self._pools.values():
            pool.slots = threading.Semaphore(self._max_connections)
            pool.active = 0
        self._sweep_due = False  # the sweep thread is gone too
        jar = self._cookies.jar
        if hasattr(jar, "_cookies_lock"):
            jar._cookies_lock = threading.RLock()

    def __enter__(self) -> SyncClient:
        if self._closed:
            raise RuntimeError("the client is closed")
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Release the client's pools. Requests still running keep theirs
        until they finish; new requests raise RuntimeError."""
        self._closed = True
        with self._pools_lock:
            self._pools = {}
            self._idle.clear()
            if self._sweep_due:
                _keepalive.sweep_thread.cancel(self)
                self._sweep_due = False

    def _pool(self, url: URL) -> _SyncPool:
        """The origin's pool, counted as in use (so it is not evicted) until
        _settled."""
        with self._pools_lock:
            pool = self._pools.get(url.origin)
            if pool is None:
                if self._closed:
                    raise RuntimeError("the client is closed")
                via = self._via(url)
                # Plain requests through one proxy share a pool: it is found
                # under the proxy's key, then under each origin's.
                key = url.origin if via is None else via.key(url)
                pool = self._pools.get(key)
                if pool is None:
                    pool = self._pools[key] = _SyncPool(self._make_pool(url, via), self._max_connections, via, key)
                if key != url.origin:
                    self._pools[url.origin] = pool
                    pool.keys.append(url.origin)
            pool.active += 1
            return pool

    # -- idle connections (under the lock, like the origin map) ------------

    def _settled(self, pool: _SyncPool) -> None:
        with self._pools_lock:
            pool.active -= 1
            if self._closed:
                return
            idle = self._idle
            idle.settled(pool)
            if idle.tracked and not self._sweep_due:
                delay = idle.first_delay()
                if delay is not None:
                    self._sweep_due = True
                    _keepalive.sweep_thread.schedule(self, delay)

    def _sweep(self) -> None:
        with self._pools_lock:
            self._sweep_due = False
            if self._closed:
                return
            delay = self._idle.sweep()
            if delay is not None:
                self._sweep_due = True
                _keepalive.sweep_thread.schedule(self, delay)

    @staticmethod
    def _quiet(pool: _SyncPool) -> bool:
        return not pool.active

    def _evict(self, pool: _SyncPool) -> None:
        for key in pool.keys:
            if self._pools.get(key) is pool:
                del self._pools[key]

    def _send(
        self,
        request: Request,
        deadline: Optional[float],
        timeout: Optional[float],
        max_response_size: Optional[int],
        wire: Optional[Tuple[int, List[Tuple[str, str]]]] = None,
        download: Optional[object] = None,
    ) -> Response:
        # A request straight from _build comes with what to submit.
        ordinal, headers = self._wire(request) if wire is None else wire
        url = request.url
        pool = self._pool(url)
        try:
            return self._exchange(pool, request, ordinal, headers, deadline, timeout, max_response_size, download)
        finally:
            self._settled(pool)

    def _exchange(
        self,
        pool: _SyncPool,
        request: Request,
        ordinal: int,
        headers: List[Tuple[str, str]],
        deadline: Optional[float],
        timeout: Optional[float],
        max_response_size: Optional[int],
        download: Optional[object],
    ) -> Response:
        url = request.url
        via = pool.via
        target = url.target if via is None else via.target(url)
        if via is not None:
            headers = via.wire(url, headers)
        if deadline is None:
            pool.slots.acquire()
        else:
            remaining = deadline - monotonic()
            if remaining <= 0 or not pool.slots.acquire(timeout=remaining):
                raise timed_out(timeout)
        try:
            start = perf_counter()
            try:
                outcome = _engine.submit_wait(
                    pool.capsule, ordinal, target, headers, request.content,
                    None if deadline is None else max(0.0, deadline - monotonic()),
                    max_response_size, download,
                )
            except RuntimeError as exc:
                # Out of threads, for one: nothing was sent.
                raise TransportError(str(exc)) from exc
            if outcome is None:
                # The engine stopped the request and closed its connection.
                raise timed_out(timeout)
        finally:
            pool.slots.release()
        status, raw_headers, body, kind, message = outcome
        if kind != 0:
            failure = _error(kind, message, status)
            raise failure if via is None else via.error(failure, url)
        if via is not None:
            via.check_status(status)
        return self._response(status, raw_headers, body, request, perf_counter() - start)

    def request(self, method: str, url: Union[str, URL], **options: Unpack[SyncRequestOptions]) -> Response:
        """Send one request and return its response; the arguments are those
        of :meth:`tarnix.Client.request` (content may not be an async
        iterable)."""
        check_options(options, _REQUEST_KEYS, "request")
        return self._request(method, url, options)

    def _request(self, method: str, url: Union[str, URL], options: Mapping[str, Any]) -> Response:
        if self._closed:
            raise RuntimeError("the client is closed")
        max_response_size = self._size_limit(options)
        get = options.get
        request, ordinal, wire = self._build(
            method, url, get("content"), get("data"), get("files"), get("json"), get("params"), get("headers"), get("cookies")
        )
        timeout, follow, auth_, needs_flow = self._request_options(options)
        deadline = None if timeout is None else monotonic() + timeout
        if not needs_flow:
            # The common case: one exchange, no flow to drive.
            return self._send(request, deadline, timeout, max_response_size, (ordinal, wire))
        return self._drive(request, auth_, follow, deadline, timeout, max_response_size)

    def send(
        self,
        request: Request,
        *,
        auth: Optional[AuthTypes] = UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send a request made by :meth:`build_request` (or by hand)."""
        if self._closed:
            raise RuntimeError("the client is closed")
        timeout = self._timeout
        deadline = None if timeout is None else monotonic() + timeout
        follow = self.follow_redirects if follow_redirects is None else follow_redirects
        return self._drive(request, self._request_auth(auth), follow, deadline, timeout, self.max_response_size)

    def _drive(
        self,
        request: Request,
        auth: Optional[Auth],
        follow_redirects: bool,
        deadline: Optional[float],
        timeout: Optional[float],
        max_response_size: Optional[int],
        download: Optional[object] = None,
    ) -> Response:
        flow = self._flow(request, auth, follow_redirects)
        try:
            req = next(flow)
            while True:
                for hook in self._request_hooks:
                    _call_hook(hook, req)
                response = self._send(req, deadline, timeout, max_response_size, None, download)
                for hook in self._response_hooks:
                    _call_hook(hook, response)
                req = flow.send(response)
        except StopIteration as stop:
            final: Response = stop.value
            return final
        finally:
            flow.close()

    def download(
        self,
        url: Union[str, URL],
        path: StrPath,
        *,
        progress: Optional[DownloadProgress] = None,
        **options: Unpack[DownloadOptions],
    ) -> Response:
        """GET ``url`` and save its body to the file ``path``; see
        :meth:`tarnix.Client.download`."""
        check_options(options, _DOWNLOAD_KEYS, "download")
        return self._download(url, path, progress, options)

    def _download(
        self, url: Union[str, URL], path: StrPath, progress: Optional[DownloadProgress], options: Mapping[str, Any]
    ) -> Response:
        if self._closed:
            raise RuntimeError("the client is closed")
        max_response_size = self._size_limit(options)
        get = options.get
        request, ordinal, wire = self._build("GET", url, None, None, None, None, get("params"), get("headers"), get("cookies"))
        timeout, follow, auth_, needs_flow = self._request_options(options)
        deadline = None if timeout is None else monotonic() + timeout
        destination = Destination(path, progress)
        try:
            if needs_flow:
                response = self._drive(
                    request, auth_, follow, deadline, timeout, max_response_size, destination.target
                )
            else:
                response = self._send(
                    request, deadline, timeout, max_response_size, (ordinal, wire), destination.target
                )
            destination.complete(response)
        except BaseException:
            destination.discard()
            raise
        finally:
            if progress is not None:
                progress._stop()
        return response

    def get(self, url: Union[str, URL], **options: Unpack[SyncRequestOptions]) -> Response:
        """Send a GET request; the arguments are those of :meth:`request`."""
        check_options(options, _REQUEST_KEYS, "get")
        return self._request("GET", url, options)

    def post(self, url: Union[str, URL], **options: Unpack[SyncRequestOptions]) -> Response:
        """Send a POST request; the arguments are those of :meth:`request`."""
        check_options(options, _REQUEST_KEYS, "post")
        return self._request("POST", url, options)

    def put(self, url: Union[str, URL], **options: Unpack[SyncRequestOptions]) -> Response:
        """Send a PUT request; the arguments are those of :meth:`request`."""
        check_options(options, _REQUEST_KEYS, "put")
        return self._request("PUT", url, options)

    def patch(self, url: Union[str, URL], **options: Unpack[SyncRequestOptions]) -> Response:
        """Send a PATCH request; the arguments are those of :meth:`request`."""
        check_options(options, _REQUEST_KEYS, "patch")
        return self._request("PATCH", url, options)

    def delete(self, url: Union[str, URL], **options: Unpack[SyncRequestOptions]) -> Response:
        """Send a DELETE request; the arguments are those of :meth:`request`."""
        check_options(options, _REQUEST_KEYS, "delete")
        return self._request("DELETE", url, options)

    def head(self, url: Union[str, URL], **options: Unpack[SyncRequestOptions]) -> Response:
        """Send a HEAD request; the arguments are those of :meth:`request`."""
        check_options(options, _REQUEST_KEYS, "head")
        return self._request("HEAD", url, options)

    def options(self, url: Union[str, URL], **options: Unpack[SyncRequestOptions]) -> Response:
        """Send an OPTIONS request; the arguments are those of :meth:`request`."""
        check_options(options, _REQUEST_KEYS, "options")
        return self._request("OPTIONS", url, options)

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._pools)} pools"
        return f"<tarnix.SyncClient {state}>"


def _call_hook(hook: EventHook, arg: Any) -> None:
    result = hook(arg)
    if inspect.isawaitable(result):
        if inspect.iscoroutine(result):
            result.close()  # never awaited: close it rather than warn later
        raise TypeError(f"SyncClient event hooks must be plain callables; {hook!r} returned an awaitable")
