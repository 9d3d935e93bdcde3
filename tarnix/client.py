"""``tarnix.Client``: the asyncio API over the native engine."""

from __future__ import annotations

import asyncio
import inspect
import os
from collections import deque
from collections.abc import AsyncIterable
from http.cookiejar import CookieJar
from threading import Thread, get_ident
from time import get_clock_info, monotonic, perf_counter
from typing import Any, Callable, Coroutine, Deque, Dict, Generator, List, Optional, Protocol, Tuple, Union

from . import _engine
from ._base import _BODY_METHODS, DEFAULT_TIMEOUT, UNSET, BaseClient, _url_cache, timed_out
from ._content import collect_async
from ._download import Destination, DownloadLimit, DownloadProgress
from ._exceptions import TimeoutError, TransportError
from ._keepalive import IdleConnections
from ._models import METHODS, Request, Response
from ._proxy import Via
from ._types import AuthTypes, DownloadOptions, HeaderTypes, RequestOptions, StrPath, Unpack, check_options, keys_of
from ._urls import URL

_new = object.__new__

__all__ = ["Client", "METHODS", "HeaderTypes", "DEFAULT_TIMEOUT"]


# Forks so far in this process's line: a loop copied into a child by fork
# does not run there, though the forking thread's id carries over.
_forks = 0


def _after_fork() -> None:
    global _forks
    _forks += 1


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_after_fork)

# How early the loop may run a timer (what it adds to its clock when it picks
# the timers that are due).
_CLOCK_SLACK = get_clock_info("monotonic").resolution


def _expire(current: List[Any]) -> None:
    # current: [what the request awaits now (its slot, then its response),
    # its deadline, its time limit].
    future = current[0]
    if future is not None and not future.done():
        future.set_exception(timed_out(current[2]))


class _Deadlines:
    """The time limits of a loop's requests under one loop timer.

    Requests join in order of their deadlines (with one time limit for all,
    the order they start in), so the first one is always the next due and
    the timer only ever waits for it; a request that ends leaves at once.
    A request whose deadline would come before the last one's gets its own
    timer instead. Per request this is a dict insertion and deletion rather
    than a timer handle, a heap push and a cancelled handle left in the heap.
    """

    __slots__ = ("loop", "entries", "last", "handle", "at")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.entries: Dict[int, List[Any]] = {}
        self.last = float("-inf")
        self.handle: Optional[asyncio.TimerHandle] = None
        self.at = float("inf")  # when the handle fires

    def arm(self, deadline: float) -> None:
        if self.handle is not None:
            self.handle.cancel()
        self.handle = self.loop.call_at(deadline, self._fire)
        self.at = deadline

    def add(self, current: List[Any]) -> bool:
        """Put a request under the shared timer when its deadline comes no
        earlier than the last one's; False: it needs a timer of its own."""
        deadline = current[1]
        if deadline < self.last and self.entries:
            return False
        self.last = deadline
        self.entries[id(current)] = current
        if self.handle is None or deadline < self.at:
            # With no request left, the timer may still be set for a later
            # deadline than this one.
            self.arm(deadline)
        return True

    def _fire(self) -> None:
        self.handle = None
        entries = self.entries
        due = self.loop.time() + _CLOCK_SLACK
        while entries:
            key = next(iter(entries))
            current = entries[key]
            if current[1] > due:
                self.arm(current[1])
                return
            del entries[key]
            _expire(current)


def _set_done(future: "asyncio.Future[None]") -> None:
    if not future.done():
        future.set_result(None)


class _Pool:
    """One origin's engine pool and its queue of requests beyond the limit.

    Requests beyond the connection limit wait here, on the event loop; a
    request leaves its slot when it ends or is abandoned, and never waits
    inside the engine. The engine itself keeps the pool alive while any
    request still runs on it, even after the client has closed.
    """

    __slots__ = ("capsule", "limit", "active", "waiters", "via", "keys")

    def __init__(self, capsule: object, limit: int, via: Optional[Via] = None, key: Any = None) -> None:
        self.capsule = capsule
        self.limit = limit
        self.active = 0
        self.waiters: Deque["asyncio.Future[None]"] = deque()
        self.via = via  # the proxy or Unix socket it goes through
        self.keys = [key]  # where the origin map holds it

    def release(self) -> None:
        waiters = self.waiters
        while waiters:
            waiter = waiters.popleft()
            if not waiter.done():
                waiter.set_result(None)  # the slot passes to the next in line
                return
        self.active -= 1

    def leave_line(self, waiter: "asyncio.Future[None]") -> None:
        """A request that waited for a slot was cancelled or timed out."""
        if waiter.done() and not waiter.cancelled() and waiter.exception() is None:
            # The slot was handed over just as it gave up.
            self.release()
        else:
            try:
                self.waiters.remove(waiter)
            except ValueError:
                pass


