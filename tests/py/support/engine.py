"""Driving the engine's binding directly: pools, submissions and a stand-in
for the event loop that records what the engine hands back."""

import asyncio
import threading

import pytest

import tarnix
from support.server import WAIT
from tarnix import _tarnix

GET, POST, PUT, PATCH, DELETE, HEAD, OPTIONS = range(7)
TLS_FAILED = "TLS handshake or certificate verification failed"


class Outcome:
    """What the engine handed to call_soon_threadsafe for one request."""

    def __init__(self, settle, future, status, headers, body, kind, message):
        self.settle = settle
        self.future = future
        self.status = status
        self.headers = headers
        self.body = body
        self.kind = kind
        self.message = message


class RecordingLoop:
    """Stands in for an event loop: records the hand-back instead of
    scheduling it."""

    def __init__(self):
        self.event = threading.Event()
        self.calls = []

    def call_soon_threadsafe(self, *args):
        self.calls.append(args)
        self.event.set()

    def outcome(self):
        assert self.event.wait(WAIT), "the request was never settled"
        assert len(self.calls) == 1
        return Outcome(*self.calls[0])


def start(pool, method=GET, target="/", headers=(), body=b""):
    loop = RecordingLoop()
    _tarnix.submit(pool, method, target, list(headers), body, None, None, object(), loop)
    return loop


def request(pool, method=GET, target="/", headers=(), body=b""):
    return start(pool, method, target, headers, body).outcome()


def make_pool(port, host="127.0.0.1", max_connections=8):
    return _tarnix.pool_create(host, port, False, 0, max_connections, 0, 0, "")


def tls_pool(port, ca_path="", host="localhost", max_connections=4):
    return _tarnix.pool_create(host, port, True, 0, max_connections, 0, 0, str(ca_path))


def fetch(pool, target="/", wait=20.0):
    """One GET through the engine and a real event loop; returns the
    response or raises the request's error."""

    async def go():
        loop = asyncio.get_running_loop()
        future = loop.create_future()
        _tarnix.submit(pool, GET, target, [], b"", None, None, future, loop)
        return await asyncio.wait_for(future, wait)

    return asyncio.run(go())


def accepted(pool):
    return fetch(pool).status == 200


def refused(pool):
    """True when the request fails in the handshake, as the engine words it."""
    with pytest.raises(tarnix.TLSError) as exc:
        fetch(pool)
    assert str(exc.value) == TLS_FAILED
    return True
