"""Authentication as request flows: an auth yields the requests to send and
is sent back each response, so the async and the blocking client drive the
same code (a 401 challenge and its retry, for one)."""

from __future__ import annotations

import hashlib
import os
import re
import threading
import time
from base64 import b64encode
from typing import Any, Callable, Dict, Generator, List, Optional, Tuple, Union

from ._exceptions import ProtocolError
from ._models import Request, Response

__all__ = ["Auth", "BasicAuth", "DigestAuth", "FunctionAuth", "build_auth"]

AuthFlow = Generator[Request, Response, None]


class Auth:
    """Base class: override ``auth_flow``. Yield a request to send it; the
    response comes back from the ``yield``. The last response is the one
    the caller gets."""

    def auth_flow(self, request: Request) -> AuthFlow:
        yield request


class FunctionAuth(Auth):
    """A callable that takes the request and returns it (changed)."""

    def __init__(self, func: Callable[[Request], Request]) -> None:
        self._func = func

    def auth_flow(self, request: Request) -> AuthFlow:
        result = self._func(request)
        if not isinstance(result, Request):
            raise TypeError(f"an auth callable must return the request, not {type(result).__name__}")
        yield result


def _to_bytes(value: Union[str, bytes]) -> bytes:
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, bytes):
        return value
    raise TypeError(f"user names and passwords must be str or bytes, not {type(value).__name__}")


class BasicAuth(Auth):
    """HTTP Basic: ``Authorization: Basic base64(user:password)``, UTF-8."""

    def __init__(self, username: Union[str, bytes], password: Union[str, bytes]) -> None:
        user = _to_bytes(username)
        if b":" in user:
            raise ValueError("a Basic auth user name cannot contain ':'")
        token = b64encode(user + b":" + _to_bytes(password)).decode("ascii")
        self._header = f"Basic {token}"

    def auth_flow(self, request: Request) -> AuthFlow:
        request.headers["Authorization"] = self._header
        yield request


# Digest challenge parameters: name=token or name="quoted string".
_PARAM = re.compile(r'\s*([!#$%&\'*+\-.^_`|~0-9A-Za-z]+)\s*=\s*("(?:[^"\\]|\\.)*"|[^\s,]*)\s*(?:,|$)')
_SCHEME = re.compile(r"\s*([!#$%&'*+\-.^_`|~0-9A-Za-z]+)(?:\s+|$)")

_HASHES: Dict[str, Callable[[bytes], str]] = {
    "MD5": lambda b: hashlib.md5(b).hexdigest(),
    "SHA-256": lambda b: hashlib.sha256(b).hexdigest(),
    "SHA-512-256": lambda b: hashlib.new("sha512_256", b).hexdigest(),
}


def parse_challenges(header: str) -> List[Tuple[str, Dict[str, str]]]:
    """The challenges of a WWW-Authenticate value in the order given, each a
    lower-case scheme and its parameters; a scheme may come more than once."""
    out: List[Tuple[str, Dict[str, str]]] = []
    pos = 0
    params: Optional[Dict[str, str]] = None
    while pos < len(header):
        param = _PARAM.match(header, pos)
        if param is not None and params is not None:
            value = param.group(2)
            if value.startswith('"'):
                value = re.sub(r"\\(.)", r"\1", value[1:-1])
            params[param.group(1).lower()] = value
            pos = param.end()
            continue
        match = _SCHEME.match(header, pos)
        if match is None:
            pos = header.find(",", pos + 1)
            if pos < 0:
                break
            pos += 1
            continue
        params = {}
        out.append((match.group(1).lower(), params))
        pos = match.end()
    return out


def _digest_problem(challenge: Dict[str, str]) -> Optional[str]:
    """Why a Digest challenge cannot be answered, or None."""
    if "nonce" not in challenge or "realm" not in challenge:
        return "malformed Digest challenge: no nonce or realm"
    algorithm = challenge.get("algorithm", "MD5").upper()
    if (algorithm[:-5] if algorithm.endswith("-SESS") else algorithm) not in _HASHES:
        return f"unsupported Digest algorithm {algorithm!r}"
    qops = [q.strip().lower() for q in challenge.get("qop", "").split(",") if q.strip()]
    if qops and "auth" not in qops:
        return f"unsupported Digest qop {challenge['qop']!r}; only 'auth' is supported"
    return None


