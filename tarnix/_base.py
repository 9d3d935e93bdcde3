"""What the async and the blocking client share: options, request building,
and the request flow (auth, redirects, cookies) as a generator.

The flow does no I/O: it yields each request to send and is sent back the
response, so ``Client`` drives it with ``await`` and ``SyncClient`` with a
blocking wait, and both follow the same rules.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from typing import Any, Dict, FrozenSet, Generator, List, Optional, Sequence, Set, Tuple, Union

from . import _engine
from ._auth import Auth, build_auth
from ._content import encode_body
from ._cookies import Cookies
from ._decoders import ACCEPT_ENCODING, DEFAULT_MAX_DECODED_SIZE, decode_content
from ._exceptions import RedirectError, TimeoutError, TLSError, TooManyRedirects
from ._keepalive import DEFAULT_KEEPALIVE_EXPIRY, DEFAULT_MAX_KEEPALIVE_CONNECTIONS, check_keepalive
from ._models import METHODS, Headers, Request, Response, check_header, check_wire, header_items, method_ordinal
from ._proxy import Routes, Via
from ._types import AuthTypes, CertTypes, CookieTypes, EventHook, HeaderTypes, ProxyTypes, QueryParams, StrPath
from ._urls import URL, add_params, join_url, parse_url

__all__ = ["BaseClient", "DEFAULT_TIMEOUT", "DEFAULT_MAX_REDIRECTS", "UNSET"]

DEFAULT_TIMEOUT = 30.0
DEFAULT_MAX_REDIRECTS = 20

_GET, _POST, _PUT, _PATCH, _HEAD = 0, 1, 2, 3, 5
_BODY_METHODS = frozenset(("POST", "PUT", "PATCH"))
_REDIRECT_CODES = frozenset((301, 302, 303, 307, 308))
_BODY_HEADERS = frozenset(("content-length", "content-type", "content-encoding"))
_CREDENTIAL_HEADERS = frozenset(("authorization", "proxy-authorization", "cookie"))
# No limit still has to fit the decoders' size arithmetic.
_NO_LIMIT = sys.maxsize // 4

# Parsed URLs by their text, for the common case of requests to a few URLs.
_url_cache: Dict[str, URL] = {}
_URL_CACHE_SIZE = 512

UNSET: Any = object()

# The connection limit given to the engine. The client counts its live
# requests against max_connections itself and frees a slot as soon as a
# request is abandoned (timed out or cancelled), while the engine's thread
# keeps that connection until the server answers or closes. With the client's
# limit in the engine too, such connections would make live requests wait
# inside the engine, where nothing times out.
_ENGINE_LIMIT = 0x7FFFFFFF


def timed_out(timeout: Optional[float]) -> TimeoutError:
    return TimeoutError(f"timed out after {timeout:g} seconds")


def _cert_path(what: str, path: StrPath) -> str:
    text = os.fspath(path)
    if not isinstance(text, str) or not text:
        raise TypeError(f"the client {what} must be a path")
    if not os.path.isfile(text):
        raise FileNotFoundError(2, f"client {what} file not found", text)
    # Read now, but pinned against chdir all the same.
    return os.path.abspath(text)


def load_client_cert(cert: Optional[CertTypes]) -> Optional[object]:
    """The engine's copy of a client certificate (None: none), loaded and
    checked once; the password never appears in an error."""
    if cert is None:
        return None
    parts: Tuple[Any, ...] = cert if isinstance(cert, tuple) else (cert, None)
    if not 2 <= len(parts) <= 3:
        raise ValueError("cert must be a path, (cert, key) or (cert, key, password)")
    password = parts[2] if len(parts) == 3 else None
    if password is not None and not isinstance(password, (str, bytes)):
        raise TypeError("the client key's password must be str or bytes")
    certfile = _cert_path("certificate", parts[0])
    keyfile = None if parts[1] is None else _cert_path("key", parts[1])
    try:
        return _engine.client_cert_load(certfile, keyfile, password)
    except ValueError as exc:
        where = certfile if keyfile is None else f"{certfile}, {keyfile}"
        raise TLSError(f"cannot use the client certificate ({where}): {exc}") from None


def check_timeout(timeout: Any) -> Optional[float]:
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if not timeout > 0:
        raise ValueError(f"timeout must be positive, got {timeout!r}")
    return float(timeout)


def check_size_limit(name: str, value: Any) -> Optional[int]:
    if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 0):
        raise ValueError(f"{name} must be an int >= 0 or None, got {value!r}")
    return value


def _is_https_upgrade(old: URL, new: URL) -> bool:
    return (
        old.scheme == "http"
        and new.scheme == "https"
        and old.host == new.host
        and old.port == 80
        and new.port == 443
    )


def _cached_url(url: str) -> URL:
    target = _url_cache.get(url)
    if target is None:
        target = parse_url(url)
        if len(_url_cache) >= _URL_CACHE_SIZE:
            _url_cache.clear()
        _url_cache[url] = target
    return target


def _join_cookies(*values: Optional[str]) -> Optional[str]:
    present = [v for v in values if v]
    return "; ".join(present) if present else None


# Response header names known to be neither Content-Encoding nor Set-Cookie
# in any letter case. Bounded: a server making up names only empties it.
_PLAIN_NAMES: Set[str] = set()
_PLAIN_NAMES_SIZE = 256


def _scan_names(headers: Dict[str, str]) -> Tuple[Optional[str], bool]:
    """The response's content codings (joined, in order) and whether it
    sets a cookie; learns the other names."""
    coding = None
    sets_cookie = False
    plain = _PLAIN_NAMES
    for name in headers:
        low = name.lower()
        if low == "content-encoding":
            value = headers[name]
            coding = value if coding is None else f"{coding}, {value}"
        elif low == "set-cookie":
            sets_cookie = True
        elif name not in plain:
            if len(plain) >= _PLAIN_NAMES_SIZE:
                plain.clear()
            plain.add(name)
    return coding, sets_cookie


class BaseClient:
    """Options and request flow of ``Client`` and ``SyncClient``."""

    def __init__(
        self,
        *,
        auth: Optional[AuthTypes] = None,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        cookies: Optional[CookieTypes] = None,
        timeout: Optional[float] = DEFAULT_TIMEOUT,
        max_connections: int = 100,
        verify: Union[str, "os.PathLike[str]", bool] = "",
        follow_redirects: bool = False,
        max_redirects: int = DEFAULT_MAX_REDIRECTS,
        base_url: Union[str, URL] = "",
        event_hooks: Optional[Mapping[str, Sequence[EventHook]]] = None,
        max_decoded_size: Optional[int] = DEFAULT_MAX_DECODED_SIZE,
        max_response_size: Optional[int] = None,
        proxy: Optional[ProxyTypes] = None,
        trust_env: bool = True,
        uds: Union[str, "os.PathLike[str]", None] = None,
        cert: Optional[CertTypes] = None,
        keepalive_expiry: Optional[float] = DEFAULT_KEEPALIVE_EXPIRY,
        max_keepalive_connections: Optional[int] = DEFAULT_MAX_KEEPALIVE_CONNECTIONS,
    ) -> None:
        if isinstance(max_connections, bool) or not isinstance(max_connections, int):
            raise TypeError("max_connections must be an int")
        if not 1 <= max_connections <= 0x7FFFFFFF:
            raise ValueError(f"max_connections must be at least 1, got {max_connections}")
        if isinstance(max_redirects, bool) or not isinstance(max_redirects, int) or max_redirects < 0:
            raise ValueError(f"max_redirects must be an int >= 0, got {max_redirects!r}")
        check_size_limit("max_decoded_size", max_decoded_size)
        check_size_limit("max_response_size", max_response_size)
        check_keepalive(keepalive_expiry, max_keepalive_connections)
        self._keepalive_expiry: Optional[float] = None if keepalive_expiry is None else float(keepalive_expiry)
        self._max_keepalive = max_keepalive_connections
        self._timeout = check_timeout(timeout)
        self._max_connections = max_connections
        self._ca_path = self._ca_file(verify)
        self._routes = Routes(proxy, trust_env, uds)
        self._client_cert = load_client_cert(cert)
        self.follow_redirects = bool(follow_redirects)
        self.max_redirects = max_redirects
        self.max_decoded_size = max_decoded_size
        self.max_response_size = max_response_size
        self.auth = auth
        self.base_url = base_url
        self._params = params
        self.cookies = cookies
        self.event_hooks = event_hooks

        base = header_items(headers) if headers is not None else []
        names = {name.lower() for name, _ in base}
        if "content-length" in names:
            raise ValueError("Content-Length cannot be a default header")
        if "accept-encoding" not in names:
            base.append(("Accept-Encoding", ACCEPT_ENCODING))
        self._base_headers: List[Tuple[str, str]] = base
        self._base_lower: List[str] = [name.lower() for name, _ in base]
        self._base_names: FrozenSet[str] = frozenset(self._base_lower)
        # What a request with only the default headers carries and submits:
        # built once and shared, the dict until the request's headers are
        # read, the list for good (nothing changes it).
        self._base_raw: Dict[str, str] = Headers._from_pairs(base)._raw
        self._base_wire: List[Tuple[str, str]] = list(self._base_raw.items())
        self._closed = False
        self._setup()

    def _setup(self) -> None:
        """The transport's own state (pools), made by each client kind."""

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

    # -- options -----------------------------------------------------------

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

    @property
    def auth(self) -> Optional[Auth]:
        return self._auth

    @auth.setter
    def auth(self, auth: Optional[AuthTypes]) -> None:
        self._auth = build_auth(auth)

    @property
    def cookies(self) -> Cookies:
        """The cookie jar: cookies given to the client and those servers set."""
        return self._cookies

    @cookies.setter
    def cookies(self, cookies: Optional[CookieTypes]) -> None:
        self._cookies = Cookies(cookies)

    @property
    def base_url(self) -> str:
        """Relative request URLs are joined to this (``""``: none)."""
        return self._base_url

    @base_url.setter
    def base_url(self, url: Union[str, URL]) -> None:
        text = str(url)
        if text:
            parsed = parse_url(text)
            # As httpx: the base path always ends in "/", so that it is a
            # prefix of every joined path.
            path = parsed.target.split("?", 1)[0]
            text = str(parsed.with_target(path if path.endswith("/") else path + "/"))
        self._base_url = text

    @property
    def event_hooks(self) -> Dict[str, List[EventHook]]:
        return {"request": self._request_hooks, "response": self._response_hooks}

    @event_hooks.setter
    def event_hooks(self, hooks: Optional[Mapping[str, Sequence[EventHook]]]) -> None:
        hooks = hooks or {}
        unknown = set(hooks) - {"request", "response"}
        if unknown:
            raise ValueError(f"unknown event hook kinds {sorted(unknown)}; use 'request' and 'response'")
        for kind, funcs in hooks.items():
            if not all(callable(f) for f in funcs):
                raise TypeError(f"event_hooks[{kind!r}] must be a list of callables")
        self._request_hooks: List[EventHook] = list(hooks.get("request", ()))
        self._response_hooks: List[EventHook] = list(hooks.get("response", ()))

    # -- building requests -------------------------------------------------

    def _merge_url(self, url: Union[str, URL]) -> URL:
        if type(url) is str:
            if self._base_url and "://" not in url.split("?", 1)[0]:
                return parse_url(self._base_url + url.lstrip("/"))
            return _cached_url(url)
        return parse_url(url)

    def build_request(
        self,
        method: str,
        url: Union[str, URL],
        *,
        content: Any = None,
        data: Any = None,
        files: Any = None,
        json: Any = None,
        params: Optional[QueryParams] = None,
        headers: Optional[HeaderTypes] = None,
        cookies: Optional[CookieTypes] = None,
    ) -> Request:
        """The request that ``request()`` would send with these arguments."""
        return self._build(method, url, content, data, files, json, params, headers, cookies)[0]

    def _build(
        self,
        method: str,
        url: Union[str, URL],
        content: Any,
        data: Any,
        files: Any,
        json: Any,
        params: Optional[QueryParams],
        headers: Optional[HeaderTypes],
        cookies: Optional[CookieTypes],
    ) -> Tuple[Request, int, List[Tuple[str, str]]]:
        """The request, with the method ordinal and header list to submit."""
        ordinal = METHODS.get(method) if type(method) is str else None
        if ordinal is None:
            method, ordinal = method_ordinal(method)
        if type(url) is str and not self._base_url:
            target = _url_cache.get(url) or _cached_url(url)
        else:
            target = self._merge_url(url)
        if self._params is not None:
            target = add_params(target, self._params)
        if params is not None:
            target = add_params(target, params)

        if headers is None:
            hdrs = self._base_headers
            names = self._base_names
        else:
            own = header_items(headers)
            own_names = {name.lower() for name, _ in own}
            hdrs = [h for h, low in zip(self._base_headers, self._base_lower) if low not in own_names]
            hdrs += own
            names = self._base_names | own_names

        extra: List[Tuple[str, str]] = []
        if content is None and data is None and files is None and json is None:
            body = b""
        else:
            given_type = None
            if "content-type" in names:
                given_type = Headers._from_pairs(hdrs)._get_lower("content-type")
            body, content_type = encode_body(content, data, files, json, given_type)
            if content_type is not None and given_type is None:
                extra.append(("Content-Type", content_type))
        if "content-length" in names:
            given = Headers._from_pairs(hdrs)._get_lower("content-length")
            if given is None or given.strip() != str(len(body)):
                raise ValueError(f"Content-Length {given!r} does not match the body's {len(body)} bytes")
        elif not body and method in _BODY_METHODS:
            # Servers expect a length on these methods even when it is zero.
            extra.append(("Content-Length", "0"))
        if target.authorization is not None and "authorization" not in names:
            extra.append(("Authorization", target.authorization))
        if cookies is not None:
            # A jar given here keeps its own domain and path rules.
            own_cookie = Cookies(cookies).header_for(target)
            if own_cookie:
                # A jar given here may hold cookies no Set-Cookie could.
                extra.append(("Cookie", check_header("Cookie", own_cookie)))
        request = Request.__new__(Request)
        if extra or hdrs is not self._base_headers:
            built = Headers._from_pairs(hdrs + extra if extra else hdrs)
            request._headers = built
            wire = built._pairs()
        else:
            request._headers = self._base_raw  # copied when first read
            wire = self._base_wire
        request.method = method
        request.url = target
        request.content = body
        return request, ordinal, wire

    # -- the flow ----------------------------------------------------------

    def _flow(
        self, request: Request, auth: Optional[Auth], follow_redirects: bool
    ) -> Generator[Request, Response, Response]:
        """Yields each request to send and takes its response; returns the
        final response with its history."""
        history: List[Response] = []
        # The caller's own cookies; the jar's are added for each hop.
        own_cookie = request.headers.get("cookie")
        if auth is None:
            response = yield from self._hops(request, own_cookie, follow_redirects, history)
        else:
            flow = auth.auth_flow(request)
            try:
                req = next(flow)
            except StopIteration:
                raise TypeError(f"{type(auth).__name__}.auth_flow yielded no request") from None
            while True:
                response = yield from self._hops(req, own_cookie, follow_redirects, history)
                try:
                    req = flow.send(response)
                except StopIteration:
                    break
                history.append(response)
                if not isinstance(req, Request):
                    raise TypeError(f"an auth flow must yield requests, not {type(req).__name__}")
        response.history = history
        return response

    def _hops(
        self,
        request: Request,
        own_cookie: Optional[str],
        follow_redirects: bool,
        history: List[Response],
    ) -> Generator[Request, Response, Response]:
        redirects = 0
        while True:
            if own_cookie is not None or self.cookies._maybe_nonempty():
                cookie = _join_cookies(own_cookie, self.cookies.header_for(request.url))
                if cookie is not None:
                    request.headers["Cookie"] = cookie
                elif "cookie" in request.headers:
                    del request.headers["Cookie"]
            response = yield request
            if not follow_redirects or response.status_code not in _REDIRECT_CODES:
                return response
            location = response.headers.get("location")
            if location is None:
                return response
            if redirects >= self.max_redirects:
                raise TooManyRedirects(f"exceeded the limit of {self.max_redirects} redirects")
            redirects += 1
            history.append(response)
            request, same_origin = self._redirect_request(request, response, location)
            if not same_origin:
                own_cookie = None

    def _redirect_request(self, request: Request, response: Response, location: str) -> Tuple[Request, bool]:
        url = request.url
        try:
            next_url = join_url(url, location.strip())
        except (ValueError, TypeError) as exc:
            raise RedirectError(f"cannot follow the redirect to {location!r}: {exc}") from None
        method = request.method
        body = request.content
        headers = request.headers._pairs()
        code = response.status_code
        # Browsers turn these into GETs without a body; 307 and 308 repeat
        # the request as it was.
        if (code == 303 and method != "HEAD") or (code in (301, 302) and method == "POST"):
            method = "GET"
            body = b""
            headers = [h for h in headers if h[0].lower() not in _BODY_HEADERS]
        same_origin = next_url.origin == url.origin or _is_https_upgrade(url, next_url)
        if not same_origin:
            headers = [h for h in headers if h[0].lower() not in _CREDENTIAL_HEADERS]
        if next_url.authorization is not None and not any(h[0].lower() == "authorization" for h in headers):
            headers.append(("Authorization", next_url.authorization))
        nxt = Request.__new__(Request)
        nxt.method = method
        nxt.url = next_url
        nxt.headers = Headers._from_pairs(headers)
        nxt.content = body
        return nxt, same_origin

    # -- sending -----------------------------------------------------------

    def _via(self, url: URL) -> Optional[Via]:
        """The proxy or Unix socket the origin is reached through, if any."""
        return self._routes.via(url)

    def _make_pool(self, url: URL, via: Optional[Via] = None) -> object:
        ca_path = self._ca_path if url.tls else ""
        try:
            if via is not None:
                capsule = via.make_pool(url, ca_path, _ENGINE_LIMIT, self._client_cert)
            elif url.tls and self._client_cert is not None:
                capsule = _engine.pool_create_with_cert(
                    url.host, url.port, url.tls, 0, _ENGINE_LIMIT, 0, 0, ca_path, self._client_cert
                )
            else:
                capsule = _engine.pool_create(url.host, url.port, url.tls, 0, _ENGINE_LIMIT, 0, 0, ca_path)
        except RuntimeError as exc:
            if ca_path:
                raise TLSError(f"cannot load the CA file {ca_path!r}: {exc}") from exc
            raise
        if self._keepalive_expiry is not None:
            _engine.pool_keepalive(capsule, self._keepalive_expiry)
        return capsule

    def _wire(self, request: Request) -> Tuple[int, List[Tuple[str, str]]]:
        """The method ordinal and header list to submit, checked again: an
        auth callable or a hook may have changed or replaced any part."""
        if type(request.url) is not URL:
            request.url = parse_url(request.url)
        ordinal = METHODS.get(request.method)
        if ordinal is None:
            request.method, ordinal = method_ordinal(request.method)
        raw = request._headers
        if raw is self._base_raw:
            return ordinal, self._base_wire  # the defaults, checked when built
        if not isinstance(raw, Headers):
            request.headers = Headers._from_pairs(header_items(raw))
        pairs = request.headers._pairs()
        lengths = check_wire(pairs)
        if lengths and (len(lengths) > 1 or lengths[0].strip() != str(len(request.content))):
            # An auth callable or hook changed the body or the length.
            raise ValueError(
                f"Content-Length {', '.join(lengths)!r} does not match the body's {len(request.content)} bytes"
            )
        return ordinal, pairs

    def _response(
        self, status: int, headers: Dict[str, str], body: bytes, request: Request, elapsed: float
    ) -> Response:
        # The client acts on two headers; most responses carry only names
        # already seen to be neither, which one set comparison in C tells.
        if headers.keys() <= _PLAIN_NAMES:
            coding = None
            sets_cookie = False
        else:
            coding, sets_cookie = _scan_names(headers)
        if coding and body:
            limit = self.max_decoded_size
            body = decode_content(body, coding, _NO_LIMIT if limit is None else limit)
        url = request.url
        # Filled in place: the engine's dict is kept, read for its headers
        # when first asked.
        response = Response.__new__(Response)
        response.status_code = status
        response._headers = headers
        response.content = body
        response.url = url._str if type(url) is URL else str(url)
        response._history = None
        response._elapsed = elapsed
        response._text = None
        response._request = request
        if sets_cookie:
            # Before the response hooks and the next redirect hop see it.
            self.cookies.extract_cookies(response)
        return response

    def _request_auth(self, auth: Any) -> Optional[Auth]:
        return self._auth if auth is UNSET else build_auth(auth)

    def _size_limit(self, options: Mapping[str, Any]) -> Optional[int]:
        """A request's max_response_size: its own, checked, or the client's."""
        limit = options.get("max_response_size", UNSET)
        if limit is UNSET:
            return self.max_response_size
        check_size_limit("max_response_size", limit)
        return limit  # type: ignore[no-any-return]

    def _request_options(self, options: Mapping[str, Any]) -> Tuple[Optional[float], bool, Optional[Auth], bool]:
        """A request's time limit, redirect setting and auth after the
        client's defaults, and whether it needs the flow at all (auth,
        redirects, hooks or cookies) rather than one plain exchange."""
        timeout = options.get("timeout", UNSET)
        follow_redirects = options.get("follow_redirects")
        if timeout is UNSET:
            timeout = self._timeout
        elif timeout is not None:
            timeout = check_timeout(timeout)
        follow = self.follow_redirects if follow_redirects is None else follow_redirects
        auth_ = self._request_auth(options.get("auth", UNSET))
        needs_flow = (
            auth_ is not None
            or follow
            or len(self._request_hooks) > 0
            or len(self._response_hooks) > 0
            or self._cookies._maybe_nonempty()
        )
        return timeout, follow, auth_, needs_flow
