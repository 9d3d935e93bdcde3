"""The client's cookie jar: the standard library's ``http.cookiejar`` rules
(domain, path, expiry, secure) behind a mapping of names to values, with
the public suffix list and host-only cookies for IP addresses on top."""

from __future__ import annotations

import ipaddress
import re
import urllib.request
from collections.abc import Iterator, Mapping, MutableMapping
from http.cookiejar import Cookie, CookieJar
from typing import TYPE_CHECKING, Any, List, Optional

from ._types import CookieTypes

if TYPE_CHECKING:  # pragma: no cover
    from ._models import Request, Response
    from ._urls import URL

__all__ = ["Cookies"]

# A cookie name is an HTTP token; a value may hold neither a control
# character nor ";", which would end it and start another cookie.
_NAME = re.compile(r"[!#$%&'*+\-.^_`|~0-9A-Za-z]+\Z")
_BAD_VALUE = re.compile(r"[\x00-\x1f\x7f;]")
_CONTROL = re.compile(r"[\x00-\x1f\x7f]")

_suffixes: Any = None


def _public_suffix(domain: str) -> bool:
    """Whether the domain is a public suffix (co.uk, github.io), by the list
    the publicsuffixlist package ships; loaded on first use."""
    global _suffixes
    if _suffixes is None:
        from publicsuffixlist import PublicSuffixList

        _suffixes = PublicSuffixList()
    return bool(_suffixes.is_public(domain))


def _is_ip(host: str) -> bool:
    try:
        ipaddress.ip_address(host)
    except ValueError:
        return False
    return True


def _acceptable(cookie: Cookie, host: str) -> bool:
    """Whether a cookie a response set may be stored at all; a Domain that is
    the host itself but an IP address or a public suffix makes it host-only."""
    if _CONTROL.search(cookie.name) or (cookie.value is not None and _CONTROL.search(cookie.value)):
        # It could only be sent by refusing every later request to its host.
        return False
    if cookie.domain_specified:
        domain = cookie.domain.lstrip(".")
        if _is_ip(host) or _public_suffix(domain):
            if domain != host:
                return False  # a cookie for a whole suffix, or for other addresses
            cookie.domain = host
            cookie.domain_specified = cookie.domain_initial_dot = False
    return True


class _ResponseInfo:
    """What ``CookieJar.extract_cookies`` reads of a response."""

    def __init__(self, response: Response) -> None:
        self._raw = response.headers.raw()

    def info(self) -> _ResponseInfo:
        return self

    def get_all(self, name: str, default: Any = None) -> Any:
        # Names differing in case are separate header lines; never join them
        # (a cookie's Expires holds a comma).
        # Several Set-Cookie lines arrive as one value, one per line.
        lower = name.lower()
        values = [part for k, v in self._raw.items() if k.lower() == lower for part in v.split("\n")]
        return values or default


def _urllib_request(url: URL) -> urllib.request.Request:
    return urllib.request.Request(str(url))