async def _run_hooks(hooks: List[Callable[[Any], Any]], arg: Any) -> None:
    for hook in hooks:
        result = hook(arg)
        if inspect.isawaitable(result):
            await result


class _Verb(Protocol):
    """What request() does for one method, bound to a client."""

    def __call__(self, url: Union[str, URL], **options: Unpack[RequestOptions]) -> Coroutine[Any, Any, Response]: ...


# Options (besides a body of bytes) that change what _build makes of a
# request, and those that may ask for the flow rather than one plain exchange.
_SHAPING_KEYS = frozenset(("data", "files", "json", "params", "headers", "cookies"))
_FLOW_KEYS = frozenset(("auth", "follow_redirects", "timeout"))
_REQUEST_KEYS = keys_of(RequestOptions)
_DOWNLOAD_KEYS = keys_of(DownloadOptions)


def _exchange(method: Any) -> Any:
    """The coroutine function that builds a request for one method and sends
    it: one plain exchange (``Client._send``) or the flow (``Client._drive``),
    as ``SyncClient.request`` does.

    Awaiting ``_send`` costs a second frame per request; taking the options
    as one dict, usually empty, rather than eleven bound defaults pays for
    it (instruction counts per request in the commit that split it).
    """

    # The method's ordinal when a request with no headers or parameters and
    # a body of plain bytes needs nothing added for it; without a body, the
    # methods that take one still need a zero Content-Length.
    bare = METHODS.get(method) if type(method) is str else None
    bodyless = bare is not None and method not in _BODY_METHODS
    name = method.lower() if bare is not None else "request"

    async def request(self: Client, url: Any, **options: Any) -> Response:
        if self._closed:
            raise RuntimeError("the client is closed")
        raw: Any  # the cached URL of a bare request
        if options:
            check_options(options, _REQUEST_KEYS, name)
            limit = self._size_limit(options)
            content = options.get("content")
            plain = _SHAPING_KEYS.isdisjoint(options) and (
                (content is None and bodyless) or (type(content) is bytes and len(content) > 0)
            )
        else:
            content = None
            plain = bodyless
            limit = self.max_response_size
        if (
            plain
            and bare is not None
            and type(url) is str
            and not self._base_url
            and self._params is None
            and (raw := _url_cache.get(url)) is not None
            and raw.authorization is None
        ):
            # A bare request to a URL seen before: what _build makes of it
            # (the default headers as built once; the engine adds the
            # body's length), without its checks.
            request = _new(Request)
            request._headers = self._base_raw
            request.method = method
            request.url = raw
            request.content = b"" if content is None else content
            ordinal = bare
            wire = self._base_wire
        else:
            if content is not None and isinstance(content, AsyncIterable):
                content = await collect_async(content)
            get = options.get
            request, ordinal, wire = self._build(
                method, url, content, get("data"), get("files"), get("json"), get("params"), get("headers"), get("cookies")
            )
        # asyncio.get_running_loop() makes a getpid system call on every
        # call. The client's loop is the running one when it runs in this
        # thread (a thread runs one loop at a time) and no fork came since.
        loop = self._loop
        if loop is None or getattr(loop, "_thread_id", None) != get_ident() or self._bound_forks != _forks:
            loop = self._bind()
        if (
            (options and not _FLOW_KEYS.isdisjoint(options))
            or self._auth is not None
            or self.follow_redirects
            or self._request_hooks
            or self._response_hooks
            or (
                jar._cookies  # type: ignore[attr-defined]
                if type(jar := self._cookies.jar) is CookieJar
                else self._cookies._maybe_nonempty()
            )
        ):
            timeout, follow, auth, needs_flow = self._request_options(options)
            if needs_flow:
                deadline = None if timeout is None else self._clock() + timeout
                return await self._drive(loop, self._flow(request, auth, follow), deadline, timeout, limit)
        else:
            # The client's own settings ask for the plain exchange: what
            # _request_options would decide, without its call (a standard
            # jar is seen to be empty without one too).
            timeout = self._timeout
        deadline = None if timeout is None else self._clock() + timeout
        return await self._send(loop, request, ordinal, wire, deadline, timeout, limit)

    return request