def _pick_digest(header: str) -> Optional[Dict[str, str]]:
    """The first Digest challenge that can be answered (servers list them in
    their order of preference); ProtocolError when none can, None when there
    is no Digest challenge."""
    first_problem = None
    for scheme, params in parse_challenges(header):
        if scheme != "digest":
            continue
        problem = _digest_problem(params)
        if problem is None:
            return params
        first_problem = first_problem or problem
    if first_problem is not None:
        raise ProtocolError(first_problem)
    return None


class DigestAuth(Auth):
    """HTTP Digest with the 401 round trip: MD5, SHA-256 and SHA-512-256
    (and their -sess forms), qop "auth" or none.

    After a first challenge, later requests answer it at once (with a rising
    nonce count) until the server sends a new one. Safe to share between
    threads.
    """

    def __init__(self, username: Union[str, bytes], password: Union[str, bytes]) -> None:
        self._username = _to_bytes(username)
        self._password = _to_bytes(password)
        self._lock = threading.Lock()
        self._challenge: Optional[Dict[str, str]] = None
        self._nonce_count = 0

    def auth_flow(self, request: Request) -> AuthFlow:
        with self._lock:
            challenge = self._challenge
        if challenge is not None:
            request.headers["Authorization"] = self._authorization(request, challenge)
        response = yield request
        if response.status_code != 401:
            return
        header = response.headers.get("www-authenticate")
        if not header:
            return
        fresh = _pick_digest(header)
        if fresh is None:
            return
        if challenge is not None and fresh.get("stale", "").lower() != "true" and fresh.get("nonce") == challenge.get("nonce"):
            return  # the same challenge refused our answer: wrong credentials
        with self._lock:
            self._challenge = fresh
            self._nonce_count = 0
        retry = request.copy()
        retry.headers["Authorization"] = self._authorization(retry, fresh)
        yield retry

    def _authorization(self, request: Request, challenge: Dict[str, str]) -> str:
        algorithm = challenge.get("algorithm", "MD5").upper()
        sess = algorithm.endswith("-SESS")
        digest = _HASHES.get(algorithm[:-5] if sess else algorithm)
        if digest is None:
            raise ProtocolError(f"unsupported Digest algorithm {algorithm!r}")
        qops = [q.strip().lower() for q in challenge.get("qop", "").split(",") if q.strip()]
        if qops and "auth" not in qops:
            raise ProtocolError(f"unsupported Digest qop {challenge['qop']!r}; only 'auth' is supported")
        realm = challenge["realm"].encode("utf-8")
        nonce = challenge["nonce"].encode("utf-8")
        with self._lock:
            self._nonce_count += 1
            nc = b"%08x" % self._nonce_count
        cnonce = hashlib.sha256(
            nc + nonce + time.ctime().encode() + os.urandom(16)
        ).hexdigest()[:16].encode("ascii")
        uri = request.url.target.encode("utf-8")
        ha1 = digest(b":".join((self._username, realm, self._password)))
        if sess:
            ha1 = digest(b":".join((ha1.encode(), nonce, cnonce)))
        ha2 = digest(b":".join((request.method.encode(), uri)))
        if qops:
            answer = digest(b":".join((ha1.encode(), nonce, nc, cnonce, b"auth", ha2.encode())))
        else:
            answer = digest(b":".join((ha1.encode(), nonce, ha2.encode())))

        def quoted(value: Union[str, bytes]) -> str:
            text = value.decode("utf-8") if isinstance(value, bytes) else value
            return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

        fields = [
            f"username={quoted(self._username)}",
            f"realm={quoted(realm)}",
            f"nonce={quoted(nonce)}",
            f"uri={quoted(uri)}",
            f"response={quoted(answer)}",
            f"algorithm={algorithm}",
        ]
        if "opaque" in challenge:
            fields.append(f"opaque={quoted(challenge['opaque'])}")
        if qops:
            fields += ["qop=auth", f"nc={nc.decode()}", f"cnonce={quoted(cnonce)}"]
        return "Digest " + ", ".join(fields)


def build_auth(auth: Any) -> Optional[Auth]:
    """An Auth for the ``auth=`` argument (None stays None)."""
    if auth is None or isinstance(auth, Auth):
        return auth
    if isinstance(auth, tuple):
        if len(auth) != 2:
            raise TypeError("auth tuples must be (username, password)")
        return BasicAuth(auth[0], auth[1])
    if callable(auth):
        return FunctionAuth(auth)
    raise TypeError(
        f"auth must be a (username, password) tuple, an Auth or a callable, not {type(auth).__name__}"
    )