class Cookies(MutableMapping[str, str]):
    """Cookies by name, kept in an ``http.cookiejar.CookieJar`` (``.jar``).

    Cookies set by hand (a mapping given to the client, or ``set()`` without
    a domain) go to every host; cookies from ``Set-Cookie`` follow their
    domain, path, expiry and secure attributes.
    """

    def __init__(self, cookies: Optional[CookieTypes] = None) -> None:
        if isinstance(cookies, CookieJar):
            self.jar = cookies
            return
        self.jar = CookieJar()
        if cookies is not None:
            self.update(cookies)

    def extract_cookies(self, response: Response) -> None:
        """Store the cookies that the response sets for its request's URL."""
        url = response.request.url
        request = _urllib_request(url)
        jar = self.jar
        for cookie in jar.make_cookies(_ResponseInfo(response), request):  # type: ignore[arg-type]
            if _acceptable(cookie, url.host):
                jar.set_cookie_if_ok(cookie, request)

    def _maybe_nonempty(self) -> bool:
        """False only when the jar surely holds no cookie; cheaper than len()."""
        cookies = getattr(self.jar, "_cookies", None)
        return bool(self.jar) if cookies is None else bool(cookies)

    def header_for(self, url: URL) -> Optional[str]:
        """The Cookie header value for a request to ``url``, or None."""
        if not self.jar:
            return None
        req = _urllib_request(url)
        self.jar.add_cookie_header(req)
        return req.get_header("Cookie")

    def set_cookie_header(self, request: Request) -> None:
        value = self.header_for(request.url)
        if value is not None:
            request.headers["Cookie"] = value

    def set(self, name: str, value: str, domain: str = "", path: str = "/") -> None:
        if not isinstance(name, str) or not isinstance(value, str):
            raise TypeError("cookie names and values must be str")
        if not _NAME.match(name):
            raise ValueError(f"invalid cookie name {name!r}: not an HTTP token")
        bad = _BAD_VALUE.search(value)
        if bad is not None:
            raise ValueError(f"cookie {name!r}: the value contains {bad.group()!r} (no control characters or ';')")
        cookie = Cookie(
            version=0,
            name=name,
            value=value,
            port=None,
            port_specified=False,
            domain=domain,
            domain_specified=bool(domain),
            domain_initial_dot=domain.startswith("."),
            path=path,
            path_specified=bool(path),
            secure=False,
            expires=None,
            discard=True,
            comment=None,
            comment_url=None,
            rest={"HttpOnly": None},  # type: ignore[dict-item]
            rfc2109=False,
        )
        self.jar.set_cookie(cookie)

    def _matching(self, name: str, domain: Optional[str], path: Optional[str]) -> List[Cookie]:
        return [
            c
            for c in self.jar
            if c.name == name
            and (domain is None or c.domain == domain)
            and (path is None or c.path == path)
        ]

    def get(  # type: ignore[override]
        self,
        name: str,
        default: Optional[str] = None,
        domain: Optional[str] = None,
        path: Optional[str] = None,
    ) -> Optional[str]:
        found = self._matching(name, domain, path)
        if len(found) > 1:
            raise KeyError(f"several cookies named {name!r}; pass domain= and path= to choose")
        if not found or found[0].value is None:
            return default
        return found[0].value

    def delete(self, name: str, domain: Optional[str] = None, path: Optional[str] = None) -> None:
        for c in self._matching(name, domain, path):
            self.jar.clear(c.domain, c.path, c.name)

    def clear(self, domain: Optional[str] = None, path: Optional[str] = None) -> None:
        if domain is None:
            self.jar.clear()
        elif path is None:
            self.jar.clear(domain)
        else:
            self.jar.clear(domain, path)

    def update(self, cookies: Any = None, **kwargs: str) -> None:  # type: ignore[override]
        if isinstance(cookies, Cookies):
            cookies = cookies.jar
        if isinstance(cookies, CookieJar):
            for cookie in cookies:
                self.jar.set_cookie(cookie)
        elif cookies is not None:
            items = cookies.items() if isinstance(cookies, Mapping) else cookies
            for name, value in items:
                self.set(name, value)
        for name, value in kwargs.items():
            self.set(name, value)

    def __getitem__(self, name: str) -> str:
        value = self.get(name)
        if value is None:
            raise KeyError(name)
        return value

    def __setitem__(self, name: str, value: str) -> None:
        self.set(name, value)

    def __delitem__(self, name: str) -> None:
        if not self._matching(name, None, None):
            raise KeyError(name)
        self.delete(name)

    def __iter__(self) -> Iterator[str]:
        return iter([c.name for c in self.jar])

    def __len__(self) -> int:
        return len(self.jar)

    def __bool__(self) -> bool:
        return any(True for _ in self.jar)

    def __repr__(self) -> str:
        shown = ", ".join(f"<Cookie {c.name}={c.value} for {c.domain or '*'}>" for c in self.jar)
        return f"<Cookies[{shown}]>"