def _verb(method: str) -> Any:
    verb = _exchange(method)
    verb.__name__ = method.lower()
    verb.__qualname__ = f"Client.{verb.__name__}"
    verb.__doc__ = f"Send a {method} request; the arguments are those of :meth:`request`."
    return verb


# By method name, for request().
_EXCHANGES: Dict[str, Any] = {name: _verb(name) for name in METHODS}


class Client(BaseClient):
    """An asynchronous HTTP/1.1 client.

    Use it as an async context manager::

        async with tarnix.Client() as client:
            r = await client.get("https://example.org/")
            print(r.status_code, r.text)

    The client keeps one engine pool per origin (scheme, host, port), made on
    first use and kept until :meth:`aclose`. A client belongs to the event
    loop it first runs a request on.

    :param auth: default authentication: a ``(user, password)`` tuple
        (Basic), :class:`tarnix.BasicAuth`, :class:`tarnix.DigestAuth`, or a
        callable that takes the request and returns it.
    :param params: query parameters added to every request.
    :param headers: headers sent with every request (a request's own headers
        of the same name replace them).
    :param cookies: cookies sent with every request; the jar
        (``client.cookies``) also keeps those the servers set.
    :param timeout: seconds a request may take, redirects included, before
        it fails with :class:`tarnix.TimeoutError`; ``None`` waits for ever.
        A request that times out or is cancelled is stopped in the engine at
        once: its thread ends and its connection is closed.
    :param max_connections: the most requests in flight at once to one
        origin (requests beyond it queue).
    :param verify: path of a PEM file of trusted CA certificates for https;
        ``""`` (or ``True``) uses the system trust store. Certificate
        verification cannot be turned off.
    :param cert: a client certificate for servers that ask for one (mutual
        TLS), as httpx takes it: the path of a PEM file holding the
        certificate and its private key, a ``(certificate, key)`` pair of
        paths, or ``(certificate, key, password)`` for an encrypted key.
        Loaded when the client is made: a missing file raises
        FileNotFoundError, a file that cannot be used (no certificate, no
        key, a wrong password, a key that is not the certificate's)
        :class:`tarnix.TLSError`. A server that refuses the certificate, or
        its absence, fails the request with a TLSError that says so.
    :param follow_redirects: follow 301, 302, 303, 307 and 308 responses.
    :param max_redirects: the most redirects followed in one request.
    :param base_url: relative request URLs are joined to it, as httpx does.
    :param event_hooks: ``{"request": [...], "response": [...]}``: callables
        (plain or async) called with each request before it is sent and each
        response when it has arrived.
    :param max_decoded_size: the most bytes a compressed body may decode to
        (default 64 MiB) before :class:`tarnix.DecodingError`; ``None``: no limit.
    :param max_response_size: the most bytes of a response as it arrives
        (head and body, before decoding) before
        :class:`tarnix.ProtocolError`; the engine stops reading as soon as
        they are passed. ``None`` (the default): no limit.
    :param proxy: an ``http://`` proxy URL (or :class:`tarnix.Proxy`) for
        every request; user information in it is sent to the proxy, and only
        to it, as Basic ``Proxy-Authorization``. https URLs go through a
        CONNECT tunnel, with the origin's certificate checked as usual.
    :param trust_env: without ``proxy``, take the proxy from ``http_proxy``,
        ``https_proxy``, ``all_proxy`` and ``no_proxy`` (either case), as
        httpx and curl do; read when the client is made.
    :param uds: the path of a Unix socket every connection goes to; the
        URL's host then only names the origin (Host header, TLS name).
    """

    def _setup(self) -> None:
        self._pools: Dict[Tuple[str, str, int], _Pool] = {}
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._deadlines: Optional[_Deadlines] = None
        self._bound_forks = -1
        self._clock: Callable[[], float] = monotonic
        self._idle = IdleConnections(self._keepalive_expiry, self._max_keepalive, self._quiet, self._evict)
        self._sweeper: Optional[asyncio.TimerHandle] = None
        # Whether the CA file's certificates have been parsed (off the loop).
        self._trust_ready = not self._ca_path
        self._trust_loading: Optional["asyncio.Future[None]"] = None

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
        self._stop_sweeping()

    def _running_loop(self) -> asyncio.AbstractEventLoop:
        # asyncio.get_running_loop() makes a getpid system call on every
        # call. The client's loop is the running one when it runs in this
        # thread (a thread runs one loop at a time) and no fork came since.
        # The verbs make this check in place.
        loop = self._loop
        if loop is None or getattr(loop, "_thread_id", None) != get_ident() or self._bound_forks != _forks:
            loop = self._bind()
        return loop

    def _bind(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.get_running_loop()
        if self._loop is not loop:
            if self._loop is not None and not self._loop.is_closed():
                raise RuntimeError("this Client is in use by another event loop")
            # A finished loop's pools carry its scheduling method: start over.
            self._loop = loop
            self._pools = {}
            self._stop_sweeping()
            self._deadlines = _Deadlines(loop)
            # The loop's clock without a Python frame per reading, when it
            # is asyncio's own (time.monotonic).
            self._clock = monotonic if type(loop).time is asyncio.BaseEventLoop.time else loop.time
        self._bound_forks = _forks
        return loop

    async def _send(
        self,
        loop: asyncio.AbstractEventLoop,
        request: Request,
        ordinal: int,
        wire: Optional[List[Tuple[str, str]]],
        deadline: Optional[float],
        timeout: Optional[float],
        limit: Optional[int],
        hop: bool = False,
    ) -> Response:
        """One exchange: a connection slot, the engine's answer, the response.

        Without ``wire`` the request is checked and its headers made again
        (auth or a hook may have changed it). ``hop``: a step of the flow,
        which may start after its deadline. The coroutine's frame is kept
        under the small-object allocator's limit (rare paths use helpers
        rather than locals of their own).
        """
        if wire is None:
            ordinal, wire = self._wire(request)
        url = request.url
        if not self._trust_ready and url.tls:
            await self._load_trust()
        pool = self._pools.get(url.origin) or self._pool(url)
        # [what the request awaits now, its deadline, its time limit,
        # and its own timer when it has one]
        current: Optional[List[Any]] = None
        timed: Optional[_Deadlines] = None
        if deadline is not None:
            # A plain exchange gets here without a wait since its deadline
            # was set: only a flow's hop can be late.
            if hop and deadline <= self._clock():
                raise timed_out(timeout)
            # One time limit for the whole request: the wait for a
            # connection slot, then the exchange.
            current = [None, deadline, timeout]
            timed = self._deadlines
            if timed is None or not timed.add(current):
                timed = None
                current.append(loop.call_at(deadline, _expire, current))
        try:
            if pool.active < pool.limit and not pool.waiters:
                pool.active += 1
            else:
                # Wait in line for a slot (in place: a coroutine of its own
                # would cost each queued request another frame).
                future = loop.create_future()
                pool.waiters.append(future)
                if current is not None:
                    current[0] = future  # for the request's timer
                try:
                    await future
                except BaseException:
                    pool.leave_line(future)
                    raise
                if current is not None and deadline <= self._clock():  # type: ignore[operator]
                    # The slot came as the time ran out: send nothing.
                    pool.release()
                    raise timed_out(timeout)
            try:
                future = loop.create_future()
                if current is not None:
                    current[0] = future
                start = perf_counter()
                via = pool.via
                if via is not None:
                    wire = via.wire(url, wire)
                try:
                    if limit is None:
                        _engine.submit(
                            pool.capsule, ordinal, url.target if via is None else via.target(url),
                            wire, request.content, None, None, future, loop
                        )
                    else:
                        # A download's limit carries where its body goes.
                        _engine.submit_limited(
                            pool.capsule, ordinal, url.target if via is None else via.target(url),
                            wire, request.content, limit, future, loop, getattr(limit, "into", None),
                        )
                except RuntimeError as exc:
                    # Out of threads, for one: nothing was sent.
                    raise TransportError(str(exc)) from exc
                try:
                    raw = await future
                except BaseException:
                    # Timed out or cancelled: the engine stops the request
                    # and closes its connection.
                    _engine.abandon(future)
                    if via is not None:
                        via.reraise(url)
                    raise
            finally:
                if pool.waiters:
                    pool.release()
                else:
                    pool.active -= 1
                self._settled(pool)
        finally:
            if timed is not None:
                timed.entries.pop(id(current), None)
            elif current is not None:
                current[3].cancel()
        if via is not None:
            via.check_status(raw.status)
        return self._response(raw.status, raw.headers, raw.body, request, perf_counter() - start)

    async def _drive(
        self,
        loop: asyncio.AbstractEventLoop,
        flow: Generator[Request, Response, Response],
        deadline: Optional[float],
        timeout: Optional[float],
        limit: Optional[int],
    ) -> Response:
        """Drives the flow (auth, redirects, cookies): each request it yields
        goes through the hooks and one exchange."""
        try:
            request = next(flow)
            while True:
                if self._request_hooks:
                    await _run_hooks(self._request_hooks, request)
                response = await self._send(loop, request, 0, None, deadline, timeout, limit, True)
                if self._response_hooks:
                    await _run_hooks(self._response_hooks, response)
                try:
                    request = flow.send(response)
                except StopIteration as exc:
                    return exc.value  # type: ignore[no-any-return]
        finally:
            flow.close()

    def _pool(self, url: URL) -> _Pool:
        pool = self._pools.get(url.origin)
        if pool is None:
            via = self._via(url)
            # Plain requests through one proxy share a pool: it is found
            # under the proxy's key, then under each origin's.
            key = url.origin if via is None else via.key(url)
            pool = self._pools.get(key)
            if pool is None:
                pool = self._pools[key] = _Pool(self._make_pool(url, via), self._max_connections, via, key)
            if key != url.origin:
                self._pools[url.origin] = pool
                pool.keys.append(url.origin)
        return pool

    async def _load_trust(self) -> None:
        # The engine parses a CA file once and shares the parse with every
        # pool made from it afterwards: the first parse, tens of milliseconds
        # for a large file, runs on a thread of its own instead of the loop,
        # once however many requests wait for it, and the thread ends (the
        # loop's executor would keep its threads). A file that fails to load
        # fails again, with its error, where the request makes its pool.
        loading = self._trust_loading
        if loading is None:
            loop = asyncio.get_running_loop()
            loading = self._trust_loading = loop.create_future()
            ca_path = self._ca_path

            def parse() -> None:
                try:
                    _engine.pool_create("localhost", 443, True, 0, 1, 0, 0, ca_path)
                except Exception:
                    pass
                try:
                    loop.call_soon_threadsafe(_set_done, loading)
                except RuntimeError:
                    pass  # the loop closed meanwhile

            Thread(target=parse, name="tarnix-trust", daemon=True).start()
        await asyncio.shield(loading)
        self._trust_ready = True

    # -- idle connections (on the loop's thread, like the origin map) -------

    def _settled(self, pool: _Pool) -> None:
        if self._closed:
            return  # the pool goes with its last request
        idle = self._idle
        idle.settled(pool)
        if idle.tracked and self._sweeper is None and self._loop is not None:
            delay = idle.first_delay()
            if delay is not None:
                self._sweeper = self._loop.call_later(delay, self._sweep)

    def _sweep(self) -> None:
        self._sweeper = None
        delay = self._idle.sweep()
        if delay is not None and self._loop is not None:
            self._sweeper = self._loop.call_later(delay, self._sweep)

    @staticmethod
    def _quiet(pool: _Pool) -> bool:
        return not pool.active and not pool.waiters

    def _evict(self, pool: _Pool) -> None:
        # Only a quiet pool gets here; a request that comes later makes a
        # new one.
        for key in pool.keys:
            if self._pools.get(key) is pool:
                del self._pools[key]

    def _stop_sweeping(self) -> None:
        if self._sweeper is not None:
            self._sweeper.cancel()
            self._sweeper = None
        self._idle.clear()

    async def request(self, method: str, url: Union[str, URL], **options: Unpack[RequestOptions]) -> Response:
        """Send one request and return its response.

        :param method: GET, POST, PUT, PATCH, DELETE, HEAD or OPTIONS; any
            other method raises ValueError.
        :param url: an absolute http or https URL, or one relative to the
            client's ``base_url``.
        :param content: the body: bytes, str (UTF-8), or an iterable or async
            iterable of bytes (collected before sending).
        :param data: form fields (values may be lists), sent as
            application/x-www-form-urlencoded, or as multipart/form-data
            fields alongside ``files``.
        :param files: ``{name: file}``, a file being bytes, a file object
            (read whole) or a ``(filename, content[, content_type])`` tuple;
            sent as multipart/form-data.
        :param json: a value sent as a JSON body with Content-Type
            application/json (unless the headers set one).
        :param params: query parameters appended to the URL's query.
        :param headers: extra headers; they replace default headers of the
            same name.
        :param cookies: cookies for this request (and its same-origin
            redirects), on top of the client's jar.
        :param auth: overrides the client's auth (``None``: none).
        :param follow_redirects: overrides the client's setting.
        :param timeout: overrides the client's timeout for this request.
        :param max_response_size: overrides the client's ``max_response_size``
            for this request (each of its redirects and auth steps).
        :raises ValueError: for an unusable method, URL, header or body
            arguments, before anything is sent.
        :raises tarnix.Error: when the request fails.
        """
        if options:
            check_options(options, _REQUEST_KEYS, "request")
        exchange = _EXCHANGES.get(method) if type(method) is str else None
        if exchange is None:
            exchange = _exchange(method)  # its build step normalises or refuses the method
        result: Response = await exchange(self, url, **options)
        return result

    async def send(
        self,
        request: Request,
        *,
        auth: Optional[AuthTypes] = UNSET,
        follow_redirects: Optional[bool] = None,
    ) -> Response:
        """Send a request made by :meth:`build_request` (or by hand)."""
        if self._closed:
            raise RuntimeError("the client is closed")
        loop = self._running_loop()
        timeout = self._timeout
        follow = self.follow_redirects if follow_redirects is None else follow_redirects
        flow = self._flow(request, self._request_auth(auth), follow)
        deadline = None if timeout is None else self._clock() + timeout
        return await self._drive(loop, flow, deadline, timeout, self.max_response_size)

    async def download(
        self,
        url: Union[str, URL],
        path: StrPath,
        *,
        progress: Optional[DownloadProgress] = None,
        **options: Unpack[DownloadOptions],
    ) -> Response:
        """GET ``url`` and save its body to the file ``path``.

        The engine writes the body to disk as it arrives, so memory stays
        flat whatever its size. It goes to a temporary file beside ``path``
        first and takes that name only once complete and only for a 2xx
        response; a failed, timed-out or cancelled download, or any other
        status, leaves nothing behind and ``path`` untouched. A body sent
        with a Content-Encoding the client decodes is saved decoded (without
        the ``max_decoded_size`` limit, which bounds memory).

        Returns the response with its status and headers and an empty
        ``content``: check it with ``raise_for_status()``. ``progress``, a
        :class:`tarnix.DownloadProgress`, can be read from anywhere while the
        download runs. The other arguments are those of :meth:`request`.
        """
        check_options(options, _DOWNLOAD_KEYS, "download")
        if self._closed:
            raise RuntimeError("the client is closed")
        limit = self._size_limit(options)
        destination = Destination(path, progress)
        try:
            get_options: Dict[str, Any] = dict(options)
            get_options["max_response_size"] = DownloadLimit.of(limit, destination.target)
            response: Response = await _EXCHANGES["GET"](self, url, **get_options)
            if destination.needs_decoding(response):
                # Decoding a large file takes a while: not on the loop.
                await asyncio.get_running_loop().run_in_executor(None, destination.complete, response)
            else:
                destination.complete(response)
        except BaseException:
            destination.discard()
            raise
        finally:
            if progress is not None:
                progress._stop()
        return response

    get: _Verb = _EXCHANGES["GET"]
    post: _Verb = _EXCHANGES["POST"]
    put: _Verb = _EXCHANGES["PUT"]
    patch: _Verb = _EXCHANGES["PATCH"]
    delete: _Verb = _EXCHANGES["DELETE"]
    head: _Verb = _EXCHANGES["HEAD"]
    options: _Verb = _EXCHANGES["OPTIONS"]

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._pools)} pools"
        return f"<tarnix.Client {state}>"
